"""The reverse proxy against a backend that misbehaves: refusing
connections, never answering, closing mid-head or mid-body, sending garbage
heads.  The browser always gets an answer it can tell from success (an
error head, or a body cut short by the close), the backend connection is
closed, and the next request is served."""

import os
import socket
import unittest

# The proxy's wait for a silent backend is the connection layer's head
# time-out; a short one keeps the stalling case quick.
HEAD_TIMEOUT_S = 2
os.environ["WEBKVD_HEAD_TIMEOUT"] = str(HEAD_TIMEOUT_S)

from support.fake_backend import Browser, FakeBackend, ProxyRig, Reply  # noqa: E402
from support.health import assert_idle, fd_count  # noqa: E402
from support.tally import Tally  # noqa: E402

TALLY = Tally("faults_backend")
AREA = "backend server"
TRIES = 3
FAILED = b"HTTP/1.1 500 Failed\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
BODY = b"0123456789" * 100
FULL_HEAD = Reply.head("200 OK", [("Content-Length", str(len(BODY)))])

# (name, reply of the backend, what the browser must receive exactly)
FAULTS = [
    ("closes before answering", Reply.no_reply(), FAILED),
    ("never answers", Reply([("sleep", HEAD_TIMEOUT_S * 3), ("close",)]), FAILED),
    ("closes mid-head", Reply([("send", FULL_HEAD[:20]), ("close",)]), FAILED),
    ("closes mid-body", Reply.cut_short(BODY[:300], len(BODY)), None),
    ("sends a garbage head", Reply([("send", b"\x00\x01garbage\r\n\r\n")]), FAILED),
    ("sends a status line without HTTP", Reply([("send", b"ICY 200 OK\r\n\r\nxx")]), FAILED),
    ("sends a bad length", Reply([("send", Reply.head("200 OK", [("Content-Length", "12x")]) + b"abc")]), FAILED),
    ("sends two lengths", Reply([("send", Reply.head("200 OK", [("Content-Length", "3"), ("Content-Length", "4")])
                                  + b"abcd")]), FAILED),
    ("sends a head over 64 KiB", Reply([("send", b"HTTP/1.1 200 OK\r\nX: " + b"a" * 70000 + b"\r\n\r\n")]), FAILED),
]


class BackendFaults(unittest.TestCase):
    def setUp(self):
        self.reply = None
        self.backend = FakeBackend(self.answer)
        self.rig = ProxyRig(self.backend)
        self.addCleanup(self.rig.stop)
        self.idle_fds = fd_count(self.rig.webkvd.proc.pid)

    def answer(self, req):
        if req.target.startswith("/fault") and self.reply is not None:
            return self.reply
        return Reply.ok(BODY)

    def assert_served(self):
        b = self.rig.browser()
        b.get("/ok", headers=(("Connection", "close"),))
        reply = b.read_reply()
        b.close()
        self.assertEqual((reply.status, reply.body), (200, BODY))

    def test_every_fault_gets_an_answer_and_service_goes_on(self):
        for name, reply, expected in FAULTS:
            with self.subTest(name):
                self.reply = reply
                for _ in range(TRIES):
                    b = self.rig.browser()
                    b.get("/fault")
                    got = b.read_to_close()
                    b.close()
                    if expected is not None:
                        self.assertEqual(got, expected)
                    else:
                        # A cut body: the whole head, what came, then the close.
                        self.assertTrue(got.startswith(b"HTTP/1.1 200 OK\r\n"), got[:100])
                        self.assertTrue(got.endswith(b"\r\n\r\n" + BODY[:300]), got[-100:])
                    self.assert_served()
                TALLY.add(AREA, "backend " + name,
                          "cut body then close" if expected is None else "500 Failed, connection closed; next request served",
                          TRIES)
        self.backend.stop()
        assert_idle(self, self.rig.webkvd.proc, self.idle_fds)


class BackendRefusing(unittest.TestCase):
    def test_refused_connect_is_500_and_service_goes_on(self):
        # A port that nothing listens on.
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        rig = ProxyRig(backend_address=f"127.0.0.1:{port}")
        self.addCleanup(rig.stop)
        idle = fd_count(rig.webkvd.proc.pid)
        with open(os.path.join(rig.sandbox.www, "a.txt"), "w") as f:
            f.write("local\n")
        for _ in range(TRIES):
            b = rig.browser()
            b.get("/elsewhere")
            self.assertEqual(b.read_to_close(), FAILED)
            b.close()
            b = Browser(rig.port)
            b.get("/a.txt")
            self.assertEqual(b.read_reply().body, b"local\n")
            b.close()
        TALLY.add(AREA, "backend refuses connections", "500 Failed; local files still served", TRIES)
        assert_idle(self, rig.webkvd.proc, idle)


if __name__ == "__main__":
    unittest.main()
