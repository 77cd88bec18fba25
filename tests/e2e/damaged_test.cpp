// A catalogue of damaged and hostile archives, each run through the built kelpa with -u the
// way a user points it at a file of unknown origin: the exit status, the message, and that
// nothing but the expected output appeared (the post-extraction command "touch ran" never
// runs for a refused archive). Cases already covered elsewhere are not repeated here:
// tests/e2e/extract_test.cpp (DamagedArchivesEndWithMessageAndStatus1: CRC, length, cut in
// half, format, foreign magic, method 9, refused names; empty raw payload in
// OptionsSkipOrConfirmThePostExtractionCommand) and tests/inflate (each decoder result code).
// A run that gets as far as the extraction command pauses 2 seconds, so cases run in
// parallel threads.
#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gzip/decode_harness.h"
#include "common/test_util.h"
#include "driver/archive_maker.h"

namespace {

using kt::BitWriter;
using kt::RunResult;

// A file need not be a program to be extracted with -u; a short stub keeps the catalogue
// cheap to write.
const std::string kStub = "#!/bin/false\nnot a program\n";
const std::string kRun = "touch ran";
const std::string kPipe = "cat > extracted";

std::string pre(const std::string &features = "", const std::string &comment = "",
                const std::string &run = kRun, const std::string &pipe = kPipe) {
    return kt::preamble(features, comment, run, pipe);
}

// What a case must end with. status 0: "extracted" holds `output` and "ran" exists.
// status 1: stderr holds every one of `msgs` and the directory holds nothing but the archive:
// a damaged member is found before the extraction command is started.
struct Case {
    std::string what;
    std::string file;  // the whole archive file
    int status;
    std::vector<std::string> msgs{};
    std::string output{};
};

struct Outcome {
    RunResult r;
    std::set<std::string> files;
    std::string extracted;
};

std::set<std::string> list_dir(const std::string &dir) {
    std::set<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

// Runs every case in its own directory, many at a time.
std::vector<Outcome> run_all(const std::vector<Case> &cases) {
    std::vector<Outcome> out(cases.size());
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t i; (i = next++) < cases.size();) {
            kt::TempDir d;
            kt::write_file(d / "arc", cases[i].file, 0755);
            out[i].r = kt::run({kt::kelpa_bin(), "-u", "arc"}, "", d.path());
            out[i].files = list_dir(d.path());
            if (out[i].files.count("extracted")) out[i].extracted = kt::read_file(d / "extracted");
        }
    };
    std::vector<std::thread> pool;
    for (int t = 0; t < 24; ++t) pool.emplace_back(worker);
    for (auto &t : pool) t.join();
    return out;
}

void check_all(const std::vector<Case> &cases) {
    std::vector<Outcome> out = run_all(cases);
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case &c = cases[i];
        const Outcome &o = out[i];
        SCOPED_TRACE(c.what);
        EXPECT_EQ(o.r.status, c.status) << o.r.err;
        for (const auto &m : c.msgs) EXPECT_NE(o.r.err.find(m), std::string::npos) << o.r.err;
        std::set<std::string> want = {"arc"};
        if (c.status == 0) {
            want.insert({"extracted", "ran"});
            EXPECT_EQ(o.extracted, c.output);
        }
        EXPECT_EQ(o.files, want);
    }
}

const std::string kEof = "unexpected end of file";
const std::string kFormat = "invalid compressed data--format violated";
const std::string kNoPreamble = "arc: unable to find preamble magic value";
const std::string kUnknown = "unknown compression method";

// A member around a raw DEFLATE stream whose trailer describes `plain`.
std::string member(const std::string &deflate, const std::string &plain) {
    return kt::wrap_member(deflate, plain);
}

std::string archive(const std::string &payload, const std::string &preamble = pre()) {
    return kStub + preamble + payload;
}

// ---- Dynamic block headers (RFC 1951 section 3.2.7) ----------------------------------------

const unsigned kBorder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Code-length code used below: symbols 0..12 get 4 bits, 13..18 get 5 bits (13/16 + 6/32 = 1,
// complete). Canonical codes (RFC 1951 3.2.2): 0..12 -> 0000..1100, 13..18 -> 11010..11111.
void cl_sym(BitWriter &w, unsigned s) {
    if (s <= 12)
        w.code(s, 4);
    else
        w.code(0x1a + (s - 13), 5);
}

// Starts a final dynamic block with HLIT/HDIST fields hlit, hdist (raw 5-bit values) and the
// complete code-length code above; the caller sends the lengths.
BitWriter dyn_head(unsigned hlit, unsigned hdist) {
    BitWriter w;
    w.bits(1, 1).bits(2, 2);         // BFINAL, BTYPE = 2
    w.bits(hlit, 5).bits(hdist, 5);  // HLIT, HDIST
    w.bits(15, 4);                   // HCLEN: all 19 code-length lengths follow
    for (unsigned i = 0; i < 19; i++) w.bits(kBorder[i] <= 12 ? 4 : 5, 3);
    return w;
}

// A dynamic block that sends nl + nd lengths plainly (no repeat codes).
BitWriter dyn_lengths(const std::vector<unsigned> &lit, const std::vector<unsigned> &dist) {
    BitWriter w =
        dyn_head(static_cast<unsigned>(lit.size() - 257), static_cast<unsigned>(dist.size() - 1));
    for (unsigned l : lit) cl_sym(w, l);
    for (unsigned l : dist) cl_sym(w, l);
    return w;
}

// Fixed-code match (RFC 1951 3.2.5/3.2.6): length 3 (symbol 257) at distance `dist`, where
// dist lies in 97..128 (distance code 13, 5 extra bits).
void fixed_len3_dist(BitWriter &w, unsigned dist) {
    w.fixed_sym(257);
    w.code(13, 5).bits(dist - 97, 5);
}

std::vector<Case> stream_cases() {
    std::vector<Case> cs;
    auto bad = [&](const std::string &what, const std::string &deflate,
                   std::vector<std::string> m) {
        m.push_back(kFormat);
        cs.push_back({what, archive(member(deflate, "x")), 1, m});
    };
    bad("block type 3", BitWriter().bits(1, 1).bits(3, 2).bits(0, 13).str(), {});
    // The header fields say more lengths than the alphabets have (RFC 1951 3.2.7: HLIT at
    // most 29, HDIST at most 29).
    for (unsigned hlit : {30u, 31u})
        bad("nl " + std::to_string(257 + hlit),
            dyn_head(hlit, 0).bits(0, 16).bits(0, 16).bits(0, 16).bits(0, 16).str(), {});
    for (unsigned hdist : {30u, 31u})
        bad("nd " + std::to_string(1 + hdist),
            dyn_head(0, hdist).bits(0, 16).bits(0, 16).bits(0, 16).bits(0, 16).str(), {});
    {
        BitWriter w;  // code-length code of 19 one-bit codes
        w.bits(1, 1).bits(2, 2).bits(0, 5).bits(0, 5).bits(15, 4);
        for (int i = 0; i < 19; i++) w.bits(1, 3);
        bad("over-subscribed code-length code", w.bits(0, 16).bits(0, 16).str(), {});
    }
    {
        BitWriter w;  // 19 codes of 5 bits cover 19/32 of the code space
        w.bits(1, 1).bits(2, 2).bits(0, 5).bits(0, 5).bits(15, 4);
        for (int i = 0; i < 19; i++) w.bits(5, 3);
        bad("incomplete code-length code", w.bits(0, 16).bits(0, 16).str(), {});
    }
    {
        std::vector<unsigned> lit(257, 0), dist(1, 1);
        lit['a'] = lit['b'] = lit['c'] = 1;  // three codes of one bit
        lit[256] = 1;
        bad("over-subscribed literal/length code",
            dyn_lengths(lit, dist).bits(0, 16).bits(0, 16).str(), {});
    }
    {
        std::vector<unsigned> lit(257, 0), dist(1, 1);
        lit['a'] = 2;  // two codes of two bits: half the code space unused
        lit[256] = 2;
        bad("incomplete literal/length code", dyn_lengths(lit, dist).bits(0, 16).bits(0, 16).str(),
            {" incomplete literal tree\n"});
    }
    {
        std::vector<unsigned> lit(257, 0), dist(4, 1);  // four distance codes of one bit
        lit['a'] = lit[256] = 1;
        bad("over-subscribed distance code", dyn_lengths(lit, dist).bits(0, 16).bits(0, 16).str(),
            {});
    }
    {
        // 250 plain zero lengths, then a run of 138 zeros where 8 lengths are left.
        BitWriter w = dyn_head(0, 0);
        for (int i = 0; i < 250; i++) cl_sym(w, 0);
        cl_sym(w, 18);
        w.bits(127, 7);
        bad("zero run past the end of the lengths", w.bits(0, 16).bits(0, 16).str(), {});
    }
    {
        // 255 lengths of 8, then "repeat the last length 6 times" where 3 lengths are left.
        BitWriter w = dyn_head(0, 0);
        for (int i = 0; i < 255; i++) cl_sym(w, 8);
        cl_sym(w, 16);
        w.bits(3, 2);
        bad("repeat past the end of the lengths", w.bits(0, 16).bits(0, 16).str(), {});
    }
    {
        BitWriter w;  // fixed block: literal/length symbol 286 does not exist
        w.bits(1, 1).bits(1, 2).fixed_sym('a').code(0xc6, 8).fixed_sym(256);
        bad("fixed literal/length symbol 286", w.str(), {});
    }
    {
        BitWriter w;  // fixed block: distance symbol 30 does not exist
        w.bits(1, 1).bits(1, 2).fixed_sym('a').fixed_sym(257).code(30, 5).fixed_sym(256);
        bad("fixed distance symbol 30", w.str(), {});
    }

    // A distance reaching before the first byte of output. The decoder does not compare
    // distances with the output so far; the bytes before the start read as zeros, never as
    // anything left in memory, and the trailer decides.
    BitWriter far;
    far.bits(1, 1).bits(1, 2).fixed_sym('a');
    fixed_len3_dist(far, 100);
    far.fixed_sym(256);
    const std::string zeros_out = std::string("a") + std::string(3, '\0');
    cs.push_back({"distance before the start, trailer of what a sound stream would hold",
                  archive(member(far.str(), "aaaa")),
                  1,
                  {"invalid compressed data--crc error"}});
    cs.push_back({"distance before the start, trailer of the zero bytes",
                  archive(member(far.str(), zeros_out)),
                  0,
                  {},
                  zeros_out});
    return cs;
}

std::vector<Case> layout_cases() {
    std::vector<Case> cs;
    const std::string data = "preamble test data\n";
    const std::string good = kt::gzip_member(data, "d.txt");
    const std::string marker = kt::kMarker;

    cs.push_back({"marker only", kStub + marker, 1, {kEof}});
    cs.push_back({"no marker", kStub + good, 1, {kNoPreamble}});
    cs.push_back({"empty compressed payload", archive(""), 1, {kEof}});
    // What follows the first member is never extracted; the user is told.
    cs.push_back({"junk after the member",
                  archive(good + "junk"),
                  0,
                  {"arc: warning: 4 bytes after the first member are not extracted (they are "
                   "not a gzip member)\n"},
                  data});
    cs.push_back({"a member appended",
                  archive(good + good),
                  0,
                  {"arc: warning: " + std::to_string(good.size()) +
                   " bytes after the first member are not extracted\n"},
                  data});
    // The file ends inside each of the four strings: the strings read so far stand, and
    // the member header is missing.
    const std::string full = pre("FEAT=1", "a comment", kRun, kPipe);
    for (size_t cut : {marker.size() + 3, marker.size() + 9, marker.size() + 18, full.size() - 4})
        cs.push_back({"file ends inside the preamble at " + std::to_string(cut),
                      kStub + full.substr(0, cut),
                      1,
                      {kEof}});

    // Strings of the longest length kept, and one byte more.
    const std::string l1023 = std::string(1023 - kRun.size() - 2, 'r');
    cs.push_back(
        {"four strings of 1023 bytes",
         archive(good, kt::preamble("F=" + std::string(1021, 'f'), std::string(1023, 'c'),
                                    kRun + " #" + l1023,
                                    kPipe + " #" + std::string(1023 - kPipe.size() - 2, 'p'))),
         0,
         {std::string(1023, 'c')},
         data});
    const std::string too_long = "damaged preamble: a string is longer than 1023 bytes";
    for (int which = 0; which < 4; ++which) {
        std::string s[4] = {"", "", kRun, kPipe};
        s[which] = std::string(1024, 'x');
        cs.push_back({"string " + std::to_string(which) + " of 1024 bytes",
                      archive(good, kt::preamble(s[0], s[1], s[2], s[3])),
                      1,
                      {too_long, kNoPreamble}});
    }
    cs.push_back({"comment of 100000 bytes",
                  archive(good, pre("", std::string(100000, 'c'))),
                  1,
                  {too_long, kNoPreamble}});
    cs.push_back({"run command of 100000 bytes without a NUL",
                  kStub + marker + "\0\0" + std::string(100000, 'r'),
                  1,
                  {too_long, kNoPreamble}});

    // Foreign payloads.
    const std::string can_only = "can only handle GZIP compression method";
    cs.push_back({"zip payload",
                  archive(std::string("PK\x03\x04\x14\0\0\0\x08\0", 10) + std::string(40, 'z')),
                  1,
                  {can_only, kUnknown}});
    cs.push_back(
        {"bzip2 payload", archive("BZh91AY&SY" + std::string(40, 'b')), 1, {can_only, kUnknown}});
    cs.push_back({"single byte payload", archive("\x1f"), 1, {kEof}});

    // Stored names at the limit of the name buffer.
    auto named = [&](size_t n) {
        std::string h("\x1f\x8b\x08\x08\0\0\0\0\0\x03", 10);
        return h + std::string(n, 'n') + '\0' + good.substr(10 + 6);  // "d.txt\0" replaced
    };
    cs.push_back({"stored name of 1023 bytes", archive(named(1023)), 0, {}, data});
    cs.push_back({"stored name of 1024 bytes",
                  archive(named(1024)),
                  1,
                  {"corrupted input -- file name too large"}});

    // An installer of a tarball many windows long, one byte flipped past its middle: tar
    // would have written files, and "touch started" run, before the damage is decoded.
    std::vector<std::pair<std::string, std::string>> files;
    for (unsigned i = 0; i < 4; ++i)
        files.push_back({"pkg/f" + std::to_string(i), kt::text_bytes(60000, i)});
    std::string tarball = kt::gzip_member(kt::tar_of(files), "pkg.tar");
    tarball[tarball.size() / 2] ^= 0x10;
    cs.push_back({"tarball with a byte flipped mid-member",
                  archive(tarball, pre("", "", "touch post", "touch started; tar xf -")),
                  1,
                  {"invalid compressed data--"}});
    return cs;
}

TEST(Damaged, DecoderFaultsAreRefused) {
    check_all(stream_cases());
}

TEST(Damaged, PreambleAndHeaderFaults) {
    check_all(layout_cases());
}

// A small member cut after every byte: each cut ends with the end-of-file message, and the
// extraction command is never started.
TEST(Damaged, MemberCutAtEveryByte) {
    const std::string data = "hello hello hello hello\n";
    const std::string m = kt::gzip_member(data, "h.txt");
    std::vector<Case> cs;
    for (size_t cut = 0; cut < m.size(); ++cut)
        cs.push_back({"cut at " + std::to_string(cut), archive(m.substr(0, cut)), 1, {kEof}});
    check_all(cs);
}

// Every single-bit change of a small member: a change that leaves the data intact may pass
// (time stamp, XFL, OS, FTEXT, the unused bits after the last block), anything else is
// refused; a success always yields the original bytes. Changes to the trailer are always
// refused.
TEST(Damaged, EveryFlippedBitOfAMember) {
    const std::string data = "flip flip flop\n";
    const std::string m = kt::gzip_member(data, "");
    std::vector<Case> cs;
    for (size_t bit = 0; bit < m.size() * 8; ++bit) {
        std::string f = m;
        f[bit / 8] = static_cast<char>(f[bit / 8] ^ (1 << (bit % 8)));
        cs.push_back({"bit " + std::to_string(bit), archive(f), 0, {}, data});
    }
    std::vector<Outcome> out = run_all(cs);
    int passed = 0;
    for (size_t i = 0; i < cs.size(); ++i) {
        const Outcome &o = out[i];
        size_t byte = i / 8;
        SCOPED_TRACE(cs[i].what + ": " + o.r.err);
        EXPECT_EQ(o.files.count("ran"), o.r.status == 0 ? 1u : 0u);
        EXPECT_EQ(o.files.count("extracted"), o.r.status == 0 ? 1u : 0u);
        if (o.r.status == 0) {
            ++passed;
            EXPECT_EQ(o.extracted, data);
            EXPECT_LT(byte, m.size() - 8) << "a changed trailer passed";
        } else {
            EXPECT_EQ(o.r.status, 1);
            EXPECT_TRUE(o.r.err.find("invalid compressed data") != std::string::npos ||
                        o.r.err.find(kEof) != std::string::npos ||
                        o.r.err.find("can only handle GZIP") != std::string::npos ||
                        o.r.err.find("unknown method") != std::string::npos ||
                        o.r.err.find("refusing to extract") != std::string::npos);
        }
        // MTIME (bytes 4-7), XFL and OS change nothing that is checked.
        if (byte >= 4 && byte < 10) {
            EXPECT_EQ(o.r.status, 0);
        }
    }
    EXPECT_GE(passed, 48);
}

// Every single-bit change of the preamble and the member header of an archive as the builder
// writes it: the check item refuses each one that would change what runs or where data goes;
// one that passes (inside the item's own name, so that it is no longer found) changes nothing.
TEST(Damaged, EveryFlippedBitOfPreambleAndHeader) {
    kt::TempDir d;
    const std::string data = "checked data\n";
    kt::write_file(d / "stub", kStub, 0755);
    kt::write_file(d / "in.txt", data);
    RunResult b =
        kt::run({kt::kelpa_bin(), "-p", "./stub", "-C", "c", "-r", kRun, "-f", kPipe, "in.txt"}, "",
                d.path());
    ASSERT_EQ(b.status, 0) << b.err;
    const size_t from = kStub.size() + kt::kMarker.size();
    size_t to = from;
    for (int nul = 0; nul < 4; ++nul) to = b.out.find('\0', to) + 1;
    to += kt::member_header("in.txt").size();
    std::vector<Case> cs;
    for (size_t bit = from * 8; bit < to * 8; ++bit) {
        std::string f = b.out;
        f[bit / 8] = static_cast<char>(f[bit / 8] ^ (1 << (bit % 8)));
        cs.push_back({"bit " + std::to_string(bit - from * 8), f, 0, {}, data});
    }
    std::vector<Outcome> out = run_all(cs);
    size_t passed = 0;
    for (size_t i = 0; i < cs.size(); ++i) {
        SCOPED_TRACE(cs[i].what + ": " + out[i].r.err);
        if (out[i].r.status == 0) {
            ++passed;
            EXPECT_EQ(out[i].files, (std::set<std::string>{"arc", "extracted", "ran"}));
            EXPECT_EQ(out[i].extracted, data);
        } else {
            EXPECT_EQ(out[i].r.status, 1);
            EXPECT_EQ(out[i].files, std::set<std::string>{"arc"});
        }
    }
    EXPECT_LE(passed, 8 * std::string(",KELPA_CRC=12345678").size());
}

// Bytes written into the archive between the check and the extraction never reach the
// extraction command: kelpa stops at the changed stretch. Standard error is a full pipe, so
// kelpa waits at its banner, after the check and after starting the command, until the
// archive has been changed.
TEST(Damaged, ArchiveChangedAfterTheCheckStopsTheExtraction) {
    kt::TempDir d;
    const std::string data = kt::text_bytes(400000, 9);
    const std::string head = kStub + pre("", "c", kRun, "touch started; cat > extracted");
    kt::write_file(d / "arc", head + kt::gzip_member(data, "data"), 0755);
    int err[2];
    ASSERT_EQ(pipe2(err, O_NONBLOCK), 0);
    while (write(err[1], "................", 16) > 0) {
    }
    fcntl(err[0], F_SETFL, 0);
    fcntl(err[1], F_SETFL, 0);
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(d.path().c_str()) != 0) _exit(126);
        dup2(err[1], 2);
        execl(kt::kelpa_bin().c_str(), "kelpa", "-u", "arc", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(err[1]);
    for (int i = 0; i < 400 && !kt::file_exists(d / "started"); ++i) usleep(25000);
    ASSERT_TRUE(kt::file_exists(d / "started"));
    int fd = open((d / "arc").c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, "#", 1, static_cast<off_t>(head.size() + 1000)), 1);
    close(fd);
    std::string said;
    char buf[4096];
    for (ssize_t n; (n = read(err[0], buf, sizeof buf)) > 0;)
        said.append(buf, static_cast<size_t>(n));
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(said.find("the archive changed after it was checked"), std::string::npos) << said;
    EXPECT_EQ(kt::read_file(d / "extracted"), "") << "no byte of the changed stretch";
    EXPECT_FALSE(kt::file_exists(d / "ran"));
}

}  // namespace
