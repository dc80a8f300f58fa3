#include "service/QVNasFWOTAService.h"

#include "service/QVNasServiceAnswer.h"

// Not carried out yet: both requests answer 110001.
QVNasRequestInfoPtr QVNasFWOTAService::qvNasHasLatestFWVersionWithLanguage(const QString &, const QString &,
                                                                           QVNasCompletionBlock completion) {
    return qvNasAnswerNotAvailable(153, std::move(completion));
}
QVNasRequestInfoPtr QVNasFWOTAService::qvNasSetUpgradeWithIp(const QString &, QVNasFirmwareProgressBlock,
                                                             QVNasCompletionBlock completion) {
    return qvNasAnswerNotAvailable(154, std::move(completion));
}
