// The one place every component takes the framework's entry object and service objects from: each made on
// first read and kept for the rest of the process. Also the framework's delegate for pushed account and
// USB-backup changes, and the transform of listing responses into the application's file entries.
// Main thread only.
#pragma once

#include <functional>

#include "broker/QVNasResponseInfo.h"
#include "service/QVNasClientMacFramework.h"
#include "service/QVNasDeviceConnectService.h"
#include "service/QVNasDeviceUserService.h"
#include "service/QVNasStorageService.h"

class QVSingletonInterfaceManage final : public QVNasClientMacFrameworkDelegate {
  public:
    static QVSingletonInterfaceManage &sharedManager() {
        static auto *const s = new QVSingletonInterfaceManage;  // never destroyed
        return *s;
    }
    QVSingletonInterfaceManage(const QVSingletonInterfaceManage &) = delete;
    QVSingletonInterfaceManage &operator=(const QVSingletonInterfaceManage &) = delete;

    // Tests: use `framework` (not owned; it must outlive its use) as the entry object, or the real one
    // when null; every service read so far is forgotten.
    void setFramework(QVNasClientMacFramework *framework);

    // The entry object (any time; the first read makes this object its delegate).
    QVNasClientMacFramework &zeDuzUdurivOVU();
    // The services: only after the SDK service has started (the entry object throws before).
    QVNasAccountServicePtr qvNasAccountService();
    QVNasUserServicePtr qvNasUserService();                    // made with the empty access token
    QVNasDeviceConnectServicePtr qvNasDeviceConnectService();  // with qvNasUserService and an empty bind code
    QVNasInitDeviceServicePtr qvNasInitDeviceService();
    QVNasDeviceUserServicePtr qvNasDeviceUserService();
    QVNasDeviceManagerServicePtr qvNasDeviceManagerService();
    QVNasFWOTAServicePtr qvNasFWOTAService();
    QVNasUSBBackupServicePtr qVNasUSBBackupService();
    QVNasBackupServicePtr qVNasBackupService();
    QVNasRecentServicePtr qVNasRecentService();
    QVNasStorageServicePtr qVNasStorageService();

    // Rewrites a listing response in place (by its command) and returns it: entries become QVFileInfos
    // with their date texts; see the cases in the source.
    static QVNasResponseInfoPtr qvNasTransformResponseData(const QVNasResponseInfoPtr &response);

    // Disconnects the device through the connect service under the shared progress box; `finished` (may
    // be empty) runs after the box is removed.
    void startDisconnectDevice(std::function<void()> finished = {});
    void disconnectFinish();

    // ---- QVNasClientMacFrameworkDelegate: nothing to do ----
    void qvNasClientUSBBackupInfoListChange(const QList<QVNasUSBInfoPtr> &) override {}
    void qvNasClientUserStatusChangedListen(int32_t) override {}

  private:
    QVSingletonInterfaceManage() = default;
    QVNasClientMacFramework *m_framework = nullptr;
    QVNasAccountServicePtr m_qvNasAccountService;
    QVNasUserServicePtr m_qvNasUserService;
    QVNasDeviceConnectServicePtr m_qvNasDeviceConnectService;
    QVNasInitDeviceServicePtr m_qvNasInitDeviceService;
    QVNasDeviceUserServicePtr m_qvNasDeviceUserService;
    QVNasDeviceManagerServicePtr m_qvNasDeviceManagerService;
    QVNasFWOTAServicePtr m_qvNasFWOTAService;
    QVNasUSBBackupServicePtr m_qVNasUSBBackupService;
    QVNasBackupServicePtr m_qVNasBackupService;
    QVNasRecentServicePtr m_qVNasRecentService;
    QVNasStorageServicePtr m_qVNasStorageService;
};
