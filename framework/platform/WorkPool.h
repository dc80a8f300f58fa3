// The work pools: the global one (64 threads named "qv-work", for jobs that block in the device SDK) and a
// small lane of 4 threads ("qv-mark") for jobs that only mark state, such as cancels, so that they never
// queue behind the work they cancel.
#pragma once

#include <QThreadPool>
#include <functional>

namespace plat {

class WorkPool final {
  public:
    static WorkPool &global();    // 64 threads, expiry 60 s
    static WorkPool &markLane();  // 4 threads
    WorkPool(const WorkPool &) = delete;
    WorkPool &operator=(const WorkPool &) = delete;

    // Runs `fn` on a thread of the pool. A job that waited over 1 s to start is logged when it starts.
    void async(std::function<void()> fn);
    // Waits until every queued job has run (tests and shutdown); false after `ms`.
    bool waitForDone(int ms);
    int maxThreadCount() const { return m_pool.maxThreadCount(); }
    const char *name() const { return m_name; }

  private:
    WorkPool(const char *name, int threads);
    QThreadPool m_pool;
    const char *m_name;
};

// The name of the calling thread as the pools set it ("qv-work", "qv-mark"), else its object name.
QString currentThreadName();

}  // namespace plat
