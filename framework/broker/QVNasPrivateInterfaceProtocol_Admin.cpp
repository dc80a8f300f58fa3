// The broker's device administration requests: each files its completion and hands the task to the
// bridge's operation of the same command on the work pool.
#include "broker/QVNasPrivateInterfaceProtocol.h"

namespace {

using Op = void (QVNasSDKManagerDevice::*)(const QVNasTaskInfoPtr &);

QVNasPrivateInterfaceProtocol::BridgeOperation admin(Op op) {
    return [op](QVNasSDKManager &lib, const QVNasTaskInfoPtr &task) {
        (static_cast<QVNasSDKManagerDevice &>(lib).*op)(task);
    };
}

qlonglong wide(int64_t v) {
    return static_cast<qlonglong>(v);
}

// A one-byte flag as a boolean number: true for any nonzero flag.
QVariant flagOf(uint8_t flag) {
    return QVariant(flag != 0);
}

}  // namespace

// ---- password ----

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminGetPwdStatusWithIp(
    const QString &ip, QVNasCompletionBlock completion) {
    return submitRequest(300, {{QStringLiteral("ip"), ip.isNull() ? QStringLiteral("") : ip}},
                         std::move(completion), {}, admin(&QVNasSDKManagerDevice::qvDAdminGetPwdStatus));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminSetPassword(const QString &adminPassword,
                                                                         const QString &ip,
                                                                         QVNasCompletionBlock completion) {
    return submitRequest(301,
                         {{QStringLiteral("adminPassword"), adminPassword},
                          {QStringLiteral("ip"), ip.isNull() ? QStringLiteral("") : ip}},
                         std::move(completion), {}, admin(&QVNasSDKManagerDevice::qvDAdminSetPwd));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminMotifyPassword(const QString &newAdminPassword,
                                                                            const QString &oldAdminPassword,
                                                                            QVNasCompletionBlock completion) {
    return submitRequest(302,
                         {{QStringLiteral("newAdminPassword"), newAdminPassword},
                          {QStringLiteral("oldAdminPassword"), oldAdminPassword}},
                         std::move(completion), {}, admin(&QVNasSDKManagerDevice::qvDAdminModifyPwd));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminLoginWithPassword(
    const QString &adminPassword, QVNasCompletionBlock completion) {
    return submitRequest(303, {{QStringLiteral("adminPassword"), adminPassword}}, std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminLoginWithPwd));
}

// ---- system and disks ----

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminGetSysInfoWithCompletion(
    QVNasCompletionBlock completion) {
    return submitRequest(304, {}, std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminGetSysInfo));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminGetDiskStatusWithCompletion(
    QVNasCompletionBlock completion) {
    return submitRequest(305, {}, std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminGetDiskStatus));
}

// ---- bind flags and invitation ----

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminGetBindFlagWithCompletion(
    QVNasCompletionBlock completion) {
    return submitRequest(307, {}, std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminGetBindFlag));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminSetBindFlagWithBindFlag(
    uint8_t bindFlag, QVNasCompletionBlock completion) {
    return submitRequest(308, {{QStringLiteral("bindFlag"), flagOf(bindFlag)}}, std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminSetBindFlag));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminInviteBindWithUserName(
    const QString &userName, QVNasCompletionBlock completion) {
    return submitRequest(309, {{QStringLiteral("userName"), userName}}, std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminInviteBind));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminGetRemoteBindFlag(
    QVNasCompletionBlock completion) {
    return submitRequest(321, {}, std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminGetRemoteBindFlag));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminSetRemoteBindFlag(
    int32_t bindFlag, QVNasCompletionBlock completion) {
    return submitRequest(322, {{QStringLiteral("bindFlag"), bindFlag}}, std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminSetRemoteBindFlag));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminGetShareBind(QVNasCompletionBlock completion) {
    return submitRequest(319, {}, std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminGetShareBind));
}

// ---- space limits and users ----

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminGetSpaceLimitStatusWithCompletion(
    QVNasCompletionBlock completion) {
    return submitRequest(310, {}, std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminGetSpaceLimitStatus));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminSetSpaceLimitStatusWithEnable(
    int32_t enable, QVNasCompletionBlock completion) {
    return submitRequest(311, {{QStringLiteral("spaceLimitEnable"), enable}}, std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminSetSpaceLimitStatus));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminGetSpaceLimitDefaultWithCompletion(
    QVNasCompletionBlock completion) {
    return submitRequest(312, {}, std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminGetSpaceLimitDefault));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminSetSpaceLimitDefaultWithlimitSpace(
    int64_t limitSpace, int32_t spaceLimitSet, QVNasCompletionBlock completion) {
    return submitRequest(
        313,
        {{QStringLiteral("limitSpace"), wide(limitSpace)}, {QStringLiteral("spaceLimitSet"), spaceLimitSet}},
        std::move(completion), {}, admin(&QVNasSDKManagerDevice::qvDAdminSetSpaceLimitDefault));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminGetSpaceLimitListWithCompletion(
    QVNasCompletionBlock completion) {
    return submitRequest(314, {}, std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminGetSpaceLimitList));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminSetSpaceLimit(int64_t limitSpace, int32_t userId,
                                                                           int32_t spaceLimitSet,
                                                                           QVNasCompletionBlock completion) {
    return submitRequest(315,
                         {{QStringLiteral("limitSpace"), wide(limitSpace)},
                          {QStringLiteral("userId"), userId},
                          {QStringLiteral("spaceLimitSet"), spaceLimitSet}},
                         std::move(completion), {}, admin(&QVNasSDKManagerDevice::qvDAdminSetSpaceLimit));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminClearUserWithUserId(
    int32_t userId, int32_t clearFlag, QVNasCompletionBlock completion) {
    return submitRequest(316, {{QStringLiteral("userId"), userId}, {QStringLiteral("clearFlag"), clearFlag}},
                         std::move(completion), {}, admin(&QVNasSDKManagerDevice::qvDAdminClearUser));
}

// ---- plug-in backup and samba ----

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminGetPlugInBackupInfoWithCompletion(
    QVNasCompletionBlock completion) {
    return submitRequest(317, {}, std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminGetUsbbackupMode));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminSetPlugInBackupInfo(
    const QVNasDevicePlugBackupConfigInfoPtr &info, QVNasCompletionBlock completion) {
    return submitRequest(318, {{QStringLiteral("plugBackupConfigInfo"), QVariant::fromValue(info)}},
                         std::move(completion), {}, admin(&QVNasSDKManagerDevice::qvDAdminSetUsbbackupMode));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminSetSambaStatus(int32_t sambaStatus,
                                                                            QVNasCompletionBlock completion) {
    return submitRequest(171, {{QStringLiteral("sambaStatus"), sambaStatus}}, std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminSetSambaStatus));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminGetSambaStatusWithCompletion(
    QVNasCompletionBlock completion) {
    return submitRequest(172, {}, std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminGetSambaStatus));
}

// ---- power ----

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminGetSelfStartStatus(
    QVNasCompletionBlock completion) {
    return submitRequest(323, {}, std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminGetSelfStartStatus));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminSetSelfStartStatus(
    int32_t value, QVNasCompletionBlock completion) {
    return submitRequest(324, {{QStringLiteral("self_start_val"), value}}, std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminSetSelfStartStatus));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminSetDeviceReboot(
    QVNasCompletionBlock completion) {
    return submitRequest(326, {}, std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminSetDeviceReboot));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminGetDeviceSleepTime(
    QVNasCompletionBlock completion) {
    return submitRequest(345, {}, std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminGetDeviceSleepTime));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminSetDeviceSleepTime(
    int64_t minutes, QVNasCompletionBlock completion) {
    return submitRequest(344, {{QStringLiteral("timeMin"), wide(minutes)}}, std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminSetDeviceSleepTime));
}

// ---- timer switch ----

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminGetDevTimerSwitchFlag(
    QVNasCompletionBlock completion) {
    return submitRequest(347, {}, std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminGetDevTimerSwitchFlag));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminSetDevTimerSwitchFlag(
    uint8_t flag, QVNasCompletionBlock completion) {
    return submitRequest(348, {{QStringLiteral("switchFlag"), flagOf(flag)}}, std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminSetDevTimerSwitchFlag));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminGetDevTimerSwitchValues(
    int64_t switchType, QVNasCompletionBlock completion) {
    return submitRequest(359, {{QStringLiteral("switchType"), wide(switchType)}}, std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminGetDevTimerSwitchValues));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAdminSetDevTimerSwitchValues(
    int64_t switchType, const QVNasDeviceSwitchTimeInfoPtr &info, QVNasCompletionBlock completion) {
    return submitRequest(350,
                         {{QStringLiteral("switchType"), wide(switchType)},
                          {QStringLiteral("deviceSwitchTimeInfo"), QVariant::fromValue(info)}},
                         std::move(completion), {},
                         admin(&QVNasSDKManagerDevice::qvDAdminSetDevTimerSwitchValues));
}
