#!/usr/bin/env python3
"""Debian's nginx and fcgiwrap on loopback, running the plug-in as a CGI
program with the server block of docs/nginx.conf.example.

The documented block is used as it stands; only the listen address, the
binary, the configuration folder, the node password and the fcgiwrap socket
are replaced, and extra settings are added after the password line. So the
tests prove the configuration that the README tells users to copy.

Everything lives in a temporary folder (configuration, pid file, logs, temp
paths, the fcgiwrap socket); no system service or port 80 is involved.

Python interface
    from nginx_server import NginxServer
    srv = NginxServer(binary, env={"SWEBSEARCH_CONFIG_DIR": d})
    srv.start()
    srv.port, srv.base, srv.url, srv.mcp_url   # url == base + "/plugin"
    srv.error_log()
    srv.stop()

Command line (for the Node tests)
    python3 nginx_server.py --binary B [--env K=V ...]
    prints "PORT <n>" and flushes, then serves until its standard input
    reaches end of file, and stops nginx and fcgiwrap before it exits.
"""

import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from local_process import env_pairs, free_port, read_text, serve_until_stdin_closes

NGINX = "/usr/sbin/nginx"
FCGIWRAP = "/usr/sbin/fcgiwrap"
EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                       "nginx.conf.example")
START_TIMEOUT_S = 10.0
STOP_TIMEOUT_S = 5.0


def _quote(text):
    """An nginx string literal (variables are never wanted in these values)."""
    text = str(text)
    if "$" in text:
        raise ValueError("nginx would expand the $ in " + repr(text))
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _replace_once(text, old, new):
    if text.count(old) != 1:
        raise RuntimeError(f"docs/nginx.conf.example no longer holds {old!r} exactly once")
    return text.replace(old, new)


def site_text(port, binary, env, socket_path):
    """The documented server block, pointed at this test's binary and folder."""
    with open(EXAMPLE) as f:
        text = f.read()
    env = dict(env)
    text = _replace_once(text, "listen 80;", f"listen 127.0.0.1:{port};")
    text = _replace_once(text, "unix:/run/fcgiwrap.socket", "unix:" + socket_path)
    text = _replace_once(text, "/usr/local/bin/plugin_websearch", _quote(binary))
    text = _replace_once(text, "SWEBSEARCH_CONFIG_DIR /var/lib/plugin_websearch",
                         "SWEBSEARCH_CONFIG_DIR " + _quote(env.pop("SWEBSEARCH_CONFIG_DIR", "")))
    password = env.pop("BOT_PASSWORD", None)
    extra = "".join(f"\n    fastcgi_param {k} {_quote(v)};" for k, v in sorted(env.items()))
    if password is None:
        text = _replace_once(text, "\n    fastcgi_param BOT_PASSWORD change-me;", extra)
    else:
        text = _replace_once(text, "BOT_PASSWORD change-me;",
                             f"BOT_PASSWORD {_quote(password)};{extra}")
    return text


def config_text(workdir, site):
    user = "user root;\n" if os.geteuid() == 0 else ""
    temp = "".join(f"  {kind}_temp_path {_quote(os.path.join(workdir, kind))};\n"
                   for kind in ["client_body", "fastcgi", "proxy", "uwsgi", "scgi"])
    return f"""{user}daemon off;
worker_processes 1;
pid {_quote(os.path.join(workdir, "nginx.pid"))};
error_log {_quote(os.path.join(workdir, "error.log"))} warn;
events {{ worker_connections 256; }}
http {{
  access_log off;
{temp}{site}
}}
"""


class NginxServer:
    def __init__(self, binary, env=None):
        self.binary = os.path.abspath(binary)
        self.env = dict(env or {})
        self._workdir = None
        self._nginx = None
        self._fcgi = None
        self.port = None

    @property
    def base(self):
        return f"http://127.0.0.1:{self.port}"

    @property
    def url(self):
        return self.base + "/plugin"

    @property
    def mcp_url(self):
        return self.url + "/mcp"

    def start(self):
        self._workdir = tempfile.mkdtemp(prefix="ws-nginx-")
        sock = os.path.join(self._workdir, "fcgiwrap.sock")
        # One fcgiwrap process, which waits for each CGI child itself: prefork
        # children would outlive a stopped parent.
        self._fcgi = subprocess.Popen(
            [FCGIWRAP, "-s", "unix:" + sock, "-p", self.binary],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env={"PATH": "/usr/bin:/bin"}, start_new_session=True)
        if not self._wait(lambda: os.path.exists(sock), self._fcgi):
            self.stop()
            raise RuntimeError("fcgiwrap did not create its socket")
        conf = os.path.join(self._workdir, "nginx.conf")
        for _ in range(5):
            self.port = free_port()
            with open(conf, "w") as f:
                f.write(config_text(self._workdir,
                                    site_text(self.port, self.binary, self.env, sock)))
            self._nginx = subprocess.Popen(
                [NGINX, "-p", self._workdir, "-c", conf, "-e",
                 os.path.join(self._workdir, "error.log")],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                start_new_session=True)
            if self._wait(self._listening, self._nginx):
                return self
            self._halt_nginx()
        log = self.error_log()
        self.stop()
        raise RuntimeError("nginx did not start: " + log)

    def _listening(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=0.5):
                return True
        except OSError:
            return False

    @staticmethod
    def _wait(ready, proc):
        deadline = time.monotonic() + START_TIMEOUT_S
        while time.monotonic() < deadline:
            if proc.poll() is not None:
                return False
            if ready():
                return True
            time.sleep(0.05)
        return False

    @staticmethod
    def _end_group(proc):
        if proc is None:
            return
        try:
            os.killpg(proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            proc.wait(STOP_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            proc.wait(STOP_TIMEOUT_S)

    def _halt_nginx(self):
        self._end_group(self._nginx)
        self._nginx = None

    def error_log(self):
        return read_text(os.path.join(self._workdir, "error.log")) if self._workdir else ""

    def stop(self):
        self._halt_nginx()
        self._end_group(self._fcgi)
        self._fcgi = None
        if self._workdir:
            shutil.rmtree(self._workdir, ignore_errors=True)
            self._workdir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def main(argv=None):
    ap = argparse.ArgumentParser(description="nginx and fcgiwrap running the plug-in as CGI")
    ap.add_argument("--binary", required=True)
    ap.add_argument("--env", action="append", default=[], metavar="K=V")
    args = ap.parse_args(argv)
    return serve_until_stdin_closes(NginxServer(args.binary, env=env_pairs(ap, args.env)))


if __name__ == "__main__":
    sys.exit(main())
