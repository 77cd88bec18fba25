// Signature layer: SHA-512 and SHA-256 (FIPS 180-4). State lives in the caller's context;
// one compression function template serves both word sizes.
#include <cstring>

#include "sig/sig.h"

namespace {

// The first 64 bits of the fractional parts of the cube roots of the first 80 primes. The
// SHA-256 constants are the first 32 bits of the first 64 of them, and the initial values of
// both (square roots of the first 8 primes) relate the same way.
const uint64_t K[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc,
    0x3956c25bf348b538, 0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118,
    0xd807aa98a3030242, 0x12835b0145706fbe, 0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2,
    0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235, 0xc19bf174cf692694,
    0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5,
    0x983e5152ee66dfab, 0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4,
    0xc6e00bf33da88fc2, 0xd5a79147930aa725, 0x06ca6351e003826f, 0x142929670a0e6e70,
    0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed, 0x53380d139d95b3df,
    0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30,
    0xd192e819d6ef5218, 0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8,
    0x19a4c116b8d2d0c8, 0x1e376c085141ab53, 0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8,
    0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373, 0x682e6ff3d6b2b8a3,
    0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b,
    0xca273eceea26619c, 0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178,
    0x06f067aa72176fba, 0x0a637dc5a2c898a6, 0x113f9804bef90dae, 0x1b710b35131c471b,
    0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc, 0x431d67c49c100d4c,
    0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817};
const uint64_t H0[8] = {0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b,
                        0xa54ff53a5f1d36f1, 0x510e527fade682d1, 0x9b05688c2b3e6c1f,
                        0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};

template <typename W>
W rotr(W x, int n) {
    return (x >> n) | (x << (8 * sizeof(W) - n));
}

template <typename W>
W load_be(const uint8_t *p) {
    W w = 0;
    for (size_t i = 0; i < sizeof(W); i++) w = w << 8 | p[i];
    return w;
}

// One block of 16 big-endian words into the state s.
template <typename W>
void compress(W *s, const uint8_t *p) {
    constexpr bool wide = sizeof(W) == 8;
    // Rotations of Sigma0, Sigma1, sigma0 and sigma1 (the last of each sigma a shift).
    constexpr int r[12] = {wide ? 28 : 2,  wide ? 34 : 13, wide ? 39 : 22, wide ? 14 : 6,
                           wide ? 18 : 11, wide ? 41 : 25, wide ? 1 : 7,   wide ? 8 : 18,
                           wide ? 7 : 3,   wide ? 19 : 17, wide ? 61 : 19, wide ? 6 : 10};
    W w[16];
    for (int i = 0; i < 16; i++) w[i] = load_be<W>(p + i * sizeof(W));
    W a = s[0], b = s[1], c = s[2], d = s[3], e = s[4], f = s[5], g = s[6], h = s[7];
    for (int i = 0; i < (wide ? 80 : 64); i++) {
        if (i >= 16) {
            W x = w[(i - 15) & 15], y = w[(i - 2) & 15];
            w[i & 15] += (rotr(x, r[6]) ^ rotr(x, r[7]) ^ (x >> r[8])) + w[(i - 7) & 15] +
                         (rotr(y, r[9]) ^ rotr(y, r[10]) ^ (y >> r[11]));
        }
        W t1 = h + (rotr(e, r[3]) ^ rotr(e, r[4]) ^ rotr(e, r[5])) + ((e & f) ^ (~e & g)) +
               W(K[i] >> (64 - 8 * sizeof(W))) + w[i & 15];
        W t2 = (rotr(a, r[0]) ^ rotr(a, r[1]) ^ rotr(a, r[2])) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    s[0] += a, s[1] += b, s[2] += c, s[3] += d, s[4] += e, s[5] += f, s[6] += g, s[7] += h;
}

// Feeds bytes to a context of either size: what completes the buffered block first, then
// whole blocks from the caller's memory, then the rest into the buffer.
template <typename C>
void update(C *c, const void *data, size_t len) {
    constexpr size_t size = sizeof c->block;
    const uint8_t *p = static_cast<const uint8_t *>(data);
    size_t fill = c->count % size;
    c->count += len;
    if (fill) {
        size_t n = len < size - fill ? len : size - fill;
        memcpy(c->block + fill, p, n);
        p += n, len -= n;
        if (fill + n < size) return;
        compress(c->state, c->block);
    }
    for (; len >= size; p += size, len -= size) compress(c->state, p);
    memcpy(c->block, p, len);
}

// Pads with 0x80, zeros and the bit count (128 bits wide for SHA-512, 64 for SHA-256), then
// writes the state big-endian.
template <typename C>
void final(C *c, uint8_t *out) {
    constexpr size_t size = sizeof c->block;
    constexpr size_t word = sizeof c->state[0];
    uint64_t bits = c->count << 3, high = c->count >> 61;
    size_t fill = c->count % size;
    c->block[fill++] = 0x80;
    if (fill > size - 2 * word) {
        memset(c->block + fill, 0, size - fill);
        compress(c->state, c->block);
        fill = 0;
    }
    memset(c->block + fill, 0, size - fill);
    for (int i = 0; i < 8; i++) {
        c->block[size - 1 - i] = uint8_t(bits >> 8 * i);
        if (word == 8) c->block[size - 9 - i] = uint8_t(high >> 8 * i);
    }
    compress(c->state, c->block);
    for (size_t i = 0; i < 8 * word; i++)
        out[i] = uint8_t(c->state[i / word] >> 8 * (word - 1 - i % word));
}

}  // namespace

void sha512_init(Sha512 *c) {
    memcpy(c->state, H0, sizeof H0);
    c->count = 0;
}
void sha512_update(Sha512 *c, const void *data, size_t len) {
    update(c, data, len);
}
void sha512_final(Sha512 *c, uint8_t out[64]) {
    final(c, out);
}
void sha512(const void *data, size_t len, uint8_t out[64]) {
    Sha512 c;
    sha512_init(&c);
    update(&c, data, len);
    final(&c, out);
}

void sha256_init(Sha256 *c) {
    for (int i = 0; i < 8; i++) c->state[i] = uint32_t(H0[i] >> 32);
    c->count = 0;
}
void sha256_update(Sha256 *c, const void *data, size_t len) {
    update(c, data, len);
}
void sha256_final(Sha256 *c, uint8_t out[32]) {
    final(c, out);
}
void sha256(const void *data, size_t len, uint8_t out[32]) {
    Sha256 c;
    sha256_init(&c);
    update(&c, data, len);
    final(&c, out);
}
