#!/usr/bin/python3
"""Proves the reference peers against each other before our own stack is measured against them.

aiortc and Chromium connect in both offer directions; both data channels open with the reliability
they were created with and echo binary and text messages both ways; H.264 video from each side is
decoded by the other at the size it was sent.

Run: /usr/bin/python3 tests/rtc/interop/selftest.py [-v] [Class.test_name]
"""

import base64
import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

CHANNELS = [
    {"label": "murel.control.v1", "ordered": True},
    {"label": "murel.pointer.v1", "ordered": False, "maxRetransmits": 0},
]


def have_aiortc():
    return os.system(harness.PYTHON + " -c 'import aiortc, av' 2>/dev/null") == 0


def have_chromium():
    return shutil.which("chromium") is not None or os.path.exists("/usr/bin/chromium")


class PairMixin:
    offerer = None
    answerer = None

    def setUp(self):
        if "aiortc" in (self.offerer, self.answerer) and not have_aiortc():
            self.skipTest("python3-aiortc/python3-av not installed")
        if "chromium" in (self.offerer, self.answerer) and not have_chromium():
            self.skipTest("chromium not installed")
        self.session = harness.Session(self.offerer, self.answerer)
        self.addCleanup(self.session.close)
        s = self.session
        s.wait_event(s.a, "ready")
        s.wait_event(s.b, "ready")

    def round_trip(self, sender, echoer, label, payload, binary):
        s = self.session
        # Only the far side echoes, or the message would bounce forever.
        s.send(sender, {"cmd": "echo", "enabled": False})
        s.send(echoer, {"cmd": "echo", "enabled": True})
        s.wait_event(sender, "echo", enabled=False)
        s.wait_event(echoer, "echo", enabled=True)
        data = base64.b64encode(payload).decode() if binary else payload
        s.send(sender, {"cmd": "send", "label": label, "data": data, "binary": binary})
        got = s.wait_event(echoer, "message", label=label)
        self.assertEqual((got["binary"], got["data"]), (binary, data))
        back = s.wait_event(sender, "message", label=label)
        self.assertEqual((back["binary"], back["data"]), (binary, data))

    def test_data_channels(self):
        s = self.session
        s.send(s.a, {"cmd": "create-offer", "channels": CHANNELS})
        seen = {}
        for _ in CHANNELS:
            ev = s.wait_event(s.b, "channel")
            seen[ev["label"]] = ev
        self.assertEqual(seen["murel.control.v1"]["ordered"], True)
        self.assertIsNone(seen["murel.control.v1"]["maxRetransmits"])
        self.assertIsNone(seen["murel.control.v1"]["maxPacketLifeTime"])
        self.assertEqual(seen["murel.pointer.v1"]["ordered"], False)
        self.assertEqual(seen["murel.pointer.v1"]["maxRetransmits"], 0)
        self.assertIsNone(seen["murel.pointer.v1"]["maxPacketLifeTime"])
        for peer in (s.a, s.b):
            for ch in CHANNELS:
                s.wait_event(peer, "open", label=ch["label"])
        # Everything but the pointer channel's traffic must arrive; on loopback it does in practice,
        # and a loss there would show a real fault, so both channels are checked the same way.
        big = bytes(range(256)) * 16  # 4096 bytes: the largest message the program sends
        for label in ("murel.control.v1", "murel.pointer.v1"):
            self.round_trip(s.a, s.b, label, b"\x00\x01hello\xff", True)
            self.round_trip(s.b, s.a, label, big, True)
            self.round_trip(s.b, s.a, label, "text \u00e9", False)
            self.round_trip(s.a, s.b, label, b"", True)

    def test_video_from_offerer(self):
        s = self.session
        s.send(s.a, {"cmd": "create-offer", "channels": CHANNELS[:1], "video": "send"})
        s.wait_event(s.b, "track", kind="video")
        s.send(s.b, {"cmd": "wait-video", "frames": 10})
        ev = s.wait_event(s.b, "video")
        self.assertGreaterEqual(ev["frames"], 10)
        self.assertEqual((ev["width"], ev["height"]), (320, 240))
        self.assertEqual(ev["codec"], "H264")

    def test_video_from_answerer(self):
        s = self.session
        s.answer_with[s.b] = {"video": "send"}
        s.send(s.a, {"cmd": "create-offer", "channels": CHANNELS[:1], "video": "recv"})
        s.wait_event(s.a, "track", kind="video")
        s.send(s.a, {"cmd": "wait-video", "frames": 10})
        ev = s.wait_event(s.a, "video")
        self.assertGreaterEqual(ev["frames"], 10)
        self.assertEqual((ev["width"], ev["height"]), (320, 240))
        self.assertEqual(ev["codec"], "H264")


class AiortcOffersChromium(PairMixin, unittest.TestCase):
    offerer, answerer = "aiortc", "chromium"


class ChromiumOffersAiortc(PairMixin, unittest.TestCase):
    offerer, answerer = "chromium", "aiortc"


if __name__ == "__main__":
    unittest.main()
