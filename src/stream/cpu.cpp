// Stream state: the CPU feature word (cpu.h), probed once per process on first use.
#include "stream/cpu.h"

#if defined(__x86_64__)
#include <cpuid.h>
#elif defined(__aarch64__)
#include <sys/auxv.h>
#endif

#include "support/atomic.h"

namespace {

// Set in the word once probed, so that a CPU with none of the features is probed once too.
constexpr unsigned PROBED = 1u << 31;
static_assert((CPU_SSE2 | CPU_PCLMULQDQ | CPU_BMI2 | CPU_AVX2 | CPU_VPCLMULQDQ | CPU_ARM_CRC32 |
               CPU_ARM_PMULL) < PROBED);

// 0 until the first cpu_has. Threads that race on it probe alike and store the same word.
Atomic<unsigned> features{0};

#if defined(__x86_64__)
// CPUID leaf 1 and leaf 7 (subleaf 0) bits, and XCR0's state components.
constexpr unsigned L1_ECX_PCLMULQDQ = 1u << 1;
constexpr unsigned L1_ECX_OSXSAVE = 1u << 27;
constexpr unsigned L1_ECX_AVX = 1u << 28;
constexpr unsigned L1_EDX_SSE2 = 1u << 26;
constexpr unsigned L7_EBX_AVX2 = 1u << 5;
constexpr unsigned L7_EBX_BMI2 = 1u << 8;
constexpr unsigned L7_ECX_VPCLMULQDQ = 1u << 10;
constexpr unsigned XCR0_SSE_AVX = 0x6;  // bit 1 SSE (XMM) state, bit 2 AVX (YMM) state

unsigned xcr0() {
    unsigned lo, hi;
    __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return lo;
}

#endif

}  // namespace

#if defined(__x86_64__)
unsigned cpu_probe() {
    unsigned max_leaf, b, c, d;
    __cpuid(0, max_leaf, b, c, d);
    unsigned a, c1, d1;
    __cpuid(1, a, b, c1, d1);
    unsigned b7 = 0, c7 = 0;
    if (max_leaf >= 7) __cpuid_count(7, 0, a, b7, c7, d);

    const bool avx =
        (c1 & L1_ECX_AVX) && (c1 & L1_ECX_OSXSAVE) && (xcr0() & XCR0_SSE_AVX) == XCR0_SSE_AVX;
    unsigned f = 0;
    if (d1 & L1_EDX_SSE2) f |= CPU_SSE2;
    if (c1 & L1_ECX_PCLMULQDQ) f |= CPU_PCLMULQDQ;
    if (b7 & L7_EBX_BMI2) f |= CPU_BMI2;
    if (avx && (b7 & L7_EBX_AVX2)) f |= CPU_AVX2;
    if (avx && (c7 & L7_ECX_VPCLMULQDQ)) f |= CPU_VPCLMULQDQ;
    return f;
}
#elif defined(__aarch64__)
unsigned cpu_probe() {
    // The extensions the kernel lets user space use.
    const unsigned long hw = getauxval(AT_HWCAP);
    unsigned f = 0;
    if (hw & HWCAP_CRC32) f |= CPU_ARM_CRC32;
    if (hw & HWCAP_PMULL) f |= CPU_ARM_PMULL;
    return f;
}
#else
unsigned cpu_probe() {
    return 0;
}
#endif

bool cpu_has(unsigned mask) {
    unsigned f = features.load(__ATOMIC_RELAXED);
    if (f == 0) {
        f = cpu_probe() | PROBED;
        features.store(f, __ATOMIC_RELAXED);
    }
    return (f & mask) == mask;
}
