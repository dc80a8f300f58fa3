#include "p2p/psl_punch.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/time.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "p2p/psl_connect.h"
#include "p2p/psl_device.h"
#include "p2p/psl_dispatch.h"
#include "p2p/psl_hello.h"
#include "p2p/psl_lan.h"
#include "p2p/psl_messages.h"
#include "p2p/psl_servers.h"
#include "p2p/psl_session.h"
#include "p2p/tconn_manager.h"

namespace {

using TableLock = PslTableLock;

enum : uint16_t { HELLO = 0x0401 };

std::atomic<int> g_punchTime{-1};
std::atomic<uint32_t> g_guessCounter{0};
std::atomic<bool> g_guessCounterSet{false};

bool addrSet(const p2p_NetAddr &a) {
    static const uint8_t zero[16] = {};
    return a.port != 0 && memcmp(a.address, zero, a.family == 0 ? 4 : 16) != 0;
}

// An address block (00 02 <port> <IPv4>) as a record; false for an empty block.
bool blockToAddr(const uint8_t *block, p2p_NetAddr *out) {
    uint32_t ip = 0;
    uint16_t port = 0;
    p2p_AddrBlock_Read(block, &ip, &port);
    if (!ip || !port) return false;
    char host[INET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, &ip, host, sizeof host)) return false;
    return p2p_Net_ResolveAddr(host, port, out) == 0;
}

// This host's IPv4 addresses other than loopback (at most 4) with the main socket's port, as blocks.
int localBlocks(uint8_t out[4 * 16]) {
    memset(out, 0, 4 * 16);
    const uint16_t port = _PSL_MainPort();
    ifaddrs *list = nullptr;
    if (!port || getifaddrs(&list) != 0) return 0;
    int n = 0;
    for (ifaddrs *i = list; i && n < 4; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        const uint32_t ip = reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr;
        if ((ntohl(ip) >> 24) == 127) continue;
        p2p_AddrBlock_Write(out + 16 * n++, ip, port);
    }
    freeifaddrs(list);
    return n;
}

uint32_t nextGuessCount() {
    if (!g_guessCounterSet.exchange(true)) g_guessCounter = (uint32_t)p2p_Rand();
    return g_guessCounter.fetch_add(1);
}

// The port of the first address of the group that is not `target` (host order), or -1.
int otherServerPort(int group, const p2p_NetAddr *target) {
    PslServerAddr all[PSL_GROUP_SERVERS_MAX];
    const int n = _PSL_GroupAddresses(group, all, PSL_GROUP_SERVERS_MAX);
    for (int i = 0; i < n; ++i) {
        p2p_NetAddr a{};
        if (p2p_Net_ResolveAddr(all[i].host, all[i].portNet, &a) != 0) continue;
        if (target && _PSL_SameEndpoint(&a, target)) continue;
        return ntohs(all[i].portNet);
    }
    return -1;
}

int sendBuilt(LinuxConn *conn, const char *name, const char *form, const PslValue *v, size_t n,
              const p2p_NetAddr &to) {
    const PslMsgDef *m = psl_Msg_ByName(name);
    const PslFormDef *f = m ? psl_Msg_Form(m, form) : nullptr;
    if (!conn || !f) return 0;
    uint8_t pkt[PSL_SEND_MAX];
    const int len = psl_Msg_Build(m, f, v, n, pkt, sizeof pkt);
    if (len <= 0) return 0;
    char host[64];
    _PSL_AddrText(&to, host);
    return _PSL_SendPacket(conn, pkt, (uint16_t)len, host, to.port);
}

// MSG_PUNCH to one server entry; unless decoys are off or this host is symmetric, a copy to a guessed port
// of the same host shows the server how this NAT allocates ports.
void sendPunch(const PSLSessionRecord *r, const PSLConnectCtx *c, const p2p_NetAddr &to,
               uint8_t entryVersion) {
    LinuxConn *conn = _PSL_ServersConn();
    if (!conn) return;
    char uid[PSL_UID_LEN + 1] = {};
    memcpy(uid, r->remoteUID, PSL_UID_LEN);
    const PslValue uidV{"UID",   0, reinterpret_cast<const uint8_t *>(uid), strnlen(uid, PSL_UID_LEN),
                        nullptr, 0};
    uint8_t locals[4 * 16] = {};
    if (_PSL_LanLookupTime() != 0) localBlocks(locals);
    uint8_t observed[PSL_OBSERVED * 16];
    uint32_t flags[PSL_OBSERVED];
    _PSL_ObservedAddresses(observed, flags);
    PslValue v[8] = {uidV};
    size_t n = 1;
    const char *form = "punch36";
    if (c->remoteVersion >= 10) {
        form = entryVersion < 11 ? "punch96" : "punch272";
        v[n++] = {"localAddrs", 0, locals, sizeof locals, nullptr, 0};
        v[n++] = {"randomID", r->randomID, nullptr, 0, nullptr, 0};
        v[n++] = {"mac", r->mac, nullptr, 0, nullptr, 0};
        v[n++] = {"natType", _PSL_NatType(), nullptr, 0, nullptr, 0};
        if (entryVersion >= 11) {
            v[n++] = {"observed", 0, observed, sizeof observed, nullptr, 0};
            v[n++] = {"observedFlags", 0, nullptr, 0, flags, PSL_OBSERVED};
        }
    }
    sendBuilt(conn, "MSG_PUNCH", form, v, n, to);
    if (_PSL_ConnectOption(1) == 1 || _PSL_NatType() == PSL_NAT_SYMMETRIC) return;
    p2p_NetAddr guessed = to;
    guessed.port = htons(_PSL_GuessPort(otherServerPort(c->groupIndex, &to)));
    sendBuilt(conn, "MSG_PUNCH", form, v, n, guessed);
}

int natSum(const PSLSessionRecord *r) {
    return r->peerNatType + _PSL_NatType();
}

void punchTick(p2p_TimerTask *t, uint32_t period, uint16_t, void *userData, int expired) {
    PSLConnectCtx *c = nullptr;
    PSLSessionRecord *r = _PSL_LookupTick_Begin(
        t, userData, expired,
        [](PSLSessionRecord *s) {
            int expect = 1;
            s->punchState.compare_exchange_strong(expect, -1);
        },
        -1, false, &c);
    const int sid = (int)(intptr_t)userData;
    if (!r) return;
    if (r->punchState.load() == 3) {
        _PSL_ForgetSessionTask(sid, t);
        p2p_SockTaskMng_RemoveTimer(t);
        return;
    }
    const bool fast = _PSL_ConnectOption(2) == 1;
    const int sum = natSum(r);
    bool send = true;
    if (c->peerAddrSeen) send = c->punchElapsedMs % ((fast && sum != 5) ? 200 : 500) == 0;
    if (send) {
        if (sum == 5) {
            PslServerAddr first[1];
            if (_PSL_GroupAddresses(c->groupIndex, first, 1) == 1) {
                p2p_NetAddr to{};
                uint8_t ver = 0;
                if (p2p_Net_ResolveAddr(first[0].host, first[0].portNet, &to) == 0) {
                    for (const PSLPeerEntry &e : c->entries)
                        if (e.hasA && _PSL_SameEndpoint(&e.addrA, &to)) ver = e.version;
                    sendPunch(r, c, to, ver);
                }
            }
        } else if (fast) {
            int i = c->punchRotation % PSL_PEER_ENTRIES;
            if (!c->entries[i].hasA) {
                i = 0;
                c->punchRotation = 0;
            }
            const PSLPeerEntry &e = c->entries[i];
            if (e.hasA && (c->remoteVersion < 10 || e.version >= 10)) sendPunch(r, c, e.addrA, e.version);
            ++c->punchRotation;
        } else {
            for (const PSLPeerEntry &e : c->entries) {
                if (!e.hasA || (c->remoteVersion >= 10 && e.version <= 9)) continue;
                sendPunch(r, c, e.addrA, e.version);
            }
        }
    }
    c->punchElapsedMs += (int32_t)period;
}

// ---- port guessing

struct GuessNode {
    uint32_t id = 0;
    uint32_t counter = 0;
    p2p_NetAddr addrs[8] = {};
    int32_t basePorts[8] = {};  // host order
    uint8_t deviceSide = 0;
    char uid[PSL_UID_LEN + 1] = {};
    int32_t limit = 0;
    uint32_t randomID = 0, mac = 0;
    int32_t mode = 1;
    int32_t passes = 0;
    uint64_t refreshedMs = 0;
};

struct PoolSlot {
    LinuxConn *conn = nullptr;
};

std::recursive_mutex g_guessMu;
std::vector<GuessNode> g_nodes;  // in order; g_current indexes it
size_t g_current = 0;
uint32_t g_nextId = 1;
PoolSlot g_pool[PSL_GUESS_POOL];
p2p_TimerTask *g_guessTask = nullptr;
uint32_t g_guessPeriod = 0;
std::atomic<uint32_t> g_guessSent{0};

int addrCount(const GuessNode &n) {
    int k = 0;
    while (k < 8 && addrSet(n.addrs[k])) ++k;
    return k;
}

// The pool is opened on first need and closed when the list empties.
void closePool() {
    LinuxConnMgr *mgr = _PSL_ConnMgr();
    for (PoolSlot &s : g_pool) {
        if (s.conn && mgr) LinuxConnMgr_destroyConnection(mgr, s.conn);
        s = PoolSlot{};
    }
}

bool openPool() {
    LinuxConnMgr *mgr = _PSL_ConnMgr();
    if (!mgr) return false;
    for (PoolSlot &s : g_pool) {
        if (!s.conn) {
            LinuxConn *c = nullptr;
            if (LinuxConnMgr_createConnection(mgr, LINUXCONN_UDP, LINUXCONN_SERVER, 0, &c) != 0 || !c)
                return false;
            LinuxConn_setRecvCallback(c, _PSL_UdpRecvCallback, nullptr);
            uint16_t port = 0;
            if (LinuxConn_open(c, nullptr, &port, 0, nullptr, nullptr, nullptr, nullptr) != 0) {
                LinuxConnMgr_destroyConnection(mgr, c);
                return false;
            }
            int size = 1388;
            LinuxConn_setRecvSize(c, 0, &size);
            s.conn = c;
        }
    }
    return true;
}

void sendGuessHello(LinuxConn *conn, const GuessNode &n, const p2p_NetAddr &to) {
    PslValue v[] = {
        {"UID", 0, reinterpret_cast<const uint8_t *>(n.uid), strnlen(n.uid, PSL_UID_LEN), nullptr, 0},
        {"randomID", n.randomID, nullptr, 0, nullptr, 0},
        {"mac", n.mac, nullptr, 0, nullptr, 0}};
    if (sendBuilt(conn, "MSG_P2P_HELLO", "long28", v, 3, to)) ++g_guessSent;
}

int randomPort() {
    return 1025 + (int)((uint32_t)p2p_Rand() % (65535 - 1025 + 1));
}

void guessTick(p2p_TimerTask *t, uint32_t, uint16_t, void *, int expired);

void endGuessTask(p2p_TimerTask *t, bool expired) {
    g_nodes.clear();
    g_current = 0;
    closePool();
    if (g_guessTask == t) g_guessTask = nullptr;
    if (!expired) p2p_SockTaskMng_RemoveTimer(t);
}

void guessTick(p2p_TimerTask *t, uint32_t, uint16_t, void *, int expired) {
    std::lock_guard<std::recursive_mutex> lk(g_guessMu);
    if (t != g_guessTask) {  // replaced by a slower task
        if (!expired) p2p_SockTaskMng_RemoveTimer(t);
        return;
    }
    if (g_nodes.empty() || !_PSL_Running() || expired) {
        endGuessTask(t, expired);
        return;
    }
    if (g_current >= g_nodes.size()) g_current = 0;
    GuessNode &n = g_nodes[g_current];
    const int count = addrCount(n);
    bool slower = false;
    if (n.mode == 1) {
        const int d = (int)n.counter;
        for (int i = 0; i < count; ++i) {
            int port = d % 3 == 1   ? n.basePorts[i] - d / 3
                       : d % 3 == 2 ? randomPort()
                                    : n.basePorts[i] + d / 3;
            if (port < 1 || port > 65535) continue;
            p2p_NetAddr to = n.addrs[i];
            to.port = htons((uint16_t)port);
            sendGuessHello(_PSL_MainConn(), n, to);
        }
        if (++n.counter > 1022) {
            n.counter = 0;
            if (n.passes < 2 || (n.passes & 1)) {
                for (int i = 0; i < 8; ++i) n.basePorts[i] = ntohs(n.addrs[i].port);
            } else {
                const int p = randomPort();
                for (int &b : n.basePorts) b = p;
            }
            ++n.passes;
        }
    } else {
        LinuxConn *conn = g_pool[n.counter % PSL_GUESS_POOL].conn;
        if (conn) {
            LinuxConn_setTTL(conn, 12);  // opens this host's mappings without reaching far
            for (int i = 0; i < count; ++i) sendGuessHello(conn, n, n.addrs[i]);
            LinuxConn_setTTL(conn, 128);
        }
        if (++n.counter >= PSL_GUESS_POOL) {
            n.counter = 0;
            ++n.passes;
            slower = g_guessPeriod != 5001;
        }
    }
    // Next node; a node leaves by age or once its passes reach its limit.
    const size_t cur = g_current;
    g_current = g_current + 1 >= g_nodes.size() ? 0 : g_current + 1;
    if (p2p_Clock_Ms() - g_nodes[cur].refreshedMs > 60000 || g_nodes[cur].passes >= g_nodes[cur].limit) {
        g_nodes.erase(g_nodes.begin() + (long)cur);
        if (g_current > cur) --g_current;
        if (g_current >= g_nodes.size()) g_current = 0;
    }
    if (g_nodes.empty()) {
        endGuessTask(t, false);
        return;
    }
    if (slower) {
        p2p_SockTaskMng_RemoveTimer(t);
        g_guessPeriod = 5001;
        g_guessTask = p2p_SockTaskMng_AddTimer(5001, 60000, 0, guessTick, nullptr);
        if (!g_guessTask) endGuessTask(t, true);
    }
}

bool sameNodePeer(const GuessNode &n, uint32_t a, uint32_t b, const char *uid) {
    return (n.randomID == a && n.mac == b) || (uid && uid[0] && strncmp(n.uid, uid, PSL_UID_LEN) == 0);
}

}  // namespace

int PSL_Set_Punch_Time(int ms) {
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    g_punchTime = ms < 0 ? -1 : ms;
    return 0;
}

int _PSL_PunchTime(void) {
    return g_punchTime.load();
}

uint16_t _PSL_GuessPort(int basePortHost) {
    timeval tv{};
    const int a = gettimeofday(&tv, nullptr) == 0
                      ? (int)((uint32_t)((uint64_t)tv.tv_sec * 1000 + (uint64_t)tv.tv_usec / 1000) % 60) * 5
                      : 75;
    const int base = basePortHost >= 0 ? basePortHost + 1 : 10002;
    const int port = (a + (int)(nextGuessCount() % 5)) % 300 + base;
    return (uint16_t)(port > 65535 ? port - 65535 + 1024 : port);
}

int _PSL_Punch_Start(int sid, int lifetimeMs) {
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    PSLConnectCtx *c = _PSL_ConnectCtx(sid);
    if (!r || !c) return -1;
    const int sum = natSum(r);
    if (g_punchTime.load() == 0 || (c->remoteVersion <= 9 && (sum == 5 || sum == 6))) {
        r->punchState = 2;
        return 0;
    }
    if (c->entries[0].hasA) sendPunch(r, c, c->entries[0].addrA, c->entries[0].version);
    r->punchState = 1;
    c->punchElapsedMs = 0;
    uint32_t period = 200, lifetime;
    if (sum == 6) {
        lifetime = 400;
    } else {
        lifetime = g_punchTime.load() > 0 ? (uint32_t)g_punchTime.load() : (uint32_t)lifetimeMs;
        if (_PSL_ConnectOption(2) == 1 && c->entries[0].hasA && c->entries[1].hasA && c->entries[2].hasA &&
            c->entries[3].hasA)
            period = 50;
    }
    return _PSL_AddSessionTask(sid, PSL_TASK_PUNCH, period, lifetime, punchTick) ? 0 : -1;
}

void _PSL_OnPeerAddress(const PSLPacketHeader *h, const uint8_t *payload, const p2p_NetAddr *from) {
    // 36 bytes {UID, address}; 116 and 292 mirror the punch with the primary address at 20.
    if (!h || !payload || !from || h->length < 36) return;
    const bool withWords = h->length >= 116;
    const bool longForm = h->length >= 292;
    p2p_NetAddr primary{};
    if (!blockToAddr(payload + 20, &primary)) return;
    const uint32_t a = withWords ? psl_GetU32(payload + 100) : 0;
    const uint32_t b = withWords ? psl_GetU32(payload + 104) : 0;
    const uint8_t peerNat = withWords ? (uint8_t)psl_GetU32(payload + 108) : 0;
    if (withWords && _PSL_RecentPeer_Find(a, b, 0)) return;

    // The other side's addresses: the primary, then (long form) the observed ones, without repeats.
    p2p_NetAddr list[8] = {primary};
    int count = 1;
    if (longForm) {
        for (int i = 0; i < 8 && count < 8; ++i) {
            p2p_NetAddr x{};
            if (!blockToAddr(payload + 116 + 16 * i, &x)) continue;
            bool dup = false;
            for (int k = 0; k < count; ++k) dup = dup || _PSL_AddrEqual(&list[k], &x);
            if (!dup) list[count++] = x;
        }
    }
    p2p_NetAddr locals[4] = {};
    int localCount = 0;
    if (withWords && _PSL_LanLookupTime() != 0)
        for (int i = 0; i < 4; ++i)
            if (blockToAddr(payload + 36 + 16 * i, &locals[localCount])) ++localCount;

    LinuxConn *conn = _PSL_MainConn();
    const bool noDecoys = _PSL_ConnectOption(1) == 1;
    char uid[PSL_UID_LEN + 1] = {};
    memcpy(uid, payload, PSL_UID_LEN);

    // A session of these words already on its direct path: one hello to it.
    if (withWords) {
        PSLSessionRecord *cr = _PSL_Session(_PSL_FindSessionByKey(a, b, 0, PSL_FIND_CONNECTED));
        if (cr) {
            if (cr->punchState.load() == 3 && cr->routeAddr.port && cr->routeConn &&
                (cr->incoming ? _PSL_IsGroupServer(from, _PSL_GroupIndexOfUid(_PSL_OwnUid()))
                              : _PSL_IsGroupServer(from, -1)))
                _PSL_SendHello(HELLO, cr->routeConn, &cr->routeAddr, cr->remoteUID, cr->randomID, cr->mac, 1,
                               0);
            return;
        }
    }

    int sid = -1;
    if (withWords) {
        sid = _PSL_FindSessionByKey(a, b, 0, PSL_FIND_CONNECTING);
    } else {
        // The short form names no words: the client's connecting session to that UID.
        for (int i = 0; i < _PSL_MaxSessions() && sid < 0; ++i) {
            PSLSessionRecord *s = _PSL_Session(i);
            if (s->state.load() == PSL_STATE_ALLOCATED && s->incoming == 0 && s->punchState.load() == 1 &&
                _PSL_UidMatch(payload, s->remoteUID))
                sid = i;
        }
    }
    PSLSessionRecord *r = _PSL_Session(sid);
    PSLConnectCtx *c = r && r->incoming == 0 ? _PSL_ConnectCtx(sid) : nullptr;
    if (r && c) {
        // Client side: only a server of the device's group may point the hellos.
        if (c->groupIndex < 0 || !_PSL_IsGroupServer(from, c->groupIndex)) return;
        const int ps = r->punchState.load();
        if (ps == 2 || ps == -1) return;
        if (ps == 3) {
            if (r->routeConn && r->routeAddr.port)
                _PSL_SendHello(HELLO, r->routeConn, &r->routeAddr, r->remoteUID, r->randomID, r->mac, 1, 0);
            return;
        }
        if (r->rttValid != 2) {
            r->rttValid = 2;
            r->rttStartMs = p2p_Clock_Ms();
        }
        if (withWords) r->peerNatType = peerNat;
        memcpy(c->peerAddrs, list, sizeof list);
        c->peerAddrCount = (uint8_t)count;
        memcpy(c->peerLocalAddrs, locals, sizeof locals);
        c->peerLocalCount = (uint8_t)localCount;
        c->peerAddrSeen = 1;
        if (!noDecoys && withWords && _PSL_NatType() + peerNat == 5) {
            const bool sym = _PSL_NatType() == PSL_NAT_SYMMETRIC;
            _PSL_PortGuess_Add(r->randomID, r->mac, sym ? 1 : 3, 0, list, count, sym ? 0 : 1, r->remoteUID,
                               1);
        }
        // The short form opens with the short hello (the device answers it once it holds the session).
        const int lf = withWords ? 1 : 0;
        const uint32_t w = withWords ? r->randomID : (r->randomID & 0xFFFF);
        _PSL_SendHello(HELLO, conn, &primary, r->remoteUID, w, r->mac, lf, 0);
        for (int i = 0; i < localCount; ++i)
            _PSL_SendHello(HELLO, conn, &locals[i], r->remoteUID, w, r->mac, lf, 0);
        if (longForm && !noDecoys)
            for (int i = 1; i < count; ++i)
                _PSL_SendHello(HELLO, conn, &list[i], r->remoteUID, w, r->mac, lf, 0);
        return;
    }

    // Device side: only for this device's UID, and only from a server of its own group.
    if (!_PSL_HasOwnUid() || !_PSL_UidMatch(payload, _PSL_OwnUid())) return;
    const int g = _PSL_GroupIndexOfUid(_PSL_OwnUid());
    if (g < 0 || !_PSL_IsGroupServer(from, g)) return;
    if (!withWords) {
        // The short exchange: the device opens it from its own UID; the client's answer names the session.
        _PSL_SendHello(HELLO, conn, &primary, _PSL_OwnUid(), 0, 0, 0, 0);
        return;
    }
    if (r && r->incoming == 1) {
        r->peerNatType = peerNat;
    } else {
        int idx = _PSL_FindPendingByKey(a, b, 0);
        if (idx < 0) {
            idx = _PSL_Pending_Alloc(&primary);
            if (PslPending *p = _PSL_Pending(idx)) {
                memcpy(p->uid, _PSL_OwnUid(), PSL_UID_LEN);
                p->uid[PSL_UID_LEN] = 0;
                p->randomID = a;
                p->mac = b;
                p->ver = 0;
                p->addr = primary;
                p->createdMs = p2p_Clock_Ms();
                p->peerProtocol = 10;
            }
        }
        if (idx < 0) return;
    }
    if (!noDecoys && _PSL_NatType() + peerNat == 5) {
        const bool cone = _PSL_NatType() == PSL_NAT_CONE;
        _PSL_PortGuess_Add(a, b, cone ? 3 : 1, 1, list, count, cone ? 1 : 0, _PSL_OwnUid(), cone ? 20 : 1);
    }
    _PSL_SendHello(HELLO, conn, &primary, _PSL_OwnUid(), a, b, 1, 0);
    for (int i = 0; i < localCount; ++i) _PSL_SendHello(HELLO, conn, &locals[i], _PSL_OwnUid(), a, b, 1, 0);
    if (longForm && !noDecoys)
        for (int i = 1; i < count; ++i) _PSL_SendHello(HELLO, conn, &list[i], _PSL_OwnUid(), a, b, 1, 0);
}

int _PSL_PortGuess_Add(uint32_t randomID, uint32_t mac, int limitStep, int deviceSide,
                       const p2p_NetAddr *addrs, int count, int mode, const char *uid, uint32_t periodMs) {
    if (!addrs || count <= 0 || !addrs[0].port) return -1;
    if (count > 8) count = 8;
    std::lock_guard<std::recursive_mutex> lk(g_guessMu);
    if (mode == 0 && !openPool()) {
        if (g_nodes.empty()) closePool();
        return -1;
    }
    const uint64_t now = p2p_Clock_Ms();
    bool done = false;
    for (GuessNode &n : g_nodes) {
        if (!sameNodePeer(n, randomID, mac, uid)) continue;
        for (int i = count - 1; i >= 0; --i) {
            bool held = false;
            for (const p2p_NetAddr &x : n.addrs) held = held || _PSL_AddrEqual(&x, &addrs[i]);
            if (held) continue;
            memmove(&n.addrs[1], &n.addrs[0], sizeof n.addrs[0] * 7);
            memmove(&n.basePorts[1], &n.basePorts[0], sizeof n.basePorts[0] * 7);
            n.addrs[0] = addrs[i];
            n.basePorts[0] = ntohs(addrs[i].port);
        }
        n.limit = n.passes + limitStep + (mode == 0 ? 1 : 0);
        n.refreshedMs = now;
        done = true;
        break;
    }
    if (!done) {
        GuessNode n;
        n.id = g_nextId++;
        n.deviceSide = (uint8_t)deviceSide;
        n.randomID = randomID;
        n.mac = mac;
        for (int i = 0; i < count; ++i) {
            n.addrs[i] = addrs[i];
            n.basePorts[i] = ntohs(addrs[i].port);
        }
        n.limit = limitStep;
        n.mode = mode;
        n.refreshedMs = now;
        if (uid) strncpy(n.uid, uid, PSL_UID_LEN);
        g_nodes.push_back(n);
    }
    if (!g_guessTask) {
        g_guessPeriod = periodMs;
        g_guessTask = p2p_SockTaskMng_AddTimer(periodMs, 60000, 0, guessTick, nullptr);
        if (!g_guessTask) {
            g_nodes.clear();
            g_current = 0;
            closePool();
            return -1;
        }
    }
    return 0;
}

void _PSL_PortGuess_Remove(uint32_t randomID, uint32_t mac) {
    std::lock_guard<std::recursive_mutex> lk(g_guessMu);
    for (size_t i = 0; i < g_nodes.size(); ++i) {
        if (g_nodes[i].randomID != randomID || g_nodes[i].mac != mac) continue;
        g_nodes.erase(g_nodes.begin() + (long)i);
        if (g_current >= g_nodes.size()) g_current = 0;
        return;
    }
}

int _PSL_PortGuess_Adopt(LinuxConn *conn) {
    if (!conn) return 0;
    std::lock_guard<std::recursive_mutex> lk(g_guessMu);
    for (PoolSlot &s : g_pool) {
        if (s.conn != conn) continue;
        s = PoolSlot{};  // the session owns it now; the pool opens no other in its place
        return 1;
    }
    return 0;
}

void _PSL_PortGuess_Stats(PslGuessStats *out) {
    if (!out) return;
    std::lock_guard<std::recursive_mutex> lk(g_guessMu);
    out->nodes = (int)g_nodes.size();
    out->poolOpen = 0;
    for (const PoolSlot &s : g_pool) out->poolOpen += s.conn ? 1 : 0;
    out->taskRunning = g_guessTask ? 1 : 0;
    out->sent = g_guessSent.load();
}

void _PSL_Punch_Stop(void) {
    std::lock_guard<std::recursive_mutex> lk(g_guessMu);
    g_guessTask = nullptr;  // went with the task manager
    g_nodes.clear();
    g_current = 0;
    LinuxConnMgr *mgr = _PSL_ConnMgr();
    for (PoolSlot &s : g_pool) {
        if (s.conn && mgr) LinuxConnMgr_destroyConnection(mgr, s.conn);
        s = PoolSlot{};
    }
    g_punchTime = -1;
}
