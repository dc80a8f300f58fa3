// The caller's record of a stream upload, stream backup or stream check value: the data comes from the
// caller's read callback instead of a local file.
#pragma once

#include <cstdint>

#include "base/client_file_task.h"
#include "codec/client_info.h"

struct stream_file_info {
    int32_t id;
    char reserved[4096];  // not read by the transfer calls
    path_info path;
    int64_t size;
    uint32_t mtime;  // seconds
    // Called with the task's id, a buffer, its size and the task; returns the bytes delivered (at most
    // the size asked); 0 or less ends the stream with an error.
    file_task_stream_fn stream_read;
};
