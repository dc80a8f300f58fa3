// The framework's entry object: sets up logging, follows the network, starts and stops the SDK service,
// keeps the gateway (broadcast) address the SDK searches on, and makes the cloud account, cloud user and
// device connection services (only once the service has started). The application is its delegate for
// pushed USB-backup and account-status changes.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "broker/QVNasBlocks.h"
#include "model/QVNasUSBInfo.h"
#include "platform/NetworkMonitor.h"
#include "platform/NotificationCenter.h"
#include "service/QVNasAccountService.h"
#include "service/QVNasDeviceConnectService.h"
#include "service/QVNasUserService.h"

struct QVNasClientMacFrameworkDelegate {
    virtual ~QVNasClientMacFrameworkDelegate() = default;
    virtual void qvNasClientUSBBackupInfoListChange(const QList<QVNasUSBInfoPtr> &list) = 0;
    // 1: the account's password was changed; 0: another change.
    virtual void qvNasClientUserStatusChangedListen(int32_t status) = 0;
};

inline constexpr char kNotif_QVNasClientMacFrameworkNetworkStatusChange[] =
    "QVNasClientMacFrameworkNetworkStatusChange";

class QVNasClientMacFramework {
  public:
    // The one entry object of the process, set up on first use; every call makes `delegate` the delegate.
    static QVNasClientMacFramework &shareNasClientSdkManager(QVNasClientMacFrameworkDelegate *delegate);
    QVNasClientMacFramework(const QVNasClientMacFramework &) = delete;
    QVNasClientMacFramework &operator=(const QVNasClientMacFramework &) = delete;
    virtual ~QVNasClientMacFramework();

    // Read by the SDK's push threads while the main thread may replace it.
    QVNasClientMacFrameworkDelegate *delegate() const { return m_delegate.load(); }
    void setDelegate(QVNasClientMacFrameworkDelegate *delegate) { m_delegate.store(delegate); }

    // Command 1: 0 once the service runs. Refused with 110001 on the caller's thread, before returning,
    // while it runs or is starting, and while the network is known to be down.
    virtual void qvSdkStartService(QVNasCompletionBlock completion);
    // Command 2; 110001 on the caller's thread when the service does not run. A stop answered 0 ends
    // the started state (the service context is gone).
    virtual void qvSdkStopService(QVNasCompletionBlock completion);
    // Command 18: the device's firmware version text.
    virtual void qvSdkGetVersion(QVNasCompletionBlock completion);
    void qvSdkDestroy() {}
    void qvNasNetworkChanged(int) {}
    bool isStartService() const { return m_isStartService.load(); }

    // 0 not yet known, 1 no network, 3 reachable (main thread).
    int qvNasNetWorkStatus() const { return m_netStatus; }
    std::optional<QString> nowGatewayIp() const { return m_nowGatewayIp; }
    // The reachability change handler (main thread).
    void qvNasMacNetworkChanged(plat::NetworkMonitor::Status status);

    // Factories: a new object on each call, kept by the entry object. Before a successful start they throw
    // std::logic_error("service is not started, please use first qvSdkStartService:.").
    virtual QVNasAccountServicePtr createAccountService();
    virtual QVNasUserServicePtr createUserServiceByAccessToken(const QString &accessToken);
    virtual QVNasDeviceConnectServicePtr createDeviceConnectServiceByUserService(
        const QVNasUserServicePtr &userService, const QString &bcCode);
    virtual QVNasDeviceConnectServicePtr createDeviceConnectServiceByUserService(
        const QVNasUserServicePtr &userService, const QVNasDeviceInfoPtr &deviceInfo);

    // The rolling log files' folder.
    static QString logFolder();

  protected:
    QVNasClientMacFramework() = default;
    // Logging (once per process), the two push observers and the reachability monitor.
    void initService();
    void setIsStartService(bool started) { m_isStartService.store(started); }
    // Throws the factories' exception.
    [[noreturn]] static void noStartServiceThrow();
    // Keeps a made service for the object's lifetime.
    template <typename P>
    P keep(QList<P> &list, P service) {
        std::lock_guard lock(m_listMu);
        list.append(service);
        return service;
    }

    mutable std::mutex m_listMu;
    QList<QVNasAccountServicePtr> m_qvNasAccountServicList;
    QList<QVNasUserServicePtr> m_qvNasUserServiceList;
    QList<QVNasDeviceConnectServicePtr> m_qvNasDeviceConnectServiceList;

  private:
    void qv_autoPushUsbBackupInfoList(const plat::Notification &n);
    void qv_autoPushUserStatusChange(const plat::Notification &n);
    void postNetworkStatus();

    std::atomic<QVNasClientMacFrameworkDelegate *> m_delegate{nullptr};
    std::atomic<bool> m_isStartService{false};
    std::atomic<bool> m_isStarting{false};  // a start sent and not yet answered
    std::atomic<bool> m_isStopping{false};
    std::optional<QString> m_nowGatewayIp;  // main thread
    int m_netStatus = 0;                    // main thread
    std::unique_ptr<QObject> m_context;     // ends the reachability observation with the object
    plat::ObserverToken m_usbToken, m_userStatusToken;
};
