"""rook against a scripted fake daemon: the exact bytes it sends, what it
prints from each reply form, and its exit statuses when replies go wrong."""

import os
import signal
import subprocess
import sys
import unittest

from support.fake_store import CLOSE, SILENT, FakeStore, Pieces, by_word, frame
from support.proc import ROOK, run_rook, temp_dir

HELP = (b"help:\nrook set key=value\nrook get key\nrook list key\nrook listall\n"
        b"rook version\nrook remove key\nrook export key\nrook import filename.txt\n"
        b"rook update key\nrook inc key=value\nrook desc key=value\n")

LIST_AB = [frame("list a 1\n"), frame("list b 2 x\n"), frame("list __end__\n")]


class FakeDaemonCase(unittest.TestCase):
    def start_fake(self, responder=None):
        self.sock = os.path.join(temp_dir(self), "s")
        store = FakeStore(responder) if responder else FakeStore()
        store.start(self.sock)
        self.addCleanup(store.stop)
        return store

    def rook(self, *args, **kw):
        return run_rook(args, self.sock, **kw)


class RequestBytes(FakeDaemonCase):
    def test_each_command_sends_its_frame(self):
        cases = [
            (["set", "a=b=c"], b"magicv1 0000010 set a b=c\n"),
            (["set", "k=v", "w"], b"magicv1 0000010 set k v w\n"),
            (["set", "path=/a b"], b"magicv1 0000014 set path /a b\n"),
            (["set", "k="], b"magicv1 0000007 set k \n"),
            (["get", "k"], b"magicv1 0000006 get k\n"),
            (["remove", "k"], b"magicv1 0000009 remove k\n"),
            (["list", "p"], b"magicv1 0000007 list p\n"),
            (["export", "p"], b"magicv1 0000007 list p\n"),
            (["listall"], b"magicv1 0000013 list __all__\n"),
            (["version"], b"magicv1 0000017 version __curr__\n"),
            (["inc", "n=1", "2"], b"magicv1 0000010 inc n 1 2\n"),
            (["desc", "n=5"], b"magicv1 0000009 desc n 5\n"),
            (["get", "k", "ignored"], b"magicv1 0000006 get k\n"),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                store = self.start_fake()
                r = self.rook(*args)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertTrue(store.wait_for_frames(1))
                self.assertEqual(store.frames, [expected])

    def test_help_and_unknown_words_send_nothing(self):
        cases = [[], ["set", "k"], ["inc", "k"], ["desc", "k"], ["list"], ["export"], ["get"],
                 ["remove"], ["import"], ["save"], ["set"]]
        store = self.start_fake()
        for args in cases:
            with self.subTest(args=args):
                r = self.rook(*args)
                self.assertEqual((r.returncode, r.stdout, r.stderr), (0, HELP, b""))
        for args in (["update", "k"], ["LIST", "k"], ["listall2"]):
            with self.subTest(args=args):
                r = self.rook(*args)
                self.assertEqual((r.returncode, r.stdout, r.stderr), (0, b"", b""))
        # Every run connects first, even for the help text.
        self.assertTrue(store.wait_for_connections(len(cases) + 3))
        self.assertEqual(store.frames, [])

    def test_daemon_down(self):
        self.sock = os.path.join(temp_dir(self), "nobody")
        for args in ([], ["get", "k"]):
            r = self.rook(*args)
            self.assertEqual(r.returncode, 1)
            self.assertEqual(r.stdout, b"")
            self.assertEqual(r.stderr, b"connect to larkd error: No such file or directory\n")


class Printing(FakeDaemonCase):
    def test_value_replies(self):
        cases = [
            (b"v k hello\n", b"hello\n"),
            (b"v k a b", b"a b\n"),
            (b"x k none\n", b"\n"),
            (b"x k none", b"none\n"),
            (b"x k \n", b"\n"),
            (b"xk\n", b"\n"),
            (b"x k\n", b"\n"),
            (b"", b"\n"),
        ]
        for payload, expected in cases:
            for word in ("get", "inc", "desc"):
                with self.subTest(payload=payload, word=word):
                    self.start_fake(lambda p, payload=payload: frame(payload))
                    arg = "k" if word == "get" else "k=1"
                    r = self.rook(word, arg)
                    self.assertEqual((r.returncode, r.stdout), (0, expected))

    def test_list_and_export(self):
        self.start_fake(by_word({b"list": LIST_AB}))
        r = self.rook("list", "p")
        self.assertEqual((r.returncode, r.stdout), (0, b"a=1\nb=2 x\n"))
        r = self.rook("export", "p")
        self.assertEqual((r.returncode, r.stdout), (0, b'export a="1";export b="2 x";'))
        r = self.rook("listall")
        self.assertEqual((r.returncode, r.stdout), (0, b"a=1\nb=2 x\n"))

    def test_version_printed_unchanged(self):
        for payload, expected in ((b"v 2.1\n", b"v 2.1\n"), (b"v 2.1", b"v 2.1\n")):
            self.start_fake(lambda p, payload=payload: frame(payload))
            self.assertEqual(self.rook("version").stdout, expected)

    def test_end_marker_anywhere_ends_the_stream(self):
        self.start_fake(by_word({b"list": [frame("list a 1\n"), frame("list b x__end__y\n"),
                                           frame("list c 3\n"), frame("list __end__\n")]}))
        self.assertEqual(self.rook("list", "p").stdout, b"a=1\n")
        self.assertEqual(self.rook("export", "p").stdout, b'export a="1";')

    def test_broken_stream_keeps_what_was_printed(self):
        self.start_fake(by_word({b"list": [frame("list a 1\n"), b"magicv2 0000003 xx\n"]}))
        r = self.rook("list", "p")
        self.assertEqual((r.returncode, r.stdout), (0, b"a=1\n"))
        self.start_fake(by_word({b"list": [frame("list a 1\n"), CLOSE]}))
        r = self.rook("export", "p")
        self.assertEqual((r.returncode, r.stdout), (0, b'export a="1";'))

    def test_export_quotes_what_the_shell_would_expand(self):
        values = ['$(touch pwned)', '`touch pwned`', 'say "hi"', 'back\\slash', '$HOME', 'a\nb', "it's"]
        entries = [frame("list v%d %s\n" % (i, v)) for i, v in enumerate(values)]
        self.start_fake(by_word({b"list": entries + [frame("list __end__\n")]}))
        r = self.rook("export", "v")
        self.assertEqual(r.stdout.split(b";")[0], b'export v0="\\$(touch pwned)"')
        work = temp_dir(self)
        script = 'eval "$(%s export v)"; for n in %s; do eval "printf \'%%s|\' \\"\\$v$n\\""; done' % (
            ROOK, " ".join(str(i) for i in range(len(values))))
        out = subprocess.run(["sh", "-c", script], cwd=work, env={"LARKD_SOCKET": self.sock},
                             capture_output=True, timeout=20)
        self.assertEqual(out.stdout.decode(), "".join(v + "|" for v in values))
        self.assertFalse(os.path.exists(os.path.join(work, "pwned")))

    def test_export_skips_keys_that_are_not_shell_names(self):
        keys = ["ok_1", "1st", "a-b", "x;touch", "_u", "Z9"]
        entries = [frame("list %s v\n" % k) for k in keys]
        self.start_fake(by_word({b"list": entries + [frame("list __end__\n")]}))
        r = self.rook("export", "p")
        self.assertEqual(r.stdout, b'export ok_1="v";export _u="v";export Z9="v";')
        for k in ("1st", "a-b", "x;touch"):
            self.assertIn(k.encode(), r.stderr)
        self.assertEqual(r.returncode, 0)


class BrokenReplies(FakeDaemonCase):
    def test_unreadable_value_reply_fails_get_and_desc_only(self):
        cases = [
            ("bad magic", b"magicv2 0000005 v k 1"),
            ("letter in length", b"magicv1 00x0005 v k 1"),
            ("negative length", b"magicv1 -000001 v k 1"),
            ("empty length", b"magicv1          v k 1"),
            ("closed", CLOSE),
            ("closed mid-payload", [b"magicv1 0000009 v k", CLOSE]),
        ]
        for name, reply in cases:
            for args, status in ((["get", "k"], 1), (["desc", "k=1"], 1), (["inc", "k=1"], 0)):
                with self.subTest(reply=name, args=args):
                    self.start_fake(lambda p, reply=reply: reply)
                    r = self.rook(*args)
                    self.assertEqual((r.returncode, r.stdout), (status, b""))

    def test_silent_daemon(self):
        # Each costs the 2-second receive time-out.
        self.start_fake(lambda p: SILENT)
        self.assertEqual(self.rook("desc", "n=1").returncode, 1)
        self.assertEqual(self.rook("inc", "n=1").returncode, 0)

    def test_reply_in_pieces_and_larger_than_socket_buffer(self):
        big = b"x" * (3 << 20)
        reply = frame(b"v k " + big + b"\n")
        pieces = [reply[:5], reply[5:16], reply[16:1000], reply[1000:]]
        self.start_fake(lambda p: Pieces(pieces, gap=0.1))
        r = self.rook("get", "k")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, big + b"\n")


class Import(FakeDaemonCase):
    def write(self, data):
        path = os.path.join(temp_dir(self), "in.txt")
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_lines_are_trimmed_and_filtered(self):
        store = self.start_fake()
        path = self.write(b"# c\n\n  x=1  \r\ny\nk==v\n\tt=2\n \n\n lead=a b \t\nlast=no newline")
        r = self.rook("import", path)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, b"", b""))
        self.assertEqual(store.payloads(), [b"set x 1\n", b"set k =v\n", b"set \tt 2\n",
                                            b"set lead a b \t\n", b"set last no newline\n"])

    def test_missing_file(self):
        self.start_fake()
        r = self.rook("import", "nofile")
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, b"", b"file not found:nofile\n"))

    def test_line_too_large_for_a_frame_is_skipped(self):
        store = self.start_fake()
        path = self.write(b"a=1\nbig=" + b"v" * 9999999 + b"\nb=2\n")
        r = self.rook("import", path)
        self.assertEqual(r.returncode, 0)
        self.assertIn(b"line 2", r.stderr)
        self.assertEqual(store.payloads(), [b"set a 1\n", b"set b 2\n"])

    def test_daemon_closing_mid_import_ends_it_by_sigpipe(self):
        store = self.start_fake(lambda p: CLOSE)
        r = self.rook("import", self.write(b"a=1\nb=2\n"))
        self.assertEqual(r.returncode, -signal.SIGPIPE)
        self.assertEqual(store.payloads(), [b"set a 1\n"])


class Save(FakeDaemonCase):
    def test_matching_entries_in_environment_order(self):
        store = self.start_fake()
        env = {"PB": "x y", "Q": "2", "PA": "1", "QP": "z", "P": ""}
        r = self.rook("save", "P", env=env)
        self.assertEqual(r.returncode, 0)
        self.assertTrue(store.wait_for_frames(3))
        self.assertEqual(store.payloads(), [b"set PB x y\n", b"set PA 1\n", b"set P \n"])

    def test_prefix_is_matched_against_the_whole_entry(self):
        store = self.start_fake()
        r = self.rook("save", "A=x", env={"A": "xy", "AB": "x", "B": "A=x"})
        self.assertEqual(r.returncode, 0)
        self.assertTrue(store.wait_for_frames(1))
        self.assertEqual(store.payloads(), [b"set A xy\n"])

    def test_entries_without_equals_are_skipped(self):
        store = self.start_fake()
        # execve with a hand-made environment: entries without "=" cannot be
        # passed through os.environ.
        code = ("import ctypes, sys\n"
                "libc = ctypes.CDLL(None)\n"
                "def arr(items):\n"
                "    a = (ctypes.c_char_p * (len(items) + 1))(*items)\n"
                "    a[len(items)] = None\n"
                "    return a\n"
                "argv = [sys.argv[1].encode(), b'save', b'K']\n"
                "envp = [b'LARKD_SOCKET=' + sys.argv[2].encode(), b'KEY', b'K=v=w', b'KX=1']\n"
                "libc.execve(argv[0], arr(argv), arr(envp))\n")
        r = subprocess.run([sys.executable, "-c", code, ROOK, self.sock], capture_output=True, timeout=20)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(store.wait_for_frames(2))
        self.assertEqual(store.payloads(), [b"set K v=w\n", b"set KX 1\n"])


if __name__ == "__main__":
    unittest.main()
