// Stream state: CRC-32 on x86-64 by carry-less multiplication (PCLMULQDQ, and VPCLMULQDQ
// with AVX2): the register folded over 64 or 128 bytes a step, then reduced to 16 bytes
// that the table path finishes (crc32_arch.h).
#if defined(__x86_64__)
#include <immintrin.h>

#include <cstdint>

#include "stream/cpu.h"
#include "stream/crc32_arch.h"

namespace {

constexpr size_t kWideFoldBlock = 128;  // four 32-byte registers of two 16-byte lanes each

__attribute__((target("pclmul,sse2"))) inline __m128i fold(__m128i x, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

// n is a multiple of kFoldBlock and at least kFoldBlock. Returns the register after the
// n bytes. The register is folded into the first four bytes, the lanes are reduced to one
// 16-byte remainder congruent to the message, and that remainder's CRC from 0 is the result.
__attribute__((target("pclmul,sse2"))) uint32_t crc_clmul(uint32_t c, const uch *s, size_t n) {
    const __m128i *p = reinterpret_cast<const __m128i *>(s);
    __m128i x0 = _mm_xor_si128(_mm_loadu_si128(p), _mm_cvtsi32_si128(static_cast<int>(c)));
    __m128i x1 = _mm_loadu_si128(p + 1);
    __m128i x2 = _mm_loadu_si128(p + 2);
    __m128i x3 = _mm_loadu_si128(p + 3);
    p += 4;
    n -= kFoldBlock;
    const __m128i k512 =
        _mm_set_epi64x(static_cast<long long>(kFold512Lo), static_cast<long long>(kFold512Hi));
    while (n >= kFoldBlock) {
        x0 = _mm_xor_si128(fold(x0, k512), _mm_loadu_si128(p));
        x1 = _mm_xor_si128(fold(x1, k512), _mm_loadu_si128(p + 1));
        x2 = _mm_xor_si128(fold(x2, k512), _mm_loadu_si128(p + 2));
        x3 = _mm_xor_si128(fold(x3, k512), _mm_loadu_si128(p + 3));
        p += 4;
        n -= kFoldBlock;
    }
    const __m128i k128 =
        _mm_set_epi64x(static_cast<long long>(kFold128Lo), static_cast<long long>(kFold128Hi));
    __m128i x = _mm_xor_si128(fold(x0, k128), x1);
    x = _mm_xor_si128(fold(x, k128), x2);
    x = _mm_xor_si128(fold(x, k128), x3);
    alignas(16) uch rem[16];
    _mm_store_si128(reinterpret_cast<__m128i *>(rem), x);
    return crc_slice8(0, rem, sizeof rem);
}

// crc_clmul with 32-byte registers: each register holds two consecutive 16-byte lanes and
// one instruction folds both, so a step takes 128 bytes with the multiplications of 64.
// The eight lanes are then reduced in order, as crc_clmul reduces its four. n is a multiple
// of kWideFoldBlock and at least kWideFoldBlock.
__attribute__((target("vpclmulqdq,avx2,pclmul"))) uint32_t crc_clmul_wide(uint32_t c, const uch *s,
                                                                          size_t n) {
    const __m256i *p = reinterpret_cast<const __m256i *>(s);
    const __m256i c0 = _mm256_zextsi128_si256(_mm_cvtsi32_si128(static_cast<int>(c)));
    __m256i y0 = _mm256_xor_si256(_mm256_loadu_si256(p), c0);
    __m256i y1 = _mm256_loadu_si256(p + 1);
    __m256i y2 = _mm256_loadu_si256(p + 2);
    __m256i y3 = _mm256_loadu_si256(p + 3);
    p += 4;
    n -= kWideFoldBlock;
    const __m256i k1024 =
        _mm256_set_epi64x(static_cast<long long>(kFold1024Lo), static_cast<long long>(kFold1024Hi),
                          static_cast<long long>(kFold1024Lo), static_cast<long long>(kFold1024Hi));
    while (n >= kWideFoldBlock) {
        y0 = _mm256_xor_si256(_mm256_xor_si256(_mm256_clmulepi64_epi128(y0, k1024, 0x00),
                                               _mm256_clmulepi64_epi128(y0, k1024, 0x11)),
                              _mm256_loadu_si256(p));
        y1 = _mm256_xor_si256(_mm256_xor_si256(_mm256_clmulepi64_epi128(y1, k1024, 0x00),
                                               _mm256_clmulepi64_epi128(y1, k1024, 0x11)),
                              _mm256_loadu_si256(p + 1));
        y2 = _mm256_xor_si256(_mm256_xor_si256(_mm256_clmulepi64_epi128(y2, k1024, 0x00),
                                               _mm256_clmulepi64_epi128(y2, k1024, 0x11)),
                              _mm256_loadu_si256(p + 2));
        y3 = _mm256_xor_si256(_mm256_xor_si256(_mm256_clmulepi64_epi128(y3, k1024, 0x00),
                                               _mm256_clmulepi64_epi128(y3, k1024, 0x11)),
                              _mm256_loadu_si256(p + 3));
        p += 4;
        n -= kWideFoldBlock;
    }
    const __m128i k128 =
        _mm_set_epi64x(static_cast<long long>(kFold128Lo), static_cast<long long>(kFold128Hi));
    const __m128i lanes[] = {_mm256_castsi256_si128(y0), _mm256_extracti128_si256(y0, 1),
                             _mm256_castsi256_si128(y1), _mm256_extracti128_si256(y1, 1),
                             _mm256_castsi256_si128(y2), _mm256_extracti128_si256(y2, 1),
                             _mm256_castsi256_si128(y3), _mm256_extracti128_si256(y3, 1)};
    __m128i x = lanes[0];
    for (size_t i = 1; i < sizeof lanes / sizeof lanes[0]; i++)
        x = _mm_xor_si128(
            _mm_xor_si128(_mm_clmulepi64_si128(x, k128, 0x00), _mm_clmulepi64_si128(x, k128, 0x11)),
            lanes[i]);
    alignas(16) uch rem[16];
    _mm_store_si128(reinterpret_cast<__m128i *>(rem), x);
    return crc_slice8(0, rem, sizeof rem);
}

}  // namespace

size_t crc_fast_head(uint32_t *c, const uch *s, size_t n) {
    if (n < kFoldMin) return 0;
    if (cpu_has(CPU_VPCLMULQDQ | CPU_AVX2 | CPU_PCLMULQDQ)) {
        const size_t head = n & ~(kWideFoldBlock - 1);
        *c = crc_clmul_wide(*c, s, head);
        return head;
    }
    if (cpu_has(CPU_PCLMULQDQ | CPU_SSE2)) {
        const size_t head = n & ~(kFoldBlock - 1);
        *c = crc_clmul(*c, s, head);
        return head;
    }
    return 0;
}

#endif
