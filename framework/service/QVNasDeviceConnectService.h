// The connection to one device (its LAN address, or 127.0.0.1 through the tunnel), its login state and
// the device-side services, each made on its first request and kept.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "broker/QVNasBlocks.h"
#include "model/QVNasDeviceInfo.h"
#include "service/QVNasDeviceManagerService.h"
#include "service/QVNasDeviceUserService.h"
#include "service/QVNasFWOTAService.h"
#include "service/QVNasInitDeviceService.h"
#include "service/QVNasUserService.h"

using QVNasConnectedBlock = std::function<void()>;
// Fail types: 1 no network, 2 neither device record nor bind code, 3 lookup by bind code failed, 4 P2P
// information request failed, 5 device offline, 7 connection failed.
using QVNasConnectErrorBlock = std::function<void(int64_t failType, const QString &message)>;
using QVNasDisconnectedBlock = std::function<void()>;

class QVNasDeviceConnectService : public std::enable_shared_from_this<QVNasDeviceConnectService> {
  public:
    // The new instance becomes the registered service (made on the main thread).
    explicit QVNasDeviceConnectService(QVNasUserServicePtr userService);
    // Clears the registered service if it is this instance.
    virtual ~QVNasDeviceConnectService();
    // The most recently made instance, which hears dropped-tunnel events; null once that one is gone.
    static std::shared_ptr<QVNasDeviceConnectService> registeredService();
    QVNasUserServicePtr userService() const { return m_userService; }

    // Stores the three callbacks, replacing earlier ones.
    virtual void qvNasSetDeviceWithListener(QVNasConnectedBlock listener, QVNasConnectErrorBlock onError,
                                            QVNasDisconnectedBlock onDisconnected);
    virtual void setDeviceInfo(const QVNasDeviceInfoPtr &deviceInfo);
    virtual QVNasDeviceInfoPtr deviceInfo() const;
    virtual void setDeviceBc(const QString &deviceBc);
    QString deviceBc() const;
    // Connects to the set device; answers through the stored callbacks.
    virtual void qvNasConnect();
    virtual bool isConnected() const;
    // 14 when logged in, then the connection ends; else code 0 at once.
    virtual void qvNasDisconectDevice(QVNasCompletionBlock completion);
    // 20: responseData a QVNasDeviceStatusInfoPtr.
    virtual void getDeviceStatus(QVNasCompletionBlock completion);
    // 15 (device errors + 100000, e.g. 120002), then the cloud binding (errors + 200000, e.g. 220011).
    virtual void qvNasBindDevice(const QVNasDeviceInfoPtr &device, QVNasCompletionBlock completion);
    // responseData on 0: {"auth_code": text}.
    virtual void qvNasGetDeviceAuthCode(QVNasCompletionBlock completion);
    virtual void setIsHaveRebootDevice(bool isHaveRebootDevice);

    virtual QVNasInitDeviceServicePtr getInitDeviceService();
    virtual QVNasDeviceUserServicePtr getDeviceUserService();
    virtual QVNasDeviceManagerServicePtr getDeviceManagerService();
    virtual QVNasFWOTAServicePtr getFWOTAService();

  protected:
    // The stored callbacks, copied out so that they are never called under the lock.
    QVNasConnectedBlock connectedListener() const;
    QVNasConnectErrorBlock errorListener() const;
    QVNasDisconnectedBlock disconnectedListener() const;

    mutable std::mutex m_mu;
    QVNasUserServicePtr m_userService;
    QVNasDeviceInfoPtr m_deviceInfo;
    QString m_deviceBc;
    bool m_isHaveRebootDevice = false;
    QVNasConnectedBlock m_listener;
    QVNasConnectErrorBlock m_onError;
    QVNasDisconnectedBlock m_onDisconnected;
    QVNasInitDeviceServicePtr m_initDeviceService;
    QVNasDeviceUserServicePtr m_deviceUserService;
    QVNasDeviceManagerServicePtr m_deviceManagerService;
    QVNasFWOTAServicePtr m_fwOtaService;
};
using QVNasDeviceConnectServicePtr = std::shared_ptr<QVNasDeviceConnectService>;
