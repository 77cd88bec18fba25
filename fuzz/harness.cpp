// Fuzz harness support: scratch and in-memory files, stream-state reset between runs and
// tracking of heap blocks left behind by a run.
#include "harness.h"

#include <fcntl.h>
#include <sanitizer/allocator_interface.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/kelpa.h"
#include "gzip/gzip_internal.h"

namespace {

void write_all(int fd, const uint8_t *data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) abort();
        done += static_cast<size_t>(n);
    }
}

constexpr int SLOTS = 4;
int slot_fd[2][SLOTS] = {{-1, -1, -1, -1}, {-1, -1, -1, -1}};

int slot(int kind, int i) {
    if (i < 0 || i >= SLOTS) abort();
    if (slot_fd[kind][i] < 0) {
        slot_fd[kind][i] = memfd_create("kelpa-fuzz", 0);
        if (slot_fd[kind][i] < 0) abort();
    }
    int fd = slot_fd[kind][i];
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) abort();
    return fd;
}

// Live blocks recorded while tracking. The decoder holds at most three table sets at once;
// the largest is an incomplete distance code whose unused code space becomes dummy codes:
// with one 7-bit and one 15-bit code the level-0 width becomes 7, and 128 tables of 7 bits
// each get 128 tables of 1 bit below them, 16384 blocks in all (refused afterwards, but
// built first); a literal/length set has at most 1 + 1024 and the code-length set 1. The
// environment a feature list builds holds at most one block per item of two characters.
constexpr size_t MAX_TRACKED = 32768;
void *tracked[MAX_TRACKED];
size_t n_tracked;
// Per thread: libFuzzer's own threads (the memory watchdog) allocate and free at any time,
// and only the thread running the target may touch the record.
thread_local bool tracking;
// More live blocks than that: the run is reported by fuzz_track_end (a trap inside the hook
// would stop libFuzzer from saving the input).
bool overflowed;

void on_malloc(const volatile void *p, size_t) {
    if (!tracking) return;
    if (n_tracked == MAX_TRACKED) {
        overflowed = true;
        return;
    }
    tracked[n_tracked++] = const_cast<void *>(p);
}

void on_free(const volatile void *p) {
    if (!tracking) return;
    // Table sets are released in allocation order: searching from the front finds each
    // block at once.
    for (size_t i = 0; i < n_tracked; ++i) {
        if (tracked[i] == p) {
            tracked[i] = tracked[--n_tracked];
            return;
        }
    }
}

}  // namespace

const char *fuzz_scratch_file(const uint8_t *data, size_t size) {
    static char path[64];
    if (!path[0]) snprintf(path, sizeof path, "/tmp/kelpa-fuzz-%d.bin", static_cast<int>(getpid()));
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0755);
    if (fd < 0) abort();
    write_all(fd, data, size);
    close(fd);
    chmod(path, 0755);
    return path;
}

int fuzz_input_fd(int i, const uint8_t *data, size_t size) {
    int fd = slot(0, i);
    write_all(fd, data, size);
    if (lseek(fd, 0, SEEK_SET) != 0) abort();
    return fd;
}

int fuzz_output_fd(int i) {
    return slot(1, i);
}

size_t fuzz_output_size(int i) {
    struct stat st;
    if (fstat(slot_fd[1][i], &st) != 0) abort();
    return static_cast<size_t>(st.st_size);
}

size_t fuzz_output_read(int i, uint8_t *buf, size_t cap) {
    size_t size = fuzz_output_size(i);
    size_t want = size < cap ? size : cap;
    if (pread(slot_fd[1][i], buf, want, 0) != static_cast<ssize_t>(want)) abort();
    return size;
}

int fuzz_null_fd() {
    static int fd = -1;
    if (fd < 0) fd = open("/dev/null", O_WRONLY);
    if (fd < 0) abort();
    return fd;
}

void fuzz_reset_streams() {
    clear_bufs();
    part_nb = 0;
    method = 8;
    exit_code = 0;
    to_stdout = 0;
    list = 0;
    verbose = 0;
    time_stamp = 0;
    pkzip = ext_header = decrypt = 0;
    static char name[] = "kelpa";
    progname = name;
    strcpy(ifname, "fuzz-input");
    strcpy(ofname, "stdout");
    updcrc(nullptr, 0);
}

void fuzz_track_begin() {
    static bool installed;
    if (!installed) {
        if (!__sanitizer_install_malloc_and_free_hooks(on_malloc, on_free)) abort();
        installed = true;
    }
    n_tracked = 0;
    overflowed = false;
    tracking = true;
}

size_t fuzz_track_end() {
    tracking = false;
    size_t left = n_tracked;
    for (size_t i = 0; i < left; ++i) free(tracked[i]);
    n_tracked = 0;
    if (overflowed) __builtin_trap();  // a run that holds this many blocks is a finding
    return left;
}
