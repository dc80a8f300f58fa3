#include "bridge/DeviceSdk.h"

#include "platform/Log.h"
#include "runtime/ppc_firmware.h"
#include "runtime/ppc_identity.h"
#include "runtime/ppc_login.h"
#include "runtime/ppc_service.h"

std::shared_ptr<DeviceSdk> DeviceSdk::real() {
    static const auto s = std::make_shared<DeviceSdk>();
    return s;
}

ppc_router_task *DeviceSdk::ppc_start_Service(const char *cacheDir, ppc_dev_cb onDeviceAdd,
                                              ppc_dev_cb onDeviceDel, ppc_usb_status_cb onUsbStatus,
                                              const char *gateway, int *error) {
    return ::ppc_start_Service(cacheDir, onDeviceAdd, onDeviceDel, onUsbStatus, gateway, error);
}

int DeviceSdk::ppc_stop_Service(ppc_router_task *context) {
    return ::ppc_stop_Service(context);
}

int DeviceSdk::ppc_set_Gateway(ppc_router_task **context, const char *gateway) {
    return ::ppc_set_Gateway(context, gateway);
}

qv_dev_detail **DeviceSdk::ppc_get_dev_detail_list(uint32_t *count) {
    return ::ppc_get_dev_detail_list(count);
}

int DeviceSdk::ppc_free_dev_detail_list(qv_dev_detail **list) {
    return ::ppc_free_dev_detail_list(list);
}

exdev_dnode *DeviceSdk::ppc_device_register(const char *name, const char *uuid, int64_t token) {
    return ::ppc_device_register(name, uuid, token);
}

int DeviceSdk::ppc_login_by_authcode(const char *authCode, const char *addr, int64_t *token,
                                     ppc_router_task *context) {
    return ::ppc_login_by_authcode(authCode, addr, token, context);
}

int DeviceSdk::ppc_logout(int64_t token, ppc_router_task *context) {
    return ::ppc_logout(token, context);
}

int DeviceSdk::ppc_userStatusChangedListen(const char *userId, ppc_user_status_cb cb,
                                           ppc_router_task *context) {
    return ::ppc_userStatusChangedListen(userId, cb, context);
}

int DeviceSdk::ppc_cancel_userStatusChangedListen(ppc_router_task *context) {
    return ::ppc_cancel_userStatusChangedListen(context);
}

// The runtime forwards these device calls unchanged.
user_list_item **DeviceSdk::ppc_FileGetUserList(int64_t token) {
    return ::ppc_FileGetUserList(token);
}

void DeviceSdk::ppc_free_user_list(user_list_item **list) {
    ::ppc_free_user_list(list);
}

int DeviceSdk::ppc_DGetDeviceStatus(qv_dev_status *status, const char *ip, int64_t token) {
    return ::ppc_DGetDeviceStatus(status, ip, token);
}

int DeviceSdk::ppc_router_DeviceExec(int32_t seq, int32_t deviceStatus, const char *ip, int64_t token,
                                     file_task_cb progress, ppc_router_task *context) {
    // The framework's sequence numbers are positive int32, carried as the runtime's unsigned task number.
    return ::ppc_router_DeviceExec(static_cast<uint32_t>(seq), deviceStatus, ip, token, progress, context);
}

int DeviceSdk::ppc_RouterGetFWVersion(char *version, int64_t token) {
    return ::ppc_RouterGetFWVersion(version, token);
}

int DeviceSdk::ppc_get_BindCode(const char *ip, char *bindCode) {
    return ::ppc_get_BindCode(ip, bindCode);
}

int DeviceSdk::ppc_GeNasDeviceInfo(nas_device_info *info, int64_t token) {
    return ::ppc_GeNasDeviceInfo(info, token);
}

int DeviceSdk::ppc_GetUserList(user_list_info ***list, int64_t token) {
    return ::ppc_GetUserList(list, token);
}

void DeviceSdk::qv_user_list_free(user_list_info **list) {
    ::qv_user_list_free(list);
}

int DeviceSdk::ppc_isModuleSupport(ppc_router_task *context, int32_t type) {
    return ::ppc_isModuleSupport(context, type);
}

int DeviceSdk::ppc_p2p_get_client_info(p2p_client_info *info, int64_t token) {
    return ::ppc_p2p_get_client_info(info, token);
}

int DeviceSdk::ppc_GetDeviceNickName(char *name, int64_t token) {
    return ::ppc_GetDeviceNickName(name, token);
}

int DeviceSdk::ppc_SetDeviceNickName(const char *name, int64_t token) {
    return ::ppc_SetDeviceNickName(name, token);
}

int DeviceSdk::ppc_FileGetUserSpace(user_space_dnode *space, int64_t token) {
    if (space == nullptr) return -1;
    return ::ppc_FileGetUserSpace(space, token);
}

int DeviceSdk::ppc_FileGetList(path_info target, int32_t start, int32_t count, int32_t sortType,
                               file_list_page **out, int64_t token) {
    return ::ppc_FileGetList(&target, start, count, sortType, out, token);
}

int DeviceSdk::ppc_FileIsExist(path_info target, int64_t token) {
    return ::ppc_FileIsExist(&target, token, nullptr);
}

void DeviceSdk::file_list_free(file_dnode *first) {
    ppc_destory_file_list(first);
}

// ---- listings and queries ----

int DeviceSdk::ppc_FileGetTypeList(int32_t fileType, int32_t sortType, file_list_info **out, int32_t offset,
                                   int32_t length, int64_t token) {
    return ::ppc_FileGetTypeList(fileType, sortType, out, offset, length, token);
}

int DeviceSdk::ppc_FileGetMutilTypeList(const int32_t *types, int32_t typeCount, int32_t sortType,
                                        file_list_info **out, int32_t offset, int32_t length, int64_t token) {
    return ::ppc_FileGetMutilTypeList(types, typeCount, sortType, out, offset, length, token);
}

int DeviceSdk::ppc_DirGetTypeList(int32_t fileType, int32_t sortType, int32_t childCount, int32_t offset,
                                  int32_t length, file_list_info **out, int64_t token) {
    return ::ppc_DirGetTypeList(fileType, sortType, childCount, offset, length, out, token);
}

int DeviceSdk::ppc_FileGetTypeListByPath(int32_t fileType, int32_t sortType, path_info target,
                                         file_list_info **out, int32_t offset, int32_t length,
                                         int64_t token) {
    return ::ppc_FileGetTypeListByPath(fileType, sortType, &target, out, offset, length, token);
}

int DeviceSdk::ppc_FileDelTypeListByPath(int32_t fileType, path_info target, int64_t token) {
    return ::ppc_FileDelTypeListByPath(fileType, &target, token);
}

int DeviceSdk::ppc_mkdir(path_info target, uint16_t mode, int64_t token) {
    return ::ppc_mkdir(&target, mode, token);
}

int DeviceSdk::ppc_rename(path_info from, path_info to, int64_t token) {
    return ::ppc_rename(&from, &to, token);
}

int DeviceSdk::ppc_stat(path_info target, file_stat *st, int64_t token) {
    return ::ppc_stat(&target, st, token);
}

void DeviceSdk::file_stat_release(file_stat *st) {
    ::file_stat_release(st);
}

int DeviceSdk::ppc_FileSetTag(path_info target, const char *const *tags, int32_t tagCount, int64_t token) {
    return ::ppc_FileSetTag(&target, tags, tagCount, token);
}

int DeviceSdk::ppc_FileListTag(path_info **paths, int32_t pathCount, const char *const *tags,
                               int32_t tagCount, int32_t tagType, int64_t token) {
    return ::ppc_FileListTag(paths, pathCount, tags, tagCount, tagType, token);
}

char *DeviceSdk::ppc_FGetUriByToken(const char *path, int32_t bucketId, int64_t token) {
    return ::ppc_FGetUriByToken(path, bucketId, token);
}

int DeviceSdk::ppc_file_SearchMultiFunc(int32_t seq, int32_t sortType, const search_condition *cond,
                                        int64_t token, file_task_cb cb, int32_t currentOnly,
                                        ppc_router_task *context) {
    return ::ppc_file_SearchMultiFunc(static_cast<uint32_t>(seq), sortType, cond, token, cb, currentOnly,
                                      context);
}

int DeviceSdk::ppc_cancel_FileMultiFuncSearchTask(int32_t seq, ppc_router_task *context) {
    return ::ppc_cancel_FileMultiFuncSearchTask(static_cast<uint32_t>(seq), context);
}

int DeviceSdk::ppc_get_FileGpsList(int32_t seq, gps_condition *scope, double lat1, double lon1, double lat2,
                                   double lon2, int64_t token, file_task_cb cb, ppc_router_task *context) {
    return ::ppc_get_FileGpsList(static_cast<uint32_t>(seq), scope, lat1, lon1, lat2, lon2, token, cb,
                                 context);
}

int DeviceSdk::ppc_cancel_FileGpsListTask(int32_t seq, ppc_router_task *context) {
    return ::ppc_cancel_FileGpsListTask(static_cast<uint32_t>(seq), context);
}

int DeviceSdk::ppc_FileGetRecordsList(int32_t offset, int32_t length, int32_t childCount, int64_t token,
                                      recent_list **out) {
    return ::ppc_FileGetRecordsList(offset, length, childCount, token, out);
}

int DeviceSdk::ppc_FileGetAggregationList(int32_t offset, int32_t length, int32_t aggregationId,
                                          int64_t token, recent_list **out) {
    return ::ppc_FileGetAggregationList(offset, length, aggregationId, token, out);
}

void DeviceSdk::ppc_free_recent_list(recent_list *list) {
    ::ppc_free_recent_list(list);
}

int DeviceSdk::ppc_SetRecentRecordHide(const qv_record_hide *record, int64_t token) {
    return ::ppc_SetRecentRecordHide(record, token);
}

// ---- transfers and operations ----

int DeviceSdk::ppc_file_download(int32_t seq, const char *folder, path_info src, int64_t token,
                                 file_task_cb progress, ppc_router_task *context) {
    return ::ppc_file_download(static_cast<uint32_t>(seq), folder, &src, token, progress, context);
}

int DeviceSdk::ppc_upload_FileTag(int32_t seq, const char *localPath, int32_t tagCount, char **tags,
                                  path_info dst, int64_t token, file_task_cb progress,
                                  ppc_router_task *context) {
    return ::ppc_upload_FileTag(static_cast<uint32_t>(seq), localPath, tagCount, tags, &dst, token, progress,
                                context);
}

int DeviceSdk::ppc_log_file_download(int32_t seq, const char *path, int32_t logType, int64_t token,
                                     file_task_cb progress, ppc_router_task *context) {
    return ::ppc_log_file_download(static_cast<uint32_t>(seq), path, logType, token, progress, context);
}

int DeviceSdk::ppc_delete_FileListCb(delete_list_req *request, int64_t token, ppc_router_task *context) {
    return ::ppc_delete_FileListCb(request, token, context);
}

int DeviceSdk::ppc_file_CopyCb(int32_t seq, path_info src, path_info dst, int64_t token,
                               file_task_cb progress, ppc_router_task *context) {
    return ::ppc_file_CopyCb(static_cast<uint32_t>(seq), &src, &dst, token, progress, context);
}

int DeviceSdk::ppc_file_MoveCb(int32_t seq, path_info src, path_info dst, int64_t token,
                               file_task_cb progress, ppc_router_task *context) {
    return ::ppc_file_MoveCb(static_cast<uint32_t>(seq), &src, &dst, token, progress, context);
}

int DeviceSdk::ppc_get_RelaxUploadAuthValue(int32_t seq, const char *localPath, const char *kind, char *value,
                                            file_task_cb progress, ppc_router_task *context) {
    return ::ppc_get_RelaxUploadAuthValue(static_cast<uint32_t>(seq), localPath, kind, value, progress,
                                          context);
}

int DeviceSdk::ppc_FileRelaxUpload(int64_t size, uint32_t modifyTime, const char *kind, const char *value,
                                   path_info dst, int32_t *deviceStatus, int64_t token) {
    return ::ppc_FileRelaxUpload(size, modifyTime, kind, value, &dst, deviceStatus, token);
}

int DeviceSdk::ppc_cancel_task(ppc_router_task *context, uint8_t byKind, int32_t kind, int64_t seq) {
    return ::ppc_cancel_task(context, byKind, kind, seq);
}

int DeviceSdk::ppc_cancel_FileTask(int32_t seq, ppc_router_task *context) {
    return ::ppc_cancel_FileTask(static_cast<uint32_t>(seq), context);
}

int DeviceSdk::ppc_cancel_GetRelaxUploadAuthValue(int32_t seq, ppc_router_task *context) {
    return ::ppc_cancel_GetRelaxUploadAuthValue(static_cast<uint32_t>(seq), context);
}
