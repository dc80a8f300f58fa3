#include "service/QVNasUserService.h"

#include "service/QVNasServiceAnswer.h"

void QVNasUserService::setAccessToken(const QString &accessToken) {
    std::lock_guard lock(m_mu);
    m_accessToken = accessToken;
}
QString QVNasUserService::accessToken() const {
    std::lock_guard lock(m_mu);
    return m_accessToken;
}

// Not carried out yet: the requests answer 110001.
void QVNasUserService::qvNasGetUserInfo(QVNasCompletionBlock completion) {
    qvNasAnswerNotAvailable(0, std::move(completion));
}
void QVNasUserService::qvNasAddUserStatusChangedListenWithServiceUserId(const QString &,
                                                                        QVNasCompletionBlock completion) {
    qvNasAnswerNotAvailable(157, std::move(completion));
}
void QVNasUserService::qvNasGetBindDeviceInfoList(QVNasCompletionBlock completion) {
    qvNasAnswerNotAvailable(0, std::move(completion));
}
void QVNasUserService::qvNasGetCanBindDeviceList(QVNasCompletionBlock completion) {
    qvNasAnswerNotAvailable(3, std::move(completion));
}
void QVNasUserService::qvNasUnbindDevice(const QVNasDeviceInfoPtr &, QVNasCompletionBlock completion) {
    qvNasAnswerNotAvailable(0, std::move(completion));
}
