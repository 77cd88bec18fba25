#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 60) on a copy of
# its seed corpus in fuzz/corpus/<target>. A finding stops the run with the crashing input
# saved under build-fuzz/findings/. Usage: scripts/fuzz.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELPA_FUZZ=ON >/dev/null
cmake --build build-fuzz -j"$(nproc)"
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
  for f in fuzz/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
mkdir -p build-fuzz/findings
for t in "${targets[@]}"; do
  work=$(mktemp -d)
  if [ -d "fuzz/corpus/$t" ]; then cp -r "fuzz/corpus/$t/." "$work/"; fi
  echo "== $t for ${seconds}s"
  (cd build-fuzz/findings && "../fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -max_len=70000 -print_final_stats=1 "$work" 2>&1 | grep -E 'stat::number_of_executed_units|ERROR|SUMMARY|Done' )
  rm -rf "$work"
done
