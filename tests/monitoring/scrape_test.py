#!/usr/bin/python3
"""A real hub with some traffic behind it, scraped: promtool finds nothing
against the metric conventions, every metric the rules and the dashboard name
is there, and a Prometheus server of the test's own evaluates every rule
without an error and answers every dashboard query with data."""

import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
from hub_process import Hub, pbx_address  # noqa: E402

# Set by the operator in a rule file of their own, never by the hub.
OPERATOR_SERIES = {"korvel_alert_failing_systems_share"}


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def dashboard_queries(dashboard):
    """Every panel's queries, and the variables' label_values queries."""
    queries = []
    for panel in dashboard["panels"]:
        for target in panel.get("targets", []):
            assert target.get("expr"), f"panel '{panel['title']}' has a target without a query"
            queries.append((panel["title"], target["expr"]))
    for variable in dashboard["templating"]["list"]:
        if variable["type"] == "query":
            found = re.fullmatch(r"label_values\((.*), (\w+)\)", variable["query"]["query"])
            assert found, variable["query"]
            queries.append((f"variable {variable['name']}", found.group(1)))
    return queries


class Prometheus:
    def __init__(self, folder, target, rules):
        self.port = free_port()
        config = os.path.join(folder, "prometheus.yml")
        with open(config, "w") as out:
            out.write(f"global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                      f"rule_files: ['{rules}']\n"
                      f"scrape_configs:\n  - job_name: korvel\n    static_configs:\n"
                      f"      - targets: ['{target}']\n")
        self.process = subprocess.Popen(
            ["/usr/bin/prometheus", f"--config.file={config}", f"--storage.tsdb.path={folder}/data",
             f"--web.listen-address=127.0.0.1:{self.port}"],
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(folder, "prometheus.log"), "w"))

    def api(self, path, **query):
        url = f"http://127.0.0.1:{self.port}/api/v1/{path}?" + urllib.parse.urlencode(query)
        with urllib.request.urlopen(url, timeout=5) as answer:
            body = json.load(answer)
        assert body["status"] == "success", body
        return body["data"]

    def wait_for(self, expr, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            assert self.process.poll() is None, "prometheus exited"
            try:
                if self.api("query", query=expr)["result"]:
                    return
            except OSError:
                pass  # not listening yet
            time.sleep(0.5)
        raise AssertionError(f"prometheus never had {expr}")

    def close(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def main(korvel, send_tool, free_base_port, rules, dashboard_file):
    with open(dashboard_file) as source:
        dashboard = json.load(source)
    queries = dashboard_queries(dashboard)
    with open(rules) as source:
        named = set(re.findall(r"\bkorvel_[a-z0-9_]+", source.read()))
    for _, expr in queries:
        named |= set(re.findall(r"\bkorvel_[a-z0-9_]+", expr))

    # A cluster whose Redis is not there: the hub serves on, and shows the
    # cluster's metrics with the state it is in.
    redis = f"redis://127.0.0.1:{free_port()}"
    with Hub(korvel, send_tool, free_base_port, extra=["--cluster", redis, "--node", "scraped"]) as hub, \
            tempfile.TemporaryDirectory(prefix="korvel-prometheus-") as folder:
        reporter, listener = pbx_address(hub.base, 2), pbx_address(hub.base, 3)
        hub.send(listener, "register", "--system-id", "QVX301", "--source", "42100", "--dest", "41100")
        hub.send(reporter, "statusreport", "--system-id", "QVX300", "--stations", "41100", "--status", "busy",
                 udp=True)

        scrape = hub.get("/metrics")
        check = subprocess.run(["/usr/bin/promtool", "check", "metrics"], input=scrape, capture_output=True,
                               text=True, timeout=30)
        assert check.returncode == 0 and not check.stdout.strip() and not check.stderr.strip(), \
            f"promtool check metrics:\n{check.stdout}{check.stderr}"
        families = set(re.findall(r"^# TYPE (\S+)", scrape, re.M))
        served = families | {name[:-len("_total")] for name in families if name.endswith("_total")}
        missing = sorted(named - served - OPERATOR_SERIES)
        assert not missing, f"the rules or the dashboard name metrics the hub does not serve: {missing}"

        target = urllib.parse.urlsplit(hub.url).netloc
        prometheus = Prometheus(folder, target, rules)
        try:
            # Enough samples for a rate over the dashboard's interval.
            prometheus.wait_for('count_over_time(up{job="korvel"}[1m]) >= 4 and up{job="korvel"} == 1')
            empty = []
            for title, expr in queries:
                expr = (expr.replace("$job", "korvel").replace("$instance", target)
                        .replace("$__rate_interval", "1m"))
                if not prometheus.api("query", query=expr)["result"]:
                    empty.append(f"{title}: {expr}")
            assert not empty, "dashboard queries without data:\n" + "\n".join(empty)

            # Every rule evaluated against the real series, and one that must
            # fire: this hub's cluster is not connected.
            prometheus.wait_for('ALERTS{alertname="KorvelClusterDisconnected"}')
            rules_seen = 0
            for group in prometheus.api("rules")["groups"]:
                for rule in group["rules"]:
                    rules_seen += 1
                    assert rule["health"] == "ok", rule
            assert rules_seen >= 10, rules_seen
        finally:
            prometheus.close()
    print(f"metrics pass promtool; {len(queries)} dashboard queries answered, {rules_seen} rules evaluated")
    return 0


if __name__ == "__main__":
    if not shutil.which("promtool") or not os.path.exists("/usr/bin/prometheus"):
        print("prometheus (promtool and the server) is not installed: run make deps")
        sys.exit(1)
    sys.exit(main(*sys.argv[1:6]))
