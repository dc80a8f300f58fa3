#include "p2p/psl_lan.h"

#include <arpa/inet.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "p2p/psl_connect.h"
#include "p2p/psl_device.h"
#include "p2p/psl_dispatch.h"
#include "p2p/psl_hello.h"

namespace {

using TableLock = PslTableLock;

enum : uint16_t { LAN_SEARCH = 0x0601, LAN_SEARCH_R = 0x0602, LAN_CONNECT = 0x0603 };
constexpr int ANSWER_LEN = 184, OLD_ANSWER_LEN = 168, REQUEST_LEN = 52, CONNECT_LEN = 72, DESC_MAX = 128;

std::mutex g_descMu;
char g_description[DESC_MAX + 1] = {};
std::atomic<uint32_t> g_token{0};  // the device's LAN connect token, drawn on first use
std::atomic<int> g_lookupTime{-1};
p2p_TimerTask *g_lookupTask = nullptr;  // table lock

// Result lists. Lock order: the table lock, then g_searchMu.
std::mutex g_searchMu;
struct BlockingSearch {
    PSLLanSearchInfo *info = nullptr;
    PSLLanSearchAddr *addr = nullptr;
    int capacity = 0;
    int count = 0;
    bool running = false;
} g_block;
struct DeviceSearch {
    bool running = false;
    std::vector<PSLLanFindInfo> records;
    p2p_TimerTask *task = nullptr;
    uint32_t counter = 0;
} g_find;
std::mutex g_blockCallMu;  // one blocking search at a time

// The repeat table. Lock order: the table lock, then g_repeatMu.
struct RepeatSlot {
    uint32_t words[2];
    char uid[PSL_UID_LEN + 1];
    int32_t kind;
    int32_t delay;
    char host[64];
    uint16_t portNet;
    int32_t key;
    bool inUse;
    bool hasTarget;
    uint8_t answerForm;
};
std::mutex g_repeatMu;
RepeatSlot g_repeat[PSL_REPEAT_SLOTS] = {};
int g_repeatCount = 0;
p2p_TimerTask *g_repeatTask = nullptr;

bool same_repeat(const RepeatSlot &a, const RepeatSlot &b) {
    return a.kind == b.kind && a.words[0] == b.words[0] && a.words[1] == b.words[1] &&
           a.hasTarget == b.hasTarget &&
           (!a.hasTarget || (a.portNet == b.portNet && !strcmp(a.host, b.host))) && !strcmp(a.uid, b.uid) &&
           a.key == b.key && a.answerForm == b.answerForm;
}

void send_repeat(const RepeatSlot &e) {
    if (e.answerForm == 1) {
        p2p_NetAddr to{};
        if (e.hasTarget && p2p_Net_ResolveAddr(e.host, e.portNet, &to) == 0)
            _PSL_SendLanSearchReply(&to, e.words[0] | e.words[1] ? e.words : nullptr, (uint32_t)e.kind);
        return;
    }
    _PSL_SendLanSearch(0, e.uid[0] ? e.uid : nullptr, e.words, (uint32_t)e.kind,
                       e.hasTarget ? e.host : nullptr, e.portNet, (uint32_t)e.key);
}

// Every 10 ms while slots wait (table lock held by the task manager).
void repeat_tick(p2p_TimerTask *task, uint32_t, uint16_t, void *, int) {
    std::lock_guard<std::mutex> lk(g_repeatMu);
    if (task != g_repeatTask) return;
    if (g_repeatCount == 0) {
        g_repeatTask = nullptr;
        p2p_SockTaskMng_RemoveTimer(task);
        return;
    }
    for (RepeatSlot &e : g_repeat) {
        if (!e.inUse) continue;
        if (e.delay > 0) {
            --e.delay;
            continue;
        }
        if (g_repeatCount > 0) --g_repeatCount;
        const RepeatSlot copy = e;
        e = RepeatSlot{};
        send_repeat(copy);
    }
}

bool addr_text(const p2p_NetAddr *a, char *host, size_t size, uint16_t *portNet) {
    if (p2p_Net_AddrToString(a, size, host, portNet, nullptr) != 0) return false;
    p2p_Net_CheckMappedIPv4(host, size);
    return true;
}

void copy_text(char *dst, size_t cap, const char *src, size_t max) {
    size_t n = 0;
    while (n + 1 < cap && n < max && src[n]) ++n;
    memcpy(dst, src, n);
    dst[n] = 0;
}

uint32_t token() {
    uint32_t t = g_token.load();
    if (!t) {
        uint32_t drawn = (uint32_t)(p2p_Rand() % 15) + 1;
        g_token.compare_exchange_strong(t, drawn);
        t = g_token.load();
    }
    return t;
}

void lookup_tick(p2p_TimerTask *, uint32_t, uint16_t, void *, int);

// A connecting session's LAN lookup sends a connect request for its UID and words.
void send_lookup(PSLSessionRecord *r) {
    const uint32_t words[2] = {r->randomID, r->mac};
    _PSL_SendLanSearch(0, r->remoteUID, words, PSL_LAN_MODE_CONNECT, nullptr, 0, 0);
}

void lookup_tick(p2p_TimerTask *task, uint32_t, uint16_t, void *, int) {
    int limit = g_lookupTime.load();
    if (limit < 1) limit = 60000;
    bool any = false;
    for (int i = 0; i < _PSL_MaxSessions(); ++i) {
        PSLSessionRecord *r = _PSL_Session(i);
        if (r->state.load() != PSL_STATE_ALLOCATED || r->incoming || (r->lanState != 1 && r->lanState != 3))
            continue;
        any = true;
        r->lanElapsedMs += 100;
        if (r->lanElapsedMs >= limit) {
            r->lanState = -1;
            continue;
        }
        send_lookup(r);
        const uint32_t words[2] = {r->randomID, r->mac};
        _PSL_RepeatTable_Add(r->remoteUID, words, PSL_LAN_MODE_CONNECT, nullptr, 0, p2p_Rand() % 6, 0, 0);
    }
    // Nothing is looking any more: the task goes, the next lookup starts a new one.
    if (!any && task == g_lookupTask) {
        g_lookupTask = nullptr;
        p2p_SockTaskMng_RemoveTimer(task);
    }
}

// Stores one device into the active result list (table lock and g_searchMu held).
void add_result(const uint8_t *uid, const char *host, uint16_t portHost, const char *desc) {
    char u[PSL_UID_LEN + 1] = {};
    memcpy(u, uid, PSL_UID_LEN);
    char ip[64] = {};
    copy_text(ip, sizeof ip, host, sizeof ip - 1);
    if (p2p_Net_CheckMappedIPv4(ip, sizeof ip) < 0) return;
    if (g_block.running) {
        if (strchr(ip, ':')) return;  // IPv6 that is not IPv4-mapped
        if (g_block.count >= g_block.capacity) return;
        for (int i = 0; i < g_block.count; ++i) {
            const char *su = g_block.info ? g_block.info[i].uid : g_block.addr[i].uid;
            const char *sip = g_block.info ? g_block.info[i].ip : g_block.addr[i].ip;
            const uint16_t sp = g_block.info ? g_block.info[i].port : g_block.addr[i].port;
            if (strncmp(su, u, PSL_UID_LEN) == 0 && strncmp(sip, ip, 16) == 0 && sp == portHost) return;
        }
        if (g_block.addr) {
            PSLLanSearchAddr &e = g_block.addr[g_block.count];
            memcpy(e.uid, u, sizeof u);
            copy_text(e.ip, sizeof e.ip, ip, 16);
            e.port = portHost;
        } else {
            PSLLanSearchInfo &e = g_block.info[g_block.count];
            memcpy(e.uid, u, sizeof u);
            copy_text(e.ip, sizeof e.ip, ip, 16);
            e.port = portHost;
            copy_text(e.description, sizeof e.description, desc, 132);
        }
        ++g_block.count;
        return;
    }
    if (!g_find.running) return;
    for (const PSLLanFindInfo &e : g_find.records)
        if (strncmp(e.uid, u, PSL_UID_LEN) == 0 && strncmp(e.ip, ip, 46) == 0 && e.port == portHost) return;
    PSLLanFindInfo e{};
    memcpy(e.uid, u, sizeof u);
    copy_text(e.ip, sizeof e.ip, ip, 46);
    e.port = portHost;
    copy_text(e.description, sizeof e.description, desc, 132);
    e.isNew = 1;
    g_find.records.push_back(e);
}

void find_reset() {
    if (g_find.task) p2p_SockTaskMng_RemoveTimer(g_find.task);
    g_find = DeviceSearch{};
}

void find_tick(p2p_TimerTask *, uint32_t, uint16_t, void *, int expired) {
    std::lock_guard<std::mutex> lk(g_searchMu);
    if (expired) {
        g_find.task = nullptr;
        g_find.running = false;
        return;
    }
    _PSL_SendLanSearch(1, nullptr, nullptr, 0, nullptr, 0, g_find.counter % 16);
    ++g_find.counter;
}

// The device's answer to an old client's short request: 168 bytes with the requester's own address.
void send_old_answer(const p2p_NetAddr *to, uint16_t rawPortNet) {
    char host[64] = {};
    uint16_t port = 0;
    LinuxConn *conn = _PSL_MainConn();
    if (!conn || !addr_text(to, host, sizeof host, &port)) return;
    uint8_t pkt[PSL_HEADER_SIZE + OLD_ANSWER_LEN] = {};
    PSLPacketHeader h{};
    h.magic = PSL_MAGIC;
    h.version = PSL_VERSION;
    h.length = OLD_ANSWER_LEN;
    h.type = LAN_SEARCH_R;
    h.route = 0x12;
    psl_Header_Write(pkt, &h);
    uint8_t *p = pkt + PSL_HEADER_SIZE;
    memcpy(p, _PSL_OwnUid(), PSL_UID_LEN);
    uint32_t ip = 0;
    if (to->family == 0) memcpy(&ip, to->address, 4);
    p2p_AddrBlock_Write(p + 20, ip, rawPortNet);
    {
        std::lock_guard<std::mutex> lk(g_descMu);
        memcpy(p + 36, g_description, DESC_MAX);
    }
    _PSL_SendPacket(conn, pkt, sizeof pkt, host, port);
}

// A connect request already accepted is answered again, and once more a few ticks later.
void answer_accepted(const p2p_NetAddr *from, const uint32_t words[2]) {
    _PSL_SendLanSearchReply(from, words, PSL_LAN_ANSWER_ACCEPTED);
    char host[64] = {};
    uint16_t portNet = 0;
    if (addr_text(from, host, sizeof host, &portNet))
        _PSL_RepeatTable_Add(nullptr, words, PSL_LAN_ANSWER_ACCEPTED, host, portNet, p2p_Rand() % 6, 1, 0);
}

}  // namespace

void _PSL_SetDescription(const char *text) {
    if (!text) return;
    std::lock_guard<std::mutex> lk(g_descMu);
    copy_text(g_description, sizeof g_description, text, DESC_MAX);
}

int _PSL_BroadcastToInterfaces(LinuxConn *conn, uint8_t *packet, uint16_t length, uint16_t portHost) {
    p2p_LocalIfInfo ifs{};
    if (!conn || p2p_Net_GetLocalMacAndIPv4(&ifs) <= 0) return 0;
    int sent = 0;
    for (int i = 0; i < ifs.ipv4Count && i < 4; ++i) {
        if (!ifs.ipv4[i]) continue;
        const uint32_t bcast = ifs.ipv4[i] | ~ifs.netmask[i];
        char host[INET_ADDRSTRLEN] = {};
        if (!inet_ntop(AF_INET, &bcast, host, sizeof host)) continue;
        if (_PSL_SendPacket(conn, packet, length, host, htons(portHost)) > 0) ++sent;
    }
    return sent;
}

void _PSL_SendLanSearch(uint8_t value, const char *uid, const uint32_t *words, uint32_t mode,
                        const char *host, uint16_t portNet, uint32_t tok) {
    LinuxConn *conn = _PSL_MainConn();
    if (!conn) return;
    const bool connect = mode == 0 && tok != 0;
    uint8_t pkt[PSL_HEADER_SIZE + CONNECT_LEN] = {};
    PSLPacketHeader h{};
    h.magic = PSL_MAGIC;
    h.version = PSL_VERSION;
    h.length = connect ? CONNECT_LEN : REQUEST_LEN;
    h.type = connect ? LAN_CONNECT : LAN_SEARCH;
    h.route = 0x21;
    h.extra = value;
    psl_Header_Write(pkt, &h);
    uint8_t *p = pkt + PSL_HEADER_SIZE;
    if (uid) strncpy((char *)p, uid, PSL_UID_LEN);
    psl_PutU32(p + 36, PSL_LIBRARY_VERSION);
    if (words) {
        psl_PutU32(p + 40, words[0]);
        psl_PutU32(p + 44, words[1]);
    }
    psl_PutU32(p + 48, mode);
    if (connect) psl_PutU32(p + 52, tok);
    const uint16_t n = (uint16_t)(PSL_HEADER_SIZE + h.length);
    if (host)
        _PSL_SendPacket(conn, pkt, n, host, portNet);
    else
        _PSL_BroadcastToInterfaces(conn, pkt, n, _PSL_LanSearchPort());
}

int _PSL_SendLanSearchReply(const p2p_NetAddr *to, const uint32_t *words, uint32_t mode) {
    char host[64] = {};
    uint16_t port = 0;
    LinuxConn *conn = _PSL_MainConn();
    if (!conn || !to || !addr_text(to, host, sizeof host, &port)) return 0;
    uint8_t pkt[PSL_HEADER_SIZE + ANSWER_LEN] = {};
    PSLPacketHeader h{};
    h.magic = PSL_MAGIC;
    h.version = PSL_VERSION;
    h.length = ANSWER_LEN;
    h.type = LAN_SEARCH_R;
    h.route = 0x12;
    h.routeFlags = mode == PSL_LAN_ANSWER_FULL ? 0x02 : 0;
    psl_Header_Write(pkt, &h);
    uint8_t *p = pkt + PSL_HEADER_SIZE;
    memcpy(p, _PSL_OwnUid(), PSL_UID_LEN);
    {
        std::lock_guard<std::mutex> lk(g_descMu);
        memcpy(p + 36, g_description, DESC_MAX);
    }
    psl_PutU32(p + 168, PSL_LIBRARY_VERSION);
    if (words) {
        psl_PutU32(p + 172, words[0]);
        psl_PutU32(p + 176, words[1]);
    }
    psl_PutU32(p + 180, mode);
    return _PSL_SendPacket(conn, pkt, sizeof pkt, host, port);
}

void _PSL_HandleLanConnect(const PSLPacketHeader *h, const uint8_t *payload, const p2p_NetAddr *from,
                           uint16_t rawPortNet, LinuxConn *conn) {
    if (!_PSL_HasOwnUid() || h->length < CONNECT_LEN || psl_GetU32(payload + 52) != token()) return;
    _PSL_HandleLanRequest(h, payload, from, rawPortNet, conn);
}

void _PSL_HandleLanRequest(const PSLPacketHeader *h, const uint8_t *payload, const p2p_NetAddr *from,
                           uint16_t rawPortNet, LinuxConn *) {
    if (!_PSL_HasOwnUid()) return;  // only a device answers
    if (h->length < REQUEST_LEN) {
        send_old_answer(from, rawPortNet);
        return;
    }
    const uint32_t mode = psl_GetU32(payload + 48);
    const uint32_t words[2] = {psl_GetU32(payload + 40), psl_GetU32(payload + 44)};
    if (mode == PSL_LAN_MODE_SEARCH) {
        _PSL_SendLanSearchReply(from, nullptr, PSL_LAN_ANSWER_PLAIN);
        char host[64] = {};
        uint16_t portNet = 0;
        if (addr_text(from, host, sizeof host, &portNet))
            _PSL_RepeatTable_Add(nullptr, nullptr, PSL_LAN_ANSWER_PLAIN, host, portNet, p2p_Rand() % 6, 1, 0);
        return;
    }
    if (mode != PSL_LAN_MODE_CONNECT && mode != PSL_LAN_MODE_CONFIRM) return;
    if (!_PSL_UidMatch(payload, _PSL_OwnUid())) return;
    if (_PSL_RecentPeer_Find(words[0], words[1], 0)) return;  // a late request for a session closed here
    LinuxConn *main = _PSL_MainConn();
    int sid = _PSL_FindSessionByKey(words[0], words[1], 0, PSL_FIND_ANY);
    PSLSessionRecord *r = _PSL_Session(sid);
    if (r && r->incoming != 1) r = nullptr;  // the client's own session, in a process that is both
    const int idx = r ? -1 : _PSL_FindPendingByKey(words[0], words[1], 0);
    PslPending *p = _PSL_Pending(idx);
    if (mode == PSL_LAN_MODE_CONNECT) {
        if (r) {
            const uint8_t st = r->state.load();
            if (st == PSL_STATE_PEER_CLOSED || st == PSL_STATE_TIMED_OUT) return;
            answer_accepted(from, words);
            return;
        }
        if (p) {
            if (p->lanState != 5) return;
            answer_accepted(from, words);
            return;
        }
        // A new client: one pending record, answered for a short while only (the source may be forged).
        const int n = _PSL_Pending_Alloc(from);
        if (n < 0) {
            _PSL_SendLanSearchReply(from, words, PSL_LAN_ANSWER_FULL);
            return;
        }
        bool slot = false;
        for (int i = 0; i < _PSL_MaxSessions() && !slot; ++i)
            slot = _PSL_Session(i)->state.load() == PSL_STATE_FREE;
        if (!slot) {
            _PSL_Pending_Clear(n);
            _PSL_SendLanSearchReply(from, words, PSL_LAN_ANSWER_FULL);
            return;
        }
        p = _PSL_Pending(n);
        memcpy(p->uid, payload, PSL_UID_LEN);
        p->randomID = words[0];
        p->mac = words[1];
        p->ver = 0;
        p->lanState = 5;
        p->peerVersion = psl_GetU32(payload + 36);
        p->peerProtocol = h->version;
        p->peerScrambles = (h->flags & PSL_FLAG_SCRAMBLED) != 0;
        _PSL_SendLanSearchReply(from, words, PSL_LAN_ANSWER_ACCEPTED);
        return;
    }
    // Confirmation.
    if (r) {
        const uint8_t st = r->state.load();
        if (st == PSL_STATE_PEER_CLOSED || st == PSL_STATE_TIMED_OUT || r->lanState == 6) return;
        _PSL_PromoteLanSession(sid, main, from);
        return;
    }
    if (!p || p->lanState != 5) return;
    p->peerVersion = psl_GetU32(payload + 36);
    sid = _PSL_Pending_Accept(idx, main, from, h);
    if (PSLSessionRecord *s = _PSL_Session(sid)) {
        // The LAN exchange gives the LAN route whatever the address.
        s->routeType = PSL_ROUTE_LAN;
        s->routeKind = 2;
        s->lanState = 6;
    }
}

void _PSL_HandleLanAnswer(const PSLPacketHeader *h, const uint8_t *payload, const p2p_NetAddr *from,
                          LinuxConn *conn) {
    if (h->length < PSL_UID_LEN) return;
    char host[64] = {};
    uint16_t portNet = 0;
    if (!addr_text(from, host, sizeof host, &portNet)) return;
    const uint32_t mode = h->length >= ANSWER_LEN ? psl_GetU32(payload + 180) : 0;
    {
        std::lock_guard<std::mutex> lk(g_searchMu);
        if (g_block.running || g_find.running) {
            char desc[DESC_MAX + 1] = {};
            if (h->length >= OLD_ANSWER_LEN)
                copy_text(desc, sizeof desc, (const char *)payload + 36, DESC_MAX);  // ends by 164
            else
                strcpy(desc, " ");
            if (h->length < ANSWER_LEN || mode == PSL_LAN_ANSWER_PLAIN)
                add_result(payload, host, ntohs(portNet), desc);
        }
    }
    if (h->length >= ANSWER_LEN) {
        if (_PSL_RecentPeer_Find(psl_GetU32(payload + 172), psl_GetU32(payload + 176), 0)) return;
        const int sid =
            _PSL_FindSessionByKey(psl_GetU32(payload + 172), psl_GetU32(payload + 176), 0, PSL_FIND_ANY);
        PSLSessionRecord *r = _PSL_Session(sid);
        if (!r || r->incoming != 0 || !_PSL_UidMatch(payload, r->remoteUID)) return;
        const uint8_t st = r->state.load();
        if (mode == PSL_LAN_ANSWER_FULL) {
            if (r->lanState == 1) {
                r->peerProtocol = h->version;
                r->refused = 1;
            }
            return;
        }
        if (mode != PSL_LAN_ANSWER_ACCEPTED) return;
        if (st == PSL_STATE_PEER_CLOSED || st == PSL_STATE_TIMED_OUT) return;
        if (r->lanState != 1 && r->lanState != 3 && r->lanState != 6) return;
        if (h->routeFlags & 0x02) {
            (h->version < 7 ? r->refusedOld : r->refused) = 1;
            r->peerProtocol = h->version;
            return;
        }
        // A confirmation goes back to every accepting answer, so a lost one is made good; the session
        // completes once, and only the device it asked for completes it.
        const uint32_t words[2] = {r->randomID, r->mac};
        _PSL_SendLanSearch(0, r->remoteUID, words, PSL_LAN_MODE_CONFIRM, host, portNet, 0);
        if (r->lanState == 6 || st != PSL_STATE_ALLOCATED) return;
        r->peerVersion = psl_GetU32(payload + 168);
        _PSL_CompleteSession(sid, h, conn, from);
        r->routeType = PSL_ROUTE_LAN;  // found on the LAN: the LAN route whatever the address
        r->routeKind = 2;
        r->lanState = 6;
        _PSL_ReportConnected(sid, from);
        return;
    }
    // An older device's short answer: the session goes on with the short hello exchange.
    for (int i = 0; i < _PSL_MaxSessions(); ++i) {
        PSLSessionRecord *r = _PSL_Session(i);
        if (r->state.load() != PSL_STATE_ALLOCATED || r->incoming != 0 || r->lanState != 1 ||
            !_PSL_UidMatch(payload, r->remoteUID))
            continue;
        if (!r->ver) {
            r->randomID &= 0xFFFF;
            r->mac = 0;
            r->ver = 1;
        }
        r->lanState = 3;
        if (!r->rttStartMs) r->rttStartMs = p2p_Clock_Ms();
        _PSL_SendHello(0x0401, _PSL_MainConn(), from, r->remoteUID, r->randomID, 0, 0, 0);
        return;
    }
}

int PSL_Set_LanLookup_Time(int ms) {
    g_lookupTime = ms;
    return 0;
}
int _PSL_LanLookupTime(void) {
    return g_lookupTime.load();
}

int _PSL_LanLookup_Start(int sid) {
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r) return -1;
    if (g_lookupTime.load() == 0) {
        r->lanState = 2;
        return 0;
    }
    if (!g_lookupTask && !(g_lookupTask = p2p_SockTaskMng_AddTimer(100, 0, 0, lookup_tick, nullptr)))
        return -1;
    r->lanState = 1;
    r->lanElapsedMs = 0;
    send_lookup(r);
    return 0;
}

void _PSL_RepeatTable_Add(const char *uid, const uint32_t *words, int kind, const char *host,
                          uint16_t portNet, int delayTicks, uint8_t answerForm, int key) {
    RepeatSlot e{};
    if (words) {
        e.words[0] = words[0];
        e.words[1] = words[1];
    }
    if (uid) copy_text(e.uid, sizeof e.uid, uid, PSL_UID_LEN);
    e.kind = kind;
    e.delay = delayTicks < 0 ? 0 : delayTicks;
    if (host) {
        copy_text(e.host, sizeof e.host, host, sizeof e.host - 1);
        e.portNet = portNet;
        e.hasTarget = true;
    }
    e.key = key;
    e.answerForm = answerForm;
    e.inUse = true;
    TableLock tl;
    std::lock_guard<std::mutex> lk(g_repeatMu);
    int freeSlot = -1;
    for (int i = 0; i < PSL_REPEAT_SLOTS && freeSlot < 0; ++i) {
        if (!g_repeat[i].inUse)
            freeSlot = i;
        else if (same_repeat(g_repeat[i], e))
            return;  // the same message already waits
    }
    if (freeSlot < 0) return;
    if (!g_repeatTask && !(g_repeatTask = p2p_SockTaskMng_AddTimer(10, 0, 0, repeat_tick, nullptr))) return;
    g_repeat[freeSlot] = e;
    ++g_repeatCount;
}

int _PSL_RepeatTable_Count(void) {
    std::lock_guard<std::mutex> lk(g_repeatMu);
    return g_repeatCount;
}

void _PSL_Lan_Stop(void) {
    TableLock lk;
    g_lookupTask = nullptr;  // went with the task manager
    {
        std::lock_guard<std::mutex> rl(g_repeatMu);
        g_repeatTask = nullptr;
        for (RepeatSlot &e : g_repeat) e = RepeatSlot{};
        g_repeatCount = 0;
    }
    std::lock_guard<std::mutex> slk(g_searchMu);
    g_find.task = nullptr;
    g_find = DeviceSearch{};
    g_block = BlockingSearch{};
    g_lookupTime = -1;
}

namespace {

// Rounds of 50 ms; each sends a plain search or a connect request (tokens 1..15 in turn).
int blocking_search(PSLLanSearchInfo *info, PSLLanSearchAddr *addr, int capacity, int rounds, int intervalMs,
                    bool repeat) {
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    const int rc = _PSL_OpenMainSocket();
    if (rc != 0) return rc;
    std::lock_guard<std::mutex> call(g_blockCallMu);
    {
        TableLock lk;
        std::lock_guard<std::mutex> slk(g_searchMu);
        if (info) memset(info, 0, sizeof *info * (size_t)capacity);
        if (addr) memset(addr, 0, sizeof *addr * (size_t)capacity);
        g_block = BlockingSearch{info, addr, capacity, 0, true};
    }
    for (int i = 0; i < rounds && _PSL_Running(); ++i) {
        if (repeat)
            _PSL_SendLanSearch(1, nullptr, nullptr, 0, nullptr, 0, 0);
        else
            _PSL_SendLanSearch(1, nullptr, nullptr, 0, nullptr, 0, (uint32_t)(i % 16));
        usleep((useconds_t)intervalMs * 1000);
    }
    TableLock lk;
    std::lock_guard<std::mutex> slk(g_searchMu);
    const int n = g_block.count;
    g_block = BlockingSearch{};
    return n;
}

}  // namespace

int PSL_Search_LAN(PSLLanSearchInfo *out, int capacity, int timeoutMs) {
    if (!out || capacity <= 0 || timeoutMs <= 0) return PSL_ERR_INVALID;
    return blocking_search(out, nullptr, capacity, (timeoutMs + 49) / 50, 50, false);
}

int PSL_Search_LAN_Repeat(PSLLanSearchInfo *out, int capacity, int totalMs, int intervalMs) {
    if (!out || capacity <= 0 || totalMs <= 0 || intervalMs <= 0) return PSL_ERR_INVALID;
    int rounds = 1;
    for (int left = totalMs; intervalMs < left; left -= intervalMs) ++rounds;
    return blocking_search(out, nullptr, capacity, rounds, intervalMs, true);
}

int PSL_Search_LAN_Addr(PSLLanSearchAddr *out, int capacity, int timeoutMs) {
    if (!out || capacity <= 0 || timeoutMs <= 0) return PSL_ERR_INVALID;
    return blocking_search(nullptr, out, capacity, (timeoutMs + 49) / 50, 50, false);
}

int PSL_LanFind_Begin(int durationMs, int intervalMs) {
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    if (durationMs < 0 || intervalMs < 0) return PSL_ERR_INVALID;
    TableLock lk;
    std::lock_guard<std::mutex> slk(g_searchMu);
    if (g_find.running) return PSL_ERR_SEARCH_RUNNING;
    const int rc = _PSL_OpenMainSocket();
    if (rc != 0) return rc;
    find_reset();
    g_find.running = true;
    g_find.records.reserve(10);
    uint32_t period = intervalMs == 0 ? 50 : (uint32_t)intervalMs;
    if (period < 10) period = 10;
    g_find.task = p2p_SockTaskMng_AddTimer(period, (uint32_t)durationMs, 0, find_tick, nullptr);
    if (!g_find.task) {
        find_reset();
        return PSL_ERR_NO_MEMORY_INIT;
    }
    return 0;
}

int PSL_LanFind_Fetch(PSLLanFindInfo *out, int count, int which) {
    if (!out || count <= 0 || (which != 0 && which != 1)) return PSL_ERR_INVALID;
    TableLock lk;
    std::lock_guard<std::mutex> slk(g_searchMu);
    if (!g_find.running) {
        find_reset();
        return PSL_ERR_SEARCH_NONE;
    }
    int n = 0;
    for (PSLLanFindInfo &e : g_find.records) {
        if (n >= count) break;
        const bool take = which == 1 || e.isNew == 1;
        e.isNew = 0;
        if (!take) continue;
        out[n] = e;
        p2p_Net_CheckMappedIPv4(out[n].ip, sizeof out[n].ip);
        ++n;
    }
    return n;
}

int PSL_LanFind_End(void) {
    TableLock lk;
    std::lock_guard<std::mutex> slk(g_searchMu);
    if (!g_find.running) return PSL_ERR_SEARCH_NONE;
    find_reset();
    return 0;
}
