// The firmware update's readers of device texts: topics made from a reserved task's topic and from a
// device id, the verdict and follow-up message parsers, and the reserved task list.
#include "runtime/ota_update.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/qv_errors.h"
#include "base/qv_log.h"

namespace {

class OtaTexts : public testing::Test {
  protected:
    void SetUp() override { qv::set_log_enabled(false); }
    void TearDown() override { qv::set_log_enabled(true); }
};

TEST_F(OtaTexts, TopicsFromDeviceTexts) {
    struct Case {
        std::string text;
        bool device_id;    // a device id (one segment) rather than a reserved task's topic
        const char *want;  // null: refused
    };
    const std::string at_limit(127 - std::strlen("qv_tessera/"), 'a');
    const std::vector<Case> cases = {
        {"ota/QVDEV0001", false, "qv_tessera/ota/QVDEV0001"},
        {"QVDEV0001", true, "qv_tessera/deviceStatusChanged/QVDEV0001"},
        {"ota/+/x", false, nullptr},
        {"ota/#", false, nullptr},
        {"", false, nullptr},
        {"", true, nullptr},
        {std::string("ota\0x", 5), false, nullptr},
        {std::string("QV\0DEV", 6), true, nullptr},
        {"ota\nx", false, nullptr},
        {"QV/DEV", true, nullptr},
        {"QV+", true, nullptr},
        {"QV#", true, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        char out[QV_OTA_TOPIC_MAX + 1] = "unchanged";
        const int ret = c.device_id ? ota_device_topic(c.text.c_str(), c.text.size(), out, sizeof out)
                                    : ota_verdict_topic(c.text.c_str(), c.text.size(), out, sizeof out);
        if (c.want == nullptr) {
            EXPECT_EQ(ret, QV_ERR_ARG);
        } else {
            EXPECT_EQ(ret, 0);
            EXPECT_STREQ(out, c.want);
        }
    }
    // 127 characters in all is the limit.
    char out[QV_OTA_TOPIC_MAX + 1];
    EXPECT_EQ(ota_verdict_topic(at_limit.c_str(), at_limit.size(), out, sizeof out), 0);
    EXPECT_EQ(std::strlen(out), 127u);
    const std::string over = at_limit + "b";
    EXPECT_EQ(ota_verdict_topic(over.c_str(), over.size(), out, sizeof out), QV_ERR_ARG);
    const std::string long_id(128, 'd');
    EXPECT_EQ(ota_device_topic(long_id.c_str(), long_id.size(), out, sizeof out), QV_ERR_ARG);
}

TEST_F(OtaTexts, VerdictAndProgressMessages) {
    struct Case {
        const char *services;
        int verdict_ret, verdict;           // ota_parse_verdict
        int progress_ret, result, process;  // ota_parse_progress
    };
    const std::vector<Case> cases = {
        {R"({"qvmsg_update_status":{"result":1}})", 0, 1, 0, 1, -1},
        {R"({"qvmsg_update_status":{"result":0}})", 0, 0, 0, 0, -1},
        {R"({"qvmsg_update_status":{"result":2}})", 0, 2, 0, 2, -1},
        {R"({"qvmsg_update_status":{}})", -1, 0, 0, -1, -1},
        {R"({"qvmsg_update_progress":{"result":2,"process":40}})", -1, 0, 0, 2, 40},
        {R"({"qvmsg_update_progress":{"process":40},"qvmsg_update_status":{"result":1}})", 0, 1, 0, -1, 40},
        {R"({"qvmsg_update_progress":{"result":2,"process":-5}})", -1, 0, 0, 2, -1},
        {R"({"qvmsg_update_progress":{"result":99999999999}})", -1, 0, 0, 2147483647, -1},
        {R"({"qvmsg_update_progress":[1]})", -1, 0, -1, 0, 0},
        {R"({"other":1})", -1, 0, -1, 0, 0},
        {"not json", -1, 0, -1, 0, 0},
        {"", -1, 0, -1, 0, 0},
        {"[1,2]", -1, 0, -1, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.services);
        int verdict = 0;
        EXPECT_EQ(ota_parse_verdict(c.services, &verdict), c.verdict_ret);
        if (c.verdict_ret == 0) {
            EXPECT_EQ(verdict, c.verdict);
        }
        int result = 0, process = 0;
        EXPECT_EQ(ota_parse_progress(c.services, &result, &process), c.progress_ret);
        if (c.progress_ret == 0) {
            EXPECT_EQ(result, c.result);
            EXPECT_EQ(process, c.process);
        }
    }
    int r = 0, p = 0;
    EXPECT_EQ(ota_parse_verdict(nullptr, &r), -1);
    EXPECT_EQ(ota_parse_progress(nullptr, &r, &p), -1);
}

// The topics of the records `_ota_reserved_process` builds ("" for a refused one), and the count.
std::vector<std::string> reserved_topics(const char *text, int *count) {
    client_info ci{};
    ci.reserved = text != nullptr ? strdup(text) : nullptr;
    _ota_reserved_process(&ci);
    EXPECT_EQ(ci.reserved, nullptr);
    std::vector<std::string> topics;
    if (ci.reserved_tasks.next != nullptr) {
        auto *head = reinterpret_cast<ota_reserved_task *>(&ci.reserved_tasks);
        for (auto *t = static_cast<ota_reserved_task *>(ci.reserved_tasks.next); t != head; t = t->next)
            topics.emplace_back(t->topic);
    }
    *count = ci.task_count;
    ota_reserved_tasks_free(&ci);
    return topics;
}

TEST_F(OtaTexts, ReservedTaskList) {
    struct Case {
        const char *text;
        int count;
        std::vector<std::string> topics;
    };
    const std::vector<Case> cases = {
        {R"({"task_count":2,"task_array":[{"task_type":"t","protocol":"mqtt","data":{"domain":"d","port":61613,"topic":"a/1"}},{"data":{"topic":"b"}}]})",
         2,
         {"qv_tessera/a/1", "qv_tessera/b"}},
        // The array decides, not the count; elements that are not objects are skipped.
        {R"({"task_count":1,"task_array":[{"data":{"topic":"a"}},7,{"data":{"topic":"c"}}]})",
         1,
         {"qv_tessera/a", "qv_tessera/c"}},
        {R"({"task_count":0,"task_array":[{"data":{"topic":"a"}}]})", 0, {}},
        {R"({"task_array":[{"data":{"topic":"a"}}]})", 0, {}},
        {R"({"task_count":1})", 1, {}},
        {R"({"task_count":1,"task_array":{"data":{"topic":"a"}}})", 1, {}},
        // Refused topics stay empty: wildcards, a NUL inside, too long, not a text.
        {R"({"task_count":4,"task_array":[{"data":{"topic":"a/#"}},{"data":{"topic":"a\u0000b"}},{"data":{"topic":5}},{"data":{}}]})",
         4,
         {"", "", "", ""}},
        {"not json", 0, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        int count = -1;
        EXPECT_EQ(reserved_topics(c.text, &count), c.topics);
        EXPECT_EQ(count, c.count);
    }
    const std::string long_topic =
        R"({"task_count":1,"task_array":[{"data":{"topic":")" + std::string(2000, 't') + R"("}}]})";
    int count = 0;
    EXPECT_EQ(reserved_topics(long_topic.c_str(), &count), std::vector<std::string>{""});
    EXPECT_EQ(reserved_topics(nullptr, &count), std::vector<std::string>{});
}

}  // namespace
