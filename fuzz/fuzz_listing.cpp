// Fuzz target: listing (-l) of an arbitrary file: preamble, member header and the trailer
// read from the end of the file. The first byte sets verbose (method, CRC and date column).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "driver/kelpa.h"
#include "gzip/gzip.h"
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet;
    if (!quiet) {
        // The listing goes to standard output; libFuzzer reports on standard error.
        fflush(stdout);
        dup2(fuzz_null_fd(), STDOUT_FILENO);
        quiet = true;
    }
    if (size == 0) return 0;
    fuzz_reset_streams();
    features[0] = comment[0] = run_program[0] = pipe_program[0] = '\0';
    verbose = data[0] & 1;
    const char *path = fuzz_scratch_file(data + 1, size - 1);

    jmp_buf env;
    kelpa_fuzz_abort = &env;
    // A fatal exit leaves the archive open (the real process ends there); do_list set ifd
    // to it before anything that can fail.
    if (setjmp(env) == 0)
        do_list(path);
    else
        close(ifd);
    kelpa_fuzz_abort = nullptr;
    verbose = 0;
    fflush(stdout);
    return 0;
}
