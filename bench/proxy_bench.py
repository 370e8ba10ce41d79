#!/usr/bin/env python3
"""Reverse-proxy benchmark: webkvd and nginx side by side in front of the
same backend (an nginx serving a small file and a 1 GiB file).

  1. small replies, keep-alive clients: wrk -c 50, requests per second and
     latency percentiles, through each proxy in turn (rounds interleaved);
  2. a 1 GiB download through each proxy: MB/s, and the proxy's peak RSS
     sampled while the body streams.

Usage: bench/proxy_bench.py [--webkvd PATH] [--seconds N] [--rounds N]
Needs nginx (nginx-light) and wrk (scripts/setup installs both).  Everything
listens on loopback ports picked at run time; nothing needs root.
"""

import argparse
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_WEBKVD = os.path.join(HERE, "..", "build", "webkvd", "webkvd")
BIG_BYTES = 1024 * 1024 * 1024
SMALL_BODY = b"x" * 128
CONNECTIONS = 50
WRK_THREADS = 1  # two cores: one for wrk, the rest for proxy and backend
RSS_SAMPLE_S = 0.02
START_WAIT_S = 10.0

BACKEND_CONF = """
worker_processes 1; daemon off; master_process off;
pid {dir}/backend.pid; error_log {dir}/backend.err warn;
events {{ worker_connections 4096; }}
http {{
  access_log off; sendfile on; keepalive_requests 1000000;
  client_body_temp_path {dir}/b1; proxy_temp_path {dir}/b2; fastcgi_temp_path {dir}/b3;
  uwsgi_temp_path {dir}/b4; scgi_temp_path {dir}/b5;
  server {{ listen 127.0.0.1:{port}; root {dir}/backend-root; }}
}}
"""

# The reference proxy: one worker, HTTP/1.1 to an upstream that keeps 5
# idle connections, otherwise Debian's defaults.
NGINX_PROXY_CONF = """
worker_processes 1; daemon off; master_process off;
pid {dir}/proxy.pid; error_log {dir}/proxy.err warn;
events {{ worker_connections 4096; }}
http {{
  access_log off; keepalive_requests 1000000;
  client_body_temp_path {dir}/p1; proxy_temp_path {dir}/p2; fastcgi_temp_path {dir}/p3;
  uwsgi_temp_path {dir}/p4; scgi_temp_path {dir}/p5;
  upstream backend {{ server 127.0.0.1:{backend_port}; keepalive 5; }}
  server {{
    listen 127.0.0.1:{port};
    location / {{
      proxy_pass http://backend;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
    }}
  }}
}}
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port):
    deadline = time.monotonic() + START_WAIT_S
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    sys.exit(f"nothing listens on port {port}")


def start_nginx(workdir, name, template, **values):
    port = free_port()
    conf = os.path.join(workdir, f"{name}.conf")
    with open(conf, "w") as f:
        f.write(template.format(dir=workdir, port=port, **values))
    proc = subprocess.Popen(["nginx", "-p", workdir, "-c", conf], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    wait_for_port(port)
    return proc, port


def start_webkvd(path, workdir, backend_port):
    port = free_port()
    root = os.path.join(workdir, "webkvd-root")
    os.makedirs(root, exist_ok=True)
    env = dict(os.environ, LARKD_SOCKET=os.path.join(workdir, "larkd.sock"),
               WEBKVD_SCRIPTS_DIR=os.path.join(workdir, "scripts"),
               WEBKVD_UPLOAD_DIR=os.path.join(workdir, "upload") + "/")
    proc = subprocess.Popen([path, "-p", f"127.0.0.1:{port}", "-r", f"127.0.0.1:{backend_port}", "-w", root],
                            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for_port(port)
    return proc, port


# wrk drops a Content-Length given with -H; an empty body makes it send
# "Content-Length: 0", which lets the browser side stay keep-alive.
WRK_EMPTY_BODY = 'wrk.method = "GET"\nwrk.body = ""\n'


def wrk(port, seconds, script):
    """Requests per second and the 50% / 99% latencies of one run."""
    args = ["wrk", "-t", str(WRK_THREADS), "-c", str(CONNECTIONS), "-d", f"{seconds}s", "--latency"]
    if script:
        args += ["-s", script]
    out = subprocess.run(args + [f"http://127.0.0.1:{port}/small.txt"], capture_output=True, text=True,
                         check=True).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)|Socket errors: (.*)", out)
    lat = {}
    for pct in ("50", "99"):
        m = re.search(rf"^\s+{pct}(?:\.000)?%\s+([\d.]+)(us|ms|s)\s*$", out, re.M)
        scale = {"us": 0.001, "ms": 1.0, "s": 1000.0}[m.group(2)]
        lat[pct] = float(m.group(1)) * scale
    return rps, lat["50"], lat["99"], errors.group(0) if errors else ""


def median(rows, column):
    return statistics.median(row[column] for row in rows)


def peak_rss_while(pid, work):
    """Runs work() while sampling the RSS of pid; returns (result, peak KiB)."""
    peak = [0]
    done = threading.Event()

    def sample():
        while not done.is_set():
            try:
                with open(f"/proc/{pid}/status") as f:
                    for line in f:
                        if line.startswith("VmRSS:"):
                            peak[0] = max(peak[0], int(line.split()[1]))
            except OSError:
                return
            time.sleep(RSS_SAMPLE_S)

    t = threading.Thread(target=sample, daemon=True)
    t.start()
    try:
        result = work()
    finally:
        done.set()
        t.join()
    return result, peak[0]


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def download(port):
    """MB/s of one 1 GiB download (curl, body discarded)."""
    out = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{size_download} %{speed_download}",
                          f"http://127.0.0.1:{port}/big.bin"], capture_output=True, text=True, check=True).stdout
    size, speed = out.split()
    if int(float(size)) != BIG_BYTES:
        sys.exit(f"download through port {port} ended after {size} bytes")
    return float(speed) / 1e6


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--webkvd", default=DEFAULT_WEBKVD)
    ap.add_argument("--seconds", type=int, default=10)
    ap.add_argument("--rounds", type=int, default=2)
    args = ap.parse_args()
    for tool in ("nginx", "wrk", "curl"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is missing: run scripts/setup")

    workdir = tempfile.mkdtemp(prefix="proxy-bench-")
    procs = []
    try:
        root = os.path.join(workdir, "backend-root")
        os.makedirs(root)
        with open(os.path.join(root, "small.txt"), "wb") as f:
            f.write(SMALL_BODY)
        with open(os.path.join(root, "big.bin"), "wb") as f:
            f.truncate(BIG_BYTES)  # sparse: no disk used, read as zeros
        backend, backend_port = start_nginx(workdir, "backend", BACKEND_CONF)
        procs.append(backend)
        webkvd, webkvd_port = start_webkvd(args.webkvd, workdir, backend_port)
        procs.append(webkvd)
        nginx, nginx_port = start_nginx(workdir, "proxy", NGINX_PROXY_CONF, backend_port=backend_port)
        procs.append(nginx)
        proxies = [("webkvd", webkvd, webkvd_port), ("nginx", nginx, nginx_port)]

        script = os.path.join(workdir, "empty_body.lua")
        with open(script, "w") as f:
            f.write(WRK_EMPTY_BODY)
        for script_arg, title in ((script, "keep-alive clients (GET with Content-Length: 0)"),
                                  (None, "plain GET without a length (webkvd closes after each reply)")):
            print(f"small replies, {CONNECTIONS} connections, {args.seconds} s, {title}")
            runs = {name: [] for name, _, _ in proxies}
            for rnd in range(args.rounds):
                for name, _, port in proxies:
                    rps, p50, p99, errors = wrk(port, args.seconds, script_arg)
                    runs[name].append((rps, p50, p99))
                    print(f"  round {rnd + 1} {name:7s} {rps:10.0f} req/s  p50 {p50:7.3f} ms  p99 {p99:7.3f} ms"
                          f"  {errors}")
            for name, got in runs.items():
                print(f"  median  {name:7s} {median(got, 0):10.0f} req/s  p50 {median(got, 1):7.3f} ms"
                      f"  p99 {median(got, 2):7.3f} ms")

        # The first read of the file fills the backend's page cache; whichever
        # proxy went first would pay for it.
        direct = download(backend_port)
        print(f"1 GiB download straight from the backend: {direct:.0f} MB/s")
        print("1 GiB download through the proxy (CPU: the proxy's user + system time)")
        runs = {name: [] for name, _, _ in proxies}
        for rnd in range(args.rounds):
            for name, proc, port in proxies:
                before = cpu_seconds(proc.pid)
                speed, peak = peak_rss_while(proc.pid, lambda: download(port))
                used = cpu_seconds(proc.pid) - before
                runs[name].append((speed, used, peak / 1024))
                print(f"  round {rnd + 1} {name:7s} {speed:8.0f} MB/s  CPU {used:5.2f} s"
                      f"  peak RSS {peak / 1024:6.1f} MiB")
        for name, got in runs.items():
            print(f"  median  {name:7s} {median(got, 0):8.0f} MB/s  CPU {median(got, 1):5.2f} s"
                  f"  peak RSS {max(g[2] for g in got):6.1f} MiB (max)")
    finally:
        for p in procs:
            p.kill()
            p.wait()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
