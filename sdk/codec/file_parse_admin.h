// Records of the administration replies (system information, disk health, per-user space limits, the
// device's user list) and the free functions of the two lists that the parsers allocate. The parsers
// themselves are declared in codec/file_process.h with the rest of the command table.
#pragma once

#include <cstdint>

// System information of command 304; supplied and owned by the caller.
struct admin_sys_info {
    char deviceName[65];  // "deviceName", else "devNickName"
    char fileSystem[33];
    int64_t bootTime;
    double cpuRate;
    double ramRate;
};

// One disk of the health reply of command 305.
struct disk_status_info {
    int32_t devNumber;
    char devNode[32];  // no reply key fills it; stays as the caller zeroed it
    char devModel[64];
    char serialNumber[64];
    int64_t diskCapacity;
    int32_t healthStatus;        // 0 healthy, any other value not
    int32_t temperatureDisable;  // nonzero: the disk reports no temperature
    int32_t temperatureCelsius;
};

inline constexpr int QV_DISK_STATUS_MAX = 2;

// Holder of command 305; supplied and zeroed by the caller. `count` is the number of filled entries:
// at most QV_DISK_STATUS_MAX, further disks of a reply are dropped.
struct disk_status_list {
    int32_t count;
    int32_t mode;
    disk_status_info entries[QV_DISK_STATUS_MAX];
};

// One user of the space-limit list of command 314.
struct space_limit_info {
    int32_t userId;
    char userName[65];
    char nickName[65];
    int64_t usedSpace;
    int64_t limitSpace;
    int32_t limitSet;
    char phoneNumber[33];
    int32_t userType;  // 1 a historic user, other values a normal user
};

// One user of the device's user list of command 323.
struct user_list_info {
    int32_t userId;
    char nickName[65];
    char imagePath[1025];
};

// Free a null-terminated list: every record, then the array. A null list is ignored.
void qv_space_limit_list_free(space_limit_info **list);
void qv_user_list_free(user_list_info **list);
