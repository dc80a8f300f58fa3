// A session with the device emulator over loopback sockets, for tests of the device calls: the emulator
// serves a temp folder, the SDK's pool and cipher point at it, and the test's token is logged in.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "base/qv_log.h"
#include "command/ppc_qv_client.h"
#include "command/qv_net_connect.h"
#include "cross_test_util.h"
#include "device.h"
#include "handlers_admin.h"
#include "handlers_device_user.h"
#include "link/connect_pool.h"
#include "link/qvcrypt.h"

class EmulatorSession : public testing::Test {
  protected:
    // `name` names the temp folder; `admin` installs the administration handlers and has them accept
    // the test's token.
    EmulatorSession(std::string name, std::string auth, bool admin)
        : name_(std::move(name)), auth_(std::move(auth)), admin_(admin) {}

    void SetUp() override {
        qv::set_log_enabled(std::getenv("QV_TEST_LOG") != nullptr);
        root_ = testing::TempDir() + name_ + "_" + std::to_string(::getpid());
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_);
        dev_ = std::make_unique<qvemu::Device>(root_, addr_, 0);
        users_ = qvemu::install_device_user_handlers(*dev_);
        users_->update([this](qvemu::DeviceUserState &s) { s.auth_codes.insert(auth_); });
        if (admin_) st_ = qvemu::install_admin_handlers(*dev_);
        ASSERT_TRUE(dev_->start()) << dev_->last_error();
        ASSERT_EQ(qv_crypt_init(), 0);
        qv_connect_pool_set_port(dev_->port());
        qv_set_device_port(dev_->port());
        qv_net_connect_install();
        ASSERT_EQ(init_connect_pool(), 0);
        qv_frame_reset();
        ASSERT_EQ(QV_LoginVantor(addr_, auth_.c_str(), &token_), 0);
        if (st_ != nullptr) {
            std::lock_guard lk(st_->mu);
            st_->issued_tokens = {token_};
        }
    }
    void TearDown() override {
        destory_connect_pool();
        qv_connect_pool_set_port(QV_DEVICE_PORT);
        qv_set_device_port(0);
        dev_->stop();
        for (const auto &v : dev_->violations()) ADD_FAILURE() << v.what << "\n" << v.request;
        qv_crypt_release();
        qv_frame_reset();
        std::filesystem::remove_all(root_);
        qv::set_log_enabled(true);
    }

    // Requests of `cmd` the emulator has received.
    uint64_t sent(int cmd) const {
        const auto c = dev_->counters();
        auto it = c.requests_by_cmd.find(cmd);
        return it == c.requests_by_cmd.end() ? 0 : it->second;
    }

    const std::string name_, auth_;
    const bool admin_;
    const std::string addr_text_ = cross_test::device_addr();
    const char *addr_ = addr_text_.c_str();
    std::string root_;
    std::unique_ptr<qvemu::Device> dev_;
    std::shared_ptr<qvemu::DeviceUserModel> users_;
    std::shared_ptr<qvemu::AdminState> st_;
    int64_t token_ = 0;
};
