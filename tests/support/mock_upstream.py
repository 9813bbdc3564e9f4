#!/usr/bin/env python3
"""Loopback stand-in for the six search services, for tests.

One server answers for all six services, one path prefix each:

    /duckduckgo/...   an HTML results page shaped like DuckDuckGo's HTML front end
    /searxng/...      a SearXNG JSON answer          {"results": [...]}
    /brave/...        a Brave Search API answer      {"web": {"results": [...]}}
    /tavily/...       a Tavily answer                {"results": [...]} (+ "answer" when asked)
    /exa/...          an Exa answer                  {"results": [... "highlights" ...]}
    /perplexity/...   a Perplexity search answer     {"results": [...]}

Any other path answers 404 with a small JSON body. The default documents are
the module constants DDG_PAGE, SEARXNG_DOC, BRAVE_DOC, TAVILY_DOC, EXA_DOC and
PPLX_DOC, so tests can compare mapped results against them.

Command line
    python3 mock_upstream.py [--port N] [--tls-cert C --tls-key K] [--keep-alive]
                             [--no-stdin-watch]

    Listens on 127.0.0.1 (port 0 = any free port), prints "PORT <n>\\n" on
    stdout and flushes, then serves HTTP/1.1 (one thread per connection)
    until killed or until its standard input reaches end of file, so that it
    dies with the process that started it. --no-stdin-watch turns the
    standard-input watch off (for a shell that starts it with </dev/null).
    With --tls-cert and --tls-key (PEM files) it speaks HTTPS instead.
    With --keep-alive a connection whose request does not say
    "Connection: close" stays open for the next request (see below).

Control endpoints (never recorded in the request log)
    POST /__script   body: a JSON object
        {"prefix": "/brave",            requests whose target starts with this
         "status": 401,                 status code (default 200)
         "reason": "Unauthorized",      optional reason phrase (default: the standard one)
         "headers": [["Content-Type", "application/json"]],
         "body": "...",                 body as text (UTF-8) ...
         "body_b64": "...",             ... or as base64 bytes (wins over "body")
         "chunked": false,              send the body with chunked transfer coding
         "chunk_size": 7,               bytes per chunk when chunked (default 7)
         "delay_ms": 0,                 wait this long before answering; a client that
                                        closes meanwhile gets nothing, and its log entry's
                                        "peer_closed_ms" tells after how long it closed
         "times": null,                 answer this way this many times (null = until reset)
         "raw_b64": "...",              optional: send exactly these bytes as the whole
                                        response (status, headers, body ignored), then close
         "drop": false}                 optional: close the connection without answering
        The latest script whose prefix matches wins. Unless the script's headers
        already name them, the answer gets "Content-Length" (or
        "Transfer-Encoding: chunked") and "Connection: close"; a script without
        headers also gets the service's default Content-Type. Answers 200 {"ok":true}.
    POST /__reset    clears the scripts and the request log.
    GET /__requests  JSON array of the recorded requests, oldest first, each
        {"method", "target", "headers": [[name, value], ...] (as received, in order),
         "body_b64", "raw_b64", "peer_closed_ms", "conn", "resumed"}  where raw_b64
        holds the exact request bytes (head and body), peer_closed_ms is null unless
        the client closed during a scripted delay (plain HTTP only), conn numbers the
        connection it came on (1, 2, ... in the order they were accepted) and resumed
        says whether that connection's TLS handshake resumed a session.

Python interface
    from mock_upstream import MockUpstream
    m = MockUpstream()            # MockUpstream(tls_cert=..., tls_key=...) for HTTPS,
                                  # MockUpstream(keep_alive=True) to keep connections
    m.start()
    m.port, m.base                # base == "http://127.0.0.1:<port>" (https:// with TLS)
    m.script("/brave", status=401, body='{"message":"bad key"}',
             headers=[["Content-Type", "application/json"]], chunked=False,
             delay_ms=0, times=None, body_b64=None, raw_b64=None, drop=False)
    m.requests()                  # the log as above, plus "body" and "raw" as bytes
    m.reset()
    m.stop()

Every connection carries one exchange and is closed after the answer,
unless the mock runs with keep-alive: then an answer to a request that does
not say "Connection: close" carries no "Connection: close" either, and the
connection waits for the next request (scripted "raw" and "drop" answers
still close it). The request body is read by Content-Length or by chunked
transfer coding.
"""

import argparse
import base64
import http
import json
import os
import select
import socket
import socketserver
import ssl
import sys
import threading
import time
import urllib.parse

MAX_HEAD = 64 * 1024
MAX_BODY = 16 * 1024 * 1024
IO_TIMEOUT_S = 30.0


def _ddg_link(url):
    return "//duckduckgo.com/l/?uddg=" + urllib.parse.quote(url, safe="") + "&amp;rut=" + \
        "e4b1c5f0a9d2" + str(len(url))


def _ddg_result(url, title_html, shown_url, snippet_html):
    link = _ddg_link(url)
    return (
        '<div class="result results_links results_links_deep web-result ">\n'
        '  <div class="links_main links_deep result__body">\n'
        '    <h2 class="result__title">\n'
        f'      <a rel="nofollow" class="result__a" href="{link}">{title_html}</a>\n'
        '    </h2>\n'
        '    <div class="result__extras">\n'
        '      <div class="result__extras__url">\n'
        f'        <span class="result__icon"><a rel="nofollow" href="{link}">'
        f'<img class="result__icon__img" width="16" height="16" alt=""'
        f' src="//external-content.duckduckgo.com/ip3/{shown_url.split("/")[0]}.ico"'
        f' name="i15" /></a></span>\n'
        f'        <a class="result__url" href="{link}">{shown_url}</a>\n'
        '      </div>\n'
        '    </div>\n'
        f'    <a class="result__snippet" href="{link}">{snippet_html}</a>\n'
        '    <div class="clear"></div>\n'
        '  </div>\n'
        '</div>\n'
    )


# A sponsored entry as DuckDuckGo shows it above the results: no result.
DDG_AD = (
    '<div class="result results_links results_links_deep result--ad  result--ad--small">\n'
    '  <div class="links_main links_deep result__body">\n'
    '    <h2 class="result__title">\n'
    '      <a rel="nofollow" class="result__a" href="https://duckduckgo.com/y.js?'
    'ad_domain=shop.example&amp;ad_provider=bingv7aa&amp;ad_type=txad">Buy <b>Example</b> '
    'now</a>\n'
    '    </h2>\n'
    '    <a class="result__snippet" href="https://duckduckgo.com/y.js?ad_domain=shop.example">'
    'Ad &middot; shop.example</a>\n'
    '  </div>\n'
    '</div>\n'
)

# What DuckDuckGo answers for a query without hits: a notice and one
# pseudo-result titled "EOF" that links to a Google search.
DDG_NO_HIT_PAGE = (
    '<html><body><div id="links" class="results">\n'
    '<div class="result results_links results_links_deep result--no-result">\n'
    '  <div class="no-results">No  results.</div>\n'
    '</div>\n'
    '<div class="result results_links results_links_deep web-result ">\n'
    '  <div class="links_main links_deep result__body">\n'
    '    <h2 class="result__title"><a rel="nofollow" class="result__a" '
    'href="//duckduckgo.com/l/?uddg=https%3A%2F%2Fwww.google.com%2Fsearch%3Fq%3Dzzqxj&amp;rut=1">'
    'EOF</a></h2>\n'
    '  </div>\n'
    '</div>\n'
    '</div></body></html>\n'
)

DDG_RESULTS = [
    ("https://example.com/docs/install?lang=en&v=2", "Install <b>Example</b> &amp; Configure",
     "example.com/docs/install", "Step-by-step guide to installing <b>Example</b> on Linux &mdash; "
     "packages, &quot;quick start&quot; and first run."),
    ("https://www.example.org/wiki/Search_engine", "Search engine - Example <b>Wiki</b>",
     "www.example.org/wiki/Search_engine", "A <b>search engine</b> is a software system that "
     "finds web pages matching a query &#8212; ranked by relevance."),
    ("https://example.net:8443/blog/2024/05/fast-search", "Fast search in <b>C</b>++",
     "example.net:8443/blog/2024/05/fast-search", "Notes on writing a small, fast search client "
     "in C++ with its own HTTP/1.1 and TLS stack."),
]

DDG_PAGE = (
    '<!DOCTYPE html PUBLIC "-//W3C//DTD XHTML 1.0 Transitional//EN"'
    ' "http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd">\n'
    '<html xmlns="http://www.w3.org/1999/xhtml">\n'
    '<head>\n'
    '  <meta http-equiv="content-type" content="text/html; charset=UTF-8">\n'
    '  <title>example search at DuckDuckGo</title>\n'
    '  <link rel="stylesheet" href="/dist/h.css" type="text/css">\n'
    '</head>\n'
    '<body>\n'
    '<div id="header" class="header cw header--html">\n'
    '  <a title="DuckDuckGo" href="/html/" class="header__logo-wrap"><abbr title="DuckDuckGo">'
    'DDG</abbr></a>\n'
    '  <form name="x" class="header__form" action="/html/" method="post">\n'
    '    <input name="q" autocomplete="off" class="search__input" id="search_form_input_homepage"'
    ' type="text" value="example search" />\n'
    '    <input name="b" id="search_button_homepage" class="search__button" type="submit"'
    ' value="" />\n'
    '  </form>\n'
    '</div>\n'
    '<div class="serp__results">\n'
    '<div id="links" class="results">\n'
    + DDG_AD + "".join(_ddg_result(*r) for r in DDG_RESULTS) +
    '<div class="nav-link">\n'
    '  <form action="/html/" method="post">\n'
    '    <input type="submit" class="btn btn--alt" value="Next" />\n'
    '    <input type="hidden" name="q" value="example search" />\n'
    '    <input type="hidden" name="s" value="10" />\n'
    '  </form>\n'
    '</div>\n'
    '</div>\n'
    '</div>\n'
    '</body>\n'
    '</html>\n'
)

SEARXNG_DOC = {
    "query": "example search",
    "number_of_results": 0,
    "results": [
        {"url": "https://example.com/searxng/one", "title": "SearXNG <b>first</b> result",
         "content": "First result content &amp; more.", "engine": "duckduckgo",
         "parsed_url": ["https", "example.com", "/searxng/one", "", "", ""],
         "engines": ["duckduckgo", "brave"], "positions": [1, 2], "score": 4.0,
         "category": "general", "publishedDate": "2024-05-01T10:00:00"},
        {"url": "https://example.org/searxng/two", "title": "Second result",
         "content": "Second result content.", "engine": "brave",
         "parsed_url": ["https", "example.org", "/searxng/two", "", "", ""],
         "engines": ["brave"], "positions": [2], "score": 1.5, "category": "general",
         "publishedDate": None},
        {"url": "http://example.net:8080/three?x=1", "title": "Third result",
         "content": "", "engine": "qwant",
         "parsed_url": ["http", "example.net:8080", "/three", "", "x=1", ""],
         "engines": ["qwant"], "positions": [3], "score": 0.5, "category": "general"},
    ],
    "answers": [],
    "corrections": [],
    "infoboxes": [],
    "suggestions": ["example search engine"],
    "unresponsive_engines": [],
}

BRAVE_DOC = {
    "query": {"original": "example search", "show_strict_warning": False,
              "is_navigational": False, "country": "us", "more_results_available": True},
    "mixed": {"type": "mixed", "main": [{"type": "web", "index": 0, "all": False}]},
    "type": "search",
    "web": {
        "type": "search",
        "results": [
            {"title": "Brave <strong>first</strong> result", "url": "https://example.com/brave/1",
             "is_source_local": False, "is_source_both": False,
             "description": "The <strong>first</strong> Brave description.",
             "age": "2 days ago", "page_age": "2024-05-01T10:00:00",
             "profile": {"name": "Example", "url": "https://example.com", "long_name": "example.com"},
             "language": "en", "family_friendly": True, "type": "search_result"},
            {"title": "Brave second result", "url": "https://sub.example.org/brave/2?q=a",
             "description": "Second <strong>desc</strong>ription.", "language": "en",
             "family_friendly": True, "type": "search_result"},
            {"title": "Brave third result", "url": "https://example.net/brave/3",
             "description": "Third description.", "age": "May 3, 2024",
             "language": "en", "family_friendly": True, "type": "search_result"},
        ],
        "family_friendly": True,
    },
}

TAVILY_DOC = {
    "query": "example search",
    "follow_up_questions": None,
    "images": [],
    "results": [
        {"title": "Tavily first result", "url": "https://example.com/tavily/1",
         "content": "First Tavily content.", "score": 0.93,
         "published_date": "2024-05-01", "raw_content": None},
        {"title": "Tavily second result", "url": "https://example.org/tavily/2",
         "content": "Second Tavily content.", "score": 0.81, "raw_content": None},
        {"title": "Tavily third result", "url": "https://example.net/tavily/3",
         "content": "Third Tavily content.", "score": 0.42, "raw_content": None},
    ],
    "response_time": 0.84,
}
TAVILY_ANSWER = "Example search is a test query; the mock answers it from memory."

EXA_DOC = {
    "requestId": "b5947044c4b78efa9552a7c89b306d95",
    "resolvedSearchType": "neural",
    "results": [
        {"id": "https://example.com/exa/1", "title": "Exa first result",
         "url": "https://example.com/exa/1", "publishedDate": "2024-05-01T00:00:00.000Z",
         "author": "A. Author", "highlights": ["The first highlight.", "Another highlight."],
         "highlightScores": [0.41, 0.22], "text": "Full text of the first page."},
        {"id": "https://example.org/exa/2", "title": "Exa second result",
         "url": "https://example.org/exa/2", "publishedDate": None, "author": None,
         "highlights": [], "highlightScores": [], "text": "Text of the second page."},
        {"id": "https://example.net/exa/3", "title": "Exa third result",
         "url": "https://example.net/exa/3", "highlights": ["Third highlight."],
         "highlightScores": [0.3]},
    ],
    "costDollars": {"total": 0.005},
}

PPLX_DOC = {
    "id": "e5b1c0c0-7f2b-4a9e-9b77-3a1f0a2d9c11",
    "results": [
        {"title": "Perplexity first result", "url": "https://example.com/pplx/1",
         "snippet": "First Perplexity snippet.", "date": "2024-05-01",
         "last_updated": "2024-05-02"},
        {"title": "Perplexity second result", "url": "https://example.org/pplx/2",
         "snippet": "Second Perplexity snippet."},
        {"title": "Perplexity third result", "url": "https://example.net/pplx/3",
         "snippet": "Third Perplexity snippet.", "date": "2023-12-31"},
    ],
}

_JSON_TYPE = "application/json; charset=utf-8"
_HTML_TYPE = "text/html; charset=UTF-8"


def _dumps(doc):
    return json.dumps(doc, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def default_answer(method, target, body):
    """(status, content type, body bytes) of a service's default answer."""
    path = target.split("?", 1)[0]
    if path.startswith("/duckduckgo/"):
        return 200, _HTML_TYPE, DDG_PAGE.encode("utf-8")
    if path.startswith("/searxng/"):
        return 200, _JSON_TYPE, _dumps(SEARXNG_DOC)
    if path.startswith("/brave/"):
        return 200, _JSON_TYPE, _dumps(BRAVE_DOC)
    if path.startswith("/tavily/"):
        doc = dict(TAVILY_DOC)
        try:
            asked = json.loads(body.decode("utf-8")).get("include_answer") is True
        except (ValueError, AttributeError, UnicodeDecodeError):
            asked = False
        if asked:
            doc = {"query": doc["query"], "answer": TAVILY_ANSWER, **{
                k: v for k, v in doc.items() if k != "query"}}
        return 200, _JSON_TYPE, _dumps(doc)
    if path.startswith("/exa/"):
        return 200, _JSON_TYPE, _dumps(EXA_DOC)
    if path.startswith("/perplexity/"):
        return 200, _JSON_TYPE, _dumps(PPLX_DOC)
    return 404, _JSON_TYPE, _dumps({"error": "no such path on the mock: " + path})


class _State:
    def __init__(self):
        self.lock = threading.Lock()
        self.scripts = []   # dicts, oldest first; "left" counts down when "times" is set
        self.log = []
        self.connections = 0

    def next_connection(self):
        with self.lock:
            self.connections += 1
            return self.connections

    def add_script(self, plan):
        if not isinstance(plan, dict) or not isinstance(plan.get("prefix", ""), str):
            raise ValueError("script must be an object with a string prefix")
        s = {
            "prefix": plan.get("prefix", ""),
            "status": int(plan.get("status", 200)),
            "reason": plan.get("reason"),
            "headers": [[str(n), str(v)] for n, v in (plan.get("headers") or [])],
            "has_headers": plan.get("headers") is not None,
            "chunked": bool(plan.get("chunked", False)),
            "chunk_size": max(1, int(plan.get("chunk_size", 7))),
            "delay_ms": int(plan.get("delay_ms", 0) or 0),
            "left": plan.get("times"),
            "drop": bool(plan.get("drop", False)),
            "raw": base64.b64decode(plan["raw_b64"]) if plan.get("raw_b64") is not None else None,
        }
        if plan.get("body_b64") is not None:
            s["body"] = base64.b64decode(plan["body_b64"])
        else:
            s["body"] = str(plan.get("body", "")).encode("utf-8")
        if s["left"] is not None:
            s["left"] = int(s["left"])
        with self.lock:
            self.scripts.append(s)

    def take_script(self, target):
        with self.lock:
            for s in reversed(self.scripts):
                if not target.startswith(s["prefix"]):
                    continue
                if s["left"] is not None:
                    if s["left"] <= 0:
                        continue
                    s["left"] -= 1
                return s
        return None

    def record(self, entry):
        with self.lock:
            self.log.append(entry)

    def note(self, entry, key, value):
        with self.lock:
            entry[key] = value

    def reset(self):
        with self.lock:
            self.scripts.clear()
            self.log.clear()

    def log_json(self):
        with self.lock:
            return _dumps(list(self.log))


class _BadRequest(Exception):
    pass


def _read_head(rfile):
    """Reads up to and including the blank line; returns the raw bytes or None at EOF."""
    raw = bytearray()
    while True:
        line = rfile.readline(MAX_HEAD + 1)
        if not line:
            if raw:
                raise _BadRequest("connection closed inside the request head")
            return None
        raw += line
        if len(raw) > MAX_HEAD:
            raise _BadRequest("request head too large")
        if line in (b"\r\n", b"\n"):
            if len(raw) == len(line):  # stray empty line before a request
                raw.clear()
                continue
            return bytes(raw)


def _read_chunked(rfile):
    raw = bytearray()
    body = bytearray()
    while True:
        size_line = rfile.readline(1024)
        if not size_line:
            raise _BadRequest("connection closed inside a chunk size")
        raw += size_line
        try:
            size = int(size_line.split(b";", 1)[0].strip(), 16)
        except ValueError:
            raise _BadRequest("bad chunk size")
        if size == 0:
            while True:  # trailers up to the blank line
                t = rfile.readline(MAX_HEAD)
                if not t:
                    raise _BadRequest("connection closed inside trailers")
                raw += t
                if t in (b"\r\n", b"\n"):
                    return bytes(body), bytes(raw)
        if len(body) + size > MAX_BODY:
            raise _BadRequest("request body too large")
        data = rfile.read(size)
        crlf = rfile.readline(3)
        if len(data) != size or crlf not in (b"\r\n", b"\n"):
            raise _BadRequest("truncated chunk")
        raw += data + crlf
        body += data


class _Handler(socketserver.StreamRequestHandler):
    timeout = IO_TIMEOUT_S

    def handle(self):
        self._conn = self.server.state.next_connection()
        self._resumed = bool(getattr(self.request, "session_reused", False))
        try:
            while self._one_exchange():
                pass
        except (_BadRequest, OSError, ssl.SSLError, ValueError):
            pass

    def _one_exchange(self):
        """Serves one request; True when the connection stays open for another."""
        state = self.server.state
        self._keep = False
        head = _read_head(self.rfile)
        if head is None:
            return False
        lines = head.decode("latin-1").split("\n")
        request_line = lines[0].rstrip("\r")
        parts = request_line.split(" ")
        if len(parts) != 3:
            self._send(400, "Bad Request", [["Content-Type", "text/plain"]], b"bad request line\n")
            return self._keep
        method, target, _version = parts
        headers = []
        for line in lines[1:]:
            line = line.rstrip("\r")
            if not line:
                continue
            name, sep, value = line.partition(":")
            if not sep:
                raise _BadRequest("header line without colon")
            headers.append([name, value.strip(" \t")])
        lower = {}
        for n, v in headers:
            lower.setdefault(n.lower(), v)
        self._keep = (self.server.keep_alive and
                      "close" not in lower.get("connection", "").lower())
        raw_body = b""
        body = b""
        if "chunked" in lower.get("transfer-encoding", "").lower():
            body, raw_body = _read_chunked(self.rfile)
        elif "content-length" in lower:
            length = int(lower["content-length"])
            if length < 0 or length > MAX_BODY:
                raise _BadRequest("bad content length")
            body = self.rfile.read(length)
            if len(body) != length:
                raise _BadRequest("truncated body")
            raw_body = body

        if target == "/__script" and method == "POST":
            try:
                state.add_script(json.loads(body.decode("utf-8")))
            except (ValueError, TypeError, KeyError) as e:
                self._send(400, None, [["Content-Type", _JSON_TYPE]], _dumps({"error": str(e)}))
                return self._keep
            self._send(200, None, [["Content-Type", _JSON_TYPE]], b'{"ok":true}')
            return self._keep
        if target == "/__reset" and method == "POST":
            state.reset()
            self._send(200, None, [["Content-Type", _JSON_TYPE]], b'{"ok":true}')
            return self._keep
        if target == "/__requests" and method == "GET":
            self._send(200, None, [["Content-Type", _JSON_TYPE]], state.log_json())
            return self._keep

        entry = {
            "method": method,
            "target": target,
            "headers": headers,
            "body_b64": base64.b64encode(body).decode("ascii"),
            "raw_b64": base64.b64encode(head + raw_body).decode("ascii"),
            "peer_closed_ms": None,
            "conn": self._conn,
            "resumed": self._resumed,
        }
        state.record(entry)
        s = state.take_script(target)
        if s is None:
            status, ctype, data = default_answer(method, target, body)
            self._send(status, None, [["Content-Type", ctype]], data)
            return self._keep
        if s["delay_ms"] > 0:
            closed_ms = self._wait_watching_peer(s["delay_ms"])
            if closed_ms is not None:
                state.note(entry, "peer_closed_ms", closed_ms)
                return
        if s["drop"]:
            return False
        if s["raw"] is not None:
            self.wfile.write(s["raw"])
            self.wfile.flush()
            return False
        hdrs = [list(h) for h in s["headers"]]
        if not s["has_headers"]:
            hdrs = [["Content-Type", default_answer(method, target, body)[1]]]
        return self._send(s["status"], s["reason"], hdrs, s["body"], chunked=s["chunked"],
                   chunk_size=s["chunk_size"])

    def _wait_watching_peer(self, delay_ms):
        """Sleeps delay_ms, but notices a client that closes meanwhile: returns
        the milliseconds after which it closed, or None when it stayed."""
        start = time.monotonic()
        end = start + delay_ms / 1000.0
        sock = self.connection
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return None
            if isinstance(sock, ssl.SSLSocket):  # no peeking under TLS: just wait
                time.sleep(left)
                return None
            readable, _, _ = select.select([sock], [], [], left)
            if readable:
                try:
                    data = sock.recv(1, socket.MSG_PEEK)
                except OSError:
                    data = b""
                if not data:
                    return int((time.monotonic() - start) * 1000)
                time.sleep(min(left, 0.01))  # extra bytes after the request: keep waiting

    def _send(self, status, reason, headers, body, chunked=False, chunk_size=7):
        if reason is None:
            try:
                reason = http.HTTPStatus(status).phrase
            except ValueError:
                reason = "Status"
        names = {n.lower() for n, _ in headers}
        out = [f"HTTP/1.1 {status} {reason}\r\n"]
        for n, v in headers:
            out.append(f"{n}: {v}\r\n")
        if chunked:
            if "transfer-encoding" not in names:
                out.append("Transfer-Encoding: chunked\r\n")
        elif "content-length" not in names:
            out.append(f"Content-Length: {len(body)}\r\n")
        if "connection" in names:
            self._keep = self._keep and not any(
                n.lower() == "connection" and "close" in v.lower() for n, v in headers)
        elif not self._keep:
            out.append("Connection: close\r\n")
        out.append("\r\n")
        data = bytearray("".join(out).encode("latin-1"))
        if chunked:
            for i in range(0, len(body), chunk_size):
                piece = body[i:i + chunk_size]
                data += b"%x\r\n" % len(piece) + piece + b"\r\n"
            data += b"0\r\n\r\n"
        else:
            data += body
        self.wfile.write(bytes(data))
        self.wfile.flush()
        return self._keep


class _Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    block_on_close = False

    def __init__(self, port, ssl_context, keep_alive=False):
        self.state = _State()
        self.ssl_context = ssl_context
        self.keep_alive = keep_alive
        super().__init__(("127.0.0.1", port), _Handler)

    def finish_request(self, request, client_address):
        # The handshake runs in the connection's own thread, so a client that
        # never speaks TLS cannot stall the accept loop.
        if self.ssl_context is not None:
            request.settimeout(IO_TIMEOUT_S)
            try:
                request = self.ssl_context.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError):
                return
        try:
            super().finish_request(request, client_address)
        finally:
            if self.ssl_context is not None:
                if self.keep_alive:
                    # OpenSSL keeps a session for resumption only when the
                    # server ended its connection with a close_notify.
                    try:
                        request.settimeout(1)
                        request.unwrap()
                    except (OSError, ssl.SSLError, ValueError):
                        pass
                try:
                    request.close()
                except OSError:
                    pass

    def shutdown_request(self, request):
        try:
            request.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        self.close_request(request)


def _ssl_context(cert, key):
    if not cert:
        return None
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    return ctx


class MockUpstream:
    """The mock in a background thread of the calling process."""

    def __init__(self, port=0, tls_cert=None, tls_key=None, keep_alive=False):
        self._port = port
        self._keep_alive = keep_alive
        self._ctx = _ssl_context(tls_cert, tls_key)
        self._server = None
        self._thread = None

    def start(self):
        self._server = _Server(self._port, self._ctx, self._keep_alive)
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.05}, daemon=True)
        self._thread.start()
        return self

    @property
    def port(self):
        return self._server.server_address[1]

    @property
    def base(self):
        return ("https" if self._ctx else "http") + f"://127.0.0.1:{self.port}"

    def script(self, prefix, status=200, body=None, headers=None, body_b64=None, chunked=False,
               chunk_size=7, delay_ms=0, times=None, reason=None, raw_b64=None, drop=False):
        plan = {"prefix": prefix, "status": status, "headers": headers, "chunked": chunked,
                "chunk_size": chunk_size, "delay_ms": delay_ms, "times": times, "reason": reason,
                "raw_b64": raw_b64, "drop": drop}
        if isinstance(body, (bytes, bytearray)):
            plan["body_b64"] = base64.b64encode(bytes(body)).decode("ascii")
        elif body is not None:
            plan["body"] = body
        if body_b64 is not None:
            plan["body_b64"] = body_b64
        self._server.state.add_script(plan)

    def requests(self):
        out = json.loads(self._server.state.log_json().decode("utf-8"))
        for r in out:
            r["body"] = base64.b64decode(r["body_b64"])
            r["raw"] = base64.b64decode(r["raw_b64"])
        return out

    def reset(self):
        self._server.state.reset()

    def stop(self):
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._thread.join(5)
            self._server = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def _watch_stdin():
    try:
        while sys.stdin.buffer.read(4096):
            pass
    except (OSError, ValueError):
        pass
    os._exit(0)


def main(argv=None):
    ap = argparse.ArgumentParser(description="loopback mock of the six search services")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--tls-cert")
    ap.add_argument("--tls-key")
    ap.add_argument("--keep-alive", action="store_true")
    ap.add_argument("--no-stdin-watch", action="store_true")
    args = ap.parse_args(argv)
    if bool(args.tls_cert) != bool(args.tls_key):
        ap.error("--tls-cert and --tls-key go together")
    server = _Server(args.port, _ssl_context(args.tls_cert, args.tls_key), args.keep_alive)
    sys.stdout.write(f"PORT {server.server_address[1]}\n")
    sys.stdout.flush()
    if not args.no_stdin_watch:
        threading.Thread(target=_watch_stdin, daemon=True).start()
    try:
        server.serve_forever(poll_interval=0.05)
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
