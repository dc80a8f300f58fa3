// The logged-in device user: device login (13, then the client's registration 11) and logout (14), the
// device's users, version, information, space, nick name, log and P2P session, module support, and the
// file-level services (each made on first access and kept).
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

// Error types of a device login.
enum QVNasLoginDeviceErrorType : int64_t {
    QVNasLoginDeviceErrorTypeFailed = 1,     // any other failure (a failed registration included)
    QVNasLoginDeviceErrorTypeNoUser = 2,     // the login answered 113002
    QVNasLoginDeviceErrorTypeRefused = 3,    // the login answered 1
    QVNasLoginDeviceErrorTypeAlreadyIn = 4,  // logged in or logging in: nothing was sent
};

class QVNasDeviceUserService : public std::enable_shared_from_this<QVNasDeviceUserService> {
  public:
    virtual ~QVNasDeviceUserService() = default;

    // Stores both callbacks, replacing earlier ones.
    virtual void qvNasSetLoginDeviceListener(QVNasLoginDeviceListenerBlock listener,
                                             QVNasLoginDeviceErrorBlock onError);
    // 13 then 11, answered through the stored callbacks on the main thread: the listener with the session
    // token once both succeeded, else the error callback with a QVNasLoginDeviceErrorType. A call while
    // logged in or logging in answers type 4 at once, on the caller's thread, and sends nothing. A failed
    // registration logs the fresh session out again (14) and answers type 1.
    virtual void qvNasLoginDeviceWithIp(const QString &ip, const QString &authCode);
    // Logged in (or registering): the state ends first, then 14 goes out with `completion`. Otherwise
    // `completion` runs at once on the caller's thread with {14, 0}; a login still waiting for its answer
    // is abandoned (a session it opens is logged out, and neither callback runs).
    virtual void qvNasLogoutDevice(QVNasCompletionBlock completion);
    bool isLoginDevice() const;
    // The session token of the login (0 when logged out).
    int64_t deviceToken() const;

    // 50: responseData a QList<QVNasDeviceUserInfoPtr>.
    virtual void qvNasGetDeviceUserInfoList(QVNasCompletionBlock completion);
    // 18: responseData the firmware version text.
    virtual QVNasRequestInfoPtr qvNasGetDeviceVersion(QVNasCompletionBlock completion);
    // 118: responseData a QVNasDeviceAdvancedInfoPtr.
    virtual QVNasRequestInfoPtr qvNasGetDeviceInfo(QVNasCompletionBlock completion);
    // 117: responseData a QVNasDeviceUserSpaceInfoPtr.
    virtual QVNasRequestInfoPtr qvNasGetUserSpaceInfo(QVNasCompletionBlock completion);
    // 151: responseData the nick name text; 152 sets it.
    virtual QVNasRequestInfoPtr qvNasGetDeviceNickName(QVNasCompletionBlock completion);
    virtual QVNasRequestInfoPtr qvNasSetDeviceNickName(const QString &nickName,
                                                       QVNasCompletionBlock completion);
    // 320: the device's log of `logType` into "<caches>/<deviceName>_iOS_<version>.zip", with throttled byte
    // progress on the worker that downloads it; the answer's code is the download's.
    virtual QVNasRequestInfoPtr qvNasDownloadDeviceLogWithLogType(int32_t logType, const QString &deviceName,
                                                                  QVNasTransportProgressBlock progressHandel,
                                                                  QVNasCompletionBlock completion);
    // 150: responseData a QVNasPeerTunnelSessionInfoPtr.
    virtual QVNasRequestInfoPtr qvNasGetP2PInfoWithCompletion(QVNasCompletionBlock completion);
    // Synchronous: the login's module list holds the type with support flag 1.
    virtual bool qvNasGetModuleSupportFlag(int64_t moduleType);

    virtual QVNasUSBBackupServicePtr qVNasUSBBackupService();
    virtual QVNasBackupServicePtr qVNasBackupService();
    virtual QVNasRecentServicePtr qVNasRecentService();
    virtual QVNasStorageServicePtr qVNasStorageService();

  protected:
    // The answers of the login's two requests; `attempt` tells an abandoned login from the current one.
    void qvLoginDeviceFinish(uint64_t attempt, const QVNasResponseInfoPtr &response);
    void qvRegisterDevice(uint64_t attempt);
    void qvRegisterDeviceFinish(uint64_t attempt, const QVNasResponseInfoPtr &response);

    enum class LoginState { LoggedOut, LoggingIn, Registering, LoggedIn };

    mutable std::mutex m_mu;  // the login state, the two callbacks and the four sub-services
    LoginState m_loginState = LoginState::LoggedOut;
    uint64_t m_attempt = 0;  // moves on with every login and logout
    int64_t m_deviceToken = 0;
    QVNasLoginDeviceListenerBlock m_loginListener;
    QVNasLoginDeviceErrorBlock m_loginError;
    QVNasUSBBackupServicePtr m_usbBackupService;
    QVNasBackupServicePtr m_backupService;
    QVNasRecentServicePtr m_recentService;
    QVNasStorageServicePtr m_storageService;

  private:
    void fail(int64_t type);
    // Ends the session of a login nobody wants any more, with no caller to answer; a login asked for
    // meanwhile goes out after its answer.
    void logoutQuietly();

    int m_quietLogouts = 0;
    std::function<void()> m_deferredLogin;
};
using QVNasDeviceUserServicePtr = std::shared_ptr<QVNasDeviceUserService>;
