// Reliable stream packets, sequence arithmetic, the cubic window and the time-out estimator.
#include "p2p/rsc_packet.h"

#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "p2p/rsc_congestion.h"

namespace {

std::vector<uint8_t> packet(uint8_t type, uint16_t length, size_t actual, uint32_t magic = RSC_MAGIC) {
    RSCHeader h = rsc_Header_Make(type, length, RSCSeq{7, 1}, 3);
    h.magic = magic;
    std::vector<uint8_t> b(RSC_HEADER_SIZE + actual, 0xab);
    rsc_Header_Write(b.data(), &h);
    return b;
}

TEST(RscPacket, HeaderBytesAreLittleEndianInTheirPlaces) {
    RSCHeader h = rsc_Header_Make(RSC_MSG_DATA, 0x0102, RSCSeq{0x03040506, 0x0708090a}, 0x11);
    h.transmits = 2;
    h.spare = 0x1314;
    uint8_t b[RSC_HEADER_SIZE];
    rsc_Header_Write(b, &h);
    const uint8_t want[] = {0x5a, 0x97, 0xc2, 0xf1, 2,    5,    0x02, 0x01, 0x06, 0x05,
                            0x04, 0x03, 0x0a, 0x09, 0x08, 0x07, 2,    0x11, 0x14, 0x13};
    EXPECT_EQ(0, memcmp(b, want, sizeof want));
    RSCHeader back{};
    rsc_Header_Read(b, &back);
    EXPECT_EQ(0, memcmp(&back, &h, sizeof h));
}

TEST(RscPacket, SequenceWrapsToTheNextEpochAfterItsLastId) {
    EXPECT_EQ(1u, rsc_Seq_Next(RSCSeq{0, 0}).id);
    RSCSeq n = rsc_Seq_Next(RSCSeq{RSC_EPOCH_LAST_ID, 0});
    EXPECT_EQ(0u, n.id);
    EXPECT_EQ(1u, n.epoch);
    EXPECT_GT(rsc_Seq_Cmp(RSCSeq{0, 1}, RSCSeq{RSC_EPOCH_LAST_ID, 0}), 0);
    EXPECT_LT(rsc_Seq_Cmp(RSCSeq{5, 0}, RSCSeq{6, 0}), 0);
    EXPECT_EQ(0, rsc_Seq_Cmp(RSCSeq{5, 2}, RSCSeq{5, 2}));
    EXPECT_EQ(3u, rsc_Seq_Distance(RSCSeq{RSC_EPOCH_LAST_ID - 1, 0}, RSCSeq{1, 1}));
    EXPECT_EQ(UINT32_MAX, rsc_Seq_Distance(RSCSeq{0, 0}, RSCSeq{0, 9}));
    EXPECT_EQ(0u, rsc_Seq_Distance(RSCSeq{4, 0}, RSCSeq{2, 0}));
}

TEST(RscPacket, CheckerAcceptsWellFormedAndRefusesEverythingElseBeforeCopying) {
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        int want;
    };
    std::vector<uint8_t> sack = packet(RSC_MSG_DATA_SACK2, 72, 72);
    memset(sack.data() + 20, 0, 72);
    sack[24] = 5;  // five ranges
    std::vector<Case> cases = {
        {"heartbeat", packet(RSC_MSG_HEARTBIT, 0, 0), 0},
        {"data 1280", packet(RSC_MSG_DATA, 1280, 1280), 0},
        {"data with session padding", packet(RSC_MSG_DATA, 10, 30), 0},
        {"empty data", packet(RSC_MSG_DATA, 0, 0), 0},
        {"private data", packet(RSC_MSG_PRIVATE_DATA, 100, 100), 0},
        {"19 bytes", std::vector<uint8_t>(19, 0), RSC_PKT_SHORT},
        {"length beyond bytes", packet(RSC_MSG_DATA, 100, 99), RSC_PKT_SHORT},
        {"data above 1280", packet(RSC_MSG_DATA, 1281, 1281), RSC_PKT_BAD_LENGTH},
        {"magic", packet(RSC_MSG_DATA, 0, 0, 0xf1c2975b), RSC_PKT_BAD_MAGIC},
        {"type 68", packet(68, 0, 0), RSC_PKT_UNKNOWN_TYPE},
        {"fin with payload", packet(RSC_MSG_FIN, 4, 4), RSC_PKT_BAD_LENGTH},
        {"ack2 with payload", packet(RSC_MSG_DATA_ACK2, 1, 1), RSC_PKT_BAD_LENGTH},
        {"sack2 of 71", packet(RSC_MSG_DATA_SACK2, 71, 71), RSC_PKT_BAD_LENGTH},
        {"sack2 with 5 ranges", sack, RSC_PKT_BAD_SACK},
    };
    for (const Case &c : cases) {
        RSCPacket p;
        EXPECT_EQ(c.want, rsc_Packet_Check(c.bytes.data(), c.bytes.size(), &p)) << c.what;
    }
}

TEST(RscPacket, Sack2RoundTripsItsRanges) {
    RSCHeader tmpl = rsc_Header_Make(RSC_MSG_DATA, 1280, RSCSeq{3, 0}, 0);
    tmpl.spare = 0x55;
    RSCSackRange r[2] = {{{3, 0}, {4, 0}}, {{9, 0}, {0, 1}}};
    uint8_t b[92];
    ASSERT_EQ(92u, rsc_Sack2_Write(b, &tmpl, 7, RSCSeq{1, 0}, r, 2));
    RSCPacket p;
    ASSERT_EQ(0, rsc_Packet_Check(b, sizeof b, &p));
    EXPECT_EQ(RSC_MSG_DATA_SACK2, p.h.type);
    EXPECT_EQ(7, p.h.index);
    EXPECT_EQ(0x55, p.h.spare);
    EXPECT_EQ(1u, p.h.seq.id);
    ASSERT_EQ(2u, p.sackCount);
    EXPECT_EQ(9u, p.sack[1].first.id);
    EXPECT_EQ(1u, p.sack[1].last.epoch);
}

TEST(RscCongestion, CubeRootIsTheFloor) {
    for (uint32_t v : {0u, 1u, 7u, 8u, 26u, 27u, 493039u, 499999u, 500000u, 512000u, 0xffffffffu}) {
        uint64_t r = rsc_Cbrt(v);
        EXPECT_LE(r * r * r, v) << v;
        EXPECT_GT((r + 1) * (r + 1) * (r + 1), v) << v;
    }
}

TEST(RscCongestion, WindowFollowsTheCubicAfterAReduction) {
    struct Case {
        uint16_t wmax;
        uint64_t us;
        int32_t queued;
        uint32_t live;
        uint16_t want;
    };
    const Case cases[] = {
        {1000, 0, 100000, 1, 827},
        {1000, 3000000, 100000, 1, 963},
        {1000, 7900000, 100000, 1, 1000},
        {1000, 12900000, 100000, 1, 1050},
        {1000, 20000000, 100000, 1, 1701},
        {10, 0, 100000, 1, 10},
        {10, 0, 100000, 12, 10},
        {1000, 20000000, 99, 1, 100},        // capped by queued + 1
        {1000, 300000000, 100000, 1, 6500},  // far past the plateau: the ceiling, no wrap-around
        {1000, 300000000, 5, 1, 6},
        {1, 0, 0, 12, 1},    // floor 10/12 is 0: 1
        {1, 0, 0, 1, 10},    // the floor wins over queued + 1
        {1, 0, 100, 1, 10},  // floor 10 with one live channel
        {1, 0, 100, 3, 3},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.want, rsc_Cubic_Window(c.wmax, c.us, c.queued, c.live))
            << c.wmax << " " << c.us << " " << c.queued << " " << c.live;
}

TEST(RscCongestion, TimeOutFromRoundTripSamples) {
    RSCRtt r;
    rsc_Rtt_Init(&r);
    EXPECT_EQ(500000u, r.rto);
    for (auto [sample, rto] : {std::pair{40000u, 140000u}, {40000u, 140000u}, {80000u, 145000u}}) {
        rsc_Rtt_Sample(&r, sample);
        EXPECT_EQ(rto, r.rto);
    }
    rsc_Rtt_Init(&r);
    rsc_Rtt_Sample(&r, 3000000);
    EXPECT_EQ(8000000u, r.rto);
    rsc_Rtt_Sample(&r, 8000000);  // large values do not overflow the smoothing products
    EXPECT_EQ(8000000u, r.rto);
    EXPECT_GT(r.srtt, 3000000u);
}

TEST(RscCongestion, BackoffDoublesPerRetransmissionUpToTheCeiling) {
    EXPECT_EQ(200000u, rsc_Rto_Backoff(200000, 1));
    EXPECT_EQ(400000u, rsc_Rto_Backoff(200000, 2));
    EXPECT_EQ(1600000u, rsc_Rto_Backoff(200000, 4));
    EXPECT_EQ(8000000u, rsc_Rto_Backoff(200000, 60));
    EXPECT_EQ(8000000u, rsc_Rto_Backoff(8000000, 2));
}

}  // namespace
