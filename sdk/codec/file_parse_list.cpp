// Reply parsers of the listing commands: storage (100), folder listing (101, 185), device users (150),
// recent records (151) and one aggregation's files (161), recycle bin page (210) and settings (214).
#include "codec/file_parse_list.h"

#include <cstdlib>
#include <cstring>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/file_list.h"
#include "codec/file_process.h"
#include "codec/qv_strlcpy.h"
#include "codec/reply_json.h"

using namespace qv_reply;

namespace {

// Zeroed records and arrays; a process without memory cannot go on.
template <typename T>
T *zalloc_or_die(const char *what, size_t n = 1) {
    void *p = std::calloc(n, sizeof(T));
    if (p == nullptr) {
        QV_LOG_ERROR("%s", what);
        std::abort();
    }
    return static_cast<T *>(p);
}

char *dup_or_die(const char *text, const char *what) {
    char *p = strdup(text);
    if (p == nullptr) {
        QV_LOG_ERROR("%s", what);
        std::abort();
    }
    return p;
}

// "isFolder" and "isStore" of a listing: the device marks some entries with 16, which means 1.
int32_t flag16(int32_t v) {
    return v == 16 ? 1 : v;
}

bool is_element(json_object *e) {
    return e != nullptr && json_object_is_type(e, json_type_object);
}

// Element `i` when it is an object; otherwise logs "access NULL" and gives null (the caller returns -1).
json_object *object_at(json_object *arr, long i) {
    json_object *e = element(arr, static_cast<size_t>(i));
    if (is_element(e)) return e;
    QV_LOG_DEBUG("access NULL");
    return nullptr;
}

// Ring operations; the head is the end marker and is touched only through its own type.
void ring_insert_front(recent_list *head, recent_dnode *node) {
    recent_dnode *end = recent_ring_end(head);
    node->next = head->next;
    node->prev = end;
    if (head->next == end)
        head->prev = node;
    else
        head->next->prev = node;
    head->next = node;
}

void ring_append(recent_list *head, recent_dnode *node) {
    recent_dnode *end = recent_ring_end(head);
    node->next = end;
    node->prev = head->prev;
    if (head->prev == end)
        head->next = node;
    else
        head->prev->next = node;
    head->prev = node;
}

void free_recent_node(recent_dnode *node) {
    if (node->rList != nullptr) ppc_free_recent_list(node->rList);
    std::free(node->fInfo);
    std::free(node);
}

recent_dnode *new_recent_node() {
    auto *node = zalloc_or_die<recent_dnode>("pfi != NULL");
    node->fInfo = zalloc_or_die<recent_file_info>("pfi->fInfo != NULL");
    return node;
}

// The file of a recent record, from one reply element.
void fill_recent_file(recent_file_info *f, json_object *e) {
    if (const char *s = text(e, "path")) qv_strlcpy(f->path, s);
    if (const char *s = text(e, "name")) qv_strlcpy(f->name, s);
    f->size = i64_unsigned_fallback(e, "size");
    f->time = i32_wide(e, "time");
    f->isDir = i32(e, "isDir");
    f->bucketId = i32(e, "bucketId");
}

// Steps shared by 151 and 161: "data", the counters, "recordsList" (emptying the ring). Returns the
// array, or null after logging (the caller returns -1).
json_object *records_array(client_info *info, long *n) {
    json_object *data = member(info->r_json, "data");
    if (data == nullptr || info->rList == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return nullptr;
    }
    if (json_object *v = member(data, "count")) info->rList->count = json_object_get_int(v);
    if (json_object *v = member(data, "totalCount")) info->rList->totalCount = json_object_get_int(v);
    json_object *arr = member(data, "recordsList");
    *n = length(arr);
    if (*n < 0) {
        QV_LOG_DEBUG("access NULL");
        return nullptr;
    }
    recent_ring_init(info->rList);
    return arr;
}

// The records of 151 and 161: for each element of "recordsList" a new node with its file read, handed to
// `place(node, element)`, which links it (or frees it and returns nonzero). 0, or -1 at the first failure.
template <typename Place>
int read_records(client_info *info, Place place) {
    long n = 0;
    json_object *arr = records_array(info, &n);
    if (arr == nullptr) return QV_ERR_ARG;
    for (long i = 0; i < n; ++i) {
        json_object *e = object_at(arr, i);
        if (e == nullptr) return QV_ERR_ARG;
        recent_dnode *node = new_recent_node();
        fill_recent_file(node->fInfo, e);
        if (place(node, e) != 0) return QV_ERR_ARG;
    }
    return 0;
}

// The entries of an aggregation into the record's own ring (front insertion: reverse reply order).
// 0, or -1 for a missing part.
int fill_aggregation(recent_dnode *node, json_object *e) {
    node->rList = zalloc_or_die<recent_list>("pfi->rList != NULL");
    recent_ring_init(node->rList);
    json_object *agg = member(e, "aggregateList");
    json_object *aid = member(e, "aggregateId");
    const long m = length(agg);
    if (m < 0 || aid == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    recent_list *sub = node->rList;
    if (json_object *v = member(e, "count")) sub->count = json_object_get_int(v);
    if (json_object *v = member(e, "totalCount")) sub->totalCount = json_object_get_int(v);
    if (json_object *v = member(e, "picture_count")) {
        sub->picture_count = json_object_get_int(v);
        QV_LOG_DEBUG("picture_count=%d", sub->picture_count);
    }
    if (json_object *v = member(e, "vedeo_count")) {
        sub->vedeo_count = json_object_get_int(v);
        QV_LOG_DEBUG("vedeo_count=%d", sub->vedeo_count);
    }
    node->aggregateId = json_object_get_int(aid);
    for (long j = 0; j < m; ++j) {
        json_object *ej = object_at(agg, j);
        if (ej == nullptr) return QV_ERR_ARG;
        recent_dnode *entry = new_recent_node();
        fill_recent_file(entry->fInfo, ej);
        ring_insert_front(sub, entry);
    }
    return 0;
}

}  // namespace

int recent_ring_size(recent_list *head) {
    if (head == nullptr || head->next == nullptr) return 0;  // a zeroed head not yet made a ring
    int n = 0;
    for (recent_dnode *p = head->next; p != recent_ring_end(head); p = p->next) ++n;
    return n;
}

void ppc_destory_recent_list(recent_list *head) {
    if (head == nullptr || head->next == nullptr) return;  // a never-initialised zeroed head holds nothing
    recent_dnode *end = recent_ring_end(head);
    recent_dnode *p = head->next;
    while (p != end) {
        recent_dnode *next = p->next;
        free_recent_node(p);
        p = next;
    }
    recent_ring_init(head);
}

void ppc_free_recent_list(recent_list *head) {
    ppc_destory_recent_list(head);
    std::free(head);
}

void ppc_free_user_list(user_list_item **list) {
    if (list == nullptr) return;
    for (user_list_item **p = list; *p != nullptr; ++p) std::free(*p);
    std::free(list);
}

void ppc_free_resyscle_list(resyscle_list_info *info) {
    if (info == nullptr) return;
    if (info->rDnode != nullptr) {
        for (resyscle_dnode **p = info->rDnode; *p != nullptr; ++p) {
            std::free((*p)->name);
            std::free((*p)->path);
            std::free(*p);
        }
        std::free(info->rDnode);
    }
    std::free(info);
}

void ppc_free_resyscle_info(resyscle_info *info) {
    if (info == nullptr) return;
    if (info->spaceDnode != nullptr) {
        for (resyscle_space **p = info->spaceDnode; *p != nullptr; ++p) std::free(*p);
        std::free(info->spaceDnode);
    }
    std::free(info);
}

int Parser_FileGetList(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *data = member(info->r_json, "data");
    if (data == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    file_list_info *fl = info->file_list;
    if (fl != nullptr) {
        json_object *count = member(data, "count");
        json_object *total = member(data, "totalCount");
        if (count == nullptr || total == nullptr) {
            QV_LOG_DEBUG("access NULL");
            return QV_ERR_ARG;
        }
        fl->count = json_object_get_int(count);
        fl->totalCount = json_object_get_int(total);
    }
    json_object *arr = member(data, "filelist");
    const long n = length(arr);
    if (n < 0) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    // Last to first with prepending: the list ends in reply order.
    for (long i = n - 1; i >= 0; --i) {
        json_object *e = element(arr, static_cast<size_t>(i));
        if (!is_element(e)) {
            QV_LOG_ERROR("access NULL");
            return QV_ERR_ARG;
        }
        const char *name = text(e, "name");
        const int32_t isFolder = flag16(i32(e, "isFolder"));
        if (fl != nullptr) {
            const int64_t size = i64_unsigned_fallback(e, "size");
            const int64_t date = u32_wide(e, "data");
            if (ppc_add_file_to_list(&fl->list, name, size, date, static_cast<uint8_t>(isFolder),
                                     text(e, "path"), i32(e, "bucket_id"), flag16(i32(e, "isStore")), nullptr,
                                     i32(e, "type")) != 0) {
                QV_LOG_ERROR("add file to list error");
                return QV_ERR_ARG;
            }
        }
        info->count += 1;
    }
    return 0;
}

int Parser_FileGetStorage(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *data = member(info->r_json, "data");
    if (data == nullptr) {
        QV_LOG_DEBUG("data json NULL");
        return QV_ERR_ARG;
    }
    json_object *arr = member(data, "diskInfoList");
    const long n = length(arr);
    if (n < 0) {
        QV_LOG_DEBUG("disk list json NULL");
        return QV_ERR_ARG;
    }
    // First to last with prepending: the disk list ends in reverse reply order.
    for (long i = 0; i < n; ++i) {
        json_object *e = element(arr, static_cast<size_t>(i));
        json_object *name = member(e, "displayName");
        json_object *path = member(e, "path");
        json_object *size = member(e, "size");
        json_object *avSize = member(e, "avSize");
        if (name == nullptr || path == nullptr || size == nullptr || avSize == nullptr) {
            QV_LOG_DEBUG("access NULL");
            return QV_ERR_ARG;
        }
        const char *fsType = text(e, "fsType");
        if (member(e, "systemSpaceSize") != nullptr)
            QV_LOG_DEBUG("sysSpaceSize = %llu", static_cast<unsigned long long>(i64(e, "systemSpaceSize")));
        if (ppc_add_disk_to_list(&info->diskList, json_object_get_string(name), json_object_get_string(path),
                                 json_object_get_int64(size), json_object_get_int64(avSize),
                                 i32(e, "diskType"), fsType != nullptr ? fsType : "UNKNOWN") != 0) {
            ppc_destory_disk_list(info->diskList);
            info->diskList = nullptr;
            return QV_ERR_ARG;
        }
    }
    return 0;
}

int Parser_FileGetUserList(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *data = member(info->r_json, "data");
    const long n = length(data);
    if (n < 0) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    info->user_list =
        zalloc_or_die<user_list_item *>("p_client_info->user_list != NULL", static_cast<size_t>(n) + 1);
    for (long i = 0; i < n; ++i) {
        json_object *e = object_at(data, i);
        if (e == nullptr) return QV_ERR_ARG;
        auto *item = zalloc_or_die<user_list_item>("p_client_info->user_list[i] != NULL");
        info->user_list[i] = item;
        if (const char *s = text(e, "nick_name")) qv_strlcpy(item->nick_name, s);
        json_object *id = member(e, "user_id");
        if (id == nullptr) id = member(e, "bucket_id");
        if (id != nullptr) item->user_id = json_object_get_int(id);
        if (json_object *v = member(e, "isPublic")) item->isPublic = json_object_get_boolean(v) ? 1 : 0;
    }
    return 0;
}

int Parser_FileGetRecordsList(client_info *info, uint16_t, int, const file_cmd_row *) {
    return read_records(info, [info](recent_dnode *node, json_object *e) {
        node->type = i32(e, "type");
        node->time = node->fInfo->time;
        node->cmd = i32(e, "cmd");
        node->bucketId = node->fInfo->bucketId;
        node->userId = i32(e, "userId");
        if (const char *s = text(e, "nickName")) qv_strlcpy(node->nickName, s);
        node->logId = i32(e, "logId");
        node->enableHide = i32(e, "enableHide");
        if (node->type == 1 && fill_aggregation(node, e) != 0) {
            free_recent_node(node);  // never linked: freed here rather than lost
            return QV_ERR_ARG;
        }
        ring_append(info->rList, node);  // the main ring keeps reply order
        return QV_OK;
    });
}

int Parser_FileGetAggregationList(client_info *info, uint16_t, int, const file_cmd_row *) {
    return read_records(info, [info](recent_dnode *node, json_object *e) {
        node->cmd = i32(e, "cmd");
        if (const char *s = text(e, "nickName")) qv_strlcpy(node->nickName, s);
        ring_insert_front(info->rList, node);  // reverse reply order
        return 0;
    });
}

int Parser_ResyscleFileGetList(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *data = member(info->r_json, "data");
    if (data == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    json_object *count = member(data, "count");
    json_object *total = member(data, "totalCount");
    if (count == nullptr || total == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    auto *page = zalloc_or_die<resyscle_list_info>("p_client_info->resyscleList != NULL");
    info->resyscleList = page;
    page->count = json_object_get_int(count);
    page->totalCount = json_object_get_int(total);
    json_object *arr = member(data, "resyscleList");
    const long n = length(arr);
    if (n < 0) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    page->rDnode = zalloc_or_die<resyscle_dnode *>("rDnode != NULL", static_cast<size_t>(n) + 1);
    for (long i = 0; i < n; ++i) {
        json_object *e = element(arr, static_cast<size_t>(i));
        if (!is_element(e)) {
            QV_LOG_ERROR("access NULL");
            return QV_ERR_ARG;
        }
        auto *r = zalloc_or_die<resyscle_dnode>("rDnode[i] != NULL");
        page->rDnode[i] = r;
        if (member(e, "key") != nullptr) {
            r->key = i32(e, "key");
            QV_LOG_DEBUG("key = %d", r->key);
        }
        if (const char *s = text(e, "name")) r->name = dup_or_die(s, "name != NULL");
        if (const char *s = text(e, "path")) r->path = dup_or_die(s, "path != NULL");
        r->isFolder = i32(e, "isFolder");
        r->size = i64(e, "size");
        r->date = i32_wide(e, "data");
        r->delete_time = i32_wide(e, "delete_time");
        r->remain_time = i32_wide(e, "remain_time");
        r->bucketId = i32(e, "bucketId");
    }
    return 0;
}

int Parser_ResyscleGetInfoList(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *data = member(info->r_json, "data");
    if (data == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    auto *settings = zalloc_or_die<resyscle_info>("rInfo != NULL");
    info->resyscleInfo = settings;
    settings->survive_time = i32_wide(data, "survive_time");
    // Without "bucket_list" the settings still hold the survive time: an empty space list.
    json_object *arr = member(data, "bucket_list");
    long n = length(arr);
    if (arr != nullptr && n < 0) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    if (n < 0) n = 0;
    settings->count = static_cast<int32_t>(n);
    settings->spaceDnode = zalloc_or_die<resyscle_space *>("spaceDnode != NULL", static_cast<size_t>(n) + 1);
    for (long i = 0; i < n; ++i) {
        json_object *e = object_at(arr, i);
        if (e == nullptr) return QV_ERR_ARG;
        auto *s = zalloc_or_die<resyscle_space>("spaceDnode[i] != NULL");
        settings->spaceDnode[i] = s;
        s->bucket_id = i32(e, "bucket_id");
        s->type = i32(e, "type");
    }
    return 0;
}
