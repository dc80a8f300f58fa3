// Devices that need an operation before use (status 1000: a firmware update): one task per run.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <mutex>

#include "broker/QVNasBlocks.h"

class QVNasInitDeviceTaskManage {
  public:
    QVNasInitDeviceTaskManage(int64_t status, const QString &deviceIp)
        : m_status(status), m_deviceIp(deviceIp) {}
    virtual ~QVNasInitDeviceTaskManage() = default;
    int64_t status() const { return m_status; }
    QString deviceIp() const { return m_deviceIp; }
    // Replaces any earlier listener; reports arrive on the main queue.
    virtual void setTaskStatusListener(QVNasExecProgressBlock listener);
    // 173: progress to the listener, the end to the completion.
    virtual void startTask(QVNasCompletionBlock completion);

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
    // A new task; nothing is sent yet.
    virtual QVNasInitDeviceTaskManagePtr createInitDeviceTask(int64_t status, const QString &deviceIp);
};
using QVNasInitDeviceServicePtr = std::shared_ptr<QVNasInitDeviceService>;
