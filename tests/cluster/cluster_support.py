"""A cluster of pendrakel-host instances behind HAProxy, as the tests see it:
scripts/cluster.sh started in the foreground and stopped by its process id,
and one-request HTTP(S) clients.

The tests are run by ctest as: TEST.py CLUSTER_SCRIPT HOST_BINARY MODULE_FILE
"""
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import host_support  # noqa: E402
from host_support import REQUEST_SECONDS, request  # noqa: E402,F401

CLUSTER_SCRIPT, HOST, MODULE = sys.argv[1], sys.argv[2], sys.argv[3]

# Bounds: the cluster coming up (cluster.sh checks its packages first), one
# request, and the cluster stopping (HAProxy, then each instance's grace).
START_SECONDS = 60
STOP_SECONDS = 30

INSTANCE_LINE = re.compile(
    r"instance (\d+) pid (\d+) listening on 127\.0\.0\.1:(\d+)"
    r" admin 127\.0\.0\.1:(\d+)")
CLUSTER_LINE = re.compile(r"cluster listening on 127\.0\.0\.1:(\d+)")
RESTARTED_LINE = re.compile(r"cluster restarted")


class Instance:
    def __init__(self, match):
        self.number, self.pid, self.port, self.admin = map(int, match.groups())


class Cluster:
    """cluster.sh with `count` instances on loopback, `settings` the text of
    their settings file (none when empty), stopped and removed when the
    unittest.TestCase `test` ends."""

    def __init__(self, test, count, settings="", tls_cert=None, persist=None):
        self.folder = tempfile.mkdtemp(prefix="pendrakel-cluster-test-")
        test.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        args = ["bash", CLUSTER_SCRIPT, "--instances", str(count),
                "--listen", "127.0.0.1:0"]
        if settings:
            path = os.path.join(self.folder, "Pendrakel.setting")
            with open(path, "w") as f:
                f.write(settings)
            args += ["--settings", path]
        if tls_cert:
            args += ["--tls-cert", tls_cert]
        if persist:
            args += ["--persist", persist]
        self.errors_path = os.path.join(self.folder, "stderr")
        errors = open(self.errors_path, "w")
        env = dict(os.environ, PENDRAKEL_HOST_BINARY=HOST,
                   PENDRAKEL_MODULE=MODULE)
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE,
                                        stderr=errors, text=True, env=env)
        errors.close()
        self.lines = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.instances = [Instance(self._line(INSTANCE_LINE))
                          for _ in range(count)]
        self.port = int(self._line(CLUSTER_LINE).group(1))
        test.addCleanup(self.stop)

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def restart(self):
        """SIGHUP: a rolling restart; the instances as they came back."""
        self.process.send_signal(signal.SIGHUP)
        self.instances = [Instance(self._line(INSTANCE_LINE))
                          for _ in self.instances]
        self._line(RESTARTED_LINE)
        return self.instances

    def _line(self, pattern):
        try:
            line = self.lines.get(timeout=START_SECONDS)
        except queue.Empty:
            line = None
        if line is None or not pattern.fullmatch(line):
            self.stop()
            raise AssertionError(f"cluster.sh said {line!r}: {self.stderr()}")
        return pattern.fullmatch(line)

    def stderr(self):
        with open(self.errors_path) as errors:
            return errors.read()[-2000:]

    def stop(self):
        """SIGTERM, as an operator would; its exit status. May be called
        again."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(STOP_SECONDS)
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()
            self.reader.join(STOP_SECONDS)
            self.process.stdout.close()


def metric(instance, name):
    """One unlabelled sample of an instance's /metrics page."""
    _, _, page = request(instance.admin, "GET", "/metrics")
    found = re.search(rf"^{name} (\S+)$", page.decode(), re.MULTILINE)
    if not found:
        raise AssertionError(f"no {name} on instance {instance.number}")
    return float(found.group(1))


def process_alive(pid):
    """Whether `pid` runs; a process that ended but was not reaped yet (an
    orphan waits for whoever adopted it) counts as ended."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def Host(test, settings, *flags):
    """One host of its own, beside the cluster: see host_support.Host."""
    return host_support.Host(test, HOST, MODULE, settings, *flags)


def make_certificate(test):
    """A self-signed certificate for 127.0.0.1, made with openssl in a folder
    removed when `test` ends: (PEM of certificate and key, certificate)."""
    folder = tempfile.mkdtemp(prefix="pendrakel-tls-")
    test.addCleanup(shutil.rmtree, folder, ignore_errors=True)
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
         "-days", "1", "-subj", "/CN=127.0.0.1",
         "-addext", "subjectAltName=IP:127.0.0.1",
         "-keyout", key, "-out", cert],
        check=True, capture_output=True, timeout=60)
    pem = os.path.join(folder, "both.pem")
    with open(pem, "w") as out, open(cert) as c, open(key) as k:
        out.write(c.read() + k.read())
    return pem, cert
