// The request broker: numbers every request, files its callbacks under the number, hands the task to the
// bridge on a work pool and returns the request handle at once; answers and reports come back through
// the delegate operations and reach the filed callbacks.
#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <variant>

#include "bridge/QVNasSDKManager.h"
#include "broker/QVNasBlocks.h"
#include "broker/QVNasClientLibDelegate.h"
#include "broker/QVNasRequestInfo.h"
#include "broker/QVNasResponseInfo.h"
#include "broker/QVNasTaskInfo.h"
#include "model/QVNasDeviceStatusInfo.h"
#include "model/QVNasDeviceUserInfo.h"
#include "model/QVNasExecTaskProgressInfo.h"
#include "model/QVNasFileListInfo.h"
#include "model/QVNasPathInfo.h"
#include "model/QVNasShareFileInfo.h"

class QVNasPrivateInterfaceProtocol final : public QVNasClientLibDelegate {
  public:
    static QVNasPrivateInterfaceProtocol &defaultProtocolManager();
    QVNasPrivateInterfaceProtocol(const QVNasPrivateInterfaceProtocol &) = delete;
    QVNasPrivateInterfaceProtocol &operator=(const QVNasPrivateInterfaceProtocol &) = delete;

    QVNasTaskInfoPtr createQVNasTaskInfoWithCommand(int32_t command);
    static QVNasRequestInfoPtr createRequestInfoWithTask(const QVNasTaskInfoPtr &task);

    // ---- request methods ----
    QVNasRequestInfoPtr qvNasStartServiceWithGatewayIp(const QString &gatewayIp,
                                                       QVNasCompletionBlock completion);
    QVNasRequestInfoPtr qvNasStopServiceWithCompletion(QVNasCompletionBlock completion);
    // Session and device information: each answered on the main thread.
    QVNasRequestInfoPtr qvNasGetDeviceInfoListWithCompletion(QVNasCompletionBlock completion);  // 3
    QVNasRequestInfoPtr qvNasDynamicSetGatewayWithGatewayIp(const QString &gatewayIp,
                                                            QVNasCompletionBlock completion);  // 5
    // 11: the client's uuid from the keychain store (the machine's id, saved, when there is none) and the
    // machine's name, both read on the worker.
    QVNasRequestInfoPtr qvNasRegisterDeviceWithCompletion(QVNasCompletionBlock completion);
    QVNasRequestInfoPtr qvNasLoginDeviceWithAuthCode(const QString &authCode, const QString &ip,
                                                     QVNasCompletionBlock completion);                   // 13
    QVNasRequestInfoPtr qvNasLogoutDeviceWithCompletion(QVNasCompletionBlock completion);                // 14
    QVNasRequestInfoPtr qvNasGetDeviceBindCodeByIP(const QString &ip, QVNasCompletionBlock completion);  // 15
    QVNasRequestInfoPtr qvNasGetDeviceVersionWithCompletion(QVNasCompletionBlock completion);            // 18
    QVNasRequestInfoPtr qvNasGetDeviceStatus(const QString &ip, QVNasCompletionBlock completion);        // 20
    QVNasRequestInfoPtr qvNasGetDeviceUserInfoListWithCompletion(QVNasCompletionBlock completion);       // 50
    QVNasRequestInfoPtr qvNasGetUserSpaceWithCompletion(QVNasCompletionBlock completion);       // 117
    QVNasRequestInfoPtr qvNasGetDeviceInfoWithCompletion(QVNasCompletionBlock completion);      // 118
    QVNasRequestInfoPtr qvNasGetP2PClientInfoWithCompletion(QVNasCompletionBlock completion);   // 150
    QVNasRequestInfoPtr qvNasGetDeviceNickNameWithCompletion(QVNasCompletionBlock completion);  // 151
    QVNasRequestInfoPtr qvNasSetDeviceNickNameWithName(const QString &name, QVNasCompletionBlock completion);
    QVNasRequestInfoPtr qvNasAddUserStatusChangedListenWithServiceUserId(const QString &userId,
                                                                         QVNasCompletionBlock completion);
    QVNasRequestInfoPtr qvNasExitUserStatusChangedListenWithCompletion(
        QVNasCompletionBlock completion);                                                 // 158
    QVNasRequestInfoPtr qvNasGetUserListWithCompletion(QVNasCompletionBlock completion);  // 159
    // 173: `handler` becomes the stored execution handler and receives this operation's progress (each
    // operation's reports go to the handler given with it).
    QVNasRequestInfoPtr qvNasRouterDeviceExec(const QString &ip, int64_t deviceStatus,
                                              QVNasExecProgressBlock handler,
                                              QVNasCompletionBlock completion);
    // Synchronous, on the caller's thread.
    bool qvNasGetModuleSupportFlag(int64_t moduleType);

    // Folder page (61): answered on a work-pool thread, where the completion runs.
    QVNasRequestInfoPtr qvNasGetFileListWithStartIndex(int32_t startIndex, int32_t count,
                                                       const QVNasPathInfoPtr &searchPathInfo,
                                                       int64_t sequenceType, QVNasCompletionBlock completion);
    // Path exists (64): the bridge runs on this thread; the completion has run when this returns.
    QVNasRequestInfoPtr qvNasIsExistedWithPathInfo(const QVNasPathInfoPtr &existPathInfo,
                                                   QVNasCompletionBlock completion);

    // ---- transfers and operations (QVNasPrivateInterfaceProtocol_Transfers.cpp) ----
    // Progress of 51, 119, 320, 135, 136, 167 and 114 runs on the worker inside the transfer, before its
    // answer. A cancel names its request by the handle that request returned and answers under its own
    // number; the cancelled request answers 120008 when the cancel came in time.
    QVNasRequestInfoPtr qvNasDownloadFileToLocalPath(const QString &localPath,
                                                     const QVNasPathInfoPtr &downloadPathInfo,
                                                     QVNasTransportProgressBlock progressHandel,
                                                     QVNasCompletionBlock completion);  // 51
    // 346: once this returns, no progress of the download reaches its callback.
    QVNasRequestInfoPtr qvNasCancelDownloadFileWithRequest(const QVNasRequestInfoPtr &request,
                                                           QVNasCompletionBlock completion);
    QVNasRequestInfoPtr qvNasFilePathUploadWithData(const QVNasUploadDataInfoPtr &uploadDataInfo,
                                                    QVNasTransportProgressBlock progressHandel,
                                                    QVNasCompletionBlock completion);  // 119
    // 346: the upload's progress stays filed until its answer.
    QVNasRequestInfoPtr qvNasCloseUploadOperateWithRequest(const QVNasRequestInfoPtr &request,
                                                           QVNasCompletionBlock completion);
    // ---- listings and queries (QVNasPrivateInterfaceProtocol_Files.cpp) ----
    // Several types (134); with a filter flag (170, answered as 134).
    QVNasRequestInfoPtr qvNasGetFileMutilTypeListWithStartIndex(int32_t startIndex, int32_t count,
                                                                const QVariantList &types,
                                                                int64_t sequenceType,
                                                                QVNasCompletionBlock completion);
    QVNasRequestInfoPtr qvNasGetFileMutilTypeListWithStartIndex(int32_t startIndex, int32_t count,
                                                                const QVariantList &types, int32_t filterFlag,
                                                                int64_t sequenceType,
                                                                QVNasCompletionBlock completion);
    QVNasRequestInfoPtr qvNasGetDirTypeListWithStartIndex(int32_t startIndex, int32_t count, int64_t fileType,
                                                          int64_t sequenceType,
                                                          QVNasCompletionBlock completion);  // 98
    QVNasRequestInfoPtr qvNasGetFileTypeListWithPathInfo(const QVNasPathInfoPtr &pathInfo, int32_t startIndex,
                                                         int32_t count, int64_t fileType,
                                                         int64_t sequenceType,
                                                         QVNasCompletionBlock completion);  // 100
    QVNasRequestInfoPtr qvNasCreateFolderWithPathInfo(const QVNasPathInfoPtr &dirPathInfo,
                                                      QVNasCompletionBlock completion);  // 62
    QVNasRequestInfoPtr qvNasRenameFileWithFromPathInfo(const QVNasPathInfoPtr &fromPathInfo,
                                                        const QVNasPathInfoPtr &toPathInfo,
                                                        QVNasCompletionBlock completion);  // 63
    QVNasRequestInfoPtr qvNasGetFileAttrWithPathInfo(const QVNasPathInfoPtr &filePathInfo,
                                                     QVNasCompletionBlock completion);  // 70
    QVNasRequestInfoPtr qvNasSetFileTagsWithFilePathInfo(const QVNasPathInfoPtr &filePathInfo,
                                                         const QStringList &tagList,
                                                         QVNasCompletionBlock completion);  // 60
    QVNasRequestInfoPtr qvNasAddFileTagsWithFilePathInfoList(const QList<QVNasPathInfoPtr> &filePathInfoList,
                                                             const QStringList &tagList,
                                                             QVNasCompletionBlock completion);  // 95
    QVNasRequestInfoPtr qvNasCopyToWithFromInfo(const QVNasPathInfoPtr &fromInfo,
                                                const QVNasPathInfoPtr &toPathInfo,
                                                QVNasCopyMoveProgressBlock progressHandel,
                                                QVNasCompletionBlock completion);  // 135
    QVNasRequestInfoPtr qvNasMoveToWithFromInfo(const QVNasPathInfoPtr &fromInfo,
                                                const QVNasPathInfoPtr &toPathInfo,
                                                QVNasCopyMoveProgressBlock progressHandel,
                                                QVNasCompletionBlock completion);  // 136
    // 137: copies, moves and deletes.
    QVNasRequestInfoPtr qvNasCancelOperateTaskWithRequest(const QVNasRequestInfoPtr &request,
                                                          QVNasCompletionBlock completion);
    QVNasRequestInfoPtr qvNasDeleteListCbWithList(const QList<QVNasPathInfoPtr> &list,
                                                  QVNasTransportProgressBlock progressHandel,
                                                  QVNasCompletionBlock completion);  // 167
    // 114: the size and time are carried, not used; the value covers the whole file.
    QVNasRequestInfoPtr qvNasGetRelaxUploadAuthValueWithPath(const QString &path, int64_t fileSize,
                                                             int64_t fileModifyTime,
                                                             QVNasTransportProgressBlock progressHandel,
                                                             QVNasCompletionBlock completion);
    QVNasRequestInfoPtr qvNasCancelRelaxUploadAuthValueWithRequest(const QVNasRequestInfoPtr &request,
                                                                   QVNasCompletionBlock completion);  // 115
    QVNasRequestInfoPtr qvNasRelaxUploadWithAuthValue(const QString &authValue,
                                                      const QVNasPathInfoPtr &targetPathInfo,
                                                      int64_t fileSize, int64_t fileModifyTime,
                                                      QVNasCompletionBlock completion);  // 116
    // 320: into "<caches>/<device name>_iOS_<version>.zip".
    QVNasRequestInfoPtr qvNasDeviceDownloadLogWithLogType(int32_t logType, const QString &deviceName,
                                                          QVNasTransportProgressBlock progressHandel,
                                                          QVNasCompletionBlock completion);
    // The log file a device of this name downloads into, always inside `folder`.
    static QString logFilePath(const QString &folder, const QString &deviceName, const QString &version);
    // A device or version name as one safe file-name part: no "/", "\", "..", control characters; at most
    // 64 bytes of UTF-8, cut at a character; `fallback` when nothing is left.
    static QString safeNamePart(const QString &name, const QString &fallback);
    // Photo listing (124) in a BD-09 rectangle; batches reach `receive` on the main thread.
    QVNasRequestInfoPtr qvNasGetGPSFileListWithCoordinate(const QVNasCoordinate2DInfoPtr &coordinate,
                                                          QVNasResultBatchBlock receive,
                                                          QVNasCompletionBlock completion);
    // Search (130); batches reach `receive` on the main thread, all before the completion.
    QVNasRequestInfoPtr qvNasSearchForMultiWithSearchTitle(const QStringList &titles, int64_t searchType,
                                                           int64_t sequenceType,
                                                           QVNasResultBatchBlock receive,
                                                           QVNasCompletionBlock completion);
    // The closes (125, 131): the closed request's batch callback is gone when they return; its completion
    // stays and gets the closed request's own answer.
    QVNasRequestInfoPtr qvNasCloseGetGPSFileListWithRequest(const QVNasRequestInfoPtr &request,
                                                            QVNasCompletionBlock completion);
    QVNasRequestInfoPtr qvNasCloseSearchForMultiRequest(const QVNasRequestInfoPtr &request,
                                                        QVNasCompletionBlock completion);
    // The signed address of a file, on the caller's thread (no number, no task).
    QString qvNasGetFileUriByToken(const QVNasPathInfoPtr &pathInfo);
    QVNasRequestInfoPtr qvNasGetRecentFileRecordsWithStartIndex(int64_t startIndex, int64_t count,
                                                                int64_t childCount,
                                                                QVNasCompletionBlock completion);  // 57
    QVNasRequestInfoPtr qvNasGetRecentFileAggregationListWithStartIndex(
        int64_t startIndex, int64_t count, int64_t aggregateId,
        QVNasCompletionBlock completion);  // 141
    QVNasRequestInfoPtr qvNasSetRecentRecordHideWithLogId(int32_t logId, int32_t userId, int32_t bucketId,
                                                          QVNasCompletionBlock completion);  // 160

    // ---- QR-code login and firmware (QVNasPrivateInterfaceProtocol_QRFirmware.cpp) ----
    QVNasRequestInfoPtr qvNasQRCodeServiceInitCompletion(QVNasCompletionBlock completion);    // 332
    QVNasRequestInfoPtr qvNasQRCodeServiceCreateCompletion(QVNasCompletionBlock completion);  // 333
    // 334: responseData {"authUrl", "authId", "expectTime"}, also after a failure.
    QVNasRequestInfoPtr qvNasQRCodeServiceStartRequestCompletion(QVNasCompletionBlock completion);
    QVNasRequestInfoPtr qvNasQRCodeServiceStopRequestCompletion(QVNasCompletionBlock completion);  // 335
    // 336 and 337: `handel` replaces the one kept before and is called at most once, on the main thread,
    // with the next pushed event of its kind; it stays kept whatever the completion reports.
    QVNasRequestInfoPtr qvNasqvQRCodeServiceOpenAuthCodeListenerWithAuthId(const QString &authId,
                                                                           QVNasRefreshTokenBlock handel,
                                                                           QVNasCompletionBlock completion);
    QVNasRequestInfoPtr qvNasqvQRCodeServiceOpenUserInfoListenerWithAuthId(const QString &authId,
                                                                           QVNasServiceUserBlock handel,
                                                                           QVNasCompletionBlock completion);
    QVNasRequestInfoPtr qvNasqvQRCodeServiceReleaseCompletion(QVNasCompletionBlock completion);  // 338
    // 339: responseData {"platform", "os"}, also after a failure (0 and 0).
    QVNasRequestInfoPtr qvNasQRCodeServiceGetRequestInfo(const QString &authUrl,
                                                         QVNasCompletionBlock completion);
    QVNasRequestInfoPtr qvNasQRCodeServiceSendUserInfo(const QString &nickName, const QString &imageUrl,
                                                       const QString &authUrl,
                                                       QVNasCompletionBlock completion);  // 340
    QVNasRequestInfoPtr qvNasQRCodeServiceSendAuthCode(const QString &authCode, const QString &authUrl,
                                                       QVNasCompletionBlock completion);  // 341
    // 153: responseData a QVNasDeviceOtaInfoPtr; 0 or 110284 (the device must be updated) both succeed.
    QVNasRequestInfoPtr qvNasOTA2HasLatestFWVersionWithLanguage(const QString &language, const QString &ip,
                                                                QVNasCompletionBlock completion);
    // 154: the device's percentage (0 to 100) on the worker, inside the update, before the answer.
    QVNasRequestInfoPtr qvNasSetOTA2UpgradeWithIp(const QString &ip,
                                                  QVNasFirmwareProgressBlock progressHandel,
                                                  QVNasCompletionBlock completion);
    // 156: follows an update running on the device; a fraction (0.0 to 1.0) on the worker. Each follow-up
    // reports to its own callback, filed under its number like the update's.
    QVNasRequestInfoPtr qvNasOTA2ListenWithIp(const QString &ip, QVNasFirmwareProgressBlock progressHandel,
                                              QVNasCompletionBlock completion);
    // ---- device administration (QVNasPrivateInterfaceProtocol_Admin.cpp) ----
    // Each answered on the main thread; reads answer their value (or their start value on failure).
    QVNasRequestInfoPtr qvNasAdminGetPwdStatusWithIp(const QString &ip,
                                                     QVNasCompletionBlock completion);  // 300
    QVNasRequestInfoPtr qvNasAdminSetPassword(const QString &adminPassword, const QString &ip,
                                              QVNasCompletionBlock completion);  // 301
    // 302: the new password first, the old one second.
    QVNasRequestInfoPtr qvNasAdminMotifyPassword(const QString &newAdminPassword,
                                                 const QString &oldAdminPassword,
                                                 QVNasCompletionBlock completion);
    QVNasRequestInfoPtr qvNasAdminLoginWithPassword(const QString &adminPassword,
                                                    QVNasCompletionBlock completion);            // 303
    QVNasRequestInfoPtr qvNasAdminGetSysInfoWithCompletion(QVNasCompletionBlock completion);     // 304
    QVNasRequestInfoPtr qvNasAdminGetDiskStatusWithCompletion(QVNasCompletionBlock completion);  // 305
    QVNasRequestInfoPtr qvNasAdminGetBindFlagWithCompletion(QVNasCompletionBlock completion);    // 307
    QVNasRequestInfoPtr qvNasAdminSetBindFlagWithBindFlag(uint8_t bindFlag,
                                                          QVNasCompletionBlock completion);  // 308
    QVNasRequestInfoPtr qvNasAdminInviteBindWithUserName(const QString &userName,
                                                         QVNasCompletionBlock completion);             // 309
    QVNasRequestInfoPtr qvNasAdminGetSpaceLimitStatusWithCompletion(QVNasCompletionBlock completion);  // 310
    QVNasRequestInfoPtr qvNasAdminSetSpaceLimitStatusWithEnable(int32_t enable,
                                                                QVNasCompletionBlock completion);       // 311
    QVNasRequestInfoPtr qvNasAdminGetSpaceLimitDefaultWithCompletion(QVNasCompletionBlock completion);  // 312
    QVNasRequestInfoPtr qvNasAdminSetSpaceLimitDefaultWithlimitSpace(int64_t limitSpace,
                                                                     int32_t spaceLimitSet,
                                                                     QVNasCompletionBlock completion);  // 313
    // 314: the device's code, with the list (empty on failure).
    QVNasRequestInfoPtr qvNasAdminGetSpaceLimitListWithCompletion(QVNasCompletionBlock completion);
    QVNasRequestInfoPtr qvNasAdminSetSpaceLimit(int64_t limitSpace, int32_t userId, int32_t spaceLimitSet,
                                                QVNasCompletionBlock completion);  // 315
    QVNasRequestInfoPtr qvNasAdminClearUserWithUserId(int32_t userId, int32_t clearFlag,
                                                      QVNasCompletionBlock completion);                // 316
    QVNasRequestInfoPtr qvNasAdminGetPlugInBackupInfoWithCompletion(QVNasCompletionBlock completion);  // 317
    QVNasRequestInfoPtr qvNasAdminSetPlugInBackupInfo(const QVNasDevicePlugBackupConfigInfoPtr &info,
                                                      QVNasCompletionBlock completion);  // 318
    QVNasRequestInfoPtr qvNasAdminGetShareBind(QVNasCompletionBlock completion);         // 319
    QVNasRequestInfoPtr qvNasAdminGetRemoteBindFlag(QVNasCompletionBlock completion);    // 321
    QVNasRequestInfoPtr qvNasAdminSetRemoteBindFlag(int32_t bindFlag,
                                                    QVNasCompletionBlock completion);  // 322
    QVNasRequestInfoPtr qvNasAdminSetSambaStatus(int32_t sambaStatus,
                                                 QVNasCompletionBlock completion);                     // 171
    QVNasRequestInfoPtr qvNasAdminGetSambaStatusWithCompletion(QVNasCompletionBlock completion);       // 172
    QVNasRequestInfoPtr qvNasAdminGetSelfStartStatus(QVNasCompletionBlock completion);                 // 323
    QVNasRequestInfoPtr qvNasAdminSetSelfStartStatus(int32_t value, QVNasCompletionBlock completion);  // 324
    QVNasRequestInfoPtr qvNasAdminSetDeviceReboot(QVNasCompletionBlock completion);                    // 326
    QVNasRequestInfoPtr qvNasAdminGetDeviceSleepTime(QVNasCompletionBlock completion);                 // 345
    QVNasRequestInfoPtr qvNasAdminSetDeviceSleepTime(int64_t minutes,
                                                     QVNasCompletionBlock completion);     // 344
    QVNasRequestInfoPtr qvNasAdminGetDevTimerSwitchFlag(QVNasCompletionBlock completion);  // 347
    QVNasRequestInfoPtr qvNasAdminSetDevTimerSwitchFlag(uint8_t flag,
                                                        QVNasCompletionBlock completion);  // 348
    QVNasRequestInfoPtr qvNasAdminGetDevTimerSwitchValues(int64_t switchType,
                                                          QVNasCompletionBlock completion);  // 359
    QVNasRequestInfoPtr qvNasAdminSetDevTimerSwitchValues(int64_t switchType,
                                                          const QVNasDeviceSwitchTimeInfoPtr &info,
                                                          QVNasCompletionBlock completion);  // 350

    // ---- hidden space, share links, recycle bin (QVNasPrivateInterfaceProtocol_Extras.cpp) ----
    // Answers on the main thread. 175 and 177 answer a number on success; 183 a QVNasDeviceUserInfoPtr
    // (user_id: the bucket of the hidden space's files) on success; 184 a QVNasFileListInfoPtr, 185 a
    // QVNasShareFileInfoPtr, 186 a QList<QVNasShareFileInfoPtr> in the device's order, 200 a
    // QVNasRecycleInfoPtr and 201 a QVNasRecycleFileListInfoPtr, each also after a failure.
    QVNasRequestInfoPtr qvNasGetHideSpaceEnable(QVNasCompletionBlock completion);          // 175
    QVNasRequestInfoPtr qvNasTurnOnHideSpace(QVNasCompletionBlock completion);             // 176
    QVNasRequestInfoPtr qvNasGetHideSpacePasswordStatus(QVNasCompletionBlock completion);  // 177
    QVNasRequestInfoPtr qvNasSetHideSpacePassword(const QString &password,
                                                  QVNasCompletionBlock completion);    // 178
    QVNasRequestInfoPtr qvNasGetRouterSmsVerifyCode(QVNasCompletionBlock completion);  // 179
    QVNasRequestInfoPtr qvNasResetHideSpacePasswordByVerifyCode(const QString &verifyCode,
                                                                const QString &password,
                                                                QVNasCompletionBlock completion);  // 180
    QVNasRequestInfoPtr qvNasLoginHideSpaceByPassword(const QString &password,
                                                      QVNasCompletionBlock completion);  // 181
    QVNasRequestInfoPtr qvNasLogoutHideSpace(QVNasCompletionBlock completion);           // 182
    QVNasRequestInfoPtr qvNasGetHideSpaceInfo(QVNasCompletionBlock completion);          // 183
    QVNasRequestInfoPtr qvNasGetHideSpaceFileListByStartIndex(int32_t startIndex, int32_t count,
                                                              const QVNasPathInfoPtr &searchPathInfo,
                                                              int64_t sequenceType,
                                                              QVNasCompletionBlock completion);  // 184
    // 185: shapeType 1026 asks for a password, invalidType 1027 for seven days' validity.
    QVNasRequestInfoPtr qvNasCreateShareByFileList(const QList<QVNasFileInfoPtr> &shareFileList,
                                                   int64_t shapeType, int64_t invalidType,
                                                   QVNasCompletionBlock completion);
    QVNasRequestInfoPtr qvNasGetShareListByStartIndex(int32_t startIndex, int32_t count,
                                                      QVNasCompletionBlock completion);  // 186
    // Runs under 185 and answers 187; an id beyond 32 bits is refused (-1, nothing sent).
    QVNasRequestInfoPtr qvNasCancelShareByShareInfo(const QVNasShareFileInfoPtr &shareInfo,
                                                    QVNasCompletionBlock completion);
    QVNasRequestInfoPtr qvNasRecycleGetSpaceInfo(QVNasCompletionBlock completion);  // 200
    QVNasRequestInfoPtr qvNasRecycleGetFileListByStartIndex(int32_t startIndex, int32_t count,
                                                            QVNasCompletionBlock completion);  // 201
    // 202, 203, 204: progress (status, done, total in entries) on the worker inside the operation,
    // before its answer.
    QVNasRequestInfoPtr qvNasRecycleRestoreFileList(const QList<QVNasRecycleFileInfoPtr> &list,
                                                    QVNasTransportProgressBlock progressHandel,
                                                    QVNasCompletionBlock completion);
    QVNasRequestInfoPtr qvNasRecycleDeleteFileList(const QList<QVNasRecycleFileInfoPtr> &list,
                                                   QVNasTransportProgressBlock progressHandel,
                                                   QVNasCompletionBlock completion);
    QVNasRequestInfoPtr qvNasRecycleEmpty(QVNasTransportProgressBlock progressHandel,
                                          QVNasCompletionBlock completion);
    QVNasRequestInfoPtr qvNasRecycleSetInfo(const QVNasRecycleInfoPtr &recycleInfo,
                                            QVNasCompletionBlock completion);  // 205
    // ---- the common path of every asynchronous request method ----
    enum class Lane {
        Work,  // the global pool: operations that block in the SDK
        Mark,  // the small lane: operations that only mark state (cancels)
    };
    using BridgeOperation = std::function<void(QVNasSDKManager &, const QVNasTaskInfoPtr &)>;
    // Numbers the request, stores `requestDict`, files the completion (and `progress`, unless empty) under
    // the number, submits `operation` on the lane and returns the handle.
    QVNasRequestInfoPtr submitRequest(int32_t command, const QVariantMap &requestDict,
                                      QVNasCompletionBlock completion, QVNasProgressHandel progress,
                                      BridgeOperation operation, Lane lane = Lane::Work);

    // The four handler fields (set by their request methods).
    void setOtaUpgradeProgressToOtherUserHandel(QVNasFirmwareProgressBlock h);
    void setNasRouterDeviceExecHandel(QVNasExecProgressBlock h);
    void setQvQrcodeSendRefreshTokenHandel(QVNasRefreshTokenBlock h);
    void setQvQrcodeSendUserHandel(QVNasServiceUserBlock h);

    // Filed entries (tests and leak checks).
    int completionCount() const;
    int progressCount() const;
    int32_t lastSequenceNumber() const { return m_requestCount.load(); }

    // ---- QVNasClientLibDelegate ----
    void qvDiskClientResponse(const QVNasTaskInfoPtr &task) override;
    void qvDiskClientDeviceAdd(const QVNasDeviceInfoPtr &device) override;
    void qvDiskClientDeviceDel(const QVNasDeviceInfoPtr &device) override;
    void qvDiskTransportRequest(const QVNasRequestInfoPtr &request, int32_t status, int64_t alreadyValue,
                                int64_t totalValue) override;
    void qvDiskCopyOrMoveWithRequest(const QVNasRequestInfoPtr &request,
                                     const QVNasOperateProgressInfoPtr &progressInfo) override;
    void qvDiskDynamicSearchDataWithRequestInfo(const QVNasRequestInfoPtr &request,
                                                const QList<QVNasFileInfoPtr> &searchFiles,
                                                int32_t status) override;
    void qvDiskMqttGetUSBInfoList(const QList<QVNasUSBInfoPtr> &list) override;
    void qvDiskOTAUpdateWithRequestInfo(const QVNasRequestInfoPtr &request, float progress) override;
    void qvNasUserStatusChangedListen(int64_t status) override;
    void qvNasRouterDeviceExecListen(int32_t seq, int64_t deviceStatus, int32_t taskStatus,
                                     int64_t alreadyValue, int64_t totalValue) override;
    void qvAPPScanQCCodeSendRefreshTokenListener(const QVariantMap &dict) override;
    void qvAPPScanQCCodeSendUserListener(const QVNasServiceUserInfoPtr &user) override;

  private:
    // A filed progress callback. A call holds the entry busy; a removal waits for a call in progress on
    // another thread, so that nothing reaches the callback once the removal has returned.
    struct ProgressEntry {
        std::mutex mu;
        std::condition_variable idle;
        int inCall = 0;
        std::thread::id callThread;
        bool removed = false;
        QVNasProgressHandel handel;
    };
    using ProgressEntryPtr = std::shared_ptr<ProgressEntry>;

    QVNasPrivateInterfaceProtocol();
    // Files a close of `closed` (its batch callback removed before this returns).
    QVNasRequestInfoPtr submitClose(int32_t command, const QVNasRequestInfoPtr &closed,
                                    QVNasCompletionBlock completion, BridgeOperation operation);
    QVNasProgressHandel progressFor(int32_t seq) const;
    // Calls `fn` with the filed callback of `seq`, unless it is gone or removed meanwhile.
    void withProgress(int32_t seq, const std::function<void(const QVNasProgressHandel &)> &fn) const;
    // Takes the progress callback of `seq` out of the table and waits for a call of it in progress.
    void removeProgressWaiting(int32_t seq);
    QVNasRequestInfoPtr submitCancel(int32_t command, const QVNasRequestInfoPtr &request,
                                     QVNasCompletionBlock completion, BridgeOperation operation);
    std::shared_ptr<QVNasClientLibDelegate> selfAsDelegate();

    QVNasSDKManager *m_clientLib;
    std::atomic<int32_t> m_requestCount{10240};
    mutable std::mutex m_mu;  // the two tables and the four handler fields
    QHash<int32_t, QVNasCompletionBlock> m_completionDict;
    QHash<int32_t, ProgressEntryPtr> m_progressHandelDict;
    QHash<int32_t, QVNasExecProgressBlock> m_execHandelDict;  // device operations in flight, by number
    QVNasFirmwareProgressBlock m_otaUpgradeProgressToOtherUserHandel;
    QVNasExecProgressBlock m_nasRouterDeviceExecHandel;
    QVNasRefreshTokenBlock m_qvQrcodeSendRefreshTokenHandel;
    QVNasServiceUserBlock m_qvQrcodeSendUserHandel;
};
