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
from sip_support import free_sip_port, start_sipp  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def main(korvel, send_tool, free_base_port):
    if not shutil.which("sipp") or not os.path.exists("/usr/sbin/kamailio"):
        print("sipp or kamailio is not installed")
        return SKIP
    hub_port, proxy_port = free_sip_port(), free_sip_port()
    with tempfile.TemporaryDirectory(prefix="korvel-kamailio-") as folder, \
            Hub(korvel, send_tool, free_base_port, extra=["--trace", "--sip", f"127.0.0.1:{hub_port}"]) as hub:
        def filled(name):
            with open(os.path.join(HERE, name)) as template:
                text = template.read()
            for key, value in (("@PROXY_PORT@", proxy_port), ("@HUB_PORT@", hub_port), ("@HUB@", hub_port),
                               ("@PROXY@", proxy_port)):
                text = text.replace(key, str(value))
            path = os.path.join(folder, name.replace(".in", ""))
            with open(path, "w") as out:
                out.write(text)
            return path

        config, scenario = filled("kamailio.cfg.in"), filled("proxied.xml")
        proxy = subprocess.Popen(["/usr/sbin/kamailio", "-f", config, "-DD", "-E", "-m", "32", "-M", "4",
                                  "-Y", folder, "-P", os.path.join(folder, "kamailio.pid")],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        sipp = None
        try:
            pbx = pbx_address(hub.base, 2)
            hub.send(pbx, "statusreport", "--system-id", "QVX300", "--stations", "41100", "--status", "idle",
                     udp=True)
            hub.wait_for(r"41100:IDLE")
            sipp, messages = start_sipp(folder, scenario, proxy_port, "41100")
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
