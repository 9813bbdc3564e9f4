#!/usr/bin/env bash
# libFuzzer runs of the targets in fuzz/ (preset fuzz, clang).
#
#   scripts/fuzz.sh smoke                 the short run ctest does (label fuzz)
#   scripts/fuzz.sh long [-t SECONDS] [--keep] [TARGET...]
#                                         every target (or the ones named) in
#                                         turn, SECONDS each (default 600),
#                                         never two at once
#   scripts/fuzz.sh list                  the target names
#
# The long mode grows a working corpus per target in the build directory,
# seeded from fuzz/corpus/<target>/. With --keep it then merges (libFuzzer
# -merge=1) into fuzz/corpus/<target>/ only those inputs that reach coverage
# the committed seeds do not, so what is committed stays small.
# Crash, leak and time-out inputs land in <build>/fuzz_artifacts/<target>/;
# each one belongs in a unit test before it is fixed. A table of executions
# and findings per target is printed at the end and kept in
# <build>/fuzz_long_summary.txt.
#
# WS_FUZZ_BUILD_DIR picks another build directory (default build/fuzz, the
# preset's), which is configured like the preset when it does not exist yet.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"

build=${WS_FUZZ_BUILD_DIR:-$here/build/fuzz}
mode=${1:-smoke}
[ $# -gt 0 ] && shift

die() { printf 'fuzz: %s\n' "$*" >&2; exit 1; }

configure_and_build() {
  if [ ! -f "$build/CMakeCache.txt" ]; then
    if [ "$build" = "$here/build/fuzz" ]; then
      cmake --preset fuzz >/dev/null || die "configure failed"
    else
      cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DWS_FUZZ=ON >/dev/null ||
        die "configure failed"
    fi
  fi
  cmake --build "$build" -j 2 >&2 || die "build failed"
}

targets_all() {
  for f in "$here"/fuzz/fuzz_*.cpp; do basename "$f" .cpp; done
}

case "$mode" in
  list)
    targets_all
    exit 0
    ;;
  smoke)
    configure_and_build
    exec ctest --test-dir "$build" -L fuzz --output-on-failure -j 1
    ;;
  long) ;;
  *) die "unknown mode '$mode' (smoke, long or list)" ;;
esac

seconds=600
keep=0
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    -t) seconds=${2:?}; shift 2 ;;
    --keep) keep=1; shift ;;
    -*) die "unknown option $1" ;;
    *) targets+=("$1"); shift ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || mapfile -t targets < <(targets_all)

configure_and_build

summary="$build/fuzz_long_summary.txt"
printf '%-26s %8s %14s %10s %8s\n' target seconds executions exec/s findings >"$summary"
status=0
for t in "${targets[@]}"; do
  bin="$build/fuzz/$t"
  [ -x "$bin" ] || die "no fuzz target $t in $build/fuzz"
  seeds="$here/fuzz/corpus/$t"
  work="$build/fuzz_long_corpus/$t"
  artifacts="$build/fuzz_artifacts/$t"
  log="$build/fuzz_long_logs/$t.log"
  mkdir -p "$work" "$artifacts" "$(dirname "$log")"
  args=(-max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1
    -artifact_prefix="$artifacts/" "$work")
  [ -d "$seeds" ] && args+=("$seeds")
  # Artifacts of earlier runs stay for inspection; only newer ones count.
  started="$build/fuzz_long_logs/$t.started"
  touch "$started"
  echo "fuzz: $t for $seconds s (log $log)" >&2
  # -fork would use more cores; one process keeps to one of the two.
  "$bin" "${args[@]}" >"$log" 2>&1
  rc=$?
  runs=$(grep -E '^stat::number_of_executed_units:' "$log" | tail -n 1 | awk '{print $2}')
  rate=$(grep -E '^stat::average_exec_per_sec:' "$log" | tail -n 1 | awk '{print $2}')
  found=$(find "$artifacts" -type f -newer "$started" | wc -l)
  printf '%-26s %8s %14s %10s %8s\n' "$t" "$seconds" "${runs:-?}" "${rate:-?}" "$found" >>"$summary"
  if [ "$rc" -ne 0 ] || [ "$found" -ne 0 ]; then
    status=1
    echo "fuzz: $t found something (exit $rc): see $artifacts and $log" >&2
  fi
  if [ "$keep" -eq 1 ]; then
    # Only inputs that reach coverage the seeds do not are added; the named
    # seeds stay as they are.
    mkdir -p "$seeds"
    "$bin" -merge=1 -rss_limit_mb=2048 -timeout=10 "$seeds" "$work" >>"$log" 2>&1 ||
      echo "fuzz: merging the corpus of $t failed (see $log)" >&2
  fi
done
cat "$summary"
exit $status
