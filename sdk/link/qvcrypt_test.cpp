#include "link/qvcrypt.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/qv_log.h"
#include "link/aes256.h"
#include "qv_config.h"

namespace {
class PayloadCipher : public testing::Test {
  protected:
    void SetUp() override {
        qv::set_log_enabled(false);
        qv_crypt_init();
    }
    void TearDown() override {
        qv_crypt_release();
        qv::set_log_enabled(true);
    }
};

std::string body_of(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += static_cast<char>('A' + i % 26);
    return s;
}

// The first block as the device produces it: the padded body's first 16 bytes under the key.
std::string expected_block0(const std::string &padded) {
    aes256_context ctx;
    aes256_init(&ctx, reinterpret_cast<const uint8_t *>(QV_CIPHER_KEY));
    std::string b = padded.substr(0, 16);
    aes256_encrypt_block(&ctx, reinterpret_cast<uint8_t *>(b.data()));
    return b;
}

TEST_F(PayloadCipher, PadsToWholeBlocksAndCiphersOnlyTheFirst) {
    struct Case {
        size_t in, out;
    } cases[] = {{1, 16}, {15, 16}, {16, 16}, {17, 32}, {32, 32}, {62, 64}, {100, 112}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in);
        const std::string body = body_of(c.in);
        char *out = nullptr;
        int32_t out_len = 0;
        ASSERT_EQ(qv_crypt_encrypt(body.data(), static_cast<int32_t>(body.size()), &out, &out_len), 0);
        ASSERT_EQ(out_len, static_cast<int32_t>(c.out));
        std::string padded = body + std::string(c.out - c.in, '\0');
        std::string got(out, c.out);
        EXPECT_EQ(got.substr(0, 16), expected_block0(padded));
        EXPECT_EQ(got.substr(16), padded.substr(16));  // the rest in clear, then zero padding
        EXPECT_EQ(out[c.out], '\0');

        char *back = nullptr;
        int32_t back_len = 0;
        ASSERT_EQ(qv_crypt_decrypt(out, out_len, &back, &back_len), 0);
        EXPECT_EQ(back_len, out_len);
        EXPECT_EQ(std::string(back, static_cast<size_t>(back_len)), padded);
        EXPECT_EQ(back[back_len], '\0');
        EXPECT_STREQ(back, body.c_str());  // the JSON text ends at the first zero byte
        std::free(out);
        std::free(back);
    }
}

TEST_F(PayloadCipher, EmptyBodyBecomesOneBlock) {
    char *out = nullptr;
    int32_t out_len = 0;
    ASSERT_EQ(qv_crypt_encrypt("", 0, &out, &out_len), 0);
    EXPECT_EQ(out_len, 16);
    char *back = nullptr;
    int32_t back_len = 0;
    ASSERT_EQ(qv_crypt_decrypt(out, out_len, &back, &back_len), 0);
    EXPECT_EQ(std::string(back, 16), std::string(16, '\0'));
    std::free(out);
    std::free(back);
}

TEST_F(PayloadCipher, RefusesInputThatIsNotWholeBlocks) {
    const std::string data(64, 'x');
    for (int32_t len : {0, 1, 15, 17, 31, 63, -16}) {
        SCOPED_TRACE(len);
        char sentinel = 0;
        char *out = &sentinel;
        int32_t out_len = 99;
        EXPECT_EQ(qv_crypt_decrypt(data.data(), len, &out, &out_len), -1);
        EXPECT_EQ(out, &sentinel);
        EXPECT_EQ(out_len, 99);
    }
}

TEST_F(PayloadCipher, FailsUntilInitialisedAndAfterRelease) {
    const std::string block(16, 'b');
    auto try_both = [&] {
        char sentinel = 0;
        char *out = &sentinel;
        int32_t len = 5;
        int e = qv_crypt_encrypt(block.data(), 16, &out, &len);
        int d = qv_crypt_decrypt(block.data(), 16, &out, &len);
        EXPECT_EQ(out, &sentinel);
        EXPECT_EQ(len, 5);
        return std::make_pair(e, d);
    };
    EXPECT_EQ(qv_crypt_init(), 0);  // a second init changes nothing
    char *a = nullptr;
    int32_t alen = 0;
    ASSERT_EQ(qv_crypt_encrypt(block.data(), 16, &a, &alen), 0);
    EXPECT_EQ(qv_crypt_release(), 0);
    EXPECT_EQ(try_both(), std::make_pair(-1, -1));
    EXPECT_EQ(qv_crypt_release(), 0);
    EXPECT_EQ(qv_crypt_init(), 0);
    char *b = nullptr;
    int32_t blen = 0;
    ASSERT_EQ(qv_crypt_encrypt(block.data(), 16, &b, &blen), 0);
    EXPECT_EQ(std::string(a, 16), std::string(b, 16));  // same key after re-init
    std::free(a);
    std::free(b);
}

TEST_F(PayloadCipher, ParallelCallersGetTheirOwnResults) {
    std::vector<std::thread> threads;
    std::vector<int> bad(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &bad] {
            for (int i = 0; i < 500; ++i) {
                std::string body = "{\"seq\":" + std::to_string(t * 1000 + i) + ",\"pad\":\"xxxxxxxx\"}";
                char *enc = nullptr, *dec = nullptr;
                int32_t enc_len = 0, dec_len = 0;
                if (qv_crypt_encrypt(body.data(), static_cast<int32_t>(body.size()), &enc, &enc_len) != 0 ||
                    qv_crypt_decrypt(enc, enc_len, &dec, &dec_len) != 0 || body != dec) {
                    ++bad[t];
                }
                std::free(enc);
                std::free(dec);
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(bad, std::vector<int>(4, 0));
}
}  // namespace
