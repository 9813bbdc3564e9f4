"""Real proxies from Debian on loopback ports of their own, for the tests:
tinyproxy (HTTP forwarding and CONNECT, optionally with Basic
authentication) and microsocks (SOCKS5, optionally with a user name and
password). Each runs in the foreground as a child of the test and is stopped
within a bounded time; its log is kept for the assertions."""

import os
import socket
import subprocess

from local_process import free_port, stop_process, wait_listening

START_TIMEOUT_S = 10
STOP_TIMEOUT_S = 5


class _Proxy:
    """One proxy process; start() returns once it accepts connections."""

    def __init__(self, workdir, name):
        self.workdir = workdir
        self.name = name
        self.port = 0
        self.proc = None
        self.log_path = os.path.join(workdir, name + ".log")

    def argv(self):
        raise NotImplementedError

    def start(self):
        # A port taken between the probe and the proxy's bind only costs a retry.
        for _ in range(3):
            self.port = free_port()
            with open(self.log_path, "ab") as log:
                self.proc = subprocess.Popen(self.argv(), stdin=subprocess.DEVNULL, stdout=log,
                                             stderr=subprocess.STDOUT, cwd=self.workdir)
            if self._wait_ready():
                return self
            self.stop()
        raise RuntimeError("%s did not start; see %s" % (self.name, self.log_path))

    def _wait_ready(self):
        return wait_listening(self.proc, self.port, START_TIMEOUT_S)

    def log(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stop(self):
        stop_process(self.proc, STOP_TIMEOUT_S)
        self.proc = None


class TinyProxy(_Proxy):
    """tinyproxy in the foreground. No ConnectPort line: CONNECT reaches any
    port, as the mock services listen on ports the kernel picks."""

    def __init__(self, workdir, name="tinyproxy", user=None, password=None):
        super().__init__(workdir, name)
        self.user = user
        self.password = password

    def argv(self):
        conf = os.path.join(self.workdir, self.name + ".conf")
        lines = ["Port %d" % self.port, "Listen 127.0.0.1", "Allow 127.0.0.1", "Timeout 30",
                 "MaxClients 50", "LogLevel Connect", "DisableViaHeader Yes"]
        if self.user is not None:
            lines.append("BasicAuth %s %s" % (self.user, self.password))
        with open(conf, "w") as f:
            f.write("\n".join(lines) + "\n")
        return ["tinyproxy", "-d", "-c", conf]


class MicroSocks(_Proxy):
    def __init__(self, workdir, name="microsocks", user=None, password=None):
        super().__init__(workdir, name)
        self.user = user
        self.password = password

    def argv(self):
        argv = ["microsocks", "-i", "127.0.0.1", "-p", str(self.port)]
        if self.user is not None:
            argv += ["-u", self.user, "-P", self.password]
        return argv


class DeadPort:
    """A loopback port held bound but not listening: connects are refused,
    and nobody else can take the port meanwhile."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]

    def close(self):
        self.sock.close()
