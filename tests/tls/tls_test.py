#!/usr/bin/env python3
"""HTTPS on pendrakel-host's TLS port, end to end: curl and openssl s_client
against a certificate made by openssl req for the test, what is refused
(TLS 1.1, CBC suites, plain HTTP), a wrong key and an expired certificate at
start-up and in --check, a reload on SIGHUP, session resumption, the
handshake time-out and the metrics that count all of it.

Run by ctest as: tls_test.py HOST_BINARY MODULE_FILE
Starts the host on free loopback ports and stops it by its process id.
"""
import http.client
import os
import re
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import host_support  # noqa: E402
from host_support import request  # noqa: E402

HOST, MODULE = sys.argv[1], sys.argv[2]
SETTINGS = "<Settings/>"
# What README states an idle TLS connection holds (about 16 KiB measured,
# 3.5 KiB of it the connection itself), with room for the allocator.
IDLE_TLS_CONNECTION_BYTES = 24 * 1024
IDLE_CONNECTIONS = 300
MEMORY_MEANS_NOTHING = unittest.skipIf(
    os.environ.get("PENDRAKEL_TEST_SANITIZED"),
    "a sanitizer's own memory hides the host's")
CA_CONFIG = """[ca]
default_ca = d
[d]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = p
unique_subject = no
[p]
commonName = supplied
"""


def run(*args, cwd=None, input=b""):
    return subprocess.run(args, cwd=cwd, input=input, capture_output=True,
                          timeout=20)


def make_pair(folder, name, expired=False):
    """An ECDSA P-256 certificate for 127.0.0.1 and its key: (cert, key)."""
    cert = os.path.join(folder, name + ".crt")
    key = os.path.join(folder, name + ".key")
    if not expired:
        run("openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
            "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key,
            "-out", cert, "-days", "2", "-subj", "/CN=" + name, "-addext",
            "subjectAltName=IP:127.0.0.1")
        return cert, key
    ca = tempfile.mkdtemp(dir=folder)
    with open(os.path.join(ca, "ca.cnf"), "w") as f:
        f.write(CA_CONFIG)
    open(os.path.join(ca, "index.txt"), "w").close()
    with open(os.path.join(ca, "serial"), "w") as f:
        f.write("01\n")
    run("openssl", "req", "-new", "-newkey", "ec", "-pkeyopt",
        "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out",
        "r.csr", "-subj", "/CN=" + name, cwd=ca)
    run("openssl", "ca", "-batch", "-config", "ca.cnf", "-selfsign",
        "-keyfile", key, "-in", "r.csr", "-out", cert, "-startdate",
        "20200101000000Z", "-enddate", "20200102000000Z", cwd=ca)
    return cert, key


def trusting(cert):
    context = ssl.create_default_context(cafile=cert)
    context.check_hostname = False
    return context


def peer_certificate(port):
    """The DER certificate a new handshake on `port` is shown."""
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    with socket.create_connection(("127.0.0.1", port), timeout=5) as raw:
        with context.wrap_socket(raw) as tls:
            return tls.getpeercert(binary_form=True)


def s_client(port, *flags, session_in=None, session_out=None):
    """What s_client says after one request (and the ticket before it)."""
    args = ["openssl", "s_client", "-connect", f"127.0.0.1:{port}",
            "-ign_eof", *flags]
    if session_in:
        args += ["-sess_in", session_in]
    if session_out:
        args += ["-sess_out", session_out]
    return run(*args, input=b"GET / HTTP/1.1\r\nHost: h\r\n"
               b"Connection: close\r\n\r\n").stdout.decode(errors="replace")


def metrics(host):
    _, _, data = request(host.admin, "GET", "/metrics")
    return {m[0]: float(m[1]) for m in re.findall(
        r"^(pendrakel_[^ ]+) (\S+)$", data.decode(), re.M)}


class TlsPort(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="pendrakel-tls-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        self.cert, self.key = make_pair(self.folder, "first")

    def start(self, *flags):
        return host_support.Host(
            self, HOST, MODULE, SETTINGS, "--tls-listen", "127.0.0.1:0",
            "--tls-cert", self.cert, "--tls-key", self.key,
            "--admin-listen", "127.0.0.1:0", *flags)

    def test_curl_and_s_client_are_served_and_resume(self):
        log = os.path.join(self.folder, "access.log")
        host = self.start("--access-log", log)
        url = f"https://127.0.0.1:{host.tls_port}/greeting"
        put = run("curl", "-sS", "--cacert", self.cert, "-X", "PUT",
                  "--data-binary", "hello", "-o", "/dev/null", "-w",
                  "%{http_code} %{http_version}", url)
        self.assertEqual(put.stdout, b"201 1.1", put.stderr)
        got = run("curl", "-sS", "--cacert", self.cert, url, url)
        self.assertEqual(got.stdout, b"hellohello", got.stderr)
        # A large value leaves in records, all of it, on one connection.
        big = os.urandom(1 << 20)
        status, _, _ = request(host.tls_port, "PUT", "/big", big,
                               tls=trusting(self.cert))
        self.assertEqual(status, 201)
        self.assertEqual(request(host.tls_port, "GET", "/big",
                                 tls=trusting(self.cert))[2], big)
        resumed = {}
        for version in ("-tls1_3", "-tls1_2"):
            saved = os.path.join(self.folder, "session" + version)
            first = s_client(host.tls_port, version, "-alpn", "http/1.1",
                             session_out=saved)
            self.assertIn("ALPN protocol: http/1.1", first)
            self.assertIn("New, TLSv1.", first)
            again = s_client(host.tls_port, version, session_in=saved)
            self.assertIn("Reused, TLSv1.", again)
            resumed[version] = again
        # A TLS 1.3 client uses a ticket once: a resumption brings a new one,
        # else every other connection would be a full handshake.
        self.assertIn("New Session Ticket arrived", resumed["-tls1_3"])
        # An answer that ends its connection ends it with close_notify, so
        # clients keep the session ("r": resumed; HTTP/1.0 closes).
        timed = run("openssl", "s_time", "-connect",
                    f"127.0.0.1:{host.tls_port}", "-reuse", "-time", "1",
                    "-www", "/greeting", "-tls1_3").stdout.decode()
        self.assertIn("rrrr", timed)
        figures = metrics(host)
        self.assertGreater(
            figures["pendrakel_tls_resumed_handshakes_total"], 2)
        self.assertEqual(figures["pendrakel_tls_handshakes_total"] -
                         figures["pendrakel_tls_resumed_handshakes_total"], 7)
        self.assertGreater(
            figures["pendrakel_tls_certificate_expiry_seconds"], time.time())
        # Each line of the TLS port ends with the protocol and the cipher.
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and not os.path.getsize(log):
            time.sleep(0.1)
        with open(log) as lines:
            text = lines.read()
        self.assertRegex(text, r'"PUT /greeting HTTP/1.1" 201 .* TLSv1\.3 '
                               r'TLS_[A-Z0-9_]+\n')

    @MEMORY_MEANS_NOTHING
    def test_idle_connections_hold_what_readme_states(self):
        host = self.start("--threads", "1")
        context = trusting(self.cert)

        def served():
            c = http.client.HTTPSConnection("127.0.0.1", host.tls_port,
                                            timeout=5, context=context)
            c.request("GET", "/absent")
            c.getresponse().read()
            return c

        for c in [served() for _ in range(30)]:  # the allocator warms up
            c.close()
        time.sleep(0.3)
        before = resident_bytes(host)
        idle = [served() for _ in range(IDLE_CONNECTIONS)]
        time.sleep(0.3)
        per_connection = (resident_bytes(host) - before) / IDLE_CONNECTIONS
        for c in idle:
            c.close()
        self.assertLess(per_connection, IDLE_TLS_CONNECTION_BYTES)

    def test_old_protocols_weak_suites_and_plain_http_are_refused(self):
        host = self.start()
        self.assertNotIn("New, TLS", s_client(host.tls_port, "-tls1_1"))
        self.assertNotIn("New, TLS", s_client(
            host.tls_port, "-tls1_2", "-cipher", "ECDHE-ECDSA-AES128-SHA"))
        # Plain HTTP is told 400 in the clear and never served.
        with socket.create_connection(("127.0.0.1", host.tls_port),
                                      timeout=5) as plain:
            plain.sendall(b"GET /greeting HTTP/1.1\r\nHost: h\r\n\r\n")
            answer = b""
            while chunk := plain.recv(4096):
                answer += chunk
        self.assertTrue(answer.startswith(b"HTTP/1.1 400 "), answer)
        # A client that refuses the certificate is counted apart.
        refused = run("curl", "-sS", f"https://127.0.0.1:{host.tls_port}/")
        self.assertNotEqual(refused.returncode, 0)
        # The host reads curl's alert after curl has gone: wait for it.
        certificate = 'pendrakel_tls_handshake_failures_total{reason="certificate"}'
        deadline = time.monotonic() + 5
        while (figures := metrics(host))[certificate] == 0 and \
                time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(
            figures['pendrakel_tls_handshake_failures_total{reason="protocol"}'],
            3)
        self.assertEqual(
            figures['pendrakel_tls_handshake_failures_total{reason='
                    '"certificate"}'], 1)
        self.assertEqual(figures["pendrakel_tls_handshakes_total"], 0)

    def test_a_stalled_handshake_is_closed_at_the_head_time_out(self):
        host = self.start("--head-timeout", "1")
        hello = bytes.fromhex("16030100c8010000c40303")  # a hello cut short
        with socket.create_connection(("127.0.0.1", host.tls_port),
                                      timeout=5) as stalled:
            stalled.sendall(hello)
            began = time.monotonic()
            self.assertEqual(stalled.recv(100), b"")
            self.assertLess(time.monotonic() - began, 3)
        self.assertEqual(metrics(host)[
            'pendrakel_tls_handshake_failures_total{reason="timeout"}'], 1)
        # One cut by a reset is counted too: reset once the host has read
        # what came (a reset before the accept is no handshake at all).
        with socket.create_connection(("127.0.0.1", host.tls_port),
                                      timeout=5) as reset:
            received = "pendrakel_http_received_bytes_total"
            before = metrics(host)[received]
            reset.sendall(hello)
            deadline = time.monotonic() + 5
            while metrics(host)[received] < before + len(hello) and \
                    time.monotonic() < deadline:
                time.sleep(0.02)
            reset.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                             struct.pack("ii", 1, 0))
        other = 'pendrakel_tls_handshake_failures_total{reason="other"}'
        deadline = time.monotonic() + 5
        while (figures := metrics(host))[other] == 0 and \
                time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(figures[other], 1)
        self.assertEqual(figures[
            'pendrakel_tls_handshake_failures_total{reason="timeout"}'], 1)

    def test_sighup_reloads_for_new_handshakes_and_keeps_old_connections(self):
        host = self.start()
        first = peer_certificate(host.tls_port)
        kept = http.client.HTTPSConnection("127.0.0.1", host.tls_port,
                                           timeout=5,
                                           context=trusting(self.cert))
        kept.request("PUT", "/k", body=b"v")
        self.assertEqual(kept.getresponse().read(), b"")
        # A pair that does not load keeps the one in use.
        with open(self.cert, "w") as f:
            f.write("not a certificate\n")
        host.process.send_signal(signal.SIGHUP)
        time.sleep(0.5)
        self.assertEqual(peer_certificate(host.tls_port), first)
        cert, key = make_pair(self.folder, "second")
        os.replace(cert, self.cert)
        os.replace(key, self.key)
        host.process.send_signal(signal.SIGHUP)
        self.assertIn("tls certificate reloaded",
                      host.process.stdout.readline())
        self.assertNotEqual(peer_certificate(host.tls_port), first)
        kept.request("GET", "/k")
        self.assertEqual(kept.getresponse().read(), b"v")
        self.assertEqual(kept.sock.getpeercert(binary_form=True), first)
        kept.close()

    def test_sigterm_ends_tls_clients_as_plain_ones(self):
        host = self.start("--shutdown-grace", "1")
        raw = socket.create_connection(("127.0.0.1", host.tls_port),
                                       timeout=10)
        # Told the end by close_notify: a bare close would raise.
        idle = trusting(self.cert).wrap_socket(raw,
                                               suppress_ragged_eofs=False)
        idle.sendall(b"PUT /k HTTP/1.1\r\nHost: h\r\n"
                     b"Content-Length: 1\r\n\r\nv")
        self.assertTrue(idle.recv(4096).startswith(b"HTTP/1.1 201 "))
        stalled = tls_socket(host, self.cert)
        stalled.sendall(b"PUT /s HTTP/1.1\r\nHost: h\r\n"
                        b"Content-Length: 200000\r\n\r\n" + b"s" * 100000)
        time.sleep(0.2)
        began = time.monotonic()
        host.process.send_signal(signal.SIGTERM)
        self.assertEqual(host.process.wait(15), 0)
        # The stalled upload is cut after the grace, as on the plain port.
        self.assertLess(time.monotonic() - began, 5)
        self.assertEqual(idle.recv(100), b"")
        idle.close()
        stalled.close()


def resident_bytes(host):
    with open(f"/proc/{host.process.pid}/status") as status:
        line = next(l for l in status if l.startswith("VmRSS:"))
    return int(line.split()[1]) * 1024


def tls_socket(host, cert, receive_buffer=None):
    raw = socket.socket()
    if receive_buffer:
        raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    raw.settimeout(10)
    raw.connect(("127.0.0.1", host.tls_port))
    return trusting(cert).wrap_socket(raw)


def body_read(tls, pause=0.0, limit=30):
    """Body bytes of one answer read from `tls` until it ends or closes."""
    data = b""
    end = time.monotonic() + limit
    while time.monotonic() < end:
        try:
            chunk = tls.recv(65536)
        except (ConnectionError, ssl.SSLError, TimeoutError):
            break
        if not chunk:
            break
        data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        length = re.search(rb"Content-Length: (\d+)", head)
        if length and len(body) >= int(length.group(1)):
            return len(body)
        time.sleep(pause)
    return len(data.partition(b"\r\n\r\n")[2])


class SlowClientsOverTls(unittest.TestCase):
    """The slow-client rules of the plain port, over TLS."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="pendrakel-tls-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        self.cert, self.key = make_pair(self.folder, "slow")

    def start(self, *flags):
        return host_support.Host(
            self, HOST, MODULE, SETTINGS, "--tls-listen", "127.0.0.1:0",
            "--tls-cert", self.cert, "--tls-key", self.key, *flags)

    def store(self, host, name, size):
        status, _, _ = request(host.port, "PUT", "/" + name, b"v" * size)
        self.assertEqual(status, 201)

    def test_a_client_stalled_mid_record_is_closed_at_the_head_time_out(self):
        host = self.start("--head-timeout", "1")
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        client = trusting(self.cert).wrap_bio(incoming, outgoing)
        with socket.create_connection(("127.0.0.1", host.tls_port),
                                      timeout=5) as raw:
            while True:  # the handshake, by hand
                try:
                    client.do_handshake()
                    break
                except ssl.SSLWantReadError:
                    raw.sendall(outgoing.read())
                    incoming.write(raw.recv(65536))
            raw.sendall(outgoing.read())
            client.write(b"GET /absent HTTP/1.1\r\nHost: h\r\n\r\n")
            record = outgoing.read()
            raw.sendall(record[:len(record) // 2])
            began = time.monotonic()
            while raw.recv(65536):  # tickets, then the close
                pass
            self.assertLess(time.monotonic() - began, 3)

    def test_a_trickling_uploader_is_answered_408(self):
        host = self.start("--read-timeout", "1", "--preload", "4096")
        with tls_socket(host, self.cert) as tls:
            tls.sendall(b"PUT /t HTTP/1.1\r\nHost: h\r\nContent-Length: "
                        b"100000\r\n\r\n" + b"t" * 8192)
            answer = b""
            end = time.monotonic() + 6
            while not answer and time.monotonic() < end:
                tls.sendall(b"t")
                tls.settimeout(0.5)
                try:
                    answer = tls.recv(4096)
                except TimeoutError:
                    pass
        self.assertTrue(answer.startswith(b"HTTP/1.1 408 "), answer)

    def test_a_steady_reader_gets_all_and_a_stalled_one_is_closed(self):
        host = self.start("--write-timeout", "2")
        size = 8 << 20
        self.store(host, "v", size)
        steady = tls_socket(host, self.cert, 65536)
        stalled = tls_socket(host, self.cert, 65536)
        for tls in (steady, stalled):
            tls.sendall(b"GET /v HTTP/1.1\r\nHost: h\r\n\r\n")
        self.assertEqual(body_read(steady, pause=0.002), size)
        time.sleep(2.5)
        self.assertLess(body_read(stalled), size)
        steady.close()
        stalled.close()

    @MEMORY_MEANS_NOTHING
    def test_readers_that_take_nothing_hold_no_copy_of_the_value(self):
        host = self.start("--threads", "1")
        size = 16 << 20
        self.store(host, "v", size)
        self.store(host, "kept", 1)
        before = resident_bytes(host)
        readers = []
        for _ in range(50):
            readers.append(tls_socket(host, self.cert, 4096))
            readers[-1].sendall(b"GET /v HTTP/1.1\r\nHost: h\r\n\r\n")
        time.sleep(1)
        began = time.monotonic()
        self.assertEqual(request(host.tls_port, "GET", "/kept",
                                 tls=trusting(self.cert))[2], b"v")
        self.assertLess(time.monotonic() - began, 2)
        # Each holds one batch of ciphertext and OpenSSL's buffers.
        grown = resident_bytes(host) - before
        self.assertLess(grown, 8 << 20, f"{grown // 1024} KiB for 50 readers")
        for tls in readers:
            tls.close()


class PairRefused(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="pendrakel-tls-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        shutil.copy(MODULE, self.folder)
        with open(os.path.join(self.folder, "Pendrakel.setting"), "w") as f:
            f.write(SETTINGS)
        self.module = os.path.join(self.folder, os.path.basename(MODULE))

    def host(self, cert, key, *flags):
        result = run(HOST, "--module", self.module, "--listen", "127.0.0.1:0",
                     "--tls-listen", "127.0.0.1:0", "--tls-cert", cert,
                     "--tls-key", key, *flags)
        return result.returncode, result.stdout.decode(), result.stderr.decode()

    def test_wrong_key_and_expired_certificate_refuse_start_and_check(self):
        cert, _ = make_pair(self.folder, "one")
        _, other_key = make_pair(self.folder, "two")
        old_cert, old_key = make_pair(self.folder, "old", expired=True)
        for cert_file, key_file, says in (
                (cert, other_key, "does not match the certificate"),
                (old_cert, old_key, "expired on 2020-01-02")):
            code, out, err = self.host(cert_file, key_file)
            self.assertEqual(code, 1)
            self.assertEqual(out, "")
            self.assertEqual(err.count("\n"), 1, err)
            self.assertIn(says, err)
            check_code, _, check_err = self.host(cert_file, key_file,
                                                 "--check")
            self.assertEqual((check_code, check_err), (1, err))
        code, out, _ = self.host(cert, os.path.join(self.folder, "one.key"),
                                 "--check")
        self.assertEqual(code, 0)
        self.assertRegex(out, r"matches its key, expires \d{4}-\d\d-\d\d ")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
