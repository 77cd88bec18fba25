// Fuzz target: the feature list as an archive's preamble carries it: lookup (get_feature),
// splitting (ap_strsplit, strtrim) and export to the environment (export_features). The
// input is split at its first NUL byte into the list and a lookup key.
#include <cstdlib>
#include <cstring>

#include "driver/kelpa.h"
#include "harness.h"
#include "support/aplist.h"

extern char **environ;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const uint8_t *nul = static_cast<const uint8_t *>(memchr(data, 0, size));
    size_t flen = nul ? static_cast<size_t>(nul - data) : size;
    if (flen >= PREAMBLE_STR_SIZE) return 0;  // the preamble reader never yields longer
    memcpy(features, data, flen);
    features[flen] = '\0';
    char key[PREAMBLE_STR_SIZE];
    size_t klen = nul ? size - flen - 1 : 0;
    if (klen >= sizeof key) klen = sizeof key - 1;
    if (nul) memcpy(key, nul + 1, klen);
    key[klen] = '\0';

    // The lookup result is one item of at most FEATURE_STR_SIZE - 1 characters, found in
    // the list, that begins with the key (or is cut inside it).
    char *item = get_feature(key);
    if (item) {
        size_t n = strnlen(item, FEATURE_STR_SIZE);
        if (n >= FEATURE_STR_SIZE) __builtin_trap();
        const size_t kl = strlen(key);
        if (strncmp(item, key, n < kl ? n : kl) != 0) __builtin_trap();
        if (!strstr(features, item)) __builtin_trap();
        if (strchr(item, ',')) __builtin_trap();
    }

    // Splitting only removes bytes (separators, quotes, escapes): the items together are no
    // longer than the list, and there is at most one more item than there are commas.
    APLIST l = ap_strsplit(features, ",");
    if (!l) __builtin_trap();
    size_t total = 0, items = 0;
    for (; l[items]; ++items) {
        strtrim(static_cast<char *>(l[items]));
        total += strlen(static_cast<char *>(l[items]));
    }
    size_t commas = 0;
    for (size_t i = 0; i < flen; ++i) commas += features[i] == ',';
    if (total > flen || items > commas + 1) __builtin_trap();
    ap_destroy(l);

    // Export into an empty environment and take it apart again: the strings the
    // environment keeps are released here, so 10 million runs do not pile them up.
    clearenv();
    fuzz_track_begin();
    export_features();
    for (char **e = environ; e && *e; ++e) {
        const char *eq = strchr(*e, '=');
        if (!eq || eq == *e) __builtin_trap();  // every exported item has a name and '='
    }
    clearenv();
    fuzz_track_end();
    return 0;
}
