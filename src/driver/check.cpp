// Archive driver: the check item. The builder ends the feature list with one item holding a
// CRC-32 of everything the extractor acts on before the payload's own CRC can speak: the four
// preamble strings with their NULs (the item's digits taken as '0') and the first member's
// header. The extractor and the listing compare it before they use any of it.
#include <cstdio>
#include <cstring>

#include "driver/kelpa.h"
#include "support/aplist.h"
#include "gzip/gzip.h"

namespace {

constexpr size_t CHECK_KEY_LEN = sizeof CHECK_KEY - 1;
constexpr char kHexDigits[] = "0123456789abcdef";

bool is_hex(char c) {
    return c != '\0' && strchr(kHexDigits, c) != nullptr;
}

// The item's digits in features, or nullptr. The item is found by its shape, not only at the
// end: a damaged NUL after the list would make the next string part of it, and the item must
// still be found for the damage to be seen. The last one counts.
char *find_check_digits() {
    char *found = nullptr;
    for (char *at = find_str(features, CHECK_KEY); at; at = find_str(at + 1, CHECK_KEY)) {
        if (at != features && at[-1] != ',') continue;
        char *d = at + CHECK_KEY_LEN;
        bool digits = true;
        for (size_t i = 0; i < CHECK_DIGITS && digits; ++i) digits = is_hex(d[i]);
        if (digits && !is_hex(d[CHECK_DIGITS])) found = d;
    }
    return found;
}

// The CRC-32 the item must hold, with its digits at d taken as '0' and a signature's text
// as SIG_PLACEHOLDER.
uint32_t preamble_crc(const char *d, const uch *hdr, size_t hdr_len) {
    static const char zeros[CHECK_DIGITS + 1] = "00000000";
    static_assert(sizeof zeros == CHECK_DIGITS + 1);
    const char *sig = find_sig_text();
    const char *end = features + strlen(features);
    if (sig && sig < d + CHECK_DIGITS) sig = nullptr;  // never so: the text holds no "="
    uint32_t crc = crc32_of(0, features, static_cast<size_t>(d - features));
    crc = crc32_of(crc, zeros, CHECK_DIGITS);
    const char *rest = d + CHECK_DIGITS;
    if (sig) {
        crc = crc32_of(crc, rest, static_cast<size_t>(sig - rest));
        for (size_t i = 0; i < SIG_TEXT_SIZE; ++i) crc = crc32_of(crc, &SIG_PLACEHOLDER, 1);
        rest = end;
    }
    crc = crc32_of(crc, rest, strlen(rest) + 1);
    for (const char *s : {comment, run_program, pipe_program})
        crc = crc32_of(crc, s, strlen(s) + 1);
    return crc32_of(crc, hdr, hdr_len);
}

}  // namespace

int add_check_item(const unsigned char *hdr, size_t hdr_len, bool sign) {
    char item[CHECK_KEY_LEN + CHECK_DIGITS + 1];
    snprintf(item, sizeof item, "%s%0*u", CHECK_KEY, static_cast<int>(CHECK_DIGITS), 0u);
    const size_t before = strlen(features);
    if (add_feature(item) != 0) return -1;
    char *d = features + strlen(features) - CHECK_DIGITS;
    if (sign) {
        char sig_item[sizeof SIG_KEY + SIG_TEXT_SIZE];
        memcpy(sig_item, SIG_KEY, sizeof SIG_KEY - 1);
        memset(sig_item + sizeof SIG_KEY - 1, SIG_PLACEHOLDER, SIG_TEXT_SIZE);
        sig_item[sizeof sig_item - 1] = '\0';
        if (add_feature(sig_item) != 0) {
            features[before] = '\0';  // the list as it was
            return -1;
        }
    }
    const uint32_t crc = preamble_crc(d, hdr, hdr_len);
    for (size_t i = 0; i < CHECK_DIGITS; ++i)  // big-endian hex, lowercase
        d[i] = kHexDigits[(crc >> (4 * (CHECK_DIGITS - 1 - i))) & 0xf];
    return 0;
}

int check_preamble(const char *archive, bool compressed) {
    const char *d = find_check_digits();
    if (!d) return 0;
    // get_method read the header from empty buffers: it is inbuf[0..inptr) when it lay in the
    // first fill, as every header the builder writes does; one that did not cannot match.
    const size_t hdr_len = compressed ? (bytes_in == static_cast<long>(insize) ? inptr : 0) : 0;
    uint32_t stored = 0;
    for (size_t i = 0; i < CHECK_DIGITS; ++i)
        stored = stored << 4 | static_cast<uint32_t>(strchr(kHexDigits, d[i]) - kHexDigits);
    if ((hdr_len > 0 || !compressed) && stored == preamble_crc(d, inbuf, hdr_len)) return 1;
    fputs(progname, stderr);
    fputs(": ", stderr);
    print_visible(stderr, archive);
    fputs(": damaged archive: its preamble or member header does not match its check\n", stderr);
    return -1;
}
