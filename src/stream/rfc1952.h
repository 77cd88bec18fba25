// gzip member format facts (RFC 1952 section 2.3), defined once for the member reader and
// writer, the listing and the encoder's XFL.
#pragma once

#include <cstdint>

// ID1, ID2, CM (RFC 1952 2.3.1).
inline constexpr uint8_t ID1 = 0x1f;
inline constexpr uint8_t ID2 = 0x8b;
inline constexpr uint8_t ID2_OLD = 0x9e;  // accepted on input and treated as ID2
inline constexpr uint8_t CM_DEFLATE = 8;
// FLG bits.
inline constexpr uint8_t FTEXT = 0x01;
inline constexpr uint8_t FHCRC = 0x02;  // read here as "a 2-byte part number follows OS"
inline constexpr uint8_t FEXTRA = 0x04;
inline constexpr uint8_t FNAME = 0x08;
inline constexpr uint8_t FCOMMENT = 0x10;
inline constexpr uint8_t FRESERVED = 0xe0;
// XFL for CM = 8: the slowest (2) or the fastest (4) algorithm was used.
inline constexpr uint8_t XFL_SLOW = 2;
inline constexpr uint8_t XFL_FAST = 4;
// OS.
inline constexpr uint8_t OS_UNIX = 3;
// The fixed part of a member header: ID1, ID2, CM, FLG, MTIME (4), XFL, OS.
inline constexpr unsigned HEADER_FIXED_SIZE = 10;
// The trailer: CRC32, then ISIZE (the input size modulo 2^32), 4 bytes each.
inline constexpr unsigned TRAILER_SIZE = 8;
inline constexpr unsigned TRAILER_ISIZE = 4;  // offset of ISIZE in the trailer

// Every multi-byte field is little-endian (RFC 1952 2.1).
inline unsigned long get_le16(const uint8_t *p) {
    return static_cast<unsigned long>(p[0]) | static_cast<unsigned long>(p[1]) << 8;
}
inline unsigned long get_le32(const uint8_t *p) {
    return get_le16(p) | get_le16(p + 2) << 16;
}
