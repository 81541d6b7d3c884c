"""The OSC control of the real cadentor-run: messages sent by oscsend (liblo-tools) reach the
show through a relay socket of this test, which reads the replies back; malformed packets are
counted and dropped.

usage: python3 OscTest.py CADENTOR_RUN
"""

import shutil
import socket
import struct
import subprocess
import sys
import unittest

import ControlShow
from ControlShow import Show


def osc_string(data, at):
    end = data.index(b"\0", at)
    return data[at:end].decode(), (end + 4) & ~3


def decode(packet):
    """(address, [arguments]) of one OSC message of strings and int32s."""
    address, at = osc_string(packet, 0)
    types, at = osc_string(packet, at)
    arguments = []
    for kind in types[1:]:
        if kind == "s":
            value, at = osc_string(packet, at)
        elif kind == "i":
            (value,), at = struct.unpack(">i", packet[at:at + 4]), at + 4
        else:
            raise AssertionError("unexpected type " + kind)
        arguments.append(value)
    return address, arguments


class Osc(unittest.TestCase):
    def setUp(self):
        self.show = Show(["--osc", "127.0.0.1:0", "--control", "0"])
        self.relay = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.relay.bind(("127.0.0.1", 0))
        self.relay.settimeout(10)

    def tearDown(self):
        self.relay.close()
        self.show.finish()

    def send(self, *message):
        """What oscsend makes of `message`, as it sends it, relayed to the show."""
        subprocess.run(["oscsend", "127.0.0.1", str(self.relay.getsockname()[1]), *message],
                       check=True, timeout=10)
        packet, _ = self.relay.recvfrom(65536)
        self.relay.sendto(packet, self.show.osc)

    def reply(self):
        packet, sender = self.relay.recvfrom(65536)
        self.assertEqual(sender, self.show.osc)
        return decode(packet)

    def test_verbs_and_their_replies(self):
        self.show.wait_until(lambda s: s["done"] >= 1, what="the first event")
        self.send("/cadentor/pause")
        address, (state, position, current) = self.reply()
        self.assertEqual((address, state, current), ("/cadentor/state", "paused", "E0"))
        self.assertEqual(self.show.status()["position_ms"], position)
        self.send("/cadentor/status")
        self.assertEqual(self.reply()[1], ["paused", position, "E0"])
        self.send("/cadentor/seek", "s", "0:3.0")
        self.assertEqual(self.reply()[1][:2], ["paused", 3000])
        self.show.drain()
        self.send("/cadentor/fire", "s", "Spare")
        self.assertEqual(self.reply()[0], "/cadentor/state")
        self.assertEqual(self.show.received(2), b"\x5a\x5a")
        self.send("/cadentor/fire", "s", "Nothing")
        address, (about, reason) = self.reply()
        self.assertEqual((address, about), ("/cadentor/error", "/cadentor/fire"))
        self.assertIn("Nothing", reason)
        self.assertEqual(self.reply()[0], "/cadentor/state")
        self.send("/cadentor/resume")
        self.assertEqual(self.reply()[1][0], "running")
        self.send("/cadentor/rewind")
        self.assertEqual(self.reply()[1][:2], ["paused", 0])

    def test_malformed_packets_are_counted_and_dropped(self):
        self.show.wait_until(lambda s: s["state"] == "running")
        garbage = [b"", b"\xff" * 7, b"/cadentor/pause\0", b"/cadentor/fire\0\0,i\0\0\0\0\0\x01",
                   b"#bundle\0" + b"\0" * 8, b"/cadentor/nothing\0\0\0,\0\0\0"]
        for packet in garbage:
            self.relay.sendto(packet, self.show.osc)
        self.send("/cadentor/fire", "i", "1")  # fire wants one string
        self.send("/cadentor/status")
        self.assertEqual(self.reply()[0], "/cadentor/state")
        self.assertEqual(self.show.status()["osc_malformed"], len(garbage) + 1)
        self.assertEqual(self.show.status()["state"], "running")


if __name__ == "__main__":
    ControlShow.RUNNER = sys.argv.pop(1)
    if not shutil.which("oscsend"):
        print("skipped: needs oscsend (liblo-tools)")
        sys.exit(77)
    unittest.main(verbosity=2)
