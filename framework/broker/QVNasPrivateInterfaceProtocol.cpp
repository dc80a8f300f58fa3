#include "broker/QVNasPrivateInterfaceProtocol.h"

#include "broker/QVNotifications.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/WorkPool.h"

QVNasPrivateInterfaceProtocol &QVNasPrivateInterfaceProtocol::defaultProtocolManager() {
    static auto *const s = new QVNasPrivateInterfaceProtocol;  // never destroyed
    return *s;
}

QVNasPrivateInterfaceProtocol::QVNasPrivateInterfaceProtocol()
    : m_clientLib(&QVNasSDKLibrary::shareSdkManager()) {}

std::shared_ptr<QVNasClientLibDelegate> QVNasPrivateInterfaceProtocol::selfAsDelegate() {
    // The broker lives for the whole process: a handle that owns nothing.
    return std::shared_ptr<QVNasClientLibDelegate>(std::shared_ptr<void>(), this);
}

QVNasTaskInfoPtr QVNasPrivateInterfaceProtocol::createQVNasTaskInfoWithCommand(int32_t command) {
    auto task = std::make_shared<QVNasTaskInfo>();
    task->commandSeq = m_requestCount.fetch_add(1) + 1;  // one indivisible step
    task->commandStatus = command;
    QVF_LOG_INFO(QStringLiteral("request command %1 seq %2").arg(command).arg(task->commandSeq));
    return task;
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::createRequestInfoWithTask(const QVNasTaskInfoPtr &task) {
    auto r = std::make_shared<QVNasRequestInfo>();
    r->clientCommand = task->commandStatus;
    r->clientCommandSeq = task->commandSeq;
    return r;
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::submitRequest(int32_t command,
                                                                 const QVariantMap &requestDict,
                                                                 QVNasCompletionBlock completion,
                                                                 QVNasProgressHandel progress,
                                                                 BridgeOperation operation, Lane lane) {
    QVNasTaskInfoPtr task = createQVNasTaskInfoWithCommand(command);
    task->requestDict = requestDict;
    {
        std::lock_guard<std::mutex> lock(m_mu);
        if (completion) m_completionDict.insert(task->commandSeq, std::move(completion));
        if (!std::holds_alternative<std::monostate>(progress))
            m_progressHandelDict.insert(task->commandSeq, std::move(progress));
    }
    QVNasSDKManager *lib = m_clientLib;
    auto job = [lib, task, operation = std::move(operation)] { operation(*lib, task); };
    (lane == Lane::Mark ? plat::WorkPool::markLane() : plat::WorkPool::global()).async(std::move(job));
    return createRequestInfoWithTask(task);
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasStartServiceWithGatewayIp(
    const QString &gatewayIp, QVNasCompletionBlock completion) {
    QVariantMap dict;
    dict.insert(QStringLiteral("ipAddress"), gatewayIp);
    auto self = selfAsDelegate();
    return submitRequest(1, dict, std::move(completion), {},
                         [self](QVNasSDKManager &lib, const QVNasTaskInfoPtr &task) {
                             lib.qvStartServiceWithTask(task, self);
                         });
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasStopServiceWithCompletion(
    QVNasCompletionBlock completion) {
    return submitRequest(
        2, {}, std::move(completion), {},
        [](QVNasSDKManager &lib, const QVNasTaskInfoPtr &task) { lib.qvStopServiceWithTask(task); });
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetFileListWithStartIndex(
    int32_t startIndex, int32_t count, const QVNasPathInfoPtr &searchPathInfo, int64_t sequenceType,
    QVNasCompletionBlock completion) {
    QVariantMap dict;
    dict.insert(QStringLiteral("startIndex"), startIndex);
    dict.insert(QStringLiteral("count"), count);
    dict.insert(QStringLiteral("searchPathInfo"), QVariant::fromValue(searchPathInfo));
    dict.insert(QStringLiteral("sequenceType"), static_cast<qlonglong>(sequenceType));
    return submitRequest(
        61, dict, std::move(completion), {},
        [](QVNasSDKManager &lib, const QVNasTaskInfoPtr &task) { lib.qvFGetFileListWithTask(task); });
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasIsExistedWithPathInfo(
    const QVNasPathInfoPtr &existPathInfo, QVNasCompletionBlock completion) {
    QVNasTaskInfoPtr task = createQVNasTaskInfoWithCommand(64);
    task->requestDict.insert(QStringLiteral("existPathInfo"), QVariant::fromValue(existPathInfo));
    {
        std::lock_guard<std::mutex> lock(m_mu);
        if (completion) m_completionDict.insert(task->commandSeq, std::move(completion));
    }
    // On the caller's thread: callers read what their completion recorded right after this returns.
    m_clientLib->qvFIsExistedWithTask(task);
    return createRequestInfoWithTask(task);
}

void QVNasPrivateInterfaceProtocol::setOtaUpgradeProgressToOtherUserHandel(QVNasFirmwareProgressBlock h) {
    std::lock_guard<std::mutex> lock(m_mu);
    m_otaUpgradeProgressToOtherUserHandel = std::move(h);
}

void QVNasPrivateInterfaceProtocol::setNasRouterDeviceExecHandel(QVNasExecProgressBlock h) {
    std::lock_guard<std::mutex> lock(m_mu);
    m_nasRouterDeviceExecHandel = std::move(h);
}

void QVNasPrivateInterfaceProtocol::setQvQrcodeSendRefreshTokenHandel(QVNasRefreshTokenBlock h) {
    std::lock_guard<std::mutex> lock(m_mu);
    m_qvQrcodeSendRefreshTokenHandel = std::move(h);
}

void QVNasPrivateInterfaceProtocol::setQvQrcodeSendUserHandel(QVNasServiceUserBlock h) {
    std::lock_guard<std::mutex> lock(m_mu);
    m_qvQrcodeSendUserHandel = std::move(h);
}

int QVNasPrivateInterfaceProtocol::completionCount() const {
    std::lock_guard<std::mutex> lock(m_mu);
    return static_cast<int>(m_completionDict.size());
}

int QVNasPrivateInterfaceProtocol::progressCount() const {
    std::lock_guard<std::mutex> lock(m_mu);
    return static_cast<int>(m_progressHandelDict.size());
}

QVNasProgressHandel QVNasPrivateInterfaceProtocol::progressFor(int32_t seq) const {
    std::lock_guard<std::mutex> lock(m_mu);
    return m_progressHandelDict.value(seq);
}

// ---- answers and reports ----

void QVNasPrivateInterfaceProtocol::qvDiskClientResponse(const QVNasTaskInfoPtr &task) {
    const int64_t code = task->responseInfo ? task->responseInfo->responseCode : 0;
    QVF_LOG_INFO(QStringLiteral("answer command %1 seq %2 code %3")
                     .arg(task->commandStatus)
                     .arg(task->commandSeq)
                     .arg(code));
    QVNasCompletionBlock completion;
    bool hadProgress = false;
    {
        std::lock_guard<std::mutex> lock(m_mu);
        completion = m_completionDict.take(task->commandSeq);
        hadProgress = m_progressHandelDict.contains(task->commandSeq);
    }
    if (completion) completion(task->responseInfo);
    if (hadProgress) {
        // No report can come after the answer, except result batches already queued to main: the
        // removal queues behind them.
        const int32_t seq = task->commandSeq;
        plat::MainQueue::post([this, seq] {
            std::lock_guard<std::mutex> lock(m_mu);
            m_progressHandelDict.remove(seq);
        });
    }
}

void QVNasPrivateInterfaceProtocol::qvDiskClientDeviceAdd(const QVNasDeviceInfoPtr &device) {
    plat::NotificationCenter::defaultCenter().post(QLatin1String(kNotif_QVAutoPushDeviceAddNotification),
                                                   QVariant::fromValue(device));
}

void QVNasPrivateInterfaceProtocol::qvDiskClientDeviceDel(const QVNasDeviceInfoPtr &device) {
    plat::NotificationCenter::defaultCenter().post(QLatin1String(kNotif_QVAutoPushDeviceDelNotification),
                                                   QVariant::fromValue(device));
}

void QVNasPrivateInterfaceProtocol::qvDiskMqttGetUSBInfoList(const QList<QVNasUSBInfoPtr> &list) {
    plat::NotificationCenter::defaultCenter().post(
        QLatin1String(kNotif_QVAutoPushUsbBackupInfoListNotification), QVariant::fromValue(list));
}

void QVNasPrivateInterfaceProtocol::qvNasUserStatusChangedListen(int64_t status) {
    plat::NotificationCenter::defaultCenter().post(
        QLatin1String(kNotif_QVAutoPushUserStatusChangeNotification),
        QVariant::fromValue(static_cast<qlonglong>(status)));
}

void QVNasPrivateInterfaceProtocol::qvDiskTransportRequest(const QVNasRequestInfoPtr &request, int32_t status,
                                                           int64_t alreadyValue, int64_t totalValue) {
    if (!request) return;
    const QVNasProgressHandel h = progressFor(request->clientCommandSeq);
    if (const auto *cb = std::get_if<QVNasTransportProgressBlock>(&h); cb && *cb)
        (*cb)(request, status, alreadyValue, totalValue);
}

void QVNasPrivateInterfaceProtocol::qvDiskCopyOrMoveWithRequest(
    const QVNasRequestInfoPtr &request, const QVNasOperateProgressInfoPtr &progressInfo) {
    if (!request) return;
    const QVNasProgressHandel h = progressFor(request->clientCommandSeq);
    if (const auto *cb = std::get_if<QVNasCopyMoveProgressBlock>(&h); cb && *cb) (*cb)(request, progressInfo);
}

void QVNasPrivateInterfaceProtocol::qvDiskDynamicSearchDataWithRequestInfo(
    const QVNasRequestInfoPtr &request, const QList<QVNasFileInfoPtr> &searchFiles, int32_t status) {
    if (!request) return;
    plat::MainQueue::post([this, request, searchFiles, status] {
        const QVNasProgressHandel h = progressFor(request->clientCommandSeq);
        if (const auto *cb = std::get_if<QVNasResultBatchBlock>(&h); cb && *cb)
            (*cb)(request, searchFiles, status);
    });
}

void QVNasPrivateInterfaceProtocol::qvDiskOTAUpdateWithRequestInfo(const QVNasRequestInfoPtr &request,
                                                                   float progress) {
    if (!request) return;
    if (request->clientCommandSeq != 0) {
        const QVNasProgressHandel h = progressFor(request->clientCommandSeq);
        if (const auto *cb = std::get_if<QVNasFirmwareProgressBlock>(&h); cb && *cb)
            (*cb)(request, static_cast<double>(progress));
        return;
    }
    QVNasFirmwareProgressBlock listen;
    {
        std::lock_guard<std::mutex> lock(m_mu);
        listen = m_otaUpgradeProgressToOtherUserHandel;
    }
    if (listen && request->clientCommand == 156) listen(request, static_cast<double>(progress));
}

void QVNasPrivateInterfaceProtocol::qvNasRouterDeviceExecListen(int64_t deviceStatus, int32_t taskStatus,
                                                                int64_t alreadyValue, int64_t totalValue) {
    QVNasExecProgressBlock handler;
    {
        std::lock_guard<std::mutex> lock(m_mu);
        handler = m_nasRouterDeviceExecHandel;
    }
    if (!handler) return;
    auto info = std::make_shared<QVNasExecTaskProgressInfo>();
    info->deviceStatus = deviceStatus;
    info->taskStatus = taskStatus;
    info->currentProgress = alreadyValue;
    info->totalProgress = totalValue;
    handler(info);
}

void QVNasPrivateInterfaceProtocol::qvAPPScanQCCodeSendRefreshTokenListener(const QVariantMap &dict) {
    plat::MainQueue::post([this, dict] {
        QVNasRefreshTokenBlock handler;
        {
            std::lock_guard<std::mutex> lock(m_mu);
            handler = std::move(m_qvQrcodeSendRefreshTokenHandel);
            m_qvQrcodeSendRefreshTokenHandel = nullptr;  // one shot
        }
        if (handler)
            handler(dict.value(QStringLiteral("refreshToken")).toString(),
                    dict.value(QStringLiteral("exprect")).toLongLong());
    });
}

void QVNasPrivateInterfaceProtocol::qvAPPScanQCCodeSendUserListener(const QVNasServiceUserInfoPtr &user) {
    plat::MainQueue::post([this, user] {
        QVNasServiceUserBlock handler;
        {
            std::lock_guard<std::mutex> lock(m_mu);
            handler = std::move(m_qvQrcodeSendUserHandel);
            m_qvQrcodeSendUserHandel = nullptr;
        }
        if (handler) handler(user);
    });
}
