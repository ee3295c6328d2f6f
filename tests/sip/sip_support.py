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


class SippRun:
    """SIPp playing one phone while a with-block runs; at its end SIPp must
    finish well within a minute (it is killed when the block fails) and `said`
    holds the messages it logged."""

    def __init__(self, folder, scenario, port, service, transport="u1"):
        os.makedirs(folder, exist_ok=True)
        self.process, self.messages = start_sipp(folder, scenario, port, service, transport)
        self.said = ""

    def __enter__(self):
        return self

    def __exit__(self, failed, *_):
        try:
            if not failed:
                self.process.wait(timeout=60)
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()
            if os.path.exists(self.messages):
                with open(self.messages, errors="replace") as log:
                    self.said = log.read()
        if not failed:
            assert self.process.returncode == 0, \
                self.said[-6000:] + (self.process.stdout.read() if self.process.stdout else "")


def run_sipp(folder, scenario, port, service, transport="u1"):
    """SIPp run to its end, which must be a success; returns its messages."""
    with SippRun(folder, scenario, port, service, transport) as sipp:
        pass
    return sipp.said


def restart(hub, korvel, extra):
    """Stops the hub with SIGTERM and starts it again on the same folder and ports."""
    import queue
    import signal
    import threading
    hub.process.send_signal(signal.SIGTERM)
    hub.process.wait(timeout=10)
    # The old reader's end mark must land in the old queue, not the new one.
    while hub.lines.get(timeout=10) is not None:
        pass
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


# SIPp scenarios, built from the few steps a phone takes.

def subscribe(tag, event, expires, cseq, to_tag=False, uri="sip:[service]@[remote_ip]:[remote_port]", routes=False):
    """A SUBSCRIBE from the phone; `to_tag` names the hub's tag (a refresh)."""
    to = ";tag=[$hubtag]" if to_tag else ""
    route = "\n      [routes]" if routes else ""
    return f"""  <send retrans="500">
    <![CDATA[

      SUBSCRIBE {uri} SIP/2.0
      Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch];rport
      From: <sip:phone@[local_ip]>;tag={tag}
      To: <sip:[service]@[remote_ip]>{to}{route}
      Call-ID: [call_id]
      CSeq: {cseq} SUBSCRIBE
      Contact: <sip:phone@[local_ip]:[local_port];transport=[transport]>
      Max-Forwards: 70
      Event: {event}
      Expires: {expires}
      Content-Length: 0

    ]]>
  </send>
"""


def checks(*tests):
    """ereg actions, each (regexp, header or None for the body); the call fails when one does not match."""
    lines = []
    for regexp, header in tests:
        where = f'search_in="hdr" header="{header}:"' if header else 'search_in="body"'
        lines.append(f'      <ereg regexp="{regexp}" {where} check_it="true" assign_to="junk"/>')
    return "\n".join(lines)


def response(code, *tests, keep_tag=False, rrs=False):
    """The hub's answer; `keep_tag` keeps its To tag in $hubtag for refreshes."""
    actions = checks(*tests)
    if keep_tag:
        actions += ('\n      <ereg regexp="tag=([^;>]*)" search_in="hdr" header="To:" check_it="true" '
                    'assign_to="junk,hubtag"/>')
    rrs = ' rrs="true"' if rrs else ""
    if not actions:
        return f'  <recv response="{code}"{rrs}/>\n'
    return f'  <recv response="{code}"{rrs}>\n    <action>\n{actions}\n    </action>\n  </recv>\n'


def notify(*tests, answer="200 OK"):
    """A NOTIFY from the hub, checked, and the phone's answer to it."""
    actions = checks(*tests)
    received = (f'  <recv request="NOTIFY" timeout="20000">\n    <action>\n{actions}\n    </action>\n  </recv>\n'
                if actions else '  <recv request="NOTIFY" timeout="20000"/>\n')
    return received + f"""  <send>
    <![CDATA[

      SIP/2.0 {answer}
      [last_Via:]
      [last_From:]
      [last_To:]
      [last_Call-ID:]
      [last_CSeq:]
      Content-Length: 0

    ]]>
  </send>
"""


def scenario(folder, name, *steps):
    """Writes the scenario into `folder`; returns its path."""
    path = os.path.join(folder, name + ".xml")
    with open(path, "w") as out:
        out.write(f'<?xml version="1.0" encoding="ISO-8859-1" ?>\n<scenario name="{name}">\n'
                  + "".join(steps) + "</scenario>\n")
    return path


def dialog_state(version, state):
    """A dialog-info body check: this version, this state."""
    return (f"version=.{version}. state=.full.*<state>{state}</state>", None)
