// Topology A end to end: the test servers, the device daemon registered with them and this process as the
// client, all on the loopback of the test's own namespace, with the LAN lookup off so only the servers can
// lead to the device. The servers' phases find the registered daemon; phase B then reaches it (the remote
// routes themselves are tested in remote_routes_test.cpp).
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "lan_topology.h"
#include "p2p/psl_byuid.h"
#include "p2p/psl_connect.h"
#include "p2p/psl_lan.h"
#include "p2p/psl_session.h"

namespace {

using namespace qvtest;
using Clock = std::chrono::steady_clock;

constexpr const char *kUid = "QVTESTSRV00000000001";

// What the connect's remote-route rounds saw of the session, recorded around the servers' own step.
std::atomic<int> g_maxServerState{0}, g_connectMode{0}, g_rounds{0};

int recordingStep(int sid, int round) {
    const int rc = _PSL_ServerRemoteStep(sid, round);
    psl_session_lock();
    if (PSLSessionRecord *r = _PSL_Session(sid)) {
        if (r->serverState.load() > g_maxServerState.load()) g_maxServerState = r->serverState.load();
        if (r->connectMode.load() != 0) g_connectMode = r->connectMode.load();
    }
    psl_session_unlock();
    ++g_rounds;
    return rc;
}

struct LogLine {
    std::string ep, dir, msg, peer;
};

std::vector<LogLine> readLog(const std::string &path) {
    std::vector<LogLine> out;
    std::ifstream in(path);
    for (std::string l; std::getline(in, l);) {
        json_object *o = json_tokener_parse(l.c_str());
        if (!o) continue;
        auto str = [&](const char *k) {
            json_object *v = nullptr;
            return json_object_object_get_ex(o, k, &v) ? std::string(json_object_get_string(v))
                                                       : std::string();
        };
        out.push_back({str("ep"), str("dir"), str("msg"), str("peer")});
        json_object_put(o);
    }
    return out;
}

int portOf(const std::string &peer) {
    const size_t colon = peer.rfind(':');
    return colon == std::string::npos ? -1 : atoi(peer.c_str() + colon + 1);
}

class ServerRoad : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const char *why = getenv("QV_NETNS_SKIP")) GTEST_SKIP() << why;
        if (!getenv("QV_NETNS")) GTEST_SKIP() << "not in a namespace of the test's own (scripts/netns-run)";
        char tmpl[] = "/tmp/qv-p2proad-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        log_ = dir_ + "/packets.jsonl";
        ASSERT_TRUE(servers.start({QV_P2P_SERVERS, "--log", log_}, 10000)) << "p2p-servers did not start";
    }
    void TearDown() override {
        _PSL_SetRemoteRouteStep(nullptr);
        PSL_DeInitialize();
        daemon.reap();
        servers.reap();
        if (!dir_.empty()) {
            unlink(log_.c_str());
            rmdir(dir_.c_str());
        }
    }

    std::string dir_, log_;
    Child servers;
    Child daemon;
};

TEST_F(ServerRoad, ConnectByUidFindsTheRegisteredDaemonThroughTheServerPhases) {
    // The daemon's LAN port is not the one this client would search on, and the lookup is off anyway.
    ASSERT_TRUE(daemon.start({QV_P2P_DAEMON, "--uid", kUid, "--register", "1", "--lan-port", "32761"}, 30000))
        << "daemon did not register: " << daemon.line;
    unsigned daemonPort = 0;
    char word[16] = {};
    ASSERT_EQ(sscanf(daemon.line.c_str(), "ready %u %*d %15s", &daemonPort, word), 2) << daemon.line;
    EXPECT_STREQ(word, "registered");

    ASSERT_EQ(PSL_Initialize(0), 0);
    PSL_Set_LanLookup_Time(0);
    g_maxServerState = 0;
    g_connectMode = 0;
    g_rounds = 0;
    _PSL_SetRemoteRouteStep(recordingStep);
    const auto t0 = Clock::now();
    const int rc = PSL_Connect_ByUID(kUid);
    const long ms = (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    printf("connect ended with %d after %ld ms and %d rounds\n", rc, ms, g_rounds.load());
    // The device's addresses came from the servers in the parallel mode; phase B connected.
    EXPECT_EQ(g_maxServerState.load(), 6);
    EXPECT_EQ(g_connectMode.load(), 1);
    EXPECT_GE(rc, 0);
    EXPECT_LT(ms, 20000);
    PSL_Session_Close(rc);
    // Nothing but the closed session is left in the table.
    psl_session_lock();
    for (int i = 0; i < _PSL_MaxSessions(); ++i)
        if (i != rc) {
            EXPECT_EQ(_PSL_Session(i)->state.load(), PSL_STATE_FREE);
        }
    psl_session_unlock();

    // The servers know the device from the daemon's own logins (its main socket), and were asked for it
    // from another socket: this process's.
    int daemonLogins = 0, otherLogins = 0, queries = 0, queriesFromDaemon = 0;
    for (const LogLine &l : readLog(log_)) {
        if (l.dir != "in") continue;
        if (l.msg == "MSG_LOGIN") (portOf(l.peer) == (int)daemonPort ? daemonLogins : otherLogins)++;
        if (l.msg == "MSG_QUERY_DEVICE" || l.msg == "MSG_QUERY_DEVICE2") {
            ++queries;
            queriesFromDaemon += portOf(l.peer) == (int)daemonPort;
        }
    }
    EXPECT_GE(daemonLogins, 2);  // one per group server at least
    EXPECT_EQ(otherLogins, 0);
    EXPECT_GE(queries, 1);
    EXPECT_EQ(queriesFromDaemon, 0);
}

// An unregistered daemon (LAN only) is unknown to the servers: the connect keeps asking until aborted.
TEST_F(ServerRoad, ADaemonThatOnlyListensIsNotFoundThroughTheServers) {
    ASSERT_TRUE(daemon.start({QV_P2P_DAEMON, "--uid", kUid, "--lan-port", "32761"}, 10000)) << daemon.line;
    ASSERT_EQ(PSL_Initialize(0), 0);
    PSL_Set_LanLookup_Time(0);
    g_maxServerState = 0;
    _PSL_SetRemoteRouteStep(recordingStep);
    std::atomic<int> rc{1};
    std::thread t([&] { rc = PSL_Connect_ByUID(kUid); });
    usleep(3000000);
    EXPECT_EQ(rc.load(), 1);
    EXPECT_LT(g_maxServerState.load(), 6);
    PSL_Connect_Abort_All();
    t.join();
    EXPECT_EQ(rc.load(), PSL_ERR_ABORTED);
}

}  // namespace
