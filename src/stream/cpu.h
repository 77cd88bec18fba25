// Stream state: the CPU features the fast paths choose by, probed on first use and kept in
// one word that every thread reads. On x86-64 by CPUID and XGETBV (Intel SDM vol. 2A, CPUID;
// vol. 1 section 13.3, XCR0), not through the C library, which the static stub may not
// know them from; on aarch64 from the kernel's hardware capabilities (AT_HWCAP).
#pragma once

// Feature bits of cpu_has's mask. "Usable" as the C library's dispatch counts it: a feature
// that works on AVX's 256-bit registers counts only if the OS saves them (XCR0).
enum cpu_feature : unsigned {
    CPU_SSE2 = 1u << 0,        // CPUID.1:EDX bit 26
    CPU_PCLMULQDQ = 1u << 1,   // CPUID.1:ECX bit 1
    CPU_BMI2 = 1u << 2,        // CPUID.(7,0):EBX bit 8
    CPU_AVX2 = 1u << 3,        // CPUID.(7,0):EBX bit 5, with AVX usable
    CPU_VPCLMULQDQ = 1u << 4,  // CPUID.(7,0):ECX bit 10, with AVX usable
    CPU_ARM_CRC32 = 1u << 5,   // aarch64 HWCAP_CRC32: CRC32B/H/W/X
    CPU_ARM_PMULL = 1u << 6,   // aarch64 HWCAP_PMULL: 64x64 carry-less multiply
};

// True if the CPU has every feature in mask. The first call in a process probes (on x86-64
// three CPUID instructions and an XGETBV); the rest load one relaxed atomic word.
bool cpu_has(unsigned mask);

// The probe itself, every call: the features the CPU has, as cpu_feature bits.
unsigned cpu_probe();
