// The built kelpa binary as a builder: archive layout, options, usage texts, exit statuses,
// and the properties every stub must have.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/test_util.h"
#include "driver/archive_maker.h"

namespace {

using kt::run;
using kt::RunResult;

const std::string kMarker = std::string("kelpa+") + "magik";
const std::string kVersion = "Version: @(#) kelpa 1.2.1    6/6/2001 \n";

std::string builder_usage(const std::string &prog) {
    return kVersion + "Usage: " + prog +
           " [-huclva] [-p kelpa_path] [-C 'comment'] [-f 'extract_shell_cmds'] "
           "[-r 'run_program_after_extraction'] [-V 'filesystem'] [-S 'fssub'] "
           "[-F feature_sting] <files...>\n";
}

std::string archive_usage(const std::string &prog, const std::string &comment) {
    return kVersion + "\n" + comment + "\n\n" + "Usage: " + prog + " [-hclnvtx]\n" +
           "    -h: show this help\n"
           "    -u: use as utility to decompress archive specified on command-line\n"
           "    -l: list compression statistics\n"
           "    -c: extract to stdout instead of archive name\n"
           "    -x: extract only. do not deflate the archive\n"
           "    -n: do not run install command after deflating archive\n"
           "    -t: temp path for decompression if archive allows\n"
           "    -v: verbose output\n";
}

class Builder : public testing::Test {
   protected:
    kt::TempDir dir;
    std::string bin = kt::kelpa_bin();
    std::string stub = kt::read_file(kt::kelpa_bin());
    std::string file(const std::string &name, const std::string &data, int mode = 0644) {
        std::string p = dir / name;
        kt::write_file(p, data, mode);
        return p;
    }
    RunResult kelpa(std::vector<std::string> args) {
        args.insert(args.begin(), bin);
        return run(args, "", dir.path());
    }
};

TEST_F(Builder, RawArchiveIsStubMarkerPreambleAndInputBytes) {
    std::string tar = kt::random_bytes(70000, 1);
    file("pkg.tar", tar);
    RunResult r =
        kelpa({"-a", "-C", "My tool 1.0", "-f", "tar xf -", "-r", "./install.sh", "pkg.tar"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, stub +
                         kt::checked_preamble("NOCOMPR,NAME=pkg.tar", "My tool 1.0", "./install.sh",
                                              "tar xf -") +
                         tar);
}

TEST_F(Builder, FeatureItemsInOptionOrderWithNameLast) {
    file("c.tar", "second");
    ::mkdir((dir / "a").c_str(), 0755);
    ::mkdir((dir / "a/b").c_str(), 0755);
    file("a/b/file.tar", "first");
    RunResult r = kelpa(
        {"-V", "/opt", "-S", "sub", "-O", "acme", "-F", "X=1,Y", "-a", "a/b/file.tar", "c.tar"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, stub +
                         kt::checked_preamble(
                             "VFYFS=/opt,FSSUB=sub,KV_VENDOR=acme,X=1,Y,NOCOMPR,NAME=file.tar",
                             "Self-Extracting archive file", "", "") +
                         "firstsecond");
}

TEST_F(Builder, MissingInputIsReportedSkippedAndFailsTheBuild) {
    file("good", "GOOD");
    RunResult r = kelpa({"-a", "good", "missing"});
    EXPECT_EQ(r.status, 1) << "an incomplete archive must not be reported as fine";
    EXPECT_NE(r.err.find("missing: No such file or directory"), std::string::npos) << r.err;
    EXPECT_EQ(
        r.out,
        stub + kt::checked_preamble("NOCOMPR,NAME=good", "Self-Extracting archive file", "", "") +
            "GOOD");
    // The first input is the one extracted: without it there is no archive at all.
    ::mkdir((dir / "adir").c_str(), 0755);
    for (const char *first : {"missing", "adir"}) {
        r = kelpa({"-a", first, "good"});
        EXPECT_EQ(r.status, 1) << first;
        EXPECT_EQ(r.out, "") << first;
    }
}

// Names in the builder's messages show control characters as \ooo.
TEST_F(Builder, NamesInMessagesShowControlCharacters) {
    file("a\033]52;c;eA==\007", "one");
    file("b\033[2J", "two");
    struct Case {
        std::vector<std::string> args;
        std::string shown;
    } cases[] = {
        {{"missing\033[2J"}, "missing\\033[2J: No such file or directory"},
        {{"a\033]52;c;eA==\007", "b\033[2J"},
         "only a\\033]52;c;eA==\\007 is extracted; also stored: b\\033[2J\n"},
        {{"-p", "stub\033[2J", "b\033[2J"}, "stub\\033[2J: No such file or directory"},
    };
    for (const auto &c : cases) {
        RunResult r = kelpa(c.args);
        EXPECT_NE(r.err.find(c.shown), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\033'), std::string::npos) << r.err;
    }
}

TEST_F(Builder, HeadFailuresWriteNothingAndExit1) {
    file("in", "data");
    file("stub-k", "STUB ENDING WITH k", 0755);
    file("stub-marker", "A" + kMarker + "B", 0755);
    file("stub-empty", "", 0755);
    ::mkdir((dir / "stubdir").c_str(), 0755);
    struct Case {
        std::string stub;
        std::string message;
    } cases[] = {
        {"no-such-stub", "no-such-stub: No such file or directory\n"},
        {dir / "stub-empty", "stub-empty: the stub is empty\n"},
        {dir / "stub-k", "cannot be used as a stub"},
        {dir / "stub-marker", "cannot be used as a stub"},
        {dir / "stubdir", "the stub is not a regular file"},
    };
    for (const auto &c : cases) {
        RunResult r = kelpa({"-a", "-p", c.stub, "in"});
        EXPECT_EQ(r.status, 1) << c.stub;
        EXPECT_EQ(r.out, "") << c.stub << ": no members without a head";
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.stub << ": " << r.err;
    }
}

// "-p out.run ... > out.run": the shell empties the output before kelpa reads it as the stub.
TEST_F(Builder, StubThatIsTheOutputIsRefused) {
    file("in", "data");
    file("out.run", kt::read_file(bin), 0755);
    RunResult r = kt::sh(kt::quote(bin) + " -a -p ./out.run in > out.run", "", dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, bin +
                         ": ./out.run: the stub is the archive being written; write the "
                         "archive to another file\n");
    EXPECT_EQ(kt::read_file(dir / "out.run"), "");
}

// A file named like the program in the current directory is neither run nor copied when the
// program, or an archive, is run by its bare name through PATH.
TEST_F(Builder, FileNamedLikeTheProgramInTheCurrentDirectoryIsIgnored) {
    file("in", "GENUINE");
    file("evil", "HOSTILE");
    RunResult genuine = kelpa({"-a", "-f", "cat", "in"});
    RunResult hostile = kelpa({"-a", "-f", "cat", "-r", "touch PWNED", "evil"});
    ASSERT_EQ(hostile.status, 0);
    ::mkdir((dir / "bin").c_str(), 0755);
    ::mkdir((dir / "work").c_str(), 0755);
    file("bin/kelpa", kt::read_file(bin), 0755);
    file("bin/pkg", genuine.out, 0755);
    file("work/kelpa", hostile.out, 0755);
    file("work/pkg", hostile.out, 0755);
    file("work/in", "GENUINE");
    const std::string path = "PATH=" + kt::quote(dir / "bin") + ":$PATH ";
    RunResult b = kt::sh(path + "kelpa -a in > new.run", "", dir / "work");
    EXPECT_EQ(b.status, 0) << b.err;
    EXPECT_EQ(kt::read_file(dir / "work/new.run").substr(0, stub.size()), stub);
    RunResult x = kt::sh(path + "pkg -x", "", dir / "work");
    EXPECT_EQ(x.status, 0) << x.err;
    EXPECT_EQ(x.out, "GENUINE");
    RunResult list = kt::sh(path + "pkg -l", "", dir / "work");
    EXPECT_NE(list.out.find("    Run: \n"), std::string::npos) << list.out;
    EXPECT_FALSE(kt::file_exists(dir / "work/PWNED"));
}

// Started under an empty name (exec allows it), the builder copies its own file; without
// /proc to find it, it says so.
TEST_F(Builder, EmptyProgramNameStillFindsTheOwnFile) {
    file("in", "data");
    const std::string exec = "exec -a '' " + kt::quote(bin) + " -a in";
    RunResult r = run({"bash", "-c", exec}, "", dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, stub.size()), stub);
    if (kt::sh("unshare -m true").status != 0) GTEST_SKIP() << "needs unshare -m";
    r = run({"unshare", "-m", "bash", "-c", "mount -t tmpfs none /proc && " + exec}, "",
            dir.path());
    EXPECT_EQ(r.status, 1);
    // (A sanitizer's runtime adds its own lines when /proc is missing.)
    EXPECT_NE(r.err.find(": the program's own file could not be found\n"), std::string::npos);
    EXPECT_EQ(r.out, "");
}

TEST_F(Builder, AnotherStubIsCopiedByteForByte) {
    std::string other = "#!/bin/sh\necho custom stub\nexit 0\n";
    file("other", other, 0755);
    file("in", "xyz");
    RunResult r = kelpa({"-a", "-p", dir / "other", "in"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              other +
                  kt::checked_preamble("NOCOMPR,NAME=in", "Self-Extracting archive file", "", "") +
                  "xyz");
}

TEST_F(Builder, WriteFailureIsReportedAndExits1) {
    file("in", "data");
    RunResult r = kt::sh(kt::quote(bin) + " -a in > /dev/full", "", dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
}

TEST_F(Builder, ArchiveIsNeverWrittenOntoATerminal) {
    file("in", "data");
    RunResult r = run(kt::on_terminal(kt::quote(bin) + " in; echo rc=$?", ""), "", dir.path());
    EXPECT_EQ(r.out, bin + ": not writing an archive to a terminal; redirect it: " + bin +
                         " file > file.run\nrc=1\n");
}

TEST_F(Builder, UsageTextsAndStatuses) {
    RunResult h = kelpa({"-h"});
    EXPECT_EQ(h.status, 1);
    EXPECT_EQ(h.err, builder_usage(bin));
    EXPECT_EQ(h.out, "");

    RunResult none = kelpa({});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, builder_usage(bin) + bin + ": what files do you want to compress?\n");

    RunResult unknown = kelpa({"-Z"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("invalid option -- 'Z'\n" + builder_usage(bin)), std::string::npos)
        << unknown.err;

    RunResult missing_arg = kelpa({"-C"});
    EXPECT_EQ(missing_arg.status, 1);
    EXPECT_NE(missing_arg.err.find("requires an argument -- 'C'\n" + builder_usage(bin)),
              std::string::npos)
        << missing_arg.err;

    // -u switches to archive mode for the options that follow.
    RunResult u = kelpa({"-C", "shown", "-u", "-h"});
    EXPECT_EQ(u.status, 1);
    EXPECT_EQ(u.err, archive_usage(bin, "shown"));

    // -u without an operand extracts the program's own file, which a builder has not.
    RunResult self = kelpa({"-u"});
    EXPECT_EQ(self.status, 1);
    EXPECT_EQ(self.err, bin + ": unable to find preamble magic value\n");
}

// The extractor finds "NOCOMPR" anywhere in the feature list, NAME item included; the
// builder stores such an input raw so that both agree, and says why.
TEST_F(Builder, NameHoldingNocomprIsStoredRawAndExtractsIntact) {
    const std::string data = kt::text_bytes(5000, 3);
    file("NOCOMPR.img", data);
    RunResult r = kelpa({"NOCOMPR.img"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("NOCOMPR.img: stored uncompressed"), std::string::npos) << r.err;
    EXPECT_EQ(r.out,
              stub +
                  kt::checked_preamble("NAME=NOCOMPR.img", "Self-Extracting archive file", "", "") +
                  data);
    std::string archive = file("img.run", r.out, 0755);
    EXPECT_EQ(run({archive, "-x"}, "", dir.path()).out, data);
}

// The NAME item is one item that every extractor reads alike: a comma, or a feature key
// after its start, would add to the archive's features. Such a name is stored with '_'.
TEST_F(Builder, NameThatWouldAddFeaturesIsStoredAsOneItem) {
    const std::pair<std::string, std::string> cases[] = {
        {"pkgVFYFS=v2.tar", "pkgVFYFS_v2.tar"},
        {"a,FSSUB=x,KELPA_CRC=1", "a_FSSUB_x_KELPA_CRC_1"},
        {"release.tar,PATH=nowhere", "release.tar_PATH=nowhere"},  // last: run below
    };
    RunResult r;
    for (const auto &[name, stored] : cases) {
        file(name, "data");
        r = kelpa({"-a", "-f", "cat", "-r", "env > env.txt", name});
        EXPECT_EQ(r.err, bin + ": " + name + ": named " + stored +
                             " in the feature list: a comma or a feature key in a name would "
                             "add to the archive's features\n");
        EXPECT_NE(r.out.find(kMarker + "NOCOMPR,NAME=" + stored + ",KELPA_CRC="),
                  std::string::npos);
    }
    RunResult x = run({file("n.run", r.out, 0755)}, "", dir.path());
    EXPECT_EQ(x.out, "data") << x.err;
    std::string env = kt::read_file(dir / "env.txt");
    EXPECT_NE(env.find("\nNAME=release.tar_PATH=nowhere\n"), std::string::npos) << env;
    EXPECT_EQ(env.find("\nPATH=nowhere\n"), std::string::npos) << env;
}

// An option item holding a known key after its start (or a longer item beginning with the
// bare key NOCOMPR) would be read as that key by extractors that find keys anywhere.
TEST_F(Builder, OptionItemsReadTwoWaysAreRefused) {
    file("in", "data");
    struct Case {
        std::vector<std::string> args;
        std::string item, key;
    } cases[] = {
        {{"-a", "-F", "PRODUCT_NAME=MyApp"}, "PRODUCT_NAME=MyApp", "NAME="},
        {{"-O", "ACME_NAME=x"}, "KV_VENDOR=ACME_NAME=x", "NAME="},
        {{"-F", "A=1,NOCOMPRESSION=1"}, "NOCOMPRESSION=1", "NOCOMPR"},
        {{"-V", "/opt/NOCOMPR"}, "VFYFS=/opt/NOCOMPR", "NOCOMPR"},
        {{"-F", " X=\033FSSUB=y"}, " X=\\033FSSUB=y", "FSSUB="},
    };
    for (auto &c : cases) {
        c.args.push_back("in");
        RunResult r = kelpa(c.args);
        EXPECT_EQ(r.status, 1) << c.item;
        EXPECT_EQ(r.out, "") << c.item;
        EXPECT_EQ(r.err, bin + ": feature item " + c.item + " would be read as \"" + c.key +
                             "\" by extractors that find keys anywhere in the list\n");
    }
}

// A file whose reads give fewer bytes than its size at open (a file that shrank while it was
// read; a sysfs file does so every time) is stored as far as it came, and the status says so.
TEST_F(Builder, InputThatShrankIsReported) {
    const std::string sys = "/sys/kernel/address_bits";
    struct stat st;
    if (::stat(sys.c_str(), &st) != 0 || st.st_size <= 16) GTEST_SKIP() << "no such sysfs file";
    const std::string data = kt::read_file(sys);
    for (const char *mode : {"-a", "-n"}) {  // raw, and compressed (-n: no effect here)
        RunResult r = kelpa({mode, sys});
        EXPECT_EQ(r.status, 1) << mode;
        EXPECT_EQ(r.err, bin + ": " + sys + ": warning: the file shrank while it was read; " +
                             std::to_string(data.size()) + " of its " + std::to_string(st.st_size) +
                             " bytes stored\n");
    }
}

// A non-blocking standard output is waited on until it drains: the reader here lets the pipe
// fill before each read.
TEST_F(Builder, NonBlockingOutputIsWaitedOn) {
    file("big", kt::random_bytes(400000, 9));
    static const char reader[] = R"(
import fcntl, os, subprocess, sys, time
r, w = os.pipe()
fcntl.fcntl(w, fcntl.F_SETFL, os.O_NONBLOCK)
p = subprocess.Popen(sys.argv[1:], stdout=w)
os.close(w)
while time.sleep(0.05) or (data := os.read(r, 1 << 20)):
    sys.stdout.buffer.write(data)
sys.exit(p.wait()))";
    for (const char *mode : {"-a", "-n"}) {  // raw, and compressed (-n: no effect here)
        RunResult r = run({"python3", "-c", reader, bin, mode, "big"}, "", dir.path());
        EXPECT_EQ(r.status, 0) << mode << r.err;
        EXPECT_TRUE(r.out == kelpa({mode, "big"}).out) << mode << " " << r.out.size();
    }
}

// KELPA_THREADS takes decimal digits only, from 1 to 64; anything else is reported once per
// build, however many members, and the CPUs decide.
TEST_F(Builder, BadThreadSettingIsReportedOnce) {
    file("a", kt::text_bytes(300000, 4));
    for (const char *value : {" -1", "65", "18446744073709551617", "4x"}) {
        RunResult r = kt::sh(
            "KELPA_THREADS='" + std::string(value) + "' " + kt::quote(bin) + " a a > /dev/null", "",
            dir.path());
        EXPECT_EQ(r.status, 0) << value;
        const std::string warning =
            "ignoring KELPA_THREADS=" + std::string(value) + ": not a number from 1 to 64\n";
        EXPECT_EQ(r.err.substr(0, bin.size() + 2 + warning.size()), bin + ": " + warning);
        EXPECT_EQ(r.err.find(warning, bin.size() + 3), std::string::npos) << r.err;
    }
}

TEST_F(Builder, ArchiveModeUsageShowsTheArchivesComment) {
    file("in", "payload");
    RunResult b = kelpa({"-a", "-C", "Installer of things", "in"});
    ASSERT_EQ(b.status, 0);
    std::string archive = file("pkg.run", b.out, 0755);
    RunResult h = run({archive, "-h"}, "", dir.path());
    EXPECT_EQ(h.status, 1);
    EXPECT_EQ(h.err, archive_usage(archive, "Installer of things"));
    // A -C before -h replaces the comment in the usage text (the preamble is not read again).
    RunResult hc = run({archive, "-C", "other", "-h"}, "", dir.path());
    EXPECT_EQ(hc.err, archive_usage(archive, "other"));
    RunResult esc = run({archive, "-C", "a\033]52;c;eA==\007b", "-h"}, "", dir.path());
    EXPECT_EQ(esc.err, archive_usage(archive, "a\\033]52;c;eA==\\007b"));
    // -u without an operand: the archive extracts itself.
    RunResult self = run({archive, "-u", "-x"}, "", dir.path());
    EXPECT_EQ(self.status, 0) << self.err;
    EXPECT_EQ(self.out, "payload");
}

TEST_F(Builder, ListsAnArchiveFileThatIsNotExecutable) {
    file("in", "payload");
    RunResult b = kelpa({"-a", "-C", "plain file", "in"});
    ASSERT_EQ(b.status, 0);
    file("pkg.run", b.out, 0644);  // e.g. just downloaded: no execute bit
    RunResult l = kelpa({"-l", "pkg.run"});
    EXPECT_EQ(l.status, 0) << l.err;
    EXPECT_NE(l.out.find("Comment: plain file\n"), std::string::npos) << l.out;
    RunResult missing = kelpa({"-l", "absent.run"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
}

TEST_F(Builder, OverlongArgumentsAreRefused) {
    file("in", "x");
    std::string long_arg(1024, 'c');
    RunResult r = kelpa({"-a", "-C", long_arg, "in"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("the argument of -C is longer than 1023 characters"), std::string::npos);

    RunResult ok = kelpa({"-a", "-C", std::string(1023, 'c'), "in"});
    EXPECT_EQ(ok.status, 0);

    RunResult item = kelpa({"-a", "-V", std::string(300, 'v'), "in"});
    EXPECT_EQ(item.status, 1);
    EXPECT_NE(item.err.find("does not fit into the feature list"), std::string::npos);

    // The longest name a directory holds is stored whole, and extracted under it.
    std::string longname(255, 'n');
    file(longname, "x");
    RunResult name = kelpa({"-a", "-f", "cat > %o", longname});
    EXPECT_EQ(name.status, 0) << name.err;
    EXPECT_NE(name.out.find("NAME=" + longname + ",KELPA_CRC="), std::string::npos);
    ::mkdir((dir / "x").c_str(), 0755);
    std::string arc = file("x/long.run", name.out, 0755);
    RunResult x = run({arc}, "", dir / "x");
    EXPECT_EQ(x.status, 0) << x.err;
    EXPECT_EQ(kt::read_file(dir / ("x/" + longname)), "x");
}

TEST_F(Builder, ArchivesAreReproducible) {
    file("in", kt::text_bytes(20000, 3));
    RunResult a = kelpa({"-a", "in"});
    RunResult b = kelpa({"-a", "in"});
    ASSERT_EQ(a.status, 0);
    EXPECT_EQ(a.out, b.out);
}

// The same archive on one thread, on three, and on two with one CPU to run on, of two members:
// one just over a chunk (the smallest input given threads), one of several chunks.
TEST_F(Builder, SameArchiveOnAnyNumberOfThreads) {
    const std::string mixed = kt::text_bytes(400000, 5) + kt::random_bytes(300000, 6) +
                              std::string(200000, '\0') + kt::text_bytes(300000, 7);
    file("a", mixed.substr(0, 256 * 1024 + 1));
    file("b", mixed);
    const std::string build = kt::quote(bin) + " a b";
    RunResult one = kt::sh("KELPA_THREADS=1 " + build, "", dir.path());
    ASSERT_EQ(one.status, 0) << one.err;
    for (const char *threads : {"KELPA_THREADS=3 ", "KELPA_THREADS=2 taskset -c 0 "}) {
        RunResult r = kt::sh(threads + build, "", dir.path());
        EXPECT_EQ(r.status, 0) << threads << r.err;
        EXPECT_TRUE(r.out == one.out) << threads;
    }
}

// Runs a command line with bash -o pipefail, so that a pipe's status is kelpa's.
RunResult bash(const std::string &cmdline, const std::string &cwd) {
    return run({"bash", "-o", "pipefail", "-c", cmdline}, "", cwd);
}

// KELPA_SIGN_KEY signs: a file is written once and signed from what it holds (after other
// output too), a pipe gets the archive written twice; the same bytes either way, verified.
// (ssh-keygen alone checks a signed archive in the README's recipe, which the documentation
// test runs.)
TEST_F(Builder, SignedArchiveIsTheSameThroughAFileOrAPipe) {
    ASSERT_EQ(bash("ssh-keygen -q -t ed25519 -N '' -f key && cp key nopub", dir.path()).status, 0);
    const std::string data = kt::text_bytes(300000, 8);
    file("a", data);
    file("b", kt::random_bytes(70000, 9));
    const std::string build = kt::quote(bin) + " a b";
    for (const std::string &cmd : {"(printf x; KELPA_SIGN_KEY=key " + build + ") > o.run",
                                   "KELPA_SIGN_KEY=nopub " + build + " | cat > p.run"}) {
        RunResult r = bash(cmd, dir.path());
        EXPECT_EQ(r.status, 0) << cmd << r.err;
    }
    const std::string archive = kt::read_file(dir / "o.run").substr(1);
    EXPECT_TRUE(kt::read_file(dir / "p.run") == archive) << "written twice through a pipe";
    file("s.run", archive);
    RunResult v = run({"env", "KELPA_VERIFY_KEY=key.pub", bin, "-l", "s.run"}, "", dir.path());
    EXPECT_EQ(v.status, 0) << v.err;
    EXPECT_EQ(kelpa({"-x", "-u", "s.run"}).out, data) << "extracts with no key to check";
}

// Signing that fails, or gives a signature that kelpa cannot check for the key given, fails
// the build with no archive that looks signed: a file keeps the placeholder, a pipe is empty.
TEST_F(Builder, SigningFailuresLeaveNoSignedLookingArchive) {
    ASSERT_EQ(bash("for k in key other; do ssh-keygen -q -t ed25519 -N '' -f $k; done && "
                   "ssh-keygen -q -t rsa -b 1024 -N '' -f rsa",
                   dir.path())
                  .status,
              0);
    file("in", "data");
    const std::string sign = "exec ssh-keygen -Y sign -n archive@kelpa -f ";
    file("by-other", "#!/bin/sh\n" + sign + kt::quote(dir / "other") + "\n", 0755);
    file("of-other-data", "#!/bin/sh\ncat > /dev/null; echo x | " + sign + "key\n", 0755);
    const std::string item(250, 'i'), kelpa_in = kt::quote(bin) + " -a ";
    const std::string items = "-F " + item + " -F " + item + " -F " + item + " ";
    const std::pair<std::string, std::string> cases[] = {
        {"KELPA_SIGN_KEY=missing " + kelpa_in + "in > f.run", ": missing: No such file"},
        {"KELPA_SIGN_KEY=rsa " + kelpa_in + "in > f.run", ": rsa.pub: the key is not ssh-ed25519"},
        {"KELPA_SIGN_KEY=key KELPA_SSH_KEYGEN=false " + kelpa_in + "in > f.run",
         ": false: failed and gave no signature\n" + bin + ": the archive written is not signed\n"},
        {"KELPA_SIGN_KEY=key KELPA_SSH_KEYGEN=false " + kelpa_in + "in | cat > f.run",
         ": no archive written\n"},
        {"KELPA_SIGN_KEY=key KELPA_SSH_KEYGEN=./by-other " + kelpa_in + "in > f.run",
         ": gave a signature by another key than the one given\n"},
        {"KELPA_SIGN_KEY=key KELPA_SSH_KEYGEN=./of-other-data " + kelpa_in + "in | cat > f.run",
         ": gave a signature that does not verify for the archive written\n"},
        {"KELPA_SIGN_KEY=key " + kelpa_in + items + "in > f.run",
         "the check item and the signature item does not fit"},
        {"KELPA_SIGN_KEY=key " + kelpa_in + "-F KELPA_SIG=x in > f.run",
         "the feature list may not hold KELPA_SIG="},
        {"mkfifo fifo; KELPA_SIGN_KEY=key " + kelpa_in + "in fifo | cat > f.run",
         ": fifo: not a regular file, which a signed archive written to a pipe reads twice"},
    };
    const std::string placeholder = "KELPA_SIG=" + std::string(244, 'A') + '\0';
    for (const auto &[cmd, message] : cases) {
        RunResult r = bash(cmd, dir.path());
        EXPECT_EQ(r.status, 1) << cmd;
        EXPECT_NE(r.err.find(message), std::string::npos) << cmd << "\n" << r.err;
        const std::string out = kt::read_file(dir / "f.run");
        EXPECT_TRUE(out.empty() || out.find(placeholder) != std::string::npos) << cmd;
    }
    // Inputs that read otherwise the second time through a pipe: said, as the signature
    // written does not sign what was written.
    RunResult r =
        bash("KELPA_SIGN_KEY=key " + kelpa_in + "/proc/self/io | cat > f.run", dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(": the inputs changed while the archive was written twice"),
              std::string::npos)
        << r.err;
}

TEST(Stub, NeverContainsTheMarker) {
    std::string self = kt::read_file(kt::kelpa_bin());
    EXPECT_EQ(self.find(kMarker), std::string::npos);
    // A copy used as a stub must also let a reader find the marker right after it.
    EXPECT_NE(self.back(), 'k');
}

TEST(Stub, NeedsNoLibraryAndStaysSmall) {
    if (KELPA_SANITIZED) GTEST_SKIP() << "sanitizer runtimes are linked in this build";
    const std::string bin = kt::quote(kt::kelpa_bin());
    RunResult headers = kt::sh("readelf -lW " + bin);
    ASSERT_EQ(headers.status, 0) << headers.err;
    if (KELPA_STATIC_STUB) {
        // No program interpreter and no dynamic section: the kernel alone starts it.
        EXPECT_EQ(headers.out.find("INTERP"), std::string::npos) << headers.out;
        EXPECT_EQ(headers.out.find("DYNAMIC"), std::string::npos) << headers.out;
    } else {
        RunResult needed = kt::sh("readelf -d " + bin + " | grep NEEDED");
        EXPECT_NE(needed.out.find("libc.so.6"), std::string::npos) << needed.out;
        for (const char *lib : {"libstdc++", "libgcc_s", "libm.so"})
            EXPECT_EQ(needed.out.find(lib), std::string::npos) << lib << " in\n" << needed.out;
    }
    if (std::string(KELPA_BUILD_TYPE) == "Release") {
        std::string self = kt::read_file(kt::kelpa_bin());
        EXPECT_LE(self.size(), 160u * 1024u) << "every archive carries it";
        RunResult syms = kt::sh("readelf -S " + bin + " | grep -c symtab");
        EXPECT_EQ(syms.out, "0\n") << "a Release kelpa is stripped";
    }
}

// A stub that names a program interpreter makes archives that need its C library: the
// builder says so in one line, naming the newest version readelf finds, and builds as asked.
TEST(Stub, BuilderWarnsOnceWhenTheStubIsNotStatic) {
    const std::string bin = kt::kelpa_bin();
    kt::TempDir dir;
    const std::string dynamic = dir / "stub";  // named in the warning as given, "stub"
    kt::write_file(
        dynamic,
        kt::read_file(KELPA_STATIC_STUB ? bin.substr(0, bin.rfind('/')) + "/kelpa-host" : bin),
        0755);
    const std::string interp =
        kt::sh("readelf -lW " + kt::quote(dynamic) +
               " | sed -n 's/.*program interpreter: \\(.*\\)]/\\1/p' | tr -d '\\n'")
            .out;
    ASSERT_FALSE(interp.empty());
    const std::string version =
        kt::sh("readelf -V " + kt::quote(dynamic) +
               " | grep -o 'GLIBC_[0-9.]*' | sort -V | tail -n 1 | tr -d '\\n'")
            .out;
    kt::write_file(dir / "f", "payload\n");
    RunResult r = kt::run({bin, "-p", "stub", "-a", "f"}, "", dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, bin + ": warning: stub is not static: the archive will need " + interp +
                         " and the C library it loads (" + version + " or newer) on the target\n");
    EXPECT_NE(r.out.find("payload\n"), std::string::npos) << "built all the same";
    if (KELPA_STATIC_STUB) {
        RunResult own = kt::run({bin, "-a", "f"}, "", dir.path());
        EXPECT_EQ(own.err, "") << "the static kelpa as its own stub";
    }
}

}  // namespace
