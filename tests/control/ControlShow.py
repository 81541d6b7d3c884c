"""A show for cadentor-run with --control and --osc, for the Python drivers of the control tests.

A temporary directory holds Config.ini (one port: a pty whose master the show reads),
Command.def and seq.txt; the runner is started with the given options, and the addresses it
prints on stderr are read back. Every wait is bounded.
"""

import http.client
import json
import os
import pty
import re
import select
import subprocess
import tempfile
import time
import tty

RUNNER = os.environ.get("CADENTOR_RUN", "cadentor-run")

# Eight events half a second apart, then one far away so that the show keeps running.
COMMANDS = "".join(f"E{k}: 0: {k:02X} 0A\n" for k in range(8)) + "Far: 0: FF\nSpare: 0: 5A 5A\n"
SEQUENCE = "".join(f"0:{1 + k * 0.5:.1f} E{k}\n" for k in range(8)) + "30:0 Far\n"


class Show:
    def __init__(self, options, commands=COMMANDS, sequence=SEQUENCE, token=None, wait=True,
                 token_mode=0o600):
        self.dir = tempfile.TemporaryDirectory(prefix="cadentor-control-")
        self.master, slave = pty.openpty()
        tty.setraw(slave)
        self.slave_path = os.ttyname(slave)
        self.slave = slave  # held open, so that the runner's close never hangs the line up
        self.write("Config.ini", f"[Common]\nRequire=1\n[Port0]\nDevice={self.slave_path}\n")
        self.write("Command.def", commands)
        self.write("seq.txt", sequence)
        self.token = token
        if token is not None:
            self.write("token", token + "\n", token_mode)
        args = [RUNNER, "--dir", self.dir.name] + [a.replace("{d}", self.dir.name) for a in options]
        self.process = subprocess.Popen(args + [self.path("seq.txt")], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE)
        self.stderr = b""
        self.http = None
        self.osc = None
        if wait:
            self.http = self.wait_for(rb"control on http://([0-9.]+):(\d+)/", "--control" in options)
            self.osc = self.wait_for(rb"OSC on udp ([0-9.]+):(\d+)", "--osc" in options)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def write(self, name, text, mode=0o644):
        with open(self.path(name), "w") as f:
            f.write(text)
        os.chmod(self.path(name), mode)

    def wait_for(self, pattern, expected, limit=10):
        """The (host, port) of the first stderr line that matches, read within `limit` s."""
        if not expected:
            return None
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            found = re.search(pattern, self.stderr)
            if found:
                return found.group(1).decode(), int(found.group(2))
            ready, _, _ = select.select([self.process.stderr], [], [], 0.2)
            if ready:
                chunk = os.read(self.process.stderr.fileno(), 4096)
                if not chunk:
                    break
                self.stderr += chunk
        raise AssertionError("the runner did not say where it listens: " + self.stderr.decode())

    def request(self, method, path, headers=None, body=None, token=True):
        """(status, headers, decoded JSON or text) of one request on a new connection."""
        connection = http.client.HTTPConnection(*self.http, timeout=10)
        all_headers = dict(headers or {})
        if token and self.token is not None:
            all_headers.setdefault("Authorization", "Bearer " + self.token)
        connection.request(method, path, body=body, headers=all_headers)
        response = connection.getresponse()
        data = response.read()
        connection.close()
        kind = response.getheader("Content-Type", "")
        value = json.loads(data) if kind.startswith("application/json") and data else data.decode()
        return response.status, response, value

    def status(self):
        code, _, value = self.request("GET", "/status")
        assert code == 200, (code, value)
        return value

    def wait_until(self, check, limit=15, what="the show"):
        """Polls /status until check(status) holds; fails after `limit` s."""
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            status = self.status()
            if check(status):
                return status
            time.sleep(0.05)
        raise AssertionError(f"{what} did not come within {limit} s: {self.status()}")

    def received(self, count, limit=5):
        """`count` bytes from the port, read within `limit` s."""
        data = b""
        deadline = time.monotonic() + limit
        while len(data) < count and time.monotonic() < deadline:
            ready, _, _ = select.select([self.master], [], [], 0.1)
            if ready:
                data += os.read(self.master, 4096)
        return data

    def drain(self):
        while select.select([self.master], [], [], 0)[0]:
            os.read(self.master, 4096)

    def finish(self, limit=10):
        """The exit status and the whole stderr, after SIGTERM when it still runs."""
        if self.process.poll() is None and self.http is None and self.osc is None:
            try:  # not started as a show: it is to end by itself
                self.process.wait(timeout=limit)
            except subprocess.TimeoutExpired:
                pass
        if self.process.poll() is None:
            self.process.terminate()
        try:
            _, err = self.process.communicate(timeout=limit)
        except subprocess.TimeoutExpired:
            self.process.kill()
            _, err = self.process.communicate()
        self.stderr += err
        os.close(self.master)
        os.close(self.slave)
        self.dir.cleanup()
        return self.process.returncode, self.stderr.decode(errors="replace")
