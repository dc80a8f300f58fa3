// The runtime's device identity calls against emulated devices, with the service running (each test in a
// network namespace of its own: discovery's ports are fixed, and the devices use the real command port).
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "base/qv_log.h"
#include "command/ppc_qv_client.h"
#include "device.h"
#include "handlers.h"
#include "handlers_device_user.h"
#include "netns_util.h"
#include "runtime/ppc_forward.h"
#include "runtime/ppc_funclist.h"
#include "runtime/ppc_identity.h"
#include "runtime/ppc_service.h"

namespace {

constexpr char kAddrA[] = "127.0.0.2";
constexpr char kAddrB[] = "127.0.0.3";
constexpr char kAuth[] = "auth-identity";

struct EmulatedDevice {
    std::unique_ptr<qvemu::Device> dev;
    std::shared_ptr<qvemu::DeviceUserModel> users;
    EmulatedDevice(const std::string &root, const char *addr) {
        std::filesystem::create_directories(root);
        dev = std::make_unique<qvemu::Device>(root, addr);
        users = qvemu::install_device_user_handlers(*dev);
        users->update([](qvemu::DeviceUserState &s) { s.auth_codes.insert(kAuth); });
    }
    uint64_t sent(int cmd) const {
        const auto c = dev->counters();
        auto it = c.requests_by_cmd.find(cmd);
        return it == c.requests_by_cmd.end() ? 0 : it->second;
    }
};

class Identity : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string why = qvtest::enter_private_netns();
        if (!why.empty()) GTEST_SKIP() << "needs a network namespace of its own (root): " << why;
        qv::set_log_enabled(false);
        char tmpl[] = "/tmp/qvident-XXXXXX";
        dir_ = mkdtemp(tmpl);
        ppc_set_broker_address("127.0.0.1:1");  // refused: the service runs without messaging
        a_ = std::make_unique<EmulatedDevice>(dir_ + "/a", kAddrA);
        b_ = std::make_unique<EmulatedDevice>(dir_ + "/b", kAddrB);
        b_->users->update([](qvemu::DeviceUserState &s) {
            s.bind_code = "BIND-B";
            s.device_id = "DEV-B";
            s.version = "V2.0.0";
        });
        ASSERT_TRUE(a_->dev->start()) << a_->dev->last_error();
        ASSERT_TRUE(b_->dev->start()) << b_->dev->last_error();
        qv_frame_reset();
        int32_t err = 0;
        ctx_ = ppc_start_Service((dir_ + "/cache").c_str(), nullptr, nullptr, nullptr, "127.0.0.1", &err);
        ASSERT_NE(ctx_, nullptr) << err;
        ASSERT_EQ(QV_LoginVantor(kAddrA, kAuth, &token_), 0);
    }
    void TearDown() override {
        if (ctx_ != nullptr) {
            EXPECT_EQ(ppc_stop_Service(ctx_), 0);
        }
        for (auto *d : {a_.get(), b_.get()}) {
            if (d == nullptr) continue;
            d->dev->stop();
            for (const auto &v : d->dev->violations()) ADD_FAILURE() << v.what << "\n" << v.request;
        }
        qv_frame_reset();
        ppc_set_broker_address(nullptr);
        qv::set_log_enabled(true);
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    std::string dir_;
    std::unique_ptr<EmulatedDevice> a_, b_;
    ppc_router_task *ctx_ = nullptr;
    int64_t token_ = 0;
};

TEST_F(Identity, RegisterListsTheDeviceOnceAndADuplicateUuidGivesBackTheListedEntry) {
    exdev_dnode *first = ppc_device_register("phone A", "uuid-1", token_);
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first->dev_name, "phone A");
    EXPECT_STREQ(first->dev_uuid, "uuid-1");
    qvemu::DeviceUserState s = a_->users->get();
    EXPECT_EQ(s.registered_name, "phone A");
    EXPECT_EQ(s.registered_uuid, "uuid-1");
    EXPECT_EQ(s.unknown_token_requests, 0u);  // sent with the session token

    exdev_dnode *again = ppc_device_register("renamed", "uuid-1", token_);
    EXPECT_EQ(again, first);  // the listed entry, its first name kept
    EXPECT_STREQ(again->dev_name, "phone A");
    EXPECT_EQ(a_->users->get().registrations.size(), 2u);  // the device was asked both times

    exdev_dnode *other = ppc_device_register("phone B", "uuid-2", token_);
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, first);
    EXPECT_EQ(lookup_exdev("uuid-2"), other);
    EXPECT_EQ(b_->sent(12), 0u);  // the current device only
}

// The entry a registration hands out names the device of a backup folder: its uuid goes as "deviceUuid".
TEST_F(Identity, TheRegisteredEntryNamesTheDeviceOfABackupFolder) {
    const exdev_dnode *entry = ppc_device_register("phone A", "uuid-backup", token_);
    ASSERT_NE(entry, nullptr);
    std::string sent_uuid;
    a_->dev->set_handler(136, [&sent_uuid](qvemu::Device &, const qvemu::Request &req) {
        sent_uuid = qvemu::arg_str(req, "deviceUuid");
        return qvemu::Reply{};
    });
    path_info dir{"/Backup/phone A", 1, 0};
    EXPECT_EQ(ppc_FileMkdirBackup(&dir, entry, token_), 0);
    EXPECT_EQ(sent_uuid, "uuid-backup");
    EXPECT_EQ(a_->sent(136), 1u);
}

TEST_F(Identity, RegisterCutsLongTextsToTheirFields) {
    const std::string name(100, 'n'), uuid(90, 'u');
    exdev_dnode *e = ppc_device_register(name.c_str(), uuid.c_str(), token_);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(std::string(e->dev_name), name.substr(0, 64));
    EXPECT_EQ(std::string(e->dev_uuid), uuid.substr(0, 64));
    EXPECT_EQ(a_->users->get().registered_name, name.substr(0, 64));
    EXPECT_EQ(a_->users->get().registered_uuid, uuid.substr(0, 64));
}

TEST_F(Identity, ARefusedOrIncompleteRegistrationListsNothing) {
    a_->users->update([](qvemu::DeviceUserState &s) { s.register_error = 10016; });
    EXPECT_EQ(ppc_device_register("phone", "uuid-r", token_), nullptr);
    EXPECT_EQ(lookup_exdev("uuid-r"), nullptr);
    EXPECT_EQ(a_->sent(12), 1u);

    EXPECT_EQ(ppc_device_register(nullptr, "uuid-r", token_), nullptr);
    EXPECT_EQ(ppc_device_register("phone", nullptr, token_), nullptr);
    EXPECT_EQ(a_->sent(12), 1u);  // nothing sent without both texts
}

TEST_F(Identity, RegisterWithoutARunningServiceSendsNothing) {
    ASSERT_EQ(ppc_stop_Service(ctx_), 0);
    ctx_ = nullptr;
    EXPECT_EQ(ppc_device_register("phone", "uuid-s", token_), nullptr);
    EXPECT_EQ(a_->sent(12), 0u);
}

TEST_F(Identity, BindCodeComesFromTheAddressGivenAndTheIdFromTheCurrentDevice) {
    char bind[33] = {};
    ASSERT_EQ(ppc_get_BindCode(kAddrB, bind), 0);
    EXPECT_STREQ(bind, "BIND-B");
    ASSERT_EQ(ppc_get_BindCode(kAddrA, bind), 0);
    EXPECT_STREQ(bind, "BIND-0001");
    char id[65] = {};
    ASSERT_EQ(ppc_get_DeviceID(id), 0);
    EXPECT_STREQ(id, "DEV-0001");
    EXPECT_EQ(b_->sent(11), 0u);

    // Without a buffer or an address nothing is sent.
    EXPECT_EQ(ppc_get_BindCode(kAddrB, nullptr), -1);
    EXPECT_EQ(ppc_get_BindCode(nullptr, bind), -1);
    EXPECT_EQ(ppc_get_DeviceID(nullptr), -1);
    EXPECT_EQ(b_->sent(10), 1u);
    EXPECT_EQ(a_->sent(11), 1u);
}

TEST_F(Identity, IdentityReadsCarryTheFullWidthOfTheirFields) {
    const std::string bind(32, 'b'), id(64, 'i'), ver(31, 'v');
    a_->users->update([&](qvemu::DeviceUserState &s) {
        s.bind_code = bind;
        s.device_id = id;
        s.version = ver;
    });
    char b[33], d[65], v[32];
    ASSERT_EQ(ppc_get_BindCode(kAddrA, b), 0);
    ASSERT_EQ(ppc_get_DeviceID(d), 0);
    ASSERT_EQ(ppc_get_DeviceVersion(v, token_), 0);
    EXPECT_EQ(std::string(b), bind);
    EXPECT_EQ(std::string(d), id);
    EXPECT_EQ(std::string(v), ver);
}

TEST_F(Identity, TheVersionIsAskedOncePerDevice) {
    char ver[32] = {};
    ASSERT_EQ(ppc_get_DeviceVersion(ver, token_), 0);
    EXPECT_STREQ(ver, "V1.0.0");
    a_->users->update([](qvemu::DeviceUserState &s) { s.version = "V1.0.1"; });
    std::memset(ver, 0, sizeof ver);
    ASSERT_EQ(ppc_get_DeviceVersion(ver, token_), 0);
    EXPECT_STREQ(ver, "V1.0.0");  // from the cache
    EXPECT_EQ(a_->sent(1), 1u);
    EXPECT_EQ(ppc_get_DeviceVersion(nullptr, token_), -1);

    // Another device logged in is asked for its own version.
    b_->users->update([](qvemu::DeviceUserState &s) { s.auth_codes.insert(kAuth); });
    int64_t token_b = 0;
    ASSERT_EQ(QV_LoginVantor(kAddrB, kAuth, &token_b), 0);
    ASSERT_EQ(ppc_get_DeviceVersion(ver, token_b), 0);
    EXPECT_STREQ(ver, "V2.0.0");
}

TEST_F(Identity, FunctionListFeedsTheSupportTest) {
    a_->users->update([](qvemu::DeviceUserState &s) { s.status_flag = 0x0FF; });
    int32_t list = 0;
    ASSERT_EQ(ppc_GetFuncList(&list, token_), 0);
    EXPECT_EQ(list, 0x0FF);
    EXPECT_EQ(ppc_check_FuncList_support(list, FUNC_SUPPORT_7), 1);
    EXPECT_EQ(ppc_check_FuncList_support(list, FUNC_SUPPORT_8), 0);

    a_->users->update([](qvemu::DeviceUserState &s) { s.status_flag = -1; });
    ASSERT_EQ(ppc_GetFuncList(&list, token_), 0);
    EXPECT_EQ(list, -1);
    EXPECT_EQ(ppc_check_FuncList_support(list, FUNC_SUPPORT_8), 1);
}

TEST_F(Identity, AFailedExchangeIsTheCallsResult) {
    a_->dev->stop();  // the current device gone
    char id[65] = "keep";
    const int rc = ppc_get_DeviceID(id);
    EXPECT_NE(rc, 0);
    EXPECT_STREQ(id, "keep");
    EXPECT_EQ(ppc_device_register("phone", "uuid-f", token_), nullptr);
    EXPECT_EQ(lookup_exdev("uuid-f"), nullptr);
}

}  // namespace
