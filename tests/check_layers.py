#!/usr/bin/env python3
"""Checks that every source file includes headers of its own layer and the layers below only,
in the product (src/<layer>) and in the tests (tests/<layer>, whose executable links that
layer's library alone), and that each test executable links its own layer's library.
Usage: check_layers.py <source dir>. Prints each violation; exit status 1 if there is any."""
import pathlib
import re
import sys

# What each folder may include, by the folder part of the include path. The decoder and the
# encoder are siblings: neither includes the other. common holds helpers for every layer; e2e
# tests link the driver layer.
BELOW = {"common": set(), "support": {"common"}, "sig": {"support"}, "stream": {"support"},
         "inflate": {"stream"}, "deflate": {"stream"}, "gzip": {"inflate", "deflate"},
         "driver": {"gzip", "sig"}, "e2e": {"driver"}}
LIBRARY = {layer: f"kelpa_{layer}" for layer in BELOW} | {"e2e": "kelpa_driver"}


def allowed(layer):
    seen = {layer}
    for lower in BELOW[layer]:
        seen |= allowed(lower)
    return seen


def main(root):
    root = pathlib.Path(root)
    bad = []
    for top in ("src", "tests"):
        for path in sorted((root / top).glob("*/*")):
            layer = path.parent.name
            if layer not in BELOW or path.suffix not in (".h", ".cpp"):
                continue
            for n, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
                m = re.match(r'\s*#\s*include\s+"([^/"]+)/', line)
                if m and m.group(1) not in allowed(layer):
                    bad.append(f"{path.relative_to(root)}:{n}: {layer} includes {m.group(1)}")
    cmake = re.sub(r"#.*", "", (root / "tests/CMakeLists.txt").read_text())
    for layer, args in re.findall(r"kelpa_layer_tests\((\w+)\s+([^)]*)\)", cmake):
        libs = re.search(r"LIBS\s+([\w\s]*?)(?:\s+SOURCES|$)", args).group(1).split()
        if libs != [LIBRARY[layer]]:
            bad.append(f"tests/CMakeLists.txt: {layer}_tests links {' '.join(libs)}")
        for up in re.findall(r"\.\./(\w+)/", args):
            if up not in allowed(layer):
                bad.append(f"tests/CMakeLists.txt: {layer}_tests compiles a source of {up}")
    print("\n".join(bad))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
