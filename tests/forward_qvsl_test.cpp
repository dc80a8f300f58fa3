// The runtime's QR-code login entry points reach the messaging layer: against the HTTPS login stub and a
// TLS mosquitto, the showing side gets its auth URL and hears the phone's user info and code, and the
// scanning side answers a scanned URL.
#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "messaging/mqtt_testbed_test.h"
#include "runtime/ppc_forward.h"

using namespace mqtt_tb;

namespace {

std::mutex g_mu;
std::vector<std::string> g_heard;

void on_auth(const char *code) {
    std::lock_guard<std::mutex> lk(g_mu);
    g_heard.push_back(std::string("auth:") + code);
}
void on_user(const char *nick, const char *image) {
    std::lock_guard<std::mutex> lk(g_mu);
    g_heard.push_back(std::string("user:") + nick + "," + image);
}
std::vector<std::string> heard() {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_heard;
}

std::string phone_request(const std::string &services) {
    return R"({"msgType":"get","fromId":"phone1","fromType":2,"msgId":1765400000123,"msgDate":1765400000123,"services":)" +
           services + "}";
}

class ForwardQrLogin : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(broker.ready());
        ASSERT_TRUE(stub.ready()) << stub.output();
        qvsl_http_set_service_host(stub.host().c_str());
        qvsl_mqtt_set_broker_uri(tls_uri(broker.tls()).c_str());
        ASSERT_EQ(ppc_qvsl_init(LoginStub::kAppId, LoginStub::kAppKey, 3), 0);
    }
    void TearDown() override {
        qvsl_http_set_service_host(nullptr);
        qvsl_mqtt_set_broker_uri(nullptr);
    }
    TempDir dir;
    Broker broker;
    LoginStub stub;
};

TEST_F(ForwardQrLogin, ShowingSideGetsItsUrlAndHearsThePhone) {
    QVSLRA *ra = nullptr, *second = nullptr;
    const std::string cert_dir = dir.file("");
    ASSERT_EQ(ppc_qvsl_QVSLRA_create(&ra, 0, 3, cert_dir.c_str()), 0);
    EXPECT_EQ(ppc_qvsl_QVSLRA_create(&second, 0, 3, cert_dir.c_str()), -1) << "one request context at a time";
    char url[1025] = {}, id[65] = {};
    uint32_t expiry = 0;
    ASSERT_EQ(ppc_qvsl_request_auth_start(ra, url, id, &expiry), 0);
    EXPECT_EQ(std::string(url), stub.base() + "/sl/a?code=AB12&deviceType=3");
    EXPECT_STREQ(id, "auth0123456789");
    ASSERT_EQ(ppc_qvsl_set_auth_listener(id, on_auth), 0);
    ASSERT_EQ(ppc_qvsl_set_user_info_listener(id, on_user), 0);
    const std::string topic = std::string("qvsl/p2p/consumerId@@@") + id;
    ASSERT_EQ(
        publish(broker.tls(), topic,
                phone_request(R"("{\"qvmsg_sl_user_info\":{\"nick_name\":\"Ann\",\"user_image\":\"i\"}}")"),
                true),
        0);
    ASSERT_EQ(publish(broker.tls(), topic,
                      phone_request(R"("{\"qvmsg_sl_auth\":{\"auth_code\":\"QUJDRA==\"}}")"), true),
              0);
    ASSERT_TRUE(wait_for([] { return heard().size() >= 2; }, 10000));
    EXPECT_EQ(heard(), (std::vector<std::string>{"user:Ann,i", "auth:QUJDRA=="}));
    ppc_qvsl_request_auth_stop(ra);
    ppc_qvsl_QVSLRA_release(ra);
    ASSERT_EQ(ppc_qvsl_QVSLRA_create(&second, 0, 3, cert_dir.c_str()), 0) << "released";
    ppc_qvsl_QVSLRA_release(second);
}

TEST_F(ForwardQrLogin, ScanningSideAnswersAScannedUrl) {
    const std::string scanned = stub.base() + "/sl/a?code=AB12&deviceType=3";
    int32_t info[2] = {-1, -1};
    EXPECT_EQ(ppc_qvsl_get_request_info((stub.base() + "/sl/a?code=AB12&deviceType=5").c_str(), info), -1);
    EXPECT_TRUE(stub.requests().empty()) << "nothing sent for another device type";
    ASSERT_EQ(ppc_qvsl_get_request_info(scanned.c_str(), info), 0);
    EXPECT_EQ(info[1], 3);
    qvsl_user_info user{};
    std::snprintf(user.nick_name, sizeof user.nick_name, "Ann");
    std::snprintf(user.user_image, sizeof user.user_image, "https://127.0.0.1/a.png");
    EXPECT_EQ(ppc_qvsl_send_user_info(scanned.c_str(), &user), 0);
    EXPECT_EQ(ppc_qvsl_send_auth_code(scanned.c_str(), "QUJDRA=="), 0);
    EXPECT_EQ(stub.requests().size(), 3u);
    EXPECT_EQ(ppc_qvsl_send_auth_code(nullptr, "x"), -1);
}

}  // namespace
