// Decoding engine benchmark: the member decoder (get_method + unzip, CRC included) against
// the gzip command decoding the very same members, on text, a large executable and a
// tarball of /usr/include, all taken from this machine at run time. Prints both
// throughputs side by side after the Google Benchmark report.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "gzip/gzip.h"

namespace {

struct Member {
    std::string name;
    std::string path;  // the gzip member, written by the gzip command
    long plain_size = 0;
};

std::string g_dir;
std::vector<Member> g_members;

int shell(const std::string &cmd) {
    int st = system(cmd.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

long file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// Builds one plain input with a shell command, compresses it with the gzip command's
// default level and records the member.
bool add_member(const std::string &name, const std::string &make_cmd) {
    std::string plain = g_dir + "/" + name;
    if (shell(make_cmd + " > '" + plain + "' 2>/dev/null") != 0 && file_size(plain) <= 0)
        return false;
    long size = file_size(plain);
    if (size <= 0) return false;
    if (shell("gzip -6 -c '" + plain + "' > '" + plain + ".gz'") != 0) return false;
    g_members.push_back({name, plain + ".gz", size});
    return true;
}

void prepare_corpus() {
    char tmpl[] = "/tmp/kelpa-bench-XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    g_dir = tmpl;
    // Text: licences and manual pages (troff sources), about 30 MB.
    add_member("text",
               "{ cat /usr/share/common-licenses/* 2>/dev/null; zcat -f /usr/share/man/man*/*.gz "
               "2>/dev/null; } "
               "| head -c 30000000");
    // A large executable.
    for (const char *bin : {"/usr/bin/cmake", "/usr/bin/ctest",
                            "/usr/lib/x86_64-linux-gnu/libLLVM-14.so.1", "/usr/bin/python3"}) {
        if (file_size(bin) > 4000000 && add_member("binary", std::string("cat ") + bin)) break;
    }
    // A tarball of the system headers.
    add_member("tarball", "tar cf - -C /usr include");
}

// Decodes one member to /dev/null the way extraction does.
void decode_with_kelpa(const Member &m, int devnull) {
    static char name[] = "inflate_bench";
    progname = name;
    snprintf(ifname, sizeof ifname, "%s", m.path.c_str());
    strcpy(ofname, "stdout");
    clear_bufs();
    part_nb = 0;
    member_settings = {1, 0, 0};  // to standard output: the stored name is not taken
    int in = open(m.path.c_str(), O_RDONLY);
    ifd = in;
    if (get_method(in) != CM_DEFLATE) abort();
    unzip(in, devnull);
    close(in);
    if (bytes_out != m.plain_size) abort();
}

// Runs `gzip -d -c member > /dev/null` and waits for it.
void decode_with_gzip_command(const Member &m, int devnull) {
    pid_t pid = fork();
    if (pid == 0) {
        dup2(devnull, 1);
        execlp("gzip", "gzip", "-d", "-c", m.path.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int st;
    waitpid(pid, &st, 0);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) abort();
}

void BM_kelpa(benchmark::State &state, const Member *m) {
    int devnull = open("/dev/null", O_WRONLY);
    for (auto _ : state) decode_with_kelpa(*m, devnull);
    close(devnull);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * m->plain_size);
}

void BM_gzip_command(benchmark::State &state, const Member *m) {
    int devnull = open("/dev/null", O_WRONLY);
    for (auto _ : state) decode_with_gzip_command(*m, devnull);
    close(devnull);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * m->plain_size);
}

// Keeps the console report and remembers the wall time per decode of every run.
class SideBySide : public benchmark::ConsoleReporter {
   public:
    std::map<std::string, double> seconds;  // benchmark name -> wall seconds per iteration
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto &r : runs)
            if (!r.error_occurred && r.run_type == Run::RT_Iteration)
                seconds[r.benchmark_name()] = r.GetAdjustedRealTime() / 1e3;  // unit: ms
    }
};

}  // namespace

int main(int argc, char **argv) {
    prepare_corpus();
    for (const auto &m : g_members) {
        benchmark::RegisterBenchmark(("kelpa/" + m.name).c_str(), BM_kelpa, &m)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->MinTime(1.0);
        benchmark::RegisterBenchmark(("gzip_command/" + m.name).c_str(), BM_gzip_command, &m)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->MinTime(1.0);
    }
    benchmark::Initialize(&argc, argv);
    SideBySide reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    printf("\n%-10s %12s %12s %12s %10s\n", "member", "plain MB", "kelpa MB/s", "gzip MB/s",
           "speed-up");
    for (const auto &m : g_members) {
        auto k = reporter.seconds.find("kelpa/" + m.name + "/min_time:1.000/real_time");
        auto g = reporter.seconds.find("gzip_command/" + m.name + "/min_time:1.000/real_time");
        if (k == reporter.seconds.end() || g == reporter.seconds.end()) continue;
        double mb = static_cast<double>(m.plain_size) / 1e6;
        printf("%-10s %12.1f %12.1f %12.1f %9.2fx\n", m.name.c_str(), mb, mb / k->second,
               mb / g->second, g->second / k->second);
    }
    shell("rm -rf '" + g_dir + "'");
    benchmark::Shutdown();
    return 0;
}
