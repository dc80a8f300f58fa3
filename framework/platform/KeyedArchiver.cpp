#include "platform/KeyedArchiver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include "platform/Log.h"

namespace plat {

void KeyedArchiver::encode(const QString &key, const QStringList &value) {
    m_obj.insert(key, QJsonArray::fromStringList(value));
}

QByteArray KeyedArchiver::toJson() const {
    return QJsonDocument(m_obj).toJson(QJsonDocument::Compact);
}

bool KeyedUnarchiver::openArchive(const QByteArray &data, const QString &className, QJsonObject *out) {
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(data, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject()) {
        QVF_LOG_ERROR(QStringLiteral("archive is not a JSON object: %1").arg(err.errorString()));
        return false;
    }
    QJsonObject obj = doc.object();
    const QJsonValue cls = obj.value(QStringLiteral("$class"));
    if (!cls.isString() || cls.toString() != className) {
        QVF_LOG_ERROR(QStringLiteral("archive of class '%1' where %2 was expected")
                          .arg(cls.toString().left(64), className));
        return false;
    }
    const QJsonValue version = obj.value(QStringLiteral("$v"));
    if (!version.isDouble() || version.toInteger() != 1) {
        QVF_LOG_ERROR(QStringLiteral("archive of %1 has an unknown version").arg(className));
        return false;
    }
    *out = std::move(obj);
    return true;
}

QString KeyedUnarchiver::decodeString(const QString &key) const {
    return m_obj.value(key).toString();
}

QStringList KeyedUnarchiver::decodeStringList(const QString &key) const {
    QStringList list;
    const QJsonValue v = m_obj.value(key);
    if (!v.isArray()) return list;
    for (const QJsonValue &e : v.toArray())
        if (e.isString()) list.append(e.toString());
    return list;
}

bool KeyedUnarchiver::decodeBool(const QString &key) const {
    const QJsonValue v = m_obj.value(key);
    if (v.isBool()) return v.toBool();
    return v.isDouble() && v.toDouble() != 0.0;
}

double KeyedUnarchiver::decodeDouble(const QString &key) const {
    return m_obj.value(key).toDouble();
}

int64_t KeyedUnarchiver::decodeInt64(const QString &key) const {
    const QJsonValue v = m_obj.value(key);
    if (!v.isDouble()) return 0;
    return v.toInteger(0);
}

}  // namespace plat
