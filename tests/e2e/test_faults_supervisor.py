"""The daemon-mode server child killed at random while browsers write to a
real larkd through the data API: the supervisor starts a new child, service
resumes, and every write whose reply head reached its browser (the fields
are stored, and acknowledged by larkd, before the head is sent) is in the
store afterwards."""

import os
import random
import re
import signal
import socket
import subprocess
import threading
import time
import unittest

from support.api_http import API_HEAD, SILENT_SCRIPT, parse_chunked, read_all, send_on
from support.proc import Larkd
from support.tally import Tally
from support.webkvd_process import WAIT_S, WEBKVD, Sandbox, free_port, wait_for_port
from test_daemon import become_subreaper, kill_all_with, processes_with, stat_of, wait_until

TALLY = Tally("faults_supervisor")
KILLS = 5
WRITERS = 6
# Pause between kills, drawn at random from this range (seconds).
KILL_GAP_S = (0.2, 0.8)
ENTRY = re.compile(rb'"(w\d+)":"(v\d+)"')


class ChildKilledUnderLoad(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        become_subreaper()

    def setUp(self):
        self.box = Sandbox()
        self.marker = self.box.www  # names this test's processes
        self.larkd = Larkd(self, data_file=self.box.path("store.dat")).start()
        self.env = dict(self.box.env, LARKD_SOCKET=self.larkd.sock)
        path = os.path.join(self.box.scripts, "noop")
        with open(path, "w") as f:
            f.write(SILENT_SCRIPT)
        os.chmod(path, 0o755)
        self.port = free_port()

    def tearDown(self):
        kill_all_with(self.marker)
        self.box.cleanup()

    def child(self, supervisor):
        for pid in processes_with(self.marker):
            st = stat_of(pid)
            if st and st[0] == supervisor:
                return pid
        return None

    def write(self, n):
        """One write of w<n>; True when its reply head arrived."""
        try:
            s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        except OSError:
            return False
        try:
            send_on(s, "POST", "/_api/", {"method": "noop", "id": n, "fields": {f"w{n}": f"v{n}"}})
            got = b""
            while len(got) < len(API_HEAD):
                piece = s.recv(4096)
                if not piece:
                    break
                got += piece
            return got.startswith(API_HEAD)
        except OSError:
            return False
        finally:
            s.close()

    def test_acknowledged_writes_survive_child_kills(self):
        launcher = subprocess.Popen([WEBKVD, "-d", "-p", f"127.0.0.1:{self.port}", "-w", self.marker],
                                    env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        self.assertEqual(launcher.wait(timeout=WAIT_S), 0)
        sup = wait_until(lambda: next((p for p in processes_with(self.marker) if stat_of(p)[1] == p), None))
        self.assertIsNotNone(sup)
        self.assertTrue(wait_for_port(self.port))

        acknowledged = []
        lock = threading.Lock()
        counter = iter(range(1, 10 ** 6))
        stop = threading.Event()

        def writer():
            while not stop.is_set():
                with lock:
                    n = next(counter)
                if self.write(n):
                    with lock:
                        acknowledged.append(n)
                else:
                    time.sleep(0.02)  # the child is being replaced

        threads = [threading.Thread(target=writer) for _ in range(WRITERS)]
        for t in threads:
            t.start()
        rng = random.Random(9)
        kills = 0
        try:
            for _ in range(KILLS):
                time.sleep(rng.uniform(*KILL_GAP_S))
                child = wait_until(lambda: self.child(sup))
                self.assertIsNotNone(child, "no server child")
                os.kill(child, signal.SIGKILL)
                kills += 1
                self.assertIsNotNone(wait_until(lambda: (self.child(sup) or child) != child and self.child(sup)),
                                     "no new child after a kill")
            # Service resumes: writes are acknowledged again after the last kill.
            with lock:
                before = len(acknowledged)
            self.assertTrue(wait_until(lambda: len(acknowledged) > before + WRITERS))
        finally:
            stop.set()
            for t in threads:
                t.join(WAIT_S)

        s = socket.create_connection(("127.0.0.1", self.port), timeout=WAIT_S)
        send_on(s, "GET", "/_api/w")
        head, chunks, ended = parse_chunked(read_all(s))
        self.assertTrue(ended)
        stored = dict(ENTRY.findall(b"".join(chunks)))
        missing = [n for n in acknowledged if stored.get(b"w%d" % n) != b"v%d" % n]
        self.assertEqual(missing, [])
        TALLY.add("supervisor", "server child killed (SIGKILL) at random during writes",
                  "new child serving after each kill; %d acknowledged writes all in the store" % len(acknowledged),
                  kills)


if __name__ == "__main__":
    unittest.main()
