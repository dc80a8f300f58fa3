#include "codec/device_user_process.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "codec/parse_harness_test.h"

namespace {

// A zeroed record with the caller's records hung on it; frees what the processor would free.
struct Rec : parse_harness::Record {
    nas_device_info nas;
    ota_version_info ota;
    char fw[40];  // 32 bytes for the parser, then a guard that must stay untouched
    time_sync_info ts;
    sys_sync_info ss;
    Rec() {
        std::memset(&nas, 0, sizeof nas);
        std::memset(&ota, 0, sizeof ota);
        std::memset(fw, 'G', sizeof fw);
        std::memset(&ts, 0, sizeof ts);
        std::memset(&ss, 0, sizeof ss);
        ci.nasDeviceInfo = &nas;
        ci.otaVersionInfo = &ota;
        ci.fwVersion = fw;
    }
    int parse(int cmd, const std::string &text) {
        ci.cmd = cmd;
        receive(text.c_str());
        return DeviceUser_ParseProcess(&ci);
    }
};

std::string reply(int cmd, const std::string &data, int error = 0) {
    std::string s = "{\"header\":{\"cmd\":" + std::to_string(cmd) + ",\"error\":" + std::to_string(error) +
                    ",\"token\":77,\"seq\":3}";
    if (!data.empty()) s += ",\"data\":" + data;
    return s + "}";
}

using DeviceUser = parse_harness::Quiet;

}  // namespace

TEST_F(DeviceUser, TableRowsInOrder) {
    const std::vector<std::pair<int, std::string>> golden = {
        {1, "Parser_GetDeviceVersion"},   {8, "Parser_NotNecessary"},
        {12, "Parser_NotNecessary"},      {2, "Parser_login"},
        {3, "Parser_NotNecessary"},       {10, "Parser_GetBindCode"},
        {11, "Parser_GetDeviceID"},       {15, "Parser_GetFuncList"},
        {249, "Parser_GetNasDeviceInfo"}, {48, "Parser_PassThrough"},
        {50, "Parser_PassThrough"},       {51, "Parser_PassThrough"},
        {52, "Parse_GetFwVersion"},       {54, "Parse_GetOtaInfo"},
        {55, "Parse_GetVersionFlag"},     {56, "Parser_PassThrough"},
        {58, "Parser_PassThrough"}};
    ASSERT_EQ(golden.size(), QV_DEVICE_USER_CMD_COUNT);
    for (size_t i = 0; i < QV_DEVICE_USER_CMD_COUNT; ++i) {
        EXPECT_EQ(device_user_table()[i].code, golden[i].first) << i;
        EXPECT_EQ(device_user_table()[i].parser_name, golden[i].second) << i;
    }
    // Rows 9 and 16 share the header-only builder.
    EXPECT_EQ(device_user_table()[9].builder, device_user_table()[16].builder);
}

// Every row's request text: "data" first, then the header with the row's own key order.
TEST_F(DeviceUser, GoldenRequestTexts) {
    struct Case {
        int cmd;
        std::function<void(Rec &)> fill;
        const char *text;
    };
    const Case cases[] = {
        {1, nullptr, R"({ "header": { "cmd": 1, "seq": 7, "error": 0, "token": 123456789012 } })"},
        {8, nullptr, R"({ "data": [ { } ], "header": { "cmd": 8, "seq": 7, "error": 0 } })"},
        {12,
         [](Rec &r) {
             r.ci.deviceName = "NAS/1";
             r.ci.deviceUuid = "u-1";
         },
         R"({ "data": [ { "devicename": "NAS\/1", "deviceuuid": "u-1" } ], "header": { "cmd": 12, "seq": 7, "token": 123456789012, "error": 0 } })"},
        {2,
         [](Rec &r) {
             r.ci.authCode = "ac";
             r.ci.loginPort = QV_DEVICE_USER_LOGIN_PORT;
         },
         R"({ "data": [ { "authCode": "ac", "port": 13101, "statusFlag": 0 } ], "header": { "cmd": 2, "seq": 7, "error": 0 } })"},
        {2, [](Rec &r) { r.ci.loginPort = QV_DEVICE_USER_LOGIN_PORT; },
         R"({ "data": [ { "port": 13101, "statusFlag": 0 } ], "header": { "cmd": 2, "seq": 7, "error": 0 } })"},
        {3, nullptr, R"({ "header": { "cmd": 3, "seq": 7, "token": 123456789012, "error": 0 } })"},
        {10, [](Rec &r) { r.ci.token = 0; },
         R"({ "header": { "cmd": 10, "seq": 7, "error": 0, "token": 0 } })"},
        {11, [](Rec &r) { r.ci.token = 0; },
         R"({ "header": { "cmd": 11, "seq": 7, "error": 0, "token": 0 } })"},
        {15, nullptr, R"({ "header": { "cmd": 15, "seq": 7, "error": 0, "token": 123456789012 } })"},
        {249, nullptr, R"({ "header": { "cmd": 249, "token": 123456789012, "seq": 7, "error": 0 } })"},
        {48, nullptr, R"({ "header": { "cmd": 48, "token": 123456789012, "seq": 7, "error": 0 } })"},
        {50,
         [](Rec &r) {
             std::strcpy(r.ts.time_value, "2024-01-02 03:04:05");
             std::strcpy(r.ts.time_zone, "UTC+8");
             r.ci.syncTime = &r.ts;
         },
         R"({ "data": [ { "time_value": "2024-01-02 03:04:05", "time_zone": "UTC+8" } ], "header": { "cmd": 50, "token": 123456789012, "seq": 7, "error": 0 } })"},
        {51,
         [](Rec &r) {
             r.ss = {1, 0};
             r.ci.syncSystem = &r.ss;
         },
         R"({ "data": [ { "sync": 1, "clean_cache": 0 } ], "header": { "cmd": 51, "token": 123456789012, "seq": 7, "error": 0 } })"},
        {52, nullptr, R"({ "header": { "cmd": 52, "token": 123456789012, "seq": 7, "error": 0 } })"},
        {54, nullptr, R"({ "header": { "cmd": 54, "token": 123456789012, "seq": 7, "error": 0 } })"},
        {55, nullptr, R"({ "header": { "cmd": 55, "token": 123456789012, "seq": 7, "error": 0 } })"},
        {56, [](Rec &r) { r.ci.version_flag = 3; },
         R"({ "data": [ { "version_flag": 3 } ], "header": { "cmd": 56, "token": 123456789012, "seq": 7, "error": 0 } })"},
        {58, nullptr, R"({ "header": { "cmd": 58, "token": 123456789012, "seq": 7, "error": 0 } })"},
    };
    for (const Case &c : cases) {
        Rec r;
        r.ci.cmd = c.cmd;
        r.ci.seq = 7;
        r.ci.token = 123456789012;
        if (c.fill) c.fill(r);
        ASSERT_EQ(DeviceUser_RequestProcess(&r.ci), 0) << c.cmd;
        ASSERT_NE(r.ci.retstr, nullptr) << c.cmd;
        EXPECT_STREQ(r.ci.retstr, c.text) << c.cmd;
    }
}

TEST_F(DeviceUser, RequestsThatAreNotBuilt) {
    struct Case {
        int cmd;
        std::function<void(Rec &)> fill;
    };
    const Case cases[] = {
        {7, nullptr},          // no row
        {65536 + 1, nullptr},  // would alias code 1 if cut to 16 bits
        {-1, nullptr},
        {50, nullptr},                                // no time-sync record
        {51, nullptr},                                // no sync pair
        {12, [](Rec &r) { r.ci.deviceUuid = "u"; }},  // no device name
        {12, [](Rec &r) { r.ci.deviceName = "n"; }},  // no device uuid
    };
    for (const Case &c : cases) {
        Rec r;
        r.ci.cmd = c.cmd;
        if (c.fill) c.fill(r);
        EXPECT_EQ(DeviceUser_RequestProcess(&r.ci), -1) << c.cmd;
        EXPECT_EQ(r.ci.retstr, nullptr) << c.cmd;
    }
}

// A time text that fills its field without a terminator is sent as its 64 characters, no more.
TEST_F(DeviceUser, SyncTimeFieldWithoutTerminator) {
    Rec r;
    std::memset(r.ts.time_value, 'T', sizeof r.ts.time_value);
    std::memset(r.ts.time_zone, 'Z', sizeof r.ts.time_zone);
    r.ci.syncTime = &r.ts;
    r.ci.cmd = 50;
    ASSERT_EQ(DeviceUser_RequestProcess(&r.ci), 0);
    const std::string text = r.ci.retstr;
    EXPECT_NE(text.find("\"time_value\": \"" + std::string(64, 'T') + "\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"time_zone\": \"" + std::string(64, 'Z') + "\""), std::string::npos) << text;
}

TEST_F(DeviceUser, SeqIsSentAsLow32BitsSigned) {
    Rec r;
    r.ci.cmd = 1;
    r.ci.seq = 0x1FFFFFFFFLL;
    ASSERT_EQ(DeviceUser_RequestProcess(&r.ci), 0);
    EXPECT_NE(std::string(r.ci.retstr).find("\"seq\": -1,"), std::string::npos) << r.ci.retstr;
}

// Replies of every row, read by position.
TEST_F(DeviceUser, RepliesByRow) {
    const std::string v40(40, 'v'), b40(40, 'b'), d100(100, 'd'), f100(100, 'f'), c40(40, 'c');
    struct Case {
        const char *what;
        int cmd;
        std::string text;
        int result;
        std::function<void(const Rec &)> check;
    };
    const std::vector<Case> cases = {
        {"version", 1, reply(1, R"([{"ver":"V1.2.3"}])"), 0,
         [](const Rec &r) { EXPECT_STREQ(r.ci.ver, "V1.2.3"); }},
        {"version without element 0", 1, reply(1, "[]"), 0, [](const Rec &r) { EXPECT_STREQ(r.ci.ver, ""); }},
        {"version data not an array", 1, reply(1, R"({"ver":"x"})"), 0,
         [](const Rec &r) { EXPECT_STREQ(r.ci.ver, ""); }},
        {"version cut to 31", 1, reply(1, "[{\"ver\":\"" + v40 + "\"}]"), 0,
         [&](const Rec &r) { EXPECT_EQ(std::string(r.ci.ver), v40.substr(0, 31)); }},
        {"version without data", 1, reply(1, ""), -1, nullptr},
        {"login, all four elements", 2,
         reply(2, R"([{"ver":"V9"},{"funcListFlag":5},{"databaseSign":6},)"
                  R"({"customCode":"CC","versionCode":"VC","version_flag":2}])"),
         0,
         [](const Rec &r) {
             EXPECT_STREQ(r.ci.ver, "V9");
             EXPECT_EQ(r.ci.funcListFlag, 5);
             EXPECT_EQ(r.ci.databaseSign, 6);
             EXPECT_STREQ(r.ci.customCode, "CC");
             EXPECT_STREQ(r.ci.versionCode, "VC");
             EXPECT_EQ(r.ci.version_flag, 2);
             EXPECT_EQ(r.ci.token, 77);
         }},
        {"login, only element 0", 2, reply(2, R"([{"ver":"V9"}])"), 0,
         [](const Rec &r) {
             EXPECT_STREQ(r.ci.ver, "V9");
             EXPECT_EQ(r.ci.funcListFlag, -5);  // left as it was
             EXPECT_STREQ(r.ci.customCode, "old");
         }},
        {"login, codes cut to 31", 2,
         reply(2, "[{},{},{},{\"customCode\":\"" + c40 + "\",\"versionCode\":\"" + c40 + "\"}]"), 0,
         [&](const Rec &r) {
             EXPECT_EQ(std::string(r.ci.customCode), c40.substr(0, 31));
             EXPECT_EQ(std::string(r.ci.versionCode), c40.substr(0, 31));
         }},
        {"bind code", 10, reply(10, R"([{"bindCode":"B-1"}])"), 0,
         [](const Rec &r) { EXPECT_STREQ(r.ci.bindCode, "B-1"); }},
        {"bind code cut to 32", 10, reply(10, "[{\"bindCode\":\"" + b40 + "\"}]"), 0,
         [&](const Rec &r) { EXPECT_EQ(std::string(r.ci.bindCode), b40.substr(0, 32)); }},
        {"bind code missing", 10, reply(10, "[{}]"), 0,
         [](const Rec &r) { EXPECT_STREQ(r.ci.bindCode, ""); }},
        {"device id cut to 64", 11, reply(11, "[{\"deviceId\":\"" + d100 + "\"}]"), 0,
         [&](const Rec &r) { EXPECT_EQ(std::string(r.ci.deviceId), d100.substr(0, 64)); }},
        {"device id", 11, reply(11, R"([{"deviceId":"D1"}])"), 0,
         [](const Rec &r) { EXPECT_STREQ(r.ci.deviceId, "D1"); }},
        {"function list", 15, reply(15, R"([{"statusFlag":9}])"), 0,
         [](const Rec &r) { EXPECT_EQ(r.ci.statusFlag, 9); }},
        {"function list missing", 15, reply(15, "[{}]"), -1, nullptr},
        {"function list, empty data", 15, reply(15, "[]"), -1, nullptr},
        {"device info", 249,
         reply(249,
               R"([{"deviceModel":"M","customCode":"C","versionCode":"V","mac":"AA","wanWiredIP":"1.2.3.4",)"
               R"("wanWiredMask":"255.0.0.0","version_flag":4,"time":99,"stmVer":"S1"}])"),
         0,
         [](const Rec &r) {
             EXPECT_STREQ(r.nas.deviceModel, "M");
             EXPECT_STREQ(r.nas.customCode, "C");
             EXPECT_STREQ(r.nas.versionCode, "V");
             EXPECT_STREQ(r.nas.mac, "AA");
             EXPECT_STREQ(r.nas.wanWiredIP, "1.2.3.4");
             EXPECT_STREQ(r.nas.wanWiredMask, "255.0.0.0");
             EXPECT_EQ(r.nas.version_flag, 4);
             EXPECT_EQ(r.nas.time, 99);
             EXPECT_STREQ(r.nas.stmVer, "S1");
         }},
        {"device info, optional keys missing", 249, reply(249, R"([{"customCode":"C","versionCode":"V"}])"),
         0,
         [](const Rec &r) {
             EXPECT_STREQ(r.nas.mac, "");
             EXPECT_EQ(r.nas.time, 0);
         }},
        {"device info without customCode", 249, reply(249, R"([{"versionCode":"V","stmVer":"S2"}])"), -1,
         [](const Rec &r) {
             EXPECT_STREQ(r.nas.stmVer, "S2");  // taken before the check
             EXPECT_STREQ(r.nas.versionCode, "");
         }},
        {"device info without versionCode", 249, reply(249, R"([{"customCode":"C"}])"), -1, nullptr},
        {"device info without element 0", 249, reply(249, "[]"), -1, nullptr},
        {"device info, texts cut", 249,
         reply(249, "[{\"customCode\":\"" + c40 + "\",\"versionCode\":\"V\",\"mac\":\"" + c40 + "\"}]"), 0,
         [&](const Rec &r) {
             EXPECT_EQ(std::string(r.nas.customCode), c40.substr(0, 31));
             EXPECT_EQ(std::string(r.nas.mac), c40.substr(0, 31));
         }},
        {"firmware version", 52, reply(52, R"([{"fw_version":"FW-1"}])"), 0,
         [](const Rec &r) { EXPECT_STREQ(r.fw, "FW-1"); }},
        {"firmware version cut to 31", 52, reply(52, "[{\"fw_version\":\"" + f100 + "\"}]"), 0,
         [&](const Rec &r) {
             EXPECT_EQ(std::string(r.fw), f100.substr(0, 31));
             EXPECT_EQ(std::string(r.fw + 32, 8), std::string(8, 'G'));  // nothing written past 32 bytes
         }},
        {"firmware version missing", 52, reply(52, "[{}]"), -1, nullptr},
        {"ota info", 54,
         reply(54, R"([{"customCode":"C","versionCode":"V","mac":"M","version_flag":1,"time":5}])"), 0,
         [](const Rec &r) {
             EXPECT_STREQ(r.ota.customCode, "C");
             EXPECT_STREQ(r.ota.versionCode, "V");
             EXPECT_STREQ(r.ota.mac, "M");
             EXPECT_EQ(r.ota.version_flag, 1);
             EXPECT_EQ(r.ota.time, 5);
         }},
        {"ota info without versionCode", 54, reply(54, R"([{"customCode":"C"}])"), -1, nullptr},
        {"ota info without customCode", 54, reply(54, R"([{"versionCode":"V"}])"), -1, nullptr},
        {"version flag", 55, reply(55, R"([{"version_flag":"12"}])"), 0,
         [](const Rec &r) { EXPECT_EQ(r.ci.version_flag, 12); }},
        {"version flag missing", 55, reply(55, "[{}]"), -1, nullptr},
        {"logout, any data", 3, reply(3, "[]"), 0, nullptr},
        {"register", 12, reply(12, "{}"), 0, nullptr},
        {"set sync time", 50, reply(50, ""), 0, nullptr},
        // Rows that need no data take a reply without it.
        {"logout without data", 3, reply(3, ""), 0, nullptr},
        {"8 without data", 8, reply(8, ""), 0, nullptr},
        {"48 without data", 48, reply(48, ""), 0, nullptr},
        {"51 without data", 51, reply(51, ""), 0, nullptr},
        {"56 without data", 56, reply(56, ""), 0, nullptr},
        {"58 without data", 58, reply(58, ""), 0, nullptr},
        // Rows that read data give -1 without it.
        {"bind code without data", 10, reply(10, ""), -1, nullptr},
        {"device id without data", 11, reply(11, ""), -1, nullptr},
        {"login without data", 2, reply(2, ""), -1, nullptr},
        {"device info without data", 249, reply(249, ""), -1, nullptr},
        {"firmware version without data", 52, reply(52, ""), -1, nullptr},
        {"ota info without data", 54, reply(54, ""), -1, nullptr},
        {"version flag without data", 55, reply(55, ""), -1, nullptr},
        {"function list without data", 15, reply(15, ""), -1, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Rec r;
        r.ci.funcListFlag = -5;
        std::strcpy(r.ci.customCode, "old");
        EXPECT_EQ(r.parse(c.cmd, c.text), c.result);
        EXPECT_EQ(r.ci.r_json, nullptr);
        EXPECT_EQ(r.ci.cmd, c.cmd);
        EXPECT_EQ(r.ci.token, 77);
        EXPECT_EQ(r.ci.seq, 3);
        if (c.check) c.check(r);
    }
}

// A header error is the result and no parser runs, even with complete data.
TEST_F(DeviceUser, HeaderErrorStopsBeforeTheParser) {
    for (int cmd : {1, 2, 10, 11, 15, 249, 52, 54, 55, 48, 3}) {
        Rec r;
        EXPECT_EQ(
            r.parse(cmd, reply(cmd,
                               R"([{"ver":"V","bindCode":"B","deviceId":"D","statusFlag":1,)"
                               R"("customCode":"C","versionCode":"V","fw_version":"F","version_flag":9}])",
                               5)),
            5)
            << cmd;
        EXPECT_STREQ(r.ci.ver, "");
        EXPECT_STREQ(r.ci.bindCode, "");
        EXPECT_STREQ(r.ci.deviceId, "");
        EXPECT_STREQ(r.nas.customCode, "");
        EXPECT_EQ(r.fw[0], 'G');
        EXPECT_EQ(r.ci.version_flag, 0);
        EXPECT_EQ(r.ci.error, 5);
        EXPECT_EQ(r.ci.token, 77);  // the header is taken over all the same
        EXPECT_EQ(r.ci.r_json, nullptr);
    }
}

// Called on their own, the parsers pass a nonzero record error through unchanged.
TEST_F(DeviceUser, ParsersPassARecordErrorThrough) {
    for (size_t i = 0; i < QV_DEVICE_USER_CMD_COUNT; ++i) {
        const device_user_row &row = device_user_table()[i];
        Rec r;
        r.ci.error = 9;
        r.ci.r_json = json_tokener_parse(R"({"header":{},"data":[{"ver":"X"}]})");
        EXPECT_EQ(row.parser(&r.ci, row.code, static_cast<int>(i), &row), 9) << row.parser_name;
        EXPECT_STREQ(r.ci.ver, "");
    }
}

TEST_F(DeviceUser, UnusableReplies) {
    for (const char *text : {"", "not json", "[1,2]", "{\"data\":[]}", "{\"header\":5}", "{\"header\":[]}"}) {
        Rec r;
        EXPECT_EQ(r.parse(1, text), -1) << text;
        EXPECT_EQ(r.ci.r_json, nullptr);
    }
    Rec r;
    r.ci.cmd = 1;
    EXPECT_EQ(DeviceUser_ParseProcess(&r.ci), -1);  // no reply text at all
    EXPECT_EQ(DeviceUser_ParseProcess(nullptr), -1);
    EXPECT_EQ(DeviceUser_RequestProcess(nullptr), -1);
}

// The reply's own "cmd" selects the parser; its header is taken over in every case.
TEST_F(DeviceUser, ReplyCmdSelectsTheParser) {
    Rec login;
    EXPECT_EQ(login.parse(2, R"({"header":{"cmd":3,"error":0,"token":4242},"data":[{"ver":"V"}]})"), 0);
    EXPECT_EQ(login.ci.cmd, 3);
    EXPECT_EQ(login.ci.token, 4242);
    EXPECT_STREQ(login.ci.ver, "");  // Parser_NotNecessary ran, not the login parser

    Rec unknown;
    EXPECT_EQ(unknown.parse(1, R"({"header":{"cmd":7,"error":0,"token":11,"seq":-2},"data":[{"ver":"V"}]})"),
              0);
    EXPECT_EQ(unknown.ci.cmd, 7);
    EXPECT_EQ(unknown.ci.token, 11);
    EXPECT_EQ(unknown.ci.seq, -2);
    EXPECT_STREQ(unknown.ci.ver, "");

    // A reply naming a command whose caller record this request never set gives -1, not a crash.
    Rec stray;
    stray.ci.fwVersion = nullptr;
    stray.ci.nasDeviceInfo = nullptr;
    stray.ci.otaVersionInfo = nullptr;
    EXPECT_EQ(stray.parse(1, reply(52, R"([{"fw_version":"F"}])")), -1);
    EXPECT_EQ(stray.parse(1, reply(249, R"([{"customCode":"C","versionCode":"V"}])")), -1);
    EXPECT_EQ(stray.parse(1, reply(54, R"([{"customCode":"C","versionCode":"V"}])")), -1);

    // Header without "token" or "seq": those stay; "cmd" and "error" read as 0 when missing.
    Rec bare;
    bare.ci.token = 5;
    bare.ci.seq = 6;
    EXPECT_EQ(bare.parse(1, R"({"header":{}})"), 0);
    EXPECT_EQ(bare.ci.cmd, 0);
    EXPECT_EQ(bare.ci.token, 5);
    EXPECT_EQ(bare.ci.seq, 6);
}

TEST_F(DeviceUser, HeaderStepReturnsTheDeviceError) {
    Rec r;
    r.ci.recv_buf = strdup(R"({"header":{"cmd":1,"error":13}})");
    EXPECT_EQ(DeviceUser_ParseHeaderJson(&r.ci), 13);
    EXPECT_EQ(r.ci.error, 13);
    std::free(r.ci.recv_buf);
    r.ci.recv_buf = strdup("{}");
    EXPECT_EQ(DeviceUser_ParseHeaderJson(&r.ci), -1);
}
