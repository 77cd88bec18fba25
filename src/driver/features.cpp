// Archive driver: the feature list, comma-separated KEY=value or bare KEY items, matched as
// whole items. Owns get_feature's result buffer.
#include "driver/kelpa.h"
#include "support/aplist.h"

#include <cstring>

namespace {

char fstr[FEATURE_STR_SIZE];

}  // namespace

int add_feature(const char *f) {
    size_t have = strlen(features);
    size_t add = strlen(f) + (have ? 1 : 0);
    if (have + add > PREAMBLE_STR_SIZE - 1) return -1;
    if (have) features[have++] = ',';
    memcpy(features + have, f, strlen(f) + 1);
    return 0;
}

char *get_feature(const char *f) {
    // The first item that is the key: a KEY= item begins with the key, '=' included; a bare
    // KEY item is the key alone. Blanks around an item do not count. *len: the item's length
    // from the returned start.
    auto whole_item = [](const char *key, size_t *len) -> const char * {
        const size_t klen = strlen(key);
        const bool bare = klen == 0 || key[klen - 1] != '=';
        for (const char *item = features;;) {
            item += strspn(item, " \t");
            const char *comma = strchr(item, ',');
            *len = comma ? static_cast<size_t>(comma - item) : strlen(item);
            if (*len >= klen && strncmp(item, key, klen) == 0 &&
                (!bare || strspn(item + klen, " \t\r\n") == *len - klen))
                return item;
            if (!comma) return nullptr;
            item = comma + 1;
        }
    };
    size_t len;
    const char *at = whole_item(f, &len);
    // Builders that found keys anywhere stored a payload raw when NOCOMPR stood anywhere in
    // the list (a name holding it, an option item's value), so a bare key is still found
    // anywhere, as they found it. The builder renames or refuses whatever would hold one
    // elsewhere but in a NAME item it stores raw, so both rules read its archives alike.
    const size_t klen = strlen(f);
    if (!at && klen > 0 && f[klen - 1] != '=') at = find_str(features, f);
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
