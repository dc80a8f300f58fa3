// The cloud account client against the cloud stub over verified TLS on loopback.
#include "cloud/QVInterfaceManage.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSslCertificate>
#include <QTcpServer>
#include <QTemporaryDir>
#include <atomic>
#include <thread>

#include "cloud/cloud_test_util.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "test_util.h"

using namespace fwtest;

namespace {

class CloudClient : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_GT(stub.port(), 0) << "the cloud stub did not start"; }

    QString signIn() {
        auto user = std::make_shared<QVNasServiceUserInfo>();
        user->areaCode = QStringLiteral("+86");
        user->userName = QStringLiteral("13800000000");
        user->password = QStringLiteral("lantern-42");
        const Call login = run([&](auto done) { client.qvOAuth2ServiceLogin(user, done); });
        EXPECT_EQ(login.info->responseCode, 0) << login.info->responseMessage.toStdString();
        const QString refresh =
            login.info->responseData.toMap().value(QStringLiteral("refreshToken")).toString();
        const Call access = run([&](auto done) { client.qvOAuth2GetAccessToken(refresh, done); });
        EXPECT_EQ(access.info->responseCode, 0);
        return access.info->responseData.toMap().value(QStringLiteral("accessToken")).toString();
    }

    CloudStub stub;
    QVInterfaceManage client{configFor(stub.base())};
};

TEST_F(CloudClient, SignsInAndReadsTheAccount) {
    plat::LogCapture log;
    const QString ak = signIn();
    ASSERT_FALSE(ak.isEmpty());
    // "+86" goes out as "86".
    EXPECT_EQ(stub.events("request").first().value("body_json").toObject().value("area").toString(), "86");

    const Call list = run([&](auto done) { client.qvOAuth2ServiceGetBindListWithAkToken(ak, done); });
    ASSERT_EQ(list.info->responseCode, 0);
    const QVariantList devices = list.info->responseData.toList();
    ASSERT_EQ(devices.size(), 1);
    EXPECT_EQ(devices[0].toMap().value("deviceId").toString(), "DEV-0001");

    auto device = std::make_shared<QVNasDeviceInfo>();
    device->device_id = QStringLiteral("DEV-0001");  // no type: "tessera" is sent and written back
    const Call auth = run([&](auto done) { client.qvOAuth2ServiceGetDeviceAuthCode(device, ak, done); });
    EXPECT_EQ(auth.info->responseCode, 0);
    EXPECT_EQ(auth.info->responseData.toMap().value("auth_code").toString(), "AUTH-0001");
    EXPECT_EQ(stub.lastRequest().value("body_json").toObject().value("deviceType").toString(), "tessera");
    EXPECT_EQ(device->device_type, "tessera");

    const Call p2p = run([&](auto done) { client.qvOAuth2ServiceGetDeviceP2PInfo(device, ak, done); });
    EXPECT_EQ(p2p.info->responseData.toMap().value("dev_id").toString(), "QVP2P-0123456789abcdef");

    const Call bc =
        run([&](auto done) { client.qvOAuth2GetDeviceInfoByBC(QStringLiteral("BIND-0001"), done); });
    EXPECT_EQ(bc.info->responseCode, 0);
    EXPECT_EQ(bc.info->responseData.toMap().value("deviceId").toString(), "DEV-0001");

    device->device_bindCode = QStringLiteral("BIND-0001");
    EXPECT_EQ(
        run([&](auto done) { client.qvOAuth2ServiceUnbindDevice(device, ak, done); }).info->responseCode, 0);
    EXPECT_EQ(run([&](auto done) { client.qvOAuth2ServiceBindDevice(device, ak, done); }).info->responseCode,
              0);

    EXPECT_EQ(run([&](auto done) {
                  client.qvOAuth2ServiceUpdateUserNickName(QStringLiteral("Ann"), ak, done);
              }).info->responseCode,
              0);
    const Call user = run([&](auto done) { client.qvOAuth2ServiceGetUserInfoWithAkToken(ak, done); });
    EXPECT_EQ(user.info->responseData.toMap().value("nickName").toString(), "Ann");
    EXPECT_EQ(run([&](auto done) {
                  client.qvOAuth2ServiceUpdateUserHeaderImagePath(QStringLiteral("/i.jpg"), ak, done);
              }).info->responseCode,
              0);
    EXPECT_EQ(stub.lastRequest().value("body_json").toObject().value("uesrImage").toString(), "/i.jpg");

    static const char kImage[] = "\xff\xd8\xff\xe0 jpeg bytes \r\n--AaB03x \x00\x01";
    const QByteArray image(kImage, sizeof kImage - 1);
    const Call upload = run([&](auto done) { client.qvOAuth2ServiceUploadUserHeaderImage(image, ak, done); });
    EXPECT_EQ(upload.info->responseCode, 0);
    const QJsonObject up = stub.lastRequest();
    EXPECT_EQ(up.value("content_type").toString(), "multipart/form-data; boundary=AaB03x");
    EXPECT_EQ(
        QByteArray::fromBase64(up.value("body_b64").toString().toLatin1()),
        QByteArray("--AaB03x\r\nContent-Disposition: form-data; name=\"pic\"; filename=\"quiln.png\"\r\n"
                   "Content-Type: image/png\r\n\r\n") +
            image + QByteArray("\r\n--AaB03x--"));

    const Call share = run([&](auto done) { client.qvOAuth2GetUserShareInfoByAkToken(ak, done); });
    EXPECT_EQ(share.info->responseData.toMap().value("maxUseFlow").toLongLong(), 10737418240LL);

    // Requests share kept-alive connections.
    EXPECT_LT(stub.events("handshake").size(), stub.events("request").size());
    // No secret reaches the log.
    const QString text = log.lines().join('\n');
    for (const QString &secret : {QStringLiteral("lantern-42"), ak, QStringLiteral("AUTH-0001"),
                                  QStringLiteral("ssig"), QStringLiteral("ak="), QStringLiteral("rt-")}) {
        EXPECT_FALSE(text.contains(secret)) << secret.toStdString();
    }
    EXPECT_FALSE(text.isEmpty());
}

TEST_F(CloudClient, QueryValuesArePercentEncodedAndSignedAsSent) {
    const Call bad = run(
        [&](auto done) { client.qvOAuth2ServiceGetBindListWithAkToken(QStringLiteral("a&ak=b#c"), done); });
    EXPECT_EQ(bad.info->responseCode, 210011);
    EXPECT_EQ(stub.lastRequest().value("query").toObject().value("ak").toString(), "a&ak=b#c");

    // The signature covers the encoded text: the stub verifies it and only then misses the bind code.
    const Call bc = run([&](auto done) { client.qvOAuth2GetDeviceInfoByBC(QStringLiteral("x+y"), done); });
    EXPECT_EQ(bc.info->responseCode, 220011);
    EXPECT_EQ(stub.lastRequest().value("query").toObject().value("BC").toString(), "x+y");
}

struct ReplyCase {
    const char *name;
    const char *fault;  // the script entry for /api/v1/getUserInfo
    int64_t code;
};
const ReplyCase kReplyCases[] = {
    {"token", R"({"error_code": 10011})", 210011},
    {"user", R"({"error_code": 20001})", 220001},
    {"password", R"({"error_code": 20003})", 220003},
    {"device", R"({"error_code": 20011})", 220011},
    {"negative", R"({"error_code": -7})", -7},
    {"missing code", R"({"error_code": "missing"})", 229999},
    {"array", R"({"body": "array"})", 229999},
    {"not json", R"({"body": "nonjson"})", 229999},
    {"empty", R"({"body": "empty"})", 229999},
    {"500 with code", R"({"status": 500, "error_code": 3})", 200003},
    {"500 without code", R"({"status": 500, "error_code": "missing"})", 229999},
    {"closed", R"({"close": true})", 229999},
};

TEST_F(CloudClient, RepliesMapToResponseCodes) {
    const QString ak = signIn();
    for (const auto &c : kReplyCases) {
        SCOPED_TRACE(c.name);
        stub.script({{QStringLiteral("/api/v1/getUserInfo"), QJsonDocument::fromJson(c.fault).object()}});
        const Call r = run([&](auto done) { client.qvOAuth2ServiceGetUserInfoWithAkToken(ak, done); });
        EXPECT_EQ(r.completions, 1);
        ASSERT_TRUE(r.info);
        EXPECT_EQ(r.info->responseCode, c.code);
        EXPECT_EQ(r.info->clientCommand, 0);
        if (c.code == 200003) {
            EXPECT_EQ(r.info->responseMessage, "scripted");
        }
    }
}

TEST_F(CloudClient, TimeOutAndRefusalAnswerNoReply) {
    QVInterfaceManage impatient(configFor(stub.base(), 300));
    stub.script({{QStringLiteral("/api/v1/getBindList"), QJsonObject{{"delay_ms", 3000}}}});
    const Call slow = run([&](auto done) { impatient.qvOAuth2ServiceGetBindListWithAkToken("x", done); });
    EXPECT_EQ(slow.completions, 1);
    EXPECT_EQ(slow.info->responseCode, 229999);

    QTcpServer probe;  // a port that was free a moment ago: nothing listens on it
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const int port = probe.serverPort();
    probe.close();
    QVInterfaceManage nobody(configFor(QStringLiteral("https://127.0.0.1:%1").arg(port)));
    const Call refused = run([&](auto done) { nobody.qvOAuth2GetAccessToken("r", done); });
    EXPECT_EQ(refused.completions, 1);
    EXPECT_EQ(refused.info->responseCode, 229999);
}

TEST_F(CloudClient, CompletesOnceOnMainFromAnyThread) {
    std::atomic<int> completions{0};
    std::atomic<bool> allOnMain{true};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            client.qvOAuth2GetDeviceInfoByBC(
                QStringLiteral("BIND-0001"), [&](const QVNasResponseInfoPtr &info) {
                    allOnMain = allOnMain && plat::isMainThread() && info->responseCode == 0;
                    ++completions;
                });
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_TRUE(fwtest::spinUntil([&] { return completions == 8; }, 30000));
    fwtest::spinUntil([] { return false; }, 200);
    EXPECT_EQ(completions, 8);
    EXPECT_TRUE(allOnMain);
}

TEST(CloudClientSignature, StubWithAnotherKeyRefusesTheSignature) {
    CloudStub stub("good", {QStringLiteral("--key"), QStringLiteral("0000000000000000000000000000000")});
    ASSERT_GT(stub.port(), 0);
    QVInterfaceManage client(configFor(stub.base()));
    EXPECT_EQ(run([&](auto done) { client.qvOAuth2GetAccessToken("r", done); }).info->responseCode, 210001);
    EXPECT_EQ(run([&](auto done) { client.qvOAuth2GetDeviceInfoByBC("BIND-0001", done); }).info->responseCode,
              210001);
}

TEST(CloudClientTls, UntrustedLeavesAnswerNoReplyAndSendNothing) {
    for (const char *leaf : {"stray", "wrong-name"}) {
        SCOPED_TRACE(leaf);
        CloudStub stub(leaf);
        ASSERT_GT(stub.port(), 0);
        QVInterfaceManage client(configFor(stub.base()));
        const Call r =
            run([&](auto done) { client.qvOAuth2GetDeviceInfoByBC(QStringLiteral("BIND-0001"), done); });
        EXPECT_EQ(r.completions, 1);
        EXPECT_EQ(r.info->responseCode, 229999);
        EXPECT_TRUE(stub.events("request").isEmpty());
    }
    // Without the injected root, the system CAs alone do not trust the test chain either.
    CloudStub stub;
    QVInterfaceManage::Config plain;
    plain.oauthBase = plain.accountBase = stub.base();
    QVInterfaceManage client(plain);
    EXPECT_EQ(run([&](auto done) { client.qvOAuth2GetAccessToken("r", done); }).info->responseCode, 229999);
    EXPECT_TRUE(stub.events("request").isEmpty());
}

}  // namespace

namespace {

TEST(CloudReplyBody, OnlyAWholeErrorCodeIsAnAnswer) {
    struct Case {
        const char *body;
        int64_t code;
    };
    const Case cases[] = {
        {R"({"error_code": 0, "data": [1]})", 0},
        {R"({"error_code": 12})", 200012},
        {R"({"error_code": -12})", -12},
        {R"({"error_code": 9007199254740992})", 200000 + 9007199254740992LL},
        {R"({"error_code": 1e300})", 229999},
        {R"({"error_code": -1e300})", 229999},
        {R"({"error_code": 2.5})", 229999},
        {R"({"error_code": "7"})", 229999},
        {R"({"error_code": null})", 229999},
        {R"("fragment")", 229999},
        {"", 229999},
        {"{\"error_code\": 0", 229999},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.body);
        const QVNasResponseInfoPtr info = QVInterfaceManage::replyResponseInfo(QByteArray(c.body));
        ASSERT_TRUE(info);
        EXPECT_EQ(info->responseCode, c.code);
        EXPECT_EQ(info->clientCommand, 0);
    }
}

}  // namespace
