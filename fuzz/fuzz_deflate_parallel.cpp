// Fuzz target: the parallel encoder against the sequential one; both must write the same
// DEFLATE data. The first byte picks the thread count, the chunk size, the input's size the
// parallel encoder is told (none, the right one, too small or too large) and whether the
// rest is the input itself or a program for generate (up to seven windows: chunk ends in
// runs of matches, zeros, long chains and block ends).
#include <cstdint>
#include <string>

#include "deflate/deflate_internal.h"
#include "deflate/plain_deflate.h"
#include "generate.h"
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const unsigned sel = data[0];
    const unsigned threads = 2 + (sel & 3);
    const size_t chunk = (2 + ((sel >> 2) & 1)) * WSIZE;
    std::string input = sel & 0x80 ? std::string(reinterpret_cast<const char *>(data) + 1, size - 1)
                                   : generate(data + 1, size - 1, 7 * WSIZE);
    jmp_buf env;
    kelpa_fuzz_abort = &env;
    if (setjmp(env) != 0) __builtin_trap();  // nothing on this path may fail
    fuzz_reset_streams();
    const auto *in = reinterpret_cast<const uint8_t *>(input.data());
    const uint64_t told[4] = {0, input.size(), input.size() / 2, input.size() * 2};
    if (plain::deflate_raw(in, input.size(), 9, false) !=
        plain::deflate_raw_parallel(in, input.size(), threads, chunk, told[(sel >> 3) & 3]))
        __builtin_trap();
    kelpa_fuzz_abort = nullptr;
    return 0;
}
