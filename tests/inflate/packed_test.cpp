// Packed decoding tables: results like huft_build's, and decoding every symbol of random
// codes (canonical codes computed independently) with the bits its entry takes.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "inflate/inflate_internal.h"
#include "inflate/codes.h"

namespace {

struct Hit {
    bool invalid = false;
    unsigned e = 0, v = 0, bits = 0;  // bits: code bits, extra bits included
};

// Looks an input bit pattern (next bit = bit 0) up as the block decoder does.
Hit lookup(const std::vector<uint32_t> &t, unsigned root, unsigned long pattern) {
    Hit h;
    uint32_t x = t.at(pattern & ((1UL << root) - 1));
    if (packed_e(x) > E_LITERAL && packed_e(x) != E_INVALID) {
        h.bits = packed_b(x);
        pattern >>= packed_b(x);
        x = t.at(packed_v(x) + (pattern & ((1UL << (packed_e(x) - E_LINK_BASE)) - 1)));
    }
    h.invalid = packed_e(x) == E_INVALID;
    h.bits += packed_b(x);
    h.e = packed_e(x);
    h.v = packed_v(x);
    return h;
}

TEST(PackedBuild, RandomCodesDecodeToCanonicalSymbolsWithTheirExtraBits) {
    std::mt19937 rng(2026);
    for (int round = 0; round < 3000; round++) {
        const bool lit = round % 2 == 0;
        const unsigned max_sym = lit ? 286 : 30;
        const unsigned root = lit ? PACKED_LBITS : PACKED_DBITS;
        const unsigned capacity = lit ? PACKED_L_CAPACITY : PACKED_D_CAPACITY;
        const unsigned nsym = 2 + rng() % (max_sym - 1);
        const bool incomplete = round % 5 == 0;
        std::vector<unsigned> len = kt::random_lengths(rng, nsym, 1 + rng() % 15, incomplete);
        const unsigned g = *std::max_element(len.begin(), len.end());
        unsigned long kraft = 0;  // in units of 2^-15
        for (unsigned l : len)
            if (l) kraft += 1UL << (15 - l);
        const bool really_incomplete = kraft < (1UL << 15);
        std::vector<uint32_t> t(capacity, 0xdeadbeef);  // no entry has e = 0xbe
        unsigned bits = 99;
        const unsigned s = lit ? 257 : 0;
        int r = packed_build(len.data(), nsym, s, lit ? cplens : cpdist, lit ? cplext : cpdext,
                             root, t.data(), capacity, &bits);
        const bool single_one_bit = g == 1 && std::count(len.begin(), len.end(), 1u) == 1;
        ASSERT_EQ(r, really_incomplete && !single_one_bit ? 1 : 0) << "round " << round;
        if (r == 1 && g > root) continue;  // refused before any table is built
        ASSERT_EQ(bits, root) << "round " << round;

        // Every pattern of the longest length reaches a written entry, and a complete code
        // leaves none invalid.
        for (unsigned long p = 0; p < (1UL << g); p++) {
            Hit h = lookup(t, bits, p);
            ASSERT_NE(h.e, 0xbeu) << "unwritten entry, round " << round << " pattern " << p;
            if (!really_incomplete) {
                ASSERT_FALSE(h.invalid) << "round " << round;
            }
        }
        if (really_incomplete) continue;
        auto pat = kt::canonical_patterns(len);
        for (unsigned sym = 0; sym < nsym; sym++) {
            if (!len[sym]) continue;
            // Bits beyond the code must not matter.
            unsigned long p = pat[sym] | (static_cast<unsigned long>(rng()) << len[sym]);
            Hit h = lookup(t, bits, p);
            ASSERT_FALSE(h.invalid) << "round " << round << " sym " << sym;
            if (sym < s) {
                ASSERT_EQ(h.e, sym < 256 ? E_LITERAL : E_EOB);
                ASSERT_EQ(h.v, sym);
                ASSERT_EQ(h.bits, len[sym]) << "round " << round;
            } else {
                const unsigned extra = lit ? cplext[sym - s] : cpdext[sym - s];
                ASSERT_EQ(h.e, extra) << "round " << round << " sym " << sym;
                ASSERT_EQ(h.v, lit ? cplens[sym - s] : cpdist[sym - s]);
                ASSERT_EQ(h.bits, len[sym] + extra) << "round " << round << " sym " << sym;
            }
        }
    }
}

// The widest sub-tables per code are the deepest: 15-bit codes in complete groups of six
// (lengths root+1 .. 15 and one more 15) behind as many root prefixes as the alphabet
// allows. Such codes stay within the capacities.
TEST(PackedBuild, DeepestSubTablesFitTheCapacity) {
    for (bool lit : {true, false}) {
        const unsigned root = lit ? PACKED_LBITS : PACKED_DBITS;
        const unsigned n = lit ? 286 : 30;
        const unsigned group = 15 - root + 1;  // codes per full-depth sub-table
        std::vector<unsigned> len;
        // Prefixes with a deep sub-table, then the rest of the root filled by short codes.
        unsigned groups = n / group - 1;
        for (unsigned g = 0; g < groups; g++) {
            for (unsigned l = root + 1; l <= 15; l++) len.push_back(l);
            len.push_back(15);
        }
        // Root space left: 2^root - groups prefixes, covered by codes of lengths <= root.
        unsigned long space = (1UL << root) - groups;  // in root units
        for (unsigned l = 1; l <= root && space; l++) {
            const unsigned long unit = 1UL << (root - l);
            if (space & unit) {
                len.push_back(l);
                space -= unit;
            }
        }
        ASSERT_EQ(space, 0u);
        ASSERT_LE(len.size(), n);
        len.resize(n, 0);
        std::vector<uint32_t> t(lit ? PACKED_L_CAPACITY : PACKED_D_CAPACITY);
        unsigned bits;
        EXPECT_EQ(
            packed_build(len.data(), n, lit ? 257 : 0, lit ? cplens : cpdist, lit ? cplext : cpdext,
                         root, t.data(), static_cast<unsigned>(t.size()), &bits),
            0)
            << lit;
    }
}

TEST(PackedBuild, EdgeCaseResults) {
    std::vector<uint32_t> t(PACKED_D_CAPACITY, 0);
    unsigned bits = 99;
    unsigned zeros[30] = {};
    EXPECT_EQ(packed_build(zeros, 30, 0, cpdist, cpdext, PACKED_DBITS, t.data(), PACKED_D_CAPACITY,
                           &bits),
              0);
    EXPECT_EQ(bits, PACKED_DBITS);
    for (unsigned i = 0; i < (1u << PACKED_DBITS); i++)
        EXPECT_EQ(packed_e(t[i]), E_INVALID) << "a code without lengths decodes nothing";
    unsigned over[3] = {1, 1, 1};
    EXPECT_EQ(
        packed_build(over, 3, 0, cpdist, cpdext, PACKED_DBITS, t.data(), PACKED_D_CAPACITY, &bits),
        2);
    unsigned one[2] = {0, 1};
    ASSERT_EQ(
        packed_build(one, 2, 0, cpdist, cpdext, PACKED_DBITS, t.data(), PACKED_D_CAPACITY, &bits),
        0);
    EXPECT_EQ(bits, PACKED_DBITS);
    EXPECT_EQ(packed_v(t[0]), cpdist[1]);
    EXPECT_EQ(packed_e(t[1]), E_INVALID);
    EXPECT_EQ(packed_v(t[0x80]), cpdist[1]) << "the root repeats the 1-bit code";
    EXPECT_EQ(packed_e(t[0x81]), E_INVALID);
    // 30 fixed distance codes of 5 bits: incomplete, 30 and 31 invalid, still built.
    unsigned five[30];
    std::fill(five, five + 30, 5u);
    ASSERT_EQ(
        packed_build(five, 30, 0, cpdist, cpdext, PACKED_DBITS, t.data(), PACKED_D_CAPACITY, &bits),
        1);
    EXPECT_EQ(bits, PACKED_DBITS);
    for (unsigned high = 0; high < 8; high++) {               // root index bits 5-7 follow the code
        EXPECT_EQ(packed_e(t[high << 5 | 0x0f]), E_INVALID);  // code 11110 reversed
        EXPECT_EQ(packed_e(t[high << 5 | 0x1f]), E_INVALID);  // 11111
        EXPECT_EQ(packed_v(t[high << 5 | 0x10]), cpdist[1]);  // 00001
    }
    // An incomplete code with codes longer than the root is refused before building.
    std::vector<unsigned> deep(30, 0);
    deep[0] = 1;
    deep[1] = 12;
    EXPECT_EQ(packed_build(deep.data(), 30, 0, cpdist, cpdext, PACKED_DBITS, t.data(),
                           PACKED_D_CAPACITY, &bits),
              1);
}

}  // namespace
