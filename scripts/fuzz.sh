#!/usr/bin/env bash
# Fuzzes for a long time: each target in turn (all of them by default), at
# the lowest priority, until it has run --runs inputs or --seconds have
# passed. Inputs that add coverage collect in build-san/fuzz-found/<target>
# (the smoke runs of scripts/test.sh start from them too); a crash, leak or
# broken invariant stops that target and leaves the input as
# build-san/fuzz-<target>-crash-*. Not a test: it exits 1 on a finding.
#
#   scripts/fuzz.sh [--seconds N] [--runs N] [request|json|base64|keystore ...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=3600
runs=10000000
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --runs) runs="$2"; shift 2 ;;
    -*) echo "usage: $0 [--seconds N] [--runs N] [target ...]" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || targets=(request json base64 keystore)

[ -x build-san/bin/fuzz_request ] || scripts/sanitized-tree.sh >/dev/null

status=0
for target in "${targets[@]}"; do
  found=build-san/fuzz-found/$target
  log=build-san/fuzz-$target.log
  mkdir -p "$found"
  echo "fuzz_$target: up to $runs inputs or $seconds s (log: $log)"
  ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    nice -n 19 build-san/bin/fuzz_"$target" -runs="$runs" -max_total_time="$seconds" \
    -timeout=20 -print_final_stats=1 -artifact_prefix="$PWD/build-san/fuzz-$target-" \
    "$found" "tests/fuzz/corpus/$target" >"$log" 2>&1 || status=1
  grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)|ERROR|invariant' \
    "$log" | sed 's/^/  /'
  echo "  corpus: $(find "$found" -type f | wc -l) found + $(find "tests/fuzz/corpus/$target" -type f | wc -l) seeds"
done
exit $status
