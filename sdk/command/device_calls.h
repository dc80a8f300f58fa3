// The device management calls: administration, settings and status, hidden space, timers and modules,
// share links, the recycle bin, account data, firmware status and device operations. Each fills a zeroed
// client_info through the call frame, runs one task processor and copies the results out. Out-parameters
// are written only when the result is 0; what a call hands out belongs to the caller.
#pragma once

#include <cstdint>

#include "base/client_file_task.h"
#include "codec/client_info.h"
#include "codec/file_list.h"
#include "codec/file_parse_admin.h"
#include "codec/file_parse_device.h"
#include "codec/file_parse_hide.h"
#include "codec/file_parse_list.h"
#include "codec/file_parse_settings.h"
#include "codec/file_parse_share.h"
#include "codec/request_blocks.h"

// ---- administration ----

int QV_AdminGetPwdStatus(const char *ip, int *status, int64_t token);
int QV_AdminSetPwd(const char *ip, const char *password, int64_t token);
int QV_AdminModifyPwd(const char *oldPassword, const char *newPassword, int64_t token);
int QV_AdminLogin(const char *password, int64_t token);
int QV_AdminGetSysInfo(admin_sys_info *info, int64_t token);
int QV_AdminGetDiskStatusInfo(disk_status_list *list, int64_t token);
int QV_AdminGetBindFlag(int *flag, int64_t token);
int QV_AdminSetBindFlag(int flag, int64_t token);
int QV_AdminInviteBind(const char *userName, int64_t token);
int QV_AdminGetSpaceLimitStatus(int *enable, int64_t token);
int QV_AdminSetSpaceLimitStatus(int enable, int64_t token);
int QV_AdminGetSpaceLimitDefault(int *limitSet, int64_t *limitSpace, int64_t token);
int QV_AdminSetSpaceLimitDefault(int limitSet, int64_t limitSpace, int64_t token);
// The space-limit list (free each record, then the array), or null on any failure.
space_limit_info **QV_AdminGetSpaceLimitList(int64_t token);
// The same list with the exchange's result: on 0 `*list` is the list, on any failure null.
int QV_AdminGetSpaceLimitListResult(space_limit_info ***list, int64_t token);
int QV_AdminSetSpaceLimit(int userId, int limitSet, int64_t limitSpace, int64_t token);
int QV_AdminClearUser(int userId, int clearFlag, int64_t token);
int QV_AdminGetUsbbackupMode(int *usbMode, int *ptpMode, int64_t token);
int QV_AdminSetUsbbackupMode(int usbMode, int ptpMode, int64_t token);
// The share-bind link into `buf`, cut to size - 1 characters (size at least 1).
int QV_AdminShareBind(char *buf, int size, int64_t token);
// `*list` is the user list on 0 and null on any failure.
int QV_GetUserList(user_list_info ***list, int64_t token);
int QV_AdminGetRemoteBindFlag(int *flag, int64_t token);
int QV_AdminSetRemoteBindFlag(int flag, int64_t token);
int QV_AdminGetSelfStartStatus(int *status, int64_t token);
int QV_AdminSetSelfStart(int value, int64_t token);
int QV_AdminGetTempAndFan(int *cpuTemp, int *fanFreq, int64_t token);
int QV_AdminGetLocalBindFlag(int *flag, int64_t token);
int QV_AdminSetLocalBindFlag(int flag, int64_t token);

// ---- settings and status ----

// The device status: `status`, then the fields its value selects (the firmware record for 1000).
struct qv_dev_status {
    int32_t status;
    union {
        int32_t initMode;      // 3001
        int64_t dataSyncTime;  // 3003
        struct {               // 3005
            int64_t curDiskCapacity;
            int64_t expanCapacity;
            int64_t expanTime;
        };
        struct {  // 1000: a forced firmware update
            char product[32];
            char version[32];
            char description[1024];
            int64_t size;
        };
    };
};

using qv_record_hide = recent_record_hide_req;

int QV_AdminSetDeviceReboot(int64_t token);
// The device name into `nickName` (64 bytes).
int QV_GetDeviceNickName(char *nickName, int64_t token);
int QV_SetDeviceNickName(const char *nickName, int64_t token);
int QV_SetRecentRecordHide(const qv_record_hide *record, int64_t token);
// Firmware check (164) at `ip`: 10284 when the device forces the update (outputs written), else 0.
int QV_OTA2HasLatestVersion(const char *language, const char *ip, soft_version_info *info, int *force,
                            int *status, int64_t token);
// Device status (20) at `ip`. When the command's exchange fails on the transport, the firmware check over
// the framed socket decides (status 1000 for a forced update); any other failure is the result.
int QV_DGetDeviceStatus(qv_dev_status *devStatus, const char *ip, int64_t token);
// 5 when the device reports 5, else 1.
int QV_GetSambaStatus(int *status, int64_t token);
int QV_SetSambaStatus(int enabled, int64_t token);
int QV_NotifyServerDataSync();
// The device log (168) of `log_type` written to `desPath` (a regular file, truncated to the log's length;
// a symbolic link there is refused). Progress and cancel through the task.
int QV_LogFileDownload(const char *desPath, int log_type, client_file_task *task);
int QV_AdminSetDeviceSleepTime(int64_t token, int64_t time);
int QV_AdminGetDeviceSleepTime(int64_t token, int64_t *time);
int QV_AdminSetDeviceTimeZone(const char *timeZone, int64_t token);
int QV_AdminGetDeviceTimeZone(char *buf, int size, int64_t token);
int QV_AdminGetDeviceTimeZoneList(qv_zone_list **list, int64_t token);
// `*info`: a heap text (free it), or null when the device reports none.
int QV_AdminGetSmartInfo(char **info, int64_t token);
int QV_UsbBackupCancel(int64_t token);

// ---- hidden space ----

int QV_HideSpaceIsEnable(uint32_t *flag, int64_t token);
int QV_HideSpaceEnable(int64_t token);
int QV_HideSpacePwdIsSet(uint32_t *flag, int64_t token);
int QV_HideSpacePwdSet(const char *pwd, int64_t token);
int QV_RouterSmsVerifyCode(int64_t token);
int QV_HideSpacePwdReset(const char *verify_code, const char *pwd, int64_t token);
int QV_HideSpaceLogin(const char *pwd, int64_t token);
int QV_HideSpaceLogout(int64_t token);
int QV_GetHideSpaceInfo(int64_t token, hide_space_info **info);
int QV_hideSpaceFileGetList(path_info *folder, int32_t offset, int32_t length, int32_t sortType,
                            file_list_info **out, int64_t token);

// ---- timers and module support ----

int QV_getDeviceTimerSwitchFlag(uint8_t *flag, int64_t token);
int QV_setDeviceTimerSwitchFlag(int32_t flag, int64_t token);
int QV_getDeviceTimerSwitchValues(int32_t switch_type, int32_t *time_seconds, int32_t *once, int64_t token);
int QV_setDeviceTimerSwitchValues(int32_t switch_type, int32_t time_seconds, int32_t once, int64_t token);
// On 0 `*list` is the new list; a list it held before is freed first.
int QV_getModuleSupportList(module_support_dnode **list, int64_t token);

// ---- share links ----

int QV_createShare(share_file_item **fileList, int32_t fileNum, int32_t hasPw, int32_t expect,
                   share_info **out, int64_t token);
int QV_getShareList(int32_t offset, int32_t len, share_list **out, int64_t token);
// Ids that do not fit 32 bits are refused (-1, nothing sent): the device takes 32-bit ids.
int QV_cancelShare(int64_t shareId, const char *url, int64_t token);
int QV_AccountGetShareFileList(int32_t shareId, const char *fileDir, int32_t offset, int32_t len,
                               share_file_list **out, int64_t token);
int QV_AccountGetShareFileData(int32_t shareId, const char *path, int32_t type, int64_t start, int64_t end,
                               const char *uploadUrl, share_file_info **out, int64_t token);
int QV_AccountGetShareFileAttr(int32_t shareId, const char *path, int32_t type, int64_t start, int64_t end,
                               share_file_info **out, int64_t token);

// ---- recycle bin ----

int QV_ResyscleSetInfo(const resyscle_info *info, int64_t token);
int QV_ResyscleGetInfo(resyscle_info **out, int64_t token);
int QV_ResyscleGetList(resyscle_list_info **out, int32_t offset, int32_t length, int64_t token);
// Restore, delete and empty stream their progress into the task (one callback per chunk). 0 only when the
// stream ended with status 2 (done); a whole reply, a stream that stops short or a failure status without
// a header error is QV_ERR_INCOMPLETE; 20008 after a cancel.
int QV_ResyscleRestoreList(resyscle_list_info *list, client_file_task *task);
int QV_ResyscleDeleteList(resyscle_list_info *list, client_file_task *task);
int QV_ResyscleEmpty(client_file_task *task);

// ---- account ----

// Texts are bounded: a bind code over 32 characters, a user id or nick name over 64 is refused (-1).
int QV_AccountCheckBindCode(const char *bindCode, const char *userId);
int QV_AccountSetUserInfo(const char *userId, const char *nickName, const char *userImageUrl);
// The authorisation code into `out` (65 bytes).
int QV_AccountGetAuthCode(const char *userId, char *out);
// The peer-to-peer uuid into `out` (33 bytes).
int QV_AccountGetP2pInfo(char *out);

// ---- firmware status and device operations ----

// Firmware status (165) at `ip`: HTTP first, the framed socket when HTTP fails on the transport.
int QV_get_ota_status(const char *ip, int32_t timeout, ota_info *out, int64_t token);
// Device operation (173): each streamed chunk lands in the task and its callback.
int QV_RouterDevExec(int32_t operation, const char *ip, client_file_task *task);
