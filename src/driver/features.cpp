// Archive driver: the feature list (comma-separated KEY=value or bare KEY items) and the
// command templates in which "%o" stands for the output name and "%p" for the current
// directory, each written so that the shell reads it as plain text. Owns get_feature's result
// buffer.
#include "driver/kelpa.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "gzip/gzip.h"

namespace {

char fstr[FEATURE_STR_SIZE];

// A working directory longer than a whole expanded command could never fit into one.
constexpr size_t CWD_SIZE = EXPANDED_CMD_SIZE;

// Where the shell stands at a point of a command line: outside quotes, inside '...', inside
// "...", or just after a backslash outside quotes or inside "..." (whose meaning depends on
// the byte that follows). Here-documents are not followed.
enum class Quoting { Outside, OutsideBackslash, Single, Double, DoubleBackslash };

Quoting after(Quoting q, char c) {
    switch (q) {
        case Quoting::Outside:
            if (c == '\\') return Quoting::OutsideBackslash;
            if (c == '\'') return Quoting::Single;
            if (c == '"') return Quoting::Double;
            return q;
        case Quoting::Single:
            return c == '\'' ? Quoting::Outside : q;
        case Quoting::Double:
            if (c == '\\') return Quoting::DoubleBackslash;
            if (c == '"') return Quoting::Outside;
            return q;
        case Quoting::OutsideBackslash:
            return Quoting::Outside;
        case Quoting::DoubleBackslash:
            return Quoting::Double;
    }
    return q;
}

// The state after a value written by Expansion::literal, which leaves every quote it opens
// closed and consumes a pending backslash.
Quoting after_value(Quoting q) {
    if (q == Quoting::OutsideBackslash) return Quoting::Outside;
    if (q == Quoting::DoubleBackslash) return Quoting::Double;
    return q;
}

// Command substitutions nested deeper than this are refused.
constexpr int SUBST_DEPTH_MAX = 8;

enum class Subst : unsigned char { Paren, Backquote };

// The quoting state of a whole template. A command substitution, $(...) or `...`, starts a
// command line of its own, outside quotes even inside "...": the enclosing state is kept
// until the substitution ends. In $(...) unquoted parentheses pair up before the closing
// one ($((...)) included).
struct ShellState {
    Quoting q = Quoting::Outside;
    int depth = 0;  // open substitutions
    Quoting outer[SUBST_DEPTH_MAX];
    Subst kind[SUBST_DEPTH_MAX];
    int parens[SUBST_DEPTH_MAX];
    bool dollar = false;  // the last byte was a '$' that may start a substitution

    // Moves over template byte c; false when substitutions nest too deep.
    bool step(char c) {
        const bool was_dollar = dollar;
        dollar = false;
        if (q == Quoting::Outside || q == Quoting::Double) {
            const bool in_paren = depth > 0 && kind[depth - 1] == Subst::Paren;
            if (was_dollar && c == '(') return push(Subst::Paren);
            if (c == '`') {
                if (depth > 0 && kind[depth - 1] == Subst::Backquote && q == Quoting::Outside) {
                    q = outer[--depth];
                    return true;
                }
                return push(Subst::Backquote);
            }
            if (c == '$') {
                dollar = true;
                return true;
            }
            if (q == Quoting::Outside && in_paren && c == '(') {
                ++parens[depth - 1];
                return true;
            }
            if (q == Quoting::Outside && in_paren && c == ')') {
                if (parens[depth - 1] > 0)
                    --parens[depth - 1];
                else
                    q = outer[--depth];
                return true;
            }
        }
        q = after(q, c);
        return true;
    }

    int backquote_levels() const {
        int n = 0;
        for (int i = 0; i < depth; ++i) n += kind[i] == Subst::Backquote;
        return n;
    }

    bool push(Subst k) {
        if (depth == SUBST_DEPTH_MAX) return false;
        outer[depth] = q;
        kind[depth] = k;
        parens[depth] = 0;
        ++depth;
        q = Quoting::Outside;
        return true;
    }
};

// The expanded command being written: out[0..w), at most limit bytes. Every append is
// bound-checked; false means the expansion would not fit, and the caller refuses it rather
// than run a command cut short.
struct Expansion {
    char *out;
    size_t w;
    size_t limit;

    bool put(char c) {
        if (w >= limit) return false;
        out[w++] = c;
        return true;
    }

    // Inside '...' a quote cannot be escaped: it is closed, written escaped, and reopened.
    bool single_quoted(const char *v) {
        for (; *v; ++v) {
            bool ok = *v == '\'' ? put('\'') && put('\\') && put('\'') && put('\'') : put(*v);
            if (!ok) return false;
        }
        return true;
    }

    // Writes v so that the shell reads it as the literal text v where the state q says the
    // command line stands, inside backquotes levels deep.
    bool literal(const char *v, Quoting q, int levels) {
        // The template's backslash would escape only the value's first character, which is
        // literal anyway; left in place it would escape the opening quote.
        if (q == Quoting::OutsideBackslash) --w;
        const size_t start = w;
        return quoted(v, q) && escape_for_backquotes(start, levels);
    }

    bool quoted(const char *v, Quoting q) {
        switch (q) {
            case Quoting::OutsideBackslash:
            case Quoting::Outside:
                return put('\'') && single_quoted(v) && put('\'');
            case Quoting::Single:
                return single_quoted(v);
            case Quoting::DoubleBackslash:
                // Before '%' the template's backslash was a literal one; doubling it keeps it
                // so, instead of letting it escape an escape written for the value.
                if (!put('\\')) return false;
                [[fallthrough]];
            case Quoting::Double:
                for (; *v; ++v) {
                    if (strchr("$`\"\\", *v) && !put('\\')) return false;
                    if (!put(*v)) return false;
                }
                return true;
        }
        return false;
    }

    // Inside `...` the shell first removes the backslash before $ ` and \, then reads the
    // rest as a command: the text written since start gets one more backslash before each of
    // them per enclosing `...`, so that the shell sees it as written.
    bool escape_for_backquotes(size_t start, int levels) {
        for (; levels > 0; --levels) {
            size_t extra = 0;
            for (size_t i = start; i < w; ++i) extra += strchr("$`\\", out[i]) != nullptr;
            if (extra > limit - w) return false;
            size_t to = w + extra;
            for (size_t from = w; from > start;) {
                char c = out[--from];
                out[--to] = c;
                if (strchr("$`\\", c)) out[--to] = '\\';
            }
            w += extra;
        }
        return true;
    }
};

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
    if (!at && klen > 0 && f[klen - 1] != '=') at = strstr(features, f);
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
    Expansion e{out, 0, EXPANDED_CMD_SIZE - 1};
    ShellState st;
    bool ok = true;
    for (size_t r = 0; ok && pgm[r]; ++r) {
        if (pgm[r] == '%' && (pgm[r + 1] == 'o' || pgm[r + 1] == 'p')) {
            char cwd[CWD_SIZE];
            const char *value = pgm[r + 1] == 'o' ? ofname : getcwd(cwd, sizeof cwd);
            ok = value != nullptr && e.literal(value, st.q, st.backquote_levels());
            st.q = after_value(st.q);
            st.dollar = false;
            ++r;
            continue;
        }
        // Template text, including a '%' with the character after it (a doubled percent sign
        // stays doubled) or at the very end, is copied and moves the quoting state along.
        size_t n = pgm[r] == '%' && pgm[r + 1] != '\0' ? 2 : 1;
        for (size_t i = 0; ok && i < n; ++i) ok = e.put(pgm[r + i]) && st.step(pgm[r + i]);
        r += n - 1;
    }
    if (!ok) {
        free(out);
        return nullptr;
    }
    out[e.w] = '\0';
    return out;
}
