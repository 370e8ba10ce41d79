"""What a fault test checks about the webkvd process afterwards: it is alive,
its descriptors are back to their idle count, it has no zombie children."""

import os
import time

WAIT_S = 20.0


def fd_count(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def fd_targets(pid):
    out = []
    for fd in sorted(os.listdir(f"/proc/{pid}/fd"), key=int):
        try:
            out.append(fd + " -> " + os.readlink(f"/proc/{pid}/fd/{fd}"))
        except OSError:
            pass
    return out


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def children(pid):
    """(pid, state) of every child process of pid."""
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as f:
                text = f.read()
        except OSError:
            continue
        fields = text[text.rindex(")") + 2:].split()
        if int(fields[1]) == pid:
            found.append((int(name), fields[0]))
    return found


def zombies(pid):
    return [c for c, state in children(pid) if state == "Z"]


def settle(predicate, timeout=WAIT_S):
    """Polls predicate until it holds or the time is up; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(0.05)


def assert_idle(test, proc, idle_fds):
    """The process runs, its descriptors return to idle_fds, no zombies."""
    pid = proc.pid
    test.assertIsNone(proc.poll(), "webkvd exited")
    settle(lambda: fd_count(pid) <= idle_fds)
    test.assertLessEqual(fd_count(pid), idle_fds, fd_targets(pid))
    # Wait for every child to be gone, not only for no zombie: a script that
    # has just posted its result is still running and becomes a zombie a
    # moment later, until the server's next reaping.
    settle(lambda: not children(pid))
    test.assertEqual(zombies(pid), [])
