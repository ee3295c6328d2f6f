"""SIP over TLS with the real hub: a phone on a TLS connection subscribes and
gets its NOTIFYs back on that connection, with the hub's TLS Contact; a key
that does not belong to the certificate stops the start with the reason; and
a source allow.txt does not list is refused. SIGHUP serves a renewed
certificate to new connections, and a pair that does not match is refused
with the one in use kept.
SIPp as Debian builds it has no TLS, so the phone here is Python's TLS
client speaking the few lines a phone sends.
Usage: tls_test.py KORVEL KORVEL_SEND FREE_BASE_PORT
"""

import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
from hub_process import BasePort, Hub, insecure_tls, make_certificate, pbx_address, served_serial  # noqa: E402
from sip_support import free_sip_port  # noqa: E402


class Phone:
    def __init__(self, port):
        self.tls = insecure_tls().wrap_socket(socket.create_connection(("127.0.0.1", port), timeout=10))
        self.port = self.tls.getsockname()[1]
        self.pending = b""

    def send(self, text):
        self.tls.sendall(text.replace("\n", "\r\n").encode())

    def message(self):
        while True:
            head, separator, rest = self.pending.partition(b"\r\n\r\n")
            if separator:
                length = int(re.search(rb"Content-Length:\s*(\d+)", head).group(1))
                if len(rest) >= length:
                    self.pending = rest[length:]
                    return (head + b"\r\n\r\n" + rest[:length]).decode()
            chunk = self.tls.recv(65536)
            if not chunk:
                raise RuntimeError("the hub closed the TLS connection")
            self.pending += chunk

    def notify(self):
        """The next NOTIFY, answered 200 (responses before it are skipped)."""
        while True:
            text = self.message()
            if text.startswith("NOTIFY "):
                lines = [line for line in text.split("\r\n")
                         if line.split(":")[0] in ("Via", "From", "To", "Call-ID", "CSeq")]
                self.send("SIP/2.0 200 OK\n" + "\n".join(lines) + "\nContent-Length: 0\n\n")
                return text

    def subscribe(self, tls_port, expires, cseq, hub_tag=None):
        to_tag = f";tag={hub_tag}" if hub_tag else ""
        self.send(f"SUBSCRIBE sips:41100@127.0.0.1:{tls_port} SIP/2.0\n"
                  f"Via: SIP/2.0/TLS 127.0.0.1:{self.port};branch=z9hG4bKtls{cseq};rport\n"
                  f"From: <sips:phone@127.0.0.1>;tag=phone\nTo: <sips:41100@127.0.0.1>{to_tag}\n"
                  f"Call-ID: tls-test\nCSeq: {cseq} SUBSCRIBE\n"
                  f"Contact: <sips:phone@127.0.0.1:{self.port};transport=tls>\nMax-Forwards: 70\n"
                  f"Event: dialog\nExpires: {expires}\nContent-Length: 0\n\n")
        answer = self.message()
        assert answer.startswith("SIP/2.0 200"), answer
        return answer


def main(korvel, send_tool, free_base_port):
    sip_port = free_sip_port()
    while not free_port_pair(sip_port):
        sip_port = free_sip_port()
    with tempfile.TemporaryDirectory(prefix="korvel-sip-tls-") as folder:
        certificate, key = make_certificate(folder, "hub", 1)
        _, other_key = make_certificate(folder, "other", 2)
        tls = ["--sip", f"127.0.0.1:{sip_port}", "--sip-tls-cert", certificate]
        with BasePort(free_base_port) as base:
            refused = subprocess.run([korvel, "--headless", "--data-dir", os.path.join(folder, "refused"),
                                      "--base-port", str(base.base), *tls, "--sip-tls-key", other_key],
                                     capture_output=True, text=True, timeout=30)
        assert refused.returncode == 1 and "SIP: " in refused.stderr, refused.stderr
        with Hub(korvel, send_tool, free_base_port, extra=[*tls, "--sip-tls-key", key]) as hub:
            pbx = pbx_address(hub.base, 2)
            phone = Phone(sip_port + 1)
            answer = phone.subscribe(sip_port + 1, 600, 1)
            assert f"Contact: <sips:127.0.0.1:{sip_port + 1}>" in answer, answer
            hub_tag = re.search(r"^To:.*;tag=([^;\s>]+)", answer, re.M).group(1)
            assert "<state>terminated</state>" in phone.notify()
            hub.send(pbx, "statusreport", "--system-id", "QVX300", "--stations", "41100", "--status", "busy",
                     udp=True)
            assert "<state>confirmed</state>" in phone.notify()
            phone.subscribe(sip_port + 1, 0, 2, hub_tag)
            assert "Subscription-State: terminated" in phone.notify()
            # Renewed, then a key of another certificate: the renewed one stays.
            served = f"sips://127.0.0.1:{sip_port + 1}"
            renewed, renewed_key = make_certificate(folder, "renewed", 3)
            for new_key, said in ((renewed_key, r"SIP over TLS: serving certificate .*serial 0?3\b"),
                                  (other_key, r"SIP: .*; the certificate in use stays")):
                shutil.copyfile(renewed, certificate)
                shutil.copyfile(new_key, key)
                hub.process.send_signal(signal.SIGHUP)
                hub.wait_for(said)
                assert served_serial(served) == 3
                phone = Phone(sip_port + 1)
                phone.subscribe(sip_port + 1, 600, 1)
                assert "<state>confirmed</state>" in phone.notify()
        # allow.txt keeps SIP sources out as it keeps exchanges out.
        with Hub(korvel, send_tool, free_base_port, extra=["--sip", f"127.0.0.1:{sip_port}"],
                 allow=["127.200.0.0/16"]) as hub:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as phone:
                phone.bind(("127.0.0.1", 0))
                phone.settimeout(10)
                port = phone.getsockname()[1]
                phone.sendto((f"OPTIONS sip:41100@127.0.0.1:{sip_port} SIP/2.0\r\n"
                              f"Via: SIP/2.0/UDP 127.0.0.1:{port};branch=z9hG4bKallow\r\n"
                              "From: <sip:phone@127.0.0.1>;tag=a\r\nTo: <sip:41100@127.0.0.1>\r\n"
                              "Call-ID: allow\r\nCSeq: 1 OPTIONS\r\nMax-Forwards: 70\r\n"
                              "Content-Length: 0\r\n\r\n").encode(), ("127.0.0.1", sip_port))
                answer = phone.recv(65536).decode()
                assert answer.startswith("SIP/2.0 403"), answer
    print("a phone over TLS followed the lamp; a renewed certificate was served after SIGHUP; a key of another "
          "certificate was refused, at start and on reload; allow.txt kept a SIP source out")
    return 0


def free_port_pair(port):
    """Whether TCP port + 1 is free too, for the TLS port."""
    with socket.socket() as probe:
        try:
            probe.bind(("127.0.0.1", port + 1))
            return True
        except OSError:
            return False


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
