"""A 1 GiB upload goes to disk as it arrives: the stored file is exact and
webkvd's memory stays small."""

import os
import socket
import unittest

from support.upload_http import closing, open_fds_to, post_head, read_to_close, rss_kib
from support.webkvd_process import Sandbox, Webkvd, free_port, wait_for_port

BLOCK = os.urandom(1024 * 1024)  # random bytes: CRs and dashes all over the content
BLOCKS = 1024
# Growth of the peak resident size allowed for the whole upload: far below
# what holding any real fraction of the body would take.
MAX_GROWTH_KIB = 32 * 1024
PART_HEAD = (b'--b0und\r\nContent-Disposition: form-data; name="big"; filename="big.img"\r\n'
             b"Content-Type: application/octet-stream\r\n\r\n")


class LargeUpload(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()
        self.addCleanup(self.box.cleanup)
        self.port = free_port()
        self.server = Webkvd(["-p", f"127.0.0.1:{self.port}", "-w", self.box.www], self.box.env)
        self.addCleanup(self.server.stop)
        self.assertTrue(wait_for_port(self.port))

    def test_one_gib_part(self):
        pid = self.server.proc.pid
        rss_before = rss_kib(pid)
        tail = b"\r\n" + closing("b0und")
        length = len(PART_HEAD) + len(BLOCK) * BLOCKS + len(tail)
        with socket.create_connection(("127.0.0.1", self.port), timeout=120) as s:
            s.sendall(post_head("/_upload", length, content_type="multipart/form-data; boundary=b0und"))
            s.sendall(PART_HEAD)
            for _ in range(BLOCKS):
                s.sendall(BLOCK)
            s.sendall(tail)
            reply = read_to_close(s)
        size = len(BLOCK) * BLOCKS
        self.assertTrue(reply.endswith(f'"filelength":{size}}}\n'.encode()), reply)
        growth = rss_kib(pid, "VmHWM") - rss_before
        self.assertLess(growth, MAX_GROWTH_KIB, f"peak resident size grew by {growth} KiB")

        path = os.path.join(self.box.upload, "big")
        self.assertEqual(open_fds_to(pid, path), [])
        self.assertEqual(os.path.getsize(path), size)
        with open(path, "rb") as f:
            for i in range(BLOCKS):
                self.assertTrue(f.read(len(BLOCK)) == BLOCK, f"block {i} differs")


if __name__ == "__main__":
    unittest.main()
