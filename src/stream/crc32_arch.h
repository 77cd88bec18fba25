// Stream state: the seam between the portable CRC-32 (crc32.cpp, slicing by 8 bytes) and
// each architecture's fast path (crc32_x86.cpp, crc32_arm.cpp). A fast path takes a long
// head of the data and leaves the tail to the tables.
#pragma once

#include <cstddef>
#include <cstdint>

#include "stream/stream.h"

// The register c after s[0..n), by the tables. The fast paths end with it too.
uint32_t crc_slice8(uint32_t c, const uch *s, size_t n);

// Folding constants for carry-less multiplication (PCLMULQDQ on x86-64, PMULL on aarch64).
// With 16 input bytes loaded little-endian, bit j of the 128-bit lane is the coefficient of
// x^(127-j) of that chunk; a 64x64 carry-less product of two such halves lands one degree
// low, so folding a half by x^D multiplies it by x^(D-1) mod P, bit-reversed into 64 bits.
constexpr ulg xpow_mod_p(unsigned n) {
    ulg r = 1;  // x^0, normal bit order, degree < 32
    for (unsigned i = 0; i < n; i++) {
        r <<= 1;
        if (r & 0x100000000UL) r ^= 0x104c11db7UL;
    }
    return r;
}
constexpr ulg reverse64(ulg v) {
    ulg r = 0;
    for (int i = 0; i < 64; i++) r |= ((v >> i) & 1) << (63 - i);
    return r;
}
// Folding a 16-byte lane forward by 128, 512 or 1024 bits: its low half by Hi, its high half
// by Lo.
inline constexpr ulg kFold128Hi = reverse64(xpow_mod_p(128 + 64 - 1));  // low half, x^192
inline constexpr ulg kFold128Lo = reverse64(xpow_mod_p(128 - 1));       // high half, x^128
inline constexpr ulg kFold512Hi = reverse64(xpow_mod_p(512 + 64 - 1));
inline constexpr ulg kFold512Lo = reverse64(xpow_mod_p(512 - 1));
inline constexpr ulg kFold1024Hi = reverse64(xpow_mod_p(1024 + 64 - 1));
inline constexpr ulg kFold1024Lo = reverse64(xpow_mod_p(1024 - 1));

inline constexpr size_t kFoldBlock = 64;  // four 16-byte lanes folded in parallel
// Below this many bytes the table loop is as fast as setting up the folds.
inline constexpr size_t kFoldMin = 256;

// Updates *c over the longest head of s[0..n) that this CPU's fast path takes and returns
// its length: 0 when the CPU has none or n is too short to pay for it.
size_t crc_fast_head(uint32_t *c, const uch *s, size_t n);
