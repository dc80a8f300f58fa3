// Administration, device settings, hidden space, timers, module support and share links, answered from
// one state record per device. Tests read and change the state through the handle install gives back.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "device.h"

namespace qvemu {

struct DiskHealth {
    std::string model, serial;
    int health = 0, temperature = 35, number = 1, temperature_disable = 0;
    int64_t capacity = 0;
};

struct UserLimit {
    int limit_set = 0;
    int64_t limit_space = 0;
    int64_t used_space = 0;
};

struct ShareLink {
    int64_t id = 0;
    std::string name, url, password;
    int64_t create_time = 0, expect = 0;
    std::vector<std::pair<int, std::string>> items;  // bucket id, path
};

struct AdminState {
    std::mutex mu;  // guards every field below

    // Administration.
    std::string admin_password;  // empty: none set
    std::string device_name = "QVNAS";
    int bind_flag = 0, remote_bind_flag = 0, local_bind_flag = 0;
    std::vector<std::string> invited;
    int limit_enable = 0, limit_set = 0;
    int64_t limit_space = 0;
    std::map<int, UserLimit> limits;  // by user id
    int usb_backup_mode = 0, ptp_backup_mode = 0;
    int self_start = 1, cpu_temp = 48, fan_freq = 1800;
    int disk_mode = 0;
    std::vector<DiskHealth> disks = {{"WDC WD40", "WD-0001", 0, 36, 1, 0, 4000787030016LL}};
    int reboots = 0;

    // Settings and status.
    int device_status = 0;
    int samba_enabled = 1;
    int64_t sleep_minutes = 30;
    std::string time_zone = "Asia/Shanghai";
    std::vector<std::pair<std::string, std::string>> zones = {{"Shanghai", "GMT+08:00"},
                                                              {"London", "GMT+00:00"}};
    std::string smart_info = "SMART overall-health self-assessment test result: PASSED";
    int usb_backup_cancels = 0;
    std::vector<std::string> hidden_records;  // "userId/bucketId/logId" of 169
    std::map<std::string, int> modules = {
        {"timeSwitchModule", 1}, {"powerOnModule", 1},  {"McuModule", 0},
        {"shareModule", 1},      {"resyscleModule", 1}, {"timeZone", 1},
        {"cancelUsbBackup", 1},  {"getSmartInfo", 1},   {"localBindFlag", 1}};

    // Hidden space.
    bool hide_enabled = false;
    std::string hide_pwd;  // empty: none set
    bool hide_unlocked = false;
    std::string sms_code;  // the last code 180 "sent"
    int sms_sent = 0;
    int hide_bucket_id = 1001;
    std::string hide_nick_name = "private";

    // Timers: flag, and per switch_type {time_seconds, once}.
    int timer_flag = 0;
    std::map<int, std::pair<int, int>> timers;

    // Share links.
    std::vector<ShareLink> shares;
    int64_t next_share_id = 1;
    std::vector<std::string> upload_urls;  // 205's targets, recorded and never contacted
};

// Installs the handlers of these commands on `device`, with a fresh state, and returns the state.
std::shared_ptr<AdminState> install_admin_handlers(Device &device);

}  // namespace qvemu
