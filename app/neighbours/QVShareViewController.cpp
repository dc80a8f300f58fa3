#include "neighbours/QVShareViewController.h"

#include <mutex>

namespace {
std::mutex g_mu;
QVShareViewController::Maker g_maker;
}  // namespace

std::shared_ptr<QVShareViewController> QVShareViewController::create() {
    Maker maker;
    {
        std::lock_guard lock(g_mu);
        maker = g_maker;
    }
    return maker ? maker() : nullptr;
}
void QVShareViewController::setMaker(Maker maker) {
    std::lock_guard lock(g_mu);
    g_maker = std::move(maker);
}
