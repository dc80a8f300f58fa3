#include "service/QVNasAccountService.h"

#include "cloud/QVInterfaceManage.h"
#include "platform/Clock.h"

namespace {

// `base` is the account host's HTTPS base URL; a page is never sent over plain HTTP.
QUrl accountPage(const QString &base, const char *page) {
    QUrl url(base + QString::fromLatin1(page));
    if (url.scheme() == QLatin1String("http")) url.setScheme(QStringLiteral("https"));
    url.setQuery(QString::asprintf("%f", static_cast<double>(plat::Clock::nowMs()) / 1000.0));
    return url;
}

}  // namespace

QVInterfaceManage &QVNasAccountService::interfaceManage() const {
    return m_api ? *m_api : QVInterfaceManage::sharedApiManage();
}

void QVNasAccountService::qvNasGetRefreshTokenByServiceUserInfo(
    const QVNasServiceUserInfoPtr &serviceUserInfo, QVNasCompletionBlock completion) {
    interfaceManage().qvOAuth2ServiceLogin(serviceUserInfo, std::move(completion));
}

void QVNasAccountService::qvNasGetAccessTokenByRefreshToken(const QString &refreshToken,
                                                            QVNasCompletionBlock completion) {
    interfaceManage().qvOAuth2GetAccessToken(refreshToken, std::move(completion));
}

QUrl QVNasAccountService::qvNasGetRegisterUrl() const {
    return accountPage(interfaceManage().config().accountBase, "/api/mobile/register.html");
}

QUrl QVNasAccountService::qvNasGetResetUrl() const {
    return accountPage(interfaceManage().config().accountBase, "/api/mobile/reset.html");
}
