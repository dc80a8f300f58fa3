#include "command/file_uri.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {
std::string signed_uri(const char *path, int32_t bucket, int64_t token) {
    char *u = qvFGetUriByToken(path, bucket, token);
    std::string s = u != nullptr ? u : "<null>";
    std::free(u);
    return s;
}

TEST(SignedFileUri, GoldenTexts) {
    // Expected texts computed independently (HMAC-SHA1 hex digits, Base64, characters 5 to 14).
    const struct {
        const char *path;
        int32_t bucket;
        int64_t token;
        const char *want;
    } cases[] = {
        {"/music/a b.mp3", 3, 123456789, "/3/music/a%20b.mp3?KID=123456789&ssig=DJmMjZjNjc"},
        {"music/a b.mp3", 3, 123456789, "/3/music/a%20b.mp3?KID=123456789&ssig=DJmMjZjNjc"},
        {"photo/\xc3\xa9t\xc3\xa9(1).jpg", 0, -42,
         "/0/photo/%C3%A9t%C3%A9%281%29.jpg?KID=-42&ssig=WFmOGQ2ZjE"},
        {"", 7, 1, "/7/?KID=1&ssig=zEzZWIxNzM"},
        {"/", 1000, INT64_MAX, "/1000/?KID=9223372036854775807&ssig=2FmMjc0M2E"},
        {"x/y?z&w=1", -5, INT64_MIN, "/-5/x/y%3Fz%26w%3D1?KID=-9223372036854775808&ssig=jY3ZWFjMDB"},
    };
    for (const auto &c : cases) EXPECT_EQ(signed_uri(c.path, c.bucket, c.token), c.want) << c.path;
}

TEST(SignedFileUri, RefusesMissingPathOrZeroToken) {
    EXPECT_EQ(qvFGetUriByToken(nullptr, 1, 5), nullptr);
    EXPECT_EQ(qvFGetUriByToken("/a", 1, 0), nullptr);
    EXPECT_EQ(qvFGetUriByToken("", 1, 0), nullptr);
}

TEST(SignedFileUri, LongPathsAreSignedWhole) {
    // Beyond the 3,072 bytes a fixed buffer would hold once escaped.
    const std::string a(2000, ' '), b = a + "x";
    const std::string ua = signed_uri(a.c_str(), 1, 9), ub = signed_uri(b.c_str(), 1, 9);
    EXPECT_EQ(ua.size(), std::string("/1/").size() + 6000 + std::string("?KID=9&ssig=").size() + 10);
    EXPECT_NE(ua.substr(ua.size() - 10), ub.substr(ub.size() - 10));
}
}  // namespace
