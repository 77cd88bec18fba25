// Signature layer: Ed25519 signature verification (RFC 8032 section 5.1.7) with strict
// encodings and no small-order points. Owns no state.
#include <cstring>

#include "sig/sig.h"

namespace {

// Field elements of GF(2^255 - 19) are 16 signed limbs of 16 bits, which keeps every operation
// a short loop; points are extended coordinates (X, Y, Z, T): x = X/Z, y = Y/Z, xy = T/Z.
enum { LIMBS = 16, BYTES = 32 };
using Fe = int64_t[LIMBS];
struct Point {
    Fe x, y, z, t;
};

// Little-endian constants: d = -121665/121666, sqrt(-1) = 2^((p-1)/4), the group order L and
// the encoding of the base point (y = 4/5, x even).
const uint8_t D_BYTES[BYTES] = {0xa3, 0x78, 0x59, 0x13, 0xca, 0x4d, 0xeb, 0x75, 0xab, 0xd8, 0x41,
                                0x41, 0x4d, 0x0a, 0x70, 0x00, 0x98, 0xe8, 0x79, 0x77, 0x79, 0x40,
                                0xc7, 0x8c, 0x73, 0xfe, 0x6f, 0x2b, 0xee, 0x6c, 0x03, 0x52};
const uint8_t I_BYTES[BYTES] = {0xb0, 0xa0, 0x0e, 0x4a, 0x27, 0x1b, 0xee, 0xc4, 0x78, 0xe4, 0x2f,
                                0xad, 0x06, 0x18, 0x43, 0x2f, 0xa7, 0xd7, 0xfb, 0x3d, 0x99, 0x00,
                                0x4d, 0x2b, 0x0b, 0xdf, 0xc1, 0x4f, 0x80, 0x24, 0x83, 0x2b};
const uint8_t L_BYTES[BYTES] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                0xa2, 0xde, 0xf9, 0xde, 0x14, 0,    0,    0,    0,    0,    0,
                                0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};
const uint8_t B_BYTES[BYTES] = {0x58, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
                                0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
                                0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66};
// p = 2^255 - 19 in limbs.
const int64_t P_TOP = 0x7fff, P_MID = 0xffff, P_LOW = 0xffed;

void set(Fe o, const Fe a) {
    memcpy(o, a, sizeof(Fe));
}
void add(Fe o, const Fe a, const Fe b) {
    for (int i = 0; i < LIMBS; i++) o[i] = a[i] + b[i];
}
void sub(Fe o, const Fe a, const Fe b) {
    for (int i = 0; i < LIMBS; i++) o[i] = a[i] - b[i];
}

// Brings every limb into [0, 2^16) except that the carry out of the top, worth
// 2^256 = 38 (mod p), lands on limb 0.
void carry(Fe o) {
    for (int i = 0; i < LIMBS; i++) {
        int64_t c = o[i] >> 16;
        o[i] -= c * 65536;
        if (i < LIMBS - 1)
            o[i + 1] += c;
        else
            o[0] += 38 * c;
    }
}

// Limbs below 2^18 in size give products below 2^36, sums of 16 below 2^40, with the
// folded upper half below 2^46: int64 holds every step.
void mul(Fe o, const Fe a, const Fe b) {
    int64_t t[2 * LIMBS - 1] = {};
    for (int i = 0; i < LIMBS; i++)
        for (int j = 0; j < LIMBS; j++) t[i + j] += a[i] * b[j];
    for (int i = 0; i < LIMBS - 1; i++) t[i] += 38 * t[i + LIMBS];
    memcpy(o, t, sizeof(Fe));
    carry(o);
    carry(o);
}

bool at_least_p(const Fe a) {
    for (int i = LIMBS - 1; i >= 0; i--) {
        int64_t p = i == LIMBS - 1 ? P_TOP : i ? P_MID : P_LOW;
        if (a[i] != p) return a[i] > p;
    }
    return true;
}

// The canonical encoding: three carries leave a value in [0, 2^256) = [0, 2p + 38), then p is
// subtracted as long as it fits.
void pack(uint8_t out[BYTES], const Fe a) {
    Fe t;
    set(t, a);
    carry(t);
    carry(t);
    carry(t);
    while (at_least_p(t)) {
        t[0] -= P_LOW;
        for (int i = 1; i < LIMBS - 1; i++) t[i] -= P_MID;
        t[LIMBS - 1] -= P_TOP;
        carry(t);
    }
    for (int i = 0; i < LIMBS; i++, out += 2) out[0] = uint8_t(t[i]), out[1] = uint8_t(t[i] >> 8);
}

// Reads 255 bits; the top bit of the last byte is left out.
void unpack(Fe o, const uint8_t in[BYTES]) {
    for (int i = 0; i < LIMBS; i++, in += 2) o[i] = in[0] | in[1] << 8;
    o[LIMBS - 1] &= 0x7fff;
}

bool equal(const Fe a, const Fe b) {
    uint8_t x[BYTES], y[BYTES];
    pack(x, a);
    pack(y, b);
    return memcmp(x, y, BYTES) == 0;
}

int parity(const Fe a) {
    uint8_t x[BYTES];
    pack(x, a);
    return x[0] & 1;
}

// a^(p-2) = 1/a when inverse, else a^((p-5)/8) = a^(2^252 - 3), the power that square roots
// take. p - 2 = 2^255 - 21 has every bit from 254 down set but bits 4 and 2; 2^252 - 3 every
// bit from 251 down but bit 1.
void power(Fe o, const Fe a, bool inverse) {
    Fe c = {1};
    for (int i = 254; i >= 0; i--) {
        mul(c, c, c);
        if (inverse ? i != 4 && i != 2 : i <= 251 && i != 1) mul(c, c, a);
    }
    set(o, c);
}

// Adds q to p with the unified formula for a = -1 (RFC 8032 section 5.1.4), which also
// doubles: p and q may be the same point.
void point_add(Point *p, const Point *q) {
    Fe a, b, c, d, e, f, g, h;
    sub(a, p->y, p->x);
    sub(h, q->y, q->x);
    mul(a, a, h);
    add(b, p->y, p->x);
    add(h, q->y, q->x);
    mul(b, b, h);
    mul(c, p->t, q->t);
    unpack(d, D_BYTES);
    add(d, d, d);
    mul(c, c, d);
    mul(d, p->z, q->z);
    add(d, d, d);
    sub(e, b, a);
    sub(f, d, c);
    add(g, d, c);
    add(h, b, a);
    mul(p->x, e, f);
    mul(p->y, g, h);
    mul(p->z, f, g);
    mul(p->t, e, h);
}

void encode(uint8_t out[BYTES], const Point *p) {
    Fe zi, x, y;
    power(zi, p->z, true);
    mul(x, p->x, zi);
    mul(y, p->y, zi);
    pack(out, y);
    out[BYTES - 1] ^= uint8_t(parity(x) << 7);
}

// RFC 8032 section 5.1.3, refusing a y of p or more, and a point of order 1, 2, 4 or 8: [8]P
// is the identity, which encodes as y = 1, x = 0.
bool decode(Point *p, const uint8_t in[BYTES]) {
    Fe u, v, w, one = {1};
    uint8_t check[BYTES];
    unpack(p->y, in);
    pack(check, p->y);
    check[BYTES - 1] |= in[BYTES - 1] & 0x80;
    if (memcmp(check, in, BYTES) != 0) return false;
    set(p->z, one);
    mul(u, p->y, p->y);  // u = y^2 - 1, v = d y^2 + 1
    unpack(v, D_BYTES);
    mul(v, v, u);
    sub(u, u, one);
    add(v, v, one);
    mul(w, v, v);  // x = u v^3 (u v^7)^((p-5)/8)
    mul(w, w, v);
    mul(p->x, w, w);
    mul(p->x, p->x, v);
    mul(p->x, p->x, u);
    power(p->x, p->x, false);
    mul(p->x, p->x, w);
    mul(p->x, p->x, u);
    mul(w, p->x, p->x);  // v x^2 is u, or -u when x still needs a factor sqrt(-1)
    mul(w, w, v);
    if (!equal(w, u)) {
        add(w, w, u);
        Fe zero = {};
        if (!equal(w, zero)) return false;
        unpack(w, I_BYTES);
        mul(p->x, p->x, w);
    }
    int sign = in[BYTES - 1] >> 7;
    if (parity(p->x) != sign) {
        Fe zero = {};
        if (equal(p->x, zero)) return false;
        sub(p->x, zero, p->x);
    }
    mul(p->t, p->x, p->y);
    Point q = *p;
    for (int i = 0; i < 3; i++) point_add(&q, &q);
    encode(check, &q);
    static const uint8_t identity[BYTES] = {1};
    return memcmp(check, identity, BYTES) != 0;
}

// Little-endian 32-byte numbers: a < b.
bool less(const uint8_t *a, const uint8_t *b) {
    for (int i = BYTES - 1; i >= 0; i--)
        if (a[i] != b[i]) return a[i] < b[i];
    return false;
}

// r = h mod L for a 512-bit little-endian h, a bit at a time from the top: r stays below L,
// so 2r + 1 fits in 32 bytes.
void reduce(uint8_t r[BYTES], const uint8_t h[2 * BYTES]) {
    memset(r, 0, BYTES);
    for (int bit = 8 * 2 * BYTES - 1; bit >= 0; bit--) {
        int c = h[bit / 8] >> bit % 8 & 1;
        for (int i = 0; i < BYTES; i++) {
            int v = r[i] << 1 | c;
            r[i] = uint8_t(v), c = v >> 8;
        }
        if (!less(r, L_BYTES)) {
            int borrow = 0;
            for (int i = 0; i < BYTES; i++) {
                int v = r[i] - L_BYTES[i] - borrow;
                r[i] = uint8_t(v), borrow = v < 0;
            }
        }
    }
}

}  // namespace

bool ed25519_verify(const uint8_t pub[32], const uint8_t *msg, size_t len, const uint8_t sig[64]) {
    const uint8_t *s = sig + BYTES;
    Point a, r, b, q = {{0}, {1}, {1}, {0}};
    if (!less(s, L_BYTES) || !decode(&a, pub) || !decode(&r, sig) || !decode(&b, B_BYTES))
        return false;
    uint8_t h[2 * BYTES], k[BYTES];
    Sha512 c;
    sha512_init(&c);
    sha512_update(&c, sig, BYTES);
    sha512_update(&c, pub, BYTES);
    sha512_update(&c, msg, len);
    sha512_final(&c, h);
    reduce(k, h);
    Fe zero = {};
    sub(a.x, zero, a.x);  // -A
    sub(a.t, zero, a.t);
    for (int bit = 8 * BYTES - 1; bit >= 0; bit--) {  // R' = [S]B + [k](-A)
        point_add(&q, &q);
        if (s[bit / 8] >> bit % 8 & 1) point_add(&q, &b);
        if (k[bit / 8] >> bit % 8 & 1) point_add(&q, &a);
    }
    encode(h, &q);
    return memcmp(h, sig, BYTES) == 0;
}
