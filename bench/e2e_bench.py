#!/usr/bin/env python3
"""End-to-end benchmark: kelpa against the gzip command on the same data, side by side.

For each corpus file it times, in CPU seconds (user + system, children included):
  build:   kelpa FILE > a.run                 vs  gzip -9 -n -c FILE > f.gz
  extract: kelpa -u -x a.run > /dev/null      vs  gzip -d -c f.gz > /dev/null
and reports MB/s (input size for compression, output size for decompression), the
compression ratio, peak resident memory of both directions, and whether kelpa's DEFLATE
data is byte-identical to gzip -9's. CPU time is used so the extractor's fixed pause before
closing its pipe does not count, and the best of --repeat runs is kept (the machine may be
shared). The corpus is made once from files on this machine (see make_corpus); the timed
runs write their outputs to a scratch directory in /dev/shm when there is one.

Peak memory is the measured process's own high-water mark as /usr/bin/time reports it (the
ru_maxrss that wait4 returns to this script also counts the pages the forked Python
process held before exec), from one more run of each command: the timed runs are started
directly, so the CPU seconds are the tool's own, without /usr/bin/time's start-up.

A second table sets kelpa -x against the fastest decoders on the same members, run in the
same rounds: igzip -d -c f.gz and libdeflate-gunzip -c f.gz (each column only when the tool is
installed; scripts/deps.sh bench installs them), with kelpa's CPU time over theirs.

A third table sets extraction against -x on the same data: the extractor decodes and
checks the whole member before it starts the extraction command, then decodes it again into
the command (here "cat > /dev/null", from an archive built with -f for it; the command's
CPU time counts), so extraction costs about twice the decode that -x does once.

A fourth table compresses each file on every core this process may run on, against one
thread (KELPA_THREADS=1) and gzip -9: wall and CPU seconds, the three interleaved, and
whether the two archives' members are identical.
--threads prints only that table, --decoders only the second.

--versus OTHER prints only a table of kelpa against another kelpa binary (by default
kelpa-host, the same program against the host's C library; or an older build): building on
one thread and -x on each file, the two interleaved in each round, CPU seconds (best of the
runs), their ratio, peak memory and whether the two archives are identical.

--memory N adds a fifth table: kelpa's peak memory building from and extracting a 1 MB
and an N MB input (-x to standard output, and the default extraction command writing the
file), which must be the same for both sizes.

Usage: bench/e2e_bench.py [--kelpa build/src/driver/kelpa] [--corpus DIR] [--repeat N]
                          [--only NAME...] [--memory MB]
                          [--threads | --decoders | --versus [OTHER]]
"""
import argparse
import atexit
import glob
import gzip as gzipmod
import os
import random
import shutil
import statistics
import subprocess
import sys
import tarfile
import tempfile
import time

MB = 1 << 20
WORK = None  # scratch directory for outputs, set by main


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


TIME = "/usr/bin/time"


def timed(argv, stdout_path, cwd=None, peak=True, env=None):
    """Runs argv with stdout to a file; returns (cpu seconds, peak RSS in KiB).

    With peak, the run goes through /usr/bin/time for the peak; its own start-up (about a
    millisecond here) then counts in the CPU seconds, so timed runs pass peak=False and the
    peak comes from a run of its own."""
    rss_file = stdout_path + ".rss" if stdout_path != os.devnull else os.path.join(WORK, "devnull.rss")
    measure = [TIME, "-f", "%M", "-o", rss_file] if peak and os.path.exists(TIME) else []
    with open(stdout_path, "wb") as out:
        p = subprocess.Popen(measure + argv, stdout=out, stderr=subprocess.PIPE, cwd=cwd, env=env)
        _, status, ru = os.wait4(p.pid, 0)
        err = p.stderr.read()
        p.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit("%s failed: %s" % (" ".join(argv), err.decode(errors="replace")))
    rss = ru.ru_maxrss
    if measure:
        with open(rss_file) as f:
            rss = int(f.read().split()[-1])
    return ru.ru_utime + ru.ru_stime, rss


def timed_wall(argv, stdout_path, env=None):
    """Runs argv with stdout to a file; returns (wall seconds, cpu seconds)."""
    with open(stdout_path, "wb") as out:
        start = time.monotonic()
        p = subprocess.Popen(argv, stdout=out, stderr=subprocess.PIPE, env=env)
        _, status, ru = os.wait4(p.pid, 0)
        wall = time.monotonic() - start
        err = p.stderr.read()
        p.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit("%s failed: %s" % (" ".join(argv), err.decode(errors="replace")))
    return wall, ru.ru_utime + ru.ru_stime


def core_speeds(kelpa, path, repeat, work):
    """One thread's build of path pinned to each core in turn, then one such build on every
    core at once, best of the runs: cores of a guest can differ in speed, and slow down when
    their neighbours run, and together they bound what all cores can gain."""
    one = dict(os.environ, KELPA_THREADS="1")
    cpus = sorted(os.sched_getaffinity(0))
    outs = [os.path.join(work, "pinned%d.run" % cpu) for cpu in cpus]

    def start(i):
        with open(outs[i], "wb") as dst:
            return subprocess.Popen([kelpa, path], stdout=dst, env=one,
                                    preexec_fn=lambda c=cpus[i]: os.sched_setaffinity(0, {c}))

    def finish(p):
        _, status, ru = os.wait4(p.pid, 0)
        if os.waitstatus_to_exitcode(status) != 0:
            raise SystemExit("%s failed" % kelpa)
        return ru.ru_utime + ru.ru_stime

    best = {}
    together = None
    for _ in range(repeat):
        for i, cpu in enumerate(cpus):
            cpu_s = finish(start(i))
            best[cpu] = min(cpu_s, best.get(cpu, cpu_s))
        begin = time.monotonic()
        for p in [start(i) for i in range(len(cpus))]:
            finish(p)
        wall = time.monotonic() - begin
        together = wall if together is None else min(together, wall)
    for f in outs:
        os.unlink(f)
    fastest = min(best.values())
    print("one thread pinned to each core, %s (CPU s): %s; all cores can be at most %.2fx "
          "the fastest core" % (os.path.basename(path),
                                ", ".join("core %d %.3f" % (c, t) for c, t in sorted(best.items())),
                                sum(fastest / t for t in best.values())))
    print("one such build on each core at once: %.3f s wall; independent builds on all cores "
          "do %.2fx the work of the fastest core alone" % (together, len(cpus) * fastest / together))


def threads_table(kelpa, files, names, repeat, work):
    """Compression on every core against one thread and gzip -9: wall and CPU seconds, the
    three interleaved, best of the runs; the archives' members must be identical. The
    paired ratio is the median over the rounds of one round's one-thread wall time over its
    all-core wall time: the two runs of a round are seconds apart, so a guest whose cores slow
    down for minutes slows both, where the best of each may come from different minutes."""
    cores = len(os.sched_getaffinity(0))
    print("\ncompression on all %d cores: wall s (cpu s), best of %d interleaved runs" % (cores, repeat))
    if cores > 1 and "text" in files:
        core_speeds(kelpa, files["text"], repeat, work)
    print("%-13s %6s | %15s | %15s | %15s | %12s %12s %8s | %s" % (
        "file", "MB", "gzip -9", "kelpa 1 thread", "kelpa %d" % cores, "x 1 thread", "x gzip -9", "paired", "same"))
    one = dict(os.environ, KELPA_THREADS="1")
    every = dict(os.environ)
    every.pop("KELPA_THREADS", None)
    for name in names:
        path = files[name]
        size = os.path.getsize(path)
        outs = {k: os.path.join(work, name + "." + k) for k in ("g", "k1", "kn")}
        best = {}
        paired = []
        for _ in range(repeat):
            walls = {}
            for key, argv, env in [
                ("g", ["gzip", "-9", "-n", "-c", path], None),
                ("k1", [kelpa, path], one),
                ("kn", [kelpa, path], every),
            ]:
                wall, cpu = timed_wall(argv, outs[key], env)
                walls[key] = wall
                if key not in best or wall < best[key][0]:
                    best[key] = (wall, cpu)
            paired.append(walls["k1"] / walls["kn"])
        base = os.path.basename(path)
        same = deflate_data_of_archive(outs["k1"], base) == deflate_data_of_archive(outs["kn"], base)
        print("%-13s %6.1f | %6.3f (%6.3f) | %6.3f (%6.3f) | %6.3f (%6.3f) | %11.2fx %11.2fx %7.2fx | %s" % (
            name, size / MB, best["g"][0], best["g"][1], best["k1"][0], best["k1"][1], best["kn"][0], best["kn"][1],
            best["k1"][0] / best["kn"][0], best["g"][0] / best["kn"][0], statistics.median(paired),
            "yes" if same else "NO"))
        sys.stdout.flush()
        for f in outs.values():
            os.unlink(f)


def deflate_data_of_archive(path, name):
    data = open(path, "rb").read()
    marker = b"kelpa+" + b"magik"
    at = data.index(marker) + len(marker)
    for _ in range(4):
        at = data.index(b"\0", at) + 1
    header = 10 + len(name) + 1
    # Only the first member: the archive holds one file here.
    return data[at + header:-8]


def memory_table(kelpa, files, big_mb):
    """kelpa's peak memory for a 1 MB and a big input, both directions and both extractions."""
    src = open(files["text"], "rb").read()
    print("\nkelpa peak memory (MB) as the input grows: text repeated, a zero run every 10 MB")
    print("%-10s | %8s | %14s | %18s" % ("input", "build", "extract -x", "extract to a file"))
    for mb in [1, big_mb]:
        path = os.path.join(WORK, "grow-%d" % mb)
        with open(path, "wb") as out:
            left = mb * MB
            while left > 0:
                piece = (src[: 9 * MB] + bytes(MB))[:left]
                out.write(piece)
                left -= len(piece)
        run = path + ".run"
        _, build_rss = timed([kelpa, path], run)
        os.chmod(run, 0o755)
        _, x_rss = timed([kelpa, "-u", "-x", run], os.devnull)
        dest = os.path.join(WORK, "extract-here")
        os.makedirs(dest, exist_ok=True)
        _, ex_rss = timed([kelpa, "-u", "-n", run], os.path.join(WORK, "extract.log"), cwd=dest)
        same = os.path.getsize(os.path.join(dest, os.path.basename(path))) == mb * MB
        print("%7d MB | %8.1f | %14.1f | %15.1f %s" % (mb, build_rss / 1024, x_rss / 1024, ex_rss / 1024,
                                                        "" if same else "(wrong size)"))
        sys.stdout.flush()
        for f in [path, run, os.path.join(dest, os.path.basename(path))]:
            os.unlink(f)


def decoder_peers():
    """The other decoders kelpa -x is set against, those installed: (key, title, argv)."""
    return [(key, tool, argv) for key, tool, argv in [
        ("id", "igzip -d", ["igzip", "-d", "-c"]),
        ("ld", "libdeflate", ["libdeflate-gunzip", "-c"]),
    ] if shutil.which(argv[0])]


def print_decoders(peers, decoders):
    print("\nkelpa -x against other decoders on the same members (CPU s, best of the runs; x: theirs / kelpa's)")
    print("%-13s %6s | %9s" % ("file", "MB", "kelpa -x") + "".join(" | %10s %6s" % (tool, "x") for _, tool, _ in peers))
    for name, size, kd, theirs in decoders:
        print("%-13s %6.1f | %9.4f" % (name, size / MB, kd) + "".join(" | %10.4f %5.2fx" % (t, t / kd) for t in theirs))
    sys.stdout.flush()


def decoders_table(kelpa, files, names, repeat, work):
    """Only the decoders, interleaved: kelpa -x on its archive, the others on gzip -9's member."""
    peers = decoder_peers()
    decoders = []
    for name in names:
        path = files[name]
        run_path = os.path.join(work, name + ".run")
        gz_path = os.path.join(work, name + ".gz")
        timed([kelpa, path], run_path, peak=False)
        os.chmod(run_path, 0o755)
        timed(["gzip", "-9", "-n", "-c", path], gz_path, peak=False)
        best = {}
        for _ in range(repeat):
            for key, argv in [("kd", [kelpa, "-u", "-x", run_path])] + [
                    (key, argv + [gz_path]) for key, _, argv in peers]:
                cpu, _ = timed(argv, os.devnull, peak=False)
                best[key] = min(cpu, best.get(key, cpu))
        decoders.append((name, os.path.getsize(path), best["kd"], [best[key] for key, _, _ in peers]))
        for f in (run_path, gz_path):
            os.unlink(f)
    print_decoders(peers, decoders)


def versus_table(kelpa, other, files, names, repeat, work):
    """kelpa against another kelpa binary: one-thread builds and -x, interleaved."""
    print("%s against %s (CPU s, best of %d interleaved runs; x: other / this)" % (kelpa, other, repeat))
    print("%-13s %6s | %9s %9s %6s | %9s %9s %6s | %13s %13s | %s" % (
        "file", "MB", "build", "other", "x", "-x", "other", "x", "peak MB b/x", "other b/x", "same"))
    one = dict(os.environ, KELPA_THREADS="1")
    for name in names:
        path = files[name]
        runs = {k: os.path.join(work, name + "." + k + ".run") for k in ("a", "b")}
        best, rss = {}, {}
        for round_ in range(repeat + 1):  # the last round measures peak memory only
            for key, argv, out in [
                ("ab", [kelpa, path], runs["a"]),
                ("bb", [other, path], runs["b"]),
                ("ax", [kelpa, "-u", "-x", runs["a"]], os.devnull),
                ("bx", [other, "-u", "-x", runs["a"]], os.devnull),
            ]:
                measuring_peak = round_ == repeat
                cpu, peak_kib = timed(argv, out, peak=measuring_peak, env=one)
                if measuring_peak:
                    rss[key] = peak_kib / 1024
                else:
                    best[key] = min(cpu, best.get(key, cpu))
        same = "yes" if (deflate_data_of_archive(runs["a"], os.path.basename(path)) ==
                         deflate_data_of_archive(runs["b"], os.path.basename(path))) else "NO"
        cpu = lambda k: max(best[k], 1e-6)
        print("%-13s %6.1f | %9.4f %9.4f %5.3fx | %9.4f %9.4f %5.3fx | %6.1f %6.1f %6.1f %6.1f | %s" % (
            name, os.path.getsize(path) / MB, cpu("ab"), cpu("bb"), cpu("bb") / cpu("ab"),
            cpu("ax"), cpu("bx"), cpu("bx") / cpu("ax"), rss["ab"], rss["ax"], rss["bb"], rss["bx"], same))
        sys.stdout.flush()
        for f in runs.values():
            os.unlink(f)


def main():
    ap = argparse.ArgumentParser()
    here = os.path.dirname(os.path.abspath(__file__))
    ap.add_argument("--kelpa", default=os.path.join(here, "..", "build", "src", "driver", "kelpa"))
    ap.add_argument("--corpus", default=os.path.join(here, "..", "build", "bench-corpus"))
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--only", nargs="*")
    ap.add_argument("--memory", type=int, metavar="MB", help="also check memory on a 1 MB and an MB-sized input")
    ap.add_argument("--threads", action="store_true", help="only the table of compression on all cores")
    ap.add_argument("--decoders", action="store_true", help="only the table of kelpa -x against other decoders")
    ap.add_argument("--versus", nargs="?", metavar="OTHER", const=os.path.join(here, "..", "build", "src", "driver", "kelpa-host"),
                    help="only the table of kelpa against another kelpa binary (default: kelpa-host)")
    args = ap.parse_args()
    kelpa = os.path.abspath(args.kelpa)
    files = make_corpus(os.path.abspath(args.corpus))
    global WORK
    WORK = os.path.join(os.path.abspath(args.corpus), "out")
    os.makedirs(WORK, exist_ok=True)
    # The timed runs write their archives and .gz files to memory when /dev/shm is there:
    # on disk, the write-back interrupts land on whichever process runs and swing the
    # figures of both tools. (The memory table's gigabyte files stay on disk.)
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
        work = tempfile.mkdtemp(prefix="kelpa-bench-", dir="/dev/shm")
        atexit.register(shutil.rmtree, work, True)
    else:
        work = WORK

    names = [n for n in files if not args.only or n in args.only]
    if args.threads:
        threads_table(kelpa, files, names, args.repeat, work)
        return
    if args.decoders:
        decoders_table(kelpa, files, names, args.repeat, work)
        return
    if args.versus:
        versus_table(kelpa, os.path.abspath(args.versus), files, names, args.repeat, work)
        return
    print("%-13s %6s | %-31s | %-31s | %-17s | %-23s | %s" % (
        "file", "MB", "compress MB/s (cpu s)", "decompress MB/s (cpu s)", "ratio", "peak MB c / d",
        "same"))
    print("%-13s %6s | %12s %12s %5s | %12s %12s %5s | %8s %8s | %11s %11s | %s" % (
        "", "", "kelpa", "gzip -9", "x", "kelpa", "gzip -d", "x", "kelpa", "gzip", "kelpa", "gzip", "stream"))
    peers = decoder_peers()
    checked = []
    decoders = []
    for name, path in files.items():
        if args.only and name not in args.only:
            continue
        size = os.path.getsize(path)
        run_path = os.path.join(work, name + ".run")
        gz_path = os.path.join(work, name + ".gz")
        null_run = os.path.join(work, name + ".null.run")
        timed([kelpa, "-f", "cat > /dev/null", path], null_run, peak=False)
        os.chmod(null_run, 0o755)
        best = {}
        rss = {}
        # The last round measures peak memory only.
        for round_ in range(args.repeat + 1):
            for key, argv, out in [
                ("kc", [kelpa, path], run_path),
                ("gc", ["gzip", "-9", "-n", "-c", path], gz_path),
                ("kd", [kelpa, "-u", "-x", run_path], os.devnull),
                ("gd", ["gzip", "-d", "-c", gz_path], os.devnull),
                ("ke", [kelpa, "-u", "-n", null_run], os.devnull),
            ] + [(key, argv + [gz_path], os.devnull) for key, _, argv in peers]:
                measuring_peak = round_ == args.repeat
                # One thread: CPU time against the one of gzip -9 (the third table
                # compresses on every core).
                one = dict(os.environ, KELPA_THREADS="1") if key == "kc" else None
                cpu, peak_kib = timed(argv, out, peak=measuring_peak, env=one)
                if key == "kc":
                    os.chmod(run_path, 0o755)  # the extractor finds its archive like a program
                if measuring_peak:
                    rss[key] = peak_kib
                elif key not in best or cpu < best[key]:
                    best[key] = cpu
        ours = deflate_data_of_archive(run_path, os.path.basename(path))
        theirs = open(gz_path, "rb").read()[10:-8]
        same = "yes" if ours == theirs else "NO"
        cpu = lambda k: max(best[k], 1e-6)
        mbs = lambda k: size / MB / cpu(k)
        peak = lambda k: rss[k] / 1024
        print("%-13s %6.1f | %5.1f (%5.3f) %5.1f (%5.3f) %4.1fx | %5.0f (%5.3f) %5.0f (%5.3f) %4.1fx | %7.2f%% %7.2f%% | %5.1f %5.1f | %5.1f %5.1f | %s" % (
            name, size / MB,
            mbs("kc"), cpu("kc"), mbs("gc"), cpu("gc"), cpu("gc") / cpu("kc"),
            mbs("kd"), cpu("kd"), mbs("gd"), cpu("gd"), cpu("gd") / cpu("kd"),
            100.0 * len(ours) / max(size, 1), 100.0 * len(theirs) / max(size, 1),
            peak("kc"), peak("kd"), peak("gc"), peak("gd"), same))
        checked.append((name, cpu("kd"), cpu("ke"), peak("ke")))
        decoders.append((name, size, cpu("kd"), [cpu(key) for key, _, _ in peers]))
        sys.stdout.flush()
        os.unlink(null_run)
    print_decoders(peers, decoders)
    print("\nkelpa extraction (member checked, then decoded into the command) against -x")
    print("%-13s | %9s | %10s | %5s | %7s" % ("file", "-x cpu s", "extract s", "x", "peak MB"))
    for name, x, e, pk in checked:
        print("%-13s | %9.3f | %10.3f | %4.2fx | %7.1f" % (name, x, e, e / x, pk))
    threads_table(kelpa, files, names, args.repeat, work)
    if args.memory:
        memory_table(kelpa, files, args.memory)


if __name__ == "__main__":
    main()
