// The broker's QR-code login (332-341) and firmware (153, 154, 156) requests.
#include "broker/QVNasPrivateInterfaceProtocol.h"

namespace {

using Op = void (QVNasSDKManagerDevice::*)(const QVNasTaskInfoPtr &);

QVNasPrivateInterfaceProtocol::BridgeOperation device(Op op) {
    return [op](QVNasSDKManager &lib, const QVNasTaskInfoPtr &task) {
        (static_cast<QVNasSDKManagerDevice &>(lib).*op)(task);
    };
}

QString orEmpty(const QString &text) {
    return text.isNull() ? QStringLiteral("") : text;
}

}  // namespace

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasQRCodeServiceInitCompletion(
    QVNasCompletionBlock completion) {
    return submitRequest(332, {}, std::move(completion), {},
                         device(&QVNasSDKManagerDevice::qvDQRCodeServiceInit));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasQRCodeServiceCreateCompletion(
    QVNasCompletionBlock completion) {
    return submitRequest(333, {}, std::move(completion), {},
                         device(&QVNasSDKManagerDevice::qvDQRCodeServiceCreate));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasQRCodeServiceStartRequestCompletion(
    QVNasCompletionBlock completion) {
    return submitRequest(334, {}, std::move(completion), {},
                         device(&QVNasSDKManagerDevice::qvDQRCodeServiceStartRequestAuthCode));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasQRCodeServiceStopRequestCompletion(
    QVNasCompletionBlock completion) {
    // Only sets a flag: on the small lane, so that it never waits behind the start it stops.
    return submitRequest(335, {}, std::move(completion), {},
                         device(&QVNasSDKManagerDevice::qvDQRCodeServiceStopRequestAuthCode), Lane::Mark);
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasqvQRCodeServiceOpenAuthCodeListenerWithAuthId(
    const QString &authId, QVNasRefreshTokenBlock handel, QVNasCompletionBlock completion) {
    // Kept before the bridge registers anything; an earlier handler is dropped uncalled.
    setQvQrcodeSendRefreshTokenHandel(std::move(handel));
    return submitRequest(336, {{QStringLiteral("authId"), orEmpty(authId)}}, std::move(completion), {},
                         device(&QVNasSDKManagerDevice::qvDQRCodeServiceSetAuthListener));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasqvQRCodeServiceOpenUserInfoListenerWithAuthId(
    const QString &authId, QVNasServiceUserBlock handel, QVNasCompletionBlock completion) {
    setQvQrcodeSendUserHandel(std::move(handel));
    return submitRequest(337, {{QStringLiteral("authId"), orEmpty(authId)}}, std::move(completion), {},
                         device(&QVNasSDKManagerDevice::qvDQRCodeServiceSetUserListener));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasqvQRCodeServiceReleaseCompletion(
    QVNasCompletionBlock completion) {
    return submitRequest(338, {}, std::move(completion), {},
                         device(&QVNasSDKManagerDevice::qvDQRCodeServiceRelease));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasQRCodeServiceGetRequestInfo(
    const QString &authUrl, QVNasCompletionBlock completion) {
    return submitRequest(339, {{QStringLiteral("authUrl"), orEmpty(authUrl)}}, std::move(completion), {},
                         device(&QVNasSDKManagerDevice::qvDQRCodeServiceGetRequestInfo));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasQRCodeServiceSendUserInfo(
    const QString &nickName, const QString &imageUrl, const QString &authUrl,
    QVNasCompletionBlock completion) {
    QVariantMap dict;
    dict.insert(QStringLiteral("nickName"), orEmpty(nickName));
    dict.insert(QStringLiteral("imageUrl"), orEmpty(imageUrl));
    dict.insert(QStringLiteral("authUrl"), orEmpty(authUrl));
    return submitRequest(340, dict, std::move(completion), {},
                         device(&QVNasSDKManagerDevice::qvDQRCodeServiceSendUserInfo));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasQRCodeServiceSendAuthCode(
    const QString &authCode, const QString &authUrl, QVNasCompletionBlock completion) {
    QVariantMap dict;
    dict.insert(QStringLiteral("authCode"), orEmpty(authCode));
    dict.insert(QStringLiteral("authUrl"), orEmpty(authUrl));
    return submitRequest(341, dict, std::move(completion), {},
                         device(&QVNasSDKManagerDevice::qvDQRCodeServiceSendAuthCode));
}

// ---- firmware ----

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasOTA2HasLatestFWVersionWithLanguage(
    const QString &language, const QString &ip, QVNasCompletionBlock completion) {
    QVariantMap dict;
    dict.insert(QStringLiteral("language"), orEmpty(language));
    dict.insert(QStringLiteral("ip"), orEmpty(ip));
    return submitRequest(153, dict, std::move(completion), {},
                         device(&QVNasSDKManagerDevice::qvDOTA2HasLatestVersionWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasSetOTA2UpgradeWithIp(
    const QString &ip, QVNasFirmwareProgressBlock progressHandel, QVNasCompletionBlock completion) {
    QVNasProgressHandel progress;
    if (progressHandel) progress = std::move(progressHandel);
    return submitRequest(154, {{QStringLiteral("ip"), orEmpty(ip)}}, std::move(completion),
                         std::move(progress), device(&QVNasSDKManagerDevice::qvDSetOTA2UpgradeWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasOTA2ListenWithIp(
    const QString &ip, QVNasFirmwareProgressBlock progressHandel, QVNasCompletionBlock completion) {
    QVNasProgressHandel progress;
    if (progressHandel) progress = std::move(progressHandel);
    return submitRequest(156, {{QStringLiteral("ip"), orEmpty(ip)}}, std::move(completion),
                         std::move(progress), device(&QVNasSDKManagerDevice::qvDOTA2ListenWithTask));
}
