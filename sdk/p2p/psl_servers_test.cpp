// The server side's tables and verdicts without sockets: the UID cache, the group table, the NAT type, the
// route verdicts of a connecting session, and the sender checks of the server answers (packets handed to
// the dispatcher as if they came from the given address).
#include "p2p/psl_servers.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "p2p/psl_connect.h"
#include "p2p/psl_dispatch.h"
#include "p2p/psl_master.h"
#include "p2p/psl_messages.h"
#include "p2p/psl_session.h"

namespace {

constexpr char kUid[] = "QVTEST0000000000001A";

std::vector<uint8_t> block(const char *ip, uint16_t port) {
    std::vector<uint8_t> b(16);
    in_addr a{};
    inet_pton(AF_INET, ip, &a);
    p2p_AddrBlock_Write(b.data(), a.s_addr, htons(port));
    return b;
}

p2p_NetAddr addr(const char *ip, uint16_t port) {
    p2p_NetAddr a{};
    p2p_Net_ResolveAddr(ip, htons(port), &a);
    return a;
}

class ServerSide : public ::testing::Test {
  protected:
    void SetUp() override {
        const char *hosts[4] = {"127.0.0.1", nullptr, nullptr, nullptr};
        ASSERT_EQ(PSL_Initialize_WithServers(0, hosts[0], nullptr, nullptr, nullptr), 0);
    }
    void TearDown() override { PSL_DeInitialize(); }

    // A session connecting to kUid with its context ready.
    int connecting() {
        const int sid = _PSL_AllocSession();
        EXPECT_GE(sid, 0);
        psl_session_lock();
        PSLSessionRecord *r = _PSL_Session(sid);
        strcpy(r->remoteUID, kUid);
        _PSL_NewSessionWords(sid);
        PSLConnectCtx *c = _PSL_ConnectCtx(sid);
        _PSL_ConnectCtx_Reset(sid);
        c->randomID = r->randomID;
        c->mac = r->mac;
        psl_session_unlock();
        return sid;
    }
    // Hands a built message to the dispatcher as if host:port had sent it.
    void deliver(const char *name, const char *form, std::vector<PslValue> v, const char *host,
                 uint16_t port) {
        const PslMsgDef *m = psl_Msg_ByName(name);
        ASSERT_NE(m, nullptr) << name;
        uint8_t pkt[PSL_SEND_MAX];
        const int n = psl_Msg_Build(m, psl_Msg_Form(m, form), v.data(), v.size(), pkt, sizeof pkt);
        ASSERT_GT(n, 0) << name;
        _PSL_DispatchMessage(pkt, (size_t)n, host, htons(port), nullptr, 0);
    }
    PslValue uid() { return {"UID", 0, reinterpret_cast<const uint8_t *>(kUid), 20, nullptr, 0}; }
    void groupAnswer(const char *host, uint16_t port) {
        groupServers = block("127.0.0.2", 20001);
        const auto s2 = block("127.0.0.3", 20001);
        groupServers.insert(groupServers.end(), s2.begin(), s2.end());
        observed = block("127.0.0.9", 4000);
        const uint32_t ids[3] = {1, 2, 3};
        deliver("MSG_QUERY_GROUP_R", "records",
                {uid(),
                 {"addr", 0, observed.data(), 16, nullptr, 0},
                 {"recordCount", 2, nullptr, 0, nullptr, 0},
                 {"groupIds", 0, nullptr, 0, ids, 3},
                 {"servers", 0, groupServers.data(), groupServers.size(), nullptr, 0}},
                host, port);
    }
    std::vector<uint8_t> groupServers, observed;
};

TEST_F(ServerSide, UidCacheOverwritesByRotationAndKeepsOneRecordPerUid) {
    uint8_t rec[84] = {};
    for (int i = 0; i < 64; ++i) {
        snprintf(reinterpret_cast<char *>(rec), 21, "UID%017d", i);
        _PSL_GroupCache_Store(rec);
    }
    EXPECT_EQ(_PSL_UidCache_Find("UID00000000000000000"), 0);
    snprintf(reinterpret_cast<char *>(rec), 21, "UID%017d", 5);
    _PSL_GroupCache_Store(rec);  // the same UID again: its own record
    EXPECT_EQ(_PSL_UidCache_Find("UID00000000000000005"), 5);
    snprintf(reinterpret_cast<char *>(rec), 21, "UID%017d", 64);
    _PSL_GroupCache_Store(rec);  // a 65th overwrites the first by rotation
    EXPECT_EQ(_PSL_UidCache_Find("UID00000000000000000"), -1);
    EXPECT_EQ(_PSL_UidCache_Find("UID00000000000000064"), 0);
}

TEST_F(ServerSide, GroupMergeAddsOnlyNewAddressesAndKeepsTheFirstOfEqualOnes) {
    const uint16_t ids[3] = {7, 8, 9};
    std::vector<uint8_t> b = block("198.18.0.11", 20001);
    const auto dup = block("198.18.0.11", 20001);
    b.insert(b.end(), dup.begin(), dup.end());
    _PSL_ServerGroups_Merge(ids, b.data(), 2);
    const int g = _PSL_ServerGroup_Find(7, 8, 9);
    ASSERT_GE(g, 0);
    PslServerAddr out[8];
    ASSERT_EQ(_PSL_GroupAddresses(g, out, 8), 1);
    EXPECT_STREQ(out[0].host, "198.18.0.11");
    const auto more = block("198.18.0.12", 20001);
    b.insert(b.end(), more.begin(), more.end());
    _PSL_ServerGroups_Merge(ids, b.data(), 3);
    ASSERT_EQ(_PSL_GroupAddresses(g, out, 8), 2);
    EXPECT_STREQ(out[1].host, "198.18.0.12");
    EXPECT_EQ(ntohs(out[1].portNet), 20001);
    EXPECT_EQ(_PSL_IsGroupServer(&(const p2p_NetAddr &)addr("198.18.0.12", 20001), g), 1);
    EXPECT_EQ(_PSL_IsGroupServer(&(const p2p_NetAddr &)addr("198.18.0.12", 20002), -1), 0);
}

TEST_F(ServerSide, NatTypeFromRepeatedProbeAnswers) {
    const auto a = block("198.18.0.101", 5000);
    _PSL_UpdateNatType(a.data());
    EXPECT_EQ(_PSL_NatType(), PSL_NAT_UNKNOWN);  // one answer tells nothing yet
    _PSL_UpdateNatType(a.data());
    EXPECT_EQ(_PSL_NatType(), PSL_NAT_CONE);
    const auto b = block("198.18.0.101", 5001);
    _PSL_UpdateNatType(b.data());
    EXPECT_EQ(_PSL_NatType(), PSL_NAT_SYMMETRIC);
    _PSL_UpdateNatType(b.data());
    _PSL_UpdateNatType(b.data());
    EXPECT_EQ(_PSL_NatType(), PSL_NAT_SYMMETRIC);
    uint8_t obs[PSL_OBSERVED * 16];
    uint32_t flags[PSL_OBSERVED];
    _PSL_ObservedAddresses(obs, flags);
    EXPECT_EQ(0, memcmp(obs, b.data(), 16));  // the symmetric NAT's new port replaced the slot
    EXPECT_EQ(flags[0] & 1, 1u);
}

struct StepCase {
    const char *what;
    int lanState, serverState, tcpState, reachState, connectMode;
    uint8_t sleepClass;  // of both server entries; 255: no entries
    int masterState;
    int expected;
};

// The verdicts of the route step, the TCP ones included (the TCP route sets tcpState).
TEST_F(ServerSide, ServerRouteStepVerdicts) {
    const StepCase cases[] = {
        {"masters silent, no fixed server", 2, -1, 3, 3, 0, 0, 1, PSL_ERR_NO_INTERNET},
        {"masters silent, fixed server up", -1, -1, 6, 4, 0, 0, 1, PSL_ERR_MASTERS_SILENT},
        {"masters silent, reach unknown", 2, -1, 3, 2, 0, 0, 1, PSL_ERR_SERVERS_UNREACHABLE},
        {"servers unreachable over TCP", 2, -1, 8, 0, 0, 0, 1, PSL_ERR_SERVERS_UNREACHABLE},
        {"device answered over TCP", 2, -1, 10, 0, 0, 0, 1, 3},
        {"servers silent over TCP", 2, -1, 11, 0, 0, 0, 1, PSL_ERR_UNREACHABLE},
        {"probes unanswered", 2, -2, 8, 0, 0, 0, 1, PSL_ERR_NOT_ANSWERED},
        {"device query unanswered", 2, -3, 11, 0, 0, 0, 1, PSL_ERR_UNREACHABLE},
        {"device query unanswered, waking", 2, -3, 6, 0, 0, 192, 1, PSL_ERR_DEVICE_ASLEEP},
        {"LAN still looking", 0, -1, 3, 3, 0, 0, 1, 0},
        {"LAN gave up, no masters", -1, 1, 0, 0, 0, 0, 2, PSL_ERR_NO_MASTER},
        {"every address asleep", 2, 5, 0, 0, 0, 237, 1, PSL_ERR_ASLEEP},
        {"no address reported", 2, 5, 0, 0, 0, 255, 1, PSL_ERR_ASLEEP},
        {"device known, parallel", 0, 6, 0, 0, 1, 0, 1, 2},
        {"device known, older, LAN running", 0, 6, 0, 0, 2, 0, 1, 0},
        {"device known, older, LAN over", 2, 6, 0, 0, 2, 0, 1, 2},
        {"TCP answer while masters asked", 2, 1, 10, 0, 0, 0, 1, 3},
    };
    for (const StepCase &k : cases) {
        SCOPED_TRACE(k.what);
        const int sid = connecting();
        psl_session_lock();
        PSLSessionRecord *r = _PSL_Session(sid);
        PSLConnectCtx *c = _PSL_ConnectCtx(sid);
        r->lanState = k.lanState;
        r->serverState = k.serverState;
        r->tcpState = k.tcpState;
        r->reachState = k.reachState;
        r->connectMode = k.connectMode;
        if (k.sleepClass != 255)
            for (int i = 0; i < 2; ++i) {
                c->entries[i].addrA = addr(i ? "127.0.0.3" : "127.0.0.2", 20001);
                c->entries[i].hasA = 1;
                c->entries[i].sleepClass = k.sleepClass;
            }
        psl_session_unlock();
        _PSL_SetMasterState(k.masterState);
        EXPECT_EQ(_PSL_ServerRouteStep(sid, 0), k.expected);
        _PSL_SetMasterState(PSL_MASTERS_READY);
        _PSL_FreeSession(_PSL_Session(sid));
    }
}

TEST_F(ServerSide, AbortChecksInOrder) {
    const int sid = connecting();
    EXPECT_EQ(_PSL_CheckConnectAbort(sid), 0);
    _PSL_Session(sid)->uidRejected = 1;
    EXPECT_EQ(_PSL_CheckConnectAbort(sid), PSL_ERR_UID);
    PSL_Connect_Abort_All();
    EXPECT_EQ(_PSL_CheckConnectAbort(sid), PSL_ERR_ABORTED);
    _PSL_ClearConnectAbort();
    _PSL_Session(sid)->reservedByCaller = 1;  // a reserved session watches its own flag only
    PSL_Connect_Abort_All();
    EXPECT_EQ(_PSL_CheckConnectAbort(sid), PSL_ERR_UID);
    EXPECT_EQ(PSL_Connect_Abort(sid), 0);
    EXPECT_EQ(_PSL_CheckConnectAbort(sid), PSL_ERR_ABORTED);
    EXPECT_EQ(PSL_Connect_Abort(_PSL_MaxSessions()), PSL_ERR_SESSION);
}

// Group answers and refusals count only from a master; device answers only from a server of the session's
// group.
TEST_F(ServerSide, AnswersFromOtherSendersAreDropped) {
    const int sid = connecting();
    _PSL_Session(sid)->serverState = 1;
    groupAnswer("127.0.0.66", 10240);  // not a master
    EXPECT_EQ(_PSL_Session(sid)->serverState.load(), 1);
    EXPECT_EQ(_PSL_GroupIndexOfUid(kUid), -1);
    groupAnswer("127.0.0.1", 10241);  // the master's address, another port
    EXPECT_EQ(_PSL_Session(sid)->serverState.load(), 1);
    deliver("MSG_UID_REFUSED", "std", {uid()}, "127.0.0.66", 10240);
    EXPECT_EQ(_PSL_Session(sid)->uidRejected.load(), 0);
    deliver("MSG_UID_NOTICE", "std", {uid()}, "127.0.0.2", 20001);
    EXPECT_EQ(_PSL_Session(sid)->tcpRelayRefused.load(), 0);
    deliver("MSG_UID_NOTICE", "std", {uid()}, "127.0.0.1", 10240);
    EXPECT_EQ(_PSL_Session(sid)->tcpRelayRefused.load(), 1);

    groupAnswer("127.0.0.1", 10240);
    EXPECT_EQ(_PSL_Session(sid)->serverState.load(), 2);
    EXPECT_GE(_PSL_GroupIndexOfUid(kUid), 0);

    // A probe answer from a stranger changes nothing; from a group server it moves the probing session on.
    _PSL_Session(sid)->serverState = 3;
    const auto seen = block("127.0.0.9", 4000);
    deliver("MSG_PROBE_EX_R", "std", {{"addr", 0, seen.data(), 16, nullptr, 0}}, "127.0.0.66", 20001);
    EXPECT_EQ(_PSL_NatType(), PSL_NAT_UNKNOWN);
    EXPECT_EQ(_PSL_Session(sid)->serverState.load(), 3);
    deliver("MSG_PROBE_EX_R", "std", {{"addr", 0, seen.data(), 16, nullptr, 0}}, "127.0.0.2", 20001);
    EXPECT_EQ(_PSL_Session(sid)->serverState.load(), 4);
    EXPECT_EQ(_PSL_NatType(), PSL_NAT_CONE);  // the master and the server saw the same address

    _PSL_Session(sid)->serverState = 5;
    std::vector<PslValue> answer = {uid(),
                                    {"wakeSeconds", 0, nullptr, 0, nullptr, 0},
                                    {"natType", 2, nullptr, 0, nullptr, 0},
                                    {"libraryVersion", PSL_LIBRARY_VERSION, nullptr, 0, nullptr, 0}};
    deliver("MSG_QUERY_DEVICE_R", "std", answer, "127.0.0.66", 20001);
    deliver("MSG_QUERY_DEVICE_R", "std", answer, "127.0.0.1", 10240);  // a master is not a group server
    EXPECT_EQ(_PSL_Session(sid)->serverState.load(), 5);
    deliver("MSG_DEVICE_ASLEEP", "std", {uid()}, "127.0.0.66", 20001);
    EXPECT_EQ(_PSL_ServerRouteStep(sid, 0), 0);  // the stranger's asleep mark did not count
    deliver("MSG_QUERY_DEVICE_R", "std", answer, "127.0.0.3", 20001);
    EXPECT_EQ(_PSL_Session(sid)->serverState.load(), 6);
    EXPECT_EQ(_PSL_Session(sid)->connectMode.load(), 1);
    EXPECT_EQ(_PSL_Session(sid)->peerNatType, 2);
    psl_session_lock();
    EXPECT_EQ(_PSL_ConnectCtx(sid)->firstAnswerEntry, 1);
    psl_session_unlock();

    deliver("MSG_UID_REFUSED", "std", {uid()}, "127.0.0.1", 10240);
    EXPECT_EQ(_PSL_Session(sid)->uidRejected.load(), 1);
    EXPECT_EQ(_PSL_CheckConnectAbort(sid), PSL_ERR_UID);
}

TEST_F(ServerSide, ShortAnswersAreDropped) {
    const int sid = connecting();
    _PSL_Session(sid)->serverState = 1;
    // A group answer whose server record claims more than the payload holds.
    uint8_t pkt[PSL_HEADER_SIZE + 64] = {};
    PSLPacketHeader h{};
    h.magic = PSL_MAGIC;
    h.version = PSL_VERSION;
    h.type = 0x1008;
    h.length = 64;
    psl_Header_Write(pkt, &h);
    memcpy(pkt + PSL_HEADER_SIZE, kUid, 20);
    psl_PutU16(pkt + PSL_HEADER_SIZE + 54, 1);
    pkt[PSL_HEADER_SIZE + 56] = 2;
    psl_PutU16(pkt + PSL_HEADER_SIZE + 58, 160);
    _PSL_DispatchMessage(pkt, sizeof pkt, "127.0.0.1", htons(10240), nullptr, 0);
    EXPECT_EQ(_PSL_Session(sid)->serverState.load(), 1);
    for (uint16_t type : {0x0008, 0x0212, 0x8004, 0x0106}) {
        h.type = type;
        h.length = 8;
        psl_Header_Write(pkt, &h);
        _PSL_DispatchMessage(pkt, PSL_HEADER_SIZE + 8, "127.0.0.1", htons(10240), nullptr, 0);
    }
    EXPECT_EQ(_PSL_Session(sid)->uidRejected.load(), 0);
    EXPECT_EQ(_PSL_ProbeAnswered(), 0);
}

TEST_F(ServerSide, OlderDeviceVersionGivesTheSequentialMode) {
    const int sid = connecting();
    _PSL_Session(sid)->serverState = 1;
    groupAnswer("127.0.0.1", 10240);
    _PSL_Session(sid)->serverState = 5;
    deliver("MSG_QUERY_DEVICE_R", "std", {uid(), {"libraryVersion", 0x010D0000, nullptr, 0, nullptr, 0}},
            "127.0.0.2", 20001);
    EXPECT_EQ(_PSL_Session(sid)->serverState.load(), 6);
    EXPECT_EQ(_PSL_Session(sid)->connectMode.load(), 2);
    deliver("MSG_QUERY_DEVICE_R", "std",
            {uid(), {"libraryVersion", PSL_LIBRARY_VERSION, nullptr, 0, nullptr, 0}}, "127.0.0.3", 20001);
    EXPECT_EQ(_PSL_Session(sid)->connectMode.load(), 2);  // a second answer does not change the mode
}

TEST_F(ServerSide, ProbeArgumentsAndFullTable) {
    EXPECT_EQ(PSL_Probe_Device_ByUID("QVTEST000000000001", 1000, nullptr, nullptr), PSL_ERR_UID);
    EXPECT_EQ(PSL_Probe_Device_ByUID("QVTEST-000000000001A", 1000, nullptr, nullptr), PSL_ERR_UID);
    for (int i = 0; i < _PSL_MaxSessions(); ++i) ASSERT_GE(_PSL_AllocSession(), 0);
    EXPECT_EQ(PSL_Probe_Device_ByUID(kUid, 1000, nullptr, nullptr), PSL_ERR_NO_SESSION);
}

struct RouteCase {
    const char *what;
    bool parallel;
    int punchState, relayState, peerNat, natType;
    int expected, punchAfter, relayAfter;
};

// Phase B: the steps start the punch and relay tasks (states 1), skip punching for hard NATs and TCP-only
// devices (2), and read the routes' outcomes.
TEST_F(ServerSide, RouteStepsOfPhaseB) {
    const RouteCase cases[] = {
        {"sequential: punching first", false, 0, 0, 2, 2, 0, 1, 0},
        {"sequential: hard NATs skip punching for the relay", false, 0, 0, 3, 3, 0, 2, 1},
        {"sequential: P2P up", false, 3, 0, 2, 2, 4, 3, 0},
        {"sequential: relay up", false, -1, 5, 2, 2, 5, -1, 5},
        {"sequential: relay asking", false, -1, 1, 2, 2, 0, -1, 1},
        {"parallel: both start", true, 0, 0, 2, 2, 0, 1, 1},
        {"parallel: TCP-only device never punched", true, 0, 0, 10, 2, 0, 2, 1},
        {"parallel: both gave up", true, -1, -1, 2, 2, PSL_ERR_ROUTES_GAVE_UP, -1, -1},
        {"parallel: relay up", true, 1, 5, 2, 2, 5, 1, 5},
    };
    for (const RouteCase &k : cases) {
        SCOPED_TRACE(k.what);
        const int sid = connecting();
        PSLSessionRecord *r = _PSL_Session(sid);
        r->serverState = 6;
        r->punchState = k.punchState;
        r->relayState = k.relayState;
        r->peerNatType = (uint8_t)k.peerNat;
        _PSL_SetNatType(k.natType, 0);
        EXPECT_EQ(k.parallel ? _PSL_ParallelRouteStep(sid) : _PSL_SequentialRouteStep(sid), k.expected);
        EXPECT_EQ(r->punchState.load(), k.punchAfter);
        EXPECT_EQ(r->relayState.load(), k.relayAfter);
        _PSL_FreeSession(r);
    }
    EXPECT_EQ(PSL_Set_Connect_Options(0, 1, 2, 0), PSL_ERR_INVALID);
    EXPECT_EQ(_PSL_ConnectOption(0), 0);  // the values before the bad one are kept
    EXPECT_EQ(_PSL_ConnectOption(1), 1);
    EXPECT_EQ(PSL_Set_Connect_Options(1, 0, 0, 0), 0);
    const int sid = connecting();
    _PSL_Session(sid)->tcpState = 18;
    EXPECT_EQ(_PSL_TcpRelayResult(sid), 6);
    _PSL_Session(sid)->tcpState = 17;
    EXPECT_EQ(_PSL_TcpRelayResult(sid), PSL_ERR_ROUTES_GAVE_UP);
    _PSL_Session(sid)->tcpState = 15;
    _PSL_Session(sid)->tcpRelayRefused = 1;
    EXPECT_EQ(_PSL_TcpRelayResult(sid), PSL_ERR_REFUSED_BUSY);
}

TEST_F(ServerSide, CheckValueAndWakeQueryNeedTheMagic) {
    EXPECT_EQ(_PSL_NewCheckValue(1), 9999u);
    for (int i = 0; i < 50; ++i) {
        const uint32_t v = _PSL_NewCheckValue(PSL_PRIVATE_MAGIC);
        EXPECT_NE(v & 0xFFFF, 0u);
        EXPECT_NE(v >> 16, 0u);
        EXPECT_LT(v & 0xFFFF, 65535u);
    }
    uint8_t pkt[40];
    int len = 0;
    EXPECT_EQ(_PSL_BuildWakeQuery(pkt, &len, 7, 1), 9999);
    ASSERT_EQ(_PSL_BuildWakeQuery(pkt, &len, 0xA1B2C3D4, PSL_PRIVATE_MAGIC), 0);
    EXPECT_EQ(len, 40);
    PSLPacketHeader h{};
    psl_Header_Read(pkt, &h);
    EXPECT_EQ(h.magic, PSL_MAGIC);
    EXPECT_EQ(h.version, 20);
    EXPECT_EQ(h.length, 24);
    EXPECT_EQ(h.type, 0x0114);
    EXPECT_EQ(h.route, 0x14);
    EXPECT_EQ(psl_GetU32(pkt + 16 + 20), 0xA1B2C3D4u);
}

}  // namespace
