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
#include <string>
#include <thread>
#include <vector>

#include "p2p/psl_byuid.h"
#include "p2p/psl_connect.h"
#include "p2p/psl_dispatch.h"
#include "p2p/psl_lan.h"
#include "p2p/psl_master.h"
#include "p2p/psl_messages.h"
#include "p2p/psl_private.h"
#include "p2p/psl_punch.h"
#include "p2p/psl_register.h"
#include "p2p/psl_servers.h"
#include "p2p/psl_session.h"

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
    ~Servers() {
        if (pid_ > 0) {
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
                       str("peerAddr")});
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

}  // namespace
