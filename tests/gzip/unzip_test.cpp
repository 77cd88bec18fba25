// Member decoder, end to end through get_method and unzip: members written by outside
// tools (the gzip command, python's zlib), trailer checks, truncation, malformed data, and
// the zip first-entry reader.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "gzip/decode_harness.h"
#include "inflate/inflate_internal.h"

namespace {

using std::string;
using testing::ExitedWithCode;

// Data that exercises every kind of block: text, incompressible bytes, long runs.
string corpus() {
    static const string c = kt::text_bytes(200000, 1) + kt::random_bytes(40000, 2) +
                            string(70000, 'q') + kt::text_bytes(30000, 3);
    return c;
}

// Compresses with python's zlib in gzip wrapping (wbits 31).
string python_gzip(const string &data, int level, int strategy) {
    const char *script =
        "import sys, zlib\n"
        "c = zlib.compressobj(int(sys.argv[1]), zlib.DEFLATED, 31, 9, int(sys.argv[2]))\n"
        "sys.stdout.buffer.write(c.compress(sys.stdin.buffer.read()) + c.flush())\n";
    auto r =
        kt::run({"python3", "-c", script, std::to_string(level), std::to_string(strategy)}, data);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

TEST(Unzip, MembersFromTheGzipCommand) {
    kt::TempDir dir;
    string data = corpus();
    kt::write_file(dir / "corpus.bin", data);
    for (int level = 1; level <= 9; level++) {
        auto r =
            kt::sh("gzip -" + std::to_string(level) + " -N -c " + kt::quote(dir / "corpus.bin"));
        ASSERT_EQ(r.status, 0) << r.err;
        string out = kt::decode_member(r.out);
        EXPECT_EQ(out.size(), data.size()) << "level " << level;
        EXPECT_TRUE(out == data) << "level " << level;
        EXPECT_STREQ(ofname, "corpus.bin") << "the stored name is taken";
        EXPECT_EQ(bytes_out, static_cast<long>(data.size()));
    }
}

TEST(Unzip, MembersFromPythonZlibEveryLevelAndStrategy) {
    string data = corpus().substr(0, 120000) + string(3000, '\0');
    // One interpreter writes all fifty members, each behind its 4-byte length.
    const char *script =
        "import sys, zlib\n"
        "data = sys.stdin.buffer.read()\n"
        "for strategy in range(5):\n"
        "    for level in range(10):\n"
        "        c = zlib.compressobj(level, zlib.DEFLATED, 31, 9, strategy)\n"
        "        m = c.compress(data) + c.flush()\n"
        "        sys.stdout.buffer.write(len(m).to_bytes(4, 'little') + m)\n";
    auto r = kt::run({"python3", "-c", script}, data);
    ASSERT_EQ(r.status, 0) << r.err;
    size_t at = 0;
    for (int strategy = 0; strategy <= 4;
         strategy++) {  // default, filtered, Huffman only, RLE, fixed
        for (int level = 0; level <= 9; level++) {
            ASSERT_LE(at + 4, r.out.size());
            uint32_t n;
            memcpy(&n, r.out.data() + at, 4);
            string out = kt::decode_member(r.out.substr(at + 4, n));
            at += 4 + n;
            EXPECT_TRUE(out == data) << "level " << level << " strategy " << strategy;
        }
    }
    EXPECT_EQ(at, r.out.size());
}

TEST(Unzip, TinyInputs) {
    for (const string &data : {string(), string("x"), string("\0", 1)}) {
        for (int strategy : {0, 4}) {
            EXPECT_EQ(kt::decode_member(python_gzip(data, 9, strategy)), data);
        }
        auto r = kt::sh("gzip -c", data);
        EXPECT_EQ(kt::decode_member(r.out), data);
    }
    // One empty final fixed block (bits 1, 01, 0000000 = 0x03 0x00) with CRC 0 and length 0.
    EXPECT_EQ(kt::decode_member(kt::wrap_member(string("\x03\x00", 2), "")), "");
    EXPECT_EQ(bytes_out, 0);
}

TEST(Unzip, IgnoresWhatFollowsTheTrailer) {
    string data = "first member";
    string m1 = python_gzip(data, 6, 0);
    EXPECT_EQ(kt::decode_member(m1 + python_gzip("second", 6, 0)), data);
    EXPECT_EQ(kt::decode_member(m1 + "garbage after the member"), data);
}

// Runs the whole decode in a child; the parent checks its message and what it wrote.
struct Fatal {
    kt::TempDir dir;
    string out() { return kt::read_file(dir / "out"); }
    void decode(const string &member) { kt::decode_member_to(member, dir / "in.gz", dir / "out"); }
};

TEST(Unzip, TrailerChecksAfterTheDataIsWritten) {
    string data = corpus();
    string good = python_gzip(data, 6, 0);
    size_t n = good.size();
    {
        string bad = good;
        bad[n - 8] ^= 0x10;  // one bit of CRC32
        Fatal f;
        EXPECT_EXIT(f.decode(bad), ExitedWithCode(1),
                    testing::Eq("\nkelpa: in.gz: invalid compressed data--crc error\n"));
        EXPECT_TRUE(f.out() == data) << "all data is written before the check";
    }
    {
        string bad = good;
        bad[n - 4] = static_cast<char>(bad[n - 4] + 1);  // ISIZE off by one
        Fatal f;
        EXPECT_EXIT(f.decode(bad), ExitedWithCode(1),
                    testing::Eq("\nkelpa: in.gz: invalid compressed data--length error\n"));
        EXPECT_TRUE(f.out() == data);
    }
    {
        string bad = good;
        bad[n - 8] ^= 1;
        bad[n - 1] ^= 1;
        Fatal f;
        EXPECT_EXIT(f.decode(bad), ExitedWithCode(1), testing::HasSubstr("crc error"))
            << "CRC is checked first";
    }
    {
        Fatal f;
        EXPECT_EXIT(f.decode(good.substr(0, n - 3)), ExitedWithCode(1),
                    testing::Eq("\nkelpa: in.gz: unexpected end of file\n"));
        EXPECT_TRUE(f.out() == data);
    }
}

TEST(Unzip, EveryTruncationEndsWithUnexpectedEndOfFile) {
    // A small member holding a dynamic block, so cuts land in the header, the block header,
    // the code lengths, the data and the trailer.
    string member = python_gzip(
        "Truncated members end with the same message wherever they stop. " + kt::text_bytes(300, 9),
        9, 0);
    kt::TempDir dir;
    for (size_t cut = 1; cut < member.size(); cut++) {
        EXPECT_EXIT(kt::decode_member_to(member.substr(0, cut), dir / "in.gz", dir / "out"),
                    ExitedWithCode(1), testing::Eq("\nkelpa: in.gz: unexpected end of file\n"))
            << "cut at " << cut << " of " << member.size();
    }
}

TEST(Unzip, MalformedDataAndMissingMemory) {
    Fatal f;
    // BFINAL 1, BTYPE 3
    EXPECT_EXIT(f.decode(kt::wrap_member(string("\x07\x00\x00\x00", 4), "")), ExitedWithCode(1),
                testing::Eq("\nkelpa: in.gz: invalid compressed data--format violated\n"));
    string good = python_gzip(corpus(), 6, 0);
    EXPECT_EXIT(
        {
            huft_malloc = [](size_t) -> void * { return nullptr; };
            f.decode(good);
        },
        ExitedWithCode(1), testing::Eq("\nkelpa: in.gz: out of memory\n"));
    EXPECT_EXIT(
        {
            kt::write_file(f.dir / "in.gz", good);
            kt::reset_member_state();
            kt::open_input(f.dir / "in.gz");
            get_method(ifd);
            method = 0;
            unzip(ifd, open("/dev/null", O_WRONLY));
        },
        ExitedWithCode(1), testing::Eq("\nkelpa: in.gz: internal error, invalid method\n"));
}

// More than 4 GiB of zeros: ISIZE holds the length modulo 2^32 and must match.
TEST(Unzip, MemberOver4GiB) {
    const char *script =
        "import sys, zlib\n"
        "c = zlib.compressobj(1, zlib.DEFLATED, 31)\n"
        "chunk = bytes(1 << 24)\n"
        "out = [c.compress(chunk) for _ in range(257)]\n"
        "sys.stdout.buffer.write(b''.join(out) + c.flush())\n";
    auto r = kt::run({"python3", "-c", script});
    ASSERT_EQ(r.status, 0) << r.err;
    kt::TempDir dir;
    kt::write_file(dir / "in.gz", r.out);
    kt::reset_member_state();
    int in = kt::open_input(dir / "in.gz");
    ASSERT_EQ(get_method(in), 8);
    EXPECT_EQ(unzip(in, open("/dev/null", O_WRONLY)), 0);
    EXPECT_EQ(bytes_out, 257L << 24);
}

// The zip first-entry reader: nothing in the program calls it, so briefly.
string zip_local(unsigned flags, unsigned how, const string &name, const string &data,
                 unsigned long crc) {
    string h = string("PK\x03\x04", 4) + string("\x14\x00", 2);
    h += static_cast<char>(flags);
    h += '\0';
    h += static_cast<char>(how);
    h += string(5, '\0');  // method high byte, time, date
    h += kt::le32(crc) + kt::le32(data.size()) + kt::le32(data.size());
    h += static_cast<char>(name.size());
    h += string(3, '\0');
    return h + name + data;
}

TEST(CheckZipfile, StoredFirstEntryAndRefusals) {
    kt::TempDir dir;
    auto load = [&](const string &bytes) {
        kt::write_file(dir / "z", bytes);
        kt::reset_member_state();
        kt::open_input(dir / "z");
        insize = 0;
        fill_inbuf(0);
        inptr = 0;
    };
    string data = "stored entry data";
    load(zip_local(0, 0, "f.txt", data, kt::crc_of(data)));
    ASSERT_EQ(check_zipfile(ifd), 0);
    EXPECT_EQ(method, 0);
    ofd = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(unzip(ifd, ofd), 0);
    close(ofd);
    EXPECT_EQ(kt::read_file(dir / "out"), data);
    EXPECT_EQ(pkzip, 0) << "cleared on return";

    struct Case {
        string bytes;
        const char *msg;
    };
    const Case refused[] = {
        {"PK\x05\x06 not a local header.............", "\nkelpa: in.gz: not a valid zip file\n"},
        {"PK\x03\x04", "\nkelpa: in.gz: not a valid zip file\n"},
        {zip_local(0, 12, "b", "x", 0),
         "\nkelpa: in.gz: first entry not deflated or stored -- use unzip\n"},
        {zip_local(1, 8, "e", "x", 0), "\nkelpa: in.gz: encrypted file -- use unzip\n"},
    };
    for (const auto &c : refused) {
        load(c.bytes);
        testing::internal::CaptureStderr();
        EXPECT_EQ(check_zipfile(ifd), 1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.msg);
        EXPECT_EQ(exit_code, 1);
    }
}

}  // namespace

namespace {

// The decoder writes its output one full 32768-byte window at a time, then the rest: each
// write is one packet of a sequenced socket.
TEST(Unzip, WritesWholeWindows) {
    std::string data = kt::text_bytes(100000, 31);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    int big = 1 << 21;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    kt::TempDir dir;
    kt::write_file(dir / "in.gz", python_gzip(data, 6, 0));
    kt::reset_member_state();
    int in = kt::open_input(dir / "in.gz");
    ASSERT_EQ(get_method(in), CM_DEFLATE);
    ofd = sv[0];
    unzip(in, ofd);
    close(in);
    std::vector<size_t> sizes;
    string all;
    char buf[65536];
    for (ssize_t n; (n = recv(sv[1], buf, sizeof buf, MSG_DONTWAIT)) > 0;) {
        sizes.push_back(static_cast<size_t>(n));
        all.append(buf, static_cast<size_t>(n));
    }
    close(sv[0]);
    close(sv[1]);
    EXPECT_EQ(sizes, (std::vector<size_t>{32768, 32768, 32768, 1696}));
    EXPECT_TRUE(all == data);
}

// Many members of varied shape from python's zlib, each compared with the data it was made
// from: matches of every length and distance land on window ends, fill ends and block ends
// at many different offsets.
TEST(Unzip, ManyMembersOfVariedShapeFromPythonZlib) {
    const char *script =
        "import random, sys, zlib\n"
        "rnd = random.Random(5)\n"
        "for i in range(60):\n"
        "    size = rnd.choice([rnd.randrange(1, 4000), rnd.randrange(30000, 300000)])\n"
        "    parts, n = [], 0\n"
        "    while n < size:\n"
        "        kind = rnd.randrange(4)\n"
        "        if kind == 0 or n < 300:\n"
        "            p = rnd.randbytes(rnd.randrange(1, 60))\n"
        "        elif kind == 1:\n"
        "            p = bytes([rnd.randrange(256)]) * rnd.randrange(1, 600)\n"
        "        else:\n"
        "            joined = b''.join(parts[-300:])\n"
        "            back = rnd.randrange(1, min(len(joined), 32768) + 1)\n"
        "            p = (joined[-back:] * 300)[:rnd.randrange(3, 300)]\n"
        "        parts.append(p)\n"
        "        n += len(p)\n"
        "    data = b''.join(parts)[:size]\n"
        "    c = zlib.compressobj(rnd.randrange(10), zlib.DEFLATED, 31, rnd.randrange(1, 10), "
        "rnd.randrange(5))\n"
        "    m = c.compress(data) + c.flush()\n"
        "    for blob in (data, m):\n"
        "        sys.stdout.buffer.write(len(blob).to_bytes(4, 'little') + blob)\n";
    auto r = kt::run({"python3", "-c", script});
    ASSERT_EQ(r.status, 0) << r.err;
    size_t at = 0;
    auto next = [&] {
        uint32_t n;
        memcpy(&n, r.out.data() + at, 4);
        string s = r.out.substr(at + 4, n);
        at += 4 + n;
        return s;
    };
    int members = 0;
    while (at < r.out.size()) {
        string data = next();
        string member = next();
        EXPECT_TRUE(kt::decode_member(member) == data)
            << "member " << members << " of " << data.size() << " bytes";
        members++;
    }
    EXPECT_EQ(members, 60);
}

}  // namespace
