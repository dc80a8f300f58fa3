#include "p2p/psl_byuid.h"

#include <ctype.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "p2p/psl_connect.h"
#include "p2p/psl_device.h"
#include "p2p/psl_lan.h"
#include "p2p/psl_settings.h"

// The servers' road, when it is linked in; an installed step takes precedence.
int _PSL_ServerRemoteStep(int sid, int round) __attribute__((weak));
void _PSL_ServerPhases_End(int sid, int result) __attribute__((weak));
void _PSL_SendSessionInfo(int sid) __attribute__((weak));

namespace {

using TableLock = PslTableLock;

// Serialises the set-up of connects; a connect that allocated its own session holds it to the end.
std::recursive_mutex g_connectMu;
// The longest a connect by UID runs before it gives up.
constexpr uint32_t kConnectLimitMs = 65000;
std::atomic<PSL_RemoteRouteFn> g_remoteStep{nullptr};
// Session counters of the blocking and the callback connect, and this host's words.
std::mutex g_wordsMu;
uint32_t g_counter[2] = {0, 0};
bool g_haveMac = false;
uint16_t g_macHead = 0;
uint32_t g_mac = 0;

void set_words(PSLSessionRecord *r, int form) {
    std::lock_guard<std::mutex> lk(g_wordsMu);
    uint8_t over[6];
    if (_PSL_PrivateMac(over) == 1 && (over[0] | over[1] | over[2] | over[3] | over[4] | over[5])) {
        // The application's MAC text stands for the interface's.
        g_macHead = (uint16_t)(over[0] << 8 | over[1]);
        g_mac = (uint32_t)over[2] << 24 | (uint32_t)over[3] << 16 | (uint32_t)over[4] << 8 | over[5];
        g_haveMac = true;
    }
    if (!g_haveMac) {
        p2p_LocalIfInfo ifs{};
        p2p_Net_GetLocalMacAndIPv4(&ifs);
        g_macHead = (uint16_t)(ifs.mac[0] << 8 | ifs.mac[1]);
        g_mac =
            (uint32_t)ifs.mac[2] << 24 | (uint32_t)ifs.mac[3] << 16 | (uint32_t)ifs.mac[4] << 8 | ifs.mac[5];
        // Without a hardware address the words still differ between hosts.
        if (!g_macHead && !g_mac) {
            g_macHead = (uint16_t)p2p_Rand();
            g_mac = (uint32_t)p2p_Rand() << 16 ^ (uint32_t)p2p_Rand();
        }
        g_haveMac = true;
    }
    uint32_t &c = g_counter[form];
    if (c == 0) {
        c = (uint32_t)(((uint64_t)time(nullptr) + (uint32_t)p2p_Rand()) % 65535);
        if (c == 0) c = 1;
    } else {
        ++c;
    }
    r->randomID = c + ((uint32_t)g_macHead << 16);
    r->mac = g_mac;
    r->ver = 0;
}

void store_uid(PSLSessionRecord *r, const char *uid) {
    for (int i = 0; i < PSL_UID_LEN; ++i) {
        const unsigned char ch = (unsigned char)uid[i];
        r->remoteUID[i] = (char)(ch > 'Z' ? ch - 32 : ch);
    }
    r->remoteUID[PSL_UID_LEN] = 0;
}

void reset_progress(PSLSessionRecord *r) {
    r->measureRtt = 1;
    r->rttStartMs = p2p_Clock_Ms();
    r->lanState = 0;
    r->serverState = 0;
    r->punchState = 0;
    r->relayState = 0;
    r->incoming = 0;
}

// Refusals and aborts recorded in the session, as connect errors. 0 while the connect may go on.
int abort_check(int sid) {
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r) return PSL_ERR_NOT_INIT;
    if (r->reservedByCaller.load() ? r->abortRequested.load() != 0 : _PSL_ConnectAbortFlag() != 0)
        return PSL_ERR_ABORTED;
    if (r->refusedOld.load()) return r->peerProtocol < 7 ? PSL_ERR_OLD_PEER : -48;
    if (r->refused.load()) return -48;
    if (r->uidRejected.load()) return PSL_ERR_UID;
    if (r->busy.load()) return PSL_ERR_REFUSED_BUSY;
    if (r->errPeerSelfConnect.load()) return -45;
    return 0;
}

// One round: 1 connected, 0 go on, or an error.
int connect_round(int sid, int round) {
    int rc = abort_check(sid);
    if (rc != 0) return rc;
    int lan = 0;
    {
        TableLock lk;
        PSLSessionRecord *r = _PSL_Session(sid);
        if (!r) return PSL_ERR_NOT_INIT;  // the library stopped under the connect
        if (r->state.load() == PSL_STATE_CONNECTED && r->lanState == 6) return 1;
        lan = r->lanState;
    }
    rc = _PSL_RemoteRouteStep(sid, round);
    if (rc != 0) return rc;
    // Without the servers' road the connect ends with the LAN lookup.
    if (!g_remoteStep.load() && !_PSL_ServerRemoteStep && (lan == -1 || lan == 2)) return PSL_ERR_UNREACHABLE;
    return 0;
}

void fail_session(int sid) {
    TableLock lk;
    _PSL_FreeSession(_PSL_Session(sid));
}

// Once a route is up, both connect forms: the session information to the servers, the search's tasks and
// sockets released, the knock on a direct route.
void connect_succeeded(int sid) {
    if (_PSL_SendSessionInfo) _PSL_SendSessionInfo(sid);
    if (_PSL_ServerPhases_End) _PSL_ServerPhases_End(sid, 0);
    _PSL_Knock_Start(sid);
}

// A failed connect: its tasks end and the servers hear why (once, whichever step failed).
void connect_failed(int sid, int rc) {
    if (rc != PSL_ERR_NOT_INIT && _PSL_ServerPhases_End) _PSL_ServerPhases_End(sid, rc);
}

// Steps shared by both connect forms: the session named, its words drawn, the LAN lookup started.
int prepare(const char *uid, int sid, int form) {
    {
        TableLock lk;
        PSLSessionRecord *r = _PSL_Session(sid);
        if (!r) return PSL_ERR_NOT_INIT;
        store_uid(r, uid);
        _PSL_ClearConnectAbort();
    }
    const int rc = _PSL_OpenMainSocket();
    if (rc != 0) return rc;
    {
        TableLock lk;
        PSLSessionRecord *r = _PSL_Session(sid);
        if (!r) return PSL_ERR_NOT_INIT;
        r->incoming = 0;
        set_words(r, form);
        reset_progress(r);
    }
    if (_PSL_LanLookup_Start(sid) != 0) return PSL_ERR_SETUP;
    return 0;
}

int psl_connect(const char *uid, int sid) {
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    if (!_PSL_IsValidUID(uid)) {
        if (sid >= 0) fail_session(sid);
        return PSL_ERR_UID;
    }
    std::unique_lock<std::recursive_mutex> lock(g_connectMu);
    if (sid < 0) {
        sid = _PSL_AllocSession();
        if (sid < 0) return PSL_ERR_NO_SESSION;
    } else {
        TableLock lk;
        PSLSessionRecord *r = _PSL_Session(sid);
        if (!r) return PSL_ERR_NOT_INIT;
        r->reservedByCaller = 1;
    }
    int rc = prepare(uid, sid, 0);
    {
        TableLock lk;
        PSLSessionRecord *r = _PSL_Session(sid);
        if (r && r->reservedByCaller.load()) lock.unlock();
    }
    // Bounded like the callback form: a road that never gives a verdict (silent servers) ends unreachable.
    const uint64_t until = p2p_Clock_Ms() + kConnectLimitMs;
    for (int round = 0; rc == 0; ++round) {
        rc = connect_round(sid, round);
        if (rc != 0) break;
        if (p2p_Clock_Ms() >= until) {
            rc = PSL_ERR_UNREACHABLE;
            break;
        }
        usleep(10000);
    }
    if (rc > 0) {
        connect_succeeded(sid);
        return sid;
    }
    if (rc != PSL_ERR_NOT_INIT) {
        connect_failed(sid, rc);
        fail_session(sid);
    }
    return rc;
}

}  // namespace

// The callback connect's tick (10 ms, table lock held by the task manager): the same rounds as the blocking
// connect; the outcome goes to the callback once, 2 on success, -1 and the code on failure (-13 when the
// lifetime ran out without one).
void _PSL_AsyncConnect_Tick(p2p_TimerTask *task, uint32_t, uint16_t, void *arg, int expired) {
    const int sid = (int)(intptr_t)arg;
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r || r->watchTask != task) return;
    if (expired) r->serverState = -1;
    int rc;
    const uint8_t st = r->state.load();
    if (st != PSL_STATE_ALLOCATED) {
        // No longer connecting: the dispatcher connected it, or it broke on the way.
        rc = st == PSL_STATE_CONNECTED     ? 1
             : st == PSL_STATE_PEER_CLOSED ? (int)PSL_ERR_CLOSED_BY_PEER
             : st == PSL_STATE_TIMED_OUT   ? (int)PSL_ERR_TIMED_OUT
                                           : (int)PSL_ERR_SESSION;
    } else {
        rc = connect_round(sid, r->connectRound++);
        if (rc == 0 && expired) rc = PSL_ERR_TIMEOUT;
    }
    if (rc == 0) return;
    r->watchTask = nullptr;
    if (!expired) p2p_SockTaskMng_RemoveTimer(task);
    PSL_ConnectFn cb = r->connectCallback;
    void *cbArg = r->connectArg;
    if (rc > 0) {
        connect_succeeded(sid);
        r->asyncState = 2;
        r->asyncError = 0;
        if (cb) cb(2, 0, cbArg);
        return;
    }
    connect_failed(sid, rc);
    r->asyncState = -1;
    r->asyncError = rc;
    _PSL_FreeSession(r);
    if (cb) cb(-1, rc, cbArg);
}

namespace {

int psl_connect_start(const char *uid, int sid, PSL_ConnectFn cb, void *arg) {
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    if (!_PSL_IsValidUID(uid)) return PSL_ERR_UID;
    if (sid < 0) {
        sid = _PSL_AllocSession();
        if (sid < 0) return PSL_ERR_NO_SESSION;
    } else {
        TableLock lk;
        PSLSessionRecord *r = _PSL_Session(sid);
        if (!r) return PSL_ERR_NOT_INIT;
        r->reservedByCaller = 1;
    }
    {
        TableLock lk;
        PSLSessionRecord *r = _PSL_Session(sid);
        if (!r) return PSL_ERR_NOT_INIT;
        r->connectCallback = cb;
        r->connectArg = arg;
        r->asyncState = 0;
        r->asyncError = 0;
    }
    if (cb) cb(0, 0, arg);
    int rc;
    {
        std::lock_guard<std::recursive_mutex> lock(g_connectMu);
        rc = prepare(uid, sid, 1);
    }
    if (rc != 0) {
        fail_session(sid);
        return rc;
    }
    {
        TableLock lk;
        PSLSessionRecord *r = _PSL_Session(sid);
        if (!r) return PSL_ERR_NOT_INIT;
        r->asyncState = 1;
    }
    if (cb) cb(1, 0, arg);  // the caller's code runs outside the table lock
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r) return PSL_ERR_NOT_INIT;
    r->watchTask =
        p2p_SockTaskMng_AddTimer(10, kConnectLimitMs, 6, _PSL_AsyncConnect_Tick, (void *)(intptr_t)sid);
    if (!r->watchTask) {
        // The session is not left behind with its search running.
        _PSL_FreeSession(r);
        return PSL_ERR_SETUP;
    }
    return sid;
}

bool reserved_ok(int sid) {
    if (sid == -64) return true;
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    return r && r->state.load() == PSL_STATE_ALLOCATED;
}

}  // namespace

void _PSL_SetRemoteRouteStep(PSL_RemoteRouteFn fn) {
    g_remoteStep = fn;
}

int _PSL_RemoteRouteStep(int sid, int round) {
    PSL_RemoteRouteFn fn = g_remoteStep.load();
    if (!fn) fn = _PSL_ServerRemoteStep;
    return fn ? fn(sid, round) : 0;
}

int PSL_Connect_ByUID(const char *uid) {
    return psl_connect(uid, -1);
}

int PSL_Connect_ByUID_ToSession(const char *uid, int sid) {
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    if (!reserved_ok(sid)) return PSL_ERR_SESSION;
    return psl_connect(uid, sid == -64 ? -1 : sid);
}

int PSL_Reserve_Session(void) {
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    const int sid = _PSL_AllocSession();
    return sid < 0 ? PSL_ERR_NO_SESSION : sid;
}

int PSL_Connect_ByUID_Start(const char *uid, PSL_ConnectFn cb, void *arg) {
    return psl_connect_start(uid, -1, cb, arg);
}

int PSL_Connect_ByUID_Start_ToSession(const char *uid, int sid, PSL_ConnectFn cb, void *arg) {
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    if (!reserved_ok(sid)) return PSL_ERR_SESSION;
    return psl_connect_start(uid, sid == -64 ? -1 : sid, cb, arg);
}
