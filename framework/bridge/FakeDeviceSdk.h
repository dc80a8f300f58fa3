// A scripted device SDK for tests and benchmarks: results set per function, folder pages built with the
// SDK's own list helpers, listings that block on a latch, and the SDK's callbacks fired from a thread of
// its own.
#pragma once

#include <QByteArray>
#include <QString>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bridge/DeviceSdk.h"

class FakeDeviceSdk final : public DeviceSdk {
  public:
    struct Entry {
        std::string name;  // raw bytes; empty with `noName` gives a node without a name text
        int64_t size = 0;
        int64_t date = 0;
        bool isFolder = false;
        bool noName = false;
    };
    struct Page {
        int32_t count = -1;       // reported page count; -1: the number of entries
        int32_t totalCount = -1;  // reported total; -1: the number of entries
        std::vector<Entry> entries;
    };
    struct StartCall {
        std::string cacheDir;
        std::string gateway;
        ppc_dev_cb onDeviceAdd = nullptr;
        ppc_dev_cb onDeviceDel = nullptr;
        ppc_usb_status_cb onUsbStatus = nullptr;
    };
    struct ListCall {
        std::string path;
        int32_t bucketId = 0;
        int32_t start = 0;
        int32_t count = 0;
        int32_t sortType = 0;
        int64_t token = 0;
    };

    ~FakeDeviceSdk() override;

    // ---- script ----
    // Start: with `createContext` a context comes back; `error` is written to the error variable unless
    // it is INT32_MIN (never written).
    void scriptStart(bool createContext, int error);
    void scriptStop(int result) {
        std::lock_guard<std::mutex> l(m_mu);
        m_stopResult = result;
    }
    void scriptList(int result) {
        std::lock_guard<std::mutex> l(m_mu);
        m_listResult = result;
    }
    void scriptExists(int result) {
        std::lock_guard<std::mutex> l(m_mu);
        m_existsResult = result;
    }
    void setPage(Page page) {
        std::lock_guard<std::mutex> l(m_mu);
        m_page = std::move(page);
    }
    // While closed, every listing blocks until released.
    void closeListLatch();
    void releaseListings(int n);  // lets n blocked or later listings through
    void openListLatch();         // lets every listing through from now on
    int blockedListings() const;
    // Blocks (spinning no loop) until `n` listings are blocked; false after `ms`.
    bool waitBlocked(int n, int ms) const;

    // ---- callbacks, each fired on a thread of the fake's own and joined ----
    std::thread::id fireDeviceAdd(const qv_dev_detail &detail);
    std::thread::id fireDeviceDel(const qv_dev_detail &detail);
    std::thread::id fireUsbStatus(const std::vector<qv_usb_status> &list);

    // ---- what was called ----
    std::vector<StartCall> startCalls() const;
    std::vector<ListCall> listCalls() const;
    int stopCalls() const;
    int existsCalls() const;

    // ---- DeviceSdk ----
    ppc_router_task *ppc_start_Service(const char *cacheDir, ppc_dev_cb onDeviceAdd, ppc_dev_cb onDeviceDel,
                                       ppc_usb_status_cb onUsbStatus, const char *gateway,
                                       int *error) override;
    int ppc_stop_Service(ppc_router_task *context) override;
    int ppc_FileGetList(path_info target, int32_t start, int32_t count, int32_t sortType,
                        file_list_page **out, int64_t token) override;
    int ppc_FileIsExist(path_info target, int64_t token) override;

  private:
    std::thread::id runOnOwnThread(const std::function<void()> &fn);

    mutable std::mutex m_mu;
    mutable std::condition_variable m_cv;
    bool m_startContext = true;
    int m_startError = 0;
    int m_stopResult = 0;
    int m_listResult = 0;
    int m_existsResult = 0;
    Page m_page;
    bool m_latchClosed = false;
    int m_passes = 0;
    int m_blocked = 0;
    std::vector<StartCall> m_startCalls;
    std::vector<ListCall> m_listCalls;
    int m_stopCalls = 0;
    int m_existsCalls = 0;
    std::vector<ppc_router_task *> m_contexts;  // live contexts, freed by a stop of 0 or the fake's end
};
