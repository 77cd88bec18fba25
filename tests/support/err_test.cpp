// Error printers and path helpers: message layout, mode names, exits.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/err.h"

namespace {

// Captures what the err_ printers write by pointing _Errstrm at a memory stream.
struct Capture {
    char *buf = nullptr;
    size_t len = 0;
    FILE *f;
    Capture() {
        f = open_memstream(&buf, &len);
        _Errstrm = f;
    }
    std::string text() {
        fflush(f);
        return std::string(buf, len);
    }
    ~Capture() {
        _Errstrm = nullptr;
        fclose(f);
        free(buf);
    }
};

TEST(ToBasename, KeepsLastComponent) {
    char a[] = "dir/sub/data.bin";
    EXPECT_EQ(to_basename(a), a);
    EXPECT_STREQ(a, "data.bin");
    char b[] = "plain";
    EXPECT_STREQ(to_basename(b), "plain");
    char c[] = "dir/";
    EXPECT_STREQ(to_basename(c), "");
    char d[] = "/abs";
    EXPECT_STREQ(to_basename(d), "abs");
}

TEST(ErrPrinters, PrefixAndCrLfEndings) {
    char name[] = "prog";
    progname = name;
    {
        Capture c;
        errno = ENOENT;
        err_sys("cannot do %d things\n", 3);
        EXPECT_EQ(c.text(),
                  std::string("prog: cannot do 3 things because ") + strerror(ENOENT) + " \r\n");
    }
    {
        Capture c;
        err_ret("plain %s", "text");
        EXPECT_EQ(c.text(), "prog: plain text\r\n");
    }
    progname = nullptr;
    {
        Capture c;
        err_ret("no prefix");
        EXPECT_EQ(c.text(), "no prefix\r\n");
    }
}

TEST(ErrPrinters, CatalogReceivesCopy) {
    char *cbuf = nullptr;
    size_t clen = 0;
    Catstrm = open_memstream(&cbuf, &clen);
    er_catalog = 1;
    {
        Capture c;
        err_ret("copied %d", 7);
        EXPECT_EQ(c.text(), "copied 7\r\n");
    }
    fflush(Catstrm);
    EXPECT_EQ(std::string(cbuf, clen), "copied 7\n");
    er_catalog = 0;
    fclose(Catstrm);
    Catstrm = nullptr;
    free(cbuf);
}

TEST(ErrPrinters, OpenNamesTheMode) {
    progname = nullptr;
    errno = EACCES;
    std::string why = strerror(EACCES);
    struct {
        const char *mode;
        const char *how;
    } cases[] = {{"r", " for reading "},  {"r+", " for reading "},   {"w", " for writing "},
                 {"w+", " for writing "}, {"rw", " for read/write"}, {nullptr, ""}};
    for (const auto &m : cases) {
        Capture c;
        errno = EACCES;
        err_open("f.txt", m.mode);
        EXPECT_EQ(c.text(), std::string("Error opening file \"f.txt\"") + m.how + " because " +
                                why + " \r\n");
    }
}

TEST(ErrPrintersDeathTest, QuitExits255AndDumpAborts) {
    progname = nullptr;
    EXPECT_EXIT(err_quit("bye %d", 1), testing::ExitedWithCode(255), "bye 1");
    EXPECT_DEATH(err_dump("core"), "core");
}

}  // namespace
