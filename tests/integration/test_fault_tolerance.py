"""Hostile upstreams, end to end: the real binary in MCP mode searches a
loopback peer that misbehaves in one way each, and every search ends with
its own expected answer within a bound on its duration. The peer never
takes the process down and never makes it hang.

The backends' budgets are 25 and 30 seconds; the two cases that can only
end at the deadline (a head that never comes, a head that trickles) run
side by side once at full budget. The same stalls against short budgets,
and the stalls inside a body, are covered through the upstream adapter in
ws_http_faults_test.cpp."""

import json
import os
import shutil
import socket
import select
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

BINARY = os.environ.get("WS_BINARY", "")
SUPPORT = os.path.join(os.environ.get("WS_SOURCE_DIR", ""), "tests", "support")
MIB4 = 4 * 1024 * 1024
# Everything that is not a deadline ends in well under this; the bound is
# loose on purpose (two test processes share two cores), and stretches by
# WS_TIME_SCALE where valgrind runs the program.
SCALE = float(os.environ.get("WS_TIME_SCALE", "1"))
QUICK_S = 10.0 * SCALE
HINT = "; TQ_TLS_INSECURE=1 exists for debugging self-hosted relays only"
# A label of 64 bytes is refused by the resolver library itself, so this
# name fails without a query ever leaving the machine.
UNRESOLVABLE = "a" * 64 + ".invalid"


def http_head(extra=b"", status=b"200 OK"):
    return b"HTTP/1.1 " + status + b"\r\nContent-Type: application/json\r\n" + extra


def searxng_doc(title="One"):
    return json.dumps({"results": [{"url": "https://example.com/one", "title": title,
                                    "content": "first"}]}).encode()


class HostilePeer:
    """A loopback TCP server that hands every connection to behave(sock)
    after reading the request head (unless read_head is False)."""

    def __init__(self, behave, read_head=True):
        self.behave = behave
        self.read_head = read_head
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.stopping = threading.Event()
        self.conns = []
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    @property
    def base(self):
        return "http://127.0.0.1:%d" % self.port

    def _run(self):
        while not self.stopping.is_set():
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self.conns.append(conn)
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        try:
            conn.settimeout(60)
            if self.read_head:
                data = b""
                while b"\r\n\r\n" not in data:
                    chunk = conn.recv(4096)
                    if not chunk:
                        return
                    data += chunk
            self.behave(conn, self.stopping)
        except OSError:
            pass

    def stop(self):
        self.stopping.set()
        self.sock.close()
        for c in self.conns:
            try:
                c.close()
            except OSError:
                pass
        self.thread.join(5)


def send_and_close(data):
    def behave(conn, _):
        conn.sendall(data)
        conn.shutdown(socket.SHUT_WR)
        time.sleep(0.2)
    return behave


def send_and_reset(data):
    def behave(conn, _):
        conn.sendall(data)
        time.sleep(0.1)
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        conn.close()
    return behave


def endless_body(conn, stopping):
    conn.sendall(http_head(b"\r\n"))
    block = b"x" * 65536
    while not stopping.is_set():
        conn.sendall(block)  # ends with an error once the client has gone


def stalled_head(conn, stopping):
    stopping.wait(60)


def trickled_head(conn, stopping):
    conn.sendall(b"HTTP/1.1 200 OK\r\nX-Slow: ")
    while not stopping.wait(0.5):
        conn.sendall(b"a")


def answer(body, extra=b"", status=b"200 OK"):
    return send_and_close(http_head(extra + b"Content-Length: %d\r\n\r\n" % len(body), status)
                          + body)


def chunked(size_line, data, end=b"\r\n0\r\n\r\n"):
    return send_and_close(http_head(b"Transfer-Encoding: chunked\r\n\r\n") + size_line + b"\r\n"
                          + data + end)


class silent_listener:
    """A listening socket whose accept queue is full: the kernel drops new
    connection attempts, so a connect to it never completes."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(0)
        self.port = self.sock.getsockname()[1]
        self.fillers = []
        self.ok = False
        for _ in range(8):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setblocking(False)
            self.fillers.append(s)
            try:
                s.connect(("127.0.0.1", self.port))
            except BlockingIOError:
                pass
            s.settimeout(0.3)
            try:
                s.getpeername()
            except OSError:
                # This attempt is still pending: the queue is full.
                _, w, _ = select.select([], [s], [], 0.3)
                if not w:
                    self.ok = True
                    break

    def close(self):
        for s in self.fillers:
            s.close()
        self.sock.close()


class MCPSearch:
    """Runs one web_search through the binary and returns (reply, seconds)."""

    def __init__(self, config_dir):
        self.config_dir = config_dir

    def env(self, provider, base, extra=None):
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"),
               "SWEBSEARCH_CONFIG_DIR": self.config_dir,
               "WEBSEARCH_PROVIDER": provider}
        if provider == "searxng":
            env["WEBSEARCH_SEARXNG_BASE"] = base
        else:
            env["WEBSEARCH_DDG_BASE"] = base
        for k in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
            if k in os.environ:
                env[k] = os.environ[k]
        env.update(extra or {})
        return env

    def run(self, provider, base, extra_env=None, timeout=60 * SCALE):
        line = json.dumps({"jsonrpc": "2.0", "id": 7, "method": "tools/call",
                           "params": {"name": "web_search",
                                      "arguments": {"query": "hostile", "count": 3}}})
        start = time.monotonic()
        proc = subprocess.run([BINARY, "--mcp"], input=(line + "\n").encode(),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=self.env(provider, base, extra_env), timeout=timeout)
        took = time.monotonic() - start
        if proc.returncode != 0:
            raise AssertionError("exit %d: %r" % (proc.returncode, proc.stderr[-2000:]))
        lines = proc.stdout.split(b"\n")
        if len(lines) != 2 or lines[1] != b"":
            raise AssertionError("not exactly one reply line: %r" % proc.stdout[:500])
        # Strict UTF-8 and strict JSON, whatever the peer sent.
        reply = json.loads(lines[0].decode("utf-8", errors="strict"))
        return reply, took


def tool_error(reply):
    result = reply["result"]
    if not result.get("isError"):
        return None
    return result["structuredContent"]


def ok_doc(reply):
    result = reply["result"]
    if result.get("isError"):
        raise AssertionError("search failed: %r" % result["structuredContent"])
    return result["structuredContent"]


class HostileUpstreams(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not BINARY:
            raise unittest.SkipTest("WS_BINARY is not set")
        cls.tmp = tempfile.mkdtemp(prefix="ws-fault-")
        cls.mcp = MCPSearch(os.path.join(cls.tmp, "cfg"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def search(self, behave, provider="searxng", read_head=True, **kw):
        peer = HostilePeer(behave, read_head=read_head)
        try:
            return self.mcp.run(provider, peer.base, **kw)
        finally:
            peer.stop()

    def test_broken_answers_end_with_their_message(self):
        big_ok = b'{"results":[{"url":"https://example.com/big","title":"Big"}],"pad":"'
        big_ok += b"x" * (MIB4 - len(big_ok) - 2) + b'"}'
        self.assertEqual(len(big_ok), MIB4)
        empty = {"ok": False, "error": "SearXNG returned an empty response", "status": 200}
        cases = [
            ("garbage instead of HTTP",
             send_and_close(b"\x00\xffSSH-2.0-OpenSSH_9.2\r\n\r\nnonsense"),
             {"ok": False, "error": "bad status line"}),
            ("letters for a status", send_and_close(b"HTTP/1.1 abc\r\n\r\n" + searxng_doc()),
             {"ok": False, "error": "bad status line"}),
            ("negative status", send_and_close(b"HTTP/1.1 -500 X\r\n\r\n" + searxng_doc()),
             {"ok": False, "error": "bad status line"}),
            ("body just over 4 MiB",
             answer(b"x" * (MIB4 + 1)), empty),
            ("endless body", endless_body, empty),
            ("oversized chunk",
             chunked(b"%x" % (MIB4 + 1), b"x" * 100), empty),
            ("chunk size line of 32 characters",
             chunked(b"%032x" % len(searxng_doc()), searxng_doc()), empty),
            ("reset mid-body",
             send_and_reset(http_head(b"Content-Length: 5000\r\n\r\n") + b"{" * 2000), empty),
            ("close mid-chunk",
             chunked(b"100", b"x" * 50, end=b""), empty),
            ("3xx with HTML",
             answer(b"<html><body><h1>Moved</h1><a href='/elsewhere'>here</a></body></html>",
                    b"Location: /elsewhere\r\n", b"302 Found"),
             {"ok": False, "error": "SearXNG returned a body that is not JSON", "status": 302}),
            ("invalid UTF-8 in the JSON strings",
             answer(b'{"results":[{"url":"https://example.com/\xff","title":"caf\xe9",'
                    b'"content":"\xc3\x28 \xed\xa0\x80"}]}'),
             {"ok": False, "error": "SearXNG returned a body that is not JSON", "status": 200}),
            ("503 with an endless HTML page",
             answer(b"<html><head><title>Down</title></head><body>" + b"<p>busy</p>" * 40000,
                    status=b"503 Service Unavailable"),
             {"ok": False, "status": 503, "error": "SearXNG returned HTTP 503: Down "
              + " ".join(["busy"] * 23)}),
        ]
        for name, behave, want in cases:
            with self.subTest(name):
                reply, took = self.search(behave)
                self.assertEqual(reply["id"], 7)
                self.assertEqual(tool_error(reply), want)
                self.assertLess(took, QUICK_S)

    def test_boundaries_that_still_succeed(self):
        doc = searxng_doc()
        big = b'{"results":[{"url":"https://example.com/big","title":"Big"}],"pad":"'
        big += b"x" * (MIB4 - len(big) - 2) + b'"}'
        depth = 100000
        nested = (b'{"results":[' + b"[" * depth + b"]" * depth
                  + b',{"url":"https://example.com/deep","title":' + b"[" * depth
                  + b"]" * depth + b',"content":' + b'{"a":' * 1000 + b"1" + b"}" * 1000
                  + b"}]}")
        cases = [
            ("body of exactly 4 MiB", answer(big), ["https://example.com/big"]),
            ("chunk size line of 31 characters",
             chunked(b"%031x" % len(doc), doc), ["https://example.com/one"]),
            ("deeply nested JSON", answer(nested), ["https://example.com/deep"]),
        ]
        for name, behave, urls in cases:
            with self.subTest(name):
                reply, took = self.search(behave)
                doc_out = ok_doc(reply)
                self.assertEqual([r["url"] for r in doc_out["results"]], urls)
                self.assertLess(took, QUICK_S)
        # The nested title and content are of the wrong type: absent, not garbage.
        reply, _ = self.search(answer(nested))
        result = ok_doc(reply)["results"][0]
        self.assertEqual((result["title"], result["snippet"]), ("", ""))

    def test_invalid_utf8_in_a_scraped_page_reaches_the_client_replaced(self):
        link = "//duckduckgo.com/l/?uddg=https%3A%2F%2Fexample.com%2F%FF%C3%A9"
        page = (b'<html><body><div class="result"><a class="result__a" href="' + link.encode()
                + b'">caf\xe9 \xff<b>bold</b> \xf0\x9f\x94</a>'
                b'<a class="result__snippet" href="x">snip \xed\xa0\x80 \xc0\xaf end</a>'
                b"</div></body></html>")
        reply, took = self.search(answer(page, b"Content-Type: text/html\r\n"),
                                  provider="duckduckgo")
        results = ok_doc(reply)["results"]
        self.assertEqual(len(results), 1)
        self.assertEqual(results[0]["title"], "caf\ufffd \ufffdbold \ufffd\ufffd\ufffd")
        self.assertEqual(results[0]["url"], "https://example.com/\ufffd\u00e9")
        self.assertEqual(results[0]["snippet"], "snip \ufffd\ufffd\ufffd \ufffd\ufffd end")
        self.assertLess(took, QUICK_S)

    def test_peers_that_are_not_there(self):
        silent = silent_listener()
        try:
            cases = []
            if silent.ok:
                cases.append(("connect that never completes", "http://127.0.0.1:%d" % silent.port,
                              {"ok": False,
                               "error": "connect to 127.0.0.1:%d failed" % silent.port}, 2.5))
            cases.append(("a name that does not resolve", "http://%s" % UNRESOLVABLE,
                          {"ok": False, "error": "dns failure for %s" % UNRESOLVABLE}, 0))
            for name, base, want, at_least in cases:
                with self.subTest(name):
                    reply, took = self.mcp.run("searxng", base)
                    self.assertEqual(tool_error(reply), want)
                    # One candidate's wait is clamped to at most 3 s.
                    self.assertGreaterEqual(took, at_least)
                    self.assertLess(took, QUICK_S)
        finally:
            silent.close()

    def test_tls_peers_that_break_the_handshake(self):
        certs = os.path.join(self.tmp, "certs")
        os.makedirs(certs, exist_ok=True)
        subprocess.run([sys.executable, os.path.join(SUPPORT, "tls_server.py"), "certs", certs],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=120)
        trust = {"TQ_CA_BUNDLE": os.path.join(certs, "ca.pem")}

        garbage = HostilePeer(send_and_close(b"HTTP/1.0 400 Bad Request\r\n\r\n"), read_head=False)
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(os.path.join(certs, "other.pem"), os.path.join(certs, "rsa.key"))

        def other_name(conn, _):
            # The handshake fails on the client's side; whatever it sends
            # then ends this one too.
            try:
                with ctx.wrap_socket(conn, server_side=True) as tls:
                    tls.recv(4096)
            except (OSError, ssl.SSLError):
                pass

        other = HostilePeer(other_name, read_head=False)
        try:
            cases = [
                ("garbage instead of TLS", "https://127.0.0.1:%d" % garbage.port,
                 "TLS handshake failed (code %d%s)" % (BR_ERR_UNSUPPORTED_VERSION, HINT)),
                ("certificate for another name", "https://localhost:%d" % other.port,
                 "TLS handshake failed (code %d%s)" % (BR_ERR_X509_BAD_SERVER_NAME, HINT)),
            ]
            for name, base, message in cases:
                with self.subTest(name):
                    reply, took = self.mcp.run("searxng", base, trust)
                    self.assertEqual(tool_error(reply), {"ok": False, "error": message})
                    self.assertLess(took, QUICK_S)
        finally:
            garbage.stop()
            other.stop()

    def test_stalls_end_at_the_backend_deadline(self):
        # Both run at once: each ends at the 25 s budget of a GET backend.
        results = {}

        def one(name, behave):
            try:
                results[name] = self.search(behave)
            except Exception as e:  # reported below
                results[name] = e

        threads = [threading.Thread(target=one, args=(n, b))
                   for n, b in (("stalled head", stalled_head), ("trickled head", trickled_head))]
        for t in threads:
            t.start()
        for t in threads:
            t.join(90)
        for name in ("stalled head", "trickled head"):
            with self.subTest(name):
                got = results.get(name)
                self.assertIsInstance(got, tuple, got)
                reply, took = got
                self.assertEqual(tool_error(reply),
                                 {"ok": False, "error": "timeout reading response headers"})
                self.assertGreaterEqual(took, 24.5)
                self.assertLess(took, 40 * SCALE)


# BearSSL's error codes for the two handshakes above.
BR_ERR_UNSUPPORTED_VERSION = 3
BR_ERR_X509_BAD_SERVER_NAME = 56

if __name__ == "__main__":
    unittest.main()
