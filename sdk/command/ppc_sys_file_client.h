// One page of a folder listing and the plain file-system commands on the device's folders.
#pragma once

#include <cstdint>

#include "codec/client_info.h"
#include "codec/file_list.h"

struct file_stat;

// One page of a folder listing: `count` entries of `totalCount`, in `list` in the reply's order. The
// caller frees the list with ppc_destory_file_list and then the page with free.
using file_list_page = file_list_info;

// Folder page (101): entries offset .. offset + length of `path`. On 0 the new page goes to `*out`;
// otherwise nothing is handed out. -1 for a missing path or out pointer, QV_ERR_SOCK_ALLOC when the page
// cannot be allocated (nothing sent in either case).
int QV_FileGetList(path_info *path, int32_t offset, int32_t length, int32_t sortType, file_list_page **out,
                   int64_t token);
// Create a folder (102); `mode` is not sent.
int handle_mkdir_task(path_info *path, int32_t mode, int64_t token);
// Remove a folder / delete a file (109; the same request).
int handle_rmdir_task(path_info *path, int64_t token);
int handle_unlink_task(path_info *path, int64_t token);
// Rename (103).
int handle_rename_task(path_info *from, path_info *to, int64_t token);
// Attributes (105) into the caller's zeroed record.
int handle_stat_task(path_info *path, file_stat *st, int64_t token);
