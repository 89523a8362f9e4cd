#!/usr/bin/env python3
"""Refusals an ordinary client must see: Python's http.client sends a whole
body before it reads, so a host that closed while the body was still coming
would show it a broken pipe instead of the answer.

Run by ctest as: refusals_test.py HOST_BINARY MODULE_FILE
Starts the host on a free loopback port and stops it by its process id.
"""
import http.client
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import host_support  # noqa: E402

HOST, MODULE = sys.argv[1], sys.argv[2]
BODY = b"v" * (8 << 20)


def put(port, body):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=20)
    try:
        connection.request("PUT", "/big", body=body)
        return connection.getresponse().status
    finally:
        connection.close()


class RefusalsAreSeen(unittest.TestCase):
    def test_an_8_mib_put_hears_why_it_was_refused(self):
        # Over --max-body: refused from the head, the body still coming.
        host = host_support.Host(self, HOST, MODULE, "<Settings/>",
                                 "--max-body", "1048576")
        self.assertEqual(put(host.port, BODY), 413)
        # Into a full store: the module answers 500 without taking the body.
        full = host_support.Host(
            self, HOST, MODULE, '<Settings><Memory Max="1048576"/></Settings>')
        self.assertEqual(put(full.port, BODY), 500)
        self.assertEqual(put(full.port, b"small"), 201)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
