"""What a fresh process of the shipped binary needs and maps: every job is a
new process, loading the shared C++ run-time cost more than a whole --meta
answer, and a copy on another machine must start with nothing but the C
library, so the plain builds carry everything else inside."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

BINARY = os.environ.get("WS_BINARY", "")
SANITIZER_RUNTIMES = ("libasan", "libubsan", "vgpreload")


def is_c_library(name):
    """The C library and the dynamic loader, whatever the architecture."""
    return name == "libc.so.6" or name.startswith("ld-linux")


def needed_libraries(path):
    """The shared libraries an executable names (its NEEDED entries)."""
    out = subprocess.run(["readelf", "-d", path], capture_output=True, text=True,
                         check=True).stdout
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)


def mapped_libraries(pid):
    libs = set()
    with open("/proc/%d/maps" % pid) as f:
        for line in f:
            path = line.split()[-1] if len(line.split()) >= 6 else ""
            if ".so" in path:
                libs.add(os.path.basename(path))
    return libs


class Footprint(unittest.TestCase):
    def setUp(self):
        if not BINARY or not os.access(BINARY, os.X_OK):
            self.skipTest("WS_BINARY is not an executable")

    def test_needs_nothing_but_the_c_library(self):
        needed = needed_libraries(BINARY)
        if any(name.startswith(SANITIZER_RUNTIMES) for name in needed):
            self.skipTest("sanitized build: it needs its run-times")
        self.assertIn("libc.so.6", needed)
        self.assertEqual([n for n in needed if not is_c_library(n)], [], needed)

    def test_loads_nothing_but_the_c_library(self):
        # An MCP server waiting for its first line: everything it loads is
        # mapped. The empty library path leaves only the system's own folders.
        folder = tempfile.mkdtemp(prefix="ws-footprint-")
        self.addCleanup(shutil.rmtree, folder, True)
        proc = subprocess.Popen([BINARY, "--mcp"], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE,
                                env={"PATH": "/usr/bin:/bin", "LD_LIBRARY_PATH": "",
                                     "SWEBSEARCH_CONFIG_DIR": folder})
        try:
            proc.stdin.write(b'{"jsonrpc":"2.0","id":1,"method":"ping"}\n')
            proc.stdin.flush()
            self.assertEqual(proc.stdout.readline(), b'{"jsonrpc":"2.0","id":1,"result":{}}\n')
            libs = mapped_libraries(proc.pid)
        finally:
            proc.stdin.close()
            proc.wait(timeout=30)
        if any(name.startswith(SANITIZER_RUNTIMES) for name in libs):
            self.skipTest("sanitized build or valgrind: they bring their own run-times")
        self.assertEqual(sorted(n for n in libs if not is_c_library(n)), [], sorted(libs))
        # The reading itself works: the C library is there.
        self.assertIn("libc.so.6", libs)


if __name__ == "__main__":
    unittest.main()
