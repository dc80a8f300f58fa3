#include "service/QVNasDeviceConnectService.h"

#include <QElapsedTimer>
#include <QVariantMap>
#include <deque>

#include "broker/QVNasPrivateInterfaceProtocol.h"
#include "broker/QVNotifications.h"
#include "cloud/CloudSecrets.h"
#include "cloud/QVInterfaceManage.h"
#include "model/QVClientSDKTools.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/WorkPool.h"
#include "service/QVNasClientMacFramework.h"

namespace {

constexpr char kTunnelHost[] = "127.0.0.1";
constexpr int kCommandPort = 13111;
constexpr int kMediaPort = 8080;
constexpr int kDeviceMediaPort = 80;
constexpr int kTunnelStarting = -40000;
constexpr int kTunnelDropped = -30006;

// The tunnel is one per process: its state, and a lane that runs starts and stops one at a time, in the
// order they were asked for, on the work pool.
struct TunnelProcess {
    std::mutex mu;  // the fields below
    int32_t status = 0;
    int32_t gsid = -1;
    int32_t map1 = -1, map2 = -1;
    int64_t mode = 255;
    bool up = false;

    std::mutex laneMu;  // the lane's queue
    std::deque<std::function<void()>> lane;
    bool laneRunning = false;
};
TunnelProcess &tunnel() {
    static TunnelProcess t;
    return t;
}

void runOnLane(std::function<void()> job) {
    auto &t = tunnel();
    {
        std::lock_guard lock(t.laneMu);
        t.lane.push_back(std::move(job));
        if (t.laneRunning) return;
        t.laneRunning = true;
    }
    plat::WorkPool::global().async([&t] {
        for (;;) {
            std::function<void()> next;
            {
                std::lock_guard lock(t.laneMu);
                if (t.lane.empty()) {
                    t.laneRunning = false;
                    return;
                }
                next = std::move(t.lane.front());
                t.lane.pop_front();
            }
            next();
        }
    });
}

// The 128-byte authentication record: user name in bytes 0-63, password in 64-127, each NUL-terminated in
// a zero-filled field.
QByteArray authRecord() {
    QByteArray rec(128, '\0');
    const QByteArray user = cloud::tunnelUserName().left(63), pass = cloud::tunnelPassword().left(63);
    std::copy(user.begin(), user.end(), rec.begin());
    std::copy(pass.begin(), pass.end(), rec.begin() + 64);
    return rec;
}

// Stops what the tunnel holds (lane only, state locked).
void stopLocked(TunnelAgent &agent) {
    auto &t = tunnel();
    if (!t.up) return;
    QElapsedTimer timer;
    timer.start();
    if (t.map1 >= 0) agent.stopPortMapping(t.map1);
    if (t.map2 >= 0) agent.stopPortMapping(t.map2);
    agent.abort(t.gsid);
    agent.deInitialize();
    t.map1 = t.map2 = -1;
    t.up = false;
    QVF_LOG_INFO(QStringLiteral("tunnel stopped in %1 s").arg(timer.elapsed() / 1000.0, 0, 'f', 3));
}
void stopBody(TunnelAgent &agent) {
    std::lock_guard lock(tunnel().mu);
    stopLocked(agent);
}

// Starts the tunnel to `uid` (lane only): the session and both mappings, or, when any of them fails,
// nothing left behind, so that a later start begins afresh.
bool startBody(TunnelAgent &agent, const QByteArray &uid, TunnelAgent::StatusHandler onStatus) {
    auto &t = tunnel();
    std::lock_guard lock(t.mu);
    t.status = kTunnelStarting;
    agent.initialize(4);  // -30007 when still initialised: the start goes on
    int errFromDevice = 0;
    t.gsid = agent.connect(uid, authRecord(), &errFromDevice);
    uint8_t mode = 255;
    agent.sessionMode(t.gsid, &mode);
    t.mode = mode;
    if (t.gsid < 0) {
        QVF_LOG_ERROR(
            QStringLiteral("tunnel connect failed: %1, device error %2").arg(t.gsid).arg(errFromDevice));
        t.status = t.gsid;
        agent.deInitialize();
        return false;
    }
    agent.setStatusHandler(std::move(onStatus));
    t.map1 = t.map2 = -1;
    t.map1 = agent.portMapping(t.gsid, kCommandPort, kCommandPort);
    if (t.map1 < 0)
        QVF_LOG_INFO(QStringLiteral("warning: mapping of %1 failed: %2").arg(kCommandPort).arg(t.map1));
    t.map2 = agent.portMapping(t.gsid, kMediaPort, kDeviceMediaPort);
    if (t.map2 < 0)
        QVF_LOG_INFO(QStringLiteral("warning: mapping of %1 failed: %2").arg(kMediaPort).arg(t.map2));
    const bool ok = t.map1 >= 0 && t.map2 >= 0;
    t.status = ok ? t.gsid : (t.map1 < 0 ? t.map1 : t.map2);
    t.up = true;
    if (!ok) {
        stopLocked(agent);
    } else {
        QVF_LOG_INFO(QStringLiteral("tunnel up: session %1, mode %2, mapped port %3")
                         .arg(t.gsid)
                         .arg(t.mode)
                         .arg(kCommandPort));
    }
    return ok;
}

// The service that receives tunnel events: the most recently made one, while it lives.
std::mutex g_registeredMu;
std::weak_ptr<void> g_registered;
const void *g_registeredSelf = nullptr;

}  // namespace

int32_t QVNasDeviceConnectService::qvP2PGetTunnelStatus() {
    std::lock_guard lock(tunnel().mu);
    return tunnel().status;
}
int64_t QVNasDeviceConnectService::remoteConnectMode() {
    std::lock_guard lock(tunnel().mu);
    return tunnel().mode;
}
int32_t QVNasDeviceConnectService::qvP2PGetMappedPort() {
    std::lock_guard lock(tunnel().mu);
    return tunnel().up ? kCommandPort : -1;
}

QVNasDeviceConnectService *QVNasDeviceConnectService::alive(const Weak &w) {
    const auto a = w.lock();
    return a ? a->self : nullptr;
}

QVNasDeviceConnectService::QVNasDeviceConnectService(QVNasUserServicePtr userService, Ports ports)
    : m_userService(std::move(userService)), m_ports(std::move(ports)) {
    if (!m_ports.tunnel) m_ports.tunnel = TunnelAgent::runtimeAgent();
    // The cloud look-ups go to the client the user service talks to (the process's shared one by default).
    if (!m_ports.cloud)
        m_ports.cloud = CloudDeviceApi::over(m_userService ? &m_userService->interfaceManage() : nullptr);
    m_anchor = std::make_shared<Anchor>(Anchor{this});
    {
        std::lock_guard lock(g_registeredMu);
        g_registered = m_anchor;
        g_registeredSelf = this;
    }
    m_context = std::make_unique<QObject>();
    auto &center = plat::NotificationCenter::defaultCenter();
    const Weak w = m_anchor;
    m_netToken = center.addObserver(
        QLatin1String(kNotif_QVNasClientMacFrameworkNetworkStatusChange), m_context.get(),
        [w](const plat::Notification &) {
            if (auto s = alive(w)) s->qv_networkChange();
        },
        plat::Delivery::Main);
    m_addToken = center.addObserver(
        QLatin1String(kNotif_QVAutoPushDeviceAddNotification), m_context.get(),
        [w](const plat::Notification &n) {
            if (auto s = alive(w)) s->qv_autoPushDeviceAdd(n.object.value<QVNasDeviceInfoPtr>());
        },
        plat::Delivery::Main);
    m_delToken = center.addObserver(
        QLatin1String(kNotif_QVAutoPushDeviceDelNotification), m_context.get(),
        [w](const plat::Notification &n) {
            if (auto s = alive(w)) s->qv_autoPushDeviceDel(n.object.value<QVNasDeviceInfoPtr>());
        },
        plat::Delivery::Main);
    startScanLocalDevice();
}

QVNasDeviceConnectService::~QVNasDeviceConnectService() {
    std::lock_guard lock(g_registeredMu);
    if (g_registeredSelf == this) {
        g_registered.reset();
        g_registeredSelf = nullptr;
    }
}

QVNasDeviceConnectService *QVNasDeviceConnectService::registeredService() {
    std::lock_guard lock(g_registeredMu);
    const auto anchor = std::static_pointer_cast<Anchor>(g_registered.lock());
    return anchor ? anchor->self : nullptr;
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
    m_isHaveRebootDevice = isHaveRebootDevice;
}
QString QVNasDeviceConnectService::accessToken() const {
    return m_userService ? m_userService->accessToken() : QString();
}

void QVNasDeviceConnectService::raise(int64_t type, const QString &message) {
    QVF_LOG_ERROR(QStringLiteral("connect failed: type %1, %2").arg(type).arg(message));
    if (auto onError = errorListener()) onError(type, message);
}

// ---- connecting ----

void QVNasDeviceConnectService::qvNasConnect() {
    if (m_isHaveDisconnect) {
        const Weak w = m_anchor;
        qvNasDisconectDevice([w](const QVNasResponseInfoPtr &) {
            if (auto s = alive(w)) s->qvNasConnect();
        });
        return;
    }
    if (!QVClientSDKTools::qvClientIsNetworkEnabled()) {
        raise(QVNasConnect_Network_Error, QStringLiteral("No Internet"));
        return;
    }
    if (isConnected()) {
        const auto d = deviceInfo();
        if (!m_devicePublicNetIp.isEmpty() && d && d->ip.isEmpty()) d->ip = m_devicePublicNetIp;
        if (auto listener = connectedListener()) listener();
        return;
    }
    if (m_isProcessConnect) return;
    startPreparationForConnection();
}

bool QVNasDeviceConnectService::isConnected() const {
    return m_connected && !m_isHaveDisconnect;
}

void QVNasDeviceConnectService::startPreparationForConnection() {
    m_isProcessConnect = true;
    if (deviceInfo()) {
        startTryConnect();
        return;
    }
    const QString bc = deviceBc();
    if (bc.isEmpty()) {
        m_isProcessConnect = false;
        raise(QVNasConnect_Parameter_Error, QStringLiteral("deviceInfo and deviceBcCode nil"));
        return;
    }
    const Weak w = m_anchor;
    const uint64_t attempt = m_attempt;
    m_ports.cloud->getDeviceInfoByBC(bc, [w, attempt](const QVNasResponseInfoPtr &r) {
        auto s = alive(w);
        if (!s || s->m_attempt != attempt) return;
        QVNasDeviceInfoPtr record;
        const QVariantMap data = r ? r->responseData.toMap() : QVariantMap();
        if (!data.isEmpty()) {
            record = std::make_shared<QVNasDeviceInfo>();
            record->device_id = data.value(QStringLiteral("deviceId")).toString();
            record->device_type = data.value(QStringLiteral("deviceType")).toString();
            record->dev_name = data.value(QStringLiteral("deviceName")).toString();
            record->online = data.value(QStringLiteral("online")).toBool();
        }
        s->setDeviceInfoForService(record, r ? r->responseCode : 0);
    });
}

void QVNasDeviceConnectService::setDeviceInfoForService(const QVNasDeviceInfoPtr &record, int64_t code) {
    if (m_connectType != 0) return;
    if (record) {
        setDeviceInfo(record);
        startTryConnect();
        return;
    }
    m_isProcessConnect = false;
    raise(QVNasConnect_DeviceInfo_Error,
          QString::asprintf("getDeviceInfoByBC code:%ld", static_cast<long>(code)));
}

void QVNasDeviceConnectService::startTryConnect() {
    const auto d = deviceInfo();
    if (!d->online && (d->ip.isEmpty() || d->ip == QLatin1String(kTunnelHost))) {
        m_isProcessConnect = false;
        raise(QVNasConnect_Offline_Error, QStringLiteral("device offoline"));
        return;
    }
    if (!startFinConnectLocalDevice()) serviceGetDeviceP2PInfo();
}

bool QVNasDeviceConnectService::startFinConnectLocalDevice() {
    const auto d = deviceInfo();
    if (!d) return false;
    bool matched = false;
    const auto list = m_localDeviceList;  // a connected handler may change the list
    for (const auto &entry : list) {
        if (!entry || entry->device_id != d->device_id) continue;
        if (matched) {
            QVF_LOG_INFO(QStringLiteral("a later LAN entry for the device is not used: %1").arg(entry->ip));
            continue;
        }
        matched = true;
        findConnectLocalDeviceFinish(entry);
    }
    return matched;
}

void QVNasDeviceConnectService::findConnectLocalDeviceFinish(const QVNasDeviceInfoPtr &lanRecord) {
    if (m_isStartP2P || m_connectType != 0) return;
    m_connectType = 1;
    setDeviceInfo(lanRecord);
    m_devicePublicNetIp = lanRecord->ip;
    m_connected = true;
    connectDeviceFinish();
}

void QVNasDeviceConnectService::connectDeviceFinish() {
    m_isProcessConnect = false;
    m_connected = true;
    QVF_LOG_INFO(QStringLiteral("connected, type %1, at %2").arg(m_connectType).arg(m_devicePublicNetIp));
    if (auto listener = connectedListener()) listener();
}

void QVNasDeviceConnectService::serviceGetDeviceP2PInfo() {
    const Weak w = m_anchor;
    const uint64_t attempt = m_attempt;
    m_ports.cloud->getDeviceP2PInfo(deviceInfo(), accessToken(), [w, attempt](const QVNasResponseInfoPtr &r) {
        auto s = alive(w);
        if (!s || s->m_attempt != attempt) return;
        const int64_t code = r ? r->responseCode : QVInterfaceManage::kNoReply;
        const QString uid =
            code == 0 ? r->responseData.toMap().value(QStringLiteral("dev_id")).toString() : QString();
        s->getDeviceP2PInfoFinsh(uid, code);
    });
}

void QVNasDeviceConnectService::getDeviceP2PInfoFinsh(const QString &uid, int64_t code) {
    m_deviceP2pUUID = uid;
    if (m_connectType != 0) return;
    if (uid.isEmpty()) {
        if (!startFinConnectLocalDevice()) {
            m_isProcessConnect = false;
            raise(QVNasConnect_P2PInfo_Error,
                  QString::asprintf("getDeviceP2PInfo code:%ld", static_cast<long>(code)));
        }
        return;
    }
    if (startFinConnectLocalDevice()) return;
    // The tunnel is made on the lane; while it is being made a device found on the LAN only joins the
    // list, and the LAN match after the start decides.
    m_isStartP2P = true;
    const Weak w = m_anchor;
    const uint64_t attempt = m_attempt;
    const TunnelAgentPtr agent = m_ports.tunnel;
    const QByteArray uidBytes = uid.toUtf8();
    runOnLane([w, attempt, agent, uidBytes] {
        stopBody(*agent);
        const bool ok = startBody(*agent, uidBytes, [](int errorCode, int sessionId) {
            Weak registered;
            {
                std::lock_guard lock(g_registeredMu);
                registered = std::static_pointer_cast<Anchor>(g_registered.lock());
            }
            plat::MainQueue::post([registered, errorCode, sessionId] {
                if (auto s = alive(registered)) s->tunnelStatus(errorCode, sessionId);
            });
        });
        int32_t gsid;
        {
            std::lock_guard lock(tunnel().mu);
            gsid = tunnel().gsid;  // the session id, or the connect's negative error
            uint8_t mode = 255;
            if (ok) agent->sessionMode(tunnel().gsid, &mode);
            tunnel().mode = mode;
        }
        QVF_LOG_INFO(
            QStringLiteral("tunnel reset: %1, mode %2").arg(ok ? "ok" : "failed").arg(remoteConnectMode()));
        plat::MainQueue::post([w, attempt, agent, ok, gsid] {
            auto s = alive(w);
            if (!s || s->m_attempt != attempt) {
                // Abandoned meanwhile: nobody uses this tunnel.
                if (ok && !s) runOnLane([agent] { stopBody(*agent); });
                return;
            }
            s->tunnelStarted(ok, gsid);
        });
    });
}

void QVNasDeviceConnectService::tunnelStarted(bool ok, int32_t gsid) {
    m_p2pGSID = gsid;
    if (!ok) {
        // The start left nothing behind; a LAN entry may still save the attempt.
        m_isStartP2P = false;
        if (!startFinConnectLocalDevice()) {
            m_isProcessConnect = false;
            raise(QVNasConnect_Connect_Error, QString::asprintf("connect fail code:%d", gsid));
        }
        return;
    }
    if (m_connectType == 1) {
        stopTunnel();
        return;
    }
    m_isStartP2P = false;
    if (startFinConnectLocalDevice()) {
        m_isStartP2P = true;
        stopTunnel();
        return;
    }
    m_isStartP2P = true;
    m_connectType = 2;
    m_devicePublicNetIp = QLatin1String(kTunnelHost);
    if (const auto d = deviceInfo()) d->ip = QLatin1String(kTunnelHost);
    m_connected = true;
    connectDeviceFinish();
}

void QVNasDeviceConnectService::stopTunnel(std::function<void()> then) {
    if (!m_isStartP2P || m_isProcessStopP2P) {
        if (then) then();
        return;
    }
    m_isProcessStopP2P = true;
    const TunnelAgentPtr agent = m_ports.tunnel;
    runOnLane([agent, then = std::move(then)] {
        stopBody(*agent);
        if (then) plat::MainQueue::post(then);
    });
    m_isStartP2P = false;
    m_isProcessStopP2P = false;
}

// ---- disconnecting and events ----

void QVNasDeviceConnectService::qvNasDisconectDevice(QVNasCompletionBlock completion) {
    m_devicePublicNetIp.clear();
    m_deviceP2pUUID.clear();
    m_isHaveDisconnect = false;
    // A running attempt is abandoned: its late answers are dropped and a new connect may start at once.
    ++m_attempt;
    m_isProcessConnect = false;
    QVNasDeviceUserServicePtr users;
    {
        std::lock_guard lock(m_mu);
        users = m_deviceUserService;
    }
    if (m_connected && users) {
        const Weak w = m_anchor;
        users->qvNasLogoutDevice([w, completion](const QVNasResponseInfoPtr &r) {
            if (auto s = alive(w))
                s->qvNasDisconetDeviceFinish(r, completion);
            else if (completion)
                completion(r);
        });
        return;
    }
    auto r = std::make_shared<QVNasResponseInfo>();
    qvNasDisconetDeviceFinish(r, std::move(completion));
}

void QVNasDeviceConnectService::qvNasDisconetDeviceFinish(const QVNasResponseInfoPtr &response,
                                                          QVNasCompletionBlock completion) {
    m_connected = false;
    m_connectType = 0;
    // The completion runs once the tunnel's ports are free again.
    stopTunnel([completion, response] {
        if (completion) completion(response);
    });
}

void QVNasDeviceConnectService::qv_networkChange() {
    m_isHaveDisconnect = true;
    networkChangeMethodFinish(true);
}

void QVNasDeviceConnectService::networkChangeMethodFinish(bool) {
    m_localDeviceList.clear();
    if (auto onDisconnected = disconnectedListener()) onDisconnected();
    startScanLocalDevice();
}

void QVNasDeviceConnectService::tunnelStatus(int errorCode, int sessionId) {
    if (errorCode != kTunnelDropped) return;
    if (m_connectType != 2 || sessionId != m_p2pGSID) {
        QVF_LOG_INFO(
            QStringLiteral("drop of tunnel session %1 ignored (ours: %2)").arg(sessionId).arg(m_p2pGSID));
        return;
    }
    p2pDisconnect();
}

void QVNasDeviceConnectService::p2pDisconnect() {
    if (!m_connected || m_isHaveRebootDevice) return;
    const Weak w = m_anchor;
    qvNasDisconectDevice([w](const QVNasResponseInfoPtr &) {
        if (auto s = alive(w)) s->networkChangeMethodFinish(true);
    });
}

void QVNasDeviceConnectService::qv_autoPushDeviceAdd(const QVNasDeviceInfoPtr &device) {
    if (!device) return;
    const auto d = deviceInfo();
    if (d && device->device_id == d->device_id && m_isProcessConnect) findConnectLocalDeviceFinish(device);
    for (const auto &entry : m_localDeviceList) {
        if (entry && entry->device_id == device->device_id) {
            if (entry->ip != device->ip)
                QVF_LOG_INFO(QStringLiteral("device %1 also announced at %2; %3 is kept")
                                 .arg(device->device_id, device->ip, entry->ip));
            return;
        }
    }
    m_localDeviceList.append(device);
}

void QVNasDeviceConnectService::qv_autoPushDeviceDel(const QVNasDeviceInfoPtr &device) {
    if (!device) return;
    for (qsizetype i = 0; i < m_localDeviceList.size(); ++i) {
        if (m_localDeviceList[i] && m_localDeviceList[i]->device_id == device->device_id) {
            m_localDeviceList.removeAt(i);
            return;
        }
    }
}

void QVNasDeviceConnectService::startScanLocalDevice() {
    m_localDeviceList.clear();
    const Weak w = m_anchor;
    QVNasPrivateInterfaceProtocol::defaultProtocolManager().qvNasGetDeviceInfoListWithCompletion(
        [w](const QVNasResponseInfoPtr &r) {
            if (auto s = alive(w)) s->setScanLocalFinish(r);
        });
}

void QVNasDeviceConnectService::setScanLocalFinish(const QVNasResponseInfoPtr &response) {
    if (!response) return;
    m_localDeviceList = response->responseData.value<QList<QVNasDeviceInfoPtr>>();
}

// ---- requests ----

void QVNasDeviceConnectService::getDeviceStatus(QVNasCompletionBlock completion) {
    const auto d = deviceInfo();
    QVNasPrivateInterfaceProtocol::defaultProtocolManager().qvNasGetDeviceStatus(d ? d->ip : QString(),
                                                                                 std::move(completion));
}

void QVNasDeviceConnectService::qvNasBindDevice(const QVNasDeviceInfoPtr &device,
                                                QVNasCompletionBlock completion) {
    if (!device) return;
    if (device->ip.isEmpty()) {
        if (const auto d = deviceInfo()) device->ip = d->ip;
    }
    const CloudDeviceApiPtr cloud = m_ports.cloud;
    const QVNasUserServicePtr users = m_userService;
    QVNasPrivateInterfaceProtocol::defaultProtocolManager().qvNasGetDeviceBindCodeByIP(
        device->ip, [device, cloud, users, completion](const QVNasResponseInfoPtr &r) {
            if (!r || r->responseCode != 0) {
                if (completion) completion(r);
                return;
            }
            device->device_bindCode = r->responseData.toString();
            cloud->bindDevice(device, users ? users->accessToken() : QString(),
                              [completion](const QVNasResponseInfoPtr &answer) {
                                  if (completion) completion(answer);
                              });
        });
}

void QVNasDeviceConnectService::qvNasGetDeviceAuthCode(QVNasCompletionBlock completion) {
    m_ports.cloud->getDeviceAuthCode(deviceInfo(), accessToken(),
                                     [completion](const QVNasResponseInfoPtr &r) {
                                         if (completion) completion(r);
                                     });
}

void QVNasDeviceConnectService::qvNasGetDeviceByBcCode(const QString &bindCode,
                                                       QVNasCompletionBlock completion) {
    m_ports.cloud->getDeviceInfoByBC(bindCode, [completion](const QVNasResponseInfoPtr &r) {
        if (completion) completion(r);
    });
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
