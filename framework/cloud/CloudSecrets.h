// The values the client shares with the cloud service and its devices and ships in its binary: the
// application id, the request-signing key and the tunnel's authentication user name and password. Kept in
// this one unit so that they are easy to find, rotate and audit; nothing else holds them, and none of them
// is ever logged.
#pragma once

#include <QByteArray>

namespace cloud {

// 16 lower-case hexadecimal characters: the query key "AppId".
QByteArray appId();
// 31 ASCII characters used as they stand (not hex-decoded) as the HMAC-SHA1 key of "ssig".
QByteArray signingKey();
// The tunnel's authentication record: an 8-character user name and a 12-character password, each put
// NUL-terminated into a zero-filled 64-byte field.
QByteArray tunnelUserName();
QByteArray tunnelPassword();

}  // namespace cloud
