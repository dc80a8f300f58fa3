// The device-user calls (version, login, logout, bind code, device id, registration, function list, device
// information, router and firmware settings) and their processor.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/device_user_process.h"
#include "command/frame_state.h"
#include "command/net_transport.h"
#include "command/ppc_qv_client.h"
#include "command/task_process.h"

int _handle_net_device_user_task(client_info *info) {
    if (info == nullptr) return QV_ERR_ARG;
    if (info->timeout == 0) info->timeout = QV_DEFAULT_TIMEOUT_MS;
    int ret = 0;
    if (DeviceUser_RequestProcess(info) < 0) {
        ret = QV_ERR_NOT_BUILT;
    } else {
        char url[1024];
        std::snprintf(url, sizeof url, "http://%s:%d", info->ip, info->port);
        uint64_t len = 0;
        ret = qv_net_post(url, info->retstr, info->timeout, &info->recv_buf, &len, nullptr);
        if (ret != 0) {
            QV_LOG_ERROR("qv net post error %d :%s", info->cmd, url);
        } else {
            // The login reply hands out the session token: never logged; the others echo it, masked.
            if (info->cmd != 2)
                QV_LOG_DEBUG("p_client_info->recv_buf = %s",
                             qv_redacted_reply(info->recv_buf, info->token).c_str());
            ret = DeviceUser_ParseProcess(info);  // no reply text: -1
            if (ret != 0) QV_LOG_DEBUG("parser json error");
        }
    }
    std::free(info->recv_buf);
    info->recv_buf = nullptr;
    std::free(info->retstr);
    info->retstr = nullptr;
    return ret;
}

int QV_GetDeviceVersion(char *out, int64_t token) {
    if (out == nullptr) return QV_ERR_ARG;
    client_info ci;
    qv_frame_init(&ci, 1, token, QV_ADDR_CURRENT_QUIET);
    // The cache belongs to the device it was read from: another device is asked again.
    if (qv_frame_cached_version(ci.ip, out, sizeof ci.ver)) return 0;
    const int ret = _handle_net_device_user_task(&ci);
    if (ret != 0) return ret;
    qv_frame_store_version(ci.ip, ci.ver);
    std::snprintf(out, sizeof ci.ver, "%s", ci.ver);
    return 0;
}

int QV_LoginVantor(const char *addr, const char *authCode, int64_t *token) {
    if (token == nullptr) return QV_ERR_ARG;
    client_info ci;
    if (qv_frame_init_addr(&ci, 2, 0, addr) != 0) return QV_ERR_ARG;
    ci.authCode = authCode;
    ci.loginPort = QV_DEVICE_USER_LOGIN_PORT;
    // The reply header must bring the session token; the record's token starts at 0 and only a
    // "token" member changes it, so a sentinel tells a missing one from a real one.
    constexpr int64_t kNoToken = INT64_MIN;
    ci.token = kNoToken;
    int ret = _handle_net_device_user_task(&ci);
    if (ret == 0 && ci.token == kNoToken) {
        QV_LOG_ERROR("login reply without token");
        ret = QV_ERR_FAILED;
    }
    if (ret != 0) {
        QV_LOG_ERROR("login error");
        return ret;
    }
    // Only a successful login changes the device the later calls go to.
    qv_frame_set_current_device(addr);
    *token = ci.token;
    return 0;
}

int QV_LogoutVantor(int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 3, token, QV_ADDR_CURRENT);
    ci.timeout = 200;
    return _handle_net_device_user_task(&ci);
}

int QV_GetBindCode(const char *addr, char *out) {
    if (out == nullptr) return QV_ERR_ARG;
    client_info ci;
    if (qv_frame_init_addr(&ci, 10, 0, addr) != 0) return QV_ERR_ARG;
    const int ret = _handle_net_device_user_task(&ci);
    if (ret == 0) std::snprintf(out, sizeof ci.bindCode, "%s", ci.bindCode);
    return ret;
}

int QV_GetDeviceID(char *out) {
    if (out == nullptr) return QV_ERR_ARG;
    client_info ci;
    qv_frame_init(&ci, 11, 0, QV_ADDR_CURRENT);
    const int ret = _handle_net_device_user_task(&ci);
    if (ret == 0) std::snprintf(out, sizeof ci.deviceId, "%s", ci.deviceId);
    return ret;
}

int QV_RegisterDevice(const qv_dev_detail *dev, int64_t token) {
    if (dev == nullptr) return QV_ERR_ARG;
    // The record's texts are read within their fields, whether or not the caller ended them.
    char name[sizeof dev->device_name];
    char uuid[sizeof dev->dev_uuid];
    std::snprintf(name, sizeof name, "%.*s", static_cast<int>(sizeof name - 1), dev->device_name);
    std::snprintf(uuid, sizeof uuid, "%.*s", static_cast<int>(sizeof uuid - 1), dev->dev_uuid);
    client_info ci;
    qv_frame_init(&ci, 12, token, QV_ADDR_CURRENT);
    ci.deviceName = name;
    ci.deviceUuid = uuid;
    const int ret = _handle_net_device_user_task(&ci);
    if (ret != 0) QV_LOG_ERROR("register device error");
    return ret;
}

int QV_GetFuncList(int32_t *statusFlag, int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 15, token, QV_ADDR_CURRENT);
    const int ret = _handle_net_device_user_task(&ci);
    if (ret == 0 && statusFlag != nullptr) *statusFlag = ci.statusFlag;
    return ret;
}

int QV_GeNasDeviceInfo(nas_device_info *info, int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 249, token, QV_ADDR_CURRENT);
    ci.nasDeviceInfo = info;
    return _handle_net_device_user_task(&ci);
}

int QV_RouterSetUdiskUpgrade(int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 48, token, QV_ADDR_CURRENT);
    return _handle_net_device_user_task(&ci);
}

int QV_RouterSetSyncTime(time_sync_info *sync, int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 50, token, QV_ADDR_CURRENT);
    ci.syncTime = sync;
    return _handle_net_device_user_task(&ci);
}

int QV_RouterSetSyncSystem(sys_sync_info *sync, int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 51, token, QV_ADDR_CURRENT);
    ci.syncSystem = sync;
    return _handle_net_device_user_task(&ci);
}

int QV_RouterGetFWVersion(char *out, int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 52, token, QV_ADDR_CURRENT);
    ci.fwVersion = out;
    return _handle_net_device_user_task(&ci);
}

int QV_RouterGetVersionFlag(int32_t *flag, int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 55, token, QV_ADDR_CURRENT);
    const int ret = _handle_net_device_user_task(&ci);
    if (ret != 0) {
        QV_LOG_ERROR("get version flag error");
        return ret;
    }
    if (flag != nullptr) *flag = ci.version_flag;
    return 0;
}

int QV_RouterSetVersionFlag(int32_t flag, int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 56, token, QV_ADDR_CURRENT);
    ci.version_flag = flag;
    return _handle_net_device_user_task(&ci);
}

int QV_RouterSetUpgradeFW(int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 58, token, QV_ADDR_CURRENT);
    return _handle_net_device_user_task(&ci);
}
