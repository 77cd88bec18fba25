// Helpers of the encoder tests: in-process member writing, the gzip oracle and a
// symbol-level DEFLATE reader written from RFC 1951 section 3.2.
#include "deflate/deflate_test_util.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "common/test_util.h"
#include "deflate/deflate.h"
#include "gzip/gzip.h"

namespace dt {

namespace {

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

}  // namespace

std::string zip_member(const std::string &data, int lvl) {
    int in = memfd_with(data);
    int out = memfd_with("");
    strcpy(ifname, "in");
    bytes_in = 0;
    outcnt = 0;
    int saved = level;
    level = lvl;
    zip(in, out);
    level = saved;
    std::string member = read_all(out);
    close(in);
    close(out);
    return member;
}

std::string raw_deflate(const std::string &data, unsigned threads, size_t chunk_size,
                        uint64_t input_size) {
    int in = memfd_with(data);
    int out = memfd_with("");
    strcpy(ifname, "in");
    ifd = in;
    ofd = out;
    bytes_in = 0;
    outcnt = 0;
    updcrc(nullptr, 0);
    ush attr = 0, xfl = 0;
    int method = CM_DEFLATE;
    bi_init(out);
    read_buf = file_read;
    ct_init(&attr, &method);
    if (threads == 1) {
        lm_init(9, &xfl);
        deflate();
    } else {
        lm_config(9, &xfl);
        deflate_parallel(threads, chunk_size, input_size);
    }
    flush_outbuf();
    std::string raw = read_all(out);
    close(in);
    close(out);
    return raw;
}

std::string deflate_data(const std::string &member) {
    if (member.size() < 18) throw std::runtime_error("member too short");
    size_t at = 10;
    if (static_cast<unsigned char>(member[3]) & 0x08) at = member.find('\0', 10) + 1;
    return member.substr(at, member.size() - 8 - at);
}

std::string oracle_deflate(const std::string &data, int lvl) {
    kt::RunResult r = kt::run({"gzip", "-" + std::to_string(lvl), "-n", "-c"}, data);
    if (r.status != 0 || r.out.size() < 18) throw std::runtime_error("gzip failed: " + r.err);
    return r.out.substr(10, r.out.size() - 18);
}

Sym lit(int c) { return Sym{c, 0, 0}; }
Sym match(int len, int dist) { return Sym{-1, len, dist}; }

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
const int kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                           193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const int kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
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
        b.final = br.get();     // BFINAL: 1 bit
        b.type = br.bits(2);    // BTYPE: 2 bits
        if (b.type == 0) {
            br.align();
            if (br.pos + 4 > data.size()) throw std::runtime_error("short stored header");
            unsigned len = static_cast<unsigned char>(data[br.pos]) | static_cast<unsigned char>(data[br.pos + 1]) << 8;
            unsigned nlen = static_cast<unsigned char>(data[br.pos + 2]) | static_cast<unsigned char>(data[br.pos + 3]) << 8;
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
            static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
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
            if (static_cast<int>(lens.size()) != hlit + hdist) throw std::runtime_error("run crosses end");
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

uint32_t crc32_of(const std::string &data) {
    uint32_t c = 0xffffffffu;
    for (unsigned char b : data) {
        c ^= b;
        for (int k = 0; k < 8; k++) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
    }
    return c ^ 0xffffffffu;
}

uint32_t le32(const std::string &s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--) v = v << 8 | static_cast<unsigned char>(s[at + static_cast<size_t>(i)]);
    return v;
}

}  // namespace dt
