#!/usr/bin/env python3
"""Starts the tests' Linux helper programs for a Windows test binary.

Wine cannot hand a Linux program standard streams, so a Windows test binary
cannot spawn python3 or node itself. It runs under this script instead:

    helper_broker.py scripts/wine_run.sh tests/integration_tests.exe [args...]

The broker listens on 127.0.0.1 (an ephemeral port, exported to the command
as WS_HELPER_BROKER), runs the command with its standard streams unchanged,
exits with its status, and kills any helper still running then.

One connection starts one helper. The test sends the program and its
arguments, each ended by a NUL byte, then one more NUL. After that it sends
single control bytes: "c" closes the helper's standard input, "k" kills it;
the end of the connection closes its input too (a helper still running 10 s
later is killed). The broker answers with frames of one type byte and a
4-byte big-endian length: "o" carries bytes of the helper's standard output,
"x" its exit status in decimal (negative for a signal, 127 when it could not
be started) and is the last frame. The helper's standard error is the
broker's.
"""
import os
import socket
import struct
import subprocess
import sys
import threading

LINGER_AFTER_CLOSE_S = 10

_helpers = set()
_helpers_lock = threading.Lock()


def _frame(conn, kind, payload):
    try:
        conn.sendall(kind + struct.pack(">I", len(payload)) + payload)
        return True
    except OSError:
        return False  # the test is gone; the helper is still drained


def _read_request(conn):
    args, current = [], bytearray()
    while True:
        b = conn.recv(1)
        if not b:
            return None
        if b != b"\0":
            current += b
        elif current:
            args.append(os.fsdecode(bytes(current)))
            current = bytearray()
        else:
            return args


def _kill(proc):
    try:
        proc.kill()
    except OSError:
        pass


def _pump_output(conn, proc):
    alive = True
    while True:
        data = proc.stdout.read1(65536)
        if not data:
            break
        if alive:
            alive = _frame(conn, b"o", data)
    code = proc.wait()
    _frame(conn, b"x", str(code).encode())
    try:
        conn.shutdown(socket.SHUT_WR)
    except OSError:
        pass


def _close_input(proc):
    try:
        proc.stdin.close()
    except OSError:
        pass


def _serve(conn):
    with conn:
        args = _read_request(conn)
        if not args:
            return
        try:
            proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        except OSError as e:
            sys.stderr.write("helper_broker: cannot start %s: %s\n" % (args[0], e))
            _frame(conn, b"x", b"127")
            return
        with _helpers_lock:
            _helpers.add(proc)
        pump = threading.Thread(target=_pump_output, args=(conn, proc), daemon=True)
        pump.start()
        while True:
            try:
                b = conn.recv(1)
            except OSError:
                b = b""
            if b == b"c":
                _close_input(proc)
            elif b == b"k":
                _kill(proc)
            elif not b:
                break
        # The test closed the connection (or died): its helper leaves as when
        # a POSIX test's pipe closes, and is killed if it lingers.
        _close_input(proc)
        try:
            proc.wait(timeout=LINGER_AFTER_CLOSE_S)
        except subprocess.TimeoutExpired:
            _kill(proc)
            proc.wait()
        pump.join(timeout=LINGER_AFTER_CLOSE_S)
        with _helpers_lock:
            _helpers.discard(proc)


def _accept_loop(server):
    while True:
        try:
            conn, _ = server.accept()
        except OSError:
            return
        threading.Thread(target=_serve, args=(conn,), daemon=True).start()


def main(argv):
    if len(argv) < 2:
        sys.stderr.write("usage: helper_broker.py command [arguments...]\n")
        return 2
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.bind(("127.0.0.1", 0))
    server.listen(64)
    threading.Thread(target=_accept_loop, args=(server,), daemon=True).start()
    env = dict(os.environ, WS_HELPER_BROKER=str(server.getsockname()[1]))
    try:
        code = subprocess.call(argv[1:], env=env)
    except OSError as e:
        sys.stderr.write("helper_broker: cannot run %s: %s\n" % (argv[1], e))
        code = 127
    server.close()
    with _helpers_lock:
        left = list(_helpers)
    for proc in left:
        _kill(proc)
    for proc in left:
        proc.wait()
    return code if code >= 0 else 128 - code


if __name__ == "__main__":
    sys.exit(main(sys.argv))
