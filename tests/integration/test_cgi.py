"""The CGI endpoint as a web server runs it: the real binary, one process per
request, the request in environment variables and the body on stdin."""

import json
import os
import stat
import subprocess
import tempfile
import unittest

from mock_upstream import DDG_NO_HIT_PAGE, MockUpstream

BINARY = os.environ.get("WS_BINARY", "")
# The Linux build's binary, when this run drives the Windows one.
REFERENCE_BINARY = os.environ.get("WS_REFERENCE_BINARY", "")
# Windows files carry access lists, not POSIX modes.
POSIX_MODES = os.environ.get("WS_TARGET", "") != "windows"
RUN_TIMEOUT_S = 60

JSON_HEADER = (b"Content-Type: application/json; charset=utf-8\r\n"
               b"Cache-Control: no-store\r\n"
               b"X-Content-Type-Options: nosniff\r\n\r\n")
PAGE_HEADER = (b"Content-Type: text/html; charset=utf-8\r\n"
               b"Cache-Control: no-store\r\n"
               b"X-Content-Type-Options: nosniff\r\n"
               b"X-Frame-Options: SAMEORIGIN\r\n"
               b"Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; "
               b"style-src 'unsafe-inline'; img-src 'self' data:; connect-src 'self'; "
               b"form-action 'none'; base-uri 'none'\r\n\r\n")
UNAUTHORIZED = (b"Status: 401 Unauthorized\r\n" + JSON_HEADER +
                b'{"ok":false,"error":"invalid node password"}\n')
INFO = (b'{"ok":true,"id":"plugin_websearch","version":"1.0.3","kind":"mcp","providers":'
        b'["duckduckgo","searxng","brave","tavily","exa","perplexity"],"active":"%s"}\n')
CONFIG_KEYS = ["provider", "count", "region", "safe", "language", "searxng_categories",
               "tavily_advanced", "tavily_answer", "brave_key", "tavily_key", "exa_key",
               "pplx_key", "ddg_base", "searxng_base", "brave_base", "tavily_base", "exa_base",
               "pplx_base"]


def err(code, message):
    line = {400: b"Status: 400 Bad Request\r\n", 404: b"Status: 404 Not Found\r\n",
            500: b"Status: 500 Internal Server Error\r\n"}[code]
    return line + JSON_HEADER + b'{"ok":false,"error":' + json.dumps(message).encode() + b"}\n"


class CgiCase(unittest.TestCase):
    """One temporary configuration folder per test; every run must end 0."""

    def setUp(self):
        self.assertTrue(BINARY, "WS_BINARY is not set")
        self._tmp = tempfile.TemporaryDirectory()
        self.dir = os.path.join(self._tmp.name, "cfg")
        self.config = os.path.join(self.dir, "config.json")

    def tearDown(self):
        self._tmp.cleanup()

    def run_cgi(self, query=None, method="GET", body=None, env=None, content_length=None,
                config_dir=None, binary=None):
        e = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"),
             "HOME": self._tmp.name,
             "SWEBSEARCH_CONFIG_DIR": config_dir or self.dir}
        if query is not None:
            e["QUERY_STRING"] = query
        if method is not None:
            e["REQUEST_METHOD"] = method
        data = b""
        if body is not None:
            data = body if isinstance(body, bytes) else json.dumps(body).encode()
            e["CONTENT_LENGTH"] = str(len(data))
            e["CONTENT_TYPE"] = "application/json"
        if content_length is not None:
            e["CONTENT_LENGTH"] = content_length
        e.update(env or {})
        p = subprocess.run([binary or BINARY], input=data, env=e, capture_output=True,
                           timeout=RUN_TIMEOUT_S)
        self.assertEqual(p.returncode, 0, p.stderr.decode(errors="replace"))
        return p.stdout

    def json_body(self, out, header=JSON_HEADER):
        self.assertTrue(out.startswith(header), out[:300])
        self.assertTrue(out.endswith(b"\n"))
        return json.loads(out[len(header):])

    def stored(self):
        with open(self.config, "rb") as f:
            raw = f.read()
        pairs = json.loads(raw, object_pairs_hook=lambda p: p)
        self.assertEqual([k for k, _ in pairs], CONFIG_KEYS)
        return dict(pairs)


class Dispatch(CgiCase):
    def test_page_for_plain_requests(self):
        for query, method in [(None, None), ("", "GET"), ("", "PUT"), ("theme=dark", "GET"),
                              ("pwd=x&embed=1", "HEAD"), ("", "DELETE")]:
            with self.subTest(query=query, method=method):
                out = self.run_cgi(query, method)
                self.assertTrue(out.startswith(PAGE_HEADER), out[:400])
                page = out[len(PAGE_HEADER):]
                self.assertTrue(page.startswith(b"<!doctype html>\n<html lang=\"en\">"))
                self.assertTrue(page.endswith(b"</html>\n"))
                self.assertNotIn(b"\x01", page)
                self.assertNotIn(b"\x02", page)
                self.assertNotIn(b"\r", page)
                for needle in [b"<title>websearch</title>", b"window.tqApplyTheme",
                               b"bot_theme", b"Keys &amp; defaults"]:
                    self.assertIn(needle, page)
                self.assertLess(page.index(b"prefers-color-scheme"), page.index(b"</head>"))
                self.assertGreater(page.index(b"window.tqApplyTheme"),
                                   page.index(b"function load()"))

    @unittest.skipUnless(REFERENCE_BINARY and os.access(REFERENCE_BINARY, os.X_OK),
                         "no reference build to compare with (WS_REFERENCE_BINARY)")
    def test_page_bytes_match_the_reference_build(self):
        for query in [None, "theme=dark", "embed=1&theme=light"]:
            with self.subTest(query=query):
                self.assertEqual(self.run_cgi(query), self.run_cgi(query, binary=REFERENCE_BINARY))

    def test_format_json_answers_providers(self):
        for query in ["format=json", "a=1&format=json", "xformat=jsonx"]:
            with self.subTest(query=query):
                doc = self.json_body(self.run_cgi(query))
                self.assertEqual(doc["active"], "duckduckgo")
                self.assertEqual([p["id"] for p in doc["providers"]],
                                 ["duckduckgo", "searxng", "brave", "tavily", "exa",
                                  "perplexity"])

    def test_providers_and_config_actions_are_the_providers_document(self):
        plain = self.run_cgi("format=json")
        self.assertEqual(self.run_cgi("action=providers"), plain)
        self.assertEqual(self.run_cgi("action=config"), plain)
        self.assertEqual(self.run_cgi("action=config&format=json", "POST", {}), plain)

    def test_action_errors(self):
        cases = [
            ("action=", "GET", None, err(400, "action is required")),
            ("action=&format=json", "GET", None, err(400, "action is required")),
            ("action=Providers", "GET", None, err(404, "unknown action")),
            ("action=info%20", "GET", None, err(404, "unknown action")),
            ("", "POST", None, err(400, "action is required")),
            ("", "post", None, err(400, "action is required")),
            ("", "POST", {"action": 5}, err(400, "action is required")),
            ("", "POST", {"action": ""}, err(400, "action is required")),
            ("", "POST", b"{not json", err(400, "action is required")),
            ("", "POST", {"action": "nope"}, err(404, "unknown action")),
        ]
        for query, method, body, want in cases:
            with self.subTest(query=query, method=method, body=body):
                self.assertEqual(self.run_cgi(query, method, body), want)

    def test_action_sources(self):
        info = INFO % b"duckduckgo"
        cases = [
            ("action=info", "GET", None),
            ("format=json", "POST", {"action": "info"}),
            ("", "POST", {"action": "info"}),
            ("", "Post", {"action": "info"}),
            ("action=info", "POST", {"action": "save"}),      # the query string wins
            ("", "POST", {"action": "info", "action2": "x", "q": None}),
            ("", "POST", b'{"action":"info","action":"save"}'),  # first member only
        ]
        for query, method, body in cases:
            with self.subTest(query=query, body=body):
                self.assertEqual(self.run_cgi(query, method, body), JSON_HEADER + info)
        # A non-string action falls back to the providers document with format=json.
        self.assertEqual(self.run_cgi("format=json", "POST", {"action": 5}),
                         self.run_cgi("format=json"))
        self.assertFalse(os.path.exists(self.config))

    def test_body_length_rules(self):
        body = json.dumps({"action": "info"}).encode()
        providers = self.run_cgi("format=json")
        info = JSON_HEADER + INFO % b"duckduckgo"
        cases = [
            (str(len(body)), info),
            (str(len(body) + 50), info),         # the input ends early: what arrived counts
            ("1048576", info),
            ("1048577", providers),              # too large: not read at all
            ("0", providers),
            ("-1", providers),
            ("", providers),
            ("99999999999999999999999", providers),
            (str(len(body) - 1), providers),     # cut short: no longer JSON
        ]
        for length, want in cases:
            with self.subTest(length=length):
                self.assertEqual(self.run_cgi("format=json", "POST", body, content_length=length),
                                 want)
        # Bytes after the announced length are not read.
        self.assertEqual(
            self.run_cgi("format=json", "POST", body + b'garbage', content_length=str(len(body))),
            info)
        # The text is parsed up to its first NUL byte.
        self.assertEqual(self.run_cgi("format=json", "POST", body + b"\x00junk"), info)

    def test_info_names_the_active_provider(self):
        out = self.run_cgi("action=info", env={"WEBSEARCH_PROVIDER": "Exa"})
        self.assertEqual(out, JSON_HEADER + INFO % b"Exa")


class Auth(CgiCase):
    PW = "s3cr et+%"

    def run_auth(self, query="action=info", env=None, body=None, method="GET"):
        e = {"BOT_PASSWORD": self.PW}
        e.update(env or {})
        return self.run_cgi(query, method, body, env=e)

    def test_refusals_are_exact(self):
        cases = [
            ("action=info", {}),
            ("action=info", {"HTTP_X_BOT_PASSWORD": self.PW + " "}),
            ("action=info", {"HTTP_X_BOT_PASSWORD": self.PW[:-1]}),
            ("action=info", {"HTTP_X_BOT_PASSWORD": ""}),
            ("action=info", {"HTTP_AUTHORIZATION": "bearer " + self.PW}),
            ("action=info", {"HTTP_AUTHORIZATION": "Bearer " + self.PW + " "}),
            ("action=info", {"HTTP_AUTHORIZATION": "Basic " + self.PW}),
            ("action=info&pwd=s3cr+et%2B", {}),
            ("action=info&pwd=s3cr+et%2B%25%00", {}),
            ("action=info&PWD=s3cr+et%2B%25", {}),
            ("", {}),                       # the page too
            ("format=json", {}),
        ]
        for query, env in cases:
            with self.subTest(query=query, env=env):
                self.assertEqual(self.run_auth(query, env), UNAUTHORIZED)
        # A password in the body is never consulted.
        self.assertEqual(self.run_auth("", body={"action": "info", "pwd": self.PW}, method="POST"),
                         UNAUTHORIZED)

    def test_each_credential_passes(self):
        info = JSON_HEADER + INFO % b"duckduckgo"
        cases = [
            ("action=info", {"HTTP_X_BOT_PASSWORD": self.PW}),
            ("action=info", {"HTTP_AUTHORIZATION": "Bearer " + self.PW}),
            ("action=info", {"HTTP_AUTHORIZATION": "   Bearer      " + self.PW}),
            ("action=info", {"HTTP_AUTHORIZATION": self.PW}),
            ("action=info&pwd=s3cr+et%2B%25", {}),
            ("pwd=s3cr%20et%2B%25&action=info", {}),
            ("action=info&pwd=s3cr+et%2B%25", {"HTTP_X_BOT_PASSWORD": "wrong"}),
        ]
        for query, env in cases:
            with self.subTest(query=query, env=env):
                self.assertEqual(self.run_auth(query, env), info)
        for pw in [None, ""]:
            with self.subTest(password=pw):
                env = {} if pw is None else {"BOT_PASSWORD": pw}
                self.assertEqual(self.run_cgi("action=info", env=env), info)

    def test_refused_save_writes_nothing(self):
        out = self.run_auth("action=save&count=9", {"HTTP_X_BOT_PASSWORD": "nope"})
        self.assertEqual(out, UNAUTHORIZED)
        self.assertFalse(os.path.exists(self.config))


class McpOverHttp(CgiCase):
    """The MCP endpoint as one CGI request per JSON-RPC message."""
    PW = "n0de-pw"
    ACCEPTED = b"Status: 202 Accepted\r\nCache-Control: no-store\r\n\r\n"
    PING = {"jsonrpc": "2.0", "id": 1, "method": "ping"}

    def post(self, body, env=None, query="", method="POST", content_length=None):
        e = {"PATH_INFO": "/mcp", "BOT_PASSWORD": self.PW,
             "HTTP_AUTHORIZATION": "Bearer " + self.PW,
             "HTTP_ACCEPT": "application/json, text/event-stream"}
        e.update(env or {})
        e = {k: v for k, v in e.items() if v is not None}
        return self.run_cgi(query, method, body, env=e, content_length=content_length)

    @staticmethod
    def refusal(status, code, message, extra=b""):
        return (status + extra + JSON_HEADER + b'{"jsonrpc":"2.0","id":null,"error":{"code":' +
                str(code).encode() + b',"message":' + json.dumps(message).encode() + b"}}\n")

    def test_transport_rules(self):
        not_allowed = self.refusal(
            b"Status: 405 Method Not Allowed\r\n", -32000,
            "Method not allowed: send one JSON-RPC message with POST (no event stream, no "
            "sessions)", b"Allow: POST\r\n")
        bad_version = self.refusal(
            b"Status: 400 Bad Request\r\n", -32000,
            "Bad Request: unsupported MCP-Protocol-Version; this server speaks 2025-06-18 "
            "(2025-03-26 is accepted too)")
        not_acceptable = self.refusal(
            b"Status: 406 Not Acceptable\r\n", -32000,
            "Not Acceptable: replies are application/json, which the Accept header excludes")
        parse_error = self.refusal(b"Status: 400 Bad Request\r\n", -32700,
                                   "Parse error: not valid JSON")
        batch = self.refusal(b"Status: 400 Bad Request\r\n", -32600,
                             "Invalid request: expected an object")
        too_large = self.refusal(b"Status: 413 Content Too Large\r\n", -32600,
                                 "Request too large: a message may hold at most 1048576 bytes")
        pong = JSON_HEADER + b'{"jsonrpc":"2.0","id":1,"result":{}}\n'
        challenge = UNAUTHORIZED.replace(b"\r\n", b"\r\nWWW-Authenticate: Bearer\r\n", 1)
        foreign = (b"Status: 403 Forbidden\r\n" + JSON_HEADER +
                   b'{"ok":false,"error":"cross-site request refused"}\n')
        notification = {"jsonrpc": "2.0", "method": "notifications/initialized"}
        cases = [
            # name, body, env, method, query, want
            ("request", self.PING, {}, "POST", "", pong),
            ("action=mcp", self.PING, {"PATH_INFO": None}, "POST", "action=mcp", pong),
            ("pwd in the address", self.PING, {"HTTP_AUTHORIZATION": None}, "post",
             "pwd=n0de-pw", pong),
            ("notification", notification, {}, "POST", "", self.ACCEPTED),
            ("cancel notification", {"jsonrpc": "2.0", "method": "notifications/cancelled",
                                     "params": {"requestId": 1}}, {}, "POST", "", self.ACCEPTED),
            ("response", {"jsonrpc": "2.0", "id": 9, "result": {}}, {}, "POST", "",
             self.ACCEPTED),
            ("error response", {"jsonrpc": "2.0", "id": 9, "error": {"code": 1}}, {}, "POST", "",
             self.ACCEPTED),
            ("GET", None, {}, "GET", "", not_allowed),
            ("DELETE", None, {"HTTP_MCP_SESSION_ID": "x"}, "DELETE", "", not_allowed),
            ("GET through action=mcp", None, {"PATH_INFO": None}, "GET", "action=mcp",
             not_allowed),
            ("Accept excludes JSON", self.PING, {"HTTP_ACCEPT": "text/event-stream"}, "POST", "",
             not_acceptable),
            ("no Accept", self.PING, {"HTTP_ACCEPT": None}, "POST", "", pong),
            ("Accept */*", self.PING, {"HTTP_ACCEPT": "*/*"}, "POST", "", pong),
            ("version 2025-06-18", self.PING, {"HTTP_MCP_PROTOCOL_VERSION": "2025-06-18"},
             "POST", "", pong),
            ("version 2025-03-26", self.PING, {"HTTP_MCP_PROTOCOL_VERSION": "2025-03-26"},
             "POST", "", pong),
            ("version 2024-11-05", self.PING, {"HTTP_MCP_PROTOCOL_VERSION": "2024-11-05"},
             "POST", "", bad_version),
            ("empty version", self.PING, {"HTTP_MCP_PROTOCOL_VERSION": ""}, "POST", "",
             bad_version),
            ("same Origin", self.PING, {"HTTP_ORIGIN": "http://127.0.0.1:8080",
                                        "HTTP_HOST": "127.0.0.1:8080"}, "POST", "", pong),
            ("foreign Origin", self.PING, {"HTTP_ORIGIN": "http://evil.test:8080",
                                           "HTTP_HOST": "127.0.0.1:8080"}, "POST", "", foreign),
            ("foreign Origin, GET", None, {"HTTP_ORIGIN": "http://127.0.0.1:9",
                                           "HTTP_HOST": "127.0.0.1:8080"}, "GET", "", foreign),
            ("foreign Origin, no password", self.PING, {
                "HTTP_ORIGIN": "null", "HTTP_HOST": "127.0.0.1", "HTTP_AUTHORIZATION": None},
             "POST", "", foreign),
            ("no password", self.PING, {"HTTP_AUTHORIZATION": None}, "POST", "", challenge),
            ("wrong bearer", self.PING, {"HTTP_AUTHORIZATION": "Bearer n0de-pw "}, "POST", "",
             challenge),
            ("wrong bearer, GET", None, {"HTTP_AUTHORIZATION": "Bearer x"}, "GET", "",
             challenge),
            ("X-Bot-Password", self.PING, {"HTTP_AUTHORIZATION": None,
                                           "HTTP_X_BOT_PASSWORD": self.PW}, "POST", "", pong),
            ("no body", None, {}, "POST", "", parse_error),
            ("not JSON", b"{nope", {}, "POST", "", parse_error),
            ("batch", [self.PING], {}, "POST", "", batch),
        ]
        for name, body, env, method, query, want in cases:
            with self.subTest(name):
                self.assertEqual(self.post(body, env, query, method), want)
        with self.subTest("oversized body"):
            self.assertEqual(self.post(b"x" * 64, content_length="1048577"), too_large)
        with self.subTest("largest body"):
            pad = json.dumps(self.PING)[:-1].encode() + b', "pad": "'
            body = pad + b"x" * (1048576 - len(pad) - 2) + b'"}'
            self.assertEqual(self.post(body), pong)

    def test_replies_are_the_stdio_servers(self):
        lines = [
            {"jsonrpc": "2.0", "id": 1, "method": "initialize",
             "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                        "clientInfo": {"name": "t", "version": "1"}}},
            {"jsonrpc": "2.0", "id": "s", "method": "tools/list"},
            {"jsonrpc": "2.0", "id": 3, "method": "tools/call",
             "params": {"name": "web_search_providers", "arguments": {}}},
            {"jsonrpc": "2.0", "id": 4, "method": "tools/call",
             "params": {"name": "web_search", "arguments": {"query": ""}}},
            {"jsonrpc": "2.0", "id": 5, "method": "tools/call", "params": {"name": "Web_Search"}},
            {"jsonrpc": "2.0", "id": 6, "method": "nope"},
            {"jsonrpc": "2.0", "id": None, "method": 5},
        ]
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self._tmp.name,
               "SWEBSEARCH_CONFIG_DIR": self.dir, "WEBSEARCH_PROVIDER": "exa"}
        stdio = subprocess.run([BINARY, "--mcp"], env=env, capture_output=True,
                               timeout=RUN_TIMEOUT_S,
                               input=b"".join(json.dumps(m).encode() + b"\n" for m in lines))
        want = stdio.stdout.splitlines(keepends=True)
        self.assertEqual(len(want), len(lines))
        for message, line in zip(lines, want):
            with self.subTest(message=message):
                out = self.post(message, {"WEBSEARCH_PROVIDER": "exa"})
                self.assertEqual(out, JSON_HEADER + line)


class Save(CgiCase):
    def save(self, body=None, query="format=json", env=None):
        if body is not None:
            body = dict(body, action="save")
        return self.run_cgi(query, "POST", body, env=env)

    def test_defaults_saved_whole_with_mode_0600(self):
        doc = self.json_body(self.save({}))
        self.assertEqual(doc["active"], "duckduckgo")
        if POSIX_MODES:
            self.assertEqual(stat.S_IMODE(os.stat(self.config).st_mode), 0o600)
        cfg = self.stored()
        self.assertEqual(cfg["count"], 5)
        self.assertEqual(cfg["safe"], "moderate")
        self.assertEqual(cfg["searxng_base"], "")
        self.assertEqual(cfg["tavily_answer"], 0)
        self.assertFalse(os.path.exists(self.config + ".tmp"))

    def test_values_are_stored_and_answered(self):
        out = self.save({"provider": "Tavily", "count": 12, "region": "us-en", "safe": "STRICT",
                         "language": "de", "searxng_categories": "news,it", "tavily_answer": 1,
                         "tavily_advanced": True, "searxng_base": "http://127.0.0.1:8888",
                         "brave_key": "BK-1", "pplx_key": "PK-1"})
        doc = self.json_body(out)
        cfg = self.stored()
        self.assertEqual(
            {k: cfg[k] for k in ["provider", "count", "region", "safe", "language",
                                 "searxng_categories", "tavily_advanced", "tavily_answer",
                                 "brave_key", "tavily_key", "pplx_key", "searxng_base"]},
            {"provider": "Tavily", "count": 12, "region": "us-en", "safe": "STRICT",
             "language": "de", "searxng_categories": "news,it", "tavily_advanced": 1,
             "tavily_answer": 1, "brave_key": "BK-1", "tavily_key": "", "pplx_key": "PK-1",
             "searxng_base": "http://127.0.0.1:8888"})
        # The answer is the providers document of what was saved, without keys.
        self.assertEqual(doc["active"], "Tavily")
        self.assertEqual(doc["default_count"], 12)
        self.assertIs(doc["tavily_answer"], True)
        rows = {p["id"]: p for p in doc["providers"]}
        self.assertIs(rows["brave"]["has_key"], True)
        self.assertIs(rows["tavily"]["has_key"], False)
        self.assertIs(rows["searxng"]["ready"], True)
        self.assertNotIn(b"BK-1", out)
        self.assertNotIn(b"PK-1", out)
        # The next process reads the file again.
        self.assertEqual(self.json_body(self.run_cgi("format=json")), doc)

    def test_count_and_provider_rules(self):
        for sent, want in [(0, 1), (99, 20), ("abc", 1), ("7", 7), (-3, 1), (20, 20),
                           (4294967297, 20)]:
            with self.subTest(count=sent):
                self.save({"count": sent})
                self.assertEqual(self.stored()["count"], want)
        for sent, want in [("ddg", "duckduckgo"), ("", "duckduckgo"), ("BRAVE", "BRAVE")]:
            with self.subTest(provider=sent):
                self.save({"provider": sent})
                self.assertEqual(self.stored()["provider"], want)

    def test_keys_and_clear_flags(self):
        self.save({"brave_key": "B", "tavily_key": "T", "exa_key": "E", "pplx_key": "P",
                   "region": "nz-en", "provider": "exa"})
        self.save({"brave_key": "", "exa_key": "E2"})
        cfg = self.stored()
        self.assertEqual((cfg["brave_key"], cfg["exa_key"]), ("B", "E2"))
        self.save({"clear_pplx_key": 1, "pplx_key": "P2", "clear_tavily_key": 0})
        cfg = self.stored()
        self.assertEqual((cfg["pplx_key"], cfg["tavily_key"]), ("P2", "T"))
        # What the page's "Clear all keys" sends: every key gone, nothing else touched.
        doc = self.json_body(self.save({"clear_brave_key": 1, "clear_tavily_key": 1,
                                        "clear_exa_key": 1, "clear_pplx_key": 1}))
        cfg = self.stored()
        self.assertEqual([cfg[k] for k in ["brave_key", "tavily_key", "exa_key", "pplx_key"]],
                         ["", "", "", ""])
        self.assertEqual((cfg["region"], cfg["provider"]), ("nz-en", "exa"))
        self.assertFalse(any(p["has_key"] for p in doc["providers"]))

    def test_base_urls(self):
        self.save({"brave_base": "https://brave.local/api", "searxng_base": "http://sx.local"})
        self.assertEqual(self.stored()["brave_base"], "https://brave.local/api")
        default_brave = None
        self.save({"brave_base": "", "searxng_base": ""})
        cfg = self.stored()
        default_brave = cfg["brave_base"]
        self.assertTrue(default_brave.startswith("https://"), default_brave)
        self.assertNotEqual(default_brave, "https://brave.local/api")
        self.assertEqual(cfg["searxng_base"], "")
        doc = self.json_body(self.run_cgi("format=json"))
        self.assertIs({p["id"]: p for p in doc["providers"]}["searxng"]["ready"], False)

    def test_rejected_requests_write_nothing(self):
        self.save({"region": "kept"})
        with open(self.config, "rb") as f:
            before = f.read()
        cases = [
            ({"safe": "none"}, "safe must be strict, moderate or off"),
            ({"count": 3, "safe": "sometimes"}, "safe must be strict, moderate or off"),
            ({"brave_base": "ftp://x"}, "a base URL must start with http:// or https://"),
            ({"exa_base": "https://a b"}, "a base URL must start with http:// or https://"),
            ({"ddg_base": "https://a\r\nHost: evil"},
             "a base URL must start with http:// or https://"),
            ({"pplx_base": "javascript:x"}, "a base URL must start with http:// or https://"),
            ({"brave_key": "abc\r\nX-Evil: 1"}, "an API key must not contain control characters"),
        ]
        for body, message in cases:
            with self.subTest(body=body):
                self.assertEqual(self.save(body), err(400, message))
                with open(self.config, "rb") as f:
                    self.assertEqual(f.read(), before)

    def test_query_string_parameters(self):
        out = self.run_cgi("action=save&count=4&safe=off&region=a%2Db+c&brave_key=K%2B1")
        self.json_body(out)
        cfg = self.stored()
        self.assertEqual((cfg["count"], cfg["safe"], cfg["region"], cfg["brave_key"]),
                         (4, "off", "a-b c", "K+1"))


    def test_failing_writes_answer_500_and_keep_the_old_file(self):
        self.save({"region": "old"})
        with open(self.config, "rb") as f:
            before = f.read()
        # The temporary file cannot be created: a folder sits at its name.
        os.mkdir(self.config + ".tmp")
        self.assertEqual(self.save({"region": "new"}), err(500, "could not write config.json"))
        os.rmdir(self.config + ".tmp")
        with open(self.config, "rb") as f:
            self.assertEqual(f.read(), before)
        # Text that is not UTF-8 cannot be serialised.
        self.assertEqual(self.run_cgi("action=save&region=%E9"),
                         err(500, "could not write config.json"))
        with open(self.config, "rb") as f:
            self.assertEqual(f.read(), before)
        # No folder at all: below a regular file.
        blocker = os.path.join(self._tmp.name, "plain-file")
        with open(blocker, "w") as f:
            f.write("x")
        self.assertEqual(self.run_cgi("action=save&region=x",
                                      config_dir=os.path.join(blocker, "cfg")),
                         err(500, "could not write config.json"))


class Search(CgiCase):
    @classmethod
    def setUpClass(cls):
        # A service that would keep connections: the CGI still asks it not to.
        cls.mock = MockUpstream(keep_alive=True).start()

    @classmethod
    def tearDownClass(cls):
        cls.mock.stop()

    def setUp(self):
        super().setUp()
        self.mock.reset()

    def search(self, body=None, query="format=json", env=None):
        e = {"WEBSEARCH_MOCK_BASE": self.mock.base}
        e.update(env or {})
        if body is not None:
            body = dict(body, action="search")
        return self.run_cgi(query, "POST" if body is not None else "GET", body, env=e)

    def test_every_search_has_a_connection_of_its_own(self):
        for _ in range(2):
            self.assertTrue(self.json_body(self.search({"q": "x", "provider": "searxng"}))["ok"])
        reqs = self.mock.requests()
        self.assertEqual(len(reqs), 2)
        self.assertNotEqual(reqs[0]["conn"], reqs[1]["conn"])
        for r in reqs:
            self.assertEqual([v for n, v in r["headers"] if n == "Connection"], ["close"])

    def test_missing_query(self):
        self.assertEqual(self.search({}), err(400, "q is required"))
        self.assertEqual(self.search(query="action=search&qq=x"), err(400, "q is required"))
        self.assertEqual(self.mock.requests(), [])

    def test_empty_query_fails_in_the_dispatcher(self):
        out = self.search({"q": ""})
        self.assertEqual(out, JSON_HEADER +
                         b'{"ok":false,"error":"query is required","provider":"duckduckgo"}\n')
        out = self.search({"q": "", "provider": "exa"})
        self.assertEqual(out, JSON_HEADER +
                         b'{"ok":false,"error":"query is required","provider":"exa"}\n')

    def test_results_document(self):
        for body, query in [({"q": "example search", "provider": "searxng", "count": 2}, None),
                            ({"query": "example search", "provider": "searxng", "count": "2"},
                             None),
                            (None, "action=search&q=example+search&provider=searxng&count=2")]:
            with self.subTest(body=body, query=query):
                out = self.search(body, query or "format=json")
                doc = self.json_body(out)
                self.assertEqual(list(doc), ["ok", "query", "provider", "count", "took_ms",
                                             "results"])
                self.assertEqual((doc["ok"], doc["query"], doc["provider"], doc["count"]),
                                 (True, "example search", "searxng", 2))
                self.assertEqual([r["url"] for r in doc["results"]],
                                 ["https://example.com/searxng/one",
                                  "https://example.org/searxng/two"])

    def test_duckduckgo_pages_as_a_person_reads_them(self):
        # The default page opens with an ad and highlights inside words.
        doc = self.json_body(self.search({"q": "example search"}))
        self.assertEqual([r["title"] for r in doc["results"]],
                         ["Install Example & Configure", "Search engine - Example Wiki",
                          "Fast search in C++"])
        self.mock.script("/duckduckgo", body=DDG_NO_HIT_PAGE,
                         headers=[["Content-Type", "text/html"]])
        doc = self.json_body(self.search({"q": "zzqxj"}))
        self.assertEqual((doc["ok"], doc["count"], doc["results"]), (True, 0, []))

    def test_action_from_query_parameters_from_body(self):
        out = self.search(query="action=search&provider=brave",
                          body={"q": "x", "provider": None},
                          env={"BRAVE_API_KEY": "k"})
        doc = self.json_body(out)
        self.assertEqual((doc["ok"], doc["query"], doc["provider"]), (True, "x", "brave"))
        reqs = self.mock.requests()
        self.assertEqual(len(reqs), 1)
        self.assertTrue(reqs[0]["target"].startswith("/brave/"), reqs[0]["target"])

    def test_backend_failures_are_answered_with_200(self):
        # Not ready: the backend's own message, no status.
        doc = self.json_body(self.search({"q": "x", "provider": "brave"}))
        self.assertEqual(list(doc), ["ok", "error", "provider"])
        self.assertIs(doc["ok"], False)
        self.assertTrue(doc["error"].startswith("Brave needs an API key"), doc["error"])
        self.assertEqual(doc["provider"], "brave")
        # An upstream status passes through.
        self.mock.script("/brave", status=401, body='{"message":"bad key"}',
                         headers=[["Content-Type", "application/json"]])
        out = self.search({"q": "x", "provider": "brave"}, env={"BRAVE_API_KEY": "k"})
        doc = self.json_body(out)
        self.assertEqual(list(doc), ["ok", "error", "status", "provider"])
        self.assertEqual((doc["ok"], doc["status"], doc["provider"]), (False, 401, "brave"))
        self.assertTrue(doc["error"].startswith("Brave returned HTTP 401"), doc["error"])
        self.assertNotIn(b'"k"', out)
        # The configured default names the provider when the request names none.
        doc = self.json_body(self.search({"q": "x"}, env={"WEBSEARCH_PROVIDER": "tavily"}))
        self.assertEqual((doc["ok"], doc["provider"]), (False, "tavily"))
        # An unknown id is refused by the dispatcher.
        doc = self.json_body(self.search({"q": "x", "provider": "ddg"}))
        self.assertEqual(doc, {"ok": False, "provider": "ddg", "error":
                               'unknown provider "ddg" (choose duckduckgo, searxng, brave, '
                               'tavily, exa or perplexity)'})


if __name__ == "__main__":
    unittest.main()
