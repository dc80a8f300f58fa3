// The cloud sign-in: password, refresh token or access token; the profile, its picture and the status
// listener; the remembered bound device.
#include <QCoreApplication>
#include <QImage>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSaveFile>
#include <QUrl>
#include <atomic>
#include <memory>
#include <mutex>

#include "model/QVNasDeviceInfo.h"
#include "platform/Clock.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/WorkPool.h"
#include "session/QVSingletonData.h"
#include "session/QVSingletonInterfaceManage.h"
#include "tools/QVAccessData.h"
#include "tools/QVFileManager.h"

#define QVS_LOG_INFO(msg) PLAT_LOG(::plat::LogLevel::Info, "QV_APP", msg)
#define QVS_LOG_ERROR(msg) PLAT_LOG(::plat::LogLevel::Error, "QV_APP", msg)

namespace {

QVSingletonInterfaceManage &locator() {
    return QVSingletonInterfaceManage::sharedManager();
}

QVUserInfoPtr storedOrNewUser() {
    QVUserInfoPtr u = QVAccessData::getServiceUserInfo();
    return u ? u : std::make_shared<QVUserInfo>();
}

double nowSeconds() {
    return static_cast<double>(plat::Clock::nowMs()) / 1000.0;
}

constexpr qint64 kUserImageMaxBytes = 2 * 1024 * 1024;
constexpr int kUserImageTimeoutMs = 5000;

// The newest picture request; a worker writes only while its request is still the newest, under the lock,
// so an older picture never replaces a newer one.
std::atomic<uint64_t> g_newestUserImage{0};
std::mutex g_userImageWrite;

// Decodes the picture and writes it atomically; runs on a worker (a 2 MiB picture takes tens of
// milliseconds to decode and to reach the disk, too long for the main thread).
void storeUserImage(const QByteArray &body, const QString &target, uint64_t id) {
    if (QImage::fromData(body).isNull()) {
        QVS_LOG_ERROR(QStringLiteral("user picture: not an image, not stored"));
        return;
    }
    std::lock_guard<std::mutex> lock(g_userImageWrite);
    if (id != g_newestUserImage.load()) return;
    QSaveFile f(target);
    if (!f.open(QIODevice::WriteOnly) || f.write(body) != body.size() || !f.commit())
        QVS_LOG_ERROR(QStringLiteral("user picture: could not be stored"));
}

}  // namespace

void QVSingletonData::setAutoLoginModuleProgress(double percent) {
    plat::MainQueue::post([percent] { QVS_LOG_INFO(QString::asprintf("登录进度执行到 : %f", percent)); });
}

double QVSingletonData::processCodeTimeConsuming(const QDateTime &start) {
    return static_cast<double>(plat::Clock::nowMs() - start.toMSecsSinceEpoch()) / 1000.0;
}

void QVSingletonData::serviceLogin(const QString &areaCode, const QString &userName,
                                   const QString &password) {
    auto info = std::make_shared<QVNasServiceUserInfo>();
    info->areaCode = areaCode;
    info->userName = userName;
    info->password = password;
    if (!isStartSDKService) {
        qvNasStartClientSDKService(info);
        return;
    }
    setAutoLoginModuleProgress(20);
    const QDateTime start = plat::Clock::now();
    // The record with the password lives only as long as this request.
    locator().qvNasAccountService()->qvNasGetRefreshTokenByServiceUserInfo(
        info, [this, info, start](const QVNasResponseInfoPtr &r) {
            QVS_LOG_INFO(QStringLiteral("refresh token request: %1 s").arg(processCodeTimeConsuming(start)));
            processSaveUserInfo(info, r ? r->responseData : QVariant(), r ? r->responseCode : 229999);
        });
}

void QVSingletonData::qvNasStartClientSDKService(const QVNasServiceUserInfoPtr &loginInfo) {
    locator().zeDuzUdurivOVU().qvSdkStartService([this, loginInfo](const QVNasResponseInfoPtr &r) {
        qvNasStartClientSDKServiceFinish(r && r->responseCode == 0, loginInfo);
    });
}

void QVSingletonData::qvNasStartClientSDKServiceFinish(bool success,
                                                       const QVNasServiceUserInfoPtr &loginInfo) {
    isStartSDKService = success;
    if (!success || !loginInfo) {
        deliverModuleCompletionCode(8);
        return;
    }
    serviceLogin(loginInfo->areaCode, loginInfo->userName, loginInfo->password);
}

void QVSingletonData::processSaveUserInfo(const QVNasServiceUserInfoPtr &info, const QVariant &responseDict,
                                          int64_t responseCode) {
    if (responseCode != 0) {
        if (!responseDict.isValid() || responseDict.isNull()) {
            deliverModuleCompletionCode(9);
        } else if (responseCode == 210011 || responseCode == 220003) {
            deliverModuleCompletionCode(2);
        } else if (responseCode == 220001) {
            deliverModuleCompletionCode(19);
        } else {
            deliverModuleCompletionCode(18);
        }
        return;
    }
    setAutoLoginModuleProgress(30);
    const QVariantMap data = responseDict.toMap();
    const QString refreshToken = data.value(QStringLiteral("refreshToken")).toString();
    const double expires = data.value(QStringLiteral("expires")).toDouble();
    if (expires == 0) QVS_LOG_ERROR(QStringLiteral("refresh token without a lifetime"));
    userInfo = storedOrNewUser();
    if (info) {
        userInfo->areaCode = info->areaCode;
        userInfo->userName = info->userName;
    }
    const bool autoLogin = QVAccessData::getIsAutoLoginService();
    if (!autoLogin) QVAccessData::saveServiceUserInfo(userInfo);  // before the new token is put in
    userInfo->setRefreshToken(refreshToken);
    userInfo->refreshExprect = expires + nowSeconds();
    if (autoLogin) QVAccessData::saveServiceUserInfo(userInfo);
    qvNasLoginServiceByRefreshToken(refreshToken);
}

void QVSingletonData::qvNasLoginServiceByRefreshToken(const QString &refreshToken) {
    if (!userInfo) userInfo = storedOrNewUser();
    const QDateTime start = plat::Clock::now();
    locator().qvNasAccountService()->qvNasGetAccessTokenByRefreshToken(
        refreshToken, [this, start](const QVNasResponseInfoPtr &r) {
            QVS_LOG_INFO(QStringLiteral("access token request: %1 s").arg(processCodeTimeConsuming(start)));
            processAccessToken(r ? r->responseData : QVariant(), r ? r->responseCode : 229999);
        });
}

void QVSingletonData::processAccessToken(const QVariant &responseDict, int64_t responseCode) {
    if (responseCode != 0) {
        deliverModuleCompletionCode(responseDict.isValid() && !responseDict.isNull() ? 2 : 9);
        return;
    }
    setAutoLoginModuleProgress(40);
    const QVariantMap data = responseDict.toMap();
    const QString accessToken = data.value(QStringLiteral("accessToken")).toString();
    const double exprect = data.value(QStringLiteral("exprect")).toDouble();
    if (!userInfo) userInfo = storedOrNewUser();
    userInfo->setAccessToken(accessToken);
    userInfo->accessExprect = nowSeconds() + exprect;
    if (QVAccessData::getIsAutoLoginService()) QVAccessData::saveServiceUserInfo(userInfo);
    qvNasLoginServiceByAccessToken(accessToken);
}

void QVSingletonData::qvNasLoginServiceByAccessToken(const QString &accessToken) {
    if (isStartSDKService) {
        if (!userInfo) userInfo = storedOrNewUser();
        locator().qvNasUserService()->setAccessToken(accessToken);
        qvGetServiceUser();
        setAutoLoginModuleProgress(50);
        deliverModuleCompletionCode(3);
        return;
    }
    const QDateTime start = plat::Clock::now();
    locator().zeDuzUdurivOVU().qvSdkStartService([this, accessToken, start](const QVNasResponseInfoPtr &r) {
        isStartSDKService = r && r->responseCode == 0;
        QVS_LOG_INFO(QStringLiteral("start service: %1 s").arg(processCodeTimeConsuming(start)));
        if (isStartSDKService)
            qvNasLoginServiceByAccessToken(accessToken);
        else
            deliverModuleCompletionCode(8);
    });
}

void QVSingletonData::qvGetServiceUser() {
    const QDateTime start = plat::Clock::now();
    locator().qvNasUserService()->qvNasGetUserInfo([this, start](const QVNasResponseInfoPtr &r) {
        QVS_LOG_INFO(QStringLiteral("user info request: %1 s").arg(processCodeTimeConsuming(start)));
        qvGetServiceUserFinish(r && r->responseCode == 0 ? r->responseData : QVariant());
    });
}

void QVSingletonData::qvGetServiceUserFinish(const QVariant &data) {
    if (!userInfo) return;  // signed out meanwhile
    const bool present = data.isValid() && !data.isNull();
    const QVariantMap m = data.toMap();
    if (present) {
        const QString nick = m.value(QStringLiteral("nickName")).toString();
        const QString id = m.value(QStringLiteral("userId")).toString();
        if (!nick.isEmpty()) userInfo->nickName = nick;
        if (!id.isEmpty()) userInfo->serviceUserId = id;
    }
    processUserImage(present ? m.value(QStringLiteral("userImage")).toString() : QString());
    if (!userInfo->serviceUserId.isEmpty()) {
        locator().qvNasUserService()->qvNasAddUserStatusChangedListenWithServiceUserId(
            userInfo->serviceUserId, [](const QVNasResponseInfoPtr &r) {
                QVS_LOG_INFO(QStringLiteral("status listener: %1")
                                 .arg(r && r->responseCode == 0 ? QStringLiteral("accepted")
                                                                : QStringLiteral("refused")));
            });
    }
}

void QVSingletonData::processUserImage(const QString &url) {
    if (url.isEmpty() || !userInfo) return;
    const QUrl u(url);
    const QString scheme = u.scheme().toLower();
    if (!u.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        QVS_LOG_ERROR(QStringLiteral("user picture: not an http(s) address, ignored"));
        return;
    }
    const QString target = QVFileManager::getUserHeaderImageCachePath(userInfo->userName);
    if (target.isEmpty()) return;
    static QNetworkAccessManager *nam = nullptr;  // the main thread's, made once
    if (nam == nullptr) nam = new QNetworkAccessManager(QCoreApplication::instance());
    QNetworkRequest req(u);
    req.setTransferTimeout(kUserImageTimeoutMs);
    req.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    req.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply *reply = nam->get(req);
    const uint64_t id = ++m_userImageRequest;
    g_newestUserImage.store(id);
    auto body = std::make_shared<QByteArray>();
    QPointer<QNetworkReply> guard(reply);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [guard, body] {
        if (!guard) return;
        body->append(guard->readAll());
        if (body->size() > kUserImageMaxBytes) {
            QVS_LOG_ERROR(QStringLiteral("user picture: larger than 2 MiB, dropped"));
            body->clear();
            guard->setProperty("qvTooLarge", true);
            guard->abort();
        }
    });
    QObject::connect(reply, &QNetworkReply::finished, reply, [this, guard, body, target, id] {
        if (!guard) return;
        guard->deleteLater();
        if (guard->property("qvTooLarge").toBool() || guard->error() != QNetworkReply::NoError) {
            if (!guard->property("qvTooLarge").toBool())
                QVS_LOG_ERROR(QStringLiteral("user picture: %1").arg(guard->errorString()));
            return;
        }
        body->append(guard->readAll());
        if (id != m_userImageRequest || body->isEmpty() || body->size() > kUserImageMaxBytes) return;
        plat::WorkPool::global().async([body, target, id] { storeUserImage(*body, target, id); });
    });
}

void QVSingletonData::serviceGetBindDevices() {
    setAutoLoginModuleProgress(53);
    const QDateTime start = plat::Clock::now();
    locator().qvNasUserService()->qvNasGetBindDeviceInfoList([this, start](const QVNasResponseInfoPtr &r) {
        plat::MainQueue::post([this, start, r] {
            QVS_LOG_INFO(QStringLiteral("bound devices request: %1 s").arg(processCodeTimeConsuming(start)));
            processBindDevices(r);
        });
    });
}

void QVSingletonData::processBindDevices(const QVNasResponseInfoPtr &response) {
    setAutoLoginModuleProgress(58);
    if (!response || response->responseCode != 0) {
        deliverModuleCompletionCode(2);
        return;
    }
    QVNasDeviceInfoPtr match;
    const QString wanted = userInfo ? userInfo->bindDeviceId() : QString();
    for (const QVariant &entry : response->responseData.toList()) {
        const QVariantMap m = entry.toMap();
        if (m.value(QStringLiteral("deviceId")).toString() != wanted || wanted.isEmpty()) continue;
        match = std::make_shared<QVNasDeviceInfo>();
        match->device_id = m.value(QStringLiteral("deviceId")).toString();
        match->device_type = m.value(QStringLiteral("deviceType")).toString();
        match->dev_name = m.value(QStringLiteral("deviceName")).toString();
        match->online = m.value(QStringLiteral("online")).toBool();
        break;
    }
    setAutoLoginModuleProgress(60);
    if (!match) {
        deliverModuleCompletionCode(3);
        return;
    }
    qvStartConnectDevice(match, true);
}
