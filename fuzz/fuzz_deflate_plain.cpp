// Fuzz target: the encoder against the plain match finder of the tests, which walks each hash
// chain candidate by candidate; both must write the same DEFLATE data. The first byte picks
// the level, the input routine's piece size, and whether the rest is the input itself or a
// program for generate, which reaches the hard places from a few bytes.
#include <algorithm>
#include <cstdint>
#include <string>

#include "deflate/deflate_internal.h"
#include "deflate/plain_deflate.h"
#include "harness.h"

namespace {

// An input from a program of 4-byte steps (op, 16-bit x, y): noise, copies from any distance
// or about the largest, padding to any position of the window's half, a unit repeated into
// maximal matches, or one 3-byte string many times over (a long chain).
std::string generate(const uint8_t *program, size_t size) {
    // A full window and a quarter: one slide, ends anywhere in a full window, and quick
    // enough to fuzz.
    const size_t cap = 2 * WSIZE + WSIZE / 4;
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
                size_t dist =
                    y & 0x80 ? MAX_DIST + 1 - (y & 7) : 1 + x % std::max<size_t>(out.size(), 1);
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const unsigned sel = data[0];
    static const unsigned chunks[] = {0, 0, 0, 0, 1, 7, 300, 40000};
    const int lvl = sel & 2 ? 9 : 1 + static_cast<int>((sel >> 2) & 7);
    const unsigned chunk = chunks[sel >> 5];
    std::string input = sel & 1 ? generate(data + 1, size - 1)
                                : std::string(reinterpret_cast<const char *>(data) + 1, size - 1);
    jmp_buf env;
    kelpa_fuzz_abort = &env;
    if (setjmp(env) != 0) __builtin_trap();  // nothing on this path may fail
    fuzz_reset_streams();
    const auto *in = reinterpret_cast<const uint8_t *>(input.data());
    if (plain::deflate_raw(in, input.size(), lvl, false, chunk) !=
        plain::deflate_raw(in, input.size(), lvl, true, chunk))
        __builtin_trap();
    kelpa_fuzz_abort = nullptr;
    return 0;
}
