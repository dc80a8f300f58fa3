#include "neighbours/QVOperateTransportManage.h"

#include <atomic>
#include <mutex>

#include "platform/MainQueue.h"

namespace {
std::atomic<QVOperateTransportManage *> g_transport{nullptr};
std::mutex g_deleteMu;
QVOperateDeleteManage::Maker g_deleteMaker;
}  // namespace

QVOperateTransportManage &QVOperateTransportManage::shareTransportInstance() {
    static auto *const idle = new QVOperateTransportManage;  // never destroyed
    QVOperateTransportManage *installed = g_transport.load();
    return installed ? *installed : *idle;
}
void QVOperateTransportManage::setShareTransportInstance(QVOperateTransportManage *instance) {
    g_transport.store(instance);
}
QVTransportInfoPtr QVOperateTransportManage::uploadTransportInfo() {
    static const auto empty = std::make_shared<QVTransportInfo>();
    return empty;
}
QVTransportInfoPtr QVOperateTransportManage::downloadTransportInfo() {
    static const auto empty = std::make_shared<QVTransportInfo>();
    return empty;
}

std::shared_ptr<QVOperateDeleteManage> QVOperateDeleteManage::create() {
    Maker maker;
    {
        std::lock_guard lock(g_deleteMu);
        maker = g_deleteMaker;
    }
    if (maker)
        if (auto made = maker()) return made;
    return std::make_shared<QVOperateDeleteManage>();
}
void QVOperateDeleteManage::setMaker(Maker maker) {
    std::lock_guard lock(g_deleteMu);
    g_deleteMaker = std::move(maker);
}

// Without the transfers' operation nothing can be deleted: status 2, then 3, on the main thread.
void QVOperateDeleteManage::startDeleteFiles(const QList<QVFileInfoPtr> &, const QList<QVFileInfoPtr> &) {
    const QVOperateStatusBlock status = m_status;
    auto report = [status](int64_t s) {
        auto info = std::make_shared<QVNasTaskOperateStatusInfo>();
        info->status = s;
        if (status) status(info);
    };
    report(2);
    plat::MainQueue::post([report] { report(3); });
}
