// An interruptible sleep for the runtime's worker threads: waits in real time scaled by one process-wide
// factor (tests shorten rounds with it) and ends early when its owner wakes it for a stop or a cancel.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

// Process-wide factor applied to every qv_sleeper wait; 1.0 by default, values <= 0 are taken as 1.0.
void qv_set_time_scale(double scale);
double qv_time_scale();

class qv_sleeper {
  public:
    // Waits `ms` milliseconds (scaled). true when the time ran out, false when woken (or already woken).
    bool sleep_ms(uint32_t ms);
    // Wakes every current and later sleep until reset(); safe from any thread.
    void wake();
    void reset();
    bool woken() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool woken_ = false;
};
