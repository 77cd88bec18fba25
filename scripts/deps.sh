#!/usr/bin/env bash
# Makes sure the Debian packages a task needs are installed: `deps.sh build` for building
# kelpa, `deps.sh test` for scripts/test.sh. As root it installs what is missing with
# apt-get; otherwise it prints the one apt-get line to run and fails. Without dpkg (not
# Debian) it checks nothing.
set -euo pipefail

build=(cmake ninja-build g++ musl-tools musl-dev)
test=("${build[@]}" googletest libgtest-dev clang-format clang-tidy clang libclang-rt-14-dev
      gzip tar binutils python3 groff-base time e2fsprogs mount busybox-static)
case "${1:-}" in
  build) wanted=("${build[@]}") ;;
  test) wanted=("${test[@]}") ;;
  *) echo "usage: $0 build|test" >&2; exit 2 ;;
esac

command -v dpkg >/dev/null || exit 0
missing=()
for p in "${wanted[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ "${#missing[@]}" -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages; install them with:" >&2
  echo "  sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
