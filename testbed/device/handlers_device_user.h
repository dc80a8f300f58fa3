// Device-user commands (1 version, 2 login, 3 logout, 8, 10 bind code, 11 device id, 12 registration,
// 15 function list, 48 to 58 router and firmware settings, 249 device information), answered from a
// state model that tests may read and change while the device runs.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "device.h"

namespace qvemu {

struct DeviceUserState {
    std::string version = "V1.0.0";
    std::string bind_code = "BIND-0001";
    std::string device_id = "DEV-0001";
    std::string fw_version = "FW-1.0.0";
    std::string custom_code = "CC01";
    std::string version_code = "VC01";
    std::string device_model = "QV-NAS";
    std::string mac = "00:11:22:33:44:55";
    std::string wan_ip = "192.168.1.10";
    std::string wan_mask = "255.255.255.0";
    std::string stm_version = "STM-1";
    int32_t func_list_flag = 1;
    int32_t database_sign = 0;
    int32_t status_flag = 1;  // reply of 15
    int32_t version_flag = 0;
    int32_t device_time = 0;

    std::set<std::string> auth_codes;         // codes that the login accepts
    int login_error = 10016;                  // header error of a login with an unknown or missing code
    bool login_sends_token = true;            // false: the login reply header carries no "token"
    std::map<int64_t, std::string> sessions;  // token -> auth code, one per login
    int64_t next_token = 0x5100000000001LL;

    // Inputs the device received.
    std::string time_value, time_zone;             // 50
    int32_t sync = -1, clean_cache = -1;           // 51
    std::string registered_name, registered_uuid;  // 12: the last registration
    // Every accepted registration in arrival order (name, uuid), repeats included.
    std::vector<std::pair<std::string, std::string>> registrations;
    int register_error = 0;  // header error of 12 (a device that refuses registrations)
    uint64_t logins = 0, logouts = 0, udisk_upgrades = 0, upgrade_fw = 0;
    uint64_t unknown_token_requests = 0;  // session commands whose token no login issued
};

// The model behind the handlers; thread-safe.
class DeviceUserModel {
  public:
    DeviceUserState get() const {
        std::lock_guard lk(mu_);
        return state_;
    }
    template <class F>
    void update(F &&f) {
        std::lock_guard lk(mu_);
        f(state_);
    }

  private:
    mutable std::mutex mu_;
    DeviceUserState state_;
};

// Installs the handlers over `model` (a new one when null) and returns it.
std::shared_ptr<DeviceUserModel> install_device_user_handlers(
    Device &device, std::shared_ptr<DeviceUserModel> model = nullptr);

}  // namespace qvemu
