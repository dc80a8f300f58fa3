// The runtime's entry points per device command against the emulator: every forwarder sends its own
// command once and hands back what the device answered; the entry points that change their arguments put
// the right values on the wire; the recycle-bin operations report each progress chunk with their sequence
// number.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/qv_errors.h"
#include "command/file_uri.h"
#include "cross_test_util.h"
#include "device.h"
#include "emulator_session.h"
#include "handlers.h"
#include "handlers_admin.h"
#include "handlers_device_user.h"
#include "handlers_fileops.h"
#include "runtime/ppc_forward.h"
#include "runtime/ppc_tracked.h"

namespace fs = std::filesystem;

namespace {

constexpr char kAuth[] = "auth-forward";
// A header error no call gives of its own.
constexpr int kRefusal = 10777;

class Forward : public EmulatorSession {
  protected:
    Forward() : EmulatorSession("forward", kAuth, true) {}

    // Every command request but the link's own (175).
    uint64_t commands_sent() const {
        const auto c = dev_->counters();
        return c.requests_http + c.requests_framed - sent(175);
    }
    // `cmd` answered by `reply` from now on; the request's key object goes to `*args` as JSON text.
    void script(int cmd, std::string *args, std::function<qvemu::Reply()> reply) {
        dev_->set_handler(cmd, [args, reply](qvemu::Device &, const qvemu::Request &req) {
            json_object *a = qvemu::request_args(req);
            if (args != nullptr) *args = a != nullptr ? qvemu::json_text(a) : "";
            return reply();
        });
    }
};

// Calls that hand out a pointer count as refused when they give none.
int refused_if_null(const void *p, const std::function<void()> &release) {
    if (p == nullptr) return kRefusal;
    release();
    return 0;
}

TEST_F(Forward, EveryForwarderSendsItsCommandOnceAndHandsBackTheDevicesAnswer) {
    const int64_t t = token_;
    path_info docs{"/docs", 1, 0};
    path_info *docs_list[] = {&docs, nullptr};
    const char *tags[] = {"red", nullptr};  // the tag lists end at their null entry
    const int32_t types[] = {1, 2};
    int a = 0, b = 0;
    int32_t i32 = 0;
    uint32_t u32 = 0;
    uint8_t u8 = 0;
    int64_t i64 = 0;
    char text[1024] = {};
    char *heap_text = nullptr;
    file_list_info *list = nullptr;
    file_list_page *page = nullptr;
    recent_list *recent = nullptr;
    disk_dnode *disks = nullptr;
    user_space_dnode space{};
    file_stat st{};
    qv_record_hide hide{};
    qv_dev_status status{};
    soft_version_info version{};
    p2p_client_info p2p{};
    time_sync_info time_sync{};
    sys_sync_info sys_sync{};
    nas_device_info nas{};
    hide_space_info *hidden = nullptr;
    share_file_item item{"/docs/a.jpg", 1};
    share_file_item *items[] = {&item, nullptr};
    share_info *share = nullptr;
    share_list *shares = nullptr;
    share_file_list *share_files = nullptr;
    share_file_info *share_file = nullptr;
    resyscle_info *bin_info = nullptr;
    resyscle_info bin_setting{};
    admin_sys_info sys{};
    disk_status_list disk_status{};
    user_list_info **user_list = nullptr;
    qv_zone_list *zones = nullptr;
    backup_uuid_head uuids;
    ppc_init_backup_uuid_list(&uuids);
    auto *node = static_cast<backup_uuid_dnode *>(std::calloc(1, sizeof(backup_uuid_dnode)));
    std::snprintf(node->file_uuid, sizeof node->file_uuid, "uuid-1");
    node->next = node->prev = backup_uuid_end(&uuids);
    uuids.next = uuids.prev = node;
    uuids.count = 1;

    struct Row {
        const char *name;
        int cmd;
        std::function<int()> call;
    };
    const std::vector<Row> rows = {
        // Listings and files
        {"ppc_FileGetStorage", 100, [&] { return ppc_FileGetStorage(&disks, t); }},
        {"ppc_FileGetList", 101, [&] { return ppc_FileGetList(&docs, 0, 50, 0, &page, t); }},
        {"ppc_FileIsExist", 104, [&] { return ppc_FileIsExist(&docs, t, &i32); }},
        {"ppc_stat", 105, [&] { return ppc_stat(&docs, &st, t); }},
        {"ppc_FileGetTypeList", 120, [&] { return ppc_FileGetTypeList(1, 0, &list, 0, 50, t); }},
        {"ppc_DirGetTypeList", 123, [&] { return ppc_DirGetTypeList(1, 0, 3, 0, 50, &list, t); }},
        {"ppc_FileGetTypeListByPath", 124,
         [&] { return ppc_FileGetTypeListByPath(1, 0, &docs, &list, 0, 50, t); }},
        {"ppc_FileDelTypeListByPath", 125, [&] { return ppc_FileDelTypeListByPath(1, &docs, t); }},
        {"ppc_FileRelaxUpload", 147,
         [&] { return ppc_FileRelaxUpload(10, 1700000000, "md5", "0123abcd", &docs, &i32, t); }},
        {"ppc_FileGetUserSpace", 148, [&] { return ppc_FileGetUserSpace(&space, t); }},
        {"ppc_FileGetUserList", 150,
         [&] {
             user_list_item **users = ppc_FileGetUserList(t);
             return refused_if_null(users, [&] { ppc_free_user_list(users); });
         }},
        {"ppc_FileGetRecordsList", 151, [&] { return ppc_FileGetRecordsList(0, 20, 3, t, &recent); }},
        {"ppc_FileSetRecordsHide", 152, [&] { return ppc_FileSetRecordsHide(7, 1, 1, t); }},
        {"ppc_FileSetStore", 153, [&] { return ppc_FileSetStore(&docs, 1, t); }},
        {"ppc_FileSetTag", 154, [&] { return ppc_FileSetTag(&docs, tags, 1, t); }},
        {"ppc_FileListTag", 156, [&] { return ppc_FileListTag(docs_list, 1, tags, 1, 0, t); }},
        {"ppc_FileGetMutilTypeList", 158,
         [&] { return ppc_FileGetMutilTypeList(types, 2, 0, &list, 0, 50, t); }},
        {"ppc_FileGetMutilTypeListPro", 158,
         [&] { return ppc_FileGetMutilTypeListPro(types, 2, 0, &list, 0, 50, 1, t); }},
        {"ppc_FileGetAggregationList", 161, [&] { return ppc_FileGetAggregationList(0, 20, 4, t, &recent); }},
        {"ppc_SetRecentRecordHide", 169, [&] { return ppc_SetRecentRecordHide(&hide, t); }},
        // Backup
        {"ppc_BackupFileIsExist", 134, [&] { return ppc_BackupFileIsExist("uuid-1", t); }},
        {"ppc_Backup_CheckUuidList", 138, [&] { return ppc_Backup_CheckUuidList(&uuids, t); }},
        {"ppc_Backup_CheckFileUuidList", 155, [&] { return ppc_Backup_CheckFileUuidList(&uuids, 0, 50, t); }},
        // Device and firmware
        {"ppc_DGetDeviceStatus", 20, [&] { return ppc_DGetDeviceStatus(&status, addr_, t); }},
        {"ppc_OTA2HasLatestVersion", 164,
         [&] { return ppc_OTA2HasLatestVersion("en", addr_, &version, &a, &b, t); }},
        {"ppc_p2p_get_client_info", 170, [&] { return ppc_p2p_get_client_info(&p2p, t); }},
        {"ppc_GetDeviceNickName", 171, [&] { return ppc_GetDeviceNickName(text, t); }},
        {"ppc_SetDeviceNickName", 172, [&] { return ppc_SetDeviceNickName("den", t); }},
        {"ppc_RouterSetUdiskUpgrade", 48, [&] { return ppc_RouterSetUdiskUpgrade(t); }},
        {"ppc_RouterSetSyncTime", 50, [&] { return ppc_RouterSetSyncTime(&time_sync, t); }},
        {"ppc_RouterSetSyncSystem", 51, [&] { return ppc_RouterSetSyncSystem(&sys_sync, t); }},
        {"ppc_RouterGetFWVersion", 52, [&] { return ppc_RouterGetFWVersion(text, t); }},
        {"ppc_RouterGetVersionFlag", 55, [&] { return ppc_RouterGetVersionFlag(&i32, t); }},
        {"ppc_RouterSetVersionFlag", 56, [&] { return ppc_RouterSetVersionFlag(1, t); }},
        {"ppc_GeNasDeviceInfo", 249, [&] { return ppc_GeNasDeviceInfo(&nas, t); }},
        // Hidden space
        {"ppc_HideSpaceIsEnable", 176, [&] { return ppc_HideSpaceIsEnable(&u32, t); }},
        {"ppc_HideSpaceEnable", 177, [&] { return ppc_HideSpaceEnable(t); }},
        {"ppc_HideSpacePwdIsSet", 178, [&] { return ppc_HideSpacePwdIsSet(&u32, t); }},
        {"ppc_HideSpacePwdSet", 179, [&] { return ppc_HideSpacePwdSet("secret", t); }},
        {"ppc_RouterSmsVerifyCode", 180, [&] { return ppc_RouterSmsVerifyCode(t); }},
        {"ppc_HideSpacePwdReset", 181, [&] { return ppc_HideSpacePwdReset("123456", "secret", t); }},
        {"ppc_HideSpaceLogin", 182, [&] { return ppc_HideSpaceLogin("secret", t); }},
        {"ppc_HideSpaceLogout", 183, [&] { return ppc_HideSpaceLogout(t); }},
        {"ppc_GetHideSpaceInfo", 184, [&] { return ppc_GetHideSpaceInfo(t, &hidden); }},
        {"ppc_hideSpaceFileGetList", 185,
         [&] { return ppc_hideSpaceFileGetList(&docs, 0, 50, 0, &list, t); }},
        // Shares
        {"ppc_createShare", 187, [&] { return ppc_createShare(items, 1, 0, 7, &share, t); }},
        {"ppc_getShareList", 188, [&] { return ppc_getShareList(0, 20, &shares, t); }},
        // Account
        {"ppc_AccountCheckBindCode", 200, [&] { return ppc_AccountCheckBindCode("bind-1", "user-1"); }},
        {"ppc_AccountSetUserInfo", 201,
         [&] { return ppc_AccountSetUserInfo("user-1", "Ann", "https://a/b.png"); }},
        {"ppc_AccountGetAuthCode", 202, [&] { return ppc_AccountGetAuthCode("user-1", text); }},
        {"ppc_AccountGetP2pInfo", 203, [&] { return ppc_AccountGetP2pInfo(text); }},
        {"ppc_AccountGetShareFileList", 204,
         [&] { return ppc_AccountGetShareFileList(3, "/", 0, 20, &share_files, t); }},
        {"ppc_AccountGetShareFileData", 205,
         [&] { return ppc_AccountGetShareFileData(3, "/a.jpg", 1, 0, 9, "https://up/", &share_file, t); }},
        {"ppc_AccountGetShareFileAttr", 206,
         [&] { return ppc_AccountGetShareFileAttr(3, "/a.jpg", 1, 0, 9, &share_file, t); }},
        // Recycle bin
        {"ppc_RecycleGetInfo", 214, [&] { return ppc_RecycleGetInfo(&bin_info, t); }},
        {"ppc_RecycleSetInfo", 215, [&] { return ppc_RecycleSetInfo(&bin_setting, t); }},
        // Administration
        {"ppc_AdminGetPwdStatus", 300, [&] { return ppc_AdminGetPwdStatus(addr_, &a, t); }},
        {"ppc_AdminSetPwd", 301, [&] { return ppc_AdminSetPwd(addr_, "pw", t); }},
        {"ppc_AdminModifyPwd", 302, [&] { return ppc_AdminModifyPwd("pw", "pw2", t); }},
        {"ppc_AdminLogin", 303, [&] { return ppc_AdminLogin("pw", t); }},
        {"ppc_AdminGetSysInfo", 304, [&] { return ppc_AdminGetSysInfo(&sys, t); }},
        {"ppc_AdminGetDiskStatusInfo", 305, [&] { return ppc_AdminGetDiskStatusInfo(&disk_status, t); }},
        {"ppc_AdminGetBindFlag", 307, [&] { return ppc_AdminGetBindFlag(&a, t); }},
        {"ppc_AdminSetBindFlag", 308, [&] { return ppc_AdminSetBindFlag(1, t); }},
        {"ppc_AdminInviteBind", 309, [&] { return ppc_AdminInviteBind("bob", t); }},
        {"ppc_AdminGetSpaceLimitStatus", 310, [&] { return ppc_AdminGetSpaceLimitStatus(&a, t); }},
        {"ppc_AdminSetSpaceLimitStatus", 311, [&] { return ppc_AdminSetSpaceLimitStatus(1, t); }},
        {"ppc_AdminGetSpaceLimitDefault", 312, [&] { return ppc_AdminGetSpaceLimitDefault(&a, &i64, t); }},
        {"ppc_AdminSetSpaceLimitDefault", 313, [&] { return ppc_AdminSetSpaceLimitDefault(1, 1 << 20, t); }},
        {"ppc_AdminGetSpaceLimitList", 314,
         [&] {
             space_limit_info **limits = ppc_AdminGetSpaceLimitList(t);
             return refused_if_null(limits, [&] {
                 for (space_limit_info **p = limits; *p != nullptr; ++p) std::free(*p);
                 std::free(limits);
             });
         }},
        {"ppc_AdminSetSpaceLimit", 315, [&] { return ppc_AdminSetSpaceLimit(5, 1, 1 << 20, t); }},
        {"ppc_AdminClearUser", 316, [&] { return ppc_AdminClearUser(5, 1, t); }},
        {"ppc_AdminGetUsbbackupMode", 317, [&] { return ppc_AdminGetUsbbackupMode(&a, &b, t); }},
        {"ppc_AdminSetUsbbackupMode", 318, [&] { return ppc_AdminSetUsbbackupMode(1, 0, t); }},
        {"ppc_GetSambaStatus", 319, [&] { return ppc_GetSambaStatus(&a, t); }},
        {"ppc_SetSambaStatus", 320, [&] { return ppc_SetSambaStatus(1, t); }},
        {"ppc_AdminShareBind", 322, [&] { return ppc_AdminShareBind(text, sizeof text, t); }},
        {"ppc_GetUserList", 323, [&] { return ppc_GetUserList(&user_list, t); }},
        {"ppc_AdminGetRemoteBindFlag", 324, [&] { return ppc_AdminGetRemoteBindFlag(&a, t); }},
        {"ppc_AdminSetRemoteBindFlag", 325, [&] { return ppc_AdminSetRemoteBindFlag(1, t); }},
        {"ppc_getDeviceTimerSwitchValues", 327,
         [&] { return ppc_getDeviceTimerSwitchValues(1, &i32, &a, t); }},
        {"ppc_setDeviceTimerSwitchValues", 328,
         [&] { return ppc_setDeviceTimerSwitchValues(1, 3600, 0, t); }},
        {"ppc_AdminGetSelfStartStatus", 330, [&] { return ppc_AdminGetSelfStartStatus(&a, t); }},
        {"ppc_AdminSetSelfStart", 331, [&] { return ppc_AdminSetSelfStart(1, t); }},
        {"ppc_AdminGetTempAndFan", 332, [&] { return ppc_AdminGetTempAndFan(&a, &b, t); }},
        {"ppc_AdminSetDeviceReboot", 333, [&] { return ppc_AdminSetDeviceReboot(t); }},
        {"ppc_AdminSetDeviceSleepTime", 334, [&] { return ppc_AdminSetDeviceSleepTime(t, 600); }},
        {"ppc_AdminGetDeviceSleepTime", 335, [&] { return ppc_AdminGetDeviceSleepTime(t, &i64); }},
        {"ppc_getDeviceTimerSwitchFlag", 336, [&] { return ppc_getDeviceTimerSwitchFlag(&u8, t); }},
        {"ppc_setDeviceTimerSwitchFlag", 337, [&] { return ppc_setDeviceTimerSwitchFlag(1, t); }},
        {"ppc_AdminSetDeviceTimeZone", 338, [&] { return ppc_AdminSetDeviceTimeZone("UTC", t); }},
        {"ppc_AdminGetDeviceTimeZone", 339, [&] { return ppc_AdminGetDeviceTimeZone(text, sizeof text, t); }},
        {"ppc_AdminGetDeviceTimeZoneList", 340, [&] { return ppc_AdminGetDeviceTimeZoneList(&zones, t); }},
        {"ppc_AdminGetSmartInfo", 341, [&] { return ppc_AdminGetSmartInfo(&heap_text, t); }},
        {"ppc_UsbBackupCancel", 342, [&] { return ppc_UsbBackupCancel(t); }},
        {"ppc_AdminGetLocalBindFlag", 343, [&] { return ppc_AdminGetLocalBindFlag(&a, t); }},
        {"ppc_AdminSetLocalBindFlag", 344, [&] { return ppc_AdminSetLocalBindFlag(1, t); }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        script(row.cmd, nullptr, [] { return qvemu::error_reply(kRefusal); });
        const uint64_t before = sent(row.cmd), all_before = commands_sent();
        EXPECT_EQ(row.call(), kRefusal);
        EXPECT_EQ(sent(row.cmd) - before, 1u);
        EXPECT_EQ(commands_sent() - all_before, 1u) << "another command went out too";
    }
    ppc_free_backup_uuid_list(&uuids);
    EXPECT_EQ(page, nullptr);
    EXPECT_EQ(list, nullptr);
}

// The signed file address needs no exchange: the same text as the command layer's, nothing sent.
TEST_F(Forward, TheSignedFileAddressIsMadeLocally) {
    const uint64_t before = commands_sent();
    char *mine = ppc_FGetUriByToken("/docs/a b.jpg", 3, token_);
    char *theirs = qvFGetUriByToken("/docs/a b.jpg", 3, token_);
    ASSERT_NE(mine, nullptr);
    ASSERT_NE(theirs, nullptr);
    EXPECT_STREQ(mine, theirs);
    std::free(mine);
    std::free(theirs);
    EXPECT_EQ(commands_sent(), before);
}

TEST_F(Forward, EntryPointsThatChangeTheirArgumentsSendWhatTheCallExpects) {
    // The backup folder named by a registered device: identity_test (registration needs the service).
    resyscle_list_info *bin = nullptr;
    auto nothing = [] { return qvemu::Reply{}; };
    auto bin_page = [] {
        qvemu::Reply r;
        r.data = R"({"count":0,"totalCount":0,"resyscleList":[]})";
        return r;
    };
    struct Case {
        const char *name;
        int cmd;
        std::function<int()> call;
        std::function<qvemu::Reply()> reply;
        std::vector<std::string> on_wire;  // pieces of the request's key object
    };
    const std::vector<Case> cases = {
        {"share id -1 widened with its sign",
         189,
         [&] { return ppc_cancelShare(-1, "https://s/x", token_); },
         nothing,
         {"\"shareId\":-1"}},
        {"largest share id",
         189,
         [&] { return ppc_cancelShare(INT32_MAX, "https://s/x", token_); },
         nothing,
         {"\"shareId\":2147483647"}},
        {"recycle page: offset and length in place",
         210,
         [&] {
             const int r = ppc_RecycleGetList(0, 50, &bin, token_);
             ppc_free_resyscle_list(bin);
             return r;
         },
         bin_page,
         {"\"offset\":0", "\"length\":50"}},
        {"recycle page further on",
         210,
         [&] {
             const int r = ppc_RecycleGetList(100, 25, &bin, token_);
             ppc_free_resyscle_list(bin);
             return r;
         },
         bin_page,
         {"\"offset\":100", "\"length\":25"}},
        {"cloud sync notice", 166, [] { return ppc_NotifyServerDataSync(); }, nothing, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string args;
        script(c.cmd, &args, c.reply);
        const uint64_t before = sent(c.cmd);
        EXPECT_EQ(c.call(), 0);
        EXPECT_EQ(sent(c.cmd) - before, 1u);
        for (const std::string &piece : c.on_wire) EXPECT_NE(args.find(piece), std::string::npos) << args;
    }
    // A backup folder without a device entry: nothing is sent.
    path_info dir{"/Backup", 1, 0};
    const uint64_t before = commands_sent();
    EXPECT_EQ(ppc_FileMkdirBackup(&dir, nullptr, token_), QV_ERR_ARG);
    EXPECT_EQ(commands_sent(), before);
}

struct Heard {
    std::mutex mu;
    std::vector<std::string> events;  // "id status cur/total" per callback
};
Heard g_heard;

void on_event(client_file_task *task) {
    std::lock_guard lk(g_heard.mu);
    g_heard.events.push_back(std::to_string(task->id.load()) + " " + std::to_string(task->status.load()) +
                             " " + std::to_string(task->cur_progress.load()) + "/" +
                             std::to_string(task->total_progress.load()));
}

std::vector<std::string> take_heard() {
    std::lock_guard lk(g_heard.mu);
    return std::exchange(g_heard.events, {});
}

TEST_F(Forward, RecycleOperationsReportEveryChunkWithTheirSequenceNumber) {
    auto three_chunks = [] {
        qvemu::Reply r;
        for (int i = 1; i <= 3; ++i)
            r.chunks.push_back("[{\"status\":" + std::to_string(i < 3 ? 1 : 2) +
                               ",\"curCount\":" + std::to_string(i) + ",\"totalCount\":3}]");
        return r;
    };
    std::vector<resyscle_dnode> nodes(3);
    std::vector<resyscle_dnode *> ptrs;
    for (size_t i = 0; i < nodes.size(); ++i) {
        nodes[i].key = static_cast<int32_t>(i + 1);
        ptrs.push_back(&nodes[i]);
    }
    ptrs.push_back(nullptr);
    resyscle_list_info three{};
    three.rDnode = ptrs.data();
    three.count = 3;
    struct Case {
        const char *name;
        int cmd;
        int32_t seq;
        std::function<int(int32_t, file_task_cb)> run;
    };
    const std::vector<Case> cases = {
        {"restore", 211, 41,
         [&](int32_t seq, file_task_cb cb) { return ppc_RecycleRestoreFileList(seq, &three, cb, token_); }},
        {"delete for good", 212, -7,
         [&](int32_t seq, file_task_cb cb) { return ppc_RecycleDeleteFileList(seq, &three, cb, token_); }},
        {"empty", 213, INT32_MAX,
         [&](int32_t seq, file_task_cb cb) { return ppc_RecycleEmpty(seq, cb, token_); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        script(c.cmd, nullptr, three_chunks);
        take_heard();
        const uint64_t chunks_before = dev_->counters().chunks_by_cmd[c.cmd];
        EXPECT_EQ(c.run(c.seq, on_event), 0);
        EXPECT_EQ(dev_->counters().chunks_by_cmd[c.cmd] - chunks_before, 3u);
        const std::string s = std::to_string(c.seq);
        // The counters follow the chunks of status 1; the closing chunk brings its status only.
        EXPECT_EQ(take_heard(), (std::vector<std::string>{s + " 1 1/3", s + " 1 2/3", s + " 2 2/3"}));
        // Without a callback the operation runs all the same.
        EXPECT_EQ(c.run(c.seq, nullptr), 0);
        EXPECT_TRUE(take_heard().empty());
    }
    // A device that refuses: its error comes back.
    script(211, nullptr, [] { return qvemu::error_reply(kRefusal); });
    EXPECT_EQ(ppc_RecycleRestoreFileList(1, &three, on_event, token_), kRefusal);
}

// Against the emulator's own bin: one callback per chunk it streams (a start, one per entry, an end).
TEST_F(Forward, ARestoreOfTheEmulatorsBinHearsEveryChunk) {
    {
        std::lock_guard lk(st_->mu);
        st_->bin_dir = root_ + ".recycle";
        fs::create_directories(st_->bin_dir);
        for (int i = 0; i < 3; ++i) {
            qvemu::RecycleEntry e;
            e.key = st_->next_bin_key++;
            e.name = "f" + std::to_string(i);
            e.path = "/restored/" + e.name;
            e.stored = st_->bin_dir + "/" + std::to_string(e.key);
            std::ofstream(e.stored) << i;
            st_->bin.push_back(e);
        }
    }
    resyscle_list_info *page = nullptr;
    ASSERT_EQ(ppc_RecycleGetList(0, 10, &page, token_), 0);
    ASSERT_EQ(page->totalCount, 3);
    take_heard();
    EXPECT_EQ(ppc_RecycleRestoreFileList(9, page, on_event, token_), 0);
    ppc_free_resyscle_list(page);
    const auto heard = take_heard();
    ASSERT_EQ(heard.size(), dev_->counters().chunks_by_cmd[211]);
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(heard.back(), "9 2 3/3");
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(fs::exists(root_ + "/restored/f" + std::to_string(i)));
    std::lock_guard lk(st_->mu);
    EXPECT_TRUE(st_->bin.empty());
}

// A cancel followed at once by a close of every pooled connection (what a logout does) ends a streamed copy
// as cancelled, not as a lost connection, however the two land against the reader's checks.
TEST_F(Forward, ACopyCancelledAndCutAtOnceEndsCancelled) {
    qvemu::FileOpOptions slow;
    slow.chunk_interval_ms = 30;
    qvemu::install_fileop_handlers(*dev_, slow);
    fs::create_directories(root_ + "/c");
    for (int i = 0; i < 20; ++i) std::ofstream(root_ + "/c/f" + std::to_string(i)) << i;
    path_info src{"/c", 0, 0};
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        const std::string out = "/out" + std::to_string(round);  // a fresh target each round
        fs::create_directories(root_ + out);
        path_info dst{out.c_str(), 0, 0};
        client_file_task *task = client_file_task_new();
        task->id = 70 + round;
        task->token = token_;
        std::atomic<int> copy{-2};
        std::thread copier([&] { copy = QV_FileCopyCb(0, &src, &dst, task); });
        while (task->cur_progress.load() < 1 && copy.load() == -2)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        task->cancel_status = -1;
        qv_close_all_connection();
        copier.join();
        EXPECT_EQ(copy.load(), QV_ERR_CANCELLED);
        client_file_task_free(task);
    }
}

TEST(BackupUuidList, InitGivesAnEmptyListThatFreeLeavesAlone) {
    backup_uuid_head head{};
    head.count = 5;
    EXPECT_EQ(ppc_init_backup_uuid_list(&head), 0);
    EXPECT_EQ(head.next, backup_uuid_end(&head));
    EXPECT_EQ(head.prev, backup_uuid_end(&head));
    EXPECT_EQ(head.count, 0u);
    ppc_free_backup_uuid_list(&head);
    EXPECT_EQ(head.next, backup_uuid_end(&head));
    EXPECT_EQ(head.count, 0u);
    ppc_free_backup_uuid_list(nullptr);
    EXPECT_EQ(ppc_init_backup_uuid_list(nullptr), 0);
}

}  // namespace
