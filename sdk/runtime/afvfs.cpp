#include "runtime/afvfs.h"

#include <cstdlib>

#include "base/qv_log.h"
#include "runtime/db_task.h"

int afvfs_query_cache_value(const char *key, char **out, db_task *task) {
    if (key == nullptr || out == nullptr || task == nullptr) {
        QV_LOG_ERROR("para is null.");
        return -1;
    }
    cache_info req{const_cast<char *>(key), nullptr, 1};
    if (_handle_cache_table_query(&req, task) != 0) {
        std::free(req.value);
        return -1;
    }
    *out = req.value;
    return 0;
}

int afvfs_insert_cache_value(const char *key, const char *value, db_task *task) {
    if (key == nullptr || value == nullptr || task == nullptr) {
        QV_LOG_ERROR("para is null.");
        return -1;
    }
    cache_info req{const_cast<char *>(key), const_cast<char *>(value), 1};
    if (_handle_cache_table_insert(&req, task) != 0) {
        QV_LOG_ERROR("insert cache table error");
        return -1;
    }
    return 0;
}

int afvfs_update_cache_info(const char *key, const char *value, db_task *task) {
    if (key == nullptr || value == nullptr || task == nullptr) {
        QV_LOG_ERROR("para is null.");
        return -1;
    }
    cache_info req{const_cast<char *>(key), const_cast<char *>(value), 1};
    if (_handle_cache_table_update(&req, task) != 0) {
        QV_LOG_ERROR("update cache table error");
        return -1;
    }
    return 0;
}

int afvfs_delete_cache_value(const char *key, db_task *task) {
    if (task == nullptr) {
        QV_LOG_ERROR("para is null.");
        return -1;
    }
    cache_info req{const_cast<char *>(key), nullptr, 1};
    if (_handle_cache_table_delete(&req, task) != 0) {
        QV_LOG_ERROR("delete cache table error");
        return -1;
    }
    return 0;
}

int afvfs_query_identifier(char **out, db_task *task) {
    if (out == nullptr || task == nullptr) {
        QV_LOG_ERROR("para is null.");
        return -1;
    }
    identify_info req{nullptr, 1};
    if (_handle_identify_table_query(&req, task) != 0 || req.identifier == nullptr) {
        std::free(req.identifier);
        return -1;
    }
    *out = req.identifier;
    return 0;
}

int afvfs_insert_identifier(const char *identifier, db_task *task) {
    if (identifier == nullptr || task == nullptr) {
        QV_LOG_ERROR("para is null.");
        return -1;
    }
    identify_info req{const_cast<char *>(identifier), 1};
    if (_handle_identify_table_insert(&req, task) != 0) {
        QV_LOG_ERROR("insert identify table error");
        return -1;
    }
    return 0;
}
