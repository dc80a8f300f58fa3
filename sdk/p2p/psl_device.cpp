#include "p2p/psl_device.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <string.h>

#include <atomic>
#include <mutex>

#include "p2p/psl_hello.h"
#include "p2p/psl_lan.h"

namespace {

using TableLock = PslTableLock;

// Own UID: written before the device listens, read by the dispatcher's thread.
std::mutex g_uidMu;
char g_ownUid[PSL_UID_LEN + 1] = {};
std::atomic<bool> g_hasUid{false};

std::atomic<uint16_t> g_lanPort{PSL_DEFAULT_LAN_PORT};
LinuxConn *g_second = nullptr;  // guarded by the table lock

PslPending g_pending[PSL_PENDING_MAX] = {};  // guarded by the table lock
p2p_TimerTask *g_pendingTask = nullptr;

std::atomic<bool> g_acceptWaiting{false};
std::atomic<bool> g_acceptCancel{false};

bool same_source(const p2p_NetAddr &a, const p2p_NetAddr &b) {
    return a.family == b.family && memcmp(a.address, b.address, a.family == 0 ? 4 : 16) == 0;
}

// Every 100 ms: unconfirmed LAN requests are answered again for a second, then forgotten after a few more;
// a record a server announced lives a minute.
void pending_tick(p2p_TimerTask *task, uint32_t, uint16_t, void *, int) {
    const uint64_t now = p2p_Clock_Ms();
    bool any = false;
    for (int i = 0; i < PSL_PENDING_MAX; ++i) {
        PslPending &p = g_pending[i];
        if (!p.inUse) continue;
        any = true;
        const uint64_t age = now - p.createdMs;
        const bool lan = p.lanState == 5;
        if (age >= (uint64_t)(lan ? PSL_LAN_PENDING_MS : PSL_PENDING_MS)) {
            _PSL_Pending_Clear(i);
            continue;
        }
        if (lan && age < PSL_LAN_ANSWER_MS) {
            const uint32_t words[2] = {p.randomID, p.mac};
            _PSL_SendLanSearchReply(&p.addr, words, PSL_LAN_ANSWER_ACCEPTED);
        }
    }
    // An empty table needs no tick: the next record starts a new one.
    if (!any && task == g_pendingTask) {
        g_pendingTask = nullptr;
        p2p_SockTaskMng_RemoveTimer(task);
    }
}

}  // namespace

int _PSL_IsValidUID(const char *text) {
    if (!text) return 0;
    for (int i = 0; i < PSL_UID_LEN; ++i)
        if (!isalnum((unsigned char)text[i]) || (unsigned char)text[i] > 0x7F) return 0;
    return 1;
}

const char *_PSL_OwnUid(void) {
    thread_local char copy[PSL_UID_LEN + 1];
    std::lock_guard<std::mutex> lk(g_uidMu);
    memcpy(copy, g_hasUid.load() ? g_ownUid : "", g_hasUid.load() ? sizeof copy : 1);
    return copy;
}
int _PSL_HasOwnUid(void) {
    return g_hasUid.load() ? 1 : 0;
}

int _PSL_SetOwnUid(const char *uid) {
    if (!_PSL_IsValidUID(uid)) return PSL_ERR_UID;
    std::lock_guard<std::mutex> lk(g_uidMu);
    for (int i = 0; i < PSL_UID_LEN; ++i) g_ownUid[i] = (char)toupper((unsigned char)uid[i]);
    g_ownUid[PSL_UID_LEN] = 0;
    g_hasUid = true;
    return 0;
}

int _PSL_UidMatch(const uint8_t *field, const char *ref) {
    if (!field || !ref || !ref[0]) return 0;
    for (int i = 0; i < PSL_UID_LEN; ++i) {
        if (field[i] != (uint8_t)ref[i]) return 0;
        if (!field[i]) return 1;
    }
    return 1;
}

int PSL_Set_LanSearch_Port(uint32_t port) {
    if (port > 65535) return PSL_ERR_INVALID;
    g_lanPort = (uint16_t)port;
    return 0;
}
uint16_t _PSL_LanSearchPort(void) {
    return g_lanPort.load();
}

LinuxConn *_PSL_SecondConn(void) {
    return g_second;
}

int _PSL_OpenSecondUdp(void) {
    TableLock lk;
    if (g_second) return 0;
    LinuxConnMgr *mgr = _PSL_ConnMgr();
    if (!mgr) return PSL_ERR_SETUP;
    LinuxConn *c = nullptr;
    if (LinuxConnMgr_createConnection(mgr, LINUXCONN_UDP, LINUXCONN_SERVER, 0, &c) != 0 || !c)
        return PSL_ERR_SOCKET;
    LinuxConn_setRecvCallback(c, _PSL_UdpRecvCallback, nullptr);
    uint16_t port = htons(g_lanPort.load());
    if (LinuxConn_open(c, nullptr, &port, 0, nullptr, nullptr, nullptr, nullptr) != 0) {
        LinuxConnMgr_destroyConnection(mgr, c);
        return PSL_ERR_SOCKET;
    }
    int size = PSL_UDP_RECV_MAX;
    LinuxConn_setRecvSize(c, 0, &size);
    g_second = c;
    return 0;
}

int PSL_Device_Listen(const char *uid) {
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    if (!_PSL_IsValidUID(uid)) return PSL_ERR_UID;
    int rc = _PSL_OpenMainSocket();
    if (rc == 0) rc = _PSL_OpenSecondUdp();
    if (rc != 0) return rc;
    return _PSL_SetOwnUid(uid);
}

int _PSL_AllSlotsBusy(void) {
    TableLock lk;
    for (int i = 0; i < _PSL_MaxSessions(); ++i)
        if (_PSL_Session(i)->state.load() == PSL_STATE_FREE) return 0;
    return 1;
}

int _PSL_TakeNewSession(void) {
    TableLock lk;
    for (int i = 0; i < _PSL_MaxSessions(); ++i) {
        PSLSessionRecord *r = _PSL_Session(i);
        const uint8_t st = r->state.load();
        if (r->incoming == 1 && !r->handedOut && st >= PSL_STATE_CONNECTED && st <= PSL_STATE_TIMED_OUT) {
            r->handedOut = 1;
            return i;
        }
    }
    return -1;
}

namespace {
// -18 when no record is free and every incoming session has been handed out.
bool nothing_to_hand_out() {
    TableLock lk;
    for (int i = 0; i < _PSL_MaxSessions(); ++i) {
        PSLSessionRecord *r = _PSL_Session(i);
        if (r->state.load() == PSL_STATE_FREE) return false;
        if (r->incoming == 1 && !r->handedOut && r->state.load() >= PSL_STATE_CONNECTED) return false;
    }
    return true;
}
}  // namespace

int PSL_Accept(uint32_t timeoutMs) {
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    bool expect = false;
    if (!g_acceptWaiting.compare_exchange_strong(expect, true)) return PSL_ERR_ACCEPT_WAITING;
    struct Clear {
        ~Clear() { g_acceptWaiting = false; }
    } clear;
    if (nothing_to_hand_out()) return PSL_ERR_NO_SESSION;
    if (_PSL_StoppedByServer()) return PSL_ERR_STOPPED;
    g_acceptCancel = false;
    const uint64_t deadline = p2p_Clock_Ms() + timeoutMs;
    for (;;) {
        const uint64_t gen = _PSL_ReaderGeneration();
        const int sid = _PSL_TakeNewSession();
        if (sid >= 0) return sid;
        if (timeoutMs && p2p_Clock_Ms() >= deadline) return PSL_ERR_TIMEOUT;
        if (g_acceptCancel.exchange(false)) return PSL_ERR_ACCEPT_CANCELLED;
        if (_PSL_StoppedByServer()) return PSL_ERR_STOPPED;
        if (!_PSL_Running()) return PSL_ERR_TIMEOUT;
        // A new incoming session, a cancel or the library stopping wakes the wait at once.
        _PSL_WaitForChange(gen, 10);
    }
}

int PSL_Accept_Cancel(void) {
    if (g_acceptWaiting.load()) {
        g_acceptCancel = true;
        _PSL_NotifyReaders();
    }
    return 0;
}

int PSL_Accept_Poll(int *sid) {
    if (!sid) return PSL_ERR_INVALID;
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    if (_PSL_StoppedByServer()) return PSL_ERR_STOPPED;
    *sid = _PSL_TakeNewSession();
    if (*sid < 0 && nothing_to_hand_out()) return PSL_ERR_NO_SESSION;
    return 0;
}

int _PSL_Pending_Alloc(const p2p_NetAddr *from) {
    int free = -1, fromSource = 0;
    for (int i = 0; i < PSL_PENDING_MAX; ++i) {
        if (!g_pending[i].inUse) {
            if (free < 0) free = i;
        } else if (from && same_source(g_pending[i].addr, *from)) {
            ++fromSource;
        }
    }
    if (free < 0 || fromSource >= PSL_PENDING_PER_SOURCE) return -1;
    if (!g_pendingTask) {
        g_pendingTask = p2p_SockTaskMng_AddTimer(100, 0, 0, pending_tick, nullptr);
        if (!g_pendingTask) return -1;
    }
    g_pending[free] = PslPending{};
    g_pending[free].inUse = 1;
    g_pending[free].state = 1;
    g_pending[free].createdMs = p2p_Clock_Ms();
    if (from) g_pending[free].addr = *from;
    return free;
}

PslPending *_PSL_Pending(int idx) {
    return idx >= 0 && idx < PSL_PENDING_MAX && g_pending[idx].inUse ? &g_pending[idx] : nullptr;
}

void _PSL_Pending_Clear(int idx) {
    if (idx >= 0 && idx < PSL_PENDING_MAX) g_pending[idx] = PslPending{};
}

int _PSL_FindPendingByKey(uint32_t a, uint32_t b, int shortKey) {
    for (int i = 0; i < PSL_PENDING_MAX; ++i) {
        const PslPending &p = g_pending[i];
        if (!p.inUse || p.state != 1) continue;
        if (shortKey ? (p.ver && (p.randomID & 0xFFFF) == (a & 0xFFFF)) : (p.randomID == a && p.mac == b))
            return i;
    }
    return -1;
}

int _PSL_Pending_Accept(int idx, LinuxConn *conn, const p2p_NetAddr *from, const PSLPacketHeader *h) {
    PslPending *p = _PSL_Pending(idx);
    if (!p) return -1;
    const int sid = _PSL_AllocSession();
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r) return -1;
    memcpy(r->remoteUID, p->uid, sizeof r->remoteUID);
    r->incoming = 1;
    r->randomID = p->randomID;
    r->mac = p->mac;
    r->ver = p->ver;
    r->lanState = p->lanState;
    r->peerVersion = p->peerVersion;
    r->peerProtocol = h ? h->version : p->peerProtocol;
    r->peerScrambles = h ? (h->flags & PSL_FLAG_SCRAMBLED) != 0 : p->peerScrambles;
    _PSL_Pending_Clear(idx);
    _PSL_CompleteSession(sid, h, conn, from);
    return sid;
}

void _PSL_Device_Stop(void) {
    TableLock lk;
    g_pendingTask = nullptr;  // went with the task manager
    for (int i = 0; i < PSL_PENDING_MAX; ++i) g_pending[i] = PslPending{};
    if (g_second && _PSL_ConnMgr()) LinuxConnMgr_destroyConnection(_PSL_ConnMgr(), g_second);
    g_second = nullptr;
    g_acceptCancel = false;
    g_hasUid = false;
    std::lock_guard<std::mutex> ulk(g_uidMu);
    memset(g_ownUid, 0, sizeof g_ownUid);
}
