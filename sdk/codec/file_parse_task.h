// Copy, move, delete-with-progress and search replies, and the streamed search of a task.
#pragma once

#include <cstdint>

#include "codec/client_info.h"

// The delete-list record (167, and the recycle bin operations 211 to 213), carried in `req`: the paths
// the request sends and the progress the replies report.
struct delete_list_req {
    path_info **pathList;  // null-terminated, caller-owned
    int64_t totalCount;    // preset by the caller to the number of paths; then the device's "totalCount"
    int64_t count;         // items done ("curCount")
    uint8_t status;        // "status" of the latest reply
    int32_t taskId;
    void (*progressCb)(client_file_task *task);
};

// Streamed-reply parser of a chunked 117 reply: one batch of results per chunk into the task's
// `file_list`. 0 goes on; -1 ends the reply (the task keeps what was stored).
int parser_FileTaskSearch(const char *chunk, client_file_task *task);
// After-chunk release: frees the task's `file_list` (list and holder) and clears it.
void destroy_FileTaskSearch(client_file_task *task);
