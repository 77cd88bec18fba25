// The built kelpa binary as a builder: archive layout, options, usage texts, exit statuses,
// and the properties every stub must have.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/test_util.h"
#include "e2e/archive_maker.h"

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
    RunResult r = kelpa({"-a", "-C", "My tool 1.0", "-f", "tar xf -", "-r", "./install.sh", "pkg.tar"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, stub + kt::checked_preamble("NOCOMPR,NAME=pkg.tar", "My tool 1.0", "./install.sh", "tar xf -") + tar);
}

TEST_F(Builder, FeatureItemsInOptionOrderWithNameLast) {
    file("c.tar", "second");
    ::mkdir((dir / "a").c_str(), 0755);
    ::mkdir((dir / "a/b").c_str(), 0755);
    file("a/b/file.tar", "first");
    RunResult r = kelpa({"-V", "/opt", "-S", "sub", "-O", "acme", "-F", "X=1,Y", "-a",
                         "a/b/file.tar", "c.tar"});
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
    EXPECT_EQ(r.out, stub + kt::checked_preamble("NOCOMPR,NAME=good", "Self-Extracting archive file", "", "") + "GOOD");
    // The first input is the one extracted: without it there is no archive at all.
    r = kelpa({"-a", "missing", "good"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
}

TEST_F(Builder, UnreadableInputEndsTheBuildWithReadError) {
    ::mkdir((dir / "adir").c_str(), 0755);
    RunResult r = kelpa({"-a", "adir"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("adir: Is a directory"), std::string::npos) << r.err;
}

TEST_F(Builder, HeadFailuresWriteNothingAndExit1) {
    file("in", "data");
    file("stub-k", "STUB ENDING WITH k", 0755);
    file("stub-marker", "A" + kMarker + "B", 0755);
    ::mkdir((dir / "stubdir").c_str(), 0755);
    struct Case {
        std::string stub;
        std::string message;
    } cases[] = {
        {"no-such-stub", bin + ": unable to find kelpa to build preamble\n"},
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

TEST_F(Builder, AnotherStubIsCopiedByteForByte) {
    std::string other = "#!/bin/sh\necho custom stub\nexit 0\n";
    file("other", other, 0755);
    file("in", "xyz");
    RunResult r = kelpa({"-a", "-p", dir / "other", "in"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, other + kt::checked_preamble("NOCOMPR,NAME=in", "Self-Extracting archive file", "", "") + "xyz");
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
              stub + kt::checked_preamble("NAME=NOCOMPR.img", "Self-Extracting archive file", "", "") + data);
    std::string archive = file("img.run", r.out, 0755);
    EXPECT_EQ(run({archive, "-x"}, "", dir.path()).out, data);
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

    std::string longname(251, 'n');  // "NAME=" + 251 characters exceeds an item
    file(longname, "x");
    RunResult name = kelpa({"-a", longname});
    EXPECT_EQ(name.status, 1);
    EXPECT_EQ(name.out, "");
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

TEST(Stub, NeverContainsTheMarker) {
    std::string self = kt::read_file(kt::kelpa_bin());
    EXPECT_EQ(self.find(kMarker), std::string::npos);
    // A copy used as a stub must also let a reader find the marker right after it.
    EXPECT_NE(self.back(), 'k');
}

TEST(Stub, NeedsOnlyTheCLibraryAndStaysSmall) {
    if (KELPA_SANITIZED) GTEST_SKIP() << "sanitizer runtimes are linked in this build";
    RunResult r = kt::sh("readelf -d " + kt::quote(kt::kelpa_bin()) + " | grep NEEDED");
    std::string needed = r.out;
    EXPECT_NE(needed.find("libc.so.6"), std::string::npos) << needed;
    for (const char *lib : {"libstdc++", "libgcc_s", "libm.so"})
        EXPECT_EQ(needed.find(lib), std::string::npos) << lib << " in\n" << needed;
    if (std::string(KELPA_BUILD_TYPE) == "Release") {
        std::string self = kt::read_file(kt::kelpa_bin());
        EXPECT_LT(self.size(), 128u * 1024u);
        RunResult syms = kt::sh("readelf -S " + kt::quote(kt::kelpa_bin()) + " | grep -c symtab");
        EXPECT_EQ(syms.out, "0\n") << "a Release kelpa is stripped";
    }
}

}  // namespace
