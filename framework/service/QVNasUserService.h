// The cloud user service: calls made with the signed-in account's access token.
#pragma once

#include <QString>
#include <memory>
#include <mutex>

#include "broker/QVNasBlocks.h"
#include "model/QVNasDeviceInfo.h"

class QVNasUserService {
  public:
    QVNasUserService() = default;
    explicit QVNasUserService(const QString &accessToken) : m_accessToken(accessToken) {}
    virtual ~QVNasUserService() = default;

    // The token every later cloud call of this service sends.
    virtual void setAccessToken(const QString &accessToken);
    QString accessToken() const;

    // responseData on 0: {"nickName", "userId", "userImage"}.
    virtual void qvNasGetUserInfo(QVNasCompletionBlock completion);
    // Command 157: subscribes the account's status topic; later changes reach the entry object's delegate.
    virtual void qvNasAddUserStatusChangedListenWithServiceUserId(const QString &serviceUserId,
                                                                  QVNasCompletionBlock completion);
    // responseData on 0: a QVariantList of {"deviceName", "deviceId", "deviceType", "online"}.
    virtual void qvNasGetBindDeviceInfoList(QVNasCompletionBlock completion);
    // Command 3: responseData a QList<QVNasDeviceInfoPtr> of the devices LAN discovery knows.
    virtual void qvNasGetCanBindDeviceList(QVNasCompletionBlock completion);
    virtual void qvNasUnbindDevice(const QVNasDeviceInfoPtr &device, QVNasCompletionBlock completion);

  private:
    mutable std::mutex m_mu;
    QString m_accessToken;
};
using QVNasUserServicePtr = std::shared_ptr<QVNasUserService>;
