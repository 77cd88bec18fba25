// Fuzz target: the feature list and command templates. The input is split at its first NUL
// bytes into a feature list, a lookup key, an output name and a template.
#include <cstdlib>
#include <cstring>

#include "driver/kelpa.h"
#include "harness.h"
#include "gzip/gzip.h"
#include "support/aplist.h"

namespace {

// Takes the next NUL-terminated piece of the input, cut to fit a buffer of cap bytes.
void take(const uint8_t *&p, const uint8_t *end, char *dst, size_t cap) {
    size_t n = 0;
    while (p < end && *p) {
        if (n + 1 < cap) dst[n++] = static_cast<char>(*p);
        ++p;
    }
    if (p < end) ++p;
    dst[n] = '\0';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_reset_streams();
    const uint8_t *p = data, *end = data + size;
    char key[64], tmpl[PREAMBLE_STR_SIZE];
    take(p, end, features, PREAMBLE_STR_SIZE);
    take(p, end, key, sizeof key);
    take(p, end, ofname, NAME_BUF_SIZE);
    take(p, end, tmpl, sizeof tmpl);

    char *item = get_feature(key);
    if (item && strlen(item) >= FEATURE_STR_SIZE) __builtin_trap();

    APLIST l = ap_strsplit(features, ",");
    if (!l) __builtin_trap();
    for (int i = 0; l[i]; ++i) strtrim(static_cast<char *>(l[i]));
    ap_destroy(l);

    char *cmd = replace_program_parms(tmpl);
    if (cmd) {
        if (strlen(cmd) >= EXPANDED_CMD_SIZE) __builtin_trap();
        free(cmd);
    }
    add_feature(key);
    if (strlen(features) >= PREAMBLE_STR_SIZE) __builtin_trap();
    return 0;
}
