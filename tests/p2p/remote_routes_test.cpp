// Topology A (loopback of the test's own namespace): the test servers, the device daemon registered with
// them, and this process as the client with the LAN lookup off, so that only the servers' road leads to the
// device. 127/8 is not private: a punched path is P2P (mode 0). Each route carries an echo on channel 0, and
// the library leaves no thread or descriptor behind.
//
// Relay layouts as this test bed uses them: the relay's MSG_SESSION_HELLO to the device is 28 bytes {UID,
// randomID, mac} (the device answers with 32: UID, result, randomID, mac); MSG_RELAY_ATTACH is 88 bytes with
// the relay's session number R at 20 and in the header tag. The long MSG_PEER_ADDRESS mirrors the punch with
// the other side's primary address at 20: 116 bytes with the client's words at 100/104 and the NAT type at
// 108, 292 with 8 observed addresses from 116.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "lan_topology.h"
#include "p2p/psl_byuid.h"
#include "p2p/psl_channels.h"
#include "p2p/psl_connect.h"
#include "p2p/psl_lan.h"
#include "p2p/psl_punch.h"
#include "p2p/psl_session.h"
#include "psl_messages.h"

namespace {

using namespace qvtest;
using Clock = std::chrono::steady_clock;

constexpr const char *kUid = "QVTESTRTE00000000001";

struct LogLine {
    std::string ep, dir, msg, peer, event, edir;
    int bytes = 0, tag = 0, count = 0;
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
        auto num = [&](const char *k) {
            json_object *v = nullptr;
            return json_object_object_get_ex(o, k, &v) ? json_object_get_int(v) : 0;
        };
        const std::string dir = str("dir");
        LogLine x{str("ep"), dir,          str("msg"), str("peer"), str("event"),
                  "",        num("bytes"), num("tag"), num("count")};
        if (!x.event.empty()) x.edir = dir, x.dir.clear();
        out.push_back(x);
        json_object_put(o);
    }
    return out;
}

int portOf(const std::string &peer) {
    const size_t colon = peer.rfind(':');
    return colon == std::string::npos ? -1 : atoi(peer.c_str() + colon + 1);
}

int countFds() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

// Threads of the library still alive (psl_*, tnl_*, rsc_send).
int libraryThreads() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/comm");
            std::string name;
            std::getline(f, name);
            if (name.rfind("psl_", 0) == 0 || name.rfind("tnl_", 0) == 0 || name == "rsc_send") ++n;
        }
        closedir(d);
    }
    return n;
}

bool echo(int sid, const std::string &text) {
    if (PSL_Session_Write(sid, text.data(), (uint32_t)text.size(), 0) != (int)text.size()) return false;
    std::string got;
    char buf[2048];
    for (int i = 0; i < 50 && got.size() < text.size(); ++i) {
        const int n = PSL_Session_Read(sid, buf, sizeof buf, 200, 0);
        if (n > 0) got.append(buf, (size_t)n);
    }
    return got == text;
}

class RemoteRoutes : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const char *why = getenv("QV_NETNS_SKIP")) GTEST_SKIP() << why;
        if (!getenv("QV_NETNS")) GTEST_SKIP() << "not in a namespace of the test's own (scripts/netns-run)";
        char tmpl[] = "/tmp/qv-p2proutes-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        log_ = dir_ + "/packets.jsonl";
        fds_ = countFds();
    }
    void TearDown() override {
        PSL_DeInitialize();
        daemon.reap();
        servers.reap();
        if (!dir_.empty()) {
            unlink(log_.c_str());
            rmdir(dir_.c_str());
        }
    }

    // Servers with these flags, the daemon registered with them, the client started with the LAN lookup off.
    void bringUp(std::vector<std::string> flags) {
        std::vector<std::string> argv{QV_P2P_SERVERS, "--log", log_};
        argv.insert(argv.end(), flags.begin(), flags.end());
        ASSERT_TRUE(servers.start(argv, 10000)) << "p2p-servers did not start";
        ASSERT_TRUE(
            daemon.start({QV_P2P_DAEMON, "--uid", kUid, "--register", "1", "--lan-port", "32761"}, 30000))
            << "daemon did not register: " << daemon.line;
        ASSERT_EQ(sscanf(daemon.line.c_str(), "ready %d", &daemonPort_), 1) << daemon.line;
        ASSERT_EQ(PSL_Initialize(0), 0);
        ASSERT_EQ(PSL_Set_LanLookup_Time(0), 0);
    }

    // Connects, returns the session (or the error) and logs the connect time.
    int connect(long *ms = nullptr) {
        const auto t0 = Clock::now();
        const int rc = PSL_Connect_ByUID(kUid);
        const long took =
            (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
        printf("connect: %d after %ld ms\n", rc, took);
        if (ms) *ms = took;
        return rc;
    }

    // Closes, stops within 5 s, and checks that nothing of the library is left.
    void stopAndCheck(int sid) {
        PSL_Session_Close(sid);
        const auto t0 = Clock::now();
        EXPECT_EQ(PSL_DeInitialize(), 0);
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(), 5000);
        for (int i = 0; i < 300 && libraryThreads() > 0; ++i) usleep(10000);
        EXPECT_EQ(libraryThreads(), 0);
        EXPECT_EQ(countFds(), fds_ + 2) << "descriptors beyond the two children's pipes";
    }

    std::string dir_, log_;
    int fds_ = 0;
    int daemonPort_ = 0;
    Child servers;
    Child daemon;
};

class PunchedPath : public RemoteRoutes, public ::testing::WithParamInterface<int> {};

// Each peer-address form opens the direct path: 116 and 292 through the long hellos with the client's words,
// 36 through the longer exchange (short hellos; the device opens the session from its own UID).
TEST_P(PunchedPath, EachServerIntroducesBothSidesAndTheHelloExchangeConnects) {
    bringUp({"--no-relay", "--peer-form", std::to_string(GetParam())});
    if (HasFatalFailure()) return;
    long ms = 0;
    const int sid = connect(&ms);
    ASSERT_GE(sid, 0);
    EXPECT_LT(ms, 10000);
    PSLSessionInfo info{};
    info.size = sizeof info;
    ASSERT_EQ(PSL_Session_Check_Ex(sid, &info), 0);
    EXPECT_EQ(info.mode, PSL_MODE_P2P);
    EXPECT_EQ(info.relayKind, 0);
    EXPECT_TRUE(echo(sid, "through the punched path"));
    EXPECT_TRUE(echo(sid, std::string(1000, 'p')));

    // Every server that heard a punch introduced both sides (the first punch goes to S1 alone, and the
    // connect may be over before the task's first round reaches S2).
    const int clientPort = ntohs(_PSL_MainPort());
    int punched[2] = {}, toClient[2] = {}, toDevice[2] = {}, forwarded = 0;
    for (const LogLine &l : readLog(log_)) {
        if (l.event == "relay-forward") ++forwarded;
        if (l.ep != "S1" && l.ep != "S2") continue;
        const int i = l.ep == "S1" ? 0 : 1;
        if (l.dir == "in" && l.msg == "MSG_PUNCH" && portOf(l.peer) == clientPort) ++punched[i];
        if (l.dir != "out" || l.msg != "MSG_PEER_ADDRESS") continue;
        EXPECT_EQ(l.bytes, 16 + GetParam());
        if (portOf(l.peer) == clientPort) ++toClient[i];
        if (portOf(l.peer) == daemonPort_) ++toDevice[i];
    }
    EXPECT_GE(punched[0], 1);
    for (int i = 0; i < 2; ++i) {
        if (!punched[i]) continue;
        EXPECT_GE(toClient[i], 1) << "server S" << i + 1;
        EXPECT_GE(toDevice[i], 1) << "server S" << i + 1;
    }
    EXPECT_EQ(forwarded, 0);
    stopAndCheck(sid);
}

INSTANTIATE_TEST_SUITE_P(PeerForms, PunchedPath, ::testing::Values(116, 292, 36),
                         [](const auto &i) { return "Form" + std::to_string(i.param); });

// With punching off the relay on S1 carries the session: a 28-byte hello to the device first, then the grant,
// the join and the 88-byte attach; data crosses it both ways under the relay's tag.
TEST_F(RemoteRoutes, RelayCarriesTheSessionWhenPunchingIsOff) {
    bringUp({});
    if (HasFatalFailure()) return;
    ASSERT_EQ(PSL_Set_Punch_Time(0), 0);
    long ms = 0;
    const int sid = connect(&ms);
    ASSERT_GE(sid, 0);
    EXPECT_LT(ms, 10000);
    PSLSessionInfo info{};
    info.size = sizeof info;
    ASSERT_EQ(PSL_Session_Check_Ex(sid, &info), 0);
    EXPECT_EQ(info.mode, PSL_MODE_RELAY);
    EXPECT_EQ(info.relayKind, 1);
    EXPECT_TRUE(echo(sid, "through the relay"));
    EXPECT_TRUE(echo(sid, std::string(1200, 'r')));
    stopAndCheck(sid);

    int hellos = 0, answers = 0, attaches = 0, punches = 0, toDevice = 0, toClient = 0, tag = 0;
    for (const LogLine &l : readLog(log_)) {
        if (l.msg == "MSG_PUNCH") ++punches;
        if (l.ep == "S1" && l.dir == "out" && l.msg == "MSG_SESSION_HELLO") {
            ++hellos;
            EXPECT_EQ(l.bytes, 16 + 28);
            EXPECT_EQ(portOf(l.peer), daemonPort_);
        }
        if (l.ep == "S1" && l.dir == "in" && l.msg == "MSG_SESSION_HELLO") {
            ++answers;
            EXPECT_EQ(l.bytes, 16 + 32);
        }
        if (l.ep == "S1" && l.dir == "out" && l.msg == "MSG_RELAY_ATTACH") {
            ++attaches;
            EXPECT_EQ(l.bytes, 16 + 88);
        }
        if (l.event == "relay-forward") {
            (l.edir == "to-device" ? toDevice : toClient) += 1;
            if (tag) {
                EXPECT_EQ(l.tag, tag);
            }
            tag = l.tag;
        }
    }
    EXPECT_EQ(punches, 0);
    EXPECT_GE(hellos, 1);
    EXPECT_GE(answers, 1);
    EXPECT_GE(attaches, 2);  // the device, then the client
    EXPECT_GE(toDevice, 1);
    EXPECT_GE(toClient, 1);
    EXPECT_NE(tag, 0);
}

// The relay's refusals end the connect at once with their own codes; a refusal from a second server beside a
// grant ends it with -43.
TEST_F(RemoteRoutes, RelayRefusalsEndTheConnectWithTheirCodes) {
    struct Case {
        std::vector<std::string> flags;
        int code;
    };
    const Case cases[] = {{{"--relay-status", "-1"}, -48},
                          {{"--relay-status", "-6"}, -45},
                          {{"--second-relay-status", "-5"}, -43}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.flags[0] + " " + c.flags[1]);
        bringUp(c.flags);
        if (HasFatalFailure()) return;
        ASSERT_EQ(PSL_Set_Punch_Time(0), 0);
        long ms = 0;
        EXPECT_EQ(connect(&ms), c.code);
        EXPECT_LT(ms, 15000);
        PSL_DeInitialize();
        daemon.reap();
        servers.reap();
        unlink(log_.c_str());
    }
}

// Peer addresses, grants and attaches from a host that is not one of the device's servers change nothing:
// no hello goes where the stranger points, and the connect stays where it was.
TEST_F(RemoteRoutes, StrangersCannotPointHellosOrAttachTheSession) {
    bringUp({"--no-relay", "--no-punch-answer"});
    if (HasFatalFailure()) return;
    std::atomic<int> rc{1};
    std::thread t([&] { rc = connect(); });
    // Wait for the punching to begin, then read the session's words.
    uint32_t words[2] = {};
    int sid = -1;
    for (int i = 0; i < 200 && sid < 0; ++i) {
        usleep(50000);
        psl_session_lock();
        for (int s = 0; s < _PSL_MaxSessions(); ++s) {
            PSLSessionRecord *r = _PSL_Session(s);
            if (r->state.load() == PSL_STATE_ALLOCATED && r->punchState.load() == 1) {
                sid = s;
                words[0] = r->randomID;
                words[1] = r->mac;
            }
        }
        psl_session_unlock();
    }
    ASSERT_GE(sid, 0) << "the connect never started punching";

    auto bindUdp = [](const char *ip, uint16_t port) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        inet_pton(AF_INET, ip, &sa.sin_addr);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
        timeval tv{0, 300000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        return fd;
    };
    const int stranger = bindUdp("127.0.0.9", 20001);
    const int victim = bindUdp("127.0.0.8", 5555);
    sockaddr_in client{};
    client.sin_family = AF_INET;
    client.sin_port = _PSL_MainPort();
    inet_pton(AF_INET, "127.0.0.1", &client.sin_addr);
    namespace psl = qvbed::psl;
    auto sendMsg = [&](const char *msg, const char *form, const psl::Fields &f) {
        const psl::Layout *l = psl::find_layout(msg, form);
        ASSERT_NE(l, nullptr);
        std::optional<psl::Bytes> d = psl::build(*l, f);
        ASSERT_TRUE(d);
        sendto(stranger, d->data(), d->size(), 0, reinterpret_cast<sockaddr *>(&client), sizeof client);
    };
    const psl::Addr target{{127, 0, 0, 8}, 5555};
    const std::vector<psl::Addr> none(8), locals(4);
    for (int i = 0; i < 5; ++i) {
        sendMsg("MSG_PEER_ADDRESS", "server292",
                {{"UID", std::string(kUid)},
                 {"addr", target},
                 {"localAddrs", locals},
                 {"randomID", int64_t{words[0]}},
                 {"mac", int64_t{words[1]}},
                 {"natType", int64_t{2}},
                 {"observed", std::vector<psl::Addr>(8, target)},
                 {"observedFlags", std::vector<int64_t>(8)}});
        sendMsg("MSG_RELAY_REQUEST_R", "long32",
                {{"UID", std::string(kUid)},
                 {"status", int64_t{0}},
                 {"randomID", int64_t{words[0]}},
                 {"mac", int64_t{words[1]}}});
        sendMsg("MSG_RELAY_ATTACH", "long88",
                {{"UID", std::string(kUid)},
                 {"sessionTag", int64_t{7}},
                 {"relaySession", int64_t{7}},
                 {"deviceAddr", target},
                 {"clientAddr", target},
                 {"randomID", int64_t{words[0]}},
                 {"mac", int64_t{words[1]}},
                 {"deviceVersion", int64_t{0}},
                 {"clientVersion", int64_t{0}},
                 {"deviceProtocol", int64_t{20}},
                 {"clientProtocol", int64_t{20}},
                 {"deviceNatType", int64_t{2}},
                 {"clientNatType", int64_t{2}}});
        usleep(100000);
    }
    uint8_t buf[1500];
    EXPECT_LT(recv(victim, buf, sizeof buf, 0), 0) << "a hello went where the stranger pointed";
    psl_session_lock();
    PSLSessionRecord *r = _PSL_Session(sid);
    EXPECT_EQ(r->state.load(), PSL_STATE_ALLOCATED);
    EXPECT_LE(r->relayState.load(), 1);
    EXPECT_NE(r->routeType.load(), PSL_ROUTE_RELAY_UDP);
    psl_session_unlock();
    close(stranger);
    close(victim);
    PSL_Connect_Abort_All();
    t.join();
    EXPECT_EQ(rc.load(), PSL_ERR_ABORTED);
}

}  // namespace
