#!/usr/bin/python3
"""The web console's write API against a real hub: every command, every
refusal (which changes nothing), the audit line of each accepted write and the
write counters of /metrics. The ping's answer is checked where this machine
allows ICMP sockets, else its refusal here and its answer again in a network
namespace of its own that allows them."""

import json
import os
import re
import subprocess
import sys

from hub_process import Hub, icmp_allowed, pbx_address

ADMIN = "admin-token-for-the-api-test"
READ = "read-token-for-the-api-test"


def systems(hub):
    return {row["address"]: row for row in json.loads(hub.get("/api/systems"))["systems"]}


def check(answer, status, text, what):
    got, body, _ = answer
    assert got == status, f"{what}: {got} {body!r}, wanted {status}"
    assert text.lower() in body.lower(), f"{what}: {body!r} does not say {text!r}"


def check_ping(hub, address):
    status, body, _ = hub.request("POST", f"/api/systems/{address}/ping", {}, token=ADMIN)
    if icmp_allowed():
        assert status == 200, (status, body)
        answer = json.loads(body)
        assert answer["sent"] == 3 and answer["received"] == 3 and len(answer["rtt_ms"]) == 3, answer
        hub.wait_for(rf"korvel: web 127\.0\.0\.1 pinged system {re.escape(address)}: 3 sent, 3 received")
        return True
    check((status, body, {}), 503, "ping_group_range", "ping without ICMP sockets")
    return False


def refusals(hub, known):
    fresh = pbx_address(hub.base, 50)
    json_type = {"Content-Type": "application/json"}
    cases = [
        # what, method, path, token, headers, body, status, reason, result label
        ("no token", "POST", "/api/systems", None, json_type, {"address": fresh}, 401, "admin bearer token",
         "unauthorized"),
        ("wrong token", "DELETE", f"/api/systems/{known}", "guess", {}, None, 401, "admin bearer token",
         "unauthorized"),
        ("read token", "POST", "/api/systems", READ, json_type, {"address": fresh}, 403, "read token",
         "forbidden"),
        ("read token, delete", "DELETE", f"/api/systems/{known}", READ, {}, None, 403, "read token", "forbidden"),
        ("wrong origin", "POST", "/api/systems", ADMIN, {**json_type, "Origin": "http://elsewhere.example"},
         {"address": fresh}, 403, "origin", "forbidden"),
        ("wrong content type", "POST", "/api/systems", ADMIN, {"Content-Type": "text/plain"},
         json.dumps({"address": fresh}), 415, "application/json", "unsupported_media_type"),
        ("no content type", "POST", "/api/initialize", ADMIN, {}, json.dumps({"confirm": "initialize"}), 415,
         "application/json", "unsupported_media_type"),
        ("malformed JSON", "POST", "/api/systems", ADMIN, json_type, '{"address": ', 400, "not JSON",
         "bad_request"),
        ("not an object", "POST", "/api/systems", ADMIN, json_type, "[1]", 400, "not a JSON object",
         "bad_request"),
        ("unknown field", "POST", "/api/systems", ADMIN, json_type, {"address": fresh, "colour": "red"}, 400,
         'unknown field "colour"', "bad_request"),
        ("no address", "POST", "/api/systems", ADMIN, json_type, {"name": "x"}, 400, "address", "bad_request"),
        ("leading zeros", "POST", "/api/systems", ADMIN, json_type, {"address": "127.0.0.01"}, 400,
         "leading zeros", "bad_request"),
        ("outside IPv4", "POST", "/api/systems", ADMIN, json_type, {"address": "127.0.0.256"}, 400,
         "not an IPv4 address", "bad_request"),
        ("IPv6", "POST", "/api/systems", ADMIN, json_type, {"address": "::1"}, 400, "not an IPv4 address",
         "bad_request"),
        ("bad port", "POST", "/api/systems", ADMIN, json_type, {"address": fresh, "port": 70000}, 400, "port",
         "bad_request"),
        ("bad type", "POST", "/api/systems", ADMIN, json_type, {"address": fresh, "type": "pbx"}, 400, "type",
         "bad_request"),
        ("name breaking system.dat", "POST", "/api/systems", ADMIN, json_type,
         {"address": fresh, "name": "a\tb\r\nc"}, 400, "printable", "bad_request"),
        ("body over 8 KiB", "POST", "/api/systems", ADMIN, json_type, {"address": fresh, "name": "n" * 9000},
         413, "8 KiB", "too_large"),
        ("in the table", "POST", "/api/systems", ADMIN, json_type, {"address": known}, 409, "already",
         "conflict"),
        ("delete, leading zeros", "DELETE", "/api/systems/127.000.0.1", ADMIN, {}, None, 400, "leading zeros",
         "bad_request"),
        ("delete, not in the table", "DELETE", f"/api/systems/{fresh}", ADMIN, {}, None, 404, fresh,
         "not_found"),
        ("ping, not in the table", "POST", f"/api/systems/{fresh}/ping", ADMIN, json_type, None, 404,
         "no system", "not_found"),
        ("initialize unconfirmed", "POST", "/api/initialize", ADMIN, json_type, {}, 400, "confirm",
         "bad_request"),
        ("initialize, wrong word", "POST", "/api/initialize", ADMIN, json_type, {"confirm": "yes"}, 400,
         "confirm", "bad_request"),
        ("forward not a boolean", "PUT", "/api/options", ADMIN, json_type, {"forward_status": "on"}, 400,
         "forward_status", "bad_request"),
        ("save with a body", "POST", "/api/save", ADMIN, json_type, {"now": True}, 400, 'unknown field "now"',
         "bad_request"),
        ("wrong method", "PUT", "/api/systems", ADMIN, json_type, {}, 405, "POST", "bad_request"),
    ]
    before = systems(hub)
    expected = {}
    for what, method, path, token, headers, body, status, reason, label in cases:
        check(hub.request(method, path, body, token=token, headers=headers), status, reason, what)
        expected[label] = expected.get(label, 0) + 1
    assert systems(hub) == before, "a refused write changed the table"
    metrics = hub.get("/metrics")
    for label, count in expected.items():
        assert f'korvel_web_writes_total{{result="{label}"}} {count}\n' in metrics, (label, count)
    # The refusals that passed the rules were said; "in the table" is one.
    hub.wait_for(rf"korvel: web 127\.0\.0\.1 could not add system {re.escape(known)}: .*already")


def commands(hub, known):
    added = pbx_address(hub.base, 60)
    outside = "127.250.0.1"
    status, body, _ = hub.request("POST", "/api/systems", {"address": added, "name": "Exchange 6", "port": 9100,
                                                           "type": "velka"}, token=ADMIN)
    assert status == 201, (status, body)
    row = json.loads(body)
    listed = systems(hub)[added]
    assert row == listed, (row, listed)
    assert (row["name"], row["port"], row["type"]) == ("Exchange 6", 9100, "Velka"), row
    assert "warning" not in row, row
    hub.wait_for(rf"korvel: web 127\.0\.0\.1 added system {re.escape(added)}$")

    # allow.txt does not list it: added all the same, with a warning.
    status, body, _ = hub.request("POST", "/api/systems", {"address": outside}, token=ADMIN)
    assert status == 201 and "allow.txt does not allow" in json.loads(body)["warning"], (status, body)

    status, body, _ = hub.request("PUT", "/api/options", {"forward_status": True}, token=ADMIN)
    assert (status, json.loads(body)) == (200, {"forward_status": True}), (status, body)
    assert json.loads(hub.get("/api/options")) == {"forward_status": True}
    hub.wait_for(r"korvel: web 127\.0\.0\.1 turned status forwarding on")

    check(hub.request("POST", "/api/save", None, token=ADMIN, headers={"Content-Type": "application/json"}),
          204, "", "save")
    with open(os.path.join(hub.data, "system.dat"), newline="") as saved:
        text = saved.read()
    assert f"{added}\t" in text and "Exchange 6" in text, text
    hub.wait_for(r"korvel: web 127\.0\.0\.1 saved the table")

    check(hub.request("DELETE", f"/api/systems/{added}", token=ADMIN), 204, "", "delete")
    assert added not in systems(hub)
    hub.wait_for(rf"korvel: web 127\.0\.0\.1 deleted system {re.escape(added)}")

    check(hub.request("POST", "/api/reload", {}, token=ADMIN), 204, "", "reload")
    hub.wait_for(r"korvel: web 127\.0\.0\.1 reloaded")

    check_ping(hub, known)

    count = len(systems(hub))
    check(hub.request("POST", "/api/initialize", {"confirm": "initialize"}, token=ADMIN), 204, "", "initialize")
    assert systems(hub) == {}
    hub.wait_for(rf"korvel: web 127\.0\.0\.1 initialized the table \({count} systems deleted\)")
    with open(os.path.join(hub.data, "system.dat"), newline="") as saved:
        assert known not in saved.read()
    # Seven commands above, the two adds of main's and the ping where it answers.
    done = 9 if icmp_allowed() else 8
    assert f'korvel_web_writes_total{{result="ok"}} {done}\n' in hub.get("/metrics")


def main(korvel, send_tool, free_base_port, *rest):
    if rest == ("--ping-only",):
        # In a network namespace of our own, where ICMP sockets are allowed.
        with Hub(korvel, send_tool, free_base_port, admin_token=ADMIN, systems=[]) as hub:
            known = pbx_address(hub.base, 2)
            check(hub.request("POST", "/api/systems", {"address": known}, token=ADMIN), 201, known, "add")
            assert check_ping(hub, known), "ICMP sockets refused in the namespace"
        return 0

    # Without an admin token every write is refused, and says how to allow it.
    with Hub(korvel, send_tool, free_base_port, token=READ) as hub:
        for token in (None, READ, ADMIN):
            check(hub.request("POST", "/api/save", {}, token=token), 403,
                  "read-only: start with --http-admin-token-file", "read-only console")
        assert json.loads(hub.get("/api/whoami")) == {"write": False, "writable": False}

    with Hub(korvel, send_tool, free_base_port, token=READ, admin_token=ADMIN, allow=["127.0.0.0/9"],
             extra=["--trace"]) as hub:
        known = pbx_address(hub.base, 2)
        check(hub.request("POST", "/api/systems", {"address": known}, token=ADMIN), 201, known, "add")
        assert json.loads(hub.request("GET", "/api/whoami", token=ADMIN)[1])["write"] is True
        assert json.loads(hub.get("/api/whoami"))["write"] is False
        refusals(hub, known)
        commands(hub, known)

    if not icmp_allowed():
        # The answer path, where a namespace can allow ICMP sockets.
        script = ("ip link set lo up && echo '0 2147483647' > /proc/sys/net/ipv4/ping_group_range && "
                  'exec "$@"')
        try:
            ran = subprocess.run(["unshare", "--net", "sh", "-c", script, "sh", sys.executable,
                                  os.path.abspath(__file__), korvel, send_tool, free_base_port, "--ping-only"],
                                 timeout=60)
        except FileNotFoundError:
            print("no unshare: the ping's answer is not checked")
            return 0
        if ran.returncode not in (0,):
            probe = subprocess.run(["unshare", "--net", "true"], capture_output=True)
            if probe.returncode != 0:
                print("cannot make a network namespace here: the ping's answer is not checked")
                return 0
            return ran.returncode
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
