// Device administration end to end in the session's network namespace: after a device login, every
// administration command through the device manager service (the bind invitation and the plug-in backup
// pair through the broker) against an emulated device, each set read back by its get; a device that lists
// three disks, a failing space-limit list; and no administrator password in the debug log of either layer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QStringList>
#include <filesystem>
#include <functional>
#include <mutex>

#include "base/qv_log.h"
#include "model/QVNasDeviceStatusInfo.h"
#include "model/QVNasDeviceUserInfo.h"
#include "platform/Log.h"
#include "runtime/ppc_service.h"
#include "service/QVNasDeviceManagerService.h"
#include "session_fixture.h"

namespace fs = std::filesystem;
using namespace fwtest;
using namespace fwe2e;

namespace {

constexpr char kFirstPassword[] = "Adm1n-Secret-Ferry";
constexpr char kSecondPassword[] = "Adm1n-Secret-Harbour";

int64_t codeOf(const QVNasResponseInfoPtr &r) {
    return r ? r->responseCode : -999;
}

TEST(SessionEndToEnd, DeviceAdministrationThroughTheManagerService) {
    if (const auto why = whyNoNamespace()) GTEST_SKIP() << *why;
    const std::string root = testing::TempDir() + "fw_admin_" + std::to_string(getpid());
    fs::remove_all(root);
    fs::create_directories(root);
    // Both layers at debug level, captured.
    qv::set_log_enabled(true);
    SdkLogCapture sdkLog;
    plat::LogCapture log;
    ppc_set_broker_address("127.0.0.1:1");  // refused: the service runs without messaging

    EmulatedDevice d2 = emulate(root, "127.0.0.2", "BIND-0002");
    auto deviceUsers = d2.dev->users();
    deviceUsers.push_back({"Bo", 8, false});
    d2.dev->set_users(deviceUsers);
    ASSERT_TRUE(d2.dev->start()) << d2.dev->last_error();
    bridge().setDeviceSdk(nullptr);  // the real SDK
    auto &b = broker();
    // Whatever the test's outcome, the session ends and the service stops before the log capture goes.
    struct Cleanup {
        std::function<void()> run;
        ~Cleanup() { run(); }
    } cleanup{[&] {
        ask([&](auto d) { return b.qvNasLogoutDeviceWithCompletion(d); });
        EXPECT_EQ(codeOf(ask([&](auto d) { return b.qvNasStopServiceWithCompletion(d); })), 0);
        plat::WorkPool::global().waitForDone(10000);
        finish({d2.dev.get()}, root);
    }};
    ASSERT_EQ(codeOf(ask([&](auto d) { return b.qvNasStartServiceWithGatewayIp("127.0.0.1", d); })), 0);
    const auto login = ask([&](auto d) { return b.qvNasLoginDeviceWithAuthCode(kAuth, "127.0.0.2", d); });
    ASSERT_EQ(codeOf(login), 0);
    const qlonglong token = login->responseData.toLongLong();
    QVNasDeviceManagerService s;
    auto state = [&](auto read) {
        std::lock_guard l(d2.admin->mu);
        return read(*d2.admin);
    };

    // Password: none set, set at the device's address, log in, change (old, new), log in with the new one.
    auto pwdStatus = ask([&](auto d) { return s.qvNasGetAdminPasswordStateWithIp("127.0.0.2", d); });
    EXPECT_EQ(codeOf(pwdStatus), 0);
    EXPECT_EQ(pwdStatus->responseData.toInt(), 1);
    EXPECT_EQ(codeOf(ask([&](auto d) { return s.qvNasSetAdminPassword(kFirstPassword, "127.0.0.2", d); })),
              0);
    pwdStatus = ask([&](auto d) { return s.qvNasGetAdminPasswordStateWithIp("127.0.0.2", d); });
    EXPECT_EQ(pwdStatus->responseData.toInt(), 0);
    EXPECT_EQ(codeOf(ask([&](auto d) { return s.qvNasloginAdmin(kFirstPassword, d); })), 0);
    EXPECT_EQ(codeOf(ask([&](auto d) { return s.qvNasloginAdmin("wrong-one", d); })), 110017);
    EXPECT_EQ(
        codeOf(ask([&](auto d) { return s.qvNasMotifyAdminPassword(kFirstPassword, kSecondPassword, d); })),
        0);
    EXPECT_EQ(state([](auto &st) { return st.admin_password; }), kSecondPassword);
    EXPECT_EQ(codeOf(ask([&](auto d) { return s.qvNasloginAdmin(kSecondPassword, d); })), 0);
    EXPECT_EQ(codeOf(ask([&](auto d) { return s.qvNasloginAdmin(kFirstPassword, d); })), 110017);

    // System information.
    const auto sys = ask([&](auto d) { return s.qvNasGetAdminSysInfo(d); });
    ASSERT_EQ(codeOf(sys), 0);
    const auto sysInfo = sys->responseData.value<QVNasDeviceSysInfoPtr>();
    ASSERT_TRUE(sysInfo);
    EXPECT_EQ(sysInfo->deviceName, QStringLiteral("QVNAS"));
    EXPECT_EQ(sysInfo->fileSystem, QStringLiteral("ext4"));
    EXPECT_DOUBLE_EQ(sysInfo->ramRate, 40.25);

    // Three disks listed: the two the record holds, and a line saying so.
    state([](auto &st) {
        st.disks = {{"WDC WD40", "WD-1", 0, 36, 1, 0, 4000787030016LL},
                    {"ST4000", "ST-2", 1, 41, 2, 1, 4000787030016LL},
                    {"HGST 8T", "HG-3", 0, 33, 3, 0, 8001563222016LL}};
        st.disks_listed_max = 3;
        st.disk_mode = 1;
        return 0;
    });
    const auto disks = ask([&](auto d) { return s.qvNasGetDiskStatusInfos(d); });
    ASSERT_EQ(codeOf(disks), 0);
    const auto diskList = disks->responseData.value<QVNasDiskStatusListPtr>();
    ASSERT_TRUE(diskList);
    EXPECT_EQ(diskList->diskMode, 1);
    ASSERT_EQ(diskList->diskStatusList.size(), 2);
    EXPECT_EQ(diskList->diskStatusList[0]->devModel, QStringLiteral("WDC WD40"));
    EXPECT_EQ(diskList->diskStatusList[0]->temperatureCelsius, 36);
    EXPECT_EQ(diskList->diskStatusList[1]->devModel, QStringLiteral("ST4000"));
    EXPECT_EQ(diskList->diskStatusList[1]->temperatureCelsius, 0);  // its temperature is disabled
    EXPECT_EQ(diskList->diskStatusList[1]->healthStatus, 1);
    EXPECT_TRUE(sdkLog.contains("reply lists 3 disks, keeping the first 2"));

    // Bind flags and the invitation (by the broker).
    for (const uint8_t flag : {uint8_t{1}, uint8_t{0}}) {
        EXPECT_EQ(codeOf(ask([&](auto d) { return s.qvNasSetDeviceBindFlag(flag, d); })), 0);
        EXPECT_EQ(ask([&](auto d) { return s.qvNasGetDeviceBindEnable(d); })->responseData.toInt(), flag);
        EXPECT_EQ(codeOf(ask([&](auto d) { return s.qvNasSetDeviceRemoteBindFlag(flag, d); })), 0);
        EXPECT_EQ(ask([&](auto d) { return s.qvNasGetDeviceRemoteBindEnable(d); })->responseData.toInt(),
                  flag);
    }
    EXPECT_EQ(codeOf(ask([&](auto d) { return b.qvNasAdminInviteBindWithUserName("guest", d); })), 0);
    EXPECT_EQ(state([](auto &st) { return st.invited; }), std::vector<std::string>{"guest"});
    const auto bind = ask([&](auto d) { return s.qvNasGetSharedBindUrl(d); });
    EXPECT_EQ(codeOf(bind), 0);
    EXPECT_EQ(bind->responseData.toString(), QStringLiteral("http://127.0.0.2/bind?t=%1").arg(token));

    // Space limits: status, default, per user; then clear a user.
    EXPECT_EQ(codeOf(ask([&](auto d) { return s.qvNasSetSpaceLimitStatus(1, d); })), 0);
    EXPECT_EQ(ask([&](auto d) { return s.qvNasGetSpaceLimitStatus(d); })->responseData.toInt(), 1);
    const int64_t big = int64_t{5} << 32;
    EXPECT_EQ(codeOf(ask([&](auto d) { return s.qvNasSetSpaceLimitDefaultInfoWithlimitSpace(big, 1, d); })),
              0);
    const auto def = ask([&](auto d) {
                         return s.qvNasGetSpaceLimitDefaultInfo(d);
                     })->responseData.value<QVNasDeviceUserDefaultSpaceLimitInfoPtr>();
    ASSERT_TRUE(def);
    EXPECT_EQ(def->limitSpace, big);
    EXPECT_EQ(def->spaceLimitSet, 1);
    auto limits = ask([&](auto d) { return s.qvNasGetUserSpaceInfos(d); });
    ASSERT_EQ(codeOf(limits), 0);
    auto users = limits->responseData.value<QList<QVNasDeviceUserSpaceLimitInfoPtr>>();
    ASSERT_GE(users.size(), 2);
    const int32_t userId = users.last()->userId;
    EXPECT_EQ(users.last()->userName, QStringLiteral("1380000%1").arg(1000 + userId));
    EXPECT_EQ(codeOf(ask([&](auto d) { return s.qvNasSetUserSpace(userId, big + 7, 1, d); })), 0);
    users = ask([&](auto d) {
                return s.qvNasGetUserSpaceInfos(d);
            })->responseData.value<QList<QVNasDeviceUserSpaceLimitInfoPtr>>();
    ASSERT_FALSE(users.isEmpty());
    EXPECT_EQ(users.last()->userId, userId);
    EXPECT_EQ(users.last()->limitSpace, big + 7);
    EXPECT_EQ(users.last()->spaceLimitSet, 1);
    const auto before = users.size();
    EXPECT_EQ(codeOf(ask([&](auto d) { return s.qvNasClearUser(userId, 1, d); })), 0);
    users = ask([&](auto d) {
                return s.qvNasGetUserSpaceInfos(d);
            })->responseData.value<QList<QVNasDeviceUserSpaceLimitInfoPtr>>();
    EXPECT_EQ(users.size(), before - 1);
    const auto allUsers = ask([&](auto d) { return s.qvNasGetDeviceAllUserList(d); });
    EXPECT_EQ(codeOf(allUsers), 0);
    EXPECT_EQ(allUsers->clientCommand, 159);

    // A failing list answers the device's code and an empty list.
    state([](auto &st) { return st.space_limit_list_error = 10201; });
    limits = ask([&](auto d) { return s.qvNasGetUserSpaceInfos(d); });
    EXPECT_EQ(codeOf(limits), 110201);
    EXPECT_TRUE(limits->responseData.value<QList<QVNasDeviceUserSpaceLimitInfoPtr>>().isEmpty());

    // Plug-in backup (by the broker) and samba.
    auto plug = std::make_shared<QVNasDevicePlugBackupConfigInfo>();
    plug->usbBackupMode = 1;
    plug->ptpBackupMode = 0;
    EXPECT_EQ(codeOf(ask([&](auto d) { return b.qvNasAdminSetPlugInBackupInfo(plug, d); })), 0);
    const auto plugBack = ask([&](auto d) {
                              return b.qvNasAdminGetPlugInBackupInfoWithCompletion(d);
                          })->responseData.value<QVNasDevicePlugBackupConfigInfoPtr>();
    ASSERT_TRUE(plugBack);
    EXPECT_EQ(plugBack->usbBackupMode, 1);
    EXPECT_EQ(plugBack->ptpBackupMode, 0);
    for (const int32_t samba : {5, 1}) {
        EXPECT_EQ(codeOf(ask([&](auto d) { return s.qvNasSetSambaStatus(samba, d); })), 0);
        EXPECT_EQ(ask([&](auto d) { return s.qvNasGetSambaStatus(d); })->responseData.toInt(), samba);
    }

    // Power: self start, sleep time, reboot.
    EXPECT_EQ(codeOf(ask([&](auto d) { return s.qvNasAdminSetSelfStartStatus(0, d); })), 0);
    EXPECT_EQ(ask([&](auto d) { return s.qvNasAdminGetSelfStartStatus(d); })->responseData.toInt(), 0);
    EXPECT_EQ(codeOf(ask([&](auto d) { return s.qvNasAdminSetDeviceSleepTime(90, d); })), 0);
    EXPECT_EQ(ask([&](auto d) { return s.qvNasAdminGetDeviceSleepTime(d); })->responseData.toLongLong(), 90);
    EXPECT_EQ(codeOf(ask([&](auto d) { return s.qvNasAdminSetDeviceReboot(d); })), 0);
    EXPECT_EQ(state([](auto &st) { return st.reboots; }), 1);

    // Timer switch: the flag, and the values per switch type.
    for (const uint8_t flag : {uint8_t{2}, uint8_t{0}}) {
        EXPECT_EQ(codeOf(ask([&](auto d) { return s.qvNasAdminSetDevTimerSwitchFlag(flag, d); })), 0);
        EXPECT_EQ(ask([&](auto d) { return s.qvNasAdminGetDevTimerSwitchFlag(d); })->responseData.toBool(),
                  flag != 0);
    }
    auto on = std::make_shared<QVNasDeviceSwitchTimeInfo>();
    on->startUpTime = 3600;
    on->shutDownTime = 1;  // not sent for type 1
    on->poolType = 1;
    auto off = std::make_shared<QVNasDeviceSwitchTimeInfo>();
    off->shutDownTime = 7200;
    EXPECT_EQ(codeOf(ask([&](auto d) { return s.qvNasAdminSetDevTimerSwitchValues(1, on, d); })), 0);
    EXPECT_EQ(codeOf(ask([&](auto d) { return s.qvNasAdminSetDevTimerSwitchValues(2, off, d); })), 0);
    const auto onBack = ask([&](auto d) {
                            return s.qvNasAdminGetDevTimerSwitchValues(1, d);
                        })->responseData.value<QVNasDeviceSwitchTimeInfoPtr>();
    ASSERT_TRUE(onBack);
    EXPECT_EQ(onBack->startUpTime, 3600);
    EXPECT_EQ(onBack->shutDownTime, 0);
    EXPECT_EQ(onBack->poolType, 1);
    const auto offBack = ask([&](auto d) {
                             return s.qvNasAdminGetDevTimerSwitchValues(2, d);
                         })->responseData.value<QVNasDeviceSwitchTimeInfoPtr>();
    ASSERT_TRUE(offBack);
    EXPECT_EQ(offBack->shutDownTime, 7200);
    EXPECT_EQ(offBack->startUpTime, 0);
    EXPECT_EQ(offBack->poolType, 0);

    // Every command reached the device through the runtime, and no password reached a log.
    for (const int cmd : {300, 301, 302, 303, 304, 305, 307, 308, 309, 310, 311, 312, 313, 314, 315, 316,
                          317, 318, 319, 320, 322, 324, 325, 330, 331, 333, 334, 335, 336, 337, 327, 328})
        EXPECT_GT(d2.sent(cmd), 0u) << "device command " << cmd;
    for (const char *secret : {kFirstPassword, kSecondPassword}) {
        EXPECT_FALSE(sdkLog.contains(secret)) << secret;
        EXPECT_FALSE(log.contains(QString::fromLatin1(secret))) << secret;
    }
    EXPECT_TRUE(sdkLog.contains("[DEBUG]"));  // the capture saw the debug level
}

}  // namespace
