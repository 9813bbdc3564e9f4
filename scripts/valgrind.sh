#!/usr/bin/env bash
# The integration suites with every run of the program under valgrind's
# memcheck: invalid reads and writes, uses of uninitialised memory, leaks
# and descriptors left open at exit fail the run.
#
#   scripts/valgrind.sh [full]   every Python integration suite and the
#                                GoogleTest integration binary (long)
#   scripts/valgrind.sh quick    a few seconds' worth: the cases CI runs
#
# The program is the plain build (valgrind and the sanitizers do not mix):
# build/valgrind (Debug) unless WS_VALGRIND_BUILD_DIR names another one that
# holds plugin_websearch (CI reuses build/default). Each process writes its
# own log into <build>/valgrind-logs/; every log with an error is printed and
# the script exits non-zero.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
mode=${1:-full}
build=${WS_VALGRIND_BUILD_DIR:-$here/build/valgrind}
valgrind=$(command -v valgrind) || { echo "valgrind: not installed (scripts/setup.sh)" >&2; exit 1; }

if [ ! -x "$build/plugin_websearch" ] || [ "$mode" = full ]; then
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >&2 || exit 1
  fi
  targets=(plugin_websearch)
  [ "$mode" = full ] && targets+=(integration_tests)
  cmake --build "$build" -j 2 --target "${targets[@]}" >&2 || exit 1
fi

logs="$build/valgrind-logs"
rm -rf "$logs"
mkdir -p "$logs"
wrapper="$build/plugin_websearch.valgrind"
# lighttpd hands a CGI program almost no environment, so every path here is
# absolute.
cat >"$wrapper" <<EOF
#!/bin/sh
exec "$valgrind" --quiet --error-exitcode=97 --leak-check=full \\
  --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \\
  --track-fds=yes --log-file="$logs/vg.%p.log" "$build/plugin_websearch" "\$@"
EOF
chmod +x "$wrapper"

export WS_BINARY="$wrapper" WS_SOURCE_DIR="$here" WS_BUILD_DIR="$build"
export PYTHONPATH="$here/tests/support" PYTHONDONTWRITEBYTECODE=1
# The soak's 100000 lines would take minutes under valgrind; fewer show the
# same. Bounds on durations in the suites stretch by WS_TIME_SCALE.
export WS_SOAK_LINES=${WS_SOAK_LINES:-5000} WS_TIME_SCALE=${WS_TIME_SCALE:-10}
status=0

run_py() {
  echo "=== valgrind: python3 -m unittest $*" >&2
  (cd "$here/tests/integration" && python3 -m unittest "$@") || status=1
}

case "$mode" in
  quick)
    run_py test_mcp_binary.McpBinary.test_search_on_each_backend \
      test_mcp_binary.McpBinary.test_replies_come_in_request_order \
      test_mcp_binary.McpParallel.test_cancel_of_a_running_and_a_waiting_search \
      test_fault_tolerance.HostileUpstreams.test_invalid_utf8_in_a_scraped_page_reaches_the_client_replaced \
      test_cgi.Save.test_values_are_stored_and_answered 2>&1
    ;;
  full)
    for f in "$here"/tests/integration/test_*.py; do
      run_py "$(basename "$f" .py)"
    done
    # One process per case: the SDK keeps process-wide state (anchors,
    # pins) that the cases expect to find fresh, and valgrind's pace would
    # otherwise let one case's leftovers meet the next.
    echo "=== valgrind: integration_tests, one case per process" >&2
    cases=$("$build/tests/integration_tests" --gtest_list_tests |
      awk '/^[^ ]/ { suite = $1 } /^  / { print suite $1 }')
    for c in $cases; do
      "$valgrind" --quiet --error-exitcode=97 --leak-check=full \
        --errors-for-leak-kinds=definite,indirect --log-file="$logs/gtest.%p.log" \
        "$build/tests/integration_tests" --gtest_filter="$c" --gtest_brief=1 >"$logs/case.out" 2>&1 ||
        { echo "valgrind: $c failed" >&2; cat "$logs/case.out" >&2; status=1; }
    done
    rm -f "$logs/case.out"
    ;;
  *)
    echo "valgrind: unknown mode '$mode' (quick or full)" >&2
    exit 2
    ;;
esac

# A log that is not empty holds an error report (--quiet keeps clean runs silent).
bad=0
for log in "$logs"/*.log; do
  [ -s "$log" ] || continue
  # Descriptors inherited from the test runner are not the program's doing.
  if grep -qE 'Invalid|uninitialised|definitely lost|indirectly lost|Mismatched|overlap|ERROR SUMMARY: [1-9]' "$log" ||
     grep -A3 'Open file descriptor' "$log" | grep -q 'plugin_websearch\|ws_\|tq_'; then
    echo "=== valgrind: $log" >&2
    cat "$log" >&2
    bad=1
  fi
done
[ "$bad" -eq 0 ] || status=1
n=$(find "$logs" -name '*.log' | wc -l)
if [ "$status" -eq 0 ]; then
  echo "valgrind: 1 passed, 0 failed ($n processes checked, mode $mode)"
else
  echo "valgrind: 0 passed, 1 failed ($n processes checked, mode $mode)"
fi
exit $status
