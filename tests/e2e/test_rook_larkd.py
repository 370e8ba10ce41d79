"""rook against the real larkd: round trips of every command, export
evaluated by a shell, import and save, and data kept across a restart."""

import os
import subprocess
import unittest
from concurrent.futures import ThreadPoolExecutor

from support.proc import ROOK, Larkd, temp_dir


class RoundTrips(unittest.TestCase):
    def setUp(self):
        self.daemon = Larkd(self).start()

    def rook(self, *args, **kw):
        return self.daemon.rook(*args, **kw)

    def out(self, *args):
        r = self.rook(*args)
        self.assertEqual(r.returncode, 0, (args, r.stderr))
        return r.stdout

    def test_commands(self):
        steps = [
            (["set", "path=/a b"], b""),
            (["get", "path"], b"/a b\n"),
            (["set", "eq=a=b", "c"], b""),
            (["get", "eq"], b"a=b c\n"),
            (["inc", "n=5"], b"5\n"),
            (["desc", "n=7"], b"-2\n"),
            (["inc", "path=1"], b"\n"),
            (["get", "missing"], b"\n"),
            (["list", "pa"], b"path=/a b\n"),
            (["listall"], b"eq=a=b c\nn=-2\npath=/a b\n"),
            (["remove", "eq"], b""),
            (["listall"], b"n=-2\npath=/a b\n"),
            (["list", "zz"], b""),
        ]
        for args, expected in steps:
            with self.subTest(args=args):
                self.assertEqual(self.out(*args), expected)
        self.assertTrue(self.out("version").endswith(b"\n"))

    def test_export_then_eval_restores_the_values(self):
        values = {"E_plain": "1", "E_space": "a b", "E_sub": "$(touch pwned)", "E_tick": "`touch pwned`",
                  "E_quote": 'say "x"', "E_bs": "c:\\dir\\", "E_dollar": "$HOME$"}
        for k, v in values.items():
            self.assertEqual(self.rook("set", "%s=%s" % (k, v)).returncode, 0)
        self.rook("set", "E-bad=1")
        work = temp_dir(self)
        script = 'eval "$(%s export E)" && env' % ROOK
        r = subprocess.run(["sh", "-c", script], cwd=work, env={"LARKD_SOCKET": self.daemon.sock},
                           capture_output=True, timeout=20)
        self.assertEqual(r.returncode, 0, r.stderr)
        env = dict(line.split("=", 1) for line in r.stdout.decode().splitlines() if "=" in line)
        for k, v in values.items():
            self.assertEqual(env.get(k), v, k)
        self.assertIn(b"E-bad", r.stderr)
        self.assertFalse(os.path.exists(os.path.join(work, "pwned")))

    def test_import_and_save(self):
        d = temp_dir(self)
        path = os.path.join(d, "in.txt")
        big = "b" * (3 << 20)
        with open(path, "w") as f:
            f.write("# settings\nI_a=1\n  I_b = two \nI_big=%s\n" % big)
        self.assertEqual(self.out("import", path), b"")
        # "I_b = two": the first "=" becomes the separator, so the value keeps its blanks.
        self.assertEqual(self.out("get", "I_b"), b"  two\n")
        self.assertEqual(self.out("get", "I_big"), big.encode() + b"\n")
        self.assertEqual(self.rook("save", "S_", env={"S_x": "1 2", "T": "3"}).returncode, 0)
        self.assertEqual(self.out("list", "S_"), b"S_x=1 2\n")

    def test_parallel_clients(self):
        def one(i):
            return self.rook("inc", "counter=1").returncode

        with ThreadPoolExecutor(8) as pool:
            self.assertEqual(set(pool.map(one, range(40))), {0})
        self.assertEqual(self.out("get", "counter"), b"40\n")


class Restart(unittest.TestCase):
    def test_data_file_keeps_keys_across_restart(self):
        data = os.path.join(temp_dir(self), "data")
        daemon = Larkd(self, data_file=data).start()
        for args in (["set", "a=1"], ["set", "b=x y"], ["inc", "a=2"], ["set", "c=3"], ["remove", "c"]):
            daemon.rook(*args)
        self.assertEqual(daemon.rook("listall").stdout, b"a=3\nb=x y\n")
        self.assertEqual(daemon.stop(), 0)
        daemon = Larkd(self, data_file=data).start()
        self.assertEqual(daemon.rook("listall").stdout, b"a=3\nb=x y\n")


if __name__ == "__main__":
    unittest.main()
