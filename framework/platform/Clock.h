// Wall-clock time the framework reads, with a settable fake for tests.
#pragma once

#include <QDateTime>
#include <cstdint>

namespace plat {

class Clock final {
  public:
    Clock() = delete;
    // Milliseconds since 1970 (the fake's value while one is set).
    static int64_t nowMs();
    static QDateTime now();
    // Monotonic milliseconds for measuring intervals; while a fake is set (a FakeScheduler lives), the
    // fake's value, so that intervals move only when a test moves time.
    static int64_t monotonicMs();
    static void setFakeMs(int64_t ms);
    static void advanceFakeMs(int64_t ms);
    static void clearFake();
};

}  // namespace plat
