// Message dispatch as one table: each row publishes one message from a peer process and states which
// callbacks run with what text, and which reply the peer receives.
#include <gtest/gtest.h>

#include <cstring>

#include "messaging/mqtt_testbed_test.h"
#include "messaging/qvmsgs.h"
#include "messaging/qvmsgs_json.h"

using namespace mqtt_tb;

namespace {

std::mutex g_mu;
std::vector<std::string> g_got;

void record(const std::string &s) {
    std::lock_guard<std::mutex> lk(g_mu);
    g_got.push_back(s);
}
void bc_a(const char *topic, const char *services) {
    record(std::string("a|") + topic + "|" + (services ? services : "(null)"));
}
void bc_b(const char *topic, const char *services) {
    record(std::string("b|") + topic + "|" + (services ? services : "(null)"));
}
char *p2p_done(const char *services) {
    record(std::string("p2p|") + services);
    return strdup("done");
}
char *p2p_null(const char *services) {
    record(std::string("null|") + services);
    return nullptr;
}

std::string request(const std::string &from_id_member, const std::string &msg_id, const std::string &services,
                    const char *msg_type = "get") {
    return std::string(R"({"msgType":")") + msg_type + "\"," + from_id_member + R"("fromType":2,"msgId":)" +
           msg_id + R"(,"msgDate":1765400000123,"services":)" + services + "}";
}

struct Row {
    const char *name;
    std::string topic;
    std::string payload;
    std::vector<std::string> calls;  // callbacks in order
    std::string reply_topic;         // "" when no reply may come
    std::vector<std::string> reply_has;
};

const char kUser[] = "qv_tessera/userStatusChanged/u1";
const char kDev[] = "qv_tessera/deviceStatusChanged/d1";
const char kQr[] = "qvsl/p2p/consumerId@@@auth1";
const char kSlash[] = "qv_tessera/a/b/c";
const char kFails[] = "qvsl/p2p/consumerId@@@failing";

// clang-format off
std::vector<Row> rows() {
    return {
        {"services_string", kUser, R"({"services":"plain text"})", {std::string("a|") + kUser + "|plain text"}, "", {}},
        {"services_object", kUser, R"({"services":{"k":1}})", {std::string("a|") + kUser + R"(|{ "k": 1 })"}, "", {}},
        {"not_json", kUser, "not json", {std::string("a|") + kUser + "|(null)"}, "", {}},
        {"no_services", kUser, R"({"x":1})", {std::string("a|") + kUser + "|(null)"}, "", {}},
        {"two_listeners_in_order", kDev, R"({"services":"s"})",
         {std::string("a|") + kDev + "|s", std::string("b|") + kDev + "|s"}, "", {}},
        {"wildcard_listener_matches_exactly_only", "qv_tessera/wild/x", R"({"services":"w"})", {}, "", {}},
        {"get_resp_key_order_big_msg_id", kQr, request(R"("fromId":"phone1",)", "4102444800123", R"("svc")"),
         {"p2p|svc"}, "qvsl/p2p/consumerId@@@phone1",
         {R"({ "msgType": "getResp", "fromId": "auth1", "fromType": 0, "msgId": 4102444800123, "msgDate": )",
          R"(, "error_code": 0, "error_msg": "", "services": "done" })"}},
        {"slash_topic_answered_on_last_part", kSlash, request(R"("fromId":"zed",)", "7", R"("q")"), {"p2p|q"},
         "qv_tessera/a/b/zed", {R"("fromId": "c")", R"("msgId": 7,)"}},
        {"msg_type_other_than_get", kQr, request(R"("fromId":"phone2",)", "8", R"("t")", "put"), {"p2p|t"},
         "qvsl/p2p/consumerId@@@phone2", {R"("msgId": 8,)"}},
        {"services_object_in_request", kQr, request(R"("fromId":"phone3",)", "9", R"({"k":"v"})"),
         {R"(p2p|{ "k": "v" })"}, "qvsl/p2p/consumerId@@@phone3", {R"("services": "done")"}},
        {"request_without_from_id", kQr, request("", "10", R"("u")"), {}, "", {}},
        {"from_id_with_plus", kQr, request(R"("fromId":"ph+",)", "11", R"("u")"), {}, "", {}},
        {"from_id_with_hash", kQr, request(R"("fromId":"ph#",)", "12", R"("u")"), {}, "", {}},
        {"from_id_with_slash", kQr, request(R"("fromId":"a/b",)", "13", R"("u")"), {}, "", {}},
        {"unhandled_request_answered_as_failure", kFails, request(R"("fromId":"phone4",)", "14", R"("v")"),
         {"null|v"}, "qvsl/p2p/consumerId@@@phone4", {R"("error_code": -1, )", R"("services": "" })"}},
    };
}
// clang-format on

TEST(Dispatch, Table) {
    TempDir dir;
    Broker broker;
    ASSERT_TRUE(broker.ready());
    qvmsgs_context *ctx = qvmsgs_init(plain_uri(broker.plain()).c_str(), nullptr, 0, dir.path().c_str());
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(qvmsgs_add_broadcast_listener(ctx, kUser, bc_a), 0);
    ASSERT_EQ(qvmsgs_add_broadcast_listener(ctx, kDev, bc_a), 0);
    ASSERT_EQ(qvmsgs_add_broadcast_listener(ctx, kDev, bc_b), 0);
    ASSERT_EQ(qvmsgs_add_broadcast_listener(ctx, "qv_tessera/wild/+", bc_a), 0);  // granted, never matched
    ASSERT_EQ(qvmsgs_add_p2p_message_listener(ctx, kQr, p2p_done), 0);
    ASSERT_EQ(qvmsgs_add_p2p_message_listener(ctx, kSlash, p2p_done), 0);
    ASSERT_EQ(qvmsgs_add_p2p_message_listener(ctx, kFails, p2p_null), 0);
    Sub replies(broker.plain(), "#", dir.file("sub.log"));
    ASSERT_TRUE(replies.ready());
    int mark = 0;
    for (const Row &r : rows()) {
        SCOPED_TRACE(r.name);
        size_t before;
        {
            std::lock_guard<std::mutex> lk(g_mu);
            before = g_got.size();
        }
        ASSERT_EQ(publish(broker.plain(), r.topic, r.payload), 0);
        const std::string marker = "mark" + std::to_string(++mark);
        ASSERT_EQ(publish(broker.plain(), kUser, R"({"services":")" + marker + "\"}"), 0);
        const std::string marker_call = std::string("a|") + kUser + "|" + marker;
        std::vector<std::string> calls;
        ASSERT_TRUE(wait_for(
            [&] {
                std::lock_guard<std::mutex> lk(g_mu);
                calls.assign(g_got.begin() + static_cast<long>(before), g_got.end());
                return !calls.empty() && calls.back() == marker_call;
            },
            10000));
        calls.pop_back();
        EXPECT_EQ(calls, r.calls);
        if (!r.reply_topic.empty()) {
            std::string line;
            EXPECT_TRUE(wait_for(
                [&] {
                    for (const auto &m : replies.messages())
                        if (m.rfind(r.reply_topic + " ", 0) == 0) line = m;
                    return !line.empty();
                },
                10000));
            for (const auto &want : r.reply_has) EXPECT_NE(line.find(want), std::string::npos) << line;
        }
    }
    // No reply went to a topic made from a refused or missing fromId.
    for (const auto &m : replies.messages()) {
        EXPECT_EQ(m.find("consumerId@@@ph+"), std::string::npos) << m;
        EXPECT_EQ(m.find("consumerId@@@ph#"), std::string::npos) << m;
        EXPECT_EQ(m.find("consumerId@@@a/b"), std::string::npos) << m;
    }
    qvmsgs_destroy(ctx);
}

TEST(DispatchJson, TopicTailAndRequestParse) {
    EXPECT_STREQ(qvmsgs_topic_tail("qvsl/p2p/consumerId@@@abc"), "abc");
    EXPECT_STREQ(qvmsgs_topic_tail("a/b/c"), "c");
    EXPECT_STREQ(qvmsgs_topic_tail("plain"), "plain");
    qvmsgs_p2p_task *t = qvmsgs_parse_json_to_p2p_task(
        R"({"fromId":"p","msgId":3000000000,"services":"s","error_code":5,"error_msg":"m"})");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->msgId, 3000000000LL);
    EXPECT_EQ(t->error_code, 5);
    EXPECT_STREQ(t->error_msg, "m");
    qvmsgs_free_p2p_task(t);
    for (const char *bad : {"", "[1]", R"({"msgId":1,"services":"s"})", R"({"fromId":"p","services":"s"})",
                            R"({"fromId":"p","msgId":1})", R"({"fromId":1,"msgId":1,"services":"s"})"})
        EXPECT_EQ(qvmsgs_parse_json_to_p2p_task(bad), nullptr) << bad;
    EXPECT_FALSE(qvmsgs_topic_segment_ok(""));
    EXPECT_FALSE(qvmsgs_topic_segment_ok("a+b"));
    EXPECT_TRUE(qvmsgs_topic_segment_ok("Abc123"));
}

}  // namespace
