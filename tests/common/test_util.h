// Test helpers shared by every layer's tests: scratch directories, whole-file I/O and
// running commands (the built kelpa, sh, gzip) with their output captured.
#pragma once

#include <string>
#include <vector>

namespace kt {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir {
   public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

   private:
    std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data, int mode = 0644);
bool file_exists(const std::string &path);

struct RunResult {
    int status = -1;  // exit status, or 128 + signal number when killed
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs argv (no shell) with stdin_data on standard input, in directory cwd when given.
RunResult run(const std::vector<std::string> &argv, const std::string &stdin_data = "",
              const std::string &cwd = "");
// Runs a command line through /bin/sh -c.
RunResult sh(const std::string &cmdline, const std::string &stdin_data = "",
             const std::string &cwd = "");

// Shell-quotes s for use in sh().
std::string quote(const std::string &s);

// Deterministic pseudo-random bytes.
std::string random_bytes(size_t n, unsigned seed);
// Text-like bytes with repeats (words drawn from a small vocabulary).
std::string text_bytes(size_t n, unsigned seed);

// Path of the built kelpa binary and of the source tree.
std::string kelpa_bin();
std::string source_dir();

}  // namespace kt
