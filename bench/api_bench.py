#!/usr/bin/env python3
"""Data API benchmark: prefix listing through webkvd against the raw store
round trip, script call round trips, and memory with many calls pending.

    bench/api_bench.py [BUILD_DIR]        (default: build; needs webkvd, larkd, rook)

Figures go to standard output; bench/README.md keeps the recorded ones.
"""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
KEYS = 100            # keys under the listed prefix
OTHER_KEYS = 100      # keys the listing must skip
VALUE = "v" * 24
LIST_REQUESTS = 5000
CLIENT_COUNTS = (1, 16, 64)
CALLS = 2000
CALLS_IN_FLIGHT = 100
PENDING = 10000
RESULT_CHARS = 4095
CALL_LIFETIME_S = 25


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port):
    for _ in range(500):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.01)
    raise SystemExit("webkvd did not listen")


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def load(env, *args):
    out = subprocess.run([BENCH, *map(str, args)], env=env, capture_output=True, text=True, check=True).stdout
    return dict(kv.split("=") for kv in out.split())


def one_request_ms(port, path):
    t0 = time.monotonic()
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.sendall(f"GET {path} HTTP/1.1\r\nHost: b\r\n\r\n".encode())
        while s.recv(65536):
            pass
    return (time.monotonic() - t0) * 1000


def fetch(port, path):
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.sendall(f"GET {path} HTTP/1.1\r\nHost: b\r\n\r\n".encode())
        data = b""
        while piece := s.recv(65536):
            data += piece
    return data


def main():
    global BENCH
    work = tempfile.mkdtemp(prefix="api-bench-")
    BENCH = os.path.join(work, "api_bench")
    subprocess.run(["g++", "-std=c++20", "-O2", "-I", ROOT, os.path.join(ROOT, "bench", "api_bench.cpp"),
                    *[os.path.join(ROOT, "store", f) for f in os.listdir(os.path.join(ROOT, "store"))
                      if f.endswith(".cpp")], "-pthread", "-o", BENCH], check=True)
    sock = os.path.join(work, "s")
    scripts = os.path.join(work, "scripts")
    www = os.path.join(work, "www")
    os.makedirs(scripts)
    os.makedirs(www)
    shutil.copy(BENCH, os.path.join(scripts, "post"))
    shutil.copy(shutil.which("true"), os.path.join(scripts, "noop"))
    port = free_port()
    env = dict(os.environ, LARKD_SOCKET=sock, WEBKVD_SCRIPTS_DIR=scripts, WEBKVD_UPLOAD_DIR=work + "/up/",
               BENCH_PORT=str(port), WEBKVD_MAX_CONNECTIONS=str(PENDING + 1000))
    procs = []
    try:
        larkd = subprocess.Popen([os.path.join(BUILD, "larkd", "larkd"), "-s", sock], env=env)
        procs.append(larkd)
        while not os.path.exists(sock):
            time.sleep(0.01)
        rook = os.path.join(BUILD, "rook", "rook")
        for i in range(KEYS):
            subprocess.run([rook, "set", f"bench_{i:03d}={VALUE}"], env=env, check=True, capture_output=True)
        for i in range(OTHER_KEYS):
            subprocess.run([rook, "set", f"other_{i:03d}={VALUE}"], env=env, check=True, capture_output=True)
        web = subprocess.Popen([os.path.join(BUILD, "webkvd", "webkvd"), "-p", f"127.0.0.1:{port}", "-w", www],
                               env=env, stdout=subprocess.DEVNULL)
        procs.append(web)
        wait_port(port)

        print(f"listing {KEYS} keys, {LIST_REQUESTS} requests")
        print(f"{'clients':>8} {'store rps':>10} {'store p99':>10} {'webkvd rps':>11} {'webkvd p99':>11} {'ratio':>6}")
        for c in CLIENT_COUNTS:
            raw = load(env, "store", sock, "bench_", LIST_REQUESTS, c)
            http = load(env, "get", port, "/_api/bench_", LIST_REQUESTS, c)
            ratio = float(raw["rps"]) / float(http["rps"])
            print(f"{c:>8} {raw['rps']:>10} {raw['p99_ms']:>10} {http['rps']:>11} {http['p99_ms']:>11} {ratio:>6.2f}"
                  f"   failures {raw['failures']}/{http['failures']}")

        r = load(env, "call", port, CALLS, CALLS_IN_FLIGHT)
        print(f"call round trip, {CALLS_IN_FLIGHT} in flight: {r['rps']} calls/s, p50 {r['p50_ms']} ms, "
              f"p99 {r['p99_ms']} ms, failures {r['failures']}")
        time.sleep(CALL_LIFETIME_S + 4)
        one_request_ms(port, "/_result/0")  # sweeps the calls above away
        base = rss_kib(web.pid)

        for detached in (False, True):
            if detached:  # a fresh server, so that freed connection memory does not count
                web.kill()
                web.wait()
                web = subprocess.Popen([os.path.join(BUILD, "webkvd", "webkvd"), "-p", f"127.0.0.1:{port}",
                                        "-w", www], env=env, stdout=subprocess.DEVNULL)
                procs.append(web)
                wait_port(port)
                base = rss_kib(web.pid)
            hold = subprocess.Popen([BENCH, "hold", str(port), str(PENDING), str(RESULT_CHARS)] +
                                    (["detached"] if detached else []),
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            procs.append(hold)
            started_at = time.monotonic()
            assert hold.stdout.readline().strip() == "started"
            waiting = rss_kib(web.pid)
            hold.stdin.write("\n")
            hold.stdin.flush()
            assert hold.stdout.readline().strip() == "posted"
            stored = rss_kib(web.pid)
            quiet_ms = one_request_ms(port, "/_result/1")
            time.sleep(max(0.0, started_at + CALL_LIFETIME_S + 4 - time.monotonic()))
            sweep_ms = one_request_ms(port, "/_result/1")
            gone = b"-1" in fetch(port, "/_result/1")
            hold.stdin.write("\n")
            hold.stdin.flush()
            hold.wait()
            who = "browsers gone at once" if detached else "browsers waiting"
            print(f"memory, {PENDING} calls, {who}: idle {base} KiB; calls started {waiting} KiB; "
                  f"with {RESULT_CHARS}-character results {stored} KiB")
            print(f"  request while they pend: {quiet_ms:.2f} ms; the request whose sweep removes them: "
                  f"{sweep_ms:.2f} ms (swept: {gone})")
    finally:
        for p in reversed(procs):
            if p.poll() is None:
                p.kill()
                p.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
