// The account and user services against the cloud stub (real TLS, the build's test root injected): the
// sign-in road with the access token the user service holds, the account pages, the upload picture's
// encoding rule, and nothing secret in the log.
#include "service/QVNasAccountService.h"

#include <gtest/gtest.h>

#include <QUrlQuery>

#include "cloud/cloud_test_util.h"
#include "platform/Clock.h"
#include "platform/Log.h"
#include "service/QVNasUserService.h"

using namespace fwtest;

namespace {

class CloudServices : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_GT(stub.port(), 0) << "the cloud stub did not start"; }

    QVNasResponseInfoPtr call(const std::function<void(QVNasCompletionBlock)> &op) {
        const Call c = run([&](QVInterfaceManage::Completion done) { op(std::move(done)); });
        EXPECT_EQ(c.completions, 1);
        EXPECT_TRUE(c.onMain);
        return c.info ? c.info : std::make_shared<QVNasResponseInfo>();
    }
    // Phone and password to a refresh token, that to an access token.
    QString signIn(const QString &password = QStringLiteral("lantern-42")) {
        auto user = std::make_shared<QVNasServiceUserInfo>();
        user->areaCode = QStringLiteral("+86");
        user->userName = QStringLiteral("13800000000");
        user->password = password;
        const auto refresh = call([&](auto d) { account.qvNasGetRefreshTokenByServiceUserInfo(user, d); });
        if (refresh->responseCode != 0) return QString::number(refresh->responseCode);
        const QString rt = refresh->responseData.toMap().value(QStringLiteral("refreshToken")).toString();
        const auto access = call([&](auto d) { account.qvNasGetAccessTokenByRefreshToken(rt, d); });
        EXPECT_EQ(access->responseCode, 0);
        return access->responseData.toMap().value(QStringLiteral("accessToken")).toString();
    }

    CloudStub stub;
    QVInterfaceManage client{configFor(stub.base())};
    QVNasAccountService account{&client};
    QVNasUserService user{QString(), &client};
};

TEST_F(CloudServices, SignInThenTheUserServiceCallsWithItsToken) {
    plat::LogCapture log;
    const QString ak = signIn();
    ASSERT_FALSE(ak.isEmpty());
    user.setAccessToken(ak);

    const auto info = call([&](auto d) { user.qvNasGetUserInfo(d); });
    EXPECT_EQ(info->responseCode, 0);
    EXPECT_EQ(info->clientCommand, 0);
    EXPECT_EQ(info->responseData.toMap().value("userId").toString(), "user-1");
    EXPECT_EQ(stub.lastRequest().value("query").toObject().value("ak").toString(), ak);

    const auto list = call([&](auto d) { user.qvNasGetBindDeviceInfoList(d); });
    ASSERT_EQ(list->responseData.toList().size(), 1);
    EXPECT_EQ(list->responseData.toList()[0].toMap().value("deviceId").toString(), "DEV-0001");

    EXPECT_EQ(call([&](auto d) { user.qvNasSetNickName(QStringLiteral("Ann"), d); })->responseCode, 0);
    EXPECT_EQ(call([&](auto d) { user.qvNasGetUserInfo(d); })->responseData.toMap().value("nickName"), "Ann");
    EXPECT_EQ(call([&](auto d) { user.qvNasSetUserImagePath(QStringLiteral("/p.jpg"), d); })->responseCode,
              0);
    EXPECT_EQ(stub.lastRequest().value("body_json").toObject().value("uesrImage").toString(), "/p.jpg");
    EXPECT_EQ(call([&](auto d) { user.qvNasUploadImage(QByteArray("\xff\xd8jpeg"), d); })->responseCode, 0);
    EXPECT_EQ(call([&](auto d) { user.qvNasGetUserShareInfo(d); })->responseData.toMap().value("curUseFlow"),
              1048576);

    auto device = std::make_shared<QVNasDeviceInfo>();
    device->device_id = QStringLiteral("DEV-0001");
    EXPECT_EQ(call([&](auto d) { user.qvNasUnbindDevice(device, d); })->responseCode, 0);
    EXPECT_EQ(device->device_type, "tessera");
    EXPECT_EQ(call([&](auto d) { user.qvNasGetBindDeviceInfoList(d); })->responseData.toList().size(), 0);

    // Nothing secret reaches the log: password, tokens, signature, auth code.
    const QString text = log.lines().join('\n');
    for (const QString &secret : {QStringLiteral("lantern-42"), ak, QStringLiteral("ssig"),
                                  QStringLiteral("ak="), QStringLiteral("rt-"), QStringLiteral("AUTH-0001")})
        EXPECT_FALSE(text.contains(secret)) << secret.toStdString();
}

struct CloudFailure {
    const char *name;
    const char *password;
    const char *userInfoFault;  // script entry for /api/v1/getUserInfo ("" none)
    int64_t signInCode;         // 0: signs in, and then getUserInfo answers `userInfoCode`
    int64_t userInfoCode;
};
const CloudFailure kFailures[] = {
    {"wrong password", "nope", "", 220003, 0},
    {"expired token", "lantern-42", R"({"error_code": 10011})", 0, 210011},
    {"proxy page", "lantern-42", R"({"status": 500, "error_code": "missing"})", 0, 229999},
};

TEST_F(CloudServices, ServiceAnswersPassThroughUnchanged) {
    for (const auto &c : kFailures) {
        SCOPED_TRACE(c.name);
        stub.script({});
        if (*c.userInfoFault)
            stub.script(
                {{QStringLiteral("/api/v1/getUserInfo"), QJsonDocument::fromJson(c.userInfoFault).object()}});
        const QString ak = signIn(QString::fromLatin1(c.password));
        if (c.signInCode != 0) {
            EXPECT_EQ(ak, QString::number(c.signInCode));
            continue;
        }
        user.setAccessToken(ak);
        EXPECT_EQ(call([&](auto d) { user.qvNasGetUserInfo(d); })->responseCode, c.userInfoCode);
    }
}

TEST_F(CloudServices, AccountPagesAreHttpsAndDifferOnlyInTheirTime) {
    plat::Clock::setFakeMs(1765432100123);
    const QUrl first = account.qvNasGetRegisterUrl();
    plat::Clock::advanceFakeMs(1000);
    const QUrl second = account.qvNasGetRegisterUrl();
    const QUrl reset = account.qvNasGetResetUrl();
    plat::Clock::clearFake();
    EXPECT_EQ(first.scheme(), "https");
    EXPECT_EQ(first.host(), "127.0.0.1");
    EXPECT_EQ(first.path(), "/api/mobile/register.html");
    EXPECT_EQ(first.query(), "1765432100.123000");
    EXPECT_EQ(second.query(), "1765432101.123000");
    EXPECT_EQ(first.adjusted(QUrl::RemoveQuery), second.adjusted(QUrl::RemoveQuery));
    EXPECT_EQ(reset.scheme(), "https");
    EXPECT_EQ(reset.path(), "/api/mobile/reset.html");

    // A base configured over plain HTTP still gives the pages over HTTPS.
    QVInterfaceManage::Config plain = configFor(QStringLiteral("http://cloud.invalid"));
    QVInterfaceManage plainClient(plain);
    EXPECT_EQ(QVNasAccountService(&plainClient).qvNasGetRegisterUrl().scheme(), "https");
}

TEST(UploadPicture, EncodedAgainWhenOverOneMebibyte) {
    struct Case {
        qsizetype firstSize;
        QList<double> qualities;
    };
    const Case cases[] = {
        {1048576, {0.9}},
        {2097152, {0.9, 0.5}},
        {4194304, {0.9, 0.25}},
    };
    for (const auto &c : cases) {
        QList<double> asked;
        const QByteArray jpeg = QVNasUserService::qvNasJpegForUpload([&](double q) {
            asked.append(q);
            return QByteArray(asked.size() == 1 ? c.firstSize : 1000, 'j');
        });
        EXPECT_EQ(asked, c.qualities) << c.firstSize;
        EXPECT_EQ(jpeg.size(), c.qualities.size() == 1 ? c.firstSize : 1000);
    }
}

}  // namespace
