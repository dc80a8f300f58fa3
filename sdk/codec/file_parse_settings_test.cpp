// Edge cases of the device settings and status reply parsers beyond the fixture table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "codec/parse_harness_test.h"

using parse_harness::Harness;

TEST(SettingsReplies, DeviceStatusReadsTheKeysOfItsStatus) {
    Harness h;
    h.ci.initMode = 4;
    EXPECT_EQ(h.reply(20, R"([{"status": 3003}])"), 0);
    EXPECT_EQ(h.ci.status, 3003);
    EXPECT_EQ(h.ci.dataSyncTime, 0);
    EXPECT_EQ(h.reply(20, R"([{"status": 3003, "dataSyncTime": 8000000000, "initMode": 2}])"), 0);
    EXPECT_EQ(h.ci.dataSyncTime, 8000000000);
    EXPECT_EQ(h.ci.initMode, 4);
    EXPECT_EQ(h.reply(20, R"([{"status": 3001}])"), 0);
    EXPECT_EQ(h.ci.initMode, 4);
    EXPECT_EQ(h.reply(20, "[]"), 0);
    EXPECT_EQ(h.ci.status, 3001);
    // Without "status" the earlier status chooses the keys.
    EXPECT_EQ(h.reply(20, R"([{"initMode": 6}])"), 0);
    EXPECT_EQ(h.ci.initMode, 6);
}

TEST(SettingsReplies, SambaDefaultsToOne) {
    Harness h;
    EXPECT_EQ(h.reply(319, nullptr), 0);
    EXPECT_EQ(h.ci.samba_enabled, 1);
    EXPECT_EQ(h.reply(319, R"([{"enabled": 0}])"), 0);
    EXPECT_EQ(h.ci.samba_enabled, 0);
    EXPECT_EQ(h.reply(319, R"({"enabled": 0})"), 0);
    EXPECT_EQ(h.ci.samba_enabled, 1);
}

TEST(SettingsReplies, LogLengthNegativeIsUnsigned32) {
    struct Case {
        const char *data;
        int64_t length;
    } cases[] = {
        {R"([{"contentLength": -1}])", 4294967295LL},
        {R"([{"contentLength": -2147483648}])", 2147483648LL},
        {R"([{"contentLength": -5000000000}])", 2147483648LL},
        {R"([{"contentLength": 6000000000}])", 6000000000LL},
    };
    for (const Case &c : cases) {
        Harness h;
        h.ci.modifyTime = 3;
        EXPECT_EQ(h.reply(168, c.data), 0) << c.data;
        EXPECT_EQ(h.ci.file_length, c.length) << c.data;
        EXPECT_EQ(h.ci.modifyTime, 3u);
    }
}

TEST(SettingsReplies, NickNameZeroFillsAndCuts) {
    Harness h;
    EXPECT_EQ(h.reply(171, R"([{"deviceNickName": "abcdefghij"}])"), 0);
    EXPECT_STREQ(h.name, "abcdefghij");
    for (size_t i = 10; i < sizeof h.name; ++i) EXPECT_EQ(h.name[i], '\0') << i;
    const std::string longName = R"([{"deviceNickName": ")" + std::string(100, 'n') + "\"}]";
    EXPECT_EQ(h.reply(171, longName.c_str()), 0);
    EXPECT_EQ(std::string(h.name), std::string(63, 'n'));
    EXPECT_EQ(h.reply(171, R"({"deviceNickName": "x"})"), -1);
    h.ci.deviceNickName = nullptr;
    EXPECT_EQ(h.reply(171, R"([{"deviceNickName": "x"}])"), -1);
}

TEST(SettingsReplies, SleepTimeHeaderErrorStillStores) {
    Harness h;
    h.sleep.time = 11;
    EXPECT_EQ(h.reply(335, R"([{}])"), 0);
    EXPECT_EQ(h.sleep.time, 11);
    EXPECT_EQ(h.reply(335, "[]"), -1);
    EXPECT_EQ(h.reply(335, R"([{"time": 45}])", 5), 5);
    EXPECT_EQ(h.sleep.time, 45);
}

TEST(SettingsReplies, TimeZoneKeepsSixteen) {
    Harness h;
    EXPECT_EQ(h.reply(339, R"([{"timeZone": "Asia/Shanghai_GMT+08:00"}])"), 0);
    EXPECT_STREQ(h.zone.timeZone, "Asia/Shanghai_GM");
    EXPECT_EQ(h.reply(339, R"([{"timeZone": null}])"), 10002);
    EXPECT_EQ(h.reply(339, "[]"), -1);
}

TEST(SettingsReplies, ZoneListShapes) {
    Harness h;
    EXPECT_EQ(h.reply(340, R"({"zone_list": []})"), 0);
    ASSERT_NE(h.zone.zoneList, nullptr);
    EXPECT_EQ(h.zone.zoneList->count, 0);
    EXPECT_EQ(h.zone.zoneList->dnode[0], nullptr);

    // A second parse replaces the first list; a failed one leaves none.
    const std::string longZone =
        R"({"zone_list": [{"zone_time": ")" + std::string(100, 'z') + R"(", "city": "C"}]})";
    EXPECT_EQ(h.reply(340, longZone.c_str()), 0);
    EXPECT_EQ(std::string(h.zone.zoneList->dnode[0]->zone_time), std::string(63, 'z'));
    EXPECT_EQ(h.reply(340, R"({"zone_list": [{"city": "A"}, 5]})"), -1);
    EXPECT_EQ(h.zone.zoneList, nullptr);
    EXPECT_EQ(h.reply(340, R"({"zone_list": {"city": "A"}})"), -1);
    EXPECT_EQ(h.zone.zoneList, nullptr);
    EXPECT_EQ(h.reply(340, R"({})"), -1);
    EXPECT_EQ(h.zone.zoneList, nullptr);
}

TEST(SettingsReplies, SmartInfoAbsentStaysNull) {
    Harness h;
    EXPECT_EQ(h.reply(341, R"({})"), 0);
    EXPECT_EQ(h.ci.reserved, nullptr);
    EXPECT_EQ(h.reply(341, R"({"smart_info": "a"})"), 0);
    EXPECT_EQ(h.reply(341, R"({"smart_info": "bb"})"), 0);
    EXPECT_STREQ(h.ci.reserved, "bb");
}

TEST(SettingsReplies, UploadHeaderReader) {
    struct Case {
        const char *text;
        int rc;
        int error;
    } cases[] = {
        {R"({"header": {"cmd": 107, "error": 20006}})", 0, 20006},
        {R"({"header": {"cmd": 107}})", 0, 0},
        {R"({"data": []})", -1, 99},
        {"not json", -1, 99},
    };
    for (const Case &c : cases) {
        client_info ci;
        std::memset(&ci, 0, sizeof ci);
        ci.error = 99;
        ci.recv_buf = strdup(c.text);
        EXPECT_EQ(upload_parse_json(&ci), c.rc) << c.text;
        EXPECT_EQ(ci.error, c.error) << c.text;
        EXPECT_EQ(ci.r_json, nullptr);
        std::free(ci.recv_buf);
    }
}
