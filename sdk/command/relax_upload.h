// Check value of an instant ("relax") upload: the MD5 of the whole content as 32 lower-case hex characters,
// "_" and the size in decimal ("%s_%lld", at most 52 characters; the value buffer needs 53 bytes).
// Computed on the calling thread with progress once a wall-clock second; nothing is sent to the device.
#pragma once

#include <cstddef>

#include "base/client_file_task.h"
#include "command/stream_file_info.h"

inline constexpr size_t QV_AUTH_VALUE_SIZE = 53;

// Of a local file. The task (may be null) gives the cancel flag and the progress callback; total_progress
// is the size, cur_progress the bytes hashed. 0 with the value stored; QV_ERR_FAILED when the file cannot be
// opened, sized or read to its size; QV_ERR_CANCELLED when cancelled (the value buffer is then left alone).
// Exactly the size found at the start is hashed, also when the file grows meanwhile.
int HandleFileGetAuthValueReq(const char *path, char *value, client_file_task *task);
// Of a caller's stream (its size and read callback), asking at most 65,536 bytes at a time and never more
// than what is left of the size. 0, QV_ERR_FAILED (no callback, a read of 0 or less, or more than
// asked), or QV_ERR_CANCELLED.
int HandleFileGetStreamAuthValueReq(const stream_file_info *stream, char *value, client_file_task *task);

// The calls of the command API: the kind text is accepted and not used (the value is always MD5-based).
int QV_GetRelaxUploadAuthValue(const char *path, const char *kind, char *value, client_file_task *task);
int QV_GetStreamRelaxUploadAuthValue(const stream_file_info *stream, const char *kind, char *value,
                                     client_file_task *task);
