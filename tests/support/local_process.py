"""Servers that tests start as child processes on loopback ports of their own:
a free port, the wait until one listens, a stop bounded in time, and the
command-line form in which a test of another language starts one."""

import socket
import subprocess
import sys
import time


def free_port():
    """A port on 127.0.0.1 that nothing listens on at this moment."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(proc, port, timeout_s):
    """True once 127.0.0.1:port accepts a connection; False when proc ended
    or timeout_s passed first."""
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def stop_process(proc, timeout_s):
    """Terminates proc (killed when it does not end within timeout_s) and
    waits for it."""
    if proc is None or proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(timeout_s)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout_s)


def read_text(path):
    """The file's text, undecodable bytes replaced; "" when it cannot be read."""
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except (OSError, TypeError):
        return ""


def env_pairs(parser, items):
    """The K=V items of a repeated --env option as a dict."""
    env = {}
    for item in items:
        key, sep, value = item.partition("=")
        if not sep:
            parser.error("--env takes K=V")
        env[key] = value
    return env


def serve_until_stdin_closes(server):
    """Starts server, prints "PORT <n>", and stops it once standard input
    ends, so the server never outlives the test process that started it."""
    server.start()
    try:
        sys.stdout.write(f"PORT {server.port}\n")
        sys.stdout.flush()
        while sys.stdin.buffer.read(4096):
            pass
    except (OSError, ValueError, KeyboardInterrupt):
        pass
    finally:
        server.stop()
    return 0
