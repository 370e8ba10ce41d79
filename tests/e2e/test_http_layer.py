"""The HTTP layer of webkvd seen from a raw socket: limits, malformed
requests, time-outs, interim replies and many open connections."""

import os
import socket
import time
import unittest

from support.webkvd_process import Sandbox, Webkvd, exchange, free_port, wait_for_port

HEAD_TIMEOUT_S = 2
BIG_BYTES = 64 * 1024 * 1024


class HttpLayer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.box = Sandbox()
        with open(os.path.join(cls.box.www, "a.txt"), "w") as f:
            f.write("hello\n")
        with open(os.path.join(cls.box.www, "big.bin"), "wb") as f:
            f.truncate(BIG_BYTES)
        cls.port = free_port()
        env = dict(cls.box.env, WEBKVD_HEAD_TIMEOUT=str(HEAD_TIMEOUT_S))
        cls.server = Webkvd(["-p", f"127.0.0.1:{cls.port}", "-w", cls.box.www], env)
        assert wait_for_port(cls.port)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.box.cleanup()

    def test_refusals(self):
        big_head = b"GET /a.txt HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * (70 * 1024) + b"\r\n\r\n"
        cases = [
            ("head over 64 KiB", big_head, b"HTTP/1.1 431 "),
            ("local body over 16 MiB", b"POST /_resp/1 HTTP/1.1\r\nHost: x\r\nContent-Length: 20000000\r\n\r\n",
             b"HTTP/1.1 413 "),
            ("garbage request line", b"\x01\x02 nonsense\r\n\r\n", b"HTTP/1.1 400 "),
            ("length and chunked together",
             b"POST /x HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
             b"HTTP/1.1 500 Failed\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"),
            ("two different lengths",
             b"POST /x HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd",
             b"HTTP/1.1 500 Failed\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"),
        ]
        for name, request, expected in cases:
            with self.subTest(name):
                reply = exchange(self.port, request)
                self.assertTrue(reply.startswith(expected), reply[:200])

    def test_local_reply_closes_even_with_keep_alive_and_pipelining(self):
        two = b"GET /a.txt HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n" * 2
        reply = exchange(self.port, two)
        self.assertEqual(reply.count(b"HTTP/1.1 200 OK"), 1)
        self.assertIn(b"Connection: close\r\n", reply)
        self.assertTrue(reply.endswith(b"hello\n"))

    def test_expect_continue_gets_interim_reply(self):
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as s:
            s.sendall(b"POST /_resp/1 HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\nExpect: 100-continue\r\n\r\n")
            self.assertEqual(s.recv(100), b"HTTP/1.1 100 Continue\r\n\r\n")
            s.sendall(b"ok")
            rest = b""
            while True:
                piece = s.recv(4096)
                if not piece:
                    break
                rest += piece
        self.assertTrue(rest.startswith(b"HTTP/1.1 200 OK"), rest)

    def test_slow_head_is_dropped_while_others_are_served(self):
        slow = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        idle = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        try:
            slow.sendall(b"GET /a.txt HTTP/1.1\r\n")
            start = time.monotonic()
            # Served meanwhile, one byte at a time from the slow one.
            for _ in range(3):
                self.assertIn(b"hello", exchange(self.port, b"GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n"))
                slow.sendall(b"X")
                time.sleep(0.3)
            self.assertEqual(slow.recv(100), b"")
            self.assertEqual(idle.recv(100), b"")
            self.assertGreaterEqual(time.monotonic() - start, HEAD_TIMEOUT_S - 0.5)
        finally:
            slow.close()
            idle.close()

    def test_reader_that_stops_reading_is_dropped(self):
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.sendall(b"GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n")
            time.sleep(HEAD_TIMEOUT_S + 2.5)
            got = 0
            while True:
                try:
                    piece = s.recv(1 << 20)
                except ConnectionResetError:
                    break
                if not piece:
                    break
                got += len(piece)
        self.assertLess(got, BIG_BYTES)

    def test_many_idle_connections_do_not_stop_service(self):
        conns = [socket.create_connection(("127.0.0.1", self.port), timeout=10) for _ in range(300)]
        try:
            self.assertIn(b"hello", exchange(self.port, b"GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n"))
        finally:
            for c in conns:
                c.close()


if __name__ == "__main__":
    unittest.main()
