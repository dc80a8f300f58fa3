// Named notifications with an object and user information. Observers registered for `Posting` run
// synchronously on the posting thread, in registration order; `Main` observers run on the main thread
// (directly when posted there, else queued). An observer lives as long as its token and its context.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>
#include <QVariantMap>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace plat {

enum class Delivery { Posting, Main };

struct Notification {
    QString name;
    QVariant object;
    QVariantMap userInfo;
};

using NotificationHandler = std::function<void(const Notification &)>;

class NotificationCenter;

// Removes its observer when destroyed; the removal waits for a delivery running on another thread.
class ObserverToken final {
  public:
    ObserverToken() = default;
    ~ObserverToken() { reset(); }
    ObserverToken(ObserverToken &&other) noexcept;
    ObserverToken &operator=(ObserverToken &&other) noexcept;
    ObserverToken(const ObserverToken &) = delete;
    ObserverToken &operator=(const ObserverToken &) = delete;
    void reset();
    bool isActive() const { return m_center != nullptr; }

  private:
    friend class NotificationCenter;
    ObserverToken(NotificationCenter *center, uint64_t id) : m_center(center), m_id(id) {}
    NotificationCenter *m_center = nullptr;
    uint64_t m_id = 0;
};

class NotificationCenter final {
  public:
    static NotificationCenter &defaultCenter();
    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter &) = delete;
    NotificationCenter &operator=(const NotificationCenter &) = delete;

    void post(const QString &name, const QVariant &object = {}, const QVariantMap &userInfo = {});
    // `context` (optional) ends the observer when it is destroyed.
    [[nodiscard]] ObserverToken addObserver(const QString &name, QObject *context,
                                            NotificationHandler handler,
                                            Delivery delivery = Delivery::Posting);

  private:
    friend class ObserverToken;
    struct Observer {
        uint64_t id = 0;
        QString name;
        bool hasContext = false;
        QPointer<QObject> context;
        NotificationHandler handler;
        Delivery delivery = Delivery::Posting;
        std::mutex mu;  // guards the two fields below
        bool removed = false;
        int running = 0;
        std::condition_variable idle;
    };
    using ObserverPtr = std::shared_ptr<Observer>;
    static void deliver(const ObserverPtr &obs, const Notification &n);
    void remove(uint64_t id);

    std::mutex m_mu;
    uint64_t m_nextId = 1;
    std::vector<ObserverPtr> m_observers;
};

}  // namespace plat
