#include "wire.h"

#include <gtest/gtest.h>

#include <string>

#include "header_block.h"
#include "raw_test_client.h"
#include "strict.h"

namespace {

std::string hex(std::string_view s) {
    static const char *d = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

qvemu::CipherKey fips_key() {
    qvemu::CipherKey k{};
    for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<uint8_t>(i);
    return k;
}

TEST(Cipher, Fips197Vector) {
    const std::string plain("\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99\xaa\xbb\xcc\xdd\xee\xff", 16);
    std::string c = qvemu::encipher(plain, fips_key());
    EXPECT_EQ(hex(c), "8ea2b7ca516745bfeafc49904b496089");
    ASSERT_TRUE(qvemu::decipher(c, fips_key()));
    EXPECT_EQ(c, plain);
}

TEST(Cipher, PoolOpenEnvelopeOnlyBlockZeroChanges) {
    const std::string text = "{ \"header\": { \"cmd\": 175, \"token\": 0, \"seq\": 0, \"error\": 0 } }";
    ASSERT_EQ(text.size(), 62u);
    std::string c = qvemu::encipher(text, fips_key());
    ASSERT_EQ(c.size(), 64u);
    EXPECT_EQ(hex(c.substr(0, 16)), "89a0897e09c588fffe0d06401f124114");
    EXPECT_EQ(c.substr(16, 46), text.substr(16));
    EXPECT_EQ(c.substr(62), std::string(2, '\0'));
    ASSERT_TRUE(qvemu::decipher(c, fips_key()));
    EXPECT_EQ(qvemu::until_nul(c), text);
}

TEST(Cipher, PaddedLengthsAndShortInput) {
    const struct { size_t in, out; } cases[] = {{1, 16}, {16, 16}, {17, 32}, {62, 64}, {100, 112}};
    for (auto c : cases) EXPECT_EQ(qvemu::encipher(std::string(c.in, 'x'), fips_key()).size(), c.out) << c.in;
    std::string short_body(15, 'x');
    EXPECT_FALSE(qvemu::decipher(short_body, fips_key()));
}

TEST(Gzip, OneMemberInflatesWithGzipWindow) {
    std::string data = "{\"header\":{\"cmd\":150}}" + std::string(3000, 'a');
    std::string gz = qvemu::gzip_member(data);
    ASSERT_GE(gz.size(), 18u);
    EXPECT_EQ(static_cast<unsigned char>(gz[0]), 0x1f);
    EXPECT_EQ(static_cast<unsigned char>(gz[1]), 0x8b);
    auto back = rawtest::gunzip(gz);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, data);
}

TEST(Chunk, MinimalLowerHexSize) {
    EXPECT_EQ(qvemu::chunk(std::string(26, 'z')), "1a\r\n" + std::string(26, 'z') + "\r\n");
    EXPECT_EQ(qvemu::chunk("abc"), "3\r\nabc\r\n");
    EXPECT_EQ(qvemu::kLastChunk, "0\r\n\r\n");
}

TEST(HeaderBlock, LookupIsCaseInsensitiveAndKeepsTrailingBlanks) {
    auto hb = qvemu::parse_header_block(
        "POST / HTTP/1.1\r\ncontent-length: 64\r\nEncrypt: aes \r\nX: 1\r\nx: 2\r\n\r\nzz");
    EXPECT_EQ(hb.start_line, "POST / HTTP/1.1");
    ASSERT_NE(hb.find("Content-Length"), nullptr);
    EXPECT_EQ(*hb.find("Content-Length"), "64");
    EXPECT_EQ(*hb.find("ENCRYPT"), "aes ");
    EXPECT_EQ(*hb.find("X"), "2");  // a repeated name keeps the later value
    EXPECT_EQ(hb.find("Host"), nullptr);
    EXPECT_TRUE(hb.complete);
    EXPECT_EQ(hb.surplus, 2u);
    EXPECT_FALSE(qvemu::parse_header_block("POST / HTTP/1.1\r\nA: b\r\n").complete);
}

TEST(Strict, SlashEscapes) {
    const struct {
        const char *text;
        bool ok;
    } cases[] = {
        {R"({ "path": "\/photos\/a" })", true}, {R"({ "path": "/photos" })", false},
        {R"({ "path": "a\\/b" })", false},  // an escaped backslash, then a bare slash
        {R"({ "path": "a\\\/b" })", true},      {R"({ "n": 1 })", true},
    };
    for (auto c : cases) EXPECT_EQ(qvemu::slashes_escaped(c.text), c.ok) << c.text;
}

}  // namespace
