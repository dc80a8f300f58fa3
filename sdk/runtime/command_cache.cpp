#include "runtime/command_cache.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/qv_log.h"
#include "runtime/afvfs.h"
#include "runtime/db_task.h"

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

struct Store {
    std::mutex mu;
    bool open = false;
    CacheDb db[2];
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
    return 0;
}

int QVDataCacheDestroy() {
    Store &s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.open) return -1;
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
    std::unique_lock<std::mutex> lock(s.mu, std::try_to_lock);
    if (!lock.owns_lock()) {
        QV_LOG_ERROR("pthread_mutex_trylock failed, res=%d", EBUSY);
        return -1;
    }
    CacheDb &d = db_of(selector);
    if (!s.open || !settle(d)) return -1;
    return afvfs_query_cache_value(key, out, d.task) == 0 ? 0 : -1;
}

int QVDataCacheInsertValue(const char *key, const char *value, int selector) {
    if (key == nullptr || value == nullptr) {
        QV_LOG_ERROR("para is error.");
        return -1;
    }
    Store &s = store();
    std::unique_lock<std::mutex> lock(s.mu, std::try_to_lock);
    if (!lock.owns_lock()) {
        QV_LOG_ERROR("pthread_mutex_trylock failed, res=%d", EBUSY);
        return -1;
    }
    CacheDb &d = db_of(selector);
    if (!s.open || !settle(d)) return -1;
    if (afvfs_insert_cache_value(key, value, d.task) != 0) {
        QV_LOG_ERROR("afvfs_insert_cache_value failed.");
        return -1;
    }
    return 0;
}

int QVDataCacheReset(const char *identifier, int selector) {
    Store &s = store();
    std::unique_lock<std::mutex> lock(s.mu, std::try_to_lock);
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
    std::unique_lock<std::mutex> lock(s.mu, std::try_to_lock);
    if (!lock.owns_lock()) return -1;
    if (!s.open) return -1;
    CacheDb &d = db_of(selector);
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
    if (afvfs_query_cache_value(key, out, d.task) != 0) {
        QV_LOG_ERROR("data cache query error");
        return -1;
    }
    return 0;
}

int QVDataCacheInsertChecked(const char *key, const char *value, int selector, const std::string &identifier,
                             const uint64_t *generation) {
    if (key == nullptr || value == nullptr || identifier.empty()) return -1;
    Store &s = store();
    std::unique_lock<std::mutex> lock(s.mu, std::try_to_lock);
    if (!lock.owns_lock()) return -1;
    if (!s.open) return -1;
    CacheDb &d = db_of(selector);
    if (d.identifier != identifier) return -1;
    if (!settle(d)) return -1;
    // A reply read before a reset or a drop may describe the older state: it is not kept.
    if (generation != nullptr && *generation != d.generation.load()) return -1;
    if (afvfs_insert_cache_value(key, value, d.task) != 0) {
        QV_LOG_ERROR("afvfs_insert_cache_value failed.");
        return -1;
    }
    return 0;
}

int QVDataCacheDeleteValue(const char *key, int selector) {
    if (key == nullptr) return -1;
    CacheDb &d = db_of(selector);
    {
        std::lock_guard<std::mutex> lock(d.drop_keys_mu);
        d.drop_keys.emplace_back(key);
    }
    Store &s = store();
    std::unique_lock<std::mutex> lock(s.mu, std::try_to_lock);
    if (!lock.owns_lock() || !s.open) return -1;
    return settle(d) ? 0 : -1;
}

void QVDataCacheDropAll() {
    Store &s = store();
    for (CacheDb &d : s.db) {
        d.generation.fetch_add(1);
        d.drop_all.store(true);
    }
    std::unique_lock<std::mutex> lock(s.mu, std::try_to_lock);
    if (!lock.owns_lock() || !s.open) return;
    for (CacheDb &d : s.db) settle(d);
}

std::unique_lock<std::mutex> QVDataCacheHold() {
    return std::unique_lock<std::mutex>(store().mu);
}
