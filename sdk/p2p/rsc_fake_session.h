// An in-process session layer for the stream's tests: sessions come in pairs (2k and 2k+1 are the two ends
// of one link), packets cross a seeded link that can delay, jitter, lose (in bursts), reorder and duplicate,
// and a delivery thread calls the receiving end's callback under the session lock, then its idle hook once
// nothing is due. Every decision i of a direction depends only on (seed, direction, i).
#pragma once

#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <queue>
#include <set>
#include <thread>
#include <vector>

#include "p2p/rsc_session.h"

struct FakeLinkConditions {
    int delayMs = 1;
    int jitterMs = 0;
    int lossPermille = 0;
    int burstMax = 1;         // a loss drops 1..burstMax packets in a row
    int reorderPermille = 0;  // packets held back by an extra delay
    int dupPermille = 0;
};

class FakeSession : public RscSession {
  public:
    using Clock = std::chrono::steady_clock;

    explicit FakeSession(uint64_t seed, FakeLinkConditions cond = {}) : seed_(seed), cond_(cond) {
        thread_ = std::thread([this] { run(); });
    }
    ~FakeSession() override {
        {
            std::lock_guard<std::mutex> l(m_);
            quit_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

    void lock() override { sessionLock_.lock(); }
    void unlock() override { sessionLock_.unlock(); }

    int write(int sid, const uint8_t *buf, int len, uint8_t ch) override {
        std::lock_guard<std::mutex> l(m_);
        if (closed_.count(sid)) return -22;
        if (len <= 0 || len > 1388) return -1;
        std::vector<uint8_t> pkt(buf, buf + len);
        tap_[sid].push_back(pkt);
        if (mute_.count(sid)) return len;
        if (len >= 5) {
            auto d = dropType_.find({sid, buf[4]});
            if (d != dropType_.end() && d->second > 0) {
                --d->second;
                ++lost_;
                return len;
            }
        }
        int dir = sid;
        uint64_t i = counter_[dir]++;
        uint64_t r = mix(seed_ ^ ((uint64_t)dir << 56) ^ i);
        if (burstLeft_[dir] > 0) {
            --burstLeft_[dir];
            ++lost_;
            return len;
        }
        if ((int)(r % 1000) < cond_.lossPermille) {
            burstLeft_[dir] = cond_.burstMax > 1 ? (int)((r >> 20) % (uint64_t)cond_.burstMax) : 0;
            ++lost_;
            return len;
        }
        int delay = cond_.delayMs + (cond_.jitterMs ? (int)((r >> 10) % (uint64_t)(cond_.jitterMs + 1)) : 0);
        if ((int)((r >> 30) % 1000) < cond_.reorderPermille) delay += 3 * cond_.delayMs + 5;
        push(sid ^ 1, ch, pkt, delay);
        if ((int)((r >> 40) % 1000) < cond_.dupPermille) push(sid ^ 1, ch, pkt, delay + 1);
        return len;
    }
    int check(int sid) override {
        std::lock_guard<std::mutex> l(m_);
        return closed_.count(sid) ? -22 : 0;
    }
    int peerProtocol(int) override { return protocol; }
    void channelOn(int, uint8_t) override {}
    void channelOff(int, uint8_t) override {}
    void setRecvCallback(int sid, uint8_t ch, RscRecvFn fn) override {
        std::lock_guard<std::recursive_mutex> l(sessionLock_);
        recv_[{sid, ch}] = fn;
    }
    void setIdleCallback(int sid, uint8_t ch, RscIdleFn fn) override {
        std::lock_guard<std::recursive_mutex> l(sessionLock_);
        idle_[{sid, ch}] = fn;
    }

    // Hands a packet to sid's channel as if its peer had sent it (a scripted peer).
    void inject(int sid, uint8_t ch, const std::vector<uint8_t> &pkt) {
        std::lock_guard<std::recursive_mutex> l(sessionLock_);
        auto it = recv_.find({sid, ch});
        if (it != recv_.end() && it->second) it->second(sid, ch, pkt.data(), (int)pkt.size(), 0);
    }
    // Packets sid wrote, in order.
    std::vector<std::vector<uint8_t>> sent(int sid) {
        std::lock_guard<std::mutex> l(m_);
        return tap_[sid];
    }
    // sid's packets vanish (the scripted peer answers instead).
    void mute(int sid) {
        std::lock_guard<std::mutex> l(m_);
        mute_.insert(sid);
    }
    // The next n packets of this message type that sid writes are lost.
    void dropType(int sid, uint8_t type, int n) {
        std::lock_guard<std::mutex> l(m_);
        dropType_[{sid, type}] = n;
    }
    void close(int sid) {
        std::lock_guard<std::mutex> l(m_);
        closed_.insert(sid);
    }
    uint64_t lost() {
        std::lock_guard<std::mutex> l(m_);
        return lost_;
    }

    int protocol = 6;

  private:
    struct Item {
        Clock::time_point at;
        uint64_t order;
        int sid;
        uint8_t ch;
        std::vector<uint8_t> pkt;
        bool operator>(const Item &o) const { return at != o.at ? at > o.at : order > o.order; }
    };

    static uint64_t mix(uint64_t x) {
        x += 0x9e3779b97f4a7c15ull;
        x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
        x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
        return x ^ (x >> 31);
    }
    void push(int sid, uint8_t ch, const std::vector<uint8_t> &pkt, int delayMs) {
        q_.push(Item{Clock::now() + std::chrono::milliseconds(delayMs), order_++, sid, ch, pkt});
        cv_.notify_all();
    }

    void run() {
        std::set<std::pair<int, uint8_t>> touched;
        std::unique_lock<std::mutex> l(m_);
        while (!quit_) {
            if (q_.empty() || q_.top().at > Clock::now()) {
                if (!touched.empty()) {
                    auto t = touched;
                    touched.clear();
                    l.unlock();
                    {
                        std::lock_guard<std::recursive_mutex> sl(sessionLock_);
                        for (auto &k : t) {
                            auto it = idle_.find(k);
                            if (it != idle_.end() && it->second) it->second(k.first, k.second, 0, 0, 0);
                        }
                    }
                    l.lock();
                    continue;
                }
                if (q_.empty()) {
                    cv_.wait_for(l, std::chrono::milliseconds(5));
                } else {
                    const Clock::time_point at = q_.top().at;  // a copy: pushes may move the queue's items
                    cv_.wait_until(l, at);
                }
                continue;
            }
            Item it = q_.top();
            q_.pop();
            bool dead = closed_.count(it.sid) > 0;
            l.unlock();
            {
                std::lock_guard<std::recursive_mutex> sl(sessionLock_);
                auto f = recv_.find({it.sid, it.ch});
                if (f != recv_.end() && f->second && !dead) {
                    f->second(it.sid, it.ch, it.pkt.data(), (int)it.pkt.size(), 0);
                    touched.insert({it.sid, it.ch});
                }
            }
            l.lock();
        }
    }

    std::recursive_mutex sessionLock_;
    std::mutex m_;
    std::condition_variable cv_;
    std::priority_queue<Item, std::vector<Item>, std::greater<Item>> q_;
    std::map<std::pair<int, uint8_t>, RscRecvFn> recv_;
    std::map<std::pair<int, uint8_t>, RscIdleFn> idle_;
    std::map<int, std::vector<std::vector<uint8_t>>> tap_;
    std::map<int, uint64_t> counter_;
    std::map<int, int> burstLeft_;
    std::map<std::pair<int, uint8_t>, int> dropType_;
    std::set<int> mute_, closed_;
    uint64_t seed_;
    FakeLinkConditions cond_;
    uint64_t order_ = 0;
    uint64_t lost_ = 0;
    bool quit_ = false;
    std::thread thread_;
};
