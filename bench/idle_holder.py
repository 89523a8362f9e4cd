#!/usr/bin/env python3
"""Holds keep-alive connections open and idle against a server.

Opens --count connections to 127.0.0.1:--port, sends one GET on each and
reads its answer (so each is a kept-alive connection after a request, not a
new one still owing its first request), prints "holding N", and then sends
nothing more until SIGTERM or SIGINT. On the way out it prints how many of
them the server had closed meanwhile ("closed_by_server=K"), so that a run
where the server dropped them can be told apart.
"""

import argparse
import resource
import select
import signal
import socket
import sys

# Descriptors beyond the held connections: stdio and the poll object.
SPARE_DESCRIPTORS = 64
ANSWER_TIMEOUT_SECONDS = 10
MAX_ANSWER_BYTES = 64 * 1024


def fail(message):
    print("idle_holder: " + message, file=sys.stderr)
    sys.exit(1)


def raise_descriptor_limit(count):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = count + SPARE_DESCRIPTORS
    if soft >= wanted:
        return
    if hard != resource.RLIM_INFINITY and hard < wanted:
        fail("descriptor limit %d is below the %d needed" % (hard, wanted))
    resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))


def read_answer(sock):
    """Reads one whole answer (head and Content-Length body)."""
    data = b""
    while True:
        head_end = data.find(b"\r\n\r\n")
        if head_end >= 0:
            head = data[:head_end].lower()
            length = 0
            marker = head.find(b"\r\ncontent-length:")
            if marker >= 0:
                line_end = head.find(b"\r\n", marker + 2)
                field = head[marker + 17:line_end if line_end >= 0 else None]
                length = int(field.strip())
            if len(data) >= head_end + 4 + length:
                return data[:12]
        if len(data) > MAX_ANSWER_BYTES:
            fail("answer too long")
        chunk = sock.recv(MAX_ANSWER_BYTES)
        if not chunk:
            fail("server closed a connection before answering")
        data += chunk


def open_connections(port, count, path):
    request = b"GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % (
        path.encode(), port)
    held = []
    for _ in range(count):
        sock = socket.create_connection(("127.0.0.1", port))
        sock.settimeout(ANSWER_TIMEOUT_SECONDS)
        sock.sendall(request)
        status = read_answer(sock)
        if not status.startswith(b"HTTP/1.1 2"):
            fail("the server answered %r" % status)
        held.append(sock)
    return held


def count_closed(held):
    """Connections the server has closed (or sent something on) meanwhile."""
    poller = select.poll()
    for sock in held:
        poller.register(sock, select.POLLIN | select.POLLHUP | select.POLLERR)
    return len(poller.poll(0))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--count", type=int, default=5000)
    parser.add_argument("--path", default="/n000000000000000",
                        help="path of the one GET sent on each connection")
    args = parser.parse_args()

    raise_descriptor_limit(args.count)
    # Blocked from the start and taken with sigwait: no stop can slip by.
    stop_signals = {signal.SIGTERM, signal.SIGINT}
    signal.pthread_sigmask(signal.SIG_BLOCK, stop_signals)
    try:
        held = open_connections(args.port, args.count, args.path)
    except OSError as error:
        fail(str(error))
    print("holding %d" % len(held), flush=True)
    signal.sigwait(stop_signals)
    print("closed_by_server=%d" % count_closed(held), flush=True)


if __name__ == "__main__":
    main()
