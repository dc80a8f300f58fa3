#include "p2p/psl_private.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "p2p/psl_device.h"

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
            std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/comm");
            std::string name;
            std::getline(f, name);
            if (name.rfind("psl_", 0) == 0) ++n;
        }
        closedir(d);
    }
    return n;
}

// 1 when a UDP socket can bind the port on every address right now.
bool udp_port_free(uint16_t port) {
    int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int off = 0;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(port);
    const bool ok = bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    close(fd);
    return ok;
}

uint16_t some_free_port() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    socklen_t sl = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &sl);
    close(fd);
    return ntohs(sa.sin_port);
}

TEST(MainSocket, InitOpensItOnTheGivenPortAndStopClosesIt) {
    const uint16_t port = some_free_port();
    ASSERT_EQ(PSL_Initialize(port), 0);
    ASSERT_NE(_PSL_MainConn(), nullptr);
    EXPECT_EQ(ntohs(_PSL_MainPort()), port);
    EXPECT_FALSE(udp_port_free(port));
    EXPECT_EQ(_PSL_OpenMainSocket(), 0);  // already there
    ASSERT_EQ(PSL_DeInitialize(), 0);
    EXPECT_EQ(_PSL_MainConn(), nullptr);
    EXPECT_TRUE(udp_port_free(port));

    // Port 0: any port, a different one each start is fine.
    ASSERT_EQ(PSL_Initialize(0), 0);
    EXPECT_NE(_PSL_MainPort(), 0);
    ASSERT_EQ(PSL_DeInitialize(), 0);
}

TEST(MainSocket, TakenPortFailsTheStartCleanly) {
    const int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int off = 0;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    socklen_t sl = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &sl);
    EXPECT_EQ(PSL_Initialize(ntohs(sa.sin6_port)), PSL_ERR_SOCKET);
    close(fd);
    EXPECT_EQ(PSL_DeInitialize(), PSL_ERR_NOT_INIT);  // nothing half-started
    ASSERT_EQ(PSL_Initialize(0), 0);
    EXPECT_EQ(PSL_DeInitialize(), 0);
}

// Twenty starts and stops on one fixed port, with the device's LAN socket too: each stop gives the ports,
// the descriptors and the threads back.
TEST(MainSocket, TwentyCyclesLeaveNoThreadDescriptorOrPortBehind) {
    const int fds = count_fds();
    const uint16_t port = some_free_port();
    const uint16_t lan = some_free_port();
    PSL_Set_LanSearch_Port(lan);
    for (int i = 0; i < 20; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(PSL_Initialize(port), 0) << "cycle " << i;
        ASSERT_EQ(PSL_Device_Listen("QVTEST0000000000001A"), 0);
        ASSERT_EQ(PSL_DeInitialize(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
        EXPECT_TRUE(udp_port_free(port));
        EXPECT_TRUE(udp_port_free(lan));
    }
    PSL_Set_LanSearch_Port(PSL_DEFAULT_LAN_PORT);
    for (int i = 0; i < 300 && count_psl_threads() > 0; ++i) usleep(10000);
    EXPECT_EQ(count_psl_threads(), 0);
    EXPECT_EQ(count_fds(), fds);
}

// ---- guarded entry points

std::atomic<int> g_hookCalls{0};
void hook_a(const uint8_t *, int, uint32_t, uint16_t, int) {
    ++g_hookCalls;
}
void hook_b(const uint8_t *, int, uint32_t, uint16_t, int) {}
void recv_cb(int, int, const uint8_t *, int, int) {}

TEST(PrivateEntry, WrongGuardDoesNothing) {
    ASSERT_EQ(PSL_Initialize(0), 0);
    const int sid = _PSL_AllocSession();
    struct Case {
        const char *what;
        int result;
    } cases[] = {
        {"recv", PSL_Private_Set_Channel_Recv_Callback(sid, 0, recv_cb, 1)},
        {"idle", PSL_Private_Set_Channel_Idle_Callback(sid, 0, recv_cb, 2)},
        {"close", PSL_Private_Set_Channel_Close_Callback(sid, 0, nullptr, 3)},
        {"login hook", PSL_Private_Set_LoginSentHook(hook_a, 0)},
        {"answer bit", PSL_Private_Set_AnswerBitCheck(7, 1)},
    };
    for (const Case &c : cases) EXPECT_EQ(c.result, -1) << c.what;
    psl_session_lock();
    EXPECT_EQ(_PSL_Session(sid)->channelRecvCallback[0], nullptr);
    psl_session_unlock();
    EXPECT_EQ(_PSL_LoginSentHook(), nullptr);
    EXPECT_EQ(_PSL_AnswerBitCheck(), 0);
    EXPECT_EQ(PSL_Private_Get_ServerPrefersTcp(0), 1);
    EXPECT_EQ(PSL_Private_Get_ServerPrefersTcp(PSL_PRIVATE_MAGIC), 0);

    EXPECT_EQ(PSL_Private_Set_Channel_Recv_Callback(sid, 3, recv_cb, PSL_PRIVATE_MAGIC), 0);
    EXPECT_EQ(PSL_Private_Set_Channel_Recv_Callback(-1, 3, recv_cb, PSL_PRIVATE_MAGIC), -1);
    EXPECT_EQ(PSL_Private_Set_Channel_Recv_Callback(sid, 32, recv_cb, PSL_PRIVATE_MAGIC), -1);
    psl_session_lock();
    EXPECT_EQ(_PSL_Session(sid)->channelRecvCallback[3], recv_cb);
    psl_session_unlock();
    ASSERT_EQ(PSL_DeInitialize(), 0);
    EXPECT_EQ(PSL_Private_Set_Channel_Recv_Callback(sid, 3, recv_cb, PSL_PRIVATE_MAGIC), PSL_ERR_NOT_INIT);
}

TEST(PrivateEntry, HooksAreFirstComeUntilCleared) {
    EXPECT_EQ(PSL_Private_Set_LoginSentHook(hook_a, PSL_PRIVATE_MAGIC), 0);
    EXPECT_EQ(PSL_Private_Set_LoginSentHook(hook_b, PSL_PRIVATE_MAGIC), 1);
    EXPECT_EQ(_PSL_LoginSentHook(), hook_a);
    EXPECT_EQ(PSL_Private_Clear_LoginSentHook(PSL_PRIVATE_MAGIC), 0);
    EXPECT_EQ(PSL_Private_Set_LoginSentHook(hook_b, PSL_PRIVATE_MAGIC), 0);
    EXPECT_EQ(_PSL_LoginSentHook(), hook_b);
    PSL_Private_Clear_LoginSentHook(PSL_PRIVATE_MAGIC);
}

TEST(PrivateEntry, MaxSessionsIgnoresCountsBelowOne) {
    const int before = PSL_Set_Max_Sessions(0);
    EXPECT_EQ(PSL_Set_Max_Sessions(-5), before);
    EXPECT_EQ(PSL_Set_Max_Sessions(4), 4);
    ASSERT_EQ(PSL_Initialize(0), 0);
    EXPECT_EQ(_PSL_MaxSessions(), 4);
    PSL_DeInitialize();
    PSL_Set_Max_Sessions(before);
}

TEST(SessionKeys, KindsCompareTheirOwnWords) {
    PslSessionKey a{}, b{};
    _PSL_SessionKey_Set(&a, 1, 0x12345678, 9);
    EXPECT_EQ(a.word0, 0x5678u);
    EXPECT_EQ(a.word1, 0u);
    _PSL_SessionKey_Set(&b, 1, 0xFFFF5678, 0);
    EXPECT_TRUE(_PSL_SessionKey_Equal(&a, &b));
    _PSL_SessionKey_Set(&b, 0, 0x5678, 0);
    EXPECT_FALSE(_PSL_SessionKey_Equal(&a, &b));  // kinds differ
    _PSL_SessionKey_Set(&a, 0, 1, 2);
    _PSL_SessionKey_Set(&b, 0, 1, 3);
    EXPECT_FALSE(_PSL_SessionKey_Equal(&a, &b));
}

TEST(BlobTable, OneEntryPerUidHoldingTheLastBlob) {
    const uint8_t one[3] = {1, 2, 3}, two[5] = {9, 8, 7, 6, 5};
    _PSL_BlobTable_Set("QVTEST0000000000001A", one, 3, PSL_PRIVATE_MAGIC);
    _PSL_BlobTable_Set("QVTEST0000000000001A", two, 5, PSL_PRIVATE_MAGIC);
    _PSL_BlobTable_Set("QVTEST0000000000002B", one, 3, PSL_PRIVATE_MAGIC);
    _PSL_BlobTable_Set("QVTEST0000000000003C", one, 3, 0x1234);  // wrong guard
    EXPECT_EQ(_PSL_BlobTable_Count(), 2);
    uint8_t out[8] = {};
    ASSERT_EQ(_PSL_BlobTable_Get("QVTEST0000000000001A", out, sizeof out), 5);
    EXPECT_EQ(memcmp(out, two, 5), 0);
    _PSL_BlobTable_Free();
    EXPECT_EQ(_PSL_BlobTable_Count(), 0);
}

// ---- wake-up records

std::vector<uint8_t> login_packet(uint8_t flags) {
    std::vector<uint8_t> p(PSL_HEADER_SIZE + 272, 0);
    PSLPacketHeader h{};
    h.magic = PSL_MAGIC;
    h.version = PSL_VERSION;
    h.flags = flags;
    h.length = 272;
    h.type = 0x0105;
    h.route = 0x14;
    psl_Header_Write(p.data(), &h);
    memcpy(p.data() + PSL_HEADER_SIZE, "QVTEST0000000000001A", 20);
    return p;
}

TEST(WakeList, RecordsOneScrambledLoginPerServerAddress) {
    PSLWakeRecord *recs = nullptr;
    int n = -1;
    EXPECT_EQ(PSL_Private_WakeList_Get(&recs, &n), PSL_ERR_WAKE_NOT_INIT);
    ASSERT_EQ(PSL_Private_WakeList_Init(), 0);
    PSL_LoginSentHook hook = _PSL_LoginSentHook();
    ASSERT_NE(hook, nullptr);
    const auto pkt = login_packet(0);
    hook(pkt.data(), (int)pkt.size(), 0x0200007f, htons(20001), 0);
    hook(pkt.data(), (int)pkt.size(), 0x0200007f, htons(20002), 0);  // same server address
    hook(pkt.data(), (int)pkt.size(), 0x0300007f, htons(20001), 0);
    ASSERT_EQ(PSL_Private_WakeList_Get(&recs, &n), 0);
    ASSERT_EQ(n, 2);
    EXPECT_EQ(recs[0].value25, 25u);
    EXPECT_EQ(recs[0].blockLength, 48u);
    ASSERT_EQ(recs[0].packetLength, pkt.size());
    // The record descrambles to the login with the scrambled flag and the redirect bit set.
    std::vector<uint8_t> plain(pkt.size());
    _PSL_Descramble(recs[0].packet, plain.data(), (uint16_t)pkt.size(), (uint16_t)pkt.size());
    EXPECT_EQ(plain[3] & PSL_FLAG_SCRAMBLED, PSL_FLAG_SCRAMBLED);
    EXPECT_EQ(plain[PSL_HEADER_SIZE + 204] & 1, 1);
    EXPECT_EQ(memcmp(plain.data() + PSL_HEADER_SIZE, pkt.data() + PSL_HEADER_SIZE, 204), 0);
    // The block: 32 zero bytes, then the tail of the scrambled {16 zero, UID, "WakeUpMsg!!!"}.
    uint8_t in[48] = {}, out[48] = {};
    memcpy(in + 16, "QVTEST0000000000001A", 20);
    memcpy(in + 36, "WakeUpMsg!!!", 12);
    _PSL_Scramble(in, out, 48, 48);
    const uint8_t zero[32] = {};
    EXPECT_EQ(memcmp(recs[0].block, zero, 32), 0);
    EXPECT_EQ(memcmp(recs[0].block + 32, out + 32, 16), 0);
    // A login sent busy makes the list unavailable.
    hook(pkt.data(), (int)pkt.size(), 0x0400007f, htons(20001), 1);
    EXPECT_EQ(PSL_Private_WakeList_Get(&recs, &n), PSL_ERR_WAKE_BUSY);
    PSL_Private_WakeList_Free(nullptr);
    EXPECT_EQ(_PSL_LoginSentHook(), nullptr);
}

std::atomic<int> g_wakeResult{1};
std::atomic<int> g_wakeCount{-1};
void wake_cb(PSLWakeRecord *recs, int n, int result) {
    g_wakeCount = n;
    g_wakeResult = result;
    if (recs) PSL_Private_WakeList_Free(recs);
}

TEST(WakeList, BuildWithNoServerAnsweringGivesMinus13) {
    EXPECT_EQ(PSL_Private_WakeList_Build(nullptr, 10), PSL_ERR_INVALID);
    EXPECT_EQ(PSL_Private_WakeList_Build(wake_cb, -1), PSL_ERR_INVALID);
    ASSERT_EQ(PSL_Initialize(0), 0);
    g_wakeResult = 1;
    ASSERT_EQ(PSL_Private_WakeList_Build(wake_cb, 100), 0);
    for (int i = 0; i < 500 && g_wakeResult.load() == 1; ++i) usleep(10000);
    EXPECT_EQ(g_wakeResult.load(), PSL_ERR_TIMEOUT);
    EXPECT_EQ(g_wakeCount.load(), 0);

    // Servers answering through the redirect hook give one record per server.
    g_wakeResult = 1;
    ASSERT_EQ(PSL_Private_WakeList_Build(wake_cb, 200), 0);
    PSL_RedirectHook redirect = _PSL_RedirectHook();
    ASSERT_NE(redirect, nullptr);
    EXPECT_EQ(redirect(0x0200007f, htons(20001)), 1);
    EXPECT_EQ(redirect(0x0200007f, htons(20001)), 1);
    EXPECT_EQ(redirect(0x0300007f, htons(20001)), 2);
    EXPECT_EQ(PSL_Private_WakeList_KeyCount(), 2);
    for (int i = 0; i < 500 && g_wakeResult.load() == 1; ++i) usleep(10000);
    EXPECT_EQ(g_wakeResult.load(), 0);
    EXPECT_EQ(g_wakeCount.load(), 2);
    PSL_DeInitialize();
}

}  // namespace
