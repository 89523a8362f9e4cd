#!/usr/bin/env python3
"""Kernel memory held by clients that ask for a large value and never read.

Opens --clients connections that each send one GET for /bigMm (a value of
--value-mib M MiB: stored first with --store, else the server has it as a
file) and read nothing. Once the server has stopped
sending, prints one line:

  stalled_readers clients=N value_mib=M server_queued_kib=Q/reader
      tcp_mem_kib=T/reader

server_queued_kib: the bytes the server's sockets hold in their send queues
(`ss -tm`, skmem w), per reader. tcp_mem_kib: the growth of the machine's
TCP memory (/proc/net/sockstat, both ends of every loopback connection, so
it includes what the readers' own receive queues hold), per reader; other
traffic on the machine moves it too.

Loopback only; every socket it opens is closed when it ends.
"""
import argparse
import re
import socket
import subprocess
import time

SETTLE_SECONDS = 1.0
PAGE_KIB = 4


def tcp_mem_kib():
    with open("/proc/net/sockstat") as f:
        pages = int(re.search(r"^TCP:.* mem (\d+)", f.read(), re.M).group(1))
    return pages * PAGE_KIB


def server_queued_kib(port):
    out = subprocess.run(
        ["ss", "-tmnH", "state", "established", f"( sport = :{port} )"],
        capture_output=True, text=True, check=True).stdout
    return sum(int(w) for w in re.findall(r"\bw(\d+)", out)) / 1024


def store(port, name, size):
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.sendall(f"PUT {name} HTTP/1.1\r\nHost: h\r\nContent-Length: {size}"
                  f"\r\n\r\n".encode() + b"v" * size)
        if not s.recv(4096).startswith(b"HTTP/1.1 20"):
            raise SystemExit("stalled_readers: could not store the value")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--clients", type=int, default=100)
    parser.add_argument("--value-mib", type=int, default=16)
    parser.add_argument("--store", action="store_true")
    args = parser.parse_args()
    path = f"/big{args.value_mib}m"
    if args.store:
        store(args.port, path, args.value_mib << 20)
    before = tcp_mem_kib()
    readers = []
    try:
        for _ in range(args.clients):
            s = socket.create_connection(("127.0.0.1", args.port))
            s.sendall(f"GET {path} HTTP/1.1\r\nHost: h\r\n\r\n".encode())
            readers.append(s)
        time.sleep(SETTLE_SECONDS)
        queued = server_queued_kib(args.port) / args.clients
        grown = (tcp_mem_kib() - before) / args.clients
    finally:
        for s in readers:
            s.close()
    print(f"stalled_readers clients={args.clients} value_mib={args.value_mib} "
          f"server_queued_kib={queued:.0f}/reader tcp_mem_kib={grown:.0f}/reader")


if __name__ == "__main__":
    main()
