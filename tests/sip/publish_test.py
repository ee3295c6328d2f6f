"""A SIP server (SIPp) PUBLISHes extensions' states to the real hub, and a
simulated exchange checks the status reports the hub forwards, byte for byte.

Extension 201 goes idle, ringing, answered (the same lamp: nothing sent) and
idle; a stale entity tag and too brief an Expires are refused; its removal
changes nothing; extension 202 goes into do-not-disturb by PIDF. The virtual
system shows in /api/systems and cannot be deleted.
Usage: publish_test.py KORVEL KORVEL_SEND FREE_BASE_PORT [TRACE_FILE]
"""

import json
import os
import shutil
import socket
import struct
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
from hub_process import Hub, SKIP, pbx_address  # noqa: E402
from sip_support import SippRun, free_sip_port  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ADMIN = "sip-import-admin-secret"
LABELS = {0: "idle", 1: "busy", 2: "DND", 3: "message", 4: "out of service"}


def status_report(system, entries):
    """MSG_STATUSREPORT as an exchange sends it: header, system id, count, entries."""
    body = system.encode().ljust(32, b"\0") + struct.pack(">H", len(entries))
    for station, state in entries:
        body += station.encode().ljust(16, b"\0") + bytes([state])
    return bytes([0x0B, 8]) + struct.pack(">H", 4 + len(body)) + body


def main(korvel, send_tool, free_base_port, trace_file=None):
    if not shutil.which("sipp"):
        print("sipp is not installed")
        return SKIP
    sip_port = free_sip_port()
    with tempfile.TemporaryDirectory(prefix="korvel-sip-in-") as folder, \
            Hub(korvel, send_tool, free_base_port, admin_token=ADMIN,
                extra=["--trace", "--sip", f"127.0.0.1:{sip_port}", "--sip-system-address", "127.0.0.250", "--sip-system-name", "SIPSITE"]) as hub:
        virtual = "127.0.0.250"
        pbx = pbx_address(hub.base, 2)
        # The exchange: known to the hub by its first report, and listening
        # where the hub forwards status reports (its port + 1).
        exchange = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        exchange.bind((pbx, 9001))
        exchange.settimeout(10)
        hub.send(pbx, "statusreport", "--system-id", "QVX300", "--stations", "41100", "--status", "idle", udp=True)
        hub.wait_for(r"41100:IDLE")
        expected = [status_report("SIPSITE", [("201", 0)]), status_report("SIPSITE", [("201", 1)]),
                    status_report("SIPSITE", [("201", 0)]), status_report("SIPSITE", [("202", 2)])]
        received = []
        started = time.monotonic()
        with exchange, SippRun(folder, os.path.join(HERE, "publish.xml"), sip_port, "201") as sipp:
            while len(received) < len(expected):
                packet, source = exchange.recvfrom(2048)
                received.append((time.monotonic() - started, packet))
        said = sipp.said
        if trace_file:
            with open(trace_file, "w") as out:
                out.write("Status reports the exchange %s received (seconds after SIPp started):\n" % pbx)
                for at, packet in received:
                    count = struct.unpack(">H", packet[36:38])[0]
                    entries = ", ".join(
                        "%s %s" % (packet[38 + 17 * i:54 + 17 * i].rstrip(b"\0").decode(),
                                   LABELS.get(packet[54 + 17 * i], "?")) for i in range(count))
                    out.write("%8.3f s  %s  [%s]\n" % (at, packet.hex(" "), entries))
                out.write("\nSIPp's messages:\n" + said)
        got = [packet for _, packet in received]
        assert got == expected, [p.hex() for p in got]

        systems = {s["address"]: s for s in json.loads(hub.get("/api/systems"))["systems"]}
        assert systems[virtual]["name"] == "SIPSITE", systems[virtual]
        status, body, _ = hub.request("DELETE", f"/api/systems/{virtual}", {}, token=ADMIN)
        assert status == 409 and "SIP" in body, (status, body)
        metrics = hub.get("/metrics")
        for line in ("korvel_sip_import_reports_total 4", "korvel_sip_import_changes_total 4",
                     "korvel_sip_import_publications 1"):
            assert "\n" + line + "\n" in metrics, line
        # Counted with the forwarded reports: the four to the exchange. The
        # exchange's own report is not forwarded to the virtual system's entry.
        assert '\nkorvel_forwarded_total{message="MSG_STATUSREPORT"} 4\n' in metrics, metrics
        publications = json.loads(hub.get("/api/sip"))["import"]["publications"]
        assert [p["extension"] for p in publications] == ["202"], publications
    print("the exchange got each change of the SIP extensions once, byte for byte")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
