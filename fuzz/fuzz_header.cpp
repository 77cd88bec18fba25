// Fuzz target: the member header reader (get_method) on arbitrary bytes, and the extraction
// driver's treatment of the stored name. The first byte picks the reader's mode (to_stdout,
// list, a later member); the rest is the input.
#include <unistd.h>

#include <cctype>
#include <cstring>

#include "driver/kelpa.h"
#include "gzip/gzip.h"
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    fuzz_reset_streams();
    const uint8_t mode = data[0];
    // verbose off: messages would only slow the run; the same paths are taken.
    member_settings = {mode & 1, (mode >> 1) & 1, 0};
    if (mode & 4) part_nb = 1;
    ifd = fuzz_input_fd(0, data + 1, size - 1);

    jmp_buf env;
    kelpa_fuzz_abort = &env;
    volatile int m = -2;
    if (setjmp(env) == 0) m = get_method(ifd);
    kelpa_fuzz_abort = nullptr;

    // After a fatal exit the stream state no longer matters (the process would be gone).
    if (m != -2 && (inptr > insize || insize > INBUFSIZ)) __builtin_trap();
    // Whatever the stored name held, the output name is one terminated string, and the
    // extraction driver's make_safe_name turns it into a plain base name of bytes the shell
    // takes literally, or refuses it.
    size_t n = strnlen(ofname, NAME_BUF_SIZE);
    if (n == NAME_BUF_SIZE) __builtin_trap();
    char safe[NAME_BUF_SIZE];
    memcpy(safe, ofname, n + 1);
    if (make_safe_name(safe) >= 0) {
        if (safe[0] == '\0' || safe[0] == '-' || strcmp(safe, ".") == 0 || strcmp(safe, "..") == 0)
            __builtin_trap();
        for (const char *p = safe; *p; ++p) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (c < 0x80 && !isalnum(c) && !strchr("._+,@%=:-", c)) __builtin_trap();
        }
    }
    if (m != -2 && m != -1 && m != CM_DEFLATE) __builtin_trap();
    if (m == CM_DEFLATE && part_nb == 1 && header_bytes != static_cast<long>(inptr) + 16)
        __builtin_trap();
    return 0;
}
