"""Headless Chromium driven through its DevTools protocol, standard library only.

    browser = Chromium(test)                 # started, stopped at cleanup
    page = browser.page()                    # first page target
    page.navigate("http://127.0.0.1:8000/index.html")
    page.wait_for("document.title === 'Device'")
    page.evaluate("1 + 1")                   # -> 2
    page.screenshot("/tmp/page.png")

The WebSocket client is just enough for DevTools: client frames masked,
text messages, fragmentation, ping and close.
"""

import base64
import hashlib
import json
import os
import queue
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time
import urllib.parse
import urllib.request

# Where Debian puts the browser; CHROMIUM overrides.
BROWSER_NAMES = ("chromium", "chromium-browser")
BROWSER_FLAGS = (
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
    "--disable-component-update", "--no-first-run", "--disable-sync", "--disable-quic",
    "--disable-dev-shm-usage", "--remote-debugging-port=0", "--window-size=1000,1400",
)
LISTENING = re.compile(r"DevTools listening on (ws://\S+)")
START_S = 30.0    # the browser announcing its DevTools port
REPLY_S = 30.0    # one protocol command answered
POLL_S = 0.1      # between DOM polls

WS_GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
OP_CONT, OP_TEXT, OP_BINARY, OP_CLOSE, OP_PING, OP_PONG = 0x0, 0x1, 0x2, 0x8, 0x9, 0xA
FIN = 0x80
MASKED = 0x80
LEN_16, LEN_64 = 126, 127


def find_browser():
    """Path of the browser, or None."""
    named = os.environ.get("CHROMIUM")
    if named:
        return named if os.access(named, os.X_OK) else None
    for name in BROWSER_NAMES:
        path = shutil.which(name)
        if path:
            return path
    return None


class WebSocket:
    """A client WebSocket over a plain TCP socket."""

    def __init__(self, url, timeout=REPLY_S):
        parts = urllib.parse.urlsplit(url)
        self.sock = socket.create_connection((parts.hostname, parts.port), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        path = parts.path + ("?" + parts.query if parts.query else "")
        self.sock.sendall((
            f"GET {path} HTTP/1.1\r\nHost: {parts.hostname}:{parts.port}\r\n"
            "Upgrade: websocket\r\nConnection: Upgrade\r\n"
            f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            piece = self.sock.recv(4096)
            if not piece:
                raise ConnectionError("WebSocket handshake: connection closed")
            head += piece
        head, self.pending = head.split(b"\r\n\r\n", 1)
        if b" 101 " not in head.split(b"\r\n", 1)[0]:
            raise ConnectionError("WebSocket handshake refused: %r" % head[:200])
        expected = base64.b64encode(hashlib.sha1((key + WS_GUID).encode()).digest()).decode()
        if expected.encode() not in head:
            raise ConnectionError("WebSocket handshake: wrong accept key")

    def _exact(self, n):
        while len(self.pending) < n:
            piece = self.sock.recv(max(65536, n - len(self.pending)))
            if not piece:
                raise ConnectionError("WebSocket closed by the browser")
            self.pending += piece
        data, self.pending = self.pending[:n], self.pending[n:]
        return data

    def _send_frame(self, opcode, payload):
        n = len(payload)
        if n < LEN_16:
            head = struct.pack("!BB", FIN | opcode, MASKED | n)
        elif n < 1 << 16:
            head = struct.pack("!BBH", FIN | opcode, MASKED | LEN_16, n)
        else:
            head = struct.pack("!BBQ", FIN | opcode, MASKED | LEN_64, n)
        mask = os.urandom(4)
        body = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.sock.sendall(head + mask + body)

    def send_text(self, text):
        self._send_frame(OP_TEXT, text.encode())

    def receive_text(self):
        """The next whole text message; answers pings on the way."""
        message = b""
        while True:
            b0, b1 = self._exact(2)
            opcode, n = b0 & 0x0F, b1 & 0x7F
            if n == LEN_16:
                n = struct.unpack("!H", self._exact(2))[0]
            elif n == LEN_64:
                n = struct.unpack("!Q", self._exact(8))[0]
            mask = self._exact(4) if b1 & MASKED else None
            payload = self._exact(n)
            if mask:
                payload = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
            if opcode == OP_PING:
                self._send_frame(OP_PONG, payload)
                continue
            if opcode == OP_CLOSE:
                raise ConnectionError("WebSocket closed by the browser")
            if opcode in (OP_TEXT, OP_BINARY, OP_CONT):
                message += payload
                if b0 & FIN:
                    return message.decode()

    def close(self):
        try:
            self._send_frame(OP_CLOSE, b"")
        except OSError:
            pass
        self.sock.close()


class ProtocolError(AssertionError):
    pass


class Page:
    """One page target: commands, events, and DOM helpers."""

    def __init__(self, ws_url):
        self.ws = WebSocket(ws_url)
        self.next_id = 0
        self.events = []
        self.console = []
        self.send("Page.enable")
        self.send("Runtime.enable")

    def send(self, method, timeout=REPLY_S, **params):
        """Sends one command and returns its result; events that come first
        are kept in self.events (console messages also in self.console)."""
        self.next_id += 1
        my_id = self.next_id
        self.ws.send_text(json.dumps({"id": my_id, "method": method, "params": params}))
        self.ws.sock.settimeout(timeout)
        while True:
            message = json.loads(self.ws.receive_text())
            if message.get("id") == my_id:
                if "error" in message:
                    raise ProtocolError("%s: %s" % (method, message["error"]))
                return message.get("result", {})
            self._keep_event(message)

    def _keep_event(self, message):
        method = message.get("method", "")
        self.events.append(message)
        if method == "Runtime.consoleAPICalled":
            args = message["params"].get("args", [])
            self.console.append(" ".join(str(a.get("value", a.get("description", ""))) for a in args))
        elif method == "Runtime.exceptionThrown":
            self.console.append("exception: %s" % message["params"]["exceptionDetails"].get("text"))

    def evaluate(self, expression, await_promise=False):
        """Value of a JavaScript expression in the page."""
        result = self.send("Runtime.evaluate", expression=expression, returnByValue=True,
                           awaitPromise=await_promise)
        if "exceptionDetails" in result:
            raise ProtocolError("%s: %s" % (expression, result["exceptionDetails"]))
        return result["result"].get("value")

    def wait_for(self, expression, timeout):
        """Polls until the expression is truthy; returns its value. An
        exception counts as not yet (the page may still be loading). At the
        deadline fails with the expression, the last exception and the
        page's console lines."""
        deadline = time.monotonic() + timeout
        last_error = None
        while True:
            try:
                value = self.evaluate(expression)
                if value:
                    return value
            except ProtocolError as e:
                last_error = e
            if time.monotonic() > deadline:
                raise AssertionError("page never showed %s (%s); console: %s"
                                     % (expression, last_error, self.console))
            time.sleep(POLL_S)

    def navigate(self, url):
        self.send("Page.navigate", url=url)

    def set_files(self, selector, paths):
        """Puts files into an <input type=file>, as a user choosing them would."""
        root = self.send("DOM.getDocument")["root"]["nodeId"]
        node = self.send("DOM.querySelector", nodeId=root, selector=selector)["nodeId"]
        if not node:
            raise ProtocolError("no element " + selector)
        self.send("DOM.setFileInputFiles", nodeId=node, files=list(paths))

    def screenshot(self, path):
        data = self.send("Page.captureScreenshot", format="png", captureBeyondViewport=True)["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        self.ws.close()


class Chromium:
    """Headless Chromium with a fresh profile, stopped when the test ends.
    Fails the test (does not skip it) when no browser is installed."""

    def __init__(self, test):
        path = find_browser()
        if path is None:
            raise AssertionError("chromium is not installed (scripts/setup installs it)")
        self.profile = tempfile.mkdtemp(prefix="chromium-profile-")
        test.addCleanup(shutil.rmtree, self.profile, True)
        self.proc = subprocess.Popen(
            [path, *BROWSER_FLAGS, "--user-data-dir=" + self.profile, "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        test.addCleanup(self.stop)
        self.stderr_lines = []
        found = queue.Queue()
        threading.Thread(target=self._read_stderr, args=(found,), daemon=True).start()
        try:
            ws_url = found.get(timeout=START_S)
        except queue.Empty:
            ws_url = None
        if not ws_url:
            raise AssertionError("chromium did not open its DevTools port: %s" % self.stderr_lines[-20:])
        self.http = "http://" + urllib.parse.urlsplit(ws_url).netloc
        self.pages = []

    def _read_stderr(self, found):
        announced = False
        for raw in self.proc.stderr:
            line = raw.decode(errors="replace").rstrip()
            self.stderr_lines.append(line)
            match = LISTENING.search(line)
            if match and not announced:
                announced = True
                found.put(match.group(1))
        if not announced:
            found.put(None)

    def page(self):
        """The first page target (the about:blank tab)."""
        deadline = time.monotonic() + START_S
        while True:
            with urllib.request.urlopen(self.http + "/json/list", timeout=REPLY_S) as reply:
                targets = json.load(reply)
            pages = [t for t in targets if t.get("type") == "page" and "webSocketDebuggerUrl" in t]
            if pages:
                page = Page(pages[0]["webSocketDebuggerUrl"])
                self.pages.append(page)
                return page
            if time.monotonic() > deadline:
                raise AssertionError("chromium shows no page target: %s" % targets)
            time.sleep(POLL_S)

    def stop(self):
        for page in self.pages:
            page.close()
        self.pages = []
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stderr.close()
