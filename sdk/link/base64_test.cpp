#include "link/base64.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {
TEST(Base64, Rfc4648Vectors) {
    struct Case {
        const char *plain, *text;
    } cases[] = {{"", ""},
                 {"f", "Zg=="},
                 {"fo", "Zm8="},
                 {"foo", "Zm9v"},
                 {"foob", "Zm9vYg=="},
                 {"fooba", "Zm9vYmE="},
                 {"foobar", "Zm9vYmFy"},
                 {"abc", "YWJj"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.plain);
        const std::string plain = c.plain;
        size_t len = 0;
        char *text = base64_encode(&len, plain.size(), plain.data());
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, c.text);
        EXPECT_EQ(len, std::string(c.text).size() + 1);  // the terminator is counted

        size_t back_len = 99;
        unsigned char *back = base64_decode(&back_len, 1000, text);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back_len, plain.size());
        EXPECT_EQ(std::string(reinterpret_cast<char *>(back), back_len), plain);
        EXPECT_EQ(back[back_len], '\0');
        std::free(text);
        std::free(back);
    }
}

TEST(Base64, BinaryRoundTrip) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    for (size_t n = 0; n <= all.size(); n += 37) {
        size_t len = 0;
        char *text = base64_encode(&len, n, all.data());
        size_t back_len = 0;
        unsigned char *back = base64_decode(&back_len, len, text);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(back), back_len), all.substr(0, n));
        std::free(text);
        std::free(back);
    }
}

TEST(Base64, RefusesMalformedText) {
    const char *bad[] = {
        "Zm9",         // not a multiple of 4
        "Zm 9",        // a space
        "Zm9v\nYmFy",  // a line break
        "Zm=v",        // "=" not at the end
        "====",        // nothing but padding
        "A===",        // three padding characters
        "Zh==",        // bits under "==" not zero
        "Zm9=",        // bits under "=" not zero
        "Zm9v*mFy",    // outside the alphabet
    };
    for (const char *text : bad) {
        SCOPED_TRACE(text);
        size_t len = 99;
        EXPECT_EQ(base64_decode(&len, 1000, text), nullptr);
        EXPECT_EQ(len, 0u);
    }
}

TEST(Base64, LengthStopsAtZeroByteOrTheLimit) {
    struct Case {
        std::string text;
        size_t max;
        const char *plain;
    } cases[] = {
        {"Zm9vYmFy", 4, "foo"},
        {std::string("Zm9v\0garbage", 12), 100, "foo"},
        {"", 10, ""},
        {"Zm9vYmFy", 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        size_t len = 99;
        unsigned char *out = base64_decode(&len, c.max, c.text.c_str());
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(out), len), c.plain);
        std::free(out);
    }
}

TEST(Base64, AlphabetValues) {
    EXPECT_EQ(base64_char(0), 'A');
    EXPECT_EQ(base64_char(26), 'a');
    EXPECT_EQ(base64_char(52), '0');
    EXPECT_EQ(base64_char(62), '+');
    EXPECT_EQ(base64_char(63), '/');
    for (unsigned v = 0; v < 64; ++v) EXPECT_EQ(base64_value(base64_char(v)), v);
    for (char c : {'=', ' ', '\n', '-', '_', '\0'}) EXPECT_EQ(base64_value(c), 192u) << int(c);
}
}  // namespace
