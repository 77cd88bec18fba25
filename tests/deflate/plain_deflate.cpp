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
    lm::ins_h = ((lm::ins_h << H_SHIFT) ^ win[s + MIN_MATCH - 1]) & HASH_MASK;
    unsigned hash_head = heads[lm::ins_h];
    links[s & WMASK] = static_cast<ush>(hash_head);
    heads[lm::ins_h] = static_cast<ush>(s);
    return hash_head;
}

void fill() {
    unsigned more = WINDOW_SIZE - lm::lookahead - lm::strstart;
    if (lm::strstart >= WSIZE + FARTHEST_MATCH_DIST) {
        memcpy(win, win + WSIZE, WSIZE);
        lm::match_start -= WSIZE;
        lm::strstart -= WSIZE;
        lm::block_start -= WSIZE;
        for (ush &m : heads) m = static_cast<ush>(m >= WSIZE ? m - WSIZE : NIL);
        for (ush &m : links) m = static_cast<ush>(m >= WSIZE ? m - WSIZE : NIL);
        more += WSIZE;
    }
    if (lm::eofile) return;
    int n = read_buf(reinterpret_cast<char *>(win) + lm::strstart + lm::lookahead, more);
    if (n == 0 || n == -1) {
        lm::eofile = 1;
        for (unsigned i = lm::strstart + lm::lookahead; i < lm::strstart + lm::lookahead + 2; i++)
            win[i] = 0;
    } else {
        lm::lookahead += static_cast<unsigned>(n);
    }
}

void init(int lvl) {
    const config &c = configuration_table[lvl];
    lm::max_lazy_match = c.max_lazy;
    lm::good_match = c.good_length;
    lm::nice_match = c.nice_length;
    lm::max_chain_length = c.max_chain;
    lm::compr_level = lvl;
    memset(win, 0, sizeof win);
    memset(heads, 0, sizeof heads);
    lm::strstart = 0;
    lm::block_start = 0;
    lm::lookahead = 0;
    lm::eofile = 0;
    // The first read asks for the whole window, as a refill of an empty one does.
    while (lm::lookahead < MIN_LOOKAHEAD && !lm::eofile) fill();
    lm::ins_h = ((win[0] << H_SHIFT) ^ win[1]) & HASH_MASK;
}

int longest(unsigned cur_match) {
    unsigned chain_length = lm::max_chain_length;
    if (lm::prev_length >= lm::good_match) chain_length >>= 2;
    unsigned best_len = lm::prev_length;
    unsigned limit = lm::strstart > FARTHEST_MATCH_DIST ? lm::strstart - FARTHEST_MATCH_DIST : NIL;
    const uch *scan = win + lm::strstart;
    do {
        const uch *m = win + cur_match;
        if (m[best_len] != scan[best_len] || m[best_len - 1] != scan[best_len - 1] ||
            m[0] != scan[0] || m[1] != scan[1])
            continue;
        // Equal hashes and equal first two bytes: the third bytes are equal.
        unsigned len = MIN_MATCH;
        while (len < MAX_MATCH && m[len] == scan[len]) len++;
        if (len > best_len) {
            lm::match_start = cur_match;
            best_len = len;
            if (len >= static_cast<unsigned>(lm::nice_match)) break;
        }
    } while ((cur_match = links[cur_match & WMASK]) > limit && --chain_length != 0);
    return static_cast<int>(best_len);
}

void end_block(int eof) {
    char *buf = lm::block_start >= 0 ? reinterpret_cast<char *>(win) + lm::block_start : nullptr;
    flush_block(buf, static_cast<ulg>(static_cast<long>(lm::strstart) - lm::block_start), eof);
    lm::block_start = lm::strstart;
}

void greedy() {
    lm::prev_length = MIN_MATCH - 1;
    while (lm::lookahead != 0) {
        unsigned hash_head = insert(lm::strstart);
        unsigned match_length = 0;
        if (hash_head != NIL && lm::strstart - hash_head <= FARTHEST_MATCH_DIST)
            match_length = std::min<unsigned>(longest(hash_head), lm::lookahead);
        int flush;
        if (match_length >= MIN_MATCH) {
            flush = ct_tally(static_cast<int>(lm::strstart - lm::match_start),
                             static_cast<int>(match_length - MIN_MATCH));
            lm::lookahead -= match_length;
            if (match_length <= lm::max_lazy_match) {
                for (unsigned i = 1; i < match_length; i++) insert(lm::strstart + i);
                lm::strstart += match_length;
            } else {
                lm::strstart += match_length;
                lm::ins_h = ((win[lm::strstart] << H_SHIFT) ^ win[lm::strstart + 1]) & HASH_MASK;
            }
        } else {
            flush = ct_tally(0, win[lm::strstart]);
            lm::lookahead--;
            lm::strstart++;
        }
        if (flush) end_block(0);
        while (lm::lookahead < MIN_LOOKAHEAD && !lm::eofile) fill();
    }
    end_block(1);
}

void lazy() {
    bool match_available = false;
    unsigned match_length = MIN_MATCH - 1, prev_match = 0;
    while (lm::lookahead != 0) {
        unsigned hash_head = insert(lm::strstart);
        lm::prev_length = match_length;
        prev_match = lm::match_start;
        match_length = MIN_MATCH - 1;
        if (hash_head != NIL && lm::prev_length < lm::max_lazy_match &&
            lm::strstart - hash_head <= FARTHEST_MATCH_DIST) {
            match_length = std::min<unsigned>(longest(hash_head), lm::lookahead);
            if (match_length == MIN_MATCH && lm::strstart - lm::match_start > TOO_FAR)
                match_length--;
        }
        if (lm::prev_length >= MIN_MATCH && match_length <= lm::prev_length) {
            int flush = ct_tally(static_cast<int>(lm::strstart - 1 - prev_match),
                                 static_cast<int>(lm::prev_length - MIN_MATCH));
            lm::lookahead -= lm::prev_length - 1;
            for (unsigned i = 0; i < lm::prev_length - 2; i++) insert(++lm::strstart);
            lm::strstart++;
            match_available = false;
            match_length = MIN_MATCH - 1;
            if (flush) end_block(0);
        } else if (match_available) {
            if (ct_tally(0, win[lm::strstart - 1])) end_block(0);
            lm::strstart++;
            lm::lookahead--;
        } else {
            match_available = true;
            lm::strstart++;
            lm::lookahead--;
        }
        while (lm::lookahead < MIN_LOOKAHEAD && !lm::eofile) fill();
    }
    if (match_available) ct_tally(0, win[lm::strstart - 1]);
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
            ush xfl = 0;
            lm_init(lvl, &xfl);
            deflate();
        }
    });
}

std::string deflate_raw_parallel(const uint8_t *data, size_t size, unsigned threads,
                                 size_t chunk_size, uint64_t size_hint) {
    return capture(data, size, 0, [&] {
        ush xfl = 0;
        lm_config(9, &xfl);
        deflate_parallel(threads, chunk_size, size_hint);
    });
}

}  // namespace plain
