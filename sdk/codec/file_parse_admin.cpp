// Reply parsers of the administration commands (300 to 332, 343).
#include "codec/file_parse_admin.h"

#include <json-c/json.h>

#include <cstdlib>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/file_process.h"
#include "codec/reply_json.h"

using qv_reply::copy_text;
using qv_reply::member;

namespace {

// Element 0 of the reply's "data" array, logging why it is missing.
json_object *data_element(const client_info *info) {
    return qv_reply::data_first(info->r_json, "data json NULL", "access NULL");
}

// The one-key parsers: element 0's `key`, as a 32-bit integer, into `*out`.
int read_one_int(client_info *info, const char *key, int32_t *out) {
    json_object *elem = data_element(info);
    return elem != nullptr ? qv_reply::need_int(elem, key, out, "access NULL") : QV_ERR_ARG;
}

// Frees the records of a partly built null-terminated list and the array.
template <typename T>
void free_list(T **list) {
    if (list == nullptr) return;
    for (T **p = list; *p != nullptr; ++p) std::free(*p);
    std::free(list);
}

// The object-shaped list replies: data.<key> as an array, allocated as n + 1 zeroed slots.
template <typename T>
int build_list(client_info *info, const char *key, T **&slot, int (*fill)(T *, json_object *)) {
    slot = nullptr;
    json_object *arr = qv_reply::array_member(member(info->r_json, "data"), key);
    if (arr == nullptr) return QV_ERR_ARG;
    const size_t n = json_object_array_length(arr);
    T **list = qv_reply::zalloc<T *>("list != NULL", n + 1);
    for (size_t i = 0; i < n; ++i) {
        json_object *elem = json_object_array_get_idx(arr, i);
        if (elem == nullptr) {
            QV_LOG_DEBUG("access NULL");
            free_list(list);
            return QV_ERR_ARG;
        }
        list[i] = qv_reply::zalloc<T>("list[i] != NULL");
        if (fill(list[i], elem) != 0) {
            QV_LOG_DEBUG("access NULL");
            free_list(list);
            return QV_ERR_ARG;
        }
    }
    slot = list;
    return 0;
}

int fill_space_limit(space_limit_info *rec, json_object *elem) {
    json_object *userId = member(elem, "userId");
    json_object *userName = member(elem, "userName");
    json_object *nickName = member(elem, "nickName");
    json_object *limitSpace = member(elem, "limitSpace");
    json_object *usedSpace = member(elem, "usedSpace");
    if (!userId || !userName || !nickName || !limitSpace || !usedSpace) return QV_ERR_ARG;
    rec->userId = json_object_get_int(userId);
    copy_text(rec->userName, userName);
    copy_text(rec->nickName, nickName);
    rec->usedSpace = json_object_get_int64(usedSpace);
    rec->limitSpace = json_object_get_int64(limitSpace);
    if (json_object *v = member(elem, "limitSet")) rec->limitSet = json_object_get_int(v);
    if (json_object *v = member(elem, "phoneNumber")) copy_text(rec->phoneNumber, v);
    if (json_object *v = member(elem, "userType")) rec->userType = json_object_get_int(v);
    return 0;
}

int fill_user(user_list_info *rec, json_object *elem) {
    json_object *userId = member(elem, "userId");
    json_object *nickName = member(elem, "nickName");
    json_object *imagePath = member(elem, "imagePath");
    if (!userId || !nickName || !imagePath) return QV_ERR_ARG;
    rec->userId = json_object_get_int(userId);
    copy_text(rec->nickName, nickName);
    copy_text(rec->imagePath, imagePath);
    return 0;
}

}  // namespace

void qv_space_limit_list_free(space_limit_info **list) {
    free_list(list);
}

void qv_user_list_free(user_list_info **list) {
    free_list(list);
}

int Parser_AdminGetPasswordStatus(client_info *info, uint16_t, int, const file_cmd_row *) {
    return read_one_int(info, "status", &info->status);
}

int Parser_AdminGetBindFlag(client_info *info, uint16_t, int, const file_cmd_row *) {
    return read_one_int(info, "bindFlag", &info->bindFlag);
}

int Parser_AdminGetRemoteBindFlag(client_info *info, uint16_t, int, const file_cmd_row *) {
    return read_one_int(info, "bindFlag", &info->bindFlag);
}

int Parser_AdminGetUserSpaceLimitStatus(client_info *info, uint16_t, int, const file_cmd_row *) {
    return read_one_int(info, "limitEnable", &info->limitEnable);
}

int Parser_AdminGetSelfStartStatus(client_info *info, uint16_t, int, const file_cmd_row *) {
    return read_one_int(info, "status", &info->selfStart);
}

int Parser_AdminGetUserSpaceLimitDefault(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *elem = data_element(info);
    if (elem == nullptr) return QV_ERR_ARG;
    json_object *space = member(elem, "limitSpace");
    if (space == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    info->limitSpace = json_object_get_int64(space);
    json_object *set = member(elem, "limitSet");
    if (set == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    info->limitSet = json_object_get_int(set);
    return 0;
}

int Parser_AdminGetUsbbackupMode(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *elem = data_element(info);
    if (elem == nullptr) return QV_ERR_ARG;
    json_object *usb = member(elem, "usbBackupMode");
    if (usb == nullptr) {
        QV_LOG_DEBUG("usbBackupModeJson NULL");
        return QV_ERR_ARG;
    }
    json_object *ptp = member(elem, "ptpBackupMode");
    if (ptp == nullptr) {
        QV_LOG_DEBUG("ptpBackupModeJson NULL");
        return QV_ERR_ARG;
    }
    info->usbBackupMode = json_object_get_int(usb);
    info->ptpBackupMode = json_object_get_int(ptp);
    return 0;
}

int Parser_AdminGetTempAndFan(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *elem = data_element(info);
    if (elem == nullptr) return QV_ERR_ARG;
    json_object *temp = member(elem, "cpu_temp");
    json_object *fan = member(elem, "fan_freq");
    if (temp == nullptr || fan == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    info->cpuTemp = json_object_get_int(temp);
    info->fanFreq = json_object_get_int(fan);
    return 0;
}

int Parser_AdminShareBind(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *elem = data_element(info);
    if (elem == nullptr) return QV_ERR_ARG;
    json_object *url = member(elem, "url");
    if (url == nullptr) {
        QV_LOG_DEBUG("url NULL");
        return QV_ERR_ARG;
    }
    if (info->shareBindUrl == nullptr || info->shareBindUrlSize < 1) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    qv_strlcpy(info->shareBindUrl, qv_reply::text(url), static_cast<size_t>(info->shareBindUrlSize));
    return 0;
}

int Parser_AdminGetSystemInfo(client_info *info, uint16_t, int, const file_cmd_row *) {
    if (info->sysInfo == nullptr) {
        QV_LOG_DEBUG("argument NULL");
        return QV_ERR_ARG;
    }
    json_object *elem = data_element(info);
    if (elem == nullptr) return QV_ERR_ARG;
    json_object *fs = member(elem, "fileSystem");
    json_object *boot = member(elem, "bootTime");
    json_object *cpu = member(elem, "cpuRate");
    json_object *ram = member(elem, "ramRate");
    if (!fs || !boot || !cpu || !ram) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    admin_sys_info *rec = info->sysInfo;
    copy_text(rec->fileSystem, fs);
    rec->bootTime = json_object_get_int64(boot);
    rec->cpuRate = json_object_get_double(cpu);
    rec->ramRate = json_object_get_double(ram);
    json_object *name = member(elem, "deviceName");
    if (name == nullptr) name = member(elem, "devNickName");
    if (name == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    copy_text(rec->deviceName, name);
    return 0;
}

int Parser_AdminGetDiskStatusInfo(client_info *info, uint16_t, int, const file_cmd_row *) {
    if (info == nullptr || info->diskStatusInfoList == nullptr) {
        QV_LOG_DEBUG("argument NULL");
        return QV_ERR_ARG;
    }
    disk_status_list *holder = info->diskStatusInfoList;
    json_object *data = member(info->r_json, "data");
    if (data == nullptr) {
        QV_LOG_DEBUG("data json NULL");
        return QV_ERR_ARG;
    }
    if (json_object *mode = member(data, "mode")) {
        holder->mode = json_object_get_int(mode);
        QV_LOG_DEBUG("p_client_info->diskStatusInfoList->mode = %d", holder->mode);
    }
    json_object *arr = qv_reply::array_member(data, "diskStatusInfoList");
    if (arr == nullptr) {
        QV_LOG_DEBUG("diskStatusInfoListJson NULL");
        return QV_ERR_ARG;
    }
    // The holder has room for QV_DISK_STATUS_MAX disks; a reply listing more keeps the first ones.
    size_t n = json_object_array_length(arr);
    if (n > QV_DISK_STATUS_MAX) {
        QV_LOG_ERROR("reply lists %zu disks, keeping the first %d", n, QV_DISK_STATUS_MAX);
        n = QV_DISK_STATUS_MAX;
    }
    holder->count = static_cast<int32_t>(n);
    for (size_t i = 0; i < n; ++i) {
        json_object *elem = json_object_array_get_idx(arr, i);
        json_object *model = member(elem, "devModel");
        json_object *serial = member(elem, "serialNumber");
        json_object *health = member(elem, "healthStatus");
        json_object *temp = member(elem, "temperatureCelsius");
        json_object *cap = member(elem, "diskCapacity");
        json_object *num = member(elem, "devNumber");
        if (!elem || !model || !serial || !health || !temp || !cap || !num) {
            QV_LOG_DEBUG("access NULL");
            return QV_ERR_ARG;
        }
        disk_status_info *e = &holder->entries[i];
        copy_text(e->devModel, model);
        copy_text(e->serialNumber, serial);
        e->healthStatus = json_object_get_int(health);
        e->temperatureCelsius = json_object_get_int(temp);
        e->diskCapacity = json_object_get_int64(cap);
        e->devNumber = json_object_get_int(num);
        json_object *dis = member(elem, "temperatureDisable");
        e->temperatureDisable = dis != nullptr ? json_object_get_int(dis) : 0;
    }
    return 0;
}

int Parser_AdminGetUserSpaceLimitList(client_info *info, uint16_t, int, const file_cmd_row *) {
    return build_list<space_limit_info>(info, "spaceLimitList", info->spaceLimitList, fill_space_limit);
}

int Parser_GetUserList(client_info *info, uint16_t, int, const file_cmd_row *) {
    QV_LOG_DEBUG("%s", json_object_to_json_string(info->r_json));
    return build_list<user_list_info>(info, "userList", info->userList, fill_user);
}
