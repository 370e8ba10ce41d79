"""A call whose script never posts is answered with -6 by the first request
after its 25 seconds.  It costs real time, so it is the only such test."""

import time
import unittest

from support.api_http import (API_HEAD, CALL_HEAD, SILENT_SCRIPT, ApiServer, code_chunk,
                              nothing_pending, parse_chunked, read_all, read_some)

LIFETIME_S = 25
# Whole seconds of the clock: past the deadline for certain.
MARGIN_S = 2


class ExpiryTest(unittest.TestCase):
    def test_unanswered_call_times_out_at_the_next_request(self):
        srv = ApiServer(self)
        srv.script("noop", SILENT_SCRIPT)
        srv.start()
        sock = srv.send("POST", "/_api/", {"method": "noop", "id": 9})
        self.assertEqual(read_some(sock, b"\r\n\r\n"), API_HEAD)
        time.sleep(LIFETIME_S + MARGIN_S)
        # Without a request nothing sweeps: the browser still waits.
        self.assertTrue(nothing_pending(sock))
        # Any request sweeps first; the call is gone before it is served.
        self.assertEqual(srv.fetch(9), CALL_HEAD + b"2\r\n-1\r\n0\r\n\r\n")
        head, chunks, ended = parse_chunked(API_HEAD + read_all(sock))
        self.assertEqual((chunks, ended), ([code_chunk(-6)], True))
        self.assertEqual(srv.post_result(9, "too late"), -1)


if __name__ == "__main__":
    unittest.main()
