// The cloud account service: sign-in by area code, phone number and password, the access token of a
// refresh token, and the account's register and reset pages. Completions run on the main thread; cloud
// answers carry clientCommand 0.
#pragma once

#include <QString>
#include <QUrl>
#include <memory>

#include "broker/QVNasBlocks.h"
#include "model/QVNasDeviceUserInfo.h"

class QVInterfaceManage;

class QVNasAccountService {
  public:
    QVNasAccountService() = default;
    // `api`: the cloud client to use, outliving this object (null: the process's shared client).
    explicit QVNasAccountService(QVInterfaceManage *api) : m_api(api) {}
    virtual ~QVNasAccountService() = default;
    // responseData on 0: {"refreshToken": text, "expires": seconds}; a cloud error n arrives as
    // n + 200000, no usable reply as 229999.
    virtual void qvNasGetRefreshTokenByServiceUserInfo(const QVNasServiceUserInfoPtr &serviceUserInfo,
                                                       QVNasCompletionBlock completion);
    // responseData on 0: {"accessToken": text, "exprect": seconds}.
    virtual void qvNasGetAccessTokenByRefreshToken(const QString &refreshToken,
                                                   QVNasCompletionBlock completion);
    // The account host's pages, queried with the current time in seconds since 1970 (six decimals) so that
    // no cache answers them. Both over HTTPS: the register page takes a password.
    virtual QUrl qvNasGetRegisterUrl() const;
    virtual QUrl qvNasGetResetUrl() const;

  protected:
    QVInterfaceManage &interfaceManage() const;

  private:
    QVInterfaceManage *m_api = nullptr;
};
using QVNasAccountServicePtr = std::shared_ptr<QVNasAccountService>;
