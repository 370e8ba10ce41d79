"""The data API against a scripted fake store: the GET listing, the POST
fields, the result codes, the id rules and the log line."""

import os
import unittest

from support.api_http import (API_HEAD, SILENT_SCRIPT, ApiServer, code_chunk, connect,
                              nothing_pending, parse_chunked, read_all, read_some, send_on)
from support.fake_store import by_word, frame

# What the fake store holds for a list request, by prefix.
LISTINGS = {
    b"a": [(b"a1", b"x"), (b"a2", b"two words")],
    b"b": [],
    b"c": [(b"c", b'{"raw":1}')],
}


def list_reply(payload):
    prefix = payload[len(b"list "):].rstrip(b"\n")
    return [frame(b"list " + k + b" " + v + b"\n") for k, v in LISTINGS.get(prefix, [])] + \
        [frame(b"list __end__\n")]


class ListTest(unittest.TestCase):
    def setUp(self):
        self.srv = ApiServer(self, by_word({b"list": list_reply})).start()

    def test_chunks_for_prefix_lists(self):
        a = [b"{", b'"a1":"x"\n', b',"a2":"two words"\n', b"}\n"]
        cases = [
            ("a,b", a + [b",{", b"}\n"], [b"a", b"b"]),
            (",a,,b,", a + [b",{", b"}\n"], [b"a", b"b"]),
            ("b,c", [b"{", b"}\n", b",{", b'"c":"{"raw":1}"\n', b"}\n"], [b"b", b"c"]),
            (",,,", [], []),
        ]
        for prefixes, body, listed in cases:
            with self.subTest(prefixes):
                before = len(self.srv.store.payloads())
                head, chunks, ended = self.srv.exchange("GET", "/_api/" + prefixes)
                self.assertEqual(head, API_HEAD)
                self.assertTrue(ended)
                self.assertEqual(chunks, [b'{"result":['] + body + [b"]}"])
                self.assertEqual(self.srv.store.payloads()[before:], [b"list " + p + b"\n" for p in listed])

    def test_uri_length_limits(self):
        longest = "/_api/" + "k" * (4096 - 6)
        cases = [("/_api/", -4), (longest, None), (longest + "k", -4)]
        for uri, code in cases:
            with self.subTest(len(uri)):
                head, chunks, ended = self.srv.exchange("GET", uri)
                self.assertEqual(head, API_HEAD)
                self.assertTrue(ended)
                if code is None:
                    self.assertEqual(chunks, [b'{"result":[', b"{", b"}\n", b"]}"])
                else:
                    self.assertEqual(chunks, [code_chunk(code)])

    def test_method_is_matched_without_case_and_others_get_minus_2(self):
        self.assertEqual(self.srv.exchange("get", "/_api/b")[1], [b'{"result":[', b"{", b"}\n", b"]}"])
        self.assertEqual(self.srv.exchange("PUT", "/_api/b")[1], [code_chunk(-2)])
        self.assertEqual(self.srv.exchange("post", "/_api/", b"{}")[1], [code_chunk(-3)])


class StoreAbsentTest(unittest.TestCase):
    def test_codes_without_a_store(self):
        srv = ApiServer(self, with_store=False)
        srv.script("noop", SILENT_SCRIPT)
        srv.start()
        self.assertEqual(srv.exchange("GET", "/_api/a")[1], [code_chunk(-6)])
        self.assertEqual(srv.api({"method": "noop", "fields": {"k": "v"}})[1], [code_chunk(-5)])
        # Nothing to store: the store is not needed.
        self.assertEqual(srv.api({"method": "noop"}, open_after=True)[1], [code_chunk(0)])


class PostTest(unittest.TestCase):
    def setUp(self):
        self.srv = ApiServer(self)
        self.srv.script("noop", SILENT_SCRIPT)
        self.srv.script("plain", "exit 0\n", mode=0o644)
        # Exists and is executable, but outside the scripts directory.
        outside = os.path.join(self.srv.box.dir, "outside")
        with open(outside, "w") as f:
            f.write(SILENT_SCRIPT)
        os.chmod(outside, 0o755)
        os.mkdir(os.path.join(self.srv.box.scripts, "subdir"))
        self.srv.start()

    def code_of(self, body, open_after=False):
        head, chunks, ended = self.srv.api(body, open_after)
        self.assertEqual(head, API_HEAD)
        self.assertTrue(ended)
        self.assertEqual(len(chunks), 1, chunks)
        return chunks[0]

    def test_result_codes(self):
        f = {"k": "v"}
        cases = [
            ("not json", b"method=noop", -1),
            ("incomplete", b'{"method":"noop"', -1),
            ("top-level array", b'["method","noop"]', -3),
            ("no method", {"id": 1}, -3),
            ("method not a string", {"method": 7, "fields": f}, -3),
            ("method too long", {"method": "m" * 4096}, -3),
            ("missing script", {"method": "nothere", "fields": f}, -2),
            ("not executable", {"method": "plain", "fields": f}, -2),
            ("a directory", {"method": "subdir", "fields": f}, -2),
            ("empty method", {"method": "", "fields": f}, -2),
            ("dot", {"method": ".", "fields": f}, -2),
            ("dot dot", {"method": "..", "fields": f}, -2),
            ("a path", {"method": "../outside", "fields": f}, -2),
            ("command too long", {"method": "noop", "id": 1, "params": ["p" * 4080]}, -6),
        ]
        for name, body, code in cases:
            with self.subTest(name):
                self.assertEqual(self.code_of(body), code_chunk(code))
        # Only the too-long call got as far as its fields (it had none).
        self.assertEqual(self.srv.store.payloads(), [])

    def test_fields_become_set_and_remove_frames(self):
        body = (b'{"method":"noop","fields":{"k":"v","":"skipped","gone":"","n":12.5,"t":true,'
                b'"o":{"x":[1,2],"y":"z"},"a b":"skipped","q":"a\\"b c","last":"1"}}')
        self.assertEqual(self.code_of(body, open_after=True), code_chunk(0))
        self.assertEqual(self.srv.store.payloads(), [
            b"set k v\n", b"remove gone\n", b"set n 12.5\n", b"set t true\n",
            b'set o {"x":[1,2],"y":"z"}\n', b'set q a\\"b c\n', b"set last 1\n",
        ])

    def test_without_a_usable_id_the_fields_are_stored_and_the_connection_stays(self):
        for name, call_id in [("string id", '"5"'), ("nine characters", "123456789"), ("no id", None)]:
            with self.subTest(name):
                before = len(self.srv.store.payloads())
                body = '{"method":"noop","fields":{"k":"%s"}%s}' % (name, "" if call_id is None else
                                                                    ',"id":' + call_id)
                sock = connect(self.srv.port)
                send_on(sock, "POST", "/_api/", body)
                reply = read_some(sock, b"0\r\n\r\n")
                self.assertEqual(parse_chunked(reply)[1:], ([code_chunk(0)], True))
                self.assertEqual(self.srv.store.payloads()[before:], [b"set k " + name.encode() + b"\n"])
                # The same connection takes the next request.
                send_on(sock, "GET", "/_api/k", close=True)
                self.assertEqual(parse_chunked(read_all(sock))[1][0], b'{"result":[')

    def test_a_started_call_sends_nothing_after_the_head(self):
        sock = self.srv.send("POST", "/_api/", {"method": "noop", "id": 3})
        self.assertEqual(read_some(sock, b"\r\n\r\n"), API_HEAD)
        self.srv.fetch(3)  # a later request has been served meanwhile
        self.assertTrue(nothing_pending(sock))
        sock.close()


class LogLineTest(unittest.TestCase):
    def test_call_line_at_level_0_only(self):
        for level, expect in [("0", True), ("1", False)]:
            with self.subTest(level=level):
                srv = ApiServer(self, log_level=level)
                srv.script("noop", SILENT_SCRIPT)
                srv.start()
                sock = srv.send("POST", "/_api/", {"method": "noop", "id": 12.5, "params": ["a b", 7]})
                read_some(sock, b"\r\n\r\n")
                sock.close()
                srv.fetch(1)  # the call line, if any, is out before this reply
                srv.proc.stop()
                out = srv.proc.rest_of_output()
                line = "set id=12 flen=4 dst=noop 12.5 a b 7  > /dev/null 2>&1 &\n"
                self.assertEqual(line in out, expect, out)


if __name__ == "__main__":
    unittest.main()
