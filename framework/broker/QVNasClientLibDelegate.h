// The bridge's interface back to the broker. The first operation is required, the others optional.
#pragma once

#include <QList>
#include <QVariantMap>
#include <cstdint>

#include "broker/QVNasRequestInfo.h"
#include "broker/QVNasTaskInfo.h"
#include "model/QVNasDeviceInfo.h"
#include "model/QVNasDeviceUserInfo.h"
#include "model/QVNasFileInfo.h"
#include "model/QVNasUSBInfo.h"

struct QVNasClientLibDelegate {
    virtual ~QVNasClientLibDelegate() = default;
    virtual void qvDiskClientResponse(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvDiskClientDeviceAdd(const QVNasDeviceInfoPtr &) {}
    virtual void qvDiskClientDeviceDel(const QVNasDeviceInfoPtr &) {}
    virtual void qvDiskTransportRequest(const QVNasRequestInfoPtr &, int32_t /*status*/,
                                        int64_t /*alreadyValue*/, int64_t /*totalValue*/) {}
    virtual void qvDiskCopyOrMoveWithRequest(const QVNasRequestInfoPtr &,
                                             const QVNasOperateProgressInfoPtr &) {}
    virtual void qvDiskDynamicSearchDataWithRequestInfo(const QVNasRequestInfoPtr &,
                                                        const QList<QVNasFileInfoPtr> & /*searchFiles*/,
                                                        int32_t /*status*/) {}
    virtual void qvDiskMqttGetUSBInfoList(const QList<QVNasUSBInfoPtr> &) {}
    virtual void qvDiskOTAUpdateWithRequestInfo(const QVNasRequestInfoPtr &, float /*progress*/) {}
    virtual void qvNasUserStatusChangedListen(int64_t /*status*/) {}
    // Progress of the device operation numbered `seq` (0: not known).
    virtual void qvNasRouterDeviceExecListen(int32_t /*seq*/, int64_t /*deviceStatus*/,
                                             int32_t /*taskStatus*/, int64_t /*alreadyValue*/,
                                             int64_t /*totalValue*/) {}
    // "refreshToken" and "exprect".
    virtual void qvAPPScanQCCodeSendRefreshTokenListener(const QVariantMap &) {}
    virtual void qvAPPScanQCCodeSendUserListener(const QVNasServiceUserInfoPtr &) {}
};
