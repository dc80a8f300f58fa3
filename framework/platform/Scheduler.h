// Delays and repeating timers on the main thread. Logic asks plat::Scheduler::current() for them, so that
// tests can install a FakeScheduler and move time by hand (the fake also drives plat::Clock).
#pragma once

#include <QObject>
#include <QPointer>
#include <cstdint>
#include <functional>
#include <memory>

namespace plat {

// A scheduled call. Destroying or cancelling the handle cancels the call; detach() lets it run without a
// holder (a one-shot then frees itself after running; a repeating one lives as long as its context).
class TimerHandle final {
  public:
    struct State {
        bool cancelled = false;
        bool finished = false;
        std::function<void()> cancelFn;  // stops the underlying timer
    };
    TimerHandle() = default;
    explicit TimerHandle(std::shared_ptr<State> state) : m_state(std::move(state)) {}
    ~TimerHandle() { cancel(); }
    TimerHandle(TimerHandle &&other) noexcept : m_state(std::move(other.m_state)) {}
    TimerHandle &operator=(TimerHandle &&other) noexcept {
        if (this != &other) {
            cancel();
            m_state = std::move(other.m_state);
        }
        return *this;
    }
    TimerHandle(const TimerHandle &) = delete;
    TimerHandle &operator=(const TimerHandle &) = delete;

    void cancel();
    void detach() { m_state.reset(); }
    // True while the call is still to come (a repeating timer until cancelled).
    bool isActive() const { return m_state && !m_state->cancelled && !m_state->finished; }

  private:
    std::shared_ptr<State> m_state;
};

class Scheduler {
  public:
    virtual ~Scheduler() = default;
    // Runs `fn` once on the main thread after `ms` milliseconds; dropped when `context` (if given) is gone.
    virtual TimerHandle after(int64_t ms, QObject *context, std::function<void()> fn) = 0;
    // Runs `fn` every `ms` milliseconds until cancelled or `context` is gone.
    virtual TimerHandle every(int64_t ms, QObject *context, std::function<void()> fn) = 0;

    // The scheduler in use: the real one (QTimer) unless a test installed another.
    static Scheduler &current();
    static void setCurrent(Scheduler *scheduler);  // null: back to the real one
};

// Test scheduler: nothing runs until advance(); plat::Clock reads its time while it lives.
class FakeScheduler final : public Scheduler {
  public:
    explicit FakeScheduler(int64_t startMs = 1'700'000'000'000);
    ~FakeScheduler() override;
    FakeScheduler(const FakeScheduler &) = delete;
    FakeScheduler &operator=(const FakeScheduler &) = delete;

    TimerHandle after(int64_t ms, QObject *context, std::function<void()> fn) override;
    TimerHandle every(int64_t ms, QObject *context, std::function<void()> fn) override;

    // Moves time forward, running every due call in time order on the calling thread (calls scheduled by
    // those calls run too when they fall due within the step).
    void advance(int64_t ms);
    int64_t nowMs() const { return m_now; }
    // Calls still to come.
    int pending() const;

  private:
    struct Entry;
    TimerHandle add(int64_t ms, int64_t period, QObject *context, std::function<void()> fn);
    int64_t m_now;
    uint64_t m_seq = 0;
    std::shared_ptr<std::vector<std::shared_ptr<Entry>>> m_entries;
};

}  // namespace plat
