// Fuzz target: the quoting of "%o" and "%p" against real shells. The input picks a command
// template from a small grammar of the places a name can stand (words, '...', "...",
// $(...), `...`, ${V:-...}, here-documents, comments, $((...)), case, $'...'), each writing
// its value into a file, and a hostile output name and directory name. The expanded
// command runs in a scratch directory named by the directory name under dash and bash
// --posix, or for $'...', which dash lacks, under bash --posix and bash: when a run succeeds
// the file must hold exactly what the template wrote (bash, after a failed $((...)), goes on
// with status 0, so there only the next rule holds), and in no run may anything else appear
// in the directory. A refusal to expand is fine.
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/kelpa.h"
#include "gzip/gzip.h"
#include "harness.h"
#include "support/err.h"

extern char **environ;

namespace {

// The fuzzer's bytes, read one choice at a time; zeros once they run out.
struct Choices {
    const uint8_t *p, *end;
    unsigned pick(unsigned n) { return p < end ? *p++ % n : 0; }
};

// Pieces of hostile names: shell code that leaves the file X behind, quotes, escapes,
// here-document markers, pattern and tilde bytes, separators.
const char *const PIECES[] = {"$(touch X)",
                              "`touch X`",
                              "\";touch X;\"",
                              "';touch X;'",
                              "'",
                              "\"",
                              "\\",
                              "\\\\",
                              "\n",
                              "EOF",
                              "\nEOF\n",
                              "*",
                              "~",
                              " ",
                              "#",
                              ")",
                              "(",
                              "}",
                              "{a,b}",
                              "$HOME",
                              "${X}",
                              "$'x'",
                              "\t",
                              ";touch X",
                              "|touch X",
                              "&",
                              "<",
                              ">X",
                              "!",
                              "-",
                              "=",
                              "..",
                              "abc",
                              "a=b",
                              "$((1))",
                              "\\$(touch X)",
                              "\\`touch X\\`",
                              "\n>X\n",
                              "\ttouch X",
                              "esac",
                              "case",
                              "in",
                              "E",
                              "\"'\"",
                              "\\'",
                              "\\\"",
                              "%p",
                              "x\\",
                              "\ttab",
                              ":"};
constexpr unsigned PIECES_N = sizeof PIECES / sizeof PIECES[0];

std::string hostile(Choices &in, bool dir) {
    std::string v;
    for (unsigned i = 0, n = 1 + in.pick(4); i < n; ++i) v += PIECES[in.pick(PIECES_N)];
    if (dir && (v == "." || v == "..")) v = "d";
    return v;
}

struct Gen {
    Choices &in;
    std::string oval, pval;  // the values of %o and %p
    bool ansi = false;       // the template uses $'...', which dash does not have
    bool arith = false;      // it has $((...)), after whose failure bash goes on with status 0

    // A word that the shell reads as exactly `want` gets appended to, one field.
    std::string word(std::string &want) {
        const bool o = in.pick(2);
        const std::string name = o ? "%o" : "%p";
        const std::string &v = o ? oval : pval;
        switch (in.pick(9)) {
            case 0:
                want += v;
                return name;
            case 1:
                want += v;
                return "'" + name + "'";
            case 2:
                want += v;
                return "\"" + name + "\"";
            case 3:
                want += "a" + v + "b";
                return "a" + name + "b";
            case 4:
                want += "\\" + v;
                return "\"\\" + name + "\"";
            case 5:
                want += v;
                return "\\" + name;
            case 6: {
                static const char *const QUOTES[] = {"", "'", "\""};
                const char *q = QUOTES[in.pick(3)];
                want += v;
                return "${V:-" + (q + name + q) + "}";
            }
            case 7:
                want += v;
                return "\"${V:-\"" + name + "\"}\"";
            default:
                ansi = true;
                want += "x" + v;
                return "$'x" + name + "'";
        }
    }

    // Escapes text for the inside of `...` (inside "..." when dq).
    static std::string backquoted(const std::string &s, bool dq) {
        std::string r;
        for (char c : s) {
            if (c == '\\' || c == '`' || c == '$' || (dq && c == '"')) r += '\\';
            r += c;
        }
        return r;
    }

    // A command that appends to the file out what `want` gets appended to.
    std::string command(std::string &want, int depth) {
        const unsigned k = in.pick(depth > 2 ? 4 : 11);
        switch (k) {
            case 0:
                return "printf %s " + word(want) + " >>out";
            case 1: {
                std::string unused;  // a comment writes nothing
                return ": # " + word(unused) + "\n:";
            }
            case 2:
                return heredoc(want);
            case 3: {
                std::string unused;  // fails unless the value is a number or a name
                arith = true;
                return ": $(( " + word(unused) + " ))";
            }
            case 4:
                return ": \"$(" + command(want, depth + 1) + ")\"";
            case 5:
                return ": $( " + command(want, depth + 1) + " )";
            case 6:
                return ": `" + backquoted(command(want, depth + 1), false) + "`";
            case 7:
                return ": \"`" + backquoted(command(want, depth + 1), true) + "`\"";
            case 8:
                return ": \"$(case x in " + std::string(in.pick(2) ? "(" : "") + "x) " +
                       command(want, depth + 1) + ";; esac)\"";
            case 9: {
                std::string subject, pattern, inner;
                std::string s = word(subject), p = word(pattern);
                std::string c = command(inner, depth + 1);
                if (subject == pattern) want += inner;
                return "case " + s + " in " + p + ") " + c + ";; esac";
            }
            default: {
                // Inside "${...}" a word is bare or in "...", never in '...'.
                const bool o = in.pick(2);
                want += o ? oval : pval;
                const char *q = in.pick(2) ? "\"" : "";
                return std::string("printf %s \"${V:-") + q + (o ? "%o" : "%p") + q + "}\" >>out";
            }
        }
    }

    std::string heredoc(std::string &want) {
        static const char *const MARKERS[] = {"EOF", "'EOF'", "\"EOF\"", "\\EOF", "E\"O\"F"};
        const unsigned m = in.pick(5);
        const bool strip = in.pick(2);
        const bool quoted = m != 0;
        std::string line;
        std::string body;
        const bool o = in.pick(2);
        const std::string &v = o ? oval : pval;
        switch (in.pick(quoted ? 3 : 4)) {
            case 3:  // a substitution in the body, which drops trailing newlines
                line = "$(printf %s " + word(body) + ")";
                while (!body.empty() && body.back() == '\n') body.pop_back();
                break;
            case 0:
                line = o ? "%o" : "%p";
                body = v;
                break;
            case 1:
                line = std::string("a") + (o ? "%o" : "%p") + "b";
                body = "a" + v + "b";
                break;
            default:
                line = std::string("$X") + (o ? "%o" : "%p");
                body = quoted ? "$X" + v : v;
                break;
        }
        want += body + "\n";
        std::string tab = strip ? "\t" : "";
        return std::string("cat >>out <<") + (strip ? "-" : "") + MARKERS[m] + "\n" + tab + line +
               "\n" + tab + "EOF\n:";
    }
};

// The directory the process started in: libFuzzer writes a finding's input relative to it,
// so the process is elsewhere only while a template is expanded.
char start_dir[4096];
char scratch[] = "/tmp/kelpa-fuzz-quoting.XXXXXX";

void remove_scratch() {
    rmdir(scratch);
}

const char *scratch_dir() {
    if (!start_dir[0]) {
        if (!getcwd(start_dir, sizeof start_dir) || !mkdtemp(scratch)) abort();
        atexit(remove_scratch);
    }
    return scratch;
}

// Runs shell ("dash" or "bash") with extra (an option or nullptr) on cmd in directory dir,
// with nothing on standard input or output; returns the exit status or -1.
int run_shell(const char *shell, const char *extra, const char *cmd, const char *dir) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&fa, dir);
    const char *argv[5] = {shell, "-c", cmd, nullptr, nullptr};
    if (extra) argv[1] = extra, argv[2] = "-c", argv[3] = cmd;
    pid_t pid;
    char path[64];
    snprintf(path, sizeof path, "/bin/%s", shell);
    int rc = posix_spawn(&pid, path, &fa, nullptr, const_cast<char **>(argv), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) abort();
    int status;
    pid_t w;
    while ((w = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (w != pid) abort();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string slurp(const std::string &path) {
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    fclose(f);
    return s;
}

void finding(const char *what, const char *shell, const char *cmd, const std::string &want,
             const std::string &got) {
    fprintf(stderr, "fuzz_quoting: %s under %s\ncommand: [%s]\nwanted: [%s]\ngot: [%s]\n", what,
            shell, cmd, want.c_str(), got.c_str());
    abort();
}

// True when directory dir holds nothing.
bool empty_dir(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (!d) abort();
    bool empty = true;
    while (const dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) empty = false;
    closedir(d);
    return empty;
}

// Runs cmd under one shell in dir and checks what it left there.
void check(const char *shell, const char *extra, const char *cmd, const std::string &dir,
           const std::string *want) {
    const int status = run_shell(shell, extra, cmd, dir.c_str());
    const std::string out = dir + "/out", got = slurp(out);
    unlink(out.c_str());
    if (want && status == 0 && got != *want)
        finding("the file does not hold what was written", shell, cmd, *want, got);
    if (!empty_dir(dir)) finding("the name ran as code", shell, cmd, want ? *want : "", got);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static char name[] = "kelpa";
    progname = name;
    Choices in{data, data + size};
    const char *top = scratch_dir();
    Gen g{in, hostile(in, false), std::string(top) + "/" + hostile(in, true)};
    if (g.oval.size() >= NAME_BUF_SIZE || g.pval.size() > 200) return 0;
    strcpy(ofname, g.oval.c_str());
    std::string want, tmpl;
    for (unsigned i = 0, n = 1 + in.pick(3); i < n; ++i)
        tmpl += (i ? (in.pick(2) ? "; " : "\n") : "") + g.command(want, 0);
    if (tmpl.size() >= PREAMBLE_STR_SIZE) return 0;

    if (mkdir(g.pval.c_str(), 0700) != 0 || chdir(g.pval.c_str()) != 0) abort();
    char *cmd = replace_program_parms(tmpl.c_str());
    if (chdir(start_dir) != 0) abort();
    if (cmd) {
        if (!g.ansi) check("dash", nullptr, cmd, g.pval, &want);
        check("bash", "--posix", cmd, g.pval, &want);
        if (g.ansi) check("bash", nullptr, cmd, g.pval, g.arith ? nullptr : &want);
        free(cmd);
    }
    if (rmdir(g.pval.c_str()) != 0) abort();
    return 0;
}
