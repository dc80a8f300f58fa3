// LAN discovery against the emulated devices, each test in a network namespace of its own.
#include "discovery.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/sleeper.h"
#include "netns_util.h"
#include "runtime/dev_manage.h"
#include "runtime/qvad_client.h"

namespace {

std::mutex g_mu;
std::condition_variable g_cv;
std::vector<qv_dev_detail> g_added, g_removed;

void on_added(const qv_dev_detail *d) {
    std::lock_guard<std::mutex> l(g_mu);
    g_added.push_back(*d);
    g_cv.notify_all();
}
void on_removed(const qv_dev_detail *d) {
    std::lock_guard<std::mutex> l(g_mu);
    g_removed.push_back(*d);
    g_cv.notify_all();
}

template <class Pred>
bool wait_for(Pred p, int seconds = 20) {
    std::unique_lock<std::mutex> l(g_mu);
    return g_cv.wait_for(l, std::chrono::seconds(seconds), p);
}

size_t count_dir(const char *path) {
    size_t n = 0;
    DIR *d = opendir(path);
    while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

emu::DiscoveryDevice device(int n) {
    emu::DiscoveryDevice d;
    d.ip = "127.0.0." + std::to_string(n);
    d.device_id = "uuid-" + std::to_string(n);
    d.name = "Den " + std::to_string(n);
    return d;
}

class Discovery : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why = qvtest::enter_private_netns();
        if (!why.empty()) GTEST_SKIP() << "needs a network namespace of its own (root): " << why;
        g_added.clear();
        g_removed.clear();
        qv_init_dev_list();
        ctx_ = ppc_router_task_new();
        std::snprintf(ctx_->gateway, sizeof ctx_->gateway, "127.0.0.1");
        ctx_->dev_add_cb = on_added;
        ctx_->dev_del_cb = on_removed;
    }
    void TearDown() override {
        if (ctx_ == nullptr) return;
        qvadc_service_stop(ctx_);
        qv_free_dev_list();
        ppc_router_task_free(ctx_);
        qv_set_time_scale(1.0);
    }
    ppc_router_task *ctx_ = nullptr;
};

TEST_F(Discovery, DevicesAreAddedOnceAndASilentOneIsRemovedWithItsAddressOnly) {
    qv_set_time_scale(0.1);  // 50 ms rounds
    emu::DiscoveryLan lan;
    for (int n = 2; n <= 4; ++n) lan.add(device(n));
    emu::DiscoveryDevice other = device(5);
    other.type = 2;  // not ours: listed, never added
    lan.add(other);
    ASSERT_TRUE(lan.start());
    ASSERT_EQ(qvadc_service_start(ctx_), 0);
    ASSERT_TRUE(wait_for([] { return g_added.size() >= 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // several more rounds
    unsigned n = 0;
    qv_dev_detail **snap = qv_get_dev_detail_list(&n);
    ASSERT_EQ(n, 3u);
    {
        std::lock_guard<std::mutex> l(g_mu);
        ASSERT_EQ(g_added.size(), 3u);
        for (const qv_dev_detail &d : g_added) {
            std::string suffix = std::string(d.ip).substr(8);
            EXPECT_EQ(std::string(d.dev_uuid), "uuid-" + suffix);
            EXPECT_EQ(std::string(d.device_name), "Den " + suffix);
            EXPECT_STREQ(d.mac, "00:11:22:33:44:55");
            EXPECT_STREQ(d.p2p_uuid, "P2P-UID");
            EXPECT_STREQ(d.type_name, "QUILLET");
            EXPECT_EQ(d.port, 13111);
        }
    }
    EXPECT_EQ(is_dev_exist("127.0.0.5"), 1);
    EXPECT_GT(lan.received(1027), 0);

    lan.set_silent(1, true);  // 127.0.0.3
    ASSERT_TRUE(wait_for([] { return !g_removed.empty(); }));
    {
        std::lock_guard<std::mutex> l(g_mu);
        ASSERT_EQ(g_removed.size(), 1u);
        qv_dev_detail only{};
        std::snprintf(only.ip, sizeof only.ip, "127.0.0.3");
        EXPECT_EQ(std::memcmp(&g_removed[0], &only, sizeof only), 0);
    }
    EXPECT_STREQ(snap[1]->device_name, "Den 3");  // the earlier snapshot is a copy
    qv_xfree(snap);
    snap = qv_get_dev_detail_list(&n);
    EXPECT_EQ(n, 2u);
    qv_xfree(snap);
}

TEST_F(Discovery, AStartThatFailsAfterItsListenerLeavesNothingBehind) {
    size_t tasks = count_dir("/proc/self/task"), fds = count_dir("/proc/self/fd");
    qvadc_fail_next_start_for_test();
    EXPECT_EQ(qvadc_service_start(ctx_), -1);
    EXPECT_EQ(count_dir("/proc/self/task"), tasks);
    EXPECT_EQ(count_dir("/proc/self/fd"), fds);
    EXPECT_EQ(qvadc_service_start(ctx_), 0);  // the port is free again
}

TEST_F(Discovery, StartStopCyclesReturnToBaseline) {
    emu::DiscoveryLan lan;
    lan.add(device(2));
    ASSERT_TRUE(lan.start());
    size_t tasks = count_dir("/proc/self/task"), fds = count_dir("/proc/self/fd");
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(qvadc_service_start(ctx_), 0);
        qvadc_service_stop(ctx_);
    }
    EXPECT_EQ(count_dir("/proc/self/task"), tasks);
    EXPECT_EQ(count_dir("/proc/self/fd"), fds);
}

TEST_F(Discovery, ForgedAnswersNeverChangeAnotherAddress) {
    qv_set_time_scale(0.1);
    emu::DiscoveryLan lan;
    lan.add(device(2));
    ASSERT_TRUE(lan.start());
    ASSERT_EQ(qvadc_service_start(ctx_), 0);
    ASSERT_TRUE(wait_for([] { return g_added.size() >= 1; }));
    // A peer at .9 claims .2's id, and sends an oversized detail.
    std::string forged =
        R"({"header":{"cmd":1025},"data":[{"device_id":"uuid-2","device_name":"evil","type":3}]})";
    ASSERT_TRUE(emu::DiscoveryLan::send_raw("127.0.0.9", "127.0.0.1", R"({"header":{"cmd":1024}})"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(emu::DiscoveryLan::send_raw("127.0.0.9", "127.0.0.1", forged));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::lock_guard<std::mutex> l(g_mu);
    ASSERT_EQ(g_added.size(), 1u);
    EXPECT_STREQ(g_added[0].ip, "127.0.0.2");
    EXPECT_STREQ(g_added[0].device_name, "Den 2");
}

}  // namespace
