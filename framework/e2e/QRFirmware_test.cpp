// QR-code login and firmware end to end on the real SDK. The QR login runs against the service-login HTTPS
// stub and mosquitto's TLS listener, a scripted phone (mosquitto_pub / mosquitto_sub) sending the user info
// and the auth code. The firmware check, update and follow-up run after a device login to an emulated
// device whose firmware script publishes its verdicts on mosquitto, at a time scale shared with the client.
// Both run at debug level and search the captured logs for every secret. The firmware part runs in a
// network namespace of its own (the service binds the discovery ports): ctest framework_qr_firmware_e2e.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <vector>

#include "base/qv_log.h"
#include "broker/broker_test_util.h"
#include "cloud/CloudSecrets.h"
#include "firmware.h"
#include "link/sleeper.h"
#include "messaging/mqtt_testbed_test.h"
#include "messaging/qvsl.h"
#include "messaging/qvsl_http.h"
#include "model/QVNasDeviceStatusInfo.h"
#include "model/QVNasDeviceUserInfo.h"
#include "platform/Log.h"
#include "platform/NetworkMonitor.h"
#include "platform/SecretStore.h"
#include "runtime/ppc_service.h"
#include "service/QVNasFWOTAService.h"
#include "session_fixture.h"

namespace fs = std::filesystem;
using namespace fwtest;
using namespace fwe2e;

namespace {

// Everything written to standard output and error while it lives goes to a file (the SDK's log).
class CaptureOutput {
  public:
    explicit CaptureOutput(std::string file) : file_(std::move(file)) {
        fflush(stdout);
        fflush(stderr);
        out_ = dup(1);
        err_ = dup(2);
        const int fd = open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
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
        return mqtt_tb::read_file(file_);
    }
    ~CaptureOutput() { finish(); }

  private:
    std::string file_;
    int out_ = -1, err_ = -1;
};

// The service-login stub with this client's own application id and signing key.
class ClientLoginStub {
  public:
    ClientLoginStub() {
        char tmpl[] = "/tmp/qvstub-XXXXXX";
        dir_ = mkdtemp(tmpl);
        proc_.start({"/usr/bin/python3", QV_TESTBED_DIR "/login_stub.py", dir_, cloud::appId().toStdString(),
                     cloud::signingKey().toStdString(), mqtt_tb::cert("server-chain.pem"),
                     mqtt_tb::cert("server.key")},
                    dir_ + "/stub.log");
        if (mqtt_tb::wait_for([this] { return fs::exists(dir_ + "/port"); }, 15000))
            port_ = std::stoi(mqtt_tb::read_file(dir_ + "/port"));
    }
    ~ClientLoginStub() {
        proc_.stop();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    bool ready() const { return port_ > 0; }
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string requests() const { return mqtt_tb::read_file(dir_ + "/requests.jsonl"); }
    std::string output() const { return proc_.output(); }

  private:
    std::string dir_;
    int port_ = 0;
    mqtt_tb::Proc proc_;
};

std::string phoneRequest(const std::string &services) {
    return R"({"msgType":"get","fromId":"phone1","fromType":2,"msgId":1765400000123,"msgDate":1765400000123,"services":)" +
           services + "}";
}

constexpr double kScale = 0.02;  // a 2 s pass takes 40 ms

struct Fractions {
    std::mutex mu;
    std::vector<double> seen;
    std::atomic<bool> onMain{false};
    QVNasFirmwareProgressBlock block() {
        return [this](const QVNasRequestInfoPtr &, double p) {
            if (plat::isMainThread()) onMain = true;
            std::lock_guard<std::mutex> l(mu);
            seen.push_back(p);
        };
    }
    std::vector<double> get() {
        std::lock_guard<std::mutex> l(mu);
        return seen;
    }
};

// A running service on the real SDK, logged in to an emulated device at 127.0.0.2, with mosquitto as the
// service's broker.
class QRFirmwareEndToEnd : public testing::Test {
  protected:
    void SetUp() override {
        if (const auto why = whyNoNamespace()) GTEST_SKIP() << "ctest framework_qr_firmware_e2e: " << *why;
        root = testing::TempDir() + "fw_qrfw_" + std::to_string(getpid());
        fs::create_directories(root);
        qv::set_log_enabled(true);
        qv_set_time_scale(kScale);
        mosquitto = std::make_unique<mqtt_tb::Broker>();
        ASSERT_TRUE(mosquitto->ready()) << mosquitto->log();
        ppc_set_broker_address(mqtt_tb::plain_uri(mosquitto->plain()).c_str());
        plat::SecretStore::setShared(std::make_shared<plat::InMemorySecretStore>());
        dev = emulate(root, "127.0.0.2", "BIND-0002");
        qvemu::FirmwareScript script;
        script.broker_port = mosquitto->plain();
        script.time_scale = kScale;
        script.verdict = 1;
        script.progress = {20, 40, 65};
        fw = std::make_shared<qvemu::FirmwareState>(script);
        qvemu::install_firmware_script(*dev.dev, fw);
        ASSERT_TRUE(dev.dev->start()) << dev.dev->last_error();
        bridge().setDeviceSdk(nullptr);  // the real SDK
        framework = std::make_unique<TestFramework>();
        monitorBefore = plat::NetworkMonitor::shared().status();
        plat::NetworkMonitor::shared().setStatusForTests(plat::NetworkMonitor::Status::Local);
        auto a = std::make_shared<Answer>();
        framework->qvSdkStartService(a->completion());
        ASSERT_TRUE(a->wait(15000));
        ASSERT_EQ(a->get()->responseCode, 0);
        started = true;
        ASSERT_EQ(ask([&](auto c) {
                      return broker().qvNasLoginDeviceWithAuthCode(kAuth, "127.0.0.2", c);
                  })->responseCode,
                  0);
    }
    void TearDown() override {
        if (started) {
            EXPECT_EQ(ask([&](auto c) { return broker().qvNasLogoutDeviceWithCompletion(c); })->responseCode,
                      0);
            auto s = std::make_shared<Answer>();
            framework->qvSdkStopService(s->completion());
            EXPECT_TRUE(s->wait(15000));
            plat::NetworkMonitor::shared().setStatusForTests(monitorBefore);
        }
        if (fw) fw->stop();
        qv_set_time_scale(1.0);
        if (dev.dev) finish({dev.dev.get()}, root);
    }

    std::string root;
    std::unique_ptr<mqtt_tb::Broker> mosquitto;
    EmulatedDevice dev;
    std::shared_ptr<qvemu::FirmwareState> fw;
    std::unique_ptr<TestFramework> framework;
    plat::NetworkMonitor::Status monitorBefore = plat::NetworkMonitor::Status::Unknown;
    bool started = false;
};

TEST_F(QRFirmwareEndToEnd, QRLoginHandsTheDecodedTokenAndTheUserToTheirHandlersOnMainOnce) {
    mqtt_tb::TempDir dir;
    ASSERT_FALSE(fs::exists(dir.file("notimeout")));
    mqtt_tb::Broker &mosquitto = *this->mosquitto;
    ClientLoginStub stub;
    ASSERT_TRUE(stub.ready()) << stub.output();
    qvsl_http_set_service_host(stub.host().c_str());
    qvsl_mqtt_set_broker_uri(mqtt_tb::tls_uri(mosquitto.tls()).c_str());
    plat::LogCapture log;
    auto capture = std::make_unique<CaptureOutput>(dir.file("sdk-output.txt"));

    auto &b = broker();
    EXPECT_EQ(ask([&](auto d) { return b.qvNasQRCodeServiceInitCompletion(d); })->responseCode, 0);
    EXPECT_EQ(ask([&](auto d) { return b.qvNasQRCodeServiceCreateCompletion(d); })->responseCode, 0);
    const auto start = ask([&](auto d) { return b.qvNasQRCodeServiceStartRequestCompletion(d); });
    ASSERT_TRUE(start);
    ASSERT_EQ(start->responseCode, 0) << stub.requests();
    const QVariantMap data = start->responseData.toMap();
    const QString authId = data.value("authId").toString();
    EXPECT_EQ(authId, "auth0123456789");
    EXPECT_TRUE(data.value("authUrl").toString().endsWith("deviceType=3"));
    EXPECT_EQ(data.value("expectTime").toInt(), 120);

    // The scanning side against the same service: the request info, the user info, the auth code.
    const QString authUrl = data.value("authUrl").toString();
    const auto info = ask([&](auto d) { return b.qvNasQRCodeServiceGetRequestInfo(authUrl, d); });
    EXPECT_EQ(info->responseCode, 0);
    EXPECT_EQ(info->responseData.toMap().value("platform").toInt(), 0);
    EXPECT_EQ(info->responseData.toMap().value("os").toInt(), 3);
    EXPECT_EQ(ask([&](auto d) {
                  return b.qvNasQRCodeServiceSendUserInfo("Ann", "https://127.0.0.1/a.png", authUrl, d);
              })->responseCode,
              0);
    EXPECT_EQ(ask([&](auto d) { return b.qvNasQRCodeServiceSendAuthCode("ABCD", authUrl, d); })->responseCode,
              0);
    EXPECT_NE(stub.requests().find(R"(\"authCode\": \"QUJDRA==\")"), std::string::npos) << stub.requests();
    EXPECT_EQ(stub.requests().find(R"("ssig_ok": false)"), std::string::npos) << stub.requests();

    std::atomic<int> tokens{0}, users{0};
    std::atomic<bool> allOnMain{true};
    QString token, nick, image;
    int64_t expiry = -1;
    EXPECT_EQ(ask([&](auto d) {
                  return b.qvNasqvQRCodeServiceOpenUserInfoListenerWithAuthId(
                      authId,
                      [&](const QVNasServiceUserInfoPtr &u) {
                          allOnMain = allOnMain && plat::isMainThread();
                          nick = u->nickname;
                          image = u->uesrImage;
                          ++users;
                      },
                      d);
              })->responseCode,
              0);
    EXPECT_EQ(ask([&](auto d) {
                  return b.qvNasqvQRCodeServiceOpenAuthCodeListenerWithAuthId(
                      authId,
                      [&](const QString &t, int64_t e) {
                          allOnMain = allOnMain && plat::isMainThread();
                          token = t;
                          expiry = e;
                          ++tokens;
                      },
                      d);
              })->responseCode,
              0);

    mqtt_tb::Sub phone(mosquitto.tls(), "qvsl/p2p/consumerId@@@phone1", dir.file("phone.log"), 2, true);
    ASSERT_TRUE(phone.ready());
    const std::string topic = "qvsl/p2p/consumerId@@@" + authId.toStdString();
    ASSERT_EQ(
        mqtt_tb::publish(
            mosquitto.tls(), topic,
            phoneRequest(
                R"("{\"qvmsg_sl_user_info\":{\"nick_name\":\"Ann\",\"user_image\":\"https://127.0.0.1/a.png\"}}")"),
            true),
        0);
    ASSERT_EQ(mqtt_tb::publish(mosquitto.tls(), topic,
                               phoneRequest(R"("{\"qvmsg_sl_auth\":{\"auth_code\":\"QUJDRA==\"}}")"), true),
              0);
    ASSERT_TRUE(spinUntil([&] { return tokens.load() > 0 && users.load() > 0; }, 15000));
    ASSERT_TRUE(mqtt_tb::wait_for([&] { return phone.messages().size() >= 2; }, 10000));
    spinUntil([] { return false; }, 300);  // nothing more arrives
    EXPECT_EQ(tokens.load(), 1);
    EXPECT_EQ(users.load(), 1);
    EXPECT_TRUE(allOnMain);
    EXPECT_EQ(token, "ABCD");
    EXPECT_EQ(expiry, 0);
    EXPECT_EQ(nick, "Ann");
    EXPECT_EQ(image, "https://127.0.0.1/a.png");
    for (const auto &m : phone.messages()) EXPECT_NE(m.find(R"("fromType": 1)"), std::string::npos) << m;

    EXPECT_EQ(ask([&](auto d) { return b.qvNasqvQRCodeServiceReleaseCompletion(d); })->responseCode, 0);
    EXPECT_EQ(ask([&](auto d) { return b.qvNasQRCodeServiceStartRequestCompletion(d); })->responseCode, -1);

    const std::string sdkLog = capture->finish();
    capture.reset();
    qvsl_http_set_service_host(nullptr);
    qvsl_mqtt_set_broker_uri(nullptr);
    ASSERT_NE(sdkLog.find("QV_CLIENT"), std::string::npos) << "the SDK's log was captured";
    const std::string fwLog = log.lines().join('\n').toStdString();
    ASSERT_FALSE(fwLog.empty());
    for (const std::string secret : {"QUJDRA==", "ABCD", "Ann", "a.png", "code=AB12"}) {
        EXPECT_EQ(sdkLog.find(secret), std::string::npos) << "the SDK logged " << secret;
        EXPECT_EQ(fwLog.find(secret), std::string::npos) << "the framework logged " << secret;
    }
}

TEST_F(QRFirmwareEndToEnd, FirmwareCheckUpdateAndFollowUpAfterADeviceLogin) {
    {
        std::lock_guard<std::mutex> l(dev.admin->mu);  // the check (164)
        dev.admin->fw_status = 1;
        dev.admin->fw_force = 1;
        dev.admin->fw_version = "2.5.0";
    }
    QVNasFWOTAService service;
    const auto check =
        ask([&](auto c) { return service.qvNasHasLatestFWVersionWithLanguage("en", "127.0.0.2", c); });
    ASSERT_TRUE(check);
    EXPECT_EQ(check->responseCode, 110284);
    const auto ota = check->responseData.value<QVNasDeviceOtaInfoPtr>();
    ASSERT_TRUE(ota);
    EXPECT_TRUE(ota->isNeedForceUpdate);
    EXPECT_TRUE(ota->isHaveNewVersion);
    EXPECT_EQ(ota->version(), "2.5.0");
    EXPECT_EQ(ota->product(), "QV-NAS");

    // The update: its percentages on its own callback, on the worker, the last one 100.
    Fractions update;
    auto a = std::make_shared<Answer>();
    service.qvNasSetUpgradeWithIp("127.0.0.2", update.block(), a->completion());
    ASSERT_TRUE(a->wait(60000));
    EXPECT_EQ(a->get()->responseCode, 0);
    const auto percents = update.get();
    ASSERT_FALSE(percents.empty());
    EXPECT_DOUBLE_EQ(percents.back(), 100.0);
    for (size_t i = 1; i < percents.size(); ++i) EXPECT_GE(percents[i], percents[i - 1]);
    EXPECT_FALSE(update.onMain);

    // Nothing running: the follow-up answers 0 at once, without a report.
    fw->update([](qvemu::FirmwareScript &s) { s.ota_status = 0; });
    Fractions idle;
    EXPECT_EQ(
        ask([&](auto c) { return service.qvNasListenWithIp("127.0.0.2", idle.block(), c); })->responseCode,
        0);
    EXPECT_TRUE(idle.get().empty());

    // A running update followed to its end: fractions up to 1.0.
    fw->update([](qvemu::FirmwareScript &s) {
        s.ota_status = 1;
        s.ota_process = 10;
        s.follow_messages = {qvemu::progress_services(2, 40)};
        s.follow_verdict = 1;
    });
    Fractions follow;
    auto l = std::make_shared<Answer>();
    service.qvNasListenWithIp("127.0.0.2", follow.block(), l->completion());
    ASSERT_TRUE(l->wait(60000));
    EXPECT_EQ(l->get()->responseCode, 0);
    const auto fractions = follow.get();
    ASSERT_FALSE(fractions.empty());
    EXPECT_NEAR(fractions.back(), 1.0, 1e-6);
    for (double f : fractions) EXPECT_LE(f, 1.0 + 1e-6);
    EXPECT_FALSE(follow.onMain);
}

}  // namespace
