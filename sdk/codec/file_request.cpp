// Request builders of the flat commands: each turns the inputs of the record into the command's "data"
// (one parameter object in an array, or the object itself for the list commands) and the envelope text.
// A missing required input refuses the request (nonzero, nothing built) rather than sending a half text.
#include <json-c/json.h>

#include <cstdlib>

#include "base/file_types.h"
#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/file_process.h"
#include "codec/json_text.h"
#include "codec/request_blocks.h"
#include "codec/request_json.h"

using qv_req::file_path_array;
using qv_req::finish_array;
using qv_req::finish_object;
using qv_req::low32;
using qv_req::need;
using qv_req::need_entry_paths;
using qv_req::need_path;
using qv_req::Params;

namespace qv_req {

bool missing(const client_info *info, const char *what) {
    QV_LOG_ERROR("cmd %d: %s is missing, request not built", info->cmd, what);
    return false;
}

int finish_array(client_info *info, Params &params) {
    json_object *array = json_object_new_array();
    json_object *param = params.release();
    qv_request_cache_key(info, param);
    json_object_array_add(array, param);
    return qv_request_finish(info, array);
}

int finish_object(client_info *info, Params &params) {
    return qv_request_finish(info, params.release());
}

}  // namespace qv_req

namespace {

// "path", "srcUserId", "srcBucketId": the path and, twice, the id of the user space that holds it.
void add_path_triple(Params &p, const path_info *path) {
    p.s("path", path->path).i("srcUserId", path->bucketId).i("srcBucketId", path->bucketId);
}

// The seven members of a folder page (101, 185).
int folder_page(client_info *info) {
    if (!need_path(info, info->srcPathInfo, "srcPathInfo.path")) return QV_ERR_ARG;
    Params p;
    add_path_triple(p, info->srcPathInfo);
    p.i("offset", low32(info->offset)).i("length", low32(info->length));
    p.i("fileType", info->fileType).i("sortType", info->sortType);
    return finish_array(info, p);
}

// The members of a type listing page (120, 123, 155).
int type_page(client_info *info) {
    Params p;
    p.i("fileType", info->fileType).i("sortType", info->sortType);
    p.i("offset", low32(info->offset)).i("length", low32(info->length)).i("childCount", info->count);
    return finish_array(info, p);
}

// Requests of one string input.
int one_string(client_info *info, const char *key, const char *value) {
    if (!need(info, value, key)) return QV_ERR_ARG;
    Params p;
    p.s(key, value);
    return finish_array(info, p);
}

// Requests of one integer input.
int one_int(client_info *info, const char *key, int32_t value) {
    Params p;
    p.i(key, value);
    return finish_array(info, p);
}

}  // namespace

// ---- files and folders ----

int Request_FileGetList(client_info *info) {
    return folder_page(info);
}

int Request_HideSpaceFileGetList(client_info *info) {
    return folder_page(info);
}

int Request_Mkdir(client_info *info) {
    const char *path = info->srcPathInfo != nullptr ? info->srcPathInfo->path : nullptr;
    if (path == nullptr) {
        QV_LOG_ERROR("invalid path:%s", "(null)");
        return QV_ERR_ARG;
    }
    QV_LOG_DEBUG("bucket_id=%d", info->srcPathInfo->bucketId);
    Params p;
    p.s("path", path).i64("srcBucketId", info->srcPathInfo->bucketId);
    return finish_array(info, p);
}

int Request_Rename(client_info *info) {
    if (!need_path(info, info->srcPathInfo, "srcPathInfo.path") ||
        !need_path(info, info->desPathInfo, "desPathInfo.path"))
        return QV_ERR_ARG;
    Params p;
    p.s("srcPath", info->srcPathInfo->path).i("srcBucketId", info->srcPathInfo->bucketId);
    p.s("desPath", info->desPathInfo->path).i("desBucketId", info->desPathInfo->bucketId);
    return finish_array(info, p);
}

int Request_FileIsExist(client_info *info) {
    if (!need_path(info, info->srcPathInfo, "srcPathInfo.path")) return QV_ERR_ARG;
    Params p;
    add_path_triple(p, info->srcPathInfo);
    return finish_array(info, p);
}

int Request_FileGetAttr(client_info *info) {
    if (!need_path(info, info->srcPathInfo, "srcPathInfo.path")) return QV_ERR_ARG;
    Params p;
    p.s("path", info->srcPathInfo->path).i64("srcBucketId", info->srcPathInfo->bucketId);
    p.i("thumbnailType", info->srcPathInfo->thumbnailType).i("attrFlag", info->optionFlag);
    return finish_array(info, p);
}

int Request_FileDownload(client_info *info) {
    if (!need_path(info, info->srcPathInfo, "srcPathInfo.path")) return QV_ERR_ARG;
    Params p;
    add_path_triple(p, info->srcPathInfo);
    p.i64("offset", info->offset).i64("length", info->length).i("recordsFlags", 1);
    return finish_array(info, p);
}

int Request_FileCheckUpload(client_info *info) {
    if (!need_path(info, info->srcPathInfo, "srcPathInfo.path")) return QV_ERR_ARG;
    Params p;
    add_path_triple(p, info->srcPathInfo);
    p.i64("modifyTime", static_cast<int64_t>(info->modifyTime)).i64("fileSize", info->file_length);
    return finish_array(info, p);
}

int Request_FileDelete(client_info *info) {
    if (!need_path(info, info->srcPathInfo, "srcPathInfo.path")) return QV_ERR_ARG;
    QV_LOG_DEBUG("bucket_id=%d", info->srcPathInfo->bucketId);
    Params p;
    p.s("path", info->srcPathInfo->path).i64("srcBucketId", info->srcPathInfo->bucketId);
    return finish_array(info, p);
}

int Request_FileSearch(client_info *info) {
    if (!need_path(info, info->srcPathInfo, "srcPathInfo.path")) return QV_ERR_ARG;
    Params p;
    if (info->searchString != nullptr) p.s("searchString", info->searchString);
    p.s("searchPath", info->srcPathInfo->path);
    p.i("srcUserId", info->srcPathInfo->bucketId).i("srcBucketId", info->srcPathInfo->bucketId);
    p.i("sortType", info->sortType).i("currentOnly", info->currentOnly);
    return finish_array(info, p);
}

int Request_FileGetTypeList(client_info *info) {
    return type_page(info);
}

int Request_FileGetBackupList(client_info *info) {
    return type_page(info);
}

int Request_FileGetClassInfo(client_info *info) {
    return one_int(info, "fileType", info->fileType);
}

int Request_FileGetTypeListByPath(client_info *info) {
    if (!need_path(info, info->srcPathInfo, "srcPathInfo.path")) return QV_ERR_ARG;
    Params p;
    p.i("fileType", info->fileType).i("sortType", info->sortType).s("path", info->srcPathInfo->path);
    p.i("offset", low32(info->offset)).i("length", low32(info->length));
    p.i("srcUserId", info->srcPathInfo->bucketId).i("srcBucketId", info->srcPathInfo->bucketId);
    return finish_array(info, p);
}

int Request_FileDelTypeListByPath(client_info *info) {
    if (!need_path(info, info->srcPathInfo, "srcPathInfo.path")) return QV_ERR_ARG;
    Params p;
    p.i("fileType", info->fileType);
    add_path_triple(p, info->srcPathInfo);
    return finish_array(info, p);
}

int Request_FileGetRecordsList(client_info *info) {
    Params p;
    p.i("offset", low32(info->offset)).i("length", low32(info->length)).i("childCount", info->count);
    return finish_array(info, p);
}

int Request_FileSetRecordsHide(client_info *info) {
    Params p;
    p.i("stampId", info->count).i("recordsCmd", info->actionCode).i("isHide", info->status);
    return finish_array(info, p);
}

int Request_FileSetStore(client_info *info) {
    if (!need_path(info, info->srcPathInfo, "srcPathInfo.path")) return QV_ERR_ARG;
    Params p;
    add_path_triple(p, info->srcPathInfo);
    p.i("isStore", info->status);
    return finish_array(info, p);
}

int Request_FileGetMutilTypeList(client_info *info) {
    if (info->count > 0 && !need(info, info->typeList, "typeList")) return QV_ERR_ARG;
    json_object *types = json_object_new_array();
    for (int32_t k = 0; k < info->count; ++k)
        json_object_array_add(types, json_object_new_int(info->typeList[k]));
    Params p;
    p.add("typeList", types).i("sortType", info->sortType);
    p.i("offset", low32(info->offset)).i("length", low32(info->length)).i("childCount", info->count);
    p.i("filterFlag", 1);  // the device's value; the caller's filterFlag is not sent
    return finish_array(info, p);
}

int Request_FileCopy(client_info *info) {
    if (!need_path(info, info->srcPathInfo, "srcPathInfo.path") ||
        !need_path(info, info->desPathInfo, "desPathInfo.path"))
        return QV_ERR_ARG;
    Params p;
    p.s("path", info->srcPathInfo->path).i("srcBucketId", info->srcPathInfo->bucketId);
    p.s("desPath", info->desPathInfo->path).i("desBucketId", info->desPathInfo->bucketId);
    return finish_array(info, p);
}

int Request_FileGetAggregationList(client_info *info) {
    Params p;
    p.i("offset", low32(info->offset)).i("length", low32(info->length)).i("aggregationId", info->count);
    return finish_array(info, p);
}

int Request_FileDeleteList(client_info *info) {
    if (!need(info, info->pathList, "pathList") || !need_entry_paths(info, info->pathList)) return QV_ERR_ARG;
    Params p;
    p.add("FileListInfo", file_path_array(info->pathList));
    return finish_object(info, p);
}

// ---- recycle bin ----

int Request_ResyscleGetList(client_info *info) {
    Params p;
    p.i("offset", low32(info->offset)).i("length", low32(info->length));
    return finish_array(info, p);
}

int Request_ResyscleOperateList(client_info *info) {
    if (!need(info, info->resyscleList, "resyscleList")) return QV_ERR_ARG;
    json_object *keys = json_object_new_array();
    if (resyscle_dnode **entries = info->resyscleList->rDnode; entries != nullptr) {
        for (; *entries != nullptr; ++entries) {
            Params entry;
            entry.i("resyscleKey", (*entries)->key);
            json_object_array_add(keys, entry.release());
        }
    }
    Params p;
    p.add("ResyscleList", keys);
    return finish_object(info, p);
}

int Request_ResyscleSetSurviveTime(client_info *info) {
    if (!need(info, info->resyscleInfo, "resyscleInfo")) return QV_ERR_ARG;
    Params p;
    p.i64("surviveTime", info->resyscleInfo->survive_time);
    return finish_object(info, p);
}

// ---- backup ----

int Request_BackupFile(client_info *info) {
    if (!need(info, info->fileUuid, "fileUuid") || !need(info, info->deviceUuid, "deviceUuid") ||
        !need(info, info->srcPath, "srcPath"))
        return QV_ERR_ARG;
    Params p;
    p.s("fileUuid", info->fileUuid);
    if (info->cmd == 132 && info->dirName != nullptr) p.s("dirName", info->dirName);
    p.s("deviceUuid", info->deviceUuid).s("path", info->srcPath);
    p.i64("fileSize", info->file_length).i64("offset", info->offset).i64("length", info->length);
    // The backup upload's device side reads this member as signed 32-bit (the checks 108 and 133 send it
    // unsigned); keep what the device expects.
    p.i("modifyTime", static_cast<int32_t>(info->modifyTime));
    return finish_array(info, p);
}

int Request_BackupCheckFile(client_info *info) {
    if (!need(info, info->fileUuid, "fileUuid") || !need(info, info->deviceUuid, "deviceUuid") ||
        !need(info, info->srcPath, "srcPath"))
        return QV_ERR_ARG;
    Params p;
    p.s("fileUuid", info->fileUuid).s("path", info->srcPath);
    p.i64("modifyTime", static_cast<int64_t>(info->modifyTime)).i64("fileSize", info->file_length);
    if (info->dirName != nullptr) p.s("dirName", info->dirName);
    p.s("deviceUuid", info->deviceUuid);
    return finish_array(info, p);
}

int Request_BackupFileIsExist(client_info *info) {
    return one_string(info, "fileUuid", info->fileUuid);
}

int Request_FileMkdirBackup(client_info *info) {
    if (!need_path(info, info->srcPathInfo, "srcPathInfo.path") ||
        !need(info, info->deviceUuid, "deviceUuid"))
        return QV_ERR_ARG;
    Params p;
    p.s("path", info->srcPathInfo->path).i("srcBucketId", info->srcPathInfo->bucketId);
    p.s("deviceUuid", info->deviceUuid);
    return finish_array(info, p);
}

int Request_BackupSetDiskName(client_info *info) {
    return one_string(info, "diskName", info->diskName);
}

// Sends the uuids of the nodes whose exists flag is 0. The nodes stay: the reply parser replaces them with
// the device's answer only when a complete reply arrives, so a failed exchange leaves the caller's list
// whole.
int Request_BackupCheckFileUuid(client_info *info) {
    backup_uuid_head *head = info->uuidList;
    if (!need(info, head, "uuidList")) return QV_ERR_ARG;
    json_object *uuids = json_object_new_array();
    backup_uuid_dnode *end = backup_uuid_end(head);
    for (backup_uuid_dnode *n = head->next; n != nullptr && n != end; n = n->next) {
        if (n->exists != 0) continue;
        json_object *entry = json_object_new_object();
        json_object_object_add(entry, "fileUuid",
                               qv_req::bounded_string(n->file_uuid, sizeof n->file_uuid - 1));
        json_object_array_add(uuids, entry);
    }
    Params p;
    p.add("backupFileListInfo", uuids);
    return finish_object(info, p);
}

// ---- firmware, device and settings ----

int Request_FileUploadFw(client_info *info) {
    Params p;
    p.i64("fileSize", info->file_length);
    return finish_array(info, p);
}

int Request_OtaQuery(client_info *info) {
    return one_string(info, "language", info->language);
}

int Request_SetDeviceNickName(client_info *info) {
    return one_string(info, "deviceNickName", info->deviceNickName);
}

int Request_DeviceStatusExec(client_info *info) {
    return one_int(info, "devStatus", info->actionCode);
}

int Request_SetSambaStatus(client_info *info) {
    return one_int(info, "enabled", info->enabled);
}

int Request_LogFileDownload(client_info *info) {
    return one_int(info, "log_type", info->log_type);
}

int Request_SetRecentRecordHide(client_info *info) {
    const recent_record_hide_req *r = info->req.recentRecordHide;
    if (!need(info, r, "req.recentRecordHide")) return QV_ERR_ARG;
    Params p;
    p.i("userId", r->userId).i("bucketId", r->bucketId).i("logId", r->logId);
    return finish_array(info, p);
}

int Request_AdminSetPwd(client_info *info) {
    return one_string(info, "adminPassword", info->adminPassword);
}

int Request_AdminModifyPwd(client_info *info) {
    if (!need(info, info->adminPassword, "adminPassword") ||
        !need(info, info->newAdminPassword, "newAdminPassword"))
        return QV_ERR_ARG;
    Params p;
    p.s("adminPassword", info->adminPassword).s("newAdminPassword", info->newAdminPassword);
    return finish_array(info, p);
}

int Request_AdminLogin(client_info *info) {
    return one_string(info, "adminPassword", info->adminPassword);
}

int Request_AdminSetBindFlag(client_info *info) {
    return one_int(info, "bindFlag", info->bindFlag);
}

int Request_AdminSetRemoteBindFlag(client_info *info) {
    return one_int(info, "bindFlag", info->bindFlag);
}

int Request_AdminInviteBind(client_info *info) {
    return one_string(info, "userName", info->userName);
}

int Request_AdminSetSpaceLimitStatus(client_info *info) {
    return one_int(info, "limitEnable", info->limitEnable);
}

int Request_AdminSetSpaceLimitDefault(client_info *info) {
    Params p;
    p.i("limitSet", info->limitSet).i64("limitSpace", info->limitSpace);
    return finish_array(info, p);
}

int Request_AdminSetSpaceLimit(client_info *info) {
    Params p;
    p.i("userId", info->targetUserId).i("limitSet", info->limitSet).i64("limitSpace", info->limitSpace);
    return finish_array(info, p);
}

int Request_AdminClearUser(client_info *info) {
    Params p;
    p.i("userId", info->targetUserId).i("clearFlag", info->bindFlag);
    return finish_array(info, p);
}

int Request_AdminSetUsbbackupMode(client_info *info) {
    Params p;
    p.i("usbBackupMode", info->usbBackupMode).i("ptpBackupMode", info->ptpBackupMode);
    return finish_array(info, p);
}

int Request_AdminSetSelfStart(client_info *info) {
    return one_int(info, "nas_self_start", info->nas_self_start);
}

int Request_AdminSetDeviceSleepTime(client_info *info) {
    const dev_sleep_time_req *r = info->req.devSleepTime;
    if (!need(info, r, "req.devSleepTime")) return QV_ERR_ARG;
    Params p;
    p.i64("time", r->time);
    return finish_array(info, p);
}

int Request_AdminSetDeviceTimeZone(client_info *info) {
    const time_zone_req *r = info->req.pTimeZone;
    if (!need(info, r, "req.pTimeZone")) return QV_ERR_ARG;
    Params p;
    p.text("timeZone", r->timeZone);
    return finish_array(info, p);
}

// ---- account (headers without token) ----

int Request_AccountCheckBindCode(client_info *info) {
    Params p;
    p.text("userId", info->userId).text("bindCode", info->bindCode);
    return finish_array(info, p);
}

int Request_AccountSetUserInfo(client_info *info) {
    if (!need(info, info->userImageUrl, "userImageUrl")) return QV_ERR_ARG;
    Params p;
    p.text("userId", info->userId).text("nickName", info->nickName).s("userImageUrl", info->userImageUrl);
    return finish_array(info, p);
}

int Request_AccountGetAuthCode(client_info *info) {
    Params p;
    p.text("userId", info->userId);
    return finish_array(info, p);
}

// ---- hidden space and timers ----

int Request_HideSpacePwdSet(client_info *info) {
    const hide_space_pwd_set_req *r = info->req.hideSpacePwdSet;
    if (!need(info, r, "req.hideSpacePwdSet")) return QV_ERR_ARG;
    Params p;
    p.text("pwd", r->pwd);
    return finish_array(info, p);
}

int Request_HideSpacePwdReset(client_info *info) {
    const hide_space_pwd_reset_req *r = info->req.hideSpacePwdReset;
    if (!need(info, r, "req.hideSpacePwdReset")) return QV_ERR_ARG;
    Params p;
    p.text("verify_code", r->verify_code).text("pwd", r->pwd);
    return finish_array(info, p);
}

int Request_HideSpaceLogin(client_info *info) {
    const hide_space_login_req *r = info->req.hideSpaceLogin;
    if (!need(info, r, "req.hideSpaceLogin")) return QV_ERR_ARG;
    Params p;
    p.text("pwd", r->pwd);
    return finish_array(info, p);
}

int Request_GetDeviceTimerSwitchValues(client_info *info) {
    return one_int(info, "switch_type", info->optionFlag);
}

int Request_SetDeviceTimerSwitchValues(client_info *info) {
    const timer_switch_req *r = info->req.timerSwitch;
    if (!need(info, r, "req.timerSwitch")) return QV_ERR_ARG;
    Params p;
    p.i("switch_type", r->switch_type).i("time_seconds", r->time_seconds).i("once", r->once);
    return finish_array(info, p);
}

int Request_SetDeviceTimerSwitchFlag(client_info *info) {
    return one_int(info, "flag", info->optionFlag);
}

// ---- share links ----

int Request_CreateShare(client_info *info) {
    const create_share_req *r = info->req.pCreateShare;
    if (!need(info, r, "req.pCreateShare")) return QV_ERR_ARG;
    if (r->fileNum > 0) {
        if (!need(info, r->fileList, "req.fileList")) return QV_ERR_ARG;
        for (int32_t k = 0; k < r->fileNum; ++k)
            if (!need(info, r->fileList[k], "req.fileList entry") ||
                !need(info, r->fileList[k]->path, "req.fileList path"))
                return QV_ERR_ARG;
    }
    json_object *files = json_object_new_array();
    for (int32_t k = 0; k < r->fileNum; ++k) {
        Params entry;
        entry.i("bucketId", r->fileList[k]->bucketId).s("path", r->fileList[k]->path);
        json_object_array_add(files, entry.release());
    }
    Params p;
    p.add("fileList", files).i("fileNum", r->fileNum).i("hasPw", r->hasPw).i("expect", r->expect);
    return finish_array(info, p);
}

int Request_GetShareList(client_info *info) {
    const get_share_list_req *r = info->req.pGetShareList;
    if (!need(info, r, "req.pGetShareList")) return QV_ERR_ARG;
    Params p;
    p.i("offset", r->offset).i("len", r->len);
    return finish_array(info, p);
}

int Request_CancelShare(client_info *info) {
    const cancel_share_req *r = info->req.pCancelShare;
    if (!need(info, r, "req.pCancelShare")) return QV_ERR_ARG;
    Params p;
    p.i("shareId", low32(r->shareId)).text("url", r->url);
    return finish_array(info, p);
}

int Request_GetShareFileList(client_info *info) {
    const get_share_file_list_req *r = info->req.pGetShareFileList;
    if (!need(info, r, "req.pGetShareFileList")) return QV_ERR_ARG;
    Params p;
    p.i("shareId", low32(r->shareId)).i("offset", r->offset).i("len", r->len).text("fileDir", r->fileDir);
    return finish_array(info, p);
}

int Request_GetShareFileData(client_info *info) {
    const get_share_file_data_req *r = info->req.pGetShareFileData;
    if (!need(info, r, "req.pGetShareFileData")) return QV_ERR_ARG;
    Params p;
    p.i("shareId", low32(r->shareId)).text("path", r->path).i("type", r->type);
    p.i64("start", r->start).i64("end", r->end).text("uploadUrl", r->uploadUrl);
    return finish_array(info, p);
}

int Request_GetShareFileAttr(client_info *info) {
    const get_share_file_attr_req *r = info->req.pGetShareFileAttr;
    if (!need(info, r, "req.pGetShareFileAttr")) return QV_ERR_ARG;
    Params p;
    p.i("shareId", low32(r->shareId)).text("path", r->path).i("type", r->type);
    p.i64("start", r->start).i64("end", r->end);
    return finish_array(info, p);
}
