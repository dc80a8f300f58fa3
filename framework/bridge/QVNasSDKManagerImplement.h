// The SDK bridge: carries out every framework request against the device SDK on the thread it is called on
// (a work-pool thread, or the caller's for the path-exists request), converts the SDK's results into
// model objects, frees them, and answers the broker on the main thread (the folder listing on its worker
// thread). The SDK's C callbacks reach the delegate through the process-wide delegate.
#pragma once

#include <QHash>
#include <QIODevice>
#include <QVariantMap>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>

#include "bridge/DeviceSdk.h"
#include "bridge/QVNasSDKManager.h"
#include "model/QVNasDeviceInfo.h"
#include "model/QVNasFileInfo.h"
#include "model/QVNasFileListInfo.h"
#include "model/QVNasPathInfo.h"

class QVNasSDKManagerImplement final : public QVNasSDKManager {
  public:
    static QVNasSDKManagerImplement &shareManagerImplement();
    QVNasSDKManagerImplement(const QVNasSDKManagerImplement &) = delete;
    QVNasSDKManagerImplement &operator=(const QVNasSDKManagerImplement &) = delete;

    // The port the bridge calls; the real SDK unless a test installs a fake.
    void setDeviceSdk(DeviceSdkPtr sdk);
    DeviceSdkPtr deviceSdk() const;

    // Service (commands 1 and 2).
    void qvStartServiceWithTask(const QVNasTaskInfoPtr &task,
                                const std::shared_ptr<QVNasClientLibDelegate> &delegate) override;
    void qvStopServiceWithTask(const QVNasTaskInfoPtr &task) override;
    // Session and device information.
    void qvGetDeviceInfoListWithTask(const QVNasTaskInfoPtr &task) override;
    void qvRSetGatewayWithTask(const QVNasTaskInfoPtr &task) override;
    void qvRegisterDeviceWithTask(const QVNasTaskInfoPtr &task) override;
    void qvAuthCodeLoginDeviceWithTask(const QVNasTaskInfoPtr &task) override;
    void qvLogoutDeviceWithTask(const QVNasTaskInfoPtr &task) override;
    void qvGetUserInfoListWithTask(const QVNasTaskInfoPtr &task) override;
    void qvUserStatusChangedListenWithTask(const QVNasTaskInfoPtr &task) override;
    void qvCancelUserStatusChangedListenWithTask(const QVNasTaskInfoPtr &task) override;
    void qvGetDeviceStatusWithTask(const QVNasTaskInfoPtr &task) override;
    void qvRouterDeviceExecWithTask(const QVNasTaskInfoPtr &task) override;
    void qvDGetVersion(const QVNasTaskInfoPtr &task) override;
    void qvDGetBindCode(const QVNasTaskInfoPtr &task) override;
    void qvDGetNasDeviceInfo(const QVNasTaskInfoPtr &task) override;
    void qvDGetUserListWithTaskInfo(const QVNasTaskInfoPtr &task) override;
    void qvDGetP2PClientInfo(const QVNasTaskInfoPtr &task) override;
    void qvDGetDeviceNickName(const QVNasTaskInfoPtr &task) override;
    void qvDSetDeviceNickName(const QVNasTaskInfoPtr &task) override;
    bool qvDGetModuleSupportFlagByType(int64_t type) override;
    void qvRGetStorageInfoWithTask(const QVNasTaskInfoPtr &task) override;

    // Folder page (61) and path exists (64).
    void qvFGetFileListWithTask(const QVNasTaskInfoPtr &task) override;
    void qvFIsExistedWithTask(const QVNasTaskInfoPtr &task) override;

    // ---- transfers and operations (QVNasSDKManagerImplement_Transfers.cpp) ----
    void qvFDownloadWithTask(const QVNasTaskInfoPtr &task) override;
    void qvFCloseDownloadOperateWithTask(const QVNasTaskInfoPtr &task) override;
    void qvFTagUploadWithTask(const QVNasTaskInfoPtr &task) override;
    void qvFCloseUploadOperateWithTask(const QVNasTaskInfoPtr &task) override;
    void qvFDeleteListCbWithTask(const QVNasTaskInfoPtr &task) override;
    void qvFCopyCbWithTask(const QVNasTaskInfoPtr &task) override;
    void qvFMoveCbWithTask(const QVNasTaskInfoPtr &task) override;
    void qvFOperateTaskCancel(const QVNasTaskInfoPtr &task) override;
    void qvFGetRelaxUploadAuthValueWithTask(const QVNasTaskInfoPtr &task) override;
    void qvRelaxUploadWithTask(const QVNasTaskInfoPtr &task) override;
    void qvFGetRelaxUploadAuthValueCancelWithTask(const QVNasTaskInfoPtr &task) override;
    void qvDLogFileDownloadWithTaskInfo(const QVNasTaskInfoPtr &task) override;
    void qvDCloseLogFileDownloadWithTaskInfo(const QVNasTaskInfoPtr &task) override;
    // The progress callbacks handed to the SDK: transfers throttled per request, the others passed on.
    static void qv_download_progress(client_file_task *task) noexcept;
    static void qv_upload_progress(client_file_task *task) noexcept;
    static void qv_log_download_progress(client_file_task *task) noexcept;
    static void qv_delete_progress(client_file_task *task) noexcept;
    static void qv_copy_progress(client_file_task *task) noexcept;
    static void qv_move_progress(client_file_task *task) noexcept;
    static void qv_auth_value_progress(client_file_task *task) noexcept;
    // ---- listings and queries (QVNasSDKManagerImplement_Files.cpp) ----
    void qvFGetTypeFileListWithTask(const QVNasTaskInfoPtr &task) override;
    void qvFGetFileMutilTypeListWithTask(const QVNasTaskInfoPtr &task) override;
    void qvFGetDirTypeListWithTask(const QVNasTaskInfoPtr &task) override;
    void qvFGetFileTypeListByPathWithTask(const QVNasTaskInfoPtr &task) override;
    void qvFDeleteFileTypeListByPathWithTask(const QVNasTaskInfoPtr &task) override;
    void qvFMkdirsWithTask(const QVNasTaskInfoPtr &task) override;
    void qvFRenameWithTask(const QVNasTaskInfoPtr &task) override;
    void qvFSetTagWithTask(const QVNasTaskInfoPtr &task) override;
    void qvFAddTagsWithTask(const QVNasTaskInfoPtr &task) override;
    void qvFSearchForMultiWithTask(const QVNasTaskInfoPtr &task) override;
    void qvFCloseSearchForMultiWithTask(const QVNasTaskInfoPtr &task) override;
    void qvGetFileListByGPSWithTask(const QVNasTaskInfoPtr &task) override;
    void qvCloseGetFileListByGPS(const QVNasTaskInfoPtr &task) override;
    void qvGetFileAttrWithTask(const QVNasTaskInfoPtr &task) override;
    QString qvGetFileUriByToken(const QVNasPathInfoPtr &pathInfo) override;
    void qvGetFileRecordsList(const QVNasTaskInfoPtr &task) override;
    void qvGetFileAggregationList(const QVNasTaskInfoPtr &task) override;
    void qvSetRecentRecordHideWithTask(const QVNasTaskInfoPtr &task) override;
    // The streamed replies of the search and of the photo listing, on the listing's worker thread.
    static void onSearchForMultiResult(client_file_task *task) noexcept;
    static void onFileListByGPSResult(client_file_task *task) noexcept;
    // ---- administration (QVNasSDKManagerImplement_Admin.cpp) ----
    void qvDAdminGetPwdStatus(const QVNasTaskInfoPtr &task) override;
    void qvDAdminSetPwd(const QVNasTaskInfoPtr &task) override;
    void qvDAdminModifyPwd(const QVNasTaskInfoPtr &task) override;
    void qvDAdminLoginWithPwd(const QVNasTaskInfoPtr &task) override;
    void qvDAdminGetSysInfo(const QVNasTaskInfoPtr &task) override;
    void qvDAdminGetDiskStatus(const QVNasTaskInfoPtr &task) override;
    void qvDAdminGetBindFlag(const QVNasTaskInfoPtr &task) override;
    void qvDAdminSetBindFlag(const QVNasTaskInfoPtr &task) override;
    void qvDAdminInviteBind(const QVNasTaskInfoPtr &task) override;
    void qvDAdminGetSpaceLimitStatus(const QVNasTaskInfoPtr &task) override;
    void qvDAdminSetSpaceLimitStatus(const QVNasTaskInfoPtr &task) override;
    void qvDAdminGetSpaceLimitDefault(const QVNasTaskInfoPtr &task) override;
    void qvDAdminSetSpaceLimitDefault(const QVNasTaskInfoPtr &task) override;
    void qvDAdminGetSpaceLimitList(const QVNasTaskInfoPtr &task) override;
    void qvDAdminSetSpaceLimit(const QVNasTaskInfoPtr &task) override;
    void qvDAdminClearUser(const QVNasTaskInfoPtr &task) override;
    void qvDAdminGetUsbbackupMode(const QVNasTaskInfoPtr &task) override;
    void qvDAdminSetUsbbackupMode(const QVNasTaskInfoPtr &task) override;
    void qvDAdminGetSambaStatus(const QVNasTaskInfoPtr &task) override;
    void qvDAdminSetSambaStatus(const QVNasTaskInfoPtr &task) override;
    void qvDAdminGetShareBind(const QVNasTaskInfoPtr &task) override;
    void qvDAdminGetRemoteBindFlag(const QVNasTaskInfoPtr &task) override;
    void qvDAdminSetRemoteBindFlag(const QVNasTaskInfoPtr &task) override;
    void qvDAdminGetSelfStartStatus(const QVNasTaskInfoPtr &task) override;
    void qvDAdminSetSelfStartStatus(const QVNasTaskInfoPtr &task) override;
    void qvDAdminSetDeviceReboot(const QVNasTaskInfoPtr &task) override;
    void qvDAdminGetDeviceSleepTime(const QVNasTaskInfoPtr &task) override;
    void qvDAdminSetDeviceSleepTime(const QVNasTaskInfoPtr &task) override;
    void qvDAdminGetDevTimerSwitchFlag(const QVNasTaskInfoPtr &task) override;
    void qvDAdminSetDevTimerSwitchFlag(const QVNasTaskInfoPtr &task) override;
    void qvDAdminGetDevTimerSwitchValues(const QVNasTaskInfoPtr &task) override;
    void qvDAdminSetDevTimerSwitchValues(const QVNasTaskInfoPtr &task) override;

    // ---- QR-code login (QVNasSDKManagerImplement_QRCode.cpp) ----
    // The login context is one handle: create releases an earlier one first; start holds it without the
    // lock for its blocking exchange; stop sets the context's stop flag; release takes the handle out, ends
    // a waiting start and frees the context once every call using it has returned.
    void qvDQRCodeServiceInit(const QVNasTaskInfoPtr &task) override;
    void qvDQRCodeServiceCreate(const QVNasTaskInfoPtr &task) override;
    void qvDQRCodeServiceStartRequestAuthCode(const QVNasTaskInfoPtr &task) override;
    void qvDQRCodeServiceStopRequestAuthCode(const QVNasTaskInfoPtr &task) override;
    void qvDQRCodeServiceSetAuthListener(const QVNasTaskInfoPtr &task) override;
    void qvDQRCodeServiceSetUserListener(const QVNasTaskInfoPtr &task) override;
    void qvDQRCodeServiceRelease(const QVNasTaskInfoPtr &task) override;
    void qvDQRCodeServiceGetRequestInfo(const QVNasTaskInfoPtr &task) override;
    void qvDQRCodeServiceSendUserInfo(const QVNasTaskInfoPtr &task) override;
    void qvDQRCodeServiceSendAuthCode(const QVNasTaskInfoPtr &task) override;
    // The pushed events, on the messaging library's thread.
    static void qv_auth_listener_cb(const char *authCode) noexcept;
    static void qv_user_info_listener_cb(const char *nickName, const char *imageUrl) noexcept;
    // The folder of the login connection's certificate file (the caches folder).
    static QString qrCertificateFolder();
    bool hasQRCodeContext() const;

    // ---- firmware (QVNasSDKManagerImplement_Firmware.cpp) ----
    void qvDOTA2HasLatestVersionWithTask(const QVNasTaskInfoPtr &task) override;
    void qvDSetOTA2UpgradeWithTask(const QVNasTaskInfoPtr &task) override;
    void qvDOTA2ListenWithTask(const QVNasTaskInfoPtr &task) override;
    static void qv_ota_progress_update_cb(client_file_task *task) noexcept;
    // Reports the listen running on this thread under its own request number.
    static void qv_ota_progress_listen_cb(int process, int total, int reserved) noexcept;
    // ---- hidden space, share links, recycle bin (QVNasSDKManagerImplement_Extras.cpp) ----
    void qvFGetHideSpaceEnableByTask(const QVNasTaskInfoPtr &task) override;
    void qvFTurnOnHideSpaceByTask(const QVNasTaskInfoPtr &task) override;
    void qvFGetHideSpacePasswordStatusByTask(const QVNasTaskInfoPtr &task) override;
    void qvFSetHideSpacePasswordByTask(const QVNasTaskInfoPtr &task) override;
    void qvFGetRouterSmsVerifyCodeByTask(const QVNasTaskInfoPtr &task) override;
    void qvFResetHideSpacePasswordByTask(const QVNasTaskInfoPtr &task) override;
    void qvFLoginHideSpaceByTask(const QVNasTaskInfoPtr &task) override;
    void qvFLogoutHideSpaceByTask(const QVNasTaskInfoPtr &task) override;
    void qvFGetHideSpaceInfoByTask(const QVNasTaskInfoPtr &task) override;
    void qvFGetHideSpaceFileListByTask(const QVNasTaskInfoPtr &task) override;
    void qvFCreateShareByTask(const QVNasTaskInfoPtr &task) override;
    void qvFGetShareListByTask(const QVNasTaskInfoPtr &task) override;
    void qvFCancelShareByTask(const QVNasTaskInfoPtr &task) override;
    void qvFRecycleGetSpaceInfoByTask(const QVNasTaskInfoPtr &task) override;
    void qvFRecycleGetFileListByTask(const QVNasTaskInfoPtr &task) override;
    void qvFRecycleRestoreFileListByTask(const QVNasTaskInfoPtr &task) override;
    void qvFRecycleDeleteFileListByTask(const QVNasTaskInfoPtr &task) override;
    void qvFRecycleEmptyByTask(const QVNasTaskInfoPtr &task) override;
    void qvFRecycleSetInfoByTask(const QVNasTaskInfoPtr &task) override;
    // The progress of restore, and of delete and empty, on the operation's thread inside its SDK call.
    static void qv_recycle_restore_event(client_file_task *task) noexcept;
    static void qv_recycle_delete_event(client_file_task *task) noexcept;

    // Sends the answered task to the delegate (on the thread it is called on).
    void qvCommandResponseWithDict(const QVNasTaskInfoPtr &task);
    // The answer dictionary as a response: a positive code arrives with 100000 added.
    static QVNasResponseInfoPtr qvGetResponseInfoByDict(const QVariantMap &dict);

    // The SDK's path record for a path object; none when its bucket id does not fit the record's int32
    // (nothing may then be sent). `path` holds the UTF-8 text and must outlive the record.
    static std::optional<path_info> qvGetUserObj(const QVNasPathInfoPtr &pathInfo, QByteArray &path);
    static QVNasFileInfoPtr qvGetNasFileInfoByDn(const file_dnode *node);
    static QVNasDeviceInfoPtr getDeviceDictWithInfo(const qv_dev_detail *detail);
    // A listing page as a model: counts as reported, entries whose name begins with "." left out.
    static QVNasFileListInfoPtr fileListInfoFromPage(const file_list_page *page);

    // The session token of the device login (0 until then) and the service context.
    void setSrcToken(int64_t token) { m_srcToken.store(token); }
    int64_t srcToken() const { return m_srcToken.load(); }
    bool hasClientContext() const { return m_clientContext.load() != nullptr; }

    // The transport-stream table.
    void addTransportStream(int32_t seq, const std::shared_ptr<QIODevice> &stream);
    void removeTransportStreamWithSeq(int32_t seq);
    static int32_t qvReadFileStreamBuffer(int32_t seq, char *buffer, uint64_t maxLength);

    // The C callbacks given to the SDK at start.
    static void onDeviceListAdd(const qv_dev_detail *detail) noexcept;
    static void onDeviceListDel(const qv_dev_detail *detail) noexcept;
    static void onUsbBackupInfoList(const qv_usb_status *list, int count) noexcept;
    static void qv_user_status_changed_listen_cb(const char *topic, const char *message) noexcept;
    static void qv_routerDeviceExecListen(client_file_task *task) noexcept;

    static std::shared_ptr<QVNasClientLibDelegate> delegate();

  private:
    QVNasSDKManagerImplement() = default;
    enum class Hop { MainAndWait, ThisThread };
    void answer(const QVNasTaskInfoPtr &task, int result, int32_t command,
                const std::optional<QVariant> &data, Hop hop);
    // Transfers: the SDK call under a throttle of the request's own; kinds cancelled by sequence number.
    using TransferCall = std::function<int(DeviceSdk &, ppc_router_task *)>;
    int runThrottled(const QVNasTaskInfoPtr &task, const TransferCall &call);
    void cancelOfKind(const QVNasTaskInfoPtr &task, int32_t kind, const char *what,
                      const std::function<void()> &after = {});
    void copyOrMove(const QVNasTaskInfoPtr &task, bool move);

    mutable std::mutex m_sdkMu;
    DeviceSdkPtr m_sdk;
    std::atomic<ppc_router_task *> m_clientContext{nullptr};
    // Held shared by the module flag, which reads inside the context outside the runtime's call gate; the
    // stop takes the context away under it before the runtime frees it.
    std::shared_mutex m_contextMu;
    std::atomic<int64_t> m_srcToken{0};
    std::mutex m_streamMu;  // the transport-stream table
    // The QR-code login context: m_qrMu guards the handle and the count of calls using it (never held
    // across a blocking SDK call); m_qrLifeMu orders creates and releases.
    QVSLRA *qrAcquire();
    void qrLeave(QVSLRA *context);
    void qrReleaseHandle(DeviceSdk &sdk);
    mutable std::mutex m_qrMu;
    std::condition_variable m_qrIdle;
    QVSLRA *m_qrContext = nullptr;
    int m_qrUsers = 0;
    std::mutex m_qrLifeMu;
    QHash<int32_t, std::shared_ptr<QIODevice>> m_streams;
};
