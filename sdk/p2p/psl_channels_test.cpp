#include "p2p/psl_channels.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// A connected session whose route goes from a library socket to a plain UDP socket of the test.
class Channels : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(PSL_Initialize(0), 0);
        rx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
        socklen_t sl = sizeof sa;
        getsockname(rx, reinterpret_cast<sockaddr *>(&sa), &sl);
        ASSERT_EQ(LinuxConnMgr_createConnection(_PSL_ConnMgr(), LINUXCONN_UDP, LINUXCONN_CLIENT, 0, &conn),
                  0);
        uint16_t port = sa.sin_port;
        ASSERT_EQ(LinuxConn_open(conn, "127.0.0.1", &port, 0, nullptr, nullptr, nullptr, nullptr), 0);
        sid = _PSL_AllocSession();
        psl_session_lock();
        PSLSessionRecord *r = _PSL_Session(sid);
        r->state = PSL_STATE_CONNECTED;
        r->routeConn = conn;
        r->routeType = PSL_ROUTE_P2P;
        r->routeAddr.port = sa.sin_port;
        memcpy(r->routeAddr.address, "\x7f\x00\x00\x01", 4);
        r->randomID = 0x00010042;
        r->mac = 0x99;
        psl_session_unlock();
    }
    void TearDown() override {
        PSL_Session_Close(sid);
        psl_session_lock();  // no session may send on the socket once it is gone
        for (int i = 0; i < _PSL_MaxSessions(); ++i)
            if (_PSL_Session(i)->routeConn == conn) _PSL_Session(i)->routeConn = nullptr;
        psl_session_unlock();
        LinuxConnMgr_destroyConnection(_PSL_ConnMgr(), conn);
        close(rx);
        PSL_DeInitialize();
    }
    void set(void (*f)(PSLSessionRecord *)) {
        psl_session_lock();
        f(_PSL_Session(sid));
        psl_session_unlock();
    }
    void deliver(int channel, uint16_t seq, const std::vector<uint8_t> &d) {
        psl_session_lock();
        EXPECT_EQ(_PSL_DeliverData(sid, channel, seq, d.data(), (uint16_t)d.size()), 1);
        psl_session_unlock();
    }

    LinuxConn *conn = nullptr;
    int rx = -1;
    int sid = -1;
};

struct Caught {
    PSLPacketHeader h{};
    std::vector<uint8_t> payload;
};
Caught catch_one(int fd) {
    Caught c;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 2000) != 1) return c;
    uint8_t buf[2048], plain[PSL_UDP_RECV_MAX];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n > 0 && psl_ReadDatagram(buf, (size_t)n, plain, &c.h) > 0)
        c.payload.assign(plain + PSL_HEADER_SIZE, plain + PSL_HEADER_SIZE + c.h.length);
    return c;
}

TEST_F(Channels, WritesCarryTypeTagSequenceAndTheSessionWordsUntilTheTagIsKnown) {
    std::vector<uint8_t> data(PSL_DATA_MAX, 0x5A);
    EXPECT_EQ(PSL_Session_Write(sid, data.data(), PSL_DATA_MAX, 0), PSL_DATA_MAX);
    Caught c = catch_one(rx);
    EXPECT_EQ(c.h.type, 0x0407);
    EXPECT_EQ(c.h.sessionTag, 0x0042);
    EXPECT_EQ(c.h.seq, 0);
    EXPECT_TRUE(c.h.flags & PSL_FLAG_SESSION_EXT);
    ASSERT_EQ(c.payload.size(), PSL_DATA_MAX + 12u);
    EXPECT_EQ(psl_GetU32(c.payload.data()), 12u);
    EXPECT_EQ(psl_GetU32(c.payload.data() + 4), 0x00010042u);
    EXPECT_EQ(std::vector<uint8_t>(c.payload.begin() + 12, c.payload.end()), data);

    EXPECT_EQ(PSL_Session_Write(sid, data.data(), PSL_DATA_MAX + 1, 0), PSL_ERR_INVALID);
    set([](PSLSessionRecord *r) {
        r->ver = 1;
        r->incoming = 1;
        r->routeType = PSL_ROUTE_RELAY_UDP;
        r->relaySessionId = 9;
    });
    EXPECT_EQ(PSL_Session_Write(sid, nullptr, 0, 0), 0);
    c = catch_one(rx);
    EXPECT_EQ(c.h.type, 0x0502);
    EXPECT_EQ(c.h.sessionTag, 9);
    EXPECT_EQ(c.h.seq, 1) << "the sequence counts every write";
    EXPECT_FALSE(c.h.flags & PSL_FLAG_SESSION_EXT);
    EXPECT_TRUE(c.payload.empty());

    for (int ch : {32, 0x120, 5}) EXPECT_EQ(PSL_Session_Write(sid, "x", 1, ch), PSL_ERR_CHANNEL) << ch;
    EXPECT_EQ(PSL_Session_Write(sid + 1, "x", 1, 0), PSL_ERR_SESSION);
    set([](PSLSessionRecord *r) { r->routeConn = nullptr; });
    EXPECT_EQ(PSL_Session_Write(sid, "x", 1, 0), PSL_ERR_NO_ROUTE);
    set([](PSLSessionRecord *r) { r->routeConn = nullptr; });
}

TEST_F(Channels, ReadsReportSequenceAndLossOnGapsAndSwaps) {
    ASSERT_EQ(PSL_Session_Channel_ON(sid, 3), 0);
    // seq: 0 in order, 2 after a gap, 4 then 3 swapped, 5 after the swap.
    const struct {
        uint16_t seq;
        uint8_t lost;
    } want[] = {{0, 0}, {2, 1}, {4, 1}, {3, 1}, {5, 1}};
    for (const auto &w : want) deliver(3, w.seq, {uint8_t(w.seq), 1, 2});
    for (const auto &w : want) {
        uint8_t buf[8];
        uint16_t seq = 0;
        uint8_t lost = 9;
        ASSERT_EQ(PSL_Session_Read_Seq(sid, buf, sizeof buf, 0, &seq, &lost, 3), 3);
        EXPECT_EQ(seq, w.seq);
        EXPECT_EQ(buf[0], w.seq);
        EXPECT_EQ(lost, w.lost) << w.seq;
    }
    // A short buffer truncates; the rest of the message is gone.
    deliver(3, 6, {1, 2, 3, 4});
    uint8_t two[2];
    EXPECT_EQ(PSL_Session_Read(sid, two, 2, 0, 3), 2);
    EXPECT_EQ(PSL_Session_Read(sid, two, 2, 0, 3), 0);
    // Off resets the expected sequence; a message for an off channel is dropped.
    ASSERT_EQ(PSL_Session_Channel_OFF(sid, 3), 0);
    EXPECT_EQ(PSL_Session_Channel_State(sid, 3), 0);
    psl_session_lock();
    EXPECT_EQ(_PSL_DeliverData(sid, 3, 0, two, 1), 0);
    psl_session_unlock();
    ASSERT_EQ(PSL_Session_Channel_ON(sid, 3), 0);
    deliver(3, 0, {7});
    uint8_t lost = 9;
    EXPECT_EQ(PSL_Session_Read_Seq(sid, two, 2, 0, nullptr, &lost, 3), 1);
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(PSL_Session_Channel_OFF(sid, 0), 0);
    EXPECT_EQ(PSL_Session_Channel_State(sid, 0), 1) << "channel 0 stays on";
    EXPECT_EQ(PSL_Session_Channel_State(sid, 32), PSL_ERR_INVALID);
}

TEST_F(Channels, WaitingReadsTimeOutOrWakeOnDataAndPeerClose) {
    uint8_t buf[16];
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(PSL_Session_Read(sid, buf, sizeof buf, 25, 0), PSL_ERR_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(25));

    std::thread later([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        deliver(0, 0, {1, 2, 3});
    });
    EXPECT_EQ(PSL_Session_Read(sid, buf, sizeof buf, 5000, 0), 3);
    later.join();

    std::chrono::steady_clock::time_point closedAt;
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        psl_session_lock();
        closedAt = std::chrono::steady_clock::now();
        _PSL_SessionBroken(_PSL_Session(sid), PSL_ERR_CLOSED_BY_PEER);
        psl_session_unlock();
    });
    EXPECT_EQ(PSL_Session_Read(sid, buf, sizeof buf, 5000, 0), PSL_ERR_CLOSED_BY_PEER);
    const auto woke = std::chrono::steady_clock::now();
    closer.join();
    EXPECT_LT(woke - closedAt, std::chrono::milliseconds(500));  // generous; the wait is a condition
    EXPECT_EQ(PSL_Session_Read(sid, buf, sizeof buf, 5000, 0), PSL_ERR_CLOSED_BY_PEER);
    EXPECT_EQ(PSL_Session_Write(sid, "x", 1, 0), PSL_ERR_CLOSED_BY_PEER);
}

TEST_F(Channels, TakeChannelGivesTheLowestFreeOneUntilNoneIsLeft) {
    for (int c = 1; c < PSL_CHANNELS; ++c) ASSERT_EQ(PSL_Session_Take_Channel(sid), c);
    EXPECT_EQ(PSL_Session_Take_Channel(sid), PSL_ERR_NO_CHANNEL);
    ASSERT_EQ(PSL_Session_Channel_OFF(sid, 17), 0);
    EXPECT_EQ(PSL_Session_Take_Channel(sid), 17);
    EXPECT_EQ(PSL_Session_Set_Partial_Scramble(sid, 1), -47);
    set([](PSLSessionRecord *r) {
        r->peerScrambles = 1;
        r->peerProtocol = 20;
    });
    EXPECT_EQ(PSL_Session_Set_Partial_Scramble(sid, 1), 0);
    EXPECT_EQ(PSL_Session_Peer_Protocol(sid), 20);
}

}  // namespace
