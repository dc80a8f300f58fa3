// An in-process stand-in for the session layer's channel calls, over the link emulator's core: sessions come
// in pairs (2k and 2k+1 are the two ends of one link; the even one sends on direction 0), so both ends of a
// stream run in one process. One delivery thread hands each packet to the receiving end's channel callback
// under the session lock at its release time, with status = check(sid), and runs an end's idle hook the way
// the session layer does: once that end has received nothing for 500 ms after a data packet (50 ms after the
// previous idle pass), for each channel that got packets since its last call. A scripted peer can stand in
// for either end: its packets then go to a script (or nowhere) and the test injects chosen packets.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "linkemu.h"
#include "rsc_tally.h"

namespace linkemu {

// The session layer's two channel callbacks, with its signatures.
typedef void (*ChannelRecvFn)(int sid, uint8_t ch, const uint8_t *pkt, int len, int status);
typedef void (*ChannelIdleFn)(int sid, uint8_t ch, int, int, int);

struct SessionOptions {
    int peerProtocol = 6;
    uint32_t idleAfterDataMs = 500;  // the connection manager's time-out after a data packet
    uint32_t idleRepeatMs = 50;      // and after an idle pass
    int maxPacket = 1388;            // a session data message's payload
    bool keepSent = true;            // keep every written packet for sent()
};

struct SentPacket {
    std::vector<uint8_t> bytes;
    uint8_t ch = 0;
    uint64_t offeredUs = 0;
    uint64_t releaseUs = 0;  // 0: lost, dropped or muted
};

class SessionPair {
  public:
    // Packets of every pair cross one link with these profiles (a>b is even to odd session).
    SessionPair(uint64_t seed, const Profile &ab, const Profile &ba, SessionOptions o = {});
    SessionPair(uint64_t seed, const Profile &both, SessionOptions o = {})
        : SessionPair(seed, both, both, o) {}
    ~SessionPair();
    SessionPair(const SessionPair &) = delete;
    SessionPair &operator=(const SessionPair &) = delete;

    // What the session layer offers a stream channel.
    void lock() { sessionLock_.lock(); }  // recursive
    void unlock() { sessionLock_.unlock(); }
    int write(int sid, const uint8_t *buf, int len, uint8_t ch);  // len, or -22 closed, -1 bad length
    int check(int sid);                                           // 0, or the code close() gave
    int peerProtocol(int) const { return protocol_; }
    void channelOn(int sid, uint8_t ch);
    void channelOff(int sid, uint8_t ch);
    void setRecvCallback(int sid, uint8_t ch, ChannelRecvFn fn);
    void setIdleCallback(int sid, uint8_t ch, ChannelIdleFn fn);

    // The scripted peer. inject: hands a packet to sid's channel now, on the caller's thread, as if sid's
    // peer had sent it. injectAfter: the same from the delivery thread, afterUs from now (scripts use it:
    // they run on the writer's thread, inside the stream).
    void inject(int sid, uint8_t ch, const std::vector<uint8_t> &pkt);
    void injectAfter(int sid, uint8_t ch, std::vector<uint8_t> pkt, uint64_t afterUs);
    // sid's packets go to fn instead of the link (fn runs on the writing thread, with the session lock held
    // when the writer holds it; it must not call back into the stream, only injectAfter).
    void setScript(int sid, std::function<void(int sid, uint8_t ch, const std::vector<uint8_t> &pkt)> fn);
    void mute(int sid);  // sid's packets vanish
    // Ends session sid: later writes fail with code and every channel callback of sid is called once more
    // without a packet, with that status.
    void close(int sid, int code = -22);
    void setPeerProtocol(int p) { protocol_ = p; }

    std::vector<SentPacket> sent(int sid);
    Counters counters(int sid);          // of the direction sid sends on
    std::vector<LogEntry> log(int sid);  // its decisions
    uint64_t idleCalls(int sid);         // idle hook calls of sid's channels
    RscTally tally(int sid);             // stream packets sid wrote (muted and scripted ones too)
    std::string banner() const;          // the seed and both profiles

  private:
    struct Scripted {
        uint64_t atUs;
        uint64_t order;
        int sid;
        uint8_t ch;
        std::vector<uint8_t> pkt;
        bool operator>(const Scripted &o) const { return atUs != o.atUs ? atUs > o.atUs : order > o.order; }
    };
    struct End {
        uint64_t lastRxUs = 0;
        uint32_t idleMs = 0;
        std::set<uint8_t> pending;  // channels with packets since their last idle call
        uint64_t idleCalls = 0;
    };

    Direction &directionOf(int sid);  // with m_ held
    void deliver(int sid, uint8_t ch, const std::vector<uint8_t> &pkt);
    void run();

    std::recursive_mutex sessionLock_;
    std::mutex m_;
    std::condition_variable cv_;
    uint64_t seed_;
    Profile ab_, ba_;
    SessionOptions o_;
    int protocol_;
    std::map<int, std::unique_ptr<Link>> links_;  // by pair
    std::map<std::pair<int, uint8_t>, ChannelRecvFn> recv_;
    std::map<std::pair<int, uint8_t>, ChannelIdleFn> idle_;
    std::map<int, std::vector<SentPacket>> sent_;
    std::map<int, RscTally> tally_;
    std::map<int, std::function<void(int, uint8_t, const std::vector<uint8_t> &)>> script_;
    std::map<int, End> ends_;
    std::set<int> mute_;
    std::map<int, int> closed_;
    std::vector<Scripted> scripted_;  // a heap
    uint64_t scriptedOrder_ = 0;
    bool quit_ = false;
    std::thread thread_;
};

}  // namespace linkemu
