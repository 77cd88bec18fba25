#!/usr/bin/env bash
# Runs the end-to-end suite with every run of kelpa (and of the archives it builds) under
# valgrind: memory errors and definite leaks turn into exit status 99, which fails the test
# that ran it. Slower than the plain suite (several minutes), so not part of scripts/test.sh.
# Usage: scripts/valgrind.sh [gtest filter]
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }
cmake --preset valgrind >/dev/null
cmake --build --preset valgrind -j "$jobs"
# The C library frees its environment array at exit only under valgrind (run-libc-freeres);
# the strings export_features hands to putenv would then show as lost although the process
# keeps them until it ends, as it must.
export KELPA_WRAP="valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite --show-leak-kinds=definite --run-libc-freeres=no"
build-vg/tests/e2e_tests --gtest_filter="${1:-*}"
