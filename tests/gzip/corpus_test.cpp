// Replays the decoding fuzz targets' corpora (fuzz/corpus/fuzz_unzip: whole members;
// fuzz/corpus/fuzz_inflate: raw DEFLATE streams) through the real decoder, so every input
// kept there, including the regression inputs of past findings, is checked by every build
// of the unit tests and not only by the fuzz build. Each input must decode or be refused
// with a result code or a fatal message, never a crash or a sanitizer report.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "gzip/decode_harness.h"
#include "inflate/inflate_internal.h"

namespace {

std::vector<std::string> corpus(const std::string &target) {
    std::string dir = kt::source_dir() + "/fuzz/corpus/" + target;
    std::vector<std::string> files;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') files.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Runs decode(path) in a child with standard error in a file. Returns the child's exit
// status (128 + signal when killed) and its standard error.
std::pair<int, std::string> in_child(const std::string &path, const std::string &err_path,
                                     void (*decode)(const std::string &, const std::string &)) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (!freopen(err_path.c_str(), "w", stderr)) _exit(125);
        decode(path, err_path + ".out");
        fflush(nullptr);
        _exit(0);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    int status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return {status, kt::read_file(err_path)};
}

void decode_member_file(const std::string &path, const std::string &out) {
    int m = kt::decode_member_to(kt::read_file(path), out + ".in", out);
    _exit(m == CM_DEFLATE ? 0 : 2);
}

void inflate_file(const std::string &path, const std::string &out) {
    kt::reset_stream_state();
    int in = kt::open_input(path);
    ofd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int res = inflate();
    close(in);
    _exit(res == 0 ? 0 : 2);
}

void replay(const std::string &target, void (*decode)(const std::string &, const std::string &)) {
    std::vector<std::string> files = corpus(target);
    ASSERT_GE(files.size(), 10u) << "corpus of " << target << " missing";
    kt::TempDir dir;
    int decoded = 0;
    for (const auto &f : files) {
        auto [status, err] = in_child(f, dir / "err", decode);
        SCOPED_TRACE(f + ": " + err);
        // 0 decoded, 2 refused with a result code, 1 a fatal message from the stream layer.
        EXPECT_TRUE(status == 0 || status == 1 || status == 2);
        if (status == 1) {
            EXPECT_TRUE(err.find("kelpa: in.gz:") != std::string::npos ||
                        err.find("in.gz: unexpected end of file") != std::string::npos);
        }
        EXPECT_EQ(err.find("Sanitizer"), std::string::npos);
        EXPECT_EQ(err.find("runtime error"), std::string::npos);
        decoded += status == 0;
    }
    // The corpora hold real members and streams of outside tools too.
    EXPECT_GE(decoded, 10);
}

TEST(FuzzCorpus, MembersDecodeOrAreRefused) {
    replay("fuzz_unzip", decode_member_file);
}

TEST(FuzzCorpus, RawStreamsDecodeOrAreRefused) {
    replay("fuzz_inflate", inflate_file);
}

}  // namespace
