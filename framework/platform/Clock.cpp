#include "platform/Clock.h"

#include <atomic>
#include <chrono>

namespace plat {

namespace {
std::atomic<bool> g_fake{false};
std::atomic<int64_t> g_fakeMs{0};
}  // namespace

int64_t Clock::nowMs() {
    if (g_fake.load()) return g_fakeMs.load();
    return QDateTime::currentMSecsSinceEpoch();
}

QDateTime Clock::now() {
    return QDateTime::fromMSecsSinceEpoch(nowMs());
}

int64_t Clock::monotonicMs() {
    if (g_fake.load()) return g_fakeMs.load();
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void Clock::setFakeMs(int64_t ms) {
    g_fakeMs.store(ms);
    g_fake.store(true);
}

void Clock::advanceFakeMs(int64_t ms) {
    g_fakeMs.fetch_add(ms);
}

void Clock::clearFake() {
    g_fake.store(false);
}

}  // namespace plat
