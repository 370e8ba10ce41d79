"""Browsers that go away at every stage of an exchange, and browsers too slow
to finish a request head.  webkvd must free what each exchange held (its
descriptors, the backend connection, the waiting call), keep serving others,
and leave no files behind but the part a browser was sending."""

import os
import socket
import struct
import threading
import time
import unittest

HEAD_TIMEOUT_S = 2
os.environ["WEBKVD_HEAD_TIMEOUT"] = str(HEAD_TIMEOUT_S)

from support.api_http import API_HEAD, SILENT_SCRIPT, read_all, read_some, send_on  # noqa: E402
from support.fake_backend import FakeBackend, ProxyRig, Reply  # noqa: E402
from support.health import assert_idle, fd_count, settle  # noqa: E402
from support.tally import Tally  # noqa: E402
from support.upload_http import BOUNDARY, post_head  # noqa: E402

TALLY = Tally("faults_clients")
AREA = "browser"
TRIES = 3
BIG_FILE_BYTES = 8 * 1024 * 1024
SLOW_CLIENTS = 3


def connect(port):
    return socket.create_connection(("127.0.0.1", port), timeout=20)


def abort(sock):
    """Closes with a reset instead of an orderly end."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


class ClientsGoingAway(unittest.TestCase):
    def setUp(self):
        self.gate = threading.Event()
        self.backend = FakeBackend(self.answer)
        self.rig = ProxyRig(self.backend)
        self.addCleanup(self.rig.stop)
        box = self.rig.sandbox
        with open(os.path.join(box.www, "a.txt"), "w") as f:
            f.write("hello\n")
        with open(os.path.join(box.www, "big.bin"), "wb") as f:
            f.write(os.urandom(BIG_FILE_BYTES))
        path = os.path.join(box.scripts, "noop")
        with open(path, "w") as f:
            f.write(SILENT_SCRIPT)
        os.chmod(path, 0o755)
        self.port = self.rig.port
        # Idle includes the one parked backend link that service leaves.
        self.assert_served()
        self.idle_fds = fd_count(self.rig.webkvd.proc.pid)

    def answer(self, req):
        if req.target == "/gated":
            return Reply.after(self.gate, Reply.ok(b"late"))
        return Reply.ok(b"proxied")

    def assert_served(self):
        s = connect(self.port)
        s.sendall(b"GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertTrue(read_all(s).endswith(b"\r\n\r\nhello\n"))
        s = connect(self.port)
        s.sendall(b"GET /other HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        self.assertTrue(read_all(s).endswith(b"\r\n\r\nproxied"))

    # Each stage: sends, then leaves.  call_id numbers the tries.
    def mid_head(self, call_id):
        s = connect(self.port)
        s.sendall(b"GET /a.txt HTTP/1.1\r\nHost: x\r\nX-Half")
        s.close()

    def mid_head_reset(self, call_id):
        s = connect(self.port)
        s.sendall(b"GET /a.txt HTTP/1.1\r\nHo")
        abort(s)

    def mid_local_body(self, call_id):
        s = connect(self.port)
        s.sendall(b"POST /_resp/%d HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n0123456789" % call_id)
        s.close()

    def mid_proxied_body(self, call_id):
        s = connect(self.port)
        s.sendall(b"POST /sink HTTP/1.1\r\nHost: x\r\nContent-Length: 200000\r\n\r\n" + b"x" * 50000)
        time.sleep(0.1)  # the head reaches the backend first
        s.close()

    def mid_upload(self, call_id):
        s = connect(self.port)
        part_head = (f"--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"cut{call_id}\"; "
                     "filename=\"f\"\r\n\r\n").encode()
        s.sendall(post_head("/_upload", 100000) + part_head + b"y" * 3000)
        time.sleep(0.1)
        s.close()

    def waiting_for_script(self, call_id):
        s = connect(self.port)
        send_on(s, "POST", "/_api/", {"method": "noop", "id": call_id})
        self.assertEqual(read_some(s, b"\r\n\r\n"), API_HEAD)
        s.close()
        # The script's result finds no browser; its poster is still answered.
        time.sleep(0.1)
        p = connect(self.port)
        send_on(p, "POST", f"/_resp/{call_id}", b"done")
        self.assertTrue(read_all(p).startswith(b"HTTP/1.1 200 OK\r\n"))

    def waiting_for_backend(self, call_id):
        self.gate.clear()
        s = connect(self.port)
        s.sendall(b"GET /gated HTTP/1.1\r\nHost: x\r\n\r\n")
        time.sleep(0.2)  # the request reaches the backend
        s.close()
        time.sleep(0.1)
        self.gate.set()

    def during_large_reply(self, call_id):
        s = connect(self.port)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.sendall(b"GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n")
        s.recv(1000)
        abort(s)

    STAGES = [
        ("closes mid-head", "mid_head"),
        ("resets mid-head", "mid_head_reset"),
        ("closes mid-body of a local request", "mid_local_body"),
        ("closes mid-body of a proxied request", "mid_proxied_body"),
        ("closes mid-upload", "mid_upload"),
        ("closes while its script runs", "waiting_for_script"),
        ("closes while the backend is answering", "waiting_for_backend"),
        ("resets during an 8 MiB file reply", "during_large_reply"),
    ]

    def test_every_stage(self):
        for n, (name, stage) in enumerate(self.STAGES):
            with self.subTest(name):
                for t in range(TRIES):
                    getattr(self, stage)(5000 + n * TRIES + t)
                    self.assert_served()
                outcome = "exchange freed; others served"
                if stage == "mid_upload":
                    outcome += "; the part so far is kept as its file"
                TALLY.add(AREA, "browser " + name, outcome, TRIES)
        assert_idle(self, self.rig.webkvd.proc, self.idle_fds)
        # Only the parts being sent are left, each no longer than what came.
        upload = self.rig.sandbox.upload
        left = sorted(os.listdir(upload))
        n = [s for _, s in self.STAGES].index("mid_upload")
        self.assertEqual(left, sorted(f"cut{5000 + n * TRIES + t}" for t in range(TRIES)))
        for name in left:
            self.assertLessEqual(os.path.getsize(os.path.join(upload, name)), 3000)


class SlowClients(unittest.TestCase):
    def test_one_byte_a_second_heads_are_dropped_while_others_are_served(self):
        rig = ProxyRig(FakeBackend())
        self.addCleanup(rig.stop)
        with open(os.path.join(rig.sandbox.www, "a.txt"), "w") as f:
            f.write("hello\n")
        idle = fd_count(rig.webkvd.proc.pid)
        head = b"GET /a.txt HTTP/1.1\r\nHost: x\r\n" + b"X-Slow: " + b"s" * 40 + b"\r\n\r\n"
        results = [None] * SLOW_CLIENTS

        def slow(i):
            s = connect(rig.port)
            got = b""
            try:
                for byte in head:
                    s.sendall(bytes([byte]))
                    time.sleep(1.0)
            except OSError:
                pass  # dropped while sending
            try:
                got = s.recv(100)
            except OSError:
                got = b""
            s.close()
            results[i] = got

        threads = [threading.Thread(target=slow, args=(i,)) for i in range(SLOW_CLIENTS)]
        for t in threads:
            t.start()
        served = 0
        while any(t.is_alive() for t in threads):
            s = connect(rig.port)
            s.sendall(b"GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n")
            self.assertTrue(read_all(s).endswith(b"hello\n"))
            served += 1
            time.sleep(0.2)
        for t in threads:
            t.join()
        # Dropped before their heads were complete: not a byte of reply.
        self.assertEqual(results, [b""] * SLOW_CLIENTS)
        self.assertGreater(served, 0)
        TALLY.add(AREA, "slow head, one byte a second (%d at once)" % SLOW_CLIENTS,
                  "closed after the head time-out with no reply; %d other requests served meanwhile" % served,
                  SLOW_CLIENTS)
        assert_idle(self, rig.webkvd.proc, idle)


if __name__ == "__main__":
    unittest.main()
