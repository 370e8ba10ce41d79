"""The upload endpoint of a running webkvd, over raw sockets: stored files and
their replies, refused names and requests, dropped requests, a browser that
goes away mid-part, HTTPS, and a real client (curl) with the file fetched
back under /_temp/."""

import os
import shutil
import socket
import subprocess
import time
import unittest

from support.upload_http import (BOUNDARY, closing, exchange, form, open_fds_to, part, post_head,
                                 read_to_close, upload)
from support.webkvd_process import (WAIT_S, Sandbox, Webkvd, free_port, http_get, make_certificate,
                                    wait_for_port)

OK_HEAD = b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n"
OPEN_FAILED = b"HTTP/1.1 500 Failed to open a file\r\nContent-Length: 0\r\n\r\n"
BAD_REQUEST = b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"


class Upload(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.box = Sandbox()
        cls.pem, _, _ = make_certificate(cls.box.dir)
        cls.port = free_port()
        cls.tls_port = free_port()
        cls.server = Webkvd(["-p", f"127.0.0.1:{cls.port}", "-s", f"127.0.0.1:{cls.tls_port}",
                             "-c", cls.pem, "-w", cls.box.www], cls.box.env)
        assert wait_for_port(cls.port) and wait_for_port(cls.tls_port)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.box.cleanup()

    def setUp(self):
        for name in os.listdir(self.box.upload):
            os.unlink(os.path.join(self.box.upload, name))

    def stored(self, name):
        with open(os.path.join(self.box.upload, name), "rb") as f:
            return f.read()

    def ok_reply(self, name, length):
        # The upload directory ends in "/", so the path holds "//".
        return OK_HEAD + f'{{"filepath":"{self.box.upload}/{name}", "filelength":{length}}}\n'.encode()

    def test_one_part_is_stored_under_its_field_name(self):
        content = bytes(range(256)) * 40 + b"\r\n--" + BOUNDARY[:-1].encode() + b"\r\n"
        cases = [
            ("plain", "/_upload", content),
            ("more after the prefix", "/_upload/firmware?x=1", b"abc"),
            ("zero bytes", "/_upload", b""),
        ]
        for what, uri, data in cases:
            with self.subTest(what):
                self.assertEqual(upload(self.port, form(part("f", data)), uri=uri), self.ok_reply("f", len(data)))
                self.assertEqual(self.stored("f"), data)

    def test_existing_file_is_replaced(self):
        with open(os.path.join(self.box.upload, "f"), "wb") as f:
            f.write(b"an older and much longer content")
        self.assertEqual(upload(self.port, form(part("f", b"new"))), self.ok_reply("f", 3))
        self.assertEqual(self.stored("f"), b"new")

    def test_two_parts_each_answered(self):
        reply = upload(self.port, form(part("a", b"A" * 100), part("b", b"")))
        self.assertEqual(reply, self.ok_reply("a", 100) + self.ok_reply("b", 0))
        self.assertEqual((self.stored("a"), self.stored("b")), (b"A" * 100, b""))

    def test_chunked_body(self):
        body = form(part("c", b"chunked content"))
        chunks = b"".join(b"%x\r\n%s\r\n" % (len(body[i:i + 7]), body[i:i + 7]) for i in range(0, len(body), 7))
        reply = exchange(self.port, post_head("/_upload", None, extra="Transfer-Encoding: chunked\r\n")
                         + chunks + b"0\r\n\r\n")
        self.assertEqual(reply, self.ok_reply("c", 15))
        self.assertEqual(self.stored("c"), b"chunked content")

    def test_names_that_cannot_be_stored(self):
        for name in [None, "", ".", "..", "a/b", "../outside", "/abs"]:
            with self.subTest(name=name):
                self.assertEqual(upload(self.port, form(part(name, b"data"))), OPEN_FAILED)
        self.assertEqual(os.listdir(self.box.upload), [])
        self.assertFalse(os.path.exists(os.path.join(self.box.dir, "outside")))

    def test_requests_that_are_not_streamed_are_refused(self):
        body = form(part("f", b"data"))
        cases = [
            ("capital M", dict(content_type=f"Multipart/form-data; boundary={BOUNDARY}")),
            ("not multipart", dict(content_type="application/octet-stream")),
            ("no Content-Type", dict(content_type=None)),
            ("prefix in other case", dict(uri="/_UPLOAD")),
        ]
        for what, args in cases:
            with self.subTest(what):
                self.assertEqual(upload(self.port, body, **args), BAD_REQUEST)
        self.assertEqual(os.listdir(self.box.upload), [])

    def test_unusable_boundary_closes_without_reply(self):
        for ct in ["multipart/form-data", "multipart/form-data; boundary=" + "b" * 100]:
            with self.subTest(ct=ct):
                self.assertEqual(upload(self.port, form(part("f", b"x")), content_type=ct), b"")
        self.assertEqual(os.listdir(self.box.upload), [])

    def test_body_without_parts_is_refused(self):
        self.assertEqual(upload(self.port, closing()), BAD_REQUEST)

    def test_browser_gone_mid_part_keeps_what_arrived(self):
        arrived = b"x" * 5000
        body = part("gone", arrived + b"and more that never comes")
        cut = body.index(arrived) + len(arrived)
        path = os.path.join(self.box.upload, "gone")
        with socket.create_connection(("127.0.0.1", self.port), timeout=WAIT_S) as s:
            s.sendall(post_head("/_upload", len(body) + 1000) + body[:cut])
            self.wait_until(lambda: os.path.exists(path) and open_fds_to(self.server.proc.pid, path))
        self.wait_until(lambda: not open_fds_to(self.server.proc.pid, path))
        self.assertEqual(self.stored("gone"), arrived)
        # The server goes on serving.
        self.assertEqual(upload(self.port, form(part("f", b"after"))), self.ok_reply("f", 5))

    def test_upload_over_https(self):
        import ssl
        ctx = ssl.create_default_context()
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        body = form(part("t", b"over tls" * 10000))
        with ctx.wrap_socket(socket.create_connection(("127.0.0.1", self.tls_port), timeout=WAIT_S)) as s:
            s.sendall(post_head("/_upload", len(body)) + body)
            reply = read_to_close(s)
        self.assertEqual(reply, self.ok_reply("t", 80000))
        self.assertEqual(self.stored("t"), b"over tls" * 10000)

    @unittest.skipUnless(shutil.which("curl"), "curl not installed")
    def test_curl_upload_fetched_back_under_temp(self):
        src = os.path.join(self.box.dir, "firmware.img")
        data = os.urandom(3 * 1024 * 1024)
        with open(src, "wb") as f:
            f.write(data)
        out = subprocess.run(["curl", "-sS", "-F", f"img=@{src}", f"http://127.0.0.1:{self.port}/_upload"],
                             capture_output=True, timeout=WAIT_S, check=True).stdout
        self.assertEqual(out, f'{{"filepath":"{self.box.upload}/img", "filelength":{len(data)}}}\n'.encode())
        reply = http_get(self.port, "/_temp/img")
        self.assertTrue(reply.startswith(b"HTTP/1.1 200"), reply[:100])
        self.assertEqual(reply[reply.index(b"\r\n\r\n") + 4:], data)

    def wait_until(self, condition):
        deadline = time.monotonic() + WAIT_S
        while not condition():
            self.assertLess(time.monotonic(), deadline, "condition not reached")
            time.sleep(0.02)


if __name__ == "__main__":
    unittest.main()
