#include "platform/NotificationCenter.h"

#include <QThread>

#include "platform/MainQueue.h"

namespace plat {

namespace {
thread_local int t_delivering = 0;  // deliveries running on this thread (a handler may remove itself)
}

ObserverToken::ObserverToken(ObserverToken &&other) noexcept : m_center(other.m_center), m_id(other.m_id) {
    other.m_center = nullptr;
}

ObserverToken &ObserverToken::operator=(ObserverToken &&other) noexcept {
    if (this != &other) {
        reset();
        m_center = other.m_center;
        m_id = other.m_id;
        other.m_center = nullptr;
    }
    return *this;
}

void ObserverToken::reset() {
    if (m_center != nullptr) m_center->remove(m_id);
    m_center = nullptr;
}

NotificationCenter &NotificationCenter::defaultCenter() {
    static auto *const s = new NotificationCenter;  // never destroyed
    return *s;
}

ObserverToken NotificationCenter::addObserver(const QString &name, QObject *context,
                                              NotificationHandler handler, Delivery delivery) {
    auto obs = std::make_shared<Observer>();
    obs->name = name;
    obs->hasContext = context != nullptr;
    obs->context = context;
    obs->handler = std::move(handler);
    obs->delivery = delivery;
    std::lock_guard<std::mutex> lock(m_mu);
    obs->id = m_nextId++;
    m_observers.push_back(obs);
    return ObserverToken(this, obs->id);
}

void NotificationCenter::deliver(const ObserverPtr &obs, const Notification &n) {
    {
        std::lock_guard<std::mutex> lock(obs->mu);
        if (obs->removed) return;
        if (obs->hasContext && obs->context.isNull()) return;
        ++obs->running;
    }
    ++t_delivering;
    obs->handler(n);
    --t_delivering;
    {
        std::lock_guard<std::mutex> lock(obs->mu);
        --obs->running;
    }
    obs->idle.notify_all();
}

void NotificationCenter::post(const QString &name, const QVariant &object, const QVariantMap &userInfo) {
    std::vector<ObserverPtr> matching;
    {
        std::lock_guard<std::mutex> lock(m_mu);
        for (const auto &o : m_observers)
            if (o->name == name) matching.push_back(o);
    }
    const Notification n{name, object, userInfo};
    const bool onMain = isMainThread();
    for (const auto &o : matching) {
        if (o->delivery == Delivery::Posting || onMain) {
            deliver(o, n);
        } else {
            MainQueue::post([o, n] { deliver(o, n); });
        }
    }
}

void NotificationCenter::remove(uint64_t id) {
    ObserverPtr obs;
    {
        std::lock_guard<std::mutex> lock(m_mu);
        for (auto it = m_observers.begin(); it != m_observers.end(); ++it) {
            if ((*it)->id == id) {
                obs = *it;
                m_observers.erase(it);
                break;
            }
        }
    }
    if (!obs) return;
    std::unique_lock<std::mutex> lock(obs->mu);
    obs->removed = true;
    // Wait for deliveries on other threads; one running on this thread is the caller's own handler.
    if (t_delivering == 0) obs->idle.wait(lock, [&] { return obs->running == 0; });
}

}  // namespace plat
