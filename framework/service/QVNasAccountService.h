// The cloud account service: sign-in by area code, phone number and password, and the access token of a
// refresh token. Completions run on the main thread; cloud answers carry clientCommand 0.
#pragma once

#include <QString>
#include <memory>

#include "broker/QVNasBlocks.h"
#include "model/QVNasDeviceUserInfo.h"

class QVNasAccountService {
  public:
    virtual ~QVNasAccountService() = default;
    // responseData on 0: {"refreshToken": text, "expires": seconds}; a cloud error n arrives as
    // n + 200000, no usable reply as 229999.
    virtual void qvNasGetRefreshTokenByServiceUserInfo(const QVNasServiceUserInfoPtr &serviceUserInfo,
                                                       QVNasCompletionBlock completion);
    // responseData on 0: {"accessToken": text, "exprect": seconds}.
    virtual void qvNasGetAccessTokenByRefreshToken(const QString &refreshToken,
                                                   QVNasCompletionBlock completion);
};
using QVNasAccountServicePtr = std::shared_ptr<QVNasAccountService>;
