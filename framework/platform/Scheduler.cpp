#include "platform/Scheduler.h"

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <vector>

#include "platform/Clock.h"

namespace plat {

void TimerHandle::cancel() {
    if (!m_state) return;
    auto state = std::move(m_state);
    if (state->cancelled || state->finished) return;
    state->cancelled = true;
    if (state->cancelFn) {
        auto fn = std::move(state->cancelFn);
        fn();
    }
}

namespace {

class QtScheduler final : public Scheduler {
  public:
    TimerHandle after(int64_t ms, QObject *context, std::function<void()> fn) override {
        return start(ms, true, context, std::move(fn));
    }
    TimerHandle every(int64_t ms, QObject *context, std::function<void()> fn) override {
        return start(ms, false, context, std::move(fn));
    }

  private:
    static TimerHandle start(int64_t ms, bool once, QObject *context, std::function<void()> fn) {
        auto state = std::make_shared<TimerHandle::State>();
        QObject *owner = context != nullptr ? context : QCoreApplication::instance();
        if (owner == nullptr) return TimerHandle(state);
        auto *timer = new QTimer(owner);
        timer->setTimerType(Qt::PreciseTimer);
        timer->setSingleShot(once);
        timer->setInterval(static_cast<int>(std::max<int64_t>(0, ms)));
        QPointer<QTimer> guard(timer);
        state->cancelFn = [guard] {
            if (guard) {
                guard->stop();
                guard->deleteLater();
            }
        };
        // A detached call keeps its state alive through the timer's connection.
        QObject::connect(timer, &QTimer::timeout, timer, [timer, once, fn = std::move(fn), state] {
            if (state->cancelled) return;
            if (once) {
                state->finished = true;
                state->cancelFn = nullptr;
                timer->deleteLater();
            }
            fn();
        });
        timer->start();
        return TimerHandle(state);
    }
};

QtScheduler &realScheduler() {
    static auto *const s = new QtScheduler;  // never destroyed
    return *s;
}

Scheduler *g_current = nullptr;

}  // namespace

Scheduler &Scheduler::current() {
    return g_current != nullptr ? *g_current : realScheduler();
}

void Scheduler::setCurrent(Scheduler *scheduler) {
    g_current = scheduler;
}

struct FakeScheduler::Entry {
    int64_t due = 0;
    int64_t period = 0;  // 0: once
    uint64_t seq = 0;
    bool hasContext = false;
    QPointer<QObject> context;
    std::function<void()> fn;
    std::shared_ptr<TimerHandle::State> state;
};

FakeScheduler::FakeScheduler(int64_t startMs)
    : m_now(startMs), m_entries(std::make_shared<std::vector<std::shared_ptr<Entry>>>()) {
    Clock::setFakeMs(m_now);
    Scheduler::setCurrent(this);
}

FakeScheduler::~FakeScheduler() {
    if (g_current == this) Scheduler::setCurrent(nullptr);
    for (auto &e : *m_entries) e->state->cancelFn = nullptr;
    Clock::clearFake();
}

TimerHandle FakeScheduler::after(int64_t ms, QObject *context, std::function<void()> fn) {
    return add(ms, 0, context, std::move(fn));
}

TimerHandle FakeScheduler::every(int64_t ms, QObject *context, std::function<void()> fn) {
    return add(ms, std::max<int64_t>(1, ms), context, std::move(fn));
}

TimerHandle FakeScheduler::add(int64_t ms, int64_t period, QObject *context, std::function<void()> fn) {
    auto e = std::make_shared<Entry>();
    e->due = m_now + std::max<int64_t>(0, ms);
    e->period = period;
    e->seq = m_seq++;
    e->hasContext = context != nullptr;
    e->context = context;
    e->fn = std::move(fn);
    e->state = std::make_shared<TimerHandle::State>();
    std::weak_ptr<std::vector<std::shared_ptr<Entry>>> list = m_entries;
    Entry *raw = e.get();
    e->state->cancelFn = [list, raw] {
        if (auto l = list.lock()) {
            l->erase(std::remove_if(l->begin(), l->end(), [raw](const auto &x) { return x.get() == raw; }),
                     l->end());
        }
    };
    m_entries->push_back(e);
    return TimerHandle(e->state);
}

int FakeScheduler::pending() const {
    return static_cast<int>(std::count_if(m_entries->begin(), m_entries->end(), [](const auto &e) {
        return !e->state->cancelled && (!e->hasContext || e->context);
    }));
}

void FakeScheduler::advance(int64_t ms) {
    const int64_t target = m_now + std::max<int64_t>(0, ms);
    for (;;) {
        // Drop calls whose context died.
        m_entries->erase(std::remove_if(m_entries->begin(), m_entries->end(),
                                        [](const auto &e) { return e->hasContext && !e->context; }),
                         m_entries->end());
        auto it = std::min_element(m_entries->begin(), m_entries->end(), [](const auto &a, const auto &b) {
            return a->due != b->due ? a->due < b->due : a->seq < b->seq;
        });
        if (it == m_entries->end() || (*it)->due > target) break;
        std::shared_ptr<Entry> e = *it;
        m_now = std::max(m_now, e->due);
        Clock::setFakeMs(m_now);
        if (e->period > 0) {
            e->due += e->period;
            e->seq = m_seq++;
        } else {
            m_entries->erase(it);
            e->state->finished = true;
            e->state->cancelFn = nullptr;
        }
        auto fn = e->fn;  // the call may cancel its own entry
        fn();
    }
    m_now = target;
    Clock::setFakeMs(m_now);
}

}  // namespace plat
