// Fuzz target: the encoder against the plain match finder of the tests, which walks each hash
// chain candidate by candidate; both must write the same DEFLATE data. The first byte picks
// the level, the input routine's piece size, and whether the rest is the input itself or a
// program for generate (a full window and a quarter: one slide, ends anywhere in a full
// window, and quick enough to fuzz), which reaches the hard places from a few bytes.
#include <algorithm>
#include <cstdint>
#include <string>

#include "deflate/deflate_internal.h"
#include "deflate/plain_deflate.h"
#include "generate.h"
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const unsigned sel = data[0];
    static const unsigned chunks[] = {0, 0, 0, 0, 1, 7, 300, 40000};
    const int lvl = sel & 2 ? 9 : 1 + static_cast<int>((sel >> 2) & 7);
    const unsigned chunk = chunks[sel >> 5];
    std::string input = sel & 1 ? generate(data + 1, size - 1, 2 * WSIZE + WSIZE / 4)
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
