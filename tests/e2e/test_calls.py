"""Script calls end to end: real scripts in a temporary scripts directory,
the browser's waiting reply, /_resp/ and /_result/."""

import json
import os
import time
import unittest

from support.api_http import (API_HEAD, ARGV_POSTER, CALL_HEAD, SILENT_SCRIPT, ApiServer,
                              code_chunk, nothing_pending, parse_chunked, read_all, read_some,
                              result_chunk)

WAIT_S = 20.0

# Records its argv and where its standard streams point, then posts its argv.
RECORDER = """#!{python}
import http.client, json, os, sys
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "ran-" + sys.argv[1]), "w") as f:
    json.dump({{"argv": sys.argv, "fds": sorted(int(n) for n in os.listdir("/proc/self/fd")),
               "stdin": os.readlink("/proc/self/fd/0"), "stdout": os.readlink("/proc/self/fd/1")}}, f)
c = http.client.HTTPConnection("127.0.0.1", {port}, timeout=20)
c.request("POST", "/_resp/" + sys.argv[1], json.dumps(sys.argv))
c.getresponse().read()
"""

# No "#!" line: /bin/sh runs it.
SHELL_POSTER = """printf '%s|' "$0" "$@" > "$(dirname "$0")/../ran-sh"
exec {python} -c 'import http.client,sys; c=http.client.HTTPConnection("127.0.0.1",{port},timeout=20); \
c.request("POST","/_resp/"+sys.argv[1],"from sh"); c.getresponse().read()' "$1"
"""


def wait_for_file(path):
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        if os.path.exists(path):
            return True
        time.sleep(0.02)
    return False


class CallTest(unittest.TestCase):
    def setUp(self):
        self.srv = ApiServer(self)
        self.srv.script("echo", ARGV_POSTER)
        self.srv.script("rec", RECORDER)
        self.srv.script("odd; touch PWN $(x)", RECORDER)
        self.srv.script("shell", SHELL_POSTER)
        self.srv.script("noop", SILENT_SCRIPT)
        self.srv.start()

    def call(self, body):
        """Starts a call; returns the waiting socket once the head is in."""
        sock = self.srv.send("POST", "/_api/", body)
        self.assertEqual(read_some(sock, b"\r\n\r\n"), API_HEAD)
        return sock

    def answer(self, sock):
        """The rest of the waiting reply: its one chunk, after which it closed."""
        head, chunks, ended = parse_chunked(API_HEAD + read_all(sock))
        self.assertTrue(ended)
        self.assertEqual(len(chunks), 1, chunks)
        return chunks[0]

    def test_round_trip_with_the_scripts_argv(self):
        sock = self.call({"method": "echo", "id": 42, "params": ["a b", 7, ["n", {"k": "v"}], True]})
        chunk = self.answer(sock)
        self.assertTrue(chunk.startswith(b'{"result": "') and chunk.endswith(b'"}'), chunk)
        # (An interpreted script sees its path as argv[0].)
        self.assertEqual(json.loads(chunk[12:-2]), [self.srv.box.scripts + "/echo", "42", "a b", "7", "n", "k", "v"])
        # The result stays fetchable.
        head, chunks, ended = parse_chunked(self.srv.fetch(42))
        self.assertEqual((head, chunks, ended), (CALL_HEAD, [chunk], True))

    def test_shell_text_reaches_the_script_as_plain_arguments(self):
        box = self.srv.box.dir
        params = ["; touch %s/p1" % box, "$(touch %s/p2)" % box, "`touch %s/p3`" % box,
                  "a\\\"b | tee %s/p4" % box, "> %s/p5 &" % box]
        sock = self.call({"method": "rec", "id": 5, "params": params})
        self.answer(sock)
        with open(os.path.join(box, "ran-5")) as f:
            ran = json.load(f)
        # Raw token texts, one argument each; escapes stay as written.
        self.assertEqual(ran["argv"][1:], ["5"] + params[:3] + ["a\\\\\\\"b | tee %s/p4" % box,
                                                                   params[4]])
        self.assertEqual(ran["fds"][:3], [0, 1, 2])
        self.assertEqual((ran["stdin"], ran["stdout"]), ("/dev/null", "/dev/null"))
        for n in range(1, 6):
            self.assertFalse(os.path.exists(os.path.join(box, "p%d" % n)))

    def test_a_method_with_shell_text_names_just_that_file(self):
        sock = self.call({"method": "odd; touch PWN $(x)", "id": 6})
        self.answer(sock)
        with open(os.path.join(self.srv.box.dir, "ran-6")) as f:
            self.assertEqual(json.load(f)["argv"], [self.srv.box.scripts + "/odd; touch PWN $(x)", "6"])
        self.assertFalse(os.path.exists(os.path.join(self.srv.box.scripts, "PWN")))

    def test_a_script_without_interpreter_line_runs_under_sh(self):
        sock = self.call({"method": "shell", "id": 8, "params": ["x y", "$HOME"]})
        self.assertEqual(self.answer(sock), result_chunk(b"from sh"))
        with open(os.path.join(self.srv.box.dir, "ran-sh")) as f:
            self.assertEqual(f.read(), os.path.join(self.srv.box.scripts, "shell") + "|8|x y|$HOME|")

    def test_scripts_are_reaped(self):
        socks = [self.call({"method": "noop", "id": 100 + i}) for i in range(3)]
        deadline = time.monotonic() + WAIT_S
        pid = self.srv.proc.proc.pid
        while time.monotonic() < deadline:
            zombies = [d for d in os.listdir("/proc") if d.isdigit() and self._zombie_child(d, pid)]
            if not zombies:
                break
            time.sleep(0.1)
        self.assertEqual(zombies, [])
        for s in socks:
            s.close()

    @staticmethod
    def _zombie_child(d, parent):
        try:
            with open("/proc/%s/stat" % d) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            return False
        return fields[0] == "Z" and int(fields[1]) == parent

    def test_resp_and_result_uri_rules(self):
        sock = self.call({"method": "noop", "id": 12345678})
        self.assertEqual(self.srv.fetch(12345678), CALL_HEAD + b"2\r\n-1\r\n0\r\n\r\n")  # no result yet
        self.assertEqual(self.srv.post_result("123456789", "x"), -5)
        self.assertEqual(self.srv.post_result("99", "x"), -1)
        self.assertEqual(self.srv.post_result("", "x"), -1)  # id 0; no such call
        self.assertTrue(nothing_pending(sock))
        self.assertEqual(self.srv.post_result("12345678", "ok"), 0)
        self.assertEqual(self.answer(sock), result_chunk(b"ok"))
        self.assertEqual(self.srv.fetch("123456789"), b"")  # closed without a reply

    def test_results_of_4095_and_4096_characters(self):
        for n in (4095, 4096):
            with self.subTest(n):
                sock = self.call({"method": "noop", "id": n})
                text = (b"%d" % n) * (n // 4)
                text += b"z" * (n - len(text))
                self.assertEqual(self.srv.post_result(n, text), 0)
                self.assertEqual(self.answer(sock), result_chunk(text))
                self.assertEqual(parse_chunked(self.srv.fetch(n))[1], [result_chunk(text)])

    def test_a_second_post_replaces_the_text_only(self):
        sock = self.call({"method": "noop", "id": 31})
        self.assertEqual(self.srv.post_result(31, "first"), 0)
        self.assertEqual(self.answer(sock), result_chunk(b"first"))
        self.assertEqual(self.srv.post_result(31, "second, longer" * 400), 0)
        self.assertEqual(parse_chunked(self.srv.fetch(31))[1], [result_chunk(b"second, longer" * 400)])

    def test_a_waiter_that_closed_before_its_result(self):
        sock = self.call({"method": "noop", "id": 32})
        sock.close()
        self.srv.fetch(0)  # the close has been handled once a later request is
        self.assertEqual(self.srv.post_result(32, "late"), 0)
        self.assertEqual(parse_chunked(self.srv.fetch(32))[1], [result_chunk(b"late")])

    def test_calls_sharing_an_id_each_keep_their_browser(self):
        # The earlier browser leaves; the later one, whose call now owns the
        # id, still gets the result.
        first = self.call({"method": "noop", "id": 0})
        second = self.call({"method": "noop", "id": 0})
        third = self.call({"method": "noop", "id": 33})
        fourth = self.call({"method": "noop", "id": 33})
        first.close()
        third.close()
        self.srv.fetch(0)
        self.assertEqual(self.srv.post_result(33, "for the fourth"), 0)
        self.assertEqual(self.answer(fourth), result_chunk(b"for the fourth"))
        # Id 0 is stored but, as always, delivered to nobody.
        self.assertEqual(self.srv.post_result(0, "zero"), 0)
        self.assertTrue(nothing_pending(second))
        second.close()



if __name__ == "__main__":
    unittest.main()
