// Acknowledged channel messages between the library's device side and a scripted client that drops,
// duplicates and reorders from a seed: a thousand each way arrive once and in order.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "p2p/psl_channels.h"
#include "p2p/psl_device.h"
#include "scripted_peer.h"

namespace {

using namespace qvtest;
using Clock = std::chrono::steady_clock;

constexpr const char *kUid = "QVTEST0000000000007G";
constexpr uint16_t kLanPort = 32761;
constexpr int64_t kA = 0x0badcafe, kB = 0x13572468;

class AckMessages : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const char *why = getenv("QV_NETNS_SKIP")) GTEST_SKIP() << why;
        PSL_Set_LanSearch_Port(kLanPort);
        ASSERT_EQ(PSL_Initialize(0), 0);
        ASSERT_EQ(PSL_Device_Listen(kUid), 0);
        const bed::Addr lan{{127, 0, 0, 1}, kLanPort};
        bed::Fields req = {{"UID", std::string(kUid)}, {"libraryVersion", int64_t{0x03010523}},
                           {"randomID", kA},           {"mac", kB},
                           {"mode", int64_t{1}},       {"extra", int64_t{0}}};
        client.send(lan, "MSG_LAN_SEARCH", "std", req);
        auto ans = client.recv(0x0602, 2000);
        ASSERT_TRUE(ans);
        device = ans->from;
        req[4].second = int64_t{2};
        client.send(device, "MSG_LAN_SEARCH", "std", req);
        sid = PSL_Accept(3000);
        ASSERT_GE(sid, 0);
    }
    void TearDown() override { PSL_DeInitialize(); }

    void send_block(const char *form, int64_t seq, int kind, const std::string &text) {
        bed::Fields f = {{"msgSeq", seq}, {"randomID", kA}, {"kind", int64_t{kind}}, {"mac", kB}};
        if (kind == 0) f.push_back({"text", bed::Bytes(text.begin(), text.end())});
        f.push_back({"seq", int64_t{(headerSeq++) & 0xFFFF}});
        f.push_back({"sessionTag", int64_t{0}});
        f.push_back({"channel", int64_t{0}});
        f.push_back({"flags", int64_t{0x0e}});
        ASSERT_TRUE(client.send(device, "MSG_P2P_DATA_C", form, f));
    }

    ScriptedPeer client{"127.0.0.1"};
    bed::Addr device;
    int sid = -1;
    int headerSeq = 0;
};

std::string text_of(const char *dir, int i) {
    return std::string(dir) + "-" + std::to_string(i) + std::string((size_t)(i % 50), '.');
}

TEST_F(AckMessages, AThousandEachWayArriveOnceInOrderThroughLossDuplicatesAndReordering) {
    constexpr int kCount = 1000;
    const unsigned seed = 20261211;
    printf("seed %u\n", seed);
    std::mt19937 rng(seed);
    auto chance = [&](int percent) { return (int)(rng() % 100) < percent; };

    std::atomic<int> sentByDevice{0}, badSend{0};
    std::thread sender([&] {
        for (int i = 0; i < kCount; ++i) {
            const std::string t = text_of("d2c", i);
            int rc;
            while ((rc = PSL_Session_Channel_Send(sid, t.data(), (uint32_t)t.size(), 0)) ==
                   PSL_ERR_QUEUE_FULL)
                usleep(2000);
            if (rc != 0) {
                badSend = rc;
                return;
            }
            ++sentByDevice;
        }
    });
    std::vector<std::string> deviceGot;
    std::thread reader([&] {
        std::vector<char> buf(PSL_DATA_MAX);
        const auto end = Clock::now() + std::chrono::seconds(120);
        while ((int)deviceGot.size() < kCount && Clock::now() < end) {
            const int n = PSL_Session_Read(sid, buf.data(), (int)buf.size(), 200, 0);
            if (n >= 0) deviceGot.emplace_back(buf.data(), (size_t)n);
        }
    });

    // The scripted client: a window of 20 messages resent every 50 ms until acknowledged.
    std::map<int, Clock::time_point> lastSent;
    std::set<int> acked;
    std::vector<int> held;  // sent after the next one: reordering
    int base = 0, expectFromDevice = 0;
    std::map<int, std::string> early;
    std::vector<std::string> clientGot;
    const auto end = Clock::now() + std::chrono::seconds(120);
    while ((base < kCount || (int)clientGot.size() < kCount) && Clock::now() < end) {
        while (base < kCount && acked.count(base)) ++base;
        for (int s = base; s < base + 20 && s < kCount; ++s) {
            if (acked.count(s)) continue;
            auto it = lastSent.find(s);
            if (it != lastSent.end() && Clock::now() - it->second < std::chrono::milliseconds(50)) continue;
            lastSent[s] = Clock::now();
            if (chance(10)) continue;  // lost
            if (chance(10)) {
                held.push_back(s);
                continue;
            }
            send_block("blocks16", s, 0, text_of("c2d", s));
            if (chance(10)) send_block("blocks16", s, 0, text_of("c2d", s));
            for (int h : held) send_block("blocks16", h, 0, text_of("c2d", h));
            held.clear();
        }
        auto got = client.recv(0x0408, 5);
        if (!got || !(got->packet.header.flags & bed::kFlagForward)) continue;
        const bed::Fields f = fields_of(got->packet);
        const int seq = (int)num(f, "msgSeq");
        if (num(f, "kind") == 1) {
            acked.insert(seq);
            continue;
        }
        if (chance(10)) continue;  // the device's message lost on its way
        if (seq >= expectFromDevice) {
            const bed::Bytes b = bytes(f, "text");
            early[seq] = std::string(b.begin(), b.end());
            while (early.count(expectFromDevice)) {
                clientGot.push_back(early[expectFromDevice]);
                early.erase(expectFromDevice++);
            }
        }
        if (!chance(10)) send_block("ack16", seq, 1, "");  // an acknowledgement may be lost as well
    }
    sender.join();
    reader.join();
    EXPECT_EQ(badSend.load(), 0);
    ASSERT_EQ((int)deviceGot.size(), kCount);
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(deviceGot[i], text_of("c2d", i)) << "at " << i;
    ASSERT_EQ((int)clientGot.size(), kCount);
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(clientGot[i], text_of("d2c", i)) << "at " << i;
    // Nothing more arrives on the device's side: no duplicate was delivered.
    char extra[64];
    EXPECT_EQ(PSL_Session_Read(sid, extra, sizeof extra, 300, 0), PSL_ERR_TIMEOUT);
}

TEST_F(AckMessages, FullQueueAndFlushAreReported) {
    // The client acknowledges nothing: twenty wait, the next is refused.
    for (int i = 0; i < PSL_MSGQ_MAX; ++i) ASSERT_EQ(PSL_Session_Channel_Send(sid, "m", 1, 0), 0) << i;
    EXPECT_EQ(PSL_Session_Channel_Send(sid, "m", 1, 0), PSL_ERR_QUEUE_FULL);
    EXPECT_EQ(PSL_Session_Channel_Queue_Empty(sid, 0), 0);
    ASSERT_EQ(PSL_Session_Channel_Queue_Flush(sid, 0), 0);
    EXPECT_EQ(PSL_Session_Channel_Send(sid, "m", 1, 0), PSL_ERR_QUEUE_CLOSED);
    bool empty = false;
    for (int i = 0; i < 100 && !empty; ++i) {
        usleep(10000);
        empty = PSL_Session_Channel_Queue_Empty(sid, 0) == 1;
    }
    EXPECT_TRUE(empty);
    EXPECT_EQ(PSL_Session_Channel_Send(sid, "m", 1, 0), 0);
    std::string big(PSL_MSG_TEXT_MAX + 1, 'b');
    EXPECT_EQ(PSL_Session_Channel_Send(sid, big.data(), (uint32_t)big.size(), 0), PSL_ERR_MSG_TOO_LONG);
}

TEST_F(AckMessages, ClosingAConnectedSessionSendsThreeCloses) {
    PSL_Session_Close(sid);
    EXPECT_EQ(client.count(0x0418, 500), 3);
}

}  // namespace
