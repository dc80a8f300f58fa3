// The device connect and login: connect, status, bind, authorisation code, device login, the device's
// users; reconnect; log-out, disconnect and stop. Every failure ends in a code for the waiting window.
#include <QPointer>

#include "QVNotifications.h"
#include "model/QVNasDeviceUserInfo.h"
#include "neighbours/QVOperateTransportManage.h"
#include "platform/Clock.h"
#include "platform/Log.h"
#include "platform/NetworkMonitor.h"
#include "platform/NotificationCenter.h"
#include "session/QVSingletonData.h"
#include "session/QVSingletonInterfaceManage.h"
#include "tools/QVAccessData.h"
#include "tools/QVPrivateTools.h"

#define QVS_LOG_INFO(msg) PLAT_LOG(::plat::LogLevel::Info, "QV_APP", msg)
#define QVS_LOG_ERROR(msg) PLAT_LOG(::plat::LogLevel::Error, "QV_APP", msg)

namespace {

QVSingletonInterfaceManage &locator() {
    return QVSingletonInterfaceManage::sharedManager();
}

QVNasDeviceConnectServicePtr connectService() {
    return locator().qvNasDeviceConnectService();
}

QString tr(const char *key) {
    return QVPrivateTools::localizedOrKey(QString::fromLatin1(key));
}

}  // namespace

void QVSingletonData::qvStartConnectDevice(const QVNasDeviceInfoPtr &device, bool isAutoLogin) {
    QVNasDeviceConnectServicePtr c = connectService();
    c->qvNasSetDeviceWithListener(
        [this, isAutoLogin] { qvConnectDeviceFinishIsAutoLogin(isAutoLogin); },
        [this](int64_t type, const QString &message) { qvConnectDeviceFail(type, message); },
        [this] { qvNasReconnectDevice(); });
    c->setDeviceInfo(device);
    c->qvNasConnect();
}

void QVSingletonData::qvConnectDeviceFinishIsAutoLogin(bool isAutoLogin) {
    const QVNasDeviceInfoPtr d = connectService()->deviceInfo();
    if (d) currentDevicePublicNetIp = d->ip;
    if (isAutoLogin) {
        m_getDeviceStatusCommand = 1;
        qvNasGetDeviceNowStatus();
    } else {
        deliverModuleCompletionCode(1);
    }
}

void QVSingletonData::qvConnectDeviceFail(int64_t failType, const QString &) {
    QVPrivateTools::hideLoadBoxWithShowText(QString());
    struct Row {
        int64_t type;
        const char *message;  // null: no message box
        QVModuleCompletionCode code;
    };
    static const Row kRows[] = {
        {1, nullptr, 9}, {2, "Parameter Error", 3}, {3, "Get Device Bc Fail", 3}, {4, "Get P2PInfo Fail", 3},
        {5, nullptr, 6}, {6, "Disconnecting", 3},   {7, "Connect Fail", 3},
    };
    for (const Row &r : kRows) {
        if (r.type != failType) continue;
        if (r.message != nullptr) QVPrivateTools::showPromptBox(QString::fromLatin1(r.message));
        deliverModuleCompletionCode(r.code);
        return;
    }
    QVPrivateTools::showPromptBox(
        QStringLiteral("%1 code=%2").arg(tr("QV_Login_Private_Fail")).arg(failType));
    deliverModuleCompletionCode(3);
}

void QVSingletonData::qvNasReconnectDevice() {
    if (!m_currentDeviceInfo) return;
    if (connectService()->isConnected()) {
        QVS_LOG_INFO(QStringLiteral("reconnect: still connected, nothing to do"));
        return;
    }
    if (m_isStartReconnect) return;  // one at a time
    m_isStartReconnect = true;
    restoreFileBrowser();
    if (netWorkStyle != 1 && plat::NetworkMonitor::shared().isNetworkEnabled()) {
        QObject *view = m_reconnectBoxView ? m_reconnectBoxView() : nullptr;
        QVPrivateTools::showLoadBoxWithShowText(tr("QV_Remind_Network_Change"), view);
        // Its own callback: a window waiting in the slot keeps its handler.
        m_reconnectCompletion = [this](QVModuleCompletionCode code) { reconnectFinish(code); };
        qvStartConnectDevice(m_currentDeviceInfo, true);
    } else {
        m_isStartReconnect = false;
        QVS_LOG_INFO(QStringLiteral("reconnect: no network"));
    }
}

void QVSingletonData::reconnectFinish(QVModuleCompletionCode code) {
    QVPrivateTools::hideLoadBoxWithShowText(code != 0 ? QStringLiteral("reconnect error") : QString());
    const QVNasDeviceInfoPtr d = connectService()->deviceInfo();
    if (m_currentDeviceInfo && d) m_currentDeviceInfo->ip = d->ip;
    m_reconnectCompletion = nullptr;
    m_isStartReconnect = false;
}

void QVSingletonData::qvNasGetDeviceNowStatus() {
    const QDateTime start = plat::Clock::now();
    connectService()->getDeviceStatus([this, start](const QVNasResponseInfoPtr &r) {
        QVS_LOG_INFO(QStringLiteral("device status request: %1 s").arg(processCodeTimeConsuming(start)));
        if (!r || r->responseCode != 0) {
            QVS_LOG_ERROR(QStringLiteral("device status failed: %1").arg(r ? r->responseCode : -1));
            deliverModuleCompletionCode(3);
            return;
        }
        processNowDeviceStatus(r->responseData.value<QVNasDeviceStatusInfoPtr>());
    });
}

void QVSingletonData::processNowDeviceStatus(const QVNasDeviceStatusInfoPtr &status) {
    if (!status) {
        QVS_LOG_ERROR(QStringLiteral("device status: no status in the answer"));
        deliverModuleCompletionCode(3);
        return;
    }
    switch (status->deviceStatus) {
        case 0:
            invalidModuleFinish(true);
            return;
        case 1000:
            qvDeviceOtaInfo = status->deviceStatusMessage.value<QVNasDeviceOtaInfoPtr>();
            deliverModuleCompletionCode(14);
            return;
        case 1001:
            deliverModuleCompletionCode(20);
            return;
        case 2000:
            deliverModuleCompletionCode(21);
            return;
        case 2001:
            deliverModuleCompletionCode(22);
            return;
        case 3000:
            deliverModuleCompletionCode(23);
            return;
        case 3001:
        case 3002:
            deliverModuleCompletionCode(16);
            return;
        case 3003:
        case 3004:
            deliverModuleCompletionCode(15);
            return;
        case 3005:
        case 3006:
            deliverModuleCompletionCode(17);
            return;
        default:
            // A status we do not know: the waiting window must not wait for ever.
            QVS_LOG_ERROR(QStringLiteral("device status %1 unknown").arg(status->deviceStatus));
            deliverModuleCompletionCode(3);
            return;
    }
}

void QVSingletonData::invalidModuleFinish(bool ok) {
    if (!ok) {
        QVPrivateTools::hideLoadBoxWithShowText(tr("QV_Initialize_Remind_Format_Fail"));
        deliverModuleCompletionCode(3);
        return;
    }
    if (m_getDeviceStatusCommand == 2) {
        serviceBindDevice(m_haveBindDeviceInfo);
    } else if (m_getDeviceStatusCommand == 1) {
        qvNasStartLoginDevice();
    }
}

void QVSingletonData::serviceBindFirstGetDeviceStatus(const QVNasDeviceInfoPtr &device) {
    m_haveBindDeviceInfo = device;
    m_getDeviceStatusCommand = 2;
    m_bindRecheckDone = false;
    qvNasGetDeviceNowStatus();
}

void QVSingletonData::serviceBindDevice(const QVNasDeviceInfoPtr &device) {
    if (!device) {
        deliverModuleCompletionCode(4);
        return;
    }
    if (!m_haveBindDeviceInfo || m_haveBindDeviceInfo->device_id != device->device_id)
        m_haveBindDeviceInfo = device;
    if (userInfo) userInfo->setBindDeviceId(device->device_id);
    const QDateTime start = plat::Clock::now();
    connectService()->qvNasBindDevice(device, [this, start](const QVNasResponseInfoPtr &r) {
        QVS_LOG_INFO(QStringLiteral("bind request: %1 s").arg(processCodeTimeConsuming(start)));
        serviceBindDeviceFinish(r ? r->responseCode : -1);
    });
}

void QVSingletonData::serviceBindDeviceFinish(int64_t code) {
    if (code == 0 || code == 220011) {
        const QVNasDeviceInfoPtr d = m_haveBindDeviceInfo;
        m_bindRecheckDone = false;
        qvStartConnectDevice(d, true);
        m_haveBindDeviceInfo.reset();
        return;
    }
    if (code == 120002 && !m_bindRecheckDone) {
        // The disk wants initialising: look at the status once more; a second 120002 ends the binding.
        m_bindRecheckDone = true;
        m_getDeviceStatusCommand = 2;
        qvNasGetDeviceNowStatus();
        return;
    }
    QVPrivateTools::showPromptBox(code == 120002 ? QVPrivateTools::getErrorMessage(code)
                                                 : tr("QV_SetUI_Failed_Operation"));
    m_bindRecheckDone = false;
    m_haveBindDeviceInfo.reset();
    deliverModuleCompletionCode(4);
}

void QVSingletonData::qvNasStartLoginDevice() {
    qvNasGetDeviceAuthCode();
}

void QVSingletonData::qvNasGetDeviceAuthCode() {
    const QDateTime start = plat::Clock::now();
    connectService()->qvNasGetDeviceAuthCode([this, start](const QVNasResponseInfoPtr &r) {
        QVS_LOG_INFO(QStringLiteral("auth code request: %1 s").arg(processCodeTimeConsuming(start)));
        qvNasGetDeviceAuthCodeFinish(r ? r->responseCode : -1, r ? r->responseData : QVariant());
    });
}

void QVSingletonData::qvNasGetDeviceAuthCodeFinish(int64_t responseCode, const QVariant &data) {
    const QString code = data.toMap().value(QStringLiteral("auth_code")).toString();
    if (responseCode != 0 || code.isEmpty()) {
        // An empty code would log in for nothing and name the transfer database ".db".
        QVS_LOG_ERROR(QStringLiteral("auth code request failed: %1").arg(responseCode));
        deliverModuleCompletionCode(3);
        return;
    }
    if (!userInfo) userInfo = std::make_shared<QVUserInfo>();
    userInfo->setAuthorizationCode(code);
    if (QVAccessData::getIsAutoLoginService()) QVAccessData::saveServiceUserInfo(userInfo);
    if (m_currentDeviceInfo) m_currentDeviceInfo->device_authCode = code;
    qvStartLoginDeviceByAuthCode();
}

void QVSingletonData::qvStartLoginDeviceByAuthCode() {
    const QDateTime start = plat::Clock::now();
    QVNasDeviceUserServicePtr users = locator().qvNasDeviceUserService();
    users->qvNasSetLoginDeviceListener(
        [this, start](int64_t token) {
            QVS_LOG_INFO(QStringLiteral("device login: %1 s").arg(processCodeTimeConsuming(start)));
            qvNasLoginDeviceFinish(token);
        },
        [this, start](int64_t type) {
            QVS_LOG_INFO(QStringLiteral("device login failed: %1 s").arg(processCodeTimeConsuming(start)));
            qvNasLoginDeviceFail(type);
        });
    const QVNasDeviceInfoPtr d = connectService()->deviceInfo();
    users->qvNasLoginDeviceWithIp(d ? d->ip : QString(),
                                  userInfo ? userInfo->authorizationCode() : QString());
}

void QVSingletonData::qvNasLoginDeviceFinish(int64_t deviceToken) {
    setAutoLoginModuleProgress(80);
    isConnectDevice = true;
    if (m_currentDeviceInfo) m_currentDeviceInfo->device_token = deviceToken;
    qvGetDeviceUserInfoList();
}

void QVSingletonData::qvNasLoginDeviceFail(int64_t failType) {
    isConnectDevice = false;
    if (failType == 3) {
        m_getDeviceStatusCommand = 1;
        qvNasGetDeviceNowStatus();
        return;
    }
    connectService()->qvNasDisconectDevice([this, failType](const QVNasResponseInfoPtr &) {
        QVPrivateTools::showPromptBox(
            QStringLiteral("%1 : %2").arg(tr("QV_Login_Private_Fail")).arg(failType));
        deliverModuleCompletionCode(3);
    });
}

void QVSingletonData::qvGetDeviceUserInfoList() {
    setAutoLoginModuleProgress(88);
    const QDateTime start = plat::Clock::now();
    locator().qvNasDeviceUserService()->qvNasGetDeviceUserInfoList(
        [this, start](const QVNasResponseInfoPtr &r) {
            QVS_LOG_INFO(QStringLiteral("device users request: %1 s").arg(processCodeTimeConsuming(start)));
            qvGetDeviceUserInfoListFinish(r ? r->responseCode : -1, r ? r->responseData : QVariant());
        });
}

void QVSingletonData::qvGetDeviceUserInfoListFinish(int64_t responseCode, const QVariant &list) {
    setAutoLoginModuleProgress(93);
    const auto users = list.value<QList<QVNasDeviceUserInfoPtr>>();
    if (responseCode != 0) {
        QVS_LOG_ERROR(QStringLiteral("device users request failed: %1").arg(responseCode));
        deliverModuleCompletionCode(3);
        return;
    }
    // The public space is the user named "public". The private one is the signed-in user's own: the entry
    // named as the account (its phone number, then its nickname); without such an entry, the first
    // non-public user in the device's order.
    std::optional<int64_t> publicId;
    QVNasDeviceUserInfoPtr firstPrivate, ownPrivate;
    const QString phone = userInfo ? userInfo->userName : QString();
    const QString nick = userInfo ? userInfo->nickName : QString();
    for (const QVNasDeviceUserInfoPtr &u : users) {
        if (!u) continue;
        QVS_LOG_INFO(QString::asprintf("QVNasDeviceUserInfo : %s - %lld", qPrintable(u->nick_name),
                                       static_cast<long long>(u->user_id)));
        if (u->nick_name == QLatin1String("public")) {
            publicId = u->user_id;
            continue;
        }
        if (!firstPrivate) firstPrivate = u;
        if (!ownPrivate &&
            ((!phone.isEmpty() && u->nick_name == phone) || (!nick.isEmpty() && u->nick_name == nick)))
            ownPrivate = u;
    }
    const QVNasDeviceUserInfoPtr chosen = ownPrivate ? ownPrivate : firstPrivate;
    if (!chosen) {
        QVS_LOG_ERROR(QStringLiteral("device users: no private user"));
        deliverModuleCompletionCode(3);
        return;
    }
    if (publicId) publicUserId = *publicId;
    privateUserId = chosen->user_id;
    singletonProcessFinish();
}

void QVSingletonData::singletonProcessFinish() {
    deliverModuleCompletionCode(0);
    QVOperateTransportManage::shareTransportInstance().startAllTransportTask();
}

void QVSingletonData::singletonGetDeviceInfoList(
    std::function<void(const QList<QVNasDeviceInfoPtr> &)> completion) {
    const QDateTime start = plat::Clock::now();
    locator().qvNasUserService()->qvNasGetCanBindDeviceList(
        [start, completion](const QVNasResponseInfoPtr &r) {
            QVS_LOG_INFO(QStringLiteral("LAN devices request: %1 s").arg(processCodeTimeConsuming(start)));
            if (!completion) return;
            const auto list =
                r ? r->responseData.value<QList<QVNasDeviceInfoPtr>>() : QList<QVNasDeviceInfoPtr>();
            completion(list);
        });
}

void QVSingletonData::singletonLogoutDevice(std::function<void(bool)> completion) {
    locator().qvNasDeviceUserService()->qvNasLogoutDevice([this, completion](const QVNasResponseInfoPtr &r) {
        QVS_LOG_INFO(QStringLiteral("QV_LogoutDevice %1").arg(r ? r->responseCode : -1));
        singletonDisconnectDevice(completion);
    });
}

void QVSingletonData::singletonDisconnectDevice(std::function<void(bool)> completion) {
    isConnectDevice = false;
    connectService()->qvNasDisconectDevice([completion](const QVNasResponseInfoPtr &r) {
        QVS_LOG_INFO(QStringLiteral("Disconnect Device : %1").arg(r ? r->responseCode : -1));
        plat::NotificationCenter::defaultCenter().post(QString::fromLatin1(kNotif_com_qvNas_UserLogout));
        if (completion) completion(true);
    });
}

void QVSingletonData::singletonStopService(std::function<void(bool)> completion) {
    isConnectDevice = false;
    locator().zeDuzUdurivOVU().qvSdkStopService([this, completion](const QVNasResponseInfoPtr &r) {
        QVS_LOG_INFO(QStringLiteral("StopService : %1").arg(r ? r->responseCode : -1));
        if (r && r->responseCode == 0) isStartSDKService = false;
        if (completion) completion(true);
    });
}
