#include "runtime/cache_table.h"

#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>

#include "base/qv_log.h"

table_ops cache_table_ops{};
table_ops identify_table_ops{};

namespace {

// Prepares `sql`, binds `args` in order, steps to the end. With `out`, the first column of each row is
// copied there (the last row wins). 0, or SQLite's code (5 when the database is busy, at once).
int run(sqlite3 *db, const char *sql, std::initializer_list<const char *> args, char **out = nullptr) {
    sqlite3_stmt *st = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
    if (rc != SQLITE_OK) {
        QV_LOG_ERROR("sqlite3 error:%s,sql=%s", sqlite3_errmsg(db), sql);
        return rc;
    }
    int i = 1;
    for (const char *a : args) {
        rc = sqlite3_bind_text(st, i++, a, -1, SQLITE_STATIC);
        if (rc != SQLITE_OK) break;
    }
    while (rc == SQLITE_OK && (rc = sqlite3_step(st)) == SQLITE_ROW) {
        if (out == nullptr) continue;
        const unsigned char *text = sqlite3_column_text(st, 0);
        if (text == nullptr) {
            rc = SQLITE_OK;
            continue;
        }
        const int n = sqlite3_column_bytes(st, 0);
        char *copy = static_cast<char *>(std::malloc(static_cast<size_t>(n) + 1));
        if (copy == nullptr) {
            QV_LOG_ERROR("calloc failed!");
        } else {
            std::memcpy(copy, text, static_cast<size_t>(n));
            copy[n] = '\0';
            std::free(*out);
            *out = copy;
        }
        rc = SQLITE_OK;
    }
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
    if (rc != SQLITE_OK) QV_LOG_ERROR("sqlite3 statement error, errcode=%d, sql: %s", rc, sql);
    sqlite3_finalize(st);
    return rc;
}

}  // namespace

int identify_table_insert(sqlite3 *db, identify_info *req) {
    if (db == nullptr || req == nullptr) {
        QV_LOG_ERROR("para is null");
        return -1;
    }
    if (req->cmd != 1) {
        QV_LOG_ERROR("identify table insert error, cmd=%d is invalid!", req->cmd);
        return -1;
    }
    if (req->identifier == nullptr) return -1;
    const int rc = run(db, "REPLACE INTO identify_table(IDENTIFIER) VALUES(?)", {req->identifier});
    if (rc != 0) QV_LOG_ERROR("identify table insert error");
    return rc;
}

int identify_table_update(sqlite3 *db, identify_info *req) {
    if (db == nullptr || req == nullptr) return -1;
    if (req->cmd != 1) {
        QV_LOG_ERROR("identify table update error, cmd=%d is invalid!", req->cmd);
        return -1;
    }
    if (req->identifier == nullptr) return -1;
    const int rc = run(db, "UPDATE identify_table SET IDENTIFIER=?", {req->identifier});
    if (rc != 0) QV_LOG_ERROR("identify table update error");
    return rc;
}

int identify_table_query(sqlite3 *db, identify_info *req) {
    if (db == nullptr || req == nullptr) return -1;
    if (req->cmd != 1) {
        QV_LOG_ERROR("identify table query error, cmd=%d is invalid!", req->cmd);
        return -1;
    }
    if (run(db, "SELECT IDENTIFIER FROM identify_table", {}, &req->identifier) != 0) return -1;
    return req->identifier != nullptr ? 0 : kIdentifyEmpty;
}

int identify_table_delete(sqlite3 *db, identify_info *req) {
    return db != nullptr && req != nullptr ? 0 : -1;
}

int cache_table_insert(sqlite3 *db, cache_info *req) {
    if (db == nullptr || req == nullptr) {
        QV_LOG_ERROR("para is null");
        return -1;
    }
    if (req->cmd != 1) {
        QV_LOG_ERROR("cache table insert error, cmd=%d is invalid!", req->cmd);
        return -1;
    }
    if (req->key == nullptr || req->value == nullptr) {
        QV_LOG_ERROR("cache table insert error, key or value is null");
        return -1;
    }
    const int rc = run(db, "REPLACE INTO cache_table(KEY, VALUE) VALUES(?,?)", {req->key, req->value});
    if (rc != 0) QV_LOG_ERROR("cache insert error");
    return rc;
}

int cache_table_update(sqlite3 *db, cache_info *req) {
    if (db == nullptr || req == nullptr) {
        QV_LOG_ERROR("para is null");
        return -1;
    }
    if (req->cmd != 1) {
        QV_LOG_ERROR("cache table update error, cmd=%d is invalid!", req->cmd);
        return -1;
    }
    if (req->key == nullptr || req->value == nullptr) {
        QV_LOG_ERROR("cache table update error, key or value is null");
        return -1;
    }
    const int rc = run(db, "UPDATE cache_table SET VALUE=? WHERE KEY=?", {req->value, req->key});
    if (rc != 0) QV_LOG_ERROR("cache update error");
    return rc;
}

int cache_table_query(sqlite3 *db, cache_info *req) {
    if (db == nullptr || req == nullptr) {
        QV_LOG_ERROR("para is error.");
        return -1;
    }
    if (req->cmd != 1) {
        QV_LOG_ERROR("cache table query error, cmd=%d is invalid!", req->cmd);
        return -1;
    }
    if (req->key == nullptr) {
        QV_LOG_ERROR("para is null.");
        return -1;
    }
    return run(db, "SELECT VALUE FROM cache_table WHERE KEY=?", {req->key}, &req->value);
}

int cache_table_delete(sqlite3 *db, cache_info *req) {
    if (db == nullptr || req == nullptr) return -1;
    if (req->cmd != 1) {
        QV_LOG_ERROR("cache table delete error, cmd=%d is invalid!", req->cmd);
        return -1;
    }
    if (req->key == nullptr) return run(db, "DELETE FROM cache_table", {});
    return run(db, "DELETE FROM cache_table WHERE KEY=?", {req->key});
}

// The entries never change: filled once, so a later registration races with no reader.
void cache_table_register() {
    static std::once_flag once;
    std::call_once(once, [] {
        cache_table_ops.insert_op = [](sqlite3 *db, void *r) {
            return cache_table_insert(db, static_cast<cache_info *>(r));
        };
        cache_table_ops.delete_op = [](sqlite3 *db, void *r) {
            return cache_table_delete(db, static_cast<cache_info *>(r));
        };
        cache_table_ops.query_op = [](sqlite3 *db, void *r) {
            return cache_table_query(db, static_cast<cache_info *>(r));
        };
        cache_table_ops.update_op = [](sqlite3 *db, void *r) {
            return cache_table_update(db, static_cast<cache_info *>(r));
        };
    });
}

void identify_table_register() {
    static std::once_flag once;
    std::call_once(once, [] {
        identify_table_ops.insert_op = [](sqlite3 *db, void *r) {
            return identify_table_insert(db, static_cast<identify_info *>(r));
        };
        identify_table_ops.delete_op = [](sqlite3 *db, void *r) {
            return identify_table_delete(db, static_cast<identify_info *>(r));
        };
        identify_table_ops.query_op = [](sqlite3 *db, void *r) {
            return identify_table_query(db, static_cast<identify_info *>(r));
        };
        identify_table_ops.update_op = [](sqlite3 *db, void *r) {
            return identify_table_update(db, static_cast<identify_info *>(r));
        };
    });
}
