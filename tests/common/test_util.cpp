// Test helpers: scratch directories, file I/O and command execution with captured output.
#include "common/test_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

// Leak checks in the sanitizer build. At every exit LeakSanitizer stops the process and scans
// its memory, which took most of the time of the thousands of short kelpa runs (the damaged
// archive catalogues) and of the death tests' forked children, all of which end by exit()
// with their memory still in use, as every fatal error does. Those skip the check; the test
// programs themselves keep it (ASAN_OPTIONS is read when a program starts, so the change
// below reaches only the programs they run).
#if KELPA_SANITIZED
namespace {
struct ChildLeakChecksOff {
    ChildLeakChecksOff() {
        const char *o = getenv("ASAN_OPTIONS");
        const std::string v = (o && *o ? std::string(o) + ":" : "") + "detect_leaks=0";
        setenv("ASAN_OPTIONS", v.c_str(), 1);
    }
} child_leak_checks_off;
}  // namespace
extern "C" __attribute__((used)) int __lsan_is_turned_off() {
    return testing::internal::InDeathTestChild();
}
#endif

namespace kt {

TempDir::TempDir() {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kelpa-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::string cmd = "rm -rf " + quote(path_);
    if (system(cmd.c_str()) != 0) {
        // Nothing sensible to do in a destructor; a leftover scratch directory is harmless.
    }
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &data, int mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error("cannot write " + path);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    chmod(path.c_str(), static_cast<mode_t>(mode));
}

bool file_exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

namespace {

// True when path (relative to cwd) is the built kelpa or an archive that carries it as its
// stub: the file starts with the binary's bytes.
bool runs_kelpa(const std::string &path, const std::string &cwd) {
    if (path == kelpa_bin()) return true;
    if (path.find('/') == std::string::npos) return false;  // a command found through PATH
    std::string full = path[0] == '/' || cwd.empty() ? path : cwd + "/" + path;
    static const std::string stub = read_file(kelpa_bin());
    std::ifstream in(full, std::ios::binary);
    std::string head(stub.size(), '\0');
    if (!in.read(head.data(), static_cast<std::streamsize>(head.size()))) return false;
    return head == stub;
}

// KELPA_WRAP (a command line split at spaces, such as "valgrind --error-exitcode=99") is put
// in front of every run of the kelpa binary or of an archive, so that the whole end-to-end
// suite can run under a checker.
std::vector<std::string> wrapped(const std::vector<std::string> &argv, const std::string &cwd) {
    const char *wrap = getenv("KELPA_WRAP");
    if (!wrap || !*wrap || argv.empty() || !runs_kelpa(argv[0], cwd)) return argv;
    std::vector<std::string> out;
    std::istringstream words(wrap);
    for (std::string w; words >> w;) out.push_back(w);
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
}

// A kelpa that is not static (the sanitizer and development builds) warns so whenever it is
// its own stub, on standard error or the terminal; the tests are written for the shipped
// one, which does not.
// Only whole lines are taken out: captured output may be any bytes (this test program's
// own file holds the line's start as a string).
std::string without_own_stub_warning(std::string err) {
    if (KELPA_STATIC_STUB) return err;
    const std::string line =
        KELPA_BIN ": warning: " KELPA_BIN " is not static: the archive will need ";
    for (size_t from = 0, at; (at = err.find(line, from)) != std::string::npos;) {
        const size_t end = err.find('\n', at);
        if ((at == 0 || err[at - 1] == '\n') && end != std::string::npos)
            err.erase(at, end + 1 - at);
        else
            from = at + 1;
    }
    return err;
}

}  // namespace

// A read or write that failed only for now: interrupted by a signal (user-mode emulators
// deliver SIGCHLD without restarting the call), or a non-blocking pipe not ready.
static bool retry(ssize_t k) {
    return k < 0 && (errno == EINTR || errno == EAGAIN);
}

// write, but a reader that has gone away gives EPIPE instead of ending this process: a
// command may exit without reading its standard input. SIGPIPE is blocked in this thread
// for the call, and one it raised is taken before the mask is restored.
static ssize_t write_no_sigpipe(int fd, const char *p, size_t n) {
    sigset_t pipe_set, old;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old);
    const ssize_t k = write(fd, p, n);
    const int saved = errno;
    if (k < 0 && errno == EPIPE) {
        const timespec none = {0, 0};
        sigtimedwait(&pipe_set, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = saved;
    return k;
}

RunResult run(const std::vector<std::string> &argv_in, const std::string &stdin_data,
              const std::string &cwd) {
    const std::vector<std::string> argv = wrapped(argv_in, cwd);
    // Close-on-exec: tests run commands from several threads at once, and a child started
    // by one must not hold another's pipes open (its reader would wait for that child too).
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) || pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC))
        throw std::runtime_error("pipe");
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    // posix_spawn shares the parent's memory until the exec instead of copying its page
    // tables as fork does: a sanitized test process maps a lot, and end-to-end tests start
    // thousands of children.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t dfl;
    sigemptyset(&dfl);
    sigaddset(&dfl, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &dfl);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    pid_t pid;
    const int spawned = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (spawned != 0) {  // as a shell reports it: 127 not found, 126 not runnable
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            close(fd);
        RunResult r;
        r.status = spawned == ENOENT ? 127 : 126;
        return r;
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    RunResult r;
    size_t written = 0;
    if (stdin_data.empty()) {
        close(in_pipe[1]);
        in_pipe[1] = -1;
    } else {
        fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);
    }
    bool out_open = true, err_open = true;
    char buf[65536];
    while (out_open || err_open) {
        struct pollfd fds[3];
        int n = 0;
        int oi = -1, ei = -1, ii = -1;
        if (out_open) {
            fds[n] = {out_pipe[0], POLLIN, 0};
            oi = n++;
        }
        if (err_open) {
            fds[n] = {err_pipe[0], POLLIN, 0};
            ei = n++;
        }
        if (in_pipe[1] >= 0) {
            fds[n] = {in_pipe[1], POLLOUT, 0};
            ii = n++;
        }
        if (poll(fds, static_cast<nfds_t>(n), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (oi >= 0 && fds[oi].revents) {
            ssize_t k = read(out_pipe[0], buf, sizeof buf);
            if (k > 0)
                r.out.append(buf, static_cast<size_t>(k));
            else if (!retry(k))
                out_open = false;
        }
        if (ei >= 0 && fds[ei].revents) {
            ssize_t k = read(err_pipe[0], buf, sizeof buf);
            if (k > 0)
                r.err.append(buf, static_cast<size_t>(k));
            else if (!retry(k))
                err_open = false;
        }
        if (ii >= 0 && fds[ii].revents) {
            ssize_t k = write_no_sigpipe(in_pipe[1], stdin_data.data() + written,
                                         stdin_data.size() - written);
            if (k > 0) written += static_cast<size_t>(k);
            if ((k < 0 && !retry(k)) || written == stdin_data.size()) {
                close(in_pipe[1]);
                in_pipe[1] = -1;
            }
        }
    }
    if (in_pipe[1] >= 0) close(in_pipe[1]);
    close(out_pipe[0]);
    close(err_pipe[0]);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out = without_own_stub_warning(r.out);
    r.err = without_own_stub_warning(r.err);
    return r;
}

RunResult sh(const std::string &cmdline, const std::string &stdin_data, const std::string &cwd) {
    return run({"/bin/sh", "-c", cmdline}, stdin_data, cwd);
}

std::string quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto &c : s) c = static_cast<char>(rng() & 0xff);
    return s;
}

std::string text_bytes(size_t n, unsigned seed) {
    static const char *words[] = {"the ",      "archive ",    "kelpa ",  "window ", "match ",
                                  "of ",       "and ",        "data\n",  "stream ", "block ",
                                  "{ ",        "} ",          "int ",    "return ", "0; ",
                                  "#include ", "<stdio.h>\n", "huffman "};
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < n) s += words[rng() % (sizeof words / sizeof words[0])];
    s.resize(n);
    return s;
}

// KELPA_TEST_BIN puts another kelpa under test, such as the aarch64 build run through an
// emulator named in KELPA_WRAP.
std::string kelpa_bin() {
    static const std::string bin = getenv("KELPA_TEST_BIN") ? getenv("KELPA_TEST_BIN") : KELPA_BIN;
    return bin;
}
std::string source_dir() {
    return KELPA_SOURCE_DIR;
}

}  // namespace kt
