#!/usr/bin/env python3
"""Times a pendrakel-host start-up: from the exec to its "listening on" line
(the module loads its store's files before it answers), then reads its
resident memory and stops it with SIGTERM, timing the stop too.

  startup_time.py HOST MODULE

Prints one line: "start_seconds=S rss_kb=R stop_seconds=T". Exits non-zero
with a one-line message when the host does not start.
"""
import signal
import subprocess
import sys
import time

STOP_SECONDS = 120


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    host, module = sys.argv[1], sys.argv[2]
    began = time.monotonic()
    process = subprocess.Popen([host, "--module", module, "--listen",
                                "127.0.0.1:0"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    line = process.stdout.readline()
    started = time.monotonic() - began
    if not line.startswith("listening on "):
        process.kill()
        errors = process.communicate()[1].strip().splitlines()
        sys.exit("startup_time: the host did not start: %s" %
                 (errors[-1] if errors else line.strip()))
    rss = rss_kb(process.pid)
    stopping = time.monotonic()
    process.send_signal(signal.SIGTERM)
    process.wait(STOP_SECONDS)
    print("start_seconds=%.3f rss_kb=%d stop_seconds=%.3f" %
          (started, rss, time.monotonic() - stopping))


if __name__ == "__main__":
    main()
