// The QR-code login (332-341): the showing side (init, create, start, stop, the two listeners, release) and
// the scanning side (request info, user info, auth code), and the two pushed events. Auth codes, the
// refresh tokens decoded from them, user info and auth URLs (they carry a code) are never logged.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <utility>

#include "bridge/QVNasSDKManagerImplement.h"
#include "cloud/CloudSecrets.h"
#include "model/QVClientSDKTools.h"
#include "platform/Log.h"
#include "platform/Paths.h"

namespace {

constexpr int kDeviceType = 3;  // this client, as scanned auth URLs name it
constexpr int kPlatformType = 0;
constexpr int kOs = 3;
constexpr size_t kAuthCodeMax = 1024;  // the longest pushed auth code

QString text(const char *bytes, size_t width) {
    return QVClientSDKTools::qvFormatCharOrEmpty(bytes, width);
}

QByteArray requestText(const QVNasTaskInfoPtr &task, const char *key) {
    return task->requestDict.value(QLatin1String(key)).toString().toUtf8();
}

// The login connection's trust bundle is written into the folder as "qv_sert.pem": only this user may
// read or replace it. The SDK truncates an existing file and keeps its mode.
void prepareCertificateFile(const QString &folder) {
    QDir().mkpath(folder);
    const QByteArray path = QStringLiteral("%1/qv_sert.pem").arg(folder).toUtf8();
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        QVB_LOG_ERROR(QStringLiteral("certificate file not prepared: errno %1").arg(errno));
        return;
    }
    if (::fchmod(fd, 0600) != 0)
        QVB_LOG_ERROR(QStringLiteral("certificate file mode not set: errno %1").arg(errno));
    ::close(fd);
}

}  // namespace

QString QVNasSDKManagerImplement::qrCertificateFolder() {
    return plat::Paths::cacheLocation();
}

bool QVNasSDKManagerImplement::hasQRCodeContext() const {
    std::lock_guard<std::mutex> lock(m_qrMu);
    return m_qrContext != nullptr;
}

QVSLRA *QVNasSDKManagerImplement::qrAcquire() {
    std::lock_guard<std::mutex> lock(m_qrMu);
    if (m_qrContext != nullptr) ++m_qrUsers;
    return m_qrContext;
}

void QVNasSDKManagerImplement::qrLeave(QVSLRA *context) {
    if (context == nullptr) return;
    std::lock_guard<std::mutex> lock(m_qrMu);
    if (--m_qrUsers == 0) m_qrIdle.notify_all();
}

// Under m_qrLifeMu: takes the handle out, ends a start that waits on it, and frees the context once no
// call uses it any more.
void QVNasSDKManagerImplement::qrReleaseHandle(DeviceSdk &sdk) {
    QVSLRA *context = nullptr;
    {
        std::unique_lock<std::mutex> lock(m_qrMu);
        context = std::exchange(m_qrContext, nullptr);
        if (context == nullptr) return;
        // Setting the flag only: a start that cleared it on its way in is stopped again on the next pass.
        while (m_qrUsers > 0) {
            sdk.ppc_qvsl_request_auth_stop(context);
            m_qrIdle.wait_for(lock, std::chrono::milliseconds(10), [this] { return m_qrUsers == 0; });
        }
    }
    sdk.ppc_qvsl_QVSLRA_release(context);
}

void QVNasSDKManagerImplement::qvDQRCodeServiceInit(const QVNasTaskInfoPtr &task) {
    const QByteArray appId = cloud::appId(), key = cloud::signingKey();
    const int result = deviceSdk()->ppc_qvsl_init(appId.constData(), key.constData(), kDeviceType);
    if (result != 0) QVB_LOG_ERROR(QStringLiteral("qr init failed: %1").arg(result));
    answer(task, result, 332, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDQRCodeServiceCreate(const QVNasTaskInfoPtr &task) {
    const DeviceSdkPtr sdk = deviceSdk();
    int result = -1;
    {
        std::lock_guard<std::mutex> life(m_qrLifeMu);
        // The SDK keeps one context: an earlier one is released first rather than left behind.
        qrReleaseHandle(*sdk);
        const QString folder = qrCertificateFolder();
        prepareCertificateFile(folder);
        const QByteArray dir = folder.toUtf8();
        QVSLRA *context = nullptr;
        result = sdk->ppc_qvsl_QVSLRA_create(&context, kPlatformType, kOs, dir.constData());
        if (result == 0 && context != nullptr) {
            std::lock_guard<std::mutex> lock(m_qrMu);
            m_qrContext = context;
        }
    }
    if (result != 0) QVB_LOG_ERROR(QStringLiteral("qr create failed: %1").arg(result));
    answer(task, result, 333, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDQRCodeServiceStartRequestAuthCode(const QVNasTaskInfoPtr &task) {
    char url[1025] = {};
    char id[65] = {};
    uint32_t expiry = 0;
    int result = -1;
    const DeviceSdkPtr sdk = deviceSdk();
    // Held without the lock for the whole exchange: a stop or release meanwhile ends the wait.
    if (QVSLRA *context = qrAcquire()) {
        result = sdk->ppc_qvsl_request_auth_start(context, url, id, &expiry);
        qrLeave(context);
    }
    if (result != 0)
        QVB_LOG_ERROR(QStringLiteral("qr start failed: %1").arg(result));
    else
        QVB_LOG_DEBUG(QStringLiteral("qr start: auth id of %1 bytes, valid %2 s (url not logged)")
                          .arg(qstrnlen(id, sizeof id))
                          .arg(expiry));
    // The data comes with a failure too: empty texts and 0.
    QVariantMap data;
    data.insert(QStringLiteral("authUrl"), text(url, sizeof url));
    data.insert(QStringLiteral("authId"), text(id, sizeof id));
    data.insert(QStringLiteral("expectTime"), static_cast<int32_t>(expiry));
    answer(task, result, 334, data, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDQRCodeServiceStopRequestAuthCode(const QVNasTaskInfoPtr &task) {
    {
        // Setting the flag does not block: the handle cannot be freed meanwhile.
        std::lock_guard<std::mutex> lock(m_qrMu);
        if (m_qrContext != nullptr) deviceSdk()->ppc_qvsl_request_auth_stop(m_qrContext);
    }
    QVB_LOG_DEBUG(QStringLiteral("qr stop"));
    answer(task, 0, 335, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDQRCodeServiceSetAuthListener(const QVNasTaskInfoPtr &task) {
    const QByteArray authId = requestText(task, "authId");
    const int result = deviceSdk()->ppc_qvsl_set_auth_listener(
        authId.isEmpty() ? nullptr : authId.constData(), &qv_auth_listener_cb);
    if (result != 0)
        QVB_LOG_ERROR(QStringLiteral("qr auth listener failed: %1").arg(result));
    else
        QVB_LOG_DEBUG(QStringLiteral("qr auth listener set for %1").arg(QString::fromUtf8(authId)));
    answer(task, result, 336, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDQRCodeServiceSetUserListener(const QVNasTaskInfoPtr &task) {
    const QByteArray authId = requestText(task, "authId");
    const int result = deviceSdk()->ppc_qvsl_set_user_info_listener(
        authId.isEmpty() ? nullptr : authId.constData(), &qv_user_info_listener_cb);
    if (result != 0) QVB_LOG_ERROR(QStringLiteral("qr user listener failed: %1").arg(result));
    answer(task, result, 337, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDQRCodeServiceRelease(const QVNasTaskInfoPtr &task) {
    {
        std::lock_guard<std::mutex> life(m_qrLifeMu);
        qrReleaseHandle(*deviceSdk());
    }
    QVB_LOG_DEBUG(QStringLiteral("qr release"));
    answer(task, 0, 338, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDQRCodeServiceGetRequestInfo(const QVNasTaskInfoPtr &task) {
    const QByteArray url = requestText(task, "authUrl");
    int32_t pair[2] = {0, 0};
    const int result = deviceSdk()->ppc_qvsl_get_request_info(url.constData(), pair);
    if (result != 0) {
        QVB_LOG_ERROR(QStringLiteral("qr request info failed: %1").arg(result));
        pair[0] = pair[1] = 0;  // written only on success
    }
    QVariantMap data;
    data.insert(QStringLiteral("platform"), pair[0]);
    data.insert(QStringLiteral("os"), pair[1]);
    answer(task, result, 339, data, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDQRCodeServiceSendUserInfo(const QVNasTaskInfoPtr &task) {
    const QByteArray url = requestText(task, "authUrl");
    qvsl_user_info info{};
    // Each cut to its field at a character boundary, always terminated.
    QVClientSDKTools::copyToField(info.nick_name, sizeof info.nick_name, requestText(task, "nickName"));
    QVClientSDKTools::copyToField(info.user_image, sizeof info.user_image, requestText(task, "imageUrl"));
    const int result = deviceSdk()->ppc_qvsl_send_user_info(url.constData(), &info);
    if (result != 0) QVB_LOG_ERROR(QStringLiteral("qr send user info failed: %1").arg(result));
    answer(task, result, 340, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDQRCodeServiceSendAuthCode(const QVNasTaskInfoPtr &task) {
    const QByteArray url = requestText(task, "authUrl");
    // Every UTF-8 byte of the code, standard alphabet with padding.
    const QByteArray encoded = requestText(task, "authCode").toBase64();
    const int result = deviceSdk()->ppc_qvsl_send_auth_code(url.constData(), encoded.constData());
    if (result != 0) QVB_LOG_ERROR(QStringLiteral("qr send auth code failed: %1").arg(result));
    answer(task, result, 341, std::nullopt, Hop::MainAndWait);
}

// ---- pushed events, on the messaging library's thread ----

void QVNasSDKManagerImplement::qv_auth_listener_cb(const char *authCode) noexcept {
    try {
        QVB_LOG_DEBUG(QStringLiteral("qr auth code received (%1 bytes, not logged)")
                          .arg(authCode != nullptr ? qstrnlen(authCode, kAuthCodeMax + 1) : 0));
        const auto d = delegate();
        if (!d) return;
        // Strict Base64; what is not Base64 becomes the empty token. The bytes count as far as they are
        // UTF-8.
        size_t length = 0;
        std::unique_ptr<unsigned char, decltype(&std::free)> bytes(
            DeviceSdk::base64_decode(&length, kAuthCodeMax, authCode), &std::free);
        QString token = QStringLiteral("");
        if (bytes) {
            const auto *raw = reinterpret_cast<const char *>(bytes.get());
            const size_t valid = QVClientSDKTools::validUtf8PrefixLength(raw, length);
            if (valid > 0) token = QString::fromUtf8(raw, static_cast<qsizetype>(valid));
        }
        QVB_LOG_DEBUG(QStringLiteral("qr refresh token decoded: %1")
                          .arg(bytes ? QLatin1String("yes") : QLatin1String("no (not Base64)")));
        QVariantMap dict;
        dict.insert(QStringLiteral("refreshToken"), token);
        dict.insert(QStringLiteral("exprect"), 0);
        d->qvAPPScanQCCodeSendRefreshTokenListener(dict);
    } catch (...) {
        QVB_LOG_ERROR(QStringLiteral("qr auth callback failed"));
    }
}

void QVNasSDKManagerImplement::qv_user_info_listener_cb(const char *nickName, const char *imageUrl) noexcept {
    try {
        if (const auto d = delegate()) {
            auto user = std::make_shared<QVNasServiceUserInfo>();
            // Missing: the empty text; no valid prefix at all: left unset.
            if (nickName == nullptr)
                user->nickname = QStringLiteral("");
            else if (const auto t = QVClientSDKTools::qvFormatChar(nickName, 64))
                user->nickname = t->isEmpty() ? QStringLiteral("") : *t;
            if (imageUrl == nullptr)
                user->uesrImage = QStringLiteral("");
            else if (const auto t = QVClientSDKTools::qvFormatChar(imageUrl, 1024))
                user->uesrImage = t->isEmpty() ? QStringLiteral("") : *t;
            d->qvAPPScanQCCodeSendUserListener(user);
        }
        QVB_LOG_DEBUG(QStringLiteral("qr user info received (not logged)"));
    } catch (...) {
        QVB_LOG_ERROR(QStringLiteral("qr user info callback failed"));
    }
}
