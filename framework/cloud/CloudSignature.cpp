#include "cloud/CloudSignature.h"

#include <QMessageAuthenticationCode>
#include <QStringList>

#include "cloud/CloudSecrets.h"

namespace cloud {

QString serviceSsig(const QString &text) {
    QByteArray message = text.toUtf8();
    const qsizetype nul = message.indexOf('\0');
    if (nul >= 0) message.truncate(nul);
    const QByteArray digest =
        QMessageAuthenticationCode::hash(message, signingKey(), QCryptographicHash::Sha1);
    return QString::fromLatin1(digest.toBase64().mid(5, 10));
}

QString percentEncodeSsig(const QString &text) {
    static const QByteArray kSet = QByteArrayLiteral("?!@#$^&%*+,:;='\"`<>()[]{}/\\| ");
    QByteArray out;
    for (const char c : text.toUtf8()) {
        if (kSet.contains(c)) {
            const auto b = static_cast<unsigned char>(c);
            out += '%';
            out += "0123456789ABCDEF"[b >> 4];
            out += "0123456789ABCDEF"[b & 15];
        } else {
            out += c;  // every other byte unchanged, those of multi-byte characters included
        }
    }
    return QString::fromUtf8(out);
}

QString signedResource(const QString &url, const QString &oauthBase, const QString &accountBase,
                       const QString &appId) {
    auto lastPiece = [&url](const QString &sep) { return sep.isEmpty() ? url : url.split(sep).last(); };
    QString resource = lastPiece(oauthBase);
    if (resource.startsWith(QLatin1String("http"))) resource = lastPiece(accountBase);
    if (!resource.contains(QLatin1String("?AppId="))) resource += QStringLiteral("?AppId=") + appId;
    return resource;
}

QString requestSsig(const QString &method, const QString &url, const QString &contentType,
                    const QString &oauthBase, const QString &accountBase) {
    const QString resource = signedResource(url, oauthBase, accountBase, QString::fromLatin1(appId()));
    return percentEncodeSsig(
        serviceSsig(method + QStringLiteral("\n\n") + contentType + QStringLiteral("\n\n") + resource));
}

}  // namespace cloud
