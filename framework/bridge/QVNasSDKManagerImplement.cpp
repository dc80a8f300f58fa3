#include "bridge/QVNasSDKManagerImplement.h"

#include <limits>

#include "model/QVClientSDKTools.h"
#include "model/QVNasUSBInfo.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"

namespace {

std::mutex g_delegateMu;
std::shared_ptr<QVNasClientLibDelegate> g_delegate;  // set by the start, read by answers and callbacks

QString cText(const char *text, size_t width) {
    return QVClientSDKTools::qvFormatCharOrEmpty(text, width);
}

QString heapText(const char *text) {
    return QVClientSDKTools::qvFormatChar(text).value_or(QString());
}

}  // namespace

QVNasSDKManager &QVNasSDKLibrary::shareSdkManager() {
    return QVNasSDKManagerImplement::shareManagerImplement();
}

QVNasSDKManagerImplement &QVNasSDKManagerImplement::shareManagerImplement() {
    static auto *const s = new QVNasSDKManagerImplement;  // never destroyed
    return *s;
}

void QVNasSDKManagerImplement::setDeviceSdk(DeviceSdkPtr sdk) {
    std::lock_guard<std::mutex> lock(m_sdkMu);
    m_sdk = std::move(sdk);
}

DeviceSdkPtr QVNasSDKManagerImplement::deviceSdk() const {
    std::lock_guard<std::mutex> lock(m_sdkMu);
    return m_sdk ? m_sdk : DeviceSdk::real();
}

std::shared_ptr<QVNasClientLibDelegate> QVNasSDKManagerImplement::delegate() {
    std::lock_guard<std::mutex> lock(g_delegateMu);
    return g_delegate;
}

// ---- answers ----

QVNasResponseInfoPtr QVNasSDKManagerImplement::qvGetResponseInfoByDict(const QVariantMap &dict) {
    auto r = std::make_shared<QVNasResponseInfo>();
    r->clientCommand = static_cast<int32_t>(dict.value(QStringLiteral("DiskClientCommand")).toLongLong());
    const int64_t code = dict.value(QStringLiteral("responseCode")).toLongLong();
    r->responseCode = code > 0 ? code + 100000 : code;
    r->responseMessage = QStringLiteral("");
    const auto data = dict.constFind(QStringLiteral("data"));
    if (data != dict.constEnd()) r->responseData = *data;
    return r;
}

void QVNasSDKManagerImplement::qvCommandResponseWithDict(const QVNasTaskInfoPtr &task) {
    const auto d = delegate();
    if (d) d->qvDiskClientResponse(task);
}

void QVNasSDKManagerImplement::answer(const QVNasTaskInfoPtr &task, int result, int32_t command,
                                      const std::optional<QVariant> &data, Hop hop) {
    QVariantMap dict;
    dict.insert(QStringLiteral("responseCode"), result);
    dict.insert(QStringLiteral("DiskClientCommand"), command);
    if (data) dict.insert(QStringLiteral("data"), *data);
    task->responseInfo = qvGetResponseInfoByDict(dict);
    if (hop == Hop::ThisThread) {
        qvCommandResponseWithDict(task);
        return;
    }
    // On the main thread this runs at once; elsewhere it waits until the broker's completion has run.
    if (!plat::MainQueue::postAndWait([this, &task] { qvCommandResponseWithDict(task); }))
        QVB_LOG_ERROR(QStringLiteral("answer of command %1 seq %2 dropped: main queue closed")
                          .arg(command)
                          .arg(task->commandSeq));
}

// ---- converters ----

std::optional<path_info> QVNasSDKManagerImplement::qvGetUserObj(const QVNasPathInfoPtr &pathInfo,
                                                                QByteArray &path) {
    path_info target{};
    if (!pathInfo) return std::nullopt;
    if (pathInfo->operateBucketId < std::numeric_limits<int32_t>::min() ||
        pathInfo->operateBucketId > std::numeric_limits<int32_t>::max()) {
        QVB_LOG_ERROR(
            QStringLiteral("bucket id %1 does not fit the path record").arg(pathInfo->operateBucketId));
        return std::nullopt;
    }
    path = pathInfo->operatePath.toUtf8();
    target.path = path.constData();
    target.bucketId = static_cast<int32_t>(pathInfo->operateBucketId);
    return target;
}

QVNasFileInfoPtr QVNasSDKManagerImplement::qvGetNasFileInfoByDn(const file_dnode *node) {
    auto info = std::make_shared<QVNasFileInfo>();
    if (node == nullptr) return info;
    info->size = static_cast<uint64_t>(node->size);
    info->date = static_cast<uint64_t>(node->date);
    info->isFolder = node->isFolder != 0;
    info->name = heapText(node->name);
    info->path = heapText(node->path);
    info->count = static_cast<uint32_t>(node->count);
    info->userId = node->bucketId;
    info->GPS_latitude = node->latitude;
    info->GPS_longtitude = node->longtitude;
    return info;
}

QVNasFileListInfoPtr QVNasSDKManagerImplement::fileListInfoFromPage(const file_list_page *page) {
    auto info = std::make_shared<QVNasFileListInfo>();
    if (page == nullptr) return info;
    info->count = page->count;
    info->totalCount = page->totalCount;
    for (const file_dnode *n = page->list; n != nullptr; n = n->next) {
        if (n->name != nullptr) {
            const auto name = QVClientSDKTools::qvFormatChar(n->name);
            if (name && name->startsWith(QLatin1Char('.'))) continue;
        }
        info->fileList.append(qvGetNasFileInfoByDn(n));
    }
    return info;
}

QVNasDeviceInfoPtr QVNasSDKManagerImplement::getDeviceDictWithInfo(const qv_dev_detail *d) {
    auto info = std::make_shared<QVNasDeviceInfo>();
    if (d == nullptr) return info;
    info->ip = cText(d->ip, sizeof d->ip);
    info->mac = cText(d->mac, sizeof d->mac);
    info->dev_name = cText(d->device_name, sizeof d->device_name);
    info->device_id = cText(d->dev_uuid, sizeof d->dev_uuid);
    info->device_type = cText(d->type_name, sizeof d->type_name);
    info->device_p2p_uuid = cText(d->p2p_uuid, sizeof d->p2p_uuid);
    return info;
}

// ---- service ----

void QVNasSDKManagerImplement::qvStartServiceWithTask(
    const QVNasTaskInfoPtr &task, const std::shared_ptr<QVNasClientLibDelegate> &delegate) {
    {
        std::lock_guard<std::mutex> lock(g_delegateMu);
        g_delegate = delegate;
    }
    if (m_clientContext.load() != nullptr) {
        // A second start would leave the running context behind.
        QVB_LOG_ERROR(QStringLiteral("start refused: the service is running"));
        answer(task, -1, 1, std::nullopt, Hop::MainAndWait);
        return;
    }
    const QByteArray gateway = task->requestDict.value(QStringLiteral("ipAddress")).toString().toUtf8();
    const QByteArray caches = plat::Paths::cacheLocation().toUtf8();
    int error = 0;
    ppc_router_task *ctx =
        deviceSdk()->ppc_start_Service(caches.constData(), &onDeviceListAdd, &onDeviceListDel,
                                       &onUsbBackupInfoList, gateway.constData(), &error);
    m_clientContext.store(ctx);
    if (ctx == nullptr) QVB_LOG_ERROR(QStringLiteral("start service failed: %1").arg(error));
    answer(task, error, 1, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvStopServiceWithTask(const QVNasTaskInfoPtr &task) {
    ppc_router_task *ctx = m_clientContext.load();
    int result = -1;
    if (ctx == nullptr) {
        QVB_LOG_ERROR(QStringLiteral("stop service: no service context"));
    } else {
        result = deviceSdk()->ppc_stop_Service(ctx);
        // 0: the SDK released the context, which must not be used again.
        if (result == 0) m_clientContext.compare_exchange_strong(ctx, nullptr);
    }
    if (result != 0) QVB_LOG_ERROR(QStringLiteral("stop service: %1").arg(result));
    answer(task, result, 2, std::nullopt, Hop::MainAndWait);
}

// ---- files ----

void QVNasSDKManagerImplement::qvFGetFileListWithTask(const QVNasTaskInfoPtr &task) {
    const QVariantMap &req = task->requestDict;
    const auto pathInfo = req.value(QStringLiteral("searchPathInfo")).value<QVNasPathInfoPtr>();
    const int32_t sortType = static_cast<int32_t>(req.value(QStringLiteral("sequenceType")).toLongLong());
    const int32_t start = std::max<int32_t>(0, req.value(QStringLiteral("startIndex")).toInt());
    const int32_t count = std::max<int32_t>(0, req.value(QStringLiteral("count")).toInt());
    QByteArray path;
    const auto target = qvGetUserObj(pathInfo, path);
    int result = -1;
    file_list_page *raw = nullptr;
    const DeviceSdkPtr sdk = deviceSdk();
    if (target) result = sdk->ppc_FileGetList(*target, start, count, sortType, &raw, m_srcToken.load());
    if (result != 0 && raw != nullptr) {
        sdk->file_list_free(raw->list);  // a page is handed over only with 0
        std::free(raw);
        raw = nullptr;
    }
    SdkOwnedPage page(*sdk, raw);
    QVNasFileListInfoPtr info = fileListInfoFromPage(page.get());
    if (result != 0) QVB_LOG_ERROR(QStringLiteral("file list failed: %1").arg(result));
    // The folder listing answers on its worker thread; the caller moves to main where it needs to.
    answer(task, result, 61, QVariant::fromValue(info), Hop::ThisThread);
}

void QVNasSDKManagerImplement::qvFIsExistedWithTask(const QVNasTaskInfoPtr &task) {
    const auto pathInfo = task->requestDict.value(QStringLiteral("existPathInfo")).value<QVNasPathInfoPtr>();
    QByteArray path;
    const auto target = qvGetUserObj(pathInfo, path);
    // Runs on the broker's caller, the main thread included: the exchange then blocks it.
    const int result = target ? deviceSdk()->ppc_FileIsExist(*target, m_srcToken.load()) : -1;
    answer(task, result, 64, std::nullopt, Hop::MainAndWait);
}

// ---- transport streams ----

void QVNasSDKManagerImplement::addTransportStream(int32_t seq, const std::shared_ptr<QIODevice> &stream) {
    std::lock_guard<std::mutex> lock(m_streamMu);
    m_streams.insert(seq, stream);
}

void QVNasSDKManagerImplement::removeTransportStreamWithSeq(int32_t seq) {
    std::shared_ptr<QIODevice> stream;
    {
        std::lock_guard<std::mutex> lock(m_streamMu);
        stream = m_streams.take(seq);
    }
    if (stream) stream->close();
}

int32_t QVNasSDKManagerImplement::qvReadFileStreamBuffer(int32_t seq, char *buffer, uint64_t maxLength) {
    auto &self = shareManagerImplement();
    std::shared_ptr<QIODevice> stream;
    {
        std::lock_guard<std::mutex> lock(self.m_streamMu);
        stream = self.m_streams.value(seq);
    }
    if (!stream) {
        QVB_LOG_DEBUG(
            QStringLiteral("no transport stream for seq %1 (%2 filed)").arg(seq).arg(self.m_streams.size()));
        return 0;
    }
    const qint64 want =
        static_cast<qint64>(std::min<uint64_t>(maxLength, std::numeric_limits<int32_t>::max()));
    const qint64 got = stream->read(buffer, want);
    if (got < 1)
        QVB_LOG_DEBUG(QStringLiteral("stream read %1, bytes remain: %2").arg(got).arg(!stream->atEnd()));
    return static_cast<int32_t>(std::max<qint64>(got, 0));
}

// ---- callbacks from the SDK's threads ----

void QVNasSDKManagerImplement::onDeviceListAdd(const qv_dev_detail *detail) noexcept {
    try {
        const QVNasDeviceInfoPtr info = getDeviceDictWithInfo(detail);
        QVB_LOG_DEBUG(QStringLiteral("device add: %1").arg(info->debugDescription()));
        if (const auto d = delegate()) d->qvDiskClientDeviceAdd(info);
    } catch (...) {
        QVB_LOG_ERROR(QStringLiteral("device add callback failed"));
    }
}

void QVNasSDKManagerImplement::onDeviceListDel(const qv_dev_detail *detail) noexcept {
    try {
        const QVNasDeviceInfoPtr info = getDeviceDictWithInfo(detail);
        QVB_LOG_DEBUG(QStringLiteral("device del: %1").arg(info->debugDescription()));
        if (const auto d = delegate()) d->qvDiskClientDeviceDel(info);
    } catch (...) {
        QVB_LOG_ERROR(QStringLiteral("device del callback failed"));
    }
}

void QVNasSDKManagerImplement::onUsbBackupInfoList(const qv_usb_status *list, int count) noexcept {
    try {
        QList<QVNasUSBInfoPtr> infos;
        for (int i = 0; list != nullptr && i < count; ++i) {
            const qv_usb_status &s = list[i];
            auto u = std::make_shared<QVNasUSBInfo>();
            u->status = s.status;
            u->dev_name = cText(s.device_name, sizeof s.device_name);
            u->dev_uuid = cText(s.device_uuid, sizeof s.device_uuid);
            u->backup_state = s.backup_state;
            u->scan_cnt_dev = s.scan_cnt_dev;
            u->scan_bytes_dev = s.scan_bytes_dev;
            u->total_cnt_dev = s.count_all;
            u->already_cnt_dev = s.count_already;
            u->skip_cnt_dev = s.count_seek;
            u->total_bytes_dev = s.bytes_all;
            u->already_bytes_dev = s.bytes_already;
            u->skip_bytes_dev = s.bytes_seek;
            u->is_scan_over = s.is_scan_over != 0;
            u->tm_curent_s = s.tm_now;
            u->tm_start_s = s.tm_start;
            u->remain_time = s.remain_time;
            u->speed_byte = s.speed;
            u->version = s.version;
            infos.append(u);
        }
        if (const auto d = delegate()) d->qvDiskMqttGetUSBInfoList(infos);
    } catch (...) {
        QVB_LOG_ERROR(QStringLiteral("usb status callback failed"));
    }
}
