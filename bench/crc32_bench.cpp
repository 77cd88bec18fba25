// CRC-32 alone, and the CPU feature probe that chooses its path: the register update the
// member decoder and writer run on every byte, on the dispatched path (carry-less
// multiplication where the CPU has it) and on the portable table path, for buffer sizes from
// one 32 KiB window flush upward.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "gzip/gzip.h"
#include "stream/cpu.h"

namespace {

std::vector<uch> random_buffer(size_t n) {
    std::vector<uch> v(n);
    std::mt19937 rng(7);
    for (auto &b : v) b = static_cast<uch>(rng());
    return v;
}

void BM_updcrc(benchmark::State &state) {
    auto buf = random_buffer(static_cast<size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(updcrc(buf.data(), static_cast<unsigned>(buf.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_crc32_portable(benchmark::State &state) {
    auto buf = random_buffer(static_cast<size_t>(state.range(0)));
    ulg c = 0xffffffffUL;
    for (auto _ : state)
        benchmark::DoNotOptimize(
            c = crc32_portable(c, buf.data(), static_cast<unsigned>(buf.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// What the first cpu_has of a process costs: CPUID traps to the hypervisor in a guest.
void BM_cpu_probe(benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(cpu_probe());
}

BENCHMARK(BM_cpu_probe);
BENCHMARK(BM_updcrc)->Arg(32768)->Arg(1 << 20);
BENCHMARK(BM_crc32_portable)->Arg(32768)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
