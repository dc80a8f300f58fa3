// Reply parsers of the device settings and status commands (20, 168, 171, 319, 335, 339, 340, 341).
#include "codec/file_parse_settings.h"

#include <json-c/json.h>

#include <cstdlib>
#include <cstring>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/file_process.h"
#include "codec/reply_json.h"

using qv_reply::copy_text;
using qv_reply::first;
using qv_reply::member;

namespace {

// The capacity of the caller's name buffer of command 171.
constexpr size_t kNickNameSize = 64;

}  // namespace

void qv_zone_list_free(qv_zone_list *list) {
    if (list == nullptr) return;
    if (list->dnode != nullptr) {
        for (qv_zone_dnode **p = list->dnode; *p != nullptr; ++p) {
            std::free((*p)->cityList);
            std::free(*p);
        }
        std::free(list->dnode);
    }
    std::free(list);
}

int Parser_GetDeviceStatus(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *data = member(info->r_json, "data");
    if (data == nullptr) return 0;
    json_object *elem = first(data);
    if (elem != nullptr) {
        if (json_object *v = member(elem, "status")) info->status = json_object_get_int(v);
        switch (info->status) {
            case 3001:
                if (json_object *v = member(elem, "initMode")) info->initMode = json_object_get_int(v);
                break;
            case 3003:
                if (json_object *v = member(elem, "dataSyncTime"))
                    info->dataSyncTime = json_object_get_int64(v);
                break;
            case 3005:
                if (json_object *v = member(elem, "curDiskCapacity"))
                    info->curDiskCapacity = json_object_get_int64(v);
                if (json_object *v = member(elem, "expanCapacity"))
                    info->expanCapacity = json_object_get_int64(v);
                if (json_object *v = member(elem, "expanTime")) info->expanTime = json_object_get_int64(v);
                break;
            default:
                break;
        }
    }
    QV_LOG_DEBUG("status = %d ", info->status);
    return 0;
}

int Parser_Get_DeviceNickName(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *data = member(info->r_json, "data");
    if (data == nullptr) {
        QV_LOG_DEBUG("data json NULL");
        return QV_ERR_ARG;
    }
    json_object *name = member(first(data), "deviceNickName");
    if (name == nullptr || info->deviceNickName == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    // The whole buffer is written: the name (cut to 63 bytes), then zeros.
    std::memset(info->deviceNickName, 0, kNickNameSize);
    qv_strlcpy(info->deviceNickName, qv_reply::text(name), kNickNameSize);
    return 0;
}

int Parser_GetSambaStatus(client_info *info, uint16_t, int, const file_cmd_row *) {
    info->samba_enabled = 1;
    json_object *data = member(info->r_json, "data");
    if (data == nullptr) return 0;
    if (json_object *v = member(first(data), "enabled")) info->samba_enabled = json_object_get_int(v);
    QV_LOG_DEBUG("samba_enabled = %d ", info->samba_enabled);
    return 0;
}

int Parser_FileLogDownload(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *len = member(first(member(info->r_json, "data")), "contentLength");
    if (len == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    int64_t length = json_object_get_int64(len);
    // A length the device sent as a signed 32-bit value is taken as its unsigned value.
    if (length < 0) length = static_cast<int64_t>(static_cast<uint32_t>(json_object_get_int(len)));
    info->file_length = length;
    if (json_object *date = member(first(member(info->r_json, "data")), "date"))
        info->modifyTime = static_cast<uint32_t>(json_object_get_int(date));
    QV_LOG_DEBUG("content_len: %lld,modifyTime = %u", static_cast<long long>(info->file_length),
                 info->modifyTime);
    return 0;
}

int Parser_GetDevSleepTime(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *data = member(info->r_json, "data");
    if (data == nullptr) return QV_ERR_ARG;
    json_object *elem = first(data);
    if (elem == nullptr || info->req.devSleepTime == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    json_object *t = member(elem, "time");
    if (t == nullptr) return 0;
    info->req.devSleepTime->time = json_object_get_int64(t);
    QV_LOG_DEBUG("timeMin = %lld", static_cast<long long>(info->req.devSleepTime->time));
    return 0;
}

int Parser_GetDevTimeZone(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *elem = first(member(info->r_json, "data"));
    if (elem == nullptr || info->req.pTimeZone == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    json_object *zone = member(elem, "timeZone");
    if (zone == nullptr) {
        QV_LOG_ERROR("### JSON_GET_OBJECT_EX failed, timeZone_json is null. ###");
        return QV_ERR_BAD_DATA;
    }
    const char *text = qv_reply::text(zone);
    if (text == nullptr) {
        QV_LOG_ERROR("### JSON_GET_OBJECT_VALUE failed, timeZone is null. ###");
        return QV_ERR_BAD_DATA;
    }
    qv_strlcpy(info->req.pTimeZone->timeZone, text);
    QV_LOG_DEBUG("timeZone = %s", info->req.pTimeZone->timeZone);
    return 0;
}

int Parser_ZoneGetInfoList(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *data = member(info->r_json, "data");
    if (data == nullptr || info->req.pTimeZone == nullptr) return QV_ERR_ARG;
    time_zone_req *block = info->req.pTimeZone;
    // A list a previous parse left behind is replaced, not leaked.
    qv_zone_list_free(block->zoneList);
    block->zoneList = nullptr;
    json_object *arr = qv_reply::array_member(data, "zone_list");
    if (arr == nullptr) return QV_ERR_ARG;
    auto *zList = qv_reply::zalloc<qv_zone_list>("p_client_info->req.pTimeZone->zoneList != NULL");
    const size_t n = json_object_array_length(arr);
    zList->dnode = qv_reply::zalloc<qv_zone_dnode *>("zList->dnode != NULL", n + 1);
    zList->count = static_cast<int32_t>(n);
    for (size_t i = 0; i < n; ++i) {
        json_object *elem = json_object_array_get_idx(arr, i);
        if (elem == nullptr || !json_object_is_type(elem, json_type_object)) {
            // A failed parse leaves no partial list behind.
            QV_LOG_DEBUG("access NULL");
            qv_zone_list_free(zList);
            return QV_ERR_ARG;
        }
        qv_zone_dnode *node = qv_reply::zalloc<qv_zone_dnode>("zList->dnode[i] != NULL");
        zList->dnode[i] = node;
        if (json_object *zt = member(elem, "zone_time")) copy_text(node->zone_time, zt);
        if (json_object *city = member(elem, "city")) {
            const char *text = qv_reply::text(city);
            const size_t len = std::strlen(text);
            node->cityList = qv_reply::zalloc<char>("zList->dnode[i]->cityList != NULL", len + 1);
            std::memcpy(node->cityList, text, len);
        }
    }
    block->zoneList = zList;
    return 0;
}

int Parser_GetSmartInfo(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *data = member(info->r_json, "data");
    if (data == nullptr) return QV_ERR_ARG;
    json_object *smart = member(data, "smart_info");
    if (smart == nullptr) return 0;
    const char *text = qv_reply::text(smart);
    const size_t len = std::strlen(text);
    char *copy = qv_reply::zalloc<char>("p_client_info->reserved != NULL", len + 1);
    std::memcpy(copy, text, len);
    std::free(info->reserved);
    info->reserved = copy;
    return 0;
}

int upload_parse_json(client_info *info) {
    int result = 0;
    info->r_json = info->recv_buf != nullptr ? json_tokener_parse(info->recv_buf) : nullptr;
    json_object *header = member(info->r_json, "header");
    if (header == nullptr || !json_object_is_type(header, json_type_object)) {
        QV_LOG_DEBUG("access NULL");
        result = QV_ERR_ARG;
    } else {
        json_object *err = member(header, "error");
        info->error = err != nullptr ? json_object_get_int(err) : 0;
    }
    if (info->r_json != nullptr) {
        json_object_put(info->r_json);
        info->r_json = nullptr;
    }
    QV_LOG_DEBUG("header.cmd = %d,p_client_info->error=%d", info->cmd, info->error);
    return result;
}
