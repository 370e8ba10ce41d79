"""2 000 browsers at once, mixing static files, data API listings, script
calls, uploads and proxied requests, in three rounds.  Every reply must be
complete and correct; afterwards webkvd's descriptors are back to their idle
count, its memory does not grow from one round to the next, no script is
left a zombie and the upload directory holds exactly the files posted."""

import asyncio
import json
import os
import random
import re
import resource
import threading
import time
import unittest

from support.api_http import SILENT_SCRIPT
from support.fake_backend import FakeBackend, ProxyRig, Reply
from support.health import assert_idle, fd_count, rss_kib
from support.proc import Larkd
from support.tally import Tally
from support.upload_http import BOUNDARY, form, part, post_head

TALLY = Tally("load")
CONNECTIONS = 2000
ROUNDS = 3
SAMPLE_S = 0.05
STATIC_BYTES = 10_000
BACKEND_BODY = bytes(range(256)) * 20
LISTED_KEYS = 40
# Share of each kind in a round, in this order of the mix.
MIX = [("static", 30), ("listing", 25), ("call", 10), ("upload", 15), ("proxied", 20)]
# A reply that has not come by then is a failure (not a speed target).
REPLY_WAIT_S = 120
# Memory may settle a little higher after the first round; a leak grows it
# round after round.
RSS_GROWTH_LIMIT_KIB = 8 * 1024
NOFILE_WANTED = 8192
ENTRY = re.compile(rb'"([^"]+)":"([^"]*)"')
UPLOAD_OK_HEAD = b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n"


def raise_fd_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = min(hard, max(soft, NOFILE_WANTED))
    resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))
    return want


def sanitized(program):
    """True when the program was built with AddressSanitizer."""
    with open(program, "rb") as f:
        return b"__asan_init" in f.read()


def split_reply(data):
    head, sep, body = data.partition(b"\r\n\r\n")
    assert sep, data[:200]
    return head + sep, body


def dechunk(body):
    chunks = []
    while True:
        size_line, _, body = body.partition(b"\r\n")
        size = int(size_line, 16)
        if size == 0:
            assert body == b"\r\n", body[:100]
            return chunks
        chunks.append(body[:size])
        assert body[size:size + 2] == b"\r\n"
        body = body[size + 2:]


async def fetch(port, request, after_head=None):
    """Opens, sends, reads to the close.  after_head(head) runs once the
    reply head is in (script calls post their result then)."""
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    try:
        writer.write(request)
        await writer.drain()
        data = b""
        if after_head is not None:
            while b"\r\n\r\n" not in data:
                piece = await reader.read(65536)
                if not piece:
                    break
                data += piece
            await after_head(data)
        while True:
            piece = await reader.read(65536)
            if not piece:
                return data
            data += piece
    finally:
        writer.close()


class Load(unittest.TestCase):
    def setUp(self):
        self.nofile = raise_fd_limit()
        self.backend = FakeBackend(lambda req: Reply.ok(BACKEND_BODY))
        self.rig = ProxyRig(self.backend)
        self.addCleanup(self.rig.stop)
        box = self.rig.sandbox
        self.larkd = Larkd(self, sock=box.env["LARKD_SOCKET"]).start()
        rng = random.Random(1)
        self.static = bytes(rng.getrandbits(8) for _ in range(STATIC_BYTES))
        with open(os.path.join(box.www, "static.txt"), "wb") as f:
            f.write(self.static)
        path = os.path.join(box.scripts, "noop")
        with open(path, "w") as f:
            f.write(SILENT_SCRIPT)
        os.chmod(path, 0o755)
        self.port = self.rig.port
        self.pid = self.rig.webkvd.proc.pid
        self.listed = {b"load%d" % i: b"value%d" % i for i in range(LISTED_KEYS)}
        for r in self.larkd_writes():
            self.assertEqual(r.returncode, 0, r.stderr)
        self.idle_fds = fd_count(self.pid)
        self.uploaded = {}
        self.call_id = 100
        self.rss = []

    def larkd_writes(self):
        return [self.larkd.rook("set", (k + b"=" + v).decode()) for k, v in self.listed.items()]

    # -- the kinds of request: each returns a coroutine that checks its reply --

    async def static_request(self, i):
        data = await fetch(self.port, b"GET /static.txt HTTP/1.1\r\nHost: x\r\n\r\n")
        head, body = split_reply(data)
        assert head.startswith(b"HTTP/1.1 200 OK\r\n"), head
        assert body == self.static, len(body)

    async def listing_request(self, i):
        data = await fetch(self.port, b"GET /_api/load HTTP/1.1\r\nHost: x\r\n\r\n")
        head, body = split_reply(data)
        assert head.startswith(b"HTTP/1.1 200 OK\r\n"), head
        text = b"".join(dechunk(body))
        assert text.startswith(b'{"result":[{') and text.endswith(b"}\n]}"), text[:100]
        assert dict(ENTRY.findall(text)) == self.listed, text[:200]

    async def call_request(self, i):
        self.call_id += 1
        call_id = self.call_id
        body = json.dumps({"method": "noop", "id": call_id}).encode()
        request = b"POST /_api/ HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % len(body) + body

        async def post_result(head):
            assert head.startswith(b"HTTP/1.1 200 OK\r\n"), head
            result = b"r%d" % call_id
            poster = await fetch(self.port, b"POST /_resp/%d HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n"
                                 % (call_id, len(result)) + result)
            assert poster.startswith(b"HTTP/1.1 200 OK\r\n"), poster[:100]

        data = await fetch(self.port, request, post_result)
        head, body = split_reply(data)
        assert dechunk(body) == [b'{"result": "r%d"}' % call_id], body[:200]

    async def upload_request(self, i):
        name = f"u{i}"
        content = os.urandom(2000 + i % 7 * 1000)
        self.uploaded[name] = content
        body = form(part(name, content))
        data = await fetch(self.port, post_head("/_upload", len(body)) + body)
        expected = f'{{"filepath":"{self.rig.sandbox.upload}/{name}", "filelength":{len(content)}}}\n'
        assert data == UPLOAD_OK_HEAD + expected.encode(), data[:300]

    async def proxied_request(self, i):
        data = await fetch(self.port, b"GET /p/%d HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n" % i)
        head, body = split_reply(data)
        assert head.startswith(b"HTTP/1.1 200 OK\r\n"), head
        assert body == BACKEND_BODY, len(body)

    async def one_round(self, round_no):
        kinds = []
        for kind, share in MIX:
            kinds += [kind] * (CONNECTIONS * share // 100)
        random.Random(round_no).shuffle(kinds)
        tasks = [getattr(self, kind + "_request")(round_no * CONNECTIONS + i) for i, kind in enumerate(kinds)]
        results = await asyncio.wait_for(asyncio.gather(*tasks, return_exceptions=True), REPLY_WAIT_S)
        self.rss.append(rss_kib(self.pid))
        failures = [(kinds[i], repr(r)[:300]) for i, r in enumerate(results) if r is not None]
        return kinds, failures

    def test_two_thousand_at_once(self):
        self.assertGreaterEqual(self.nofile, CONNECTIONS * 2, "descriptor limit too low for the test")
        peak = [0]
        sampling = threading.Event()

        def sample():
            while not sampling.is_set():
                try:
                    peak[0] = max(peak[0], fd_count(self.pid))
                except OSError:
                    return
                time.sleep(SAMPLE_S)

        sampler = threading.Thread(target=sample)
        sampler.start()
        try:
            rounds = [asyncio.run(self.one_round(n)) for n in range(ROUNDS)]
        finally:
            sampling.set()
            sampler.join()
        for kinds, failures in rounds:
            self.assertEqual(failures[:5], [], "%d of %d failed" % (len(failures), len(kinds)))
            for kind, _ in MIX:
                TALLY.add("load", f"2 000 concurrent connections: {kind}",
                          "every reply complete and correct", kinds.count(kind))
        rss = self.rss
        # AddressSanitizer holds freed memory back in quarantine, so only a
        # plain build's memory can show a leak this way.
        if not sanitized(self.rig.webkvd.proc.args[0]):
            self.assertLessEqual(rss[-1] - rss[1], RSS_GROWTH_LIMIT_KIB, rss)

        # Nothing left behind: parked backend links go with the backend.
        self.backend.stop()
        assert_idle(self, self.rig.webkvd.proc, self.idle_fds)
        upload = self.rig.sandbox.upload
        self.assertEqual(sorted(os.listdir(upload)), sorted(self.uploaded))
        for name, content in self.uploaded.items():
            with open(os.path.join(upload, name), "rb") as f:
                self.assertEqual(f.read(), content, name)
        TALLY.add("load", "after the rounds: descriptors, zombies, upload files, memory",
                  "peak %d descriptors, back to %d; no zombies; %d upload files, all posted; RSS %s KiB after each round"
                  % (peak[0], self.idle_fds, len(self.uploaded), " / ".join(map(str, rss))), ROUNDS)


if __name__ == "__main__":
    unittest.main()
