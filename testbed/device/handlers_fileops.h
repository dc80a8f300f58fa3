// File operations over the served folder: mkdir (102), rename (103), exists (104, absence as error
// 10202), delete (109), copy and move (159, 160) and delete with progress (167), the long ones answered
// with streamed progress chunks.
#pragma once

#include "device.h"

namespace qvemu {

struct FileOpOptions {
    bool stream_copy = true;     // false: copy and move answer one whole reply {"status": 2}
    int chunk_interval_ms = 10;  // pause between progress chunks
    int end_status = 2;          // status of the last chunk (or of the whole reply)
};

// Installs (or replaces) the handlers of 102, 103, 104, 109, 159, 160 and 167.
void install_fileop_handlers(Device &device, FileOpOptions options = {});

}  // namespace qvemu
