// Reply parsers of copy and move (159, 160), tag a list (156), delete with progress and the recycle bin
// operations (167, 211 to 213), search (113) and multi-condition search (117), and the streamed search.
#include "codec/file_parse_task.h"

#include <cstdlib>

#include "base/client_file_task.h"
#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/chunk_check.h"
#include "codec/file_list.h"
#include "codec/file_process.h"
#include "codec/reply_json.h"

using namespace qv_reply;

namespace {

file_list_info *new_file_list(const char *what) {
    auto *fl = static_cast<file_list_info *>(std::calloc(1, sizeof(file_list_info)));
    if (fl == nullptr) {
        QV_LOG_ERROR("%s", what);
        std::abort();
    }
    return fl;
}

void free_file_list(file_list_info *&fl) {
    if (fl == nullptr) return;
    ppc_destory_file_list(fl->list);
    uuid_list_free(fl->uuid_list);
    std::free(fl);
    fl = nullptr;
}

// The tag ring of one search entry, in the array's order (walked from the last, inserted at the front).
tag_head *read_tags(json_object *tags) {
    tag_head *ring = tag_ring_new();
    if (ring == nullptr) {
        QV_LOG_ERROR("tag_list != NULL");
        std::abort();
    }
    for (long j = length(tags) - 1; j >= 0; --j) {
        const char *name = text(element(tags, static_cast<size_t>(j)), "tagName");
        if (name != nullptr && tag_ring_insert(ring, name) != 0) QV_LOG_ERROR("tag insert error");
    }
    return ring;
}

// The entries of a "fileList" into `fl`, last to first with prepending (reply order). -1 when an
// entry lacks a required key.
int read_search_entries(json_object *arr, long n, file_list_info *fl) {
    for (long i = n - 1; i >= 0; --i) {
        json_object *e = element(arr, static_cast<size_t>(i));
        json_object *isFolder = member(e, "isFolder");
        json_object *path = member(e, "filePath");
        json_object *name = member(e, "fileName");
        json_object *size = member(e, "fileSize");
        json_object *date = member(e, "fileData");
        if (isFolder == nullptr || path == nullptr || name == nullptr || size == nullptr || date == nullptr)
            return QV_ERR_ARG;
        json_object *bucket = member(e, "userId");
        if (bucket == nullptr) bucket = member(e, "bucket_id");
        json_object *tags = member(e, "tagList");
        tag_head *ring = tags != nullptr ? read_tags(tags) : nullptr;
        if (ppc_add_file_to_list(&fl->list, json_object_get_string(name), json_object_get_int64(size),
                                 static_cast<int64_t>(json_object_get_int(date)),
                                 static_cast<uint8_t>(json_object_get_int(isFolder)),
                                 json_object_get_string(path),
                                 bucket != nullptr ? json_object_get_int(bucket) : 0, i32(e, "isStore"), ring,
                                 i32(e, "type")) != 0) {
            tag_ring_free(ring);
            return QV_ERR_ARG;
        }
    }
    return 0;
}

// 113 and 117 from one reply body. On failure only the holder this parse made is released: a holder that
// was already in the record belongs to its caller.
int search_body(client_info *info, bool multi) {
    json_object *first = element(member(info->r_json, "data"), 0);
    json_object *seq = member(first, "seq");
    if (seq == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    info->seq = static_cast<int64_t>(json_object_get_int(seq));
    info->file_list = new_file_list("p_client_info->file_list != NULL");
    json_object *status = member(first, "status");
    json_object *cur = nullptr;
    json_object *arr = nullptr;
    long n = 0;
    if (status == nullptr) goto fail;
    info->status = json_object_get_int(status);
    if (info->status != 1) return 0;
    cur = member(first, "curCount");
    if (cur == nullptr) goto fail;
    info->file_list->count = json_object_get_int(cur);
    if (multi) {
        // The running total of the entries announced by the replies parsed with this record.
        if (info->file_list->count > 0) info->count += info->file_list->count;
        info->file_list->totalCount = info->count;
    }
    arr = member(first, "fileList");
    n = length(arr);
    if (n < 0) goto fail;
    if (n == 0) return 0;
    if (read_search_entries(arr, n, info->file_list) != 0) goto fail;
    return 0;
fail:
    QV_LOG_DEBUG("access NULL");
    free_file_list(info->file_list);
    return QV_ERR_ARG;
}

}  // namespace

int parser_FileCopy(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *data = member(info->r_json, "data");
    if (json_object *status = member(data, "status")) info->status = json_object_get_int(status);
    return 0;
}

int parser_FileDel(client_info *, uint16_t, int, const file_cmd_row *) {
    return 0;
}

int parser_FileDelCb(client_info *info, uint16_t, int, const file_cmd_row *) {
    if (info->r_json == nullptr) {
        QV_LOG_ERROR("p_client_info->r_json != NULL");
        return QV_ERR_BAD_DATA;
    }
    json_object *data = member(info->r_json, "data");
    if (data == nullptr) return 0;
    json_object *first = element(data, 0);
    if (first == nullptr) {
        QV_LOG_ERROR("json format is error.");
        return QV_ERR_BAD_DATA;
    }
    delete_list_req *req = info->req.deleteList;
    json_object *v = member(first, "status");
    if (v == nullptr) return QV_ERR_BAD_DATA;
    if (req != nullptr) req->status = static_cast<uint8_t>(json_object_get_int(v));
    v = member(first, "curCount");
    if (v == nullptr) return QV_ERR_BAD_DATA;
    if (req != nullptr) req->count = static_cast<int64_t>(json_object_get_int(v));
    v = member(first, "totalCount");
    if (v == nullptr) return QV_ERR_BAD_DATA;
    if (req != nullptr) req->totalCount = static_cast<int64_t>(json_object_get_int(v));
    return 0;
}

int parser_FileSearch(client_info *info, uint16_t, int, const file_cmd_row *) {
    return search_body(info, false);
}

int parser_FileSearchMultiFunc(client_info *info, uint16_t, int, const file_cmd_row *) {
    return search_body(info, true);
}

int parser_FileTaskSearch(const char *chunk, client_file_task *task) {
    if (chunk == nullptr || task == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    json_object *root = json_tokener_parse(chunk);
    if (root == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    int result = chunk_answers_other_cmd(root, task);
    if (result != 0) {
        json_object_put(root);
        return result;
    }
    result = QV_ERR_ARG;
    json_object *first = element(member(root, "data"), 0);
    json_object *seq = member(first, "seq");
    json_object *status = nullptr;
    json_object *cur = nullptr;
    json_object *arr = nullptr;
    long n = 0;
    if (seq == nullptr) goto done;
    task->id = static_cast<int64_t>(json_object_get_int(seq));
    // A holder left by a chunk whose release never ran (a failed chunk) would otherwise be lost.
    if (task->file_list != nullptr) destroy_FileTaskSearch(task);
    task->file_list = new_file_list("cTask->file_list != NULL");
    status = member(first, "status");
    if (status == nullptr) goto done;
    task->status = json_object_get_int(status);
    if (task->status != 1) {
        result = 0;
        goto done;
    }
    cur = member(first, "curCount");
    if (cur == nullptr) goto done;
    task->file_list->count = json_object_get_int(cur);
    arr = member(first, "fileList");
    n = length(arr);
    if (n < 0) goto done;
    if (n > 0 && read_search_entries(arr, n, task->file_list) != 0) goto done;
    result = 0;
done:
    if (result != 0) QV_LOG_DEBUG("access NULL");
    json_object_put(root);
    return result;
}

void destroy_FileTaskSearch(client_file_task *task) {
    if (task == nullptr || task->file_list == nullptr) return;
    free_file_list(task->file_list);
}
