// SHA-512 and SHA-256 against python3's hashlib; Ed25519 verification against Project
// Wycheproof's vectors (tests/sig/data).
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "common/test_util.h"
#include "sig/sig.h"

namespace {

std::string hex(const uint8_t *p, size_t n) {
    std::string out;
    for (uint8_t c : std::string(p, p + n))
        out += "0123456789abcdef"[c >> 4], out += "0123456789abcdef"[c & 15];
    return out;
}
std::string bytes(const std::string &hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += char(std::stoi(hex.substr(i, 2), 0, 16));
    return out;
}

// Digests of every prefix of 300 bytes (each padding case of both block sizes) in one piece,
// then of 3 MB fed in pieces of odd sizes; hashlib gives "sha512 sha256" for each.
TEST(Sha2, EveryLengthTo300AndStreamed) {
    std::string small = kt::random_bytes(300, 7), big = kt::random_bytes(3 << 20, 8), w512, w256;
    kt::RunResult r = kt::run({"python3", "-c", R"(import hashlib, sys
d = sys.stdin.buffer.read()
for b in [d[:n] for n in range(301)] + [d[300:]]:
    print(hashlib.sha512(b).hexdigest(), hashlib.sha256(b).hexdigest()))"},
                              small + big);
    std::istringstream want(r.out);
    uint8_t h[64 + 32];  // SHA-512, SHA-256
    for (size_t n = 0; n <= small.size(); n++) {
        ASSERT_TRUE(want >> w512 >> w256);
        sha512(small.data(), n, h);
        sha256(small.data(), n, h + 64);
        EXPECT_EQ(hex(h, sizeof h), w512 + w256) << n;
    }
    Sha512 c512;
    Sha256 c256;
    sha512_init(&c512);
    sha256_init(&c256);
    const size_t pieces[] = {1, 127, 129, 63, 65, 4093, 0, 262147};
    for (size_t at = 0, i = 0, n; at < big.size(); at += n, i++) {
        n = std::min(pieces[i % std::size(pieces)], big.size() - at);
        sha512_update(&c512, big.data() + at, n);
        sha256_update(&c256, big.data() + at, n);
    }
    sha512_final(&c512, h);
    sha256_final(&c256, h + 64);
    ASSERT_TRUE(want >> w512 >> w256);
    EXPECT_EQ(hex(h, sizeof h), w512 + w256);
}

// python3 flattens the vectors to one line per case: id, key, message and signature in hex
// ("-" when empty), result. Signatures of other lengths than 64 bytes count as refused.
TEST(Ed25519, WycheproofCasesGiveTheirResult) {
    kt::RunResult r = kt::run({"python3", "-c", R"(import json, sys
for g in json.load(open(sys.argv[1]))["testGroups"]:
    for t in g["tests"]:
        print(t["tcId"], g["publicKey"]["pk"], t["msg"] or "-", t["sig"] or "-", t["result"]))",
                               kt::source_dir() + "/tests/sig/data/wycheproof-ed25519_test.json"});
    std::istringstream in(r.out);
    std::string id, pk, msg, sig, result;
    int valid = 0, invalid = 0;
    while (in >> id >> pk >> msg >> sig >> result) {
        std::string p = bytes(pk), m = bytes(msg), s = bytes(sig);
        auto u8 = [](const std::string &x) { return (const uint8_t *)x.data(); };
        bool ok = s.size() == 64 && ed25519_verify(u8(p), u8(m), m.size(), u8(s));
        EXPECT_EQ(ok, result == "valid") << "case " << id;
        (ok ? valid : invalid)++;
    }
    EXPECT_EQ(valid, 88);
    EXPECT_EQ(invalid, 63);
}

}  // namespace
