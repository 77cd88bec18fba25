// Block emission: tallying and block ends, the code-length run coding, the block-type
// choice and the shape of the emitted blocks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/test_util.h"
#include "deflate/deflate_internal.h"
#include "deflate/deflate_test_util.h"

namespace {

class Tally : public testing::Test {
   protected:
    ush attr = 0;
    int meth = 8;
    int saved_level = lm::compr_level;  // the level the match finder was set to; ct_tally reads it
    void SetUp() override {
        ct_init(&attr, &meth);
        init_block();
        lm::strstart = 0;
        lm::block_start = 0;
    }
    void TearDown() override {
        lm::compr_level = saved_level;
        init_block();
    }
};

TEST_F(Tally, BlockEndsAtTheSymbolLimit) {
    for (unsigned i = 1; i < LIT_BUFSIZE - 1; i++) ASSERT_EQ(ct_tally(0, 'a'), 0) << i;
    EXPECT_EQ(ct_tally(0, 'a'), 1) << "symbol 32767 fills the block";
    EXPECT_EQ(bw.last_lit, 32767u);
    EXPECT_EQ(bw.last_flags, 4095u);
}

TEST_F(Tally, EarlyEndIsTestedEvery4096SymbolsAboveLevel2) {
    lm::strstart = 100000;  // far more input than the literals would cost
    for (int lvl : {9, 3, 2, 1}) {
        lm::compr_level = lvl;
        init_block();
        int first_end = 0;
        for (int i = 1; i <= 9000 && first_end == 0; i++)
            if (ct_tally(0, 'e')) first_end = i;
        EXPECT_EQ(first_end, lvl > 2 ? 4096 : 0) << "level " << lvl;
    }
    // Mostly matches: not ended early, however well it compresses.
    lm::compr_level = 9;
    init_block();
    int ended = 0;
    for (int i = 1; i <= 4096; i++) ended |= ct_tally(i % 3 ? 1 : 0, 5);
    EXPECT_EQ(ended, 0);
}

TEST_F(Tally, InlineLiteralTallyKeepsTheSameState) {
    // The same symbols through ct_tally alone and with literals through ct_tally_literal:
    // the same block ends and, at each, the same buffers, flags and counts. Blocks of
    // literals only end early at 4096 symbols when the input is long enough.
    auto trace = [](bool inline_literals, long input) {
        std::vector<std::string> states;
        init_block();
        lm::strstart = static_cast<unsigned>(input);
        uint32_t r = 12345;
        for (int i = 0; i < 70000; i++) {
            r = r * 1103515245u + 12345u;
            int lc = static_cast<int>((r >> 8) & 0xff);
            int dist = (r >> 20) % 4 == 0 ? static_cast<int>(1 + (r >> 16) % 32768) : 0;
            int end = dist == 0 && inline_literals ? ct_tally_literal(lc) : ct_tally(dist, lc);
            if (!end && i != 69999) continue;
            std::string st(reinterpret_cast<const char *>(inbuf), bw.last_lit);
            st.append(reinterpret_cast<const char *>(bw.flag_buf), bw.last_flags);
            st.append(reinterpret_cast<const char *>(bw.d_buf), bw.last_dist * sizeof(ush));
            for (unsigned n = 0; n < L_CODES; n++) st += std::to_string(bw.dyn_ltree[n].fc) + ",";
            st += std::to_string(bw.flags) + "/" + std::to_string(bw.flag_bit) + "/" +
                  std::to_string(i);
            states.push_back(st);
            init_block();
        }
        return states;
    };
    for (long input : {100000L, 1000L}) {
        auto general = trace(false, input), inlined = trace(true, input);
        EXPECT_GE(general.size(), 3u) << input;
        EXPECT_TRUE(general == inlined) << "input " << input;
    }
}

TEST_F(Tally, DistancesAreStoredMinusOneWithTheirCodes) {
    ct_tally(1, 0);
    ct_tally(32768, 255);
    ct_tally(32506, 10);
    EXPECT_EQ(bw.d_buf[0], 0);
    EXPECT_EQ(bw.d_buf[1], 32767);
    EXPECT_EQ(bw.dyn_dtree[0].fc, 1);
    EXPECT_EQ(bw.dyn_dtree[29].fc, 2);
    EXPECT_EQ(32506 - 1 - base_dist[29], 7929);
    EXPECT_EQ(bw.dyn_ltree[285].fc, 1) << "length 258 is symbol 285";
    EXPECT_EQ(bw.dyn_ltree[257 + length_code[10]].fc, 1);
    EXPECT_EQ(bw.last_dist, 3u);
    EXPECT_EQ(bw.flags, 0x07);
}

TEST_F(Tally, FileTypeIsClassifiedOnlyWhenUnknown) {
    outcnt = 0;
    bi_init(-1);
    for (char c : std::string("plain ascii text\n")) ct_tally(0, static_cast<unsigned char>(c));
    flush_block(nullptr, 17, 0);
    EXPECT_EQ(attr, ATTR_BINARY) << "a known type is left alone";

    ush unknown = ATTR_UNKNOWN;
    bw.file_type = &unknown;
    for (char c : std::string("plain ascii text\n")) ct_tally(0, static_cast<unsigned char>(c));
    flush_block(nullptr, 17, 0);
    EXPECT_EQ(unknown, ATTR_ASCII);
    for (int i = 0; i < 10; i++) ct_tally(0, 200);
    flush_block(nullptr, 10, 0);
    EXPECT_EQ(unknown, ATTR_ASCII) << "decided once, on the first block";
    unknown = ATTR_UNKNOWN;
    for (int i = 0; i < 10; i++) ct_tally(0, 200);
    set_file_type();
    EXPECT_EQ(unknown, ATTR_BINARY);
    outcnt = 0;
}

TEST_F(Tally, EmptyFinalBlockIsThreeBitsOfFixedCodes) {
    outcnt = 0;
    bi_init(-1);
    EXPECT_EQ(flush_block(reinterpret_cast<char *>(window), 0, 1), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(outbuf), outcnt), std::string("\x03\x00", 2));
    outcnt = 0;
}

// Code-length run coding, checked on send_tree's own bits: with every code-length code
// given a 5-bit code equal to its symbol, the sent stream reads back as symbols and extras.
struct LengthRun {
    std::vector<int> lens;
    std::vector<std::pair<int, int>> sent;
};

std::vector<std::pair<int, int>> read_runs(const std::string &bytes, size_t nbits) {
    std::vector<std::pair<int, int>> out;
    size_t pos = 0;
    auto bits = [&](int n) {
        int v = 0;
        for (int i = 0; i < n; i++, pos++)
            v |= ((static_cast<unsigned char>(bytes[pos / 8]) >> (pos % 8)) & 1) << i;
        return v;
    };
    while (pos < nbits) {
        int sym = static_cast<int>(bi_reverse(static_cast<unsigned>(bits(5)), 5));
        int extra = sym == REP_3_6       ? bits(2)
                    : sym == REPZ_3_10   ? bits(3)
                    : sym == REPZ_11_138 ? bits(7)
                                         : 0;
        out.push_back({sym, extra});
    }
    return out;
}

TEST_F(Tally, CodeLengthRunsUseTheRepeatCodes) {
    auto rep = [](int n, int v) { return std::vector<int>(static_cast<size_t>(n), v); };
    auto cat = [](std::vector<int> a, const std::vector<int> &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const LengthRun cases[] = {
        {cat(rep(138, 0), {4}), {{18, 127}, {4, 0}}},
        {cat(rep(139, 0), {4}), {{18, 127}, {0, 0}, {4, 0}}},
        {cat(rep(10, 0), {2}), {{17, 7}, {2, 0}}},
        {cat(rep(11, 0), {2}), {{18, 0}, {2, 0}}},
        {cat(cat({3}, rep(7, 8)), {3}), {{3, 0}, {8, 0}, {16, 3}, {3, 0}}},
        {cat(cat({3}, rep(3, 5)), {3}), {{3, 0}, {5, 0}, {5, 0}, {5, 0}, {3, 0}}},
        {rep(8, 4), {{4, 0}, {16, 3}, {4, 0}}},
        {cat(cat({6}, rep(2, 0)), {6}), {{6, 0}, {0, 0}, {0, 0}, {6, 0}}},
    };
    for (const auto &c : cases) {
        ct_data tree[HEAP_SIZE] = {};
        for (size_t i = 0; i < c.lens.size(); i++) tree[i].dl = static_cast<ush>(c.lens[i]);
        int max_code = static_cast<int>(c.lens.size()) - 1;
        for (unsigned i = 0; i < BL_CODES; i++) bw.bl_tree[i] = {0, 0};
        scan_tree(tree, max_code);
        std::vector<int> counted(BL_CODES);
        for (unsigned i = 0; i < BL_CODES; i++) {
            counted[i] = bw.bl_tree[i].fc;
            bw.bl_tree[i] = {static_cast<ush>(bi_reverse(static_cast<unsigned>(i), 5)), 5};
        }

        outcnt = 0;
        bi_init(-1);
        send_tree(tree, max_code);
        size_t nbits = outcnt * 8 + static_cast<size_t>(bw.bi_valid);
        bi_windup();
        auto sent = read_runs(std::string(reinterpret_cast<char *>(outbuf), outcnt), nbits);
        outcnt = 0;
        EXPECT_EQ(sent, c.sent) << "lengths: " << c.lens.size();
        std::vector<int> expected_counts(BL_CODES);
        for (auto s : sent) expected_counts[s.first]++;
        EXPECT_EQ(counted, expected_counts) << "scan_tree counts what send_tree sends";
    }
}

TEST(Blocks, TypeFollowsTheCheapestForm) {
    struct {
        std::string name;
        std::string data;
        int type;
    } cases[] = {
        {"random", kt::random_bytes(3000, 1), BTYPE_STORED},
        {"short text", "hello, hello, hello world", BTYPE_FIXED},
        {"long text", kt::text_bytes(20000, 2), BTYPE_DYNAMIC},
        {"empty", "", BTYPE_FIXED},
    };
    for (const auto &c : cases) {
        std::string d = dt::deflate_level(c.data);
        size_t end = 0;
        auto blocks = dt::parse_deflate(d, &end);
        ASSERT_EQ(blocks.size(), 1u) << c.name;
        EXPECT_EQ(blocks[0].type, c.type) << c.name;
        EXPECT_TRUE(blocks[0].final) << c.name;
        EXPECT_EQ(end, d.size()) << c.name
                                 << ": the member ends byte-aligned after the final block";
        EXPECT_EQ(dt::expand(blocks), c.data) << c.name;
    }
    EXPECT_EQ(dt::deflate_level(""), std::string("\x03\x00", 2));
}

TEST(Blocks, LongestMatchUsesSymbol285AndSkipsUnusedLengthCodes) {
    auto big = std::string(5000, 'z') + kt::text_bytes(3000, 3);
    auto blocks = dt::parse_deflate(dt::deflate_level(big));
    ASSERT_EQ(blocks[0].type, BTYPE_DYNAMIC);
    EXPECT_NE(blocks[0].lit_lens.at(285), 0);
    EXPECT_EQ(blocks[0].lit_lens.at(284), 0) << "258 is never sent as 227 + 31";
    EXPECT_EQ(blocks[0].syms.at(1), dt::lit('z'));
    EXPECT_EQ(blocks[0].syms.at(2), dt::match(258, 1));
    EXPECT_GE(blocks[0].hclen, 4);
    EXPECT_EQ(dt::expand(blocks), big);
}

TEST(Blocks, RandomInputIsStoredInBlocksBelow64KiB) {
    std::string data = kt::random_bytes(200000, 7);
    auto blocks = dt::parse_deflate(dt::deflate_level(data));
    ASSERT_GE(blocks.size(), 6u);
    for (const auto &b : blocks) {
        EXPECT_EQ(b.type, BTYPE_STORED);
        if (b.final) break;
        EXPECT_GE(b.stored.size(), 32767u) << "ended by the symbol limit, not earlier";
        EXPECT_LT(b.stored.size(), 65536u);
    }
    EXPECT_EQ(dt::expand(blocks), data);
}

TEST_F(Tally, BlockWhoseStartSlidOutIsNeverStored) {
    // The match finder passes no buffer once the block's start has left the window.
    std::string data = kt::random_bytes(1000, 9);
    memcpy(window, data.data(), data.size());
    for (int with_buffer = 1; with_buffer >= 0; with_buffer--) {
        outcnt = 0;
        bi_init(-1);
        for (unsigned char c : data) ct_tally(0, c);
        flush_block(with_buffer ? reinterpret_cast<char *>(window) : nullptr, data.size(), 1);
        auto blocks = dt::parse_deflate(std::string(reinterpret_cast<char *>(outbuf), outcnt));
        ASSERT_EQ(blocks.size(), 1u);
        EXPECT_EQ(blocks[0].type, with_buffer ? BTYPE_STORED : BTYPE_DYNAMIC);
        EXPECT_EQ(dt::expand(blocks), data);
    }
    outcnt = 0;
}

}  // namespace
