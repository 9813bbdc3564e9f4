#!/usr/bin/env bash
# Builds the shipped executable (preset dist, Release) and the release files
# in build/dist:
#   plugin_websearch-<version>-linux-<arch>.tar.gz  bin/, share/doc/, share/man/
#   plugin-websearch_<version>_<debian arch>.deb     needs only libc6 and ca-certificates
#   plugin_websearch-<version>-linux-<arch>.mcpb     MCP bundle: manifest.json and the executable
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
  rm -f "$out"/plugin_websearch-*.tar.gz* "$out"/plugin-websearch_*.deb* "$out"/plugin_websearch-*.mcpb*
  cpack --preset dist
} >&2

version=$("$out/plugin_websearch" --version)
name="plugin_websearch-$version-linux-$(uname -m)"

# The bundle: the same stripped executable as the archive, its licence
# notices, and a manifest whose tool list is the program's own.
stage="$out/mcpb"
rm -rf "$stage" "$out/mcpb-install"
cmake --install "$out" --prefix "$out/mcpb-install" --strip >&2
mkdir -p "$stage/server"
cp "$out/mcpb-install/bin/plugin_websearch" "$stage/server/"
cp "$out"/mcpb-install/share/doc/plugin_websearch/LICENSE.* "$stage/"
"$out/plugin_websearch" --schema >"$out/schema.json"
node - "$here/scripts/release/manifest.json.in" "$version" linux "$out/schema.json" >"$stage/manifest.json" <<'JS'
const fs = require("fs");
const [template, version, platform, schemaFile] = process.argv.slice(2);
const manifest = JSON.parse(fs.readFileSync(template, "utf8")
  .replace("@VERSION@", version).replace("@PLATFORM@", platform));
manifest.tools = JSON.parse(fs.readFileSync(schemaFile, "utf8")).tools
  .map(({ name, description }) => ({ name, description }));
process.stdout.write(JSON.stringify(manifest, null, 2) + "\n");
JS
{
  "$mcpb" validate "$stage/manifest.json"
  "$mcpb" pack "$stage" "$out/$name.mcpb"
} >&2
(cd "$out" && sha256sum "$name.mcpb" >"$name.mcpb.sha256")
rm -rf "$out/mcpb-install" "$out/schema.json"

ls -1 "$out"/plugin_websearch-*.tar.gz "$out"/plugin-websearch_*.deb "$out"/plugin_websearch-*.mcpb
