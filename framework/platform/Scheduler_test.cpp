#include "platform/Scheduler.h"

#include <gtest/gtest.h>

#include <QObject>
#include <QStringList>
#include <memory>

#include "platform/Clock.h"
#include "test_util.h"

namespace {

TEST(FakeScheduler, RunsCallsInTimeOrderAndMovesTheClock) {
    plat::FakeScheduler s(1000);
    EXPECT_EQ(plat::Clock::nowMs(), 1000);
    QStringList order;
    QList<int64_t> at;
    auto a = s.after(300, nullptr, [&] {
        order << "a";
        at << plat::Clock::nowMs();
    });
    auto b = s.after(100, nullptr, [&] {
        order << "b";
        at << plat::Clock::nowMs();
    });
    auto c = s.after(100, nullptr, [&] { order << "c"; });
    s.advance(99);
    EXPECT_TRUE(order.isEmpty());
    s.advance(1000);
    EXPECT_EQ(order, (QStringList{"b", "c", "a"}));
    EXPECT_EQ(at, (QList<int64_t>{1100, 1300}));
    EXPECT_EQ(plat::Clock::nowMs(), 2099);
    EXPECT_FALSE(a.isActive());
}

TEST(FakeScheduler, CancelAndDestroyedHandlesAndDeadContextsDropTheCall) {
    plat::FakeScheduler s;
    int runs = 0;
    auto kept = s.after(10, nullptr, [&] { ++runs; });
    kept.cancel();
    {
        auto dropped = s.after(10, nullptr, [&] { ++runs; });
    }
    auto ctx = std::make_unique<QObject>();
    auto withCtx = s.after(10, ctx.get(), [&] { ++runs; });
    ctx.reset();
    s.after(10, nullptr, [&] { runs += 100; }).detach();
    s.advance(20);
    EXPECT_EQ(runs, 100);
    EXPECT_EQ(s.pending(), 0);
}

TEST(FakeScheduler, RepeatsUntilCancelledFromInside) {
    plat::FakeScheduler s;
    int ticks = 0;
    plat::TimerHandle h;
    h = s.every(33, nullptr, [&] {
        if (++ticks == 5) h.cancel();
    });
    s.advance(1000);
    EXPECT_EQ(ticks, 5);
}

TEST(QtScheduler, FiresOnTheEventLoop) {
    bool fired = false;
    auto h = plat::Scheduler::current().after(5, nullptr, [&] { fired = true; });
    EXPECT_TRUE(fwtest::spinUntil([&] { return fired; }));
    EXPECT_FALSE(h.isActive());
}

}  // namespace
