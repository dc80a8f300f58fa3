#include "service/QVNasAccountService.h"

#include "service/QVNasServiceAnswer.h"

// Not carried out yet: every operation answers 110001.
void QVNasAccountService::qvNasGetRefreshTokenByServiceUserInfo(const QVNasServiceUserInfoPtr &,
                                                                QVNasCompletionBlock completion) {
    qvNasAnswerNotAvailable(0, std::move(completion));
}
void QVNasAccountService::qvNasGetAccessTokenByRefreshToken(const QString &,
                                                            QVNasCompletionBlock completion) {
    qvNasAnswerNotAvailable(0, std::move(completion));
}
