#include "linkemu.h"

#include <time.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace linkemu {

namespace {

uint64_t mix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

std::string pct(uint32_t ppm) {
    char b[32];
    snprintf(b, sizeof b, "%g%%", ppm / 10000.0);
    return b;
}

std::string ms(uint32_t us) {
    char b[32];
    snprintf(b, sizeof b, "%gms", us / 1000.0);
    return b;
}

// "10ms", "250us", "1.5s" -> microseconds.
bool parseTime(const std::string &v, uint32_t *us) {
    char *end = nullptr;
    double x = strtod(v.c_str(), &end);
    std::string unit = end ? end : "";
    double f = unit == "us" ? 1 : unit == "ms" || unit.empty() ? 1000 : unit == "s" ? 1e6 : -1;
    if (f < 0 || x < 0 || end == v.c_str()) return false;
    *us = (uint32_t)std::llround(x * f);
    return true;
}

// "1%", "0.5%", "0.01" -> parts per million.
bool parseChance(const std::string &v, uint32_t *ppm) {
    char *end = nullptr;
    double x = strtod(v.c_str(), &end);
    std::string unit = end ? end : "";
    if (end == v.c_str() || x < 0) return false;
    if (unit == "%")
        x /= 100;
    else if (!unit.empty())
        return false;
    if (x > 1) return false;
    *ppm = (uint32_t)std::llround(x * kMillion);
    return true;
}

// "10mbit", "500kbit", "1gbit", "64kb", "1500b" -> bits per second or bytes.
bool parseAmount(const std::string &v, double bitFactor, uint64_t *out) {
    char *end = nullptr;
    double x = strtod(v.c_str(), &end);
    std::string unit = end ? end : "";
    if (end == v.c_str() || x < 0) return false;
    double f;
    if (bitFactor > 0) {
        f = unit == "bit" || unit.empty() ? 1
            : unit == "kbit"              ? 1e3
            : unit == "mbit"              ? 1e6
            : unit == "gbit"              ? 1e9
                                          : -1;
    } else {
        f = unit == "b" || unit.empty() ? 1 : unit == "kb" ? 1024 : unit == "mb" ? 1048576 : -1;
    }
    if (f < 0) return false;
    *out = (uint64_t)std::llround(x * f);
    return true;
}

}  // namespace

uint64_t monoUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}

std::string Profile::describe() const {
    std::ostringstream o;
    o << "{delay " << ms(delayUs) << " jitter " << ms(jitterUs) << (jitterMayReorder ? " (reordering)" : "")
      << " loss " << pct(lossPpm);
    if (enterBurstPpm) {
        o << " bursts enter " << pct(enterBurstPpm) << " leave " << pct(leaveBurstPpm) << " loss "
          << pct(burstLossPpm);
    }
    o << " reorder " << pct(reorderPpm);
    if (reorderPpm) o << " +" << ms(reorderExtraUs ? reorderExtraUs : 2 * delayUs + 1000);
    o << " dup " << pct(duplicatePpm);
    if (rateBps) o << " rate " << rateBps << "bit/s queue " << queueLimitBytes << "B";
    o << "}";
    return o.str();
}

bool parseProfile(const std::string &text, Profile *out, std::string *err) {
    Profile p;
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        if (item.empty()) continue;
        size_t eq = item.find('=');
        std::string k = item.substr(0, eq), v = eq == std::string::npos ? "" : item.substr(eq + 1);
        bool ok;
        uint64_t amount = 0;
        if (k == "delay") {
            ok = parseTime(v, &p.delayUs);
        } else if (k == "jitter") {
            ok = parseTime(v, &p.jitterUs);
        } else if (k == "jitter-reorders") {
            ok = v == "1" || v == "0";
            p.jitterMayReorder = v == "1";
        } else if (k == "loss") {
            ok = parseChance(v, &p.lossPpm);
        } else if (k == "burst") {
            double len = strtod(v.c_str(), nullptr);
            ok = len >= 1;
            if (ok) p.leaveBurstPpm = (uint32_t)std::llround(kMillion / len);
        } else if (k == "burst-every") {
            ok = parseChance(v, &p.enterBurstPpm);
        } else if (k == "burst-loss") {
            ok = parseChance(v, &p.burstLossPpm);
        } else if (k == "reorder") {
            ok = parseChance(v, &p.reorderPpm);
        } else if (k == "reorder-by") {
            ok = parseTime(v, &p.reorderExtraUs);
        } else if (k == "dup") {
            ok = parseChance(v, &p.duplicatePpm);
        } else if (k == "rate") {
            ok = parseAmount(v, 1, &amount);
            p.rateBps = amount;
        } else if (k == "queue") {
            ok = parseAmount(v, 0, &amount) && amount <= UINT32_MAX;
            p.queueLimitBytes = (uint32_t)amount;
        } else {
            if (err) *err = "unknown key \"" + k + "\"";
            return false;
        }
        if (!ok) {
            if (err) *err = "bad value for \"" + k + "\": \"" + v + "\"";
            return false;
        }
    }
    *out = p;
    return true;
}

Decider::Decider(uint64_t seed, int direction, const Profile &p)
    : key_(mix(seed ^ mix(0x6c696e6b656d75ull + (uint64_t)direction))), p_(p) {}

uint64_t Decider::draw(uint64_t i, int k) const {
    return mix(key_ ^ mix(i * 8 + (uint64_t)k));
}

bool Decider::chance(uint64_t i, int k, uint32_t ppm) const {
    return ppm && draw(i, k) % kMillion < ppm;
}

Decision Decider::next() {
    const uint64_t i = index_++;
    Decision d;
    d.index = i;
    if (p_.enterBurstPpm) bad_ = bad_ ? !chance(i, 0, p_.leaveBurstPpm) : chance(i, 0, p_.enterBurstPpm);
    d.inBurst = bad_;
    d.lost = chance(i, 1, bad_ ? p_.burstLossPpm : p_.lossPpm);
    if (d.lost) return d;
    int64_t delay = p_.delayUs;
    if (p_.jitterUs) delay += (int64_t)(draw(i, 2) % (2ull * p_.jitterUs + 1)) - (int64_t)p_.jitterUs;
    if (delay < 0) delay = 0;
    d.reordered = chance(i, 3, p_.reorderPpm);
    if (d.reordered) delay += p_.reorderExtraUs ? p_.reorderExtraUs : 2ull * p_.delayUs + 1000;
    d.delayUs = (uint32_t)delay;
    d.duplicated = chance(i, 4, p_.duplicatePpm);
    if (d.duplicated) d.dupDelayUs = d.delayUs + (uint32_t)(draw(i, 5) % 1001);
    return d;
}

Direction::Direction(uint64_t seed, int direction, const Profile &p, size_t logLimit)
    : p_(p), decider_(seed, direction, p), logLimit_(logLimit) {}

Decision Direction::offer(std::vector<uint8_t> bytes, uint64_t nowUs, uint64_t tag) {
    Decision d = decider_.next();
    LogEntry e;
    e.d = d;
    e.offeredUs = nowUs;
    e.bytes = (uint32_t)bytes.size();
    ++c_.offered;
    c_.bytesOffered += bytes.size();
    uint64_t departUs = nowUs;
    if (d.lost) {
        ++c_.lost;
        if (d.inBurst) ++c_.lostInBurst;
    } else if (p_.rateBps) {
        // The packet leaves once the bytes ahead of it have; beyond the queue limit it is dropped.
        uint64_t start = busyUntilUs_ > nowUs ? busyUntilUs_ : nowUs;
        uint64_t aheadBytes = (start - nowUs) * p_.rateBps / 8000000u;
        if (p_.queueLimitBytes && aheadBytes + bytes.size() > p_.queueLimitBytes) {
            e.queueDropped = true;
            ++c_.queueDropped;
        } else {
            busyUntilUs_ = start + (bytes.size() * 8000000u + p_.rateBps - 1) / p_.rateBps;
            departUs = busyUntilUs_;
        }
    }
    if (!d.lost && !e.queueDropped) {
        if (d.reordered) ++c_.reordered;
        Packet pk;
        pk.tag = tag;
        pk.index = d.index;
        pk.offeredUs = nowUs;
        pk.releaseUs = departUs + d.delayUs;
        if (!d.reordered && !p_.jitterMayReorder) {
            pk.releaseUs = std::max(pk.releaseUs, lastInOrderUs_);
            lastInOrderUs_ = pk.releaseUs;
        }
        e.releaseUs = pk.releaseUs;
        if (d.duplicated) {
            ++c_.duplicated;
            Packet cp = pk;
            cp.bytes = bytes;
            cp.copy = true;
            cp.releaseUs = departUs + d.dupDelayUs;
            pk.bytes = std::move(bytes);
            heap_.push(Item{std::move(pk), order_++});
            heap_.push(Item{std::move(cp), order_++});
        } else {
            pk.bytes = std::move(bytes);
            heap_.push(Item{std::move(pk), order_++});
        }
    }
    if (log_.size() < logLimit_) log_.push_back(e);
    return d;
}

uint64_t Direction::nextReleaseUs() const {
    return heap_.empty() ? UINT64_MAX : heap_.top().p.releaseUs;
}

bool Direction::popDue(uint64_t nowUs, Packet *out) {
    if (heap_.empty() || heap_.top().p.releaseUs > nowUs) return false;
    // The top is copied out: priority_queue only hands out a const reference.
    *out = std::move(const_cast<Item &>(heap_.top()).p);
    heap_.pop();
    ++c_.released;
    c_.bytesReleased += out->bytes.size();
    return true;
}

void Direction::writeLog(FILE *f) const {
    for (const LogEntry &e : log_) {
        const char *fate = e.d.lost         ? (e.d.inBurst ? "lost-burst" : "lost")
                           : e.queueDropped ? "queue-drop"
                                            : "pass";
        fprintf(f, "%" PRIu64 " %" PRIu64 " %" PRIu64 " %u %s%s%s\n", e.d.index, e.offeredUs, e.releaseUs,
                e.bytes, fate, e.d.reordered ? " reorder" : "", e.d.duplicated ? " dup" : "");
    }
}

std::string describe(const Counters &c) {
    std::ostringstream o;
    o << "offered " << c.offered << " released " << c.released << " lost " << c.lost << " (burst "
      << c.lostInBurst << ") reordered " << c.reordered << " duplicated " << c.duplicated << " queue-dropped "
      << c.queueDropped;
    return o.str();
}

std::string Link::banner() const {
    return "linkemu seed " + std::to_string(seed) + " a>b " + dir[0].profile().describe() + " b>a " +
           dir[1].profile().describe();
}

std::string Link::counterText() const {
    return "a>b: " + describe(dir[0].counters()) + "; b>a: " + describe(dir[1].counters());
}

}  // namespace linkemu
