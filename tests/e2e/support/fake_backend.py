"""A scripted backend web server for the proxy tests, and a raw HTTP client
that shows the exact bytes a browser receives.

The backend records every request it reads, raw, with the id of the TCP
connection it came on, and answers each with the Reply that its handler
returns: with a Content-Length, chunked, without a length and then a close,
cut short, slowly, or not at all.
"""

import select
import socket
import threading
import time
import zlib

# Upper bound for anything a test waits for; reaching it is a failure.
WAIT_S = 20.0
READ_BYTES = 256 * 1024
GATE_POLL_S = 0.02
# Decoded request bodies up to this size are kept; larger ones only counted.
KEEP_BODY_BYTES = 1024 * 1024
PATTERN_BLOCK = bytes(range(256)) * 4096  # 1 MiB of a known pattern


def pattern_crc(length):
    """crc32 of the first `length` bytes of the repeated pattern."""
    crc = 0
    whole, rest = divmod(length, len(PATTERN_BLOCK))
    for _ in range(whole):
        crc = zlib.crc32(PATTERN_BLOCK, crc)
    return zlib.crc32(PATTERN_BLOCK[:rest], crc)


class Request:
    """One request as the backend read it."""

    def __init__(self, conn_id, head):
        self.conn_id = conn_id
        self.head = head                 # bytes up to and including the blank line
        lines = head.decode("latin-1").split("\r\n")
        self.request_line = lines[0]
        self.method, self.target, self.proto = self.request_line.split(" ", 2)
        self.header_lines = [l for l in lines[1:] if l]
        self.headers = []
        for line in self.header_lines:
            name, _, value = line.partition(":")
            self.headers.append((name, value.strip()))
        self.raw_body = b""              # body bytes as they came (chunk framing kept), when small
        self.body = b""                  # decoded body, when small
        self.body_length = 0
        self.body_crc = 0

    def header(self, name):
        for n, v in self.headers:
            if n.lower() == name.lower():
                return v
        return None

    def header_values(self, name):
        return [v for n, v in self.headers if n.lower() == name.lower()]

    def _take_body(self, decoded, raw):
        self.body_length += len(decoded)
        self.body_crc = zlib.crc32(decoded, self.body_crc)
        if self.body_length <= KEEP_BODY_BYTES:
            self.body += decoded
            self.raw_body += raw


class Reply:
    """What the backend does with a request: a list of steps.

    ("send", bytes), ("sleep", seconds), ("wait", threading.Event),
    ("stream", total_bytes) of the pattern, ("close",).  Without a close
    step the connection reads the next request."""

    def __init__(self, steps):
        self.steps = steps

    @staticmethod
    def head(status="200 OK", headers=(), proto="HTTP/1.1"):
        text = f"{proto} {status}\r\n" + "".join(f"{n}: {v}\r\n" for n, v in headers) + "\r\n"
        return text.encode("latin-1")

    @classmethod
    def ok(cls, body=b"ok", headers=(), status="200 OK"):
        """A reply with a Content-Length; the connection stays open."""
        headers = [("Content-Length", str(len(body))), *headers]
        return cls([("send", cls.head(status, headers) + body)])

    @classmethod
    def chunked(cls, pieces, headers=()):
        body = b"".join(b"%x\r\n%s\r\n" % (len(p), p) for p in pieces) + b"0\r\n\r\n"
        return cls([("send", cls.head("200 OK", [("Transfer-Encoding", "chunked"), *headers]) + body)])

    @classmethod
    def until_close(cls, body, headers=()):
        """No length: the body ends where the backend closes."""
        return cls([("send", cls.head("200 OK", headers) + body), ("close",)])

    @classmethod
    def cut_short(cls, body, announced):
        """Announces `announced` bytes, sends `body`, closes."""
        return cls([("send", cls.head("200 OK", [("Content-Length", str(announced))]) + body), ("close",)])

    @classmethod
    def no_reply(cls):
        return cls([("close",)])

    @classmethod
    def after(cls, gate, reply):
        """`reply` once the test sets the Event `gate`."""
        return cls([("wait", gate), *reply.steps])

    @classmethod
    def slowly(cls, seconds, reply):
        return cls([("sleep", seconds), *reply.steps])

    @classmethod
    def pattern(cls, length):
        """`length` bytes of the pattern with a Content-Length."""
        return cls([("send", cls.head("200 OK", [("Content-Length", str(length))])), ("stream", length)])


class Connection:
    def __init__(self, conn_id, sock):
        self.id = conn_id
        self.sock = sock
        self.closed_by_peer = threading.Event()
        self.buf = b""


class FakeBackend:
    """Listens on a free loopback port; handler(request) -> Reply."""

    def __init__(self, handler=None):
        self.handler = handler or (lambda req: Reply.ok())
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self.address = f"127.0.0.1:{self.port}"
        self.requests = []
        self.connections = []
        self.changed = threading.Condition()
        self.stopping = False
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    # -- for the tests ---------------------------------------------------

    def wait_requests(self, n, timeout=WAIT_S):
        """The first n requests; fails the wait with an AssertionError."""
        with self.changed:
            if not self.changed.wait_for(lambda: len(self.requests) >= n, timeout):
                raise AssertionError(f"backend got {len(self.requests)} requests, expected {n}")
            return list(self.requests[:n])

    def connection(self, conn_id):
        with self.changed:
            return self.connections[conn_id]

    def connection_count(self):
        with self.changed:
            return len(self.connections)

    def closed(self, conn_id, timeout=WAIT_S):
        """True once the proxy has closed backend connection conn_id."""
        return self.connection(conn_id).closed_by_peer.wait(timeout)

    def stop(self):
        self.stopping = True
        self.listener.close()
        with self.changed:
            for c in self.connections:
                try:
                    c.sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                c.sock.close()

    # -- the server ------------------------------------------------------

    def _accept(self):
        while not self.stopping:
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            with self.changed:
                conn = Connection(len(self.connections), sock)
                self.connections.append(conn)
                self.changed.notify_all()
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _fill(self, conn):
        try:
            piece = conn.sock.recv(READ_BYTES)
        except OSError:
            piece = b""
        if not piece:
            raise EOFError
        conn.buf += piece

    def _read_until(self, conn, marker):
        while marker not in conn.buf:
            self._fill(conn)
        at = conn.buf.index(marker) + len(marker)
        out, conn.buf = conn.buf[:at], conn.buf[at:]
        return out

    def _read_exact(self, conn, n):
        while len(conn.buf) < n:
            self._fill(conn)
        out, conn.buf = conn.buf[:n], conn.buf[n:]
        return out

    def _read_body(self, conn, req):
        te = req.header("Transfer-Encoding")
        if te is not None and te.lower().endswith("chunked"):
            while True:
                size_line = self._read_until(conn, b"\r\n")
                size = int(size_line.split(b";")[0], 16)
                if size == 0:
                    trailer = self._read_until(conn, b"\r\n")
                    while trailer != b"\r\n":
                        trailer = self._read_until(conn, b"\r\n")
                    req._take_body(b"", size_line + b"\r\n")
                    return
                data = self._read_exact(conn, size)
                req._take_body(data, size_line + data + self._read_exact(conn, 2))
        length = int(req.header("Content-Length") or 0)
        while length > 0:
            if not conn.buf:
                self._fill(conn)
            take = conn.buf[:length]
            conn.buf = conn.buf[len(take):]
            length -= len(take)
            req._take_body(take, take)

    def _serve(self, conn):
        try:
            while True:
                req = Request(conn.id, self._read_until(conn, b"\r\n\r\n"))
                self._read_body(conn, req)
                with self.changed:
                    self.requests.append(req)
                    self.changed.notify_all()
                if not self._answer(conn, self.handler(req)):
                    break
        except (EOFError, ConnectionError):
            conn.closed_by_peer.set()
        except OSError:
            pass
        finally:
            if not self.stopping:
                conn.sock.close()

    def _wait_gate(self, conn, gate):
        """Waits for the test's gate while watching for the proxy's close;
        False when the proxy closed the connection meanwhile."""
        deadline = time.monotonic() + WAIT_S
        while not gate.wait(GATE_POLL_S) and time.monotonic() < deadline:
            readable, _, _ = select.select([conn.sock], [], [], 0)
            if readable and not conn.sock.recv(1, socket.MSG_PEEK):
                conn.closed_by_peer.set()
                return False
        return True

    def _answer(self, conn, reply):
        """Runs the steps; False when the connection is to end."""
        for step in reply.steps:
            kind = step[0]
            if kind == "send":
                conn.sock.sendall(step[1])
            elif kind == "sleep":
                time.sleep(step[1])
            elif kind == "wait":
                if not self._wait_gate(conn, step[1]):
                    return False
            elif kind == "stream":
                left = step[1]
                while left > 0:
                    piece = PATTERN_BLOCK[:min(left, len(PATTERN_BLOCK))]
                    conn.sock.sendall(piece)
                    left -= len(piece)
            elif kind == "close":
                conn.sock.close()
                return False
        return True


class HttpReply:
    def __init__(self, status_line, header_lines, body):
        self.status_line = status_line
        self.header_lines = header_lines
        self.headers = []
        for line in header_lines:
            name, _, value = line.partition(":")
            self.headers.append((name, value.strip()))
        self.body = body
        self.status = int(status_line.split(" ")[1])

    def header(self, name):
        for n, v in self.headers:
            if n.lower() == name.lower():
                return v
        return None

    def header_values(self, name):
        return [v for n, v in self.headers if n.lower() == name.lower()]


class Browser:
    """A raw client connection: send bytes, read replies, see the close."""

    def __init__(self, port, tls=False, timeout=WAIT_S):
        raw = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.sock = raw
        if tls:
            import ssl
            ctx = ssl.create_default_context()
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            self.sock = ctx.wrap_socket(raw)
        self.buf = b""
        self.eof = False

    def send(self, data):
        self.sock.sendall(data)

    def get(self, path, headers=(("Content-Length", "0"),), proto="HTTP/1.1", method="GET"):
        lines = [f"{method} {path} {proto}", "Host: localhost", *(f"{n}: {v}" for n, v in headers)]
        self.send(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))

    def _fill(self):
        try:
            piece = self.sock.recv(READ_BYTES)
        except ConnectionResetError:
            piece = b""
        if not piece:
            self.eof = True
            raise EOFError
        self.buf += piece

    def _until(self, marker):
        while marker not in self.buf:
            self._fill()
        at = self.buf.index(marker) + len(marker)
        out, self.buf = self.buf[:at], self.buf[at:]
        return out

    def _exact(self, n):
        while len(self.buf) < n:
            self._fill()
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def read_head(self):
        lines = self._until(b"\r\n\r\n").decode("latin-1").split("\r\n")
        return lines[0], [l for l in lines[1:] if l]

    def read_reply(self, bodyless=False):
        """One reply, framed by its Content-Length, chunked coding, or the close."""
        status, header_lines = self.read_head()
        reply = HttpReply(status, header_lines, b"")
        length = reply.header("Content-Length")
        if bodyless or 100 <= reply.status < 200 or reply.status in (204, 304):
            return reply
        if length is not None:
            reply.body = self._exact(int(length))
        elif (reply.header("Transfer-Encoding") or "").lower() == "chunked":
            raise AssertionError("the proxy relays bodies without chunked coding")
        else:
            try:
                while True:
                    self._fill()
            except EOFError:
                pass
            reply.body, self.buf = self.buf, b""
        return reply

    def read_to_close(self):
        """Everything until the proxy closes the connection."""
        try:
            while True:
                self._fill()
        except EOFError:
            pass
        out, self.buf = self.buf, b""
        return out

    def closed(self):
        """True when the proxy closes the connection with nothing more sent."""
        if self.eof:
            return not self.buf
        try:
            self._fill()
        except EOFError:
            return not self.buf
        except OSError:
            return False
        return False

    def close(self):
        self.sock.close()


class ProxyRig:
    """webkvd in front of a FakeBackend (or of `backend_address`), in a sandbox."""

    def __init__(self, backend=None, backend_address=None, https=False):
        from support.webkvd_process import Sandbox, Webkvd, free_port, make_certificate, wait_for_port
        self.backend = backend
        self.sandbox = Sandbox()
        self.port = free_port()
        args = ["-p", f"127.0.0.1:{self.port}", "-w", self.sandbox.www]
        address = backend_address or (backend.address if backend else None)
        if address:
            args += ["-r", address]
        self.https_port = None
        if https:
            self.https_port = free_port()
            pem, _, _ = make_certificate(self.sandbox.dir)
            args += ["-s", f"127.0.0.1:{self.https_port}", "-c", pem]
        self.webkvd = Webkvd(args, self.sandbox.env)
        for port in (self.port, self.https_port):
            if port and not wait_for_port(port):
                self.stop()
                raise AssertionError("webkvd did not start")

    def browser(self, tls=False):
        return Browser(self.https_port if tls else self.port, tls=tls)

    def wait_line(self, text, timeout=WAIT_S):
        """The next output line that contains text (earlier lines are skipped)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            got = self.webkvd.read_lines(1, timeout=max(0.0, deadline - time.monotonic()))
            if not got:
                break
            if text in got[0]:
                return got[0]
        raise AssertionError(f"webkvd wrote no line with {text!r}")

    def peak_rss_kib(self):
        with open(f"/proc/{self.webkvd.proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        return 0

    def stop(self):
        self.webkvd.stop()
        if self.backend:
            self.backend.stop()
        self.sandbox.cleanup()
