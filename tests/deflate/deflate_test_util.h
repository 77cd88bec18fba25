// Helpers of the encoder tests: compressing in-process as the member writer runs the encoder,
// a corpus of real inputs, running the gzip command as an oracle, and a small symbol-level
// reader of DEFLATE streams (RFC 1951) so tests can see block types, code lengths and
// literal/match decisions.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace dt {

// A memory file holding data, positioned at its start; and all the bytes of such a file.
int memfd_with(const std::string &data);
std::string read_all(int fd);

// The DEFLATE data of data at the given level, the encoder run as the member writer runs it
// on two CPUs: configured by lm_config (which sets the level the tally reads too), then the
// parallel encoder told the input's size (one thread for an input of one chunk at most), its
// input routine filling every request.
std::string deflate_level(const std::string &data, int lvl = 9);
// The DEFLATE data of data at level 9 from the sequential encoder (threads 1) or the parallel
// one with threads threads and chunk_size-byte chunks, told the input's size is input_size.
std::string raw_deflate(const std::string &data, unsigned threads, size_t chunk_size = 0,
                        uint64_t input_size = 0);
// DEFLATE data the gzip command produces for data at the given level.
std::string oracle_deflate(const std::string &data, int lvl = 9);

// A literal (dist 0, value in lit), a match (len, dist) or the end of block (lit 256).
struct Sym {
    int lit = -1;
    int len = 0;
    int dist = 0;
    bool operator==(const Sym &o) const { return lit == o.lit && len == o.len && dist == o.dist; }
};
Sym lit(int c);
Sym match(int len, int dist);

struct Block {
    bool final = false;
    int type = -1;                                // BTYPE
    std::vector<Sym> syms;                        // without the end-of-block symbol
    std::vector<std::pair<int, int>> cl_symbols;  // dynamic: code-length symbols and extras
    std::vector<int> lit_lens, dist_lens;         // dynamic: transmitted code lengths
    int hclen = 0;                                // dynamic: code-length codes sent
    std::string stored;                           // stored: the payload
};

// Parses a whole DEFLATE stream; throws std::runtime_error on malformed data. *end gets
// the byte offset after the final block.
std::vector<Block> parse_deflate(const std::string &data, size_t *end = nullptr);
// The uncompressed bytes that the parsed blocks describe.
std::string expand(const std::vector<Block> &blocks);
// All symbols of all blocks, in order.
std::vector<Sym> all_syms(const std::vector<Block> &blocks);

struct Input {
    std::string name;
    std::string data;
};
// Real inputs of every kind: text, binaries, tarballs, zeros, random and compressed bytes,
// sparse repeats, runs, and window_end_text.
const std::vector<Input> &corpus();
// 55718 zero bytes, then manual-page text (letters rotated) whose maximal matches at
// distance 7475 cross the first slide where a match runs into a row of '='.
std::string window_end_text();
// A file of tests/deflate/data, gzip-compressed there.
std::string gunzip_data(const std::string &name);

}  // namespace dt
