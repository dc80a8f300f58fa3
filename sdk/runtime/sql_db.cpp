#include "runtime/sql_db.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "base/qv_log.h"

int sqlite3_exec_busy_wait(sqlite3 *db, const char *sql, sql_row_cb cb, void *arg) {
    if (db == nullptr || sql == nullptr) return -1;
    char *err = nullptr;
    const int rc = sqlite3_exec(db, sql, cb, arg, &err);
    if (rc == SQLITE_OK) return 0;
    if (rc == SQLITE_BUSY) {
        QV_LOG_ERROR("sqlite busy when execute %s", sql);
    } else {
        QV_LOG_ERROR("sqlite3 error:%s,sql=%s", err ? err : sqlite3_errstr(rc), sql);
    }
    sqlite3_free(err);
    return rc;
}

int begin_db_transaction(sqlite3 *db) {
    return sqlite3_exec_busy_wait(db, "begin", nullptr, nullptr);
}
int commit_db_transaction(sqlite3 *db) {
    return sqlite3_exec_busy_wait(db, "commit", nullptr, nullptr);
}
int rollback_db_transaction(sqlite3 *db) {
    return sqlite3_exec_busy_wait(db, "rollback", nullptr, nullptr);
}

int create_db_connection(sqlite3 **db, const char *path, int sync) {
    if (db == nullptr || path == nullptr) {
        QV_LOG_ERROR("para is null.");
        return -1;
    }
    *db = nullptr;
    if (db_create(path) != 0) return SQLITE_CANTOPEN;
    const int rc = sqlite3_open_v2(path, db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        QV_LOG_ERROR("Can't open database: %s", *db ? sqlite3_errmsg(*db) : sqlite3_errstr(rc));
        sqlite3_close(*db);
        *db = nullptr;
        return rc;
    }
    sqlite3_exec(*db, "PRAGMA recursive_triggers = true;", nullptr, nullptr, nullptr);
    if (sync) {
        // A commit costs no fsync in the write-ahead log with NORMAL; a lost tail after a power cut
        // only loses cached replies, never the file.
        sqlite3_exec(*db, "PRAGMA journal_mode = WAL;", nullptr, nullptr, nullptr);
        sqlite3_exec(*db, "PRAGMA synchronous = NORMAL;", nullptr, nullptr, nullptr);
    }
    QV_LOG_DEBUG("open db ok");
    return 0;
}

int close_db_connection(sqlite3 *db) {
    // Every statement of this module is finalized before its call returns, so a close is never busy.
    const int rc = sqlite3_close(db);
    if (rc == SQLITE_OK) {
        QV_LOG_DEBUG("close db ok");
    } else {
        QV_LOG_DEBUG("close db error(0x%X)", rc);
    }
    return rc;
}

int wal_hook_callback(void *, sqlite3 *db, const char *, int) {
    const int rc = sqlite3_wal_checkpoint(db, nullptr);
    if (rc != SQLITE_OK) QV_LOG_ERROR("sqlite wal checkpoint error");
    return rc;
}

char *db_str_escape(const char *src, char *dst, size_t size) {
    if (dst == nullptr || size == 0) return nullptr;
    if (src == nullptr) {
        dst[0] = '\0';
        return nullptr;
    }
    const int n = size > 0x7fffffff ? 0x7fffffff : static_cast<int>(size);
    sqlite3_snprintf(n, dst, "%q", src);
    return dst;
}

char *db_str_unescape(const char *src, char *dst) {
    if (dst == nullptr) return nullptr;
    if (src == nullptr) {
        dst[0] = '\0';
        return nullptr;
    }
    char *out = dst;
    for (const char *p = src; *p != '\0'; ++p) {
        if ((*p == '\'' || *p == '"') && p[1] == *p) {
            *out++ = *p++;
        } else if (*p == '/' && p[1] != '\0' && std::strchr("%&()[]", p[1]) != nullptr) {
            *out++ = *++p;
        } else {
            *out++ = *p;
        }
    }
    *out = '\0';
    return dst;
}

uint64_t db_str_hash(const char *bytes, size_t count) {
    uint64_t h = 0;
    for (size_t i = 0; i < count; ++i) {
        const int64_t b = static_cast<signed char>(bytes[i]);
        h = (h << 4) + static_cast<uint64_t>(b);
        const uint64_t g = h & 0xF0000000ULL;
        if (g != 0) h = (h & ~0xF0000000ULL) ^ (g >> 24);
    }
    return h;
}

int createTable(sqlite3 *db, const char *sql) {
    if (db == nullptr || sql == nullptr) {
        QV_LOG_ERROR("para is error, database or sql is null.");
        return -1;
    }
    const int rc = sqlite3_exec_busy_wait(db, sql, nullptr, nullptr);
    if (rc != 0) QV_LOG_ERROR("sqlite3_exec_busy_wait error, sql: %s", sql);
    return rc;
}

int create_db_file(const char *path) {
    if (path == nullptr) return -1;
    if (db_create(path) != 0) return SQLITE_CANTOPEN;
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(path, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        QV_LOG_ERROR("sqlite open db file error,errcode=%d", rc);
        sqlite3_close(db);
        return rc;
    }
    rc = createTable(db, kIdentifyTableDdl);
    if (rc == 0) rc = createTable(db, kCacheTableDdl);
    if (rc != 0) QV_LOG_ERROR("create tables error");
    sqlite3_close(db);
    return rc;
}

int db_create(const char *path) {
    if (path == nullptr) {
        QV_LOG_ERROR("para is error, cacheDir is null!!");
        return -1;
    }
    // Cached listings are private: the file is the owner's alone.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int e = errno;
        QV_LOG_ERROR("fopen %s mode: \"a\" error, errno = %d(%s)", path, e, std::strerror(e));
        return -1;
    }
    ::fchmod(fd, 0600);
    ::close(fd);
    return 0;
}

int db_init(const char *path) {
    const int rc = create_db_file(path);
    if (rc != 0) QV_LOG_ERROR("create db file error");
    return rc;
}

void db_remove_files(const char *path) {
    if (path == nullptr) return;
    const std::string p(path);
    for (const char *suffix : {"", "-journal", "-wal", "-shm"}) ::unlink((p + suffix).c_str());
}
