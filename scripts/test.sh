#!/usr/bin/env bash
# Builds kelpa and passes every test: the Release build with all unit and end-to-end tests,
# the same tests again under AddressSanitizer and UndefinedBehaviorSanitizer, the fully
# static build's own checks, and every fuzz target for 60 seconds on its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}

echo "== Release build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== Sanitizer build (ASan + UBSan) and tests"
scripts/sanitize.sh

echo "== Fully static build"
scripts/static-check.sh
echo "== Fuzz targets (ASan + UBSan), 60 s each on the seed corpora"
JOBS=$jobs scripts/fuzz.sh 60

echo "all tests passed"
