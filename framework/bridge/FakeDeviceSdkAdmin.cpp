// The scripted SDK's administration calls: every call is recorded with its arguments (numbers as text) and
// answers its scripted result; a read writes its outputs only when it answers 0, as the SDK does.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "bridge/FakeDeviceSdk.h"

namespace {

std::string num(int64_t v) {
    return std::to_string(v);
}

std::string text(const char *t) {
    return t != nullptr ? std::string(t) : std::string("<null>");
}

}  // namespace

void FakeDeviceSdk::editAdmin(const std::function<void(AdminOutputs &)> &edit) {
    std::lock_guard<std::mutex> l(m_mu);
    edit(m_admin);
}

int FakeDeviceSdk::liveSpaceLimitLists() const {
    std::lock_guard<std::mutex> l(m_mu);
    return m_liveLimitLists;
}

int FakeDeviceSdk::adminCall(const std::string &fn, std::vector<std::string> args,
                             const std::function<void(const AdminOutputs &)> &write) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record(fn, std::move(args));
    if (r == 0 && write) write(m_admin);
    return r;
}

int FakeDeviceSdk::ppc_AdminGetPwdStatus(const char *ip, int *status, int64_t token) {
    return adminCall("ppc_AdminGetPwdStatus", {text(ip), num(token)},
                     [=](const AdminOutputs &o) { *status = o.pwdStatus; });
}

int FakeDeviceSdk::ppc_AdminSetPwd(const char *ip, const char *password, int64_t token) {
    const int r = adminCall("ppc_AdminSetPwd", {text(ip), text(password), num(token)});
    return password == nullptr || *password == '\0' ? -1 : r;
}

int FakeDeviceSdk::ppc_AdminModifyPwd(const char *oldPassword, const char *newPassword, int64_t token) {
    const int r = adminCall("ppc_AdminModifyPwd", {text(oldPassword), text(newPassword), num(token)});
    return oldPassword == nullptr || newPassword == nullptr || *oldPassword == '\0' || *newPassword == '\0'
               ? -1
               : r;
}

int FakeDeviceSdk::ppc_AdminLogin(const char *password, int64_t token) {
    const int r = adminCall("ppc_AdminLogin", {text(password), num(token)});
    return password == nullptr || *password == '\0' ? -1 : r;
}

int FakeDeviceSdk::ppc_AdminGetSysInfo(admin_sys_info *info, int64_t token) {
    return adminCall("ppc_AdminGetSysInfo", {num(token)}, [=](const AdminOutputs &o) { *info = o.sys; });
}

int FakeDeviceSdk::ppc_AdminGetDiskStatusInfo(disk_status_list *list, int64_t token) {
    return adminCall("ppc_AdminGetDiskStatusInfo", {num(token)}, [=](const AdminOutputs &o) {
        const size_t n = std::min<size_t>(o.disks.size(), QV_DISK_STATUS_MAX);
        for (size_t i = 0; i < n; ++i) list->entries[i] = o.disks[i];
        list->count = o.diskCount >= 0 ? o.diskCount : static_cast<int32_t>(n);
        list->mode = o.diskMode;
    });
}

int FakeDeviceSdk::ppc_AdminGetBindFlag(int *flag, int64_t token) {
    return adminCall("ppc_AdminGetBindFlag", {num(token)},
                     [=](const AdminOutputs &o) { *flag = o.bindFlag; });
}

int FakeDeviceSdk::ppc_AdminSetBindFlag(int flag, int64_t token) {
    return adminCall("ppc_AdminSetBindFlag", {num(flag), num(token)});
}

int FakeDeviceSdk::ppc_AdminInviteBind(const char *userName, int64_t token) {
    return adminCall("ppc_AdminInviteBind", {text(userName), num(token)});
}

int FakeDeviceSdk::ppc_AdminGetSpaceLimitStatus(int *enable, int64_t token) {
    return adminCall("ppc_AdminGetSpaceLimitStatus", {num(token)},
                     [=](const AdminOutputs &o) { *enable = o.spaceLimitStatus; });
}

int FakeDeviceSdk::ppc_AdminSetSpaceLimitStatus(int enable, int64_t token) {
    return adminCall("ppc_AdminSetSpaceLimitStatus", {num(enable), num(token)});
}

int FakeDeviceSdk::ppc_AdminGetSpaceLimitDefault(int *limitSet, int64_t *limitSpace, int64_t token) {
    return adminCall("ppc_AdminGetSpaceLimitDefault", {num(token)}, [=](const AdminOutputs &o) {
        *limitSet = o.limitSet;
        *limitSpace = o.limitSpace;
    });
}

int FakeDeviceSdk::ppc_AdminSetSpaceLimitDefault(int limitSet, int64_t limitSpace, int64_t token) {
    return adminCall("ppc_AdminSetSpaceLimitDefault", {num(limitSet), num(limitSpace), num(token)});
}

int FakeDeviceSdk::ppc_AdminGetSpaceLimitListResult(space_limit_info ***list, int64_t token) {
    *list = nullptr;
    return adminCall("ppc_AdminGetSpaceLimitListResult", {num(token)}, [&](const AdminOutputs &o) {
        auto **out = static_cast<space_limit_info **>(std::calloc(o.limits.size() + 1, sizeof(void *)));
        for (size_t i = 0; i < o.limits.size(); ++i) {
            out[i] = static_cast<space_limit_info *>(std::malloc(sizeof(space_limit_info)));
            *out[i] = o.limits[i];
        }
        ++m_liveLimitLists;
        *list = out;
    });
}

void FakeDeviceSdk::qv_space_limit_list_free(space_limit_info **list) {
    if (list == nullptr) return;
    for (space_limit_info **p = list; *p != nullptr; ++p) std::free(*p);
    std::free(list);
    std::lock_guard<std::mutex> l(m_mu);
    --m_liveLimitLists;
}

int FakeDeviceSdk::ppc_AdminSetSpaceLimit(int userId, int limitSet, int64_t limitSpace, int64_t token) {
    return adminCall("ppc_AdminSetSpaceLimit", {num(userId), num(limitSet), num(limitSpace), num(token)});
}

int FakeDeviceSdk::ppc_AdminClearUser(int userId, int clearFlag, int64_t token) {
    return adminCall("ppc_AdminClearUser", {num(userId), num(clearFlag), num(token)});
}

int FakeDeviceSdk::ppc_AdminGetUsbbackupMode(int *usbMode, int *ptpMode, int64_t token) {
    return adminCall("ppc_AdminGetUsbbackupMode", {num(token)}, [=](const AdminOutputs &o) {
        *usbMode = o.usbMode;
        *ptpMode = o.ptpMode;
    });
}

int FakeDeviceSdk::ppc_AdminSetUsbbackupMode(int usbMode, int ptpMode, int64_t token) {
    return adminCall("ppc_AdminSetUsbbackupMode", {num(usbMode), num(ptpMode), num(token)});
}

int FakeDeviceSdk::ppc_GetSambaStatus(int *status, int64_t token) {
    return adminCall("ppc_GetSambaStatus", {num(token)}, [=](const AdminOutputs &o) { *status = o.samba; });
}

int FakeDeviceSdk::ppc_SetSambaStatus(int enabled, int64_t token) {
    return adminCall("ppc_SetSambaStatus", {num(enabled), num(token)});
}

int FakeDeviceSdk::ppc_AdminShareBind(char *buf, int size, int64_t token) {
    return adminCall("ppc_AdminShareBind", {num(size), num(token)}, [=](const AdminOutputs &o) {
        const size_t n = std::min(o.shareBind.size(), static_cast<size_t>(size - 1));
        std::memcpy(buf, o.shareBind.data(), n);
        buf[n] = '\0';
    });
}

int FakeDeviceSdk::ppc_AdminGetRemoteBindFlag(int *flag, int64_t token) {
    return adminCall("ppc_AdminGetRemoteBindFlag", {num(token)},
                     [=](const AdminOutputs &o) { *flag = o.remoteBindFlag; });
}

int FakeDeviceSdk::ppc_AdminSetRemoteBindFlag(int flag, int64_t token) {
    return adminCall("ppc_AdminSetRemoteBindFlag", {num(flag), num(token)});
}

int FakeDeviceSdk::ppc_AdminGetSelfStartStatus(int *status, int64_t token) {
    return adminCall("ppc_AdminGetSelfStartStatus", {num(token)},
                     [=](const AdminOutputs &o) { *status = o.selfStart; });
}

int FakeDeviceSdk::ppc_AdminSetSelfStart(int value, int64_t token) {
    return adminCall("ppc_AdminSetSelfStart", {num(value), num(token)});
}

int FakeDeviceSdk::ppc_AdminSetDeviceReboot(int64_t token) {
    return adminCall("ppc_AdminSetDeviceReboot", {num(token)});
}

int FakeDeviceSdk::ppc_AdminGetDeviceSleepTime(int64_t token, int64_t *minutes) {
    return adminCall("ppc_AdminGetDeviceSleepTime", {num(token)},
                     [=](const AdminOutputs &o) { *minutes = o.sleepMinutes; });
}

int FakeDeviceSdk::ppc_AdminSetDeviceSleepTime(int64_t token, int64_t minutes) {
    return adminCall("ppc_AdminSetDeviceSleepTime", {num(token), num(minutes)});
}

int FakeDeviceSdk::ppc_getDeviceTimerSwitchFlag(uint8_t *flag, int64_t token) {
    return adminCall("ppc_getDeviceTimerSwitchFlag", {num(token)},
                     [=](const AdminOutputs &o) { *flag = o.timerFlag != 0 ? 1 : 0; });
}

int FakeDeviceSdk::ppc_setDeviceTimerSwitchFlag(int32_t flag, int64_t token) {
    return adminCall("ppc_setDeviceTimerSwitchFlag", {num(flag), num(token)});
}

int FakeDeviceSdk::ppc_getDeviceTimerSwitchValues(int32_t switchType, int32_t *seconds, int32_t *once,
                                                  int64_t token) {
    return adminCall("ppc_getDeviceTimerSwitchValues", {num(switchType), num(token)},
                     [=](const AdminOutputs &o) {
                         *seconds = o.timerSeconds;
                         *once = o.timerOnce;
                     });
}

int FakeDeviceSdk::ppc_setDeviceTimerSwitchValues(int32_t switchType, int32_t seconds, int32_t once,
                                                  int64_t token) {
    return adminCall("ppc_setDeviceTimerSwitchValues",
                     {num(switchType), num(seconds), num(once), num(token)});
}
