#include "model/QVUserInfo.h"

#include <QJsonDocument>

#include "platform/Clock.h"
#include "tools/QVLogRedaction.h"

namespace {
bool effective(const QString &token, double expiry) {
    if (token.isEmpty() || !(expiry > 0)) return false;
    return static_cast<double>(plat::Clock::nowMs()) / 1000.0 < expiry;
}
}  // namespace

bool QVUserInfo::judgeRefreshTokenIsEffective() const {
    return effective(m_refreshToken, refreshExprect);
}
bool QVUserInfo::judgeAccessTokenIsEffective() const {
    return effective(m_accessToken, accessExprect);
}

void QVUserInfo::encode(plat::KeyedArchiver &c, bool withSecrets) const {
    auto text = [&c](const char *key, const QString &v) {
        if (!v.isEmpty()) c.encode(QString::fromLatin1(key), v);  // an empty field is stored as none
    };
    text("areaCode", areaCode);
    text("userName", userName);
    if (withSecrets) text("refreshToken", m_refreshToken);
    c.encode(QStringLiteral("refreshExprect"), refreshExprect);
    if (withSecrets) text("accessToken", m_accessToken);
    c.encode(QStringLiteral("accessExprect"), accessExprect);
    text("nickName", nickName);
    text("serviceUserId", serviceUserId);
    if (withSecrets) text("authorizationCode", m_authorizationCode);
    text("device_p2p_uuid", m_device_p2p_uuid);
    text("bindDeviceId", m_bindDeviceId);
    text("bindDeviceName", bindDeviceName);
    text("bindDeviceType", m_bindDeviceType);
    c.encode(QStringLiteral("sequenceType"), sequenceType);
    c.encode(QStringLiteral("selectTabbarIndex"), selectTabbarIndex);
}

std::shared_ptr<QVUserInfo> QVUserInfo::initWithCoder(const plat::KeyedUnarchiver &c) {
    auto u = std::make_shared<QVUserInfo>();
    u->areaCode = c.decodeString(QStringLiteral("areaCode"));
    u->userName = c.decodeString(QStringLiteral("userName"));
    u->m_refreshToken = c.decodeString(QStringLiteral("refreshToken"));
    u->refreshExprect = c.decodeDouble(QStringLiteral("refreshExprect"));
    u->m_accessToken = c.decodeString(QStringLiteral("accessToken"));
    u->accessExprect = c.decodeDouble(QStringLiteral("accessExprect"));
    u->nickName = c.decodeString(QStringLiteral("nickName"));
    u->serviceUserId = c.decodeString(QStringLiteral("serviceUserId"));
    u->m_authorizationCode = c.decodeString(QStringLiteral("authorizationCode"));
    u->m_device_p2p_uuid = c.decodeString(QStringLiteral("device_p2p_uuid"));
    u->m_bindDeviceId = c.decodeString(QStringLiteral("bindDeviceId"));
    u->bindDeviceName = c.decodeString(QStringLiteral("bindDeviceName"));
    u->m_bindDeviceType = c.decodeString(QStringLiteral("bindDeviceType"));
    u->sequenceType = c.decodeInt64(QStringLiteral("sequenceType"));
    u->selectTabbarIndex = c.decodeInt64(QStringLiteral("selectTabbarIndex"));
    return u;
}

QString QVUserInfo::debugDescription() const {
    plat::KeyedArchiver c;
    encode(c, false);  // the tokens and the code are left out, and anything else is redacted
    return QVRedactLogText(QString::fromUtf8(QJsonDocument(c.object()).toJson(QJsonDocument::Compact)));
}
