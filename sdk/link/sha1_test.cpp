#include "link/sha1.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <string>

#include "link/digest_test_util.h"

namespace {
using digest_test::to_hex;

// SHA-1 of the message fed in pieces of the given size (0: all at once).
std::string sha1_hex(const std::string &msg, size_t piece) {
    return digest_test::pieces_hex<20>(msg, piece, sha1_init, sha1_update, sha1_final);
}

TEST(Sha1, Fips180Examples) {
    struct Case {
        std::string msg;
        const char *digest;
    } cases[] = {
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    };
    for (const auto &c : cases) {
        for (size_t piece : {0, 1, 7, 63, 64, 65, 1000}) {
            SCOPED_TRACE(testing::Message() << c.msg.substr(0, 10) << " in pieces of " << piece);
            EXPECT_EQ(sha1_hex(c.msg, piece), c.digest);
        }
    }
}

TEST(Sha1, AgreesWithOpenSslAroundThePaddingBoundaries) {
    std::mt19937 rng(11);
    for (size_t len = 0; len < 200; ++len) {
        std::string msg(len, '\0');
        for (auto &ch : msg) ch = static_cast<char>(rng());
        unsigned char ref[EVP_MAX_MD_SIZE];
        unsigned ref_len = 0;
        ASSERT_EQ(EVP_Digest(msg.data(), msg.size(), ref, &ref_len, EVP_sha1(), nullptr), 1);
        ASSERT_EQ(sha1_hex(msg, 1 + len % 70), to_hex(ref, ref_len)) << len;
    }
}

TEST(Sha1, FinalWipesTheContext) {
    sha1_ctx ctx;
    sha1_init(&ctx);
    sha1_update(&ctx, "secret", 6);
    unsigned char d[20];
    sha1_final(d, &ctx);
    const auto *bytes = reinterpret_cast<const unsigned char *>(&ctx);
    EXPECT_EQ(std::string(bytes, bytes + sizeof ctx), std::string(sizeof ctx, '\0'));
}

TEST(HmacSha1, Rfc2202Cases) {
    struct Case {
        std::string key, data;
        const char *mac;
    } cases[] = {
        {std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
        {"Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {std::string(20, '\xaa'), std::string(50, '\xdd'), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {"\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15\x16\x17\x18"
         "\x19",
         std::string(50, '\xcd'), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {std::string(20, '\x0c'), "Test With Truncation", "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.data);
        unsigned char out[1024];
        size_t out_len = sizeof out;
        hmac_sha1(c.key.data(), c.key.size(), c.data.data(), c.data.size(), out, &out_len);
        ASSERT_EQ(out_len, 20u);
        EXPECT_EQ(to_hex(out, out_len), c.mac);
    }
}

TEST(HmacSha1, CutsTheMacToTheCallersLength) {
    unsigned char out[20];
    std::memset(out, 0xEE, sizeof out);
    size_t out_len = 10;
    hmac_sha1("Jefe", 4, "what do ya want for nothing?", 28, out, &out_len);
    EXPECT_EQ(out_len, 10u);
    EXPECT_EQ(to_hex(out, 10), "effcdf6ae5eb2fa2d274");
    EXPECT_EQ(out[10], 0xEE);  // nothing written past the room given

    // An empty key is a valid key.
    unsigned char mac[20];
    size_t mac_len = sizeof mac;
    hmac_sha1("", 0, "", 0, mac, &mac_len);
    EXPECT_EQ(to_hex(mac, mac_len), "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d");
}
}  // namespace
