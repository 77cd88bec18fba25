// DEFLATE format facts (RFC 1951 section 3.2), defined once for the decoder and the encoder.
#pragma once

#include <cstdint>

// Block header (3.2.3): BFINAL, 1 bit; BTYPE, 2 bits (3 is reserved).
inline constexpr unsigned BTYPE_STORED = 0;
inline constexpr unsigned BTYPE_FIXED = 1;
inline constexpr unsigned BTYPE_DYNAMIC = 2;

// Matches (3.2.5): lengths 3..258 at distances 1..32768.
inline constexpr unsigned MIN_MATCH = 3;
inline constexpr unsigned MAX_MATCH = 258;
inline constexpr unsigned MAX_DISTANCE = 32768;

// Alphabets (3.2.5, 3.2.6, 3.2.7).
inline constexpr unsigned LITERALS = 256;  // literal bytes 0..255
inline constexpr unsigned END_BLOCK = 256;
inline constexpr unsigned LENGTH_CODES = 29;                      // symbols 257..285
inline constexpr unsigned L_CODES = LITERALS + 1 + LENGTH_CODES;  // 286: 257 + HLIT at most
inline constexpr unsigned D_CODES = 30;                           // 1 + HDIST at most
inline constexpr unsigned BL_CODES = 19;                          // 4 + HCLEN at most
inline constexpr unsigned FIXED_L_CODES = 288;  // the fixed code has lengths for 286, 287 too
inline constexpr unsigned MAX_BITS = 15;        // longest literal/length or distance code
inline constexpr unsigned MAX_BL_BITS = 7;      // longest code-length code
static_assert(L_CODES == 286 && FIXED_L_CODES == L_CODES + 2);

// Code-length code repeat symbols (3.2.7).
inline constexpr unsigned REP_3_6 = 16;      // previous length 3-6 times, 2 extra bits
inline constexpr unsigned REPZ_3_10 = 17;    // 3-10 zero lengths, 3 extra bits
inline constexpr unsigned REPZ_11_138 = 18;  // 11-138 zero lengths, 7 extra bits

// Length symbols 257..285 (3.2.5): base length and extra bits, by symbol - 257.
inline constexpr uint16_t LENGTH_BASE[LENGTH_CODES] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                                       15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                                       67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr uint8_t LENGTH_EXTRA[LENGTH_CODES] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                       2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
// Distance symbols 0..29 (3.2.5): base distance and extra bits.
inline constexpr uint16_t DIST_BASE[D_CODES] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr uint8_t DIST_EXTRA[D_CODES] = {0, 0, 0,  0,  1,  1,  2,  2,  3,  3,
                                                4, 4, 5,  5,  6,  6,  7,  7,  8,  8,
                                                9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// Order in which the code-length code's lengths are sent (3.2.7).
inline constexpr uint8_t CL_ORDER[BL_CODES] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                               11, 4,  12, 3, 13, 2, 14, 1, 15};
