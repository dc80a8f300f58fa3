// Helpers of the push-channel tests: a USB status callback that keeps every report, a poll with a generous
// bound, and USB status texts as a device pushes them.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/ppc_push.h"
#include "runtime/ppc_qv_command_cache.h"
#include "runtime/ppclib.h"

namespace push_test {

// Every report the USB status callback received, each as one line of its records.
class Reports {
  public:
    static Reports &get() {
        static Reports r;
        return r;
    }
    static void cb(const qv_usb_status *list, int count) {
        std::string line;
        for (int i = 0; i < count; ++i) line += (i ? ", " : "") + describe(list[i]);
        std::lock_guard lk(get().mu_);
        get().lines_.push_back(line);
    }
    // The reports since the last take, and forgets them.
    std::vector<std::string> take() {
        std::lock_guard lk(mu_);
        return std::exchange(lines_, {});
    }
    size_t size() {
        std::lock_guard lk(mu_);
        return lines_.size();
    }
    static std::string describe(const qv_usb_status &s) {
        char b[256];
        std::snprintf(b, sizeof b, "%s bs=%d st=%d v=%d done=%d speed=%" PRId64 " left=%" PRId64,
                      s.device_uuid, s.backup_state, s.status, s.version, s.count_already, s.speed,
                      s.remain_time);
        return b;
    }

  private:
    std::mutex mu_;
    std::vector<std::string> lines_;
};

// Polls `cond` every 5 ms for up to `seconds` (generous: the machine may be loaded).
inline bool eventually(const std::function<bool()> &cond, int seconds = 20) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

// What the command cache would be told of the session.
inline qv_cache_peer peer(int64_t token, int selector = 0) {
    qv_cache_peer p;
    p.alive = false;
    if (!reverse_cache_peer(token, selector, &p)) p.sign = "<no entry>";
    return p;
}

// A USB status text: `uuid` with `done` of 10 files copied; backup_state only when >= 0.
inline std::string usb(const std::string &uuid, int done, int backup_state = 1, int status = 0,
                       const std::string &extra = "") {
    std::string s = "{\"status\":" + std::to_string(status) + ",\"device_name\":\"" + uuid +
                    "\",\"device_uuid\":\"" + uuid +
                    "\",\"count_all\":10,\"bytes_all\":1000,\"count_already\":" + std::to_string(done) +
                    ",\"bytes_already\":" + std::to_string(done * 100);
    if (backup_state >= 0) s += ",\"backup_state\":" + std::to_string(backup_state);
    return s + extra + "}";
}

}  // namespace push_test
