// DEFLATE decoder: multi-level Huffman decoding tables and the block decoder.
// State: the bit buffer bb/bk; output goes through the stream layer's window and outcnt.
// Format: RFC 1951 sections 3.2.3 to 3.2.7.
#pragma once

#include <cstddef>

#include "gzip/gzip.h"

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
// Largest alphabet: 288 literal/length symbols of the fixed code (RFC 1951 3.2.6).
inline constexpr unsigned N_MAX = 288;

// Value lists for the DEFLATE alphabets (RFC 1951 section 3.2.5), indexed by symbol - s.
extern const ush cplens[31];
extern const ush cplext[31];
extern const ush cpdist[30];
extern const ush cpdext[30];

// Order of the code-length code lengths (RFC 1951 section 3.2.7).
extern const unsigned border[19];
// mask_bits[n] = 2^n - 1.
extern const ush mask_bits[17];
// Level-0 widths asked for the dynamic literal/length and distance tables.
extern const int lbits;
extern const int dbits;

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

// Results: 0 success, 1 invalid data, 2 block type 3 or over-subscribed lengths, 3 no memory.
int inflate();
int inflate_block(int *e);
int inflate_stored();
int inflate_fixed();
int inflate_dynamic();
int inflate_codes(huft *tl, huft *td, int bl, int bd);
