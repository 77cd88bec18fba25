// Option order across the switch to extractor mode: -u changes how the options after it are
// treated, so -t counts only after -u.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <thread>

#include "common/test_util.h"

namespace {

// An archive that checks space for <dir>/target and extracts into <dir>/target/sub.
std::string make_checked_archive(const kt::TempDir &dir) {
    std::string target = dir / "target";
    mkdir(target.c_str(), 0755);
    kt::write_file(dir / "in.txt", "payload\n");
    kt::RunResult b = kt::run({kt::kelpa_bin(), "-a", "-V", target, "-S", "sub", "-f",
                               "mkdir -p " + target + "/sub && cat > " + target + "/sub/%o",
                               "in.txt"},
                              "", dir.path());
    EXPECT_EQ(b.status, 0) << b.err;
    kt::write_file(dir / "arc.run", b.out, 0755);
    mkdir((dir / "offered").c_str(), 0755);
    return dir / "arc.run";
}

TEST(Options, TempDirectoryCountsOnlyAfterTheSwitchToExtractorMode) {
    kt::TempDir after, before;
    std::string arc_after = make_checked_archive(after);
    std::string arc_before = make_checked_archive(before);
    kt::RunResult r_after, r_before;
    // Each extraction pauses before closing its pipe: run both at once.
    std::thread t1([&] {
        r_after = kt::run({kt::kelpa_bin(), "-u", "-t", after / "offered", arc_after}, "", after.path());
    });
    std::thread t2([&] {
        r_before = kt::run({kt::kelpa_bin(), "-t", before / "offered", "-u", arc_before}, "", before.path());
    });
    t1.join();
    t2.join();

    // -u -t: the offered directory is tried first and used through a temporary link.
    EXPECT_EQ(r_after.status, 0) << r_after.err;
    EXPECT_EQ(kt::read_file(after / "offered/sub/in.txt"), "payload\n");
    EXPECT_FALSE(kt::file_exists(after / "target/sub")) << "the temporary link is removed";

    // -t -u: -t was parsed in builder mode and ignored; extraction happens in place.
    EXPECT_EQ(r_before.status, 0) << r_before.err;
    EXPECT_EQ(kt::read_file(before / "target/sub/in.txt"), "payload\n");
    EXPECT_FALSE(kt::file_exists(before / "offered/sub"));
}

}  // namespace
