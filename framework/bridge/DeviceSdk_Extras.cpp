// The real port of the hidden space, share links and the recycle bin: the runtime's calls unchanged.
#include "bridge/DeviceSdk.h"

int DeviceSdk::ppc_HideSpaceIsEnable(uint32_t *flag, int64_t token) {
    return ::ppc_HideSpaceIsEnable(flag, token);
}
int DeviceSdk::ppc_HideSpaceEnable(int64_t token) {
    return ::ppc_HideSpaceEnable(token);
}
int DeviceSdk::ppc_HideSpacePwdIsSet(uint32_t *flag, int64_t token) {
    return ::ppc_HideSpacePwdIsSet(flag, token);
}
int DeviceSdk::ppc_HideSpacePwdSet(const char *pwd, int64_t token) {
    return ::ppc_HideSpacePwdSet(pwd, token);
}
int DeviceSdk::ppc_RouterSmsVerifyCode(int64_t token) {
    return ::ppc_RouterSmsVerifyCode(token);
}
int DeviceSdk::ppc_HideSpacePwdReset(const char *verifyCode, const char *pwd, int64_t token) {
    return ::ppc_HideSpacePwdReset(verifyCode, pwd, token);
}
int DeviceSdk::ppc_HideSpaceLogin(const char *pwd, int64_t token) {
    return ::ppc_HideSpaceLogin(pwd, token);
}
int DeviceSdk::ppc_HideSpaceLogout(int64_t token) {
    return ::ppc_HideSpaceLogout(token);
}
int DeviceSdk::ppc_GetHideSpaceInfo(int64_t token, hide_space_info **info) {
    return ::ppc_GetHideSpaceInfo(token, info);
}
int DeviceSdk::ppc_hideSpaceFileGetList(path_info *folder, int32_t offset, int32_t length, int32_t sortType,
                                        file_list_info **out, int64_t token) {
    return ::ppc_hideSpaceFileGetList(folder, offset, length, sortType, out, token);
}
int DeviceSdk::ppc_createShare(share_file_item **fileList, int32_t fileNum, int32_t hasPw, int32_t expect,
                               share_info **out, int64_t token) {
    return ::ppc_createShare(fileList, fileNum, hasPw, expect, out, token);
}
int DeviceSdk::ppc_getShareList(int32_t offset, int32_t len, share_list **out, int64_t token) {
    return ::ppc_getShareList(offset, len, out, token);
}
void DeviceSdk::share_list_free(share_list *list) {
    ::share_list_free(list);
}
int DeviceSdk::ppc_cancelShare(int32_t shareId, const char *url, int64_t token) {
    return ::ppc_cancelShare(shareId, url, token);
}
int DeviceSdk::ppc_RecycleGetInfo(resyscle_info **out, int64_t token) {
    return ::ppc_RecycleGetInfo(out, token);
}
void DeviceSdk::ppc_free_resyscle_info(resyscle_info *info) {
    ::ppc_free_resyscle_info(info);
}
int DeviceSdk::ppc_RecycleSetInfo(const resyscle_info *info, int64_t token) {
    return ::ppc_RecycleSetInfo(info, token);
}
int DeviceSdk::ppc_RecycleGetList(int32_t offset, int32_t length, resyscle_list_info **out, int64_t token) {
    return ::ppc_RecycleGetList(offset, length, out, token);
}
void DeviceSdk::ppc_free_resyscle_list(resyscle_list_info *info) {
    ::ppc_free_resyscle_list(info);
}
int DeviceSdk::ppc_RecycleRestoreFileList(int32_t seq, resyscle_list_info *list, file_task_cb cb,
                                          int64_t token) {
    return ::ppc_RecycleRestoreFileList(seq, list, cb, token);
}
int DeviceSdk::ppc_RecycleDeleteFileList(int32_t seq, resyscle_list_info *list, file_task_cb cb,
                                         int64_t token) {
    return ::ppc_RecycleDeleteFileList(seq, list, cb, token);
}
int DeviceSdk::ppc_RecycleEmpty(int32_t seq, file_task_cb cb, int64_t token) {
    return ::ppc_RecycleEmpty(seq, cb, token);
}
