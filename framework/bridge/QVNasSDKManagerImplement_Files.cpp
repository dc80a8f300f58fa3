// The bridge's listings and queries: type listings and albums, folder creation and rename, tags, the
// search and the photo listing with their streamed batches and closes, attributes, the signed file
// address and the recent-activity records.
#include <QVariantList>
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bridge/QVNasSDKManagerImplement.h"
#include "bridge/SdkTextList.h"
#include "model/QVClientSDKTools.h"
#include "model/QVFileAttributeInfo.h"
#include "platform/Geo.h"
#include "platform/Log.h"

namespace {

QString heapText(const char *text) {
    return QVClientSDKTools::qvFormatChar(text).value_or(QString());
}

template <size_t N>
QString fieldText(const char (&field)[N]) {
    return QVClientSDKTools::qvFormatCharOrEmpty(field, N);
}

int32_t intOf(const QVariantMap &req, const char *key) {
    return static_cast<int32_t>(req.value(QLatin1String(key)).toLongLong());
}

// A holder the SDK handed over, freed (nodes, then holder) when this goes.
class OwnedList {
  public:
    OwnedList(DeviceSdk &sdk, file_list_info *list) : m_sdk(sdk), m_list(list) {}
    ~OwnedList() {
        if (m_list == nullptr) return;
        m_sdk.file_list_free(m_list->list);
        std::free(m_list);
    }
    OwnedList(const OwnedList &) = delete;
    OwnedList &operator=(const OwnedList &) = delete;
    const file_list_info *get() const { return m_list; }

  private:
    DeviceSdk &m_sdk;
    file_list_info *m_list;
};

plat::geo::LatLon toBd09(double lat, double lon) {
    return plat::geo::wgs84ToBd09({lat, lon});
}

// One streamed search reply copied out of the SDK's list (which the SDK frees once the callback returns):
// the plain fields of each node, its texts and tag names in one buffer. Entries whose name begins with "."
// are not copied (a name whose first byte is "." decodes to one that begins with ".").
struct SearchReply {
    static constexpr size_t kNone = std::string::npos;
    struct Entry {
        file_dnode node{};  // texts, tags and links left empty: they are below
        size_t name = kNone, path = kNone;
        size_t tagsBegin = 0, tagsEnd = 0;  // into `tags`
        bool tagged = false;
    };
    std::vector<Entry> entries;
    std::string text;                             // every text, each ended by a zero byte
    std::vector<std::pair<size_t, size_t>> tags;  // offset and length in `text`
    QStringList keys;
    int32_t seq = 0;
    int32_t status = 0;

    size_t put(const char *t, size_t n) {
        const size_t at = text.size();
        text.append(t, n);
        text.push_back('\0');
        return at;
    }
};

SearchReply copySearchReply(const client_file_task &task) {
    SearchReply r;
    r.seq = static_cast<int32_t>(task.id.load());
    r.status = task.status.load();
    const search_condition &cond = task.search;
    const int32_t keyCount = std::clamp<int32_t>(cond.key_count, 0, QV_SEARCH_MAX_KEYS);
    for (int32_t k = 0; k < keyCount; ++k)
        r.keys.append(QVClientSDKTools::qvFormatCharOrEmpty(cond.search_key[k], sizeof cond.search_key[k]));
    for (const file_dnode *n = task.file_list != nullptr ? task.file_list->list : nullptr; n != nullptr;
         n = n->next) {
        if (n->name != nullptr && n->name[0] == '.') continue;
        SearchReply::Entry e;
        e.node = *n;
        e.node.name = e.node.path = e.node.file_uuid = nullptr;
        e.node.next = nullptr;
        e.node.type_list = nullptr;
        e.node.tag_list = nullptr;
        if (n->name != nullptr) e.name = r.put(n->name, std::strlen(n->name));
        if (n->path != nullptr) e.path = r.put(n->path, std::strlen(n->path));
        e.tagged = n->tag_list != nullptr;
        e.tagsBegin = r.tags.size();
        if (e.tagged)
            for (const tag_entry *t = n->tag_list->next; t != tag_ring_end(n->tag_list); t = t->next) {
                const size_t len = strnlen(t->tagName, sizeof t->tagName);
                r.tags.emplace_back(r.put(t->tagName, len), len);
            }
        e.tagsEnd = r.tags.size();
        r.entries.push_back(e);
    }
    return r;
}

// The batch of a copied reply, handed to the delegate.
void deliverSearchReply(SearchReply &r) {
    QList<QVNasFileInfoPtr> batch;
    batch.reserve(static_cast<qsizetype>(r.entries.size()));
    for (SearchReply::Entry &e : r.entries) {
        e.node.name = e.name != SearchReply::kNone ? r.text.data() + e.name : nullptr;
        e.node.path = e.path != SearchReply::kNone ? r.text.data() + e.path : nullptr;
        QVNasFileInfoPtr info = QVNasSDKManagerImplement::qvGetNasFileInfoByDn(&e.node);
        QStringList matched;
        if (e.tagged && !r.keys.isEmpty()) {
            QStringList tags;  // decoded once, in the ring's order
            for (size_t i = e.tagsBegin; i < e.tagsEnd; ++i)
                tags.append(
                    QVClientSDKTools::qvFormatCharOrEmpty(r.text.data() + r.tags[i].first, r.tags[i].second));
            // Key by key, and within a key in the ring's order: a tag holding two keys counts twice.
            for (const QString &key : r.keys)
                for (const QString &tag : tags)
                    if (tag.contains(key)) matched.append(tag);
        }
        info->fileTagList = matched;
        batch.append(info);
    }
    auto request = std::make_shared<QVNasRequestInfo>();
    request->clientCommand = 130;
    request->clientCommandSeq = r.seq;
    if (const auto d = QVNasSDKManagerImplement::delegate())
        d->qvDiskDynamicSearchDataWithRequestInfo(request, batch, r.status);
}

// The search's model objects are built on a thread of the search's own, in reply order, while the SDK
// reads the next reply; finish() returns once every reply has been handed to the delegate, so that the
// answer comes after the last batch.
class SearchBatcher {
  public:
    SearchBatcher() = default;
    ~SearchBatcher() { finish(); }
    SearchBatcher(const SearchBatcher &) = delete;
    SearchBatcher &operator=(const SearchBatcher &) = delete;

    void push(SearchReply &&r) {
        {
            std::lock_guard<std::mutex> lock(m_mu);
            if (!m_thread.joinable()) {
                try {
                    m_thread = std::thread([this] { run(); });
                } catch (...) {
                    m_inline = true;  // no thread to be had: build them here
                }
            }
            if (!m_inline) {
                m_queue.push_back(std::move(r));
                m_cv.notify_one();
                return;
            }
        }
        deliverSearchReply(r);
    }
    void finish() {
        {
            std::lock_guard<std::mutex> lock(m_mu);
            m_done = true;
        }
        m_cv.notify_one();
        if (m_thread.joinable()) m_thread.join();
    }

  private:
    void run() {
        std::unique_lock<std::mutex> lock(m_mu);
        for (;;) {
            m_cv.wait(lock, [&] { return m_done || !m_queue.empty(); });
            if (m_queue.empty()) return;
            SearchReply r = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            try {
                deliverSearchReply(r);
            } catch (...) {
                QVB_LOG_ERROR(QStringLiteral("search batch of %1 not delivered").arg(r.seq));
            }
            lock.lock();
        }
    }

    std::mutex m_mu;
    std::condition_variable m_cv;
    std::deque<SearchReply> m_queue;
    bool m_done = false;
    bool m_inline = false;
    std::thread m_thread;
};

// The batcher of the search running on this thread (the SDK calls back on the search's own thread).
thread_local SearchBatcher *t_searchBatcher = nullptr;

}  // namespace

// ---- type listings ----

void QVNasSDKManagerImplement::qvFGetTypeFileListWithTask(const QVNasTaskInfoPtr &task) {
    const QVariantMap &req = task->requestDict;
    const DeviceSdkPtr sdk = deviceSdk();
    file_list_info *raw = nullptr;
    const int result = sdk->ppc_FileGetTypeList(intOf(req, "fileType"), intOf(req, "sequenceType"), &raw, 0,
                                                0, m_srcToken.load());
    OwnedList list(*sdk, result == 0 ? raw : nullptr);
    if (result != 0) {
        QVB_LOG_ERROR(QStringLiteral("type list failed: %1").arg(result));
        answer(task, result, 96, std::nullopt, Hop::MainAndWait);
        return;
    }
    answer(task, 0, 96, QVariant::fromValue(fileListInfoFromPage(list.get())), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFGetFileMutilTypeListWithTask(const QVNasTaskInfoPtr &task) {
    const QVariantMap &req = task->requestDict;
    const QVariantList types = req.value(QStringLiteral("typeList")).toList();
    // One slot more than there are types, ending in 0.
    std::vector<int32_t> typeArray(static_cast<size_t>(types.size()) + 1, 0);
    for (qsizetype i = 0; i < types.size(); ++i)
        typeArray[static_cast<size_t>(i)] = static_cast<int32_t>(types[i].toLongLong());
    const DeviceSdkPtr sdk = deviceSdk();
    file_list_info *raw = nullptr;
    const int result = sdk->ppc_FileGetMutilTypeList(
        typeArray.data(), static_cast<int32_t>(types.size()), intOf(req, "sequenceType"), &raw,
        std::max<int32_t>(0, intOf(req, "startIndex")), std::max<int32_t>(0, intOf(req, "count")),
        m_srcToken.load());
    OwnedList list(*sdk, result == 0 ? raw : nullptr);
    if (result != 0) QVB_LOG_ERROR(QStringLiteral("several-types list failed: %1").arg(result));
    // Also the answer of a 170 task: the broker finds the completion by number.
    answer(task, result, 134, QVariant::fromValue(fileListInfoFromPage(list.get())), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFGetDirTypeListWithTask(const QVNasTaskInfoPtr &task) {
    const QVariantMap &req = task->requestDict;
    const DeviceSdkPtr sdk = deviceSdk();
    file_list_info *raw = nullptr;
    const int result = sdk->ppc_DirGetTypeList(
        intOf(req, "fileType"), intOf(req, "sequenceType"), 1, std::max<int32_t>(0, intOf(req, "startIndex")),
        std::max<int32_t>(0, intOf(req, "count")), &raw, m_srcToken.load());
    OwnedList list(*sdk, result == 0 ? raw : nullptr);
    if (list.get() == nullptr) {
        QVB_LOG_ERROR(QStringLiteral("album list failed: %1").arg(result));
        answer(task, result, 98, std::nullopt, Hop::MainAndWait);
        return;
    }
    QVNasFileListInfoPtr info = fileListInfoFromPage(list.get());
    // The entries kept are the nodes whose names pass, in order: walk both together.
    qsizetype i = 0;
    for (const file_dnode *n = list.get()->list; n != nullptr && i < info->fileList.size(); n = n->next) {
        if (n->name != nullptr) {
            const auto name = QVClientSDKTools::qvFormatChar(n->name);
            if (name && name->startsWith(QLatin1Char('.'))) continue;
        }
        const QVNasFileInfoPtr &album = info->fileList[i++];
        album->isFolder = true;
        album->topImagePaths.clear();
        for (file_type_item *const *t = n->type_list; t != nullptr && *t != nullptr; ++t)
            album->topImagePaths.append((*t)->path != nullptr ? heapText((*t)->path) : QStringLiteral(""));
        QVB_LOG_DEBUG(
            QStringLiteral("album %1: %2").arg(album->name, album->topImagePaths.join(QLatin1Char(','))));
    }
    answer(task, 0, 98, QVariant::fromValue(info), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFGetFileTypeListByPathWithTask(const QVNasTaskInfoPtr &task) {
    const QVariantMap &req = task->requestDict;
    QByteArray path;
    const auto target =
        qvGetUserObj(req.value(QStringLiteral("searchPathInfo")).value<QVNasPathInfoPtr>(), path);
    const DeviceSdkPtr sdk = deviceSdk();
    file_list_info *raw = nullptr;
    int result = -1;
    if (target)
        result = sdk->ppc_FileGetTypeListByPath(intOf(req, "fileType"), intOf(req, "sequenceType"), *target,
                                                &raw, std::max<int32_t>(0, intOf(req, "startIndex")),
                                                std::max<int32_t>(0, intOf(req, "count")), m_srcToken.load());
    OwnedList list(*sdk, result == 0 ? raw : nullptr);
    if (list.get() == nullptr) {
        QVB_LOG_ERROR(QStringLiteral("type list by path failed: %1").arg(result));
        answer(task, result, 100, std::nullopt, Hop::MainAndWait);
        return;
    }
    QVB_LOG_DEBUG(QStringLiteral("type list by path done"));
    answer(task, 0, 100, QVariant::fromValue(fileListInfoFromPage(list.get())), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFDeleteFileTypeListByPathWithTask(const QVNasTaskInfoPtr &task) {
    QByteArray path;
    const auto target = qvGetUserObj(
        task->requestDict.value(QStringLiteral("deletePathInfo")).value<QVNasPathInfoPtr>(), path);
    const int result = target ? deviceSdk()->ppc_FileDelTypeListByPath(3, *target, m_srcToken.load()) : -1;
    if (result == 0) QVB_LOG_DEBUG(QStringLiteral("type list by path deleted"));
    answer(task, result, 101, std::nullopt, Hop::MainAndWait);
}

// ---- small changes ----

void QVNasSDKManagerImplement::qvFMkdirsWithTask(const QVNasTaskInfoPtr &task) {
    QByteArray path;
    const auto target =
        qvGetUserObj(task->requestDict.value(QStringLiteral("dirPathInfo")).value<QVNasPathInfoPtr>(), path);
    const int result = target ? deviceSdk()->ppc_mkdir(*target, 0, m_srcToken.load()) : -1;
    if (result != 0) QVB_LOG_ERROR(QStringLiteral("mkdir failed: %1").arg(result));
    answer(task, result, 62, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFRenameWithTask(const QVNasTaskInfoPtr &task) {
    const QVariantMap &req = task->requestDict;
    QByteArray fromPath, toPath;
    const auto from =
        qvGetUserObj(req.value(QStringLiteral("fromPathInfo")).value<QVNasPathInfoPtr>(), fromPath);
    const auto to = qvGetUserObj(req.value(QStringLiteral("toPathInfo")).value<QVNasPathInfoPtr>(), toPath);
    const int result = from && to ? deviceSdk()->ppc_rename(*from, *to, m_srcToken.load()) : -1;
    if (result != 0) QVB_LOG_ERROR(QStringLiteral("rename failed: %1").arg(result));
    answer(task, result, 63, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFSetTagWithTask(const QVNasTaskInfoPtr &task) {
    const QVariantMap &req = task->requestDict;
    QByteArray path;
    const auto target =
        qvGetUserObj(req.value(QStringLiteral("filePathInfo")).value<QVNasPathInfoPtr>(), path);
    const SdkTextList tags(req.value(QStringLiteral("fileTagNameList")).toStringList(), true);
    tags.log("set");
    const int result =
        target ? deviceSdk()->ppc_FileSetTag(*target, tags.data(), tags.count(), m_srcToken.load()) : -1;
    if (result != 0) QVB_LOG_ERROR(QStringLiteral("set tags failed: %1").arg(result));
    answer(task, result, 60, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFAddTagsWithTask(const QVNasTaskInfoPtr &task) {
    const QVariantMap &req = task->requestDict;
    const QVariantList pathInfos = req.value(QStringLiteral("filePathInfoList")).toList();
    std::vector<QByteArray> texts(static_cast<size_t>(pathInfos.size()));
    std::vector<path_info> records;
    records.reserve(texts.size());
    bool fits = true;
    for (qsizetype i = 0; i < pathInfos.size(); ++i) {
        const auto r = qvGetUserObj(pathInfos[i].value<QVNasPathInfoPtr>(), texts[static_cast<size_t>(i)]);
        if (!r) {
            fits = false;
            break;
        }
        records.push_back(*r);
    }
    // Both lists end with an empty pointer; an empty path list is an array holding only that.
    std::vector<path_info *> paths;
    for (path_info &r : records) paths.push_back(&r);
    paths.push_back(nullptr);
    const SdkTextList tags(req.value(QStringLiteral("fileTagNameList")).toStringList(), true);
    tags.log("add");
    const int result = fits ? deviceSdk()->ppc_FileListTag(paths.data(), static_cast<int32_t>(records.size()),
                                                           tags.data(), tags.count(), 0, m_srcToken.load())
                            : -1;
    if (result != 0) QVB_LOG_ERROR(QStringLiteral("add tags failed: %1").arg(result));
    answer(task, result, 95, std::nullopt, Hop::MainAndWait);
}

// ---- search and photo listing ----

void QVNasSDKManagerImplement::qvFSearchForMultiWithTask(const QVNasTaskInfoPtr &task) {
    const QVariantMap &req = task->requestDict;
    search_condition cond{};
    const QVariantList titles = req.value(QStringLiteral("searchTitleList")).toList();
    for (const QVariant &t : titles) {
        if (cond.key_count >= QV_SEARCH_MAX_KEYS) break;  // titles beyond 32 are dropped
        // At most 255 bytes, cut at a character boundary.
        QVClientSDKTools::copyToField(cond.search_key[cond.key_count], sizeof cond.search_key[0],
                                      t.toString().toUtf8());
        ++cond.key_count;
    }
    const int32_t searchType = intOf(req, "searchType");
    if (searchType >= 0) {
        cond.search_specify_type = searchType;
        QVB_LOG_DEBUG(QStringLiteral("search restricted to type %1").arg(searchType));
    } else {
        cond.search_specify_type = -1;  // no restriction: the type key is left out (0 would filter by type 0)
    }
    ppc_router_task *ctx = m_clientContext.load();
    int result = -1;
    {
        SearchBatcher batcher;
        t_searchBatcher = &batcher;
        struct Leave {
            ~Leave() { t_searchBatcher = nullptr; }
        } leave;
        if (ctx != nullptr)
            result =
                deviceSdk()->ppc_file_SearchMultiFunc(task->commandSeq, intOf(req, "sortType"), &cond,
                                                      m_srcToken.load(), &onSearchForMultiResult, 0, ctx);
    }  // every batch handed over before the answer
    if (result == 0)
        QVB_LOG_DEBUG(QStringLiteral("search %1 done").arg(task->commandSeq));
    else
        QVB_LOG_ERROR(QStringLiteral("search %1 ended: %2").arg(task->commandSeq).arg(result));
    answer(task, result, 130, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFCloseSearchForMultiWithTask(const QVNasTaskInfoPtr &task) {
    const int32_t seq = intOf(task->requestDict, "cancelSeq");
    ppc_router_task *ctx = m_clientContext.load();
    const int result = ctx == nullptr ? -1 : deviceSdk()->ppc_cancel_FileMultiFuncSearchTask(seq, ctx);
    if (result < 0) QVB_LOG_ERROR(QStringLiteral("close of search %1: %2").arg(seq).arg(result));
    answer(task, result, 131, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvGetFileListByGPSWithTask(const QVNasTaskInfoPtr &task) {
    const auto rect =
        task->requestDict.value(QStringLiteral("coordinate2DInfo")).value<QVNasCoordinate2DInfoPtr>();
    QVNasCoordinate2DInfo r = rect ? *rect : QVNasCoordinate2DInfo{};
    // The caller's map speaks BD-09, the device WGS-84.
    const auto leftUp = plat::geo::bd09ToWgs84({r.leftUpLatitude, r.leftUpLongitude});
    const auto rightDown = plat::geo::bd09ToWgs84({r.rightDownLatitude, r.rightDownLongitude});
    gps_condition scope{};
    ppc_router_task *ctx = m_clientContext.load();
    const int result = ctx == nullptr ? -1
                                      : deviceSdk()->ppc_get_FileGpsList(
                                            task->commandSeq, &scope, leftUp.lat, leftUp.lon, rightDown.lat,
                                            rightDown.lon, m_srcToken.load(), &onFileListByGPSResult, ctx);
    if (result == 0)
        QVB_LOG_DEBUG(QStringLiteral("photo listing %1 done").arg(task->commandSeq));
    else
        QVB_LOG_ERROR(QStringLiteral("photo listing %1 ended: %2").arg(task->commandSeq).arg(result));
    answer(task, result, 124, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvCloseGetFileListByGPS(const QVNasTaskInfoPtr &task) {
    const int32_t seq = intOf(task->requestDict, "cancelSeq");
    ppc_router_task *ctx = m_clientContext.load();
    const int result = ctx == nullptr ? -1 : deviceSdk()->ppc_cancel_FileGpsListTask(seq, ctx);
    answer(task, result, 125, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::onSearchForMultiResult(client_file_task *task) noexcept {
    try {
        if (task == nullptr) return;
        SearchReply reply = copySearchReply(*task);
        if (t_searchBatcher != nullptr)
            t_searchBatcher->push(std::move(reply));
        else
            deliverSearchReply(reply);
    } catch (...) {
        QVB_LOG_ERROR(QStringLiteral("search batch callback failed"));
    }
}

void QVNasSDKManagerImplement::onFileListByGPSResult(client_file_task *task) noexcept {
    try {
        if (task == nullptr) return;
        QList<QVNasFileInfoPtr> batch;
        for (const file_dnode *n = task->file_list != nullptr ? task->file_list->list : nullptr; n != nullptr;
             n = n->next) {
            if (n->path == nullptr || n->name == nullptr) continue;  // dot names stay here
            QVNasFileInfoPtr info = qvGetNasFileInfoByDn(n);
            const auto bd = toBd09(n->latitude, n->longtitude);
            info->GPS_latitude = bd.lat;
            info->GPS_longtitude = bd.lon;
            info->userId = n->bucketId;
            batch.append(info);
        }
        auto request = std::make_shared<QVNasRequestInfo>();
        request->clientCommand = 124;
        request->clientCommandSeq = static_cast<int32_t>(task->id.load());
        if (const auto d = delegate())
            d->qvDiskDynamicSearchDataWithRequestInfo(request, batch, task->status.load());
    } catch (...) {
        QVB_LOG_ERROR(QStringLiteral("photo listing batch callback failed"));
    }
}

// ---- attributes and address ----

void QVNasSDKManagerImplement::qvGetFileAttrWithTask(const QVNasTaskInfoPtr &task) {
    QByteArray path;
    const auto target =
        qvGetUserObj(task->requestDict.value(QStringLiteral("filePathInfo")).value<QVNasPathInfoPtr>(), path);
    const DeviceSdkPtr sdk = deviceSdk();
    file_stat st{};
    const int result = target ? sdk->ppc_stat(*target, &st, m_srcToken.load()) : -1;
    auto info = std::make_shared<QVFileAttributeInfo>();
    if (result == 0) {
        info->size = st.st_size;
        info->totalFolderCount = st.totalFolderCount;
        info->totalFileCount = st.totalFileCount;
        for (char **t = st.tag_dnode; t != nullptr && *t != nullptr; ++t)
            if (const auto tag = QVClientSDKTools::qvFormatChar(*t)) info->fileTagList.append(*tag);
        if (st.mediaType == FILE_MEDIA_VIDEO && st.video_info != nullptr) {
            const video_media_info &v = *st.video_info;
            info->width = v.width;
            info->height = v.height;
            info->bitrate = v.bitrate;
            info->encode_type = fieldText(v.encode_type);
            info->duration_time = v.duration_time;
        } else if (st.mediaType == FILE_MEDIA_AUDIO && st.audio_info != nullptr) {
            const audio_media_info &a = *st.audio_info;
            info->duration_time = a.duration_time;
            info->bitrate = a.bitrate;
            info->song_name = fieldText(a.song_name);
            info->album_name = fieldText(a.album_name);
            info->artist_name = fieldText(a.artist_name);
            info->encode_type = fieldText(a.encode_type);
        } else if (st.mediaType == FILE_MEDIA_IMAGE && st.image_info != nullptr) {
            const image_media_info &m = *st.image_info;
            info->width = m.width;
            info->height = m.height;
            info->photo_time = m.photo_time;
            info->vendor_name = fieldText(m.vendor_name);
            info->camera_type = fieldText(m.camera_type);
            info->aperture_value = fieldText(m.aperture_value);
            info->exposure_time = fieldText(m.exposure_time);
            info->iso_value = fieldText(m.iso_value);
            info->exposure_bias_val = fieldText(m.exposure_bias_val);
            info->focal_length = fieldText(m.focal_length);
            info->max_apeture_val = fieldText(m.max_apeture_val);
            info->meter_mode = fieldText(m.meter_mode);
            info->flashlight_on = fieldText(m.flashlight_on);
            info->GPS_version_id = fieldText(m.GPS_version_id);
            const auto bd = toBd09(m.GPS_latitude, m.GPS_longtitude);
            info->GPS_latitude = bd.lat;
            info->GPS_longtitude = bd.lon;
        }
        QVB_LOG_DEBUG(QStringLiteral("attributes: size %1, %2 folders, %3 files")
                          .arg(info->size)
                          .arg(info->totalFolderCount)
                          .arg(info->totalFileCount));
    } else {
        QVB_LOG_ERROR(QStringLiteral("attributes failed: %1").arg(result));
    }
    if (target) sdk->file_stat_release(&st);  // also what a failed read may have hung on the record
    answer(task, result, 70, QVariant::fromValue(info), Hop::MainAndWait);
}

QString QVNasSDKManagerImplement::qvGetFileUriByToken(const QVNasPathInfoPtr &pathInfo) {
    if (!pathInfo) return QStringLiteral("");
    const QByteArray path = pathInfo->operatePath.toUtf8();
    const DeviceSdkPtr sdk = deviceSdk();
    char *raw = sdk->ppc_FGetUriByToken(path.constData(), static_cast<int32_t>(pathInfo->operateBucketId),
                                        m_srcToken.load());
    if (raw == nullptr) return QStringLiteral("");
    const QString uri = heapText(raw);
    std::free(raw);
    // The query carries the session token and the signature: the log gets the path alone.
    QVB_LOG_DEBUG(QStringLiteral("file address: %1?...").arg(uri.section(QLatin1Char('?'), 0, 0)));
    return uri;
}

// ---- recent records ----

namespace {

QVNasFileInfoPtr fileOfRecord(const recent_file_info *f) {
    auto info = std::make_shared<QVNasFileInfo>();
    if (f == nullptr) return info;
    info->size = static_cast<uint64_t>(f->size);
    info->date = static_cast<uint64_t>(f->time);
    info->isFolder = f->isDir != 0;
    info->name = fieldText(f->name);
    info->path = fieldText(f->path);
    info->userId = f->bucketId;
    return info;
}

// A recent list the SDK handed over, freed whole when this goes.
class OwnedRecent {
  public:
    OwnedRecent(DeviceSdk &sdk, recent_list *list) : m_sdk(sdk), m_list(list) {}
    ~OwnedRecent() {
        if (m_list != nullptr) m_sdk.ppc_free_recent_list(m_list);
    }
    OwnedRecent(const OwnedRecent &) = delete;
    OwnedRecent &operator=(const OwnedRecent &) = delete;
    recent_list *get() const { return m_list; }

  private:
    DeviceSdk &m_sdk;
    recent_list *m_list;
};

}  // namespace

void QVNasSDKManagerImplement::qvGetFileRecordsList(const QVNasTaskInfoPtr &task) {
    const QVariantMap &req = task->requestDict;
    const int32_t start = intOf(req, "startIndex"), count = intOf(req, "count"),
                  childCount = intOf(req, "childCount");
    const DeviceSdkPtr sdk = deviceSdk();
    recent_list *raw = nullptr;
    const int result = sdk->ppc_FileGetRecordsList(start, count, childCount, m_srcToken.load(), &raw);
    OwnedRecent list(*sdk, result == 0 ? raw : nullptr);
    auto info = std::make_shared<QVNasRecordListInfo>();
    if (recent_list *head = list.get()) {
        // The SDK's head keeps the counts; the window is the one asked for.
        info->offset = start;
        info->len = count;
        info->childCount = childCount;
        info->count = head->count;
        info->totalCount = head->totalCount;
        for (recent_dnode *r = head->next; r != recent_ring_end(head); r = r->next) {
            auto rec = std::make_shared<QVNasDeviceAggregationInfo>();
            rec->isAffrefation = r->type == 1;
            rec->userNickName = fieldText(r->nickName);
            rec->userId = r->userId;
            rec->bucketId = r->bucketId;
            rec->recordType = r->cmd;
            rec->logId = r->logId;
            rec->hideAccess = r->enableHide == 1;
            rec->setTimeAndTexts(r->time);
            if (r->type == 1) {
                rec->aggregationId = r->aggregateId;
                if (recent_list *sub = r->rList) {
                    rec->offset = 0;
                    rec->len = sub->count;
                    rec->count = sub->count;
                    rec->totalCount = sub->totalCount;
                    rec->pictureCount = sub->picture_count;
                    rec->videoCount = sub->vedeo_count;
                    for (recent_dnode *e = sub->next; e != recent_ring_end(sub); e = e->next)
                        rec->fileList.append(fileOfRecord(e->fInfo));
                }
            } else {
                rec->offset = 0;
                rec->len = 1;
                rec->count = 1;
                rec->totalCount = 1;
                rec->fileList.append(fileOfRecord(r->fInfo));
            }
            QVB_LOG_DEBUG(QStringLiteral("recent record %1 (aggregation %2): %3 files")
                              .arg(rec->logId)
                              .arg(rec->aggregationId)
                              .arg(rec->fileList.size()));
            info->recordList.append(rec);
        }
    } else {
        QVB_LOG_ERROR(QStringLiteral("recent records failed: %1").arg(result));
    }
    answer(task, result, 57, QVariant::fromValue(info), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvGetFileAggregationList(const QVNasTaskInfoPtr &task) {
    const QVariantMap &req = task->requestDict;
    const DeviceSdkPtr sdk = deviceSdk();
    recent_list *raw = nullptr;
    const int result = sdk->ppc_FileGetAggregationList(intOf(req, "startIndex"), intOf(req, "count"),
                                                       intOf(req, "aggregateId"), m_srcToken.load(), &raw);
    OwnedRecent list(*sdk, result == 0 ? raw : nullptr);
    QList<QVNasDeviceAggregationInfoPtr> records;
    if (recent_list *head = list.get()) {
        for (recent_dnode *r = head->next; r != recent_ring_end(head); r = r->next) {
            auto rec = std::make_shared<QVNasDeviceAggregationInfo>();
            rec->userNickName = fieldText(r->nickName);
            rec->bucketId = r->bucketId;
            rec->recordType = r->cmd;
            rec->setTimeAndTexts(r->time);
            rec->fileList.append(fileOfRecord(r->fInfo));
            records.append(rec);
        }
    }
    QVB_LOG_DEBUG(QStringLiteral("aggregation records read: %1, %2 records").arg(result).arg(records.size()));
    answer(task, list.get() != nullptr ? 0 : result, 141, QVariant::fromValue(records), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvSetRecentRecordHideWithTask(const QVNasTaskInfoPtr &task) {
    const QVariantMap &req = task->requestDict;
    qv_record_hide record{};
    record.logId = intOf(req, "logId");
    record.userId = intOf(req, "userId");
    record.bucketId = intOf(req, "bucketId");
    const int result = deviceSdk()->ppc_SetRecentRecordHide(&record, m_srcToken.load());
    if (result == 10289)
        QVB_LOG_ERROR(QStringLiteral("record %1 does not belong to the operating user").arg(record.logId));
    else if (result != 0)
        QVB_LOG_ERROR(QStringLiteral("record hide failed: %1").arg(result));
    answer(task, result, 160, std::nullopt, Hop::MainAndWait);
}
