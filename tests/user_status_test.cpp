// The user-status listener on a real mosquitto: messages published with mosquitto_pub reach the callback;
// cancelling or replacing the listener stops them; a service started without the broker refuses it. Each
// test runs in a network namespace of its own (the service's discovery ports are fixed).
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "base/qv_log.h"
#include "messaging/mqtt_testbed_test.h"
#include "netns_util.h"
#include "runtime/ppc_service.h"
#include "runtime/ppc_userstatus.h"

namespace {

struct Received {
    std::mutex mu;
    std::vector<std::pair<std::string, std::string>> messages;  // topic, services text ("(null)": none)
    void add(const char *topic, const char *msg) {
        std::lock_guard<std::mutex> l(mu);
        messages.emplace_back(topic ? topic : "(null)", msg ? msg : "(null)");
    }
    std::vector<std::pair<std::string, std::string>> get() {
        std::lock_guard<std::mutex> l(mu);
        return messages;
    }
    size_t count_on(const std::string &topic) {
        std::lock_guard<std::mutex> l(mu);
        size_t n = 0;
        for (const auto &m : messages) n += m.first == topic;
        return n;
    }
};
Received g_received;

void on_status(const char *topic, const char *msg) {
    g_received.add(topic, msg);
}

ppc_router_task *g_ctx = nullptr;
// Cancels its own listener on the first message.
void on_status_cancelling(const char *topic, const char *msg) {
    g_received.add(topic, msg);
    ppc_cancel_userStatusChangedListen(g_ctx);
}

const std::string kTopic1234 = "qv_tessera/userStatusChanged/1234";
const std::string kTopic5678 = "qv_tessera/userStatusChanged/5678";
const std::string kPayload = R"({"services": "{\"userStatus\":\"PasswordChanged\"}"})";

class UserStatus : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string why = qvtest::enter_private_netns();
        if (!why.empty()) GTEST_SKIP() << "needs a network namespace of its own (root): " << why;
        char tmpl[] = "/tmp/qvustat-XXXXXX";
        dir_ = mkdtemp(tmpl);
        std::lock_guard<std::mutex> l(g_received.mu);
        g_received.messages.clear();
    }
    void TearDown() override {
        if (ctx_ != nullptr) {
            EXPECT_EQ(ppc_stop_Service(ctx_), 0);
        }
        g_ctx = nullptr;
        ppc_set_broker_address(nullptr);
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }
    void start(const std::string &broker) {
        ppc_set_broker_address(broker.c_str());
        int32_t err = 0;
        ctx_ = ppc_start_Service(dir_.c_str(), nullptr, nullptr, nullptr, "127.0.0.1", &err);
        ASSERT_NE(ctx_, nullptr) << err;
        g_ctx = ctx_;
    }
    // Publishes on `topic` until the callback has seen `want` messages there (a bounded wait).
    bool publish_until(int port, const std::string &topic, size_t want) {
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(mqtt_tb::publish(port, topic, kPayload), 0);
            if (mqtt_tb::wait_for([&] { return g_received.count_on(topic) >= want; }, 1000)) return true;
        }
        return false;
    }
    std::string dir_;
    ppc_router_task *ctx_ = nullptr;
};

TEST_F(UserStatus, AMessageFromMosquittoPubReachesTheCallback) {
    mqtt_tb::Broker broker;
    ASSERT_TRUE(broker.ready());
    ASSERT_NO_FATAL_FAILURE(start(mqtt_tb::plain_uri(broker.plain())));
    ASSERT_NE(ctx_->msgs_context, nullptr);
    ASSERT_EQ(ppc_userStatusChangedListen("1234", on_status, ctx_), 0);
    ASSERT_TRUE(publish_until(broker.plain(), kTopic1234, 1));
    const auto got = g_received.get();
    EXPECT_EQ(got[0].first, kTopic1234);
    EXPECT_EQ(got[0].second, R"({"userStatus":"PasswordChanged"})");

    // A message without "services" reaches the callback with none.
    EXPECT_EQ(mqtt_tb::publish(broker.plain(), kTopic1234, "not json"), 0);
    EXPECT_TRUE(mqtt_tb::wait_for([] { return g_received.get().back().second == "(null)"; }, 10000));
}

TEST_F(UserStatus, CancellingRemovesTheListener) {
    mqtt_tb::Broker broker;
    ASSERT_TRUE(broker.ready());
    ASSERT_NO_FATAL_FAILURE(start(mqtt_tb::plain_uri(broker.plain())));
    ASSERT_EQ(ppc_userStatusChangedListen("1234", on_status, ctx_), 0);
    ASSERT_EQ(mqtt_tb::publish(broker.plain(), kTopic1234, kPayload), 0);
    ASSERT_TRUE(mqtt_tb::wait_for([] { return g_received.count_on(kTopic1234) >= 1; }, 10000));

    EXPECT_EQ(ppc_cancel_userStatusChangedListen(ctx_), 0);
    // The broker has this message before the next subscription exists; one connection delivers in order,
    // so once a message of the later topic arrives, any delivery of this one would have come first.
    ASSERT_EQ(mqtt_tb::publish(broker.plain(), kTopic1234, kPayload), 0);
    ASSERT_EQ(ppc_userStatusChangedListen("5678", on_status, ctx_), 0);
    ASSERT_TRUE(publish_until(broker.plain(), kTopic5678, 1));
    EXPECT_EQ(g_received.count_on(kTopic1234), 1u);
    EXPECT_EQ(ppc_cancel_userStatusChangedListen(ctx_), 0);
    EXPECT_EQ(ppc_cancel_userStatusChangedListen(ctx_), 0);  // nothing left: still 0
}

TEST_F(UserStatus, ASecondListenReplacesTheFirst) {
    mqtt_tb::Broker broker;
    ASSERT_TRUE(broker.ready());
    ASSERT_NO_FATAL_FAILURE(start(mqtt_tb::plain_uri(broker.plain())));
    ASSERT_EQ(ppc_userStatusChangedListen("1234", on_status, ctx_), 0);
    ASSERT_EQ(ppc_userStatusChangedListen("1234", on_status, ctx_), 0);  // the same user again
    // Subscribed once granted: a message published now is delivered.
    ASSERT_EQ(mqtt_tb::publish(broker.plain(), kTopic1234, kPayload), 0);
    ASSERT_TRUE(mqtt_tb::wait_for([] { return g_received.count_on(kTopic1234) >= 1; }, 10000));
    ASSERT_EQ(ppc_userStatusChangedListen("5678", on_status, ctx_), 0);  // another user: 1234 goes
    ASSERT_EQ(mqtt_tb::publish(broker.plain(), kTopic1234, kPayload), 0);
    ASSERT_TRUE(publish_until(broker.plain(), kTopic5678, 1));
    EXPECT_EQ(g_received.count_on(kTopic1234), 1u);  // once, not once per listen; nothing after the switch
}

TEST_F(UserStatus, ACallbackMayCancelItsOwnListener) {
    mqtt_tb::Broker broker;
    ASSERT_TRUE(broker.ready());
    ASSERT_NO_FATAL_FAILURE(start(mqtt_tb::plain_uri(broker.plain())));
    ASSERT_EQ(ppc_userStatusChangedListen("1234", on_status_cancelling, ctx_), 0);
    ASSERT_EQ(mqtt_tb::publish(broker.plain(), kTopic1234, kPayload), 0);
    ASSERT_TRUE(mqtt_tb::wait_for([] { return g_received.count_on(kTopic1234) >= 1; }, 10000));
    ASSERT_EQ(mqtt_tb::publish(broker.plain(), kTopic1234, kPayload), 0);
    ASSERT_EQ(ppc_userStatusChangedListen("5678", on_status, ctx_), 0);  // also drops the silenced topic
    ASSERT_TRUE(publish_until(broker.plain(), kTopic5678, 1));
    EXPECT_EQ(g_received.count_on(kTopic1234), 1u);
}

TEST_F(UserStatus, WithTheBrokerRefusedTheStartSucceedsAndTheListenerFails) {
    ASSERT_NO_FATAL_FAILURE(start("127.0.0.1:1"));
    EXPECT_EQ(ctx_->msgs_context, nullptr);
    qv::set_log_enabled(false);
    EXPECT_EQ(ppc_userStatusChangedListen("1234", on_status, ctx_), -1);
    EXPECT_EQ(ppc_cancel_userStatusChangedListen(ctx_), 0);
    qv::set_log_enabled(true);
}

TEST_F(UserStatus, BadUserIdsAreRefusedBeforeTheBroker) {
    mqtt_tb::Broker broker;
    ASSERT_TRUE(broker.ready());
    ASSERT_NO_FATAL_FAILURE(start(mqtt_tb::plain_uri(broker.plain())));
    qv::set_log_enabled(false);
    for (const char *bad : {"", "a/b", "#", "+"})
        EXPECT_EQ(ppc_userStatusChangedListen(bad, on_status, ctx_), -1);
    EXPECT_EQ(ppc_userStatusChangedListen(nullptr, on_status, ctx_), -1);
    EXPECT_EQ(ppc_userStatusChangedListen("1234", nullptr, ctx_), -1);
    qv::set_log_enabled(true);
    EXPECT_EQ(broker.log().find("userStatusChanged"), std::string::npos);
}

}  // namespace
