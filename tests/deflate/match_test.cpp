// LZ77 match finder: literal/match decisions seen in the emitted symbols, distance limits,
// the window slide and the start-up check of the level.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/test_util.h"
#include "deflate/deflate_internal.h"
#include "deflate/deflate_test_util.h"
#include "stream/cpu.h"

namespace {

using dt::lit;
using dt::match;
using dt::Sym;

std::vector<Sym> syms_of(const std::string &data, int lvl = 9) {
    auto blocks = dt::parse_deflate(dt::deflate_level(data, lvl));
    EXPECT_EQ(dt::expand(blocks), data);
    return dt::all_syms(blocks);
}

std::vector<Sym> lits(const std::string &s) {
    std::vector<Sym> v;
    for (unsigned char c : s) v.push_back(lit(c));
    return v;
}

// Inputs whose first string must be matchable start with a spare byte: position 0 is
// never a match source.
bool has(const std::vector<Sym> &v, const Sym &s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

// Bytes 0x80..0x83 only: ATTR_ASCII keys placed around it match nothing in it, and it
// compresses well enough that its blocks are coded rather than stored.
std::string filler(size_t n, unsigned seed) {
    std::string f = kt::random_bytes(n, seed);
    for (char &c : f) c = static_cast<char>(0x80 | (static_cast<unsigned char>(c) & 3));
    return f;
}

TEST(Matches, SmallInputsGiveTheExpectedSymbols) {
    struct {
        std::string data;
        std::vector<Sym> syms;
    } cases[] = {
        {"", {}},
        {"a", lits("a")},
        {"ab", lits("ab")},
        // Position 0 is never a match source: its chain entry reads as "no position".
        {"abcabc", lits("abcabc")},
        {"aaaaaaaaaa", {lit('a'), lit('a'), match(8, 1)}},
        {"xabcabcabc", {lit('x'), lit('a'), lit('b'), lit('c'), match(6, 3)}},
        // Lazy evaluation: at "bcde" a longer match than the one at "abc" wins.
        {"abc.bcdef.abcdef",
         {lit('a'), lit('b'), lit('c'), lit('.'), lit('b'), lit('c'), lit('d'), lit('e'), lit('f'),
          lit('.'), lit('a'), match(5, 7)}},
    };
    for (const auto &c : cases) EXPECT_EQ(syms_of(c.data), c.syms) << c.data;
}

TEST(Matches, ThreeByteMatchesFartherThan4096AreDroppedAboveLevel3) {
    for (size_t dist : {4096, 4097}) {
        std::string data = "#xyz" + filler(dist - 3, 1) + "xyz";
        for (int lvl : {9, 4, 3, 1}) {
            auto v = syms_of(data, lvl);
            bool used = lvl <= 3 || dist <= 4096;
            EXPECT_EQ(has(v, match(3, static_cast<int>(dist))), used)
                << dist << " at level " << lvl;
            if (!used) {
                std::vector<Sym> tail(v.end() - 3, v.end());
                EXPECT_EQ(tail, lits("xyz"));
            }
        }
    }
    // Longer matches have no such limit.
    std::string data = "#wxyz" + filler(9000, 2) + "wxyz";
    EXPECT_TRUE(has(syms_of(data), match(4, 9004)));
}

TEST(Matches, CandidatesBeyondTheLargestDistanceAreNeverUsed) {
    const std::string key = "the quick brown fox!";
    // "tiE" and "tj%" hash as "the" does: each one placed between the two keys puts the far
    // key one candidate deeper into the chain. Only the chain's first candidate may lie at
    // the largest distance itself; a later one must lie nearer. Literals just before the
    // second key and a tail after it (lead) have it searched by the run of literals (which
    // needs a full lookahead), else after a match.
    const std::string collisions[] = {"", "tiE", "tiEtj%"};
    for (bool lead : {false, true}) {
        for (const std::string &near : collisions) {
            for (size_t dist : {32505, 32506, 32507}) {
                std::string data = "#" + key + near;
                data += filler(dist - key.size() - near.size() - (lead ? 4 : 0), 3);
                data += (lead ? "1234" : "") + key + (lead ? "." + filler(300, 4) : "");
                auto v = syms_of(data);
                bool used = dist < 32506 || (dist == 32506 && near.empty());
                EXPECT_EQ(has(v, match(static_cast<int>(key.size()), static_cast<int>(dist))), used)
                    << dist << " behind " << near.size() / 3 << " other candidates, lead " << lead;
            }
        }
    }
}

TEST(Matches, LongInputsSlideTheWindowAndStillMatchAcrossIt) {
    // A phrase that recurs every 20000 bytes, read far past the first slide.
    const std::string phrase = "a phrase that recurs through the whole input";
    std::string data = "#";
    for (int i = 0; i < 12; i++) data += phrase + filler(20000 - phrase.size(), 10 + i);
    auto v = syms_of(data);
    int found = 0;
    for (const auto &s : v) found += s.dist == 20000 && s.len >= static_cast<int>(phrase.size());
    EXPECT_EQ(found, 11);
}

TEST(Slide, BothBuildsLowerPositionsAndDropThoseLeavingTheWindow) {
    // Each build runs wherever the CPU can: the encoder uses one, the other only here.
    std::vector<ush> from(4 * SLIDE_STEP);
    for (size_t i = 0; i < from.size(); i++) from[i] = static_cast<ush>(i * 547 + (i & 1) * WSIZE);
    from[0] = 0, from[1] = WSIZE - 1, from[2] = WSIZE, from[3] = 0xffff;
    std::vector<void (*)(ush *, const ush *, unsigned)> slides = {slide_128};
#if defined(__x86_64__)
    if (cpu_has(CPU_AVX2)) slides.push_back(slide_avx2);
#endif
    for (auto slide : slides) {
        std::vector<ush> to(from.size(), 1);
        slide(to.data(), from.data(), static_cast<unsigned>(from.size()));
        for (size_t i = 0; i < from.size(); i++)
            ASSERT_EQ(to[i], from[i] >= WSIZE ? from[i] - WSIZE : 0) << i;
    }
}

TEST(LevelTableDeathTest, LevelsOutsideOneToNineAreFatal) {
    strcpy(ifname, "input.bin");
    for (int bad : {0, 10}) {
        ush f = 0;
        EXPECT_EXIT(lm_init(bad, &f), testing::ExitedWithCode(1), "input.bin: bad pack level")
            << bad;
    }
}

}  // namespace
