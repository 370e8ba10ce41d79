"""Starting webkvd for a test: temporary paths, free ports, output lines."""

import os
import queue
import shutil
import socket
import ssl
import subprocess
import tempfile
import threading
import time

WEBKVD = os.environ.get("WEBKVD", "webkvd")
# Upper bound for anything a test waits for; reaching it is a failure.
WAIT_S = 20.0
# How long an orderly exit may take before the process is killed.
STOP_WAIT_S = 10.0
SANITIZER_MARKERS = ("ERROR: LeakSanitizer", "ERROR: AddressSanitizer", "runtime error:")


def free_port():
    """A TCP port on loopback that nothing listens on right now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def busy_port():
    """A listening socket (keep it open) and its port."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen()
    return s, s.getsockname()[1]


def wait_for_port(port, host="127.0.0.1", timeout=WAIT_S):
    """True once a TCP connect to host:port succeeds, False at the deadline."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection((host, port), timeout=1):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def http_get(port, path="/", tls=False, timeout=WAIT_S):
    """Raw HTTP/1.1 GET; returns every byte received until the server closes."""
    raw = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    sock = raw
    if tls:
        ctx = ssl.create_default_context()
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        sock = ctx.wrap_socket(raw)
    with sock:
        sock.sendall(f"GET {path} HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n".encode())
        data = b""
        while True:
            try:
                piece = sock.recv(65536)
            except OSError:  # reset or TLS alert: what came so far is the answer
                break
            if not piece:
                break
            data += piece
        return data


def read_to_close(sock):
    """Everything sock receives until the peer closes (or resets, or the
    socket's time-out passes)."""
    out = b""
    while True:
        try:
            piece = sock.recv(65536)
        except (ConnectionResetError, socket.timeout):
            break
        if not piece:
            break
        out += piece
    return out


def exchange(port, data, timeout=WAIT_S):
    """Sends data in one write; everything received until the server closes.
    A server that refuses early may reset the write: what it sent before
    is the answer."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        try:
            s.sendall(data)
        except OSError:
            pass
        return read_to_close(s)


def status(head):
    """Status code of a reply head given as text; 0 when there is none."""
    parts = head.split(" ", 2)
    return int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0


def field(head, name):
    """Value of the first header of that name (any case) in a reply head, or None."""
    for line in head.split("\r\n")[1:]:
        n, _, v = line.partition(":")
        if n.strip().lower() == name.lower():
            return v.strip()
    return None


class Sandbox:
    """A temporary directory with a web root, an upload directory, a scripts
    directory and a store socket path; the environment that points there."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="webkvd-test-")
        self.www = os.path.join(self.dir, "www") + "/"
        self.upload = os.path.join(self.dir, "upload") + "/"
        self.scripts = os.path.join(self.dir, "scripts")
        for d in (self.www, self.upload, self.scripts):
            os.makedirs(d)
        with open(os.path.join(self.www, "index.html"), "w") as f:
            f.write("<html><body>test</body></html>\n")
        self.env = dict(os.environ)
        self.env.update(
            LARKD_SOCKET=os.path.join(self.dir, "larkd.sock"),
            WEBKVD_SCRIPTS_DIR=self.scripts,
            WEBKVD_UPLOAD_DIR=self.upload,
        )

    def path(self, name):
        return os.path.join(self.dir, name)

    def cleanup(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class Webkvd:
    """webkvd in the foreground with its standard output read line by line."""

    def __init__(self, args, env):
        self.proc = subprocess.Popen(
            [WEBKVD, *args], env=env, stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines = queue.Queue()
        self.stderr = b""
        self._out = threading.Thread(target=self._read_stdout, daemon=True)
        self._err = threading.Thread(target=self._read_stderr, daemon=True)
        self._out.start()
        self._err.start()

    def _read_stdout(self):
        for line in self.proc.stdout:
            self.lines.put(line.decode(errors="replace"))
        self.lines.put(None)

    def _read_stderr(self):
        self.stderr = self.proc.stderr.read()

    def read_lines(self, n, timeout=WAIT_S):
        """The next n lines (with their newlines); fewer if output ends."""
        got = []
        deadline = time.monotonic() + timeout
        while len(got) < n:
            try:
                line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                break
            if line is None:
                self.lines.put(None)
                break
            got.append(line)
        return got

    def wait(self, timeout=WAIT_S):
        """Exit status, after the output has been read to its end."""
        rc = self.proc.wait(timeout=timeout)
        self._out.join(timeout)
        self._err.join(timeout)
        return rc

    def rest_of_output(self):
        """Every line not read yet; only once the process has ended."""
        out = []
        while True:
            line = self.lines.get()
            if line is None:
                self.lines.put(None)
                return "".join(out)
            out.append(line)

    def stop(self):
        """SIGTERM, which webkvd answers with an orderly exit; a sanitizer
        build then reports leaks and errors on standard error, and a report
        fails the test that stops it."""
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=STOP_WAIT_S)
            except subprocess.TimeoutExpired:
                self.proc.kill()
        self.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()
        report = self.stderr.decode(errors="replace")
        for marker in SANITIZER_MARKERS:
            if marker in report:
                raise AssertionError("webkvd reported at exit:\n" + report[-4000:])


def make_certificate(directory):
    """Self-signed certificate and key made by openssl; returns the paths of
    (combined PEM, certificate only, key only)."""
    key = os.path.join(directory, "key.pem")
    cert = os.path.join(directory, "cert.pem")
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
         "-out", cert, "-days", "2", "-subj", "/CN=localhost"],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    combined = os.path.join(directory, "server.pem")
    with open(combined, "wb") as out:
        for part in (cert, key):
            with open(part, "rb") as f:
                out.write(f.read())
    return combined, cert, key
