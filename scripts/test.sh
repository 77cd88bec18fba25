#!/usr/bin/env bash
# Builds kelpa and passes every test, one phase at a time: the Release build (the static
# kelpa) with the unit, end-to-end and documentation tests; the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer; the parallel encoder's tests under
# ThreadSanitizer; every fuzz target for
# FUZZ_SECONDS (default 15) on its seed corpus; clang-tidy on the product code; clang-format
# on every C++ file. Each phase prints one line with its time and
# test count; build and test output goes to build-logs/, and only a failing phase shows its
# log.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
jobs=${JOBS:-$(nproc)}
# The end-to-end tests mostly wait (each extraction pauses 2 seconds before closing its
# pipe), so twice as many run at once as there are cores.
test_jobs=${TEST_JOBS:-$((jobs * 2))}
logs=build-logs
mkdir -p "$logs"
t0=$(date +%s)

elapsed() { local s=$(($(date +%s) - $1)); printf '%dm%02ds' $((s / 60)) $((s % 60)); }

# run_logged LOG COMMAND...: runs the command with its output in LOG; on failure shows the
# end of the log and stops.
run_logged() {
    local log=$1
    shift
    if ! "$@" >"$log" 2>&1; then
        echo "FAILED: $*  (log: $log)"
        tail -n 60 "$log"
        exit 1
    fi
}

# Builds of later phases run at the lowest priority while the tests of an earlier one run,
# on the cores that those tests leave idle while they wait on their commands.
declare -A prebuilt
prebuild() {
    (cmake --preset "$1" && nice -n 19 cmake --build --preset "$1" -j "$jobs") \
        >"$logs/$1-build.log" 2>&1 &
    prebuilt[$1]=$!
}
# Waits for the build prebuild started for PRESET; on failure shows its log and stops.
wait_prebuilt() {
    if ! wait "${prebuilt[$1]}"; then
        echo "FAILED: the $1 preset's build  (log: $logs/$1-build.log)"
        tail -n 60 "$logs/$1-build.log"
        exit 1
    fi
}

# build_and_test PRESET [NEXT]: builds the preset (or waits for its prebuild), starts the
# build of preset NEXT in the background if given, runs the preset's tests, prints the line.
build_and_test() {
    local preset=$1 t junit
    t=$(date +%s)
    if [ -n "${prebuilt[$preset]:-}" ]; then
        wait_prebuilt "$preset"
    else
        run_logged "$logs/$preset-configure.log" cmake --preset "$preset"
        run_logged "$logs/$preset-build.log" cmake --build --preset "$preset" -j "$jobs"
    fi
    local built
    built=$(elapsed "$t")
    if [ -n "${2:-}" ]; then prebuild "$2"; fi
    t=$(date +%s)
    junit=$PWD/$logs/$preset-tests.xml
    run_logged "$logs/$preset-tests.log" ctest --preset "$preset" -j "$test_jobs" \
        --output-junit "$junit"
    local summary
    summary=$(python3 scripts/junit_summary.py "$junit")
    echo "== $preset: built in $built; $(head -n 1 <<<"$summary") in $(elapsed "$t")"
    tail -n +2 <<<"$summary"
}

build_and_test release fuzz
build_and_test sanitize tsan
build_and_test tsan

t=$(date +%s)
wait_prebuilt fuzz
run_logged "$logs/fuzz.log" env JOBS="$jobs" scripts/fuzz.sh "${FUZZ_SECONDS:-15}"
echo "== fuzz: $(grep -c '^== ' "$logs/fuzz.log") targets for ${FUZZ_SECONDS:-15} s each, no finding, in $(elapsed "$t")"

t=$(date +%s)
run_logged "$logs/tidy.log" env JOBS="$jobs" scripts/tidy.sh
echo "== tidy: $(tail -n 1 "$logs/tidy.log") in $(elapsed "$t")"

t=$(date +%s)
run_logged "$logs/format.log" scripts/format-check.sh
echo "== format: $(tail -n 1 "$logs/format.log") in $(elapsed "$t")"

echo "all tests passed in $(elapsed "$t0")"
