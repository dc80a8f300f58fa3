#include "platform/MainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace plat {

namespace {

std::mutex g_mu;
std::condition_variable g_cv;
bool g_closed = false;

struct WaitState {
    bool started = false;
    bool done = false;
    bool abandoned = false;  // the waiter left (queue closed): the job must not touch `fn`
};

// Queued call on the application object; drops the call when there is no application. The function goes
// over through our own mutex, so that the hand-over is visible to ThreadSanitizer (Qt's queue locks are not).
void enqueue(std::function<void()> fn) {
    QCoreApplication *app = QCoreApplication::instance();
    if (app == nullptr) return;
    auto box = std::make_shared<std::pair<std::mutex, std::function<void()>>>();
    {
        std::lock_guard<std::mutex> lock(box->first);
        box->second = std::move(fn);
    }
    QMetaObject::invokeMethod(
        app,
        [box] {
            std::function<void()> call;
            {
                std::lock_guard<std::mutex> lock(box->first);
                call = std::move(box->second);
            }
            {
                std::lock_guard<std::mutex> lock(g_mu);
                if (g_closed) return;
            }
            if (call) call();
        },
        Qt::QueuedConnection);
}

}  // namespace

bool isMainThread() {
    QCoreApplication *app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

void MainQueue::post(std::function<void()> fn) {
    if (isClosed()) return;
    enqueue(std::move(fn));
}

void MainQueue::post(QObject *context, std::function<void()> fn) {
    if (isClosed() || context == nullptr) return;
    // A queued call to a context that dies before it runs is dropped by Qt itself; the context must live
    // on the main thread for the call to run there.
    QPointer<QObject> guard(context);
    enqueue([guard, fn = std::move(fn)] {
        if (guard) fn();
    });
}

bool MainQueue::postAndWait(const std::function<void()> &fn) {
    if (isMainThread()) {
        if (isClosed()) return false;
        fn();
        return true;
    }
    auto state = std::make_shared<WaitState>();
    {
        std::lock_guard<std::mutex> lock(g_mu);
        if (g_closed) return false;
    }
    QCoreApplication *app = QCoreApplication::instance();
    if (app == nullptr) return false;
    // `fn` lives on the waiter's stack; the job runs it only while the waiter still waits for it.
    const std::function<void()> *call = &fn;
    QMetaObject::invokeMethod(
        app,
        [state, call] {
            {
                std::lock_guard<std::mutex> lock(g_mu);
                if (g_closed || state->abandoned) return;
                state->started = true;
            }
            (*call)();
            {
                std::lock_guard<std::mutex> lock(g_mu);
                state->done = true;
            }
            g_cv.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(g_mu);
    // close() runs on the main thread, so a job that started there finishes before close() can run.
    g_cv.wait(lock, [&] { return state->done || (g_closed && !state->started); });
    if (!state->done) state->abandoned = true;
    return state->done;
}

void MainQueue::close() {
    {
        std::lock_guard<std::mutex> lock(g_mu);
        g_closed = true;
    }
    g_cv.notify_all();
}

void MainQueue::reopen() {
    std::lock_guard<std::mutex> lock(g_mu);
    g_closed = false;
}

bool MainQueue::isClosed() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_closed;
}

}  // namespace plat
