#!/usr/bin/env python3
"""Debian's lighttpd on a loopback port, running the plug-in as a CGI program.

The binary answers one URL path (default "/plugin") and its MCP endpoint
below it ("/plugin/mcp", which lighttpd hands over with PATH_INFO "/mcp");
every other path is a static file from a document root of the caller's choice (the browser tests
put a host page there that shows the plug-in page in a frame).

lighttpd hands a CGI program only the CGI variables and what
setenv.set-environment names, never its own environment, so everything the
plug-in needs (its configuration folder, the node password, the mock base)
goes through that list.

Python interface
    from lighttpd_server import LighttpdServer
    srv = LighttpdServer(binary, env={"SWEBSEARCH_CONFIG_DIR": d}, docroot=None,
                         stream_body=False)
    srv.start()
    srv.port, srv.base, srv.url     # url == base + "/plugin"
    srv.mcp_url                     # url + "/mcp"
    srv.error_log()                 # lighttpd's error log as text
    srv.stop()

stream_body hands the request body to the CGI program as it arrives
(server.stream-request-body = 2) instead of buffering it whole first, so
the program itself meets a client that stalls.

Command line (for the Node tests)
    python3 lighttpd_server.py --binary B [--env K=V ...] [--docroot DIR] [--path /plugin]
    prints "PORT <n>" and flushes, then serves until its standard input
    reaches end of file, and stops lighttpd before it exits.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

from local_process import (env_pairs, free_port, read_text, serve_until_stdin_closes, stop_process,
                           wait_listening)

LIGHTTPD = "/usr/sbin/lighttpd"
START_TIMEOUT_S = 10.0
STOP_TIMEOUT_S = 5.0


def _quote(text):
    """A lighttpd configuration string literal."""
    return '"' + str(text).replace("\\", "\\\\").replace('"', '\\"') + '"'


def config_text(port, binary, env, docroot, path, workdir, stream_body=False):
    """The whole lighttpd.conf: one CGI path, static files elsewhere."""
    stream = "server.stream-request-body = 2\n" if stream_body else ""
    env_items = ",\n".join(f"    {_quote(k)} => {_quote(v)}" for k, v in sorted(env.items()))
    return f"""server.modules = ( "mod_alias", "mod_setenv", "mod_cgi" )
server.bind = "127.0.0.1"
server.port = {port}
server.document-root = {_quote(docroot)}
server.errorlog = {_quote(os.path.join(workdir, "error.log"))}
server.upload-dirs = ( {_quote(workdir)} )
server.max-request-size = 4096
{stream}index-file.names = ( "index.html" )
mimetype.assign = (
    ".html" => "text/html; charset=utf-8",
    ".js" => "text/javascript; charset=utf-8",
    ".css" => "text/css; charset=utf-8"
)
$HTTP["url"] =~ {_quote("^" + path + "(/mcp)?$")} {{
  alias.url = ( {_quote(path)} => {_quote(binary)} )
  cgi.assign = ( "" => "" )
  setenv.set-environment = (
{env_items}
  )
}}
"""


class LighttpdServer:
    def __init__(self, binary, env=None, docroot=None, path="/plugin", stream_body=False):
        self.binary = os.path.abspath(binary)
        self.env = {"PATH": "/usr/bin:/bin"}
        self.env.update(env or {})
        self.path = path
        self.stream_body = stream_body
        self._docroot = docroot
        self._workdir = None
        self._proc = None
        self.port = None

    @property
    def base(self):
        return f"http://127.0.0.1:{self.port}"

    @property
    def url(self):
        return self.base + self.path

    @property
    def mcp_url(self):
        return self.url + "/mcp"

    def start(self):
        self._workdir = tempfile.mkdtemp(prefix="ws-lighttpd-")
        docroot = self._docroot or os.path.join(self._workdir, "www")
        os.makedirs(docroot, exist_ok=True)
        conf = os.path.join(self._workdir, "lighttpd.conf")
        # The port is free when chosen but may be taken before lighttpd binds
        # it; a few attempts make that race harmless.
        for _ in range(5):
            self.port = free_port()
            with open(conf, "w") as f:
                f.write(config_text(self.port, self.binary, self.env, docroot, self.path,
                                    self._workdir, self.stream_body))
            self._proc = subprocess.Popen([LIGHTTPD, "-D", "-f", conf],
                                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                          stderr=subprocess.PIPE)
            if self._wait_ready():
                return self
            self._halt()
        raise RuntimeError("lighttpd did not start: " + self.error_log())

    def _wait_ready(self):
        return wait_listening(self._proc, self.port, START_TIMEOUT_S)

    def _halt(self):
        if self._proc is None:
            return
        stop_process(self._proc, STOP_TIMEOUT_S)
        if self._proc.stderr:
            self._proc.stderr.close()
        self._proc = None

    def error_log(self):
        return read_text(os.path.join(self._workdir, "error.log")) if self._workdir else ""

    def stop(self):
        self._halt()
        if self._workdir:
            shutil.rmtree(self._workdir, ignore_errors=True)
            self._workdir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def main(argv=None):
    ap = argparse.ArgumentParser(description="lighttpd running the plug-in as CGI")
    ap.add_argument("--binary", required=True)
    ap.add_argument("--env", action="append", default=[], metavar="K=V")
    ap.add_argument("--docroot")
    ap.add_argument("--path", default="/plugin")
    args = ap.parse_args(argv)
    srv = LighttpdServer(args.binary, env=env_pairs(ap, args.env), docroot=args.docroot, path=args.path)
    return serve_until_stdin_closes(srv)


if __name__ == "__main__":
    sys.exit(main())
