// The emulator's core: decisions are a function of (seed, direction, index) only, and each impairment's
// statistics fall within generous bounds of what the profile asks.
#include "linkemu.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using linkemu::Decider;
using linkemu::Decision;
using linkemu::Direction;
using linkemu::Packet;
using linkemu::Profile;

constexpr uint32_t kPct = 10000;  // 1 % in parts per million

std::vector<Decision> decisions(uint64_t seed, int dir, const Profile &p, int n) {
    Decider d(seed, dir, p);
    std::vector<Decision> v;
    for (int i = 0; i < n; ++i) v.push_back(d.next());
    return v;
}

Profile everything() {
    Profile p;
    p.delayUs = 10000;
    p.jitterUs = 3000;
    p.lossPpm = 2 * kPct;
    p.enterBurstPpm = 1 * kPct;
    p.leaveBurstPpm = 30 * kPct;
    p.reorderPpm = 2 * kPct;
    p.duplicatePpm = 1 * kPct;
    return p;
}

TEST(LinkEmuCore, DecisionsDependOnlyOnSeedDirectionAndIndex) {
    const Profile p = everything();
    printf("linkemu seed 7 %s\n", p.describe().c_str());
    EXPECT_EQ(decisions(7, 0, p, 5000), decisions(7, 0, p, 5000));
    EXPECT_NE(decisions(7, 0, p, 5000), decisions(8, 0, p, 5000));
    EXPECT_NE(decisions(7, 0, p, 5000), decisions(7, 1, p, 5000));

    // Offered at other times, in other sizes, with the rate on: the same decisions, logged for replay.
    Profile rated = p;
    rated.rateBps = 1000000;
    rated.queueLimitBytes = 20000;
    Direction fast(7, 0, p), slow(7, 0, rated);
    for (int i = 0; i < 5000; ++i) {
        fast.offer(std::vector<uint8_t>(100), 1000000 + (uint64_t)i);
        slow.offer(std::vector<uint8_t>(1400), 1000000 + (uint64_t)i * 5000);  // faster than the rate
    }
    const auto want = decisions(7, 0, p, 5000);
    ASSERT_EQ(5000u, fast.log().size());
    ASSERT_EQ(5000u, slow.log().size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(want[i], fast.log()[i].d) << i;
        EXPECT_EQ(want[i], slow.log()[i].d) << i;
    }
    EXPECT_GT(slow.counters().queueDropped, 0u);  // the one timing-dependent fate, counted apart
}

struct Stats {
    int n = 0, lost = 0, reordered = 0, dup = 0, bursts = 0, burstLost = 0;
    double delaySum = 0;
    uint32_t delayMin = UINT32_MAX, delayMax = 0;
};

Stats measure(const Profile &p, int n, uint64_t seed) {
    Decider d(seed, 0, p);
    Stats s;
    bool prevLost = false;
    for (int i = 0; i < n; ++i) {
        Decision x = d.next();
        ++s.n;
        if (x.lost) {
            ++s.lost;
            if (!prevLost) ++s.bursts;
        } else {
            s.reordered += x.reordered;
            s.dup += x.duplicated;
            if (!x.reordered) {
                s.delaySum += x.delayUs;
                s.delayMin = std::min(s.delayMin, x.delayUs);
                s.delayMax = std::max(s.delayMax, x.delayUs);
            }
        }
        prevLost = x.lost;
    }
    return s;
}

struct StatCase {
    const char *name;
    Profile p;
    double lossLo, lossHi;        // fraction lost
    double burstLo, burstHi;      // mean run of losses
    double reorderLo, reorderHi;  // fraction of delivered
    double dupLo, dupHi;          // fraction of delivered
};

Profile make(uint32_t delay, uint32_t jitter, uint32_t loss, uint32_t enter, uint32_t leave, uint32_t reorder,
             uint32_t dup) {
    Profile p;
    p.delayUs = delay;
    p.jitterUs = jitter;
    p.lossPpm = loss;
    p.enterBurstPpm = enter;
    p.leaveBurstPpm = leave;
    p.reorderPpm = reorder;
    p.duplicatePpm = dup;
    return p;
}

TEST(LinkEmuCore, EachImpairmentFallsWithinBoundsOfItsProfile) {
    const StatCase cases[] = {
        {"clean", make(5000, 0, 0, 0, 0, 0, 0), 0, 0, 0, 0, 0, 0, 0, 0},
        {"loss 5%", make(5000, 0, 5 * kPct, 0, 0, 0, 0), 0.04, 0.06, 1.0, 1.2, 0, 0, 0, 0},
        // bursts of mean length 4 entered 1 % of the time: about 3.8 % lost
        {"bursts", make(5000, 0, 0, 1 * kPct, 25 * kPct, 0, 0), 0.025, 0.05, 3.0, 5.0, 0, 0, 0, 0},
        {"reorder 10%", make(5000, 2000, 0, 0, 0, 10 * kPct, 0), 0, 0, 0, 0, 0.08, 0.12, 0, 0},
        {"dup 3%", make(5000, 0, 0, 0, 0, 0, 3 * kPct), 0, 0, 0, 0, 0, 0, 0.02, 0.04},
    };
    for (const StatCase &c : cases) {
        for (uint64_t seed : {1u, 2u, 3u}) {
            SCOPED_TRACE(std::string(c.name) + " seed " + std::to_string(seed));
            Stats s = measure(c.p, 200000, seed);
            double loss = (double)s.lost / s.n;
            EXPECT_GE(loss, c.lossLo);
            EXPECT_LE(loss, c.lossHi);
            if (s.bursts) {
                double run = (double)s.lost / s.bursts;
                EXPECT_GE(run, c.burstLo);
                EXPECT_LE(run, c.burstHi);
            }
            const int delivered = s.n - s.lost;
            EXPECT_GE((double)s.reordered / delivered, c.reorderLo);
            EXPECT_LE((double)s.reordered / delivered, c.reorderHi);
            EXPECT_GE((double)s.dup / delivered, c.dupLo);
            EXPECT_LE((double)s.dup / delivered, c.dupHi);
            // The delay stays in [delay - jitter, delay + jitter] and averages near the delay.
            EXPECT_GE(s.delayMin, c.p.delayUs - c.p.jitterUs);
            EXPECT_LE(s.delayMax, c.p.delayUs + c.p.jitterUs);
            double mean = s.delaySum / (delivered - s.reordered);
            EXPECT_NEAR(mean, c.p.delayUs, c.p.jitterUs / 10.0 + 1);
        }
    }
}

// Released in time order; reordered (held-back) packets come out after later ones, and jitter reorders
// only where the profile lets it.
uint32_t overtakings(Direction &d, uint32_t n) {
    uint64_t last = 0;
    uint32_t prev = 0, overtaken = 0, got = 0;
    Packet pk;
    while (d.popDue(UINT64_MAX - 1, &pk)) {
        EXPECT_GE(pk.releaseUs, last);
        last = pk.releaseUs;
        uint32_t i;
        memcpy(&i, pk.bytes.data(), 4);
        if (got++ && i < prev) ++overtaken;
        prev = i;
    }
    EXPECT_EQ(n, got);
    EXPECT_EQ(d.counters().released, n);
    return overtaken;
}

TEST(LinkEmuCore, JitterSpansItsRangeAndReorderingOvertakes) {
    Profile p = make(10000, 4000, 0, 0, 0, 5 * kPct, 0);
    p.jitterMayReorder = true;
    Direction d(11, 0, p);
    for (uint32_t i = 0; i < 20000; ++i) {
        std::vector<uint8_t> b(4);
        memcpy(b.data(), &i, 4);
        d.offer(b, 1000000 + (uint64_t)i * 100);  // one every 0.1 ms
    }
    Stats s = measure(p, 20000, 11);
    EXPECT_LT(s.delayMin, 6500u);
    EXPECT_GT(s.delayMax, 13500u);
    EXPECT_GT(overtakings(d, 20000), 3000u);  // jitter on its own reorders a packet every 0.1 ms

    // By default jitter keeps the order: only the reordered 5 % overtake.
    p.jitterMayReorder = false;
    Direction kept(11, 0, p);
    for (uint32_t i = 0; i < 20000; ++i) {
        std::vector<uint8_t> b(4);
        memcpy(b.data(), &i, 4);
        kept.offer(b, 1000000 + (uint64_t)i * 100);
    }
    const uint32_t held = (uint32_t)kept.counters().reordered;
    EXPECT_GT(held, 800u);
    EXPECT_LE(overtakings(kept, 20000), held);
}

TEST(LinkEmuCore, RateSpacesPacketsAndItsQueueLimitDrops) {
    Profile p;
    p.delayUs = 1000;
    p.rateBps = 1000000;            // 1,250-byte packets leave every 10 ms
    p.queueLimitBytes = 10 * 1250;  // ten may wait
    Direction d(3, 0, p);
    const uint64_t t0 = 5000000;
    for (int i = 0; i < 30; ++i) d.offer(std::vector<uint8_t>(1250), t0);
    EXPECT_EQ(20u, d.counters().queueDropped);
    Packet pk;
    std::vector<uint64_t> at;
    while (d.popDue(UINT64_MAX - 1, &pk)) at.push_back(pk.releaseUs - t0);
    ASSERT_EQ(10u, at.size());
    for (size_t i = 0; i < at.size(); ++i) EXPECT_EQ((i + 1) * 10000 + 1000, at[i]) << i;
    // Nothing is due before its time.
    d.offer(std::vector<uint8_t>(1250), t0 + 1000000);
    EXPECT_FALSE(d.popDue(t0 + 1000000 + 10999, &pk));
    EXPECT_TRUE(d.popDue(t0 + 1000000 + 11000, &pk));
}

TEST(LinkEmuCore, DuplicatesFollowTheirOriginal) {
    Profile p = make(2000, 0, 0, 0, 0, 0, 50 * kPct);
    Direction d(5, 0, p);
    for (int i = 0; i < 1000; ++i) d.offer(std::vector<uint8_t>{(uint8_t)i}, 1000000);
    Packet pk;
    uint64_t copies = 0, total = 0;
    while (d.popDue(UINT64_MAX - 1, &pk)) {
        ++total;
        copies += pk.copy;
    }
    EXPECT_EQ(d.counters().duplicated, copies);
    EXPECT_EQ(1000 + copies, total);
    EXPECT_GT(copies, 400u);
    EXPECT_LT(copies, 600u);
}

TEST(LinkEmuCore, ProfilesParseFromText) {
    Profile p;
    std::string err;
    ASSERT_TRUE(linkemu::parseProfile(
        "delay=25ms,jitter=2ms,loss=1%,burst=4,burst-every=0.5%,reorder=1%,dup=0.5%,rate=10mbit,queue=64kb",
        &p, &err))
        << err;
    EXPECT_EQ(25000u, p.delayUs);
    EXPECT_EQ(2000u, p.jitterUs);
    EXPECT_EQ(10000u, p.lossPpm);
    EXPECT_EQ(250000u, p.leaveBurstPpm);
    EXPECT_EQ(5000u, p.enterBurstPpm);
    EXPECT_EQ(10000u, p.reorderPpm);
    EXPECT_EQ(5000u, p.duplicatePpm);
    EXPECT_EQ(10000000u, p.rateBps);
    EXPECT_EQ(65536u, p.queueLimitBytes);
    for (const char *bad : {"delay=x", "loss=150%", "colour=red", "rate=5furlongs"})
        EXPECT_FALSE(linkemu::parseProfile(bad, &p, &err)) << bad;
}

}  // namespace
