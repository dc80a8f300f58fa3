#include "codec/qv_strlcpy.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(QvStrlcpy, CopiesCutsAndAlwaysTerminates) {
    struct Case {
        const char *src;
        size_t size;
        const char *want;
        size_t ret;
    };
    const Case cases[] = {
        {"abc", 8, "abc", 3},           // fits
        {"abcdefg", 8, "abcdefg", 7},   // exactly fills, NUL in the last byte
        {"abcdefgh", 8, "abcdefg", 8},  // one too long: cut, result tells
        {"", 8, "", 0},
        {nullptr, 8, "", 0},  // no text from the device: empty
        {"abc", 1, "", 3},    // room for the NUL only
    };
    for (const Case &c : cases) {
        char buf[8];
        std::memset(buf, 'x', sizeof buf);
        EXPECT_EQ(qv_strlcpy(buf, c.src, c.size), c.ret) << (c.src ? c.src : "(null)");
        EXPECT_STREQ(buf, c.want);
    }
}

TEST(QvStrlcpy, SizeZeroWritesNothing) {
    char buf[4] = {'x', 'y', 'z', 'w'};
    EXPECT_EQ(qv_strlcpy(buf, "abc", 0), 3u);
    EXPECT_EQ(std::string(buf, 4), "xyzw");
}

TEST(QvStrlcpy, ArrayOverloadUsesTheArraysCapacity) {
    char ver[32];
    const std::string longer(40, 'v');
    EXPECT_EQ(qv_strlcpy(ver, longer.c_str()), 40u);
    EXPECT_EQ(std::string(ver), std::string(31, 'v'));
}
