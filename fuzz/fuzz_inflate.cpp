// Fuzz target: the DEFLATE decoder (inflate) on arbitrary raw streams, output discarded.
// Checks that no table set outlives a run that returns, and frees the sets that the
// end-of-input exit leaves behind (in the real process that exit ends everything).
#include "gzip/gzip.h"
#include "harness.h"
#include "inflate/inflate_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_reset_streams();
    ifd = fuzz_input_fd(0, data, size);
    ofd = fuzz_null_fd();

    jmp_buf env;
    kelpa_fuzz_abort = &env;
    volatile int res = -1;
    fuzz_track_begin();
    if (setjmp(env) == 0) res = inflate();
    size_t left = fuzz_track_end();
    kelpa_fuzz_abort = nullptr;

    if (res >= 0 && left != 0) __builtin_trap();  // a returning path leaked decoding tables
    if (res < -1 || res > 3) __builtin_trap();
    if (res >= 0 && (inptr > insize || insize > INBUFSIZ)) __builtin_trap();
    if (res == 0 && outcnt != 0) __builtin_trap();  // a finished stream is fully flushed
    return 0;
}
