// Stream state: CRC-32 on aarch64 by the CPU's own instructions (crc32_arch.h): long runs
// folded 64 bytes a step by carry-less multiplication (PMULL), as on x86-64, then reduced to
// 16 bytes that the tables finish; shorter ones by CRC32X, eight bytes into the register.
#if defined(__aarch64__)
#include <arm_acle.h>
#include <arm_neon.h>

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

// A lane's low half times k's low half, xor its high half times k's high half.
[[gnu::target("+crypto")]] inline uint8x16_t fold(uint8x16_t x, poly64x2_t k) {
    const poly64x2_t p = vreinterpretq_p64_u8(x);
    const poly128_t lo = vmull_p64(vgetq_lane_p64(p, 0), vgetq_lane_p64(k, 0));
    const poly128_t hi = vmull_high_p64(p, k);
    return veorq_u8(vreinterpretq_u8_p128(lo), vreinterpretq_u8_p128(hi));
}

// n is a multiple of kFoldBlock and at least kFoldBlock. Returns the register after the n
// bytes, as crc_clmul does on x86-64: the register folded into the first four bytes, four
// lanes folded forward 512 bits a step, reduced to one 16-byte remainder congruent to the
// message, whose CRC from 0 is the result.
[[gnu::target("+crypto")]] uint32_t crc_pmull(uint32_t c, const uch *s, size_t n) {
    uint8x16_t x0 =
        veorq_u8(vld1q_u8(s), vreinterpretq_u8_u32(vsetq_lane_u32(c, vdupq_n_u32(0), 0)));
    uint8x16_t x1 = vld1q_u8(s + 16);
    uint8x16_t x2 = vld1q_u8(s + 32);
    uint8x16_t x3 = vld1q_u8(s + 48);
    s += kFoldBlock;
    n -= kFoldBlock;
    const poly64x2_t k512 = vcombine_p64(vcreate_p64(kFold512Hi), vcreate_p64(kFold512Lo));
    while (n >= kFoldBlock) {
        x0 = veorq_u8(fold(x0, k512), vld1q_u8(s));
        x1 = veorq_u8(fold(x1, k512), vld1q_u8(s + 16));
        x2 = veorq_u8(fold(x2, k512), vld1q_u8(s + 32));
        x3 = veorq_u8(fold(x3, k512), vld1q_u8(s + 48));
        s += kFoldBlock;
        n -= kFoldBlock;
    }
    const poly64x2_t k128 = vcombine_p64(vcreate_p64(kFold128Hi), vcreate_p64(kFold128Lo));
    uint8x16_t x = veorq_u8(fold(x0, k128), x1);
    x = veorq_u8(fold(x, k128), x2);
    x = veorq_u8(fold(x, k128), x3);
    uch rem[16];
    vst1q_u8(rem, x);
    return crc_slice8(0, rem, sizeof rem);
}

}  // namespace

size_t crc_fast_head(uint32_t *c, const uch *s, size_t n) {
    if (n >= kFoldMin && cpu_has(CPU_ARM_PMULL)) {
        const size_t head = n & ~(kFoldBlock - 1);
        *c = crc_pmull(*c, s, head);
        return head;
    }
    if (n < kCrc32xMin || !cpu_has(CPU_ARM_CRC32)) return 0;
    const size_t head = n & ~(kCrc32xStep - 1);
    *c = crc_crc32x(*c, s, head);
    return head;
}
#endif
