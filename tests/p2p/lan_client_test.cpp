// The library's client side on the LAN against a scripted device (test-bed codec). A veth pair in the
// test's own namespace gives it a LAN interface: the kernel loops the broadcasts sent there back to the
// scripted device's socket, so the connect's LAN lookup reaches it without a second namespace.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "lan_topology.h"
#include "p2p/psl_byuid.h"
#include "p2p/psl_channels.h"
#include "p2p/psl_connect.h"
#include "p2p/psl_device.h"
#include "p2p/psl_lan.h"
#include "scripted_peer.h"

namespace {

using namespace qvtest;
using Clock = std::chrono::steady_clock;

constexpr const char *kUid = "QVTESTDEV00000000042";
constexpr uint16_t kLanPort = 32761;

// How the scripted device answers a connect request.
enum class Answer { kAccept, kFull, kFullOldDevice, kOldShort, kSilent };

class LanClient : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const char *why = getenv("QV_NETNS_SKIP")) GTEST_SKIP() << why;
        if (!getenv("QV_NETNS")) GTEST_SKIP() << "not in a namespace of the test's own (scripts/netns-run)";
        if (geteuid() != 0) GTEST_SKIP() << "the LAN interface needs root";
        if (run("ip link add qvlan0 type veth peer name qvlan1") != 0 ||
            run("ip addr add 192.168.31.2/24 dev qvlan0") != 0 || run("ip link set qvlan0 up") != 0 ||
            run("ip link set qvlan1 up") != 0)
            GTEST_SKIP() << "cannot make a veth pair";
        PSL_Set_LanSearch_Port(
            kLanPort);  // a setting outlives the library: an earlier test may have moved it
        ASSERT_EQ(PSL_Initialize(0), 0);
        PSL_Set_LanLookup_Time(2000);
    }
    void TearDown() override {
        stop = true;
        if (device.joinable()) device.join();
        PSL_DeInitialize();
        run("ip link del qvlan0");
    }
    // The scripted device: answers connect requests as told and, once confirmed, echoes data.
    void run_device(Answer how) {
        device = std::thread([this, how] {
            ScriptedPeer lan{"0.0.0.0", kLanPort};
            ScriptedPeer main{"192.168.31.2"};
            while (!stop) {
                auto req = lan.recv(0x0601, 50);
                if (!req) {
                    if (auto h = main.recv(0, 10)) on_main(main, *h);
                    continue;
                }
                const bed::Fields f = fields_of(req->packet);
                if (num(f, "mode") != 1) continue;
                ++requests;
                if (how == Answer::kSilent) continue;
                if (how == Answer::kOldShort) {
                    main.send(req->from, "MSG_LAN_SEARCH_R", "old36", {{"UID", std::string(kUid)}});
                    continue;
                }
                bed::Layout l = *bed::find_layout("MSG_LAN_SEARCH_R", "full184");
                bed::Fields a = {{"UID", std::string(kUid)},
                                 {"description", std::string("scripted")},
                                 {"libraryVersion", int64_t{0x03010523}},
                                 {"randomID", num(f, "randomID")},
                                 {"mac", num(f, "mac")},
                                 {"mode", int64_t{how == Answer::kAccept ? 1 : 3}}};
                auto plain = bed::build_plain(l, a);
                if (!plain) continue;
                if (how == Answer::kFullOldDevice) {
                    (*plain)[2] = 6;   // header version
                    (*plain)[11] = 2;  // routeFlags: table full
                    (*plain)[PSL_HEADER_SIZE + 180] = 1;
                }
                main.send_raw(req->from, bed::seal(*plain));
            }
        });
    }
    void on_main(ScriptedPeer &main, const Received &r) {
        const bed::Fields f = fields_of(r.packet);
        if (r.packet.header.type == 0x0601 && num(f, "mode") == 2) ++confirmations;
        if (r.packet.header.type == 0x0401 && r.packet.header.length == 24) {
            // The older device's short exchange: answer the hello, expect its acknowledgement.
            ++hellos;
            main.send(
                r.from, "MSG_P2P_HELLO_R", "short24",
                {{"UID", std::string(kUid)}, {"randomID", num(f, "randomID")}, {"routeFlags", int64_t{0}}});
        }
        if (r.packet.header.type == 0x0404) ++acks;
        if (r.packet.header.type == 0x0402) ++knocks;
        if (r.packet.header.type == 0x0417) ++closes;
    }

    std::thread device;
    std::atomic<bool> stop{false};
    std::atomic<int> requests{0}, confirmations{0}, hellos{0}, acks{0}, closes{0}, knocks{0};
};

TEST_F(LanClient, AcceptingAnswerIsConfirmedAndConnects) {
    run_device(Answer::kAccept);
    const int sid = PSL_Connect_ByUID(kUid);
    ASSERT_GE(sid, 0) << sid;
    PSLSessionInfo info{};
    info.size = sizeof info;
    ASSERT_EQ(PSL_Session_Check_Ex(sid, &info), 0);
    EXPECT_EQ(info.mode, PSL_MODE_LAN);
    EXPECT_STREQ(info.remoteIP, "192.168.31.2");
    for (int i = 0; i < 100 && confirmations.load() == 0; ++i) usleep(10000);
    EXPECT_GE(confirmations.load(), 1);
}

// After the LAN connect the client knocks with its hello answer every half second until the device answers
// on the session (its keep-alive); then it stops.
TEST_F(LanClient, KnocksAfterConnectingUntilTheDeviceAnswers) {
    run_device(Answer::kAccept);
    const int sid = PSL_Connect_ByUID(kUid);
    ASSERT_GE(sid, 0) << sid;
    usleep(1600000);
    const int knocked = knocks.load();
    EXPECT_GE(knocked, 2);
    EXPECT_LE(knocked, 5);
    psl_session_lock();
    const int64_t a = _PSL_Session(sid)->randomID, b = _PSL_Session(sid)->mac;
    psl_session_unlock();
    ScriptedPeer dev{"192.168.31.2"};
    ASSERT_TRUE(
        dev.send(bed::Addr{{127, 0, 0, 1}, ntohs(_PSL_MainPort())}, "MSG_P2P_ALIVE_D", "ext",
                 {{"randomID", a}, {"mac", b}, {"sessionTag", int64_t{0}}, {"flags", int64_t{0x0a}}}));
    usleep(600000);  // a knock already on its way is not counted below
    const int answered = knocks.load();
    usleep(1500000);
    EXPECT_EQ(knocks.load(), answered);
    PSL_Session_Close(sid);
}

TEST_F(LanClient, RefusalsEndTheConnectWithTheirCodes) {
    struct Case {
        Answer how;
        int expect;
    } cases[] = {{Answer::kFull, -48}, {Answer::kFullOldDevice, PSL_ERR_OLD_PEER}};
    for (const Case &c : cases) {
        stop = false;
        run_device(c.how);
        EXPECT_EQ(PSL_Connect_ByUID(kUid), c.expect);
        stop = true;
        device.join();
    }
}

TEST_F(LanClient, OlderDeviceIsReachedByTheShortHelloExchange) {
    run_device(Answer::kOldShort);
    const int sid = PSL_Connect_ByUID(kUid);
    ASSERT_GE(sid, 0) << sid;
    EXPECT_GE(hellos.load(), 1);
    for (int i = 0; i < 100 && acks.load() == 0; ++i) usleep(10000);
    EXPECT_GE(acks.load(), 1);
    PSLSessionInfo info{};
    info.size = sizeof info;
    ASSERT_EQ(PSL_Session_Check_Ex(sid, &info), 0);
    EXPECT_EQ(info.mode, PSL_MODE_LAN);  // a private address
}

// The LAN lookup off or run out does not end the connect: the servers' road goes on (no server answers
// here) until the connect is aborted.
TEST_F(LanClient, LookupOffOrRunningOutLeavesTheServersRoad) {
    run_device(Answer::kSilent);
    for (int lookupMs : {0, 500}) {
        SCOPED_TRACE(lookupMs);
        PSL_Set_LanLookup_Time(lookupMs);
        const int before = requests.load();
        std::atomic<int> rc{1};
        std::thread t([&] { rc = PSL_Connect_ByUID(kUid); });
        usleep(1200000);
        EXPECT_EQ(rc.load(), 1);
        PSL_Connect_Abort_All();
        t.join();
        EXPECT_EQ(rc.load(), PSL_ERR_ABORTED);
        if (lookupMs == 0)
            EXPECT_EQ(requests.load(), before);
        else
            EXPECT_GE(requests.load() - before, 2);  // every 100 ms while it ran
    }
}

// With no verdict from any road, a blocking connect still ends: after the callback form's limit it is
// unreachable (the clock seam jumps past the limit).
std::atomic<uint64_t> g_clockOffsetMs{0};
uint64_t shifted_clock() {
    return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
               .count() +
           g_clockOffsetMs.load();
}

TEST_F(LanClient, ABlockingConnectWithoutAVerdictEndsAtTheLimit) {
    run_device(Answer::kSilent);
    PSL_Set_LanLookup_Time(0);
    g_clockOffsetMs = 0;
    p2p_Clock_SetSource(shifted_clock);
    std::atomic<int> rc{1};
    std::thread t([&] { rc = PSL_Connect_ByUID(kUid); });
    usleep(300000);
    EXPECT_EQ(rc.load(), 1);  // still searching
    g_clockOffsetMs = 66000;
    for (int i = 0; i < 300 && rc.load() == 1; ++i) usleep(10000);
    EXPECT_EQ(rc.load(), PSL_ERR_UNREACHABLE);
    if (rc.load() == 1) PSL_Connect_Abort_All();
    t.join();
    p2p_Clock_SetSource(nullptr);
}

// Eleven scripted devices answer every search, each from a socket of its own; one is an older device with
// the 36-byte answer.
void answer_searches(std::atomic<bool> &stop) {
    ScriptedPeer lan{"0.0.0.0", kLanPort};
    std::vector<std::unique_ptr<ScriptedPeer>> devices;
    for (int i = 0; i < 11; ++i) devices.push_back(std::make_unique<ScriptedPeer>("192.168.31.2"));
    while (!stop) {
        auto req = lan.recv(0, 50);
        if (!req || (req->packet.header.type != 0x0601 && req->packet.header.type != 0x0603)) continue;
        for (int i = 0; i < 11; ++i) {
            char uid[21];
            snprintf(uid, sizeof uid, "QVTESTDEV0000000%04d", i);
            if (i == 10) {
                devices[i]->send(req->from, "MSG_LAN_SEARCH_R", "old36", {{"UID", std::string(uid)}});
                continue;
            }
            devices[i]->send(req->from, "MSG_LAN_SEARCH_R", "full184",
                             {{"UID", std::string(uid)},
                              {"description", std::string("device ") + std::to_string(i)},
                              {"libraryVersion", int64_t{0x03010523}},
                              {"randomID", int64_t{0}},
                              {"mac", int64_t{0}},
                              {"mode", int64_t{0}}});
        }
    }
}

TEST_F(LanClient, DeviceSearchListGrowsAndHandsEachDeviceOutOnce) {
    device = std::thread([this] { answer_searches(stop); });
    ASSERT_EQ(PSL_LanFind_Begin(3000, 0), 0);
    std::vector<PSLLanFindInfo> all(32);
    int n = 0;
    for (int i = 0; i < 200 && n < 11; ++i) {
        usleep(10000);
        n = PSL_LanFind_Fetch(all.data(), 32, 1);
    }
    ASSERT_EQ(n, 11);  // the first ten records grew to twenty without losing one
    int older = 0;
    for (int i = 0; i < n; ++i)
        if (strcmp(all[i].description, " ") == 0) ++older;
    EXPECT_EQ(older, 1);
    EXPECT_EQ(PSL_LanFind_Fetch(all.data(), 32, 0), 0);  // handed out by the walk above
    EXPECT_EQ(PSL_LanFind_End(), 0);

    PSLLanSearchInfo two[2] = {};
    EXPECT_EQ(PSL_Search_LAN(two, 2, 300), 2);
    EXPECT_STRNE(two[0].uid, two[1].uid);
    EXPECT_STREQ(two[0].ip, "192.168.31.2");
    PSLLanSearchInfo many[16] = {};
    EXPECT_EQ(PSL_Search_LAN(many, 16, 300), 11);
}

// The library stopped while a connect waits: the connect ends with -12, the stop within bounds, and the
// library starts again.
TEST_F(LanClient, StopDuringAConnectEndsItAndLeavesNothingBehind) {
    run_device(Answer::kSilent);
    PSL_Set_LanLookup_Time(-1);
    for (int cycle = 0; cycle < 3; ++cycle) {
        std::atomic<int> rc{1};
        std::thread t([&] { rc = PSL_Connect_ByUID(kUid); });
        for (int i = 0; i < 100 && requests.load() == 0; ++i) usleep(10000);
        usleep(100000);
        const auto t0 = Clock::now();
        ASSERT_EQ(PSL_DeInitialize(), 0);
        t.join();
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(), 5000);
        EXPECT_EQ(rc.load(), PSL_ERR_NOT_INIT);
        ASSERT_EQ(PSL_Initialize(0), 0);
        requests = 0;
    }
}

TEST_F(LanClient, ClosingAConnectingSessionSendsNoClose) {
    run_device(Answer::kSilent);
    const int sid = PSL_Connect_ByUID_Start(kUid, nullptr, nullptr);
    ASSERT_GE(sid, 0);
    for (int i = 0; i < 100 && requests.load() == 0; ++i) usleep(10000);
    PSL_Session_Close(sid);
    usleep(300000);
    EXPECT_EQ(closes.load(), 0);
    PSLSessionInfo info{};
    info.size = sizeof info;
    EXPECT_EQ(PSL_Session_Check_Ex(sid, &info), PSL_ERR_SESSION);  // freed

    // A connected one sends its three.
    stop = true;
    device.join();
    stop = false;
    run_device(Answer::kAccept);
    const int s2 = PSL_Connect_ByUID(kUid);
    ASSERT_GE(s2, 0);
    PSL_Session_Close(s2);
    for (int i = 0; i < 50 && closes.load() < 3; ++i) usleep(10000);
    usleep(100000);
    EXPECT_EQ(closes.load(), 3);
}

}  // namespace
