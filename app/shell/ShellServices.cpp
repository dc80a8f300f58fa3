#include "shell/ShellServices.h"

#include <QPointer>

#include "QVNotifications.h"
#include "broker/QVNasResponseInfo.h"
#include "neighbours/QVOperateTransportManage.h"
#include "platform/NotificationCenter.h"
#include "session/QVSingletonData.h"
#include "session/QVSingletonInterfaceManage.h"
#include "tools/QVPrivateTools.h"

namespace {

QVSingletonData &session() {
    return QVSingletonData::sharedManager();
}

QString text(const char *key) {
    return QVPrivateTools::localizedOrKey(QString::fromLatin1(key));
}

// The message a sign-in code shows on the login window.
QString signInMessage(QVModuleCompletionCode code) {
    switch (code) {
        case 2:
            return text("QV_Admin_Invite_Error_Unregistered");
        case 18:
            return text("QV_Login_Prompt_Password_Error");
        case 19:
            return text("QV_Tasklist_Error_Server_Timeout");
        default:
            return QVPrivateTools::getErrorMessage(static_cast<int64_t>(code));
    }
}

void wireLogin(AppDelegate *delegate, QVLoginWindowController *w) {
    QPointer<QVLoginViewController> vc(w->contentViewController());
    QPointer<AppDelegate> d(delegate);
    vc->onServiceLogin = [vc, d](const QString &area, const QString &phone, const QString &password) {
        session().setModuleCompletionHandler([vc, d](QVModuleCompletionCode code) {
            if (code == 3) {
                if (d) d->setShowWindowType(QVShowWindowTypeDeviceChoice);
                plat::NotificationCenter::defaultCenter().post(
                    QString::fromLatin1(kNotif_com_qvNas_deviceShowType), QVariant::fromValue<int64_t>(3));
                return;
            }
            if (!vc) return;
            vc->setSigningIn(false);
            vc->showMessage(signInMessage(code));
        });
        session().serviceLogin(area, phone, password);
    };
}

QList<QVNasDeviceInfoPtr> devicesOf(const QVariant &data) {
    QList<QVNasDeviceInfoPtr> out;
    for (const QVariant &entry : data.toList()) {
        const QVariantMap m = entry.toMap();
        auto dev = std::make_shared<QVNasDeviceInfo>();
        dev->device_id = m.value(QStringLiteral("deviceId")).toString();
        dev->device_type = m.value(QStringLiteral("deviceType")).toString();
        dev->dev_name = m.value(QStringLiteral("deviceName")).toString();
        dev->online = m.value(QStringLiteral("online")).toBool();
        if (!dev->device_id.isEmpty()) out.append(dev);
    }
    return out;
}

void wireDeviceChoice(AppDelegate *delegate, QVDeviceChoiceWindowController *w) {
    QPointer<QVDeviceChoiceViewController> vc(w->contentViewController());
    QPointer<AppDelegate> d(delegate);
    vc->showAmazingLoading();
    QVSingletonInterfaceManage::sharedManager().qvNasUserService()->qvNasGetBindDeviceInfoList(
        [vc](const QVNasResponseInfoPtr &r) {
            if (!vc) return;
            vc->hiddenAmazingLoading();
            if (!r || r->responseCode != 0) {
                vc->showMessage(QVPrivateTools::getErrorMessage(r ? r->responseCode : -1));
                return;
            }
            vc->setDevices(devicesOf(r->responseData));
        });
    vc->onConnect = [vc, d](const QVNasDeviceInfoPtr &device) {
        session().setModuleCompletionHandler([vc, d, device](QVModuleCompletionCode code) {
            if (vc) vc->setConnecting(false);
            if (code == 0) {
                if (session().userInfo) session().userInfo->setBindDeviceId(device->device_id);
                session().setCurrentDeviceInfo(device);
                if (d) d->setShowWindowType(QVShowWindowTypeMain);
                return;
            }
            if (vc) vc->showMessage(text("QV_MAC_Login_Device_Notready"));
        });
        session().qvStartConnectDevice(device, true);
    };
    vc->onBackToLogin = [d] {
        session().restoreSingletonData(true);
        if (d) d->setShowWindowType(QVShowWindowTypeLogin);
    };
}

void wireMain(AppDelegate *delegate, QVMainWindowController *w) {
    QPointer<QVMainViewController> vc(w->contentViewController());
    QPointer<AppDelegate> d(delegate);
    const QVNasDeviceInfoPtr dev = session().currentDeviceInfo();
    vc->setSummary(dev ? dev->dev_name : QString(), session().publicUserId, session().privateUserId);
    session().setReconnectBoxView([d]() -> QObject * {
        return d && d->mainWindow() ? d->mainWindow()->contentViewController() : nullptr;
    });
    vc->onLogout = [vc, d] {
        if (vc) vc->showProgressHUDWithInfo(QString());
        QVOperateTransportManage::shareTransportInstance().quitTransportLifeCycle();
        session().singletonLogoutDevice([d](bool) {
            session().restoreSingletonData(true);
            if (d) d->setShowWindowType(QVShowWindowTypeLogin);
        });
    };
}

}  // namespace

void wireShellWindow(AppDelegate *delegate, QWidget *window, uint64_t type) {
    switch (type) {
        case QVShowWindowTypeLogin:
            if (auto *w = qobject_cast<QVLoginWindowController *>(window)) wireLogin(delegate, w);
            break;
        case QVShowWindowTypeDeviceChoice:
            if (auto *w = qobject_cast<QVDeviceChoiceWindowController *>(window))
                wireDeviceChoice(delegate, w);
            break;
        case QVShowWindowTypeMain:
            if (auto *w = qobject_cast<QVMainWindowController *>(window)) wireMain(delegate, w);
            break;
        default:
            break;
    }
}

AppDelegateServices programServices(AppDelegate **delegate) {
    AppDelegateServices s;
    s.startService = [](QVCodeBlock done) {
        QVSingletonInterfaceManage::sharedManager().zeDuzUdurivOVU().qvSdkStartService(
            [done](const QVNasResponseInfoPtr &r) {
                if (done) done(r ? r->responseCode : -1);
            });
    };
    s.stopService = [](QVCodeBlock done) {
        session().singletonStopService([done](bool) {
            if (done) done(0);
        });
    };
    s.disconnectDevice = [](QVCodeBlock done) {
        // Without a running service there is no connection, and the service objects do not exist.
        if (!QVSingletonInterfaceManage::sharedManager().zeDuzUdurivOVU().isStartService()) {
            if (done) done(0);
            return;
        }
        session().singletonDisconnectDevice([done](bool) {
            if (done) done(0);
        });
    };
    s.quitTransportLifeCycle = [] {
        QVOperateTransportManage::shareTransportInstance().quitTransportLifeCycle();
    };
    s.setIsStartSDKService = [](bool started) { session().isStartSDKService = started; };
    s.windowCreated = [delegate](QWidget *window, uint64_t type) {
        if (delegate != nullptr && *delegate != nullptr) wireShellWindow(*delegate, window, type);
    };
    return s;
}
