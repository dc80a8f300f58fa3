// The cloud look-ups the device connection service makes, as a port: the real one is the process's cloud
// client (QVInterfaceManage::sharedApiManage() or one given to it); tests script their own. Every completion
// runs once, on the main thread.
#pragma once

#include <QString>
#include <functional>
#include <memory>

#include "broker/QVNasResponseInfo.h"
#include "model/QVNasDeviceInfo.h"

class QVInterfaceManage;

class CloudDeviceApi {
  public:
    using Completion = std::function<void(const QVNasResponseInfoPtr &)>;
    virtual ~CloudDeviceApi() = default;
    virtual void getDeviceInfoByBC(const QString &bindCode, Completion completion) = 0;
    virtual void getDeviceP2PInfo(const QVNasDeviceInfoPtr &device, const QString &ak,
                                  Completion completion) = 0;
    virtual void getDeviceAuthCode(const QVNasDeviceInfoPtr &device, const QString &ak,
                                   Completion completion) = 0;
    virtual void bindDevice(const QVNasDeviceInfoPtr &device, const QString &ak, Completion completion) = 0;

    // Over `client` (null: the shared one), which must outlive the port.
    static std::shared_ptr<CloudDeviceApi> over(QVInterfaceManage *client = nullptr);
};
using CloudDeviceApiPtr = std::shared_ptr<CloudDeviceApi>;
