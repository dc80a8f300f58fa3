// Service start and stop with discovery, the cache, the pool and messaging, each test in a network namespace
// of its own (discovery's ports are fixed).
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/client_file_task.h"
#include "link/sleeper.h"
#include "messaging/mqtt_testbed_test.h"
#include "netns_util.h"
#include "runtime/ppc_service.h"

namespace {

size_t count_dir(const char *path) {
    size_t n = 0;
    DIR *d = opendir(path);
    while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

class Service : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why = qvtest::enter_private_netns();
        if (!why.empty()) GTEST_SKIP() << "needs a network namespace of its own (root): " << why;
        char tmpl[] = "/tmp/qvsvc-XXXXXX";
        dir_ = mkdtemp(tmpl);
        ppc_set_broker_address("127.0.0.1:1");  // refused unless a test starts a broker
    }
    void TearDown() override {
        ppc_set_broker_address(nullptr);
        qv_set_time_scale(1.0);
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }
    ppc_router_task *start() {
        int32_t err = 0;
        return ppc_start_Service(dir_.c_str(), nullptr, nullptr, nullptr, "127.0.0.1", &err);
    }
    std::string dir_;
};

TEST_F(Service, StartsWithTheBrokerUpAndWithoutIt) {
    ppc_router_task *ctx = start();
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->msgs_context, nullptr);
    EXPECT_EQ(ppc_stop_Service(ctx), 0);

    mqtt_tb::Broker broker;
    ASSERT_TRUE(broker.ready());
    ppc_set_broker_address(("127.0.0.1:" + std::to_string(broker.plain())).c_str());
    ctx = start();
    ASSERT_NE(ctx, nullptr);
    EXPECT_NE(ctx->msgs_context, nullptr);
    EXPECT_EQ(ppc_stop_Service(ctx), 0);
}

TEST_F(Service, ACacheFolderThatCannotOpenLeavesCachingOff) {
    int32_t err = 0;
    ppc_router_task *ctx =
        ppc_start_Service("/proc/self/no-such-folder", nullptr, nullptr, nullptr, "127.0.0.1", &err);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ppc_stop_Service(ctx), 0);
}

TEST_F(Service, HundredCyclesLeaveThreadsAndDescriptorsAtBaseline) {
    ppc_stop_Service(start());  // first-use allocations (loggers, libraries) out of the count
    size_t tasks = count_dir("/proc/self/task"), fds = count_dir("/proc/self/fd");
    for (int i = 0; i < 100; ++i) {
        ppc_router_task *ctx = start();
        ASSERT_NE(ctx, nullptr);
        ASSERT_EQ(ppc_stop_Service(ctx), 0);
    }
    EXPECT_EQ(count_dir("/proc/self/task"), tasks);
    EXPECT_EQ(count_dir("/proc/self/fd"), fds);
}

TEST_F(Service, AStartFailingAfterDiscoveryLeavesNoThread) {
    ppc_stop_Service(start());
    size_t tasks = count_dir("/proc/self/task"), fds = count_dir("/proc/self/fd");
    ppc_fail_next_start_after_discovery_for_test();
    int32_t err = 0;
    EXPECT_EQ(ppc_start_Service(dir_.c_str(), nullptr, nullptr, nullptr, "127.0.0.1", &err), nullptr);
    EXPECT_EQ(err, -1);
    EXPECT_EQ(count_dir("/proc/self/task"), tasks);
    EXPECT_EQ(count_dir("/proc/self/fd"), fds);
    ppc_router_task *ctx = start();  // nothing left holding the ports
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ppc_stop_Service(ctx), 0);
}

TEST_F(Service, AStopDuringCallsRefusesNewOnesCancelsAndWaitsForThem) {
    ppc_router_task *ctx = start();
    ASSERT_NE(ctx, nullptr);
    std::atomic<int> inside{0}, cancelled{0};
    std::vector<std::thread> calls;
    for (int i = 0; i < 8; ++i) {
        calls.emplace_back([&, i] {
            ppc_call_gate in(ctx);
            if (!in.ok()) return;
            client_file_task task{};
            task.id = i;
            task.task_type = PPC_TASK_DOWNLOAD;
            ppc_task_list_add(ctx, &task);
            ++inside;
            while (task.cancel_status.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the exchange winding down
            ++cancelled;
            ppc_task_list_remove(ctx, &task);  // the context is still alive here
        });
    }
    while (inside.load() < 8) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::atomic<bool> late_refused{false};
    std::thread stopper([&] { EXPECT_EQ(ppc_stop_Service(ctx), 0); });
    while (true) {  // once the stop has begun, new calls are refused
        ppc_call_gate late(ctx);
        if (!late.ok()) {
            late_refused = true;
            break;
        }
    }
    stopper.join();
    EXPECT_TRUE(late_refused.load());
    EXPECT_EQ(cancelled.load(), 8);
    for (auto &t : calls) t.join();
}

TEST_F(Service, AStopGivesUpAfterItsBoundWhenACallNeverLeaves) {
    qv_set_time_scale(0.01);  // a 100 ms bound
    ppc_router_task *ctx = start();
    ASSERT_NE(ctx, nullptr);
    auto *stuck = new ppc_call_gate(ctx);
    ASSERT_TRUE(stuck->ok());
    EXPECT_EQ(ppc_stop_Service(ctx), -1);  // nothing freed under the call
    delete stuck;
    EXPECT_EQ(ppc_stop_Service(ctx), 0);
}

}  // namespace
