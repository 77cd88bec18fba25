// Helpers of the encoder tests: in-process encoding, the corpus, the gzip oracle and a
// symbol-level DEFLATE reader written from RFC 1951 section 3.2.
#include "deflate/deflate_test_util.h"

#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>

#include "common/test_util.h"
#include "deflate/deflate.h"
#include "stream/rfc1952.h"

namespace dt {

int memfd_with(const std::string &data) {
    int fd = memfd_create("kelpa-test", 0);
    if (fd < 0) throw std::runtime_error("memfd_create");
    if (!data.empty() && write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size()))
        throw std::runtime_error("memfd write");
    lseek(fd, 0, SEEK_SET);
    return fd;
}

std::string read_all(int fd) {
    lseek(fd, 0, SEEK_SET);
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
}

namespace {

// The input routine: the bytes of in_fd, every request filled unless the input ends.
int in_fd = -1;
int read_input(char *buf, unsigned size) {
    unsigned got = 0;
    for (ssize_t n; got < size && (n = read(in_fd, buf + got, size - got)) > 0;)
        got += static_cast<unsigned>(n);
    return static_cast<int>(got);
}

// Runs the encoder over data with the stream's output captured; returns the output.
template <class Encode>
std::string capture(const std::string &data, Encode encode) {
    in_fd = memfd_with(data);
    int out = memfd_with("");
    strcpy(ifname, "in");
    ifd = in_fd;
    ofd = out;
    bytes_in = 0;
    outcnt = 0;
    ush attr = 0;
    int method = CM_DEFLATE;
    bi_init(out);
    read_buf = read_input;
    ct_init(&attr, &method);
    encode();
    flush_outbuf();
    std::string raw = read_all(out);
    close(in_fd);
    close(out);
    return raw;
}

}  // namespace

std::string deflate_level(const std::string &data, int lvl) {
    return capture(data, [&] {
        ush xfl = 0;
        lm_config(lvl, &xfl);
        deflate_parallel(data.size() > PARALLEL_CHUNK ? 2 : 1, PARALLEL_CHUNK, data.size());
    });
}

std::string raw_deflate(const std::string &data, unsigned threads, size_t chunk_size,
                        uint64_t input_size) {
    return capture(data, [&] {
        ush xfl = 0;
        if (threads == 1) {
            lm_init(9, &xfl);
            deflate();
        } else {
            lm_config(9, &xfl);
            deflate_parallel(threads, chunk_size, input_size);
        }
    });
}

namespace {

std::string licenses() {
    std::string all;
    if (DIR *d = opendir("/usr/share/common-licenses")) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            try {
                all += kt::read_file(std::string("/usr/share/common-licenses/") + e->d_name);
            } catch (...) {
            }
        }
        closedir(d);
    }
    return all.empty() ? kt::text_bytes(200000, 4) : all.substr(0, 300000);
}

std::string head_of_command(const std::string &cmd, size_t n) {
    kt::RunResult r = kt::sh(cmd + " 2>/dev/null | head -c " + std::to_string(n));
    return r.out;
}

}  // namespace

std::string gunzip_data(const std::string &name) {
    std::string gz = kt::read_file(kt::source_dir() + "/tests/deflate/data/" + name);
    kt::RunResult r = kt::run({"gzip", "-dc"}, gz);
    if (r.status != 0) throw std::runtime_error("gzip -dc failed: " + r.err);
    return r.out;
}

std::string window_end_text() {
    std::string gz =
        kt::read_file(kt::source_dir() + "/tests/deflate/data/encoder-window-end.bin.gz");
    kt::RunResult r = kt::run({"gzip", "-dc"}, gz);
    if (r.status != 0) throw std::runtime_error("gzip -dc failed: " + r.err);
    return r.out;
}

const std::vector<Input> &corpus() {
    static const std::vector<Input> c = [] {
        std::vector<Input> v;
        v.push_back({"licenses", licenses()});
        v.push_back({"elf", kt::read_file("/proc/self/exe").substr(0, 700000)});
        // A fixed length, so that where the input ends does not change with the build's bytes
        // (see Oracle.DISABLED_SlideAtTheInputsLastPositions).
        v.push_back({"stub", kt::read_file(kt::kelpa_bin()).substr(0, 150000)});
        std::string tar = head_of_command("tar cf - -C /usr/include linux", 1200000);
        if (tar.size() < 100000) tar = head_of_command("tar cf - -C /usr/share doc", 1200000);
        v.push_back({"tar", tar});
        v.push_back({"words", kt::text_bytes(300000, 11)});
        v.push_back({"random", kt::random_bytes(150000, 12)});
        v.push_back({"zeros", std::string(300000, '\0')});
        std::string mixed = kt::text_bytes(50000, 13) + kt::random_bytes(50000, 14) +
                            std::string(40000, 'x') + kt::text_bytes(50000, 15);
        v.push_back({"mixed", mixed});
        // Data with few matches, mostly runs of literals: compressed output, and random
        // bytes with short repeats planted at distances on both sides of TOO_FAR.
        std::string gz =
            head_of_command("cat /usr/share/common-licenses/* | gzip -9 -n -c", 400000);
        if (gz.size() > 10000) v.push_back({"gzipped", gz});
        std::string sparse = kt::random_bytes(250000, 16);
        std::mt19937 rng(17);
        for (size_t at = 40000; at + 8 < sparse.size(); at += 20 + rng() % 60) {
            size_t dist = 1 + rng() % 32000, len = 3 + rng() % 4;
            sparse.replace(at, len, sparse.substr(at - dist, len));
        }
        v.push_back({"sparse", sparse});
        // Runs of one byte, 1 to 600 long, between pieces of text: strings inside a run are
        // entered without being hashed one by one, at every length and phase.
        std::string runs;
        for (unsigned i = 0; runs.size() < 300000; i++) {
            runs += kt::text_bytes(1 + rng() % 400, i % 5);
            runs.append(1 + rng() % 600, "\0 x\xff"[rng() % 4]);
        }
        v.push_back({"runs", runs});
        v.push_back({"window end", window_end_text()});
        return v;
    }();
    return c;
}

std::string oracle_deflate(const std::string &data, int lvl) {
    kt::RunResult r = kt::run({"gzip", "-" + std::to_string(lvl), "-n", "-c"}, data);
    if (r.status != 0 || r.out.size() < 18) throw std::runtime_error("gzip failed: " + r.err);
    return r.out.substr(10, r.out.size() - 18);
}

Sym lit(int c) {
    return Sym{c, 0, 0};
}
Sym match(int len, int dist) {
    return Sym{-1, len, dist};
}

namespace {

struct BitReader {
    const std::string &d;
    size_t pos = 0;
    int bit = 0;
    explicit BitReader(const std::string &data) : d(data) {}
    int get() {
        if (pos >= d.size()) throw std::runtime_error("out of data");
        int b = (static_cast<unsigned char>(d[pos]) >> bit) & 1;
        if (++bit == 8) bit = 0, pos++;
        return b;
    }
    int bits(int n) {
        int v = 0;
        for (int i = 0; i < n; i++) v |= get() << i;
        return v;
    }
    void align() {
        if (bit) bit = 0, pos++;
    }
};

// Canonical Huffman code (RFC 1951 3.2.2), decoded one bit at a time.
struct Code {
    std::vector<int> count = std::vector<int>(16, 0);
    std::vector<int> symbols;
    explicit Code(const std::vector<int> &lens) {
        for (int l : lens) count[l]++;
        count[0] = 0;
        std::vector<int> offs(16, 0);
        for (int l = 1; l < 16; l++) offs[l] = offs[l - 1] + count[l - 1];
        symbols.resize(lens.size());
        for (size_t s = 0; s < lens.size(); s++)
            if (lens[s]) symbols[offs[lens[s]]++] = static_cast<int>(s);
    }
    int decode(BitReader &br) const {
        int code = 0, first = 0, index = 0;
        for (int l = 1; l < 16; l++) {
            code |= br.get();
            if (code - first < count[l]) return symbols[index + code - first];
            index += count[l];
            first = (first + count[l]) << 1;
            code <<= 1;
        }
        throw std::runtime_error("bad code");
    }
};

const int kLenBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                          31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const int kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const int kDistBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                           33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                           1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const int kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                            6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

void read_codes(BitReader &br, const Code &lc, const Code &dc, Block &b) {
    for (;;) {
        int s = lc.decode(br);
        if (s < 256) {
            b.syms.push_back(lit(s));
        } else if (s == 256) {
            return;
        } else {
            s -= 257;
            if (s >= 29) throw std::runtime_error("bad length symbol");
            int len = kLenBase[s] + br.bits(kLenExtra[s]);
            int d = dc.decode(br);
            if (d >= 30) throw std::runtime_error("bad distance symbol");
            b.syms.push_back(match(len, kDistBase[d] + br.bits(kDistExtra[d])));
        }
    }
}

}  // namespace

std::vector<Block> parse_deflate(const std::string &data, size_t *end) {
    BitReader br(data);
    std::vector<Block> blocks;
    for (;;) {
        Block b;
        b.final = br.get();   // BFINAL: 1 bit
        b.type = br.bits(2);  // BTYPE: 2 bits
        if (b.type == 0) {
            br.align();
            if (br.pos + 4 > data.size()) throw std::runtime_error("short stored header");
            unsigned len = static_cast<unsigned char>(data[br.pos]) |
                           static_cast<unsigned char>(data[br.pos + 1]) << 8;
            unsigned nlen = static_cast<unsigned char>(data[br.pos + 2]) |
                            static_cast<unsigned char>(data[br.pos + 3]) << 8;
            if ((len ^ 0xffff) != nlen) throw std::runtime_error("bad NLEN");
            br.pos += 4;
            if (br.pos + len > data.size()) throw std::runtime_error("short stored data");
            b.stored = data.substr(br.pos, len);
            br.pos += len;
        } else if (b.type == 1) {
            std::vector<int> l(288), d(30, 5);
            for (int i = 0; i < 288; i++) l[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
            read_codes(br, Code(l), Code(d), b);
        } else if (b.type == 2) {
            int hlit = br.bits(5) + 257;  // HLIT: 5 bits
            int hdist = br.bits(5) + 1;   // HDIST: 5 bits
            b.hclen = br.bits(4) + 4;     // HCLEN: 4 bits
            static const int order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                          11, 4,  12, 3, 13, 2, 14, 1, 15};
            std::vector<int> cl(19, 0);
            for (int i = 0; i < b.hclen; i++) cl[order[i]] = br.bits(3);
            Code clc(cl);
            std::vector<int> lens;
            while (static_cast<int>(lens.size()) < hlit + hdist) {
                int s = clc.decode(br);
                int extra = 0;
                if (s < 16) {
                    lens.push_back(s);
                } else if (s == 16) {
                    if (lens.empty()) throw std::runtime_error("repeat without length");
                    extra = br.bits(2);
                    lens.insert(lens.end(), 3 + extra, lens.back());
                } else if (s == 17) {
                    extra = br.bits(3);
                    lens.insert(lens.end(), 3 + extra, 0);
                } else {
                    extra = br.bits(7);
                    lens.insert(lens.end(), 11 + extra, 0);
                }
                b.cl_symbols.push_back({s, extra});
            }
            if (static_cast<int>(lens.size()) != hlit + hdist)
                throw std::runtime_error("run crosses end");
            b.lit_lens.assign(lens.begin(), lens.begin() + hlit);
            b.dist_lens.assign(lens.begin() + hlit, lens.end());
            read_codes(br, Code(b.lit_lens), Code(b.dist_lens), b);
        } else {
            throw std::runtime_error("BTYPE 3");
        }
        blocks.push_back(b);
        if (b.final) break;
    }
    br.align();
    if (end) *end = br.pos;
    return blocks;
}

std::string expand(const std::vector<Block> &blocks) {
    std::string out;
    for (const auto &b : blocks) {
        out += b.stored;
        for (const auto &s : b.syms) {
            if (s.lit >= 0) {
                out.push_back(static_cast<char>(s.lit));
                continue;
            }
            if (s.dist > static_cast<int>(out.size())) throw std::runtime_error("distance too far");
            size_t from = out.size() - static_cast<size_t>(s.dist);
            for (int i = 0; i < s.len; i++) out.push_back(out[from + static_cast<size_t>(i)]);
        }
    }
    return out;
}

std::vector<Sym> all_syms(const std::vector<Block> &blocks) {
    std::vector<Sym> v;
    for (const auto &b : blocks) v.insert(v.end(), b.syms.begin(), b.syms.end());
    return v;
}

}  // namespace dt
