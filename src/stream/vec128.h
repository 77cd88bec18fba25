// Stream state (header only): the 16-byte vector steps of the decoder's match copy and the
// encoder's position tables, on SSE2 for x86-64, on NEON for aarch64 (both baseline for
// their architecture) and as plain byte loops elsewhere.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <emmintrin.h>

using vec128 = __m128i;
inline vec128 vec_load(const void *p) {
    return _mm_loadu_si128(static_cast<const __m128i *>(p));
}
inline void vec_store(void *p, vec128 v) {
    _mm_storeu_si128(static_cast<__m128i *>(p), v);
}
inline vec128 vec_splat8(uint8_t b) {
    return _mm_set1_epi8(static_cast<char>(b));
}
inline vec128 vec_splat16(uint16_t h) {
    return _mm_set1_epi16(static_cast<short>(h));
}
// Lanes 0, 1, ..., 7 of 16 bits each.
inline vec128 vec_iota16() {
    return _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
}
inline vec128 vec_add16(vec128 a, vec128 b) {
    return _mm_add_epi16(a, b);
}
// Unsigned 16-bit lanes, a - b, 0 where b is larger.
inline vec128 vec_subs_u16(vec128 a, vec128 b) {
    return _mm_subs_epu16(a, b);
}

#elif defined(__aarch64__)
#include <arm_neon.h>

using vec128 = uint16x8_t;
inline vec128 vec_load(const void *p) {
    return vreinterpretq_u16_u8(vld1q_u8(static_cast<const uint8_t *>(p)));
}
inline void vec_store(void *p, vec128 v) {
    vst1q_u8(static_cast<uint8_t *>(p), vreinterpretq_u8_u16(v));
}
inline vec128 vec_splat8(uint8_t b) {
    return vreinterpretq_u16_u8(vdupq_n_u8(b));
}
inline vec128 vec_splat16(uint16_t h) {
    return vdupq_n_u16(h);
}
inline vec128 vec_iota16() {
    static const uint16_t lanes[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    return vld1q_u16(lanes);
}
inline vec128 vec_add16(vec128 a, vec128 b) {
    return vaddq_u16(a, b);
}
inline vec128 vec_subs_u16(vec128 a, vec128 b) {
    return vqsubq_u16(a, b);
}

#else

struct vec128 {
    uint16_t h[8];
};
inline vec128 vec_load(const void *p) {
    vec128 v;
    memcpy(&v, p, sizeof v);
    return v;
}
inline void vec_store(void *p, vec128 v) {
    memcpy(p, &v, sizeof v);
}
inline vec128 vec_splat8(uint8_t b) {
    vec128 v;
    memset(&v, b, sizeof v);
    return v;
}
inline vec128 vec_splat16(uint16_t h) {
    return {{h, h, h, h, h, h, h, h}};
}
inline vec128 vec_iota16() {
    return {{0, 1, 2, 3, 4, 5, 6, 7}};
}
inline vec128 vec_add16(vec128 a, vec128 b) {
    for (int i = 0; i < 8; i++) a.h[i] = static_cast<uint16_t>(a.h[i] + b.h[i]);
    return a;
}
inline vec128 vec_subs_u16(vec128 a, vec128 b) {
    for (int i = 0; i < 8; i++)
        a.h[i] = a.h[i] > b.h[i] ? static_cast<uint16_t>(a.h[i] - b.h[i]) : 0;
    return a;
}

#endif

static_assert(sizeof(vec128) == 16);
