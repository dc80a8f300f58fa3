// The reverse push channel against the device emulator: per logged-in device a thread holding a 174
// exchange, what the pushed chunks do to the USB status callback and to the command cache's view of the
// session, reconnects, and how promptly a removal stops the thread in every state it can be in.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/client_file_task.h"
#include "base/qv_log.h"
#include "command/ppc_qv_client.h"
#include "command/qv_net_connect.h"
#include "cross_test_util.h"
#include "device.h"
#include "handlers_device_user.h"
#include "handlers_push.h"
#include "link/connect_pool.h"
#include "link/qvcrypt.h"
#include "link/sleeper.h"
#include "push_test_util.h"
#include "runtime/ppc_push.h"

namespace {

using push_test::eventually;
using push_test::peer;
using push_test::Reports;
using push_test::usb;
using qvemu::PushStep;
using Clock = std::chrono::steady_clock;

constexpr char kAuth[] = "auth-push";

struct Dev {
    std::string addr;
    std::unique_ptr<qvemu::Device> dev;
    std::shared_ptr<qvemu::DeviceUserModel> users;
    std::shared_ptr<qvemu::PushModel> push;
};

long long ms_since(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// A peer that never completes a connect: a listener with a backlog of 0 whose queue is full, so further
// connects stay in progress until their time-out.
class BlackHole {
  public:
    BlackHole(const std::string &addr, uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        ok_ =
            ::bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && ::listen(listener_, 0) == 0;
        for (int i = 0; ok_ && i < 2; ++i) {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
            parked_.push_back(fd);
        }
    }
    ~BlackHole() {
        for (int fd : parked_) ::close(fd);
        ::close(listener_);
    }
    bool ok() const { return ok_; }

  private:
    int listener_ = -1;
    bool ok_ = false;
    std::vector<int> parked_;
};

class Push : public testing::Test {
  protected:
    void SetUp() override {
        qv::set_log_enabled(false);
        ASSERT_EQ(qv_crypt_init(), 0);
        qv_net_connect_install();
        ASSERT_EQ(init_connect_pool(), 0);
        qv_frame_reset();
        ASSERT_EQ(reverse_task_init(), 0);
        Reports::get().take();
    }
    void TearDown() override {
        reverse_task_destroy();
        reverse_push_set_chunk_wait_for_test(0);
        qv_set_time_scale(1.0);
        destory_connect_pool();
        qv_set_device_port(0);
        qv_connect_pool_set_port(0);
        for (auto &d : devs_) {
            d->dev->stop();
            for (const auto &v : d->dev->violations())
                ADD_FAILURE() << d->addr << ": " << v.what << "\n" << v.request;
        }
        qv_crypt_release();
        qv_frame_reset();
        qv::set_log_enabled(true);
    }

    // Device `index` on its own address; every device listens on the first one's port (one port seam).
    Dev &device(unsigned index) {
        auto d = std::make_unique<Dev>();
        d->addr = cross_test::device_addr(index);
        d->dev = std::make_unique<qvemu::Device>("/tmp", d->addr, port_);
        d->users = qvemu::install_device_user_handlers(*d->dev);
        // Tokens of different devices never coincide here: the push list is keyed by token.
        d->users->update([index](qvemu::DeviceUserState &s) {
            s.auth_codes.insert(kAuth);
            s.next_token += static_cast<int64_t>(index) << 32;
        });
        d->push = qvemu::install_push_handler(*d->dev);
        d->push->set_keepalive_ms(0);
        EXPECT_TRUE(d->dev->start()) << d->dev->last_error();
        if (port_ == 0) {
            port_ = d->dev->port();
            qv_set_device_port(port_);
            qv_connect_pool_set_port(port_);
        }
        devs_.push_back(std::move(d));
        return *devs_.back();
    }
    int64_t login(Dev &d) {
        int64_t t = 0;
        EXPECT_EQ(QV_LoginVantor(d.addr.c_str(), kAuth, &t), 0);
        return t;
    }
    // A session of `d` with its push thread running.
    int64_t session(Dev &d, ppc_usb_status_cb cb = Reports::cb) {
        const int64_t t = login(d);
        EXPECT_EQ(reverse_task_add(t, d.addr.c_str(), cb), 0);
        return t;
    }

    uint16_t port_ = 0;
    std::vector<std::unique_ptr<Dev>> devs_;
};

TEST_F(Push, UsbStatusesAndSignsTravelToTheCallbackAndTheCache) {
    Dev &d = device(0);
    const int64_t t = session(d);
    EXPECT_EQ(reverse_task_count(), 1);
    EXPECT_FALSE(peer(t).alive);  // nothing pushed yet
    d.push->push(t, PushStep::chunk(1, usb("stick", 3), "u1", "r1"));
    ASSERT_TRUE(eventually([&] { return peer(t).sign == "u1"; }));
    EXPECT_TRUE(peer(t).alive);
    EXPECT_EQ(peer(t, 1).sign, "r1");
    EXPECT_EQ(Reports::get().take(), std::vector<std::string>{"stick bs=1 st=0 v=0 done=3 speed=0 left=0"});
    d.push->push(t, PushStep::chunk(0, std::nullopt, "u2"));
    ASSERT_TRUE(eventually([&] { return peer(t).sign == "u2"; }));
    EXPECT_EQ(peer(t, 1).sign, "r1");
    EXPECT_EQ(d.push->counts(t).exchanges, 1u);
    EXPECT_EQ(d.dev->counters().requests_by_cmd[174], 1u);
}

// The chunk handler, chunk by chunk: which reports each chunk gives and which user-database sign it leaves.
TEST_F(Push, ChunkHandlingTable) {
    const std::string ext_over =
        R"(,"tm_start":5,"count_seek":2,"bytes_seek":50,"tm_now":9,"is_scan_over":1)";
    const std::string no_tm_now = R"(,"tm_start":5,"count_seek":2,"bytes_seek":50,"is_scan_over":0)";
    auto rep = [](const char *uuid, int bs, int done, int st = 0) {
        return std::string(uuid) + " bs=" + std::to_string(bs) + " st=" + std::to_string(st) +
               " v=0 done=" + std::to_string(done) + " speed=0 left=0";
    };
    struct Step {
        int status;
        std::optional<std::string> usb, db;
        std::vector<std::string> reports;
        std::string sign;  // the user-database sign after the chunk
    };
    struct Row {
        const char *what;
        std::vector<Step> steps;
    };
    const std::vector<Row> rows = {
        {"a chunk of status 2 waits for the next chunk of status 0 or 1",
         {{2, usb("A", 3), "d1", {}, ""}, {0, std::nullopt, std::nullopt, {rep("A", 1, 3)}, "d1"}}},
        {"a newer text of the same kind replaces a waiting one",
         {{2, usb("A", 3), std::nullopt, {}, ""}, {1, usb("B", 4), std::nullopt, {rep("B", 1, 4)}, ""}}},
        {"a first status that has ended is kept silent; a later different one is reported once",
         {{0, usb("A", 10, 2), std::nullopt, {}, ""},
          {0, usb("A", 9, 2), std::nullopt, {rep("A", 2, 9)}, ""},
          {0, usb("B", 1), std::nullopt, {rep("B", 1, 1)}, ""}}},
        {"without backup_state, all files copied is 2",
         {{0, usb("A", 3), std::nullopt, {rep("A", 1, 3)}, ""},
          {0, usb("A", 10, -1), std::nullopt, {rep("A", 2, 10)}, ""},
          {0, usb("B", 1), std::nullopt, {rep("B", 1, 1)}, ""}}},
        {"status 3 ends the entry whatever backup_state says",
         {{0, usb("A", 3), std::nullopt, {rep("A", 1, 3)}, ""},
          {0, usb("A", 4, 1, 3), std::nullopt, {rep("A", 2, 4, 3)}, ""},
          {0, usb("B", 1), std::nullopt, {rep("B", 1, 1)}, ""}}},
        {"a text that does not parse is never reported, and its chunk's sign still counts",
         {{0, usb("A", 3), std::nullopt, {rep("A", 1, 3)}, ""},
          {0, usb("A", 4, 1, 0, no_tm_now), "d7", {}, "d7"},
          {0, usb("A", 4, 1, 0, no_tm_now), std::nullopt, {}, "d7"}}},
        {"scan over with speed 0: speed 1 and the bytes left as the time left",
         {{0, usb("A", 4, 1, 0, ext_over), std::nullopt, {"A bs=1 st=0 v=1 done=4 speed=1 left=600"}, ""}}},
        {"a lower backup_state keeps the stored record and still reports",
         {{0, usb("A", 3, 1), std::nullopt, {rep("A", 1, 3)}, ""},
          {0, usb("A", 5, 0), std::nullopt, {rep("A", 1, 3)}, ""}}},
        {"the same text again reports nothing; an equal sign changes nothing, a new one replaces it",
         {{0, usb("A", 3), "d1", {rep("A", 1, 3)}, "d1"},
          {0, usb("A", 3), "d1", {}, "d1"},
          {1, std::nullopt, "d2", {}, "d2"}}},
    };
    Dev &d = device(0);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const int64_t t = session(d);  // the thread holds a silent round meanwhile
        client_file_task *k = client_file_task_new();
        k->token = t;
        int n = 0;
        for (const Step &s : row.steps) {
            SCOPED_TRACE("chunk " + std::to_string(++n));
            k->status = s.status;
            if (s.usb) {
                std::free(k->usb_value);
                k->usb_value = strdup(s.usb->c_str());
            }
            if (s.db) {
                std::free(k->userdb_value);
                k->userdb_value = strdup(s.db->c_str());
            }
            connectDeviceListen(k);
            EXPECT_EQ(Reports::get().take(), s.reports);
            EXPECT_EQ(peer(t).sign, s.sign);
        }
        client_file_task_free(k);
        EXPECT_EQ(reverse_task_del(t), 0);
    }
}

TEST_F(Push, AStallBeyondTheWaitReconnectsAfterThePause) {
    qv_set_time_scale(0.05);                    // the pause of 201 x 50 ms becomes about 500 ms
    reverse_push_set_chunk_wait_for_test(400);  // T for the chunks
    Dev &d = device(0);
    const int64_t t = session(d);
    d.push->push(t, PushStep::chunk(1, std::nullopt, "s1"));
    ASSERT_TRUE(eventually([&] { return peer(t).sign == "s1" && peer(t).alive; }));
    const uint64_t opens = d.dev->counters().pool_opens;
    const auto t0 = Clock::now();
    d.push->push(t, PushStep::stall(60000));
    ASSERT_TRUE(eventually([&] { return !peer(t).alive; }));  // given up: the cache stops serving
    ASSERT_TRUE(eventually([&] { return d.push->counts(t).exchanges == 2; }));
    EXPECT_GE(ms_since(t0), 500);                    // not before the pause
    EXPECT_EQ(d.push->counts(t).client_left, 1u);    // the stalled connection was closed by the client
    EXPECT_GT(d.dev->counters().pool_opens, opens);  // a new pooled connection (command 175)
    d.push->push(t, PushStep::chunk(1, std::nullopt, "s2"));
    ASSERT_TRUE(eventually([&] { return peer(t).sign == "s2" && peer(t).alive; }));
}

TEST_F(Push, ANonJsonChunkEndsTheExchangeAndItsConnectionIsNotReused) {
    qv_set_time_scale(0.02);
    Dev &d = device(0);
    const int64_t t = session(d);
    d.push->push(t, PushStep::chunk(1, std::nullopt, "s1"));
    ASSERT_TRUE(eventually([&] { return peer(t).alive; }));
    const uint64_t opens = d.dev->counters().pool_opens;
    d.push->push(t, PushStep::raw("<html>not json</html>"));
    ASSERT_TRUE(eventually([&] { return d.push->counts(t).exchanges == 2; }));
    EXPECT_EQ(d.push->counts(t).client_left, 1u);    // the client closed that connection
    EXPECT_GT(d.dev->counters().pool_opens, opens);  // and borrowed a new one
    d.push->push(t, PushStep::chunk(1, std::nullopt, "s2"));
    ASSERT_TRUE(eventually([&] { return peer(t).sign == "s2" && peer(t).alive; }));
}

// A removal stops the thread within a few 50 ms slices whatever it is doing. The bound is generous for a
// loaded machine; the measured times are printed.
TEST_F(Push, RemovalStopsTheThreadPromptlyInEveryState) {
    Dev &d = device(0);
    const std::string hole_addr = cross_test::device_addr(1);
    BlackHole hole(hole_addr, port_);
    ASSERT_TRUE(hole.ok());
    struct Case {
        const char *what;
        std::function<int64_t()> setup;  // returns the token of a session whose thread is in that state
    };
    const std::vector<Case> cases = {
        {"holding a silent round",
         [&] {
             const int64_t t = session(d);
             EXPECT_TRUE(eventually([&] { return d.push->counts(t).exchanges == 1; }));
             return t;
         }},
        {"pausing after a failed exchange",
         [&] {
             const int64_t t = session(d);
             d.push->push(t, PushStep::close());
             EXPECT_TRUE(eventually([&] { return d.push->counts(t).closed == 1; }));
             std::this_thread::sleep_for(std::chrono::milliseconds(100));
             return t;
         }},
        {"connecting (TCP)",
         [&] {
             const int64_t t = login(d);
             EXPECT_EQ(reverse_task_add(t, hole_addr.c_str(), Reports::cb), 0);
             std::this_thread::sleep_for(std::chrono::milliseconds(300));
             return t;
         }},
        {"opening its connection (175)",
         [&] {
             const int64_t t = login(d);
             std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the login's connection closed
             qvemu::Faults f;
             f.reply_delay_ms = 60000;
             d.dev->set_faults(f);
             EXPECT_EQ(reverse_task_add(t, d.addr.c_str(), Reports::cb), 0);
             std::this_thread::sleep_for(std::chrono::milliseconds(300));
             return t;
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const int64_t t = c.setup();
        ASSERT_EQ(reverse_task_count(), 1);
        const auto t0 = Clock::now();
        EXPECT_EQ(reverse_task_del(t), 0);
        const long long took = ms_since(t0);
        std::printf("removal while %s: %lld ms\n", c.what, took);
        EXPECT_LT(took, 3000);  // 20 s (connect) or 10 s (pause) without a prompt stop
        EXPECT_EQ(reverse_task_count(), 0);
        d.dev->set_faults(qvemu::Faults{});
    }
}

std::atomic<int64_t> g_self_token{0};
std::atomic<int> g_self_removed{-2};

void remove_own_session(const qv_usb_status *, int) {
    g_self_removed = reverse_task_del(g_self_token.load());
}

TEST_F(Push, ACallbackThatRemovesItsOwnSessionDoesNotWaitForItself) {
    Dev &d = device(0);
    const int64_t t = session(d, remove_own_session);
    g_self_token = t;
    d.push->push(t, PushStep::chunk(1, usb("stick", 3)));
    ASSERT_TRUE(eventually([] { return g_self_removed.load() != -2; }));
    EXPECT_EQ(g_self_removed.load(), 0);
    EXPECT_EQ(reverse_task_count(), 0);
    // The thread ends once the callback has returned: its round is closed.
    EXPECT_TRUE(eventually([&] { return d.push->open_rounds() == 0; }));
}

TEST_F(Push, ASecondLoginToTheDeviceReplacesItsEntry) {
    Dev &d = device(0);
    const int64_t first = session(d);
    ASSERT_TRUE(eventually([&] { return d.push->counts(first).exchanges == 1; }));
    const int64_t second = session(d);
    EXPECT_NE(first, second);
    EXPECT_EQ(reverse_task_count(), 1);
    EXPECT_EQ(peer(first).sign, "<no entry>");
    EXPECT_TRUE(eventually([&] { return d.push->counts(first).client_left == 1; }));  // old thread gone
    d.push->push(second, PushStep::chunk(1, std::nullopt, "s"));
    EXPECT_TRUE(eventually([&] { return peer(second).sign == "s"; }));
}

TEST_F(Push, AThreadThatCannotStartAddsNothing) {
    Dev &d = device(0);
    const int64_t t = login(d);
    reverse_push_fail_next_thread_for_test();
    EXPECT_EQ(reverse_task_add(t, d.addr.c_str(), Reports::cb), -1);
    EXPECT_EQ(reverse_task_count(), 0);
    qv_cache_peer p;
    EXPECT_FALSE(reverse_cache_peer(t, 0, &p));  // the cache stays off for the session
}

TEST_F(Push, RoundsThatEndAtOnceAreSpaced) {
    Dev &d = device(0);
    const int64_t t = login(d);
    for (int i = 0; i < 100; ++i) d.push->push(t, PushStep::end_round());
    ASSERT_EQ(reverse_task_add(t, d.addr.c_str(), Reports::cb), 0);
    ASSERT_TRUE(eventually([&] { return d.push->counts(t).exchanges >= 2; }));
    const auto t0 = Clock::now();
    const uint64_t before = d.push->counts(t).exchanges;
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    const uint64_t during = d.push->counts(t).exchanges - before;
    std::printf("exchanges in %lld ms: %llu\n", ms_since(t0), static_cast<unsigned long long>(during));
    EXPECT_LE(during, 4u);  // one a second (back to back, it would be hundreds)
}

TEST_F(Push, RemovingOneDeviceKeepsTheOtherDevicesUsbStatuses) {
    Dev &a = device(0);
    Dev &b = device(1);
    const int64_t ta = session(a), tb = session(b);
    a.push->push(ta, PushStep::chunk(1, usb("a-stick", 3), "a"));
    ASSERT_TRUE(eventually([&] { return peer(ta).sign == "a"; }));
    b.push->push(tb, PushStep::chunk(1, usb("b-stick", 3), "b"));
    ASSERT_TRUE(eventually([&] { return peer(tb).sign == "b"; }));
    Reports::get().take();
    EXPECT_EQ(reverse_task_del(ta), 0);
    b.push->push(tb, PushStep::chunk(1, usb("b-card", 5), "b2"));
    ASSERT_TRUE(eventually([&] { return peer(tb).sign == "b2"; }));
    EXPECT_EQ(Reports::get().take(), std::vector<std::string>{"b-stick bs=1 st=0 v=0 done=3 speed=0 left=0, "
                                                              "b-card bs=1 st=0 v=0 done=5 speed=0 left=0"});
}

}  // namespace
