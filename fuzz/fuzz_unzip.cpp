// Fuzz target: one whole member as extraction reads it: get_method, then unzip into an
// in-memory file. A member that unzip accepts must hold exactly what its trailer says: the
// output is checked against the trailer's CRC-32 and length on an independent CRC path.
#include <cstdlib>

#include "gzip/gzip.h"
#include "harness.h"

namespace {

// Largest output checked byte for byte; longer outputs are only length-checked. Inputs of a
// few KB (the fuzzer's usual lengths) expand to at most 258 bytes per 2 bits of input, so
// this covers nearly every run.
constexpr size_t CHECK_CAP = 1u << 22;
uint8_t out_copy[CHECK_CAP];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_reset_streams();
    ifd = fuzz_input_fd(0, data, size);
    int out = fuzz_output_fd(0);

    jmp_buf env;
    kelpa_fuzz_abort = &env;
    volatile int m = -2, res = -1;
    fuzz_track_begin();
    if (setjmp(env) == 0) {
        m = get_method(ifd);
        if (m == CM_DEFLATE) res = unzip(ifd, out);
    }
    size_t left = fuzz_track_end();
    kelpa_fuzz_abort = nullptr;

    if (res >= 0 && left != 0) __builtin_trap();
    if (res != 0) return 0;  // refused, or a fatal exit (after which the state is moot)
    if (inptr > insize || insize > INBUFSIZ) __builtin_trap();

    // Accepted: the trailer follows the DEFLATE data directly (inptr stands after it).
    if (inptr < 8) return 0;  // trailer split across fills: covered by the length check
    size_t n = fuzz_output_read(0, out_copy, CHECK_CAP);
    if (static_cast<long>(n) != bytes_out) __builtin_trap();
    const uch *t = inbuf + inptr - 8;
    ulg want_crc = t[0] | t[1] << 8 | t[2] << 16 | static_cast<ulg>(t[3]) << 24;
    ulg want_len = t[4] | t[5] << 8 | t[6] << 16 | static_cast<ulg>(t[7]) << 24;
    if (want_len != (n & 0xffffffffUL)) __builtin_trap();
    if (n <= CHECK_CAP && (crc32_portable(0xffffffffUL, out_copy, static_cast<unsigned>(n)) ^
                           0xffffffffUL) != want_crc)
        __builtin_trap();
    return 0;
}
