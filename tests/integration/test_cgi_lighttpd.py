"""The CGI endpoint behind a real web server: Debian's lighttpd runs the
binary, requests go over loopback HTTP."""

import json
import os
import stat
import tempfile
import unittest
import urllib.error
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
