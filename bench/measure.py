#!/usr/bin/env python3
"""Whole-process benchmarks of plugin_websearch, measured side by side.

Called by bench/run.sh with the Release build directory. Every figure is a
ratio of medians of interleaved runs (ours, reference, ours, reference, ...)
taken in the same run, so that a busy machine slows both sides alike:

  start-up      --meta, and an MCP session (initialize, initialized, tools/list),
                against a C program that prints one line
  search        one MCP session of N searches (SearXNG, 20 results each)
                against curl fetching the same N URLs in one process, a fresh
                connection each, both from the same loopback server
  TLS           the first https search of a process against curl's first
                request to the same loopback TLS server, whole processes
  memory        peak RSS of an MCP session of N searches, and its RSS after
                the 100th and the last search
  simultaneous  1, 3 and 8 searches sent at once to a loopback service that
                answers after 300 ms, the default (parallel) server against
                WEBSEARCH_MCP_SERIAL=1, with the peak RSS of each run
  cancel        all eight workers held by searches the service answers late,
                a ninth call waiting: the time from notifications/cancelled
                for one of the eight to the reply of the ninth
  hot paths     Google Benchmark figures (bench_hot_paths)

Prints one table (Markdown) on standard output. Standard library only.
"""

import argparse
import datetime
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
SUPPORT = os.path.join(SOURCE, "tests", "support")
SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"


def log(*args):
    print("bench:", *args, file=sys.stderr, flush=True)


class Server:
    """bench_server (or the Python mock) on a loopback port."""

    def __init__(self, argv):
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        line = self.proc.stdout.readline().decode()
        if not line.startswith("PORT "):
            self.stop()
            raise RuntimeError("server did not start: %r" % line)
        self.port = int(line.split()[1])

    def stop(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def spawn(tools, argv, env, stdin_path="/dev/null", stdout_path="/dev/null"):
    """One timed run: (seconds, peak RSS KiB, exit status)."""
    out = subprocess.run([os.path.join(tools, "bench_spawn"), "-n", "1", "-i", stdin_path,
                          "-o", stdout_path, "--"] + argv,
                         env=env, stdout=subprocess.PIPE, check=True)
    us, rss, code = out.stdout.decode().split()
    return int(us) / 1e6, int(rss), int(code)


def interleaved(tools, sides, runs):
    """sides: list of (argv, env, stdin). Medians of the wall times, in seconds."""
    times = [[] for _ in sides]
    for _ in range(runs):
        for k, (argv, env, stdin_path) in enumerate(sides):
            t, _, code = spawn(tools, argv, env, stdin_path)
            if code != 0:
                raise RuntimeError("%s exited with %d" % (argv[0], code))
            times[k].append(t)
    return [statistics.median(t) for t in times]


def jsonrpc(i, method, params=None):
    msg = {"jsonrpc": "2.0", "id": i, "method": method}
    if params is not None:
        msg["params"] = params
    return json.dumps(msg, separators=(",", ":"))


def search_line(i, query):
    return jsonrpc(i, "tools/call", {"name": "web_search",
                                     "arguments": {"query": query, "count": 20}})


def our_env(config_dir, base, extra=None):
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"),
           "SWEBSEARCH_CONFIG_DIR": config_dir,
           "WEBSEARCH_PROVIDER": "searxng",
           "WEBSEARCH_SEARXNG_BASE": base,
           "WEBSEARCH_COUNT": "20"}
    env.update(extra or {})
    return env


def check_replies(path, want, count):
    """Every reply a successful search with `count` results."""
    with open(path, "rb") as f:
        lines = f.read().splitlines()
    if len(lines) != want:
        raise RuntimeError("%d replies instead of %d" % (len(lines), want))
    for raw in lines:
        reply = json.loads(raw)
        doc = reply.get("result", {}).get("structuredContent")
        if not doc or doc.get("count") != count:
            raise RuntimeError("search failed: %s" % raw[:300])


def vm_field(pid, name):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(name + ":"):
                return int(line.split()[1])
    return 0


def measure_memory(binary, env, searches):
    """RSS (KiB) after the 100th and the last search, and the peak."""
    proc = subprocess.Popen([binary, "--mcp"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            env=env)
    rss = {}
    try:
        for i in range(1, searches + 1):
            proc.stdin.write((search_line(i, "memory %d" % i) + "\n").encode())
            proc.stdin.flush()
            reply = proc.stdout.readline()
            if b'"count":20' not in reply:
                raise RuntimeError("search %d failed: %r" % (i, reply[:300]))
            if i in (100, searches):
                rss[i] = vm_field(proc.pid, "VmRSS")
        peak = vm_field(proc.pid, "VmHWM")
    finally:
        proc.stdin.close()
        proc.wait(timeout=30)
    return rss[100], rss[searches], peak


def simultaneous(tools, binary, config_dir, work, runs, delay_ms):
    """Rows for 1, 3 and 8 searches sent at once, parallel against serial."""
    rows = []
    srv = Server([os.path.join(tools, "bench_server"), "--delay-ms", str(delay_ms)])
    try:
        base = "http://127.0.0.1:%d" % srv.port
        parallel = our_env(config_dir, base)
        serial = our_env(config_dir, base, {"WEBSEARCH_MCP_SERIAL": "1"})
        sides, files = [], {}
        for n in (1, 3, 8):
            path = os.path.join(work, "at_once_%d.jsonl" % n)
            with open(path, "w") as f:
                for i in range(1, n + 1):
                    f.write(search_line(i, "at once %d" % i) + "\n")
            files[n] = path
            for env in (parallel, serial):
                replies = os.path.join(work, "at_once_replies.jsonl")
                spawn(tools, [binary, "--mcp"], env, path, replies)
                check_replies(replies, n, 20)
                sides.append(([binary, "--mcp"], env, path))
        log("simultaneous searches (%d ms service), %d runs" % (delay_ms, runs))
        times = [[] for _ in sides]
        peaks = [[] for _ in sides]
        for _ in range(runs):
            for k, (argv, env, path) in enumerate(sides):
                t, rss, code = spawn(tools, argv, env, path)
                if code != 0:
                    raise RuntimeError("%s exited with %d" % (argv[0], code))
                times[k].append(t)
                peaks[k].append(rss)
        med = [statistics.median(t) for t in times]
        peak = [max(p) for p in peaks]
        for j, n in enumerate((1, 3, 8)):
            par, ser = med[2 * j], med[2 * j + 1]
            rows.append(("simultaneous: %d search%s at once, service answers after %d ms "
                         "(parallel vs WEBSEARCH_MCP_SERIAL=1)" % (n, "es" if n > 1 else "",
                                                                  delay_ms),
                         fmt_ms(par), fmt_ms(ser), "%.2fx" % (par / ser), "", ""))
        r = med[4] / med[0]
        rows.append(("simultaneous: 8 at once vs 1 alone (parallel)", fmt_ms(med[4]),
                     fmt_ms(med[0]), "%.2fx" % r, "<= 1.2x", "met" if r <= 1.2 else "MISSED"))
        rows.append(("memory: peak RSS of 8 searches at once (parallel vs serial)",
                     "%.2f MiB" % (peak[4] / 1024), "%.2f MiB" % (peak[5] / 1024),
                     "%.2fx" % (peak[4] / peak[5]), "", ""))
    finally:
        srv.stop()
    return rows


def cancel_latency(tools, binary, config_dir, work, runs):
    """Median milliseconds from a cancel to the reply of the call that was
    waiting for a worker, and the slowest of the runs."""
    targets = os.path.join(work, "cancel_targets.log")
    srv = Server([os.path.join(tools, "bench_server"), "--delay-ms", "3000",
                  "--log-targets", targets])
    # The waiting call goes to a port that refuses at once, so its reply
    # comes the moment a worker takes it.
    env = our_env(config_dir, "http://127.0.0.1:%d" % srv.port,
                  {"WEBSEARCH_BRAVE_BASE": "http://127.0.0.1:9", "BRAVE_API_KEY": "bench"})
    took = []
    try:
        for run in range(runs):
            open(targets, "w").close()
            proc = subprocess.Popen([binary, "--mcp"], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, env=env)
            try:
                proc.stdin.write("".join(search_line(i, "held %d %d" % (run, i)) + "\n"
                                         for i in range(1, 9)).encode())
                proc.stdin.write((jsonrpc(9, "tools/call", {
                    "name": "web_search", "arguments": {"query": "next", "provider": "brave"}})
                                  + "\n").encode())
                proc.stdin.flush()
                deadline = time.monotonic() + 10
                while True:
                    with open(targets) as f:
                        if len(f.read().split()) >= 8:
                            break
                    if time.monotonic() > deadline:
                        raise RuntimeError("the service never saw the eight searches")
                    time.sleep(0.005)
                start = time.monotonic()
                proc.stdin.write(b'{"jsonrpc":"2.0","method":"notifications/cancelled",'
                                 b'"params":{"requestId":4}}\n')
                proc.stdin.flush()
                reply = json.loads(proc.stdout.readline())
                took.append((time.monotonic() - start) * 1e3)
                if reply.get("id") != 9:
                    raise RuntimeError("first reply after the cancel: %r" % reply)
            finally:
                proc.kill()
                proc.wait()
                proc.stdout.close()
                proc.stdin.close()
    finally:
        srv.stop()
    return statistics.median(took), max(took)


def hot_paths(tools, min_time):
    out = subprocess.run([os.path.join(tools, "bench_hot_paths"), "--benchmark_format=json",
                          "--benchmark_min_time=%s" % min_time],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True)
    rows = {}
    for b in json.loads(out.stdout)["benchmarks"]:
        name = b["name"] + ((" " + b["label"]) if b.get("label") else "")
        rows[name] = b
    return rows


def fmt_ms(seconds):
    return "%.2f ms" % (seconds * 1e3) if seconds < 1 else "%.3f s" % seconds


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True, help="Release build directory")
    ap.add_argument("--runs", type=int, default=11)
    ap.add_argument("--searches", type=int, default=1000)
    ap.add_argument("--min-time", default="0.5", help="Google Benchmark seconds per figure")
    ap.add_argument("--python-mock", action="store_true",
                    help="also measure the search figure against tests/support/mock_upstream.py")
    ap.add_argument("--delay-ms", type=int, default=300,
                    help="answer delay of the service in the simultaneous-search figures")
    ap.add_argument("--simultaneous-only", action="store_true",
                    help="measure only the simultaneous-search figures")
    args = ap.parse_args()

    build = os.path.abspath(args.build)
    binary = os.path.join(build, "plugin_websearch")
    tools = os.path.join(build, "bench")
    curl = shutil.which("curl")
    if not curl:
        sys.exit("bench: curl is missing (scripts/setup.sh installs it)")
    work = tempfile.mkdtemp(prefix="ws-bench-")
    rows = []  # (figure, ours, reference, ratio, goal, verdict)

    def ratio_row(figure, ours, ref, goal):
        r = ours / ref
        rows.append((figure, fmt_ms(ours), fmt_ms(ref), "%.2fx" % r, "<= %.1fx" % goal,
                     "met" if r <= goal else "MISSED"))

    try:
        config_dir = os.path.join(work, "config")
        os.mkdir(config_dir)
        rows += simultaneous(tools, binary, config_dir, work, args.runs, args.delay_ms)
        log("cancel: a waiting call after a cancel, %d runs" % args.runs)
        med, worst = cancel_latency(tools, binary, config_dir, work, args.runs)
        rows.append(("cancel: notifications/cancelled of a running search to the reply of the "
                     "call waiting for its worker", "%.1f ms" % med, "", "slowest %.1f ms" % worst,
                     "<= 50 ms", "met" if med <= 50 else "MISSED"))
        if not args.simultaneous_only:
            floor = [os.path.join(tools, "bench_trivial")]

            # --- start-up ----------------------------------------------------------
            session = os.path.join(work, "session.jsonl")
            with open(session, "w") as f:
                f.write(jsonrpc(1, "initialize", {"protocolVersion": "2025-06-18", "capabilities": {},
                                                  "clientInfo": {"name": "bench", "version": "1"}})
                        + "\n")
                f.write('{"jsonrpc":"2.0","method":"notifications/initialized"}\n')
                f.write(jsonrpc(2, "tools/list") + "\n")
            env = our_env(config_dir, "http://127.0.0.1:9")
            log("start-up: --meta")
            ours, ref = interleaved(tools, [([binary, "--meta"], env, "/dev/null"),
                                            (floor, env, "/dev/null")], args.runs * 3)
            ratio_row("start-up: --meta vs a C program printing one line", ours, ref, 2.0)
            log("start-up: MCP initialize + tools/list")
            ours, ref = interleaved(tools, [([binary, "--mcp"], env, session),
                                            (floor, env, session)], args.runs * 3)
            ratio_row("start-up: MCP initialize + tools/list session vs the same C program",
                      ours, ref, 2.0)

            # --- search overhead ---------------------------------------------------
            n = args.searches
            searches = os.path.join(work, "searches.jsonl")
            with open(searches, "w") as f:
                for i in range(1, n + 1):
                    f.write(search_line(i, "bench query %d" % i) + "\n")

            def search_figure(label, start):
                base, targets_of, stop = start()
                try:
                    env = our_env(config_dir, base)
                    replies = os.path.join(work, "replies.jsonl")
                    spawn(tools, [binary, "--mcp"], env, searches, replies)
                    check_replies(replies, n, 20)
                    targets = targets_of()
                    if len(targets) != n:
                        raise RuntimeError("server saw %d requests, not %d" % (len(targets), n))
                    cfg = os.path.join(work, "curl.cfg")
                    with open(cfg, "w") as f:
                        f.write('silent\nheader = "Accept: application/json"\n')
                        for url in targets:
                            f.write('url = "%s"\noutput = "/dev/null"\n' % url)
                    log(label)
                    ours, ref = interleaved(tools, [([binary, "--mcp"], env, searches),
                                                    ([curl, "--config", cfg], env, "/dev/null")],
                                            args.runs)
                    ratio_row(label, ours, ref, 1.2)
                finally:
                    stop()

            def start_bench_server():
                targets_log = os.path.join(work, "targets.log")
                srv = Server([os.path.join(tools, "bench_server"), "--log-targets", targets_log])
                base = "http://127.0.0.1:%d" % srv.port

                def targets_of():
                    with open(targets_log) as f:
                        return [base + t for t in f.read().split()]
                return base, targets_of, srv.stop

            def start_python_mock():
                sys.path.insert(0, SUPPORT)
                from mock_upstream import MockUpstream
                body = subprocess.run([os.path.join(tools, "bench_server"), "--print-body"],
                                      stdout=subprocess.PIPE, check=True).stdout
                mock = MockUpstream()
                mock.start()
                mock.script("/searxng", body=body.decode("utf-8"),
                            headers=[["Content-Type", "application/json"]])

                def targets_of():
                    return [mock.base + r["target"] for r in mock.requests()]
                return mock.base + "/searxng", targets_of, mock.stop

            search_figure("search: %d searches in one MCP session vs curl fetching the same URLs "
                          "(C++ loopback server)" % n, start_bench_server)
            if args.python_mock:
                search_figure("search: the same against the Python mock (tests/support)",
                              start_python_mock)

            # --- TLS -----------------------------------------------------------------
            certs = os.path.join(work, "certs")
            os.mkdir(certs)
            subprocess.run([sys.executable, os.path.join(SUPPORT, "tls_server.py"), "certs", certs],
                           check=True, stdout=subprocess.DEVNULL)
            # curl gets the same anchors our binary has: the system bundle (embedded
            # at build time) and the bench CA (TQ_CA_BUNDLE).
            bundle = os.path.join(work, "bundle.pem")
            with open(bundle, "wb") as out:
                for p in (SYSTEM_BUNDLE, os.path.join(certs, "ca.pem")):
                    with open(p, "rb") as f:
                        out.write(f.read())
            for key in ("rsa", "ec"):
                tls_log = os.path.join(work, "tls_targets_%s.log" % key)
                srv = Server([os.path.join(tools, "bench_server"), "--tls",
                              os.path.join(certs, key + ".pem"), os.path.join(certs, key + ".key"),
                              "--log-targets", tls_log])
                try:
                    base = "https://localhost:%d" % srv.port
                    env = our_env(config_dir, base, {"TQ_CA_BUNDLE": os.path.join(certs, "ca.pem")})
                    one = os.path.join(work, "one.jsonl")
                    with open(one, "w") as f:
                        f.write(search_line(1, "tls bench") + "\n")
                    replies = os.path.join(work, "tls_replies.jsonl")
                    spawn(tools, [binary, "--mcp"], env, one, replies)
                    check_replies(replies, 1, 20)
                    with open(tls_log) as f:
                        target = f.read().split()[0]
                    log("TLS first search (%s key)" % key)
                    ours, ref = interleaved(
                        tools, [([binary, "--mcp"], env, one),
                                ([curl, "-s", "--cacert", bundle, "-H", "Accept: application/json",
                                  "-o", "/dev/null", base + target], env, "/dev/null")],
                        args.runs * 2)
                    ratio_row("TLS: first https search of a process vs curl's first request "
                              "(%s server key)" % key.upper(), ours, ref, 1.5)
                finally:
                    srv.stop()

            # --- memory ----------------------------------------------------------------
            srv = Server([os.path.join(tools, "bench_server")])
            try:
                log("memory")
                env = our_env(config_dir, "http://127.0.0.1:%d" % srv.port)
                at100, at_end, peak = measure_memory(binary, env, n)
            finally:
                srv.stop()
            rows.append(("memory: peak RSS of an MCP session of %d searches of 20 results" % n,
                         "%.2f MiB" % (peak / 1024), "", "", "<= 8 MiB",
                         "met" if peak <= 8 * 1024 else "MISSED"))
            grew = at_end - at100
            rows.append(("memory: RSS after search 100 -> after search %d" % n,
                         "%d KiB -> %d KiB" % (at100, at_end), "", "%+d KiB" % grew, "flat",
                         "met" if grew <= 64 else "MISSED"))

            # --- hot paths ---------------------------------------------------------------
            log("hot paths (Google Benchmark)")
            hp = hot_paths(tools, args.min_time)

            def rate(b):
                if "bytes_per_second" in b:
                    return b["bytes_per_second"] / 1e6, "MB/s"
                return b["items_per_second"], "ops/s"

            for name, b in hp.items():
                if name.startswith("BM_YyjsonStr"):
                    continue
                value, unit = rate(b)
                shown = ("%.0f %s" % (value, unit)) if unit == "MB/s" else ("%.2fM %s" % (value / 1e6, unit))
                ref, r = "", ""
                if name.startswith("BM_WsJsonStr"):
                    twin = hp.get(name.replace("BM_WsJsonStr", "BM_YyjsonStr"))
                    if twin:
                        ref = "%.0f MB/s (yyjson)" % (twin["bytes_per_second"] / 1e6)
                        r = "%.2fx" % (twin["bytes_per_second"] / b["bytes_per_second"])
                if name.startswith("BM_ResultsJson"):
                    shown += ", %.0fk documents/s" % (b["items_per_second"] / 1e3)
                rows.append(("hot path: " + name[3:], shown, ref, r, "", ""))
    finally:
        shutil.rmtree(work, ignore_errors=True)

    machine = "%s, %d cores, %s" % (cpu_model(), os.cpu_count() or 0, platform.platform())
    print("Measured %s on %s (load average %.1f)." % (
        datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"), machine,
        os.getloadavg()[0]))
    print("Medians of %d or more interleaved runs; ratio = ours / reference (hot paths: "
          "yyjson / ours, time per byte)." % args.runs)
    print()
    print("| figure | ours | reference | ratio | goal | |")
    print("|---|---|---|---|---|---|")
    for r in rows:
        print("| " + " | ".join(r) + " |")


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


if __name__ == "__main__":
    main()
