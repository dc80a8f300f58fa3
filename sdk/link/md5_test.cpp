#include "link/md5.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>

#include "link/digest_test_util.h"

namespace {
using digest_test::to_hex;

std::string md5_hex(const std::string &msg, size_t piece) {
    return digest_test::pieces_hex<16>(
        msg, piece, md5_init,
        [](md5_ctx *ctx, const void *data, size_t n) { md5_update(ctx, data, static_cast<uint32_t>(n)); },
        md5_final);
}

TEST(Md5, Rfc1321Suite) {
    struct Case {
        const char *msg, *digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto &c : cases) {
        for (size_t piece : {0, 1, 3, 33, 63, 64}) {
            SCOPED_TRACE(testing::Message() << '"' << c.msg << "\" in pieces of " << piece);
            EXPECT_EQ(md5_hex(c.msg, piece), c.digest);
        }
    }
}

TEST(Md5, AgreesWithOpenSslAroundThePaddingBoundaries) {
    std::mt19937 rng(13);
    for (size_t len = 0; len < 200; ++len) {
        std::string msg(len, '\0');
        for (auto &ch : msg) ch = static_cast<char>(rng());
        unsigned char ref[EVP_MAX_MD_SIZE];
        unsigned ref_len = 0;
        ASSERT_EQ(EVP_Digest(msg.data(), msg.size(), ref, &ref_len, EVP_md5(), nullptr), 1);
        ASSERT_EQ(md5_hex(msg, 1 + len % 70), to_hex(ref, ref_len)) << len;
    }
}
}  // namespace
