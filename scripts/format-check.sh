#!/usr/bin/env bash
# Checks with clang-format (.clang-format) the C++ lines changed since the commit named in
# .ci/format-base, so code written from then on keeps the format while older lines are
# reformatted only when they are touched. Prints what clang-format would change and fails.
set -euo pipefail
cd "$(dirname "$0")/.."
base=$(cat .ci/format-base)
if ! git rev-parse -q --verify "$base^{commit}" >/dev/null; then
  echo "format base $base is not in this clone; nothing checked"
  exit 0
fi
files=$(git diff --name-only --diff-filter=AM "$base" -- '*.cpp' '*.h' | wc -l)
diff=$(git clang-format --quiet --diff "$base" -- '*.cpp' '*.h' || true)
if [ -n "$diff" ] && ! grep -q "^no modified files to format\|did not modify any files" <<<"$diff"; then
  echo "$diff"
  echo "clang-format would change the lines above (git clang-format $base)"
  exit 1
fi
echo "$files changed C++ files formatted"
