#include "base/qv_log.h"

#include <gtest/gtest.h>

#include <string>

TEST(LogTime, IsUtcPlusEight) {
    char out[40];
    // 2026-01-01 00:00:00 UTC is 08:00 in UTC+8; the day rolls over at 16:00 UTC.
    qv::format_log_time(1767225600LL, 42, out, sizeof out);
    EXPECT_STREQ(out, "2026-01-01 08:00:00.000042");
    qv::format_log_time(1767225600LL + 16 * 3600, 999999, out, sizeof out);
    EXPECT_STREQ(out, "2026-01-02 00:00:00.999999");
}

TEST(LogLine, PrefixShape) {
    testing::internal::CaptureStdout();
    QV_LOG_ERROR("value %d", 7);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("[QV_CLIENT][", 0), 0u) << out;
    EXPECT_NE(out.find("][qv_log_test.cpp:"), std::string::npos) << out;
    EXPECT_NE(out.find("][TestBody][ERROR] value 7\n"), std::string::npos) << out;
}
