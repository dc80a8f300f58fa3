// Every reply parser of the administration, settings, hidden-space, timer, module-support and share
// commands against one table of fixtures: a full reply, each required key taken away, a header error
// with and without data, and a reply without data. The dispatcher runs each reply, as in the calls.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/qv_log.h"
#include "codec/parse_harness_test.h"

using parse_harness::Harness;

namespace {

struct Fixture {
    const char *name;
    int cmd;
    const char *data;  // the full reply's "data"
    const char *path;  // where the required keys sit inside "data"
    std::vector<const char *> required;
    int missing_rc;                        // result when one of them is missing
    int nodata_rc;                         // result of a reply without "data"
    std::function<void(Harness &)> check;  // the full reply's results
};

using parse_harness::share_names;

const std::vector<Fixture> &fixtures() {
    static const std::vector<Fixture> all = {
        {"pwd status",
         300,
         R"([{"status": 2}])",
         "0",
         {"status"},
         -1,
         -1,
         [](Harness &h) { EXPECT_EQ(h.ci.status, 2); }},
        {"sys info",
         304,
         R"([{"fileSystem": "ext4", "bootTime": 123456789012, "cpuRate": 12.5, "ramRate": 40.25, "deviceName": "nas"}])",
         "0",
         {"fileSystem", "bootTime", "cpuRate", "ramRate", "deviceName"},
         -1,
         -1,
         [](Harness &h) {
             EXPECT_STREQ(h.sys.fileSystem, "ext4");
             EXPECT_EQ(h.sys.bootTime, 123456789012);
             EXPECT_DOUBLE_EQ(h.sys.cpuRate, 12.5);
             EXPECT_DOUBLE_EQ(h.sys.ramRate, 40.25);
             EXPECT_STREQ(h.sys.deviceName, "nas");
         }},
        {"disk list",
         305,
         R"({"mode": 3, "diskStatusInfoList": [{"devModel": "WD", "serialNumber": "S1", "healthStatus": 0,
             "temperatureCelsius": 41, "diskCapacity": 4000000000000, "devNumber": 1, "temperatureDisable": 1},
             {"devModel": "ST", "serialNumber": "S2", "healthStatus": 1, "temperatureCelsius": 38,
             "diskCapacity": 2000000000000, "devNumber": 2}]})",
         "",
         {"diskStatusInfoList"},
         -1,
         -1,
         [](Harness &h) {
             EXPECT_EQ(h.disks.mode, 3);
             ASSERT_EQ(h.disks.count, 2);
             EXPECT_STREQ(h.disks.entries[0].devModel, "WD");
             EXPECT_EQ(h.disks.entries[0].temperatureDisable, 1);
             EXPECT_EQ(h.disks.entries[0].diskCapacity, 4000000000000);
             EXPECT_STREQ(h.disks.entries[1].serialNumber, "S2");
             EXPECT_EQ(h.disks.entries[1].healthStatus, 1);
             EXPECT_EQ(h.disks.entries[1].temperatureDisable, 0);
             EXPECT_EQ(h.disks.entries[1].devNumber, 2);
         }},
        {"disk entry",
         305,
         R"({"diskStatusInfoList": [{"devModel": "WD", "serialNumber": "S1", "healthStatus": 0,
             "temperatureCelsius": 41, "diskCapacity": 1, "devNumber": 1}]})",
         "diskStatusInfoList/0",
         {"devModel", "serialNumber", "healthStatus", "temperatureCelsius", "diskCapacity", "devNumber"},
         -1,
         -1,
         [](Harness &h) { EXPECT_EQ(h.disks.count, 1); }},
        {"bind flag",
         307,
         R"([{"bindFlag": 1}])",
         "0",
         {"bindFlag"},
         -1,
         -1,
         [](Harness &h) { EXPECT_EQ(h.ci.bindFlag, 1); }},
        {"limit status",
         310,
         R"([{"limitEnable": 1}])",
         "0",
         {"limitEnable"},
         -1,
         -1,
         [](Harness &h) { EXPECT_EQ(h.ci.limitEnable, 1); }},
        {"limit default",
         312,
         R"([{"limitSpace": 5000000000, "limitSet": 1}])",
         "0",
         {"limitSpace", "limitSet"},
         -1,
         -1,
         [](Harness &h) {
             EXPECT_EQ(h.ci.limitSpace, 5000000000);
             EXPECT_EQ(h.ci.limitSet, 1);
         }},
        {"limit list",
         314,
         R"({"spaceLimitList": [{"userId": 1, "userName": "a", "nickName": "A", "usedSpace": 10,
             "limitSpace": 20, "limitSet": 1, "phoneNumber": "123", "userType": 1},
             {"userId": 2, "userName": "b", "nickName": "B", "usedSpace": 30, "limitSpace": 40}]})",
         "spaceLimitList/1",
         {"userId", "userName", "nickName", "usedSpace", "limitSpace"},
         -1,
         -1,
         [](Harness &h) {
             space_limit_info **l = h.ci.spaceLimitList;
             ASSERT_NE(l, nullptr);
             ASSERT_NE(l[0], nullptr);
             ASSERT_NE(l[1], nullptr);
             EXPECT_EQ(l[2], nullptr);
             EXPECT_EQ(l[0]->userId, 1);
             EXPECT_STREQ(l[0]->phoneNumber, "123");
             EXPECT_EQ(l[0]->userType, 1);
             EXPECT_STREQ(l[1]->nickName, "B");
             EXPECT_EQ(l[1]->usedSpace, 30);
             EXPECT_EQ(l[1]->limitSpace, 40);
             EXPECT_EQ(l[1]->limitSet, 0);
             EXPECT_STREQ(l[1]->phoneNumber, "");
         }},
        {"limit list key",
         314,
         R"({"spaceLimitList": []})",
         "",
         {"spaceLimitList"},
         -1,
         -1,
         [](Harness &h) {
             ASSERT_NE(h.ci.spaceLimitList, nullptr);
             EXPECT_EQ(h.ci.spaceLimitList[0], nullptr);
         }},
        {"usb mode",
         317,
         R"([{"usbBackupMode": 0, "ptpBackupMode": 1}])",
         "0",
         {"usbBackupMode", "ptpBackupMode"},
         -1,
         -1,
         [](Harness &h) {
             EXPECT_EQ(h.ci.usbBackupMode, 0);
             EXPECT_EQ(h.ci.ptpBackupMode, 1);
         }},
        {"share bind",
         322,
         R"([{"url": "http://s/b"}])",
         "0",
         {"url"},
         -1,
         -1,
         [](Harness &h) { EXPECT_STREQ(h.url, "http://s/b"); }},
        {"user list",
         323,
         R"({"userList": [{"userId": 5, "nickName": "n5", "imagePath": "/i5"}, {"userId": 6, "nickName": "n6",
             "imagePath": "/i6"}]})",
         "userList/0",
         {"userId", "nickName", "imagePath"},
         -1,
         -1,
         [](Harness &h) {
             user_list_info **l = h.ci.userList;
             ASSERT_NE(l, nullptr);
             ASSERT_NE(l[1], nullptr);
             EXPECT_EQ(l[2], nullptr);
             EXPECT_EQ(l[0]->userId, 5);
             EXPECT_STREQ(l[1]->imagePath, "/i6");
         }},
        {"user list key",
         323,
         R"({"userList": []})",
         "",
         {"userList"},
         -1,
         -1,
         [](Harness &h) {
             ASSERT_NE(h.ci.userList, nullptr);
             EXPECT_EQ(h.ci.userList[0], nullptr);
         }},
        {"remote bind",
         324,
         R"([{"bindFlag": 3}])",
         "0",
         {"bindFlag"},
         -1,
         -1,
         [](Harness &h) { EXPECT_EQ(h.ci.bindFlag, 3); }},
        {"local bind",
         343,
         R"([{"bindFlag": 4}])",
         "0",
         {"bindFlag"},
         -1,
         -1,
         [](Harness &h) { EXPECT_EQ(h.ci.bindFlag, 4); }},
        {"self start",
         330,
         R"([{"status": 1}])",
         "0",
         {"status"},
         -1,
         -1,
         [](Harness &h) { EXPECT_EQ(h.ci.selfStart, 1); }},
        {"temp fan",
         332,
         R"([{"cpu_temp": 55, "fan_freq": 1200}])",
         "0",
         {"cpu_temp", "fan_freq"},
         -1,
         -1,
         [](Harness &h) {
             EXPECT_EQ(h.ci.cpuTemp, 55);
             EXPECT_EQ(h.ci.fanFreq, 1200);
         }},
        {"device status",
         20,
         R"([{"status": 3005, "curDiskCapacity": 100, "expanCapacity": 200, "expanTime": 30}])",
         "0",
         {},
         0,
         0,
         [](Harness &h) {
             EXPECT_EQ(h.ci.status, 3005);
             EXPECT_EQ(h.ci.curDiskCapacity, 100);
             EXPECT_EQ(h.ci.expanCapacity, 200);
             EXPECT_EQ(h.ci.expanTime, 30);
         }},
        {"nick name",
         171,
         R"([{"deviceNickName": "nas-1"}])",
         "0",
         {"deviceNickName"},
         -1,
         -1,
         [](Harness &h) { EXPECT_STREQ(h.name, "nas-1"); }},
        {"samba",
         319,
         R"([{"enabled": 5}])",
         "0",
         {},
         0,
         0,
         [](Harness &h) { EXPECT_EQ(h.ci.samba_enabled, 5); }},
        {"log length",
         168,
         R"([{"contentLength": 5, "date": 7}])",
         "0",
         {"contentLength"},
         -1,
         -1,
         [](Harness &h) {
             EXPECT_EQ(h.ci.file_length, 5);
             EXPECT_EQ(h.ci.modifyTime, 7u);
         }},
        {"sleep time",
         335,
         R"([{"time": 30}])",
         "0",
         {},
         0,
         -1,
         [](Harness &h) { EXPECT_EQ(h.sleep.time, 30); }},
        {"time zone",
         339,
         R"([{"timeZone": "UTC+8"}])",
         "0",
         {"timeZone"},
         10002,
         -1,
         [](Harness &h) { EXPECT_STREQ(h.zone.timeZone, "UTC+8"); }},
        {"zone list",
         340,
         R"({"zone_list": [{"city": "Shanghai", "zone_time": "+08:00"}, {"zone_time": "+00:00"}]})",
         "",
         {"zone_list"},
         -1,
         -1,
         [](Harness &h) {
             qv_zone_list *z = h.zone.zoneList;
             ASSERT_NE(z, nullptr);
             ASSERT_EQ(z->count, 2);
             EXPECT_STREQ(z->dnode[0]->zone_time, "+08:00");
             EXPECT_STREQ(z->dnode[0]->cityList, "Shanghai");
             EXPECT_EQ(z->dnode[1]->cityList, nullptr);
             EXPECT_EQ(z->dnode[2], nullptr);
         }},
        {"smart",
         341,
         R"({"smart_info": "SMART ok"})",
         "",
         {},
         0,
         -1,
         [](Harness &h) { EXPECT_STREQ(h.ci.reserved, "SMART ok"); }},
        {"hide enabled",
         176,
         R"([{"flag": 2}])",
         "0",
         {"flag"},
         -1,
         -1,
         [](Harness &h) { EXPECT_EQ(h.en.flag, 2); }},
        {"hide pwd set",
         178,
         R"([{"flag": 1}])",
         "0",
         {"flag"},
         -1,
         -1,
         [](Harness &h) { EXPECT_EQ(h.pwdSet.flag, 1); }},
        {"timer flag",
         336,
         R"([{"flag": 5}])",
         "0",
         {"flag"},
         -1,
         -1,
         [](Harness &h) { EXPECT_EQ(h.ci.cmd_param, 5); }},
        {"timer values",
         327,
         R"([{"time_seconds": 3600, "once": 1}])",
         "0",
         {"time_seconds", "once"},
         -1,
         -1,
         [](Harness &h) {
             EXPECT_EQ(h.timer.time_seconds, 3600);
             EXPECT_EQ(h.timer.once, 1);
         }},
        {"hide info",
         184,
         R"([{"nick_name": "secret", "bucket_id": 9}])",
         "0",
         {},
         0,
         -1,
         [](Harness &h) {
             ASSERT_NE(h.hsInfo.Info, nullptr);
             EXPECT_STREQ(h.hsInfo.Info->nick_name, "secret");
             EXPECT_EQ(h.hsInfo.Info->bucket_id, 9);
         }},
        {"modules",
         186,
         R"([{"shareModule": {"status": 1}, "resyscleModule": {"status": 0}, "timeZone": 7}])",
         "0",
         {},
         0,
         -1,
         [](Harness &h) {
             module_support_dnode *m = h.ci.mList;
             ASSERT_NE(m, nullptr);
             EXPECT_EQ(m->supportType, 4);
             EXPECT_EQ(m->status, 0);
             ASSERT_NE(m->next, nullptr);
             EXPECT_EQ(m->next->supportType, 3);
             EXPECT_EQ(m->next->status, 1);
             EXPECT_EQ(m->next->next, nullptr);
         }},
        {"create share",
         187,
         R"([{"name": "n", "url": "u", "createTime": 1700000000, "hasPw": 1, "password": "pw", "expect": 604800}])",
         "0",
         {"name", "url", "createTime", "hasPw", "password", "expect"},
         10002,
         10002,
         [](Harness &h) {
             share_info *s = h.create.result;
             ASSERT_NE(s, nullptr);
             EXPECT_STREQ(s->shareName, "n");
             EXPECT_STREQ(s->shareUrl, "u");
             EXPECT_EQ(s->shareCreateTime, 1700000000u);
             EXPECT_EQ(s->shareHasPw, 1);
             EXPECT_STREQ(s->sharePw, "pw");
             EXPECT_EQ(s->shareExpect, 604800u);
             EXPECT_EQ(s->shareId, 0u);
             EXPECT_EQ(s->shareStatus, 0);
             EXPECT_EQ(s->shareFileCount, 0);
         }},
        {"share list",
         188,
         R"([{"count": 3, "total": 9, "shareList": [
             {"shareId": 1, "fileCount": 2, "name": "A", "url": "ua", "createTime": 5, "hasPw": 1, "password": "p",
              "expect": 0, "status": 258},
             {"shareId": 2, "fileCount": 1, "name": "B", "url": "ub", "createTime": 6, "hasPw": 0, "expect": 60,
              "status": 1}]}])",
         "0",
         {"count", "total", "shareList"},
         10002,
         10002,
         [](Harness &h) {
             share_list *l = h.shareList.result;
             ASSERT_NE(l, nullptr);
             EXPECT_EQ(l->count, 3);
             EXPECT_EQ(l->total, 9);
             EXPECT_EQ(share_names(l), "B,A");
             share_info *a = share_info_of(l->link.prev);
             EXPECT_EQ(a->shareStatus, 2);
             EXPECT_STREQ(a->sharePw, "p");
             EXPECT_EQ(a->shareFileCount, 2);
         }},
        {"share list element",
         188,
         R"([{"count": 1, "total": 1, "shareList": [
             {"shareId": 1, "fileCount": 2, "name": "A", "url": "ua", "createTime": 5, "hasPw": 1, "password": "p",
              "expect": 0, "status": 1},
             {"shareId": 2, "fileCount": 1, "name": "B", "url": "ub", "createTime": 6, "hasPw": 1, "password": "q",
              "expect": 60, "status": 1}]}])",
         "0/shareList/1",
         {"shareId", "fileCount", "name", "url", "createTime", "hasPw", "password", "expect", "status"},
         10002,
         10002,
         [](Harness &h) { EXPECT_EQ(share_names(h.shareList.result), "B,A"); }},
        {"share folder",
         204,
         R"([{"count": 2, "total": 2, "displayDir": "/d", "shareFileList": [
             {"displayName": "X", "realName": "x.jpg", "size": 10, "modifyTime": 11, "isDir": 0},
             {"displayName": "Y", "realName": "y", "size": 0, "modifyTime": 12, "isDir": 1}]}])",
         "0/shareFileList/0",
         {"displayName", "realName", "size", "modifyTime", "isDir"},
         10002,
         10002,
         [](Harness &h) {
             share_file_list *l = h.fileList.result;
             ASSERT_NE(l, nullptr);
             EXPECT_STREQ(l->displayDir, "/d");
             EXPECT_EQ(
                 parse_harness::walk<share_file_info>(
                     l, share_file_info_of, [](share_file_info *f) { return std::string(f->realName); }),
                 "y,x.jpg");
             EXPECT_EQ(share_file_info_of(l->link.next)->isDir, 1);
         }},
        {"share folder keys",
         204,
         R"([{"count": 1, "total": 1, "displayDir": "/d", "shareFileList": []}])",
         "0",
         {"count", "total", "displayDir", "shareFileList"},
         10002,
         10002,
         [](Harness &h) {
             ASSERT_NE(h.fileList.result, nullptr);
             EXPECT_EQ(h.fileList.result->link.next, &h.fileList.result->link);
         }},
        {"share data",
         205,
         R"([{"displayName": "f", "size": 10, "modifyTime": 20, "dataSize": 30}])",
         "0",
         {"displayName", "size", "modifyTime", "dataSize"},
         10002,
         10002,
         [](Harness &h) {
             share_file_info *f = h.fileData.result;
             ASSERT_NE(f, nullptr);
             EXPECT_STREQ(f->displayName, "f");
             EXPECT_EQ(f->size, 10u);
             EXPECT_EQ(f->modifyTime, 20);
             EXPECT_EQ(f->dataSize, 30u);
         }},
        {"share attr",
         206,
         R"([{"displayName": "g", "size": 1, "modifyTime": 2, "dataSize": 3}])",
         "0",
         {"displayName", "size", "modifyTime", "dataSize"},
         10002,
         10002,
         [](Harness &h) {
             ASSERT_NE(h.fileAttr.result, nullptr);
             EXPECT_STREQ(h.fileAttr.result->displayName, "g");
             EXPECT_EQ(h.fileData.result, nullptr);
         }},
    };
    return all;
}

using ParserFixtures = parse_harness::Quiet;

}  // namespace

TEST_F(ParserFixtures, FullReplyFillsTheResults) {
    for (const Fixture &f : fixtures()) {
        SCOPED_TRACE(f.name);
        Harness h;
        EXPECT_EQ(h.reply(f.cmd, f.data), 0);
        f.check(h);
    }
}

TEST_F(ParserFixtures, EachRequiredKeyMissingFailsAndLeavesNothing) {
    for (const Fixture &f : fixtures()) {
        for (const char *key : f.required) {
            SCOPED_TRACE(std::string(f.name) + " without " + key);
            Harness h;
            const std::string data = parse_harness::without(f.data, f.path, key);
            EXPECT_EQ(h.reply(f.cmd, data.c_str()), f.missing_rc);
            EXPECT_FALSE(h.holds_result());
        }
    }
}

// A JSON null counts as a missing key.
TEST_F(ParserFixtures, NullValueCountsAsMissing) {
    for (const Fixture &f : fixtures()) {
        for (const char *key : f.required) {
            SCOPED_TRACE(std::string(f.name) + " null " + key);
            json_object *root = json_tokener_parse(parse_harness::without(f.data, f.path, key).c_str());
            json_object *at = root;
            std::string path = f.path;
            for (size_t pos = 0; !path.empty() && pos != std::string::npos;) {
                const size_t next = path.find('/', pos);
                const std::string part =
                    path.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
                at = json_object_is_type(at, json_type_array)
                         ? json_object_array_get_idx(at, std::stoul(part))
                         : json_object_object_get(at, part.c_str());
                pos = next == std::string::npos ? next : next + 1;
            }
            json_object_object_add(at, key, nullptr);
            Harness h;
            EXPECT_EQ(h.reply(f.cmd, json_object_to_json_string(root)), f.missing_rc);
            EXPECT_FALSE(h.holds_result());
            json_object_put(root);
        }
    }
}

TEST_F(ParserFixtures, HeaderErrorReplacesTheResult) {
    for (const Fixture &f : fixtures()) {
        SCOPED_TRACE(f.name);
        {
            // Full data and an error: the error wins; whatever the parser built is released by the caller.
            Harness h;
            EXPECT_EQ(h.reply(f.cmd, f.data, 10019), 10019);
        }
        {
            // An error reply without data allocates nothing.
            Harness h;
            EXPECT_EQ(h.reply(f.cmd, nullptr, 10019), 10019);
            EXPECT_FALSE(h.holds_result());
        }
    }
}

TEST_F(ParserFixtures, ReplyWithoutData) {
    for (const Fixture &f : fixtures()) {
        SCOPED_TRACE(f.name);
        Harness h;
        EXPECT_EQ(h.reply(f.cmd, nullptr), f.nodata_rc);
        EXPECT_FALSE(h.holds_result());
    }
}

// The no-data commands of these areas answer 0 whatever "data" holds; only the header decides.
TEST_F(ParserFixtures, NoDataCommandsReadNothing) {
    for (int cmd : {169, 172, 301, 302, 303, 308, 309, 311, 313, 315, 316, 318, 325, 331, 333,
                    344, 166, 320, 334, 338, 342, 177, 179, 180, 181, 182, 183, 189, 328, 337}) {
        SCOPED_TRACE(cmd);
        Harness h;
        EXPECT_EQ(h.reply(cmd, R"([{"anything": 1}])"), 0);
        EXPECT_EQ(h.reply(cmd, nullptr), 0);
        EXPECT_EQ(h.reply(cmd, nullptr, 10017), 10017);
    }
}
