#include "service/QVNasClientMacFramework.h"

#include <stdexcept>

#include "service/QVNasServiceAnswer.h"

QVNasClientMacFramework &QVNasClientMacFramework::shareNasClientSdkManager(
    QVNasClientMacFrameworkDelegate *delegate) {
    static auto *const s = new QVNasClientMacFramework;  // never destroyed
    s->setDelegate(delegate);
    return *s;
}

// Not carried out yet: the start answers 110001, so the service never counts as started.
void QVNasClientMacFramework::qvSdkStartService(QVNasCompletionBlock completion) {
    qvNasAnswerNotAvailable(1, std::move(completion));
}
void QVNasClientMacFramework::qvSdkStopService(QVNasCompletionBlock completion) {
    qvNasAnswerNotAvailable(2, std::move(completion));
}

void QVNasClientMacFramework::noStartServiceThrow() {
    throw std::logic_error("service is not started, please use first qvSdkStartService:.");
}

QVNasAccountServicePtr QVNasClientMacFramework::createAccountService() {
    if (!isStartService()) noStartServiceThrow();
    return keep(m_qvNasAccountServicList, std::make_shared<QVNasAccountService>());
}
QVNasUserServicePtr QVNasClientMacFramework::createUserServiceByAccessToken(const QString &accessToken) {
    if (!isStartService()) noStartServiceThrow();
    return keep(m_qvNasUserServiceList, std::make_shared<QVNasUserService>(accessToken));
}
QVNasDeviceConnectServicePtr QVNasClientMacFramework::createDeviceConnectServiceByUserService(
    const QVNasUserServicePtr &userService, const QString &bcCode) {
    if (!isStartService()) noStartServiceThrow();
    auto s = std::make_shared<QVNasDeviceConnectService>(userService);
    s->setDeviceBc(bcCode);
    return keep(m_qvNasDeviceConnectServiceList, s);
}
QVNasDeviceConnectServicePtr QVNasClientMacFramework::createDeviceConnectServiceByUserService(
    const QVNasUserServicePtr &userService, const QVNasDeviceInfoPtr &deviceInfo) {
    if (!isStartService()) noStartServiceThrow();
    auto s = std::make_shared<QVNasDeviceConnectService>(userService);
    s->setDeviceInfo(deviceInfo);
    return keep(m_qvNasDeviceConnectServiceList, s);
}
