"""SIPp and free loopback ports for the SIP tests."""

import os
import socket
import subprocess


def free_sip_port():
    """A port free on 127.0.0.1 for both UDP and TCP, as the hub listens on both."""
    for _ in range(50):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
            udp.bind(("127.0.0.1", 0))
            port = udp.getsockname()[1]
            with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as tcp:
                try:
                    tcp.bind(("127.0.0.1", port))
                except OSError:
                    continue
                return port
    raise RuntimeError("no free SIP port")


def start_sipp(folder, scenario, hub_port, service, transport="u1", extra=()):
    """SIPp playing one phone from its own loopback port; returns the process
    and the file its messages are logged to."""
    messages = os.path.join(folder, "messages.log")
    process = subprocess.Popen(
        ["sipp", f"127.0.0.1:{hub_port}", "-sf", scenario, "-m", "1", "-i", "127.0.0.1",
         "-p", str(free_sip_port()), "-s", service, "-t", transport, "-nostdin",
         "-timeout", "50s", "-timeout_error", "-trace_msg", "-message_file", messages,
         "-trace_err", "-error_file", os.path.join(folder, "errors.log"), *extra],
        cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return process, messages


def restart(hub, korvel, extra):
    """Stops the hub with SIGTERM and starts it again on the same folder and ports."""
    import queue
    import signal
    import threading
    hub.process.send_signal(signal.SIGTERM)
    hub.process.wait(timeout=10)
    hub.process = subprocess.Popen(
        [korvel, "--headless", "--data-dir", hub.data, "--http", "127.0.0.1:0", *extra],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    hub.lines = queue.Queue()
    threading.Thread(target=hub._read, daemon=True).start()
    hub.wait_for(r"ready, TCP")


def received_notifies(messages):
    """(CSeq, dialog version or None) of every NOTIFY in SIPp's message log, in order."""
    import re
    found = []
    with open(messages, errors="replace") as log:
        for block in log.read().split("-----------------------------------------------"):
            if "message received" not in block or "\nNOTIFY " not in block:
                continue
            cseq = int(re.search(r"CSeq:\s*(\d+) NOTIFY", block).group(1))
            version = re.search(r'version="(\d+)"', block)
            found.append((cseq, int(version.group(1)) if version else None))
    return found
