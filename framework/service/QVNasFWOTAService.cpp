#include "service/QVNasFWOTAService.h"

#include "broker/QVNasPrivateInterfaceProtocol.h"

QVNasRequestInfoPtr QVNasFWOTAService::qvNasHasLatestFWVersionWithLanguage(const QString &language,
                                                                           const QString &ip,
                                                                           QVNasCompletionBlock completion) {
    return QVNasPrivateInterfaceProtocol::defaultProtocolManager().qvNasOTA2HasLatestFWVersionWithLanguage(
        language, ip, std::move(completion));
}

QVNasRequestInfoPtr QVNasFWOTAService::qvNasSetUpgradeWithIp(const QString &ip,
                                                             QVNasFirmwareProgressBlock progressHandel,
                                                             QVNasCompletionBlock completion) {
    return QVNasPrivateInterfaceProtocol::defaultProtocolManager().qvNasSetOTA2UpgradeWithIp(
        ip, std::move(progressHandel), std::move(completion));
}

QVNasRequestInfoPtr QVNasFWOTAService::qvNasListenWithIp(const QString &ip,
                                                         QVNasFirmwareProgressBlock progressHandel,
                                                         QVNasCompletionBlock completion) {
    return QVNasPrivateInterfaceProtocol::defaultProtocolManager().qvNasOTA2ListenWithIp(
        ip, std::move(progressHandel), std::move(completion));
}
