// Reply parsers of the listings by file type (120, 158, 124, 123, 155, 121) and the client-side album
// grouping. Lists grow at the head: a walk from the last element keeps reply order, a walk from the
// first reverses it.
#include "codec/file_parse_type.h"

#include <json-c/json.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/reply_json.h"

using namespace qv_reply;

namespace {

// Dates of the type lists travel as 32-bit values under "data" and are taken as unsigned: a date past
// 2038 arrives either as itself (up to 2^32 - 1) or as a negative 32-bit number.
int64_t date_zero_extended(json_object *v) {
    const int64_t x = read64(v);
    if (x >= 0 && x <= static_cast<int64_t>(UINT32_MAX)) return x;
    return static_cast<uint32_t>(read32(v));
}

// The user space of an element: "userId", else "bucket_id", else 0.
int32_t bucket_of(json_object *el) {
    if (json_object *v = member(el, "userId")) return read32(v);
    if (json_object *v = member(el, "bucket_id")) return read32(v);
    return 0;
}

// The opening every listing parser shares: "data", its counts, the holder in `file_list`, the array.
// Returns 0 with `*array` set, or -1 (the holder, once allocated, stays in `file_list`).
int open_listing(client_info *info, const char *array_key, bool verbose, bool with_total_size,
                 json_object **array) {
    *array = nullptr;
    json_object *data = member_of(info->r_json, "data", json_type_object);
    if (data == nullptr) {
        if (verbose) QV_LOG_ERROR("access NULL");
        return QV_ERR_ARG;
    }
    json_object *count = member(data, "count");
    json_object *total_count = member(data, "totalCount");
    json_object *total_size = with_total_size ? member(data, "totalSize") : nullptr;
    if (count == nullptr || total_count == nullptr || (with_total_size && total_size == nullptr)) {
        QV_LOG_ERROR("access NULL");
        return QV_ERR_ARG;
    }
    auto *holder = static_cast<file_list_info *>(std::calloc(1, sizeof(file_list_info)));
    if (holder == nullptr) {
        QV_LOG_ERROR("file list holder: out of memory");
        return QV_ERR_ARG;
    }
    info->file_list = holder;
    holder->count = read32(count);
    holder->totalCount = read32(total_count);
    if (with_total_size) holder->totalSize = read64(total_size);
    json_object *arr = member_of(data, array_key, json_type_array);
    if (arr == nullptr) {
        if (verbose) QV_LOG_ERROR("access NULL");
        return QV_ERR_ARG;
    }
    *array = arr;
    return 0;
}

// An element that is an object, or null.
json_object *object_at(json_object *array, size_t i) {
    json_object *el = element(array, i);
    return el != nullptr && json_object_is_type(el, json_type_object) ? el : nullptr;
}

// Element `index` of a listing when it is an object; otherwise logs "access NULL" and gives null.
json_object *listing_element(json_object *array, long index) {
    json_object *el = index >= 0 ? object_at(array, static_cast<size_t>(index)) : nullptr;
    if (el == nullptr) QV_LOG_ERROR("access NULL");
    return el;
}

char *dup_text(const char *s) {
    return s ? strdup(s) : nullptr;
}

}  // namespace

int parser_FileGetTypeList(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *arr = nullptr;
    if (open_listing(info, "filelist", false, false, &arr) != 0) return QV_ERR_ARG;
    file_list_info *holder = info->file_list;
    for (size_t i = count(arr); i-- > 0;) {
        json_object *el = listing_element(arr, static_cast<long>(i));
        if (el == nullptr) return QV_ERR_ARG;
        // Every value starts from zero for each element: a key an element lacks must not inherit the
        // value of its neighbour.
        int64_t size = 0, date = 0;
        int32_t is_folder = 0, is_store = 0;
        if (json_object *v = member(el, "size")) size = read64_unsigned_fallback(v);
        if (json_object *v = member(el, "data")) date = date_zero_extended(v);
        if (json_object *v = member(el, "isFolder")) is_folder = read32(v);
        if (json_object *v = member(el, "isStore")) is_store = read32(v);
        ppc_add_file_to_list(&holder->list, text(el, "name"), size, date, static_cast<uint8_t>(is_folder),
                             text(el, "path"), bucket_of(el), is_store, nullptr, info->fileType);
    }
    return 0;
}

int traverse_file_type_path_json(json_object *array, file_dnode **list, int index, int32_t type) {
    json_object *el = listing_element(array, index);
    if (el == nullptr) return QV_ERR_ARG;
    json_object *size = member(el, "size");
    json_object *date = member(el, "data");
    json_object *is_folder = member(el, "isFolder");
    json_object *name = member(el, "name");
    if (size == nullptr || date == nullptr || is_folder == nullptr || name == nullptr) {
        QV_LOG_ERROR("access NULL");
        return QV_ERR_ARG;
    }
    int32_t is_store = 0;
    if (json_object *v = member(el, "isStore")) is_store = read32(v);
    const char *name_text = json_object_get_string(name);
    QV_LOG_DEBUG("add index = %d,name = %s", index, name_text ? name_text : "");
    ppc_add_file_to_list(list, name_text, read64_unsigned_fallback(size), date_zero_extended(date),
                         static_cast<uint8_t>(read32(is_folder)), text(el, "path"), bucket_of(el), is_store,
                         nullptr, type);
    return 0;
}

int parser_FileGetTypeListByPath(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *arr = nullptr;
    if (open_listing(info, "filelist", false, true, &arr) != 0) return QV_ERR_ARG;
    const size_t n = count(arr);
    for (size_t i = 0; i < n; ++i)
        traverse_file_type_path_json(arr, &info->file_list->list, static_cast<int>(i), info->fileType);
    return 0;
}

int parser_FileGetDirList(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *arr = nullptr;
    if (open_listing(info, "albumList", true, false, &arr) != 0) return QV_ERR_ARG;
    file_list_info *holder = info->file_list;
    const size_t n = count(arr);
    for (size_t i = 0; i < n; ++i) {
        json_object *el = listing_element(arr, static_cast<long>(i));
        if (el == nullptr) return QV_ERR_ARG;
        const char *path = text(el, "path");
        if (path == nullptr) {
            QV_LOG_ERROR("access NULL");
            return QV_ERR_ARG;
        }
        auto *album = static_cast<file_dnode *>(std::calloc(1, sizeof(file_dnode)));
        if (album == nullptr) {
            QV_LOG_ERROR("add album list error");
            return QV_ERR_ARG;
        }
        if (json_object *v = member(el, "date")) album->date = read32(v);
        if (json_object *v = member(el, "bucket_id")) album->bucketId = read32(v);
        if (json_object *v = member(el, "count")) album->count = read32(v);
        if (json_object *v = member(el, "totalCount")) album->totalCount = read32(v);
        album->path = dup_text(path);
        album->name = dup_text(last_component(path));
        ppc_link_file_to_list(&holder->list, album);

        json_object *items = member_of(el, "fileList", json_type_array);
        if (items == nullptr) {
            QV_LOG_ERROR("access NULL");
            return QV_ERR_ARG;
        }
        // The preview array is sized from the entries the reply actually holds (the album's "count"
        // may be smaller, or 0), plus the null terminator.
        const size_t m = count(items);
        if (m == 0) continue;
        album->type_list = static_cast<file_type_item **>(std::calloc(m + 1, sizeof(file_type_item *)));
        if (album->type_list == nullptr) {
            QV_LOG_ERROR("add album list error");
            return QV_ERR_ARG;
        }
        for (size_t j = 0; j < m; ++j) {
            json_object *it = object_at(items, j);
            const char *item_path = it ? text(it, "path") : nullptr;
            if (item_path == nullptr) {
                QV_LOG_ERROR("access NULL");
                return QV_ERR_ARG;
            }
            auto *item = static_cast<file_type_item *>(std::calloc(1, sizeof(file_type_item)));
            if (item == nullptr) {
                QV_LOG_ERROR("add album list error");
                return QV_ERR_ARG;
            }
            item->path = dup_text(item_path);
            item->name = dup_text(last_component(item_path));
            if (json_object *v = member(it, "date")) item->date = read32(v);
            if (json_object *v = member(it, "bucket_id")) item->bucketId = read32(v);
            album->type_list[j] = item;
            album->type_count += 1;
        }
    }
    return 0;
}

int parser_FileGetBackupList(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *arr = nullptr;
    if (open_listing(info, "filelist", false, false, &arr) != 0) return QV_ERR_ARG;
    file_list_info *holder = info->file_list;
    const size_t n = count(arr);
    for (size_t i = 0; i < n; ++i) {
        json_object *el = listing_element(arr, static_cast<long>(i));
        if (el == nullptr) return QV_ERR_ARG;
        json_object *uuid = member(el, "file_uuid");
        if (uuid == nullptr) continue;
        if (ppc_add_uuid_only_to_list(&holder->uuid_list, json_object_get_string(uuid)) != 0) {
            QV_LOG_ERROR("add_uuid_only_to_list failed...");
            uuid_list_free(holder->uuid_list);
            std::free(holder);
            info->file_list = nullptr;
            return QV_ERR_ARG;
        }
    }
    return 0;
}

int parser_FileGetClassInfo(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *data = member_of(info->r_json, "data", json_type_object);
    if (data == nullptr) {
        QV_LOG_ERROR("access NULL");
        return QV_ERR_ARG;
    }
    json_object *total_count = member(data, "totalCount");
    if (total_count == nullptr) {
        QV_LOG_ERROR("access NULL");
        return QV_ERR_ARG;
    }
    info->totalCount = read32(total_count);
    json_object *total_size = member(data, "totalSize");
    if (total_size == nullptr) {
        QV_LOG_ERROR("access NULL");
        return QV_ERR_ARG;
    }
    // A type's total easily passes 2 GB: read all 64 bits.
    info->totalSize = read64(total_size);
    return 0;
}

// ---- client-side album grouping ----

int update_album_list(file_dnode *album, const char *path) {
    if (album == nullptr || path == nullptr || album->type_list == nullptr) {
        QV_LOG_ERROR("para is null");
        return QV_ERR_ARG;
    }
    auto *item = static_cast<file_type_item *>(std::calloc(1, sizeof(file_type_item)));
    if (item == nullptr) return QV_ERR_ARG;
    const char *name = last_component(path);
    item->name = strdup(name);
    std::string full = std::string(album->path ? album->path : "") + "/" + name;
    item->path = strdup(full.c_str());
    album->type_list[album->type_count] = item;
    album->type_count += 1;
    return 0;
}

int _add_album_to_list(file_dnode **list, int32_t parent_id, int64_t date, const char *path, int32_t isStore,
                       int32_t bucketId) {
    if (list == nullptr || path == nullptr) return QV_ERR_ARG;
    for (file_dnode *a = *list; a != nullptr; a = a->next) {
        if (a->parent_id == parent_id && a->bucketId == bucketId) {
            // Slots 0..3 hold previews; slot 4 stays the terminator.
            if (a->type_count <= 3) update_album_list(a, path);
            a->count += 1;
            return 0;
        }
    }
    auto *album = static_cast<file_dnode *>(std::calloc(1, sizeof(file_dnode)));
    if (album == nullptr) {
        QV_LOG_ERROR("add disk list error");
        return QV_ERR_ARG;
    }
    const char *slash = std::strrchr(path, '/');
    if (slash != nullptr) {
        std::string folder(path, static_cast<size_t>(slash - path));
        album->path = strdup(folder.c_str());
        album->name = strdup(last_component(folder.c_str()));
    } else {
        album->path = strdup("");
        album->name = strdup("");
    }
    album->date = date;
    album->parent_id = parent_id;
    album->isStore = isStore;
    album->bucketId = bucketId;
    album->type_list = static_cast<file_type_item **>(std::calloc(5, sizeof(file_type_item *)));
    if (album->type_list == nullptr) {
        std::free(album->path);
        std::free(album->name);
        std::free(album);
        QV_LOG_ERROR("add disk list error");
        return QV_ERR_ARG;
    }
    update_album_list(album, path);
    album->count = 1;
    ppc_link_file_to_list(list, album);
    return 0;
}

int traverse_album_json(json_object *array, file_dnode **list, int index) {
    json_object *el = listing_element(array, index);
    if (el == nullptr) return QV_ERR_ARG;
    int32_t parent_id = 0, is_store = 0;
    int64_t date = 0;
    if (json_object *v = member(el, "parent_id")) parent_id = read32(v);
    if (json_object *v = member(el, "data")) date = date_zero_extended(v);
    if (json_object *v = member(el, "isStore")) is_store = read32(v);
    _add_album_to_list(list, parent_id, date, text(el, "path"), is_store, bucket_of(el));
    return 0;
}

int parser_FileGetAlbumList(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *arr = nullptr;
    if (open_listing(info, "filelist", false, false, &arr) != 0) return QV_ERR_ARG;
    const size_t n = count(arr);
    for (size_t i = 0; i < n; ++i) traverse_album_json(arr, &info->file_list->list, static_cast<int>(i));
    return 0;
}
