// The context of a long-running or pooled request: cancel flag, progress, streamed-reply callbacks, result
// holder, descriptor and time-out. Allocated zeroed by whoever starts the request and freed by it; the
// runtime links it into its task list so that cancel calls can find it by `id`.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "base/file_types.h"

struct file_list_info;
struct client_file_task;

using file_task_parse_fn = int (*)(const char *chunk, client_file_task *task);
using file_task_cb = void (*)(client_file_task *task);
using file_task_stream_fn = int (*)(int32_t seq, char *buf, int size, client_file_task *task);

struct client_file_task {
    client_file_task *next;
    client_file_task *prev;

    // Read and written across threads (cancel calls, progress readers): atomics.
    std::atomic<int64_t> id;  // the request's sequence number
    // 0 running; -1 cancel: exchanges end with QV_ERR_CANCELLED at their next check.
    std::atomic<int32_t> cancel_status;
    std::atomic<int32_t> status;  // "status" of the latest streamed chunk
    int32_t task_type;
    int64_t token;
    // The request's command code: a chunk whose header answers another command is refused (0: not checked).
    int32_t cmd;

    file_task_parse_fn parse_cb;  // per chunk of a chunked reply
    file_task_cb chunk_cb;        // progress: after each chunk, and as a transfer advances
    file_task_cb destroy_cb;      // after chunk_cb: frees the chunk's result holder
    void *user_ctx;               // argument of the caller's callbacks

    file_list_info *file_list;  // result holder of a streamed page

    std::atomic<int64_t> total_progress;
    std::atomic<int64_t> cur_progress;

    // GPS listing: the rectangle's corners.
    double latitude1, longitude1, latitude2, longitude2;
    // Search: a private copy of the caller's condition.
    search_condition search;
    int32_t currentOnly;
    // Tagged upload.
    char **tagList;
    int32_t tagCount;
    // Backup.
    backup_result_info *backup_result;
    // Firmware update.
    int32_t ota_status;
    int32_t delay;
    char version[32];
    char *reserved;
    // Device operation.
    int32_t dev_status;
    // Reverse push: pending pushed texts (owned).
    char *usb_value;
    char *userdb_value;
    char *recentdb_value;
    // Download: resume state.
    record_dnode *range_list;
    FILE *cfg_stream;
    char *tmp_path;

    int32_t fd;        // local file or own socket; -1 when none
    int32_t timeout;   // ms; 0 means QV_DEFAULT_TIMEOUT_MS
    void *held_conn;   // a pooled connection held between keep-alive exchanges
    int32_t held_ret;  // result of the last exchange on the task's own socket

    file_task_stream_fn stream_cb;  // data source of a stream upload
    void *stream_ctx;

    uint8_t keep_alive;

    // Stream upload: bytes already taken from stream_cb during the current call (a stream cannot rewind,
    // so a later range of the same call skips only what lies between this and its start).
    int64_t stream_pos;
};

// A zeroed task (fd -1). Free with client_file_task_free, which releases only what the task owns itself
// (pending pushed texts, the reserved text), not lists handed to callers.
client_file_task *client_file_task_new();
void client_file_task_free(client_file_task *task);
