// A fake push-channel provider for the command-cache tests: per session token, the alive flag, the two
// pushed signs and the device name, changed by tests while other threads read them.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "runtime/ppc_qv_command_cache.h"

namespace cache_test {

struct FakeSession {
    bool alive = true;
    std::string user_sign = "u1";
    std::string recent_sign = "r1";
    std::string device = "dev-A/alice";
};

class FakePeers {
  public:
    static FakePeers &get() {
        static FakePeers p;
        return p;
    }
    void set(int64_t token, FakeSession s) {
        std::lock_guard<std::mutex> l(mu_);
        sessions_[token] = std::move(s);
    }
    void erase(int64_t token) {
        std::lock_guard<std::mutex> l(mu_);
        sessions_.erase(token);
    }
    void clear() {
        std::lock_guard<std::mutex> l(mu_);
        sessions_.clear();
    }
    template <typename F>
    void edit(int64_t token, F f) {
        std::lock_guard<std::mutex> l(mu_);
        f(sessions_[token]);
    }
    static bool provide(int64_t token, int selector, qv_cache_peer *out) {
        FakePeers &p = get();
        std::lock_guard<std::mutex> l(p.mu_);
        auto it = p.sessions_.find(token);
        if (it == p.sessions_.end()) return false;
        out->alive = it->second.alive;
        out->sign = selector == CACHE_DB_RECENT ? it->second.recent_sign : it->second.user_sign;
        out->device = it->second.device;
        return true;
    }

  private:
    std::mutex mu_;
    std::map<int64_t, FakeSession> sessions_;
};

}  // namespace cache_test
