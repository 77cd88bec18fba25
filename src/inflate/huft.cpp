// DEFLATE decoder: building and releasing multi-level Huffman decoding tables (huft), used
// for the code-length code.
// Owns no state between calls; every table set belongs to the caller until huft_free.
// Canonical codes: RFC 1951 section 3.2.2.
#include <cassert>
#include <cstdlib>

#include "inflate/inflate_internal.h"

// Table memory. The block decoder builds one huft table per dynamic block, for its
// code-length code (codes of at most 7 bits: one table of at most 2^7 entries and a header),
// so executables (many small blocks) would spend a visible share of their decoding in malloc
// and free; carving from a static arena that empties whenever no table is live costs almost
// nothing. The arena also holds a whole literal/length and distance set at level-0
// widths 9 and 6 (965 entries on executables, text and tarballs), which huft_build builds for
// its other callers; a table that does not fit comes from malloc instead, so the size is a
// speed choice, never a limit.
constexpr size_t HUFT_ARENA_ENTRIES = 2048;
namespace {
huft huft_arena[HUFT_ARENA_ENTRIES];
size_t arena_used = 0;  // entries handed out since the arena was last empty
size_t arena_live = 0;  // allocations not yet released

bool in_arena(const huft *p) {
    return p >= huft_arena && p < huft_arena + HUFT_ARENA_ENTRIES;
}
}  // namespace

void *huft_arena_alloc(size_t n) {
    size_t entries = (n + sizeof(huft) - 1) / sizeof(huft);
    if (entries > HUFT_ARENA_ENTRIES - arena_used) return malloc(n);
    huft *p = huft_arena + arena_used;
    arena_used += entries;
    arena_live++;
    return p;
}

size_t huft_arena_in_use() {
    return arena_used;
}

void *(*huft_malloc)(size_t) = huft_arena_alloc;

int huft_build(const unsigned *b, unsigned n, unsigned s, const ush *d, const ush *e, huft **t,
               int *m) {
    if (n > N_MAX) return 2;

    // Count the symbols of each length 0..BMAX.
    unsigned c[BMAX + 1] = {};
    for (unsigned i = 0; i < n; i++) {
        if (b[i] > BMAX) return 2;
        c[b[i]]++;
    }
    if (c[0] == n) {  // no codes at all: no table
        *t = nullptr;
        *m = 0;
        return 0;
    }

    // Shortest and longest lengths; clamp the level-0 width between them.
    unsigned kmin = 1;
    while (c[kmin] == 0) kmin++;
    unsigned g = BMAX;
    while (c[g] == 0) g--;
    int l = *m;
    if (l < static_cast<int>(kmin)) l = static_cast<int>(kmin);
    if (l > static_cast<int>(g)) l = static_cast<int>(g);
    *m = l;

    // Code space left after each length (Kraft); leftover patterns become dummy codes of
    // the longest length, which decode as invalid.
    int y = 1 << kmin;
    for (unsigned j = kmin; j < g; j++, y <<= 1)
        if ((y -= static_cast<int>(c[j])) < 0) return 2;
    if ((y -= static_cast<int>(c[g])) < 0) return 2;
    c[g] += static_cast<unsigned>(y);

    // Symbols sorted by length, ascending symbol order within a length.
    unsigned x[BMAX + 1];
    x[1] = 0;
    for (unsigned j = 1; j < g; j++) x[j + 1] = x[j] + c[j];
    unsigned v[N_MAX];
    unsigned nreal = 0;
    for (unsigned i = 0; i < n; i++)
        if (b[i] != 0) {
            v[x[b[i]]++] = i;
            nreal++;
        }
    const unsigned *p = v;
    const unsigned *pend = v + nreal;

    // Table stack, one entry per open level: the table, its size and the code bits that
    // led into it. At most BMAX levels exist since every level consumes at least one bit.
    huft *u[BMAX];
    unsigned zs[BMAX];
    unsigned lead[BMAX];
    huft **tail = t;  // where the next allocation is chained in
    huft *first = nullptr;
    int h = -1;
    int w = -l;      // code bits handled by the levels above the current table
    unsigned i = 0;  // current code, bit-reversed
    huft r{};
    r.v.t = nullptr;

    for (unsigned k = kmin; k <= g; k++) {
        for (unsigned a = c[k]; a-- > 0;) {  // a: codes of length k still to come
            // Open tables until this code's bits are covered.
            while (static_cast<int>(k) > w + l) {
                h++;
                w += l;
                unsigned lim = static_cast<unsigned>(g) - static_cast<unsigned>(w);
                if (lim > static_cast<unsigned>(l)) lim = static_cast<unsigned>(l);
                unsigned j = k - static_cast<unsigned>(w);
                unsigned f = 1u << j;
                if (f > a + 1) {
                    // Too few codes of this length to fill a (k - w)-bit table: widen it
                    // while the following lengths still fit.
                    f -= a + 1;
                    const unsigned *xp = c + k;
                    while (++j < lim) {
                        if ((f <<= 1) <= *++xp) break;
                        f -= *xp;
                    }
                }
                unsigned z = 1u << j;
                huft *q = static_cast<huft *>(huft_malloc((z + 1) * sizeof(huft)));
                if (q == nullptr) {
                    if (first) huft_free(first);
                    return 3;
                }
                // Every index is overwritten below except the unused upper half of a widened
                // level-0 table; mark those invalid rather than leave them uninitialised.
                for (unsigned at = 0; at <= z; at++) {
                    q[at].e = E_INVALID;
                    q[at].b = 0;
                    q[at].v.t = nullptr;
                }
                *tail = q + 1;
                tail = &q->v.t;
                *tail = nullptr;
                if (!first) first = q + 1;
                u[h] = q + 1;
                zs[h] = z;
                lead[h] = i;
                if (h > 0) {
                    // The parent indexes bits w - l .. w - 1 of the code.
                    huft link;
                    link.b = static_cast<uch>(l);
                    link.e = static_cast<uch>(E_LINK_BASE + j);
                    link.v.t = q + 1;
                    unsigned idx = (i & ((1u << w) - 1)) >> (w - l);
                    assert(idx < zs[h - 1]);
                    u[h - 1][idx] = link;
                }
            }

            // The entry for this code at the current level.
            r.b = static_cast<uch>(k - static_cast<unsigned>(w));
            if (p >= pend) {
                r.e = E_INVALID;  // dummy code: v keeps the previous entry's value
            } else if (*p < s) {
                r.e = static_cast<uch>(*p < 256 ? E_LITERAL : E_EOB);
                r.v.n = static_cast<ush>(*p);
                p++;
            } else {
                r.e = static_cast<uch>(e[*p - s]);
                r.v.n = d[*p - s];
                p++;
            }

            // Replicate it over every index that starts with the code's remaining bits.
            // (Table and bound in locals: the entry stores could otherwise alias them, which
            // made this loop reload both on every store.)
            unsigned step = 1u << (k - static_cast<unsigned>(w));
            huft *const tab = u[h];
            const unsigned size = zs[h];
            for (unsigned j = i >> w; j < size; j += step) tab[j] = r;

            // Next code of length k, bit-reversed increment.
            unsigned j = 1u << (k - 1);
            for (; i & j; j >>= 1) i ^= j;
            i ^= j;

            // Close levels whose prefix the new code no longer shares.
            while ((i & ((1u << w) - 1)) != (lead[h] & ((1u << w) - 1))) {
                h--;
                w -= l;
            }
        }
    }
    return (y != 0 && g != 1) ? 1 : 0;
}

int huft_free(huft *t) {
    while (t != nullptr) {
        huft *header = t - 1;
        huft *next = header->v.t;
        if (!in_arena(header)) {
            free(header);
        } else if (--arena_live == 0) {
            arena_used = 0;
        }
        t = next;
    }
    return 0;
}
