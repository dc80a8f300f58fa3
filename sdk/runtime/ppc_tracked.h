// Tracked calls: one long device operation (a transfer, a check value, a copy, move, delete, search, GPS
// listing or recycle-bin operation) run on the caller's thread as a task of the service context's task
// list, where cancel calls on other threads find it by sequence number or by type.
//
// Every tracked call runs the same way: admitted by the service's call gate (a stop waits for it to
// leave), a zeroed task with the caller's sequence number, token, callback and type, entered at the end of
// the task list, the device call, then the callback cleared and the task unlinked and freed. Nothing of a
// call survives its return: task_count is back to what it was. The callback is called with the task on the
// calling thread, inside the device call; it must not keep the task.
//
// Cancels only mark tasks (cancel flag -1) under the list's mutex; the exchange notices the flag at its
// next check (at most 50 ms) and the call returns QV_ERR_CANCELLED. A sequence number is
// compared as the low 32 bits of the task's id, so that a delete request's negative number is found too.
#pragma once

#include <cstdint>

#include "base/client_file_task.h"
#include "base/file_types.h"
#include "codec/client_info.h"
#include "codec/file_parse_list.h"
#include "codec/file_parse_task.h"
#include "command/exdev_manage.h"
#include "command/stream_file_info.h"
#include "runtime/ppclib.h"

// ---- transfers ----

// Downloads the device file `src` into the local folder `folder` (type 2).
int ppc_file_download(uint32_t seq, const char *folder, path_info *src, int64_t token, file_task_cb cb,
                      ppc_router_task *ctx);
// Uploads a local file into the device folder `dst` (type 1); the tagged forms send "tagList".
int ppc_upload_file(uint32_t seq, const char *local_path, path_info *dst, int64_t token, file_task_cb cb,
                    ppc_router_task *ctx);
int ppc_upload_FileTag(uint32_t seq, const char *local_path, int32_t tag_count, char **tags, path_info *dst,
                       int64_t token, file_task_cb cb, ppc_router_task *ctx);
int ppc_upload_FileTagStream(uint32_t seq, int32_t tag_count, char **tags, stream_file_info *stream,
                             int64_t token, file_task_cb cb, ppc_router_task *ctx);
// Backups for the external device `dev` (type 3); without an entry -1 and no task. The folder-name forms
// write where the file landed into `result` (a new path text the caller frees), when given.
int ppc_backup_file(uint32_t seq, const char *file_uuid, const char *dir_name, const exdev_dnode *dev,
                    const char *local_path, int64_t token, file_task_cb cb, backup_result_info *result,
                    ppc_router_task *ctx);
int ppc_backup_DeviceFile(uint32_t seq, const char *file_uuid, const exdev_dnode *dev, const char *local_path,
                          int64_t token, file_task_cb cb, ppc_router_task *ctx);
int ppc_backup_StreamFile(uint32_t seq, const char *file_uuid, const char *dir_name, const exdev_dnode *dev,
                          stream_file_info *stream, int64_t token, file_task_cb cb,
                          backup_result_info *result, ppc_router_task *ctx);
int ppc_backup_StreamDeviceFile(uint32_t seq, const char *file_uuid, const exdev_dnode *dev,
                                stream_file_info *stream, int64_t token, file_task_cb cb,
                                ppc_router_task *ctx);
// Instant-upload check value into `value` (53 bytes), type 12, no token. Without a progress callback -1
// with nothing computed and `value` untouched: a 0 would be read as a valid value.
int ppc_get_RelaxUploadAuthValue(uint32_t seq, const char *local_path, const char *kind, char *value,
                                 file_task_cb cb, ppc_router_task *ctx);
int ppc_get_StreamRelaxUploadAuthValue(uint32_t seq, const stream_file_info *stream, const char *kind,
                                       char *value, file_task_cb cb, ppc_router_task *ctx);

// ---- file operations ----

// Copy (type 4) and move (type 5) of `src` into the folder `dst`, progress per chunk.
int ppc_file_CopyCb(uint32_t seq, path_info *src, path_info *dst, int64_t token, file_task_cb cb,
                    ppc_router_task *ctx);
int ppc_file_MoveCb(uint32_t seq, path_info *src, path_info *dst, int64_t token, file_task_cb cb,
                    ppc_router_task *ctx);
// Deletes the request's paths (type 7); the task's sequence number and callback are the request's.
int ppc_delete_FileListCb(delete_list_req *req, int64_t token, ppc_router_task *ctx);
// Multi-condition search (type 6) over a private copy of `cond`, taken before the task is listed; the
// callback gets each batch of results in the task's file_list (freed after it returns). 0 when the search
// ran to its end; QV_ERR_CANCELLED when it was cancelled; -1 without a context or condition, with a token
// of 0 or less (nothing sent), or when the device call failed.
int ppc_file_SearchMultiFunc(uint32_t seq, int32_t sort_type, const search_condition *cond, int64_t token,
                             file_task_cb cb, int32_t current_only, ppc_router_task *ctx);
// Searches built from plain arguments: at most 32 words (each cut to 255 characters, a null word sent
// empty), at most 128 bucket ids, a folder path cut to 1023 characters; counts of 0 or less send none.
int ppc_search_all_bucket(ppc_router_task *ctx, int64_t token, uint32_t seq, int32_t sort_type,
                          const char *const *words, const int32_t *word_types, int32_t word_count,
                          file_task_cb cb);
int ppc_search_some_bucket(ppc_router_task *ctx, const int32_t *bucket_ids, int32_t bucket_count,
                           int64_t token, uint32_t seq, int32_t sort_type, const char *const *words,
                           const int32_t *word_types, int32_t word_count, file_task_cb cb);
int ppc_search_specify_single_path(ppc_router_task *ctx, int32_t bucket_id, int64_t token, const char *path,
                                   uint32_t seq, int32_t sort_type, const char *const *words,
                                   const int32_t *word_types, int32_t word_count, file_task_cb cb);
// Photos inside the rectangle of two corners (latitude, longitude each), type 8; pages reach the callback
// in the task's file_list.
int ppc_get_FileGpsList(uint32_t seq, gps_condition *scope, double lat1, double lon1, double lat2,
                        double lon2, int64_t token, file_task_cb cb, ppc_router_task *ctx);

// ---- recycle bin ----

// Restore, delete for good and empty with per-chunk progress. While the service runs they are tracked
// under PPC_TASK_RECYCLE (cancelled by type, by sequence number and by the stop); without a running
// service (no current context) they run untracked; while a stop is under way they are refused with -1.
// Otherwise the results are those of the device calls.
int ppc_RecycleRestoreFileList(int32_t seq, resyscle_list_info *list, file_task_cb cb, int64_t token);
int ppc_RecycleDeleteFileList(int32_t seq, resyscle_list_info *list, file_task_cb cb, int64_t token);
int ppc_RecycleEmpty(int32_t seq, file_task_cb cb, int64_t token);

// ---- cancels (each -1 without a context) ----

// The first download / upload task with this sequence number. The download's 0 also when none matched;
// the upload's -1 then. The 64-bit argument of the download's is not used.
int ppc_cancel_FileDownload(uint32_t seq, int64_t unused, ppc_router_task *ctx);
int ppc_cancel_FileUpload(uint32_t seq, ppc_router_task *ctx);
// Every download / every upload.
int ppc_cancel_FileDownloadALL(ppc_router_task *ctx);
int ppc_cancel_FileUploadAll(ppc_router_task *ctx);
// Every task of any type with this sequence number: 0.
int ppc_cancel_GetRelaxUploadAuthValue(uint32_t seq, ppc_router_task *ctx);
int ppc_cancel_FileTask(uint32_t seq, ppc_router_task *ctx);
int ppc_cancel_FileGpsListTask(uint32_t seq, ppc_router_task *ctx);
int ppc_cancel_FileMultiFuncSearchTask(uint32_t seq, ppc_router_task *ctx);
int ppc_cancel_FileClientFileTask(uint32_t seq, ppc_router_task *ctx);
// Every task of the list: 0.
int ppc_cancel_FileTaskAll(ppc_router_task *ctx);
int ppc_cancel_FileGpsListTaskAll(ppc_router_task *ctx);
int ppc_cancel_FileMultiFuncSearchTaskAll(ppc_router_task *ctx);
int ppc_cancel_FileClientFileTaskAll(ppc_router_task *ctx);
