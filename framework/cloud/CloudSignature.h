// The cloud's request signature ("ssig"): HMAC-SHA1 over "METHOD\n\nCONTENT-TYPE\n\nRESOURCE" with the
// signing key, Base64, characters 5 to 14, percent-encoded. The body, the time and no nonce enter it.
#pragma once

#include <QByteArray>
#include <QString>

namespace cloud {

// The 10-character signature of `text` (UTF-8, up to its first NUL) before percent-encoding.
QString serviceSsig(const QString &text);

// Percent-encodes (upper-case hex, per UTF-8 byte) exactly ?!@#$^&%*+,:;='"`<>()[]{}/\| and space.
QString percentEncodeSsig(const QString &text);

// The resource of a URL text: what follows `oauthBase`, else what follows `accountBase`, else the whole text;
// "?AppId=" and `appId` appended when it holds no "?AppId=".
QString signedResource(const QString &url, const QString &oauthBase, const QString &accountBase,
                       const QString &appId);

// The value of the query key "ssig" for a request: percentEncodeSsig(serviceSsig(...)).
QString requestSsig(const QString &method, const QString &url, const QString &contentType,
                    const QString &oauthBase, const QString &accountBase);

}  // namespace cloud
