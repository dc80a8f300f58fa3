// The sign-in and connect sequences on the scripted framework: one table per step.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QStringList>
#include <optional>

#include "QVNotifications.h"
#include "model/QVNasDeviceStatusInfo.h"
#include "model/QVNasDeviceUserInfo.h"
#include "platform/Clock.h"
#include "platform/NotificationCenter.h"
#include "session/QVSingletonData.h"
#include "session/QVSingletonInterfaceManage.h"
#include "testing/FakeFramework.h"
#include "testing/app_test_util.h"
#include "tools/QVAccessData.h"
#include "tools/QVPrivateTools.h"

namespace {

struct RecordingBox : QVProgressBoxHost {
    QStringList events;
    void removeBox() override { events << "remove"; }
    void showBox(QObject *, bool, const QString &text, Mode, int) override { events << "show:" + text; }
    void finishBox(const QString &text, int) override { events << "finish:" + text; }
};

QVariantMap map(std::initializer_list<std::pair<const char *, QVariant>> kv) {
    QVariantMap m;
    for (const auto &[k, v] : kv) m.insert(QString::fromLatin1(k), v);
    return m;
}

QVNasDeviceInfoPtr device(const char *id = "QV7F3A21") {
    auto d = std::make_shared<QVNasDeviceInfo>();
    d->device_id = QString::fromLatin1(id);
    d->dev_name = QStringLiteral("Living-room NAS");
    d->ip = QStringLiteral("127.0.0.2");
    return d;
}

QVariant status(int64_t s) {
    auto st = std::make_shared<QVNasDeviceStatusInfo>();
    st->deviceStatus = s;
    return QVariant::fromValue(st);
}

QVariant users(std::initializer_list<std::pair<const char *, int64_t>> list) {
    QList<QVNasDeviceUserInfoPtr> out;
    for (const auto &[name, id] : list) {
        auto u = std::make_shared<QVNasDeviceUserInfo>();
        u->nick_name = QString::fromUtf8(name);
        u->user_id = id;
        out.append(u);
    }
    return QVariant::fromValue(out);
}

class Sequence : public ::testing::Test {
  protected:
    void SetUp() override {
        data.resetForTests();
        QVAccessData::saveServiceUserInfo(nullptr);
        QVAccessData::saveIsAutoLoginService(true);
        fake.setStarted(true);
        QVSingletonInterfaceManage::sharedManager().setFramework(&fake);
        QVPrivateTools::setProgressBoxHost(&box);
        data.isStartSDKService = true;
        data.setModuleCompletionHandler([this](QVModuleCompletionCode c) { codes.append(c); });
    }
    void TearDown() override {
        fake.releaseAllHeld();
        apptest::drain();
        QVPrivateTools::setProgressBoxHost(nullptr);
        QVSingletonInterfaceManage::sharedManager().setFramework(nullptr);
        data.resetForTests();
        plat::Clock::clearFake();
    }
    // Waits for the next code; nullopt when none came.
    std::optional<QVModuleCompletionCode> nextCode() {
        const int want = seen + 1;
        if (!apptest::spinUntil([&] { return codes.size() >= want; })) return std::nullopt;
        apptest::drain();
        return codes.at(seen++);
    }
    // A signed-in account, ready for the device steps.
    void signedIn() {
        data.userInfo = std::make_shared<QVUserInfo>();
        data.userInfo->userName = QStringLiteral("13800000000");
        data.userInfo->setAccessToken(QStringLiteral("access-abc"));
    }
    FakeFramework fake;
    RecordingBox box;
    QVSingletonData &data = QVSingletonData::sharedManager();
    QList<QVModuleCompletionCode> codes;
    int seen = 0;
};

// ---- cloud sign-in ----

struct CloudRow {
    int64_t refreshCode;
    bool refreshData;
    int64_t accessCode;
    bool accessData;
    QVModuleCompletionCode expected;
};

class CloudAnswers : public Sequence, public ::testing::WithParamInterface<CloudRow> {};

TEST_P(CloudAnswers, BecomeCodes) {
    const CloudRow r = GetParam();
    FakeAnswer refresh = FakeAnswer().withCode(r.refreshCode);
    if (r.refreshData) refresh = refresh.withData(map({{"refreshToken", "refresh-xyz"}, {"expires", 3600}}));
    fake.script("qvNasGetRefreshTokenByServiceUserInfo", refresh);
    FakeAnswer access = FakeAnswer().withCode(r.accessCode);
    if (r.accessData) access = access.withData(map({{"accessToken", "access-abc"}, {"exprect", 7200}}));
    fake.script("qvNasGetAccessTokenByRefreshToken", access);
    data.serviceLogin("86", "13800000000", "pw");
    EXPECT_EQ(nextCode(), r.expected);
    EXPECT_EQ(fake.callCount("qvNasGetAccessTokenByRefreshToken"), r.refreshCode == 0 ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CloudAnswers,
    ::testing::Values(CloudRow{210011, true, 0, true, 2}, CloudRow{220003, true, 0, true, 2},
                      CloudRow{220001, true, 0, true, 19}, CloudRow{220002, true, 0, true, 18},
                      CloudRow{229999, false, 0, true, 9}, CloudRow{0, true, 220005, true, 2},
                      CloudRow{0, true, 229999, false, 9}, CloudRow{0, true, 0, true, 3}));

TEST_F(Sequence, ExpiriesAreNowPlusLifetimeAndTheProfileFollowsTheCode) {
    plat::Clock::setFakeMs(1'800'000'000'000);
    fake.script("qvNasGetRefreshTokenByServiceUserInfo",
                FakeAnswer().withData(map({{"refreshToken", "refresh-xyz"}, {"expires", 3600}})));
    fake.script("qvNasGetAccessTokenByRefreshToken",
                FakeAnswer().withData(map({{"accessToken", "access-abc"}, {"exprect", 7200}})));
    fake.script("qvNasGetUserInfo",
                FakeAnswer().withData(map({{"nickName", "Ann"}, {"userId", "u-1"}, {"userImage", ""}})));
    data.serviceLogin("86", "13800000000", "pw");
    EXPECT_EQ(nextCode(), 3u);
    ASSERT_TRUE(data.userInfo);
    EXPECT_EQ(data.userInfo->refreshExprect, 1'800'000'000.0 + 3600);
    EXPECT_EQ(data.userInfo->accessExprect, 1'800'000'000.0 + 7200);
    EXPECT_EQ(data.userInfo->accessToken(), "access-abc");
    EXPECT_EQ(fake.lastCall("setAccessToken").args.value(0).toString(), "access-abc");
    ASSERT_TRUE(apptest::spinUntil(
        [&] { return fake.callCount("qvNasAddUserStatusChangedListenWithServiceUserId") == 1; }));
    EXPECT_EQ(data.userInfo->nickName, "Ann");
    EXPECT_EQ(data.userInfo->serviceUserId, "u-1");
}

TEST_F(Sequence, AutoLoginOffStoresTheAccountBeforeTheToken) {
    QVAccessData::saveIsAutoLoginService(false);
    fake.script("qvNasGetRefreshTokenByServiceUserInfo",
                FakeAnswer().withData(map({{"refreshToken", "refresh-xyz"}, {"expires", 3600}})));
    fake.script("qvNasGetAccessTokenByRefreshToken", FakeAnswer().held());
    data.serviceLogin("852", "61234567", "pw");
    ASSERT_TRUE(apptest::spinUntil([&] { return fake.callCount("qvNasGetAccessTokenByRefreshToken") == 1; }));
    const QVUserInfoPtr stored = QVAccessData::getServiceUserInfo();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->areaCode, "852");
    EXPECT_EQ(stored->userName, "61234567");
    EXPECT_EQ(stored->refreshToken(), "");
    EXPECT_EQ(data.userInfo->refreshToken(), "refresh-xyz");
}

TEST_F(Sequence, APasswordSignInStartsTheServiceFirstAndAFailedStartSendsNothing) {
    data.isStartSDKService = false;
    fake.setStarted(false);
    fake.script("qvSdkStartService", FakeAnswer().withCode(110001));
    data.serviceLogin("86", "13800000000", "pw");
    EXPECT_EQ(nextCode(), 8u);
    EXPECT_EQ(fake.callCount("qvNasGetRefreshTokenByServiceUserInfo"), 0);
    EXPECT_FALSE(data.isStartSDKService);
}

struct BindListRow {
    QVariantList list;
    QVModuleCompletionCode expected;  // 3: no match; else the connect starts
};

TEST_F(Sequence, BoundDeviceListFindsTheRememberedDevice) {
    signedIn();
    data.userInfo->setBindDeviceId("QV7F3A21");
    const QVariantMap other =
        map({{"deviceId", "QVOTHER"}, {"deviceName", "x"}, {"deviceType", "1"}, {"online", true}});
    const QVariantMap mine = map({{"deviceId", "QV7F3A21"},
                                  {"deviceName", "Living-room NAS"},
                                  {"deviceType", "2"},
                                  {"online", false}});
    fake.script("qvNasGetBindDeviceInfoList", FakeAnswer().withData(QVariantList{}));
    data.serviceGetBindDevices();
    EXPECT_EQ(nextCode(), 3u);
    fake.script("qvNasGetBindDeviceInfoList", FakeAnswer().withData(QVariantList{other}));
    data.serviceGetBindDevices();
    EXPECT_EQ(nextCode(), 3u);
    fake.script("qvNasGetBindDeviceInfoList", FakeAnswer().withCode(210001).withData(QVariantList{}));
    data.serviceGetBindDevices();
    EXPECT_EQ(nextCode(), 2u);
    fake.scriptConnect({FakeConnectOutcome::Error, 5, "offline"});
    fake.script("qvNasGetBindDeviceInfoList", FakeAnswer().withData(QVariantList{other, mine}));
    data.serviceGetBindDevices();
    EXPECT_EQ(nextCode(), 6u);  // offline does not stop the attempt; the connect says so
    const auto d = fake.lastCall("qvNasConnect").args.value(0).value<QVNasDeviceInfoPtr>();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->dev_name, "Living-room NAS");
    EXPECT_EQ(d->device_type, "2");
}

// ---- connect ----

struct FailRow {
    int64_t type;
    const char *message;  // "" for none
    QVModuleCompletionCode code;
};

class ConnectFail : public Sequence, public ::testing::WithParamInterface<FailRow> {};

TEST_P(ConnectFail, TypesBecomeCodesAndMessages) {
    signedIn();
    fake.scriptConnect({FakeConnectOutcome::Error, GetParam().type, "ignored"});
    data.qvStartConnectDevice(device(), true);
    EXPECT_EQ(nextCode(), GetParam().code);
    QString msg = QString::fromUtf8(GetParam().message);
    msg.replace(QLatin1String("QV_Login_Private_Fail"),
                QVPrivateTools::localizedOrKey("QV_Login_Private_Fail"));
    EXPECT_EQ(box.events.first(), "remove");  // the progress box goes first
    if (msg.isEmpty()) {
        EXPECT_EQ(box.events.size(), 1);
    } else {
        EXPECT_TRUE(box.events.contains("show:" + msg)) << box.events.join('|').toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ConnectFail,
                         ::testing::Values(FailRow{1, "", 9}, FailRow{2, "Parameter Error", 3},
                                           FailRow{3, "Get Device Bc Fail", 3},
                                           FailRow{4, "Get P2PInfo Fail", 3}, FailRow{5, "", 6},
                                           FailRow{6, "Disconnecting", 3}, FailRow{7, "Connect Fail", 3},
                                           FailRow{99, "QV_Login_Private_Fail code=99", 3}));

TEST_F(Sequence, ConnectedWithoutAutoLoginDeliversOneAndTakesTheAddress) {
    signedIn();
    data.qvStartConnectDevice(device(), false);
    EXPECT_EQ(nextCode(), 1u);
    EXPECT_EQ(data.currentDevicePublicNetIp, "127.0.0.2");
    EXPECT_EQ(fake.callCount("getDeviceStatus"), 0);
}

struct StatusRow {
    int64_t status;
    QVModuleCompletionCode code;
};

class DeviceStatus : public Sequence, public ::testing::WithParamInterface<StatusRow> {};

TEST_P(DeviceStatus, BecomesACodeWithoutLoggingIn) {
    signedIn();
    fake.script("getDeviceStatus", FakeAnswer().withData(status(GetParam().status)));
    data.qvStartConnectDevice(device(), true);
    EXPECT_EQ(nextCode(), GetParam().code);
    EXPECT_EQ(fake.callCount("qvNasGetDeviceAuthCode"), 0);
    EXPECT_EQ(fake.callCount("qvNasBindDevice"), 0);
}

INSTANTIATE_TEST_SUITE_P(Table, DeviceStatus,
                         ::testing::Values(StatusRow{1000, 14}, StatusRow{1001, 20}, StatusRow{2000, 21},
                                           StatusRow{2001, 22}, StatusRow{3000, 23}, StatusRow{3001, 16},
                                           StatusRow{3002, 16}, StatusRow{3003, 15}, StatusRow{3004, 15},
                                           StatusRow{3005, 17}, StatusRow{3006, 17},
                                           StatusRow{4242, 3},  // unknown: a code, not silence
                                           StatusRow{-1, 3}));

TEST_F(Sequence, StatusRequestFailureDeliversThree) {
    signedIn();
    fake.script("getDeviceStatus", FakeAnswer().withCode(110001));
    data.qvStartConnectDevice(device(), true);
    EXPECT_EQ(nextCode(), 3u);
}

// The whole road: connect, status 0, auth code, login, users.
void scriptLoginRoad(FakeFramework &fake, const QVariant &userList) {
    fake.script("getDeviceStatus", FakeAnswer().withData(status(0)));
    fake.script("qvNasGetDeviceAuthCode", FakeAnswer().withData(map({{"auth_code", "auth-123456"}})));
    fake.script("qvNasLoginDeviceWithIp", FakeAnswer().withData(qlonglong(777)));
    fake.script("qvNasGetDeviceUserInfoList", FakeAnswer().withData(userList));
}

struct UsersRow {
    QVariant list;
    int64_t listCode;
    QVModuleCompletionCode code;
    int64_t publicId, privateId;
};

class UserList : public Sequence, public ::testing::WithParamInterface<UsersRow> {};

TEST_P(UserList, GivesTheSpaceIds) {
    signedIn();
    data.publicUserId = 11;  // a previous session's ids
    data.privateUserId = 12;
    scriptLoginRoad(fake, GetParam().list);
    if (GetParam().listCode != 0) {
        fake.script("qvNasGetDeviceUserInfoList", FakeAnswer().withCode(GetParam().listCode));
        fake.script("qvNasGetDeviceUserInfoList", FakeAnswer().withCode(GetParam().listCode));
    }
    const auto d = device();
    data.setCurrentDeviceInfo(d);
    data.qvStartConnectDevice(d, true);
    EXPECT_EQ(nextCode(), GetParam().code);
    if (GetParam().code == 0) {
        EXPECT_EQ(data.publicUserId, GetParam().publicId);
        EXPECT_EQ(data.privateUserId, GetParam().privateId);
        EXPECT_TRUE(data.isConnectDevice);
        EXPECT_EQ(d->device_token, 777);
        EXPECT_EQ(d->device_authCode, "auth-123456");
        EXPECT_EQ(fake.lastCall("qvNasLoginDeviceWithIp").args.value(0).toString(), "127.0.0.2");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, UserList,
    ::testing::Values(UsersRow{users({{"public", 2}, {"alice", 5}}), 0, 0, 2, 5},
                      // several private users: the signed-in account's own (named by its phone number)
                      UsersRow{users({{"bob", 6}, {"public", 2}, {"13800000000", 9}, {"carol", 7}}), 0, 0, 2,
                               9},
                      // several, none named as the account: the first in the device's order
                      UsersRow{users({{"bob", 6}, {"public", 2}, {"carol", 7}}), 0, 0, 2, 6},
                      UsersRow{users({{"public", 2}}), 0, 3, 11, 12},  // no private user
                      UsersRow{users({}), 0, 3, 11, 12}, UsersRow{QVariant(), 110001, 3, 11, 12}));

TEST_F(Sequence, AnEmptyAuthCodeEndsInThreeBeforeAnyLogin) {
    for (const FakeAnswer &a : {FakeAnswer().withData(map({{"auth_code", ""}})),
                                FakeAnswer().withData(QVariantMap{}), FakeAnswer().withCode(229999)}) {
        signedIn();
        fake.script("getDeviceStatus", FakeAnswer().withData(status(0)));
        fake.script("qvNasGetDeviceAuthCode", a);
        data.qvStartConnectDevice(device(), true);
        EXPECT_EQ(nextCode(), 3u);
        EXPECT_EQ(fake.callCount("qvNasLoginDeviceWithIp"), 0);
        EXPECT_EQ(data.userInfo->authorizationCode(), "");
    }
}

struct LoginFailRow {
    int64_t type;
    bool rechecks;  // type 3: a new status check instead of a message
};

class LoginFail : public Sequence, public ::testing::WithParamInterface<LoginFailRow> {};

TEST_P(LoginFail, Types) {
    signedIn();
    fake.script("getDeviceStatus", FakeAnswer().withData(status(0)));
    fake.script("qvNasGetDeviceAuthCode", FakeAnswer().withData(map({{"auth_code", "auth-123456"}})));
    fake.script("qvNasLoginDeviceWithIp", FakeAnswer().withCode(GetParam().type));
    if (GetParam().rechecks) fake.script("getDeviceStatus", FakeAnswer().withData(status(1001)));
    data.qvStartConnectDevice(device(), true);
    const auto code = nextCode();
    EXPECT_FALSE(data.isConnectDevice);
    if (GetParam().rechecks) {
        EXPECT_EQ(code, 20u);
        EXPECT_EQ(fake.callCount("getDeviceStatus"), 2);
        EXPECT_EQ(fake.callCount("qvNasDisconectDevice"), 0);
    } else {
        EXPECT_EQ(code, 3u);
        EXPECT_EQ(fake.callCount("qvNasDisconectDevice"), 1);
        EXPECT_TRUE(box.events.contains(QStringLiteral("show:%1 : %2")
                                            .arg(QVPrivateTools::localizedOrKey("QV_Login_Private_Fail"))
                                            .arg(GetParam().type)))
            << box.events.join('|').toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Table, LoginFail,
                         ::testing::Values(LoginFailRow{1, false}, LoginFailRow{2, false},
                                           LoginFailRow{3, true}, LoginFailRow{4, false}));

// ---- bind ----

struct BindRow {
    QList<int64_t> bindCodes;  // answers of the bind, in order
    QVModuleCompletionCode code;
    int binds;
    const char *message;  // a text key, "" for none
};

class Bind : public Sequence, public ::testing::WithParamInterface<BindRow> {};

TEST_P(Bind, Answers) {
    signedIn();
    for (int64_t c : GetParam().bindCodes) fake.script("qvNasBindDevice", FakeAnswer().withCode(c));
    fake.setDefaultAnswer("getDeviceStatus", FakeAnswer().withData(status(0)));
    fake.script("qvNasGetDeviceAuthCode", FakeAnswer().withData(map({{"auth_code", "auth-123456"}})));
    fake.script("qvNasLoginDeviceWithIp", FakeAnswer().withData(qlonglong(777)));
    fake.script("qvNasGetDeviceUserInfoList", FakeAnswer().withData(users({{"public", 2}, {"alice", 5}})));
    data.serviceBindFirstGetDeviceStatus(device());
    EXPECT_EQ(nextCode(), GetParam().code);
    EXPECT_EQ(fake.callCount("qvNasBindDevice"), GetParam().binds);
    EXPECT_EQ(data.userInfo->bindDeviceId(), "QV7F3A21");
    if (*GetParam().message != 0) {
        const QString text = QVPrivateTools::localizedOrKey(QString::fromUtf8(GetParam().message));
        EXPECT_TRUE(box.events.contains("show:" + text)) << box.events.join('|').toStdString();
    }
    if (GetParam().code == 0) {
        EXPECT_EQ(fake.callCount("qvNasConnect"), 1);
        EXPECT_EQ(data.haveBindDeviceInfo(), nullptr);
    }
    apptest::drain();
    EXPECT_EQ(codes.size(), 1);  // nothing more: no endless bind loop
}

INSTANTIATE_TEST_SUITE_P(
    Table, Bind,
    ::testing::Values(BindRow{{0}, 0, 1, ""}, BindRow{{220011}, 0, 1, ""},
                      BindRow{{215000}, 4, 1, "QV_SetUI_Failed_Operation"},
                      BindRow{{120002, 0}, 0, 2, ""},                 // the re-check after 120002, then bound
                      BindRow{{120002, 120002, 120002}, 4, 2, ""}));  // one re-check, then 4

TEST_F(Sequence, BindLoopEndsWithTheDiskText) {
    signedIn();
    fake.setDefaultAnswer("qvNasBindDevice", FakeAnswer().withCode(120002));
    fake.setDefaultAnswer("getDeviceStatus", FakeAnswer().withData(status(0)));
    data.serviceBindFirstGetDeviceStatus(device());
    EXPECT_EQ(nextCode(), 4u);
    EXPECT_TRUE(box.events.contains("show:" + QVPrivateTools::getErrorMessage(120002)));
    EXPECT_EQ(fake.callCount("getDeviceStatus"), 2);
}

// ---- reconnect, log-out, stop ----

TEST_F(Sequence, ReconnectUsesItsOwnCallbackAndKeepsTheWindowsSlot) {
    signedIn();
    scriptLoginRoad(fake, users({{"public", 2}, {"alice", 5}}));
    const auto d = device();
    data.setCurrentDeviceInfo(d);
    data.qvStartConnectDevice(d, true);
    EXPECT_EQ(nextCode(), 0u);
    scriptLoginRoad(fake, users({{"public", 2}, {"alice", 5}}));
    fake.fireDisconnected();  // the connection dropped: a reconnect
    apptest::drain();
    EXPECT_TRUE(apptest::spinUntil([&] { return !data.isStartReconnect(); }));
    EXPECT_EQ(fake.callCount("qvNasConnect"), 2);
    EXPECT_EQ(codes.size(), 1);  // the window heard nothing of the reconnect
    EXPECT_TRUE(box.events.contains("show:" + QVPrivateTools::localizedOrKey("QV_Remind_Network_Change")));
    data.deliverModuleCompletionCode(42);
    EXPECT_EQ(codes.last(), 42u);  // its handler is still in the slot
}

TEST_F(Sequence, NoReconnectWithoutAHeldDevice) {
    signedIn();
    data.qvStartConnectDevice(device(), false);
    EXPECT_EQ(nextCode(), 1u);
    fake.fireDisconnected();
    apptest::drain();
    EXPECT_EQ(fake.callCount("qvNasConnect"), 1);
    EXPECT_FALSE(data.isStartReconnect());
}

TEST_F(Sequence, LogOutDisconnectsPostsAndStopEnds) {
    signedIn();
    data.isConnectDevice = true;
    int logouts = 0;
    QObject ctx;
    auto token = plat::NotificationCenter::defaultCenter().addObserver(
        QString::fromLatin1(kNotif_com_qvNas_UserLogout), &ctx, [&](const auto &...) { ++logouts; });
    std::optional<bool> loggedOut, stopped;
    data.singletonLogoutDevice([&](bool ok) { loggedOut = ok; });
    ASSERT_TRUE(apptest::spinUntil([&] { return loggedOut.has_value(); }));
    EXPECT_EQ(fake.callNames().filter(QRegularExpression("^qvNas(LogoutDevice|DisconectDevice)$")),
              (QStringList{"qvNasLogoutDevice", "qvNasDisconectDevice"}));
    EXPECT_EQ(logouts, 1);
    EXPECT_FALSE(data.isConnectDevice);
    data.singletonStopService([&](bool ok) { stopped = ok; });
    ASSERT_TRUE(apptest::spinUntil([&] { return stopped.has_value(); }));
    EXPECT_EQ(fake.callCount("qvSdkStopService"), 1);
    std::optional<QList<QVNasDeviceInfoPtr>> lan;
    data.singletonGetDeviceInfoList([&](const QList<QVNasDeviceInfoPtr> &l) { lan = l; });
    ASSERT_TRUE(apptest::spinUntil([&] { return lan.has_value(); }));
    EXPECT_TRUE(lan->isEmpty());  // none found: an empty list, never none
}

}  // namespace
