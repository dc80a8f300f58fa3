// The stand-in windows through the whole road on the scripted framework: sign in, choose the device,
// connect and log in, see the ids, log out, quit.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QThread>

#include "model/QVNasDeviceStatusInfo.h"
#include "model/QVNasDeviceUserInfo.h"
#include "session/QVSingletonData.h"
#include "session/QVSingletonInterfaceManage.h"
#include "shell/ShellServices.h"
#include "testing/FakeFramework.h"
#include "tools/QVAccessData.h"
#include "tools/QVPrivateTools.h"
#include "views/QVProgressBoxWidget.h"

namespace {

bool spinUntil(const std::function<bool()> &cond, int ms = 5000) {
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QThread::usleep(200);
    }
    return true;
}

QVariantMap map(std::initializer_list<std::pair<const char *, QVariant>> kv) {
    QVariantMap m;
    for (const auto &[k, v] : kv) m.insert(QString::fromLatin1(k), v);
    return m;
}

TEST(ShellFlow, SignInConnectShowIdsLogOutAndQuit) {
    QVSingletonData &data = QVSingletonData::sharedManager();
    data.resetForTests();
    QVAccessData::saveServiceUserInfo(nullptr);
    FakeFramework fake;
    QVSingletonInterfaceManage::sharedManager().setFramework(&fake);

    AppDelegate *self = nullptr;
    AppDelegateServices services = programServices(&self);
    services.initCrashHandler = [] {};  // not in a test process
    AppDelegate delegate(services);
    self = &delegate;
    QVProgressBoxWidget box([&delegate] { return delegate.currentShellWindow(); });
    QVPrivateTools::setProgressBoxHost(&box);

    delegate.applicationDidFinishLaunching();
    ASSERT_TRUE(spinUntil([&] { return delegate.loginWindow() != nullptr; }));
    EXPECT_TRUE(data.isStartSDKService);

    fake.script("qvNasGetRefreshTokenByServiceUserInfo",
                FakeAnswer().withData(map({{"refreshToken", "refresh-xyz"}, {"expires", 3600}})));
    fake.script("qvNasGetAccessTokenByRefreshToken",
                FakeAnswer().withData(map({{"accessToken", "access-abc"}, {"exprect", 7200}})));
    fake.setDefaultAnswer("qvNasGetBindDeviceInfoList",
                          FakeAnswer().withData(QVariantList{map({{"deviceId", "QV7F3A21"},
                                                                  {"deviceName", "Living-room NAS"},
                                                                  {"deviceType", "2"},
                                                                  {"online", true}})}));
    auto st = std::make_shared<QVNasDeviceStatusInfo>();
    fake.script("getDeviceStatus", FakeAnswer().withData(QVariant::fromValue(st)));
    fake.script("qvNasGetDeviceAuthCode", FakeAnswer().withData(map({{"auth_code", "auth-123456"}})));
    fake.script("qvNasLoginDeviceWithIp", FakeAnswer().withData(qlonglong(777)));
    QList<QVNasDeviceUserInfoPtr> users;
    for (auto [name, id] : {std::pair{"public", 2}, std::pair{"13800000000", 5}}) {
        auto u = std::make_shared<QVNasDeviceUserInfo>();
        u->nick_name = QString::fromLatin1(name);
        u->user_id = id;
        users.append(u);
    }
    fake.script("qvNasGetDeviceUserInfoList", FakeAnswer().withData(QVariant::fromValue(users)));

    QVLoginViewController *login = delegate.loginWindow()->contentViewController();
    login->phoneField->setText("13800000000");
    QTest::keyClicks(login->passwordBox->secureTextField(), "pw");
    QTest::mouseClick(login->loginButton, Qt::LeftButton);
    EXPECT_EQ(fake.lastCall("qvNasGetRefreshTokenByServiceUserInfo").args.size(), 1);
    ASSERT_TRUE(spinUntil([&] { return delegate.deviceChoiceWindow() != nullptr; }));
    EXPECT_EQ(delegate.loginWindow(), nullptr);

    QVDeviceChoiceViewController *choice = delegate.deviceChoiceWindow()->contentViewController();
    ASSERT_TRUE(spinUntil([&] { return choice->devices().size() == 1; }));
    QTest::mouseClick(choice->connectButton, Qt::LeftButton);
    ASSERT_TRUE(spinUntil([&] { return delegate.mainWindow() != nullptr; }));
    const auto connected = fake.lastCall("qvNasConnect").args.value(0).value<QVNasDeviceInfoPtr>();
    ASSERT_TRUE(connected);
    EXPECT_EQ(connected->device_id, "QV7F3A21");

    QVMainViewController *main = delegate.mainWindow()->contentViewController();
    EXPECT_EQ(main->deviceNameLabel->text(), "Living-room NAS");
    EXPECT_EQ(main->publicIdLabel->text(), "Public space id: 2");
    EXPECT_EQ(main->privateIdLabel->text(), "Private space id: 5");

    QTest::mouseClick(main->logoutButton, Qt::LeftButton);
    ASSERT_TRUE(
        spinUntil([&] { return delegate.loginWindow() != nullptr && delegate.mainWindow() == nullptr; }));
    EXPECT_EQ(fake.callCount("qvNasLogoutDevice"), 1);
    EXPECT_EQ(data.privateUserId, 0);
    const QVUserInfoPtr stored = QVAccessData::getServiceUserInfo();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->accessToken(), "");
    EXPECT_EQ(stored->userName, "13800000000");

    bool done = false;
    delegate.applicationWillTerminate([&] { done = true; });
    ASSERT_TRUE(spinUntil([&] { return done; }));
    EXPECT_EQ(fake.callCount("qvSdkStopService"), 1);

    QVPrivateTools::setProgressBoxHost(nullptr);
    fake.releaseAllHeld();
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    QVSingletonInterfaceManage::sharedManager().setFramework(nullptr);
    data.resetForTests();
}

}  // namespace
