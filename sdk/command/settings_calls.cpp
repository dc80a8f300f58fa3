// Device settings and status calls: name, reboot, Samba, sleep time, time zone, SMART, the firmware check
// and the device status with its firmware fallback.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/qv_strlcpy.h"
#include "command/device_calls.h"
#include "command/ppc_qv_client.h"
#include "command/task_process.h"

namespace {

// Longest time-zone text the device takes.
constexpr size_t kTimeZoneMax = 16;
// Device status that reports a forced firmware update.
constexpr int32_t kStatusForcedUpdate = 1000;
// 164: the device forces the update (not a failure).
constexpr int kForcedUpdate = 10284;

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <typename T>
using HeapPtr = std::unique_ptr<T, FreeDeleter>;

template <typename T>
HeapPtr<T> zalloc_block() {
    return HeapPtr<T>(static_cast<T *>(std::calloc(1, sizeof(T))));
}

int current_call(int32_t cmd, int64_t token) {
    client_info ci;
    qv_frame_init(&ci, cmd, token, QV_ADDR_CURRENT);
    return _qv_net_prcs_task(&ci);
}

// Transport failures: no connection, nothing or not all received. Everything else came from a device that
// answered (its header error, a reply the codec or the parser refused).
bool transport_failure(int ret) {
    return (ret < 0 && ret != QV_ERR_ARG) || ret == QV_ERR_RECV || ret == QV_ERR_NET ||
           ret == QV_ERR_DL_CLOSED;
}

}  // namespace

int QV_AdminSetDeviceReboot(int64_t token) {
    return current_call(333, token);
}

int QV_GetDeviceNickName(char *nickName, int64_t token) {
    if (nickName == nullptr) return QV_ERR_ARG;
    client_info ci;
    qv_frame_init(&ci, 171, token, QV_ADDR_CURRENT);
    ci.deviceNickName = nickName;
    return _qv_net_prcs_task(&ci);
}

int QV_SetDeviceNickName(const char *nickName, int64_t token) {
    if (nickName == nullptr) return QV_ERR_ARG;
    client_info ci;
    qv_frame_init(&ci, 172, token, QV_ADDR_CURRENT);
    ci.deviceNickName = const_cast<char *>(nickName);  // only read by the builder
    return _qv_net_prcs_task(&ci);
}

int QV_SetRecentRecordHide(const qv_record_hide *record, int64_t token) {
    if (record == nullptr) return QV_ERR_ARG;
    client_info ci;
    qv_frame_init(&ci, 169, token, QV_ADDR_CURRENT);
    ci.req.recentRecordHide = const_cast<qv_record_hide *>(record);  // only read by the builder
    return _qv_net_prcs_task(&ci);
}

int QV_OTA2HasLatestVersion(const char *language, const char *ip, soft_version_info *info, int *force,
                            int *status, int64_t token) {
    if (language == nullptr || info == nullptr || force == nullptr || status == nullptr) return QV_ERR_ARG;
    client_info ci;
    if (qv_frame_init_addr(&ci, 164, token, ip) != 0) return QV_ERR_ARG;
    ci.language = language;
    ci.svi = info;
    const int ret = _qv_net_prcs_task(&ci);
    if (ret != QV_OK) return ret;
    *force = ci.force;
    *status = ci.status;
    return ci.force == 1 ? kForcedUpdate : QV_OK;
}

int QV_DGetDeviceStatus(qv_dev_status *devStatus, const char *ip, int64_t token) {
    if (devStatus == nullptr) return QV_ERR_ARG;
    client_info ci;
    if (qv_frame_init_addr(&ci, 20, token, ip) != 0) return QV_ERR_ARG;
    const int ret = _qv_net_prcs_task(&ci);
    if (ret == QV_OK) {
        devStatus->status = ci.status;
        switch (ci.status) {
            case 3001:
                devStatus->initMode = ci.initMode;
                break;
            case 3003:
                devStatus->dataSyncTime = ci.dataSyncTime;
                break;
            case 3005:
                devStatus->curDiskCapacity = ci.curDiskCapacity;
                devStatus->expanCapacity = ci.expanCapacity;
                devStatus->expanTime = ci.expanTime;
                break;
            default:
                break;
        }
        return QV_OK;
    }
    QV_LOG_ERROR("check device status error, ret = %d", ret);
    // A device that answered with a refusal is not ready: only an exchange that never completed goes to
    // the framed firmware check, whose answer then decides.
    if (!transport_failure(ret)) return ret;
    auto svi = zalloc_block<soft_version_info>();
    if (!svi) return QV_ERR_SOCK_ALLOC;
    char language[64] = "zh";
    const int32_t port = ci.port;
    qv_frame_init_addr(&ci, 164, token, ip);
    ci.port = port;
    ci.language = language;
    ci.svi = svi.get();
    const int ret2 = _qv_check_prcs_task(&ci);
    if (ret2 != QV_OK) {
        QV_LOG_ERROR("ota query error,ret = %d", ret2);
        return ret2;
    }
    if (ci.force == 1) {
        devStatus->status = kStatusForcedUpdate;
        qv_strlcpy(devStatus->product, svi->product, sizeof devStatus->product);
        qv_strlcpy(devStatus->version, svi->version, sizeof devStatus->version);
        qv_strlcpy(devStatus->description, svi->description, sizeof devStatus->description);
        devStatus->size = svi->size;
        QV_LOG_MSG("device need to force ota ,devStatus->status = %d", devStatus->status);
    }
    return QV_OK;
}

int QV_GetSambaStatus(int *status, int64_t token) {
    if (status == nullptr) return QV_ERR_ARG;
    client_info ci;
    qv_frame_init(&ci, 319, token, QV_ADDR_CURRENT);
    const int ret = _qv_net_prcs_task(&ci);
    if (ret == QV_OK) *status = ci.samba_enabled == 5 ? 5 : 1;
    return ret;
}

int QV_SetSambaStatus(int enabled, int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 320, token, QV_ADDR_CURRENT);
    ci.samba_enabled = enabled;
    return _qv_net_prcs_task(&ci);
}

int QV_NotifyServerDataSync() {
    return current_call(166, 0);  // its header carries no token
}

int QV_AdminSetDeviceSleepTime(int64_t token, int64_t time) {
    auto block = zalloc_block<dev_sleep_time_req>();
    if (!block) return QV_ERR_SOCK_ALLOC;
    block->time = time;
    client_info ci;
    qv_frame_init(&ci, 334, token, QV_ADDR_CURRENT);
    ci.req.devSleepTime = block.get();
    const int ret = _qv_net_prcs_task(&ci);
    if (ret != QV_OK) QV_LOG_ERROR("set sleep time failed, ret=%d", ret);
    return ret;
}

int QV_AdminGetDeviceSleepTime(int64_t token, int64_t *time) {
    if (time == nullptr) return QV_ERR_ARG;
    auto block = zalloc_block<dev_sleep_time_req>();
    if (!block) return QV_ERR_SOCK_ALLOC;
    client_info ci;
    qv_frame_init(&ci, 335, token, QV_ADDR_CURRENT);
    ci.req.devSleepTime = block.get();
    const int ret = _qv_net_prcs_task(&ci);
    if (ret != QV_OK) {
        QV_LOG_ERROR("get sleep time failed, ret=%d", ret);
        return ret;
    }
    *time = block->time;
    return ret;
}

int QV_AdminSetDeviceTimeZone(const char *timeZone, int64_t token) {
    if (timeZone == nullptr || timeZone[0] == '\0') {
        QV_LOG_ERROR("para is error, timeZone: %s", timeZone != nullptr ? timeZone : "(null)");
        return QV_ERR_ARG;
    }
    auto block = zalloc_block<time_zone_req>();
    if (!block) return QV_ERR_SOCK_ALLOC;
    qv_strlcpy(block->timeZone, timeZone, kTimeZoneMax + 1);
    client_info ci;
    qv_frame_init(&ci, 338, token, QV_ADDR_CURRENT);
    ci.req.pTimeZone = block.get();
    const int ret = _qv_net_prcs_task(&ci);
    if (ret != QV_OK) QV_LOG_ERROR("set time zone failed, ret=%d", ret);
    return ret;
}

int QV_AdminGetDeviceTimeZone(char *buf, int size, int64_t token) {
    if (buf == nullptr) {
        QV_LOG_ERROR("para is error, timeZone: %s", "(null)");
        return QV_ERR_ARG;
    }
    auto block = zalloc_block<time_zone_req>();
    if (!block) return QV_ERR_SOCK_ALLOC;
    client_info ci;
    qv_frame_init(&ci, 339, token, QV_ADDR_CURRENT);
    ci.req.pTimeZone = block.get();
    const int ret = _qv_net_prcs_task(&ci);
    if (ret != QV_OK) {
        QV_LOG_ERROR("get time zone failed, ret=%d", ret);
        return ret;
    }
    if (size > 0) qv_strlcpy(buf, block->timeZone, static_cast<size_t>(size));
    return ret;
}

int QV_AdminGetDeviceTimeZoneList(qv_zone_list **list, int64_t token) {
    if (list == nullptr) return QV_ERR_ARG;
    auto block = zalloc_block<time_zone_req>();
    if (!block) return QV_ERR_SOCK_ALLOC;
    client_info ci;
    qv_frame_init(&ci, 340, token, QV_ADDR_CURRENT);
    ci.req.pTimeZone = block.get();
    const int ret = _qv_net_prcs_task(&ci);
    if (ret != QV_OK) {
        QV_LOG_ERROR("get time zone list failed, ret=%d", ret);
        qv_zone_list_free(block->zoneList);
        return ret;
    }
    *list = block->zoneList;
    return ret;
}

int QV_AdminGetSmartInfo(char **info, int64_t token) {
    if (info == nullptr) return QV_ERR_ARG;
    client_info ci;
    qv_frame_init(&ci, 341, token, QV_ADDR_CURRENT);
    const int ret = _qv_net_prcs_task(&ci);
    if (ret != QV_OK) {
        QV_LOG_ERROR("get smart info failed, ret=%d", ret);
        std::free(ci.reserved);
        return ret;
    }
    *info = ci.reserved;  // the parser's heap copy, or null
    return ret;
}

int QV_UsbBackupCancel(int64_t token) {
    const int ret = current_call(342, token);
    if (ret != QV_OK) QV_LOG_ERROR("usb backup cancel failed, ret=%d", ret);
    return ret;
}

int QV_get_ota_status(const char *ip, int32_t timeout, ota_info *out, int64_t token) {
    if (out == nullptr) return QV_ERR_ARG;
    auto rec = zalloc_block<ota_info>();
    if (!rec) return QV_ERR_SOCK_ALLOC;
    client_info ci;
    if (qv_frame_init_addr(&ci, 165, token, ip) != 0) return QV_ERR_ARG;
    const int32_t port = ci.port;
    ci.timeout = timeout;
    ci.otaInfo = rec.get();
    int ret = _qv_net_prcs_task(&ci);
    // Only an exchange that never completed is retried on the framed socket; a device's refusal stands.
    if (ret != QV_OK && transport_failure(ret)) {
        qv_frame_init_addr(&ci, 165, token, ip);
        ci.port = port;
        ci.timeout = timeout;
        ci.otaInfo = rec.get();
        ret = _qv_check_prcs_task(&ci);
    }
    if (ret != QV_OK) return ret;
    out->status = rec->status;
    out->process = rec->process;
    out->total = rec->total;
    qv_strlcpy(out->deviceId, rec->deviceId, sizeof out->deviceId);
    qv_strlcpy(out->target_ver, rec->target_ver, sizeof out->target_ver);
    qv_strlcpy(out->current_ver, rec->current_ver, sizeof out->current_ver);
    return QV_OK;
}

int QV_RouterDevExec(int32_t operation, const char *ip, client_file_task *task) {
    if (task == nullptr) return QV_ERR_ARG;
    client_info ci;
    if (qv_frame_init_addr(&ci, 173, task->token, ip) != 0) return QV_ERR_ARG;
    ci.devStatus = operation;
    ci.rClientFileTask = task;
    return _qv_net_prcs_task(&ci);
}
