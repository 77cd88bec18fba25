// DEFLATE encoder, LZ77 match finder: reads the input into the 64 KiB sliding window, finds
// earlier occurrences through hash chains and hands literals and matches to ct_tally.
// Owns the match finder's state (lm) and the window and chains (MatchTables), per thread.
// RFC 1951 sections 2 and 4.
#include "deflate/deflate_internal.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "stream/cpu.h"
#include "stream/vec128.h"

const config configuration_table[10] = {
    // good lazy nice chain
    {0, 0, 0, 0},          // 0: never used
    {4, 4, 8, 4},          // 1: greedy, fastest
    {4, 5, 16, 8},         // 2
    {4, 6, 32, 32},        // 3
    {4, 4, 16, 16},        // 4: lazy from here on
    {8, 16, 32, 32},       // 5
    {8, 16, 128, 128},     // 6
    {8, 32, 128, 256},     // 7
    {32, 128, 258, 1024},  // 8
    {32, 258, 258, 4096},  // 9: maximum compression
};

// The calling thread's tables are static: their pages are touched only by a build. Thread-
// local storage would have every process, extraction too, zero them before main (the C
// library clears a thread's whole static block): a page fault a page, for nothing, before
// every extraction. Each parsing thread gets its own set from
// deflate_parallel (new_match_tables, use_match_tables).
MatchTables main_tables;

MatchTables *new_match_tables() {
    // Zeroed as the static set is: a rank after a NIL head is read before it is written.
    return static_cast<MatchTables *>(calloc(1, sizeof(MatchTables)));
}

void use_match_tables(MatchTables *t) {
    lm::mt = t;
}

void free_match_tables(MatchTables *t) {
    free(t);
}

namespace {

// Near the end of the input a search compares up to MAX_MATCH bytes past strstart and an
// insertion hashes two bytes past its position: beyond the valid data and, late in a full
// window, beyond window itself. Those bytes rank candidates that all cover the rest of the
// input, so they are made a function of the input alone: window starts each member
// cleared, the two bytes after the input are cleared when it ends (the rest holds this
// input's own earlier bytes, left there by a slide), and positions past window read as
// zero. Measured against the gzip command, this ranks end-of-input candidates as it does.
inline unsigned window_byte_or_zero(unsigned i) {
    return i < WINDOW_SIZE ? lm::mt->lz_window[i] : 0;
}

// The 8 bytes at s, those past window read as zero (see window_byte_or_zero).
inline uint64_t key_at(unsigned s) {
    if (s <= WINDOW_SIZE - 8) return load64(lm::mt->lz_window + s);
    uint64_t v = 0;
    for (unsigned i = 0; i < 8; i++)
        v |= static_cast<uint64_t>(window_byte_or_zero(s + i)) << (8 * i);
    return v;
}

// A key covers KEY_BYTES bytes, and a string's deep chains are chosen by them once and for
// all: a key taken over bytes not yet read (zero past window, or stale) would put the string
// on another key's chain, and a search starting from it or passing through it would miss
// the candidates of its true key. So keys are taken only below keyed_end: the end of the
// bytes read while input remains, past every key once the input has ended (the bytes past
// it are final then). Only the last strings of a match that reaches the end of the bytes
// read (just before a slide, or after a short read) lie above; they wait in
// [deep_pending, deep_pending_end) and fill_window enters them in position order once their
// bytes are read, before the next string is entered or searched.
inline constexpr unsigned ALL_KEYED = WINDOW_SIZE + KEY_BYTES;  // keyed_end after the input

// Enters the string at s, whose key is key, into its deep chains.
inline void deep_insert(unsigned s, uint64_t key) {
    assert(s + KEY_BYTES <= lm::keyed_end);
    for (unsigned d = 0; d < DEEP_LEVELS; d++) {
        ush &dh = lm::mt->deep_head[d][deep_hash(d, key)];
        lm::mt->deep_link[d][s] = dh;
        dh = static_cast<ush>(s);
    }
}

// Enters the strings at s, s + 1, ..., s + n - 1 (n >= 1) into their hash chains and, with
// KEYED, their deep chains. The hash state stays in locals for the run. A string whose chain
// head is the string just before it (a run of one byte) takes its rank from a register rather than
// through memory just written: on 64 MB of zeros that store-to-load chain cost 0.21 s of
// 0.23 s.
template <bool KEYED>
inline void insert_run(unsigned s, unsigned n) {
    assert(n >= 1 && s + n <= WINDOW_SIZE);
    unsigned h = lm::ins_h;
    unsigned prev_rank = s != 0 ? chain_rank(s - 1) : 0;  // used only when s - 1 heads a chain
    // Keys all within window: one loop without the test per key.
    const bool in_window = s + n - 1 <= WINDOW_SIZE - 8;
    for (unsigned i = 0; i < n; i++, s++) {
        uint64_t key = in_window ? load64(lm::mt->lz_window + s) : key_at(s);
        // Byte s + 2, the one the rolling hash takes in, is byte 2 of the key.
        static_assert(MIN_MATCH - 1 == 2);
        h = ((h << H_SHIFT) ^ static_cast<unsigned>((key >> 16) & 0xff)) & HASH_MASK;
        unsigned hash_head = lm::mt->head[h];
        lm::mt->chain_link[s] = static_cast<ush>(hash_head);
        unsigned rank = (hash_head == s - 1 ? prev_rank : chain_rank(hash_head)) + 1;
        chain_rank(s) = static_cast<ush>(rank);
        prev_rank = rank;
        lm::mt->head[h] = static_cast<ush>(s);
        if (!KEYED) continue;
        for (unsigned d = 0; d < DEEP_LEVELS; d++) {
            ush &dh = lm::mt->deep_head[d][deep_hash(d, key)];
            lm::mt->deep_link[d][s] = dh;
            dh = static_cast<ush>(s);
        }
    }
    lm::ins_h = h;
}

// Writes first, first + 1, ..., first + n - 1, modulo 2^16, to to[0], ..., to[n - 1]: eight
// per store (the compiler leaves the plain loop at one per store).
inline void count_from(ush *to, unsigned first, unsigned n) {
    vec128 v = vec_add16(vec_splat16(static_cast<uint16_t>(first)), vec_iota16());
    const vec128 step = vec_splat16(8);
    unsigned j = 0;
    for (; j + 8 <= n; j += 8) {
        vec_store(to + j, v);
        v = vec_add16(v, step);
    }
    for (; j < n; j++) to[j] = static_cast<ush>(first + j);
}

// Strings a match must leave to enter before a run of one byte is looked for: the test costs
// each shorter match and would gain it little.
inline constexpr unsigned ONE_BYTE_RUN_MIN = 32;

// Whether the KEY_BYTES + 1 bytes from s - 1 on are one byte repeated: the keys of s - 1
// and s are equal and all that byte. Requires 0 < s <= WINDOW_SIZE - KEY_BYTES.
inline bool one_byte_keys(unsigned s) {
    return load64(lm::mt->lz_window + s - 1) == load64(lm::mt->lz_window + s);
}

// A run of one byte: enters the strings s, s + 1, ..., s + m - 1 (0 < m <= n) and returns
// m when their keys and that of s - 1 are all that byte (one_byte_keys(s) holds), the hash
// state already is that byte's (a fixed point of the rolling hash) and s - 1 heads its
// 3-byte chain and its deep chains; else 0. Each of those strings then hashes and keys as
// s - 1 does and links to the one before it on every chain, so their links and ranks are
// counting sequences, written here without a load or a hash per string (16 MB of zeros:
// 3.4 times fewer instructions). The keys of s .. s + n - 1 lie below keyed_end.
__attribute__((noinline)) unsigned insert_one_byte_run(unsigned s, unsigned n) {
    assert(s != 0 && s + KEY_BYTES <= WINDOW_SIZE && one_byte_keys(s));
    const uint64_t key = load64(lm::mt->lz_window + s);
    const unsigned b = static_cast<unsigned>(key & 0xff);
    const unsigned h = lm::ins_h;
    if ((((h << H_SHIFT) ^ b) & HASH_MASK) != h || lm::mt->head[h] != s - 1) return 0;
    unsigned bucket[DEEP_LEVELS];
    for (unsigned d = 0; d < DEEP_LEVELS; d++) {
        bucket[d] = deep_hash(d, key);
        if (lm::mt->deep_head[d][bucket[d]] != s - 1) return 0;
    }
    // Strings s + m whose last key byte, s + m + KEY_BYTES - 1, is b too, within window.
    unsigned m = 1;
    while (m < n && s + m - 1 + KEY_BYTES + 8 <= WINDOW_SIZE) {
        const uint64_t x = load64(lm::mt->lz_window + s + m - 1 + KEY_BYTES) ^ key;
        if (x != 0) {
            m += static_cast<unsigned>(__builtin_ctzll(x)) / 8;
            break;
        }
        m += 8;
    }
    if (m > n) m = n;
    count_from(lm::mt->chain_link + s, s - 1, m);
    for (unsigned d = 0; d < DEEP_LEVELS; d++) count_from(lm::mt->deep_link[d] + s, s - 1, m);
    // The rank slots wrap at WSIZE: two counting sequences at most.
    const unsigned rank = chain_rank(s - 1) + 1u;
    for (unsigned j = 0; j < m;) {
        const unsigned from = (s + j) & WMASK;
        const unsigned k = m - j < WSIZE - from ? m - j : WSIZE - from;
        count_from(lm::mt->rank_slots + from, rank + j, k);
        j += k;
    }
    lm::mt->head[h] = static_cast<ush>(s + m - 1);
    for (unsigned d = 0; d < DEEP_LEVELS; d++)
        lm::mt->deep_head[d][bucket[d]] = static_cast<ush>(s + m - 1);
    return m;
}

// insert_strings for strings whose keys reach keyed_end: those wait for their deep chains.
// Rare (the last strings of a match before a slide), so out of line: one copy of the loops.
[[gnu::noinline]] void insert_strings_waiting(unsigned s, unsigned n) {
    assert(lm::deep_pending == lm::deep_pending_end);  // the last ones were entered at the refill
    unsigned keyed = lm::keyed_end >= s + KEY_BYTES ? lm::keyed_end - KEY_BYTES + 1 - s : 0;
    if (keyed != 0) insert_run<true>(s, keyed);
    insert_run<false>(s + keyed, n - keyed);
    lm::deep_pending = s + keyed;
    lm::deep_pending_end = s + n;
}

// insert_run of the strings at s, ..., s + n - 1 (n >= 1), those whose keys reach keyed_end
// left waiting for their deep chains; PRIMING: a fresh parse's priming (prime_strings).
template <bool PRIMING = false>
inline void insert_strings(unsigned s, unsigned n) {
    if (__builtin_expect(s + n - 1 + KEY_BYTES > lm::keyed_end, 0))
        return insert_strings_waiting(s, n);
    unsigned m = 0;
    if (n >= ONE_BYTE_RUN_MIN && s != 0 && s + KEY_BYTES <= WINDOW_SIZE && one_byte_keys(s))
        m = insert_one_byte_run(s, n);
    if (m == n) return;
    if constexpr (PRIMING) {
        prime_strings(s + m, n - m);
    } else {
        insert_run<true>(s + m, n - m);
    }
}

// Enters the waiting strings whose keys are now below keyed_end into their deep chains.
void enter_pending_keys() {
    unsigned s = lm::deep_pending;
    for (; s < lm::deep_pending_end && s + KEY_BYTES <= lm::keyed_end; s++)
        deep_insert(s, key_at(s));
    lm::deep_pending = s;
}

// insert_strings for one string, without the run's set-up: the lazy loop enters one string
// per step.
// The hash state h is the caller's (ins_h, or a copy kept in a register); key is key_at(s).
inline unsigned insert_string(unsigned s, unsigned &h, uint64_t key) {
    h = ((h << H_SHIFT) ^ static_cast<unsigned>((key >> 16) & 0xff)) & HASH_MASK;
    unsigned hash_head = lm::mt->head[h];
    lm::mt->chain_link[s] = static_cast<ush>(hash_head);
    chain_rank(s) = static_cast<ush>(chain_rank(hash_head) + 1);
    lm::mt->head[h] = static_cast<ush>(s);
    // A step starts with MIN_LOOKAHEAD bytes read or the input ended: the key lies below.
    deep_insert(s, key);
    return hash_head;
}
inline unsigned insert_string(unsigned s) {
    return insert_string(s, lm::ins_h, key_at(s));
}

inline unsigned load16(const uch *p) {
    uint16_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

// Words of 8 bytes that cover match offsets 3..258: the bytes the classic byte loop
// compares (offsets 0 and 1 are tested up front, offset 2 follows from the hash).
inline constexpr unsigned COMPARE_FROM = 3;
inline constexpr unsigned COMPARE_WORDS = (MAX_MATCH + 1 - COMPARE_FROM) / 8;
static_assert(COMPARE_FROM + 8 * COMPARE_WORDS == MAX_MATCH + 1);
// The fast search reads window[strstart + MAX_MATCH] at most.
inline constexpr unsigned FAST_SEARCH_END = WINDOW_SIZE - MAX_MATCH;

// Bytes equal between the strings at scan and match, capped at MAX_MATCH, given that the
// first COMPARE_FROM bytes are equal. Requires scan + MAX_MATCH inside window (asserted).
// 8 bytes per step, the first differing byte found by counting trailing zeros of the
// little-endian difference: against a byte loop, 9% less total time on a 30 MB tarball.
inline int match_length_fast(const uch *scan, const uch *match) {
    assert(scan + MAX_MATCH < lm::mt->lz_window + WINDOW_SIZE && match < scan);
    for (unsigned k = 0; k < COMPARE_WORDS; k++) {
        unsigned off = COMPARE_FROM + 8 * k;
        uint64_t x = load64(scan + off) ^ load64(match + off);
        if (x != 0) {
            unsigned len = off + static_cast<unsigned>(__builtin_ctzll(x)) / 8;
            return static_cast<int>(len < MAX_MATCH ? len : MAX_MATCH);
        }
    }
    return static_cast<int>(MAX_MATCH);
}

// longest_match for positions whose 258 bytes reach past the window: byte by byte with
// the zero rule above. Only ever runs on the last bytes of an input.
int longest_match_at_end(unsigned cur_match, unsigned chain_length, unsigned limit) {
    const unsigned s = lm::strstart;
    int best_len = static_cast<int>(lm::prev_length);
    auto at = [](unsigned i) { return window_byte_or_zero(i); };
    do {
        unsigned m = cur_match;
        if (at(m + best_len) != at(s + best_len) || at(m + best_len - 1) != at(s + best_len - 1) ||
            at(m) != at(s) || at(m + 1) != at(s + 1))
            continue;
        unsigned len = COMPARE_FROM;
        while (len < MAX_MATCH && at(m + len) == at(s + len)) len++;
        if (static_cast<int>(len) > best_len) {
            lm::match_start = cur_match;
            best_len = static_cast<int>(len);
            if (best_len >= lm::nice_match) break;
        }
    } while ((cur_match = lm::mt->chain_link[cur_match]) > limit && --chain_length != 0);
    return best_len;
}

}  // namespace

namespace {

// The rest of a search on deep chain d, from candidate cur_match on (any position when it
// fails the key test). The 3-byte chain's walk would stop at the first candidate ranked
// chain_length or more below first, or at limit (first itself may lie at limit).
int longest_match_deep(unsigned d, unsigned cur_match, unsigned first, unsigned chain_length,
                       unsigned limit, int best_len) {
    const uch *scan = lm::mt->lz_window + lm::strstart;
    const uint64_t scan_key = load64(scan);
    unsigned scan_end = load16(scan + best_len - 1);
    const unsigned first_rank = chain_rank(first);
    uint64_t mask = DEEP_MASK[d];
    const ush *link = lm::mt->deep_link[d];
    while (cur_match > limit || cur_match == first) {
        assert(cur_match < lm::strstart);
        const uch *match = lm::mt->lz_window + cur_match;
        // Failing the key test: another key of the same hash, or a candidate too short.
        if (((load64(match) ^ scan_key) & mask) == 0) {
            // This candidate shares MIN_MATCH bytes, so it is on the 3-byte chain; so are
            // all older ones that could still win, ranked lower still.
            if (((first_rank - chain_rank(cur_match)) & 0xffff) >= chain_length) break;
            if (load16(match + best_len - 1) == scan_end) {
                int len = match_length_fast(scan, match);
                if (len > best_len) {
                    lm::match_start = cur_match;
                    best_len = len;
                    if (len >= lm::nice_match) break;
                    scan_end = load16(scan + best_len - 1);
                    // The candidate shares len bytes: it is on every deep chain of a key
                    // that short, and the next candidates must share len + 1.
                    while (d + 1 < DEEP_LEVELS && static_cast<unsigned>(len) >= DEEP_LEN[d + 1]) {
                        d++;
                        mask = DEEP_MASK[d];
                        link = lm::mt->deep_link[d];
                    }
                }
            }
        }
        cur_match = link[cur_match];
    }
    return best_len;
}

}  // namespace

namespace {

// The 3-byte chain walk of longest_match from candidate cur_match on, with chain_length
// candidates left of the budget the walk started with, first its first candidate.
int longest_match_walk(unsigned first, unsigned cur_match, unsigned chain_length, unsigned budget,
                       unsigned limit, int best_len) {
    const uch *scan = lm::mt->lz_window + lm::strstart;
    // A candidate must agree on the two bytes at the end of the best match so far and on
    // the first two bytes before it is worth a full comparison.
    unsigned scan_end = load16(scan + best_len - 1);
    const unsigned scan_start = load16(scan);
    do {
        assert(cur_match < lm::strstart);
        const uch *match = lm::mt->lz_window + cur_match;
        if (load16(match + best_len - 1) != scan_end || load16(match) != scan_start) continue;
        int len = match_length_fast(scan, match);
        if (len > best_len) {
            lm::match_start = cur_match;
            best_len = len;
            if (len >= lm::nice_match) break;
            if (static_cast<unsigned>(len) >= DEEP_LEN[0]) {
                // The candidate is on the deep chains of keys up to len bytes long.
                unsigned d = 0;
                while (d + 1 < DEEP_LEVELS && static_cast<unsigned>(len) >= DEEP_LEN[d + 1]) d++;
                return longest_match_deep(d, lm::mt->deep_link[d][cur_match], first, budget, limit,
                                          best_len);
            }
            scan_end = load16(scan + best_len - 1);
        }
    } while ((cur_match = lm::mt->chain_link[cur_match]) > limit && --chain_length != 0);
    return best_len;
}

inline uint32_t load32(const uch *p) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

inline unsigned load24(const uch *p) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v & 0xffffff;
}

// longest_match with no match in hand (prev_length MIN_MATCH - 1, the usual case on data
// with few matches): a candidate can win only by sharing MIN_MATCH bytes, so the chain is
// skimmed inline with one 3-byte test per candidate, and the full walk resumes at the first
// candidate that passes, exactly where it would have compared.
// s is strstart, passed so a caller may keep it in a register; strstart is set before the
// full walk, which reads it.
inline int longest_match_no_match(unsigned s, unsigned cur_match) {
    assert(lm::prev_length == MIN_MATCH - 1 && lm::prev_length < lm::good_match &&
           s < FAST_SEARCH_END);
    const unsigned limit = s > FARTHEST_MATCH_DIST ? s - FARTHEST_MATCH_DIST : NIL;
    const unsigned want = load24(lm::mt->lz_window + s);
    const unsigned first = cur_match;
    // prev_length is below every good_match, so the budget is whole.
    unsigned chain_length = lm::max_chain_length;
    do {
        if (load24(lm::mt->lz_window + cur_match) == want) {
            lm::strstart = s;
            return longest_match_walk(first, cur_match, chain_length, lm::max_chain_length, limit,
                                      static_cast<int>(lm::prev_length));
        }
    } while ((cur_match = lm::mt->chain_link[cur_match]) > limit && --chain_length != 0);
    return static_cast<int>(lm::prev_length);
}

// SKIM_UNROLLED candidates of the chain from hash_head are tested without a branch each.
inline constexpr unsigned SKIM_UNROLLED = 3;

// The search of literal_run from the chain head hash_head on, with no match in hand: the
// caller's test of the head (not NIL, within FARTHEST_MATCH_DIST) and longest_match_no_match in
// one. On data with few matches the chain holds about one candidate within reach, and branching on
// each link (within reach or not) mispredicts about a third of the time, each time after a load
// missing the first-level cache. So the first SKIM_UNROLLED candidates are loaded and tested
// unconditionally (every link is a position below s, in window) and the result combined into one
// rarely taken branch; a longer chain or a 3-byte hit continues exactly where the loop of
// longest_match_no_match would be.
inline int skim_from_head(unsigned s, unsigned hash_head) {
    static_assert(SKIM_UNROLLED == 3);
    assert(lm::prev_length == MIN_MATCH - 1 && s < FAST_SEARCH_END);
    // The budget covers the unrolled candidates at every level.
    assert(lm::max_chain_length >= SKIM_UNROLLED);
    const unsigned limit = s > FARTHEST_MATCH_DIST ? s - FARTHEST_MATCH_DIST : NIL;
    const uint32_t want = load32(lm::mt->lz_window + s);
    const unsigned c1 = hash_head;
    const unsigned c2 = lm::mt->chain_link[c1];
    const unsigned c3 = lm::mt->chain_link[c2];
    // Every link is NIL or below its own position (insertion links to an older head, a slide
    // lowers both or clears the link), so a candidate above limit has all candidates before
    // it on the chain above limit too: each is tested on its own, not after the one before
    // it, so the loads overlap.
    assert(c1 < s && (c2 < c1 || c2 == NIL) && (c3 < c2 || c3 == NIL));
    // The head may lie at limit itself; the links beyond it must lie above.
    const bool v1 = (c1 != NIL) & (s - c1 <= FARTHEST_MATCH_DIST);
    const bool v2 = c2 > limit;
    const bool v3 = c3 > limit;
    // The shift drops the fourth byte: zero when the first MIN_MATCH bytes agree.
    auto differs = [want](unsigned c) {
        return ((load32(lm::mt->lz_window + c) ^ want) << 8) != 0;
    };
    const bool m1 = v1 & !differs(c1);
    const bool m2 = v2 & !differs(c2);
    const bool m3 = v3 & !differs(c3);
    if (__builtin_expect(m1 | m2 | m3, 0)) {
        const unsigned cur = m1 ? c1 : m2 ? c2 : c3;
        const unsigned skipped = m1 ? 0 : m2 ? 1 : 2;
        lm::strstart = s;
        return longest_match_walk(c1, cur, lm::max_chain_length - skipped, lm::max_chain_length,
                                  limit, static_cast<int>(MIN_MATCH - 1));
    }
    unsigned cur_match = lm::mt->chain_link[c3];
    if (__builtin_expect(cur_match <= limit, 1)) return static_cast<int>(MIN_MATCH - 1);
    // The rest of the loop of longest_match_no_match, from the fourth candidate on.
    unsigned chain_length = lm::max_chain_length - SKIM_UNROLLED;
    if (chain_length == 0) return static_cast<int>(MIN_MATCH - 1);
    do {
        if (!differs(cur_match)) {
            lm::strstart = s;
            return longest_match_walk(c1, cur_match, chain_length, lm::max_chain_length, limit,
                                      static_cast<int>(MIN_MATCH - 1));
        }
    } while ((cur_match = lm::mt->chain_link[cur_match]) > limit && --chain_length != 0);
    return static_cast<int>(MIN_MATCH - 1);
}

}  // namespace

int longest_match(unsigned cur_match) {
    unsigned chain_length = lm::max_chain_length;
    if (lm::prev_length >= lm::good_match) chain_length >>= 2;  // a good match is already in hand
    unsigned limit = lm::strstart > FARTHEST_MATCH_DIST ? lm::strstart - FARTHEST_MATCH_DIST : NIL;
    if (lm::strstart >= FAST_SEARCH_END)
        return longest_match_at_end(cur_match, chain_length, limit);

    int best_len = static_cast<int>(lm::prev_length);
    // With a match in hand long enough for a deep chain, walk the deepest such chain from
    // its head: the candidates on it are older than strstart, itself just entered.
    for (unsigned d = DEEP_LEVELS; d-- > 0;) {
        if (static_cast<unsigned>(best_len) + 1 >= DEEP_LEN[d])
            return longest_match_deep(d, lm::mt->deep_link[d][lm::strstart], cur_match,
                                      chain_length, limit, best_len);
    }
    return longest_match_walk(cur_match, cur_match, chain_length, chain_length, limit, best_len);
}

namespace {

// The search of the match loops: the skim when no match is in hand, else longest_match.
inline int search_from_head(unsigned hash_head) {
    if (lm::prev_length == MIN_MATCH - 1 && lm::strstart < FAST_SEARCH_END)
        return longest_match_no_match(lm::strstart, hash_head);
    return longest_match(hash_head);
}

}  // namespace

namespace {

// The slide rewrites 192K positions per WSIZE bytes of input: on 64 MB of zeros, one
// position per instruction as compiled from a plain loop, it took 39% of the time. Vectors
// do 16 per instruction with AVX2 where the CPU has it, else 8.
static_assert(HASH_SIZE % SLIDE_STEP == 0 && WSIZE % SLIDE_STEP == 0 &&
              DEEP_HASH_SIZE % SLIDE_STEP == 0);
static_assert(NIL == 0, "the saturating subtraction gives NIL");

}  // namespace

#if defined(__x86_64__)
[[gnu::target("avx2")]] void slide_avx2(ush *to, const ush *from, unsigned n) {
    const __m256i w = _mm256_set1_epi16(static_cast<short>(WSIZE));
    for (unsigned i = 0; i < n; i += SLIDE_STEP) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from + i + 16));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(to + i), _mm256_subs_epu16(a, w));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(to + i + 16), _mm256_subs_epu16(b, w));
    }
}

#endif

void slide_128(ush *to, const ush *from, unsigned n) {
    const vec128 w = vec_splat16(static_cast<uint16_t>(WSIZE));
    for (unsigned i = 0; i < n; i += SLIDE_STEP) {
        for (unsigned k = 0; k < SLIDE_STEP; k += 8)
            vec_store(to + i + k, vec_subs_u16(vec_load(from + i + k), w));
    }
}

namespace {

void slide_positions(ush *to, const ush *from, unsigned n) {
#if defined(__x86_64__)
    if (cpu_has(CPU_AVX2)) {
        slide_avx2(to, from, n);
        return;
    }
#endif
    slide_128(to, from, n);
}

// Clears the MIN_MATCH - 1 bytes after the input that its last strings hash.
void clear_past_input() {
    unsigned end = lm::strstart + lm::lookahead;
    unsigned n = WINDOW_SIZE - end < MIN_MATCH - 1 ? WINDOW_SIZE - end : MIN_MATCH - 1;
    memset(lm::mt->lz_window + end, 0, n);
}

}  // namespace

void fill_window() {
    const Refill refill = next_refill(lm::strstart, lm::lookahead);
    if (refill.slide) {
        // Slide: the upper half becomes the lower half; chain entries that pointed into
        // the old lower half become NIL.
        memcpy(lm::mt->lz_window, lm::mt->lz_window + WSIZE, WSIZE);
        lm::window_origin += WSIZE;
        lm::match_start -= WSIZE;
        lm::strstart -= WSIZE;
        lm::block_start -= static_cast<long>(WSIZE);
        slide_positions(lm::mt->head, lm::mt->head, HASH_SIZE);
        slide_positions(lm::mt->chain_link, lm::mt->chain_link + WSIZE, WSIZE);
        for (unsigned d = 0; d < DEEP_LEVELS; d++) {
            slide_positions(lm::mt->deep_head[d], lm::mt->deep_head[d], DEEP_HASH_SIZE);
            slide_positions(lm::mt->deep_link[d], lm::mt->deep_link[d] + WSIZE, WSIZE);
        }
        if (lm::deep_pending != lm::deep_pending_end) {
            // Waiting strings lie just below the end of the bytes read, far above WSIZE.
            assert(lm::deep_pending >= WSIZE);
            lm::deep_pending -= WSIZE;
            lm::deep_pending_end -= WSIZE;
        }
    }
    if (!lm::eofile) {
        const unsigned more = refill.more;
        assert(lm::strstart + lm::lookahead + more <= WINDOW_SIZE);
        int n = read_buf(reinterpret_cast<char *>(lm::mt->lz_window) + lm::strstart + lm::lookahead,
                         more);
        if (n == 0 || n == -1) {
            lm::eofile = 1;
            clear_past_input();
            lm::keyed_end = ALL_KEYED;
        } else {
            lm::lookahead += static_cast<unsigned>(n);
            lm::keyed_end = lm::strstart + lm::lookahead;
        }
        enter_pending_keys();
    }
}

[[gnu::cold]] void lm_config(int pack_level, ush *xfl) {
    if (pack_level < 1 || pack_level > 9) error("bad pack level");
    lm::compr_level = pack_level;
    const config &c = configuration_table[pack_level];
    lm::max_lazy_match = c.max_lazy;
    lm::good_match = c.good_length;
    lm::nice_match = c.nice_length;
    lm::max_chain_length = c.max_chain;
    if (pack_level == 1) {
        *xfl |= XFL_FAST;
    } else if (pack_level == 9) {
        *xfl |= XFL_SLOW;
    }
}

[[gnu::cold]] bool lm_restart(uint64_t origin, const uch *upper) {
    memset(lm::mt->head, 0, HASH_SIZE * sizeof *lm::mt->head);  // the links are written before read
    memset(lm::mt->deep_head, 0, sizeof lm::mt->deep_head);
    lm::window_origin = origin;
    if (upper) {
        memcpy(lm::mt->lz_window + WSIZE, upper, WSIZE);
    } else {
        memset(lm::mt->lz_window, 0,
               WINDOW_SIZE);  // no bytes of an earlier input past this one's end
    }
    lm::strstart = 0;
    lm::block_start = 0;
    lm::deep_pending = lm::deep_pending_end = 0;
    lm::keyed_end = ALL_KEYED;
    int n = read_buf(reinterpret_cast<char *>(lm::mt->lz_window), WINDOW_SIZE);
    if (n == 0 || n == -1) {
        lm::eofile = 1;
        lm::lookahead = 0;
        clear_past_input();
        return false;
    }
    lm::lookahead = static_cast<unsigned>(n);
    lm::keyed_end = lm::lookahead;
    lm::eofile = 0;
    return true;
}

[[gnu::cold]] void lm_init(int pack_level, ush *xfl) {
    lm_config(pack_level, xfl);
    if (!lm_restart(0, nullptr)) return;
    while (lm::lookahead < MIN_LOOKAHEAD && !lm::eofile) fill_window();
    lm::ins_h = ((static_cast<unsigned>(lm::mt->lz_window[0]) << H_SHIFT) ^ lm::mt->lz_window[1]) &
                HASH_MASK;
}

void lm_prime(unsigned start) {
    lm::ins_h = ((static_cast<unsigned>(lm::mt->lz_window[0]) << H_SHIFT) ^ lm::mt->lz_window[1]) &
                HASH_MASK;
    assert(start < WSIZE + FARTHEST_MATCH_DIST && start <= lm::lookahead);
    // In pieces no longer than a match, as the loop enters them: a piece inside a run of one
    // byte takes the run's way, eight strings a store.
    for (unsigned p = 0; p < start; p += MAX_MATCH)
        insert_strings<true>(p, start - p < MAX_MATCH ? start - p : MAX_MATCH);
    lm::strstart = start;
    lm::lookahead -= start;
    while (lm::lookahead < MIN_LOOKAHEAD && !lm::eofile) fill_window();
}

namespace {

ulg end_block(int eof) {
    char *buf = lm::block_start >= 0 ? reinterpret_cast<char *>(lm::mt->lz_window) + lm::block_start
                                     : nullptr;
    return flush_block(buf, static_cast<ulg>(static_cast<long>(lm::strstart) - lm::block_start),
                       eof);
}

}  // namespace

// The builder writes level 9 only: the fast levels serve callers that set another level. Cold,
// so compiled for size, as are the once-a-member set-ups above.
[[gnu::cold]] ulg deflate_fast() {
    unsigned match_length = 0;
    lm::prev_length = MIN_MATCH - 1;
    while (lm::lookahead != 0) {
        unsigned hash_head = insert_string(lm::strstart);
        if (hash_head != NIL && lm::strstart - hash_head <= FARTHEST_MATCH_DIST) {
            match_length = static_cast<unsigned>(search_from_head(hash_head));
            if (match_length > lm::lookahead) match_length = lm::lookahead;
        }
        int flush;
        if (match_length >= MIN_MATCH) {
            flush = ct_tally(static_cast<int>(lm::strstart - lm::match_start),
                             static_cast<int>(match_length - MIN_MATCH));
            lm::lookahead -= match_length;
            if (match_length <= lm::max_lazy_match) {
                // Short match: enter every string inside it.
                insert_strings(lm::strstart + 1, match_length - 1);
                lm::strstart += match_length;
                match_length = 0;
            } else {
                // Long match: skip the insertions and restart the hash after it.
                lm::strstart += match_length;
                match_length = 0;
                lm::ins_h = ((static_cast<unsigned>(window_byte_or_zero(lm::strstart)) << H_SHIFT) ^
                             window_byte_or_zero(lm::strstart + 1)) &
                            HASH_MASK;
            }
        } else {
            flush = ct_tally_literal(lm::mt->lz_window[lm::strstart]);
            lm::lookahead--;
            lm::strstart++;
        }
        if (flush) {
            end_block(0);
            lm::block_start = lm::strstart;
        }
        while (lm::lookahead < MIN_LOOKAHEAD && !lm::eofile) fill_window();
    }
    return end_block(1);
}

namespace {

// The tallies of the lazy loop. A chunk parse records the symbols instead, and never ends a
// block: where blocks end is decided when the record is replayed.
inline int tally_literal(unsigned c) {
    if (ChunkParse *r = recording()) {
        record_literal(*r, c);
        return 0;
    }
    return ct_tally_literal(static_cast<int>(c));
}

inline int tally_match(unsigned dist, unsigned lc) {
    if (ChunkParse *r = recording()) {
        record_match(*r, dist, lc);
        return 0;
    }
    return ct_tally(static_cast<int>(dist), static_cast<int>(lc));
}

// Steps of the lazy loop below in the state that dominates data with few matches: the
// previous position's literal pending (match_available), no match in hand (prev_length
// MIN_MATCH - 1) and room enough not to refill the window. Each step is the loop's own,
// with the position, lookahead and hash in registers; strstart is stored for a full search
// and for each literal's tally after the run, lookahead and ins_h on return. Returns
// after a step that finds a match (its length, the literal before it tallied, as the loop
// does) or after which the window needs filling (MIN_MATCH - 1). A chunk parse also
// returns at run_end, where it records steps.
unsigned literal_run(unsigned run_end) {
    unsigned s = lm::strstart;
    unsigned la = lm::lookahead;
    unsigned h = lm::ins_h;
    lm::prev_length = MIN_MATCH - 1;
    unsigned match_length;
    // The run's literals are tallied or recorded after it: each step's literal is the
    // window's byte before it, unchanged until the run ends.
    const bool recorded = recording() != nullptr;
    const unsigned first = s;
    do {
        assert(s < FAST_SEARCH_END);  // strstart + lookahead stays within the window
        // Below FAST_SEARCH_END the key lies within window: no test of its end.
        const unsigned hash_head = insert_string(s, h, load64(lm::mt->lz_window + s));
        // prev_length MIN_MATCH - 1 is below every lazy level's max_lazy_match. No length
        // clamp: a match is at most MAX_MATCH < MIN_LOOKAHEAD <= la.
        match_length = static_cast<unsigned>(skim_from_head(s, hash_head));
        if (match_length == MIN_MATCH && s - lm::match_start > TOO_FAR) match_length--;
        s++;
        la--;
    } while (match_length == MIN_MATCH - 1 && la >= MIN_LOOKAHEAD && s < run_end);
    if (recorded) {
        record_literals(*recording(), lm::mt->lz_window + first - 1, s - first);
    } else {
        // Each at its own step; a block ends where the tally asks.
        for (unsigned at = first; at < s;) {
            int flush;
            if (s - at < LITERAL_RUN_BULK) {
                lm::strstart = at;
                flush = ct_tally_literal(lm::mt->lz_window[at - 1]);
                at++;
            } else {
                at += ct_tally_literals(lm::mt->lz_window + at - 1, s - at, at, &flush);
            }
            if (flush) {
                lm::strstart = at - 1;
                end_block(0);
                lm::block_start = static_cast<long>(at - 1);
            }
        }
    }
    lm::strstart = s;
    lm::lookahead = la;
    lm::ins_h = h;
    return match_length;
}

}  // namespace

ulg lazy_loop(int match_available, unsigned match_length) {
    // Lazy evaluation: a match found at one position is emitted only if the next
    // position does not offer a longer one.
    unsigned prev_match = 0;
    while (lm::lookahead != 0) {
        if (lm::window_origin + lm::strstart >= lm::record_from &&
            record_step(static_cast<unsigned>(match_available), match_length))
            return 0;
        unsigned hash_head = insert_string(lm::strstart);
        lm::prev_length = match_length;
        prev_match = lm::match_start;
        match_length = MIN_MATCH - 1;

        if (hash_head != NIL && lm::prev_length < lm::max_lazy_match &&
            lm::strstart - hash_head <= FARTHEST_MATCH_DIST) {
            match_length = static_cast<unsigned>(search_from_head(hash_head));
            if (match_length > lm::lookahead) match_length = lm::lookahead;
            if (match_length == MIN_MATCH && lm::strstart - lm::match_start > TOO_FAR)
                match_length--;
        }

        if (lm::prev_length >= MIN_MATCH && match_length <= lm::prev_length) {
            int flush = tally_match(lm::strstart - 1 - prev_match, lm::prev_length - MIN_MATCH);
            // strstart - 1 and strstart are already in the chains.
            lm::lookahead -= lm::prev_length - 1;
            insert_strings(lm::strstart + 1, lm::prev_length - 2);
            lm::strstart += lm::prev_length - 2;
            match_available = 0;
            match_length = MIN_MATCH - 1;
            lm::strstart++;
            if (flush) {
                end_block(0);
                lm::block_start = lm::strstart;
            }
        } else if (match_available) {
            if (tally_literal(lm::mt->lz_window[lm::strstart - 1])) {
                end_block(0);
                lm::block_start = lm::strstart;
            }
            lm::strstart++;
            lm::lookahead--;
        } else {
            match_available = 1;
            lm::strstart++;
            lm::lookahead--;
        }
        while (lm::lookahead < MIN_LOOKAHEAD && !lm::eofile) fill_window();
        if (match_available && match_length == MIN_MATCH - 1 && lm::lookahead >= MIN_LOOKAHEAD) {
            unsigned run_end = WINDOW_SIZE;
            bool heads = false;
            ChunkParse *const r = recording();
            if (r) {
                // The run stops where the steps recorded change: at heads_end, after which
                // none are, and at record_from, where record_step has work (after one step
                // if it has now).
                const uint64_t at = lm::window_origin + lm::strstart;
                if (at >= r->tails_from) continue;
                heads = at < r->heads_end;
                const uint64_t end = heads                  ? r->heads_end
                                     : lm::record_from > at ? lm::record_from
                                                            : at + 1;
                run_end = static_cast<unsigned>(
                    end - lm::window_origin < WINDOW_SIZE ? end - lm::window_origin : WINDOW_SIZE);
            }
            const unsigned first = lm::strstart;
            const size_t nsym = heads ? r->nsym : 0;
            match_length = literal_run(run_end);
            if (heads) record_run_tops(*r, first, nsym);
            while (lm::lookahead < MIN_LOOKAHEAD && !lm::eofile) fill_window();
        }
    }
    if (match_available) tally_literal(lm::mt->lz_window[lm::strstart - 1]);
    if (ChunkParse *r = recording()) {
        record_end(*r);
        return 0;
    }
    return end_block(1);
}

ulg deflate() {
    if (lm::compr_level <= 3) return deflate_fast();
    return lazy_loop(0, MIN_MATCH - 1);
}
