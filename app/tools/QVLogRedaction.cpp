#include "tools/QVLogRedaction.h"

#include <QRegularExpression>

QString QVRedactLogText(const QString &text) {
    static const QString keys =
        QStringLiteral("refreshToken|accessToken|authorizationCode|auth_code|ak|KID|ssig|password");
    // "key" : "value" (escaped quotes inside kept within the value), or "key": number/bare word
    static const QRegularExpression json(
        QStringLiteral("(\"(?:%1)\"\\s*:\\s*)(\"(?:[^\"\\\\]|\\\\.)*\"|[^,}\\]\\s]+)").arg(keys));
    // key=value in a query or form text
    static const QRegularExpression query(QStringLiteral("((?:^|[?&;\\s])(?:%1)=)([^&#\\s]*)").arg(keys));
    QString out = text;
    out.replace(json, QStringLiteral("\\1\"***\""));
    out.replace(query, QStringLiteral("\\1***"));
    return out;
}
