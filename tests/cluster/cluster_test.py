#!/usr/bin/env python3
"""Several pendrakel-host instances behind HAProxy (scripts/cluster.sh), end
to end on loopback: clients kept on the instance that holds their cookie's
collection, also when one instance dies; names routed to their instance
without cookies; TLS at the balancer; refused command lines.

Run by ctest as: cluster_test.py CLUSTER_SCRIPT HOST_BINARY MODULE_FILE
"""
import http.client
import itertools
import os
import re
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from cluster_support import (CLUSTER_SCRIPT, HOST, MODULE, STOP_SECONDS,
                             Cluster, make_certificate, metric, process_alive,
                             request)

DISTRIBUTE = '<Settings><Cookie Distribute="true" Name="pk"/></Settings>'
# HAProxy's prefix: the instance's cookie id (iK for instance K) and "~".
HANDED_OUT = re.compile(r"pk=i(\d+)~[0-9a-f]{32}")
CLIENTS = 150


def handed_out(headers):
    """The cookie in a Set-Cookie line, and the instance it names."""
    line = headers.get("Set-Cookie")
    match = HANDED_OUT.fullmatch(line or "")
    if not match:
        raise AssertionError(f"Set-Cookie: {line!r}")
    return line, int(match.group(1))


class ClusterTest(unittest.TestCase):
    def folder(self):
        """A temporary folder removed when the test ends."""
        folder = tempfile.TemporaryDirectory(prefix="pendrakel-cluster-")
        self.addCleanup(folder.cleanup)
        return folder.name


class DistributedCookies(ClusterTest):
    def setUp(self):
        self.cluster = Cluster(self, 3, DISTRIBUTE)

    def store_and_read(self, number):
        """A new client stores two values and reads them back; its cookie
        and the instance that gave it."""
        port = self.cluster.port
        status, headers, _ = request(port, "PUT", f"/c{number}/a", b"a%d" % number)
        self.assertEqual(status, 201)
        cookie, instance = handed_out(headers)
        status, headers, _ = request(port, "PUT", f"/c{number}/b", b"b%d" % number,
                                     {"Cookie": cookie})
        self.assertEqual((status, headers.get("Set-Cookie")), (201, None))
        self.assert_reads(cookie, number)
        return cookie, instance

    def assert_reads(self, cookie, number):
        for name in "ab":
            status, headers, body = request(self.cluster.port, "GET",
                                            f"/c{number}/{name}",
                                            headers={"Cookie": cookie})
            self.assertEqual((status, body, headers.get("Set-Cookie")),
                             (200, b"%s%d" % (name.encode(), number), None))

    def test_clients_keep_their_instance_and_start_afresh_when_it_dies(self):
        clients = [self.store_and_read(n) for n in range(CLIENTS)]
        per_instance = {i.number: 0 for i in self.cluster.instances}
        for _, instance in clients:
            per_instance[instance] += 1
        for instance in self.cluster.instances:
            # Each collection on one instance, which handed out one cookie
            # per client: nobody was given a second one.
            self.assertGreater(per_instance[instance.number], 0)
            self.assertEqual(
                metric(instance, "pendrakel_store_cookie_distribute_total"),
                per_instance[instance.number])

        lost = self.cluster.instances[1]
        os.kill(lost.pid, signal.SIGKILL)
        for number, (cookie, instance) in enumerate(clients):
            if instance != lost.number:
                self.assert_reads(cookie, number)
                continue
            status, headers, _ = request(self.cluster.port, "GET",
                                         f"/c{number}/a",
                                         headers={"Cookie": cookie})
            self.assertEqual(status, 404)  # a fresh, empty collection
            fresh, elsewhere = handed_out(headers)
            self.assertNotEqual(elsewhere, lost.number)
            status, _, _ = request(self.cluster.port, "PUT", f"/c{number}/a",
                                   b"again", {"Cookie": fresh})
            self.assertEqual(status, 201)
            self.assertEqual(request(self.cluster.port, "GET", f"/c{number}/a",
                                     headers={"Cookie": fresh})[2], b"again")
        self.assertEqual(self.cluster.stop(), 0, self.cluster.stderr())
        self.assertIn(f"instance {lost.number} pid {lost.pid} ended",
                      self.cluster.stderr())


# Distribute in a namespace-prefixed element, which the module ignores: the
# balancer must follow the module and route by hash.
PREFIXED_COOKIE = ('<Settings xmlns:p="urn:other">'
                   '<p:Cookie Distribute="true" Name="pk"/></Settings>')


class NamesWithoutDistribution(ClusterTest):
    def test_every_name_and_own_cookie_reaches_the_instance_that_holds_it(self):
        cluster = Cluster(self, 3, PREFIXED_COOKIE)
        port = cluster.port
        # The empty name: a command without X-Param-Name, or the bare path.
        self.assertEqual(request(port, "POST", "/set", b"empty")[0], 200)
        for n in range(8):
            status, headers, body = request(port, "POST", ("/get", "/GET")[n % 2])
            self.assertEqual((headers["x-result-code"], body), ("0", b"empty"))
            self.assertEqual(request(port, "GET", "/")[2], b"empty")
        for n in range(40):
            # The same name in either form, escaped or not, with a "/".
            name = f"n{n}/x"
            if n % 2:
                status, _, _ = request(port, "PUT", f"/n{n}%2Fx", b"%d" % n)
                self.assertEqual(status, 201)
            else:
                status, headers, _ = request(port, "POST", "/set", b"%d" % n,
                                             {"X-Param-Name": name})
                self.assertEqual((status, headers["x-result-code"]), (200, "0"))
        for n in range(40):
            status, _, body = request(port, "GET", f"/n{n}/x")
            self.assertEqual((status, body), (200, b"%d" % n))
            status, headers, body = request(port, "POST", "/get",
                                            headers={"X-Param-Name": f"n{n}/x"})
            self.assertEqual((headers["x-result-code"], body), ("0", b"%d" % n))
        for instance in cluster.instances:  # the names are spread
            self.assertGreater(
                metric(instance, "pendrakel_store_memory_bytes"), 0)
        # A client's own cookie names one collection, on one instance.
        created = [metric(i, "pendrakel_store_values_create_total")
                   for i in cluster.instances]
        for n in range(20):
            for name in ("/k1", "/k2", "/k3"):
                self.assertEqual(request(port, "PUT", name, b"k%d" % n,
                                         {"Cookie": f"own={n}"})[0], 201)
        for n in range(20):
            for name in ("/k1", "/k2", "/k3"):
                status, headers, body = request(port, "GET", name,
                                                headers={"Cookie": f"own={n}"})
                self.assertEqual((status, body, headers.get("Set-Cookie")),
                                 (200, b"k%d" % n, None))
        created = [metric(i, "pendrakel_store_values_create_total") - before
                   for i, before in zip(cluster.instances, created)]
        self.assertEqual(sum(created), 20)
        self.assertLess(max(created), 20)  # and the cookies are spread
        # A name the balancer cannot read as the store would is refused.
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
        connection.putrequest("POST", "/get")
        for name in ("n1/x", "n2/x"):
            connection.putheader("X-Param-Name", name)
        connection.endheaders()
        self.assertEqual(connection.getresponse().status, 400)
        connection.close()
        self.assertEqual(cluster.stop(), 0, cluster.stderr())
        # SIGTERM stopped everything it started.
        for instance in cluster.instances:
            self.assertFalse(process_alive(instance.pid))
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", port), timeout=2)


class TlsAtTheBalancer(ClusterTest):
    def test_store_and_read_over_tls_with_a_self_signed_certificate(self):
        pem, cert = make_certificate(self)
        tls = ssl.create_default_context(cafile=cert)
        cluster = Cluster(self, 2, DISTRIBUTE, tls_cert=pem)
        for n in range(10):
            status, headers, _ = request(cluster.port, "PUT", "/secret",
                                         b"s%d" % n, tls=tls)
            self.assertEqual(status, 201)
            cookie, _ = handed_out(headers)
            status, _, body = request(cluster.port, "GET", "/secret",
                                      headers={"Cookie": cookie}, tls=tls)
            self.assertEqual((status, body), (200, b"s%d" % n))
        self.assertEqual(cluster.stop(), 0, cluster.stderr())


class RollingRestart(ClusterTest):
    """SIGHUP restarts every instance, one at a time, while clients keep
    working: each keeps its instance and its cookie, no request fails, and
    every acknowledged value is there afterwards."""

    def roll_under_clients(self, settings, work):
        cluster = Cluster(self, 3, settings, persist=self.folder())
        before = [(i.number, i.port, i.admin) for i in cluster.instances]
        failures, stop = [], threading.Event()

        def client(n):
            state = {}
            for i in itertools.count():
                if stop.is_set():
                    return
                failures.extend(work(cluster.port, n, i, state))

        clients = [threading.Thread(target=client, args=(n,)) for n in range(6)]
        for c in clients:
            c.start()
        time.sleep(0.5)
        pids = [i.pid for i in cluster.instances]
        after = cluster.restart()
        time.sleep(0.5)
        stop.set()
        for c in clients:
            c.join()
        self.assertEqual(failures, [])
        self.assertEqual([(i.number, i.port, i.admin) for i in after], before)
        self.assertTrue(all(i.pid not in pids for i in after))
        self.assertEqual(cluster.stop(), 0, cluster.stderr())

    def test_a_browsers_cookie_and_values_outlive_the_roll(self):
        def browser(port, n, i, jar):
            """A client that keeps the cookie it is handed, as a browser
            does; what went wrong in one store and one read back."""
            headers = {"Cookie": jar["cookie"]} if "cookie" in jar else {}
            status, head, _ = request(port, "PUT", f"/v{i}", b"%d" % i, headers)
            wrong = []
            if "cookie" not in jar:
                jar["cookie"], _ = handed_out(head)
                jar["first"] = i
            elif head.get("Set-Cookie"):
                wrong.append(("a new cookie", n, i))
            if status != 201:
                wrong.append(("PUT", n, i, status))
            # A value from before the roll, and the one just stored.
            for name in (jar["first"], i):
                status, _, body = request(port, "GET", f"/v{name}",
                                          headers={"Cookie": jar["cookie"]})
                if (status, body) != (200, b"%d" % name):
                    wrong.append(("GET", n, name, status, body))
            return wrong

        self.roll_under_clients(DISTRIBUTE, browser)

    def test_names_without_cookies_outlive_the_roll(self):
        def names(port, n, i, state):
            name = f"c{n}-{i}"
            status, head, _ = request(port, "POST", "/set", b"%d" % i,
                                      {"X-Param-Name": name})
            wrong = []
            if (status, head.get("x-result-code")) != (200, "0"):
                wrong.append(("set", name, status))
            state.setdefault("first", name)
            for read in (state["first"], name):
                status, _, body = request(port, "GET", "/" + read)
                if status != 200 or not body.isdigit():
                    wrong.append(("GET", read, status, body))
            return wrong

        self.roll_under_clients("", names)


class KilledScript(ClusterTest):
    def test_nothing_it_started_outlives_a_sigkill(self):
        cluster = Cluster(self, 2)
        os.kill(cluster.process.pid, signal.SIGKILL)
        cluster.process.wait(STOP_SECONDS)
        for _ in range(STOP_SECONDS * 10):
            alive = [i.pid for i in cluster.instances if process_alive(i.pid)]
            try:
                socket.create_connection(("127.0.0.1", cluster.port), timeout=1).close()
            except OSError:
                if not alive:
                    return
            time.sleep(0.1)
        self.fail(f"still running: instances {alive} or the balancer")


class RefusedCommandLines(ClusterTest):
    def refusal(self, *args, settings=None):
        if settings is not None:
            path = os.path.join(self.folder(), "Pendrakel.setting")
            with open(path, "w") as f:
                f.write(settings)
            args += ("--settings", path)
        env = dict(os.environ, PENDRAKEL_HOST_BINARY=HOST, PENDRAKEL_MODULE=MODULE)
        done = subprocess.run(["bash", CLUSTER_SCRIPT, *args], capture_output=True,
                              text=True, timeout=60, env=env)
        self.assertEqual(done.returncode, 2, done.stderr)
        self.assertEqual(done.stdout, "")
        lines = done.stderr.splitlines()
        self.assertEqual(len(lines), 1, done.stderr)
        self.assertTrue(lines[0].startswith("cluster.sh: "), lines[0])
        return lines[0]

    def test_bad_options_and_settings_the_balancer_cannot_follow(self):
        listen = ("--listen", "127.0.0.1:0")
        self.assertIn("--instances", self.refusal("--instances", "0", *listen))
        self.assertIn("--listen", self.refusal("--instances", "2", "--listen", "8080"))
        for port in ("18446744073709551617", str(2**63), "65536"):
            self.assertIn(f"no port {port}", self.refusal(
                "--instances", "2", "--listen", f"127.0.0.1:{port}"))
        self.assertIn("unknown option", self.refusal("--instances", "2", "--x", "1"))
        self.assertIn("PEM", self.refusal("--instances", "2", *listen,
                                          "--tls-cert", "/nonexistent.pem"))
        self.assertIn("Name", self.refusal(
            "--instances", "2", *listen,
            settings='<Settings><Cookie Distribute="true"/></Settings>'))
        self.assertIn("well-formed", self.refusal(
            "--instances", "2", *listen, settings="<Settings>"))
        # What the module would refuse, in its loader's words.
        self.assertIn('Cookie Attributes "Path=/\\x0a" holds a control character',
                      self.refusal("--instances", "2", *listen, settings=(
                          '<Settings><Cookie Attributes="Path=/&#10;"/></Settings>')))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
