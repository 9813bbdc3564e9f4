"""Searches over https, end to end: the real binary in MCP mode against the
loopback mock of the services behind TLS, with a private CA made by openssl
at test time. Trust comes from TQ_CA_BUNDLE, a key pin, or insecure mode;
without any of them the search fails with the handshake's own message."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import mock_upstream
from mock_upstream import MockUpstream
from mcp_turns import mcp_in_turns

BINARY = os.environ.get("WS_BINARY", "")
SUPPORT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support")
RUN_TIMEOUT_S = 60
NOT_TRUSTED = ("TLS handshake failed (code 62; TQ_TLS_INSECURE=1 exists for debugging "
               "self-hosted relays only)")


def search_line(provider):
    return json.dumps({"jsonrpc": "2.0", "id": 1, "method": "tools/call",
                       "params": {"name": "web_search",
                                  "arguments": {"query": "tls check", "provider": provider}}},
                      separators=(",", ":")).encode() + b"\n"


class McpOverHttps(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not BINARY:
            raise unittest.SkipTest("WS_BINARY is not set")
        cls.tmp = tempfile.mkdtemp(prefix="ws-mcp-https-")
        cls.certs = os.path.join(cls.tmp, "certs")
        os.makedirs(cls.certs)
        subprocess.run([sys.executable, os.path.join(SUPPORT, "tls_server.py"), "certs", cls.certs],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=120)
        cls.mock = MockUpstream(tls_cert=os.path.join(cls.certs, "rsa.pem"),
                                tls_key=os.path.join(cls.certs, "rsa.key")).start()
        # The certificate names "localhost", so that is the name to ask for.
        cls.base = "https://localhost:%d" % cls.mock.port
        with open(os.path.join(cls.certs, "rsa.pin")) as f:
            cls.pin = f.read().strip()

    @classmethod
    def tearDownClass(cls):
        cls.mock.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def run_search(self, extra_env, provider="searxng"):
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"),
               "SWEBSEARCH_CONFIG_DIR": os.path.join(self.tmp, "config"),
               "WEBSEARCH_MOCK_BASE": self.base,
               "BRAVE_API_KEY": "k-brave"}
        env.update(extra_env)
        p = subprocess.run([BINARY, "--mcp"], input=search_line(provider), env=env,
                           capture_output=True, timeout=RUN_TIMEOUT_S)
        self.assertEqual(p.returncode, 0)
        lines = p.stdout.splitlines()
        self.assertEqual(len(lines), 1, p.stdout)
        reply = json.loads(lines[0])
        return reply["result"], p.stderr.decode("utf-8", "replace")

    def assert_found(self, result):
        self.assertNotIn("isError", result)
        doc = result["structuredContent"]
        self.assertTrue(doc["ok"])
        self.assertEqual(doc["count"], 3)
        self.assertEqual(doc["results"][0]["url"], "https://example.com/searxng/one")

    def assert_refused(self, result, message):
        self.assertTrue(result.get("isError"))
        self.assertEqual(result["structuredContent"], {"ok": False, "error": message})

    def test_trust_sources(self):
        ca = os.path.join(self.certs, "ca.pem")
        cases = [
            ("private CA through TQ_CA_BUNDLE", {"TQ_CA_BUNDLE": ca}, None),
            ("no trust in the private CA", {}, NOT_TRUSTED),
            ("a CA bundle that does not exist", {"TQ_CA_BUNDLE": os.path.join(self.tmp, "none")},
             NOT_TRUSTED),
            ("the server's key pinned", {"TQ_TLS_PIN": self.pin}, None),
            ("the pin in upper case among others",
             {"TQ_TLS_PIN": "00" * 32 + ", " + self.pin.upper()}, None),
            ("a pin of another key", {"TQ_TLS_PIN": "ab" * 32}, NOT_TRUSTED),
            ("insecure mode", {"TQ_TLS_INSECURE": "1"}, None),
            ("insecure mode needs exactly 1", {"TQ_TLS_INSECURE": "yes"}, NOT_TRUSTED),
        ]
        for name, env, message in cases:
            with self.subTest(name):
                result, _ = self.run_search(env)
                if message is None:
                    self.assert_found(result)
                else:
                    self.assert_refused(result, message)

    def test_keyed_request_reaches_the_service_over_tls(self):
        self.mock.reset()
        result, _ = self.run_search({"TQ_CA_BUNDLE": os.path.join(self.certs, "ca.pem")},
                                    provider="brave")
        self.assertNotIn("isError", result)
        self.assertTrue(result["structuredContent"]["ok"])
        requests = [r for r in self.mock.requests() if r["target"].startswith("/brave/")]
        self.assertEqual(len(requests), 1)
        self.assertEqual(requests[0]["target"], "/brave/res/v1/web/search?q=tls%20check&count=5")
        self.assertIn(["X-Subscription-Token", "k-brave"], requests[0]["headers"])
        host = [v for n, v in requests[0]["headers"] if n == "Host"]
        self.assertEqual(host, ["localhost:%d" % self.mock.port])

    def test_a_session_keeps_its_connection_and_resumes_its_tls_session(self):
        with MockUpstream(tls_cert=os.path.join(self.certs, "rsa.pem"),
                          tls_key=os.path.join(self.certs, "rsa.key"), keep_alive=True) as mock:
            # The first answer closes its connection, so the second search
            # needs a new one: its handshake resumes the first session.
            mock.script("/searxng", body=json.dumps(mock_upstream.SEARXNG_DOC), times=1,
                        headers=[["Content-Type", "application/json"], ["Connection", "close"]])
            line = search_line("searxng")
            env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"),
                   "SWEBSEARCH_CONFIG_DIR": os.path.join(self.tmp, "config"),
                   "WEBSEARCH_MOCK_BASE": "https://localhost:%d" % mock.port,
                   "TQ_CA_BUNDLE": os.path.join(self.certs, "ca.pem"), "TQ_VERBOSE": ""}
            rc, replies, stderr = mcp_in_turns([BINARY, "--mcp"], [line] * 3, env,
                                               RUN_TIMEOUT_S)
            self.assertEqual(rc, 0)
            self.assertEqual(len(replies), 3)
            for reply in replies:
                self.assert_found(json.loads(reply)["result"])
            reqs = mock.requests()
            port = mock.port
        self.assertEqual(len(reqs), 3)
        self.assertEqual([r["conn"] for r in reqs], [reqs[0]["conn"], reqs[0]["conn"] + 1,
                                                     reqs[0]["conn"] + 1])
        self.assertEqual([r["resumed"] for r in reqs], [False, True, True])
        self.assertEqual(stderr.count("tq_http_tls: session resumed for localhost:%d" % port),
                         1, stderr)

    def test_verbose_names_the_peer_pin_but_never_a_configured_one(self):
        other = "cd" * 32
        result, stderr = self.run_search({"TQ_CA_BUNDLE": os.path.join(self.certs, "ca.pem"),
                                          "TQ_TLS_PIN": other, "TQ_VERBOSE": ""})
        self.assert_found(result)
        self.assertIn("tq_http_tls: peer pin %s for localhost\n" % self.pin, stderr)
        self.assertNotIn(other, stderr)
        self.assertNotIn("k-brave", stderr)


if __name__ == "__main__":
    unittest.main()
