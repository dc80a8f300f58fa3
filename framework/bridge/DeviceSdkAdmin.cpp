// The real port's administration calls: each forwards to the runtime's entry point of the same name.
#include "bridge/DeviceSdk.h"

int DeviceSdk::ppc_AdminGetPwdStatus(const char *ip, int *status, int64_t token) {
    return ::ppc_AdminGetPwdStatus(ip, status, token);
}

int DeviceSdk::ppc_AdminSetPwd(const char *ip, const char *password, int64_t token) {
    return ::ppc_AdminSetPwd(ip, password, token);
}

int DeviceSdk::ppc_AdminModifyPwd(const char *oldPassword, const char *newPassword, int64_t token) {
    return ::ppc_AdminModifyPwd(oldPassword, newPassword, token);
}

int DeviceSdk::ppc_AdminLogin(const char *password, int64_t token) {
    return ::ppc_AdminLogin(password, token);
}

int DeviceSdk::ppc_AdminGetSysInfo(admin_sys_info *info, int64_t token) {
    return ::ppc_AdminGetSysInfo(info, token);
}

int DeviceSdk::ppc_AdminGetDiskStatusInfo(disk_status_list *list, int64_t token) {
    return ::ppc_AdminGetDiskStatusInfo(list, token);
}

int DeviceSdk::ppc_AdminGetBindFlag(int *flag, int64_t token) {
    return ::ppc_AdminGetBindFlag(flag, token);
}

int DeviceSdk::ppc_AdminSetBindFlag(int flag, int64_t token) {
    return ::ppc_AdminSetBindFlag(flag, token);
}

int DeviceSdk::ppc_AdminInviteBind(const char *userName, int64_t token) {
    return ::ppc_AdminInviteBind(userName, token);
}

int DeviceSdk::ppc_AdminGetSpaceLimitStatus(int *enable, int64_t token) {
    return ::ppc_AdminGetSpaceLimitStatus(enable, token);
}

int DeviceSdk::ppc_AdminSetSpaceLimitStatus(int enable, int64_t token) {
    return ::ppc_AdminSetSpaceLimitStatus(enable, token);
}

int DeviceSdk::ppc_AdminGetSpaceLimitDefault(int *limitSet, int64_t *limitSpace, int64_t token) {
    return ::ppc_AdminGetSpaceLimitDefault(limitSet, limitSpace, token);
}

int DeviceSdk::ppc_AdminSetSpaceLimitDefault(int limitSet, int64_t limitSpace, int64_t token) {
    return ::ppc_AdminSetSpaceLimitDefault(limitSet, limitSpace, token);
}

int DeviceSdk::ppc_AdminGetSpaceLimitListResult(space_limit_info ***list, int64_t token) {
    return ::ppc_AdminGetSpaceLimitListResult(list, token);
}

void DeviceSdk::qv_space_limit_list_free(space_limit_info **list) {
    ::qv_space_limit_list_free(list);
}

int DeviceSdk::ppc_AdminSetSpaceLimit(int userId, int limitSet, int64_t limitSpace, int64_t token) {
    return ::ppc_AdminSetSpaceLimit(userId, limitSet, limitSpace, token);
}

int DeviceSdk::ppc_AdminClearUser(int userId, int clearFlag, int64_t token) {
    return ::ppc_AdminClearUser(userId, clearFlag, token);
}

int DeviceSdk::ppc_AdminGetUsbbackupMode(int *usbMode, int *ptpMode, int64_t token) {
    return ::ppc_AdminGetUsbbackupMode(usbMode, ptpMode, token);
}

int DeviceSdk::ppc_AdminSetUsbbackupMode(int usbMode, int ptpMode, int64_t token) {
    return ::ppc_AdminSetUsbbackupMode(usbMode, ptpMode, token);
}

int DeviceSdk::ppc_GetSambaStatus(int *status, int64_t token) {
    return ::ppc_GetSambaStatus(status, token);
}

int DeviceSdk::ppc_SetSambaStatus(int enabled, int64_t token) {
    return ::ppc_SetSambaStatus(enabled, token);
}

int DeviceSdk::ppc_AdminShareBind(char *buf, int size, int64_t token) {
    return ::ppc_AdminShareBind(buf, size, token);
}

int DeviceSdk::ppc_AdminGetRemoteBindFlag(int *flag, int64_t token) {
    return ::ppc_AdminGetRemoteBindFlag(flag, token);
}

int DeviceSdk::ppc_AdminSetRemoteBindFlag(int flag, int64_t token) {
    return ::ppc_AdminSetRemoteBindFlag(flag, token);
}

int DeviceSdk::ppc_AdminGetSelfStartStatus(int *status, int64_t token) {
    return ::ppc_AdminGetSelfStartStatus(status, token);
}

int DeviceSdk::ppc_AdminSetSelfStart(int value, int64_t token) {
    return ::ppc_AdminSetSelfStart(value, token);
}

int DeviceSdk::ppc_AdminSetDeviceReboot(int64_t token) {
    return ::ppc_AdminSetDeviceReboot(token);
}

int DeviceSdk::ppc_AdminGetDeviceSleepTime(int64_t token, int64_t *minutes) {
    return ::ppc_AdminGetDeviceSleepTime(token, minutes);
}

int DeviceSdk::ppc_AdminSetDeviceSleepTime(int64_t token, int64_t minutes) {
    return ::ppc_AdminSetDeviceSleepTime(token, minutes);
}

int DeviceSdk::ppc_getDeviceTimerSwitchFlag(uint8_t *flag, int64_t token) {
    return ::ppc_getDeviceTimerSwitchFlag(flag, token);
}

int DeviceSdk::ppc_setDeviceTimerSwitchFlag(int32_t flag, int64_t token) {
    return ::ppc_setDeviceTimerSwitchFlag(flag, token);
}

int DeviceSdk::ppc_getDeviceTimerSwitchValues(int32_t switchType, int32_t *seconds, int32_t *once,
                                              int64_t token) {
    return ::ppc_getDeviceTimerSwitchValues(switchType, seconds, once, token);
}

int DeviceSdk::ppc_setDeviceTimerSwitchValues(int32_t switchType, int32_t seconds, int32_t once,
                                              int64_t token) {
    return ::ppc_setDeviceTimerSwitchValues(switchType, seconds, once, token);
}
