// Extraction helpers: feature export, the post-extraction confirmation dialogue, and the
// reduction of stored names to something a shell command line can carry.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/test_util.h"
#include "driver/kelpa.h"
#include "gzip/gzip.h"

namespace {

std::string env(const char *name) {
    const char *v = getenv(name);
    return v ? std::string("[") + v + "]" : "unset";
}

TEST(ExportFeatures, KeyValueAndBareKeys) {
    strcpy(features, "KX_VFYFS=/opt,KX_NOCOMPR,KX_NAME=a=b.tar,KX_TRAIL=t \t, KX_LEAD=1,,=junk");
    unsetenv("KX_NOCOMPR");
    export_features();
    EXPECT_EQ(env("KX_VFYFS"), "[/opt]");
    EXPECT_EQ(env("KX_NOCOMPR"), "[]") << "a bare key is exported with an empty value";
    EXPECT_EQ(env("KX_NAME"), "[a=b.tar]") << "only the first '=' separates";
    EXPECT_EQ(env("KX_TRAIL"), "[t]") << "trailing white space is trimmed";
    EXPECT_EQ(env("KX_LEAD"), "unset") << "a leading blank stays part of the name";
    EXPECT_EQ(env(" KX_LEAD"), "[1]");
    // The features string itself is not modified by the export.
    EXPECT_STREQ(features,
                 "KX_VFYFS=/opt,KX_NOCOMPR,KX_NAME=a=b.tar,KX_TRAIL=t \t, KX_LEAD=1,,=junk");
}

TEST(ExportFeatures, ReachesAChildShell) {
    strcpy(features, "KX_CHILD=seen,KX_CHILD_BARE");
    export_features();
    EXPECT_EQ(kt::sh("echo \"$KX_CHILD:${KX_CHILD_BARE-unset}\"").out, "seen:\n");
}

struct Dialogue {
    int rtn;
    std::string out;
};

// Runs confirm_and_run with the answer lines in `input` and the tty flag, capturing stdout.
Dialogue dialogue(const std::string &input, int tty, const char *cmd) {
    FILE *in = fmemopen(const_cast<char *>(input.data()), input.size(), "r");
    if (input.empty()) {
        fclose(in);
        in = fopen("/dev/null", "r");
    }
    testing::internal::CaptureStdout();
    int rtn = confirm_and_run(cmd, in, tty);
    fflush(stdout);
    Dialogue d{rtn, testing::internal::GetCapturedStdout()};
    fclose(in);
    return d;
}

const std::string kHead =
    "This archive requires more processing using the following command:\n    exit 3\n";

TEST(ConfirmAndRun, AnswersTable) {
    struct Case {
        const char *input;
        int tty;
        bool runs;
        int asks;  // times "\n? (y/n): " is printed
    } cases[] = {
        {"y\n", 1, true, 0},      {"Y\n", 1, true, 0},
        {"yes\n", 1, true, 0},    {"n\n", 1, false, 0},
        {"N\n", 1, false, 0},     {"no\n", 1, false, 0},
        {"x\n\ny\n", 1, true, 2}, {"maybe\nNo\n", 1, false, 1},
        {"", 1, false, 0},     // end of input refuses
        {"q\n", 1, false, 1},  // asked again, then end of input
    };
    for (const auto &c : cases) {
        Dialogue d = dialogue(c.input, c.tty, "exit 3");
        std::string want = kHead + "OK to run the command? ";
        for (int i = 0; i < c.asks; ++i) want += "\n? (y/n): ";
        EXPECT_EQ(d.out, want) << c.input;
        if (c.runs) {
            EXPECT_NE(d.rtn, 0) << "the command's status is returned: " << c.input;
            EXPECT_EQ((d.rtn >> 8) & 0xff, 3) << c.input;
        } else {
            EXPECT_EQ(d.rtn, 0) << c.input;
        }
    }
}

TEST(ConfirmAndRun, NotATerminalForgetsIt) {
    Dialogue d = dialogue("y\n", 0, "exit 3");
    EXPECT_EQ(d.rtn, 0);
    EXPECT_EQ(d.out, kHead + "but stdin is not a terminal. So forget it.\n");

    // A carriage return must not let the end of the command hide its start.
    d = dialogue("n\n", 1, "touch RAN; echo \x1b[2J\a\b\r echo harmless \\ caf\xc3\xa9");
    EXPECT_EQ(d.out,
              "This archive requires more processing using the following command:\n"
              "    touch RAN; echo \\033[2J\\007\\010\\015 echo harmless \\ caf\xc3\xa9\n"
              "OK to run the command? ");
}

TEST(MakeSafeName, Table) {
    struct Case {
        const char *in;
        int replaced;  // -1: refused
        const char *out;
    } cases[] = {
        {"data.tar", 0, "data.tar"},
        {"a-b_c+d,e@f%g=h:i.9", 0, "a-b_c+d,e@f%g=h:i.9"},
        {"dir/sub/data.bin", 0, "data.bin"},
        {"../../etc/passwd", 0, "passwd"},
        {"my file.txt", 1, "my_file.txt"},
        {"x;rm -rf ~", 4, "x_rm_-rf__"},
        {"$(id)`id`", 5, "__id__id_"},
        {"-rf", 1, "_rf"},
        {"a\nb\tc*?[]'\"\\|&<>!#(){}~", 20, "a_b_c__________________"},
        {"caf\xc3\xa9.txt", 0, "caf\xc3\xa9.txt"},
        {"", -1, nullptr},
        {".", -1, nullptr},
        {"..", -1, nullptr},
        {"a/..", -1, nullptr},
        {"dir/", -1, nullptr},
        {"...", 0, "..."},
    };
    for (const auto &c : cases) {
        char buf[NAME_BUF_SIZE];
        strcpy(buf, c.in);
        EXPECT_EQ(make_safe_name(buf), c.replaced) << c.in;
        if (c.out) {
            EXPECT_STREQ(buf, c.out) << c.in;
        }
    }
}

}  // namespace
