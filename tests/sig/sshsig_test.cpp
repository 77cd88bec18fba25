// SSHSIG files made by ssh-keygen: verified, refused with their reasons when altered or made
// otherwise; key lines, fingerprints and base64 strictness. (ssh-keygen checking kelpa's
// signatures: the README's recipe, which the documentation test runs.)
#include <gtest/gtest.h>

#include <string>

#include "common/test_util.h"
#include "sig/sig.h"

namespace {

const uint8_t *u8(const std::string &s) {
    return reinterpret_cast<const uint8_t *>(s.data());
}

class SshSigTest : public ::testing::Test {
   protected:
    kt::TempDir dir;
    std::string data = kt::random_bytes(1000, 3);
    void SetUp() override {
        kt::write_file(dir / "data", data);
        std::string keys =
            "for t in ed25519 'rsa -b 1024' ecdsa; do "
            "ssh-keygen -q -N '' -t $t -f ${t%% *}; done";
        ASSERT_EQ(kt::sh(keys, "", dir.path()).status, 0);
    }
    // The blob of ssh-keygen's signature of data by the key file and options given.
    std::string sign(const std::string &args) {
        std::string cmd = "ssh-keygen -q -Y sign -f " + args + " data && cat data.sig";
        std::string text = kt::sh(cmd + " && rm data.sig", "", dir.path()).out;
        uint8_t blob[4096];
        size_t n = 0;
        EXPECT_EQ(sshsig_unarmour(text.data(), text.size(), blob, sizeof blob, &n), nullptr);
        return std::string(reinterpret_cast<char *>(blob), n);
    }
    std::string parse(const std::string &blob, SshSig *s) {
        const char *why = sshsig_parse(u8(blob), blob.size(), s);
        return why ? why : "";
    }
};

TEST_F(SshSigTest, KeygenSignatureVerifiesWithItsFingerprint) {
    std::string blob = sign("ed25519 -n archive@kelpa"), line = kt::read_file(dir / "ed25519.pub");
    SshSig s;
    uint8_t pub[32], digest[64];
    ASSERT_EQ(parse(blob, &s), "");
    ASSERT_EQ(ssh_pubkey_parse(line.data(), line.size(), pub), nullptr);
    sha512(data.data(), data.size(), digest);
    EXPECT_TRUE(sshsig_verify(&s, pub, digest));

    EXPECT_EQ(blob.size(), SIG_BLOB_SIZE);
    char fingerprint[SIG_FINGERPRINT_SIZE];
    ssh_fingerprint(pub, fingerprint);
    kt::RunResult r = kt::sh("ssh-keygen -l -f ed25519.pub | cut -d' ' -f2", "", dir.path());
    EXPECT_EQ(std::string(fingerprint) + "\n", r.out);
}

TEST_F(SshSigTest, ParseRefusesWithReason) {
    std::string good = sign("ed25519 -n archive@kelpa"), version = good;
    version[9] = 2;
    struct {
        std::string blob, reason;
    } cases[] = {
        {sign("ed25519 -n other@kelpa"), "namespace"},
        {sign("ed25519 -n archive@kelpa -O hashalg=sha256"), "hash is not sha512"},
        {sign("rsa -n archive@kelpa"), "key is not ssh-ed25519"},
        {sign("ecdsa -n archive@kelpa"), "key is not ssh-ed25519"},
        {good.substr(0, 85) + "\1x" + good.substr(86), "reserved"},  // its length is at 82
        {"SSHSIH" + good.substr(6), "not an SSH signature"},
        {version, "version"},
        {good + '\0', "trailing"},
        {good.substr(0, good.size() - 1), "truncated"},
    };
    for (const auto &c : cases) {
        SshSig s;
        EXPECT_NE(parse(c.blob, &s).find(c.reason), std::string::npos) << c.reason;
    }
}

// Each altered signature would pass a verifier without the rule it breaks. "R of order 1" is
// R = identity with S = k a mod L, from the private key: it meets [S]B = R + [k]A.
TEST_F(SshSigTest, VerifyRefusesAlteredSignatures) {
    SshSig good, s_plus_l, identity = {{1}, {1}}, small_r;
    ASSERT_EQ(parse(sign("ed25519 -n archive@kelpa"), &good), "");
    s_plus_l = small_r = good;
    uint8_t digest[64], flipped[64];
    sha512(data.data(), data.size(), digest);
    data[500] ^= 4;
    sha512(data.data(), data.size(), flipped);
    uint8_t l[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58,
                     0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14};
    l[31] = 0x10;
    for (int i = 0, carry = 0; i < 32; i++, carry >>= 8) {
        carry += s_plus_l.sig[32 + i] + l[i];
        s_plus_l.sig[32 + i] = uint8_t(carry);
    }
    kt::RunResult r = kt::run({"python3", "-c", R"(import base64, hashlib, sys
d = base64.b64decode("".join(open("ed25519").read().splitlines()[1:-1]))
pub = base64.b64decode(open("ed25519.pub").read().split()[1])[-32:]
a = int.from_bytes(hashlib.sha512(d[d.rindex(pub) - 32:d.rindex(pub)]).digest()[:32], "little")
a = a & (1 << 254) - 8 | 1 << 254
s = lambda b: len(b).to_bytes(4, "big") + b
m = b"SSHSIG" + s(b"archive@kelpa") + s(b"") + s(b"sha512") + s(hashlib.sha512(
    open("data", "rb").read()).digest())
L, r = 2**252 + 27742317777372353535851937790883648493, bytes([1]) + bytes(31)
k = int.from_bytes(hashlib.sha512(r + pub + m).digest(), "little") % L
sys.stdout.buffer.write(r + (k * a % L).to_bytes(32, "little")))"},
                              "", dir.path());
    ASSERT_EQ(r.out.size(), 64u) << r.err;
    memcpy(small_r.sig, r.out.data(), 64);
    struct {
        const char *what;
        const SshSig &s;
        const uint8_t *digest;
    } cases[] = {{"S + L", s_plus_l, digest},
                 {"identity key, R = identity, S = 0", identity, digest},
                 {"R of order 1", small_r, digest},
                 {"flipped bit in the message", good, flipped}};
    for (const auto &c : cases) EXPECT_FALSE(sshsig_verify(&c.s, c.s.key, c.digest)) << c.what;
}

// The fixture's ed25519.pub is accepted above; these key lines are refused.
TEST_F(SshSigTest, PublicKeyRefusals) {
    auto line = [](const std::string &type, size_t key_len, const std::string &tail) {
        std::string blob = std::string(3, 0) + char(type.size()) + type + std::string(3, 0) +
                           char(key_len) + std::string(key_len, 5) + tail;
        char text[80];
        return "ssh-ed25519 " + std::string(text, base64_encode(u8(blob), blob.size(), text));
    };
    const std::string cases[] = {kt::read_file(dir / "rsa.pub"), line("ssh-ed25518", 32, ""),
                                 line("ssh-ed25519", 31, ""), line("ssh-ed25519", 32, "x")};
    for (const auto &c : cases) {
        uint8_t key[32];
        EXPECT_NE(ssh_pubkey_parse(c.data(), c.size(), key), nullptr) << c;
    }
}

// Refused: anything outside the alphabet, set bits or padding beyond the data, whitespace
// (a newline only when lines are not skipped), more than the room given (3 bytes).
TEST(Base64, StrictDecoding) {
    struct {
        std::string text;
        bool lines, ok;
    } cases[] = {
        {"QUJD", false, true},      {"QUI=", false, true},
        {"QQ==", false, true},      {"QU\nJD\n", true, true},
        {"QUJ=", false, false},     {"QR==", false, false},
        {"QQ=", false, false},      {"Q===", false, false},
        {"QQ=A", false, false},     {"QQ==QUJD", false, false},
        {"QU JD", false, false},    {"QU\nJD", false, false},
        {"QU*D", false, false},     {std::string("QU\0D", 4), false, false},
        {"QUJDQUJD", false, false},
    };
    for (const auto &c : cases) {
        uint8_t out[3];
        size_t n = 0;
        EXPECT_EQ(base64_decode(c.text.data(), c.text.size(), out, sizeof out, &n, c.lines), c.ok)
            << c.text;
    }
}

}  // namespace
