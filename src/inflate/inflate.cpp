// DEFLATE decoder: decodes one raw DEFLATE stream from inbuf into the 32 KiB window,
// flushing each full window through flush_window. Owns the bit buffer bb/bk.
// Format: RFC 1951 sections 3.2.3 (block header), 3.2.4 (stored), 3.2.5-3.2.7 (codes).
#include <cassert>
#include <cstdlib>
#include <cstring>

#include "inflate/inflate.h"

// Length base values and extra bits of symbols 257..285 (RFC 1951 section 3.2.5);
// 286 and 287 carry extra-bit count 99, which makes them decode as invalid.
const ush cplens[31] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27, 31,
                        35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258, 0,  0};
const ush cplext[31] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2,
                        3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, 99, 99};
// Distance base values and extra bits of symbols 0..29 (RFC 1951 section 3.2.5).
const ush cpdist[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                        193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const ush cpdext[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

const unsigned border[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
const ush mask_bits[17] = {0x0000, 0x0001, 0x0003, 0x0007, 0x000f, 0x001f, 0x003f, 0x007f, 0x00ff,
                           0x01ff, 0x03ff, 0x07ff, 0x0fff, 0x1fff, 0x3fff, 0x7fff, 0xffff};
const int lbits = 9;
const int dbits = 6;

// The bit buffer. Bits above bk are either zero or the stream's own next bits (a wide
// refill loads a partial byte ahead); ORing the same byte in again later leaves them equal.
ulg bb;
unsigned bk;

namespace {

// Block types (BTYPE, RFC 1951 section 3.2.3).
constexpr unsigned BTYPE_STORED = 0;
constexpr unsigned BTYPE_FIXED = 1;
constexpr unsigned BTYPE_DYNAMIC = 2;

// Alphabet sizes (RFC 1951 sections 3.2.5-3.2.7).
constexpr unsigned L_CODES_FIXED = 288;  // fixed literal/length lengths, 286 and 287 invalid
constexpr unsigned D_CODES_FIXED = 30;
constexpr unsigned HLIT_MAX = 286;       // 257 + HLIT may not exceed this
constexpr unsigned HDIST_MAX = 30;       // 1 + HDIST may not exceed this
constexpr unsigned BL_CODES = 19;
constexpr unsigned MAX_MATCH = 258;
constexpr unsigned MAX_DIST = 32768;
static_assert(MAX_DIST == WSIZE, "a distance reaches at most one window back");

// Level-0 widths of the fixed tables and the code-length table.
constexpr int FIXED_LBITS = 7;
constexpr int FIXED_DBITS = 5;
constexpr int BL_BITS = 7;

// Fast-path bounds. One symbol costs at most 15 code bits + 5 length extra bits +
// 16 bits of distance-table lookahead (a widened sub-table) + 13 distance extra bits;
// a wide refill leaves at least 56 bits, so one refill per symbol suffices.
constexpr unsigned FAST_SYMBOL_BITS = 15 + 5 + 15 + 13;
constexpr unsigned REFILL_MIN_BITS = 56;
static_assert(FAST_SYMBOL_BITS + 1 <= REFILL_MIN_BITS, "one refill covers one symbol");
// A wide refill reads 8 bytes at inptr; all of them must be real input.
constexpr unsigned FAST_IN_BYTES = 8;
// A symbol writes at most MAX_MATCH bytes; staying this far from the window end means the
// fast path never flushes and never wraps its destination.
constexpr unsigned FAST_OUT_LIMIT = WSIZE - MAX_MATCH;

inline ulg low_bits(ulg b, unsigned n) { return b & ((ulg{1} << n) - 1); }

// Pulls whole input bytes into the bit buffer until it holds n bits (n <= 32). End of
// input ends the process through fill_inbuf.
inline void need_bits(ulg &b, unsigned &k, unsigned n) {
    while (k < n) {
        b |= static_cast<ulg>(next_input_byte()) << k;
        k += 8;
    }
}

// Reads an n-bit field (n <= 16).
inline unsigned take_bits(ulg &b, unsigned &k, unsigned n) {
    need_bits(b, k, n);
    unsigned v = static_cast<unsigned>(low_bits(b, n));
    b >>= n;
    k -= n;
    return v;
}

inline ulg load_le64(const uch *p) {
    ulg v;
    memcpy(&v, p, sizeof v);
    return v;  // x86-64 is little-endian
}

// Tops the bit buffer up to 56..63 bits with one unaligned load. Precondition: 8 bytes of
// real input at inptr.
inline void refill_fast(ulg &b, unsigned &k) {
    assert(inptr + FAST_IN_BYTES <= insize);
    b |= load_le64(inbuf + inptr) << k;
    inptr += (63 - k) >> 3;
    k |= REFILL_MIN_BITS;
}

// Writes the window out when it is full.
inline void put_window_byte(unsigned &w, uch c) {
    window[w++] = c;
    if (w == WSIZE) {
        outcnt = w;
        flush_window();
        w = 0;
    }
}

// Copies n bytes from distance dist behind w, in chunks that stop at the window end, and
// flushes each full window. Any distance up to 32768 and any length work.
void copy_match_careful(unsigned &w, unsigned dist, unsigned n) {
    unsigned d = w - dist;
    do {
        d &= WSIZE - 1;
        unsigned e = WSIZE - (d > w ? d : w);
        if (e > n) e = n;
        n -= e;
        if (w - d >= e) {
            // No byte of the chunk is read after being written: a plain block move (the
            // source may sit ahead of the destination and overlap it, hence memmove).
            memmove(window + w, window + d, e);
            w += e;
            d += e;
        } else {
            // Source runs into the destination: a distance shorter than the length repeats
            // the last bytes, so copy in ascending order.
            do window[w++] = window[d++];
            while (--e);
        }
        if (w == WSIZE) {
            outcnt = w;
            flush_window();
            w = 0;
        }
    } while (n);
}

// Copies a match that lies wholly inside the window: dist <= w and w + n <= WSIZE.
// Copies exactly n bytes: the bytes after the match are history still needed.
inline void copy_match_fast(unsigned w, unsigned dist, unsigned n) {
    assert(dist <= w && w + n <= WSIZE && dist >= 1);
    uch *dst = window + w;
    const uch *src = dst - dist;
    if (dist >= 8) {
        if (n >= 8) {
            // 8-byte chunks never read bytes they write when dist >= 8; the tail chunk
            // re-copies already final bytes.
            unsigned i = 0;
            for (; i + 8 <= n; i += 8) {
                ulg v;
                memcpy(&v, src + i, 8);
                memcpy(dst + i, &v, 8);
            }
            if (i < n) {
                ulg v;
                memcpy(&v, src + n - 8, 8);
                memcpy(dst + n - 8, &v, 8);
            }
        } else if (n >= 4) {
            uint32_t a, z;
            memcpy(&a, src, 4);
            memcpy(&z, src + n - 4, 4);
            memcpy(dst, &a, 4);
            memcpy(dst + n - 4, &z, 4);
        } else {
            dst[0] = src[0];
            dst[1] = src[1];
            dst[2] = src[2];
        }
    } else if (dist == 1) {
        memset(dst, src[0], n);
    } else {
        // The bytes from src on repeat with period dist, so any source offset that is a
        // multiple of dist is right; doubling the chunk keeps source and destination apart.
        while (n) {
            unsigned chunk = static_cast<unsigned>(dst - src);
            if (chunk > n) chunk = n;
            memcpy(dst, src, chunk);
            dst += chunk;
            n -= chunk;
        }
    }
}

// Follows links from a level-0 entry to the entry of the code; the caller guarantees the
// bits (fast path) or this pulls them (careful path). NULL for an invalid code.
template <bool kFast>
inline const huft *lookup(const huft *t, ulg &b, unsigned &k, unsigned bits) {
    if constexpr (!kFast) need_bits(b, k, bits);
    t += low_bits(b, bits);
    unsigned e = t->e;
    while (e > E_LITERAL) {
        if (e == E_INVALID) return nullptr;
        b >>= t->b;
        k -= t->b;
        e -= E_LINK_BASE;
        if constexpr (!kFast) need_bits(b, k, e);
        t = t->v.t + low_bits(b, e);
        e = t->e;
    }
    b >>= t->b;
    k -= t->b;
    return t;
}

}  // namespace

int inflate_codes(huft *tl, huft *td, int bl, int bd) {
    // A code with no lengths has no table; any symbol that needs it is invalid data.
    if (tl == nullptr) return 1;
    ulg b = bb;
    unsigned k = bk;
    unsigned w = outcnt;
    const unsigned ubl = static_cast<unsigned>(bl);
    const unsigned ubd = static_cast<unsigned>(bd);

    for (;;) {
        // Fast path: whole-word refills and straight copies, while far from the end of the
        // input buffer and of the window.
        while (inptr + FAST_IN_BYTES <= insize && w <= FAST_OUT_LIMIT) {
            refill_fast(b, k);
            const huft *t = lookup<true>(tl, b, k, ubl);
            if (t == nullptr) return 1;
            unsigned e = t->e;
            if (e == E_LITERAL) {
                window[w++] = static_cast<uch>(t->v.n);
                continue;
            }
            if (e == E_EOB) goto done;
            unsigned n = t->v.n + static_cast<unsigned>(low_bits(b, e));
            b >>= e;
            k -= e;
            if (td == nullptr) return 1;
            const huft *u = lookup<true>(td, b, k, ubd);
            if (u == nullptr) return 1;
            unsigned de = u->e;
            unsigned dist = u->v.n + static_cast<unsigned>(low_bits(b, de));
            b >>= de;
            k -= de;
            if (dist <= w) {
                copy_match_fast(w, dist, n);
                w += n;
            } else {
                copy_match_careful(w, dist, n);
            }
        }

        // Careful path: one symbol, pulling bytes one at a time (refilling inbuf as
        // needed) and flushing the window wherever it fills.
        const huft *t = lookup<false>(tl, b, k, ubl);
        if (t == nullptr) return 1;
        unsigned e = t->e;
        if (e == E_LITERAL) {
            put_window_byte(w, static_cast<uch>(t->v.n));
            continue;
        }
        if (e == E_EOB) break;
        need_bits(b, k, e);
        unsigned n = t->v.n + static_cast<unsigned>(low_bits(b, e));
        b >>= e;
        k -= e;
        if (td == nullptr) return 1;
        const huft *u = lookup<false>(td, b, k, ubd);
        if (u == nullptr) return 1;
        need_bits(b, k, u->e);
        unsigned dist = u->v.n + static_cast<unsigned>(low_bits(b, u->e));
        b >>= u->e;
        k -= u->e;
        copy_match_careful(w, dist, n);
    }
done:
    outcnt = w;
    bb = b;
    bk = k;
    return 0;
}

int inflate_stored() {
    ulg b = bb;
    unsigned k = bk;
    unsigned w = outcnt;

    // Skip to the byte boundary.
    b >>= k & 7;
    k -= k & 7;

    // LEN: 16 bits, NLEN: 16 bits, its ones' complement
    unsigned n = take_bits(b, k, 16);
    unsigned nlen = take_bits(b, k, 16);
    if (n != (~nlen & 0xffff)) return 1;

    // Whole bytes still in the bit buffer come first.
    while (n && k >= 8) {
        put_window_byte(w, static_cast<uch>(b));
        b >>= 8;
        k -= 8;
        n--;
    }
    if (n) {
        // The bit buffer is empty: drop any look-ahead bits, the bytes are taken straight
        // from inbuf now.
        b = 0;
        while (n) {
            if (inptr == insize) {
                fill_inbuf(0);
                inptr = 0;  // the first byte is copied below with the rest
            }
            unsigned chunk = insize - inptr;
            if (chunk > n) chunk = n;
            if (chunk > WSIZE - w) chunk = WSIZE - w;
            memcpy(window + w, inbuf + inptr, chunk);
            inptr += chunk;
            w += chunk;
            n -= chunk;
            if (w == WSIZE) {
                outcnt = w;
                flush_window();
                w = 0;
            }
        }
    }
    outcnt = w;
    bb = b;
    bk = k;
    return 0;
}

int inflate_fixed() {
    // Fixed literal/length code lengths (RFC 1951 section 3.2.6).
    unsigned l[L_CODES_FIXED];
    unsigned i = 0;
    for (; i < 144; i++) l[i] = 8;
    for (; i < 256; i++) l[i] = 9;
    for (; i < 280; i++) l[i] = 7;
    for (; i < L_CODES_FIXED; i++) l[i] = 8;
    huft *tl;
    int bl = FIXED_LBITS;
    int r = huft_build(l, L_CODES_FIXED, 257, cplens, cplext, &tl, &bl);
    if (r != 0) return r;

    // Fixed distance codes: 30 codes of 5 bits, incomplete (30 and 31 unused).
    for (i = 0; i < D_CODES_FIXED; i++) l[i] = 5;
    huft *td;
    int bd = FIXED_DBITS;
    r = huft_build(l, D_CODES_FIXED, 0, cpdist, cpdext, &td, &bd);
    if (r > 1) {
        huft_free(tl);
        return r;
    }

    r = inflate_codes(tl, td, bl, bd);
    huft_free(tl);
    huft_free(td);
    return r != 0 ? 1 : 0;
}

int inflate_dynamic() {
    ulg b = bb;
    unsigned k = bk;

    // HLIT: 5 bits, HDIST: 5 bits, HCLEN: 4 bits
    unsigned nl = 257 + take_bits(b, k, 5);
    unsigned nd = 1 + take_bits(b, k, 5);
    unsigned nb = 4 + take_bits(b, k, 4);
    if (nl > HLIT_MAX || nd > HDIST_MAX) return 1;

    // Code-length code lengths: 3 bits each, in border order.
    unsigned ll[HLIT_MAX + HDIST_MAX];
    unsigned j = 0;
    for (; j < nb; j++) ll[border[j]] = take_bits(b, k, 3);
    for (; j < BL_CODES; j++) ll[border[j]] = 0;

    huft *tl;
    int bl = BL_BITS;
    int r = huft_build(ll, BL_CODES, BL_CODES, nullptr, nullptr, &tl, &bl);
    if (r != 0) {
        if (r == 1) huft_free(tl);
        return r;
    }
    if (tl == nullptr) return 1;  // no code-length code at all, yet lengths must follow

    // Literal/length and distance code lengths, one run-length coded sequence.
    const unsigned n = nl + nd;
    const unsigned ubl = static_cast<unsigned>(bl);
    unsigned last = 0;
    unsigned i = 0;
    while (i < n) {
        need_bits(b, k, ubl);
        const huft *t = tl + low_bits(b, ubl);
        // The code-length code is at most 7 bits and looked up whole: no links. An
        // invalid pattern (only with a single 1-bit code) carries that code's symbol.
        assert(t->e == E_LITERAL || t->e == E_INVALID);
        b >>= t->b;
        k -= t->b;
        unsigned sym = t->v.n;
        if (sym < 16) {
            ll[i++] = last = sym;
        } else if (sym == 16) {
            // repeat previous length: 2 bits, 3..6 times
            unsigned rep = 3 + take_bits(b, k, 2);
            if (i + rep > n) {
                huft_free(tl);
                return 1;
            }
            while (rep--) ll[i++] = last;
        } else {
            // 17: 3 bits, 3..10 zeros; 18: 7 bits, 11..138 zeros
            unsigned rep = sym == 17 ? 3 + take_bits(b, k, 3) : 11 + take_bits(b, k, 7);
            if (i + rep > n) {
                huft_free(tl);
                return 1;
            }
            while (rep--) ll[i++] = 0;
            last = 0;
        }
    }
    huft_free(tl);
    bb = b;
    bk = k;

    bl = lbits;
    r = huft_build(ll, nl, 257, cplens, cplext, &tl, &bl);
    if (r != 0) {
        if (r == 1) {
            fprintf(stderr, " incomplete literal tree\n");
            huft_free(tl);
        }
        return r;
    }
    huft *td;
    int bd = dbits;
    r = huft_build(ll + nl, nd, 0, cpdist, cpdext, &td, &bd);
    if (r != 0) {
        if (r == 1) {
            fprintf(stderr, " incomplete distance tree\n");
            huft_free(td);
        }
        huft_free(tl);
        return r;
    }

    r = inflate_codes(tl, td, bl, bd);
    huft_free(tl);
    huft_free(td);
    return r != 0 ? 1 : 0;
}

int inflate_block(int *e) {
    ulg b = bb;
    unsigned k = bk;
    // BFINAL: 1 bit, BTYPE: 2 bits
    *e = static_cast<int>(take_bits(b, k, 1));
    unsigned t = take_bits(b, k, 2);
    bb = b;
    bk = k;
    if (t == BTYPE_DYNAMIC) return inflate_dynamic();
    if (t == BTYPE_STORED) return inflate_stored();
    if (t == BTYPE_FIXED) return inflate_fixed();
    return 2;  // BTYPE 3 is reserved
}

int inflate() {
    outcnt = 0;
    bk = 0;
    bb = 0;
    // Distances may reach before the first byte of the stream; they then read zeros, never
    // a previous stream's data.
    memset(window, 0, WSIZE);

    int last;
    do {
        int r = inflate_block(&last);
        if (r != 0) return r;
    } while (!last);

    // Give back the whole bytes read ahead, so inptr sits on the first byte after the
    // stream. They are the newest bytes; if a refill of inbuf came between, the ones before
    // it are gone from inbuf and are put back in front from the bit buffer.
    unsigned skip = bk & 7;
    unsigned nback = bk >> 3;
    if (nback > inptr) {
        unsigned shift = nback - inptr;
        assert(insize + shift <= INBUFSIZ + INBUF_EXTRA);
        memmove(inbuf + shift, inbuf, insize);
        insize += shift;
        inptr += shift;
    }
    for (unsigned j = 0; j < nback; j++) inbuf[inptr - nback + j] = static_cast<uch>(bb >> (skip + 8 * j));
    inptr -= nback;
    bk = 0;
    bb = 0;

    flush_window();
    return 0;
}
