#include "p2p/psl_dispatch.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "p2p/psl_channels.h"

namespace {

void onRecv(LinuxConn *c, const char *host, uint16_t portNet, uint8_t *buf, int64_t len, void *) {
    _PSL_OnUdpPacket(c, host, portNet, buf, (size_t)len);
}

int udp_on(const char *ip, uint16_t *portNet) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, ip, &sa.sin_addr);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    socklen_t sl = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &sl);
    *portNet = sa.sin_port;
    return fd;
}

// The device side of a connected direct session; the test's sockets play the client over real datagrams.
class Dispatch : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(PSL_Initialize(0), 0);
        ASSERT_EQ(LinuxConnMgr_createConnection(_PSL_ConnMgr(), LINUXCONN_UDP, LINUXCONN_SERVER, 0, &lib), 0);
        LinuxConn_setRecvCallback(lib, onRecv, nullptr);
        ASSERT_EQ(LinuxConn_open(lib, nullptr, &libPort, 0, nullptr, nullptr, nullptr, nullptr), 0);
        peer = udp_on("127.0.0.1", &peerPort);
        sid = _PSL_AllocSession();
        psl_session_lock();
        PSLSessionRecord *r = _PSL_Session(sid);
        r->state = PSL_STATE_CONNECTED;
        r->incoming = 1;
        r->routeConn = lib;
        r->routeType = PSL_ROUTE_P2P;
        r->routeAddr.port = peerPort;
        memcpy(r->routeAddr.address, "\x7f\x00\x00\x01", 4);
        r->randomID = 0x42;
        r->mac = 0;
        r->ver = 1;
        r->peerProtocol = 20;
        r->peerVersion = PSL_LIBRARY_VERSION;
        psl_session_unlock();
    }
    void TearDown() override {
        PSL_Session_Close(sid);
        psl_session_lock();  // no session may send on the socket once it is gone
        for (int i = 0; i < _PSL_MaxSessions(); ++i)
            if (_PSL_Session(i)->routeConn == lib) _PSL_Session(i)->routeConn = nullptr;
        psl_session_unlock();
        LinuxConnMgr_destroyConnection(_PSL_ConnMgr(), lib);
        close(peer);
        PSL_DeInitialize();
    }
    // A packet built by hand, scrambled, sent from `fd` to the library's socket.
    void send_from(int fd, PSLPacketHeader h, const std::vector<uint8_t> &payload) {
        uint8_t plain[PSL_SEND_MAX], wire[PSL_SEND_MAX];
        h.magic = PSL_MAGIC;
        h.version = PSL_VERSION;
        h.flags |= PSL_FLAG_SCRAMBLED;
        h.length = (uint16_t)payload.size();
        psl_Header_Write(plain, &h);
        if (!payload.empty()) memcpy(plain + PSL_HEADER_SIZE, payload.data(), payload.size());
        const uint16_t n = (uint16_t)(PSL_HEADER_SIZE + payload.size());
        _PSL_Scramble(plain, wire, n, n);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = libPort;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(sendto(fd, wire, n, 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa), n);
    }
    PSLPacketHeader hdr(uint16_t type, uint16_t tag, uint8_t channel = 0, uint16_t seq = 0,
                        uint8_t flags = 0) {
        PSLPacketHeader h{};
        h.type = type;
        h.sessionTag = tag;
        h.channel = channel;
        h.seq = seq;
        h.flags = flags;
        return h;
    }
    std::string read(int channel = 0, uint32_t ms = 2000) {
        char buf[PSL_DATA_MAX];
        int n = PSL_Session_Read(sid, buf, sizeof buf, ms, channel);
        return n > 0 ? std::string(buf, (size_t)n) : "rc " + std::to_string(n);
    }

    LinuxConn *lib = nullptr;
    uint16_t libPort = 0, peerPort = 0;
    int peer = -1;
    int sid = -1;
};

std::vector<uint8_t> bytes(const std::string &s) {
    return {s.begin(), s.end()};
}

TEST_F(Dispatch, DataFindsItsSessionByTagOrWordsAndReachesTheChannel) {
    send_from(peer, hdr(0x0407, 0x42), bytes("by tag"));
    EXPECT_EQ(read(), "by tag");
    std::vector<uint8_t> ext(12);
    psl_PutU32(ext.data(), 12);
    psl_PutU32(ext.data() + 4, 0x42);
    psl_PutU32(ext.data() + 8, 0);
    auto withWords = ext;
    for (char c : std::string("by words")) withWords.push_back((uint8_t)c);
    send_from(peer, hdr(0x0407, 0, 0, 1, PSL_FLAG_SESSION_EXT), withWords);
    EXPECT_EQ(read(), "by words");
    // Wrong words, an unknown tag, a block claiming more than the payload, a channel that is off: dropped.
    psl_PutU32(withWords.data() + 8, 7);
    send_from(peer, hdr(0x0407, 0, 0, 2, PSL_FLAG_SESSION_EXT), withWords);
    send_from(peer, hdr(0x0407, 0x43), bytes("x"));
    psl_PutU32(ext.data(), 200);
    psl_PutU32(ext.data() + 8, 0);
    send_from(peer, hdr(0x0407, 0, 0, 3, PSL_FLAG_SESSION_EXT), ext);
    send_from(peer, hdr(0x0407, 0x42, 9), bytes("off"));
    send_from(peer, hdr(0x0407, 0x42, 0, 4), bytes("last"));
    EXPECT_EQ(read(), "last");
}

TEST_F(Dispatch, AnotherSenderWithTheTagDoesNotRepointTheRoute) {
    uint16_t otherPort = 0;
    int other = udp_on("127.0.0.9", &otherPort);
    send_from(other, hdr(0x0407, 0x42), bytes("spoofed"));
    EXPECT_EQ(read(), "spoofed");
    psl_session_lock();
    EXPECT_EQ(_PSL_Session(sid)->routeAddr.port, peerPort);
    EXPECT_EQ(_PSL_Session(sid)->routeAddr.address[3], 1);
    psl_session_unlock();
    close(other);
}

std::vector<int> g_status;
void onStatus(int s, int e) {
    g_status.push_back(s * 1000 + e);
}

TEST_F(Dispatch, PeerCloseWakesAWaitingReadAndCallsBackOnce) {
    g_status.clear();
    ASSERT_EQ(PSL_Session_Set_Status_Callback(sid, onStatus), 0);
    psl_session_lock();
    _PSL_Session(sid)->idleTicks = 30;
    psl_session_unlock();
    send_from(peer, hdr(0x0427, 0x42), {});
    int silence = 30;
    for (int i = 0; i < 400 && (silence = PSL_Private_Get_Silence(sid, PSL_PRIVATE_MAGIC, 0)) >= 30; ++i)
        usleep(5000);
    EXPECT_LT(silence, 30) << "a keep-alive resets the silence";

    send_from(peer, hdr(0x0417, 0x42), {});
    send_from(peer, hdr(0x0417, 0x42), {});
    EXPECT_EQ(read(0, 5000), "rc -22");
    usleep(50000);
    psl_session_lock();
    EXPECT_EQ(g_status, std::vector<int>{sid * 1000 - 22});
    psl_session_unlock();
}

TEST_F(Dispatch, AcknowledgedMessagesTravelOverTheWireAndAreAcknowledged) {
    std::vector<uint8_t> block(16);
    psl_PutU32(block.data(), 0);
    psl_PutU32(block.data() + 4, 0x42);
    psl_PutU32(block.data() + 12, 0);
    for (char c : std::string("hello")) block.push_back((uint8_t)c);
    send_from(peer, hdr(0x0407, 0x42, 0, 0, PSL_FLAG_FORWARD | PSL_FLAG_SESSION_EXT), block);
    EXPECT_EQ(read(), "hello");
    pollfd p{peer, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    uint8_t buf[2048], plain[PSL_UDP_RECV_MAX];
    ssize_t n = recv(peer, buf, sizeof buf, 0);
    PSLPacketHeader h{};
    ASSERT_GT(psl_ReadDatagram(buf, (size_t)n, plain, &h), 0);
    EXPECT_EQ(h.type, 0x0408);
    EXPECT_TRUE(h.flags & PSL_FLAG_FORWARD);
    EXPECT_EQ(plain[PSL_HEADER_SIZE + 9], 1) << "an acknowledgement";
}

// Whatever arrives, the dispatcher stays within the bytes it got.
TEST_F(Dispatch, TruncatedAndHostilePacketsAreDropped) {
    for (int type : {0x0407, 0x0408, 0x0501, 0x0503, 0x0417, 0x0511, 0x0427, 0x0521, 0xFFFF}) {
        for (int flags : {0, 0x04, 0x08, 0x0C}) {  // none, forward, session words, both
            for (size_t len : {0u, 3u, 8u, 11u, 15u}) {
                uint8_t pkt[PSL_HEADER_SIZE + 16] = {};
                PSLPacketHeader h = hdr((uint16_t)type, 0x99, 0, 0, (uint8_t)flags);
                h.magic = PSL_MAGIC;
                h.length = (uint16_t)len;
                psl_Header_Write(pkt, &h);
                _PSL_DispatchMessage(pkt, PSL_HEADER_SIZE + len, "127.0.0.1", peerPort, lib, 0);
                h.length = 1000;  // claims more than given
                psl_Header_Write(pkt, &h);
                _PSL_DispatchMessage(pkt, sizeof pkt, "127.0.0.1", peerPort, lib, 0);
            }
        }
    }
    _PSL_DispatchMessage(nullptr, 0, nullptr, 0, nullptr, 0);
    _PSL_OnUdpPacket(lib, "not an address", 0, reinterpret_cast<const uint8_t *>("xx"), 2);
    EXPECT_EQ(_PSL_CheckSession(sid), 0);
}

}  // namespace
