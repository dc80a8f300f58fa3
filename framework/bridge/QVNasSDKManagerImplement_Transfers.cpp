// Transfers and file operations: downloads, tagged uploads, the device log, tags, copy, move, delete, the
// check value and the instant upload, with their cancels and progress callbacks.
#include <vector>

#include "bridge/QVNasSDKManagerImplement.h"
#include "bridge/SdkTextList.h"
#include "model/QVClientSDKTools.h"
#include "model/QVNasDeviceUserInfo.h"
#include "platform/Clock.h"
#include "platform/Log.h"

namespace {

// Transfer progress is passed on at most every 0.2 s for totals up to 1 MiB, every second above; the
// report that completes the transfer and a report of status 2 always pass.
constexpr int64_t kSmallTotal = 1048576;
constexpr int64_t kSmallGapMs = 200;
constexpr int64_t kLargeGapMs = 1000;

// The throttle of one transfer request, on its operation's stack for the SDK call. The SDK calls the
// progress callback on the calling thread inside the call, so the callback finds it through the thread:
// no lock, and nothing of it outlives the call.
struct TransferThrottle {
    int32_t seq = 0;
    bool reported = false;
    int64_t lastMs = 0;

    bool pass(int32_t status, int64_t done, int64_t total) {
        if (status == 2) return true;
        const int64_t now = plat::Clock::monotonicMs();
        // The last byte must reach the caller: a bar left at 97 % looks like a stuck transfer.
        if (done != total) {
            const int64_t gap = total > kSmallTotal ? kLargeGapMs : kSmallGapMs;
            if (reported && now - lastMs <= gap) return false;
        }
        reported = true;
        lastMs = now;
        return true;
    }
};

thread_local TransferThrottle *t_throttle = nullptr;

class ThrottleScope {
  public:
    explicit ThrottleScope(int32_t seq) : m_prev(t_throttle) {
        m_throttle.seq = seq;
        t_throttle = &m_throttle;
    }
    ~ThrottleScope() { t_throttle = m_prev; }
    ThrottleScope(const ThrottleScope &) = delete;
    ThrottleScope &operator=(const ThrottleScope &) = delete;

  private:
    TransferThrottle m_throttle;
    TransferThrottle *m_prev;
};

QString cTextOrEmpty(const char *text, size_t width) {
    return QVClientSDKTools::qvFormatCharOrEmpty(text, width);
}

int32_t seqOf(const client_file_task *task) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(task->id.load())));
}

QVNasRequestInfoPtr handle(const client_file_task *task, int32_t command) {
    auto r = std::make_shared<QVNasRequestInfo>();
    r->clientCommand = command;
    r->clientCommandSeq = seqOf(task);
    return r;
}

void transportReport(client_file_task *task, int32_t command, bool throttled) {
    if (task == nullptr) return;
    const int32_t status = task->status.load();
    const int64_t done = task->cur_progress.load(), total = task->total_progress.load();
    if (throttled) {
        // A report from another thread (not the SDK's contract) finds no throttle and passes.
        TransferThrottle *t = t_throttle;
        if (t != nullptr && t->seq == seqOf(task) && !t->pass(status, done, total)) return;
    }
    if (const auto d = QVNasSDKManagerImplement::delegate())
        d->qvDiskTransportRequest(handle(task, command), status, done, total);
}

void copyMoveReport(client_file_task *task, int32_t command) {
    if (task == nullptr) return;
    auto info = std::make_shared<QVNasOperateProgressInfo>();
    info->operate_seq = static_cast<uint32_t>(seqOf(task));
    info->operate_status = task->status.load();
    info->total_progress = static_cast<uint64_t>(task->total_progress.load());
    info->cur_progress = static_cast<uint64_t>(task->cur_progress.load());
    if (const auto d = QVNasSDKManagerImplement::delegate())
        d->qvDiskCopyOrMoveWithRequest(handle(task, command), info);
}

// The path records of a list of paths, ended by an empty pointer; none when a bucket id does not fit.
class PathList {
  public:
    bool build(const QList<QVNasPathInfoPtr> &paths) {
        m_bytes.resize(static_cast<size_t>(paths.size()));
        m_records.reserve(static_cast<size_t>(paths.size()));
        for (qsizetype i = 0; i < paths.size(); ++i) {
            const auto r = QVNasSDKManagerImplement::qvGetUserObj(paths[i], m_bytes[static_cast<size_t>(i)]);
            if (!r) return false;
            m_records.push_back(*r);
        }
        for (path_info &r : m_records) m_ptrs.push_back(&r);
        m_ptrs.push_back(nullptr);
        return true;
    }
    path_info **data() { return m_ptrs.data(); }
    int32_t count() const { return static_cast<int32_t>(m_records.size()); }

  private:
    std::vector<QByteArray> m_bytes;
    std::vector<path_info> m_records;
    std::vector<path_info *> m_ptrs;
};

QList<QVNasPathInfoPtr> pathList(const QVariant &v) {
    return v.value<QList<QVNasPathInfoPtr>>();
}

int32_t cancelSeqOf(const QVNasTaskInfoPtr &task) {
    return static_cast<int32_t>(task->requestDict.value(QStringLiteral("cancelSeq")).toLongLong());
}

}  // namespace

// ---- progress callbacks (on the operation's thread, inside its SDK call) ----

void QVNasSDKManagerImplement::qv_download_progress(client_file_task *task) noexcept {
    try {
        transportReport(task, 51, true);
    } catch (...) {
        QVB_LOG_ERROR(QStringLiteral("download progress callback failed"));
    }
}

void QVNasSDKManagerImplement::qv_upload_progress(client_file_task *task) noexcept {
    try {
        transportReport(task, 119, true);
    } catch (...) {
        QVB_LOG_ERROR(QStringLiteral("upload progress callback failed"));
    }
}

void QVNasSDKManagerImplement::qv_log_download_progress(client_file_task *task) noexcept {
    try {
        transportReport(task, 320, true);
    } catch (...) {
        QVB_LOG_ERROR(QStringLiteral("log download progress callback failed"));
    }
}

void QVNasSDKManagerImplement::qv_delete_progress(client_file_task *task) noexcept {
    try {
        if (task == nullptr) return;
        static const char *const kStates[] = {"computing", "deleting", "finished"};
        const int32_t status = task->status.load();
        QVB_LOG_DEBUG(QStringLiteral("[STATUS] delete %1: %2 %3/%4")
                          .arg(seqOf(task))
                          .arg(QLatin1String(status >= 0 && status <= 2 ? kStates[status] : "unknown"))
                          .arg(task->cur_progress.load())
                          .arg(task->total_progress.load()));
        transportReport(task, 167, false);
    } catch (...) {
        QVB_LOG_ERROR(QStringLiteral("delete progress callback failed"));
    }
}

void QVNasSDKManagerImplement::qv_copy_progress(client_file_task *task) noexcept {
    try {
        copyMoveReport(task, 135);
    } catch (...) {
        QVB_LOG_ERROR(QStringLiteral("copy progress callback failed"));
    }
}

void QVNasSDKManagerImplement::qv_move_progress(client_file_task *task) noexcept {
    try {
        copyMoveReport(task, 136);
    } catch (...) {
        QVB_LOG_ERROR(QStringLiteral("move progress callback failed"));
    }
}

void QVNasSDKManagerImplement::qv_auth_value_progress(client_file_task *task) noexcept {
    try {
        if (task == nullptr) return;
        // The cancel mark stands in the status: 0 while hashing, -1 once a cancel marked it.
        if (const auto d = delegate())
            d->qvDiskTransportRequest(handle(task, 114), task->cancel_status.load(),
                                      task->cur_progress.load(), task->total_progress.load());
    } catch (...) {
        QVB_LOG_ERROR(QStringLiteral("check value progress callback failed"));
    }
}

// ---- operations ----

int QVNasSDKManagerImplement::runThrottled(const QVNasTaskInfoPtr &task, const TransferCall &call) {
    ppc_router_task *ctx = m_clientContext.load();
    if (ctx == nullptr) return -1;
    const ThrottleScope scope(task->commandSeq);  // dropped when the call returns
    return call(*deviceSdk(), ctx);
}

void QVNasSDKManagerImplement::qvFDownloadWithTask(const QVNasTaskInfoPtr &task) {
    const QByteArray folder = task->requestDict.value(QStringLiteral("localPath")).toString().toUtf8();
    const auto pathInfo =
        task->requestDict.value(QStringLiteral("downloadPathInfo")).value<QVNasPathInfoPtr>();
    QByteArray path;
    const auto src = qvGetUserObj(pathInfo, path);
    const int result = !src ? -1 : runThrottled(task, [&](DeviceSdk &sdk, ppc_router_task *ctx) {
        return sdk.ppc_file_download(task->commandSeq, folder.constData(), *src, m_srcToken.load(),
                                     &qv_download_progress, ctx);
    });
    if (result == 0)
        QVB_LOG_DEBUG(QStringLiteral("download %1 done").arg(task->commandSeq));
    else
        QVB_LOG_ERROR(QStringLiteral("download %1 failed: %2").arg(task->commandSeq).arg(result));
    answer(task, result, 51, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFTagUploadWithTask(const QVNasTaskInfoPtr &task) {
    const auto item =
        task->requestDict.value(QStringLiteral("uploadDataInfo")).value<QVNasUploadDataInfoPtr>();
    int result = -1;
    if (item) {
        const QByteArray local = item->filePath.toUtf8();
        QByteArray path;
        const auto dst = qvGetUserObj(item->targetPathInfo, path);
        SdkTextList tags(item->fileTagNameList, false);
        tags.log("upload");
        if (dst)
            result = runThrottled(task, [&](DeviceSdk &sdk, ppc_router_task *ctx) {
                return sdk.ppc_upload_FileTag(task->commandSeq, local.constData(), tags.count(), tags.data(),
                                              *dst, m_srcToken.load(), &qv_upload_progress, ctx);
            });
    }
    if (result == 0)
        QVB_LOG_DEBUG(QStringLiteral("upload %1 done").arg(task->commandSeq));
    else
        QVB_LOG_ERROR(QStringLiteral("upload %1 failed: %2").arg(task->commandSeq).arg(result));
    answer(task, result, 119, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDLogFileDownloadWithTaskInfo(const QVNasTaskInfoPtr &task) {
    const QByteArray path = task->requestDict.value(QStringLiteral("desPath")).toString().toUtf8();
    const auto logType =
        static_cast<int32_t>(task->requestDict.value(QStringLiteral("logType")).toLongLong());
    const int result = runThrottled(task, [&](DeviceSdk &sdk, ppc_router_task *ctx) {
        return sdk.ppc_log_file_download(task->commandSeq, path.constData(), logType, m_srcToken.load(),
                                         &qv_log_download_progress, ctx);
    });
    if (result == 0)
        QVB_LOG_DEBUG(QStringLiteral("log download %1 done").arg(task->commandSeq));
    else
        QVB_LOG_ERROR(QStringLiteral("log download %1 failed: %2").arg(task->commandSeq).arg(result));
    answer(task, result, 320, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFDeleteListCbWithTask(const QVNasTaskInfoPtr &task) {
    PathList paths;
    const bool ok = paths.build(pathList(task->requestDict.value(QStringLiteral("deletePathInfoList"))));
    ppc_router_task *ctx = m_clientContext.load();
    int result = -1;
    if (ok && ctx != nullptr) {
        delete_list_req req{};
        req.pathList = paths.data();
        req.totalCount = paths.count();  // the device's own count replaces it with its first report
        req.taskId = task->commandSeq;
        req.progressCb = &qv_delete_progress;
        result = deviceSdk()->ppc_delete_FileListCb(&req, m_srcToken.load(), ctx);
    }
    if (result == 0)
        QVB_LOG_DEBUG(QStringLiteral("delete %1 done").arg(task->commandSeq));
    else
        QVB_LOG_ERROR(QStringLiteral("delete %1 failed: %2").arg(task->commandSeq).arg(result));
    answer(task, result, 167, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::copyOrMove(const QVNasTaskInfoPtr &task, bool move) {
    const auto from = task->requestDict.value(QStringLiteral("filePathInfo")).value<QVNasPathInfoPtr>();
    const auto to = task->requestDict.value(QStringLiteral("targetPathInfo")).value<QVNasPathInfoPtr>();
    QByteArray fromPath, toPath;
    const auto src = qvGetUserObj(from, fromPath);
    const auto dst = qvGetUserObj(to, toPath);
    ppc_router_task *ctx = m_clientContext.load();
    int result = -1;
    if (src && dst && ctx != nullptr) {
        const DeviceSdkPtr sdk = deviceSdk();
        result = move ? sdk->ppc_file_MoveCb(task->commandSeq, *src, *dst, m_srcToken.load(),
                                             &qv_move_progress, ctx)
                      : sdk->ppc_file_CopyCb(task->commandSeq, *src, *dst, m_srcToken.load(),
                                             &qv_copy_progress, ctx);
    }
    const QLatin1String what(move ? "move" : "copy");
    if (result == 0)
        QVB_LOG_DEBUG(QStringLiteral("%1 %2 done").arg(what).arg(task->commandSeq));
    else
        QVB_LOG_ERROR(QStringLiteral("%1 %2 failed: %3").arg(what).arg(task->commandSeq).arg(result));
    answer(task, result, move ? 136 : 135, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFCopyCbWithTask(const QVNasTaskInfoPtr &task) {
    copyOrMove(task, false);
}

void QVNasSDKManagerImplement::qvFMoveCbWithTask(const QVNasTaskInfoPtr &task) {
    copyOrMove(task, true);
}

void QVNasSDKManagerImplement::qvFGetRelaxUploadAuthValueWithTask(const QVNasTaskInfoPtr &task) {
    const QByteArray local = task->requestDict.value(QStringLiteral("filePath")).toString().toUtf8();
    char kind[32] = "md5";
    char value[64] = {};
    ppc_router_task *ctx = m_clientContext.load();
    const int result =
        ctx == nullptr ? -1
                       : deviceSdk()->ppc_get_RelaxUploadAuthValue(task->commandSeq, local.constData(), kind,
                                                                   value, &qv_auth_value_progress, ctx);
    // The caller always gets a text: "" after a failure or a cancel.
    const QString text = result == 0 ? cTextOrEmpty(value, sizeof value) : QString(QStringLiteral(""));
    if (result == 0)
        QVB_LOG_DEBUG(QStringLiteral("check value %1: %2").arg(task->commandSeq).arg(text));
    else
        QVB_LOG_ERROR(QStringLiteral("check value %1 failed: %2").arg(task->commandSeq).arg(result));
    answer(task, result, 114, text, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvRelaxUploadWithTask(const QVNasTaskInfoPtr &task) {
    const QVariantMap &req = task->requestDict;
    const QByteArray value = req.value(QStringLiteral("authValue")).toString().toUtf8();
    const auto target = req.value(QStringLiteral("targetPathInfo")).value<QVNasPathInfoPtr>();
    const int64_t size = req.value(QStringLiteral("fileSize")).toLongLong();
    const int64_t modified = req.value(QStringLiteral("fileModifyTime")).toLongLong();
    char kind[32] = "md5";
    QByteArray path;
    const auto dst = qvGetUserObj(target, path);
    int32_t deviceStatus = 0;
    int result =
        dst ? deviceSdk()->ppc_FileRelaxUpload(size, static_cast<uint32_t>(modified), kind, value.constData(),
                                               *dst, &deviceStatus, m_srcToken.load())
            : -1;
    if (result != 0) {
        QVB_LOG_ERROR(QStringLiteral("instant upload failed: %1").arg(result));
    } else if (deviceStatus == 1) {
        QVB_LOG_DEBUG(QStringLiteral("instant upload placed the file"));
    } else {
        // The device does not hold the file: the ordinary outcome for a new file, answered as 1.
        QVB_LOG_DEBUG(QStringLiteral("instant upload: the device does not hold the file"));
        result = 1;
    }
    answer(task, result, 116, std::nullopt, Hop::MainAndWait);
}

// ---- cancels: each marks the one request its "cancelSeq" names and answers at once ----

void QVNasSDKManagerImplement::cancelOfKind(const QVNasTaskInfoPtr &task, int32_t kind, const char *what,
                                            const std::function<void()> &after) {
    const int32_t seq = cancelSeqOf(task);
    ppc_router_task *ctx = m_clientContext.load();
    // By kind and number: the first task of the kind carrying the number. Closing one download must not stop
    // another one running beside it.
    const int result = ctx == nullptr ? -1 : deviceSdk()->ppc_cancel_task(ctx, 0, kind, seq);
    if (result < 0)
        QVB_LOG_ERROR(
            QStringLiteral("cancel of %1 %2 failed: %3").arg(QLatin1String(what)).arg(seq).arg(result));
    if (after) after();
    answer(task, result, 346, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFCloseDownloadOperateWithTask(const QVNasTaskInfoPtr &task) {
    cancelOfKind(task, PPC_TASK_DOWNLOAD, "download");
}

void QVNasSDKManagerImplement::qvFCloseUploadOperateWithTask(const QVNasTaskInfoPtr &task) {
    cancelOfKind(task, PPC_TASK_UPLOAD, "upload",
                 [this, &task] { removeTransportStreamWithSeq(cancelSeqOf(task)); });
}

void QVNasSDKManagerImplement::qvDCloseLogFileDownloadWithTaskInfo(const QVNasTaskInfoPtr &task) {
    cancelOfKind(task, PPC_TASK_LOG_DOWNLOAD, "log download");
}

void QVNasSDKManagerImplement::qvFOperateTaskCancel(const QVNasTaskInfoPtr &task) {
    const int32_t seq = cancelSeqOf(task);
    ppc_router_task *ctx = m_clientContext.load();
    const int result = ctx == nullptr ? -1 : deviceSdk()->ppc_cancel_FileTask(seq, ctx);
    if (result != 0) QVB_LOG_ERROR(QStringLiteral("cancel of operation %1 failed: %2").arg(seq).arg(result));
    answer(task, result, 137, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFGetRelaxUploadAuthValueCancelWithTask(const QVNasTaskInfoPtr &task) {
    const int32_t seq = cancelSeqOf(task);
    ppc_router_task *ctx = m_clientContext.load();
    const int result = ctx == nullptr ? -1 : deviceSdk()->ppc_cancel_GetRelaxUploadAuthValue(seq, ctx);
    if (result != 0)
        QVB_LOG_ERROR(QStringLiteral("cancel of check value %1 failed: %2").arg(seq).arg(result));
    removeTransportStreamWithSeq(seq);
    answer(task, result, 115, std::nullopt, Hop::MainAndWait);
}
