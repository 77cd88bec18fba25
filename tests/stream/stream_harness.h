// Test harness for the stream layer and the layers over it: resets the process-wide stream
// state the way a fresh process has it, opens input files as the stream's input, and builds
// DEFLATE bit streams by hand.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "common/test_util.h"
#include "stream/stream.h"

namespace kt {

// The names the stream's messages carry in these tests.
inline char kProgname[] = "kelpa";
inline constexpr const char *kIfname = "in.gz";

// Stream state as a process starts: empty buffers and counters, a fresh CRC register.
inline void reset_stream_state() {
    clear_bufs();
    exit_code = 0;
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
