"""The HTTPS listener: certificate and key from one PEM file made by openssl,
and the ways loading them fails."""

import os
import shutil
import tempfile
import unittest

from support.webkvd_process import (Sandbox, Webkvd, busy_port, free_port,
                                    http_get, make_certificate, wait_for_port)


class TlsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.certs = tempfile.mkdtemp(prefix="webkvd-tls-")
        cls.pem, cls.cert_only, cls.key_only = make_certificate(cls.certs)
        # A key that does not belong to the certificate.
        other = os.path.join(cls.certs, "other")
        os.makedirs(other)
        _, _, other_key = make_certificate(other)
        cls.mismatched = os.path.join(cls.certs, "mismatched.pem")
        with open(cls.mismatched, "wb") as out:
            for part in (cls.cert_only, other_key):
                with open(part, "rb") as f:
                    out.write(f.read())
        cls.garbage = os.path.join(cls.certs, "garbage.pem")
        with open(cls.garbage, "w") as f:
            f.write("-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----\n")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.certs, ignore_errors=True)

    def setUp(self):
        self.box = Sandbox()
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            p.stop()
        self.box.cleanup()

    def start(self, *args):
        p = Webkvd(list(args), self.box.env)
        self.procs.append(p)
        return p

    def test_https_only(self):
        port = free_port()
        p = self.start("-s", f"127.0.0.1:{port}", "-c", self.pem, "-w", self.box.www)
        self.assertEqual(p.read_lines(2), [f"Https on addr 127.0.0.1:{port}\n", f"root={self.box.www}\n"])
        self.assertTrue(wait_for_port(port))
        self.assertTrue(http_get(port, "/", tls=True).startswith(b"HTTP/1.1 "))

    def test_both_listeners_answer_in_their_own_protocol(self):
        port, tls_port = free_port(), free_port()
        p = self.start("-p", f"127.0.0.1:{port}", "-s", f"127.0.0.1:{tls_port}",
                       "-c", self.pem, "-w", self.box.www)
        self.assertEqual(p.read_lines(2), [f"Http on addr 127.0.0.1:{port}\n",
                                           f"Https on addr 127.0.0.1:{tls_port}\n"])
        self.assertTrue(http_get(port, "/").startswith(b"HTTP/1.1 "))
        self.assertTrue(http_get(tls_port, "/", tls=True).startswith(b"HTTP/1.1 "))
        # Plain HTTP on the TLS port gets no HTTP reply, and the server lives on.
        self.assertFalse(http_get(tls_port, "/").startswith(b"HTTP/"))
        self.assertIsNone(p.proc.poll())

    def test_certificate_failures(self):
        cases = [
            ("missing file", os.path.join(self.certs, "missing.pem"), "Invalid SSL cert"),
            ("garbage", self.garbage, "Invalid SSL cert"),
            ("key only", self.key_only, "Invalid SSL cert"),
            ("certificate only", self.cert_only, "Invalid SSL key"),
            ("key of another certificate", self.mismatched, "Invalid SSL key"),
        ]
        for name, pem, text in cases:
            with self.subTest(name):
                p = self.start("-s", f"127.0.0.1:{free_port()}", "-c", pem, "-w", self.box.www)
                self.assertEqual(p.wait(), 1)
                self.assertEqual(p.rest_of_output(), f"Error loading SSL cert: {text}\n")

    def test_busy_https_address_is_reported_before_the_certificate(self):
        sock, port = busy_port()
        self.addCleanup(sock.close)
        p = self.start("-s", f"127.0.0.1:{port}", "-c", self.garbage, "-w", self.box.www)
        self.assertEqual(p.wait(), 1)
        self.assertEqual(p.rest_of_output(), f"mg_bind(127.0.0.1:{port}) failed\n")


if __name__ == "__main__":
    unittest.main()
