// Edge cases of the hidden-space, timer and module-support reply parsers beyond the fixture table.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "codec/parse_harness_test.h"

using parse_harness::Harness;

TEST(HideReplies, EmptyDataArrayFailsForAllSix) {
    for (int cmd : {176, 178, 336, 327, 184, 186}) {
        Harness h;
        EXPECT_EQ(h.reply(cmd, "[]"), -1) << cmd;
        EXPECT_EQ(h.reply(cmd, R"({"flag": 1, "time_seconds": 1, "once": 1})"), -1) << cmd;
        EXPECT_FALSE(h.holds_result());
        EXPECT_EQ(h.en.flag, 0);
        EXPECT_EQ(h.ci.cmd_param, 0);
    }
}

TEST(HideReplies, FlagConversions) {
    const std::pair<const char *, int> cases[] = {
        {"true", 1}, {"\"3\"", 3}, {"2.9", 2}, {"5000000000", INT_MAX}, {"-5000000000", INT_MIN}};
    for (const auto &[value, want] : cases) {
        Harness h;
        const std::string data = std::string(R"([{"flag": )") + value + "}]";
        EXPECT_EQ(h.reply(176, data.c_str()), 0);
        EXPECT_EQ(h.en.flag, want) << value;
        EXPECT_EQ(h.reply(336, data.c_str()), 0);
        EXPECT_EQ(h.ci.cmd_param, want) << value;
    }
}

TEST(HideReplies, TimerValuesKeepSecondsWhenOnceMissing) {
    Harness h;
    EXPECT_EQ(h.reply(327, R"([{"time_seconds": 60}])"), -1);
    EXPECT_EQ(h.timer.time_seconds, 60);
    EXPECT_EQ(h.timer.once, 0);
}

TEST(HideReplies, SpaceInfoRecord) {
    {
        Harness h;
        EXPECT_EQ(h.reply(184, "[{}]"), 0);
        ASSERT_NE(h.hsInfo.Info, nullptr);
        EXPECT_STREQ(h.hsInfo.Info->nick_name, "");
        EXPECT_EQ(h.hsInfo.Info->bucket_id, 0);
    }
    for (size_t len : {64u, 65u, 200u}) {
        Harness h;
        const std::string data = R"([{"nick_name": ")" + std::string(len, 'k') + R"(", "bucket_id": "12"}])";
        EXPECT_EQ(h.reply(184, data.c_str()), 0);
        EXPECT_EQ(std::string(h.hsInfo.Info->nick_name), std::string(64, 'k'));
        EXPECT_EQ(h.hsInfo.Info->bucket_id, 12);
    }
    Harness h;
    EXPECT_EQ(h.reply(184, nullptr, 10019), 10019);
    EXPECT_EQ(h.hsInfo.Info, nullptr);
}

TEST(HideReplies, ModuleListOrder) {
    struct Case {
        const char *data;
        std::vector<std::pair<int, int>> nodes;  // head first
    } cases[] = {
        {R"([{"timeSwitchModule": {"status": 1}, "powerOnModule": {"status": 1}, "McuModule": {"status": 0},
              "shareModule": {"status": 1}, "resyscleModule": {"status": 1}, "timeZone": {"status": 1},
              "cancelUsbBackup": {"status": 1}, "getSmartInfo": {"status": 1}, "localBindFlag": {"status": 2}}])",
         {{8, 2}, {7, 1}, {6, 1}, {5, 1}, {4, 1}, {3, 1}, {2, 0}, {1, 1}, {0, 1}}},
        {R"([{"shareModule": {"status": 1}}])", {{3, 1}}},
        {R"([{"shareModule": 1, "timeZone": {}, "other": {"status": 1}}])", {}},
    };
    for (const Case &c : cases) {
        Harness h;
        EXPECT_EQ(h.reply(186, c.data), 0);
        std::vector<std::pair<int, int>> got;
        for (module_support_dnode *n = h.ci.mList; n != nullptr; n = n->next)
            got.emplace_back(n->supportType, n->status);
        EXPECT_EQ(got, c.nodes) << c.data;
        if (!c.nodes.empty()) {
            EXPECT_EQ(ppc_find_module_support(h.ci.mList, c.nodes.back().first), 0);
        }
    }
}
