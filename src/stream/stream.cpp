// Stream state: the process-wide stream buffers and counters, input refills, window and output
// flushing, complete writes, the fatal exits and ratio printing.
#include "stream/stream.h"

#include <cctype>
#include <csetjmp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "support/progress.h"

uch inbuf[INBUFSIZ + INBUF_EXTRA];
uch outbuf[OUTBUFSIZ + OUTBUF_EXTRA];
uch window[2L * WSIZE];

unsigned insize;
unsigned inptr;
unsigned outcnt;
long bytes_in;
long bytes_out;
int ifd;
int ofd;
char ifname[NAME_BUF_SIZE];
char ofname[NAME_BUF_SIZE];
int exit_code = 0;
int level = 9;
int check_only;
PipeOutput pipe_output;
void (*fill_observer)(const uch *p, unsigned n);
void (*write_observer)(const void *p, size_t n);

namespace {

// The state of the input guard: where the pass stands and what the first pass recorded.
struct InputGuard {
    GuardMode mode = GuardMode::Off;
    unsigned long stretch = INBUFSIZ;  // bytes per stretch, a whole number of fills
    size_t index = 0;                  // the stretch being read
    unsigned long filled = 0;          // its bytes so far
    uint32_t crc = 0;                  // their CRC-32
    size_t recorded = 0;               // stretches the first pass recorded
    unsigned long last_len = 0;        // bytes of the last of them, which may be short
};
InputGuard guard;
uint32_t guard_crcs[GUARD_STRETCHES];

void close_stretch() {
    InputGuard &g = guard;
    if (g.mode == GuardMode::Record) {
        // More input than the size given: the file grew while it was checked.
        if (g.index >= GUARD_STRETCHES) error("the archive changed while it was being checked");
        guard_crcs[g.index] = g.crc;
        g.recorded = g.index + 1;
        g.last_len = g.filled;
    } else {
        const unsigned long expected = g.index + 1 == g.recorded ? g.last_len : g.stretch;
        if (g.index >= g.recorded || g.filled != expected || g.crc != guard_crcs[g.index])
            error("the archive changed after it was checked; nothing more is extracted");
    }
    ++g.index;
    g.filled = 0;
    g.crc = 0;
}

// Passes one fill through the guard; a fill shorter than INBUFSIZ ends the input.
void guard_fill(const uch *p, unsigned n) {
    InputGuard &g = guard;
    const bool at_end = n < INBUFSIZ;
    while (n > 0) {
        unsigned long take = g.stretch - g.filled;
        if (take > n) take = n;
        g.crc = crc32_of(g.crc, p, take);
        g.filled += take;
        p += take;
        n -= static_cast<unsigned>(take);
        if (g.filled == g.stretch) close_stretch();
    }
    if (at_end && g.filled > 0) close_stretch();
}

// Zero bytes that end p[0..n).
unsigned long trailing_zeros(const uch *p, unsigned n) {
    unsigned i = n;
    while (i > 0 && p[i - 1] == 0) --i;
    return n - i;
}

}  // namespace

void input_guard_record(unsigned long size) {
    // One fill more than the size needs: the decoder reads whole fills.
    const unsigned long fills = size / INBUFSIZ + 2;
    const unsigned long per = (fills + GUARD_STRETCHES - 1) / GUARD_STRETCHES;
    guard = InputGuard{};
    guard.mode = GuardMode::Record;
    guard.stretch = per * INBUFSIZ;
}

void input_guard_verify() {
    // A stretch of several fills that the pass left unfinished (it stopped reading at the
    // member's end) is recorded as it stands, and compared when the next pass stops.
    if (guard.mode == GuardMode::Record && guard.filled > 0) close_stretch();
    guard.mode = GuardMode::Verify;
    guard.index = 0;
    guard.filled = 0;
    guard.crc = 0;
}

void input_guard_off() {
    if (guard.mode == GuardMode::Verify && guard.filled > 0) close_stretch();
    guard.mode = GuardMode::Off;
}

void pipe_output_unread(unsigned long unread) {
    if (unread > pipe_output.zero_run) pipe_output.lost_data = true;
}

void write_output(const uch *p, unsigned n) {
    PipeOutput &po = pipe_output;
    if (po.fd < 0 || po.fd != ofd) {
        write_buf(ofd, const_cast<uch *>(p), n);
        return;
    }
    while (n > 0 && !po.reader_gone) {
        ssize_t w = write(ofd, p, n);
        if (w > 0) {
            const unsigned long z = trailing_zeros(p, static_cast<unsigned>(w));
            po.zero_run = z == static_cast<unsigned long>(w) ? po.zero_run + z : z;
            p += w;
            n -= static_cast<unsigned>(w);
        } else if (w < 0 && errno == EPIPE) {
            po.reader_gone = true;
            int unread = 0;
            if (ioctl(ofd, FIONREAD, &unread) != 0) po.lost_data = true;
            pipe_output_unread(static_cast<unsigned long>(unread));
        } else if (!(w < 0 && errno == EINTR)) {
            write_error();
        }
    }
    // Past the reader's end: nothing is written, but the bytes still count.
    for (unsigned i = 0; i < n && !po.lost_data; ++i) po.lost_data = p[i] != 0;
}

int fill_inbuf(int eof_ok) {
    insize = 0;
    errno = 0;
    // Keep reading until the buffer is full so a pipe that trickles data in small pieces
    // does not degrade into many tiny fills.
    do {
        ssize_t len = read(ifd, inbuf + insize, INBUFSIZ - insize);
        if (len == -1 && errno == EINTR) continue;
        if (len == 0 || len == -1) break;
        insize += static_cast<unsigned>(len);
    } while (insize < INBUFSIZ);

    if (guard.mode != GuardMode::Off) guard_fill(inbuf, insize);
    if (fill_observer) fill_observer(inbuf, insize);
    if (insize == 0) {
        if (eof_ok) return -1;
        read_error();
    }
    bytes_in += insize;
    inptr = 1;
    return inbuf[0];
}

void flush_window() {
    if (outcnt == 0) return;
    updcrc(window, outcnt);
    if (!check_only) write_output(window, outcnt);
    bytes_out += outcnt;
    outcnt = 0;
    progress_tick(static_cast<unsigned long>(check_only ? bytes_in : bytes_out));
}

void flush_outbuf() {
    if (outcnt == 0) return;
    write_buf(ofd, outbuf, outcnt);
    bytes_out += outcnt;
    outcnt = 0;
}

bool write_all(int fd, const void *buf, size_t n) {
    if (write_observer) write_observer(buf, n);
    const char *p = static_cast<const char *>(buf);
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            // A non-blocking output (inherited from whoever opened it) is waited on until it
            // drains rather than taken for a failed one.
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                struct pollfd pfd = {fd, POLLOUT, 0};
                if (poll(&pfd, 1, -1) >= 0 || errno == EINTR) continue;
            }
            return false;
        }
        n -= static_cast<size_t>(w);
        p += w;
    }
    return true;
}

void write_buf(int fd, voidp buf, unsigned cnt) {
    if (!write_all(fd, buf, cnt)) write_error();
}

namespace {

// "name: text\n", the name without its control characters: names come from archives and
// from the command line.
void name_and_text(const char *name, const char *text) {
    print_visible(stderr, name);
    fprintf(stderr, ": %s\n", text);
}

}  // namespace

void error(const char *m) {
    fprintf(stderr, "\n%s: ", progname);
    name_and_text(ifname, m);
    abort_gzip();
}

void read_error() {
    int e = errno;
    fprintf(stderr, "\n%s: ", progname);
    name_and_text(ifname, e != 0 ? strerror(e) : "unexpected end of file");
    abort_gzip();
}

void write_error() {
    int e = errno;
    fprintf(stderr, "\n%s: ", progname);
    name_and_text(ofname, strerror(e));
    abort_gzip();
}

#ifdef KELPA_FUZZ_BUILD
// Fuzz targets run many inputs in one process: a fatal exit returns to the target instead.
jmp_buf *kelpa_fuzz_abort;
#endif

void abort_gzip() {
#ifdef KELPA_FUZZ_BUILD
    if (kelpa_fuzz_abort) longjmp(*kelpa_fuzz_abort, 1);
#endif
    exit(1);
}

void display_ratio(long num, long den, FILE *file) {
    long ratio;
    if (den == 0)
        ratio = 0;
    else if (den < 2147483L)
        ratio = 1000L * num / den;
    else
        ratio = num / (den / 1000L);
    if (ratio < 0) {
        putc('-', file);
        ratio = -ratio;
    } else {
        putc(' ', file);
    }
    fprintf(file, "%2ld.%1ld%%", ratio / 10L, ratio % 10L);
}

void clear_bufs() {
    outcnt = 0;
    insize = inptr = 0;
    bytes_in = bytes_out = 0L;
}

char *gz_basename(char *fname) {
    char *p = strrchr(fname, '/');
    return p ? p + 1 : fname;
}

char *strlwr(char *s) {
    for (char *t = s; *t; ++t)
        if (isupper(static_cast<unsigned char>(*t))) *t = static_cast<char>(*t + 32);
    return s;
}

void make_simple_name(char *name) {
    char *p = strrchr(name, '.');
    if (!p) return;
    if (p == name) p++;
    do {
        if (*--p == '.') *p = '_';
    } while (p != name);
}

void warn(const char *a, const char *b) {
    fprintf(stderr, "%s: %s: warning: %s%s\n", progname, ifname, a, b);
    if (exit_code == 0) exit_code = 2;
}

int copy(int in, int out) {
    errno = 0;
    while (insize != 0 && static_cast<int>(insize) != -1) {
        write_buf(out, inbuf, insize);
        bytes_out += insize;
        insize = static_cast<unsigned>(read(in, inbuf, INBUFSIZ));
    }
    if (static_cast<int>(insize) == -1 && errno != 0) read_error();
    bytes_in = bytes_out;
    return 0;
}

voidp xmalloc(unsigned size) {
    voidp cp = malloc(size);
    if (cp == nullptr) error("out of memory");
    return cp;
}

char *add_envopt(int *argcp, char ***argvp, const char *env) {
    const char *val = getenv(env);
    if (val == nullptr) return nullptr;
    size_t vlen = strlen(val);
    char *copyv = static_cast<char *>(xmalloc(static_cast<unsigned>(vlen + 1)));
    memcpy(copyv, val, vlen + 1);

    // Cut the copy into words at blanks and tabs, ending each word in place.
    int nargc = 0;
    for (char *p = copyv; *p; nargc++) {
        p += strspn(p, " \t");
        if (*p == '\0') break;
        p += strcspn(p, " \t");
        if (*p) *p++ = '\0';
    }
    if (nargc == 0) {
        free(copyv);
        return nullptr;
    }
    int oargc = *argcp;
    if (oargc < 0) error("argc<=0");
    *argcp += nargc;
    char **oargv = *argvp;
    char **nargv = static_cast<char **>(calloc(static_cast<size_t>(*argcp) + 1, sizeof(char *)));
    if (nargv == nullptr) error("out of memory");
    *argvp = nargv;
    char **out = nargv;
    if (oargc > 0) {
        *out++ = *oargv++;
        oargc--;
    }
    char *p = copyv;
    for (int i = 0; i < nargc; i++) {
        p += strspn(p, " \t");
        *out++ = p;
        p += strlen(p) + 1;
    }
    while (oargc-- > 0) *out++ = *oargv++;
    *out = nullptr;
    return copyv;
}
