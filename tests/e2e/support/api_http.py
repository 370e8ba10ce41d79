"""Raw HTTP for the data API and call tests: exact bytes, chunk splitting,
and a webkvd with a fake store and a scripts directory.

    srv = ApiServer(test)                    # fake store answering like an empty daemon
    srv.script("echo", ARGV_POSTER)          # a script; {port} is filled in
    srv.start()
    sock = srv.send("POST", "/_api/", body)  # the request is out; read later
    head, chunks, ended = parse_chunked(read_all(sock))
"""

import json
import os
import socket
import sys
import time

from support.fake_store import FakeStore, standard_reply
from support.webkvd_process import Sandbox, Webkvd, free_port, wait_for_port

WAIT_S = 20.0

API_HEAD = (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: keep-alive\r\n"
            b"Content-Type: application/json\r\n\r\n")
CALL_HEAD = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Type: application/json\r\n\r\n"

# A script that posts its argv, as JSON, to /_resp/<its first argument>.
ARGV_POSTER = """#!{python}
import http.client, json, sys
c = http.client.HTTPConnection("127.0.0.1", {port}, timeout=20)
c.request("POST", "/_resp/" + sys.argv[1], json.dumps(sys.argv))
c.getresponse().read()
"""

# A script that does nothing; the test posts the result itself.
SILENT_SCRIPT = "#!/bin/sh\nexit 0\n"


def code_chunk(code):
    return b'{ "result": %d }' % code


def result_chunk(text):
    return b'{"result": "' + text + b'"}'


def encode(body):
    if isinstance(body, (dict, list)):
        return json.dumps(body).encode()
    if isinstance(body, str):
        return body.encode()
    return body


def connect(port, timeout=WAIT_S):
    return socket.create_connection(("127.0.0.1", port), timeout=timeout)


def send_on(sock, method, path, body=b"", close=False):
    body = encode(body)
    head = f"{method} {path} HTTP/1.1\r\nHost: t\r\nContent-Length: {len(body)}\r\n"
    if close:
        head += "Connection: close\r\n"
    sock.sendall(head.encode() + b"\r\n" + body)


def read_all(sock):
    """Every byte until the server closes (or WAIT_S passes: a failure)."""
    data = b""
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        try:
            piece = sock.recv(65536)
        except socket.timeout:
            raise AssertionError("server did not close; got %r" % data[:300])
        except OSError:
            break
        if not piece:
            break
        data += piece
    sock.close()
    return data


def read_some(sock, until):
    """Reads until the bytes end with until; returns them (the socket stays open)."""
    data = b""
    while not data.endswith(until):
        piece = sock.recv(65536)
        if not piece:
            raise AssertionError("closed early; got %r" % data[:300])
        data += piece
    return data


def nothing_pending(sock):
    """True when no byte is waiting on sock and it is still open."""
    sock.setblocking(False)
    try:
        return not sock.recv(1)
    except BlockingIOError:
        return True
    finally:
        sock.setblocking(True)


def parse_chunked(data):
    """(head bytes, [chunk bytes], saw the last chunk) of a chunked reply."""
    head, sep, rest = data.partition(b"\r\n\r\n")
    assert sep, "no end of head in %r" % data[:300]
    head += sep
    chunks = []
    while rest:
        size_line, _, rest = rest.partition(b"\r\n")
        size = int(size_line, 16)
        if size == 0:
            assert rest == b"\r\n", "bytes after the last chunk: %r" % rest
            return head, chunks, True
        chunks.append(rest[:size])
        assert rest[size:size + 2] == b"\r\n"
        rest = rest[size + 2:]
    return head, chunks, False


class ApiServer:
    """webkvd on a free port, a fake store, a scripts directory."""

    def __init__(self, test, responder=standard_reply, log_level="0", with_store=True):
        self.box = Sandbox()
        test.addCleanup(self.box.cleanup)
        self.port = free_port()
        self.store = None
        if with_store:
            self.store = FakeStore(responder).start(self.box.env["LARKD_SOCKET"])
            test.addCleanup(self.store.stop)
        self.log_level = log_level
        self.proc = None
        self.test = test

    def script(self, name, text, mode=0o755):
        """Writes a script into the scripts directory; returns its path."""
        path = os.path.join(self.box.scripts, name)
        with open(path, "w") as f:
            f.write(text.format(port=self.port, python=sys.executable) if "{port}" in text else text)
        os.chmod(path, mode)
        return path

    def start(self):
        self.proc = Webkvd(["-p", f"127.0.0.1:{self.port}", "-w", self.box.www, "-l", self.log_level],
                           self.box.env)
        self.test.addCleanup(self.proc.stop)
        assert wait_for_port(self.port), "webkvd did not listen"
        self.proc.read_lines(3)  # the start-up lines
        return self

    def send(self, method, path, body=b"", close=False):
        sock = connect(self.port)
        send_on(sock, method, path, body, close)
        return sock

    def exchange(self, method, path, body=b"", open_after=False):
        """One request on its own connection: (head, chunks, ended).  The
        reply is read until the server closes, or with open_after until its
        last chunk (the test then closes)."""
        sock = self.send(method, path, body)
        if not open_after:
            return parse_chunked(read_all(sock))
        with sock:
            return parse_chunked(read_some(sock, b"0\r\n\r\n"))

    def api(self, body, open_after=False):
        return self.exchange("POST", "/_api/", body, open_after)

    def post_result(self, call_id, text):
        """Posts text as a script would; returns the poster's code."""
        head, chunks, ended = self.exchange("POST", f"/_resp/{call_id}", text)
        assert head == CALL_HEAD and ended and len(chunks) == 1, (head, chunks)
        return int(json.loads(chunks[0])["result"])

    def fetch(self, call_id):
        """Raw bytes of GET /_result/<id>."""
        return read_all(self.send("GET", f"/_result/{call_id}"))
