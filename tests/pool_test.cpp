// The connection pool against emulated devices over loopback: connections opened and closed with command
// 175, reuse within the idle window, the watchdog's close, failed exchanges, two devices on one port,
// destroy.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "base/qv_log.h"
#include "command/qv_net_connect.h"
#include "cross_test_util.h"
#include "device.h"
#include "link/connect_pool.h"
#include "link/qvcrypt.h"
#include "qv_config.h"

namespace {

bool wait_for(const std::function<bool()> &cond, int ms = 3000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class PoolDevice : public testing::Test {
  protected:
    void SetUp() override {
        qv::set_log_enabled(false);
        ASSERT_EQ(qv_crypt_init(), 0);
        const std::string root = testing::TempDir() + "pool_root_" + std::to_string(::getpid());
        mkdir(root.c_str(), 0700);
        a_ = std::make_unique<qvemu::Device>(root, addr_a_, 0);
        ASSERT_TRUE(a_->start()) << a_->last_error();
        // The pool has one device port: the second device listens on the first one's.
        b_ = std::make_unique<qvemu::Device>(root, addr_b_, a_->port());
        ASSERT_TRUE(b_->start()) << b_->last_error();
        qv_connect_pool_set_port(a_->port());
        qv_net_connect_install();
        ASSERT_EQ(init_connect_pool(), 0);
    }
    void TearDown() override {
        destory_connect_pool();
        qv_connect_pool_set_port(QV_DEVICE_PORT);
        b_->stop();
        a_->stop();
        EXPECT_TRUE(a_->violations().empty()) << a_->violations().front().what;
        EXPECT_TRUE(b_->violations().empty()) << b_->violations().front().what;
        qv_crypt_release();
        qv::set_log_enabled(true);
    }
    const std::string addr_a_text_ = cross_test::device_addr(0), addr_b_text_ = cross_test::device_addr(1);
    const char *addr_a_ = addr_a_text_.c_str(), *addr_b_ = addr_b_text_.c_str();
    std::unique_ptr<qvemu::Device> a_, b_;
};

TEST_F(PoolDevice, SecondBorrowWithinIdleWindowSendsNoNewOpen) {
    sock_handle *h = nullptr;
    ASSERT_EQ(QVConnect(addr_a_, &h, 2000), 0);
    const uint64_t id = h->conn_id;
    h->ret = 0;
    ASSERT_EQ(QVClose(h), 0);
    ASSERT_EQ(QVConnect(addr_a_, &h, 2000), 0);
    EXPECT_EQ(h->conn_id, id);
    auto c = a_->counters();
    EXPECT_EQ(c.connections_accepted, 1u);
    EXPECT_EQ(c.pool_opens, 1u);
    EXPECT_EQ(c.pool_closes, 0u);
    h->ret = 0;
    QVClose(h);
}

TEST_F(PoolDevice, WatchdogClosesIdleConnectionWithCloseRequest) {
    sock_handle *h = nullptr;
    ASSERT_EQ(QVConnect(addr_a_, &h, 2000), 0);
    h->ret = 0;
    QVClose(h);
    EXPECT_TRUE(wait_for([&] { return a_->counters().connections_open == 0; }));
    auto c = a_->counters();
    EXPECT_EQ(c.pool_opens, 1u);
    EXPECT_EQ(c.pool_closes, 1u);
    int32_t total = -1, avail = -1;
    ASSERT_EQ(qv_connect_pool_counts(&total, &avail), 0);
    EXPECT_EQ(total, 0);
    EXPECT_EQ(avail, 0);
}

TEST_F(PoolDevice, FailedExchangeClosesConnectionWithoutRequest) {
    sock_handle *h = nullptr;
    ASSERT_EQ(QVConnect(addr_a_, &h, 2000), 0);
    h->ret = 15000;
    EXPECT_EQ(QVClose(h), 0);
    EXPECT_TRUE(wait_for([&] { return a_->counters().connections_open == 0; }));
    EXPECT_EQ(a_->counters().pool_closes, 0u);
    // The next borrow opens anew.
    ASSERT_EQ(QVConnect(addr_a_, &h, 2000), 0);
    EXPECT_EQ(a_->counters().pool_opens, 2u);
    QVClose(h);
}

TEST_F(PoolDevice, IdleConnectionIsNeverHandedToAnotherDevice) {
    sock_handle *h = nullptr;
    ASSERT_EQ(QVConnect(addr_a_, &h, 2000), 0);
    h->ret = 0;
    QVClose(h);
    ASSERT_EQ(QVConnect(addr_b_, &h, 2000), 0);
    EXPECT_EQ(b_->counters().pool_opens, 1u);
    EXPECT_EQ(b_->counters().connections_accepted, 1u);
    EXPECT_EQ(a_->counters().connections_accepted, 1u);
    h->ret = 0;
    QVClose(h);
}

TEST_F(PoolDevice, RefusedConnectAndOverlongAddress) {
    sock_handle *h = nullptr;
    // Nothing listens on a third address: the open fails with the network code and nothing is pooled.
    EXPECT_EQ(QVConnect(cross_test::device_addr(2).c_str(), &h, 500), 15000);
    EXPECT_EQ(h, nullptr);
    const std::string longer = std::string(addr_a_) + std::string(33 - std::strlen(addr_a_), '0');
    EXPECT_EQ(QVConnect(longer.c_str(), &h, 500), -1);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(a_->counters().connections_accepted, 0u);
}

TEST_F(PoolDevice, DestroyClosesIdleAndBorrowedConnections) {
    sock_handle *idle = nullptr, *busy = nullptr;
    ASSERT_EQ(QVConnect(addr_a_, &idle, 2000), 0);
    ASSERT_EQ(QVConnect(addr_a_, &busy, 2000), 0);
    idle->ret = 0;
    QVClose(idle);
    EXPECT_EQ(destory_connect_pool(), 0);
    EXPECT_TRUE(wait_for([&] { return a_->counters().connections_open == 0; }));
    EXPECT_EQ(a_->counters().pool_opens, 2u);
    EXPECT_EQ(QVClose(busy), -1);
}

}  // namespace
