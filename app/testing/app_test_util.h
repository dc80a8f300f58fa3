// Waiting in the app tests: spin the main thread's event loop until a condition holds.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <functional>

namespace apptest {

// Processes events until `cond` holds; false after `ms` (at most 5 s by default).
inline bool spinUntil(const std::function<bool()> &cond, int ms = 5000) {
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QThread::usleep(200);
    }
    return true;
}

// Processes what is queued now (a few rounds, for posts that post again).
inline void drain() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace apptest
