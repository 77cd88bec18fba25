#!/usr/bin/env bash
# Checks every C++ file of the tree with clang-format (.clang-format). Prints the first
# differences clang-format reports and fails if there is any; `clang-format -i` on the
# files named fixes them.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if ! out=$(clang-format --dry-run --Werror "${files[@]}" 2>&1); then
  head -n 40 <<<"$out"
  echo "clang-format would change the files above"
  exit 1
fi
echo "${#files[@]} C++ files formatted"
