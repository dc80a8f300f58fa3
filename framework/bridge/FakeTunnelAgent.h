// A scripted tunnel agent for tests: session ids handed out in turn, scripted connect errors and modes, local
// ports that behave like real ones (a port mapped twice, or taken by another program, answers -30002 until
// its mapping stops), a connect that can be held at a latch, and drop events fired from a thread of its own.
// Every call is recorded as one line ("init 4", "connect UID", "map 0 13111 13111", "unmap 0", "abort 0",
// "deinit").
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "bridge/TunnelAgent.h"

class FakeTunnelAgent final : public TunnelAgent {
  public:
    struct Script {
        int connectError = 0;      // nonzero: connect answers it
        int errFromDevice = 0;     // written when the device "answered" (no error, or -30008)
        uint8_t mode = 2;          // 0, 1, 2 or 255 for a live session
        std::set<int> takenPorts;  // local ports another program holds
    };

    void script(const std::function<void(Script &)> &edit) {
        std::lock_guard lock(m_mu);
        edit(m_script);
    }
    QStringList calls() const {
        std::lock_guard lock(m_mu);
        return m_calls;
    }
    // What is left up: the agent, live sessions and mapped local ports.
    bool initialized() const {
        std::lock_guard lock(m_mu);
        return m_initialized;
    }
    std::set<int> sessions() const {
        std::lock_guard lock(m_mu);
        return m_sessions;
    }
    std::set<int> mappedPorts() const {
        std::lock_guard lock(m_mu);
        std::set<int> ports;
        for (const auto &[index, port] : m_mappings) ports.insert(port);
        return ports;
    }
    // Holds every later connect until released (or until `releaseConnect`).
    void holdConnect() {
        std::lock_guard lock(m_mu);
        m_hold = true;
    }
    void releaseConnect() {
        {
            std::lock_guard lock(m_mu);
            m_hold = false;
        }
        m_cv.notify_all();
    }
    // True once a connect waits at the latch.
    bool connectWaiting() const {
        std::lock_guard lock(m_mu);
        return m_waiting;
    }
    // Calls the status handler from a thread of its own, as the library does; returns that thread's id.
    std::thread::id fireStatus(int errorCode, int sessionId) {
        StatusHandler handler;
        {
            std::lock_guard lock(m_mu);
            handler = m_handler;
        }
        std::thread::id id;
        std::thread t([&] {
            id = std::this_thread::get_id();
            if (handler) handler(errorCode, sessionId);
        });
        t.join();
        return id;
    }

    int initialize(int maxSessions) override {
        std::lock_guard lock(m_mu);
        m_calls << QStringLiteral("init %1").arg(maxSessions);
        if (m_initialized) return -30007;
        m_initialized = true;
        return 0;
    }
    int deInitialize() override {
        std::lock_guard lock(m_mu);
        m_calls << QStringLiteral("deinit");
        if (!m_initialized) return -30000;
        m_initialized = false;
        m_handler = nullptr;
        m_sessions.clear();
        m_mappings.clear();
        return 0;
    }
    int connect(const QByteArray &uid, const QByteArray &authData, int *errFromDevice) override {
        std::unique_lock lock(m_mu);
        m_calls << QStringLiteral("connect %1").arg(QString::fromUtf8(uid));
        m_lastAuth = authData;
        m_waiting = true;
        m_cv.wait(lock, [&] { return !m_hold; });
        m_waiting = false;
        if (!m_initialized) return -30000;
        if (m_script.connectError != 0) {
            if (m_script.connectError == -30008 && errFromDevice) *errFromDevice = m_script.errFromDevice;
            return m_script.connectError;
        }
        if (errFromDevice) *errFromDevice = m_script.errFromDevice;
        const int sid = m_nextSession++;
        m_sessions.insert(sid);
        return sid;
    }
    int abort(int sessionId) override {
        std::lock_guard lock(m_mu);
        m_calls << QStringLiteral("abort %1").arg(sessionId);
        if (!m_initialized) return -30000;
        if (sessionId < 0 || sessionId > 255) return -30021;
        m_sessions.erase(sessionId);
        return 0;
    }
    void setStatusHandler(StatusHandler handler) override {
        std::lock_guard lock(m_mu);
        m_handler = std::move(handler);
    }
    int portMapping(int sessionId, int localPort, int remotePort) override {
        std::lock_guard lock(m_mu);
        m_calls << QStringLiteral("map %1 %2 %3").arg(sessionId).arg(localPort).arg(remotePort);
        if (!m_sessions.count(sessionId)) return -30021;
        if (m_script.takenPorts.count(localPort)) return -30002;
        for (const auto &[index, port] : m_mappings)
            if (port == localPort) return -30002;
        const int index = m_nextMapping++;
        m_mappings[index] = localPort;
        return index;
    }
    void stopPortMapping(int index) override {
        std::lock_guard lock(m_mu);
        m_calls << QStringLiteral("unmap %1").arg(index);
        m_mappings.erase(index);
    }
    int sessionMode(int sessionId, uint8_t *mode) override {
        std::lock_guard lock(m_mu);
        const bool live = m_sessions.count(sessionId) != 0;
        if (mode) *mode = live ? m_script.mode : 255;
        return live ? 0 : -11;
    }
    QByteArray lastAuth() const {
        std::lock_guard lock(m_mu);
        return m_lastAuth;
    }

  private:
    mutable std::mutex m_mu;
    std::condition_variable m_cv;
    Script m_script;
    QStringList m_calls;
    bool m_initialized = false;
    bool m_hold = false;
    bool m_waiting = false;
    int m_nextSession = 0;
    int m_nextMapping = 0;
    std::set<int> m_sessions;
    std::map<int, int> m_mappings;  // index -> local port
    StatusHandler m_handler;
    QByteArray m_lastAuth;
};
