#include "bridge/FakeDeviceSdk.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>

FakeDeviceSdk::~FakeDeviceSdk() {
    for (ppc_router_task *ctx : m_contexts) ppc_router_task_free(ctx);
}

void FakeDeviceSdk::scriptStart(bool createContext, int error) {
    std::lock_guard<std::mutex> l(m_mu);
    m_startContext = createContext;
    m_startError = error;
}

void FakeDeviceSdk::closeListLatch() {
    std::lock_guard<std::mutex> l(m_mu);
    m_latchClosed = true;
    m_passes = 0;
}

void FakeDeviceSdk::releaseListings(int n) {
    {
        std::lock_guard<std::mutex> l(m_mu);
        m_passes += n;
    }
    m_cv.notify_all();
}

void FakeDeviceSdk::openListLatch() {
    {
        std::lock_guard<std::mutex> l(m_mu);
        m_latchClosed = false;
    }
    m_cv.notify_all();
}

int FakeDeviceSdk::blockedListings() const {
    std::lock_guard<std::mutex> l(m_mu);
    return m_blocked;
}

bool FakeDeviceSdk::waitBlocked(int n, int ms) const {
    std::unique_lock<std::mutex> l(m_mu);
    return m_cv.wait_for(l, std::chrono::milliseconds(ms), [&] { return m_blocked >= n; });
}

std::thread::id FakeDeviceSdk::runOnOwnThread(const std::function<void()> &fn) {
    std::thread t(fn);
    const std::thread::id id = t.get_id();
    t.join();
    return id;
}

std::thread::id FakeDeviceSdk::fireDeviceAdd(const qv_dev_detail &detail) {
    ppc_dev_cb cb = nullptr;
    {
        std::lock_guard<std::mutex> l(m_mu);
        if (!m_startCalls.empty()) cb = m_startCalls.back().onDeviceAdd;
    }
    return runOnOwnThread([cb, detail] {
        if (cb) cb(&detail);
    });
}

std::thread::id FakeDeviceSdk::fireDeviceDel(const qv_dev_detail &detail) {
    ppc_dev_cb cb = nullptr;
    {
        std::lock_guard<std::mutex> l(m_mu);
        if (!m_startCalls.empty()) cb = m_startCalls.back().onDeviceDel;
    }
    return runOnOwnThread([cb, detail] {
        if (cb) cb(&detail);
    });
}

std::thread::id FakeDeviceSdk::fireUsbStatus(const std::vector<qv_usb_status> &list) {
    ppc_usb_status_cb cb = nullptr;
    {
        std::lock_guard<std::mutex> l(m_mu);
        if (!m_startCalls.empty()) cb = m_startCalls.back().onUsbStatus;
    }
    return runOnOwnThread([cb, list] {
        if (cb) cb(list.empty() ? nullptr : list.data(), static_cast<int>(list.size()));
    });
}

std::vector<FakeDeviceSdk::StartCall> FakeDeviceSdk::startCalls() const {
    std::lock_guard<std::mutex> l(m_mu);
    return m_startCalls;
}

std::vector<FakeDeviceSdk::ListCall> FakeDeviceSdk::listCalls() const {
    std::lock_guard<std::mutex> l(m_mu);
    return m_listCalls;
}

int FakeDeviceSdk::stopCalls() const {
    std::lock_guard<std::mutex> l(m_mu);
    return m_stopCalls;
}

int FakeDeviceSdk::existsCalls() const {
    std::lock_guard<std::mutex> l(m_mu);
    return m_existsCalls;
}

ppc_router_task *FakeDeviceSdk::ppc_start_Service(const char *cacheDir, ppc_dev_cb onDeviceAdd,
                                                  ppc_dev_cb onDeviceDel, ppc_usb_status_cb onUsbStatus,
                                                  const char *gateway, int *error) {
    std::lock_guard<std::mutex> l(m_mu);
    m_startCalls.push_back(
        {cacheDir ? cacheDir : "", gateway ? gateway : "", onDeviceAdd, onDeviceDel, onUsbStatus});
    if (m_startError != INT_MIN && error != nullptr) *error = m_startError;
    if (!m_startContext) return nullptr;
    ppc_router_task *ctx = ppc_router_task_new();
    m_contexts.push_back(ctx);
    return ctx;
}

int FakeDeviceSdk::ppc_stop_Service(ppc_router_task *context) {
    std::lock_guard<std::mutex> l(m_mu);
    ++m_stopCalls;
    if (m_stopResult == 0) {
        auto it = std::find(m_contexts.begin(), m_contexts.end(), context);
        if (it != m_contexts.end()) {
            ppc_router_task_free(*it);
            m_contexts.erase(it);
        }
    }
    return m_stopResult;
}

int FakeDeviceSdk::ppc_FileGetList(path_info target, int32_t start, int32_t count, int32_t sortType,
                                   file_list_page **out, int64_t token) {
    std::unique_lock<std::mutex> l(m_mu);
    m_listCalls.push_back({target.path ? target.path : "", target.bucketId, start, count, sortType, token});
    if (m_latchClosed) {
        ++m_blocked;
        m_cv.notify_all();
        m_cv.wait(l, [&] { return !m_latchClosed || m_passes > 0; });
        if (m_latchClosed) --m_passes;
        --m_blocked;
    }
    if (m_listResult != 0) return m_listResult;
    if (out == nullptr) return -1;
    auto *page = static_cast<file_list_page *>(std::calloc(1, sizeof(file_list_page)));
    if (page == nullptr) return -1;
    const int n = static_cast<int>(m_page.entries.size());
    page->count = m_page.count >= 0 ? m_page.count : n;
    page->totalCount = m_page.totalCount >= 0 ? m_page.totalCount : n;
    // The list grows at its head: add in reverse to keep the page's order.
    for (auto it = m_page.entries.rbegin(); it != m_page.entries.rend(); ++it) {
        const std::string path = "/fake/" + it->name;
        ppc_add_file_to_list(&page->list, it->noName ? nullptr : it->name.c_str(), it->size, it->date,
                             it->isFolder ? 1 : 0, path.c_str(), target.bucketId, 0, nullptr, 0);
    }
    *out = page;
    return 0;
}

int FakeDeviceSdk::ppc_FileIsExist(path_info, int64_t) {
    std::lock_guard<std::mutex> l(m_mu);
    ++m_existsCalls;
    return m_existsResult;
}
