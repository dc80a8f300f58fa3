// The device command API: one plain call per device command. Each call fills a zeroed client_info on its
// own stack (command, port QV_DEVICE_CMD_PORT, device address, session token, inputs), runs it through one
// task processor and hands the parsed results out. Out-parameters are written only when the result is 0; what
// a call hands out belongs to the caller.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/client_file_task.h"
#include "base/dev_detail.h"
#include "base/file_types.h"
#include "codec/client_info.h"
#include "codec/device_user_process.h"
#include "codec/file_list.h"
#include "codec/file_parse_device.h"
#include "codec/file_parse_list.h"
#include "codec/file_parse_task.h"

// ---- call frame ----

// Longest device address the frame accepts (the record's field holds 32 characters and the NUL).
inline constexpr size_t QV_DEVICE_ADDR_MAX = 32;
// Where calls go before any device login: the local end of the tunnel.
inline constexpr const char QV_LOCAL_ADDR[] = "127.0.0.1";

// How a call chooses its device address.
enum qv_addr_rule {
    QV_ADDR_CURRENT,        // current device, "127.0.0.1" (with the log "USE LOCAL IP") when none
    QV_ADDR_CURRENT_QUIET,  // the same without the log line
    QV_ADDR_CURRENT_ONLY,   // current device, empty included
};

// Copies the current-device address (empty before the first successful login) into `out` (33 bytes).
void qv_current_device(char out[QV_DEVICE_ADDR_MAX + 1]);
// Forgets the current-device address and the cached device version (process start state).
void qv_frame_reset();
// Seam for tests: the device port the calls use (default QV_DEVICE_CMD_PORT; 0 restores it).
void qv_set_device_port(int32_t port);
// Zeroes `info` and fills the frame: command, port QV_DEVICE_CMD_PORT, address by `rule`, token.
void qv_frame_init(client_info *info, int32_t cmd, int64_t token, qv_addr_rule rule);
// As qv_frame_init with the caller's address: QV_ERR_ARG (the record untouched) for a null address or one
// longer than QV_DEVICE_ADDR_MAX characters.
int qv_frame_init_addr(client_info *info, int32_t cmd, int64_t token, const char *addr);

// ---- device-user calls ----

// Device-user processor: builds with the device-user codec, posts without a task, parses. 0, QV_ERR_NOT_BUILT
// (not built), the post's code, the header error, or QV_ERR_FAILED (no reply text, a reply without its data).
int _handle_net_device_user_task(client_info *info);

// Device version (command 1) into `out` (at least 32 bytes). Answered from the version cached for the
// current device when there is one.
int QV_GetDeviceVersion(char *out, int64_t token);
// Device login (command 2): on 0 the session token from the reply header goes to `*token`, and `addr`
// becomes the current-device address. A reply without a token is -1. -1 also for a null or too long
// address or a null token pointer.
int QV_LoginVantor(const char *addr, const char *authCode, int64_t *token);
int QV_LogoutVantor(int64_t token);
// Bind code (command 10) of the device at `addr` into `out` (33 bytes).
int QV_GetBindCode(const char *addr, char *out);
// Device id (command 11) into `out` (65 bytes).
int QV_GetDeviceID(char *out);
// Registers this client with the current device as an external device (command 12): the record's
// `device_name` and `dev_uuid` (each read within its field) go as "devicename" and "deviceuuid". QV_ERR_ARG
// for a null record, nothing sent.
int QV_RegisterDevice(const qv_dev_detail *dev, int64_t token);
int QV_GetFuncList(int32_t *statusFlag, int64_t token);
int QV_GeNasDeviceInfo(nas_device_info *info, int64_t token);
int QV_RouterSetUdiskUpgrade(int64_t token);
int QV_RouterSetSyncTime(time_sync_info *sync, int64_t token);
int QV_RouterSetSyncSystem(sys_sync_info *sync, int64_t token);
// Firmware version (52) into `out` (32 bytes).
int QV_RouterGetFWVersion(char *out, int64_t token);
int QV_RouterGetVersionFlag(int32_t *flag, int64_t token);
int QV_RouterSetVersionFlag(int32_t flag, int64_t token);
int QV_RouterSetUpgradeFW(int64_t token);

// ---- file and listing calls ----

int QV_FileGetStorage(disk_dnode **out, int64_t token);
int QV_FileGetRecordsList(int32_t offset, int32_t length, int32_t childCount, int64_t token,
                          recent_list **out);
int QV_FileGetAggregationList(int32_t offset, int32_t length, int32_t aggregationId, int64_t token,
                              recent_list **out);
int QV_FileSetRecordsHide(int32_t stampId, int32_t recordsCmd, int32_t isHide, int64_t token);
// The device's users (150): the null-terminated list (free with ppc_free_user_list), or null on failure.
user_list_item **QV_FileGetUserList(int64_t token);
int QV_FileGetTypeList(int32_t fileType, int32_t sortType, file_list_info **out, int32_t offset,
                       int32_t length, int64_t token);
int QV_FileGetMutilTypeList(const int32_t *types, int32_t typeCount, int32_t sortType, file_list_info **out,
                            int32_t offset, int32_t length, int64_t token);
int QV_FileGetMutilTypeListPro(const int32_t *types, int32_t typeCount, int32_t sortType,
                               file_list_info **out, int32_t offset, int32_t length, int32_t extra,
                               int64_t token);
int QV_FileGetBackupList(file_list_info **out, int32_t offset, int32_t length, int64_t token);
int QV_DirGetTypeList(int32_t fileType, int32_t sortType, int32_t childCount, int32_t offset, int32_t length,
                      file_list_info **out, int64_t token);
int QV_FileGetTypeListByPath(int32_t fileType, int32_t sortType, path_info *path, file_list_info **out,
                             int32_t offset, int32_t length, int64_t token);
int QV_FileDelTypeListByPath(int32_t fileType, path_info *path, int64_t token);
int QV_FileSetStore(path_info *path, int32_t isStore, int64_t token);
int QV_FileSetTag(path_info *path, const char *const *tags, int32_t tagCount, int64_t token);
// Does `path` exist (104): the device's header error, or 0; on 0 the reply's "status" goes to `*status`
// when `status` is not null.
int QV_FileIsExist(path_info *path, int64_t token, int32_t *status = nullptr);
int QV_p2p_get_client_info(p2p_client_info *out, int64_t token);
int QV_FileListTag(path_info **paths, int32_t pathCount, const char *const *tags, int32_t tagCount,
                   int32_t tagType, int64_t token);
// Delete with progress (167, time-out 60000 ms); progress in the task, or in `req` for a whole reply.
int QV_FileDeleteListCb(delete_list_req *req, client_file_task *task);
// Copy (159) and move (160) with progress in the task. "seq" is the task's id (the first argument is not
// used). A whole reply's "status" lands in the task's status.
int QV_FileCopyCb(int32_t taskId, path_info *src, path_info *dst, client_file_task *task);
int QV_FileMoveCb(int32_t taskId, path_info *src, path_info *dst, client_file_task *task);
// Multi-condition search (117): batches reach the caller through the task's chunk callback.
int QV_FileSearchMultiFunc(search_condition *condition, int32_t sortType, client_file_task *task);
int QV_FileGetUserSpace(user_space_dnode *out, int64_t token);
int QV_FileGPSList(gps_condition *condition, client_file_task *task);
