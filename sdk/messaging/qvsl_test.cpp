// QR-code login end to end: the HTTPS stub answers command 100, the client listens on TLS, and a scripted
// phone (mosquitto_pub / mosquitto_sub over TLS) sends the user's info and the auth code.
#include "messaging/qvsl.h"

#include <gtest/gtest.h>

#include <cstring>
#include <future>

#include "messaging/mqtt_testbed_test.h"
#include "messaging/qvmsgs.h"
#include "messaging/qvmsgs_conn.h"

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

std::string phone_request(const std::string &services_json_string) {
    return R"({"msgType":"get","fromId":"phone1","fromType":2,"msgId":1765400000123,"msgDate":1765400000123,"services":)" +
           services_json_string + "}";
}
const char kUserInfo[] =
    R"("{\"qvmsg_sl_user_info\":{\"nick_name\":\"Ann\",\"user_image\":\"https://127.0.0.1/a.png\"}}")";
const char kAuth[] = R"("{\"qvmsg_sl_auth\":{\"auth_code\":\"QUJDRA==\"}}")";
const char kBoth[] =
    R"("{\"qvmsg_sl_user_info\":{\"nick_name\":\"Bob\",\"user_image\":\"u\"},\"qvmsg_sl_auth\":{\"auth_code\":\"Q0RFRg==\"}}")";
const char kAuthTopic[] = "qvsl/p2p/consumerId@@@auth0123456789";

// Everything written to standard output and error while it lives goes to a file.
class CaptureOutput {
  public:
    explicit CaptureOutput(const std::string &file) : file_(file) {
        fflush(stdout);
        fflush(stderr);
        out_ = dup(1);
        err_ = dup(2);
        const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        dup2(fd, 2);
        close(fd);
    }
    std::string finish() {
        if (out_ >= 0) {
            fflush(stdout);
            fflush(stderr);
            dup2(out_, 1);
            dup2(err_, 2);
            close(out_);
            close(err_);
            out_ = err_ = -1;
        }
        return read_file(file_);
    }
    ~CaptureOutput() { finish(); }

  private:
    std::string file_;
    int out_ = -1, err_ = -1;
};

class QrLogin : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(fs::exists(dir.file("notimeout")));
        ASSERT_TRUE(broker.ready());
        ASSERT_TRUE(stub.ready()) << stub.output();
        qvsl_http_set_service_host(stub.host().c_str());
        qvsl_mqtt_set_broker_uri(tls_uri(broker.tls()).c_str());
        ASSERT_EQ(qvsl_init(LoginStub::kAppId, LoginStub::kAppKey, 3), 0);
        std::lock_guard<std::mutex> lk(g_mu);
        g_heard.clear();
    }
    void TearDown() override {
        qvsl_http_set_service_host(nullptr);
        qvsl_mqtt_set_broker_uri(nullptr);
    }
    void send(const char *services) {
        ASSERT_EQ(publish(broker.tls(), kAuthTopic, phone_request(services), true), 0);
    }
    TempDir dir;
    Broker broker;
    LoginStub stub;
};

TEST_F(QrLogin, PhoneSendsUserInfoThenCodeAndGetsTwoReplies) {
    CaptureOutput capture(dir.file("client-output.txt"));
    QVSLRA *ra = nullptr;
    ASSERT_EQ(qvsl_QVSLRA_create(&ra, 0, 3, "./"), 0);
    EXPECT_EQ(read_file(dir.file("qv_sert.pem")), qvmsgs_cert_bundle());
    char url[1025] = {}, id[65] = {};
    uint32_t expiry = 0;
    ASSERT_EQ(qvsl_request_auth_start(ra, url, id, &expiry), 0);
    EXPECT_EQ(std::string(url), stub.base() + "/sl/a?code=AB12&deviceType=3");
    EXPECT_STREQ(id, "auth0123456789");
    EXPECT_EQ(expiry, 120u);
    ASSERT_EQ(qvsl_set_auth_listener(id, on_auth), 0);
    ASSERT_EQ(qvsl_set_user_info_listener(id, on_user), 0);

    Sub phone(broker.tls(), "qvsl/p2p/consumerId@@@phone1", dir.file("phone.log"), 3, true);
    ASSERT_TRUE(phone.ready());
    send(kUserInfo);
    send(kAuth);
    send(kBoth);  // both keys: counts as an auth code only
    ASSERT_TRUE(wait_for([] { return heard().size() >= 3; }, 10000));
    EXPECT_EQ(heard(), (std::vector<std::string>{"user:Ann,https://127.0.0.1/a.png",
                                                 "auth:QUJDRA==", "auth:Q0RFRg=="}));
    ASSERT_TRUE(wait_for([&] { return phone.messages().size() >= 3; }, 10000));
    for (const auto &m : phone.messages()) {
        EXPECT_NE(
            m.find(
                R"("msgType": "getResp", "fromId": "auth0123456789", "fromType": 1, "msgId": 1765400000123)"),
            std::string::npos)
            << m;
        EXPECT_NE(m.find(R"("error_code": 0, "error_msg": "", "services": "" })"), std::string::npos) << m;
    }
    qvsl_QVSLRA_release(ra);

    // Nothing secret reached the log: the broker password, the app key, the ssig, the codes, the URL
    // carrying a code, the payloads.
    const std::string out = capture.finish();
    ASSERT_NE(out.find("QV_CLIENT"), std::string::npos) << "the log was captured";
    std::string ssig;
    for (const auto &r : stub.requests()) {
        const size_t p = r.find("ssig=");
        if (p != std::string::npos) ssig = r.substr(p + 5, r.find('"', p) - p - 5);
    }
    ASSERT_FALSE(ssig.empty());
    for (const std::string &secret :
         {std::string(QVMSGS_PASSWORD), std::string(LoginStub::kAppKey), ssig, std::string("QUJDRA=="),
          std::string("Q0RFRg=="), std::string("code=AB12"), std::string("AB12"),
          std::string("qvmsg_sl_auth"), std::string("Ann")})
        EXPECT_EQ(out.find(secret), std::string::npos) << "logged: " << secret;
}

TEST_F(QrLogin, CodeBeforeItsListenerIsHeldAndHandedOver) {
    QVSLRA *ra = nullptr;
    ASSERT_EQ(qvsl_QVSLRA_create(&ra, 0, 3, "./"), 0);
    char url[1025], id[65];
    uint32_t expiry;
    ASSERT_EQ(qvsl_request_auth_start(ra, url, id, &expiry), 0);
    Sub phone(broker.tls(), "qvsl/p2p/consumerId@@@phone1", dir.file("phone.log"), 2, true);
    ASSERT_TRUE(phone.ready());
    send(kUserInfo);
    send(kAuth);
    ASSERT_TRUE(wait_for([&] { return phone.messages().size() >= 2; }, 10000));
    for (const auto &m : phone.messages()) EXPECT_NE(m.find(R"("error_code": 0,)"), std::string::npos) << m;
    EXPECT_TRUE(heard().empty());
    ASSERT_EQ(qvsl_set_auth_listener(id, on_auth), 0);
    ASSERT_EQ(qvsl_set_user_info_listener(id, on_user), 0);
    EXPECT_EQ(heard(), (std::vector<std::string>{"auth:QUJDRA==", "user:Ann,https://127.0.0.1/a.png"}));
    qvsl_QVSLRA_release(ra);
}

TEST_F(QrLogin, StopDuringASlowRequestSubscribesNothing) {
    stub.control(R"({"100": {"delay": 5}})");
    QVSLRA *ra = nullptr;
    ASSERT_EQ(qvsl_QVSLRA_create(&ra, 0, 3, "./"), 0);
    char url[1025], id[65];
    uint32_t expiry;
    auto start =
        std::async(std::launch::async, [&] { return qvsl_request_auth_start(ra, url, id, &expiry); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto t0 = Clock::now();
    qvsl_request_auth_stop(ra);
    ASSERT_EQ(start.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 1.0);
    EXPECT_EQ(start.get(), 20000);
    qvsl_QVSLRA_release(ra);
    EXPECT_EQ(broker.log().find("consumerId@@@"), std::string::npos) << "nothing subscribed";
}

TEST_F(QrLogin, OneRequestContextAtATime) {
    QVSLRA *a = nullptr, *b = nullptr;
    ASSERT_EQ(qvsl_QVSLRA_create(&a, 0, 3, "./"), 0);
    EXPECT_EQ(qvsl_QVSLRA_create(&b, 0, 3, "./"), -1);
    EXPECT_EQ(b, nullptr);
    qvsl_QVSLRA_release(a);
    ASSERT_EQ(qvsl_QVSLRA_create(&b, 0, 3, "./"), 0);
    qvsl_QVSLRA_release(b);
    EXPECT_EQ(qvsl_QVSLRA_create(&a, 0, 3, nullptr), -1);
    EXPECT_EQ(qvsl_set_auth_listener("id", on_auth), -1) << "no messaging context";
}

TEST_F(QrLogin, ScannerSideChecksTheWholeDeviceType) {
    struct Case {
        std::string url;
        int want;
        std::string cut;
    };
    const std::string base = stub.base() + "/sl/a?code=AB12&";
    const Case cases[] = {
        {base + "deviceType=3", 0, base},
        {base + "deviceType=31", -1, ""},
        {base + "deviceType=5", -1, ""},
        {base + "deviceType=", -1, ""},
        {stub.base() + "/sl/a?code=AB12", 0, stub.base() + "/sl/a?code=AB12"},
    };
    for (const auto &c : cases) {
        char out[1025];
        EXPECT_EQ(check_url_device_type(c.url.c_str(), out), c.want) << c.url;
        if (c.want == 0) {
            EXPECT_EQ(std::string(out), c.cut);
        }
    }
    int32_t info[2] = {-1, -1};
    EXPECT_EQ(qvsl_get_request_info((base + "deviceType=31").c_str(), info), -1);
    EXPECT_TRUE(stub.requests().empty()) << "nothing sent for another device type";
    ASSERT_EQ(qvsl_get_request_info((base + "deviceType=3").c_str(), info), 0);
    EXPECT_EQ(info[0], 0);
    EXPECT_EQ(info[1], 3);
    qvsl_user_info user{};
    std::snprintf(user.nick_name, sizeof user.nick_name, "Ann");
    std::snprintf(user.user_image, sizeof user.user_image, "https://127.0.0.1/a.png");
    EXPECT_EQ(qvsl_send_user_info((base + "deviceType=3").c_str(), &user), 0);
    EXPECT_EQ(qvsl_send_auth_code((base + "deviceType=3").c_str(), "QUJDRA=="), 0);
    const auto reqs = stub.requests();
    ASSERT_EQ(reqs.size(), 3u);
    for (const auto &r : reqs) EXPECT_NE(r.find(R"("ssig_ok": true)"), std::string::npos) << r;
    EXPECT_EQ(qvsl_send_auth_code(nullptr, "x"), -1);
}

}  // namespace
