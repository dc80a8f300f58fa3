// The recycle-bin operations with progress: restore, delete for good and empty. Each wraps its device
// command in a task of its own, so that the device's progress chunks reach the caller's event callback, and
// runs entirely on the caller's thread.
#pragma once

#include <cstdint>

#include "base/client_file_task.h"
#include "codec/file_parse_list.h"

// Called on the caller's thread after each progress chunk the device streams, with the task whose id is
// the operation's sequence number and whose status, done and total counters (cur_progress, total_progress)
// hold the chunk's "status", "curCount" and "totalCount". May be null.
using ppc_recycle_event_cb = file_task_cb;

// Restores the listed entries (211) / deletes them for good (212) / empties the bin (213), with a time-out
// of 60000 ms: the result of QV_ResyscleRestoreList, QV_ResyscleDeleteList, QV_ResyscleEmpty (0 only once
// the device has reported the operation done).
int ppc_RecycleRestoreFileList(int32_t seq, resyscle_list_info *list, ppc_recycle_event_cb cb, int64_t token);
int ppc_RecycleDeleteFileList(int32_t seq, resyscle_list_info *list, ppc_recycle_event_cb cb, int64_t token);
int ppc_RecycleEmpty(int32_t seq, ppc_recycle_event_cb cb, int64_t token);
