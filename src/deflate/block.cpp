// DEFLATE encoder, block emission: records literals and matches, decides where blocks end,
// and sends each block stored, with the fixed codes or with dynamic codes, whichever is
// smallest. Owns the block writer's state (bw), whose tally it fills. RFC 1951 3.2.3-3.2.7.
#include "deflate/deflate_internal.h"

#include <cassert>
#include <cstring>

constinit BlockWriter bw;

int tally(unsigned dist, unsigned lc, ulg in_length) {
    // Blocks end at LIT_BUFSIZE - 1 symbols: the match finder flushes whenever this
    // returns 1, so the literal buffer and flag_buf always have room for one more.
    assert(bw.last_lit < LIT_BUFSIZE && bw.last_flags < FLAG_BUFSIZE);
    l_buf[bw.last_lit++] = static_cast<uch>(lc);
    if (dist == 0) {
        bw.dyn_ltree[lc].fc++;
    } else {
        dist--;  // distance - 1
        bw.dyn_ltree[length_code[lc] + LITERALS + 1].fc++;
        bw.dyn_dtree[d_code(dist)].fc++;
        bw.d_buf[bw.last_dist++] = static_cast<ush>(dist);
        bw.flags |= bw.flag_bit;
    }
    bw.flag_bit = static_cast<uch>(bw.flag_bit << 1);
    if ((bw.last_lit & 7) == 0) {
        bw.flag_buf[bw.last_flags++] = bw.flags;
        bw.flags = 0;
        bw.flag_bit = 1;
    }
    if (lm::compr_level > 2 && (bw.last_lit & (TALLY_CHECK_INTERVAL - 1)) == 0) {
        ulg out_length = static_cast<ulg>(bw.last_lit) * 8;
        for (unsigned dcode = 0; dcode < D_CODES; dcode++)
            out_length += static_cast<ulg>(bw.dyn_dtree[dcode].fc) *
                          (5 + static_cast<ulg>(extra_dbits[dcode]));
        out_length >>= 3;
        if (bw.last_dist < bw.last_lit / 2 && out_length < in_length / 2) return 1;
    }
    return bw.last_lit == LIT_BUFSIZE - 1;
}

int ct_tally(int dist, int lc) {
    return tally(static_cast<unsigned>(dist), static_cast<unsigned>(lc),
                 static_cast<ulg>(static_cast<long>(lm::strstart) - lm::block_start));
}

unsigned ct_tally_literals_careful(const uch *p, unsigned n, unsigned at, int *flush) {
    unsigned done = 0;
    while (done < n) {
        // The next literal that the full tally must take: the one that lands on the
        // interval check or fills the buffer, e literals on.
        const unsigned e = literals_to_check() + 1;
        if (n - done < e) {
            tally_literals_between_checks(p + done, n - done);
            break;
        }
        tally_literals_between_checks(p + done, e - 1);
        done += e;
        // Its step is at + done - 1.
        if (tally(0, p[done - 1],
                  static_cast<ulg>(static_cast<long>(at + done - 1) - lm::block_start))) {
            *flush = 1;
            return done;
        }
    }
    *flush = 0;
    return n;
}

void set_file_type() {
    unsigned ascii_freq = 0, bin_freq = 0;
    unsigned n = 0;
    while (n < 7) bin_freq += bw.dyn_ltree[n++].fc;
    while (n < 128) ascii_freq += bw.dyn_ltree[n++].fc;
    while (n < LITERALS) bin_freq += bw.dyn_ltree[n++].fc;
    *bw.file_type = bin_freq > (ascii_freq >> 2) ? ATTR_BINARY : ATTR_ASCII;
}

namespace {

// Limits of the next run of code lengths: a run of zeros may use the 138-long zero repeat; a
// run that continues the previous length repeats it with code 16 after 3 copies; any other
// length must be sent once before a repeat is worth it (RFC 1951 section 3.2.7).
void next_run_limits(int curlen, int nextlen, int &max_count, int &min_count) {
    if (nextlen == 0) {
        max_count = 138, min_count = 3;
    } else if (curlen == nextlen) {
        max_count = 6, min_count = 3;
    } else {
        max_count = 7, min_count = 4;
    }
}

}  // namespace

void scan_tree(ct_data *tree, int max_code) {
    int prevlen = -1;
    int nextlen = tree[0].dl;
    int count = 0;
    int max_count = 7, min_count = 4;
    if (nextlen == 0) max_count = 138, min_count = 3;
    tree[max_code + 1].dl = 0xffff;  // guard: ends the last run at max_code

    for (int n = 0; n <= max_code; n++) {
        int curlen = nextlen;
        nextlen = tree[n + 1].dl;
        if (++count < max_count && curlen == nextlen) continue;
        if (count < min_count) {
            bw.bl_tree[curlen].fc = static_cast<ush>(bw.bl_tree[curlen].fc + count);
        } else if (curlen != 0) {
            if (curlen != prevlen) bw.bl_tree[curlen].fc++;
            bw.bl_tree[REP_3_6].fc++;
        } else if (count <= 10) {
            bw.bl_tree[REPZ_3_10].fc++;
        } else {
            bw.bl_tree[REPZ_11_138].fc++;
        }
        count = 0;
        prevlen = curlen;
        next_run_limits(curlen, nextlen, max_count, min_count);
    }
}

void send_tree(ct_data *tree, int max_code) {
    // Same walk as scan_tree, whose guard at max_code + 1 is still in place.
    int prevlen = -1;
    int nextlen = tree[0].dl;
    int count = 0;
    int max_count = 7, min_count = 4;
    if (nextlen == 0) max_count = 138, min_count = 3;

    for (int n = 0; n <= max_code; n++) {
        int curlen = nextlen;
        nextlen = tree[n + 1].dl;
        if (++count < max_count && curlen == nextlen) continue;
        if (count < min_count) {
            do send_bits(bw.bl_tree[curlen].fc, bw.bl_tree[curlen].dl);
            while (--count != 0);
        } else if (curlen != 0) {
            if (curlen != prevlen) {
                send_bits(bw.bl_tree[curlen].fc, bw.bl_tree[curlen].dl);
                count--;
            }
            send_bits(bw.bl_tree[REP_3_6].fc, bw.bl_tree[REP_3_6].dl);
            send_bits(count - 3, 2);  // repeat count - 3: 2 bits
        } else if (count <= 10) {
            send_bits(bw.bl_tree[REPZ_3_10].fc, bw.bl_tree[REPZ_3_10].dl);
            send_bits(count - 3, 3);  // zero run - 3: 3 bits
        } else {
            send_bits(bw.bl_tree[REPZ_11_138].fc, bw.bl_tree[REPZ_11_138].dl);
            send_bits(count - 11, 7);  // zero run - 11: 7 bits
        }
        count = 0;
        prevlen = curlen;
        next_run_limits(curlen, nextlen, max_count, min_count);
    }
}

int build_bl_tree() {
    scan_tree(bw.dyn_ltree, bw.l_desc.max_code);
    scan_tree(bw.dyn_dtree, bw.d_desc.max_code);
    build_tree(&bw.bl_desc);
    // HCLEN may drop trailing unused code lengths in bl_order, but at least four are sent.
    int max_blindex;
    for (max_blindex = BL_CODES - 1; max_blindex >= 3; max_blindex--)
        if (bw.bl_tree[bl_order[max_blindex]].dl != 0) break;
    bw.opt_len += 3 * (static_cast<ulg>(max_blindex) + 1) + 5 + 5 + 4;
    return max_blindex;
}

void send_all_trees(int lcodes, int dcodes, int blcodes) {
    send_bits(lcodes - 257, 5);  // HLIT: 5 bits
    send_bits(dcodes - 1, 5);    // HDIST: 5 bits
    send_bits(blcodes - 4, 4);   // HCLEN: 4 bits
    for (int rank = 0; rank < blcodes; rank++)
        send_bits(bw.bl_tree[bl_order[rank]].dl, 3);  // code length code length: 3 bits
    send_tree(bw.dyn_ltree, lcodes - 1);
    send_tree(bw.dyn_dtree, dcodes - 1);
}

// Block symbols go through a 64-bit accumulator kept in a register, instead of the 16-bit
// bi_buf: each symbol, a match's four fields together, is one append, after which the whole
// bytes pending go out in one 64-bit store (fewer than 8 bits stay behind). The bytes are
// the same: the stream is one bit sequence, and the last bits pending become bi_buf. It
// replaces a branch per symbol and per field.
constexpr unsigned ACC_BITS = 64;
// A match: length code and extra bits, distance code and extra bits (at most 5 and 13
// extra bits, RFC 1951 3.2.5).
constexpr unsigned MAX_MATCH_BITS = MAX_BITS + 5 + MAX_BITS + 13;
static_assert(7 + MAX_MATCH_BITS < ACC_BITS && 7 + 2 * MAX_BITS < ACC_BITS, "a symbol fits");
// len_field[lc] layout: bits 0-23 a match's length code then its extra bits, as sent; bits
// 24-31 how many bits those are.
constexpr unsigned LEN_FIELD_SHIFT = 24;

// A code of a tree, with the length of a code the block does not use (0, or the 0xffff
// guard scan_tree leaves past the last one) as 0: a literal computes a match's fields from
// whatever distance follows and drops them, and may meet one.
inline unsigned code_length(const ct_data &c) {
    return c.dl <= MAX_BITS ? c.dl : 0;
}

void compress_block(const ct_data *ltree, const ct_data *dtree) {
    // This block's length field of each length - MIN_MATCH.
    uint32_t len_field[256];
    for (unsigned lc = 0; lc < 256; lc++) {
        const unsigned code = length_code[lc];
        const ct_data &c = ltree[code + LITERALS + 1];
        // Length 258 has no extra bits and no base of its own.
        const unsigned extra_bits = extra_lbits[code];
        const unsigned extra =
            (lc - static_cast<unsigned>(base_length[code])) & ((1u << extra_bits) - 1);
        const unsigned dl = code_length(c);
        len_field[lc] = (c.fc | extra << dl) | (dl + extra_bits) << LEN_FIELD_SHIFT;
    }
    // This block's distance codes: the code, how far its extra bits move up, and all bits.
    struct DistField {
        uint16_t code;
        uint8_t shift, bits;
    } dist_field[D_CODES];
    for (unsigned dcode = 0; dcode < D_CODES; dcode++) {
        const unsigned dl = code_length(dtree[dcode]);
        dist_field[dcode] = {dtree[dcode].fc, static_cast<uint8_t>(dl),
                             static_cast<uint8_t>(dl + extra_dbits[dcode])};
    }
    uint64_t acc = bw.bi_buf;
    unsigned valid = static_cast<unsigned>(bw.bi_valid);
    // outcnt and last_lit in locals: every byte stored to outbuf could otherwise alias them.
    unsigned out = outcnt;
    const unsigned n_syms = bw.last_lit;
    // Moves the whole bytes pending to outbuf; the buffer is flushed at exactly OUTBUFSIZ.
    auto put_bytes = [&] {
        if (out <= OUTBUFSIZ - sizeof acc) {
            memcpy(outbuf + out, &acc, sizeof acc);  // x86-64 is little-endian
            const unsigned bytes = valid >> 3;       // at most 7: fewer than ACC_BITS are pending
            out += bytes;
            acc >>= 8 * bytes;
            valid &= 7;
        } else {
            outcnt = out;
            for (; valid >= 8; valid -= 8, acc >>= 8) put_output_byte(static_cast<uch>(acc));
            out = outcnt;
        }
    };
    auto send = [&](uint64_t value, unsigned length) {
        assert(valid < 8 && length <= MAX_MATCH_BITS && value < (1ull << length));
        acc |= value << valid;
        valid += length;
        put_bytes();
    };
    put_bytes();  // bi_buf may hold 16 bits

    unsigned lx = 0, dx = 0, fx = 0;
    unsigned flag = 0;
    while (lx < n_syms) {
        if ((lx & 7) == 0) {
            flag = bw.flag_buf[fx++];
            if (flag == 0 && n_syms - lx >= 8) {
                // Eight literals, sent in pairs: one append for two codes.
                for (unsigned end = lx + 8; lx < end; lx += 2) {
                    const ct_data &a = ltree[l_buf[lx]];
                    const ct_data &b = ltree[l_buf[lx + 1]];
                    send(a.fc | static_cast<unsigned>(b.fc) << a.dl, a.dl + b.dl);
                }
                continue;
            }
        }
        // A literal and a match take one path: which one a symbol is would be a branch the
        // predictor loses. A literal reads the next match's distance and drops it.
        const unsigned lc = l_buf[lx++];
        const unsigned is_match = flag & 1;
        flag >>= 1;
        const unsigned dist = bw.d_buf[dx] & (WSIZE - 1);
        const unsigned dcode = d_code(dist);
        const DistField d = dist_field[dcode];
        const uint32_t lf = len_field[lc];
        const unsigned len_bits = lf >> LEN_FIELD_SHIFT;
        const uint64_t dist_bits = d.code | (dist - static_cast<unsigned>(base_dist[dcode]))
                                                << d.shift;
        const uint64_t match = (lf & ((1u << LEN_FIELD_SHIFT) - 1)) | dist_bits << len_bits;
        const unsigned match_bits = len_bits + d.bits;
        send(is_match ? match : ltree[lc].fc, is_match ? match_bits : ltree[lc].dl);
        dx += is_match;
    }
    send(ltree[END_BLOCK].fc, ltree[END_BLOCK].dl);
    outcnt = out;
    bw.bi_buf = static_cast<ush>(acc);
    bw.bi_valid = static_cast<int>(valid);
}

ulg flush_block(char *buf, ulg stored_len, int eof) {
    bw.flag_buf[bw.last_flags] = bw.flags;  // the partial flag byte
    if (*bw.file_type == ATTR_UNKNOWN) set_file_type();

    build_tree(&bw.l_desc);
    build_tree(&bw.d_desc);
    int max_blindex = build_bl_tree();

    // Whole bytes of each form, 3 header bits included.
    ulg opt_lenb = (bw.opt_len + 3 + 7) >> 3;
    ulg static_lenb = (bw.static_len + 3 + 7) >> 3;
    if (static_lenb <= opt_lenb) opt_lenb = static_lenb;

    // A block whose start has slid out of the window cannot be stored. The match finder
    // ends blocks before they cover 65536 bytes; the LEN bound only restates that.
    if (stored_len + 4 <= opt_lenb && buf != nullptr && stored_len <= 0xffff) {
        send_bits((BTYPE_STORED << 1) + eof, 3);  // BFINAL: 1 bit, BTYPE: 2 bits
        bw.compressed_len =
            ((bw.compressed_len + 3 + 7) & ~static_cast<ulg>(7)) + ((stored_len + 4) << 3);
        copy_block(buf, static_cast<unsigned>(stored_len), 1);
    } else if (static_lenb == opt_lenb) {
        send_bits((BTYPE_FIXED << 1) + eof, 3);
        compress_block(static_ltree, static_dtree);
        bw.compressed_len += 3 + bw.static_len;
    } else {
        send_bits((BTYPE_DYNAMIC << 1) + eof, 3);
        send_all_trees(bw.l_desc.max_code + 1, bw.d_desc.max_code + 1, max_blindex + 1);
        compress_block(bw.dyn_ltree, bw.dyn_dtree);
        bw.compressed_len += 3 + bw.opt_len;
    }
    init_block();

    if (eof) {
        bi_windup();
        bw.compressed_len += 7;  // alignment
    }
    return bw.compressed_len >> 3;
}
