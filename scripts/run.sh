#!/usr/bin/env bash
# Installs what is missing, builds plugin_websearch (default preset) and runs
# it with the given arguments, for example --mcp or --help.
# Set-up and build output go to standard error, so standard output carries
# nothing but the program's own answer (an MCP client may be reading it).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
{
  bash scripts/setup.sh
  cmake --preset default
  cmake --build --preset default --target plugin_websearch
} >&2
exec "$here/build/default/plugin_websearch" "$@"
