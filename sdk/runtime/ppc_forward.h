// The runtime's entry point per device command and per QR-code login call, so that the SDK bridge calls
// the runtime alone. Almost all of them only forward: same arguments in the same order, same result, nothing
// added. Those are rows of one table, PPC_FORWARDERS: result type, entry point, the call it forwards to,
// its parameters and the arguments passed on. The build checks that every row's entry point has exactly
// the type of its call. The few entry points that change their arguments on the way are written out below
// the table. What a call hands out, and how it is freed, is the forwarded call's contract.
#pragma once

#include <cstdint>

#include "base/file_types.h"
#include "codec/file_parse_attr.h"
#include "command/device_calls.h"
#include "command/exdev_manage.h"
#include "command/file_stream_calls.h"
#include "command/file_upload.h"
#include "command/ppc_qv_client.h"
#include "command/ppc_sys_file_client.h"
#include "messaging/qvsl.h"

// X(result, entry point, forwarded call, (parameters), (arguments))
// clang-format off
#define PPC_FORWARDERS(X) \
    /* Listings and files */ \
    X(int, ppc_FileGetStorage, QV_FileGetStorage, (disk_dnode **out, int64_t token), (out, token)) \
    X(int, ppc_FileGetList, QV_FileGetList, \
      (path_info *path, int32_t offset, int32_t length, int32_t sortType, file_list_page **out, \
       int64_t token), \
      (path, offset, length, sortType, out, token)) \
    X(int, ppc_FileIsExist, QV_FileIsExist, \
      (path_info *path, int64_t token, int32_t *status), \
      (path, token, status)) \
    X(int, ppc_stat, handle_stat_task, (path_info *path, file_stat *st, int64_t token), (path, st, token)) \
    X(int, ppc_FileGetTypeList, QV_FileGetTypeList, \
      (int32_t fileType, int32_t sortType, file_list_info **out, int32_t offset, int32_t length, \
       int64_t token), \
      (fileType, sortType, out, offset, length, token)) \
    X(int, ppc_DirGetTypeList, QV_DirGetTypeList, \
      (int32_t fileType, int32_t sortType, int32_t childCount, int32_t offset, int32_t length, \
       file_list_info **out, int64_t token), \
      (fileType, sortType, childCount, offset, length, out, token)) \
    X(int, ppc_FileGetTypeListByPath, QV_FileGetTypeListByPath, \
      (int32_t fileType, int32_t sortType, path_info *path, file_list_info **out, int32_t offset, \
       int32_t length, int64_t token), \
      (fileType, sortType, path, out, offset, length, token)) \
    X(int, ppc_FileDelTypeListByPath, QV_FileDelTypeListByPath, \
      (int32_t fileType, path_info *path, int64_t token), \
      (fileType, path, token)) \
    X(int, ppc_FileRelaxUpload, QV_FileRelaxUpload, \
      (int64_t file_length, uint32_t modify_time, const char *authorization, const char *auth_value, \
       path_info *target, int32_t *status, int64_t token), \
      (file_length, modify_time, authorization, auth_value, target, status, token)) \
    X(int, ppc_FileGetUserSpace, QV_FileGetUserSpace, (user_space_dnode *out, int64_t token), (out, token)) \
    X(user_list_item **, ppc_FileGetUserList, QV_FileGetUserList, (int64_t token), (token)) \
    X(int, ppc_FileGetRecordsList, QV_FileGetRecordsList, \
      (int32_t offset, int32_t length, int32_t childCount, int64_t token, recent_list **out), \
      (offset, length, childCount, token, out)) \
    X(int, ppc_FileSetRecordsHide, QV_FileSetRecordsHide, \
      (int32_t stampId, int32_t recordsCmd, int32_t isHide, int64_t token), \
      (stampId, recordsCmd, isHide, token)) \
    X(int, ppc_FileSetStore, QV_FileSetStore, \
      (path_info *path, int32_t isStore, int64_t token), \
      (path, isStore, token)) \
    X(int, ppc_FileSetTag, QV_FileSetTag, \
      (path_info *path, const char *const *tags, int32_t tagCount, int64_t token), \
      (path, tags, tagCount, token)) \
    X(int, ppc_FileListTag, QV_FileListTag, \
      (path_info **paths, int32_t pathCount, const char *const *tags, int32_t tagCount, int32_t tagType, \
       int64_t token), \
      (paths, pathCount, tags, tagCount, tagType, token)) \
    X(int, ppc_FileGetMutilTypeList, QV_FileGetMutilTypeList, \
      (const int32_t *types, int32_t typeCount, int32_t sortType, file_list_info **out, int32_t offset, \
       int32_t length, int64_t token), \
      (types, typeCount, sortType, out, offset, length, token)) \
    X(int, ppc_FileGetMutilTypeListPro, QV_FileGetMutilTypeListPro, \
      (const int32_t *types, int32_t typeCount, int32_t sortType, file_list_info **out, int32_t offset, \
       int32_t length, int32_t extra, int64_t token), \
      (types, typeCount, sortType, out, offset, length, extra, token)) \
    X(int, ppc_FileGetAggregationList, QV_FileGetAggregationList, \
      (int32_t offset, int32_t length, int32_t aggregationId, int64_t token, recent_list **out), \
      (offset, length, aggregationId, token, out)) \
    X(int, ppc_SetRecentRecordHide, QV_SetRecentRecordHide, \
      (const qv_record_hide *record, int64_t token), \
      (record, token)) \
    X(char *, ppc_FGetUriByToken, qvFGetUriByToken, \
      (const char *path, int32_t bucket_id, int64_t token), \
      (path, bucket_id, token)) \
    /* Backup */ \
    X(int, ppc_BackupFileIsExist, QV_BackupFileIsExist, \
      (const char *fileUuid, int64_t token), \
      (fileUuid, token)) \
    X(int, ppc_Backup_CheckUuidList, QV_Backup_CheckUuidList, \
      (backup_uuid_head *list, int64_t token), \
      (list, token)) \
    X(int, ppc_Backup_CheckFileUuidList, QV_Backup_CheckFileUuidList, \
      (backup_uuid_head *list, int32_t offset, int32_t length, int64_t token), \
      (list, offset, length, token)) \
    /* Device and firmware */ \
    X(int, ppc_DGetDeviceStatus, QV_DGetDeviceStatus, \
      (qv_dev_status *devStatus, const char *ip, int64_t token), \
      (devStatus, ip, token)) \
    X(int, ppc_OTA2HasLatestVersion, QV_OTA2HasLatestVersion, \
      (const char *language, const char *ip, soft_version_info *info, int *force, int *status, \
       int64_t token), \
      (language, ip, info, force, status, token)) \
    X(int, ppc_p2p_get_client_info, QV_p2p_get_client_info, \
      (p2p_client_info *out, int64_t token), \
      (out, token)) \
    X(int, ppc_GetDeviceNickName, QV_GetDeviceNickName, (char *nickName, int64_t token), (nickName, token)) \
    X(int, ppc_SetDeviceNickName, QV_SetDeviceNickName, \
      (const char *nickName, int64_t token), \
      (nickName, token)) \
    X(int, ppc_RouterSetUdiskUpgrade, QV_RouterSetUdiskUpgrade, (int64_t token), (token)) \
    X(int, ppc_RouterSetSyncTime, QV_RouterSetSyncTime, \
      (time_sync_info *sync, int64_t token), \
      (sync, token)) \
    X(int, ppc_RouterSetSyncSystem, QV_RouterSetSyncSystem, \
      (sys_sync_info *sync, int64_t token), \
      (sync, token)) \
    X(int, ppc_RouterGetFWVersion, QV_RouterGetFWVersion, (char *out, int64_t token), (out, token)) \
    X(int, ppc_RouterGetVersionFlag, QV_RouterGetVersionFlag, (int32_t *flag, int64_t token), (flag, token)) \
    X(int, ppc_RouterSetVersionFlag, QV_RouterSetVersionFlag, (int32_t flag, int64_t token), (flag, token)) \
    X(int, ppc_GeNasDeviceInfo, QV_GeNasDeviceInfo, (nas_device_info *info, int64_t token), (info, token)) \
    /* Hidden space */ \
    X(int, ppc_HideSpaceIsEnable, QV_HideSpaceIsEnable, (uint32_t *flag, int64_t token), (flag, token)) \
    X(int, ppc_HideSpaceEnable, QV_HideSpaceEnable, (int64_t token), (token)) \
    X(int, ppc_HideSpacePwdIsSet, QV_HideSpacePwdIsSet, (uint32_t *flag, int64_t token), (flag, token)) \
    X(int, ppc_HideSpacePwdSet, QV_HideSpacePwdSet, (const char *pwd, int64_t token), (pwd, token)) \
    X(int, ppc_RouterSmsVerifyCode, QV_RouterSmsVerifyCode, (int64_t token), (token)) \
    X(int, ppc_HideSpacePwdReset, QV_HideSpacePwdReset, \
      (const char *verify_code, const char *pwd, int64_t token), \
      (verify_code, pwd, token)) \
    X(int, ppc_HideSpaceLogin, QV_HideSpaceLogin, (const char *pwd, int64_t token), (pwd, token)) \
    X(int, ppc_HideSpaceLogout, QV_HideSpaceLogout, (int64_t token), (token)) \
    X(int, ppc_GetHideSpaceInfo, QV_GetHideSpaceInfo, \
      (int64_t token, hide_space_info **info), \
      (token, info)) \
    X(int, ppc_hideSpaceFileGetList, QV_hideSpaceFileGetList, \
      (path_info *folder, int32_t offset, int32_t length, int32_t sortType, file_list_info **out, \
       int64_t token), \
      (folder, offset, length, sortType, out, token)) \
    /* Shares */ \
    X(int, ppc_createShare, QV_createShare, \
      (share_file_item **fileList, int32_t fileNum, int32_t hasPw, int32_t expect, share_info **out, \
       int64_t token), \
      (fileList, fileNum, hasPw, expect, out, token)) \
    X(int, ppc_getShareList, QV_getShareList, \
      (int32_t offset, int32_t len, share_list **out, int64_t token), \
      (offset, len, out, token)) \
    /* Account */ \
    X(int, ppc_AccountCheckBindCode, QV_AccountCheckBindCode, \
      (const char *bindCode, const char *userId), \
      (bindCode, userId)) \
    X(int, ppc_AccountSetUserInfo, QV_AccountSetUserInfo, \
      (const char *userId, const char *nickName, const char *userImageUrl), \
      (userId, nickName, userImageUrl)) \
    X(int, ppc_AccountGetAuthCode, QV_AccountGetAuthCode, (const char *userId, char *out), (userId, out)) \
    X(int, ppc_AccountGetP2pInfo, QV_AccountGetP2pInfo, (char *out), (out)) \
    X(int, ppc_AccountGetShareFileList, QV_AccountGetShareFileList, \
      (int32_t shareId, const char *fileDir, int32_t offset, int32_t len, share_file_list **out, \
       int64_t token), \
      (shareId, fileDir, offset, len, out, token)) \
    X(int, ppc_AccountGetShareFileData, QV_AccountGetShareFileData, \
      (int32_t shareId, const char *path, int32_t type, int64_t start, int64_t end, const char *uploadUrl, \
       share_file_info **out, int64_t token), \
      (shareId, path, type, start, end, uploadUrl, out, token)) \
    X(int, ppc_AccountGetShareFileAttr, QV_AccountGetShareFileAttr, \
      (int32_t shareId, const char *path, int32_t type, int64_t start, int64_t end, share_file_info **out, \
       int64_t token), \
      (shareId, path, type, start, end, out, token)) \
    /* Recycle bin */ \
    X(int, ppc_RecycleGetInfo, QV_ResyscleGetInfo, (resyscle_info **out, int64_t token), (out, token)) \
    X(int, ppc_RecycleSetInfo, QV_ResyscleSetInfo, \
      (const resyscle_info *info, int64_t token), \
      (info, token)) \
    /* Administration */ \
    X(int, ppc_AdminGetPwdStatus, QV_AdminGetPwdStatus, \
      (const char *ip, int *status, int64_t token), \
      (ip, status, token)) \
    X(int, ppc_AdminSetPwd, QV_AdminSetPwd, \
      (const char *ip, const char *password, int64_t token), \
      (ip, password, token)) \
    X(int, ppc_AdminModifyPwd, QV_AdminModifyPwd, \
      (const char *oldPassword, const char *newPassword, int64_t token), \
      (oldPassword, newPassword, token)) \
    X(int, ppc_AdminLogin, QV_AdminLogin, (const char *password, int64_t token), (password, token)) \
    X(int, ppc_AdminGetSysInfo, QV_AdminGetSysInfo, (admin_sys_info *info, int64_t token), (info, token)) \
    X(int, ppc_AdminGetDiskStatusInfo, QV_AdminGetDiskStatusInfo, \
      (disk_status_list *list, int64_t token), \
      (list, token)) \
    X(int, ppc_AdminGetBindFlag, QV_AdminGetBindFlag, (int *flag, int64_t token), (flag, token)) \
    X(int, ppc_AdminSetBindFlag, QV_AdminSetBindFlag, (int flag, int64_t token), (flag, token)) \
    X(int, ppc_AdminInviteBind, QV_AdminInviteBind, \
      (const char *userName, int64_t token), \
      (userName, token)) \
    X(int, ppc_AdminGetSpaceLimitStatus, QV_AdminGetSpaceLimitStatus, \
      (int *enable, int64_t token), \
      (enable, token)) \
    X(int, ppc_AdminSetSpaceLimitStatus, QV_AdminSetSpaceLimitStatus, \
      (int enable, int64_t token), \
      (enable, token)) \
    X(int, ppc_AdminGetSpaceLimitDefault, QV_AdminGetSpaceLimitDefault, \
      (int *limitSet, int64_t *limitSpace, int64_t token), \
      (limitSet, limitSpace, token)) \
    X(int, ppc_AdminSetSpaceLimitDefault, QV_AdminSetSpaceLimitDefault, \
      (int limitSet, int64_t limitSpace, int64_t token), \
      (limitSet, limitSpace, token)) \
    X(space_limit_info **, ppc_AdminGetSpaceLimitList, QV_AdminGetSpaceLimitList, (int64_t token), (token)) \
    X(int, ppc_AdminGetSpaceLimitListResult, QV_AdminGetSpaceLimitListResult, \
      (space_limit_info ***list, int64_t token), \
      (list, token)) \
    X(int, ppc_AdminSetSpaceLimit, QV_AdminSetSpaceLimit, \
      (int userId, int limitSet, int64_t limitSpace, int64_t token), \
      (userId, limitSet, limitSpace, token)) \
    X(int, ppc_AdminClearUser, QV_AdminClearUser, \
      (int userId, int clearFlag, int64_t token), \
      (userId, clearFlag, token)) \
    X(int, ppc_AdminGetUsbbackupMode, QV_AdminGetUsbbackupMode, \
      (int *usbMode, int *ptpMode, int64_t token), \
      (usbMode, ptpMode, token)) \
    X(int, ppc_AdminSetUsbbackupMode, QV_AdminSetUsbbackupMode, \
      (int usbMode, int ptpMode, int64_t token), \
      (usbMode, ptpMode, token)) \
    X(int, ppc_GetSambaStatus, QV_GetSambaStatus, (int *status, int64_t token), (status, token)) \
    X(int, ppc_SetSambaStatus, QV_SetSambaStatus, (int enabled, int64_t token), (enabled, token)) \
    X(int, ppc_AdminShareBind, QV_AdminShareBind, (char *buf, int size, int64_t token), (buf, size, token)) \
    X(int, ppc_GetUserList, QV_GetUserList, (user_list_info ***list, int64_t token), (list, token)) \
    X(int, ppc_AdminGetRemoteBindFlag, QV_AdminGetRemoteBindFlag, (int *flag, int64_t token), (flag, token)) \
    X(int, ppc_AdminSetRemoteBindFlag, QV_AdminSetRemoteBindFlag, (int flag, int64_t token), (flag, token)) \
    X(int, ppc_getDeviceTimerSwitchValues, QV_getDeviceTimerSwitchValues, \
      (int32_t switch_type, int32_t *time_seconds, int32_t *once, int64_t token), \
      (switch_type, time_seconds, once, token)) \
    X(int, ppc_setDeviceTimerSwitchValues, QV_setDeviceTimerSwitchValues, \
      (int32_t switch_type, int32_t time_seconds, int32_t once, int64_t token), \
      (switch_type, time_seconds, once, token)) \
    X(int, ppc_AdminGetSelfStartStatus, QV_AdminGetSelfStartStatus, \
      (int *status, int64_t token), \
      (status, token)) \
    X(int, ppc_AdminSetSelfStart, QV_AdminSetSelfStart, (int value, int64_t token), (value, token)) \
    X(int, ppc_AdminGetTempAndFan, QV_AdminGetTempAndFan, \
      (int *cpuTemp, int *fanFreq, int64_t token), \
      (cpuTemp, fanFreq, token)) \
    X(int, ppc_AdminSetDeviceReboot, QV_AdminSetDeviceReboot, (int64_t token), (token)) \
    X(int, ppc_AdminSetDeviceSleepTime, QV_AdminSetDeviceSleepTime, \
      (int64_t token, int64_t time), \
      (token, time)) \
    X(int, ppc_AdminGetDeviceSleepTime, QV_AdminGetDeviceSleepTime, \
      (int64_t token, int64_t *time), \
      (token, time)) \
    X(int, ppc_getDeviceTimerSwitchFlag, QV_getDeviceTimerSwitchFlag, \
      (uint8_t *flag, int64_t token), \
      (flag, token)) \
    X(int, ppc_setDeviceTimerSwitchFlag, QV_setDeviceTimerSwitchFlag, \
      (int32_t flag, int64_t token), \
      (flag, token)) \
    X(int, ppc_AdminSetDeviceTimeZone, QV_AdminSetDeviceTimeZone, \
      (const char *timeZone, int64_t token), \
      (timeZone, token)) \
    X(int, ppc_AdminGetDeviceTimeZone, QV_AdminGetDeviceTimeZone, \
      (char *buf, int size, int64_t token), \
      (buf, size, token)) \
    X(int, ppc_AdminGetDeviceTimeZoneList, QV_AdminGetDeviceTimeZoneList, \
      (qv_zone_list **list, int64_t token), \
      (list, token)) \
    X(int, ppc_AdminGetSmartInfo, QV_AdminGetSmartInfo, (char **info, int64_t token), (info, token)) \
    X(int, ppc_UsbBackupCancel, QV_UsbBackupCancel, (int64_t token), (token)) \
    X(int, ppc_AdminGetLocalBindFlag, QV_AdminGetLocalBindFlag, (int *flag, int64_t token), (flag, token)) \
    X(int, ppc_AdminSetLocalBindFlag, QV_AdminSetLocalBindFlag, (int flag, int64_t token), (flag, token)) \
    /* QR-code login */ \
    X(int, ppc_qvsl_init, qvsl_init, \
      (const char *app_id, const char *app_key, int device_type), \
      (app_id, app_key, device_type)) \
    X(int, ppc_qvsl_QVSLRA_create, qvsl_QVSLRA_create, \
      (QVSLRA **context, int platform_type, int os, const char *cert_dir), \
      (context, platform_type, os, cert_dir)) \
    X(int, ppc_qvsl_request_auth_start, qvsl_request_auth_start, \
      (QVSLRA *context, char *auth_url_out, char *auth_id_out, uint32_t *expiry_out), \
      (context, auth_url_out, auth_id_out, expiry_out)) \
    X(void, ppc_qvsl_request_auth_stop, qvsl_request_auth_stop, (QVSLRA *context), (context)) \
    X(void, ppc_qvsl_QVSLRA_release, qvsl_QVSLRA_release, (QVSLRA *context), (context)) \
    X(int, ppc_qvsl_set_auth_listener, qvsl_set_auth_listener, \
      (const void *handle, qvsl_auth_listener listener), \
      (handle, listener)) \
    X(int, ppc_qvsl_set_user_info_listener, qvsl_set_user_info_listener, \
      (const void *handle, qvsl_user_info_listener listener), \
      (handle, listener)) \
    X(int, ppc_qvsl_get_request_info, qvsl_get_request_info, (const char *url, int32_t out[2]), (url, out)) \
    X(int, ppc_qvsl_send_user_info, qvsl_send_user_info, \
      (const char *url, const qvsl_user_info *user_info), \
      (url, user_info)) \
    X(int, ppc_qvsl_send_auth_code, qvsl_send_auth_code, \
      (const char *url, const char *auth_code), \
      (url, auth_code))
// clang-format on

#define PPC_DECLARE_FORWARDER(result, name, call, params, args) result name params;
PPC_FORWARDERS(PPC_DECLARE_FORWARDER)
#undef PPC_DECLARE_FORWARDER

// ---- entry points that change their arguments ----

// Makes a backup folder (136) named for the external device `dev`, the entry ppc_device_register handed
// out: its uuid goes as "deviceUuid". QV_ERR_ARG, nothing sent, without an entry.
int ppc_FileMkdirBackup(path_info *dir, const exdev_dnode *dev, int64_t token);
// Cancels a share link (189): the 32-bit id widened with its sign.
int ppc_cancelShare(int32_t shareId, const char *url, int64_t token);
// One page of the recycle bin (210): `length` entries from `offset` into `*out` (free with
// ppc_free_resyscle_list).
int ppc_RecycleGetList(int32_t offset, int32_t length, resyscle_list_info **out, int64_t token);
// Tells the device to sync with the cloud (166; no session token).
int ppc_NotifyServerDataSync();

// ---- the backup uuid list of ppc_Backup_CheckUuidList and ppc_Backup_CheckFileUuidList ----

// Makes `head` an empty list (linked to itself, count 0). Always 0; a null head is ignored.
int ppc_init_backup_uuid_list(backup_uuid_head *head);
// ppc_free_backup_uuid_list (base/file_types.h) frees the nodes and leaves the head.
