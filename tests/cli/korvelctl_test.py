#!/usr/bin/python3
"""korvelctl against a real hub: each command's output and exit status (0
done, 1 refused or failed with the hub's reason on standard error, 2 a usage
error), and that what it did is what the hub shows."""

import json
import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
from hub_process import Hub, icmp_allowed, pbx_address, sip_tools, watch_station  # noqa: E402

ADMIN = "korvelctl-admin-token"
READ = "korvelctl-read-token"


def run_tool(korvelctl, *arguments, status=0, out=None, err=None):
    done = subprocess.run([korvelctl, *arguments], capture_output=True, text=True, timeout=30)
    shown = f"korvelctl {' '.join(arguments)}: {done.returncode}\n{done.stdout}{done.stderr}"
    assert done.returncode == status, shown
    # `out`: a text, or a pattern, in standard output.
    assert out is None or (out.search(done.stdout) if isinstance(out, re.Pattern) else out in done.stdout), shown
    assert err is None or err in done.stderr, shown
    assert status == 0 or done.stderr.startswith("korvelctl: "), shown
    return done.stdout


def sip(korvel, send_tool, free_base_port, korvelctl):
    """`korvelctl sip` lists a phone's subscription and the station's watchers."""
    if not shutil.which("sipp"):
        print("sip: skipped, sipp is not installed")
        return
    sip_port = sip_tools().free_sip_port()
    with Hub(korvel, send_tool, free_base_port, token=READ, extra=["--sip", f"127.0.0.1:{sip_port}"]) as hub:
        reader = ["--url", hub.url, "--token-file", hub.token_file("ctl-read", READ)]
        watch_station(sip_port, "41100")
        run_tool(korvelctl, *reader, "sip",
                 out=re.compile(r"^dialog +41100 +127\.0\.0\.1:\d+/udp +\d+s +1 +\d+ +0\n\nSTATION +WATCHERS\n41100 +1$",
                                re.M))
        assert json.loads(run_tool(korvelctl, *reader, "--json", "sip"))["watchers"] == {"41100": 1}


def main(korvel, send_tool, free_base_port, korvelctl):
    sip(korvel, send_tool, free_base_port, korvelctl)
    with Hub(korvel, send_tool, free_base_port, token=READ, admin_token=ADMIN) as hub:
        admin = ["--url", hub.url, "--token-file", hub.token_file("ctl-admin", ADMIN)]
        reader = ["--url", hub.url, "--token-file", hub.token_file("ctl-read", READ)]

        def run(*arguments, **expected):
            return run_tool(korvelctl, *arguments, **expected)

        pbx = pbx_address(hub.base, 2)
        added = pbx_address(hub.base, 3)
        hub.send(pbx, "statusreport", "--system-id", "QVX300", "--stations", "41100,41101", "--status", "busy",
                 udp=True)

        table = [
            # arguments, exit status, on standard output, on standard error
            ([*reader, "status"], 0, "health", None),
            ([*reader, "systems"], 0, pbx, None),
            ([*reader, "stations", pbx], 0, "41101", None),
            ([*reader, "stations", added], 1, None, "No system has that address"),
            ([*reader, "sip"], 1, None, "SIP is off"),
            ([*admin, "add", added, "--name", "Plant B", "--port", "9100", "--velka"], 0, f"added {added}", None),
            ([*admin, "add", added], 1, None, "in the table already"),
            ([*admin, "add", "127.0.0.01"], 1, None, "leading zeros"),
            ([*reader, "add", pbx_address(hub.base, 4)], 1, None, "read token"),
            (["--url", hub.url, "delete", added], 1, None, "admin bearer token"),
            ([*admin, "forward", "on"], 0, "status forwarding on", None),
            ([*admin, "save"], 0, "saved", None),
            ([*admin, "reload"], 0, "allow.txt read again", None),
            ([*admin, "delete", added], 0, f"deleted {added}", None),
            ([*admin, "delete", added], 1, None, added),
            ([*admin, "ping", pbx], 0 if icmp_allowed() else 1, "3 sent, 3 received" if icmp_allowed() else None,
             None if icmp_allowed() else "ping_group_range"),
            ([*admin, "initialize"], 2, None, "--yes"),
            ([*admin, "forward", "maybe"], 2, None, "on or off"),
            ([*admin, "add"], 2, None, "one operand"),
            ([*admin, "delete", pbx, "--velka"], 2, None, "belong to add"),
            ([*admin, "reboot"], 2, None, "unknown command"),
            (["--url", "ftp://127.0.0.1/", "status"], 2, None, "--url"),
            (["--url", f"http://127.0.0.1:{hub.base + 5}", "status"], 1, None, "cannot reach"),
        ]
        for arguments, status, out, err in table:
            run(*arguments, status=status, out=out, err=err)

        systems = json.loads(run(*reader, "--json", "systems"))
        assert [row["address"] for row in systems] == [pbx], systems
        assert json.loads(hub.get("/api/options")) == {"forward_status": True}
        status = json.loads(run(*reader, "--json", "status"))
        assert status["healthy"] is True and status["systemCount"] == 1, status
        assert json.loads(run(*admin, "--json", "forward", "off")) == {"forward_status": False}

        run(*admin, "initialize", "--yes", out="every system deleted")
        assert json.loads(hub.get("/api/systems"))["systems"] == []
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:5]))
