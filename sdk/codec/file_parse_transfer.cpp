// Reply parsers of the transfer commands (106, 57, 108, 147) and the backup commands (130 to 138, 146),
// and the firmware-download progress reader.
#include "codec/file_parse_transfer.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/client_file_task.h"
#include "base/file_types.h"
#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "base/record_list.h"
#include "codec/file_process.h"
#include "codec/qv_strlcpy.h"
#include "codec/reply_json.h"
#include "link/base64.h"

using namespace qv_reply;

namespace {

bool is_object(json_object *o) {
    return o != nullptr && json_object_is_type(o, json_type_object);
}

// Strict Base64 of the link layer; a new buffer with a zero byte after the decoded bytes, or null.
char *decode_base64(const char *text) {
    size_t n = 0;
    return reinterpret_cast<char *>(base64_decode(&n, std::strlen(text), text));
}

// 108 and 133: the status, the count and the missing ranges (prepended: reverse reply order).
int check_upload(client_info *info, bool log_fallback) {
    json_object *data = member(info->r_json, "data");
    json_object *status = member(data, "status");
    if (status == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    info->status = json_object_get_int(status);
    json_object *count = member(data, "count");
    if (count == nullptr) return 0;
    info->count = json_object_get_int(count);
    json_object *arr = member(data, "incompleteInfo");
    if (arr == nullptr) return 0;
    const long n = length(arr);
    if (n < 0) {
        QV_LOG_ERROR("access NULL");
        return QV_ERR_ARG;
    }
    for (long i = 0; i < n; ++i) {
        json_object *e = element(arr, static_cast<size_t>(i));
        if (!is_object(e) || member(e, "start") == nullptr || member(e, "end") == nullptr) {
            QV_LOG_ERROR("access NULL");
            return QV_ERR_ARG;
        }
        const int64_t start = i64_unsigned_fallback(e, "start");
        const int64_t end = i64_unsigned_fallback(e, "end");
        if (log_fallback && i64(e, "start") < 0)
            QV_LOG_ERROR("start %lld read as unsigned", static_cast<long long>(start));
        if (log_fallback && i64(e, "end") < 0)
            QV_LOG_ERROR("end %lld read as unsigned", static_cast<long long>(end));
        add_record_to_list(&info->rangeList, static_cast<int32_t>(i), start, end);
    }
    return 0;
}

void release_reply(client_info *info) {
    if (info->r_json != nullptr) {
        json_object_put(info->r_json);
        info->r_json = nullptr;
    }
}

}  // namespace

int Parser_FileDownload(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *first = element(member(info->r_json, "data"), 0);
    if (member(first, "contentLength") == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    if (json_object *date = member(first, "date"))
        info->modifyTime = static_cast<uint32_t>(json_object_get_int(date));
    info->contentLength = i64_unsigned_fallback(first, "contentLength");
    return 0;
}

int Parser_FileUploadFw(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *first = element(member(info->r_json, "data"), 0);
    if (member(first, "contentLength") == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    const int64_t v = i64(first, "contentLength");
    info->contentLength = v < 0 ? i32_wide(first, "contentLength") : v;
    return 0;
}

int Parser_FileCheckUpload(client_info *info, uint16_t, int, const file_cmd_row *) {
    return check_upload(info, true);
}

int parser_BackupCheckFile(client_info *info, uint16_t, int, const file_cmd_row *) {
    return check_upload(info, false);
}

int Parser_FileRelaxUpload(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *status = member(element(member(info->r_json, "data"), 0), "status");
    if (status == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    info->status = json_object_get_int(status);
    return 0;
}

int parser_BackupGetInfo(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *data = member(info->r_json, "data");
    json_object *bind = member(data, "BindStatus");
    backup_disk_info *out = info->backupInfo;
    if (bind == nullptr || out == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    out->BindStatus = static_cast<uint8_t>(json_object_get_int(bind));
    json_object *disk = member(data, "BindDiskInfo");
    if (disk == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return 0;
    }
    if (const char *name = text(disk, "disk_name")) qv_strlcpy(out->disk_name, name);
    if (member(disk, "diskSize") != nullptr) out->diskSize = i64(disk, "diskSize");
    if (member(disk, "diskAvSize") != nullptr) out->diskAvSize = i64(disk, "diskAvSize");
    if (member(disk, "deviceSize") != nullptr) out->deviceSize = i64(disk, "deviceSize");
    return 0;
}

// The reply's uuids are gathered on a list of their own first: only a complete reply replaces the caller's
// nodes, so a broken reply leaves the caller's list as it was.
int parser_BackupCheckFileUuid(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *data = member(info->r_json, "data");
    if (data == nullptr || info->uuidList == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    json_object *arr = member(data, "backupFileListInfo");
    const long n = length(arr);
    if (n < 0) return QV_ERR_ARG;
    backup_uuid_head fresh;
    backup_uuid_init(&fresh);
    backup_uuid_dnode *end = backup_uuid_end(&fresh);
    for (long i = 0; i < n; ++i) {
        const char *uuid = text(element(arr, static_cast<size_t>(i)), "file_uuid");
        auto *node = uuid != nullptr
                         ? static_cast<backup_uuid_dnode *>(std::calloc(1, sizeof(backup_uuid_dnode)))
                         : nullptr;
        if (node == nullptr) {
            if (uuid == nullptr) QV_LOG_DEBUG("access NULL");
            ppc_free_backup_uuid_list(&fresh);
            return QV_ERR_ARG;
        }
        qv_strlcpy(node->file_uuid, uuid);
        node->next = end;
        node->prev = fresh.prev;
        if (fresh.prev == end)
            fresh.next = node;
        else
            fresh.prev->next = node;
        fresh.prev = node;
        fresh.count += 1;
    }
    backup_uuid_head *head = info->uuidList;
    ppc_free_backup_uuid_list(head);
    backup_uuid_dnode *own_end = backup_uuid_end(head);
    if (fresh.count == 0) {
        head->next = head->prev = own_end;
    } else {
        head->next = fresh.next;
        head->prev = fresh.prev;
        head->next->prev = own_end;
        head->prev->next = own_end;
    }
    head->count = fresh.count;
    return 0;
}

int parser_BackupFile(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *data = member(info->r_json, "data");
    if (data == nullptr) return 0;
    backup_result_info *result =
        info->rClientFileTask != nullptr ? info->rClientFileTask->backup_result : nullptr;
    if (result == nullptr) {
        QV_LOG_ERROR("backup result record not set");
        return 0;
    }
    if (json_object *bucket = member(element(data, 0), "bucketId"))
        result->bucketId = static_cast<uint32_t>(json_object_get_int(bucket));
    if (const char *path = text(element(data, 1), "path")) {
        char *copy = strdup(path);
        if (copy == nullptr) {
            QV_LOG_ERROR("path != NULL");
            std::abort();
        }
        result->path = copy;
    }
    return 0;
}

int download_fw_parse_json(client_info *info) {
    if (info == nullptr) return QV_ERR_ARG;
    const int ret = file_parse_header_json(info);
    if (ret != 0) {
        release_reply(info);  // a reply without "header" would otherwise stay parsed
        return ret;
    }
    json_object *data = member(info->r_json, "data");
    if (data == nullptr) {
        QV_LOG_DEBUG("access NULL");
        release_reply(info);
        return QV_ERR_ARG;
    }
    json_object *process = member(data, "process");
    if (process == nullptr) {
        QV_LOG_DEBUG("access NULL");
        release_reply(info);
        return QV_ERR_ARG;
    }
    info->offset = static_cast<int64_t>(json_object_get_int(process));
    json_object *total = member(data, "total");
    if (total == nullptr) {
        QV_LOG_DEBUG("access NULL");
        release_reply(info);
        return QV_ERR_ARG;
    }
    info->totalSize = static_cast<int64_t>(json_object_get_int(total));
    if (const char *reserved = text(data, "reserved")) {
        char *decoded = decode_base64(reserved);
        if (decoded != nullptr) {
            QV_LOG_DEBUG("reserved: %s", decoded);
            std::free(info->reserved);  // an earlier message's text, replaced by this one
            info->reserved = decoded;
        } else {
            QV_LOG_ERROR("reserved is not Base64");
        }
    }
    release_reply(info);
    return 0;
}
