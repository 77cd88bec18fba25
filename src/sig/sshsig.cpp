// Signature layer: base64 (RFC 4648), OpenSSH's SSHSIG blobs and armour, ssh-ed25519 public
// key lines and their SHA256 fingerprints. Owns no state; an SSH string is a big-endian
// 32-bit length and that many bytes.
#include <cstring>

#include "sig/sig.h"

namespace {

const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char MAGIC[] = "SSHSIG";
const char KEY_TYPE[] = "ssh-ed25519";
const char *const NAMESPACE = SIG_NAMESPACE;
const char HASH[] = "sha512";
const char BEGIN[] = "-----BEGIN SSH SIGNATURE-----\n";
const char END[] = "-----END SSH SIGNATURE-----";
enum { KEY = 32, SIGNATURE = 64, DIGEST = 64, KEY_BLOB = 4 + 11 + 4 + KEY };
// What the key signs: "SSHSIG", the namespace, the empty reserved field, "sha512" and the
// digest, each but the first as a string.
enum { SIGNED_SIZE = 6 + (4 + 13) + 4 + (4 + 6) + (4 + DIGEST) };
static_assert(SIGNED_SIZE == 105);

// A cursor over an SSH encoding; ok turns false for good once a read runs past the end.
struct Reader {
    const uint8_t *p;
    size_t n;
    bool ok;

    uint32_t u32() {
        if (n < 4) return ok = false, 0;
        uint32_t v = uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
        p += 4, n -= 4;
        return v;
    }
    // The next string; its bytes stay in place. An empty view past the end.
    Reader string() {
        uint32_t len = u32();
        if (!ok || len > n) return ok = false, Reader{p, 0, false};
        Reader s = {p, len, true};
        p += len, n -= len;
        return s;
    }
    bool is(const char *text) const { return ok && n == strlen(text) && !memcmp(p, text, n); }
};

uint8_t *put_string(uint8_t *o, const void *data, uint32_t len) {
    for (int i = 0; i < 4; i++) *o++ = uint8_t(len >> (24 - 8 * i));
    memcpy(o, data, len);
    return o + len;
}

// The key blob: string "ssh-ed25519", string key. Refuses anything else in r.
const char *read_key(Reader r, uint8_t key[KEY]) {
    if (!r.string().is(KEY_TYPE)) return "the key is not ssh-ed25519";
    Reader k = r.string();
    if (!k.ok || k.n != KEY || r.n) return "bad ssh-ed25519 key";
    memcpy(key, k.p, KEY);
    return nullptr;
}

}  // namespace

size_t base64_encode(const uint8_t *in, size_t len, char *out) {
    size_t o = 0;
    for (size_t i = 0; i < len; i += 3) {
        uint32_t v = in[i] << 16;
        if (i + 1 < len) v |= in[i + 1] << 8;
        if (i + 2 < len) v |= in[i + 2];
        for (size_t j = 0; j < 4; j++)
            out[o++] = i + j <= len ? ALPHABET[v >> (18 - 6 * j) & 63] : '=';
    }
    return o;
}

bool base64_decode(const char *in, size_t len, uint8_t *out, size_t cap, size_t *out_len,
                   bool lines) {
    uint32_t v = 0;
    size_t sextets = 0, pad = 0, o = 0;
    for (size_t i = 0; i < len; i++) {
        char ch = in[i];
        if (ch == '\n' && lines) continue;
        const char *at = ch ? strchr(ALPHABET, ch) : nullptr;
        if (ch == '=' && sextets % 4 >= 2) {
            pad++;
            sextets++;
            v <<= 6;
        } else if (!at || pad) {
            return false;
        } else {
            v = v << 6 | uint32_t(at - ALPHABET);
            sextets++;
        }
        if (sextets % 4 == 0) {
            if (o + 3 - pad > cap) return false;
            for (size_t j = 0; j < 3 - pad; j++) out[o++] = uint8_t(v >> (16 - 8 * j));
            if (v & ((1u << 8 * pad) - 1)) return false;
            v = 0;
        }
    }
    *out_len = o;
    return sextets % 4 == 0;
}

const char *sshsig_parse(const uint8_t *blob, size_t len, SshSig *out) {
    Reader r = {blob, len, true};
    if (len < 6 || memcmp(blob, MAGIC, 6) != 0) return "not an SSH signature";
    r.p += 6, r.n -= 6;
    if (r.u32() != 1) return "unsupported SSH signature version";
    Reader key = r.string(), space = r.string(), reserved = r.string(), hash = r.string(),
           s = r.string();
    if (!r.ok) return "truncated SSH signature";
    if (r.n) return "trailing bytes after the signature";
    const char *why = read_key(key, out->key);
    if (why) return why;
    if (!space.is(NAMESPACE)) return "the signature's namespace is not archive@kelpa";
    if (reserved.n) return "the signature's reserved field is not empty";
    if (!hash.is(HASH)) return "the signature's hash is not sha512";
    if (!s.string().is(KEY_TYPE)) return "the signature is not ssh-ed25519";
    Reader bytes = s.string();
    if (!bytes.ok || bytes.n != SIGNATURE || s.n) return "bad ssh-ed25519 signature";
    memcpy(out->sig, bytes.p, SIGNATURE);
    return nullptr;
}

bool sshsig_verify(const SshSig *s, const uint8_t expected[32], const uint8_t digest[64]) {
    uint8_t m[SIGNED_SIZE], *o = m;
    memcpy(o, MAGIC, 6);
    o = put_string(o + 6, NAMESPACE, 13);
    o = put_string(o, "", 0);
    o = put_string(o, HASH, 6);
    put_string(o, digest, DIGEST);
    return !memcmp(s->key, expected, KEY) && ed25519_verify(s->key, m, SIGNED_SIZE, s->sig);
}

const char *sshsig_unarmour(const char *text, size_t n, uint8_t *blob, size_t cap, size_t *len) {
    size_t begin = strlen(BEGIN), end = strlen(END);
    if (n && text[n - 1] == '\n') n--;
    if (n < begin + end || memcmp(text, BEGIN, begin) != 0 ||
        memcmp(text + n - end, END, end) != 0 || text[n - end - 1] != '\n')
        return "not an armoured SSH signature";
    if (!base64_decode(text + begin, n - end - begin, blob, cap, len, true))
        return "bad base64 in the SSH signature";
    return nullptr;
}

const char *ssh_pubkey_parse(const char *line, size_t n, uint8_t key[32]) {
    size_t type = strlen(KEY_TYPE), b64 = 0;
    if (n <= type || memcmp(line, KEY_TYPE, type) != 0 || line[type] != ' ')
        return "the key is not ssh-ed25519";
    const char *text = line + type + 1;
    n -= type + 1;
    while (b64 < n && text[b64] != ' ' && text[b64] != '\n') b64++;
    uint8_t blob[KEY_BLOB];
    size_t len;
    if (!base64_decode(text, b64, blob, sizeof blob, &len, false)) return "bad ssh-ed25519 key";
    return read_key(Reader{blob, len, true}, key);
}

void ssh_fingerprint(const uint8_t key[32], char out[SIG_FINGERPRINT_SIZE]) {
    uint8_t blob[KEY_BLOB], hash[32];
    put_string(put_string(blob, KEY_TYPE, 11), key, KEY);
    sha256(blob, KEY_BLOB, hash);
    memcpy(out, "SHA256:", 7);
    size_t k = base64_encode(hash, 32, out + 7);
    out[k + 7 - 1] = 0;  // 32 bytes end in one '='
}
