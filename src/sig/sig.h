// Signature layer: SHA-512 and SHA-256 (FIPS 180-4), Ed25519 verification (RFC 8032),
// base64 (RFC 4648) and OpenSSH's signature format SSHSIG with ssh-ed25519 keys.
// Owns no state: contexts and buffers belong to the caller; nothing is allocated.
//
// Contract. An archive is signed with `ssh-keygen -Y sign -n archive@kelpa` by an Ed25519
// key; the signature signs the SHA-512 of the data. Everything here checks public data
// only, so nothing runs in constant time. Verification is strict: a signature passes only if
// it is the single encoding an honest signer makes (S < L, canonical points, neither the key
// nor R of small order, [S]B - [k]A encoding to R byte for byte), so that no second valid
// signature can be derived from a valid one. Every parser refuses with a short reason, a
// static string fit to print after the file name; nullptr means accepted.
#pragma once

#include <cstddef>
#include <cstdint>

// SHA-512: one context per stream; update takes any number of bytes, whole 128-byte blocks
// straight from the caller's buffer.
struct Sha512 {
    uint64_t state[8];
    uint64_t count;  // bytes fed so far
    uint8_t block[128];
};
void sha512_init(Sha512 *c);
void sha512_update(Sha512 *c, const void *data, size_t len);
void sha512_final(Sha512 *c, uint8_t out[64]);
void sha512(const void *data, size_t len, uint8_t out[64]);

struct Sha256 {
    uint32_t state[8];
    uint64_t count;
    uint8_t block[64];
};
void sha256_init(Sha256 *c);
void sha256_update(Sha256 *c, const void *data, size_t len);
void sha256_final(Sha256 *c, uint8_t out[32]);
void sha256(const void *data, size_t len, uint8_t out[32]);

// RFC 8032 section 5.1.7 with the strict rules of the contract above.
bool ed25519_verify(const uint8_t pub[32], const uint8_t *msg, size_t len, const uint8_t sig[64]);

// Base64 with the standard alphabet and '=' padding; returns the text length, 4 per started
// 3 bytes. The text is not terminated.
size_t base64_encode(const uint8_t *in, size_t len, char *out);
// Strict decoding: only alphabet characters, padding only at the end and only as much as the
// length needs, unused bits zero; newline characters are skipped when lines is set, refused
// otherwise. Fails when the result would exceed cap; on success *out_len is its length.
bool base64_decode(const char *in, size_t len, uint8_t *out, size_t cap, size_t *out_len,
                   bool lines);

// The SSHSIG blob with namespace archive@kelpa: "SSHSIG" (6), version (4), the public key
// blob (4 + 51: string "ssh-ed25519" 4 + 11, key 4 + 32), the namespace (4 + 13), the empty
// reserved field (4), "sha512" (4 + 6) and the signature blob (4 + 83: string "ssh-ed25519"
// 4 + 11, signature 4 + 64). The text form is its base64, without padding as 183 = 3 * 61.
inline constexpr size_t SIG_BLOB_SIZE = 6 + 4 + (4 + 51) + (4 + 13) + 4 + (4 + 6) + (4 + 83);
inline constexpr size_t SIG_TEXT_SIZE = SIG_BLOB_SIZE / 3 * 4;
static_assert(SIG_BLOB_SIZE == 183 && SIG_BLOB_SIZE % 3 == 0 && SIG_TEXT_SIZE == 244);
// ssh-keygen's armour of such a blob: the BEGIN line (29 + 1), the text in lines of 70
// characters (244 = 3 * 70 + 34, four lines), the END line (27 + 1).
inline constexpr size_t SIG_ARMOUR_LINE = 70;
inline constexpr size_t SIG_ARMOUR_SIZE =
    30 + SIG_TEXT_SIZE + (SIG_TEXT_SIZE + SIG_ARMOUR_LINE - 1) / SIG_ARMOUR_LINE + 28;
static_assert(SIG_ARMOUR_SIZE == 306);
// "SHA256:", the unpadded base64 of a 32-byte hash (43) and a terminating NUL.
inline constexpr size_t SIG_FINGERPRINT_SIZE = 7 + 43 + 1;

struct SshSig {
    uint8_t key[32];
    uint8_t sig[64];
};
// Parses an SSHSIG blob of any length (an RSA or ECDSA one is refused by its key type).
const char *sshsig_parse(const uint8_t *blob, size_t len, SshSig *out);
// True if s was made by the key expected over data whose SHA-512 is digest.
bool sshsig_verify(const SshSig *s, const uint8_t expected[32], const uint8_t digest[64]);
// Takes the blob out of ssh-keygen's armoured text (optionally followed by one newline);
// *len is its length, at most cap.
const char *sshsig_unarmour(const char *text, size_t n, uint8_t *blob, size_t cap, size_t *len);

// The namespace every archive signature is made in (ssh-keygen -Y sign -n).
inline constexpr char SIG_NAMESPACE[] = "archive@kelpa";

// Parses a public key line "ssh-ed25519 <base64> [comment]" into the key.
const char *ssh_pubkey_parse(const char *line, size_t n, uint8_t key[32]);
// The fingerprint as `ssh-keygen -l` shows it: "SHA256:" and the unpadded base64 of the
// SHA-256 of the public key blob, NUL-terminated.
void ssh_fingerprint(const uint8_t key[32], char out[SIG_FINGERPRINT_SIZE]);
