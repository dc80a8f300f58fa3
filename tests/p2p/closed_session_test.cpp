// A device that closed a session ignores that session's late packets for a while: a scripted client on real
// sockets (test-bed codec) sends each kind of late packet after the close, and nothing is answered or opened
// again. A network namespace of the test's own (scripts/netns-run).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

#include "p2p/psl_device.h"
#include "p2p/psl_lan.h"
#include "scripted_peer.h"

namespace {

using namespace qvtest;

constexpr const char *kUid = "QVTEST0000000000001A";
constexpr uint16_t kLanPort = 32763;

class ClosedSession : public ::testing::Test {
  public:  // the case table below reaches in
    void SetUp() override {
        if (const char *why = getenv("QV_NETNS_SKIP")) GTEST_SKIP() << why;
        PSL_Set_LanSearch_Port(kLanPort);
        ASSERT_EQ(PSL_Initialize(0), 0);
        ASSERT_EQ(PSL_Device_Listen(kUid), 0);
        ASSERT_TRUE(client.ok());
        main = bed::Addr{{127, 0, 0, 1}, ntohs(_PSL_MainPort())};
    }
    void TearDown() override { PSL_DeInitialize(); }

    bed::Fields search(uint32_t mode, int64_t a, int64_t b) {
        return {{"UID", std::string(kUid)},
                {"libraryVersion", int64_t{0x03010523}},
                {"randomID", a},
                {"mac", b},
                {"mode", int64_t{mode}},
                {"extra", int64_t{0}}};
    }
    bed::Fields hello(int64_t a, int64_t b) {
        return {{"UID", std::string(kUid)},
                {"randomID", a},
                {"mac", b},
                {"extra", int64_t{0}},
                {"routeFlags", int64_t{0}}};
    }
    bed::Fields words(int64_t a, int64_t b) {
        return {{"randomID", a}, {"mac", b}, {"sessionTag", int64_t{0}}, {"flags", int64_t{0x0a}}};
    }
    // The LAN connect (request, confirmation) of words a, b: the accepted session's id.
    int lan_connect(int64_t a, int64_t b) {
        client.send(lan, "MSG_LAN_SEARCH", "std", search(1, a, b));
        if (!client.recv(0x0602, 2000)) return -1000;
        client.send(main, "MSG_LAN_SEARCH", "std", search(2, a, b));
        return PSL_Accept(3000);
    }
    // The short exchange: a hello answer with the device's UID and a tag opens a session.
    int short_connect(int64_t tag) {
        client.send(main, "MSG_P2P_HELLO_R", "short24",
                    {{"UID", std::string(kUid)}, {"randomID", tag}, {"routeFlags", int64_t{0}}});
        return PSL_Accept(3000);
    }

    ScriptedPeer client{"127.0.0.1"};
    bed::Addr lan{{127, 0, 0, 1}, kLanPort};
    bed::Addr main;
};

// Each late packet of a session the device has just closed: no answer of the watched type, no session.
TEST_F(ClosedSession, LatePacketsOfAJustClosedSessionOpenNothing) {
    struct Case {
        const char *name;
        bool shortForm;  // opened by the short exchange (tag a)
        std::function<void(ClosedSession &, int64_t, int64_t)> late;
        uint16_t watch;  // an answer of this type would mean the session was taken up again (0: none)
    };
    const Case cases[] = {
        {"LAN connect request", false,
         [](ClosedSession &t, int64_t a, int64_t b) {
             t.client.send(t.lan, "MSG_LAN_SEARCH", "std", t.search(1, a, b));
         },
         0x0602},
        {"LAN request and confirmation", false,
         [](ClosedSession &t, int64_t a, int64_t b) {
             t.client.send(t.lan, "MSG_LAN_SEARCH", "std", t.search(1, a, b));
             t.client.send(t.main, "MSG_LAN_SEARCH", "std", t.search(2, a, b));
         },
         0x0602},
        {"long hello", false,
         [](ClosedSession &t, int64_t a, int64_t b) {
             t.client.send(t.main, "MSG_P2P_HELLO", "long28", t.hello(a, b));
         },
         0x0402},
        {"data and keep-alive by words", false,
         [](ClosedSession &t, int64_t a, int64_t b) {
             bed::Fields d = t.words(a, b);
             d.push_back({"data", bed::Bytes{'l', 'a', 't', 'e'}});
             d.push_back({"seq", int64_t{1}});
             d.push_back({"channel", int64_t{0}});
             t.client.send(t.main, "MSG_P2P_DATA_C", "ext", d);
             t.client.send(t.main, "MSG_P2P_ALIVE_C", "ext", t.words(a, b));
         },
         0},
        {"short hello answer with the same tag", true,
         [](ClosedSession &t, int64_t a, int64_t) {
             t.client.send(t.main, "MSG_P2P_HELLO_R", "short24",
                           {{"UID", std::string(kUid)}, {"randomID", a}, {"routeFlags", int64_t{0}}});
         },
         0},
    };
    int64_t a = 0x7100;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        a += 0x10;
        const int64_t b = a + 1;
        const int sid = c.shortForm ? short_connect(a) : lan_connect(a, b);
        ASSERT_GE(sid, 0);
        PSL_Session_Close(sid);
        client.count(0, 300);  // what the device still had on its way
        c.late(*this, a, b);
        if (c.watch) {
            EXPECT_FALSE(client.recv(c.watch, 500));
        }
        EXPECT_EQ(PSL_Accept(500), PSL_ERR_TIMEOUT);
    }
    // Other words connect as before.
    const int sid = lan_connect(0x7f00, 0x7f01);
    EXPECT_GE(sid, 0);
    PSL_Session_Close(sid);
}

// The clock seam: the library's clock runs ahead of the real one by an offset the test sets.
std::atomic<uint64_t> g_aheadMs{0};
uint64_t clock_ahead() {
    return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
               .count() +
           g_aheadMs.load();
}

// An entry lasts 20 s: just before, the closed session's words still open nothing; after, they connect.
TEST_F(ClosedSession, AnEntryExpiresAfterTwentySeconds) {
    g_aheadMs = 0;
    p2p_Clock_SetSource(clock_ahead);
    const int sid = lan_connect(0x7300, 0x7301);
    ASSERT_GE(sid, 0);
    PSL_Session_Close(sid);
    client.count(0, 300);
    g_aheadMs = 19500;
    EXPECT_EQ(_PSL_RecentPeer_Find(0x7300, 0x7301, 0), 1);
    client.send(lan, "MSG_LAN_SEARCH", "std", search(1, 0x7300, 0x7301));
    EXPECT_FALSE(client.recv(0x0602, 500));
    g_aheadMs = 20600;
    EXPECT_EQ(_PSL_RecentPeer_Find(0x7300, 0x7301, 0), 0);
    EXPECT_EQ(_PSL_RecentPeer_Count(), 0);  // dropped on the way
    const int again = lan_connect(0x7300, 0x7301);
    EXPECT_GE(again, 0);
    PSL_Session_Close(again);
    p2p_Clock_SetSource(nullptr);
}

// The list ends with the library: after a restart the same words connect again.
TEST_F(ClosedSession, TheListEndsWithTheLibrary) {
    const int sid = lan_connect(0x7200, 0x7201);
    ASSERT_GE(sid, 0);
    PSL_Session_Close(sid);
    EXPECT_EQ(_PSL_RecentPeer_Count(), 1);
    PSL_DeInitialize();
    EXPECT_EQ(_PSL_RecentPeer_Count(), 0);
    client.count(0, 300);
    ASSERT_EQ(PSL_Initialize(0), 0);
    ASSERT_EQ(PSL_Device_Listen(kUid), 0);
    main = bed::Addr{{127, 0, 0, 1}, ntohs(_PSL_MainPort())};
    const int again = lan_connect(0x7200, 0x7201);
    EXPECT_GE(again, 0);
    PSL_Session_Close(again);
}

}  // namespace
