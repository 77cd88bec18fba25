#!/usr/bin/env bash
# Builds the benchmarks (the bench preset: Release, in build-bench) and runs them: the
# Google Benchmark engine benchmarks (CRC-32, DEFLATE decoder and encoder against the gzip
# command) and the end-to-end comparison of the kelpa binary with the gzip command
# (bench/e2e_bench.py: MB/s, CPU seconds, ratio, peak memory, identical streams).
#   scripts/bench.sh                 everything
#   scripts/bench.sh e2e [args...]   only the end-to-end table; args go to e2e_bench.py
#                                    (e.g. --repeat 5 --memory 1024)
# Needs Google Benchmark (Debian: libbenchmark-dev), gzip, tar, python3 and /usr/bin/time,
# and igzip (isal) and libdeflate-gunzip (libdeflate-tools), the decoders kelpa -x is set
# against: `scripts/deps.sh bench` installs them all. A missing decoder's column is left out.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$jobs" >/dev/null

for c in igzip libdeflate-gunzip; do
    command -v "$c" >/dev/null || echo "== $c is not installed (scripts/deps.sh bench): its column is left out"
done

echo "== machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores"
if [[ "${1:-}" != e2e ]]; then
    for b in crc32_bench inflate_bench deflate_bench; do
        echo "== $b"
        build-bench/bench/$b --benchmark_min_time=0.5
    done
else
    shift
fi
echo "== end to end: kelpa against the gzip command (CPU seconds, best of the runs)"
python3 bench/e2e_bench.py --kelpa build-bench/src/driver/kelpa --corpus build-bench/bench-corpus "$@"
