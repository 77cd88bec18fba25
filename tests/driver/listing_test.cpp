// Listing inside one process: column headers once, the date column, a time stamp carried over
// from an earlier member without MTIME, and the exit code after failures.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "common/test_util.h"
#include "driver/kelpa.h"
#include "driver/archive_maker.h"
#include "gzip/gzip.h"

namespace {

std::string list_all(const std::vector<std::string> &paths) {
    testing::internal::CaptureStdout();
    for (const auto &p : paths) do_list(p.c_str());
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

std::string date_of(time_t t) {
    return std::string(ctime(&t)).substr(4, 12);
}

TEST(DoList, HeadersOnceAndTimeStampCarriedOver) {
    kt::TempDir d;
    const uint32_t t1 = 1234567890;
    std::string m1 = kt::gzip_member(std::string(3000, 'a'), "first", t1);
    std::string m2 = kt::gzip_member("short", "second", 0);
    kt::write_archive(d / "a", kt::preamble("", "A", "", ""), m1);
    kt::write_archive(d / "b", kt::preamble("", "B", "", ""), m2);
    verbose = 1;
    list = 1;
    exit_code = 0;
    std::string out = list_all({d / "a", d / "b"});
    verbose = 0;
    list = 0;
    EXPECT_EQ(exit_code, 0);

    size_t headers = 0;
    for (size_t at = 0;
         (at = out.find("method  crc     date  time  compressed", at)) != std::string::npos; ++at)
        ++headers;
    EXPECT_EQ(headers, 1u) << out;
    // Without MTIME the second member shows the time stamp of the first.
    char line[128];
    snprintf(line, sizeof line, "defla %08lx %11s ",
             static_cast<unsigned long>(kt::le32_at(m2, m2.size() - 8)), date_of(t1).c_str());
    EXPECT_NE(out.find(line), std::string::npos) << out;
    snprintf(line, sizeof line, "%9ld %9ld ", static_cast<long>(m1.size()), 3000L);
    EXPECT_NE(out.find(line), std::string::npos) << out;
    EXPECT_NE(out.find(" second\n"), std::string::npos) << out;
}

TEST(DoList, FailuresSetExitCodeAndListNothing) {
    kt::TempDir d;
    kt::write_file(d / "none", "no marker", 0755);
    kt::write_archive(d / "bad", kt::preamble("F", "C", "", ""), "\x1f\x8b\x07rest");
    exit_code = 0;
    testing::internal::CaptureStderr();
    std::string out = list_all({d / "none", d / "bad"});
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(exit_code, 1);
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find(d / "none" + ": unable to find preamble magic value\n"), std::string::npos)
        << err;
    EXPECT_NE(err.find("unknown method 7"), std::string::npos) << err;
    exit_code = 0;
}

}  // namespace
