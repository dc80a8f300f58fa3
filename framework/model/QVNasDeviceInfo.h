// A device found on the local network or bound to the cloud account.
#pragma once

#include <QDebug>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/KeyedArchiver.h"

class QVNasDeviceInfo {
  public:
    static constexpr const char kClassName[] = "QVNasDeviceInfo";

    QString ip;
    QString mac;
    QString dev_name;
    QString device_nick_name;
    QString device_id;
    QString device_type;
    bool online = false;
    int64_t device_token = 0;  // secret: not archived, redacted in descriptions
    QString device_bindCode;
    QString device_authCode;  // secret: not archived, redacted in descriptions
    QString device_p2p_uuid;

    // Derived from `mac` on the first read while no value is stored (and stored then); none while `mac`
    // is null.
    std::optional<QString> device_shortMac();
    void setDevice_shortMac(const std::optional<QString> &value) { m_device_shortMac = value; }

    static QString md5ForString(const QString &text);
    static QString shortUrl(const QString &text);

    void encodeWithCoder(plat::KeyedArchiver &c) const;
    static std::shared_ptr<QVNasDeviceInfo> initWithCoder(const plat::KeyedUnarchiver &c);
    QString debugDescription() const;

  private:
    std::optional<QString> m_device_shortMac;
};
using QVNasDeviceInfoPtr = std::shared_ptr<QVNasDeviceInfo>;

QDebug operator<<(QDebug d, const QVNasDeviceInfo &info);
