// The values the client shares with the cloud service and ships in its binary: the application id and the
// request-signing key. Kept in this one unit so that they are easy to find, rotate and audit; never logged.
#pragma once

#include <QByteArray>

namespace cloud {

// 16 lower-case hexadecimal characters: the query key "AppId".
QByteArray appId();
// 31 ASCII characters used as they stand (not hex-decoded) as the HMAC-SHA1 key of "ssig".
QByteArray signingKey();

}  // namespace cloud
