#include "platform/MainQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "test_util.h"

TEST(MainQueue, PostRunsOnMainAndPostAndWaitBlocksUntilRun) {
    std::atomic<bool> onMain{false};
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        const bool ran = plat::MainQueue::postAndWait([&] { onMain = plat::isMainThread(); });
        returned = ran;
    });
    ASSERT_TRUE(fwtest::spinUntil([&] { return returned.load(); }));
    worker.join();
    EXPECT_TRUE(onMain);
}

TEST(MainQueue, PostAndWaitOnMainRunsInline) {
    bool ran = false;
    EXPECT_TRUE(plat::MainQueue::postAndWait([&] { ran = true; }));
    EXPECT_TRUE(ran);
}

TEST(MainQueue, CloseFreesAWorkerBlockedInPostAndWait) {
    std::atomic<int> result{-1};
    std::atomic<bool> ran{false};
    std::thread worker([&] { result = plat::MainQueue::postAndWait([&] { ran = true; }) ? 1 : 0; });
    // The main thread does not spin: the worker stays blocked until close().
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(result.load(), -1);
    plat::MainQueue::close();
    worker.join();
    EXPECT_EQ(result.load(), 0);
    fwtest::drain();  // the queued job must not run after its waiter left
    plat::MainQueue::reopen();
    fwtest::drain();
    EXPECT_FALSE(ran);
}

TEST(MainQueue, PostWithADeadContextIsDropped) {
    auto *ctx = new QObject;
    bool ran = false;
    plat::MainQueue::post(ctx, [&] { ran = true; });
    delete ctx;
    fwtest::drain();
    EXPECT_FALSE(ran);
    QObject alive;
    plat::MainQueue::post(&alive, [&] { ran = true; });
    EXPECT_TRUE(fwtest::spinUntil([&] { return ran; }));
}
