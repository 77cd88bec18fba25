// Fuzz target: the member header reader (get_method) on arbitrary bytes. The first byte
// picks the reader's mode (to_stdout, list, verbose, a later member); the rest is the input.
#include <unistd.h>

#include <cstring>

#include "gzip/gzip.h"
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    fuzz_reset_streams();
    const uint8_t mode = data[0];
    to_stdout = mode & 1;
    list = (mode >> 1) & 1;
    verbose = 0;  // messages would only slow the run; the same paths are taken
    if (mode & 4) part_nb = 1;
    ifd = fuzz_input_fd(0, data + 1, size - 1);

    jmp_buf env;
    kelpa_fuzz_abort = &env;
    volatile int m = -2;
    if (setjmp(env) == 0) m = get_method(ifd);
    kelpa_fuzz_abort = nullptr;

    // After a fatal exit the stream state no longer matters (the process would be gone).
    if (m != -2 && (inptr > insize || insize > INBUFSIZ)) __builtin_trap();
    // Whatever the stored name held, the output name is one terminated base name without
    // bytes the shell acts on.
    size_t n = strnlen(ofname, NAME_BUF_SIZE);
    if (n == NAME_BUF_SIZE || n == 0) __builtin_trap();
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(ofname[i]);
        if (c == '/' || c < 0x20 || c == 0x7f || strchr(" !\"#$&'()*;<>?[\\]`{|}~", c))
            __builtin_trap();
    }
    if (strcmp(ofname, ".") == 0 || strcmp(ofname, "..") == 0) __builtin_trap();
    if (m != -2 && m != -1 && m != CM_DEFLATE) __builtin_trap();
    if (m == CM_DEFLATE && part_nb == 1 && header_bytes != static_cast<long>(inptr) + 16)
        __builtin_trap();
    return 0;
}
