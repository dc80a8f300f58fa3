// The platform layer: notification delivery, the work pools' threads, the clock, paths and locale seams.
#include <gtest/gtest.h>

#include <QStandardPaths>
#include <atomic>
#include <thread>

#include "platform/Clock.h"
#include "platform/Locale.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/Paths.h"
#include "platform/WorkPool.h"
#include "test_util.h"

TEST(NotificationCenter, PostingObserversRunInOrderOnThePostingThreadMainOnesOnMain) {
    plat::NotificationCenter nc;
    std::vector<int> order;
    std::thread::id postingThread;
    std::atomic<bool> mainRan{false}, mainOnMain{false};
    auto t1 = nc.addObserver("n", nullptr, [&](const plat::Notification &) {
        order.push_back(1);
        postingThread = std::this_thread::get_id();
    });
    auto t2 = nc.addObserver("n", nullptr, [&](const plat::Notification &n) {
        order.push_back(2);
        EXPECT_EQ(n.object.toInt(), 7);
        EXPECT_EQ(n.userInfo.value("k").toString(), QStringLiteral("v"));
    });
    auto t3 = nc.addObserver(
        "n", nullptr,
        [&](const plat::Notification &) {
            mainOnMain = plat::isMainThread();
            mainRan = true;
        },
        plat::Delivery::Main);
    auto other = nc.addObserver("other", nullptr, [&](const plat::Notification &) { order.push_back(99); });
    std::thread::id poster;
    std::thread t([&] {
        poster = std::this_thread::get_id();
        nc.post("n", 7, {{"k", "v"}});
    });
    t.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(postingThread, poster);
    ASSERT_TRUE(fwtest::spinUntil([&] { return mainRan.load(); }));
    EXPECT_TRUE(mainOnMain);
}

TEST(NotificationCenter, TokensAndDeadContextsEndObservers) {
    plat::NotificationCenter nc;
    int calls = 0;
    {
        auto token = nc.addObserver("n", nullptr, [&](const plat::Notification &) { ++calls; });
        nc.post("n");
    }
    nc.post("n");
    EXPECT_EQ(calls, 1);
    auto *ctx = new QObject;
    auto token = nc.addObserver("n", ctx, [&](const plat::Notification &) { ++calls; });
    delete ctx;
    nc.post("n");
    EXPECT_EQ(calls, 1);
    // A handler may end its own observation.
    plat::ObserverToken self;
    self = nc.addObserver("s", nullptr, [&](const plat::Notification &) {
        ++calls;
        self.reset();
    });
    nc.post("s");
    nc.post("s");
    EXPECT_EQ(calls, 2);
}

TEST(NotificationCenter, RemovalWaitsForADeliveryOnAnotherThread) {
    plat::NotificationCenter nc;
    std::atomic<bool> inside{false}, release{false}, finished{false};
    auto token = nc.addObserver("n", nullptr, [&](const plat::Notification &) {
        inside = true;
        while (!release) std::this_thread::yield();
        finished = true;
    });
    std::thread poster([&] { nc.post("n"); });
    while (!inside) std::this_thread::yield();
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        release = true;
    });
    token.reset();
    EXPECT_TRUE(finished);
    poster.join();
    releaser.join();
}

TEST(WorkPool, ThreadsAreNamedPerPool) {
    std::atomic<int> done{0};
    QString work, mark;
    plat::WorkPool::global().async([&] {
        work = plat::currentThreadName();
        ++done;
    });
    plat::WorkPool::markLane().async([&] {
        mark = plat::currentThreadName();
        ++done;
    });
    ASSERT_TRUE(fwtest::spinUntil([&] { return done.load() == 2; }));
    EXPECT_EQ(work, QStringLiteral("qv-work"));
    EXPECT_EQ(mark, QStringLiteral("qv-mark"));
    EXPECT_EQ(plat::WorkPool::global().maxThreadCount(), 64);
    EXPECT_EQ(plat::WorkPool::markLane().maxThreadCount(), 4);
}

TEST(Clock, FakeTimeIsSetAndAdvanced) {
    plat::Clock::setFakeMs(1000);
    plat::Clock::advanceFakeMs(500);
    EXPECT_EQ(plat::Clock::nowMs(), 1500);
    plat::Clock::clearFake();
    EXPECT_GT(plat::Clock::nowMs(), 1700000000000LL);
}

TEST(Paths, FollowTheTestEnvironment) {
    EXPECT_EQ(plat::Paths::cacheLocation(), QStandardPaths::writableLocation(QStandardPaths::CacheLocation));
    EXPECT_TRUE(plat::Paths::documents().endsWith(QStringLiteral("/Documents")));
    EXPECT_TRUE(plat::Paths::cacheLocation().startsWith(qEnvironmentVariable("HOME")));
}

TEST(Locale, LanguagesAndZoneAreSettable) {
    plat::Locale::setPreferredLanguages({QStringLiteral("zh-Hans-CN")});
    plat::Locale::setSystemTimeZone(QTimeZone("America/New_York"));
    EXPECT_EQ(plat::Locale::preferredLanguages().first(), QStringLiteral("zh-Hans-CN"));
    EXPECT_EQ(plat::Locale::systemTimeZone().id(), QByteArray("America/New_York"));
    plat::Locale::reset();
    EXPECT_EQ(plat::Locale::systemTimeZone(), QTimeZone::systemTimeZone());
}
