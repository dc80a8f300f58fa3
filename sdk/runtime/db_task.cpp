#include "runtime/db_task.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdlib>
#include <new>

#include "base/qv_log.h"
#include "runtime/sql_db.h"

db_msg *_new_message() {
    auto *m = static_cast<db_msg *>(std::calloc(1, sizeof(db_msg)));
    if (m == nullptr) QV_LOG_ERROR("malloc error");
    return m;
}

db_msg *create_sync_message() {
    db_msg *m = _new_message();
    if (m == nullptr) QV_LOG_ERROR("new_message failed!");
    return m;
}

int free_sync_message(db_msg **msg) {
    if (msg == nullptr || *msg == nullptr) {
        QV_LOG_ERROR("NULL POINTER");
        return -1;
    }
    std::free(*msg);
    return 0;
}

db_msg *new_message() {
    return _new_message();
}
db_msg *create_message() {
    return _new_message();
}

int free_message(db_msg **msg) {
    if (msg != nullptr) std::free(*msg);
    return 0;
}

db_task *create_db_task(const char *path) {
    if (path == nullptr) {
        QV_LOG_ERROR("para is null.");
        return nullptr;
    }
    auto *t = new (std::nothrow) db_task;
    if (t == nullptr) {
        QV_LOG_ERROR("g_db_task != NULL");
        std::abort();
    }
    t->query_msg_cb = db_query_task_msg_cb;
    t->write_msg_cb = db_write_task_msg_cb;
    if (create_db_connection(&t->db, path, 1) != 0) {
        delete t;
        return nullptr;
    }
    return t;
}

int destroy_db_task(db_task *task) {
    if (task == nullptr) {
        QV_LOG_ERROR("g_db_task=%p", static_cast<void *>(task));
        return -1;
    }
    int rc = 0;
    {
        std::lock_guard<std::mutex> lock(task->mutex);
        rc = close_db_connection(task->db);
        if (rc != 0) QV_LOG_ERROR("cannot close db write handle,ret=0x%x", rc);
        task->db = nullptr;
    }
    delete task;
    return rc;
}

int db_write_task_msg_cb(db_task *task, db_msg *msg) {
    if (task == nullptr || msg == nullptr || task->db == nullptr) {
        QV_LOG_ERROR("database task: invalid parameters\n");
        return -1;
    }
    std::unique_lock<std::mutex> lock(task->mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        QV_LOG_ERROR("pthread_mutex_trylock failed.");
        return -1;
    }
    int rc = begin_db_transaction(task->db);
    if (rc != 0) {
        QV_LOG_ERROR("db start transaction error!");
        return rc;
    }
    switch (msg->m_type) {
        case DB_MSG_CACHE_INSERT:
            rc = cache_table_ops.insert_op(task->db, msg->cache_insert);
            break;
        case DB_MSG_CACHE_UPDATE:
            rc = cache_table_ops.update_op(task->db, msg->cache_update);
            break;
        case DB_MSG_CACHE_DELETE:
            rc = cache_table_ops.delete_op(task->db, msg->cache_delete);
            break;
        case DB_MSG_IDENTIFY_INSERT:
            rc = identify_table_ops.insert_op(task->db, msg->identify_insert);
            break;
        case DB_MSG_IDENTIFY_UPDATE:
            rc = identify_table_ops.update_op(task->db, msg->identify_update);
            break;
        default:
            QV_LOG_ERROR("p_obj->m_type = %d error.", msg->m_type);
            rc = -1;
            break;
    }
    if (rc == 0) {
        rc = commit_db_transaction(task->db);
        if (rc == 0) return 0;
        QV_LOG_ERROR("db commit transaction error!");
    }
    if (rollback_db_transaction(task->db) != 0) QV_LOG_ERROR("db rollback error");
    return rc;
}

int db_query_task_msg_cb(db_task *task, db_msg *msg) {
    if (task == nullptr || msg == nullptr || task->db == nullptr) {
        QV_LOG_ERROR("database task: invalid parameters\n");
        return -1;
    }
    switch (msg->m_type) {
        case DB_MSG_IDENTIFY_QUERY:
            return identify_table_ops.query_op(task->db, msg->identify_query);
        case DB_MSG_CACHE_QUERY:
            return cache_table_ops.query_op(task->db, msg->cache_query);
        default:
            QV_LOG_ERROR("p_obj->m_type = %d error.", msg->m_type);
            return -1;
    }
}

namespace {

template <typename Req>
int handle(Req *req, db_task *task, int32_t kind, Req *db_msg::*slot, bool write, const char *failure) {
    if (req == nullptr || task == nullptr) {
        QV_LOG_ERROR("para is null");
        return -1;
    }
    db_msg *msg = create_sync_message();
    if (msg == nullptr) {
        QV_LOG_ERROR("msg != NULL");
        std::abort();
    }
    msg->*slot = req;
    msg->m_type = kind;
    const db_msg_cb cb = write ? task->write_msg_cb : task->query_msg_cb;
    if (cb == nullptr) {
        free_sync_message(&msg);
        return -1;
    }
    const int rc = cb(task, msg);
    if (rc != 0 && failure != nullptr) QV_LOG_ERROR("%s", failure);
    free_sync_message(&msg);
    return rc;
}

}  // namespace

int _handle_cache_table_insert(cache_info *req, db_task *task) {
    return handle(req, task, DB_MSG_CACHE_INSERT, &db_msg::cache_insert, true, "insert cache info failed");
}
int _handle_cache_table_update(cache_info *req, db_task *task) {
    return handle(req, task, DB_MSG_CACHE_UPDATE, &db_msg::cache_update, true, "update cache info failed");
}
int _handle_cache_table_delete(cache_info *req, db_task *task) {
    return handle(req, task, DB_MSG_CACHE_DELETE, &db_msg::cache_delete, true, "delete cache info failed");
}
int _handle_cache_table_query(cache_info *req, db_task *task) {
    return handle(req, task, DB_MSG_CACHE_QUERY, &db_msg::cache_query, false, nullptr);
}
int _handle_identify_table_insert(identify_info *req, db_task *task) {
    return handle(req, task, DB_MSG_IDENTIFY_INSERT, &db_msg::identify_insert, true,
                  "insert identifier info failed");
}
int _handle_identify_table_update(identify_info *req, db_task *task) {
    return handle(req, task, DB_MSG_IDENTIFY_UPDATE, &db_msg::identify_update, true,
                  "update identifier info failed");
}
int _handle_identify_table_query(identify_info *req, db_task *task) {
    return handle(req, task, DB_MSG_IDENTIFY_QUERY, &db_msg::identify_query, false, nullptr);
}

db_task *db_module_init(const char *path) {
    if (path == nullptr) {
        QV_LOG_ERROR("para is error, g_database is null!!");
        return nullptr;
    }
    struct stat st {};
    if (::stat(path, &st) != 0) {
        QV_LOG_MSG("cache file is not exit, need to create cache file");
        if (const int rc = db_create(path); rc != 0) {
            QV_LOG_ERROR("db_create error, errcode = %d", rc);
            return nullptr;
        }
    }
    // The tables are made on every open, so a file left without them is repaired; a file that is not a
    // database at all only ever held cached replies and is made again.
    int rc = db_init(path);
    if (rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT) {
        QV_LOG_ERROR("cache file is not a database, create it again");
        db_remove_files(path);
        rc = db_init(path);
    }
    if (rc != 0) {
        QV_LOG_ERROR("db_init error, errcode = %d", rc);
        return nullptr;
    }
    db_task *task = create_db_task(path);
    if (task == nullptr) {
        QV_LOG_ERROR("db task create error");
        return nullptr;
    }
    cache_table_register();
    identify_table_register();
    return task;
}

int db_module_destroy(db_task *task) {
    return destroy_db_task(task);
}

int db_module_rebuild(const char *path, db_task **slot) {
    if (path == nullptr || slot == nullptr) {
        QV_LOG_ERROR("cachePath is null");
        return -1;
    }
    const int rc = db_module_destroy(*slot);
    *slot = nullptr;
    if (rc != 0) {
        QV_LOG_ERROR("db_module_destroy failed.");
        return -1;
    }
    db_remove_files(path);
    *slot = db_module_init(path);
    if (*slot == nullptr) {
        QV_LOG_ERROR("db module rebuild error");
        return -1;
    }
    return 0;
}
