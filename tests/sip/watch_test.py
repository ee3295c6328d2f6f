"""The hub watches a real SIP server: Kamailio with its presence and
presence_dialoginfo modules, asking for digest authentication. SIPp plays the
SIP server's phones by PUBLISHing their calls to Kamailio; a simulated
exchange checks the status reports the hub forwards, byte for byte.

Extension 201 goes idle, ringing, answered and hung up; 202 rings while a
relay between the hub and the server loses the NOTIFY that says so, and is
taken off the watch list while ringing (it goes idle once); the server
restarts, forgetting every subscription, and 201's next call still reaches
the exchange; a missing credentials file stops the start with a clear error.
With two hubs in a cluster watching over TCP, exactly one watches, and the
other takes over when it stops.
Usage: watch_test.py KORVEL KORVEL_SEND FREE_BASE_PORT [TRACE_FILE]
"""

import datetime
import json
import queue
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
from hub_process import BasePort, Hub, SKIP, pbx_address  # noqa: E402
from publish_test import LABELS, status_report  # noqa: E402
import sip_support  # noqa: E402
from sip_support import free_sip_port  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
TABLES = "/usr/share/kamailio/dbtext/kamailio"



def write_kamailio_config(folder, server_port, transport="udp"):
    """The watched SIP server's tables and configuration, in the test's folder."""
    shutil.copytree(TABLES, os.path.join(folder, "db"))
    with open(os.path.join(HERE, "kamailio-presence.cfg.in")) as template:
        config = template.read().replace("@SERVER_PORT@", str(server_port)).replace(
            "@DB@", os.path.join(folder, "db")).replace("@PASSWORD@", "s3cret").replace(
            "@TRANSPORT@", transport).replace("@NO_TCP@", "no" if transport == "tcp" else "yes")
    with open(os.path.join(folder, "kamailio.cfg"), "w") as out:
        out.write(config)


def start_kamailio(folder):
    """The SIP server, its log appended to kamailio.log in the folder."""
    with open(os.path.join(folder, "kamailio.log"), "a") as log:
        server = subprocess.Popen(["/usr/sbin/kamailio", "-f", os.path.join(folder, "kamailio.cfg"), "-DD", "-E",
                                   "-m", "32", "-M", "4", "-Y", folder, "-P", os.path.join(folder, "kamailio.pid")],
                                  stdout=log, stderr=subprocess.STDOUT)
    time.sleep(0.5)
    return server


class Relay:
    """The loopback path between the hub and the SIP server, rewriting the
    addresses as a NAT would (the server sees the relay as the hub), that can
    lose the server's next NOTIFY holding `lose`."""

    def __init__(self, server_port):
        self.hub_side, self.server_side = socket.socket(socket.AF_INET, socket.SOCK_DGRAM), \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.hub_side.bind(("127.0.0.1", 0))
        self.server_side.bind(("127.0.0.1", 0))
        self.port, self.server = self.hub_side.getsockname()[1], ("127.0.0.1", server_port)
        self.outside = b"127.0.0.1:%d" % self.server_side.getsockname()[1]
        self.hub = self.inside = None
        self.lose, self.lost = None, []
        threading.Thread(target=self.from_hub, daemon=True).start()
        threading.Thread(target=self.from_server, daemon=True).start()

    def from_hub(self):
        while True:
            data, self.hub = self.hub_side.recvfrom(65535)
            self.inside = b"127.0.0.1:%d" % self.hub[1]
            self.server_side.sendto(data.replace(self.inside, self.outside), self.server)

    def from_server(self):
        while True:
            data, _ = self.server_side.recvfrom(65535)
            if self.lose and data.startswith(b"NOTIFY ") and self.lose in data:
                self.lose = None
                self.lost.append(data)
            elif self.hub:
                self.hub_side.sendto(data.replace(self.outside, self.inside), self.hub)


def run_sipp(folder, scenario, port, service, transport="u1"):
    return sip_support.run_sipp(folder, os.path.join(HERE, scenario), port, service, transport)


def main(korvel, send_tool, free_base_port, trace_file=None):
    if not shutil.which("sipp") or not os.path.exists("/usr/sbin/kamailio") or not os.path.exists(TABLES) \
            or not os.path.exists("/usr/lib/x86_64-linux-gnu/kamailio/modules/presence_dialoginfo.so"):
        print("sipp, kamailio or its presence modules are not installed")
        return SKIP
    hub_port, server_port = free_sip_port(), free_sip_port()
    with tempfile.TemporaryDirectory(prefix="korvel-watch-") as folder:
        write_kamailio_config(folder, server_port)
        watch_list = os.path.join(folder, "watch.txt")
        with open(watch_list, "w") as out:
            out.write("# the site's SIP phones\nsip:201@127.0.0.1\nsip:202@127.0.0.1  # reception\n")
        credentials = os.path.join(folder, "credentials")
        with open(credentials, "w") as out:
            out.write("korvel:s3cret\n")
        relay = Relay(server_port)
        options = ["--trace", "--sip", f"127.0.0.1:{hub_port}", "--sip-system-address", "127.0.0.250",
                   "--sip-watch", watch_list, "--sip-watch-server", f"127.0.0.1:{relay.port}"]

        # No credentials file: the hub says so and does not start.
        with BasePort(free_base_port) as port:
            refused = subprocess.run([korvel, "--headless", "--data-dir", os.path.join(folder, "other"),
                                      "--base-port", str(port.base), *options,
                                      "--sip-watch-credentials", os.path.join(folder, "missing")],
                                     capture_output=True, text=True, timeout=30)
        assert refused.returncode != 0 and "cannot read the SIP credentials" in refused.stdout + refused.stderr, \
            refused

        server = start_kamailio(folder)
        exchange = None
        try:
            with Hub(korvel, send_tool, free_base_port,
                     extra=[*options, "--sip-watch-credentials", credentials]) as hub:
                pbx = pbx_address(hub.base, 2)
                exchange = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                exchange.bind((pbx, 9001))
                exchange.settimeout(15)
                hub.send(pbx, "statusreport", "--system-id", "QVX300", "--stations", "41100", "--status", "idle",
                         udp=True)
                hub.wait_for(r"41100:IDLE")
                def watched():
                    return {w["extension"]: w["state"] for w in json.loads(hub.get("/api/sip"))["watched"]}

                deadline = time.monotonic() + 15
                while watched() != {"201": "active", "202": "active"}:
                    assert time.monotonic() < deadline, watched()
                    time.sleep(0.1)
                received = []
                arrivals = queue.Queue()

                def listen():
                    # Each report with the time it arrived, while SIPp is still running.
                    try:
                        while True:
                            packet, _ = exchange.recvfrom(2048)
                            arrivals.put((datetime.datetime.now(), packet))
                    except OSError:
                        pass

                threading.Thread(target=listen, daemon=True).start()

                def expect(*entries, meanwhile=()):
                    """The next report holds `entries`; reports of `meanwhile` may come first."""
                    while True:
                        at, packet = arrivals.get(timeout=20)
                        received.append((at, packet))
                        if packet == status_report("SIP", list(entries)):
                            return
                        assert any(packet == status_report("SIP", [e]) for e in meanwhile), (packet.hex(), entries)

                said = run_sipp(os.path.join(folder, "calls"), "calls.xml", server_port, "201")
                expect(("201", 0))
                expect(("201", 1))
                expect(("201", 0))
                # The NOTIFY saying 202 rings is lost; the server sends it again.
                relay.lose = b"<state>early</state>"
                run_sipp(os.path.join(folder, "ring"), "ring.xml", server_port, "202")
                expect(("202", 1))
                assert len(relay.lost) == 1 and b"sip:202@" in relay.lost[0], relay.lost
                assert watched() == {"201": "active", "202": "active"}, watched()
                with open(watch_list, "w") as out:
                    out.write("sip:201@127.0.0.1\n")
                hub.process.send_signal(signal.SIGHUP)
                expect(("202", 0))
                # The server restarts without its subscriptions: the hub finds
                # out and subscribes again, so 201's next call is reported. It
                # may see the server away meanwhile (out of service, then idle).
                server.terminate()
                server.wait(timeout=10)
                server = start_kamailio(folder)
                run_sipp(os.path.join(folder, "restarted"), "ring.xml", server_port, "201")
                expect(("201", 1), meanwhile=[("201", 4), ("201", 0)])
                assert watched() == {"201": "active"}, watched()
        finally:
            if exchange:
                exchange.close()
            server.terminate()
            server.wait(timeout=10)
        if trace_file:
            with open(trace_file, "w") as out:
                out.write("Status reports the exchange received:\n")
                for at, packet in received:
                    out.write("%s  %s  [%s %s]\n" % (at.isoformat(" "), packet.hex(" "),
                                                         packet[38:54].rstrip(b"\0").decode(),
                                                         LABELS.get(packet[54], "?")))
                out.write("\nSIPp's messages to the SIP server:\n" + said)
    print("the hub followed the SIP server's extensions and told the exchange each change once")
    return cluster(korvel, send_tool, free_base_port)


def cluster(korvel, send_tool, free_base_port):
    """Two hubs sharing a Redis server: one watches, the other takes over when it stops
    and reports the extension's next change. The server takes TCP only: so do the hubs."""
    if not shutil.which("redis-server"):
        print("redis-server is not installed: the cluster part is skipped")
        return 0
    redis_port, server_port = free_sip_port(), free_sip_port()
    with tempfile.TemporaryDirectory(prefix="korvel-watch-cluster-") as folder:
        write_kamailio_config(folder, server_port, "tcp")
        watch_list, credentials = os.path.join(folder, "watch.txt"), os.path.join(folder, "credentials")
        with open(watch_list, "w") as out:
            out.write("sip:201@127.0.0.1\n")
        with open(credentials, "w") as out:
            out.write("korvel:s3cret\n")
        processes = [subprocess.Popen(["redis-server", "--port", str(redis_port), "--bind", "127.0.0.1", "--save",
                                       "", "--appendonly", "no", "--dir", folder],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL),
                     start_kamailio(folder)]
        try:

            def options(node):
                return ["--trace", "--cluster", f"redis://127.0.0.1:{redis_port}", "--node", node, "--sip",
                        f"127.0.0.1:{free_sip_port()}", "--sip-system-address", "127.0.0.250", "--sip-watch",
                        watch_list, "--sip-watch-server", f"127.0.0.1:{server_port};transport=tcp", "--sip-watch-credentials",
                        credentials]

            def state(hub):
                return [w["state"] for w in json.loads(hub.get("/api/sip"))["watched"]]

            def until(condition, what):
                deadline = time.monotonic() + 30
                while not condition():
                    assert time.monotonic() < deadline, what
                    time.sleep(0.2)

            with Hub(korvel, send_tool, free_base_port, extra=options("a")) as a, \
                    Hub(korvel, send_tool, free_base_port, extra=options("b")) as b:
                until(lambda: sorted(state(a) + state(b)) == ["active", "watched by another hub"],
                      ("exactly one hub watches", state(a), state(b)))
                watcher, other = (a, b) if state(a) == ["active"] else (b, a)
                watcher.process.send_signal(signal.SIGTERM)
                watcher.process.wait(timeout=15)
                until(lambda: state(other) == ["active"], "the other hub takes the watching over")
                # And it reports what the watched extension does now.
                pbx = pbx_address(other.base, 3)
                with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as exchange:
                    exchange.bind((pbx, 9001))
                    exchange.settimeout(15)
                    other.send(pbx, "statusreport", "--system-id", "QVX301", "--stations", "41101", "--status",
                               "idle", udp=True)
                    other.wait_for(r"41101:IDLE")
                    run_sipp(os.path.join(folder, "ring"), "ring.xml", server_port, "201", "t1")
                    packet, _ = exchange.recvfrom(2048)
                    assert packet == status_report("SIP", [("201", 1)]), packet.hex()
        finally:
            for process in processes:
                process.terminate()
                process.wait(timeout=10)
    print("with two hubs one watched, and the other took over when it stopped")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
