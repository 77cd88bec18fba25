// Archive driver: signing. Runs ssh-keygen over the message an archive signs, checks the
// signature it returns, and writes its text into the signature item's slot. Owns the signing
// process with its pipes, the message's hash and the key's public half.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "driver/kelpa.h"
#include "gzip/gzip.h"

namespace {

// What ssh-keygen prints: a signature's armour, or a public key line (about 100 bytes and the
// key's comment); more is refused.
constexpr size_t KEYGEN_OUT_SIZE = SIG_ARMOUR_SIZE + 512;
// The key's path with ".pub" added, and its NUL.
constexpr size_t PUB_PATH_SIZE = PREAMBLE_STR_SIZE + 4;

// The signing process, once spawn started it: its standard input and output, and the
// message fed to it so far.
struct Signer {
    pid_t pid;
    int in;          // -1 once closed
    int out;         // -1 once closed
    bool broken;     // it stopped reading before the message ended
    Sha512 hash;     // the message as kelpa sees it
    long offset;     // archive bytes seen by observe
    bool hash_only;  // the message is only hashed, not passed on to ssh-keygen
};
Signer signer;

char keygen_out[KEYGEN_OUT_SIZE];
uint8_t public_key[32];

const char *keygen_name() {
    const char *name = getenv("KELPA_SSH_KEYGEN");
    return name && *name ? name : "ssh-keygen";
}

// Starts ssh-keygen with argv (argv[0] is replaced), its standard input and output on pipes
// and its standard error the user's; false after reporting.
bool spawn(const char **argv) {
    argv[0] = keygen_name();
    const char *path = find_program(argv[0]);
    if (!path) {
        say_named(argv[0], "not found; signing runs ssh-keygen (KELPA_SSH_KEYGEN names another)");
        return false;
    }
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        say_named(argv[0], strerror(errno));
        return false;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        say_named(argv[0], strerror(errno));
        close(in[0]);
        close(in[1]);
        return false;
    }
    signer.pid = fork();
    if (signer.pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        if (dup2(in[0], 0) == 0 && dup2(out[1], 1) == 1)
            execv(path, const_cast<char *const *>(argv));
        say_named(path, strerror(errno));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    signer.in = in[1];
    signer.out = out[0];
    if (signer.pid < 0) {
        say_named(argv[0], strerror(errno));
        close(signer.in);
        close(signer.out);
        signer.in = signer.out = -1;
        return false;
    }
    signer.broken = false;
    sha512_init(&signer.hash);
    return true;
}

// Feeds message bytes to the hash and, unless it stopped reading, to ssh-keygen.
void feed(const uint8_t *p, size_t n) {
    sha512_update(&signer.hash, p, n);
    while (n > 0 && !signer.hash_only && !signer.broken) {
        const ssize_t w = write(signer.in, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            signer.broken = true;  // its status tells why
            break;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
}

// write_observer: every archive byte but the slot's, at [v, v + SIG_TEXT_SIZE), is message.
void observe(const void *data, size_t n) {
    const auto *p = static_cast<const uint8_t *>(data);
    const long v = preamble_start + static_cast<long>(strlen(features) - SIG_TEXT_SIZE);
    const long w = v + static_cast<long>(SIG_TEXT_SIZE);
    const long from = signer.offset, to = from + static_cast<long>(n);
    if (from < v) feed(p, static_cast<size_t>((to < v ? to : v) - from));
    if (to > w) {
        const long at = from > w ? from : w;
        feed(p + (at - from), static_cast<size_t>(to - at));
    }
    signer.offset = to;
}

// Closes ssh-keygen's input, reads all it prints into keygen_out and waits for it; the
// length printed, or -1 after reporting when it failed (saying `failed`) or printed too much.
long finish(const char *failed) {
    if (signer.in >= 0) close(signer.in);
    signer.in = -1;
    size_t got = 0;
    bool too_much = false;
    for (;;) {
        const ssize_t r = read(signer.out, keygen_out + got, sizeof keygen_out - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<size_t>(r);
        if (got == sizeof keygen_out) {
            too_much = true;
            got = 0;  // drained, so that it is not left blocked
        }
    }
    close(signer.out);
    signer.out = -1;
    int status = 0;
    while (waitpid(signer.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        say_named(keygen_name(), failed);
        return -1;
    }
    if (!too_much) return static_cast<long>(got);
    say_named(keygen_name(), "printed more than it was asked for");
    return -1;
}

// The public half of the key at key into public_key: the file itself when it ends in ".pub",
// else key.pub, else what `ssh-keygen -y -f key` prints. False after reporting.
bool load_public_key(const char *key) {
    const size_t n = strlen(key);
    const bool is_pub = n >= 4 && strcmp(key + n - 4, ".pub") == 0;
    char pub[PUB_PATH_SIZE];
    if (snprintf(pub, sizeof pub, "%s%s", key, is_pub ? "" : ".pub") >=
        static_cast<int>(sizeof pub)) {
        say_named(key, "key path too long");
        return false;
    }
    long got = -1;
    const char *from = pub;
    if (const int fd = open(pub, O_RDONLY | O_CLOEXEC); fd >= 0) {
        ssize_t r;
        while ((r = read(fd, keygen_out, sizeof keygen_out)) < 0 && errno == EINTR) {
        }
        close(fd);
        if (r < 0) {
            say_named(pub, strerror(errno));
            return false;
        }
        got = r;
    } else if (errno != ENOENT || is_pub) {
        say_named(pub, strerror(errno));
        return false;
    } else if (access(key, F_OK) != 0) {
        say_named(key, strerror(errno));
        return false;
    } else {
        const char *argv[] = {nullptr, "-y", "-f", key, nullptr};
        from = key;
        if (!spawn(argv) || (got = finish("failed and gave no public key")) < 0) return false;
    }
    const char *why = ssh_pubkey_parse(keygen_out, static_cast<size_t>(got), public_key);
    if (why) say_named(from, why);
    return !why;
}

// Ends the message: what ssh-keygen printed must be the signature, by the key given, of the
// message kelpa hashed; its text goes into text. False after reporting.
bool take_signature(char text[SIG_TEXT_SIZE], uint8_t digest[64]) {
    sha512_final(&signer.hash, digest);
    const long got = finish("failed and gave no signature");
    if (got < 0) return false;
    uint8_t blob[SIG_BLOB_SIZE + 1];
    size_t len = 0;
    SshSig sig;
    const char *why =
        sshsig_unarmour(keygen_out, static_cast<size_t>(got), blob, sizeof blob, &len);
    if (!why) why = sshsig_parse(blob, len, &sig);
    if (!why && len != SIG_BLOB_SIZE) why = "gave a signature not of an Ed25519 key";
    if (!why && memcmp(sig.key, public_key, sizeof public_key) != 0)
        why = "gave a signature by another key than the one given";
    if (!why && !sshsig_verify(&sig, public_key, digest))
        why = "gave a signature that does not verify for the archive written";
    if (why) {
        say_named(keygen_name(), why);
        return false;
    }
    base64_encode(blob, SIG_BLOB_SIZE, text);
    return true;
}

// The archive's slot in features.
char *slot() {
    return features + strlen(features) - SIG_TEXT_SIZE;
}

// A descriptor to read the output file back from, when the output is a regular file that
// kelpa writes at its own offset (no O_APPEND): fd itself when it is open for reading, else
// the file opened again. -1 when it cannot be read back.
int readable_output(int fd) {
    struct stat st, again;
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_APPEND) || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        lseek(fd, 0, SEEK_CUR) < 0)
        return -1;
    if ((flags & O_ACCMODE) == O_RDWR) return fd;
    char link[32];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const int rfd = open(link, O_RDONLY | O_CLOEXEC);
    if (rfd >= 0 && fstat(rfd, &again) == 0 && again.st_dev == st.st_dev &&
        again.st_ino == st.st_ino)
        return rfd;
    if (rfd >= 0) close(rfd);
    return -1;
}

const char *const kSignArgs[] = {nullptr, "-Y", "sign", "-n", SIG_NAMESPACE, "-f"};
constexpr size_t SIGN_ARGC = sizeof kSignArgs / sizeof *kSignArgs;

// One pass writing the archive to ofd, the message passing through observe.
int write_observed(int argc, char **argv) {
    clear_bufs();
    signer.offset = 0;
    write_observer = observe;
    const int status = write_archive(argc, argv);
    write_observer = nullptr;
    return status;
}

// Signs the archive written to the regular file ofd, read back through rfd: written once,
// then the message read back from it into ssh-keygen and the text written into the slot.
int sign_file(const char **argv, int rfd, int argc, char **files) {
    const long start = lseek(ofd, 0, SEEK_CUR);
    const int status = write_archive(argc, files);
    if (status < 0) return status;
    const long end = lseek(ofd, 0, SEEK_CUR);
    const long v = start + preamble_start + static_cast<long>(strlen(features) - SIG_TEXT_SIZE);
    char text[SIG_TEXT_SIZE];
    uint8_t digest[64];
    bool ok = spawn(argv);
    if (ok && !(read_file_range(rfd, start, v, feed) &&
                read_file_range(rfd, v + static_cast<long>(SIG_TEXT_SIZE), end, feed))) {
        fprintf(stderr, "%s: the archive written could not be read back: %s\n", progname,
                strerror(errno));
        finish("failed and gave no signature");
        ok = false;
    }
    ok = ok && take_signature(text, digest);
    if (ok && pwrite(ofd, text, SIG_TEXT_SIZE, v) != static_cast<ssize_t>(SIG_TEXT_SIZE)) {
        fprintf(stderr, "%s: the signature could not be written: %s\n", progname, strerror(errno));
        ok = false;
    }
    if (ok) return status;
    fprintf(stderr, "%s: the archive written is not signed\n", progname);
    return 1;
}

// Signs an archive written to a pipe or another output that cannot be read back: the first
// pass writes the message into ssh-keygen only, the second the archive with the signature.
int sign_stream(const char **argv, int argc, char **files) {
    // A pipe or a device gives its bytes once (opening a FIFO again would wait for a writer):
    // refused before anything is read.
    for (int i = 0; i < argc; ++i) {
        struct stat st;
        if (stat(files[i], &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
            say_named(files[i],
                      "not a regular file, which a signed archive written to a pipe reads twice; "
                      "write the archive to a file");
            return -1;
        }
    }
    const int out = ofd;
    ofd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (ofd < 0 || !spawn(argv)) {
        if (ofd < 0) say_named("/dev/null", strerror(errno));
        ofd = out;
        return -1;
    }
    const int first = write_observed(argc, files);
    close(ofd);
    ofd = out;
    char text[SIG_TEXT_SIZE];
    uint8_t digest[64], again[64];
    if (first < 0) {
        finish("failed and gave no signature");
        return -1;
    }
    if (!take_signature(text, digest)) {
        fprintf(stderr, "%s: no archive written\n", progname);
        return -1;
    }
    memcpy(slot(), text, SIG_TEXT_SIZE);
    sha512_init(&signer.hash);
    signer.hash_only = true;
    const int status = write_observed(argc, files);
    sha512_final(&signer.hash, again);
    if (status >= 0 && memcmp(digest, again, sizeof digest) != 0) {
        fprintf(stderr,
                "%s: the inputs changed while the archive was written twice to sign it: the "
                "archive written is not validly signed; write it to a file instead\n",
                progname);
        return 1;
    }
    return status;
}

}  // namespace

int sign_archive(const char *key, int argc, char **argv) {
    if (!load_public_key(key)) return -1;
    // ssh-keygen may stop reading: that is an error it reports, not a reason to die.
    signal(SIGPIPE, SIG_IGN);
    const char *args[SIGN_ARGC + 2];
    memcpy(args, kSignArgs, sizeof kSignArgs);
    args[SIGN_ARGC] = key;
    args[SIGN_ARGC + 1] = nullptr;
    const int rfd = readable_output(ofd);
    if (rfd < 0) return sign_stream(args, argc, argv);
    const int status = sign_file(args, rfd, argc, argv);
    if (rfd != ofd) close(rfd);
    return status;
}
