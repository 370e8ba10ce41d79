#!/usr/bin/env python3
"""Upload benchmark: a 1 GiB multipart part posted over loopback to webkvd's
/_upload, side by side in one run with the machine's floor (the same bytes
copied from a loopback socket into a file by upload_bench_floor.cpp, built
here with c++ -O2).  Prints MB/s of each (median of the rounds, rounds
interleaved), their ratio, and webkvd's peak RSS (VmHWM of a fresh process
per round).  Targets: at least 80% of the floor, peak RSS under 8 MiB.

Usage: bench/upload_bench.py [--webkvd PATH] [--rounds N] [--mib N]
Everything listens on loopback ports picked at run time; nothing needs root.
"""

import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_WEBKVD = os.path.join(HERE, "..", "build", "webkvd", "webkvd")
BLOCK = os.urandom(1024 * 1024)
BOUNDARY = "----BenchBoundary4f1c"
PART_HEAD = (f"--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"big\"; filename=\"big.img\"\r\n"
             "Content-Type: application/octet-stream\r\n\r\n").encode()
TAIL = f"\r\n--{BOUNDARY}--\r\n".encode()
START_WAIT_S = 10.0
TARGET_RATIO = 0.80
TARGET_RSS_KIB = 8 * 1024


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(cond, what):
    deadline = time.monotonic() + START_WAIT_S
    while not cond():
        if time.monotonic() > deadline:
            sys.exit(f"{what} did not come up")
        time.sleep(0.02)


def can_connect(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def send_body(port, blocks, head=b""):
    """Sends head, the part and the closing boundary; returns (seconds, reply)."""
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.sendall(head + PART_HEAD)
        for _ in range(blocks):
            s.sendall(BLOCK)
        s.sendall(TAIL)
        s.shutdown(socket.SHUT_WR)
        reply = b""
        while piece := s.recv(65536):
            reply += piece
    return time.monotonic() - start, reply


def run_floor(floor_bin, work, blocks):
    port_file = os.path.join(work, "floor.port")
    out = os.path.join(work, "floor.out")
    if os.path.exists(port_file):
        os.unlink(port_file)
    proc = subprocess.Popen([floor_bin, port_file, out])
    wait_for(lambda: os.path.exists(port_file) and os.path.getsize(port_file) > 0, "the floor program")
    with open(port_file) as f:
        port = int(f.read())
    seconds, _ = send_body(port, blocks)
    _, _, usage = os.wait4(proc.pid, 0)
    proc.returncode = 0
    os.unlink(out)
    return seconds, usage.ru_utime + usage.ru_stime


def cpu_seconds(pid):
    """User plus system time of a running process."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def run_webkvd(webkvd, work, blocks):
    upload = os.path.join(work, "upload") + "/"
    www = os.path.join(work, "www")
    os.makedirs(upload, exist_ok=True)
    os.makedirs(www, exist_ok=True)
    port = free_port()
    env = dict(os.environ, WEBKVD_UPLOAD_DIR=upload, WEBKVD_SCRIPTS_DIR=work,
               LARKD_SOCKET=os.path.join(work, "larkd.sock"))
    proc = subprocess.Popen([webkvd, "-p", f"127.0.0.1:{port}", "-w", www], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_for(lambda: can_connect(port), "webkvd")
        length = len(PART_HEAD) + len(BLOCK) * blocks + len(TAIL)
        head = (f"POST /_upload HTTP/1.1\r\nHost: localhost\r\nContent-Length: {length}\r\n"
                f"Content-Type: multipart/form-data; boundary={BOUNDARY}\r\n\r\n").encode()
        seconds, reply = send_body(port, blocks, head)
        expected = f'"filelength":{len(BLOCK) * blocks}}}'.encode()
        if expected not in reply:
            sys.exit(f"unexpected reply from webkvd: {reply[:200]!r}")
        rss = peak_rss_kib(proc.pid)
        cpu = cpu_seconds(proc.pid)
    finally:
        proc.kill()
        proc.wait()
    os.unlink(os.path.join(upload, "big"))
    return seconds, rss, cpu


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--webkvd", default=os.environ.get("WEBKVD", DEFAULT_WEBKVD))
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--mib", type=int, default=1024, help="size of the part in MiB")
    args = ap.parse_args()
    if not os.access(args.webkvd, os.X_OK):
        sys.exit(f"no webkvd at {args.webkvd} (build it, or pass --webkvd)")
    work = tempfile.mkdtemp(prefix="upload-bench-")
    try:
        floor_bin = os.path.join(work, "floor")
        subprocess.run(["c++", "-O2", "-std=c++20", "-o", floor_bin,
                        os.path.join(HERE, "upload_bench_floor.cpp")], check=True)
        total_mb = len(BLOCK) * args.mib / 1e6
        floor_s, webkvd_s, rss, floor_cpu, webkvd_cpu = [], [], [], [], []
        for r in range(args.rounds):
            s, cpu = run_floor(floor_bin, work, args.mib)
            floor_s.append(s)
            floor_cpu.append(cpu)
            s, kib, cpu = run_webkvd(args.webkvd, work, args.mib)
            webkvd_s.append(s)
            rss.append(kib)
            webkvd_cpu.append(cpu)
            print(f"round {r + 1}: floor {total_mb / floor_s[-1]:.0f} MB/s ({floor_cpu[-1]:.2f} s CPU), "
                  f"webkvd {total_mb / webkvd_s[-1]:.0f} MB/s ({webkvd_cpu[-1]:.2f} s CPU), "
                  f"webkvd peak RSS {kib} KiB")
        floor_rate = total_mb / statistics.median(floor_s)
        webkvd_rate = total_mb / statistics.median(webkvd_s)
        ratio = webkvd_rate / floor_rate
        peak = max(rss)
        print(f"\npart of {args.mib} MiB, median of {args.rounds} rounds")
        print(f"floor (socket -> file)   {floor_rate:8.0f} MB/s")
        print(f"webkvd /_upload          {webkvd_rate:8.0f} MB/s   {ratio:.0%} of the floor "
              f"(target >= {TARGET_RATIO:.0%}: {'met' if ratio >= TARGET_RATIO else 'MISSED'})")
        print(f"CPU seconds (median)     floor {statistics.median(floor_cpu):.2f}, "
              f"webkvd {statistics.median(webkvd_cpu):.2f}")
        print(f"webkvd peak RSS          {peak:8d} KiB   "
              f"(target < {TARGET_RSS_KIB} KiB: {'met' if peak < TARGET_RSS_KIB else 'MISSED'})")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
