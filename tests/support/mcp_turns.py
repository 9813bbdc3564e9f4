"""An MCP session that sends each line only after the previous one was answered."""

import subprocess
import threading


def mcp_in_turns(argv, lines, env, timeout_s):
    """Runs argv, writes lines (bytes, each ending in a newline) one at a time,
    waiting for one reply line after each, then closes standard input.
    Returns (returncode, reply lines, standard error as text)."""
    p = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, env=env)
    err = []
    drain = threading.Thread(target=lambda: err.append(p.stderr.read()), daemon=True)
    drain.start()
    timer = threading.Timer(timeout_s, p.kill)
    timer.start()
    replies = []
    try:
        for line in lines:
            p.stdin.write(line)
            p.stdin.flush()
            reply = p.stdout.readline()
            if not reply:
                break
            replies.append(reply.rstrip(b"\n"))
        p.stdin.close()
        rest = p.stdout.read()
        replies.extend(rest.splitlines())
        rc = p.wait()
    finally:
        timer.cancel()
        drain.join(timeout_s)
    return rc, replies, (err[0] if err else b"").decode("utf-8", "replace")
