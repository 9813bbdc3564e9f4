#!/usr/bin/env bash
# Builds the Release binary and the benchmark tools (preset release) and
# prints one table of figures measured side by side in this run: start-up
# against a trivial C program, searches and TLS against curl on the same
# loopback server, memory of a long session, and the hot paths.
#
#   bench/run.sh [--runs N] [--searches N] [--python-mock] [--min-time S]
#                [--delay-ms MS] [--simultaneous-only]
#
# WS_BENCH_BUILD_DIR picks another build directory (default build/release).
# Figures are ratios: they mean something on a busy machine too, but a quiet
# one gives steadier ones. Nothing here runs in the test suite.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
build=${WS_BENCH_BUILD_DIR:-$here/build/release}
{
  if [ ! -f "$build/CMakeCache.txt" ]; then
    if [ "$build" = "$here/build/release" ]; then
      cmake --preset release
    else
      cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DWS_BENCH=ON -DWS_TESTS=OFF
    fi
  fi
  cmake --build "$build" -j 2 --target plugin_websearch bench_hot_paths bench_server bench_spawn bench_trivial
} >&2
command -v curl >/dev/null || { echo "bench: curl is missing (run scripts/setup.sh)" >&2; exit 1; }
exec python3 "$here/bench/measure.py" --build "$build" "$@"
