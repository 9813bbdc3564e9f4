"""The loopback mock of the search services that the other suites rely on."""

import base64
import http.client
import json
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import unittest

from mock_upstream import MockUpstream, TAVILY_ANSWER

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support",
                      "mock_upstream.py")


def exchange(port, raw, timeout=10):
    """Sends raw request bytes and returns everything the mock answers."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(raw)
        out = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return out
            out += chunk


class MockUpstreamTest(unittest.TestCase):
    def setUp(self):
        self.mock = MockUpstream().start()

    def tearDown(self):
        self.mock.stop()

    def request(self, method, path, body=None, headers=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.mock.port, timeout=10)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            r = conn.getresponse()
            return r.status, r.getheaders(), r.read()
        finally:
            conn.close()

    def test_records_the_exact_request_bytes(self):
        raw = (b"POST /exa/search HTTP/1.1\r\nHost: 127.0.0.1\r\nX-B: 1\r\nx-a:  two \r\n"
               b"Content-Length: 4\r\n\r\n{\"q\"")
        exchange(self.mock.port, raw)
        chunked = (b"POST /tavily/search HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
                   b"3\r\nabc\r\n2;ext=1\r\nde\r\n0\r\n\r\n")
        exchange(self.mock.port, chunked)
        seen = self.mock.requests()
        self.assertEqual(len(seen), 2)
        self.assertEqual(seen[0]["raw"], raw)
        self.assertEqual(seen[0]["method"], "POST")
        self.assertEqual(seen[0]["target"], "/exa/search")
        self.assertEqual(seen[0]["headers"],
                         [["Host", "127.0.0.1"], ["X-B", "1"], ["x-a", "two"],
                          ["Content-Length", "4"]])
        self.assertEqual(seen[0]["body"], b"{\"q\"")
        self.assertEqual(seen[1]["raw"], chunked)
        self.assertEqual(seen[1]["body"], b"abcde")
        # The log over HTTP carries the same entries.
        status, _, body = self.request("GET", "/__requests")
        self.assertEqual(status, 200)
        logged = json.loads(body)
        self.assertEqual(base64.b64decode(logged[0]["raw_b64"]), raw)
        self.assertEqual(len(logged), 2)  # control requests are not recorded

    def test_default_documents(self):
        for path, member in [("/searxng/search?q=x", "results"), ("/exa/search", "results"),
                             ("/perplexity/search", "results"), ("/tavily/search", "results")]:
            status, headers, body = self.request("POST", path, body=b"{}")
            self.assertEqual(status, 200, path)
            self.assertEqual(len(json.loads(body)[member]), 3, path)
        status, _, body = self.request("GET", "/brave/res/v1/web/search?q=x")
        self.assertEqual(len(json.loads(body)["web"]["results"]), 3)
        status, headers, body = self.request("POST", "/duckduckgo/html/", body=b"q=x")
        self.assertEqual(dict(headers)["Content-Type"], "text/html; charset=UTF-8")
        self.assertEqual(body.count(b'class="result__a"'), 4)  # an ad and three results
        self.assertEqual(body.count(b'class="result__snippet"'), 4)
        self.assertIn(b'href="//duckduckgo.com/l/?uddg=https%3A%2F%2Fexample.com', body)
        self.assertIn(b"&amp;rut=", body)
        # Tavily answers only when asked.
        _, _, body = self.request("POST", "/tavily/search", body=b'{"include_answer":true}')
        self.assertEqual(json.loads(body)["answer"], TAVILY_ANSWER)
        _, _, body = self.request("POST", "/tavily/search", body=b'{"include_answer":false}')
        self.assertNotIn("answer", json.loads(body))
        status, _, _ = self.request("GET", "/elsewhere")
        self.assertEqual(status, 404)

    def test_scripts_latest_wins_and_times_run_out(self):
        self.mock.script("/brave", status=500, body="old")
        self.mock.script("/brave", status=401, body='{"message":"bad key"}',
                         headers=[["Content-Type", "application/json"]], times=2)
        self.mock.script("/exa", status=200, body="exa only")
        for _ in range(2):
            status, headers, body = self.request("GET", "/brave/x")
            self.assertEqual((status, body), (401, b'{"message":"bad key"}'))
            self.assertEqual(headers, [("Content-Type", "application/json"),
                                       ("Content-Length", "21"), ("Connection", "close")])
        self.assertEqual(self.request("GET", "/brave/x")[::2], (500, b"old"))
        self.mock.reset()
        self.assertEqual(self.mock.requests(), [])
        status, _, body = self.request("GET", "/brave/x")
        self.assertEqual(status, 200)
        self.assertIn(b'"web"', body)

    def test_chunked_raw_and_dropped_answers(self):
        self.mock.script("/searxng", body=b"0123456789", chunked=True, chunk_size=4)
        answer = exchange(self.mock.port, b"GET /searxng/ HTTP/1.1\r\nHost: h\r\n\r\n")
        head, _, body = answer.partition(b"\r\n\r\n")
        self.assertIn(b"Transfer-Encoding: chunked", head)
        self.assertEqual(body, b"4\r\n0123\r\n4\r\n4567\r\n2\r\n89\r\n0\r\n\r\n")

        self.mock.script("/exa", raw_b64=base64.b64encode(b"HTTP/1.0 200 OK\r\n\r\nbare").decode())
        self.assertEqual(exchange(self.mock.port, b"GET /exa/ HTTP/1.1\r\nHost: h\r\n\r\n"),
                         b"HTTP/1.0 200 OK\r\n\r\nbare")
        self.mock.script("/perplexity", drop=True)
        self.assertEqual(exchange(self.mock.port, b"GET /perplexity/ HTTP/1.1\r\nHost: h\r\n\r\n"),
                         b"")
        self.assertEqual(len(self.mock.requests()), 3)

    def test_script_over_http(self):
        status, _, _ = self.request("POST", "/__script", body=json.dumps(
            {"prefix": "/tavily", "status": 429, "body_b64": base64.b64encode(b"\x00\xff").decode(),
             "headers": [], "times": 1}))
        self.assertEqual(status, 200)
        status, headers, body = self.request("POST", "/tavily/search", body=b"{}")
        self.assertEqual((status, body), (429, b"\x00\xff"))
        self.assertEqual(headers, [("Content-Length", "2"), ("Connection", "close")])
        status, _, _ = self.request("POST", "/__script", body=b"[1]")
        self.assertEqual(status, 400)


class MockTlsTest(unittest.TestCase):
    def test_speaks_https_with_the_given_certificate(self):
        with tempfile.TemporaryDirectory() as d:
            cert, key = os.path.join(d, "c.pem"), os.path.join(d, "k.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                            "-keyout", key, "-out", cert, "-days", "1", "-subj", "/CN=127.0.0.1",
                            "-addext", "subjectAltName=IP:127.0.0.1"],
                           check=True, capture_output=True, timeout=60)
            with MockUpstream(tls_cert=cert, tls_key=key) as mock:
                self.assertTrue(mock.base.startswith("https://127.0.0.1:"))
                ctx = ssl.create_default_context(cafile=cert)
                conn = http.client.HTTPSConnection("127.0.0.1", mock.port, context=ctx,
                                                   timeout=10)
                try:
                    conn.request("POST", "/perplexity/search", body=b"{}")
                    r = conn.getresponse()
                    self.assertEqual(r.status, 200)
                    self.assertEqual(len(json.loads(r.read())["results"]), 3)
                finally:
                    conn.close()
                # A client that never completes a handshake does not stall others.
                with socket.create_connection(("127.0.0.1", mock.port), timeout=10):
                    conn = http.client.HTTPSConnection("127.0.0.1", mock.port, context=ctx,
                                                       timeout=10)
                    conn.request("GET", "/exa/x")
                    self.assertEqual(conn.getresponse().status, 200)
                    conn.close()
                self.assertEqual([r["target"] for r in mock.requests()],
                                 ["/perplexity/search", "/exa/x"])


class MockProcessTest(unittest.TestCase):
    def test_prints_its_port_and_ends_with_its_input(self):
        p = subprocess.Popen([sys.executable, SCRIPT], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE)
        try:
            line = p.stdout.readline()
            self.assertRegex(line, rb"^PORT [1-9][0-9]*\n$")
            port = int(line.split()[1])
            answer = exchange(port, b"GET /exa/x HTTP/1.1\r\nHost: h\r\n\r\n")
            self.assertTrue(answer.startswith(b"HTTP/1.1 200 OK\r\n"))
            p.stdin.close()
            self.assertEqual(p.wait(timeout=10), 0)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait(5)
            p.stdout.close()


if __name__ == "__main__":
    unittest.main()
