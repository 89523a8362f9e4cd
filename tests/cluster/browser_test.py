#!/usr/bin/env python3
"""The store's cookies in a real browser: headless Chromium, driven over its
debugging protocol, runs fetch() calls in a page of the store's origin.

A browser gives a cookie without a Path the folder of the request that set
it, so a client whose first request was under /dir/ would not send it to /a
and would split over several collections; the Cookie element's Attributes
setting ("Path=/") keeps it whole, on one host (over plain HTTP, and over
its own TLS port with Secure) and through the cluster with TLS and Secure.

Run by ctest as: browser_test.py CLUSTER_SCRIPT HOST_BINARY MODULE_FILE
"""
import base64
import json
import os
import queue
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from cluster_support import (REQUEST_SECONDS, START_SECONDS, Cluster, Host,
                             make_certificate)

try:
    import websocket  # Debian's python3-websocket
except ImportError:
    websocket = None

CHROMIUM = "/usr/bin/chromium"
# The flags that keep a headless Chromium to itself on this machine.
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu",
                  "--disable-quic", "--no-first-run",
                  "--disable-background-networking",
                  "--disable-component-update", "--disable-sync",
                  "--remote-debugging-port=0"]
DEVTOOLS_LINE = re.compile(r"DevTools listening on (ws://127\.0\.0\.1:\d+/\S+)")

# The page's client: its first request stores under /dir/b, the next under
# /a; then it reads both back.
STORE_AND_READ = """(async () => {
  const put = (name, body) => fetch(name, {method: "PUT", body})
      .then(r => String(r.status));
  const get = name => fetch(name).then(async r => r.status + " " + await r.text());
  return [await put("/dir/b", "b"), await put("/a", "a"),
          await get("/dir/b"), await get("/a")];
})()"""
ONE_COLLECTION = ["201", "201", "200 b", "200 a"]
# The page the browser answers itself; its icon is inline, so that no
# request for /favicon.ico gets a cookie before the page's own requests.
PAGE = b'<!doctype html><link rel="icon" href="data:,"><title>client</title>'



class Browser:
    """Chromium with a fresh profile, killed by its process id when `test`
    ends."""

    def __init__(self, test, *flags):
        profile = tempfile.mkdtemp(prefix="pendrakel-chromium-")
        test.addCleanup(shutil.rmtree, profile, ignore_errors=True)
        self.process = subprocess.Popen(
            [CHROMIUM, *CHROMIUM_FLAGS, f"--user-data-dir={profile}", *flags,
             "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        test.addCleanup(self._stop)
        lines = queue.Queue()
        self.reader = threading.Thread(  # drains stderr for good
            target=lambda: [lines.put(line) for line in self.process.stderr],
            daemon=True)
        self.reader.start()
        deadline = time.monotonic() + START_SECONDS
        while not hasattr(self, "socket"):
            try:
                line = lines.get(timeout=max(0, deadline - time.monotonic()))
            except queue.Empty:
                raise AssertionError("Chromium printed no DevTools address")
            if found := DEVTOOLS_LINE.search(line):
                self.socket = websocket.create_connection(
                    found.group(1), timeout=START_SECONDS, suppress_origin=True)
        self.calls = 0
        self.kept = []  # messages received while waiting for others

    def _stop(self):
        if hasattr(self, "socket"):
            self.socket.close()
        self.process.kill()
        self.process.wait(REQUEST_SECONDS)
        self.reader.join(REQUEST_SECONDS)
        self.process.stderr.close()

    def send(self, method, session=None, **params):
        """Sends a protocol command; its id."""
        self.calls += 1
        message = {"id": self.calls, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        self.socket.send(json.dumps(message))
        return self.calls

    def receive(self, wanted):
        """The first message, kept or new, for which `wanted` is true."""
        for message in self.kept:
            if wanted(message):
                self.kept.remove(message)
                return message
        deadline = time.monotonic() + START_SECONDS
        while time.monotonic() < deadline:
            message = json.loads(self.socket.recv())
            if wanted(message):
                return message
            self.kept.append(message)
        raise AssertionError("Chromium did not answer")

    def call(self, method, session=None, **params):
        """One protocol command's result."""
        sent = self.send(method, session, **params)
        answer = self.receive(lambda m: m.get("id") == sent)
        if "error" in answer:
            raise AssertionError(f"{method}: {answer['error']}")
        return answer["result"]

    def open(self, url):
        """A tab showing a blank page at `url`, answered by the browser itself
        (the store serves no pages), so that the page's own requests are the
        first the store sees; its session id, once the page has loaded."""
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        session = self.call("Target.attachToTarget", targetId=target,
                            flatten=True)["sessionId"]
        self.call("Fetch.enable", session, patterns=[{"urlPattern": url}])
        navigation = self.send("Page.navigate", session, url=url)
        paused = self.receive(lambda m: m.get("method") == "Fetch.requestPaused")
        self.call("Fetch.fulfillRequest", session,
                  requestId=paused["params"]["requestId"], responseCode=200,
                  responseHeaders=[{"name": "Content-Type", "value": "text/html"}],
                  body=base64.b64encode(PAGE)
                  .decode())
        self.receive(lambda m: m.get("id") == navigation)
        self.call("Fetch.disable", session)
        deadline = time.monotonic() + START_SECONDS
        while self.call("Runtime.evaluate", session,
                        expression="location.href + ' ' + document.readyState",
                        returnByValue=True)["result"].get("value") != url + " complete":
            if time.monotonic() > deadline:
                raise AssertionError(f"{url} did not load")
            time.sleep(0.1)
        return session

    def evaluate(self, session, expression):
        result = self.call("Runtime.evaluate", session, expression=expression,
                           awaitPromise=True, returnByValue=True)
        if "exceptionDetails" in result:
            raise AssertionError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def cookies(self):
        return self.call("Storage.getCookies")["cookies"]


@unittest.skipUnless(os.access(CHROMIUM, os.X_OK) and websocket,
                     "needs Debian's chromium and python3-websocket "
                     "(scripts/test.sh installs them)")
class CookiesInChromium(unittest.TestCase):
    def run_page(self, base, *flags):
        """What the page's fetch() calls answered, and the cookies kept."""
        browser = Browser(self, *flags)
        session = browser.open(base + "/client")
        return browser.evaluate(session, STORE_AND_READ), browser.cookies()

    def test_path_attribute_keeps_one_collection(self):
        host = Host(self, '<Settings><Cookie Distribute="true" Name="pk" '
                          'Attributes="Path=/; HttpOnly"/></Settings>')
        answers, cookies = self.run_page(f"http://127.0.0.1:{host.port}")
        self.assertEqual(answers, ONE_COLLECTION)
        self.assertEqual([(c["name"], c["path"], c["httpOnly"]) for c in cookies],
                         [("pk", "/", True)])

    def test_secure_cookie_on_the_hosts_own_tls_port(self):
        pem, _ = make_certificate(self)
        host = Host(self, '<Settings><Cookie Distribute="true" Name="pk" '
                          'Attributes="Path=/; HttpOnly; SameSite=Lax; Secure"/>'
                          '</Settings>', "--tls-listen", "127.0.0.1:0",
                    "--tls-cert", pem)
        answers, cookies = self.run_page(f"https://127.0.0.1:{host.tls_port}",
                                         "--ignore-certificate-errors")
        self.assertEqual(answers, ONE_COLLECTION)
        self.assertEqual([(c["name"], c["path"], c["secure"]) for c in cookies],
                         [("pk", "/", True)])

    def test_secure_cookie_through_the_cluster_over_tls(self):
        pem, _ = make_certificate(self)
        cluster = Cluster(self, 2, '<Settings><Cookie Distribute="true" Name="pk" '
                          'Attributes="Path=/; HttpOnly; SameSite=Lax; Secure"/>'
                          '</Settings>', tls_cert=pem)
        answers, cookies = self.run_page(f"https://127.0.0.1:{cluster.port}",
                                         "--ignore-certificate-errors")
        self.assertEqual(answers, ONE_COLLECTION)
        self.assertEqual([(c["name"], c["path"], c["secure"]) for c in cookies],
                         [("pk", "/", True)])
        self.assertRegex(cookies[0]["value"], r"^i[12]~[0-9a-f]{32}$")
        self.assertEqual(cluster.stop(), 0, cluster.stderr())


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
