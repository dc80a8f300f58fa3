// The device management calls end to end against the emulator in strict mode: administration, settings
// and status, hidden space, timers and modules, shares, the recycle bin, account data, firmware status and
// device operations.
#include "command/device_calls.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/qv_log.h"
#include "command/frame_state.h"
#include "command/ppc_qv_client.h"
#include "command/qv_net_connect.h"
#include "command/task_process.h"
#include "cross_test_util.h"
#include "device.h"
#include "emulator_session.h"
#include "handlers.h"
#include "handlers_admin.h"
#include "handlers_device_user.h"
#include "link/connect_pool.h"
#include "link/qvcrypt.h"
#include "runtime/ppclib.h"

namespace fs = std::filesystem;

namespace {

constexpr char kAuth[] = "auth-calls";

class DeviceCalls : public EmulatorSession {
  protected:
    DeviceCalls() : EmulatorSession("device_calls", kAuth, true) {}

    // Runs `fn` under the state's lock.
    void with_state(const std::function<void(qvemu::AdminState &)> &fn) {
        std::lock_guard lk(st_->mu);
        fn(*st_);
    }
    // Replaces `cmd` by a handler that answers `error` with the whole `data` text.
    void answer(int cmd, int error, const std::string &data) {
        dev_->set_handler(cmd, [error, data](qvemu::Device &, const qvemu::Request &) {
            qvemu::Reply r;
            r.error = error;
            if (!data.empty()) r.data = data;
            return r;
        });
    }
};

// ---- administration ----

TEST_F(DeviceCalls, AdministrationSetsAreSeenByTheirGets) {
    const int64_t t = token_;
    int a = -7, b = -7;
    int64_t space = -7;
    struct Case {
        const char *name;
        std::function<int()> set;
        std::function<int(int *)> get;  // the value read back
        int want;
    };
    const std::vector<Case> cases = {
        {"bind flag", [&] { return QV_AdminSetBindFlag(1, t); },
         [&](int *v) { return QV_AdminGetBindFlag(v, t); }, 1},
        {"remote bind flag", [&] { return QV_AdminSetRemoteBindFlag(3, t); },
         [&](int *v) { return QV_AdminGetRemoteBindFlag(v, t); }, 3},
        {"local bind flag", [&] { return QV_AdminSetLocalBindFlag(4, t); },
         [&](int *v) { return QV_AdminGetLocalBindFlag(v, t); }, 4},
        {"space limit switch", [&] { return QV_AdminSetSpaceLimitStatus(1, t); },
         [&](int *v) { return QV_AdminGetSpaceLimitStatus(v, t); }, 1},
        {"self start", [&] { return QV_AdminSetSelfStart(0, t); },
         [&](int *v) { return QV_AdminGetSelfStartStatus(v, t); }, 0},
        {"space limit default", [&] { return QV_AdminSetSpaceLimitDefault(2, int64_t{5} << 33, t); },
         [&](int *v) {
             const int r = QV_AdminGetSpaceLimitDefault(v, &space, t);
             EXPECT_EQ(space, int64_t{5} << 33);
             return r;
         },
         2},
        {"usb and ptp backup modes", [&] { return QV_AdminSetUsbbackupMode(1, 2, t); },
         [&](int *v) {
             int ptp = -1;
             const int r = QV_AdminGetUsbbackupMode(v, &ptp, t);
             EXPECT_EQ(ptp, 2);
             return r;
         },
         1},
        {"administrator password", [&] { return QV_AdminSetPwd(addr_, "first-pw", t); },
         [&](int *v) { return QV_AdminGetPwdStatus(addr_, v, t); }, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        int v = -7;
        EXPECT_EQ(c.set(), 0);
        EXPECT_EQ(c.get(&v), 0);
        EXPECT_EQ(v, c.want);
    }

    // The other calls of the family, each one exchange.
    EXPECT_EQ(QV_AdminModifyPwd("wrong-old", "second-pw", t), 10017);
    with_state([](qvemu::AdminState &s) { EXPECT_EQ(s.admin_password, "first-pw"); });  // unchanged
    EXPECT_EQ(QV_AdminModifyPwd("first-pw", "second-pw", t), 0);
    EXPECT_EQ(QV_AdminLogin("second-pw", t), 0);
    EXPECT_EQ(QV_AdminLogin("first-pw", t), 10017);
    admin_sys_info sys{};
    EXPECT_EQ(QV_AdminGetSysInfo(&sys, t), 0);
    EXPECT_STREQ(sys.deviceName, "QVNAS");
    disk_status_list disks{};
    EXPECT_EQ(QV_AdminGetDiskStatusInfo(&disks, t), 0);
    EXPECT_EQ(disks.count, 1);
    EXPECT_EQ(QV_AdminInviteBind("guest", t), 0);
    EXPECT_EQ(QV_AdminSetSpaceLimit(1, 1, 4096, t), 0);
    space_limit_info **limits = QV_AdminGetSpaceLimitList(t);
    ASSERT_NE(limits, nullptr);
    ASSERT_NE(limits[0], nullptr);
    EXPECT_EQ(limits[0]->limitSpace, 4096);
    qv_space_limit_list_free(limits);
    user_list_info **users = nullptr;
    EXPECT_EQ(QV_GetUserList(&users, t), 0);
    ASSERT_NE(users, nullptr);
    EXPECT_EQ(users[0]->userId, 1);
    qv_user_list_free(users);
    char url[16];
    EXPECT_EQ(QV_AdminShareBind(url, sizeof url, t), 0);
    EXPECT_EQ(std::strlen(url), sizeof url - 1);
    EXPECT_EQ(QV_AdminGetTempAndFan(&a, &b, t), 0);
    EXPECT_EQ(a, 48);
    EXPECT_EQ(b, 1800);
    EXPECT_EQ(QV_AdminClearUser(1, 1, t), 0);  // strict mode checks its "Timeout: 30000"
    EXPECT_EQ(dev_->users().size(), 0u);
    with_state([](qvemu::AdminState &s) { EXPECT_EQ(s.invited, std::vector<std::string>{"guest"}); });
}

TEST_F(DeviceCalls, AdministrationRefusesMissingArgumentsUnsent) {
    const uint64_t before = dev_->counters().requests_http;
    const int64_t t = token_;
    int64_t space = 0;
    int v = 0;
    const std::vector<std::pair<const char *, std::function<int()>>> cases = {
        {"300 status", [&] { return QV_AdminGetPwdStatus(addr_, nullptr, t); }},
        {"300 address", [&] { return QV_AdminGetPwdStatus(nullptr, &v, t); }},
        {"301 password", [&] { return QV_AdminSetPwd(addr_, nullptr, t); }},
        {"302 old", [&] { return QV_AdminModifyPwd(nullptr, "x", t); }},
        {"302 new", [&] { return QV_AdminModifyPwd("x", nullptr, t); }},
        {"303", [&] { return QV_AdminLogin(nullptr, t); }},
        {"301 empty password", [&] { return QV_AdminSetPwd(addr_, "", t); }},
        {"302 empty new", [&] { return QV_AdminModifyPwd("x", "", t); }},
        {"303 empty", [&] { return QV_AdminLogin("", t); }},
        {"314 no slot", [&] { return QV_AdminGetSpaceLimitListResult(nullptr, t); }},
        {"304", [&] { return QV_AdminGetSysInfo(nullptr, t); }},
        {"305", [&] { return QV_AdminGetDiskStatusInfo(nullptr, t); }},
        {"307", [&] { return QV_AdminGetBindFlag(nullptr, t); }},
        {"309", [&] { return QV_AdminInviteBind(nullptr, t); }},
        {"310", [&] { return QV_AdminGetSpaceLimitStatus(nullptr, t); }},
        {"312", [&] { return QV_AdminGetSpaceLimitDefault(nullptr, &space, t); }},
        {"317", [&] { return QV_AdminGetUsbbackupMode(&v, nullptr, t); }},
        {"322", [&] { return QV_AdminShareBind(nullptr, 8, t); }},
        {"323", [&] { return QV_GetUserList(nullptr, t); }},
        {"324", [&] { return QV_AdminGetRemoteBindFlag(nullptr, t); }},
        {"330", [&] { return QV_AdminGetSelfStartStatus(nullptr, t); }},
        {"332", [&] { return QV_AdminGetTempAndFan(nullptr, &v, t); }},
        {"343", [&] { return QV_AdminGetLocalBindFlag(nullptr, t); }},
    };
    for (const auto &[name, call] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(call(), -1);
    }
    EXPECT_EQ(dev_->counters().requests_http, before);
}

TEST_F(DeviceCalls, PasswordCallsReachASecondDeviceNobodyLoggedInTo) {
    const std::string other_root = root_ + "_other";
    fs::create_directories(other_root);
    const std::string other_addr = cross_test::device_addr(1);
    qvemu::Device other(other_root, other_addr, dev_->port());
    auto other_state = qvemu::install_admin_handlers(other);
    ASSERT_TRUE(other.start()) << other.last_error();
    int status = -1;
    EXPECT_EQ(QV_AdminGetPwdStatus(other_addr.c_str(), &status, 0), 0);
    EXPECT_EQ(status, 1);  // none set there
    EXPECT_EQ(QV_AdminSetPwd(other_addr.c_str(), "other-pw", 0), 0);
    EXPECT_EQ(QV_AdminGetPwdStatus(other_addr.c_str(), &status, 0), 0);
    EXPECT_EQ(status, 0);
    {
        std::lock_guard lk(other_state->mu);
        EXPECT_EQ(other_state->admin_password, "other-pw");
    }
    with_state([](qvemu::AdminState &s) { EXPECT_TRUE(s.admin_password.empty()); });
    EXPECT_EQ(QV_AdminGetPwdStatus(std::string(33, '1').c_str(), &status, 0), -1);
    other.stop();
    for (const auto &v : other.violations()) ADD_FAILURE() << v.what << "\n" << v.request;
    fs::remove_all(other_root);
}

TEST_F(DeviceCalls, HeaderErrorWithFullDataLeavesOutputsAlone) {
    answer(310, 10099, R"([{"limitEnable":1}])");
    answer(312, 10099, R"([{"limitSet":3,"limitSpace":77}])");
    answer(323, 10099, R"({"userList":[{"userId":5,"nickName":"n","imagePath":"/p"}]})");
    answer(314, 10099, R"({"spaceLimitList":[{"userId":5}]})");
    int v = -7;
    int64_t space = -7;
    EXPECT_EQ(QV_AdminGetSpaceLimitStatus(&v, token_), 10099);
    EXPECT_EQ(QV_AdminGetSpaceLimitDefault(&v, &space, token_), 10099);
    EXPECT_EQ(v, -7);
    EXPECT_EQ(space, -7);
    user_list_info **users = reinterpret_cast<user_list_info **>(&v);
    EXPECT_EQ(QV_GetUserList(&users, token_), 10099);
    EXPECT_EQ(users, nullptr);
    EXPECT_EQ(QV_AdminGetSpaceLimitList(token_), nullptr);
}

// ---- settings and status ----

TEST_F(DeviceCalls, DeviceStatusFillsOnlyItsFields) {
    struct Case {
        const char *data;
        int status;
        std::function<void(const qv_dev_status &)> check;
    };
    const std::vector<Case> cases = {
        {R"([{"status":3001,"initMode":2}])", 3001, [](const qv_dev_status &s) { EXPECT_EQ(s.initMode, 2); }},
        {R"([{"status":3003,"dataSyncTime":1700000000123}])", 3003,
         [](const qv_dev_status &s) { EXPECT_EQ(s.dataSyncTime, 1700000000123); }},
        {R"([{"status":3005,"curDiskCapacity":10,"expanCapacity":20,"expanTime":30}])", 3005,
         [](const qv_dev_status &s) {
             EXPECT_EQ(s.curDiskCapacity, 10);
             EXPECT_EQ(s.expanCapacity, 20);
             EXPECT_EQ(s.expanTime, 30);
         }},
        {R"([{"status":3002,"initMode":9}])", 3002,
         [](const qv_dev_status &s) { EXPECT_EQ(s.curDiskCapacity, 0x4141414141414141); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.data);
        answer(20, 0, c.data);
        qv_dev_status s;
        std::memset(&s, 0x41, sizeof s);
        EXPECT_EQ(QV_DGetDeviceStatus(&s, addr_, token_), 0);
        EXPECT_EQ(s.status, c.status);
        c.check(s);
        EXPECT_EQ(s.description[500], 0x41);  // the firmware part is left alone
    }
}

TEST_F(DeviceCalls, DeviceStatusFallsBackOnTransportFailureOnly) {
    // The HTTP side closes without an answer: the framed firmware check decides.
    dev_->set_handler(20, [](qvemu::Device &, const qvemu::Request &) {
        qvemu::Reply r;
        r.raw_writer = [](int) { return false; };
        return r;
    });
    qv_dev_status s{};
    s.status = 77;
    EXPECT_EQ(QV_DGetDeviceStatus(&s, addr_, token_), 0);  // force 0: record untouched
    EXPECT_EQ(s.status, 77);
    with_state([](qvemu::AdminState &st) {
        st.fw_status = 1;
        st.fw_force = 1;
    });
    EXPECT_EQ(QV_DGetDeviceStatus(&s, addr_, token_), 0);
    EXPECT_EQ(s.status, 1000);
    EXPECT_STREQ(s.product, "QV-NAS");
    EXPECT_STREQ(s.version, "2.4.1");
    EXPECT_STREQ(s.description, "fixes");
    EXPECT_EQ(s.size, 52428800);
    EXPECT_GE(dev_->counters().requests_framed, 2u);

    // A device that answers with a refusal is not read as ready.
    const uint64_t framed = dev_->counters().requests_framed;
    answer(20, 10099, "");
    s.status = 77;
    EXPECT_EQ(QV_DGetDeviceStatus(&s, addr_, token_), 10099);
    EXPECT_EQ(s.status, 77);
    EXPECT_EQ(dev_->counters().requests_framed, framed);
}

TEST_F(DeviceCalls, FirmwareCheckAndSimpleSettings) {
    soft_version_info svi{};
    int force = -1, status = -1;
    EXPECT_EQ(QV_OTA2HasLatestVersion("en", addr_, &svi, &force, &status, token_), 0);
    EXPECT_EQ(force, 0);
    with_state([](qvemu::AdminState &st) {
        st.fw_status = 1;
        st.fw_force = 1;
    });
    EXPECT_EQ(QV_OTA2HasLatestVersion("en", addr_, &svi, &force, &status, token_), 10284);
    EXPECT_EQ(force, 1);
    EXPECT_EQ(status, 1);
    EXPECT_STREQ(svi.version, "2.4.1");

    struct Samba {
        int device;
        int want;
    };
    for (Samba c : {Samba{5, 5}, Samba{0, 1}, Samba{1, 1}, Samba{2, 1}}) {
        EXPECT_EQ(QV_SetSambaStatus(c.device, token_), 0);
        int v = -1;
        EXPECT_EQ(QV_GetSambaStatus(&v, token_), 0);
        EXPECT_EQ(v, c.want) << c.device;
    }

    EXPECT_EQ(QV_NotifyServerDataSync(), 0);  // strict mode checks the header without "token"
    with_state([](qvemu::AdminState &st) { EXPECT_EQ(st.data_sync_notices, 1); });

    char name[64] = {};
    EXPECT_EQ(QV_SetDeviceNickName("living room", token_), 0);
    EXPECT_EQ(QV_GetDeviceNickName(name, token_), 0);
    EXPECT_STREQ(name, "living room");

    int64_t minutes = -1;
    EXPECT_EQ(QV_AdminSetDeviceSleepTime(token_, 45), 0);
    EXPECT_EQ(QV_AdminGetDeviceSleepTime(token_, &minutes), 0);
    EXPECT_EQ(minutes, 45);

    const uint64_t zone_sets = sent(338);
    EXPECT_EQ(QV_AdminSetDeviceTimeZone("", token_), -1);
    EXPECT_EQ(QV_AdminSetDeviceTimeZone(nullptr, token_), -1);
    EXPECT_EQ(sent(338), zone_sets);
    EXPECT_EQ(QV_AdminSetDeviceTimeZone("America/Argentina/Buenos_Aires", token_), 0);
    with_state([](qvemu::AdminState &st) { EXPECT_EQ(st.time_zone, "America/Argentin"); });
    char zone[8] = "xxxxxxx";
    EXPECT_EQ(QV_AdminGetDeviceTimeZone(zone, sizeof zone, token_), 0);
    EXPECT_STREQ(zone, "America");
    EXPECT_EQ(QV_AdminGetDeviceTimeZone(nullptr, 8, token_), -1);

    qv_zone_list *zones = nullptr;
    EXPECT_EQ(QV_AdminGetDeviceTimeZoneList(&zones, token_), 0);
    ASSERT_NE(zones, nullptr);
    EXPECT_EQ(zones->count, 2);
    qv_zone_list_free(zones);

    char *smart = nullptr;
    EXPECT_EQ(QV_AdminGetSmartInfo(&smart, token_), 0);
    ASSERT_NE(smart, nullptr);
    EXPECT_NE(std::strstr(smart, "PASSED"), nullptr);
    std::free(smart);

    qv_record_hide rec{7, 1, 2};
    EXPECT_EQ(QV_SetRecentRecordHide(&rec, token_), 0);
    EXPECT_EQ(QV_UsbBackupCancel(token_), 0);
    EXPECT_EQ(QV_AdminSetDeviceReboot(token_), 0);
    with_state([](qvemu::AdminState &st) {
        EXPECT_EQ(st.hidden_records, std::vector<std::string>{"1/2/7"});
        EXPECT_EQ(st.usb_backup_cancels, 1);
        EXPECT_EQ(st.reboots, 1);
    });
}

// ---- hidden space ----

TEST_F(DeviceCalls, HiddenSpaceInItsOrderOfUse) {
    fs::create_directories(root_ + "/vault");
    std::ofstream(root_ + "/vault/secret.txt") << "s";
    uint32_t flag = 9;
    EXPECT_EQ(QV_HideSpaceIsEnable(&flag, token_), 0);
    EXPECT_EQ(flag, 0u);
    EXPECT_EQ(QV_HideSpaceEnable(token_), 0);
    EXPECT_EQ(QV_HideSpaceEnable(token_), 10013);
    EXPECT_EQ(QV_HideSpaceIsEnable(&flag, token_), 0);
    EXPECT_EQ(flag, 1u);

    const uint64_t pwd_sets = sent(179);
    const std::string eleven_threes = [] {
        std::string s;
        for (int i = 0; i < 11; ++i) s += "\xe5\xaf\x86";  // 33 bytes
        return s;
    }();
    for (const std::string &bad : {std::string(5, 'a'), std::string(33, 'a'), eleven_threes})
        EXPECT_EQ(QV_HideSpacePwdSet(bad.c_str(), token_), -1) << bad.size();
    EXPECT_EQ(QV_HideSpacePwdSet(nullptr, token_), -1);
    EXPECT_EQ(sent(179), pwd_sets);
    const std::string pw32(32, 'p');
    EXPECT_EQ(QV_HideSpacePwdSet(pw32.c_str(), token_), 0);
    with_state([&](qvemu::AdminState &st) { EXPECT_EQ(st.hide_pwd, pw32); });
    EXPECT_EQ(QV_HideSpacePwdSet("sixsix", token_), 10015);
    EXPECT_EQ(QV_HideSpacePwdIsSet(&flag, token_), 0);
    EXPECT_EQ(flag, 1u);

    hide_space_info *info = nullptr;
    EXPECT_EQ(QV_GetHideSpaceInfo(token_, &info), 10019);
    EXPECT_EQ(info, nullptr);
    EXPECT_EQ(QV_HideSpaceLogin("wrongpw", token_), 10017);
    EXPECT_EQ(QV_HideSpaceLogin(pw32.c_str(), token_), 0);
    ASSERT_EQ(QV_GetHideSpaceInfo(token_, &info), 0);
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info->nick_name, "private");
    path_info folder{"/vault", info->bucket_id, 0};
    file_list_info *page = nullptr;
    ASSERT_EQ(QV_hideSpaceFileGetList(&folder, 0, 50, 0, &page, token_), 0);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->count, 1);
    ppc_destory_file_list(page->list);
    std::free(page);
    std::free(info);

    EXPECT_EQ(QV_HideSpaceLogout(token_), 0);
    EXPECT_EQ(QV_hideSpaceFileGetList(&folder, 0, 50, 0, &page, token_), 10019);

    // Forgotten password: the code the device "sent", wrong first, then right with 7 digits sent as 6.
    EXPECT_EQ(QV_RouterSmsVerifyCode(token_), 0);
    std::string code;
    with_state([&](qvemu::AdminState &st) { code = st.sms_code; });
    ASSERT_EQ(code.size(), 6u);
    EXPECT_EQ(QV_HideSpacePwdReset("000000", "newpass1", token_), 10016);
    EXPECT_EQ(QV_HideSpacePwdReset((code + "9").c_str(), "newpass1", token_), 0);
    EXPECT_EQ(QV_HideSpacePwdReset(nullptr, "newpass1", token_), -1);
    EXPECT_EQ(QV_HideSpaceLogin("newpass1", token_), 0);

    // A token the device never issued.
    EXPECT_EQ(QV_HideSpaceIsEnable(&flag, token_ + 1), 13002);
}

TEST_F(DeviceCalls, HiddenSpacePageCarriesTheSpaceBucket) {
    with_state([](qvemu::AdminState &st) {
        st.hide_enabled = true;
        st.hide_pwd = "secret1";
    });
    std::string seen;
    ASSERT_EQ(QV_HideSpaceLogin("secret1", token_), 0);
    dev_->set_handler(185, [&seen](qvemu::Device &d, const qvemu::Request &req) {
        seen = req.text;
        return qvemu::folder_listing(d, req);
    });
    path_info folder{"/", 1001, 0};
    file_list_info *page = nullptr;
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(QV_hideSpaceFileGetList(&folder, 0, 10, 2, &page, token_), 0);
        ppc_destory_file_list(page->list);
        std::free(page);
    }
    EXPECT_EQ(sent(185), 2u);  // never answered from a cache
    EXPECT_NE(seen.find("\"srcUserId\": 1001"), std::string::npos) << seen;
    EXPECT_NE(seen.find("\"srcBucketId\": 1001"), std::string::npos) << seen;
    EXPECT_NE(seen.find("\"fileType\": 0"), std::string::npos) << seen;
}

// ---- timers and modules ----

TEST_F(DeviceCalls, TimersAndModules) {
    answer(336, 0, R"([{"flag":5}])");
    uint8_t flag = 9;
    EXPECT_EQ(QV_getDeviceTimerSwitchFlag(&flag, token_), 0);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(QV_getDeviceTimerSwitchFlag(nullptr, token_), -1);

    EXPECT_EQ(QV_setDeviceTimerSwitchValues(0, 3600, 1, token_), 0);
    int32_t secs = -1, once = -1;
    EXPECT_EQ(QV_getDeviceTimerSwitchValues(0, &secs, &once, token_), 0);
    EXPECT_EQ(secs, 3600);
    EXPECT_EQ(once, 1);
    answer(327, 0, R"([{"time_seconds":60}])");
    secs = once = -5;
    EXPECT_EQ(QV_getDeviceTimerSwitchValues(1, &secs, &once, token_), -1);
    EXPECT_EQ(secs, -5);
    EXPECT_EQ(once, -5);
    EXPECT_EQ(QV_getDeviceTimerSwitchValues(1, nullptr, &once, token_), -1);

    module_support_dnode *list = nullptr;
    EXPECT_EQ(QV_getModuleSupportList(&list, token_), 0);
    EXPECT_EQ(ppc_find_module_support(list, 3), 0);
    EXPECT_NE(ppc_find_module_support(list, 2), 0);  // McuModule 0
    // A second fetch replaces the list (ASan sees a leak otherwise).
    EXPECT_EQ(QV_getModuleSupportList(&list, token_), 0);
    ppc_destory_module_support_list(&list);

    // The service context's list as login and logout keep it.
    ppc_router_task *ctx = ppc_router_task_new();
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ppc_module_list_fetch(ctx, token_), 0);
    EXPECT_EQ(ppc_isModuleSupport(ctx, 4), 0);
    EXPECT_EQ(ppc_isModuleSupport(ctx, 2), -1);
    ppc_module_list_clear(ctx);
    EXPECT_EQ(ppc_isModuleSupport(ctx, 4), -1);
    ppc_router_task_free(ctx);
}

// ---- shares ----

TEST_F(DeviceCalls, ShareLinks) {
    fs::create_directories(root_ + "/pics");
    std::ofstream(root_ + "/pics/a.jpg") << "abc";
    share_file_item item{"/pics", 1};
    share_file_item *items[] = {&item};
    share_info *created = nullptr;
    ASSERT_EQ(QV_createShare(items, 1, 1, 604800, &created, token_), 0);
    ASSERT_NE(created, nullptr);
    EXPECT_STRNE(created->sharePw, "");  // chosen by the device
    EXPECT_EQ(created->shareExpect, 604800u);
    std::free(created);

    share_list *list = nullptr;
    ASSERT_EQ(QV_getShareList(0, 0, &list, token_), 0);
    ASSERT_EQ(list->count, 1);
    share_info *first = share_info_of(list->link.next);
    const int64_t id = static_cast<int64_t>(first->shareId);
    const std::string url = first->shareUrl;
    share_list_free(list);

    share_file_list *files = nullptr;
    ASSERT_EQ(QV_AccountGetShareFileList(static_cast<int32_t>(id), "/pics", 0, 0, &files, token_), 0);
    EXPECT_EQ(files->count, 1);
    share_file_list_free(files);
    share_file_info *f = nullptr;
    ASSERT_EQ(QV_AccountGetShareFileData(static_cast<int32_t>(id), "/pics/a.jpg", 0, 0, 2,
                                         "http://127.0.0.9:1/never", &f, token_),
              0);
    EXPECT_EQ(f->dataSize, 2u);
    std::free(f);
    ASSERT_EQ(QV_AccountGetShareFileAttr(static_cast<int32_t>(id), "/pics/a.jpg", 0, 0, 3, &f, token_), 0);
    EXPECT_EQ(f->size, 3u);
    std::free(f);
    with_state([](qvemu::AdminState &st) {
        EXPECT_EQ(st.upload_urls, std::vector<std::string>{"http://127.0.0.9:1/never"});
    });

    const uint64_t before = dev_->counters().requests_http;
    EXPECT_EQ(QV_AccountGetShareFileList(1, nullptr, 0, 0, &files, token_), -1);
    EXPECT_EQ(QV_AccountGetShareFileData(1, "/x", 0, 0, 1, nullptr, &f, token_), -1);
    EXPECT_EQ(QV_AccountGetShareFileAttr(1, "/x", 0, 0, 1, nullptr, token_), -1);
    EXPECT_EQ(QV_cancelShare(int64_t{1} << 32 | id, url.c_str(), token_), -1);  // would cut to `id`
    EXPECT_EQ(dev_->counters().requests_http, before);

    // Texts are cut at 1024 bytes.
    std::string seen;
    dev_->set_handler(206, [&seen](qvemu::Device &, const qvemu::Request &req) {
        seen = qvemu::arg_str(req, "path");
        return qvemu::error_reply(14000);
    });
    EXPECT_EQ(QV_AccountGetShareFileAttr(1, std::string(1500, 'z').c_str(), 0, 0, 1, &f, token_), 14000);
    EXPECT_EQ(seen.size(), 1024u);

    EXPECT_EQ(QV_cancelShare(id, url.c_str(), token_), 0);
    with_state([](qvemu::AdminState &st) { EXPECT_TRUE(st.shares.empty()); });
}

TEST_F(DeviceCalls, ShareIdsBeyond32BitsAreRefused) {
    with_state([](qvemu::AdminState &st) { st.next_share_id = (int64_t{1} << 32) + 1; });
    share_file_item item{"/", 1};
    share_file_item *items[] = {&item};
    share_info *created = nullptr;
    ASSERT_EQ(QV_createShare(items, 1, 0, 0, &created, token_), 0);
    std::free(created);
    share_list *list = nullptr;
    ASSERT_EQ(QV_getShareList(0, 0, &list, token_), 0);
    const int64_t id = static_cast<int64_t>(share_info_of(list->link.next)->shareId);
    share_list_free(list);
    EXPECT_EQ(id, (int64_t{1} << 32) + 1);
    EXPECT_EQ(QV_cancelShare(id, "", token_), -1);
    with_state([](qvemu::AdminState &st) { EXPECT_EQ(st.shares.size(), 1u); });
}

// ---- recycle bin ----

resyscle_list_info keys_of(std::vector<resyscle_dnode> &nodes, std::vector<resyscle_dnode *> &ptrs) {
    ptrs.clear();
    for (auto &n : nodes) ptrs.push_back(&n);
    ptrs.push_back(nullptr);
    resyscle_list_info l{};
    l.rDnode = ptrs.data();
    return l;
}

struct TaskSpy {
    static void on_chunk(client_file_task *t) {
        auto *spy = static_cast<TaskSpy *>(t->user_ctx);
        ++spy->chunks;
        if (t->id.load() != spy->want_id) ++spy->wrong_id;
        if (spy->cancel_after > 0 && spy->chunks == spy->cancel_after) {
            spy->cancelled_at = std::chrono::steady_clock::now();
            t->cancel_status.store(-1);
        }
    }
    int chunks = 0;
    int wrong_id = 0;
    int64_t want_id = 0;
    int cancel_after = 0;
    std::chrono::steady_clock::time_point cancelled_at;
};

client_file_task *new_task(int64_t token, int64_t id, TaskSpy *spy) {
    auto *t = new client_file_task{};
    t->token = token;
    t->id = id;
    t->fd = -1;
    t->chunk_cb = TaskSpy::on_chunk;
    t->user_ctx = spy;
    spy->want_id = id;
    return t;
}

TEST_F(DeviceCalls, RecycleBinRestoresDeletesAndEmpties) {
    path_info p[3] = {{"/r1.txt", 1, 0}, {"/r2.txt", 1, 0}, {"/r3.txt", 1, 0}};
    path_info *paths[] = {&p[0], &p[1], &p[2], nullptr};
    for (int i = 1; i <= 3; ++i) std::ofstream(root_ + "/r" + std::to_string(i) + ".txt") << i;
    delete_list_req del{};
    del.pathList = paths;
    del.totalCount = 3;
    TaskSpy spy;
    std::unique_ptr<client_file_task> task(new_task(token_, 41, &spy));
    ASSERT_EQ(QV_FileDeleteListCb(&del, task.get()), 0);
    EXPECT_FALSE(fs::exists(root_ + "/r1.txt"));

    resyscle_list_info *page = nullptr;
    ASSERT_EQ(QV_ResyscleGetList(&page, 0, 10, token_), 0);
    ASSERT_EQ(page->totalCount, 3);
    std::vector<int> keys;
    for (int i = 0; page->rDnode[i] != nullptr; ++i) keys.push_back(page->rDnode[i]->key);
    EXPECT_STREQ(page->rDnode[0]->path, "/r1.txt");
    ppc_free_resyscle_list(page);

    resyscle_info survive{};
    survive.survive_time = 7 * 86400;
    EXPECT_EQ(QV_ResyscleSetInfo(&survive, token_), 0);
    resyscle_info *info = nullptr;
    ASSERT_EQ(QV_ResyscleGetInfo(&info, token_), 0);
    EXPECT_EQ(info->survive_time, 7 * 86400);
    ppc_free_resyscle_info(info);

    std::vector<resyscle_dnode> nodes(2);
    nodes[0].key = keys[0];
    nodes[1].key = keys[1];
    std::vector<resyscle_dnode *> ptrs;
    resyscle_list_info restore = keys_of(nodes, ptrs);
    TaskSpy rspy;
    std::unique_ptr<client_file_task> rtask(new_task(token_, 42, &rspy));
    ASSERT_EQ(QV_ResyscleRestoreList(&restore, rtask.get()), 0);
    EXPECT_EQ(rspy.chunks, 4);  // start, two entries, end
    EXPECT_EQ(rspy.wrong_id, 0);
    EXPECT_TRUE(fs::exists(root_ + "/r1.txt"));
    EXPECT_TRUE(fs::exists(root_ + "/r2.txt"));

    nodes.resize(1);
    nodes[0].key = keys[2];
    resyscle_list_info remove = keys_of(nodes, ptrs);
    ASSERT_EQ(QV_ResyscleDeleteList(&remove, rtask.get()), 0);
    with_state([](qvemu::AdminState &st) { EXPECT_TRUE(st.bin.empty()); });

    std::ofstream(root_ + "/r4.txt") << 4;
    path_info p4{"/r4.txt", 1, 0};
    path_info *paths4[] = {&p4, nullptr};
    del.pathList = paths4;
    ASSERT_EQ(QV_FileDeleteListCb(&del, task.get()), 0);
    ASSERT_EQ(QV_ResyscleEmpty(rtask.get()), 0);
    with_state([](qvemu::AdminState &st) {
        EXPECT_TRUE(st.bin.empty());
        EXPECT_EQ(st.bin_ops_done, 4);
    });
    EXPECT_FALSE(fs::exists(root_ + "/r4.txt"));
}

TEST_F(DeviceCalls, RecycleOperationsMustEndDone) {
    TaskSpy spy;
    std::unique_ptr<client_file_task> task(new_task(token_, 43, &spy));
    with_state([](qvemu::AdminState &st) { st.recycle_whole_reply = true; });
    EXPECT_NE(QV_ResyscleEmpty(task.get()), 0);
    with_state([](qvemu::AdminState &st) {
        st.recycle_whole_reply = false;
        st.recycle_status_override = 3;
    });
    EXPECT_NE(QV_ResyscleEmpty(task.get()), 0);
    with_state([](qvemu::AdminState &st) { st.recycle_status_override = 0; });
    EXPECT_EQ(QV_ResyscleEmpty(task.get()), 0);
    const uint64_t before = dev_->counters().requests_http;
    EXPECT_EQ(QV_ResyscleEmpty(nullptr), -1);
    EXPECT_EQ(QV_ResyscleRestoreList(nullptr, task.get()), -1);
    EXPECT_EQ(dev_->counters().requests_http, before);
}

TEST_F(DeviceCalls, CancellingALargeRestoreLeavesTheRestInTheBin) {
    constexpr int kEntries = 1000;
    with_state([&](qvemu::AdminState &st) {
        st.bin_chunk_interval_ms = 1;
        st.bin_dir = root_ + ".recycle";
        fs::create_directories(st.bin_dir);
        for (int i = 0; i < kEntries; ++i) {
            qvemu::RecycleEntry e;
            e.key = st.next_bin_key++;
            e.name = "f" + std::to_string(i);
            e.path = "/restored/" + e.name;
            e.stored = st.bin_dir + "/" + std::to_string(e.key);
            std::ofstream(e.stored) << i;
            st.bin.push_back(e);
        }
    });
    std::vector<resyscle_dnode> nodes(kEntries);
    for (int i = 0; i < kEntries; ++i) nodes[static_cast<size_t>(i)].key = i + 1;
    std::vector<resyscle_dnode *> ptrs;
    resyscle_list_info list = keys_of(nodes, ptrs);
    TaskSpy spy;
    spy.cancel_after = 50;
    std::unique_ptr<client_file_task> task(new_task(token_, 44, &spy));
    EXPECT_EQ(QV_ResyscleRestoreList(&list, task.get()), 20008);
    const auto latency = std::chrono::steady_clock::now() - spy.cancelled_at;
    EXPECT_LT(latency, std::chrono::seconds(2));  // generous: about a chunk in practice
    // The device stops when the client leaves: most entries stay in the bin.
    for (int i = 0; i < 100; ++i) {
        size_t left = 0;
        with_state([&](qvemu::AdminState &st) { left = st.bin.size(); });
        if (left < kEntries && i > 10) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    with_state([&](qvemu::AdminState &st) {
        EXPECT_GT(st.bin.size(), static_cast<size_t>(kEntries / 2));
        EXPECT_GE(st.bin_ops_done, 49);
    });
}

// ---- account ----

TEST_F(DeviceCalls, AccountCalls) {
    EXPECT_EQ(QV_AccountCheckBindCode("BC123456", "user-1"), 0);  // strict mode: headers without "token"
    EXPECT_NE(QV_AccountCheckBindCode("BC000000", "user-1"), 0);
    EXPECT_EQ(QV_AccountSetUserInfo("user-1", "Ann", "http://127.0.0.9/a.png"), 0);
    char code[65];
    std::memset(code, 'k', sizeof code);
    EXPECT_EQ(QV_AccountGetAuthCode("user-1", code), 0);
    EXPECT_STREQ(code, "AUTH-user-1-1");
    char uuid[33] = {};
    EXPECT_EQ(QV_AccountGetP2pInfo(uuid), 0);
    EXPECT_STREQ(uuid, "QVP2P-0123456789abcdef");
    with_state([](qvemu::AdminState &st) {
        EXPECT_EQ(st.user_info["user-1"].first, "Ann");
        st.auth_code_empty_data = true;
    });
    std::memset(code, 'k', sizeof code);
    EXPECT_EQ(QV_AccountGetAuthCode("user-1", code), -1);
    EXPECT_EQ(code[0], 'k');

    // Short heap texts are read only up to their end; over-long ones are refused unsent.
    const uint64_t before = dev_->counters().requests_http;
    auto short_text = std::make_unique<char[]>(3);
    std::strcpy(short_text.get(), "ab");
    EXPECT_EQ(QV_AccountSetUserInfo(short_text.get(), short_text.get(), "u"), 0);
    EXPECT_EQ(QV_AccountCheckBindCode(std::string(33, 'b').c_str(), "u"), -1);
    EXPECT_EQ(QV_AccountGetAuthCode(std::string(65, 'u').c_str(), code), -1);
    EXPECT_EQ(QV_AccountGetAuthCode(nullptr, code), -1);
    EXPECT_EQ(QV_AccountGetP2pInfo(nullptr), -1);
    EXPECT_EQ(dev_->counters().requests_http, before + 1);
}

// ---- firmware status and device operations ----

TEST_F(DeviceCalls, OtaStatusFromTheFramedSideWhenHttpFails) {
    with_state([](qvemu::AdminState &st) {
        st.fw_http_fails = true;
        st.ota_status = 0;
        st.ota_process = 40;
    });
    ota_info info{};
    ASSERT_EQ(QV_get_ota_status(addr_, 2000, &info, token_), 0);
    EXPECT_EQ(info.process, 40);
    EXPECT_STREQ(info.deviceId, "QVDEV0001");
    EXPECT_STREQ(info.target_ver, "2.4.1");
    EXPECT_STREQ(info.current_ver, "2.4.0");
    EXPECT_GE(dev_->counters().requests_framed, 1u);

    // A refusal over HTTP stands.
    answer(165, 10099, "");
    ota_info untouched{};
    untouched.process = -3;
    EXPECT_EQ(QV_get_ota_status(addr_, 2000, &untouched, token_), 10099);
    EXPECT_EQ(untouched.process, -3);
}

TEST_F(DeviceCalls, DeviceOperationReportsEveryChunk) {
    struct Seen {
        std::vector<int64_t> progress;
    } seen;
    auto task = std::make_unique<client_file_task>();
    task->token = token_;
    task->fd = -1;
    task->user_ctx = &seen;
    task->chunk_cb = [](client_file_task *t) {
        static_cast<Seen *>(t->user_ctx)->progress.push_back(t->cur_progress.load());
    };
    EXPECT_EQ(QV_RouterDevExec(6, addr_, task.get()), 0);
    EXPECT_EQ(seen.progress, (std::vector<int64_t>{10, 50, 100, 100}));
    EXPECT_EQ(task->status.load(), 2);
    EXPECT_EQ(task->dev_status, 6);
    with_state([](qvemu::AdminState &st) { EXPECT_EQ(st.exec_ops, std::vector<int>{6}); });
}

}  // namespace

namespace {

// A listener that never accepts, its queue filled: further connects get no answer at all.
struct BlackHole {
    int listen_fd = -1;
    std::vector<int> fillers;
    uint16_t port = 0;
    explicit BlackHole(const char *addr) {
        listen_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, addr, &a.sin_addr);
        if (::bind(listen_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(listen_fd, 0) != 0)
            return;
        socklen_t len = sizeof a;
        ::getsockname(listen_fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
        for (int i = 0; i < 4; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
            fillers.push_back(fd);
        }
    }
    ~BlackHole() {
        for (int fd : fillers) ::close(fd);
        if (listen_fd >= 0) ::close(listen_fd);
    }
};

TEST(FramedFallback, ConnectIsBoundedByTheRequestTimeout) {
    const std::string addr = cross_test::device_addr();
    BlackHole hole(addr.c_str());
    ASSERT_NE(hole.port, 0);
    qv::set_log_enabled(false);
    client_info ci;
    ASSERT_EQ(qv_frame_init_addr(&ci, 165, 0, addr.c_str()), 0);
    ci.port = hole.port;
    ci.timeout = 300;
    ota_info rec{};
    ci.otaInfo = &rec;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(_qv_check_prcs_task(&ci), 15000);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    qv::set_log_enabled(true);
}

}  // namespace

namespace {

TEST_F(DeviceCalls, LogDownload) {
    std::string log;
    for (int i = 0; i < 3000; ++i) log += "line " + std::to_string(i) + "\n";
    with_state([&](qvemu::AdminState &st) {
        st.logs[1] = log;
        st.logs[2] = "short\n";
    });
    const std::string out = root_ + "_device.log";
    std::ofstream(out) << std::string(100000, 'o');  // an older, longer log
    struct Count {
        static void cb(client_file_task *t) { ++*static_cast<int *>(t->user_ctx); }
    };
    int progress = 0;
    auto task = std::make_unique<client_file_task>();
    task->token = token_;
    task->fd = -1;
    task->chunk_cb = Count::cb;
    task->user_ctx = &progress;
    ASSERT_EQ(QV_LogFileDownload(out.c_str(), 1, task.get()), 0);
    std::ifstream in(out, std::ios::binary);
    const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, log);
    EXPECT_GE(progress, 1);

    ASSERT_EQ(QV_LogFileDownload(out.c_str(), 2, task.get()), 0);
    EXPECT_EQ(fs::file_size(out), 6u);

    EXPECT_EQ(QV_LogFileDownload(out.c_str(), 9, task.get()), 10202);  // the device's JSON error
    EXPECT_EQ(QV_LogFileDownload((root_ + "_missing/dir/x.log").c_str(), 1, task.get()), 13116);

    const std::string target = root_ + "_elsewhere";
    std::ofstream(target) << "keep";
    const std::string link = root_ + "_link.log";
    fs::remove(link);
    fs::create_symlink(target, link);
    EXPECT_EQ(QV_LogFileDownload(link.c_str(), 1, task.get()), 13116);
    EXPECT_EQ(fs::file_size(target), 4u);

    task->cancel_status = -1;
    EXPECT_EQ(QV_LogFileDownload(out.c_str(), 1, task.get()), 20008);
    for (const auto &p : {out, target, link}) fs::remove(p);
}

// A log of many blocks: progress comes while the bytes arrive, and a cancel part-way through returns
// 20008 with no cut log left at the path, whether or not an older log was there.
TEST_F(DeviceCalls, LogDownloadProgressAndCancelPartWay) {
    std::string log;
    for (int i = 0; log.size() < (1u << 20); ++i)
        log += "entry " + std::to_string(i) + " of the device log\n";
    with_state([&](qvemu::AdminState &st) { st.logs[3] = log; });
    struct Watch {
        std::vector<int64_t> seen;
        int64_t total = 0;
        size_t cancel_at = 0;  // 0: never
        static void cb(client_file_task *t) {
            auto *w = static_cast<Watch *>(t->user_ctx);
            w->seen.push_back(t->cur_progress.load());
            w->total = t->total_progress.load();
            if (w->seen.size() == w->cancel_at) t->cancel_status = -1;
        }
    };
    const std::string out = root_ + "_big.log";
    {
        fs::remove(out);
        Watch w;
        auto task = std::make_unique<client_file_task>();
        task->token = token_;
        task->fd = -1;
        task->chunk_cb = Watch::cb;
        task->user_ctx = &w;
        ASSERT_EQ(QV_LogFileDownload(out.c_str(), 3, task.get()), 0);
        EXPECT_EQ(w.total, static_cast<int64_t>(log.size()));
        ASSERT_GE(w.seen.size(), 10u);
        EXPECT_TRUE(std::is_sorted(w.seen.begin(), w.seen.end()));
        EXPECT_GT(w.seen.front(), 0);
        EXPECT_LT(w.seen[w.seen.size() / 2], w.total);  // reported during the download, not only at its end
        EXPECT_EQ(w.seen.back(), w.total);
        EXPECT_EQ(fs::file_size(out), log.size());
    }
    for (const bool older : {false, true}) {
        SCOPED_TRACE(older ? "an older log at the path" : "no file at the path");
        fs::remove(out);
        if (older) std::ofstream(out) << std::string(3000, 'o');
        Watch w;
        w.cancel_at = 3;
        auto task = std::make_unique<client_file_task>();
        task->token = token_;
        task->fd = -1;
        task->chunk_cb = Watch::cb;
        task->user_ctx = &w;
        EXPECT_EQ(QV_LogFileDownload(out.c_str(), 3, task.get()), 20008);
        EXPECT_GE(w.seen.size(), 3u);  // the blocks of the read in hand are still reported
        EXPECT_LT(w.seen.back(), static_cast<int64_t>(log.size()));
        EXPECT_FALSE(fs::exists(out));
    }
    // Nothing written (a refusal by the device): an older log stays as it was.
    std::ofstream(out) << "older";
    auto task = std::make_unique<client_file_task>();
    task->token = token_;
    task->fd = -1;
    EXPECT_EQ(QV_LogFileDownload(out.c_str(), 9, task.get()), 10202);
    EXPECT_EQ(fs::file_size(out), 5u);
    fs::remove(out);
    EXPECT_EQ(QV_LogFileDownload(out.c_str(), 9, task.get()), 10202);
    EXPECT_FALSE(fs::exists(out));
}

}  // namespace

namespace {

// Secrets never reach the log, debug lines included.
TEST_F(DeviceCalls, SecretsStayOutOfTheLog) {
    struct Capture {
        std::mutex mu;
        std::string text;
        static void sink(const char *line, unsigned long len, void *ctx) {
            auto *c = static_cast<Capture *>(ctx);
            std::lock_guard lk(c->mu);
            c->text.append(line, len);
        }
    } cap;
    with_state([](qvemu::AdminState &st) {
        st.bind_codes["user-7"] = "BINDSECRET";
        st.p2p_uuid = "P2PSECRETUUID";
    });
    qv::set_log_sink(Capture::sink, &cap);
    qv::set_log_enabled(true);
    EXPECT_EQ(QV_AdminSetPwd(addr_, "ADMINSECRET1", token_), 0);
    EXPECT_EQ(QV_AdminModifyPwd("ADMINSECRET1", "ADMINSECRET2", token_), 0);
    EXPECT_EQ(QV_AdminLogin("ADMINSECRET3", token_), 10017);
    EXPECT_EQ(QV_HideSpaceEnable(token_), 0);
    EXPECT_EQ(QV_HideSpacePwdSet("HIDESECRET1", token_), 0);
    EXPECT_EQ(QV_HideSpaceLogin("HIDESECRET2", token_), 10017);
    EXPECT_EQ(QV_HideSpacePwdSet("x", token_), -1);
    EXPECT_EQ(QV_RouterSmsVerifyCode(token_), 0);
    std::string sms;
    with_state([&](qvemu::AdminState &st) { sms = st.sms_code; });
    EXPECT_EQ(QV_HideSpacePwdReset(sms.c_str(), "HIDESECRET4", token_), 0);
    EXPECT_EQ(QV_HideSpacePwdReset("999999", "HIDESECRET5", token_), 10016);
    EXPECT_EQ(QV_AccountCheckBindCode("BINDSECRET", "user-7"), 0);
    char code[65] = {};
    EXPECT_EQ(QV_AccountGetAuthCode("user-7", code), 0);
    char uuid[33] = {};
    EXPECT_EQ(QV_AccountGetP2pInfo(uuid), 0);
    qv::set_log_sink(nullptr, nullptr);
    qv::set_log_enabled(false);
    std::lock_guard lk(cap.mu);
    EXPECT_FALSE(cap.text.empty());
    for (const std::string &secret :
         {std::string("ADMINSECRET"), std::string("HIDESECRET"), sms, std::string("BINDSECRET"),
          std::string(code), std::string("P2PSECRETUUID"), "\"token\":" + std::to_string(token_)})
        EXPECT_EQ(cap.text.find(secret), std::string::npos) << secret << " in:\n" << cap.text;
}

}  // namespace
