"""The CGI endpoint behind a real web server: Debian's lighttpd runs the
binary, requests go over loopback HTTP."""

import json
import os
import socket
import stat
import tempfile
import threading
import unittest
import urllib.error
import urllib.parse
import urllib.request

from lighttpd_server import LighttpdServer
from mock_upstream import MockUpstream

BINARY = os.environ.get("WS_BINARY", "")
PASSWORD = "n0de pass+word"
TIMEOUT_S = 60
CSP = ("default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
       "img-src 'self' data:; connect-src 'self'; form-action 'none'; base-uri 'none'")
UNAUTHORIZED = b'{"ok":false,"error":"invalid node password"}\n'


class BehindLighttpd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not BINARY:
            raise unittest.SkipTest("WS_BINARY is not set")
        cls.tmp = tempfile.TemporaryDirectory()
        cls.config_dir = os.path.join(cls.tmp.name, "cfg")
        cls.mock = MockUpstream().start()
        cls.server = LighttpdServer(BINARY, env={
            "SWEBSEARCH_CONFIG_DIR": cls.config_dir,
            "BOT_PASSWORD": PASSWORD,
            "WEBSEARCH_MOCK_BASE": cls.mock.base,
        })
        try:
            cls.server.start()
        except Exception:
            cls.mock.stop()
            cls.tmp.cleanup()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.mock.stop()
        cls.tmp.cleanup()

    def request(self, query="", body=None, headers=None, method=None):
        data = None
        h = dict(headers or {})
        if body is not None:
            data = body if isinstance(body, bytes) else json.dumps(body).encode()
            h.setdefault("Content-Type", "application/json")
        url = self.server.url + ("?" + query if query else "")
        req = urllib.request.Request(url, data=data, headers=h, method=method)
        try:
            with urllib.request.urlopen(req, timeout=TIMEOUT_S) as r:
                return r.status, r.headers, r.read()
        except urllib.error.HTTPError as e:
            with e:
                return e.code, e.headers, e.read()

    def auth(self):
        return {"X-Bot-Password": PASSWORD}

    def test_page(self):
        status, headers, body = self.request(headers=self.auth())
        self.assertEqual(status, 200)
        self.assertEqual(headers["Content-Type"], "text/html; charset=utf-8")
        self.assertEqual(headers["Cache-Control"], "no-store")
        self.assertEqual(headers["X-Content-Type-Options"], "nosniff")
        self.assertEqual(headers["X-Frame-Options"], "SAMEORIGIN")
        self.assertEqual(headers["Content-Security-Policy"], CSP)
        self.assertTrue(body.startswith(b"<!doctype html>"))
        self.assertTrue(body.endswith(b"</html>\n"))
        self.assertNotIn(b"\x01", body)

    def test_refusals(self):
        cases = [
            ("", {}),
            ("action=info", {}),
            ("action=info", {"X-Bot-Password": PASSWORD + "x"}),
            ("action=info", {"Authorization": "bearer " + PASSWORD}),
            ("action=info", {"Authorization": "Basic bjBkZTpwYXNz"}),
            ("action=info&pwd=n0de", {}),
            ("format=json", {}),
        ]
        for query, headers in cases:
            with self.subTest(query=query, headers=headers):
                status, h, body = self.request(query, headers=headers)
                self.assertEqual(status, 401)
                self.assertEqual(h["Content-Type"], "application/json; charset=utf-8")
                self.assertEqual(h["Cache-Control"], "no-store")
                self.assertEqual(body, UNAUTHORIZED)

    def test_each_credential_form(self):
        cases = [
            ("action=info", {"X-Bot-Password": PASSWORD}),
            ("action=info", {"Authorization": "Bearer " + PASSWORD}),
            ("action=info", {"Authorization": "Bearer    " + PASSWORD}),
            ("action=info&pwd=n0de+pass%2Bword", {}),
            ("action=info&pwd=n0de%20pass%2Bword", {}),
        ]
        for query, headers in cases:
            with self.subTest(query=query, headers=headers):
                status, h, body = self.request(query, headers=headers)
                self.assertEqual(status, 200)
                self.assertEqual(h["Content-Type"], "application/json; charset=utf-8")
                doc = json.loads(body)
                self.assertEqual((doc["ok"], doc["version"]), (True, "1.0.3"))

    def test_error_statuses(self):
        for query, body, code, message in [
                ("action=nope", None, 404, "unknown action"),
                ("", {"count": 3}, 400, "action is required"),
                ("format=json", {"action": "save", "safe": "maybe"}, 400,
                 "safe must be strict, moderate or off")]:
            with self.subTest(query=query, body=body):
                status, h, raw = self.request(query, body, self.auth())
                self.assertEqual(status, code)
                self.assertEqual(h["Content-Type"], "application/json; charset=utf-8")
                self.assertEqual(json.loads(raw), {"ok": False, "error": message})

    def test_save_then_load(self):
        body = {"action": "save", "provider": "exa", "count": 8, "exa_key": "EXA-KEY",
                "region": "nz-en"}
        status, _, raw = self.request("pwd=n0de+pass%2Bword&format=json", body)
        self.assertEqual(status, 200)
        doc = json.loads(raw)
        self.assertEqual((doc["active"], doc["default_count"], doc["region"]), ("exa", 8, "nz-en"))
        self.assertNotIn(b"EXA-KEY", raw)
        path = os.path.join(self.config_dir, "config.json")
        if os.environ.get("WS_TARGET", "") != "windows":  # Windows: access lists, no modes
            self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)
        with open(path) as f:
            stored = json.load(f)
        self.assertEqual((stored["provider"], stored["count"], stored["exa_key"]),
                         ("exa", 8, "EXA-KEY"))
        status, _, raw = self.request("action=config&format=json", headers=self.auth())
        self.assertEqual(json.loads(raw), doc)
        # Back to the defaults that the other tests expect.
        self.request("format=json", {"action": "save", "provider": "duckduckgo", "count": 5,
                                     "clear_exa_key": 1, "region": ""}, self.auth())

    def test_search(self):
        self.mock.reset()
        status, h, raw = self.request("format=json", {"action": "search", "q": "example search",
                                                      "provider": "searxng", "count": 3},
                                      self.auth())
        self.assertEqual(status, 200)
        doc = json.loads(raw)
        self.assertEqual((doc["ok"], doc["provider"], doc["count"]), (True, "searxng", 3))
        self.assertEqual(len(self.mock.requests()), 1)
        # A backend failure is still a 200 answer.
        status, _, raw = self.request("action=search&q=x&provider=tavily", headers=self.auth())
        self.assertEqual(status, 200)
        doc = json.loads(raw)
        self.assertEqual((doc["ok"], doc["provider"]), (False, "tavily"))
        self.assertTrue(doc["error"].startswith("Tavily"), doc["error"])


if __name__ == "__main__":
    unittest.main()


ENV_KEY = "brave-env-key-0123456789"
STORED_KEYS = {"tavily_key": "tvly-stored-0123456789", "exa_key": "exa-stored-0123456789",
               "pplx_key": "pplx-stored-0123456789"}
DDG_DEFAULT = "https://html.duckduckgo.com"


def moved(name):
    return "moving the %s base URL to another host needs the %s key in the same request" % (
        name, name)


def unreadable(cause):
    return "config.json could not be read: %s; fix or remove it" % cause


class Attacks(unittest.TestCase):
    """What a web page, an upstream or a careless hand can try against a node
    without BOT_PASSWORD, the default, behind the real web server."""

    @classmethod
    def setUpClass(cls):
        if not BINARY:
            raise unittest.SkipTest("WS_BINARY is not set")
        cls.tmp = tempfile.TemporaryDirectory()
        cls.config_dir = os.path.join(cls.tmp.name, "cfg")
        cls.path = os.path.join(cls.config_dir, "config.json")
        cls.mock = MockUpstream().start()
        cls.server = LighttpdServer(BINARY, stream_body=True, env={
            "SWEBSEARCH_CONFIG_DIR": cls.config_dir,
            "WEBSEARCH_MOCK_BASE": cls.mock.base,
            "BRAVE_API_KEY": ENV_KEY,
        })
        try:
            cls.server.start()
        except Exception:
            cls.mock.stop()
            cls.tmp.cleanup()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.mock.stop()
        cls.tmp.cleanup()

    def setUp(self):
        self.mock.reset()
        if os.path.isdir(self.path):
            os.rmdir(self.path)
        elif os.path.exists(self.path):
            os.remove(self.path)
        status, doc = self.call("format=json", dict(STORED_KEYS, action="save"))
        self.assertEqual(status, 200, doc)

    def call(self, query="", body=None, headers=None, method=None,
             content_type="application/json"):
        h = dict(headers or {})
        data = None
        if body is not None:
            data = body if isinstance(body, bytes) else json.dumps(body).encode()
            h["Content-Type"] = content_type
        url = self.server.url + ("?" + query if query else "")
        req = urllib.request.Request(url, data=data, headers=h, method=method)
        try:
            with urllib.request.urlopen(req, timeout=TIMEOUT_S) as r:
                status, raw, ctype = r.status, r.read(), r.headers["Content-Type"]
        except urllib.error.HTTPError as e:
            with e:
                status, raw, ctype = e.code, e.read(), e.headers["Content-Type"]
        return status, (json.loads(raw) if ctype.startswith("application/json") else raw)

    def file_bytes(self):
        with open(self.path, "rb") as f:
            return f.read()

    def stored(self):
        return json.loads(self.file_bytes())

    def test_cross_site_requests(self):
        evil = "http://127.0.0.1:9/"
        save_q = "action=save&region=evil&brave_base=" + urllib.parse.quote(evil, safe="")
        save_body = {"action": "save", "region": "evil"}
        own = self.server.base
        refused = (403, {"ok": False, "error": "cross-site request refused"})
        wrong_type = (415, {"ok": False,
                            "error": "save takes a JSON body (Content-Type: application/json)"})
        cases = [
            # (what, query, body, content type, headers, answer; None: 200)
            ("image tag", save_q, None, None, {"Sec-Fetch-Site": "cross-site"}, refused),
            ("sibling site", save_q, None, None, {"Sec-Fetch-Site": "same-site"}, refused),
            ("form post", "format=json", save_body, "text/plain",
             {"Origin": "http://evil.example"}, refused),
            ("other port", "action=info", None, None, {"Origin": "http://127.0.0.1:1"}, refused),
            ("opaque origin", "action=config", None, None, {"Origin": "null"}, refused),
            ("fetch metadata wins", "action=info", None, None,
             {"Sec-Fetch-Site": "cross-site", "Origin": own}, refused),
            ("search", "action=search&q=x", None, None, {"Sec-Fetch-Site": "cross-site"}, refused),
            ("providers", "format=json", None, None, {"Sec-Fetch-Site": "cross-site"}, refused),
            ("text body, no browser", "format=json", save_body, "text/plain", {}, wrong_type),
            ("form body, same origin", "", save_body, "application/x-www-form-urlencoded",
             {"Sec-Fetch-Site": "same-origin"}, wrong_type),
            ("same origin", "action=info", None, None,
             {"Sec-Fetch-Site": "same-origin", "Origin": own}, None),
            ("typed address", "action=info", None, None, {"Sec-Fetch-Site": "none"}, None),
            ("own origin only", "action=info", None, None, {"Origin": own}, None),
            ("script", "action=info", None, None, {}, None),
        ]
        before = self.file_bytes()
        for what, query, body, ctype, headers, want in cases:
            with self.subTest(what):
                status, doc = self.call(query, body, headers, content_type=ctype)
                if want is None:
                    self.assertEqual((status, doc["ok"]), (200, True), doc)
                else:
                    self.assertEqual((status, doc), want)
                self.assertEqual(self.file_bytes(), before)
        # The page itself is still served to any origin (frames are the
        # header's business), and scripts keep the query-string save.
        status, page = self.call("", headers={"Sec-Fetch-Site": "cross-site"})
        self.assertEqual(status, 200)
        self.assertTrue(page.startswith(b"<!doctype html>"))
        self.assertEqual(self.call("action=save&region=q1")[0], 200)
        self.assertEqual(self.call("format=json", {"action": "save", "language": "j1"},
                                   content_type="application/json; charset=utf-8")[0], 200)
        self.assertEqual((self.stored()["region"], self.stored()["language"]), ("q1", "j1"))

    def test_base_urls(self):
        far = "http://127.0.0.1:9999"
        cases = [
            ({"brave_base": far}, 400, moved("Brave")),          # the key is the environment's
            ({"tavily_base": far}, 400, moved("Tavily")),
            ({"exa_base": far, "exa_key": ""}, 400, moved("Exa")),
            ({"pplx_base": far + "/x"}, 400, moved("Perplexity")),
            ({"brave_base": "HTTPS://api.example"}, 400,
             "a base URL must start with http:// or https://"),
            ({"brave_base": "bad_host"}, 400, "a base URL must start with http:// or https://"),
            ({"tavily_base": "http://"}, 400, "url has no host"),
            ({"exa_base": "http://user:pw@127.0.0.1"}, 400, "userinfo in url is refused"),
            ({"pplx_base": "http://127.0.0.1:99999"}, 400, "port out of range"),
            ({"searxng_base": "http://bad_host"}, 400, "host contains forbidden characters"),
            ({"tavily_base": far, "tavily_key": "tvly-new-0123456789"}, 200, None),
            ({"exa_base": self.mock.base + "/exa/v2"}, 200, None),    # same origin
            ({"pplx_base": ""}, 200, None),                          # back to the default
            ({"brave_base": far, "clear_tavily_key": 1}, 400, moved("Brave")),
        ]
        for body, code, message in cases:
            with self.subTest(body=body):
                before = self.file_bytes()
                status, doc = self.call("format=json", dict(body, action="save"))
                self.assertEqual(status, code, doc)
                if message is not None:
                    self.assertEqual(doc, {"ok": False, "error": message})
                    self.assertEqual(self.file_bytes(), before)
        stored = self.stored()
        self.assertEqual((stored["tavily_base"], stored["tavily_key"]),
                         (far, "tvly-new-0123456789"))
        self.assertEqual(stored["exa_base"], self.mock.base + "/exa/v2")
        self.assertEqual(stored["pplx_base"], "https://api.perplexity.ai")
        self.assertEqual(stored["brave_key"], "")

    def test_unreadable_config_json_is_never_overwritten(self):
        cases = [
            ("trailing comma", b'{"brave_key": "kept-0123456789",}',
             "not valid JSON at byte 31: trailing comma is not allowed"),
            ("byte order mark", b'\xef\xbb\xbf{"brave_key": "kept-0123456789"}',
             "not valid JSON at byte 0: byte order mark (BOM) is not supported"),
            ("comment", b'{"brave_key": "kept-0123456789"} // mine',
             "not valid JSON at byte 33: unexpected content after document"),
            ("array", b'["kept-0123456789"]', "its top level is not a JSON object"),
            ("over 1 MiB", b'{"brave_key": "kept-0123456789", "pad": "' + b"x" * 1048576 + b'"}',
             "larger than 1048576 bytes"),
            ("a folder", None, "not a regular file"),
        ]
        for what, content, cause in cases:
            with self.subTest(what):
                os.remove(self.path)
                if content is None:
                    os.mkdir(self.path)
                else:
                    with open(self.path, "wb") as f:
                        f.write(content)
                status, doc = self.call("format=json", {"action": "save", "region": "r"})
                self.assertEqual((status, doc), (500, {"ok": False, "error": unreadable(cause)}))
                if content is None:
                    self.assertTrue(os.path.isdir(self.path))
                    os.rmdir(self.path)
                    with open(self.path, "wb") as f:
                        f.write(b"{}")
                else:
                    self.assertEqual(self.file_bytes(), content)
                # Loading still treats the file as absent.
                status, doc = self.call("action=config")
                self.assertEqual((status, doc["region"]), (200, ""))

    def test_parallel_saves_keep_every_field(self):
        fields = dict(STORED_KEYS, brave_key="brave-saved-0123456789", region="nz-en",
                      language="de", safe="strict", count=9, provider="exa",
                      searxng_categories="news", searxng_base="http://127.0.0.1:8888",
                      tavily_answer=1, tavily_advanced=1)
        os.remove(self.path)
        results = {}
        go = threading.Event()

        def one(name, value):
            go.wait(10)
            results[name] = self.call("format=json", {"action": "save", name: value})[0]

        threads = [threading.Thread(target=one, args=kv) for kv in fields.items()]
        for t in threads:
            t.start()
        go.set()
        for t in threads:
            t.join(120)
        self.assertEqual(results, {k: 200 for k in fields})
        self.assertEqual({k: self.stored()[k] for k in fields}, fields)

    # The Windows build watches the deadline by looking into the pipe, which
    # Wine cannot do for the Unix pipe lighttpd hands it; the deadline is
    # tested with a Windows pipe by the unit test
    # CgiBody.ArrivesWithinTheDeadlineOrCountsAsAbsent.
    @unittest.skipIf(os.environ.get("WS_TARGET", "") == "windows",
                     "under Wine a Unix pipe cannot be peeked, so the body deadline cannot be watched")
    def test_stalled_body_is_treated_as_absent(self):
        head = ("POST /plugin%s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json"
                "\r\nContent-Length: 10\r\nConnection: close\r\n\r\n")
        socks = []
        for query in ["?action=info", ""]:
            s = socket.create_connection(("127.0.0.1", self.server.port), timeout=TIMEOUT_S)
            s.sendall((head % (query, self.server.port)).encode() + b'{"act')
            socks.append(s)
        answers = []
        for s in socks:
            with s:
                raw = b""
                while True:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    raw += chunk
                answers.append(raw)
        self.assertTrue(answers[0].startswith(b"HTTP/1.1 200"), answers[0][:200])
        self.assertIn(b'"kind":"mcp"', answers[0])
        self.assertTrue(answers[1].startswith(b"HTTP/1.1 400"), answers[1][:200])
        self.assertTrue(answers[1].endswith(b'{"ok":false,"error":"action is required"}\n'))

    def test_upstream_never_hands_back_a_key(self):
        keys = {"brave": ENV_KEY, "tavily": STORED_KEYS["tavily_key"],
                "exa": STORED_KEYS["exa_key"], "perplexity": STORED_KEYS["pplx_key"]}
        for provider, key in keys.items():
            bodies = [
                ("echo", 401, json.dumps({"message": "Invalid API key: " + key}),
                 "Invalid API key: [redacted]"),
                ("cut", 403, json.dumps({"error": {"message": "k" * 310 + " " + key}}),
                 "k" * 310 + " [redacted]"),
                ("page", 500, "<html><body><h1>Bad key</h1><p>%s</p></body></html>" %
                 "".join("&#%d;" % ord(c) for c in key), "Bad key [redacted]"),
            ]
            for what, code, body, detail in bodies:
                with self.subTest(provider=provider, what=what):
                    self.mock.script("/" + provider, status=code, body=body, times=1)
                    status, doc = self.call("format=json", {"action": "search", "q": "x",
                                                            "provider": provider})
                    self.assertEqual(status, 200)
                    name = {"perplexity": "Perplexity"}.get(provider, provider.capitalize())
                    # The detail is cut at 319 bytes after the key made way.
                    self.assertEqual(doc["error"],
                                     "%s returned HTTP %d: %s" % (name, code, detail[:319]))
                    self.assertNotIn(key[:8], json.dumps(doc))

    def test_environment_values_stay_out_of_the_file(self):
        status, doc = self.call("format=json", {"action": "save", "region": "e1"})
        self.assertEqual(status, 200)
        stored = self.stored()
        self.assertEqual((stored["brave_key"], stored["ddg_base"], stored["searxng_base"]),
                         ("", DDG_DEFAULT, ""))
        self.assertNotIn(self.mock.base.encode(), self.file_bytes())
        self.assertEqual(doc["env_keys"], ["brave"])
        # "Clear all keys": the saved ones go; the environment's stays, and says so.
        status, doc = self.call("format=json", {"action": "save", "clear_brave_key": 1,
                                                "clear_tavily_key": 1, "clear_exa_key": 1,
                                                "clear_pplx_key": 1})
        self.assertEqual(status, 200)
        has_key = {p["id"]: p["has_key"] for p in doc["providers"] if p["needs_key"]}
        self.assertEqual(has_key, {"brave": True, "tavily": False, "exa": False,
                                   "perplexity": False})
        self.assertEqual(doc["env_keys"], ["brave"])
        stored = self.stored()
        self.assertEqual([stored[k] for k in ("brave_key", "tavily_key", "exa_key", "pplx_key")],
                         ["", "", "", ""])
