#include "sleeper.h"

#include <atomic>
#include <chrono>

namespace {
std::atomic<double> g_scale{1.0};
}

void qv_set_time_scale(double scale) {
    g_scale.store(scale > 0 ? scale : 1.0);
}

double qv_time_scale() {
    return g_scale.load();
}

bool qv_sleeper::sleep_ms(uint32_t ms) {
    auto span = std::chrono::duration<double, std::milli>(ms * qv_time_scale());
    auto until =
        std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::nanoseconds>(span);
    std::unique_lock<std::mutex> lock(mutex_);
    return !cv_.wait_until(lock, until, [this] { return woken_; });
}

void qv_sleeper::wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
    }
    cv_.notify_all();
}

void qv_sleeper::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = false;
}

bool qv_sleeper::woken() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return woken_;
}
