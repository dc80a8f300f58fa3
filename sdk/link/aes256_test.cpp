#include "link/aes256.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {
std::vector<uint8_t> hex(const std::string &s) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
    return out;
}

std::vector<uint8_t> random_bytes(std::mt19937 &rng, size_t n) {
    std::vector<uint8_t> v(n);
    for (auto &b : v) b = static_cast<uint8_t>(rng());
    return v;
}

// The same transform by OpenSSL, as an independent reference.
std::vector<uint8_t> evp(const EVP_CIPHER *cipher, bool enc, const std::vector<uint8_t> &key,
                         const std::vector<uint8_t> &iv, const std::vector<uint8_t> &in) {
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EXPECT_EQ(
        EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), iv.empty() ? nullptr : iv.data(), enc ? 1 : 0),
        1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    std::vector<uint8_t> out(in.size() + 16);
    int n = 0, m = 0;
    EXPECT_EQ(EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size())), 1);
    EXPECT_EQ(EVP_CipherFinal_ex(ctx, out.data() + n, &m), 1);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n + m));
    return out;
}

TEST(Aes256, KnownAnswers) {
    struct Case {
        const char *name, *key, *plain, *cipher;
    } cases[] = {
        {"FIPS-197 C.3", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
         "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
        {"first block of the 175 envelope",
         "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
         "7b2022686561646572223a207b202263", "89a0897e09c588fffe0d06401f124114"},
        {"SP 800-38A ECB-AES256 block 1", "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
         "6bc1bee22e409f96e93d7e117393172a", "f3eed1bdb5d2a03c064b5a7e3db181f8"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        aes256_context ctx;
        aes256_init(&ctx, hex(c.key).data());
        std::vector<uint8_t> block = hex(c.plain);
        aes256_encrypt_block(&ctx, block.data());
        EXPECT_EQ(block, hex(c.cipher));
        aes256_decrypt_block(&ctx, block.data());
        EXPECT_EQ(block, hex(c.plain));
    }
    // The envelope case above is the text block itself.
    const char *text = "{ \"header\": { \"c";
    EXPECT_EQ(std::vector<uint8_t>(text, text + 16), hex(cases[1].plain));
}

TEST(Aes256, KeyExpansionMatchesTheStandardsExample) {
    // FIPS-197 A.3: the first derived word and the last round-key word.
    uint32_t w[60];
    aes256_expand_key(w, hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4").data());
    EXPECT_EQ(w[0], 0x603deb10u);
    EXPECT_EQ(w[8], 0x9ba35411u);
    EXPECT_EQ(w[12], 0xa8b09c1au);
    EXPECT_EQ(w[59], 0x706c631eu);
}

TEST(Aes256, AgreesWithOpenSslOnRandomInputs) {
    std::mt19937 rng(7);
    for (int round = 0; round < 50; ++round) {
        auto key = random_bytes(rng, 32);
        auto iv = random_bytes(rng, 16);
        if (round % 5 == 0) std::memset(iv.data() + 12, 0xff, 4);  // the counter carries across words
        aes256_context ctx;

        auto block = random_bytes(rng, 16);
        aes256_init(&ctx, key.data());
        auto b = block;
        aes256_encrypt_block(&ctx, b.data());
        ASSERT_EQ(b, evp(EVP_aes_256_ecb(), true, key, {}, block));

        auto buf = random_bytes(rng, 16 * (1 + rng() % 6));
        aes256_init_iv(&ctx, key.data(), iv.data());
        auto cbc = buf;
        ASSERT_EQ(aes256_cbc_encrypt(&ctx, cbc.data(), cbc.size()), 0);
        ASSERT_EQ(cbc, evp(EVP_aes_256_cbc(), true, key, iv, buf));
        EXPECT_EQ(0, std::memcmp(ctx.iv, cbc.data() + cbc.size() - 16, 16));  // chaining value carried on
        aes256_set_iv(&ctx, iv.data());
        ASSERT_EQ(aes256_cbc_decrypt(&ctx, cbc.data(), cbc.size()), 0);
        ASSERT_EQ(cbc, buf);

        auto any = random_bytes(rng, rng() % 100);
        aes256_set_iv(&ctx, iv.data());
        auto ctr = any;
        aes256_ctr_xcrypt(&ctx, ctr.data(), ctr.size());
        ASSERT_EQ(ctr, evp(EVP_aes_256_ctr(), true, key, iv, any));
    }
    aes256_context ctx{};
    uint8_t odd[20] = {};
    EXPECT_EQ(aes256_cbc_encrypt(&ctx, odd, sizeof odd), -1);
    EXPECT_EQ(aes256_cbc_decrypt(&ctx, odd, sizeof odd), -1);
}
}  // namespace
