#!/usr/bin/env bash
# Reruns every unit and end-to-end test with AddressSanitizer and UndefinedBehaviorSanitizer
# (the kelpa binary under test is instrumented too): the sanitize preset.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j "$jobs"
ctest --preset sanitize -j "$((jobs * 2))"
