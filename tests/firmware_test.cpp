// The firmware update, its follow-up, the device-status step and the log download on a running service,
// against an emulated device with a firmware script and a real mosquitto (the device publishes with
// mosquitto_pub). Waits run at a shared time scale (client and device), so 2 s passes take 40 ms. Each test
// runs in a network namespace of its own (the service's discovery ports are fixed).
#include "firmware.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "command/frame_state.h"
#include "command/ppc_qv_client.h"
#include "cross_test_util.h"
#include "device.h"
#include "handlers_admin.h"
#include "link/sleeper.h"
#include "messaging/mqtt_testbed_test.h"
#include "netns_util.h"
#include "runtime/cache_test_util.h"
#include "runtime/ota_update.h"
#include "runtime/ppc_firmware.h"
#include "runtime/ppc_service.h"

namespace fs = std::filesystem;

namespace {

constexpr double kScale = 0.02;  // a 2 s pass takes 40 ms
constexpr int64_t kToken = 0x1234567;

// What the progress callbacks saw, with the device's count of 165 requests at that moment.
struct Sample {
    int32_t status;
    int64_t cur, total;
    int polls;
};

struct Recorder {
    std::mutex mu;
    std::vector<Sample> samples;
    std::vector<std::vector<int>> listens;  // ota_listen's three ints
    std::shared_ptr<qvemu::FirmwareState> fw;
    std::vector<Sample> get() {
        std::lock_guard<std::mutex> l(mu);
        return samples;
    }
    bool saw_cur(int64_t v) {
        std::lock_guard<std::mutex> l(mu);
        for (const auto &s : samples)
            if (s.cur == v) return true;
        for (const auto &s : listens)
            if (s[0] == v) return true;
        return false;
    }
};
Recorder g_rec;

void on_progress(client_file_task *task) {
    const int polls = g_rec.fw ? g_rec.fw->counts().status_165 : 0;
    std::lock_guard<std::mutex> l(g_rec.mu);
    g_rec.samples.push_back(
        {task->status.load(), task->cur_progress.load(), task->total_progress.load(), polls});
}

void on_listen(int process, int total, int zero) {
    std::lock_guard<std::mutex> l(g_rec.mu);
    g_rec.listens.push_back({process, total, zero});
}

// Clients that logged in as the devices' user (the client's contexts, not mosquitto_pub), by id.
std::set<std::string> client_ids(const mqtt_tb::Broker &b) {
    std::set<std::string> ids;
    std::istringstream in(b.log());
    for (std::string l; std::getline(in, l);) {
        const size_t at = l.find("New client connected");
        const size_t as = l.find(" as ", at == std::string::npos ? 0 : at);
        if (at == std::string::npos || as == std::string::npos || l.find("u'devices'") == std::string::npos)
            continue;
        std::string id = l.substr(as + 4);
        id = id.substr(0, id.find(' '));
        ids.insert(id);
    }
    return ids;
}

bool non_decreasing(const std::vector<Sample> &s) {
    for (size_t i = 1; i < s.size(); ++i)
        if (s[i].cur < s[i - 1].cur) return false;
    return true;
}

class Firmware : public testing::Test {
  protected:
    void SetUp() override {
        const std::string why = qvtest::enter_private_netns();
        if (!why.empty()) GTEST_SKIP() << "needs a network namespace of its own (root): " << why;
        qv::set_log_enabled(getenv("QV_TEST_LOG") != nullptr);
        qv_set_time_scale(kScale);
        broker_ = std::make_unique<mqtt_tb::Broker>();
        ASSERT_TRUE(broker_->ready());
        ppc_set_broker_address(mqtt_tb::plain_uri(broker_->plain()).c_str());
        {
            std::lock_guard<std::mutex> l(g_rec.mu);
            g_rec.samples.clear();
            g_rec.listens.clear();
        }
        int32_t err = 0;
        ctx_ = ppc_start_Service(cache_.path.c_str(), nullptr, nullptr, nullptr, "127.0.0.1", &err);
        ASSERT_NE(ctx_, nullptr) << err;
        services_ids_ = client_ids(*broker_).size();
    }
    void TearDown() override {
        if (ctx_ != nullptr) {
            EXPECT_EQ(ppc_stop_Service(ctx_), 0);
        }
        ctx_ = nullptr;
        for (auto &d : devs_) {
            d.dev->stop();
            for (const auto &v : d.dev->violations()) {
                ADD_FAILURE() << d.addr << ": " << v.what << "\n" << v.request;
            }
            d.fw->stop();
        }
        g_rec.fw = nullptr;
        ppc_set_broker_address(nullptr);
        qv_frame_reset();
        qv_set_time_scale(1.0);
        qv::set_log_enabled(true);
    }

    struct Dev {
        std::string addr;
        std::unique_ptr<qvemu::Device> dev;
        std::shared_ptr<qvemu::FirmwareState> fw;
        std::shared_ptr<qvemu::AdminState> admin;
    };
    Dev &device(const std::function<void(qvemu::FirmwareScript &)> &script = nullptr, unsigned index = 0) {
        Dev d;
        d.addr = cross_test::device_addr(index);
        d.dev = std::make_unique<qvemu::Device>(root_.path, d.addr);
        d.admin = qvemu::install_admin_handlers(*d.dev);
        qvemu::FirmwareScript s;
        s.broker_port = broker_->plain();
        s.time_scale = kScale;
        s.topics = {"ota/" + std::to_string(index) + "/QVDEV0001"};
        if (script) script(s);
        d.fw = std::make_shared<qvemu::FirmwareState>(s);
        qvemu::install_firmware_script(*d.dev, d.fw);
        EXPECT_TRUE(d.dev->start()) << d.dev->last_error();
        devs_.push_back(std::move(d));
        if (index == 0) g_rec.fw = devs_.back().fw;
        return devs_.back();
    }

    std::unique_ptr<mqtt_tb::Broker> broker_;
    cache_test::TempDir root_, cache_;
    ppc_router_task *ctx_ = nullptr;
    size_t services_ids_ = 0;
    std::deque<Dev> devs_;  // references stay valid as devices are added
};

// ---- the update over HTTP ----

struct HttpCase {
    const char *name;
    std::function<void(qvemu::FirmwareScript &)> script;
    int result;
    int32_t status;  // the out status on 0
    int passes;      // waiting passes (callbacks after the reply's chunks); -1: not checked
    size_t listeners;
};

TEST_F(Firmware, UpdateOverHttpEndsOnTheDevicesVerdict) {
    const std::vector<HttpCase> cases = {
        {"no update needed", [](auto &s) { s.status = 0; }, 0, 0, 0, 0},
        {"no reserved text", [](auto &s) { s.topics.clear(); }, 0, 1, 0, 0},
        {"success", [](auto &s) { s.verdict = 1; }, 0, 1, -1, 1},
        {"failure", [](auto &s) { s.verdict = 0; }, QV_ERR_FW_FAILED, 0, -1, 1},
        {"no verdict: ceil(7/2) passes", [](auto &s) { s.delay = 7; }, QV_ERR_FW_TIMEOUT, 0, 4, 1},
        {"a verdict of 2 is no verdict", [](auto &s) { (s.delay = 4, s.verdict = 2); }, QV_ERR_FW_TIMEOUT, 0,
         2, 1},
        {"two reserved tasks, the verdict on the first",
         [](auto &s) {
             (s.topics = {"ota/a/QVDEV0001", "ota/b/QVDEV0001"}, s.verdict = 1);
         },
         0, 1, -1, 2},
        {"task count 0: nothing to listen to",
         [](auto &s) { (s.task_count = 0, s.delay = 4, s.verdict = 1); }, QV_ERR_FW_TIMEOUT, 0, 2, 0},
        {"an update already running is not sent again", [](auto &s) { s.http_error = 10285; }, 10285, 0, 0,
         0},
        {"a whole reply carries no reserved text", [](auto &s) { (s.whole_reply = true, s.verdict = 1); }, 0,
         1, 0, 0},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const HttpCase &c = cases[i];
        SCOPED_TRACE(c.name);
        Dev &d = device(c.script, static_cast<unsigned>(i));
        g_rec.fw = d.fw;
        {
            std::lock_guard<std::mutex> l(g_rec.mu);
            g_rec.samples.clear();
        }
        const size_t ids_before = client_ids(*broker_).size();
        int32_t status = -7;
        const int ret =
            qvota_update(100 + static_cast<uint32_t>(i), on_progress, d.addr.c_str(), &status, ctx_, kToken);
        EXPECT_EQ(ret, c.result);
        if (ret == 0) {
            EXPECT_EQ(status, c.status);
        }
        const auto samples = g_rec.get();
        const auto script = d.fw->script();
        const size_t chunks = script.http_error != 0 || script.whole_reply ? 0
                              : script.status == 0                         ? 1
                                                                           : 1 + script.progress.size();
        const size_t finished = c.result == 0 && c.listeners > 0 ? 1 : 0;
        if (c.passes >= 0) {
            EXPECT_EQ(samples.size(), chunks + c.passes + finished);
        }
        if (finished) {
            ASSERT_FALSE(samples.empty());
            EXPECT_EQ(samples.back().status, 2);
            EXPECT_EQ(samples.back().cur, 100);
        }
        EXPECT_TRUE(non_decreasing(samples));
        EXPECT_EQ(d.fw->counts().http_163, 1);
        EXPECT_EQ(d.fw->counts().framed_163, 0);  // no failure here is a transport failure
        // One messaging connection per reserved task, each with an id of its own.
        EXPECT_TRUE(
            mqtt_tb::wait_for([&] { return client_ids(*broker_).size() == ids_before + c.listeners; }, 5000));
        EXPECT_EQ(ppc_cancel_task(ctx_, 0, PPC_TASK_ALL, 0), 0);
        EXPECT_EQ(ctx_->task_count, 0);
        d.fw->stop();
    }
}

TEST_F(Firmware, SocketPathAfterAnHttpTransportFailurePollsTheVersionFrom91) {
    struct Case {
        std::vector<int> sent;      // the device's progress frames
        std::vector<int64_t> read;  // the ones read: up to the first at 65 or more
    };
    const std::vector<Case> cases = {{{20, 40, 65, 80}, {20, 40, 65}}, {{20, 70, 90}, {20, 70}}};
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case &k = cases[i];
        SCOPED_TRACE(k.read.back());
        Dev &d = device(
            [&](auto &s) {
                s.http_fails = true;  // 163 and 165 over HTTP: the framed socket serves both
                s.progress = k.sent;
                s.delay = 100;
                s.installed_after_polls = 2;  // the third poll finds the target running
            },
            static_cast<unsigned>(i));
        g_rec.fw = d.fw;
        {
            std::lock_guard<std::mutex> l(g_rec.mu);
            g_rec.samples.clear();
        }
        int32_t status = -7;
        ASSERT_EQ(qvota_update(7, on_progress, d.addr.c_str(), &status, ctx_, kToken), 0);
        EXPECT_EQ(status, 1);
        const auto c = d.fw->counts();
        EXPECT_EQ(c.http_163, 1);
        EXPECT_EQ(c.framed_163, 1);
        EXPECT_EQ(c.status_165, 3);
        const auto samples = g_rec.get();
        ASSERT_GT(samples.size(), k.read.size());
        // The framed progress, with status 1, then the first pass shows the figure read last.
        for (size_t j = 0; j < k.read.size(); ++j) {
            EXPECT_EQ(samples[j].status, 1);
            EXPECT_EQ(samples[j].cur, k.read[j]);
        }
        EXPECT_EQ(samples[k.read.size()].cur, k.read.back());
        for (const auto &s : samples) {
            if (s.cur < 91) {
                EXPECT_EQ(s.polls, 0) << s.cur;  // no poll below 91
            }
        }
        EXPECT_TRUE(std::any_of(samples.begin(), samples.end(),
                                [](const Sample &s) { return s.cur == 91 && s.polls == 1; }));
        EXPECT_TRUE(non_decreasing(samples));
        EXPECT_EQ(samples.back().status, 2);
        EXPECT_EQ(samples.back().cur, 100);
        EXPECT_EQ(ctx_->task_count, 0);
        d.fw->stop();
    }
}

TEST_F(Firmware, AnUnreadableFrameEndsTheSocketReadingAndTheVerdictStillCounts) {
    Dev &d = device([](auto &s) {
        s.http_fails = true;
        s.progress = {20, 40};  // never 65: the reading ends on the frame that cannot be read
        s.framed_bad_frame = true;
        s.verdict = 1;
    });
    int32_t status = -7;
    EXPECT_EQ(qvota_update(9, on_progress, d.addr.c_str(), &status, ctx_, kToken), 0);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(d.fw->counts().framed_163, 1);
    const auto samples = g_rec.get();
    ASSERT_FALSE(samples.empty());
    EXPECT_EQ(samples.back().status, 2);
}

TEST_F(Firmware, AReplyCutAfterTheDeviceAcceptedIsNotSentAgain) {
    Dev &d = device([](auto &s) { (s.http_cut_after_status = true, s.verdict = 1); });
    int32_t status = -7;
    const int ret = qvota_update(8, on_progress, d.addr.c_str(), &status, ctx_, kToken);
    EXPECT_NE(ret, 0);
    EXPECT_EQ(status, -7);
    EXPECT_EQ(d.fw->counts().http_163, 1);
    EXPECT_EQ(d.fw->counts().framed_163, 0);
    EXPECT_EQ(ctx_->task_count, 0);
}

TEST_F(Firmware, ACancelEndsTheWaitOfAnUnboundedDelay) {
    Dev &d = device([](auto &s) { s.delay = 100000000; });  // clamped to an hour: a cancel must end it
    std::atomic<int> ret{1};
    std::thread t([&] {
        int32_t status = 0;
        ret = qvota_update(41, on_progress, d.addr.c_str(), &status, ctx_, kToken);
    });
    EXPECT_TRUE(mqtt_tb::wait_for([] { return g_rec.get().size() >= 6; }, 20000));  // waiting passes run
    EXPECT_EQ(ppc_cancel_task(ctx_, 1, PPC_TASK_FW_UPDATE, 41), 0);
    t.join();
    EXPECT_EQ(ret.load(), QV_ERR_CANCELLED);
    EXPECT_EQ(ctx_->task_count, 0);
}

TEST_F(Firmware, AStopEndsAWaitingUpdateAndAFollowUp) {
    Dev &d = device([](auto &s) { (s.delay = 3600, s.follow_messages = {qvemu::progress_services(2, 40)}); });
    std::atomic<int> update_ret{1}, follow_ret{1};
    std::thread update([&] {
        int32_t status = 0;
        update_ret = qvota_update(42, on_progress, d.addr.c_str(), &status, ctx_, kToken);
    });
    std::thread follow([&] { follow_ret = ota_listen(on_listen, d.addr.c_str(), ctx_); });
    EXPECT_TRUE(mqtt_tb::wait_for(
        [] {
            std::lock_guard<std::mutex> l(g_rec.mu);
            return g_rec.samples.size() >= 6 && g_rec.listens.size() >= 2;
        },
        20000));
    EXPECT_EQ(ppc_stop_Service(ctx_), 0);
    ctx_ = nullptr;
    update.join();
    follow.join();
    EXPECT_EQ(update_ret.load(), QV_ERR_CANCELLED);
    EXPECT_EQ(follow_ret.load(), QV_ERR_CANCELLED);
}

TEST_F(Firmware, TwoDevicesUpdatingAtOnceEachGetTheirOwnVerdict) {
    // Two broker connections opened at once take the messaging library up to ~2 s (not scaled), so the
    // devices give the verdict a window (1,500 s scaled: 30 s) that outlasts them.
    Dev &a = device([](auto &s) { (s.verdict = 0, s.chunk_interval_ms = 500, s.delay = 1500); }, 0);
    Dev &b = device([](auto &s) { (s.verdict = 1, s.chunk_interval_ms = 500, s.delay = 1500); }, 1);
    int ra = -7, rb = -7;
    std::thread ta([&] {
        int32_t st = 0;
        ra = qvota_update(1, nullptr, a.addr.c_str(), &st, ctx_, kToken);
    });
    std::thread tb([&] {
        int32_t st = 0;
        rb = qvota_update(2, nullptr, b.addr.c_str(), &st, ctx_, kToken);
    });
    ta.join();
    tb.join();
    EXPECT_EQ(ra, QV_ERR_FW_FAILED);
    EXPECT_EQ(rb, 0);
}

// ---- the follow-up ----

struct FollowCase {
    const char *name;
    std::function<void(qvemu::FirmwareScript &)> script;
    int result;
    bool released_after_40;  // the verdict is held until the callback showed 40
    size_t listeners;
};

TEST_F(Firmware, FollowUpOfARunningUpdate) {
    using qvemu::progress_services;
    const std::vector<FollowCase> cases = {
        {"no update running", [](auto &s) { s.ota_status = 0; }, 0, false, 0},
        {"progress, then success",
         [](auto &s) { (s.follow_messages = {progress_services(2, 40)}, s.follow_verdict = 1); }, 0, true, 1},
        {"progress, then failure",
         [](auto &s) { (s.follow_messages = {progress_services(2, 40)}, s.follow_verdict = 0); },
         QV_ERR_FW_FAILED, true, 1},
        {"progress only: no verdict", [](auto &s) { s.follow_messages = {progress_services(2, 40)}; },
         QV_ERR_FW_TIMEOUT, false, 1},
        {"a device id that is no topic segment", [](auto &s) { s.device_id = "QV/+"; }, QV_ERR_ARG, false, 0},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const FollowCase &c = cases[i];
        SCOPED_TRACE(c.name);
        Dev &d = device(
            [&](qvemu::FirmwareScript &s) {
                s.ota_process = 10;
                c.script(s);
                s.follow_release = !c.released_after_40;
            },
            static_cast<unsigned>(i));
        {
            std::lock_guard<std::mutex> l(g_rec.mu);
            g_rec.listens.clear();
        }
        const size_t ids_before = client_ids(*broker_).size();
        std::atomic<int> ret{1};
        std::thread t([&] { ret = ota_listen(on_listen, d.addr.c_str(), ctx_); });
        if (c.released_after_40) {
            EXPECT_TRUE(mqtt_tb::wait_for([] { return g_rec.saw_cur(40); }, 20000));
            d.fw->update([](auto &s) { s.follow_release = true; });
        }
        t.join();
        EXPECT_EQ(ret.load(), c.result);
        std::vector<std::vector<int>> seen;
        {
            std::lock_guard<std::mutex> l(g_rec.mu);
            seen = g_rec.listens;
        }
        if (c.result == 0 && c.listeners > 0) {
            ASSERT_FALSE(seen.empty());
            EXPECT_EQ(seen.back(), (std::vector<int>{100, 100, 0}));
        }
        if (c.listeners == 0) {
            EXPECT_TRUE(seen.empty());
        }
        if (c.result == QV_ERR_FW_TIMEOUT) {
            EXPECT_GE(seen.size(), 50u);
        }
        for (size_t k = 1; k < seen.size(); ++k) {
            EXPECT_GE(seen[k][0], seen[k - 1][0]);
        }
        EXPECT_TRUE(
            mqtt_tb::wait_for([&] { return client_ids(*broker_).size() == ids_before + c.listeners; }, 5000));
        EXPECT_EQ(ctx_->task_count, 0);
        d.fw->stop();
    }
}

// ---- the device-status step and the log ----

TEST_F(Firmware, DeviceExecActsOnTheDeviceStatus) {
    struct Case {
        int32_t dev_status;
        int http_163, status_165;
        std::vector<int> ops;  // device operations (173) received
    };
    const std::vector<Case> cases = {{0, 0, 0, {}}, {1000, 1, 0, {}}, {1001, 0, 2, {}}, {3, 0, 0, {3}}};
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.dev_status);
        Dev &d = device(
            [](auto &s) {
                s.verdict = 1;
                s.follow_verdict = 1;
            },
            static_cast<unsigned>(i));
        {
            std::lock_guard<std::mutex> l(g_rec.mu);
            g_rec.samples.clear();
        }
        EXPECT_EQ(ppc_router_DeviceExec(9, c.dev_status, d.addr.c_str(), kToken, on_progress, ctx_), 0);
        EXPECT_EQ(d.fw->counts().http_163, c.http_163);
        EXPECT_EQ(d.fw->counts().status_165, c.status_165);
        {
            std::lock_guard<std::mutex> l(d.admin->mu);
            EXPECT_EQ(d.admin->exec_ops, c.ops);
        }
        const auto samples = g_rec.get();
        if (c.dev_status == 0) {
            EXPECT_TRUE(samples.empty());
        }
        if (c.dev_status != 0) {
            ASSERT_FALSE(samples.empty());
            EXPECT_EQ(samples.back().cur, 100);
        }
        if (c.dev_status == 3) {
            std::vector<int64_t> curs;
            for (const auto &s : samples) curs.push_back(s.cur);
            EXPECT_EQ(curs, (std::vector<int64_t>{10, 50, 100, 100}));
            EXPECT_EQ(samples.back().status, 2);
        }
        EXPECT_EQ(ctx_->task_count, 0);
        d.fw->stop();
    }
}

TEST_F(Firmware, LogDownloadWritesTheDevicesLog) {
    Dev &d = device();
    qv_frame_set_current_device(d.addr.c_str());
    const std::string log = "boot ok\n" + cross_test::bytes_of(100000, 3);
    {
        std::lock_guard<std::mutex> l(d.admin->mu);
        d.admin->logs[2] = log;
    }
    const std::string path = cache_ / "device.log";
    ASSERT_EQ(ppc_log_file_download(5, path.c_str(), 2, kToken, on_progress, ctx_), 0);
    std::ifstream in(path, std::ios::binary);
    std::stringstream got;
    got << in.rdbuf();
    EXPECT_EQ(got.str(), log);
    const auto samples = g_rec.get();
    ASSERT_FALSE(samples.empty());
    EXPECT_EQ(samples.back().cur, static_cast<int64_t>(log.size()));
    // A log type the device has not: its error, and no file left behind.
    const std::string none = cache_ / "none.log";
    EXPECT_EQ(ppc_log_file_download(6, none.c_str(), 9, kToken, on_progress, ctx_), 10202);
    EXPECT_FALSE(fs::exists(none));
    EXPECT_EQ(ctx_->task_count, 0);
}

TEST_F(Firmware, EveryEntryNeedsTheRunningService) {
    Dev &d = device([](auto &s) { s.verdict = 1; });
    int32_t status = 0;
    const std::string path = cache_ / "x.log";
    for (ppc_router_task *ctx : {static_cast<ppc_router_task *>(nullptr), ppc_router_task_new()}) {
        EXPECT_EQ(qvota_update(1, on_progress, d.addr.c_str(), &status, ctx, kToken), -1);
        EXPECT_EQ(_qvota_update(1, on_progress, d.addr.c_str(), &status, ctx, kToken), -1);
        EXPECT_EQ(ota_listen(on_listen, d.addr.c_str(), ctx), -1);
        EXPECT_EQ(ppc_router_DeviceExec(1, 3, d.addr.c_str(), kToken, on_progress, ctx), -1);
        EXPECT_EQ(ppc_log_file_download(1, path.c_str(), 0, kToken, on_progress, ctx), -1);
        ppc_router_task_free(ctx);
    }
    EXPECT_EQ(d.dev->counters().requests_http + d.dev->counters().requests_framed, 0u);
}

}  // namespace
