// The bridge's port to the device SDK: one method per SDK function it uses, same name and parameters. This
// header and the bridge's sources are the only framework files that include SDK headers, and they include
// the runtime's alone. The real port forwards to the runtime; FakeDeviceSdk scripts it for tests.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "runtime/ppc_firmware.h"
#include "runtime/ppc_forward.h"
#include "runtime/ppc_paths.h"
#include "runtime/ppc_tracked.h"
#include "runtime/ppc_userstatus.h"
#include "runtime/ppclib.h"

class DeviceSdk {
  public:
    virtual ~DeviceSdk() = default;

    // The process's real port.
    static std::shared_ptr<DeviceSdk> real();

    // ---- service and session ----
    // Starts the SDK service: a new context, or null with the failing step's code in `*error` (left as
    // the caller set it when never written).
    virtual ppc_router_task *ppc_start_Service(const char *cacheDir, ppc_dev_cb onDeviceAdd,
                                               ppc_dev_cb onDeviceDel, ppc_usb_status_cb onUsbStatus,
                                               const char *gateway, int *error);
    // Stops the service; 0 means the context was released.
    virtual int ppc_stop_Service(ppc_router_task *context);
    virtual int ppc_set_Gateway(ppc_router_task **context, const char *gateway);
    // Copies of the LAN devices whose details are known, freed with ppc_free_dev_detail_list.
    virtual qv_dev_detail **ppc_get_dev_detail_list(uint32_t *count);
    virtual int ppc_free_dev_detail_list(qv_dev_detail **list);
    // The listed external-device entry (the runtime's, not to be freed), or null.
    virtual exdev_dnode *ppc_device_register(const char *name, const char *uuid, int64_t token);
    virtual int ppc_login_by_authcode(const char *authCode, const char *addr, int64_t *token,
                                      ppc_router_task *context);
    virtual int ppc_logout(int64_t token, ppc_router_task *context);
    virtual int ppc_userStatusChangedListen(const char *userId, ppc_user_status_cb cb,
                                            ppc_router_task *context);
    virtual int ppc_cancel_userStatusChangedListen(ppc_router_task *context);
    // The device's users (150): a null-terminated array freed with ppc_free_user_list, or null.
    virtual user_list_item **ppc_FileGetUserList(int64_t token);
    virtual void ppc_free_user_list(user_list_item **list);
    virtual int ppc_DGetDeviceStatus(qv_dev_status *status, const char *ip, int64_t token);
    // Runs a device operation to its end, reporting through `progress` on this thread.
    virtual int ppc_router_DeviceExec(int32_t seq, int32_t deviceStatus, const char *ip, int64_t token,
                                      file_task_cb progress, ppc_router_task *context);
    virtual int ppc_RouterGetFWVersion(char *version, int64_t token);  // 32 bytes

    // ---- device information ----
    virtual int ppc_get_BindCode(const char *ip, char *bindCode);  // 33 bytes
    virtual int ppc_GeNasDeviceInfo(nas_device_info *info, int64_t token);
    // On 0 a null-terminated array, freed with qv_user_list_free.
    virtual int ppc_GetUserList(user_list_info ***list, int64_t token);
    virtual void qv_user_list_free(user_list_info **list);
    virtual int ppc_isModuleSupport(ppc_router_task *context, int32_t type);
    virtual int ppc_p2p_get_client_info(p2p_client_info *info, int64_t token);
    virtual int ppc_GetDeviceNickName(char *name, int64_t token);  // 64 bytes
    virtual int ppc_SetDeviceNickName(const char *name, int64_t token);
    virtual int ppc_FileGetUserSpace(user_space_dnode *space, int64_t token);

    // ---- files ----
    // Folder page (101): on 0 the page is the caller's, freed with file_list_free and then free().
    virtual int ppc_FileGetList(path_info target, int32_t start, int32_t count, int32_t sortType,
                                file_list_page **out, int64_t token);
    // Does the path exist (104): 0 when it does.
    virtual int ppc_FileIsExist(path_info target, int64_t token);
    // Frees a node list from its first node.
    virtual void file_list_free(file_dnode *first);

    // ---- transfers and operations ----
    // Each long call runs as a task of the service context's list, reports through `progress` on this
    // thread inside the call, and answers 0, QV_ERR_CANCELLED once a cancel marked it, or an error; -1
    // without a context. The framework's sequence numbers are positive int32.
    virtual int ppc_file_download(int32_t seq, const char *folder, path_info src, int64_t token,
                                  file_task_cb progress, ppc_router_task *context);
    virtual int ppc_upload_FileTag(int32_t seq, const char *localPath, int32_t tagCount, char **tags,
                                   path_info dst, int64_t token, file_task_cb progress,
                                   ppc_router_task *context);
    virtual int ppc_log_file_download(int32_t seq, const char *path, int32_t logType, int64_t token,
                                      file_task_cb progress, ppc_router_task *context);
    virtual int ppc_delete_FileListCb(delete_list_req *request, int64_t token, ppc_router_task *context);
    virtual int ppc_file_CopyCb(int32_t seq, path_info src, path_info dst, int64_t token,
                                file_task_cb progress, ppc_router_task *context);
    virtual int ppc_file_MoveCb(int32_t seq, path_info src, path_info dst, int64_t token,
                                file_task_cb progress, ppc_router_task *context);
    // The check value ("<md5 hex>_<size>") into `value` (64 bytes).
    virtual int ppc_get_RelaxUploadAuthValue(int32_t seq, const char *localPath, const char *kind,
                                             char *value, file_task_cb progress, ppc_router_task *context);
    virtual int ppc_FileRelaxUpload(int64_t size, uint32_t modifyTime, const char *kind, const char *value,
                                    path_info dst, int32_t *deviceStatus, int64_t token);
    // Cancels only mark tasks; each answers 0 (also when nothing matched), -1 without a context.
    virtual int ppc_cancel_task(ppc_router_task *context, uint8_t byKind, int32_t kind, int64_t seq);
    virtual int ppc_cancel_FileTask(int32_t seq, ppc_router_task *context);
    virtual int ppc_cancel_GetRelaxUploadAuthValue(int32_t seq, ppc_router_task *context);
    // ---- listings and queries ----
    // Type listings (120, 158, 123, 124): on 0 a holder that is the caller's (nodes with file_list_free,
    // then free()); none otherwise.
    virtual int ppc_FileGetTypeList(int32_t fileType, int32_t sortType, file_list_info **out, int32_t offset,
                                    int32_t length, int64_t token);
    virtual int ppc_FileGetMutilTypeList(const int32_t *types, int32_t typeCount, int32_t sortType,
                                         file_list_info **out, int32_t offset, int32_t length, int64_t token);
    virtual int ppc_DirGetTypeList(int32_t fileType, int32_t sortType, int32_t childCount, int32_t offset,
                                   int32_t length, file_list_info **out, int64_t token);
    virtual int ppc_FileGetTypeListByPath(int32_t fileType, int32_t sortType, path_info target,
                                          file_list_info **out, int32_t offset, int32_t length,
                                          int64_t token);
    virtual int ppc_FileDelTypeListByPath(int32_t fileType, path_info target, int64_t token);  // 125
    virtual int ppc_mkdir(path_info target, uint16_t mode, int64_t token);                     // 102
    virtual int ppc_rename(path_info from, path_info to, int64_t token);                       // 103
    // Attributes (105) into the caller-zeroed `st`; what hangs on it goes with file_stat_release.
    virtual int ppc_stat(path_info target, file_stat *st, int64_t token);
    virtual void file_stat_release(file_stat *st);
    // Tags (154 for one path, 156 for several).
    virtual int ppc_FileSetTag(path_info target, const char *const *tags, int32_t tagCount, int64_t token);
    virtual int ppc_FileListTag(path_info **paths, int32_t pathCount, const char *const *tags,
                                int32_t tagCount, int32_t tagType, int64_t token);
    // The signed file address: a new text (free()), or null.
    virtual char *ppc_FGetUriByToken(const char *path, int32_t bucketId, int64_t token);
    // Search (117) and the photo listing (157): batches reach `cb` on this thread until the call returns.
    virtual int ppc_file_SearchMultiFunc(int32_t seq, int32_t sortType, const search_condition *cond,
                                         int64_t token, file_task_cb cb, int32_t currentOnly,
                                         ppc_router_task *context);
    virtual int ppc_cancel_FileMultiFuncSearchTask(int32_t seq, ppc_router_task *context);
    virtual int ppc_get_FileGpsList(int32_t seq, gps_condition *scope, double lat1, double lon1, double lat2,
                                    double lon2, int64_t token, file_task_cb cb, ppc_router_task *context);
    virtual int ppc_cancel_FileGpsListTask(int32_t seq, ppc_router_task *context);
    // Recent records (151) and one aggregation (161): on 0 a list freed with ppc_free_recent_list.
    virtual int ppc_FileGetRecordsList(int32_t offset, int32_t length, int32_t childCount, int64_t token,
                                       recent_list **out);
    virtual int ppc_FileGetAggregationList(int32_t offset, int32_t length, int32_t aggregationId,
                                           int64_t token, recent_list **out);
    virtual void ppc_free_recent_list(recent_list *list);
    virtual int ppc_SetRecentRecordHide(const qv_record_hide *record, int64_t token);  // 169

    // ---- QR-code login (the service-login layer) and firmware (DeviceSdk_QRFirmware.cpp) ----
    virtual int ppc_qvsl_init(const char *appId, const char *appKey, int deviceType);
    // One context at a time: a second create before the release answers -1.
    virtual int ppc_qvsl_QVSLRA_create(QVSLRA **context, int platformType, int os, const char *certDir);
    // Blocks for the service's reply; ppc_qvsl_request_auth_stop from another thread ends the wait.
    virtual int ppc_qvsl_request_auth_start(QVSLRA *context, char *authUrl, char *authId, uint32_t *expiry);
    virtual void ppc_qvsl_request_auth_stop(QVSLRA *context);
    virtual void ppc_qvsl_QVSLRA_release(QVSLRA *context);
    virtual int ppc_qvsl_set_auth_listener(const char *authId, qvsl_auth_listener listener);
    virtual int ppc_qvsl_set_user_info_listener(const char *authId, qvsl_user_info_listener listener);
    virtual int ppc_qvsl_get_request_info(const char *authUrl, int32_t out[2]);
    virtual int ppc_qvsl_send_user_info(const char *authUrl, const qvsl_user_info *userInfo);
    virtual int ppc_qvsl_send_auth_code(const char *authUrl, const char *authCode);
    // Firmware check (164): 10284 when the device must be updated (outputs written), else 0 or an error.
    virtual int ppc_OTA2HasLatestVersion(const char *language, const char *ip, soft_version_info *info,
                                         int *force, int *status, int64_t token);
    // The update (163) and the follow-up of a running update (165): both block until the device's
    // verdict, reporting on this thread inside the call.
    virtual int qvota_update(int32_t seq, file_task_cb progress, const char *ip, int32_t *status,
                             ppc_router_task *context, int64_t token);
    virtual int ota_listen(ppc_ota_listen_cb progress, const char *ip, ppc_router_task *context);
    // Strict Base64 (the link layer's): a new buffer of *outLen bytes (free()), or null when `text` (at
    // most `maxLen` characters) is not Base64. Not scripted: the fake decodes the same way.
    static unsigned char *base64_decode(size_t *outLen, size_t maxLen, const char *text);
    // ---- administration (DeviceSdkAdmin.cpp) ----
    // Reads write their outputs only when they answer 0. The password status and set go to `ip`, the
    // others to the logged-in device.
    virtual int ppc_AdminGetPwdStatus(const char *ip, int *status, int64_t token);
    virtual int ppc_AdminSetPwd(const char *ip, const char *password, int64_t token);
    virtual int ppc_AdminModifyPwd(const char *oldPassword, const char *newPassword, int64_t token);
    virtual int ppc_AdminLogin(const char *password, int64_t token);
    virtual int ppc_AdminGetSysInfo(admin_sys_info *info, int64_t token);
    // Fills at most QV_DISK_STATUS_MAX entries and their count.
    virtual int ppc_AdminGetDiskStatusInfo(disk_status_list *list, int64_t token);
    virtual int ppc_AdminGetBindFlag(int *flag, int64_t token);
    virtual int ppc_AdminSetBindFlag(int flag, int64_t token);
    virtual int ppc_AdminInviteBind(const char *userName, int64_t token);
    virtual int ppc_AdminGetSpaceLimitStatus(int *enable, int64_t token);
    virtual int ppc_AdminSetSpaceLimitStatus(int enable, int64_t token);
    virtual int ppc_AdminGetSpaceLimitDefault(int *limitSet, int64_t *limitSpace, int64_t token);
    virtual int ppc_AdminSetSpaceLimitDefault(int limitSet, int64_t limitSpace, int64_t token);
    // On 0 a null-terminated array freed with qv_space_limit_list_free; null otherwise.
    virtual int ppc_AdminGetSpaceLimitListResult(space_limit_info ***list, int64_t token);
    virtual void qv_space_limit_list_free(space_limit_info **list);
    virtual int ppc_AdminSetSpaceLimit(int userId, int limitSet, int64_t limitSpace, int64_t token);
    virtual int ppc_AdminClearUser(int userId, int clearFlag, int64_t token);
    virtual int ppc_AdminGetUsbbackupMode(int *usbMode, int *ptpMode, int64_t token);
    virtual int ppc_AdminSetUsbbackupMode(int usbMode, int ptpMode, int64_t token);
    virtual int ppc_GetSambaStatus(int *status, int64_t token);
    virtual int ppc_SetSambaStatus(int enabled, int64_t token);
    virtual int ppc_AdminShareBind(char *buf, int size, int64_t token);
    virtual int ppc_AdminGetRemoteBindFlag(int *flag, int64_t token);
    virtual int ppc_AdminSetRemoteBindFlag(int flag, int64_t token);
    virtual int ppc_AdminGetSelfStartStatus(int *status, int64_t token);
    virtual int ppc_AdminSetSelfStart(int value, int64_t token);
    virtual int ppc_AdminSetDeviceReboot(int64_t token);
    virtual int ppc_AdminGetDeviceSleepTime(int64_t token, int64_t *minutes);
    virtual int ppc_AdminSetDeviceSleepTime(int64_t token, int64_t minutes);
    virtual int ppc_getDeviceTimerSwitchFlag(uint8_t *flag, int64_t token);
    virtual int ppc_setDeviceTimerSwitchFlag(int32_t flag, int64_t token);
    virtual int ppc_getDeviceTimerSwitchValues(int32_t switchType, int32_t *seconds, int32_t *once,
                                               int64_t token);
    virtual int ppc_setDeviceTimerSwitchValues(int32_t switchType, int32_t seconds, int32_t once,
                                               int64_t token);
    // ---- hidden space, share links, recycle bin ----
    // Flags are written only on 0. The hidden space's texts are sent as they are; the SDK refuses a
    // password that is missing or not 6 to 32 bytes long (-1, nothing sent).
    virtual int ppc_HideSpaceIsEnable(uint32_t *flag, int64_t token);                           // 176
    virtual int ppc_HideSpaceEnable(int64_t token);                                             // 177
    virtual int ppc_HideSpacePwdIsSet(uint32_t *flag, int64_t token);                           // 178
    virtual int ppc_HideSpacePwdSet(const char *pwd, int64_t token);                            // 179
    virtual int ppc_RouterSmsVerifyCode(int64_t token);                                         // 180
    virtual int ppc_HideSpacePwdReset(const char *verifyCode, const char *pwd, int64_t token);  // 181
    virtual int ppc_HideSpaceLogin(const char *pwd, int64_t token);                             // 182
    virtual int ppc_HideSpaceLogout(int64_t token);                                             // 183
    // 184: a record that is the caller's (free()), or none.
    virtual int ppc_GetHideSpaceInfo(int64_t token, hide_space_info **info);
    // 185: like the type listings, a holder that is the caller's.
    virtual int ppc_hideSpaceFileGetList(path_info *folder, int32_t offset, int32_t length, int32_t sortType,
                                         file_list_info **out, int64_t token);
    // 187: on 0 a lone record (free()).
    virtual int ppc_createShare(share_file_item **fileList, int32_t fileNum, int32_t hasPw, int32_t expect,
                                share_info **out, int64_t token);
    // 188: on 0 a ring freed with share_list_free.
    virtual int ppc_getShareList(int32_t offset, int32_t len, share_list **out, int64_t token);
    virtual void share_list_free(share_list *list);
    virtual int ppc_cancelShare(int32_t shareId, const char *url, int64_t token);  // 189
    // 214 (freed with ppc_free_resyscle_info), 215, 210 (freed with ppc_free_resyscle_list).
    virtual int ppc_RecycleGetInfo(resyscle_info **out, int64_t token);
    virtual void ppc_free_resyscle_info(resyscle_info *info);
    virtual int ppc_RecycleSetInfo(const resyscle_info *info, int64_t token);
    virtual int ppc_RecycleGetList(int32_t offset, int32_t length, resyscle_list_info **out, int64_t token);
    virtual void ppc_free_resyscle_list(resyscle_list_info *info);
    // 211, 212, 213: each report reaches `cb` on this thread inside the call.
    virtual int ppc_RecycleRestoreFileList(int32_t seq, resyscle_list_info *list, file_task_cb cb,
                                           int64_t token);
    virtual int ppc_RecycleDeleteFileList(int32_t seq, resyscle_list_info *list, file_task_cb cb,
                                          int64_t token);
    virtual int ppc_RecycleEmpty(int32_t seq, file_task_cb cb, int64_t token);
};
using DeviceSdkPtr = std::shared_ptr<DeviceSdk>;

// A page the SDK handed over: the nodes and then the holder are freed with the port's functions.
class SdkOwnedPage {
  public:
    SdkOwnedPage(DeviceSdk &sdk, file_list_page *page) : m_sdk(sdk), m_page(page) {}
    ~SdkOwnedPage() {
        if (m_page == nullptr) return;
        m_sdk.file_list_free(m_page->list);
        std::free(m_page);
    }
    SdkOwnedPage(const SdkOwnedPage &) = delete;
    SdkOwnedPage &operator=(const SdkOwnedPage &) = delete;
    const file_list_page *get() const { return m_page; }

  private:
    DeviceSdk &m_sdk;
    file_list_page *m_page;
};
