"""webkvd against a store daemon that misbehaves: absent, silent, closing
mid-frame, sending bad magic or bad lengths, answering out of step.  Every
browser reply must still end, the next request must be served, the set
requests must reach the daemon intact, and nothing may be left open."""

import unittest

from support.api_http import API_HEAD, ARGV_POSTER, SILENT_SCRIPT, ApiServer, code_chunk, parse_chunked, result_chunk
from support.fake_store import CLOSE, SILENT, frame, standard_reply
from support.health import assert_idle, fd_count
from support.tally import Tally

TALLY = Tally("faults_store")
AREA = "store daemon"
TRIES = 3


def entry(key, value):
    return frame(b"list " + key + b" " + value + b"\n")


END = frame(b"list __end__\n")
# A healthy listing: one entry per prefix.
HEALTHY_LIST = lambda prefix: [entry(prefix + b"1", b"v"), END]

# (name, what the daemon does with a list request, with a set request)
FAULTS = [
    ("never answers", SILENT, SILENT),
    ("closes without a word", CLOSE, CLOSE),
    ("closes mid-header", [entry(b"a1", b"v")[:10], CLOSE], [frame(b"ok\n")[:5], CLOSE]),
    ("closes mid-payload", [b"magicv1 0000020 list a", CLOSE], [b"magicv1 0000010 o", CLOSE]),
    ("sends bad magic", [b"MAGICv1 0000004 abc\n"], [b"xxxxxxxx0000003 ok\n"]),
    ("sends a length that is not a number", [b"magicv1 00x0004 abc\n"], [b"magicv1 0000-03 ok\n"]),
    ("sends a negative length", [b"magicv1 -000004 abc\n"], [b"magicv1 -000001 ok\n"]),
    ("announces more than it sends", [b"magicv1 9999999 abc"], [b"magicv1 0500000 ok"]),
    ("answers out of step", [entry(b"a1", b"v"), END, entry(b"zz", b"stale"), END, END],
     [frame(b"ok\n"), frame(b"ok\n"), frame(b"list stale x\n")]),
]


class StoreFaults(unittest.TestCase):
    def setUp(self):
        self.fault = None  # (list action, set action) or None for a healthy daemon
        self.srv = ApiServer(self, self.respond)
        self.srv.script("echo", ARGV_POSTER)
        self.srv.start()
        self.idle_fds = fd_count(self.srv.proc.proc.pid)

    def respond(self, payload):
        word = payload.split(b" ", 1)[0]
        if self.fault is not None:
            if word == b"list":
                return self.fault[0]
            if word in (b"set", b"remove"):
                return self.fault[1]
        if word == b"list":
            return HEALTHY_LIST(payload[5:].rstrip(b"\n"))
        return standard_reply(payload)

    def assert_healthy_service(self):
        self.fault = None
        head, chunks, ended = self.srv.exchange("GET", "/_api/q")
        self.assertEqual((head, ended), (API_HEAD, True))
        self.assertEqual(b"".join(chunks), b'{"result":[{"q1":"v"\n}\n]}')

    def test_listing_ends_whatever_the_daemon_does(self):
        for name, list_action, set_action in FAULTS:
            with self.subTest(name):
                for _ in range(TRIES):
                    self.fault = (list_action, set_action)
                    head, chunks, ended = self.srv.exchange("GET", "/_api/a,b")
                    self.assertEqual(head, API_HEAD)
                    self.assertTrue(ended, chunks)
                    body = b"".join(chunks)
                    self.assertTrue(body.startswith(b'{"result":[') and body.endswith(b"]}"), body)
                    self.assert_healthy_service()
                TALLY.add(AREA, "listing while the daemon " + name,
                          "chunked reply ended; next request served", TRIES)
        assert_idle(self, self.srv.proc.proc, self.idle_fds)

    def test_fields_reach_the_daemon_and_the_call_completes(self):
        for n, (name, list_action, set_action) in enumerate(FAULTS):
            with self.subTest(name):
                for t in range(TRIES):
                    self.fault = (list_action, set_action)
                    before = len(self.srv.store.payloads())
                    call_id = 1000 + n * TRIES + t
                    key = b"k%d" % call_id
                    head, chunks, ended = self.srv.api(
                        {"method": "echo", "id": call_id, "fields": {key.decode(): "v1", "other": "v2"}})
                    self.assertEqual((head, ended), (API_HEAD, True))
                    self.assertEqual(len(chunks), 1)
                    self.assertTrue(chunks[0].startswith(result_chunk(b"")[:-2]), chunks)
                    sent = self.srv.store.payloads()[before:]
                    # The first request always arrives whole; a daemon that
                    # closed may not get the second, but what it gets is whole.
                    self.assertEqual(sent[0], b"set " + key + b" v1\n")
                    self.assertIn(sent[1:], ([], [b"set other v2\n"]))
                    self.assert_healthy_service()
                TALLY.add(AREA, "script call with fields while the daemon " + name,
                          "set requests sent whole; script result delivered; next request served", TRIES)
        assert_idle(self, self.srv.proc.proc, self.idle_fds)


class StoreAbsent(unittest.TestCase):
    def test_codes_and_service_without_a_daemon(self):
        srv = ApiServer(self, with_store=False)
        srv.script("noop", SILENT_SCRIPT)
        srv.start()
        idle = fd_count(srv.proc.proc.pid)
        for _ in range(TRIES):
            self.assertEqual(srv.exchange("GET", "/_api/a")[1], [code_chunk(-6)])
            self.assertEqual(srv.api({"method": "noop", "fields": {"k": "v"}})[1], [code_chunk(-5)])
        TALLY.add(AREA, "absent (no socket)", "listing -6, call with fields -5; reply ended", 2 * TRIES)
        assert_idle(self, srv.proc.proc, idle)


if __name__ == "__main__":
    unittest.main()
