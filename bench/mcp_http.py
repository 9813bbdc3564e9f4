#!/usr/bin/env python3
"""Requests per second of MCP over HTTP through lighttpd, next to stdio.

    bench/mcp_http.py [--build build/release] [--seconds 10] [--calls 2000]

Two messages: tools/call of web_search_providers (no network), and web_search
against bench_server (the loopback SearXNG stand-in of the other figures, 20
results). For each, wrk POSTs it to lighttpd running the binary as a CGI
program (bench/mcp_post.lua), with one connection and with four, and one
stdio session answers --calls of the same message in a row. Every HTTP
figure counts only complete 200 answers: a run with any other status, or a
sample reply that is not the wanted result, fails the benchmark.

Prints a Markdown table on standard output. Nothing here runs in the tests.
"""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "support"))
sys.path.insert(0, HERE)

from lighttpd_server import LighttpdServer  # noqa: E402
from measure import Server, cpu_model  # noqa: E402

PASSWORD = "bench-node-password"
CONNECTIONS = (1, 4)


def message(name, arguments):
    return json.dumps({"jsonrpc": "2.0", "id": 1, "method": "tools/call",
                       "params": {"name": name, "arguments": arguments}},
                      separators=(",", ":"))


def check_result(reply, name):
    doc = json.loads(reply)
    result = doc.get("result") or {}
    if result.get("isError") or "structuredContent" not in result:
        raise RuntimeError("%s did not succeed: %s" % (name, reply[:300]))
    if name == "web_search" and len(result["structuredContent"].get("results", [])) != 20:
        raise RuntimeError("web_search did not return 20 results")


def stdio_rate(binary, env, line, name, calls):
    data = ("\n".join([line] * calls) + "\n").encode()
    start = time.monotonic()
    p = subprocess.run([binary, "--mcp"], input=data, env=env, capture_output=True, check=True)
    took = time.monotonic() - start
    replies = p.stdout.decode().splitlines()
    if len(replies) != calls:
        raise RuntimeError("stdio: %d replies to %d calls" % (len(replies), calls))
    check_result(replies[-1], name)
    return calls / took


def wrk_rate(url, line, connections, seconds):
    env = dict(os.environ, WS_BENCH_MESSAGE=line, WS_BENCH_PASSWORD=PASSWORD)
    out = subprocess.run(["wrk", "-t", str(min(connections, 2)), "-c", str(connections),
                          "-d", "%ds" % seconds, "--timeout", "30s",
                          "-s", os.path.join(HERE, "mcp_post.lua"), url],
                         env=env, capture_output=True, check=True).stdout.decode()
    if "Non-2xx or 3xx responses" in out or "Socket errors" in out:
        raise RuntimeError("wrk saw failures:\n" + out)
    m = re.search(r"Requests/sec:\s+([0-9.]+)", out)
    if not m:
        raise RuntimeError("no rate in wrk's output:\n" + out)
    return float(m.group(1))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(SOURCE, "build", "release"))
    ap.add_argument("--seconds", type=int, default=10)
    ap.add_argument("--calls", type=int, default=2000)
    args = ap.parse_args()
    binary = os.path.join(args.build, "plugin_websearch")
    upstream = Server([os.path.join(args.build, "bench", "bench_server")])
    work = tempfile.TemporaryDirectory(prefix="ws-bench-http-")
    settings = {"SWEBSEARCH_CONFIG_DIR": os.path.join(work.name, "cfg"),
                "WEBSEARCH_PROVIDER": "searxng",
                "WEBSEARCH_SEARXNG_BASE": "http://127.0.0.1:%d" % upstream.port,
                "WEBSEARCH_COUNT": "20"}
    web = LighttpdServer(binary, env=dict(settings, BOT_PASSWORD=PASSWORD))
    rows = []
    try:
        web.start()
        stdio_env = dict(settings, PATH=os.environ.get("PATH", "/usr/bin:/bin"))
        for name, arguments in (("web_search_providers", {}),
                                ("web_search", {"query": "bench", "count": 20})):
            line = message(name, arguments)
            req = urllib.request.Request(web.mcp_url, data=line.encode(), headers={
                "Content-Type": "application/json", "Accept": "application/json",
                "Authorization": "Bearer " + PASSWORD})
            with urllib.request.urlopen(req, timeout=30) as r:
                check_result(r.read().decode(), name)
            stdio = stdio_rate(binary, stdio_env, line, name, args.calls)
            for c in CONNECTIONS:
                rate = wrk_rate(web.mcp_url, line, c, args.seconds)
                rows.append((name, c, rate, stdio))
                print("bench: %s over HTTP, %d connection(s): %.0f/s" % (name, c, rate),
                      file=sys.stderr, flush=True)
    finally:
        web.stop()
        upstream.stop()
        work.cleanup()

    print("Measured %s on %s, %d cores (load average %.1f); wrk %d s per figure, "
          "stdio: one session of %d calls." % (
              time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), cpu_model(),
              os.cpu_count() or 0, os.getloadavg()[0], args.seconds, args.calls))
    print()
    print("| tools/call | HTTP through lighttpd (CGI) | connections | stdio session | "
          "HTTP / stdio |")
    print("|---|---|---|---|---|")
    for name, c, rate, stdio in rows:
        print("| %s | %.0f requests/s | %d | %.0f requests/s | %.3f |" % (
            name, rate, c, stdio, rate / stdio))
    return 0


if __name__ == "__main__":
    sys.exit(main())
