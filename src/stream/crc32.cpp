// Stream state: CRC-32 (RFC 1952 section 8; ISO 3309 / ITU-T V.42), the single
// process-wide register and its standard byte table (reflected polynomial 0xedb88320).
// Long runs take the CPU's own path (crc32_arch.h), the rest slicing by 8 bytes: with one
// lookup per byte the CRC took 62% of the time to decode a header tarball.
#include <array>
#include <cstdint>
#include <cstring>

#include "stream/crc32_arch.h"
#include "stream/stream.h"

namespace {

// The register after the byte b, from zero: eight steps of division by the polynomial.
constexpr uint32_t crc_of_byte(uint32_t b) {
    for (int k = 0; k < 8; k++) b = (b & 1) ? 0xedb88320U ^ (b >> 1) : b >> 1;
    return b;
}

constexpr std::array<ulg, 256> make_crc_table() {
    std::array<ulg, 256> t{};
    for (unsigned n = 0; n < 256; n++) t[n] = crc_of_byte(n);
    return t;
}

constexpr std::array<ulg, 256> kCrcTable = make_crc_table();
static_assert(kCrcTable[1] == 0x77073096UL && kCrcTable[128] == 0xedb88320UL);

// Slicing tables: slice[k][b] is the register after byte b followed by k zero bytes. Built
// before main (a few thousand table steps) instead of stored, which would put 8 KiB more
// into every archive's stub.
using SliceTables = std::array<std::array<uint32_t, 256>, 8>;
SliceTables slice;

[[gnu::constructor]] void build_slice_tables() {
    for (unsigned b = 0; b < 256; b++) slice[0][b] = crc_of_byte(b);
    for (unsigned k = 1; k < 8; k++)
        for (unsigned b = 0; b < 256; b++)
            slice[k][b] = (slice[k - 1][b] >> 8) ^ slice[0][slice[k - 1][b] & 0xff];
}

ulg crc_register = 0xffffffffUL;  // running, not yet complemented

}  // namespace

const std::array<ulg, 256> crc_32_tab = kCrcTable;

namespace {

inline uint32_t crc_bytes(uint32_t c, const uch *s, size_t n) {
    while (n--) c = slice[0][(c ^ *s++) & 0xff] ^ (c >> 8);
    return c;
}

}  // namespace

// Eight bytes per step through eight tables instead of eight dependent lookups.
uint32_t crc_slice8(uint32_t c, const uch *s, size_t n) {
    while (n >= 8) {
        uint32_t lo, hi;
        memcpy(&lo, s, 4);
        memcpy(&hi, s + 4, 4);
        lo ^= c;
        c = slice[7][lo & 0xff] ^ slice[6][(lo >> 8) & 0xff] ^ slice[5][(lo >> 16) & 0xff] ^
            slice[4][lo >> 24] ^ slice[3][hi & 0xff] ^ slice[2][(hi >> 8) & 0xff] ^
            slice[1][(hi >> 16) & 0xff] ^ slice[0][hi >> 24];
        s += 8;
        n -= 8;
    }
    return crc_bytes(c, s, n);
}

#if !defined(__x86_64__) && !defined(__aarch64__)
size_t crc_fast_head(uint32_t *, const uch *, size_t) {
    return 0;
}  // no fast path here
#endif

// Exposed for tests: the portable path alone, whatever the CPU.
ulg crc32_portable(ulg c, const uch *s, unsigned n) {
    return crc_slice8(static_cast<uint32_t>(c), s, n);
}

namespace {

// One register update over s[0..n): the CPU's fast path takes the head it can, the tables
// the rest.
uint32_t crc_update(uint32_t c, const uch *s, size_t n) {
    const size_t head = crc_fast_head(&c, s, n);
    return crc_slice8(c, s + head, n - head);
}

}  // namespace

ulg updcrc(const uch *s, unsigned n) {
    if (s == nullptr) {
        crc_register = 0xffffffffUL;
        return 0;
    }
    uint32_t c = crc_update(static_cast<uint32_t>(crc_register), s, n);
    crc_register = c;
    return c ^ 0xffffffffUL;
}

uint32_t crc32_of(uint32_t crc, const void *p, size_t n) {
    return crc_update(crc ^ 0xffffffffU, static_cast<const uch *>(p), n) ^ 0xffffffffU;
}
