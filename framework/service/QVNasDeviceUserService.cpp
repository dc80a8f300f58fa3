#include "service/QVNasDeviceUserService.h"

#include "platform/MainQueue.h"
#include "service/QVNasServiceAnswer.h"

void QVNasDeviceUserService::qvNasSetLoginDeviceListener(QVNasLoginDeviceListenerBlock listener,
                                                         QVNasLoginDeviceErrorBlock onError) {
    std::lock_guard lock(m_mu);
    m_loginListener = std::move(listener);
    m_loginError = std::move(onError);
}

// Not carried out yet: the login fails with type 1 on the main queue; the requests answer 110001.
void QVNasDeviceUserService::qvNasLoginDeviceWithIp(const QString &, const QString &) {
    QVNasLoginDeviceErrorBlock onError;
    {
        std::lock_guard lock(m_mu);
        onError = m_loginError;
    }
    if (onError) plat::MainQueue::post([onError] { onError(1); });
}
void QVNasDeviceUserService::qvNasGetDeviceUserInfoList(QVNasCompletionBlock completion) {
    qvNasAnswerNotAvailable(50, std::move(completion));
}
void QVNasDeviceUserService::qvNasLogoutDevice(QVNasCompletionBlock completion) {
    qvNasAnswerNotAvailable(14, std::move(completion));
}
QVNasRequestInfoPtr QVNasDeviceUserService::qvNasGetDeviceVersion(QVNasCompletionBlock completion) {
    return qvNasAnswerNotAvailable(18, std::move(completion));
}
QVNasRequestInfoPtr QVNasDeviceUserService::qvNasGetUserSpaceInfo(QVNasCompletionBlock completion) {
    return qvNasAnswerNotAvailable(117, std::move(completion));
}
bool QVNasDeviceUserService::qvNasGetModuleSupportFlag(int64_t) {
    return false;
}

QVNasUSBBackupServicePtr QVNasDeviceUserService::qVNasUSBBackupService() {
    std::lock_guard lock(m_mu);
    if (!m_usbBackupService) m_usbBackupService = std::make_shared<QVNasUSBBackupService>();
    return m_usbBackupService;
}
QVNasBackupServicePtr QVNasDeviceUserService::qVNasBackupService() {
    std::lock_guard lock(m_mu);
    if (!m_backupService) m_backupService = std::make_shared<QVNasBackupService>();
    return m_backupService;
}
QVNasRecentServicePtr QVNasDeviceUserService::qVNasRecentService() {
    std::lock_guard lock(m_mu);
    if (!m_recentService) m_recentService = std::make_shared<QVNasRecentService>();
    return m_recentService;
}
QVNasStorageServicePtr QVNasDeviceUserService::qVNasStorageService() {
    std::lock_guard lock(m_mu);
    if (!m_storageService) m_storageService = std::make_shared<QVNasStorageService>();
    return m_storageService;
}
