// A scripted device SDK for tests and benchmarks: results set per function, folder pages built with the
// SDK's own list helpers, listings that block on a latch, and the SDK's callbacks fired from a thread of
// its own.
#pragma once

#include <QByteArray>
#include <QString>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bridge/DeviceSdk.h"

class FakeDeviceSdk final : public DeviceSdk {
  public:
    struct Entry {
        std::string name;  // raw bytes; empty with `noName` gives a node without a name text
        int64_t size = 0;
        int64_t date = 0;
        bool isFolder = false;
        bool noName = false;
        bool noPath = false;
        int32_t bucketId = -1;  // -1: the request's
        double latitude = 0, longitude = 0;
        std::optional<std::vector<std::string>> tags{};  // a tag ring when set (in this order)
        // An album's listed files (a type array when not empty); nullopt stands for a file without a path.
        std::vector<std::optional<std::string>> albumFiles{};
        bool album = false;  // a type array even when albumFiles is empty
    };
    struct Page {
        int32_t count = -1;       // reported page count; -1: the number of entries
        int32_t totalCount = -1;  // reported total; -1: the number of entries
        std::vector<Entry> entries;
    };
    struct StartCall {
        std::string cacheDir;
        std::string gateway;
        ppc_dev_cb onDeviceAdd = nullptr;
        ppc_dev_cb onDeviceDel = nullptr;
        ppc_usb_status_cb onUsbStatus = nullptr;
    };
    struct ListCall {
        std::string path;
        int32_t bucketId = 0;
        int32_t start = 0;
        int32_t count = 0;
        int32_t sortType = 0;
        int64_t token = 0;
    };

    // What the session and device-information calls hand out (set before the call; read under the lock).
    struct Outputs {
        std::vector<qv_dev_detail> devices;  // ppc_get_dev_detail_list
        int64_t loginToken = 0;              // written by a login that answers 0
        bool userListNull = false;           // ppc_FileGetUserList answers null
        std::vector<user_list_item> fileUsers;
        qv_dev_status status{};
        std::string version;   // raw bytes, at most 32 copied
        std::string bindCode;  // raw bytes, at most 32 copied
        nas_device_info nasInfo{};
        std::vector<user_list_info> users;  // ppc_GetUserList
        p2p_client_info p2p{};
        std::string nickName;  // raw bytes, at most 64 copied (64 leaves no terminator)
        user_space_dnode space{};
        std::vector<std::pair<int32_t, int32_t>> modules;  // (type, flag) of the logged-in device
        struct Report {
            int32_t status;
            int64_t done, total;
        };
        std::vector<Report> execReports;  // progress of ppc_router_DeviceExec, in order

        // ---- listings and queries ----
        Page typePage;  // what the type listings hand out
        struct Batch {
            int32_t status = 1;
            Page page{};
        };
        std::vector<Batch> searchBatches;   // streamed replies of a search, in order
        std::vector<Batch> gpsBatches;      // streamed replies of a photo listing
        int searchCancelledResult = 20008;  // what a cancelled search answers
        struct Attr {
            int64_t size = 0;
            int32_t folders = 0, files = 0;
            std::vector<std::string> tags{};  // a tag array when not empty
            int32_t mediaType = 0;
            std::optional<image_media_info> image{};
            std::optional<audio_media_info> audio{};
            std::optional<video_media_info> video{};
        } attr;
        std::string uri;  // empty: no address
        struct Recent {
            int32_t type = 0;  // 1: an aggregation
            int32_t aggregateId = 0, logId = 0, enableHide = 0, cmd = 0, userId = 0, bucketId = 0;
            int64_t time = 0;
            std::string nickName{};  // raw bytes, at most 64 copied
            std::string name{}, path{};
            std::vector<std::string> files{};  // an aggregation's files (names; paths "/r/<name>")
            int32_t pictures = 0, videos = 0, aggregateTotal = -1;
        };
        std::vector<Recent> recent;
        int32_t recentCount = -1, recentTotal = -1;  // -1: the number of records
    };
    // One recorded call: the function, its text arguments (and numbers as text), its thread.
    struct Call {
        std::string fn;
        std::vector<std::string> args;
        std::thread::id thread;
    };

    ~FakeDeviceSdk() override;

    // Result of the named function (default 0; for pointer answers a nonzero result answers null).
    void script(const std::string &fn, int result);
    void editOutputs(const std::function<void(Outputs &)> &edit);
    std::vector<Call> calls() const;
    std::vector<Call> callsOf(const std::string &fn) const;
    // Holds every device operation inside its call, before its reports, until released.
    void holdExec(bool hold);
    int execsHeld() const;
    bool waitExecsHeld(int n, int ms) const;
    // The user-status callback the last listen gave, called with `message` on a thread of the fake's own.
    std::thread::id fireUserStatus(const char *message);
    // User lists still handed out (allocated and not yet freed).
    int liveUserLists() const;

    // ---- script ----
    // Start: with `createContext` a context comes back; `error` is written to the error variable unless
    // it is INT32_MIN (never written).
    void scriptStart(bool createContext, int error);
    void scriptStop(int result) {
        std::lock_guard<std::mutex> l(m_mu);
        m_stopResult = result;
    }
    void scriptList(int result) {
        std::lock_guard<std::mutex> l(m_mu);
        m_listResult = result;
    }
    void scriptExists(int result) {
        std::lock_guard<std::mutex> l(m_mu);
        m_existsResult = result;
    }
    void setPage(Page page) {
        std::lock_guard<std::mutex> l(m_mu);
        m_page = std::move(page);
    }
    // While closed, every listing blocks until released.
    void closeListLatch();
    void releaseListings(int n);  // lets n blocked or later listings through
    void openListLatch();         // lets every listing through from now on
    int blockedListings() const;
    // Blocks (spinning no loop) until `n` listings are blocked; false after `ms`.
    bool waitBlocked(int n, int ms) const;

    // ---- callbacks, each fired on a thread of the fake's own and joined ----
    std::thread::id fireDeviceAdd(const qv_dev_detail &detail);
    std::thread::id fireDeviceDel(const qv_dev_detail &detail);
    std::thread::id fireUsbStatus(const std::vector<qv_usb_status> &list);

    // ---- what was called ----
    std::vector<StartCall> startCalls() const;
    std::vector<ListCall> listCalls() const;
    int stopCalls() const;
    int existsCalls() const;

    // ---- DeviceSdk ----
    ppc_router_task *ppc_start_Service(const char *cacheDir, ppc_dev_cb onDeviceAdd, ppc_dev_cb onDeviceDel,
                                       ppc_usb_status_cb onUsbStatus, const char *gateway,
                                       int *error) override;
    int ppc_stop_Service(ppc_router_task *context) override;
    int ppc_FileGetList(path_info target, int32_t start, int32_t count, int32_t sortType,
                        file_list_page **out, int64_t token) override;
    int ppc_FileIsExist(path_info target, int64_t token) override;

    ppc_router_task *lastContext() const;
    int ppc_set_Gateway(ppc_router_task **context, const char *gateway) override;
    qv_dev_detail **ppc_get_dev_detail_list(uint32_t *count) override;
    int ppc_free_dev_detail_list(qv_dev_detail **list) override;
    exdev_dnode *ppc_device_register(const char *name, const char *uuid, int64_t token) override;
    int ppc_login_by_authcode(const char *authCode, const char *addr, int64_t *token,
                              ppc_router_task *context) override;
    int ppc_logout(int64_t token, ppc_router_task *context) override;
    int ppc_userStatusChangedListen(const char *userId, ppc_user_status_cb cb,
                                    ppc_router_task *context) override;
    int ppc_cancel_userStatusChangedListen(ppc_router_task *context) override;
    user_list_item **ppc_FileGetUserList(int64_t token) override;
    void ppc_free_user_list(user_list_item **list) override;
    int ppc_DGetDeviceStatus(qv_dev_status *status, const char *ip, int64_t token) override;
    int ppc_router_DeviceExec(int32_t seq, int32_t deviceStatus, const char *ip, int64_t token,
                              file_task_cb progress, ppc_router_task *context) override;
    int ppc_RouterGetFWVersion(char *version, int64_t token) override;
    int ppc_get_BindCode(const char *ip, char *bindCode) override;
    int ppc_GeNasDeviceInfo(nas_device_info *info, int64_t token) override;
    int ppc_GetUserList(user_list_info ***list, int64_t token) override;
    void qv_user_list_free(user_list_info **list) override;
    int ppc_isModuleSupport(ppc_router_task *context, int32_t type) override;
    int ppc_p2p_get_client_info(p2p_client_info *info, int64_t token) override;
    int ppc_GetDeviceNickName(char *name, int64_t token) override;
    int ppc_SetDeviceNickName(const char *name, int64_t token) override;
    int ppc_FileGetUserSpace(user_space_dnode *space, int64_t token) override;

    // ---- listings and queries ----
    // While held, a search or photo listing stops before each streamed reply after the first until it is
    // cancelled or released; a cancelled one delivers the reply it holds and then answers.
    void holdStreams(bool hold);
    // Waits until `n` streamed replies have been handed to callbacks, in all; false after `ms`.
    bool waitBatchesDelivered(int n, int ms) const;
    bool waitStreamHeld(int ms) const;
    int recentListsLive() const;

    int ppc_FileGetTypeList(int32_t fileType, int32_t sortType, file_list_info **out, int32_t offset,
                            int32_t length, int64_t token) override;
    int ppc_FileGetMutilTypeList(const int32_t *types, int32_t typeCount, int32_t sortType,
                                 file_list_info **out, int32_t offset, int32_t length,
                                 int64_t token) override;
    int ppc_DirGetTypeList(int32_t fileType, int32_t sortType, int32_t childCount, int32_t offset,
                           int32_t length, file_list_info **out, int64_t token) override;
    int ppc_FileGetTypeListByPath(int32_t fileType, int32_t sortType, path_info target, file_list_info **out,
                                  int32_t offset, int32_t length, int64_t token) override;
    int ppc_FileDelTypeListByPath(int32_t fileType, path_info target, int64_t token) override;
    int ppc_mkdir(path_info target, uint16_t mode, int64_t token) override;
    int ppc_rename(path_info from, path_info to, int64_t token) override;
    int ppc_stat(path_info target, file_stat *st, int64_t token) override;
    void file_stat_release(file_stat *st) override;
    int ppc_FileSetTag(path_info target, const char *const *tags, int32_t tagCount, int64_t token) override;
    int ppc_FileListTag(path_info **paths, int32_t pathCount, const char *const *tags, int32_t tagCount,
                        int32_t tagType, int64_t token) override;
    char *ppc_FGetUriByToken(const char *path, int32_t bucketId, int64_t token) override;
    int ppc_file_SearchMultiFunc(int32_t seq, int32_t sortType, const search_condition *cond, int64_t token,
                                 file_task_cb cb, int32_t currentOnly, ppc_router_task *context) override;
    int ppc_cancel_FileMultiFuncSearchTask(int32_t seq, ppc_router_task *context) override;
    int ppc_get_FileGpsList(int32_t seq, gps_condition *scope, double lat1, double lon1, double lat2,
                            double lon2, int64_t token, file_task_cb cb, ppc_router_task *context) override;
    int ppc_cancel_FileGpsListTask(int32_t seq, ppc_router_task *context) override;
    int ppc_FileGetRecordsList(int32_t offset, int32_t length, int32_t childCount, int64_t token,
                               recent_list **out) override;
    int ppc_FileGetAggregationList(int32_t offset, int32_t length, int32_t aggregationId, int64_t token,
                                   recent_list **out) override;
    void ppc_free_recent_list(recent_list *list) override;
    int ppc_SetRecentRecordHide(const qv_record_hide *record, int64_t token) override;

    // ---- transfers and operations ----
    // A long call (download, upload, log download, delete, copy, move, check value) runs as a task of the
    // context's list, so that the runtime's cancels find it; it gives its reports in order and answers its
    // result, or QV_ERR_CANCELLED once a cancel marked it before the end.
    struct Report {
        int32_t status = 0;
        int64_t done = 0;
        int64_t total = 0;
    };
    struct TransferScript {
        int result = 0;
        std::vector<Report> reports;
        bool fed = false;              // reports come from feedReport() until finishFed(), not `reports`
        bool holdUntilCancel = false;  // after its reports the call blocks until a cancel marks it
        std::string authValue = "0123456789abcdef0123456789abcdef_5";  // the check value on 0
        int32_t deviceStatus = 1;                                      // the instant upload's status on 0
    };
    // The script of one function ("ppc_file_download", ...); unscripted calls answer 0 without reports.
    void scriptTransfer(const std::string &fn, TransferScript script);
    // Hands the fed call numbered `seq` one report and waits until its callback returned (false after `ms`,
    // or when the call ended first); finishFed ends the call.
    bool feedReport(int32_t seq, Report report, int ms = 5000);
    void finishFed(int32_t seq);
    // Long calls waiting for a step or a cancel.
    bool waitTransfersHeld(int n, int ms) const;
    // The total a delete request carried when the call began, per delete call.
    std::vector<int64_t> deleteTotalsAtEntry() const;

    int ppc_file_download(int32_t seq, const char *folder, path_info src, int64_t token,
                          file_task_cb progress, ppc_router_task *context) override;
    int ppc_upload_FileTag(int32_t seq, const char *localPath, int32_t tagCount, char **tags, path_info dst,
                           int64_t token, file_task_cb progress, ppc_router_task *context) override;
    int ppc_log_file_download(int32_t seq, const char *path, int32_t logType, int64_t token,
                              file_task_cb progress, ppc_router_task *context) override;
    int ppc_delete_FileListCb(delete_list_req *request, int64_t token, ppc_router_task *context) override;
    int ppc_file_CopyCb(int32_t seq, path_info src, path_info dst, int64_t token, file_task_cb progress,
                        ppc_router_task *context) override;
    int ppc_file_MoveCb(int32_t seq, path_info src, path_info dst, int64_t token, file_task_cb progress,
                        ppc_router_task *context) override;
    int ppc_get_RelaxUploadAuthValue(int32_t seq, const char *localPath, const char *kind, char *value,
                                     file_task_cb progress, ppc_router_task *context) override;
    int ppc_FileRelaxUpload(int64_t size, uint32_t modifyTime, const char *kind, const char *value,
                            path_info dst, int32_t *deviceStatus, int64_t token) override;
    int ppc_cancel_task(ppc_router_task *context, uint8_t byKind, int32_t kind, int64_t seq) override;
    int ppc_cancel_FileTask(int32_t seq, ppc_router_task *context) override;
    int ppc_cancel_GetRelaxUploadAuthValue(int32_t seq, ppc_router_task *context) override;

    // ---- QR-code login and firmware (FakeDeviceSdkQRFirmware.cpp) ----
    // One login context at a time, as the SDK keeps it: allocated by a create of 0, freed by its release.
    // A start with `holdQrStart` waits until its context's stop flag is set and then answers 20000.
    struct QrScript {
        std::string authUrl = "https://127.0.0.1/sl/a?code=AB12&deviceType=3";
        std::string authId = "auth0123456789";
        uint32_t expiry = 120;
        int32_t platform = 0, os = 3;  // what the request info reports on 0
        int deviceType = 3;            // the type a scanned URL must name
        bool holdQrStart = false;
    };
    struct FirmwareScript {
        // The check: the version record on 0 or 10284.
        std::string product = "QV-NAS", version = "2.5.0", description = "notes";
        int64_t size = 0;
        int force = 0, status = 0;
        // The update: its reports (done = percent), and the device's status out on 0 (0: none needed).
        std::vector<int64_t> updateReports;
        int32_t updateStatus = 1;
        // The follow-up: nothing running answers 0 at once; else its (percent, total) reports.
        bool listenRunning = false;
        std::vector<std::pair<int, int>> listenReports;
        bool holdListen = false;  // a running follow-up waits before its reports until released
    };
    void editQr(const std::function<void(QrScript &)> &edit);
    void editFirmware(const std::function<void(FirmwareScript &)> &edit);
    bool waitQrStartsHeld(int n, int ms) const;
    bool waitListensHeld(int n, int ms) const;
    // The live login context (null after its release) and calls that found theirs freed.
    QVSLRA *qrContext() const;
    int qrStaleUses() const;
    // The pushed events, through the last listeners set, on a thread of the fake's own.
    std::thread::id fireQrAuth(const char *authCode);
    std::thread::id fireQrUser(const char *nickName, const char *imageUrl);

    int ppc_qvsl_init(const char *appId, const char *appKey, int deviceType) override;
    int ppc_qvsl_QVSLRA_create(QVSLRA **context, int platformType, int os, const char *certDir) override;
    int ppc_qvsl_request_auth_start(QVSLRA *context, char *authUrl, char *authId, uint32_t *expiry) override;
    void ppc_qvsl_request_auth_stop(QVSLRA *context) override;
    void ppc_qvsl_QVSLRA_release(QVSLRA *context) override;
    int ppc_qvsl_set_auth_listener(const char *authId, qvsl_auth_listener listener) override;
    int ppc_qvsl_set_user_info_listener(const char *authId, qvsl_user_info_listener listener) override;
    int ppc_qvsl_get_request_info(const char *authUrl, int32_t out[2]) override;
    int ppc_qvsl_send_user_info(const char *authUrl, const qvsl_user_info *userInfo) override;
    int ppc_qvsl_send_auth_code(const char *authUrl, const char *authCode) override;
    int ppc_OTA2HasLatestVersion(const char *language, const char *ip, soft_version_info *info, int *force,
                                 int *status, int64_t token) override;
    int qvota_update(int32_t seq, file_task_cb progress, const char *ip, int32_t *status,
                     ppc_router_task *context, int64_t token) override;
    int ota_listen(ppc_ota_listen_cb progress, const char *ip, ppc_router_task *context) override;
    // ---- administration (FakeDeviceSdkAdmin.cpp) ----
    // What the reads hand out when they answer 0 (a scripted nonzero result writes nothing).
    struct AdminOutputs {
        int pwdStatus = 0, bindFlag = 1, remoteBindFlag = 1, spaceLimitStatus = 1, selfStart = 1;
        int limitSet = 1;
        int64_t limitSpace = 5000;
        int usbMode = 0, ptpMode = 1;
        int samba = 5;
        std::string shareBind = "http://bind.example/share";  // raw bytes, cut to the buffer
        int64_t sleepMinutes = 30;
        uint8_t timerFlag = 1;
        int32_t timerSeconds = 3600, timerOnce = 0;
        admin_sys_info sys{};
        int32_t diskMode = 0;
        // The disks the record gets: at most QV_DISK_STATUS_MAX are written, while the count reports
        // `diskCount` (-1: the number written) so that a record whose count passes its slots is scripted.
        std::vector<disk_status_info> disks;
        int32_t diskCount = -1;
        std::vector<space_limit_info> limits;  // the space-limit list
    };
    void editAdmin(const std::function<void(AdminOutputs &)> &edit);
    int liveSpaceLimitLists() const;

    int ppc_AdminGetPwdStatus(const char *ip, int *status, int64_t token) override;
    int ppc_AdminSetPwd(const char *ip, const char *password, int64_t token) override;
    int ppc_AdminModifyPwd(const char *oldPassword, const char *newPassword, int64_t token) override;
    int ppc_AdminLogin(const char *password, int64_t token) override;
    int ppc_AdminGetSysInfo(admin_sys_info *info, int64_t token) override;
    int ppc_AdminGetDiskStatusInfo(disk_status_list *list, int64_t token) override;
    int ppc_AdminGetBindFlag(int *flag, int64_t token) override;
    int ppc_AdminSetBindFlag(int flag, int64_t token) override;
    int ppc_AdminInviteBind(const char *userName, int64_t token) override;
    int ppc_AdminGetSpaceLimitStatus(int *enable, int64_t token) override;
    int ppc_AdminSetSpaceLimitStatus(int enable, int64_t token) override;
    int ppc_AdminGetSpaceLimitDefault(int *limitSet, int64_t *limitSpace, int64_t token) override;
    int ppc_AdminSetSpaceLimitDefault(int limitSet, int64_t limitSpace, int64_t token) override;
    int ppc_AdminGetSpaceLimitListResult(space_limit_info ***list, int64_t token) override;
    void qv_space_limit_list_free(space_limit_info **list) override;
    int ppc_AdminSetSpaceLimit(int userId, int limitSet, int64_t limitSpace, int64_t token) override;
    int ppc_AdminClearUser(int userId, int clearFlag, int64_t token) override;
    int ppc_AdminGetUsbbackupMode(int *usbMode, int *ptpMode, int64_t token) override;
    int ppc_AdminSetUsbbackupMode(int usbMode, int ptpMode, int64_t token) override;
    int ppc_GetSambaStatus(int *status, int64_t token) override;
    int ppc_SetSambaStatus(int enabled, int64_t token) override;
    int ppc_AdminShareBind(char *buf, int size, int64_t token) override;
    int ppc_AdminGetRemoteBindFlag(int *flag, int64_t token) override;
    int ppc_AdminSetRemoteBindFlag(int flag, int64_t token) override;
    int ppc_AdminGetSelfStartStatus(int *status, int64_t token) override;
    int ppc_AdminSetSelfStart(int value, int64_t token) override;
    int ppc_AdminSetDeviceReboot(int64_t token) override;
    int ppc_AdminGetDeviceSleepTime(int64_t token, int64_t *minutes) override;
    int ppc_AdminSetDeviceSleepTime(int64_t token, int64_t minutes) override;
    int ppc_getDeviceTimerSwitchFlag(uint8_t *flag, int64_t token) override;
    int ppc_setDeviceTimerSwitchFlag(int32_t flag, int64_t token) override;
    int ppc_getDeviceTimerSwitchValues(int32_t switchType, int32_t *seconds, int32_t *once,
                                       int64_t token) override;
    int ppc_setDeviceTimerSwitchValues(int32_t switchType, int32_t seconds, int32_t once,
                                       int64_t token) override;

  private:
    AdminOutputs m_admin;
    int m_liveLimitLists = 0;
    // Records a call with its arguments and answers its scripted result; on 0 `write` fills the outputs.
    int adminCall(const std::string &fn, std::vector<std::string> args,
                  const std::function<void(const AdminOutputs &)> &write = {});

  public:
    // ---- hidden space, share links, recycle bin (FakeDeviceSdkExtras.cpp) ----
    struct Share {
        uint64_t id = 0;
        std::string url, password, name;
        uint64_t expect = 0, createTime = 0;
        uint8_t hasPw = 0;
        int8_t status = 1;
        int32_t fileCount = 0;
    };
    struct RecycleItem {
        int32_t key = 0, bucketId = 0, isFolder = 0;
        int64_t size = 0, date = 0, deleteTime = 0, remainTime = 0;
        std::optional<std::string> name, path;  // none: no text
    };
    struct ExtrasOutputs {
        uint32_t hideEnabled = 1, pwdSet = 1;  // the flags written on 0
        bool hideInfoRecord = true;            // 184 hands out a record on 0
        std::string hideNickName = "private";
        int32_t hideBucketId = 1001;
        Page hidePage;                   // 185's holder on 0
        bool hidePageOnFailure = false;  // 185 also hands out a holder when it fails
        Share created;                   // 187's record on 0
        std::vector<Share> shares;       // 188's reply, in the device's order
        int64_t survive = 30;
        std::vector<std::pair<int32_t, int32_t>> buckets;                // 214: (bucket id, type)
        int32_t recycleStart = 0, recycleCount = -1, recycleTotal = -1;  // -1: the number of items
        std::vector<RecycleItem> recycle;                                // 210's page
        std::vector<Report> recycleReports;                              // what 211-213 report, in order
    };
    // What one restore or delete key list held: its keys, whether every node past the key was zero, and
    // the node slots before the empty one.
    struct KeyList {
        std::vector<int32_t> keys;
        bool zeroed = true;
        int32_t header[3] = {0, 0, 0};
    };
    void editExtras(const std::function<void(ExtrasOutputs &)> &edit);
    std::vector<KeyList> keyLists() const;
    // Records handed out and not yet freed (hidden-space records, holders, share rings, recycle records).
    int liveExtras() const;

    int ppc_HideSpaceIsEnable(uint32_t *flag, int64_t token) override;
    int ppc_HideSpaceEnable(int64_t token) override;
    int ppc_HideSpacePwdIsSet(uint32_t *flag, int64_t token) override;
    int ppc_HideSpacePwdSet(const char *pwd, int64_t token) override;
    int ppc_RouterSmsVerifyCode(int64_t token) override;
    int ppc_HideSpacePwdReset(const char *verifyCode, const char *pwd, int64_t token) override;
    int ppc_HideSpaceLogin(const char *pwd, int64_t token) override;
    int ppc_HideSpaceLogout(int64_t token) override;
    int ppc_GetHideSpaceInfo(int64_t token, hide_space_info **info) override;
    int ppc_hideSpaceFileGetList(path_info *folder, int32_t offset, int32_t length, int32_t sortType,
                                 file_list_info **out, int64_t token) override;
    int ppc_createShare(share_file_item **fileList, int32_t fileNum, int32_t hasPw, int32_t expect,
                        share_info **out, int64_t token) override;
    int ppc_getShareList(int32_t offset, int32_t len, share_list **out, int64_t token) override;
    void share_list_free(share_list *list) override;
    int ppc_cancelShare(int32_t shareId, const char *url, int64_t token) override;
    int ppc_RecycleGetInfo(resyscle_info **out, int64_t token) override;
    void ppc_free_resyscle_info(resyscle_info *info) override;
    int ppc_RecycleSetInfo(const resyscle_info *info, int64_t token) override;
    int ppc_RecycleGetList(int32_t offset, int32_t length, resyscle_list_info **out, int64_t token) override;
    void ppc_free_resyscle_list(resyscle_list_info *info) override;
    int ppc_RecycleRestoreFileList(int32_t seq, resyscle_list_info *list, file_task_cb cb,
                                   int64_t token) override;
    int ppc_RecycleDeleteFileList(int32_t seq, resyscle_list_info *list, file_task_cb cb,
                                  int64_t token) override;
    int ppc_RecycleEmpty(int32_t seq, file_task_cb cb, int64_t token) override;

  private:
    // Reports the scripted recycle progress to `cb` on this thread, as the SDK does.
    int recycleRun(const std::string &fn, std::vector<std::string> args, int32_t seq, file_task_cb cb);
    ExtrasOutputs m_extras;
    std::vector<KeyList> m_keyLists;
    int m_liveExtras = 0;
    // A holder built from `page` (the SDK's list helpers), for a request on `bucketId`.
    static file_list_info *buildList(const Page &page, int32_t bucketId);
    int typeList(const std::string &fn, std::vector<std::string> args, file_list_info **out);
    // Streams `batches` to `cb` as the SDK does; `cancelled` names the set the cancels mark.
    int stream(const std::vector<Outputs::Batch> &batches, int32_t seq, file_task_cb cb,
               const std::function<void(client_file_task &)> &fill, int32_t kind, int cancelledResult);
    recent_list *buildRecent(bool aggregation);

    bool m_holdStreams = false;
    bool m_streamHeld = false;
    int m_batchesDelivered = 0;
    std::map<int32_t, std::set<int32_t>> m_cancelled;  // kind -> sequence numbers marked
    int m_recentLive = 0;
    // Runs one long call as a listed task; `onEnd` sees the task when the call ran to its end.
    int runTransfer(const std::string &fn, std::vector<std::string> args, int32_t kind, int64_t id,
                    int64_t token, file_task_cb progress, ppc_router_task *context,
                    const std::function<void(const TransferScript &)> &onEnd = {});
    int afterCancel(int result);
    std::map<std::string, TransferScript> m_transfers;
    std::map<int64_t, std::vector<Report>> m_feed;  // fed reports not yet given, per call number
    std::map<int64_t, bool> m_finished;
    std::map<int64_t, int> m_reported;  // reports given, per call number
    int m_transfersHeld = 0;
    int m_transfersRunning = 0;
    std::vector<int64_t> m_deleteTotals;

    std::thread::id runOnOwnThread(const std::function<void()> &fn);
    // Records the call and answers its scripted result (under the lock).
    int record(const std::string &fn, std::vector<std::string> args);
    bool isLive(ppc_router_task *context) const;

    std::map<std::string, int> m_results;
    Outputs m_out;
    std::vector<Call> m_calls;
    ppc_user_status_cb m_userStatusCb = nullptr;
    bool m_holdExec = false;
    int m_execsHeld = 0;
    int m_liveUserLists = 0;

    QrScript m_qr;
    FirmwareScript m_fw;
    QVSLRA *m_qrContext = nullptr;
    int m_qrStaleUses = 0;
    int m_qrStartsHeld = 0;
    int m_listensHeld = 0;
    qvsl_auth_listener m_qrAuthCb = nullptr;
    qvsl_user_info_listener m_qrUserCb = nullptr;

    mutable std::mutex m_mu;
    mutable std::condition_variable m_cv;
    bool m_startContext = true;
    int m_startError = 0;
    int m_stopResult = 0;
    int m_listResult = 0;
    int m_existsResult = 0;
    Page m_page;
    bool m_latchClosed = false;
    int m_passes = 0;
    int m_blocked = 0;
    std::vector<StartCall> m_startCalls;
    std::vector<ListCall> m_listCalls;
    int m_stopCalls = 0;
    int m_existsCalls = 0;
    std::vector<ppc_router_task *> m_contexts;  // live contexts, freed by a stop of 0 or the fake's end
};
