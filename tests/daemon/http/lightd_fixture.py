"""lightd on the virtual light source, for the HTTP tests.

Starts sim_probe (the virtual light source, asked over a pipe what it was
told) and the real lightd on its pseudo-terminal, with free ports. Paths come
from the environment CTest sets: LIGHTD and SIM_PROBE.
"""
import http.client
import json
import os
import socket
import subprocess
import time

LIGHTD = os.environ.get("LIGHTD", "build/daemon/lightd")
SIM_PROBE = os.environ.get("SIM_PROBE", "build/tests/daemon/http/sim_probe")


def wait_for(condition, timeout=10.0, what="condition"):
    """Polls `condition` until it returns a true value; that value is returned."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Sim:
    """The virtual light source in a helper process."""

    def __init__(self):
        self.proc = subprocess.Popen([SIM_PROBE], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.port = self.ask("port")

    def ask(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().strip()

    def state(self):
        return json.loads(self.ask("state"))

    def frames(self):
        return int(self.ask("frames"))

    def writes(self):
        """The write frames since the last call, as "CMD:DATA" hex strings."""
        answer = self.ask("writes")
        return [] if answer == "-" else answer.split(" ")

    def set_temperature(self, channel, celsius, alarm):
        assert self.ask("temp %d %s %d" % (channel, celsius, 1 if alarm else 0)) == "ok"

    def unplug(self):
        assert self.ask("unplug") == "ok"

    def close(self):
        if self.proc.poll() is None:
            self.proc.stdin.write("quit\n")
            self.proc.stdin.flush()
            self.proc.wait(timeout=10)


class Lightd:
    """The daemon, with HTTP and SCPI on free loopback ports."""

    def __init__(self, device, *extra, program=LIGHTD, env=None, preexec_fn=None, announce=False):
        self.http_port = free_port()
        self.scpi_port = free_port()
        # Tests announce nothing on the network unless they test that.
        args = [program, "--device", device, "--http-port", str(self.http_port),
                "--scpi-port", str(self.scpi_port), *([] if announce else ["--no-announce"]), *extra]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env,
                                     preexec_fn=preexec_fn)
        wait_for(self._answers, what="lightd to answer on HTTP")

    def _answers(self):
        if self.proc.poll() is not None:
            raise AssertionError("lightd ended: " + self.proc.stdout.read())
        try:
            status, body = self.request("GET", "/api/v1/state")
            return status == 200 and json.loads(body)["connected"]
        except OSError:
            return False

    def connection(self, timeout=10):
        return http.client.HTTPConnection("127.0.0.1", self.http_port, timeout=timeout)

    def request(self, method, path, body=None, headers=None):
        conn = self.connection()
        try:
            if isinstance(body, (dict, list)):
                body = json.dumps(body)
            conn.request(method, path, body=body, headers=headers or {})
            res = conn.getresponse()
            return res.status, res.read().decode()
        finally:
            conn.close()

    def state(self):
        status, body = self.request("GET", "/api/v1/state")
        assert status == 200, body
        return json.loads(body)

    def patch(self, body, token=None):
        headers = {"Content-Type": "application/json"}
        if token is not None:
            headers["Authorization"] = "Bearer " + token
        status, text = self.request("PATCH", "/api/v1/state", body, headers)
        return status, json.loads(text) if text else None

    def metrics(self):
        status, body = self.request("GET", "/metrics")
        assert status == 200, body
        return body

    def scpi(self, line):
        """Sends one SCPI line; returns the answer line for a query, else None."""
        with socket.create_connection(("127.0.0.1", self.scpi_port), timeout=10) as s:
            s.sendall((line + "\n").encode())
            if "?" not in line:
                s.sendall(b"*OPC?\n")
            reply = b""
            while not reply.endswith(b"\n"):
                chunk = s.recv(4096)
                if not chunk:
                    break
                reply += chunk
            return reply.decode().strip()

    def running(self):
        return self.proc.poll() is None

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode


class EventStream:
    """One client of /api/v1/events, read as raw lines."""

    def __init__(self, port, timeout=10):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.sock.sendall(b"GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n")
        self.buffer = b""
        head = self._read_until(b"\r\n\r\n")
        self.status_line = head.split(b"\r\n", 1)[0].decode()
        self.headers = head.decode()

    def _read_until(self, marker):
        while marker not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("event stream closed")
            self.buffer += chunk
        part, self.buffer = self.buffer.split(marker, 1)
        return part

    def next_event(self):
        """(event name, parsed data), skipping comment lines."""
        while True:
            block = self._read_until(b"\n\n").decode()
            name, data = None, []
            for line in block.split("\n"):
                if line.startswith("event: "):
                    name = line[7:]
                elif line.startswith("data: "):
                    data.append(line[6:])
            if name:
                return name, json.loads("\n".join(data))

    def wait_for_state(self, predicate, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            name, data = self.next_event()
            if name == "state" and predicate(data):
                return data
        raise AssertionError("no matching state event")

    def close(self):
        self.sock.close()
