// Archive layout: resolving program names and locating the marker and preamble in files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "driver/kelpa.h"
#include "gzip/gzip.h"

namespace {

const std::string kMarker = std::string("kelpa+") + "magik";

std::string preamble(const std::string &f, const std::string &c, const std::string &r,
                     const std::string &p) {
    return kMarker + f + '\0' + c + '\0' + r + '\0' + p + '\0';
}

struct Located {
    int fd;
    long offset;
};

Located locate(const std::string &path) {
    int fd = find_preamble(path.c_str());
    long off = fd >= 0 ? lseek(fd, 0, SEEK_CUR) : -1;
    return {fd, off};
}

class Preamble : public testing::Test {
   protected:
    kt::TempDir dir;
    std::string file(const std::string &name, const std::string &data) {
        std::string p = dir / name;
        kt::write_file(p, data, 0755);
        return p;
    }
    void SetUp() override {
        static char name[] = "kelpa";
        progname = name;
    }
};

TEST_F(Preamble, ReadsFourStringsAndStopsAtPayload) {
    std::string stub =
        "STUB\x7f"
        "ELF" +
        std::string(100, 'x');
    std::string p =
        file("a.run", stub + preamble("NAME=x", "hello", "./run.sh", "tar xf -") + "PAYLOAD");
    Located l = locate(p);
    ASSERT_GE(l.fd, 0);
    EXPECT_STREQ(features, "NAME=x");
    EXPECT_STREQ(comment, "hello");
    EXPECT_STREQ(run_program, "./run.sh");
    EXPECT_STREQ(pipe_program, "tar xf -");
    long expect_end = static_cast<long>(stub.size() + 11 + 7 + 6 + 9 + 9);
    EXPECT_EQ(preamble_end, expect_end);
    EXPECT_EQ(l.offset, expect_end);
    char buf[8] = {};
    EXPECT_EQ(read(l.fd, buf, 7), 7);
    EXPECT_STREQ(buf, "PAYLOAD");
    close(l.fd);
}

TEST_F(Preamble, EmptyStringsGivePreambleEndStubPlus15) {
    std::string stub(5000, 'S');
    std::string p = file("e.run", stub + preamble("", "", "", ""));
    Located l = locate(p);
    ASSERT_GE(l.fd, 0);
    EXPECT_EQ(preamble_end, 5000 + 15);
    close(l.fd);
}

TEST_F(Preamble, FileEndingWithMarkerGivesDescriptorAtEnd) {
    strcpy(features, "stale");
    std::string p = file("m.run", std::string(10, 'S') + kMarker);
    Located l = locate(p);
    ASSERT_GE(l.fd, 0);
    EXPECT_EQ(preamble_end, 21);
    EXPECT_STREQ(features, "") << "strings of a preamble that is not there are left empty";
    close(l.fd);
}

TEST_F(Preamble, MarkerStraddlingReadBoundaryIsFound) {
    // Reads are 8191 bytes: place the marker across the first boundary at every split.
    for (size_t split = 1; split < 11; ++split) {
        std::string stub(8191 - split, 'S');
        std::string p = file("s.run", stub + preamble("F", "C", "R", "P"));
        Located l = locate(p);
        ASSERT_GE(l.fd, 0) << "split " << split;
        EXPECT_STREQ(comment, "C");
        EXPECT_EQ(preamble_end, static_cast<long>(stub.size() + 11 + 8));
        close(l.fd);
    }
}

TEST_F(Preamble, MarkerPrecededByItsFirstLetterIsNotRecognised) {
    std::string p = file("k.run", std::string("stubk") + preamble("", "", "", ""));
    EXPECT_EQ(locate(p).fd, -1);
    // ... but a later complete occurrence is.
    std::string q =
        file("k2.run", std::string("stubk") + kMarker + "zz" + preamble("F2", "", "", ""));
    Located l = locate(q);
    ASSERT_GE(l.fd, 0);
    EXPECT_STREQ(features, "F2");
    close(l.fd);
}

TEST_F(Preamble, MarkerAcrossReadBoundariesIsFound) {
    // The file is read MARKER_SCAN_READ bytes at a time; the partial match carries over.
    for (size_t split = 0; split <= EOP_SIZE; split++) {
        std::string stub(MARKER_SCAN_READ - split, 'x');
        Located l = locate(file("split.run", stub + preamble("F", "", "", "")));
        ASSERT_GE(l.fd, 0) << split;
        EXPECT_STREQ(features, "F");
        EXPECT_EQ(preamble_end, static_cast<long>(stub.size() + EOP_SIZE + 5)) << split;
        close(l.fd);
    }
}

TEST(MarkerScan, StateAndEndOffset) {
    get_eop();
    const std::string m(eop, EOP_SIZE);
    struct Case {
        std::string bytes;
        size_t e_in, e_out, end;
    } cases[] = {
        {"", 0, 0, 0},
        {"xyz", 0, 0, 3},
        {m, 0, EOP_SIZE, EOP_SIZE},
        {"ab" + m + "cd", 0, EOP_SIZE, 2 + EOP_SIZE},
        {m.substr(0, 4), 0, 4, 4},                          // partial match kept for the next piece
        {m.substr(4) + "tail", 4, EOP_SIZE, EOP_SIZE - 4},  // ... and completed there
        // The byte that breaks a partial match is not re-compared, so this marker is missed;
        // its last byte is its first, which leaves a one-byte partial match.
        {m.substr(0, 1) + m, 0, 1, 1 + EOP_SIZE},
        {m.substr(0, 3) + "q" + m, 0, EOP_SIZE, 4 + EOP_SIZE},
    };
    for (const Case &c : cases) {
        size_t e = c.e_in;
        EXPECT_EQ(scan_for_marker(c.bytes.data(), c.bytes.size(), e), c.end) << c.bytes;
        EXPECT_EQ(e, c.e_out) << c.bytes;
    }
}

TEST_F(Preamble, FirstOfTwoMarkersWins) {
    std::string p =
        file("two.run", "S" + preamble("A", "B", "C", "D") + preamble("E", "F", "G", "H"));
    Located l = locate(p);
    ASSERT_GE(l.fd, 0);
    EXPECT_STREQ(features, "A");
    EXPECT_EQ(preamble_end, 1 + 11 + 8);
    close(l.fd);
}

TEST_F(Preamble, NoMarkerOrMissingFile) {
    EXPECT_EQ(locate(file("plain", std::string(20000, 'x'))).fd, -1);
    EXPECT_EQ(locate(file("empty", "")).fd, -1);
    EXPECT_EQ(locate(file("partial", "abc" + kMarker.substr(0, 10))).fd, -1);
}

TEST_F(Preamble, StringsOfMaximumLengthAndLonger) {
    std::string s1023(1023, 'c');
    Located l = locate(file("max.run", "S" + preamble("", s1023, "", "") + "X"));
    ASSERT_GE(l.fd, 0);
    EXPECT_EQ(std::string(comment), s1023);
    close(l.fd);
    // A string the builder can never write is refused rather than cut, which would shift
    // the later strings and could change the command that runs.
    for (size_t n : {1024u, 100000u}) {
        std::string big(n, 'c');
        testing::internal::CaptureStderr();
        EXPECT_EQ(locate(file("big.run", "S" + preamble("", big, "", "") + "X")).fd, -1) << n;
        EXPECT_NE(testing::internal::GetCapturedStderr().find("damaged preamble"),
                  std::string::npos);
    }
}

TEST_F(Preamble, FileEndingInsidePreambleGivesDescriptorAtEnd) {
    std::string full = "S" + preamble("FEAT", "COMMENT", "RUN", "PIPE");
    for (size_t cut = 12; cut < full.size(); ++cut) {
        Located l = locate(file("cut.run", full.substr(0, cut)));
        ASSERT_GE(l.fd, 0) << cut;
        EXPECT_EQ(preamble_end, static_cast<long>(cut));
        EXPECT_LE(strlen(features), 4u);
        EXPECT_LE(strlen(pipe_program), 4u);
        close(l.fd);
    }
}

TEST_F(Preamble, ArchiveFileThatIsNotExecutableIsStillRead) {
    std::string p = dir / "plain.run";
    kt::write_file(p, "S" + preamble("F", "C", "", ""), 0644);
    Located l = locate(p);
    ASSERT_GE(l.fd, 0);
    EXPECT_STREQ(comment, "C");
    close(l.fd);
}

// An archive named on the command line is a file: a bare name is the file of that name in the
// current directory, never a program found on PATH, and a missing one is reported as such.
TEST_F(Preamble, BareArchiveNameIsAFileNotACommand) {
    std::string bin = dir / "bin";
    mkdir(bin.c_str(), 0755);
    kt::write_file(bin + "/arc", "S" + preamble("FROM-PATH", "", "", ""), 0755);
    kt::write_file(dir / "arc", "S" + preamble("FROM-CWD", "", "", ""), 0644);
    std::string old_path = getenv("PATH") ? getenv("PATH") : "";
    std::string old_cwd = kt::sh("pwd").out;
    old_cwd.pop_back();
    setenv("PATH", bin.c_str(), 1);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    Located l = locate("arc");
    EXPECT_GE(l.fd, 0);
    EXPECT_STREQ(features, "FROM-CWD");
    if (l.fd >= 0) close(l.fd);
    testing::internal::CaptureStderr();
    EXPECT_EQ(find_preamble("no-such-archive\033[2J"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("no-such-archive\\033[2J: ") + strerror(ENOENT) + "\n");
    setenv("PATH", old_path.c_str(), 1);
    ASSERT_EQ(chdir(old_cwd.c_str()), 0);
}

TEST_F(Preamble, UnopenableFileIsReportedWithPerror) {
    // A dot-relative name is opened as it stands, so a missing one reaches open().
    testing::internal::CaptureStderr();
    EXPECT_EQ(find_preamble("./definitely/not/here"), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, std::string("./definitely/not/here: ") + strerror(ENOENT) + "\n");
}

TEST(FindProgram, ResolvesLikeExec) {
    kt::TempDir dir;
    std::string d1 = dir / "d1", d2 = dir / "d2", d3 = dir / "d3";
    mkdir(d1.c_str(), 0755);
    mkdir(d2.c_str(), 0755);
    mkdir(d3.c_str(), 0755);
    kt::write_file(d1 + "/tool", "x", 0644);  // not executable: skipped
    mkdir((d2 + "/tool").c_str(), 0755);      // a directory: skipped
    kt::write_file(d3 + "/tool", "x", 0755);
    std::string old_path = getenv("PATH") ? getenv("PATH") : "";
    std::string old_cwd = kt::sh("pwd").out;
    old_cwd.pop_back();
    setenv("PATH", (d1 + ":" + d2 + ":" + d3).c_str(), 1);
    char *r = find_program("tool");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::string(r), d3 + "/tool");

    // A bare name is looked up on PATH alone, never in the current directory.
    kt::write_file(dir / "here", "x", 0755);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    EXPECT_EQ(find_program("here"), nullptr);
    // An empty name is no program (a PATH element joined with it is a directory).
    EXPECT_EQ(find_program(""), nullptr);
    ASSERT_EQ(chdir(old_cwd.c_str()), 0);

    EXPECT_EQ(find_program("absent-tool"), nullptr);
    // A name with a '/' is a path: taken as it stands.
    r = find_program("./absent-tool");
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, "./absent-tool");
    std::string abs = d3 + "/tool";
    r = find_program(abs.c_str());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::string(r), abs);

    unsetenv("PATH");
    EXPECT_EQ(find_program("tool"), nullptr);
    setenv("PATH", old_path.c_str(), 1);
}

TEST(FindProgram, OverlongNameIsNotResolved) {
    std::string longname(2000, 'a');
    EXPECT_EQ(find_program(longname.c_str()), nullptr);
}

// What a dynamically linked stub needs, read from its ELF headers: readelf is the oracle for
// the whole file; every prefix and every header byte set to 0xff reads nothing outside the
// stub (each copy is exactly as long as the stub, for AddressSanitizer) and yields nothing
// wrong.
TEST(StubInterpreter, AsReadelfReadsItAndNoReadOutsideTheStub) {
    char resolved[PATH_MAX];
    ASSERT_NE(realpath("/bin/sh", resolved), nullptr);
    const std::string path = resolved, elf = kt::read_file(path);
    const std::string interp =
        kt::sh("readelf -lW " + kt::quote(path) +
               " | sed -n 's/.*program interpreter: \\(.*\\)]/\\1/p' | tr -d '\\n'")
            .out;
    ASSERT_FALSE(interp.empty()) << path << " is not dynamically linked";
    const std::string version =
        kt::sh("readelf -V " + kt::quote(path) +
               " | grep -o 'GLIBC_[0-9.]*' | sort -V | tail -n 1 | tr -d '\\n'")
            .out;
    ASSERT_FALSE(version.empty());

    char got_interp[STUB_INTERP_SIZE], got_version[STUB_VERSION_SIZE];
    auto read = [&](const std::string &image) {
        std::vector<char> copy(image.begin(), image.end());
        return stub_interpreter(copy.data(), copy.size(), got_interp, sizeof got_interp,
                                got_version, sizeof got_version);
    };
    ASSERT_TRUE(read(elf));
    EXPECT_EQ(got_interp, interp);
    EXPECT_EQ(got_version, version);
    const size_t head = std::min<size_t>(elf.size(), 16384);
    for (size_t n = 0; n < head; n++) {
        if (read(elf.substr(0, n))) {
            EXPECT_TRUE(got_interp[0] == 0 || got_interp == interp) << n;
        }
        EXPECT_TRUE(got_version[0] == 0 || std::string(got_version).rfind("GLIBC_", 0) == 0) << n;
    }
    // One copy of exactly the file's size (a read past it is the sanitizers' to catch), each
    // byte of its head changed in turn and put back.
    std::vector<char> bad(elf.begin(), elf.end());
    for (size_t i = 0; i < head; i++) {
        const char was = bad[i];
        bad[i] = '\xff';
        stub_interpreter(bad.data(), bad.size(), got_interp, sizeof got_interp, got_version,
                         sizeof got_version);
        EXPECT_LT(strlen(got_interp), sizeof got_interp) << i;
        bad[i] = was;
    }
    const std::string static_kelpa = kt::read_file(kt::kelpa_bin());
    if (KELPA_STATIC_STUB) {
        EXPECT_FALSE(read(static_kelpa));
    }
}

// The stub's architecture from its ELF header alone: e_machine of a little-endian ELF-64 file,
// 0 for anything else; hand-built headers.
TEST(StubMachine, ElfHeaderMachineOrZero) {
    auto header = [](char cls, char data, unsigned machine, size_t size) {
        std::string h(size, '\0');
        h.replace(0, 4, "\177ELF");
        if (size > 5) h[4] = cls, h[5] = data;
        if (size > 0x13)
            h[0x12] = static_cast<char>(machine & 0xff), h[0x13] = static_cast<char>(machine >> 8);
        return h;
    };
    const struct {
        std::string stub;
        unsigned machine;
    } rows[] = {{header(2, 1, 183, 64), 183}, {header(2, 1, 62, 4096), 62},
                {header(2, 1, 183, 63), 0},   {header(1, 1, 40, 64), 0},
                {header(2, 2, 183, 64), 0},   {std::string(64, 'x'), 0}};
    for (const auto &r : rows) {
        std::vector<char> copy(r.stub.begin(), r.stub.end());
        EXPECT_EQ(stub_machine(copy.data(), copy.size()), r.machine) << r.stub.size();
    }
    const std::string self = kt::read_file(kt::kelpa_bin());
    EXPECT_EQ(stub_machine(self.data(), self.size()), own_machine()) << "kelpa is its own stub";
}

}  // namespace
