#include "runtime/qvad_client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/dev_manage.h"

namespace {

std::vector<qv_dev_detail> g_added;

void on_added(const qv_dev_detail *d) {
    g_added.push_back(*d);
}

const char *kDetail =
    R"({"header":{"cmd":1025,"seq":0,"session":"s"},"data":[{"device_name":"Den","mac":"00:11:22:33:44:55",)"
    R"("device_id":"uuid-1","p2p_uuid":"P2P-1","port":13111,"suppServ":7,"miscellaneous":"m","type":3}]})";

class DiscoveryHandler : public ::testing::Test {
  protected:
    void SetUp() override {
        qv_init_dev_list();
        g_added.clear();
        ctx_ = ppc_router_task_new();
        ctx_->dev_add_cb = on_added;
        qv_dev_detail r{};
        std::snprintf(r.ip, sizeof r.ip, "127.0.0.2");
        qv_update_dev_list(&r, QV_DEV_ADD);
    }
    void TearDown() override {
        ppc_router_task_free(ctx_);
        qv_free_dev_list();
    }
    int feed(const std::string &text, const char *ip = "127.0.0.2") {
        return dis_on_datagram(ctx_, text.data(), text.size(), ip);
    }
    ppc_router_task *ctx_ = nullptr;
};

TEST_F(DiscoveryHandler, RequestTextIsTheLibrarysDefaultForm) {
    std::string t;
    ASSERT_EQ(dis_combine_client_req_json(QV_DIS_CMD_BEAT, &t), 0);
    EXPECT_EQ(t, R"({ "data": [ { "type": 3 } ], "header": { "cmd": 1027, "seq": 0, "error": 0 } })");
}

TEST_F(DiscoveryHandler, DetailFillsEveryFieldOnceAndCallsBack) {
    EXPECT_EQ(feed(kDetail), 0);
    EXPECT_EQ(feed(kDetail), 0);  // known already: no second callback
    ASSERT_EQ(g_added.size(), 1u);
    const qv_dev_detail &d = g_added[0];
    EXPECT_STREQ(d.ip, "127.0.0.2");
    EXPECT_STREQ(d.device_name, "Den");
    EXPECT_STREQ(d.mac, "00:11:22:33:44:55");
    EXPECT_STREQ(d.dev_uuid, "uuid-1");
    EXPECT_STREQ(d.p2p_uuid, "P2P-1");
    EXPECT_STREQ(d.miscellaneous, "m");
    EXPECT_STREQ(d.type_name, "QUILLET");
    EXPECT_EQ(d.port, 13111);
    EXPECT_EQ(d.suppServ, 7);
    EXPECT_EQ(d.detail_flag, 1);
    unsigned n = 0;
    qv_dev_detail **s = qv_get_dev_detail_list(&n);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(s[0]->life, QV_DEV_LIFE_REFRESHED);  // refreshed right after the fill
    qv_xfree(s);
}

TEST_F(DiscoveryHandler, BadAnswersFillNothing) {
    const std::string big(65, 'x');
    struct Case {
        const char *what;
        std::string text;
        const char *ip;
        int want;
    };
    const std::vector<Case> cases = {
        {"type 2", R"({"header":{"cmd":1025},"data":[{"device_id":"u","type":2}]})", "127.0.0.2", 0},
        {"no type", R"({"header":{"cmd":1025},"data":[{"device_id":"u"}]})", "127.0.0.2", 0},
        {"type as text", R"({"header":{"cmd":1025},"data":[{"device_id":"u","type":"3"}]})", "127.0.0.2", -1},
        {"1026", R"({"header":{"cmd":1026}})", "127.0.0.2", -1},
        {"no cmd", R"({"header":{"seq":1}})", "127.0.0.2", -1},
        {"no header", R"({"data":[]})", "127.0.0.2", -1},
        {"not JSON", "hello", "127.0.0.2", -1},
        {"trailing bytes", std::string(kDetail) + "x", "127.0.0.2", -1},
        {"empty data", R"({"header":{"cmd":1025},"data":[]})", "127.0.0.2", -1},
        {"long name", R"({"header":{"cmd":1025},"data":[{"device_name":")" + big + R"(","type":3}]})",
         "127.0.0.2", -1},
        {"long mac", R"({"header":{"cmd":1025},"data":[{"mac":")" + std::string(32, 'm') + R"(","type":3}]})",
         "127.0.0.2", -1},
        {"long session", R"({"header":{"cmd":1024,"session":")" + big + R"("}})", "127.0.0.9", -1},
        {"unlisted address", kDetail, "127.0.0.3", 0},
        {"port out of range", R"({"header":{"cmd":1025},"data":[{"port":9999999999,"type":3}]})", "127.0.0.2",
         -1},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(feed(c.text, c.ip), c.want) << c.what;
    }
    EXPECT_TRUE(g_added.empty());
    unsigned n = 0;
    EXPECT_EQ(qv_get_dev_detail_list(&n), nullptr);
    EXPECT_EQ(is_dev_exist("127.0.0.9"), 0);
    EXPECT_EQ(is_dev_exist("127.0.0.3"), 0);
}

TEST_F(DiscoveryHandler, ASecondAddressClaimingAListedIdIsKeptOff) {
    ASSERT_EQ(feed(kDetail), 0);
    ASSERT_EQ(feed(R"({"header":{"cmd":1024}})", "127.0.0.3"), 0);
    EXPECT_EQ(feed(kDetail, "127.0.0.3"), 0);
    ASSERT_EQ(g_added.size(), 1u);
    EXPECT_STREQ(g_added[0].ip, "127.0.0.2");
}

TEST_F(DiscoveryHandler, SearchAndBeatAnswersListAndRefresh) {
    EXPECT_EQ(feed(R"({"header":{"cmd":1024,"seq":4,"session":"abc"}})", "127.0.0.4"), 0);
    EXPECT_EQ(is_dev_exist("127.0.0.4"), 1);
    EXPECT_EQ(feed(R"({"header":{"cmd":1027,"seq":0,"error":0}})", "127.0.0.4"), 0);
}

}  // namespace
