#include "service/QVNasInitDeviceService.h"

#include "service/QVNasServiceAnswer.h"

void QVNasInitDeviceTaskManage::setTaskStatusListener(QVNasExecProgressBlock listener) {
    std::lock_guard lock(m_mu);
    m_listener = std::move(listener);
}
QVNasExecProgressBlock QVNasInitDeviceTaskManage::listener() const {
    std::lock_guard lock(m_mu);
    return m_listener;
}
// Not carried out yet: answers 110001.
void QVNasInitDeviceTaskManage::startTask(QVNasCompletionBlock completion) {
    qvNasAnswerNotAvailable(173, std::move(completion));
}

QVNasInitDeviceTaskManagePtr QVNasInitDeviceService::createInitDeviceTask(int64_t status,
                                                                          const QString &deviceIp) {
    return std::make_shared<QVNasInitDeviceTaskManage>(status, deviceIp);
}
