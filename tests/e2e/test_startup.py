"""webkvd start-up in the foreground: options, start-up lines, log levels,
listener failures."""

import os
import unittest

from support.webkvd_process import (Sandbox, Webkvd, busy_port, free_port,
                                    http_get, wait_for_port)

USAGE = ("Usage: {0} [-p http_port] [-s https_port] [-l log] [-r reverse_host][-c cert] [-w www_root]\n"
         "Example: ./bin/webkvd -p 8000 -s 8443 -r 10.1.1.1:80 -c ../tests/ssl.pem -w ../tests/web_root\n")


class StartupTest(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            p.stop()
        self.box.cleanup()

    def start(self, *args, env=None):
        p = Webkvd(list(args), env if env is not None else self.box.env)
        self.procs.append(p)
        return p

    def test_startup_lines_come_flushed_and_in_order(self):
        port = free_port()
        p = self.start("-p", f"127.0.0.1:{port}", "-w", self.box.www)
        self.assertEqual(p.read_lines(3), [
            f"Http on addr 127.0.0.1:{port}\n",
            f"root={self.box.www}\n",
            f"upload={self.box.upload[:-1]}\n",
        ])
        self.assertTrue(wait_for_port(port))
        self.assertTrue(http_get(port, "/").startswith(b"HTTP/1.1 "))

    def test_upload_line_shows_the_directory_without_final_slash(self):
        cases = [
            ("unset", None, "/tmp/upload"),
            ("with slash", self.box.path("up") + "/", self.box.path("up")),
            ("without slash", self.box.path("up2"), self.box.path("up2")),
        ]
        for name, value, shown in cases:
            with self.subTest(name):
                env = dict(self.box.env)
                env.pop("WEBKVD_UPLOAD_DIR")
                if value is not None:
                    env["WEBKVD_UPLOAD_DIR"] = value
                p = self.start("-w", self.box.www, env=env)
                self.assertEqual(p.read_lines(2), [f"root={self.box.www}\n", f"upload={shown}\n"])

    def test_without_listeners_only_the_root_lines_and_it_keeps_running(self):
        p = self.start("-w", self.box.www)
        self.assertEqual(p.read_lines(2), [f"root={self.box.www}\n", f"upload={self.box.upload[:-1]}\n"])
        self.assertIsNone(p.proc.poll())

    def test_listening_address_forms(self):
        for form in ("{port}", "127.0.0.1:{port}", "tcp://127.0.0.1:{port}"):
            with self.subTest(form):
                port = free_port()
                address = form.format(port=port)
                p = self.start("-p", address, "-w", self.box.www)
                self.assertEqual(p.read_lines(1), [f"Http on addr {address}\n"])
                self.assertTrue(wait_for_port(port))
                p.stop()

    def test_unknown_option_stops_parsing_and_startup_goes_on(self):
        port = free_port()
        p = self.start("-x", "-p", str(port), "-w", self.box.www)
        # The -w after the unknown option is not read either: the default root.
        self.assertEqual(p.read_lines(1), ["root=/quillmere/webs/\n"])
        self.assertIsNone(p.proc.poll())
        p.stop()
        self.assertIn(b"invalid option", p.stderr)
        self.assertNotIn("Http on addr", p.rest_of_output())

    def test_usage_text(self):
        p = self.start("-h", "x", "-p", str(free_port()))
        self.assertEqual(p.wait(), 1)
        self.assertEqual(p.stderr.decode(), USAGE.format(os.environ.get("WEBKVD", "webkvd")))
        self.assertEqual(p.rest_of_output(), "")

    def test_h_without_value_is_only_a_complaint(self):
        p = self.start("-w", self.box.www, "-h")
        self.assertEqual(p.read_lines(1), [f"root={self.box.www}\n"])
        p.stop()
        self.assertIn(b"requires an argument", p.stderr)
        self.assertNotIn(b"Usage:", p.stderr)

    def test_bind_failure_by_log_level(self):
        sock, port = busy_port()
        self.addCleanup(sock.close)
        line = f"mg_bind(127.0.0.1:{port}) failed\n"
        for level, want in (("3", line), ("0", line), ("nonsense", line), ("4", "")):
            with self.subTest(level=level):
                p = self.start("-l", level, "-p", f"127.0.0.1:{port}", "-w", self.box.www)
                self.assertEqual(p.wait(), 1)
                self.assertEqual(p.rest_of_output(), want)

    def test_failing_http_listener_leaves_https_unopened(self):
        sock, port = busy_port()
        self.addCleanup(sock.close)
        tls_port = free_port()
        p = self.start("-p", f"127.0.0.1:{port}", "-s", f"127.0.0.1:{tls_port}",
                       "-c", self.box.path("missing.pem"), "-w", self.box.www)
        self.assertEqual(p.wait(), 1)
        self.assertEqual(p.rest_of_output(), f"mg_bind(127.0.0.1:{port}) failed\n")

    def test_log_level_4_is_silent(self):
        port = free_port()
        p = self.start("-l", "4", "-p", f"127.0.0.1:{port}", "-w", self.box.www)
        self.assertTrue(wait_for_port(port))
        p.stop()
        self.assertEqual(p.rest_of_output(), "")


if __name__ == "__main__":
    unittest.main()
