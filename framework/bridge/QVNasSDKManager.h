// What the broker asks of the bridge, as five protocols. Each declares the operations built so far; the
// command families add theirs.
#pragma once

#include <memory>

#include "broker/QVNasClientLibDelegate.h"
#include "broker/QVNasTaskInfo.h"
#include "model/QVNasPathInfo.h"

struct QVNasSDKManagerService {
    virtual ~QVNasSDKManagerService() = default;
    virtual void qvStartServiceWithTask(const QVNasTaskInfoPtr &task,
                                        const std::shared_ptr<QVNasClientLibDelegate> &delegate) = 0;
    virtual void qvStopServiceWithTask(const QVNasTaskInfoPtr &task) = 0;
    // Session: LAN devices (3), gateway (5), registration (11), login (13), logout (14), device users (50),
    // account-status listen (157) and its cancel (158), device status (20), device operation (173).
    virtual void qvGetDeviceInfoListWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvRSetGatewayWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvRegisterDeviceWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvAuthCodeLoginDeviceWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvLogoutDeviceWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvGetUserInfoListWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvUserStatusChangedListenWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvCancelUserStatusChangedListenWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvGetDeviceStatusWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvRouterDeviceExecWithTask(const QVNasTaskInfoPtr &task) = 0;
};

struct QVNasSDKManagerDevice {
    virtual ~QVNasSDKManagerDevice() = default;
    // Firmware version (18), bind code (15), device information (118), device users (159), P2P client
    // information (150), nick name (151, 152); the module flag is answered on the caller's thread.
    virtual void qvDGetVersion(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvDGetBindCode(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvDGetNasDeviceInfo(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvDGetUserListWithTaskInfo(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvDGetP2PClientInfo(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvDGetDeviceNickName(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvDSetDeviceNickName(const QVNasTaskInfoPtr &task) = 0;
    virtual bool qvDGetModuleSupportFlagByType(int64_t type) = 0;
    // ---- transfers and operations ----
    // Device log into a local file (320) and the cancel of log downloads (346).
    virtual void qvDLogFileDownloadWithTaskInfo(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvDCloseLogFileDownloadWithTaskInfo(const QVNasTaskInfoPtr &task) = 0;
    // ---- QR-code login and firmware ----
    // QR-code login 332-341: none uses the device session. 336 and 337 register the callbacks that hand
    // the pushed auth code and user info to the delegate.
    virtual void qvDQRCodeServiceInit(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvDQRCodeServiceCreate(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvDQRCodeServiceStartRequestAuthCode(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvDQRCodeServiceStopRequestAuthCode(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvDQRCodeServiceSetAuthListener(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvDQRCodeServiceSetUserListener(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvDQRCodeServiceRelease(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvDQRCodeServiceGetRequestInfo(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvDQRCodeServiceSendUserInfo(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvDQRCodeServiceSendAuthCode(const QVNasTaskInfoPtr &task) = 0;
    // Firmware check (153), update (154) and the follow-up of a running update (156); the last two block
    // their worker for the whole update and report through the delegate's firmware operation.
    virtual void qvDOTA2HasLatestVersionWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvDSetOTA2UpgradeWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvDOTA2ListenWithTask(const QVNasTaskInfoPtr &task) = 0;
    // ---- administration ----
    // One device call each; a read answers its holder's start value when the call fails.
    virtual void qvDAdminGetPwdStatus(const QVNasTaskInfoPtr &task) = 0;             // 300
    virtual void qvDAdminSetPwd(const QVNasTaskInfoPtr &task) = 0;                   // 301
    virtual void qvDAdminModifyPwd(const QVNasTaskInfoPtr &task) = 0;                // 302
    virtual void qvDAdminLoginWithPwd(const QVNasTaskInfoPtr &task) = 0;             // 303
    virtual void qvDAdminGetSysInfo(const QVNasTaskInfoPtr &task) = 0;               // 304
    virtual void qvDAdminGetDiskStatus(const QVNasTaskInfoPtr &task) = 0;            // 305
    virtual void qvDAdminGetBindFlag(const QVNasTaskInfoPtr &task) = 0;              // 307
    virtual void qvDAdminSetBindFlag(const QVNasTaskInfoPtr &task) = 0;              // 308
    virtual void qvDAdminInviteBind(const QVNasTaskInfoPtr &task) = 0;               // 309
    virtual void qvDAdminGetSpaceLimitStatus(const QVNasTaskInfoPtr &task) = 0;      // 310
    virtual void qvDAdminSetSpaceLimitStatus(const QVNasTaskInfoPtr &task) = 0;      // 311
    virtual void qvDAdminGetSpaceLimitDefault(const QVNasTaskInfoPtr &task) = 0;     // 312
    virtual void qvDAdminSetSpaceLimitDefault(const QVNasTaskInfoPtr &task) = 0;     // 313
    virtual void qvDAdminGetSpaceLimitList(const QVNasTaskInfoPtr &task) = 0;        // 314
    virtual void qvDAdminSetSpaceLimit(const QVNasTaskInfoPtr &task) = 0;            // 315
    virtual void qvDAdminClearUser(const QVNasTaskInfoPtr &task) = 0;                // 316
    virtual void qvDAdminGetUsbbackupMode(const QVNasTaskInfoPtr &task) = 0;         // 317
    virtual void qvDAdminSetUsbbackupMode(const QVNasTaskInfoPtr &task) = 0;         // 318
    virtual void qvDAdminGetSambaStatus(const QVNasTaskInfoPtr &task) = 0;           // 172
    virtual void qvDAdminSetSambaStatus(const QVNasTaskInfoPtr &task) = 0;           // 171
    virtual void qvDAdminGetShareBind(const QVNasTaskInfoPtr &task) = 0;             // 319
    virtual void qvDAdminGetRemoteBindFlag(const QVNasTaskInfoPtr &task) = 0;        // 321
    virtual void qvDAdminSetRemoteBindFlag(const QVNasTaskInfoPtr &task) = 0;        // 322
    virtual void qvDAdminGetSelfStartStatus(const QVNasTaskInfoPtr &task) = 0;       // 323
    virtual void qvDAdminSetSelfStartStatus(const QVNasTaskInfoPtr &task) = 0;       // 324
    virtual void qvDAdminSetDeviceReboot(const QVNasTaskInfoPtr &task) = 0;          // 326
    virtual void qvDAdminGetDeviceSleepTime(const QVNasTaskInfoPtr &task) = 0;       // 345
    virtual void qvDAdminSetDeviceSleepTime(const QVNasTaskInfoPtr &task) = 0;       // 344
    virtual void qvDAdminGetDevTimerSwitchFlag(const QVNasTaskInfoPtr &task) = 0;    // 347
    virtual void qvDAdminSetDevTimerSwitchFlag(const QVNasTaskInfoPtr &task) = 0;    // 348
    virtual void qvDAdminGetDevTimerSwitchValues(const QVNasTaskInfoPtr &task) = 0;  // 359
    virtual void qvDAdminSetDevTimerSwitchValues(const QVNasTaskInfoPtr &task) = 0;  // 350
};

struct QVNasSDKManagerRouter {
    virtual ~QVNasSDKManagerRouter() = default;
    virtual void qvRGetStorageInfoWithTask(const QVNasTaskInfoPtr &task) = 0;  // 117
};

struct QVNasSDKManagerFile {
    virtual ~QVNasSDKManagerFile() = default;
    virtual void qvFGetFileListWithTask(const QVNasTaskInfoPtr &task) = 0;  // answers on its worker thread
    virtual void qvFIsExistedWithTask(const QVNasTaskInfoPtr &task) = 0;    // runs on the broker's caller
    // ---- transfers and operations ----
    // Download (51), tagged upload (119), set and add tags (60, 95), delete (167), copy (135), move (136),
    // check value (114) and instant upload (116); the cancels of downloads and uploads (346), of copies,
    // moves and deletes (137) and of check values (115), each naming its request by "cancelSeq".
    virtual void qvFDownloadWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFCloseDownloadOperateWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFTagUploadWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFCloseUploadOperateWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFDeleteListCbWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFCopyCbWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFMoveCbWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFOperateTaskCancel(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFGetRelaxUploadAuthValueWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvRelaxUploadWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFGetRelaxUploadAuthValueCancelWithTask(const QVNasTaskInfoPtr &task) = 0;

    // ---- listings and queries ----
    // Type listings: all of one type (96), several types (134, also for 170 tasks), albums (98), one type
    // under a path (100) and its deletion (101).
    virtual void qvFGetTypeFileListWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFGetFileMutilTypeListWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFGetDirTypeListWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFGetFileTypeListByPathWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFDeleteFileTypeListByPathWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFMkdirsWithTask(const QVNasTaskInfoPtr &task) = 0;   // 62
    virtual void qvFRenameWithTask(const QVNasTaskInfoPtr &task) = 0;   // 63
    virtual void qvFSetTagWithTask(const QVNasTaskInfoPtr &task) = 0;   // 60
    virtual void qvFAddTagsWithTask(const QVNasTaskInfoPtr &task) = 0;  // 95
    // Search (130) and its close (131); photo listing (124) and its close (125): batches come through the
    // delegate's search-data operation while the listing's call runs.
    virtual void qvFSearchForMultiWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFCloseSearchForMultiWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvGetFileListByGPSWithTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvCloseGetFileListByGPS(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvGetFileAttrWithTask(const QVNasTaskInfoPtr &task) = 0;  // 70
    // The signed address of a file, on the caller's thread; "" when there is none.
    virtual QString qvGetFileUriByToken(const QVNasPathInfoPtr &pathInfo) = 0;
    // Recent records (57), one aggregation (141), hiding a record (160).
    virtual void qvGetFileRecordsList(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvGetFileAggregationList(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvSetRecentRecordHideWithTask(const QVNasTaskInfoPtr &task) = 0;
    // ---- hidden space, share links, recycle bin ----
    // Hidden space (175-184), share links (185, 186, and the cancel, answered as 187), recycle bin
    // (200-205); restore, delete and empty report through the delegate's transport progress.
    virtual void qvFGetHideSpaceEnableByTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFTurnOnHideSpaceByTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFGetHideSpacePasswordStatusByTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFSetHideSpacePasswordByTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFGetRouterSmsVerifyCodeByTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFResetHideSpacePasswordByTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFLoginHideSpaceByTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFLogoutHideSpaceByTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFGetHideSpaceInfoByTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFGetHideSpaceFileListByTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFCreateShareByTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFGetShareListByTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFCancelShareByTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFRecycleGetSpaceInfoByTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFRecycleGetFileListByTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFRecycleRestoreFileListByTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFRecycleDeleteFileListByTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFRecycleEmptyByTask(const QVNasTaskInfoPtr &task) = 0;
    virtual void qvFRecycleSetInfoByTask(const QVNasTaskInfoPtr &task) = 0;
};

struct QVNasSDKManagerRaid {
    virtual ~QVNasSDKManagerRaid() = default;
};

struct QVNasSDKManager : QVNasSDKManagerService,
                         QVNasSDKManagerDevice,
                         QVNasSDKManagerRouter,
                         QVNasSDKManagerFile,
                         QVNasSDKManagerRaid {};

// The one bridge, as the broker sees it.
class QVNasSDKLibrary final {
  public:
    QVNasSDKLibrary() = delete;
    static QVNasSDKManager &shareSdkManager();
};
