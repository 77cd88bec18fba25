// Fuzz target: the encoder on arbitrary bytes. Each input is compressed into a member
// through zip, decoded again with get_method and unzip, and compared with the input; a
// second compression must give the same member byte for byte (an archive depends on its
// input alone).
#include <cstdlib>
#include <cstring>

#include "gzip/gzip.h"
#include "harness.h"

namespace {

// The fuzzer's inputs stay far below this (-max_len); the member of n bytes is at most
// n + n/16384 * 5 + a header and trailer of a few dozen bytes.
constexpr size_t CAP = 1u << 20;
uint8_t member1[CAP], member2[CAP], decoded[CAP];

size_t compress_once(const uint8_t *data, size_t size, int out_slot, uint8_t *member) {
    fuzz_reset_streams();
    strcpy(ifname, "dir/fuzz.bin");  // the member stores the base name
    save_orig_name = 1;
    time_stamp = 0x5eed;
    int in = fuzz_input_fd(1, data, size);
    int out = fuzz_output_fd(out_slot);
    zip(in, out);
    size_t n = fuzz_output_read(out_slot, member, CAP);
    if (n > CAP) __builtin_trap();
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > CAP / 2) return 0;
    jmp_buf env;
    kelpa_fuzz_abort = &env;
    if (setjmp(env) != 0) __builtin_trap();  // nothing on this path may fail

    size_t n1 = compress_once(data, size, 0, member1);

    fuzz_reset_streams();
    ifd = fuzz_input_fd(0, member1, n1);
    int out = fuzz_output_fd(1);
    fuzz_track_begin();
    if (get_method(ifd) != CM_DEFLATE) __builtin_trap();
    if (strcmp(ofname, "fuzz.bin") != 0 || time_stamp != 0x5eed) __builtin_trap();
    if (unzip(ifd, out) != 0) __builtin_trap();
    if (fuzz_track_end() != 0) __builtin_trap();
    // The member ends exactly after its trailer.
    if (bytes_in - static_cast<long>(insize) + static_cast<long>(inptr) != static_cast<long>(n1))
        __builtin_trap();
    size_t dn = fuzz_output_read(1, decoded, CAP);
    if (dn != size || (size && memcmp(decoded, data, size) != 0)) __builtin_trap();

    size_t n2 = compress_once(data, size, 2, member2);
    if (n2 != n1 || memcmp(member1, member2, n1) != 0) __builtin_trap();
    kelpa_fuzz_abort = nullptr;
    return 0;
}
