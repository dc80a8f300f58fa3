#include "p2p/psl_dispatch.h"

#include <string.h>

#include "p2p/psl_channels.h"
#include "p2p/psl_device.h"
#include "p2p/psl_hello.h"
#include "p2p/psl_lan.h"
#include "p2p/psl_msgqueue.h"
#include "p2p/psl_punch.h"
#include "p2p/psl_relay.h"
#include "p2p/psl_servers.h"

namespace {

using TableLock = PslTableLock;

bool state_matches(uint8_t state, int mode) {
    switch (mode) {
        case PSL_FIND_CONNECTED:
            return state == PSL_STATE_CONNECTED;
        case PSL_FIND_CONNECTING:
            return state == PSL_STATE_ALLOCATED;
        default:
            return state != PSL_STATE_FREE;
    }
}

// The sender as an address record; an IPv4-mapped IPv6 text is taken as IPv4.
bool sender_addr(const char *host, uint16_t portNet, p2p_NetAddr *out) {
    if (!host) return false;
    if (strncmp(host, "::ffff:", 7) == 0 && strchr(host + 7, '.')) host += 7;
    return p2p_Net_ResolveAddr(host, portNet, out) == 0;
}

bool is_direct(uint16_t type) {
    return type == 0x0407 || type == 0x0408 || type == 0x0417 || type == 0x0418 || type == 0x0427 ||
           type == 0x0428;
}

// The session of a data, close or keep-alive message. Session words at `wordsAt` when SESSION_EXT is set;
// otherwise the 16-bit tag (direct) or the relay address and tag (relayed).
int find_for(const PSLPacketHeader &h, const uint8_t *payload, const p2p_NetAddr &from, size_t wordsAt) {
    if (h.flags & PSL_FLAG_SESSION_EXT) {
        if (h.length < wordsAt + 8) return -1;
        return _PSL_FindSessionByKey(psl_GetU32(payload + wordsAt), psl_GetU32(payload + wordsAt + 4), 0,
                                     PSL_FIND_CONNECTED);
    }
    if (!is_direct(h.type)) return _PSL_FindSessionByAddrAndTag(&from, h.sessionTag);
    if (h.sessionTag) return _PSL_FindSessionByKey(h.sessionTag, 0, 1, PSL_FIND_CONNECTED);
    return _PSL_FindConnectedByAddr(&from);
}

// A direct data or keep-alive message naming its session by its words that no connected session has: on the
// device side (0x0407, 0x0427) a waiting LAN session or pending record is connected by it, on the connecting
// side (0x0408, 0x0428) a connecting session completes. The session id, or -1.
int connect_by_words(const PSLPacketHeader &h, const uint8_t *payload, size_t wordsAt,
                     const p2p_NetAddr &from, LinuxConn *conn) {
    if (!(h.flags & PSL_FLAG_SESSION_EXT) || h.length < wordsAt + 8) return -1;
    const uint32_t a = psl_GetU32(payload + wordsAt), b = psl_GetU32(payload + wordsAt + 4);
    if (_PSL_RecentPeer_Find(a, b, 0)) return -1;  // late traffic of a session closed here
    if (h.type == 0x0407 || h.type == 0x0427) {
        const int sid = _PSL_FindSessionByKey(a, b, 0, PSL_FIND_CONNECTING);
        if (PSLSessionRecord *r = _PSL_Session(sid)) {
            if (r->incoming != 1) return -1;
            _PSL_PromoteLanSession(sid, conn, &from);
            return r->state.load() == PSL_STATE_CONNECTED ? sid : -1;
        }
        const int idx = _PSL_FindPendingByKey(a, b, 0);
        if (idx < 0) return -1;
        const PslPending *p = _PSL_Pending(idx);
        const bool lan = p->lanState == 5;
        const int nsid = _PSL_Pending_Accept(idx, conn, &from, &h);
        if (PSLSessionRecord *s = _PSL_Session(nsid); s && lan) {
            s->routeType = PSL_ROUTE_LAN;
            s->routeKind = 2;
            s->lanState = 6;
        }
        return nsid;
    }
    if (h.type == 0x0408 || h.type == 0x0428) {
        const int sid = _PSL_FindSessionByKey(a, b, 0, PSL_FIND_CONNECTING);
        PSLSessionRecord *r = _PSL_Session(sid);
        if (!r || r->incoming != 0) return -1;
        _PSL_CompleteSession(sid, &h, conn, &from);
        return sid;
    }
    return -1;
}

void on_data(const PSLPacketHeader &h, const uint8_t *payload, const p2p_NetAddr &from, LinuxConn *conn) {
    int sid = -1;
    size_t prefix = 0;
    if (h.flags & PSL_FLAG_FORWARD) {
        // An acknowledged message names its session in its block.
        if (h.flags & PSL_FLAG_SESSION_EXT) {
            if (h.length < 16) return;
            sid = _PSL_FindSessionByKey(psl_GetU32(payload + 4), psl_GetU32(payload + 12), 0,
                                        PSL_FIND_CONNECTED);
        } else {
            if (h.length < 12) return;
            sid = h.type == 0x0407
                      ? _PSL_FindSessionByKey(psl_GetU32(payload + 4) & 0xFFFF, 0, 1, PSL_FIND_CONNECTED)
                      : _PSL_FindSessionByAddrAndTag(&from, h.sessionTag);
        }
        PSLSessionRecord *r = _PSL_Session(sid);
        if (!r || h.channel >= PSL_CHANNELS || !r->channelMsgQueue[h.channel]) return;
        r->idleTicks = 0;
        _PSL_MsgQueue_Receive(r->channelMsgQueue[h.channel], &h, payload, h.length, &from, sid);
        return;
    }
    sid = find_for(h, payload, from, 4);
    if (sid < 0) sid = connect_by_words(h, payload, 4, from, conn);
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r) return;
    if (h.flags & PSL_FLAG_SESSION_EXT) {
        prefix = psl_GetU32(payload);  // the block says how long it is
        if (prefix < 12 || prefix > h.length) return;
    }
    if (is_direct(h.type) && h.type == 0x0408) r->noKnock = 1;
    if (h.channel >= PSL_CHANNELS) return;
    const uint16_t len = (uint16_t)(h.length - prefix);
    if (r->channelRecvCallback[h.channel] || len > 0)
        _PSL_DeliverData(sid, h.channel, h.seq, payload + prefix, len);
    r->idleTicks = 0;
    // The sender's address is not taken as the new route here: a packet from elsewhere carrying the
    // session's tag or words re-points nothing until a hello is answered from there.
}

void on_close(const PSLPacketHeader &h, const uint8_t *payload, const p2p_NetAddr &from) {
    const bool relay = !is_direct(h.type);
    if (relay && (h.flags & PSL_FLAG_SESSION_EXT) && h.length != 8) return;
    // The status and channel callbacks hear -22 once, from the state change itself.
    PSLSessionRecord *r = _PSL_Session(find_for(h, payload, from, 0));
    if (r && r->state.load() == PSL_STATE_CONNECTED) _PSL_SessionBroken(r, PSL_ERR_CLOSED_BY_PEER);
}

void on_alive(const PSLPacketHeader &h, const uint8_t *payload, const p2p_NetAddr &from, LinuxConn *conn) {
    int sid = find_for(h, payload, from, 0);
    if (sid < 0) sid = connect_by_words(h, payload, 0, from, conn);
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r) return;
    r->idleTicks = 0;
    if (h.type == 0x0428) r->noKnock = 1;
}

}  // namespace

int _PSL_AddrEqual(const p2p_NetAddr *a, const p2p_NetAddr *b) {
    if (!a || !b || a->family != b->family || a->port != b->port) return 0;
    return memcmp(a->address, b->address, a->family == 0 ? 4 : 16) == 0;
}

int _PSL_FindSessionByKey(uint32_t a, uint32_t b, int shortKey, int mode) {
    const int n = _PSL_MaxSessions();
    for (int i = 0; i < n; ++i) {
        PSLSessionRecord *r = _PSL_Session(i);
        if (!state_matches(r->state.load(), mode)) continue;
        if (shortKey) {
            if (r->ver && (r->randomID & 0xFFFF) == (a & 0xFFFF)) return i;
        } else if (r->randomID == a && r->mac == b) {
            return i;
        }
    }
    return -1;
}

int _PSL_FindConnectedByAddr(const p2p_NetAddr *addr) {
    const int n = _PSL_MaxSessions();
    for (int i = 0; i < n; ++i) {
        PSLSessionRecord *r = _PSL_Session(i);
        if (r->state.load() == PSL_STATE_CONNECTED && r->routeConn && _PSL_AddrEqual(&r->routeAddr, addr))
            return i;
    }
    return -1;
}

int _PSL_FindSessionByAddrAndTag(const p2p_NetAddr *addr, uint16_t tag) {
    const int n = _PSL_MaxSessions();
    for (int i = 0; i < n; ++i) {
        PSLSessionRecord *r = _PSL_Session(i);
        const int route = r->routeType.load();
        if (r->state.load() == PSL_STATE_CONNECTED && r->relaySessionId == tag &&
            (route == PSL_ROUTE_RELAY_UDP || route == PSL_ROUTE_RELAY_TCP) &&
            _PSL_AddrEqual(&r->routeAddr, addr))
            return i;
    }
    return -1;
}

namespace {
void dispatch_locked(const PSLPacketHeader &h, const uint8_t *payload, const p2p_NetAddr &from,
                     const char *host, uint16_t portNet, LinuxConn *conn, int transport);
}  // namespace

void _PSL_DispatchMessage(const uint8_t *packet, size_t size, const char *host, uint16_t portNet,
                          LinuxConn *conn, int transport) {
    if (!packet || size < PSL_HEADER_SIZE) return;
    PSLPacketHeader h{};
    psl_Header_Read(packet, &h);
    if (h.magic != PSL_MAGIC || PSL_HEADER_SIZE + (size_t)h.length > size) return;
    const uint8_t *payload = packet + PSL_HEADER_SIZE;
    p2p_NetAddr from{};
    if (!sender_addr(host, portNet, &from)) return;
    const int st = _PSL_InitState();
    if (st != 1 && st != 2) return;
    _PSL_DeferReaderNotify(1);
    dispatch_locked(h, payload, from, host, portNet, conn, transport);
    _PSL_DeferReaderNotify(0);
}

namespace {
void dispatch_locked(const PSLPacketHeader &h, const uint8_t *payload, const p2p_NetAddr &from,
                     const char *host, uint16_t portNet, LinuxConn *conn, int transport) {
    (void)host;
    TableLock lk;
    switch (h.type) {
        case 0x0407:
        case 0x0408:
        case 0x0501:
        case 0x0503:
            on_data(h, payload, from, conn);
            break;
        case 0x0417:
        case 0x0418:
        case 0x0511:
        case 0x0513:
            on_close(h, payload, from);
            break;
        case 0x0427:
        case 0x0428:
        case 0x0521:
        case 0x0523:
            on_alive(h, payload, from, conn);
            break;
        case 0x0401:
        case 0x0402:
        case 0x0404:
            _PSL_HandleHello(&h, payload, &from, conn);
            break;
        // The servers' part of a remote connect over UDP; over TCP the server-message handlers take them.
        case 0x0301:  // MSG_PEER_ADDRESS
        case 0x0103:  // MSG_SESSION_HELLO
        case 0x0206:  // MSG_RELAY_REQUEST_R
        case 0x0208:  // MSG_RELAY_REQUEST2_R
        case 0x0303:  // MSG_RELAY_ATTACH
            if (transport != 0) {
                _PSL_DispatchServerMessage(&h, payload, &from, host, portNet, transport);
            } else if (h.type == 0x0301) {
                _PSL_OnPeerAddress(&h, payload, &from);
            } else if (h.type == 0x0103) {
                _PSL_OnSessionHello(&h, payload, &from, conn);
            } else if (h.type == 0x0303) {
                _PSL_OnRelayAttach(&h, payload, &from, conn);
            } else {
                _PSL_OnRelayReply(&h, payload, &from);
            }
            break;
        case 0x0601:
            _PSL_HandleLanRequest(&h, payload, &from, portNet, conn);
            break;
        case 0x0602:
            _PSL_HandleLanAnswer(&h, payload, &from, conn);
            break;
        case 0x0603:
            _PSL_HandleLanConnect(&h, payload, &from, portNet, conn);
            break;
        default:
            _PSL_DispatchServerMessage(&h, payload, &from, host, portNet, transport);
            break;
    }
}
}  // namespace

void _PSL_OnUdpPacket(LinuxConn *conn, const char *host, uint16_t portNet, const uint8_t *buf, size_t len) {
    uint8_t plain[PSL_UDP_RECV_MAX];
    PSLPacketHeader h{};
    const int n = psl_ReadDatagram(buf, len, plain, &h);
    if (n < 0) return;
    _PSL_DispatchMessage(plain, (size_t)n, host, portNet, conn, 0);
}
