"""What the backend and the browser see of a proxied exchange: the rewritten
request line, headers in order with one Connection header of the proxy's
own, Location rewriting for HTTPS browsers, and the framing of bodies."""

import unittest

from support.fake_backend import Browser, FakeBackend, ProxyRig, Reply


class ForwardingTest(unittest.TestCase):
    """One webkvd (HTTP and HTTPS) in front of one backend; the backend
    answers by request path."""

    replies = {}

    @classmethod
    def setUpClass(cls):
        def handler(req):
            make = cls.replies.get(req.target.split("?")[0])
            return make(req) if make else Reply.ok()
        cls.backend = FakeBackend(handler)
        cls.rig = ProxyRig(cls.backend, https=True)

    @classmethod
    def tearDownClass(cls):
        cls.rig.stop()

    def request(self, raw, tls=False):
        """Sends raw bytes; returns (the request the backend got, the reply)."""
        before = len(self.backend.requests)
        b = self.rig.browser(tls)
        try:
            b.send(raw)
            reply = b.read_reply()
        finally:
            b.close()
        return self.backend.wait_requests(before + 1)[before], reply

    def test_request_line_reaches_the_backend_with_its_query(self):
        for line in ("GET /a/b%20c?x=1&y=two HTTP/1.1",
                     "GET /?only HTTP/1.1",
                     "DELETE /items/7 HTTP/1.1",
                     "GET /old?q=%2F HTTP/1.0"):
            with self.subTest(line=line):
                req, reply = self.request(f"{line}\r\nHost: h\r\n\r\n".encode())
                self.assertEqual(req.request_line, line)
                self.assertEqual(reply.status, 200)

    def test_headers_keep_their_order_and_get_one_connection_header(self):
        self.replies["/order"] = lambda req: Reply([("send", Reply.head("200 OK", [
            ("Content-Length", "2"), ("Connection", "keep-alive"), ("X-R", "1"),
            ("CONNECTION", "Upgrade"), ("X-S", "2")]) + b"ok")])
        raw = (b"GET /order HTTP/1.1\r\nHost: h\r\nX-First: 1\r\nConnection: keep-alive\r\n"
               b"X-Second:   two  \r\nconnection: Upgrade\r\nX-Third:3\r\nContent-Length: 0\r\n\r\n")
        req, reply = self.request(raw)
        self.assertEqual(req.header_lines, [
            "Host: h", "X-First: 1", "X-Second: two", "X-Third: 3", "Content-Length: 0",
            "Connection: keep-alive"])
        self.assertEqual(reply.header_lines, [
            "Content-Length: 2", "X-R: 1", "X-S: 2", "Connection: keep-alive"])
        self.assertEqual(reply.body, b"ok")

    def test_every_header_is_relayed_beyond_thirty_nine(self):
        many = [(f"X-H-{i}", f"v{i}") for i in range(60)]
        self.replies["/many"] = lambda req: Reply.ok(b"", headers=many)
        raw = ("GET /many HTTP/1.1\r\nHost: h\r\n" +
               "".join(f"{n}: {v}\r\n" for n, v in many) + "\r\n").encode()
        req, reply = self.request(raw)
        self.assertEqual([h for h in req.headers if h[0].startswith("X-H-")], many)
        self.assertEqual([h for h in reply.headers if h[0].startswith("X-H-")], many)

    def test_location_of_the_backend_becomes_a_path_for_https_browsers(self):
        bport = self.backend.port
        cases = [  # value from the backend, what an HTTPS browser gets
            ("http://127.0.0.1/a", "/a"),
            (f"HTTP://127.0.0.1:{bport}/b?c=1", "/b?c=1"),
            ("http://127.0.0.1", "/"),
            ("http://127.0.0.1:1/other-port", "http://127.0.0.1:1/other-port"),
            ("https://127.0.0.1/tls", "https://127.0.0.1/tls"),
            ("http://127.0.0.10/longer-host", "http://127.0.0.10/longer-host"),
            ("http://elsewhere.example/x", "http://elsewhere.example/x"),
            ("/already/a/path", "/already/a/path"),
        ]
        self.replies["/moved"] = lambda req: Reply.ok(
            b"", status="302 Found", headers=[("Location", v) for v, _ in cases])
        raw = b"GET /moved HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\n\r\n"
        _, over_tls = self.request(raw, tls=True)
        self.assertEqual(over_tls.status, 302)
        self.assertEqual(over_tls.header_values("Location"), [want for _, want in cases])
        _, over_plain = self.request(raw)
        self.assertEqual(over_plain.header_values("Location"), [v for v, _ in cases])

    def test_chunked_request_body_reaches_the_backend_chunked(self):
        pieces = [b"hello ", b"chunked ", b"world" * 1000]
        body = b"".join(b"%x\r\n%s\r\n" % (len(p), p) for p in pieces) + b"0\r\n\r\n"
        raw = b"POST /up HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n" + body
        req, reply = self.request(raw)
        self.assertEqual(req.header("Transfer-Encoding"), "chunked")
        self.assertIsNone(req.header("Content-Length"))
        self.assertEqual(req.body, b"".join(pieces))
        self.assertTrue(req.raw_body.endswith(b"0\r\n\r\n"))
        # No length on the request: the browser's connection is not kept.
        self.assertEqual(reply.header("Connection"), "close")

    def test_reply_framings_reach_the_browser(self):
        # path: (backend reply, body the browser gets, whether the browser's
        # connection stays open after it)
        cases = {
            "/len": (Reply.ok(b"twelve bytes"), b"twelve bytes", True),
            "/chunked": (Reply.chunked([b"one ", b"two ", b"three"]), b"one two three", False),
            "/to-close": (Reply.until_close(b"runs to the close"), b"runs to the close", False),
            "/conn-close": (Reply.ok(b"bye", headers=[("Connection", "close")]), b"bye", False),
            "/gzip-chunked": (Reply([("send", Reply.head("200 OK", [("Transfer-Encoding", "gzip, chunked")])
                                      + b"3\r\nxyz\r\n0\r\n\r\n")]), b"xyz", False),
        }
        for path, (reply, _, _) in cases.items():
            self.replies[path] = lambda req, r=reply: r
        for path, (_, body, stays) in cases.items():
            with self.subTest(path=path):
                b = self.rig.browser()
                b.get(path)
                got = b.read_reply()
                self.assertEqual(got.status, 200)
                self.assertEqual(got.body, body)
                self.assertEqual(got.header_values("Connection"), ["keep-alive" if stays else "close"])
                self.assertNotIn("chunked", (got.header("Transfer-Encoding") or "").lower())
                if stays:
                    b.get(path)
                    self.assertEqual(b.read_reply().body, body)
                else:
                    self.assertTrue(b.closed())
                b.close()
        # the one coding left after chunked is removed
        b = self.rig.browser()
        b.get("/gzip-chunked")
        self.assertEqual(b.read_reply().header("Transfer-Encoding"), "gzip")
        b.close()

    def test_reply_cut_short_ends_the_browser_connection(self):
        self.replies["/short"] = lambda req: Reply.cut_short(b"0123456789", 100)
        b = self.rig.browser()
        b.get("/short")
        status, headers = b.read_head()
        self.assertIn("Content-Length: 100", headers)
        self.assertEqual(b.read_to_close(), b"0123456789")
        b.close()
        self.rig.wait_line(f"Backend {self.backend.address} disconnected.")

    def test_oversized_request_head_is_refused_unforwarded(self):
        b = self.rig.browser()
        b.send(b"GET /huge-request HTTP/1.1\r\nHost: h\r\nX-Big: " + b"b" * (70 * 1024) + b"\r\n\r\n")
        self.assertRegex(b.read_to_close(), rb"^HTTP/1\.1 431 ")
        b.close()
        _, reply = self.request(b"GET /marker-after-huge HTTP/1.1\r\nHost: h\r\n\r\n")
        self.assertEqual(reply.status, 200)
        self.assertFalse([r for r in self.backend.requests if r.target == "/huge-request"])

    def test_unreadable_reply_head_gets_the_error_reply(self):
        cases = {
            "/huge-head": Reply([("send", Reply.head("200 OK", [("X-Big", "b" * (70 * 1024)),
                                                               ("Content-Length", "0")]))]),
            "/garbage": Reply([("send", b"this is not HTTP\r\n\r\n")]),
        }
        for path, reply in cases.items():
            self.replies[path] = lambda req, r=reply: r
            with self.subTest(path=path):
                b = self.rig.browser()
                b.get(path)
                self.assertEqual(b.read_to_close(),
                                 b"HTTP/1.1 500 Failed\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                b.close()
                self.rig.wait_line(f"Backend {self.backend.address} disconnected.")

    def test_reply_to_head_has_no_body_and_keeps_the_connection(self):
        self.replies["/head"] = lambda req: Reply([("send", Reply.head("200 OK", [("Content-Length", "5")]))])
        b = self.rig.browser()
        b.get("/head", method="HEAD")
        got = b.read_reply(bodyless=True)
        self.assertEqual(got.header("Content-Length"), "5")
        self.assertEqual(got.header("Connection"), "keep-alive")
        b.get("/after-head")
        self.assertEqual(b.read_reply().body, b"ok")
        b.close()

    def test_ambiguous_request_framing_is_refused_unforwarded(self):
        for name, headers in (
                ("both", b"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n"),
                ("differing", b"Content-Length: 5\r\nContent-Length: 6\r\n")):
            with self.subTest(name):
                b = self.rig.browser()
                b.send(b"POST /ambiguous-" + name.encode() + b" HTTP/1.1\r\nHost: h\r\n" + headers +
                       b"\r\n0\r\n\r\n")
                got = b.read_to_close()
                self.assertRegex(got, rb"^HTTP/1\.[01] [45]\d\d ")
                b.close()
        # A request sent afterwards arrives; the refused ones never did.
        _, reply = self.request(b"GET /marker HTTP/1.1\r\nHost: h\r\n\r\n")
        self.assertEqual(reply.status, 200)
        self.assertFalse([r for r in self.backend.requests if r.target.startswith("/ambiguous")])

    def test_expect_continue_body_follows_the_interim_reply(self):
        self.replies["/continue"] = lambda req: Reply([("send", Reply.head("100 Continue") +
                                                        Reply.head("201 Created", [("Content-Length", "4")]) +
                                                        b"made")])
        b = self.rig.browser()
        b.send(b"POST /continue HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\n")
        self.assertEqual(b.read_reply().status, 100)
        b.send(b"abc")
        final = b.read_reply()
        self.assertEqual((final.status, final.body), (201, b"made"))
        self.assertEqual(self.backend.requests[-1].body, b"abc")
        b.close()


class NoBackendTest(unittest.TestCase):
    def test_without_a_route_every_proxied_request_fails(self):
        rig = ProxyRig()
        try:
            b = rig.browser()
            b.get("/anything")
            self.assertEqual(b.read_to_close(),
                             b"HTTP/1.1 500 Failed\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            b.close()
        finally:
            rig.stop()


if __name__ == "__main__":
    unittest.main()
