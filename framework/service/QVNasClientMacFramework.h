// The framework's entry object: starts and stops the SDK service and makes the cloud account, cloud user
// and device connection services (only once the service has started). The application is its delegate
// for pushed USB-backup and account-status changes.
#pragma once

#include <QList>
#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "broker/QVNasBlocks.h"
#include "model/QVNasUSBInfo.h"
#include "service/QVNasAccountService.h"
#include "service/QVNasDeviceConnectService.h"
#include "service/QVNasUserService.h"

struct QVNasClientMacFrameworkDelegate {
    virtual ~QVNasClientMacFrameworkDelegate() = default;
    virtual void qvNasClientUSBBackupInfoListChange(const QList<QVNasUSBInfoPtr> &list) = 0;
    // 1: the account's password was changed; 0: another change.
    virtual void qvNasClientUserStatusChangedListen(int32_t status) = 0;
};

class QVNasClientMacFramework {
  public:
    // The one entry object of the process; every call makes `delegate` the delegate.
    static QVNasClientMacFramework &shareNasClientSdkManager(QVNasClientMacFrameworkDelegate *delegate);
    QVNasClientMacFramework(const QVNasClientMacFramework &) = delete;
    QVNasClientMacFramework &operator=(const QVNasClientMacFramework &) = delete;
    virtual ~QVNasClientMacFramework() = default;

    QVNasClientMacFrameworkDelegate *delegate() const { return m_delegate.load(); }
    void setDelegate(QVNasClientMacFrameworkDelegate *delegate) { m_delegate.store(delegate); }

    // Command 1: 0 when the service runs; 110001 for a repeated start or no network.
    virtual void qvSdkStartService(QVNasCompletionBlock completion);
    // Command 2; 110001 at once when the service does not run.
    virtual void qvSdkStopService(QVNasCompletionBlock completion);
    bool isStartService() const { return m_isStartService.load(); }

    // Factories: a new object on each call, kept by the entry object. Before a successful start they throw
    // std::logic_error("service is not started, please use first qvSdkStartService:.").
    virtual QVNasAccountServicePtr createAccountService();
    virtual QVNasUserServicePtr createUserServiceByAccessToken(const QString &accessToken);
    virtual QVNasDeviceConnectServicePtr createDeviceConnectServiceByUserService(
        const QVNasUserServicePtr &userService, const QString &bcCode);
    virtual QVNasDeviceConnectServicePtr createDeviceConnectServiceByUserService(
        const QVNasUserServicePtr &userService, const QVNasDeviceInfoPtr &deviceInfo);

  protected:
    QVNasClientMacFramework() = default;
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
    std::atomic<QVNasClientMacFrameworkDelegate *> m_delegate{nullptr};
    std::atomic<bool> m_isStartService{false};
};
