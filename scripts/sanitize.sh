#!/usr/bin/env bash
# Reruns every unit and end-to-end test with AddressSanitizer and UndefinedBehaviorSanitizer
# (the kelpa binary under test is instrumented too).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
cmake -S . -B build-san -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELPA_SANITIZE=ON >/dev/null
cmake --build build-san -j"$jobs"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir build-san --output-on-failure -j"$jobs"
