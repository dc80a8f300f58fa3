// The connection to one device: at its LAN address when discovery has seen it, else through the P2P tunnel
// (local 13111 -> device 13111, local 8080 -> device 80; the device is then "127.0.0.1"). Resolves a bind
// code through the cloud, fetches the device's P2P UID, reacts to network changes and dropped tunnels, binds
// devices and hands out the device-side services (each made on its first request and kept).
//
// Main thread: every operation, the handlers, the broker's and the cloud's answers. Discovery events and the
// tunnel's status events are carried to the main thread before they touch the service. The tunnel's start
// and stop block in the P2P library (a start up to its 30 s authentication wait), so they run one after the
// other on the work pool and their results come back to the main thread, where the state is checked again.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "bridge/TunnelAgent.h"
#include "broker/QVNasBlocks.h"
#include "cloud/CloudDeviceApi.h"
#include "model/QVNasDeviceInfo.h"
#include "platform/NotificationCenter.h"
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

enum QVNasConnectErrorType : int64_t {
    QVNasConnect_Network_Error = 1,
    QVNasConnect_Parameter_Error = 2,
    QVNasConnect_DeviceInfo_Error = 3,
    QVNasConnect_P2PInfo_Error = 4,
    QVNasConnect_Offline_Error = 5,
    QVNasConnect_Connect_Error = 7,
};

class QVNasDeviceConnectService {
  public:
    struct Ports {
        TunnelAgentPtr tunnel;    // null: the runtime's agent
        CloudDeviceApiPtr cloud;  // null: the user service's cloud client
    };
    // Registers the service for tunnel events, follows the network and discovery notifications and starts
    // a LAN scan.
    explicit QVNasDeviceConnectService(QVNasUserServicePtr userService, Ports ports = {});
    // Clears the registered service if it is this instance.
    virtual ~QVNasDeviceConnectService();
    // The service that hears tunnel events: the most recently made one while it lives, else null.
    static QVNasDeviceConnectService *registeredService();
    QVNasDeviceConnectService(const QVNasDeviceConnectService &) = delete;
    QVNasDeviceConnectService &operator=(const QVNasDeviceConnectService &) = delete;
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
    // Connected, and no network change seen since.
    virtual bool isConnected() const;
    // 0 not connected, 1 LAN address, 2 tunnel.
    int64_t connectType() const { return m_connectType; }
    // Logs out of the device (14) when logged in, stops the tunnel, then answers (code 0 when there was no
    // login to end, else the logout's answer). Abandons a running attempt.
    virtual void qvNasDisconectDevice(QVNasCompletionBlock completion);
    // 20: responseData a QVNasDeviceStatusInfoPtr.
    virtual void getDeviceStatus(QVNasCompletionBlock completion);
    // 15 (device errors + 100000, e.g. 120002), then the cloud binding (errors + 200000, e.g. 220011).
    virtual void qvNasBindDevice(const QVNasDeviceInfoPtr &device, QVNasCompletionBlock completion);
    // responseData on 0: {"auth_code": text}.
    virtual void qvNasGetDeviceAuthCode(QVNasCompletionBlock completion);
    // The cloud's record for a bind code, unchanged.
    virtual void qvNasGetDeviceByBcCode(const QString &bindCode, QVNasCompletionBlock completion);
    virtual void setIsHaveRebootDevice(bool isHaveRebootDevice);
    bool isHaveRebootDevice() const { return m_isHaveRebootDevice; }

    virtual QVNasInitDeviceServicePtr getInitDeviceService();
    virtual QVNasDeviceUserServicePtr getDeviceUserService();
    virtual QVNasDeviceManagerServicePtr getDeviceManagerService();
    virtual QVNasFWOTAServicePtr getFWOTAService();

    // The LAN devices known now (scan and discovery).
    QList<QVNasDeviceInfoPtr> localDeviceList() const { return m_localDeviceList; }
    // The tunnel: the process-wide status (-40000 while a start runs, then the session id or the negative
    // error of the connect or first failed mapping), the last session check's mode (0, 1, 2, 255) and the
    // local command port while the tunnel maps it (else -1).
    static int32_t qvP2PGetTunnelStatus();
    static int64_t remoteConnectMode();
    static int32_t qvP2PGetMappedPort();
    bool isStartP2P() const { return m_isStartP2P; }
    int32_t p2pGSID() const { return m_p2pGSID; }

  protected:
    struct PlainObject {};
    // For stand-ins that replace every operation: no registration, observers or scan.
    QVNasDeviceConnectService(QVNasUserServicePtr userService, PlainObject)
        : m_userService(std::move(userService)) {}

    QVNasConnectedBlock connectedListener() const;
    QVNasConnectErrorBlock errorListener() const;
    QVNasDisconnectedBlock disconnectedListener() const;

  private:
    struct Anchor {
        QVNasDeviceConnectService *self;
    };
    using Weak = std::weak_ptr<Anchor>;
    static QVNasDeviceConnectService *alive(const Weak &w);

    void startScanLocalDevice();
    void setScanLocalFinish(const QVNasResponseInfoPtr &response);
    void startPreparationForConnection();
    void setDeviceInfoForService(const QVNasDeviceInfoPtr &record, int64_t code);
    void startTryConnect();
    bool startFinConnectLocalDevice();
    void findConnectLocalDeviceFinish(const QVNasDeviceInfoPtr &lanRecord);
    void connectDeviceFinish();
    void serviceGetDeviceP2PInfo();
    void getDeviceP2PInfoFinsh(const QString &uid, int64_t code);
    void tunnelStarted(bool ok, int32_t gsid);
    void stopTunnel(std::function<void()> then = {});
    void qvNasDisconetDeviceFinish(const QVNasResponseInfoPtr &response, QVNasCompletionBlock completion);
    void qv_networkChange();
    void networkChangeMethodFinish(bool);
    void qv_autoPushDeviceAdd(const QVNasDeviceInfoPtr &device);
    void qv_autoPushDeviceDel(const QVNasDeviceInfoPtr &device);
    void tunnelStatus(int errorCode, int sessionId);
    void p2pDisconnect();
    void raise(int64_t type, const QString &message);
    QString accessToken() const;

  protected:
    mutable std::mutex m_mu;  // the handlers, the device record, the bind code and the sub-services
    QVNasUserServicePtr m_userService;
    Ports m_ports;
    QVNasDeviceInfoPtr m_deviceInfo;
    QString m_deviceBc;
    QVNasConnectedBlock m_listener;
    QVNasConnectErrorBlock m_onError;
    QVNasDisconnectedBlock m_onDisconnected;
    QVNasInitDeviceServicePtr m_initDeviceService;
    QVNasDeviceUserServicePtr m_deviceUserService;
    QVNasDeviceManagerServicePtr m_deviceManagerService;
    QVNasFWOTAServicePtr m_fwOtaService;

  private:
    // Main thread only.
    bool m_isHaveRebootDevice = false;
    QList<QVNasDeviceInfoPtr> m_localDeviceList;
    bool m_isProcessConnect = false;
    bool m_connected = false;
    int64_t m_connectType = 0;
    bool m_isStartP2P = false;
    bool m_isProcessStopP2P = false;
    int32_t m_p2pGSID = -1;
    QString m_devicePublicNetIp;
    QString m_deviceP2pUUID;
    bool m_isHaveDisconnect = false;
    uint64_t m_attempt = 0;  // moves on at every disconnect: answers of an abandoned attempt are dropped

    std::shared_ptr<Anchor> m_anchor;
    std::unique_ptr<QObject> m_context;
    plat::ObserverToken m_netToken, m_addToken, m_delToken;
};
using QVNasDeviceConnectServicePtr = std::shared_ptr<QVNasDeviceConnectService>;
