// Archive driver: signature checks. Finds an archive's signature item, hashes the message it
// signs, reads the key of KELPA_VERIFY_KEY, and checks the signature before extraction and in
// the listing. Owns the check in progress (one per process) and its read buffer.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "driver/kelpa.h"
#include "gzip/gzip.h"

namespace {

// read_file_range reads this much at a time.
constexpr size_t READ_SIZE = size_t{64} * 1024;
uint8_t range_buf[READ_SIZE];
// KELPA_VERIFY_KEY names a file of at most this much (a public key line is about 100 bytes).
constexpr size_t KEY_FILE_SIZE = 4096;

constexpr size_t SIG_KEY_LEN = sizeof SIG_KEY - 1;
// The preamble's four strings with their NULs, at most.
constexpr size_t PREAMBLE_BYTES = 4 * PREAMBLE_STR_SIZE;

bool is_base64(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

// The check in progress: the signature and the message's hash up to `next`, the file offset
// of the first byte not yet fed.
struct SigCheck {
    SshSig sig;
    Sha512 hash;
    long next;
};
SigCheck check;

void feed(const uint8_t *p, size_t n) {
    sha512_update(&check.hash, p, n);
}

void feed_fill(const uch *p, unsigned n) {
    feed(p, n);
    check.next += n;
}

// The offset of the NUL that ends the feature list: the slot is the SIG_TEXT_SIZE bytes
// before it.
long slot_end() {
    return preamble_start + static_cast<long>(strlen(features));
}

// Reads the signature of the archive into check.sig; false after saying why.
bool read_signature(const char *archive) {
    const char *text = find_sig_text();
    if (!text) {
        say_named(archive, "the archive is not signed, and KELPA_VERIFY_KEY asks for a signature");
        return false;
    }
    uint8_t blob[SIG_BLOB_SIZE];
    size_t len = 0;
    const char *why = nullptr;
    if (!base64_decode(text, SIG_TEXT_SIZE, blob, sizeof blob, &len, false))
        why = "its text is not base64";
    else if (const char *bad = sshsig_parse(blob, len, &check.sig))
        why = bad;
    if (why) {
        fprintf(stderr, "%s: ", progname);
        print_visible(stderr, archive);
        fprintf(stderr, ": unreadable signature: %s\n", why);
        return false;
    }
    return true;
}

// The file holds mem[0..n) at offset at: compared before the bytes in memory, which are acted
// on, are hashed as the file's.
bool same_in_file(int fd, long at, const char *mem, size_t n) {
    static char file[PREAMBLE_BYTES];
    return n <= sizeof file && pread(fd, file, n, at) == static_cast<ssize_t>(n) &&
           memcmp(file, mem, n) == 0;
}

// Starts the message's hash: the stub from the file, then the feature list up to the slot and
// what follows the slot up to the payload, which must be the preamble in memory.
bool hash_head(const char *archive, int fd) {
    const size_t listed = strlen(features) - SIG_TEXT_SIZE;  // the list before the slot
    static char rest[PREAMBLE_BYTES];  // the list's NUL and the other strings with theirs
    size_t n = 1;
    rest[0] = '\0';
    for (const char *str : {comment, run_program, pipe_program}) {
        const size_t k = strlen(str) + 1;
        memcpy(rest + n, str, k);
        n += k;
    }
    sha512_init(&check.hash);
    if (!read_file_range(fd, 0, preamble_start, feed)) {
        perror_visible(archive);
        return false;
    }
    const long p = slot_end();
    if (preamble_end - p != static_cast<long>(n) ||
        !same_in_file(fd, preamble_start, features, listed) || !same_in_file(fd, p, rest, n)) {
        say_named(archive, "the archive changed while it was read");
        return false;
    }
    sha512_update(&check.hash, features, listed);
    sha512_update(&check.hash, rest, n);
    check.next = preamble_end;
    return true;
}

// Ends the check: the rest of the file from check.next is hashed, then the signature checked.
bool hash_tail_and_verify(const char *archive, int fd, const uint8_t key[32]) {
    if (!read_file_range(fd, check.next, -1, feed)) {
        perror_visible(archive);
        return false;
    }
    uint8_t digest[64];
    sha512_final(&check.hash, digest);
    if (sshsig_verify(&check.sig, key, digest)) return true;
    say_named(archive, "bad signature: the archive is not what its key holder signed");
    return false;
}

}  // namespace

const char *find_sig_text() {
    const size_t n = strlen(features);
    if (n < 1 + SIG_KEY_LEN + SIG_TEXT_SIZE) return nullptr;
    const char *text = features + n - SIG_TEXT_SIZE;
    if (text[-static_cast<long>(SIG_KEY_LEN) - 1] != ',' ||
        memcmp(text - SIG_KEY_LEN, SIG_KEY, SIG_KEY_LEN) != 0)
        return nullptr;
    for (size_t i = 0; i < SIG_TEXT_SIZE; ++i)
        if (!is_base64(text[i])) return nullptr;
    return text;
}

bool read_file_range(int fd, long from, long to, void (*take)(const uint8_t *p, size_t n)) {
    while (to < 0 || from < to) {
        size_t want = READ_SIZE;
        if (to >= 0 && static_cast<unsigned long>(to - from) < want)
            want = static_cast<size_t>(to - from);
        ssize_t n = pread(fd, range_buf, want, from);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            if (to < 0) return true;
            errno = EIO;  // the file is shorter than it was
            return false;
        }
        take(range_buf, static_cast<size_t>(n));
        from += n;
    }
    return true;
}

int load_verify_key(uint8_t key[32]) {
    const char *value = getenv("KELPA_VERIFY_KEY");
    if (!value || !*value) return 0;
    static char text[KEY_FILE_SIZE];
    size_t n = strlen(value);
    const char *line = value;
    if (strncmp(value, "ssh-", 4) != 0) {
        // Not a key line: the name of a file that holds one.
        const int fd = open(value, O_RDONLY | O_CLOEXEC);
        ssize_t got = fd < 0 ? -1 : read(fd, text, sizeof text);
        const int e = errno;
        if (fd >= 0) close(fd);
        if (got < 0) {
            errno = e;
            fprintf(stderr, "%s: KELPA_VERIFY_KEY: ", progname);
            perror_visible(value);
            return -1;
        }
        if (static_cast<size_t>(got) == sizeof text) {
            say_named("KELPA_VERIFY_KEY", "the key file is too long for one public key");
            return -1;
        }
        n = static_cast<size_t>(got);
        line = text;
    }
    if (const char *nl = static_cast<const char *>(memchr(line, '\n', n)))
        n = static_cast<size_t>(nl - line);
    if (const char *why = ssh_pubkey_parse(line, n, key)) {
        say_named("KELPA_VERIFY_KEY", why);
        return -1;
    }
    return 1;
}

int sig_check_begin(const char *archive, int fd, const uint8_t key[32]) {
    if (!read_signature(archive)) return -1;
    if (memcmp(check.sig.key, key, sizeof check.sig.key) != 0) {
        char theirs[SIG_FINGERPRINT_SIZE], ours[SIG_FINGERPRINT_SIZE];
        ssh_fingerprint(check.sig.key, theirs);
        ssh_fingerprint(key, ours);
        fprintf(stderr, "%s: ", progname);
        print_visible(stderr, archive);
        fprintf(stderr, ": signed by another key (%s), not by KELPA_VERIFY_KEY's (%s)\n", theirs,
                ours);
        return -1;
    }
    if (!hash_head(archive, fd)) return -1;
    fill_observer = feed_fill;
    return 0;
}

void sig_check_header(const unsigned char *hdr, size_t len) {
    sha512_update(&check.hash, hdr, len);
    check.next += static_cast<long>(len);
}

int sig_check_end(const char *archive, int fd, const uint8_t key[32]) {
    fill_observer = nullptr;
    return hash_tail_and_verify(archive, fd, key) ? 0 : -1;
}

int sig_check_file(const char *archive, int fd, const uint8_t key[32]) {
    if (sig_check_begin(archive, fd, key) < 0) return -1;
    fill_observer = nullptr;
    return hash_tail_and_verify(archive, fd, key) ? 0 : -1;
}

void list_signature(bool verified) {
    const char *text = find_sig_text();
    if (!text) return;
    uint8_t blob[SIG_BLOB_SIZE];
    size_t len = 0;
    const char *why = base64_decode(text, SIG_TEXT_SIZE, blob, sizeof blob, &len, false)
                          ? sshsig_parse(blob, len, &check.sig)
                          : "its text is not base64";
    const long p = slot_end();
    if (why) {
        printf(" Signed: unreadable signature (%s)", why);
    } else {
        char fingerprint[SIG_FINGERPRINT_SIZE];
        ssh_fingerprint(check.sig.key, fingerprint);
        printf(" Signed: ssh-ed25519 %s (%s)", fingerprint, verified ? "verified" : "not verified");
    }
    printf(", text in bytes [%ld, %ld)\n", p - static_cast<long>(SIG_TEXT_SIZE), p);
}
