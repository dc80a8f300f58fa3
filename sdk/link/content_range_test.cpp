#include "link/content_range.h"

#include <gtest/gtest.h>

namespace {

TEST(ContentRange, RangesAndLengthsAreReadStrictly) {
    struct Case {
        const char *text;
        bool ok;
        int64_t start, end;
    } cases[] = {
        {"bytes 0-100", true, 0, 100},
        {"BYTES 5-9/20", true, 5, 9},
        {"bytes 7-7", true, 7, 7},
        {"bytes 9223372036854775807-9223372036854775807", true, INT64_MAX, INT64_MAX},
        {"bytes 9-5", false, 0, 0},
        {"bytes -1-5", false, 0, 0},
        {"bytes 1--5", false, 0, 0},
        {"bytes 0-18446744073709551615", false, 0, 0},
        {"bytes 0-9223372036854775808", false, 0, 0},
        {"bytes 0-99999999999999999999999", false, 0, 0},
        {"bytes */100", false, 0, 0},
        {"bytes 5", false, 0, 0},
        {"bytes  0-5", false, 0, 0},
        {"items 0-5", false, 0, 0},
        {"", false, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        int64_t s = -1, e = -1;
        EXPECT_EQ(qvhttp_parse_content_range(c.text, &s, &e), c.ok);
        if (c.ok) {
            EXPECT_EQ(s, c.start);
            EXPECT_EQ(e, c.end);
        }
        // The open stream's length: never negative, 0 for anything unreadable.
        EXPECT_EQ(qvhttp_stream_range_length(c.text), c.ok ? c.end - c.start : 0);
    }
    EXPECT_EQ(qvhttp_stream_range_length(nullptr), 0);

    struct Len {
        const char *text;
        bool ok;
        int64_t value;
    } lens[] = {{"0", true, 0},
                {" 42 ", true, 42},
                {"9223372036854775807", true, INT64_MAX},
                {"-1", false, 0},
                {" -1", false, 0},
                {"+1", false, 0},
                {"12x", false, 0},
                {"", false, 0},
                {"9223372036854775808", false, 0},
                {"18446744073709551615", false, 0}};
    for (const auto &c : lens) {
        SCOPED_TRACE(c.text);
        int64_t v = -1;
        EXPECT_EQ(qvhttp_parse_length(c.text, &v), c.ok);
        if (c.ok) {
            EXPECT_EQ(v, c.value);
        }
    }
    EXPECT_FALSE(qvhttp_parse_length(nullptr, nullptr));
}

}  // namespace
