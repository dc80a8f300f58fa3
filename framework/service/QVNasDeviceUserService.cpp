#include "service/QVNasDeviceUserService.h"

#include <utility>

#include "broker/QVNasPrivateInterfaceProtocol.h"
#include "platform/Log.h"

namespace {

QVNasPrivateInterfaceProtocol &broker() {
    return QVNasPrivateInterfaceProtocol::defaultProtocolManager();
}

}  // namespace

void QVNasDeviceUserService::qvNasSetLoginDeviceListener(QVNasLoginDeviceListenerBlock listener,
                                                         QVNasLoginDeviceErrorBlock onError) {
    std::lock_guard lock(m_mu);
    m_loginListener = std::move(listener);
    m_loginError = std::move(onError);
}

bool QVNasDeviceUserService::isLoginDevice() const {
    std::lock_guard lock(m_mu);
    return m_loginState == LoginState::LoggedIn;
}

int64_t QVNasDeviceUserService::deviceToken() const {
    std::lock_guard lock(m_mu);
    return m_deviceToken;
}

void QVNasDeviceUserService::fail(int64_t type) {
    QVNasLoginDeviceErrorBlock onError;
    {
        std::lock_guard lock(m_mu);
        onError = m_loginError;
    }
    if (onError) onError(type);
}

// ---- login ----

void QVNasDeviceUserService::qvNasLoginDeviceWithIp(const QString &ip, const QString &authCode) {
    uint64_t attempt = 0;
    bool deferred = false;
    std::weak_ptr<QVNasDeviceUserService> weak = weak_from_this();
    auto send = [weak, ip, authCode](uint64_t attempt) {
        broker().qvNasLoginDeviceWithAuthCode(authCode, ip, [weak, attempt](const QVNasResponseInfoPtr &r) {
            if (auto self = weak.lock()) self->qvLoginDeviceFinish(attempt, r);
        });
    };
    {
        std::lock_guard lock(m_mu);
        // A second login while one is under way would open a second session beside the first.
        if (m_loginState == LoginState::LoggedOut) {
            m_loginState = LoginState::LoggingIn;
            attempt = ++m_attempt;
            // The session token is the bridge's one: a login racing an unanswered logout could have its
            // new session ended by it, so it waits for that answer.
            if (m_quietLogouts > 0) {
                deferred = true;
                m_deferredLogin = [this, send, attempt] {
                    {
                        std::lock_guard again(m_mu);
                        if (attempt != m_attempt || m_loginState != LoginState::LoggingIn) return;
                    }
                    send(attempt);
                };
            }
        }
    }
    if (attempt == 0) {
        fail(QVNasLoginDeviceErrorTypeAlreadyIn);
        return;
    }
    if (!deferred) send(attempt);
}

void QVNasDeviceUserService::logoutQuietly() {
    {
        std::lock_guard lock(m_mu);
        ++m_quietLogouts;
    }
    std::weak_ptr<QVNasDeviceUserService> weak = weak_from_this();
    broker().qvNasLogoutDeviceWithCompletion([weak](const QVNasResponseInfoPtr &r) {
        if (r && r->responseCode != 0)
            QVF_LOG_ERROR(QStringLiteral("logout of an abandoned login: %1").arg(r->responseCode));
        auto self = weak.lock();
        if (!self) return;
        std::function<void()> next;
        {
            std::lock_guard lock(self->m_mu);
            if (--self->m_quietLogouts == 0) next = std::exchange(self->m_deferredLogin, {});
        }
        if (next) next();
    });
}

void QVNasDeviceUserService::qvLoginDeviceFinish(uint64_t attempt, const QVNasResponseInfoPtr &response) {
    const int64_t code = response ? response->responseCode : -1;
    bool abandoned = false;
    bool current = false;
    {
        std::lock_guard lock(m_mu);
        abandoned = attempt != m_attempt || m_loginState != LoginState::LoggingIn;
        // Nothing newer under way: a session this login opened can be ended without touching another.
        current = m_loginState == LoginState::LoggedOut && attempt + 1 == m_attempt;
        if (!abandoned) {
            if (code == 0) {
                m_deviceToken = response->responseData.toLongLong();
                m_loginState = LoginState::Registering;
            } else {
                m_loginState = LoginState::LoggedOut;
            }
        }
    }
    if (abandoned) {
        if (code == 0 && current) logoutQuietly();
        return;
    }
    if (code != 0) {
        QVF_LOG_ERROR(QString::asprintf("login device error : %lld", static_cast<long long>(code)));
        fail(code == 1        ? QVNasLoginDeviceErrorTypeRefused
             : code == 113002 ? QVNasLoginDeviceErrorTypeNoUser
                              : QVNasLoginDeviceErrorTypeFailed);
        return;
    }
    qvRegisterDevice(attempt);
}

void QVNasDeviceUserService::qvRegisterDevice(uint64_t attempt) {
    std::weak_ptr<QVNasDeviceUserService> weak = weak_from_this();
    broker().qvNasRegisterDeviceWithCompletion([weak, attempt](const QVNasResponseInfoPtr &r) {
        if (auto self = weak.lock()) self->qvRegisterDeviceFinish(attempt, r);
    });
}

void QVNasDeviceUserService::qvRegisterDeviceFinish(uint64_t attempt, const QVNasResponseInfoPtr &response) {
    const int64_t code = response ? response->responseCode : -1;
    QVNasLoginDeviceListenerBlock listener;
    int64_t token = 0;
    {
        std::lock_guard lock(m_mu);
        // A logout while registering has already ended the session.
        if (attempt != m_attempt || m_loginState != LoginState::Registering) return;
        if (code == 0) {
            m_loginState = LoginState::LoggedIn;
            listener = m_loginListener;
            token = m_deviceToken;
        } else {
            m_loginState = LoginState::LoggedOut;
            m_deviceToken = 0;
        }
    }
    if (code != 0) {
        // The device does not know this client: the session is of no use, so it is not kept open.
        QVF_LOG_ERROR(QString::asprintf("register device error : %lld", static_cast<long long>(code)));
        logoutQuietly();
        fail(QVNasLoginDeviceErrorTypeFailed);
        return;
    }
    if (listener) listener(token);
}

void QVNasDeviceUserService::qvNasLogoutDevice(QVNasCompletionBlock completion) {
    bool send = false;
    {
        std::lock_guard lock(m_mu);
        send = m_loginState == LoginState::LoggedIn || m_loginState == LoginState::Registering;
        if (m_loginState != LoginState::LoggedOut) ++m_attempt;  // an answer still on its way is dropped
        m_loginState = LoginState::LoggedOut;
        m_deviceToken = 0;
    }
    if (send) {
        broker().qvNasLogoutDeviceWithCompletion(std::move(completion));
        return;
    }
    if (completion) {
        auto r = std::make_shared<QVNasResponseInfo>();
        r->clientCommand = 14;
        r->responseCode = 0;
        completion(r);
    }
}

// ---- forwarders ----

void QVNasDeviceUserService::qvNasGetDeviceUserInfoList(QVNasCompletionBlock completion) {
    broker().qvNasGetDeviceUserInfoListWithCompletion(std::move(completion));
}
QVNasRequestInfoPtr QVNasDeviceUserService::qvNasGetDeviceVersion(QVNasCompletionBlock completion) {
    return broker().qvNasGetDeviceVersionWithCompletion(std::move(completion));
}
QVNasRequestInfoPtr QVNasDeviceUserService::qvNasGetDeviceInfo(QVNasCompletionBlock completion) {
    return broker().qvNasGetDeviceInfoWithCompletion(std::move(completion));
}
QVNasRequestInfoPtr QVNasDeviceUserService::qvNasGetUserSpaceInfo(QVNasCompletionBlock completion) {
    return broker().qvNasGetUserSpaceWithCompletion(std::move(completion));
}
QVNasRequestInfoPtr QVNasDeviceUserService::qvNasGetDeviceNickName(QVNasCompletionBlock completion) {
    return broker().qvNasGetDeviceNickNameWithCompletion(std::move(completion));
}
QVNasRequestInfoPtr QVNasDeviceUserService::qvNasSetDeviceNickName(const QString &nickName,
                                                                   QVNasCompletionBlock completion) {
    return broker().qvNasSetDeviceNickNameWithName(nickName, std::move(completion));
}
QVNasRequestInfoPtr QVNasDeviceUserService::qvNasDownloadDeviceLogWithLogType(
    int32_t logType, const QString &deviceName, QVNasTransportProgressBlock progressHandel,
    QVNasCompletionBlock completion) {
    return broker().qvNasDeviceDownloadLogWithLogType(logType, deviceName, std::move(progressHandel),
                                                      std::move(completion));
}
QVNasRequestInfoPtr QVNasDeviceUserService::qvNasGetP2PInfoWithCompletion(QVNasCompletionBlock completion) {
    return broker().qvNasGetP2PClientInfoWithCompletion(std::move(completion));
}
bool QVNasDeviceUserService::qvNasGetModuleSupportFlag(int64_t moduleType) {
    return broker().qvNasGetModuleSupportFlag(moduleType);
}

// ---- file-level services ----

QVNasUSBBackupServicePtr QVNasDeviceUserService::qVNasUSBBackupService() {
    std::lock_guard lock(m_mu);
    if (!m_usbBackupService) m_usbBackupService = std::make_shared<QVNasUSBBackupService>();
    return m_usbBackupService;
}
QVNasBackupServicePtr QVNasDeviceUserService::qVNasBackupService() {
    std::lock_guard lock(m_mu);
    if (!m_backupService) m_backupService = std::make_shared<QVNasBackupService>();
    return m_backupService;
}
QVNasRecentServicePtr QVNasDeviceUserService::qVNasRecentService() {
    std::lock_guard lock(m_mu);
    if (!m_recentService) m_recentService = std::make_shared<QVNasRecentService>();
    return m_recentService;
}
QVNasStorageServicePtr QVNasDeviceUserService::qVNasStorageService() {
    std::lock_guard lock(m_mu);
    if (!m_storageService) m_storageService = std::make_shared<QVNasStorageService>();
    return m_storageService;
}
