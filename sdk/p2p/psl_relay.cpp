#include "p2p/psl_relay.h"

#include <string.h>

#include "p2p/psl_connect.h"
#include "p2p/psl_device.h"
#include "p2p/psl_dispatch.h"
#include "p2p/psl_messages.h"
#include "p2p/psl_servers.h"
#include "p2p/psl_session.h"
#include "p2p/tconn_manager.h"

namespace {

using TableLock = PslTableLock;

// Relay reply statuses.
enum { kGranted = 0, kRefused = -1, kNoRelay = -5, kSelfConnect = -6, kTwoStep = -7 };

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

PslValue uidValue(const char *uid) {
    return {"UID", 0, reinterpret_cast<const uint8_t *>(uid), strnlen(uid, PSL_UID_LEN), nullptr, 0};
}

void endTask(int sid, p2p_TimerTask *t) {
    _PSL_ForgetSessionTask(sid, t);
    p2p_SockTaskMng_RemoveTimer(t);
}

void requestBatch(PSLSessionRecord *r, PSLConnectCtx *c) {
    LinuxConn *conn = _PSL_ServersConn();
    char uid[PSL_UID_LEN + 1] = {};
    memcpy(uid, r->remoteUID, PSL_UID_LEN);
    for (PSLPeerEntry &e : c->entries) {
        if (e.relayEntryState > 1 || !e.hasA) continue;
        if (c->remoteVersion >= 10 && e.version < 10) continue;
        if (_PSL_NewServerProtocol() && e.version >= 20) {
            PslValue v[] = {uidValue(uid),
                            {"randomID", r->randomID, nullptr, 0, nullptr, 0},
                            {"mac", r->mac, nullptr, 0, nullptr, 0}};
            sendBuilt(conn, "MSG_RELAY_REQUEST2", "std", v, 3, e.addrA);
        } else if (c->remoteVersion >= 10) {
            PslValue v[] = {uidValue(uid),
                            {"randomID", r->randomID, nullptr, 0, nullptr, 0},
                            {"mac", r->mac, nullptr, 0, nullptr, 0}};
            sendBuilt(conn, "MSG_RELAY_REQUEST", "long32", v, 3, e.addrA);
        } else {
            PslValue v[] = {uidValue(uid)};
            sendBuilt(conn, "MSG_RELAY_REQUEST", "short20", v, 1, e.addrA);
        }
        if (e.relayEntryState == 0) e.relayEntryState = 1;
    }
}

void joinBatch(PSLSessionRecord *r, PSLConnectCtx *c) {
    LinuxConn *conn = _PSL_ServersConn();
    char uid[PSL_UID_LEN + 1] = {};
    memcpy(uid, r->remoteUID, PSL_UID_LEN);
    for (PSLPeerEntry &e : c->entries) {
        if (e.relayEntryState != 3 || !e.hasA || (e.version < 10 && !e.relayChosen)) continue;
        if (c->remoteVersion < 10) {
            PslValue v[] = {uidValue(uid)};
            sendBuilt(conn, "MSG_RELAY_JOIN", "short20", v, 1, e.addrA);
            continue;
        }
        PslValue v[] = {uidValue(uid),
                        {"randomID", r->randomID, nullptr, 0, nullptr, 0},
                        {"mac", r->mac, nullptr, 0, nullptr, 0},
                        {"status", e.relayChosen, nullptr, 0, nullptr, 0},
                        {"libraryVersion", PSL_LIBRARY_VERSION, nullptr, 0, nullptr, 0},
                        {"natType", _PSL_NatType(), nullptr, 0, nullptr, 0}};
        sendBuilt(conn, "MSG_RELAY_JOIN", "long44", v, sizeof v / sizeof v[0], e.addrA);
    }
}

void giveUp(PSLSessionRecord *s) {
    if (s->relayState.load() != 5) s->relayState = -1;
}

void requestTick(p2p_TimerTask *t, uint32_t, uint16_t, void *userData, int expired) {
    PSLConnectCtx *c = nullptr;
    PSLSessionRecord *r = _PSL_LookupTick_Begin(t, userData, expired, giveUp, -1, false, &c);
    const int sid = (int)(intptr_t)userData;
    if (!r) return;
    const int st = r->relayState.load();
    if (st == 3 || st == 5) {
        endTask(sid, t);
        return;
    }
    if (!c->relayTickStarted) {  // the start sent the first batch
        c->relayTickStarted = 1;
        return;
    }
    requestBatch(r, c);
}

void joinTick(p2p_TimerTask *t, uint32_t, uint16_t, void *userData, int expired) {
    PSLConnectCtx *c = nullptr;
    PSLSessionRecord *r = _PSL_LookupTick_Begin(t, userData, expired, giveUp, -1, false, &c);
    const int sid = (int)(intptr_t)userData;
    if (!r) return;
    if (r->relayState.load() == 5) {
        endTask(sid, t);
        return;
    }
    if (!c->joinTickStarted) {
        c->joinTickStarted = 1;
        return;
    }
    joinBatch(r, c);
}

PSLPeerEntry *entryOf(PSLConnectCtx *c, const p2p_NetAddr *from) {
    for (PSLPeerEntry &e : c->entries)
        if (e.hasA && _PSL_SameEndpoint(&e.addrA, from)) return &e;
    return nullptr;
}

int connectingClientByUid(const uint8_t *uid) {
    for (int i = 0; i < _PSL_MaxSessions(); ++i) {
        PSLSessionRecord *s = _PSL_Session(i);
        if (s->state.load() == PSL_STATE_ALLOCATED && s->incoming == 0 && s->relayState.load() > 0 &&
            _PSL_UidMatch(uid, s->remoteUID))
            return i;
    }
    return -1;
}

bool fromOwnGroup(const p2p_NetAddr *from) {
    const int g = _PSL_GroupIndexOfUid(_PSL_OwnUid());
    return g >= 0 && _PSL_IsGroupServer(from, g);
}

// The route of a relayed session: the relay's address on the socket the attach came in on, tag R.
void setRelayRoute(PSLSessionRecord *r, LinuxConn *conn, const p2p_NetAddr *relay, uint16_t tag) {
    if (r->routeConn && r->ownsRoute && r->routeConn != conn && _PSL_ConnMgr())
        LinuxConnMgr_destroyConnection(_PSL_ConnMgr(), r->routeConn);
    r->ownsRoute = false;
    r->routeConn = conn;
    r->routeAddr = *relay;
    r->routeType = PSL_ROUTE_RELAY_UDP;
    r->routeKind = 1;
    r->relaySessionId = tag;
    r->peerScrambles = 1;
    r->idleTicks = 0;
}

void deviceAttach(const PSLPacketHeader *h, const uint8_t *payload, const p2p_NetAddr *from,
                  LinuxConn *conn) {
    if (!_PSL_HasOwnUid() || !_PSL_UidMatch(payload, _PSL_OwnUid()) || !fromOwnGroup(from)) return;
    const uint16_t tag = psl_GetU16(payload + 20);
    const uint32_t a = psl_GetU32(payload + 56), b = psl_GetU32(payload + 60);
    if (!tag || _PSL_RecentPeer_Find(a, b, 0)) return;
    int sid = _PSL_FindSessionByKey(a, b, 0, PSL_FIND_CONNECTED);
    PSLSessionRecord *r = _PSL_Session(sid);
    if (r && (r->incoming != 1 || r->relaySessionId != tag || !_PSL_AddrEqual(&r->routeAddr, from))) {
        // Already connected another way (a punched path): the relay's attach is answered and left alone.
        r = nullptr;
    } else if (!r) {
        const int idx = _PSL_FindPendingByKey(a, b, 0);
        if (idx >= 0) _PSL_Pending_Clear(idx);
        sid = _PSL_AllocSession();
        r = _PSL_Session(sid);
        if (!r) return;
        memcpy(r->remoteUID, _PSL_OwnUid(), PSL_UID_LEN);
        r->remoteUID[PSL_UID_LEN] = 0;
        r->incoming = 1;
        r->randomID = a;
        r->mac = b;
        r->ver = 0;
        r->peerVersion = psl_GetU32(payload + 68);
        r->peerProtocol = payload[76];
        r->peerNatType = payload[84];
        setRelayRoute(r, conn, from, tag);
        r->relayState = 5;
        r->state = PSL_STATE_CONNECTED;
        _PSL_NotifyReaders();
    }
    PslValue v[] = {uidValue(_PSL_OwnUid()),
                    {"randomID", a, nullptr, 0, nullptr, 0},
                    {"mac", b, nullptr, 0, nullptr, 0},
                    {"sessionTag", tag, nullptr, 0, nullptr, 0}};
    sendBuilt(conn ? conn : _PSL_MainConn(), "MSG_RELAY_ATTACH_R", "device", v, 4, *from);
    (void)h;
}

}  // namespace

int _PSL_RelayRequest_Start(int sid) {
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    PSLConnectCtx *c = _PSL_ConnectCtx(sid);
    if (!r || !c || r->relayState.load() != 0) return -1;
    r->relayState = 1;
    c->relayTickStarted = 0;
    requestBatch(r, c);
    return _PSL_AddSessionTask(sid, PSL_TASK_RELAY, 500, 60000, requestTick) ? 0 : -1;
}

int _PSL_RelayJoin_Start(int sid) {
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    PSLConnectCtx *c = _PSL_ConnectCtx(sid);
    if (!r || !c) return -1;
    c->joinTickStarted = 0;
    joinBatch(r, c);
    return _PSL_AddSessionTask(sid, PSL_TASK_RELAY, 500, 60000, joinTick) ? 0 : -1;
}

void _PSL_OnRelayReply(const PSLPacketHeader *h, const uint8_t *payload, const p2p_NetAddr *from) {
    // 24 bytes {UID, status}; 32 with the session words.
    if (!h || !payload || !from || h->length < 24) return;
    const int32_t status = (int32_t)psl_GetU32(payload + 20);
    const int sid = h->length >= 32 ? _PSL_FindSessionByKey(psl_GetU32(payload + 24),
                                                            psl_GetU32(payload + 28), 0, PSL_FIND_CONNECTING)
                                    : connectingClientByUid(payload);
    PSLSessionRecord *r = _PSL_Session(sid);
    PSLConnectCtx *c = r && r->incoming == 0 ? _PSL_ConnectCtx(sid) : nullptr;
    if (!c || !_PSL_UidMatch(payload, r->remoteUID)) return;
    PSLPeerEntry *e = entryOf(c, from);  // only the device's servers are heard
    if (!e) return;
    switch (status) {
        case kRefused:
            r->refused = 1;
            break;
        case kSelfConnect:
            r->errPeerSelfConnect = 1;
            break;
        case kNoRelay:
            r->noRelay = 1;
            break;
        default:
            break;
    }
    const int st = r->relayState.load();
    if (e->relayEntryState == 1) {
        if (status == kTwoStep) {
            e->relayEntryState = 2;
            if (st == 1) r->relayState = 2;
            return;
        }
        if (status != kGranted) return;
        e->relayEntryState = 3;
        if (st != 1 && st != 2) return;
    } else if (e->relayEntryState == 2) {
        if (status != kGranted) return;
        e->relayEntryState = 3;
        if (st != 2) return;
    } else {
        return;
    }
    bool chosen = false;
    for (const PSLPeerEntry &x : c->entries) chosen = chosen || x.relayChosen;
    if (!chosen) e->relayChosen = 1;
    c->relayAddr = *from;
    r->relayState = 4;
    if (_PSL_RelayJoin_Start(sid) != 0) r->relayState = -1;
}

void _PSL_OnRelayAttach(const PSLPacketHeader *h, const uint8_t *payload, const p2p_NetAddr *from,
                        LinuxConn *conn) {
    // 88 bytes: UID; u16 R @20; device and client address blocks @24/@40; the client's words @56/@60;
    // versions @64/@68; protocols @72/@76; NAT types @80/@84.
    if (!h || !payload || !from || h->length < 88) return;
    const uint32_t a = psl_GetU32(payload + 56), b = psl_GetU32(payload + 60);
    const int sid = _PSL_FindSessionByKey(a, b, 0, PSL_FIND_CONNECTING);
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r || r->incoming != 0) {
        deviceAttach(h, payload, from, conn);
        return;
    }
    PSLConnectCtx *c = _PSL_ConnectCtx(sid);
    if (!c || !_PSL_UidMatch(payload, r->remoteUID)) return;
    // Taken only after a grant, and only from a server that granted.
    PSLPeerEntry *e = entryOf(c, from);
    const uint16_t tag = psl_GetU16(payload + 20);
    if (!e || e->relayEntryState < 3 || r->relayState.load() < 4 || !tag) return;
    setRelayRoute(r, conn ? conn : _PSL_MainConn(), from, tag);
    r->peerVersion = psl_GetU32(payload + 64);
    r->peerProtocol = payload[72];
    r->peerNatType = payload[80];
    e->relayEntryState = 5;
    r->relayState = 5;
    r->state = PSL_STATE_CONNECTED;
    _PSL_ReportConnected(sid, from);
    _PSL_NotifyReaders();
}

void _PSL_OnSessionHello(const PSLPacketHeader *h, const uint8_t *payload, const p2p_NetAddr *from,
                         LinuxConn *conn) {
    // The relay's hello to the device: 28 bytes {UID, randomID, mac}. (24 and 32 are the device's answers.)
    if (!h || !payload || !from || h->length != 28) return;
    if (!_PSL_HasOwnUid() || !_PSL_UidMatch(payload, _PSL_OwnUid()) || !fromOwnGroup(from)) return;
    PslValue v[] = {uidValue(_PSL_OwnUid()),
                    {"result", 0, nullptr, 0, nullptr, 0},
                    {"randomID", psl_GetU32(payload + 20), nullptr, 0, nullptr, 0},
                    {"mac", psl_GetU32(payload + 24), nullptr, 0, nullptr, 0}};
    sendBuilt(conn ? conn : _PSL_MainConn(), "MSG_SESSION_HELLO", "answer32", v, 4, *from);
}
