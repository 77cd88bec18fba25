#!/usr/bin/env python3
"""End-to-end benchmark: kelpa against the gzip command on the same data, side by side.

For each corpus file it times, in CPU seconds (user + system, children included):
  build:   kelpa FILE > a.run                 vs  gzip -9 -n -c FILE > f.gz
  extract: kelpa -u -x a.run > /dev/null      vs  gzip -d -c f.gz > /dev/null
and reports MB/s (input size for compression, output size for decompression), the
compression ratio, peak resident memory, and whether kelpa's DEFLATE data is byte-identical
to gzip -9's. CPU time is used so the extractor's fixed pause before closing its pipe does
not count. The corpus is made once from files on this machine (see make_corpus).

Usage: bench/e2e_bench.py [--kelpa build/src/driver/kelpa] [--corpus DIR] [--repeat N]
"""
import argparse
import glob
import gzip as gzipmod
import os
import random
import subprocess
import sys
import tarfile

MB = 1 << 20


def make_corpus(d):
    os.makedirs(d, exist_ok=True)
    files = {}

    def add(name, producer):
        path = os.path.join(d, name)
        if not os.path.exists(path):
            producer(path)
        files[name] = path

    def elf(path):
        for cand in ["/usr/lib/gcc/x86_64-linux-gnu/12/cc1", "/usr/bin/cmake"]:
            if os.path.exists(cand):
                with open(cand, "rb") as src, open(path, "wb") as dst:
                    dst.write(src.read())
                return
        raise SystemExit("no large ELF binary found")

    def headers(path):
        # A tarball of headers, capped so one run stays in seconds.
        with tarfile.open(path + ".tmp", "w") as t:
            t.add("/usr/include", arcname="include")
        with open(path + ".tmp", "rb") as src, open(path, "wb") as dst:
            dst.write(src.read(48 * MB))
        os.unlink(path + ".tmp")

    def text(path):
        out = bytearray()
        for f in sorted(glob.glob("/usr/share/man/man*/*.gz")):
            try:
                out += gzipmod.open(f).read()
            except OSError:
                continue
            if len(out) >= 24 * MB:
                break
        for f in sorted(glob.glob("/usr/share/common-licenses/*")):
            if os.path.isfile(f):
                out += open(f, "rb").read()
        with open(path, "wb") as dst:
            dst.write(out)

    def rnd(path):
        with open(path, "wb") as dst:
            dst.write(random.Random(1).randbytes(16 * MB))

    def zeros(path):
        with open(path, "wb") as dst:
            dst.write(bytes(64 * MB))

    def compressed(path):
        with open(files["text"], "rb") as src:
            data = src.read()
        with open(path, "wb") as dst:
            dst.write(gzipmod.compress(data, 6, mtime=0))

    add("elf", elf)
    add("headers.tar", headers)
    add("text", text)
    add("random", rnd)
    add("zeros", zeros)
    add("compressed.gz", compressed)
    return files


def timed(argv, stdout_path):
    """Runs argv with stdout to a file; returns (cpu seconds, peak RSS in KiB)."""
    with open(stdout_path, "wb") as out:
        p = subprocess.Popen(argv, stdout=out, stderr=subprocess.PIPE)
        _, status, ru = os.wait4(p.pid, 0)
        err = p.stderr.read()
        p.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit("%s failed: %s" % (" ".join(argv), err.decode(errors="replace")))
    return ru.ru_utime + ru.ru_stime, ru.ru_maxrss


def deflate_data_of_archive(path, name):
    data = open(path, "rb").read()
    marker = b"kelpa+" + b"magik"
    at = data.index(marker) + len(marker)
    for _ in range(4):
        at = data.index(b"\0", at) + 1
    header = 10 + len(name) + 1
    # Only the first member: the archive holds one file here.
    return data[at + header:-8]


def main():
    ap = argparse.ArgumentParser()
    here = os.path.dirname(os.path.abspath(__file__))
    ap.add_argument("--kelpa", default=os.path.join(here, "..", "build", "src", "driver", "kelpa"))
    ap.add_argument("--corpus", default=os.path.join(here, "..", "build", "bench-corpus"))
    ap.add_argument("--repeat", type=int, default=1)
    ap.add_argument("--only", nargs="*")
    args = ap.parse_args()
    kelpa = os.path.abspath(args.kelpa)
    files = make_corpus(os.path.abspath(args.corpus))
    work = os.path.join(os.path.abspath(args.corpus), "out")
    os.makedirs(work, exist_ok=True)

    print("%-14s %8s | %-23s | %-23s | %-17s | %-11s | %s" % (
        "file", "MB", "compress MB/s (cpu s)", "decompress MB/s (cpu s)", "ratio", "peak MB",
        "same"))
    print("%-14s %8s | %11s %11s | %11s %11s | %8s %8s | %5s %5s | %s" % (
        "", "", "kelpa", "gzip -9", "kelpa", "gzip -d", "kelpa", "gzip", "kelpa", "gzip", "stream"))
    for name, path in files.items():
        if args.only and name not in args.only:
            continue
        size = os.path.getsize(path)
        run_path = os.path.join(work, name + ".run")
        gz_path = os.path.join(work, name + ".gz")
        best = {}
        for _ in range(args.repeat):
            for key, argv, out in [
                ("kc", [kelpa, path], run_path),
                ("gc", ["gzip", "-9", "-n", "-c", path], gz_path),
                ("kd", [kelpa, "-u", "-x", run_path], os.devnull),
                ("gd", ["gzip", "-d", "-c", gz_path], os.devnull),
            ]:
                cpu, rss = timed(argv, out)
                if key == "kc":
                    os.chmod(run_path, 0o755)  # the extractor finds its archive like a program
                if key not in best or cpu < best[key][0]:
                    best[key] = (cpu, rss)
        ours = deflate_data_of_archive(run_path, os.path.basename(path))
        theirs = open(gz_path, "rb").read()[10:-8]
        same = "yes" if ours == theirs else "NO"
        mbs = lambda k: size / MB / max(best[k][0], 1e-6)
        print("%-14s %8.1f | %5.1f (%4.2f) %5.1f (%4.2f) | %5.0f (%4.2f) %5.0f (%4.2f) | %7.2f%% %7.2f%% | %5.1f %5.1f | %s" % (
            name, size / MB,
            mbs("kc"), best["kc"][0], mbs("gc"), best["gc"][0],
            mbs("kd"), best["kd"][0], mbs("gd"), best["gd"][0],
            100.0 * len(ours) / max(size, 1), 100.0 * len(theirs) / max(size, 1),
            best["kc"][1] / 1024, best["gc"][1] / 1024, same))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
