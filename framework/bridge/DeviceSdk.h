// The bridge's port to the device SDK: one method per SDK function it uses, same name and parameters. This
// header and the bridge's sources are the only framework files that include SDK headers, and they include
// the runtime's alone. The real port forwards to the runtime; FakeDeviceSdk scripts it for tests.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "runtime/ppc_forward.h"
#include "runtime/ppclib.h"

class DeviceSdk {
  public:
    virtual ~DeviceSdk() = default;

    // The process's real port.
    static std::shared_ptr<DeviceSdk> real();

    // Starts the SDK service: a new context, or null with the failing step's code in `*error` (0 when it
    // was never written). Not in this SDK yet: null, -1 and a log line.
    virtual ppc_router_task *ppc_start_Service(const char *cacheDir, ppc_dev_cb onDeviceAdd,
                                               ppc_dev_cb onDeviceDel, ppc_usb_status_cb onUsbStatus,
                                               const char *gateway, int *error);
    // Stops the service; 0 means the context was released. Not in this SDK yet: -1 and a log line.
    virtual int ppc_stop_Service(ppc_router_task *context);
    // Folder page (101): on 0 the page is the caller's, freed with file_list_free and then free().
    virtual int ppc_FileGetList(path_info target, int32_t start, int32_t count, int32_t sortType,
                                file_list_page **out, int64_t token);
    // Does the path exist (104): 0 when it does.
    virtual int ppc_FileIsExist(path_info target, int64_t token);
    // Frees a node list from its first node.
    virtual void file_list_free(file_dnode *first);
};
using DeviceSdkPtr = std::shared_ptr<DeviceSdk>;

// A page the SDK handed over: the nodes and then the holder are freed with the port's functions.
class SdkOwnedPage {
  public:
    SdkOwnedPage(DeviceSdk &sdk, file_list_page *page) : m_sdk(sdk), m_page(page) {}
    ~SdkOwnedPage() {
        if (m_page == nullptr) return;
        m_sdk.file_list_free(m_page->list);
        std::free(m_page);
    }
    SdkOwnedPage(const SdkOwnedPage &) = delete;
    SdkOwnedPage &operator=(const SdkOwnedPage &) = delete;
    const file_list_page *get() const { return m_page; }

  private:
    DeviceSdk &m_sdk;
    file_list_page *m_page;
};
