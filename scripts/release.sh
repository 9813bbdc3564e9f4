#!/usr/bin/env bash
# Builds the shipped executable (preset dist, Release) and the release files
# in build/dist:
#   plugin_websearch-<version>-linux-<arch>.tar.gz  bin/, share/doc/, share/man/
#   plugin-websearch_<version>_<debian arch>.deb     needs only libc6 and ca-certificates
#   plugin_websearch-<version>-linux-<arch>.mcpb     MCP bundle: manifest.json and the executable
# and, when the Windows cross build is set up (scripts/setup.sh windows), from
# preset windows-dist:
#   plugin_websearch-<version>-windows-x86_64.zip    the .exe, README.md, licence notices
#   plugin_websearch-<version>-windows-x86_64.mcpb   MCP bundle for platform win32
# each with a .sha256 beside it. Progress goes to standard error; standard
# output lists the files made, one a line.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
out="$here/build/dist"
mcpb="$here/scripts/release/node_modules/.bin/mcpb"

{
  bash scripts/setup.sh release
  cmake --preset dist
  cmake --build --preset dist
  rm -f "$out"/plugin_websearch-*.tar.gz* "$out"/plugin-websearch_*.deb* "$out"/plugin_websearch-*.mcpb* \
    "$out"/plugin_websearch-*.zip*
  cpack --preset dist
} >&2

version=$("$out/plugin_websearch" --version)
name="plugin_websearch-$version-linux-$(uname -m)"

"$out/plugin_websearch" --schema >"$out/schema.json"

# bundle <stage> <name> <platform> <executable>: the manifest, whose tool list
# is the program's own, checked and packed with the staged files into
# $out/<name>.mcpb.
bundle() {
  local stage=$1 name=$2 platform=$3 executable=$4
  node - "$here/scripts/release/manifest.json.in" "$version" "$platform" "$executable" \
    "$out/schema.json" >"$stage/manifest.json" <<'JS'
const fs = require("fs");
const [template, version, platform, executable, schemaFile] = process.argv.slice(2);
const manifest = JSON.parse(fs.readFileSync(template, "utf8")
  .replace("@VERSION@", version).replace("@PLATFORM@", platform)
  .replaceAll("@EXECUTABLE@", executable));
manifest.tools = JSON.parse(fs.readFileSync(schemaFile, "utf8")).tools
  .map(({ name, description }) => ({ name, description }));
process.stdout.write(JSON.stringify(manifest, null, 2) + "\n");
JS
  {
    "$mcpb" validate "$stage/manifest.json"
    "$mcpb" pack "$stage" "$out/$name.mcpb"
  } >&2
  (cd "$out" && sha256sum "$name.mcpb" >"$name.mcpb.sha256")
}

# The bundle: the same stripped executable as the archive and its licence
# notices.
stage="$out/mcpb"
rm -rf "$stage" "$out/mcpb-install"
cmake --install "$out" --prefix "$out/mcpb-install" --strip >&2
mkdir -p "$stage/server"
cp "$out/mcpb-install/bin/plugin_websearch" "$stage/server/"
cp "$out"/mcpb-install/share/doc/plugin_websearch/LICENSE.* "$stage/"
bundle "$stage" "$name" linux plugin_websearch
rm -rf "$out/mcpb-install"

# Windows: the same sources cross-built; a zip for copying anywhere and a
# bundle for hosts on Windows. Skipped, with a note, without the set-up.
win_name="plugin_websearch-$version-windows-x86_64"
if [ -f "$here/build/windows-deps/lib/libbearssl.a" ] && command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  win_out="$here/build/windows-dist"
  win_install="$out/windows-install"
  {
    cmake --preset windows-dist
    cmake --build --preset windows-dist
    rm -rf "$win_install" "$out/$win_name" "$out/mcpb-windows"
    cmake --install "$win_out" --prefix "$win_install" --strip
  } >&2
  mkdir -p "$out/$win_name" "$out/mcpb-windows/server"
  cp "$win_install/bin/plugin_websearch.exe" "$out/$win_name/"
  cp "$win_install"/share/doc/plugin_websearch/{README.md,LICENSE.*} "$out/$win_name/"
  (cd "$out" && cmake -E tar cf "$win_name.zip" --format=zip "$win_name" &&
    sha256sum "$win_name.zip" >"$win_name.zip.sha256")
  cp "$win_install/bin/plugin_websearch.exe" "$out/mcpb-windows/server/"
  cp "$win_install"/share/doc/plugin_websearch/LICENSE.* "$out/mcpb-windows/"
  bundle "$out/mcpb-windows" "$win_name" win32 plugin_websearch.exe
  rm -rf "$win_install" "$out/$win_name"
else
  echo "release: no Windows files (the cross build is not set up: scripts/setup.sh windows)" >&2
fi
rm -f "$out/schema.json"

ls -1 "$out"/plugin_websearch-*.tar.gz "$out"/plugin-websearch_*.deb "$out"/plugin_websearch-*.mcpb
[ ! -f "$out/$win_name.zip" ] || ls -1 "$out/$win_name.zip"
