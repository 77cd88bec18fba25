// DEFLATE encoder, Huffman tree construction: the fixed codes and length/distance lookup
// tables (built once), and per block the length-limited dynamic codes and their bit costs.
// Owns the tables; builds in the block writer's trees, heap and bl_count (bw). RFC 1951
// sections 3.2.2, 3.2.5, 3.2.6, 3.2.7.
#include "deflate/deflate_internal.h"

#include <algorithm>

ct_data static_ltree[FIXED_L_CODES];
ct_data static_dtree[D_CODES];
uch length_code[256];
uch dist_code[512];
int base_length[LENGTH_CODES];
int base_dist[D_CODES];

namespace {

// Heap order: lower frequency first; on equal frequency the shallower subtree first, so
// that equal weights do not pile up into needlessly deep codes. Node n comes before m when
// heap_key[n] <= heap_key[m]: one comparison where frequency and depth took two.
// heap_key layout: bits 8-23 the node's frequency, bits 0-7 its subtree's depth (mod 256).
inline constexpr unsigned DEPTH_BITS = 8;
inline constexpr uint32_t DEPTH_MASK = (1u << DEPTH_BITS) - 1;
static_assert(sizeof(ush) * 8 + DEPTH_BITS <= 32, "a frequency and a depth fit a key");

// Restores the heap order below slot k, whose node may be out of place. Which child comes
// first is a coin toss the branch predictor loses: it is chosen without a branch. Random
// bytes, whose blocks hold the fewest input bytes, build the most trees per byte.
void pqdownheap(int k) {
    const int v = bw.heap[k];
    const uint32_t kv = bw.heap_key[v];
    int j = k << 1;
    for (; j < bw.heap_len; j <<= 1) {  // two children
        const int l = bw.heap[j], r = bw.heap[j + 1];
        const uint32_t kl = bw.heap_key[l], kr = bw.heap_key[r];
        const bool right = kr <= kl;  // the right child first on a tie
        const int c = right ? r : l;
        const uint32_t kc = right ? kr : kl;
        if (kv <= kc) {
            bw.heap[k] = v;
            return;
        }
        bw.heap[k] = c;
        k = j + right;
        j = k;
    }
    if (j == bw.heap_len && kv > bw.heap_key[bw.heap[j]]) {  // one child
        bw.heap[k] = bw.heap[j];
        k = j;
    }
    bw.heap[k] = v;
}

// Assigns code lengths from the finished tree, limited to desc->max_length, and adds the
// block's data bits with these lengths (and with the fixed code) to opt_len / static_len.
void gen_bitlen(tree_desc *desc) {
    ct_data *tree = desc->dyn_tree;
    const ct_data *stree = desc->static_tree;
    const uint8_t *extra = desc->extra_bits;
    int base = desc->extra_base;
    int max_code = desc->max_code;
    int max_length = desc->max_length;
    int overflow = 0;

    for (unsigned bits = 0; bits <= MAX_BITS; bits++) bw.bl_count[bits] = 0;

    // Nodes left the heap in order of increasing weight, so walking from the root at
    // heap_max upward visits every parent before its children.
    tree[bw.heap[bw.heap_max]].dl = 0;
    for (int h = bw.heap_max + 1; h < HEAP_SIZE; h++) {
        int n = bw.heap[h];
        int bits = tree[tree[n].dl].dl + 1;
        if (bits > max_length) {
            bits = max_length;
            overflow++;
        }
        tree[n].dl = static_cast<ush>(bits);
        if (n > max_code) continue;  // internal node
        bw.bl_count[bits]++;
        int xbits = n >= base ? extra[n - base] : 0;
        ulg f = tree[n].fc;
        bw.opt_len += f * static_cast<ulg>(bits + xbits);
        if (stree) bw.static_len += f * static_cast<ulg>(stree[n].dl + xbits);
    }
    if (overflow == 0) return;

    // Each step moves one leaf of the deepest non-full level down one level and gives it
    // an overflowed leaf as sibling, keeping the code complete.
    do {
        int bits = max_length - 1;
        while (bw.bl_count[bits] == 0) bits--;
        bw.bl_count[bits]--;
        bw.bl_count[bits + 1] = static_cast<ush>(bw.bl_count[bits + 1] + 2);
        bw.bl_count[max_length]--;
        overflow -= 2;
    } while (overflow > 0);

    // Hand out the corrected lengths, least frequent leaves getting the longest codes.
    int h = HEAP_SIZE;
    for (int bits = max_length; bits != 0; bits--) {
        int n = bw.bl_count[bits];
        while (n != 0) {
            int m = bw.heap[--h];
            if (m > max_code) continue;
            if (tree[m].dl != bits) {
                bw.opt_len += static_cast<ulg>((static_cast<long>(bits) - tree[m].dl) * tree[m].fc);
                tree[m].dl = static_cast<ush>(bits);
            }
            n--;
        }
    }
}

}  // namespace

void gen_codes(ct_data *tree, int max_code) {
    ush next_code[MAX_BITS + 1];
    ush code = 0;
    // Canonical codes (RFC 1951 3.2.2): consecutive values within a length, shorter first.
    for (unsigned bits = 1; bits <= MAX_BITS; bits++) {
        code = static_cast<ush>((code + bw.bl_count[bits - 1]) << 1);
        next_code[bits] = code;
    }
    for (int n = 0; n <= max_code; n++) {
        int len = tree[n].dl;
        if (len == 0) continue;
        tree[n].fc = static_cast<ush>(bi_reverse(next_code[len]++, len));
    }
}

void build_tree(tree_desc *desc) {
    ct_data *tree = desc->dyn_tree;
    const ct_data *stree = desc->static_tree;
    int elems = desc->elems;
    int max_code = -1;
    int node = elems;  // next internal node

    bw.heap_len = 0;
    bw.heap_max = HEAP_SIZE;
    for (int n = 0; n < elems; n++) {
        if (tree[n].fc != 0) {
            bw.heap[++bw.heap_len] = max_code = n;
            bw.heap_key[n] = static_cast<uint32_t>(tree[n].fc) << DEPTH_BITS;
        } else {
            tree[n].dl = 0;
        }
    }

    // A decoder needs at least two codes of a tree (RFC 1951 3.2.7 allows one distance
    // code, but two keep every tree complete); force symbols in with frequency 1.
    while (bw.heap_len < 2) {
        int nw = bw.heap[++bw.heap_len] = (max_code < 2 ? ++max_code : 0);
        tree[nw].fc = 1;
        bw.heap_key[nw] = uint32_t{1} << DEPTH_BITS;
        bw.opt_len--;
        if (stree) bw.static_len -= stree[nw].dl;
    }
    desc->max_code = max_code;

    for (int n = bw.heap_len / 2; n >= 1; n--) pqdownheap(n);

    // Combine the two least frequent nodes until one root is left. Leaving nodes are
    // stored downward from the top of heap for gen_bitlen.
    do {
        int n = bw.heap[1];
        bw.heap[1] = bw.heap[bw.heap_len--];
        pqdownheap(1);
        int m = bw.heap[1];
        bw.heap[--bw.heap_max] = n;
        bw.heap[--bw.heap_max] = m;
        tree[node].fc = static_cast<ush>(tree[n].fc + tree[m].fc);
        const uint32_t d =
            (std::max(bw.heap_key[n] & DEPTH_MASK, bw.heap_key[m] & DEPTH_MASK) + 1) & DEPTH_MASK;
        bw.heap_key[node] = static_cast<uint32_t>(tree[node].fc) << DEPTH_BITS | d;
        tree[n].dl = tree[m].dl = static_cast<ush>(node);
        bw.heap[1] = node++;
        pqdownheap(1);
    } while (bw.heap_len >= 2);
    bw.heap[--bw.heap_max] = bw.heap[1];

    gen_bitlen(desc);
    gen_codes(tree, max_code);
}

void init_block() {
    for (unsigned n = 0; n < L_CODES; n++) bw.dyn_ltree[n].fc = 0;
    for (unsigned n = 0; n < D_CODES; n++) bw.dyn_dtree[n].fc = 0;
    for (unsigned n = 0; n < BL_CODES; n++) bw.bl_tree[n].fc = 0;
    bw.dyn_ltree[END_BLOCK].fc = 1;  // sent once per block
    bw.opt_len = bw.static_len = 0;
    bw.last_lit = bw.last_dist = bw.last_flags = 0;
    bw.flags = 0;
    bw.flag_bit = 1;
}

// Once a member: cold, so compiled for size.
[[gnu::cold]] void ct_init(ush *attr, int *methodp) {
    bw.file_type = attr;
    bw.file_method = methodp;
    // Extra bits of length codes 257..285 (RFC 1951 3.2.5).
    bw.l_desc = {bw.dyn_ltree, static_ltree, extra_lbits, LITERALS + 1, L_CODES, MAX_BITS, 0};
    bw.d_desc = {bw.dyn_dtree, static_dtree, extra_dbits, 0, D_CODES, MAX_BITS, 0};
    bw.bl_desc = {bw.bl_tree, nullptr, extra_blbits, 0, BL_CODES, MAX_BL_BITS, 0};
    bw.compressed_len = 0;
    if (static_dtree[0].dl != 0) return;  // tables built by an earlier member

    // Length codes (RFC 1951 3.2.5): each code covers 2^extra consecutive lengths.
    int length = 0;
    unsigned code;
    for (code = 0; code < LENGTH_CODES - 1; code++) {
        base_length[code] = length;
        for (int n = 0; n < (1 << extra_lbits[code]); n++)
            length_code[length++] = static_cast<uch>(code);
    }
    // Length 258 has its own code 285 without extra bits instead of 284 with 31.
    length_code[length - 1] = static_cast<uch>(code);

    // Distance codes: direct below 256, then indexed by (distance - 1) >> 7.
    int dist = 0;
    for (code = 0; code < 16; code++) {
        base_dist[code] = dist;
        for (int n = 0; n < (1 << extra_dbits[code]); n++)
            dist_code[dist++] = static_cast<uch>(code);
    }
    dist >>= 7;
    for (; code < D_CODES; code++) {
        base_dist[code] = dist << 7;
        for (int n = 0; n < (1 << (extra_dbits[code] - 7)); n++)
            dist_code[256 + dist++] = static_cast<uch>(code);
    }

    // Fixed literal/length code (RFC 1951 3.2.6).
    for (unsigned bits = 0; bits <= MAX_BITS; bits++) bw.bl_count[bits] = 0;
    unsigned n = 0;
    while (n <= 143) static_ltree[n++].dl = 8, bw.bl_count[8]++;
    while (n <= 255) static_ltree[n++].dl = 9, bw.bl_count[9]++;
    while (n <= 279) static_ltree[n++].dl = 7, bw.bl_count[7]++;
    while (n <= 287) static_ltree[n++].dl = 8, bw.bl_count[8]++;
    gen_codes(static_ltree, FIXED_L_CODES - 1);

    // Fixed distance code: 5 bits each.
    for (n = 0; n < D_CODES; n++) {
        static_dtree[n].dl = 5;
        static_dtree[n].fc = static_cast<ush>(bi_reverse(static_cast<unsigned>(n), 5));
    }
    init_block();
}
