// The tunnel end to end over the stream's in-process fake: a client and a device instance in this process,
// loopback services behind the device. Authentication, mappings, transfers, half-closes, flow control,
// drops and clean stops; a scripted device for what the device side never does.
#include <gtest/gtest.h>

#include <future>
#include <memory>

#include "p2p/tnl_fake_lower.h"
#include "p2p/tnl_test_util.h"
#include "p2p/tnl_wire.h"

using namespace tnltest;

namespace {

const char *kUid = "TESTDEVICEUID0000001";
const uint8_t kAuth[128] = {1, 2, 3, 4};

struct AuthJudge {
    int result = 0;
    int calls = 0;
    uint32_t length = 0;
    std::vector<uint8_t> bytes;
};

int judgeFn(const TunnelServerAuthInfo *info, void *arg) {
    AuthJudge *j = static_cast<AuthJudge *>(arg);
    ++j->calls;
    j->length = info->authLength;
    const uint8_t *p = static_cast<const uint8_t *>(info->authData);
    j->bytes.assign(p, p + info->authLength);
    return j->result;
}

struct Drops {
    std::mutex m;
    std::vector<std::pair<int, int>> reports;
    std::vector<std::string> threadNames;
};

void dropFn(int code, int sid, void *arg) {
    Drops *d = static_cast<Drops *>(arg);
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    std::lock_guard<std::mutex> l(d->m);
    d->reports.push_back({code, sid});
    d->threadNames.push_back(name);
}

class Tunnel : public ::testing::Test {
  protected:
    void SetUp() override {
        tnl_Test_SetAuthWaitMs(2000, 3000);
        ASSERT_EQ(0, device.serverInitialize(64));
        device.setAuthCallback(judgeFn, &judge);
        ASSERT_EQ(0, device.serverStart(kUid));
        ASSERT_EQ(0, client.agentInitialize(64));
    }
    void TearDown() override {
        client.agentDeInitialize();
        device.serverStop();
        device.serverDeInitialize();
        tnl_Test_SetAuthWaitMs(0, 0);
    }
    int connect(int *err = nullptr) { return client.connect(kUid, kAuth, sizeof kAuth, err); }

    FakeTunnelNet net;
    FakeLower cl{net}, dl{net};
    TunnelLib device{&dl};
    TunnelLib client{&cl};
    AuthJudge judge;
};

TEST(TunnelWire, AuthRequestHeads) {
    struct Case {
        uint8_t type;
        uint16_t length;
        uint32_t authLength;
        int expect;
    } cases[] = {
        {7, 136, 128, 0},  {7, 8, 0, 0},  {7, 0, 0, 0},      {7, 1008, 1000, 0},      {7, 1009, 1001, -1},
        {7, 100, 128, -1}, {7, 0, 5, -1}, {2, 136, 128, -1}, {7, 8, 0xFFFFFFF8u, -1}, {7, 65535, 65527, -1},
    };
    for (const Case &c : cases) {
        uint8_t head[12];
        tnl_Header_Write(head, TunnelMessageHeader{c.type, 0, c.length});
        tnl_Put32(head + 4, TNL_VERSION);
        tnl_Put32(head + 8, c.authLength);
        EXPECT_EQ(c.expect, tnl_AuthHead_Parse(head, sizeof head, nullptr))
            << "type " << (int)c.type << " length " << c.length << " authLength " << c.authLength;
    }
    uint8_t head[12] = {7, 0, 8, 0};
    EXPECT_EQ(-1, tnl_AuthHead_Parse(head, 11, nullptr));
    EXPECT_TRUE(tnl_AuthRequest(kAuth, 1001).empty());
    const std::vector<uint8_t> empty = tnl_AuthRequest(nullptr, 0);
    ASSERT_EQ(12u, empty.size());
    EXPECT_EQ(0, tnl_AuthHead_Parse(empty.data(), empty.size(), nullptr));
}

TEST(TunnelWire, ReplyHeadsAndLanSteps) {
    struct Case {
        TunnelMessageHeader h;
        int expect;
    } cases[] = {{{8, 0, 0}, 0},  {{8, 0, 4}, 0},  {{9, 0, 4}, 0},  {{9, 0, 0}, 0},
                 {{9, 0, 5}, -1}, {{8, 1, 0}, -1}, {{2, 0, 0}, -1}, {{11, 0, 8}, -1}};
    for (const Case &c : cases)
        EXPECT_EQ(c.expect, tnl_AuthReplyHead_Check(c.h)) << (int)c.h.type << "/" << c.h.length;
    const uint32_t steps[][2] = {{1000, 990}, {101, 91}, {100, 91},
                                 {40, 91},    {0, 91},   {0xFFFFFFFFu, 0xFFFFFFF5u}};
    for (auto &s : steps) EXPECT_EQ(s[1], tnl_LanStep(s[0])) << s[0];
    uint8_t t[16];
    tnl_ConnectTarget_Write(t, htonl(INADDR_LOOPBACK), 13111);
    const uint8_t want[16] = {0, 2, 0x33, 0x37, 127, 0, 0, 1};
    EXPECT_EQ(0, memcmp(t, want, 16));
}

TEST_F(Tunnel, AuthenticationVerdicts) {
    struct Case {
        const char *name;
        bool callback;
        int verdict;
        bool open;
        const void *data;
        int length;
        int expect;
        int err;
        int calls;
    } cases[] = {
        {"accepted", true, 0, false, kAuth, 128, 0, 0, 1},
        {"refused by the callback", true, -5, false, kAuth, 128, TNL_ERR_AUTH_REFUSED, -5, 1},
        {"no callback, closed device", false, 0, false, kAuth, 128, TNL_ERR_AUTH_REFUSED, -1, 0},
        {"no callback, open device", false, 0, true, kAuth, 128, 0, 0, 0},
        {"empty request with a callback", true, 0, false, nullptr, 0, 0, 0, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        judge = AuthJudge{};
        judge.result = c.verdict;
        device.setAuthCallback(c.callback ? judgeFn : nullptr, &judge);
        device.setOpenAccess(c.open);
        int err = 12345;
        const int s = client.connect(kUid, c.data, c.length, &err);
        if (c.expect == 0) {
            EXPECT_GE(s, 0);
        } else {
            EXPECT_EQ(c.expect, s);
        }
        EXPECT_EQ(c.err, err);
        EXPECT_EQ(c.calls, judge.calls);
        if (c.calls && c.length) {
            EXPECT_EQ((uint32_t)c.length, judge.length);
            EXPECT_EQ(0, memcmp(judge.bytes.data(), c.data, (size_t)c.length));
        }
        if (s >= 0) {
            EXPECT_EQ(0, client.closeSession(s, true));
        }
        // A refused client's session is closed at the device: no relay stays behind for it.
        EXPECT_TRUE(waitFor(
            [&] {
                return threadsNamed({"tnl_sessionhdlr", "tnl_read_socket"}).empty();
            },
            5000));
    }
}

TEST_F(Tunnel, BadArgumentsSendNothing) {
    struct Case {
        const void *data;
        int length;
    } cases[] = {{kAuth, 1001}, {kAuth, -1}, {kAuth, 0}, {nullptr, 4}};
    for (const Case &c : cases) EXPECT_EQ(TNL_ERR_ARGUMENT, client.connect(kUid, c.data, c.length, nullptr));
    EXPECT_EQ(0, net.nextPair);  // no session was asked for
    EXPECT_EQ(TNL_ERR_ARGUMENT, client.closeSession(64, true));
    cl.connectResult = PSL_ERR_REFUSED_BUSY;
    EXPECT_EQ(TNL_ERR_BUSY, connect());
    cl.connectResult = PSL_ERR_NO_SESSION;
    EXPECT_EQ(TNL_ERR_NO_SESSION, connect());
    cl.connectResult = -23;
    EXPECT_EQ(-23, connect());
}

TEST_F(Tunnel, ResultsOfTheSmallCalls) {
    const int s = connect();
    ASSERT_GE(s, 0);
    struct Case {
        const char *name;
        int got;
        int expect;
    } cases[] = {
        {"second start", client.agentInitialize(4), TNL_ERR_ALREADY_STARTED},
        {"device start on a client", client.serverInitialize(4), TNL_ERR_ALREADY_STARTED},
        {"buffer size 0", client.setBufferSize(s, 0), TNL_ERR_ARGUMENT},
        {"buffer size of a free session", client.setBufferSize(s + 1, 1000), TNL_ERR_SESSION},
        {"buffer size", client.setBufferSize(s, 1000), 0},
        {"last I/O of a free session", client.lastIOTime(s + 1), TNL_ERR_SESSION},
        {"last I/O out of range", client.lastIOTime(-1), TNL_ERR_ARGUMENT},
        {"private mode, wrong magic", client.setPrivateServerMode(1, 1234), -1},
        {"private mode", client.setPrivateServerMode(0, 0x3b5e917d), 0},
        {"stop of a connect not running", client.connectStop("NOSUCHUID00000000000"), TNL_ERR_NOT_CONNECTING},
        {"reserve without a free session", client.reserveSession(), TNL_ERR_NO_FREE_SESSION},
        {"abort at maxSessions", client.closeSession(64, true), TNL_ERR_ARGUMENT},
        {"device disconnect out of range", device.serverDisconnect(64), TNL_ERR_ARGUMENT},
        {"device disconnect of a free session", device.serverDisconnect(60), TNL_ERR_SESSION},
        {"mapping out of range", client.portMapping(64, 1, 1), TNL_ERR_ARGUMENT},
    };
    for (const Case &c : cases) EXPECT_EQ(c.expect, c.got) << c.name;
    EXPECT_GT(client.lastIOTime(s), 0);
    EXPECT_EQ(0, client.closeSession(s, false));
    EXPECT_EQ(0, client.agentDeInitialize());
    EXPECT_EQ(TNL_ERR_NOT_STARTED, client.agentDeInitialize());
    EXPECT_EQ(TNL_ERR_NOT_STARTED, client.connect(kUid, kAuth, sizeof kAuth, nullptr));
    ASSERT_EQ(0, client.agentInitialize(64));
}

TEST_F(Tunnel, TransfersBothWaysByteExact) {
    Service echo(Service::Echo);
    const int s = connect();
    ASSERT_GE(s, 0);
    const int port = freePort();
    const int m = client.portMapping(s, port, echo.port);
    ASSERT_GE(m, 0);
    ASSERT_LT(m, 256);
    // One connection with 1 MB, 16 at once with 64 KB each; every one half-closes and still gets it all.
    auto run = [&](size_t bytes, uint32_t seed) {
        const int fd = dial(port);
        if (fd < 0) return false;
        const std::vector<uint8_t> data = pattern(bytes, seed);
        std::thread w([&] {
            sendAll(fd, data.data(), data.size());
            shutdown(fd, SHUT_WR);
        });
        const std::vector<uint8_t> back = readAll(fd);
        w.join();
        close(fd);
        return back == data;
    };
    EXPECT_TRUE(run(1 << 20, 1));
    std::vector<std::future<bool>> many;
    for (int i = 0; i < 16; ++i) many.push_back(std::async(std::launch::async, run, 65536, 100 + i));
    for (auto &f : many) EXPECT_TRUE(f.get());
    EXPECT_EQ(0, client.stopPortMapping(m));
    EXPECT_LT(dial(port), 0);  // a stopped mapping's port refuses
    EXPECT_EQ(0, client.closeSession(s, true));
}

TEST_F(Tunnel, LanSessionThatPassesTheCheckMapsStraightToTheDevice) {
    Service echo(Service::Echo);
    cl.mode = PSL_MODE_LAN;  // the device's address is 127.0.0.1: its LAN-test port answers
    const int s = connect();
    ASSERT_GE(s, 0);
    const int port = freePort();
    const int m = client.portMapping(s, port, echo.port);
    ASSERT_GE(m, TNL_LAN_MAPPING_BASE);
    auto run = [&](size_t bytes, uint32_t seed) {
        const int fd = dial(port);
        if (fd < 0) return false;
        const std::vector<uint8_t> data = pattern(bytes, seed);
        std::thread w([&] {
            sendAll(fd, data.data(), data.size());
            shutdown(fd, SHUT_WR);
        });
        const std::vector<uint8_t> back = readAll(fd);
        w.join();
        close(fd);
        return back == data;
    };
    EXPECT_TRUE(run(4 << 20, 1));
    std::vector<std::future<bool>> many;
    for (int i = 0; i < 16; ++i) many.push_back(std::async(std::launch::async, run, 65536, 100 + i));
    for (auto &f : many) EXPECT_TRUE(f.get());
    EXPECT_EQ(17, echo.accepted.load());
    // Stopping it closes its listener and its own connections only.
    const int port2 = freePort();
    const int m2 = client.portMapping(s, port2, echo.port);
    ASSERT_GE(m2, TNL_LAN_MAPPING_BASE);
    const int held = dial(port2);
    ASSERT_GE(held, 0);
    EXPECT_EQ(0, client.stopPortMapping(m));
    EXPECT_LT(dial(port), 0);
    uint8_t b = 'x';
    EXPECT_TRUE(sendAll(held, &b, 1));
    shutdown(held, SHUT_WR);
    EXPECT_EQ(1u, readAll(held).size());
    close(held);
    EXPECT_EQ(0, client.closeSession(s, true));
    EXPECT_LT(dial(port2), 0);  // the session's close took its mappings
}

TEST_F(Tunnel, TakenPortAndFullTable) {
    const int s = connect();
    ASSERT_GE(s, 0);
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ASSERT_EQ(0, bind(taken, (sockaddr *)&a, sizeof a));
    listen(taken, 1);
    socklen_t len = sizeof a;
    getsockname(taken, (sockaddr *)&a, &len);
    EXPECT_EQ(TNL_ERR_BIND, client.portMapping(s, ntohs(a.sin_port), 80));
    close(taken);
    // Nothing was kept: the first entry is free for the next mapping.
    EXPECT_EQ(0, client.portMapping(s, freePort(), 80));
    EXPECT_EQ(0, client.stopPortMapping(0));
    EXPECT_EQ(0, client.stopPortMapping(0));  // a free index changes nothing
    EXPECT_EQ(0, client.stopPortMapping(999));
}

TEST_F(Tunnel, FlowControlHoldsTheSourceBack) {
    Service source(Service::Source, 24 << 20);
    const int s = connect();
    ASSERT_GE(s, 0);
    const int port = freePort();
    ASSERT_GE(client.portMapping(s, port, source.port), 0);
    const int fd = dial(port);
    ASSERT_GE(fd, 0);
    int small = 65536;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    // Nobody reads: the client pauses the device, which stops reading its service.
    ASSERT_TRUE(waitFor([&] { return source.sent > (1u << 20); }, 10000));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const uint64_t stalled = source.sent;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(source.sent - stalled, 256u * 1024) << "the source kept being read";
    // The watermarks, the stream's queues and the kernel's loopback buffers on both sides, no more.
    EXPECT_LT(stalled, 16u << 20) << "far more than the watermarks and buffers hold";
    const std::vector<uint8_t> got = readAll(fd);
    close(fd);
    EXPECT_TRUE(got == source.data()) << got.size();
    EXPECT_EQ(0, client.closeSession(s, true));
}

TEST_F(Tunnel, DropIsReportedOnceOnItsOwnThread) {
    Drops drops;
    client.setStatusCallback(dropFn, &drops);
    const int s = connect();
    ASSERT_GE(s, 0);
    cl.breakSession(s);
    ASSERT_TRUE(waitFor(
        [&] {
            std::lock_guard<std::mutex> l(drops.m);
            return !drops.reports.empty();
        },
        5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::lock_guard<std::mutex> l(drops.m);
    ASSERT_EQ(1u, drops.reports.size());
    EXPECT_EQ(TNL_ERR_DROPPED, drops.reports[0].first);
    EXPECT_EQ(s, drops.reports[0].second);
    EXPECT_EQ("tnl_sessionstat", drops.threadNames[0]);
    EXPECT_EQ(0, client.closeSession(s, true));
    EXPECT_FALSE(client.sessionInUse(s));
}

TEST_F(Tunnel, CyclesLeaveNothingBehind) {
    Service echo(Service::Echo);
    // The first cycle settles lazily created process state.
    int baseline = -1;
    for (int cycle = 0; cycle < 4; ++cycle) {
        const int s = connect();
        ASSERT_GE(s, 0);
        const int port = freePort();
        const int m = client.portMapping(s, port, echo.port);
        ASSERT_GE(m, 0);
        const int fd = dial(port);
        const std::vector<uint8_t> data = pattern(100000, (uint32_t)cycle);
        sendAll(fd, data.data(), data.size());
        shutdown(fd, SHUT_WR);
        const std::vector<uint8_t> back = readAll(fd);
        EXPECT_TRUE(back == data) << back.size() << " of " << data.size() << " in cycle " << cycle;
        close(fd);
        EXPECT_EQ(0, client.stopPortMapping(m));
        EXPECT_EQ(0, client.closeSession(s, true));
        EXPECT_EQ(0, client.agentDeInitialize());
        EXPECT_TRUE(waitFor(
            [] {
                return threadsNamed({"tnl_agt", "tnl_read", "tnl_sender", "tnl_delay"}).size() <= 1;
            },
            3000));
        const int fds = openDescriptors();
        if (cycle == 0) baseline = fds;
        EXPECT_LE(fds, baseline) << "cycle " << cycle;
        ASSERT_EQ(0, client.agentInitialize(64));
    }
}

// A lossy link under the stream: 1 % loss, reordering and duplication; the bytes still arrive exact both
// ways. QV_TNL_LOSSY_MB sets the size each way (default 2).
TEST(TunnelLossy, EchoIsExactOverALossyLink) {
    tnl_Test_SetAuthWaitMs(10000, 10000);
    FakeLinkConditions cond;
    cond.delayMs = 5;
    cond.jitterMs = 2;
    cond.lossPermille = 10;
    cond.reorderPermille = 10;
    cond.dupPermille = 5;
    FakeTunnelNet net(3, cond);
    FakeLower cl{net}, dl{net};
    TunnelLib device{&dl}, client{&cl};
    ASSERT_EQ(0, device.serverInitialize(8));
    device.setOpenAccess(true);
    ASSERT_EQ(0, device.serverStart(kUid));
    ASSERT_EQ(0, client.agentInitialize(8));
    Service echo(Service::Echo);
    const int s = client.connect(kUid, nullptr, 0, nullptr);
    ASSERT_GE(s, 0);
    const int port = freePort();
    ASSERT_GE(client.portMapping(s, port, echo.port), 0);
    const size_t mb = getenv("QV_TNL_LOSSY_MB") ? (size_t)atoi(getenv("QV_TNL_LOSSY_MB")) : 2;
    const int fd = dial(port);
    ASSERT_GE(fd, 0);
    const std::vector<uint8_t> data = pattern(mb << 20, 9);
    std::thread w([&] {
        sendAll(fd, data.data(), data.size());
        shutdown(fd, SHUT_WR);
    });
    const std::vector<uint8_t> back = readAll(fd, 60000);
    w.join();
    close(fd);
    EXPECT_TRUE(back == data) << back.size() << " of " << data.size();
    EXPECT_GT(net.link.lost(), 0u);
    client.closeSession(s, true);
    client.agentDeInitialize();
    device.serverStop();
    device.serverDeInitialize();
    tnl_Test_SetAuthWaitMs(0, 0);
}

// ---- a scripted client against the device side: the stream by hand

class ScriptedClient : public Tunnel {
  protected:
    // Opens a session to the device and its stream.
    int open() {
        const int sid = cl.connect(kUid);
        if (sid < 0) return sid;
        return RSC_Create(sid, 5000, 0);
    }
    static void put(int ch, const std::vector<uint8_t> &m) {
        RSC_Write(ch, m.data(), (int)m.size());
        RSC_Flush(ch);
    }
    // Reads n bytes within ms; what came.
    static std::vector<uint8_t> take(int ch, int n, int ms) {
        std::vector<uint8_t> b((size_t)n);
        int got = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (got < n && std::chrono::steady_clock::now() < end) {
            const int r = RSC_Read(ch, b.data() + got, n - got, 100);
            if (r == RSC_ERR_TIMEOUT) continue;
            if (r < 0) break;
            got += r;
        }
        b.resize((size_t)got);
        return b;
    }
};

TEST_F(ScriptedClient, MalformedRequestsAreDroppedUnjudged) {
    struct Case {
        const char *name;
        uint8_t type;
        uint16_t length;
        uint32_t authLength;
        int sent;  // auth bytes actually sent
    } cases[] = {
        {"declared 1,001 bytes", 7, 1009, 1001, 1001},
        {"length field disagrees", 7, 100, 128, 128},
        {"not a request", 2, 136, 128, 128},
        {"cut short", 7, 136, 128, 64},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        judge = AuthJudge{};
        const int ch = open();
        ASSERT_GE(ch, 0);
        std::vector<uint8_t> req(12 + (size_t)c.sent, 0x5a);
        tnl_Header_Write(req.data(), TunnelMessageHeader{c.type, 0, c.length});
        tnl_Put32(req.data() + 4, TNL_VERSION);
        tnl_Put32(req.data() + 8, c.authLength);
        put(ch, req);
        // No reply: the stream ends (the cut request after the device's wait of 3 s).
        EXPECT_TRUE(take(ch, 4, 6000).empty());
        EXPECT_EQ(0, judge.calls);
        RSC_Abort(ch);
    }
}

TEST_F(ScriptedClient, LanTestTicketsAreRedeemedOnceOverTcp) {
    const int ch = open();
    ASSERT_GE(ch, 0);
    put(ch, tnl_AuthRequest(kAuth, sizeof kAuth));
    ASSERT_EQ(8u, take(ch, 8, 3000).size());
    // Differing 16-bit fields: no answer.
    uint8_t p[8];
    tnl_Put32(p, 5000);
    tnl_Put16(p + 4, 1);
    tnl_Put16(p + 6, 2);
    put(ch, tnl_Message(TNL_LAN_TEST, 0, p, 8));
    tnl_Put16(p + 4, 0);
    tnl_Put16(p + 6, 0);
    put(ch, tnl_Message(TNL_LAN_TEST, 0, p, 8));
    const std::vector<uint8_t> reply = take(ch, 12, 3000);
    ASSERT_EQ(12u, reply.size());
    EXPECT_EQ(TNL_LAN_TEST_REPLY, reply[0]);
    EXPECT_EQ(4990u, tnl_Get32(reply.data() + 4));
    EXPECT_EQ(device.lanTestPort(), tnl_Get16(reply.data() + 10));
    // A value no ticket expects is closed without an answer; the right one once, then never again.
    struct Case {
        uint32_t value;
        bool answered;
    } cases[] = {{12345, false}, {4980, true}, {4980, false}};
    for (const Case &c : cases) {
        const int fd = dial(device.lanTestPort());
        ASSERT_GE(fd, 0);
        uint8_t v[4];
        tnl_Put32(v, c.value);
        sendAll(fd, v, 4);
        const std::vector<uint8_t> back = readAll(fd, 3000);
        close(fd);
        EXPECT_EQ(c.answered ? 4u : 0u, back.size()) << c.value;
        if (c.answered && back.size() == 4) {
            EXPECT_EQ(4970u, tnl_Get32(back.data()));
        }
    }
    RSC_Abort(ch);
}

// ---- a scripted device: the stream by hand

class ScriptedDevice : public ::testing::Test {
  protected:
    void SetUp() override {
        tnl_Test_SetAuthWaitMs(2000, 3000);
        ASSERT_EQ(0, dl.start(64, false));
        ASSERT_EQ(0, dl.registerDevice(kUid));
        ASSERT_EQ(0, client.agentInitialize(64));
    }
    void TearDown() override {
        if (peer.joinable()) peer.join();
        if (ch >= 0) RSC_Abort(ch);
        client.agentDeInitialize();
        dl.stop();
        tnl_Test_SetAuthWaitMs(0, 0);
    }
    // Accepts the next session, opens the stream, reads the request and runs the script on it.
    template <class F>
    void play(F script) {
        peer = std::thread([this, script] {
            const int sid = dl.accept();
            if (sid < 0) return;
            ch = RSC_Create(sid, 10000, 0);
            if (ch < 0) return;
            uint8_t req[12 + 128];
            int got = 0;
            while (got < (int)sizeof req) {
                const int r = RSC_Read(ch, req + got, (int)sizeof req - got, 100);
                if (r == RSC_ERR_TIMEOUT) continue;
                if (r < 0) return;
                got += r;
            }
            script(ch);
        });
    }
    static void put(int ch, const std::vector<uint8_t> &m) {
        RSC_Write(ch, m.data(), (int)m.size());
        RSC_Flush(ch);
    }

    FakeTunnelNet net;
    FakeLower cl{net}, dl{net};
    TunnelLib client{&cl};
    std::thread peer;
    std::atomic<int> ch{-1};
};

TEST_F(ScriptedDevice, RepliesJudged) {
    struct Case {
        const char *name;
        std::vector<std::vector<uint8_t>> pieces;
        int expect;
        int err;
        int holdMs;  // how long the device stays after its script
    } cases[] = {
        {"silent", {}, TNL_ERR_DROPPED, 777, 2500},
        {"accept in two pieces", {{8, 0, 4, 0}, {3, 0, 0, 0}}, 0, 3, 300},
        {"refusal in two pieces", {{9, 0, 4}, {0, 0xfb, 0xff, 0xff, 0xff}}, TNL_ERR_AUTH_REFUSED, -5, 300},
        {"garbage type", {{2, 0, 4, 0, 1, 2, 3, 4}}, TNL_ERR_AUTH_REFUSED, 777, 300},
        {"garbage length", {{8, 0, 200, 0}}, TNL_ERR_AUTH_REFUSED, 777, 300},
        {"short and then silent", {{8, 0}}, TNL_ERR_DROPPED, 777, 2500},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        play([&c](int ch) {
            for (const auto &p : c.pieces) {
                put(ch, p);
                std::this_thread::sleep_for(std::chrono::milliseconds(150));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(c.holdMs));
        });
        int err = 777;
        const int s = client.connect(kUid, kAuth, sizeof kAuth, &err);
        if (c.expect == 0) {
            EXPECT_GE(s, 0);
            client.closeSession(s, true);
        } else {
            EXPECT_EQ(c.expect, s);
        }
        EXPECT_EQ(c.err, err);
        peer.join();
        if (ch >= 0) RSC_Abort(ch);
        ch = -1;
    }
}

TEST_F(ScriptedDevice, FailedLanChecksLeaveTheSessionTunnelled) {
    const int closedPort = freePort();
    Service open(Service::Sink);
    struct Case {
        const char *name;
        uint8_t type;
        int valueDelta;  // added to the right value
        int port;
    } cases[] = {
        {"wrong value", TNL_LAN_TEST_REPLY, 1, open.port},
        {"wrong type", TNL_DATA, 0, open.port},
        {"unreachable test port", TNL_LAN_TEST_REPLY, 0, closedPort},
        {"test port that never answers", TNL_LAN_TEST_REPLY, 0, open.port},
    };
    cl.mode = PSL_MODE_LAN;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        play([&c](int ch) {
            put(ch, tnl_AuthReply(true, true, 0));
            uint8_t req[12];
            int got = 0;
            while (got < 12) {
                const int r = RSC_Read(ch, req + got, 12 - got, 100);
                if (r == RSC_ERR_TIMEOUT) continue;
                if (r < 0) return;
                got += r;
            }
            uint8_t p[8] = {};
            tnl_Put32(p, tnl_LanStep(tnl_Get32(req + 4)) + (uint32_t)c.valueDelta);
            tnl_Put16(p + 6, (uint16_t)c.port);
            put(ch, tnl_Message(c.type, 0, p, 8));
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        });
        const int s = client.connect(kUid, kAuth, sizeof kAuth, nullptr);
        ASSERT_GE(s, 0);
        const int m = client.portMapping(s, freePort(), 80);
        EXPECT_GE(m, 0);
        EXPECT_LT(m, 256);
        client.stopPortMapping(m);
        client.closeSession(s, true);
        peer.join();
        if (ch >= 0) RSC_Abort(ch);
        ch = -1;
    }
}

TEST_F(ScriptedDevice, ClientNeverDialsAndEndsOnOversizedMessages) {
    Drops drops;
    client.setStatusCallback(dropFn, &drops);
    Service trap(Service::Sink);
    std::promise<void> done;
    play([&](int ch) {
        put(ch, tnl_AuthReply(true, true, 0));
        // The device asks the client to connect to a service of the client's machine, and to run a LAN test.
        uint8_t target[16];
        tnl_ConnectTarget_Write(target, htonl(INADDR_LOOPBACK), (uint16_t)trap.port);
        put(ch, tnl_Message(TNL_CONNECT, 3, target, 16));
        uint8_t lan[8] = {200, 0, 0, 0, 0, 0, 0, 0};
        put(ch, tnl_Message(TNL_LAN_TEST, 0, lan, 8));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        // Then a message longer than any the protocol allows.
        uint8_t head[4];
        tnl_Header_Write(head, TunnelMessageHeader{TNL_DATA, 0, 8193});
        put(ch, std::vector<uint8_t>(head, head + 4));
        put(ch, std::vector<uint8_t>(8193, 0x55));
        done.set_value();
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    });
    const int s = client.connect(kUid, kAuth, sizeof kAuth, nullptr);
    ASSERT_GE(s, 0);
    done.get_future().wait();
    ASSERT_TRUE(waitFor(
        [&] {
            std::lock_guard<std::mutex> l(drops.m);
            return !drops.reports.empty();
        },
        5000));
    EXPECT_EQ(0, trap.accepted.load());
    EXPECT_FALSE(client.sessionInUse(s));
    // Nothing came back on the stream for the LAN test or the connect.
    uint8_t buf[64];
    EXPECT_GE(0, RSC_Read(ch, buf, sizeof buf, 0));
    client.closeSession(s, true);
}

TEST_F(ScriptedDevice, PeerIgnoringPauseLosesItsConnectionNotOurMemory) {
    const int port = freePort();
    std::atomic<int> mapped{-1};
    std::promise<void> flooded;
    play([&](int ch) {
        put(ch, tnl_AuthReply(true, true, 0));
        // Wait for the client's connect, then flood the connection whatever the client says.
        uint8_t head[4], body[16];
        for (;;) {
            int got = 0;
            while (got < 4) {
                const int r = RSC_Read(ch, head + got, 4 - got, 100);
                if (r == RSC_ERR_TIMEOUT) continue;
                if (r < 0) return;
                got += r;
            }
            const TunnelMessageHeader h = tnl_Header_Read(head);
            got = 0;
            while (got < h.length) {
                const int r = RSC_Read(ch, body + got, h.length - got, 100);
                if (r == RSC_ERR_TIMEOUT) continue;
                if (r < 0) return;
                got += r;
            }
            if (h.type == TNL_CONNECT) {
                const std::vector<uint8_t> chunk(8192, 0xAB);
                for (int i = 0; i < 1200; ++i)
                    put(ch, tnl_Message(TNL_DATA, h.connection, chunk.data(), 8192));
                flooded.set_value();
                return;
            }
        }
    });
    const int s = client.connect(kUid, kAuth, sizeof kAuth, nullptr);
    ASSERT_GE(s, 0);
    mapped = client.portMapping(s, port, 80);
    ASSERT_GE(mapped.load(), 0);
    const int fd = dial(port);
    ASSERT_GE(fd, 0);
    int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    flooded.get_future().wait();
    // 9.8 MB were pushed at a reader that takes nothing: the connection is reset above the cap.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    uint8_t buf[65536];
    ssize_t r;
    size_t total = 0;
    while ((r = recv(fd, buf, sizeof buf, 0)) > 0) total += (size_t)r;
    EXPECT_LT(total, (size_t)TNL_TO_LOCAL_CAP + (1u << 20));
    close(fd);
    client.closeSession(s, true);
}

}  // namespace

namespace {

// A device that honours flow control to the letter: it sends while not paused (one chunk more per HOLD)
// and records every flow message. The client's reader drains in bursts, so the connection is paused and
// resumed many times; on the wire the messages must alternate PAUSE, RESUME (a HOLD only while paused),
// since a PAUSE arriving after the RESUME that followed it would stop the device for good.
TEST_F(ScriptedDevice, FlowMessagesAlternateAndTheTransferEnds) {
    constexpr size_t kTotal = 12u << 20;
    const int port = freePort();
    std::vector<uint8_t> flow;
    std::atomic<bool> ended{false};
    play([&](int ch) {
        put(ch, tnl_AuthReply(true, true, 0));
        std::vector<uint8_t> in;
        uint8_t buf[4096];
        int conn = -1;
        bool paused = false;
        int extra = 0;
        size_t sent = 0;
        std::vector<uint8_t> chunk(8192);
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        while (std::chrono::steady_clock::now() < give_up) {
            const int r = RSC_Read(ch, buf, sizeof buf, conn < 0 || paused ? 20 : 0);
            if (r < 0 && r != RSC_ERR_TIMEOUT) return;
            if (r > 0) in.insert(in.end(), buf, buf + r);
            while (in.size() >= TNL_HEADER) {
                const TunnelMessageHeader h = tnl_Header_Read(in.data());
                if (in.size() < TNL_HEADER + (size_t)h.length) break;
                if (h.type == TNL_CONNECT) conn = h.connection;
                if (h.type == TNL_PAUSE || h.type == TNL_RESUME || h.type == TNL_HOLD) flow.push_back(h.type);
                if (h.type == TNL_PAUSE) paused = true;
                if (h.type == TNL_RESUME) paused = false, extra = 0;
                if (h.type == TNL_HOLD) extra = 1;
                in.erase(in.begin(), in.begin() + TNL_HEADER + h.length);
            }
            if (conn < 0) continue;
            if (sent == kTotal) {
                if (!ended) put(ch, tnl_Message(TNL_DATA_END, (uint8_t)conn));
                ended = true;
                continue;  // records what the client still says until it closes
            }
            if (paused && extra == 0) continue;
            if (paused) --extra;
            for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = (uint8_t)((sent + i) * 7);
            put(ch, tnl_Message(TNL_DATA, (uint8_t)conn, chunk.data(), (uint16_t)chunk.size()));
            sent += chunk.size();
        }
    });
    const int s = client.connect(kUid, kAuth, sizeof kAuth, nullptr);
    ASSERT_GE(s, 0);
    ASSERT_GE(client.portMapping(s, port, 80), 0);
    const int fd = dial(port);
    ASSERT_GE(fd, 0);
    int small = 65536;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    // Bursts of reading with pauses between: the backlog crosses both watermarks again and again.
    std::vector<uint8_t> got;
    uint8_t buf[65536];
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (got.size() < kTotal && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
        for (int i = 0; i < 24; ++i) {
            const ssize_t r = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (r <= 0) break;
            got.insert(got.end(), buf, buf + r);
        }
    }
    ASSERT_EQ(kTotal, got.size()) << "the transfer stalled";
    for (size_t i = 0; i < got.size(); i += 4099) ASSERT_EQ((uint8_t)(i * 7), got[i]) << i;
    close(fd);
    client.closeSession(s, true);
    if (peer.joinable()) peer.join();
    int pauses = 0;
    bool paused = false;
    for (size_t i = 0; i < flow.size(); ++i) {
        if (flow[i] == TNL_HOLD) {
            EXPECT_TRUE(paused) << "a HOLD outside a pause at " << i;
            continue;
        }
        EXPECT_NE(paused, flow[i] == TNL_PAUSE) << "two " << (paused ? "PAUSEs" : "RESUMEs") << " at " << i;
        paused = flow[i] == TNL_PAUSE;
        pauses += paused;
    }
    // A slow build can feed the reader slower than it reads: then there was nothing to order.
    if (pauses == 0) GTEST_SKIP() << "the device never got ahead of the reader: no pause to judge";
}

}  // namespace
