// Archive driver: the command templates, in which "%o" stands for the output name and "%p"
// for the current directory, each written so that the shell reads exactly its bytes wherever
// the template puts it. The tracker follows the shell's grammar byte by byte; where a value
// cannot be written safely the template is refused. Owns no state beyond one expansion.
#include "driver/kelpa.h"
#include "support/aplist.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "driver/shell_tracker.h"
#include "gzip/gzip.h"

namespace {

// A working directory longer than a whole expanded command could never fit into one.
constexpr size_t CWD_SIZE = EXPANDED_CMD_SIZE;

// Bytes that every shell context reads as themselves: a value made only of them is written
// as it is, wherever it stands.
bool plain_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && strchr("_./-+,:@=", c) != nullptr);
}

// The first byte of v that is not plain, or '\0' when there is none.
char first_special(const char *v) {
    while (*v && plain_byte(*v)) ++v;
    return *v;
}

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

    bool raw(const char *v) {
        for (; *v; ++v)
            if (!put(*v)) return false;
        return true;
    }

    // v with a backslash before every byte of `escaped`.
    bool escaped(const char *v, const char *escaped) {
        for (; *v; ++v)
            if ((strchr(escaped, *v) && !put('\\')) || !put(*v)) return false;
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

    bool in_quotes(const char *v) { return put('\'') && single_quoted(v) && put('\''); }

    // Inside `...` the shell first removes the backslash before each byte of `special`, then
    // reads the rest: the text written since start gets a backslash before each of them.
    bool escape_since(size_t start, const char *special) {
        size_t extra = 0;
        for (size_t i = start; i < w; ++i) extra += strchr(special, out[i]) != nullptr;
        if (extra > limit - w) return false;
        size_t to = w + extra;
        for (size_t from = w; from > start;) {
            char c = out[--from];
            out[--to] = c;
            if (strchr(special, c)) out[--to] = '\\';
        }
        w += extra;
        return true;
    }
};

// Why a value could not be written: where (a phrase ending "cannot be written safely ...")
// and the value's byte at fault; where == nullptr when the value was written. too_long:
// the expansion would not fit.
struct Refusal {
    const char *where = nullptr;
    char c = 0;
    bool too_long = false;
};

const Refusal WRITTEN{};
const Refusal TOO_LONG{nullptr, 0, true};

// A plain value stays bare in a command line's word, unless bare it could turn into a
// reserved word or an assignment, follow a '~' or fall into a {a,b} list.
bool bare_in_command(const Frame &t) {
    if (!t.word) return t.pos == Pos::No;
    return t.word_pos == Pos::No && !t.brace && t.last != '~';
}

// Writes v, whose first byte not plain is special ('\0': none), for the context on top of
// st, with what a backslash waiting there needs first.
Refusal encode(const ShellState &st, Expansion &e, const char *v, char special) {
    const Frame &t = st.f[st.n - 1];
    const bool plain = special == '\0';
    for (int i = 0; i < st.n; ++i)
        if (st.f[i].kind == Ctx::Layer && st.f[i].bs && !plain)
            return {"right after a backslash", special};
    for (int i = 0; i < st.n; ++i)  // bash takes "${V:-"..."}" apart and lists {a,b} in it
        if (st.f[i].kind == Ctx::Word && st.f[i].dq && strchr(v, '{'))
            return {"inside \"${...}\"", '{'};
    if (t.bs && plain) return e.raw(v) ? WRITTEN : TOO_LONG;
    if (t.bs) {
        bool ok;
        if (t.kind == Ctx::Cmd)
            ok = e.put('\n');  // the template's backslash and this newline are dropped
        else if (t.kind == Ctx::Double || t.kind == Ctx::Doc)
            ok = e.put('\\');  // the template's backslash stays one
        else
            return {"right after a backslash", special};
        if (!ok) return TOO_LONG;
    }
    bool ok = true;
    switch (t.kind) {
        case Ctx::Cmd:
            if (t.comment && strchr(v, '\n')) return {"in a comment", '\n'};
            ok = t.comment || (plain && bare_in_command(t)) ? e.raw(v) : e.in_quotes(v);
            break;
        case Ctx::Single:
            // bash misreads '' next to \' in the word of ${V:-'...'} (a case's subject)
            if (st.n > 1 && st.f[st.n - 2].kind == Ctx::Word && strchr(v, '\''))
                return {"inside '...' in ${...}", '\''};
            ok = e.single_quoted(v);
            break;
        case Ctx::Ansi:
            // Bare, unless a quote or a backslash needs it closed, quoted and reopened.
            ok = strpbrk(v, "'\\") ? e.put('\'') && e.in_quotes(v) && e.raw("$'") : e.raw(v);
            break;
        case Ctx::Double:
            ok = e.escaped(v, "$`\"\\");
            break;
        case Ctx::Word:
            if (plain && (t.dq || t.last != '~')) {
                ok = e.raw(v);
            } else if (t.pattern) {
                return {"in a ${...} pattern", special};
            } else {
                // In "..." also when the ${...} is not: bash misreads '\'' in a case's word.
                ok = e.put('"') && e.escaped(v, "$`\"\\") && e.put('"');
            }
            break;
        case Ctx::Param:
        case Ctx::Arith:
            if (!plain)
                return {t.kind == Ctx::Arith ? "in an arithmetic expansion" : "in a ${...} name",
                        special};
            ok = e.raw(v);
            break;
        case Ctx::Doc:
            if (strchr(v, '\n')) return {"in a here-document", '\n'};
            if (v[0] == '\t' && t.lead && st.docs[t.slot].strip)  // "<<-" drops it
                return {"in a here-document", '\t'};
            ok = st.docs[t.slot].quoted ? e.raw(v) : e.escaped(v, "$`\\");
            break;
        case Ctx::Layer:
            return {"here", special};
    }
    return ok ? WRITTEN : TOO_LONG;
}

// Writes v at the point the tracker st has reached and moves st over it. Where the tracker
// is lost only a plain value is written (the caller refuses the others); elsewhere a value is
// refused wherever its text would not leave the shell reading on as before.
Refusal place(ShellState &st, Expansion &e, const char *v) {
    const char special = first_special(v);
    if (!*v) return WRITTEN;
    if (st.lost) {
        size_t i = e.w;  // a '$' before the name bytes that end the text would take v's
        while (i > 0 && name_byte(e.out[i - 1]) && name_byte(v[0])) --i;
        if (i > 0 && (e.out[i - 1] == '$' || e.out[e.w - 1] == '~'))
            return {"right after a '$' or '~'", v[0]};
        return e.raw(v) ? WRITTEN : TOO_LONG;
    }
    const ShellState before = st;
    if (st.top().pname && name_byte(v[0])) return {"right after a parameter's name", v[0]};
    if (st.top().dollar) {
        // After a '$' only a byte that no parameter name starts with keeps the '$' plain.
        if (!strchr("/.,:=+", v[0])) return {"right after a '$'", v[0]};
        if (!e.put(*v)) return TOO_LONG;
        st.feed(*v++);
        if (!*v) return reads_on(before, st) ? WRITTEN : Refusal{"here", v[-1]};
    }
    const size_t start = e.w;
    Refusal r = encode(st, e, v, special);
    if (r.where || r.too_long) return r;
    for (int i = st.n - 1; i >= 0; --i) {
        const Frame &l = st.f[i];
        if (l.kind == Ctx::Layer && !e.escape_since(start, l.dq ? "$`\\\"" : "$`\\"))
            return TOO_LONG;
    }
    for (size_t i = start; i < e.w; ++i) st.feed(e.out[i]);
    if (reads_on(before, st)) return WRITTEN;
    const Frame &t = before.f[before.n - 1];
    return {t.kind == Ctx::Doc ? "in a here-document"
            : t.comment        ? "in a comment"
                               : "here",
            special ? special : v[0]};
}

// Starts the one line that tells why pgm is not run.
void refusing(const char *pgm) {
    fprintf(stderr, "%s: refusing to run \"", progname);
    print_visible(stderr, pgm);
    fputs("\": ", stderr);
}

void print_byte(char c) {
    const char s[2] = {c, '\0'};
    fputc('\'', stderr);
    print_visible(stderr, s);
    fputc('\'', stderr);
}

}  // namespace

char *replace_program_parms(const char *pgm) {
    char *out = static_cast<char *>(calloc(EXPANDED_CMD_SIZE, 1));
    if (!out) return nullptr;
    Expansion e{out, 0, EXPANDED_CMD_SIZE - 1};
    ShellState st;
    size_t lost_at = 0;  // the template's byte after which the tracker stopped
    bool ok = true, too_long = false;
    for (size_t r = 0; ok && pgm[r]; ++r) {
        if (pgm[r] == '%' && (pgm[r + 1] == 'o' || pgm[r + 1] == 'p')) {
            char cwd[CWD_SIZE];
            const char *what = pgm[r + 1] == 'o' ? "output name" : "directory name";
            const char *value = pgm[r + 1] == 'o' ? ofname : getcwd(cwd, sizeof cwd);
            ++r;
            if (!value) {
                refusing(pgm);
                fprintf(stderr, "cannot get the current directory (%s)\n", strerror(errno));
                ok = false;
            } else if (st.lost && (first_special(value) || find_bytes(pgm, r, "<<", 2))) {
                // Past a here-document's start even a plain name could end its body.
                refusing(pgm);
                fprintf(stderr, "cannot place the %s safely after ", what);
                print_byte(pgm[lost_at]);
                fprintf(stderr, " (byte %zu)\n", lost_at + 1);
                ok = false;
            } else if (const Refusal why = place(st, e, value); why.where || why.too_long) {
                ok = false;
                too_long = why.too_long;
                if (why.where) {
                    refusing(pgm);
                    fprintf(stderr, "the %s's ", what);
                    print_byte(why.c);
                    fprintf(stderr, " cannot be written safely %s\n", why.where);
                }
            }
            continue;
        }
        // Template text, including a '%' with the character after it (a doubled percent sign
        // stays doubled) or at the very end, is copied and moves the tracker along.
        size_t n = pgm[r] == '%' && pgm[r + 1] != '\0' ? 2 : 1;
        for (size_t i = 0; ok && i < n; ++i) {
            ok = e.put(pgm[r + i]);
            too_long = !ok;
            const bool was_lost = st.lost;
            st.feed(pgm[r + i]);
            if (st.lost && !was_lost) lost_at = r + i;
        }
        r += n - 1;
    }
    if (too_long) {
        refusing(pgm);
        fputs("too long once the names are written in\n", stderr);
    }
    if (!ok) {
        free(out);
        return nullptr;
    }
    out[e.w] = '\0';
    return out;
}
