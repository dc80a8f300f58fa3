#include "service/QVNasUserService.h"

#include "broker/QVNasPrivateInterfaceProtocol.h"
#include "cloud/QVInterfaceManage.h"

namespace {

constexpr qsizetype kUploadLimit = 1048576;

QVNasPrivateInterfaceProtocol &broker() {
    return QVNasPrivateInterfaceProtocol::defaultProtocolManager();
}

}  // namespace

void QVNasUserService::setAccessToken(const QString &accessToken) {
    std::lock_guard lock(m_mu);
    m_accessToken = accessToken;
}
QString QVNasUserService::accessToken() const {
    std::lock_guard lock(m_mu);
    return m_accessToken;
}
QVInterfaceManage &QVNasUserService::interfaceManage() const {
    return m_api ? *m_api : QVInterfaceManage::sharedApiManage();
}

void QVNasUserService::qvNasGetUserInfo(QVNasCompletionBlock completion) {
    interfaceManage().qvOAuth2ServiceGetUserInfoWithAkToken(accessToken(), std::move(completion));
}
void QVNasUserService::qvNasAddUserStatusChangedListenWithServiceUserId(const QString &serviceUserId,
                                                                        QVNasCompletionBlock completion) {
    broker().qvNasAddUserStatusChangedListenWithServiceUserId(serviceUserId, std::move(completion));
}
void QVNasUserService::qvNasGetBindDeviceInfoList(QVNasCompletionBlock completion) {
    interfaceManage().qvOAuth2ServiceGetBindListWithAkToken(accessToken(), std::move(completion));
}
void QVNasUserService::qvNasGetCanBindDeviceList(QVNasCompletionBlock completion) {
    broker().qvNasGetDeviceInfoListWithCompletion(std::move(completion));
}
void QVNasUserService::qvNasUnbindDevice(const QVNasDeviceInfoPtr &device, QVNasCompletionBlock completion) {
    interfaceManage().qvOAuth2ServiceUnbindDevice(device, accessToken(), std::move(completion));
}
void QVNasUserService::qvNasSetNickName(const QString &nickName, QVNasCompletionBlock completion) {
    interfaceManage().qvOAuth2ServiceUpdateUserNickName(nickName, accessToken(), std::move(completion));
}
void QVNasUserService::qvNasSetUserImagePath(const QString &imagePath, QVNasCompletionBlock completion) {
    interfaceManage().qvOAuth2ServiceUpdateUserHeaderImagePath(imagePath, accessToken(),
                                                               std::move(completion));
}
void QVNasUserService::qvNasUploadImage(const QByteArray &jpeg, QVNasCompletionBlock completion) {
    interfaceManage().qvOAuth2ServiceUploadUserHeaderImage(jpeg, accessToken(), std::move(completion));
}
void QVNasUserService::qvNasGetUserShareInfo(QVNasCompletionBlock completion) {
    interfaceManage().qvOAuth2GetUserShareInfoByAkToken(accessToken(), std::move(completion));
}

QByteArray QVNasUserService::qvNasJpegForUpload(const std::function<QByteArray(double quality)> &encode) {
    const QByteArray first = encode(0.9);
    if (first.size() <= kUploadLimit) return first;
    return encode(static_cast<double>(kUploadLimit) / static_cast<double>(first.size()));
}
