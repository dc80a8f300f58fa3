// The database task of one command-cache file: its connection and the two message callbacks through
// which every read and write of that file goes, the request handlers that send those messages, and the
// module calls that turn a path into a task, tear it down and rebuild a file from nothing. Everything
// runs on the caller's thread; a write takes the task's lock without waiting.
#pragma once

#include <cstdint>
#include <mutex>

#include "runtime/cache_table.h"

struct sqlite3;
struct db_msg;
struct db_task;

using db_msg_cb = int (*)(db_task *task, db_msg *msg);

struct db_task {
    std::mutex mutex;
    db_msg_cb query_msg_cb = nullptr;
    db_msg_cb write_msg_cb = nullptr;
    sqlite3 *db = nullptr;
};

enum db_msg_type : int32_t {
    DB_MSG_CACHE_INSERT = 769,
    DB_MSG_CACHE_UPDATE = 770,
    DB_MSG_CACHE_DELETE = 771,
    DB_MSG_CACHE_QUERY = 772,
    DB_MSG_IDENTIFY_INSERT = 773,
    DB_MSG_IDENTIFY_UPDATE = 774,
    DB_MSG_IDENTIFY_QUERY = 776,
};

struct db_msg {
    int32_t m_type;
    cache_info *cache_insert;
    identify_info *identify_insert;
    cache_info *cache_delete;
    cache_info *cache_update;
    identify_info *identify_update;
    cache_info *cache_query;
    identify_info *identify_query;
};

db_msg *_new_message();
db_msg *create_sync_message();
// Frees *msg (the place is not cleared): 0, or -1 ("NULL POINTER") for no place or an empty one.
int free_sync_message(db_msg **msg);
db_msg *new_message();
db_msg *create_message();
int free_message(db_msg **msg);

// A task with its connection open on `path` (write-ahead log, synchronous NORMAL), or null.
db_task *create_db_task(const char *path);
// Closes and frees the task: 0, the close's code, or -1 for no task. Waits for the task's lock.
int destroy_db_task(db_task *task);
// A change inside a transaction; the lock is only tried (-1 when busy). Any failure rolls back.
int db_write_task_msg_cb(db_task *task, db_msg *msg);
// A read, outside any transaction and lock.
int db_query_task_msg_cb(db_task *task, db_msg *msg);

int _handle_cache_table_insert(cache_info *req, db_task *task);
int _handle_cache_table_update(cache_info *req, db_task *task);
int _handle_cache_table_delete(cache_info *req, db_task *task);
int _handle_cache_table_query(cache_info *req, db_task *task);
int _handle_identify_table_insert(identify_info *req, db_task *task);
int _handle_identify_table_update(identify_info *req, db_task *task);
int _handle_identify_table_query(identify_info *req, db_task *task);

// A working task for `path`: the file is created when missing, its tables made when missing, and a file
// SQLite rejects as not a database is replaced by a new one. Null on failure.
db_task *db_module_init(const char *path);
int db_module_destroy(db_task *task);
// Closes the task in *slot, removes the file and opens a new empty one into *slot: 0 or -1 (the slot is
// then empty).
int db_module_rebuild(const char *path, db_task **slot);
