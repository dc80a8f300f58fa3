#include "broker/QVNasPrivateInterfaceProtocol.h"

#include "broker/QVNotifications.h"
#include "model/QVClientSDKTools.h"
#include "model/QVKeyChain.h"
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
        if (!std::holds_alternative<std::monostate>(progress)) {
            auto entry = std::make_shared<ProgressEntry>();
            entry->handel = std::move(progress);
            m_progressHandelDict.insert(task->commandSeq, std::move(entry));
        }
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

namespace {

// The registration's "data": this client's uuid, kept in the keychain store, and the machine's name. Both
// reads may block (keyring, files): only on a worker.
QVariantMap registrationData() {
    static std::mutex mu;  // two first registrations save one uuid
    std::lock_guard<std::mutex> lock(mu);
    std::optional<QString> uuid = QVKeyChainDataManager::readUUID();
    if (!uuid || uuid->isEmpty()) {
        uuid = QVClientSDKTools::getHardwareUUID();
        if (!QVKeyChainDataManager::saveUUID(*uuid))
            QVF_LOG_ERROR(QStringLiteral("the client uuid was not saved"));
    }
    return {{QStringLiteral("dev_name"), QVClientSDKTools::deviceString()},
            {QStringLiteral("dev_uuid"), *uuid}};
}

QVNasPrivateInterfaceProtocol::BridgeOperation call(
    void (QVNasSDKManagerService::*op)(const QVNasTaskInfoPtr &)) {
    return [op](QVNasSDKManager &lib, const QVNasTaskInfoPtr &task) {
        (static_cast<QVNasSDKManagerService &>(lib).*op)(task);
    };
}
QVNasPrivateInterfaceProtocol::BridgeOperation call(
    void (QVNasSDKManagerDevice::*op)(const QVNasTaskInfoPtr &)) {
    return [op](QVNasSDKManager &lib, const QVNasTaskInfoPtr &task) {
        (static_cast<QVNasSDKManagerDevice &>(lib).*op)(task);
    };
}
QVNasPrivateInterfaceProtocol::BridgeOperation call(
    void (QVNasSDKManagerRouter::*op)(const QVNasTaskInfoPtr &)) {
    return [op](QVNasSDKManager &lib, const QVNasTaskInfoPtr &task) {
        (static_cast<QVNasSDKManagerRouter &>(lib).*op)(task);
    };
}

}  // namespace

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetDeviceInfoListWithCompletion(
    QVNasCompletionBlock completion) {
    return submitRequest(3, {}, std::move(completion), {},
                         call(&QVNasSDKManagerService::qvGetDeviceInfoListWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasDynamicSetGatewayWithGatewayIp(
    const QString &gatewayIp, QVNasCompletionBlock completion) {
    return submitRequest(5, {{QStringLiteral("getwayIP"), gatewayIp}}, std::move(completion), {},
                         call(&QVNasSDKManagerService::qvRSetGatewayWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasRegisterDeviceWithCompletion(
    QVNasCompletionBlock completion) {
    return submitRequest(11, {}, std::move(completion), {},
                         [](QVNasSDKManager &lib, const QVNasTaskInfoPtr &task) {
                             task->requestDict.insert(QStringLiteral("data"), registrationData());
                             lib.qvRegisterDeviceWithTask(task);
                         });
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasLoginDeviceWithAuthCode(
    const QString &authCode, const QString &ip, QVNasCompletionBlock completion) {
    auto device = std::make_shared<QVNasDeviceInfo>();
    device->ip = ip;
    device->device_authCode = authCode;
    return submitRequest(13, {{QStringLiteral("data"), QVariant::fromValue(device)}}, std::move(completion),
                         {}, call(&QVNasSDKManagerService::qvAuthCodeLoginDeviceWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasLogoutDeviceWithCompletion(
    QVNasCompletionBlock completion) {
    return submitRequest(14, {}, std::move(completion), {},
                         call(&QVNasSDKManagerService::qvLogoutDeviceWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetDeviceBindCodeByIP(
    const QString &ip, QVNasCompletionBlock completion) {
    return submitRequest(15, {{QStringLiteral("ip"), ip.isNull() ? QStringLiteral("") : ip}},
                         std::move(completion), {}, call(&QVNasSDKManagerDevice::qvDGetBindCode));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetDeviceVersionWithCompletion(
    QVNasCompletionBlock completion) {
    return submitRequest(18, {}, std::move(completion), {}, call(&QVNasSDKManagerDevice::qvDGetVersion));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetDeviceStatus(const QString &ip,
                                                                        QVNasCompletionBlock completion) {
    return submitRequest(20, {{QStringLiteral("ip"), ip.isNull() ? QStringLiteral("") : ip}},
                         std::move(completion), {}, call(&QVNasSDKManagerService::qvGetDeviceStatusWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetDeviceUserInfoListWithCompletion(
    QVNasCompletionBlock completion) {
    return submitRequest(50, {}, std::move(completion), {},
                         call(&QVNasSDKManagerService::qvGetUserInfoListWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetUserSpaceWithCompletion(
    QVNasCompletionBlock completion) {
    return submitRequest(117, {}, std::move(completion), {},
                         call(&QVNasSDKManagerRouter::qvRGetStorageInfoWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetDeviceInfoWithCompletion(
    QVNasCompletionBlock completion) {
    return submitRequest(118, {}, std::move(completion), {},
                         call(&QVNasSDKManagerDevice::qvDGetNasDeviceInfo));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetP2PClientInfoWithCompletion(
    QVNasCompletionBlock completion) {
    return submitRequest(150, {}, std::move(completion), {},
                         call(&QVNasSDKManagerDevice::qvDGetP2PClientInfo));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetDeviceNickNameWithCompletion(
    QVNasCompletionBlock completion) {
    return submitRequest(151, {}, std::move(completion), {},
                         call(&QVNasSDKManagerDevice::qvDGetDeviceNickName));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasSetDeviceNickNameWithName(
    const QString &name, QVNasCompletionBlock completion) {
    return submitRequest(152, {{QStringLiteral("deviceNickName"), name}}, std::move(completion), {},
                         call(&QVNasSDKManagerDevice::qvDSetDeviceNickName));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAddUserStatusChangedListenWithServiceUserId(
    const QString &userId, QVNasCompletionBlock completion) {
    return submitRequest(157, {{QStringLiteral("userId"), userId}}, std::move(completion), {},
                         call(&QVNasSDKManagerService::qvUserStatusChangedListenWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasExitUserStatusChangedListenWithCompletion(
    QVNasCompletionBlock completion) {
    return submitRequest(158, {}, std::move(completion), {},
                         call(&QVNasSDKManagerService::qvCancelUserStatusChangedListenWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetUserListWithCompletion(
    QVNasCompletionBlock completion) {
    return submitRequest(159, {}, std::move(completion), {},
                         call(&QVNasSDKManagerDevice::qvDGetUserListWithTaskInfo));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasRouterDeviceExec(const QString &ip,
                                                                         int64_t deviceStatus,
                                                                         QVNasExecProgressBlock handler,
                                                                         QVNasCompletionBlock completion) {
    QVNasTaskInfoPtr task = createQVNasTaskInfoWithCommand(173);
    task->requestDict.insert(QStringLiteral("ip"), ip.isNull() ? QStringLiteral("") : ip);
    task->requestDict.insert(QStringLiteral("deviceStatus"), static_cast<qlonglong>(deviceStatus));
    {
        std::lock_guard<std::mutex> lock(m_mu);
        m_nasRouterDeviceExecHandel = handler;
        if (handler) m_execHandelDict.insert(task->commandSeq, std::move(handler));
        if (completion) m_completionDict.insert(task->commandSeq, std::move(completion));
    }
    QVNasSDKManager *lib = m_clientLib;
    plat::WorkPool::global().async([lib, task] { lib->qvRouterDeviceExecWithTask(task); });
    return createRequestInfoWithTask(task);
}

bool QVNasPrivateInterfaceProtocol::qvNasGetModuleSupportFlag(int64_t moduleType) {
    return m_clientLib->qvDGetModuleSupportFlagByType(moduleType);
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
    ProgressEntryPtr entry;
    {
        std::lock_guard<std::mutex> lock(m_mu);
        entry = m_progressHandelDict.value(seq);
    }
    if (!entry) return {};
    std::lock_guard<std::mutex> lock(entry->mu);
    return entry->removed ? QVNasProgressHandel{} : entry->handel;
}

void QVNasPrivateInterfaceProtocol::withProgress(
    int32_t seq, const std::function<void(const QVNasProgressHandel &)> &fn) const {
    ProgressEntryPtr entry;
    {
        std::lock_guard<std::mutex> lock(m_mu);
        entry = m_progressHandelDict.value(seq);
    }
    if (!entry) return;
    {
        std::lock_guard<std::mutex> lock(entry->mu);
        if (entry->removed) return;
        ++entry->inCall;
        entry->callThread = std::this_thread::get_id();
    }
    struct Leave {
        ProgressEntry &e;
        ~Leave() {
            std::lock_guard<std::mutex> lock(e.mu);
            if (--e.inCall == 0) e.idle.notify_all();
        }
    } leave{*entry};
    fn(entry->handel);  // the handel never changes once filed
}

void QVNasPrivateInterfaceProtocol::removeProgressWaiting(int32_t seq) {
    ProgressEntryPtr entry;
    {
        std::lock_guard<std::mutex> lock(m_mu);
        entry = m_progressHandelDict.take(seq);
    }
    if (!entry) return;
    std::unique_lock<std::mutex> lock(entry->mu);
    entry->removed = true;
    // A removal from inside the callback itself does not wait for its own call. A callback that waits for
    // the thread removing it (a progress handler blocked on the main queue while main cancels) would never
    // end: the wait is bounded and says so.
    if (entry->inCall > 0 && entry->callThread != std::this_thread::get_id() &&
        !entry->idle.wait_for(lock, std::chrono::seconds(2), [&] { return entry->inCall == 0; }))
        QVF_LOG_ERROR(QStringLiteral("progress of seq %1 still running after its removal").arg(seq));
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
        m_execHandelDict.remove(task->commandSeq);  // its reports all came inside the call
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
    withProgress(request->clientCommandSeq, [&](const QVNasProgressHandel &h) {
        if (const auto *cb = std::get_if<QVNasTransportProgressBlock>(&h); cb && *cb)
            (*cb)(request, status, alreadyValue, totalValue);
    });
}

void QVNasPrivateInterfaceProtocol::qvDiskCopyOrMoveWithRequest(
    const QVNasRequestInfoPtr &request, const QVNasOperateProgressInfoPtr &progressInfo) {
    if (!request) return;
    withProgress(request->clientCommandSeq, [&](const QVNasProgressHandel &h) {
        if (const auto *cb = std::get_if<QVNasCopyMoveProgressBlock>(&h); cb && *cb)
            (*cb)(request, progressInfo);
    });
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

void QVNasPrivateInterfaceProtocol::qvNasRouterDeviceExecListen(int32_t seq, int64_t deviceStatus,
                                                                int32_t taskStatus, int64_t alreadyValue,
                                                                int64_t totalValue) {
    QVNasExecProgressBlock handler;
    {
        std::lock_guard<std::mutex> lock(m_mu);
        // An operation's reports go to the handler given with it, not to a later operation's.
        const auto it = m_execHandelDict.constFind(seq);
        handler = it != m_execHandelDict.constEnd() ? *it : m_nasRouterDeviceExecHandel;
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
