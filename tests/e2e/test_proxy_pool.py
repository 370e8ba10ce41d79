"""Keep-alive on both sides of the proxy, the pool of parked backend links,
and the ends of an exchange that go wrong: a refused connect, a backend or a
browser that closes early."""

import threading
import time
import unittest

from support.fake_backend import FakeBackend, ProxyRig, Reply
from support.webkvd_process import free_port

# A parked link is closed at the first tick after its 30 seconds.
IDLE_LINK_S = 30
EXPIRY_WAIT_S = IDLE_LINK_S + 15


class PoolTest(unittest.TestCase):
    """A fresh webkvd and backend per test, so connection ids start at 0."""

    def setUp(self):
        self.replies = {}

        def handler(req):
            make = self.replies.get(req.target.split("?")[0])
            return make(req) if make else Reply.ok(req.target.encode())
        self.backend = FakeBackend(handler)
        self.rig = ProxyRig(self.backend)

    def tearDown(self):
        self.rig.stop()

    def test_keep_alive_on_both_sides_reuses_both_connections(self):
        b = self.rig.browser()
        b.send(b"POST /one HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nfirst")
        first = b.read_reply()
        b.send(b"POST /two HTTP/1.1\r\nHost: h\r\nContent-Length: 6\r\n\r\nsecond")
        second = b.read_reply()
        self.assertEqual((first.body, second.body), (b"/one", b"/two"))
        self.assertEqual(first.header("Connection"), "keep-alive")
        self.assertEqual(second.header("Connection"), "keep-alive")
        reqs = self.backend.wait_requests(2)
        self.assertEqual([r.body for r in reqs], [b"first", b"second"])
        self.assertEqual([r.conn_id for r in reqs], [0, 0])
        b.close()

    def test_request_without_length_closes_the_browser_but_parks_the_link(self):
        b = self.rig.browser()
        b.get("/plain", headers=())
        reply = b.read_reply()
        self.assertEqual(reply.header("Connection"), "close")
        self.assertTrue(b.closed())
        b.close()
        again = self.rig.browser()
        again.get("/again")
        self.assertEqual(again.read_reply().body, b"/again")
        again.close()
        self.assertEqual([r.conn_id for r in self.backend.wait_requests(2)], [0, 0])

    def test_backend_connection_close_is_not_parked(self):
        self.replies["/bye"] = lambda req: Reply.ok(b"bye", headers=[("Connection", "close")])
        b = self.rig.browser()
        b.get("/bye")
        self.assertEqual(b.read_reply().header("Connection"), "close")
        self.assertTrue(self.backend.closed(0))
        b.close()

    def test_pool_keeps_five_links_and_closes_the_oldest(self):
        gates = [threading.Event() for _ in range(6)]
        self.replies.update({f"/held{i}": (lambda req, g=g: Reply.after(g, Reply.ok(b"done")))
                             for i, g in enumerate(gates)})
        browsers = []
        for i in range(6):  # six exchanges at once: six backend connections
            b = self.rig.browser()
            b.get(f"/held{i}")
            browsers.append(b)
        reqs = self.backend.wait_requests(6)
        conn_of = {r.target: r.conn_id for r in reqs}
        self.assertEqual(len(set(conn_of.values())), 6)
        for gate, b in zip(gates, browsers):  # released in order
            gate.set()
            self.assertEqual(b.read_reply().body, b"done")
        self.assertTrue(self.backend.closed(conn_of["/held0"]))
        # The five others are parked; further exchanges take them least
        # recently parked first, with no new connection.
        for i in range(5):
            b = self.rig.browser()
            b.get(f"/reuse{i}")
            b.read_reply()
            b.close()
        reused = [r.conn_id for r in self.backend.wait_requests(11)[6:]]
        self.assertEqual(reused, [conn_of[f"/held{i}"] for i in range(1, 6)])
        self.assertEqual(self.backend.connection_count(), 6)
        for b in browsers:
            b.close()

    def test_parked_link_expires(self):
        b = self.rig.browser()
        b.get("/park")
        b.read_reply()
        b.close()
        self.assertTrue(self.backend.closed(0, timeout=EXPIRY_WAIT_S))
        b = self.rig.browser()
        b.get("/fresh")
        b.read_reply()
        b.close()
        self.assertEqual(self.backend.wait_requests(2)[1].conn_id, 1)

    def test_backend_that_closes_before_replying(self):
        self.replies["/drop"] = lambda req: Reply.no_reply()
        b = self.rig.browser()
        b.get("/drop")
        self.assertEqual(b.read_to_close(),
                         b"HTTP/1.1 500 Failed\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
        b.close()
        self.rig.wait_line(f"Backend {self.backend.address} disconnected.")

    def test_failure_of_a_later_exchange_gets_its_own_error_head(self):
        self.replies["/drop"] = lambda req: Reply.no_reply()
        b = self.rig.browser()
        b.get("/fine")
        self.assertEqual(b.read_reply().status, 200)
        b.get("/drop")
        self.assertEqual(b.read_to_close(),
                         b"HTTP/1.1 500 Failed\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
        b.close()

    def test_browser_that_closes_mid_exchange_frees_the_link(self):
        gate = threading.Event()
        self.replies["/slow"] = lambda req: Reply.after(gate, Reply.ok(b"late"))
        b = self.rig.browser()
        b.get("/slow")
        self.backend.wait_requests(1)
        b.close()
        self.assertTrue(self.backend.closed(0))
        gate.set()
        again = self.rig.browser()
        again.get("/next")
        self.assertEqual(again.read_reply().body, b"/next")
        again.close()
        self.assertEqual(self.backend.wait_requests(2)[1].conn_id, 1)

    def test_pipelined_request_waits_for_the_exchange_in_progress(self):
        arrived_early = []

        def first(req):
            time.sleep(0.3)  # room for a second request to slip through
            arrived_early.append(len(self.backend.requests) > 1)
            return Reply.ok(b"first")
        self.replies["/p1"] = first
        b = self.rig.browser()
        b.send(b"GET /p1 HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\n\r\n"
               b"POST /p2 HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nabc")
        self.assertEqual(b.read_reply().body, b"first")
        self.assertEqual(b.read_reply().body, b"/p2")
        self.assertEqual(arrived_early, [False])
        reqs = self.backend.wait_requests(2)
        self.assertEqual([(r.target, r.body, r.conn_id) for r in reqs], [("/p1", b"", 0), ("/p2", b"abc", 0)])
        b.close()

    def test_slow_backend_reply_arrives(self):
        self.replies["/slowly"] = lambda req: Reply.slowly(1.5, Reply.ok(b"eventually"))
        b = self.rig.browser()
        b.get("/slowly")
        self.assertEqual(b.read_reply().body, b"eventually")
        b.close()


class RefusedConnectTest(unittest.TestCase):
    def test_refused_connect_is_logged_and_answered(self):
        port = free_port()  # nothing listens there
        rig = ProxyRig(backend_address=f"127.0.0.1:{port}")
        try:
            for _ in range(2):  # the failed link leaves nothing behind
                b = rig.browser()
                b.get("/x")
                self.assertEqual(b.read_to_close(),
                                 b"HTTP/1.1 500 Failed\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                b.close()
                self.assertEqual(rig.wait_line("Error connecting"),
                                 f"Error connecting to 127.0.0.1:{port}: 111 (Connection refused)\n")
        finally:
            rig.stop()

    def test_unusable_backend_address_is_logged_and_answered(self):
        rig = ProxyRig(backend_address="127.0.0.1")  # no port
        try:
            b = rig.browser()
            b.get("/x")
            self.assertEqual(b.read_to_close(),
                             b"HTTP/1.1 500 Failed\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            b.close()
            self.assertEqual(rig.wait_line("Connection to"), "Connection to [127.0.0.1] failed\n")
        finally:
            rig.stop()


if __name__ == "__main__":
    unittest.main()
