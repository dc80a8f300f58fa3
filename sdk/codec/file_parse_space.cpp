// User space (148) and GPS listing (157) reply parsers, whole and streamed.
#include "codec/file_parse_space.h"

#include <json-c/json.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/client_file_task.h"
#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/chunk_check.h"
#include "codec/file_list.h"
#include "codec/file_process.h"
#include "codec/qv_strlcpy.h"
#include "codec/reply_json.h"

using namespace qv_reply;

namespace {

// Element 0 of the "data" array when it and its "seq" are present.
json_object *gps_head(json_object *root) {
    json_object *first = element(member_of(root, "data", json_type_array), 0);
    if (first == nullptr || member(first, "seq") == nullptr) return nullptr;
    return first;
}

// One GPS entry as a node of its own; null when a required key is missing or memory runs out.
file_dnode *gps_entry(json_object *el) {
    json_object *path = member(el, "filePath");
    json_object *name = member(el, "fileName");
    json_object *lon = member(el, "GPSLongtitude");
    json_object *lat = member(el, "GPSLatitude");
    json_object *bucket = member(el, "bucketId");
    if (path == nullptr || name == nullptr || lon == nullptr || lat == nullptr || bucket == nullptr)
        return nullptr;
    auto *n = static_cast<file_dnode *>(std::calloc(1, sizeof(file_dnode)));
    if (n == nullptr) return nullptr;
    const char *name_text = json_object_get_string(name);
    const char *path_text = json_object_get_string(path);
    n->name = name_text ? strdup(name_text) : nullptr;
    n->path = path_text ? strdup(path_text) : nullptr;
    n->longtitude = json_object_get_double(lon);
    n->latitude = json_object_get_double(lat);
    n->bucketId = read32(bucket);
    if (json_object *v = member(el, "fileSize")) n->size = read64(v);
    if (json_object *v = member(el, "fileDate")) n->date = read64(v);
    return n;
}

// Links the entries of "GPSFileList" from the last to the first (the batch ends in reply order).
// -1 at the first entry that lacks a required key; the entries linked so far stay.
int link_gps_entries(json_object *entries, file_list_info *holder) {
    for (size_t i = count(entries); i-- > 0;) {
        file_dnode *n = gps_entry(element(entries, i));
        if (n == nullptr) return QV_ERR_ARG;
        ppc_link_file_to_list(&holder->list, n);
    }
    return 0;
}

int parse_gps_chunk(json_object *root, client_file_task *task) {
    json_object *first = gps_head(root);
    if (first == nullptr) {
        QV_LOG_ERROR("access NULL");
        return QV_ERR_ARG;
    }
    task->id.store(read32(member(first, "seq")));
    auto *holder = static_cast<file_list_info *>(std::calloc(1, sizeof(file_list_info)));
    if (holder == nullptr) {
        QV_LOG_ERROR("gps holder: out of memory");
        return QV_ERR_ARG;
    }
    task->file_list = holder;
    json_object *status = member(first, "status");
    if (status == nullptr) {
        QV_LOG_ERROR("access NULL");
        return QV_ERR_ARG;
    }
    task->status.store(read32(status));
    if (task->status.load() != 1) return 0;
    json_object *cur = member(first, "curCount");
    if (cur == nullptr) {
        QV_LOG_ERROR("access NULL");
        return QV_ERR_ARG;
    }
    holder->count = read32(cur);
    holder->totalCount = holder->count;
    json_object *entries = member_of(first, "GPSFileList", json_type_array);
    if (entries == nullptr) {
        QV_LOG_ERROR("access NULL");
        return QV_ERR_ARG;
    }
    if (link_gps_entries(entries, holder) != 0) {
        QV_LOG_ERROR("access NULL");
        return QV_ERR_ARG;
    }
    return 0;
}

}  // namespace

int Parser_FileGetUserSpace(client_info *info, uint16_t, int, const file_cmd_row *) {
    user_space_dnode *out = info->p_user_space_info;
    json_object *data = member(info->r_json, "data");
    if (data == nullptr) {
        QV_LOG_ERROR("data json NULL");
        return QV_ERR_ARG;
    }
    json_object *first = element(data, 0);
    if (first == nullptr || out == nullptr) {
        QV_LOG_ERROR("access NULL");
        return QV_ERR_ARG;
    }
    json_object *user = member(first, "userName");
    json_object *used = member(first, "usedSpace");
    json_object *alloc = member(first, "allocateSpace");
    json_object *total = member(first, "diskTotalSize");
    json_object *free_size = member(first, "diskFreeSize");
    if (json_object *sys = member(first, "systemSpaceSize")) {
        out->sysSpaceSize = read64(sys);
        QV_LOG_DEBUG("p_client_info->p_user_space_info->sysSpaceSize = %llu",
                     static_cast<unsigned long long>(out->sysSpaceSize));
    }
    if (user == nullptr || used == nullptr || alloc == nullptr || total == nullptr || free_size == nullptr) {
        QV_LOG_ERROR("access NULL");
        return QV_ERR_ARG;
    }
    qv_strlcpy(out->userName, json_object_get_string(user));
    out->usedSpace = read64(used);
    out->allocateSpace = read64(alloc);
    out->diskTotalSize = read64(total);
    out->diskFreeSize = read64(free_size);
    if (json_object *v = member(first, "limitSet")) out->limitSet = read32(v);
    return 0;
}

int parser_FileTaskGPS(const char *chunk, client_file_task *task) {
    if (chunk == nullptr || task == nullptr) {
        QV_LOG_ERROR("access NULL");
        return QV_ERR_ARG;
    }
    json_object *root = json_tokener_parse(chunk);
    if (root == nullptr) {
        QV_LOG_ERROR("access NULL");
        return QV_ERR_ARG;
    }
    int ret = chunk_answers_other_cmd(root, task);
    if (ret == 0) ret = parse_gps_chunk(root, task);
    json_object_put(root);
    return ret;
}

void destroy_FileTaskGPS(client_file_task *task) {
    if (task == nullptr || task->file_list == nullptr) return;
    ppc_destory_file_list(task->file_list->list);
    std::free(task->file_list);
    task->file_list = nullptr;
}

int Parser_FileGetListByGPS(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *first = gps_head(info->r_json);
    if (first == nullptr) {
        QV_LOG_ERROR("access NULL");
        return QV_ERR_ARG;
    }
    info->seq = read32(member(first, "seq"));
    auto *holder = static_cast<file_list_info *>(std::calloc(1, sizeof(file_list_info)));
    if (holder == nullptr) {
        QV_LOG_ERROR("gps holder: out of memory");
        return QV_ERR_ARG;
    }
    info->file_list = holder;
    json_object *status = member(first, "status");
    json_object *cur = nullptr;
    json_object *entries = nullptr;
    if (status != nullptr) {
        info->status = read32(status);
        if (info->status != 1) return 0;
        cur = member(first, "curCount");
        if (cur != nullptr) {
            holder->count = read32(cur);
            if (holder->count > 0) {
                // Running total over the pages; saturates instead of wrapping.
                const int64_t sum = static_cast<int64_t>(info->count) + holder->count;
                info->count = sum > INT32_MAX ? INT32_MAX : static_cast<int32_t>(sum);
            }
            holder->totalCount = info->count;
            entries = member_of(first, "GPSFileList", json_type_array);
            if (entries != nullptr && link_gps_entries(entries, holder) == 0) return 0;
        }
    }
    QV_LOG_ERROR("access NULL");
    ppc_destory_file_list(holder->list);
    std::free(holder);
    info->file_list = nullptr;
    return QV_ERR_ARG;
}
