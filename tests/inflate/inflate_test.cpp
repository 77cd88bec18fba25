// Block decoder: hand-built streams (each field written out) with their output or result
// code, window wrap and flush behaviour, outside tools' raw streams, and hostile input.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <random>

#include "stream/stream_harness.h"
#include "inflate/inflate_internal.h"

namespace {

using kt::BitWriter;

struct Raw {
    int result = -1;
    std::string out;
    std::string rest;  // the bytes read back after the stream, when it decoded
    std::string err;
};

// A marker after the stream: the decoder must leave inptr on its first byte.
const std::string kAfter = "TRAILER!";

// Runs inflate over `stream` followed by kAfter, output into a file.
Raw inflate_raw(const std::string &stream) {
    kt::TempDir dir;
    kt::write_file(dir / "in", stream + kAfter);
    kt::reset_stream_state();
    int in = kt::open_input(dir / "in");
    ofd = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    Raw r;
    testing::internal::CaptureStderr();
    r.result = inflate();
    r.err = testing::internal::GetCapturedStderr();
    if (r.result == 0)
        for (size_t i = 0; i < kAfter.size(); i++)
            r.rest.push_back(static_cast<char>(next_input_byte()));
    close(in);
    close(ofd);
    r.out = kt::read_file(dir / "out");
    return r;
}

// Canonical codes (RFC 1951 section 3.2.2), MSB-first values for BitWriter::code.
std::vector<unsigned> canonical(const std::vector<unsigned> &len) {
    unsigned count[16] = {}, next[16] = {};
    for (unsigned l : len) count[l]++;
    count[0] = 0;
    unsigned code = 0;
    for (int b = 1; b < 16; b++) next[b] = code = (code + count[b - 1]) << 1;
    std::vector<unsigned> c(len.size());
    for (size_t s = 0; s < len.size(); s++)
        if (len[s]) c[s] = next[len[s]]++;
    return c;
}

const unsigned kBorder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// A dynamic block header. The code-length code gives every symbol 0..18 length 5 unless
// `cl` says otherwise; `seq` is the code-length symbol sequence with extra-bit values.
struct Dynamic {
    unsigned nl = 257, nd = 1, nb = 19;
    std::vector<unsigned> cl = std::vector<unsigned>(19, 5);
    std::vector<std::pair<unsigned, unsigned>> seq;
    bool final = true;

    // Lengths sent plainly, one symbol each.
    void plain(const std::vector<unsigned> &lens) {
        for (unsigned l : lens) seq.push_back({l, 0});
    }
    void write(BitWriter &w) const {
        w.bits(final, 1).bits(2, 2);          // BFINAL, BTYPE = 2
        w.bits(nl - 257, 5).bits(nd - 1, 5);  // HLIT, HDIST
        w.bits(nb - 4, 4);                    // HCLEN
        for (unsigned i = 0; i < nb; i++) w.bits(cl[kBorder[i]], 3);
        auto codes = canonical(cl);
        for (auto [sym, extra] : seq) {
            w.code(codes[sym], cl[sym]);
            if (sym == 16) w.bits(extra, 2);
            if (sym == 17) w.bits(extra, 3);
            if (sym == 18) w.bits(extra, 7);
        }
    }
};
// The default code-length code (19 symbols of 5 bits) is incomplete and would be refused;
// this one is complete.
Dynamic with_complete_cl() {
    Dynamic d;
    // 13 symbols of length 4 and 6 of length 5: 13/16 + 6/32 = 1.
    for (unsigned s = 0; s < 19; s++) d.cl[s] = s < 13 ? 4 : 5;
    return d;
}

// A complete literal/length code over all 286 symbols: 226 of 8 bits, 60 of 9 bits.
std::vector<unsigned> full_lit_lengths() {
    std::vector<unsigned> l(286, 9);
    for (unsigned s = 0; s < 226; s++) l[s] = 8;  // 226/256 + 60/512 = 1
    return l;
}

TEST(Inflate, HandBuiltStreams) {
    struct Case {
        const char *what;
        std::string stream;
        int result;
        std::string out;
    };
    std::vector<Case> cases;
    {
        BitWriter w;
        w.bits(1, 1).bits(1, 2).fixed_sym(256);  // BFINAL, BTYPE=1, end of block
        cases.push_back({"fixed block with only end-of-block", w.str(), 0, ""});
    }
    {
        BitWriter w;
        w.bits(1, 1).bits(0, 2).align().bits(0, 16).bits(0xffff, 16);  // LEN 0, NLEN ~0
        cases.push_back({"stored LEN 0", w.str(), 0, ""});
    }
    {
        BitWriter w;
        w.bits(1, 1).bits(0, 2).align().bits(5, 16).bits(0xfffa, 16);  // LEN 5, NLEN ~5
        for (char c : std::string("hello")) w.bits(static_cast<unsigned char>(c), 8);
        cases.push_back({"stored hello", w.str(), 0, "hello"});
    }
    {
        BitWriter w;
        w.bits(1, 1).bits(0, 2).align().bits(5, 16).bits(0xfffb, 16);
        cases.push_back({"stored NLEN not the complement", w.str(), 1, ""});
    }
    {
        BitWriter w;
        w.bits(1, 1).bits(3, 2).bits(0, 16);
        cases.push_back({"BTYPE 3", w.str(), 2, ""});
    }
    {
        BitWriter w;
        // 'a', then length 258 (symbol 285, no extra) at distance 1 (code 0, no extra)
        w.bits(1, 1).bits(1, 2).fixed_sym('a').fixed_sym(285).code(0, 5).fixed_sym(256);
        cases.push_back({"length 258 at distance 1", w.str(), 0, std::string(259, 'a')});
    }
    {
        BitWriter w;
        // "abc", then length 10 (symbol 264) at distance 3 (code 2): overlapping repeat
        w.bits(1, 1).bits(1, 2).fixed_sym('a').fixed_sym('b').fixed_sym('c').fixed_sym(264).code(2,
                                                                                                 5);
        w.fixed_sym(256);
        cases.push_back({"overlapping copy", w.str(), 0, "abcabcabcabca"});
    }
    {
        BitWriter w;
        // length 13 (symbol 266: base 13, 1 extra bit = 0), distance 7 (code 5: base 7, 1 extra =
        // 0)
        w.bits(1, 1).bits(1, 2);
        for (char c : std::string("0123456")) w.fixed_sym(static_cast<unsigned char>(c));
        w.fixed_sym(266).bits(0, 1).code(5, 5).bits(0, 1).fixed_sym(256);
        cases.push_back({"extra bits on length and distance", w.str(), 0, "01234560123456012345"});
    }
    for (unsigned sym : {286u, 287u}) {
        BitWriter w;
        w.bits(1, 1).bits(1, 2).fixed_sym(sym).bits(0, 16);
        cases.push_back({"fixed literal/length symbol 286/287", w.str(), 1, ""});
    }
    for (unsigned dcode : {30u, 31u}) {
        BitWriter w;
        w.bits(1, 1).bits(1, 2).fixed_sym('x').fixed_sym(257).code(dcode, 5).bits(0, 16);
        cases.push_back({"fixed distance code 30/31", w.str(), 1, ""});
    }
    {
        BitWriter w;
        // A non-final stored block, then a final fixed block: both contribute.
        w.bits(0, 1).bits(0, 2).align().bits(2, 16).bits(0xfffd, 16).bits('h', 8).bits('i', 8);
        w.bits(1, 1).bits(1, 2).fixed_sym('!').fixed_sym(256);
        cases.push_back({"two blocks", w.str(), 0, "hi!"});
    }
    for (const auto &c : cases) {
        Raw r = inflate_raw(c.stream);
        EXPECT_EQ(r.result, c.result) << c.what;
        if (c.result == 0) {
            EXPECT_EQ(r.out, c.out) << c.what;
            EXPECT_EQ(r.rest, kAfter)
                << c.what << ": inptr must be on the first byte after the stream";
        }
    }
}

TEST(Inflate, DynamicBlockHeaders) {
    struct Case {
        const char *what;
        Dynamic d;
        std::vector<unsigned> data;  // literal/length symbols after the header (no distances)
        int result;
        std::string out;
        std::string err;
    };
    auto lit = full_lit_lengths();
    std::vector<Case> cases;
    {
        Dynamic d = with_complete_cl();
        d.nl = 286;
        d.nd = 1;
        d.plain(lit);
        d.plain({1});
        cases.push_back(
            {"complete literal code, one 1-bit distance code", d, {'o', 'k', 256}, 0, "ok", ""});
    }
    for (unsigned hlit : {30u, 31u}) {
        Dynamic d = with_complete_cl();
        d.nl = 257 + hlit;
        cases.push_back({"HLIT 30/31 (287/288 codes)", d, {}, 1, "", ""});
    }
    for (unsigned hdist : {30u, 31u}) {
        Dynamic d = with_complete_cl();
        d.nl = 286;
        d.nd = 1 + hdist;
        cases.push_back({"HDIST 30/31 (31/32 codes)", d, {}, 1, "", ""});
    }
    {
        // 16 first repeats the initial "last length" 0: symbols 0..2 get no code. The rest
        // is complete: 229 codes of 8 bits (3..231) and 54 of 9 bits (232..285).
        Dynamic d = with_complete_cl();
        d.nl = 286;
        d.seq.push_back({16, 0});
        std::vector<unsigned> rest;
        for (unsigned s = 3; s < 286; s++) rest.push_back(s < 232 ? 8 : 9);
        d.plain(rest);
        d.plain({1});
        cases.push_back({"repeat code 16 first", d, {'z', 256}, 0, "z", ""});
    }
    {
        Dynamic d = with_complete_cl();
        d.nl = 286;
        d.plain(lit);
        d.seq.push_back({16, 3});  // repeat 6 times past the single distance length
        cases.push_back({"repeat past the end of the lengths", d, {}, 1, "", ""});
    }
    {
        Dynamic d = with_complete_cl();
        d.nl = 286;
        d.plain(std::vector<unsigned>(lit.begin(), lit.end() - 1));
        d.plain({9});
        d.seq.push_back({18, 127});  // 138 zeros where 1 length is left
        cases.push_back({"zero run past the end", d, {}, 1, "", ""});
    }
    {
        // 256 literals of 8 bits fill the code space; end of block adds a 1-bit code. The
        // zero runs (17, then 18) cross from the literal/length into the distance lengths.
        Dynamic d = with_complete_cl();
        d.nl = 286;
        std::vector<unsigned> l(256, 8);
        d.plain(l);
        d.plain({1});
        d.seq.push_back({17, 7});  // 10 zeros: 257..266
        d.seq.push_back({18, 8});  // 19 zeros: 267..285, then 0 distance lengths
        cases.push_back({"over-subscribed literal code", d, {}, 2, "", ""});
    }
    {
        Dynamic d = with_complete_cl();
        d.nl = 257;
        d.nd = 2;
        d.plain(std::vector<unsigned>(257, 0));
        d.plain({1, 1});
        cases.push_back({"no literal/length code at all", d, {}, 1, "", ""});
    }
    {
        Dynamic d = with_complete_cl();
        d.nl = 286;
        d.nd = 3;
        d.plain(lit);
        d.plain({2, 2, 2});
        cases.push_back({"incomplete distance code", d, {}, 1, "", " incomplete distance tree\n"});
    }
    {
        // Single code-length code (symbol 9, one bit): both bit values decode as 9, so all
        // 286 + 30 lengths are 9 and the literal code comes out incomplete.
        Dynamic d;
        d.cl = std::vector<unsigned>(19, 0);
        d.cl[9] = 1;
        d.nl = 286;
        d.nd = 30;
        cases.push_back(
            {"single 1-bit code-length code", d, {}, 1, "", " incomplete literal tree\n"});
    }
    {
        Dynamic d;
        d.cl = std::vector<unsigned>(19, 0);
        d.nb = 4;
        cases.push_back({"no code-length code at all", d, {}, 1, "", ""});
    }
    for (auto &c : cases) {
        BitWriter w;
        c.d.write(w);
        if (std::string(c.what) == "single 1-bit code-length code") {
            for (unsigned i = 0; i < 316; i++) w.bits(i & 1, 1);
        }
        if (c.result == 0) {
            // The literal/length lengths this block sent, expanded from its sequence.
            std::vector<unsigned> sent;
            for (auto [sym, extra] : c.d.seq) {
                if (sym < 16)
                    sent.push_back(sym);
                else if (sym == 16)
                    sent.insert(sent.end(), 3 + extra, sent.empty() ? 0 : sent.back());
                else
                    sent.insert(sent.end(), sym == 17 ? 3 + extra : 11 + extra, 0);
            }
            sent.resize(c.d.nl);
            auto codes = canonical(sent);
            for (unsigned s : c.data) w.code(codes[s], sent[s]);
        }
        w.bits(0, 32);
        Raw r = inflate_raw(w.str());
        EXPECT_EQ(r.result, c.result) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        if (c.result == 0) {
            EXPECT_EQ(r.out, c.out) << c.what;
        }
    }
}

// Dynamic block whose only distance code has length 1, used for a real copy; and a block
// with no distance code at all whose data needs one.
TEST(Inflate, DistanceCodeEdgeCases) {
    auto lit = full_lit_lengths();
    auto codes = canonical(lit);
    {
        Dynamic d = with_complete_cl();
        d.nl = 286;
        d.nd = 2;
        d.plain(lit);
        d.plain({0, 1});  // only distance symbol 1 (distance 2), one bit
        BitWriter w;
        d.write(w);
        w.code(codes['a'], 8)
            .code(codes['b'], 8)
            .code(codes[258], lit[258])
            .code(0, 1);  // len 4, dist 2
        w.code(codes[256], lit[256]).bits(0, 16);
        Raw r = inflate_raw(w.str());
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.out, "ababab");
    }
    {
        Dynamic d = with_complete_cl();
        d.nl = 286;
        d.nd = 1;
        d.plain(lit);
        d.plain({0});  // no distance code
        BitWriter w;
        d.write(w);
        w.code(codes['a'], 8).code(codes[257], lit[257]).bits(0, 32);
        EXPECT_EQ(inflate_raw(w.str()).result, 1)
            << "a length with no distance table is invalid data";
        BitWriter ok;
        d.write(ok);
        ok.code(codes['a'], 8).code(codes[256], lit[256]).bits(0, 16);
        Raw r = inflate_raw(ok.str());
        EXPECT_EQ(r.result, 0) << "literals only need no distance code";
        EXPECT_EQ(r.out, "a");
    }
}

// A reference LZ77 expander over a flat history that starts with 32768 zero bytes.
struct Reference {
    std::string hist = std::string(32768, '\0');
    void lit(char c) { hist.push_back(c); }
    void copy(unsigned len, unsigned dist) {
        for (unsigned i = 0; i < len; i++) hist.push_back(hist[hist.size() - dist]);
    }
    std::string out() const { return hist.substr(32768); }
};

// Fixed-code length/distance with their extra bits.
void fixed_match(BitWriter &w, unsigned len, unsigned dist) {
    static const unsigned lbase[] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                     15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                     67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const unsigned lext[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                    2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    unsigned s = 28;
    while (lbase[s] > len) s--;
    w.fixed_sym(257 + s).bits(len - lbase[s], lext[s]);
    unsigned d = 29;
    while (cpdist[d] > dist) d--;
    w.code(d, 5).bits(dist - cpdist[d], cpdext[d]);
}

TEST(Inflate, CopiesAcrossTheWindowEndAndBeforeTheStart) {
    std::mt19937 rng(7);
    Reference ref;
    BitWriter w;
    // A stored block of 32760 random bytes, so the next copies cross the window end.
    std::string block = kt::random_bytes(32760, 3);
    w.bits(0, 1).bits(0, 2).align().bits(32760, 16).bits(32760 ^ 0xffff, 16);
    for (char c : block) {
        w.bits(static_cast<unsigned char>(c), 8);
        ref.lit(c);
    }
    w.bits(1, 1).bits(1, 2);
    fixed_match(w, 20, 100);  // destination crosses 32768: flush mid-copy
    ref.copy(20, 100);
    fixed_match(w, 258, 32768);  // the oldest byte of the window
    ref.copy(258, 32768);
    // Longest matches at every short distance: each copy class, including the steps that
    // read bytes they just wrote (a source 16 to 63 bytes back).
    for (unsigned dist = 1; dist <= 80; dist++) {
        fixed_match(w, 258, dist);
        ref.copy(258, dist);
    }
    for (int i = 0; i < 3000; i++) {
        unsigned len = 3 + rng() % 256, dist = 1 + rng() % 32768;
        fixed_match(w, len, dist);
        ref.copy(len, dist);
        if (i % 7 == 0) {
            w.fixed_sym('a' + i % 26);
            ref.lit(static_cast<char>('a' + i % 26));
        }
    }
    w.fixed_sym(256);
    Raw r = inflate_raw(w.str());
    ASSERT_EQ(r.result, 0);
    EXPECT_EQ(r.out.size(), ref.out().size());
    EXPECT_TRUE(r.out == ref.out()) << "copies differ from the reference expansion";
    EXPECT_EQ(r.rest, kAfter);
}

// Literal runs of one to four followed by matches, over enough input for dozens of inbuf
// refills: every phase of the switch between whole-word and byte-wise bit reading is hit,
// including a match code decoded just before the end of a fill.
TEST(Inflate, LiteralsAndMatchesAcrossManyInputFills) {
    std::mt19937 rng(21);
    Reference ref;
    BitWriter w;
    w.bits(1, 1).bits(1, 2);
    for (int i = 0; i < 400000; i++) {
        unsigned lits = 1 + rng() % 4;
        for (unsigned j = 0; j < lits; j++) {
            unsigned c = rng() % 256;
            w.fixed_sym(c);
            ref.lit(static_cast<char>(c));
        }
        unsigned len = 3 + rng() % 20, dist = 1 + rng() % 9000;
        fixed_match(w, len, dist);
        ref.copy(len, dist);
    }
    w.fixed_sym(256);
    ASSERT_GT(w.str().size(), 40u * 32768) << "the stream must span many fills";
    Raw r = inflate_raw(w.str());
    ASSERT_EQ(r.result, 0);
    EXPECT_TRUE(r.out == ref.out());
    EXPECT_EQ(r.rest, kAfter);
}

// Matches and literal streaks that end exactly on the window end, from every position the
// fast path may start them at: the full window must be flushed before the next byte.
TEST(Inflate, MatchEndingExactlyAtTheWindowEnd) {
    for (unsigned lits = 0; lits <= 3; lits++) {
        for (unsigned len : {258u, 100u, 3u}) {
            Reference ref;
            BitWriter w;
            unsigned before = WSIZE - len - lits;
            std::string block = kt::random_bytes(before, len + lits);
            w.bits(0, 1).bits(0, 2).align().bits(before, 16).bits(before ^ 0xffff, 16);
            for (char c : block) {
                w.bits(static_cast<unsigned char>(c), 8);
                ref.lit(c);
            }
            w.bits(1, 1).bits(1, 2);
            for (unsigned i = 0; i < lits; i++) {
                w.fixed_sym('L');
                ref.lit('L');
            }
            fixed_match(w, len, 1000);
            ref.copy(len, 1000);
            for (int i = 0; i < 50; i++) {  // keep the input far from its end
                w.fixed_sym('a' + i % 26);
                ref.lit(static_cast<char>('a' + i % 26));
                fixed_match(w, 10, 7);
                ref.copy(10, 7);
            }
            w.fixed_sym(256);
            Raw r = inflate_raw(w.str());
            ASSERT_EQ(r.result, 0);
            EXPECT_TRUE(r.out == ref.out()) << "literals " << lits << " length " << len;
        }
    }
}

// Codes of 15 bits for a literal, a length with 5 extra bits and distances with 13, in
// every order the fast loop's refills meet them: a literal streak, then a length and a
// distance taking 48 bits. Catches a refill placed where fewer bits are left than the next
// lookup peeks.
TEST(Inflate, LongestCodesAndExtraBitsInEveryStreakPosition) {
    Dynamic d = with_complete_cl();
    d.nl = 286;
    d.nd = 30;
    // One code of each length 1..14 and two of 15: complete.
    std::vector<unsigned> ll(286, 0), dl(30, 0);
    const unsigned lsyms[] = {'a', 256, 257, 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm'};
    for (unsigned i = 0; i < 14; i++) ll[lsyms[i]] = i + 1, dl[i] = i + 1;
    ll['A'] = ll[284] = dl[28] = dl[29] = 15;
    d.plain(ll);
    d.plain(dl);
    const auto lc = canonical(ll), dc = canonical(dl);
    std::mt19937 rng(15);
    Reference ref;
    BitWriter w;
    d.write(w);
    for (int i = 0; i < 6000; i++) {
        for (unsigned n = rng() % 7; n > 0; n--) {
            const unsigned c = rng() % 4 ? 'A' : 'm';
            w.code(lc[c], ll[c]);
            ref.lit(static_cast<char>(c));
        }
        const unsigned len = 227 + rng() % 31, ds = 28 + rng() % 2, dx = rng() % 8192;
        w.code(lc[284], 15).bits(len - 227, 5).code(dc[ds], 15).bits(dx, 13);
        ref.copy(len, cpdist[ds] + dx);
    }
    w.code(lc[256], ll[256]);
    Raw r = inflate_raw(w.str());
    ASSERT_EQ(r.result, 0);
    EXPECT_TRUE(r.out == ref.out());
    EXPECT_EQ(r.rest, kAfter);
}

TEST(Inflate, DistanceBeforeTheStartReadsZerosEvenAfterAnotherStream) {
    // Leave the window full of 'A's from a previous stream in this process.
    BitWriter first;
    first.bits(1, 1).bits(1, 2).fixed_sym('A');
    for (int i = 0; i < 200; i++) fixed_match(first, 258, 1);
    first.fixed_sym(256);
    ASSERT_EQ(inflate_raw(first.str()).out, std::string(1 + 200 * 258, 'A'));

    BitWriter w;
    w.bits(1, 1).bits(1, 2).fixed_sym('x');
    fixed_match(w, 5, 3000);  // 2999 bytes before the first byte of output
    w.fixed_sym(256);
    Raw r = inflate_raw(w.str());
    ASSERT_EQ(r.result, 0);
    EXPECT_EQ(r.out, std::string("x") + std::string(5, '\0'));
}

TEST(Inflate, GivesBackReadAheadBytesBeforeTheTrailer) {
    // Streams of many lengths end at every bit offset and at every distance from the end
    // of a fill, with the fast path holding up to 7 bytes read ahead.
    for (unsigned n = 0; n < 64; n++) {
        BitWriter w;
        w.bits(1, 1).bits(1, 2);
        std::string want;
        for (unsigned i = 0; i < n; i++) {
            w.fixed_sym(i < 40 ? 'a' + i % 26 : 200);  // 8- and 9-bit codes shift the end
            want.push_back(static_cast<char>(i < 40 ? 'a' + i % 26 : 200));
        }
        w.fixed_sym(256);
        Raw r = inflate_raw(w.str());
        ASSERT_EQ(r.result, 0) << n;
        EXPECT_EQ(r.out, want) << n;
        EXPECT_EQ(r.rest, kAfter) << n;
    }
}

// Output of the zlib module (an outside implementation) in raw form, every strategy.
TEST(Inflate, DecodesRawStreamsFromPythonZlib) {
    std::string data =
        kt::text_bytes(150000, 11) + kt::random_bytes(20000, 12) + std::string(5000, 'z');
    const char *script =
        "import sys, zlib\n"
        "data = sys.stdin.buffer.read()\n"
        "lvl, strat = int(sys.argv[1]), int(sys.argv[2])\n"
        "c = zlib.compressobj(lvl, zlib.DEFLATED, -15, 9, strat)\n"
        "sys.stdout.buffer.write(c.compress(data) + c.flush())\n";
    for (int strat = 0; strat <= 4; strat++) {
        for (int lvl : {1, 6, 9}) {
            auto res = kt::run(
                {"python3", "-c", script, std::to_string(lvl), std::to_string(strat)}, data);
            ASSERT_EQ(res.status, 0) << res.err;
            Raw r = inflate_raw(res.out);
            ASSERT_EQ(r.result, 0) << "strategy " << strat << " level " << lvl;
            EXPECT_TRUE(r.out == data) << "strategy " << strat << " level " << lvl;
            EXPECT_EQ(r.rest, kAfter);
        }
    }
}

// Hostile input: mutated and random streams never touch memory outside the buffers (the
// sanitizer build checks) and end with a result code or the end-of-file exit. Each case
// runs in a child so that the end-of-file exit does not end the test.
TEST(Inflate, HostileStreamsEndCleanly) {
    std::string data = kt::text_bytes(20000, 5);
    const char *script =
        "import sys, zlib\n"
        "data = sys.stdin.buffer.read()\n"
        "out = b''\n"
        "for s in range(5):\n"
        "    c = zlib.compressobj(6, zlib.DEFLATED, -15, 9, s)\n"
        "    out += len(c.compress(data) + c.flush()).to_bytes(4, 'little')\n"
        "    c = zlib.compressobj(6, zlib.DEFLATED, -15, 9, s)\n"
        "    out += c.compress(data) + c.flush()\n"
        "sys.stdout.buffer.write(out)\n";
    auto res = kt::run({"python3", "-c", script}, data);
    ASSERT_EQ(res.status, 0);
    std::vector<std::string> seeds;
    for (size_t at = 0; at + 4 <= res.out.size();) {
        uint32_t n;
        memcpy(&n, res.out.data() + at, 4);
        seeds.push_back(res.out.substr(at + 4, n));
        at += 4 + n;
    }
    ASSERT_EQ(seeds.size(), 5u);
    std::mt19937 rng(99);
    int returned = 0, ended = 0;
    kt::TempDir dir;
    for (int i = 0; i < 300; i++) {
        std::string s;
        if (i % 6 == 5) {
            s = kt::random_bytes(64 + rng() % 4000, static_cast<unsigned>(i));
        } else {
            s = seeds[i % 5];
            int flips = 1 + static_cast<int>(rng() % 8);
            for (int f = 0; f < flips; f++)
                s[rng() % std::min<size_t>(s.size(), 600)] ^= static_cast<char>(1 << (rng() % 8));
        }
        kt::write_file(dir / "in", s);
        int errp[2];
        ASSERT_EQ(pipe(errp), 0);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(errp[1], 2);
            kt::reset_stream_state();
            kt::open_input(dir / "in");
            ofd = open("/dev/null", O_WRONLY);
            _exit(10 + inflate());
        }
        close(errp[1]);
        std::string err;
        char buf[512];
        for (ssize_t n; (n = read(errp[0], buf, sizeof buf)) > 0;)
            err.append(buf, static_cast<size_t>(n));
        close(errp[0]);
        int st;
        waitpid(pid, &st, 0);
        ASSERT_TRUE(WIFEXITED(st)) << "case " << i << " died: " << err;
        int code = WEXITSTATUS(st);
        if (code == 1) {
            EXPECT_NE(err.find("unexpected end of file"), std::string::npos)
                << "case " << i << ": " << err;
            ended++;
        } else {
            EXPECT_TRUE(code >= 10 && code <= 13)
                << "case " << i << " exit " << code << ": " << err;
            returned++;
        }
    }
    EXPECT_GT(returned, 100);
    EXPECT_GT(ended, 0);
}

}  // namespace
