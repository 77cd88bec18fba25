#!/usr/bin/env bash
# Builds the fully static kelpa and checks what matters for old systems: no dynamic section,
# no marker bytes inside, a raw archive built with it runs its own usage text, and its
# threads compress as one thread does.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
cmake --preset static >/dev/null
cmake --build --preset static -j "$jobs"
bin=build-static/src/driver/kelpa
if readelf -d "$bin" 2>/dev/null | grep -q NEEDED; then
  echo "static kelpa still needs shared libraries:"; readelf -d "$bin"; exit 1
fi
if grep -q "kelpa+mag""ik" "$bin"; then
  echo "static kelpa contains the marker"; exit 1
fi
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
echo "static payload" > "$tmp/payload.txt"
"$bin" -a -C "static check" "$tmp/payload.txt" > "$tmp/a.run"
chmod +x "$tmp/a.run"
set +e
"$tmp/a.run" -h 2> "$tmp/usage"
status=$?
set -e
[ "$status" -eq 1 ] && grep -q "static check" "$tmp/usage" || { echo "static archive did not start"; cat "$tmp/usage"; exit 1; }
# Threads in a static binary: a compressed archive from three threads as from one.
head -c 3000000 "$bin" > "$tmp/input.bin"
cat "$bin" "$bin" "$bin" >> "$tmp/input.bin"
KELPA_THREADS=1 "$bin" "$tmp/input.bin" > "$tmp/one.run"
KELPA_THREADS=3 "$bin" "$tmp/input.bin" > "$tmp/three.run"
cmp -s "$tmp/one.run" "$tmp/three.run" || { echo "static kelpa: three threads wrote another archive"; exit 1; }
echo "static kelpa: $(stat -c %s "$bin") bytes, no shared libraries"
