#include "neighbours/QVNasImageDownLibrary.h"

#include <atomic>

#include "platform/MainQueue.h"

namespace {
std::atomic<QVNasImageDownLibrary *> g_library{nullptr};
}  // namespace

QVNasImageDownLibrary &QVNasImageDownLibrary::shareImageDownloadLibrary() {
    static auto *const idle = new QVNasImageDownLibrary;  // never destroyed
    QVNasImageDownLibrary *installed = g_library.load();
    return installed ? *installed : *idle;
}
void QVNasImageDownLibrary::setShareImageDownloadLibrary(QVNasImageDownLibrary *library) {
    g_library.store(library);
}
void QVNasImageDownLibrary::insertToDownloadLibrary(const QVNasImageDownInfoPtr &info,
                                                    QVNasImageDownCompletion completion) {
    plat::MainQueue::post([info, completion = std::move(completion)] {
        if (completion) completion(info, 0.0f);
    });
}
