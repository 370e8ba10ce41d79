"""Bodies far larger than the proxy's buffers pass through in both
directions, whole and in order, while the proxy's memory stays bounded."""

import os
import threading
import unittest
import zlib

from support.fake_backend import READ_BYTES, FakeBackend, ProxyRig, Reply, pattern_crc

GIB = 1024 * 1024 * 1024
MIB = 1024 * 1024
# What the proxy may grow by while relaying: its queues and read buffers
# hold a few hundred KiB; a body held whole would be a thousand times more.
RSS_GROWTH_LIMIT_KIB = 32 * 1024


def sanitized_build():
    """ASan keeps freed memory in quarantine, so peak memory says nothing there."""
    cache = os.path.join(os.environ.get("BUILD_DIR", ""), "CMakeCache.txt")
    try:
        with open(cache) as f:
            return "WEBKVD_SANITIZE:BOOL=ON" in f.read()
    except OSError:
        return False


# The sanitizer build is several times slower; a quarter of the size still
# goes far past every buffer.
BODY_BYTES = GIB // 4 if sanitized_build() else GIB


class StreamingTest(unittest.TestCase):
    def setUp(self):
        def handler(req):
            if req.target == "/download":
                return Reply.pattern(BODY_BYTES)
            return Reply.ok(b"%d %d" % (req.body_length, req.body_crc))
        self.backend = FakeBackend(handler)
        self.rig = ProxyRig(self.backend)
        self.baseline_kib = self.rig.peak_rss_kib()

    def tearDown(self):
        self.rig.stop()

    def check_memory(self):
        if not sanitized_build():
            self.assertLess(self.rig.peak_rss_kib() - self.baseline_kib, RSS_GROWTH_LIMIT_KIB)

    def test_large_download_streams_through(self):
        b = self.rig.browser()
        b.get("/download")
        status, headers = b.read_head()
        self.assertIn(f"Content-Length: {BODY_BYTES}", headers)
        got, crc = len(b.buf), zlib.crc32(b.buf)
        while got < BODY_BYTES:
            piece = b.sock.recv(READ_BYTES)
            self.assertTrue(piece, "the proxy closed before the end of the body")
            got += len(piece)
            crc = zlib.crc32(piece, crc)
        self.assertEqual((got, crc), (BODY_BYTES, pattern_crc(BODY_BYTES)))
        b.close()
        self.check_memory()

    def test_large_upload_streams_through(self):
        b = self.rig.browser()
        b.send(b"POST /upload HTTP/1.1\r\nHost: h\r\nContent-Length: %d\r\n\r\n" % BODY_BYTES)
        block = bytes(range(256)) * 4096
        sent = 0
        while sent < BODY_BYTES:
            b.sock.sendall(block)
            sent += len(block)
        reply = b.read_reply()
        self.assertEqual(reply.body, b"%d %d" % (BODY_BYTES, pattern_crc(BODY_BYTES)))
        b.close()
        self.check_memory()

    def test_large_chunked_upload_streams_through(self):
        b = self.rig.browser()
        b.send(b"POST /upload HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n")
        block = bytes(range(256)) * 4096
        frame = b"%x\r\n%s\r\n" % (len(block), block)
        total = BODY_BYTES // 4
        for _ in range(total // len(block)):
            b.sock.sendall(frame)
        b.sock.sendall(b"0\r\n\r\n")
        self.assertEqual(b.read_reply().body, b"%d %d" % (total, pattern_crc(total)))
        b.close()
        self.check_memory()


if __name__ == "__main__":
    unittest.main()
