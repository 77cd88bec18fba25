#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 60) on a copy of
# its seed corpus in fuzz/corpus/<target>; with RUNS set, a target also stops after that many
# executions. Fails on the first finding, whose input is kept under build-fuzz/findings/ and
# whose report is in build-fuzz/logs/<target>.log.
# Usage: [RUNS=n] scripts/fuzz.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELPA_FUZZ=ON >/dev/null
cmake --build build-fuzz -j"${JOBS:-$(nproc)}" >/dev/null
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
  for f in fuzz/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
mkdir -p build-fuzz/findings build-fuzz/logs
runs_opt=()
if [ -n "${RUNS:-}" ]; then runs_opt=(-runs="$RUNS"); fi
failed=0
for t in "${targets[@]}"; do
  work=$(mktemp -d)
  if [ -d "fuzz/corpus/$t" ]; then cp -r "fuzz/corpus/$t/." "$work/"; fi
  log=build-fuzz/logs/$t.log
  start=$(date +%s)
  status=0
  # The targets' own messages for damaged input go to the log with libFuzzer's report; the
  # status is libFuzzer's (non-zero on a crash, leak, timeout or sanitizer report).
  "build-fuzz/fuzz/$t" -max_total_time="$seconds" "${runs_opt[@]}" -timeout=10 \
      -rss_limit_mb=2048 -max_len=70000 -print_final_stats=1 \
      -artifact_prefix="build-fuzz/findings/$t-" "$work" >"$log" 2>&1 || status=$?
  rm -rf "$work"
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  echo "== $t: $execs executions in $(( $(date +%s) - start ))s, status $status"
  if [ "$status" -ne 0 ]; then
    grep -E 'ERROR|SUMMARY|Test unit written|^ *#[0-9]+ ' "$log" | head -30 || true
    failed=1
  fi
done
exit "$failed"
