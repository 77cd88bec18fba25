// gzip stream layer: CRC-32 (RFC 1952 section 8; ISO 3309 / ITU-T V.42), the single
// process-wide register and its standard byte table (reflected polynomial 0xedb88320).
#include "gzip/gzip.h"

#include <array>

namespace {

constexpr std::array<ulg, 256> make_crc_table() {
    std::array<ulg, 256> t{};
    for (ulg n = 0; n < 256; n++) {
        ulg c = n;
        for (int k = 0; k < 8; k++) c = (c & 1) ? 0xedb88320UL ^ (c >> 1) : c >> 1;
        t[n] = c;
    }
    return t;
}

constexpr std::array<ulg, 256> kCrcTable = make_crc_table();
static_assert(kCrcTable[1] == 0x77073096UL && kCrcTable[128] == 0xedb88320UL);

ulg crc_register = 0xffffffffUL;  // running, not yet complemented

}  // namespace

const ulg crc_32_tab[256] = {
#define R(i) kCrcTable[i]
#define R8(i) R(i), R(i + 1), R(i + 2), R(i + 3), R(i + 4), R(i + 5), R(i + 6), R(i + 7)
#define R64(i) R8(i), R8(i + 8), R8(i + 16), R8(i + 24), R8(i + 32), R8(i + 40), R8(i + 48), R8(i + 56)
    R64(0), R64(64), R64(128), R64(192)
#undef R64
#undef R8
#undef R
};

ulg updcrc(const uch *s, unsigned n) {
    if (s == nullptr) {
        crc_register = 0xffffffffUL;
        return 0;
    }
    ulg c = crc_register;
    while (n--) c = crc_32_tab[(c ^ *s++) & 0xff] ^ (c >> 8);
    crc_register = c;
    return c ^ 0xffffffffUL;
}
