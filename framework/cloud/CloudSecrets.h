// The values the client shares with the cloud service and the devices and ships in its binary: the
// application id, the request-signing key and the tunnel's login. Kept in this one unit so that they are easy
// to find, rotate and audit; never logged.
#pragma once

#include <QByteArray>

namespace cloud {

// 16 lower-case hexadecimal characters: the query key "AppId".
QByteArray appId();
// 31 ASCII characters used as they stand (not hex-decoded) as the HMAC-SHA1 key of "ssig".
QByteArray signingKey();
// The 8-character user name and the 12-character password of the tunnel's authentication record.
QByteArray tunnelUserName();
QByteArray tunnelPassword();

}  // namespace cloud
