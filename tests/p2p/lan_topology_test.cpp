// Connect by UID on the LAN against the device daemon in the LAN topology (see lan_topology.h).
#include "lan_topology.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "p2p/psl_byuid.h"
#include "p2p/psl_channels.h"
#include "p2p/psl_connect.h"
#include "p2p/psl_device.h"
#include "p2p/psl_lan.h"

namespace {

using namespace qvtest;
using Clock = std::chrono::steady_clock;

constexpr const char *kUid = "QVTESTLAN00000000001";

int64_t ms_since(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

class LanRoad : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string why = net.up();
        if (!why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(servers.start(net.ns_argv({QV_P2P_SERVERS}), 10000)) << "p2p-servers did not start";
        start_daemon(0);
        ASSERT_EQ(PSL_Initialize(0), 0);
    }
    void TearDown() override {
        PSL_DeInitialize();
        daemon.reap();
        servers.reap();
    }
    void start_daemon(int timeout) {
        daemon.reap();
        std::vector<std::string> argv = {QV_P2P_DAEMON, "--uid", kUid};
        if (timeout) argv.insert(argv.end(), {"--timeout", std::to_string(timeout)});
        ASSERT_TRUE(daemon.start(net.ns_argv(argv), 10000)) << "daemon did not start";
        ASSERT_EQ(sscanf(daemon.line.c_str(), "ready %hu", &daemonPort), 1) << daemon.line;
    }
    // Writes and reads back one echo on a channel.
    bool echo(int sid, int channel, const std::string &text) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (PSL_Session_Write(sid, text.data(), (uint32_t)text.size(), channel) != (int)text.size())
                return false;
            std::vector<char> buf(PSL_DATA_MAX);
            const int n = PSL_Session_Read(sid, buf.data(), (int)buf.size(), 1000, channel);
            if (n == (int)text.size()) return memcmp(buf.data(), text.data(), text.size()) == 0;
        }
        return false;
    }

    LanTopology net;
    Child servers;
    Child daemon;
    uint16_t daemonPort = 0;
};

TEST_F(LanRoad, ConnectByUidFindsTheDeviceOnTheLanWithinASecond) {
    const auto t0 = Clock::now();
    const int sid = PSL_Connect_ByUID("qvtestlan00000000001");  // lower case is taken as upper
    const int64_t took = ms_since(t0);
    ASSERT_GE(sid, 0) << sid;
    EXPECT_LT(took, 1000);
    printf("LAN connect took %lld ms\n", (long long)took);
    PSLSessionInfo info{};
    info.size = sizeof info;
    ASSERT_EQ(PSL_Session_Check_Ex(sid, &info), 0);
    EXPECT_EQ(info.mode, PSL_MODE_LAN);
    EXPECT_EQ(info.isIncoming, 0);
    EXPECT_STREQ(info.remoteUID, kUid);
    EXPECT_STREQ(info.remoteIP, "192.168.30.3");
    EXPECT_EQ(info.remotePort, daemonPort);

    EXPECT_TRUE(echo(sid, 0, "ping"));
    EXPECT_TRUE(echo(sid, 0, std::string(PSL_DATA_MAX, 'z')));
    ASSERT_EQ(PSL_Session_Channel_ON(sid, 31), 0);
    EXPECT_TRUE(echo(sid, 31, "on the last channel"));
    EXPECT_EQ(PSL_Session_Write(sid, "x", 1, 32), PSL_ERR_CHANNEL);
    PSL_Session_Close(sid);
}

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

// Twenty rounds of start, connect, echo, close and stop, each bounded; then no thread or descriptor left.
TEST_F(LanRoad, TwentyConnectCyclesLeaveNothingBehind) {
    PSL_DeInitialize();
    for (int i = 0; i < 300 && count_psl_threads() > 0; ++i) usleep(10000);
    const int fds = count_fds();
    for (int i = 0; i < 20; ++i) {
        const auto t0 = Clock::now();
        ASSERT_EQ(PSL_Initialize(0), 0);
        const int sid = PSL_Connect_ByUID(kUid);
        ASSERT_GE(sid, 0) << "cycle " << i;
        EXPECT_TRUE(echo(sid, 0, "cycle"));
        PSL_Session_Close(sid);
        ASSERT_EQ(PSL_DeInitialize(), 0);
        EXPECT_LT(ms_since(t0), 5000);
    }
    for (int i = 0; i < 300 && count_psl_threads() > 0; ++i) usleep(10000);
    EXPECT_EQ(count_psl_threads(), 0);
    EXPECT_EQ(count_fds(), fds);
    ASSERT_EQ(PSL_Initialize(0), 0);  // for the fixture's stop
}

TEST_F(LanRoad, ConnectErrorsComeBeforeAnySearch) {
    EXPECT_EQ(PSL_Connect_ByUID("QVTESTLAN0000000000"), PSL_ERR_UID);  // 19 characters
    EXPECT_EQ(PSL_Connect_ByUID("QVTESTLAN000000000-1"), PSL_ERR_UID);
    EXPECT_EQ(PSL_Connect_ByUID(nullptr), PSL_ERR_UID);
    EXPECT_EQ(PSL_Connect_ByUID_ToSession(kUid, 3), PSL_ERR_SESSION);  // a free record is not reserved
    // An unknown device: the LAN lookup runs out and the servers' road (unreachable from this side) goes
    // on until the connect is aborted.
    PSL_Set_LanLookup_Time(300);
    std::atomic<int> rc{1};
    std::thread t([&] { rc = PSL_Connect_ByUID("QVTESTNOBODY00000001"); });
    usleep(1000000);
    EXPECT_EQ(rc.load(), 1);
    const auto t0 = Clock::now();
    PSL_Connect_Abort_All();
    t.join();
    EXPECT_EQ(rc.load(), PSL_ERR_ABORTED);
    EXPECT_LT(ms_since(t0), 3000);
    PSL_Set_LanLookup_Time(-1);
}

TEST_F(LanRoad, AbortAllEndsAConnectAtItsNextRound) {
    std::atomic<int> rc{1};
    std::atomic<int64_t> ended{0};
    Clock::time_point aborted;
    std::thread t([&] {
        rc = PSL_Connect_ByUID("QVTESTNOBODY00000001");
        ended = ms_since(aborted);
    });
    usleep(300000);
    aborted = Clock::now();
    PSL_Connect_Abort_All();
    t.join();
    EXPECT_EQ(rc.load(), PSL_ERR_ABORTED);
    EXPECT_LT(ended.load(), 500);  // one 10 ms round; the bound absorbs load
}

std::mutex g_cbMu;
std::vector<std::pair<int, int>> g_cb;
void on_connect(int state, int error, void *) {
    std::lock_guard<std::mutex> lk(g_cbMu);
    g_cb.push_back({state, error});
}

TEST_F(LanRoad, CallbackConnectReportsPreparedStartedConnected) {
    {
        std::lock_guard<std::mutex> lk(g_cbMu);
        g_cb.clear();
    }
    const int sid = PSL_Connect_ByUID_Start(kUid, on_connect, nullptr);
    ASSERT_GE(sid, 0);
    {
        std::lock_guard<std::mutex> lk(g_cbMu);
        ASSERT_EQ(g_cb.size(), 2u);  // 0 and 1 before the call returns
    }
    for (int i = 0; i < 300; ++i) {
        {
            std::lock_guard<std::mutex> lk(g_cbMu);
            if (g_cb.size() >= 3) break;
        }
        usleep(10000);
    }
    std::vector<std::pair<int, int>> seen;
    {
        std::lock_guard<std::mutex> lk(g_cbMu);
        seen = g_cb;
    }
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], std::make_pair(0, 0));
    EXPECT_EQ(seen[1], std::make_pair(1, 0));
    EXPECT_EQ(seen[2], std::make_pair(2, 0));
    EXPECT_TRUE(echo(sid, 0, "async"));
}

TEST_F(LanRoad, SearchesListTheDeviceOnce) {
    PSLLanSearchInfo found[4] = {};
    EXPECT_EQ(PSL_Search_LAN(found, 4, 500), 1);
    EXPECT_STREQ(found[0].uid, kUid);
    EXPECT_STREQ(found[0].ip, "192.168.30.3");
    EXPECT_EQ(found[0].port, daemonPort);
    PSLLanSearchAddr addrs[4] = {};
    EXPECT_EQ(PSL_Search_LAN_Addr(addrs, 4, 300), 1);
    EXPECT_STREQ(addrs[0].uid, kUid);
    EXPECT_EQ(PSL_Search_LAN(nullptr, 4, 100), PSL_ERR_INVALID);
    EXPECT_EQ(PSL_Search_LAN(found, 0, 100), PSL_ERR_INVALID);

    ASSERT_EQ(PSL_LanFind_Begin(3000, 50), 0);
    EXPECT_EQ(PSL_LanFind_Begin(3000, 50), PSL_ERR_SEARCH_RUNNING);
    PSLLanFindInfo recs[8] = {};
    int n = 0;
    for (int i = 0; i < 100 && n == 0; ++i) {
        usleep(20000);
        n = PSL_LanFind_Fetch(recs, 8, 0);
    }
    ASSERT_EQ(n, 1);
    EXPECT_STREQ(recs[0].uid, kUid);
    EXPECT_STREQ(recs[0].ip, "192.168.30.3");
    usleep(300000);  // the device answers again and again: still one record, no longer new
    EXPECT_EQ(PSL_LanFind_Fetch(recs, 8, 0), 0);
    EXPECT_EQ(PSL_LanFind_Fetch(recs, 8, 1), 1);
    EXPECT_EQ(PSL_LanFind_Fetch(recs, 8, 2), PSL_ERR_INVALID);
    EXPECT_EQ(PSL_LanFind_End(), 0);
    EXPECT_EQ(PSL_LanFind_End(), PSL_ERR_SEARCH_NONE);
}

std::atomic<int> g_status{0};
std::atomic<int> g_statusCalls{0};
void on_status(int, int error) {
    g_status = error;
    ++g_statusCalls;
}

TEST_F(LanRoad, DeviceClosingIsHeardOnceAndWakesAWaitingRead) {
    const int sid = PSL_Connect_ByUID(kUid);
    ASSERT_GE(sid, 0);
    g_statusCalls = 0;
    ASSERT_EQ(PSL_Session_Set_Status_Callback(sid, on_status), 0);
    ASSERT_EQ(PSL_Session_Write(sid, "CLOSE", 5, 0), 5);
    char buf[64];
    const auto t0 = Clock::now();
    EXPECT_EQ(PSL_Session_Read(sid, buf, sizeof buf, 5000, 0), PSL_ERR_CLOSED_BY_PEER);
    EXPECT_LT(ms_since(t0), 3000);
    usleep(300000);  // the device sends its close three times: heard once
    EXPECT_EQ(g_statusCalls.load(), 1);
    EXPECT_EQ(g_status.load(), PSL_ERR_CLOSED_BY_PEER);
    EXPECT_EQ(PSL_Session_Write(sid, "x", 1, 0), PSL_ERR_CLOSED_BY_PEER);
}

TEST_F(LanRoad, KilledDeviceTimesTheSessionOut) {
    PSL_Set_Session_Timeout(3);
    const int sid = PSL_Connect_ByUID(kUid);
    ASSERT_GE(sid, 0);
    g_statusCalls = 0;
    ASSERT_EQ(PSL_Session_Set_Status_Callback(sid, on_status), 0);
    ASSERT_TRUE(echo(sid, 0, "alive"));
    daemon.kill_now(SIGKILL);
    const auto t0 = Clock::now();
    char buf[64];
    EXPECT_EQ(PSL_Session_Read(sid, buf, sizeof buf, 15000, 0), PSL_ERR_TIMED_OUT);
    EXPECT_LT(ms_since(t0), 7000);
    EXPECT_EQ(g_statusCalls.load(), 1);
    EXPECT_EQ(g_status.load(), PSL_ERR_TIMED_OUT);
    PSL_Set_Session_Timeout(60);
}

}  // namespace
