#include "bridge/DeviceSdk.h"

#include "platform/Log.h"

std::shared_ptr<DeviceSdk> DeviceSdk::real() {
    static const auto s = std::make_shared<DeviceSdk>();
    return s;
}

ppc_router_task *DeviceSdk::ppc_start_Service(const char *, ppc_dev_cb, ppc_dev_cb, ppc_usb_status_cb,
                                              const char *, int *error) {
    QVB_LOG_ERROR(QStringLiteral("ppc_start_Service: the service runtime is not available in this build"));
    if (error != nullptr) *error = -1;
    return nullptr;
}

int DeviceSdk::ppc_stop_Service(ppc_router_task *) {
    QVB_LOG_ERROR(QStringLiteral("ppc_stop_Service: the service runtime is not available in this build"));
    return -1;
}

int DeviceSdk::ppc_FileGetList(path_info target, int32_t start, int32_t count, int32_t sortType,
                               file_list_page **out, int64_t token) {
    return ::ppc_FileGetList(&target, start, count, sortType, out, token);
}

int DeviceSdk::ppc_FileIsExist(path_info target, int64_t token) {
    return ::ppc_FileIsExist(&target, token, nullptr);
}

void DeviceSdk::file_list_free(file_dnode *first) {
    ppc_destory_file_list(first);
}
