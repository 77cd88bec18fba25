// DEFLATE encoder, parallel: chunks parsed on worker threads, spliced and replayed by the
// calling thread into the sequential encoder's exact bytes (docs/parallel-encoder.md). Owns
// the chunk slots, the threads and the replay's window model. RFC 1951 3.2.
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>

#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "deflate/deflate_internal.h"

// Linux 5.14's value (asm-generic/mman-common.h), which musl's headers do not name yet.
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace {

inline constexpr size_t OVERLAP = PARALLEL_OVERLAP;
inline constexpr size_t PAST_STOP = PARALLEL_PAST_STOP;
// The chains of a chunk's first step reach WSIZE back: a chunk's input starts that far
// before the chunk, at a multiple of WSIZE as the sequential window's origin is.
inline constexpr size_t PRIMING = WSIZE;
// The replay runs at least a chunk behind the input read; the sequential encoder's next read
// must lie within it (see top_of_step).
inline constexpr size_t MIN_CHUNK = size_t{2} * WSIZE;
// Steps recorded: the first OVERLAP positions of a chunk and the last OVERLAP of the parse
// before it, each at most one step per position, plus the step that ends the parse.
inline constexpr size_t TOPS_CAP = 2 * OVERLAP + 2;

// A slot's buffers: its input from PRIMING bytes before the chunk to PAST_STOP bytes after
// the parse's stop, and its symbol record (one byte per position at most), flags and steps,
// each starting on a cache line.
constexpr size_t line_up(size_t n) {
    return (n + 63) & ~size_t{63};
}
constexpr size_t slot_data_bytes(size_t chunk) {
    return PRIMING + chunk + OVERLAP + PAST_STOP;
}
constexpr size_t slot_sym_bytes(size_t chunk) {
    return chunk + OVERLAP + PAST_STOP;
}
// The symbol record's buffer, with the bytes a reader may read past its last symbol.
constexpr size_t slot_sym_area(size_t chunk) {
    return line_up(slot_sym_bytes(chunk) + SYM_MATCH_BYTES - 1);
}
constexpr size_t slot_bytes(size_t chunk) {
    return line_up(slot_data_bytes(chunk)) + slot_sym_area(chunk) +
           line_up(slot_sym_bytes(chunk) / 8 + 1) + line_up(TOPS_CAP * sizeof(ParseTop));
}

// All slots lie in one mapping, a multiple of HUGE_PAGE and aligned to it, asked for huge
// pages: a first touch then costs one fault per 2 MiB instead of one per 4 KiB. Where the
// kernel has none to give, the pages are the usual ones, touched as used.
inline constexpr size_t HUGE_PAGE = size_t{2} << 20;
// Three slots besides the threads' own: the chunk being replayed and the next one, which
// the splice needs, while every thread parses another, and one ready for the first worker
// to finish while the calling thread parses (with two, the worker of two threads waited
// for a slot).
constexpr unsigned slots_for(unsigned threads) {
    return threads + 3;
}
// Two threads' slots fit two huge pages: rounding up to a third would take 2 MiB of the
// memory two threads may use.
static_assert(slots_for(2) * slot_bytes(PARALLEL_CHUNK) <= 2 * HUGE_PAGE);

// A mapping of size bytes (a multiple of HUGE_PAGE) aligned to HUGE_PAGE; null if none.
uch *map_slots(size_t size) {
    void *raw =
        mmap(nullptr, size + HUGE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const uintptr_t at = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (at + HUGE_PAGE - 1) & ~(uintptr_t{HUGE_PAGE} - 1);
    // The unaligned head and the tail past size go back.
    if (aligned != at) munmap(raw, aligned - at);
    munmap(reinterpret_cast<void *>(aligned + size), at + HUGE_PAGE - aligned);
    uch *p = reinterpret_cast<uch *>(aligned);
    madvise(p, size, MADV_HUGEPAGE);  // only advice: without it, the pages are small ones
    return p;
}

// A parse run by parse_taken, numbered from 1; NO_PARSE: none.
inline constexpr uint64_t NO_PARSE = 0;

struct Slot {
    // HELD: prepared, but not to be parsed from a fresh state: the parse of the chunk before
    // may take it over, or it is resumed from that one's last step.
    enum State { FREE, HELD, READY, TAKEN, DONE };
    State state;
    uint64_t chunk;  // chunk index
    uch *buf;        // job.data, writable
    uint64_t parse;  // the parse whose record job holds
    // The job starts at the last step of the chunk before's parse rather than fresh; that
    // parse, if it stopped there (else NO_PARSE).
    bool resumed;
    uint64_t resumed_from;
    ChunkParse job;
};

// Threads and slots of one deflate_parallel call.
Slot *slots;
unsigned nslots;
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t work_cv = PTHREAD_COND_INITIALIZER;  // a slot became READY or HELD, or quit
pthread_cond_t done_cv = PTHREAD_COND_INITIALIZER;  // a slot became DONE
bool quit;
uint64_t parses;  // parses run, ever: numbers never reused
// The last parse this thread ran: its match finder stands where that one ended.
constinit thread_local uint64_t last_parse = NO_PARSE;
constinit thread_local bool in_worker;  // this thread is a worker, not the calling thread

// The oldest chunk whose parse no thread has taken, marked taken; null if none. A worker
// takes any. The calling thread (any false) takes a resumed chunk only to continue its own
// parse and take the chunks after it over (own); the workers, which take every chunk,
// never leave one waiting. Under lock.
Slot *take_oldest(bool any, bool own) {
    for (;;) {
        // The oldest first: the splices need the chunks in order.
        Slot *take = nullptr;
        for (unsigned i = 0; i < nslots; i++)
            if (slots[i].state == Slot::READY &&
                slots[i].job.started.load(__ATOMIC_ACQUIRE) == NOT_STARTED &&
                (!take || slots[i].chunk < take->chunk))
                take = &slots[i];
        // While chunks are held, the calling thread, which takes none over, would keep the
        // chain of resumed chunks to itself and parse them between its replays: they go to
        // a worker, which continues the chain unprimed, or primes once and takes it over.
        if (take && !any && take->resumed && !(own && take->resumed_from == last_parse))
            return nullptr;
        if (!take) return nullptr;
        if (take->job.started.compare_exchange(NOT_STARTED, STARTED, __ATOMIC_ACQ_REL)) {
            take->state = Slot::TAKEN;
            return take;
        }
        // The parse before took it over meanwhile; its thread marks it.
    }
}

// Whether a chunk is READY for a thread to take. Under lock.
bool any_ready() {
    for (unsigned i = 0; i < nslots; i++)
        if (slots[i].state == Slot::READY) return true;
    return false;
}

// Makes next's job start at the last step p's parse recorded.
void resume_at_end(Slot &next, const Slot &p) {
    ChunkParse &c = next.job;
    const ParseTop &last = p.job.tops[p.job.ntops - 1];
    c.start = p.job.base + last.offset;
    c.from = last.state;
    c.heads_end = 0;  // nothing splices into it
    c.heads.store(0, __ATOMIC_RELAXED);
    c.cancel.store(false, __ATOMIC_RELAXED);
    next.resumed = true;
    next.resumed_from = p.job.stopped ? p.parse : NO_PARSE;
}

// Parses the taken slot s, and on through the chunks its parse takes over if take_over.
// Under lock, released meanwhile.
void parse_taken(Slot &s, bool take_over) {
    for (Slot *p = &s;;) {
        ChunkParse &c = p->job;
        // A resumed job is parsed on from where this thread's match finder stands if it
        // stands at its start: no priming.
        c.continues = p->resumed && p->resumed_from == last_parse;
        c.takes_over = take_over;
        p->parse = ++parses;
        pthread_mutex_unlock(&lock);
        parse_chunk(c);
        pthread_mutex_lock(&lock);
        if (c.stopped && !c.took_next && take_over) {
            // The next chunk came too late to be taken over past this one's end (or it was
            // held meanwhile) and no thread has started it: this thread stands at the top
            // it would be resumed from, and takes it over there. A worker with nothing else
            // to parse waits for it to be prepared (the calling thread prepares it without
            // this chunk's parse).
            // A worker does so too where its parse cancelled the next chunk's fresh parse,
            // once that has ended (within CANCEL_CHECK positions of the cancel).
            Slot &next = slots[(p->chunk + 1) % nslots];
            while (in_worker && !quit && !c.next.load(__ATOMIC_ACQUIRE) && !any_ready())
                pthread_cond_wait(&work_cv, &lock);
            if (c.next.load(__ATOMIC_ACQUIRE) != &next.job) {
                // Not prepared yet: the calling thread resumes it.
            } else if (c.next_cancelled && in_worker) {
                while (next.state != Slot::DONE) pthread_cond_wait(&done_cv, &lock);
                // Its record, which nothing splices into now, is thrown away, unless its
                // parse went on into the chunk after (that one is then its).
                c.took_next = !next.job.took_next;
            } else if ((next.state == Slot::READY || next.state == Slot::HELD) &&
                       next.job.started.compare_exchange(NOT_STARTED, STARTED, __ATOMIC_ACQ_REL)) {
                c.took_next = true;
            }
        }
        last_parse = p->parse;
        p->state = Slot::DONE;
        pthread_cond_broadcast(&done_cv);
        if (!c.took_next) return;
        Slot &next = slots[(p->chunk + 1) % nslots];  // the ring's next chunk
        assert(&next.job == c.next.load(__ATOMIC_RELAXED) && next.state != Slot::TAKEN);
        next.state = Slot::TAKEN;
        resume_at_end(next, *p);
        p = &next;
    }
}

// The CPUs this process may run on, if known: each worker starts on one of them other than
// the calling thread's and then may run on all of them (see start_worker).
cpu_set_t allowed_cpus;
bool cpus_known;

// The slots past the first huge page, for the first worker to fault in while the calling
// thread faults in the first and reads the first chunk into it (taken once): a fresh huge
// page's first touch takes milliseconds, which the worker would otherwise spend waiting
// for its first chunk.
Atomic<uch *> prefault_from;
size_t prefault_bytes;

void *worker(void *tables) {
    // start_worker holds the lock until it has placed this thread on its start CPU: only
    // then may the thread widen to all the allowed ones, or the placing would undo it.
    pthread_mutex_lock(&lock);
    pthread_mutex_unlock(&lock);
    if (cpus_known) sched_setaffinity(0, sizeof allowed_cpus, &allowed_cpus);
    if (uch *p = prefault_from.exchange(nullptr, __ATOMIC_ACQ_REL)) {
        // Kernels before 5.14 refuse it: the calling thread then faults these in as it goes.
        madvise(p, prefault_bytes, MADV_POPULATE_WRITE);
    }
    use_match_tables(static_cast<MatchTables *>(tables));
    in_worker = true;
    pthread_mutex_lock(&lock);
    while (!quit) {
        if (Slot *s = take_oldest(true, true)) {
            parse_taken(*s, true);
        } else {
            pthread_cond_wait(&work_cv, &lock);
        }
    }
    pthread_mutex_unlock(&lock);
    return nullptr;
}

// Waits until s is parsed, with help parsing chunks on the calling thread meanwhile: it is
// one of the threads, so they are never more than the cores asked for, and the calling
// thread's own work (reading, splicing and replaying) never waits for a core. Its parses
// take chunks over only if take_over.
void wait_done(Slot &s, bool take_over) {
    pthread_mutex_lock(&lock);
    while (s.state != Slot::DONE) {
        if (Slot *t = take_oldest(false, take_over)) {
            parse_taken(*t, take_over);
        } else {
            pthread_cond_wait(&done_cv, &lock);  // only this thread makes slots ready
        }
    }
    pthread_mutex_unlock(&lock);
}

// Starts a worker with tables on the CPU after *cpu among the allowed ones, which it moves
// *cpu to. A thread started with no CPU given starts on its creator's and, the creator busy,
// waits there for the scheduler to move it, about as long as a chunk of text takes to parse.
bool start_worker(pthread_t *tid, MatchTables *tables, int *cpu) {
    pthread_mutex_lock(&lock);
    const bool ok = pthread_create(tid, nullptr, worker, tables) == 0;
    if (ok && cpus_known) {
        for (int i = 1; i <= CPU_SETSIZE; i++) {
            const int c = (*cpu + i) % CPU_SETSIZE;
            if (CPU_ISSET(c, &allowed_cpus)) {
                cpu_set_t one;
                CPU_ZERO(&one);
                CPU_SET(c, &one);
                // Moves the new thread while it waits in a run queue: only a start place.
                pthread_setaffinity_np(*tid, sizeof one, &one);
                *cpu = c;
                break;
            }
        }
    }
    pthread_mutex_unlock(&lock);
    return ok;
}

// Waits until s's parse has published the steps it recorded first, helping with the parse
// if no thread has taken it; returns how many it published, plus one. A parse publishes them
// within PARALLEL_OVERLAP positions of its start, well under a millisecond: while another
// thread runs it, this one yields rather than parse a chunk of its own, which would hold up
// the replay and with it the slots (the worker would wait for a free slot while the calling
// thread parsed a slow chunk, the chunk before already parsed).
// At most MAX_YIELDS times (a few milliseconds where the core has nothing else to run): past
// that the parsing thread is not running, and this one sleeps until a parse ends (a parse
// that ended has published them).
size_t wait_heads(Slot &s, bool take_over) {
    constexpr unsigned MAX_YIELDS = 4096;
    unsigned yields = 0;
    pthread_mutex_lock(&lock);
    size_t heads;
    while ((heads = s.job.heads.load(__ATOMIC_ACQUIRE)) == 0) {
        if (s.state == Slot::READY) {
            // No thread parses it yet: the oldest chunk not taken is s.
            if (Slot *t = take_oldest(false, take_over)) {
                parse_taken(*t, take_over);
                continue;
            }
        }
        if (yields == MAX_YIELDS) {
            pthread_cond_wait(&done_cv, &lock);
            continue;
        }
        yields++;
        pthread_mutex_unlock(&lock);
        sched_yield();
        pthread_mutex_lock(&lock);
    }
    pthread_mutex_unlock(&lock);
    return heads;
}

// ---- Reading -------------------------------------------------------------------------------

uint64_t read_pos;  // input bytes read
bool input_ended;   // read_buf has returned 0: read_pos is the input's size

// Reads up to n bytes at p, fewer only at the end of the input.
size_t read_input(uch *p, size_t n) {
    size_t got = 0;
    while (got < n && !input_ended) {
        size_t want = n - got < 0x40000000 ? n - got : 0x40000000;
        int r = read_buf(reinterpret_cast<char *>(p + got), static_cast<unsigned>(want));
        if (r <= 0) {
            input_ended = true;
            break;
        }
        got += static_cast<size_t>(r);
    }
    read_pos += got;
    return got;
}

// Where the chunks start. Chunks are chunk_size bytes, but the first ones, one per thread,
// grow to it in steps of chunk_size / threads (whole windows, at least two): the threads
// then finish their chunks one after another, and a parse that reaches its chunk's end
// finds the next chunk's parse already started, with its first steps recorded to splice
// into (with chunks all alike, half the parses of an ELF file found the next one not yet
// started and parsed on through all PARALLEL_OVERLAP positions). Where the input's size is
// known, the last ones shrink to a threads'th of what is left (whole windows, at least
// MIN_CHUNK): the other threads wait for the last parse no longer than a small chunk takes.
uint64_t first_starts[MAX_THREADS + 1];
unsigned plan_threads;  // the first plan_threads chunks grow to chunk_bytes
size_t chunk_bytes;
uint64_t size_hint;      // the input's size if known, else 0
uint64_t planned_start;  // the start of the chunk after the last one prepared

void plan_chunks(unsigned threads, size_t chunk_size, uint64_t input_size) {
    plan_threads = threads;
    chunk_bytes = chunk_size;
    size_hint = input_size;
    first_starts[0] = 0;
    for (unsigned i = 0; i < threads; i++) {
        size_t size = chunk_size * (i + 1) / threads / WSIZE * WSIZE;
        first_starts[i + 1] = first_starts[i] + (size < MIN_CHUNK ? MIN_CHUNK : size);
    }
}

// The start of the chunk after chunk k, which starts at c.
uint64_t next_chunk_start(uint64_t k, uint64_t c) {
    if (k < plan_threads) return first_starts[k + 1];
    // Past the size given (the file grew), or none given: full chunks.
    if (c >= size_hint) return c + chunk_bytes;
    const uint64_t share = (size_hint - c) / plan_threads / WSIZE * WSIZE;
    return c + (share < MIN_CHUNK ? MIN_CHUNK : share < chunk_bytes ? share : chunk_bytes);
}

// Fills s with chunk k: its input, from PRIMING bytes before it to PAST_STOP bytes after
// its parse's stop (the part already read is copied from prev, the slot of chunk k - 1),
// and the parse's limits. Returns false if the input ends before it.
bool prepare(Slot &s, uint64_t k, const Slot *prev) {
    ChunkParse &j = s.job;
    const uint64_t c = k == 0 ? 0 : planned_start;
    j.base = k == 0 ? 0 : c - PRIMING;
    const uint64_t next = next_chunk_start(k, c);
    planned_start = next;
    const uint64_t want_end = next + OVERLAP + PAST_STOP;
    uch *buf = s.buf;
    size_t have = 0;
    if (prev) {
        const ChunkParse &p = prev->job;
        assert(read_pos == p.base + p.size && j.base >= p.base);
        have = static_cast<size_t>(read_pos - j.base);
        memcpy(buf, p.data + (j.base - p.base), have);
    }
    have += read_input(buf + have, static_cast<size_t>(want_end - j.base) - have);
    j.size = have;
    if (j.base + have <= c) return false;
    j.final = input_ended && j.base + have < want_end;
    j.next.store(nullptr, __ATOMIC_RELAXED);
    j.heads.store(0, __ATOMIC_RELAXED);
    j.started.store(NOT_STARTED, __ATOMIC_RELAXED);
    j.cancel.store(false, __ATOMIC_RELAXED);
    j.took_next = false;
    s.resumed = false;
    j.level = lm::compr_level;
    j.start = c;
    j.from = FRESH_STATE;
    j.continues = false;
    j.heads_end = k == 0 ? 0 : c + OVERLAP;
    j.tails_from = j.final ? UINT64_MAX : next;
    j.stop = j.final ? UINT64_MAX : next + OVERLAP;
    s.chunk = k;
    return true;
}

// ---- Replay --------------------------------------------------------------------------------

// The sequential encoder's window as the replay moves it: its origin in the input, the end
// of the input read into it, and whether the input routine has reported the end.
struct WindowModel {
    uint64_t origin = 0;
    uint64_t end = 0;
    bool ended = false;
};

WindowModel win;
uint64_t block_from;  // input position where the current block starts
uint64_t replay_pos;  // input position of the next symbol

// What the sequential encoder does at the top of the step at p: its refills, by the rule
// it uses itself (refill_due, next_refill), each read getting all it asks for unless the
// input ends (the calling thread's input routine fills each request whole).
void top_of_step(uint64_t p) {
    for (;;) {
        const unsigned at = static_cast<unsigned>(p - win.origin);
        const unsigned ahead = static_cast<unsigned>(win.end - p);
        if (!refill_due(ahead, win.ended)) return;
        const Refill refill = next_refill(at, ahead);
        if (refill.slide) win.origin += WSIZE;
        // The replay runs a chunk behind the reading, so what this read gets is known.
        if (!input_ended && read_pos < win.end + refill.more)
            error("internal error: replay ahead of input");
        const uint64_t n = read_pos - win.end < refill.more ? read_pos - win.end : refill.more;
        if (n == 0) {
            win.ended = true;
        } else {
            win.end += n;
        }
    }
}

// Ends the current block at end, as end_block does in the sequential encoder; the block's
// bytes are in j's input while its start is still in the window.
ulg end_block_at(const ChunkParse &j, uint64_t end, int eof) {
    char *buf = nullptr;
    if (block_from >= win.origin) {
        if (block_from < j.base || end > j.base + j.size)
            error("internal error: block outside chunk");
        buf = reinterpret_cast<char *>(const_cast<uch *>(j.data)) + (block_from - j.base);
    }
    ulg len = flush_block(buf, end - block_from, eof);
    block_from = end;
    return len;
}

// Replays j's symbols [sym0, sym1) (record bytes from byte0) through the tally: in bulk
// up to the next symbol where the window model may have work, the tally's interval check
// falls or the buffer fills, or to the last literal of a parse that ended (tallied after
// its loop, where no block ends); those one at a time. The position and the point where
// the model next has work stay in locals. The symbol at x is tallied in the step at x + 1:
// the block's input up to there is what the tally's check weighs.
void replay(const ChunkParse &j, size_t sym0, size_t byte0, size_t sym1) {
    const uch *sym = j.sym + byte0;
    uint64_t x = replay_pos;
    // The first position whose step may refill: the model has nothing to do before it.
    auto refill_from = [] { return win.ended ? UINT64_MAX : win.end - MIN_LOOKAHEAD; };
    uint64_t refill_at = refill_from();
    const size_t last = j.ended ? j.nsym - 1 : SIZE_MAX;
    for (size_t i = sym0; i < sym1;) {
        // The tops of x and x + 1 come before the symbol's tally.
        if (x >= refill_at) {
            top_of_step(x);
            top_of_step(x + 1);
            refill_at = refill_from();
        }
        size_t room = literals_to_check();
        if (sym1 - i < room) room = sym1 - i;
        if (last - i < room) room = last - i;  // last >= i here
        if (room != 0) {
            i += tally_recorded(j.flags, i, room, &sym, &x, refill_at);
            continue;
        }
        int flush;
        if ((j.flags[i >> 3] >> (i & 7)) & 1) {
            const unsigned lc = sym[0];
            const unsigned dist = sym[1] | (static_cast<unsigned>(sym[2]) << 8);
            sym += SYM_MATCH_BYTES;
            flush = tally(dist, lc, x + 1 - block_from);
            x += lc + MIN_MATCH;
        } else {
            // The last literal of an ended parse ends no block, as in lazy_loop.
            flush = tally(0, *sym++, x + 1 - block_from) && i != last;
            x++;
        }
        i++;
        if (flush) end_block_at(j, x, 0);
    }
    replay_pos = x;
}

// The bytes of j's first nsym symbols in its record: one per literal, SYM_MATCH_BYTES per
// match, whose flag bits are set.
size_t record_bytes(const ChunkParse &j, size_t nsym) {
    size_t matches = 0, i = 0;
    for (; i + 64 <= nsym; i += 64) {
        uint64_t bits;
        memcpy(&bits, j.flags + i / 8, sizeof bits);
        matches += static_cast<size_t>(__builtin_popcountll(bits));
    }
    for (; i < nsym; i++) matches += (j.flags[i >> 3] >> (i & 7)) & 1u;
    return nsym + (SYM_MATCH_BYTES - 1) * matches;
}

// The first step recorded by both a (past its chunk) and b (among the b_tops it recorded
// first) in the same state; null if none.
const ParseTop *splice_point(const ChunkParse &a, const ChunkParse &b, size_t b_tops,
                             const ParseTop **in_b) {
    size_t i = 0, k = 0;
    auto pos_a = [&a](size_t x) { return a.base + a.tops[x].offset; };
    auto pos_b = [&b](size_t x) { return b.base + b.tops[x].offset; };
    while (i < a.ntops && pos_a(i) < a.tails_from) i++;
    while (i < a.ntops && k < b_tops && pos_b(k) < b.heads_end) {
        if (pos_a(i) < pos_b(k)) {
            i++;
        } else if (pos_b(k) < pos_a(i)) {
            k++;
        } else {
            if (a.tops[i].state == b.tops[k].state) {
                *in_b = &b.tops[k];
                return &a.tops[i];
            }
            i++;
            k++;
        }
    }
    return nullptr;
}

// The sequential encoder, which needs neither threads nor slots.
ulg deflate_sequential() {
    ush xfl = 0;
    lm_init(lm::compr_level, &xfl);
    return deflate();
}

}  // namespace

ulg deflate_parallel(unsigned threads, size_t chunk_size, uint64_t input_size) {
    if (chunk_size < MIN_CHUNK || chunk_size % WSIZE != 0) error("internal error: bad chunk size");
    // The fast levels have no lazy parse to split.
    if (threads <= 1 || lm::compr_level < 4) return deflate_sequential();
    if (threads > MAX_THREADS) threads = MAX_THREADS;
    const unsigned n = slots_for(threads);
    const size_t sym_cap = slot_sym_bytes(chunk_size);
    const size_t mapped = (n * slot_bytes(chunk_size) + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    Slot *all = static_cast<Slot *>(calloc(n, sizeof(Slot)));
    uch *slot_memory = all ? map_slots(mapped) : nullptr;
    const bool ok = slot_memory != nullptr;
    for (unsigned i = 0; ok && i < n; i++) {
        ChunkParse &j = all[i].job;
        uch *p = slot_memory + i * slot_bytes(chunk_size);
        all[i].buf = p;
        j.data = p;
        p += line_up(slot_data_bytes(chunk_size));
        j.sym = p;
        j.sym_cap = sym_cap;
        p += slot_sym_area(chunk_size);
        j.flags = p;
        p += line_up(sym_cap / 8 + 1);
        j.tops = reinterpret_cast<ParseTop *>(p);
        j.tops_cap = TOPS_CAP;
    }
    // The calling thread is one of the threads; each other one has match finder tables of
    // its own.
    pthread_t tids[MAX_THREADS];
    MatchTables *tables[MAX_THREADS] = {};
    unsigned started = 0;
    slots = all;
    nslots = n;
    quit = false;
    if (ok) {
        prefault_bytes = mapped - HUGE_PAGE;
        prefault_from.store(prefault_bytes ? slot_memory + HUGE_PAGE : nullptr, __ATOMIC_RELEASE);
        cpus_known = sched_getaffinity(0, sizeof allowed_cpus, &allowed_cpus) == 0;
        int cpu = sched_getcpu();
        if (cpu < 0) cpu = 0;
        for (; started + 1 < threads; started++) {
            tables[started] = new_match_tables();
            if (!tables[started] || !start_worker(&tids[started], tables[started], &cpu)) break;
        }
    }
    auto release = [&] {
        prefault_from.store(nullptr, __ATOMIC_RELEASE);  // if no worker took it
        if (slot_memory) munmap(slot_memory, mapped);
        free(all);
        for (MatchTables *t : tables) free_match_tables(t);
    };
    if (!ok || started == 0) {
        // No memory or no thread.
        release();
        return deflate_sequential();
    }

    plan_chunks(started + 1, chunk_size, input_size);
    read_pos = 0;
    input_ended = false;
    win = WindowModel();
    block_from = 0;
    replay_pos = 0;

    // Chunks are prepared in order into free slots; ring[i % n] holds chunk i.
    uint64_t prepared = 0;  // chunks prepared
    bool last_prepared = false;
    // After a fresh parse that did not splice, the next ones likely will not either (a long
    // run): the chunks are then held, for one thread to parse on from chunk to chunk while
    // the calling thread replays, rather than parsed fresh and thrown away; every
    // PROBE_EVERY-th chunk is still offered for a fresh parse (a probe), to see whether fresh
    // parses splice again.
    bool fresh = true;
    constexpr uint64_t PROBE_EVERY = 4;
    auto prepare_more = [&](uint64_t upto) {
        while (!last_prepared && prepared < upto) {
            Slot &s = all[prepared % n];
            Slot *prev = prepared == 0 ? nullptr : &all[(prepared - 1) % n];
            pthread_mutex_lock(&lock);
            bool free_slot = s.state == Slot::FREE;
            pthread_mutex_unlock(&lock);
            if (!free_slot) break;
            if (!prepare(s, prepared, prev)) {
                last_prepared = true;
                break;
            }
            if (s.job.final) last_prepared = true;
            pthread_mutex_lock(&lock);
            s.state = fresh || prepared % PROBE_EVERY == 0 ? Slot::READY : Slot::HELD;
            if (prev) prev->job.next.store(&s.job, __ATOMIC_RELEASE);
            pthread_cond_broadcast(&work_cv);
            pthread_mutex_unlock(&lock);
            prepared++;
        }
    };

    // One chunk per thread to start with and one for the first to finish: the calling
    // thread's first parse then starts before it has read the rest, and with two threads it
    // reads into the slots past the first huge page only after the first worker has faulted
    // them in.
    static_assert(2 * slot_bytes(PARALLEL_CHUNK) + slot_data_bytes(PARALLEL_CHUNK) <= HUGE_PAGE,
                  "the first three chunks' input lies in the first huge page");
    prepare_more(started + 2);
    // The empty input: one empty block, as the sequential encoder writes it.
    ulg compressed = 0;
    if (prepared == 0) {
        top_of_step(0);
        static const uch nothing[1] = {};
        ChunkParse none = {};
        none.data = nothing;
        compressed = end_block_at(none, 0, 1);
    } else {
        top_of_step(0);
        uint64_t k = 0;  // the chunk being replayed
        size_t sym0 = 0, byte0 = 0;
        for (;;) {
            Slot &cur = all[k % n];
            // While chunks are held, the calling thread takes none over: the parse it helps
            // with is a probe, or a resumed chunk that no worker's match finder stands at.
            wait_done(cur, fresh);
            const ChunkParse &j = cur.job;
            if (j.ended) {
                replay(j, sym0, byte0, j.nsym);
                top_of_step(replay_pos);
                compressed = end_block_at(j, replay_pos, 1);
                break;
            }
            // A parse that did not end has a next chunk: its input reaches past the stop.
            Slot &nxt = all[(k + 1) % n];
            assert(prepared > k + 1);
            const ParseTop *in_next = nullptr;
            const ParseTop *at = nullptr;
            bool held = false;
            if (j.took_next) {
                // The next chunk continues this parse from its last step.
                at = &j.tops[j.ntops - 1];
            } else {
                pthread_mutex_lock(&lock);
                held = nxt.state == Slot::HELD;
                pthread_mutex_unlock(&lock);
                // Its first steps suffice to splice into, while its parse runs on; none does
                // if this parse cancelled it.
                if (!held && !nxt.job.cancel.load(__ATOMIC_ACQUIRE))
                    at = splice_point(j, nxt.job, wait_heads(nxt, fresh) - 1, &in_next);
            }
            size_t next_sym = 0, next_byte = 0;
            // Whether fresh parses splice: known only when the next one was one.
            // (A fresh parse this one cancelled and then took over did not splice either.)
            const bool tried = j.next_cancelled || (!j.took_next && !held && !nxt.resumed);
            if (tried && (at != nullptr && !j.next_cancelled) != fresh) {
                fresh = !fresh;
                if (fresh) {
                    // Fresh parses splice again: the held chunks go to the threads.
                    pthread_mutex_lock(&lock);
                    for (unsigned i = 0; i < n; i++)
                        if (all[i].state == Slot::HELD) all[i].state = Slot::READY;
                    pthread_cond_broadcast(&work_cv);
                    pthread_mutex_unlock(&lock);
                }
            }
            if (in_next) {
                next_sym = in_next->nsym;
                next_byte = record_bytes(nxt.job, next_sym);
            } else if (!at) {
                // No common step within OVERLAP (a long run of matches in another phase, say),
                // or the next chunk held: it is parsed again from this parse's last step, by
                // the first thread free, while this one replays.
                if (j.ntops == 0) error("internal error: chunk parse recorded no step");
                at = &j.tops[j.ntops - 1];
                if (!held) wait_done(nxt, fresh);  // its parse is thrown away once it ends
                pthread_mutex_lock(&lock);
                resume_at_end(nxt, cur);
                // The parse before, which could take it, ended.
                nxt.job.started.store(NOT_STARTED, __ATOMIC_RELAXED);
                nxt.state = Slot::READY;
                pthread_cond_broadcast(&work_cv);
                pthread_mutex_unlock(&lock);
            }
            replay(j, sym0, byte0, at->nsym);
            // Both parses had the same bytes pending at the splice.
            if (replay_pos != j.base + at->offset - at->state.match_available)
                error("internal error: splice position");
            sym0 = next_sym;
            byte0 = next_byte;
            pthread_mutex_lock(&lock);
            cur.state = Slot::FREE;
            pthread_mutex_unlock(&lock);
            k++;
            prepare_more(k + n);
        }
    }

    pthread_mutex_lock(&lock);
    quit = true;
    pthread_cond_broadcast(&work_cv);
    pthread_mutex_unlock(&lock);
    for (unsigned i = 0; i < started; i++) pthread_join(tids[i], nullptr);
    release();
    slots = nullptr;
    return compressed;
}
