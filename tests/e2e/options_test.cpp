// The command line of an archive: it always acts on its own file whatever operands follow,
// -u acts on the first operand only, builder-only option letters change nothing, and -u
// changes how the options after it are treated, so -t counts only after -u.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <thread>
#include <vector>

#include "common/test_util.h"

namespace {

// An archive that checks space for <dir>/target and extracts into <dir>/target/sub.
std::string make_checked_archive(const kt::TempDir &dir) {
    std::string target = dir / "target";
    mkdir(target.c_str(), 0755);
    kt::write_file(dir / "in.txt", "payload\n");
    kt::RunResult b =
        kt::run({kt::kelpa_bin(), "-a", "-V", target, "-S", "sub", "-f",
                 "mkdir -p " + target + "/sub && cat > " + target + "/sub/%o", "in.txt"},
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
        r_after =
            kt::run({kt::kelpa_bin(), "-u", "-t", after / "offered", arc_after}, "", after.path());
    });
    std::thread t2([&] {
        r_before = kt::run({kt::kelpa_bin(), "-t", before / "offered", "-u", arc_before}, "",
                           before.path());
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

// Runs each command line from a directory of its own, with the archive A (a.txt, "AAA\n", whose
// post-extraction command shows two feature items and NAME) and the raw archive B (b.txt)
// next to it, all at once (each extraction pauses before closing its pipe).
TEST(Options, ArchiveActsOnItsOwnFileAndIgnoresBuilderOptions) {
    kt::TempDir dir;
    kt::write_file(dir / "a.txt", "AAA\n");
    kt::write_file(dir / "b.txt", "BBB\n");
    const std::string post = "echo \"post [${CANARY-unset}][${KV_VENDOR-unset}][$NAME]\"";
    kt::RunResult a = kt::run({kt::kelpa_bin(), "-r", post, "a.txt"}, "", dir.path());
    kt::RunResult b = kt::run({kt::kelpa_bin(), "-a", "b.txt"}, "", dir.path());
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(b.status, 0) << b.err;
    const std::string arc_a = dir / "A", arc_b = dir / "B";
    kt::write_file(arc_a, a.out, 0755);
    kt::write_file(arc_b, b.out, 0755);
    const std::string extracted = "post [unset][unset][a.txt]\n";
    struct Case {
        std::vector<std::string> argv;
        std::string out;  // what standard output starts with
        bool extracts;    // a.txt written, and nothing else
    } cases[] = {
        // Run directly, an operand is no archive to open.
        {{arc_a, arc_b}, extracted, true},
        {{arc_a, "-l", arc_b}, "Feature: NAME=a.txt,", false},
        // After -u the first operand is the archive; the others are ignored.
        {{kt::kelpa_bin(), "-u", arc_a, arc_b}, extracted, true},
        // The builder's letters, even with arguments the builder refuses.
        {{arc_a, "-a", "-F", "CANARY=1", "-O", "acme", "-V", dir / "v", "-S", "sub", "-C", "hi",
          "-r", "echo ran", "-f", "cat > f", "-p", "/bin/sh"},
         extracted,
         true},
        {{arc_a, "-F", "XNAME=1", "-V", std::string(1100, 'v')}, extracted, true},
    };
    std::vector<kt::RunResult> results(std::size(cases));
    std::vector<std::thread> runs;
    for (size_t i = 0; i < std::size(cases); i++) {
        mkdir((dir / std::to_string(i)).c_str(), 0755);
        runs.emplace_back(
            [&, i] { results[i] = kt::run(cases[i].argv, "", dir / std::to_string(i)); });
    }
    for (auto &t : runs) t.join();
    for (size_t i = 0; i < std::size(cases); i++) {
        const std::string cwd = dir / std::to_string(i);
        SCOPED_TRACE("case " + std::to_string(i) + ": " + results[i].err);
        EXPECT_EQ(results[i].status, 0);
        EXPECT_EQ(results[i].out.substr(0, cases[i].out.size()), cases[i].out);
        EXPECT_EQ(results[i].out.find("b.txt"), std::string::npos);
        EXPECT_EQ(kt::file_exists(cwd + "/a.txt"), cases[i].extracts);
        if (cases[i].extracts && kt::file_exists(cwd + "/a.txt")) {
            EXPECT_EQ(kt::read_file(cwd + "/a.txt"), "AAA\n");
        }
        EXPECT_FALSE(kt::file_exists(cwd + "/b.txt"));
        EXPECT_FALSE(kt::file_exists(cwd + "/f"));
    }
}

}  // namespace
