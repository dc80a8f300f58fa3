// The link emulator's core: one direction of a link impairs the packets handed to it (delay, jitter, loss
// with Gilbert-Elliott bursts, reordering, duplication, a rate with a queue limit) and releases them at their
// time. Decision i of a direction depends only on (seed, direction, i), never on timing, so a run can be
// replayed from its seed; only the rate's queue drops depend on when packets are offered, as on a real link.
// No threads and no clock of its own: callers pass the time (monotonic microseconds, see monoUs()).
#pragma once

#include <cstdint>
#include <cstdio>
#include <queue>
#include <string>
#include <vector>

namespace linkemu {

inline constexpr uint32_t kMillion = 1000000;  // probabilities are in parts per million

// CLOCK_MONOTONIC in microseconds.
uint64_t monoUs();

struct Profile {
    uint32_t delayUs = 0;
    uint32_t jitterUs = 0;  // uniform in [-jitter, +jitter] around the delay (never below 0)
    // Jitter alone keeps the order of a direction, as on one path (a packet waits for the one before it),
    // unless this is set (netem's way: every packet on its own); the reorder knob reorders either way.
    bool jitterMayReorder = false;
    uint32_t lossPpm = 0;  // loss outside bursts
    // Gilbert-Elliott: each packet first moves the state, good to bad with enterBurstPpm, bad to good with
    // leaveBurstPpm (mean burst length 1/leave); in the bad state the loss is burstLossPpm.
    uint32_t enterBurstPpm = 0;
    uint32_t leaveBurstPpm = kMillion;
    uint32_t burstLossPpm = kMillion;
    uint32_t reorderPpm = 0;       // such a packet is held back by reorderExtraUs
    uint32_t reorderExtraUs = 0;   // 0: twice the delay plus 1 ms
    uint32_t duplicatePpm = 0;     // a second copy follows 0..1 ms after the first
    uint64_t rateBps = 0;          // bits per second; 0 unlimited
    uint32_t queueLimitBytes = 0;  // bytes waiting for the rate; beyond it packets are dropped; 0 unlimited

    std::string describe() const;
};

// Parses "delay=10ms,jitter=2ms,loss=1%,burst=4,burst-every=2%,reorder=1%,dup=0.5%,rate=10mbit,queue=64kb"
// (every key optional; burst = mean burst length in packets, burst-every = chance to enter one). False with
// *err set on a bad key or value.
bool parseProfile(const std::string &text, Profile *out, std::string *err);

struct Decision {
    uint64_t index = 0;
    bool lost = false;
    bool inBurst = false;  // the Gilbert-Elliott state was bad
    bool reordered = false;
    bool duplicated = false;
    uint32_t delayUs = 0;     // of the first copy: delay, jitter and reorder hold
    uint32_t dupDelayUs = 0;  // of the second copy
    bool operator==(const Decision &) const = default;
};

// The decisions of one direction in order; next() is a pure function of (seed, direction, index).
class Decider {
  public:
    Decider(uint64_t seed, int direction, const Profile &p);
    Decision next();
    uint64_t count() const { return index_; }

  private:
    uint64_t draw(uint64_t i, int k) const;
    bool chance(uint64_t i, int k, uint32_t ppm) const;

    uint64_t key_;
    Profile p_;
    uint64_t index_ = 0;
    bool bad_ = false;
};

struct Counters {
    uint64_t offered = 0;      // packets handed in
    uint64_t released = 0;     // copies handed out (duplicates count twice)
    uint64_t lost = 0;         // random losses, bursts included
    uint64_t lostInBurst = 0;  // of those, in the bad state
    uint64_t reordered = 0;
    uint64_t duplicated = 0;
    uint64_t queueDropped = 0;  // beyond the rate's queue limit
    uint64_t bytesOffered = 0;
    uint64_t bytesReleased = 0;
};

struct LogEntry {
    Decision d;
    uint64_t offeredUs = 0;
    uint64_t releaseUs = 0;  // of the first copy; 0 when it was dropped
    uint32_t bytes = 0;
    bool queueDropped = false;
};

struct Packet {
    std::vector<uint8_t> bytes;
    uint64_t tag = 0;  // the caller's (an address, a session id)
    uint64_t index = 0;
    uint64_t offeredUs = 0;
    uint64_t releaseUs = 0;
    bool copy = false;  // the duplicate
};

class Direction {
  public:
    // logLimit: decisions kept in the log (the oldest first; later ones are counted only).
    Direction(uint64_t seed, int direction, const Profile &p, size_t logLimit = 1u << 20);

    // Hands one packet in at nowUs; queues 0, 1 or 2 copies and returns the decision.
    Decision offer(std::vector<uint8_t> bytes, uint64_t nowUs, uint64_t tag = 0);
    // Release time of the next packet, or UINT64_MAX when none waits.
    uint64_t nextReleaseUs() const;
    // The next packet due at nowUs (release order; ties in the order offered); false when none is due.
    bool popDue(uint64_t nowUs, Packet *out);
    size_t waiting() const { return heap_.size(); }

    const Counters &counters() const { return c_; }
    const std::vector<LogEntry> &log() const { return log_; }
    const Profile &profile() const { return p_; }
    // One line per decision: index, offered and release time, bytes, fate.
    void writeLog(FILE *f) const;

  private:
    struct Item {
        Packet p;
        uint64_t order;
    };
    struct Later {
        bool operator()(const Item &a, const Item &b) const {
            return a.p.releaseUs != b.p.releaseUs ? a.p.releaseUs > b.p.releaseUs : a.order > b.order;
        }
    };

    Profile p_;
    Decider decider_;
    Counters c_;
    std::vector<LogEntry> log_;
    size_t logLimit_;
    std::priority_queue<Item, std::vector<Item>, Later> heap_;
    uint64_t order_ = 0;
    uint64_t busyUntilUs_ = 0;    // the rate: when the last accepted byte has left
    uint64_t lastInOrderUs_ = 0;  // release of the last packet not held back
};

// Both directions of a link: 0 is a to b, 1 is b to a.
struct Link {
    Link(uint64_t seed, const Profile &ab, const Profile &ba)
        : seed(seed), dir{{seed, 0, ab}, {seed, 1, ba}} {}
    uint64_t seed;
    Direction dir[2];
    // "linkemu seed N a>b {...} b>a {...}": printed by every test and program that uses a link.
    std::string banner() const;
    std::string counterText() const;
};

std::string describe(const Counters &c);

}  // namespace linkemu
