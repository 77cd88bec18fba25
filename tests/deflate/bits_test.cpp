// Bit writer: field order, the 16-bit accumulator, alignment, stored-block copies and the
// outbuf append rules at the 16384-byte flush point.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "deflate/deflate_internal.h"

namespace {

std::string pending() {
    return std::string(reinterpret_cast<char *>(outbuf), outcnt);
}

class BitWriter : public testing::Test {
   protected:
    void SetUp() override {
        outcnt = 0;
        bi_init(-1);
    }
};

TEST_F(BitWriter, FirstFieldTakesTheLowBits) {
    send_bits(1, 1);
    send_bits(1, 2);
    bi_windup();
    EXPECT_EQ(pending(), "\x03");
    EXPECT_EQ(bw.bi_valid, 0);
}

TEST_F(BitWriter, FullAccumulatorStaysPendingUntilTheNextField) {
    for (int i = 0; i < 16; i++) send_bits(1, 1);
    EXPECT_EQ(bw.bi_valid, 16);
    EXPECT_EQ(outcnt, 0u);
    send_bits(0x5, 3);
    EXPECT_EQ(pending(), "\xff\xff");
    EXPECT_EQ(bw.bi_valid, 3);
    bi_windup();
    EXPECT_EQ(pending(), "\xff\xff\x05");
}

TEST_F(BitWriter, FieldsStraddlingTheAccumulatorKeepTheirHighBits) {
    // 13 + 15 bits: the second field's top 12 bits go to the next unit.
    send_bits(0x1abc, 13);
    send_bits(0x7fff, 15);
    EXPECT_EQ(bw.bi_valid, 12);
    bi_windup();
    // Whole stream, LSB first: 0x1abc | 0x7fff << 13 = 0xfffffabc (28 bits).
    EXPECT_EQ(pending(), std::string("\xbc\xfa\xff\x0f", 4));
}

TEST_F(BitWriter, WindupWritesWholeBytesOfThePendingBits) {
    struct {
        int bits;
        size_t bytes;
    } cases[] = {{0, 0}, {1, 1}, {8, 1}, {9, 2}, {15, 2}, {16, 2}};
    for (auto c : cases) {
        outcnt = 0;
        bi_init(-1);
        for (int i = 0; i < c.bits; i++) send_bits(1, 1);
        bi_windup();
        EXPECT_EQ(outcnt, c.bytes) << c.bits << " pending bits";
        EXPECT_EQ(bw.bi_buf, 0);
        EXPECT_EQ(bw.bi_valid, 0);
    }
}

TEST_F(BitWriter, CopyBlockAlignsThenWritesLenNlenAndBytes) {
    send_bits(1, 3);  // BFINAL 1, BTYPE 00
    copy_block(nullptr, 0, 1);
    EXPECT_EQ(pending(), std::string("\x01\x00\x00\xff\xff", 5));

    outcnt = 0;
    char data[] = "xyz";
    copy_block(data, 3, 1);
    EXPECT_EQ(pending(), std::string("\x03\x00\xfc\xff", 4) + "xyz");

    outcnt = 0;
    copy_block(data, 3, 0);
    EXPECT_EQ(pending(), "xyz");
}

TEST(BiReverse, ReversesTheLowBits) {
    EXPECT_EQ(bi_reverse(1, 5), 16u);
    EXPECT_EQ(bi_reverse(6, 3), 3u);
    EXPECT_EQ(bi_reverse(1, 1), 1u);
    EXPECT_EQ(bi_reverse(0x4000, 15), 1u);
    for (int len = 1; len <= 15; len++)
        for (unsigned c = 0; c < (1u << len); c += 7)
            ASSERT_EQ(bi_reverse(bi_reverse(c, len), len), c) << c << "/" << len;
}

TEST(BiInit, KeepsTheInstalledInputRoutine) {
    int (*const sentinel)(char *, unsigned) = [](char *, unsigned) { return 0; };
    read_buf = sentinel;
    bw.bi_buf = 0x1234;
    bw.bi_valid = 9;
    bi_init(-1);
    EXPECT_EQ(read_buf, sentinel);
    EXPECT_EQ(bw.bi_buf, 0);
    EXPECT_EQ(bw.bi_valid, 0);
    bi_init(5);
    EXPECT_EQ(read_buf, sentinel);
}

// Each write to a SOCK_SEQPACKET socket arrives as one packet, so the sizes of the
// writes the output side makes can be read back.
class Packets {
   public:
    Packets() {
        if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fd_) != 0)
            throw std::runtime_error("socketpair");
        int big = 1 << 20;
        setsockopt(fd_[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        setsockopt(fd_[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    }
    ~Packets() {
        close(fd_[0]);
        close(fd_[1]);
    }
    int writer() const { return fd_[0]; }
    std::vector<std::string> take() {
        std::vector<std::string> v;
        char buf[65536];
        ssize_t n;
        while ((n = recv(fd_[1], buf, sizeof buf, MSG_DONTWAIT)) > 0)
            v.emplace_back(buf, static_cast<size_t>(n));
        return v;
    }

   private:
    int fd_[2];
};

TEST_F(BitWriter, ShortAppendAtTheLastFreeByteSplitsAroundTheFlush) {
    Packets p;
    ofd = p.writer();
    outcnt = OUTBUFSIZ - 1;
    put_output_short(0xbbaa);
    auto writes = p.take();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].size(), OUTBUFSIZ);
    EXPECT_EQ(static_cast<unsigned char>(writes[0].back()), 0xaa);
    EXPECT_EQ(pending(), "\xbb");

    outcnt = OUTBUFSIZ - 3;  // both bytes stored directly, no flush
    put_output_short(0x2211);
    EXPECT_EQ(outcnt, OUTBUFSIZ - 1);
    EXPECT_TRUE(p.take().empty());
    outcnt = 0;
}

TEST_F(BitWriter, StoredCopiesReachTheOutputInFullPieces) {
    Packets p;
    ofd = p.writer();
    std::string data(40000, 'q');
    send_bits(0, 3);
    copy_block(data.data(), static_cast<unsigned>(data.size()), 1);
    flush_outbuf();
    auto writes = p.take();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].size(), OUTBUFSIZ);
    EXPECT_EQ(writes[1].size(), OUTBUFSIZ);
    EXPECT_EQ(writes[2].size(), 1 + 4 + data.size() - 2 * OUTBUFSIZ);
}

}  // namespace
