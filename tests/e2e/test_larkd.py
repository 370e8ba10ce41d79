"""larkd over raw sockets: its reply forms, ordering, framing across writes,
bad clients, many clients, the data file and the socket file rules."""

import os
import signal
import socket
import subprocess
import time
import unittest

from support.fake_store import frame, parse_frames
from support.proc import LARKD, Larkd, run_rook, socket_ready, temp_dir

WAIT_S = 20.0


class Client:
    def __init__(self, test, path):
        self.s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.s.settimeout(WAIT_S)
        self.s.connect(path)
        test.addCleanup(self.s.close)
        self.buf = b""

    def send(self, data):
        self.s.sendall(data)

    def frames(self, n):
        """The payloads of the next n reply frames."""
        out = []
        while len(out) < n:
            got, self.buf = parse_frames(self.buf)
            out += got
            if len(out) >= n:
                break
            chunk = self.s.recv(1 << 20)
            if not chunk:
                raise AssertionError("larkd closed the connection")
            self.buf += chunk
        extra = out[n:]
        self.buf = b"".join(extra) + self.buf
        return [f[16:] for f in out[:n]]

    def ask(self, payload, replies=1):
        self.send(frame(payload))
        return self.frames(replies)

    def list(self, prefix):
        """The entries of a list stream, up to its end frame."""
        self.send(frame("list %s\n" % prefix))
        entries = []
        while True:
            payload = self.frames(1)[0]
            if b"__end__" in payload:
                return entries
            entries.append(payload)

    def closed(self):
        try:
            return self.s.recv(1) == b""
        except ConnectionResetError:
            return True


class ReplyForms(unittest.TestCase):
    def setUp(self):
        self.daemon = Larkd(self).start()
        self.c = Client(self, self.daemon.sock)

    def test_requests_and_their_replies(self):
        c = self.c
        self.assertEqual(len(c.ask("set k hello world\n")), 1)
        self.assertEqual(c.ask("get k\n"), [b"val k hello world\n"])
        self.assertEqual(c.ask("get nokey\n"), [b"val nokey none\n"])
        self.assertEqual(len(c.ask("remove k\n")), 1)
        self.assertEqual(c.ask("get k\n"), [b"val k none\n"])
        self.assertEqual(len(c.ask("remove never-set\n")), 1)
        version = c.ask("version __curr__\n")[0]
        self.assertTrue(version.endswith(b"\n"))
        # The clients split value replies after the second space.
        self.assertEqual(version.count(b"__end__"), 0)
        self.assertEqual(len(c.ask("bogus x\n")), 1)

    def test_list_by_prefix_and_all(self):
        c = self.c
        for k, v in (("ab", "1"), ("abc", "2 3"), ("b", "4"), ("a", "5")):
            c.ask("set %s %s\n" % (k, v))
        entries = c.ask("list ab\n", 3)
        self.assertEqual(entries[:2], [b"list ab 1\n", b"list abc 2 3\n"])
        self.assertIn(b"__end__", entries[2])
        for e in entries[:2]:
            # four-character leading field: the key starts at the sixth byte
            self.assertEqual(e[4:5], b" ")
        self.assertEqual(c.ask("list zz\n", 1)[0].count(b"__end__"), 1)
        everything = c.ask("list __all__\n", 5)
        self.assertEqual([e.split(b" ")[1] for e in everything[:4]], [b"a", b"ab", b"abc", b"b"])
        self.assertIn(b"__end__", everything[4])

    def test_inc_and_desc(self):
        c = self.c
        cases = [
            ("inc n 5\n", b"val n 5\n"),
            ("inc n -2\n", b"val n 3\n"),
            ("desc n 10\n", b"val n -7\n"),
            ("inc n x\n", b"err n none\n"),
            ("inc n \n", b"err n none\n"),
            ("inc n 1.5\n", b"err n none\n"),
            ("inc n 99999999999999999999\n", b"err n none\n"),
            ("get n\n", b"val n -7\n"),
            ("set big 9223372036854775807\n", None),
            ("inc big 1\n", b"err big none\n"),
            ("set word hello\n", None),
            ("inc word 1\n", b"err word none\n"),
            ("get word\n", b"val word hello\n"),
        ]
        for request, reply in cases:
            with self.subTest(request=request):
                got = c.ask(request)
                if reply is not None:
                    self.assertEqual(got, [reply])

    def test_pipelined_requests_and_frames_split_across_writes(self):
        c = self.c
        batch = b"".join(frame("set k%d v%d\n" % (i, i)) + frame("get k%d\n" % i) for i in range(200))
        c.send(batch)
        replies = c.frames(400)
        self.assertEqual(replies[1::2], [b"val k%d v%d\n" % (i, i) for i in range(200)])
        # One byte at a time: the daemon must reassemble the frame.
        for b in frame("get k7\n"):
            c.send(bytes([b]))
        self.assertEqual(c.frames(1), [b"val k7 v7\n"])

    def test_large_value(self):
        value = b"v" * (9999999 - len(b"set big \n"))
        self.c.send(frame(b"set big " + value + b"\n"))
        self.c.frames(1)
        self.assertEqual(self.c.ask("get big\n"), [b"val big " + value + b"\n"])

    def test_bad_frames_close_only_that_client(self):
        for bad in (b"magicv2 0000005 get k", b"magicv1 00x0005 get k", b"magicv1 -000001 x"):
            with self.subTest(bad=bad):
                c = Client(self, self.daemon.sock)
                c.send(bad)
                self.assertTrue(c.closed())
        self.assertEqual(self.c.ask("get k\n"), [b"val k none\n"])

    def test_requests_of_a_client_that_never_reads_are_all_carried_out(self):
        c = Client(self, self.daemon.sock)
        c.send(b"".join(frame("set q%d %d\n" % (i, i)) for i in range(50)))
        c.s.close()
        deadline = time.monotonic() + WAIT_S
        while len(self.c.list("q")) < 50 and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertEqual(len(self.c.list("q")), 50)

    def test_many_clients_at_once(self):
        clients = [Client(self, self.daemon.sock) for _ in range(100)]
        for i, c in enumerate(clients):
            c.send(frame("set c%d %d\n" % (i, i)))
        for i, c in enumerate(clients):
            c.frames(1)
            self.assertEqual(c.ask("get c%d\n" % i), [b"val c%d %d\n" % (i, i)])


class DataFile(unittest.TestCase):
    def test_data_survives_restart_and_sigkill_after_acknowledgement(self):
        d = temp_dir(self)
        data = os.path.join(d, "data")
        daemon = Larkd(self, data_file=data).start()
        c = Client(self, daemon.sock)
        odd = b"line\nbreak and  spaces \x01\xff"
        c.ask(b"set odd " + odd + b"\n")
        c.ask(b"set plain 1\n")
        c.ask(b"set gone 1\n")
        c.ask(b"remove gone\n")
        self.assertEqual(daemon.stop(), 0)
        daemon = Larkd(self, data_file=data).start()
        c = Client(self, daemon.sock)
        self.assertEqual(c.ask("get odd\n"), [b"val odd " + odd + b"\n"])
        self.assertEqual(c.ask("get gone\n"), [b"val gone none\n"])
        # Acknowledged means on disk: not even SIGKILL loses it.
        c.ask(b"inc plain 41\n")
        daemon.stop(signal.SIGKILL)
        daemon = Larkd(self, data_file=data).start()
        self.assertEqual(Client(self, daemon.sock).ask("get plain\n"), [b"val plain 42\n"])
        self.assertFalse(os.path.exists(data + ".tmp"))

    def test_damaged_data_file_is_refused(self):
        d = temp_dir(self)
        data = os.path.join(d, "data")
        for content in (b"not a data file\n", b"larkd-data 1\n5 5\nabc"):
            with open(data, "wb") as f:
                f.write(content)
            r = subprocess.run([LARKD, "-s", os.path.join(d, "s"), "-f", data], capture_output=True, timeout=WAIT_S)
            self.assertEqual(r.returncode, 1)
            self.assertIn(b"damaged", r.stderr)


class SocketFile(unittest.TestCase):
    def test_stale_socket_is_replaced_and_live_one_refused(self):
        d = temp_dir(self)
        path = os.path.join(d, "s")
        stale = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        stale.bind(path)
        stale.close()
        daemon = Larkd(self, sock=path).start()
        r = subprocess.run([LARKD, "-s", path], capture_output=True, timeout=WAIT_S)
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"in use", r.stderr)
        self.assertTrue(socket_ready(path))
        self.assertEqual(daemon.stop(), 0)
        self.assertFalse(os.path.exists(path))

    def test_other_file_at_the_path_is_left_alone(self):
        d = temp_dir(self)
        path = os.path.join(d, "s")
        with open(path, "w") as f:
            f.write("keep me")
        r = subprocess.run([LARKD, "-s", path], capture_output=True, timeout=WAIT_S)
        self.assertEqual(r.returncode, 1)
        with open(path) as f:
            self.assertEqual(f.read(), "keep me")

    def test_environment_and_daemon_mode(self):
        d = temp_dir(self)
        path = os.path.join(d, "s")
        r = subprocess.run([LARKD, "-d"], env={"LARKD_SOCKET": path}, capture_output=True, timeout=WAIT_S)
        self.assertEqual(r.returncode, 0)
        self.addCleanup(self.stop_daemon_with_env, path)
        # The launcher returns only once the socket accepts connections.
        self.assertTrue(socket_ready(path))
        self.assertEqual(run_rook(["set", "k=v"], path).returncode, 0)
        self.assertEqual(run_rook(["get", "k"], path).stdout, b"v\n")
        self.stop_daemon_with_env(path)
        self.assertFalse(os.path.exists(path))

    @staticmethod
    def stop_daemon_with_env(path):
        """SIGTERM to the larkd whose LARKD_SOCKET is path; waits for it to go."""
        needle = ("LARKD_SOCKET=" + path).encode()
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if needle not in f.read().split(b"\0"):
                        continue
                os.kill(int(pid), signal.SIGTERM)
            except OSError:
                continue
        deadline = time.monotonic() + WAIT_S
        while os.path.exists(path) and time.monotonic() < deadline:
            time.sleep(0.01)


if __name__ == "__main__":
    unittest.main()
