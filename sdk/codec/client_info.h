// The per-request command record: one per device command, on the caller's stack, zeroed before use.
// It carries the command's inputs down to the codec and the link layer and the parsed results back.
// Plain standard-layout record: no constructor, all-zero is its initial state.
//
// Where two modules know the same slot under two names, both names are offered through an anonymous
// union (for example `ip` / `IP`, `srcPathInfo` / `path_obj`); they are one field.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <type_traits>

struct json_object;

// Records that the record only points to; their modules define them.
struct client_file_task;
struct record_dnode;
struct disk_dnode;
struct user_space_dnode;
struct module_support_dnode;
struct file_list_info;
struct recent_list;
struct user_list_item;
struct file_stat;
struct backup_disk_info;
struct backup_uuid_head;
struct gps_condition;
struct search_condition;
struct resyscle_list_info;
struct resyscle_info;
struct admin_sys_info;
struct disk_status_list;
struct p2p_client_info;
struct space_limit_info;
struct user_list_info;
struct soft_version_info;  // the version-information record of 163 and 164 (`svi`)
struct ota_info;
struct ota_version_info;
struct nas_device_info;
struct time_sync_info;  // the time-sync record of device-user command 50
struct sys_sync_info;   // the pair "sync", "clean_cache" of device-user command 51

// Per-command request blocks reached through `req`; the command API allocates and frees them.
struct dev_sleep_time_req;
struct time_zone_req;
struct hide_space_en_flag_req;
struct hide_space_pwd_set_req;
struct hide_space_pwd_reset_req;
struct hide_space_login_req;
struct hide_space_info_req;
struct timer_switch_req;
struct create_share_req;
struct get_share_list_req;
struct cancel_share_req;
struct get_share_file_list_req;
struct get_share_file_data_req;
struct get_share_file_attr_req;
struct recent_record_hide_req;
struct delete_list_req;

// A path on the device as the builders take it.
struct path_info {
    const char *path;       // borrowed
    int32_t bucketId;       // the user space that holds the path
    int32_t thumbnailType;  // thumbnail size wanted by 105, else 0
};

// The one pointer of the per-command request block; which member is live depends on the command.
union client_req {
    void *ptr;
    dev_sleep_time_req *devSleepTime;
    time_zone_req *pTimeZone;
    hide_space_en_flag_req *hideSpaceEnFlag;
    hide_space_pwd_set_req *hideSpacePwdSet;
    hide_space_pwd_reset_req *hideSpacePwdReset;
    hide_space_login_req *hideSpaceLogin;
    hide_space_info_req *hideSpaceInfo;
    timer_switch_req *timerSwitch;
    create_share_req *pCreateShare;
    get_share_list_req *pGetShareList;
    cancel_share_req *pCancelShare;
    get_share_file_list_req *pGetShareFileList;
    get_share_file_data_req *pGetShareFileData;
    get_share_file_attr_req *pGetShareFileAttr;
    recent_record_hide_req *recentRecordHide;
    delete_list_req *deleteList;
};

// Ring head of the firmware update's reserved task list.
struct client_ring_head {
    void *next;
    void *prev;
};

struct client_info {
    // Transport, envelope and reply.
    sockaddr_in peerAddr;  // sender of a received discovery datagram
    int32_t client_fd;     // socket of the framed-socket paths and of the discovery listener
    char *recv_buf;        // owned: reply body, decompressed and deciphered
    json_object *r_json;   // parsed reply while the parsers run
    int32_t cmd;           // request code; after a reply, the reply header's "cmd" (0 when absent)
    int64_t seq;           // the envelope carries its low 32 bits
    int32_t error;         // envelope "error"; 0 in requests
    char *retstr;          // owned: request text
    int32_t timeout;       // milliseconds; 0 means QV_DEFAULT_TIMEOUT_MS
    char ver[32];

    // Account and administration inputs.
    const char *authCode;
    const char *newAdminPassword;
    const char *userName;
    const char *adminPassword;
    const char *language;
    int32_t loginPort;
    union {
        int32_t bindFlag;
        int32_t statusFlag;  // the device-user login's "statusFlag", reply of device-user 15
    };

    // Addressing.
    int32_t port;
    union {
        char ip[33];
        char IP[33];
    };

    // Common results and file inputs.
    int32_t status;
    union {
        int32_t actionCode;
        int32_t devStatus;
        int32_t recordsCmd;
    };
    union {
        int64_t offset;
        int64_t process;  // firmware progress
    };
    int64_t length;
    int64_t contentLength;
    int64_t file_length;
    uint32_t modifyTime;
    int32_t count;
    union {
        record_dnode *rangeList;
        record_dnode *range_list;
    };
    union {
        int32_t local_fd;
        int32_t file_fd;
    };
    char *localPath;
    char *cfg_path;
    char *tmp_path;
    char *uuid_path;
    union {
        path_info *srcPathInfo;
        path_info *path_obj;
    };
    union {
        path_info *desPathInfo;
        path_info *des_obj;
    };
    path_info **pathList;  // null-terminated
    const char *srcPath;
    const char *savePath;
    const char *searchString;
    disk_dnode *diskList;
    user_space_dnode *p_user_space_info;
    file_list_info *file_list;
    recent_list *rList;
    user_list_item **user_list;  // null-terminated, allocated by the parser
    const char *const *tagList;
    int32_t tagCount;
    char *content;

    // Device-user result records (caller's records).
    time_sync_info *syncTime;
    sys_sync_info *syncSystem;
    ota_version_info *otaVersionInfo;
    nas_device_info *nasDeviceInfo;
    char *fwVersion;  // caller's text of 32 bytes

    // Listing and backup inputs, token and task.
    int32_t fileType;
    const int32_t *typeList;
    int32_t sortType;
    int32_t filterFlag;
    int32_t totalCount;
    union {
        int64_t totalSize;
        int64_t total;  // firmware progress total
    };
    void (*progressCb)(client_file_task *task);
    void *progressCtx;
    backup_disk_info *backupInfo;
    const char *diskName;
    const char *fileUuid;
    const char *deviceUuid;
    char *deviceNickName;  // in: name to set (172); out: caller buffer of 64 characters (171)
    const char *dirName;
    const char *userImageUrl;
    union {
        backup_uuid_head *uuidList;
        backup_uuid_head *backup_uuid_list;
    };
    union {
        FILE *cfgFile;
        FILE *cfg_fp;
    };
    int64_t token;
    int32_t currentOnly;
    client_file_task *rClientFileTask;

    // Device-user login block.
    int32_t funcListFlag;
    int32_t databaseSign;
    char customCode[32];
    char versionCode[32];
    int32_t version_flag;
    const char *deviceName;

    file_stat *st;

    // Account texts (capacity includes the NUL).
    char bindCode[33];
    char userId[65];
    char userAuthCode[65];
    char p2pUid[33];
    char deviceId[65];
    char nickName[65];

    // Inputs of the complex builders.
    const char *authValue;
    const char *authorization;
    int32_t tagType;
    gps_condition *gpsInfo;
    search_condition *searchCondition;

    // Flags and administration results.
    union {
        int32_t optionFlag;
        int32_t attrFlag;   // "attrFlag" of 105
        int32_t cmd_param;  // timer flag of 336 and 337, timer type of 327
        int32_t initMode;   // "initMode" of the device status reply
    };
    admin_sys_info *sysInfo;
    disk_status_list *diskStatusInfoList;
    p2p_client_info *p2pInfo;
    int32_t targetUserId;
    int32_t limitEnable;
    int32_t limitSet;
    int64_t limitSpace;
    space_limit_info **spaceLimitList;  // null-terminated, allocated by the parser
    union {
        user_list_info **userInfoList;  // null-terminated, allocated by the parser
        user_list_info **userList;
    };
    int32_t usbBackupMode;
    int32_t ptpBackupMode;

    // Firmware.
    soft_version_info *svi;
    int32_t force;
    int32_t delay;
    char *reserved;  // owned
    union {
        client_ring_head reservedTasks;
        client_ring_head reserved_tasks;
    };
    union {
        int32_t taskCount;
        int32_t task_count;
    };
    union {
        int32_t enabled;
        int32_t samba_enabled;
    };
    ota_info *otaInfo;

    // Per-command request block.
    client_req req;

    // Remaining fields.
    char *shareBindUrl;
    union {
        int32_t shareBindUrlLen;
        int32_t shareBindUrlSize;
    };
    int32_t log_type;
    union {
        int32_t nas_self_start;
        int32_t selfStart;
    };
    int32_t cpuTemp;
    int32_t fanFreq;
    char *cacheKey;  // owned
    int32_t cacheHit;
    int64_t dataSyncTime;
    int64_t curDiskCapacity;
    int64_t expanCapacity;
    int64_t expanTime;
    union {
        module_support_dnode *moduleList;
        module_support_dnode *mList;
    };
    resyscle_list_info *resyscleList;
    resyscle_info *resyscleInfo;
};

static_assert(std::is_standard_layout_v<client_info>);
static_assert(std::is_trivially_copyable_v<client_info>);
