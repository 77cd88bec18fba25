// Huffman decoding tables: results, shapes, invalid entries, and decoding every symbol of
// random codes back through the tables against canonical codes computed independently.
#include <gtest/gtest.h>
#include <malloc.h>
#if KELPA_SANITIZED
#include <sanitizer/allocator_interface.h>
#endif

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "inflate/inflate_internal.h"
#include "inflate/codes.h"

namespace {

// Records the entry counts of table allocations; fails the allocation numbered fail_at.
std::vector<size_t> g_alloc_entries;
int g_alloc_count = 0;
int g_fail_at = -1;
void *recording_malloc(size_t n) {
    if (g_alloc_count++ == g_fail_at) return nullptr;
    g_alloc_entries.push_back(n / sizeof(huft));
    return malloc(n);
}
struct AllocSpy {
    AllocSpy(int fail_at = -1) {
        g_alloc_entries.clear();
        g_alloc_count = 0;
        g_fail_at = fail_at;
        g_alloc_entries.reserve(64);  // no allocation of our own while a table set is measured
        huft_malloc = recording_malloc;
    }
    ~AllocSpy() { huft_malloc = huft_arena_alloc; }
};

// Heap bytes in use, from the allocator in use (glibc's or the sanitizer's). The
// allocator's own first-use bookkeeping shows up once, so measure after a warm-up.
long heap_in_use() {
#if KELPA_SANITIZED
    return static_cast<long>(__sanitizer_get_current_allocated_bytes());
#else
    return static_cast<long>(mallinfo2().uordblks);
#endif
}

// Allocates tables filled with a byte no entry field takes (e = 0xAB is none of the
// codes), so an entry huft_build leaves unwritten is visible to all_entries_written.
constexpr unsigned char POISON = 0xAB;
void *poisoning_malloc(size_t n) {
    void *p = malloc(n);
    if (p) memset(p, POISON, n);
    return p;
}
struct PoisonedTables {
    PoisonedTables() { huft_malloc = poisoning_malloc; }
    ~PoisonedTables() { huft_malloc = huft_arena_alloc; }
};

// True when every entry of the table of 2^bits entries at t, and of every table it links
// to, was written by huft_build.
bool all_entries_written(const huft *t, unsigned bits) {
    for (unsigned i = 0; i < (1u << bits); i++) {
        if (t[i].e == POISON) return false;
        if (t[i].e > E_LITERAL && t[i].e != E_INVALID &&
            !all_entries_written(t[i].v.t, t[i].e - E_LINK_BASE))
            return false;
    }
    return true;
}

struct Hit {
    bool invalid = false;
    unsigned e = 0, v = 0, bits = 0;
};

// Looks up an input bit pattern (next bit = bit 0) exactly as the block decoder does.
Hit lookup(const huft *t, int m, unsigned long pattern) {
    Hit h;
    const huft *p = t + (pattern & ((1UL << m) - 1));
    while (p->e > E_LITERAL) {
        if (p->e == E_INVALID) {
            h.invalid = true;
            return h;
        }
        h.bits += p->b;
        pattern >>= p->b;
        unsigned w = p->e - E_LINK_BASE;
        p = p->v.t + (pattern & ((1UL << w) - 1));
    }
    h.bits += p->b;
    h.e = p->e;
    h.v = p->v.n;
    return h;
}

TEST(HuftBuild, EdgeCaseResults) {
    struct Case {
        const char *what;
        std::vector<unsigned> lengths;
        int want;
    };
    const Case cases[] = {
        {"one code of length 1", {1, 0, 0}, 0},    {"one code of length 2", {0, 2, 0}, 1},
        {"three codes of length 1", {1, 1, 1}, 2}, {"complete 1,2,2", {1, 2, 2}, 0},
        {"incomplete 2,2,2", {2, 2, 2}, 1},        {"over-subscribed 1,2,2,2", {1, 2, 2, 2}, 2},
        {"length above 16", {17, 1}, 2},
    };
    for (const auto &c : cases) {
        huft *t = nullptr;
        int m = 7;
        int r = huft_build(c.lengths.data(), static_cast<unsigned>(c.lengths.size()), 3, nullptr,
                           nullptr, &t, &m);
        EXPECT_EQ(r, c.want) << c.what;
        if (r <= 1) huft_free(t);
    }
}

TEST(HuftBuild, AllZeroLengthsGiveNoTable) {
    std::vector<unsigned> z(30, 0);
    huft *t = reinterpret_cast<huft *>(&z);  // must be overwritten
    int m = 6;
    AllocSpy spy;
    EXPECT_EQ(huft_build(z.data(), 30, 0, cpdist, cpdext, &t, &m), 0);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(m, 0);
    EXPECT_EQ(g_alloc_count, 0);
    EXPECT_EQ(huft_free(nullptr), 0);
}

TEST(HuftBuild, OverSubscribedAllocatesNothing) {
    unsigned l[] = {1, 1, 1};
    huft *sentinel = reinterpret_cast<huft *>(l), *t = sentinel;
    int m = 7;
    AllocSpy spy;
    EXPECT_EQ(huft_build(l, 3, 3, nullptr, nullptr, &t, &m), 2);
    EXPECT_EQ(t, sentinel);
    EXPECT_EQ(g_alloc_count, 0);
}

TEST(HuftBuild, SingleOneBitCodeOtherPatternInvalid) {
    unsigned l[] = {0, 0, 1};
    huft *t;
    int m = 7;
    ASSERT_EQ(huft_build(l, 3, 3, nullptr, nullptr, &t, &m), 0);
    EXPECT_EQ(m, 1);
    Hit a = lookup(t, m, 0);
    EXPECT_FALSE(a.invalid);
    EXPECT_EQ(a.v, 2u);
    EXPECT_EQ(a.bits, 1u);
    // The unused pattern is invalid but carries the previous entry's value, which the
    // code-length decoder relies on.
    EXPECT_EQ(t[1].e, E_INVALID);
    EXPECT_EQ(t[1].v.n, 2u);
    huft_free(t);
}

TEST(HuftBuild, FixedLiteralLengthCode) {
    std::vector<unsigned> l(288);
    for (unsigned i = 0; i < 288; i++) l[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    huft *t;
    int m = 7;
    AllocSpy spy;
    ASSERT_EQ(huft_build(l.data(), 288, 257, cplens, cplext, &t, &m), 0);
    EXPECT_EQ(m, 7);
    ASSERT_FALSE(g_alloc_entries.empty());
    EXPECT_EQ(g_alloc_entries[0], 256u + 1) << "level 0: 256 entries plus the chain header";
    auto pat = kt::canonical_patterns(l);
    for (unsigned s = 0; s < 288; s++) {
        Hit h = lookup(t, m, pat[s]);
        if (s >= 286) {
            EXPECT_TRUE(h.invalid) << s;
            continue;
        }
        ASSERT_FALSE(h.invalid) << s;
        EXPECT_EQ(h.bits, l[s]) << s;
        if (s < 256) {
            EXPECT_EQ(h.e, E_LITERAL);
            EXPECT_EQ(h.v, s);
        } else if (s == 256) {
            EXPECT_EQ(h.e, E_EOB);
        } else {
            EXPECT_EQ(h.e, cplext[s - 257]);
            EXPECT_EQ(h.v, cplens[s - 257]);
        }
    }
    huft_free(t);
}

TEST(HuftBuild, FixedDistanceCodeIsIncomplete) {
    std::vector<unsigned> l(30, 5);
    huft *t;
    int m = 5;
    AllocSpy spy;
    ASSERT_EQ(huft_build(l.data(), 30, 0, cpdist, cpdext, &t, &m), 1);
    ASSERT_EQ(g_alloc_entries.size(), 1u);
    EXPECT_EQ(g_alloc_entries[0], 32u + 1);
    for (unsigned s = 0; s < 32; s++) {
        unsigned rev = 0;
        for (int i = 0; i < 5; i++) rev |= ((s >> i) & 1) << (4 - i);
        Hit h = lookup(t, m, rev);
        if (s >= 30) {
            EXPECT_TRUE(h.invalid) << s;
        } else {
            EXPECT_EQ(h.v, cpdist[s]);
            EXPECT_EQ(h.e, cpdext[s]);
        }
    }
    huft_free(t);
}

TEST(HuftBuild, RequestedWidthClampedToLengths) {
    unsigned l[] = {3, 3, 3, 3, 3, 3, 3, 3};
    huft *t;
    int m = 9;
    ASSERT_EQ(huft_build(l, 8, 8, nullptr, nullptr, &t, &m), 0);
    EXPECT_EQ(m, 3);
    huft_free(t);
    unsigned l2[] = {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4};
    m = 2;
    ASSERT_EQ(huft_build(l2, 16, 16, nullptr, nullptr, &t, &m), 0);
    EXPECT_EQ(m, 4);
    huft_free(t);
}

// Random codes shaped like the decoder's three uses (literal/length: up to 288 symbols, 9-bit
// level 0; distance: up to 30 symbols, 6 bits; code-length: 19 symbols of at most 7 bits,
// 7 bits). Complete codes come from splitting leaves of a code tree, incomplete ones from
// dropping a leaf. Every symbol of a complete code decodes through the tables to itself with
// its own length; an incomplete one reports 1 and leaves some full-length pattern invalid.
TEST(HuftBuild, RandomCodesDecodeToCanonicalSymbols) {
    struct Profile {
        unsigned max_sym, max_len;
        int m;
    };
    const Profile profiles[] = {{288, 15, 9}, {30, 15, 6}, {19, 7, 7}};
    std::mt19937 rng(12345);
    for (int round = 0; round < 600; round++) {
        const Profile &pf = profiles[round % 3];
        unsigned nsym = 2 + rng() % (pf.max_sym - 1);
        unsigned maxlen = 1 + rng() % pf.max_len;
        bool incomplete;
        std::vector<unsigned> len =
            kt::random_lengths(rng, nsym, maxlen, (round / 3) % 3 == 0, &incomplete);
        unsigned g = *std::max_element(len.begin(), len.end());

        huft *t;
        int m = pf.m;
        int r;
        {
            PoisonedTables poisoned;
            r = huft_build(len.data(), nsym, nsym, nullptr, nullptr, &t, &m);
        }
        bool single_one_bit = g == 1 && std::count(len.begin(), len.end(), 1u) == 1;
        ASSERT_EQ(r, incomplete && !single_one_bit ? 1 : 0) << "round " << round;
        ASSERT_TRUE(all_entries_written(t, static_cast<unsigned>(m))) << "round " << round;
        if (!incomplete) {
            auto pat = kt::canonical_patterns(len);
            for (unsigned s = 0; s < nsym; s++) {
                if (!len[s]) continue;
                // Bits beyond the code must not matter.
                unsigned long p = pat[s] | (static_cast<unsigned long>(rng()) << len[s]);
                Hit h = lookup(t, m, p);
                ASSERT_FALSE(h.invalid) << "round " << round << " sym " << s;
                ASSERT_EQ(h.v, s) << "round " << round;
                ASSERT_EQ(h.bits, len[s]) << "round " << round;
            }
        } else if (!single_one_bit) {
            unsigned invalid = 0;
            for (unsigned long p = 0; p < (1UL << g); p++) invalid += lookup(t, m, p).invalid;
            EXPECT_GT(invalid, 0u) << "round " << round;
        }
        huft_free(t);
    }
}

TEST(HuftBuild, EveryEntryOfAnyAcceptedCodeIsWritten) {
    // Arbitrary length vectors, most of them incomplete codes whose leftover patterns leave
    // sub-table slots no code reaches (e.g. lengths 6 and 13 at width 6); the decoder may
    // look any of them up, so none may keep what an earlier table left in the memory.
    std::mt19937 rng(777);
    unsigned accepted = 0;
    for (int round = 0; round < 20000; round++) {
        unsigned n = 1 + rng() % 30;
        std::vector<unsigned> len(n);
        for (auto &l : len) l = rng() % 3 == 0 ? 0 : 1 + rng() % (1 + rng() % 15);
        huft *t;
        int m = 1 + static_cast<int>(rng() % 9);
        int r;
        {
            PoisonedTables poisoned;
            r = huft_build(len.data(), n, n, nullptr, nullptr, &t, &m);
        }
        if (r > 1 || t == nullptr) continue;
        accepted++;
        ASSERT_TRUE(all_entries_written(t, static_cast<unsigned>(m))) << "round " << round;
        huft_free(t);
    }
    EXPECT_GT(accepted, 5000u);
}

TEST(HuftBuild, LongCodesUseSubTablesAndFreeReleasesAll) {
    // A skewed code with lengths 1..15 (and two of 15) looked up with 6 bits at level 0.
    std::vector<unsigned> len;
    for (unsigned l = 1; l <= 15; l++) len.push_back(l);
    len.push_back(15);
    const auto pat = kt::canonical_patterns(len);
    huft *t;
    int m = 6;
    {
        AllocSpy warm_up;  // the heap's own first-use bookkeeping, outside the measurement
        ASSERT_EQ(huft_build(len.data(), 16, 0, cpdist, cpdext, &t, &m), 0);
        huft_free(t);
    }
    {
        AllocSpy spy;
        long before = heap_in_use();
        ASSERT_EQ(huft_build(len.data(), 16, 0, cpdist, cpdext, &t, &m), 0);
        EXPECT_GT(g_alloc_entries.size(), 1u) << "codes past 6 bits need sub-tables";
        // Codes 1..6 bits fill level 0 except the all-ones prefix (index 63, bit-reversed),
        // which links to a 6-bit sub-table for the 7..12-bit codes: drop 6 bits, index 6 more.
        EXPECT_EQ(t[63].e, E_LINK_BASE + 6);
        EXPECT_EQ(t[63].b, 6);
        EXPECT_EQ(g_alloc_entries[1], 64u + 1);
        EXPECT_EQ(t[0].e, cpdext[0]) << "symbol 0, code 0, repeated over every even index";
        EXPECT_EQ(t[0].b, 1);
        EXPECT_EQ(t[62].v.n, cpdist[0]);
        for (unsigned s = 0; s < 16; s++) {
            Hit h = lookup(t, m, pat[s]);
            ASSERT_FALSE(h.invalid);
            EXPECT_EQ(h.v, cpdist[s]);
            EXPECT_EQ(h.bits, len[s]);
        }
        huft_free(t);
        EXPECT_EQ(heap_in_use(), before);
    }
}

TEST(HuftBuild, AllocationFailureReleasesEarlierTables) {
    std::vector<unsigned> len;
    for (unsigned l = 1; l <= 15; l++) len.push_back(l);
    len.push_back(15);
    int tables;
    {
        AllocSpy spy;
        huft *t;
        int m = 6;
        ASSERT_EQ(huft_build(len.data(), 16, 0, cpdist, cpdext, &t, &m), 0);
        huft_free(t);
        tables = g_alloc_count;
    }
    for (int fail_at = 0; fail_at < tables; fail_at++) {
        huft *t;
        int m = 6;
        AllocSpy spy(fail_at);
        long before = heap_in_use();
        EXPECT_EQ(huft_build(len.data(), 16, 0, cpdist, cpdext, &t, &m), 3) << fail_at;
        EXPECT_EQ(heap_in_use(), before) << fail_at;
    }
}

// Literal/length lengths like an executable's dynamic block: all 286 symbols, lengths
// 8..15, a complete code (232/2^8 + 47/2^9 + 1/2^10 + ... + 1/2^14 + 2/2^15 = 1), so a
// 9-bit level 0 with sub-tables for the longest codes.
std::vector<unsigned> long_literal_lengths() {
    std::vector<unsigned> len;
    const unsigned counts[16] = {0, 0, 0, 0, 0, 0, 0, 0, 232, 47, 1, 1, 1, 1, 1, 2};
    for (unsigned l = 0; l < 16; l++)
        for (unsigned i = 0; i < counts[l]; i++) len.push_back(l);
    return len;
}

TEST(HuftArena, DefaultTablesComeFromTheArenaAndItEmptiesWhenAllAreFreed) {
    ASSERT_EQ(huft_malloc, &huft_arena_alloc);
    ASSERT_EQ(huft_arena_in_use(), 0u);
    auto len = long_literal_lengths();
    ASSERT_EQ(len.size(), 286u);
    const auto pat = kt::canonical_patterns(len);
    huft *t0, *tl, *td;
    int m = 9;
    ASSERT_EQ(huft_build(len.data(), 286, 257, cplens, cplext, &t0, &m), 0);  // warm-up
    huft_free(t0);
    long before = heap_in_use();
    m = 9;
    ASSERT_EQ(huft_build(len.data(), 286, 257, cplens, cplext, &tl, &m), 0);
    EXPECT_EQ(tl, t0) << "an emptied arena hands out the same memory again";
    size_t lit_entries = huft_arena_in_use();
    EXPECT_GT(lit_entries, 512u) << "level 0 plus sub-tables";
    unsigned dl[30];
    for (unsigned &l : dl) l = 5;
    int md = 6;
    ASSERT_EQ(huft_build(dl, 30, 0, cpdist, cpdext, &td, &md), 1);
    EXPECT_GT(huft_arena_in_use(), lit_entries) << "the second set follows the first";
    EXPECT_EQ(heap_in_use(), before) << "no heap memory for a block's tables";
    for (unsigned s = 0; s < 286; s++) {
        Hit h = lookup(tl, m, pat[s]);
        ASSERT_FALSE(h.invalid) << s;
        EXPECT_EQ(h.bits, len[s]) << s;
        EXPECT_EQ(h.v, s < 257 ? s : cplens[s - 257]) << s;
    }
    huft_free(tl);
    EXPECT_NE(huft_arena_in_use(), 0u) << "the distance tables are still live";
    huft_free(td);
    EXPECT_EQ(huft_arena_in_use(), 0u);
}

TEST(HuftArena, SetsBeyondTheArenaComeFromTheHeapAndAreAllReleased) {
    auto len = long_literal_lengths();
    const auto pat = kt::canonical_patterns(len);
    // Far more live sets than the arena holds: later ones are carved partly or wholly from
    // the heap; every one must still decode, and freeing in any order releases all.
    std::vector<huft *> sets;
    sets.reserve(16);
    long before = heap_in_use();
    for (int i = 0; i < 16; i++) {
        huft *t;
        int m = 9;
        ASSERT_EQ(huft_build(len.data(), 286, 257, cplens, cplext, &t, &m), 0);
        sets.push_back(t);
    }
    EXPECT_GT(heap_in_use(), before) << "the arena cannot hold 16 sets";
    for (huft *t : sets)
        for (unsigned s = 0; s < 286; s += 5) {
            Hit h = lookup(t, 9, pat[s]);
            ASSERT_FALSE(h.invalid);
            EXPECT_EQ(h.bits, len[s]);
        }
    for (size_t i = 0; i < sets.size(); i += 2) huft_free(sets[i]);
    EXPECT_NE(huft_arena_in_use(), 0u);
    for (size_t i = 1; i < sets.size(); i += 2) huft_free(sets[i]);
    EXPECT_EQ(huft_arena_in_use(), 0u);
    EXPECT_EQ(heap_in_use(), before);
}

}  // namespace
