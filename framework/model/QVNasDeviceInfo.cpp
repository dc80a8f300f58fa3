#include "model/QVNasDeviceInfo.h"

#include <QCryptographicHash>

#include "model/ModelDescription.h"

std::optional<QString> QVNasDeviceInfo::device_shortMac() {
    if (!m_device_shortMac && !mac.isNull()) m_device_shortMac = shortUrl(mac);
    return m_device_shortMac;
}

QString QVNasDeviceInfo::md5ForString(const QString &text) {
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex());
}

QString QVNasDeviceInfo::shortUrl(const QString &text) {
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    const QString digest = md5ForString(QStringLiteral("rbnwje") + text);
    uint64_t value = digest.left(8).toULongLong(nullptr, 16) & 0x3FFFFFFF;
    QString out = QStringLiteral("QV_");
    for (int i = 0; i < 6; ++i) {
        out.append(QLatin1Char(alphabet[value & 61]));  // a mask, as the identifiers in use were made
        value >>= 5;
    }
    return out;
}

void QVNasDeviceInfo::encodeWithCoder(plat::KeyedArchiver &c) const {
    c.encode(QStringLiteral("ip"), ip);
    c.encode(QStringLiteral("mac"), mac);
    c.encode(QStringLiteral("dev_name"), dev_name);
    c.encode(QStringLiteral("device_nick_name"), device_nick_name);
    c.encode(QStringLiteral("device_id"), device_id);
    c.encode(QStringLiteral("device_type"), device_type);
    c.encode(QStringLiteral("online"), online);
    // The session token and the auth code stay out of archives: both are credentials.
    if (m_device_shortMac) c.encode(QStringLiteral("device_shortMac"), *m_device_shortMac);
    c.encode(QStringLiteral("device_bindCode"), device_bindCode);
    c.encode(QStringLiteral("device_p2p_uuid"), device_p2p_uuid);
}

std::shared_ptr<QVNasDeviceInfo> QVNasDeviceInfo::initWithCoder(const plat::KeyedUnarchiver &c) {
    auto d = std::make_shared<QVNasDeviceInfo>();
    d->ip = c.decodeString(QStringLiteral("ip"));
    d->mac = c.decodeString(QStringLiteral("mac"));
    d->dev_name = c.decodeString(QStringLiteral("dev_name"));
    d->device_nick_name = c.decodeString(QStringLiteral("device_nick_name"));
    d->device_id = c.decodeString(QStringLiteral("device_id"));
    d->device_type = c.decodeString(QStringLiteral("device_type"));
    d->online = c.decodeBool(QStringLiteral("online"));
    if (c.containsValueForKey(QStringLiteral("device_shortMac")))
        d->m_device_shortMac = c.decodeString(QStringLiteral("device_shortMac"));
    d->device_bindCode = c.decodeString(QStringLiteral("device_bindCode"));
    d->device_p2p_uuid = c.decodeString(QStringLiteral("device_p2p_uuid"));
    return d;
}

QString QVNasDeviceInfo::debugDescription() const {
    return qvmodel::describe(kClassName, this,
                             {{"ip", ip},
                              {"mac", mac},
                              {"dev_name", dev_name},
                              {"device_nick_name", device_nick_name},
                              {"device_id", device_id},
                              {"device_type", device_type},
                              {"online", QString::number(online ? 1 : 0)},
                              {"device_token", qvmodel::redacted(device_token != 0)},
                              {"device_shortMac", m_device_shortMac.value_or(QString())},
                              {"device_bindCode", device_bindCode},
                              {"device_authCode", qvmodel::redacted(!device_authCode.isEmpty())},
                              {"device_p2p_uuid", device_p2p_uuid}});
}

QDebug operator<<(QDebug d, const QVNasDeviceInfo &info) {
    return d.noquote() << info.debugDescription();
}
