#include "session/QVSingletonData.h"

#include "QVNotifications.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "tools/QVAccessData.h"

void QVSingletonData::setCurrentConnectDeviceInfo(const QVNasDeviceInfoPtr &device) {
    m_currentDeviceInfo.reset();
    if (!device) return;
    if (device->ip != QLatin1String("127.0.0.1")) currentDevicePublicNetIp = device->ip;
    m_currentDeviceInfo = device;
    device->device_authCode = userInfo ? userInfo->authorizationCode() : QString();
}

QVFileInfoPtr QVSingletonData::uploadTargetPath() {
    if (!m_uploadTargetPath) restoreUploadPathInfoToRoot();
    return m_uploadTargetPath;
}

void QVSingletonData::restoreUploadPathInfoToRoot() {
    auto root = std::make_shared<QVFileInfo>();
    root->name = QStringLiteral("Tessera");
    root->path = QStringLiteral("/");
    root->userId = privateUserId;
    m_uploadTargetPath = root;
}

void QVSingletonData::setSelectedType(uint64_t type) {
    if (type == m_selectedType) return;
    m_selectedType = type;
    plat::NotificationCenter::defaultCenter().post(QString::fromLatin1(kNotif_com_qvNas_TabChanged));
}

void QVSingletonData::deliverModuleCompletionCode(QVModuleCompletionCode code) {
    auto deliver = [this, code] {
        // A running reconnect takes the codes with its own callback; the window's handler stays in the slot.
        const QVModuleCompletionBlock slot =
            m_isStartReconnect && m_reconnectCompletion ? m_reconnectCompletion : m_singletonCompletion;
        if (slot) slot(code);  // a copy: the callback may replace the slot
    };
    if (plat::isMainThread())
        deliver();
    else
        plat::MainQueue::post(deliver);
}

void QVSingletonData::restoreSingletonData(bool clearTokens) {
    m_currentDeviceInfo.reset();
    m_uploadTargetPath.reset();
    isConnectDevice = false;
    privateUserId = 0;
    publicUserId = 0;
    // Nothing of the old device may survive into the next session: a hidden-space move would otherwise
    // use the old device's bucket.
    currentDevicePublicNetIp.clear();
    qvDeviceOtaInfo.reset();
    searchKey.clear();
    currentPresentCtrlPathInfo.reset();
    qvRecycleInfo.reset();
    isOpenHideSpace = false;
    isLoginHideSpace = false;
    qvHiddenSpaceInfo.reset();
    searchRequestInfo.reset();
    m_selectedType = 0;  // the next main window starts on all files; no notification, no window observes now
    m_getDeviceStatusCommand = 0;
    m_haveBindDeviceInfo.reset();
    if (!userInfo) return;
    userInfo->setAuthorizationCode(QString());
    userInfo->setDevice_p2p_uuid(QString());
    userInfo->setBindDeviceType(QString());
    userInfo->setBindDeviceId(QString());
    userInfo->nickName.clear();
    if (clearTokens) {
        userInfo->accessExprect = 0;
        userInfo->setAccessToken(QString());
        userInfo->setRefreshToken(QString());
        userInfo->refreshExprect = 0;
    }
    QVAccessData::saveServiceUserInfo(userInfo);
    userInfo.reset();
}

void QVSingletonData::resetForTests() {
    m_singletonCompletion = nullptr;
    m_reconnectCompletion = nullptr;
    m_reconnectBoxView = nullptr;
    m_isStartReconnect = false;
    m_bindRecheckDone = false;
    userInfo.reset();
    restoreSingletonData(false);
    isStartSDKService = false;
    isInitQRCodeService = false;
    netWorkStyle = 0;
}
