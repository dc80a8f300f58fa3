// The client of the cloud account service: OAuth sign-in and tokens, the bound-device list, binding, a
// device's auth code and P2P UID, and the user's profile. Each operation sends one HTTPS request and ends
// with exactly one call of its completion, on the main thread, whatever thread started it.
//
// Reply codes: "error_code" 0 -> 0, n > 0 -> 200000 + n, negative -> as it is. No reply, a time-out, a failed
// TLS check, a body that is not a JSON object, or an object without "error_code" -> 229999.
// TLS is always verified: the system CAs plus whatever the injected configuration adds (tests: their root).
#pragma once

#include <QByteArray>
#include <QSslConfiguration>
#include <QString>
#include <QVariantMap>
#include <functional>
#include <memory>

#include "broker/QVNasResponseInfo.h"
#include "model/QVNasDeviceInfo.h"
#include "model/QVNasDeviceUserInfo.h"

class QObject;
class QNetworkAccessManager;

class QVInterfaceManage {
  public:
    static constexpr int64_t kNoReply = 229999;
    static constexpr int64_t kServiceBase = 200000;

    struct Config {
        QString oauthBase;    // scheme and host (and port), no path
        QString accountBase;  // likewise
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        int timeoutOverrideMs = 0;  // nonzero: every request's time-out (tests)
    };
    using Completion = std::function<void(const QVNasResponseInfoPtr &)>;

    static Config defaultConfig();
    explicit QVInterfaceManage(Config config = defaultConfig());
    ~QVInterfaceManage();
    QVInterfaceManage(const QVInterfaceManage &) = delete;
    QVInterfaceManage &operator=(const QVInterfaceManage &) = delete;

    // The process's instance, made on first use (from any thread) with the compiled-in configuration.
    static QVInterfaceManage &sharedApiManage();
    // The base URLs and TLS settings this client was made with.
    const Config &config() const { return m_config; }

    void qvOAuth2ServiceLogin(const QVNasServiceUserInfoPtr &user, Completion completion);
    void qvOAuth2GetAccessToken(const QString &refreshToken, Completion completion);
    void qvOAuth2GetDeviceInfoByBC(const QString &bindCode, Completion completion);
    void qvOAuth2ServiceGetBindListWithAkToken(const QString &ak, Completion completion);
    void qvOAuth2ServiceBindDevice(const QVNasDeviceInfoPtr &device, const QString &ak,
                                   Completion completion);
    void qvOAuth2ServiceUnbindDevice(const QVNasDeviceInfoPtr &device, const QString &ak,
                                     Completion completion);
    void qvOAuth2ServiceGetDeviceAuthCode(const QVNasDeviceInfoPtr &device, const QString &ak,
                                          Completion completion);
    void qvOAuth2ServiceGetDeviceP2PInfo(const QVNasDeviceInfoPtr &device, const QString &ak,
                                         Completion completion);
    void qvOAuth2ServiceGetUserInfoWithAkToken(const QString &ak, Completion completion);
    void qvOAuth2ServiceUpdateUserNickName(const QString &nickName, const QString &ak, Completion completion);
    void qvOAuth2ServiceUpdateUserHeaderImagePath(const QString &path, const QString &ak,
                                                  Completion completion);
    // `jpeg`: the image already encoded; it goes out as the multipart part "pic".
    void qvOAuth2ServiceUploadUserHeaderImage(const QByteArray &jpeg, const QString &ak,
                                              Completion completion);
    void qvOAuth2GetUserShareInfoByAkToken(const QString &ak, Completion completion);

    // The percent-encoded "ssig" of a request to `urlString` (body not signed).
    QString getRequestHeader(const QString &method, const QString &urlString,
                             const QString &contentType) const;
    // The response for a parsed reply body (null or not an object: 229999).
    static QVNasResponseInfoPtr shareResponseInfo(const QJsonValue &reply);
    // The response for a reply body as it came (empty: 229999); a JSON fragment counts.
    static QVNasResponseInfoPtr replyResponseInfo(const QByteArray &body);
    // The pretty-printed JSON of `dict`.
    static QByteArray jsonDictionaryToData(const QVariantMap &dict);
    // The multipart body of an image upload (boundary "AaB03x").
    static QByteArray multipartBody(const QByteArray &image);

  private:
    enum class Body { None, Json, Multipart };
    struct Request {
        QString url;
        Body kind = Body::None;
        QVariantMap json;
        QByteArray bytes;
    };
    void startRequestService(Request request, Completion completion);
    void sendOnMain(const Request &request, Completion completion);
    void signedPost(const QString &baseUrl, bool oauth, const QVariantMap &body, Completion completion);
    void devicePost(const char *path, const QVNasDeviceInfoPtr &device, const QString &ak, bool withBindCode,
                    Completion completion);
    QString accountUrl(const char *path, const QString &ak) const;

    Config m_config;
    std::unique_ptr<QObject> m_context;  // lives on the main thread; owns the network manager
    QNetworkAccessManager *m_network = nullptr;
};
