#include "sleeper.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

TEST(Sleeper, WakeEndsASleepEarlyAndLaterSleepsUntilReset) {
    qv_sleeper s;
    auto t0 = std::chrono::steady_clock::now();
    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        s.wake();
    });
    EXPECT_FALSE(s.sleep_ms(60000));
    waker.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    EXPECT_FALSE(s.sleep_ms(60000));  // still woken
    s.reset();
    EXPECT_TRUE(s.sleep_ms(1));
}

TEST(Sleeper, TimeScaleShortensWaits) {
    qv_set_time_scale(0.001);
    qv_sleeper s;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(s.sleep_ms(60000));  // 60 ms scaled
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    qv_set_time_scale(0);
    EXPECT_EQ(qv_time_scale(), 1.0);
}
