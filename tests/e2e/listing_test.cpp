// The built kelpa listing archives: preamble lines, the statistics line with and without -v,
// headers once per run, uncompressed archives and failures.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "common/test_util.h"
#include "driver/archive_maker.h"

namespace {

using kt::RunResult;

// The ratio column: tenths of a per cent, truncated, sign or blank in front.
std::string ratio_text(long num, long den) {
    long r = den == 0 ? 0 : den < 2147483 ? 1000 * num / den : num / (den / 1000);
    char buf[32];
    snprintf(buf, sizeof buf, "%c%2ld.%1ld%%", r < 0 ? '-' : ' ', (r < 0 ? -r : r) / 10,
             (r < 0 ? -r : r) % 10);
    return buf;
}

// The statistics line of a single-member archive whose member is `member`, stored as `name`.
std::string stats_line(const std::string &member, const std::string &name, bool verbose,
                       uint32_t mtime) {
    long in = static_cast<long>(member.size());
    long out = kt::le32_at(member, member.size() - 4);
    long header_bytes = 10 + (name.empty() ? 0 : static_cast<long>(name.size()) + 1) + 16;
    char buf[256];
    std::string line;
    if (verbose) {
        time_t t = mtime;
        std::string date = std::string(ctime(&t)).substr(4, 12);
        snprintf(buf, sizeof buf, "%5s %08lx %11s ", "defla",
                 static_cast<unsigned long>(kt::le32_at(member, member.size() - 8)), date.c_str());
        line += buf;
    }
    snprintf(buf, sizeof buf, "%9ld %9ld ", in, out);
    return line + buf + ratio_text(out - (in - header_bytes), out) + " " + name + "\n";
}

const std::string kHeader = "compressed  uncompr. ratio uncompressed_name\n";
const std::string kVerboseHeader = "method  crc     date  time  " + kHeader;

class Listing : public testing::Test {
   protected:
    kt::TempDir dir;
    std::string text = kt::text_bytes(100000, 7);
    std::string member = kt::gzip_member(text, "notes.txt", 1700000000);
    RunResult list(const std::vector<std::string> &args) { return kt::run(args, "", dir.path()); }
};

TEST_F(Listing, CompressedArchiveWithAndWithoutVerbose) {
    kt::write_archive(dir / "a.run",
                      kt::preamble("KV_VENDOR=acme,NAME=notes.txt", "Notes", "sh ./setup", ""),
                      member);
    const std::string head =
        "Feature: KV_VENDOR=acme,NAME=notes.txt\nComment: Notes\n    Run: sh ./setup\n"
        "Extract: cat > %p/%o\n";
    RunResult r = list({"./a.run", "-l"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, head + kHeader + stats_line(member, "notes.txt", false, 0));
    EXPECT_EQ(r.err, "");

    r = list({"./a.run", "-l", "-v"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, head + kVerboseHeader + stats_line(member, "notes.txt", true, 1700000000));
    // Sizes are those of the payload and of the trailer's ISIZE.
    EXPECT_NE(r.out.find(std::to_string(member.size()) + "    100000 "), std::string::npos)
        << r.out;
}

TEST_F(Listing, ControlCharactersAreShownInOctal) {
    // ESC, BEL, CR, backspace and DEL in every printed field; UTF-8 and backslashes stay.
    const std::string hostile = "a\x1b[2J\a\r\b\x7f caf\xc3\xa9 \\n";
    const std::string shown = "a\\033[2J\\007\\015\\010\\177 caf\xc3\xa9 \\n";
    std::string m = kt::gzip_member("x", hostile);
    kt::write_archive(dir / "c.run", kt::preamble("K=" + hostile, hostile, hostile, hostile), m);
    RunResult r = list({"./c.run", "-l"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string stats = stats_line(m, hostile, false, 0);
    stats.replace(stats.size() - hostile.size() - 1, hostile.size(), shown);
    EXPECT_EQ(r.out, "Feature: K=" + shown + "\nComment: " + shown + "\n    Run: " + shown +
                         "\nExtract: " + shown + "\n" + kHeader + stats);
}

// A multi-line comment stays readable, its lines under the first; every message of an
// extraction that shows archive text (banner, stored name, failed command) shows no control
// character but newline and tab.
TEST_F(Listing, MultiLineTextAndMessagesShowNoControls) {
    const std::string comment = "Acme Tool 2.0\n\tInstaller\x1b]52;c;QQ==\a";
    std::string m = kt::gzip_member("x", "n\x1b[2Jame");
    kt::write_archive(dir / "m.run", kt::preamble("", comment, "", "exit 3; \x1b[2J"), m);
    RunResult l = list({"./m.run", "-l"});
    EXPECT_NE(l.out.find("Comment: Acme Tool 2.0\n         \tInstaller\\033]52;c;QQ==\\007\n"),
              std::string::npos)
        << l.out;
    RunResult x = list({"./m.run"});
    EXPECT_EQ(x.status, 1);
    EXPECT_EQ(x.err.find_first_of("\x1b\a\r"), std::string::npos) << x.err;
    EXPECT_NE(x.err.find("status 3: exit 3; \\033[2J\n"), std::string::npos) << x.err;
    // The fatal messages of the stream layer name the archive the same way.
    const std::string cut = "t\x1b[2J.run";
    kt::write_archive(dir / cut, kt::preamble("", "", "", ""), m.substr(0, 12));
    RunResult t = list({kt::kelpa_bin(), "-u", cut});
    EXPECT_EQ(t.status, 1);
    EXPECT_NE(t.err.find("t\\033[2J.run: unexpected end of file"), std::string::npos) << t.err;
}

TEST_F(Listing, SeveralArchivesShareOneHeader) {
    std::string m2 = kt::gzip_member(std::string(5000, 'z'), "zeros");
    kt::write_archive(dir / "a.run", kt::preamble("", "A", "", "tar xf -"), member);
    kt::write_archive(dir / "b.run", kt::preamble("", "B", "", ""), m2);
    RunResult r = list({kt::kelpa_bin(), "-l", "a.run", "b.run"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Comment: A\n    Run: \nExtract: tar xf -\n" + kHeader +
                         stats_line(member, "notes.txt", false, 0) +
                         "Comment: B\n    Run: \nExtract: cat > %p/%o\n" +
                         stats_line(m2, "zeros", false, 0));
}

TEST_F(Listing, TwoMembersReportTheLastTrailerAndTheWholePayload) {
    std::string m1 = kt::gzip_member(std::string(100, 'a'), "one");
    std::string m2 = kt::gzip_member(std::string(50, 'b'), "two");
    kt::write_archive(dir / "two.run", kt::preamble("", "T", "", ""), m1 + m2);
    RunResult r = list({"./two.run", "-l"});
    EXPECT_EQ(r.status, 0) << r.err;
    char buf[64];
    snprintf(buf, sizeof buf, "%9ld %9ld ", static_cast<long>(m1.size() + m2.size()), 50L);
    EXPECT_NE(r.out.find(std::string(buf)), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" one\n"), std::string::npos) << "the first member's name";
}

TEST_F(Listing, UncompressedArchiveHasNoStatistics) {
    kt::write_file(dir / "in.txt", "raw");
    RunResult b = list({kt::kelpa_bin(), "-a", "in.txt"});
    ASSERT_EQ(b.status, 0);
    kt::write_file(dir / "raw.run", b.out, 0755);
    RunResult r = list({"./raw.run", "-l", "-v"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(
        r.out,
        "Feature: NOCOMPR,NAME=in.txt,KELPA_CRC=" +
            kt::checked_preamble("NOCOMPR,NAME=in.txt", "Self-Extracting archive file", "", "")
                .substr(kt::kMarker.size() + 30, 8) +
            "\nComment: Self-Extracting archive file\n    Run: \n"
            "Extract: cat > %p/%o\nStatistics unavailable because data was not compressed\n");
}

// The signature line: the key's fingerprint as ssh-keygen prints it, verified only with a
// key, and the slot that the users' own check cuts out; another key lists nothing.
TEST_F(Listing, SignatureLineNamesTheKeyAndTheSlot) {
    kt::write_file(dir / "notes.txt", text);
    RunResult k = kt::sh(
        "ssh-keygen -q -t ed25519 -N '' -f key && ssh-keygen -q -t ed25519 -N "
        "'' -f other && " +
            kt::quote(kt::kelpa_bin()) + " notes.txt > s.run && python3 " + kt::source_dir() +
            "/tests/e2e/ssh_sign.py s.run key && ssh-keygen -l -f key.pub",
        "", dir.path());
    ASSERT_EQ(k.status, 0) << k.err;
    const std::string fingerprint = k.out.substr(k.out.find("SHA256:"), 50);
    const std::string arc = kt::read_file(dir / "s.run");
    const size_t end = arc.find('\0', arc.find("kelpa+magik"));
    const std::string line = " Signed: ssh-ed25519 " + fingerprint + " (%s), text in bytes [" +
                             std::to_string(end - 244) + ", " + std::to_string(end) + ")\n";
    auto expected = [&](const char *state) {
        return line.substr(0, line.find("%s")) + state + line.substr(line.find("%s") + 2);
    };
    RunResult plain = list({kt::kelpa_bin(), "-l", "s.run"});
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_NE(plain.out.find("Extract: cat > %p/%o\n" + expected("not verified") + kHeader),
              std::string::npos)
        << plain.out;
    RunResult keyed = list({"env", "KELPA_VERIFY_KEY=key.pub", kt::kelpa_bin(), "-l", "s.run"});
    EXPECT_EQ(keyed.out, plain.out.replace(plain.out.find("not verified"), 12, "verified"));
    RunResult other = list({"env", "KELPA_VERIFY_KEY=other.pub", kt::kelpa_bin(), "-l", "s.run"});
    EXPECT_EQ(other.status, 1);
    EXPECT_EQ(other.out, "");
}

TEST_F(Listing, FailuresSetTheExitStatus) {
    kt::write_file(dir / "plain", "nothing");
    kt::write_archive(dir / "bad.run", kt::preamble("", "Bad", "", ""), "not gzip data");
    kt::write_archive(dir / "good.run", kt::preamble("", "Good", "", ""), member);
    RunResult r = list({kt::kelpa_bin(), "-l", "./plain", "bad.run", "good.run"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "./plain: unable to find preamble magic value\n" + kt::kelpa_bin() +
                         ": can only handle GZIP compression method\n");
    EXPECT_EQ(r.out, "Comment: Good\n    Run: \nExtract: cat > %p/%o\n" + kHeader +
                         stats_line(member, "notes.txt", false, 0))
        << "nothing is listed for the failed files";
}

}  // namespace
