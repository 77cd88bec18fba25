// Test harness for the decoding side: resets the process-wide stream state the way a fresh
// extracting process has it, runs the header reader and member decoder over bytes in a
// file, and builds DEFLATE bit streams by hand.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "gzip/gzip_internal.h"

namespace kt {

// The names the decoder's messages carry in these tests.
inline char kProgname[] = "kelpa";
inline constexpr const char *kIfname = "in.gz";

// Stream state as an extracting process starts: empty buffers and counters, no header read.
inline void reset_stream_state() {
    clear_bufs();
    part_nb = 0;
    method = CM_DEFLATE;
    exit_code = 0;
    member_settings = {};
    time_stamp = 0;
    pkzip = ext_header = decrypt = 0;
    progname = kProgname;
    strcpy(ifname, kIfname);
    strcpy(ofname, "stdout");
    updcrc(nullptr, 0);
}

// Opens path for reading as the stream input (ifd) with empty buffers.
inline int open_input(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY);
    ifd = fd;
    return fd;
}

// Decodes the gzip member in `member` the way extraction does (get_method, then unzip)
// with output into out_path. Returns get_method's result; a fatal error ends the process
// (run it inside EXPECT_EXIT). The output file keeps whatever was written before.
inline int decode_member_to(const std::string &member, const std::string &in_path,
                            const std::string &out_path) {
    write_file(in_path, member);
    reset_stream_state();
    int in = open_input(in_path);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int m = get_method(in);
    if (m == CM_DEFLATE) unzip(in, out);
    close(in);
    close(out);
    return m;
}

// Decodes a member that must be valid and returns its output.
inline std::string decode_member(const std::string &member) {
    TempDir dir;
    decode_member_to(member, dir / "in.gz", dir / "out");
    return read_file(dir / "out");
}

// Little-endian field helpers for building members.
inline std::string le32(unsigned long v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; i++) s[i] = static_cast<char>((v >> (8 * i)) & 0xff);
    return s;
}

// The CRC-32 of data through the engine's own register (a fresh start).
inline unsigned long crc_of(const std::string &data) {
    updcrc(nullptr, 0);
    return updcrc(reinterpret_cast<const uch *>(data.data()), static_cast<unsigned>(data.size()));
}

// A minimal header (no name, MTIME 0, OS Unix) + deflate body + trailer for `plain`.
inline std::string wrap_member(const std::string &deflate_body, const std::string &plain) {
    std::string h("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
    return h + deflate_body + le32(crc_of(plain)) + le32(plain.size());
}

// Writes a DEFLATE bit stream: fields LSB first, Huffman codes MSB first (RFC 1951 3.1.1).
class BitWriter {
   public:
    BitWriter &bits(unsigned value, unsigned n) {
        for (unsigned i = 0; i < n; i++) push((value >> i) & 1);
        return *this;
    }
    BitWriter &code(unsigned code, unsigned len) {
        for (unsigned i = len; i-- > 0;) push((code >> i) & 1);
        return *this;
    }
    // Fixed-code literal/length symbol (RFC 1951 3.2.6).
    BitWriter &fixed_sym(unsigned sym) {
        if (sym < 144) return code(0x30 + sym, 8);
        if (sym < 256) return code(0x190 + sym - 144, 9);
        if (sym < 280) return code(sym - 256, 7);
        return code(0xc0 + sym - 280, 8);
    }
    BitWriter &align() {
        while (nbits_ % 8) push(0);
        return *this;
    }
    BitWriter &byte(unsigned b) { return align().bits(b, 8); }
    std::string str() const { return out_; }
    size_t bit_count() const { return nbits_; }

   private:
    void push(unsigned bit) {
        if (nbits_ % 8 == 0) out_.push_back('\0');
        if (bit) out_.back() = static_cast<char>(out_.back() | (1 << (nbits_ % 8)));
        nbits_++;
    }
    std::string out_;
    size_t nbits_ = 0;
};

}  // namespace kt
