// Delivery of work to the main thread (the thread of QCoreApplication): queued posts and posts that wait.
#pragma once

#include <QObject>
#include <QPointer>
#include <functional>

namespace plat {

// True on the thread of the QCoreApplication.
bool isMainThread();

class MainQueue final {
  public:
    MainQueue() = delete;

    // Runs `fn` on the main thread later (queued). Dropped after close().
    static void post(std::function<void()> fn);
    // As post, and dropped when `context` is gone by the time the call would run.
    static void post(QObject *context, std::function<void()> fn);
    // Runs `fn` on the main thread and returns when it has run. On the main thread it runs at once (a
    // request answered on its caller's thread must not deadlock). Returns false, without running `fn`,
    // when the queue is closed before `fn` started (the waiting worker is freed by close()).
    static bool postAndWait(const std::function<void()> &fn);
    // Releases every worker blocked in postAndWait and drops every later post. Called once the event
    // loop has ended; reopen() exists for tests.
    static void close();
    static void reopen();
    static bool isClosed();
};

}  // namespace plat
