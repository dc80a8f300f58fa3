#include "service/QVNasClientMacFramework.h"

#include <QVariant>
#include <stdexcept>

#include "broker/QVNasPrivateInterfaceProtocol.h"
#include "broker/QVNotifications.h"
#include "platform/Log.h"
#include "platform/NetIf.h"
#include "platform/Paths.h"
#include "platform/RollingLogFile.h"
#include "service/QVNasServiceAnswer.h"

namespace {

QVNasResponseInfoPtr refusal(int32_t command, const QString &message) {
    auto r = std::make_shared<QVNasResponseInfo>();
    r->clientCommand = command;
    r->responseCode = kQVNasResponseCodeNotAvailable;
    r->responseMessage = message;
    return r;
}

void setUpLoggingOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        // The console keeps its lines; the files roll weekly, 10 files and 10 MiB at most.
        static auto *const files =
            new plat::RollingLogFile(QVNasClientMacFramework::logFolder());  // never freed
        plat::Log::setFileSink([](const QString &line) { files->write(line); });
    });
}

}  // namespace

QString QVNasClientMacFramework::logFolder() {
    return plat::Paths::cacheLocation() + QStringLiteral("/Logs");
}

QVNasClientMacFramework &QVNasClientMacFramework::shareNasClientSdkManager(
    QVNasClientMacFrameworkDelegate *delegate) {
    static auto *const s = [] {
        auto *f = new QVNasClientMacFramework;  // never destroyed
        f->initService();
        return f;
    }();
    s->setDelegate(delegate);
    return *s;
}

QVNasClientMacFramework::~QVNasClientMacFramework() = default;

void QVNasClientMacFramework::initService() {
    setUpLoggingOnce();
    auto &center = plat::NotificationCenter::defaultCenter();
    m_usbToken = center.addObserver(QLatin1String(kNotif_QVAutoPushUsbBackupInfoListNotification), nullptr,
                                    [this](const plat::Notification &n) { qv_autoPushUsbBackupInfoList(n); });
    m_userStatusToken =
        center.addObserver(QLatin1String(kNotif_QVAutoPushUserStatusChangeNotification), nullptr,
                           [this](const plat::Notification &n) { qv_autoPushUserStatusChange(n); });
    m_context = std::make_unique<QObject>();
    auto &monitor = plat::NetworkMonitor::shared();
    monitor.addObserver(m_context.get(),
                        [this](plat::NetworkMonitor::Status current, plat::NetworkMonitor::Status) {
                            qvNasMacNetworkChanged(current);
                        });
    monitor.startNotifier();
    QVF_LOG_INFO(
        QStringLiteral("Internet reachability initialization complete. Reachability = %1. Flags = %2")
            .arg(monitor.isNetworkEnabled() ? 1 : 0)
            .arg(static_cast<int>(monitor.status()), 0, 16));
}

// ---- start and stop ----

void QVNasClientMacFramework::qvSdkStartService(QVNasCompletionBlock completion) {
    if (m_isStartService.load()) {
        if (completion) completion(refusal(1, QStringLiteral("sdk service does not allow repeated start")));
        return;
    }
    // Two starts before the first answer would run the service twice.
    if (m_isStarting.load()) {
        if (completion) completion(refusal(1, QStringLiteral("sdk service is starting")));
        return;
    }
    const std::optional<QString> gateway = plat::NetIf::current().broadcastAddress();
    if (m_netStatus == 1) {
        if (completion)
            completion(
                refusal(1, QStringLiteral("No network detected. Please connect to network and try again")));
        return;
    }
    const QString address = gateway && !gateway->isEmpty() ? *gateway : QStringLiteral("127.0.0.1");
    m_nowGatewayIp = address;
    QVF_LOG_INFO(QStringLiteral("start nas client sdk service"));
    m_isStarting.store(true);
    QVNasPrivateInterfaceProtocol::defaultProtocolManager().qvNasStartServiceWithGatewayIp(
        address, [this, completion = std::move(completion)](const QVNasResponseInfoPtr &r) {
            m_isStartService.store(r && r->responseCode == 0);
            m_isStarting.store(false);
            if (completion) completion(r);
        });
}

void QVNasClientMacFramework::qvSdkStopService(QVNasCompletionBlock completion) {
    if (!m_isStartService.load() || m_isStopping.load()) {
        if (completion)
            completion(
                refusal(2, QStringLiteral("service is not started, please use first 'qvSdkStartService:'")));
        return;
    }
    m_isStopping.store(true);
    QVNasPrivateInterfaceProtocol::defaultProtocolManager().qvNasStopServiceWithCompletion(
        [this, completion = std::move(completion)](const QVNasResponseInfoPtr &r) {
            // 0: the service context is gone; factories and a new start must see that.
            if (r && r->responseCode == 0) m_isStartService.store(false);
            m_isStopping.store(false);
            if (completion) completion(r);
        });
}

void QVNasClientMacFramework::qvSdkGetVersion(QVNasCompletionBlock completion) {
    QVNasPrivateInterfaceProtocol::defaultProtocolManager().qvNasGetDeviceVersionWithCompletion(
        std::move(completion));
}

// ---- network ----

void QVNasClientMacFramework::qvNasMacNetworkChanged(plat::NetworkMonitor::Status status) {
    if (status == plat::NetworkMonitor::Status::Unknown) return;  // nothing known: nothing to report
    const int previous = m_netStatus;
    // A local network counts: the devices are on it.
    const int current = status == plat::NetworkMonitor::Status::Disconnected ? 1 : 3;
    const std::optional<QString> gateway = plat::NetIf::current().broadcastAddress();
    const bool same = m_nowGatewayIp && gateway && *m_nowGatewayIp == *gateway;
    if (previous != 0 ? (same && previous == current) : same) return;
    QVF_LOG_INFO(QStringLiteral("network status %1 -> %2, gateway %3 -> %4")
                     .arg(previous)
                     .arg(current)
                     .arg(m_nowGatewayIp.value_or(QStringLiteral("(none)")),
                          gateway.value_or(QStringLiteral("(none)"))));
    m_netStatus = current;
    if (m_isStartService.load() && gateway && !gateway->isEmpty() && m_nowGatewayIp && !same &&
        current != 1) {
        m_nowGatewayIp = *gateway;
        QVNasPrivateInterfaceProtocol::defaultProtocolManager().qvNasDynamicSetGatewayWithGatewayIp(
            *gateway, [this](const QVNasResponseInfoPtr &r) {
                QVF_LOG_INFO(QStringLiteral("gateway change: %1").arg(r ? r->responseCode : -1));
                postNetworkStatus();
            });
        return;
    }
    postNetworkStatus();
}

void QVNasClientMacFramework::postNetworkStatus() {
    plat::NotificationCenter::defaultCenter().post(
        QLatin1String(kNotif_QVNasClientMacFrameworkNetworkStatusChange), QVariant::fromValue(m_netStatus));
}

// ---- pushes, on the SDK's threads ----

void QVNasClientMacFramework::qv_autoPushUsbBackupInfoList(const plat::Notification &n) {
    if (QVNasClientMacFrameworkDelegate *d = delegate())
        d->qvNasClientUSBBackupInfoListChange(n.object.value<QList<QVNasUSBInfoPtr>>());
}

void QVNasClientMacFramework::qv_autoPushUserStatusChange(const plat::Notification &n) {
    if (QVNasClientMacFrameworkDelegate *d = delegate())
        d->qvNasClientUserStatusChangedListen(static_cast<int32_t>(n.object.toLongLong()));
}

// ---- factories ----

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
