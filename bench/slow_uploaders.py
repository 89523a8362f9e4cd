#!/usr/bin/env python3
"""How much trickling uploaders delay everyone else's uploads.

Times PUTs of 1 MiB from one client, first on a quiet host, then while
--clients other connections hold uploads open past the preload and trickle
one byte a second. Prints one line:

  slow_uploaders clients=N quiet_ms=P50/MAX trickling_ms=P50/MAX

Loopback only; every socket it opens is closed when it ends.
"""
import argparse
import resource
import socket
import statistics
import threading
import time

PRELOAD_PAST = 64 * 1024     # body bytes sent first: past the host's preload
DECLARED = 512 * 1024        # each trickler's declared Content-Length
PUT_BYTES = 1 << 20


def put_head(name, length):
    return (f"PUT /{name} HTTP/1.1\r\nHost: h\r\n"
            f"Content-Length: {length}\r\n\r\n").encode()


def timed_puts(port, count):
    times = []
    body = b"L" * PUT_BYTES
    with socket.create_connection(("127.0.0.1", port)) as s:
        for i in range(count):
            start = time.perf_counter()
            s.sendall(put_head(f"large{i % 4}", PUT_BYTES) + body)
            answer = s.recv(4096)
            if not answer.startswith(b"HTTP/1.1 20"):
                raise SystemExit(f"slow_uploaders: PUT answered {answer[:40]!r}")
            times.append((time.perf_counter() - start) * 1000)
    return f"{statistics.median(times):.1f}/{max(times):.1f}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--clients", type=int, default=1000)
    parser.add_argument("--puts", type=int, default=20)
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE,
                       (min(hard, max(soft, args.clients + 256)), hard))

    quiet = timed_puts(args.port, args.puts)
    tricklers = []
    for i in range(args.clients):
        s = socket.create_connection(("127.0.0.1", args.port))
        s.sendall(put_head(f"t{i}", DECLARED) + b"t" * PRELOAD_PAST)
        tricklers.append(s)
    stop = threading.Event()

    def trickle():
        while not stop.wait(1.0):
            for s in tricklers:
                try:
                    s.send(b"t")
                except OSError:
                    pass

    thread = threading.Thread(target=trickle)
    thread.start()
    time.sleep(1.0)
    try:
        trickling = timed_puts(args.port, args.puts)
    finally:
        stop.set()
        thread.join()
        for s in tricklers:
            s.close()
    print(f"slow_uploaders clients={args.clients} quiet_ms={quiet} "
          f"trickling_ms={trickling}")


if __name__ == "__main__":
    main()
