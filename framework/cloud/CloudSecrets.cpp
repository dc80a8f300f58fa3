#include "cloud/CloudSecrets.h"

namespace cloud {

QByteArray appId() {
    return QByteArrayLiteral("e47b0d2c83a5f916");
}

QByteArray signingKey() {
    return QByteArrayLiteral("0b7e2c9d4a61f8e3b5d07c2a9e4f163");
}

QByteArray tunnelUserName() {
    return QByteArrayLiteral("qvclient");
}

QByteArray tunnelPassword() {
    return QByteArrayLiteral("K7M Lanterns");
}

}  // namespace cloud
