// Archive driver: the builder. Writes the head (stub, marker, preamble strings) and then
// each input file, raw or as one gzip member, to standard output.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/kelpa.h"
#include "gzip/gzip.h"
#include "support/progress.h"

namespace {

// Writes all n bytes; false on a write error.
bool write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// True when a reader scanning stub + marker would recognise the marker exactly after the
// stub. The scan never re-compares the byte that broke a partial match, so a stub that
// contains the marker, or ends in a way that swallows the marker's first byte (a trailing
// 'k'), would make an archive that cannot be read back.
bool stub_can_carry_marker(const char *stub, size_t size) {
    size_t e = 0;
    scan_for_marker(stub, size, e);
    return e == 0;
}

// Copies an input file raw to ofd; a read error is fatal rather than a silently short copy.
void copy_raw(int in, int out) {
    char buf[ITEM_BUF_SIZE];
    for (;;) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            read_error();
        }
        write_buf(out, buf, static_cast<unsigned>(n));
        bytes_in += n;
        progress_tick(static_cast<unsigned long>(bytes_in));
    }
}

// An archive extracts its first member only: says so when more members were stored (the
// inputs that could not be stored are NULL in argv).
void warn_unextracted(int argc, char **argv) {
    int first = 0;
    while (first < argc && !argv[first]) ++first;
    int more = 0;
    for (int i = first + 1; i < argc; ++i) more += argv[i] != nullptr;
    if (more == 0) return;
    fprintf(stderr, "%s: warning: only %s is extracted; also stored:", progname, argv[first]);
    for (int i = first + 1; i < argc; ++i)
        if (argv[i]) fprintf(stderr, " %s", argv[i]);
    fprintf(stderr, "\n%s: for several files, build from one tarball with -f 'tar xf -'\n",
            progname);
}

}  // namespace

int build_preamble(const char *path, int fd) {
    const char *stub_path = find_program(path);
    if (!stub_path) {
        fprintf(stderr, "%s: unable to find kelpa to build preamble\n", progname);
        return -1;
    }
    struct stat st;
    if (stat(stub_path, &st) != 0) {
        perror(stub_path);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        fprintf(stderr, "%s: %s: the stub is not a regular file\n", progname, stub_path);
        return -1;
    }
    int sfd = open(stub_path, O_RDONLY);
    if (sfd < 0) {
        perror(stub_path);
        return -1;
    }
    size_t size = static_cast<size_t>(st.st_size);
    char *stub = static_cast<char *>(malloc(size + 1));
    if (!stub) {
        perror(stub_path);
        close(sfd);
        return -1;
    }
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(sfd, stub + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    int read_errno = errno;
    close(sfd);
    if (got != size) {
        errno = got < size && read_errno ? read_errno : EIO;
        perror(stub_path);
        free(stub);
        return -1;
    }

    get_eop();
    if (!stub_can_carry_marker(stub, size)) {
        fprintf(stderr,
                "%s: %s cannot be used as a stub: it contains the archive marker or ends with "
                "'%c'\n",
                progname, stub_path, eop[0]);
        free(stub);
        return -1;
    }

    bool ok = write_all(fd, stub, size);
    free(stub);
    ok = ok && write_all(fd, eop, EOP_SIZE);
    const char *strings[] = {features, comment, run_program, pipe_program};
    for (const char *s : strings) ok = ok && write_all(fd, s, strlen(s) + 1);
    if (!ok) {
        fprintf(stderr, "%s: ", progname);
        perror(ofname);
        return -1;
    }
    return 0;
}

int build_archive(int argc, char **argv) {
    ofd = fileno(stdout);
    if (isatty(ofd)) {
        fprintf(stderr,
                "%s: not writing an archive to a terminal; redirect it: %s file > file.run\n",
                progname, progname);
        return 1;
    }
    const bool raw_asked = get_feature("NOCOMPR") != nullptr;
    if (get_feature(CHECK_KEY)) {
        fprintf(stderr, "%s: the feature list may not hold %s: the builder writes that item\n",
                progname, CHECK_KEY);
        return 1;
    }

    char item[ITEM_BUF_SIZE];
    int n = snprintf(item, sizeof item, "NAME=%s", gz_basename(argv[0]));
    if (n < 0 || static_cast<size_t>(n) >= sizeof item || add_feature(item) != 0) {
        fprintf(stderr, "%s: %s: name too long for the feature list\n", progname, argv[0]);
        return 1;
    }
    // The extractor and the listing look "NOCOMPR" up in the whole feature list, NAME item
    // included, so the builder decides on the same list: otherwise a name holding it would
    // have its gzip member extracted as raw bytes.
    const bool raw = get_feature("NOCOMPR") != nullptr;
    if (raw && !raw_asked)
        fprintf(stderr,
                "%s: %s: stored uncompressed, because the name puts \"NOCOMPR\" into the "
                "feature list\n",
                progname, argv[0]);
    // The check item covers the preamble and the header zip will write for the first input,
    // which is the member every extraction acts on: it must be there.
    int first = open(argv[0], O_RDONLY);
    if (first < 0) {
        perror(argv[0]);
        return 1;
    }
    close(first);
    uch header[MEMBER_HEADER_MAX];
    const size_t header_len = raw ? 0 : member_header(header, sizeof header, gz_basename(argv[0]));
    if ((!raw && header_len == 0) || add_check_item(header, header_len) != 0) {
        fprintf(stderr, "%s: the check item does not fit into the feature list\n", progname);
        return 1;
    }
    if (build_preamble(kelpa_path, ofd) != 0) return 1;

    for (int i = 0; i < argc; ++i) {
        size_t len = strlen(argv[i]);
        if (len >= NAME_BUF_SIZE) {
            fprintf(stderr, "%s: %s: file name too long\n", progname, argv[i]);
            exit_code = 1;
            argv[i] = nullptr;
            continue;
        }
        memcpy(ifname, argv[i], len + 1);
        ifd = open(ifname, O_RDONLY);
        if (ifd < 0) {
            // Reported and skipped, but the archive is incomplete: the status says so.
            perror(ifname);
            exit_code = 1;
            argv[i] = nullptr;
            continue;
        }
        // The size of a file; a pipe's is unknown (lseek fails).
        const off_t size = lseek(ifd, 0, SEEK_END);
        if (size > 0 && lseek(ifd, 0, SEEK_SET) != 0) read_error();
        progress_begin(raw ? "Copying" : "Compressing", ifname,
                       static_cast<unsigned long>(bytes_in),
                       size > 0 ? static_cast<unsigned long>(size) : 0);
        if (raw) {
            copy_raw(ifd, ofd);
        } else {
            zip(ifd, ofd);
        }
        progress_end();
        close(ifd);
    }
    if (!raw) warn_unextracted(argc, argv);
    return exit_code;
}
