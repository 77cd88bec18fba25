// The CPU's features as the C library found them before main: CPU_FEATURE_ACTIVE(NAME), a
// load. The compiler's __builtin_cpu_supports links a constructor that probes the CPU again
// in every process, with about ten CPUID instructions at 9 us each on the Intel guest.
#pragma once

// The header gives its helpers C's boolean type, _Bool, which clang's C++ does not know.
#if defined(__clang__)
#define _Bool bool
#include <sys/platform/x86.h>
#undef _Bool
#else
#include <sys/platform/x86.h>
#endif
