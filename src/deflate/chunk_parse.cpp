// DEFLATE encoder, chunk parses: the lazy loop's recording of a chunk's symbols and steps,
// the splice test against the next chunk's parse, and the priming (docs/parallel-encoder.md).
// Its per-thread state is the match finder's (lm). RFC 1951 section 4 (the lazy parse).
#include <sched.h>

#include <cassert>
#include <cstdint>
#include <cstring>

#include "deflate/deflate_internal.h"

namespace {

// The input routine of a chunk parse: chunk_rec's bytes, whole requests until they run out.
int read_chunk(char *buf, unsigned size) {
    const ChunkParse &r = *recording();
    size_t left = r.size - lm::rec_fed;
    unsigned n = left < size ? static_cast<unsigned>(left) : size;
    memcpy(buf, r.data + lm::rec_fed, n);
    lm::rec_fed += n;
    return static_cast<int>(n);
}

// A started parse publishes its first steps once it has primed its chains and parsed
// PARALLEL_OVERLAP positions, well under a millisecond; a parse past its chunk's end yields
// until then, since waiting beats parsing on to its stop (which took half the chunks of an
// ELF file through all PARALLEL_OVERLAP positions when only the steps there were there).
// It yields at most this often a parse (a few milliseconds where the core has nothing else
// to run): past that the publishing thread is not running, and the parse goes on without
// waiting, which is as correct and costs at most PARALLEL_OVERLAP positions.
inline constexpr unsigned MAX_YIELDS = 4096;

// Records the top of the step at strstart, in the state the loop holds. Returns true past
// the chunk's end at a step the next chunk's parse recorded in the same state, or where it
// took the next chunk over.
bool record_top(ChunkParse &r, unsigned match_available, unsigned match_length) {
    if (r.ntops == r.tops_cap) error("internal error: chunk step record full");
    const uint64_t at = lm::window_origin + lm::strstart;
    const bool in_hand = match_length >= MIN_MATCH;
    const ParseState state = {match_available, match_length,
                              in_hand ? lm::strstart - lm::match_start : 0};
    r.tops[r.ntops++] = {static_cast<uint32_t>(at - r.base), static_cast<uint32_t>(r.nsym), state};
    if (at < r.heads_end) return false;
    ChunkParse *n = r.next.load(__ATOMIC_ACQUIRE);
    if (!n) return false;
    // No thread parses the next chunk yet: this one takes it over and parses on into it,
    // which spares that chunk its priming and first steps' records, and this parse its run
    // to stop.
    if (r.takes_over && n->started.load(__ATOMIC_ACQUIRE) == NOT_STARTED &&
        n->started.compare_exchange(NOT_STARTED, STARTED, __ATOMIC_ACQ_REL)) {
        r.took_next = r.stopped = true;
        lm::stopped_at = at;
        return true;
    }
    // A parse that has started publishes its first steps within moments (see MAX_YIELDS).
    size_t heads;
    while ((heads = n->heads.load(__ATOMIC_ACQUIRE)) == 0 &&
           n->started.load(__ATOMIC_ACQUIRE) == STARTED && lm::yields_left != 0) {
        lm::yields_left--;
        sched_yield();
    }
    if (heads == 0) return false;
    while (lm::next_head < heads - 1 && n->base + n->tops[lm::next_head].offset < at)
        lm::next_head++;
    return lm::next_head < heads - 1 && n->base + n->tops[lm::next_head].offset == at &&
           n->tops[lm::next_head].state == state;
}

}  // namespace

bool record_step(unsigned match_available, unsigned match_length) {
    ChunkParse &r = *recording();
    const uint64_t at = lm::window_origin + lm::strstart;
    if (at >= r.stop) {
        // Recorded so that a parse of the next chunk from here may continue this one.
        record_top(r, match_available, match_length);
        r.stopped = true;
        lm::stopped_at = at;
        // The next chunk's parse, which published its first steps, has none in common with
        // this one's: it is thrown away, and need not run on.
        ChunkParse *n = r.next.load(__ATOMIC_ACQUIRE);
        if (n && n->heads.load(__ATOMIC_ACQUIRE) != 0) {
            n->cancel.store(true, __ATOMIC_RELEASE);
            r.next_cancelled = true;
        }
        return true;
    }
    if (at < r.heads_end) {
        record_top(r, match_available, match_length);
        return false;
    }
    // Publishes the steps recorded below heads_end, for the parse of the chunk before to
    // splice into.
    if (lm::record_from == 0) r.heads.store(r.ntops + 1, __ATOMIC_RELEASE);
    if (at < r.tails_from) {
        if (r.cancel.load(__ATOMIC_ACQUIRE)) return true;  // its record is thrown away
        lm::record_from = at + CANCEL_CHECK < r.tails_from ? at + CANCEL_CHECK : r.tails_from;
        return false;
    }
    lm::record_from = r.tails_from;
    return record_top(r, match_available, match_length);
}

void record_run_tops(ChunkParse &r, unsigned first, size_t nsym) {
    const unsigned n = lm::strstart - first;
    if (r.ntops + n > r.tops_cap) error("internal error: chunk step record full");
    constexpr ParseState in_run = {1, MIN_MATCH - 1, 0};
    const uint64_t offset = lm::window_origin + first - r.base;
    ParseTop *t = r.tops + r.ntops;
    for (unsigned i = 0; i < n; i++)
        t[i] = {static_cast<uint32_t>(offset + i), static_cast<uint32_t>(nsym + i), in_run};
    r.ntops += n;
}

void record_end(ChunkParse &r) {
    r.ended = true;
    if (lm::record_from == 0) r.heads.store(r.ntops + 1, __ATOMIC_RELEASE);
}

// The chains' insertion (deflate.cpp's insert_run) for a fresh parse's priming, which enters
// a window's worth of strings before its first search: no string reads a link meanwhile, so
// the links of four strings go out in one store each.
void prime_strings(unsigned s, unsigned n) {
    assert(s + n - 1 + KEY_BYTES <= lm::keyed_end);
    unsigned h = lm::ins_h;
    auto enter = [&h](unsigned at, uint64_t &l3, uint64_t &l4, uint64_t &l8, unsigned shift) {
        const uint64_t key = load64(lm::mt->lz_window + at);
        h = ((h << H_SHIFT) ^ static_cast<unsigned>((key >> 16) & 0xff)) & HASH_MASK;
        const unsigned hash_head = lm::mt->head[h];
        l3 |= static_cast<uint64_t>(hash_head) << shift;
        chain_rank(at) = static_cast<ush>(chain_rank(hash_head) + 1);
        lm::mt->head[h] = static_cast<ush>(at);
        ush &d4 = lm::mt->deep_head[0][deep_hash(0, key)];
        l4 |= static_cast<uint64_t>(d4) << shift;
        d4 = static_cast<ush>(at);
        ush &d8 = lm::mt->deep_head[1][deep_hash(1, key)];
        l8 |= static_cast<uint64_t>(d8) << shift;
        d8 = static_cast<ush>(at);
    };
    unsigned i = 0;
    for (; i + 4 <= n; i += 4) {
        uint64_t l3 = 0, l4 = 0, l8 = 0;
        for (unsigned k = 0; k < 4; k++) enter(s + i + k, l3, l4, l8, 16 * k);
        store64(lm::mt->chain_link + s + i, l3);
        store64(lm::mt->deep_link[0] + s + i, l4);
        store64(lm::mt->deep_link[1] + s + i, l8);
    }
    for (; i < n; i++) {
        uint64_t l3 = 0, l4 = 0, l8 = 0;
        enter(s + i, l3, l4, l8, 0);
        lm::mt->chain_link[s + i] = static_cast<ush>(l3);
        lm::mt->deep_link[0][s + i] = static_cast<ush>(l4);
        lm::mt->deep_link[1][s + i] = static_cast<ush>(l8);
    }
    lm::ins_h = h;
}

namespace {

// A continued parse: the window, chains and position are this thread's last parse's,
// stopped at c.start; the input read so far ends inside c's.
void stand_at_stop(const ChunkParse &c) {
    const uint64_t read_end = lm::stopped_at + lm::lookahead;
    if (lm::stopped_at != c.start || lm::eofile || read_end < c.base || read_end > c.base + c.size)
        error("internal error: chunk parse cannot continue");
    // The match finder stands where the parse stopped: nothing moves it between parses.
    assert(lm::window_origin + lm::strstart == lm::stopped_at);
    lm::rec_fed = static_cast<size_t>(read_end - c.base);
    assert(c.from.match_length < MIN_MATCH || lm::strstart - lm::match_start == c.from.match_back);
}

// A fresh parse: the window laid out and the chains primed as the sequential encoder has
// them at c.start. The window as the sequential encoder has it when its origin is base:
// cleared at the start of the input; else as the slide to base left it, the upper half a
// copy of the lower one until read over (a search at the end of the input compares those
// bytes). Every position before start is in the chains, as the lazy loop leaves them.
void prime_for(const ChunkParse &c) {
    lm::rec_fed = 0;
    assert(c.base == 0 || (c.base % WSIZE == 0 && c.size >= WSIZE));
    lm_restart(c.base, c.base == 0 ? nullptr : c.data);
    lm_prime(static_cast<unsigned>(c.start - c.base));
    lm::match_start = lm::strstart - c.from.match_back;
}

}  // namespace

void parse_chunk(ChunkParse &c) {
    ush xfl = 0;
    lm_config(c.level, &xfl);
    lm::chunk_rec.store(&c, __ATOMIC_RELAXED);
    lm::next_head = 0;
    lm::yields_left = MAX_YIELDS;
    lm::record_from = 0;
    const InputRoutine caller_input = read_buf;  // the calling thread's, given back below
    read_buf = read_chunk;
    c.nsym = c.nbytes = c.ntops = 0;
    c.ended = c.stopped = c.took_next = c.next_cancelled = false;
    memset(c.flags, 0, c.sym_cap / 8 + 1);
    if (c.continues) {
        stand_at_stop(c);
    } else {
        prime_for(c);
    }
    lazy_loop(static_cast<int>(c.from.match_available), c.from.match_length);
    lm::chunk_rec.store(nullptr, __ATOMIC_RELAXED);
    lm::record_from = UINT64_MAX;
    read_buf = caller_input;
}
