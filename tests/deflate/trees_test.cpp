// Huffman code construction: forced symbols of nearly empty trees, depth tie-breaks and the
// length-limit repair.
#include <gtest/gtest.h>

#include <vector>

#include "deflate/deflate_internal.h"

namespace {

class Trees : public testing::Test {
   protected:
    ush attr = 0;
    int meth = 8;
    void SetUp() override {
        ct_init(&attr, &meth);
        init_block();
        bw.dyn_ltree[END_BLOCK].fc = 0;
    }
    // Kraft sum of the used lengths, scaled by 2^15: a complete code gives exactly 32768.
    static long kraft(const ct_data *tree, int n) {
        long k = 0;
        for (int i = 0; i < n; i++)
            if (tree[i].dl) k += 1L << (MAX_BITS - tree[i].dl);
        return k;
    }
};

TEST_F(Trees, SecondInitOnlyResetsTheOutputCount) {
    bw.dyn_ltree[65].fc = 7;
    bw.compressed_len = 99;
    ush attr2 = 1;
    ct_init(&attr2, &meth);
    EXPECT_EQ(bw.dyn_ltree[65].fc, 7) << "counts are not cleared again";
    EXPECT_EQ(bw.compressed_len, 0u);
    EXPECT_EQ(bw.file_type, &attr2);
}

TEST_F(Trees, EmptyDistanceTreeGetsTwoForcedCodesAtNoCost) {
    bw.opt_len = bw.static_len = 0;
    build_tree(&bw.d_desc);
    EXPECT_EQ(bw.d_desc.max_code, 1);
    EXPECT_EQ(bw.dyn_dtree[0].dl, 1);
    EXPECT_EQ(bw.dyn_dtree[1].dl, 1);
    EXPECT_EQ(bw.opt_len, 0u) << "-1 per forced symbol, +1 per length bit";
    EXPECT_EQ(bw.static_len, 0u);
}

TEST_F(Trees, ForcedSymbolsOfASingleUsedSymbol) {
    struct {
        int used;
        int forced;
        int max_code;
    } cases[] = {{END_BLOCK, 0, END_BLOCK}, {0, 1, 1}, {1, 2, 2}, {100, 0, 100}};
    for (auto c : cases) {
        init_block();
        bw.dyn_ltree[END_BLOCK].fc = 0;
        bw.dyn_ltree[c.used].fc = 5;
        build_tree(&bw.l_desc);
        EXPECT_EQ(bw.l_desc.max_code, c.max_code) << c.used;
        EXPECT_EQ(bw.dyn_ltree[c.used].dl, 1) << c.used;
        EXPECT_EQ(bw.dyn_ltree[c.forced].dl, 1) << c.used;
        EXPECT_EQ(kraft(bw.dyn_ltree, L_CODES), 32768) << c.used;
    }
}

TEST_F(Trees, EqualFrequenciesPreferShallowSubtrees) {
    // Weights 1, 1, 2, 2: after 1 + 1 three nodes of weight 2 remain; the two leaves must
    // pair first, giving lengths 2, 2, 2, 2 rather than the equally cheap 3, 3, 2, 1.
    bw.dyn_ltree[10].fc = 1;
    bw.dyn_ltree[20].fc = 1;
    bw.dyn_ltree[30].fc = 2;
    bw.dyn_ltree[40].fc = 2;
    build_tree(&bw.l_desc);
    for (int s : {10, 20, 30, 40}) EXPECT_EQ(bw.dyn_ltree[s].dl, 2) << s;
    // Codes are canonical: same length, increasing with the symbol.
    EXPECT_EQ(bw.dyn_ltree[10].fc, bi_reverse(0, 2));
    EXPECT_EQ(bw.dyn_ltree[40].fc, bi_reverse(3, 2));
}

// Fibonacci weights (1, 2, 3, 5, ...) plus the end-of-block symbol build a chain 20 deep:
// the repair must bring it to 15 bits, keep the code complete and recount opt_len.
TEST_F(Trees, OverlongCodesAreRepairedToFifteenBits) {
    std::vector<unsigned> f = {1, 2};
    while (f.size() < 20) f.push_back(f[f.size() - 1] + f[f.size() - 2]);
    bw.dyn_ltree[END_BLOCK].fc = 1;
    for (size_t i = 0; i < f.size(); i++) bw.dyn_ltree[i].fc = static_cast<ush>(f[i]);
    bw.opt_len = bw.static_len = 0;
    build_tree(&bw.l_desc);

    // Symbols 0..19 by increasing weight, then the end-of-block symbol.
    const int expected[20] = {15, 15, 15, 15, 15, 15, 15, 13, 13, 11,
                              10, 9,  8,  7,  6,  5,  4,  3,  2,  1};
    ulg bits = 0;
    for (size_t i = 0; i < f.size(); i++) {
        EXPECT_EQ(bw.dyn_ltree[i].dl, expected[i]) << "symbol " << i;
        bits += f[i] * bw.dyn_ltree[i].dl;
    }
    EXPECT_EQ(bw.dyn_ltree[END_BLOCK].dl, 15);
    bits += bw.dyn_ltree[END_BLOCK].dl;
    EXPECT_EQ(kraft(bw.dyn_ltree, L_CODES), 32768);
    EXPECT_EQ(bw.opt_len, bits);
}

TEST_F(Trees, CodeLengthTreeNeverExceedsSevenBits) {
    // Doubling weights would want lengths up to 12.
    for (unsigned i = 0; i < BL_CODES; i++)
        bw.bl_tree[i].fc = static_cast<ush>(1u << (i < 12 ? i : 11));
    build_tree(&bw.bl_desc);
    int longest = 0;
    for (unsigned i = 0; i < BL_CODES; i++)
        longest = std::max(longest, static_cast<int>(bw.bl_tree[i].dl));
    EXPECT_EQ(longest, static_cast<int>(MAX_BL_BITS));
    EXPECT_EQ(kraft(bw.bl_tree, BL_CODES), 32768);
}

}  // namespace
