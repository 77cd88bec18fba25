#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset: clang, ASan + UBSan) and runs each for
# SECONDS (default 60) on a copy of its seed corpus in fuzz/corpus/<target>, JOBS targets at
# a time (default: the number of cores); with RUNS set, a target also stops after that many
# executions. Fails if any target finds something; the input is kept under
# build-fuzz/findings/ and the report is in build-fuzz/logs/<target>.log.
# Usage: [RUNS=n] [JOBS=n] scripts/fuzz.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
jobs=${JOBS:-$(nproc)}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs" >/dev/null
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
  for f in fuzz/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
mkdir -p build-fuzz/findings build-fuzz/logs
runs_opt=()
if [ -n "${RUNS:-}" ]; then runs_opt=(-runs="$RUNS"); fi

# Runs one target; prints its line and returns libFuzzer's status (non-zero on a crash,
# leak, timeout or sanitizer report). The target's own messages for damaged input go to the
# log with libFuzzer's report.
fuzz_one() {
  local t=$1 work log start status=0 execs
  work=$(mktemp -d)
  if [ -d "fuzz/corpus/$t" ]; then cp -r "fuzz/corpus/$t/." "$work/"; fi
  log=build-fuzz/logs/$t.log
  start=$(date +%s)
  "build-fuzz/fuzz/$t" -max_total_time="$seconds" "${runs_opt[@]}" -timeout=10 \
      -rss_limit_mb=2048 -max_len=70000 -print_final_stats=1 \
      -artifact_prefix="build-fuzz/findings/$t-" "$work" >"$log" 2>&1 || status=$?
  rm -rf "$work"
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  echo "== $t: $execs executions in $(( $(date +%s) - start ))s, status $status"
  if [ "$status" -ne 0 ]; then
    grep -E 'ERROR|SUMMARY|Test unit written|^ *#[0-9]+ ' "$log" | head -30 || true
  fi
  return "$status"
}

failed=0
pids=()
for t in "${targets[@]}"; do
  if [ "${#pids[@]}" -ge "$jobs" ]; then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
  fuzz_one "$t" &
  pids+=($!)
done
for p in "${pids[@]}"; do wait "$p" || failed=1; done
exit "$failed"
