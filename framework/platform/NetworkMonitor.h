// Network reachability without pings: Qt's network-information backend (the system's own view). With no
// backend (containers, CI, network namespaces) the status stays unknown, isNetworkEnabled() answers true
// and no change is reported, so nothing is refused for want of a backend. Changes arrive on the main thread.
#pragma once

#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>
#include <vector>

namespace plat {

class NetworkMonitor : public QObject {
  public:
    enum class Status { Unknown, Disconnected, Local, Online };

    static NetworkMonitor &shared();

    // Loads the backend and starts reporting changes (once; later calls do nothing).
    void startNotifier();
    bool isStarted() const { return m_started; }
    bool hasBackend() const { return m_hasBackend; }
    Status status() const { return m_status; }
    // Online or on a local network; true while the status is unknown.
    bool isNetworkEnabled() const { return m_status != Status::Disconnected; }

    // Tests: what a backend would report.
    void setStatusForTests(Status s);

    using ChangeHandler = std::function<void(Status current, Status previous)>;
    // Calls `handler` on every change while `context` lives.
    void addObserver(QObject *context, ChangeHandler handler);

  private:
    NetworkMonitor();
    void apply(Status s);
    bool m_started = false;
    bool m_hasBackend = false;
    Status m_status = Status::Unknown;
    struct Observer {
        QPointer<QObject> context;
        ChangeHandler handler;
    };
    std::vector<Observer> m_observers;
};

}  // namespace plat
