"""Building multipart/form-data posts and exchanging them over raw sockets."""

import os
import socket

from support.webkvd_process import exchange, read_to_close  # noqa: F401 (used by the upload tests)

BOUNDARY = "----TestBoundary7MA4YWxkTrZu0gW"


def part(name, content, boundary=BOUNDARY, filename="file.bin"):
    """One part; name None leaves the name parameter out."""
    disposition = "form-data"
    if name is not None:
        disposition += f'; name="{name}"'
    if filename is not None:
        disposition += f'; filename="{filename}"'
    return (f"--{boundary}\r\nContent-Disposition: {disposition}\r\n"
            "Content-Type: application/octet-stream\r\n\r\n").encode() + content + b"\r\n"


def closing(boundary=BOUNDARY):
    return f"--{boundary}--\r\n".encode()


def form(*parts, boundary=BOUNDARY):
    return b"".join(parts) + closing(boundary)


def post_head(uri, length, content_type=f"multipart/form-data; boundary={BOUNDARY}", extra=""):
    head = f"POST {uri} HTTP/1.1\r\nHost: localhost\r\n"
    if content_type is not None:
        head += f"Content-Type: {content_type}\r\n"
    if length is not None:
        head += f"Content-Length: {length}\r\n"
    return (head + extra + "\r\n").encode()


def upload(port, body, uri="/_upload", **head_args):
    return exchange(port, post_head(uri, len(body), **head_args) + body)


def open_fds_to(pid, path):
    """Descriptors of process pid that refer to path."""
    fd_dir = f"/proc/{pid}/fd"
    found = []
    for fd in os.listdir(fd_dir):
        try:
            if os.readlink(os.path.join(fd_dir, fd)) == path:
                found.append(fd)
        except OSError:
            pass
    return found


def rss_kib(pid, field="VmRSS"):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0
