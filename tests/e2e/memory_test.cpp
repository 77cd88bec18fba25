// Peak memory of the built kelpa does not grow with its input: building an archive from a
// 1 MB and from a 24 MB file, on one thread and on three, and extracting both (with -x to
// standard output, and through the default extraction command into a file), peak at the
// same resident size, below 4 MB plus 4 MB for each thread past the first.
// The peak is each process's own high-water mark as /usr/bin/time reports it; the rusage a
// forking test process sees would also count the test process's own pages.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "common/test_util.h"

namespace {

constexpr double kMaxPeakMB = 4.0;
constexpr double kPerThreadMB = 4.0;  // for each compressing thread past the first
// Allocator and page-cache noise between two runs of the same work.
constexpr double kSlackMB = 0.5;
constexpr const char *kTime = "/usr/bin/time";

// Text, random bytes and a zero run, repeated up to mb megabytes.
std::string input_of(size_t mb) {
    std::string unit =
        kt::text_bytes(600000, 41) + kt::random_bytes(200000, 42) + std::string(248576, '\0');
    std::string data;
    while (data.size() < mb << 20) data += unit;
    data.resize(mb << 20);
    return data;
}

double peak_mb(const std::string &rss_file) {
    return std::stod(kt::read_file(rss_file)) / 1024.0;
}

TEST(Memory, PeakDoesNotGrowWithTheInput) {
    if (KELPA_SANITIZED) GTEST_SKIP() << "sanitizer shadow memory is part of the peak";
    if (access(kTime, X_OK) != 0)
        GTEST_SKIP() << kTime << " is needed to read a process's own peak";
    kt::TempDir dir;
    const std::string time = std::string(kTime) + " -f %M -o ";
    const size_t sizes[] = {1, 24};
    for (size_t mb : sizes) {
        std::string name = "in" + std::to_string(mb);
        kt::write_file(dir / name, input_of(mb));
        for (int threads : {3, 1}) {
            kt::RunResult r =
                kt::sh("KELPA_THREADS=" + std::to_string(threads) + " " + time +
                           kt::quote(dir / (name + ".build" + std::to_string(threads))) + " " +
                           kt::quote(kt::kelpa_bin()) + " " + name + " > " + name +
                           ".run && chmod +x " + name + ".run",
                       "", dir.path());
            ASSERT_EQ(r.status, 0) << r.err;
        }
    }
    // The extractor pauses before closing its output: all extractions run at once.
    std::string cmd = "mkdir out || exit 1; ";
    for (size_t mb : sizes) {
        std::string name = "in" + std::to_string(mb);
        cmd += time + name + ".x ./" + name + ".run -x > /dev/null 2>&1 & ";
        cmd += "(cd out && " + time + "../" + name + ".file ../" + name +
               ".run -n > /dev/null 2>&1) & ";
    }
    kt::RunResult r = kt::sh(cmd + "wait", "", dir.path());
    ASSERT_EQ(r.status, 0) << r.err;

    for (const char *step : {"build1", "build3", "x", "file"}) {
        double small = peak_mb(dir / (std::string("in1.") + step));
        double large = peak_mb(dir / (std::string("in24.") + step));
        double limit = kMaxPeakMB + (std::string(step) == "build3" ? 2 * kPerThreadMB : 0);
        EXPECT_LT(small, limit) << step;
        EXPECT_LT(large, limit) << step;
        // A small input fills fewer of the parallel encoder's chunk slots.
        if (std::string(step) != "build3") {
            EXPECT_LT(large - small, kSlackMB)
                << step << ": " << small << " MB for 1 MB, " << large << " MB for 24 MB";
        }
    }
    for (size_t mb : sizes) {
        std::string name = "in" + std::to_string(mb);
        EXPECT_TRUE(kt::read_file(dir / ("out/" + name)) == kt::read_file(dir / name)) << name;
    }
}

}  // namespace
