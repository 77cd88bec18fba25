// DEFLATE decoder: packed decoding tables of the literal/length and distance codes, built
// straight from the code lengths. Owns no state; the caller owns the table memory.
// Canonical codes: RFC 1951 section 3.2.2; bit order of codes: section 3.1.1.
#include <array>
#include <cassert>
#include <cstring>

#include "inflate/inflate_internal.h"

namespace {

// Code space left after the codes of lengths 1..MAX_BITS (Kraft): negative when
// over-subscribed, 0 when complete. Lengths are at most MAX_BITS.
int code_space_left(const unsigned *count) {
    int left = 1;
    for (unsigned len = 1; len <= MAX_BITS; len++) {
        left = left * 2 - static_cast<int>(count[len]);
        if (left < 0) return left;  // once negative it stays so
    }
    return left;
}

// Bytes with their bits in reverse order.
constexpr auto make_reversed_bytes() {
    std::array<uint8_t, 256> r{};
    for (unsigned v = 0; v < 256; v++)
        for (unsigned i = 0; i < 8; i++) r[v] |= static_cast<uint8_t>(((v >> i) & 1) << (7 - i));
    return r;
}
constexpr std::array<uint8_t, 256> reversed_bytes = make_reversed_bytes();

// The low n bits of v (n <= 16) in reverse order: a code's first bit is its most
// significant (RFC 1951 3.1.1), while the bit buffer hands out the next bit as bit 0. Two
// byte lookups rather than a loop per bit: the loop was two thirds of the table building.
inline unsigned reverse_bits(unsigned v, unsigned n) {
    assert(n >= 1 && n <= 16 && v < (1u << 16));  // v >> 8 indexes a 256-entry table
    return (static_cast<unsigned>(reversed_bytes[v & 0xff]) << 8 | reversed_bytes[v >> 8]) >>
           (16 - n);
}

}  // namespace

int packed_build(const unsigned *len, unsigned n, unsigned s, const ush *d, const ush *e,
                 unsigned root_bits, uint32_t *table, unsigned capacity, unsigned *bits) {
    assert(root_bits <= MAX_BITS && capacity >= (1u << root_bits));
    if (n > N_MAX) return 2;

    // LEN counts: how many codes of each length.
    unsigned count[MAX_BITS + 1] = {};
    for (unsigned i = 0; i < n; i++) {
        if (len[i] > MAX_BITS) return 2;
        count[len[i]]++;
    }
    count[0] = 0;
    unsigned maxlen = MAX_BITS;
    while (maxlen > 0 && count[maxlen] == 0) maxlen--;
    const unsigned root = root_bits;
    const unsigned root_size = 1u << root;
    if (maxlen == 0) {
        // No codes at all: any symbol is invalid.
        for (unsigned i = 0; i < root_size; i++) table[i] = pack_entry(E_INVALID, 0, 0);
        *bits = root;
        return 0;
    }
    const int left = code_space_left(count);
    if (left < 0) return 2;
    // A single code of length 1 is allowed; any other incomplete code is refused by the
    // callers, who only need the table when every code fits the root (fixed distances).
    const int result = left > 0 && maxlen != 1 ? 1 : 0;
    if (left > 0 && maxlen > root) return result;
    // The root is as wide as asked even when every code is shorter, so the decoder's index
    // masks are constants.
    *bits = root;
    if (left > 0)
        for (unsigned i = 0; i < root_size; i++) table[i] = pack_entry(E_INVALID, 0, 0);

    // Symbols in canonical order (by length, then by symbol) and the first code of each
    // length (RFC 1951 3.2.2, step 2).
    unsigned offs[MAX_BITS + 2];
    unsigned next_code[MAX_BITS + 1];
    offs[1] = 0;
    next_code[0] = 0;
    for (unsigned l = 1; l <= MAX_BITS; l++) {
        offs[l + 1] = offs[l] + count[l];
        next_code[l] = (next_code[l - 1] + count[l - 1]) << 1;
    }
    unsigned sorted[N_MAX];
    for (unsigned i = 0; i < n; i++)
        if (len[i] != 0) sorted[offs[len[i]]++] = i;
    const unsigned nsym = offs[MAX_BITS + 1];

    auto entry_of = [&](unsigned sym, unsigned code_bits) {
        if (sym < s) return pack_entry(sym < 256 ? E_LITERAL : E_EOB, code_bits, sym);
        return pack_entry(e[sym - s], code_bits, d[sym - s]);
    };

    // Codes that fit the root: each fills every index that starts with its bits.
    unsigned i = 0;
    if (left > 0) {
        for (; i < nsym && len[sorted[i]] <= root; i++) {
            const unsigned sym = sorted[i];
            const unsigned l = len[sym];
            const uint32_t x = entry_of(sym, l);
            for (unsigned j = reverse_bits(next_code[l]++, l); j < root_size; j += 1u << l)
                table[j] = x;
        }
    } else {
        // A complete code: the table is built as if the root were as wide as the current
        // length and doubled by block copies before each longer length, so every code is
        // stored once (the stores of replication were a third of the table building). The
        // copies carry indexes no code has yet; the longer codes and links overwrite them.
        unsigned size = 1u << len[sorted[0]];
        for (; i < nsym && len[sorted[i]] <= root; i++) {
            const unsigned sym = sorted[i];
            const unsigned l = len[sym];
            for (; size < (1u << l); size *= 2) memcpy(table + size, table, size * sizeof *table);
            table[reverse_bits(next_code[l]++, l)] = entry_of(sym, l);
        }
        for (; size < root_size; size *= 2) memcpy(table + size, table, size * sizeof *table);
    }

    // Longer codes: those sharing their first root bits are consecutive in canonical order
    // and go to one sub-table as wide as the longest of them needs; the root entry links to
    // it. The code is complete here, so every sub-table index gets a code.
    unsigned used = root_size;
    while (i < nsym) {
        const unsigned first_len = len[sorted[i]];
        const unsigned prefix = next_code[first_len] >> (first_len - root);
        // The last code with this prefix is the longest: find it.
        unsigned last = i;
        {
            unsigned nc[MAX_BITS + 1];
            for (unsigned l = first_len; l <= maxlen; l++) nc[l] = next_code[l];
            nc[first_len]++;
            while (last + 1 < nsym) {
                const unsigned l = len[sorted[last + 1]];
                if (nc[l] >> (l - root) != prefix) break;
                nc[l]++;
                last++;
            }
        }
        const unsigned sub = len[sorted[last]] - root;
        const unsigned sub_size = 1u << sub;
        if (sub_size > capacity - used) return 3;  // beyond the proven bound: never for DEFLATE
        uint32_t *st = table + used;
        for (; i <= last; i++) {
            const unsigned sym = sorted[i];
            const unsigned l = len[sym];
            const unsigned code = next_code[l]++;
            const unsigned step = 1u << (l - root);
            const uint32_t x = entry_of(sym, l - root);
            for (unsigned j = reverse_bits(code, l - root); j < sub_size; j += step) st[j] = x;
        }
        table[reverse_bits(prefix, root)] = pack_entry(E_LINK_BASE + sub, root, used);
        used += sub_size;
    }
    return result;
}
