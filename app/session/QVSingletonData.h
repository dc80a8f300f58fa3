// The application's one holder of the signed-in state: the current device and its address, the account,
// the space ids, the search and hidden-space state the file views share, the selected tab and the upload
// target; and the completion slot through which the sign-in and connect steps report. Main thread only.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>

#include "broker/QVNasRequestInfo.h"
#include "model/QVFileInfo.h"
#include "model/QVNasDeviceInfo.h"
#include "model/QVNasDeviceStatusInfo.h"
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

  private:
    QVSingletonData() = default;
    QVNasDeviceInfoPtr m_currentDeviceInfo;
    QVFileInfoPtr m_uploadTargetPath;
    uint64_t m_selectedType = 0;
    QVModuleCompletionBlock m_singletonCompletion;
    int64_t m_getDeviceStatusCommand = 0;
    QVNasDeviceInfoPtr m_haveBindDeviceInfo;
    bool m_isStartReconnect = false;
};
