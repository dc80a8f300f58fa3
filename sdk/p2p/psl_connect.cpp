#include "p2p/psl_connect.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "p2p/psl_hello.h"
#include "p2p/psl_master.h"
#include "p2p/psl_messages.h"
#include "p2p/psl_punch.h"
#include "p2p/psl_register.h"
#include "p2p/psl_relay.h"
#include "p2p/psl_servers.h"
#include "p2p/psl_session.h"
#include "p2p/psl_settings.h"
#include "p2p/psl_tcproute.h"

// Seams filled by the LAN side of the library when it is linked in: its LAN lookup task. Without it a probe
// runs with the LAN lookup off.
int _PSL_LanLookup_Start(int sid) __attribute__((weak));

namespace {

using TableLock = PslTableLock;

std::vector<PSLConnectCtx> g_ctx;  // one per session, guarded by the table lock
std::atomic<bool> g_abortAll{false};
std::atomic<uint8_t> g_options[4] = {1, 0, 0, 0};
std::atomic<LinuxConn *> g_testConn{nullptr};
uint32_t g_probeCounter = 0;  // session words of probes (table lock)
uint32_t g_macWord = 0;
uint64_t g_lastNatReset = 0;  // monotonic ms
uint16_t g_macHead = 0;

uint16_t randomNonZero16() {
    const uint32_t r = (uint32_t)(time(nullptr) + p2p_Rand()) % 65535u;
    return r ? (uint16_t)r : 1;
}

void localIdentity() {
    uint8_t over[6];
    const bool overridden = _PSL_PrivateMac(over) == 1;
    if (g_macWord && !overridden) return;
    p2p_LocalIfInfo info{};
    const uint8_t *m = info.mac;
    if (overridden) {
        m = over;
        g_macWord = 0;
        g_macHead = 0;
    }
    if ((overridden || p2p_Net_GetLocalMacAndIPv4(&info) == 0) && (m[0] | m[1] | m[2] | m[3] | m[4] | m[5])) {
        g_macWord = (uint32_t)m[2] << 24 | (uint32_t)m[3] << 16 | (uint32_t)m[4] << 8 | m[5];
        g_macHead = (uint16_t)(m[0] << 8 | m[1]);
    }
    if (!g_macWord) g_macWord = (uint32_t)randomNonZero16() << 16 | randomNonZero16();
    if (!g_macHead) g_macHead = randomNonZero16();
}

bool lanOver(const PSLSessionRecord *r) {
    return r->lanState == -1 || r->lanState == 2;
}

bool tcpOnly() {
    return _PSL_TcpOnlyFlag() != 0;
}

// The asleep check with a verdict between the two codes.
int asleepOr(int sid, int otherwise) {
    return _PSL_CheckDeviceAsleep(sid, 0) ? PSL_ERR_DEVICE_ASLEEP : otherwise;
}

// The session of a task, when it still runs the connect the task was made for.
PSLSessionRecord *taskSession(void *userData, PSLConnectCtx **ctx) {
    const int sid = (int)(intptr_t)userData;
    PSLSessionRecord *r = _PSL_Session(sid);
    PSLConnectCtx *c = _PSL_ConnectCtx(sid);
    if (!r || !c || r->state.load() != PSL_STATE_ALLOCATED || r->randomID != c->randomID || r->mac != c->mac)
        return nullptr;
    *ctx = c;
    return r;
}

void finishProbe(int sid, int result) {
    PSLConnectCtx *c = _PSL_ConnectCtx(sid);
    if (!c) return;
    const PSL_ProbeFn cb = c->probeCallback;
    void *arg = c->probeArg;
    c->probeCallback = nullptr;
    _PSL_RemoveSessionTasks(sid, -1);
    _PSL_ReleaseReachSockets(sid);
    _PSL_FreeSession(_PSL_Session(sid));
    if (cb) cb(result, arg, PSL_ERR_TIMEOUT);
}

void probeKickTick(p2p_TimerTask *t, uint32_t, uint16_t, void *userData, int expired) {
    PSLConnectCtx *c = nullptr;
    PSLSessionRecord *r = _PSL_LookupTick_Begin(t, userData, expired, nullptr, -1, false, &c);
    const int sid = (int)(intptr_t)userData;
    if (!r) return;
    if (_PSL_MasterState() == PSL_MASTERS_EMPTY) _PSL_SetMasterState(PSL_MASTERS_READY);
    if (_PSL_MasterState() != PSL_MASTERS_READY) return;
    if (!tcpOnly() && r->serverState.load() == 0) _PSL_MasterQuery_Start(sid);
    _PSL_ForgetSessionTask(sid, t);
    p2p_SockTaskMng_RemoveTimer(t);
}

void probeWatchTick(p2p_TimerTask *t, uint32_t, uint16_t, void *userData, int expired) {
    PSLConnectCtx *c = nullptr;
    PSLSessionRecord *r = taskSession(userData, &c);
    const int sid = (int)(intptr_t)userData;
    if (!r) {  // the connect ended or the session is no longer connecting: the task ends with it
        _PSL_ForgetSessionTask(sid, t);
        p2p_SockTaskMng_RemoveTimer(t);
        return;
    }
    if (expired) {
        _PSL_ForgetSessionTask(sid, t);
        finishProbe(sid, PSL_ERR_TIMEOUT);
        return;
    }
    int rc = _PSL_CheckConnectAbort(sid);
    if (rc == 0) {
        rc = _PSL_ServerRouteStep(sid, r->tcpRelayRefused.load());
        if (rc > 0) _PSL_RemoveSessionTasks(sid, PSL_TASK_TCP);
        if (rc == 2 || rc == 3) c->probeMode = 2;
    }
    if (rc < 0)
        finishProbe(sid, rc);
    else if (c->probeMode == 2)
        finishProbe(sid, 0);
}

// The punch and relay starts; a task that cannot start has given up.
void startPunch(PSLSessionRecord *r, int sid, int lifetimeMs) {
    if (_PSL_Punch_Start(sid, lifetimeMs) != 0) r->punchState = -1;
}
void startRelay(PSLSessionRecord *r, int sid) {
    if (_PSL_RelayRequest_Start(sid) != 0) r->relayState = -1;
}

}  // namespace

int PSL_Set_Connect_Options(uint8_t parallel, uint8_t noDecoys, uint8_t fastPunch, uint8_t treatAsRemote) {
    const uint8_t v[4] = {parallel, noDecoys, fastPunch, treatAsRemote};
    for (int i = 0; i < 4; ++i) {
        if (v[i] >= 2) return PSL_ERR_INVALID;
        g_options[i] = v[i];
    }
    return 0;
}

int _PSL_ConnectOption(int index) {
    return index >= 0 && index < 4 ? g_options[index].load() : 0;
}

int _PSL_SequentialRouteStep(int sid) {
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r) return PSL_ERR_NOT_INIT;
    if (r->relayState.load() == -1) return PSL_ERR_ROUTES_GAVE_UP;
    if (r->serverState.load() == 6 && r->punchState.load() == 0) {
        if (r->peerNatType + _PSL_NatType() > 4)
            r->punchState = 2;  // both behind hard NATs: no punching
        else
            startPunch(r, sid, 6000);
    }
    const int punch = r->punchState.load();
    if (punch == -1 || punch == 2) {
        if (r->relayState.load() != 0) return r->relayState.load() == 5 ? 5 : 0;
        startRelay(r, sid);
        if (r->relayState.load() == -1) return PSL_ERR_ROUTES_GAVE_UP;
    }
    if (r->punchState.load() == 3) return 4;
    return r->relayState.load() == 5 ? 5 : 0;
}

int _PSL_ParallelRouteStep(int sid) {
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r) return PSL_ERR_NOT_INIT;
    const int punch = r->punchState.load();
    if ((punch == 2 || punch < 0) && r->relayState.load() == -1) return PSL_ERR_ROUTES_GAVE_UP;
    if (r->serverState.load() == 6 && punch == 0) {
        if (r->peerNatType == 10)
            r->punchState = 2;  // a TCP-only device is never punched
        else
            startPunch(r, sid, 60000);
        startRelay(r, sid);
    }
    if (r->punchState.load() == 3) return 4;
    return r->relayState.load() == 5 ? 5 : 0;
}

int _PSL_TcpRelayResult(int sid) {
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r) return PSL_ERR_NOT_INIT;
    const int ts = r->tcpState.load();
    if (ts == 14 || ts == 17) return PSL_ERR_ROUTES_GAVE_UP;
    if (ts == 18) return 6;
    return r->tcpRelayRefused.load() ? PSL_ERR_REFUSED_BUSY : 0;
}

PSLConnectCtx *_PSL_ConnectCtx(int sid) {
    const int n = _PSL_MaxSessions();
    if (sid < 0 || sid >= n) return nullptr;
    if ((int)g_ctx.size() != n) {
        if (!_PSL_Running()) return nullptr;  // never made afresh while the library stops
        g_ctx.assign((size_t)n, PSLConnectCtx{});
        for (int i = 0; i < n; ++i) _PSL_ConnectCtx_Reset(i);
    }
    return &g_ctx[(size_t)sid];
}

void _PSL_ConnectCtx_Reset(int sid) {
    if (sid < 0 || sid >= (int)g_ctx.size()) return;
    PSLConnectCtx &c = g_ctx[(size_t)sid];
    c = PSLConnectCtx{};
    c.groupIndex = -1;
    c.firstAnswerEntry = -1;
    for (PSLPeerEntry &e : c.entries) e.wakeMs = -1;
}

p2p_TimerTask *_PSL_AddSessionTask(int sid, int kind, uint32_t period, uint32_t lifetime, p2p_TimerFn fn) {
    TableLock lk;
    PSLConnectCtx *c = _PSL_ConnectCtx(sid);
    if (!c) return nullptr;
    for (auto &slot : c->tasks) {
        if (slot.task) continue;
        p2p_TimerTask *t = p2p_SockTaskMng_AddTimer(period, lifetime, 0, fn, (void *)(intptr_t)sid);
        if (!t) return nullptr;
        slot.kind = kind;
        slot.task = t;
        return t;
    }
    return nullptr;
}

void _PSL_RemoveSessionTasks(int sid, int kind) {
    TableLock lk;
    PSLConnectCtx *c = _PSL_ConnectCtx(sid);
    if (!c) return;
    for (auto &slot : c->tasks) {
        if (!slot.task || (kind >= 0 && slot.kind != kind)) continue;
        p2p_TimerTask *t = slot.task;
        slot.task = nullptr;
        p2p_SockTaskMng_RemoveTimer(t);
    }
}

PSLSessionRecord *_PSL_LookupTick_Begin(p2p_TimerTask *t, void *userData, int expired, PSL_GiveUpFn giveUp,
                                        int firstTick, bool skipFirst, PSLConnectCtx **ctx) {
    const int sid = (int)(intptr_t)userData;
    PSLConnectCtx *c = nullptr;
    PSLSessionRecord *r = taskSession(userData, &c);
    if (!r) {  // the connect ended or the session is no longer connecting: the task ends with it
        _PSL_ForgetSessionTask(sid, t);
        if (!expired) p2p_SockTaskMng_RemoveTimer(t);
        return nullptr;
    }
    if (expired) {
        if (giveUp) giveUp(r);
        _PSL_ForgetSessionTask(sid, t);
        return nullptr;
    }
    if (firstTick >= 0 && firstTick < (int)sizeof c->firstTickDone && !c->firstTickDone[firstTick]) {
        c->firstTickDone[firstTick] = 1;
        if (skipFirst) return nullptr;
    }
    *ctx = c;
    return r;
}

void _PSL_ForgetSessionTask(int sid, p2p_TimerTask *task) {
    PSLConnectCtx *c = _PSL_ConnectCtx(sid);
    if (!c) return;
    for (auto &slot : c->tasks)
        if (slot.task == task) slot.task = nullptr;
}

namespace {
void knockTick(p2p_TimerTask *t, uint32_t, uint16_t, void *userData, int expired) {
    TableLock lk;
    const int sid = (int)(intptr_t)userData;
    PSLSessionRecord *r = _PSL_Session(sid);
    const int route = r ? r->routeType.load() : PSL_ROUTE_NONE;
    if (!r || expired || r->noKnock || r->state.load() != PSL_STATE_CONNECTED || !r->routeConn ||
        (route != PSL_ROUTE_LAN && route != PSL_ROUTE_P2P)) {
        _PSL_ForgetSessionTask(sid, t);
        p2p_SockTaskMng_RemoveTimer(t);
        return;
    }
    char uid[PSL_UID_LEN + 1] = {};
    memcpy(uid, r->remoteUID, PSL_UID_LEN);
    _PSL_SendHello(0x0402, r->routeConn, &r->routeAddr, uid, r->randomID, r->mac, r->ver ? 0 : 1, 0);
}
}  // namespace

int _PSL_Knock_Start(int sid) {
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r || r->noKnock || (r->routeKind != 0 && r->routeKind != 2)) return 0;
    return _PSL_AddSessionTask(sid, PSL_TASK_KNOCK, 500, 5000, knockTick) ? 0 : -1;
}

void _PSL_NewSessionWords(int sid) {
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r) return;
    localIdentity();
    g_probeCounter = g_probeCounter == 0 ? randomNonZero16() : (g_probeCounter + 1) & 0xFFFF;
    if (g_probeCounter == 0) g_probeCounter = 1;
    r->randomID = g_probeCounter + ((uint32_t)g_macHead << 16);
    r->mac = g_macWord;
}

LinuxConn *_PSL_ServersConn(void) {
    LinuxConn *main = _PSL_MainConn();
    return main ? main : g_testConn.load();
}

void _PSL_SetServersConnForTest(LinuxConn *conn) {
    g_testConn = conn;
}

int PSL_Connect_Abort_All(void) {
    g_abortAll = true;
    return 0;
}

int PSL_Connect_Abort(int sid) {
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r) return PSL_ERR_SESSION;
    r->abortRequested = 1;
    return 0;
}

int _PSL_ConnectAbortFlag(void) {
    return g_abortAll.load() ? 1 : 0;
}

void _PSL_ClearConnectAbort(void) {
    g_abortAll = false;
}

int _PSL_CheckConnectAbort(int sid) {
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r) return PSL_ERR_NOT_INIT;
    const bool aborted = r->reservedByCaller.load() ? r->abortRequested.load() != 0 : g_abortAll.load();
    if (aborted) return PSL_ERR_ABORTED;
    if (r->refusedOld.load()) return r->peerProtocol < 7 ? (int)PSL_ERR_OLD_PEER : (int)PSL_ERR_REFUSED;
    if (r->refused.load()) return PSL_ERR_REFUSED;
    if (r->uidRejected.load()) return PSL_ERR_UID;
    if (r->busy.load()) return PSL_ERR_REFUSED_BUSY;
    if (r->errPeerSelfConnect.load()) return PSL_ERR_SELF_CONNECT;
    if ((r->relayState.load() <= 1 && r->tcpState.load() < 13) || !r->noRelay.load())
        return _PSL_CheckDeviceAsleep(sid, 2000) ? PSL_ERR_DEVICE_ASLEEP : 0;
    return PSL_ERR_NO_RELAY;
}

int _PSL_CheckDeviceAsleep(int sid, int thresholdMs) {
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    PSLConnectCtx *c = _PSL_ConnectCtx(sid);
    if (!r || !c) return 0;
    const int ts = r->tcpState.load();
    if (r->relayState.load() > 2 || ts == 15 || ts == 16 || ts == 18) return 0;
    if (c->probeMode == 0 && _PSL_NewServerProtocol()) return 0;
    const uint64_t now = p2p_Clock_Ms();
    const uint64_t elapsed = c->firstMarkMs && now > c->firstMarkMs ? now - c->firstMarkMs : 0;
    bool old = false, anySet = false, allWaking = true, someWaking = false, wakingWithTime = false;
    for (const PSLPeerEntry &e : c->entries) {
        if (e.version >= 1 && e.version <= 17) old = true;
        if (!e.hasA && !e.hasB) continue;
        anySet = true;
        const bool waking = e.sleepClass == PSL_SLEEP_WAKING;
        allWaking = allWaking && waking;
        someWaking = someWaking || waking;
        if (e.hasA && waking && e.wakeMs != -1 && e.wakeMs < 600000) wakingWithTime = true;
    }
    if (!old) {
        if (anySet && allWaking) return 1;
        if (elapsed <= 2000) return 0;
        return wakingWithTime ? 1 : 0;
    }
    return someWaking && (elapsed > (uint64_t)(thresholdMs < 0 ? 0 : thresholdMs) || allWaking) ? 1 : 0;
}

int _PSL_ServerRouteStep(int sid, uint8_t tcpRelayRefused) {
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    PSLConnectCtx *c = _PSL_ConnectCtx(sid);
    if (!r || !c) return PSL_ERR_NOT_INIT;
    const int ss = r->serverState.load(), ts = r->tcpState.load(), reach = r->reachState.load();
    if (r->lanState == -1 && _PSL_MasterState() == PSL_MASTERS_EMPTY) return PSL_ERR_NO_MASTER;
    if (lanOver(r) && ss < 0) {
        if (ss == -1) {
            if (ts == 3 || ts == 6)
                return reach == 3   ? PSL_ERR_NO_INTERNET
                       : reach == 4 ? PSL_ERR_MASTERS_SILENT
                                    : PSL_ERR_SERVERS_UNREACHABLE;
            if (ts == 8) return PSL_ERR_SERVERS_UNREACHABLE;
            if (ts == 10) return 3;
            if (ts == 11) return asleepOr(sid, PSL_ERR_UNREACHABLE);
        } else if (ss == -2) {
            if (ts == 3 || ts == 6 || ts == 8 || ts == 11) return PSL_ERR_NOT_ANSWERED;
            if (ts == 10) return 3;
        } else if (ss == -3) {
            if (ts == 3 || ts == 6 || ts == 8 || ts == 11) return asleepOr(sid, PSL_ERR_UNREACHABLE);
            if (ts == 10) return 3;
        }
    }
    if (!tcpRelayRefused && ts == 10) {
        if (ss == 1 || c->tcpWaitMs >= 5000) {
            if (r->connectMode.load() == 1 || lanOver(r)) return 3;
        } else {
            c->tcpWaitMs += 10;
        }
    }
    if (ss == 5 || ts == 9) {
        bool awake = false;
        for (const PSLPeerEntry &e : c->entries)
            if ((e.hasA || e.hasB) && e.sleepClass != PSL_SLEEP_ASLEEP) awake = true;
        if (!awake) return PSL_ERR_ASLEEP;
    }
    if (tcpOnly()) {
        if (ts == 3 || ts == 6) return PSL_ERR_TCP_ONLY;
        if (ts == 8) return PSL_ERR_SERVERS_UNREACHABLE;
        if (ts == 10) return 3;
        if (ts == 11) return asleepOr(sid, PSL_ERR_UNREACHABLE);
    }
    if (ss == 2) _PSL_ServerProbe_Start(sid);
    if (ss == 4) _PSL_DeviceQuery_Start(sid);
    return r->serverState.load() == 6 && (r->connectMode.load() == 1 || lanOver(r)) ? 2 : 0;
}

int _PSL_ServerPhases_Begin(int sid) {
    {
        TableLock lk;
        PSLSessionRecord *r = _PSL_Session(sid);
        if (!r || !_PSL_ConnectCtx(sid)) return PSL_ERR_NOT_INIT;
        const uint8_t keepProbe = _PSL_ConnectCtx(sid)->probeMode;
        _PSL_RemoveSessionTasks(sid, -1);
        _PSL_TcpRoute_Release(sid);
        _PSL_ReleaseReachSockets(sid);
        _PSL_ConnectCtx_Reset(sid);
        PSLConnectCtx *c = _PSL_ConnectCtx(sid);
        c->randomID = r->randomID;
        c->mac = r->mac;
        c->probeMode = keepProbe;
        c->startMs = p2p_Clock_Ms();
        r->measureRtt = 1;
        r->serverState = 0;
        r->punchState = 0;
        r->relayState = 0;
        r->tcpState = 0;
        r->connectMode = 0;
        r->reachState = 0;
    }
    _PSL_StartMasterResolve();
    _PSL_ReachTest_Start(sid);
    return 0;
}

int _PSL_ServerPhases_Step(int sid) {
    const int abort = _PSL_CheckConnectAbort(sid);
    if (abort < 0) return abort;
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    PSLConnectCtx *c = _PSL_ConnectCtx(sid);
    if (!r || !c) return PSL_ERR_NOT_INIT;
    if (!c->mastersKicked) {
        // An empty resolution still lets the connect go on, with the application's hosts if it set any.
        if (_PSL_MasterState() == PSL_MASTERS_EMPTY) {
            _PSL_AddUserMastersOnce();
            _PSL_SetMasterState(PSL_MASTERS_READY);
        }
        if (_PSL_MasterState() == PSL_MASTERS_READY) {
            _PSL_AddUserMastersOnce();
            c->mastersKicked = 1;
            if (!tcpOnly() && r->serverState.load() == 0) _PSL_MasterQuery_Start(sid);
            if (r->tcpState.load() == 0) _PSL_TcpRoute_Start(sid);
        }
    }
    return _PSL_ServerRouteStep(sid, r->tcpRelayRefused.load());
}

void _PSL_ServerPhases_End(int sid, int result) {
    TableLock lk;
    PSLConnectCtx *c = _PSL_ConnectCtx(sid);
    if (!c || c->ended) return;
    c->ended = 1;
    if (result < 0) {
        _PSL_RemoveSessionTasks(sid, -1);
        if (result != PSL_ERR_NOT_INIT) _PSL_SendSessionReport(sid, result, -1, nullptr, 0);
    } else {
        _PSL_RemoveSessionTasks(sid, PSL_TASK_SERVERS);
        _PSL_RemoveSessionTasks(sid, PSL_TASK_TCP);
        _PSL_RemoveSessionTasks(sid, PSL_TASK_REACH);
    }
    _PSL_TcpRoute_Release(sid);
    _PSL_ReleaseReachSockets(sid);
}

int _PSL_ServerRemoteStep(int sid, int round) {
    int rc = round == 0 ? _PSL_ServerPhases_Begin(sid) : 0;
    bool phaseB = false, lanDone = false;
    int mode = 0;
    {
        TableLock lk;
        PSLConnectCtx *c = _PSL_ConnectCtx(sid);
        if (c) phaseB = c->phaseB;
    }
    if (rc == 0 && !phaseB) {
        rc = _PSL_ServerPhases_Step(sid);
        if (rc > 0) {
            TableLock lk;
            if (rc == 3) {
                // The TCP relay from here on, on the connections the TCP route opened.
                _PSL_RemoveSessionTasks(sid, PSL_TASK_SERVERS);
                _PSL_RemoveSessionTasks(sid, PSL_TASK_TCP);
                if (_PSL_TcpRelay_Start(sid) != 0) return PSL_ERR_SETUP;
            } else {
                _PSL_TcpRoute_Release(sid);
            }
            if (PSLConnectCtx *c = _PSL_ConnectCtx(sid)) c->phaseB = rc == 2 ? 1 : 2;
            phaseB = true;
            rc = 0;
        }
    } else if (rc == 0) {
        rc = _PSL_CheckConnectAbort(sid);
    }
    if (rc == 0 && phaseB) {
        uint8_t kind = 0;
        {
            TableLock lk;
            PSLSessionRecord *r = _PSL_Session(sid);
            PSLConnectCtx *c = _PSL_ConnectCtx(sid);
            if (!r || !c) return PSL_ERR_NOT_INIT;
            kind = c->phaseB;
            mode = r->connectMode.load();
            lanDone = lanOver(r);
        }
        if (kind == 2)
            rc = _PSL_TcpRelayResult(sid);
        else if (_PSL_ConnectOption(0) == 1 && mode == 1)
            rc = _PSL_ParallelRouteStep(sid);
        else if (_PSL_ConnectOption(0) == 0 || mode == 2)
            rc = _PSL_SequentialRouteStep(sid);
        if (rc == PSL_ERR_ROUTES_GAVE_UP && !lanDone) rc = 0;  // the LAN may still win
    }
    if (rc < 0) _PSL_ServerPhases_End(sid, rc);
    return rc;
}

int _PSL_ServerPhases_Run(int sid) {
    _PSL_ClearConnectAbort();
    _PSL_ResetNatIfIdle();
    int rc = _PSL_ServerPhases_Begin(sid);
    while (rc == 0) {
        rc = _PSL_ServerPhases_Step(sid);
        if (rc != 0) break;
        usleep(10000);
        rc = _PSL_CheckConnectAbort(sid);
    }
    if (rc > 0) _PSL_RemoveSessionTasks(sid, PSL_TASK_TCP);
    _PSL_ServerPhases_End(sid, rc);
    return rc;
}

namespace {
// The 16-byte IPv4 block of an address, zero for anything that is not IPv4 (or IPv4-mapped).
void ipv4Block(const p2p_NetAddr *a, uint8_t out[16]) {
    memset(out, 0, 16);
    char host[64];
    _PSL_AddrText(a, host);
    uint32_t ip = 0;
    if (a->port && inet_pton(AF_INET, host, &ip) == 1) p2p_AddrBlock_Write(out, ip, a->port);
}
}  // namespace

void _PSL_SendSessionReport(int sid, int code, int mode, const char *host, uint16_t portNet) {
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    PSLConnectCtx *c = _PSL_ConnectCtx(sid);
    LinuxConn *conn = _PSL_ServersConn();
    const PslMsgDef *m = psl_Msg_ByName("MSG_SESSION_REPORT");
    if (!r || !c || !conn || !m) return;
    bool any = false;
    for (const PSLPeerEntry &e : c->entries) any = any || (e.hasA && e.version > 11);
    if (!any) return;
    uint8_t route[16], peer[16] = {};
    ipv4Block(&r->routeAddr, route);
    p2p_NetAddr a{};
    if (host && p2p_Net_ResolveAddr(host, portNet, &a) == 0) ipv4Block(&a, peer);
    uint8_t observed[PSL_OBSERVED * 16];
    uint32_t flags[PSL_OBSERVED];
    _PSL_ObservedAddresses(observed, flags);
    const uint64_t now = p2p_Clock_Ms();
    PslValue v[] = {{"remoteUID", 0, reinterpret_cast<const uint8_t *>(r->remoteUID),
                     strnlen(r->remoteUID, PSL_UID_LEN), nullptr, 0},
                    {"addr", 0, route, sizeof route, nullptr, 0},
                    {"peerNatType", r->peerNatType, nullptr, 0, nullptr, 0},
                    {"natType", (uint8_t)_PSL_NatType(), nullptr, 0, nullptr, 0},
                    {"routeByte", (uint8_t)mode, nullptr, 0, nullptr, 0},
                    {"value", (uint32_t)code, nullptr, 0, nullptr, 0},
                    {"peerVersion", r->peerVersion, nullptr, 0, nullptr, 0},
                    {"libraryVersion", PSL_LIBRARY_VERSION, nullptr, 0, nullptr, 0},
                    {"randomID", r->randomID, nullptr, 0, nullptr, 0},
                    {"mac", r->mac, nullptr, 0, nullptr, 0},
                    {"observed", 0, observed, sizeof observed, nullptr, 0},
                    {"observedFlags", 0, nullptr, 0, flags, PSL_OBSERVED},
                    {"peerAddr", 0, peer, sizeof peer, nullptr, 0},
                    {"uptimeMs", (uint32_t)(c->startMs && now > c->startMs ? now - c->startMs : 0), nullptr,
                     0, nullptr, 0}};
    uint8_t pkt[PSL_SEND_MAX];
    const int n = psl_Msg_Build(m, &m->forms[0], v, sizeof v / sizeof v[0], pkt, sizeof pkt);
    if (n <= 0) return;
    for (const PSLPeerEntry &e : c->entries) {
        if (!e.hasA || e.version <= 11) continue;
        char to[64];
        _PSL_AddrText(&e.addrA, to);
        uint8_t copy[PSL_SEND_MAX];
        memcpy(copy, pkt, (size_t)n);
        _PSL_SendPacket(conn, copy, (uint16_t)n, to, e.addrA.port);
    }
}

void _PSL_ReportConnected(int sid, const p2p_NetAddr *peer) {
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r || r->incoming != 0) return;
    char host[64] = {};
    if (peer) _PSL_AddrText(peer, host);
    _PSL_SendSessionReport(sid, 0, r->routeKind, peer ? host : nullptr, peer ? peer->port : 0);
}

void _PSL_SendSessionInfo(int sid) {
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    PSLConnectCtx *c = _PSL_ConnectCtx(sid);
    LinuxConn *conn = _PSL_ServersConn();
    const PslMsgDef *m = psl_Msg_ByName("MSG_SESSION_INFO");
    if (!r || !c || !conn || !m) return;
    // Over the TCP relay the information would go on its socket; that route is not built.
    if (c->firstAnswerEntry < 0 || c->firstAnswerEntry >= PSL_PEER_ENTRIES) return;
    const PSLPeerEntry &e = c->entries[c->firstAnswerEntry];
    if (e.version > 11 || !e.hasA) return;
    const int kind = r->routeKind;
    // A relayed route tells the relay; any other the server that answered first.
    const p2p_NetAddr *to = kind == 1 && r->routeAddr.port ? &r->routeAddr : &e.addrA;
    uint8_t route[16] = {};
    char routeHost[64];
    _PSL_AddrText(&r->routeAddr, routeHost);
    uint32_t ip = 0;
    if (inet_pton(AF_INET, routeHost, &ip) == 1) p2p_AddrBlock_Write(route, ip, r->routeAddr.port);
    char uid[PSL_UID_LEN + 1] = {};
    memcpy(uid, r->remoteUID, PSL_UID_LEN);
    PslValue v[] = {{"UID", 0, reinterpret_cast<const uint8_t *>(uid), strnlen(uid, PSL_UID_LEN), nullptr, 0},
                    {"addr", 0, route, sizeof route, nullptr, 0},
                    {"peerNatType", r->peerNatType, nullptr, 0, nullptr, 0},
                    {"natType", (uint8_t)_PSL_NatType(), nullptr, 0, nullptr, 0},
                    {"routeKind", (uint8_t)(kind == 1 ? 1 : kind), nullptr, 0, nullptr, 0}};
    uint8_t pkt[PSL_SEND_MAX];
    const int n = psl_Msg_Build(m, &m->forms[0], v, sizeof v / sizeof v[0], pkt, sizeof pkt);
    if (n <= 0) return;
    char host[64];
    _PSL_AddrText(to, host);
    _PSL_SendPacket(conn, pkt, (uint16_t)n, host, to->port);
}

void _PSL_ResetNatIfIdle(void) {
    TableLock lk;
    const uint64_t now = p2p_Clock_Ms();
    if (g_lastNatReset && now - g_lastNatReset < 25000) return;
    int connecting = 0;
    for (int i = 0; i < _PSL_MaxSessions(); ++i)
        connecting += _PSL_Session(i)->state.load() == PSL_STATE_ALLOCATED;
    if (connecting != 1) return;
    g_lastNatReset = now ? now : 1;
    _PSL_ResetNat();
}

int PSL_Probe_Device_ByUID(const char *uid, int timeoutMs, PSL_ProbeFn callback, void *arg) {
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    if (!_PSL_IsValidUID(uid)) return PSL_ERR_UID;
    const int sid = _PSL_AllocSession();
    if (sid < 0) return PSL_ERR_NO_SESSION;
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!_PSL_ServersConn()) {
        _PSL_FreeSession(r);
        return PSL_ERR_SOCKET;
    }
    for (int i = 0; i < PSL_UID_LEN; ++i) r->remoteUID[i] = (char)toupper((unsigned char)uid[i]);
    r->remoteUID[PSL_UID_LEN] = 0;
    _PSL_NewSessionWords(sid);
    r->lanState = 0;
    PSLConnectCtx *c = _PSL_ConnectCtx(sid);
    c->probeMode = 1;
    _PSL_ServerPhases_Begin(sid);
    c->probeMode = 1;
    c->probeCallback = callback;
    c->probeArg = arg;
    if (!_PSL_LanLookup_Start || _PSL_LanLookup_Start(sid) != 0) r->lanState = 2;
    if (!_PSL_AddSessionTask(sid, PSL_TASK_PROBE_KICK, 100, 0, probeKickTick) ||
        !_PSL_AddSessionTask(sid, PSL_TASK_PROBE_WATCH, 10, timeoutMs > 0 ? (uint32_t)timeoutMs : 1,
                             probeWatchTick)) {
        c->probeCallback = nullptr;
        _PSL_RemoveSessionTasks(sid, -1);
        _PSL_ReleaseReachSockets(sid);
        _PSL_FreeSession(r);
        return PSL_ERR_NO_MEMORY_INIT;
    }
    return 0;
}

void _PSL_Connect_Stop(void) {
    TableLock lk;
    for (int sid = 0; sid < (int)g_ctx.size(); ++sid) {
        PSLConnectCtx &c = g_ctx[(size_t)sid];
        const PSL_ProbeFn cb = c.probeCallback;
        void *arg = c.probeArg;
        _PSL_RemoveSessionTasks(sid, -1);
        _PSL_ReleaseReachSockets(sid);
        c.probeCallback = nullptr;
        if (cb) cb(PSL_ERR_NOT_INIT, arg, PSL_ERR_TIMEOUT);
    }
    g_ctx.clear();
    g_abortAll = false;
    g_lastNatReset = 0;
}

void _PSL_ServerSide_Stop(void) {
    _PSL_Register_Stop();
    _PSL_Connect_Stop();
    _PSL_TcpRoute_Stop();
    _PSL_Master_Stop();
    _PSL_Settings_Stop();
    _PSL_Servers_Reset();
    _PSL_SetServersConnForTest(nullptr);
}
