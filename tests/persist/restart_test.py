#!/usr/bin/env python3
"""Values that survive restarts and crashes, end to end: pendrakel-host with
the Persist setting stopped cleanly or killed and started again on the same
folder; torn and damaged files; a disk that fails and comes back; and no
file or thread at all without the setting.

Run by ctest as: restart_test.py HOST_BINARY MODULE_FILE
Starts each host on a free loopback port and stops it by its process id.
"""
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from host_support import request  # noqa: E402

HOST, MODULE = sys.argv[1], sys.argv[2]
START_SECONDS = 10
STOP_SECONDS = 30
BINARY = bytes(range(256)) * 3 + b"\0\0end"


class Store:
    """A host on the data folder `data`, its module and settings in a folder
    of their own; standard error kept in `self.errors`."""

    def __init__(self, test, data, inner="", sync="second", persist=True,
                 limit_file_size=False):
        self.folder = tempfile.mkdtemp(prefix="pendrakel-persist-host-")
        test.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        shutil.copy(MODULE, self.folder)
        element = f'<Persist Folder="{data}" Sync="{sync}"/>' if persist else ""
        with open(os.path.join(self.folder, "Pendrakel.setting"), "w") as f:
            f.write(f"<Settings>{inner}{element}</Settings>")
        self.errors_path = os.path.join(self.folder, "stderr")
        errors = open(self.errors_path, "w")
        # A write past a file-size limit then fails with EFBIG instead of
        # killing the process (the disposition survives exec).
        preexec = ((lambda: signal.signal(signal.SIGXFSZ, signal.SIG_IGN))
                   if limit_file_size else None)
        self.process = subprocess.Popen(
            [HOST, "--module", os.path.join(self.folder, "pendrakel.so"),
             "--listen", "127.0.0.1:0"], stdout=subprocess.PIPE,
            stderr=errors, text=True, preexec_fn=preexec)
        errors.close()
        test.addCleanup(self.kill)
        line = self.process.stdout.readline()
        self.started = line.startswith("listening on 127.0.0.1:")
        self.port = int(line.strip().rsplit(":", 1)[1]) if self.started else None

    def errors(self):
        with open(self.errors_path) as f:
            return f.read()

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        status = self.process.wait(STOP_SECONDS)
        self.process.stdout.close()
        return status

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(STOP_SECONDS)
        self.process.stdout.close()

    def put(self, name, body, headers=None):
        return request(self.port, "PUT", "/" + name, body, headers)

    def get(self, name, headers=None):
        status, head, body = request(self.port, "GET", "/" + name,
                                     headers=headers)
        return status, head.get("Content-Type"), body

    def stat(self):
        _, head, _ = request(self.port, "STAT", "/")
        return head


def settled_total(store):
    """X-Memory-Total once the journal has let go of the values it held (a
    replaced value stays counted until its record is written)."""
    time.sleep(0.3)
    return store.stat()["X-Memory-Total"]


class PersistTest(unittest.TestCase):
    def data(self):
        folder = tempfile.mkdtemp(prefix="pendrakel-persist-data-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        return folder

    def started(self, *args, **kwargs):
        store = Store(self, *args, **kwargs)
        self.assertTrue(store.started, store.errors())
        return store

    def refused(self, *args, **kwargs):
        """The line a store that does not start prints of its own."""
        store = Store(self, *args, **kwargs)
        self.assertFalse(store.started)
        self.assertEqual(store.process.wait(STOP_SECONDS), 1)
        lines = [l for l in store.errors().splitlines()
                 if l.startswith("pendrakel: ")]
        self.assertEqual(len(lines), 1, store.errors())
        return lines[0]


class CleanRestart(PersistTest):
    def test_everything_comes_back_in_both_distribute_modes(self):
        for distribute in ("true", "false"):
            with self.subTest(distribute=distribute):
                self.restart_keeps_everything(
                    f'<Cookie Distribute="{distribute}" Name="pk"/>'
                    '<GC Limit="0"/>', distribute == "true")

    def restart_keeps_everything(self, inner, distribute):
        data = self.data()
        store = self.started(data, inner)
        status, head, _ = store.put("binary", BINARY,
                                    {"Content-Type": "application/x-" + "t" * 300})
        self.assertEqual(status, 201)
        jar = {"Cookie": head["Set-Cookie"] if distribute else "own=1"}
        for name, body in (("binary", BINARY), ("plain", b"p"), ("gone", b"g"),
                           ("twice", b"first"), ("twice", b"second"),
                           ("empty", b"")):
            self.assertIn(store.put(name, body, jar)[0], (201, 204))
        self.assertEqual(request(store.port, "DELETE", "/gone", headers=jar)[0], 200)
        # Expiry is a time: 3 s from now, not 3 s from whenever it is loaded.
        stored = time.time()
        store.put("soon", b"s", dict(jar, **{"X-Param-Timeout": "3"}))
        store.put("expired", b"x", dict(jar, **{"X-Param-Timeout": "1"}))
        if not distribute:
            self.assertEqual(store.put("shared", b"sh")[0], 201)
        # Concurrent writers of one name: the last in the store's order wins.
        writers = [threading.Thread(target=lambda n=n: [
            store.put("raced", b"%d-%d" % (n, i), jar) for i in range(30)])
            for n in range(4)]
        for w in writers:
            w.start()
        for w in writers:
            w.join()
        raced = store.get("raced", jar)[2]
        total = settled_total(store)
        self.assertEqual(store.stop(), 0, store.errors())
        time.sleep(max(0.0, stored + 1.6 - time.time()))

        store = self.started(data, inner)
        stat = store.stat()
        self.assertEqual(stat["X-Memory-Total"], str(int(total) - 1),
                         "all but the expired value")
        self.assertEqual(stat["X-Counter-CMD-Set"], "0")
        self.assertEqual(stat["X-Counter-ValuesCreate"], "1")
        self.assertEqual(stat["X-Counter-ValueCollect"], "0")
        # Stored without a content type under the cookie; with one (and
        # without a cookie) in the shared collection or a new cookie's.
        self.assertEqual(store.get("binary", jar), (200, None, BINARY))
        self.assertEqual(store.get("plain", jar)[2], b"p")
        self.assertEqual(store.get("twice", jar)[2], b"second")
        self.assertEqual(store.get("empty", jar)[:3:2], (200, b""))
        self.assertEqual(store.get("gone", jar)[0], 404)
        self.assertEqual(store.get("expired", jar)[0], 404)
        self.assertEqual(store.get("raced", jar)[2], raced)
        self.assertEqual(store.get("soon", jar)[2], b"s")
        if not distribute:
            self.assertEqual(store.get("shared")[2], b"sh")
            self.assertEqual(store.get("binary")[1:],
                             ("application/x-" + "t" * 300, BINARY))
        time.sleep(max(0.0, stored + 3.2 - time.time()))
        self.assertEqual(store.get("soon", jar)[0], 404)
        self.assertEqual(store.stop(), 0, store.errors())
        self.assertEqual(store.errors(), "")

    def test_collections_idle_while_down_are_not_served(self):
        data = self.data()
        store = self.started(data, '<GC Limit="0"/>')
        store.put("v", b"kept", {"Cookie": "c=1"})
        store.put("s", b"shared")
        self.assertEqual(store.stop(), 0)
        # Every collection a request has used is idle at once under a
        # negative limit: none may be served, not even before a pass.
        store = self.started(data, '<GC Limit="-1"/>')
        self.assertEqual(store.stat()["X-Memory-Total"], "0")
        self.assertEqual(store.get("v", {"Cookie": "c=1"})[0], 404)
        self.assertEqual(store.stop(), 0)


class Crashes(PersistTest):
    def write_until_killed(self, store, seconds):
        """Four writers on their own names; each acknowledged write with the
        time its answer came."""
        acknowledged = []
        lock = threading.Lock()
        stop = threading.Event()

        def writer(n):
            i = 0
            while not stop.is_set():
                try:
                    status = store.put(f"w{n}-{i % 50}", b"%d" % i)[0]
                except OSError:
                    return
                if status in (201, 204):
                    with lock:
                        acknowledged.append((time.monotonic(), f"w{n}-{i % 50}", i))
                i += 1

        threads = [threading.Thread(target=writer, args=(n,)) for n in range(4)]
        for t in threads:
            t.start()
        time.sleep(seconds)
        store.process.kill()
        killed = time.monotonic()
        stop.set()
        for t in threads:
            t.join()
        store.kill()
        return acknowledged, killed

    def test_kill_loses_nothing_acknowledged_within_the_sync_promise(self):
        # With "second", what was answered more than about a second before.
        for sync, margin in (("always", 0.0), ("second", 1.5)):
            with self.subTest(sync=sync):
                data = self.data()
                store = self.started(data, sync=sync)
                acknowledged, killed = self.write_until_killed(store,
                                                               margin + 1.0)
                store = self.started(data, sync=sync)
                # The last value acknowledged in time, per name; a later one
                # (written but not yet answered) may be there instead.
                last = {}
                for at, name, i in acknowledged:
                    if at <= killed - margin:
                        last[name] = i
                self.assertGreater(len(last), 0)
                for name, i in last.items():
                    status, _, body = store.get(name)
                    self.assertEqual(status, 200, name)
                    self.assertGreaterEqual(int(body), i, name)
                self.assertEqual(store.stop(), 0, store.errors())


def journals(data):
    return sorted(f for f in os.listdir(data) if f.startswith("journal."))


def contents(data):
    found = {}
    for name in os.listdir(data):
        if name != "pendrakel.lock":
            with open(os.path.join(data, name), "rb") as f:
                found[name] = f.read()
    return found


class Damage(PersistTest):
    def stored(self):
        data = self.data()
        store = self.started(data)
        for n in range(20):
            store.put(f"v{n}", b"value %d" % n)
        self.assertEqual(store.stop(), 0)
        return data, os.path.join(data, journals(data)[-1])

    def test_a_torn_last_record_is_dropped_and_told(self):
        data, journal = self.stored()
        with open(journal, "ab") as f:
            f.write(b"\x40\0\0\0\0\0\0\0\x04")  # the head of a record cut short
        store = self.started(data)
        self.assertRegex(store.errors(), r"pendrakel: .*journal\.0000000001: "
                         r"dropped a torn last record of 9 bytes at offset \d+\n")
        self.assertEqual(store.get("v19")[2], b"value 19")
        store.put("after", b"a")
        self.assertEqual(store.stop(), 0)
        store = self.started(data)
        self.assertEqual(store.get("after")[2], b"a")
        self.assertEqual(store.errors(), "")

    def test_damage_elsewhere_fails_start_up_and_changes_nothing(self):
        data, journal = self.stored()
        size = os.path.getsize(journal)
        with open(journal, "r+b") as f:
            f.seek(size // 2)
            byte = f.read(1)
            f.seek(size // 2)
            f.write(bytes([byte[0] ^ 0x10]))
        before = contents(data)
        line = self.refused(data)
        # Every file but the lock, which the failed start held a while.
        self.assertRegex(line, r"journal\.0000000001: damaged at offset \d+: ")
        self.assertEqual(contents(data), before)
        # A file of another format version.
        data, journal = self.stored()
        with open(journal, "r+b") as f:
            header = bytearray(f.read(32))
            header[8] = 7  # the version, with a checksum that matches
            header[28:32] = zlib.crc32(bytes(header[:28])).to_bytes(4, "little")
            f.seek(0)
            f.write(header)
        self.assertIn("has format version 7; this build reads version 1",
                      self.refused(data))

    def check(self, data, sync="second"):
        """pendrakel-host --check on the settings of a store on `data`."""
        store = Store(self, data, sync=sync)
        store.kill()
        return subprocess.run(
            [HOST, "--check", "--module",
             os.path.join(store.folder, "pendrakel.so")],
            capture_output=True, text=True, timeout=START_SECONDS)

    def test_a_folder_it_cannot_use_is_refused_in_one_line(self):
        data = self.data()
        self.assertIn(f'Persist Folder "{data}/none" does not exist',
                      self.refused(f"{data}/none"))
        # The settings check says the same, and names what it would use.
        check = self.check(f"{data}/none")
        self.assertEqual(check.returncode, 1)
        self.assertIn(f'Persist Folder "{data}/none" does not exist',
                      check.stderr)
        check = self.check(data, sync="always")
        self.assertEqual(check.returncode, 0, check.stderr)
        self.assertIn(f'  Persist: Folder="{data}" Sync="always"\n',
                      check.stdout)
        first = self.started(data)
        line = self.refused(data)
        self.assertIn(f"{data} is in use by another process "
                      f"(pid {first.process.pid})", line)
        self.assertEqual(first.stop(), 0)


class FailingDisk(PersistTest):
    def test_writes_are_refused_while_the_disk_fails_and_none_acknowledged_is_lost(self):
        for sync in ("second", "always"):
            with self.subTest(sync=sync):
                self.failing_disk(sync)

    def failing_disk(self, sync):
        data = self.data()
        store = self.started(data, sync=sync, limit_file_size=True)
        self.assertEqual(store.put("before", b"b")[0], 201)
        time.sleep(0.2)  # written
        limit = os.path.getsize(os.path.join(data, journals(data)[-1])) + 60
        unlimited = resource.RLIM_INFINITY
        resource.prlimit(store.process.pid, resource.RLIMIT_FSIZE,
                         (limit, unlimited))
        statuses = [store.put(f"big{n}", b"x" * 100)[0] for n in range(3)]
        deadline = time.monotonic() + 5
        while store.put("probe", b"p")[0] != 500 and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(store.put("refused", b"r")[0], 500)
        self.assertEqual(request(store.port, "DELETE", "/before")[0], 500)
        self.assertEqual(store.get("before")[2], b"b")  # reads go on
        if sync == "always":
            # Not synced: answered as not stored, and not stored.
            self.assertEqual(statuses[0], 500)
            self.assertEqual(store.get("big0")[0], 404)
        resource.prlimit(store.process.pid, resource.RLIMIT_FSIZE,
                         (unlimited, unlimited))
        deadline = time.monotonic() + 5
        while store.put("after", b"a")[0] == 500 and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(store.get("after")[2], b"a")
        self.assertEqual(store.stop(), 0)
        errors = store.errors()
        self.assertRegex(errors, r"pendrakel: .*journal\.0000000001: cannot "
                         r"write \(File too large\); stores and deletes are "
                         r"refused until writing works again\n")
        self.assertRegex(errors, r"writing works again after \d+ s")
        acknowledged = [f"big{n}" for n in range(3) if statuses[n] in (201, 204)]
        store = self.started(data, sync=sync)
        for name in ["before", "after"] + acknowledged:
            self.assertEqual(store.get(name)[0], 200, name)
        if sync == "always":
            self.assertEqual(store.get("big0")[0], 404)
        self.assertEqual(store.stop(), 0)


def threads(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def written_files(pid):
    """Regular files the process holds open for writing."""
    found = []
    for fd in os.listdir(f"/proc/{pid}/fd"):
        if int(fd) <= 2:
            continue  # standard output and error, which the test gave it
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
            with open(f"/proc/{pid}/fdinfo/{fd}") as info:
                flags = int(re.search(r"flags:\s+(\d+)", info.read()).group(1), 8)
        except OSError:
            continue
        if target.startswith("/") and flags & (os.O_WRONLY | os.O_RDWR):
            found.append(target)
    return found


class WithoutTheSetting(PersistTest):
    def test_no_file_is_written_and_no_thread_is_added(self):
        data = self.data()
        kept = self.started(data)
        kept.put("v", b"v")
        plain = self.started(data, persist=False)
        plain.put("v", b"v")
        self.assertEqual(written_files(plain.process.pid), [])
        self.assertEqual(threads(plain.process.pid) + 1,
                         threads(kept.process.pid))
        self.assertEqual(plain.stop(), 0)
        self.assertEqual(kept.stop(), 0)
        self.assertEqual(plain.errors(), "")
        self.assertEqual(sorted(os.listdir(plain.folder)),
                         ["Pendrakel.setting", "pendrakel.so", "stderr"])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
