#!/usr/bin/env bash
# Makes sure the Debian packages a task needs are installed: `deps.sh build` for building
# kelpa, `deps.sh test` for scripts/test.sh, `deps.sh aarch64` for the cross build and its
# checks under emulation (scripts/aarch64-check.sh), `deps.sh bench` for scripts/bench.sh. As root it installs what is missing
# with apt-get (adding the arm64 architecture for musl-dev:arm64); otherwise it prints the
# apt-get line to run and fails. Without dpkg (not Debian) it checks nothing.
set -euo pipefail

build=(cmake ninja-build g++ musl-tools musl-dev)
test=("${build[@]}" googletest libgtest-dev clang-format clang-tidy clang libclang-rt-14-dev
      gzip tar binutils python3 groff-base time e2fsprogs mount busybox-static)
aarch64=("${build[@]}" g++-aarch64-linux-gnu qemu-user-static musl-dev:arm64 libgtest-dev:arm64 gzip python3)
bench=("${build[@]}" libbenchmark-dev gzip tar python3 time isal libdeflate-tools)
case "${1:-}" in
  build) wanted=("${build[@]}") ;;
  test) wanted=("${test[@]}") ;;
  aarch64) wanted=("${aarch64[@]}") ;;
  bench) wanted=("${bench[@]}") ;;
  *) echo "usage: $0 build|test|aarch64|bench" >&2; exit 2 ;;
esac

command -v dpkg >/dev/null || exit 0
# Installed: a package named with its architecture, or else one of this machine's
# architecture or of all (musl-dev may also be there for arm64).
native=$(dpkg --print-architecture)
installed() {
  dpkg-query -W -f='${db:Status-Abbrev} ${Architecture}\n' "$1" 2>/dev/null |
    if [[ "$1" == *:* ]]; then grep -q '^ii'; else grep -Eq "^ii +($native|all)$"; fi
}
missing=()
for p in "${wanted[@]}"; do
  installed "$p" || missing+=("$p")
done
[ "${#missing[@]}" -eq 0 ] && exit 0
foreign=
if [[ " ${missing[*]}" == *:arm64* ]] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  foreign=arm64
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages; install them with:" >&2
  [ -z "$foreign" ] || echo "  sudo dpkg --add-architecture arm64 && sudo apt-get update" >&2
  echo "  sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
[ -z "$foreign" ] || dpkg --add-architecture "$foreign"
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
