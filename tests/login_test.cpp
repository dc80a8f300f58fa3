// Device login and logout on a running service, against emulated devices on their own loopback addresses,
// each test in a network namespace of its own (the service's discovery ports are fixed): the token, the
// module list and the push thread of a login; failures; the logout's stop of the push thread and close of the
// pooled connections; and the push channel driving the command cache end to end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/file_list.h"
#include "command/ppc_qv_client.h"
#include "command/ppc_sys_file_client.h"
#include "cross_test_util.h"
#include "device.h"
#include "handlers.h"
#include "handlers_device_user.h"
#include "handlers_fileops.h"
#include "handlers_push.h"
#include "link/connect_pool.h"
#include "link/sleeper.h"
#include "netns_util.h"
#include "push_test_util.h"
#include "runtime/cache_test_util.h"
#include "runtime/ppc_login.h"
#include "runtime/ppc_push.h"
#include "runtime/ppc_service.h"

namespace fs = std::filesystem;

namespace {

using push_test::eventually;
using push_test::peer;
using push_test::Reports;
using push_test::usb;
using qvemu::PushStep;
using Clock = std::chrono::steady_clock;

constexpr char kAuth[] = "auth-login";
constexpr int32_t kShareModule = 3;  // listed with status 1 by the emulator
constexpr int32_t kMcuModule = 2;    // listed with status 0

long long ms_since(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

struct Dev {
    std::string addr;
    std::unique_ptr<qvemu::Device> dev;
    std::shared_ptr<qvemu::DeviceUserModel> users;
    std::shared_ptr<qvemu::PushModel> push;
    uint64_t sent(int cmd) const { return dev->counters().requests_by_cmd[cmd]; }
};

class Login : public testing::Test {
  protected:
    void SetUp() override {
        const std::string why = qvtest::enter_private_netns();
        if (!why.empty()) GTEST_SKIP() << "needs a network namespace of its own (root): " << why;
        qv::set_log_enabled(getenv("QV_TEST_LOG") != nullptr);
        ppc_set_broker_address("127.0.0.1:1");  // refused: the service runs without messaging
        fs::create_directories(root_.path + "/docs");
        std::ofstream(root_.path + "/docs/a.jpg") << "a";
        Reports::get().take();
    }
    void TearDown() override {
        if (ctx_ != nullptr) {
            EXPECT_EQ(ppc_stop_Service(ctx_), 0);
        }
        ctx_ = nullptr;
        for (auto &d : devs_) {
            d->dev->stop();
            for (const auto &v : d->dev->violations())
                ADD_FAILURE() << d->addr << ": " << v.what << "\n" << v.request;
        }
        ppc_set_broker_address(nullptr);
        qv_set_time_scale(1.0);
        qv_frame_reset();
        qv::set_log_enabled(true);
    }
    Dev &device(unsigned index) {
        auto d = std::make_unique<Dev>();
        d->addr = cross_test::device_addr(index);
        d->dev = std::make_unique<qvemu::Device>(root_.path, d->addr);
        d->users = qvemu::install_device_user_handlers(*d->dev);
        d->users->update([index](qvemu::DeviceUserState &s) {
            s.auth_codes.insert(kAuth);
            s.next_token += static_cast<int64_t>(index) << 32;
        });
        d->push = qvemu::install_push_handler(*d->dev);
        d->push->set_keepalive_ms(0);
        EXPECT_TRUE(d->dev->start()) << d->dev->last_error();
        devs_.push_back(std::move(d));
        return *devs_.back();
    }
    void start(ppc_usb_status_cb cb = Reports::cb) {
        int32_t err = 0;
        ctx_ = ppc_start_Service(cache_.path.c_str(), nullptr, nullptr, cb, "127.0.0.1", &err);
        ASSERT_NE(ctx_, nullptr) << err;
    }
    int64_t login(Dev &d) {
        int64_t t = 0;
        EXPECT_EQ(ppc_login_by_authcode(kAuth, d.addr.c_str(), &t, ctx_), 0);
        return t;
    }

    cache_test::TempDir root_, cache_;
    ppc_router_task *ctx_ = nullptr;
    std::vector<std::unique_ptr<Dev>> devs_;
};

TEST_F(Login, GivesATokenTheModuleListAndAPushThread) {
    Dev &d = device(0);
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_EQ(ppc_isModuleSupport(ctx_, kShareModule), -1);  // nothing known before a login
    const int64_t t = login(d);
    EXPECT_NE(t, 0);
    EXPECT_EQ(d.sent(186), 1u);
    EXPECT_EQ(ppc_isModuleSupport(ctx_, kShareModule), 0);
    EXPECT_EQ(ppc_isModuleSupport(ctx_, kMcuModule), -1);
    EXPECT_EQ(reverse_task_count(), 1);
    EXPECT_TRUE(eventually([&] { return d.push->counts(t).exchanges == 1; }));  // 174 with the new token
    EXPECT_EQ(d.users->get().unknown_token_requests, 0u);
}

TEST_F(Login, FailuresHandOutNoTokenAndStartNothing) {
    Dev &d = device(0);
    const std::string nobody = cross_test::device_addr(1);  // nothing listens there: refused
    ASSERT_NO_FATAL_FAILURE(start());
    struct Case {
        const char *what;
        const char *code;
        std::string addr;
        bool with_ctx;
        int result;
    };
    const std::vector<Case> cases = {
        {"wrong code: the device's refusal", "not-the-code", d.addr, true, 10016},
        {"refused connection", kAuth, nobody, true, QV_ERR_LOGIN_UNREACHABLE},
        {"no code", nullptr, d.addr, true, -1},
        {"no context", kAuth, d.addr, false, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        int64_t t = 12345;
        EXPECT_EQ(ppc_login_by_authcode(c.code, c.addr.c_str(), &t, c.with_ctx ? ctx_ : nullptr), c.result);
        EXPECT_EQ(t, 12345);
        EXPECT_EQ(reverse_task_count(), 0);
        EXPECT_EQ(ppc_isModuleSupport(ctx_, kShareModule), -1);
    }
    EXPECT_EQ(d.sent(186), 0u);
    EXPECT_EQ(d.sent(174), 0u);
}

TEST_F(Login, AFailingModuleListStillLogsIn) {
    Dev &d = device(0);
    d.dev->set_handler(186,
                       [](qvemu::Device &, const qvemu::Request &) { return qvemu::error_reply(10001); });
    ASSERT_NO_FATAL_FAILURE(start());
    const int64_t t = login(d);
    EXPECT_EQ(d.sent(186), 1u);
    EXPECT_EQ(ppc_isModuleSupport(ctx_, kShareModule), -1);
    EXPECT_EQ(reverse_task_count(), 1);
    EXPECT_TRUE(eventually([&] { return d.push->counts(t).exchanges == 1; }));
}

TEST_F(Login, APushThreadThatCannotStartFailsTheLogin) {
    Dev &d = device(0);
    ASSERT_NO_FATAL_FAILURE(start());
    reverse_push_fail_next_thread_for_test();
    int64_t t = 0;
    EXPECT_EQ(ppc_login_by_authcode(kAuth, d.addr.c_str(), &t, ctx_), -1);
    EXPECT_NE(t, 0);  // the device accepted: the token is handed out all the same
    EXPECT_EQ(reverse_task_count(), 0);
    qv_cache_peer p;
    EXPECT_FALSE(reverse_cache_peer(t, 0, &p));  // so the cache never serves the session
    EXPECT_EQ(d.sent(174), 0u);
}

TEST_F(Login, AFailedLoginToAnotherDeviceLeavesCommandsGoingToTheFirst) {
    Dev &a = device(0);
    Dev &b = device(1);
    const std::string nobody = cross_test::device_addr(2);
    ASSERT_NO_FATAL_FAILURE(start());
    const int64_t ta = login(a);
    int64_t tb = 0;
    EXPECT_EQ(ppc_login_by_authcode("wrong", b.addr.c_str(), &tb, ctx_), 10016);
    EXPECT_EQ(ppc_login_by_authcode(kAuth, nobody.c_str(), &tb, ctx_), QV_ERR_LOGIN_UNREACHABLE);
    int32_t flags = 0;
    EXPECT_EQ(QV_GetFuncList(&flags, ta), 0);
    EXPECT_EQ(a.sent(15), 1u);
    EXPECT_EQ(b.sent(15), 0u);
    EXPECT_EQ(ppc_isModuleSupport(ctx_, kShareModule), 0);  // the first device's list stays
    EXPECT_EQ(reverse_task_count(), 1);
}

TEST_F(Login, LogoutStopsThePushThreadPromptlyAndClosesThePooledConnections) {
    Dev &d = device(0);
    ASSERT_NO_FATAL_FAILURE(start());
    for (const char *state : {"exchanging", "pausing"}) {
        SCOPED_TRACE(state);
        const int64_t t = login(d);
        ASSERT_TRUE(eventually([&] { return d.push->counts(t).exchanges == 1; }));
        if (std::string(state) == "pausing") {
            d.push->push(t, PushStep::close());
            ASSERT_TRUE(eventually([&] { return d.push->counts(t).closed == 1; }));
        }
        const auto t0 = Clock::now();
        EXPECT_EQ(ppc_logout(t, ctx_), 0);
        const long long took = ms_since(t0);
        std::printf("logout while %s: %lld ms\n", state, took);
        EXPECT_LT(took, 3000);  // generous; a pause alone would be 10 s
        EXPECT_EQ(reverse_task_count(), 0);
        int32_t total = -1, idle = -1;
        ASSERT_EQ(qv_connect_pool_counts(&total, &idle), 0);
        EXPECT_EQ(total, 0);
        EXPECT_EQ(ppc_isModuleSupport(ctx_, kShareModule), -1);
        EXPECT_TRUE(eventually([&] { return d.push->open_rounds() == 0; }));
    }
    EXPECT_EQ(ppc_logout(1, nullptr), -1);
}

// The logout ends what runs for the session and tells the device nothing: a copy in flight ends cancelled,
// the module list and the push thread are gone, the pooled connections closed, and no request (no device
// logout, no connection close) reaches the device.
TEST_F(Login, LogoutCancelsTheRunningTasksAndSendsNothing) {
    Dev &d = device(0);
    qvemu::FileOpOptions slow;
    slow.chunk_interval_ms = 40;
    qvemu::install_fileop_handlers(*d.dev, slow);
    fs::create_directories(root_.path + "/c");
    fs::create_directories(root_.path + "/out");
    for (int i = 0; i < 30; ++i) std::ofstream(root_.path + "/c/f" + std::to_string(i)) << i;
    ASSERT_NO_FATAL_FAILURE(start());
    const int64_t t = login(d);
    ASSERT_TRUE(eventually([&] { return d.push->counts(t).exchanges == 1; }));

    client_file_task *task = client_file_task_new();
    task->id = 61;
    task->token = t;
    task->task_type = PPC_TASK_COPY;
    ASSERT_EQ(ppc_task_list_add(ctx_, task), 0);
    path_info src{"/c", 0, 0}, dst{"/out", 0, 0};
    std::atomic<int> copy{-2};
    std::thread copier([&] { copy = QV_FileCopyCb(0, &src, &dst, task); });
    ASSERT_TRUE(eventually([&] { return task->cur_progress.load() >= 2; }));

    const auto before = d.dev->counters();
    EXPECT_EQ(ppc_logout(t, ctx_), 0);
    copier.join();
    EXPECT_EQ(task->cancel_status.load(), -1);
    EXPECT_EQ(copy.load(), QV_ERR_CANCELLED);
    EXPECT_LT(task->cur_progress.load(), 30);
    EXPECT_EQ(ppc_task_list_remove(ctx_, task), 0);
    client_file_task_free(task);

    EXPECT_EQ(ppc_isModuleSupport(ctx_, kShareModule), -1);
    EXPECT_EQ(reverse_task_count(), 0);
    int32_t total = -1, idle = -1;
    ASSERT_EQ(qv_connect_pool_counts(&total, &idle), 0);
    EXPECT_EQ(total, 0);
    ASSERT_TRUE(eventually([&] { return d.push->open_rounds() == 0; }));
    const auto after = d.dev->counters();
    EXPECT_EQ(after.requests_http + after.requests_framed, before.requests_http + before.requests_framed);
    EXPECT_EQ(d.sent(3), 0u);
}

TEST_F(Login, LoggingOutOneDeviceKeepsTheOtherDevicesUsbStatuses) {
    Dev &a = device(0);
    Dev &b = device(1);
    ASSERT_NO_FATAL_FAILURE(start());
    qv_set_time_scale(0.02);
    const int64_t ta = login(a), tb = login(b);
    a.push->push(ta, PushStep::chunk(1, usb("a-stick", 3), "a"));
    ASSERT_TRUE(eventually([&] { return peer(ta).sign == "a"; }));
    b.push->push(tb, PushStep::chunk(1, usb("b-stick", 3), "b"));
    ASSERT_TRUE(eventually([&] { return peer(tb).sign == "b"; }));
    Reports::get().take();
    EXPECT_EQ(ppc_logout(ta, ctx_), 0);
    // The logout closed every pooled connection, the other device's push connection too: it reconnects
    // after its pause.
    ASSERT_TRUE(eventually([&] { return b.push->counts(tb).exchanges == 2; }));
    b.push->push(tb, PushStep::chunk(1, usb("b-card", 5), "b2"));
    ASSERT_TRUE(eventually([&] { return peer(tb).sign == "b2"; }));
    EXPECT_EQ(Reports::get().take(), std::vector<std::string>{"b-stick bs=1 st=0 v=0 done=3 speed=0 left=0, "
                                                              "b-card bs=1 st=0 v=0 done=5 speed=0 left=0"});
}

TEST_F(Login, ANewUserDatabaseSignRebuildsTheCacheAndTheNextListingMisses) {
    Dev &d = device(0);
    ASSERT_NO_FATAL_FAILURE(start());
    const int64_t t = login(d);
    path_info docs{"/docs", 0, 0};
    auto list = [&] {
        file_list_page *page = nullptr;
        const int ret = QV_FileGetList(&docs, 0, 50, 0, &page, t);
        if (ret == 0) {
            ppc_destory_file_list(page->list);
            std::free(page);
        }
        return ret;
    };
    auto identifier = [&] {
        auto v = cache_test::column(cache_ / "cache.db", "SELECT IDENTIFIER FROM identify_table");
        return v.empty() ? std::string() : v[0];
    };
    auto rows = [&] { return cache_test::column(cache_ / "cache.db", "SELECT KEY FROM cache_table").size(); };

    ASSERT_EQ(list(), 0);  // no sign pushed yet: the cache is not used
    ASSERT_EQ(list(), 0);
    EXPECT_EQ(d.sent(101), 2u);

    d.push->push(t, PushStep::chunk(1, std::nullopt, "sign-1"));
    ASSERT_TRUE(eventually([&] { return peer(t).sign == "sign-1" && peer(t).alive; }));
    ASSERT_EQ(list(), 0);  // a miss, stored
    ASSERT_EQ(list(), 0);  // a hit
    EXPECT_EQ(d.sent(101), 3u);
    EXPECT_NE(identifier().find("sign-1"), std::string::npos) << identifier();
    EXPECT_EQ(rows(), 1u);

    d.push->push(t, PushStep::chunk(1, std::nullopt, "sign-2"));
    ASSERT_TRUE(eventually([&] { return peer(t).sign == "sign-2"; }));
    ASSERT_EQ(list(), 0);
    EXPECT_EQ(d.sent(101), 4u);  // the next listing missed
    EXPECT_NE(identifier().find("sign-2"), std::string::npos) << identifier();
    EXPECT_EQ(rows(), 1u);  // rebuilt: the rows of the old sign are gone, the new reply stored
    ASSERT_EQ(list(), 0);
    EXPECT_EQ(d.sent(101), 4u);

    // A channel that fails stops the cache serving.
    qv_set_time_scale(0.5);
    d.push->push(t, PushStep::close());
    ASSERT_TRUE(eventually([&] { return !peer(t).alive; }));
    ASSERT_EQ(list(), 0);
    EXPECT_EQ(d.sent(101), 5u);
}

TEST_F(Login, AGatewayChangeLeavesThePushThreadOnItsDevice) {
    Dev &d = device(0);
    ASSERT_NO_FATAL_FAILURE(start());
    const int64_t t = login(d);
    ASSERT_TRUE(eventually([&] { return d.push->counts(t).exchanges == 1; }));
    ASSERT_EQ(ppc_set_Gateway(&ctx_, "127.255.255.255"), 0);
    EXPECT_EQ(reverse_device_ip_change(nullptr), -1);
    qv_set_time_scale(0.02);
    d.push->push(t, PushStep::close());  // the exchange fails; the thread reconnects to its own device
    EXPECT_TRUE(eventually([&] { return d.push->counts(t).exchanges == 2; }));
    d.push->push(t, PushStep::chunk(1, std::nullopt, "after"));
    EXPECT_TRUE(eventually([&] { return peer(t).sign == "after"; }));
}

std::atomic<ppc_router_task *> g_ctx{nullptr};
std::atomic<int64_t> g_token{0};
std::atomic<int> g_logout{-2};

void logout_from_callback(const qv_usb_status *, int) {
    g_logout = ppc_logout(g_token.load(), g_ctx.load());
}

TEST_F(Login, ALogoutFromTheUsbCallbackDoesNotWaitForItsOwnThread) {
    Dev &d = device(0);
    ASSERT_NO_FATAL_FAILURE(start(logout_from_callback));
    g_ctx = ctx_;
    const int64_t t = login(d);
    g_token = t;
    d.push->push(t, PushStep::chunk(1, usb("stick", 3)));
    ASSERT_TRUE(eventually([] { return g_logout.load() != -2; }));
    EXPECT_EQ(g_logout.load(), 0);
    EXPECT_EQ(reverse_task_count(), 0);
    EXPECT_TRUE(eventually([&] { return d.push->open_rounds() == 0; }));
    g_ctx = nullptr;
}

TEST_F(Login, AStopEndsEveryPushThreadPromptly) {
    Dev &a = device(0);
    Dev &b = device(1);
    ASSERT_NO_FATAL_FAILURE(start());
    const int64_t ta = login(a), tb = login(b);
    ASSERT_TRUE(
        eventually([&] { return a.push->counts(ta).exchanges == 1 && b.push->counts(tb).exchanges == 1; }));
    b.push->push(tb, PushStep::close());  // that one pauses
    ASSERT_TRUE(eventually([&] { return b.push->counts(tb).closed == 1; }));
    const auto t0 = Clock::now();
    EXPECT_EQ(ppc_stop_Service(ctx_), 0);
    ctx_ = nullptr;
    const long long took = ms_since(t0);
    std::printf("stop with two push threads: %lld ms\n", took);
    EXPECT_LT(took, 5000);
    EXPECT_EQ(reverse_task_count(), 0);
    EXPECT_TRUE(eventually([&] { return a.push->open_rounds() == 0; }));
    int64_t t = 0;
    EXPECT_EQ(ppc_login_by_authcode(kAuth, a.addr.c_str(), &t, ctx_), -1);  // no service
}

}  // namespace
