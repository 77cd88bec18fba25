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
#include "support/aplist.h"
#include "gzip/gzip.h"
#include "support/progress.h"

namespace {

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
    fprintf(stderr, "%s: warning: only ", progname);
    print_visible(stderr, argv[first]);
    fprintf(stderr, " is extracted; also stored:");
    for (int i = first + 1; i < argc; ++i) {
        if (!argv[i]) continue;
        fputc(' ', stderr);
        print_visible(stderr, argv[i]);
    }
    fprintf(stderr, "\n%s: for several files, build from one tarball with -f 'tar xf -'\n",
            progname);
}

// Keys the program reads from the feature list. Extractors before whole-item matching found
// each of them anywhere in the list, so none may appear inside another item.
constexpr const char *kKnownKeys[] = {"NAME=",      "VFYFS=",     "FSSUB=",    "NOCOMPR",
                                      "KV_VENDOR=", "KELPA_CRC=", "KELPA_SIG="};

bool is_bare(const char *key) {
    return key[strlen(key) - 1] != '=';
}

// Replaces with '_' each comma of the base name and the '=' of each known key in it, so that
// the NAME item is one item which every extractor reads alike; returns the number replaced.
// A bare key (NOCOMPR) is left: both kinds of extractor find it in the NAME item.
int make_name_one_item(char *name) {
    int replaced = 0;
    for (char *c = name; *c; ++c) {
        if (*c == ',') {
            *c = '_';
            ++replaced;
        }
    }
    for (const char *key : kKnownKeys) {
        if (is_bare(key)) continue;
        for (char *at = find_str(name, key); at; at = find_str(at, key)) {
            at += strlen(key) - 1;
            *at = '_';
            ++replaced;
        }
    }
    return replaced;
}

}  // namespace

const char *key_read_two_ways(const char *item, size_t len) {
    // Blanks before an item do not count: its start is where they end.
    const size_t blanks = strspn(item, " \t");
    item += blanks < len ? blanks : len;
    len -= blanks < len ? blanks : len;
    for (const char *key : kKnownKeys) {
        const size_t klen = strlen(key);
        for (size_t at = 0; at + klen <= len; ++at) {
            if (strncmp(item + at, key, klen) != 0) continue;
            if (at > 0) return key;
            // At the item's start a bare key must be the whole item, but for trailing blanks.
            if (is_bare(key) && strspn(item + klen, " \t\r\n") < len - klen) return key;
        }
    }
    return nullptr;
}

namespace {

// Reads the whole stub open on sfd (size bytes) into a new block; NULL after reporting.
char *read_stub(int sfd, size_t size, const char *name) {
    char *stub = static_cast<char *>(malloc(size + 1));
    if (!stub) {
        perror_visible(name);
        return nullptr;
    }
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(sfd, stub + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got != size) {
        if (got < size && errno == 0) errno = EIO;
        perror_visible(name);
        free(stub);
        return nullptr;
    }
    return stub;
}

// Checks the stub open on sfd before anything is written to fd; false after reporting.
bool stub_is_usable(int sfd, int fd, const char *name, struct stat *st) {
    struct stat out;
    if (fstat(sfd, st) != 0) {
        perror_visible(name);
        return false;
    }
    if (!S_ISREG(st->st_mode)) {
        say_named(name, "the stub is not a regular file");
        return false;
    }
    // "-p out.run ... > out.run": the shell has already emptied the file being read.
    if (fstat(fd, &out) == 0 && out.st_dev == st->st_dev && out.st_ino == st->st_ino) {
        say_named(name, "the stub is the archive being written; write the archive to another file");
        return false;
    }
    if (st->st_size == 0) {
        say_named(name, "the stub is empty");
        return false;
    }
    return true;
}

}  // namespace

int build_preamble(const char *path, int fd) {
    // Without -p the stub is the program's own file, named in messages as the user typed it.
    const bool own = path[0] == '\0';
    const char *name = own ? progname : path;
    errno = 0;
    int sfd = own ? open_own_file() : open(path, O_RDONLY | O_CLOEXEC);
    if (sfd < 0) {
        if (own)
            fprintf(stderr, "%s: the program's own file could not be found\n", progname);
        else
            perror_visible(path);
        return -1;
    }
    struct stat st;
    char *stub = nullptr;
    size_t size = 0;
    if (stub_is_usable(sfd, fd, name, &st)) {
        size = static_cast<size_t>(st.st_size);
        errno = 0;
        stub = read_stub(sfd, size, name);
    }
    close(sfd);
    if (!stub) return -1;

    get_eop();
    if (!stub_can_carry_marker(stub, size)) {
        fprintf(stderr, "%s: ", progname);
        print_visible(stderr, name);
        fprintf(stderr,
                " cannot be used as a stub: it contains the archive marker or ends with '%c'\n",
                eop[0]);
        free(stub);
        return -1;
    }

    // Building for another architecture is allowed (-p with its kelpa): said, not refused.
    if (const unsigned m = stub_machine(stub, size);
        m != 0 && own_machine() != 0 && m != own_machine()) {
        fprintf(stderr, "%s: warning: ", progname);
        print_visible(stderr, name);
        if (const char *arch = machine_name(m))
            fprintf(stderr, " is a program for %s, not %s: the archive will run on %s only\n", arch,
                    machine_name(own_machine()), arch);
        else
            fprintf(stderr,
                    " is a program for ELF machine %u, not %s: the archive will not run here\n", m,
                    machine_name(own_machine()));
    }
    char interp[STUB_INTERP_SIZE], version[STUB_VERSION_SIZE];
    if (stub_interpreter(stub, size, interp, sizeof interp, version, sizeof version)) {
        fprintf(stderr, "%s: warning: ", progname);
        print_visible(stderr, name);
        fputs(" is not static: the archive will need ", stderr);
        print_visible(stderr, interp);
        fprintf(stderr, " and the C library it loads%s%s%s on the target\n", version[0] ? " (" : "",
                version, version[0] ? " or newer)" : "");
    }

    // Where the feature list starts in the archive: a signature's observer finds its slot so.
    preamble_start = static_cast<long>(size + EOP_SIZE);
    bool ok = write_all(fd, stub, size);
    free(stub);
    ok = ok && write_all(fd, eop, EOP_SIZE);
    const char *strings[] = {features, comment, run_program, pipe_program};
    for (const char *s : strings) ok = ok && write_all(fd, s, strlen(s) + 1);
    if (!ok) {
        fprintf(stderr, "%s: %s: %s\n", progname, ofname, strerror(errno));
        return -1;
    }
    return 0;
}

namespace {

// Adds the NAME item for the first input, made one item that every extractor reads alike;
// false after reporting when the name cannot be stored.
bool add_name_item(char *first) {
    const char *base = gz_basename(first);
    char name[NAME_MAX + 1];
    const size_t len = strlen(base);
    char item[NAME_ITEM_SIZE];
    if (len > NAME_MAX) {
        say_named(first, "name too long for the feature list");
        return false;
    }
    memcpy(name, base, len + 1);
    if (make_name_one_item(name) > 0) {
        fprintf(stderr, "%s: ", progname);
        print_visible(stderr, base);
        fprintf(stderr, ": named ");
        print_visible(stderr, name);
        fprintf(stderr,
                " in the feature list: a comma or a feature key in a name would add to the "
                "archive's features\n");
    }
    snprintf(item, sizeof item, "NAME=%s", name);
    if (add_feature(item) != 0) {
        say_named(first, "name too long for the feature list");
        return false;
    }
    return true;
}

// Stores the input open on ifd; false when it gave fewer bytes than its size at open, which
// is reported: the archive then holds less than the file the user named.
bool store_input(bool raw, const struct stat &st) {
    const long before = bytes_in;
    const bool sized = S_ISREG(st.st_mode);
    progress_begin(raw ? "Copying" : "Compressing", ifname, static_cast<unsigned long>(bytes_in),
                   sized ? static_cast<unsigned long>(st.st_size) : 0);
    if (raw) {
        copy_raw(ifd, ofd);
    } else {
        zip(ifd, ofd);
    }
    progress_end();
    const long got = bytes_in - before;
    if (!sized || got >= st.st_size) return true;
    fprintf(stderr, "%s: ", progname);
    print_visible(stderr, ifname);
    fprintf(stderr, ": warning: the file shrank while it was read; %ld of its %lld bytes stored\n",
            got, static_cast<long long>(st.st_size));
    return false;
}

}  // namespace

int write_archive(int argc, char **argv) {
    if (build_preamble(kelpa_path, ofd) != 0) return -1;
    const bool raw = get_feature("NOCOMPR") != nullptr;
    for (int i = 0; i < argc; ++i) {
        if (!argv[i]) continue;  // not stored by an earlier pass
        size_t len = strlen(argv[i]);
        if (len >= NAME_BUF_SIZE) {
            say_named(argv[i], "file name too long");
            exit_code = 1;
            argv[i] = nullptr;
            continue;
        }
        memcpy(ifname, argv[i], len + 1);
        ifd = open(ifname, O_RDONLY | O_CLOEXEC);
        // A directory opens but cannot be read: skipped like an input that cannot be opened.
        struct stat st;
        if (ifd >= 0) {
            const int e = fstat(ifd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
            if (e != 0) {
                close(ifd);
                ifd = -1;
                errno = e;
            }
        }
        if (ifd < 0) {
            // Reported and skipped, but the archive is incomplete: the status says so.
            perror_visible(ifname);
            exit_code = 1;
            argv[i] = nullptr;
            continue;
        }
        if (!store_input(raw, st)) exit_code = 1;
        close(ifd);
    }
    return exit_code;
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
    for (const char *key : {CHECK_KEY, SIG_KEY}) {
        if (!get_feature(key)) continue;
        fprintf(stderr, "%s: the feature list may not hold %s: the builder writes that item\n",
                progname, key);
        return 1;
    }
    // An empty KELPA_SIGN_KEY is taken as unset.
    const char *sign_key = getenv("KELPA_SIGN_KEY");
    if (sign_key && !*sign_key) sign_key = nullptr;
    // The check item covers the header zip will write for the first input, the member every
    // extraction acts on: without it there is no archive to build.
    int first = open(argv[0], O_RDONLY);
    struct stat first_st;
    const int first_errno = first < 0                      ? errno
                            : fstat(first, &first_st) != 0 ? errno
                            : S_ISDIR(first_st.st_mode)    ? EISDIR
                                                           : 0;
    if (first >= 0) close(first);
    if (first_errno != 0) {
        errno = first_errno;
        perror_visible(argv[0]);
        return 1;
    }
    if (!add_name_item(argv[0])) return 1;
    // Extractors find "NOCOMPR" inside the NAME item too (older ones anywhere in the list), so
    // the builder decides on the same list: otherwise a name holding it would have its gzip
    // member extracted as raw bytes.
    const bool raw = get_feature("NOCOMPR") != nullptr;
    if (raw && !raw_asked)
        say_named(argv[0],
                  "stored uncompressed, because the name puts \"NOCOMPR\" into the feature list");
    uch header[MEMBER_HEADER_MAX];
    const size_t header_len = raw ? 0 : member_header(header, sizeof header, gz_basename(argv[0]));
    if ((!raw && header_len == 0) || add_check_item(header, header_len, sign_key != nullptr) != 0) {
        fprintf(stderr, "%s: the check item%s does not fit into the feature list\n", progname,
                sign_key ? " and the signature item" : "");
        return 1;
    }
    const int status = sign_key ? sign_archive(sign_key, argc, argv) : write_archive(argc, argv);
    if (status < 0) return 1;
    if (!raw) warn_unextracted(argc, argv);
    return status;
}
