// Archive driver: the feature list (comma-separated KEY=value or bare KEY items) and the
// command templates in which "%o" stands for the output name and "%p" for the current
// directory. Owns get_feature's result buffer.
#include "driver/kelpa.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "gzip/gzip.h"

namespace {
char fstr[FEATURE_STR_SIZE];
}

int add_feature(const char *f) {
    size_t have = strlen(features);
    size_t add = strlen(f) + (have ? 1 : 0);
    if (have + add > PREAMBLE_STR_SIZE - 1) return -1;
    if (have) features[have++] = ',';
    memcpy(features + have, f, strlen(f) + 1);
    return 0;
}

char *get_feature(const char *f) {
    const char *at = strstr(features, f);
    if (!at) return nullptr;
    size_t n = strnlen(at, FEATURE_STR_SIZE - 1);
    memcpy(fstr, at, n);
    fstr[n] = '\0';
    char *comma = strchr(fstr, ',');
    if (comma) {
        *comma = '\0';
        strtrim(fstr);
    }
    return fstr;
}

int strtrim(char *s) {
    int n = static_cast<int>(strlen(s));
    while (n > 0) {
        char c = s[n - 1];
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
        s[--n] = '\0';
    }
    return n;
}

char *replace_program_parms(const char *pgm) {
    char *out = static_cast<char *>(calloc(EXPANDED_CMD_SIZE, 1));
    if (!out) return nullptr;
    const size_t limit = EXPANDED_CMD_SIZE - 1;
    size_t w = 0;
    // Appends n bytes; false when the expansion would not fit, which the caller refuses
    // rather than run a command cut short.
    auto append = [&](const char *s, size_t n) {
        if (n > limit - w) return false;
        memcpy(out + w, s, n);
        w += n;
        return true;
    };
    bool ok = true;
    for (size_t r = 0; ok && pgm[r]; ++r) {
        if (pgm[r] != '%') {
            ok = append(pgm + r, 1);
        } else if (pgm[r + 1] == 'o') {
            ok = append(ofname, strlen(ofname));
            ++r;
        } else if (pgm[r + 1] == 'p') {
            ok = getcwd(out + w, limit - w + 1) != nullptr;
            if (ok) w += strlen(out + w);
            ++r;
        } else if (pgm[r + 1] == '\0') {
            ok = append("%", 1);
        } else {
            ok = append(pgm + r, 2);
            ++r;
        }
    }
    if (!ok) {
        free(out);
        return nullptr;
    }
    out[w] = '\0';
    return out;
}
