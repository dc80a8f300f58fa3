// Two tunnel instances in one process for tests: a FakeTunnelNet carries their sessions over the stream's
// in-process fake link (session pairs 2k and 2k+1), and each instance gets a FakeLower that connects by UID
// to a registered device, accepts, checks, closes and breaks sessions as the session layer would.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "p2p/rsc_api.h"
#include "p2p/rsc_fake_session.h"
#include "p2p/tnl_core.h"
#include "p2p/tnl_lower.h"

class FakeLower;

struct FakeTunnelNet {
    explicit FakeTunnelNet(uint64_t seed = 1, FakeLinkConditions cond = {}) : link(seed, cond) {}
    FakeSession link;
    std::mutex m;
    int nextPair = 0;
    int rscUsers = 0;
    std::map<std::string, FakeLower *> devices;
    std::map<int, FakeLower *> owners;  // session id -> its end
};

class FakeLower : public TunnelLower {
  public:
    explicit FakeLower(FakeTunnelNet &net) : net_(net) {}

    // Knobs.
    int connectResult = 0;   // a negative value: what the next connects return
    int registerResult = 0;  // what registration returns
    uint8_t mode = 0;
    const char *remoteIP = "127.0.0.1";

    int start(int, bool) override {
        std::lock_guard<std::mutex> l(net_.m);
        if (net_.rscUsers++ == 0) {
            rsc_Session_Install(&net_.link);
            const int r = RSC_Initialize();
            if (r < 0) {
                --net_.rscUsers;
                return r;
            }
        }
        return 0;
    }
    void stop() override {
        std::lock_guard<std::mutex> l(net_.m);
        if (--net_.rscUsers == 0) {
            RSC_DeInitialize();
            rsc_Session_Install(nullptr);
        }
    }
    int connect(const char *uid) override {
        if (connectResult < 0) return connectResult;
        FakeLower *dev;
        int sid;
        {
            std::lock_guard<std::mutex> l(net_.m);
            auto it = net_.devices.find(uid);
            if (it == net_.devices.end()) return PSL_ERR_UNREACHABLE;
            dev = it->second;
            sid = 2 * net_.nextPair++;
            net_.owners[sid] = this;
            net_.owners[sid + 1] = dev;
        }
        {
            std::lock_guard<std::mutex> l(dev->m_);
            dev->incoming_.push_back(sid + 1);
        }
        dev->cv_.notify_all();
        return sid;
    }
    int connectToSession(const char *uid, int) override { return connect(uid); }
    int reserveSession() override { return PSL_ERR_NO_SESSION; }
    int connectAbortAll() override { return 0; }
    int connectAbort(int) override { return 0; }
    int check(int sid, PSLSessionInfoShort *info) override {
        const int r = net_.link.check(sid);
        if (r < 0) return r;
        if (info) {
            *info = PSLSessionInfoShort{};
            info->mode = mode;
            snprintf(info->remoteIP, sizeof info->remoteIP, "%s", remoteIP);
            info->remotePort = 32761;
        }
        return 0;
    }
    int peerProtocol(int) override { return 7; }
    void watch(int sid, TunnelLib *owner, bool on) override {
        std::lock_guard<std::mutex> l(m_);
        if (on)
            watched_[sid] = owner;
        else
            watched_.erase(sid);
    }
    void close(int sid) override {
        if (net_.link.check(sid) < 0) return;
        net_.link.close(sid);
        net_.link.close(sid ^ 1);
        notifyPeer(sid ^ 1, PSL_ERR_CLOSED_BY_PEER);
    }
    int registerDevice(const char *uid) override {
        std::lock_guard<std::mutex> l(net_.m);
        if (registerResult < 0) return registerResult;
        net_.devices[uid] = this;
        return 0;
    }
    int registrationRefused() override { return 0; }
    int accept() override {
        std::unique_lock<std::mutex> l(m_);
        cv_.wait(l, [this] { return !incoming_.empty() || cancel_; });
        if (cancel_) {
            cancel_ = false;
            return PSL_ERR_ACCEPT_CANCELLED;
        }
        const int sid = incoming_.front();
        incoming_.pop_front();
        return sid;
    }
    void acceptCancel() override {
        {
            std::lock_guard<std::mutex> l(m_);
            cancel_ = true;
        }
        cv_.notify_all();
    }

    // The session of sid breaks at both ends (as a silence time-out would end it).
    void breakSession(int sid) {
        net_.link.close(sid);
        net_.link.close(sid ^ 1);
        notify(sid, PSL_ERR_TIMED_OUT);
        notifyPeer(sid ^ 1, PSL_ERR_TIMED_OUT);
    }

  private:
    void notify(int sid, int status) {
        TunnelLib *owner = nullptr;
        {
            std::lock_guard<std::mutex> l(m_);
            auto it = watched_.find(sid);
            if (it != watched_.end()) owner = it->second;
        }
        if (owner) owner->statusForward(sid, status);
    }
    void notifyPeer(int peerSid, int status) {
        FakeLower *peer = nullptr;
        {
            std::lock_guard<std::mutex> l(net_.m);
            auto it = net_.owners.find(peerSid);
            if (it != net_.owners.end()) peer = it->second;
        }
        if (peer) peer->notify(peerSid, status);
    }

    FakeTunnelNet &net_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<int> incoming_;
    bool cancel_ = false;
    std::map<int, TunnelLib *> watched_;
};
