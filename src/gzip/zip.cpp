// gzip members, the member writer: one gzip member per input file (header, DEFLATE data
// from the encoder, trailer) and the encoder's input routine. Owns the member's CRC.
// Member layout: RFC 1952 sections 2.2 and 2.3.1.
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "deflate/deflate.h"
#include "gzip/gzip.h"
#include "support/progress.h"

namespace {

ulg crc;  // CRC-32 of the member's input read so far, complemented

// A member below this size, one chunk at most, is compressed on one thread: there is nothing
// to split. From two chunks on, two threads are already faster (docs/performance.md).
inline constexpr long PARALLEL_MIN_INPUT = static_cast<long>(PARALLEL_CHUNK) + 1;

// KELPA_THREADS above this is refused: the encoder runs at most MAX_THREADS threads.
inline constexpr unsigned long THREADS_SETTING_MAX = MAX_THREADS;

// KELPA_THREADS as a number of threads: 1 to THREADS_SETTING_MAX, written in decimal digits
// alone (no sign, no blanks); 0 when it is anything else.
unsigned threads_setting(const char *env) {
    unsigned long n = 0;
    for (const char *c = env; *c; ++c) {
        if (*c < '0' || *c > '9') return 0;
        n = n * 10 + static_cast<unsigned long>(*c - '0');
        if (n > THREADS_SETTING_MAX) return 0;  // before it can overflow
    }
    return static_cast<unsigned>(n);
}

// Threads to compress with: KELPA_THREADS if it is set to a number of threads, else the CPUs
// this process may run on. Decided once per process, so a bad setting is reported once.
unsigned encoder_threads() {
    static unsigned decided = 0;
    if (decided != 0) return decided;
    if (const char *env = getenv("KELPA_THREADS"); env && *env) {
        decided = threads_setting(env);
        if (decided != 0) return decided;
        fprintf(stderr, "%s: ignoring KELPA_THREADS=%s: not a number from 1 to %lu\n", progname,
                env, THREADS_SETTING_MAX);
    }
    cpu_set_t cpus;
    int n = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
    decided = n < 1                               ? 1
              : n < static_cast<int>(MAX_THREADS) ? static_cast<unsigned>(n)
                                                  : MAX_THREADS;
    return decided;
}

// Threads for the input in: one unless it is a regular file of at least PARALLEL_MIN_INPUT
// bytes (*size: its size), and no more than its chunks.
unsigned member_threads(int in, uint64_t *size) {
    struct stat st;
    if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < PARALLEL_MIN_INPUT) return 1;
    *size = static_cast<uint64_t>(st.st_size);
    unsigned n = encoder_threads();
    long chunks =
        (st.st_size + static_cast<long>(PARALLEL_CHUNK) - 1) / static_cast<long>(PARALLEL_CHUNK);
    return chunks < n ? static_cast<unsigned>(chunks) : n;
}

}  // namespace

size_t member_header(uch *buf, size_t size, const char *name) {
    ush xfl = 0;
    lm_config(level, &xfl);  // the XFL of the level every member is written at
    const size_t name_len = save_orig_name ? strlen(name) + 1 : 0;
    if (size < HEADER_FIXED_SIZE + name_len) return 0;
    buf[0] = ID1;
    buf[1] = ID2;
    buf[2] = CM_DEFLATE;
    buf[3] = save_orig_name ? FNAME : 0;  // FLG
    for (unsigned i = 0; i < 4; ++i)      // MTIME: 4 bytes little-endian
        buf[4 + i] = static_cast<uch>((static_cast<ulg>(time_stamp) >> (8 * i)) & 0xff);
    buf[8] = static_cast<uch>(xfl);                   // XFL
    buf[9] = OS_UNIX;                                 // OS
    memcpy(buf + HEADER_FIXED_SIZE, name, name_len);  // FNAME, with its NUL
    return HEADER_FIXED_SIZE + name_len;
}

int zip(int in, int out) {
    ush attr = 0;  // binary: no text classification

    ifd = in;
    ofd = out;
    method = CM_DEFLATE;

    crc = updcrc(nullptr, 0);
    bi_init(out);
    read_buf = file_read;
    ct_init(&attr, &method);
    // The header goes straight into the empty outbuf, which holds the longest one; forming it
    // also sets the encoder's level (lm_config), which the encoder reads when it starts.
    static_assert(MEMBER_HEADER_MAX <= OUTBUFSIZ);
    outcnt = static_cast<unsigned>(member_header(outbuf, OUTBUFSIZ, gz_basename(ifname)));
    if (outcnt == 0) error("file name too long");  // ifname holds less than NAME_BUF_SIZE

    uint64_t size = 0;
    const unsigned threads = member_threads(in, &size);
    deflate_parallel(threads, PARALLEL_CHUNK, size);

    put_output_long(crc);                         // CRC32
    put_output_long(static_cast<ulg>(bytes_in));  // ISIZE: running total, modulo 2^32
    flush_outbuf();
    return 0;
}

int file_read(char *buf, unsigned size) {
    // Fills the request unless the input ends first: the encoder's window then moves at the
    // same places whatever sizes a pipe delivers, so the member's bytes depend on the input
    // alone (and the parallel encoder, which reads ahead, writes the same ones).
    unsigned got = 0;
    while (got < size) {
        ssize_t len;
        do len = read(ifd, buf + got, size - got);
        while (len < 0 && errno == EINTR);
        // A read error must not pass for the end of the input: the member would hold a
        // silently truncated file with a trailer that matches the truncation.
        if (len < 0) read_error();
        if (len == 0) break;
        got += static_cast<unsigned>(len);
    }
    crc = updcrc(reinterpret_cast<uch *>(buf), got);
    bytes_in += got;
    progress_tick(static_cast<unsigned long>(bytes_in));
    return static_cast<int>(got);
}
