#!/usr/bin/env bash
# Builds kelpa (Release) and shows its main job on a small sample tree: build a
# self-extracting installer, show its layout, run it in a scratch directory and list it.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -n "${KELPA:-}" ]; then
  kelpa=$KELPA  # an already built kelpa (the documentation tests use this)
else
  scripts/deps.sh build
  cmake --preset release >/dev/null
  cmake --build --preset release -j "$(nproc)" --target kelpa >/dev/null
  kelpa=$PWD/build/src/driver/kelpa
fi

work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
mkdir -p "$work/sample/hello-1.0/bin" "$work/sample/hello-1.0/doc"
printf '#!/bin/sh\necho "hello from the sample package"\n' > "$work/sample/hello-1.0/bin/hello"
chmod +x "$work/sample/hello-1.0/bin/hello"
for i in $(seq 1 200); do echo "line $i of the sample documentation"; done > "$work/sample/hello-1.0/doc/README"
printf '#!/bin/sh\necho "post-install: NAME=$NAME KV_VENDOR=$KV_VENDOR"\n' > "$work/sample/hello-1.0/install.sh"
chmod +x "$work/sample/hello-1.0/install.sh"
(cd "$work/sample" && tar cf "$work/hello-1.0.tar" hello-1.0)

echo "== building hello-1.0.run from a tarball of the sample tree"
"$kelpa" -C "hello 1.0 installer" -O demo -f "tar xf -" -r "sh hello-1.0/install.sh" \
  "$work/hello-1.0.tar" > "$work/hello-1.0.run"
chmod +x "$work/hello-1.0.run"

size=$(stat -c %s "$work/hello-1.0.run")
stub=$(stat -c %s "$kelpa")
marker=$(grep -obUa "kelpa+mag""ik" "$work/hello-1.0.run" | head -1 | cut -d: -f1)
echo "archive: $size bytes"
echo "  stub      bytes 0..$((stub - 1)) (a copy of kelpa, $stub bytes)"
echo "  marker    at byte $marker (11 bytes)"
echo "  preamble  four NUL-terminated strings:"
tail -c +"$((marker + 12))" "$work/hello-1.0.run" | head -c 400 | tr '\0' '\n' | head -4 |
  paste -d' ' <(printf '    features:\n    comment:\n    run:\n    extract:\n') -
tarsize=$(stat -c %s "$work/hello-1.0.tar")
echo "  payload   a gzip member of the $tarsize-byte tarball"

echo "== running the archive in a scratch directory"
mkdir "$work/target"
(cd "$work/target" && "$work/hello-1.0.run")
echo "extracted: $(cd "$work/target" && find . -type f | sort | tr '\n' ' ')"
"$work/target/hello-1.0/bin/hello"

echo "== listing it"
"$work/hello-1.0.run" -l
