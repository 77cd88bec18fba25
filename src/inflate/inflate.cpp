// DEFLATE decoder: decodes one raw DEFLATE stream from inbuf into the 32 KiB window,
// flushing each full window through flush_window. Owns the bit buffer bb/bk.
// Format: RFC 1951 sections 3.2.3 (block header), 3.2.4 (stored), 3.2.5-3.2.7 (codes).
#include <array>
#include <cassert>
#include <cstdlib>
#include <cstring>

#include "inflate/inflate_internal.h"
#include "stream/cpu.h"
#include "stream/vec128.h"

// The bit buffer. Bits above bk are either zero or the stream's own next bits (a wide
// refill loads a partial byte ahead); ORing the same byte in again later leaves them equal.
ulg bb;
unsigned bk;

namespace {

static_assert(MAX_DISTANCE == WSIZE, "a distance reaches at most one window back");

// Level-0 width of the code-length code's table (its codes are at most 7 bits).
constexpr int BL_BITS = 7;

// Fast-path bit budget. A lookup peeks at most MAX_BITS bits: a root is narrower than
// that, and a sub-table is only as wide as its longest code's bits beyond the root.
// A length takes a code and 5 extra bits; then a distance takes a code and 13 extra bits.
constexpr unsigned MAX_PEEK_BITS = MAX_BITS;
static_assert(PACKED_LBITS <= MAX_PEEK_BITS && PACKED_DBITS <= MAX_PEEK_BITS);
constexpr unsigned MAX_LENGTH_BITS = MAX_BITS + 5;
constexpr unsigned DISTANCE_BITS = MAX_BITS + 13;
constexpr unsigned REFILL_MIN_BITS = 56;  // a wide refill leaves 56..63 bits
static_assert(MAX_LENGTH_BITS + DISTANCE_BITS <= REFILL_MIN_BITS, "one refill covers one match");
// A wide refill reads 8 bytes at inptr; all of them must be real input.
constexpr unsigned FAST_IN_BYTES = 8;
// A pass of the fast loop may refill twice (at its top, or before a copy, and before its
// third literal); the first advances at most 7 bytes.
constexpr unsigned FAST_IN_MARGIN = 2 * FAST_IN_BYTES;
static_assert(FAST_IN_MARGIN >= FAST_IN_BYTES - 1 + FAST_IN_BYTES);
// The fast loop never flushes and never wraps its destination: it runs while w is at most
// FAST_OUT_LIMIT, takes up to FAST_LITERALS literals in a row from there, and copies a match
// itself only when the match ends at or before FAST_OUT_LIMIT too (others go to the careful
// path). Matches are checked one by one, so the loop runs on to within a few bytes of the
// window end instead of stopping a longest match before it, and the careful path (a call
// and a symbol at a time) sees only the last few bytes of each window.
constexpr unsigned FAST_LITERALS = 3;
constexpr unsigned FAST_OUT_LIMIT = WSIZE - FAST_LITERALS - 1;
static_assert(FAST_OUT_LIMIT + FAST_LITERALS < WSIZE, "literals never fill the window");

inline ulg low_bits(ulg b, unsigned n) {
    return b & ((ulg{1} << n) - 1);
}

// low_bits for extra-bit counts taken from table entries: one masked load instead of a
// variable shift, on the fast path's every symbol.
// Counts reaching it are at most 13 (RFC 1951 3.2.5); E_EOB and E_INVALID never do.
constexpr unsigned EXTRA_MASKS = 16;
constexpr auto make_extra_masks() {
    std::array<ulg, EXTRA_MASKS> m{};
    for (unsigned n = 0; n < EXTRA_MASKS; n++) m[n] = (ulg{1} << n) - 1;
    return m;
}
constexpr std::array<ulg, EXTRA_MASKS> extra_masks = make_extra_masks();
template <bool kBmi2>
inline ulg extra_bits_fast(ulg b, unsigned n) {
    assert(n < EXTRA_MASKS);
    // With BMI2 one BZHI, no load. Written out: the compiler made the mask with three
    // instructions and a register holding -1, and its intrinsic needs the caller's target.
    if constexpr (kBmi2) {
        ulg r;
        asm("bzhi %q2, %1, %0" : "=r"(r) : "rm"(b), "r"(ulg{n}));
        return r;
    }
    return b & extra_masks[n];
}

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
// real input at in. Only the low byte of k counts (see take_packed_fast); the shift uses its
// low 6 bits by itself.
inline void refill_fast(ulg &b, unsigned &k, unsigned &in) {
    assert(in + FAST_IN_BYTES <= insize);
    b |= load_le64(inbuf + in) << (k & 63);
    in += ((63 - k) & 63) >> 3;
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
// flushes each full window. Any distance up to 32768 and any length work. Returns the new
// window position (by value, so callers keep theirs in a register).
unsigned copy_match_careful(unsigned w, unsigned dist, unsigned n) {
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
    return w;
}

// Copies a match whose destination [w, w + n) and source [src, src + n) both lie inside the
// window without wrapping, src != w, and that leaves the window short of full (no flush).
// Whole chunks of 32, 16 or 8 bytes may run up to 31 bytes past the destination into history
// still needed by later matches, so those bytes are saved first and put back after; the
// window's second half keeps even that overrun in bounds.
constexpr unsigned COPY_CHUNK = 16;
static_assert(WSIZE + 2 * COPY_CHUNK <= sizeof(window), "chunk overrun stays inside window");

inline vec128 load16(const uch *p) {
    return vec_load(p);
}
inline void store16(uch *p, vec128 v) {
    vec_store(p, v);
}

inline unsigned copy_match_fast(unsigned w, unsigned src, unsigned n) {
    assert(w + n < WSIZE && src + n <= WSIZE && src != w && n >= 1);
    uch *dst = window + w;
    const uch *from = window + src;
    const vec128 tail = load16(dst + n);
    if (w - src >= COPY_CHUNK) {
        // Two chunks per step: one step takes every match up to 32 bytes (most matches of
        // text, tarballs and executables), so the step count rarely varies. Each chunk is
        // read after the one before it was written: a source 16 to 31 bytes behind then
        // reads the bytes this step just wrote, as a repeating match must, and the sources
        // further behind (or ahead: src > w wraps the difference far above 16) never
        // overlap what the step writes. One class for both: a test between them would
        // mispredict on executables, where many matches are this close.
        const vec128 tail2 = load16(dst + n + COPY_CHUNK);
        unsigned i = 0;
        do {
            store16(dst + i, load16(from + i));
            store16(dst + i + COPY_CHUNK, load16(from + i + COPY_CHUNK));
            i += 2 * COPY_CHUNK;
        } while (i < n);
        store16(dst + n + COPY_CHUNK, tail2);
    } else if (w - src >= 8) {
        for (unsigned i = 0; i < n; i += 8) {
            ulg v;
            memcpy(&v, from + i, 8);
            memcpy(dst + i, &v, 8);
        }
    } else if (w - src == 1) {
        const vec128 v = vec_splat8(*from);
        for (unsigned i = 0; i < n; i += COPY_CHUNK) store16(dst + i, v);
    } else {
        // A period of 2 to 7 bytes: each 8-byte move reads only bytes already final in its
        // first w - src bytes, and the step keeps just those; the rest is rewritten by the
        // next step or lies in the overrun. (No library call here: a call in the fast loop
        // made the compiler keep the bit buffer on the stack.)
        const unsigned step = w - src;
        for (unsigned i = 0; i < n; i += step) {
            ulg v;
            memcpy(&v, from + i, 8);
            memcpy(dst + i, &v, 8);
        }
    }
    store16(dst + n, tail);
    return w + n;
}

// Drops the bits of the symbol whose packed entry x was looked up at the low bits of b in
// table t, following a link into its sub-table (x then holds the code's own entry), with a
// length's or distance's extra bits. saved keeps b as it was before the last drop, for
// packed_value. The caller guarantees MAX_LENGTH_BITS (literal/length) or DISTANCE_BITS
// bits. False for an invalid code.
// k counts in its low byte only: subtracting the whole entry takes b (its low byte) off it
// without a byte extraction, and the higher bytes collect what the entries' other fields
// subtract, which nothing reads (one instruction fewer per symbol).
template <bool kBmi2>
inline bool take_packed_fast(const uint32_t *t, ulg &b, unsigned &k, uint32_t &x, ulg &saved) {
    if (packed_e(x) > E_LITERAL) {
        if (packed_e(x) != E_INVALID) {
            b >>= packed_b(x);
            k -= x;
            x = t[packed_v(x) + extra_bits_fast<kBmi2>(b, packed_e(x) - E_LINK_BASE)];
        }
        if (packed_e(x) == E_INVALID) return false;
    }
    assert((k & 0xff) >= packed_b(x) && packed_b(x) < 64);
    saved = b;
    // Shifting by the entry itself: x86-64 shifts use the count's low 6 bits, where b sits
    // whole, so no byte extraction stands between the table load and the shift.
    b >>= x & 63;
    k -= x;
    return true;
}

// take_packed_fast for the edges of the input: pulls input bytes as each step needs them
// (the root's bits, a sub-table's, then the entry's own).
inline bool take_packed_careful(packed_code c, ulg &b, unsigned &k, uint32_t &x, ulg &saved) {
    need_bits(b, k, c.bits);
    x = c.t[low_bits(b, c.bits)];
    if (packed_e(x) > E_LITERAL && packed_e(x) != E_INVALID) {
        b >>= packed_b(x);
        k -= packed_b(x);
        const unsigned sub = packed_e(x) - E_LINK_BASE;
        need_bits(b, k, sub);
        x = c.t[packed_v(x) + low_bits(b, sub)];
    }
    if (packed_e(x) == E_INVALID) return false;
    need_bits(b, k, packed_b(x));
    saved = b;
    b >>= packed_b(x);
    k -= packed_b(x);
    return true;
}

// The value of a length or distance taken with its entry x: its base plus its extra bits,
// which sit above the code's bits in saved.
template <bool kBmi2>
inline unsigned packed_value(uint32_t x, ulg saved) {
    const unsigned e = packed_e(x);
    assert(e < E_EOB && packed_b(x) >= e);
    return packed_v(x) +
           static_cast<unsigned>(extra_bits_fast<kBmi2>(saved >> (packed_b(x) - e), e));
}

// Tables of the block being decoded (one block at a time).
uint32_t lit_table[PACKED_L_CAPACITY];
uint32_t dist_table[PACKED_D_CAPACITY];

// Where the fast loop stopped.
enum class fast_exit {
    edge,     // near the end of the input buffer or of the window: one careful symbol next
    eob,      // end of block taken
    length,   // a length taken (its value in codes_state::n), too little input for the
              // distance that follows
    copy,     // a match that wraps, fills the window or lies too near the input's end:
              // copy_match_careful copies it
    invalid,  // invalid code
};

// The decoder's state handed between the fast loop and the careful path.
struct codes_state {
    ulg b;
    unsigned k;
    unsigned w;     // window position
    unsigned in;    // input position
    unsigned n;     // fast_exit::copy and fast_exit::length: the match's length
    unsigned dist;  // fast_exit::copy: its distance
};

// Fast path: whole-word refills and straight copies, while far from the end of the input
// buffer and of the window. Its own function, with only its own values live and no calls:
// inlined into the careful path, with calls, it kept the bit buffer, its count and the
// table pointer on the stack (three loads and two stores per three literals); alone, 11.6%
// fewer instructions decoding the 3 MB compressed file (callgrind).
template <bool kBmi2>
[[gnu::always_inline]] inline fast_exit decode_fast(const uint32_t *const lt,
                                                    const uint32_t *const dt, codes_state &s) {
    uint32_t x;
    ulg saved;  // the bit buffer before the last symbol's bits were dropped
    ulg b = s.b;
    unsigned k = s.k;
    unsigned w = s.w;
    // The input position lives in a register here (window stores could alias the global);
    // nothing called from this loop reads or refills inbuf.
    unsigned in = s.in;
    const unsigned in_end = insize;
    constexpr ulg lmask = (ulg{1} << PACKED_LBITS) - 1;
    constexpr ulg dmask = (ulg{1} << PACKED_DBITS) - 1;
    fast_exit r = fast_exit::edge;

    while (in + FAST_IN_MARGIN <= in_end && w <= FAST_OUT_LIMIT) {
        refill_fast(b, k, in);
        // At least REFILL_MIN_BITS - MAX_BITS bits here: a refill, then at most one code.
    next_streak:
        x = lt[b & lmask];
    have_entry:
        if (!take_packed_fast<kBmi2>(lt, b, k, x, saved)) {
            r = fast_exit::invalid;
            break;
        }
        if (packed_e(x) == E_LITERAL) {
            window[w++] = static_cast<uch>(packed_v(x));
            // Literals run in streaks; a second code still fits in this refill, also after
            // the literal that ended the pass before.
            static_assert(FAST_LITERALS == 3, "this streak takes three literals at most");
            static_assert(REFILL_MIN_BITS - 2 * MAX_BITS >= MAX_LENGTH_BITS);
            x = lt[b & lmask];
            if (!take_packed_fast<kBmi2>(lt, b, k, x, saved)) {
                r = fast_exit::invalid;
                break;
            }
            if (packed_e(x) == E_LITERAL) {
                window[w++] = static_cast<uch>(packed_v(x));
                // And a third, while the bits last. At least 56 - 3 * 15 = 11 bits are left for its
                // root lookup; the refill comes while that lookup loads, off the bit buffer's
                // critical path (the refill at the loop's top waited for the last code's count),
                // and leaves enough bits for the third code and one more pass.
                static_assert(REFILL_MIN_BITS - 3 * MAX_BITS >= PACKED_LBITS);
                x = lt[b & lmask];
                refill_fast(b, k, in);
                if (!take_packed_fast<kBmi2>(lt, b, k, x, saved)) {
                    r = fast_exit::invalid;
                    break;
                }
                if (packed_e(x) == E_LITERAL) {
                    window[w++] = static_cast<uch>(packed_v(x));
                    if (in + FAST_IN_MARGIN <= in_end && w <= FAST_OUT_LIMIT) goto next_streak;
                    break;
                }
            }
        }
        if (packed_e(x) == E_EOB) {
            r = fast_exit::eob;
            break;
        }
        const unsigned n = packed_value<kBmi2>(x, saved);
        // A length: two refills follow, one for the distance and one for the next code.
        if (in + FAST_IN_MARGIN > in_end) {
            s.n = n;
            r = fast_exit::length;
            break;
        }
        // The distance root is peeked before the refill. k may count fewer bits than it
        // needs (down to 41 - 15 - 20 after a literal and a length), but a refill loads
        // 64 bits, of which k counts 56 to 63, and at most a literal before the pass, a
        // literal and a length were taken since: the bits peeked are the stream's own.
        static_assert(64 - MAX_BITS - MAX_BITS - MAX_LENGTH_BITS >= PACKED_DBITS);
        uint32_t y = dt[b & dmask];
        // Refilled while the distance entry loads, as for the third literal: at least
        // 56 - 28 bits remain after the distance, enough for the next root lookup.
        refill_fast(b, k, in);
        static_assert(REFILL_MIN_BITS - DISTANCE_BITS >= PACKED_LBITS);
        if (!take_packed_fast<kBmi2>(dt, b, k, y, saved)) {
            r = fast_exit::invalid;
            break;
        }
        const unsigned dist = packed_value<kBmi2>(y, saved);
        // The source may sit in the older part of the window (dist > w); only copies that
        // wrap around the window end, or reach exactly one window back, take the careful
        // path. Literals may have moved w past FAST_OUT_LIMIT, and a copy that fills the
        // window must flush it, which the careful path does.
        static_assert((WSIZE & (WSIZE - 1)) == 0 && MAX_DISTANCE <= WSIZE);
        const unsigned src = (w - dist) & (WSIZE - 1);  // dist == WSIZE gives src == w
        if (src + n <= WSIZE && src != w && w + n <= FAST_OUT_LIMIT &&
            in + FAST_IN_MARGIN <= in_end) {
            // Look the next code up before copying: the copy's branches (chunk
            // count, overlap) often mispredict, and the lookup issued ahead of them
            // is not thrown away with them. The refill comes after the lookup, off the bit buffer's
            // critical path.
            x = lt[b & lmask];
            refill_fast(b, k, in);
            w = copy_match_fast(w, src, n);
            goto have_entry;
        }
        // No call in this loop: one made the compiler keep the bit buffer on the stack.
        s.n = n;
        s.dist = dist;
        r = fast_exit::copy;
        break;
    }
    s.b = b;
    s.k = k;
    s.w = w;
    s.in = in;
    return r;
}

// BMI2's shifts take their count from any register and leave the flags alone (SHRX, SHLX),
// and BZHI masks without a table: the bit buffer's critical path is shorter. Extracting
// the 32 MB executable, best/median of 31 interleaved runs: 0.0576/0.0610 CPU s without,
// 0.0566/0.0589 with.
#if defined(__x86_64__)
[[gnu::target("bmi2"), gnu::noinline]] fast_exit decode_fast_bmi2(const uint32_t *lt,
                                                                  const uint32_t *dt,
                                                                  codes_state &s) {
    return decode_fast<true>(lt, dt, s);
}
#endif

[[gnu::noinline]] fast_exit decode_fast_generic(const uint32_t *lt, const uint32_t *dt,
                                                codes_state &s) {
    return decode_fast<false>(lt, dt, s);
}

}  // namespace

int inflate_codes(packed_code tl, packed_code td) {
#if defined(__x86_64__)
    const bool bmi2 = cpu_has(CPU_BMI2);
#endif
    // Constant index masks in the fast loop: packed_build makes every root as wide as asked.
    assert(tl.bits == PACKED_LBITS && td.bits == PACKED_DBITS);
    codes_state s{bb, bk, outcnt, inptr, 0, 0};

    for (;;) {
#if defined(__x86_64__)
        const fast_exit r =
            bmi2 ? decode_fast_bmi2(tl.t, td.t, s) : decode_fast_generic(tl.t, td.t, s);
#else
        const fast_exit r = decode_fast_generic(tl.t, td.t, s);
#endif
        if (r == fast_exit::invalid) return 1;
        inptr = s.in;
        if (r == fast_exit::eob) break;
        ulg b = s.b;
        unsigned k = s.k & 0xff;
        unsigned w = s.w;
        if (r == fast_exit::copy) {
            s.w = copy_match_careful(w, s.dist, s.n);
            continue;
        }

        // Careful path: one symbol, pulling bytes one at a time (refilling inbuf as
        // needed) and flushing the window wherever it fills.
        assert(w < WSIZE);  // a full window is always flushed where it fills
        uint32_t x;
        ulg saved;  // the bit buffer before the last symbol's bits were dropped
        unsigned n;
        if (r == fast_exit::length) {
            n = s.n;
        } else {
            if (!take_packed_careful(tl, b, k, x, saved)) return 1;
            if (packed_e(x) == E_LITERAL) {
                put_window_byte(w, static_cast<uch>(packed_v(x)));
                s = {b, k, w, inptr, 0, 0};
                continue;
            }
            if (packed_e(x) == E_EOB) {
                s = {b, k, w, inptr, 0, 0};
                break;
            }
            n = packed_value<false>(x, saved);
        }
        if (!take_packed_careful(td, b, k, x, saved)) return 1;
        w = copy_match_careful(w, packed_value<false>(x, saved), n);
        s = {b, k, w, inptr, 0, 0};
    }
    outcnt = s.w;
    bb = s.b;
    bk = s.k & 0xff;
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
    unsigned l[FIXED_L_CODES];
    unsigned i = 0;
    for (; i < 144; i++) l[i] = 8;
    for (; i < 256; i++) l[i] = 9;
    for (; i < 280; i++) l[i] = 7;
    for (; i < FIXED_L_CODES; i++) l[i] = 8;
    packed_code tl{lit_table, 0};
    int r = packed_build(l, FIXED_L_CODES, 257, cplens, cplext, PACKED_LBITS, lit_table,
                         PACKED_L_CAPACITY, &tl.bits);
    if (r != 0) return r;

    // Fixed distance codes: 30 codes of 5 bits, incomplete (30 and 31 unused).
    for (i = 0; i < D_CODES; i++) l[i] = 5;
    packed_code td{dist_table, 0};
    r = packed_build(l, D_CODES, 0, cpdist, cpdext, PACKED_DBITS, dist_table, PACKED_D_CAPACITY,
                     &td.bits);
    if (r > 1) return r;

    return inflate_codes(tl, td) != 0 ? 1 : 0;
}

int inflate_dynamic() {
    ulg b = bb;
    unsigned k = bk;

    // HLIT: 5 bits, HDIST: 5 bits, HCLEN: 4 bits
    unsigned nl = 257 + take_bits(b, k, 5);
    unsigned nd = 1 + take_bits(b, k, 5);
    unsigned nb = 4 + take_bits(b, k, 4);
    if (nl > L_CODES || nd > D_CODES) return 1;

    // Code-length code lengths: 3 bits each, in CL_ORDER order.
    unsigned ll[L_CODES + D_CODES];
    unsigned j = 0;
    for (; j < nb; j++) ll[CL_ORDER[j]] = take_bits(b, k, 3);
    for (; j < BL_CODES; j++) ll[CL_ORDER[j]] = 0;

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

    packed_code lit{lit_table, 0};
    r = packed_build(ll, nl, 257, cplens, cplext, PACKED_LBITS, lit_table, PACKED_L_CAPACITY,
                     &lit.bits);
    if (r != 0) {
        if (r == 1) fprintf(stderr, " incomplete literal tree\n");
        return r;
    }
    packed_code dist{dist_table, 0};
    r = packed_build(ll + nl, nd, 0, cpdist, cpdext, PACKED_DBITS, dist_table, PACKED_D_CAPACITY,
                     &dist.bits);
    if (r != 0) {
        if (r == 1) fprintf(stderr, " incomplete distance tree\n");
        return r;
    }

    r = inflate_codes(lit, dist);
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
    for (unsigned j = 0; j < nback; j++)
        inbuf[inptr - nback + j] = static_cast<uch>(bb >> (skip + 8 * j));
    inptr -= nback;
    bk = 0;
    bb = 0;

    flush_window();
    return 0;
}
