#!/usr/bin/env python3
"""Searches over a slow network: one MCP session through a relay that adds
round-trip time (bench/rtt_relay.py) in front of the keep-alive mock of the
services (tests/support/mock_upstream.py --keep-alive), over http and https.

    python3 bench/rtt_bench.py [--binary PATH] [--rtt 20,80] [--gap-s 5] [--no-gaps]

For each round-trip time and scheme: 10 searches back to back (each line is
sent when the previous answer arrived) and, unless --no-gaps, 10 searches
5 s apart; then 10 back to back with the service ending every connection
after its answer (so each search connects again, and over https resumes
the TLS session). For each: the first search of a session and the mean of the others, the
others in round trips, and the connections, TLS handshakes and resumed
handshakes the relay saw. The 5 s runs take a minute each. Prints a
Markdown table. Standard library only.
"""

import argparse
import http.client
import json
import os
import select
import ssl
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
SUPPORT = os.path.join(SOURCE, "tests", "support")
sys.path.insert(0, HERE)
sys.path.insert(0, SUPPORT)
from rtt_relay import Relay  # noqa: E402
import mock_upstream  # noqa: E402

SEARCHES = 10
TIMEOUT_S = 60


def log(*args):
    print("bench:", *args, file=sys.stderr, flush=True)


def search_line(i):
    return (json.dumps({"jsonrpc": "2.0", "id": i, "method": "tools/call",
                        "params": {"name": "web_search",
                                   "arguments": {"query": "example search",
                                                 "provider": "searxng"}}},
                       separators=(",", ":")) + "\n").encode()


def start_mock(certs, tls):
    argv = [sys.executable, os.path.join(SUPPORT, "mock_upstream.py"), "--keep-alive"]
    if tls:
        argv += ["--tls-cert", os.path.join(certs, "rsa.pem"),
                 "--tls-key", os.path.join(certs, "rsa.key")]
    proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    line = proc.stdout.readline().decode()
    if not line.startswith("PORT "):
        raise RuntimeError("mock did not start: %r" % line)
    return proc, int(line.split()[1])


def close_every_answer(port, tls, ca):
    """Scripts the mock to end every connection after its answer."""
    plan = {"prefix": "/searxng", "body": json.dumps(mock_upstream.SEARXNG_DOC),
            "headers": [["Content-Type", "application/json"], ["Connection", "close"]]}
    if tls:
        conn = http.client.HTTPSConnection("localhost", port, timeout=10,
                                           context=ssl.create_default_context(cafile=ca))
    else:
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    conn.request("POST", "/__script", body=json.dumps(plan),
                 headers={"Content-Type": "application/json", "Connection": "close"})
    if conn.getresponse().status != 200:
        raise RuntimeError("the mock refused the script")
    conn.close()


def session(binary, base, ca, gap_s):
    """One MCP session of SEARCHES searches; the wall time of each, in ms."""
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "WEBSEARCH_MOCK_BASE": base,
           "TQ_CA_BUNDLE": ca, "SWEBSEARCH_CONFIG_DIR": tempfile.mkdtemp(prefix="ws-rtt-")}
    p = subprocess.Popen([binary, "--mcp"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         env=env)
    times = []
    try:
        for i in range(1, SEARCHES + 1):
            if i > 1 and gap_s > 0:
                time.sleep(gap_s)
            start = time.monotonic()
            p.stdin.write(search_line(i))
            p.stdin.flush()
            ready, _, _ = select.select([p.stdout], [], [], TIMEOUT_S)
            if not ready:
                raise RuntimeError("no answer within %d s" % TIMEOUT_S)
            reply = json.loads(p.stdout.readline())
            times.append((time.monotonic() - start) * 1000.0)
            if not reply["result"]["structuredContent"].get("ok"):
                raise RuntimeError("search failed: %s" % reply)
    finally:
        p.stdin.close()
        p.wait(TIMEOUT_S)
    return times


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--binary", default=os.path.join(SOURCE, "build", "release",
                                                     "plugin_websearch"))
    ap.add_argument("--rtt", default="20,80", help="round-trip times in ms")
    ap.add_argument("--gap-s", type=float, default=5.0)
    ap.add_argument("--no-gaps", action="store_true", help="back-to-back runs only")
    args = ap.parse_args()
    if not os.access(args.binary, os.X_OK):
        sys.exit("bench: no binary at %s (build it or pass --binary)" % args.binary)
    certs = tempfile.mkdtemp(prefix="ws-rtt-certs-")
    subprocess.run([sys.executable, os.path.join(SUPPORT, "tls_server.py"), "certs", certs],
                   check=True, stdout=subprocess.DEVNULL, timeout=120)
    ca = os.path.join(certs, "ca.pem")
    # (gap between searches in s, whether the service closes every connection)
    runs = [(0.0, False)] + ([] if args.no_gaps else [(args.gap_s, False)]) + [(0.0, True)]

    print("| round trip | scheme | searches | total | first | each after the first | "
          "in round trips | connections | TLS handshakes (resumed) |")
    print("|---|---|---|---|---|---|---|---|---|")
    for rtt in [float(x) for x in args.rtt.split(",")]:
        for tls in (False, True):
            mock, mock_port = start_mock(certs, tls)
            try:
                for gap, closing in runs:
                    if closing:
                        close_every_answer(mock_port, tls, ca)
                    relay = Relay(mock_port, rtt).start()
                    scheme = "https" if tls else "http"
                    how = "%g s apart" % gap if gap else "back to back"
                    if closing:
                        how += ", the service closing each connection"
                    log("%s, %g ms, %s" % (scheme, rtt, how))
                    try:
                        # The certificate names localhost, so that is the host asked for.
                        times = session(args.binary, "%s://localhost:%d" % (scheme, relay.port),
                                        ca, gap)
                    finally:
                        time.sleep(0.2)  # the relay finishes counting the closing connection
                        stats = relay.stats()
                        relay.stop()
                    rest = statistics.mean(times[1:])
                    print("| %g ms | %s | %d %s | %.0f ms | %.0f ms | %.1f ms | %.2f | %d | %s |" % (
                        rtt, scheme, SEARCHES, how,
                        sum(times), times[0], rest, rest / rtt if rtt else float("nan"),
                        stats["connections"],
                        "%d (%d)" % (stats["handshakes"], stats["resumed"]) if tls else "-"),
                        flush=True)
            finally:
                mock.stdin.close()
                mock.wait(10)


if __name__ == "__main__":
    main()
