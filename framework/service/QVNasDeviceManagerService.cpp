// The device manager's QR-code login requests: forwarded to the broker as they come.
#include "service/QVNasDeviceManagerService.h"

#include "broker/QVNasPrivateInterfaceProtocol.h"

namespace {

QVNasPrivateInterfaceProtocol &broker() {
    return QVNasPrivateInterfaceProtocol::defaultProtocolManager();
}

}  // namespace

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasQRCodeServiceInitCompletion(
    QVNasCompletionBlock completion) {
    return broker().qvNasQRCodeServiceInitCompletion(std::move(completion));
}
QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasQRCodeServiceCreateCompletion(
    QVNasCompletionBlock completion) {
    return broker().qvNasQRCodeServiceCreateCompletion(std::move(completion));
}
QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasQRCodeServiceStartRequestCompletion(
    QVNasCompletionBlock completion) {
    return broker().qvNasQRCodeServiceStartRequestCompletion(std::move(completion));
}
QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasqvQRCodeServiceOpenAuthCodeListenerWithAuthId(
    const QString &authId, QVNasRefreshTokenBlock handel, QVNasCompletionBlock completion) {
    return broker().qvNasqvQRCodeServiceOpenAuthCodeListenerWithAuthId(authId, std::move(handel),
                                                                       std::move(completion));
}
QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasqvQRCodeServiceOpenUserInfoListenerWithAuthId(
    const QString &authId, QVNasServiceUserBlock handel, QVNasCompletionBlock completion) {
    return broker().qvNasqvQRCodeServiceOpenUserInfoListenerWithAuthId(authId, std::move(handel),
                                                                       std::move(completion));
}
