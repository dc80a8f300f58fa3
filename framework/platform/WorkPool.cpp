#include "platform/WorkPool.h"

#include <pthread.h>

#include <QElapsedTimer>
#include <QThread>
#include <memory>
#include <mutex>

#include "platform/Log.h"

namespace plat {

WorkPool::WorkPool(const char *name, int threads) : m_name(name) {
    m_pool.setMaxThreadCount(threads);
    m_pool.setExpiryTimeout(60000);
    m_pool.setObjectName(QLatin1String(name));
}

WorkPool &WorkPool::global() {
    static auto *const s = new WorkPool("qv-work", 64);  // never destroyed
    return *s;
}

WorkPool &WorkPool::markLane() {
    static auto *const s = new WorkPool("qv-mark", 4);
    return *s;
}

void WorkPool::async(std::function<void()> fn) {
    QElapsedTimer queued;
    queued.start();
    const char *name = m_name;
    // Handed over through our own mutex, so that ThreadSanitizer sees the edge (Qt's locks are futexes).
    auto box = std::make_shared<std::pair<std::mutex, std::function<void()>>>();
    {
        std::lock_guard<std::mutex> lock(box->first);
        box->second = std::move(fn);
    }
    m_pool.start([box, queued, name] {
        std::function<void()> fn;
        {
            std::lock_guard<std::mutex> lock(box->first);
            fn = std::move(box->second);
        }
        QThread *self = QThread::currentThread();
        if (self->objectName() != QLatin1String(name)) {
            self->setObjectName(QLatin1String(name));
            pthread_setname_np(pthread_self(), name);
        }
        const qint64 waited = queued.elapsed();
        if (waited > 1000)
            QVF_LOG_INFO(
                QStringLiteral("job on %1 waited %2 ms to start").arg(QLatin1String(name)).arg(waited));
        // No exception leaves a pool thread's top frame.
        try {
            fn();
        } catch (const std::exception &e) {
            QVF_LOG_ERROR(
                QStringLiteral("job on %1 threw: %2").arg(QLatin1String(name), QLatin1String(e.what())));
        } catch (...) {
            QVF_LOG_ERROR(QStringLiteral("job on %1 threw").arg(QLatin1String(name)));
        }
    });
}

bool WorkPool::waitForDone(int ms) {
    return m_pool.waitForDone(ms);
}

QString currentThreadName() {
    const QString name = QThread::currentThread()->objectName();
    if (!name.isEmpty()) return name;
    char buf[32] = {};
    pthread_getname_np(pthread_self(), buf, sizeof buf);
    return QString::fromLatin1(buf);
}

}  // namespace plat
