#!/usr/bin/env python3
"""What operators use of pendrakel-host, end to end: the admin port's
/metrics parsed with the Prometheus client library's own parser, /healthz
through a shutdown, the access log through a rotation, and the settings
check against what the module itself accepts.

Run by ctest as: operating_test.py HOST_BINARY MODULE_FILE
Starts the host on free loopback ports and stops it by its process id.
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from prometheus_client.parser import text_string_to_metric_families

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import host_support  # noqa: E402
from host_support import request  # noqa: E402

HOST, MODULE = sys.argv[1], sys.argv[2]


def start(test, settings, *flags, nofile=None):
    """A host with the admin port, stopped when `test` ends."""
    return host_support.Host(test, HOST, MODULE, settings,
                             "--admin-listen", "127.0.0.1:0", *flags,
                             nofile=nofile)


def scrape(host):
    status, headers, data = request(host.admin, "GET", "/metrics")
    assert status == 200
    assert headers["Content-Type"] == "text/plain; version=0.0.4"
    families = {f.name: f for f in text_string_to_metric_families(data.decode())}
    samples = {}
    for family in families.values():
        for sample in family.samples:
            key = sample.name + "".join(
                f"|{k}={v}" for k, v in sorted(sample.labels.items()))
            samples[key] = sample.value
    return families, samples


class AdminPort(unittest.TestCase):
    def setUp(self):
        self.host = start(self, '<Settings><Cookie Distribute="true" Name="pk"/></Settings>')

    def test_metrics_carry_the_store_and_the_host_figures(self):
        port = self.host.port
        status, headers, _ = request(port, "PUT", "/greeting", b"hello")
        cookie = headers["Set-Cookie"]
        self.assertEqual(status, 201)
        status, _, data = request(port, "GET", "/greeting",
                                  headers={"Cookie": cookie})
        self.assertEqual((status, data), (200, b"hello"))
        self.assertEqual(request(port, "GET", "/absent",
                                 headers={"Cookie": cookie})[0], 404)
        with socket.create_connection(("127.0.0.1", port)) as s:
            s.sendall(b"GET / HTTP/1.1\r\n\r\n")  # no Host: refused
            s.recv(1000)
        families, samples = scrape(self.host)
        for family in families.values():
            self.assertTrue(family.documentation, family.name)
            self.assertNotEqual(family.type, "unknown", family.name)
        self.assertEqual(samples["pendrakel_store_memory_bytes"], 5)
        self.assertEqual(samples["pendrakel_store_cmd_set_ok_total"], 1)
        self.assertEqual(samples["pendrakel_store_cmd_get_not_found_total"], 1)
        for code, count in (("201", 1), ("200", 1), ("404", 1), ("400", 1)):
            self.assertEqual(
                samples[f"pendrakel_http_requests_total|code={code}"], count)
        self.assertEqual(
            samples["pendrakel_http_request_duration_seconds_count"], 3)
        self.assertGreater(samples["pendrakel_http_received_bytes_total"], 0)
        self.assertGreaterEqual(
            samples["pendrakel_connections_accepted_total"], 4)
        self.assertEqual(samples["pendrakel_access_log_dropped_lines_total"], 0)
        # Every I/O thread runs the loop asked for (io_uring unless the
        # kernel refuses it).
        loops = {key.split("loop=")[1]: value for key, value in samples.items()
                 if key.startswith("pendrakel_io_threads|")}
        self.assertEqual(sum(loops.values()), os.cpu_count())
        if os.environ.get("PENDRAKEL_TEST_IO") == "epoll":
            self.assertEqual(list(loops), ["epoll"])

    def test_admin_requests_reach_no_collection(self):
        _, before = scrape(self.host)
        for _ in range(5):
            self.assertEqual(request(self.host.admin, "GET", "/healthz")[0], 200)
        self.assertEqual(request(self.host.admin, "GET", "/other")[0], 404)
        self.assertEqual(request(self.host.admin, "POST", "/metrics")[0], 405)
        _, after = scrape(self.host)
        self.assertEqual(after["pendrakel_store_values_create_total"],
                         before["pendrakel_store_values_create_total"])
        self.assertEqual(after["pendrakel_store_cookie_distribute_total"], 0)
        self.assertEqual(after["pendrakel_store_stat_probes_total"], 2)
        self.assertEqual(after["pendrakel_store_cmd_stat_total"], 1)
        self.assertNotIn("pendrakel_http_requests_total|code=200", after)

    def test_health_turns_503_when_shutdown_begins(self):
        # An upload in progress keeps the host in its shutdown grace.
        upload = socket.create_connection(("127.0.0.1", self.host.port))
        upload.sendall(b"PUT /u HTTP/1.1\r\nHost: h\r\nContent-Length: 200000\r\n\r\n"
                       + b"u" * 60000)
        time.sleep(0.2)
        self.host.process.send_signal(signal.SIGTERM)
        deadline = time.monotonic() + 3
        status = 200
        while status == 200 and time.monotonic() < deadline:
            status = request(self.host.admin, "GET", "/healthz")[0]
            time.sleep(0.05)
        self.assertEqual(status, 503)
        self.assertIsNone(self.host.process.poll())
        upload.close()
        self.assertEqual(self.host.process.wait(15), 0)


# The combined log format, with the microseconds the request took added.
LOG_LINE = re.compile(r'^(\S+) - - \[(\d\d/\w{3}/\d{4}:\d\d:\d\d:\d\d \+0000)\] '
                      r'"((?:[^"\\]|\\x[0-9a-f]{2})*)" (\d{3}) (\d+|-) '
                      r'"([^"]*)" "([^"]*)" (\d+)$')


class AccessLog(unittest.TestCase):
    def test_lines_are_combined_format_and_sighup_reopens_the_file(self):
        folder = tempfile.mkdtemp(prefix="pendrakel-log-")
        path = os.path.join(folder, "access.log")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        host = start(self, "<Settings/>", "--access-log", path)
        request(host.port, "PUT", "/a%20b", b"hello")
        request(host.port, "GET", "/a%20b?x=1",
                headers={"User-Agent": 'ua "quoted" \\', "Referer": "r"})
        with socket.create_connection(("127.0.0.1", host.port)) as s:
            s.sendall(b"GET / HTTP/1.1\r\n\r\n")  # no Host: refused
            s.recv(1000)
        rotated = path + ".1"
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and (
                not os.path.exists(path) or open(path).read().count("\n") < 3):
            time.sleep(0.05)
        os.rename(path, rotated)
        host.process.send_signal(signal.SIGHUP)
        time.sleep(0.3)
        request(host.port, "GET", "/after")
        host.process.send_signal(signal.SIGTERM)
        self.assertEqual(host.process.wait(10), 0)
        old = [LOG_LINE.match(line) for line in open(rotated).read().splitlines()]
        self.assertTrue(all(old), old)
        # Lines of different I/O threads may come in either order.
        fields = sorted((m.groups() for m in old), key=lambda f: f[2])
        self.assertEqual([(f[2], f[3], f[4]) for f in fields],
                         [("GET / HTTP/1.1", "400", "-"),
                          ("GET /a%20b?x=1 HTTP/1.1", "200", "5"),
                          ("PUT /a%20b HTTP/1.1", "201", "0")])
        self.assertEqual(fields[1][5:7], ("r", "ua \\x22quoted\\x22 \\x5c"))
        new = open(path).read().splitlines()
        self.assertEqual(len(new), 1)
        self.assertIn('"GET /after HTTP/1.1" 404 0', new[0])

    def test_the_hosts_own_answers_have_lines(self):
        folder = tempfile.mkdtemp(prefix="pendrakel-log-")
        path = os.path.join(folder, "access.log")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        # One I/O thread, so that the first client is the one that gets the
        # only slot.
        host = start(self, "<Settings/>", "--access-log", path, "--threads",
                     "1", "--max-connections", "1", "--head-timeout", "1",
                     "--read-timeout", "1")
        with socket.create_connection(("127.0.0.1", host.port)) as slow_head:
            slow_head.sendall(b"GET / HTTP/1.1\r\n")
            time.sleep(0.2)
            with socket.create_connection(("127.0.0.1", host.port)) as extra:
                self.assertEqual(status_of(extra), 503)  # the only slot is taken
            self.assertEqual(status_of(slow_head), 408)
        time.sleep(0.1)  # the slot comes back once the host has closed
        with socket.create_connection(("127.0.0.1", host.port)) as slow_body:
            slow_body.sendall(b"PUT /c HTTP/1.1\r\nHost: h\r\n"
                              b"Transfer-Encoding: chunked\r\n\r\n1\r\na\r\n")
            self.assertEqual(status_of(slow_body), 408)
        host.process.send_signal(signal.SIGTERM)
        self.assertEqual(host.process.wait(10), 0)
        with open(path) as log:
            lines = [LOG_LINE.match(line) for line in log.read().splitlines()]
        self.assertTrue(all(lines), lines)
        self.assertEqual(sorted((m.group(3), m.group(4)) for m in lines),
                         [("-", "503"), ("GET / HTTP/1.1", "408"),
                          ("PUT /c HTTP/1.1", "408")])


def status_of(sock):
    """The status code of the answer on `sock`, or None when none came."""
    sock.settimeout(host_support.REQUEST_SECONDS)
    try:
        return int(sock.recv(64)[9:12])
    except (OSError, ValueError):
        return None


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Descriptors(unittest.TestCase):
    def test_connection_limit_fits_the_descriptors_and_every_client_is_answered(self):
        # The soft limit is raised to the hard one, 128; less the spares
        # and the admin port's share that leaves 48 connections.
        host = start(self, "<Settings/>", nofile=(100, 128))
        self.assertIn("--max-connections lowered from 4096 to 48: the "
                      "descriptor limit is 128", host.stderr())
        clients = [socket.create_connection(("127.0.0.1", host.port))
                   for _ in range(160)]
        for client in clients:
            client.sendall(b"GET /v HTTP/1.1\r\nHost: h\r\n\r\n")
        statuses = [status_of(client) for client in clients]
        for client in clients:
            client.close()
        self.assertEqual((statuses.count(404), statuses.count(503)), (48, 112))

    def test_admin_port_has_a_limit_of_its_own(self):
        host = start(self, "<Settings/>")
        idle = [socket.create_connection(("127.0.0.1", host.admin))
                for _ in range(16)]
        with socket.create_connection(("127.0.0.1", host.admin)) as extra:
            self.assertEqual(status_of(extra), 503)
        idle.pop().close()
        time.sleep(0.2)
        with socket.create_connection(("127.0.0.1", host.admin)) as next_one:
            next_one.sendall(b"GET /healthz HTTP/1.1\r\nHost: h\r\n\r\n")
            self.assertEqual(status_of(next_one), 200)
        for client in idle:
            client.close()

    @unittest.skipIf(os.environ.get("PENDRAKEL_UNDEFINED_SANITIZER"),
                     "UBSan's checks fail when out of descriptors")
    def test_admin_port_out_of_descriptors_waits_instead_of_spinning(self):
        host = start(self, "<Settings/>", "--threads", "1", nofile=(26, 26))
        # The admin port's 16 sessions need more descriptors than are left.
        clients = [socket.create_connection(("127.0.0.1", host.admin))
                   for _ in range(16)]
        time.sleep(0.3)
        before = cpu_seconds(host.process.pid)
        time.sleep(1)
        self.assertLess(cpu_seconds(host.process.pid) - before, 0.1)
        for client in clients:
            client.close()
        # Served again once the host has seen those clients go.
        deadline = time.monotonic() + host_support.REQUEST_SECONDS
        status = None
        while status != 200 and time.monotonic() < deadline:
            try:
                status = request(host.admin, "GET", "/healthz")[0]
            except OSError:
                time.sleep(0.1)
        self.assertEqual(status, 200)


def unsent_bytes(port):
    """Bytes the sockets on local `port` hold that the peer has not acked
    (/proc/net/tcp's tx_queue), by socket."""
    queued = []
    with open("/proc/net/tcp") as table:
        for row in table.read().splitlines()[1:]:
            fields = row.split()
            if int(fields[1].split(":")[1], 16) == port and fields[3] == "01":
                queued.append(int(fields[4].split(":")[0], 16))
    return queued


class StalledReaders(unittest.TestCase):
    def test_a_reader_that_stops_holds_little_kernel_memory(self):
        host = start(self, "<Settings/>")
        value = b"v" * (16 << 20)
        self.assertEqual(request(host.port, "PUT", "/big", value)[0], 201)
        readers = [socket.create_connection(("127.0.0.1", host.port))
                   for _ in range(4)]
        for reader in readers:
            reader.sendall(b"GET /big HTTP/1.1\r\nHost: h\r\n\r\n")
        time.sleep(0.5)  # the host sends what the sockets take, then waits
        queued = unsent_bytes(host.port)
        self.assertEqual(len(queued), 4)
        # Without a bound the send buffer grows to megabytes per reader.
        self.assertLess(max(queued), 512 * 1024, queued)
        for reader in readers:
            reader.close()
        status, _, data = request(host.port, "GET", "/big")
        self.assertEqual((status, len(data)), (200, len(value)))


class SettingsCheck(unittest.TestCase):
    """--check reads the file as the module does: what it refuses, the
    module refuses to start with, and what it accepts, the module takes."""

    CASES = [
        ("<Settings><GC Limit=\"abc\"/></Settings>", 'GC Limit "abc" is not a number'),
        ("<Settings>\n<GC Limit=\"5\"\n</Settings>", "the file is not well-formed at line 3"),
        ("<Settings><Cookie Name=\"" + "n" * 300 + "\"/></Settings>",
         "Cookie Name \"" + "n" * 64 + "\"... (300 bytes) is too long for its field"),
        ("<Settings><DefaultContentType>a&#10;b</DefaultContentType></Settings>",
         'DefaultContentType "a\\x0ab" holds a control character'),
        ("<Settings><Cookie Attributes=\"Path=/;&#9;Secure\"/></Settings>",
         'Cookie Attributes "Path=/;\\x09Secure" holds a control character'),
        ("<Settings><Memory Max=\"-1\"/></Settings>", 'Memory Max "-1" is out of range'),
    ]

    def run_host(self, folder, *flags):
        return subprocess.run(
            [HOST, "--module", os.path.join(folder, os.path.basename(MODULE)),
             "--listen", "127.0.0.1:0", *flags],
            capture_output=True, text=True, timeout=20)

    def test_refusals_name_the_part_and_the_module_refuses_the_same(self):
        folder = tempfile.mkdtemp(prefix="pendrakel-check-")
        shutil.copy(MODULE, folder)
        try:
            for text, expected in self.CASES:
                with open(os.path.join(folder, "Pendrakel.setting"), "w") as f:
                    f.write(text)
                check = self.run_host(folder, "--check")
                self.assertEqual(check.returncode, 1, text)
                self.assertEqual(check.stderr.count("\n"), 1, check.stderr)
                self.assertIn(expected, check.stderr)
                self.assertEqual(self.run_host(folder).returncode, 1, text)
            # A link that leads nowhere is no missing file.
            setting = os.path.join(folder, "Pendrakel.setting")
            os.remove(setting)
            os.symlink(os.path.join(folder, "gone.setting"), setting)
            check = self.run_host(folder, "--check")
            self.assertEqual((check.returncode, check.stderr.count("\n")),
                             (1, 1), check.stderr)
            self.assertEqual(self.run_host(folder).returncode, 1)
        finally:
            shutil.rmtree(folder, ignore_errors=True)

    def test_no_text_of_the_file_can_pose_as_another_line(self):
        host = start(self, '<Settings><CmdName Get="g&#10;  Memory Max: 1 bytes"'
                           ' Nop="&quot;q\\"/>'
                           '<PathBase>/a&#13;&#10;b/</PathBase></Settings>')
        check = self.run_host(host.folder, "--check")
        self.assertEqual(check.returncode, 0, check.stderr)
        lines = check.stdout.splitlines()
        self.assertEqual([l for l in lines if l.startswith("  Memory Max:")],
                         ["  Memory Max: 0 (no limit)"])
        self.assertIn('Get="g\\x0a  Memory Max: 1 bytes"', check.stdout)
        self.assertIn('Nop="\\x22q\\x5c"', check.stdout)
        self.assertIn('PathBase: "/a\\x0d\\x0ab/"', check.stdout)

    def test_a_good_file_is_ok_with_the_values_it_gives(self):
        host = start(self, '<Settings><GC Limit="5"/><Memory Max="5"/>'
                           '<Cookie Attributes="Path=/"/></Settings>')
        check = self.run_host(host.folder, "--check")
        self.assertEqual(check.returncode, 0, check.stderr)
        self.assertTrue(check.stdout.startswith("settings OK: "))
        self.assertIn("GC Limit: 5 minutes", check.stdout)
        self.assertIn("Memory Max: 5 bytes", check.stdout)
        self.assertIn('Cookie Attributes: "Path=/"', check.stdout)
        # The module took the same file: it refuses a sixth byte.
        self.assertEqual(request(host.port, "PUT", "/v", b"123456")[0], 500)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
