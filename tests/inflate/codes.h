// Code-length helpers for the decoding-table tests: canonical codes computed independently
// of the decoder, and random code-length vectors.
#pragma once

#include <algorithm>
#include <random>
#include <vector>

namespace kt {

// Canonical codes of RFC 1951 section 3.2.2, bit-reversed into input order.
inline std::vector<unsigned> canonical_patterns(const std::vector<unsigned> &len) {
    unsigned count[17] = {}, next[17] = {};
    for (unsigned l : len) count[l]++;
    count[0] = 0;
    unsigned code = 0;
    for (int b = 1; b <= 16; b++) next[b] = code = (code + count[b - 1]) << 1;
    std::vector<unsigned> pat(len.size());
    for (size_t s = 0; s < len.size(); s++) {
        if (!len[s]) continue;
        unsigned c = next[len[s]]++, r = 0;
        for (unsigned i = 0; i < len[s]; i++) r |= ((c >> i) & 1) << (len[s] - 1 - i);
        pat[s] = r;
    }
    return pat;
}

// Lengths of a random tree of at most nsym leaves no deeper than maxlen, over randomly
// chosen symbols: a complete code, unless remove_leaf and the tree has more than two leaves,
// when one leaf is dropped (*removed tells).
inline std::vector<unsigned> random_lengths(std::mt19937 &rng, unsigned nsym, unsigned maxlen,
                                            bool remove_leaf, bool *removed = nullptr) {
    std::vector<unsigned> leaves = {0};
    while (leaves.size() < nsym) {
        if (std::none_of(leaves.begin(), leaves.end(), [&](unsigned d) { return d < maxlen; }))
            break;
        size_t i = rng() % leaves.size();
        if (leaves[i] >= maxlen) continue;
        unsigned d = ++leaves[i];
        leaves.push_back(d);
    }
    const bool drop = remove_leaf && leaves.size() > 2;
    if (drop) leaves.erase(leaves.begin() + static_cast<long>(rng() % leaves.size()));
    if (removed) *removed = drop;
    std::vector<unsigned> len(nsym, 0);
    std::vector<unsigned> order(nsym);
    for (unsigned i = 0; i < nsym; i++) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    for (size_t i = 0; i < leaves.size(); i++) len[order[i]] = leaves[i];
    return len;
}

}  // namespace kt
