// The task id of a resumable download and its identity file (target + ".qvc.uuid"): the id ties partial
// data to one device file (planned local path, size, modification time).
#pragma once

#include <cstdint>

inline constexpr int QV_TASK_ID_LEN = 32;

// MD5 of the URL-escaped text "%s%lld%ld" (planned path, size, modification time) as 32 upper-case hex
// characters and a terminator. The path may be of any length. 0, or -1 for a null path or output.
int download_task_id(const char *des_path, int64_t size, int64_t mtime, char out[QV_TASK_ID_LEN + 1]);

// Checks the identity file against the id: when missing it is created holding exactly the 32 characters
// (no terminator, no line end). 0 when it holds exactly the id; QV_ERR_OTHER_PARTIAL when it holds anything
// else (a line end after the id included); QV_ERR_LOCAL_FILE2 when it cannot be created, written, opened or
// read.
int check_download_id_file(const char *id_path, const char *id);
