// DEFLATE decoder internals: the decoding tables (huft for the code-length code, packed
// tables for the literal/length and distance codes), the bit buffer bb/bk and the block
// decoders; the decoder's files and tests include this. Format: RFC 1951 3.2.3 to 3.2.7.
#pragma once

#include <cstddef>
#include <cstdint>

#include "inflate/inflate.h"
#include "stream/rfc1951.h"
#include "stream/stream.h"

// One decoding-table entry.
//   e: 0..13  length or distance base in v.n, followed by e extra bits
//      15     end of block (v.n = 256)
//      16     literal (v.n = the byte) or any other symbol below the "simple" bound
//      17..32 link: the code continues in sub-table v.t indexed by the next e - 16 bits
//      99     invalid code
//   b: bits of the input this entry consumes at its level (for a link: the bits of the
//      current level, dropped before the sub-table is indexed)
// Every table allocation holds a hidden header entry in front of the table proper; its v.t
// points to the next allocation of the same set (entry 1), making the set one chain.
struct huft {
    uch e;
    uch b;
    union {
        ush n;
        huft *t;
    } v;
};

inline constexpr unsigned E_EOB = 15;
inline constexpr unsigned E_LITERAL = 16;
inline constexpr unsigned E_LINK_BASE = 16;  // a link to a sub-table of j bits has e = 16 + j
inline constexpr unsigned E_INVALID = 99;

// Longest code the table builder handles; DEFLATE codes are at most 15 bits (RFC 1951 3.2.7).
inline constexpr unsigned BMAX = 16;
// Largest alphabet: the literal/length symbols of the fixed code (RFC 1951 3.2.6).
inline constexpr unsigned N_MAX = FIXED_L_CODES;
static_assert(N_MAX == 288);

// Value lists for the table builders, indexed by symbol - s: the format's length and
// distance tables widened to ush. The fixed code gives lengths to symbols 286 and 287, which
// do not exist; their extra-bit count E_INVALID makes them decode as invalid.
template <size_t N>
struct ush_list {
    ush v[N];
};
template <size_t N, typename T, size_t M>
constexpr ush_list<N> widen(const T (&src)[M], ush fill) {
    ush_list<N> l{};
    for (size_t i = 0; i < N; ++i) l.v[i] = i < M ? static_cast<ush>(src[i]) : fill;
    return l;
}
inline constexpr size_t LENGTH_SYMBOLS = FIXED_L_CODES - (LITERALS + 1);  // 257..287
inline constexpr ush_list<LENGTH_SYMBOLS> CPLENS = widen<LENGTH_SYMBOLS>(LENGTH_BASE, 0);
inline constexpr ush_list<LENGTH_SYMBOLS> CPLEXT = widen<LENGTH_SYMBOLS>(LENGTH_EXTRA, E_INVALID);
inline constexpr ush_list<D_CODES> CPDIST = widen<D_CODES>(DIST_BASE, 0);
inline constexpr ush_list<D_CODES> CPDEXT = widen<D_CODES>(DIST_EXTRA, 0);
inline constexpr const ush *cplens = CPLENS.v;
inline constexpr const ush *cplext = CPLEXT.v;
inline constexpr const ush *cpdist = CPDIST.v;
inline constexpr const ush *cpdext = CPDEXT.v;

// Bit buffer: bit 0 is the next bit of the stream; bk bits are valid.
extern ulg bb;
extern unsigned bk;

// Where table memory comes from; huft_arena_alloc unless a test wants to see allocation
// fail. Any malloc-compatible function works: huft_free gives back to malloc's heap
// whatever did not come from the arena.
extern void *(*huft_malloc)(size_t);
// Carves table memory from a static arena that empties when the last table in it is freed;
// falls back to malloc when a request does not fit.
void *huft_arena_alloc(size_t n);
// Entries of the arena handed out since it was last empty (0 once every table is freed).
size_t huft_arena_in_use();

// Builds the tables of the code with lengths b[0..n-1]. Returns 0 (complete, or all lengths
// zero with *t = NULL and *m = 0, or a single code of length 1), 1 (incomplete: tables built,
// unassigned patterns invalid), 2 (over-subscribed or a length above BMAX, nothing
// allocated), 3 (out of memory, nothing left allocated). *m is the level-0 width asked for
// and the one used.
int huft_build(const unsigned *b, unsigned n, unsigned s, const ush *d, const ush *e, huft **t,
               int *m);
// Releases a table set built by huft_build; NULL does nothing. Returns 0.
int huft_free(huft *t);

// Packed decoding tables of the literal/length and distance codes, one 32-bit entry per
// lookup: a root table indexed by the next root bits of the input, followed by sub-tables
// for the codes longer than the root, built straight from the code lengths: one 32-bit load
// per lookup instead of three fields of a 16-byte huft entry. Entry layout:
//   bits 0-7   b: bits the entry takes from the input: the code's bits at this level and,
//              for a length or distance, its extra bits too (one shift drops both: two
//              shifts fewer on the bit buffer's critical path per match)
//   bits 8-15  e: as in huft (0..13 extra bits, E_EOB, E_LITERAL, E_INVALID), or
//              E_LINK_BASE + j: a link to the sub-table at index v of 2^j entries, indexed
//              by the bits after the root's b bits
//   bits 16-31 v: literal byte, 256, length or distance base, or sub-table index
// b counts the code's bits; a length or distance (e below E_EOB) adds its extra bits.
inline uint32_t pack_entry(unsigned e, unsigned b, unsigned v) {
    return (b + (e < E_EOB ? e : 0)) | e << 8 | v << 16;
}
inline unsigned packed_b(uint32_t x) {
    return x & 0xff;
}
inline unsigned packed_e(uint32_t x) {
    return (x >> 8) & 0xff;
}
inline unsigned packed_v(uint32_t x) {
    return x >> 16;
}

// Root widths asked for. Executables spread their literals and distances over long codes:
// on a 32 MB compiler binary 10/8 bits instead of 9/6 took about 10% off the decode CPU time;
// 11/9 and 12/10 were no faster and cost more to fill per block. Every root is this wide,
// even for a code whose codes are all shorter, so the decoder's index masks are constants.
inline constexpr unsigned PACKED_LBITS = 10;
inline constexpr unsigned PACKED_DBITS = 8;
// Table sizes: the root plus the sub-tables of a complete code. A sub-table 2^j entries
// wide holds at least j + 1 codes (a complete tree of depth j has that many leaves), so
// sub-tables of 2^j entries cost at most 2^j / (j + 1) entries per code, most for the
// widest j (15 - root): literal/length 32 / 6 per code, 288 codes: 48 * 32 = 1536;
// distance 128 / 8 per code for 24 of the 30 codes, the other 6 at most 32: 416.
inline constexpr unsigned PACKED_L_CAPACITY = (1u << PACKED_LBITS) + 1536;
inline constexpr unsigned PACKED_D_CAPACITY = (1u << PACKED_DBITS) + 416;
static_assert((1u << PACKED_LBITS) + 1536 <= 0x10000, "sub-table indexes fit v");

// Builds the packed table of the code with lengths len[0..n-1] (at most MAX_BITS):
// symbols below s are literals (256: end of block), symbol sym >= s has base d[sym - s]
// and e[sym - s] extra bits. *bits gets the root width, always root_bits (every pattern
// invalid for a code without lengths). Returns 0 (complete, no lengths, or a single code of
// length 1), 1 (incomplete: the table is built only when every code fits the root, other
// patterns invalid), 2 (over-subscribed), 3 (beyond capacity entries, which no DEFLATE code
// needs with the capacities above).
int packed_build(const unsigned *len, unsigned n, unsigned s, const ush *d, const ush *e,
                 unsigned root_bits, uint32_t *table, unsigned capacity, unsigned *bits);

// A built packed table and its root width.
struct packed_code {
    const uint32_t *t;
    unsigned bits;
};

int inflate_block(int *e);
int inflate_stored();
int inflate_fixed();
int inflate_dynamic();
int inflate_codes(packed_code tl, packed_code td);
