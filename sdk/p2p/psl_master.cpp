#include "p2p/psl_master.h"

#include <arpa/inet.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "p2p/psl_servers.h"
#include "p2p/psl_session.h"

namespace {

// The compiled-in master names and the default masters used when no name resolves. Loopback only: no
// build ever points at a real host.
const char *const kMasterHosts[2] = {"127.0.0.1", ""};
const char *const kDefaultMasters[7] = {"127.0.0.1", "127.0.1.1", "127.0.1.2", "127.0.1.3",
                                        "127.0.1.4", "127.0.1.5", "127.0.1.6"};

std::recursive_mutex g_listMu;  // table, count, defaults flag, private mode
PSLMasterEntry g_table[PSL_MASTERS];
int g_count = 0;
bool g_onlyDefaults = false;  // the table holds the defaults only: a name that resolves replaces them
bool g_private = false;       // masters given at start-up
std::string g_hosts[2] = {kMasterHosts[0], kMasterHosts[1]};
std::atomic<int> g_state{PSL_MASTERS_RESOLVING};

std::mutex g_threadMu;  // the resolver threads
std::thread g_threads[2];
std::atomic<bool> g_running[2] = {false, false};

uint16_t masterPortNet() {
    return htons(PSL_MASTER_PORT);
}

bool present(const char *host, uint16_t port) {
    for (int i = 0; i < g_count; ++i)
        if (g_table[i].port == port && strcmp(g_table[i].host, host) == 0) return true;
    return false;
}

// Appends one list's addresses (caller holds the list lock); stops at the capacity.
void appendList(p2p_AddrList *list, uint8_t kind, PSLMasterEntry *table, int *count, bool dedupe) {
    if (!list || !list->head) return;
    p2p_AddrNode *n = list->head;
    do {
        if (*count >= PSL_MASTERS) return;
        char text[64] = {};
        uint16_t port = 0;
        uint8_t family = 0;
        p2p_Net_AddrToString(&n->addr, sizeof text, text, &port, &family);
        if (family == 1) p2p_Net_CheckMappedIPv4(text, sizeof text);
        if (!dedupe || !present(text, masterPortNet())) {
            PSLMasterEntry &e = table[(*count)++];
            memset(&e, 0, sizeof e);
            e.kind = kind;
            e.addrFamily = family;
            e.port = masterPortNet();
            text[sizeof e.host - 1] = 0;
            memcpy(e.host, text, sizeof e.host);
        }
        n = n->next;
    } while (n != list->head);
}

void loadDefaults() {
    g_count = 0;
    for (const char *d : kDefaultMasters) {
        PSLMasterEntry &e = g_table[g_count++];
        memset(&e, 0, sizeof e);
        e.kind = 1;
        e.port = masterPortNet();
        snprintf(e.host, sizeof e.host, "%s", d);
    }
    g_onlyDefaults = true;
}

// One host record into the table. A name that resolves merges its addresses (replacing defaults that stood
// in for it); a name that fails loads the defaults only into an empty table.
int resolveHost(int index) {
    std::string host;
    {
        std::lock_guard<std::recursive_mutex> lk(g_listMu);
        host = g_hosts[index];
    }
    p2p_AddrList *v4 = nullptr, *v6 = nullptr;
    const bool named = !host.empty();
    const bool resolved = named && p2p_Net_ResolveAddrList(host.c_str(), &v4, &v6) == 0;
    std::lock_guard<std::recursive_mutex> lk(g_listMu);
    if (resolved) {
        if (g_onlyDefaults) {
            g_count = 0;
            g_onlyDefaults = false;
        }
        appendList(v4, (uint8_t)index, g_table, &g_count, true);
        appendList(v6, (uint8_t)index, g_table, &g_count, true);
    } else if (named && g_count == 0) {
        loadDefaults();
    }
    if (v4) p2p_Net_FreeAddrList(v4);
    if (v6) p2p_Net_FreeAddrList(v6);
    for (int i = g_count; i < PSL_MASTERS; ++i) memset(&g_table[i], 0, sizeof g_table[i]);
    if (g_count > 0) {
        g_state = PSL_MASTERS_READY;
        return 0;
    }
    // Empty only when every resolver has had its say.
    if (!g_running[1 - index].load()) g_state = PSL_MASTERS_EMPTY;
    return PSL_ERR_NO_MASTER;
}

void resolverThread(int index) {
    p2p_Thread_SetName("psl_rslvmtr_new");
    resolveHost(index);
    std::lock_guard<std::recursive_mutex> lk(g_listMu);
    g_running[index] = false;
    if (g_count == 0 && !g_running[1 - index].load()) g_state = PSL_MASTERS_EMPTY;
}

// Starts the resolver of each record that has a name and none running; joins finished ones first.
void startResolvers() {
    std::lock_guard<std::mutex> tl(g_threadMu);
    bool started = false;
    for (int i = 0; i < 2; ++i) {
        if (g_running[i].load()) continue;
        if (g_threads[i].joinable()) g_threads[i].join();
        {
            std::lock_guard<std::recursive_mutex> lk(g_listMu);
            if (g_hosts[i].empty()) continue;
        }
        g_running[i] = true;
        try {
            g_threads[i] = std::thread(resolverThread, i);
            started = true;
        } catch (...) {
            g_running[i] = false;
        }
    }
    std::lock_guard<std::recursive_mutex> lk(g_listMu);
    if (!started && !g_running[0].load() && !g_running[1].load() && g_state.load() == PSL_MASTERS_RESOLVING)
        g_state = g_count > 0 ? PSL_MASTERS_READY : PSL_MASTERS_EMPTY;
}

}  // namespace

int _PSL_MasterState(void) {
    return g_state.load();
}

void _PSL_SetMasterState(int state) {
    std::lock_guard<std::recursive_mutex> lk(g_listMu);
    g_state = state;
}

int _PSL_ResolveMasters(void) {
    {
        std::lock_guard<std::recursive_mutex> lk(g_listMu);
        if (g_private) return g_count > 0 ? 0 : PSL_ERR_NO_MASTER;
        g_state = PSL_MASTERS_RESOLVING;
    }
    startResolvers();
    while (g_state.load() == PSL_MASTERS_RESOLVING) {
        const int st = _PSL_InitState();
        if (st != 1 && st != 2) return PSL_ERR_NOT_INIT;
        usleep(10000);
    }
    std::lock_guard<std::recursive_mutex> lk(g_listMu);
    return g_count > 0 ? 0 : PSL_ERR_NO_MASTER;
}

void _PSL_StartMasterResolve(void) {
    {
        std::lock_guard<std::recursive_mutex> lk(g_listMu);
        if (g_private) {
            g_state = PSL_MASTERS_READY;
            return;
        }
        // The table already known stays usable while the names are resolved again.
        if (g_count == 0) g_state = PSL_MASTERS_RESOLVING;
    }
    startResolvers();
}

int _PSL_ResolveHostInto(const char *host, PSLMasterEntry *table, int *count) {
    if (!host || !*host || !table || !count) return -1;
    p2p_AddrList *v4 = nullptr, *v6 = nullptr;
    if (p2p_Net_ResolveAddrList(host, &v4, &v6) != 0) return PSL_ERR_NO_MASTER;
    std::lock_guard<std::recursive_mutex> lk(g_listMu);
    appendList(v4, 1, table, count, false);
    appendList(v6, 1, table, count, false);
    if (v4) p2p_Net_FreeAddrList(v4);
    if (v6) p2p_Net_FreeAddrList(v6);
    return 0;
}

int _PSL_MasterTable(PSLMasterEntry out[PSL_MASTERS]) {
    std::lock_guard<std::recursive_mutex> lk(g_listMu);
    memcpy(out, g_table, sizeof g_table);
    return g_count;
}

int _PSL_IsMaster(const p2p_NetAddr *addr) {
    if (!addr) return 0;
    std::lock_guard<std::recursive_mutex> lk(g_listMu);
    for (int i = 0; i < g_count; ++i) {
        p2p_NetAddr m{};
        if (p2p_Net_ResolveAddr(g_table[i].host, g_table[i].port, &m) != 0) continue;
        if (_PSL_SameEndpoint(&m, addr)) return 1;
    }
    return 0;
}

int _PSL_IsMasterHost(const p2p_NetAddr *addr) {
    if (!addr) return 0;
    p2p_NetAddr same = *addr;
    std::lock_guard<std::recursive_mutex> lk(g_listMu);
    for (int i = 0; i < g_count; ++i) {
        p2p_NetAddr m{};
        if (p2p_Net_ResolveAddr(g_table[i].host, g_table[i].port, &m) != 0) continue;
        same.port = m.port;
        if (_PSL_SameEndpoint(&m, &same)) return 1;
    }
    return 0;
}

int _PSL_Master_SetPrivateHosts(const char *const hosts[4]) {
    PSLMasterEntry table[PSL_MASTERS] = {};
    int count = 0;
    for (int i = 0; i < 4; ++i)
        if (hosts[i] && *hosts[i]) _PSL_ResolveHostInto(hosts[i], table, &count);
    if (count == 0) return PSL_ERR_NO_HOSTS;
    std::lock_guard<std::recursive_mutex> lk(g_listMu);
    memcpy(g_table, table, sizeof table);
    g_count = count;
    g_onlyDefaults = false;
    g_private = true;
    g_state = PSL_MASTERS_READY;
    return 0;
}

namespace {

int resolveUserHosts(const char *const hosts[4], PSLMasterEntry table[PSL_MASTERS]) {
    int count = 0;
    for (int i = 0; i < 4; ++i)
        if (hosts[i] && *hosts[i]) _PSL_ResolveHostInto(hosts[i], table, &count);
    return count;
}

}  // namespace

int _PSL_Master_AppendHosts(const char *const hosts[4]) {
    PSLMasterEntry add[PSL_MASTERS] = {};
    const int n = resolveUserHosts(hosts, add);
    if (n == 0) return PSL_ERR_NO_MASTER;
    std::lock_guard<std::recursive_mutex> lk(g_listMu);
    if (g_onlyDefaults) {  // the defaults stood in for names that did not resolve: these hosts replace them
        g_count = 0;
        g_onlyDefaults = false;
    }
    for (int i = 0; i < n && g_count < PSL_MASTERS; ++i)
        if (!present(add[i].host, add[i].port)) g_table[g_count++] = add[i];
    g_state = PSL_MASTERS_READY;
    return 0;
}

int _PSL_Master_PutFirstHosts(const char *const hosts[4]) {
    PSLMasterEntry put[PSL_MASTERS] = {};
    const int n = resolveUserHosts(hosts, put);
    if (n == 0) return PSL_ERR_NO_MASTER;
    std::lock_guard<std::recursive_mutex> lk(g_listMu);
    memcpy(g_table, put, sizeof put[0] * (size_t)n);
    if (g_count < n) g_count = n;
    g_onlyDefaults = false;
    return 0;
}

void _PSL_Master_Stop(void) {
    {
        std::lock_guard<std::mutex> tl(g_threadMu);
        for (std::thread &t : g_threads)
            if (t.joinable()) t.join();
    }
    std::lock_guard<std::recursive_mutex> lk(g_listMu);
    memset(g_table, 0, sizeof g_table);
    g_count = 0;
    g_onlyDefaults = false;
    g_private = false;
    g_state = PSL_MASTERS_RESOLVING;
}

void _PSL_Master_SetHostsForTest(const char *host0, const char *host1) {
    std::lock_guard<std::recursive_mutex> lk(g_listMu);
    g_hosts[0] = host0 ? host0 : kMasterHosts[0];
    g_hosts[1] = host1 ? host1 : kMasterHosts[1];
}
