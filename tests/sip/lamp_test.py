"""A SIP phone (SIPp) watches a station's lamp through the real hub.

SIPp subscribes to the station's dialog events and checks every NOTIFY body;
a simulated PBX reports the station idle, busy, DND, message and idle, each
once the hub has had the previous NOTIFY answered, so that no state
collapses into the next. Then the unknown refresh (481), the too brief
subscription (423), the other event (489), a refresh and the unsubscribe.
On a second hub: presence and message-summary over TCP with a NOTIFY refused,
and a phone over UDP that never answers one NOTIFY; then a restart.
Usage: lamp_test.py KORVEL KORVEL_SEND FREE_BASE_PORT [TRACE_FILE]
"""

import json
import os
import re
import socket
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
from hub_process import Hub, SKIP, pbx_address  # noqa: E402
from sip_support import (SippRun, checks, dialog_state, free_sip_port, notify, received_notifies,  # noqa: E402
                         response, restart, scenario, start_sipp, subscribe)



def sip_metrics(text):
    """{(name, label, value): sample} of the korvel_sip_ samples, read by
    Prometheus' own parser where it is installed."""
    found = {}
    try:
        from prometheus_client.parser import text_string_to_metric_families
    except ImportError:
        text_string_to_metric_families = None
    if text_string_to_metric_families:
        for family in text_string_to_metric_families(text):
            for sample in family.samples:
                if sample.name.startswith("korvel_sip_"):
                    label = next(iter(sample.labels.items()), (None, None))
                    found[(sample.name, *label)] = sample.value
        return found
    for name, label, value, number in re.findall(r'^(korvel_sip_\w+)(?:\{(\w+)="([^"]*)"\})? (\S+)$', text, re.M):
        found[(name, label or None, value or None)] = float(number)
    return found


def main(korvel, send_tool, free_base_port, trace_file=None):
    if not shutil.which("sipp"):
        print("sipp is not installed")
        return SKIP
    sip_port = free_sip_port()
    with tempfile.TemporaryDirectory(prefix="korvel-sip-") as folder, \
            Hub(korvel, send_tool, free_base_port, extra=["--trace", "--sip", f"127.0.0.1:{sip_port}"]) as hub:
        pbx = pbx_address(hub.base, 2)
        hub.send(pbx, "statusreport", "--system-id", "QVX300", "--stations", "41100", "--status", "idle", udp=True)
        lamp = scenario(
            folder, "lamp",
            subscribe("[pid]lamp", "dialog", 600, 1),
            response(200, ("600", "Expires"), keep_tag=True),
            notify(dialog_state(1, "terminated"), ("active;expires=", "Subscription-State")),  # idle
            notify(dialog_state(2, "confirmed")),  # busy
            notify(dialog_state(3, "confirmed")),  # DND
            notify(dialog_state(4, "confirmed")),  # message: the lamp keeps the call state
            notify(dialog_state(5, "terminated")),  # idle
            # A refresh of a dialog the hub does not know, too brief, another package.
            subscribe("[pid]lamp", "dialog", 600, 2).replace("To: <sip:[service]@[remote_ip]>",
                                                             "To: <sip:[service]@[remote_ip]>;tag=unknown"),
            response(481),
            subscribe("brief[pid]", "dialog", 30, 3),
            response(423, ("60", "Min-Expires")),
            subscribe("other[pid]", "conference", 600, 4),
            response(489, ("dialog", "Allow-Events")),
            # A refresh clamped to the most, then the unsubscribe.
            subscribe("[pid]lamp", "dialog", 9999, 5, to_tag=True),
            response(200, ("3600", "Expires")),
            notify(dialog_state(6, "terminated")),
            subscribe("[pid]lamp", "dialog", 0, 6, to_tag=True),
            response(200),
            notify(("terminated", "Subscription-State")))
        with SippRun(folder, lamp, sip_port, "41100") as sipp:
            hub.wait_for(r"SIP < 200 NOTIFY")
            for state in ("busy", "dnd", "msg", "idle"):
                hub.send(pbx, "statusreport", "--system-id", "QVX300", "--stations", "41100", "--status", state,
                         udp=True)
                hub.wait_for(r"SIP < 200 NOTIFY")
        if trace_file:
            with open(trace_file, "w") as out:
                out.write(sipp.said)
    print("SIPp followed the lamp through every state")
    return packages(korvel, send_tool, free_base_port)


def packages(korvel, send_tool, free_base_port):
    """Presence and message-summary over TCP, with one NOTIFY refused."""
    sip_port = free_sip_port()
    with tempfile.TemporaryDirectory(prefix="korvel-sip-") as folder, \
            Hub(korvel, send_tool, free_base_port,
                extra=["--trace", "--sip", f"127.0.0.1:{sip_port}", "--max-sip-connections", "1"]) as hub:
        pbx = pbx_address(hub.base, 2)
        hub.send(pbx, "statusreport", "--system-id", "QVX300", "--stations", "41100", "--status", "dnd", udp=True)
        hub.wait_for(r"41100:DND")
        # Not SIP at all: dropped and counted.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as garbage:
            garbage.sendto(b"SUBSCRIBE \x00\x01 nonsense\r\n\r\n", ("127.0.0.1", sip_port))
        packages_scenario = scenario(
            folder, "packages",
            # A buddy list's presence on a DND station, and its end.
            subscribe("pres[pid]", "presence", 300, 1),
            response(200, keep_tag=True),
            notify(("<basic>open</basic>.*<note>Do not disturb</note>.*<rpid:busy/>", None),
                   ("application/pidf.xml", "Content-Type")),
            subscribe("pres[pid]", "presence", 0, 2, to_tag=True),
            response(200),
            notify(("terminated", "Subscription-State")),
            # The voice mail lamp: a NOTIFY refused 503 is tried again with the newest state.
            subscribe("mwi[pid]", "message-summary", 300, 3),
            response(200, keep_tag=True),
            notify(("Messages-Waiting: no", None)),
            notify(("Messages-Waiting: yes", None), answer="503 Service Unavailable"),
            notify(("Messages-Waiting: no", None)),
            subscribe("mwi[pid]", "message-summary", 0, 4, to_tag=True),
            response(200),
            notify(("terminated", "Subscription-State")))
        with SippRun(folder, packages_scenario, sip_port, "41100", transport="t1"):
            for _ in range(3):
                hub.wait_for(r"SIP < 200 NOTIFY")
            held = json.loads(hub.get("/api/sip"))
            assert [(s["event"], s["station"], s["source"].endswith("/tcp")) for s in held["subscriptions"]] \
                == [("message-summary", "41100", True)], held
            assert held["watchers"] == {"41100": 1}, held
            # SIPp's connection is the one the bound allows: another is refused.
            with socket.create_connection(("127.0.0.1", sip_port), timeout=10) as second:
                second.sendall(("SUBSCRIBE sip:41100@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/TCP 127.0.0.1:9;branch=z9hG4bKc2\r\n"
                                "From: <sip:c@127.0.0.1>;tag=c\r\nTo: <sip:41100@127.0.0.1>\r\nCall-ID: c2\r\n"
                                "CSeq: 1 SUBSCRIBE\r\nContact: <sip:c@127.0.0.1:9;transport=tcp>\r\nEvent: dialog\r\n"
                                "Max-Forwards: 70\r\nContent-Length: 0\r\n\r\n").encode())
                assert second.recv(4096).startswith(b"SIP/2.0 503"), "a connection beyond the bound was served"
            hub.send(pbx, "statusreport", "--system-id", "QVX300", "--stations", "41100", "--status", "msg", udp=True)
            hub.wait_for(r"SIP < 503 NOTIFY")
            hub.send(pbx, "statusreport", "--system-id", "QVX300", "--stations", "41100", "--status", "idle",
                     udp=True)
        metrics = sip_metrics(hub.get("/metrics"))
        expected = {("korvel_sip_notifies_total", "outcome", "ok"): 5,
                    ("korvel_sip_notifies_total", "outcome", "retried"): 1,
                    ("korvel_sip_subscriptions", "event", "message-summary"): 0,
                    ("korvel_sip_malformed_total", None, None): 1}
        for key, value in expected.items():
            assert metrics.get(key) == value, (key, metrics.get(key))
        # Two reports: the message at once, the idle after the back-off.
        assert metrics[("korvel_sip_notify_delay_seconds_count", None, None)] == 2, metrics
        print("SIPp followed presence and message-summary over TCP through a refused NOTIFY")
        if lost_notify(hub, os.path.join(folder, "lost"), sip_port) != 0:
            return 1
    return restarted(korvel, send_tool, free_base_port)


def lost_notify(hub, folder, sip_port):
    """A phone over UDP ignores one NOTIFY and every retransmission of it while
    the station changes again: once the NOTIFY has timed out, the retry brings
    the newest state, and the subscription follows the station still."""
    os.makedirs(folder)
    pbx = pbx_address(hub.base, 2)

    def report(status):
        hub.send(pbx, "statusreport", "--system-id", "QVX300", "--stations", "41100", "--status", status, udp=True)

    ignored = f'  <recv request="NOTIFY" timeout="20000">\n    <action>\n{checks(dialog_state(2, "confirmed"))}\n' \
              '    </action>\n  </recv>\n'
    lost = scenario(
        folder, "lost",
        subscribe("lost[pid]", "dialog", 600, 1),
        response(200, keep_tag=True),
        notify(dialog_state(1, "terminated")),  # idle
        ignored,  # busy, never answered
        notify(dialog_state(3, "terminated")),  # idle again meanwhile: the newest state
        notify(dialog_state(4, "confirmed")),  # DND
        subscribe("lost[pid]", "dialog", 0, 2, to_tag=True),
        response(200),
        notify(("terminated", "Subscription-State")))
    sipp, messages = start_sipp(folder, lost, sip_port, "41100")
    try:
        # The hub's lines are read in order: the idle report is taken while
        # the busy NOTIFY is still unanswered.
        hub.wait_for(r"SIP < 200 NOTIFY .*/udp")
        report("busy")
        hub.wait_for(r"SIP > NOTIFY .* Event: dialog .*/udp")
        report("idle")
        hub.wait_for(r"41100:IDLE")
        hub.wait_for(r"SIP < 408 NOTIFY .*/udp", timeout=20)
        hub.wait_for(r"SIP < 200 NOTIFY .*/udp")
        report("dnd")
        sipp.wait(timeout=60)
    finally:
        if sipp.poll() is None:
            sipp.kill()
            sipp.wait()
    notifies = list(dict.fromkeys(received_notifies(messages)))  # retransmissions once
    print("NOTIFYs (CSeq, version):", notifies)
    cseqs = [cseq for cseq, _ in notifies]
    if sipp.returncode != 0 or len(notifies) != 5 or cseqs != sorted(set(cseqs)):
        with open(messages, errors="replace") as log:
            print(log.read()[-6000:])
        print(sipp.stdout.read() if sipp.stdout else "")
        return 1
    metrics = sip_metrics(hub.get("/metrics"))
    for outcome, count in (("retried", 2), ("failed", 0)):
        key = ("korvel_sip_notifies_total", "outcome", outcome)
        assert metrics.get(key, 0) == count, (key, metrics.get(key))
    print("a NOTIFY lost for good was followed by the newest state, and the lamp lived on")
    return 0


def restarted(korvel, send_tool, free_base_port):
    """The hub restarts under a live subscription: the phone gets the current
    state unasked, with CSeq and version still going up."""
    sip_port = free_sip_port()
    extra = ["--trace", "--sip", f"127.0.0.1:{sip_port}"]
    with tempfile.TemporaryDirectory(prefix="korvel-sip-") as folder, \
            Hub(korvel, send_tool, free_base_port, extra=extra) as hub:
        # The first NOTIFY, the one the restarted hub sends unasked, a change
        # reported after the restart, then the unsubscribe the restarted hub knows.
        restart_scenario = scenario(
            folder, "restart",
            subscribe("restart[pid]", "dialog", 600, 1),
            response(200, keep_tag=True),
            notify(),
            notify(),
            notify(("<state>confirmed</state>", None)),
            subscribe("restart[pid]", "dialog", 0, 2, to_tag=True),
            response(200),
            notify(("terminated", "Subscription-State")))
        with SippRun(folder, restart_scenario, sip_port, "41100") as sipp:
            hub.wait_for(r"SIP < 200 NOTIFY")
            restart(hub, korvel, extra)
            hub.wait_for(r"SIP < 200 NOTIFY", timeout=5)
            pbx = pbx_address(hub.base, 2)
            hub.send(pbx, "statusreport", "--system-id", "QVX300", "--stations", "41100", "--status", "busy",
                     udp=True)
        notifies = received_notifies(sipp.messages)
        print("NOTIFYs (CSeq, version):", notifies)
        assert len(notifies) >= 4, sipp.said[-6000:]
        cseqs = [cseq for cseq, _ in notifies]
        versions = [version for _, version in notifies if version is not None]
        if cseqs != sorted(set(cseqs)) or versions != sorted(set(versions)):
            print("CSeq or version went back")
            return 1
    print("the restarted hub told the phone at once, CSeq and version still going up")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
