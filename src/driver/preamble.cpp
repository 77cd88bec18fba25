// Archive driver: archive layout and preamble locator. Owns the four preamble strings,
// preamble_end, the marker array eop and find_program's result buffer.
// Layout: stub, the 11 marker bytes, four NUL-terminated strings (features, comment,
// run_program, pipe_program), then the payload.
#include "driver/kelpa.h"

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "gzip/gzip.h"

char features[PREAMBLE_STR_SIZE];
char comment[PREAMBLE_STR_SIZE];
char run_program[PREAMBLE_STR_SIZE];
char pipe_program[PREAMBLE_STR_SIZE];
long preamble_start;
long preamble_end;
char eop[EOP_SIZE];

namespace {

char program_path[PROGRAM_PATH_SIZE];
// The kernel's link to the executable file of the running process.
constexpr const char kOwnFileLink[] = "/proc/self/exe";
char scan_buf[MARKER_SCAN_SIZE];

// Copies src into program_path; false when it does not fit.
bool set_program_path(const char *src) {
    size_t n = strlen(src);
    if (n >= PROGRAM_PATH_SIZE) return false;
    memcpy(program_path, src, n + 1);
    return true;
}

// Reads one NUL-terminated preamble string one byte at a time. A read that returns no byte
// ends the string (the file ended inside the preamble). Returns false when the string is
// longer than PREAMBLE_STR_SIZE - 1 bytes: only a damaged or foreign file has one, and
// cutting it would shift every later string and could change what command runs.
bool read_preamble_string(int fd, char *dst) {
    size_t n = 0;
    for (;;) {
        char c;
        if (read(fd, &c, 1) != 1) break;
        if (c == '\0') break;
        if (n == PREAMBLE_STR_SIZE - 1) return false;
        dst[n++] = c;
    }
    dst[n] = '\0';
    return true;
}

}  // namespace

// The marker is written one byte at a time through a volatile pointer so the compiler can
// neither keep it as a constant nor merge the stores into one wide immediate: a copy of
// this program used as a stub must not contain the marker.
void get_eop() {
    volatile char *e = eop;
    e[0] = 'k';
    e[1] = 'e';
    e[2] = 'l';
    e[3] = 'p';
    e[4] = 'a';
    e[5] = '+';
    e[6] = 'm';
    e[7] = 'a';
    e[8] = 'g';
    e[9] = 'i';
    e[10] = 'k';
}

// A bare name is looked up on PATH alone, as the kernel's exec of a bare name would be: a
// file of that name in the current directory must not stand in for the program. A name with
// a '/' is a path and is taken as it stands. Only executable regular files count, so that an
// empty name does not resolve to a PATH directory.
char *find_program(const char *ref) {
    if (ref[0] == '\0') return nullptr;
    if (strchr(ref, '/')) return set_program_path(ref) ? program_path : nullptr;

    const char *path = getenv("PATH");
    if (!path) return nullptr;
    char *copy = strdup(path);
    if (!copy) return nullptr;
    char *result = nullptr;
    char *save = copy;
    for (;;) {
        char *colon = strchr(save, ':');
        if (colon) *colon = '\0';
        int n = snprintf(program_path, PROGRAM_PATH_SIZE, "%s/%s", save, ref);
        struct stat st;
        if (n >= 0 && static_cast<size_t>(n) < PROGRAM_PATH_SIZE &&
            access(program_path, X_OK) == 0 && stat(program_path, &st) == 0 &&
            S_ISREG(st.st_mode)) {
            result = program_path;
            break;
        }
        if (!colon) break;
        save = colon + 1;
    }
    free(copy);
    return result;
}

int open_own_file() {
    // The file the kernel started, whatever argv[0] says and whatever has since been put
    // under its name: opening this link opens that very file.
    int fd = open(kOwnFileLink, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return fd;
    // Without /proc, argv[0] is all there is: resolved as the shell that started us did.
    const char *resolved = find_program(progname);
    return resolved ? open(resolved, O_RDONLY | O_CLOEXEC) : -1;
}

void say_named(const char *name, const char *text) {
    fprintf(stderr, "%s: ", progname);
    print_visible(stderr, name);
    fprintf(stderr, ": %s\n", text);
}

void perror_visible(const char *name) {
    const int e = errno;
    print_visible(stderr, name);
    fprintf(stderr, ": %s\n", strerror(e));
}

size_t scan_for_marker(const char *p, size_t n, size_t &e) {
    assert(e < EOP_SIZE);
    for (size_t i = 0; i < n; ++i) {
        if (e == 0) {
            // Outside a partial match only the marker's first byte matters: memchr finds
            // it a word at a time instead of a byte a loop.
            const void *hit = memchr(p + i, eop[0], n - i);
            if (hit == nullptr) return n;
            i = static_cast<size_t>(static_cast<const char *>(hit) - p);
        }
        if (p[i] == eop[e]) {
            if (++e == EOP_SIZE) return i + 1;
        } else {
            e = 0;
        }
    }
    return n;
}

int find_preamble(const char *program) {
    int fd;
    if (program == progname) {
        fd = open_own_file();
        if (fd < 0) {
            fprintf(stderr, "%s: the program's own file could not be found\n", progname);
            return -1;
        }
    } else {
        // An archive named on the command line (-l, -u) is a file, not a command: it is
        // opened as the path it is, never looked up on PATH.
        fd = open(program, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            perror_visible(program);
            return -1;
        }
    }
    return read_preamble(fd, program);
}

int read_preamble(int fd, const char *name) {
    get_eop();

    // One pass over each read; a partial match carries over to the next read.
    size_t e = 0;
    long consumed = 0;
    bool found = false;
    long marker_end = 0;
    for (;;) {
        ssize_t n = read(fd, scan_buf, MARKER_SCAN_READ);
        if (n <= 0) break;
        size_t end = scan_for_marker(scan_buf, static_cast<size_t>(n), e);
        if (e == EOP_SIZE) {
            found = true;
            marker_end = consumed + static_cast<long>(end);
            break;
        }
        consumed += n;
    }
    if (!found || lseek(fd, marker_end, SEEK_SET) != marker_end) {
        close(fd);
        return -1;
    }

    preamble_start = marker_end;
    char *strings[] = {features, comment, run_program, pipe_program};
    for (char *s : strings) {
        if (!read_preamble_string(fd, s)) {
            print_visible(stderr, name);
            fprintf(stderr, ": damaged preamble: a string is longer than %zu bytes\n",
                    PREAMBLE_STR_SIZE - 1);
            close(fd);
            return -1;
        }
    }
    preamble_end = lseek(fd, 0, SEEK_CUR);
    return fd;
}
