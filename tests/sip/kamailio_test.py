"""SIPp subscribes through Kamailio, the SIP proxy a site puts in front of
its servers, to the real hub, and follows one lamp change back through it.
Usage: kamailio_test.py KORVEL KORVEL_SEND FREE_BASE_PORT
"""

import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
from hub_process import Hub, SKIP, pbx_address  # noqa: E402
from sip_support import free_sip_port, notify, response, scenario, start_sipp, subscribe  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def main(korvel, send_tool, free_base_port):
    if not shutil.which("sipp") or not os.path.exists("/usr/sbin/kamailio"):
        print("sipp or kamailio is not installed")
        return SKIP
    hub_port, proxy_port = free_sip_port(), free_sip_port()
    with tempfile.TemporaryDirectory(prefix="korvel-kamailio-") as folder, \
            Hub(korvel, send_tool, free_base_port, extra=["--trace", "--sip", f"127.0.0.1:{hub_port}"]) as hub:
        with open(os.path.join(HERE, "kamailio.cfg.in")) as template:
            text = template.read().replace("@PROXY_PORT@", str(proxy_port)).replace("@HUB_PORT@", str(hub_port))
        config = os.path.join(folder, "kamailio.cfg")
        with open(config, "w") as out:
            out.write(text)
        # The SUBSCRIBE goes to the proxy, which record-routes it to the hub;
        # each NOTIFY comes back with the proxy's Via; the unsubscribe follows
        # the route set.
        through_proxy = (f"127.0.0.1:{proxy_port}", "Via")
        proxied = scenario(
            folder, "proxied",
            subscribe("proxied[pid]", "dialog", 600, 1, uri=f"sip:[service]@127.0.0.1:{hub_port}"),
            response(200, keep_tag=True, rrs=True),
            notify(("<state>terminated</state>", None), through_proxy),
            notify(("<state>confirmed</state>", None), through_proxy),
            subscribe("proxied[pid]", "dialog", 0, 2, to_tag=True, uri="[next_url]", routes=True),
            response(200),
            notify(("terminated", "Subscription-State"), through_proxy))
        proxy = subprocess.Popen(["/usr/sbin/kamailio", "-f", config, "-DD", "-E", "-m", "32", "-M", "4",
                                  "-Y", folder, "-P", os.path.join(folder, "kamailio.pid")],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        sipp = None
        try:
            pbx = pbx_address(hub.base, 2)
            hub.send(pbx, "statusreport", "--system-id", "QVX300", "--stations", "41100", "--status", "idle",
                     udp=True)
            hub.wait_for(r"41100:IDLE")
            sipp, messages = start_sipp(folder, proxied, proxy_port, "41100")
            hub.wait_for(r"SIP < 200 NOTIFY")
            hub.send(pbx, "statusreport", "--system-id", "QVX300", "--stations", "41100", "--status", "busy",
                     udp=True)
            sipp.wait(timeout=60)
        finally:
            for process in (sipp, proxy):
                if process and process.poll() is None:
                    process.terminate()
                    try:
                        process.wait(timeout=10)
                    except subprocess.TimeoutExpired:
                        process.kill()
                        process.wait()
        if sipp.returncode != 0:
            with open(messages, errors="replace") as log:
                print(log.read()[-6000:])
            print(proxy.stdout.read()[-3000:])
            return 1
    print("the lamp went through Kamailio and back")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
