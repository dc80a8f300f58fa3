#include "codec/client_info.h"

#include <gtest/gtest.h>

#include <cstring>

// Two modules name some slots differently; both names must reach the same field.
TEST(ClientInfo, AliasesShareTheirField) {
    client_info ci;
    std::memset(&ci, 0, sizeof ci);
    path_info src{"/a", 2, 0};
    ci.srcPathInfo = &src;
    EXPECT_EQ(ci.path_obj, &src);
    std::strcpy(ci.ip, "127.0.0.2");
    EXPECT_STREQ(ci.IP, "127.0.0.2");
    ci.statusFlag = 3;
    EXPECT_EQ(ci.bindFlag, 3);
    ci.modifyTime = 4294967295u;  // keeps its full unsigned value
    EXPECT_EQ(static_cast<int64_t>(ci.modifyTime), 4294967295LL);
    EXPECT_EQ(sizeof ci.ip, 33u);
}
