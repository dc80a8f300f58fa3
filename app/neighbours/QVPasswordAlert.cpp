#include "neighbours/QVPasswordAlert.h"

#include <mutex>

#include "platform/MainQueue.h"

namespace {
std::mutex g_mu;
QVPasswordAlert::Maker g_maker;
}  // namespace

std::shared_ptr<QVPasswordAlert> QVPasswordAlert::create() {
    Maker maker;
    {
        std::lock_guard lock(g_mu);
        maker = g_maker;
    }
    if (maker)
        if (auto made = maker()) return made;
    return std::make_shared<QVPasswordAlert>();
}
void QVPasswordAlert::setMaker(Maker maker) {
    std::lock_guard lock(g_mu);
    g_maker = std::move(maker);
}

// Without a dialog the alert counts as cancelled.
void QVPasswordAlert::passwordBeginSheetModalForWindowCompletionHandler(
    QVPasswordAlertCompletion completion) {
    plat::MainQueue::post([completion = std::move(completion)] {
        if (completion) completion(1001, QStringLiteral(""));
    });
}

bool QVPasswordAlert::isCheckable(const QString &password, const QString &confirmation) {
    return password.size() >= 2 && confirmation.size() >= 2;
}
bool QVPasswordAlert::isLegalPair(const QString &password, const QString &confirmation) {
    return isCheckable(password, confirmation) && password == confirmation && password.size() >= 6 &&
           password.size() <= 32;
}
