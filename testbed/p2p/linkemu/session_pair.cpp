#include "session_pair.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace linkemu {

SessionPair::SessionPair(uint64_t seed, const Profile &ab, const Profile &ba, SessionOptions o)
    : seed_(seed), ab_(ab), ba_(ba), o_(o), protocol_(o.peerProtocol) {
    thread_ = std::thread([this] { run(); });
}

SessionPair::~SessionPair() {
    {
        std::lock_guard<std::mutex> l(m_);
        quit_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

Direction &SessionPair::directionOf(int sid) {
    auto &link = links_[sid / 2];
    if (!link) link = std::make_unique<Link>(seed_, ab_, ba_);
    return link->dir[sid & 1];
}

int SessionPair::write(int sid, const uint8_t *buf, int len, uint8_t ch) {
    std::function<void(int, uint8_t, const std::vector<uint8_t> &)> script;
    std::vector<uint8_t> pkt;
    {
        std::lock_guard<std::mutex> l(m_);
        auto c = closed_.find(sid);
        if (c != closed_.end()) return c->second;
        if (sid < 0 || len <= 0 || len > o_.maxPacket || !buf) return -1;
        pkt.assign(buf, buf + len);
        const uint64_t now = monoUs();
        tally_[sid].count(buf, (size_t)len);
        SentPacket *rec = nullptr;
        if (o_.keepSent) {
            sent_[sid].push_back(SentPacket{pkt, ch, now, 0});
            rec = &sent_[sid].back();
        }
        auto s = script_.find(sid);
        if (s != script_.end()) {
            script = s->second;
        } else if (!mute_.count(sid)) {
            Direction &d = directionOf(sid);
            size_t before = d.log().size();
            d.offer(pkt, now, ((uint64_t)(sid ^ 1) << 8) | ch);
            if (rec && d.log().size() > before) rec->releaseUs = d.log().back().releaseUs;
            cv_.notify_all();
        }
    }
    if (script) script(sid, ch, pkt);
    return len;
}

int SessionPair::check(int sid) {
    std::lock_guard<std::mutex> l(m_);
    auto c = closed_.find(sid);
    return c == closed_.end() ? 0 : c->second;
}

void SessionPair::channelOn(int, uint8_t) {}
void SessionPair::channelOff(int, uint8_t) {}

void SessionPair::setRecvCallback(int sid, uint8_t ch, ChannelRecvFn fn) {
    std::lock_guard<std::recursive_mutex> l(sessionLock_);
    recv_[{sid, ch}] = fn;
}

void SessionPair::setIdleCallback(int sid, uint8_t ch, ChannelIdleFn fn) {
    std::lock_guard<std::recursive_mutex> l(sessionLock_);
    idle_[{sid, ch}] = fn;
    std::lock_guard<std::mutex> m(m_);
    ends_[sid].pending.erase(ch);
}

// Hands a packet to sid's channel as the dispatcher does: under the session lock, then marks the channel
// for the idle hook and restarts the end's quiet time.
void SessionPair::deliver(int sid, uint8_t ch, const std::vector<uint8_t> &pkt) {
    const int status = check(sid);
    bool handed = false;
    {
        std::lock_guard<std::recursive_mutex> sl(sessionLock_);
        auto f = recv_.find({sid, ch});
        if (f != recv_.end() && f->second) {
            f->second(sid, ch, pkt.data(), (int)pkt.size(), status);
            handed = true;
        }
    }
    std::lock_guard<std::mutex> l(m_);
    End &e = ends_[sid];
    e.lastRxUs = monoUs();
    if (handed) {
        e.pending.insert(ch);
        e.idleMs = o_.idleAfterDataMs;
    }
}

void SessionPair::inject(int sid, uint8_t ch, const std::vector<uint8_t> &pkt) {
    deliver(sid, ch, pkt);
    cv_.notify_all();
}

void SessionPair::injectAfter(int sid, uint8_t ch, std::vector<uint8_t> pkt, uint64_t afterUs) {
    std::lock_guard<std::mutex> l(m_);
    scripted_.push_back(Scripted{monoUs() + afterUs, scriptedOrder_++, sid, ch, std::move(pkt)});
    std::push_heap(scripted_.begin(), scripted_.end(), std::greater<Scripted>());
    cv_.notify_all();
}

void SessionPair::setScript(int sid, std::function<void(int, uint8_t, const std::vector<uint8_t> &)> fn) {
    std::lock_guard<std::mutex> l(m_);
    script_[sid] = std::move(fn);
}

void SessionPair::mute(int sid) {
    std::lock_guard<std::mutex> l(m_);
    mute_.insert(sid);
}

void SessionPair::close(int sid, int code) {
    {
        std::lock_guard<std::mutex> l(m_);
        closed_[sid] = code;
    }
    std::lock_guard<std::recursive_mutex> sl(sessionLock_);
    auto calls = recv_;  // a callback may clear its slot
    for (auto &[k, fn] : calls)
        if (k.first == sid && fn) fn(sid, k.second, nullptr, 0, code);
}

std::vector<SentPacket> SessionPair::sent(int sid) {
    std::lock_guard<std::mutex> l(m_);
    return sent_[sid];
}

Counters SessionPair::counters(int sid) {
    std::lock_guard<std::mutex> l(m_);
    return directionOf(sid).counters();
}

std::vector<LogEntry> SessionPair::log(int sid) {
    std::lock_guard<std::mutex> l(m_);
    return directionOf(sid).log();
}

RscTally SessionPair::tally(int sid) {
    std::lock_guard<std::mutex> l(m_);
    return tally_[sid];
}

uint64_t SessionPair::idleCalls(int sid) {
    std::lock_guard<std::mutex> l(m_);
    return ends_[sid].idleCalls;
}

std::string SessionPair::banner() const {
    return "linkemu seed " + std::to_string(seed_) + " a>b " + ab_.describe() + " b>a " + ba_.describe();
}

void SessionPair::run() {
    std::unique_lock<std::mutex> l(m_);
    while (!quit_) {
        const uint64_t now = monoUs();
        // The earliest due packet of any link, then the scripted ones.
        Direction *due = nullptr;
        uint64_t next = UINT64_MAX;
        for (auto &[k, link] : links_)
            for (Direction &d : link->dir) {
                uint64_t t = d.nextReleaseUs();
                if (t < next) {
                    next = t;
                    due = &d;
                }
            }
        if (due && next <= now) {
            Packet p;
            due->popDue(now, &p);
            l.unlock();
            deliver((int)(p.tag >> 8), (uint8_t)(p.tag & 0xff), p.bytes);
            l.lock();
            continue;
        }
        if (!scripted_.empty() && scripted_.front().atUs <= now) {
            std::pop_heap(scripted_.begin(), scripted_.end(), std::greater<Scripted>());
            Scripted s = std::move(scripted_.back());
            scripted_.pop_back();
            l.unlock();
            deliver(s.sid, s.ch, s.pkt);
            l.lock();
            continue;
        }
        if (!scripted_.empty()) next = std::min(next, scripted_.front().atUs);
        // Idle passes of ends that got packets and have been quiet long enough.
        bool ran = false;
        for (auto &[sid, e] : ends_) {
            if (e.pending.empty()) continue;
            uint64_t at = e.lastRxUs + (uint64_t)e.idleMs * 1000;
            if (at > now) {
                next = std::min(next, at);
                continue;
            }
            std::set<uint8_t> chans;
            chans.swap(e.pending);
            e.lastRxUs = now;
            e.idleMs = o_.idleRepeatMs;
            ++e.idleCalls;
            const int endSid = sid;
            l.unlock();
            {
                std::lock_guard<std::recursive_mutex> sl(sessionLock_);
                for (uint8_t ch : chans) {
                    auto f = idle_.find({endSid, ch});
                    if (f != idle_.end() && f->second) f->second(endSid, ch, 0, 0, 0);
                }
            }
            l.lock();
            ran = true;
            break;  // ends_ may have changed meanwhile
        }
        if (ran) continue;
        if (next == UINT64_MAX) {
            cv_.wait_for(l, std::chrono::milliseconds(50));
        } else {
            cv_.wait_for(l, std::chrono::microseconds(next - now));
        }
    }
}

}  // namespace linkemu
