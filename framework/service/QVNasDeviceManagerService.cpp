#include "service/QVNasDeviceManagerService.h"

#include "service/QVNasServiceAnswer.h"

// Not carried out yet: every request answers 110001; no handler is kept.
QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasQRCodeServiceInitCompletion(
    QVNasCompletionBlock completion) {
    return qvNasAnswerNotAvailable(332, std::move(completion));
}
QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasQRCodeServiceCreateCompletion(
    QVNasCompletionBlock completion) {
    return qvNasAnswerNotAvailable(333, std::move(completion));
}
QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasQRCodeServiceStartRequestCompletion(
    QVNasCompletionBlock completion) {
    return qvNasAnswerNotAvailable(334, std::move(completion));
}
QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasqvQRCodeServiceOpenAuthCodeListenerWithAuthId(
    const QString &, QVNasRefreshTokenBlock, QVNasCompletionBlock completion) {
    return qvNasAnswerNotAvailable(336, std::move(completion));
}
QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasqvQRCodeServiceOpenUserInfoListenerWithAuthId(
    const QString &, QVNasServiceUserBlock, QVNasCompletionBlock completion) {
    return qvNasAnswerNotAvailable(337, std::move(completion));
}
