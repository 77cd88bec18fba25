// Feature list and command templates: adding, looking up, trimming and expansion.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "common/test_util.h"
#include "driver/kelpa.h"
#include "gzip/gzip.h"
#include "support/err.h"

namespace {

void set_features(const char *s) {
    strcpy(features, s);
}

TEST(AddFeature, FirstItemHasNoCommaThenCommaSeparated) {
    set_features("");
    EXPECT_EQ(add_feature("first"), 0);
    EXPECT_STREQ(features, "first");
    EXPECT_EQ(add_feature("second"), 0);
    EXPECT_STREQ(features, "first,second");
}

TEST(AddFeature, RefusesToOverflowTheList) {
    set_features("");
    std::string big(1000, 'x');
    ASSERT_EQ(add_feature(big.c_str()), 0);
    std::string rest(22, 'y');  // 1000 + ',' + 22 = 1023: still fits
    EXPECT_EQ(add_feature(rest.c_str()), 0);
    EXPECT_EQ(strlen(features), 1023u);
    EXPECT_EQ(add_feature("z"), -1);
    EXPECT_EQ(strlen(features), 1023u) << "a refused item leaves the list unchanged";
}

TEST(GetFeature, Table) {
    struct Case {
        const char *list;
        const char *key;
        const char *want;  // nullptr: not found
    } cases[] = {
        {"VFYFS=/opt/x, FSSUB=sub ,NAME=a.tar", "FSSUB=", "FSSUB=sub"},  // trimmed before comma
        {"VFYFS=/opt/x, FSSUB=sub ,NAME=a.tar", "VFYFS=", "VFYFS=/opt/x"},
        {"NAME=a.tar,FSSUB=sub ", "FSSUB=", "FSSUB=sub "},  // last item: untrimmed
        {"NOCOMPR,NAME=x", "NOCOMPR", "NOCOMPR"},
        {"NAME=x", "VFYFS=", nullptr},
        {"", "NAME=", nullptr},
        // Keys match whole items: never inside another item's value or key.
        {"PRODUCT_NAME=MyApp,NAME=in", "NAME=", "NAME=in"},
        {"KV_VENDOR=ACME_NAME=x,NAME=in", "NAME=", "NAME=in"},
        {"NAME=pkgVFYFS=v2.tar", "VFYFS=", nullptr},
        // A bare key is still found anywhere, as builders that found keys anywhere stored it.
        {"X=1,NOCOMPRESSION=1,NAME=in", "NOCOMPR", "NOCOMPRESSION=1"},
        {"X=NOCOMPR,NAME=in", "NOCOMPR", "NOCOMPR"},
        {"A=1,NOCOMPR ,NAME=x", "NOCOMPR", "NOCOMPR"},  // blanks around an item do not count
        // Builders that found keys anywhere stored a name holding NOCOMPR raw: still raw.
        {"NAME=NOCOMPR.img", "NOCOMPR", "NOCOMPR.img"},
        {"VFYFS=/x,NAME=a_NOCOMPR", "NOCOMPR", "NOCOMPR"},
    };
    for (const auto &c : cases) {
        set_features(c.list);
        char *got = get_feature(c.key);
        if (!c.want) {
            EXPECT_EQ(got, nullptr) << c.list << " / " << c.key;
        } else {
            ASSERT_NE(got, nullptr) << c.list << " / " << c.key;
            EXPECT_STREQ(got, c.want) << c.list << " / " << c.key;
        }
    }
}

// The signature's text is found by its place alone: the list's last 244 characters, all
// base64, right after ",KELPA_SIG=".
TEST(FindSigText, OnlyAtTheEndAfterItsKey) {
    const std::string text = std::string(243, 'Q') + "/";
    struct Case {
        std::string list;
        bool found;
    } cases[] = {
        {"NAME=a,KELPA_CRC=01234567,KELPA_SIG=" + text, true},
        {"KELPA_SIG=" + text, false},                         // no comma before the key
        {"NAME=a,KELPA_SIG=" + text + ",X=1", false},         // moved: not the last item
        {"NAME=a,KELPA_SIG=" + text.substr(1), false},        // 243 characters
        {"NAME=a,KELPA_SIG=x" + text, false},                 // 245
        {"NAME=a,KELPA_SIG=" + text.substr(1) + "=", false},  // not base64
        {"NAME=a,XKELPA_SIG=" + text, false},
    };
    for (const auto &c : cases) {
        set_features(c.list.c_str());
        const char *got = find_sig_text();
        EXPECT_EQ(got != nullptr, c.found) << c.list;
        if (got) {
            EXPECT_EQ(std::string(got), text);
        }
    }
}

TEST(GetFeature, LongItemCutUntrimmed) {
    std::string item = "KEY=" + std::string(300, 'v');
    item[200] = ' ';
    set_features(("A=1," + item).c_str());
    char *got = get_feature("KEY=");
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(strlen(got), FEATURE_STR_SIZE - 1);
    EXPECT_EQ(std::string(got), item.substr(0, FEATURE_STR_SIZE - 1));
}

// The longest base name a directory holds comes back whole from the NAME item.
TEST(GetFeature, NameItemOfTheLongestNameIsWhole) {
    const std::string item = "NAME=" + std::string(255, 'n');
    set_features(("VFYFS=/x," + item + ",KELPA_CRC=0").c_str());
    char *got = get_feature("NAME=");
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(std::string(got), item);
}

TEST(StrTrim, TrailingWhiteSpaceOnly) {
    char a[] = "  text \t\r\n ";
    EXPECT_EQ(strtrim(a), 6);
    EXPECT_STREQ(a, "  text");
    char b[] = "   ";
    EXPECT_EQ(strtrim(b), 0);
    EXPECT_STREQ(b, "");
    char c[] = "";
    EXPECT_EQ(strtrim(c), 0);
}

std::string expand(const char *pgm) {
    char *e = replace_program_parms(pgm);
    if (!e) return "<refused>";
    std::string s = e;
    free(e);
    return s;
}

TEST(ReplaceProgramParms, Table) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    strcpy(ofname, "stdout");
    struct Case {
        const char *in;
        std::string want;
    } cases[] = {
        {"cat > %p/%o", std::string("cat > ") + cwd + "/stdout"},  // plain names stay bare
        {"no percent", "no percent"},
        {"", ""},
        {"ends with %", "ends with %"},
        {"100%% and %x", "100%% and %x"},
        {"%o%o", "'stdout''stdout'"},
    };
    for (const auto &c : cases) EXPECT_EQ(expand(c.in), c.want) << c.in;

    strcpy(ofname, "a%pb");  // replacement text is not scanned again
    EXPECT_EQ(expand("x %o"), "x 'a%pb'");
}

TEST(ReplaceProgramParms, ExpansionThatDoesNotFitIsRefused) {
    std::string name(1000, 'n');
    strcpy(ofname, name.c_str());
    EXPECT_EQ(expand("%o%o"), "'" + name + "''" + name + "'");  // 2004 characters fit
    EXPECT_EQ(expand("%o%o%o"), "<refused>");                   // 3006 do not
    std::string tmpl(2047, 'c');
    EXPECT_EQ(expand(tmpl.c_str()), tmpl);
    EXPECT_EQ(expand((tmpl + "c").c_str()), "<refused>");

    // 500 quotes, each written as '\'' inside the added pair: with the padding, 2047 bytes.
    strcpy(ofname, std::string(500, '\'').c_str());
    std::string fits = "printf %s" + std::string(36, ' ') + "%o";
    EXPECT_EQ(kt::sh(expand(fits.c_str())).out, ofname);
    EXPECT_EQ(expand((" " + fits).c_str()), "<refused>");
}

// A refusal is one line on stderr that names the template (control bytes shown as \ooo) and
// the byte at fault.
TEST(ReplaceProgramParms, RefusalSaysWhyOnOneLine) {
    static char name[] = "kelpa";
    progname = name;
    strcpy(ofname, "a\nb");
    struct Case {
        const char *tmpl;
        const char *why;
    } cases[] = {
        {"cat <<EOF\n%o\nEOF",
         "the output name's '\\012' cannot be written safely in a "
         "here-document"},
        {"echo $[1] %o", "cannot place the output name safely after '[' (byte 7)"},
        {"echo $%o", "the output name's 'a' cannot be written safely right after a '$'"},
    };
    for (const auto &c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(expand(c.tmpl), "<refused>") << c.tmpl;
        std::string tmpl = c.tmpl;
        for (size_t i; (i = tmpl.find('\n')) != std::string::npos;) tmpl.replace(i, 1, "\\012");
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "kelpa: refusing to run \"" + tmpl + "\": " + c.why + "\n");
    }
}

TEST(ReplaceProgramParms, CurrentDirectoryIsTheOneAtExpansionTime) {
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir("/"), 0);
    EXPECT_EQ(expand("cd %p"), "cd /");
    ASSERT_EQ(chdir(old), 0);
}

// The names in directory d, sorted, one a line.
std::string entries(const std::string &d) {
    std::set<std::string> names;
    DIR *dir = opendir(d.c_str());
    while (const dirent *e = dir ? readdir(dir) : nullptr)
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.insert(e->d_name);
    if (dir) closedir(dir);
    std::string s;
    for (const std::string &n : names) s += n + "\n";
    return s;
}

// Directories whose names are shell code, each made the working directory; the expanded
// command, run by dash and by bash --posix, must write exactly the files the template names
// and nothing else, or be refused where the name cannot be written safely. Rows after the
// first "%o" test the state an expansion leaves behind for the next one.
TEST(ReplaceProgramParms, ValuesReachTheShellAsPlainText) {
    kt::TempDir top;
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    const char *dirs[] = {"dir with space",       "it's \"hi\"",        "a$(touch HACKED)b",
                          "a`touch HACKED`b",     "x;touch HACKED & y", "'\"$(touch HACKED)\"'",
                          "b\\$(touch HACKED)\\", "new\nline",          "n\ntouch HACKED\n#",
                          "\";touch HACKED;\""};
    struct Case {
        const char *tmpl;
        const char *prefix;             // what the template puts before the payload file's name
        const char *v = nullptr;        // the file v, '@' standing for the directory
        const char *refused = nullptr;  // the directory bytes (any: "*") that make it refused
        bool bash_only = false;
    } cases[] = {
        {"cat > %p/%o", ""},
        {"cat > \"%p/%o\"", ""},
        {"cat > '%p/%o'", ""},
        {"cat > '%p'\"/%o\"", ""},
        {"cat > \\%p/\\%o", ""},
        {"cat > \"%p/\\%o\"", "\\"},
        // A command substitution inside "..." is a command line of its own.
        {"cat > \"$(printf %s %p)/%o\"", ""},
        {"d=\"$( (printf %s %p) )\"; cat > \"$d\"/%o", ""},
        {"cat > \"`printf %s %p`\"/%o", ""},
        // The quote after "\%o" ends the "...": the next name stands outside quotes.
        {"cat > \"\\%o\"; printf %s %p > v", "\\", "@"},
        {"cat > %o; cat > v <<EOF\n%p\nEOF", "", "@\n", "\n"},
        {"cat > %o; cat > v <<-'EOF'\n\t%p\n\tEOF", "", "@\n", "\n"},
        {"cat > %o # %p", "", nullptr, "\n"},
        {"cat > %o; : $(( 1 + %p ))", "", nullptr, "*"},
        {"cat > %o; : \"$(case x in x) printf %s %p > v;; esac)\"", "", "@"},
        {"cat > %o; printf %s \"${V:-\"%p\"}\" > v", "", "@"},
        {"cat > %o; : \"`printf %s \\\"%p\\\" > v`\"", "", "@"},
        {"cat > %o; printf %s $'%p' > v", "", "@", nullptr, true},
    };
    strcpy(ofname, "$(touch HACKED)'\"n");
    for (const char *dir : dirs) {
        for (const auto &c : cases) {
            std::string at = top / dir;
            ASSERT_EQ(mkdir(at.c_str(), 0755), 0) << dir;
            ASSERT_EQ(chdir(at.c_str()), 0);
            std::string cmd = expand(c.tmpl);
            ASSERT_EQ(chdir(old), 0);
            const bool refused = c.refused && strpbrk(dir, c.refused[0] == '*' ? dir : c.refused);
            EXPECT_EQ(cmd == "<refused>", refused) << c.tmpl << " in " << dir << ": " << cmd;
            std::string want = std::string(c.prefix) + ofname, v;
            for (const char *b = c.v; b && *b; ++b) v += *b == '@' ? at : std::string(1, *b);
            for (const char *shell : {"dash", "bash"}) {
                if (refused || (c.bash_only && shell[0] == 'd')) continue;
                kt::RunResult r = kt::run({shell, "--posix", "-c", cmd}, "payload", at);
                if (shell[0] == 'd') r = kt::run({shell, "-c", cmd}, "payload", at);
                EXPECT_EQ(r.status, 0) << shell << ": " << cmd << "\n" << r.err;
                EXPECT_EQ(kt::read_file(at + "/" + want), "payload") << shell << ": " << cmd;
                if (c.v) {
                    EXPECT_EQ(kt::read_file(at + "/v"), v) << shell << ": " << cmd;
                }
                std::string files = want + "\n" + (c.v ? "v\n" : "");
                EXPECT_EQ(entries(at), files) << shell << ": " << cmd;
                for (const std::string &f : {want, std::string("v")})
                    unlink((at + "/" + f).c_str());
            }
            EXPECT_EQ(entries(top.path()), dir + std::string("\n")) << cmd;
            ASSERT_EQ(rmdir(at.c_str()), 0) << cmd;
        }
    }
}

}  // namespace
