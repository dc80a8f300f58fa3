#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "command/fake_post_test.h"
#include "command/ppc_qv_client.h"

namespace {

const char kLoginOk[] = R"({"header":{"cmd":2,"error":0,"token":123456789012},"data":[{"ver":"V1"}]})";

class DeviceUserCalls : public testing::Test {
  protected:
    void SetUp() override { qv_frame_reset(); }
    void TearDown() override { qv_frame_reset(); }
    FakePostScope scope_;
};

TEST_F(DeviceUserCalls, LoginHandsOutTheHeaderTokenAndSetsTheDevice) {
    fake_post().reply = kLoginOk;
    int64_t token = 0;
    ASSERT_EQ(QV_LoginVantor("127.0.0.9", "code", &token), 0);
    EXPECT_EQ(token, 123456789012);
    EXPECT_EQ(fake_post().url, "http://127.0.0.9:13111");
    char cur[33];
    qv_current_device(cur);
    EXPECT_STREQ(cur, "127.0.0.9");
}

// A failed login (device refusal, no token, unreachable) leaves the token and the current device alone.
TEST_F(DeviceUserCalls, FailedLoginChangesNothing) {
    struct Case {
        const char *reply;
        int post_result;
        int want;
    } cases[] = {
        {R"({"header":{"cmd":2,"error":10016}})", 0, 10016},
        {R"({"header":{"cmd":2,"error":0},"data":[{}]})", 0, -1},
        {"", 15000, 15000},
        {"", 0, -1},  // empty body
    };
    fake_post().reply = kLoginOk;
    int64_t token = 0;
    ASSERT_EQ(QV_LoginVantor("127.0.0.9", "code", &token), 0);
    for (const auto &c : cases) {
        fake_post().reply = c.reply;
        fake_post().result = c.post_result;
        int64_t t = 77;
        EXPECT_EQ(QV_LoginVantor("127.0.0.10", "code", &t), c.want) << c.reply;
        EXPECT_EQ(t, 77);
        char cur[33];
        qv_current_device(cur);
        EXPECT_STREQ(cur, "127.0.0.9");
    }
}

TEST_F(DeviceUserCalls, AddressesLongerThan32CharactersAreRefused) {
    const std::string longest(32, '1');
    const std::string too_long(33, '1');
    char out[33];
    int64_t token = 0;
    fake_post().result = 15000;
    EXPECT_EQ(QV_GetBindCode(longest.c_str(), out), 15000);
    EXPECT_EQ(fake_post().url, "http://" + longest + ":13111");
    EXPECT_EQ(QV_GetBindCode(too_long.c_str(), out), -1);
    EXPECT_EQ(QV_LoginVantor(too_long.c_str(), "c", &token), -1);
    EXPECT_EQ(fake_post().calls, 1);
}

TEST_F(DeviceUserCalls, VersionIsCachedPerDevice) {
    char ver[32] = {};
    fake_post().reply = R"({"header":{"cmd":1,"error":0},"data":[{"ver":"A-1"}]})";
    ASSERT_EQ(QV_GetDeviceVersion(ver, 1), 0);
    EXPECT_EQ(fake_post().url, "http://127.0.0.1:13111");  // before any login, quietly local
    EXPECT_STREQ(ver, "A-1");
    fake_post().reply = R"({"header":{"cmd":1,"error":0},"data":[{"ver":"other"}]})";
    ASSERT_EQ(QV_GetDeviceVersion(ver, 1), 0);
    EXPECT_STREQ(ver, "A-1");
    EXPECT_EQ(fake_post().calls, 1);

    fake_post().reply = kLoginOk;
    int64_t token = 0;
    ASSERT_EQ(QV_LoginVantor("127.0.0.11", "c", &token), 0);
    fake_post().reply = R"({"header":{"cmd":1,"error":0},"data":[{"ver":"B-2"}]})";
    ASSERT_EQ(QV_GetDeviceVersion(ver, token), 0);
    EXPECT_STREQ(ver, "B-2");
}

TEST_F(DeviceUserCalls, NullOutTextsAndRecordsSendNothing) {
    EXPECT_EQ(QV_GetBindCode("127.0.0.9", nullptr), -1);
    EXPECT_EQ(QV_GetDeviceID(nullptr), -1);
    EXPECT_EQ(QV_RouterSetSyncTime(nullptr, 1), 10003);
    EXPECT_EQ(QV_RouterSetSyncSystem(nullptr, 1), 10003);
    EXPECT_EQ(fake_post().calls, 0);
}

TEST_F(DeviceUserCalls, LogoutWaitsAtMost200Ms) {
    fake_post().reply = R"({"header":{"cmd":3,"error":0},"data":[{}]})";
    EXPECT_EQ(QV_LogoutVantor(5), 0);
    EXPECT_EQ(fake_post().timeout, 200);
}

TEST_F(DeviceUserCalls, OutValuesOnlyOnSuccess) {
    int32_t flag = 9;
    fake_post().reply = R"({"header":{"cmd":55,"error":0},"data":[{"version_flag":3}]})";
    EXPECT_EQ(QV_RouterGetVersionFlag(&flag, 1), 0);
    EXPECT_EQ(flag, 3);
    fake_post().reply = R"({"header":{"cmd":55,"error":12}})";
    flag = 9;
    EXPECT_EQ(QV_RouterGetVersionFlag(&flag, 1), 12);
    EXPECT_EQ(flag, 9);
    char id[65] = "keep";
    fake_post().reply = "";
    EXPECT_EQ(QV_GetDeviceID(id), -1);
    EXPECT_STREQ(id, "keep");
}

TEST_F(DeviceUserCalls, RegisterReadsTheRecordsTextsWithinTheirFields) {
    EXPECT_EQ(QV_RegisterDevice(nullptr, 1), -1);
    EXPECT_EQ(fake_post().calls, 0);

    qv_dev_detail dev{};
    std::memset(dev.device_name, 'n', sizeof dev.device_name);  // no terminator in either field
    std::memset(dev.dev_uuid, 'u', sizeof dev.dev_uuid);
    fake_post().reply = R"({"header":{"cmd":12,"error":0},"data":[{}]})";
    ASSERT_EQ(QV_RegisterDevice(&dev, 7), 0);
    const std::string &req = fake_post().request;
    EXPECT_NE(req.find("\"devicename\": \"" + std::string(64, 'n') + "\""), std::string::npos) << req;
    EXPECT_NE(req.find("\"deviceuuid\": \"" + std::string(64, 'u') + "\""), std::string::npos) << req;

    fake_post().reply = R"({"header":{"cmd":12,"error":10016}})";
    EXPECT_EQ(QV_RegisterDevice(&dev, 7), 10016);
}

}  // namespace
