#include "p2p/psl_session.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "p2p/psl_channels.h"
#include "p2p/psl_master.h"

namespace {

class SessionTable : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(PSL_Initialize(0), 0); }
    void TearDown() override {
        psl_session_lock();  // no session may send on the socket once it is gone
        for (int i = 0; i < _PSL_MaxSessions(); ++i)
            if (_PSL_Session(i)->routeConn == conn) _PSL_Session(i)->routeConn = nullptr;
        psl_session_unlock();
        if (conn) LinuxConnMgr_destroyConnection(_PSL_ConnMgr(), conn);
        if (rx >= 0) close(rx);
        PSL_DeInitialize();
    }

    // A session in `state` whose route goes from a library socket to a plain UDP socket of the test.
    int connected(int routeType, uint8_t state = PSL_STATE_CONNECTED) {
        if (rx < 0) openReceiver();
        const int sid = _PSL_AllocSession();
        EXPECT_GE(sid, 0);
        psl_session_lock();
        PSLSessionRecord *r = _PSL_Session(sid);
        r->state = state;
        r->routeConn = conn;
        r->routeType = routeType;
        r->routeAddr.family = 0;
        r->routeAddr.port = rxPort;
        memcpy(r->routeAddr.address, "\x7f\x00\x00\x01", 4);
        r->randomID = 0xABCD1234;
        r->mac = 0x55667788;
        r->relaySessionId = 77;
        strcpy(r->remoteUID, "QVTEST0000000000001A");
        psl_session_unlock();
        return sid;
    }
    void openReceiver() {
        rx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
        socklen_t sl = sizeof sa;
        getsockname(rx, reinterpret_cast<sockaddr *>(&sa), &sl);
        rxPort = sa.sin_port;
        ASSERT_EQ(LinuxConnMgr_createConnection(_PSL_ConnMgr(), LINUXCONN_UDP, LINUXCONN_CLIENT, 0, &conn),
                  0);
        uint16_t port = rxPort;
        ASSERT_EQ(LinuxConn_open(conn, "127.0.0.1", &port, 0, nullptr, nullptr, nullptr, nullptr), 0);
    }
    // Packets that reach the receiver within `ms`.
    std::vector<PSLPacketHeader> received(int ms = 300,
                                          std::vector<std::vector<uint8_t>> *payloads = nullptr) {
        std::vector<PSLPacketHeader> out;
        pollfd p{rx, POLLIN, 0};
        while (poll(&p, 1, ms) == 1) {
            uint8_t buf[2048], plain[PSL_UDP_RECV_MAX];
            ssize_t n = recv(rx, buf, sizeof buf, 0);
            PSLPacketHeader h{};
            if (n > 0 && psl_ReadDatagram(buf, (size_t)n, plain, &h) > 0) {
                out.push_back(h);
                if (payloads)
                    payloads->emplace_back(plain + PSL_HEADER_SIZE, plain + PSL_HEADER_SIZE + h.length);
            }
        }
        return out;
    }

    LinuxConn *conn = nullptr;
    int rx = -1;
    uint16_t rxPort = 0;
};

// Data for one channel wakes only the readers of that channel; a general change wakes every waiter. Each
// waiter reports which signal it saw first; none may end on another channel's data.
TEST(ReaderWakeUps, DataWakesItsOwnChannelsReadersAndGeneralChangesWakeAll) {
    std::atomic<int> phase{0};  // 0 nothing, 1 other channel's data sent, 2 own data sent, 3 general change
    struct Seen {
        int sid, channel, wokeIn = -1;
        std::atomic<bool> started{false};
    } waiters[3] = {{0, 1}, {0, 2}, {-1, -1}};
    std::vector<std::thread> threads;
    for (Seen &w : waiters) {
        threads.emplace_back([&w, &phase] {
            const uint64_t seen = _PSL_ReaderGeneration();
            w.started = true;
            const auto t0 = std::chrono::steady_clock::now();
            _PSL_WaitForData(w.sid, w.channel, seen, 20000);
            w.wokeIn = std::chrono::steady_clock::now() - t0 < std::chrono::seconds(19) ? phase.load() : -2;
        });
    }
    for (Seen &w : waiters)
        while (!w.started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // into their waits
    phase = 1;
    _PSL_NotifyChannel(1, 1);  // another session's channel 1
    _PSL_NotifyChannel(0, 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    phase = 2;
    _PSL_NotifyChannel(0, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    phase = 3;
    _PSL_NotifyReaders();
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(waiters[0].wokeIn, 2) << "channel 1's reader ends on its own data";
    EXPECT_EQ(waiters[1].wokeIn, 3) << "channel 2's reader sleeps through others' data";
    EXPECT_EQ(waiters[2].wokeIn, 3) << "a general waiter hears only general changes";
}

TEST(SessionLibrary, StartsOnceStopsOnceAndStartsAgain) {
    PSLSessionInfo info{};
    info.size = 156;
    EXPECT_EQ(PSL_Session_Check_Ex(0, &info), PSL_ERR_NOT_INIT);
    EXPECT_EQ(PSL_Session_Set_Status_Callback(0, nullptr), PSL_ERR_NOT_INIT);
    EXPECT_EQ(_PSL_CheckSession(0), PSL_ERR_NOT_INIT);
    EXPECT_EQ(PSL_DeInitialize(), PSL_ERR_NOT_INIT);
    PSL_Session_Close(0);  // ignored

    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(PSL_Initialize(0), 0);
        EXPECT_EQ(PSL_Initialize(0), PSL_ERR_ALREADY_INIT);
        EXPECT_EQ(_PSL_MaxSessions(), PSL_DEFAULT_MAX_SESSIONS);
        EXPECT_EQ(PSL_DeInitialize(), 0);
        EXPECT_EQ(PSL_DeInitialize(), PSL_ERR_NOT_INIT);
    }
    // Given master hosts are the master table, ready at once; without hosts the start is the plain one.
    ASSERT_EQ(PSL_Initialize_WithServers(0, "10.0.0.1", nullptr, "10.0.0.2", nullptr), 0);
    PSLMasterEntry masters[PSL_MASTERS];
    ASSERT_EQ(_PSL_MasterTable(masters), 2);
    EXPECT_STREQ(masters[0].host, "10.0.0.1");
    EXPECT_STREQ(masters[1].host, "10.0.0.2");
    EXPECT_EQ(ntohs(masters[1].port), PSL_MASTER_PORT);
    EXPECT_EQ(_PSL_MasterState(), PSL_MASTERS_READY);
    EXPECT_EQ(PSL_DeInitialize(), 0);
    EXPECT_EQ(_PSL_MasterTable(masters), 0);
    ASSERT_EQ(PSL_Initialize_WithServers(0, nullptr, "", nullptr, nullptr), 0);
    EXPECT_EQ(PSL_DeInitialize(), 0);

    uint32_t v = 0;
    EXPECT_EQ(PSL_Get_Library_Version(&v), 0);
    EXPECT_EQ(v, 0x03010523u);
    EXPECT_EQ(PSL_Set_Session_Timeout(0), 1);
    EXPECT_EQ(PSL_Set_Session_Timeout(60), 60);
}

TEST_F(SessionTable, SessionIdsOutsideTheTableAndUnconnectedSessionsAreInvalid) {
    const int max = _PSL_MaxSessions();
    for (int sid : {-1, -100, max, max + 1}) {
        SCOPED_TRACE(sid);
        EXPECT_EQ(_PSL_CheckSession(sid), PSL_ERR_SESSION);
        PSLSessionInfo info;
        memset(&info, 0xEE, sizeof info);
        info.size = 156;
        EXPECT_EQ(PSL_Session_Check_Ex(sid, &info), PSL_ERR_SESSION);
        PSLSessionInfo want{};
        want.size = 156;
        want.mode = PSL_MODE_UNKNOWN;
        EXPECT_EQ(memcmp(&info, &want, sizeof info), 0) << "zeroed but for size and mode";
        PSL_Session_Close(sid);  // ignored
    }
    PSLSessionInfo info;
    memset(&info, 0xEE, sizeof info);
    info.size = 100;
    EXPECT_EQ(PSL_Session_Check_Ex(0, &info), PSL_ERR_INVALID);
    EXPECT_EQ(info.mode, 0xEE) << "untouched";
    EXPECT_EQ(PSL_Session_Check_Ex(0, nullptr), PSL_ERR_INVALID);

    const int sid = _PSL_AllocSession();
    EXPECT_EQ(sid, 0);
    EXPECT_EQ(_PSL_CheckSession(sid), PSL_ERR_SESSION) << "allocated is not connected";
    EXPECT_EQ(PSL_Session_Set_Status_Callback(sid, nullptr), PSL_ERR_SESSION);
}

TEST_F(SessionTable, AllocationTakesTheLowestFreeRecordUntilTheTableIsFull) {
    const int max = _PSL_MaxSessions();
    for (int i = 0; i < max; ++i) ASSERT_EQ(_PSL_AllocSession(), i);
    EXPECT_EQ(_PSL_AllocSession(), -1);
    PSL_Session_Close(5);
    EXPECT_EQ(_PSL_AllocSession(), 5);
    psl_session_lock();
    EXPECT_EQ(_PSL_Session(5)->channelOn[0], 1);
    EXPECT_EQ(_PSL_Session(5)->channelOn[1], 0);
    EXPECT_EQ(_PSL_Session(5)->routeType.load(), PSL_ROUTE_NONE);
    psl_session_unlock();
}

TEST_F(SessionTable, InformationReportsModeRelayKindAndCountersOfChannelsThatAreOn) {
    struct Case {
        int routeType;
        uint8_t mode;
        uint8_t relayKind;
    } cases[] = {{PSL_ROUTE_LAN, PSL_MODE_LAN, 0},
                 {PSL_ROUTE_P2P, PSL_MODE_P2P, 0},
                 {PSL_ROUTE_RELAY_UDP, PSL_MODE_RELAY, 1},
                 {PSL_ROUTE_RELAY_TCP, PSL_MODE_RELAY, 2}};
    for (const Case &k : cases) {
        SCOPED_TRACE(k.routeType);
        const int sid = connected(k.routeType);
        psl_session_lock();
        PSLSessionRecord *r = _PSL_Session(sid);
        r->txCount[0] = 10;
        r->txCount[3] = 7;  // channel 3 is off: not counted
        r->rxCount[0] = 4;
        r->channelOn[5] = 1;
        r->rxCount[5] = 1;
        r->peerVersion = 0x03010523;
        psl_session_unlock();
        PSLSessionInfo info{};
        info.size = 156;
        ASSERT_EQ(PSL_Session_Check_Ex(sid, &info), 0);
        EXPECT_EQ(info.mode, k.mode);
        EXPECT_EQ(info.relayKind, k.relayKind);
        EXPECT_STREQ(info.remoteUID, "QVTEST0000000000001A");
        EXPECT_STREQ(info.remoteIP, "127.0.0.1");
        EXPECT_EQ(info.remotePort, ntohs(rxPort));
        EXPECT_EQ(info.txPackets, 10u);
        EXPECT_EQ(info.rxPackets, 5u);
        EXPECT_EQ(info.remoteVersion, 0x03010523u);

        PSLSessionInfoShort s;
        memset(&s, 0xEE, sizeof s);
        ASSERT_EQ(PSL_Session_Check(sid, &s), 0);
        EXPECT_EQ(s.mode, k.mode);
        EXPECT_STREQ(s.remoteIP, "127.0.0.1");
        EXPECT_EQ(s.txPackets, 10u);
        EXPECT_EQ(s.reserved, 0);
        psl_session_lock();
        r->routeConn = nullptr;  // the close below must not send
        psl_session_unlock();
        PSL_Session_Close(sid);
        EXPECT_EQ(_PSL_CheckSession(sid), PSL_ERR_SESSION) << "a freed id reads as invalid";
    }
}

// Three closes on a direct or LAN route, five on a relay, none before the session connected; the session
// words travel with the close until the peer addresses the session by its tag.
TEST_F(SessionTable, CloseSendsItsMessagesPerRoute) {
    struct Case {
        int routeType;
        uint8_t state;
        int incoming;
        int ver;
        size_t count;
        uint16_t type;
        uint16_t tag;
    } cases[] = {
        {PSL_ROUTE_P2P, PSL_STATE_CONNECTED, 0, 0, 3, 0x0417, 0x1234},
        {PSL_ROUTE_LAN, PSL_STATE_CONNECTED, 1, 1, 3, 0x0418, 0x1234},
        {PSL_ROUTE_RELAY_UDP, PSL_STATE_CONNECTED, 0, 1, 5, 0x0514, 77},
        {PSL_ROUTE_RELAY_UDP, PSL_STATE_CONNECTED, 1, 0, 5, 0x0512, 77},
        {PSL_ROUTE_P2P, PSL_STATE_ALLOCATED, 0, 0, 0, 0, 0},
        {PSL_ROUTE_P2P, PSL_STATE_PEER_CLOSED, 0, 0, 0, 0, 0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(::testing::Message()
                     << k.routeType << " state " << int(k.state) << " in " << k.incoming);
        const int sid = connected(k.routeType, k.state);
        psl_session_lock();
        _PSL_Session(sid)->incoming = k.incoming;
        _PSL_Session(sid)->ver = k.ver;
        psl_session_unlock();
        PSL_Session_Close(sid);
        std::vector<std::vector<uint8_t>> payloads;
        auto got = received(k.count ? 300 : 100, &payloads);
        ASSERT_EQ(got.size(), k.count);
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].type, k.type);
            EXPECT_EQ(got[i].sessionTag, k.tag);
            EXPECT_EQ((got[i].flags & PSL_FLAG_SESSION_EXT) != 0, k.ver == 0);
            EXPECT_EQ(payloads[i].size(), k.ver ? 0u : 8u);
            if (!k.ver) {
                EXPECT_EQ(psl_GetU32(payloads[i].data()), 0xABCD1234u);
                EXPECT_EQ(psl_GetU32(payloads[i].data() + 4), 0x55667788u);
            }
        }
        EXPECT_EQ(_PSL_CheckSession(sid), PSL_ERR_SESSION);
    }
}

std::vector<int> g_status;
void onStatus(int sid, int error) {
    g_status.push_back(sid * 1000 + error);
}

TEST_F(SessionTable, SilenceBeyondTheLimitTimesTheSessionOutOnce) {
    PSL_Set_Session_Timeout(3);
    const int sid = connected(PSL_ROUTE_P2P);
    psl_session_lock();
    _PSL_Session(sid)->routeConn = nullptr;
    psl_session_unlock();
    g_status.clear();
    ASSERT_EQ(PSL_Session_Set_Status_Callback(sid, onStatus), 0);
    psl_session_lock();  // keeps the library's own keep-alive task out meanwhile
    for (int i = 0; i < 3; ++i) _PSL_KeepAliveTick();
    EXPECT_EQ(_PSL_CheckSession(sid), 0);
    EXPECT_EQ(PSL_Private_Get_Silence(sid, PSL_PRIVATE_MAGIC, 0), 3);
    EXPECT_EQ(PSL_Private_Get_Silence(sid, 1, 0), 255);
    _PSL_KeepAliveTick();
    EXPECT_EQ(_PSL_CheckSession(sid), 0) << "4 ticks of silence: not yet above the limit of 3";
    _PSL_KeepAliveTick();
    psl_session_unlock();
    EXPECT_EQ(_PSL_CheckSession(sid), PSL_ERR_TIMED_OUT);
    psl_session_lock();
    EXPECT_EQ(g_status, (std::vector<int>{sid * 1000 + PSL_ERR_TIMED_OUT}));
    psl_session_unlock();
    PSL_Set_Session_Timeout(60);
}

// Keep-alives every second tick while the peer was heard lately, every tick after five silent ones.
TEST_F(SessionTable, KeepAliveSpacingFollowsTheSilence) {
    psl_session_lock();  // the library's own tick stays out: these are the only ticks
    const int sid = connected(PSL_ROUTE_P2P);
    for (int i = 0; i < 8; ++i) _PSL_KeepAliveTick();
    _PSL_Session(sid)->routeConn = nullptr;  // what was sent is in the socket; nothing more after this
    psl_session_unlock();
    std::vector<std::vector<uint8_t>> payloads;
    auto got = received(300, &payloads);
    ASSERT_EQ(got.size(), 2u + 4u);
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].type, 0x0427);
        EXPECT_EQ(got[i].sessionTag, 0x1234);
        ASSERT_EQ(payloads[i].size(), 8u) << "the session words while the tag is not in use";
        EXPECT_EQ(psl_GetU32(payloads[i].data()), 0xABCD1234u);
    }
}

TEST_F(SessionTable, RetryDelayFollowsTheRoundTrip) {
    const int sid = _PSL_AllocSession();
    struct Case {
        uint8_t valid;
        int32_t rtt;
        int want;
    } cases[] = {{0, 50, 0}, {1, 2, 10}, {1, 3, 13}, {1, 1000, 1010}, {1, 1001, 500}};
    for (const Case &k : cases) {
        psl_session_lock();
        _PSL_Session(sid)->rttValid = k.valid;
        _PSL_Session(sid)->rttMs = k.rtt;
        psl_session_unlock();
        EXPECT_EQ(PSL_Private_Get_RetryDelay(sid, PSL_PRIVATE_MAGIC, 0), k.want) << k.rtt;
    }
    EXPECT_EQ(PSL_Private_Get_RetryDelay(sid, 0, 0), PSL_WRONG_MAGIC);
}

}  // namespace

namespace {

int count_fds() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

int count_psl_threads() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
            std::string name;
            std::getline(comm, name);
            if (name.rfind("psl_", 0) == 0) ++n;
        }
        closedir(d);
    }
    return n;
}

// Start, a session with a queue and a route, close, stop: twenty times, each bounded, nothing left behind.
TEST(SessionLibrary, RepeatedCyclesLeaveNoThreadOrDescriptorBehind) {
    const int fds = count_fds();
    for (int i = 0; i < 20; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(PSL_Initialize(0), 0);
        LinuxConn *c = nullptr;
        ASSERT_EQ(LinuxConnMgr_createConnection(_PSL_ConnMgr(), LINUXCONN_UDP, LINUXCONN_CLIENT, 0, &c), 0);
        const int sid = _PSL_AllocSession();
        psl_session_lock();
        _PSL_Session(sid)->routeConn = c;
        _PSL_Session(sid)->ownsRoute = true;  // freed with the session
        _PSL_Session(sid)->state = PSL_STATE_CONNECTED;
        psl_session_unlock();
        ASSERT_EQ(PSL_Session_Channel_Send(sid, "x", 1, 0), PSL_ERR_NO_ACK);  // protocol unknown
        _PSL_AllocSession();  // left allocated: freed by the stop
        PSL_Session_Close(sid);
        ASSERT_EQ(PSL_DeInitialize(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    }
    for (int i = 0; i < 300 && count_psl_threads() > 0; ++i) usleep(10000);
    EXPECT_EQ(count_psl_threads(), 0);
    EXPECT_EQ(count_fds(), fds);
}

}  // namespace
