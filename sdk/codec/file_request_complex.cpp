// Request builders whose parameters are more than a flat row of record fields: upload (with tags), set
// tags, the multi-condition search, tagging many files, the instant upload and the GPS listing.
#include <json-c/json.h>

#include <algorithm>

#include "base/client_file_task.h"
#include "base/file_types.h"
#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/file_process.h"
#include "codec/request_json.h"

using qv_req::file_path_array;
using qv_req::finish_array;
using qv_req::finish_object;
using qv_req::need;
using qv_req::need_entry_paths;
using qv_req::need_path;
using qv_req::Params;

namespace {

// An array of {"tagName": name} for the first `count` names (empty for 0 or less).
json_object *tag_array(const char *const *names, int32_t count) {
    json_object *tags = json_object_new_array();
    for (int32_t k = 0; k < count; ++k) {
        Params entry;
        entry.s("tagName", names[k]);
        json_object_array_add(tags, entry.release());
    }
    return tags;
}

// The first `count` names are present.
bool need_names(const client_info *info, const char *const *names, int32_t count) {
    if (count <= 0) return true;
    if (!need(info, names, "tagList")) return false;
    for (int32_t k = 0; k < count; ++k)
        if (!need(info, names[k], "tagList entry")) return false;
    return true;
}

}  // namespace

int _QV_File_Upload(client_info *info) {
    if (info->srcPathInfo == nullptr || info->srcPathInfo->path == nullptr) {
        QV_LOG_ERROR("path NULL");
        return QV_ERR_ARG;
    }
    if (info->tagList != nullptr && !need_names(info, info->tagList, info->tagCount)) return QV_ERR_ARG;
    Params p;
    p.s("path", info->srcPathInfo->path);
    p.i("srcUserId", info->srcPathInfo->bucketId).i("srcBucketId", info->srcPathInfo->bucketId);
    p.i64("fileSize", info->file_length).i64("modifyTime", static_cast<int64_t>(info->modifyTime));
    p.i64("offset", info->offset).i64("length", info->length);
    if (info->tagList != nullptr) p.add("tagList", tag_array(info->tagList, info->tagCount));
    return finish_array(info, p);
}

int QV_File_SetTag(client_info *info) {
    if (!need_path(info, info->srcPathInfo, "srcPathInfo.path") ||
        !need_names(info, info->tagList, info->count))
        return QV_ERR_ARG;
    Params p;
    p.s("path", info->srcPathInfo->path);
    p.i("srcUserId", info->srcPathInfo->bucketId).i("srcBucketId", info->srcPathInfo->bucketId);
    p.add("tagList", tag_array(info->tagList, info->count));
    return finish_array(info, p);
}

int QV_File_SearchMultiFunc(client_info *info) {
    const search_condition *sc = info->searchCondition;
    if (!need(info, sc, "searchCondition")) return QV_ERR_ARG;

    Params p;
    json_object *buckets = json_object_new_array();
    json_object *keys = json_object_new_array();
    json_object *path_info_obj = json_object_new_object();
    if (!p.ok() || buckets == nullptr || keys == nullptr || path_info_obj == nullptr) {
        QV_LOG_ERROR("json new failed...");
        json_object_put(buckets);
        json_object_put(keys);
        json_object_put(path_info_obj);
        return QV_ERR_ARG;
    }

    p.i("sortType", info->sortType).i("currentOnly", info->currentOnly).i("condition", sc->condition);
    if (sc->search_specify_type >= 0) p.i("search_specify_type", sc->search_specify_type);

    bool failed = false;
    switch (sc->condition) {
        case CONDITION_SINGLE_PATH:
            QV_LOG_DEBUG(">>> CONDITION_SINGLE_PATH......");
            json_object_object_add(path_info_obj, "search_path",
                                   qv_req::bounded_string(sc->search_path, sizeof sc->search_path - 1));
            json_object_object_add(path_info_obj, "search_bucketid",
                                   json_object_new_int(sc->search_bucketid));
            break;
        case CONDITION_SOME_BUCKET: {
            QV_LOG_DEBUG(">>> CONDITION_SOME_BUCKET......");
            // Never past the record's array, whatever count the caller left there.
            const int32_t n = std::clamp(sc->bucket_count, 0, QV_SEARCH_MAX_BUCKETS);
            for (int32_t k = 0; k < n; ++k) {
                json_object *entry = json_object_new_object();
                if (entry == nullptr) {
                    QV_LOG_ERROR("JSON_NEW_EMPTY_OBJECT failed...");
                    failed = true;
                    break;
                }
                json_object_object_add(entry, "bucketId", json_object_new_int(sc->bucketId[k]));
                json_object_array_add(buckets, entry);
            }
            break;
        }
        case CONDITION_ALL_BUCKET:
            QV_LOG_DEBUG(">>> CONDITION_ALL_BUCKET......");
            break;
        default:
            break;
    }
    p.add("bucketList", buckets).add("search_path_info", path_info_obj);

    const int32_t nkeys = std::clamp(sc->key_count, 0, QV_SEARCH_MAX_KEYS);
    for (int32_t k = 0; k < nkeys; ++k) {
        json_object *entry = json_object_new_object();
        if (entry == nullptr) {
            QV_LOG_ERROR("JSON_NEW_EMPTY_OBJECT failed...");
            failed = true;
            break;
        }
        json_object_object_add(entry, "search_key",
                               qv_req::bounded_string(sc->search_key[k], sizeof sc->search_key[k] - 1));
        json_object_object_add(entry, "search_key_type", json_object_new_int(sc->search_key_type[k]));
        json_object_array_add(keys, entry);
    }
    p.add("search_key_list", keys);

    if (failed) {
        QV_LOG_ERROR("some json error...");
        return QV_ERR_ARG;  // `p` releases the tree; nothing was serialised
    }
    return finish_array(info, p);
}

int QV_File_Tag_All(client_info *info) {
    if (info->pathList == nullptr || info->tagList == nullptr) {
        QV_LOG_ERROR("para is null");
        return QV_ERR_ARG;
    }
    if (!need_entry_paths(info, info->pathList)) return QV_ERR_ARG;

    json_object *files = file_path_array(info->pathList);
    int32_t ntags = 0;
    while (info->tagList[ntags] != nullptr) ++ntags;
    json_object *tags = tag_array(info->tagList, ntags);
    Params p;
    p.add("FileListInfo", files).add("tagList", tags).i("tagType", info->tagType);
    return finish_object(info, p);
}

int QV_File_RelaxUpload(client_info *info) {
    if (!need_path(info, info->desPathInfo, "desPathInfo.path") ||
        !need(info, info->authorization, "authorization") || !need(info, info->authValue, "authValue"))
        return QV_ERR_ARG;
    Params p;
    p.s("path", info->desPathInfo->path);
    p.i("desUserId", info->desPathInfo->bucketId).i("desBucketId", info->desPathInfo->bucketId);
    p.s("authorization", info->authorization).s("authValue", info->authValue);
    p.i64("modifyTime", static_cast<int64_t>(info->modifyTime)).i64("fileSize", info->file_length);
    return finish_array(info, p);
}

int Request_FileGPSList(client_info *info) {
    const client_file_task *task = info->rClientFileTask;
    if (task == nullptr) return QV_ERR_ARG;
    const gps_condition *gps = info->gpsInfo;
    if (!need(info, gps, "gpsInfo")) return QV_ERR_ARG;
    const bool listed = gps->condition != 0;
    if (listed && gps->count > 0 && !need(info, gps->bucketId, "gpsInfo.bucketId")) return QV_ERR_ARG;

    json_object *buckets = json_object_new_array();
    if (listed) {
        for (int32_t k = 0; k < gps->count; ++k) {
            Params entry;
            entry.i("bucketId", gps->bucketId[k]);
            json_object_array_add(buckets, entry.release());
        }
    }
    Params p;
    p.add("GPSLongtitude_1", json_object_new_double(task->longitude1));
    p.add("GPSLatitude_1", json_object_new_double(task->latitude1));
    p.add("GPSLongtitude_2", json_object_new_double(task->longitude2));
    p.add("GPSLatitude_2", json_object_new_double(task->latitude2));
    p.i("condition", gps->condition).i("bucketIdCondition", gps->condition).add("bucketList", buckets);
    return finish_array(info, p);
}
