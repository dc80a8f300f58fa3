#include "service/QVNasDeviceConnectService.h"

#include "platform/MainQueue.h"
#include "service/QVNasServiceAnswer.h"

namespace {

// The registered service: a plain pointer, so that it never keeps an instance alive; read as a shared
// pointer under the lock, which the destructor also takes before clearing it.
std::mutex g_registeredMu;
QVNasDeviceConnectService *g_registered = nullptr;

}  // namespace

QVNasDeviceConnectService::QVNasDeviceConnectService(QVNasUserServicePtr userService)
    : m_userService(std::move(userService)) {
    std::lock_guard lock(g_registeredMu);
    g_registered = this;
}

QVNasDeviceConnectService::~QVNasDeviceConnectService() {
    std::lock_guard lock(g_registeredMu);
    // An older instance going away leaves the newer registration alone.
    if (g_registered == this) g_registered = nullptr;
}

std::shared_ptr<QVNasDeviceConnectService> QVNasDeviceConnectService::registeredService() {
    std::lock_guard lock(g_registeredMu);
    return g_registered ? g_registered->weak_from_this().lock() : nullptr;
}

void QVNasDeviceConnectService::qvNasSetDeviceWithListener(QVNasConnectedBlock listener,
                                                           QVNasConnectErrorBlock onError,
                                                           QVNasDisconnectedBlock onDisconnected) {
    std::lock_guard lock(m_mu);
    m_listener = std::move(listener);
    m_onError = std::move(onError);
    m_onDisconnected = std::move(onDisconnected);
}
QVNasConnectedBlock QVNasDeviceConnectService::connectedListener() const {
    std::lock_guard lock(m_mu);
    return m_listener;
}
QVNasConnectErrorBlock QVNasDeviceConnectService::errorListener() const {
    std::lock_guard lock(m_mu);
    return m_onError;
}
QVNasDisconnectedBlock QVNasDeviceConnectService::disconnectedListener() const {
    std::lock_guard lock(m_mu);
    return m_onDisconnected;
}
void QVNasDeviceConnectService::setDeviceInfo(const QVNasDeviceInfoPtr &deviceInfo) {
    std::lock_guard lock(m_mu);
    m_deviceInfo = deviceInfo;
}
QVNasDeviceInfoPtr QVNasDeviceConnectService::deviceInfo() const {
    std::lock_guard lock(m_mu);
    return m_deviceInfo;
}
void QVNasDeviceConnectService::setDeviceBc(const QString &deviceBc) {
    std::lock_guard lock(m_mu);
    m_deviceBc = deviceBc;
}
QString QVNasDeviceConnectService::deviceBc() const {
    std::lock_guard lock(m_mu);
    return m_deviceBc;
}
void QVNasDeviceConnectService::setIsHaveRebootDevice(bool isHaveRebootDevice) {
    std::lock_guard lock(m_mu);
    m_isHaveRebootDevice = isHaveRebootDevice;
}

// Not carried out yet: a connect fails with type 7 on the main queue; the requests answer 110001.
void QVNasDeviceConnectService::qvNasConnect() {
    if (auto onError = errorListener())
        plat::MainQueue::post([onError] { onError(7, QStringLiteral("connection not available")); });
}
bool QVNasDeviceConnectService::isConnected() const {
    return false;
}
void QVNasDeviceConnectService::qvNasDisconectDevice(QVNasCompletionBlock completion) {
    qvNasAnswerNotAvailable(14, std::move(completion));
}
void QVNasDeviceConnectService::getDeviceStatus(QVNasCompletionBlock completion) {
    qvNasAnswerNotAvailable(20, std::move(completion));
}
void QVNasDeviceConnectService::qvNasBindDevice(const QVNasDeviceInfoPtr &, QVNasCompletionBlock completion) {
    qvNasAnswerNotAvailable(15, std::move(completion));
}
void QVNasDeviceConnectService::qvNasGetDeviceAuthCode(QVNasCompletionBlock completion) {
    qvNasAnswerNotAvailable(0, std::move(completion));
}

QVNasInitDeviceServicePtr QVNasDeviceConnectService::getInitDeviceService() {
    std::lock_guard lock(m_mu);
    if (!m_initDeviceService) m_initDeviceService = std::make_shared<QVNasInitDeviceService>();
    return m_initDeviceService;
}
QVNasDeviceUserServicePtr QVNasDeviceConnectService::getDeviceUserService() {
    std::lock_guard lock(m_mu);
    if (!m_deviceUserService) m_deviceUserService = std::make_shared<QVNasDeviceUserService>();
    return m_deviceUserService;
}
QVNasDeviceManagerServicePtr QVNasDeviceConnectService::getDeviceManagerService() {
    std::lock_guard lock(m_mu);
    if (!m_deviceManagerService) m_deviceManagerService = std::make_shared<QVNasDeviceManagerService>();
    return m_deviceManagerService;
}
QVNasFWOTAServicePtr QVNasDeviceConnectService::getFWOTAService() {
    std::lock_guard lock(m_mu);
    if (!m_fwOtaService) m_fwOtaService = std::make_shared<QVNasFWOTAService>();
    return m_fwOtaService;
}
