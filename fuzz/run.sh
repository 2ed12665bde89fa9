#!/usr/bin/env bash
# Runs fuzz targets for a bounded time, two at a time, then replays each
# target's corpus with production semantics (fatal exit, leak checks).
#   fuzz/run.sh BUILD_DIR SECONDS TARGET...
# Findings land in BUILD_DIR/artifacts/<target>/; logs in BUILD_DIR/logs/.
set -uo pipefail
build=$1 seconds=$2
shift 2
export CORVUS_FUZZ_MODELS="$build/models"
mkdir -p "$build/logs"

run_one() {
  local t=$1 build=$2 seconds=$3
  mkdir -p "$build/corpus/$t" "$build/artifacts/$t"
  local start=$(date +%s)
  nice "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=512 \
    -detect_leaks=0 -print_final_stats=1 -artifact_prefix="$build/artifacts/$t/" \
    "$build/corpus/$t" "$build/seeds/$t" >"$build/logs/$t.log" 2>&1
  local rc=$? end=$(date +%s)
  local runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/logs/$t.log" | tail -1)
  echo "$t: ${runs:-?} executions in $((end - start)) s, exit $rc" | tee "$build/logs/$t.summary"
  [ $rc -eq 0 ] || { grep -E "ERROR|SUMMARY|Test unit written" "$build/logs/$t.log" | head -20; return 1; }
}
export -f run_one

status=0
printf '%s\n' "$@" | xargs -P 2 -I{} bash -c 'run_one "$@"' _ {} "$build" "$seconds" || status=1

for t in "$@"; do
  echo "replay $t:"
  nice "$build/fuzz/replay_$t" "$build/corpus/$t" "$build/seeds/$t" || status=1
done
[ $status -eq 0 ] && echo "fuzzing: nothing found" || echo "fuzzing: FOUND PROBLEMS (see above)"
exit $status
