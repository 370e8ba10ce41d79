"""Files served by webkvd from the web root ("/_root/" and plain paths) and
from the upload directory ("/_temp/"), seen from a raw socket."""

import hashlib
import os
import socket
import unittest

from support.webkvd_process import Sandbox, Webkvd, field, status, free_port, wait_for_port
from support.webkvd_process import exchange as raw_exchange

SECRET = b"TOP SECRET"
BIG_BYTES = 8 * 1024 * 1024


def exchange(port, request, timeout=20.0):
    """Sends the request bytes; returns (head, body) of what came until the close."""
    data = raw_exchange(port, request, timeout)
    head, _, body = data.partition(b"\r\n\r\n")
    return head.decode("latin-1"), body


def get(port, path, *fields, method="GET"):
    extra = "".join(f"{f}\r\n" for f in fields)
    return exchange(port, f"{method} {path} HTTP/1.1\r\nHost: x\r\n{extra}\r\n".encode())


class StaticFiles(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        box = cls.box = Sandbox()
        www, up = box.www, box.upload

        def write(path, data):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)

        write(www + "hello.txt", b"hello world\n")
        write(www + "sub/index.html", b"sub index")
        write(www + "list/a.txt", b"a")
        write(www + "list/b&c.txt", b"b")
        cls.big = os.urandom(BIG_BYTES)
        write(www + "big.bin", cls.big)
        write(box.path("outside.txt"), SECRET)
        os.symlink(box.path("outside.txt"), www + "link_out.txt")
        write(up + "x.cgi", b"#!/bin/sh\necho ran\n")
        os.chmod(up + "x.cgi", 0o755)
        write(up + "p.shtml", b'<!--#include virtual="/hello.txt" -->')
        write(up + "dir/f.bin", b"f")
        cls.port = free_port()
        cls.server = Webkvd(["-p", f"127.0.0.1:{cls.port}", "-w", www], box.env)
        assert wait_for_port(cls.port)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.box.cleanup()

    def test_web_root_file_closes_even_when_keep_alive_was_asked(self):
        head, body = get(self.port, "/hello.txt", "Connection: keep-alive")
        self.assertEqual(status(head), 200)
        self.assertEqual(body, b"hello world\n")
        self.assertEqual(field(head, "Content-Type"), "application/octet-stream")
        self.assertEqual(field(head, "Content-Length"), "12")
        self.assertEqual(field(head, "Connection"), "close")

    def test_root_route_index_redirect_and_listing(self):
        head, body = get(self.port, "/_root/")
        self.assertEqual((status(head), body), (200, b"<html><body>test</body></html>\n"))
        head, _ = get(self.port, "/_root/sub?x=1")
        self.assertEqual(status(head), 301)
        self.assertEqual(field(head, "Location"), "/_root/sub/?x=1")
        self.assertEqual(get(self.port, "/_root/sub/")[1], b"sub index")
        head, body = get(self.port, "/_root/list/")
        self.assertEqual(status(head), 200)
        self.assertIn(b'href="b%26c.txt"', body)
        self.assertIn(b"b&amp;c.txt", body)

    def test_ranges_and_validators(self):
        head, body = get(self.port, "/_root/hello.txt", "Range: bytes=6-10")
        self.assertEqual((status(head), body), (206, b"world"))
        self.assertEqual(field(head, "Content-Range"), "bytes 6-10/12")
        self.assertEqual(status(get(self.port, "/_root/hello.txt", "Range: bytes=50-")[0]), 416)
        head, _ = get(self.port, "/hello.txt")
        etag, date = field(head, "ETag"), field(head, "Last-Modified")
        head, body = get(self.port, "/hello.txt", f"If-None-Match: {etag}")
        self.assertEqual((status(head), body), (304, b""))
        self.assertEqual(status(get(self.port, "/hello.txt", f"If-Modified-Since: {date}")[0]), 304)
        head, body = get(self.port, "/hello.txt", method="HEAD")
        self.assertEqual((status(head), field(head, "Content-Length"), body), (200, "12", b""))
        self.assertEqual(status(get(self.port, "/_root/hello.txt", method="DELETE")[0]), 405)
        self.assertEqual(status(get(self.port, "/_root/none.txt")[0]), 404)

    def test_big_file_arrives_whole(self):
        head, body = get(self.port, "/big.bin")
        self.assertEqual(status(head), 200)
        self.assertEqual(field(head, "Content-Length"), str(BIG_BYTES))
        self.assertEqual(len(body), BIG_BYTES)
        self.assertEqual(hashlib.sha256(body).digest(), hashlib.sha256(self.big).digest())

    def test_upload_directory_is_plain_bytes_and_never_listed(self):
        head, body = get(self.port, "/_temp/x.cgi")
        self.assertEqual((status(head), body), (200, b"#!/bin/sh\necho ran\n"))
        self.assertEqual(get(self.port, "/_temp/p.shtml")[1], b'<!--#include virtual="/hello.txt" -->')
        self.assertEqual(get(self.port, "/_temp/dir/f.bin")[1], b"f")
        for path in ("/_temp/", "/_temp/dir/"):
            self.assertEqual(status(get(self.port, path)[0]), 403, path)

    def test_nothing_outside_the_roots(self):
        attempts = [
            "/../outside.txt",
            "/_root/../outside.txt",
            "/_root/%2e%2e/outside.txt",
            "/_root/sub/..%2f..%2foutside.txt",
            "/_root/%2E%2E%2Foutside.txt",
            "/_temp/../outside.txt",
            "/_temp/%2e%2e/outside.txt",
            "/_temp/../www/hello.txt",
            "/link_out.txt",
            "/_root/link_out.txt",
            "/hello.txt%00.html",
        ]
        for path in attempts:
            head, body = get(self.port, path)
            self.assertNotIn(SECRET, body, path)
            self.assertNotEqual(status(head), 200, path)


if __name__ == "__main__":
    unittest.main()
