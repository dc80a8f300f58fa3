// The bridge's device administration: the administrator password, system and disk information, the bind
// flags and the bind invitation, space limits, clearing a user, the plug-in backup modes, samba, the
// share-bind address, self start, reboot, sleep time and the timer switch. One SDK call each; a read hands
// the SDK a holder with a fixed start value, which the SDK writes only on 0, so a failed read answers it.
// Administrator passwords are passed on as given and never logged.
#include <algorithm>
#include <cstring>

#include "bridge/QVNasSDKManagerImplement.h"
#include "model/QVClientSDKTools.h"
#include "model/QVNasDeviceStatusInfo.h"
#include "model/QVNasDeviceUserInfo.h"
#include "platform/Log.h"

namespace {

int32_t intOf(const QVariantMap &req, const char *key) {
    return static_cast<int32_t>(req.value(QLatin1String(key)).toLongLong());
}

int64_t wideOf(const QVariantMap &req, const char *key) {
    return req.value(QLatin1String(key)).toLongLong();
}

// A text key as UTF-8; a missing key gives no text at all (the SDK refuses it with -1).
struct TextArg {
    TextArg(const QVariantMap &req, const char *key) {
        const auto it = req.constFind(QLatin1String(key));
        present = it != req.constEnd() && !it->isNull();
        if (present) bytes = it->toString().toUtf8();
    }
    const char *get() const { return present ? bytes.constData() : nullptr; }
    QByteArray bytes;
    bool present = false;
};

template <size_t N>
QString fieldText(const char (&field)[N]) {
    return QVClientSDKTools::qvFormatCharOrEmpty(field, N);
}

void logResult(const char *what, int result) {
    if (result == 0)
        QVB_LOG_DEBUG(QStringLiteral("%1 done").arg(QLatin1String(what)));
    else
        QVB_LOG_ERROR(QStringLiteral("%1 failed: %2").arg(QLatin1String(what)).arg(result));
}

}  // namespace

// ---- password ----

void QVNasSDKManagerImplement::qvDAdminGetPwdStatus(const QVNasTaskInfoPtr &task) {
    const TextArg ip(task->requestDict, "ip");
    int status = -1;
    const int result =
        deviceSdk()->ppc_AdminGetPwdStatus(ip.present ? ip.get() : "", &status, m_srcToken.load());
    logResult("admin password status", result);
    answer(task, result, 300, QVariant(status), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminSetPwd(const QVNasTaskInfoPtr &task) {
    const TextArg ip(task->requestDict, "ip"), password(task->requestDict, "adminPassword");
    const int result =
        deviceSdk()->ppc_AdminSetPwd(ip.present ? ip.get() : "", password.get(), m_srcToken.load());
    logResult("admin password set", result);
    answer(task, result, 301, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminModifyPwd(const QVNasTaskInfoPtr &task) {
    const TextArg oldPassword(task->requestDict, "oldAdminPassword");
    const TextArg newPassword(task->requestDict, "newAdminPassword");
    const int result =
        deviceSdk()->ppc_AdminModifyPwd(oldPassword.get(), newPassword.get(), m_srcToken.load());
    logResult("admin password change", result);
    answer(task, result, 302, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminLoginWithPwd(const QVNasTaskInfoPtr &task) {
    const TextArg password(task->requestDict, "adminPassword");
    const int result = deviceSdk()->ppc_AdminLogin(password.get(), m_srcToken.load());
    logResult("admin login", result);
    answer(task, result, 303, std::nullopt, Hop::MainAndWait);
}

// ---- system and disks ----

void QVNasSDKManagerImplement::qvDAdminGetSysInfo(const QVNasTaskInfoPtr &task) {
    admin_sys_info record{};
    auto info = std::make_shared<QVNasDeviceSysInfo>();
    const int result = deviceSdk()->ppc_AdminGetSysInfo(&record, m_srcToken.load());
    logResult("system information", result);
    if (result == 0) {
        info->deviceName = fieldText(record.deviceName);
        info->fileSystem = fieldText(record.fileSystem);
        info->bootTime = record.bootTime;
        info->cpuRate = record.cpuRate;
        info->ramRate = record.ramRate;
        QVB_LOG_DEBUG(QStringLiteral("system: %1, %2, boot %3, cpu %4, ram %5")
                          .arg(info->deviceName, info->fileSystem)
                          .arg(info->bootTime)
                          .arg(info->cpuRate)
                          .arg(info->ramRate));
    }
    answer(task, result, 304, QVariant::fromValue(info), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminGetDiskStatus(const QVNasTaskInfoPtr &task) {
    disk_status_list record{};
    auto list = std::make_shared<QVNasDiskStatusList>();
    QList<QVNasDiskStatusInfoPtr> disks;
    const int result = deviceSdk()->ppc_AdminGetDiskStatusInfo(&record, m_srcToken.load());
    logResult("disk status", result);
    if (result == 0) {
        list->diskMode = record.mode;
        // The record has QV_DISK_STATUS_MAX slots: a count beyond them is never walked past the record.
        int32_t count = std::clamp<int32_t>(record.count, 0, QV_DISK_STATUS_MAX);
        if (count != record.count)
            QVB_LOG_ERROR(QStringLiteral("disk count %1 beyond the record's %2 slots: %3 taken")
                              .arg(record.count)
                              .arg(QV_DISK_STATUS_MAX)
                              .arg(count));
        QVB_LOG_DEBUG(QStringLiteral("disks: %1, mode %2").arg(record.count).arg(record.mode));
        for (int32_t i = 0; i < count; ++i) {
            const disk_status_info &e = record.entries[i];
            auto disk = std::make_shared<QVNasDiskStatusInfo>();
            disk->devNumber = e.devNumber;
            disk->devNode = fieldText(e.devNode);
            disk->devModel = fieldText(e.devModel);
            disk->serialNumber = fieldText(e.serialNumber);
            disk->diskCapacity = e.diskCapacity;
            disk->healthStatus = e.healthStatus;
            disk->temperatureDisable = e.temperatureDisable != 0;
            disk->temperatureCelsius = e.temperatureDisable == 0 ? e.temperatureCelsius : 0;
            QVB_LOG_DEBUG(QStringLiteral("disk %1 %2: %3 C, %4 bytes, health %5")
                              .arg(disk->devModel, disk->serialNumber)
                              .arg(disk->temperatureCelsius)
                              .arg(disk->diskCapacity)
                              .arg(disk->healthStatus));
            disks.append(disk);
        }
    }
    list->diskStatusList = disks;
    answer(task, result, 305, QVariant::fromValue(list), Hop::MainAndWait);
}

// ---- bind flags and invitation ----

void QVNasSDKManagerImplement::qvDAdminGetBindFlag(const QVNasTaskInfoPtr &task) {
    int flag = -1;
    const int result = deviceSdk()->ppc_AdminGetBindFlag(&flag, m_srcToken.load());
    logResult("bind flag", result);
    answer(task, result, 307, QVariant(flag), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminSetBindFlag(const QVNasTaskInfoPtr &task) {
    const int result =
        deviceSdk()->ppc_AdminSetBindFlag(intOf(task->requestDict, "bindFlag"), m_srcToken.load());
    logResult("bind flag set", result);
    answer(task, result, 308, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminInviteBind(const QVNasTaskInfoPtr &task) {
    const TextArg user(task->requestDict, "userName");
    const int result = deviceSdk()->ppc_AdminInviteBind(user.get(), m_srcToken.load());
    if (result == 0) QVB_LOG_DEBUG(QStringLiteral("bind invitation sent"));
    answer(task, result, 309, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminGetRemoteBindFlag(const QVNasTaskInfoPtr &task) {
    int flag = -1;
    const int result = deviceSdk()->ppc_AdminGetRemoteBindFlag(&flag, m_srcToken.load());
    logResult("remote bind flag", result);
    answer(task, result, 321, QVariant(flag), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminSetRemoteBindFlag(const QVNasTaskInfoPtr &task) {
    const int result =
        deviceSdk()->ppc_AdminSetRemoteBindFlag(intOf(task->requestDict, "bindFlag"), m_srcToken.load());
    logResult("remote bind flag set", result);
    answer(task, result, 322, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminGetShareBind(const QVNasTaskInfoPtr &task) {
    char buffer[1024] = {};
    const int result = deviceSdk()->ppc_AdminShareBind(buffer, sizeof buffer, m_srcToken.load());
    logResult("share bind", result);
    // Bytes that are not UTF-8 keep their valid prefix; a failure answers the empty text.
    const QString url = result == 0 ? fieldText(buffer) : QStringLiteral("");
    answer(task, result, 319, QVariant(url), Hop::MainAndWait);
}

// ---- space limits and users ----

void QVNasSDKManagerImplement::qvDAdminGetSpaceLimitStatus(const QVNasTaskInfoPtr &task) {
    int status = -1;
    const int result = deviceSdk()->ppc_AdminGetSpaceLimitStatus(&status, m_srcToken.load());
    logResult("space limit status", result);
    answer(task, result, 310, QVariant(status), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminSetSpaceLimitStatus(const QVNasTaskInfoPtr &task) {
    const int result = deviceSdk()->ppc_AdminSetSpaceLimitStatus(intOf(task->requestDict, "spaceLimitEnable"),
                                                                 m_srcToken.load());
    logResult("space limit status set", result);
    answer(task, result, 311, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminGetSpaceLimitDefault(const QVNasTaskInfoPtr &task) {
    int limitSet = 0;
    int64_t limit = 0;
    const int result = deviceSdk()->ppc_AdminGetSpaceLimitDefault(&limitSet, &limit, m_srcToken.load());
    logResult("default space limit", result);
    auto info = std::make_shared<QVNasDeviceUserDefaultSpaceLimitInfo>();
    info->limitSpace = limit;  // 0: no limit
    info->spaceLimitSet = limitSet;
    answer(task, result, 312, QVariant::fromValue(info), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminSetSpaceLimitDefault(const QVNasTaskInfoPtr &task) {
    const QVariantMap &req = task->requestDict;
    const int result = deviceSdk()->ppc_AdminSetSpaceLimitDefault(
        intOf(req, "spaceLimitSet"), wideOf(req, "limitSpace"), m_srcToken.load());
    logResult("default space limit set", result);
    answer(task, result, 313, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminGetSpaceLimitList(const QVNasTaskInfoPtr &task) {
    const DeviceSdkPtr sdk = deviceSdk();
    QList<QVNasDeviceUserSpaceLimitInfoPtr> users;
    space_limit_info **list = nullptr;
    // The SDK's result is answered, so that a failed read is told from an empty list.
    const int result = sdk->ppc_AdminGetSpaceLimitListResult(&list, m_srcToken.load());
    logResult("space limit list", result);
    if (result == 0 && list != nullptr) {
        for (space_limit_info **p = list; *p != nullptr; ++p) {
            const space_limit_info &e = **p;
            auto user = std::make_shared<QVNasDeviceUserSpaceLimitInfo>();
            user->userId = e.userId;
            user->userName = fieldText(e.phoneNumber);
            user->nickName = fieldText(e.nickName);
            user->usedSpace = e.usedSpace;
            user->limitSpace = e.limitSpace;
            user->spaceLimitSet = e.limitSet;
            user->userType = e.userType;
            QVB_LOG_DEBUG(QStringLiteral("space limit: type %1, user %2 (%3), used %4, limit %5")
                              .arg(user->userType)
                              .arg(user->userId)
                              .arg(user->nickName)
                              .arg(user->usedSpace)
                              .arg(user->limitSpace));
            users.append(user);
        }
    }
    sdk->qv_space_limit_list_free(result == 0 ? list : nullptr);
    answer(task, result, 314, QVariant::fromValue(users), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminSetSpaceLimit(const QVNasTaskInfoPtr &task) {
    const QVariantMap &req = task->requestDict;
    const int result = deviceSdk()->ppc_AdminSetSpaceLimit(intOf(req, "userId"), intOf(req, "spaceLimitSet"),
                                                           wideOf(req, "limitSpace"), m_srcToken.load());
    logResult("space limit set", result);
    answer(task, result, 315, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminClearUser(const QVNasTaskInfoPtr &task) {
    const QVariantMap &req = task->requestDict;
    const int result =
        deviceSdk()->ppc_AdminClearUser(intOf(req, "userId"), intOf(req, "clearFlag"), m_srcToken.load());
    logResult("clear user", result);
    answer(task, result, 316, std::nullopt, Hop::MainAndWait);
}

// ---- plug-in backup and samba ----

void QVNasSDKManagerImplement::qvDAdminGetUsbbackupMode(const QVNasTaskInfoPtr &task) {
    int usbMode = 0, ptpMode = 0;
    const int result = deviceSdk()->ppc_AdminGetUsbbackupMode(&usbMode, &ptpMode, m_srcToken.load());
    logResult("plug-in backup mode", result);
    auto info = std::make_shared<QVNasDevicePlugBackupConfigInfo>();
    info->usbBackupMode = usbMode;
    info->ptpBackupMode = ptpMode;
    answer(task, result, 317, QVariant::fromValue(info), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminSetUsbbackupMode(const QVNasTaskInfoPtr &task) {
    const auto info = task->requestDict.value(QStringLiteral("plugBackupConfigInfo"))
                          .value<QVNasDevicePlugBackupConfigInfoPtr>();
    int result = -1;
    if (info)
        result = deviceSdk()->ppc_AdminSetUsbbackupMode(static_cast<int32_t>(info->usbBackupMode),
                                                        static_cast<int32_t>(info->ptpBackupMode),
                                                        m_srcToken.load());
    logResult("plug-in backup mode set", result);
    answer(task, result, 318, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminGetSambaStatus(const QVNasTaskInfoPtr &task) {
    int status = 0;
    const int result = deviceSdk()->ppc_GetSambaStatus(&status, m_srcToken.load());
    answer(task, result, 172, QVariant(status), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminSetSambaStatus(const QVNasTaskInfoPtr &task) {
    const int result =
        deviceSdk()->ppc_SetSambaStatus(intOf(task->requestDict, "sambaStatus"), m_srcToken.load());
    answer(task, result, 171, std::nullopt, Hop::MainAndWait);
}

// ---- power ----

void QVNasSDKManagerImplement::qvDAdminGetSelfStartStatus(const QVNasTaskInfoPtr &task) {
    int status = -1;
    const int result = deviceSdk()->ppc_AdminGetSelfStartStatus(&status, m_srcToken.load());
    logResult("self start status", result);
    answer(task, result, 323, QVariant(status), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminSetSelfStartStatus(const QVNasTaskInfoPtr &task) {
    const int result =
        deviceSdk()->ppc_AdminSetSelfStart(intOf(task->requestDict, "self_start_val"), m_srcToken.load());
    logResult("self start set", result);
    answer(task, result, 324, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminSetDeviceReboot(const QVNasTaskInfoPtr &task) {
    const int result = deviceSdk()->ppc_AdminSetDeviceReboot(m_srcToken.load());
    logResult("reboot", result);
    answer(task, result, 326, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminGetDeviceSleepTime(const QVNasTaskInfoPtr &task) {
    int64_t minutes = 0;
    const int result = deviceSdk()->ppc_AdminGetDeviceSleepTime(m_srcToken.load(), &minutes);
    logResult("sleep time", result);
    answer(task, result, 345, QVariant(static_cast<qlonglong>(minutes)), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminSetDeviceSleepTime(const QVNasTaskInfoPtr &task) {
    const int result =
        deviceSdk()->ppc_AdminSetDeviceSleepTime(m_srcToken.load(), wideOf(task->requestDict, "timeMin"));
    logResult("sleep time set", result);
    answer(task, result, 344, std::nullopt, Hop::MainAndWait);
}

// ---- timer switch ----

void QVNasSDKManagerImplement::qvDAdminGetDevTimerSwitchFlag(const QVNasTaskInfoPtr &task) {
    uint8_t flag = 0;
    const int result = deviceSdk()->ppc_getDeviceTimerSwitchFlag(&flag, m_srcToken.load());
    logResult("timer switch flag", result);
    answer(task, result, 347, QVariant(flag != 0), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminSetDevTimerSwitchFlag(const QVNasTaskInfoPtr &task) {
    const bool on = task->requestDict.value(QStringLiteral("switchFlag")).toBool();
    const int result = deviceSdk()->ppc_setDeviceTimerSwitchFlag(on ? 1 : 0, m_srcToken.load());
    logResult("timer switch flag set", result);
    answer(task, result, 348, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminGetDevTimerSwitchValues(const QVNasTaskInfoPtr &task) {
    const int32_t type = intOf(task->requestDict, "switchType");
    int32_t seconds = 0, once = 1;
    const int result = deviceSdk()->ppc_getDeviceTimerSwitchValues(type, &seconds, &once, m_srcToken.load());
    logResult("timer switch values", result);
    if (result != 0) {
        answer(task, result, 359, std::nullopt, Hop::MainAndWait);
        return;
    }
    auto info = std::make_shared<QVNasDeviceSwitchTimeInfo>();
    info->poolType = once;
    (type == 1 ? info->startUpTime : info->shutDownTime) = seconds;
    answer(task, 0, 359, QVariant::fromValue(info), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDAdminSetDevTimerSwitchValues(const QVNasTaskInfoPtr &task) {
    const int32_t type = intOf(task->requestDict, "switchType");
    const auto info =
        task->requestDict.value(QStringLiteral("deviceSwitchTimeInfo")).value<QVNasDeviceSwitchTimeInfoPtr>();
    int result = -1;
    if (info)
        result = deviceSdk()->ppc_setDeviceTimerSwitchValues(
            type, static_cast<int32_t>(type == 1 ? info->startUpTime : info->shutDownTime),
            static_cast<int32_t>(info->poolType), m_srcToken.load());
    logResult("timer switch values set", result);
    answer(task, result, 350, std::nullopt, Hop::MainAndWait);
}
