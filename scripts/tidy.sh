#!/usr/bin/env bash
# Runs clang-tidy (.clang-tidy: bugprone and readability checks that find real faults) over
# the product code, with the release preset's compile commands. Any finding fails.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/compile_commands.json ] || cmake --preset release >/dev/null
# Each product file is compiled twice there, against the host's C library and against musl
# (the shipped kelpa); the musl commands use g++'s own intrinsics headers, which clang cannot
# read, so clang-tidy gets the host's commands only.
db=build/tidy
mkdir -p "$db"
python3 - build/compile_commands.json "$db/compile_commands.json" <<'PY'
import json, sys
commands = json.load(open(sys.argv[1]))
json.dump([c for c in commands if "_musl.dir/" not in c["command"]], open(sys.argv[2], "w"))
PY
files=(src/*/*.cpp)
printf '%s\n' "${files[@]}" | xargs -P "${JOBS:-$(nproc)}" -n 4 clang-tidy -p "$db" --quiet
echo "${#files[@]} source files clean"
