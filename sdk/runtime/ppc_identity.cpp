#include "runtime/ppc_identity.h"

#include <cstdio>

#include "base/dev_detail.h"
#include "base/qv_log.h"
#include "command/ppc_qv_client.h"
#include "runtime/ppc_service.h"

exdev_dnode *ppc_device_register(const char *dev_name, const char *dev_uuid, int64_t token) {
    if (dev_name == nullptr || dev_uuid == nullptr) {
        QV_LOG_ERROR("dev_name or dev_uuid is null");
        return nullptr;
    }
    // The external-device list lives as long as the service: hold the service open across the exchange so
    // that a stop cannot free the list between the registration and its entry.
    ppc_call_gate in(ppc_current_context());
    if (!in.ok()) {
        QV_LOG_ERROR("service not running");
        return nullptr;
    }
    qv_dev_detail dev{};
    std::snprintf(dev.device_name, sizeof dev.device_name, "%.64s", dev_name);
    std::snprintf(dev.dev_uuid, sizeof dev.dev_uuid, "%.64s", dev_uuid);
    if (QV_RegisterDevice(&dev, token) != 0) {
        QV_LOG_ERROR("device register error");
        return nullptr;
    }
    return add_exdev_to_list(dev.device_name, dev.dev_uuid);
}

int ppc_get_BindCode(const char *ip, char *bindCode) {
    if (ip == nullptr || bindCode == nullptr) {
        QV_LOG_ERROR("NULL == bindCode");
        return -1;
    }
    return QV_GetBindCode(ip, bindCode);
}

int ppc_get_DeviceID(char *deviceId) {
    if (deviceId == nullptr) {
        QV_LOG_ERROR("NULL == deviceId");
        return -1;
    }
    return QV_GetDeviceID(deviceId);
}

int ppc_get_DeviceVersion(char *version, int64_t token) {
    if (version == nullptr) {
        QV_LOG_ERROR("NULL == version");
        return -1;
    }
    return QV_GetDeviceVersion(version, token);
}

int ppc_GetFuncList(int32_t *funcList, int64_t token) {
    return QV_GetFuncList(funcList, token);
}
