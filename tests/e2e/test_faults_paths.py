"""Requests that try to read or run what they should not: paths that climb
out of the web root or the upload directory in every spelling, and uploaded
programs and include pages, which must be served as plain files."""

import os
import unittest

from support.health import assert_idle, fd_count
from support.tally import Tally
from support.upload_http import exchange, form, part, upload
from support.webkvd_process import Sandbox, Webkvd, free_port, wait_for_port

TALLY = Tally("faults_paths")
SECRET = b"secret-outside-every-root"
CLIMBS = ["../", "..%2f", "%2e%2e/", "%2e%2e%2f", "..%2F", ".%2e/", "..\\", "....//", "%252e%252e/", "../../../../"]
PREFIXES = ["/", "/_root/", "/_temp/", "/_root/sub/", "/_temp/x/", "/sub/"]


class PathEscapes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.box = Sandbox()
        # The secret lies next to the web root and the upload directory.
        with open(os.path.join(cls.box.dir, "secret.txt"), "wb") as f:
            f.write(SECRET)
        os.makedirs(os.path.join(cls.box.www, "sub"))
        with open(os.path.join(cls.box.www, "sub", "in.txt"), "w") as f:
            f.write("inside\n")
        cls.port = free_port()
        cls.server = Webkvd(["-p", f"127.0.0.1:{cls.port}", "-w", cls.box.www], cls.box.env)
        assert wait_for_port(cls.port)
        cls.idle = fd_count(cls.server.proc.pid)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.box.cleanup()

    def get(self, target):
        return exchange(self.port, f"GET {target} HTTP/1.1\r\nHost: x\r\n\r\n".encode())

    def test_no_spelling_of_a_climb_leaves_the_roots(self):
        tries = 0
        for prefix in PREFIXES:
            for climb in CLIMBS:
                for depth in (1, 2, 3):
                    target = prefix + climb * depth + "secret.txt"
                    with self.subTest(target):
                        reply = self.get(target)
                        self.assertNotIn(SECRET, reply)
                        self.assertTrue(reply.startswith(b"HTTP/1.1 "), reply[:100])
                        tries += 1
        # A legitimate path still works.
        self.assertTrue(self.get("/_root/sub/in.txt").endswith(b"inside\n"))
        TALLY.add("bad input", "path climbing out of the web root or upload directory (%d spellings)"
                  % (len(CLIMBS) * 3), "refused or not found; no byte outside the roots served", tries)
        assert_idle(self, self.server.proc, self.idle)

    def test_uploaded_programs_are_not_run(self):
        marker = os.path.join(self.box.dir, "ran")
        script = f"#!/bin/sh\ntouch {marker}\necho Content-Type: text/plain\necho\necho ran\n".encode()
        include = f'<!--#exec cmd="touch {marker}" --><!--#include virtual="../secret.txt" -->'.encode()
        cases = [("t.cgi", script), ("t.php", script), ("t.shtml", include)]
        for name, content in cases:
            with self.subTest(name):
                reply = upload(self.port, form(part(name, content)))
                self.assertTrue(reply.startswith(b"HTTP/1.1 200 OK"), reply[:100])
                os.chmod(os.path.join(self.box.upload, name), 0o755)
                got = self.get("/_temp/" + name)
                self.assertTrue(got.endswith(content), got[:300])
                self.assertFalse(os.path.exists(marker))
        TALLY.add("bad input", "uploaded CGI programs and include pages fetched under /_temp/",
                  "served as plain files, never run", len(cases))


if __name__ == "__main__":
    unittest.main()
