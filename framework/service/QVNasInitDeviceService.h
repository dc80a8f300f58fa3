// Devices that need an operation before use (status 1000: a forced firmware update): one task per run.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <mutex>

#include "broker/QVNasBlocks.h"
#include "model/QVNasExecTaskProgressInfo.h"

// Made only with a status and an address (no default construction); owned through a shared pointer, since
// its reports find it through a weak one.
class QVNasInitDeviceTaskManage : public std::enable_shared_from_this<QVNasInitDeviceTaskManage> {
  public:
    QVNasInitDeviceTaskManage(int64_t status, const QString &deviceIp)
        : m_status(status), m_deviceIp(deviceIp) {}
    virtual ~QVNasInitDeviceTaskManage() = default;
    int64_t status() const { return m_status; }
    QString deviceIp() const { return m_deviceIp; }
    // Replaces any earlier listener (an empty one clears it); reports that reach the main thread after
    // this go to the new listener.
    virtual void setTaskStatusListener(QVNasExecProgressBlock listener);
    // 173 with the status and address: every report reaches the listener on the main thread, in order,
    // while this task lives; the completion gets the answer on the main thread, whether it lives or not.
    virtual void startTask(QVNasCompletionBlock completion);
    // Hands a report to the listener, when there is one (main thread).
    void receiveDeviceExecHandelValue(const QVNasExecTaskProgressInfoPtr &value);

  protected:
    QVNasExecProgressBlock listener() const;

  private:
    int64_t m_status;
    QString m_deviceIp;
    mutable std::mutex m_mu;
    QVNasExecProgressBlock m_listener;
};
using QVNasInitDeviceTaskManagePtr = std::shared_ptr<QVNasInitDeviceTaskManage>;

class QVNasInitDeviceService {
  public:
    virtual ~QVNasInitDeviceService() = default;
    // A new task; nothing is sent yet and the service keeps no reference to it.
    virtual QVNasInitDeviceTaskManagePtr createInitDeviceTask(int64_t status, const QString &deviceIp);
    // Does nothing: the callback is never called, and the answer is no handle.
    virtual QVNasRequestInfoPtr getDeviceStatus(QVNasCompletionBlock completion);
};
using QVNasInitDeviceServicePtr = std::shared_ptr<QVNasInitDeviceService>;
