// The logged-in device user: device login and logout, the device's users, version and space, module
// support, and the file-level services (each made on first access and kept).
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "broker/QVNasBlocks.h"
#include "service/QVNasStorageService.h"

using QVNasLoginDeviceListenerBlock = std::function<void(int64_t deviceToken)>;
using QVNasLoginDeviceErrorBlock = std::function<void(int64_t failType)>;

class QVNasDeviceUserService {
  public:
    virtual ~QVNasDeviceUserService() = default;

    // Stores both callbacks, replacing earlier ones.
    virtual void qvNasSetLoginDeviceListener(QVNasLoginDeviceListenerBlock listener,
                                             QVNasLoginDeviceErrorBlock onError);
    // 13 then 11: the listener with the session token, or the error callback with type 4 already logged
    // in, 3 the login answered 1, 2 no such user (113002), 1 any other failure.
    virtual void qvNasLoginDeviceWithIp(const QString &ip, const QString &authCode);
    // 50: responseData a QList<QVNasDeviceUserInfoPtr>.
    virtual void qvNasGetDeviceUserInfoList(QVNasCompletionBlock completion);
    // 14.
    virtual void qvNasLogoutDevice(QVNasCompletionBlock completion);
    // 18: responseData the firmware version text.
    virtual QVNasRequestInfoPtr qvNasGetDeviceVersion(QVNasCompletionBlock completion);
    // 117: responseData a QVNasDeviceUserSpaceInfoPtr.
    virtual QVNasRequestInfoPtr qvNasGetUserSpaceInfo(QVNasCompletionBlock completion);
    // Synchronous: the login's module list holds the type with support flag 1.
    virtual bool qvNasGetModuleSupportFlag(int64_t moduleType);

    virtual QVNasUSBBackupServicePtr qVNasUSBBackupService();
    virtual QVNasBackupServicePtr qVNasBackupService();
    virtual QVNasRecentServicePtr qVNasRecentService();
    virtual QVNasStorageServicePtr qVNasStorageService();

  protected:
    std::mutex m_mu;  // the two callbacks and the four sub-services
    QVNasLoginDeviceListenerBlock m_loginListener;
    QVNasLoginDeviceErrorBlock m_loginError;
    QVNasUSBBackupServicePtr m_usbBackupService;
    QVNasBackupServicePtr m_backupService;
    QVNasRecentServicePtr m_recentService;
    QVNasStorageServicePtr m_storageService;
};
using QVNasDeviceUserServicePtr = std::shared_ptr<QVNasDeviceUserService>;
