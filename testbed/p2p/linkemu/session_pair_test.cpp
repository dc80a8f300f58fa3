// The in-process session pair: packets cross the emulated link to the other end's channel callback, the idle
// hook runs only after the end has been quiet, a scripted peer injects, and a closed session says so once.
#include "session_pair.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using linkemu::SessionPair;

struct Seen {
    int sid;
    uint8_t ch;
    std::vector<uint8_t> pkt;
    int status;
    uint64_t atUs;
};
std::mutex g_m;
std::vector<Seen> g_seen;
std::vector<std::pair<int, uint64_t>> g_idle;

void onRecv(int sid, uint8_t ch, const uint8_t *pkt, int len, int status) {
    std::lock_guard<std::mutex> l(g_m);
    g_seen.push_back(Seen{sid, ch, pkt ? std::vector<uint8_t>(pkt, pkt + len) : std::vector<uint8_t>{},
                          status, linkemu::monoUs()});
}
void onIdle(int sid, uint8_t, int, int, int) {
    std::lock_guard<std::mutex> l(g_m);
    g_idle.push_back({sid, linkemu::monoUs()});
}

class SessionPairTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::lock_guard<std::mutex> l(g_m);
        g_seen.clear();
        g_idle.clear();
    }
    template <class F>
    bool waitFor(F f, int ms = 5000) {
        for (int i = 0; i < ms / 5; ++i) {
            {
                std::lock_guard<std::mutex> l(g_m);
                if (f()) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
};

TEST_F(SessionPairTest, PacketsCrossTheLinkAtTheirTimeAndTheIdleHookWaitsForQuiet) {
    linkemu::Profile p;
    p.delayUs = 20000;
    SessionPair s(1, p);
    printf("%s\n", s.banner().c_str());
    s.setRecvCallback(3, 0, onRecv);
    s.setIdleCallback(3, 0, onIdle);
    const uint8_t a[3] = {1, 2, 3};
    ASSERT_EQ(3, s.write(2, a, 3, 0));
    ASSERT_TRUE(waitFor([] { return g_seen.size() == 1; }));
    auto sent = s.sent(2);
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(20000u, sent[0].releaseUs - sent[0].offeredUs);  // scheduled exactly one way later
    {
        std::lock_guard<std::mutex> l(g_m);
        EXPECT_EQ(3, g_seen[0].sid);
        EXPECT_EQ(0, g_seen[0].status);
        EXPECT_EQ(std::vector<uint8_t>(a, a + 3), g_seen[0].pkt);
        EXPECT_GE(g_seen[0].atUs, sent[0].releaseUs);
        EXPECT_TRUE(g_idle.empty());  // quiet for 500 ms first
    }
    ASSERT_TRUE(waitFor([] { return g_idle.size() == 1; }));
    {
        std::lock_guard<std::mutex> l(g_m);
        EXPECT_GE(g_idle[0].second - g_seen[0].atUs, 500000u);
    }
    // Nothing new arrived: no further idle call.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(1u, s.idleCalls(3));
}

TEST_F(SessionPairTest, ScriptedPeerAnswersAndInjects) {
    SessionPair s(2, linkemu::Profile{});
    s.setRecvCallback(2, 5, onRecv);
    // Session 3 is a script: it answers each packet with the packet reversed, 10 ms later.
    s.setScript(3, [&s](int, uint8_t ch, const std::vector<uint8_t> &pkt) {
        s.injectAfter(2, ch, std::vector<uint8_t>(pkt.rbegin(), pkt.rend()), 10000);
    });
    const uint8_t b[2] = {7, 8};
    s.write(3, b, 2, 5);
    ASSERT_TRUE(waitFor([] { return g_seen.size() == 1; }));
    s.inject(2, 5, {9});
    std::lock_guard<std::mutex> l(g_m);
    ASSERT_EQ(2u, g_seen.size());
    EXPECT_EQ((std::vector<uint8_t>{8, 7}), g_seen[0].pkt);
    EXPECT_EQ((std::vector<uint8_t>{9}), g_seen[1].pkt);
}

TEST_F(SessionPairTest, MutedAndClosedSessions) {
    SessionPair s(3, linkemu::Profile{});
    s.setRecvCallback(4, 0, onRecv);
    s.mute(5);
    const uint8_t b[1] = {1};
    EXPECT_EQ(1, s.write(5, b, 1, 0));
    EXPECT_EQ(-1, s.write(5, b, 1389, 0));
    s.close(4, -23);
    EXPECT_EQ(-23, s.check(4));
    EXPECT_EQ(0, s.check(5));
    EXPECT_EQ(-23, s.write(4, b, 1, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard<std::mutex> l(g_m);
    ASSERT_EQ(1u, g_seen.size());  // only the close, without a packet
    EXPECT_EQ(-23, g_seen[0].status);
    EXPECT_TRUE(g_seen[0].pkt.empty());
}

}  // namespace
