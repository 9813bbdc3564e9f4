"""The MCP server as the host meets it: the real binary on pipes, searches
answered by the loopback mock of the six services."""

import json
import os
import queue
import re
import shutil
import subprocess
import tempfile
import threading
import unittest

import mock_upstream
from mock_upstream import BRAVE_DOC, SEARXNG_DOC, MockUpstream
from mcp_turns import mcp_in_turns

BINARY = os.environ.get("WS_BINARY", "")
RUN_TIMEOUT_S = 90
# Waits for the binary stretch by this factor under valgrind.
TIME_SCALE = float(os.environ.get("WS_TIME_SCALE", "1"))
LINE_MAX = 1048575

PARSE_ERROR = b'{"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error: not valid JSON"}}'
NOT_OBJECT = (b'{"jsonrpc":"2.0","id":null,"error":{"code":-32600,'
              b'"message":"Invalid request: expected an object"}}')


def ping(i):
    return b'{"jsonrpc":"2.0","id":%d,"method":"ping"}' % i


def pong(i):
    return b'{"jsonrpc":"2.0","id":%d,"result":{}}' % i


def search(i, arguments):
    return json.dumps({"jsonrpc": "2.0", "id": i, "method": "tools/call",
                       "params": {"name": "web_search", "arguments": arguments}},
                      separators=(",", ":")).encode()


def without_timing(text):
    text = re.sub(r'"took_ms":\d+', '"took_ms":0', text)
    return re.sub(r" in \d+ ms\n", " in 0 ms\n", text)


# What the mock's default documents become, per backend, for count 5.
EXPECTED = {
    "duckduckgo": [
        {"title": "Install Example & Configure",
         "url": "https://example.com/docs/install?lang=en&v=2",
         "snippet": "Step-by-step guide to installing Example on Linux -- packages, "
                    "\"quick start\" and first run.",
         "site": "example.com"},
        {"title": "Search engine - Example Wiki",
         "url": "https://www.example.org/wiki/Search_engine",
         "snippet": "A search engine is a software system that finds web pages matching a "
                    "query \u2014 ranked by relevance.",
         "site": "www.example.org"},
        {"title": "Fast search in C++",
         "url": "https://example.net:8443/blog/2024/05/fast-search",
         "snippet": "Notes on writing a small, fast search client in C++ with its own "
                    "HTTP/1.1 and TLS stack.",
         "site": "example.net:8443"},
    ],
    "searxng": [
        {"title": "SearXNG first result", "url": "https://example.com/searxng/one",
         "snippet": "First result content & more.", "published": "2024-05-01T10:00:00",
         "site": "example.com"},
        {"title": "Second result", "url": "https://example.org/searxng/two",
         "snippet": "Second result content.", "site": "example.org"},
        {"title": "Third result", "url": "http://example.net:8080/three?x=1", "snippet": "",
         "site": "example.net:8080"},
    ],
    "brave": [
        {"title": "Brave first result", "url": "https://example.com/brave/1",
         "snippet": "The first Brave description.", "published": "2 days ago",
         "site": "example.com"},
        {"title": "Brave second result", "url": "https://sub.example.org/brave/2?q=a",
         "snippet": "Second description.", "site": "sub.example.org"},
        {"title": "Brave third result", "url": "https://example.net/brave/3",
         "snippet": "Third description.", "published": "May 3, 2024", "site": "example.net"},
    ],
    "tavily": [
        {"title": "Tavily first result", "url": "https://example.com/tavily/1",
         "snippet": "First Tavily content.", "published": "2024-05-01", "site": "example.com"},
        {"title": "Tavily second result", "url": "https://example.org/tavily/2",
         "snippet": "Second Tavily content.", "site": "example.org"},
        {"title": "Tavily third result", "url": "https://example.net/tavily/3",
         "snippet": "Third Tavily content.", "site": "example.net"},
    ],
    "exa": [
        {"title": "Exa first result", "url": "https://example.com/exa/1",
         "snippet": "The first highlight.", "published": "2024-05-01T00:00:00.000Z",
         "site": "example.com"},
        {"title": "Exa second result", "url": "https://example.org/exa/2",
         "snippet": "Text of the second page.", "site": "example.org"},
        {"title": "Exa third result", "url": "https://example.net/exa/3",
         "snippet": "Third highlight.", "site": "example.net"},
    ],
    "perplexity": [
        {"title": "Perplexity first result", "url": "https://example.com/pplx/1",
         "snippet": "First Perplexity snippet.", "published": "2024-05-01",
         "site": "example.com"},
        {"title": "Perplexity second result", "url": "https://example.org/pplx/2",
         "snippet": "Second Perplexity snippet.", "site": "example.org"},
        {"title": "Perplexity third result", "url": "https://example.net/pplx/3",
         "snippet": "Third Perplexity snippet.", "published": "2023-12-31",
         "site": "example.net"},
    ],
}
TAVILY_ANSWER = "Example search is a test query; the mock answers it from memory."
KEYS = {"BRAVE_API_KEY": "brave-test-key", "TAVILY_API_KEY": "tavily-test-key",
        "EXA_API_KEY": "exa-test-key", "PERPLEXITY_API_KEY": "pplx-test-key"}


def text_block(provider, query, results, answer=None):
    out = "%d result(s) from %s for \"%s\" in 0 ms\n" % (len(results), provider, query)
    if answer:
        out += "\nAnswer: " + answer + "\n"
    for n, r in enumerate(results, 1):
        out += "\n%d. %s\n   %s\n" % (n, r["title"] or "(untitled)", r["url"])
        if r["snippet"]:
            out += "   %s\n" % r["snippet"]
        if r.get("published"):
            out += "   published: %s\n" % r["published"]
    return out


@unittest.skipUnless(BINARY and os.access(BINARY, os.X_OK), "WS_BINARY is not an executable")
class McpKeepsConnections(unittest.TestCase):
    """One MCP session against a service that keeps connections open."""

    @classmethod
    def setUpClass(cls):
        cls.mock = MockUpstream(keep_alive=True).start()

    @classmethod
    def tearDownClass(cls):
        cls.mock.stop()

    def test_searches_share_a_connection_until_the_service_closes_it(self):
        tmp = tempfile.mkdtemp(prefix="ws-mcp-keep-")
        self.addCleanup(shutil.rmtree, tmp, True)
        # Brave lives on the same origin as SearXNG here; its answer says close.
        self.mock.script("/brave", body=json.dumps(mock_upstream.BRAVE_DOC),
                         headers=[["Content-Type", "application/json"], ["Connection", "close"]])
        names = ["searxng", "brave", "searxng", "searxng"]
        lines = [search(i, {"query": "example search", "provider": name}) + b"\n"
                 for i, name in enumerate(names, 1)]
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": tmp,
               "SWEBSEARCH_CONFIG_DIR": tmp, "WEBSEARCH_MOCK_BASE": self.mock.base,
               "BRAVE_API_KEY": "k", "TQ_VERBOSE": ""}
        # Back to back: each search is sent once the one before is answered.
        rc, replies, stderr = mcp_in_turns([BINARY, "--mcp"], lines, env, RUN_TIMEOUT_S)
        self.assertEqual(rc, 0)
        self.assertEqual(len(replies), len(names))
        for line in replies:
            self.assertTrue(json.loads(line)["result"]["structuredContent"]["ok"], line)
        reqs = self.mock.requests()
        self.assertEqual([r["target"].split("/")[1] for r in reqs], names)
        first = reqs[0]["conn"]
        self.assertEqual([r["conn"] for r in reqs], [first, first, first + 1, first + 1])
        for r in reqs:
            self.assertIn(["Connection", "keep-alive"], r["headers"])
        self.assertEqual(stderr.count("tq_http_tls: reusing connection to 127.0.0.1:%d\n"
                                      % self.mock.port), 2, stderr)
        # Serial mode keeps today's behaviour: one connection per exchange.
        self.mock.reset()
        rc, replies, stderr = mcp_in_turns([BINARY, "--mcp"], lines[:2],
                                           dict(env, WEBSEARCH_MCP_SERIAL="1"), RUN_TIMEOUT_S)
        self.assertEqual((rc, len(replies)), (0, 2))
        reqs = self.mock.requests()
        self.assertEqual(len({r["conn"] for r in reqs}), 2)
        for r in reqs:
            self.assertIn(["Connection", "close"], r["headers"])
        self.assertNotIn("reusing connection", stderr)


class McpCase(unittest.TestCase):
    """The mock, a scratch configuration folder and ways to run the binary."""

    @classmethod
    def setUpClass(cls):
        cls.mock = MockUpstream().start()

    @classmethod
    def tearDownClass(cls):
        cls.mock.stop()

    def setUp(self):
        self.mock.reset()
        self.dir = tempfile.mkdtemp(prefix="ws-mcp-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def env(self, **extra):
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.dir,
               "SWEBSEARCH_CONFIG_DIR": self.dir, "WEBSEARCH_MOCK_BASE": self.mock.base}
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"):
            if name in os.environ:
                env[name] = os.environ[name]
        env.update(extra)
        return {k: v for k, v in env.items() if v is not None}

    def run_mcp(self, data, args=("--mcp",), **extra):
        """Feeds all of data, closes stdin; returns the reply lines (bytes, without newline)."""
        p = subprocess.run([BINARY, *args], input=data, capture_output=True,
                           env=self.env(**extra), timeout=RUN_TIMEOUT_S)
        self.assertEqual(p.returncode, 0, p.stderr[-2000:])
        out = p.stdout
        if out:
            self.assertTrue(out.endswith(b"\n"), out[-200:])
        lines = out.split(b"\n")[:-1] if out else []
        for line in lines:  # standard output carries JSON-RPC lines and nothing else
            doc = json.loads(line.decode("utf-8"))
            self.assertEqual(doc["jsonrpc"], "2.0")
            self.assertNotIn(b"\r", line)
        return lines

    def by_id(self, lines):
        """The reply lines keyed by id; each id must answer exactly once."""
        out = {}
        for line in lines:
            i = json.loads(line)["id"]
            self.assertNotIn(i, out, "two replies for id %r" % (i,))
            out[i] = line
        return out

    def result_of(self, line, i):
        doc = json.loads(line)
        self.assertEqual(doc["id"], i)
        return doc["result"]


@unittest.skipUnless(BINARY and os.access(BINARY, os.X_OK), "WS_BINARY is not an executable")
class McpBinary(McpCase):
    # --- framing ---------------------------------------------------------

    def test_empty_lines_carriage_returns_and_eof_without_newline(self):
        data = (b"\n\n" + ping(1) + b"\r\n" + b"   \n" + b"{}\n" +
                b'{"jsonrpc":"2.0","method":"notifications/initialized"}\n' +
                b"[]\n" + ping(2))
        self.assertEqual(self.run_mcp(data), [pong(1), PARSE_ERROR, NOT_OBJECT, pong(2)])

    def test_no_input_no_output(self):
        self.assertEqual(self.run_mcp(b""), [])
        self.assertEqual(self.run_mcp(b"\n\n\n"), [])

    def test_line_bound(self):
        # A line of exactly the bound is whole; one byte more is cut, and the
        # cut inside the string makes it unparsable.
        def padded(total):
            head = b'{"jsonrpc":"2.0","id":3,"method":"ping","pad":"'
            return head + b"x" * (total - len(head) - 2) + b'"}'

        self.assertEqual(len(padded(LINE_MAX)), LINE_MAX)
        data = padded(LINE_MAX) + b"\n" + padded(LINE_MAX + 1) + b"\n" + ping(4) + b"\n"
        self.assertEqual(self.run_mcp(data), [pong(3), PARSE_ERROR, pong(4)])

    def test_over_long_line_draws_one_reply_and_the_next_line_is_read(self):
        data = b"{" + b"x" * (3 * LINE_MAX) + b"\n" + ping(5) + b"\n" + b"y" * (LINE_MAX + 7)
        self.assertEqual(self.run_mcp(data), [PARSE_ERROR, pong(5), PARSE_ERROR])

    def test_replies_come_in_request_order(self):
        lines, want = [], []
        for i in range(1, 41):
            if i % 3 == 0:
                lines.append(b'{"jsonrpc":"2.0","id":%d,"method":"prompts/list"}' % i)
                want.append(b'{"jsonrpc":"2.0","id":%d,"result":{"prompts":[]}}' % i)
            elif i % 3 == 1:
                lines.append(ping(i))
                want.append(pong(i))
            else:
                lines.append(b'{"jsonrpc":"2.0","id":%d,"method":"nope"}' % i)
                want.append(b'{"jsonrpc":"2.0","id":%d,"error":{"code":-32601,'
                            b'"message":"Method not found"}}' % i)
        self.assertEqual(self.run_mcp(b"\n".join(lines) + b"\n"), want)

    def test_each_reply_is_flushed_before_the_next_request_is_sent(self):
        p = subprocess.Popen([BINARY, "--mcp"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, env=self.env())
        replies = queue.Queue()

        def pump():
            for line in p.stdout:
                replies.put(line)
            replies.put(None)

        reader = threading.Thread(target=pump, daemon=True)
        reader.start()
        try:
            for i in (1, 2, 3):
                p.stdin.write(ping(i) + b"\n")
                p.stdin.flush()
                self.assertEqual(replies.get(timeout=20), pong(i) + b"\n")
            p.stdin.write(search(4, {"query": "example", "provider": "searxng"}) + b"\n")
            p.stdin.flush()
            result = self.result_of(replies.get(timeout=60), 4)
            self.assertEqual(result["structuredContent"]["count"], 3)
            p.stdin.close()
            self.assertIsNone(replies.get(timeout=20))
            self.assertEqual(p.wait(timeout=20), 0)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
            reader.join(5)
            p.stdout.close()
            if not p.stdin.closed:
                p.stdin.close()

    def test_started_through_the_environment_without_arguments(self):
        lines = self.run_mcp(ping(6) + b"\n", args=(), TQ_PLUGIN_MCP="")
        self.assertEqual(lines, [pong(6)])

    def test_initialize_names_the_configured_provider(self):
        lines = self.run_mcp(b'{"jsonrpc":"2.0","id":0,"method":"initialize","params":{}}\n',
                             WEBSEARCH_PROVIDER="Tavily")
        self.assertEqual(lines, [
            b'{"jsonrpc":"2.0","id":0,"result":{"protocolVersion":"2025-06-18","capabilities":'
            b'{"tools":{"listChanged":false}},"serverInfo":{"name":"websearch-server","version":'
            b'"1.0.3"},"instructions":"Web search across six backends: duckduckgo (no key), '
            b'searxng (self-hosted), brave, tavily, exa and perplexity (API key). The default '
            b'provider on this node is Tavily. web_search returns ranked title/url/snippet '
            b'results; web_search_providers reports which backends are configured. A key is '
            b'never returned, only has_key."}}'])

    def test_tools_list_matches_schema_mode(self):
        schema = subprocess.run([BINARY, "--schema"], capture_output=True, env=self.env(),
                                timeout=RUN_TIMEOUT_S).stdout
        self.assertTrue(schema.startswith(b'{"tools":['), schema[:80])
        lines = self.run_mcp(b'{"jsonrpc":"2.0","id":"l","method":"tools/list"}\n')
        self.assertEqual(lines, [b'{"jsonrpc":"2.0","id":"l","result":' + schema.rstrip(b"\n")
                                 + b"}"])

    # --- searches end to end ---------------------------------------------

    def test_search_on_each_backend(self):
        providers = list(EXPECTED)
        data = b"".join(search(i, {"query": "example search", "provider": name}) + b"\n"
                        for i, name in enumerate(providers, 1))
        lines = self.by_id(self.run_mcp(data, **KEYS))
        self.assertEqual(sorted(lines), list(range(1, len(providers) + 1)))
        for i, name in enumerate(providers, 1):
            line = lines[i]
            with self.subTest(provider=name):
                result = self.result_of(line, i)
                self.assertNotIn("isError", result)
                doc = {"ok": True, "query": "example search", "provider": name, "count": 3,
                       "took_ms": 0, "results": EXPECTED[name]}
                structured = dict(result["structuredContent"])
                self.assertIsInstance(structured["took_ms"], int)
                self.assertGreaterEqual(structured["took_ms"], 0)
                structured["took_ms"] = 0
                self.assertEqual(structured, doc)
                # Member order is part of the document.
                self.assertEqual(list(result["structuredContent"]),
                                 ["ok", "query", "provider", "count", "took_ms", "results"])
                self.assertEqual(result["content"][0]["type"], "text")
                self.assertEqual(without_timing(result["content"][0]["text"]),
                                 text_block(name, "example search", EXPECTED[name]))
                self.assertEqual(list(result), ["content", "structuredContent"])
        targets = [r["target"].split("/")[1] for r in self.mock.requests()]
        self.assertEqual(sorted(targets), sorted(providers))

    def test_page_without_hits_gives_no_results(self):
        self.mock.script("/duckduckgo", body=mock_upstream.DDG_NO_HIT_PAGE,
                         headers=[["Content-Type", "text/html"]])
        lines = self.run_mcp(search(1, {"query": "zzqxj"}) + b"\n")
        result = self.result_of(lines[0], 1)
        self.assertNotIn("isError", result)
        self.assertEqual((result["structuredContent"]["count"],
                          result["structuredContent"]["results"]), (0, []))

    def test_tavily_answer_is_carried_in_both_renderings(self):
        lines = self.run_mcp(search(1, {"query": "example search", "provider": "tavily"}) + b"\n",
                             WEBSEARCH_TAVILY_ANSWER="1", **KEYS)
        result = self.result_of(lines[0], 1)
        self.assertEqual(result["structuredContent"]["answer"], TAVILY_ANSWER)
        self.assertEqual(list(result["structuredContent"]),
                         ["ok", "query", "provider", "count", "took_ms", "answer", "results"])
        self.assertEqual(without_timing(result["content"][0]["text"]),
                         text_block("tavily", "example search", EXPECTED["tavily"],
                                    TAVILY_ANSWER))

    def test_backend_errors_are_tool_errors(self):
        # The service quotes the key it was sent; the tool result never does.
        self.mock.script("/brave", status=401, body='{"message":"bad key brave-test-key"}',
                         headers=[["Content-Type", "application/json"]])
        self.mock.script("/searxng", status=200, body="{}")
        self.mock.script("/exa", status=200, body="")
        self.mock.script("/perplexity", status=429, body='{"detail":"Rate limit"}')
        cases = [
            ("brave", '{"ok":false,"error":"Brave returned HTTP 401: bad key [redacted]",'
                      '"status":401}'),
            ("searxng", '{"ok":false,"error":"SearXNG answered without a results array - check '
                        'that this instance allows ?format=json (settings.yml: search.formats)",'
                        '"status":200}'),
            ("exa", '{"ok":false,"error":"Exa returned an empty response","status":200}'),
            ("perplexity", '{"ok":false,"error":"Perplexity returned HTTP 429: Rate limit",'
                           '"status":429}'),
            ("tavily", '{"ok":false,"error":"Tavily needs an API key. Set TAVILY_API_KEY, or '
                       'save one on the plugin page."}'),
            ("yahoo", '{"ok":false,"error":"unknown provider \\"yahoo\\" (choose duckduckgo, '
                      'searxng, brave, tavily, exa or perplexity)"}'),
        ]
        data = b"".join(search(i, {"query": "x", "provider": name}) + b"\n"
                        for i, (name, _) in enumerate(cases, 1))
        keys = dict(KEYS, TAVILY_API_KEY=None)
        lines = self.by_id(self.run_mcp(data, **keys))
        self.assertEqual(sorted(lines), list(range(1, len(cases) + 1)))
        for i, (name, doc) in enumerate(cases, 1):
            line = lines[i]
            with self.subTest(provider=name):
                want = (b'{"jsonrpc":"2.0","id":%d,"result":{"content":[{"type":"text","text":'
                        % i + json.dumps(doc, ensure_ascii=False).encode() +
                        b'}],"structuredContent":' + doc.encode() + b',"isError":true}}')
                self.assertEqual(line, want)
        # Only the four backends with what they need were asked.
        self.assertEqual(sorted(r["target"].split("/")[1] for r in self.mock.requests()),
                         ["brave", "exa", "perplexity", "searxng"])

    def test_unreachable_backend_with_diagnostics_on(self):
        # Diagnostics must go to standard error, never into the protocol stream.
        p = subprocess.run([BINARY, "--mcp"], input=search(1, {"query": "x"}) + b"\n" + ping(2),
                           capture_output=True, timeout=RUN_TIMEOUT_S,
                           env=self.env(WEBSEARCH_MOCK_BASE="http://127.0.0.1:1", TQ_VERBOSE="1",
                                        TQ_DEBUG="1"))
        self.assertEqual(p.returncode, 0)
        lines = p.stdout.split(b"\n")
        self.assertEqual(lines[-1], b"")
        self.assertEqual(len(lines), 3, p.stdout)
        replies = self.by_id(lines[:-1])
        result = self.result_of(replies[1], 1)
        self.assertTrue(result["isError"])
        self.assertFalse(result["structuredContent"]["ok"])
        self.assertNotIn("status", result["structuredContent"])
        self.assertTrue(result["structuredContent"]["error"])
        self.assertEqual(replies[2], pong(2))

    def test_providers_tool(self):
        lines = self.run_mcp(
            b'{"jsonrpc":"2.0","id":1,"method":"tools/call","params":'
            b'{"name":"web_search_providers","arguments":{}}}\n',
            BRAVE_API_KEY="brave-secret-value", WEBSEARCH_PROVIDER="exa")
        self.assertNotIn(b"brave-secret-value", lines[0])
        result = self.result_of(lines[0], 1)
        self.assertEqual(list(result), ["content", "structuredContent"])
        doc = result["structuredContent"]
        self.assertEqual(json.loads(result["content"][0]["text"]), doc)
        self.assertEqual(doc["active"], "exa")
        self.assertEqual([p["id"] for p in doc["providers"]],
                         ["duckduckgo", "searxng", "brave", "tavily", "exa", "perplexity"])
        ready = {p["id"]: (p["has_key"], p["ready"]) for p in doc["providers"]}
        self.assertEqual(ready, {"duckduckgo": (False, True), "searxng": (False, True),
                                 "brave": (True, True), "tavily": (False, False),
                                 "exa": (False, False), "perplexity": (False, False)})
        self.assertEqual(doc["providers"][1]["base"], self.mock.base + "/searxng")
        self.assertEqual([p["id"] for p in doc["providers"] if "base" in p], ["searxng"])


class Session:
    """The binary on live pipes: lines go in one by one, replies are read
    as they come."""

    def __init__(self, env):
        self.p = subprocess.Popen([BINARY, "--mcp"], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
        self.replies = queue.Queue()
        self.reader = threading.Thread(target=self._pump, daemon=True)
        self.reader.start()

    def _pump(self):
        for line in self.p.stdout:
            self.replies.put(line.rstrip(b"\n"))
        self.replies.put(None)

    def send(self, *lines):
        self.p.stdin.write(b"".join(line + b"\n" for line in lines))
        self.p.stdin.flush()

    def next_reply(self, timeout=30):
        line = self.replies.get(timeout=timeout * TIME_SCALE)
        if line is None:
            raise AssertionError("standard output ended")
        return line

    def close(self):
        """Closes standard input; returns the remaining replies and the exit status."""
        self.p.stdin.close()
        rest = []
        while True:
            line = self.replies.get(timeout=RUN_TIMEOUT_S)
            if line is None:
                break
            rest.append(line)
        return rest, self.p.wait(timeout=RUN_TIMEOUT_S)

    def kill(self):
        if self.p.poll() is None:
            self.p.kill()
            self.p.wait()
        self.reader.join(5)
        self.p.stdout.close()
        if not self.p.stdin.closed:
            self.p.stdin.close()


def cancel(i):
    return b'{"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":%d}}' % i


@unittest.skipUnless(BINARY and os.access(BINARY, os.X_OK), "WS_BINARY is not an executable")
class McpParallel(McpCase):
    """Searches beside the reader: replies in completion order, one per
    request, cancellation, the queue bound, serial mode and settings read
    again when config.json changes."""

    def session(self, **extra):
        s = Session(self.env(**extra))
        self.addCleanup(s.kill)
        return s

    def slow(self, provider, delay_ms, times=None):
        """The service's usual answer, after delay_ms."""
        doc = {"brave": BRAVE_DOC, "searxng": SEARXNG_DOC}[provider]
        self.mock.script("/" + provider, body=json.dumps(doc), delay_ms=delay_ms, times=times)

    def wait_for_requests(self, n):
        for _ in range(int(400 * TIME_SCALE)):
            if len(self.mock.requests()) >= n:
                return self.mock.requests()
            threading.Event().wait(0.025)
        self.fail("the mock saw %d requests, not %d" % (len(self.mock.requests()), n))

    def test_burst_of_mixed_requests_answers_each_id_once_and_finishes_at_end_of_input(self):
        # Twelve searches (more than run at once) still in flight when the
        # input ends, among pings, errors and notifications.
        self.slow("searxng", 300)
        lines, want = [], {}
        for i in range(1, 21):
            kind = i % 5
            if kind in (0, 2, 4) or i == 1:
                lines.append(search(i, {"query": "burst-%d" % i, "provider": "searxng"}))
                want[i] = "search"
            elif kind == 1:
                lines.append(ping(i))
                want[i] = pong(i)
            else:
                lines.append(b'{"jsonrpc":"2.0","id":%d,"method":"nope"}' % i)
                want[i] = (b'{"jsonrpc":"2.0","id":%d,"error":{"code":-32601,'
                           b'"message":"Method not found"}}' % i)
            lines.append(b'{"jsonrpc":"2.0","method":"notifications/progress"}')
        lines.append(cancel(999))  # names nothing: ignored
        replies = self.by_id(self.run_mcp(b"\n".join(lines) + b"\n"))
        self.assertEqual(sorted(replies), sorted(want))
        for i, w in want.items():
            if w == "search":
                self.assertEqual(self.result_of(replies[i], i)["structuredContent"]["count"], 3)
            else:
                self.assertEqual(replies[i], w)
        self.assertEqual(sorted(r["target"].split("q=")[1].split("&")[0]
                                for r in self.mock.requests()),
                         sorted("burst-%d" % i for i, w in want.items() if w == "search"))

    def test_reply_order_by_mode(self):
        # A slow search, then a fast one and a ping: in parallel mode the
        # fast replies overtake it; serial mode keeps request order.
        self.slow("brave", 1500)
        data = (search(1, {"query": "slow", "provider": "brave"}) + b"\n" +
                search(2, {"query": "fast", "provider": "searxng"}) + b"\n" + ping(3) + b"\n")
        for serial, order in ((None, [3, 2, 1]), ("0", [3, 2, 1]), ("yes", [3, 2, 1]),
                              ("1", [1, 2, 3])):
            with self.subTest(WEBSEARCH_MCP_SERIAL=serial):
                lines = self.run_mcp(data, WEBSEARCH_MCP_SERIAL=serial, **KEYS)
                self.assertEqual([json.loads(line)["id"] for line in lines], order)
                self.assertEqual(self.result_of(lines[order.index(1)], 1)
                                 ["structuredContent"]["count"], 3)

    def test_cancel_of_a_running_and_a_waiting_search(self):
        # Eight slow searches occupy every worker; a ninth waits.
        self.slow("brave", 8000)
        s = self.session(**KEYS)
        s.send(*[search(i, {"query": "slow-%d" % i, "provider": "brave"}) for i in range(1, 10)])
        self.wait_for_requests(8)
        # The waiting one goes first, so the freed worker cannot start it.
        s.send(cancel(9), cancel(3), cancel(3), cancel(42))
        # The cancelled search's worker is free again: a fast search is
        # answered while the other seven still wait for the mock.
        s.send(search(10, {"query": "fast", "provider": "searxng"}))
        self.assertEqual(self.result_of(s.next_reply(), 10)["structuredContent"]["count"], 3)
        seen = self.mock.requests()
        slow = {r["target"].split("q=")[1].split("&")[0]: r for r in seen
                if r["target"].startswith("/brave/")}
        self.assertEqual(sorted(slow), sorted("slow-%d" % i for i in range(1, 9)))
        # The mock saw the cancelled exchange's connection close long before
        # its answer was due; the others are still open.
        self.assertIsNotNone(slow["slow-3"]["peer_closed_ms"])
        self.assertLess(slow["slow-3"]["peer_closed_ms"], 8000)
        self.assertEqual([k for k, r in slow.items() if r["peer_closed_ms"] is not None],
                         ["slow-3"])
        rest, status = s.close()
        self.assertEqual(status, 0)
        self.assertEqual(sorted(json.loads(line)["id"] for line in rest), [1, 2, 4, 5, 6, 7, 8])

    def test_reader_waits_once_the_queue_is_full(self):
        # Eight running and 64 waiting: the next call holds the reader, so a
        # ping behind it is answered only after a worker took a waiting call,
        # which it does only once its own reply is out.
        self.slow("searxng", 1500, times=8)
        s = self.session()
        s.send(*[search(i, {"query": "q%d" % i, "provider": "searxng"}) for i in range(1, 74)])
        s.send(ping(100))
        replies = [s.next_reply(60) for _ in range(74)]
        ids = [json.loads(line)["id"] for line in replies]
        self.assertEqual(sorted(ids), list(range(1, 74)) + [100])
        self.assertGreater(ids.index(100), 0, "the ping overtook a full queue")
        self.assertEqual(s.close(), ([], 0))

    def test_saved_settings_apply_to_the_next_call(self):
        s = self.session(BRAVE_API_KEY=None)
        s.send(search(1, {"query": "x", "provider": "brave"}))
        self.assertIn("Brave needs an API key",
                      self.result_of(s.next_reply(), 1)["structuredContent"]["error"])
        # Saved the way the page saves: a new file renamed over the old one.
        path = os.path.join(self.dir, "config.json")
        for n, key in enumerate(("saved-key-one", "saved-key-two"), 2):
            with open(path + ".tmp", "w") as f:
                json.dump({"brave_key": key}, f)
            os.replace(path + ".tmp", path)
            self.mock.reset()
            s.send(search(n, {"query": "x", "provider": "brave"}))
            self.assertEqual(self.result_of(s.next_reply(), n)["structuredContent"]["count"], 3)
            headers = {k.lower(): v for k, v in self.mock.requests()[0]["headers"]}
            self.assertEqual(headers["x-subscription-token"], key)
        # The environment still wins over the file.
        self.assertEqual(s.close(), ([], 0))
        lines = self.run_mcp(search(5, {"query": "x", "provider": "brave"}) + b"\n",
                             BRAVE_API_KEY="env-key")
        self.assertEqual(self.result_of(lines[0], 5)["structuredContent"]["count"], 3)
        headers = {k.lower(): v for k, v in self.mock.requests()[-1]["headers"]}
        self.assertEqual(headers["x-subscription-token"], "env-key")


if __name__ == "__main__":
    unittest.main()
