// The signed-in cloud account: who signed in, the two tokens and their expiry times, the profile, the
// current device's authorisation code, the bound device and two view preferences.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>

#include "platform/KeyedArchiver.h"

class QVUserInfo {
  public:
    static constexpr const char kClassName[] = "QVUserInfo";

    QString areaCode;
    QString userName;
    double refreshExprect = 0;
    double accessExprect = 0;
    QString nickName;
    QString serviceUserId;
    QString bindDeviceName;
    int64_t sequenceType = 0;
    int64_t selectTabbarIndex = 0;

    // These getters never answer null: an unset field reads as "".
    QString refreshToken() const { return orEmpty(m_refreshToken); }
    QString accessToken() const { return orEmpty(m_accessToken); }
    QString authorizationCode() const { return orEmpty(m_authorizationCode); }
    QString device_p2p_uuid() const { return orEmpty(m_device_p2p_uuid); }
    QString bindDeviceId() const { return orEmpty(m_bindDeviceId); }
    QString bindDeviceType() const { return orEmpty(m_bindDeviceType); }
    void setRefreshToken(const QString &v) { m_refreshToken = v; }
    void setAccessToken(const QString &v) { m_accessToken = v; }
    void setAuthorizationCode(const QString &v) { m_authorizationCode = v; }
    void setDevice_p2p_uuid(const QString &v) { m_device_p2p_uuid = v; }
    void setBindDeviceId(const QString &v) { m_bindDeviceId = v; }
    void setBindDeviceType(const QString &v) { m_bindDeviceType = v; }

    // Present, expiry above 0 and now (plat::Clock) before the expiry.
    bool judgeRefreshTokenIsEffective() const;
    bool judgeAccessTokenIsEffective() const;

    // Every key; with `withSecrets` false the two tokens and the authorisation code are left out (the
    // settings file never holds them).
    void encodeWithCoder(plat::KeyedArchiver &c) const { encode(c, true); }
    void encode(plat::KeyedArchiver &c, bool withSecrets) const;
    static std::shared_ptr<QVUserInfo> initWithCoder(const plat::KeyedUnarchiver &c);
    // A description with the secrets redacted.
    QString debugDescription() const;

  private:
    static QString orEmpty(const QString &v) { return v.isNull() ? QStringLiteral("") : v; }
    QString m_refreshToken;
    QString m_accessToken;
    QString m_authorizationCode;
    QString m_device_p2p_uuid;
    QString m_bindDeviceId;
    QString m_bindDeviceType;
};
using QVUserInfoPtr = std::shared_ptr<QVUserInfo>;
