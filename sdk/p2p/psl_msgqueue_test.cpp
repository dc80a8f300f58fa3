#include "p2p/psl_msgqueue.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <vector>

#include "p2p/psl_channels.h"

namespace {

struct Caught {
    PSLPacketHeader h{};
    std::vector<uint8_t> payload;
};

// A connected session whose route leads to a plain UDP socket of the test, playing the peer.
class AckMessages : public ::testing::Test {
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
        r->ver = 1;
        r->peerProtocol = 20;
        r->peerVersion = PSL_LIBRARY_VERSION;
        psl_session_unlock();
    }
    void TearDown() override {
        psl_session_lock();
        _PSL_Session(sid)->routeConn = nullptr;
        psl_session_unlock();
        PSL_Session_Close(sid);
        psl_session_lock();  // no session may send on the socket once it is gone
        for (int i = 0; i < _PSL_MaxSessions(); ++i)
            if (_PSL_Session(i)->routeConn == conn) _PSL_Session(i)->routeConn = nullptr;
        psl_session_unlock();
        LinuxConnMgr_destroyConnection(_PSL_ConnMgr(), conn);
        close(rx);
        PSL_DeInitialize();
    }
    // The peer's message or acknowledgement arriving at the session.
    void arrive(uint32_t msgSeq, uint8_t kind, const std::string &text = "") {
        uint8_t payload[16 + 64] = {};
        psl_PutU32(payload, msgSeq);
        payload[9] = kind;
        memcpy(payload + 16, text.data(), text.size());
        PSLPacketHeader h{};
        h.flags = PSL_FLAG_FORWARD | PSL_FLAG_SESSION_EXT;
        h.length = (uint16_t)(16 + text.size());
        h.channel = 0;
        psl_session_lock();
        _PSL_MsgQueue_Receive(_PSL_Session(sid)->channelMsgQueue[0], &h, payload, h.length, nullptr, sid);
        psl_session_unlock();
    }
    // Everything that arrives within `ms` in all.
    std::vector<Caught> caught(int ms = 200) {
        std::vector<Caught> out;
        pollfd p{rx, POLLIN, 0};
        const uint64_t end = p2p_Clock_Ms() + (uint64_t)ms;
        for (uint64_t now = p2p_Clock_Ms(); now < end && poll(&p, 1, (int)(end - now)) == 1;
             now = p2p_Clock_Ms()) {
            uint8_t buf[2048], plain[PSL_UDP_RECV_MAX];
            ssize_t n = recv(rx, buf, sizeof buf, 0);
            Caught c;
            if (n > 0 && psl_ReadDatagram(buf, (size_t)n, plain, &c.h) > 0) {
                c.payload.assign(plain + PSL_HEADER_SIZE, plain + PSL_HEADER_SIZE + c.h.length);
                out.push_back(c);
            }
        }
        return out;
    }
    std::vector<uint32_t> acks(const std::vector<Caught> &all) {
        std::vector<uint32_t> a;
        for (const Caught &c : all)
            if (c.payload.size() >= 12 && c.payload[9] == 1) a.push_back(psl_GetU32(c.payload.data()));
        return a;
    }
    std::string read0() {
        char buf[64];
        int n = PSL_Session_Read(sid, buf, sizeof buf, 0, 0);
        return n > 0 ? std::string(buf, (size_t)n) : std::string();
    }

    LinuxConn *conn = nullptr;
    int rx = -1;
    int sid = -1;
};

TEST_F(AckMessages, OutOfOrderMessagesAreDeliveredOnceInOrderAndEachAcknowledged) {
    arrive(2, 0, "two");
    EXPECT_EQ(read0(), "") << "held back until 0 and 1 arrived";
    arrive(0, 0, "zero");
    arrive(1, 0, "one");
    arrive(1, 0, "one");  // a duplicate of a delivered message: acknowledged again only
    EXPECT_EQ(read0(), "zero");
    EXPECT_EQ(read0(), "one");
    EXPECT_EQ(read0(), "two");
    EXPECT_EQ(read0(), "");
    auto all = caught();
    EXPECT_EQ(acks(all), (std::vector<uint32_t>{2, 0, 1, 1}));
    for (const Caught &c : all) {
        EXPECT_EQ(c.h.flags & ~PSL_FLAG_SCRAMBLED, PSL_FLAG_FORWARD | PSL_FLAG_SESSION_EXT);
        EXPECT_EQ(c.payload.size(), 16u);
        EXPECT_EQ(psl_GetU32(c.payload.data() + 12), 0x99u);
    }
}

TEST_F(AckMessages, SendsAreResentUntilAcknowledgedAndTheQueueHoldsTwenty) {
    EXPECT_EQ(PSL_Session_Channel_Send(sid + 1000, "x", PSL_MSG_TEXT_MAX + 1, 0), PSL_ERR_MSG_TOO_LONG);
    psl_session_lock();  // no resend tick meanwhile
    for (int i = 0; i < PSL_MSGQ_MAX; ++i) ASSERT_EQ(PSL_Session_Channel_Send(sid, "m", 1, 0), 0) << i;
    EXPECT_EQ(PSL_Session_Channel_Send(sid, "m", 1, 0), PSL_ERR_QUEUE_FULL);
    EXPECT_EQ(PSL_Session_Channel_Queue_Empty(sid, 0), 0);
    psl_session_unlock();
    auto all = caught(300);
    std::set<uint32_t> seen;
    for (const Caught &c : all) seen.insert(psl_GetU32(c.payload.data()));
    EXPECT_EQ(seen.size(), (size_t)PSL_MSGQ_MAX);
    EXPECT_GT(all.size(), (size_t)PSL_MSGQ_MAX) << "resent each tick";
    arrive(25, 1);  // above anything sent: ignored
    arrive(0, 1);
    EXPECT_EQ(PSL_Session_Channel_Send(sid, "n", 1, 0), 0);
    for (uint32_t s = 1; s <= 20; ++s) arrive(s, 1);
    EXPECT_EQ(PSL_Session_Channel_Queue_Empty(sid, 0), 1);
}

TEST_F(AckMessages, FlushRefusesSendsUntilTheNextTickThenNumbersOn) {
    psl_session_lock();
    ASSERT_EQ(PSL_Session_Channel_Send(sid, "a", 1, 0), 0);
    ASSERT_EQ(PSL_Session_Channel_Queue_Flush(sid, 0), 0);
    EXPECT_EQ(PSL_Session_Channel_Send(sid, "b", 1, 0), PSL_ERR_QUEUE_CLOSED);
    _PSL_MsgQueue_Tick(_PSL_Session(sid)->channelMsgQueue[0]);
    EXPECT_EQ(PSL_Session_Channel_Queue_Empty(sid, 0), 1);
    ASSERT_EQ(PSL_Session_Channel_Send(sid, "c", 1, 0), 0);
    _PSL_MsgQueue_Tick(_PSL_Session(sid)->channelMsgQueue[0]);
    psl_session_unlock();
    auto all = caught(100);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(psl_GetU32(all[0].payload.data()), 1u);
    EXPECT_EQ(all[0].payload.back(), 'c');
}

TEST_F(AckMessages, PeersThatCannotAcknowledgeAreRefused) {
    struct Case {
        int routeType;
        int incoming;
        uint8_t protocol;
        uint32_t version;
        uint8_t ackCapable;
        int want;
    } cases[] = {
        {PSL_ROUTE_P2P, 0, 20, 0x010D09FF, 0, PSL_ERR_NO_ACK},
        {PSL_ROUTE_P2P, 0, 20, 0x010D0A00, 0, 0},
        {PSL_ROUTE_LAN, 0, 20, 0x010D09FF, 0, 0},
        {PSL_ROUTE_P2P, 1, 20, 0x010D09FF, 0, 0},
        {PSL_ROUTE_P2P, 0, 9, PSL_LIBRARY_VERSION, 0, PSL_ERR_NO_ACK},
        {PSL_ROUTE_RELAY_UDP, 0, 20, PSL_LIBRARY_VERSION, 0, -54},
        {PSL_ROUTE_RELAY_UDP, 0, 20, PSL_LIBRARY_VERSION, 1, 0},
    };
    for (const Case &k : cases) {
        psl_session_lock();
        PSLSessionRecord *r = _PSL_Session(sid);
        r->routeType = k.routeType;
        r->incoming = k.incoming;
        r->peerProtocol = k.protocol;
        r->peerVersion = k.version;
        r->peerAckCapable = k.ackCapable;
        const int got = PSL_Session_Channel_Send(sid, "x", 1, 0);
        _PSL_MsgQueue_Flush(r->channelMsgQueue[0]);
        _PSL_MsgQueue_Tick(r->channelMsgQueue[0]);
        psl_session_unlock();
        EXPECT_EQ(got, k.want) << k.routeType << " " << k.incoming << " " << int(k.protocol) << " "
                               << k.version;
    }
    EXPECT_EQ(PSL_Session_Channel_Send(sid, "x", 1, 7), PSL_ERR_CHANNEL);
}

}  // namespace
