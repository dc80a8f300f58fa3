#include "p2p/psl_tcproute.h"

#include <arpa/inet.h>
#include <string.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "p2p/psl_connect.h"
#include "p2p/psl_dispatch.h"
#include "p2p/psl_hello.h"
#include "p2p/psl_master.h"
#include "p2p/psl_messages.h"
#include "p2p/psl_packet.h"
#include "p2p/psl_servers.h"
#include "p2p/psl_session.h"

namespace {

using TableLock = PslTableLock;

enum { kWaitMs = 60000, kTick = 20, kRecvSize = 1416 };
const uint16_t kDefaultPorts[PSL_MASTERS] = {21047, 8080, 80, 443, 8000, 80, 443, 0, 0, 0, 0, 0};

std::atomic<bool> g_tcpOnly{false};
std::atomic<uint16_t> g_workedPort{0};
uint16_t g_ports[PSL_MASTERS] = {21047, 8080, 80, 443, 8000, 80, 443, 0, 0, 0, 0, 0};  // table lock

// What the TCP road keeps per session beside its record (table lock).
struct TcpRoute {
    LinuxConn *master[PSL_MASTERS];
    uint8_t masterConnected[PSL_MASTERS];
    int32_t masterLastSend[PSL_MASTERS];  // elapsed time at the last send; 0 armed
    uint16_t masterPort[PSL_MASTERS];     // host order
    LinuxConn *entry[PSL_PEER_ENTRIES];
    int32_t entryLastSend[PSL_PEER_ENTRIES];
    uint8_t entryState[PSL_PEER_ENTRIES];  // 9 connected, 12 asked, 13 two-step, 15 granted, 18 joined
    int32_t target;                        // the join target's entry, -1 none
    int32_t elapsedMs;
};
std::vector<TcpRoute> g_routes;

// One framer per TCP connection of the road: the receive callbacks of a connection run on one thread, so a
// framer is fed by one thread at a time; the map itself is under its own lock.
std::mutex g_framerMu;
std::map<LinuxConn *, std::unique_ptr<PslStreamFramer>> g_framers;

void freshFramer(LinuxConn *conn) {
    auto f = std::make_unique<PslStreamFramer>();
    psl_StreamFramer_Init(f.get());
    std::lock_guard<std::mutex> lk(g_framerMu);
    g_framers[conn] = std::move(f);
}
void dropFramer(LinuxConn *conn) {
    std::lock_guard<std::mutex> lk(g_framerMu);
    g_framers.erase(conn);
}

TcpRoute *routeOf(int sid) {
    const int n = _PSL_MaxSessions();
    if (sid < 0 || sid >= n) return nullptr;
    if ((int)g_routes.size() != n) {
        if (!_PSL_Running()) return nullptr;
        g_routes.assign((size_t)n, TcpRoute{});
        for (TcpRoute &t : g_routes) t.target = -1;
    }
    return &g_routes[(size_t)sid];
}

void destroy(LinuxConn *&conn) {
    if (!conn) return;
    dropFramer(conn);
    if (_PSL_ConnMgr()) LinuxConnMgr_destroyConnection(_PSL_ConnMgr(), conn);
    conn = nullptr;
}

// Whole packet over one road socket (the stream never carries a cut packet).
bool sendOn(LinuxConn *conn, uint8_t *pkt, int n, const p2p_NetAddr *to) {
    if (!conn || n <= 0) return false;
    char host[64];
    _PSL_AddrText(to, host);
    return _PSL_SendPacket(conn, pkt, (uint16_t)n, host, to->port) > 0;
}

int build(const char *name, const char *form, const PslValue *v, size_t count, uint8_t *out, size_t cap) {
    const PslMsgDef *m = psl_Msg_ByName(name);
    const PslFormDef *f = m ? (form ? psl_Msg_Form(m, form) : &m->forms[0]) : nullptr;
    return f ? psl_Msg_Build(m, f, v, count, out, cap) : -1;
}

PslValue uidValue(const PSLSessionRecord *r) {
    return {"UID",   0, reinterpret_cast<const uint8_t *>(r->remoteUID), strnlen(r->remoteUID, PSL_UID_LEN),
            nullptr, 0};
}

// ---- socket callbacks: arg = sid * 128 + (64 for a server entry) + slot

intptr_t argOf(int sid, bool entry, int slot) {
    return (intptr_t)sid * 128 + (entry ? 64 : 0) + slot;
}

void onConnected(LinuxConn *conn, void *arg) {
    const intptr_t a = (intptr_t)arg;
    const int sid = (int)(a / 128), slot = (int)(a % 64);
    const bool entry = (a % 128) >= 64;
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    TcpRoute *t = routeOf(sid);
    if (!r || !t) return;
    if (!entry) {
        if (slot >= PSL_MASTERS || t->master[slot] != conn) return;
        t->masterConnected[slot] = 1;
        uint16_t none = 0;
        g_workedPort.compare_exchange_strong(none, t->masterPort[slot]);
        int expect = 2;
        if (r->tcpState.compare_exchange_strong(expect, 4)) t->elapsedMs = 0;
        return;
    }
    if (slot >= PSL_PEER_ENTRIES || t->entry[slot] != conn) return;
    int expect = 7;
    if (r->tcpState.compare_exchange_strong(expect, 9)) t->elapsedMs = 0;
    t->entryState[slot] = 9;
}

void onError(LinuxConn *conn, int, void *arg) {
    const intptr_t a = (intptr_t)arg;
    const int sid = (int)(a / 128), slot = (int)(a % 64);
    const bool entry = (a % 128) >= 64;
    TableLock lk;
    TcpRoute *t = routeOf(sid);
    if (!t) return;
    LinuxConn **s = entry ? (slot < PSL_PEER_ENTRIES ? &t->entry[slot] : nullptr)
                          : (slot < PSL_MASTERS ? &t->master[slot] : nullptr);
    if (!s || *s != conn) return;
    if (entry)
        t->entryState[slot] = 0;
    else
        t->masterConnected[slot] = 0;
    destroy(*s);
}

// Opens one road socket into *slot; false when it cannot be made or opened (the slot stays empty).
bool openSocket(LinuxConn **slot, const char *host, uint16_t port, intptr_t arg) {
    LinuxConnMgr *mgr = _PSL_ConnMgr();
    destroy(*slot);
    LinuxConn *conn = nullptr;
    if (!mgr || LinuxConnMgr_createConnection(mgr, LINUXCONN_TCP, LINUXCONN_CLIENT, 0, &conn) != 0 || !conn)
        return false;
    freshFramer(conn);
    LinuxConn_setRecvCallback(conn, _PSL_OnTcpStream, nullptr);
    *slot = conn;
    uint16_t portNet = htons(port);
    if (LinuxConn_open(conn, host, &portNet, 0, onConnected, (void *)arg, onError, (void *)arg) != 0) {
        destroy(*slot);
        return false;
    }
    int size = kRecvSize;
    LinuxConn_setRecvSize(conn, 0, &size);
    return true;
}

// ---- the TCP route task

void endTask(int sid, p2p_TimerTask *t) {
    _PSL_ForgetSessionTask(sid, t);
    p2p_SockTaskMng_RemoveTimer(t);
}

void openMasters(int sid, TcpRoute *t) {
    PSLMasterEntry masters[PSL_MASTERS];
    const int n = _PSL_MasterTable(masters);
    for (int i = 0; i < n && i < PSL_MASTERS; ++i) {
        if (!masters[i].host[0] || !g_ports[i]) continue;
        t->masterConnected[i] = 0;
        t->masterLastSend[i] = 0;
        t->masterPort[i] = g_ports[i];
        if (!openSocket(&t->master[i], masters[i].host, g_ports[i], argOf(sid, false, i))) break;
    }
}

void askMasters(PSLSessionRecord *r, TcpRoute *t) {
    PSLMasterEntry masters[PSL_MASTERS];
    const int count = _PSL_MasterTable(masters);
    for (int i = 0; i < count && i < PSL_MASTERS; ++i) {
        if (!t->masterConnected[i] || !t->master[i]) continue;
        if (t->masterLastSend[i] && t->elapsedMs - t->masterLastSend[i] > 999) t->masterLastSend[i] = 0;
        if (t->masterLastSend[i]) continue;
        _PSL_SendQueryGroup(t->master[i], masters[i].host, htons(t->masterPort[i]), r->remoteUID, 0);
        t->masterLastSend[i] = t->elapsedMs ? t->elapsedMs : 1;
    }
}

void openServers(int sid, PSLSessionRecord *r, PSLConnectCtx *c, TcpRoute *t) {
    const int g = _PSL_GroupIndexOfUid(r->remoteUID);
    if (g < 0) return;
    if (c->groupIndex < 0) c->groupIndex = g;
    PslServerAddr group[PSL_GROUP_SERVERS_MAX];
    const int n = _PSL_GroupAddresses(g, group, PSL_GROUP_SERVERS_MAX);
    const uint16_t port = g_workedPort.load();
    for (int i = 0; i < n && i < PSL_PEER_ENTRIES; ++i) {
        PSLPeerEntry &e = c->entries[i];
        if (p2p_Net_ResolveAddr(group[i].host, htons(port), &e.addrB) != 0) break;
        e.hasB = 1;
        t->entryState[i] = 0;
        t->entryLastSend[i] = 0;
        if (!openSocket(&t->entry[i], group[i].host, port, argOf(sid, true, i))) break;
    }
}

void askServers(PSLSessionRecord *r, PSLConnectCtx *c, TcpRoute *t) {
    for (int i = 0; i < PSL_PEER_ENTRIES; ++i) {
        if (t->entryState[i] != 9 || !t->entry[i]) continue;
        if (t->entryLastSend[i] && t->elapsedMs - t->entryLastSend[i] > 999) t->entryLastSend[i] = 0;
        if (t->entryLastSend[i]) continue;
        const bool v2 = _PSL_NewServerProtocol() && c->entries[i].version >= 19 && c->probeMode == 0;
        PslValue v[] = {uidValue(r)};
        uint8_t pkt[PSL_HEADER_SIZE + 64];
        const int n = build(v2 ? "MSG_QUERY_DEVICE2" : "MSG_QUERY_DEVICE", nullptr, v, 1, pkt, sizeof pkt);
        sendOn(t->entry[i], pkt, n, &c->entries[i].addrB);
        t->entryLastSend[i] = t->elapsedMs ? t->elapsedMs : 1;
    }
}

void tcpRouteTick(p2p_TimerTask *task, uint32_t, uint16_t, void *userData, int expired) {
    PSLConnectCtx *c = nullptr;
    PSLSessionRecord *r = _PSL_LookupTick_Begin(task, userData, expired, nullptr, -1, false, &c);
    const int sid = (int)(intptr_t)userData;
    TcpRoute *t = r ? routeOf(sid) : nullptr;
    if (!r || !t) return;
    switch (r->tcpState.load()) {
        case 1:
            t->elapsedMs = 0;
            openMasters(sid, t);
            r->tcpState = 2;
            break;
        case 2:
        case 7:
            t->elapsedMs += kTick;
            if (t->elapsedMs > kWaitMs - 1) r->tcpState = r->tcpState.load() == 2 ? 3 : 8;
            break;
        case 4:
            t->elapsedMs += kTick;
            if (t->elapsedMs > kWaitMs - 1) {
                r->tcpState = 6;
                break;
            }
            askMasters(r, t);
            break;
        case 5:
            openServers(sid, r, c, t);
            t->elapsedMs = 0;
            r->tcpState = 7;
            break;
        case 9:
            t->elapsedMs += kTick;
            if (t->elapsedMs > kWaitMs - 1) {
                r->tcpState = 11;
                break;
            }
            askServers(r, c, t);
            break;
        case 6:
            break;
        default:  // 3, 8, 10, 11: done
            endTask(sid, task);
            break;
    }
}

// ---- the TCP relay task

void sendRelayRequest(PSLSessionRecord *r, PSLConnectCtx *c, TcpRoute *t, int i) {
    const bool v2 = _PSL_NewServerProtocol() && c->entries[i].version > 19;
    uint8_t pkt[PSL_HEADER_SIZE + 64];
    int n;
    if (v2) {
        PslValue v[] = {uidValue(r),
                        {"randomID", r->randomID, nullptr, 0, nullptr, 0},
                        {"mac", r->mac, nullptr, 0, nullptr, 0}};
        n = build("MSG_RELAY_REQUEST2", "std", v, 3, pkt, sizeof pkt);
    } else {
        PslValue v[] = {uidValue(r),
                        {"randomID", r->randomID, nullptr, 0, nullptr, 0},
                        {"mac", r->mac, nullptr, 0, nullptr, 0}};
        n = build("MSG_RELAY_REQUEST", "long32", v, 3, pkt, sizeof pkt);
    }
    sendOn(t->entry[i], pkt, n, &c->entries[i].addrB);
}

void sendRelayJoin(PSLSessionRecord *r, PSLConnectCtx *c, TcpRoute *t, int i) {
    PslValue v[] = {uidValue(r),
                    {"randomID", r->randomID, nullptr, 0, nullptr, 0},
                    {"mac", r->mac, nullptr, 0, nullptr, 0},
                    {"status", 1, nullptr, 0, nullptr, 0},
                    {"libraryVersion", PSL_LIBRARY_VERSION, nullptr, 0, nullptr, 0},
                    {"natType", _PSL_NatType(), nullptr, 0, nullptr, 0}};
    uint8_t pkt[PSL_HEADER_SIZE + 64];
    const int n = build("MSG_RELAY_JOIN", "long44", v, 6, pkt, sizeof pkt);
    sendOn(t->entry[i], pkt, n, &c->entries[i].addrB);
}

void tcpRelayTick(p2p_TimerTask *task, uint32_t, uint16_t, void *userData, int expired) {
    PSLConnectCtx *c = nullptr;
    PSLSessionRecord *r = _PSL_LookupTick_Begin(task, userData, expired, nullptr, -1, false, &c);
    const int sid = (int)(intptr_t)userData;
    TcpRoute *t = r ? routeOf(sid) : nullptr;
    if (!r || !t) return;
    const int ts = r->tcpState.load();
    if (ts == 12) {
        if (t->elapsedMs > kWaitMs - 1) {
            r->tcpState = 14;
            return;
        }
        for (int i = 0; i < PSL_PEER_ENTRIES; ++i) {
            if ((t->entryState[i] != 9 && t->entryState[i] != 12) || !t->entry[i]) continue;
            if (t->entryLastSend[i] && t->elapsedMs - t->entryLastSend[i] > 1999) t->entryLastSend[i] = 0;
            if (t->entryLastSend[i]) continue;
            sendRelayRequest(r, c, t, i);
            t->entryState[i] = 12;
            t->entryLastSend[i] = t->elapsedMs ? t->elapsedMs : 1;
        }
        t->elapsedMs += kTick;
    } else if (ts == 15 || ts == 16) {
        if (t->elapsedMs > kWaitMs - 1) {
            r->tcpState = 17;
            return;
        }
        for (int i = 0; i < PSL_PEER_ENTRIES; ++i) {
            if (t->entryState[i] != 15 || !t->entry[i]) continue;
            if (r->tcpState.load() == 15) {
                t->target = i;  // the first granted entry is joined
                r->tcpState = 16;
            } else if (t->target != i) {
                continue;
            }
            if (t->entryLastSend[i] && t->elapsedMs - t->entryLastSend[i] >= 2000) t->entryLastSend[i] = 0;
            if (t->entryLastSend[i]) continue;
            sendRelayJoin(r, c, t, i);
            t->entryLastSend[i] = t->elapsedMs ? t->elapsedMs : 1;
        }
        t->elapsedMs += kTick;
    } else if (ts == 14 || ts == 17 || ts == 18) {
        endTask(sid, task);
    }
}

// ---- answers that arrive on the road's sockets

int entryOfConn(const TcpRoute *t, const LinuxConn *conn) {
    for (int i = 0; i < PSL_PEER_ENTRIES; ++i)
        if (t->entry[i] == conn) return i;
    return -1;
}

// A relay answer over TCP: only on the connection of the entry it names, for the connecting session of its
// UID and session words.
void onRelayReply(const PSLPacketHeader &h, const uint8_t *payload, LinuxConn *conn) {
    if (h.length < 24) return;
    char uid[PSL_UID_LEN + 1] = {};
    memcpy(uid, payload, PSL_UID_LEN);
    const int n = _PSL_MaxSessions();
    for (int sid = 0; sid < n; ++sid) {
        PSLSessionRecord *r = _PSL_Session(sid);
        TcpRoute *t = routeOf(sid);
        if (!r || !t || r->state.load() != PSL_STATE_ALLOCATED) continue;
        const int i = entryOfConn(t, conn);
        if (i < 0 || strncasecmp(uid, r->remoteUID, PSL_UID_LEN) != 0) continue;
        if (h.length >= 32 && (psl_GetU32(payload + 24) != r->randomID || psl_GetU32(payload + 28) != r->mac))
            continue;
        const int32_t status = (int32_t)psl_GetU32(payload + 20);
        const uint8_t st = t->entryState[i];
        if (status == -1) r->refused = 1;
        if (status == -6) r->errPeerSelfConnect = 1;
        if (st == 9 || st == 12) {
            if (status == -7) {
                t->entryState[i] = 13;
            } else if (status == 0) {
                t->entryState[i] = 15;
                t->entryLastSend[i] = 0;
                int expect = 12;
                if (r->tcpState.compare_exchange_strong(expect, 15)) t->elapsedMs = 0;
            }
        } else if (st == 13 && status == 0) {
            t->entryState[i] = 15;
            t->entryLastSend[i] = 0;
            int expect = 12;
            if (r->tcpState.compare_exchange_strong(expect, 15)) t->elapsedMs = 0;
        }
        return;
    }
}

// The relay's connection closed under a connected session (the relay hung up, or stopped reading in the
// middle of a packet and the send shut the connection): the session breaks.
void onRelayClosed(LinuxConn *conn, int, void *) {
    TableLock lk;
    const int n = _PSL_MaxSessions();
    for (int sid = 0; sid < n; ++sid) {
        PSLSessionRecord *r = _PSL_Session(sid);
        if (r && r->routeConn == conn && r->routeType.load() == PSL_ROUTE_RELAY_TCP &&
            r->state.load() == PSL_STATE_CONNECTED)
            _PSL_SessionBroken(r, PSL_ERR_CLOSED_BY_PEER);
    }
}

// The relay's attach on the join target's connection: the session runs on that connection from now on,
// tagged with the relay's session number. The attach is acknowledged on the same connection.
void onAttach(const PSLPacketHeader &h, const uint8_t *payload, LinuxConn *conn, const p2p_NetAddr &from) {
    if (h.length < 56) return;
    const int n = _PSL_MaxSessions();
    for (int sid = 0; sid < n; ++sid) {
        PSLSessionRecord *r = _PSL_Session(sid);
        TcpRoute *t = routeOf(sid);
        if (!r || !t || t->target < 0 || t->entry[t->target] != conn) continue;
        if (r->state.load() != PSL_STATE_ALLOCATED || r->tcpState.load() != 16) continue;
        if (strncasecmp(reinterpret_cast<const char *>(payload), r->remoteUID, PSL_UID_LEN) != 0) continue;
        if (h.length >= 64 && (psl_GetU32(payload + 56) != r->randomID || psl_GetU32(payload + 60) != r->mac))
            continue;
        const uint16_t tag = psl_GetU16(payload + 20);
        if (tag == 0) return;
        // The session takes the connection over: it closes it when it ends.
        t->entry[t->target] = nullptr;
        t->entryState[t->target] = 18;
        r->routeType = PSL_ROUTE_NONE;
        _PSL_SetRouteCandidate(PSL_ROUTE_RELAY_TCP, sid, conn, &from);
        r->ownsRoute = true;
        LinuxConn_setCloseCallback(conn, onRelayClosed, nullptr);
        r->relaySessionId = tag;
        r->routeKind = 1;
        r->peerProtocol = h.length >= 80 ? payload[72] : h.version;
        r->peerScrambles = 1;
        if (h.length >= 88) r->peerNatType = payload[80];
        if (h.length >= 68) r->peerVersion = psl_GetU32(payload + 64);
        r->idleTicks = 0;
        r->tcpState = 18;
        t->elapsedMs = 0;
        PslValue v[] = {uidValue(r),
                        {"randomID", r->randomID, nullptr, 0, nullptr, 0},
                        {"mac", r->mac, nullptr, 0, nullptr, 0},
                        {"sessionTag", tag, nullptr, 0, nullptr, 0}};
        uint8_t pkt[PSL_HEADER_SIZE + 64];
        sendOn(conn, pkt, build("MSG_RELAY_ATTACH_R", "client", v, 4, pkt, sizeof pkt), &from);
        r->state = PSL_STATE_CONNECTED;
        _PSL_NotifyReaders();
        return;
    }
}

struct Delivery {
    LinuxConn *conn;
    const char *host;
    uint16_t portNet;
    std::vector<std::vector<uint8_t>> packets;
};

void collect(const uint8_t *packet, size_t size, const PSLPacketHeader *, void *arg) {
    static_cast<Delivery *>(arg)->packets.emplace_back(packet, packet + size);
}

}  // namespace

void _PSL_OnTcpStream(LinuxConn *conn, const char *host, uint16_t portNet, uint8_t *buf, int64_t len,
                      void *) {
    if (!conn || !buf || len <= 0) return;
    Delivery d{conn, host, portNet, {}};
    bool broken = false;
    {
        std::lock_guard<std::mutex> lk(g_framerMu);
        auto it = g_framers.find(conn);
        if (it == g_framers.end()) return;  // a socket the road has released
        broken = psl_StreamFramer_Feed(it->second.get(), buf, (size_t)len, collect, &d) < 0;
    }
    p2p_NetAddr from{};
    if (p2p_Net_ResolveAddr(host, portNet, &from) != 0) return;
    for (const std::vector<uint8_t> &p : d.packets) {
        PSLPacketHeader h{};
        psl_Header_Read(p.data(), &h);
        const uint8_t *payload = p.data() + PSL_HEADER_SIZE;
        if (h.type == 0x0206 || h.type == 0x0208 || h.type == 0x0303) {
            if (_PSL_InitState() != 2 && _PSL_InitState() != 1) return;
            TableLock lk;
            if (h.type == 0x0303)
                onAttach(h, payload, conn, from);
            else
                onRelayReply(h, payload, conn);
            continue;
        }
        _PSL_DispatchMessage(p.data(), p.size(), host, portNet, conn, 1);
    }
    if (broken) {
        // A stream that lost its framing cannot be resynchronised: its socket is let go like a failed one.
        TableLock lk;
        for (TcpRoute &t : g_routes) {
            for (int i = 0; i < PSL_MASTERS; ++i)
                if (t.master[i] == conn) {
                    t.masterConnected[i] = 0;
                    destroy(t.master[i]);
                }
            for (int i = 0; i < PSL_PEER_ENTRIES; ++i)
                if (t.entry[i] == conn) {
                    t.entryState[i] = 0;
                    destroy(t.entry[i]);
                }
        }
    }
}

int PSL_Set_TCP_Only(void) {
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    g_tcpOnly = true;
    return 0;
}

int _PSL_TcpOnlyFlag(void) {
    return g_tcpOnly.load() ? 1 : 0;
}

uint16_t _PSL_TcpWorkedPort(void) {
    return g_workedPort.load();
}

int _PSL_TcpRoute_Start(int sid) {
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    TcpRoute *t = routeOf(sid);
    if (!r || !t || r->state.load() != PSL_STATE_ALLOCATED) return -1;
    r->tcpState = 1;
    t->elapsedMs = 0;
    t->target = -1;
    return _PSL_AddSessionTask(sid, PSL_TASK_TCP, kTick, 0, tcpRouteTick) ? 0 : -1;
}

int _PSL_TcpRelay_Start(int sid) {
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    TcpRoute *t = routeOf(sid);
    if (!r || !t || r->state.load() != PSL_STATE_ALLOCATED) return -1;
    r->tcpState = 12;
    t->elapsedMs = 0;
    t->target = -1;
    return _PSL_AddSessionTask(sid, PSL_TASK_TCP, kTick, 0, tcpRelayTick) ? 0 : -1;
}

void _PSL_TcpRoute_Release(int sid) {
    TableLock lk;
    _PSL_RemoveSessionTasks(sid, PSL_TASK_TCP);
    TcpRoute *t = routeOf(sid);
    if (!t) return;
    for (int i = 0; i < PSL_MASTERS; ++i) {
        destroy(t->master[i]);
        t->masterConnected[i] = 0;
    }
    for (int i = 0; i < PSL_PEER_ENTRIES; ++i) {
        destroy(t->entry[i]);
        t->entryState[i] = 0;
    }
    t->target = -1;
}

void _PSL_TcpRoute_Stop(void) {
    {
        TableLock lk;
        for (TcpRoute &t : g_routes) {
            for (LinuxConn *&c : t.master) destroy(c);
            for (LinuxConn *&c : t.entry) destroy(c);
        }
        g_routes.clear();
        memcpy(g_ports, kDefaultPorts, sizeof g_ports);
    }
    std::lock_guard<std::mutex> lk(g_framerMu);
    g_framers.clear();
    g_tcpOnly = false;
    g_workedPort = 0;
}

void _PSL_SetMasterTcpPortsForTest(const uint16_t ports[12]) {
    TableLock lk;
    memcpy(g_ports, ports ? ports : kDefaultPorts, sizeof g_ports);
}

void _PSL_TcpRoute_AdoptForTest(int sid, int entry, LinuxConn *conn, int entryState, int target) {
    TableLock lk;
    TcpRoute *t = routeOf(sid);
    if (!t || entry < 0 || entry >= PSL_PEER_ENTRIES) return;
    freshFramer(conn);
    t->entry[entry] = conn;
    t->entryState[entry] = (uint8_t)entryState;
    t->entryLastSend[entry] = 0;
    if (target) t->target = entry;
}

int _PSL_TcpRoute_DropForTest(int sid, int entry) {
    TableLock lk;
    TcpRoute *t = routeOf(sid);
    if (!t || entry < 0 || entry >= PSL_PEER_ENTRIES) return 0;
    const int held = t->entry[entry] ? 1 : 0;
    if (t->entry[entry]) dropFramer(t->entry[entry]);
    t->entry[entry] = nullptr;
    t->entryState[entry] = 0;
    t->target = -1;
    return held;
}
