// The device manager service: device administration and the QR-code login. Every method forwards to the
// request broker on the caller's thread and returns the broker's handle; completions run on the main thread.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>

#include "broker/QVNasBlocks.h"
#include "model/QVNasDeviceStatusInfo.h"

class QVNasDeviceManagerService {
  public:
    virtual ~QVNasDeviceManagerService() = default;
    // ---- administration (QVNasDeviceManagerService_Admin.cpp) ----
    virtual QVNasRequestInfoPtr qvNasGetAdminPasswordStateWithIp(const QString &ip,
                                                                 QVNasCompletionBlock completion);  // 300
    virtual QVNasRequestInfoPtr qvNasSetAdminPassword(const QString &password, const QString &ip,
                                                      QVNasCompletionBlock completion);  // 301
    // 302: the old password first here; the broker takes the new one first.
    virtual QVNasRequestInfoPtr qvNasMotifyAdminPassword(const QString &oldPassword,
                                                         const QString &newPassword,
                                                         QVNasCompletionBlock completion);
    virtual QVNasRequestInfoPtr qvNasloginAdmin(const QString &password,
                                                QVNasCompletionBlock completion);                       // 303
    virtual QVNasRequestInfoPtr qvNasGetDeviceAllUserList(QVNasCompletionBlock completion);             // 159
    virtual QVNasRequestInfoPtr qvNasGetAdminSysInfo(QVNasCompletionBlock completion);                  // 304
    virtual QVNasRequestInfoPtr qvNasGetDiskStatusInfos(QVNasCompletionBlock completion);               // 305
    virtual QVNasRequestInfoPtr qvNasGetDeviceBindEnable(QVNasCompletionBlock completion);              // 307
    virtual QVNasRequestInfoPtr qvNasSetDeviceBindFlag(uint8_t flag, QVNasCompletionBlock completion);  // 308
    virtual QVNasRequestInfoPtr qvNasGetSpaceLimitStatus(QVNasCompletionBlock completion);              // 310
    virtual QVNasRequestInfoPtr qvNasSetSpaceLimitStatus(int32_t enable, QVNasCompletionBlock completion);
    virtual QVNasRequestInfoPtr qvNasGetSpaceLimitDefaultInfo(QVNasCompletionBlock completion);  // 312
    virtual QVNasRequestInfoPtr qvNasSetSpaceLimitDefaultInfoWithlimitSpace(int64_t limitSpace,
                                                                            int32_t spaceLimitSet,
                                                                            QVNasCompletionBlock completion);
    virtual QVNasRequestInfoPtr qvNasGetUserSpaceInfos(QVNasCompletionBlock completion);  // 314
    // 315: the user id first here; the broker takes the limit first.
    virtual QVNasRequestInfoPtr qvNasSetUserSpace(int32_t userId, int64_t limitSpace, int32_t spaceLimitSet,
                                                  QVNasCompletionBlock completion);
    virtual QVNasRequestInfoPtr qvNasClearUser(int32_t userId, int32_t clearFlag,
                                               QVNasCompletionBlock completion);                       // 316
    virtual QVNasRequestInfoPtr qvNasGetSambaStatus(QVNasCompletionBlock completion);                  // 172
    virtual QVNasRequestInfoPtr qvNasSetSambaStatus(int32_t status, QVNasCompletionBlock completion);  // 171
    virtual QVNasRequestInfoPtr qvNasGetSharedBindUrl(QVNasCompletionBlock completion);                // 319
    virtual QVNasRequestInfoPtr qvNasGetDeviceRemoteBindEnable(QVNasCompletionBlock completion);       // 321
    // 322: the flag goes on as 0 or 1.
    virtual QVNasRequestInfoPtr qvNasSetDeviceRemoteBindFlag(uint8_t flag, QVNasCompletionBlock completion);
    virtual QVNasRequestInfoPtr qvNasAdminGetSelfStartStatus(QVNasCompletionBlock completion);  // 323
    virtual QVNasRequestInfoPtr qvNasAdminSetSelfStartStatus(int32_t value, QVNasCompletionBlock completion);
    virtual QVNasRequestInfoPtr qvNasAdminSetDeviceReboot(QVNasCompletionBlock completion);     // 326
    virtual QVNasRequestInfoPtr qvNasAdminGetDeviceSleepTime(QVNasCompletionBlock completion);  // 345
    virtual QVNasRequestInfoPtr qvNasAdminSetDeviceSleepTime(int64_t minutes,
                                                             QVNasCompletionBlock completion);
    virtual QVNasRequestInfoPtr qvNasAdminGetDevTimerSwitchFlag(QVNasCompletionBlock completion);  // 347
    virtual QVNasRequestInfoPtr qvNasAdminSetDevTimerSwitchFlag(uint8_t flag,
                                                                QVNasCompletionBlock completion);
    virtual QVNasRequestInfoPtr qvNasAdminGetDevTimerSwitchValues(int64_t switchType,
                                                                  QVNasCompletionBlock completion);  // 359
    virtual QVNasRequestInfoPtr qvNasAdminSetDevTimerSwitchValues(int64_t switchType,
                                                                  const QVNasDeviceSwitchTimeInfoPtr &info,
                                                                  QVNasCompletionBlock completion);  // 350

    // 332.
    virtual QVNasRequestInfoPtr qvNasQRCodeServiceInitCompletion(QVNasCompletionBlock completion);
    // 333.
    virtual QVNasRequestInfoPtr qvNasQRCodeServiceCreateCompletion(QVNasCompletionBlock completion);
    // 334: responseData on 0 {"authUrl", "authId", "expectTime"}.
    virtual QVNasRequestInfoPtr qvNasQRCodeServiceStartRequestCompletion(QVNasCompletionBlock completion);
    // 336: `handel` receives the refresh token once, on the main queue; a newer registration replaces it.
    virtual QVNasRequestInfoPtr qvNasqvQRCodeServiceOpenAuthCodeListenerWithAuthId(
        const QString &authId, QVNasRefreshTokenBlock handel, QVNasCompletionBlock completion);
    // 337: the same for the scanning user's information.
    virtual QVNasRequestInfoPtr qvNasqvQRCodeServiceOpenUserInfoListenerWithAuthId(
        const QString &authId, QVNasServiceUserBlock handel, QVNasCompletionBlock completion);
};
using QVNasDeviceManagerServicePtr = std::shared_ptr<QVNasDeviceManagerService>;
