"""What a fresh process of the shipped binary maps: every job is a new
process, and loading the shared C++ run-time cost more than a whole --meta
answer, so the plain builds carry the parts of it they use."""

import os
import shutil
import subprocess
import tempfile
import unittest

BINARY = os.environ.get("WS_BINARY", "")


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

    def test_no_shared_cpp_runtime_is_loaded(self):
        # An MCP server waiting for its first line: everything it loads is mapped.
        folder = tempfile.mkdtemp(prefix="ws-footprint-")
        self.addCleanup(shutil.rmtree, folder, True)
        proc = subprocess.Popen([BINARY, "--mcp"], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE,
                                env={"PATH": "/usr/bin:/bin", "SWEBSEARCH_CONFIG_DIR": folder})
        try:
            proc.stdin.write(b'{"jsonrpc":"2.0","id":1,"method":"ping"}\n')
            proc.stdin.flush()
            self.assertEqual(proc.stdout.readline(), b'{"jsonrpc":"2.0","id":1,"result":{}}\n')
            libs = mapped_libraries(proc.pid)
        finally:
            proc.stdin.close()
            proc.wait(timeout=30)
        if any(name.startswith(("libasan", "libubsan", "vgpreload")) for name in libs):
            self.skipTest("sanitized build or valgrind: they bring their own run-times")
        shared_cpp = sorted(n for n in libs if n.startswith(("libstdc++", "libgcc_s", "libc++")))
        self.assertEqual(shared_cpp, [], "start-up loads %s" % ", ".join(shared_cpp))
        # The reading itself works: the C library is there.
        self.assertTrue(any(n.startswith("libc.so") for n in libs), sorted(libs))


if __name__ == "__main__":
    unittest.main()
