// A plain LZ77 match finder written from the algorithm's description: one insertion per
// string, one hash chain walked candidate by candidate up to the level's budget, the lazy
// and greedy loops, and the window slide. It keeps this encoder's choices for what the
// description leaves open: window cleared per member, the two bytes after the input cleared
// when it ends, positions past window read as zero.
#include "deflate/plain_deflate.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "deflate/deflate_internal.h"

namespace plain {

namespace {

// The window with zero bytes after it: a search near its end compares up to MAX_MATCH bytes
// past strstart.
uch win[WINDOW_SIZE + MAX_MATCH + 1];
ush links[WSIZE];
ush heads[HASH_SIZE];

unsigned insert(unsigned s) {
    ins_h = ((ins_h << H_SHIFT) ^ win[s + MIN_MATCH - 1]) & HASH_MASK;
    unsigned hash_head = heads[ins_h];
    links[s & WMASK] = static_cast<ush>(hash_head);
    heads[ins_h] = static_cast<ush>(s);
    return hash_head;
}

void fill() {
    unsigned more = WINDOW_SIZE - lookahead - strstart;
    if (strstart >= WSIZE + FARTHEST_MATCH_DIST) {
        memcpy(win, win + WSIZE, WSIZE);
        match_start -= WSIZE;
        strstart -= WSIZE;
        block_start -= WSIZE;
        for (ush &m : heads) m = static_cast<ush>(m >= WSIZE ? m - WSIZE : NIL);
        for (ush &m : links) m = static_cast<ush>(m >= WSIZE ? m - WSIZE : NIL);
        more += WSIZE;
    }
    if (eofile) return;
    int n = read_buf(reinterpret_cast<char *>(win) + strstart + lookahead, more);
    if (n == 0 || n == -1) {
        eofile = 1;
        for (unsigned i = strstart + lookahead; i < strstart + lookahead + 2; i++) win[i] = 0;
    } else {
        lookahead += static_cast<unsigned>(n);
    }
}

void init(int lvl) {
    const config &c = configuration_table[lvl];
    max_lazy_match = c.max_lazy;
    good_match = c.good_length;
    nice_match = c.nice_length;
    max_chain_length = c.max_chain;
    compr_level = lvl;
    memset(win, 0, sizeof win);
    memset(heads, 0, sizeof heads);
    strstart = 0;
    block_start = 0;
    lookahead = 0;
    eofile = 0;
    // The first read asks for the whole window, as a refill of an empty one does.
    while (lookahead < MIN_LOOKAHEAD && !eofile) fill();
    ins_h = ((win[0] << H_SHIFT) ^ win[1]) & HASH_MASK;
}

int longest(unsigned cur_match) {
    unsigned chain_length = max_chain_length;
    if (prev_length >= good_match) chain_length >>= 2;
    unsigned best_len = prev_length;
    unsigned limit = strstart > FARTHEST_MATCH_DIST ? strstart - FARTHEST_MATCH_DIST : NIL;
    const uch *scan = win + strstart;
    do {
        const uch *m = win + cur_match;
        if (m[best_len] != scan[best_len] || m[best_len - 1] != scan[best_len - 1] ||
            m[0] != scan[0] || m[1] != scan[1])
            continue;
        // Equal hashes and equal first two bytes: the third bytes are equal.
        unsigned len = MIN_MATCH;
        while (len < MAX_MATCH && m[len] == scan[len]) len++;
        if (len > best_len) {
            match_start = cur_match;
            best_len = len;
            if (len >= static_cast<unsigned>(nice_match)) break;
        }
    } while ((cur_match = links[cur_match & WMASK]) > limit && --chain_length != 0);
    return static_cast<int>(best_len);
}

void end_block(int eof) {
    char *buf = block_start >= 0 ? reinterpret_cast<char *>(win) + block_start : nullptr;
    flush_block(buf, static_cast<ulg>(static_cast<long>(strstart) - block_start), eof);
    block_start = strstart;
}

void greedy() {
    prev_length = MIN_MATCH - 1;
    while (lookahead != 0) {
        unsigned hash_head = insert(strstart);
        unsigned match_length = 0;
        if (hash_head != NIL && strstart - hash_head <= FARTHEST_MATCH_DIST)
            match_length = std::min<unsigned>(longest(hash_head), lookahead);
        int flush;
        if (match_length >= MIN_MATCH) {
            flush = ct_tally(static_cast<int>(strstart - match_start),
                             static_cast<int>(match_length - MIN_MATCH));
            lookahead -= match_length;
            if (match_length <= max_lazy_match) {
                for (unsigned i = 1; i < match_length; i++) insert(strstart + i);
                strstart += match_length;
            } else {
                strstart += match_length;
                ins_h = ((win[strstart] << H_SHIFT) ^ win[strstart + 1]) & HASH_MASK;
            }
        } else {
            flush = ct_tally(0, win[strstart]);
            lookahead--;
            strstart++;
        }
        if (flush) end_block(0);
        while (lookahead < MIN_LOOKAHEAD && !eofile) fill();
    }
    end_block(1);
}

void lazy() {
    bool match_available = false;
    unsigned match_length = MIN_MATCH - 1, prev_match = 0;
    while (lookahead != 0) {
        unsigned hash_head = insert(strstart);
        prev_length = match_length;
        prev_match = match_start;
        match_length = MIN_MATCH - 1;
        if (hash_head != NIL && prev_length < max_lazy_match &&
            strstart - hash_head <= FARTHEST_MATCH_DIST) {
            match_length = std::min<unsigned>(longest(hash_head), lookahead);
            if (match_length == MIN_MATCH && strstart - match_start > TOO_FAR) match_length--;
        }
        if (prev_length >= MIN_MATCH && match_length <= prev_length) {
            int flush = ct_tally(static_cast<int>(strstart - 1 - prev_match),
                                 static_cast<int>(prev_length - MIN_MATCH));
            lookahead -= prev_length - 1;
            for (unsigned i = 0; i < prev_length - 2; i++) insert(++strstart);
            strstart++;
            match_available = false;
            match_length = MIN_MATCH - 1;
            if (flush) end_block(0);
        } else if (match_available) {
            if (ct_tally(0, win[strstart - 1])) end_block(0);
            strstart++;
            lookahead--;
        } else {
            match_available = true;
            strstart++;
            lookahead--;
        }
        while (lookahead < MIN_LOOKAHEAD && !eofile) fill();
    }
    if (match_available) ct_tally(0, win[strstart - 1]);
    end_block(1);
}

const uint8_t *in_data;
size_t in_left;
unsigned in_chunk;

int read_piece(char *buf, unsigned size) {
    size_t n = std::min<size_t>(size, in_left);
    if (in_chunk != 0) n = std::min<size_t>(n, in_chunk);
    memcpy(buf, in_data, n);
    in_data += n;
    in_left -= n;
    return static_cast<int>(n);
}

}  // namespace

namespace {

// Runs encode with data as the input routine's and the stream's output captured; returns the
// output.
template <class Encode>
std::string capture(const uint8_t *data, size_t size, unsigned chunk, Encode encode) {
    static int out = memfd_create("kelpa-deflate-raw", 0);
    if (out < 0 || ftruncate(out, 0) != 0 || lseek(out, 0, SEEK_SET) != 0) abort();
    in_data = data;
    in_left = size;
    in_chunk = chunk;
    ofd = out;
    outcnt = 0;
    bi_init(-1);
    read_buf = read_piece;
    ush attr = 0;
    int method = CM_DEFLATE;
    ct_init(&attr, &method);
    encode();
    flush_outbuf();
    std::string raw(static_cast<size_t>(lseek(out, 0, SEEK_CUR)), '\0');
    if (pread(out, raw.data(), raw.size(), 0) != static_cast<ssize_t>(raw.size())) abort();
    return raw;
}

}  // namespace

std::string deflate_raw(const uint8_t *data, size_t size, int lvl, bool plain_finder,
                        unsigned chunk) {
    return capture(data, size, chunk, [&] {
        if (plain_finder) {
            init(lvl);
            lvl <= 3 ? greedy() : lazy();
        } else {
            ush flags = 0;
            lm_init(lvl, &flags);
            deflate();
        }
    });
}

std::string deflate_raw_parallel(const uint8_t *data, size_t size, unsigned threads,
                                 size_t chunk_size, uint64_t size_hint) {
    return capture(data, size, 0, [&] {
        ush flags = 0;
        lm_config(9, &flags);
        deflate_parallel(threads, chunk_size, size_hint);
    });
}

}  // namespace plain
