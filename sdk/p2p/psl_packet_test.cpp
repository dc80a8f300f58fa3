// Scrambler, send routine and receive framing of session packets; builders and bounded readers.
#include "p2p/psl_packet.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "p2p/psl_messages.h"

namespace {

std::string hex(const uint8_t *p, size_t n) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) (s += d[p[i] >> 4]) += d[p[i] & 15];
    return s;
}

std::vector<uint8_t> scrambled(std::vector<uint8_t> plain) {
    std::vector<uint8_t> out(plain.size());
    _PSL_Scramble(plain.data(), out.data(), (uint16_t)plain.size(),
                  (plain.size() > 3 && (plain[3] & PSL_FLAG_HEAD64)) ? 64 : (uint16_t)plain.size());
    return out;
}

TEST(Scrambler, RoundTripForEveryLengthWithBothLimits) {
    std::mt19937 rng(7);
    std::vector<uint8_t> src(1500), mid(1500), back(1500);
    for (auto &b : src) b = (uint8_t)rng();
    for (uint16_t len = 0; len <= 1500; ++len) {
        for (uint16_t limit : {len, (uint16_t)64}) {
            _PSL_Scramble(src.data(), mid.data(), len, limit);
            _PSL_Descramble(mid.data(), back.data(), len, limit);
            ASSERT_EQ(memcmp(src.data(), back.data(), len), 0) << "length " << len << " limit " << limit;
            if (len > limit) {
                ASSERT_EQ(memcmp(src.data() + limit, mid.data() + limit, len - limit), 0);
            }
        }
    }
}

TEST(Scrambler, KnownAnswers) {
    uint8_t pkt[64];
    int n = psl_Build_QueryGroup(pkt, sizeof pkt, "ABCDEFGHJK0123456789", 0);
    ASSERT_EQ(n, 54);
    std::vector<uint8_t> w = scrambled({pkt, pkt + n});
    EXPECT_EQ(hex(w.data(), w.size()),
              "64ef0c64e6c3d8d80e64eb8cbcc6d6dcf05d29b7d780fb8b5a238f89888053bae4ee0d04e6c2d8d80d4438dedcfcd6"
              "de59756d62"
              "6920");
    n = psl_Build_Probe(pkt, sizeof pkt, 0, 0, 0x1234, 0);
    ASSERT_EQ(n, 24);
    w = scrambled({pkt, pkt + n});
    EXPECT_EQ(hex(w.data(), w.size()), "04ed1524e6c3d8d80e64eb8c5cc6d6de6e5b626d756b3259");
}

TEST(Scrambler, BlocksAndTails) {
    const char *key = "Yumbo knows all lanes to 7Q3Qx##";
    std::vector<uint8_t> src(100);
    std::iota(src.begin(), src.end(), 1);
    std::vector<uint8_t> out(100);
    // 16 + 6: the 6-byte tail is XORed with key bytes 0..5 and not permuted.
    _PSL_Scramble(src.data(), out.data(), 22, 22);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(out[16 + i], src[16 + i] ^ (uint8_t)key[i]);
    // Tails of 2, 4 and 8 are permuted after the XOR.
    struct Tail {
        int t;
        std::vector<int> p;
    } tails[] = {{2, {1, 0}}, {4, {2, 3, 0, 1}}, {8, {7, 4, 3, 2, 1, 6, 5, 0}}};
    for (const Tail &tc : tails) {
        _PSL_Scramble(src.data(), out.data(), (uint16_t)(16 + tc.t), (uint16_t)(16 + tc.t));
        for (int i = 0; i < tc.t; ++i)
            EXPECT_EQ(out[16 + i], src[16 + tc.p[i]] ^ (uint8_t)key[tc.p[i]]) << tc.t;
    }
    // A block that occurs twice is scrambled identically.
    std::vector<uint8_t> twice(32);
    for (int i = 0; i < 16; ++i) twice[i] = twice[16 + i] = (uint8_t)(i * 7);
    _PSL_Scramble(twice.data(), out.data(), 32, 32);
    EXPECT_EQ(memcmp(out.data(), out.data() + 16, 16), 0);
    // Head-64: bytes from 64 on travel unchanged; 40 bytes are scrambled whole.
    _PSL_Scramble(src.data(), out.data(), 100, 64);
    EXPECT_EQ(memcmp(out.data() + 64, src.data() + 64, 36), 0);
    EXPECT_NE(memcmp(out.data(), src.data(), 64), 0);
    std::vector<uint8_t> whole(40);
    _PSL_Scramble(src.data(), whole.data(), 40, 64);
    _PSL_Scramble(src.data(), out.data(), 40, 40);
    EXPECT_EQ(memcmp(whole.data(), out.data(), 40), 0);
    // The guarded entry points need the private magic.
    std::vector<uint8_t> dst(32, 0xcc);
    _PSL_DescrambleGuarded(src.data(), dst.data(), 32, 32, PSL_PRIVATE_MAGIC ^ 1);
    EXPECT_EQ(dst, std::vector<uint8_t>(32, 0xcc));
    _PSL_ScrambleGuarded(src.data(), dst.data(), 32, 32, PSL_PRIVATE_MAGIC);
    _PSL_Scramble(src.data(), out.data(), 32, 32);
    EXPECT_EQ(memcmp(dst.data(), out.data(), 32), 0);
}

std::vector<uint8_t> packet(uint16_t type, size_t payload, uint8_t flags = PSL_FLAG_SCRAMBLED,
                            uint8_t fill = 0x5a) {
    std::vector<uint8_t> p(PSL_HEADER_SIZE + payload, fill);
    PSLPacketHeader h{PSL_MAGIC, PSL_VERSION, flags, (uint16_t)payload, 0, type, 0x24, 0, 0, 0, 0};
    psl_Header_Write(p.data(), &h);
    return p;
}

TEST(DatagramFraming, DropsWhatCannotBeAWholePacket) {
    struct Case {
        const char *name;
        std::vector<uint8_t> datagram;
        int want;
    };
    std::vector<uint8_t> bad = packet(0x0601, 20);
    bad[0] = 0x05;
    std::vector<uint8_t> shortLen = scrambled(packet(0x0601, 20));
    shortLen.resize(30);  // length says 20, 14 arrived
    std::vector<uint8_t> trailing = scrambled(packet(0x0601, 20));
    trailing.insert(trailing.end(), 7, 0xee);
    std::vector<uint8_t> head64 = packet(0x0407, 200, PSL_FLAG_SCRAMBLED | PSL_FLAG_HEAD64);
    std::vector<Case> cases = {
        {"empty", {}, -1},
        {"bare 4-byte ping", {0xCC, 0xAA, 0xAB, 0xAB}, -1},
        {"15 bytes", std::vector<uint8_t>(15, 0), -1},
        {"bad magic", scrambled(bad), -1},
        {"length past the end", shortLen, -1},
        {"over 1,416 bytes", scrambled(packet(0x0407, 1401)), -1},
        {"exactly 1,416 bytes", scrambled(packet(0x0407, 1400)), 1416},
        {"header only", scrambled(packet(0x0427, 0)), 16},
        {"trailing bytes ignored", trailing, 36},
        {"head-64 data", scrambled(head64), 216},
    };
    for (const Case &c : cases) {
        uint8_t out[PSL_UDP_RECV_MAX];
        PSLPacketHeader h{};
        EXPECT_EQ(psl_ReadDatagram(c.datagram.data(), c.datagram.size(), out, &h), c.want) << c.name;
        if (c.want > PSL_HEADER_SIZE) {
            EXPECT_EQ(out[PSL_HEADER_SIZE], 0x5a) << c.name;
        }
    }
    EXPECT_EQ(psl_ReadDatagram(nullptr, 20, nullptr, nullptr), -1);
}

struct Sink {
    std::vector<std::string> packets;
    static void take(const uint8_t *p, size_t n, const PSLPacketHeader *, void *arg) {
        static_cast<Sink *>(arg)->packets.push_back(hex(p, n));
    }
};

TEST(StreamFraming, ThreePacketsSplitAtEveryPositionArriveOnceInOrder) {
    std::vector<std::vector<uint8_t>> plain = {packet(0x0504, 40, PSL_FLAG_SCRAMBLED, 1),
                                               packet(0x0524, 0, PSL_FLAG_SCRAMBLED, 2),
                                               packet(0x0504, 90, PSL_FLAG_SCRAMBLED | PSL_FLAG_HEAD64, 3)};
    std::vector<uint8_t> stream;
    std::vector<std::string> want;
    for (auto &p : plain) {
        std::vector<uint8_t> s = scrambled(p);
        stream.insert(stream.end(), s.begin(), s.end());
        want.push_back(hex(p.data(), p.size()));
    }
    for (size_t a = 0; a <= stream.size(); ++a) {
        for (size_t b = a; b <= stream.size(); b += (a % 7) + 1) {
            PslStreamFramer f;
            psl_StreamFramer_Init(&f);
            Sink s;
            ASSERT_GE(psl_StreamFramer_Feed(&f, stream.data(), a, Sink::take, &s), 0);
            ASSERT_GE(psl_StreamFramer_Feed(&f, stream.data() + a, b - a, Sink::take, &s), 0);
            ASSERT_GE(psl_StreamFramer_Feed(&f, stream.data() + b, stream.size() - b, Sink::take, &s), 0);
            ASSERT_EQ(s.packets, want) << "cuts at " << a << " and " << b;
        }
    }
}

TEST(StreamFraming, OneReadEndingMidPacketKeepsTheTail) {
    std::vector<uint8_t> stream;
    for (int i = 0; i < 3; ++i) {
        std::vector<uint8_t> s = scrambled(packet(0x0504, 30 + i, PSL_FLAG_SCRAMBLED, (uint8_t)i));
        stream.insert(stream.end(), s.begin(), s.end());
    }
    PslStreamFramer f;
    psl_StreamFramer_Init(&f);
    Sink s;
    size_t cut = stream.size() - 5;
    EXPECT_EQ(psl_StreamFramer_Feed(&f, stream.data(), cut, Sink::take, &s), 2);
    EXPECT_EQ(psl_StreamFramer_Feed(&f, stream.data() + cut, 5, Sink::take, &s), 1);
    EXPECT_EQ(s.packets.size(), 3u);
    // A bad magic breaks the stream for good.
    std::vector<uint8_t> junk(16, 0x11);
    EXPECT_EQ(psl_StreamFramer_Feed(&f, junk.data(), junk.size(), Sink::take, &s), -1);
    EXPECT_EQ(psl_StreamFramer_Feed(&f, stream.data(), stream.size(), Sink::take, &s), -1);
}

TEST(SendPacket, SetsTheScrambledFlagAndSendsTheScrambledCopy) {
    LinuxConnMgr *mgr = nullptr;
    ASSERT_EQ(LinuxConnMgr_getInstance(&mgr), 0);
    LinuxConn *conn = nullptr;
    LinuxConnMgr_createConnection(mgr, LINUXCONN_UDP, LINUXCONN_SERVER, 0, &conn);
    uint16_t port = 0;
    ASSERT_EQ(LinuxConn_open(conn, nullptr, &port, 0, nullptr, nullptr, nullptr, nullptr), 0);
    int sink = socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    bind(sink, (sockaddr *)&a, sizeof a);
    socklen_t al = sizeof a;
    getsockname(sink, (sockaddr *)&a, &al);
    std::vector<uint8_t> p = packet(0x0407, 100, PSL_FLAG_HEAD64);
    std::vector<uint8_t> before = p;
    EXPECT_EQ(_PSL_SendPacket(conn, p.data(), (uint16_t)p.size(), "::1", a.sin6_port), 116);
    EXPECT_EQ(p[3], PSL_FLAG_HEAD64 | PSL_FLAG_SCRAMBLED);
    before[3] = p[3];
    EXPECT_EQ(p, before);  // otherwise unchanged
    uint8_t got[200];
    ASSERT_EQ(recv(sink, got, sizeof got, 0), 116);
    EXPECT_EQ(hex(got, 116), hex(scrambled(p).data(), 116));
    EXPECT_EQ(_PSL_SendPacket(nullptr, p.data(), 16, "::1", a.sin6_port), 0);
    EXPECT_EQ(_PSL_SendPacket(conn, p.data(), 16, nullptr, a.sin6_port), 0);
    EXPECT_EQ(_PSL_SendPacket(conn, p.data(), 16, "no.such.host.invalid", a.sin6_port), 0);
    close(sink);
    LinuxConnMgr_destroyConnection(mgr, conn);
    LinuxConnMgr_release(mgr);
}

TEST(Messages, BuildersRefuseWhatDoesNotFit) {
    const PslMsgDef *m = psl_Msg_ByName("MSG_LAN_SEARCH");
    const PslFormDef *f = psl_Msg_Form(m, "std");
    uint8_t out[PSL_SEND_MAX];
    PslValue misspelt[] = {{"uid", 0, nullptr, 0, nullptr, 0}};
    EXPECT_EQ(psl_Msg_Build(m, f, misspelt, 1, out, sizeof out), -1);
    PslValue tooBig[] = {{"extra", 256, nullptr, 0, nullptr, 0}};
    EXPECT_EQ(psl_Msg_Build(m, f, tooBig, 1, out, sizeof out), -1);
    std::string longUid(21, 'A');
    PslValue uid[] = {{"UID", 0, (const uint8_t *)longUid.data(), longUid.size(), nullptr, 0}};
    EXPECT_EQ(psl_Msg_Build(m, f, uid, 1, out, sizeof out), -1);
    EXPECT_EQ(psl_Msg_Build(m, f, nullptr, 0, out, 40), -1);  // room for less than the packet
    std::vector<uint8_t> big(1390);
    EXPECT_EQ(psl_Build_Data(out, sizeof out, 0x0407, 0, 0, 0, 0, 0, 0, 0, big.data(), 1388), 1404);
    EXPECT_EQ(psl_Build_Data(out, sizeof out, 0x0407, 0, 0, 0, 0, 1, 1, 2, big.data(), 1388), 1416);
    EXPECT_EQ(psl_Build_Data(out, sizeof out, 0x0601, 0, 0, 0, 0, 0, 0, 0, big.data(), 10), -1);
}

TEST(Messages, TwentyCharacterUidHasNoTerminatorAndReadsStopAtTwenty) {
    uint8_t pkt[64];
    int n = psl_Build_QueryGroup(pkt, sizeof pkt, "ABCDEFGHJK0123456789", 0);
    ASSERT_EQ(n, 54);
    EXPECT_EQ(pkt[16 + 19], '9');
    EXPECT_EQ(pkt[16 + 20], 0);  // the zero block after it, not a terminator of the UID field
    pkt[16 + 20] = 'X';          // a reader must not run into the next field
    const PslMsgDef *m = psl_Msg_ByType(0x1007);
    PslValue v{};
    ASSERT_EQ(psl_Msg_Get(&m->forms[0], pkt + 16, 38, "UID", &v), 0);
    EXPECT_EQ(std::string((const char *)v.bytes, v.len), "ABCDEFGHJK0123456789");
}

TEST(Messages, ReadersStayWithinThePayload) {
    uint8_t p[200] = {};
    // Query-group answer: a record whose length runs past the payload, and a record count above what is
    // there.
    psl_PutU16(p + 54, 2);
    p[56] = 2;
    psl_PutU16(p + 58, 160);
    PslGroupRecords g{};
    EXPECT_EQ(psl_ReadQueryGroupR(p, 100, &g), -1);
    psl_PutU16(p + 58, 32);
    EXPECT_EQ(psl_ReadQueryGroupR(p, 92, &g), -1);  // second record missing
    psl_PutU16(p + 54, 1);
    ASSERT_EQ(psl_ReadQueryGroupR(p, 92, &g), 0);
    EXPECT_EQ(g.serverCount, 2u);
    EXPECT_EQ(psl_ReadQueryGroupR(p, 40, &g), -1);
    // A group list whose count claims more addresses than arrived.
    const PslMsgDef *gi = psl_Msg_ByName("MSG_GROUP_INFO");
    psl_PutU16(p + 26, 500);
    PslValue v{};
    ASSERT_EQ(psl_Msg_Get(&gi->forms[0], p, 60 + 48, "servers", &v), 0);
    EXPECT_EQ(v.count, 3u);
    EXPECT_EQ(psl_Msg_Get(&gi->forms[0], p, 50, "word", &v), -1);
    EXPECT_EQ(psl_Msg_Get(&gi->forms[0], p, 60, "nonesuch", &v), -1);
    // A login answer's flag bytes exist only in the long form.
    const PslMsgDef *lr = psl_Msg_ByName("MSG_LOGIN_R");
    EXPECT_EQ(psl_Msg_FormFor(lr, 36)->length, 36);
    EXPECT_EQ(psl_Msg_FormFor(lr, 300)->length, 272);
    EXPECT_EQ(psl_Msg_FormFor(lr, 20), nullptr);
    // Data with a session-word block that claims more than the payload.
    PSLPacketHeader h{};
    h.flags = PSL_FLAG_SESSION_EXT;
    psl_PutU32(p, 64);
    const uint8_t *d;
    size_t dl;
    EXPECT_EQ(psl_DataPayload(&h, p, 40, &d, &dl, nullptr, nullptr), -1);
    psl_PutU32(p, 4);
    EXPECT_EQ(psl_DataPayload(&h, p, 40, &d, &dl, nullptr, nullptr), -1);
    psl_PutU32(p, 12);
    ASSERT_EQ(psl_DataPayload(&h, p, 40, &d, &dl, nullptr, nullptr), 0);
    EXPECT_EQ(dl, 28u);
}

TEST(Messages, ProbeCountersRunPerType) {
    LinuxConnMgr *mgr = nullptr;
    ASSERT_EQ(LinuxConnMgr_getInstance(&mgr), 0);
    LinuxConn *conn = nullptr;
    LinuxConnMgr_createConnection(mgr, LINUXCONN_UDP, LINUXCONN_SERVER, 0, &conn);
    uint16_t port = 0;
    LinuxConn_open(conn, nullptr, &port, 0, nullptr, nullptr, nullptr, nullptr);
    int sink = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(sink, (sockaddr *)&a, sizeof a);
    socklen_t al = sizeof a;
    getsockname(sink, (sockaddr *)&a, &al);
    psl_SetInstance(0x4242);
    uint32_t seen[2][2];
    for (int round = 0; round < 2; ++round) {
        for (int sel = 0; sel < 2; ++sel) {
            ASSERT_EQ(_PSL_SendProbe(conn, "127.0.0.1", a.sin_port, sel, 9), 24);
            uint8_t got[64], plain[PSL_UDP_RECV_MAX];
            ssize_t r = recv(sink, got, sizeof got, 0);
            PSLPacketHeader h{};
            ASSERT_EQ(psl_ReadDatagram(got, (size_t)r, plain, &h), 24);
            EXPECT_EQ(h.type, sel ? 0x0A01 : 0x8003);
            EXPECT_EQ(psl_GetU16(plain + 20), 0x4242);
            EXPECT_EQ(plain[22], 9);
            seen[sel][round] = psl_GetU32(plain + 16);
        }
    }
    EXPECT_EQ(seen[0][1], seen[0][0] + 1);
    EXPECT_EQ(seen[1][1], seen[1][0] + 1);
    close(sink);
    LinuxConnMgr_destroyConnection(mgr, conn);
    LinuxConnMgr_release(mgr);
}

}  // namespace
