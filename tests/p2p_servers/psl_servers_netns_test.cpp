// The session layer's server path against the P2P test servers, all on loopback (LAN lookup off): master
// resolution, the lookup tasks up to the device's addresses, the reachability verdict, the device probe,
// the connect abort, and a device's registration with its logins and pings. Each test runs in a namespace
// of its own and starts and reaps its servers.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "p2p/psl_byuid.h"
#include "p2p/psl_channels.h"
#include "p2p/psl_connect.h"
#include "p2p/psl_dispatch.h"
#include "p2p/psl_hello.h"
#include "p2p/psl_lan.h"
#include "p2p/psl_master.h"
#include "p2p/psl_messages.h"
#include "p2p/psl_private.h"
#include "p2p/psl_punch.h"
#include "p2p/psl_register.h"
#include "p2p/psl_servers.h"
#include "p2p/psl_session.h"
#include "p2p/psl_settings.h"
#include "p2p/psl_tcproute.h"

namespace {

constexpr char kDevice[] = "QVDEVICE000000000001";
constexpr char kOwn[] = "QVOWNDEV000000000002";

#define NEED_NETNS()                                                                              \
    do {                                                                                          \
        const char *in = std::getenv("QV_NETNS");                                                 \
        if (!in || std::string(in) != "1") {                                                      \
            const char *why = std::getenv("QV_NETNS_SKIP");                                       \
            GTEST_SKIP() << (why ? why : "not started through scripts/netns-run (no namespace)"); \
        }                                                                                         \
    } while (0)

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point t0) {
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

bool waitFor(const std::function<bool()> &ok, int ms) {
    const auto t0 = Clock::now();
    while (!ok()) {
        if (msSince(t0) > ms) return false;
        usleep(10000);
    }
    return true;
}

// The p2p-servers program with the given flags and a packet log in a temp folder; reaped at the end.
class Servers {
  public:
    explicit Servers(std::vector<std::string> flags) {
        char tmpl[] = "/tmp/qv-p2psrv-XXXXXX";
        dir_ = mkdtemp(tmpl);
        log_ = dir_ + "/packets.jsonl";
        flags.insert(flags.begin(), {QV_P2P_SERVERS, "--log", log_});
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlives a test that dies
            dup2(out[1], 1);
            std::vector<char *> argv;
            for (std::string &f : flags) argv.push_back(f.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        pollfd p{out[0], POLLIN, 0};
        char buf[16] = {};
        ready_ = poll(&p, 1, 10000) == 1 && read(out[0], buf, sizeof buf) > 0 && !strncmp(buf, "ready", 5);
        close(out[0]);
    }
    // Stops the whole server set where it stands (nothing is read or answered) until the end of the test.
    void freeze() {
        if (pid_ > 0) kill(pid_, SIGSTOP);
    }
    ~Servers() {
        if (pid_ > 0) {
            kill(pid_, SIGCONT);
            kill(pid_, SIGTERM);
            int st = 0;
            waitpid(pid_, &st, 0);
        }
        unlink(log_.c_str());
        rmdir(dir_.c_str());
    }
    bool ready() const { return ready_; }
    // The log's lines as JSON objects (the caller releases nothing: each is freed here).
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::ifstream in(log_);
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    }

  private:
    std::string dir_, log_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

struct LogEntry {
    long t;
    std::string ep, dir, msg, peer, type;
    int bytes, payload;
    long value, routeByte;  // session reports
    std::string peerAddr;
    long result = 0;  // error reports: code, text, data length
    std::string text;
    long dataBytes = -1;
    bool tcp = false;  // came or went on a TCP stream
};

std::vector<LogEntry> parse(const std::vector<std::string> &lines) {
    std::vector<LogEntry> out;
    for (const std::string &l : lines) {
        json_object *o = json_tokener_parse(l.c_str());
        if (!o) continue;
        auto str = [&](const char *k) {
            json_object *v = nullptr;
            return json_object_object_get_ex(o, k, &v) ? std::string(json_object_get_string(v))
                                                       : std::string();
        };
        auto num = [&](const char *k) {
            json_object *v = nullptr;
            return json_object_object_get_ex(o, k, &v) ? json_object_get_int64(v) : -1;
        };
        out.push_back({(long)num("t_ms"), str("ep"), str("dir"), str("msg"), str("peer"), str("type"),
                       (int)num("bytes"), (int)num("payload"), (long)num("value"), (long)num("routeByte"),
                       str("peerAddr"), 0, "", -1, false});
        out.back().result = (long)num("result");
        out.back().text = str("text");
        out.back().dataBytes = (long)num("dataBytes");
        out.back().tcp = str("tcp") == "true";
        json_object_put(o);
    }
    return out;
}

void onUdp(LinuxConn *conn, const char *host, uint16_t port, uint8_t *buf, int64_t len, void *) {
    if (len > 0) _PSL_OnUdpPacket(conn, host, port, buf, (size_t)len);
}

// The library started as in topology A, with its main UDP socket opened here and routed to the dispatcher.
class ServerPath : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::getenv("QV_NETNS") || std::string(std::getenv("QV_NETNS")) != "1") return;
        startLibrary();
    }
    void startLibrary() {
        ASSERT_EQ(PSL_Initialize(0), 0);
        ASSERT_EQ(LinuxConnMgr_createConnection(_PSL_ConnMgr(), LINUXCONN_UDP, LINUXCONN_SERVER, 0, &conn),
                  0);
        LinuxConn_setRecvCallback(conn, onUdp, nullptr);
        uint16_t port = 0;
        ASSERT_EQ(LinuxConn_open(conn, nullptr, &port, 0, nullptr, nullptr, nullptr, nullptr), 0);
        int size = PSL_UDP_RECV_MAX;
        LinuxConn_setRecvSize(conn, 0, &size);
        _PSL_SetServersConnForTest(conn);
    }
    void TearDown() override { stopLibrary(); }
    // Every task stops before the test's socket goes, and the socket before the library.
    void stopLibrary() {
        if (!conn) return;
        _PSL_ServerSide_Stop();
        LinuxConnMgr_destroyConnection(_PSL_ConnMgr(), conn);
        conn = nullptr;
        PSL_DeInitialize();
    }

    // A device that logged in at both group servers: a plain socket sends its MSG_LOGIN.
    void scriptedDeviceLogin() {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in me{};
        me.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.5", &me.sin_addr);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&me), sizeof me), 0);
        const PslMsgDef *m = psl_Msg_ByName("MSG_LOGIN");
        PslValue v[] = {{"UID", 0, reinterpret_cast<const uint8_t *>(kDevice), 20, nullptr, 0},
                        {"natType", 2, nullptr, 0, nullptr, 0},
                        {"libraryVersion", PSL_LIBRARY_VERSION, nullptr, 0, nullptr, 0}};
        uint8_t pkt[PSL_SEND_MAX], wire[PSL_SEND_MAX];
        const int n = psl_Msg_Build(m, &m->forms[0], v, 3, pkt, sizeof pkt);
        ASSERT_GT(n, 0);
        pkt[3] |= PSL_FLAG_SCRAMBLED;
        _PSL_Scramble(pkt, wire, (uint16_t)n, (uint16_t)n);
        for (const char *s : {"127.0.0.2", "127.0.0.3"}) {
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(20001);
            inet_pton(AF_INET, s, &to.sin_addr);
            ASSERT_EQ(sendto(fd, wire, (size_t)n, 0, reinterpret_cast<sockaddr *>(&to), sizeof to), n);
        }
        usleep(200000);  // the servers record the login before anyone asks
        close(fd);
    }

    // A connecting session for uid, as a connect procedure prepares it (LAN lookup off).
    int session(const char *uid) {
        const int sid = _PSL_AllocSession();
        EXPECT_GE(sid, 0);
        psl_session_lock();
        strcpy(_PSL_Session(sid)->remoteUID, uid);
        _PSL_Session(sid)->lanState = 2;
        _PSL_NewSessionWords(sid);
        psl_session_unlock();
        return sid;
    }

    LinuxConn *conn = nullptr;
};

struct ProbeResult {
    std::atomic<int> calls{0};
    std::atomic<int> result{1};
};
void onProbe(int result, void *arg, int) {
    auto *p = static_cast<ProbeResult *>(arg);
    p->result = result;
    ++p->calls;
}

TEST_F(ServerPath, ConnectReachesTheDeviceAddressesInTheParallelMode) {
    NEED_NETNS();
    Servers srv({});
    ASSERT_TRUE(srv.ready());
    scriptedDeviceLogin();
    const auto t0 = Clock::now();
    const int sid = session(kDevice);
    EXPECT_EQ(_PSL_ServerPhases_Run(sid), 2);
    printf("server phases to serverState 6: %ld ms\n", msSince(t0));
    EXPECT_EQ(_PSL_Session(sid)->serverState.load(), 6);
    EXPECT_EQ(_PSL_Session(sid)->connectMode.load(), 1);
    EXPECT_EQ(_PSL_Session(sid)->peerNatType, 2);
    EXPECT_EQ(_PSL_NatType(), PSL_NAT_CONE);
    // The masters stay known for the next connect.
    _PSL_FreeSession(_PSL_Session(sid));
    _PSL_StartMasterResolve();
    EXPECT_EQ(_PSL_MasterState(), PSL_MASTERS_READY);
    PSLMasterEntry masters[PSL_MASTERS];
    EXPECT_GE(_PSL_MasterTable(masters), 1);
    EXPECT_EQ(_PSL_ServerPhases_Run(session(kDevice)), 2);

    // The servers saw the query, the probes and the device queries from the library's socket.
    int queries = 0, probes = 0, deviceQueries = 0;
    for (const LogEntry &e : parse(srv.lines())) {
        if (e.dir != "in") continue;
        queries += e.msg == "MSG_QUERY_GROUP";
        probes += e.msg == "MSG_PROBE_EX";
        deviceQueries += e.msg == "MSG_QUERY_DEVICE";
    }
    EXPECT_GE(queries, 2);
    EXPECT_GE(probes, 2);
    EXPECT_GE(deviceQueries, 2);
}

// As the connect procedure's remote-route step: nothing decided while the LAN lookup runs; once it is over
// and the device is known, the routes beyond the servers decide: here punching is off and the relay refuses
// (-48).
TEST_F(ServerPath, RemoteRouteStepLeavesTheLanItsChance) {
    NEED_NETNS();
    Servers srv({"--relay-status", "-1"});
    ASSERT_TRUE(srv.ready());
    scriptedDeviceLogin();
    ASSERT_EQ(PSL_Set_Punch_Time(0), 0);
    const int sid = session(kDevice);
    _PSL_Session(sid)->lanState = 1;
    int rc = 0, round = 0;
    for (; rc == 0 && _PSL_Session(sid)->serverState.load() != 6 && round < 2000; ++round) {
        rc = _PSL_ServerRemoteStep(sid, round);
        usleep(10000);
    }
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(_PSL_Session(sid)->serverState.load(), 6);
    EXPECT_EQ(_PSL_ServerRemoteStep(sid, round++), 0);
    _PSL_Session(sid)->lanState = -1;
    for (int i = 0; rc == 0 && i < 500; ++i) {
        rc = _PSL_ServerRemoteStep(sid, round++);
        if (rc == 0) usleep(10000);
    }
    EXPECT_EQ(rc, PSL_ERR_REFUSED);
}

TEST_F(ServerPath, OlderDeviceVersionAndAsleepDevice) {
    NEED_NETNS();
    {
        Servers srv({"--device-version", "0x01000000"});
        ASSERT_TRUE(srv.ready());
        scriptedDeviceLogin();
        const int sid = session(kDevice);
        EXPECT_EQ(_PSL_ServerPhases_Run(sid), 2);
        EXPECT_EQ(_PSL_Session(sid)->serverState.load(), 6);
        EXPECT_EQ(_PSL_Session(sid)->connectMode.load(), 2);
        _PSL_FreeSession(_PSL_Session(sid));
    }
    Servers srv({"--asleep"});
    ASSERT_TRUE(srv.ready());
    const int sid = session(kDevice);
    EXPECT_EQ(_PSL_ServerPhases_Run(sid), PSL_ERR_ASLEEP);
    // The failure is reported to the servers that answered (their version is above 11).
    usleep(200000);
    int reports = 0;
    for (const LogEntry &e : parse(srv.lines()))
        reports += e.dir == "in" && e.type == "0x0804" && e.payload == 528;
    EXPECT_EQ(reports, 2);
}

TEST_F(ServerPath, ProbeFindsTheDeviceOrReportsWhyNot) {
    NEED_NETNS();
    {
        Servers srv({});
        ASSERT_TRUE(srv.ready());
        scriptedDeviceLogin();
        ProbeResult p;
        ASSERT_EQ(PSL_Probe_Device_ByUID("qvdevice000000000001", 20000, onProbe, &p), 0);
        ASSERT_TRUE(waitFor([&] { return p.calls.load() > 0; }, 20000));
        EXPECT_EQ(p.result.load(), 0);
        usleep(100000);
        EXPECT_EQ(p.calls.load(), 1);
        psl_session_lock();
        for (int i = 0; i < _PSL_MaxSessions(); ++i) EXPECT_EQ(_PSL_Session(i)->state.load(), PSL_STATE_FREE);
        psl_session_unlock();
    }
    {
        Servers srv({"--asleep"});
        ASSERT_TRUE(srv.ready());
        ProbeResult p;
        ASSERT_EQ(PSL_Probe_Device_ByUID(kDevice, 20000, onProbe, &p), 0);
        ASSERT_TRUE(waitFor([&] { return p.calls.load() > 0; }, 20000));
        EXPECT_EQ(p.result.load(), PSL_ERR_ASLEEP);
    }
    Servers srv({"--refuse-uid", kDevice});
    ASSERT_TRUE(srv.ready());
    ProbeResult p;
    ASSERT_EQ(PSL_Probe_Device_ByUID(kDevice, 20000, onProbe, &p), 0);
    ASSERT_TRUE(waitFor([&] { return p.calls.load() > 0; }, 20000));
    EXPECT_EQ(p.result.load(), PSL_ERR_UID);
}

TEST_F(ServerPath, AbortAllEndsAConnectAtItsNextRound) {
    NEED_NETNS();
    Servers srv({"--silent"});
    ASSERT_TRUE(srv.ready());
    const int sid = session(kDevice);
    std::atomic<int> rc{1};
    Clock::time_point ended;
    std::thread t([&] {
        rc = _PSL_ServerPhases_Run(sid);
        ended = Clock::now();
    });
    usleep(300000);
    ASSERT_EQ(rc.load(), 1);  // the silent masters keep it searching
    const auto t0 = Clock::now();
    PSL_Connect_Abort_All();
    t.join();
    const long ms = (long)std::chrono::duration_cast<std::chrono::milliseconds>(ended - t0).count();
    printf("abort to return: %ld ms\n", ms);
    EXPECT_EQ(rc.load(), PSL_ERR_ABORTED);
    EXPECT_LT(ms, 1000);  // one 10 ms round; the bound is generous for a loaded machine
    EXPECT_EQ(_PSL_Session(sid)->serverState.load(), 1);
}

// The reachability test's verdict: a fixed server accepting on TCP 80 gives 4; none gives 3.
TEST_F(ServerPath, ReachabilityVerdictFollowsTheFixedServer) {
    NEED_NETNS();
    for (bool fixed : {true, false}) {
        SCOPED_TRACE(fixed ? "fixed server listening" : "no fixed server");
        std::vector<std::string> flags = {"--silent"};
        if (!fixed) flags.push_back("--no-fixed");
        Servers srv(flags);
        ASSERT_TRUE(srv.ready());
        const int sid = session(kDevice);
        ASSERT_EQ(_PSL_ServerPhases_Begin(sid), 0);
        const int want = fixed ? 4 : 3;
        EXPECT_TRUE(waitFor([&] { return _PSL_Session(sid)->reachState.load() == want; }, 20000))
            << "reachState " << _PSL_Session(sid)->reachState.load();
        _PSL_ServerPhases_End(sid, PSL_ERR_ABORTED);
        _PSL_FreeSession(_PSL_Session(sid));
        if (fixed) {
            bool accepted = false;
            for (const LogEntry &e : parse(srv.lines())) accepted = accepted || e.ep == "F";
            EXPECT_TRUE(accepted);
        }
    }
}

// A failing master name never replaces addresses another name gave; alone it brings the defaults; with no
// names the resolution ends empty. The resolver threads are gone after stop.
TEST_F(ServerPath, MasterResolutionKeepsGoodAddresses) {
    NEED_NETNS();
    PSLMasterEntry m[PSL_MASTERS];
    for (int order = 0; order < 2; ++order) {
        _PSL_Master_SetHostsForTest(order ? "no-such-master.invalid" : "127.0.0.1",
                                    order ? "127.0.0.1" : "no-such-master.invalid");
        _PSL_SetMasterState(PSL_MASTERS_RESOLVING);
        ASSERT_EQ(_PSL_ResolveMasters(), 0);
        usleep(300000);  // let the failing one finish too
        ASSERT_EQ(_PSL_MasterTable(m), 1) << "order " << order;
        EXPECT_STREQ(m[0].host, "127.0.0.1");
        EXPECT_EQ(m[0].kind, order ? 1 : 0);
        stopLibrary();
        startLibrary();
    }
    _PSL_Master_SetHostsForTest("no-such-master.invalid", "");
    ASSERT_EQ(_PSL_ResolveMasters(), 0);
    EXPECT_EQ(_PSL_MasterTable(m), 7);  // the defaults
    _PSL_Master_SetHostsForTest("", "");
    stopLibrary();
    startLibrary();
    EXPECT_EQ(_PSL_ResolveMasters(), PSL_ERR_NO_MASTER);
    EXPECT_EQ(_PSL_MasterState(), PSL_MASTERS_EMPTY);
    _PSL_Master_SetHostsForTest(nullptr, nullptr);
    stopLibrary();
    int resolvers = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d)) {
            std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
            std::string name;
            std::getline(comm, name);
            resolvers += name.rfind("psl_rslv", 0) == 0;
        }
        closedir(d);
    }
    EXPECT_EQ(resolvers, 0);
}

TEST_F(ServerPath, RegistrationLogsInAndKeepsTheNatOpen) {
    NEED_NETNS();
    Servers srv({});
    ASSERT_TRUE(srv.ready());
    EXPECT_EQ(PSL_Device_Register("qvowndev000000000002", "name", "pass"), 0);
    EXPECT_STREQ(_PSL_OwnUid(), kOwn);
    PSLStatusSummary s{};
    EXPECT_TRUE(waitFor(
        [&] {
            PSL_Get_Status_Summary(&s);
            return s.status == 3;
        },
        10000))
        << "status " << s.status;
    EXPECT_EQ(_PSL_RegisterState(), PSL_REG_LOGGED);
    EXPECT_EQ(_PSL_NatType(), PSL_NAT_CONE);
    uint32_t flags = 0;
    EXPECT_GE(PSL_Get_Register_Flags(&flags), 0);
    EXPECT_EQ(flags & (PSL_REG_SOCKETS | PSL_REG_TASKS | PSL_REG_LOGGED_IN),
              PSL_REG_SOCKETS | PSL_REG_TASKS | PSL_REG_LOGGED_IN);

    usleep(11500000);  // two ping periods and then some
    std::vector<long> pings;
    int logins = 0, badLogins = 0, answers = 0;
    for (const LogEntry &e : parse(srv.lines())) {
        if (e.ep != "S1") continue;
        if (e.dir == "in" && e.msg == "ping") {
            EXPECT_EQ(e.bytes, 4);
            pings.push_back(e.t);
        }
        if (e.dir == "in" && e.msg == "MSG_LOGIN") {
            ++logins;
            badLogins += e.payload != 272;
        }
        answers += e.dir == "out" && e.msg == "MSG_LOGIN_R";
    }
    printf("S1: %d logins, %d answers, %zu pings\n", logins, answers, pings.size());
    EXPECT_GE(logins, 8);
    EXPECT_EQ(badLogins, 0);
    EXPECT_GE(answers, 8);
    ASSERT_GE(pings.size(), 2u);
    for (size_t i = 1; i < pings.size(); ++i) {
        printf("ping spacing %ld ms\n", pings[i] - pings[i - 1]);
        EXPECT_GT(pings[i] - pings[i - 1], 3500);
        EXPECT_LT(pings[i] - pings[i - 1], 8000);
    }

    EXPECT_EQ(PSL_Device_Register(kOwn, nullptr, nullptr), 0);  // again: the group is known at once

    // Wake and sleep notices count only from a server of the own group.
    auto notice = [&](const char *name, const char *host, uint16_t port) {
        const PslMsgDef *m = psl_Msg_ByName(name);
        PslValue v[] = {{"UID", 0, reinterpret_cast<const uint8_t *>(kOwn), 20, nullptr, 0}};
        uint8_t pkt[PSL_SEND_MAX];
        const int n = psl_Msg_Build(m, &m->forms[0], v, 1, pkt, sizeof pkt);
        ASSERT_GT(n, 0);
        _PSL_DispatchMessage(pkt, (size_t)n, host, htons(port), nullptr, 0);
    };
    notice("MSG_DEVICE_WAKE", "127.0.0.66", 20001);
    EXPECT_EQ(_PSL_RegisterState(), PSL_REG_LOGGED);
    notice("MSG_DEVICE_WAKE", "127.0.0.3", 20001);
    EXPECT_EQ(_PSL_RegisterState(), PSL_REG_WOKEN);
    PSL_Get_Register_Flags(&flags);
    EXPECT_TRUE(flags & PSL_REG_AWAKE);
    notice("MSG_DEVICE_SLEEP", "127.0.0.2", 20001);
    PSL_Get_Register_Flags(&flags);
    EXPECT_FALSE(flags & PSL_REG_AWAKE);

    // MSG_LOGIN_R's stop bit counts only with the own UID and from a server of the own group.
    auto stopAnswer = [&](const char *uidText, const char *host, uint16_t port) {
        const PslMsgDef *m = psl_Msg_ByName("MSG_LOGIN_R");
        PslValue v[] = {{"UID", 0, reinterpret_cast<const uint8_t *>(uidText), 20, nullptr, 0},
                        {"stop", 1, nullptr, 0, nullptr, 0}};
        uint8_t pkt[PSL_SEND_MAX];
        const int n = psl_Msg_Build(m, psl_Msg_Form(m, "long272"), v, 2, pkt, sizeof pkt);
        ASSERT_GT(n, 0);
        _PSL_DispatchMessage(pkt, (size_t)n, host, htons(port), nullptr, 0);
    };
    stopAnswer(kOwn, "127.0.0.66", 20001);
    stopAnswer(kOwn, "127.0.0.1", 10240);  // a master is not one of the group's servers
    stopAnswer(kDevice, "127.0.0.2", 20001);
    EXPECT_EQ(_PSL_StoppedByServer(), 0);
    stopAnswer(kOwn, "127.0.0.2", 20001);
    EXPECT_EQ(_PSL_StoppedByServer(), 1);
    PSL_Get_Status_Summary(&s);
    EXPECT_EQ(s.status, 3);  // logged in, but
    EXPECT_EQ(s.error, PSL_ERR_STOPPED);
}

// The clock seam: the library's clock runs ahead of the real one by an offset the test sets.
std::atomic<uint64_t> g_clockAheadMs{0};
uint64_t clockAhead() {
    return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
               .count() +
           g_clockAheadMs.load();
}

struct ConnectCalls {
    std::mutex mu;
    std::vector<std::pair<int, int>> calls;  // (state, error)
    std::vector<std::pair<int, int>> seen() {
        std::lock_guard<std::mutex> lk(mu);
        return calls;
    }
};
void onConnect(int state, int error, void *arg) {
    auto *c = static_cast<ConnectCalls *>(arg);
    std::lock_guard<std::mutex> lk(c->mu);
    c->calls.push_back({state, error});
}

// The callback connect (LAN lookup off) runs the server phases from its 10 ms tick and reports 0, 1, then
// its outcome once: the relay refuses with punching off (-48, reported to both servers), a refused UID
// gives -10, an asleep device -90, and silent masters -13 once its 65 s lifetime is over (on the clock
// seam). A failed connect frees its session.
TEST_F(ServerPath, CallbackConnectReportsItsOutcomeOnce) {
    NEED_NETNS();
    struct Case {
        const char *name;
        std::vector<std::string> flags;
        bool deviceLogin;
        int error;
        int reports;  // MSG_SESSION_REPORT seen by the servers
    };
    const Case cases[] = {
        {"device known", {"--relay-status", "-1"}, true, PSL_ERR_REFUSED, 2},
        {"refused UID", {"--refuse-uid", kDevice}, false, PSL_ERR_UID, 0},
        {"asleep", {"--asleep"}, false, PSL_ERR_ASLEEP, 2},
        {"silent", {"--silent"}, false, PSL_ERR_TIMEOUT, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Servers srv(c.flags);
        ASSERT_TRUE(srv.ready());
        if (c.deviceLogin) scriptedDeviceLogin();
        PSL_Set_LanLookup_Time(0);
        PSL_Set_Punch_Time(0);
        g_clockAheadMs = 0;
        p2p_Clock_SetSource(clockAhead);
        ConnectCalls calls;
        const int sid = PSL_Connect_ByUID_Start(kDevice, onConnect, &calls);
        ASSERT_GE(sid, 0);
        EXPECT_EQ(calls.seen(), (std::vector<std::pair<int, int>>{{0, 0}, {1, 0}}));
        if (c.error == PSL_ERR_TIMEOUT) {
            usleep(500000);
            EXPECT_EQ(calls.seen().size(), 2u);  // still searching
            g_clockAheadMs = 70000;
        }
        EXPECT_TRUE(waitFor([&] { return calls.seen().size() > 2; }, 20000));
        usleep(200000);
        const auto seen = calls.seen();
        ASSERT_EQ(seen.size(), 3u);
        EXPECT_EQ(seen[2], std::make_pair(-1, c.error));
        psl_session_lock();
        EXPECT_EQ(_PSL_Session(sid)->state.load(), PSL_STATE_FREE);
        psl_session_unlock();
        int reports = 0;
        for (const LogEntry &e : parse(srv.lines()))
            reports += e.dir == "in" && e.msg == "MSG_SESSION_REPORT";
        EXPECT_EQ(reports, c.reports);
        p2p_Clock_SetSource(nullptr);
        stopLibrary();
        startLibrary();
    }
}

// A connecting session that the servers have told about its device, then completed by the device's
// accepting LAN answer: the servers that answered hear the success once each (code 0, the LAN route kind,
// the device's address); a failed one hears its code with mode -1.
TEST_F(ServerPath, ConnectOutcomesAreReportedToTheServersThatAnswered) {
    NEED_NETNS();
    Servers srv({"--relay-status", "-1"});
    ASSERT_TRUE(srv.ready());
    scriptedDeviceLogin();
    ASSERT_EQ(PSL_Set_Punch_Time(0), 0);
    const int sid = session(kDevice);
    ASSERT_EQ(_PSL_ServerPhases_Run(sid), 2);
    psl_session_lock();
    PSLSessionRecord *r = _PSL_Session(sid);
    r->lanState = 1;  // the LAN lookup still runs
    const PslMsgDef *m = psl_Msg_ByName("MSG_LAN_SEARCH_R");
    PslValue v[] = {{"UID", 0, reinterpret_cast<const uint8_t *>(kDevice), 20, nullptr, 0},
                    {"libraryVersion", PSL_LIBRARY_VERSION, nullptr, 0, nullptr, 0},
                    {"randomID", r->randomID, nullptr, 0, nullptr, 0},
                    {"mac", r->mac, nullptr, 0, nullptr, 0},
                    {"mode", 1, nullptr, 0, nullptr, 0}};
    uint8_t pkt[PSL_SEND_MAX];
    const int n = psl_Msg_Build(m, psl_Msg_Form(m, "full184"), v, 5, pkt, sizeof pkt);
    ASSERT_GT(n, 0);
    _PSL_DispatchMessage(pkt, (size_t)n, "127.0.0.9", htons(32761), conn, 0);
    _PSL_DispatchMessage(pkt, (size_t)n, "127.0.0.9", htons(32761), conn, 0);  // a repeat completes nothing
    EXPECT_EQ(r->state.load(), PSL_STATE_CONNECTED);
    EXPECT_EQ(r->lanState, 6);
    psl_session_unlock();
    usleep(300000);
    std::vector<LogEntry> reports;
    for (const LogEntry &e : parse(srv.lines()))
        if (e.dir == "in" && e.msg == "MSG_SESSION_REPORT") reports.push_back(e);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_NE(reports[0].ep, reports[1].ep);
    for (const LogEntry &e : reports) {
        EXPECT_EQ(e.value, 0);
        EXPECT_EQ(e.routeByte, 2);
        EXPECT_EQ(e.peerAddr, "127.0.0.9:32761");
        EXPECT_EQ(e.payload, 528);
    }
    // The newer servers get no session information.
    for (const LogEntry &e : parse(srv.lines())) EXPECT_NE(e.type, "0x0801");
    PSL_Session_Close(sid);

    // A failure: its code, mode -1 (255 in the byte), no peer.
    const int failing = session(kDevice);
    int rc = 0;
    for (int round = 0; rc == 0 && round < 2000; ++round) {
        rc = _PSL_ServerRemoteStep(failing, round);
        if (rc == 0) usleep(10000);
    }
    EXPECT_EQ(rc, PSL_ERR_REFUSED);                   // punching off, the relay refuses
    _PSL_ServerPhases_End(failing, PSL_ERR_REFUSED);  // ended already: no second report
    usleep(300000);
    reports.clear();
    for (const LogEntry &e : parse(srv.lines()))
        if (e.dir == "in" && e.msg == "MSG_SESSION_REPORT" && e.value != 0) reports.push_back(e);
    ASSERT_EQ(reports.size(), 2u);
    for (const LogEntry &e : reports) {
        EXPECT_EQ(e.value, PSL_ERR_REFUSED);
        EXPECT_EQ(e.routeByte, 255);
        EXPECT_EQ(e.peerAddr, "0.0.0.0:0");
    }
}

struct WakeResult {
    std::atomic<int> calls{0};
    std::atomic<int> result{1};
    std::atomic<int> count{-1};
    std::vector<std::pair<uint32_t, uint16_t>> servers;  // written before calls moves
    Clock::time_point at;
};
WakeResult *g_wake = nullptr;
void onWakeList(PSLWakeRecord *recs, int n, int result) {
    g_wake->count = n;
    g_wake->result = result;
    for (int i = 0; i < n; ++i) {
        g_wake->servers.push_back({recs[i].serverAddr, ntohs(recs[i].serverPort)});
        EXPECT_EQ(recs[i].packetLength, 40u);
    }
    g_wake->at = Clock::now();
    if (recs) PSL_Private_WakeList_Free(recs);
    ++g_wake->calls;
}

// The login check: checking logins go to every server of the own group every 200 ms; once both answered
// through the redirect form the wake list is built at once, one record per server. Servers that answer
// checks as plain logins leave the list empty (-13) when the limit is up.
TEST_F(ServerPath, LoginCheckCollectsTheServersThatAnswerIt) {
    NEED_NETNS();
    for (bool answer : {true, false}) {
        SCOPED_TRACE(answer ? "servers answer checks" : "checks answered as logins");
        std::vector<std::string> flags;
        if (answer) flags.push_back("--answer-checks");
        Servers srv(flags);
        ASSERT_TRUE(srv.ready());
        ASSERT_EQ(PSL_Device_Register(kOwn, nullptr, nullptr), 0);
        WakeResult w;
        g_wake = &w;
        const auto t0 = Clock::now();
        ASSERT_EQ(PSL_Private_WakeList_Build(onWakeList, 3000), 0);
        EXPECT_EQ(_PSL_LoginCheck_Running(), 1);
        ASSERT_TRUE(waitFor([&] { return w.calls.load() > 0; }, 10000));
        const long ms = (long)std::chrono::duration_cast<std::chrono::milliseconds>(w.at - t0).count();
        printf("wake list after %ld ms\n", ms);
        if (answer) {
            EXPECT_EQ(w.result.load(), 0);
            ASSERT_EQ(w.count.load(), 2);
            std::sort(w.servers.begin(), w.servers.end(),
                      [](auto &a, auto &b) { return ntohl(a.first) < ntohl(b.first); });
            EXPECT_EQ(w.servers[0].first, htonl(0x7f000002));
            EXPECT_EQ(w.servers[1].first, htonl(0x7f000003));
            EXPECT_EQ(w.servers[0].second, 20001);
            EXPECT_LT(ms, 2500);  // before the limit: every server had answered
        } else {
            EXPECT_EQ(w.result.load(), PSL_ERR_TIMEOUT);
            EXPECT_EQ(w.count.load(), 0);
            EXPECT_GE(ms, 2900);
        }
        usleep(300000);
        EXPECT_EQ(w.calls.load(), 1);
        EXPECT_EQ(_PSL_LoginCheck_Running(), 0);
        // The checks went to both servers as 272-byte logins, and none goes out after the end.
        int checks = 0, redirects = 0;
        for (const LogEntry &e : parse(srv.lines())) {
            checks += e.dir == "in" && e.msg == "MSG_LOGIN" && e.payload == 272;
            redirects += e.dir == "out" && e.msg == "MSG_LOGIN_R" && e.bytes == 288;
        }
        EXPECT_EQ(redirects > 0, answer);
        EXPECT_GE(checks, answer ? 2 : 20);  // plain logins come once a second, checks 5 times
        g_wake = nullptr;
        stopLibrary();
        startLibrary();
    }
}

// A redirect answer counts only with the own UID and from a server of the own group.
TEST_F(ServerPath, RedirectAnswersCountOnlyFromTheOwnGroup) {
    NEED_NETNS();
    Servers srv({});
    ASSERT_TRUE(srv.ready());
    ASSERT_EQ(PSL_Device_Register(kOwn, nullptr, nullptr), 0);
    WakeResult w;
    g_wake = &w;
    ASSERT_EQ(PSL_Private_WakeList_Build(onWakeList, 5000), 0);
    auto redirect = [&](const char *uidText, const char *host, uint16_t port) {
        const PslMsgDef *m = psl_Msg_ByName("MSG_LOGIN_R");
        PslValue v[] = {{"UID", 0, reinterpret_cast<const uint8_t *>(uidText), 20, nullptr, 0},
                        {"redirect", 1, nullptr, 0, nullptr, 0}};
        uint8_t pkt[PSL_SEND_MAX];
        const int n = psl_Msg_Build(m, psl_Msg_Form(m, "long272"), v, 2, pkt, sizeof pkt);
        ASSERT_GT(n, 0);
        psl_session_lock();
        _PSL_DispatchMessage(pkt, (size_t)n, host, htons(port), nullptr, 0);
        psl_session_unlock();
    };
    redirect(kOwn, "127.0.0.66", 20001);
    redirect(kOwn, "127.0.0.1", 10240);
    redirect(kDevice, "127.0.0.2", 20001);
    EXPECT_EQ(PSL_Private_WakeList_KeyCount(), 0);
    redirect(kOwn, "127.0.0.2", 20001);
    redirect(kOwn, "127.0.0.3", 20001);
    EXPECT_EQ(PSL_Private_WakeList_KeyCount(), 2);
    // Both servers of the group answered: the list comes on the next tick, long before the limit.
    ASSERT_TRUE(waitFor([&] { return w.calls.load() > 0; }, 2000));
    EXPECT_EQ(w.result.load(), 0);
    EXPECT_EQ(w.count.load(), 2);
    g_wake = nullptr;
}

int countFds() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

int countPslThreads() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d)) {
            std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
            std::string name;
            std::getline(comm, name);
            n += name.rfind("psl_", 0) == 0;
        }
        closedir(d);
    }
    return n;
}

// Twenty rounds of start, connect or register, stop: each stop within 5 s, and afterwards no psl thread and
// no descriptor left over.
TEST_F(ServerPath, TwentyCyclesLeaveNothingBehind) {
    NEED_NETNS();
    Servers srv({});
    ASSERT_TRUE(srv.ready());
    scriptedDeviceLogin();
    stopLibrary();
    const int fds = countFds();
    for (int cycle = 0; cycle < 20; ++cycle) {
        SCOPED_TRACE(cycle);
        startLibrary();
        if (cycle % 5 == 4)
            EXPECT_EQ(PSL_Device_Register(kOwn, nullptr, nullptr), 0);
        else
            EXPECT_EQ(_PSL_ServerPhases_Run(session(kDevice)), 2);
        const auto t0 = Clock::now();
        stopLibrary();
        EXPECT_LT(msSince(t0), 5000);
    }
    EXPECT_TRUE(waitFor([] { return countPslThreads() == 0; }, 3000)) << countPslThreads() << " psl threads";
    EXPECT_EQ(countFds(), fds);
}

// Stopping the library while a connect searches and while a registration waits ends both with -12.
TEST_F(ServerPath, StopMidConnectAndMidRegistration) {
    NEED_NETNS();
    Servers srv({"--silent"});
    ASSERT_TRUE(srv.ready());
    std::atomic<int> connectRc{1}, registerRc{1};
    const int sid = session(kDevice);
    std::thread c([&] { connectRc = _PSL_ServerPhases_Run(sid); });
    std::thread r([&] { registerRc = PSL_Device_Register(kOwn, nullptr, nullptr); });
    usleep(500000);
    EXPECT_EQ(connectRc.load(), 1);
    EXPECT_EQ(registerRc.load(), 1);
    const auto t0 = Clock::now();
    PSL_DeInitialize();
    c.join();
    r.join();
    EXPECT_LT(msSince(t0), 5000);
    EXPECT_EQ(connectRc.load(), PSL_ERR_NOT_INIT);
    EXPECT_EQ(registerRc.load(), PSL_ERR_NOT_INIT);
    LinuxConn_release(conn);  // the manager is gone; the test's own reference remains
    conn = nullptr;
}

TEST_F(ServerPath, RegistrationOfARefusedUidFails) {
    NEED_NETNS();
    Servers srv({"--refuse-uid", kOwn});
    ASSERT_TRUE(srv.ready());
    EXPECT_EQ(PSL_Device_Register(kOwn, nullptr, nullptr), PSL_ERR_UID);
    EXPECT_EQ(_PSL_RegistrationRunning(), 0);
}

// Silent masters: without any fixed server reachable over TCP the registration gives -41; with one, the
// masters over TCP would come next (not built), which gives -32.
TEST_F(ServerPath, RegistrationWithSilentMastersFallsBack) {
    NEED_NETNS();
    for (bool fixed : {false, true}) {
        SCOPED_TRACE(fixed ? "fixed server listening" : "no fixed server");
        std::vector<std::string> flags = {"--silent"};
        if (!fixed) flags.push_back("--no-fixed");
        Servers srv(flags);
        ASSERT_TRUE(srv.ready());
        const auto t0 = Clock::now();
        EXPECT_EQ(PSL_Device_Register(kOwn, nullptr, nullptr),
                  fixed ? PSL_ERR_TCP_ONLY : PSL_ERR_NO_INTERNET);
        printf("registration verdict after %ld ms\n", msSince(t0));
        EXPECT_EQ(_PSL_RegistrationRunning(), 0);
    }
}

// While the masters stay silent, a refusal or a busy notice for the own UID counts only from a master.
TEST_F(ServerPath, RefusalsOfTheOwnUidCountOnlyFromAMaster) {
    NEED_NETNS();
    Servers srv({"--silent"});
    ASSERT_TRUE(srv.ready());
    std::atomic<int> rc{1};
    std::thread reg([&] { rc = PSL_Device_Register(kOwn, nullptr, nullptr); });
    ASSERT_TRUE(waitFor([] { return _PSL_RegistrationRunning() == 1; }, 5000));
    usleep(200000);
    auto send = [](const char *name, const char *host, uint16_t port) {
        const PslMsgDef *m = psl_Msg_ByName(name);
        PslValue v[] = {{"UID", 0, reinterpret_cast<const uint8_t *>(kOwn), 20, nullptr, 0}};
        uint8_t pkt[PSL_SEND_MAX];
        const int n = psl_Msg_Build(m, &m->forms[0], v, 1, pkt, sizeof pkt);
        ASSERT_GT(n, 0);
        _PSL_DispatchMessage(pkt, (size_t)n, host, htons(port), nullptr, 0);
    };
    send("MSG_UID_REFUSED", "127.0.0.66", 10240);
    send("MSG_UID_REFUSED", "127.0.0.2", 20001);  // a group server is no master either
    send("MSG_UID_NOTICE", "127.0.0.66", 10240);
    usleep(700000);
    EXPECT_EQ(rc.load(), 1);  // still asking
    send("MSG_UID_REFUSED", "127.0.0.1", 10240);
    reg.join();
    EXPECT_EQ(rc.load(), PSL_ERR_UID);
}

// Error reports: none by default; switched on, a negative code goes to each server of the device's group
// once, text and data cut to their limits; a code of 0 or above sends nothing.
TEST_F(ServerPath, ErrorReportsGoToEachGroupServerOnlyWhenSwitchedOn) {
    NEED_NETNS();
    Servers srv({});
    ASSERT_TRUE(srv.ready());
    scriptedDeviceLogin();
    const int sid = session(kDevice);
    ASSERT_EQ(_PSL_ServerPhases_Run(sid), 2);
    const std::string longText(200, 't');
    const std::vector<uint8_t> data(2000, 0x5A);
    struct Case {
        const char *name;
        bool on;
        int code;
        const char *text;
        int length;
        int sent;               // reports the call says it sent
        long text_, dataBytes;  // what the servers read
    } cases[] = {
        {"off by default", false, -42, "x", 10, 0, 0, 0},
        {"cut to the limits", true, -42, longText.c_str(), 2000, 2, 128, 1248},
        {"short, no data", true, -7, "route gone", 0, 2, 10, 0},
        {"zero code", true, 0, "x", 10, 0, 0, 0},
        {"positive code", true, 5, "x", 10, 0, 0, 0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        PSL_Set_Error_Report(k.on ? 1 : 0);
        const size_t before = srv.lines().size();
        EXPECT_EQ(
            PSL_Report_Session_Error_ByIndex(sid, k.code, k.text, k.length ? data.data() : nullptr, k.length),
            k.sent);
        usleep(200000);
        const std::vector<std::string> all = srv.lines();
        std::vector<LogEntry> seen;
        for (const LogEntry &e : parse({all.begin() + (long)before, all.end()}))
            if (e.msg == "MSG_SESSION_REPORT2") seen.push_back(e);
        ASSERT_EQ(seen.size(), (size_t)k.sent);
        std::vector<std::string> eps;
        for (const LogEntry &e : seen) {
            eps.push_back(e.ep);
            EXPECT_EQ(e.result, k.code);
            EXPECT_EQ((long)e.text.size(), k.text_);
            EXPECT_EQ(e.dataBytes, k.dataBytes);
            EXPECT_EQ(e.payload, 152 + k.dataBytes);
        }
        std::sort(eps.begin(), eps.end());
        if (k.sent) {
            EXPECT_EQ(eps, (std::vector<std::string>{"S1", "S2"}));
        }
    }
    // The record form reaches the same servers; a session that does not exist is refused.
    EXPECT_EQ(PSL_Report_Session_Error(_PSL_Session(sid), -1, "x", nullptr, 0), 2);
    EXPECT_EQ(PSL_Report_Session_Error_ByIndex(-1, -1, "x", nullptr, 0), PSL_ERR_NO_SESSION);
    PSL_Set_Error_Report(0);
}

int g_routeCalls[2] = {};
void routeA(int, int, const char *, uint16_t) {
    ++g_routeCalls[0];
}
void routeB(int, int, const char *, uint16_t) {
    ++g_routeCalls[1];
}

// The guarded MAC override, the route callback (the first one set stays) and the master hosts' checks.
TEST_F(ServerPath, SettingsKeepTheirRules) {
    NEED_NETNS();
    EXPECT_EQ(_PSL_SetPrivateMac("02:11:22:33:44:55", PSL_PRIVATE_MAGIC + 1), PSL_ERR_BAD_MAGIC);
    uint8_t mac[6];
    EXPECT_EQ(_PSL_PrivateMac(mac), 0) << "a wrong magic changes nothing";
    EXPECT_EQ(_PSL_SetPrivateMac("02:11:22:33:44:55:66", PSL_PRIVATE_MAGIC), PSL_ERR_INVALID);
    EXPECT_EQ(_PSL_SetPrivateMac("02:11:22:33:44:55", PSL_PRIVATE_MAGIC), 0);
    ASSERT_EQ(_PSL_PrivateMac(mac), 1);
    EXPECT_EQ(mac[0], 0x02);
    EXPECT_EQ(mac[5], 0x55);
    const int sid = session(kDevice);
    EXPECT_EQ(_PSL_Session(sid)->mac, 0x22334455u) << "the session words come from the override";
    EXPECT_EQ(_PSL_Session(sid)->randomID >> 16, 0x0211u);

    PSL_Set_Route_Callback(routeA);
    PSL_Set_Route_Callback(routeB);
    PSL_Set_Route_Callback(nullptr);
    p2p_NetAddr a{}, b{};
    ASSERT_EQ(p2p_Net_ResolveAddr("127.0.0.5", htons(4000), &a), 0);
    ASSERT_EQ(p2p_Net_ResolveAddr("127.0.0.6", htons(4000), &b), 0);
    psl_session_lock();
    _PSL_SetRouteCandidate(PSL_ROUTE_P2P, sid, conn, &a);
    _PSL_SetRouteCandidate(PSL_ROUTE_P2P, sid, conn, &a);        // no change: not called
    _PSL_SetRouteCandidate(PSL_ROUTE_RELAY_UDP, sid, conn, &b);  // worse: not taken
    _PSL_SetRouteCandidate(PSL_ROUTE_LAN, sid, conn, &b);        // better
    psl_session_unlock();
    EXPECT_EQ(g_routeCalls[0], 2);
    EXPECT_EQ(g_routeCalls[1], 0);

    EXPECT_EQ(PSL_Set_Master_Hosts(nullptr, "127.0.0.9", nullptr, nullptr), PSL_ERR_NO_HOST);
    EXPECT_EQ(PSL_Set_Master_Hosts("", nullptr, nullptr, nullptr), PSL_ERR_NO_HOST);
    EXPECT_EQ(PSL_Set_Master_Hosts(std::string(128, 'm').c_str(), nullptr, nullptr, nullptr),
              PSL_ERR_INVALID);
    EXPECT_EQ(PSL_Set_Master_Hosts("127.0.0.9", "127.0.0.10", nullptr, nullptr), 0);
    EXPECT_EQ(PSL_Set_Master_Hosts("127.0.0.11", nullptr, nullptr, nullptr), 0);
    char slots[PSL_USER_MASTERS][PSL_USER_MASTER_LEN];
    ASSERT_EQ(_PSL_UserMasterHosts(slots), 1);
    EXPECT_STREQ(slots[0], "127.0.0.11") << "host 1 always replaces slot 1";
    EXPECT_STREQ(slots[1], "127.0.0.10") << "a null host keeps its slot";
    stopLibrary();
    EXPECT_EQ(PSL_Set_Master_Hosts("127.0.0.9", nullptr, nullptr, nullptr), PSL_ERR_NOT_INIT);
    startLibrary();
}

// The application's master: with the compiled-in master silent, a registering device uses it; a connect
// appends it to the masters it knows and reaches the device's addresses through it.
TEST_F(ServerPath, ApplicationMasterHostsAreUsed) {
    NEED_NETNS();
    Servers srv({"--master", "127.0.0.9:10240"});
    ASSERT_TRUE(srv.ready());
    ASSERT_EQ(PSL_Set_Master_Hosts("127.0.0.9", "", "", ""), 0);
    const auto t0 = Clock::now();
    EXPECT_EQ(PSL_Device_Register(kOwn, nullptr, nullptr), 0);
    printf("registration through the application's master after %ld ms\n", msSince(t0));
    int queried = 0;
    for (const LogEntry &e : parse(srv.lines())) queried += e.ep == "M" && e.msg == "MSG_QUERY_GROUP";
    EXPECT_GE(queried, 1);
    stopLibrary();
    startLibrary();
    scriptedDeviceLogin();
    ASSERT_EQ(PSL_Set_Master_Hosts("127.0.0.9", "", "", ""), 0);
    EXPECT_EQ(_PSL_ServerPhases_Run(session(kDevice)), 2);
}

// A device on UDP as the relay sees it: logs in at both servers, answers the relay's greeting (32 bytes) and
// attach, and echoes every relayed data packet back under the same tag.
class ScriptedDevice {
  public:
    ScriptedDevice() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in me{};
        me.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.5", &me.sin_addr);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&me), sizeof me), 0);
        PslValue v[] = {uid(),
                        {"natType", 2, nullptr, 0, nullptr, 0},
                        {"libraryVersion", PSL_LIBRARY_VERSION, nullptr, 0, nullptr, 0}};
        for (const char *s : {"127.0.0.2", "127.0.0.3"}) send("MSG_LOGIN", nullptr, v, 3, s, 20001, 0);
        thread_ = std::thread([this] { loop(); });
        usleep(200000);  // the servers record the login before anyone asks
    }
    ~ScriptedDevice() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    std::atomic<int> hellos{0}, attaches{0}, echoed{0};
    std::atomic<uint16_t> tag{0};

  private:
    static PslValue uid() { return {"UID", 0, reinterpret_cast<const uint8_t *>(kDevice), 20, nullptr, 0}; }
    void send(const char *name, const char *form, const PslValue *v, size_t n, const char *host,
              uint16_t port, uint16_t sessionTag) {
        const PslMsgDef *m = psl_Msg_ByName(name);
        const PslFormDef *f = form ? psl_Msg_Form(m, form) : &m->forms[0];
        uint8_t pkt[PSL_SEND_MAX];
        const int len = psl_Msg_Build(m, f, v, n, pkt, sizeof pkt);
        ASSERT_GT(len, 0) << name;
        if (sessionTag) psl_PutU16(pkt + 12, sessionTag);
        sendRaw(pkt, len, host, port);
    }
    void sendRaw(uint8_t *pkt, int len, const char *host, uint16_t port) {
        uint8_t wire[PSL_SEND_MAX];
        pkt[3] |= PSL_FLAG_SCRAMBLED;
        _PSL_Scramble(pkt, wire, (uint16_t)len, (uint16_t)len);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        inet_pton(AF_INET, host, &to.sin_addr);
        sendto(fd_, wire, (size_t)len, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    }
    void loop() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) != 1) continue;
            uint8_t buf[2048], plain[PSL_UDP_RECV_MAX];
            sockaddr_in from{};
            socklen_t fl = sizeof from;
            const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fl);
            PSLPacketHeader h{};
            const int len = n > 0 ? psl_ReadDatagram(buf, (size_t)n, plain, &h) : -1;
            if (len < 0) continue;
            char host[32];
            inet_ntop(AF_INET, &from.sin_addr, host, sizeof host);
            const uint16_t port = ntohs(from.sin_port);
            const uint8_t *pl = plain + PSL_HEADER_SIZE;
            if (h.type == 0x0103 && h.length == 28) {
                ++hellos;
                PslValue v[] = {uid(),
                                {"result", 0, nullptr, 0, nullptr, 0},
                                {"randomID", psl_GetU32(pl + 20), nullptr, 0, nullptr, 0},
                                {"mac", psl_GetU32(pl + 24), nullptr, 0, nullptr, 0}};
                send("MSG_SESSION_HELLO", "answer32", v, 4, host, port, 0);
            } else if (h.type == 0x0303 && h.length >= 88) {
                ++attaches;
                tag = psl_GetU16(pl + 20);
                PslValue v[] = {uid(),
                                {"randomID", psl_GetU32(pl + 56), nullptr, 0, nullptr, 0},
                                {"mac", psl_GetU32(pl + 60), nullptr, 0, nullptr, 0}};
                send("MSG_RELAY_ATTACH_R", "device", v, 3, host, port, tag.load());
            } else if (h.type == 0x0501 && h.sessionTag == tag.load()) {
                ++echoed;                       // counted before the client can see the echo
                psl_PutU16(plain + 8, 0x0502);  // the same packet back, as the device's
                plain[3] &= (uint8_t)~PSL_FLAG_SCRAMBLED;
                sendRaw(plain, len, host, port);
            }
        }
    }
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// TCP only: the group, the device and the relay are asked over TCP connections to M and the servers (M and S1
// see query group, query device, relay request and join on their streams, and no UDP query at all); the
// session runs on S1's TCP relay (mode 1, relay kind TCP) and data goes through it both ways.
// The connect's server road run round by round until it decides (at most limitMs).
int remoteConnect(int sid, long limitMs = 30000) {
    const auto t0 = Clock::now();
    int rc = 0;
    for (int round = 0; rc == 0 && msSince(t0) < limitMs; ++round) {
        rc = _PSL_ServerRemoteStep(sid, round);
        usleep(10000);
    }
    printf("connect: %d after %ld ms\n", rc, msSince(t0));
    _PSL_ServerPhases_End(sid, rc);
    return rc;
}

TEST_F(ServerPath, TcpOnlyConnectRunsOnTheTcpRelay) {
    NEED_NETNS();
    Servers srv({});
    ASSERT_TRUE(srv.ready());
    ScriptedDevice dev;
    ASSERT_EQ(PSL_Set_TCP_Only(), 0);
    const int sid = session(kDevice);
    ASSERT_EQ(remoteConnect(sid), 6);
    PSLSessionInfo info{};
    info.size = sizeof info;
    ASSERT_EQ(PSL_Session_Check_Ex(sid, &info), 0);
    EXPECT_EQ(info.mode, PSL_MODE_RELAY);
    EXPECT_EQ(info.relayKind, 2);
    EXPECT_EQ(_PSL_TcpWorkedPort(), 21047);
    EXPECT_GE(dev.hellos.load(), 1);
    EXPECT_GE(dev.attaches.load(), 1);

    const std::string msg = "through the TCP relay";
    ASSERT_EQ(PSL_Session_Write(sid, msg.data(), (uint32_t)msg.size(), 0), (int)msg.size());
    char back[64] = {};
    EXPECT_EQ(PSL_Session_Read(sid, back, sizeof back, 5000, 0), (int)msg.size());
    EXPECT_EQ(std::string(back), msg);
    EXPECT_GE(dev.echoed.load(), 1);

    std::set<std::string> tcpSeen;
    int udpGroupQueries = 0;
    for (const LogEntry &e : parse(srv.lines())) {
        if (e.dir != "in") continue;
        if (e.tcp) tcpSeen.insert(e.ep + " " + e.msg);
        udpGroupQueries += !e.tcp && e.msg == "MSG_QUERY_GROUP";
    }
    for (const char *want : {"M MSG_QUERY_GROUP", "S1 MSG_QUERY_DEVICE", "S2 MSG_QUERY_DEVICE",
                             "S1 MSG_RELAY_REQUEST", "S1 MSG_RELAY_JOIN"})
        EXPECT_TRUE(tcpSeen.count(want)) << want;
    EXPECT_EQ(udpGroupQueries, 0);

    // Error reports of a session on the TCP relay go over its connection, once.
    PSL_Set_Error_Report(1);
    EXPECT_EQ(PSL_Report_Session_Error_ByIndex(sid, -30006, "auth silent", nullptr, 0), 1);
    PSL_Set_Error_Report(0);
    usleep(200000);
    int reports = 0;
    for (const LogEntry &e : parse(srv.lines()))
        if (e.msg == "MSG_SESSION_REPORT2") {
            ++reports;
            EXPECT_TRUE(e.tcp && e.ep == "S1");
            EXPECT_EQ(e.result, -30006);
        }
    EXPECT_EQ(reports, 1);
}

std::atomic<int> g_brokenSid{-1}, g_brokenError{0};
void onStatus(int sid, int error) {
    g_brokenSid = sid;
    g_brokenError = error;
}

// A relay that stops reading: writes never hold the caller (they drop what the connection cannot take), the
// session ends with an error through its silence limit, and the timers go on meanwhile.
TEST_F(ServerPath, TcpRelayThatStopsReadingEndsItsSession) {
    NEED_NETNS();
    Servers srv({});
    ASSERT_TRUE(srv.ready());
    ScriptedDevice dev;
    ASSERT_EQ(PSL_Set_TCP_Only(), 0);
    ASSERT_GE(PSL_Set_Session_Timeout(3), 0);
    const int sid = session(kDevice);
    ASSERT_EQ(remoteConnect(sid), 6);
    PSL_Session_Set_Status_Callback(sid, onStatus);
    srv.freeze();
    std::vector<char> block(PSL_DATA_MAX, 'x');
    long longest = 0;
    const auto t0 = Clock::now();
    while (g_brokenSid < 0 && msSince(t0) < 20000) {
        const auto w0 = Clock::now();
        PSL_Session_Write(sid, block.data(), (uint32_t)block.size(), 0);
        longest = std::max(longest, msSince(w0));
        usleep(1000);
    }
    printf("session broke after %ld ms with %d; longest write %ld ms\n", msSince(t0), g_brokenError.load(),
           longest);
    EXPECT_EQ(g_brokenSid.load(), sid);
    EXPECT_LT(g_brokenError.load(), 0);
    EXPECT_LT(longest, 1000) << "a write waited on the stalled relay";
    PSL_Set_Session_Timeout(60);
}

// Masters silent on UDP and on TCP (they accept the TCP connections and answer nothing): once both waits of
// 60 s are over, -41 when no fixed server takes a TCP connection, -60 when one does. About two minutes: label
// "slow" (ctest p2p_servers_tests.SilentMastersVerdict).
TEST_F(ServerPath, MastersSilentOnUdpAndTcp) {
    NEED_NETNS();
    if (!std::getenv("QV_P2P_SLOW")) GTEST_SKIP() << "slow lane only (QV_P2P_SLOW=1)";
    for (bool fixed : {false, true}) {
        SCOPED_TRACE(fixed ? "fixed server listening" : "no fixed server");
        std::vector<std::string> flags = {"--silent"};
        if (!fixed) flags.push_back("--no-fixed");
        Servers srv(flags);
        ASSERT_TRUE(srv.ready());
        EXPECT_EQ(remoteConnect(session(kDevice), 90000),
                  fixed ? PSL_ERR_MASTERS_SILENT : PSL_ERR_NO_INTERNET);
        int tcpQueries = 0;
        for (const LogEntry &e : parse(srv.lines()))
            tcpQueries += e.tcp && e.ep == "M" && e.msg == "MSG_QUERY_GROUP";
        EXPECT_GE(tcpQueries, 1) << "the master was asked over TCP too";
        stopLibrary();
        startLibrary();
    }
}

}  // namespace
