#include "p2p/psl_session.h"

#include <arpa/inet.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "p2p/psl_connect.h"
#include "p2p/psl_device.h"
#include "p2p/psl_dispatch.h"
#include "p2p/psl_lan.h"
#include "p2p/psl_master.h"
#include "p2p/psl_private.h"
#include "p2p/psl_punch.h"

static_assert(offsetof(PSLSessionInfo, remoteIP) == 27 && offsetof(PSLSessionInfo, remotePort) == 74 &&
                  offsetof(PSLSessionInfo, groupIds) == 88 && offsetof(PSLSessionInfo, localNatType) == 95 &&
                  offsetof(PSLSessionInfo, flags) == 100 && offsetof(PSLSessionInfo, relayIP) == 104 &&
                  offsetof(PSLSessionInfo, relayPort) == 152,
              "session information offsets");
static_assert(offsetof(PSLSessionInfoShort, remoteIP) == 23 &&
                  offsetof(PSLSessionInfoShort, txPackets) == 72 &&
                  offsetof(PSLSessionInfoShort, natType) == 90,
              "short session information offsets");

namespace {

// Library-wide state. The init state is read without the table lock by every entry point.
std::atomic<uint8_t> g_initState{0};  // 0 none, 1 private, 2 public, 3 stopping
std::atomic<int> g_maxSessions{PSL_DEFAULT_MAX_SESSIONS};
std::atomic<int> g_sessionTimeout{60};
std::atomic<bool> g_noTimeout{false};
PSLSessionRecord *g_table = nullptr;  // g_tableSize records, guarded by pslSessionLock
int g_tableSize = 0;
LinuxConnMgr *g_mgr = nullptr;
LinuxConn *g_mainConn = nullptr;  // the library's UDP socket, once init opens it
uint16_t g_mainPortNet = 0;       // its bound port
uint16_t g_initPortNet = 0;       // the port PSL_Initialize was given (network order; 0 any)
p2p_TimerTask *g_keepAlive = nullptr;
std::atomic<bool> g_stoppedByServer{false};
std::mutex g_readerMu;
std::condition_variable g_readerCv;
std::atomic<uint64_t> g_readerGen{0};

// The recently-closed list: its own lock, as the dispatcher consults it under the table lock and the
// close appends under it too. Times are monotonic milliseconds.
struct ClosedEntry {
    uint32_t randomID;
    uint32_t mac;
    int32_t ver;
    uint64_t closedMs;
};
constexpr uint64_t kRecentMs = 20000;
std::mutex g_closedMu;
std::vector<ClosedEntry> g_closed;

using TableLock = PslTableLock;

bool running() {
    const uint8_t s = g_initState.load();
    return s == 1 || s == 2;
}

void reset_record(PSLSessionRecord *r) {
    r->~PSLSessionRecord();
    new (r) PSLSessionRecord();
    r->routeType = PSL_ROUTE_NONE;
}

// Set when data went to a channel's receive callback: the next quiet spell of the sockets runs the channels'
// idle callbacks (the stream sends its held-back acknowledgements there).
std::atomic<bool> g_idleWork{false};

void run_idle_work() {
    TableLock lk;
    for (int i = 0; i < g_tableSize; ++i) {
        PSLSessionRecord *r = &g_table[i];
        if (r->state.load() == PSL_STATE_FREE) continue;
        for (int c = 0; c < PSL_CHANNELS; ++c) {
            if (!r->channelIdleCallback[c] || !r->channelIdlePending[c]) continue;
            r->channelIdlePending[c] = 0;
            r->channelIdleCallback[c](i, c, nullptr, 0, 0);
        }
    }
}

void idle_hook(LinuxConnMgr *m, void *) {
    if (!g_idleWork.exchange(false)) return;
    LinuxConnMgr_setTimeout(m, 50);
    run_idle_work();
}

// A socket read until empty is a quiet spell too: acknowledgements held back during a burst go at its end,
// not a poll time-out later.
void drained_hook(LinuxConnMgr *, void *) {
    if (g_idleWork.exchange(false)) run_idle_work();
}

void keep_alive_task(p2p_TimerTask *, uint32_t, uint16_t, void *, int) {
    _PSL_KeepAliveTick();
}

void release_route(PSLSessionRecord *r) {
    if (r->routeConn && r->ownsRoute && g_mgr) LinuxConnMgr_destroyConnection(g_mgr, r->routeConn);
    r->routeConn = nullptr;
    r->ownsRoute = false;
}

// Sends the session's close (three times, five on a relay) or one keep-alive on its route.
void send_control(PSLSessionRecord *r, bool close) {
    LinuxConn *conn = nullptr;
    p2p_NetAddr to{};
    const int route = _PSL_GetRoute(r->sid, &conn, &to);
    if (route < 0 || !conn) return;
    const bool relay = route == PSL_ROUTE_RELAY_UDP || route == PSL_ROUTE_RELAY_TCP;
    const char *name = close ? (relay ? (r->incoming ? "MSG_RELAY_CLOSE_D" : "MSG_RELAY_CLOSE_C")
                                      : (r->incoming ? "MSG_P2P_CLOSE_D" : "MSG_P2P_CLOSE_C"))
                             : (relay ? (r->incoming ? "MSG_RELAY_ALIVE_D" : "MSG_RELAY_ALIVE_C")
                                      : (r->incoming ? "MSG_P2P_ALIVE_D" : "MSG_P2P_ALIVE_C"));
    const PslMsgDef *msg = psl_Msg_ByName(name);
    const PslFormDef *form = msg ? psl_Msg_Form(msg, r->ver ? "noext" : "ext") : nullptr;
    if (!form) return;
    PslValue v[4] = {};
    size_t n = 0;
    v[n++] = {
        "sessionTag", relay ? r->relaySessionId : (int64_t)(r->randomID & 0xFFFF), nullptr, 0, nullptr, 0};
    if (!r->ver) {
        v[n++] = {"randomID", r->randomID, nullptr, 0, nullptr, 0};
        v[n++] = {"mac", r->mac, nullptr, 0, nullptr, 0};
        v[n++] = {"flags", PSL_FLAG_SESSION_EXT, nullptr, 0, nullptr, 0};
    }
    uint8_t pkt[PSL_SEND_MAX];
    const int len = psl_Msg_Build(msg, form, v, n, pkt, sizeof pkt);
    if (len <= 0) return;
    char host[64] = {};
    uint16_t port = 0;
    if (p2p_Net_AddrToString(&to, sizeof host, host, &port, nullptr) != 0) return;
    const int times = close ? (relay ? 5 : 3) : 1;
    for (int i = 0; i < times; ++i) {
        uint8_t copy[PSL_SEND_MAX];
        memcpy(copy, pkt, (size_t)len);
        _PSL_SendPacket(conn, copy, (uint16_t)len, host, port);
    }
}

void fill_info(const PSLSessionRecord *r, PSLSessionInfo *info) {
    LinuxConn *conn = nullptr;
    p2p_NetAddr to{};
    const int route = _PSL_GetRoute(r->sid, &conn, &to);
    if (route >= 0) {
        info->mode = route == PSL_ROUTE_LAN   ? PSL_MODE_LAN
                     : route == PSL_ROUTE_P2P ? PSL_MODE_P2P
                                              : PSL_MODE_RELAY;
        info->relayKind = route == PSL_ROUTE_RELAY_UDP ? 1 : route == PSL_ROUTE_RELAY_TCP ? 2 : 0;
    }
    info->isIncoming = (uint8_t)r->incoming;
    memcpy(info->remoteUID, r->remoteUID, sizeof info->remoteUID);
    uint16_t port = 0;
    if (r->routeAddr.port || r->routeAddr.address[0]) {
        p2p_Net_AddrToString(&r->routeAddr, sizeof info->remoteIP, info->remoteIP, &port, nullptr);
        p2p_Net_CheckMappedIPv4(info->remoteIP, sizeof info->remoteIP);
        info->remotePort = ntohs(port);
    }
    for (int c = 0; c < PSL_CHANNELS; ++c) {
        if (!r->channelOn[c]) continue;
        info->txPackets += r->txCount[c];
        info->rxPackets += r->rxCount[c];
    }
    info->remoteVersion = r->peerVersion;
    info->natType = r->peerNatType;
    if (r->peerReportedAddr.port) {
        p2p_Net_AddrToString(&r->peerReportedAddr, sizeof info->relayIP, info->relayIP, &port, nullptr);
        info->relayPort = ntohs(port);
    }
}

}  // namespace

int _PSL_StoppedByServer(void) {
    return g_stoppedByServer.load() ? 1 : 0;
}
void _PSL_SetStoppedByServer(int on) {
    g_stoppedByServer = on != 0;
    _PSL_NotifyReaders();
}

uint64_t _PSL_ReaderGeneration(void) {
    return g_readerGen.load();
}
namespace {
// One waiting thread. A waiter for a channel's data (sid >= 0) is woken by that channel's deliveries and by
// every general change; any other waiter by general changes only. Each has its own condition, so data for
// one reader does not wake the others (nor the accept loop).
struct ReaderWaiter {
    int sid;
    int channel;
    bool woken = false;
    std::condition_variable cv;
    ReaderWaiter *next = nullptr;
};
ReaderWaiter *g_waiters = nullptr;  // guarded by g_readerMu
std::atomic<int> g_waiterCount{0};  // read without the lock: no waiter, no lock and no wake-up

// Wakes the waiters for (sid, channel), or all of them when sid < 0. The generation moves first, so a
// waiter that registered after the count was read still sees the change in its predicate.
void wake_waiters(int sid, int channel) {
    ++g_readerGen;
    if (g_waiterCount.load() == 0) return;
    std::lock_guard<std::mutex> lk(g_readerMu);
    for (ReaderWaiter *w = g_waiters; w; w = w->next) {
        if (sid >= 0 && (w->sid != sid || w->channel != channel)) continue;
        w->woken = true;
        w->cv.notify_one();
    }
}

// A thread that holds the table lock while it wakes readers defers the wake-up to its unlock, so a woken
// reader does not at once block on the lock and need a second wake-up.
thread_local int t_deferNotify = 0;
thread_local bool t_notifyAll = false;
thread_local int t_pendingSid = -1, t_pendingChannel = -1;  // one held channel wake-up (the common case)

void flush_deferred() {
    const bool all = t_notifyAll;
    const int sid = t_pendingSid, channel = t_pendingChannel;
    t_notifyAll = false;
    t_pendingSid = t_pendingChannel = -1;
    if (all)
        wake_waiters(-1, -1);
    else if (sid >= 0)
        wake_waiters(sid, channel);
}
}  // namespace

void _PSL_DeferReaderNotify(int on) {
    if (on) {
        ++t_deferNotify;
        return;
    }
    if (t_deferNotify > 0 && --t_deferNotify == 0) flush_deferred();
}

void _PSL_NotifyReaders(void) {
    if (t_deferNotify > 0) {
        t_notifyAll = true;
        return;
    }
    wake_waiters(-1, -1);
}

void _PSL_NotifyChannel(int sid, int channel) {
    if (t_deferNotify > 0) {
        // A second, different channel in one deferred spell falls back to waking everyone.
        if (t_pendingSid >= 0 && (t_pendingSid != sid || t_pendingChannel != channel)) t_notifyAll = true;
        t_pendingSid = sid;
        t_pendingChannel = channel;
        return;
    }
    wake_waiters(sid, channel);
}

void _PSL_WaitForData(int sid, int channel, uint64_t seen, uint32_t ms) {
    ReaderWaiter self;
    self.sid = sid;
    self.channel = channel;
    std::unique_lock<std::mutex> lk(g_readerMu);
    self.next = g_waiters;
    g_waiters = &self;
    ++g_waiterCount;
    self.cv.wait_for(lk, std::chrono::milliseconds(ms),
                     [&self, seen] { return self.woken || g_readerGen.load() != seen; });
    --g_waiterCount;
    for (ReaderWaiter **p = &g_waiters; *p; p = &(*p)->next) {
        if (*p == &self) {
            *p = self.next;
            break;
        }
    }
}

void _PSL_WaitForChange(uint64_t seen, uint32_t ms) {
    _PSL_WaitForData(-1, -1, seen, ms);
}

int _PSL_InitState(void) {
    return g_initState.load();
}
int _PSL_MaxSessions(void) {
    return g_tableSize;
}
LinuxConnMgr *_PSL_ConnMgr(void) {
    return g_mgr;
}
LinuxConn *_PSL_MainConn(void) {
    return g_mainConn;
}
uint16_t _PSL_MainPort(void) {
    return g_mainPortNet;
}

void _PSL_UdpRecvCallback(LinuxConn *conn, const char *host, uint16_t portNet, uint8_t *buf, int64_t len,
                          void *) {
    if (len > 0) _PSL_OnUdpPacket(conn, host, portNet, buf, (size_t)len);
}

int _PSL_OpenMainSocket(void) {
    TableLock lk;
    if (g_mainConn) return 0;
    if (!g_mgr) return PSL_ERR_SOCKET;
    LinuxConn *c = nullptr;
    if (LinuxConnMgr_createConnection(g_mgr, LINUXCONN_UDP, LINUXCONN_SERVER, 0, &c) != 0 || !c)
        return PSL_ERR_SOCKET;
    LinuxConn_setRecvCallback(c, _PSL_UdpRecvCallback, nullptr);
    uint16_t port = g_initPortNet;
    int size = PSL_UDP_RECV_MAX;
    if (LinuxConn_open(c, nullptr, &port, 0, nullptr, nullptr, nullptr, nullptr) != 0) {
        LinuxConnMgr_destroyConnection(g_mgr, c);
        return PSL_ERR_SOCKET;
    }
    LinuxConn_setRecvSize(c, 0, &size);
    g_mainPortNet = port;
    g_mainConn = c;
    return 0;
}

int _PSL_MoveMainSocket(void) {
    TableLock lk;
    if (!g_mgr || !g_mainConn) return PSL_ERR_SOCKET;
    if (g_initPortNet) return 1;
    for (int i = 0; i < g_tableSize; ++i) {
        const uint8_t st = g_table[i].state.load();
        if (st == PSL_STATE_ALLOCATED || st == PSL_STATE_CONNECTED) return 1;
    }
    LinuxConn *c = nullptr;
    if (LinuxConnMgr_createConnection(g_mgr, LINUXCONN_UDP, LINUXCONN_SERVER, 0, &c) != 0 || !c)
        return PSL_ERR_SOCKET;
    LinuxConn_setRecvCallback(c, _PSL_UdpRecvCallback, nullptr);
    uint16_t port = 0;
    int size = PSL_UDP_RECV_MAX;
    if (LinuxConn_open(c, nullptr, &port, 0, nullptr, nullptr, nullptr, nullptr) != 0) {
        LinuxConnMgr_destroyConnection(g_mgr, c);
        return PSL_ERR_SOCKET;
    }
    LinuxConn_setRecvSize(c, 0, &size);
    LinuxConn *old = g_mainConn;
    for (int i = 0; i < g_tableSize; ++i)
        if (g_table[i].routeConn == old) {
            g_table[i].routeConn = nullptr;
            g_table[i].routeType = PSL_ROUTE_NONE;
        }
    g_mainConn = c;
    g_mainPortNet = port;
    LinuxConnMgr_destroyConnection(g_mgr, old);
    return 0;
}

PSLSessionRecord *_PSL_Session(int sid) {
    if (!g_table || sid < 0 || sid >= g_tableSize) return nullptr;
    return &g_table[sid];
}

void psl_session_lock(void) {
    p2p_Mutex_Lock(&pslSessionLock, 1);
}
void psl_session_unlock(void) {
    p2p_Mutex_Unlock(&pslSessionLock);
}

int PSL_Set_Max_Sessions(int count) {
    if (count > 0 && g_initState.load() == 0) g_maxSessions = count;
    return g_maxSessions.load();
}

int PSL_Get_Library_Version(uint32_t *out) {
    if (out) *out = PSL_LIBRARY_VERSION;
    return 0;
}

int PSL_Set_Session_Timeout(int seconds) {
    if (seconds <= 0) seconds = 1;
    if (seconds > 255) seconds = 255;  // the silence counter is one byte
    g_sessionTimeout = seconds;
    return seconds;
}

int PSL_Initialize(uint16_t udpPort) {
    uint8_t expect = 0;
    if (!g_initState.compare_exchange_strong(expect, 3)) return PSL_ERR_ALREADY_INIT;
    p2p_Rand_Seed();
    {
        TableLock lk;
        const int n = g_maxSessions.load();
        g_table = new (std::nothrow) PSLSessionRecord[(size_t)n];
        if (!g_table) {
            g_initState = 0;
            return PSL_ERR_NO_MEMORY_INIT;
        }
        g_tableSize = n;
        for (int i = 0; i < n; ++i) {
            reset_record(&g_table[i]);
            g_table[i].sid = i;
        }
    }
    FILE *f = fopen("notimeout", "rb");
    g_noTimeout = f != nullptr;
    if (f) fclose(f);
    if (LinuxConnMgr_getInstance(&g_mgr) != 0 || !g_mgr) {
        g_mgr = nullptr;
        TableLock lk;
        delete[] g_table;
        g_table = nullptr;
        g_tableSize = 0;
        g_initState = 0;
        return PSL_ERR_SETUP;
    }
    LinuxConnMgr_setTimeout(g_mgr, 500);
    g_idleWork = false;
    LinuxConnMgr_setTimeoutCallback(g_mgr, idle_hook, nullptr);
    LinuxConnMgr_setDrainedCallback(g_mgr, drained_hook, nullptr);
    if (p2p_SockTaskMng_Init() != 0 ||
        !(g_keepAlive = p2p_SockTaskMng_AddTimer(1000, 0, 0, keep_alive_task, nullptr))) {
        p2p_SockTaskMng_DeInit();
        LinuxConnMgr_release(g_mgr);
        g_mgr = nullptr;
        TableLock lk;
        delete[] g_table;
        g_table = nullptr;
        g_tableSize = 0;
        g_initState = 0;
        return PSL_ERR_SETUP;
    }
    g_stoppedByServer = false;
    g_initPortNet = htons(udpPort);
    if (_PSL_OpenMainSocket() != 0) {
        p2p_SockTaskMng_DeInit();
        g_keepAlive = nullptr;
        LinuxConnMgr_release(g_mgr);
        g_mgr = nullptr;
        TableLock lk;
        delete[] g_table;
        g_table = nullptr;
        g_tableSize = 0;
        g_initState = 0;
        return PSL_ERR_SOCKET;
    }
    g_initState = 2;
    return 0;
}

int PSL_Initialize_WithServers(uint16_t udpPort, const char *h1, const char *h2, const char *h3,
                               const char *h4) {
    const char *const hosts[4] = {h1, h2, h3, h4};
    const int rc = PSL_Initialize(udpPort);
    bool given = false;
    for (const char *h : hosts) given = given || (h && *h);
    if (rc != 0 || !given) return rc;
    const int set = _PSL_Master_SetPrivateHosts(hosts);
    if (set != 0) {
        PSL_DeInitialize();
        return set;
    }
    g_initState = 1;
    return 0;
}

int PSL_DeInitialize(void) {
    if (!running()) return PSL_ERR_NOT_INIT;
    if (!g_mgr) return PSL_ERR_SETUP;
    g_initState = 3;
    _PSL_NotifyReaders();
    if (g_keepAlive) {
        p2p_SockTaskMng_RemoveTimer(g_keepAlive);
        g_keepAlive = nullptr;
    }
    {
        TableLock lk;
        for (int i = 0; i < g_tableSize; ++i) {
            PSLSessionRecord *r = &g_table[i];
            if (r->state.load() == PSL_STATE_FREE) continue;
            for (int c = 0; c < PSL_CHANNELS; ++c)
                if (r->channelCloseCallback[c]) r->channelCloseCallback[c](i, c, 1, g_table);
        }
    }
    _PSL_ServerSide_Stop();
    // The manager threads take the table lock in their loops: never hold it while they are joined.
    p2p_SockTaskMng_DeInit();
    // The timer tasks are gone with their thread: the modules forget theirs and free what they hold.
    _PSL_Lan_Stop();
    _PSL_Punch_Stop();
    _PSL_Device_Stop();
    _PSL_Private_Stop();
    _PSL_RecentPeer_Clear();
    {
        TableLock lk;
        for (int i = 0; i < g_tableSize; ++i) _PSL_FreeSession(&g_table[i]);
        if (g_mainConn) LinuxConnMgr_destroyConnection(g_mgr, g_mainConn);
        g_mainConn = nullptr;
        g_mainPortNet = 0;
    }
    LinuxConnMgr_setTimeoutCallback(g_mgr, nullptr, nullptr);
    LinuxConnMgr_setDrainedCallback(g_mgr, nullptr, nullptr);
    LinuxConnMgr_release(g_mgr);
    g_mgr = nullptr;
    {
        TableLock lk;
        delete[] g_table;
        g_table = nullptr;
        g_tableSize = 0;
    }
    g_initState = 0;
    return 0;
}

void _PSL_IdleWorkPending(void) {
    g_idleWork = true;
    if (g_mgr) LinuxConnMgr_setTimeout(g_mgr, 500);
}

int _PSL_CheckSession(int sid) {
    if (!running()) return PSL_ERR_NOT_INIT;
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r) return PSL_ERR_SESSION;
    switch (r->state.load()) {
        case PSL_STATE_CONNECTED:
            return 0;
        case PSL_STATE_PEER_CLOSED:
            return PSL_ERR_CLOSED_BY_PEER;
        case PSL_STATE_TIMED_OUT:
            return PSL_ERR_TIMED_OUT;
        default:
            return PSL_ERR_SESSION;
    }
}

int _PSL_GetRoute(int sid, LinuxConn **conn, p2p_NetAddr *addr) {
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r || !r->routeConn) return -1;
    if (conn) *conn = r->routeConn;
    if (addr) *addr = r->routeAddr;
    return r->routeType.load();
}

void _PSL_InitSessionRecord(PSLSessionRecord *r) {
    const int sid = r->sid;
    reset_record(r);
    r->sid = sid;
    _PSL_MsgQueue_Create(&r->channelMsgQueue[0]);
    r->state = PSL_STATE_ALLOCATED;
}

int _PSL_AllocSession(void) {
    if (!running()) return -1;
    TableLock lk;
    for (int i = 0; i < g_tableSize; ++i) {
        if (g_table[i].state.load() != PSL_STATE_FREE) continue;
        g_table[i].sid = i;
        _PSL_InitSessionRecord(&g_table[i]);
        return i;
    }
    return -1;
}

// Frees everything the record holds, always to the end: a socket the manager will not destroy is only
// dropped from the record, so the record never stays half-freed and allocated.
int _PSL_FreeSession(PSLSessionRecord *r) {
    if (!r) return -1;
    TableLock lk;
    r->closing = 1;
    _PSL_NotifyReaders();
    if (r->watchTask) p2p_SockTaskMng_RemoveTimer(r->watchTask);
    r->watchTask = nullptr;
    release_route(r);
    for (PSLMsgQueue *&q : r->channelMsgQueue) {
        if (q) _PSL_MsgQueue_Free(q);
        q = nullptr;
    }
    const int sid = r->sid;
    reset_record(r);
    r->sid = sid;
    return 0;
}

void PSL_Session_Close(int sid) {
    if (!running()) return;
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r || r->state.load() == PSL_STATE_FREE) return;
    if (r->state.load() == PSL_STATE_CONNECTED) send_control(r, true);
    for (int c = 0; c < PSL_CHANNELS; ++c)
        if (r->channelCloseCallback[c]) r->channelCloseCallback[c](sid, c, 2, g_table);
    if (_PSL_HasOwnUid()) _PSL_RecentPeer_Add(r->randomID, r->mac, r->ver);
    _PSL_FreeSession(r);
}

void _PSL_RecentPeer_Add(uint32_t randomID, uint32_t mac, int ver) {
    std::lock_guard<std::mutex> lk(g_closedMu);
    g_closed.push_back({randomID, mac, ver, p2p_Clock_Ms()});
}

int _PSL_RecentPeer_Find(uint32_t randomID, uint32_t mac, int ver) {
    if (!_PSL_HasOwnUid()) return 0;
    std::lock_guard<std::mutex> lk(g_closedMu);
    const uint64_t now = p2p_Clock_Ms();
    int found = 0;
    for (auto it = g_closed.begin(); it != g_closed.end();) {
        if (now - it->closedMs >= kRecentMs) {
            it = g_closed.erase(it);
            continue;
        }
        if (it->ver == ver && (ver == 0 ? it->randomID == randomID && it->mac == mac
                                        : (it->randomID & 0xFFFF) == (randomID & 0xFFFF)))
            found = 1;
        ++it;
    }
    return found;
}

void _PSL_RecentPeer_Clear(void) {
    std::lock_guard<std::mutex> lk(g_closedMu);
    g_closed.clear();
    g_closed.shrink_to_fit();
}

int _PSL_RecentPeer_Count(void) {
    std::lock_guard<std::mutex> lk(g_closedMu);
    return (int)g_closed.size();
}

void psl_print_closed_sessions(void) {
    std::lock_guard<std::mutex> lk(g_closedMu);
    for (const ClosedEntry &e : g_closed)
        printf("randomID[%d], mac[%d], ver[%d]\n", (int)e.randomID, (int)e.mac, (int)e.ver);
}

int PSL_Session_Check_Ex(int sid, PSLSessionInfo *info) {
    if (!running()) return PSL_ERR_NOT_INIT;
    if (!info || (info->size != 92 && info->size != 156)) return PSL_ERR_INVALID;
    TableLock lk;
    const int32_t size = info->size;
    memset(info, 0, sizeof *info);
    info->size = size;
    info->mode = PSL_MODE_UNKNOWN;
    const int rc = _PSL_CheckSession(sid);
    if (rc != 0) return rc;
    fill_info(_PSL_Session(sid), info);
    return 0;
}

int PSL_Session_Check(int sid, PSLSessionInfoShort *out) {
    if (!running()) return PSL_ERR_NOT_INIT;
    if (!out) return PSL_ERR_INVALID;
    PSLSessionInfo info{};
    info.size = 92;
    const int rc = PSL_Session_Check_Ex(sid, &info);
    memset(out, 0, sizeof *out);
    out->mode = info.mode;
    out->isIncoming = info.isIncoming;
    memcpy(out->remoteUID, info.remoteUID, sizeof out->remoteUID);
    memcpy(out->remoteIP, info.remoteIP, sizeof out->remoteIP);
    out->remotePort = info.remotePort;
    out->txPackets = info.txPackets;
    out->rxPackets = info.rxPackets;
    out->remoteVersion = info.remoteVersion;
    memcpy(out->groupIds, info.groupIds, sizeof out->groupIds);
    out->natType = info.natType;
    return rc;
}

int PSL_Session_Set_Status_Callback(int sid, PSL_StatusFn cb) {
    if (!running()) return PSL_ERR_NOT_INIT;
    TableLock lk;
    const int rc = _PSL_CheckSession(sid);
    if (rc != 0) return rc;
    _PSL_Session(sid)->statusCallback = cb;
    return 0;
}

int PSL_Private_Get_RetryDelay(int sid, uint32_t magic, int) {
    if (magic != PSL_PRIVATE_MAGIC) return PSL_WRONG_MAGIC;
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r || r->rttValid != 1) return 0;
    if (r->rttMs > 1000) return 500;
    return r->rttMs < 3 ? 10 : r->rttMs + 10;
}

int PSL_Private_Get_Silence(int sid, uint32_t magic, int) {
    if (magic != PSL_PRIVATE_MAGIC) return 255;
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    return r ? r->idleTicks.load() : 0;
}

int PSL_Private_Stub(void) {
    return -1;
}

// Supervision, once a second: a connected session whose peer stayed silent past the limit times out;
// otherwise it sends a keep-alive, every second tick while the peer is lively, every tick after 5 silent
// ones.
void _PSL_KeepAliveTick(void) {
    TableLock lk;
    for (int i = 0; i < g_tableSize; ++i) {
        PSLSessionRecord *r = &g_table[i];
        if (r->state.load() != PSL_STATE_CONNECTED) continue;
        if (r->idleTicks.load() > g_sessionTimeout.load()) {
            _PSL_SessionBroken(r, PSL_ERR_TIMED_OUT);
            continue;
        }
        if (!g_noTimeout.load() && r->idleTicks.load() < 255) ++r->idleTicks;
        if (r->idleTicks.load() <= 4) {
            r->aliveSkip ^= 1;
            if (r->aliveSkip) continue;
        }
        send_control(r, false);
    }
}

void _PSL_SessionBroken(PSLSessionRecord *r, int error) {
    uint8_t expect = PSL_STATE_CONNECTED;
    const uint8_t to = error == PSL_ERR_TIMED_OUT ? PSL_STATE_TIMED_OUT : PSL_STATE_PEER_CLOSED;
    if (!r || !r->state.compare_exchange_strong(expect, to)) return;
    if (to == PSL_STATE_PEER_CLOSED)
        for (uint16_t &s : r->rxExpectedSeq) s = 0;
    _PSL_NotifyReaders();
    if (r->statusCallback) r->statusCallback(r->sid, error);
    for (int c = 0; c < PSL_CHANNELS; ++c)
        if (r->channelRecvCallback[c]) r->channelRecvCallback[c](r->sid, c, nullptr, 0, error);
}
