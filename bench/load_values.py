#!/usr/bin/env python3
"""Stores values in a running server over one pipelined connection and, with
--pid, reports the growth of that process's resident memory per value.

Speaks three protocols:
  pendrakel  HTTP PUT /<16-byte name>, optionally with a Cookie header
  redis      RESP SET <10-byte key> <value>
  memcached  text protocol: set <10-byte key> 0 0 <bytes>

Names, values and cookies are the ones bench/*.lua read back. Prints one
line: "LOAD values=N seconds=S" and, with --pid, "rss_before_kb=..
rss_after_kb=.. bytes_per_value=..". Exits non-zero with a one-line message
when the server refuses a value or the connection breaks.
"""

import argparse
import socket
import sys
import time

VALUE_BYTES = 100
# Requests sent before their answers are read: small enough that requests
# and answers in flight fit in the loopback socket buffers.
BATCH = 512
# How long to wait for the answers of one batch before giving up.
READ_TIMEOUT_SECONDS = 60


def bench_name(i):
    """The 16-byte name bench/wrk_common.lua and bench/bench_names.h use."""
    return b"n%015d" % i


# As bench/wrk_common.lua: cookies shaped like the ones the extension hands
# out, a name and 32 hex digits that differ early.
COOKIE_MULTIPLIERS = (1664525, 1103515, 2013265, 1234567)
COOKIE_OFFSETS = (1013904223, 12345, 2531011, 3141592653)


def bench_cookie(i):
    return b"pk=" + b"".join(
        b"%08x" % ((i * m + c) % 4294967296)
        for m, c in zip(COOKIE_MULTIPLIERS, COOKIE_OFFSETS))


def short_key(i):
    """A ~10-byte key for the reference stores."""
    return b"k:%08d" % i


class Protocol:
    """How one request is written and how its answers are counted."""

    def __init__(self, name, make_request, answer_end, good_prefix):
        self.name = name
        self.make_request = make_request
        self.answer_end = answer_end
        self.good_prefix = good_prefix


def pendrakel_protocol(host, cookies, per_cookie):
    value = b"v" * VALUE_BYTES
    head = b"Host: %s\r\nContent-Length: %d\r\n" % (host.encode(), VALUE_BYTES)

    def make(i):
        if cookies:
            cookie = b"Cookie: " + bench_cookie(i // per_cookie) + b"\r\n"
            name = bench_name(i % per_cookie)
        else:
            cookie = b""
            name = bench_name(i)
        return b"PUT /" + name + b" HTTP/1.1\r\n" + head + cookie + b"\r\n" + value

    # Answers have no body: each ends with the empty line.
    return Protocol("pendrakel", make, b"\r\n\r\n", b"HTTP/1.1 20")


def redis_protocol():
    value = b"v" * VALUE_BYTES

    def make(i):
        key = short_key(i)
        return (b"*3\r\n$3\r\nSET\r\n$%d\r\n%s\r\n$%d\r\n%s\r\n" %
                (len(key), key, len(value), value))

    return Protocol("redis", make, b"\r\n", b"+OK")


def memcached_protocol():
    value = b"v" * VALUE_BYTES

    def make(i):
        return b"set %s 0 0 %d\r\n%s\r\n" % (short_key(i), len(value), value)

    return Protocol("memcached", make, b"\r\n", b"STORED")


def fail(message):
    print("load_values: " + message, file=sys.stderr)
    sys.exit(1)


def read_answers(sock, protocol, count, pending):
    """Reads `count` answers; returns the bytes read past the last one."""
    while count > 0:
        end = pending.find(protocol.answer_end)
        if end < 0:
            chunk = sock.recv(1 << 20)
            if not chunk:
                fail("%s closed the connection" % protocol.name)
            pending += chunk
            continue
        answer = pending[:end]
        if not answer.startswith(protocol.good_prefix):
            fail("%s refused a value: %r" % (protocol.name, answer[:200]))
        pending = pending[end + len(protocol.answer_end):]
        count -= 1
    return pending


def load(address, protocol, count):
    with socket.create_connection(address) as sock:
        sock.settimeout(READ_TIMEOUT_SECONDS)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        pending = b""
        for start in range(0, count, BATCH):
            end = min(start + BATCH, count)
            sock.sendall(b"".join(protocol.make_request(i)
                                  for i in range(start, end)))
            pending = read_answers(sock, protocol, end - start, pending)
        if pending:
            fail("%s sent more answers than requests" % protocol.name)


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    fail("no VmRSS for process %d" % pid)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("protocol", choices=["pendrakel", "redis", "memcached"])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--count", type=int, required=True,
                        help="values to store in all")
    parser.add_argument("--cookies", type=int, default=0,
                        help="spread the values over this many cookies "
                             "(pendrakel only)")
    parser.add_argument("--pid", type=int,
                        help="process whose resident memory growth to report")
    args = parser.parse_args()
    if args.count <= 0:
        fail("--count must be positive")
    if args.cookies and args.count % args.cookies:
        fail("--count must be a multiple of --cookies")

    host = "127.0.0.1"
    if args.protocol == "pendrakel":
        per_cookie = args.count // args.cookies if args.cookies else 0
        protocol = pendrakel_protocol("%s:%d" % (host, args.port),
                                      args.cookies, per_cookie)
    elif args.protocol == "redis":
        protocol = redis_protocol()
    else:
        protocol = memcached_protocol()

    before = rss_kb(args.pid) if args.pid else 0
    started = time.monotonic()
    try:
        load((host, args.port), protocol, args.count)
    except OSError as error:
        fail("%s: %s" % (protocol.name, error))
    seconds = time.monotonic() - started
    line = "LOAD values=%d seconds=%.1f" % (args.count, seconds)
    if args.pid:
        after = rss_kb(args.pid)
        line += " rss_before_kb=%d rss_after_kb=%d bytes_per_value=%.1f" % (
            before, after, (after - before) * 1024.0 / args.count)
    print(line)


if __name__ == "__main__":
    main()
