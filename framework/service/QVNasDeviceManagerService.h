// The device manager service; the app uses its QR-code login requests.
#pragma once

#include <QString>
#include <memory>

#include "broker/QVNasBlocks.h"

class QVNasDeviceManagerService {
  public:
    virtual ~QVNasDeviceManagerService() = default;
    // 332.
    virtual QVNasRequestInfoPtr qvNasQRCodeServiceInitCompletion(QVNasCompletionBlock completion);
    // 333.
    virtual QVNasRequestInfoPtr qvNasQRCodeServiceCreateCompletion(QVNasCompletionBlock completion);
    // 334: responseData on 0 {"authUrl", "authId", "expectTime"}.
    virtual QVNasRequestInfoPtr qvNasQRCodeServiceStartRequestCompletion(QVNasCompletionBlock completion);
    // 336: `handel` receives the refresh token once, on the main queue; a newer registration replaces it.
    virtual QVNasRequestInfoPtr qvNasqvQRCodeServiceOpenAuthCodeListenerWithAuthId(
        const QString &authId, QVNasRefreshTokenBlock handel, QVNasCompletionBlock completion);
    // 337: the same for the scanning user's information.
    virtual QVNasRequestInfoPtr qvNasqvQRCodeServiceOpenUserInfoListenerWithAuthId(
        const QString &authId, QVNasServiceUserBlock handel, QVNasCompletionBlock completion);
};
using QVNasDeviceManagerServicePtr = std::shared_ptr<QVNasDeviceManagerService>;
