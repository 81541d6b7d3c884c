"""The HTTP control of the real cadentor-run over loopback: the status, the verbs, every bad
input, the connection limits and the token rules.

usage: python3 HttpTest.py CADENTOR_RUN
"""

import socket
import sys
import threading
import time
import unittest

import ControlShow
from ControlShow import Show


class Verbs(unittest.TestCase):
    def setUp(self):
        self.show = Show(["--control", "0"])

    def tearDown(self):
        self.show.finish()

    def test_status_events_and_the_verbs(self):
        show = self.show
        status = show.wait_until(lambda s: s["done"] >= 1, what="the first event")
        for key in ("version", "state", "position_ms", "pass", "events", "done", "failed",
                    "current", "next", "last_failure", "ports"):
            self.assertIn(key, status)
        self.assertEqual(status["state"], "running")
        self.assertEqual(status["events"], 9)
        self.assertEqual(status["ports"][0]["device"], show.slave_path)
        code, _, rows = show.request("GET", "/events")
        self.assertEqual(code, 200)
        self.assertEqual([r["name"] for r in rows][:2], ["E0", "E1"])
        self.assertEqual(rows[0]["outcome"], "Done")
        self.assertEqual(rows[8], {"index": 8, "time_ms": 1800000, "time": "0:30:0.000",
                                   "port": show.slave_path, "name": "Far",
                                   "outcome": "Pending"})

        # Paused from here on, so that nothing runs meanwhile however slow the machine.
        code, _, paused = show.request("POST", "/pause")
        self.assertEqual((code, paused["state"]), (200, "paused"))
        time.sleep(0.3)
        self.assertEqual(show.status()["position_ms"], paused["position_ms"])

        show.drain()
        code, _, fired = show.request("POST", "/fire?name=Spare")
        self.assertEqual(code, 200, fired)
        self.assertEqual(show.received(2), b"\x5a\x5a")

        code, _, sought = show.request("POST", "/seek?time=0:0:4.2")
        self.assertEqual((code, sought["state"], sought["position_ms"]), (200, "paused", 4200))
        _, _, rows = show.request("GET", "/events")
        # Every event before 0:4.2 Missed, E7 at 0:4.5 to come.
        self.assertEqual([r["outcome"] for r in rows[:8]], ["Missed"] * 7 + ["Pending"])

        code, _, resumed = show.request("POST", "/resume")
        self.assertEqual((code, resumed["state"]), (200, "running"))
        self.assertGreaterEqual(resumed["position_ms"], 4200)

        code, _, rewound = show.request("POST", "/rewind")
        self.assertEqual((code, rewound["state"], rewound["position_ms"]), (200, "paused", 0))
        _, _, rows = show.request("GET", "/events")
        self.assertEqual({r["outcome"] for r in rows}, {"Pending"})

    def test_bad_input_changes_nothing(self):
        show = self.show
        show.wait_until(lambda s: s["state"] == "running")
        show.request("POST", "/pause")
        before = show.status()
        cases = [
            ("POST", "/fire?name=Nothing", {}, 404),
            ("POST", "/fire", {}, 400),
            ("POST", "/fire?name=", {}, 400),
            ("POST", "/fire?name=%zz", {}, 400),
            ("POST", "/seek?time=soon", {}, 400),
            ("POST", "/seek?time=0%3A1%20x", {}, 400),
            ("POST", "/seek", {}, 400),
            ("GET", "/nothing", {}, 404),
            ("GET", "/pause", {}, 405),
            ("POST", "/status", {}, 405),
            ("DELETE", "/events", {}, 405),
            ("POST", "/pause", {"Origin": "http://elsewhere.example"}, 403),
            ("GET", "/status", {"Host": "rebound.example:80"}, 403),
        ]
        for method, path, headers, expected in cases:
            code, response, reply = show.request(method, path, headers)
            self.assertEqual(code, expected, (method, path, reply))
            self.assertTrue(reply["error"], (method, path))
            if expected == 405:
                self.assertIn("POST" if method == "GET" else "GET", response.getheader("Allow"))
        code, _, reply = show.request("POST", "/resume", body=b"x" * (64 * 1024 + 1))
        self.assertEqual(code, 413, reply)
        code, _, _ = show.request("POST", "/pause", body=b"x" * (64 * 1024))
        self.assertEqual(code, 200)
        code, _, reply = show.request("GET", "/status", {"X-Long": "y" * 20000})
        self.assertEqual(code, 431)
        with socket.create_connection(show.http, timeout=10) as raw:
            raw.sendall(b"NOT HTTP AT ALL\r\n\r\n")
            self.assertTrue(raw.recv(4096).startswith(b"HTTP/1.1 400"))
        after = show.status()
        self.assertEqual((after["state"], after["position_ms"], after["done"]),
                         (before["state"], before["position_ms"], before["done"]))

    def test_idle_clients_and_too_many_connections(self):
        show = self.show
        # A client that sends nothing is closed after 10 s; one that sends half a request too.
        quiet = socket.create_connection(show.http, timeout=30)
        half = socket.create_connection(show.http, timeout=30)
        half.sendall(b"GET /status HTTP/1.1\r\n")
        started = time.monotonic()
        self.assertEqual(quiet.recv(4096), b"")
        self.assertEqual(half.recv(4096), b"")
        self.assertGreaterEqual(time.monotonic() - started, 9)
        # 16 at once are served; the 17th is told so and closed.
        held = [socket.create_connection(show.http, timeout=10) for _ in range(16)]
        extra = socket.create_connection(show.http, timeout=10)
        self.assertTrue(extra.recv(4096).startswith(b"HTTP/1.1 503"))
        for s in held[:2]:
            s.close()
        # Served again once the server has seen two of them go.
        deadline = time.monotonic() + 10
        while show.request("GET", "/status")[0] == 503 and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(show.request("GET", "/status")[0], 200)
        for s in held + [extra, quiet, half]:
            s.close()


class Token(unittest.TestCase):
    def test_the_token_rules(self):
        show = Show(["--control", "127.0.0.1:0", "--control-token", "{d}/token"],
                    token="s3cret-token")
        try:
            show.wait_until(lambda s: s["state"] == "running")
            code, _, reply = show.request("GET", "/status", token=False)
            self.assertEqual(code, 401, reply)
            for wrong in ("Bearer s3cret-tokeN", "Bearer s3cret-toke", "Bearer s3cret-token2",
                          "Bearer ", "Basic s3cret-token", "s3cret-token"):
                code, response, _ = show.request("POST", "/pause", {"Authorization": wrong})
                self.assertEqual(code, 401, wrong)
                self.assertIn("Bearer", response.getheader("WWW-Authenticate"))
            self.assertEqual(show.status()["state"], "running")
            code, _, _ = show.request("POST", "/pause")
            self.assertEqual(code, 200)
            code, response, page = show.request("GET", "/", token=False)
            self.assertEqual(code, 200)
            self.assertTrue(response.getheader("Content-Type").startswith("text/html"))
            self.assertIn("<button id=\"pause\"", page)
        finally:
            show.finish()

    def test_refused_at_start(self):
        cases = [(["--control", "0.0.0.0:0"], None, "--control-token"),
                 (["--control", "0.0.0.0:0", "--control-token", "{d}/token"], 0o644, "chmod 600"),
                 (["--control", "127.0.0.1:0", "--control-token", "{d}/none"], None, "none"),
                 (["--control", "example.org:80"], None, "example.org"),
                 (["--osc", "99999"], None, "99999")]
        for options, mode, said in cases:
            show = Show(options, token="s3cret-token", wait=False, token_mode=mode or 0o600)
            code, stderr = show.finish()
            self.assertEqual(code, 2, (options, stderr))
            self.assertIn(said, stderr, options)
            self.assertNotIn("control on http", stderr)


if __name__ == "__main__":
    ControlShow.RUNNER = sys.argv.pop(1)
    unittest.main(verbosity=2)
