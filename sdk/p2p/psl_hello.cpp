#include "p2p/psl_hello.h"

#include <string.h>

#include "p2p/psl_addrclass.h"
#include "p2p/psl_connect.h"
#include "p2p/psl_device.h"
#include "p2p/psl_dispatch.h"
#include "p2p/psl_punch.h"
#include "p2p/psl_servers.h"
#include "p2p/psl_settings.h"

namespace {

enum : uint16_t { HELLO = 0x0401, HELLO_R = 0x0402, HELLO_ACK = 0x0404, DECOY = 0xFFFF };

bool addr_text(const p2p_NetAddr *a, char *host, size_t size, uint16_t *portNet) {
    return p2p_Net_AddrToString(a, size, host, portNet, nullptr) == 0;
}

bool is_private(const p2p_NetAddr *a) {
    char host[64] = {};
    uint16_t port = 0;
    return addr_text(a, host, sizeof host, &port) && _PSL_IsPrivateAddress(host) == 1;
}

int find_by_uid(const uint8_t *uid, uint8_t state) {
    for (int i = 0; i < _PSL_MaxSessions(); ++i) {
        PSLSessionRecord *r = _PSL_Session(i);
        if (r->state.load() == state && _PSL_UidMatch(uid, r->remoteUID)) return i;
    }
    return -1;
}

void make_short(PSLSessionRecord *r) {
    if (r->ver) return;
    r->randomID &= 0xFFFF;
    r->mac = 0;
    r->ver = 1;
}

void start_rtt(PSLSessionRecord *r) {
    if (!r->rttStartMs) r->rttStartMs = p2p_Clock_Ms();
}

// A new device session for a client that opened with the short exchange: incoming, named by its tag.
int new_device_session(const uint8_t *payload, uint16_t tag) {
    const int sid = _PSL_AllocSession();
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r) return -1;
    r->incoming = 1;
    memcpy(r->remoteUID, payload, PSL_UID_LEN);
    r->remoteUID[PSL_UID_LEN] = 0;
    r->randomID = tag;
    r->mac = 0;
    r->ver = 1;
    return sid;
}

void answer(uint16_t type, PSLSessionRecord *r, LinuxConn *conn, const p2p_NetAddr *to, bool longForm,
            const uint8_t *uidField) {
    char uid[PSL_UID_LEN + 1] = {};
    memcpy(uid, uidField, PSL_UID_LEN);
    const uint32_t a = r ? r->randomID : 0, b = r ? r->mac : 0;
    _PSL_SendHello(type, conn, to, uid, a, b, longForm ? 1 : 0, 0);
}

}  // namespace

void _PSL_SetRouteCandidate(int kind, int sid, LinuxConn *conn, const p2p_NetAddr *addr) {
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r || !conn || !addr || kind < PSL_ROUTE_LAN || kind > PSL_ROUTE_RELAY_TCP) return;
    const int cur = r->routeType.load();
    if (r->routeConn && cur != PSL_ROUTE_NONE && kind > cur) return;
    if (r->routeConn && r->ownsRoute && r->routeConn != conn && _PSL_ConnMgr())
        LinuxConnMgr_destroyConnection(_PSL_ConnMgr(), r->routeConn);
    if (r->routeConn != conn) r->ownsRoute = false;
    const bool changed = cur != kind || !_PSL_SameEndpoint(&r->routeAddr, addr);
    r->routeConn = conn;
    r->routeAddr = *addr;
    r->routeType = kind;
    if (changed) _PSL_NotifyRoute(sid, kind, addr);
}

void _PSL_CompleteSession(int sid, const PSLPacketHeader *h, LinuxConn *conn, const p2p_NetAddr *from) {
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r) return;
    if (r->rttStartMs) {
        r->rttValid = 1;
        r->rttMs = (int32_t)(p2p_Clock_Ms() - r->rttStartMs);
        r->rttStartMs = 0;
    }
    if (h) {
        if (h->channel < PSL_CHANNELS) r->txCount[h->channel] = r->rxCount[h->channel] = 0;
        r->peerProtocol = h->version;
        r->peerScrambles = (h->flags & PSL_FLAG_SCRAMBLED) != 0;
    }
    if (is_private(from)) {
        r->routeKind = 2;
        r->lanState = 6;
        _PSL_SetRouteCandidate(PSL_ROUTE_LAN, sid, conn, from);
    } else {
        r->routeKind = 0;
        _PSL_SetRouteCandidate(PSL_ROUTE_P2P, sid, conn, from);
    }
    r->punchState = 3;
    r->relaySessionId = 0;
    r->idleTicks = 0;
    // Reached through a socket of the port-guess pool: the session keeps that socket; guessing for this
    // peer ends.
    if (r->routeConn == conn && !r->ownsRoute && _PSL_PortGuess_Adopt(conn)) r->ownsRoute = true;
    _PSL_PortGuess_Remove(r->randomID, r->mac);
    r->state = PSL_STATE_CONNECTED;
    _PSL_NotifyReaders();
}

void _PSL_PromoteLanSession(int sid, LinuxConn *conn, const p2p_NetAddr *from) {
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r || r->incoming != 1 || r->state.load() != PSL_STATE_ALLOCATED || r->lanState != 5) return;
    _PSL_SetRouteCandidate(PSL_ROUTE_LAN, sid, conn, from);
    r->lanState = 6;
    r->routeKind = 2;
    r->state = PSL_STATE_CONNECTED;
    _PSL_NotifyReaders();
}

int _PSL_SendHello(uint16_t type, LinuxConn *conn, const p2p_NetAddr *to, const char *uid, uint32_t a,
                   uint32_t b, int longForm, uint16_t seq) {
    if (!conn || !to) return 0;
    char host[64] = {};
    uint16_t port = 0;
    if (!addr_text(to, host, sizeof host, &port)) return 0;
    uint8_t pkt[PSL_HEADER_SIZE + 28] = {};
    PSLPacketHeader h{};
    h.magic = PSL_MAGIC;
    h.version = PSL_VERSION;
    h.length = longForm ? 28 : 24;
    h.seq = seq;
    h.route = 0x33;
    h.routeFlags = _PSL_AllSlotsBusy() ? 0x02 : 0;
    uint8_t *p = pkt + PSL_HEADER_SIZE;
    if (uid) strncpy((char *)p, uid, PSL_UID_LEN);
    psl_PutU32(p + 20, a);
    if (longForm) psl_PutU32(p + 24, b);
    // Two decoys go ahead of a hello and its answer; receivers have no handler for them.
    if (type == HELLO || type == HELLO_R) {
        PSLPacketHeader d = h;
        d.type = DECOY;
        d.length = 24;
        for (int i = 0; i < 2; ++i) {
            uint8_t dp[PSL_HEADER_SIZE + 24];
            memcpy(dp, pkt, sizeof dp);
            psl_Header_Write(dp, &d);
            _PSL_SendPacket(conn, dp, sizeof dp, host, port);
        }
    }
    h.type = type;
    psl_Header_Write(pkt, &h);
    return _PSL_SendPacket(conn, pkt, (uint16_t)(PSL_HEADER_SIZE + h.length), host, port);
}

void _PSL_HandleHello(const PSLPacketHeader *h, const uint8_t *payload, const p2p_NetAddr *from,
                      LinuxConn *conn) {
    if (h->length < 24) return;
    const bool longForm = h->length >= 28;
    const uint32_t a = psl_GetU32(payload + 20);
    const uint32_t b = longForm ? psl_GetU32(payload + 24) : 0;
    const int shortKey = longForm ? 0 : 1;
    // A hello of a session closed here a moment ago is late: it opens nothing again.
    if (longForm && _PSL_RecentPeer_Find(a, b, 0)) return;
    // A connected session answers again; once its direct path is confirmed (punchState 3) a hello
    // family message never moves its route.
    int sid = _PSL_FindSessionByKey(a, b, shortKey, PSL_FIND_CONNECTED);
    if (PSLSessionRecord *r = _PSL_Session(sid)) {
        const bool confirmed = r->punchState.load() == 3;
        if (h->type == HELLO) {
            answer(HELLO_R, r, conn, from, longForm, payload);
            return;
        }
        if (!confirmed) {
            _PSL_CompleteSession(sid, h, conn, from);
            _PSL_ReportConnected(sid, from);
        }
        if (h->type == HELLO_R) answer(HELLO_ACK, r, conn, from, longForm, payload);
        return;
    }
    sid = longForm ? _PSL_FindSessionByKey(a, b, 0, PSL_FIND_CONNECTING) : find_by_uid(payload, 1);
    if (PSLSessionRecord *r = _PSL_Session(sid)) {
        const int ps = r->punchState.load();
        if (longForm && (ps == -1 || ps == 2)) return;
        if (r->incoming == 0) {
            // A client session answers only while it is looking for this device.
            if (!longForm && r->lanState != 3 && ps != 1) return;
            if (h->version > 6 && (h->routeFlags & 0x02)) {
                (h->type == HELLO_R && longForm ? r->refusedOld : r->refused) = 1;
                r->peerProtocol = h->version;
                return;
            }
            if (!longForm) {
                make_short(r);
                if (h->type == HELLO_ACK && !r->ver) r->randomID = a & 0xFFFF;
            }
            start_rtt(r);
        } else if (!longForm && h->type == HELLO) {
            r->randomID = a & 0xFFFF;
            r->mac = 0;
            r->ver = 1;
        }
        if (h->type == HELLO) {
            answer(HELLO_R, r, conn, from, longForm, payload);
            return;
        }
        _PSL_CompleteSession(sid, h, conn, from);
        _PSL_ReportConnected(sid, from);
        if (h->type == HELLO_R) answer(HELLO_ACK, r, conn, from, longForm, payload);
        return;
    }
    if (longForm) {
        const int idx = _PSL_FindPendingByKey(a, b, 0);
        if (idx < 0) return;
        if (h->type == HELLO) {
            PslPending *p = _PSL_Pending(idx);
            _PSL_SendHello(HELLO_R, conn, from, p->uid, p->randomID, p->mac, 1, 0);
            return;
        }
        sid = _PSL_Pending_Accept(idx, conn, from, h);
        if (sid >= 0 && h->type == HELLO_R) answer(HELLO_ACK, _PSL_Session(sid), conn, from, true, payload);
        return;
    }
    // The short exchange toward this device: a new incoming session named by the client's tag.
    if (h->type == HELLO || !_PSL_UidMatch(payload, _PSL_OwnUid())) return;
    if (_PSL_RecentPeer_Find(a, 0, 1)) return;
    sid = new_device_session(payload, (uint16_t)a);
    if (sid < 0) return;
    _PSL_CompleteSession(sid, h, conn, from);
    // The client completes on this acknowledgement; without it, it waits for its next hello's answer.
    answer(HELLO_ACK, _PSL_Session(sid), conn, from, false, payload);
}
