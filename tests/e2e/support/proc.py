"""Running rook and larkd in tests: temporary sockets, readiness, clean stops."""

import os
import signal
import socket
import subprocess
import tempfile
import time

ROOK = os.environ.get("ROOK", "rook")
LARKD = os.environ.get("LARKD", "larkd")
# Longest a test waits for something to happen; reaching it is a failure.
WAIT_S = 20.0


def temp_dir(test):
    """A temporary directory removed when the test ends. Kept short: Unix
    socket paths are limited to about 100 bytes."""
    d = tempfile.TemporaryDirectory(prefix="st", dir="/tmp")
    test.addCleanup(d.cleanup)
    return d.name


def socket_ready(path):
    """True when something accepts connections on the Unix socket path."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        try:
            s.connect(path)
            return True
        except OSError:
            return False


def run_rook(args, sock, env=None, timeout=WAIT_S, **kw):
    """Runs rook with LARKD_SOCKET = sock; returns the CompletedProcess
    (stdout and stderr as bytes). env, if given, is the whole environment
    besides LARKD_SOCKET."""
    full = dict(env) if env is not None else {}
    full["LARKD_SOCKET"] = sock
    return subprocess.run([ROOK] + list(args), env=full, capture_output=True, timeout=timeout, **kw)


class Larkd:
    """A real larkd on a temporary socket.

        daemon = Larkd(test, data_file=None).start()   # returns once it accepts
        daemon.sock                                    # its socket path
        daemon.stop()                                  # SIGTERM; returns the exit status
    """

    def __init__(self, test, data_file=None, sock=None, args=()):
        self.dir = temp_dir(test)
        self.sock = sock or os.path.join(self.dir, "s")
        self.data_file = data_file
        self.args = list(args)
        self.proc = None
        test.addCleanup(self.kill)

    def command(self):
        cmd = [LARKD, "-s", self.sock] + self.args
        if self.data_file:
            cmd += ["-f", self.data_file]
        return cmd

    def start(self):
        self.proc = subprocess.Popen(self.command(), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + WAIT_S
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                out, err = self.proc.communicate()
                raise AssertionError("larkd exited with %d: %r" % (self.proc.returncode, err))
            if socket_ready(self.sock):
                return self
            time.sleep(0.01)
        raise AssertionError("larkd did not accept connections on " + self.sock)

    def stop(self, sig=signal.SIGTERM):
        """Signals larkd and waits; returns its exit status."""
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        self.proc.communicate(timeout=WAIT_S)
        status = self.proc.returncode
        self.proc = None
        return status

    def kill(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()
        self.proc = None

    def rook(self, *args, **kw):
        return run_rook(args, self.sock, **kw)
