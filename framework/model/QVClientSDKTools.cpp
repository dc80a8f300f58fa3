#include "model/QVClientSDKTools.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstring>

#include "platform/Log.h"
#include "platform/MachineInfo.h"
#include "platform/NetworkMonitor.h"
#include "platform/Paths.h"

size_t QVClientSDKTools::validUtf8PrefixLength(const char *bytes, size_t size) {
    const auto *s = reinterpret_cast<const unsigned char *>(bytes);
    size_t i = 0;
    while (i < size) {
        const unsigned char c = s[i];
        size_t n = 0;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
        } else if (c == 0xE0) {
            n = 2, lo = 0xA0;
        } else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
            n = 2;
        } else if (c == 0xED) {
            n = 2, hi = 0x9F;  // no surrogates
        } else if (c == 0xF0) {
            n = 3, lo = 0x90;
        } else if (c >= 0xF1 && c <= 0xF3) {
            n = 3;
        } else if (c == 0xF4) {
            n = 3, hi = 0x8F;  // nothing above U+10FFFF
        } else {
            return i;
        }
        if (i + n >= size) return i;  // sequence cut by the end
        if (s[i + 1] < lo || s[i + 1] > hi) return i;
        for (size_t k = 2; k <= n; ++k)
            if (s[i + k] < 0x80 || s[i + k] > 0xBF) return i;
        i += n + 1;
    }
    return i;
}

std::optional<QString> QVClientSDKTools::qvFormatChar(const char *text, size_t maxBytes) {
    if (text == nullptr) return std::nullopt;
    const void *nul = std::memchr(text, '\0', maxBytes);
    const size_t len = nul != nullptr ? static_cast<size_t>(static_cast<const char *>(nul) - text) : maxBytes;
    if (len == 0) return QString();
    const size_t valid = validUtf8PrefixLength(text, len);
    if (valid == 0) return std::nullopt;
    return QString::fromUtf8(text, static_cast<qsizetype>(valid));
}

std::optional<QString> QVClientSDKTools::qvFormatChar(const char *text) {
    if (text == nullptr) return std::nullopt;
    return qvFormatChar(text, std::strlen(text));
}

QString QVClientSDKTools::qvFormatCharOrEmpty(const char *text, size_t maxBytes) {
    return qvFormatChar(text, maxBytes).value_or(QString());
}

void QVClientSDKTools::copyToField(char *field, size_t width, const QByteArray &text) {
    if (field == nullptr || width == 0) return;
    std::memset(field, 0, width);
    size_t n = std::min(width - 1, static_cast<size_t>(text.size()));
    // A cut inside a character drops the whole character: back off while the first byte left out
    // continues one.
    if (static_cast<size_t>(text.size()) > n)
        while (n > 0 && (static_cast<unsigned char>(text[static_cast<qsizetype>(n)]) & 0xC0) == 0x80) --n;
    std::memcpy(field, text.constData(), n);
}

QString QVClientSDKTools::getCachesPath() {
    const QString root = plat::Paths::cacheLocation();
    QDir().mkpath(root);  // a fresh home has no caches folder yet
    return createFile(QStringLiteral("%1/QVFileCaches").arg(root));
}

QString QVClientSDKTools::createFile(const QString &path) {
    if (!isExistsFile(path)) QDir().mkdir(path);
    return path;
}

bool QVClientSDKTools::isExistsFile(const QString &path) {
    return QFileInfo::exists(path) || QFileInfo(path).isSymLink();
}

QString QVClientSDKTools::md5ForString(const QString &text) {
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex());
}

std::optional<QJsonValue> QVClientSDKTools::jsonDataToDictionary(const QByteArray &bytes) {
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson("[" + bytes + "]", &err);
    if (err.error != QJsonParseError::NoError || !doc.isArray() || doc.array().size() != 1)
        return std::nullopt;
    return doc.array().at(0);
}

QString QVClientSDKTools::convertToJSONData(const QJsonValue &value) {
    if (value.isUndefined()) {
        QVF_LOG_ERROR(QStringLiteral("Got an error: %1").arg(QStringLiteral("the value has no JSON form")));
        return QString();
    }
    QByteArray text;
    if (value.isObject()) {
        text = QJsonDocument(value.toObject()).toJson(QJsonDocument::Indented);
    } else if (value.isArray()) {
        text = QJsonDocument(value.toArray()).toJson(QJsonDocument::Indented);
    } else {
        const QByteArray wrapped = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
        text = wrapped.mid(1, wrapped.size() - 2);
    }
    return QString::fromUtf8(text).trimmed().remove(QLatin1Char('\n'));
}

bool QVClientSDKTools::qvClientIsNetworkEnabled() {
    return plat::NetworkMonitor::shared().isNetworkEnabled();
}

QString QVClientSDKTools::deviceString() {
    return plat::MachineInfo::machineName();
}

QString QVClientSDKTools::getHardwareUUID() {
    return plat::MachineInfo::hardwareUuid();
}
