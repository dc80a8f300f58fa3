// Golden request texts of every builder with parameters: command code + record inputs -> exact text.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/client_file_task.h"
#include "base/file_types.h"
#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/file_process.h"
#include "codec/request_blocks.h"

namespace {

// Inputs the records point to; one set per case.
struct Inputs {
    path_info src{"/a", 2, 1};
    path_info des{"/b", 3, 0};
    path_info p1{"/a", 2, 0};
    path_info p2{"/b", 3, 0};
    path_info *paths[3] = {&p1, &p2, nullptr};
    path_info *no_paths[1] = {nullptr};
    const char *tags[3] = {"cat", "dog", nullptr};
    int32_t types[3] = {1, 2, 3};
    int32_t gps_ids[3] = {1, 2, 9};
    gps_condition gps{1, 2, gps_ids};
    search_condition search{};
    resyscle_dnode r7{}, r9{};
    resyscle_dnode *rentries[3] = {&r7, &r9, nullptr};
    resyscle_list_info rlist{0, 2, 2, rentries};
    resyscle_info rinfo{nullptr, 0, 5000000000LL};
    recent_record_hide_req hide{11, 12, 13};
    dev_sleep_time_req sleep{30};
    time_zone_req zone{};
    hide_space_pwd_set_req pwd_set{};
    hide_space_pwd_reset_req pwd_reset{};
    hide_space_login_req login{};
    timer_switch_req timer{1, 3600, 0};
    share_file_item s1{"/a", 2}, s2{"/b", 3};
    share_file_item *share_items[2] = {&s1, &s2};
    create_share_req create{nullptr, share_items, 2, 1, 604800};
    get_share_list_req share_list{nullptr, 0, 20};
    cancel_share_req cancel{};
    get_share_file_list_req share_dir{};
    get_share_file_data_req share_data{};
    get_share_file_attr_req share_attr{};
    client_file_task *task = client_file_task_new();

    Inputs() {
        r7.key = 7;
        r9.key = 9;
        std::strcpy(zone.timeZone, "Asia/Shanghai");
        std::strcpy(pwd_set.pwd, "secret");
        std::strcpy(pwd_reset.pwd, "secret");
        std::strcpy(pwd_reset.verify_code, "123456");
        std::strcpy(login.pwd, "secret");
        cancel.shareId = 42;
        std::strcpy(cancel.url, "http://s/x");
        share_dir.shareId = 42;
        share_dir.len = 20;
        std::strcpy(share_dir.fileDir, "/");
        share_data.shareId = 42;
        std::strcpy(share_data.path, "/a");
        share_data.type = 1;
        share_data.end = 5000000000LL;
        std::strcpy(share_data.uploadUrl, "http://u");
        share_attr.shareId = 0x100000002LL;  // a 64-bit slot: the low 32 bits are sent
        std::strcpy(share_attr.path, "/a");
        share_attr.type = 1;
        share_attr.end = 5000000000LL;
        task->latitude1 = 22.5;
        task->longitude1 = 113.9;
        task->latitude2 = -22.6;
        task->longitude2 = 0.1234567;
        search.search_specify_type = -1;
    }
    ~Inputs() { client_file_task_free(task); }
};

// A zeroed record that frees what the processor would free.
struct Rec {
    client_info ci;
    Rec() { std::memset(&ci, 0, sizeof ci); }
    ~Rec() {
        std::free(ci.retstr);
        std::free(ci.cacheKey);
    }
};

std::string header(int cmd) {
    const bool token = !(cmd == 166 || (cmd >= 200 && cmd <= 203));
    return std::string("\"header\": { \"cmd\": ") + std::to_string(cmd) + (token ? ", \"token\": 77" : "") +
           ", \"seq\": 5, \"error\": 0 }";
}

std::string envelope(int cmd, const std::string &data) {
    return "{ \"data\": " + data + ", " + header(cmd) + " }";
}

using Fill = std::function<void(client_info &, Inputs &)>;

struct Case {
    int cmd;
    Fill fill;
    std::string data;  // the expected "data" text
    bool cached;       // cache key "cmd: C, para: <the one parameter object>"
};

void fill_backup(client_info &c, Inputs &) {
    c.fileUuid = "u1";
    c.dirName = "d";
    c.deviceUuid = "dev";
    c.srcPath = "/home/x.jpg";
    c.file_length = 100;
    c.length = 100;
    c.modifyTime = 3000000000u;
}

void fill_page(client_info &c, Inputs &in) {
    c.srcPathInfo = &in.src;
    c.fileType = 3;
    c.sortType = 1;
    c.offset = 10;
    c.length = 20;
    c.count = 4;
}

const Fill kSrc = [](client_info &c, Inputs &in) { c.srcPathInfo = &in.src; };
const Fill kSrcDes = [](client_info &c, Inputs &in) {
    c.srcPathInfo = &in.src;
    c.desPathInfo = &in.des;
};

const char kFolderPage[] =
    "[ { \"path\": \"\\/photos\", \"srcUserId\": 2, \"srcBucketId\": 2, \"offset\": 0, \"length\": 500, "
    "\"fileType\": 0, \"sortType\": 1 } ]";
const char kTypePage[] =
    "[ { \"fileType\": 3, \"sortType\": 1, \"offset\": 10, \"length\": 20, \"childCount\": 4 } ]";
const char kFileShare[] =
    "[ { \"shareId\": 42, \"path\": \"\\/a\", \"type\": 1, \"start\": 0, \"end\": 5000000000, "
    "\"uploadUrl\": \"http:\\/\\/u\" } ]";

const std::vector<Case> &golden_cases() {
    static const std::vector<Case> cases = {
        {101,
         [](client_info &c, Inputs &in) {
             in.src.path = "/photos";
             c.srcPathInfo = &in.src;
             c.length = 500;
             c.sortType = 1;
         },
         kFolderPage, true},
        // The page window travels as 32-bit values: offset 2^32 sends 0.
        {101,
         [](client_info &c, Inputs &in) {
             in.src.path = "/photos";
             c.srcPathInfo = &in.src;
             c.offset = 4294967296LL;
             c.length = 500;
             c.sortType = 1;
         },
         kFolderPage, true},
        {185,
         [](client_info &c, Inputs &in) {
             in.src.path = "/photos";
             c.srcPathInfo = &in.src;
             c.length = 500;
             c.sortType = 1;
         },
         kFolderPage, false},
        {102,
         [](client_info &c, Inputs &in) {
             in.src.path = "/photos/new";
             c.srcPathInfo = &in.src;
         },
         "[ { \"path\": \"\\/photos\\/new\", \"srcBucketId\": 2 } ]", false},
        {103, kSrcDes, "[ { \"srcPath\": \"\\/a\", \"srcBucketId\": 2, \"desPath\": \"\\/b\", \"desBucketId\": 3 } ]",
         false},
        {104, kSrc, "[ { \"path\": \"\\/a\", \"srcUserId\": 2, \"srcBucketId\": 2 } ]", false},
        {105,
         [](client_info &c, Inputs &in) {
             c.srcPathInfo = &in.src;
             c.optionFlag = 4;
         },
         "[ { \"path\": \"\\/a\", \"srcBucketId\": 2, \"thumbnailType\": 1, \"attrFlag\": 4 } ]", false},
        {106,
         [](client_info &c, Inputs &in) {
             c.srcPathInfo = &in.src;
             c.offset = 4294967296LL;
             c.length = 5000000000LL;
         },
         "[ { \"path\": \"\\/a\", \"srcUserId\": 2, \"srcBucketId\": 2, \"offset\": 4294967296, "
         "\"length\": 5000000000, \"recordsFlags\": 1 } ]",
         false},
        {108,
         [](client_info &c, Inputs &in) {
             c.srcPathInfo = &in.src;
             c.modifyTime = 3000000000u;
             c.file_length = 10;
         },
         "[ { \"path\": \"\\/a\", \"srcUserId\": 2, \"srcBucketId\": 2, \"modifyTime\": 3000000000, "
         "\"fileSize\": 10 } ]",
         false},
        {109, kSrc, "[ { \"path\": \"\\/a\", \"srcBucketId\": 2 } ]", false},
        {113,
         [](client_info &c, Inputs &in) {
             c.srcPathInfo = &in.src;
             c.searchString = "cat";
             c.sortType = 1;
             c.currentOnly = 1;
         },
         "[ { \"searchString\": \"cat\", \"searchPath\": \"\\/a\", \"srcUserId\": 2, \"srcBucketId\": 2, "
         "\"sortType\": 1, \"currentOnly\": 1 } ]",
         false},
        {113,
         [](client_info &c, Inputs &in) {
             c.srcPathInfo = &in.src;
             c.sortType = 1;
         },
         "[ { \"searchPath\": \"\\/a\", \"srcUserId\": 2, \"srcBucketId\": 2, \"sortType\": 1, \"currentOnly\": 0 } ]",
         false},
        {120, fill_page, kTypePage, true},
        {123, fill_page, kTypePage, true},
        {155, fill_page, kTypePage, false},
        {121, fill_page, "[ { \"fileType\": 3 } ]", false},
        {124, fill_page,
         "[ { \"fileType\": 3, \"sortType\": 1, \"path\": \"\\/a\", \"offset\": 10, \"length\": 20, "
         "\"srcUserId\": 2, \"srcBucketId\": 2 } ]",
         true},
        {125, fill_page, "[ { \"fileType\": 3, \"path\": \"\\/a\", \"srcUserId\": 2, \"srcBucketId\": 2 } ]", false},
        {151, fill_page, "[ { \"offset\": 10, \"length\": 20, \"childCount\": 4 } ]", true},
        {161, fill_page, "[ { \"offset\": 10, \"length\": 20, \"aggregationId\": 4 } ]", true},
        {210, fill_page, "[ { \"offset\": 10, \"length\": 20 } ]", false},
        {152,
         [](client_info &c, Inputs &) {
             c.count = 9;
             c.actionCode = 2;
             c.status = 1;
         },
         "[ { \"stampId\": 9, \"recordsCmd\": 2, \"isHide\": 1 } ]", false},
        {153,
         [](client_info &c, Inputs &in) {
             c.srcPathInfo = &in.src;
             c.status = 1;
         },
         "[ { \"path\": \"\\/a\", \"srcUserId\": 2, \"srcBucketId\": 2, \"isStore\": 1 } ]", false},
        // The caller's filterFlag is not sent: always 1.
        {158,
         [](client_info &c, Inputs &in) {
             c.typeList = in.types;
             c.count = 3;
             c.sortType = 1;
             c.length = 50;
             c.filterFlag = 0;
         },
         "[ { \"typeList\": [ 1, 2, 3 ], \"sortType\": 1, \"offset\": 0, \"length\": 50, \"childCount\": 3, "
         "\"filterFlag\": 1 } ]",
         true},
        {158, [](client_info &c, Inputs &) { c.length = 50; },
         "[ { \"typeList\": [ ], \"sortType\": 0, \"offset\": 0, \"length\": 50, \"childCount\": 0, "
         "\"filterFlag\": 1 } ]",
         true},
        {159, kSrcDes, "[ { \"path\": \"\\/a\", \"srcBucketId\": 2, \"desPath\": \"\\/b\", \"desBucketId\": 3 } ]",
         false},
        {160, kSrcDes, "[ { \"path\": \"\\/a\", \"srcBucketId\": 2, \"desPath\": \"\\/b\", \"desBucketId\": 3 } ]",
         false},
        {167, [](client_info &c, Inputs &in) { c.pathList = in.paths; },
         "{ \"FileListInfo\": [ { \"filePath\": \"\\/a\", \"srcBucketId\": 2 }, "
         "{ \"filePath\": \"\\/b\", \"srcBucketId\": 3 } ] }",
         false},
        {167, [](client_info &c, Inputs &in) { c.pathList = in.no_paths; }, "{ \"FileListInfo\": [ ] }", false},
        {211, [](client_info &c, Inputs &in) { c.resyscleList = &in.rlist; },
         "{ \"ResyscleList\": [ { \"resyscleKey\": 7 }, { \"resyscleKey\": 9 } ] }", false},
        {212, [](client_info &c, Inputs &in) { c.resyscleList = &in.rlist; },
         "{ \"ResyscleList\": [ { \"resyscleKey\": 7 }, { \"resyscleKey\": 9 } ] }", false},
        {212,
         [](client_info &c, Inputs &in) {
             in.rlist.rDnode = nullptr;
             c.resyscleList = &in.rlist;
         },
         "{ \"ResyscleList\": [ ] }", false},
        {215, [](client_info &c, Inputs &in) { c.resyscleInfo = &in.rinfo; }, "{ \"surviveTime\": 5000000000 }",
         false},
        // Backup upload: "modifyTime" signed 32-bit, "dirName" only for 132.
        {132, fill_backup,
         "[ { \"fileUuid\": \"u1\", \"dirName\": \"d\", \"deviceUuid\": \"dev\", \"path\": \"\\/home\\/x.jpg\", "
         "\"fileSize\": 100, \"offset\": 0, \"length\": 100, \"modifyTime\": -1294967296 } ]",
         false},
        {146, fill_backup,
         "[ { \"fileUuid\": \"u1\", \"deviceUuid\": \"dev\", \"path\": \"\\/home\\/x.jpg\", "
         "\"fileSize\": 100, \"offset\": 0, \"length\": 100, \"modifyTime\": -1294967296 } ]",
         false},
        {132,
         [](client_info &c, Inputs &in) {
             fill_backup(c, in);
             c.dirName = nullptr;
         },
         "[ { \"fileUuid\": \"u1\", \"deviceUuid\": \"dev\", \"path\": \"\\/home\\/x.jpg\", "
         "\"fileSize\": 100, \"offset\": 0, \"length\": 100, \"modifyTime\": -1294967296 } ]",
         false},
        {133, fill_backup,
         "[ { \"fileUuid\": \"u1\", \"path\": \"\\/home\\/x.jpg\", \"modifyTime\": 3000000000, \"fileSize\": 100, "
         "\"dirName\": \"d\", \"deviceUuid\": \"dev\" } ]",
         false},
        {133,
         [](client_info &c, Inputs &in) {
             fill_backup(c, in);
             c.dirName = nullptr;
         },
         "[ { \"fileUuid\": \"u1\", \"path\": \"\\/home\\/x.jpg\", \"modifyTime\": 3000000000, \"fileSize\": 100, "
         "\"deviceUuid\": \"dev\" } ]",
         false},
        {134, fill_backup, "[ { \"fileUuid\": \"u1\" } ]", false},
        {136,
         [](client_info &c, Inputs &in) {
             c.srcPathInfo = &in.src;
             c.deviceUuid = "dev";
         },
         "[ { \"path\": \"\\/a\", \"srcBucketId\": 2, \"deviceUuid\": \"dev\" } ]", false},
        {131, [](client_info &c, Inputs &) { c.diskName = "sda1"; }, "[ { \"diskName\": \"sda1\" } ]", false},
        {57, [](client_info &c, Inputs &) { c.file_length = 5000000000LL; }, "[ { \"fileSize\": 5000000000 } ]",
         false},
        {164, [](client_info &c, Inputs &) { c.language = "en"; }, "[ { \"language\": \"en\" } ]", false},
        {172, [](client_info &c, Inputs &) { c.deviceNickName = const_cast<char *>("My NAS"); },
         "[ { \"deviceNickName\": \"My NAS\" } ]", false},
        {173, [](client_info &c, Inputs &) { c.actionCode = 2; }, "[ { \"devStatus\": 2 } ]", false},
        {320, [](client_info &c, Inputs &) { c.enabled = 1; }, "[ { \"enabled\": 1 } ]", false},
        {168, [](client_info &c, Inputs &) { c.log_type = 1; }, "[ { \"log_type\": 1 } ]", false},
        {169, [](client_info &c, Inputs &in) { c.req.recentRecordHide = &in.hide; },
         "[ { \"userId\": 12, \"bucketId\": 13, \"logId\": 11 } ]", false},
        {301, [](client_info &c, Inputs &) { c.adminPassword = "pw"; }, "[ { \"adminPassword\": \"pw\" } ]", false},
        {302,
         [](client_info &c, Inputs &) {
             c.adminPassword = "pw";
             c.newAdminPassword = "pw2";
         },
         "[ { \"adminPassword\": \"pw\", \"newAdminPassword\": \"pw2\" } ]", false},
        {303, [](client_info &c, Inputs &) { c.adminPassword = "pw"; }, "[ { \"adminPassword\": \"pw\" } ]", false},
        {308, [](client_info &c, Inputs &) { c.bindFlag = 1; }, "[ { \"bindFlag\": 1 } ]", false},
        {325, [](client_info &c, Inputs &) { c.bindFlag = 1; }, "[ { \"bindFlag\": 1 } ]", false},
        {344, [](client_info &c, Inputs &) { c.bindFlag = 0; }, "[ { \"bindFlag\": 0 } ]", false},
        {309, [](client_info &c, Inputs &) { c.userName = "bob"; }, "[ { \"userName\": \"bob\" } ]", false},
        {311, [](client_info &c, Inputs &) { c.limitEnable = 1; }, "[ { \"limitEnable\": 1 } ]", false},
        {313,
         [](client_info &c, Inputs &) {
             c.limitSet = 1;
             c.limitSpace = 10737418240LL;
         },
         "[ { \"limitSet\": 1, \"limitSpace\": 10737418240 } ]", false},
        {315,
         [](client_info &c, Inputs &) {
             c.targetUserId = 5;
             c.limitSet = 1;
             c.limitSpace = 10737418240LL;
         },
         "[ { \"userId\": 5, \"limitSet\": 1, \"limitSpace\": 10737418240 } ]", false},
        {316,
         [](client_info &c, Inputs &) {
             c.targetUserId = 5;
             c.bindFlag = 1;
         },
         "[ { \"userId\": 5, \"clearFlag\": 1 } ]", false},
        {318,
         [](client_info &c, Inputs &) {
             c.usbBackupMode = 1;
             c.ptpBackupMode = 2;
         },
         "[ { \"usbBackupMode\": 1, \"ptpBackupMode\": 2 } ]", false},
        {331, [](client_info &c, Inputs &) { c.nas_self_start = 1; }, "[ { \"nas_self_start\": 1 } ]", false},
        {334, [](client_info &c, Inputs &in) { c.req.devSleepTime = &in.sleep; }, "[ { \"time\": 30 } ]", false},
        {338, [](client_info &c, Inputs &in) { c.req.pTimeZone = &in.zone; },
         "[ { \"timeZone\": \"Asia\\/Shanghai\" } ]", false},
        {200,
         [](client_info &c, Inputs &) {
             std::strcpy(c.userId, "u-1");
             std::strcpy(c.bindCode, "1234");
         },
         "[ { \"userId\": \"u-1\", \"bindCode\": \"1234\" } ]", false},
        {201,
         [](client_info &c, Inputs &) {
             std::strcpy(c.userId, "u-1");
             std::strcpy(c.nickName, "Bob");
             c.userImageUrl = "http://x/i.png";
         },
         "[ { \"userId\": \"u-1\", \"nickName\": \"Bob\", \"userImageUrl\": \"http:\\/\\/x\\/i.png\" } ]", false},
        {202, [](client_info &c, Inputs &) { std::strcpy(c.userId, "u-1"); }, "[ { \"userId\": \"u-1\" } ]", false},
        {179, [](client_info &c, Inputs &in) { c.req.hideSpacePwdSet = &in.pwd_set; }, "[ { \"pwd\": \"secret\" } ]",
         false},
        {181, [](client_info &c, Inputs &in) { c.req.hideSpacePwdReset = &in.pwd_reset; },
         "[ { \"verify_code\": \"123456\", \"pwd\": \"secret\" } ]", false},
        {182, [](client_info &c, Inputs &in) { c.req.hideSpaceLogin = &in.login; }, "[ { \"pwd\": \"secret\" } ]",
         false},
        {327, [](client_info &c, Inputs &) { c.optionFlag = 1; }, "[ { \"switch_type\": 1 } ]", false},
        {328, [](client_info &c, Inputs &in) { c.req.timerSwitch = &in.timer; },
         "[ { \"switch_type\": 1, \"time_seconds\": 3600, \"once\": 0 } ]", false},
        {337, [](client_info &c, Inputs &) { c.optionFlag = 1; }, "[ { \"flag\": 1 } ]", false},
        {187, [](client_info &c, Inputs &in) { c.req.pCreateShare = &in.create; },
         "[ { \"fileList\": [ { \"bucketId\": 2, \"path\": \"\\/a\" }, { \"bucketId\": 3, \"path\": \"\\/b\" } ], "
         "\"fileNum\": 2, \"hasPw\": 1, \"expect\": 604800 } ]",
         false},
        {187,
         [](client_info &c, Inputs &in) {
             in.create.fileNum = 0;
             in.create.fileList = nullptr;
             c.req.pCreateShare = &in.create;
         },
         "[ { \"fileList\": [ ], \"fileNum\": 0, \"hasPw\": 1, \"expect\": 604800 } ]", false},
        {188, [](client_info &c, Inputs &in) { c.req.pGetShareList = &in.share_list; },
         "[ { \"offset\": 0, \"len\": 20 } ]", false},
        {189, [](client_info &c, Inputs &in) { c.req.pCancelShare = &in.cancel; },
         "[ { \"shareId\": 42, \"url\": \"http:\\/\\/s\\/x\" } ]", false},
        {204, [](client_info &c, Inputs &in) { c.req.pGetShareFileList = &in.share_dir; },
         "[ { \"shareId\": 42, \"offset\": 0, \"len\": 20, \"fileDir\": \"\\/\" } ]", false},
        {205, [](client_info &c, Inputs &in) { c.req.pGetShareFileData = &in.share_data; }, kFileShare, false},
        {206, [](client_info &c, Inputs &in) { c.req.pGetShareFileAttr = &in.share_attr; },
         "[ { \"shareId\": 2, \"path\": \"\\/a\", \"type\": 1, \"start\": 0, \"end\": 5000000000 } ]", false},

        // ---- the complex builders ----
        {107,
         [](client_info &c, Inputs &in) {
             c.srcPathInfo = &in.src;
             c.file_length = 100;
             c.length = 100;
             c.modifyTime = 4294967295u;
             c.tagList = in.tags;
             c.tagCount = 2;
         },
         "[ { \"path\": \"\\/a\", \"srcUserId\": 2, \"srcBucketId\": 2, \"fileSize\": 100, \"modifyTime\": 4294967295, "
         "\"offset\": 0, \"length\": 100, \"tagList\": [ { \"tagName\": \"cat\" }, { \"tagName\": \"dog\" } ] } ]",
         false},
        {162,
         [](client_info &c, Inputs &in) {
             c.srcPathInfo = &in.src;
             c.file_length = 100;
             c.offset = 40;
             c.length = 100;
         },
         "[ { \"path\": \"\\/a\", \"srcUserId\": 2, \"srcBucketId\": 2, \"fileSize\": 100, \"modifyTime\": 0, "
         "\"offset\": 40, \"length\": 100 } ]",
         false},
        {107,
         [](client_info &c, Inputs &in) {
             c.srcPathInfo = &in.src;
             c.tagList = in.tags;
             c.tagCount = 0;
         },
         "[ { \"path\": \"\\/a\", \"srcUserId\": 2, \"srcBucketId\": 2, \"fileSize\": 0, \"modifyTime\": 0, "
         "\"offset\": 0, \"length\": 0, \"tagList\": [ ] } ]",
         false},
        {154,
         [](client_info &c, Inputs &in) {
             c.srcPathInfo = &in.src;
             c.tagList = in.tags;
             c.count = 2;
         },
         "[ { \"path\": \"\\/a\", \"srcUserId\": 2, \"srcBucketId\": 2, "
         "\"tagList\": [ { \"tagName\": \"cat\" }, { \"tagName\": \"dog\" } ] } ]",
         false},
        {154, kSrc, "[ { \"path\": \"\\/a\", \"srcUserId\": 2, \"srcBucketId\": 2, \"tagList\": [ ] } ]", false},
        {156,
         [](client_info &c, Inputs &in) {
             c.pathList = in.paths;
             c.tagList = in.tags;
             c.tagType = 1;
         },
         "{ \"FileListInfo\": [ { \"filePath\": \"\\/a\", \"srcBucketId\": 2 }, { \"filePath\": \"\\/b\", "
         "\"srcBucketId\": 3 } ], \"tagList\": [ { \"tagName\": \"cat\" }, { \"tagName\": \"dog\" } ], "
         "\"tagType\": 1 }",
         false},
        {156,
         [](client_info &c, Inputs &in) {
             c.pathList = in.no_paths;
             c.tagList = in.tags + 2;
         },
         "{ \"FileListInfo\": [ ], \"tagList\": [ ], \"tagType\": 0 }", false},
        {147,
         [](client_info &c, Inputs &in) {
             c.desPathInfo = &in.src;
             c.authorization = "md5";
             c.authValue = "0123456789abcdef0123456789abcdef_100";
             c.modifyTime = 4294967295u;
             c.file_length = 100;
         },
         "[ { \"path\": \"\\/a\", \"desUserId\": 2, \"desBucketId\": 2, \"authorization\": \"md5\", "
         "\"authValue\": \"0123456789abcdef0123456789abcdef_100\", \"modifyTime\": 4294967295, "
         "\"fileSize\": 100 } ]",
         false},
        // Doubles as "%f", six decimals; longitude before latitude; ids only when condition is not 0.
        {157,
         [](client_info &c, Inputs &in) {
             c.rClientFileTask = in.task;
             c.gpsInfo = &in.gps;
         },
         "[ { \"GPSLongtitude_1\": 113.900000, \"GPSLatitude_1\": 22.500000, \"GPSLongtitude_2\": 0.123457, "
         "\"GPSLatitude_2\": -22.600000, \"condition\": 1, \"bucketIdCondition\": 1, "
         "\"bucketList\": [ { \"bucketId\": 1 }, { \"bucketId\": 2 } ] } ]",
         false},
        {157,
         [](client_info &c, Inputs &in) {
             in.gps.condition = 0;
             in.gps.count = 3;
             c.rClientFileTask = in.task;
             c.gpsInfo = &in.gps;
         },
         "[ { \"GPSLongtitude_1\": 113.900000, \"GPSLatitude_1\": 22.500000, \"GPSLongtitude_2\": 0.123457, "
         "\"GPSLatitude_2\": -22.600000, \"condition\": 0, \"bucketIdCondition\": 0, \"bucketList\": [ ] } ]",
         false},
        {117,
         [](client_info &c, Inputs &in) {
             in.search.condition = CONDITION_ALL_BUCKET;
             in.search.key_count = 1;
             std::strcpy(in.search.search_key[0], "a/b");
             in.search.search_key_type[0] = 2;
             c.searchCondition = &in.search;
             c.sortType = 1;
         },
         "[ { \"sortType\": 1, \"currentOnly\": 0, \"condition\": 0, \"bucketList\": [ ], \"search_path_info\": { }, "
         "\"search_key_list\": [ { \"search_key\": \"a\\/b\", \"search_key_type\": 2 } ] } ]",
         false},
        {117,
         [](client_info &c, Inputs &in) {
             in.search.condition = CONDITION_SINGLE_PATH;
             in.search.search_specify_type = 0;
             std::strcpy(in.search.search_path, "/photos");
             in.search.search_bucketid = 4;
             in.search.bucket_count = 2;  // not sent for a single path
             c.searchCondition = &in.search;
             c.currentOnly = 1;
         },
         "[ { \"sortType\": 0, \"currentOnly\": 1, \"condition\": 2, \"search_specify_type\": 0, \"bucketList\": [ ], "
         "\"search_path_info\": { \"search_path\": \"\\/photos\", \"search_bucketid\": 4 }, "
         "\"search_key_list\": [ ] } ]",
         false},
        {117,
         [](client_info &c, Inputs &in) {
             in.search.condition = CONDITION_SOME_BUCKET;
             in.search.search_specify_type = 3;
             in.search.bucketId[0] = 5;
             in.search.bucketId[1] = 6;
             in.search.bucket_count = 2;
             c.searchCondition = &in.search;
         },
         "[ { \"sortType\": 0, \"currentOnly\": 0, \"condition\": 1, \"search_specify_type\": 3, "
         "\"bucketList\": [ { \"bucketId\": 5 }, { \"bucketId\": 6 } ], \"search_path_info\": { }, "
         "\"search_key_list\": [ ] } ]",
         false},
    };
    return cases;
}

std::string param_text(const std::string &data) {
    // The one parameter object inside "[ ... ]".
    return data.substr(2, data.size() - 4);
}

}  // namespace

TEST(RequestBuilders, GoldenTexts) {
    for (const Case &k : golden_cases()) {
        SCOPED_TRACE("cmd " + std::to_string(k.cmd) + " " + k.data);
        Inputs in;
        Rec r;
        r.ci.cmd = k.cmd;
        r.ci.token = 77;
        r.ci.seq = 5;
        k.fill(r.ci, in);
        ASSERT_EQ(file_process(&r.ci), 0);
        ASSERT_NE(r.ci.retstr, nullptr);
        EXPECT_EQ(std::string(r.ci.retstr), envelope(k.cmd, k.data));
        if (k.cached) {
            ASSERT_NE(r.ci.cacheKey, nullptr);
            EXPECT_EQ(std::string(r.ci.cacheKey),
                      "cmd: " + std::to_string(k.cmd) + ", para: " + param_text(k.data));
        } else {
            EXPECT_EQ(r.ci.cacheKey, nullptr);
        }
    }
}

TEST(RequestBuilders, EveryBuilderIsAvailable) {
    for (size_t i = 0; i < QV_FILE_CMD_COUNT; ++i)
        EXPECT_NE(file_cmd_table()[i].builder, nullptr) << file_cmd_table()[i].builder_name;
}

TEST(RequestBuilders, CacheKeyIsExactForTheFolderPage) {
    Inputs in;
    Rec r;
    in.src.path = "/photos";
    r.ci.cmd = 101;
    r.ci.srcPathInfo = &in.src;
    r.ci.length = 500;
    r.ci.sortType = 1;
    ASSERT_EQ(file_process(&r.ci), 0);
    EXPECT_STREQ(
        r.ci.cacheKey,
        "cmd: 101, para: { \"path\": \"\\/photos\", \"srcUserId\": 2, \"srcBucketId\": 2, \"offset\": 0, "
        "\"length\": 500, \"fileType\": 0, \"sortType\": 1 }");
}

// A missing required input refuses the request: 10003 and no text at all.
TEST(RequestBuilders, MissingInputsBuildNothing) {
    struct Bad {
        int cmd;
        Fill fill;
    };
    const std::vector<Bad> bad = {
        {102,
         [](client_info &c, Inputs &in) {
             in.src.path = nullptr;
             c.srcPathInfo = &in.src;
         }},
        {102, [](client_info &, Inputs &) {}},
        {101, [](client_info &, Inputs &) {}},
        {103, [](client_info &c, Inputs &in) { c.srcPathInfo = &in.src; }},
        {106,
         [](client_info &c, Inputs &in) {
             in.src.path = nullptr;
             c.srcPathInfo = &in.src;
         }},
        {107,
         [](client_info &c, Inputs &in) {
             in.src.path = nullptr;
             c.srcPathInfo = &in.src;
         }},
        {107,
         [](client_info &c, Inputs &in) {
             c.srcPathInfo = &in.src;
             c.tagList = in.tags;
             c.tagCount = 3;
         }},
        {154,
         [](client_info &c, Inputs &in) {
             c.srcPathInfo = &in.src;
             c.count = 2;
         }},
        {156, [](client_info &c, Inputs &in) { c.tagList = in.tags; }},
        {156, [](client_info &c, Inputs &in) { c.pathList = in.paths; }},
        {157, [](client_info &c, Inputs &in) { c.gpsInfo = &in.gps; }},
        {157, [](client_info &c, Inputs &in) { c.rClientFileTask = in.task; }},
        {157,
         [](client_info &c, Inputs &in) {
             in.gps.bucketId = nullptr;
             c.rClientFileTask = in.task;
             c.gpsInfo = &in.gps;
         }},
        {117, [](client_info &, Inputs &) {}},
        {147,
         [](client_info &c, Inputs &in) {
             c.desPathInfo = &in.src;
             c.authorization = "md5";
         }},
        {132,
         [](client_info &c, Inputs &in) {
             fill_backup(c, in);
             c.fileUuid = nullptr;
         }},
        {133,
         [](client_info &c, Inputs &in) {
             fill_backup(c, in);
             c.deviceUuid = nullptr;
         }},
        {134, [](client_info &, Inputs &) {}},
        {136, [](client_info &c, Inputs &in) { c.srcPathInfo = &in.src; }},
        {138, [](client_info &, Inputs &) {}},
        {158, [](client_info &c, Inputs &) { c.count = 2; }},
        {167, [](client_info &, Inputs &) {}},
        {167,
         [](client_info &c, Inputs &in) {
             in.p2.path = nullptr;
             c.pathList = in.paths;
         }},
        {211, [](client_info &, Inputs &) {}},
        {215, [](client_info &, Inputs &) {}},
        {301, [](client_info &, Inputs &) {}},
        {302, [](client_info &c, Inputs &) { c.adminPassword = "pw"; }},
        {164, [](client_info &, Inputs &) {}},
        {201, [](client_info &, Inputs &) {}},
        {169, [](client_info &, Inputs &) {}},
        {334, [](client_info &, Inputs &) {}},
        {338, [](client_info &, Inputs &) {}},
        {181, [](client_info &, Inputs &) {}},
        {328, [](client_info &, Inputs &) {}},
        {187,
         [](client_info &c, Inputs &in) {
             in.create.fileList = nullptr;
             c.req.pCreateShare = &in.create;
         }},
        {187,
         [](client_info &c, Inputs &in) {
             in.s2.path = nullptr;
             c.req.pCreateShare = &in.create;
         }},
        {189, [](client_info &, Inputs &) {}},
        {205, [](client_info &, Inputs &) {}},
    };
    qv::set_log_enabled(false);
    for (const Bad &b : bad) {
        SCOPED_TRACE("cmd " + std::to_string(b.cmd));
        Inputs in;
        Rec r;
        r.ci.cmd = b.cmd;
        b.fill(r.ci, in);
        EXPECT_EQ(file_process(&r.ci), QV_ERR_NOT_BUILT);
        EXPECT_EQ(r.ci.retstr, nullptr);
        EXPECT_EQ(r.ci.cacheKey, nullptr);
    }
    qv::set_log_enabled(true);
}

// Mkdir's own refusal is -1 from the builder itself.
TEST(RequestBuilders, MkdirWithoutPathReturnsMinusOne) {
    path_info p{nullptr, 1, 0};
    Rec r;
    r.ci.cmd = 102;
    r.ci.srcPathInfo = &p;
    qv::set_log_enabled(false);
    EXPECT_EQ(Request_Mkdir(&r.ci), -1);
    qv::set_log_enabled(true);
    EXPECT_EQ(r.ci.retstr, nullptr);
}

// Counts and texts beyond the condition record's arrays are bounded, never read past.
TEST(RequestBuilders, SearchConditionIsBounded) {
    auto *sc = static_cast<search_condition *>(std::calloc(1, sizeof(search_condition)));
    sc->condition = CONDITION_SOME_BUCKET;
    sc->search_specify_type = -1;
    sc->key_count = 40;
    sc->bucket_count = 500;
    for (auto &key : sc->search_key) std::memset(key, 'k', sizeof key);  // no NUL anywhere
    for (int k = 0; k < QV_SEARCH_MAX_BUCKETS; ++k) sc->bucketId[k] = k;
    Rec r;
    r.ci.cmd = 117;
    r.ci.searchCondition = sc;
    ASSERT_EQ(file_process(&r.ci), 0);
    json_object *root = json_tokener_parse(r.ci.retstr);
    ASSERT_NE(root, nullptr);
    json_object *param = json_object_array_get_idx(json_object_object_get(root, "data"), 0);
    json_object *keys = json_object_object_get(param, "search_key_list");
    json_object *buckets = json_object_object_get(param, "bucketList");
    EXPECT_EQ(json_object_array_length(keys), static_cast<size_t>(QV_SEARCH_MAX_KEYS));
    EXPECT_EQ(json_object_array_length(buckets), static_cast<size_t>(QV_SEARCH_MAX_BUCKETS));
    EXPECT_EQ(
        json_object_get_string_len(json_object_object_get(json_object_array_get_idx(keys, 31), "search_key")),
        255);
    EXPECT_EQ(json_object_object_get(param, "search_specify_type"), nullptr);
    json_object_put(root);

    // A single path of 1024 characters without its NUL is cut to 1023; negative counts send nothing.
    std::free(r.ci.retstr);
    r.ci.retstr = nullptr;
    sc->condition = CONDITION_SINGLE_PATH;
    std::memset(sc->search_path, 'p', sizeof sc->search_path);
    sc->key_count = -3;
    ASSERT_EQ(file_process(&r.ci), 0);
    root = json_tokener_parse(r.ci.retstr);
    ASSERT_NE(root, nullptr);
    param = json_object_array_get_idx(json_object_object_get(root, "data"), 0);
    json_object *spi = json_object_object_get(param, "search_path_info");
    EXPECT_EQ(json_object_get_string_len(json_object_object_get(spi, "search_path")), 1023);
    EXPECT_EQ(json_object_array_length(json_object_object_get(param, "search_key_list")), 0u);
    EXPECT_EQ(json_object_array_length(json_object_object_get(param, "bucketList")), 0u);
    json_object_put(root);
    std::free(sc);
}

// Inline request-block texts without a NUL are read only up to their capacity.
TEST(RequestBuilders, InlineTextsAreBounded) {
    hide_space_pwd_reset_req reset;
    std::memset(&reset, 'x', sizeof reset);  // neither text terminated
    Rec r;
    r.ci.cmd = 181;
    r.ci.token = 77;
    r.ci.seq = 5;
    r.ci.req.hideSpacePwdReset = &reset;
    ASSERT_EQ(file_process(&r.ci), 0);
    EXPECT_EQ(std::string(r.ci.retstr),
              envelope(181, "[ { \"verify_code\": \"" + std::string(6, 'x') + "\", \"pwd\": \"" +
                                std::string(32, 'x') + "\" } ]"));
}

namespace {

backup_uuid_dnode *uuid_node(backup_uuid_head *head, const char *uuid, int32_t exists) {
    auto *n = static_cast<backup_uuid_dnode *>(std::calloc(1, sizeof(backup_uuid_dnode)));
    // A 64-character uuid fills the array without its NUL.
    std::memcpy(n->file_uuid, uuid, std::min(std::strlen(uuid), sizeof n->file_uuid));
    n->exists = exists;
    n->buffer = std::malloc(16);
    n->next = backup_uuid_end(head);
    n->prev = head->prev;
    if (head->prev == backup_uuid_end(head))
        head->next = n;
    else
        head->prev->next = n;
    head->prev = n;
    ++head->count;
    return n;
}

}  // namespace

// 138 sends the nodes whose flag is 0 in list order and leaves the list to the reply (a failed exchange must
// not lose it); a list whose nodes are all flagged sends an empty array.
TEST(RequestBuilders, BackupUuidCheckSendsUnflaggedNodesAndKeepsTheList) {
    backup_uuid_head head;
    backup_uuid_init(&head);
    uuid_node(&head, "u-1", 0);
    uuid_node(&head, "u-2", 1);
    uuid_node(&head, std::string(64, 'z').c_str(), 0);
    Rec r;
    r.ci.cmd = 138;
    r.ci.token = 77;
    r.ci.seq = 5;
    r.ci.uuidList = &head;
    ASSERT_EQ(file_process(&r.ci), 0);
    EXPECT_EQ(std::string(r.ci.retstr),
              envelope(138, "{ \"backupFileListInfo\": [ { \"fileUuid\": \"u-1\" }, { \"fileUuid\": \"" +
                                std::string(63, 'z') + "\" } ] }"));
    ASSERT_NE(head.next, backup_uuid_end(&head));
    EXPECT_STREQ(head.next->file_uuid, "u-1");
    EXPECT_STREQ(head.next->next->file_uuid, "u-2");

    for (backup_uuid_dnode *n = head.next; n != backup_uuid_end(&head); n = n->next) n->exists = 1;
    std::free(r.ci.retstr);
    r.ci.retstr = nullptr;
    r.ci.cmd = 138;
    ASSERT_EQ(file_process(&r.ci), 0);
    EXPECT_EQ(std::string(r.ci.retstr), envelope(138, "{ \"backupFileListInfo\": [ ] }"));
    ppc_free_backup_uuid_list(&head);
}

// json-c's own printer writes 113.9 in its shortest form; the device reads the "%f" form that the
// request texts carry.
TEST(RequestBuilders, GpsCornersUseSixDecimalsNotJsonCsForm) {
    json_object *d = json_object_new_double(113.9);
    const std::string jsonc = json_object_to_json_string_ext(d, JSON_C_TO_STRING_SPACED);
    json_object_put(d);
    EXPECT_NE(jsonc, "113.900000");

    Inputs in;
    Rec r;
    r.ci.cmd = 157;
    r.ci.rClientFileTask = in.task;
    r.ci.gpsInfo = &in.gps;
    ASSERT_EQ(file_process(&r.ci), 0);
    EXPECT_NE(std::string(r.ci.retstr).find("\"GPSLongtitude_1\": 113.900000,"), std::string::npos);
}
