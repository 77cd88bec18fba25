// Encoder throughput against the gzip command at -9 on the same inputs, side by side:
// kelpa/<input> runs the member writer in-process, gzip9/<input> runs the command with
// the input file on standard input. Both report wall-clock bytes per second of input.
// The corpus is made at start-up from files on this machine; before timing, each input's
// DEFLATE data from both is compared and the result printed.
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "gzip/gzip.h"

extern char **environ;

namespace {

struct Input {
    std::string name;
    std::string path;
    size_t size;
};

std::string scratch_dir;
std::vector<Input> inputs;

std::string slurp(const std::string &path, size_t limit) {
    std::ifstream in(path, std::ios::binary);
    std::string s(limit, '\0');
    in.read(s.data(), static_cast<std::streamsize>(limit));
    s.resize(static_cast<size_t>(in.gcount()));
    return s;
}

std::string command_output(const std::string &cmd, size_t limit) {
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[65536];
    size_t n;
    while (out.size() < limit && (n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    if (out.size() > limit) out.resize(limit);
    return out;
}

void add_input(const std::string &name, const std::string &data) {
    if (data.size() < 4096) {
        fprintf(stderr, "skipping %s: no source data on this machine\n", name.c_str());
        return;
    }
    std::string path = scratch_dir + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(data.data(), static_cast<std::streamsize>(data.size()));
    inputs.push_back({name, path, data.size()});
}

void make_corpus() {
    char tmpl[] = "/tmp/kelpa-bench-XXXXXX";
    scratch_dir = mkdtemp(tmpl);

    // Text: licences, documentation and manual pages, as plain text.
    std::string text = command_output(
        "cat /usr/share/common-licenses/* 2>/dev/null; "
        "find /usr/share/doc -name copyright -type f 2>/dev/null | head -400 | xargs cat "
        "2>/dev/null; "
        "find /usr/share/man/man1 -name '*.gz' 2>/dev/null | head -300 | xargs zcat 2>/dev/null",
        4 << 20);
    add_input("text", text);

    // The largest ELF executable among a few usual ones, up to 8 MiB of it.
    std::string elf;
    for (const char *p : {"/usr/bin/node", "/usr/lib/x86_64-linux-gnu/libLLVM.so", "/usr/bin/cmake",
                          "/usr/bin/ctest", "/usr/bin/gdb", "/usr/bin/python3", "/bin/bash"}) {
        std::string s = slurp(p, 8 << 20);
        if (s.size() > elf.size() && s.compare(0, 4,
                                               "\x7f"
                                               "ELF") == 0)
            elf = s;
    }
    add_input("elf", elf);

    add_input("include.tar", command_output("tar cf - -C /usr include 2>/dev/null", 16 << 20));

    std::string random(4 << 20, '\0');
    std::mt19937_64 rng(42);
    for (size_t i = 0; i < random.size(); i += 8) {
        uint64_t v = rng();
        memcpy(&random[i], &v, 8);
    }
    add_input("random", random);
    add_input("zeros", std::string(16 << 20, '\0'));
}

// One member of the input through the encoder, written to out.
void kelpa_member(const Input &in, int out) {
    int fd = open(in.path.c_str(), O_RDONLY);
    if (fd < 0) abort();
    snprintf(ifname, sizeof ifname, "%s", in.path.c_str());
    bytes_in = 0;
    zip(fd, out);
    close(fd);
}

// gzip -9 -n -c with the input on standard input and the output to out.
void gzip_member(const Input &in, int out) {
    int fd = open(in.path.c_str(), O_RDONLY);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fd, 0);
    posix_spawn_file_actions_adddup2(&fa, out, 1);
    char a0[] = "gzip", a1[] = "-9", a2[] = "-n", a3[] = "-c";
    char *argv[] = {a0, a1, a2, a3, nullptr};
    pid_t pid;
    if (posix_spawnp(&pid, "gzip", &fa, nullptr, argv, environ) != 0) abort();
    int status;
    waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&fa);
    close(fd);
}

std::string file_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Compares the DEFLATE data of both for every input (headers differ by the stored name).
void check_identical() {
    for (const auto &in : inputs) {
        std::string ko = scratch_dir + "/out.kelpa", go = scratch_dir + "/out.gzip";
        int k = open(ko.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        kelpa_member(in, k);
        close(k);
        int g = open(go.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        gzip_member(in, g);
        close(g);
        std::string a = file_text(ko), b = file_text(go);
        size_t name_end = a.find('\0', 10) + 1;
        bool same = a.size() > name_end + 8 && b.size() > 18 &&
                    a.compare(name_end, a.size() - 8 - name_end, b, 10, b.size() - 18) == 0 &&
                    a.compare(a.size() - 8, 8, b, b.size() - 8, 8) == 0;
        printf("%-12s %10zu bytes -> %10zu  DEFLATE data and trailer %s\n", in.name.c_str(),
               in.size, a.size() - name_end - 8,
               same ? "identical to gzip -9" : "DIFFERENT from gzip -9");
    }
    fflush(stdout);
}

int null_fd() {
    static int fd = open("/dev/null", O_WRONLY);
    return fd;
}

void BM_kelpa(benchmark::State &state, const Input *in) {
    for (auto _ : state) kelpa_member(*in, null_fd());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in->size));
}

void BM_gzip9(benchmark::State &state, const Input *in) {
    for (auto _ : state) gzip_member(*in, null_fd());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in->size));
}

}  // namespace

int main(int argc, char **argv) {
    static char name[] = "deflate_bench";
    progname = name;
    make_corpus();
    check_identical();
    for (const auto &in : inputs) {
        benchmark::RegisterBenchmark(("kelpa/" + in.name).c_str(), BM_kelpa, &in)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("gzip9/" + in.name).c_str(), BM_gzip9, &in)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::string rm = "rm -rf " + scratch_dir;
    return system(rm.c_str()) == 0 ? 0 : 1;
}
