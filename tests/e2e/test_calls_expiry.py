"""A call whose script never posts is answered with -6 once its 25 seconds
are over, even when no other request arrives.  It costs real time, so it is
the only such test."""

import time
import unittest

from support.api_http import (API_HEAD, CALL_HEAD, SILENT_SCRIPT, ApiServer, code_chunk,
                              parse_chunked, read_all, read_some)

LIFETIME_S = 25
# The sweep runs on the one-second tick at most every 3 seconds, and the
# deadline is counted in whole seconds.
LATEST_S = LIFETIME_S + 5


class ExpiryTest(unittest.TestCase):
    def test_unanswered_call_times_out_without_other_requests(self):
        srv = ApiServer(self)
        srv.script("noop", SILENT_SCRIPT)
        srv.start()
        start = time.monotonic()
        sock = srv.send("POST", "/_api/", {"method": "noop", "id": 9})
        self.assertEqual(read_some(sock, b"\r\n\r\n"), API_HEAD)
        sock.settimeout(LATEST_S + 5)
        head, chunks, ended = parse_chunked(API_HEAD + read_all(sock))
        waited = time.monotonic() - start
        self.assertEqual((chunks, ended), ([code_chunk(-6)], True))
        self.assertGreaterEqual(waited, LIFETIME_S)
        # The call is gone: nothing to fetch, a late result finds no call.
        self.assertEqual(srv.fetch(9), CALL_HEAD + b"2\r\n-1\r\n0\r\n\r\n")
        self.assertEqual(srv.post_result(9, "too late"), -1)


if __name__ == "__main__":
    unittest.main()
