"""A real hub process with its web console, and a simulated PBX beside it.

Shared by the browser test, the metrics test and the screenshot script. The
hub runs headless in a scratch folder on a free base port; the PBX speaks
through korvel-send from an address of 127.0.0.0/8 other than the hub's own.
"""

import http.client
import json
import os
import re
import queue
import signal
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import urllib.parse
import urllib.request

SKIP = 77  # CTest's SKIP_RETURN_CODE for these tests


class BasePort:
    """A free base port, kept from the other tests until closed: tests check
    and lock their ports through the same folder."""

    def __init__(self, free_base_port):
        self.hold = subprocess.Popen([free_base_port, "--hold"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        line = self.hold.stdout.readline().strip()
        if not line:
            self.close()
            raise RuntimeError("no free base port")
        self.base = int(line)

    def close(self):
        self.hold.stdin.close()
        self.hold.stdout.close()
        self.hold.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Hub:
    def __init__(self, korvel, send_tool, free_base_port, token=None, systems=(), extra=(), tls=False,
                 admin_token=None, allow=None):
        """`systems`: lines for system.dat (address, To IP, port, type, endpoint type, name);
        `tls`: serve HTTPS with a certificate made for the test, in self.certificate and self.key;
        `allow`: lines for allow.txt."""
        self.send_tool = send_tool
        self.token = token
        self.folder = tempfile.TemporaryDirectory(prefix="korvel-web-")
        # The port stays reserved for as long as this hub may hold it.
        self.port = BasePort(free_base_port)
        self.base = self.port.base
        data = os.path.join(self.folder.name, "data")
        os.makedirs(data)
        with open(os.path.join(data, "system.dat"), "w", newline="") as out:
            out.write(f"Version : 5\r\nBase Port : {self.base}\r\n")
            for line in systems:
                out.write(line + "\r\n")
        self.data = data
        if allow is not None:
            with open(os.path.join(data, "allow.txt"), "w") as out:
                out.write("".join(line + "\n" for line in allow))
        extra = list(extra)
        self.admin_token = admin_token
        for option, secret, name in (("--http-token-file", token, "token"),
                                     ("--http-admin-token-file", admin_token, "admin-token")):
            if secret:
                self.token_file(name, secret)
                extra += [option, os.path.join(self.folder.name, name)]
        if tls:
            self.certificate, self.key = make_certificate(self.folder.name, "hub", 1)
            extra += ["--http-tls-cert", self.certificate, "--http-tls-key", self.key]
        self.process = subprocess.Popen(
            [korvel, "--headless", "--data-dir", data, "--http", "127.0.0.1:0", *extra],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        # Read on a thread of its own, so that the hub never waits on a full pipe.
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        try:
            self.url = self.wait_for(r"web console at (https?://\S+/)")
            self.wait_for(r"ready, TCP")
        except RuntimeError:
            self.process.kill()
            self.process.wait()
            self.folder.cleanup()
            self.port.close()
            raise

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line)
        self.lines.put(None)

    def wait_for(self, pattern, timeout=15):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                line = self.lines.get(timeout=0.2)
            except queue.Empty:
                continue
            if line is None:
                break
            found = re.search(pattern, line)
            if found:
                return found.group(1) if found.groups() else line
        raise RuntimeError(f"the hub never said /{pattern}/ (exit {self.process.poll()})")

    def token_file(self, name, secret):
        path = os.path.join(self.folder.name, name)
        with open(path, "w") as out:
            out.write(secret + "\n")
        return path

    def request(self, method, path, body=None, token=None, headers=None):
        """(status, body text, headers) of one request; `body` a dict goes as JSON."""
        port = int(re.search(r":(\d+)/", self.url).group(1))
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=15)
        sent = dict(headers or {})
        if token:
            sent["Authorization"] = f"Bearer {token}"
        if isinstance(body, dict):
            body = json.dumps(body)
            sent.setdefault("Content-Type", "application/json")
        try:
            connection.request(method, path, body=body, headers=sent)
            answer = connection.getresponse()
            return answer.status, answer.read().decode(), dict(answer.getheaders())
        finally:
            connection.close()

    def get(self, path):
        request = urllib.request.Request(self.url + path.lstrip("/"))
        if self.token:
            request.add_header("Authorization", f"Bearer {self.token}")
        with urllib.request.urlopen(request, timeout=5, context=insecure_tls()) as answer:
            return answer.read().decode()

    def send(self, sender, message, *options, udp=False):
        """One packet from the PBX at `sender`; UDP to the QVX endpoint, TCP to the hub's port."""
        port = self.base + 1 if udp else self.base
        transport = ["--udp"] if udp else ["--tcp"]
        subprocess.run([self.send_tool, "--from", sender, *transport, f"127.0.0.1:{port}", message, *options],
                       check=True, stdout=subprocess.DEVNULL, timeout=10)

    def close(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.folder.cleanup()
        self.port.close()
        # A hub that crashed or that a sanitizer stopped fails the test, with what it said.
        if self.process.returncode != 0:
            said = []
            while not self.lines.empty():
                said.append(self.lines.get() or "")
            raise RuntimeError(f"the hub exited with {self.process.returncode}:\n" + "".join(said[-60:]))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def insecure_tls():
    """Takes the test's own certificate, whatever it says."""
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


def make_certificate(folder, name, serial):
    """A self-signed certificate for 127.0.0.1 with this serial, and its key;
    returns their paths, folder/NAME.crt and folder/NAME.key."""
    certificate, key = os.path.join(folder, name + ".crt"), os.path.join(folder, name + ".key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                    "-days", "2", "-subj", f"/CN={name}", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-set_serial", str(serial), "-keyout", key, "-out", certificate],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    return certificate, key


def served_serial(url):
    """The serial of the certificate a new TLS connection to `url` gets."""
    parts = urllib.parse.urlsplit(url)
    with socket.create_connection((parts.hostname, parts.port), timeout=5) as raw:
        with insecure_tls().wrap_socket(raw) as tls:
            der = tls.getpeercert(binary_form=True)
    shown = subprocess.run(["openssl", "x509", "-inform", "DER", "-noout", "-serial"], input=der,
                           capture_output=True, check=True, timeout=30).stdout.decode()
    return int(shown.strip().split("=")[1], 16)


def icmp_allowed():
    """Whether this process may ping as the hub does: an unprivileged ICMP socket
    (net.ipv4.ping_group_range), or else a raw one (root, CAP_NET_RAW)."""
    for kind in (socket.SOCK_DGRAM, socket.SOCK_RAW):
        try:
            socket.socket(socket.AF_INET, kind, socket.IPPROTO_ICMP).close()
            return True
        except OSError:
            pass
    return False


def pbx_address(base, host):
    """A loopback address of this test's own, from its free base port, so
    that tests running side by side never play the same system."""
    k = (base - 20000) // 10
    return f"127.{10 + k // 256}.{k % 256}.{host}"


def chromium(width=1400, height=900, any_certificate=False):
    """A headless Chromium driven by Debian's chromedriver, or None when the
    browser, its driver or selenium is missing. `any_certificate`: it takes
    the test's self-signed certificate."""
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        return None
    driver = "/usr/bin/chromedriver"
    if not os.path.exists(driver) or not os.path.exists("/usr/bin/chromium"):
        return None
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     f"--window-size={width},{height}", "--hide-scrollbars"):
        options.add_argument(argument)
    if any_certificate:
        options.add_argument("--ignore-certificate-errors")
    return webdriver.Chrome(service=Service(driver), options=options)


def sip_tools():
    """The SIP tests' helpers (free SIP ports, SIPp scenarios)."""
    import sys
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sip")
    if folder not in sys.path:
        sys.path.insert(0, folder)
    import sip_support
    return sip_support


def watch_station(sip_port, station):
    """SIPp subscribes once to the station's dialog events and answers the
    first NOTIFY; the hub holds the subscription on (600 s) after SIPp ends."""
    tools = sip_tools()
    with tempfile.TemporaryDirectory(prefix="korvel-sipp-") as folder:
        steps = tools.scenario(folder, "watch", tools.subscribe("[pid]watch", "dialog", 600, 1),
                               tools.response(200), tools.notify())
        sipp, _ = tools.start_sipp(folder, steps, sip_port, station)
        output = sipp.communicate(timeout=60)[0]
        assert sipp.returncode == 0, output
