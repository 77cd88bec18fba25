// Support library: ap_strsplit, which cuts a string into separately allocated fields at
// separator characters, honouring one double-quoted section and backslash escapes.
#include "support/aplist.h"

#include <cstdlib>
#include <cstring>

namespace {

// Copies text[start, end) into a new string; drops its backslashes when the field held one.
void append_field(APLIST *list, const char *start, size_t len, bool escaped) {
    char *field = static_cast<char *>(malloc(len + 1));
    if (!field) return;
    memcpy(field, start, len);
    field[len] = '\0';
    if (escaped) strdel(field, '\\');
    ap_add_item(list, field);
}

}  // namespace

const char *find_bytes(const char *s, size_t n, const char *t, size_t m) {
    for (size_t i = 0; m <= n && i <= n - m; ++i)
        if (memcmp(s + i, t, m) == 0) return s + i;
    return nullptr;
}

const char *find_str(const char *s, const char *t) {
    return find_bytes(s, strlen(s), t, strlen(t));
}

char *find_str(char *s, const char *t) {
    return const_cast<char *>(find_str(static_cast<const char *>(s), t));
}

APLIST ap_strsplit(const char *str, const char *toksep) {
    APLIST list = ap_create(5, ap_free_item);
    if (!list || !str || !*str) return list;
    char *work = strdup(str);
    if (!work) return list;

    char *field = work;
    bool quoted = false, escaped = false;
    char *p = work;
    for (;;) {
        if (*p == '\0') break;
        if (*p == '\\') {
            if (p[1] == '\0') break;  // a trailing backslash stays in the field
            escaped = true;
            p += 2;
            continue;
        }
        if (*p == '"' && !escaped && !quoted) {
            quoted = true;
            field = ++p;  // text of the field before the quote is dropped
            continue;
        }
        if (*p == '"' && !escaped && quoted) {
            memmove(p, p + 1, strlen(p + 1) + 1);  // delete the closing quote
            quoted = false;
            if (*p == '\0') {
                // The end of the string acts as the separator: store even an empty field.
                append_field(&list, field, static_cast<size_t>(p - field), escaped);
                free(work);
                return list;
            }
            // The character now standing in the quote's place is only tested as a separator.
        }
        if (!quoted && strchr(toksep, *p)) {
            append_field(&list, field, static_cast<size_t>(p - field), escaped);
            field = p + 1;
            escaped = false;
        }
        ++p;
    }
    if (*field) {
        size_t len = strlen(field);
        append_field(&list, field, len, escaped);
    }
    free(work);
    return list;
}

int strdel(char *str, int c1) {
    if (!str || !*str) return 0;
    int deleted = 0;
    char *w = str;
    for (char *r = str; *r; ++r) {
        if (static_cast<int>(static_cast<signed char>(*r)) == c1)
            ++deleted;
        else
            *w++ = *r;
    }
    *w = '\0';
    return deleted;
}
