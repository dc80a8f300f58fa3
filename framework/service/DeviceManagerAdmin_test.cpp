// Device administration through the device manager service over the scripted SDK: one table of service
// method x scripted SDK outcome -> the SDK call and its arguments, the answer's code, command and data, the
// threads; the reorders of the service, the start values of failed reads, the disk record's two slots.
#include <gtest/gtest.h>

#include <QList>
#include <cstring>
#include <thread>

#include "broker/broker_test_util.h"
#include "model/QVNasDeviceStatusInfo.h"
#include "model/QVNasDeviceUserInfo.h"
#include "model/QVNasFileListInfo.h"
#include "platform/Log.h"
#include "service/QVNasDeviceManagerService.h"

using namespace fwtest;

namespace {

using Send = std::function<QVNasRequestInfoPtr(QVNasCompletionBlock)>;
using Script = std::function<void(FakeDeviceSdk &)>;
using Check = std::function<void(const QVNasResponseInfo &)>;

struct Row {
    const char *name;
    Script script;
    Send send;
    int32_t command;  // of the answer
    int64_t code;
    Check check;
    const char *sdkFunction;
    std::vector<std::string> sdkArgs;  // every argument, as the fake records them
};

constexpr int64_t kToken = 777;

template <size_t N>
void put(char (&field)[N], const char *text) {
    std::memset(field, 0, N);
    std::memcpy(field, text, std::min(N, std::strlen(text)));
}

Script admin(std::function<void(FakeDeviceSdk::AdminOutputs &)> edit) {
    return [edit](FakeDeviceSdk &f) { f.editAdmin(edit); };
}
Script fails(const char *fn, int r) {
    return [fn, r](FakeDeviceSdk &f) { f.script(fn, r); };
}
void noData(const QVNasResponseInfo &r) {
    EXPECT_FALSE(r.responseData.isValid()) << "unexpected data";
}
Check number(int64_t v) {
    return [v](const QVNasResponseInfo &r) {
        ASSERT_TRUE(r.responseData.isValid());
        EXPECT_EQ(r.responseData.toLongLong(), v);
    };
}
Check boolean(bool v) {
    return [v](const QVNasResponseInfo &r) {
        ASSERT_EQ(r.responseData.typeId(), QMetaType::Bool);
        EXPECT_EQ(r.responseData.toBool(), v);
    };
}
Check text(const char *v) {
    return [v](const QVNasResponseInfo &r) {
        ASSERT_EQ(r.responseData.typeId(), QMetaType::QString);
        EXPECT_EQ(r.responseData.toString(), QString::fromUtf8(v));
    };
}
std::string tok() {
    return std::to_string(kToken);
}

disk_status_info disk(const char *model, const char *serial, int32_t temperature, int32_t disabled) {
    disk_status_info d{};
    d.devNumber = 1;
    put(d.devModel, model);
    put(d.serialNumber, serial);
    d.diskCapacity = 4000787030016LL;
    d.healthStatus = 0;
    d.temperatureCelsius = temperature;
    d.temperatureDisable = disabled;
    return d;
}

space_limit_info limitUser(int32_t id, const char *phone, const char *nick, int32_t type) {
    space_limit_info u{};
    u.userId = id;
    put(u.userName, "not-this");
    put(u.phoneNumber, phone);
    put(u.nickName, nick);
    u.usedSpace = 100 * id;
    u.limitSpace = 5000;
    u.limitSet = 1;
    u.userType = type;
    return u;
}

QVNasDiskStatusListPtr disks(const QVNasResponseInfo &r) {
    return r.responseData.value<QVNasDiskStatusListPtr>();
}

class DeviceManagerAdmin : public ServiceOnFake {
  protected:
    void SetUp() override {
        ServiceOnFake::SetUp();
        bridge().setSrcToken(kToken);
        service = std::make_shared<QVNasDeviceManagerService>();
    }
    void TearDown() override {
        ServiceOnFake::TearDown();
        bridge().setSrcToken(0);
    }
    void runRows(const std::vector<Row> &rows) {
        for (const Row &row : rows) {
            SCOPED_TRACE(row.name);
            fake = std::make_shared<FakeDeviceSdk>();
            bridge().setDeviceSdk(fake);
            restartService();
            if (row.script) row.script(*fake);
            bool onMain = false;
            const auto r = answerOf([&](QVNasCompletionBlock done) {
                return row.send([&onMain, done](const QVNasResponseInfoPtr &resp) {
                    onMain = plat::isMainThread();
                    done(resp);
                });
            });
            ASSERT_TRUE(r);
            EXPECT_TRUE(onMain);
            EXPECT_EQ(r->clientCommand, row.command);
            EXPECT_EQ(r->responseCode, row.code);
            if (row.check) row.check(*r);
            const auto calls = fake->callsOf(row.sdkFunction);
            ASSERT_EQ(calls.size(), 1u) << row.sdkFunction;
            EXPECT_NE(calls[0].thread, std::this_thread::get_id());
            EXPECT_EQ(calls[0].args, row.sdkArgs);
            EXPECT_EQ(fake->liveSpaceLimitLists(), 0);
        }
    }
    void restartService() {
        answerOf([](auto d) { return broker().qvNasStopServiceWithCompletion(d); });
        const auto r =
            answerOf([](auto d) { return broker().qvNasStartServiceWithGatewayIp("10.1.2.3", d); });
        ASSERT_TRUE(r && r->responseCode == 0);
    }
    QVNasDeviceManagerServicePtr service;
};

TEST_F(DeviceManagerAdmin, PasswordsBindFlagsAndPowerAnswerTheirValues) {
    auto &s = *service;
    auto &b = broker();
    const std::vector<Row> rows = {
        {"300 status at an address",
         admin([](auto &o) { o.pwdStatus = 1; }),
         [&](auto d) { return s.qvNasGetAdminPasswordStateWithIp("10.0.0.9", d); },
         300,
         0,
         number(1),
         "ppc_AdminGetPwdStatus",
         {"10.0.0.9", tok()}},
        {"300 without an address sends the empty text",
         {},
         [&](auto d) { return s.qvNasGetAdminPasswordStateWithIp(QString(), d); },
         300,
         0,
         number(0),
         "ppc_AdminGetPwdStatus",
         {"", tok()}},
        {"300 failed answers -1",
         fails("ppc_AdminGetPwdStatus", 5),
         [&](auto d) { return s.qvNasGetAdminPasswordStateWithIp("10.0.0.9", d); },
         300,
         100005,
         number(-1),
         "ppc_AdminGetPwdStatus",
         {"10.0.0.9", tok()}},
        {"301 set at an address",
         {},
         [&](auto d) { return s.qvNasSetAdminPassword("s3cret-pw", "10.0.0.9", d); },
         301,
         0,
         noData,
         "ppc_AdminSetPwd",
         {"10.0.0.9", "s3cret-pw", tok()}},
        {"301 empty password is refused",
         {},
         [&](auto d) { return s.qvNasSetAdminPassword("", "10.0.0.9", d); },
         301,
         -1,
         noData,
         "ppc_AdminSetPwd",
         {"10.0.0.9", "", tok()}},
        {"302 (old, new) reaches the SDK as old, new",
         {},
         [&](auto d) { return s.qvNasMotifyAdminPassword("old-pw", "new-pw", d); },
         302,
         0,
         noData,
         "ppc_AdminModifyPwd",
         {"old-pw", "new-pw", tok()}},
        {"303 login",
         {},
         [&](auto d) { return s.qvNasloginAdmin("s3cret-pw", d); },
         303,
         0,
         noData,
         "ppc_AdminLogin",
         {"s3cret-pw", tok()}},
        {"303 wrong password",
         fails("ppc_AdminLogin", 10017),
         [&](auto d) { return s.qvNasloginAdmin("bad", d); },
         303,
         110017,
         noData,
         "ppc_AdminLogin",
         {"bad", tok()}},
        {"303 without a password key answers -1",
         {},
         [&](auto d) {
             return b.submitRequest(303, {}, std::move(d), {},
                                    [](QVNasSDKManager &lib, const QVNasTaskInfoPtr &t) {
                                        static_cast<QVNasSDKManagerDevice &>(lib).qvDAdminLoginWithPwd(t);
                                    });
         },
         303,
         -1,
         noData,
         "ppc_AdminLogin",
         {"<null>", tok()}},
        {"307 bind flag",
         {},
         [&](auto d) { return s.qvNasGetDeviceBindEnable(d); },
         307,
         0,
         number(1),
         "ppc_AdminGetBindFlag",
         {tok()}},
        {"307 failed answers -1",
         fails("ppc_AdminGetBindFlag", 3),
         [&](auto d) { return s.qvNasGetDeviceBindEnable(d); },
         307,
         100003,
         number(-1),
         "ppc_AdminGetBindFlag",
         {tok()}},
        {"308 flag 2 is sent as 1",
         {},
         [&](auto d) { return s.qvNasSetDeviceBindFlag(2, d); },
         308,
         0,
         noData,
         "ppc_AdminSetBindFlag",
         {"1", tok()}},
        {"308 flag 0",
         {},
         [&](auto d) { return s.qvNasSetDeviceBindFlag(0, d); },
         308,
         0,
         noData,
         "ppc_AdminSetBindFlag",
         {"0", tok()}},
        {"309 invitation by the broker",
         {},
         [&](auto d) { return b.qvNasAdminInviteBindWithUserName("guest", d); },
         309,
         0,
         noData,
         "ppc_AdminInviteBind",
         {"guest", tok()}},
        {"321 remote bind flag",
         admin([](auto &o) { o.remoteBindFlag = 0; }),
         [&](auto d) { return s.qvNasGetDeviceRemoteBindEnable(d); },
         321,
         0,
         number(0),
         "ppc_AdminGetRemoteBindFlag",
         {tok()}},
        {"321 failed answers -1",
         fails("ppc_AdminGetRemoteBindFlag", 9),
         [&](auto d) { return s.qvNasGetDeviceRemoteBindEnable(d); },
         321,
         100009,
         number(-1),
         "ppc_AdminGetRemoteBindFlag",
         {tok()}},
        {"322 flag 7 goes on as 1",
         {},
         [&](auto d) { return s.qvNasSetDeviceRemoteBindFlag(7, d); },
         322,
         0,
         noData,
         "ppc_AdminSetRemoteBindFlag",
         {"1", tok()}},
        {"319 share bind",
         {},
         [&](auto d) { return s.qvNasGetSharedBindUrl(d); },
         319,
         0,
         text("http://bind.example/share"),
         "ppc_AdminShareBind",
         {"1024", tok()}},
        {"319 bytes that are not UTF-8 keep their valid prefix",
         admin([](auto &o) { o.shareBind = std::string("http://b/\xff\xfe"); }),
         [&](auto d) { return s.qvNasGetSharedBindUrl(d); },
         319,
         0,
         text("http://b/"),
         "ppc_AdminShareBind",
         {"1024", tok()}},
        {"319 failed answers the empty text",
         fails("ppc_AdminShareBind", 4),
         [&](auto d) { return s.qvNasGetSharedBindUrl(d); },
         319,
         100004,
         text(""),
         "ppc_AdminShareBind",
         {"1024", tok()}},
        {"172 samba",
         {},
         [&](auto d) { return s.qvNasGetSambaStatus(d); },
         172,
         0,
         number(5),
         "ppc_GetSambaStatus",
         {tok()}},
        {"172 failed answers 0",
         fails("ppc_GetSambaStatus", 2),
         [&](auto d) { return s.qvNasGetSambaStatus(d); },
         172,
         100002,
         number(0),
         "ppc_GetSambaStatus",
         {tok()}},
        {"171 samba set",
         {},
         [&](auto d) { return s.qvNasSetSambaStatus(1, d); },
         171,
         0,
         noData,
         "ppc_SetSambaStatus",
         {"1", tok()}},
        {"323 self start",
         {},
         [&](auto d) { return s.qvNasAdminGetSelfStartStatus(d); },
         323,
         0,
         number(1),
         "ppc_AdminGetSelfStartStatus",
         {tok()}},
        {"323 failed answers -1",
         fails("ppc_AdminGetSelfStartStatus", 1),
         [&](auto d) { return s.qvNasAdminGetSelfStartStatus(d); },
         323,
         100001,
         number(-1),
         "ppc_AdminGetSelfStartStatus",
         {tok()}},
        {"324 self start set",
         {},
         [&](auto d) { return s.qvNasAdminSetSelfStartStatus(0, d); },
         324,
         0,
         noData,
         "ppc_AdminSetSelfStart",
         {"0", tok()}},
        {"326 reboot",
         {},
         [&](auto d) { return s.qvNasAdminSetDeviceReboot(d); },
         326,
         0,
         noData,
         "ppc_AdminSetDeviceReboot",
         {tok()}},
        {"345 sleep time in minutes",
         {},
         [&](auto d) { return s.qvNasAdminGetDeviceSleepTime(d); },
         345,
         0,
         number(30),
         "ppc_AdminGetDeviceSleepTime",
         {tok()}},
        {"345 failed answers 0",
         fails("ppc_AdminGetDeviceSleepTime", 8),
         [&](auto d) { return s.qvNasAdminGetDeviceSleepTime(d); },
         345,
         100008,
         number(0),
         "ppc_AdminGetDeviceSleepTime",
         {tok()}},
        {"344 token first, 64-bit minutes",
         {},
         [&](auto d) { return s.qvNasAdminSetDeviceSleepTime(int64_t{1} << 33, d); },
         344,
         0,
         noData,
         "ppc_AdminSetDeviceSleepTime",
         {tok(), "8589934592"}},
    };
    runRows(rows);
}

TEST_F(DeviceManagerAdmin, SpaceLimitsDisksAndSystemAnswerTheirModels) {
    auto &s = *service;
    auto &b = broker();
    admin_sys_info sys{};
    put(sys.deviceName, "书房");
    put(sys.fileSystem, "ext4");
    sys.bootTime = 1700000000;
    sys.cpuRate = 12.5;
    sys.ramRate = 40.25;
    plat::LogCapture log;
    const std::vector<Row> rows = {
        {"304 system information",
         admin([&](auto &o) { o.sys = sys; }),
         [&](auto d) { return s.qvNasGetAdminSysInfo(d); },
         304,
         0,
         [](const QVNasResponseInfo &r) {
             const auto i = r.responseData.value<QVNasDeviceSysInfoPtr>();
             ASSERT_TRUE(i);
             EXPECT_EQ(i->deviceName, QStringLiteral("书房"));
             EXPECT_EQ(i->fileSystem, QStringLiteral("ext4"));
             EXPECT_EQ(i->bootTime, 1700000000);
             EXPECT_DOUBLE_EQ(i->cpuRate, 12.5);
             EXPECT_DOUBLE_EQ(i->ramRate, 40.25);
         },
         "ppc_AdminGetSysInfo",
         {tok()}},
        {"304 failed carries an empty object",
         fails("ppc_AdminGetSysInfo", 6),
         [&](auto d) { return s.qvNasGetAdminSysInfo(d); },
         304,
         100006,
         [](const QVNasResponseInfo &r) {
             const auto i = r.responseData.value<QVNasDeviceSysInfoPtr>();
             ASSERT_TRUE(i);
             EXPECT_TRUE(i->deviceName.isEmpty());
             EXPECT_EQ(i->bootTime, 0);
         },
         "ppc_AdminGetSysInfo",
         {tok()}},
        {"305 two disks, one without temperature",
         admin([](auto &o) {
             o.diskMode = 1;
             o.disks = {disk("WDC WD40", "WD-1", 36, 0), disk("ST4000", "ST-2", 40, 1)};
         }),
         [&](auto d) { return s.qvNasGetDiskStatusInfos(d); },
         305,
         0,
         [](const QVNasResponseInfo &r) {
             const auto l = disks(r);
             ASSERT_TRUE(l);
             EXPECT_EQ(l->diskMode, 1);
             ASSERT_EQ(l->diskStatusList.size(), 2);
             EXPECT_EQ(l->diskStatusList[0]->devModel, QStringLiteral("WDC WD40"));
             EXPECT_EQ(l->diskStatusList[0]->temperatureCelsius, 36);
             EXPECT_FALSE(l->diskStatusList[0]->temperatureDisable);
             EXPECT_EQ(l->diskStatusList[0]->devNode, QStringLiteral(""));
             EXPECT_EQ(l->diskStatusList[1]->serialNumber, QStringLiteral("ST-2"));
             EXPECT_TRUE(l->diskStatusList[1]->temperatureDisable);
             EXPECT_EQ(l->diskStatusList[1]->temperatureCelsius, 0);
             EXPECT_EQ(l->diskStatusList[1]->diskCapacity, 4000787030016LL);
         },
         "ppc_AdminGetDiskStatusInfo",
         {tok()}},
        {"305 a count of three keeps the record's two",
         admin([](auto &o) {
             o.disks = {disk("A", "1", 30, 0), disk("B", "2", 31, 0), disk("C", "3", 32, 0)};
             o.diskCount = 3;
         }),
         [&](auto d) { return s.qvNasGetDiskStatusInfos(d); },
         305,
         0,
         [&](const QVNasResponseInfo &r) {
             const auto l = disks(r);
             ASSERT_TRUE(l);
             ASSERT_EQ(l->diskStatusList.size(), 2);
             EXPECT_EQ(l->diskStatusList[0]->devModel, QStringLiteral("A"));
             EXPECT_EQ(l->diskStatusList[1]->devModel, QStringLiteral("B"));
             EXPECT_TRUE(log.contains(QStringLiteral("disk count 3 beyond the record's 2 slots")));
         },
         "ppc_AdminGetDiskStatusInfo",
         {tok()}},
        {"305 an empty list answers the mode",
         admin([](auto &o) { o.diskMode = 2; }),
         [&](auto d) { return s.qvNasGetDiskStatusInfos(d); },
         305,
         0,
         [](const QVNasResponseInfo &r) {
             const auto l = disks(r);
             ASSERT_TRUE(l);
             EXPECT_EQ(l->diskMode, 2);
             EXPECT_TRUE(l->diskStatusList.isEmpty());
         },
         "ppc_AdminGetDiskStatusInfo",
         {tok()}},
        {"305 failed carries an empty list",
         fails("ppc_AdminGetDiskStatusInfo", 7),
         [&](auto d) { return s.qvNasGetDiskStatusInfos(d); },
         305,
         100007,
         [](const QVNasResponseInfo &r) {
             const auto l = disks(r);
             ASSERT_TRUE(l);
             EXPECT_EQ(l->diskMode, 0);
             EXPECT_TRUE(l->diskStatusList.isEmpty());
         },
         "ppc_AdminGetDiskStatusInfo",
         {tok()}},
        {"310 space limit status",
         {},
         [&](auto d) { return s.qvNasGetSpaceLimitStatus(d); },
         310,
         0,
         number(1),
         "ppc_AdminGetSpaceLimitStatus",
         {tok()}},
        {"310 failed answers -1",
         fails("ppc_AdminGetSpaceLimitStatus", 2),
         [&](auto d) { return s.qvNasGetSpaceLimitStatus(d); },
         310,
         100002,
         number(-1),
         "ppc_AdminGetSpaceLimitStatus",
         {tok()}},
        {"311 set",
         {},
         [&](auto d) { return s.qvNasSetSpaceLimitStatus(1, d); },
         311,
         0,
         noData,
         "ppc_AdminSetSpaceLimitStatus",
         {"1", tok()}},
        {"312 no limit",
         admin([](auto &o) { o.limitSpace = 0; }),
         [&](auto d) { return s.qvNasGetSpaceLimitDefaultInfo(d); },
         312,
         0,
         [](const QVNasResponseInfo &r) {
             const auto i = r.responseData.value<QVNasDeviceUserDefaultSpaceLimitInfoPtr>();
             ASSERT_TRUE(i);
             EXPECT_EQ(i->limitSpace, 0);
             EXPECT_EQ(i->spaceLimitSet, 1);
         },
         "ppc_AdminGetSpaceLimitDefault",
         {tok()}},
        {"312 failed answers 0 and 0",
         fails("ppc_AdminGetSpaceLimitDefault", 3),
         [&](auto d) { return s.qvNasGetSpaceLimitDefaultInfo(d); },
         312,
         100003,
         [](const QVNasResponseInfo &r) {
             const auto i = r.responseData.value<QVNasDeviceUserDefaultSpaceLimitInfoPtr>();
             ASSERT_TRUE(i);
             EXPECT_EQ(i->limitSpace, 0);
             EXPECT_EQ(i->spaceLimitSet, 0);
         },
         "ppc_AdminGetSpaceLimitDefault",
         {tok()}},
        {"313 a limit beyond 32 bits",
         {},
         [&](auto d) { return s.qvNasSetSpaceLimitDefaultInfoWithlimitSpace(int64_t{5} << 32, 1, d); },
         313,
         0,
         noData,
         "ppc_AdminSetSpaceLimitDefault",
         {"1", "21474836480", tok()}},
        {"314 list: the user name is the phone number",
         admin([](auto &o) {
             o.limits = {limitUser(3, "13800000003", "Ann", 0), limitUser(4, "1390", "Bo", 1)};
         }),
         [&](auto d) { return s.qvNasGetUserSpaceInfos(d); },
         314,
         0,
         [](const QVNasResponseInfo &r) {
             const auto l = r.responseData.value<QList<QVNasDeviceUserSpaceLimitInfoPtr>>();
             ASSERT_EQ(l.size(), 2);
             EXPECT_EQ(l[0]->userId, 3);
             EXPECT_EQ(l[0]->userName, QStringLiteral("13800000003"));
             EXPECT_EQ(l[0]->nickName, QStringLiteral("Ann"));
             EXPECT_EQ(l[0]->usedSpace, 300);
             EXPECT_EQ(l[0]->limitSpace, 5000);
             EXPECT_EQ(l[0]->spaceLimitSet, 1);
             EXPECT_TRUE(l[0]->imageUrl.isEmpty());
             EXPECT_EQ(l[1]->userType, 1);
         },
         "ppc_AdminGetSpaceLimitListResult",
         {tok()}},
        {"314 failed answers the SDK's code and an empty list",
         fails("ppc_AdminGetSpaceLimitListResult", 7),
         [&](auto d) { return s.qvNasGetUserSpaceInfos(d); },
         314,
         100007,
         [](const QVNasResponseInfo &r) {
             ASSERT_TRUE(r.responseData.isValid());
             EXPECT_TRUE(r.responseData.value<QList<QVNasDeviceUserSpaceLimitInfoPtr>>().isEmpty());
         },
         "ppc_AdminGetSpaceLimitListResult",
         {tok()}},
        {"315 (7, 5000, 1) reaches the SDK as user 7, flag 1, limit 5000",
         {},
         [&](auto d) { return s.qvNasSetUserSpace(7, 5000, 1, d); },
         315,
         0,
         noData,
         "ppc_AdminSetSpaceLimit",
         {"7", "1", "5000", tok()}},
        {"316 clear a user",
         {},
         [&](auto d) { return s.qvNasClearUser(9, 1, d); },
         316,
         0,
         noData,
         "ppc_AdminClearUser",
         {"9", "1", tok()}},
        {"317 plug-in backup by the broker",
         {},
         [&](auto d) { return b.qvNasAdminGetPlugInBackupInfoWithCompletion(d); },
         317,
         0,
         [](const QVNasResponseInfo &r) {
             const auto i = r.responseData.value<QVNasDevicePlugBackupConfigInfoPtr>();
             ASSERT_TRUE(i);
             EXPECT_EQ(i->usbBackupMode, 0);
             EXPECT_EQ(i->ptpBackupMode, 1);
         },
         "ppc_AdminGetUsbbackupMode",
         {tok()}},
        {"317 failed answers 0 and 0",
         fails("ppc_AdminGetUsbbackupMode", 1),
         [&](auto d) { return b.qvNasAdminGetPlugInBackupInfoWithCompletion(d); },
         317,
         100001,
         [](const QVNasResponseInfo &r) {
             const auto i = r.responseData.value<QVNasDevicePlugBackupConfigInfoPtr>();
             ASSERT_TRUE(i);
             EXPECT_EQ(i->ptpBackupMode, 0);
         },
         "ppc_AdminGetUsbbackupMode",
         {tok()}},
        {"318 plug-in backup set by the broker",
         {},
         [&](auto d) {
             auto i = std::make_shared<QVNasDevicePlugBackupConfigInfo>();
             i->usbBackupMode = 1;
             i->ptpBackupMode = 0;
             return b.qvNasAdminSetPlugInBackupInfo(i, d);
         },
         318,
         0,
         noData,
         "ppc_AdminSetUsbbackupMode",
         {"1", "0", tok()}},
        {"159 the device's users",
         {},
         [&](auto d) { return s.qvNasGetDeviceAllUserList(d); },
         159,
         0,
         {},
         "ppc_GetUserList",
         {tok()}},
        {"the filter-flag listing gives 134",
         {},
         [&](auto d) {
             return b.qvNasGetFileMutilTypeListWithStartIndex(0, 10, {1, 3}, 1, int64_t{0}, d);
         },
         134,
         0,
         {},
         "ppc_FileGetMutilTypeList",
         {"1,3,0", "2", "0", "0", "10", tok()}},
    };
    runRows(rows);
}

TEST_F(DeviceManagerAdmin, TimerSwitchFlagAndValues) {
    auto &s = *service;
    auto times = [](int64_t up, int64_t down, int64_t pool) {
        auto i = std::make_shared<QVNasDeviceSwitchTimeInfo>();
        i->startUpTime = up;
        i->shutDownTime = down;
        i->poolType = pool;
        return i;
    };
    auto timeInfo = [](int64_t up, int64_t down, int64_t pool) -> Check {
        return [=](const QVNasResponseInfo &r) {
            const auto i = r.responseData.value<QVNasDeviceSwitchTimeInfoPtr>();
            ASSERT_TRUE(i);
            EXPECT_EQ(i->startUpTime, up);
            EXPECT_EQ(i->shutDownTime, down);
            EXPECT_EQ(i->poolType, pool);
        };
    };
    const std::vector<Row> rows = {
        {"347 flag",
         {},
         [&](auto d) { return s.qvNasAdminGetDevTimerSwitchFlag(d); },
         347,
         0,
         boolean(true),
         "ppc_getDeviceTimerSwitchFlag",
         {tok()}},
        {"347 failed answers false",
         fails("ppc_getDeviceTimerSwitchFlag", 4),
         [&](auto d) { return s.qvNasAdminGetDevTimerSwitchFlag(d); },
         347,
         100004,
         boolean(false),
         "ppc_getDeviceTimerSwitchFlag",
         {tok()}},
        {"348 any true value is sent as 1",
         {},
         [&](auto d) { return s.qvNasAdminSetDevTimerSwitchFlag(2, d); },
         348,
         0,
         noData,
         "ppc_setDeviceTimerSwitchFlag",
         {"1", tok()}},
        {"348 false",
         {},
         [&](auto d) { return s.qvNasAdminSetDevTimerSwitchFlag(0, d); },
         348,
         0,
         noData,
         "ppc_setDeviceTimerSwitchFlag",
         {"0", tok()}},
        {"359 type 1 sets only the start-up time",
         admin([](auto &o) {
             o.timerSeconds = 3600;
             o.timerOnce = 1;
         }),
         [&](auto d) { return s.qvNasAdminGetDevTimerSwitchValues(1, d); },
         359,
         0,
         timeInfo(3600, 0, 1),
         "ppc_getDeviceTimerSwitchValues",
         {"1", tok()}},
        {"359 type 2 sets only the shut-down time",
         admin([](auto &o) { o.timerSeconds = 7200; }),
         [&](auto d) { return s.qvNasAdminGetDevTimerSwitchValues(2, d); },
         359,
         0,
         timeInfo(0, 7200, 0),
         "ppc_getDeviceTimerSwitchValues",
         {"2", tok()}},
        {"359 failed carries no data",
         fails("ppc_getDeviceTimerSwitchValues", 3),
         [&](auto d) { return s.qvNasAdminGetDevTimerSwitchValues(1, d); },
         359,
         100003,
         noData,
         "ppc_getDeviceTimerSwitchValues",
         {"1", tok()}},
        {"350 type 1 sends the start-up time",
         {},
         [&](auto d) { return s.qvNasAdminSetDevTimerSwitchValues(1, times(3600, 7200, 1), d); },
         350,
         0,
         noData,
         "ppc_setDeviceTimerSwitchValues",
         {"1", "3600", "1", tok()}},
        {"350 type 2 sends the shut-down time",
         {},
         [&](auto d) { return s.qvNasAdminSetDevTimerSwitchValues(2, times(3600, 7200, 0), d); },
         350,
         0,
         noData,
         "ppc_setDeviceTimerSwitchValues",
         {"2", "7200", "0", tok()}},
    };
    runRows(rows);
}

}  // namespace
