#!/usr/bin/python3
"""The hub's HTTPS as an operator meets it: a token off loopback without TLS
is refused at start, a certificate file that cannot be used is named, and a
renewed certificate is served after SIGHUP, by the same process."""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile

from hub_process import BasePort, Hub, make_certificate, served_serial


def refused(korvel, folder, *arguments):
    """What the hub says when it will not start with these arguments."""
    run = subprocess.run([korvel, "--headless", "--data-dir", os.path.join(folder, "data"), *arguments],
                         capture_output=True, text=True, timeout=30)
    assert run.returncode != 0, f"started with {arguments}"
    return run.stderr


def main(korvel, send_tool, free_base_port):
    with tempfile.TemporaryDirectory(prefix="korvel-tls-") as folder, BasePort(free_base_port) as port, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as taken:
        # The hub's UDP port is taken: a hub that opened its ports before
        # looking at its certificate would name the port instead.
        os.makedirs(os.path.join(folder, "data"))
        with open(os.path.join(folder, "data", "system.dat"), "w", newline="") as out:
            out.write(f"Version : 5\r\nBase Port : {port.base}\r\n")
        taken.bind(("127.0.0.1", port.base + 1))
        token = os.path.join(folder, "token")
        with open(token, "w") as out:
            out.write("t0ken\n")
        certificate, key = make_certificate(folder, "a", 1)
        other_certificate, other_key = make_certificate(folder, "b", 2)
        missing = os.path.join(folder, "missing.crt")
        # A refusal comes before any port is opened: the address is never listened on.
        cases = [
            (["--http", "0.0.0.0:0", "--http-token-file", token], "--http-insecure"),
            (["--http", "127.0.0.1:0", "--http-tls-cert", missing, "--http-tls-key", key], missing),
            (["--http", "127.0.0.1:0", "--http-tls-cert", certificate, "--http-tls-key", other_key], other_key),
            (["--http", "127.0.0.1:0", "--http-tls-cert", certificate], "--http-tls-key"),
        ]
        for arguments, named in cases:
            said = refused(korvel, folder, *arguments)
            assert named in said, f"{arguments}: {said}"

    with Hub(korvel, send_tool, free_base_port, token="t0ken", tls=True) as hub:
        assert hub.url.startswith("https://127.0.0.1:"), hub.url
        assert hub.get("/healthz").strip() == "ok"
        assert served_serial(hub.url) == 1
        renewed, renewed_key = make_certificate(hub.folder.name, "renewed", 2)
        shutil.copyfile(renewed, hub.certificate)
        shutil.copyfile(renewed_key, hub.key)
        pid = hub.process.pid
        hub.process.send_signal(signal.SIGHUP)
        hub.wait_for(r"web console: serving certificate .*serial 0?2\b")
        assert served_serial(hub.url) == 2
        assert hub.process.pid == pid and hub.process.poll() is None
        assert hub.get("/healthz").strip() == "ok"
    print("refusals named their cause; the renewed certificate was served after SIGHUP")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
