// String splitting and character deletion: table of inputs and the fields they give.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/aplist.h"

namespace {

std::vector<std::string> split(const char *s, const char *sep) {
    APLIST l = ap_strsplit(s, sep);
    EXPECT_NE(l, nullptr);
    std::vector<std::string> out;
    for (int i = 0; l[i]; ++i) out.emplace_back(static_cast<char *>(l[i]));
    EXPECT_EQ(ap_valid(l), 0);
    ap_destroy(l);
    return out;
}

using V = std::vector<std::string>;

TEST(StrSplit, Table) {
    struct Case {
        const char *in;
        const char *sep;
        V want;
    } cases[] = {
        {"a,b", ",", {"a", "b"}},
        {"a,,b", ",", {"a", "", "b"}},
        {",a,", ",", {"", "a"}},
        {"a b:c", " :", {"a", "b", "c"}},
        {"\"x,y\"", ",", {"x,y"}},
        {"a\\,b", ",", {"a,b"}},
        {"ab\\", ",", {"ab\\"}},              // trailing backslash stays
        {"pre\"q,r\",s", ",", {"q,r", "s"}},  // text before the quote is dropped
        {"\"\"", ",", {""}},                  // closing quote at the end stores the empty field
        {"\"a\"b,c", ",", {"ab", "c"}},       // the character after the closing quote is text
        {"\"a\",b", ",", {"a", "b"}},         // ... or a separator
        {"a\\\"b,c", ",", {"a\"b", "c"}},     // an escaped quote is text, backslash removed
        {" VFYFS=/opt , NAME=x ", ",", {" VFYFS=/opt ", " NAME=x "}},  // nothing trimmed
        {"NOCOMPR", ",", {"NOCOMPR"}},
    };
    for (const auto &c : cases) EXPECT_EQ(split(c.in, c.sep), c.want) << "input: " << c.in;
}

TEST(StrSplit, EmptyAndNullGiveEmptyList) {
    EXPECT_TRUE(split("", ",").empty());
    APLIST l = ap_strsplit(nullptr, ",");
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l[0], nullptr);
    ap_destroy(l);
}

TEST(StrSplit, CallersStringUnchangedAndFieldsWritable) {
    char in[] = "a,\"b\",c";
    APLIST l = ap_strsplit(in, ",");
    EXPECT_STREQ(in, "a,\"b\",c");
    static_cast<char *>(l[0])[0] = 'z';  // fields are the caller's to modify
    EXPECT_STREQ(static_cast<char *>(l[0]), "z");
    ap_destroy(l);
}

TEST(StrDel, DeletesEveryOccurrence) {
    char s[] = "\"quoted\" text";
    EXPECT_EQ(strdel(s, '"'), 2);
    EXPECT_STREQ(s, "quoted text");
    char e[] = "";
    EXPECT_EQ(strdel(e, 'x'), 0);
    EXPECT_EQ(strdel(nullptr, 'x'), 0);
    char high[] =
        "a\xe9"
        "b";
    EXPECT_EQ(strdel(high, 0xe9), 0) << "bytes compare as signed char";
    EXPECT_EQ(strdel(high, static_cast<signed char>('\xe9')), 1);
    EXPECT_STREQ(high, "ab");
}

}  // namespace
