// Administration calls (300-344): one exchange each through the call frame and the command processor.
#include <cstdlib>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "command/device_calls.h"
#include "command/ppc_qv_client.h"
#include "command/task_process.h"

namespace {

// One exchange to the current device; the frame filled by `fill` before the run.
template <typename Fill>
int admin_call(int32_t cmd, int64_t token, Fill fill) {
    client_info ci;
    qv_frame_init(&ci, cmd, token, QV_ADDR_CURRENT);
    fill(ci);
    return _qv_net_prcs_task(&ci);
}

// A get whose reply lands in `ci` and is copied out by `out` only on 0.
template <typename Out>
int admin_get(int32_t cmd, int64_t token, Out out) {
    client_info ci;
    qv_frame_init(&ci, cmd, token, QV_ADDR_CURRENT);
    const int ret = _qv_net_prcs_task(&ci);
    if (ret == QV_OK) out(ci);
    return ret;
}

int set_flag(int32_t cmd, int flag, int64_t token) {
    return admin_call(cmd, token, [flag](client_info &ci) { ci.bindFlag = flag; });
}

int get_flag(int32_t cmd, int *flag, int64_t token) {
    if (flag == nullptr) return QV_ERR_ARG;
    return admin_get(cmd, token, [flag](client_info &ci) { *flag = ci.bindFlag; });
}

}  // namespace

int QV_AdminGetPwdStatus(const char *ip, int *status, int64_t token) {
    if (status == nullptr) return QV_ERR_ARG;
    client_info ci;
    if (qv_frame_init_addr(&ci, 300, token, ip) != 0) return QV_ERR_ARG;
    const int ret = _qv_net_prcs_task(&ci);
    if (ret == QV_OK) *status = ci.status;
    return ret;
}

// An administrator password is never empty: a missing or empty one is refused unsent.
static bool no_password(const char *password) {
    return password == nullptr || *password == '\0';
}

int QV_AdminSetPwd(const char *ip, const char *password, int64_t token) {
    if (no_password(password)) return QV_ERR_ARG;
    client_info ci;
    if (qv_frame_init_addr(&ci, 301, token, ip) != 0) return QV_ERR_ARG;
    ci.adminPassword = password;
    return _qv_net_prcs_task(&ci);
}

int QV_AdminModifyPwd(const char *oldPassword, const char *newPassword, int64_t token) {
    if (no_password(oldPassword) || no_password(newPassword)) return QV_ERR_ARG;
    return admin_call(302, token, [&](client_info &ci) {
        ci.adminPassword = oldPassword;
        ci.newAdminPassword = newPassword;
    });
}

int QV_AdminLogin(const char *password, int64_t token) {
    if (no_password(password)) return QV_ERR_ARG;
    return admin_call(303, token, [&](client_info &ci) { ci.adminPassword = password; });
}

int QV_AdminGetSysInfo(admin_sys_info *info, int64_t token) {
    if (info == nullptr) return QV_ERR_ARG;
    return admin_call(304, token, [info](client_info &ci) { ci.sysInfo = info; });
}

int QV_AdminGetDiskStatusInfo(disk_status_list *list, int64_t token) {
    if (list == nullptr) return QV_ERR_ARG;
    return admin_call(305, token, [list](client_info &ci) { ci.diskStatusInfoList = list; });
}

int QV_AdminGetBindFlag(int *flag, int64_t token) {
    return get_flag(307, flag, token);
}
int QV_AdminSetBindFlag(int flag, int64_t token) {
    return set_flag(308, flag, token);
}
int QV_AdminGetRemoteBindFlag(int *flag, int64_t token) {
    return get_flag(324, flag, token);
}
int QV_AdminSetRemoteBindFlag(int flag, int64_t token) {
    return set_flag(325, flag, token);
}
int QV_AdminGetLocalBindFlag(int *flag, int64_t token) {
    return get_flag(343, flag, token);
}
int QV_AdminSetLocalBindFlag(int flag, int64_t token) {
    return set_flag(344, flag, token);
}

int QV_AdminInviteBind(const char *userName, int64_t token) {
    if (userName == nullptr) return QV_ERR_ARG;
    return admin_call(309, token, [userName](client_info &ci) { ci.userName = userName; });
}

int QV_AdminGetSpaceLimitStatus(int *enable, int64_t token) {
    if (enable == nullptr) return QV_ERR_ARG;
    return admin_get(310, token, [enable](client_info &ci) { *enable = ci.limitEnable; });
}

int QV_AdminSetSpaceLimitStatus(int enable, int64_t token) {
    return admin_call(311, token, [enable](client_info &ci) { ci.limitEnable = enable; });
}

int QV_AdminGetSpaceLimitDefault(int *limitSet, int64_t *limitSpace, int64_t token) {
    if (limitSet == nullptr || limitSpace == nullptr) return QV_ERR_ARG;
    return admin_get(312, token, [=](client_info &ci) {
        *limitSet = ci.limitSet;
        *limitSpace = ci.limitSpace;
    });
}

int QV_AdminSetSpaceLimitDefault(int limitSet, int64_t limitSpace, int64_t token) {
    return admin_call(313, token, [=](client_info &ci) {
        ci.limitSet = limitSet;
        ci.limitSpace = limitSpace;
    });
}

int QV_AdminGetSpaceLimitListResult(space_limit_info ***list, int64_t token) {
    if (list == nullptr) return QV_ERR_ARG;
    *list = nullptr;
    client_info ci;
    qv_frame_init(&ci, 314, token, QV_ADDR_CURRENT);
    const int ret = _qv_net_prcs_task(&ci);
    if (ret != QV_OK) {
        QV_LOG_ERROR("space limit list failed, ret=%d", ret);
        qv_space_limit_list_free(ci.spaceLimitList);
        return ret;
    }
    *list = ci.spaceLimitList;
    return ret;
}

space_limit_info **QV_AdminGetSpaceLimitList(int64_t token) {
    space_limit_info **list = nullptr;
    QV_AdminGetSpaceLimitListResult(&list, token);
    return list;
}

int QV_AdminSetSpaceLimit(int userId, int limitSet, int64_t limitSpace, int64_t token) {
    return admin_call(315, token, [=](client_info &ci) {
        ci.targetUserId = userId;
        ci.limitSet = limitSet;
        ci.limitSpace = limitSpace;
    });
}

int QV_AdminClearUser(int userId, int clearFlag, int64_t token) {
    return admin_call(316, token, [=](client_info &ci) {
        ci.targetUserId = userId;
        ci.bindFlag = clearFlag;  // sent as "clearFlag"
        ci.timeout = 30000;       // the device removes the user's files before it answers
    });
}

int QV_AdminGetUsbbackupMode(int *usbMode, int *ptpMode, int64_t token) {
    if (usbMode == nullptr || ptpMode == nullptr) return QV_ERR_ARG;
    return admin_get(317, token, [=](client_info &ci) {
        *usbMode = ci.usbBackupMode;
        *ptpMode = ci.ptpBackupMode;
    });
}

int QV_AdminSetUsbbackupMode(int usbMode, int ptpMode, int64_t token) {
    return admin_call(318, token, [=](client_info &ci) {
        ci.usbBackupMode = usbMode;
        ci.ptpBackupMode = ptpMode;
    });
}

int QV_AdminShareBind(char *buf, int size, int64_t token) {
    if (buf == nullptr || size < 1) return QV_ERR_ARG;
    return admin_call(322, token, [=](client_info &ci) {
        ci.shareBindUrl = buf;
        ci.shareBindUrlSize = size;
    });
}

int QV_GetUserList(user_list_info ***list, int64_t token) {
    if (list == nullptr) return QV_ERR_ARG;
    client_info ci;
    qv_frame_init(&ci, 323, token, QV_ADDR_CURRENT);
    const int ret = _qv_net_prcs_task(&ci);
    if (ret != QV_OK) {
        qv_user_list_free(ci.userList);
        *list = nullptr;
        return ret;
    }
    *list = ci.userList;
    return ret;
}

int QV_AdminGetSelfStartStatus(int *status, int64_t token) {
    if (status == nullptr) return QV_ERR_ARG;
    return admin_get(330, token, [status](client_info &ci) { *status = ci.selfStart; });
}

int QV_AdminSetSelfStart(int value, int64_t token) {
    return admin_call(331, token, [value](client_info &ci) { ci.nas_self_start = value; });
}

int QV_AdminGetTempAndFan(int *cpuTemp, int *fanFreq, int64_t token) {
    if (cpuTemp == nullptr || fanFreq == nullptr) return QV_ERR_ARG;
    return admin_get(332, token, [=](client_info &ci) {
        *cpuTemp = ci.cpuTemp;
        *fanFreq = ci.fanFreq;
    });
}
