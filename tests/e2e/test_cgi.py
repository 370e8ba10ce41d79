"""CGI programs and include pages under the web root, and their absence
under the upload directory, through a running webkvd."""

import os
import socket
import time
import unittest

from support.webkvd_process import Sandbox, Webkvd, field, status, free_port, wait_for_port

TIME_LIMIT_S = 2
LONG_LIMIT_S = 300
WAIT_S = 20.0

ENV_CGI = b"""#!/bin/sh
printf 'Content-Type: text/plain\\r\\n\\r\\n'
env
echo "CWD=$(pwd)"
echo BODY:
cat
"""


def exchange(port, request, timeout=WAIT_S):
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request)
        data = b""
        while True:
            try:
                piece = s.recv(1 << 16)
            except ConnectionResetError:
                break
            if not piece:
                break
            data += piece
    head, _, body = data.partition(b"\r\n\r\n")
    return head.decode("latin-1"), body


def request(port, path, method="GET", body=b"", fields=(), proto="HTTP/1.1"):
    extra = "".join(f"{f}\r\n" for f in fields)
    if body:
        extra += f"Content-Length: {len(body)}\r\n"
    return exchange(port, f"{method} {path} {proto}\r\nHost: x\r\n{extra}\r\n".encode() + body)


def dechunk(body):
    out, complete = b"", False
    while body:
        size_line, _, rest = body.partition(b"\r\n")
        n = int(size_line, 16)
        if n == 0:
            complete = True
            break
        out += rest[:n]
        body = rest[n + 2:]
    return out, complete


def process_gone(pid):
    """True once pid has exited and been reaped (no zombie left)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(")")[-1].split()[0] == "X"
    except FileNotFoundError:
        return True


class CgiAndIncludes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        box = cls.box = Sandbox()
        www = box.www

        def write(rel, data, mode=0o644):
            path = os.path.join(www, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
            os.chmod(path, mode)

        write("app/env.cgi", ENV_CGI, 0o755)
        write("app/status.cgi", b"#!/bin/sh\nprintf 'Status: 404 Not Here\\nX-Extra: 1\\n\\ngone'\n", 0o755)
        write("app/move.cgi", b"#!/bin/sh\nprintf 'Location: /elsewhere.html\\n\\n'\n", 0o755)
        write("app/junk.cgi", b"#!/bin/sh\necho this is no header\n", 0o755)
        write("app/big.cgi", b"#!/bin/sh\nprintf 'Content-Type: application/octet-stream\\n\\n'\n"
              b"head -c \"$QUERY_STRING\" /dev/zero | tr '\\0' x\n", 0o755)
        write("prog/index.cgi", b"#!/bin/sh\nprintf 'Content-Type: text/plain\\n\\nindex program'\n", 0o755)
        write("inc/part.html", b"PART")
        write("inc/deeper.shtml", b'[<!--#include file="part.html" -->]')
        write("page.shtml", b'A<!--#include virtual="/inc/deeper.shtml" -->B'
              b'<!--#include file="../outside.txt" -->C')
        with open(box.path("outside.txt"), "wb") as f:
            f.write(b"SECRET")
        # The hanging program notes its pid in a file named by the query.
        cls.pids = box.path("pids")
        os.makedirs(cls.pids)
        write("app/hang.cgi", f"#!/bin/sh\necho $$ > {cls.pids}/$QUERY_STRING\nsleep 60\n".encode(), 0o755)
        cls.port = free_port()
        env = dict(box.env, WEBKVD_CGI_TIMEOUT=str(TIME_LIMIT_S))
        cls.server = Webkvd(["-p", f"127.0.0.1:{cls.port}", "-w", www], env)
        assert wait_for_port(cls.port)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.box.cleanup()

    def test_program_gets_its_environment_and_body(self):
        head, body = request(self.port, "/app/env.cgi?q=1", "POST", b"a=1&b=2", ["X-Custom: yes"])
        self.assertEqual(status(head), 200, head)
        self.assertEqual(field(head, "Content-Length"), str(len(body)))
        self.assertEqual(field(head, "Connection"), "close")
        www = os.path.realpath(self.box.www)
        for line in ("REQUEST_METHOD=POST", "QUERY_STRING=q=1", "CONTENT_LENGTH=7", "HTTP_X_CUSTOM=yes",
                     "SCRIPT_NAME=/app/env.cgi", f"DOCUMENT_ROOT={www}", f"CWD={www}/app",
                     f"SERVER_PORT={self.port}", "REMOTE_ADDR=127.0.0.1", "GATEWAY_INTERFACE=CGI/1.1"):
            self.assertIn(line.encode(), body, line)
        self.assertTrue(body.endswith(b"BODY:\na=1&b=2"), body)
        self.assertNotIn(b"HTTPS=", body)

        head, body = request(self.port, "/_root/app/env.cgi/more")
        self.assertIn(b"PATH_INFO=/more", body)
        self.assertIn(b"SCRIPT_NAME=/_root/app/env.cgi", body)
        self.assertEqual(request(self.port, "/_root/prog/")[1], b"index program")

    def test_status_location_and_garbage(self):
        head, body = request(self.port, "/app/status.cgi")
        self.assertTrue(head.startswith("HTTP/1.1 404 Not Here\r\n"), head)
        self.assertEqual((field(head, "X-Extra"), body), ("1", b"gone"))
        head, _ = request(self.port, "/app/move.cgi")
        self.assertEqual((status(head), field(head, "Location")), (302, "/elsewhere.html"))
        self.assertEqual(status(request(self.port, "/app/junk.cgi")[0]), 500)

    def test_hanging_program_is_killed_at_the_limit(self):
        start = time.monotonic()
        head, _ = request(self.port, "/app/hang.cgi?limit")
        self.assertEqual(status(head), 500)
        self.assertGreaterEqual(time.monotonic() - start, TIME_LIMIT_S - 0.5)
        self.assertTrue(self.wait_gone("limit"))

    def test_client_leaving_kills_the_program(self):
        # A server whose limit lies far beyond the wait, so only the close
        # can end the program in time.
        port = free_port()
        server = Webkvd(["-p", f"127.0.0.1:{port}", "-w", self.box.www],
                        dict(self.box.env, WEBKVD_CGI_TIMEOUT=str(LONG_LIMIT_S)))
        try:
            self.assertTrue(wait_for_port(port))
            with socket.create_connection(("127.0.0.1", port), timeout=WAIT_S) as s:
                s.sendall(b"GET /app/hang.cgi?left HTTP/1.1\r\nHost: x\r\n\r\n")
                deadline = time.monotonic() + WAIT_S
                while not os.path.exists(os.path.join(self.pids, "left")) and time.monotonic() < deadline:
                    time.sleep(0.05)
            self.assertTrue(self.wait_gone("left"))
        finally:
            server.stop()

    def wait_gone(self, name):
        path = os.path.join(self.pids, name)
        deadline = time.monotonic() + WAIT_S
        pid = None
        while time.monotonic() < deadline:
            if pid is None and os.path.exists(path):
                with open(path) as f:
                    text = f.read().strip()
                pid = int(text) if text else None
            if pid is not None and process_gone(pid):
                return True
            time.sleep(0.05)
        return False

    def test_output_beyond_a_pipe_buffer(self):
        head, body = request(self.port, "/app/big.cgi?300000")
        self.assertEqual((status(head), field(head, "Content-Length")), (200, "300000"))
        self.assertEqual(body, b"x" * 300000)
        head, body = request(self.port, "/app/big.cgi?3000000")
        self.assertEqual(field(head, "Transfer-Encoding"), "chunked")
        data, complete = dechunk(body)
        self.assertEqual((len(data), complete), (3000000, True))

    def test_include_page(self):
        head, body = request(self.port, "/page.shtml")
        self.assertEqual(status(head), 200)
        self.assertEqual(body, b"A[PART]B<!-- include failed -->C")
        self.assertEqual(request(self.port, "/_root/page.shtml")[1], body)

    def test_uploaded_program_is_only_bytes(self):
        program = b"#!/bin/sh\nprintf 'Content-Type: text/plain\\n\\nran'\n"
        boundary = "b0undary"
        form = (f"--{boundary}\r\nContent-Disposition: form-data; name=\"up.cgi\"; filename=\"up.cgi\"\r\n"
                f"Content-Type: application/octet-stream\r\n\r\n").encode() + program + \
            f"\r\n--{boundary}--\r\n".encode()
        head, _ = request(self.port, "/_upload", "POST", form,
                          [f"Content-Type: multipart/form-data; boundary={boundary}"])
        self.assertEqual(status(head), 200, head)
        os.chmod(os.path.join(self.box.upload, "up.cgi"), 0o755)
        head, body = request(self.port, "/_temp/up.cgi")
        self.assertEqual((status(head), body), (200, program))


if __name__ == "__main__":
    unittest.main()
