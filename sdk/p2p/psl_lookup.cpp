// The lookup tasks of a connect: the master query, the server probe, the device query and the TCP
// reachability test. Each is a timer task of the session (run with the session table lock held) that sends
// on the library's main UDP socket and moves the session's state fields; the dispatcher moves them on when
// the answers come.
#include <string.h>

#include <atomic>
#include <string>

#include "p2p/psl_connect.h"
#include "p2p/psl_master.h"
#include "p2p/psl_messages.h"
#include "p2p/psl_servers.h"
#include "p2p/psl_session.h"

namespace {

enum { kFirstMaster = 0, kFirstProbe = 1, kFirstDevice = 2 };

// The fixed servers of the reachability test (TCP 80). Loopback only.
std::string g_reach[4] = {"127.0.0.4", "127.0.0.5", "127.0.0.6", "127.0.0.7"};
std::atomic<bool> g_newServerProtocol{false};

using TableLock = PslTableLock;

void endTask(int sid, p2p_TimerTask *t) {
    _PSL_ForgetSessionTask(sid, t);
    p2p_SockTaskMng_RemoveTimer(t);
}

void sendUidMessage(const char *name, const char *uid, const char *host, uint16_t portNet) {
    LinuxConn *conn = _PSL_ServersConn();
    const PslMsgDef *m = psl_Msg_ByName(name);
    if (!conn || !m) return;
    PslValue v[] = {
        {"UID", 0, reinterpret_cast<const uint8_t *>(uid), strnlen(uid, PSL_UID_LEN), nullptr, 0}};
    uint8_t pkt[PSL_HEADER_SIZE + 64];
    const int n = psl_Msg_Build(m, &m->forms[0], v, 1, pkt, sizeof pkt);
    if (n > 0) _PSL_SendPacket(conn, pkt, (uint16_t)n, host, portNet);
}

void sendMasterBatch(const char *uid) {
    LinuxConn *conn = _PSL_ServersConn();
    if (!conn) return;
    PSLMasterEntry masters[PSL_MASTERS];
    const int n = _PSL_MasterTable(masters);
    for (int i = 0; i < n; ++i)
        if (masters[i].port) _PSL_SendQueryGroup(conn, masters[i].host, masters[i].port, uid, 0);
}

void sendProbeBatch() {
    LinuxConn *conn = _PSL_ServersConn();
    if (!conn) return;
    PslServerAddr all[PSL_GROUPS * 4];
    const int n = _PSL_AllServerAddresses(all, (int)(sizeof all / sizeof all[0]));
    for (int i = 0; i < n; ++i) _PSL_SendProbe(conn, all[i].host, all[i].portNet, 0, 0);
}

void sendDeviceBatch(const PSLSessionRecord *r, const PSLConnectCtx *c, bool repeat) {
    PslServerAddr group[PSL_GROUP_SERVERS_MAX];
    const int n = _PSL_GroupAddresses(c->groupIndex, group, PSL_GROUP_SERVERS_MAX);
    for (int i = 0; i < n; ++i) {
        const bool v2 = repeat && g_newServerProtocol.load() && group[i].version >= 19 && c->probeMode == 0;
        sendUidMessage(v2 ? "MSG_QUERY_DEVICE2" : "MSG_QUERY_DEVICE", r->remoteUID, group[i].host,
                       group[i].portNet);
    }
}

void masterQueryTick(p2p_TimerTask *t, uint32_t, uint16_t, void *userData, int expired) {
    PSLConnectCtx *c = nullptr;
    PSLSessionRecord *r = _PSL_LookupTick_Begin(
        t, userData, expired,
        [](PSLSessionRecord *s) {
            int expect = 1;
            s->serverState.compare_exchange_strong(expect, -1);
        },
        kFirstMaster, true, &c);
    const int sid = (int)(intptr_t)userData;
    if (!r) return;
    sendMasterBatch(r->remoteUID);
    if (r->serverState.load() != 1) endTask(sid, t);  // one more batch after the answer
}

void serverProbeTick(p2p_TimerTask *t, uint32_t, uint16_t, void *userData, int expired) {
    PSLConnectCtx *c = nullptr;
    // Probes of an earlier connect may have answered already: then the first tick probes at once.
    PSLSessionRecord *r = _PSL_LookupTick_Begin(
        t, userData, expired,
        [](PSLSessionRecord *s) {
            int expect = 3;
            if (s->tcpState.load() <= 8) s->serverState.compare_exchange_strong(expect, -2);
        },
        kFirstProbe, !_PSL_ProbeAnswered(), &c);
    const int sid = (int)(intptr_t)userData;
    if (!r) return;
    sendProbeBatch();
    if (_PSL_ProbeAnswered()) {
        int expect = 3;
        r->serverState.compare_exchange_strong(expect, 4);
        endTask(sid, t);
    }
}

void deviceQueryTick(p2p_TimerTask *t, uint32_t, uint16_t, void *userData, int expired) {
    PSLConnectCtx *c = nullptr;
    PSLSessionRecord *r = _PSL_LookupTick_Begin(
        t, userData, expired,
        [](PSLSessionRecord *s) {
            int expect = 5;
            s->serverState.compare_exchange_strong(expect, -3);
        },
        kFirstDevice, true, &c);
    const int sid = (int)(intptr_t)userData;
    if (!r) return;
    const uint64_t now = p2p_Clock_Ms();
    if (r->serverState.load() == 6 && !c->deviceKnownMs) c->deviceKnownMs = now ? now : 1;
    // The servers are asked for 2 s more after the first answer, to collect every server's view.
    if (!c->deviceKnownMs || now - c->deviceKnownMs <= 2000)
        sendDeviceBatch(r, c, true);
    else
        endTask(sid, t);
}

// The reachability sockets report back through these; the socket is matched against the session's slot.
void reachDone(LinuxConn *conn, void *arg, bool connected) {
    const int sid = (int)((intptr_t)arg >> 2), slot = (int)((intptr_t)arg & 3);
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    PSLConnectCtx *c = _PSL_ConnectCtx(sid);
    if (!r || !c || c->reachConns[slot] != conn) return;
    if (connected) r->reachState = 4;
    c->reachConns[slot] = nullptr;
    if (_PSL_ConnMgr()) LinuxConnMgr_destroyConnection(_PSL_ConnMgr(), conn);
}
void reachConnected(LinuxConn *conn, void *arg) {
    reachDone(conn, arg, true);
}
void reachFailed(LinuxConn *conn, int, void *arg) {
    reachDone(conn, arg, false);
}

void reachTick(p2p_TimerTask *t, uint32_t, uint16_t, void *userData, int expired) {
    PSLConnectCtx *c = nullptr;
    PSLSessionRecord *r = _PSL_LookupTick_Begin(
        t, userData, expired,
        [](PSLSessionRecord *s) {
            if (s->reachState.load() != 4) s->reachState = 3;
        },
        -1, false, &c);
    const int sid = (int)(intptr_t)userData;
    if (!r) return;
    const int state = r->reachState.load();
    if (state == 4) {
        endTask(sid, t);
        return;
    }
    LinuxConnMgr *mgr = _PSL_ConnMgr();
    if (state != 1 || !mgr) return;
    bool failed = false;
    for (int slot = 0; slot < 4 && !failed; ++slot) {
        if (c->reachConns[slot]) {
            LinuxConnMgr_destroyConnection(mgr, static_cast<LinuxConn *>(c->reachConns[slot]));
            c->reachConns[slot] = nullptr;
        }
        LinuxConn *conn = nullptr;
        if (LinuxConnMgr_createConnection(mgr, LINUXCONN_TCP, LINUXCONN_CLIENT, 0, &conn) != 0 || !conn) {
            failed = true;
            break;
        }
        c->reachConns[slot] = conn;
        uint16_t port = htons(80);
        void *arg = (void *)(intptr_t)((sid << 2) | slot);
        if (LinuxConn_open(conn, g_reach[slot].c_str(), &port, 0, reachConnected, arg, reachFailed, arg) !=
            0) {
            c->reachConns[slot] = nullptr;
            LinuxConnMgr_destroyConnection(mgr, conn);
            failed = true;
        }
    }
    if (r->reachState.load() == 1) r->reachState = failed ? 3 : 2;
}

}  // namespace

int _PSL_MasterQuery_Start(int sid) {
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    PSLConnectCtx *c = _PSL_ConnectCtx(sid);
    if (!r || !c) return -1;
    r->serverState = 1;
    c->groupIndex = -1;
    sendMasterBatch(r->remoteUID);
    return _PSL_AddSessionTask(sid, PSL_TASK_SERVERS, 500, 60000, masterQueryTick) ? 0 : -1;
}

int _PSL_ServerProbe_Start(int sid) {
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r) return -1;
    r->serverState = 3;
    sendProbeBatch();
    return _PSL_AddSessionTask(sid, PSL_TASK_SERVERS, 1000, 60000, serverProbeTick) ? 0 : -1;
}

int _PSL_DeviceQuery_Start(int sid) {
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    PSLConnectCtx *c = _PSL_ConnectCtx(sid);
    if (!r || !c) return -1;
    r->serverState = 5;
    sendDeviceBatch(r, c, false);
    return _PSL_AddSessionTask(sid, PSL_TASK_SERVERS, 500, 60000, deviceQueryTick) ? 0 : -1;
}

void _PSL_ReachTest_Start(int sid) {
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r) return;
    if (_PSL_AddSessionTask(sid, PSL_TASK_REACH, 20, 10000, reachTick)) r->reachState = 1;
}

void _PSL_ReleaseReachSockets(int sid) {
    TableLock lk;
    PSLConnectCtx *c = _PSL_ConnectCtx(sid);
    if (!c) return;
    for (void *&conn : c->reachConns) {
        if (conn && _PSL_ConnMgr())
            LinuxConnMgr_destroyConnection(_PSL_ConnMgr(), static_cast<LinuxConn *>(conn));
        conn = nullptr;
    }
}

void _PSL_SetReachServersForTest(const char *const hosts[4]) {
    static const char *const kDefault[4] = {"127.0.0.4", "127.0.0.5", "127.0.0.6", "127.0.0.7"};
    TableLock lk;
    for (int i = 0; i < 4; ++i) g_reach[i] = hosts && hosts[i] ? hosts[i] : kDefault[i];
}

void _PSL_SetNewServerProtocol(int on) {
    g_newServerProtocol = on != 0;
}

int _PSL_NewServerProtocol(void) {
    return g_newServerProtocol.load() ? 1 : 0;
}
