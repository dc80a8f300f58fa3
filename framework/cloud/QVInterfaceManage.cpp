#include "cloud/QVInterfaceManage.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QUrl>
#include <cmath>

#include "cloud/CloudSecrets.h"
#include "cloud/CloudSignature.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "qv_config.h"

namespace {

constexpr int kJsonTimeoutMs = 8000;
constexpr int kUploadTimeoutMs = 5000;
constexpr int kDefaultTimeoutMs = 60000;  // the platform's default for a plain GET
constexpr const char *kContentJson = "application/json";
constexpr const char *kDefaultDeviceType = "tessera";

// Query values go out percent-encoded (a token or bind code holding "&", "#" or "+" must arrive intact);
// the signature covers the encoded text, as sent.
QString q(const QString &value) {
    return QString::fromLatin1(QUrl::toPercentEncoding(value));
}

QString appIdText() {
    return QString::fromLatin1(cloud::appId());
}

// The path of a URL without its query (which carries tokens and signatures): safe for the log.
QString loggable(const QString &url) {
    const QUrl u(url);
    return u.scheme() + QStringLiteral("://") + u.authority() + u.path();
}

QVNasResponseInfoPtr noReply() {
    auto info = std::make_shared<QVNasResponseInfo>();
    info->responseCode = QVInterfaceManage::kNoReply;
    return info;
}

void fillDeviceType(const QVNasDeviceInfoPtr &device) {
    if (device->device_type.isEmpty()) device->device_type = QString::fromLatin1(kDefaultDeviceType);
}

}  // namespace

QVInterfaceManage::Config QVInterfaceManage::defaultConfig() {
    Config c;
    c.oauthBase = QStringLiteral(QV_CLOUD_OAUTH_BASE);
    c.accountBase = QStringLiteral(QV_CLOUD_ACCOUNT_BASE);
    return c;
}

QVInterfaceManage::QVInterfaceManage(Config config) : m_config(std::move(config)), m_context(new QObject) {
    if (auto *app = QCoreApplication::instance()) m_context->moveToThread(app->thread());
}

QVInterfaceManage::~QVInterfaceManage() = default;

QVInterfaceManage &QVInterfaceManage::sharedApiManage() {
    // Never destroyed: requests may still be answered while static objects are torn down.
    static QVInterfaceManage *instance = new QVInterfaceManage();
    return *instance;
}

// ---- operations ----

void QVInterfaceManage::qvOAuth2ServiceLogin(const QVNasServiceUserInfoPtr &user, Completion completion) {
    QString area = user ? user->areaCode : QString();
    area.remove(QLatin1Char('+'));
    QVariantMap body{{QStringLiteral("type"), 1},
                     {QStringLiteral("area"), area},
                     {QStringLiteral("phone"), user ? user->userName : QString()},
                     {QStringLiteral("password"), user ? user->password : QString()}};
    signedPost(m_config.oauthBase + QStringLiteral("/OAuth/authorize"), true, body, std::move(completion));
}

void QVInterfaceManage::qvOAuth2GetAccessToken(const QString &refreshToken, Completion completion) {
    signedPost(m_config.oauthBase + QStringLiteral("/OAuth/getAccessToken"), true,
               {{QStringLiteral("refreshToken"), refreshToken}}, std::move(completion));
}

void QVInterfaceManage::qvOAuth2GetDeviceInfoByBC(const QString &bindCode, Completion completion) {
    const QString url =
        m_config.accountBase +
        QStringLiteral("/api/app/getDeviceInfoByBC?AppId=%1&BC=%2").arg(q(appIdText()), q(bindCode));
    signedPost(url, false, QVariantMap{}, std::move(completion));
}

void QVInterfaceManage::qvOAuth2ServiceGetBindListWithAkToken(const QString &ak, Completion completion) {
    startRequestService({accountUrl("/api/v1/getBindList", ak), Body::None, {}, {}}, std::move(completion));
}

void QVInterfaceManage::qvOAuth2ServiceBindDevice(const QVNasDeviceInfoPtr &device, const QString &ak,
                                                  Completion completion) {
    devicePost("/api/v1/bind", device, ak, true, std::move(completion));
}

void QVInterfaceManage::qvOAuth2ServiceUnbindDevice(const QVNasDeviceInfoPtr &device, const QString &ak,
                                                    Completion completion) {
    devicePost("/api/v1/unbind", device, ak, false, std::move(completion));
}

void QVInterfaceManage::qvOAuth2ServiceGetDeviceAuthCode(const QVNasDeviceInfoPtr &device, const QString &ak,
                                                         Completion completion) {
    devicePost("/api/v1/getDeviceAuthCode", device, ak, false, std::move(completion));
}

void QVInterfaceManage::qvOAuth2ServiceGetDeviceP2PInfo(const QVNasDeviceInfoPtr &device, const QString &ak,
                                                        Completion completion) {
    devicePost("/api/v1/getDeviceP2PInfo", device, ak, false, std::move(completion));
}

void QVInterfaceManage::qvOAuth2ServiceGetUserInfoWithAkToken(const QString &ak, Completion completion) {
    startRequestService({accountUrl("/api/v1/getUserInfo", ak), Body::None, {}, {}}, std::move(completion));
}

void QVInterfaceManage::qvOAuth2ServiceUpdateUserNickName(const QString &nickName, const QString &ak,
                                                          Completion completion) {
    startRequestService(
        {accountUrl("/api/v1/updateUserInfo", ak), Body::Json, {{QStringLiteral("nickname"), nickName}}, {}},
        std::move(completion));
}

void QVInterfaceManage::qvOAuth2ServiceUpdateUserHeaderImagePath(const QString &path, const QString &ak,
                                                                 Completion completion) {
    startRequestService(
        {accountUrl("/api/v1/updateUserInfo", ak), Body::Json, {{QStringLiteral("uesrImage"), path}}, {}},
        std::move(completion));
}

void QVInterfaceManage::qvOAuth2ServiceUploadUserHeaderImage(const QByteArray &jpeg, const QString &ak,
                                                             Completion completion) {
    startRequestService({accountUrl("/api/v1/uploadImage", ak), Body::Multipart, {}, jpeg},
                        std::move(completion));
}

void QVInterfaceManage::qvOAuth2GetUserShareInfoByAkToken(const QString &ak, Completion completion) {
    startRequestService({accountUrl("/api/v1/s/getUserShareInfo", ak), Body::None, {}, {}},
                        std::move(completion));
}

// ---- shared parts ----

QString QVInterfaceManage::accountUrl(const char *path, const QString &ak) const {
    return m_config.accountBase + QString::fromLatin1(path) + QStringLiteral("?ak=") + q(ak);
}

void QVInterfaceManage::devicePost(const char *path, const QVNasDeviceInfoPtr &device, const QString &ak,
                                   bool withBindCode, Completion completion) {
    QVariantMap body;
    if (device) {
        fillDeviceType(device);
        body.insert(QStringLiteral("deviceId"), device->device_id);
        body.insert(QStringLiteral("deviceType"), device->device_type);
        if (withBindCode) body.insert(QStringLiteral("bindCode"), device->device_bindCode);
    }
    startRequestService({accountUrl(path, ak), Body::Json, body, {}}, std::move(completion));
}

void QVInterfaceManage::signedPost(const QString &baseUrl, bool oauth, const QVariantMap &body,
                                   Completion completion) {
    const QString ssig = getRequestHeader(QStringLiteral("POST"), baseUrl, QString::fromLatin1(kContentJson));
    const QString url = oauth ? QStringLiteral("%1?AppId=%2&ssig=%3").arg(baseUrl, q(appIdText()), ssig)
                              : QStringLiteral("%1&ssig=%2").arg(baseUrl, ssig);
    startRequestService({url, Body::Json, body, {}}, std::move(completion));
}

QString QVInterfaceManage::getRequestHeader(const QString &method, const QString &urlString,
                                            const QString &contentType) const {
    return cloud::requestSsig(method, urlString, contentType, m_config.oauthBase, m_config.accountBase);
}

QByteArray QVInterfaceManage::jsonDictionaryToData(const QVariantMap &dict) {
    return QJsonDocument(QJsonObject::fromVariantMap(dict)).toJson(QJsonDocument::Indented);
}

QByteArray QVInterfaceManage::multipartBody(const QByteArray &image) {
    QByteArray body;
    body += "--AaB03x\r\n";
    body += "Content-Disposition: form-data; name=\"pic\"; filename=\"quiln.png\"\r\n";
    body += "Content-Type: image/png\r\n\r\n";
    body += image;
    body += "\r\n--AaB03x--";
    return body;
}

QVNasResponseInfoPtr QVInterfaceManage::shareResponseInfo(const QJsonValue &reply) {
    if (!reply.isObject()) return noReply();
    const QJsonObject obj = reply.toObject();
    // A reply without "error_code" is no answer of the service (a proxy's page, a half-written reply): it
    // must not pass for success.
    const QJsonValue code = obj.value(QStringLiteral("error_code"));
    if (!code.isDouble()) return noReply();
    // A code that is no whole number within ±2^53 (1e300, 2.5) is no answer of the service either; casting
    // it would be undefined.
    const double d = code.toDouble();
    constexpr double kExact = 9007199254740992.0;
    if (!(d >= -kExact && d <= kExact) || d != std::trunc(d)) return noReply();
    auto info = std::make_shared<QVNasResponseInfo>();
    const auto n = static_cast<int64_t>(d);
    info->responseCode = n > 0 ? kServiceBase + n : n;
    info->responseMessage = obj.value(QStringLiteral("error_msg")).toString();
    const QJsonValue data = obj.value(QStringLiteral("data"));
    info->responseData = data.isUndefined() ? QVariant() : data.toVariant();
    return info;
}

QVNasResponseInfoPtr QVInterfaceManage::replyResponseInfo(const QByteArray &body) {
    if (body.isEmpty()) return noReply();
    // Fragments allowed: parse inside an array and take the first element.
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson("[" + body + "]", &err);
    const QJsonValue value =
        err.error == QJsonParseError::NoError && doc.array().size() == 1 ? doc.array().at(0) : QJsonValue();
    return shareResponseInfo(value);
}

void QVInterfaceManage::startRequestService(Request request, Completion completion) {
    QObject *context = m_context.get();
    if (plat::isMainThread()) {
        sendOnMain(request, std::move(completion));
        return;
    }
    plat::MainQueue::post(context,
                          [this, request = std::move(request), completion = std::move(completion)]() {
                              sendOnMain(request, completion);
                          });
}

void QVInterfaceManage::sendOnMain(const Request &request, Completion completion) {
    if (!m_network) {
        m_network = new QNetworkAccessManager(m_context.get());
    }
    const QUrl url(request.url, QUrl::StrictMode);
    QNetworkRequest req(url);
    req.setSslConfiguration(m_config.tls);
    req.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    req.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    int timeout = request.kind == Body::Json        ? kJsonTimeoutMs
                  : request.kind == Body::Multipart ? kUploadTimeoutMs
                                                    : kDefaultTimeoutMs;
    if (m_config.timeoutOverrideMs > 0) timeout = m_config.timeoutOverrideMs;
    req.setTransferTimeout(timeout);
    QNetworkReply *reply = nullptr;
    switch (request.kind) {
        case Body::Json: {
            req.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray(kContentJson));
            reply = m_network->post(req, jsonDictionaryToData(request.json));
            break;
        }
        case Body::Multipart: {
            const QByteArray body = multipartBody(request.bytes);
            req.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArray("multipart/form-data; boundary=AaB03x"));
            req.setHeader(QNetworkRequest::ContentLengthHeader, body.size());
            reply = m_network->post(req, body);
            break;
        }
        case Body::None:
            reply = m_network->get(req);
            break;
    }
    const QString where = loggable(request.url);
    QObject::connect(
        reply, &QNetworkReply::finished, reply, [reply, where, completion = std::move(completion)]() {
            reply->deleteLater();
            const QByteArray bytes = reply->readAll();
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            QVNasResponseInfoPtr info;
            if (bytes.isEmpty()) {
                QVF_LOG_ERROR(QStringLiteral("cloud %1: no reply (HTTP %2, %3)")
                                  .arg(where)
                                  .arg(status)
                                  .arg(reply->errorString()));
                info = noReply();
            } else {
                info = replyResponseInfo(bytes);
                QVF_LOG_DEBUG(QStringLiteral("cloud %1: HTTP %2, code %3")
                                  .arg(where)
                                  .arg(status)
                                  .arg(info->responseCode));
            }
            if (completion) plat::MainQueue::post([completion, info]() { completion(info); });
        });
}
