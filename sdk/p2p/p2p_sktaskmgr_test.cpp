// Timer tasks on a driven monotonic clock, the idle time-out, socket registrations and the manager thread.
#include "p2p/p2p_sktaskmgr.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

std::atomic<uint64_t> g_now{1000};
uint64_t fakeClock() {
    return g_now.load();
}

struct TimerRun {
    p2p_TimerTask *task;
    uint64_t at;
    int expired;
};

struct Recorder {
    std::vector<TimerRun> runs;
    static void cb(p2p_TimerTask *t, uint32_t, uint16_t, void *ud, int expired) {
        static_cast<Recorder *>(ud)->runs.push_back({t, g_now.load(), expired});
    }
};

class TimerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_now = 1000;
        p2p_Clock_SetSource(fakeClock);
    }
    void TearDown() override {
        p2p_SockTaskMng_DeInit();
        p2p_Clock_SetSource(nullptr);
    }
};

TEST_F(TimerTest, PeriodicTaskRunsFirstAtOnceThenEveryPeriodAndNeverExpires) {
    Recorder r;
    p2p_TimerTask *t = p2p_SockTaskMng_AddTimer(50, 0, 7, Recorder::cb, &r);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->id, 1);
    for (uint64_t now : {1000, 1049, 1050, 1099, 1100, 1300}) {
        g_now = now;
        p2p_SockTaskMng_TimerPass();
    }
    ASSERT_EQ(r.runs.size(), 4u);
    EXPECT_EQ(r.runs[0].at, 1000u);
    EXPECT_EQ(r.runs[1].at, 1050u);
    EXPECT_EQ(r.runs[2].at, 1100u);
    EXPECT_EQ(r.runs[3].at, 1300u);
    for (const TimerRun &run : r.runs) EXPECT_EQ(run.expired, 0);
}

TEST_F(TimerTest, LifetimeExpiresExactlyOnce) {
    Recorder r;
    p2p_SockTaskMng_AddTimer(1000, 10000, 0, Recorder::cb, &r);
    for (uint64_t now = 1000; now <= 30000; now += 500) {
        g_now = now;
        p2p_SockTaskMng_TimerPass();
    }
    int expiredRuns = 0;
    for (const TimerRun &run : r.runs) expiredRuns += run.expired;
    EXPECT_EQ(expiredRuns, 1);
    ASSERT_FALSE(r.runs.empty());
    EXPECT_EQ(r.runs.back().expired, 1);
    EXPECT_EQ(r.runs.back().at, 11000u);  // the first run at least 10,000 ms after the first
    EXPECT_EQ(r.runs.size(), 11u);
    EXPECT_EQ(p2p_SockTaskMng_TimerCount(), 0);  // retired and purged
}

TEST_F(TimerTest, ClockStepsBackwardsMakeTheTaskDue) {
    Recorder r;
    p2p_SockTaskMng_AddTimer(1000, 0, 0, Recorder::cb, &r);
    g_now = 5000;
    p2p_SockTaskMng_TimerPass();
    g_now = 4000;
    p2p_SockTaskMng_TimerPass();
    EXPECT_EQ(r.runs.size(), 2u);
}

TEST_F(TimerTest, IdleTimeoutIsTheDivisorOfLivePeriods) {
    auto noop = [](p2p_TimerTask *, uint32_t, uint16_t, void *, int) {};
    EXPECT_EQ(p2p_SockTaskMng_IdleTimeout(), 500u);
    p2p_TimerTask *a = p2p_SockTaskMng_AddTimer(20, 0, 0, noop, nullptr);
    p2p_TimerTask *b = p2p_SockTaskMng_AddTimer(50, 0, 0, noop, nullptr);
    EXPECT_EQ(p2p_SockTaskMng_IdleTimeout(), 10u);
    p2p_SockTaskMng_RemoveTimer(a);
    p2p_SockTaskMng_RemoveTimer(b);
    EXPECT_EQ(p2p_SockTaskMng_IdleTimeout(), 500u);
    p2p_SockTaskMng_AddTimer(1000, 0, 0, noop, nullptr);
    EXPECT_EQ(p2p_SockTaskMng_IdleTimeout(), 500u);
    p2p_SockTaskMng_AddTimer(0, 0, 0, noop, nullptr);  // a zero period is skipped
    EXPECT_EQ(p2p_SockTaskMng_IdleTimeout(), 500u);
    p2p_SockTaskMng_AddTimer(30, 0, 0, noop, nullptr);
    EXPECT_EQ(p2p_SockTaskMng_IdleTimeout(), 10u);
}

struct Surgery {
    p2p_TimerTask *self = nullptr;
    p2p_TimerTask *other = nullptr;
    p2p_TimerTask *added = nullptr;
    int selfRuns = 0, otherRuns = 0, addedRuns = 0;
};

TEST_F(TimerTest, CallbackRemovesItselfAndAnotherAndAddsOne) {
    Surgery s;
    auto otherCb = [](p2p_TimerTask *, uint32_t, uint16_t, void *ud, int) {
        static_cast<Surgery *>(ud)->otherRuns++;
    };
    auto selfCb = [](p2p_TimerTask *t, uint32_t, uint16_t, void *ud, int) {
        auto *s = static_cast<Surgery *>(ud);
        s->selfRuns++;
        EXPECT_EQ(p2p_SockTaskMng_RemoveTimer(t), 1);
        EXPECT_EQ(p2p_SockTaskMng_RemoveTimer(t), 0);  // twice is harmless
        EXPECT_EQ(p2p_SockTaskMng_RemoveTimer(s->other), 1);
        s->added = p2p_SockTaskMng_AddTimer(
            10, 0, 0,
            [](p2p_TimerTask *, uint32_t, uint16_t, void *ud2, int) {
                static_cast<Surgery *>(ud2)->addedRuns++;
            },
            s);
        EXPECT_NE(s->added, nullptr);
        // The tree is not changed under the walk: both retired records are still there.
        EXPECT_EQ(p2p_SockTaskMng_TimerCount(), 3);
    };
    s.self = p2p_SockTaskMng_AddTimer(10, 0, 0, selfCb, &s);
    s.other = p2p_SockTaskMng_AddTimer(10, 0, 0, otherCb, &s);  // id 2: walked after the root
    p2p_SockTaskMng_TimerPass();
    EXPECT_EQ(s.selfRuns, 1);
    EXPECT_EQ(s.otherRuns, 0);
    EXPECT_EQ(p2p_SockTaskMng_TimerCount(), 1);  // purged after the walk
    g_now = 2000;
    p2p_SockTaskMng_TimerPass();
    p2p_SockTaskMng_TimerPass();
    EXPECT_EQ(s.selfRuns, 1);
    EXPECT_EQ(s.otherRuns, 0);
    EXPECT_GE(s.addedRuns, 1);
    EXPECT_EQ(s.added->id, 3);  // retired records still held 1 and 2 when it was added
}

TEST(SocketTasks, ReadAndWriteShareOneEntryUntilBothAreRemoved) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv), 0);
    auto h = [](int, int, int, void *) {};
    EXPECT_EQ(p2p_SockTaskMng_AddSocket(sv[0], 0, P2P_SOCK_READ, h, nullptr), 0);
    EXPECT_EQ(p2p_SockTaskMng_AddSocket(sv[0], 0, P2P_SOCK_WRITE, h, nullptr), 0);
    EXPECT_EQ(p2p_SockTaskMng_RemoveSocket(sv[0], P2P_SOCK_READ), -1);  // the write event remains
    EXPECT_EQ(p2p_SockTaskMng_RemoveSocket(sv[0], P2P_SOCK_WRITE), 0);
    EXPECT_EQ(p2p_SockTaskMng_RemoveSocket(sv[0], P2P_SOCK_ALL), -1);  // already gone
    std::vector<char> big(P2P_SEND_MAX + 1, 'x');
    EXPECT_EQ(p2p_SockTaskMng_Send(sv[0], 0, big.data(), (int)big.size()), -1);
    EXPECT_EQ(p2p_SockTaskMng_Send(sv[0], 0, big.data(), P2P_SEND_MAX), P2P_SEND_MAX);
    EXPECT_EQ(p2p_SockTaskMng_Send(sv[0], 2, big.data(), 10), -1);
    char buf[2000];
    EXPECT_EQ(recv(sv[1], buf, sizeof buf, 0), P2P_SEND_MAX);
    close(sv[0]);
    close(sv[1]);
    p2p_SockTaskMng_DeInit();
}

TEST(SocketTasks, ThreadDispatchesReadsThenAnIdleEndOfBurst) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv), 0);
    static std::atomic<int> reads, bursts;
    reads = 0;
    bursts = 0;
    auto h = [](int fd, int, int status, void *) {
        if (status == 0) {
            char b[64];
            (void)!recv(fd, b, sizeof b, MSG_DONTWAIT);
            reads++;
        } else if (status == -1) {
            bursts++;
        }
    };
    p2p_SockTaskMng_AddSocket(sv[0], 0, P2P_SOCK_READ, h, nullptr);
    ASSERT_EQ(p2p_SockTaskMng_Init(), 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(send(sv[1], "x", 1, 0), 1);
    for (int i = 0; i < 400 && (reads < 3 || bursts < 1); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(reads.load(), 3);
    EXPECT_GE(bursts.load(), 1);
    p2p_SockTaskMng_DeInit();
    close(sv[0]);
    close(sv[1]);
}

TEST(TimerThread, RunsOnItsPeriodAndNeverAfterDeInit) {
    static std::atomic<int> runs;
    static std::atomic<bool> stopped;
    static std::atomic<int> lateRuns;
    runs = 0;
    stopped = false;
    lateRuns = 0;
    auto cb = [](p2p_TimerTask *, uint32_t, uint16_t, void *, int) {
        runs++;
        if (stopped) lateRuns++;
    };
    ASSERT_EQ(p2p_SockTaskMng_Init(), 0);
    p2p_SockTaskMng_AddTimer(10, 0, 0, cb, nullptr);
    for (int i = 0; i < 400 && runs < 5; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(runs.load(), 5);
    p2p_SockTaskMng_DeInit();
    stopped = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(lateRuns.load(), 0);
}

TEST(TimerThread, DeInitWakesAWaitingThreadAndJoinsWithoutTheLock) {
    auto cb = [](p2p_TimerTask *, uint32_t, uint16_t, void *, int) {};
    p2p_SockTaskMng_AddTimer(1000, 0, 0, cb, nullptr);  // idle time-out 500 ms: the thread sits in its wait
    ASSERT_EQ(p2p_SockTaskMng_Init(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    auto t0 = std::chrono::steady_clock::now();
    p2p_SockTaskMng_DeInit();
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(took, std::chrono::milliseconds(400));  // woken, not left to its 500 ms wait
    EXPECT_FALSE(p2p_SockTaskMng_IsRunning());
    EXPECT_EQ(p2p_SockTaskMng_TimerCount(), 0);
}

}  // namespace
