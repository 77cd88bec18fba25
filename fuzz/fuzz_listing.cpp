// Fuzz target: listing (-l) of an arbitrary file: preamble, member header and the trailer
// read from the end of the file. The first byte sets verbose (method, CRC and date column)
// with bit 0 and, with bit 1, a KELPA_VERIFY_KEY: the key of the seed corpus's signed
// archives, whose signature is then parsed, hashed and verified.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

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
    if (data[0] & 2)
        setenv("KELPA_VERIFY_KEY",
               "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIE5FXOP0TMpqglRUBJCmo0krnyLhQFEkKB/W8r/KokWp",
               1);
    else
        unsetenv("KELPA_VERIFY_KEY");
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
