// The device manager's administration requests: forwarded to the broker as they come, except the password
// change and the user's space, whose broker methods take their arguments in another order.
#include "broker/QVNasPrivateInterfaceProtocol.h"
#include "service/QVNasDeviceManagerService.h"

namespace {

QVNasPrivateInterfaceProtocol &broker() {
    return QVNasPrivateInterfaceProtocol::defaultProtocolManager();
}

}  // namespace

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasGetAdminPasswordStateWithIp(
    const QString &ip, QVNasCompletionBlock completion) {
    return broker().qvNasAdminGetPwdStatusWithIp(ip, std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasSetAdminPassword(const QString &password,
                                                                     const QString &ip,
                                                                     QVNasCompletionBlock completion) {
    return broker().qvNasAdminSetPassword(password, ip, std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasMotifyAdminPassword(const QString &oldPassword,
                                                                        const QString &newPassword,
                                                                        QVNasCompletionBlock completion) {
    return broker().qvNasAdminMotifyPassword(newPassword, oldPassword, std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasloginAdmin(const QString &password,
                                                               QVNasCompletionBlock completion) {
    return broker().qvNasAdminLoginWithPassword(password, std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasGetDeviceAllUserList(QVNasCompletionBlock completion) {
    return broker().qvNasGetUserListWithCompletion(std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasGetAdminSysInfo(QVNasCompletionBlock completion) {
    return broker().qvNasAdminGetSysInfoWithCompletion(std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasGetDiskStatusInfos(QVNasCompletionBlock completion) {
    return broker().qvNasAdminGetDiskStatusWithCompletion(std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasGetDeviceBindEnable(QVNasCompletionBlock completion) {
    return broker().qvNasAdminGetBindFlagWithCompletion(std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasSetDeviceBindFlag(uint8_t flag,
                                                                      QVNasCompletionBlock completion) {
    return broker().qvNasAdminSetBindFlagWithBindFlag(flag, std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasGetSpaceLimitStatus(QVNasCompletionBlock completion) {
    return broker().qvNasAdminGetSpaceLimitStatusWithCompletion(std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasSetSpaceLimitStatus(int32_t enable,
                                                                        QVNasCompletionBlock completion) {
    return broker().qvNasAdminSetSpaceLimitStatusWithEnable(enable, std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasGetSpaceLimitDefaultInfo(
    QVNasCompletionBlock completion) {
    return broker().qvNasAdminGetSpaceLimitDefaultWithCompletion(std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasSetSpaceLimitDefaultInfoWithlimitSpace(
    int64_t limitSpace, int32_t spaceLimitSet, QVNasCompletionBlock completion) {
    return broker().qvNasAdminSetSpaceLimitDefaultWithlimitSpace(limitSpace, spaceLimitSet,
                                                                 std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasGetUserSpaceInfos(QVNasCompletionBlock completion) {
    return broker().qvNasAdminGetSpaceLimitListWithCompletion(std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasSetUserSpace(int32_t userId, int64_t limitSpace,
                                                                 int32_t spaceLimitSet,
                                                                 QVNasCompletionBlock completion) {
    return broker().qvNasAdminSetSpaceLimit(limitSpace, userId, spaceLimitSet, std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasClearUser(int32_t userId, int32_t clearFlag,
                                                              QVNasCompletionBlock completion) {
    return broker().qvNasAdminClearUserWithUserId(userId, clearFlag, std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasGetSambaStatus(QVNasCompletionBlock completion) {
    return broker().qvNasAdminGetSambaStatusWithCompletion(std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasSetSambaStatus(int32_t status,
                                                                   QVNasCompletionBlock completion) {
    return broker().qvNasAdminSetSambaStatus(status, std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasGetSharedBindUrl(QVNasCompletionBlock completion) {
    return broker().qvNasAdminGetShareBind(std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasGetDeviceRemoteBindEnable(
    QVNasCompletionBlock completion) {
    return broker().qvNasAdminGetRemoteBindFlag(std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasSetDeviceRemoteBindFlag(uint8_t flag,
                                                                            QVNasCompletionBlock completion) {
    return broker().qvNasAdminSetRemoteBindFlag(flag != 0 ? 1 : 0, std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasAdminGetSelfStartStatus(QVNasCompletionBlock completion) {
    return broker().qvNasAdminGetSelfStartStatus(std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasAdminSetSelfStartStatus(int32_t value,
                                                                            QVNasCompletionBlock completion) {
    return broker().qvNasAdminSetSelfStartStatus(value, std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasAdminSetDeviceReboot(QVNasCompletionBlock completion) {
    return broker().qvNasAdminSetDeviceReboot(std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasAdminGetDeviceSleepTime(QVNasCompletionBlock completion) {
    return broker().qvNasAdminGetDeviceSleepTime(std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasAdminSetDeviceSleepTime(int64_t minutes,
                                                                            QVNasCompletionBlock completion) {
    return broker().qvNasAdminSetDeviceSleepTime(minutes, std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasAdminGetDevTimerSwitchFlag(
    QVNasCompletionBlock completion) {
    return broker().qvNasAdminGetDevTimerSwitchFlag(std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasAdminSetDevTimerSwitchFlag(
    uint8_t flag, QVNasCompletionBlock completion) {
    return broker().qvNasAdminSetDevTimerSwitchFlag(flag, std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasAdminGetDevTimerSwitchValues(
    int64_t switchType, QVNasCompletionBlock completion) {
    return broker().qvNasAdminGetDevTimerSwitchValues(switchType, std::move(completion));
}

QVNasRequestInfoPtr QVNasDeviceManagerService::qvNasAdminSetDevTimerSwitchValues(
    int64_t switchType, const QVNasDeviceSwitchTimeInfoPtr &info, QVNasCompletionBlock completion) {
    return broker().qvNasAdminSetDevTimerSwitchValues(switchType, info, std::move(completion));
}
