// The cloud user service: calls made with the signed-in account's access token ("ak"), and the account's
// status listener and the devices LAN discovery found, through the broker.
#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>
#include <mutex>

#include "broker/QVNasBlocks.h"
#include "model/QVNasDeviceInfo.h"

class QVInterfaceManage;

class QVNasUserService {
  public:
    QVNasUserService() = default;
    explicit QVNasUserService(const QString &accessToken) : m_accessToken(accessToken) {}
    // `api`: the cloud client to use, outliving this object (null: the process's shared client).
    QVNasUserService(const QString &accessToken, QVInterfaceManage *api)
        : m_accessToken(accessToken), m_api(api) {}
    virtual ~QVNasUserService() = default;

    // The token every later cloud call of this service sends.
    virtual void setAccessToken(const QString &accessToken);
    QString accessToken() const;
    // The cloud client this service (and the connections made with it) talk to.
    QVInterfaceManage &interfaceManage() const;

    // responseData on 0: {"nickName", "userId", "userImage"}.
    virtual void qvNasGetUserInfo(QVNasCompletionBlock completion);
    // Command 157: subscribes the account's status topic; later changes reach the entry object's delegate.
    virtual void qvNasAddUserStatusChangedListenWithServiceUserId(const QString &serviceUserId,
                                                                  QVNasCompletionBlock completion);
    // responseData on 0: a QVariantList of {"deviceName", "deviceId", "deviceType", "online"}.
    virtual void qvNasGetBindDeviceInfoList(QVNasCompletionBlock completion);
    // Command 3: responseData a QList<QVNasDeviceInfoPtr> of the devices LAN discovery knows.
    virtual void qvNasGetCanBindDeviceList(QVNasCompletionBlock completion);
    // An empty device type is sent, and written back into `device`, as "tessera".
    virtual void qvNasUnbindDevice(const QVNasDeviceInfoPtr &device, QVNasCompletionBlock completion);
    virtual void qvNasSetNickName(const QString &nickName, QVNasCompletionBlock completion);
    virtual void qvNasSetUserImagePath(const QString &imagePath, QVNasCompletionBlock completion);
    // `jpeg`: the picture as qvNasJpegForUpload made it; sent as the multipart part "pic".
    virtual void qvNasUploadImage(const QByteArray &jpeg, QVNasCompletionBlock completion);
    // responseData on 0: {"curUseFlow", "maxUseFlow"}.
    virtual void qvNasGetUserShareInfo(QVNasCompletionBlock completion);

    // The JPEG of an account picture: `encode` at quality 0.9; when that is over 1 MiB, `encode` again at
    // 1 MiB divided by its length. `encode` draws the picture at its own size (the caller's image code).
    static QByteArray qvNasJpegForUpload(const std::function<QByteArray(double quality)> &encode);

  private:
    mutable std::mutex m_mu;
    QString m_accessToken;
    QVInterfaceManage *m_api = nullptr;
};
using QVNasUserServicePtr = std::shared_ptr<QVNasUserService>;
