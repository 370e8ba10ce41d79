"""A scripted fake store daemon on a Unix socket, for tests.

It records every frame it receives, byte for byte, and answers each one with
whatever the test's responder says:

    from support.fake_store import FakeStore, frame, CLOSE, Pieces

    store = FakeStore(responder)          # responder(payload: bytes) -> action
    store.start(path)                     # listening when start() returns
    ...                                   # run the client against path
    store.stop()
    store.frames                          # every frame received: header + payload
    store.payloads()                      # the payloads of those frames
    store.connections                     # connections accepted so far
    store.wait_for_frames(n), store.wait_for_connections(n)

or as a context manager: ``with FakeStore(responder).start(path) as store:``.

An action is one of:
    None (or SILENT)     answer nothing, keep the connection open
    bytes                write these bytes as they are; frame(payload) builds a
                         proper frame, anything else makes a bad one
    CLOSE                close the connection
    Pieces(chunks, gap)  write each chunk, sleeping gap seconds between them
    a list of actions    each in turn, e.g. [frame(b"list a 1\\n"), CLOSE]

Without a responder the fake answers like a well-behaved daemon with nothing
stored (standard_reply). by_word() builds a responder from a table of
request words. A frame whose header is not a frame is recorded with all bytes
that follow it, and the connection reads nothing more.
"""

import os
import socket
import threading
import time

MAGIC = b"magicv1 "
HEADER_SIZE = 16
# Longest a test waits for something to happen; reaching it is a failure.
WAIT_S = 20.0

SILENT = None
CLOSE = object()


class Pieces:
    """Chunks written one by one with a pause between them."""

    def __init__(self, chunks, gap=0.05):
        self.chunks = list(chunks)
        self.gap = gap


def frame(payload):
    """One store frame around payload (bytes or str)."""
    if isinstance(payload, str):
        payload = payload.encode()
    return MAGIC + b"%07d " % len(payload) + payload


def parse_frames(data):
    """Splits bytes into whole frames; returns (frames, rest)."""
    frames = []
    while len(data) >= HEADER_SIZE:
        length = int(data[8:15])
        if len(data) < HEADER_SIZE + length:
            break
        frames.append(data[:HEADER_SIZE + length])
        data = data[HEADER_SIZE + length:]
    return frames, data


def payload_of(raw_frame):
    return raw_frame[HEADER_SIZE:]


def standard_reply(payload):
    """What a daemon holding no keys answers: acks, "none" values, empty lists."""
    word = payload.split(b" ", 1)[0].rstrip(b"\n")
    if word in (b"set", b"remove"):
        return frame(b"ok\n")
    if word in (b"get", b"inc", b"desc"):
        key = payload.split(b" ")[1].rstrip(b"\n") if b" " in payload else b""
        return frame(b"val " + key + b" none\n")
    if word == b"list":
        return frame(b"list __end__\n")
    if word == b"version":
        return frame(b"fake 1\n")
    return frame(b"err\n")


def by_word(table, default=standard_reply):
    """Responder answering by request word: table maps b"get" etc. to an
    action or to a callable taking the payload; other words go to default."""

    def respond(payload):
        word = payload.split(b" ", 1)[0].rstrip(b"\n")
        if word in table:
            action = table[word]
            return action(payload) if callable(action) else action
        return default(payload)

    return respond


def _header_ok(data):
    if data[:8] != MAGIC:
        return False
    field = data[8:15]
    return field.isdigit()


class FakeStore:
    def __init__(self, responder=standard_reply):
        self.responder = responder
        self.frames = []
        self.connections = 0
        self.path = None
        self._lock = threading.Lock()
        self._cond = threading.Condition(self._lock)
        self._stop = threading.Event()
        self._listener = None
        self._threads = []
        self._socks = []

    # -- life cycle -------------------------------------------------------
    def start(self, path):
        self.path = path
        if os.path.exists(path):
            os.unlink(path)
        self._listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._listener.bind(path)
        self._listener.listen(64)
        self._listener.settimeout(0.05)
        t = threading.Thread(target=self._accept_loop, daemon=True)
        t.start()
        self._threads.append(t)
        return self

    def stop(self):
        self._stop.set()
        for t in list(self._threads):
            t.join(WAIT_S)
        with self._lock:
            socks = list(self._socks)
        for s in socks:
            try:
                s.close()
            except OSError:
                pass
        if self._listener is not None:
            self._listener.close()
        if self.path and os.path.exists(self.path):
            os.unlink(self.path)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    # -- what was received ------------------------------------------------
    def payloads(self):
        with self._lock:
            return [payload_of(f) for f in self.frames]

    def wait_for_frames(self, n, timeout=WAIT_S):
        """True once at least n frames have arrived."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while len(self.frames) < n:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._cond.wait(left)
        return True

    def wait_for_connections(self, n, timeout=WAIT_S):
        """True once at least n connections have been accepted."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while self.connections < n:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._cond.wait(left)
        return True

    # -- serving ------------------------------------------------------------
    def _accept_loop(self):
        while not self._stop.is_set():
            try:
                conn, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self._cond:
                self.connections += 1
                self._socks.append(conn)
                self._cond.notify_all()
            t = threading.Thread(target=self._serve, args=(conn,), daemon=True)
            t.start()
            self._threads.append(t)

    def _record(self, raw):
        with self._cond:
            self.frames.append(raw)
            self._cond.notify_all()

    def _serve(self, conn):
        conn.settimeout(0.05)
        data = b""
        broken = False
        answering = True
        while not self._stop.is_set():
            try:
                chunk = conn.recv(1 << 20)
            except socket.timeout:
                continue
            except OSError:
                break
            if not chunk:
                break
            if broken:
                self._append_to_last(chunk)
                continue
            data += chunk
            while len(data) >= HEADER_SIZE:
                if not _header_ok(data):
                    self._record(data)
                    data = b""
                    broken = True
                    break
                total = HEADER_SIZE + int(data[8:15])
                if len(data) < total:
                    break
                raw, data = data[:total], data[total:]
                self._record(raw)
                if not answering:
                    continue
                action = self.responder(payload_of(raw))
                if action is CLOSE:
                    self._act(conn, action)
                    return
                # A client that stopped reading may still send: keep recording.
                answering = self._act(conn, action)

    def _append_to_last(self, chunk):
        with self._cond:
            self.frames[-1] += chunk
            self._cond.notify_all()

    def _act(self, conn, action):
        """Carries out one action; False once the connection is closed."""
        try:
            if action is None:
                return True
            if action is CLOSE:
                conn.shutdown(socket.SHUT_RDWR)
                conn.close()
                return False
            if isinstance(action, Pieces):
                for i, chunk in enumerate(action.chunks):
                    if i:
                        time.sleep(action.gap)
                    conn.sendall(chunk)
                return True
            if isinstance(action, (bytes, bytearray)):
                conn.sendall(action)
                return True
            for a in action:
                if not self._act(conn, a):
                    return False
            return True
        except OSError:
            return False
