// Receive side of a stream channel: acknowledgements owed, order of delivery, duplicates and the window.
#include "p2p/rsc_recv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

struct Sent {
    uint8_t type;
    RSCSeq cum;
    RSCSackRange range;
    bool queued;
};

struct Sink : RscAckSink {
    std::vector<Sent> out;
    void sendNow(const uint8_t *pkt, size_t len) override {
        RSCPacket p;
        ASSERT_EQ(0, rsc_Packet_Check(pkt, len, &p));
        out.push_back({p.h.type, p.h.seq, p.sackCount ? p.sack[0] : RSCSackRange{}, false});
    }
    void queueAck(const uint8_t *hdr) override {
        RSCPacket p;
        ASSERT_EQ(0, rsc_Packet_Check(hdr, RSC_HEADER_SIZE, &p));
        out.push_back({p.h.type, p.h.seq, {}, true});
    }
};

struct Pkt {
    std::vector<uint8_t> bytes;
    RSCPacket p;
};

Pkt data(RSCSeq s, const std::string &text, uint8_t type = RSC_MSG_DATA) {
    Pkt k;
    RSCHeader h = rsc_Header_Make(type, (uint16_t)text.size(), s, 1);
    k.bytes.resize(RSC_HEADER_SIZE + text.size());
    rsc_Header_Write(k.bytes.data(), &h);
    std::copy(text.begin(), text.end(), k.bytes.begin() + RSC_HEADER_SIZE);
    EXPECT_EQ(0, rsc_Packet_Check(k.bytes.data(), k.bytes.size(), &k.p));
    return k;
}

std::string readAll(RscReceiver &r, size_t chunk = 7) {
    std::string s;
    std::vector<uint8_t> b(chunk);
    for (;;) {
        size_t n = r.read(b.data(), b.size());
        if (n == 0 && !r.readable()) break;
        s.append(b.begin(), b.begin() + n);
    }
    return s;
}

TEST(RscReceiver, OutOfOrderTraceGivesAck2ThenSack2ThenCumulativeAck2) {
    RscReceiver r;
    Sink s;
    for (uint32_t id : {0u, 1u, 3u, 4u, 2u}) r.onData(data({id, 0}, std::to_string(id)).p, 5, 9, s);
    ASSERT_EQ(4u, s.out.size());
    EXPECT_EQ(RSC_MSG_DATA_ACK2, s.out[0].type);
    EXPECT_EQ(0u, s.out[0].cum.id);
    EXPECT_EQ(RSC_MSG_DATA_ACK2, s.out[1].type);
    EXPECT_EQ(1u, s.out[1].cum.id);
    EXPECT_EQ(RSC_MSG_DATA_SACK2, s.out[2].type);
    EXPECT_EQ(1u, s.out[2].cum.id);
    EXPECT_EQ(3u, s.out[2].range.first.id);
    EXPECT_EQ(4u, s.out[2].range.last.id);
    EXPECT_EQ(RSC_MSG_DATA_ACK2, s.out[3].type);
    EXPECT_EQ(4u, s.out[3].cum.id);
    EXPECT_EQ("01234", readAll(r));
}

TEST(RscReceiver, OlderPeerAndPrivateDataGetQueuedEchoes) {
    RscReceiver r;
    Sink s;
    r.onData(data({0, 0}, "a").p, 4, 9, s);
    r.onData(data({1, 0}, "b", RSC_MSG_PRIVATE_DATA).p, 5, 9, s);
    ASSERT_EQ(2u, s.out.size());
    EXPECT_TRUE(s.out[0].queued);
    EXPECT_EQ(RSC_MSG_DATA_ACK, s.out[0].type);
    EXPECT_EQ(RSC_MSG_PRIVATE_DATA_ACK, s.out[1].type);
    EXPECT_EQ(1u, s.out[1].cum.id);
    EXPECT_EQ("ab", readAll(r));
}

TEST(RscReceiver, RepeatIsAcknowledgedButNotStoredTwice) {
    RscReceiver r;
    Sink s;
    r.onData(data({0, 0}, "xy").p, 5, 1, s);
    EXPECT_EQ(RscReceiver::REPEAT, r.onData(data({0, 0}, "xy").p, 5, 1, s));
    ASSERT_EQ(2u, s.out.size());
    EXPECT_EQ(RSC_MSG_DATA_ACK2, s.out[1].type);
    EXPECT_EQ("xy", readAll(r));
    EXPECT_EQ(0u, r.bytesQueued());
}

TEST(RscReceiver, ASingleGapPacketWaitsForTheIdleHook) {
    RscReceiver r;
    Sink s;
    r.onData(data({2, 0}, "c").p, 5, 1, s);
    EXPECT_TRUE(s.out.empty());
    EXPECT_TRUE(r.gapAtHead());
    r.flushAcks(1, s);
    ASSERT_EQ(1u, s.out.size());
    EXPECT_EQ(RSC_MSG_DATA_SACK2, s.out[0].type);
    EXPECT_EQ(2u, s.out[0].range.first.id);
}

TEST(RscReceiver, PacketsFarBeyondTheReadPointAreRefusedUnacknowledged) {
    RscReceiver r;
    Sink s;
    EXPECT_EQ(RscReceiver::BEYOND_WINDOW, r.onData(data({RSC_RECV_WINDOW, 0}, "z").p, 5, 1, s));
    EXPECT_EQ(RscReceiver::BEYOND_WINDOW, r.onData(data({0, 7}, "z").p, 5, 1, s));
    EXPECT_TRUE(s.out.empty());
    EXPECT_EQ(0u, r.packetsStored());
    EXPECT_EQ(RscReceiver::STORED, r.onData(data({RSC_RECV_WINDOW - 1, 0}, "z").p, 5, 1, s));
}

TEST(RscReceiver, ReadStopsAtAnEmptyPacketAndLeavesTheRestOfAPacket) {
    RscReceiver r;
    Sink s;
    r.onData(data({0, 0}, "hello").p, 5, 1, s);
    r.onData(data({1, 0}, "").p, 5, 1, s);
    r.onData(data({2, 0}, "world").p, 5, 1, s);
    uint8_t b[16];
    EXPECT_EQ(2u, r.read(b, 2));
    EXPECT_EQ(3u, r.read(b, sizeof b));
    EXPECT_EQ(5u, r.read(b, sizeof b));
    EXPECT_TRUE(r.empty());
}

// Shuffled, duplicated delivery across the epoch wrap arrives byte-exact.
TEST(RscReceiver, ShuffledDuplicatedPacketsAcrossTheEpochWrapReadInOrder) {
    for (uint32_t seed : {1u, 2u, 3u}) {
        RscReceiver r;
        RSCSeq first{RSC_EPOCH_LAST_ID - 20, 4};
        r.setFirst(first);
        Sink s;
        std::vector<Pkt> pk;
        std::string want;
        RSCSeq q = first;
        std::mt19937 rng(seed);
        for (int i = 0; i < 60; ++i) {
            std::string t(1 + rng() % 40, (char)('a' + i % 26));
            want += t;
            pk.push_back(data(q, t));
            q = rsc_Seq_Next(q);
        }
        std::vector<size_t> order;
        for (size_t i = 0; i < pk.size(); ++i) {
            order.push_back(i);
            if (rng() % 4 == 0) order.push_back(i);
        }
        std::shuffle(order.begin(), order.end(), rng);
        std::string got;
        for (size_t i : order) {
            r.onData(pk[i].p, 5, 1, s);
            got += readAll(r, 1 + rng() % 50);
        }
        EXPECT_EQ(want, got) << "seed " << seed;
        EXPECT_EQ(0u, r.bytesQueued());
        EXPECT_EQ(RSC_MSG_DATA_ACK2, s.out.back().type);
        EXPECT_EQ(0, rsc_Seq_Cmp(s.out.back().cum, pk.back().p.h.seq)) << "seed " << seed;
    }
}

}  // namespace
