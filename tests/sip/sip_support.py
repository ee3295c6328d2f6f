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
