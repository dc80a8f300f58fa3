#include "runtime/ppc_userstatus.h"

#include <gtest/gtest.h>

#include <string>

#include "base/qv_log.h"

namespace {

TEST(UserStatusTopic, FormedFromThePrefixAndTheUserId) {
    struct Case {
        std::string user;
        std::string want;  // empty: refused
    };
    const std::string longest(98, 'u');  // with the 29 characters of "qv_tessera/userStatusChanged/": 127
    const Case cases[] = {
        {"1234", "qv_tessera/userStatusChanged/1234"},
        {longest, "qv_tessera/userStatusChanged/" + longest},
        {longest + "u", ""},  // beyond what the messaging layer keeps of a topic
        {"", ""},
        {"a/b", ""},  // would listen on another user's topic
        {"+", ""},
        {"#", ""},
        {"a\nb", ""},
    };
    for (const Case &c : cases) {
        char out[PPC_USER_STATUS_TOPIC_SIZE] = "x";
        if (c.want.empty()) {
            EXPECT_EQ(ppc_user_status_topic(c.user.c_str(), out), -1) << c.user;
        } else {
            ASSERT_EQ(ppc_user_status_topic(c.user.c_str(), out), 0) << c.user;
            EXPECT_EQ(std::string(out), c.want);
        }
    }
    char out[PPC_USER_STATUS_TOPIC_SIZE];
    EXPECT_EQ(ppc_user_status_topic(nullptr, out), -1);
}

TEST(UserStatusListener, RefusedWithoutARunningService) {
    qv::set_log_enabled(false);
    auto cb = [](const char *, const char *) {};
    EXPECT_EQ(ppc_userStatusChangedListen("1234", cb, nullptr), -1);
    ppc_router_task *ctx = ppc_router_task_new();  // a context no service started
    EXPECT_EQ(ppc_userStatusChangedListen("1234", cb, ctx), -1);
    EXPECT_EQ(ppc_cancel_userStatusChangedListen(ctx), 0);
    EXPECT_EQ(ppc_cancel_userStatusChangedListen(nullptr), 0);
    ppc_router_task_free(ctx);
    qv::set_log_enabled(true);
}

}  // namespace
