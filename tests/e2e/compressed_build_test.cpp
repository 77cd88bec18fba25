// The built kelpa binary writing compressed archives: one gzip member per input after the
// preamble, exact member headers and trailers, DEFLATE data equal to the gzip command's at
// -9, restored exactly by gzip and python zlib, reproducible, and fatal read errors.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/test_util.h"
#include "driver/archive_maker.h"

namespace {

using kt::RunResult;

uint32_t le32(const std::string &s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = v << 8 | static_cast<unsigned char>(s[at + static_cast<size_t>(i)]);
    return v;
}

uint32_t crc32_of(const std::string &data) {
    uint32_t c = 0xffffffffu;
    for (unsigned char b : data) {
        c ^= b;
        for (int k = 0; k < 8; k++) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
    }
    return ~c;
}

// DEFLATE data of the gzip command at -9 (no name, so a 10-byte header).
std::string gzip9_deflate(const std::string &data) {
    RunResult r = kt::run({"gzip", "-9", "-n", "-c"}, data);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out.substr(10, r.out.size() - 18);
}

// Raw DEFLATE data inflated by python's zlib; also reports where the stream ended.
struct Inflated {
    std::string data;
    size_t used = 0;
};
Inflated python_inflate(const std::string &raw) {
    RunResult r = kt::run({"python3", "-c",
                           "import sys, zlib\n"
                           "d = zlib.decompressobj(-15)\n"
                           "src = sys.stdin.buffer.read()\n"
                           "out = d.decompress(src)\n"
                           "assert d.eof\n"
                           "sys.stderr.write(str(len(src) - len(d.unused_data)))\n"
                           "sys.stdout.buffer.write(out)\n"},
                          raw);
    EXPECT_EQ(r.status, 0) << r.err;
    return {r.out, r.status == 0 ? std::stoul(r.err) : 0};
}

class CompressedBuild : public testing::Test {
   protected:
    kt::TempDir dir;
    std::string bin = kt::kelpa_bin();
    std::string file(const std::string &name, const std::string &data) {
        std::string p = dir / name;
        kt::write_file(p, data);
        return p;
    }
    RunResult kelpa(std::vector<std::string> args) {
        args.insert(args.begin(), bin);
        return kt::run(args, "", dir.path());
    }
    // The payload after stub, marker and the four preamble strings; the check item covers the
    // header of the first member, stored under first.
    std::string payload(const std::string &archive, const std::string &features,
                        const std::string &first) {
        std::string stub = kt::read_file(bin);
        std::string head = stub + kt::checked_preamble(features, "Self-Extracting archive file", "",
                                                       "", kt::member_header(first));
        EXPECT_EQ(archive.substr(0, head.size()), head);
        return archive.size() >= head.size() ? archive.substr(head.size()) : "";
    }
};

TEST_F(CompressedBuild, EachInputBecomesOneMemberEqualToTheOracle) {
    struct In {
        std::string path, base, data;
    } ins[] = {
        {"sub/dir/words.txt", "words.txt", kt::text_bytes(120000, 1)},
        {"bytes.bin", "bytes.bin", kt::random_bytes(40000, 2)},
        {"empty", "empty", ""},
        {"zeros", "zeros", std::string(70000, '\0')},
    };
    ::mkdir((dir / "sub").c_str(), 0755);
    ::mkdir((dir / "sub/dir").c_str(), 0755);
    std::vector<std::string> args;
    for (const auto &in : ins) {
        file(in.path, in.data);
        args.push_back(in.path);
    }
    RunResult r = kelpa(args);
    ASSERT_EQ(r.status, 0) << r.err;
    // Only the first member is ever extracted: the builder says so.
    EXPECT_EQ(r.err, bin +
                         ": warning: only sub/dir/words.txt is extracted; also stored: bytes.bin "
                         "empty zeros\n" +
                         bin + ": for several files, build from one tarball with -f 'tar xf -'\n");
    std::string rest = payload(r.out, "NAME=words.txt", "words.txt");

    uint32_t total = 0;
    for (const auto &in : ins) {
        std::string head = std::string("\x1f\x8b\x08\x08\0\0\0\0\x02\x03", 10) + in.base + '\0';
        ASSERT_EQ(rest.substr(0, head.size()), head) << in.path;
        rest = rest.substr(head.size());
        Inflated inf = python_inflate(rest);
        EXPECT_TRUE(inf.data == in.data) << in.path;
        EXPECT_EQ(rest.substr(0, inf.used), gzip9_deflate(in.data))
            << in.path << ": DEFLATE data differ";
        ASSERT_GE(rest.size(), inf.used + 8);
        total += static_cast<uint32_t>(in.data.size());
        EXPECT_EQ(le32(rest, inf.used), crc32_of(in.data)) << in.path << ": its own CRC";
        EXPECT_EQ(le32(rest, inf.used + 4), total) << in.path << ": running input total";
        rest = rest.substr(inf.used + 8);
    }
    EXPECT_EQ(rest, "") << "nothing after the last member";
}

TEST_F(CompressedBuild, GzipRestoresASingleInputArchive) {
    std::string data = kt::read_file(bin) + kt::text_bytes(200000, 3);
    file("pkg.bin", data);
    RunResult r = kelpa({"pkg.bin"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string member = payload(r.out, "NAME=pkg.bin", "pkg.bin");
    RunResult g = kt::run({"gzip", "-dc"}, member);
    EXPECT_EQ(g.status, 0) << g.err;
    EXPECT_TRUE(g.out == data);
    EXPECT_EQ(le32(member, member.size() - 4), data.size());
}

TEST_F(CompressedBuild, ArchivesAreReproducible) {
    file("a", kt::text_bytes(90000, 4));
    file("b", kt::random_bytes(1000, 5));
    RunResult one = kelpa({"-C", "c", "a", "b"});
    RunResult two = kelpa({"-C", "c", "a", "b"});
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_TRUE(one.out == two.out);
    // A member does not depend on the inputs before it.
    RunResult alone = kelpa({"-C", "c", "b"});
    std::string tail_one = one.out.substr(one.out.rfind(std::string("\x1f\x8b\x08\x08", 4)));
    std::string tail_alone = alone.out.substr(alone.out.rfind(std::string("\x1f\x8b\x08\x08", 4)));
    EXPECT_EQ(tail_one.substr(0, tail_one.size() - 4), tail_alone.substr(0, tail_alone.size() - 4));
}

// A directory cannot be read: it is reported and skipped like a missing input, and the inputs
// after it are still stored, each as a whole member.
TEST_F(CompressedBuild, DirectoryAmongInputsIsSkippedAndTheRestStored) {
    file("good", "GOOD DATA");
    ::mkdir((dir / "adir").c_str(), 0755);
    RunResult r = kelpa({"good", "adir", "good"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("adir: Is a directory\n"), std::string::npos) << r.err;
    std::string rest = payload(r.out, "NAME=good", "good");
    EXPECT_EQ(kt::run({"gzip", "-dc"}, rest).out, "GOOD DATAGOOD DATA");
}

TEST_F(CompressedBuild, InputThatCannotBeOpenedIsSkipped) {
    file("present", "here");
    RunResult r = kelpa({"present", "missing"});
    EXPECT_EQ(r.err, "missing: No such file or directory\n") << "one member: no warning";
    std::string rest = payload(r.out, "NAME=present", "present");
    EXPECT_EQ(rest.substr(0, 18), std::string("\x1f\x8b\x08\x08\0\0\0\0\x02\x03present\0", 18));
    RunResult g = kt::run({"gzip", "-dc"}, rest);
    EXPECT_EQ(g.out, "here");
}

}  // namespace
