// Fuzz target: the preamble locator on arbitrary files (marker scan, four strings, offsets).
#include <unistd.h>

#include <cstring>
#include <initializer_list>

#include "driver/kelpa.h"
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_reset_streams();
    const char *path = fuzz_scratch_file(data, size);
    int fd = find_preamble(path);
    if (fd >= 0) {
        // Whatever the file held, every string is terminated inside its buffer and the
        // descriptor stands at preamble_end.
        for (const char *s : {features, comment, run_program, pipe_program})
            if (strnlen(s, PREAMBLE_STR_SIZE) == PREAMBLE_STR_SIZE) __builtin_trap();
        if (lseek(fd, 0, SEEK_CUR) != preamble_end) __builtin_trap();
        if (preamble_end > static_cast<long>(size)) __builtin_trap();
        close(fd);
    }
    return 0;
}
