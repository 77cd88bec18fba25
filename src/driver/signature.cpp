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

// hash_file_range reads this much at a time.
constexpr size_t HASH_READ_SIZE = 64 * 1024;
uint8_t hash_buf[HASH_READ_SIZE];
// KELPA_VERIFY_KEY names a file of at most this much (a public key line is about 100 bytes).
constexpr size_t KEY_FILE_SIZE = 4096;

constexpr size_t SIG_KEY_LEN = sizeof SIG_KEY - 1;

bool is_base64(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

// The check in progress: the key asked for, the signature, and the message's hash up to
// `next`, the file offset of the first byte not yet fed.
struct SigCheck {
    uint8_t key[32];
    SshSig sig;
    Sha512 hash;
    long next;
};
SigCheck check;

void feed_fill(const uch *p, unsigned n) {
    sha512_update(&check.hash, p, n);
    check.next += n;
}

// "progname: ARCHIVE: " then text and a newline.
void say(const char *archive, const char *text) {
    fprintf(stderr, "%s: ", progname);
    print_visible(stderr, archive);
    fprintf(stderr, ": %s\n", text);
}

// The slot's offsets in the file: [v, p).
long slot_end() {
    return preamble_start + static_cast<long>(strlen(features));
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

bool hash_file_range(int fd, long from, long to, Sha512 *c) {
    while (to < 0 || from < to) {
        size_t want = HASH_READ_SIZE;
        if (to >= 0 && static_cast<unsigned long>(to - from) < want)
            want = static_cast<size_t>(to - from);
        ssize_t n = pread(fd, hash_buf, want, from);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            if (to < 0) return true;
            errno = EIO;  // the file is shorter than it was
            return false;
        }
        sha512_update(c, hash_buf, static_cast<size_t>(n));
        from += n;
    }
    return true;
}
