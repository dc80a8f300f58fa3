// The device-user codec against the emulated device: requests built by the codec pass the device's
// strict checks, and the device's replies parse back into the record.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/qv_log.h"
#include "codec/device_user_process.h"
#include "cross_test_util.h"
#include "emu_test_util.h"
#include "handlers_device_user.h"
#include "raw_test_client.h"

namespace {

using emutest::key;

struct Bed {
    explicit Bed(const std::string &addr) : addr(addr), dev("/tmp", addr, 0) {
        model = qvemu::install_device_user_handlers(dev);
        model->update([](qvemu::DeviceUserState &s) { s.auth_codes = {"code-1"}; });
        started = dev.start();
    }
    std::string addr;
    qvemu::Device dev;
    std::shared_ptr<qvemu::DeviceUserModel> model;
    bool started = false;

    // Builds, sends and parses one command as the device-user processor does.
    int run(client_info &ci, int timeout = 20000) {
        if (DeviceUser_RequestProcess(&ci) != 0) return 10003;
        rawtest::RawClient c(addr, dev.port());
        rawtest::BlockSpec spec;
        spec.host = addr;
        spec.timeout = timeout;
        const std::string body = rawtest::client_encipher(ci.retstr, key());
        std::free(ci.retstr);
        ci.retstr = nullptr;
        if (!c.send_request(rawtest::request_block(spec, body.size()), body)) return 15000;
        auto r = c.read_reply();
        if (!r || r->ended_early) return 15000;
        std::string b = r->body;
        if (r->get("Encrypt") == "aes") rawtest::aes_block0(b, key(), false);
        ci.recv_buf = strdup(b.substr(0, b.find('\0')).c_str());
        const int rc = DeviceUser_ParseProcess(&ci);
        std::free(ci.recv_buf);
        ci.recv_buf = nullptr;
        return rc;
    }
};

client_info zeroed(int cmd, int64_t token) {
    client_info ci;
    std::memset(&ci, 0, sizeof ci);
    ci.cmd = cmd;
    ci.token = token;
    return ci;
}

}  // namespace

TEST(DeviceUserCodec, LoginThenSessionCommandsAgainstTheDevice) {
    qv::set_log_enabled(false);
    Bed bed(cross_test::device_addr());
    ASSERT_TRUE(bed.started);

    client_info login = zeroed(2, 0);
    login.authCode = "code-1";
    login.loginPort = QV_DEVICE_USER_LOGIN_PORT;
    ASSERT_EQ(bed.run(login), 0);
    EXPECT_NE(login.token, 0);
    EXPECT_STREQ(login.ver, "V1.0.0");
    EXPECT_STREQ(login.customCode, "CC01");
    const int64_t token = login.token;

    client_info bad = zeroed(2, 0);
    bad.authCode = "nope";
    EXPECT_EQ(bed.run(bad), 10016);

    client_info ver = zeroed(1, token);
    ASSERT_EQ(bed.run(ver), 0);
    EXPECT_STREQ(ver.ver, "V1.0.0");

    client_info bind = zeroed(10, 0);
    ASSERT_EQ(bed.run(bind), 0);
    EXPECT_STREQ(bind.bindCode, "BIND-0001");

    client_info id = zeroed(11, 0);
    ASSERT_EQ(bed.run(id), 0);
    EXPECT_STREQ(id.deviceId, "DEV-0001");

    time_sync_info ts{};
    std::strcpy(ts.time_value, "2024-01-01 00:00:00");
    std::strcpy(ts.time_zone, "UTC+8");
    client_info sync = zeroed(50, token);
    sync.syncTime = &ts;
    ASSERT_EQ(bed.run(sync), 0);
    EXPECT_EQ(bed.model->get().time_value, "2024-01-01 00:00:00");

    client_info setflag = zeroed(56, token);
    setflag.version_flag = 4;
    ASSERT_EQ(bed.run(setflag), 0);
    client_info getflag = zeroed(55, token);
    ASSERT_EQ(bed.run(getflag), 0);
    EXPECT_EQ(getflag.version_flag, 4);

    nas_device_info nas{};
    client_info info = zeroed(249, token);
    info.nasDeviceInfo = &nas;
    ASSERT_EQ(bed.run(info), 0);
    EXPECT_STREQ(nas.deviceModel, "QV-NAS");
    EXPECT_STREQ(nas.stmVer, "STM-1");

    char fw[QV_FW_VERSION_SIZE] = {};
    client_info fwv = zeroed(52, token);
    fwv.fwVersion = fw;
    ASSERT_EQ(bed.run(fwv), 0);
    EXPECT_STREQ(fw, "FW-1.0.0");

    client_info logout = zeroed(3, token);
    ASSERT_EQ(bed.run(logout, 200), 0);

    EXPECT_EQ(bed.model->get().unknown_token_requests, 0u);
    const auto v = bed.dev.violations();
    EXPECT_TRUE(v.empty()) << v.front().what << ": " << v.front().request;
    qv::set_log_enabled(true);
}
