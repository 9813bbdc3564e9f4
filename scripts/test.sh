#!/usr/bin/env bash
# Installs what is missing, builds every preset the suite needs and runs it:
#   1. unit and integration tests under ASan + UBSan (preset asan),
#   2. a short libFuzzer smoke run of every fuzz target (preset fuzz),
#   3. the tests that run threads under ThreadSanitizer (preset tsan, which
#      builds only the binary and the integration tests),
#   4. the release files (scripts/release.sh, presets dist and windows-dist),
#      which the suite checks,
#   5. the whole suite, e2e included (preset default),
#   6. a few integration cases under valgrind (scripts/valgrind.sh quick),
#   7. the Windows build's tests under Wine (preset windows).
# Prints each runner's summary and a total line; exits non-zero on any failure.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"

bash scripts/setup.sh windows || { echo "test: set-up failed" >&2; exit 1; }

jobs=${WS_TEST_JOBS:-2}
passed=0
failed=0
status=0

# run_suite <preset> [ctest arguments...]
run_suite() {
  local preset=$1; shift
  echo "=== preset $preset: configure and build"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset"; then
    echo "test: build of preset $preset failed" >&2
    status=1
    failed=$((failed + 1))
    return
  fi
  echo "=== preset $preset: ctest $*"
  local log
  log=$(mktemp)
  ctest --preset "$preset" -j "$jobs" "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    local f t
    f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    t=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
    passed=$((passed + t - f))
    failed=$((failed + f))
  elif [ "$rc" -ne 0 ]; then
    failed=$((failed + 1))
  fi
  rm -f "$log"
  [ "$rc" -eq 0 ] || status=1
}

ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  run_suite asan -L 'unit|integration'
run_suite fuzz -L fuzz
TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
  run_suite tsan

echo "=== release files: scripts/release.sh"
if ! bash scripts/release.sh >/dev/null; then
  echo "test: scripts/release.sh failed" >&2
  status=1
  failed=$((failed + 1))
fi
run_suite default

# A few integration cases with the default build's binary under valgrind's
# memcheck (the whole set: scripts/valgrind.sh full).
echo "=== valgrind: quick subset"
if WS_VALGRIND_BUILD_DIR="$here/build/default" bash scripts/valgrind.sh quick; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  status=1
fi

# The Windows .exe and its unit tests, cross-built and run under Wine; the
# Wine server the run started is stopped afterwards.
run_suite windows
WINEPREFIX="$here/build/windows/wineprefix" wineserver -k >/dev/null 2>&1 || true

echo
echo "total: $passed passed, $failed failed"
exit $status
