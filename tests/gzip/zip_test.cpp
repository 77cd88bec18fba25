// Member writer: the exact header and trailer bytes, the running ISIZE total, output in
// pieces of 16384 bytes, read errors that end the process instead of a short member, and
// members that outside decoders and the own decoder restore.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "deflate/deflate_test_util.h"
#include "gzip/decode_harness.h"

namespace {

// Writes one member for data under the input name `name` at level lvl and returns its bytes.
std::string member(const std::string &name, const std::string &data, int lvl = 9) {
    int in = dt::memfd_with(data), out = dt::memfd_with("");
    strcpy(ifname, name.c_str());
    const int saved = level;
    level = lvl;
    EXPECT_EQ(zip(in, out), 0);
    level = saved;
    EXPECT_EQ(outcnt, 0u) << "the member leaves nothing behind in outbuf";
    std::string m = dt::read_all(out);
    close(in);
    close(out);
    return m;
}

uint32_t le32(const std::string &s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = v << 8 | static_cast<unsigned char>(s[at + static_cast<size_t>(i)]);
    return v;
}

uint32_t crc_of(const std::string &data) {
    updcrc(nullptr, 0);
    return static_cast<uint32_t>(
        updcrc(reinterpret_cast<const uch *>(data.data()), static_cast<unsigned>(data.size())));
}

TEST(Zip, HeaderHoldsTheBaseNameAndLevel9Flags) {
    bytes_in = 0;
    std::string m = member("dir/sub/data.bin", "payload");
    const std::string head(
        "\x1f\x8b\x08\x08\x00\x00\x00\x00\x02\x03"
        "data.bin\0",
        19);
    EXPECT_EQ(m.substr(0, head.size()), head);
    EXPECT_EQ(le32(m, m.size() - 8), crc_of("payload"));
    EXPECT_EQ(le32(m, m.size() - 4), 7u);
}

TEST(Zip, EmptyInputIsAnEmptyFinalBlock) {
    bytes_in = 0;
    std::string m = member("empty", "");
    EXPECT_EQ(m, std::string("\x1f\x8b\x08\x08\0\0\0\0\x02\x03"
                             "empty\0"
                             "\x03\x00"
                             "\0\0\0\0"
                             "\0\0\0\0",
                             26));
}

TEST(Zip, IsizeIsTheRunningTotalAndCrcIsPerMember) {
    bytes_in = 0;
    std::string a = kt::random_bytes(100, 1), b = kt::text_bytes(200, 2);
    std::string ma = member("a", a), mb = member("b", b);
    EXPECT_EQ(le32(ma, ma.size() - 8), crc_of(a));
    EXPECT_EQ(le32(ma, ma.size() - 4), 100u);
    EXPECT_EQ(le32(mb, mb.size() - 8), crc_of(b));
    EXPECT_EQ(le32(mb, mb.size() - 4), 300u);
}

TEST(Zip, IsizeKeepsTheLow32Bits) {
    bytes_in = 0xFFFFFFF6L;  // 4 GiB - 10 already written
    std::string m = member("big", std::string(30, 'x'));
    EXPECT_EQ(le32(m, m.size() - 4), 20u);
    EXPECT_EQ(bytes_in, 0x100000014L);
}

TEST(Zip, OutputLeavesInPiecesOf16384Bytes) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    int big = 1 << 21;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    std::string data = kt::random_bytes(100000, 3) + kt::text_bytes(100000, 4);
    int in = dt::memfd_with(data);
    strcpy(ifname, "pieces");
    zip(in, sv[0]);
    close(in);
    std::vector<size_t> sizes;
    std::string all;
    char buf[65536];
    ssize_t n;
    while ((n = recv(sv[1], buf, sizeof buf, MSG_DONTWAIT)) > 0) {
        sizes.push_back(static_cast<size_t>(n));
        all.append(buf, static_cast<size_t>(n));
    }
    close(sv[0]);
    close(sv[1]);
    ASSERT_GE(sizes.size(), 3u);
    for (size_t i = 0; i + 1 < sizes.size(); i++) EXPECT_EQ(sizes[i], 16384u) << "piece " << i;
    EXPECT_LE(sizes.back(), 16384u);
    kt::RunResult r = kt::run({"gzip", "-dc"}, all);
    EXPECT_TRUE(r.out == data) << r.err;
}

TEST(Zip, FileReadCountsAndChecksumsWhatItReads) {
    int in = dt::memfd_with("abcdef");
    ifd = in;
    bytes_in = 0;
    updcrc(nullptr, 0);
    char buf[4];
    EXPECT_EQ(file_read(buf, 4), 4);
    EXPECT_EQ(file_read(buf, 4), 2);
    EXPECT_EQ(file_read(buf, 4), 0);
    EXPECT_EQ(bytes_in, 6);
    EXPECT_EQ(static_cast<uint32_t>(updcrc(reinterpret_cast<const uch *>(""), 0)),
              crc_of("abcdef"));
    close(in);
}

TEST(Zip, FileReadFillsTheRequestFromAPipeThatDeliversByteByByte) {
    // The encoder's window must move at the same places whatever pieces a pipe delivers.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    if (child == 0) {
        for (char c : std::string("abcdef")) {
            if (write(fds[1], &c, 1) != 1) _exit(1);
            usleep(2000);
        }
        _exit(0);
    }
    close(fds[1]);
    ifd = fds[0];
    bytes_in = 0;
    char buf[4];
    EXPECT_EQ(file_read(buf, 4), 4);
    EXPECT_EQ(file_read(buf, 4), 2);
    EXPECT_EQ(file_read(buf, 4), 0);
    close(fds[0]);
    int status;
    waitpid(child, &status, 0);
}

TEST(ZipDeathTest, ReadErrorIsFatalAndNamesTheInput) {
    kt::TempDir dir;
    std::string path = dir / "adir";
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    int in = open(path.c_str(), O_RDONLY);
    ASSERT_GE(in, 0);
    int out = dt::memfd_with("");
    strcpy(ifname, path.c_str());
    EXPECT_EXIT(zip(in, out), testing::ExitedWithCode(1), "adir: Is a directory");
    close(in);
    close(out);
}

TEST(Zip, OutsideDecodersRestoreTheInput) {
    for (const auto &in : dt::corpus()) {
        bytes_in = 0;
        std::string m = member("in", in.data);
        kt::RunResult g = kt::run({"gzip", "-dc"}, m);
        EXPECT_EQ(g.status, 0) << in.name << ": " << g.err;
        EXPECT_TRUE(g.out == in.data) << in.name << ": gzip -d";
        kt::RunResult p =
            kt::run({"python3", "-c",
                     "import sys, zlib; "
                     "sys.stdout.buffer.write(zlib.decompress(sys.stdin.buffer.read(), 31))"},
                    m);
        EXPECT_EQ(p.status, 0) << in.name << ": " << p.err;
        EXPECT_TRUE(p.out == in.data) << in.name << ": python zlib";
    }
}

TEST(Zip, OwnDecoderRestoresEveryLevel) {
    std::vector<std::string> extra = {"",
                                      "a",
                                      "abcabc",
                                      std::string(65279, '\0'),
                                      std::string(65280, 'z'),
                                      kt::text_bytes(65536, 31),
                                      kt::text_bytes(98305, 32)};
    for (int lvl : {9, 6, 4, 3, 1}) {
        for (const auto &in : dt::corpus()) {
            std::string data = lvl == 9 ? in.data : in.data.substr(0, 200000);
            bytes_in = 0;
            EXPECT_TRUE(kt::decode_member(member("in", data, lvl)) == data)
                << in.name << " at level " << lvl;
        }
        for (const auto &data : extra) {
            bytes_in = 0;
            EXPECT_TRUE(kt::decode_member(member("in", data, lvl)) == data)
                << data.size() << " bytes at level " << lvl;
        }
    }
}

}  // namespace
