"""pendrakel-host started for one Python test, and a one-request client.

Host: the host with its own copy of the module and a settings file, on a
free loopback port (and a free admin port when --admin-listen is among its
flags), its standard error kept in a file of that folder, and optionally
started under a descriptor limit (`nofile`, a (soft, hard) pair); killed by
its process id, and its folder removed, when the test ends. request: one HTTP(S) request on a fresh connection.
"""
import http.client
import os
import resource
import shutil
import subprocess
import tempfile

REQUEST_SECONDS = 5
STOP_SECONDS = 30


class Host:
    def __init__(self, test, host_binary, module, settings, *flags,
                 nofile=None):
        self.folder = tempfile.mkdtemp(prefix="pendrakel-host-")
        test.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        shutil.copy(module, self.folder)
        with open(os.path.join(self.folder, "Pendrakel.setting"), "w") as f:
            f.write(settings)
        # The suite runs once more with the host's epoll loop forced.
        if os.environ.get("PENDRAKEL_TEST_IO"):
            flags = (*flags, "--io=" + os.environ["PENDRAKEL_TEST_IO"])
        self.stderr_path = os.path.join(self.folder, "stderr")
        limit = None
        if nofile:
            def limit():
                resource.setrlimit(resource.RLIMIT_NOFILE, nofile)
        with open(self.stderr_path, "w") as stderr:
            self.process = subprocess.Popen(
                [host_binary, "--listen", "127.0.0.1:0", "--module",
                 os.path.join(self.folder, os.path.basename(module)), *flags],
                stdout=subprocess.PIPE, stderr=stderr, text=True,
                preexec_fn=limit)
        test.addCleanup(self._stop)
        self.port = self._port("listening on 127.0.0.1:")
        self.tls_port = (self._port("tls listening on 127.0.0.1:")
                         if "--tls-listen" in flags else None)
        self.admin = (self._port("admin listening on 127.0.0.1:")
                      if "--admin-listen" in flags else None)

    def _port(self, prefix):
        line = self.process.stdout.readline()  # ends when the host does
        if not line.startswith(prefix):
            raise AssertionError(f"host said {line!r}")
        return int(line.strip().rsplit(":", 1)[1])

    def stderr(self):
        with open(self.stderr_path) as f:
            return f.read()

    def _stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(STOP_SECONDS)
        self.process.stdout.close()


def request(port, method, path, body=None, headers=None, tls=None):
    """(status, headers, body); `tls` an ssl.SSLContext for HTTPS."""
    if tls:
        connection = http.client.HTTPSConnection(
            "127.0.0.1", port, timeout=REQUEST_SECONDS, context=tls)
    else:
        connection = http.client.HTTPConnection(
            "127.0.0.1", port, timeout=REQUEST_SECONDS)
    try:
        connection.request(method, path, body=body, headers=headers or {})
        response = connection.getresponse()
        return response.status, response.headers, response.read()
    finally:
        connection.close()
