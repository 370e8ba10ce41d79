"""Daemon mode: the launching process exits at once, a detached supervisor
runs one server child at a time and restarts it until SIGUSR1."""

import ctypes
import os
import signal
import subprocess
import time
import unittest

from support.webkvd_process import WAIT_S, WEBKVD, Sandbox, busy_port, free_port, wait_for_port

PR_SET_CHILD_SUBREAPER = 36


def become_subreaper():
    """Orphaned descendants (the supervisor once its launcher exits) become
    children of this test process, so their exit status can be read."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


def stat_of(pid):
    """(ppid, session id) of a live process, or None."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            text = f.read()
    except OSError:
        return None
    fields = text[text.rindex(")") + 2:].split()
    if fields[0] == "Z":
        return None
    return int(fields[1]), int(fields[3])


def processes_with(marker):
    """Pids of live processes whose command line holds marker."""
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/cmdline", "rb") as f:
                argv = f.read().split(b"\0")
        except OSError:
            continue
        if marker.encode() in argv and stat_of(int(name)) is not None:
            found.append(int(name))
    return found


def wait_until(predicate, timeout=WAIT_S):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    return predicate()


def kill_all_with(marker):
    """Kills every process whose command line holds marker, supervisors
    first so that nothing is restarted, and reaps them."""
    pids = processes_with(marker)
    supervisors = [p for p in pids if stat_of(p) and stat_of(p)[1] == p]
    for pid in supervisors + pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    while reap(timeout=2) is not None:
        pass


def reap(pid=-1, timeout=WAIT_S):
    """Waits for a child (any child with -1) to end: (pid, exit code) or None."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            got, status = os.waitpid(pid, os.WNOHANG)
        except ChildProcessError:
            return None
        if got:
            return got, os.waitstatus_to_exitcode(status)
        if time.monotonic() >= deadline:
            return None
        time.sleep(0.05)


class DaemonTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        become_subreaper()

    def setUp(self):
        self.box = Sandbox()
        # The web root is unique to this test, so it names its processes.
        self.marker = self.box.www

    def tearDown(self):
        kill_all_with(self.marker)
        self.box.cleanup()

    def launch(self, *args):
        launcher = subprocess.Popen([WEBKVD, "-d", *args, "-w", self.marker], env=self.box.env,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        self.assertEqual(launcher.wait(timeout=WAIT_S), 0)

    def supervisor(self):
        for pid in processes_with(self.marker):
            st = stat_of(pid)
            if st and st[1] == pid:
                return pid
        return None

    def child_of(self, supervisor, other_than=None):
        for pid in processes_with(self.marker):
            st = stat_of(pid)
            if st and st[0] == supervisor and pid != other_than:
                return pid
        return None

    def test_detached_supervisor_restarts_a_killed_child(self):
        port = free_port()
        self.launch("-p", f"127.0.0.1:{port}")
        sup = wait_until(self.supervisor)
        self.assertIsNotNone(sup, "no session-leading supervisor")
        for fd in (0, 1, 2):
            self.assertEqual(os.readlink(f"/proc/{sup}/fd/{fd}"), "/dev/null")
        child = wait_until(lambda: self.child_of(sup))
        self.assertIsNotNone(child)
        self.assertTrue(wait_for_port(port))

        for _ in range(2):
            os.kill(child, signal.SIGKILL)
            new_child = wait_until(lambda: self.child_of(sup, other_than=child))
            self.assertIsNotNone(new_child, "no new child after SIGKILL")
            self.assertTrue(wait_for_port(port))
            child = new_child

    def test_sigusr1_stops_restarting_once_the_child_exits(self):
        port = free_port()
        self.launch("-p", f"127.0.0.1:{port}")
        sup = wait_until(self.supervisor)
        child = wait_until(lambda: self.child_of(sup))
        self.assertTrue(wait_for_port(port))

        # A SIGUSR1 that reaches the server child changes nothing.
        os.kill(child, signal.SIGUSR1)
        self.assertTrue(wait_for_port(port))
        os.kill(child, signal.SIGKILL)
        child = wait_until(lambda: self.child_of(sup, other_than=child))
        self.assertIsNotNone(child, "restarting stopped after SIGUSR1 to the child")

        # SIGUSR1 to the supervisor leaves the running child serving...
        os.kill(sup, signal.SIGUSR1)
        self.assertTrue(wait_for_port(port))
        self.assertIsNotNone(stat_of(child))
        self.assertIsNotNone(stat_of(sup))
        # ...and when it exits, the supervisor ends with status 1.
        os.kill(child, signal.SIGTERM)
        self.assertEqual(reap(sup), (sup, 1))
        self.assertEqual(processes_with(self.marker), [])

    def test_setup_failure_stops_the_supervisor(self):
        cases = [
            ("address in use", "http"),
            ("bad certificate", "cert"),
        ]
        for name, kind in cases:
            with self.subTest(name):
                if kind == "http":
                    sock, port = busy_port()
                    self.addCleanup(sock.close)
                    self.launch("-p", f"127.0.0.1:{port}")
                else:
                    self.launch("-s", f"127.0.0.1:{free_port()}", "-c", self.box.path("none.pem"))
                # The only orphan that can reach this process is the supervisor.
                ended = reap()
                self.assertIsNotNone(ended, "supervisor still running")
                self.assertEqual(ended[1], 1)
                self.assertEqual(processes_with(self.marker), [])


if __name__ == "__main__":
    unittest.main()
