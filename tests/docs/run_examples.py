#!/usr/bin/env python3
"""Runs the documentation's examples so they never rot.

  examples: every ```sh block of README.md, in order, in one scratch directory, and every
            example block (.nf/.fi) of the manual page's EXAMPLES section in another; each
            block must exit 0, and their effects are checked afterwards.
  manpage:  the manual page renders without warnings (groff -ww -man -Tutf8).
  install:  `cmake --install BUILD --prefix P` installs kelpa and the manual page, and the
            installed kelpa builds and runs an archive.
  demo:     scripts/demo.sh runs with the built kelpa and says what happened.

Indented (non-fenced) commands in the README, such as the fresh-machine commands and the
release and development builds, are run by CI itself (scripts/test.sh).
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile


def fail(msg):
    print("FAIL: " + msg)
    sys.exit(1)


def run_block(code, cwd, env, what):
    r = subprocess.run(["sh", "-e", "-c", code], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out = r.stdout.decode(errors="replace")
    err = r.stderr.decode(errors="replace")
    if r.returncode != 0:
        fail("%s exited %d\n--- block\n%s\n--- stdout\n%s\n--- stderr\n%s" % (
            what, r.returncode, code, out, err))
    return out, err


def readme_blocks(path):
    text = open(path, encoding="utf-8").read()
    return re.findall(r"^```sh\n(.*?)^```", text, flags=re.S | re.M)


def man_blocks(path):
    text = open(path, encoding="utf-8").read()
    section = text.split(".SH EXAMPLES", 1)[1].split("\n.SH ", 1)[0]
    blocks = re.findall(r"^\.nf\n(.*?)^\.fi", section, flags=re.S | re.M)
    unescape = lambda s: s.replace("\\-", "-").replace("\\&", "").replace("\\(dq", '"')
    return [unescape(b) for b in blocks]


def check(cond, msg):
    if not cond:
        fail(msg)


def env_with(kelpa):
    env = dict(os.environ)
    env["PATH"] = os.path.dirname(os.path.abspath(kelpa)) + os.pathsep + env.get("PATH", "")
    return env


def examples(src, kelpa):
    env = env_with(kelpa)
    with tempfile.TemporaryDirectory(prefix="kelpa-readme-") as d:
        blocks = readme_blocks(os.path.join(src, "README.md"))
        check(len(blocks) >= 5, "README lost its examples")
        outs = []
        for i, b in enumerate(blocks):
            outs.append(run_block(b, d, env, "README example %d" % (i + 1)))
        p = lambda *a: os.path.join(d, *a)
        # The installer: checked intact, installed where it ran, script saw the features.
        check(open(p("target", "install.log")).read() == "installing pkg.tar from acme\n",
              "post-install script did not see NAME and KV_VENDOR")
        check(os.access(p("target", "mytool-1.0", "bin", "mytool"), os.X_OK), "tar did not unpack")
        check("Comment: My tool 1.0" in outs[1][0] and "pkg.tar" in outs[1][0], "listing")
        # Signing: kelpa verified the archive, and so did ssh-keygen on its own.
        check("(verified)" in outs[2][0], "kelpa -l with KELPA_VERIFY_KEY: " + outs[2][0])
        check("Good \"archive@kelpa\" signature for publisher" in outs[3][0] + outs[3][1],
              "ssh-keygen -Y verify: " + outs[3][1])
        check("mytool works" in outs[4][0], "the installed tool did not run")
        # Options: each archive did what its example says.
        check(open(p("run1", "notes.txt")).read() == "remember the milk\n", "notes.run")
        check(open(p("run1", "stdout")).read() == "remember the milk\n", "-c")
        check("notes.run" not in outs[5][1], "builder examples printed errors: " + outs[5][1])
        check(outs[5][0].count("Comment:") == 2, "kelpa -l of two archives")
        check("remember the milk" in outs[6][0], "-u -x to standard output")
        check("defla" in outs[6][0], "-l -v shows the method")
        check(open(p("run2", "notes", "notes.txt")).read() == "remember the milk\n",
              "-t: the data did not land in the offered directory")
        check(not os.path.lexists(p("apps", "notes")), "the temporary link was not removed")
        check("but stdin is not a terminal" in outs[6][0], "-v without a terminal")

    with tempfile.TemporaryDirectory(prefix="kelpa-man-") as d:
        # The manual's example packs a directory it assumes exists: make a small one.
        os.makedirs(os.path.join(d, "mytool-1.0"))
        with open(os.path.join(d, "mytool-1.0", "install.sh"), "w") as f:
            f.write("#!/bin/sh\necho installed > installed.flag\n")
        blocks = man_blocks(os.path.join(src, "docs", "kelpa.1"))
        check(len(blocks) >= 2, "the manual page lost its examples")
        for i, b in enumerate(blocks):
            run_block(b, d, env, "manual page example %d" % (i + 1))
        check(os.path.exists(os.path.join(d, "installed.flag")), "manual: install.sh did not run")
        same = open(os.path.join(d, "pkg.tar"), "rb").read() == \
            open(os.path.join(d, "pkg-copy.tar"), "rb").read()
        check(same, "manual: -x did not restore the tarball")
        check(os.path.exists(os.path.join(d, "pkg.tar")), "manual: raw.run -n did not extract")


def manpage(src):
    r = subprocess.run(["groff", "-ww", "-man", "-Tutf8", os.path.join(src, "docs", "kelpa.1")],
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    check(r.returncode == 0 and not r.stderr, "groff warnings:\n" + r.stderr.decode())


def install(build):
    with tempfile.TemporaryDirectory(prefix="kelpa-install-") as prefix:
        r = subprocess.run(["cmake", "--install", build, "--prefix", prefix],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        check(r.returncode == 0, "cmake --install failed:\n" + r.stdout.decode())
        kelpa = os.path.join(prefix, "bin", "kelpa")
        check(os.access(kelpa, os.X_OK), "kelpa not installed")
        check(os.path.exists(os.path.join(prefix, "share", "man", "man1", "kelpa.1")),
              "manual page not installed")
        work = os.path.join(prefix, "work")
        os.makedirs(work)
        env = dict(os.environ)
        env["PATH"] = os.path.join(prefix, "bin") + os.pathsep + env.get("PATH", "")
        run_block("echo installed-ok > f.txt && kelpa f.txt > f.run && chmod +x f.run && "
                  "mkdir out && cd out && ../f.run -r 'true' && cmp f.txt ../f.txt",
                  work, env, "installed kelpa")


def demo(src, kelpa):
    env = dict(os.environ)
    env["KELPA"] = os.path.abspath(kelpa)
    out, _ = run_block(os.path.join(src, "scripts", "demo.sh"), src, env, "demo")
    for needle in ["marker", "hello from the sample package", "post-install", "hello-1.0.tar"]:
        check(needle in out, "demo output lacks %r:\n%s" % (needle, out))


def main():
    mode, src = sys.argv[1], sys.argv[2]
    if mode == "examples":
        examples(src, sys.argv[3])
    elif mode == "manpage":
        manpage(src)
    elif mode == "install":
        install(sys.argv[3])
    elif mode == "demo":
        demo(src, sys.argv[3])
    else:
        fail("unknown mode " + mode)
    print("ok: " + mode)


if __name__ == "__main__":
    main()
