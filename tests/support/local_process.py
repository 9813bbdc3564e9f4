"""Servers that tests start as child processes on loopback ports of their own:
a free port, the wait until one listens, and a stop bounded in time."""

import socket
import subprocess
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
