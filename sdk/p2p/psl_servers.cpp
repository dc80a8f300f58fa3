#include "p2p/psl_servers.h"

#include <arpa/inet.h>
#include <string.h>
#include <time.h>

#include <array>
#include <atomic>
#include <mutex>
#include <vector>

#include "p2p/psl_connect.h"
#include "p2p/psl_master.h"
#include "p2p/psl_messages.h"
#include "p2p/psl_private.h"
#include "p2p/psl_register.h"
#include "p2p/psl_session.h"

namespace {

struct Observation {
    bool set = false;
    uint8_t block[16] = {};
    int changes = 0;
};

struct Group {
    uint16_t ids[3] = {};
    std::vector<p2p_NetAddr> addrs;  // IPv6 form; empty = free group
    std::vector<std::array<uint8_t, 16>> stats;
    std::vector<int32_t> values;
    std::vector<uint8_t> versions;
    std::vector<Observation> observed;  // what each server reported of this host
};

std::recursive_mutex g_groupMu;  // the server-table lock
Group g_groups[PSL_GROUPS];
std::atomic<bool> g_nat64{false};

std::mutex g_cacheMu;  // the UID cache lock
uint8_t g_cache[PSL_UID_CACHE][84];
unsigned g_cacheNext = 0;

// NAT knowledge. The observed-address list has its own small lock: the receiving thread writes it while the
// tasks read it.
std::atomic<int> g_natType{PSL_NAT_UNKNOWN};
std::atomic<int> g_natHint{0};
std::atomic<bool> g_probeAnswered{false};
std::atomic<bool> g_serverAnswered{false};
std::atomic<uint16_t> g_lastProbePort{0};
std::atomic<bool> g_tcpMode{false};
std::mutex g_obsMu;
uint8_t g_obs[PSL_OBSERVED][16];
uint32_t g_obsFlags[PSL_OBSERVED];

// The IPv4 form of an IPv4-mapped record; others unchanged.
p2p_NetAddr plain(const p2p_NetAddr &a) {
    static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (a.family != 1 || memcmp(a.address, kMapped, 12) != 0) return a;
    p2p_NetAddr v4{};
    v4.family = 0;
    v4.port = a.port;
    memcpy(v4.address, a.address + 12, 4);
    return v4;
}

// An address block (00 02, port, IPv4) as a record in the form the group table keeps.
p2p_NetAddr fromBlock(const uint8_t *block) {
    uint32_t ip = 0;
    uint16_t port = 0;
    p2p_AddrBlock_Read(block, &ip, &port);
    p2p_NetAddr v4{};
    v4.family = 0;
    v4.port = port;
    memcpy(v4.address, &ip, 4);
    p2p_NetAddr v6{};
    if (p2p_Net_IPv4ToIPv6(&v4, g_nat64.load() ? 1 : 0, &v6) != 0) return v4;
    v6.port = port;
    return v6;
}

bool uidMatches(const uint8_t *payload, const char *ref) {
    if (!ref || !*ref) return false;
    for (int i = 0; i < PSL_UID_LEN; ++i) {
        if (payload[i] != (uint8_t)ref[i]) return false;
        if (ref[i] == 0) return true;
    }
    return true;
}

int findConnectingByUid(const uint8_t *payload) {
    const int n = _PSL_MaxSessions();
    for (int i = 0; i < n; ++i) {
        PSLSessionRecord *r = _PSL_Session(i);
        if (r && r->state.load() == PSL_STATE_ALLOCATED && r->remoteUID[0] &&
            uidMatches(payload, r->remoteUID))
            return i;
    }
    return -1;
}

void forEachSessionInServerState(int from, int to) {
    const int n = _PSL_MaxSessions();
    for (int i = 0; i < n; ++i) {
        PSLSessionRecord *r = _PSL_Session(i);
        int expect = from;
        if (r) r->serverState.compare_exchange_strong(expect, to);
    }
}

// The entry of the session's server list that holds server (addrA, or addrB for TCP); -1.
int entryOf(PSLConnectCtx *c, const p2p_NetAddr *server, int tcp) {
    for (int i = 0; i < PSL_PEER_ENTRIES; ++i) {
        const PSLPeerEntry &e = c->entries[i];
        if (!tcp && e.hasA && _PSL_SameEndpoint(&e.addrA, server)) return i;
        if (tcp && e.hasB && _PSL_SameEndpoint(&e.addrB, server)) return i;
    }
    return -1;
}

void recordEntryVersion(PSLConnectCtx *c, const p2p_NetAddr *server, uint8_t version, int tcp) {
    const int i = entryOf(c, server, tcp);
    if (i < 0) return;
    c->entries[i].version = version;
    if (!tcp && c->firstAnswerEntry == -1) c->firstAnswerEntry = i;
}

void markEntry(PSLConnectCtx *c, const p2p_NetAddr *server, uint16_t type, int32_t wakeMs, uint8_t version) {
    int i = entryOf(c, server, 0);
    if (i < 0) i = entryOf(c, server, 1);
    if (i < 0) return;
    PSLPeerEntry &e = c->entries[i];
    e.sleepClass = type == 0x0227 ? PSL_SLEEP_ASLEEP : type == 0x0229 ? PSL_SLEEP_WAKING : 0;
    e.wakeMs = wakeMs;
    e.version = version;
    if (!c->firstMarkMs) c->firstMarkMs = p2p_Clock_Ms() ? p2p_Clock_Ms() : 1;
}

void copyGroupToEntries(int sid) {
    PSLConnectCtx *c = _PSL_ConnectCtx(sid);
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!c || !r) return;
    const int g = c->groupIndex >= 0 ? c->groupIndex : _PSL_GroupIndexOfUid(r->remoteUID);
    if (g < 0) return;
    std::lock_guard<std::recursive_mutex> lk(g_groupMu);
    const std::vector<p2p_NetAddr> &a = g_groups[g].addrs;
    for (size_t i = 0; i < a.size() && i < PSL_PEER_ENTRIES; ++i) {
        if (a[i].port == 0 || entryOf(c, &a[i], 0) >= 0) continue;
        c->entries[i].addrA = a[i];
        c->entries[i].hasA = 1;
    }
}

bool fromOwnGroupServer(const p2p_NetAddr *from) {
    const int g = _PSL_GroupIndexOfUid(_PSL_OwnUid());
    return g >= 0 && _PSL_IsGroupServer(from, g);
}

bool ownUid(const uint8_t *payload) {
    const char *own = _PSL_OwnUid();
    return own && *own && uidMatches(payload, own);
}

void onGroupAnswer(const PSLPacketHeader *h, const uint8_t *payload, const p2p_NetAddr *from,
                   const char *host, int transport) {
    // Group answers come only from a master (over TCP: on a connection the road opened to a master's host).
    if (transport == 0 ? !_PSL_IsMaster(from) : !_PSL_IsMasterHost(from)) return;
    g_nat64 = host && strchr(host, ':') && strstr(host, "64:ff9b");
    uint16_t ids[3] = {};
    const uint8_t *servers = nullptr;
    size_t count = 0;
    const uint8_t *observed = nullptr;
    if (h->type == 0x1008) {
        PslGroupRecords g{};
        if (psl_ReadQueryGroupR(payload, h->length, &g) != 0 || !g.hasGroupIds) return;
        memcpy(ids, g.groupIds, sizeof ids);
        servers = g.servers;
        count = g.serverCount;
        observed = g.addr;
    } else {
        const bool v1 = h->type == 0x000C;
        const size_t base = v1 ? 92 : 60, idsAt = v1 ? 68 : 20, addrAt = v1 ? 76 : 28;
        if (h->length < base) return;
        for (int i = 0; i < 3; ++i) ids[i] = psl_GetU16(payload + idsAt + 2 * i);
        count = psl_GetU16(payload + idsAt + 6);
        if (count > (h->length - base) / 16) count = (h->length - base) / 16;
        servers = payload + base;
        observed = payload + addrAt;
    }
    if (transport == 0) _PSL_UpdateNatType(observed);
    int sid = -1;
    const bool own = _PSL_RegistrationRunning() && ownUid(payload);
    if (!own) {
        sid = findConnectingByUid(payload);
        if (sid < 0) return;
    }
    if (count == 0) return;
    if (count > PSL_GROUP_SERVERS_MAX) count = PSL_GROUP_SERVERS_MAX;
    uint8_t rec[84] = {};
    if (own)
        memcpy(rec, _PSL_OwnUid(), strnlen(_PSL_OwnUid(), PSL_UID_LEN));
    else
        memcpy(rec, _PSL_Session(sid)->remoteUID, strnlen(_PSL_Session(sid)->remoteUID, PSL_UID_LEN));
    for (int i = 0; i < 3; ++i) psl_PutU16(rec + 68 + 2 * i, ids[i]);
    _PSL_GroupCache_Store(rec);
    _PSL_ServerGroups_Merge(ids, servers, count);
    if (sid < 0) return;
    PSLSessionRecord *r = _PSL_Session(sid);
    PSLConnectCtx *c = _PSL_ConnectCtx(sid);
    if (!c) return;
    if (transport == 0) {
        int expect = 1;
        if (r->serverState.load() == 1) {
            c->groupIndex = _PSL_GroupIndexOfUid(r->remoteUID);
            r->serverState.compare_exchange_strong(expect, 2);
        }
        copyGroupToEntries(sid);
    } else if (h->type != 0x1005) {
        int expect = 4;
        r->tcpState.compare_exchange_strong(expect, 5);
    }
}

void onDeviceAnswer(const PSLPacketHeader *h, const uint8_t *payload, const p2p_NetAddr *from,
                    int transport) {
    if (h->length < PSL_UID_LEN) return;
    const int sid = findConnectingByUid(payload);
    PSLConnectCtx *c = _PSL_ConnectCtx(sid);
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!c || !r) return;
    const int tcp = transport == 1;
    // Only the servers this session asked: the addresses of its device's group.
    if (entryOf(c, from, tcp) < 0 && entryOf(c, from, !tcp) < 0) return;
    switch (h->type) {
        case 0x0212:
        case 0x0215: {
            if (h->length < 44) return;
            _PSL_MarkServerVersion(from, h->version);
            recordEntryVersion(c, from, h->version, tcp);
            const uint32_t lib = psl_GetU32(payload + 40);
            if (r->connectMode.load() == 0 && (r->serverState.load() == 5 || r->tcpState.load() == 9)) {
                const bool parallel = h->version >= 10 && lib >= 0x010E0000u;
                c->remoteVersion = parallel ? 10 : 0;
                r->connectMode = parallel ? 1 : 2;
            }
            if (!tcp) {
                int expect = 5;
                r->serverState.compare_exchange_strong(expect, 6);
            } else {
                int expect = 9;
                if (r->tcpState.compare_exchange_strong(expect, 10)) c->tcpWaitMs = 0;
            }
            markEntry(c, from, h->type, (int32_t)(psl_GetU32(payload + 20) * 1000u), h->version);
            r->peerNatType = payload[36];
            r->peerVersion = lib;
            break;
        }
        case 0x0227:
            markEntry(c, from, h->type, -1, h->version);
            recordEntryVersion(c, from, h->version, tcp);
            break;
        case 0x0229:
            markEntry(c, from, h->type, h->length >= 25 ? (int32_t)(psl_GetU32(payload + 20) * 1000u) : -1,
                      h->version);
            recordEntryVersion(c, from, h->version, tcp);
            break;
        case 0x0213:
            if (h->length >= 24 && (int32_t)psl_GetU32(payload + 20) == -6 && r->measureRtt == 1)
                r->errPeerSelfConnect = 1;
            break;
        default:
            break;
    }
}

void onLoginFamily(const PSLPacketHeader *h, const uint8_t *payload, const p2p_NetAddr *from, int transport) {
    if (h->length < PSL_UID_LEN) return;
    // The UID and the sender first: no bit of an answer counts before both are checked.
    if (!ownUid(payload) || !fromOwnGroupServer(from)) return;
    switch (h->type) {
        case 0x0102:
            _PSL_OnLoginAnswer(nullptr, from);
            break;
        case 0x0106:
            if (h->length < 36) return;
            if (h->length >= 272) {
                if (payload[268] & 1) _PSL_SetStoppedByServer(1);
                if (payload[204] & 1) {  // an answer to a checking login, through the redirect hook
                    const p2p_NetAddr v4 = plain(*from);
                    uint32_t ipv4 = 0;
                    if (v4.family == 0) memcpy(&ipv4, v4.address, 4);
                    if (PSL_RedirectHook hook = _PSL_RedirectHook(); hook && ipv4)
                        _PSL_LoginCheck_Answered(hook(ipv4, from->port));
                    return;
                }
            }
            _PSL_OnLoginAnswer(transport == 0 ? payload + 20 : nullptr, from);
            break;
        case 0x0109:
        case 0x010A:
            _PSL_OnDeviceWake(h->type == 0x0109);
            break;
        default:
            break;
    }
}

}  // namespace

void _PSL_AddrText(const p2p_NetAddr *a, char host[64]) {
    const p2p_NetAddr v = plain(*a);
    host[0] = 0;
    if (v.family == 0)
        snprintf(host, 64, "%u.%u.%u.%u", v.address[0], v.address[1], v.address[2], v.address[3]);
    else
        inet_ntop(AF_INET6, v.address, host, 64);
}

int _PSL_SameEndpoint(const p2p_NetAddr *a, const p2p_NetAddr *b) {
    if (!a || !b) return 0;
    const p2p_NetAddr x = plain(*a), y = plain(*b);
    if (x.family != y.family || x.port != y.port) return 0;
    return memcmp(x.address, y.address, x.family == 0 ? 4 : 16) == 0;
}

void _PSL_GroupCache_Store(const uint8_t record[84]) {
    std::lock_guard<std::mutex> lk(g_cacheMu);
    for (auto &r : g_cache) {
        if (r[0] && strncmp((const char *)r, (const char *)record, PSL_UID_LEN) == 0) {
            memcpy(r, record, 84);
            return;
        }
    }
    memcpy(g_cache[g_cacheNext % PSL_UID_CACHE], record, 84);
    ++g_cacheNext;
}

int _PSL_UidCache_Find(const char *uid) {
    if (!uid || !*uid) return -1;
    std::lock_guard<std::mutex> lk(g_cacheMu);
    for (int i = 0; i < PSL_UID_CACHE; ++i)
        if (g_cache[i][0] && strncmp((const char *)g_cache[i], uid, PSL_UID_LEN) == 0) return i;
    return -1;
}

void _PSL_ServerGroups_Merge(const uint16_t ids[3], const uint8_t *blocks, size_t count) {
    if (!ids || !blocks || count == 0) return;
    std::lock_guard<std::recursive_mutex> lk(g_groupMu);
    int at = -1;
    for (int i = 0; i < PSL_GROUPS && at < 0; ++i)
        if (!g_groups[i].addrs.empty() && !memcmp(g_groups[i].ids, ids, sizeof g_groups[i].ids)) at = i;
    const bool known = at >= 0;
    for (int i = 0; i < PSL_GROUPS && at < 0; ++i)
        if (g_groups[i].addrs.empty()) at = i;
    if (at < 0) return;
    Group &g = g_groups[at];
    if (!known) {
        g = Group{};
        memcpy(g.ids, ids, sizeof g.ids);
    }
    for (size_t k = 0; k < count; ++k) {
        const p2p_NetAddr a = fromBlock(blocks + 16 * k);
        bool dup = false;
        for (const p2p_NetAddr &b : g.addrs)
            dup = dup || (b.port == a.port && !memcmp(b.address, a.address, 16));
        if (dup || g.addrs.size() >= PSL_GROUP_SERVERS_MAX) continue;
        g.addrs.push_back(a);
        g.stats.push_back({});
        g.values.push_back(0);
        g.versions.push_back(0);
        g.observed.push_back({});
    }
}

int _PSL_ServerGroup_Find(uint16_t id1, uint16_t id2, uint16_t id3) {
    std::lock_guard<std::recursive_mutex> lk(g_groupMu);
    for (int i = 0; i < PSL_GROUPS; ++i) {
        const Group &g = g_groups[i];
        if (!g.addrs.empty() && g.ids[0] == id1 && g.ids[1] == id2 && g.ids[2] == id3) return i;
    }
    return -1;
}

int _PSL_GroupIndexOfUid(const char *uid) {
    uint8_t rec[84];
    {
        const int i = _PSL_UidCache_Find(uid);
        if (i < 0) return -1;
        std::lock_guard<std::mutex> lk(g_cacheMu);
        memcpy(rec, g_cache[i], sizeof rec);
    }
    return _PSL_ServerGroup_Find(psl_GetU16(rec + 68), psl_GetU16(rec + 70), psl_GetU16(rec + 72));
}

int _PSL_GroupAddresses(int g, PslServerAddr *out, int max) {
    if (g < 0 || g >= PSL_GROUPS || !out) return 0;
    std::lock_guard<std::recursive_mutex> lk(g_groupMu);
    int n = 0;
    for (size_t i = 0; i < g_groups[g].addrs.size() && n < max; ++i) {
        const p2p_NetAddr &a = g_groups[g].addrs[i];
        if (a.port == 0) continue;
        _PSL_AddrText(&a, out[n].host);
        out[n].portNet = a.port;
        out[n].version = g_groups[g].versions[i];
        ++n;
    }
    return n;
}

int _PSL_AllServerAddresses(PslServerAddr *out, int max) {
    std::lock_guard<std::recursive_mutex> lk(g_groupMu);
    int n = 0;
    for (int g = 0; g < PSL_GROUPS && n < max; ++g) n += _PSL_GroupAddresses(g, out + n, max - n);
    return n;
}

int _PSL_IsGroupServer(const p2p_NetAddr *addr, int g) {
    if (!addr) return 0;
    std::lock_guard<std::recursive_mutex> lk(g_groupMu);
    for (int i = 0; i < PSL_GROUPS; ++i) {
        if (g >= 0 && i != g) continue;
        for (const p2p_NetAddr &a : g_groups[i].addrs)
            if (_PSL_SameEndpoint(&a, addr)) return 1;
    }
    return 0;
}

void _PSL_ServerGroups_DropOwn(const char *ownUid) {
    const int g = _PSL_GroupIndexOfUid(ownUid);
    if (g < 0) return;
    std::lock_guard<std::recursive_mutex> lk(g_groupMu);
    g_groups[g] = Group{};
}

void _PSL_MarkServerVersion(const p2p_NetAddr *server, uint8_t version) {
    std::lock_guard<std::recursive_mutex> lk(g_groupMu);
    for (Group &g : g_groups)
        for (size_t i = 0; i < g.addrs.size(); ++i)
            if (_PSL_SameEndpoint(&g.addrs[i], server)) {
                g.versions[i] = version;
                break;
            }
}

int _PSL_RecordServerAddress(const p2p_NetAddr *server, const uint8_t observed[16], int *changes) {
    std::lock_guard<std::recursive_mutex> lk(g_groupMu);
    for (Group &g : g_groups)
        for (size_t i = 0; i < g.addrs.size(); ++i) {
            if (!_PSL_SameEndpoint(&g.addrs[i], server)) continue;
            Observation &o = g.observed[i];
            int result;
            if (!o.set) {
                result = 1;
            } else if (!memcmp(o.block + 4, observed + 4, 4)) {
                if (!memcmp(o.block + 2, observed + 2, 2)) return 0;
                ++o.changes;
                if (changes) *changes = o.changes;
                return 2;
            } else {
                result = 3;
            }
            o.set = true;
            memcpy(o.block, observed, 16);
            return result;
        }
    return -1;
}

int _PSL_NatType(void) {
    return g_natType.load();
}
void _PSL_SetNatType(int type, int hint) {
    g_natType = type;
    g_natHint = hint;
}
int _PSL_ProbeAnswered(void) {
    return g_probeAnswered.load() ? 1 : 0;
}
void _PSL_SetTcpMode(int on) {
    g_tcpMode = on != 0;
}
int _PSL_TcpMode(void) {
    return g_tcpMode.load() ? 1 : 0;
}

void _PSL_UpdateNatType(const uint8_t block[16]) {
    g_probeAnswered = true;
    if (g_tcpMode.load()) {
        _PSL_SetNatType(PSL_NAT_TCP, PSL_NAT_TCP);
        return;
    }
    uint32_t ip = 0;
    uint16_t port = 0;
    p2p_AddrBlock_Read(block, &ip, &port);
    if (g_lastProbePort.load() != 0) {
        uint32_t firstIp = 0;
        {
            std::lock_guard<std::mutex> lk(g_obsMu);
            uint16_t p0 = 0;
            p2p_AddrBlock_Read(g_obs[0], &firstIp, &p0);
        }
        const int t = g_natType.load();
        if (port == g_lastProbePort.load() && ip == firstIp) {
            if (t == PSL_NAT_UNKNOWN || (t != PSL_NAT_SYMMETRIC && g_natHint.load() != 1))
                g_natType = PSL_NAT_CONE;
        } else {
            g_natType = PSL_NAT_SYMMETRIC;
        }
    }
    g_lastProbePort = port;
    _PSL_RecordExternalAddress(block);
}

void _PSL_RecordExternalAddress(const uint8_t block[16]) {
    uint32_t ip = 0;
    uint16_t port = 0;
    p2p_AddrBlock_Read(block, &ip, &port);
    std::lock_guard<std::mutex> lk(g_obsMu);
    for (int i = 0; i < PSL_OBSERVED; ++i) {
        uint32_t sip = 0;
        uint16_t sport = 0;
        p2p_AddrBlock_Read(g_obs[i], &sip, &sport);
        const bool empty = sip == 0 && sport == 0;
        if (empty) break;
        if (sip != ip) continue;
        if (g_natType.load() == PSL_NAT_SYMMETRIC) {
            if (sport != port) {
                g_obsFlags[i] |= 1;
                memcpy(g_obs[i], block, 16);
            }
            return;
        }
        if (sport == port) return;
    }
    memmove(g_obs[1], g_obs[0], 16 * (PSL_OBSERVED - 1));
    memcpy(g_obs[0], block, 16);
}

void _PSL_ObservedAddresses(uint8_t out[PSL_OBSERVED * 16], uint32_t flags[PSL_OBSERVED]) {
    std::lock_guard<std::mutex> lk(g_obsMu);
    if (out) memcpy(out, g_obs, sizeof g_obs);
    if (flags) memcpy(flags, g_obsFlags, sizeof g_obsFlags);
}

void _PSL_ResetNat(void) {
    g_probeAnswered = false;
    g_natType = PSL_NAT_UNKNOWN;
    g_natHint = 0;
    g_lastProbePort = 0;
    std::lock_guard<std::mutex> lk(g_obsMu);
    memset(g_obs, 0, sizeof g_obs);
    memset(g_obsFlags, 0, sizeof g_obsFlags);
}

void _PSL_ClearObservedAddresses(void) {
    std::lock_guard<std::mutex> lk(g_obsMu);
    memset(g_obs, 0, sizeof g_obs);
    memset(g_obsFlags, 0, sizeof g_obsFlags);
}

void _PSL_Servers_Reset(void) {
    {
        std::lock_guard<std::recursive_mutex> lk(g_groupMu);
        for (Group &g : g_groups) g = Group{};
    }
    {
        std::lock_guard<std::mutex> lk(g_cacheMu);
        memset(g_cache, 0, sizeof g_cache);
        g_cacheNext = 0;
    }
    _PSL_ResetNat();
    g_serverAnswered = false;
    g_tcpMode = false;
    g_nat64 = false;
}

uint32_t _PSL_NewCheckValue(uint32_t magic) {
    if (magic != PSL_PRIVATE_MAGIC) return 9999;
    auto half = [] {
        const uint32_t v = (uint32_t)(time(nullptr) + p2p_Rand()) % 65535u;
        return v ? v : 1u;
    };
    const uint32_t hi = half();
    return hi << 16 | half();
}

int _PSL_BuildWakeQuery(uint8_t out[40], int *length, uint32_t value, uint32_t magic) {
    if (magic != PSL_PRIVATE_MAGIC) return 9999;
    if (!out || !length) return -1;
    const PslMsgDef *m = psl_Msg_ByName("MSG_WAKE_QUERY");
    const char *own = _PSL_OwnUid();
    PslValue v[] = {{"UID", 0, reinterpret_cast<const uint8_t *>(own), strnlen(own, PSL_UID_LEN), nullptr, 0},
                    {"check", value, nullptr, 0, nullptr, 0}};
    const int n = m ? psl_Msg_Build(m, &m->forms[0], v, 2, out, 40) : -1;
    if (n != 40) return -1;
    *length = n;
    return 0;
}

int _PSL_DispatchServerMessage(const PSLPacketHeader *h, const uint8_t *payload, const p2p_NetAddr *from,
                               const char *host, uint16_t portNet, int transport) {
    (void)portNet;
    if (!h || !from || (h->length && !payload)) return 0;
    switch (h->type) {
        case 0x0008:  // MSG_UID_REFUSED
        case 0x000A:  // MSG_UID_NOTICE
            if (h->length < PSL_UID_LEN || !_PSL_IsMaster(from)) return 1;
            if (h->type == 0x0008) {
                if (ownUid(payload) && (_PSL_RegistrationRunning() || _PSL_Registered())) {
                    _PSL_SetOwnUidRefused();
                } else if (PSLSessionRecord *r = _PSL_Session(findConnectingByUid(payload))) {
                    r->uidRejected = 1;
                }
            } else if (_PSL_Registered()) {
                if (ownUid(payload)) _PSL_SetOwnUidBusy();
            } else if (PSLSessionRecord *r = _PSL_Session(findConnectingByUid(payload))) {
                r->tcpRelayRefused = 1;
            }
            return 1;
        case 0x000C:  // MSG_QUERY_GROUP_V1_R
        case 0x1005:  // MSG_GROUP_INFO
        case 0x1008:  // MSG_QUERY_GROUP_R
            onGroupAnswer(h, payload, from, host, transport);
            return 1;
        case 0x000D:
        case 0x0108:
        case 0x1006:
        case 0x1009:  // a server was reached
            if (transport != 0 || (!_PSL_IsMaster(from) && !_PSL_IsGroupServer(from, -1))) return 1;
            g_serverAnswered = true;
            _PSL_SetNatType(g_tcpMode.load() ? PSL_NAT_TCP : PSL_NAT_OPEN,
                            g_tcpMode.load() ? PSL_NAT_TCP : 1);
            return 1;
        case 0x0102:  // MSG_LOGIN_OK
        case 0x0106:  // MSG_LOGIN_R
        case 0x0109:  // MSG_DEVICE_WAKE
        case 0x010A:  // MSG_DEVICE_SLEEP
            onLoginFamily(h, payload, from, transport);
            return 1;
        case 0x0A02:  // MSG_PROBE_R
        case 0x8004:  // MSG_PROBE_EX_R
            if (h->length < 16 || !_PSL_IsGroupServer(from, -1)) return 1;
            g_probeAnswered = true;
            if (transport == 0) {
                _PSL_UpdateNatType(payload);
                _PSL_RecordServerAddress(from, payload, nullptr);
            }
            _PSL_MarkServerVersion(from, h->version);
            forEachSessionInServerState(3, 4);
            return 1;
        case 0x0A03:  // MSG_PROBE_DONE
        case 0x8005:  // MSG_PROBE_EX_DONE
            if (!_PSL_IsGroupServer(from, -1)) return 1;
            g_probeAnswered = true;
            if (transport == 0) {
                g_serverAnswered = true;
                _PSL_SetNatType(g_tcpMode.load() ? PSL_NAT_TCP : PSL_NAT_OPEN,
                                g_tcpMode.load() ? PSL_NAT_TCP : 1);
            }
            forEachSessionInServerState(3, 4);
            return 1;
        case 0x0212:  // MSG_QUERY_DEVICE_R
        case 0x0213:  // MSG_QUERY_DEVICE_FAIL
        case 0x0215:  // MSG_QUERY_DEVICE2_R
        case 0x0227:  // MSG_DEVICE_ASLEEP
        case 0x0229:  // MSG_DEVICE_WAKING
            onDeviceAnswer(h, payload, from, transport);
            return 1;
        default:
            return 0;
    }
}
