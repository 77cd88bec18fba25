// Input generator of the encoder's fuzz targets: a few bytes of program reach the places
// where the match finder and the block ends are hard.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "deflate/deflate_internal.h"

// An input from a program of 4-byte steps (op, 16-bit x, y): noise, copies from any distance
// or about the largest, padding to any position of the window's half, a unit repeated into
// maximal matches, or one 3-byte string many times over (a long chain); at most cap bytes.
inline std::string generate(const uint8_t *program, size_t size, size_t cap) {
    std::string out;
    // Few letters make long chains of short matches everywhere, slow to walk one by one.
    static const unsigned letters[] = {16, 26, 256, 256};
    uint32_t rng = 1;
    auto noise = [&](size_t n, unsigned alphabet) {
        for (size_t i = 0; i < n && out.size() < cap; i++) {
            rng ^= rng << 13, rng ^= rng >> 17, rng ^= rng << 5;
            out += static_cast<char>(alphabet == 256 ? rng >> 24 : 'a' + (rng >> 8) % alphabet);
        }
    };
    for (size_t at = 0; at + 4 <= size && out.size() < cap; at += 4) {
        const unsigned x = program[at + 1] | program[at + 2] << 8, y = program[at + 3];
        rng = rng * 31 + x + 1;
        switch (program[at] % 5) {
            case 0:  // bytes with few or many repeats
                noise(x % 4096 + 1, letters[y & 3]);
                break;
            case 1: {  // a copy from any distance, or one about the largest
                size_t dist = y & 0x80 ? FARTHEST_MATCH_DIST + 1 - (y & 7)
                                       : 1 + x % std::max<size_t>(out.size(), 1);
                size_t len = y & 0x80 ? 3 + x % 256 : 3 + (y & 0x7f);
                if (dist > out.size()) break;
                for (size_t i = 0; i < len && out.size() < cap; i++) out += out[out.size() - dist];
                break;
            }
            case 2:  // zeros or noise up to a chosen position in the window's half
                while (out.size() % WSIZE != x % WSIZE && out.size() < cap)
                    y & 1 ? noise(1, 256) : out.push_back('\0');
                break;
            case 3: {  // a unit repeated: maximal matches, crossing whatever lies ahead
                size_t unit = std::min<size_t>(x % 512 + 1, out.size());
                for (size_t i = 0; unit && i < (y + 1) * MAX_MATCH && out.size() < cap; i++)
                    out += out[out.size() - unit];
                break;
            }
            default:  // one 3-byte string many times with other bytes after it: a long chain
                for (unsigned i = 0; i <= x % 6000 && out.size() < cap; i++) {
                    out += static_cast<char>(y);
                    out += "\x01\x02";
                    noise(1 + i % 2, 256);
                }
                break;
        }
    }
    return out;
}
