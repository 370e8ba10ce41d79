#!/usr/bin/env python3
"""Static file benchmark: webkvd and nginx side by side, serving the same
web root on loopback.

  1. a 1 KiB file over HTTP, a new connection per request (webkvd closes
     after every local reply, so nginx runs with keep-alive off too):
     wrk requests per second and p99 latency;
  2. a 100 MiB file: MB/s of single downloads with curl;
  3. the 1 KiB file over HTTPS, a new TLS connection per request;
  4. webkvd's resident memory idle and with 1000 idle open connections,
     with only the HTTP listener and with the HTTPS one as well.

Usage: bench/static_bench.py [--webkvd PATH] [--seconds N] [--rounds N]
Needs nginx (nginx-light), wrk, curl and openssl (scripts/setup installs
them).  Everything listens on loopback ports picked at run time; nothing
needs root.
"""

import argparse
import os
import re
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_WEBKVD = os.path.join(HERE, "..", "build", "webkvd", "webkvd")
SMALL_BYTES = 1024
BIG_BYTES = 100 * 1024 * 1024
CONNECTIONS = 20
WRK_THREADS = 1  # two cores: one for wrk, one for the server
DOWNLOADS = 5
IDLE_CONNECTIONS = 1000
START_WAIT_S = 10.0
SETTLE_S = 0.5
FD_HEADROOM = 64

# The reference: one worker, keep-alive off, files sent with sendfile.
NGINX_CONF = """
worker_processes 1; daemon off; master_process off;
pid {dir}/nginx.pid; error_log {dir}/nginx.err warn;
events {{ worker_connections 4096; }}
http {{
  access_log off; sendfile on; keepalive_timeout 0;
  client_body_temp_path {dir}/n1; proxy_temp_path {dir}/n2; fastcgi_temp_path {dir}/n3;
  uwsgi_temp_path {dir}/n4; scgi_temp_path {dir}/n5;
  types {{ text/plain txt; application/octet-stream bin; }}
  server {{ listen 127.0.0.1:{port}; root {root}; }}
  server {{ listen 127.0.0.1:{tls_port} ssl; root {root};
           ssl_certificate {pem}; ssl_certificate_key {pem};
           ssl_protocols TLSv1.2 TLSv1.3; }}
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


def make_pem(workdir):
    key, crt, pem = (os.path.join(workdir, n) for n in ("key.pem", "crt.pem", "server.pem"))
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", crt,
                    "-days", "2", "-subj", "/CN=localhost"], check=True, capture_output=True)
    with open(pem, "w") as out:
        for part in (crt, key):
            with open(part) as f:
                out.write(f.read())
    return pem


def start_nginx(workdir, root, pem):
    port, tls_port = free_port(), free_port()
    conf = os.path.join(workdir, "nginx.conf")
    with open(conf, "w") as f:
        f.write(NGINX_CONF.format(dir=workdir, port=port, tls_port=tls_port, root=root, pem=pem))
    proc = subprocess.Popen(["nginx", "-p", workdir, "-c", conf], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    wait_for_port(port)
    wait_for_port(tls_port)
    return proc, port, tls_port


def start_webkvd(path, workdir, root, pem=None):
    """webkvd on HTTP, and on HTTPS too when a certificate file is given."""
    port, tls_port = free_port(), free_port()
    env = dict(os.environ, LARKD_SOCKET=os.path.join(workdir, "larkd.sock"),
               WEBKVD_SCRIPTS_DIR=os.path.join(workdir, "scripts"),
               WEBKVD_UPLOAD_DIR=os.path.join(workdir, "upload") + "/")
    args = [path, "-p", f"127.0.0.1:{port}", "-w", root]
    if pem:
        args += ["-s", f"127.0.0.1:{tls_port}", "-c", pem]
    proc = subprocess.Popen(args, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for_port(port)
    if pem:
        wait_for_port(tls_port)
    return proc, port, tls_port


def wrk(url, seconds):
    """Requests per second and p99 latency (ms), a new connection per request."""
    out = subprocess.run(["wrk", "-t", str(WRK_THREADS), "-c", str(CONNECTIONS), "-d", f"{seconds}s", "--latency",
                          "-H", "Connection: close", url], capture_output=True, text=True, check=True).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    m = re.search(r"^\s+99(?:\.000)?%\s+([\d.]+)(us|ms|s)\s*$", out, re.M)
    p99 = float(m.group(1)) * {"us": 0.001, "ms": 1.0, "s": 1000.0}[m.group(2)]
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    return rps, p99, errors.group(0) if errors else ""


def download(port):
    out = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{size_download} %{speed_download}",
                          f"http://127.0.0.1:{port}/big.bin"], capture_output=True, text=True, check=True).stdout
    size, speed = out.split()
    if int(float(size)) != BIG_BYTES:
        sys.exit(f"download from port {port} ended after {size} bytes")
    return float(speed) / 1e6


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def idle_memory(pid, port):
    """RSS idle and with IDLE_CONNECTIONS idle connections open."""
    time.sleep(SETTLE_S)
    idle = rss_kib(pid)
    socks = []
    try:
        for _ in range(IDLE_CONNECTIONS):
            socks.append(socket.create_connection(("127.0.0.1", port)))
        time.sleep(SETTLE_S)
        busy = rss_kib(pid)
    finally:
        for s in socks:
            s.close()
    return idle, busy


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--webkvd", default=DEFAULT_WEBKVD)
    ap.add_argument("--seconds", type=int, default=10)
    ap.add_argument("--rounds", type=int, default=2)
    args = ap.parse_args()
    for tool in ("nginx", "wrk", "curl", "openssl"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is missing: run scripts/setup")
    # 1000 idle connections need descriptors on both ends; children inherit this.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = 2 * IDLE_CONNECTIONS + FD_HEADROOM
    if soft < want:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(want, hard), hard))

    workdir = tempfile.mkdtemp(prefix="static-bench-")
    procs = []
    try:
        root = os.path.join(workdir, "www")
        os.makedirs(root)
        with open(os.path.join(root, "small.txt"), "wb") as f:
            f.write(b"x" * SMALL_BYTES)
        with open(os.path.join(root, "big.bin"), "wb") as f:
            f.write(os.urandom(BIG_BYTES))
        pem = make_pem(workdir)
        plain, pport, _ = start_webkvd(args.webkvd, workdir, root)
        memory = {"HTTP only": idle_memory(plain.pid, pport)}
        plain.terminate()
        plain.wait()
        webkvd, wport, wtls = start_webkvd(args.webkvd, workdir, root, pem)
        procs.append(webkvd)
        memory["HTTP and HTTPS"] = idle_memory(webkvd.pid, wport)
        nginx, nport, ntls = start_nginx(workdir, root, pem)
        procs.append(nginx)
        servers = [("webkvd", wport, wtls), ("nginx", nport, ntls)]
        best = {}

        for title, key, url in (("1 KiB file over HTTP", "http", "http://127.0.0.1:{port}/small.txt"),
                                ("1 KiB file over HTTPS", "https", "https://127.0.0.1:{tls}/small.txt")):
            print(f"{title}, {CONNECTIONS} connections, a new one per request, {args.seconds} s")
            for rnd in range(args.rounds):
                for name, port, tls in servers:
                    rps, p99, errors = wrk(url.format(port=port, tls=tls), args.seconds)
                    print(f"  round {rnd + 1} {name:7s} {rps:10.0f} req/s  p99 {p99:8.3f} ms  {errors}")
                    prev = best.get((key, name))
                    if prev is None or rps > prev[0]:
                        best[(key, name)] = (rps, p99)

        print(f"100 MiB file, {DOWNLOADS} downloads each (median MB/s)")
        speeds = {name: [] for name, _, _ in servers}
        for _ in range(DOWNLOADS):
            for name, port, _ in servers:
                speeds[name].append(download(port))
        for name in speeds:
            print(f"  {name:7s} {statistics.median(speeds[name]):10.1f} MB/s")

        print("webkvd resident memory")
        for what, (idle, busy) in memory.items():
            print(f"  {what:15s} idle {idle:6d} KiB, with {IDLE_CONNECTIONS} idle connections {busy:6d} KiB"
                  f"  ({(busy - idle) * 1024 / IDLE_CONNECTIONS:.0f} bytes per connection)")

        print("ratios webkvd / nginx (best round)")
        for key in ("http", "https"):
            w, n = best[(key, "webkvd")], best[(key, "nginx")]
            print(f"  {key:5s} req/s {w[0] / n[0]:5.2f}   p99 {w[1] / n[1]:5.2f}")
        mw, mn = statistics.median(speeds["webkvd"]), statistics.median(speeds["nginx"])
        print(f"  100 MiB MB/s {mw / mn:5.2f}")
    finally:
        for p in procs:
            p.terminate()
        for p in procs:
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
