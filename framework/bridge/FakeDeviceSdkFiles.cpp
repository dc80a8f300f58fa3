// The scripted SDK's listings and queries: type listings, attributes, tags, the file address, streamed
// search and photo-listing replies (with a hold so that a close can land mid-stream) and recent records.
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "bridge/FakeDeviceSdk.h"

namespace {

std::string num(int64_t v) {
    return std::to_string(v);
}

std::string text(const char *t) {
    return t != nullptr ? std::string(t) : std::string("<null>");
}

char *dup(const std::string &s) {
    char *p = static_cast<char *>(std::malloc(s.size() + 1));
    std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

template <size_t N>
void put(char (&field)[N], const std::string &bytes) {
    std::memset(field, 0, N);
    std::memcpy(field, bytes.data(), std::min(N, bytes.size()));
}

constexpr int32_t kSearch = 6, kGps = 8;

}  // namespace

file_list_info *FakeDeviceSdk::buildList(const Page &page, int32_t bucketId) {
    auto *info = static_cast<file_list_info *>(std::calloc(1, sizeof(file_list_info)));
    const int n = static_cast<int>(page.entries.size());
    info->count = page.count >= 0 ? page.count : n;
    info->totalCount = page.totalCount >= 0 ? page.totalCount : n;
    // The list grows at its head: add in reverse to keep the page's order.
    for (auto it = page.entries.rbegin(); it != page.entries.rend(); ++it) {
        tag_head *ring = nullptr;
        if (it->tags) {
            ring = tag_ring_new();
            // Insertion puts each tag first: insert in reverse for a walk in the given order.
            for (auto t = it->tags->rbegin(); t != it->tags->rend(); ++t) tag_ring_insert(ring, t->c_str());
        }
        const std::string path = "/fake/" + it->name;
        ppc_add_file_to_list(&info->list, it->noName ? nullptr : it->name.c_str(), it->size, it->date,
                             it->isFolder ? 1 : 0, it->noPath ? nullptr : path.c_str(),
                             it->bucketId >= 0 ? it->bucketId : bucketId, 0, ring, 0);
        file_dnode *node = info->list;
        node->latitude = it->latitude;
        node->longtitude = it->longitude;
        if (it->album || !it->albumFiles.empty()) {
            node->type_list = static_cast<file_type_item **>(
                std::calloc(it->albumFiles.size() + 1, sizeof(file_type_item *)));
            for (size_t i = 0; i < it->albumFiles.size(); ++i) {
                auto *item = static_cast<file_type_item *>(std::calloc(1, sizeof(file_type_item)));
                if (it->albumFiles[i]) item->path = dup(*it->albumFiles[i]);
                node->type_list[i] = item;
            }
            node->type_count = static_cast<uint32_t>(it->albumFiles.size());
        }
    }
    return info;
}

int FakeDeviceSdk::typeList(const std::string &fn, std::vector<std::string> args, file_list_info **out) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record(fn, std::move(args));
    if (r != 0) return r;
    if (out == nullptr) return -1;
    *out = buildList(m_out.typePage, 0);
    return 0;
}

int FakeDeviceSdk::ppc_FileGetTypeList(int32_t fileType, int32_t sortType, file_list_info **out,
                                       int32_t offset, int32_t length, int64_t token) {
    return typeList("ppc_FileGetTypeList",
                    {num(fileType), num(sortType), num(offset), num(length), num(token)}, out);
}

int FakeDeviceSdk::ppc_FileGetMutilTypeList(const int32_t *types, int32_t typeCount, int32_t sortType,
                                            file_list_info **out, int32_t offset, int32_t length,
                                            int64_t token) {
    // The type array as it arrived: typeCount values and the one slot after them.
    std::string typesText;
    for (int32_t i = 0; types != nullptr && i <= typeCount; ++i) typesText += (i ? "," : "") + num(types[i]);
    return typeList("ppc_FileGetMutilTypeList",
                    {typesText, num(typeCount), num(sortType), num(offset), num(length), num(token)}, out);
}

int FakeDeviceSdk::ppc_DirGetTypeList(int32_t fileType, int32_t sortType, int32_t childCount, int32_t offset,
                                      int32_t length, file_list_info **out, int64_t token) {
    return typeList("ppc_DirGetTypeList",
                    {num(fileType), num(sortType), num(childCount), num(offset), num(length), num(token)},
                    out);
}

int FakeDeviceSdk::ppc_FileGetTypeListByPath(int32_t fileType, int32_t sortType, path_info target,
                                             file_list_info **out, int32_t offset, int32_t length,
                                             int64_t token) {
    return typeList("ppc_FileGetTypeListByPath",
                    {num(fileType), num(sortType), text(target.path), num(target.bucketId), num(offset),
                     num(length), num(token)},
                    out);
}

int FakeDeviceSdk::ppc_FileDelTypeListByPath(int32_t fileType, path_info target, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    return record("ppc_FileDelTypeListByPath",
                  {num(fileType), text(target.path), num(target.bucketId), num(token)});
}

int FakeDeviceSdk::ppc_mkdir(path_info target, uint16_t mode, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    return record("ppc_mkdir", {text(target.path), num(target.bucketId), num(mode), num(token)});
}

int FakeDeviceSdk::ppc_rename(path_info from, path_info to, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    return record("ppc_rename",
                  {text(from.path), num(from.bucketId), text(to.path), num(to.bucketId), num(token)});
}

int FakeDeviceSdk::ppc_stat(path_info target, file_stat *st, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_stat", {text(target.path), num(target.bucketId), num(token)});
    if (r != 0 || st == nullptr) return r != 0 ? r : -1;
    const Outputs::Attr &a = m_out.attr;
    st->st_size = a.size;
    st->totalFolderCount = a.folders;
    st->totalFileCount = a.files;
    if (!a.tags.empty()) {
        st->tag_dnode = static_cast<char **>(std::calloc(a.tags.size() + 1, sizeof(char *)));
        for (size_t i = 0; i < a.tags.size(); ++i) st->tag_dnode[i] = dup(a.tags[i]);
        st->tag_count = static_cast<int32_t>(a.tags.size());
    }
    st->mediaType = a.mediaType;
    if (a.image) st->image_info = new image_media_info(*a.image);
    if (a.audio) st->audio_info = new audio_media_info(*a.audio);
    if (a.video) st->video_info = new video_media_info(*a.video);
    return 0;
}

void FakeDeviceSdk::file_stat_release(file_stat *st) {
    std::lock_guard<std::mutex> l(m_mu);
    record("file_stat_release", {});
    if (st == nullptr) return;
    for (char **p = st->tag_dnode; p != nullptr && *p != nullptr; ++p) std::free(*p);
    std::free(st->tag_dnode);
    delete st->image_info;
    delete st->audio_info;
    delete st->video_info;
    st->tag_dnode = nullptr;
    st->image_info = nullptr;
    st->audio_info = nullptr;
    st->video_info = nullptr;
}

int FakeDeviceSdk::ppc_FileSetTag(path_info target, const char *const *tags, int32_t tagCount,
                                  int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    std::vector<std::string> args{text(target.path), num(target.bucketId), num(tagCount), num(token)};
    for (int32_t i = 0; tags != nullptr && i < tagCount; ++i) args.push_back(text(tags[i]));
    return record("ppc_FileSetTag", std::move(args));
}

int FakeDeviceSdk::ppc_FileListTag(path_info **paths, int32_t pathCount, const char *const *tags,
                                   int32_t tagCount, int32_t tagType, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    // Both arrays are walked to their empty pointer, as the request builder does.
    std::string pathsText, tagsText;
    for (path_info **p = paths; p != nullptr && *p != nullptr; ++p)
        pathsText += (pathsText.empty() ? "" : ",") + text((*p)->path);
    for (const char *const *t = tags; t != nullptr && *t != nullptr; ++t)
        tagsText += (tagsText.empty() ? "" : ",") + text(*t);
    return record("ppc_FileListTag", {pathsText, num(pathCount), tagsText, num(tagCount), num(tagType),
                                      num(token), paths == nullptr ? "no path array" : "path array"});
}

char *FakeDeviceSdk::ppc_FGetUriByToken(const char *path, int32_t bucketId, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    record("ppc_FGetUriByToken", {text(path), num(bucketId), num(token)});
    return m_out.uri.empty() || token == 0 ? nullptr : dup(m_out.uri);
}

void FakeDeviceSdk::holdStreams(bool hold) {
    {
        std::lock_guard<std::mutex> l(m_mu);
        m_holdStreams = hold;
    }
    m_cv.notify_all();
}

bool FakeDeviceSdk::waitBatchesDelivered(int n, int ms) const {
    std::unique_lock<std::mutex> l(m_mu);
    return m_cv.wait_for(l, std::chrono::milliseconds(ms), [&] { return m_batchesDelivered >= n; });
}

bool FakeDeviceSdk::waitStreamHeld(int ms) const {
    std::unique_lock<std::mutex> l(m_mu);
    return m_cv.wait_for(l, std::chrono::milliseconds(ms), [&] { return m_streamHeld; });
}

int FakeDeviceSdk::stream(const std::vector<Outputs::Batch> &batches, int32_t seq, file_task_cb cb,
                          const std::function<void(client_file_task &)> &fill, int32_t kind,
                          int cancelledResult) {
    client_file_task *task = client_file_task_new();
    task->id = seq;
    task->task_type = kind;
    fill(*task);
    int result = 0;
    for (size_t i = 0; i < batches.size(); ++i) {
        bool cancelled = false;
        {
            std::unique_lock<std::mutex> l(m_mu);
            auto marked = [&] { return m_cancelled[kind].count(seq) > 0; };
            if (i > 0 && m_holdStreams) {
                m_streamHeld = true;
                m_cv.notify_all();
                m_cv.wait(l, [&] { return !m_holdStreams || marked(); });
                m_streamHeld = false;
            }
            cancelled = marked();
        }
        // Only a reply with status 1 carries entries.
        task->status = batches[i].status;
        task->file_list = buildList(batches[i].status == 1 ? batches[i].page : Page{0, 0, {}}, 0);
        if (cb != nullptr) cb(task);
        ppc_destory_file_list(task->file_list->list);
        std::free(task->file_list);
        task->file_list = nullptr;
        {
            std::lock_guard<std::mutex> l(m_mu);
            ++m_batchesDelivered;
        }
        m_cv.notify_all();
        if (cancelled) {
            result = cancelledResult;
            break;
        }
    }
    client_file_task_free(task);
    std::lock_guard<std::mutex> l(m_mu);
    m_cancelled[kind].erase(seq);
    return result;
}

int FakeDeviceSdk::ppc_file_SearchMultiFunc(int32_t seq, int32_t sortType, const search_condition *cond,
                                            int64_t token, file_task_cb cb, int32_t currentOnly,
                                            ppc_router_task *context) {
    std::vector<Outputs::Batch> batches;
    int cancelled = 0;
    {
        std::lock_guard<std::mutex> l(m_mu);
        // What the request record carries: the keys, the specify type, condition, path, user spaces.
        std::vector<std::string> args{num(seq), num(sortType), num(token), num(currentOnly)};
        if (cond != nullptr) {
            args.push_back(num(cond->condition));
            args.push_back(num(cond->search_specify_type));
            args.push_back(num(cond->key_count));
            for (int32_t i = 0; i < cond->key_count && i < QV_SEARCH_MAX_KEYS; ++i)
                args.push_back(std::string(cond->search_key[i], strnlen(cond->search_key[i], 256)));
        }
        const int r = record("ppc_file_SearchMultiFunc", std::move(args));
        if (r != 0) return r;
        if (!isLive(context) || cond == nullptr || token <= 0) return -1;
        batches = m_out.searchBatches;
        cancelled = m_out.searchCancelledResult;
    }
    return stream(
        batches, seq, cb, [cond](client_file_task &t) { t.search = *cond; }, kSearch, cancelled);
}

int FakeDeviceSdk::ppc_cancel_FileMultiFuncSearchTask(int32_t seq, ppc_router_task *context) {
    {
        std::lock_guard<std::mutex> l(m_mu);
        const int r = record("ppc_cancel_FileMultiFuncSearchTask", {num(seq)});
        if (!isLive(context)) return -1;
        m_cancelled[kSearch].insert(seq);
        if (r != 0) return r;
    }
    m_cv.notify_all();
    return 0;
}

int FakeDeviceSdk::ppc_get_FileGpsList(int32_t seq, gps_condition *scope, double lat1, double lon1,
                                       double lat2, double lon2, int64_t token, file_task_cb cb,
                                       ppc_router_task *context) {
    std::vector<Outputs::Batch> batches;
    {
        std::lock_guard<std::mutex> l(m_mu);
        char corners[160];
        std::snprintf(corners, sizeof corners, "%.9f,%.9f,%.9f,%.9f", lat1, lon1, lat2, lon2);
        const int r =
            record("ppc_get_FileGpsList",
                   {num(seq), corners, num(token),
                    scope == nullptr ? "no scope" : num(scope->condition) + "/" + num(scope->count)});
        if (r != 0) return r;
        if (!isLive(context)) return -1;
        batches = m_out.gpsBatches;
    }
    return stream(
        batches, seq, cb,
        [=](client_file_task &t) {
            t.latitude1 = lat1;
            t.longitude1 = lon1;
            t.latitude2 = lat2;
            t.longitude2 = lon2;
        },
        kGps, 20008);
}

int FakeDeviceSdk::ppc_cancel_FileGpsListTask(int32_t seq, ppc_router_task *context) {
    {
        std::lock_guard<std::mutex> l(m_mu);
        const int r = record("ppc_cancel_FileGpsListTask", {num(seq)});
        if (!isLive(context)) return -1;
        m_cancelled[kGps].insert(seq);
        if (r != 0) return r;
    }
    m_cv.notify_all();
    return 0;
}

recent_list *FakeDeviceSdk::buildRecent(bool aggregation) {
    auto *head = static_cast<recent_list *>(std::calloc(1, sizeof(recent_list)));
    recent_ring_init(head);
    const int n = static_cast<int>(m_out.recent.size());
    head->count = m_out.recentCount >= 0 ? m_out.recentCount : n;
    head->totalCount = m_out.recentTotal >= 0 ? m_out.recentTotal : n;
    for (const Outputs::Recent &r : m_out.recent) {
        auto *rec = static_cast<recent_dnode *>(std::calloc(1, sizeof(recent_dnode)));
        rec->aggregateId = r.aggregateId;
        rec->logId = r.logId;
        rec->enableHide = r.enableHide;
        rec->type = aggregation ? 0 : r.type;
        rec->time = r.time;
        rec->cmd = r.cmd;
        rec->userId = r.userId;
        rec->bucketId = r.bucketId;
        put(rec->nickName, r.nickName);
        rec->fInfo = static_cast<recent_file_info *>(std::calloc(1, sizeof(recent_file_info)));
        rec->fInfo->bucketId = r.bucketId;
        rec->fInfo->time = r.time;
        rec->fInfo->size = 10;
        put(rec->fInfo->name, r.name);
        put(rec->fInfo->path, r.path);
        if (!aggregation && r.type == 1) {
            auto *sub = static_cast<recent_list *>(std::calloc(1, sizeof(recent_list)));
            recent_ring_init(sub);
            sub->count = static_cast<int32_t>(r.files.size());
            sub->totalCount = r.aggregateTotal >= 0 ? r.aggregateTotal : sub->count;
            sub->picture_count = r.pictures;
            sub->vedeo_count = r.videos;
            for (const std::string &f : r.files) {
                auto *e = static_cast<recent_dnode *>(std::calloc(1, sizeof(recent_dnode)));
                e->fInfo = static_cast<recent_file_info *>(std::calloc(1, sizeof(recent_file_info)));
                e->fInfo->bucketId = r.bucketId;
                e->fInfo->size = 1;
                put(e->fInfo->name, f);
                put(e->fInfo->path, "/r/" + f);
                // At the ring's end, keeping the given order.
                e->prev = sub->prev;
                e->next = recent_ring_end(sub);
                sub->prev->next = e;
                sub->prev = e;
            }
            rec->rList = sub;
        }
        rec->prev = head->prev;
        rec->next = recent_ring_end(head);
        head->prev->next = rec;
        head->prev = rec;
    }
    ++m_recentLive;
    return head;
}

int FakeDeviceSdk::ppc_FileGetRecordsList(int32_t offset, int32_t length, int32_t childCount, int64_t token,
                                          recent_list **out) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_FileGetRecordsList", {num(offset), num(length), num(childCount), num(token)});
    if (r != 0 || out == nullptr) return r != 0 ? r : -1;
    *out = buildRecent(false);
    return 0;
}

int FakeDeviceSdk::ppc_FileGetAggregationList(int32_t offset, int32_t length, int32_t aggregationId,
                                              int64_t token, recent_list **out) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r =
        record("ppc_FileGetAggregationList", {num(offset), num(length), num(aggregationId), num(token)});
    if (r != 0 || out == nullptr) return r != 0 ? r : -1;
    *out = buildRecent(true);
    return 0;
}

void FakeDeviceSdk::ppc_free_recent_list(recent_list *list) {
    std::lock_guard<std::mutex> l(m_mu);
    if (list == nullptr) return;
    --m_recentLive;
    ::ppc_free_recent_list(list);
}

int FakeDeviceSdk::recentListsLive() const {
    std::lock_guard<std::mutex> l(m_mu);
    return m_recentLive;
}

int FakeDeviceSdk::ppc_SetRecentRecordHide(const qv_record_hide *record, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    if (record == nullptr) return this->record("ppc_SetRecentRecordHide", {"null"});
    return this->record("ppc_SetRecentRecordHide",
                        {num(record->logId), num(record->userId), num(record->bucketId), num(token)});
}
