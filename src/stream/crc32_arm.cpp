// Stream state: CRC-32 on aarch64 by the CRC32 instructions of ARMv8 (CRC32X: eight bytes
// into the register a step), where the CPU has them (crc32_arch.h).
#if defined(__aarch64__)
#include <arm_acle.h>

#include <cstdint>
#include <cstring>

#include "stream/cpu.h"
#include "stream/crc32_arch.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "eight bytes are read as one word");

namespace {

// Shorter runs stay with the tables, where the call and the tail cost more than they save;
// the threshold is a guess until it can be measured on ARM hardware.
constexpr size_t kCrc32xMin = 64;
constexpr size_t kCrc32xStep = 8;

// The register c after s[0..n), n a multiple of kCrc32xStep. The instruction updates the
// register as the tables do: the reflected polynomial, no complement.
[[gnu::target("+crc")]] uint32_t crc_crc32x(uint32_t c, const uch *s, size_t n) {
    for (; n > 0; n -= kCrc32xStep, s += kCrc32xStep) {
        uint64_t v;
        memcpy(&v, s, sizeof v);
        c = __crc32d(c, v);
    }
    return c;
}

}  // namespace

size_t crc_fast_head(uint32_t *c, const uch *s, size_t n) {
    if (n < kCrc32xMin || !cpu_has(CPU_ARM_CRC32)) return 0;
    const size_t head = n & ~(kCrc32xStep - 1);
    *c = crc_crc32x(*c, s, head);
    return head;
}
#endif
