#!/usr/bin/env python3
"""Wall time per run of `rook get` / `rook set` against larkd, side by side
with `redis-cli -s SOCK GET/SET` against redis-server on a Unix socket and
with /bin/true as the floor; then larkd's request rate over one connection.

usage: bench/rook_bench.py BUILD_DIR [--runs N] [--seconds S]

It builds nothing: BUILD_DIR must hold rook, larkd and rook_bench_larkd
(cmake --build BUILD_DIR --target rook larkd rook_bench_larkd). Commands
are run round-robin so that machine noise spreads evenly over them; the
figures are medians (and 10th/90th percentiles) of fork+exec+wait time.
"""

import argparse
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

WAIT_S = 20.0
KEY = "bench_key"
VALUE = "some value of ordinary size"


def wait_socket(path, proc):
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            sys.exit("%s exited early with %d" % (proc.args[0], proc.returncode))
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            try:
                s.connect(path)
                return
            except OSError:
                time.sleep(0.01)
    sys.exit("nothing listens on " + path)


def run_once(argv, env, devnull):
    start = time.perf_counter_ns()
    pid = os.posix_spawn(argv[0], argv, env, file_actions=[
        (os.POSIX_SPAWN_DUP2, devnull, 1), (os.POSIX_SPAWN_DUP2, devnull, 2)])
    _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter_ns() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("%s failed" % " ".join(argv))
    return elapsed / 1000.0


def percentile(values, p):
    s = sorted(values)
    return s[min(len(s) - 1, int(p * len(s)))]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("build_dir")
    ap.add_argument("--runs", type=int, default=1000, help="runs of each command (default 1000)")
    ap.add_argument("--seconds", type=float, default=3.0, help="length of the request-rate loop (default 3)")
    args = ap.parse_args()

    rook = os.path.join(args.build_dir, "rook", "rook")
    larkd = os.path.join(args.build_dir, "larkd", "larkd")
    rate_client = os.path.join(args.build_dir, "larkd", "rook_bench_larkd")
    redis_server = shutil.which("redis-server")
    redis_cli = shutil.which("redis-cli")
    redis_bench = shutil.which("redis-benchmark")
    for path in (rook, larkd, rate_client):
        if not os.access(path, os.X_OK):
            sys.exit("missing %s: build the targets rook larkd rook_bench_larkd first" % path)
    if not (redis_server and redis_cli):
        sys.exit("redis-server and redis-cli are needed (scripts/setup installs them)")

    work = tempfile.mkdtemp(prefix="rookbench", dir="/tmp")
    lark_sock = os.path.join(work, "larkd.sock")
    redis_sock = os.path.join(work, "redis.sock")
    procs = []
    try:
        procs.append(subprocess.Popen([larkd, "-s", lark_sock], stdout=subprocess.DEVNULL))
        wait_socket(lark_sock, procs[-1])
        procs.append(subprocess.Popen(
            [redis_server, "--port", "0", "--unixsocket", redis_sock, "--save", "", "--appendonly", "no",
             "--dir", work], stdout=subprocess.DEVNULL))
        wait_socket(redis_sock, procs[-1])

        env = {"LARKD_SOCKET": lark_sock}
        commands = [
            ("/bin/true", ["/bin/true"]),
            ("rook get", [rook, "get", KEY]),
            ("rook set", [rook, "set", "%s=%s" % (KEY, VALUE)]),
            ("redis-cli GET", [redis_cli, "-s", redis_sock, "GET", KEY]),
            ("redis-cli SET", [redis_cli, "-s", redis_sock, "SET", KEY, VALUE]),
        ]
        times = {name: [] for name, _ in commands}
        devnull = os.open(os.devnull, os.O_WRONLY)
        for name, argv in commands:   # warm caches
            for _ in range(20):
                run_once(argv, env, devnull)
        for _ in range(args.runs):
            for name, argv in commands:
                times[name].append(run_once(argv, env, devnull))
        os.close(devnull)

        med = {name: statistics.median(t) for name, t in times.items()}
        print("wall time per run, microseconds (%d runs each, round-robin)" % args.runs)
        print("%-15s %8s %8s %8s" % ("command", "median", "p10", "p90"))
        for name, _ in commands:
            t = times[name]
            print("%-15s %8.0f %8.0f %8.0f" % (name, med[name], percentile(t, 0.1), percentile(t, 0.9)))
        print()
        print("ratios of medians (target: rook below redis-cli, and at most 1.3 x /bin/true)")
        for verb, other in (("get", "GET"), ("set", "SET")):
            r_true = med["rook " + verb] / med["/bin/true"]
            r_redis = med["rook " + verb] / med["redis-cli " + other]
            print("rook %s / /bin/true     %5.2f  %s" % (verb, r_true, "ok" if r_true <= 1.3 else "MISSED"))
            print("rook %s / redis-cli %s %5.2f  %s" % (verb, other, r_redis, "ok" if r_redis < 1.0 else "MISSED"))
        print()

        out = subprocess.run([rate_client, str(args.seconds)], env=env, capture_output=True, text=True, timeout=60 + args.seconds)
        if out.returncode != 0:
            sys.exit("rook_bench_larkd failed: " + out.stderr)
        fields = out.stdout.split()
        larkd_rps = float(fields[fields.index("requests_per_second") + 1])
        print("larkd, set/get loop over one connection: %.0f requests/s" % larkd_rps)
        if redis_bench:
            rb = subprocess.run([redis_bench, "-s", redis_sock, "-c", "1", "-n", "100000", "-t", "set,get", "-q"],
                                capture_output=True, text=True, timeout=120)
            for line in rb.stdout.replace("\r", "\n").splitlines():
                if "requests per second" in line:
                    print("redis-benchmark -c 1, " + line.strip())
    finally:
        for p in procs:
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(WAIT_S)
                except subprocess.TimeoutExpired:
                    p.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
