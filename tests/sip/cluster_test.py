"""With --cluster, a SIP phone subscribed at one hub follows a station
reported at another: two real hubs share a real Redis server, the PBX
reports to hub A, SIPp watches the station at hub B.
Usage: cluster_test.py KORVEL KORVEL_SEND FREE_BASE_PORT
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
from hub_process import Hub, SKIP, pbx_address  # noqa: E402
from sip_support import free_sip_port, notify, response, scenario, start_sipp, subscribe  # noqa: E402


def main(korvel, send_tool, free_base_port):
    if not shutil.which("sipp") or not shutil.which("redis-server"):
        print("sipp or redis-server is not installed")
        return SKIP
    redis_port, sip_port = free_sip_port(), free_sip_port()
    with tempfile.TemporaryDirectory(prefix="korvel-sip-cluster-") as folder:
        redis = subprocess.Popen(["redis-server", "--port", str(redis_port), "--bind", "127.0.0.1", "--save", "",
                                  "--appendonly", "no", "--dir", folder],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        sipp = None
        try:
            deadline = time.monotonic() + 10
            while subprocess.run(["redis-cli", "-p", str(redis_port), "ping"], capture_output=True,
                                 text=True).stdout.strip() != "PONG":
                if time.monotonic() > deadline:
                    raise RuntimeError("Redis did not start")
                time.sleep(0.1)
            cluster = ["--cluster", f"redis://127.0.0.1:{redis_port}"]
            with Hub(korvel, send_tool, free_base_port, extra=["--trace", *cluster, "--node", "a"]) as a, \
                    Hub(korvel, send_tool, free_base_port,
                        extra=["--trace", *cluster, "--node", "b", "--sip", f"127.0.0.1:{sip_port}"]) as b:
                # The station is new to both hubs: B shows it not in use until A's report reaches it.
                pbx = pbx_address(a.base, 2)
                follow = scenario(
                    folder, "follow",
                    subscribe("follow[pid]", "dialog", 600, 1),
                    response(200, keep_tag=True),
                    notify(),
                    notify(("<state>confirmed</state>", None)),
                    subscribe("follow[pid]", "dialog", 0, 2, to_tag=True),
                    response(200),
                    notify(("terminated", "Subscription-State")))
                sipp, messages = start_sipp(folder, follow, sip_port, "41100")
                b.wait_for(r"SIP < 200 NOTIFY")
                a.send(pbx, "statusreport", "--system-id", "QVX300", "--stations", "41100", "--status", "busy",
                       udp=True)
                sipp.wait(timeout=60)
                if sipp.returncode != 0:
                    with open(messages, errors="replace") as log:
                        print(log.read()[-6000:])
                    return 1
        finally:
            for process in (sipp, redis):
                if process and process.poll() is None:
                    process.terminate()
                    process.wait(timeout=10)
    print("a phone at hub B followed a station reported at hub A")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
