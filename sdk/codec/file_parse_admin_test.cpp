// Edge cases of the administration reply parsers beyond the fixture table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "codec/parse_harness_test.h"

using parse_harness::Harness;

namespace {

std::string rep(char c, size_t n) {
    return std::string(n, c);
}

}  // namespace

TEST(AdminReplies, DataObjectInPlaceOfArrayIsMissing) {
    Harness h;
    EXPECT_EQ(h.reply(307, R"({"bindFlag": 1})"), -1);
    EXPECT_EQ(h.ci.bindFlag, 0);
    EXPECT_EQ(h.reply(307, "[]"), -1);
    EXPECT_EQ(h.reply(307, "[null]"), -1);
}

TEST(AdminReplies, SystemInfoNameFallbackAndCuts) {
    struct Case {
        std::string names;
        std::string want;
    } cases[] = {
        {R"("devNickName": "nick")", "nick"},
        {R"("deviceName": "dev", "devNickName": "nick")", "dev"},
        {R"("deviceName": ")" + rep('n', 100) + "\"", rep('n', 64)},
    };
    for (const Case &c : cases) {
        Harness h;
        const std::string data = R"([{"fileSystem": ")" + rep('f', 40) +
                                 R"(", "bootTime": 1, "cpuRate": 1, "ramRate": 2, )" + c.names + "}]";
        EXPECT_EQ(h.reply(304, data.c_str()), 0);
        EXPECT_EQ(h.sys.deviceName, c.want);
        EXPECT_EQ(h.sys.fileSystem, rep('f', 32));
    }
    // Without either name the other fields are stored and the result is -1.
    Harness h;
    EXPECT_EQ(h.reply(304, R"([{"fileSystem": "xfs", "bootTime": 9, "cpuRate": 0.5, "ramRate": 0.25}])"), -1);
    EXPECT_STREQ(h.sys.fileSystem, "xfs");
    EXPECT_EQ(h.sys.bootTime, 9);
}

TEST(AdminReplies, DiskStatusModeAndEmptyList) {
    Harness h;
    h.disks.mode = 7;
    EXPECT_EQ(h.reply(305, R"({"diskStatusInfoList": []})"), 0);
    EXPECT_EQ(h.disks.mode, 7);
    EXPECT_EQ(h.disks.count, 0);
    EXPECT_EQ(h.reply(305, R"({"mode": 1, "diskStatusInfoList": {}})"), -1);
    EXPECT_EQ(h.disks.mode, 1);
}

// The holder has room for two disks; a reply listing more keeps the first two and writes nothing past
// them (the holder sits in a block of its exact size, so an overflow shows under ASan).
TEST(AdminReplies, DiskStatusThreeDisksKeepsTwo) {
    std::string list;
    for (int i = 1; i <= 3; ++i) {
        if (i > 1) list += ",";
        list += R"({"devModel": ")" + rep('m', 80) + R"(", "serialNumber": "S)" + std::to_string(i) +
                R"(", "healthStatus": 0, "temperatureCelsius": 30, "diskCapacity": 1, "devNumber": )" +
                std::to_string(i) + "}";
    }
    const std::string data = R"({"mode": 0, "diskStatusInfoList": [)" + list + "]}";
    Harness h;
    auto *holder = static_cast<disk_status_list *>(std::calloc(1, sizeof(disk_status_list)));
    h.ci.diskStatusInfoList = holder;
    EXPECT_EQ(h.reply(305, data.c_str()), 0);
    EXPECT_EQ(holder->count, 2);
    EXPECT_EQ(holder->entries[1].devNumber, 2);
    EXPECT_STREQ(holder->entries[1].serialNumber, "S2");
    EXPECT_EQ(std::string(holder->entries[0].devModel), rep('m', 63));
    EXPECT_EQ(holder->entries[0].devNode[0], '\0');
    std::free(holder);
}

TEST(AdminReplies, SpaceLimitListThirdEntryIncomplete) {
    Harness h;
    const char *data = R"({"spaceLimitList": [
        {"userId": 1, "userName": "a", "nickName": "A", "usedSpace": 1, "limitSpace": 2},
        {"userId": 2, "userName": "b", "nickName": "B", "usedSpace": 1, "limitSpace": 2},
        {"userId": 3, "userName": "c", "nickName": "C", "limitSpace": 2}]})";
    EXPECT_EQ(h.reply(314, data), -1);
    EXPECT_EQ(h.ci.spaceLimitList, nullptr);
}

TEST(AdminReplies, ListTextsAreCut) {
    Harness h;
    const std::string data = R"({"spaceLimitList": [{"userId": 1, "userName": ")" + rep('u', 70) +
                             R"(", "nickName": ")" + rep('n', 65) + R"(", "usedSpace": 1, "limitSpace": 2,
                             "phoneNumber": ")" +
                             rep('9', 40) + R"("}]})";
    ASSERT_EQ(h.reply(314, data.c_str()), 0);
    EXPECT_EQ(std::string(h.ci.spaceLimitList[0]->userName), rep('u', 64));
    EXPECT_EQ(std::string(h.ci.spaceLimitList[0]->nickName), rep('n', 64));
    EXPECT_EQ(std::string(h.ci.spaceLimitList[0]->phoneNumber), rep('9', 32));

    const std::string users = R"({"userList": [{"userId": 1, "nickName": ")" + rep('n', 64) +
                              R"(", "imagePath": ")" + rep('p', 2000) + R"("}]})";
    ASSERT_EQ(h.reply(323, users.c_str()), 0);
    EXPECT_EQ(std::string(h.ci.userList[0]->nickName), rep('n', 64));
    EXPECT_EQ(std::string(h.ci.userList[0]->imagePath), rep('p', 1024));
}

TEST(AdminReplies, ShareBindUrlCutToTheBuffer) {
    struct Case {
        int size;
        const char *want;
    } cases[] = {{8, "http://"}, {1, ""}, {32, "http://device/bind"}};
    for (const Case &c : cases) {
        Harness h;
        h.ci.shareBindUrlSize = c.size;
        EXPECT_EQ(h.reply(322, R"([{"url": "http://device/bind"}])"), 0);
        EXPECT_STREQ(h.url, c.want);
    }
    Harness h;
    h.ci.shareBindUrl = nullptr;
    EXPECT_EQ(h.reply(322, R"([{"url": "u"}])"), -1);
}

TEST(AdminReplies, LimitDefaultStoresSpaceBeforeMissingSet) {
    Harness h;
    EXPECT_EQ(h.reply(312, R"([{"limitSpace": 77}])"), -1);
    EXPECT_EQ(h.ci.limitSpace, 77);
}

TEST(AdminReplies, TwoKeyParsersStoreNothingWhenOneIsMissing) {
    Harness h;
    h.ci.usbBackupMode = 9;
    EXPECT_EQ(h.reply(317, R"([{"usbBackupMode": 1}])"), -1);
    EXPECT_EQ(h.ci.usbBackupMode, 9);
    h.ci.cpuTemp = 9;
    EXPECT_EQ(h.reply(332, R"([{"cpu_temp": 1}])"), -1);
    EXPECT_EQ(h.ci.cpuTemp, 9);
}
