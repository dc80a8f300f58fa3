// The firmware check (153), the update (154) and the follow-up of an update that runs on the device (156).
// The update and the follow-up hold their worker for the whole update and report inside the SDK call, on
// that worker: each report carries the request's own number, so that two devices' updates and follow-ups
// never take each other's reports.
#include <cstdlib>
#include <memory>

#include "bridge/QVNasSDKManagerImplement.h"
#include "model/QVClientSDKTools.h"
#include "model/QVNasDeviceStatusInfo.h"
#include "platform/Log.h"

namespace {

// The follow-up's callback carries no task: the request it belongs to is the one running on its thread.
thread_local int32_t t_listenSeq = 0;

QString text(const char *bytes, size_t width) {
    return QVClientSDKTools::qvFormatCharOrEmpty(bytes, width);
}

QVNasRequestInfoPtr requestOf(int32_t seq, int32_t command) {
    auto r = std::make_shared<QVNasRequestInfo>();
    r->clientCommandSeq = seq;
    r->clientCommand = command;
    return r;
}

}  // namespace

void QVNasSDKManagerImplement::qvDOTA2HasLatestVersionWithTask(const QVNasTaskInfoPtr &task) {
    auto info = std::make_shared<QVNasDeviceOtaInfo>();
    const QByteArray language = task->requestDict.value(QStringLiteral("language")).toString().toUtf8();
    const QByteArray ip = task->requestDict.value(QStringLiteral("ip")).toString().toUtf8();
    std::unique_ptr<soft_version_info, decltype(&std::free)> record(
        static_cast<soft_version_info *>(std::calloc(1, sizeof(soft_version_info))), &std::free);
    int force = -1, status = -1;
    const int result =
        record ? deviceSdk()->ppc_OTA2HasLatestVersion(language.constData(), ip.constData(), record.get(),
                                                       &force, &status, m_srcToken.load())
               : -1;
    // 10284 is no failure: the device must be updated, and the version is filled.
    if (result != 0 && result != 10284) {
        QVB_LOG_ERROR(QStringLiteral("get latest version info fail... %1").arg(result));
    } else {
        info->isHaveNewVersion = status == 1;
        info->isNeedForceUpdate = force == 1;
        info->setProduct(text(record->product, sizeof record->product));
        info->setVersion(text(record->version, sizeof record->version));
        info->setOtaDescription(text(record->description, sizeof record->description));
        info->fileSize = record->size;
        if (force == 1) QVB_LOG_DEBUG(QStringLiteral("need to force update fw"));
        if (status == 1)
            QVB_LOG_DEBUG(QStringLiteral("server has new versions, but don't need to force update."));
        QVB_LOG_DEBUG(QStringLiteral("get latest version info success... %1 %2 (%3 bytes)")
                          .arg(info->product(), info->version())
                          .arg(info->fileSize));
    }
    answer(task, result, 153, QVariant::fromValue(info), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDSetOTA2UpgradeWithTask(const QVNasTaskInfoPtr &task) {
    const QByteArray ip = task->requestDict.value(QStringLiteral("ip")).toString().toUtf8();
    int32_t status = -1;
    ppc_router_task *ctx = m_clientContext.load();
    // Blocks this worker until the device's verdict; progress arrives inside the call.
    const int result = ctx == nullptr
                           ? -1
                           : deviceSdk()->qvota_update(task->commandSeq, &qv_ota_progress_update_cb,
                                                       ip.constData(), &status, ctx, m_srcToken.load());
    if (result == 0)
        QVB_LOG_DEBUG(status == 0 ? QStringLiteral("fw don't need to update...")
                                  : QStringLiteral("ota update success..."));
    else if (result == 10285)
        QVB_LOG_ERROR(QStringLiteral("fw is updating!"));
    else
        QVB_LOG_ERROR(QStringLiteral("res=%1, ota update fail...").arg(result));
    answer(task, result, 154, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDOTA2ListenWithTask(const QVNasTaskInfoPtr &task) {
    const QByteArray ip = task->requestDict.value(QStringLiteral("ip")).toString().toUtf8();
    ppc_router_task *ctx = m_clientContext.load();
    int result = -1;
    if (ctx != nullptr) {
        struct Scope {
            explicit Scope(int32_t seq) { t_listenSeq = seq; }
            ~Scope() { t_listenSeq = 0; }
        } scope(task->commandSeq);
        result = deviceSdk()->ota_listen(&qv_ota_progress_listen_cb, ip.constData(), ctx);
    }
    if (result == 0)
        QVB_LOG_DEBUG(QStringLiteral("ota_listen success"));
    else
        QVB_LOG_ERROR(QStringLiteral("res=%1, ota_listen fail...").arg(result));
    answer(task, result, 156, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qv_ota_progress_update_cb(client_file_task *task) noexcept {
    try {
        if (task == nullptr) return;
        const auto seq = static_cast<int32_t>(task->id.load());
        const auto percent = static_cast<float>(task->cur_progress.load());  // 0 to 100
        if (const auto d = delegate()) d->qvDiskOTAUpdateWithRequestInfo(requestOf(seq, 154), percent);
    } catch (...) {
        QVB_LOG_ERROR(QStringLiteral("update progress callback failed"));
    }
}

void QVNasSDKManagerImplement::qv_ota_progress_listen_cb(int process, int total, int) noexcept {
    try {
        QVB_LOG_DEBUG(QStringLiteral("total=%1, process=%2").arg(total).arg(process));
        const float fraction = static_cast<float>(process) * 0.01f;  // 0.0 to 1.0
        if (const auto d = delegate())
            d->qvDiskOTAUpdateWithRequestInfo(requestOf(t_listenSeq, 156), fraction);
    } catch (...) {
        QVB_LOG_ERROR(QStringLiteral("listen progress callback failed"));
    }
}
