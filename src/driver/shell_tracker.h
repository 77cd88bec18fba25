// Archive driver: the shell tracker that the command templates follow byte by byte, to
// know what the shell reads at each point of a command line. Each expansion owns one
// ShellState; nothing here is global. Included by templates.cpp alone: with internal
// linkage the tracker's steps inline into the expansion as they did in one file, and the
// stub stays about 3 KB smaller than with the steps as separate functions.
#pragma once

#include <cstddef>
#include <cstring>

namespace {

// What the shell reads at a point of the command line. The tracker follows the POSIX
// grammar wherever a name can be written, and bash's $'...'. Where it cannot tell what the
// shell reads next (a construct it does not follow, or one that dash and bash read apart),
// it stops (ShellState::lost), and from there on only plain values are written.
enum class Ctx : unsigned char {
    Cmd,     // a command line: the template, $(...), or the command inside `...`
    Layer,   // `...` itself: drops the backslash before $ ` \ (and " inside "...") before
             // the command line above it in the stack reads the text
    Single,  // '...'
    Double,  // "..."
    Ansi,    // $'...'
    Param,   // "${" and the parameter's name
    Word,    // the word of ${NAME-word} (also :- = := ? :? + :+), or a # % ## %% pattern
    Arith,   // $((...))
    Doc,     // a here-document's body
};

// Whether the next word of a command line is where a reserved word is recognised.
enum class Pos : unsigned char { Yes, No, Unclear };
// The part of a case command being read: its subject, "in", a pattern, the commands.
enum class Case : unsigned char { Subject, In, Pattern, Body };

constexpr int FRAME_MAX = 16;              // quotes, expansions and substitutions open at once
constexpr int CASE_MAX = 4;                // case commands nested in one command line
constexpr int DOC_MAX = 4;                 // here-documents announced and not yet ended
constexpr size_t DELIM_SIZE = 32;          // a here-document's end marker (31 bytes) and its NUL
constexpr size_t KEYWORD_SIZE = 9;         // "function", the longest word looked up, and its NUL
constexpr unsigned char PARENS_MAX = 255;  // parentheses open in one frame: its counter's range

const char *const RESERVED[] = {
    "if",  "then", "else", "elif", "fi", "do", "done", "while", "until",  "case",   "esac",
    "for", "in",   "{",    "}",    "!",  "[[", "]]",   "time",  "select", "coproc", "function"};
// Reserved words after which the next word is again a command's first.
const char *const OPENERS[] = {"if", "then", "else", "elif", "do", "while", "until", "!", "{"};

template <size_t N>
bool listed(const char *w, const char *const (&list)[N]) {
    for (const char *x : list)
        if (strcmp(w, x) == 0) return true;
    return false;
}

bool name_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

struct Frame {
    Ctx kind = Ctx::Cmd;
    bool bs = false;      // a backslash waits for the byte it escapes
    bool dollar = false;  // a '$' waits for the byte that tells what it starts
    bool pname = false;   // the bytes read last are a parameter's name after a '$'
    bool dq = false;      // Layer, Param, Word: inside "..."
    bool doc = false;     // Layer: inside a here-document, where dash and bash read \" apart
    bool marker = false;  // Cmd, Single, Double: the bytes read form a here-document marker
    // Cmd only.
    bool subst = false;  // $(...), which an unpaired ')' ends
    bool fresh = false;  // just after "$(": a '(' makes it $((
    bool word = false, comment = false, redir = false;
    bool keyword = false, name = false, assign = false, brace = false, pattern_any = false;
    unsigned char heredoc = 0;  // 1 just after "<<", 2 until the marker's first byte
    unsigned char forword = 0;  // 1 after "for", 2 after its name
    Pos pos = Pos::Yes, word_pos = Pos::Yes;
    char op = 0;    // the operator byte just read
    char last = 0;  // the word's last byte when it was unquoted
    unsigned char parens = 0, ncase = 0, kwlen = 0, wlen = 0;
    Case cases[CASE_MAX] = {};
    char kw[KEYWORD_SIZE] = {};
    // Doc only: the here-document and how far the line read matches its end marker.
    unsigned char slot = 0, match = 0;
    bool line_ok = true, lead = true;
    // Param: 0 after "${", 1 in the name, 2 after ':'. Word: a pattern.
    unsigned char stage = 0;
    bool pattern = false;
};

struct HereDoc {
    int owner = -1;  // the command line's frame; -1: a free slot
    bool quoted = false, strip = false, done = false;
    unsigned char len = 0;
    char text[DELIM_SIZE] = {};
};

struct ShellState {
    Frame f[FRAME_MAX];
    int n = 1;  // f[0] is the template's command line
    HereDoc docs[DOC_MAX];
    int ndocs = 0;
    bool lost = false;
    // Expansions, field separators, operators and pattern bytes read: a value's text
    // must add none.
    unsigned long active = 0;

    Frame &top() { return f[n - 1]; }
    void stop() { lost = true; }

    void feed(char c) {
        if (!lost) deliver(0, c);
    }

    // Passes c from frame `from` up: each `...` below the top first removes its escapes,
    // and each here-document body below the top sees its line.
    void deliver(int from, char c) {
        for (int i = from; i < n - 1 && !lost; ++i) {
            if (f[i].kind == Ctx::Doc) {
                if (c == '\n') return stop();  // a line ends inside an expansion of the body
                line(f[i], c);
            }
            if (f[i].kind == Ctx::Layer) return layer(i, c);
        }
        if (!lost) lex(c);
    }

    void layer(int i, char c) {
        Frame &l = f[i];
        if (l.bs) {
            l.bs = false;
            if (c == '"' && l.doc) return stop();
            if (!strchr("$`\\", c) && !(c == '"' && l.dq)) deliver(i + 1, '\\');
            return deliver(i + 1, c);
        }
        if (c == '\\') {
            l.bs = true;
            return;
        }
        if (c != '`') return deliver(i + 1, c);
        // The closing quote: the command inside must be complete.
        const Frame &in = f[i + 1];
        if (n != i + 2 || in.ncase || in.parens || in.heredoc || in.marker || in.bs || in.dollar ||
            owns_docs(i + 1))
            return stop();
        n = i;
    }

    Frame *push(Ctx k) {
        if (n == FRAME_MAX) {
            stop();
            return nullptr;
        }
        f[n] = Frame{};
        f[n].kind = k;
        return &f[n++];
    }

    bool owns_docs(int i) const {
        for (int d = 0; d < ndocs; ++d)
            if (docs[d].owner == i) return true;
        return false;
    }

    void pop() {
        if (owns_docs(n - 1)) return stop();
        --n;
    }

    void push_layer(bool dq, bool doc) {
        Frame *l = push(Ctx::Layer);
        if (!l) return;
        l->dq = dq;
        l->doc = doc;
        ++active;
        push(Ctx::Cmd);
    }

    void lex(char c) {
        Frame &t = top();
        t.pname = t.pname && name_byte(c);
        switch (t.kind) {
            case Ctx::Cmd:
                return cmd(c);
            case Ctx::Single:
                if (c == '\'') return pop();
                if (t.marker) mark(c);
                return;
            case Ctx::Ansi:
                if (t.bs) {
                    t.bs = false;
                    if (c == '\'') stop();  // dash ends a quote there, bash does not
                } else if (c == '\\') {
                    t.bs = true;
                } else if (c == '\'') {
                    pop();
                }
                return;
            case Ctx::Double:
                return dquote(c);
            case Ctx::Param:
                return param(c);
            case Ctx::Word:
                return word(c);
            case Ctx::Arith:
                return arith(c);
            case Ctx::Doc:
                return body(c);
            case Ctx::Layer:
                return;  // never on top: its command line is
        }
    }

    // The byte after a '$' that expands (dq: inside "...", a here-document or $((...))).
    // True when it opened a frame, now on top.
    bool dollar(char c, bool dq) {
        if (c == '(') {
            if (Frame *s = push(Ctx::Cmd)) s->subst = s->fresh = true;
        } else if (c == '{') {
            if (Frame *p = push(Ctx::Param)) p->dq = dq;
        } else if (c == '\'' && !dq) {
            push(Ctx::Ansi);
            return true;
        } else if (c == '[') {
            stop();  // bash's $[...]
        } else {
            if (name_byte(c) || strchr("@*#?$!-", c)) ++active;
            top().pname = name_byte(c) && !(c >= '0' && c <= '9');
            return false;
        }
        ++active;
        return true;
    }

    void mark(char c) {
        HereDoc &d = docs[ndocs - 1];
        if (d.len + 1u >= DELIM_SIZE) return stop();
        d.text[d.len++] = c;
    }

    void cmd(char c) {
        Frame &t = top();
        if (t.fresh) {
            t.fresh = false;
            if (c == '(') {
                t.kind = Ctx::Arith;
                t.subst = false;
                return;
            }
        }
        if (t.comment) {
            if (c != '\n') return;
            t.comment = false;
        }
        if (t.bs) {
            t.bs = false;
            if (c == '\n') return;  // a line continued
            if (t.marker) docs[ndocs - 1].quoted = true;
            return word_byte(c, false);
        }
        if (t.dollar) {
            t.dollar = false;
            if (dollar(c, false)) return;
        }
        if (t.heredoc == 1) {
            t.heredoc = 2;
            if (c == '<') return stop();  // bash's <<<
            if (c == '-') {
                docs[ndocs - 1].strip = true;
                return;
            }
        }
        switch (c) {
            case '\\':
                begin();
                t.bs = true;
                return;
            case '\'':
            case '"':
                begin();
                t.keyword = t.name = false;
                if (t.marker) docs[ndocs - 1].quoted = true;
                if (Frame *q = push(c == '"' ? Ctx::Double : Ctx::Single)) q->marker = t.marker;
                return;
            case '`':
            case '$':
                begin();
                if (t.marker) return stop();
                t.keyword = t.name = false;
                if (c == '$')
                    t.dollar = true;
                else
                    push_layer(false, false);
                return;
            case ' ':
            case '\t':
                end_word();
                t.op = 0;
                return;
            case '\n':
                end_word();
                ++active;
                return newline();
            case ';':
            case '&':
            case '|':
            case '<':
            case '>':
            case '(':
            case ')':
                end_word();
                ++active;
                return op(c);
            case '#':
                if (!t.word) {
                    t.comment = true;
                    t.op = 0;
                    return;
                }
                break;
            case '*':
            case '?':
            case '[':
            case '~':
                ++active;
                break;
            default:
                break;
        }
        word_byte(c, true);
    }

    void begin() {
        Frame &t = top();
        t.op = 0;
        if (t.word) return;
        t.word = t.keyword = t.name = true;
        t.assign = t.brace = false;
        t.word_pos = t.pos;
        t.kwlen = t.wlen = 0;
        t.last = 0;
        if (t.heredoc == 2) {
            t.heredoc = 0;
            t.marker = true;
        }
    }

    void word_byte(char c, bool unquoted) {
        Frame &t = top();
        begin();
        if (t.marker) mark(c);
        const bool kw = unquoted && ((c >= 'a' && c <= 'z') || strchr("[]{}!", c));
        if (t.keyword && kw && t.kwlen + 1u < KEYWORD_SIZE)
            t.kw[t.kwlen++] = c;
        else
            t.keyword = false;
        if (unquoted && c == '=' && t.name && t.wlen > 0) t.assign = true;
        t.name = t.name && unquoted && name_byte(c) && !(t.wlen == 0 && c >= '0' && c <= '9');
        if (unquoted && c == '{') t.brace = true;
        t.last = unquoted ? c : 0;
        if (t.wlen < 255) ++t.wlen;
    }

    void end_word() {
        Frame &t = top();
        if (!t.word) return;
        t.word = false;
        if (t.marker) {
            t.marker = false;
            docs[ndocs - 1].done = true;
            return;
        }
        if (t.redir) {
            t.redir = false;
            return;
        }
        t.kw[t.kwlen] = '\0';
        const char *kw = t.keyword ? t.kw : "";
        if (t.ncase) {
            Case &cs = t.cases[t.ncase - 1];
            if (cs == Case::Subject) {
                cs = Case::In;
                return;
            }
            if (cs == Case::In) {
                if (strcmp(kw, "in") != 0) return stop();
                cs = Case::Pattern;
                t.pattern_any = false;
                return;
            }
            if (cs == Case::Pattern) {
                if (!t.pattern_any && strcmp(kw, "esac") == 0) {
                    --t.ncase;
                    t.pos = Pos::No;
                }
                t.pattern_any = true;
                return;
            }
        }
        if (t.forword == 1) {
            t.forword = 2;
            return;
        }
        if (t.forword == 2) {
            t.forword = 0;
            if (strcmp(kw, "do") == 0) t.pos = Pos::Yes;
            if (strcmp(kw, "do") != 0 && strcmp(kw, "in") != 0) stop();
            return;
        }
        command_word(kw);
    }

    void command_word(const char *kw) {
        Frame &t = top();
        if (t.word_pos == Pos::No) return;
        const bool reserved = listed(kw, RESERVED);
        if (t.word_pos == Pos::Unclear || !reserved) {
            if (reserved) return stop();
            t.pos = t.word_pos == Pos::Yes && t.assign ? Pos::Unclear : Pos::No;
            return;
        }
        if (listed(kw, OPENERS)) {
            t.pos = Pos::Yes;
        } else if (strcmp(kw, "case") == 0) {
            if (t.ncase == CASE_MAX) return stop();
            t.cases[t.ncase++] = Case::Subject;
            t.pos = Pos::No;
        } else if (strcmp(kw, "esac") == 0) {
            if (!t.ncase || t.cases[t.ncase - 1] != Case::Body) return stop();
            --t.ncase;
            t.pos = Pos::No;
        } else if (strcmp(kw, "fi") == 0 || strcmp(kw, "done") == 0 || strcmp(kw, "}") == 0) {
            t.pos = Pos::No;
        } else if (strcmp(kw, "for") == 0) {
            t.forword = 1;
            t.pos = Pos::No;
        } else {
            stop();  // "in" out of place, and bash's own reserved words
        }
    }

    void op(char c) {
        Frame &t = top();
        const char prev = t.op;
        t.op = c;
        if (t.heredoc || t.forword == 1) return stop();
        Case *cs = t.ncase ? &t.cases[t.ncase - 1] : nullptr;
        const bool in_pattern = cs && *cs == Case::Pattern;
        if (cs && (*cs == Case::Subject || *cs == Case::In)) return stop();
        switch (c) {
            case ';':
                if (prev == ';') {
                    if (!cs || *cs != Case::Body) return stop();
                    *cs = Case::Pattern;
                    t.pattern_any = false;
                    t.op = 0;
                    return;
                }
                if (in_pattern) return stop();
                t.pos = Pos::Yes;
                t.forword = 0;
                return;
            case '&':
                if (prev == '<' || prev == '>') return;        // <& and >&: a target follows
                if (prev == ';' || in_pattern) return stop();  // dash has no ;& nor ;;&
                t.pos = Pos::Yes;
                return;
            case '|':
                if (prev == '>' || in_pattern) return;  // >| and a pattern's separator
                t.pos = Pos::Yes;
                return;
            case '<':
            case '>':
                if (in_pattern) return stop();
                if (c == '<' && prev == '<') {
                    if (ndocs == DOC_MAX) return stop();
                    docs[ndocs++] = HereDoc{n - 1};
                    t.heredoc = 1;
                    t.redir = false;
                    t.op = 0;
                    return;
                }
                t.redir = true;
                if (t.pos == Pos::Yes) t.pos = Pos::Unclear;
                return;
            case '(':
                if (in_pattern && !t.pattern_any) return;  // the '(' a pattern may start with
                // Process substitutions, functions, bash's ((...)) and subshells out of place.
                if (prev == '<' || prev == '>' || prev == '(' || t.pos != Pos::Yes ||
                    t.parens == PARENS_MAX)
                    return stop();
                ++t.parens;
                return;
            default:  // ')'
                if (in_pattern) {
                    *cs = Case::Body;
                    t.pos = Pos::Yes;
                } else if (t.parens) {
                    --t.parens;
                    t.pos = Pos::No;
                } else if (!t.subst || t.ncase || t.redir) {
                    stop();
                } else {
                    pop();
                }
                return;
        }
    }

    void newline() {
        Frame &t = top();
        t.op = 0;
        if (t.heredoc || t.forword == 1) return stop();
        if (t.ncase && t.cases[t.ncase - 1] == Case::Subject) return stop();
        if (!t.ncase || t.cases[t.ncase - 1] == Case::Body) t.pos = Pos::Yes;
        t.forword = 0;
        t.redir = false;
        start_doc(n - 1);
    }

    // The body of the first here-document still waiting on command line `owner` begins.
    void start_doc(int owner) {
        for (int d = 0; d < ndocs; ++d) {
            if (docs[d].owner != owner) continue;
            if (!docs[d].done) return stop();
            if (Frame *b = push(Ctx::Doc)) b->slot = static_cast<unsigned char>(d);
            return;
        }
    }

    void line(Frame &b, char c) {
        const HereDoc &d = docs[b.slot];
        if (!b.line_ok) return;
        if (b.lead && d.strip && c == '\t') return;
        b.lead = false;
        // Inside a substitution bash also ends the body at a line that only starts with
        // the marker.
        if (b.match == d.len && d.owner > 0) return stop();
        if (b.match < d.len && d.text[b.match] == c)
            ++b.match;
        else
            b.line_ok = false;
    }

    void body(char c) {
        Frame &t = top();
        HereDoc &d = docs[t.slot];
        if (c == '\n') {
            if (t.bs || t.dollar) return stop();
            const bool end = t.line_ok && t.match == d.len;
            t.match = 0;
            t.line_ok = t.lead = true;
            if (!end) return;
            const int owner = d.owner;
            d.owner = -1;
            while (ndocs > 0 && docs[ndocs - 1].owner < 0) --ndocs;
            pop();
            return start_doc(owner);
        }
        line(t, c);
        if (d.quoted) return;
        if (t.bs) {
            t.bs = false;
            return;
        }
        if (t.dollar) {
            t.dollar = false;
            if (dollar(c, true)) return;
        }
        if (c == '\\') t.bs = true;
        if (c == '$') t.dollar = true;
        if (c == '`') push_layer(false, true);
    }

    void dquote(char c) {
        Frame &t = top();
        if (t.bs) {
            t.bs = false;
            if (t.marker) stop();
            return;
        }
        if (t.dollar) {
            t.dollar = false;
            if (dollar(c, true)) return;
        }
        if (c == '"') return pop();
        if (t.marker && (c == '\\' || c == '$' || c == '`')) return stop();
        if (t.marker) mark(c);
        if (c == '\\') t.bs = true;
        if (c == '$') t.dollar = true;
        if (c == '`') push_layer(true, false);
    }

    void param(char c) {
        Frame &t = top();
        if (t.stage == 0) {
            if (c == '!' || c == '}' || !(name_byte(c) || strchr("@*#?-$", c))) return stop();
            t.stage = 1;
            return;
        }
        if (c == '}') return pop();
        if (t.stage == 1 && name_byte(c)) return;
        if (t.stage == 1 && c == ':') {
            t.stage = 2;
            return;
        }
        if (strchr("-=?+", c) || (t.stage == 1 && (c == '#' || c == '%'))) {
            t.kind = Ctx::Word;
            t.pattern = c == '#' || c == '%';
            return;
        }
        stop();  // bash's substrings, replacements and case changes
    }

    void word(char c) {
        Frame &t = top();
        if (t.bs) {
            t.bs = false;
            t.last = 0;
            return;
        }
        if (t.dollar) {
            t.dollar = false;
            if (dollar(c, t.dq)) return;
        }
        t.last = c;
        switch (c) {
            case '}':
                return pop();
            case '\\':
                t.bs = true;
                return;
            case '$':
                t.dollar = true;
                return;
            case '`':
                return push_layer(t.dq, false);
            case '"':
                push(Ctx::Double);
                return;
            case '\'':
                if (t.dq) return stop();  // bash reads it as a quote unless in POSIX mode
                push(Ctx::Single);
                return;
            case '{':
                return stop();
            case ' ':
            case '\t':
            case '\n':
                if (!t.dq) ++active;
                return;
            case '*':
            case '?':
            case '[':
            case '~':
                ++active;
                return;
            default:
                return;
        }
    }

    void arith(char c) {
        Frame &t = top();
        if (t.dollar) {
            t.dollar = false;
            if (dollar(c, true)) return;
        }
        if (t.bs) {  // a ')' at depth 0 was read: the second one must follow
            t.bs = false;
            if (c == ')') return pop();
            return stop();
        }
        switch (c) {
            case '(':
                if (t.parens == PARENS_MAX) return stop();
                ++t.parens;
                return;
            case ')':
                if (t.parens)
                    --t.parens;
                else
                    t.bs = true;
                return;
            case '$':
                t.dollar = true;
                return;
            case '`':
                return push_layer(false, true);
            case '\'':
            case '"':
            case '\\':
                return stop();
            default:
                return;
        }
    }
};

// True when after, the state past a value's text, reads on as before did: the same frames
// in the same contexts, nothing pending, no expansion, separator or pattern byte read, and
// no here-document line that the value leaves matching the start of its end marker.
bool reads_on(const ShellState &before, const ShellState &after) {
    if (after.lost || after.active != before.active || after.n != before.n ||
        after.ndocs != before.ndocs)
        return false;
    for (int i = 0; i < after.n; ++i) {
        const Frame &a = before.f[i], &b = after.f[i];
        if (b.kind != a.kind || b.dq != a.dq || b.doc != a.doc || b.marker != a.marker ||
            b.subst != a.subst || b.comment != a.comment || b.heredoc != a.heredoc ||
            b.parens != a.parens || b.ncase != a.ncase || b.slot != a.slot || b.stage != a.stage ||
            b.pattern != a.pattern || b.bs || b.dollar ||
            memcmp(b.cases, a.cases, sizeof a.cases) != 0)
            return false;
        if (b.kind == Ctx::Doc && b.line_ok) return false;
    }
    for (int d = 0; d < after.ndocs; ++d) {
        const HereDoc &a = before.docs[d], &b = after.docs[d];
        if (b.owner != a.owner || b.quoted != a.quoted || b.strip != a.strip || b.done != a.done)
            return false;
    }
    return true;
}

}  // namespace
