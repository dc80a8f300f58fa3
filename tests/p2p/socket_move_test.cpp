// The device's main socket moves to a new port after a long silence of its servers, so that a stale NAT
// mapping is left behind; never while a session is in use or when the port was fixed. Real sockets in a
// network namespace of the test's own (scripts/netns-run); the whole silence runs only with the "slow" label.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

#include "lan_topology.h"
#include "p2p/psl_device.h"
#include "p2p/psl_lan.h"
#include "p2p/psl_register.h"
#include "scripted_peer.h"

namespace {

using namespace qvtest;
using Clock = std::chrono::steady_clock;

constexpr const char *kUid = "QVTESTMOVE0000000001";
constexpr uint16_t kLanPort = 32765;

long ms_since(Clock::time_point t0) {
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

template <class F>
bool wait_for(F ok, long ms) {
    const auto t0 = Clock::now();
    while (!ok()) {
        if (ms_since(t0) > ms) return false;
        usleep(50000);
    }
    return true;
}

uint16_t main_port() {
    return ntohs(_PSL_MainPort());
}

// 1 when this process can bind UDP 127.0.0.1:port (nobody holds it any more).
bool port_free(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    close(fd);
    return ok;
}

// The move itself: it stays put while a session is connecting or connected and when the port was fixed at
// start; otherwise the old port is given up and the library answers from the new one.
TEST(MainSocketMove, MovesOnlyWhenNoSessionIsInUseAndThePortIsFree) {
    if (const char *why = getenv("QV_NETNS_SKIP")) GTEST_SKIP() << why;
    struct Case {
        const char *name;
        uint16_t initPort;  // 0: any
        uint8_t sessionState;
        int expect;
    } cases[] = {
        {"fixed port", 32767, PSL_STATE_FREE, 1},
        {"a session connecting", 0, PSL_STATE_ALLOCATED, 1},
        {"a session connected", 0, PSL_STATE_CONNECTED, 1},
        {"a session closed by its peer", 0, PSL_STATE_PEER_CLOSED, 0},
        {"no session", 0, PSL_STATE_FREE, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PSL_Set_LanSearch_Port(kLanPort);
        ASSERT_EQ(PSL_Initialize(c.initPort), 0);
        ASSERT_EQ(PSL_Device_Listen(kUid), 0);
        const uint16_t before = main_port();
        if (c.sessionState != PSL_STATE_FREE) {
            psl_session_lock();
            const int sid = _PSL_AllocSession();
            ASSERT_GE(sid, 0);
            PSLSessionRecord *r = _PSL_Session(sid);
            r->state = c.sessionState;
            r->routeConn = _PSL_MainConn();  // a closed session still naming the socket loses it
            r->routeType = PSL_ROUTE_LAN;
            psl_session_unlock();
        }
        EXPECT_EQ(_PSL_MoveMainSocket(), c.expect);
        if (c.expect == 0) {
            EXPECT_NE(main_port(), before);
            EXPECT_TRUE(wait_for([&] { return port_free(before); }, 5000));
            psl_session_lock();
            for (int i = 0; i < _PSL_MaxSessions(); ++i) EXPECT_EQ(_PSL_Session(i)->routeConn, nullptr);
            psl_session_unlock();
            // A LAN search is answered from the new port.
            ScriptedPeer peer{"127.0.0.1"};
            peer.send(bed::Addr{{127, 0, 0, 1}, kLanPort}, "MSG_LAN_SEARCH", "std",
                      {{"UID", std::string(kUid)},
                       {"libraryVersion", int64_t{0x03010523}},
                       {"randomID", int64_t{0}},
                       {"mac", int64_t{0}},
                       {"mode", int64_t{0}},
                       {"extra", int64_t{0}}});
            auto ans = peer.recv(0x0602, 2000);
            ASSERT_TRUE(ans);
            EXPECT_EQ(ans->from.port, main_port());
        } else {
            EXPECT_EQ(main_port(), before);
        }
        PSL_DeInitialize();
    }
}

int logins_from(const std::string &log, int port) {
    int n = 0;
    std::ifstream in(log);
    for (std::string l; std::getline(in, l);) {
        json_object *o = json_tokener_parse(l.c_str());
        if (!o) continue;
        json_object *dir = nullptr, *msg = nullptr, *peer = nullptr;
        if (json_object_object_get_ex(o, "dir", &dir) && json_object_object_get_ex(o, "msg", &msg) &&
            json_object_object_get_ex(o, "peer", &peer) && std::string(json_object_get_string(dir)) == "in" &&
            std::string(json_object_get_string(msg)) == "MSG_LOGIN") {
            const std::string p = json_object_get_string(peer);
            n += atoi(p.c_str() + p.rfind(':') + 1) == port;
        }
        json_object_put(o);
    }
    return n;
}

// The whole story against the test servers: registered, the servers go away, after the long silence the
// device is on a new port, and when the servers are back its logins come from there.
TEST(MainSocketMove, ALongSilenceOfTheServersMovesTheDeviceToANewPort) {
    if (const char *why = getenv("QV_NETNS_SKIP")) GTEST_SKIP() << why;
    if (!getenv("QV_P2P_SLOW")) GTEST_SKIP() << "about three minutes of silence: run with the label slow";
    char tmpl[] = "/tmp/qv-p2pmove-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl, log = dir + "/packets.jsonl";
    Child servers;
    ASSERT_TRUE(servers.start({QV_P2P_SERVERS, "--log", log}, 10000));
    ASSERT_EQ(PSL_Initialize(0), 0);
    ASSERT_EQ(PSL_Device_Register(kUid, nullptr, nullptr), 0);
    PSLStatusSummary s{};
    ASSERT_TRUE(wait_for(
        [&] {
            PSL_Get_Status_Summary(&s);
            return s.status == 3;
        },
        10000));
    const uint16_t before = main_port();
    servers.reap();
    unlink(log.c_str());
    const auto t0 = Clock::now();
    EXPECT_TRUE(wait_for([&] { return main_port() != before; }, 400000));
    printf("main socket moved from %u to %u after %ld s of silence\n", before, main_port(),
           ms_since(t0) / 1000);
    const uint16_t after = main_port();
    ASSERT_TRUE(servers.start({QV_P2P_SERVERS, "--log", log}, 10000));
    EXPECT_TRUE(wait_for([&] { return logins_from(log, after) >= 2; }, 30000));
    EXPECT_EQ(logins_from(log, before), 0);
    PSL_DeInitialize();
    servers.reap();
    unlink(log.c_str());
    rmdir(dir.c_str());
}

}  // namespace
