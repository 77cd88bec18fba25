// Stream state: the seam between the portable CRC-32 (crc32.cpp, slicing by 8 bytes) and
// each architecture's fast path (crc32_x86.cpp, crc32_arm.cpp). A fast path takes a long
// head of the data and leaves the tail to the tables.
#pragma once

#include <cstddef>
#include <cstdint>

#include "stream/stream.h"

// The register c after s[0..n), by the tables. The fast paths end with it too.
uint32_t crc_slice8(uint32_t c, const uch *s, size_t n);

// Updates *c over the longest head of s[0..n) that this CPU's fast path takes and returns
// its length: 0 when the CPU has none or n is too short to pay for it.
size_t crc_fast_head(uint32_t *c, const uch *s, size_t n);
