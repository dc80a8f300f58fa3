// The application's one holder of the signed-in state: the current device and its address, the account,
// the space ids, the search and hidden-space state the file views share, the selected tab and the upload
// target; and the completion slot through which the sign-in and connect steps report. Main thread only.
#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>
#include <cstdint>
#include <functional>

#include "broker/QVNasRequestInfo.h"
#include "broker/QVNasResponseInfo.h"
#include "model/QVFileInfo.h"
#include "model/QVNasDeviceInfo.h"
#include "model/QVNasDeviceStatusInfo.h"
#include "model/QVNasDeviceUserInfo.h"
#include "model/QVNasPathInfo.h"
#include "model/QVNasShareFileInfo.h"
#include "model/QVUserInfo.h"

using QVModuleCompletionCode = uint64_t;
using QVModuleCompletionBlock = std::function<void(QVModuleCompletionCode)>;

enum QVSelectedType : uint64_t {
    QVSelectedTypeAllFiles = 0,
    QVSelectedTypeUploading = 1,
    QVSelectedTypeDownloading = 2,
    QVSelectedTypeFinished = 3,
    QVSelectedTypeRecycleBin = 4,
    QVSelectedTypeHiddenSpace = 5,
    QVSelectedTypeShareList = 6,
};

class QVSingletonData final {
  public:
    static QVSingletonData &sharedManager() {
        static auto *const s = new QVSingletonData;  // never destroyed
        return *s;
    }
    QVSingletonData(const QVSingletonData &) = delete;
    QVSingletonData &operator=(const QVSingletonData &) = delete;

    // Plain fields.
    QString currentDevicePublicNetIp;
    bool isStartSDKService = false;
    bool isInitQRCodeService = false;
    bool isConnectDevice = false;
    int64_t netWorkStyle = 0;
    int64_t privateUserId = 0;
    int64_t publicUserId = 0;
    QVUserInfoPtr userInfo;
    QVNasDeviceOtaInfoPtr qvDeviceOtaInfo;
    QString searchKey;
    QVNasPathInfoPtr currentPresentCtrlPathInfo;
    QVNasRecycleInfoPtr qvRecycleInfo;
    bool isOpenHideSpace = false;
    bool isLoginHideSpace = false;
    QVFileInfoPtr qvHiddenSpaceInfo;
    QVNasRequestInfoPtr searchRequestInfo;

    QVNasDeviceInfoPtr currentDeviceInfo() const { return m_currentDeviceInfo; }
    void setCurrentDeviceInfo(const QVNasDeviceInfoPtr &d) { m_currentDeviceInfo = d; }
    // Keeps the record, takes its address unless it is the tunnel's, and gives it the account's code.
    void setCurrentConnectDeviceInfo(const QVNasDeviceInfoPtr &device);
    QVFileInfoPtr uploadTargetPath();  // the private space's root when none is held
    void setUploadTargetPath(const QVFileInfoPtr &p) { m_uploadTargetPath = p; }
    uint64_t selectedType() const { return m_selectedType; }
    // Stores a new value and posts "com.qvNas.TabChanged"; the same value posts nothing.
    void setSelectedType(uint64_t type);

    // The completion slot: one callback, replaced by each setter; a delivery calls it on the main
    // thread and keeps it; an empty slot delivers nothing.
    void setModuleCompletionHandler(QVModuleCompletionBlock handler) {
        m_singletonCompletion = std::move(handler);
    }
    void deliverModuleCompletionCode(QVModuleCompletionCode code);

    // Log-out clean-up: every session field goes back to its start value (the device, its address, the
    // ids, the tab, the search, the hidden space, the firmware information, the upload target); the
    // account loses its device fields (and, with clearTokens, its tokens), is stored, then dropped.
    void restoreSingletonData(bool clearTokens);
    void restoreFileBrowser() {}
    void restoreUploadPathInfoToRoot();

    // ---- progress and timing lines of the sequences ----
    void setAutoLoginModuleProgress(double percent);
    static double processCodeTimeConsuming(const QDateTime &start);

    // ---- cloud sign-in (QVSingletonData_Login.cpp) ----
    void serviceLogin(const QString &areaCode, const QString &userName, const QString &password);
    void qvNasStartClientSDKService(const QVNasServiceUserInfoPtr &loginInfo);
    void qvNasStartClientSDKServiceFinish(bool success, const QVNasServiceUserInfoPtr &loginInfo);
    void processSaveUserInfo(const QVNasServiceUserInfoPtr &info, const QVariant &responseDict,
                             int64_t responseCode);
    void qvNasLoginServiceByRefreshToken(const QString &refreshToken);
    void processAccessToken(const QVariant &responseDict, int64_t responseCode);
    void qvNasLoginServiceByAccessToken(const QString &accessToken);
    void qvGetServiceUser();
    void qvGetServiceUserFinish(const QVariant &data);
    // Fetches the picture off the main thread (http and https only, at most 2 MiB, 5 s) and writes it
    // atomically once it decodes as an image.
    void processUserImage(const QString &url);
    void serviceGetBindDevices();
    void processBindDevices(const QVNasResponseInfoPtr &response);

    // ---- device connect and login (QVSingletonData_Connect.cpp) ----
    void qvStartConnectDevice(const QVNasDeviceInfoPtr &device, bool isAutoLogin);
    void qvConnectDeviceFinishIsAutoLogin(bool isAutoLogin);
    void qvConnectDeviceFail(int64_t failType, const QString &failMessage);
    void qvNasReconnectDevice();
    void reconnectFinish(QVModuleCompletionCode code);
    void qvNasGetDeviceNowStatus();
    void processNowDeviceStatus(const QVNasDeviceStatusInfoPtr &status);
    void invalidModuleFinish(bool ok);
    void serviceBindFirstGetDeviceStatus(const QVNasDeviceInfoPtr &device);
    void serviceBindDevice(const QVNasDeviceInfoPtr &device);
    void serviceBindDeviceFinish(int64_t code);
    void qvNasStartLoginDevice();
    void qvNasGetDeviceAuthCode();
    void qvNasGetDeviceAuthCodeFinish(int64_t responseCode, const QVariant &data);
    void qvStartLoginDeviceByAuthCode();
    void qvNasLoginDeviceFinish(int64_t deviceToken);
    void qvNasLoginDeviceFail(int64_t failType);
    void qvGetDeviceUserInfoList();
    void qvGetDeviceUserInfoListFinish(int64_t responseCode, const QVariant &list);
    void singletonProcessFinish();
    void singletonGetDeviceInfoList(std::function<void(const QList<QVNasDeviceInfoPtr> &)> completion);
    void singletonLogoutDevice(std::function<void(bool)> completion);
    void singletonDisconnectDevice(std::function<void(bool)> completion);
    void singletonStopService(std::function<void(bool)> completion);

    // Where the reconnect shows its box: the main window's content (set by the shell), or none.
    void setReconnectBoxView(std::function<QObject *()> view) { m_reconnectBoxView = std::move(view); }
    bool isStartReconnect() const { return m_isStartReconnect; }
    int64_t getDeviceStatusCommand() const { return m_getDeviceStatusCommand; }
    QVNasDeviceInfoPtr haveBindDeviceInfo() const { return m_haveBindDeviceInfo; }
    // The held device as a field (the getter above never fills it in from the connect service).
    QVNasDeviceInfoPtr heldCurrentDeviceInfo() const { return m_currentDeviceInfo; }
    // Tests: back to the start state (the slot emptied, every field cleared).
    void resetForTests();

  private:
    QVSingletonData() = default;
    QVNasDeviceInfoPtr m_currentDeviceInfo;
    QVFileInfoPtr m_uploadTargetPath;
    uint64_t m_selectedType = 0;
    QVModuleCompletionBlock m_singletonCompletion;
    int64_t m_getDeviceStatusCommand = 0;
    QVNasDeviceInfoPtr m_haveBindDeviceInfo;
    bool m_isStartReconnect = false;
    // The reconnect's own callback: while a reconnect runs, codes go here and the window's slot is kept.
    QVModuleCompletionBlock m_reconnectCompletion;
    std::function<QObject *()> m_reconnectBoxView;
    // A bind answered 120002 re-checks the status once; a second 120002 ends in 4.
    bool m_bindRecheckDone = false;
    // Each sign-in or connect attempt; a late answer of an older one is dropped.
    uint64_t m_userImageRequest = 0;
};
