"""The release files of scripts/release.sh as a user meets them: the archive,
the Debian package and the MCP bundle each hold the executable, which starts
with nothing but the C library and answers an MCP client."""

import glob
import json
import os
import re
import shutil
import struct
import subprocess
import tarfile
import tempfile
import unittest
import zipfile

from mock_upstream import MockUpstream
from test_process_footprint import is_c_library, needed_libraries

BINARY = os.environ.get("WS_BINARY", "")
SOURCE_DIR = os.environ.get("WS_SOURCE_DIR", "")
RELEASE_DIR = os.environ.get("WS_RELEASE_DIR") or os.path.join(SOURCE_DIR, "build", "dist")
MCPB = os.path.join(SOURCE_DIR, "scripts", "release", "node_modules", ".bin", "mcpb")
RUN_TIMEOUT_S = 60

INITIALIZE = {"jsonrpc": "2.0", "id": 1, "method": "initialize",
              "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                         "clientInfo": {"name": "release-test", "version": "1"}}}
DOC_FILES = ["share/doc/plugin_websearch/LICENSE.bearssl", "share/doc/plugin_websearch/LICENSE.yyjson",
             "share/doc/plugin_websearch/README.md", "share/man/man1/plugin_websearch.1"]
KEYS = {"brave_api_key": "BRAVE_API_KEY", "tavily_api_key": "TAVILY_API_KEY",
        "exa_api_key": "EXA_API_KEY", "perplexity_api_key": "PERPLEXITY_API_KEY"}


def version():
    return subprocess.run([BINARY, "--version"], capture_output=True, text=True,
                          check=True, timeout=RUN_TIMEOUT_S).stdout.strip()


def release_file(pattern):
    """The one release file of this version matching pattern, or None."""
    found = glob.glob(os.path.join(RELEASE_DIR, pattern % {"v": version()}))
    return found[0] if len(found) == 1 else None


def mcp(binary, env, *requests):
    """Runs binary --mcp on the requests with exactly env; the replies by id."""
    data = b"".join(json.dumps(r).encode() + b"\n" for r in requests)
    p = subprocess.run([binary, "--mcp"], input=data, capture_output=True, env=env,
                       timeout=RUN_TIMEOUT_S)
    if p.returncode != 0:
        raise AssertionError("exit %d: %s" % (p.returncode, p.stderr[-2000:]))
    return {d["id"]: d for d in map(json.loads, p.stdout.splitlines())}


def call(i, name, arguments):
    return {"jsonrpc": "2.0", "id": i, "method": "tools/call",
            "params": {"name": name, "arguments": arguments}}


@unittest.skipUnless(BINARY and os.access(BINARY, os.X_OK), "WS_BINARY is not an executable")
class Release(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="ws-release-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def file_or_skip(self, pattern):
        path = release_file(pattern)
        if path is None:
            self.skipTest("release files of version %s are not built in %s (scripts/release.sh)"
                          % (version(), RELEASE_DIR))
        return path

    def bare_env(self, **extra):
        """What a copy on a machine without yyjson gets: no library path, no PATH."""
        env = {"LD_LIBRARY_PATH": "", "HOME": self.dir, "SWEBSEARCH_CONFIG_DIR": self.dir}
        env.update(extra)
        return env

    def assert_runs_alone(self, binary):
        self.assertEqual([n for n in needed_libraries(binary) if not is_c_library(n)], [])
        v = subprocess.run([binary, "--version"], capture_output=True, env=self.bare_env(),
                           timeout=RUN_TIMEOUT_S)
        self.assertEqual(v.stdout, version().encode() + b"\n")
        reply = mcp(binary, self.bare_env(), INITIALIZE)[1]["result"]
        self.assertEqual(reply["serverInfo"], {"name": "websearch-server", "version": version()})

    def test_archive_holds_the_install_tree_and_its_binary_searches_the_mock(self):
        path = self.file_or_skip("plugin_websearch-%(v)s-linux-*.tar.gz")
        top = os.path.basename(path)[: -len(".tar.gz")]
        with tarfile.open(path) as tar:
            files = {m.name: m for m in tar.getmembers() if m.isfile()}
            self.assertEqual(sorted(files), sorted(top + "/" + f for f in ["bin/plugin_websearch"] + DOC_FILES))
            self.assertEqual(files[top + "/bin/plugin_websearch"].mode, 0o755)
            tar.extractall(self.dir)
        binary = os.path.join(self.dir, top, "bin", "plugin_websearch")
        self.assert_runs_alone(binary)
        with MockUpstream() as mock:
            reply = mcp(binary, self.bare_env(WEBSEARCH_MOCK_BASE=mock.base),
                        call(2, "web_search", {"query": "release", "provider": "duckduckgo"}))[2]
            self.assertFalse(reply["result"].get("isError"), reply)
            urls = [r["url"] for r in reply["result"]["structuredContent"]["results"]]
            self.assertEqual(urls[0], "https://example.com/docs/install?lang=en&v=2")
            self.assertEqual(len(mock.requests()), 1)

    def test_debian_package_needs_only_libc_and_root_certificates(self):
        path = self.file_or_skip("plugin-websearch_%(v)s_*.deb")

        def field(name):
            return subprocess.run(["dpkg-deb", "--field", path, name], capture_output=True,
                                  text=True, check=True).stdout.strip()

        self.assertEqual(field("Package"), "plugin-websearch")
        self.assertEqual(field("Version"), version())
        depends = sorted(re.sub(r"\s*\(.*\)", "", d).strip() for d in field("Depends").split(","))
        self.assertEqual(depends, ["ca-certificates", "libc6"])
        listing = subprocess.run(["dpkg-deb", "--contents", path], capture_output=True,
                                 text=True, check=True).stdout
        files = sorted(line.split()[-1] for line in listing.splitlines() if not line.startswith("d"))
        self.assertEqual(files, sorted("./usr/" + f for f in ["bin/plugin_websearch"] + DOC_FILES))
        root = os.path.join(self.dir, "root")
        subprocess.run(["dpkg-deb", "--extract", path, root], check=True)
        self.assert_runs_alone(os.path.join(root, "usr", "bin", "plugin_websearch"))

    def test_bundle_validates_and_passes_the_host_settings_as_environment(self):
        path = self.file_or_skip("plugin_websearch-%(v)s-linux-*.mcpb")
        with zipfile.ZipFile(path) as z:
            modes = {i.filename: (i.external_attr >> 16) & 0o777 for i in z.infolist()}
            z.extractall(self.dir)
        manifest_path = os.path.join(self.dir, "manifest.json")
        with open(manifest_path) as f:
            manifest = json.load(f)
        check = subprocess.run([MCPB, "validate", manifest_path], capture_output=True, text=True,
                               timeout=RUN_TIMEOUT_S)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)

        server = manifest["server"]
        self.assertEqual((server["type"], manifest["version"]), ("binary", version()))
        self.assertEqual(modes[server["entry_point"]], 0o755)
        config = server["mcp_config"]
        self.assertEqual((config["command"], config["args"]),
                         ("${__dirname}/" + server["entry_point"], ["--mcp"]))
        self.assertEqual(manifest["compatibility"]["platforms"], ["linux"])
        self.assertEqual([t["name"] for t in manifest["tools"]], ["web_search", "web_search_providers"])
        wanted = dict(KEYS, searxng_url="SEARXNG_URL")
        self.assertEqual(config["env"], {v: "${user_config.%s}" % k for k, v in wanted.items()})
        for key, option in manifest["user_config"].items():
            with self.subTest(key=key):
                self.assertIn(key, wanted)
                self.assertEqual(option.get("sensitive", False), key in KEYS)
                # Without a default a host may leave the placeholder itself
                # in the variable, which would read as a key.
                self.assertEqual((option["required"], option["default"]), (False, ""))

        # As a host starts it: the placeholders filled from what the user
        # typed, the defaults for the rest.
        typed = {"brave_api_key": "bundle-key-1", "searxng_url": "http://127.0.0.1:9/sx"}
        env = {}
        for name, value in config["env"].items():
            key = value[len("${user_config."):-1]
            env[name] = typed.get(key, manifest["user_config"][key]["default"])
        binary = os.path.join(self.dir, server["entry_point"])
        os.chmod(binary, modes[server["entry_point"]])  # as hosts do: zipfile drops modes
        self.assert_runs_alone(binary)
        doc = mcp(binary, self.bare_env(**env), call(2, "web_search_providers", {}))[2]
        ready = {p["id"]: (p["has_key"], p.get("base")) for p in doc["result"]["structuredContent"]["providers"]}
        self.assertEqual(ready["brave"], (True, None))
        self.assertEqual(ready["tavily"], (False, None))
        self.assertEqual(ready["searxng"], (False, "http://127.0.0.1:9/sx"))
        with MockUpstream() as mock:
            mcp(binary, self.bare_env(WEBSEARCH_MOCK_BASE=mock.base, **env),
                call(3, "web_search", {"query": "bundle", "provider": "brave"}))
            raws = [r["raw"] for r in mock.requests()]
            self.assertEqual(len(raws), 1)
            self.assertIn(b"bundle-key-1", raws[0])

    def test_windows_zip_and_bundle_hold_the_same_console_exe(self):
        archive = self.file_or_skip("plugin_websearch-%(v)s-windows-x86_64.zip")
        bundle = self.file_or_skip("plugin_websearch-%(v)s-windows-x86_64.mcpb")
        top = "plugin_websearch-%s-windows-x86_64/" % version()
        with zipfile.ZipFile(archive) as z:
            self.assertEqual(sorted(z.namelist()),
                             [top] + [top + n for n in ["LICENSE.bearssl", "LICENSE.yyjson", "README.md",
                                                        "plugin_websearch.exe"]])
            exe = z.read(top + "plugin_websearch.exe")
        with zipfile.ZipFile(bundle) as z:
            self.assertEqual(sorted(z.namelist()), ["LICENSE.bearssl", "LICENSE.yyjson", "manifest.json",
                                                    "server/plugin_websearch.exe"])
            self.assertEqual(z.read("server/plugin_websearch.exe"), exe)
            z.extract("manifest.json", self.dir)
        manifest_path = os.path.join(self.dir, "manifest.json")
        check = subprocess.run([MCPB, "validate", manifest_path], capture_output=True, text=True,
                               timeout=RUN_TIMEOUT_S)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        with open(manifest_path) as f:
            manifest = json.load(f)
        server = manifest["server"]
        self.assertEqual((server["entry_point"], server["mcp_config"]["command"], manifest["version"]),
                         ("server/plugin_websearch.exe", "${__dirname}/server/plugin_websearch.exe",
                          version()))
        self.assertEqual(manifest["compatibility"]["platforms"], ["win32"])
        self.assertEqual([t["name"] for t in manifest["tools"]], ["web_search", "web_search_providers"])
        # A PE32+ image for x86-64 of the console subsystem (3), so a host
        # can start it with pipes for its standard streams.
        pe = struct.unpack_from("<I", exe, 0x3C)[0]
        self.assertEqual((exe[:2], exe[pe:pe + 4]), (b"MZ", b"PE\0\0"))
        self.assertEqual(struct.unpack_from("<H", exe, pe + 4)[0], 0x8664)
        self.assertEqual(struct.unpack_from("<HH", exe, pe + 24)[0], 0x20B)
        self.assertEqual(struct.unpack_from("<H", exe, pe + 24 + 68)[0], 3)


if __name__ == "__main__":
    unittest.main()
