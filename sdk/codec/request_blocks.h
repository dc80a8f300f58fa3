// Per-command request blocks that `req` of client_info points to (allocated zeroed and filled by the command
// API, read by the request builders, result slots filled by the reply parsers), and the recycle-bin records
// whose entries the restore, delete and survive-time requests send.
#pragma once

#include <cstdint>

// Results that the reply parsers attach; their modules define them.
struct qv_zone_list;
struct share_info;
struct share_list;
struct share_file_list;
struct share_file_info;
struct resyscle_space;

// 334, 335: the sleep time in minutes.
struct dev_sleep_time_req {
    int64_t time;
};

// 338, 339, 340: the zone text (at most 16 characters), then the zone list that the parser of 340 attaches.
struct time_zone_req {
    char timeZone[17];
    qv_zone_list *zoneList;
};

// 178, 179: the flag of 178 (set by its parser), the password of 179.
struct hide_space_pwd_set_req {
    int32_t flag;
    char pwd[33];
};

// 181.
struct hide_space_pwd_reset_req {
    char pwd[33];
    char verify_code[7];
};

// 182.
struct hide_space_login_req {
    char pwd[33];
};

// 327, 328.
struct timer_switch_req {
    int32_t switch_type;
    int32_t time_seconds;
    int32_t once;
};

// One path to be shared (caller-owned).
struct share_file_item {
    const char *path;
    int32_t bucketId;
};

// 187: `fileList` holds `fileNum` item pointers of the caller's.
struct create_share_req {
    share_info *result;
    share_file_item **fileList;
    int32_t fileNum;
    int32_t hasPw;
    int32_t expect;
};

// 188.
struct get_share_list_req {
    share_list *result;
    int32_t offset;
    int32_t len;
};

// 189: the share id is a 32-bit value in a 64-bit slot; requests send its low 32 bits.
struct cancel_share_req {
    int64_t shareId;
    char url[1025];
};

// 204.
struct get_share_file_list_req {
    share_file_list *result;
    int64_t shareId;
    char fileDir[1025];
    int32_t offset;
    int32_t len;
};

// 205.
struct get_share_file_data_req {
    share_file_info *result;
    int64_t shareId;
    char path[1025];
    int32_t type;
    int64_t start;
    int64_t end;
    char uploadUrl[1025];
};

// 206: as 205 without the upload address.
struct get_share_file_attr_req {
    share_file_info *result;
    int64_t shareId;
    char path[1025];
    int32_t type;
    int64_t start;
    int64_t end;
};

// 169: the record to hide (fields stored in this order; the request sends userId, bucketId, logId).
struct recent_record_hide_req {
    int32_t logId;
    int32_t userId;
    int32_t bucketId;
};

// One recycle-bin entry; its key is its first field.
struct resyscle_dnode {
    int32_t key;
    int64_t size;
    int64_t date;
    int32_t isFolder;
    char *name;  // owned
    char *path;  // owned
    int64_t delete_time;
    int64_t remain_time;
    int32_t bucketId;
};

// One recycle-bin page (210), or the entries to restore or delete (211, 212): `rDnode` is null-terminated.
struct resyscle_list_info {
    int32_t start;
    int32_t count;
    int32_t totalCount;
    resyscle_dnode **rDnode;
};

// The recycle-bin settings (214), or the survive time to set (215).
struct resyscle_info {
    resyscle_space **spaceDnode;  // null-terminated
    int32_t count;
    int64_t survive_time;
};
