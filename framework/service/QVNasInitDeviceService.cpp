#include "service/QVNasInitDeviceService.h"

#include "broker/QVNasPrivateInterfaceProtocol.h"
#include "platform/MainQueue.h"

void QVNasInitDeviceTaskManage::setTaskStatusListener(QVNasExecProgressBlock listener) {
    std::lock_guard lock(m_mu);
    m_listener = std::move(listener);
}

QVNasExecProgressBlock QVNasInitDeviceTaskManage::listener() const {
    std::lock_guard lock(m_mu);
    return m_listener;
}

void QVNasInitDeviceTaskManage::startTask(QVNasCompletionBlock completion) {
    // A task made without a shared owner has nobody to report to; its operation still runs.
    std::weak_ptr<QVNasInitDeviceTaskManage> weak = weak_from_this();
    auto handler = [weak](const QVNasExecTaskProgressInfoPtr &info) {
        // Reports come on the reporting thread: queued to main in the order they came.
        plat::MainQueue::post([weak, info] {
            if (const auto self = weak.lock()) self->receiveDeviceExecHandelValue(info);
        });
    };
    QVNasPrivateInterfaceProtocol::defaultProtocolManager().qvNasRouterDeviceExec(
        m_deviceIp, m_status, std::move(handler), std::move(completion));
}

void QVNasInitDeviceTaskManage::receiveDeviceExecHandelValue(const QVNasExecTaskProgressInfoPtr &value) {
    if (!value) return;
    if (const QVNasExecProgressBlock l = listener()) l(value);
}

QVNasInitDeviceTaskManagePtr QVNasInitDeviceService::createInitDeviceTask(int64_t status,
                                                                          const QString &deviceIp) {
    return std::make_shared<QVNasInitDeviceTaskManage>(status, deviceIp);
}

QVNasRequestInfoPtr QVNasInitDeviceService::getDeviceStatus(QVNasCompletionBlock) {
    return nullptr;
}
