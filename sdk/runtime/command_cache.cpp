#include "runtime/command_cache.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/qv_log.h"
#include "runtime/afvfs.h"
#include "runtime/db_task.h"
#include "runtime/decoded_cache.h"

namespace {

struct CacheDb {
    db_task *task = nullptr;
    std::string path;
    std::string identifier;
    std::atomic<uint64_t> generation{0};
    std::atomic<bool> drop_all{false};  // every row to go before the next read or store
    std::mutex drop_keys_mu;            // rows of unparsable texts still to go
    std::vector<std::string> drop_keys;
};

// A store taken from the command path, waiting for the writer.
struct Pending {
    int selector;
    std::string key, value, identifier;
    uint64_t generation;
    bool cancelled = false;  // replaced, or its row dropped, before it was written (writer's mutex)
};

// The writer thread and its queue. Its mutex is taken after the cache mutex, never before it.
struct Writer {
    std::mutex mu;
    std::condition_variable wake, idle;
    std::deque<std::shared_ptr<Pending>> queue;
    std::shared_ptr<Pending> writing;  // taken off the queue, not yet written
    size_t bytes = 0;
    bool running = false;
    bool stopping = false;
    bool settle_wanted = false;  // a drop found the cache busy: the writer carries it out
    bool settling = false;       // the writer is carrying out drops
    std::thread thread;
    // The writer holds the cache mutex for one statement at a time. A caller that finds it held by the
    // writer waits for that statement (never longer than kWriterWait), and the writer lets waiting
    // callers go before it takes the mutex again.
    std::atomic<bool> holding{false};
    std::atomic<int> waiting{0};
    std::condition_variable released;
};

constexpr auto kWriterWait = std::chrono::milliseconds(100);

struct Store {
    std::mutex life;  // one open or close at a time; taken before everything else
    std::mutex mu;
    bool open = false;
    CacheDb db[2];
    Writer writer;
};

Store &store() {
    static Store s;
    return s;
}

CacheDb &db_of(int selector) {
    return store().db[selector != 0 ? CACHE_DB_RECENT : CACHE_DB_USER];
}

void close_db(CacheDb &d) {
    if (d.task != nullptr && destroy_db_task(d.task) != 0) QV_LOG_ERROR("destroy_db_task error.");
    d.task = nullptr;
}

// Under the mutex: carries out pending drops. False when one could not be done (busy file); the caller
// then neither serves nor stores.
bool settle(CacheDb &d) {
    if (d.task == nullptr) return false;
    if (d.drop_all.exchange(false)) {
        if (afvfs_delete_cache_value(nullptr, d.task) != 0) {
            d.drop_all.store(true);
            return false;
        }
        d.generation.fetch_add(1);
    }
    std::vector<std::string> keys;
    {
        std::lock_guard<std::mutex> lock(d.drop_keys_mu);
        keys.swap(d.drop_keys);
    }
    for (size_t i = 0; i < keys.size(); ++i) {
        if (afvfs_delete_cache_value(keys[i].c_str(), d.task) != 0) {
            std::lock_guard<std::mutex> lock(d.drop_keys_mu);
            d.drop_keys.insert(d.drop_keys.end(), keys.begin() + static_cast<long>(i), keys.end());
            return false;
        }
    }
    return true;
}

int selector_index(int selector) {
    return selector != 0 ? CACHE_DB_RECENT : CACHE_DB_USER;
}

// Marks every queued store of `key` in `selector` as not to be written.
void cancel_pending(int selector, const char *key) {
    Writer &w = store().writer;
    std::lock_guard<std::mutex> lock(w.mu);
    for (auto &p : w.queue)
        if (p->selector == selector && p->key == key) p->cancelled = true;
    if (w.writing && w.writing->selector == selector && w.writing->key == key) w.writing->cancelled = true;
}

// The text of the latest store of `key` still waiting for the writer, when it was taken for
// `identifier` in the database's present generation. A store is taken only while the database belongs
// to its identifier, and the identifier changes only with the generation, so this needs no cache mutex.
bool pending_text(const CacheDb &d, int selector, const char *key, const std::string &identifier,
                  char **out) {
    Writer &w = store().writer;
    std::lock_guard<std::mutex> lock(w.mu);
    std::shared_ptr<Pending> found;
    if (w.writing && !w.writing->cancelled && w.writing->selector == selector && w.writing->key == key)
        found = w.writing;
    for (auto &p : w.queue)
        if (!p->cancelled && p->selector == selector && p->key == key) found = p;
    if (!found || found->identifier != identifier || found->generation != d.generation.load()) return false;
    *out = strdup(found->value.c_str());
    return *out != nullptr;
}

// The cache mutex for a caller's read, store or reset: taken at once, or after the writer's statement
// in progress; not taken (a miss, a dropped store) when anyone else holds it.
std::unique_lock<std::mutex> try_cache_mutex() {
    Store &s = store();
    Writer &w = s.writer;
    std::unique_lock<std::mutex> lock(s.mu, std::try_to_lock);
    if (lock.owns_lock() || !w.holding.load()) return lock;
    w.waiting.fetch_add(1);
    {
        std::unique_lock<std::mutex> wl(w.mu);
        w.released.wait_for(wl, kWriterWait, [&] { return !w.holding.load(); });
    }
    lock.try_lock();
    if (w.waiting.fetch_sub(1) == 1) {
        std::lock_guard<std::mutex> wl(w.mu);
        w.released.notify_all();
    }
    return lock;
}

// The writer's hold of the cache mutex, taken once no caller waits for it (or after kWriterWait).
class WriterHold {
  public:
    WriterHold() : s_(store()) {
        Writer &w = s_.writer;
        {
            std::unique_lock<std::mutex> wl(w.mu);
            w.released.wait_for(wl, kWriterWait, [&] { return w.waiting.load() == 0; });
        }
        lock_ = std::unique_lock<std::mutex>(s_.mu);
        w.holding.store(true);
    }
    ~WriterHold() {
        Writer &w = s_.writer;
        w.holding.store(false);
        lock_.unlock();
        std::lock_guard<std::mutex> wl(w.mu);
        w.released.notify_all();
    }
    WriterHold(const WriterHold &) = delete;
    WriterHold &operator=(const WriterHold &) = delete;

  private:
    Store &s_;
    std::unique_lock<std::mutex> lock_;
};

// Asks the writer to carry out the drops that found the cache busy.
void want_settle() {
    Writer &w = store().writer;
    std::lock_guard<std::mutex> lock(w.mu);
    w.settle_wanted = true;
    w.wake.notify_one();
}

// The writer thread: writes the queued stores in order, each under the cache mutex and only while the
// database is still in the state the store was taken in. Ends when stopped and the queue is empty.
void writer_loop() {
    Store &s = store();
    Writer &w = s.writer;
    std::unique_lock<std::mutex> wl(w.mu);
    for (;;) {
        w.wake.wait(wl, [&] { return !w.queue.empty() || w.stopping || w.settle_wanted; });
        if (w.settle_wanted) {
            w.settle_wanted = false;
            w.settling = true;
            wl.unlock();
            {
                WriterHold hold;
                bool settled = true;
                if (s.open)
                    for (CacheDb &d : s.db) settled = settle(d) && settled;
                if (!settled) QV_LOG_ERROR("cache drops still pending");
            }
            wl.lock();
            w.settling = false;
            w.idle.notify_all();
            continue;
        }
        if (w.queue.empty()) break;
        w.writing = std::move(w.queue.front());
        w.queue.pop_front();
        std::shared_ptr<Pending> job = w.writing;
        wl.unlock();
        {
            WriterHold hold;
            CacheDb &d = s.db[job->selector];
            bool write = false;
            {
                std::lock_guard<std::mutex> check(w.mu);
                write = !job->cancelled;
            }
            write = write && s.open && d.identifier == job->identifier &&
                    d.generation.load() == job->generation && settle(d) &&
                    d.generation.load() == job->generation;
            if (write && afvfs_insert_cache_value(job->key.c_str(), job->value.c_str(), d.task) != 0)
                QV_LOG_ERROR("afvfs_insert_cache_value failed.");
        }
        wl.lock();
        w.bytes -= job->value.size();
        w.writing.reset();
        w.idle.notify_all();
    }
    w.running = false;
    w.idle.notify_all();
}

void start_writer() {
    Writer &w = store().writer;
    std::lock_guard<std::mutex> lock(w.mu);
    w.stopping = false;
    w.running = true;
    w.thread = std::thread(writer_loop);
}

// Writes what is queued, then ends the thread. Called without the cache mutex.
void stop_writer() {
    Writer &w = store().writer;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        w.stopping = true;
        w.wake.notify_all();
    }
    if (w.thread.joinable()) w.thread.join();
}

// Under the mutex: the database of `selector` made to belong to `identifier`.
int reset_locked(const char *identifier, int selector) {
    CacheDb &d = db_of(selector);
    if (d.task == nullptr) return -1;
    char *stored = nullptr;
    if (afvfs_query_identifier(&stored, d.task) == 0 && std::strcmp(stored, identifier) == 0) {
        std::free(stored);
        d.identifier = identifier;
        return settle(d) ? 0 : -1;
    }
    std::free(stored);
    QV_LOG_MSG("identifier has been changed, and need to create cache file again.");
    d.identifier.clear();
    d.generation.fetch_add(1);
    decoded_cache_clear(selector);
    if (db_module_rebuild(d.path.c_str(), &d.task) != 0) {
        QV_LOG_ERROR("db_rebuild failed.");
        return -1;
    }
    d.drop_all.store(false);
    {
        std::lock_guard<std::mutex> lock(d.drop_keys_mu);
        d.drop_keys.clear();
    }
    if (afvfs_insert_identifier(identifier, d.task) != 0) {
        QV_LOG_ERROR("afvfs_insert_identifier failed.");
        return -1;
    }
    d.identifier = identifier;
    return 0;
}

int open_db(CacheDb &d, const std::string &dir, const char *name) {
    d.path = dir + "/" + name;
    QV_LOG_MSG("db file path:%s", d.path.c_str());
    d.task = db_module_init(d.path.c_str());
    if (d.task == nullptr) {
        QV_LOG_ERROR("db_module_init error:%s", d.path.c_str());
        return -1;
    }
    char *ident = nullptr;
    d.identifier.clear();
    if (afvfs_query_identifier(&ident, d.task) == 0) d.identifier = ident;
    std::free(ident);
    d.drop_all.store(false);
    std::lock_guard<std::mutex> lock(d.drop_keys_mu);
    d.drop_keys.clear();
    return 0;
}

}  // namespace

int QVDataCacheInit(const char *dir) {
    if (dir == nullptr || dir[0] == '\0') {
        QV_LOG_ERROR("para is error, cacheDir or cacheIdentifyer is null.");
        return -1;
    }
    Store &s = store();
    std::lock_guard<std::mutex> life(s.life);
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.open) return -1;
    struct stat st {};
    if (::stat(dir, &st) != 0) {
        QV_LOG_MSG("cache dir is not exit!");
        // The folder holds private listings: the owner's alone.
        if (::mkdir(dir, 0700) != 0 && errno != EEXIST) {
            QV_LOG_ERROR("cannot create cache dir: %s", std::strerror(errno));
            return -1;
        }
    }
    const std::string folder(dir);
    if (open_db(s.db[CACHE_DB_USER], folder, "cache.db") != 0 ||
        open_db(s.db[CACHE_DB_RECENT], folder, "recent_cache.db") != 0) {
        close_db(s.db[CACHE_DB_USER]);
        close_db(s.db[CACHE_DB_RECENT]);
        return -1;
    }
    s.open = true;
    start_writer();
    return 0;
}

int QVDataCacheDestroy() {
    Store &s = store();
    std::lock_guard<std::mutex> life(s.life);
    {
        std::lock_guard<std::mutex> lock(s.mu);
        if (!s.open) return -1;
    }
    // The stores already taken are written before the files close (they are what a restart serves).
    stop_writer();
    std::lock_guard<std::mutex> lock(s.mu);
    s.open = false;
    close_db(s.db[CACHE_DB_USER]);
    CacheDb &r = s.db[CACHE_DB_RECENT];
    int rc = 0;
    if (r.task != nullptr) {
        rc = destroy_db_task(r.task);
        if (rc != 0) QV_LOG_ERROR("destroy_db_task error.");
        r.task = nullptr;
    }
    for (CacheDb &d : s.db) {
        d.identifier.clear();
        d.generation.fetch_add(1);
    }
    decoded_cache_clear();
    return rc;
}

bool QVDataCacheIsOpen() {
    Store &s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.open;
}

int QVDataCacheQueryValue(const char *key, char **out, int selector) {
    if (key == nullptr || out == nullptr) {
        QV_LOG_ERROR("para is error.");
        return -1;
    }
    Store &s = store();
    std::unique_lock<std::mutex> lock = try_cache_mutex();
    if (!lock.owns_lock()) {
        QV_LOG_ERROR("pthread_mutex_trylock failed, res=%d", EBUSY);
        return -1;
    }
    CacheDb &d = db_of(selector);
    if (!s.open || !settle(d)) return -1;
    if (pending_text(d, selector_index(selector), key, d.identifier, out)) return 0;
    return afvfs_query_cache_value(key, out, d.task) == 0 ? 0 : -1;
}

int QVDataCacheInsertValue(const char *key, const char *value, int selector) {
    if (key == nullptr || value == nullptr) {
        QV_LOG_ERROR("para is error.");
        return -1;
    }
    Store &s = store();
    std::unique_lock<std::mutex> lock = try_cache_mutex();
    if (!lock.owns_lock()) {
        QV_LOG_ERROR("pthread_mutex_trylock failed, res=%d", EBUSY);
        return -1;
    }
    CacheDb &d = db_of(selector);
    if (!s.open || !settle(d)) return -1;
    cancel_pending(selector_index(selector), key);
    decoded_cache_drop(selector_index(selector), key);
    if (afvfs_insert_cache_value(key, value, d.task) != 0) {
        QV_LOG_ERROR("afvfs_insert_cache_value failed.");
        return -1;
    }
    return 0;
}

int QVDataCacheReset(const char *identifier, int selector) {
    Store &s = store();
    std::unique_lock<std::mutex> lock = try_cache_mutex();
    if (!lock.owns_lock()) {
        QV_LOG_ERROR("pthread_mutex_trylock failed, res=%d", EBUSY);
        return -1;
    }
    if (identifier == nullptr) {
        QV_LOG_ERROR("para is error.");
        return -1;
    }
    if (selector != CACHE_DB_USER && selector != CACHE_DB_RECENT) {
        QV_LOG_ERROR("handle = %d error!", selector);
        return -1;
    }
    if (!s.open) return -1;
    return reset_locked(identifier, selector);
}

std::string QVDataCacheGetIdentifier(int selector) {
    Store &s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    return db_of(selector).identifier;
}

int QVDataCacheQueryChecked(const char *key, char **out, int selector, const std::string &identifier,
                            uint64_t *generation) {
    if (key == nullptr || out == nullptr || identifier.empty()) return -1;
    Store &s = store();
    CacheDb &d = db_of(selector);
    // A store still queued answers first, without the cache mutex (the writer may be holding it).
    const uint64_t now = d.generation.load();
    if (pending_text(d, selector_index(selector), key, identifier, out)) {
        if (generation != nullptr) *generation = now;
        return 0;
    }
    std::unique_lock<std::mutex> lock = try_cache_mutex();
    if (!lock.owns_lock()) return -1;
    if (!s.open) return -1;
    if (d.identifier != identifier) {
        QV_LOG_MSG("cache identifier differs from the pushed sign, reset");
        if (reset_locked(identifier.c_str(), selector) != 0) {
            QV_LOG_ERROR("qv data cache reset error");
            return -1;
        }
        if (generation != nullptr) *generation = d.generation.load();
        return 0;  // a new database holds nothing
    }
    if (!settle(d)) return -1;
    if (generation != nullptr) *generation = d.generation.load();
    if (pending_text(d, selector_index(selector), key, identifier, out)) return 0;
    if (afvfs_query_cache_value(key, out, d.task) != 0) {
        QV_LOG_ERROR("data cache query error");
        return -1;
    }
    return 0;
}

int QVDataCacheInsertChecked(const char *key, const char *value, int selector, const std::string &identifier,
                             const uint64_t *generation) {
    if (key == nullptr || value == nullptr || identifier.empty()) return -1;
    auto job = std::make_shared<Pending>();  // the text copied before the mutex is tried
    job->value = value;
    Store &s = store();
    std::unique_lock<std::mutex> lock = try_cache_mutex();
    if (!lock.owns_lock()) return -1;
    if (!s.open) return -1;
    CacheDb &d = db_of(selector);
    if (d.identifier != identifier) return -1;
    if (!settle(d)) return -1;
    // A reply read before a reset or a drop may describe the older state: it is not kept.
    if (generation != nullptr && *generation != d.generation.load()) return -1;
    const int sel = selector_index(selector);
    job->selector = sel;
    job->key = key;
    job->identifier = d.identifier;
    job->generation = d.generation.load();
    const size_t size = job->value.size();
    Writer &w = s.writer;
    {
        std::lock_guard<std::mutex> wl(w.mu);
        if (!w.running || w.stopping || w.queue.size() >= kPendingMax || w.bytes + size > kPendingBytesMax) {
            QV_LOG_ERROR("cache writer busy: store dropped");
            return -1;
        }
        for (auto &p : w.queue)
            if (p->selector == sel && p->key == key) p->cancelled = true;
        w.queue.push_back(std::move(job));
        w.bytes += size;
    }
    lock.unlock();
    w.wake.notify_one();
    decoded_cache_drop(sel, key);  // the row is being replaced
    return 0;
}

int QVDataCacheDeleteValue(const char *key, int selector) {
    if (key == nullptr) return -1;
    CacheDb &d = db_of(selector);
    cancel_pending(selector_index(selector), key);
    decoded_cache_drop(selector_index(selector), key);
    {
        std::lock_guard<std::mutex> lock(d.drop_keys_mu);
        d.drop_keys.emplace_back(key);
    }
    Store &s = store();
    std::unique_lock<std::mutex> lock(s.mu, std::try_to_lock);
    if (lock.owns_lock() && s.open && settle(d)) return 0;
    if (lock.owns_lock()) lock.unlock();
    want_settle();
    return -1;
}

void QVDataCacheDropAll() {
    Store &s = store();
    for (CacheDb &d : s.db) {
        d.generation.fetch_add(1);
        d.drop_all.store(true);
    }
    decoded_cache_clear();
    std::unique_lock<std::mutex> lock(s.mu, std::try_to_lock);
    bool settled = lock.owns_lock() && s.open;
    if (settled)
        for (CacheDb &d : s.db) settled = settle(d) && settled;
    if (lock.owns_lock()) lock.unlock();
    if (!settled) want_settle();
}

uint64_t QVDataCacheGeneration(int selector) {
    return db_of(selector).generation.load();
}

void QVDataCacheFlush() {
    Writer &w = store().writer;
    std::unique_lock<std::mutex> lock(w.mu);
    w.idle.wait(lock, [&] {
        return (w.queue.empty() && !w.writing && !w.settle_wanted && !w.settling) || !w.running;
    });
}

std::unique_lock<std::mutex> QVDataCacheHold() {
    return std::unique_lock<std::mutex>(store().mu);
}
