// Administration, device settings, hidden space, timers, module support and share links, answered from
// one state record per device. Tests read and change the state through the handle install gives back.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
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

// One entry of the recycle bin: what 167 took away, kept under the bin folder until restored or deleted.
struct RecycleEntry {
    int key = 0;
    std::string name, path;  // original device path
    std::string stored;      // local path inside the bin folder
    int bucket_id = 0;
    int is_folder = 0;
    int64_t size = 0, date = 0, delete_time = 0;
};

struct AdminState {
    AdminState() = default;
    AdminState(const AdminState &) = delete;
    AdminState &operator=(const AdminState &) = delete;
    ~AdminState();  // removes the bin folder

    std::mutex mu;  // guards every field below

    // Tokens the device issued; when not empty, the hidden-space commands answer 13002 to any other.
    std::set<int64_t> issued_tokens;

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
    // 305 lists at most this many disks (a device has two bays); more stands for a device that lists disks
    // its record has no room for.
    size_t disks_listed_max = 2;
    // 314 answers this header error instead of the list.
    std::optional<int> space_limit_list_error;
    int reboots = 0;

    // Settings and status.
    int device_status = 0;
    // 170: how the device sees its P2P client (mode, NAT type, the client's address).
    int p2p_mode = 1, nat_type = 3;
    std::string p2p_client_ip = "127.0.0.1";
    int samba_enabled = 1;
    int64_t sleep_minutes = 30;
    std::string time_zone = "Asia/Shanghai";
    std::vector<std::pair<std::string, std::string>> zones = {{"Shanghai", "GMT+08:00"},
                                                              {"London", "GMT+00:00"}};
    std::string smart_info = "SMART overall-health self-assessment test result: PASSED";
    int usb_backup_cancels = 0;
    std::vector<std::string> hidden_records;  // "userId/bucketId/logId" of 169
    // Log ids of records another user made: hiding one answers 10289 and hides nothing.
    std::set<int32_t> foreign_log_ids;
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
    int hidden_pages = 0;  // 185 pages served

    // Timers: flag, and per switch_type {time_seconds, once}.
    int timer_flag = 0;
    std::map<int, std::pair<int, int>> timers;

    // Share links. Set next_share_id to 2^32 and up to hand out ids that do not fit 32 bits.
    std::vector<ShareLink> shares;
    int64_t next_share_id = 1;
    std::vector<std::string> upload_urls;  // 205's targets, recorded and never contacted

    // Firmware check (164) and status (165), answered over HTTP and framed JSON alike unless the switch
    // closes the HTTP side without an answer.
    bool fw_http_fails = false;
    int fw_status = 0, fw_force = 0;
    std::string fw_product = "QV-NAS", fw_version = "2.4.1", fw_description = "fixes";
    int64_t fw_size = 52428800;
    int ota_status = 0, ota_process = 0, ota_total = 100;
    std::string ota_device_id = "QVDEV0001", ota_target = "2.4.1", ota_current = "2.4.0";

    // Data sync notices (166) and the device log (168) by log_type; a type without a log answers 10202.
    int data_sync_notices = 0;
    std::map<int, std::string> logs = {{0, "boot ok\nservice started\n"}};
    std::optional<int> log_json_error;  // answer 168 with this header error instead of the log

    // Device operation (173): the progress figures streamed, then status 2.
    std::vector<int> exec_steps = {10, 50, 100};
    std::vector<int> exec_ops;  // operation codes received

    // Recycle bin: fed by 167, served by 210-215.
    std::string bin_dir;  // created beside the served folder on first use
    std::vector<RecycleEntry> bin;
    int next_bin_key = 1;
    int64_t survive_time = 30;
    std::vector<std::pair<int, int>> bin_buckets = {{1, 0}};
    int bin_chunk_interval_ms = 0;
    int recycle_status_override = 0;   // nonzero: 211-213 end with this status instead of 2
    bool recycle_whole_reply = false;  // 211-213 answer one unstreamed reply
    int bin_ops_done = 0;              // entries restored or deleted for good

    // Account (200-203).
    std::map<std::string, std::string> bind_codes = {{"user-1", "BC123456"}};  // user id -> bind code
    std::map<std::string, std::pair<std::string, std::string>> user_info;      // user id -> nick, image
    std::map<std::string, std::string> auth_codes;                             // user id -> handed out
    std::string p2p_uuid = "QVP2P-0123456789abcdef";
    bool auth_code_empty_data = false;  // 202 answers "data": []
};

// Installs the handlers of these commands on `device`, with a fresh state, and returns the state.
std::shared_ptr<AdminState> install_admin_handlers(Device &device);

}  // namespace qvemu
