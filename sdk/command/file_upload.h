// File uploads and backups. Each transfer asks the device first which byte ranges it lacks (108 for an
// upload, 133 for a backup), sends every missing range, and asks again until the device reports nothing
// missing (at most QV_UPLOAD_MAX_ROUNDS checks): the device's answer is the only resume state, so an
// attempt after a failure, a cancel or a crash sends only what is still missing.
//
// Local files are opened once (following symbolic links) and their size and modification time are taken
// from the opened descriptor, so the facts sent always describe the bytes that are read.
#pragma once

#include <cstdint>

#include "base/client_file_task.h"
#include "base/file_types.h"
#include "codec/client_info.h"
#include "command/stream_file_info.h"

inline constexpr int QV_UPLOAD_MAX_ROUNDS = 4;

// Upload of a local file to `target` (108, then 107). The task (required) gives token, cancel flag,
// progress callback and tags. 0; QV_ERR_LOCAL_MISSING the local file does not exist; QV_ERR_LOCAL_FILE it
// cannot be read or ran dry; QV_ERR_NET the device still reports missing ranges after the last round;
// QV_ERR_CANCELLED; the check's, the exchange's or the device's code.
int QV_FileUpload(const char *localPath, path_info *target, client_file_task *task);
// The same from the caller's stream (its id travels as "seq"; the callback is read front to back once).
int QV_FileStreamUpload(stream_file_info *stream, client_file_task *task);

// Does the device hold a backup of this uuid (134): 0 yes; QV_ERR_LOCAL_MISSING no; other codes as they come.
int QV_BackupFileIsExist(const char *fileUuid, int64_t token);
// Creates a backup folder (136): the device's result.
int QV_FileMkdirBackup(path_info *dir, const char *deviceUuid, int64_t token);
// Compares the list with one page of the device's backup list (155): every node whose uuid is not on the
// page gets its flag set and is counted in `flagged`, every other node's flag is cleared. 0, or the result
// of 155 (the list untouched).
int QV_Backup_CheckFileUuidList(backup_uuid_head *list, int32_t offset, int32_t length, int64_t token);
// Sends the uuids of the unflagged nodes (138); on a complete reply the nodes are freed and the list then
// holds the uuids of the reply (the device's choice: those it holds), `count` of them. A failed exchange or a
// broken reply leaves the list as it was. 0; -1 for a reply without the list; the exchange's code.
int QV_Backup_CheckUuidList(backup_uuid_head *list, int64_t token);

// Backups (134, then 133 and 132 or 146): nothing is sent when the device knows the uuid. The task's
// backup_result, when set, receives where the file landed. A missing local file is -1.
int QV_BackupFile(const char *fileUuid, const char *dirName, const char *deviceUuid, const char *localPath,
                  client_file_task *task);
int QV_BackupDeviceFile(const char *fileUuid, const char *deviceUuid, const char *localPath,
                        client_file_task *task);
int QV_FileStreamBackup(const char *fileUuid, const char *dirName, const char *deviceUuid,
                        stream_file_info *stream, client_file_task *task);
int QV_FileStreamDeviceBackup(const char *fileUuid, const char *deviceUuid, stream_file_info *stream,
                              client_file_task *task);
