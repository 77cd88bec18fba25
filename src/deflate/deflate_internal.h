// DEFLATE encoder internals: bit writer, match finder, code tables, block emitter and chunk
// parses, as the encoder's files and tests see them. State: the block writer's (bw) and the
// match finder's, per thread (lm), both reset per member. RFC 1951 3.2.1 to 3.2.7 and 4.
#pragma once

#include <cassert>
#include <cstdint>
#include <cstring>

#include "deflate/deflate.h"
#include "stream/rfc1951.h"
#include "stream/rfc1952.h"
#include "stream/stream.h"
#include "support/atomic.h"

// The match finder's head table: the latest position of each 3-byte hash.
inline constexpr unsigned HASH_BITS = 15;
inline constexpr unsigned HASH_SIZE = 1u << HASH_BITS;
// The block emitter's distances, one per match of a block.
inline constexpr unsigned DIST_BUFSIZE = 0x8000;

// ---- The match finder's state (deflate.cpp, chunk_parse.cpp) ----------------------------

struct MatchTables;
struct ChunkParse;
// The calling thread's window and chains (deflate.cpp).
extern MatchTables main_tables;

// The match finder's state (lm, as in lm_init), one copy per thread that runs it: the
// sequential encoder on the calling thread, and each parsing thread of the parallel one.
// Its fields are static thread-local members, each its own symbol: as members of one
// thread-local object, g++ 12 keeps that object's address in a register through the lazy
// loop, which then spills, and builds random bytes with 1.7% more instructions.
struct lm {
    // Per thread: the match finder's state is thread_local (TL) in every field.
#define TL static inline constinit thread_local
    // This thread's window and chains: the calling thread's static set, or a parsing
    // thread's own (new_match_tables).
    TL MatchTables *mt = &main_tables;
    TL unsigned ins_h = 0;        // hash of the string being inserted
    TL unsigned strstart = 0;     // current position in lz_window
    TL unsigned lookahead = 0;    // valid bytes from strstart on
    TL unsigned match_start = 0;  // start of the last match found
    TL unsigned prev_length = 0;  // length a new match must exceed
    TL long block_start = 0;      // the current block's start; < 0 once slid out
    TL int eofile = 0;            // the input routine has reported the end
    TL int compr_level = 0;       // the level lm_config set, which the tally reads too
    TL int nice_match = 0;
    TL unsigned max_lazy_match = 0, good_match = 0, max_chain_length = 0;
    // Input position of lz_window[0]: a chunk parse records positions in the input.
    TL uint64_t window_origin = 0;
    TL unsigned keyed_end = 0;  // see KEY_BYTES
    // The strings waiting for their deep chains' keys (see deflate.cpp).
    TL unsigned deep_pending = 0, deep_pending_end = 0;

    // Chunk parses (chunk_parse.cpp).
    // The chunk parse this thread runs, if any: its symbols and steps are recorded there.
    // Not shared between threads: atomic so that each test of it reads it afresh (a relaxed
    // load is one plain load), and the compiler keeps one copy of the lazy loop rather than
    // one per value (a second copy of the loop and its inlined search would cost the stub
    // 10 KB).
    TL Atomic<ChunkParse *> chunk_rec{nullptr};
    // The first position at whose step the lazy loop has recording to do (record_step): 0
    // while chunk_rec's steps below heads_end are recorded and not yet published for the
    // parse of the chunk before; once they are (never 0), the next check for a cancel, every
    // CANCEL_CHECK positions up to tails_from, then tails_from; UINT64_MAX when this thread
    // runs no chunk parse. One test a step in a parse's middle.
    TL uint64_t record_from = UINT64_MAX;
    TL size_t rec_fed = 0;        // bytes of chunk_rec's input read so far
    TL uint64_t stopped_at = 0;   // where this thread's last chunk parse stopped, if it did
    TL size_t next_head = 0;      // the next chunk's first step not yet passed
    TL unsigned yields_left = 0;  // see MAX_YIELDS
#undef TL
};

// ---- Bit writer (bits.cpp) ----------------------------------------------------------------

// Width of the bit accumulator: fields are packed into 16 bits before they reach outbuf.
inline constexpr int BUF_SIZE = 16;

unsigned bi_reverse(unsigned code, int len);
void bi_windup();
void copy_block(char *buf, unsigned len, int header);

// Appends the low `length` bits (1..15) of value, least significant bit first (RFC 1951
// 3.1.1). The per-symbol loop of compress_block keeps its own copy of this in locals.
void send_bits(int value, int length);

// ---- Code tables and tree construction (trees.cpp) -----------------------------------------

// A tree of n leaves has n - 1 internal nodes; the heap also needs an unused slot 0.
inline constexpr int HEAP_SIZE = 2 * L_CODES + 1;
static_assert(HEAP_SIZE == 573);

// ct_init's file-type attribute.
inline constexpr ush ATTR_BINARY = 0;
inline constexpr ush ATTR_ASCII = 1;
inline constexpr ush ATTR_UNKNOWN = 0xFFFF;  // classify the first block

// One node of a code tree. fc: frequency while counting and building, then the
// bit-reversed code. dl: parent node while building, then the code length (0 = unused).
struct ct_data {
    ush fc;
    ush dl;
};

struct tree_desc {
    ct_data *dyn_tree;
    ct_data *static_tree;       // fixed code of the alphabet, or null
    const uint8_t *extra_bits;  // extra bits of codes from extra_base on
    int extra_base;
    int elems;
    int max_length;
    int max_code;  // largest symbol with nonzero frequency, set by build_tree
};

extern ct_data static_ltree[FIXED_L_CODES];
extern ct_data static_dtree[D_CODES];

// The format's extra bits of the length and distance codes and the code-length order.
inline constexpr const uint8_t *extra_lbits = LENGTH_EXTRA;
inline constexpr const uint8_t *extra_dbits = DIST_EXTRA;
inline constexpr const uint8_t *bl_order = CL_ORDER;
// Extra bits of the code-length code: REP_3_6, REPZ_3_10 and REPZ_11_138 take 2, 3 and 7.
inline constexpr uint8_t extra_blbits[BL_CODES] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                   0, 0, 0, 0, 0, 0, 2, 3, 7};

extern uch length_code[256];  // match length - 3 -> length code index
extern uch dist_code[512];    // see d_code
extern int base_length[LENGTH_CODES];
extern int base_dist[D_CODES];

void init_block();
void build_tree(tree_desc *desc);
void gen_codes(ct_data *tree, int max_code);

// Distance code of dist = distance - 1 (0..32767): direct below 256, else by dist >> 7.
inline unsigned d_code(unsigned dist) {
    return dist < 256 ? dist_code[dist] : dist_code[256 + (dist >> 7)];
}

// ---- Block emission (block.cpp) ------------------------------------------------------------

// The literal buffer, one byte per symbol of the block (a literal, or a match's length -
// MIN_MATCH), is the first LIT_BUFSIZE bytes of the stream's inbuf, which nothing else
// uses while a member is encoded: the encoder reads its input straight into its window.
// A block holds at most LIT_BUFSIZE - 1 symbols so the partial flag byte always has a slot.
inline constexpr unsigned LIT_BUFSIZE = 0x8000;
inline constexpr uch *l_buf = inbuf;
inline constexpr unsigned FLAG_BUFSIZE = LIT_BUFSIZE / 8;  // one bit per symbol
static_assert(LIT_BUFSIZE <= INBUFSIZ, "the literal buffer lives in inbuf");
static_assert(LIT_BUFSIZE <= DIST_BUFSIZE, "every symbol may be a match");
// The tally weighs an early end of the block whenever the symbol count reaches a multiple of
// this; every tally variant below stops short of such a symbol and leaves it to the core.
inline constexpr unsigned TALLY_CHECK_INTERVAL = 4096;
static_assert((TALLY_CHECK_INTERVAL & (TALLY_CHECK_INTERVAL - 1)) == 0 &&
              TALLY_CHECK_INTERVAL < LIT_BUFSIZE);

// The block writer's state, one per encoder (the calling thread's): the bit writer's
// accumulator, the trees of the block being built, and the tally of its symbols. All zero
// until bi_init and ct_init, so that its 77 KB take no room in the stub's file.
struct BlockWriter {
    // Bit writer (bits.cpp).
    ush bi_buf{};    // pending bits, oldest in bit 0
    int bi_valid{};  // number of pending bits, 0..BUF_SIZE between calls

    // Trees (trees.cpp).
    ct_data dyn_ltree[HEAP_SIZE]{};
    ct_data dyn_dtree[2 * D_CODES + 1]{};
    ct_data bl_tree[2 * BL_CODES + 1]{};
    tree_desc l_desc{}, d_desc{}, bl_desc{};  // set by ct_init: all zero, bw stays in .bss
    int heap[HEAP_SIZE]{};  // build_tree's heap of nodes, from slot 1; sorted nodes from heap_max
    int heap_len{}, heap_max{};
    uint32_t heap_key[HEAP_SIZE]{};  // see pqdownheap
    ush bl_count[MAX_BITS + 1]{};
    ulg opt_len{};     // block data bits with the dynamic codes (modulo 2^64)
    ulg static_len{};  // block data bits with the fixed codes (modulo 2^64)
    ush *file_type{};  // the caller's file-type attribute (see ct_init)
    int *file_method{};

    // Tally (block.cpp). The literal buffer is l_buf.
    uch flag_buf[FLAG_BUFSIZE]{};
    ush d_buf[DIST_BUFSIZE]{};
    unsigned last_lit{};    // symbols in the literal buffer
    unsigned last_dist{};   // matches in d_buf
    unsigned last_flags{};  // complete bytes in flag_buf
    uch flags{};            // flag byte being filled
    uch flag_bit{};         // bit of the next symbol in flags
    ulg compressed_len{};   // bits written for the member, alignment included
};
extern BlockWriter bw;

// The tally's core, which every variant below follows: stores one symbol (a literal lc if
// dist is 0, else a match of length lc + MIN_MATCH at distance dist), counts it, and says
// whether the block ends after it: at an interval check, when the block is compressing well
// and is mostly matches, so that the next data gets codes of its own (levels 1 and 2 never
// end a block early), or when the buffer is full. in_length: the input bytes the block
// covers up to the symbol's step, which the check weighs; the sequential encoder's comes
// from the match finder's position, the parallel replay's from its own.
int tally(unsigned dist, unsigned lc, ulg in_length);
// The tally at the match finder's step: the block's input is strstart - block_start.
int ct_tally(int dist, int lc);
// ct_tally(0, lc) for a literal, the common case inline: the core's path for a literal that
// neither completes a flag byte nor lands on the interval check (a multiple of 8).
inline int ct_tally_literal(int lc) {
    if (((bw.last_lit + 1) & 7) == 0) return ct_tally(0, lc);
    assert(bw.last_lit < LIT_BUFSIZE);
    l_buf[bw.last_lit++] = static_cast<uch>(lc);
    bw.dyn_ltree[lc].fc++;
    bw.flag_bit = static_cast<uch>(bw.flag_bit << 1);
    return bw.last_lit == LIT_BUFSIZE - 1;
}
// Literals that can be tallied before one lands on ct_tally's interval check or fills the
// buffer (which ends a block).
inline unsigned literals_to_check() {
    const unsigned check = (bw.last_lit | (TALLY_CHECK_INTERVAL - 1)) + 1;
    return (check < LIT_BUFSIZE - 1 ? check : LIT_BUFSIZE - 1) - 1 - bw.last_lit;
}

// Tallies the literals p[0], ..., p[n - 1] as ct_tally would, n at most literals_to_check():
// copied, counted, and the flag bytes they complete stored (the first with the bits of the
// matches before them, the rest all literals). The counters stay in locals: the buffer
// stores are bytes, which may alias any global.
inline void tally_literals_between_checks(const uch *p, unsigned n) {
    assert(n <= literals_to_check());
    const unsigned from = bw.last_lit;
    if (n >= 16) {
        // Long runs (data with few matches): one copy, then a count loop with no byte store.
        memcpy(l_buf + from, p, n);
        for (unsigned k = 0; k < n; k++) bw.dyn_ltree[p[k]].fc++;
    } else {
        for (unsigned k = 0; k < n; k++) {
            const unsigned c = p[k];
            l_buf[from + k] = static_cast<uch>(c);
            bw.dyn_ltree[c].fc++;
        }
    }
    const unsigned to = from + n;
    bw.last_lit = to;
    // Flag bytes complete at each multiple of 8 in (from, to].
    const unsigned completed = to / 8 - from / 8;
    if (completed == 0) {
        bw.flag_bit = static_cast<uch>(bw.flag_bit << n);
        return;
    }
    unsigned f = bw.last_flags;
    assert(f + completed <= FLAG_BUFSIZE);
    bw.flag_buf[f] = bw.flags;
    for (unsigned k = 1; k < completed; k++) bw.flag_buf[f + k] = 0;
    bw.last_flags = f + completed;
    bw.flags = 0;
    bw.flag_bit = static_cast<uch>(1u << (to & 7));
}

unsigned ct_tally_literals_careful(const uch *p, unsigned n, unsigned at, int *flush);

// ct_tally_literal of p[0], p[1], ..., p[n - 1] in turn, the step of p[k] at strstart
// at + k, until one asks for a block end: returns how many were tallied and whether the
// last asked (*flush). Reads block_start. Between checks a run of literals is one copy and
// a count loop.
inline unsigned ct_tally_literals(const uch *p, unsigned n, unsigned at, int *flush) {
    if (__builtin_expect(n > literals_to_check(), 0))
        return ct_tally_literals_careful(p, n, at, flush);
    tally_literals_between_checks(p, n);
    *flush = 0;
    return n;
}
ulg flush_block(char *buf, ulg stored_len, int eof);
void set_file_type();
int build_bl_tree();
void scan_tree(ct_data *tree, int max_code);
void send_tree(ct_data *tree, int max_code);
void send_all_trees(int lcodes, int dcodes, int blcodes);
void compress_block(const ct_data *ltree, const ct_data *dtree);

// ---- LZ77 match finder (deflate.cpp) -------------------------------------------------------

// Enough lookahead for one longest match plus the next string's hash.
inline constexpr unsigned MIN_LOOKAHEAD = MAX_MATCH + MIN_MATCH + 1;
// Keep MIN_LOOKAHEAD bytes inside the window when matching at the farthest distance.
inline constexpr unsigned FARTHEST_MATCH_DIST = WSIZE - MIN_LOOKAHEAD;
// Levels 4-9: a 3-byte match farther than this costs more than three literals.
inline constexpr unsigned TOO_FAR = 4096;
inline constexpr unsigned WMASK = WSIZE - 1;
inline constexpr unsigned HASH_MASK = HASH_SIZE - 1;
// Each byte moves 5 bits up, so a hash covers MIN_MATCH bytes (HASH_BITS / MIN_MATCH).
inline constexpr unsigned H_SHIFT = (HASH_BITS + MIN_MATCH - 1) / MIN_MATCH;
inline constexpr unsigned NIL = 0;  // end of a hash chain
inline constexpr unsigned WINDOW_SIZE = 2 * WSIZE;
static_assert(FARTHEST_MATCH_DIST == 32506 && WSIZE + FARTHEST_MATCH_DIST == 65274);

struct config {
    ush good_length;  // quarter the chain once the match in hand is this long
    ush max_lazy;     // do not look for a better match beyond this length
    ush nice_length;  // stop searching at this length
    ush max_chain;    // chain candidates examined per search
};
extern const config configuration_table[10];

// The window's slide-and-refill rule, one for the sequential encoder (fill_window) and for
// the parallel replay's model of its window (parallel.cpp, top_of_step). At the top of a
// step at window position at with ahead bytes read from there on, a refill is due while
// fewer than MIN_LOOKAHEAD bytes are ahead and the input has not ended. A refill first
// slides the window down WSIZE if at has reached WSIZE + FARTHEST_MATCH_DIST, then asks the input
// routine for the rest of the window: more bytes, counted after the slide. The match
// finder's loops spell refill_due out, `lookahead < MIN_LOOKAHEAD && !eofile`: through the
// call, the same test compiled the lazy loop into 1.9% more instructions on random bytes.
inline bool refill_due(unsigned ahead, int ended) {
    return ahead < MIN_LOOKAHEAD && !ended;
}
struct Refill {
    bool slide;
    unsigned more;
};
inline Refill next_refill(unsigned at, unsigned ahead) {
    const bool slide = at >= WSIZE + FARTHEST_MATCH_DIST;
    return {slide, WINDOW_SIZE - ahead - at + (slide ? WSIZE : 0)};
}
// One refill as next_refill says, at a due one.
void fill_window();
int longest_match(unsigned cur_match);
ulg deflate_fast();

// Deep chains: besides the 3-byte hash chains, every inserted position also enters a chain
// keyed on its first DEEP_LEN[d] bytes. Once the match in hand is best_len long, only a
// candidate agreeing on best_len + 1 bytes can replace it, and all of those lie on the
// deep chain of the longest key no longer than that: the search walks that much shorter
// chain instead and skips the 3-byte chain's candidates that could not win. Which
// candidates the 3-byte walk would have reached (max_chain_length of them) is read from
// chain_rank, the running count of each 3-byte chain, so the result is the same match.
inline constexpr unsigned DEEP_LEVELS = 2;
inline constexpr unsigned DEEP_LEN[DEEP_LEVELS] = {4, 8};
inline constexpr unsigned DEEP_HASH_BITS = 15;
inline constexpr unsigned DEEP_HASH_SIZE = 1u << DEEP_HASH_BITS;
static_assert(DEEP_LEN[0] > MIN_MATCH && DEEP_LEN[1] > DEEP_LEN[0] && DEEP_LEN[1] <= 8,
              "keys are read as one 64-bit word");
// Prefix masks of the keys on a little-endian 64-bit load.
inline constexpr uint64_t DEEP_MASK[DEEP_LEVELS] = {0xffffffffull, ~0ull};

// The match finder's window and chains, 704 KB, one set per thread that runs it.
struct MatchTables {
    uch lz_window[WINDOW_SIZE];
    // head[h]: the latest position with hash h, NIL if none.
    ush head[HASH_SIZE];
    // Chain links indexed by the full window position rather than by position & WMASK: the
    // chain walk is a chain of dependent loads, and the mask would lengthen each step. The
    // chains are the same as with masked
    // indexes: a position and the one 32768 below it never both lie within FARTHEST_MATCH_DIST of
    // strstart. After a slide the lower half takes the lowered upper half; the upper half is
    // rewritten by insertion before it is read.
    ush chain_link[WINDOW_SIZE];
    // deep_head: the latest position per key hash, NIL if none; deep_link: the next older
    // position on the same deep chain.
    ush deep_head[DEEP_LEVELS][DEEP_HASH_SIZE];
    ush deep_link[DEEP_LEVELS][WINDOW_SIZE];
    // See chain_rank.
    ush rank_slots[WSIZE];
};

inline uint64_t load64(const uch *p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

// chain_rank(s): the number of positions on s's 3-byte chain up to s, modulo 2^16. The
// chain through any candidate never holds more than WINDOW_SIZE positions, so rank
// differences along it are exact. Only ranks of positions within FARTHEST_MATCH_DIST (< WSIZE) of
// the string being entered or searched are read: s shares its slot with s + WSIZE, entered once s
// is out of reach, so a slide needs no copy. A rank entered after a head out of reach starts from
// another string's rank: a chain is never read past such a head, so only differences within reach
// matter. Half the table and no copy: 9% less CPU time on a 32 MB ELF file than a full-window table
// copied at each slide.
inline ush &chain_rank(unsigned s) {
    return lm::mt->rank_slots[s & WMASK];
}

// Multiplicative hashes of the 4- and 8-byte keys, top DEEP_HASH_BITS bits.
inline unsigned deep_hash(unsigned d, uint64_t key) {
    if (d == 0) return (static_cast<uint32_t>(key) * 0x9E3779B1u) >> (32 - DEEP_HASH_BITS);
    return static_cast<unsigned>((key * 0x9E3779B97F4A7C15ull) >> (64 - DEEP_HASH_BITS));
}

inline void store64(ush *p, uint64_t v) {
    memcpy(p, &v, sizeof v);
}

// A string's deep chains are chosen by the KEY_BYTES bytes from it, taken only below
// keyed_end: the end of the bytes read while input remains, past every key once the input has
// ended (see deflate.cpp).
inline constexpr unsigned KEY_BYTES = 8;

// Match finder resets (deflate.cpp). lm_restart: the tables cleared and the window laid out
// with origin at input position origin: all clear if upper is null, else its upper half a
// copy of the WSIZE bytes at upper (as the slide to origin left it); the first read done.
// Returns false if the input is empty. lm_prime: every string before start entered into the
// chains, as the lazy loop leaves them, and the window filled for the step at start.
bool lm_restart(uint64_t origin, const uch *upper);
void lm_prime(unsigned start);
// The strings at s, ..., s + n - 1 entered into all their chains, for lm_prime (chunk_parse.cpp).
void prime_strings(unsigned s, unsigned n);

// ---- Chunk parses of the parallel encoder (deflate.cpp parses, parallel.cpp splices) ----------

// The lazy loop's state at the top of a step, all that one step hands the next besides the
// input and the hash chains: whether the byte before is pending (a literal or the start of
// the match in hand) and the match in hand. Two parses of the same input that reach a
// step's top at the same position in the same state go on identically from there.
struct ParseState {
    uint32_t match_available : 1;
    uint32_t match_length : 9;  // MIN_MATCH - 1: no match in hand
    uint32_t match_back : 16;   // the step's position minus the match's start, 0 without one
    bool operator==(const ParseState &) const = default;
};
inline constexpr ParseState FRESH_STATE = {0, MIN_MATCH - 1, 0};
static_assert(MAX_MATCH < 1u << 9 && FARTHEST_MATCH_DIST + 1 < 1u << 16);

// A step's top recorded by a chunk parse, with how much of the symbol record came before
// (their bytes in sym follow from the flags: see record_bytes).
struct ParseTop {
    uint32_t offset;  // the step's position minus the chunk parse's base
    uint32_t nsym;    // symbols recorded before this step
    ParseState state;
};
static_assert(sizeof(ParseTop) == 12);

// Symbol record, per symbol: a literal is one byte (its value), a match three (length -
// MIN_MATCH, then distance low and high byte); bit i % 8 of flags[i / 8] is 1 for a match.
// A symbol covers at least one input byte per record byte, so sym needs no more bytes than
// the input positions the parse covers. A reader may read SYM_MATCH_BYTES - 1 bytes past
// the last symbol's first (see tally_recorded): the record's buffer has that much more.
inline constexpr unsigned SYM_MATCH_BYTES = 3;

// ct_tally of the recorded symbols from symbol i on (record bytes from *sym, match flags
// match_bits), at most n of them (n <= literals_to_check(): none lands on the interval
// check or fills the buffer), stopping before a symbol at or past input position end;
// *sym and *pos, the input position of symbol i, move past those tallied. Returns how
// many. A literal takes the same path as a match, counted and stored where a match would
// be but with nothing added: which one a symbol is would be a branch the predictor loses on
// text.
inline size_t tally_recorded(const uch *match_bits, size_t i, size_t n, const uch **sym,
                             uint64_t *pos, uint64_t end) {
    assert(n <= literals_to_check());
    const uch *p = *sym;
    uint64_t x = *pos;
    // The counters stay in locals: the buffer stores are bytes, which may alias any global.
    unsigned lit = bw.last_lit, dist_at = bw.last_dist, flag_at = bw.last_flags;
    unsigned bits = bw.flags, bit = bw.flag_bit;
    size_t k = 0;
    while (k < n && x < end) {
        const size_t at = i + k;
        if ((at & 7) == 0 && match_bits[at >> 3] == 0 && n - k >= 8 && end - x >= 8) {
            // Eight literals (data with few matches): no distance to read, and one flag byte
            // completes among them with no bit added; the next symbol's bit is as it was.
            memcpy(l_buf + lit, p, 8);
            for (unsigned q = 0; q < 8; q++) bw.dyn_ltree[p[q]].fc++;
            lit += 8;
            bw.flag_buf[flag_at++] = static_cast<uch>(bits);
            bits = 0;
            p += 8;
            x += 8;
            k += 8;
            continue;
        }
        const unsigned m = (match_bits[at >> 3] >> (at & 7)) & 1u;
        const unsigned mask = 0u - m;  // all ones for a match
        const unsigned b = p[0];
        // A match's distance - 1; a literal's is whatever follows it, kept below WSIZE so
        // that it has a code.
        const unsigned dist = ((p[1] | static_cast<unsigned>(p[2]) << 8) - 1) & (WSIZE - 1);
        l_buf[lit++] = static_cast<uch>(b);
        bw.dyn_ltree[b ^ ((b ^ (length_code[b] + LITERALS + 1)) & mask)].fc++;
        ush &dist_freq = bw.dyn_dtree[d_code(dist)].fc;
        dist_freq = static_cast<ush>(dist_freq + m);
        bw.d_buf[dist_at] = static_cast<ush>(dist);
        dist_at += m;
        bits |= bit & mask;
        bit <<= 1;
        if ((lit & 7) == 0) {
            bw.flag_buf[flag_at++] = static_cast<uch>(bits);
            bits = 0;
            bit = 1;
        }
        p += 1 + (SYM_MATCH_BYTES - 1) * m;
        x += 1 + ((b + MIN_MATCH - 1) & mask);
        k++;
    }
    bw.last_lit = lit;
    bw.last_dist = dist_at;
    bw.last_flags = flag_at;
    bw.flags = static_cast<uch>(bits);
    bw.flag_bit = static_cast<uch>(bit);
    *sym = p;
    *pos = x;
    return k;
}

// One parse of a stretch of the input, starting at a step's top in a known state, with the
// input from base on (base is 0 or a multiple of WSIZE at least WSIZE below start).
struct ChunkParse {
    // In.
    int level;        // a lazy level, 4 to 9
    const uch *data;  // input bytes [base, base + size)
    uint64_t base;
    size_t size;
    bool final;           // base + size is the end of the input
    uint64_t start;       // the first step's position, below base + WSIZE + FARTHEST_MATCH_DIST
    ParseState from;      // and its state
    uint64_t heads_end;   // record the steps' tops in [start, heads_end)
    uint64_t tails_from;  // and in [tails_from, stop)
    uint64_t stop;        // unless final: end at the first step's top at or past stop
    uch *sym;
    size_t sym_cap;
    uch *flags;  // sym_cap / 8 + 1 bytes
    ParseTop *tops;
    size_t tops_cap;
    // Shared with the other threads while the parse runs (the rest is handed over under
    // the encoder's lock).
    // The parse of the next chunk, once given out: past tails_from this parse stops at the
    // first step that one recorded in the same state.
    Atomic<ChunkParse *> next;
    // One of the values below: while NOT_STARTED, the parse before may take this one over
    // (see took_next).
    Atomic<int> started;
    // 1 + the count of steps recorded below heads_end, once all are (0 before).
    Atomic<size_t> heads;
    // Set by the parse of the chunk before, which reached its stop with no step in common
    // with this one's first steps: this parse is thrown away, and ends at its next check
    // (see record_from).
    Atomic<bool> cancel;
    // The thread's match finder stands at start in state from, where its last parse stopped,
    // and base <= the end of the input it read: parse on from there, without priming.
    bool continues;
    bool takes_over;  // may take the next chunk over (see took_next)
    // Out.
    size_t nsym, nbytes, ntops;
    bool ended;    // reached the end of the input: the record is complete
    bool stopped;  // reached stop: the last step recorded is that one, where the parse stands
    bool next_cancelled;  // stopped, and cancelled the next chunk's fresh parse
    // Past tails_from, found next not yet started and took it over: stopped at the step
    // recorded last, for this thread to parse next on from there (continues).
    bool took_next;
};

// ChunkParse::started.
inline constexpr int NOT_STARTED = 0, STARTED = 1;

// How far a parse runs on into the next chunk looking for a step that the next chunk's parse
// reaches in the same state (in practice within a few hundred bytes), and how far that
// parse records its first steps.
inline constexpr size_t PARALLEL_OVERLAP = 8192;
// Input a parse needs past its last step's top: the step reads MIN_LOOKAHEAD bytes ahead,
// and the strings of a match it ends take keys up to KEY_BYTES past the match.
inline constexpr size_t PARALLEL_PAST_STOP = 1024;
static_assert(PARALLEL_PAST_STOP >= MAX_MATCH + MIN_LOOKAHEAD + 8);

// Slides n window positions (n a multiple of SLIDE_STEP): to[i] = from[i] - WSIZE, NIL for
// those below WSIZE, whose strings leave the window. Two builds: 16-byte vectors on every
// CPU (stream/vec128.h), 32-byte ones on x86-64 CPUs with AVX2.
inline constexpr unsigned SLIDE_STEP = 32;
void slide_128(ush *to, const ush *from, unsigned n);
#if defined(__x86_64__)
void slide_avx2(ush *to, const ush *from, unsigned n);
#endif

// A parsing thread's window and chains: allocated (null if out of memory), made this
// thread's before it parses, freed after it.
MatchTables *new_match_tables();
void use_match_tables(MatchTables *t);
void free_match_tables(MatchTables *t);

// Runs the lazy parse over the chunk on the calling thread, with the thread's own
// match finder, exactly as the sequential encoder parses those positions in that state.
// The thread's input routine is the same after it.
void parse_chunk(ChunkParse &c);

// ---- The lazy loop's recording (deflate.cpp runs it, chunk_parse.cpp the rest) -------------

// The lazy loop (levels 4-9) from the step at strstart on, in the state given. Sequential:
// to the end of the input, then the last block. Recording: the steps of the chunk parse
// chunk_rec.
ulg lazy_loop(int match_available, unsigned match_length);

inline ChunkParse *recording() {
    return lm::chunk_rec.load(__ATOMIC_RELAXED);
}
inline constexpr uint64_t CANCEL_CHECK = 4096;

// The record's counters are read into locals before its bytes are stored: a byte store may
// alias them, and would have them read again after it.
inline void record_literal(ChunkParse &r, unsigned c) {
    const size_t at = r.nbytes, i = r.nsym;
    if (at + 1 > r.sym_cap) error("internal error: chunk symbol record full");
    r.sym[at] = static_cast<uch>(c);
    r.nbytes = at + 1;
    r.nsym = i + 1;
}

// Runs shorter than this are tallied or recorded one literal at a time rather than in bulk,
// as is what is left of a run after a block end (text's runs are short; a bulk call costs
// them more than it saves).
inline constexpr unsigned LITERAL_RUN_BULK = 16;

// record_literal of p[0], ..., p[n - 1] (their flag bits are clear already).
inline void record_literals(ChunkParse &r, const uch *p, unsigned n) {
    const size_t at = r.nbytes, i = r.nsym;
    if (at + n > r.sym_cap) error("internal error: chunk symbol record full");
    uch *to = r.sym + at;
    if (n < LITERAL_RUN_BULK) {
        for (unsigned k = 0; k < n; k++) to[k] = p[k];
    } else {
        memcpy(to, p, n);
    }
    r.nbytes = at + n;
    r.nsym = i + n;
}

inline void record_match(ChunkParse &r, unsigned dist, unsigned lc) {
    const size_t at = r.nbytes, i = r.nsym;
    if (at + SYM_MATCH_BYTES > r.sym_cap) error("internal error: chunk symbol record full");
    uch *to = r.sym + at;
    uch *flag = r.flags + (i >> 3);
    to[0] = static_cast<uch>(lc);
    to[1] = static_cast<uch>(dist & 0xff);
    to[2] = static_cast<uch>(dist >> 8);
    *flag = static_cast<uch>(*flag | (1u << (i & 7)));
    r.nbytes = at + SYM_MATCH_BYTES;
    r.nsym = i + 1;
}

// The recording at the top of the step at strstart, whose position is at least record_from,
// in the state the loop holds. Returns true where the parse ends: at its stop, or past the
// chunk's end at a step the next chunk's parse recorded in the same state, or where it took
// the next chunk over (the rest of this parse is that one's).
bool record_step(unsigned match_available, unsigned match_length);
// Records the tops of the steps of a literal run from first to strstart, nsym symbols
// recorded before it: each had the byte before it pending and no match in hand, and
// tallied that byte.
void record_run_tops(ChunkParse &r, unsigned first, size_t nsym);
// The parse reached the end of the input.
void record_end(ChunkParse &r);
