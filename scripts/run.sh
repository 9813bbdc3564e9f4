#!/usr/bin/env bash
# Installs what building needs (nothing of the test tools), builds the
# executable that is shipped (preset dist) and runs it with the given
# arguments, for example --mcp or --help.
# Set-up and build output go to standard error, so standard output carries
# nothing but the program's own answer (an MCP client may be reading it).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
{
  bash scripts/setup.sh run
  cmake --preset dist
  cmake --build --preset dist --target plugin_websearch
} >&2
exec "$here/build/dist/plugin_websearch" "$@"
