#include "p2p/psl_register.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "p2p/psl_connect.h"
#include "p2p/psl_device.h"
#include "p2p/psl_master.h"
#include "p2p/psl_messages.h"
#include "p2p/psl_private.h"
#include "p2p/psl_servers.h"
#include "p2p/psl_session.h"
#include "p2p/psl_settings.h"

// The device side's UID store, when it is linked in, is told the registered UID too.

namespace {

const uint8_t kPing[4] = {0xCC, 0xAA, 0xAB, 0xAB};

std::mutex g_mu;  // callbacks
// The own UID, read by the receiving thread while a registration may set it: kept character by character.
std::atomic<char> g_ownUidChars[PSL_UID_LEN + 1] = {};
char g_ownUid[PSL_UID_LEN + 1] = {};  // the registering thread's copy
std::atomic<bool> g_running{false};
std::atomic<bool> g_registered{false};
std::atomic<int> g_invalidUids{0};
std::atomic<bool> g_ownRefused{false};
std::atomic<bool> g_ownBusy{false};
std::atomic<uint32_t> g_flags{0};
std::atomic<int> g_state{0};
std::atomic<int> g_stateError{0};
std::atomic<int> g_ticks{0};  // device ticks since the last login answer
std::atomic<int> g_loginInterval{25};
std::atomic<int> g_reportedInterval{25};
std::atomic<int> g_highestChanges{0};
std::atomic<uint32_t> g_loginCounter{0};
PSL_RegisterFlagsFn g_flagsCb = nullptr;
PSL_RegisterStateFn g_stateCb = nullptr;
void *g_stateArg = nullptr;
// Device tasks (created and removed with the session table lock held).
p2p_TimerTask *g_tick = nullptr;
p2p_TimerTask *g_daily = nullptr;
p2p_TimerTask *g_ping = nullptr;
int g_tickFactor = 1;
bool g_reopened = false;  // the main socket was moved during this silence
bool g_dailyRan = false;

// The fall-back servers, reached on TCP 80 when no master answers over UDP. Loopback only.
const char *const kFallback[4] = {"127.0.0.4", "127.0.0.5", "127.0.0.6", "127.0.0.7"};
std::atomic<int> g_fallbackPending{0};
std::atomic<bool> g_fallbackConnected{false};
std::atomic<int> g_fallbackWaitMs{10000};

using TableLock = PslTableLock;

void callFlags() {
    PSL_RegisterFlagsFn cb;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        cb = g_flagsCb;
    }
    if (cb) cb(g_flags.load());
}

void setState(int state, int error) {
    if (g_state.exchange(state) == state && g_stateError.load() == error) return;
    g_stateError = error;
    PSL_RegisterStateFn cb;
    void *arg;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        cb = g_stateCb;
        arg = g_stateArg;
    }
    if (cb) cb(state, error, arg);
}

int ownGroup() {
    return _PSL_GroupIndexOfUid(_PSL_OwnUid());
}

// A login to one server. With a check value: the checking form (the value in place of the counter, the
// redirect bit set). observe hands the finished packet to the login hook before it goes out.
void sendLogin(LinuxConn *conn, const char *host, uint16_t portNet, bool observe, const uint32_t *check) {
    const PslMsgDef *m = psl_Msg_ByName("MSG_LOGIN");
    if (!m || !conn || !host) return;
    uint8_t observed[PSL_OBSERVED * 16];
    uint32_t flags[PSL_OBSERVED];
    _PSL_ObservedAddresses(observed, flags);
    const bool haveObserved =
        observed[2] | observed[3] | observed[4] | observed[5] | observed[6] | observed[7];
    char uid[PSL_UID_LEN + 1];
    memcpy(uid, _PSL_OwnUid(), sizeof uid);
    uid[PSL_UID_LEN] = 0;
    PslValue v[8] = {};
    size_t n = 0;
    v[n++] = {"UID", 0, reinterpret_cast<const uint8_t *>(uid), strnlen(uid, PSL_UID_LEN), nullptr, 0};
    v[n++] = {"natType", _PSL_NatType(), nullptr, 0, nullptr, 0};
    v[n++] = {"libraryVersion", PSL_LIBRARY_VERSION, nullptr, 0, nullptr, 0};
    v[n++] = {"counter", check ? *check : g_loginCounter++, nullptr, 0, nullptr, 0};
    v[n++] = {"loginInterval", g_reportedInterval.load(), nullptr, 0, nullptr, 0};
    if (haveObserved) {
        v[n++] = {"observed", 0, observed, sizeof observed, nullptr, 0};
        v[n++] = {"observedFlags", 0, nullptr, 0, flags, PSL_OBSERVED};
    }
    uint8_t pkt[PSL_HEADER_SIZE + 272];
    const int len = psl_Msg_Build(m, &m->forms[0], v, n, pkt, sizeof pkt);
    if (len <= 0) return;
    if (check) pkt[PSL_HEADER_SIZE + 204] |= 1;
    if (observe) {
        uint32_t ipv4 = 0;
        PSL_LoginSentHook hook = _PSL_LoginSentHook();
        if (hook && inet_pton(AF_INET, host, &ipv4) == 1) hook(pkt, len, ipv4, portNet, _PSL_TcpMode());
    }
    _PSL_SendPacket(conn, pkt, (uint16_t)len, host, portNet);
}

// The login check (table lock).
struct LoginCheck {
    p2p_TimerTask *task = nullptr;
    PSL_LoginCheckDoneFn done = nullptr;
    uint32_t value = 0;
} g_check;
std::atomic<int> g_checkAnswered{0};

void loginCheckTick(p2p_TimerTask *t, uint32_t, uint16_t, void *, int expired) {
    if (t != g_check.task) {  // replaced or stopped meanwhile
        if (!expired) p2p_SockTaskMng_RemoveTimer(t);
        return;
    }
    PslServerAddr group[PSL_GROUP_SERVERS_MAX];
    const int g = ownGroup();
    const int n = g >= 0 ? _PSL_GroupAddresses(g, group, PSL_GROUP_SERVERS_MAX) : 0;
    int servers = 0;
    for (int i = 0; i < n; ++i) servers += group[i].portNet != 0;
    if (!expired) {
        // Over TCP the check would go once over the registration's TCP socket; that road is not built.
        LinuxConn *conn = _PSL_ServersConn();
        if (conn && !_PSL_TcpMode())
            for (int i = 0; i < n; ++i)
                if (group[i].portNet) sendLogin(conn, group[i].host, group[i].portNet, true, &g_check.value);
        // An unknown group never counts as complete: the check then runs its whole lifetime.
        if (servers == 0 || g_checkAnswered.load() < servers) return;
        p2p_SockTaskMng_RemoveTimer(t);
    }
    g_check.task = nullptr;
    const PSL_LoginCheckDoneFn done = g_check.done;
    g_check.done = nullptr;
    if (done) done();
}

void deviceTick(p2p_TimerTask *t, uint32_t, uint16_t, void *, int);

// Replaces the device tick task with one of the given period (table lock held).
bool readdTick(uint32_t periodMs) {
    if (g_tick) p2p_SockTaskMng_RemoveTimer(g_tick);
    g_tick = p2p_SockTaskMng_AddTimer(periodMs, 0, 0, deviceTick, nullptr);
    return g_tick != nullptr;
}

void deviceTick(p2p_TimerTask *t, uint32_t, uint16_t, void *, int) {
    if (t != g_tick) return;
    if (_PSL_StoppedByServer()) {
        p2p_SockTaskMng_RemoveTimer(t);
        g_tick = nullptr;
        return;
    }
    const int ticks = g_ticks.load();
    if (ticks == 6) {
        // Six ticks without an answer: the login is lost; back to one login a second.
        if (g_tickFactor != 1) {
            g_tickFactor = 1;
            if (!readdTick(1000)) return;
        }
        g_flags &= ~PSL_REG_LOGGED_IN;
        callFlags();
        setState(PSL_REG_LOST, 0);
    } else if (ticks == 1 && g_loginInterval.load() > 10 && g_tickFactor != 10) {
        g_tickFactor = 10;
        if (!readdTick(10000)) return;
    }
    // Long without a login answer and with no session in use: a new local port, so that a NAT mapping the
    // servers no longer reach is left behind. Once per silence; the next answer makes it possible again.
    const int now = ++g_ticks;
    if (now <= 149) {
        g_reopened = false;
    } else if (now == 150 && !g_reopened && !_PSL_TcpMode() && _PSL_MoveMainSocket() == 0) {
        _PSL_ClearObservedAddresses();
        g_reopened = true;
    }
    if (g_ownRefused.load()) {
        p2p_SockTaskMng_RemoveTimer(g_tick);
        g_tick = nullptr;
        return;
    }
    PslServerAddr group[PSL_GROUP_SERVERS_MAX];
    const int n = _PSL_GroupAddresses(ownGroup(), group, PSL_GROUP_SERVERS_MAX);
    for (int i = 0; i < n; ++i)
        sendLogin(_PSL_ServersConn(), group[i].host, group[i].portNet, false, nullptr);
}

void pingTick(p2p_TimerTask *, uint32_t, uint16_t, void *, int) {
    LinuxConn *conn = _PSL_ServersConn();
    if (!conn || _PSL_TcpMode()) return;
    PslServerAddr group[PSL_GROUP_SERVERS_MAX];
    const int n = _PSL_GroupAddresses(ownGroup(), group, PSL_GROUP_SERVERS_MAX);
    for (int i = 0; i < n; ++i) {
        int len = sizeof kPing;
        LinuxConn_sendTo(conn, group[i].host, group[i].portNet, kPing, &len);
    }
}

void dailyTick(p2p_TimerTask *, uint32_t, uint16_t, void *, int) {
    g_dailyRan = true;  // the listening side's master query of later days is not built here
}

void removeDeviceTasks() {
    TableLock lk;
    for (p2p_TimerTask **t : {&g_tick, &g_daily, &g_ping}) {
        if (*t) p2p_SockTaskMng_RemoveTimer(*t);
        *t = nullptr;
    }
}

bool stopping() {
    return !_PSL_Running();
}

// Asks the masters for the own UID's group: its index, -10 refused, -40 busy, -60 silent, -12 stopping.
int registerWait() {
    const int known = ownGroup();
    if (known >= 0) return known;
    for (int round = 0; round < 50; ++round) {
        if (round % 5 == 0) {
            LinuxConn *conn = _PSL_ServersConn();
            PSLMasterEntry masters[PSL_MASTERS];
            const int n = _PSL_MasterTable(masters);
            for (int i = 0; i < n && conn; ++i)
                if (masters[i].port) _PSL_SendQueryGroup(conn, masters[i].host, masters[i].port, g_ownUid, 0);
        }
        usleep(100000);
        if (stopping()) return PSL_ERR_NOT_INIT;
        if (g_ownRefused.load()) return PSL_ERR_UID;
        if (g_ownBusy.exchange(false)) return PSL_ERR_REFUSED_BUSY;
        const int g = ownGroup();
        if (g >= 0) return g;
    }
    return PSL_ERR_MASTERS_SILENT;
}

// Probes every server until this host's NAT type is known: 0, or -1 after 5 s.
int detectNat() {
    for (int round = 0; round < 50; ++round) {
        if (round % 10 == 0) {
            LinuxConn *conn = _PSL_ServersConn();
            PslServerAddr all[PSL_GROUPS * 4];
            const int n = _PSL_AllServerAddresses(all, (int)(sizeof all / sizeof all[0]));
            for (int i = 0; i < n && conn; ++i) _PSL_SendProbe(conn, all[i].host, all[i].portNet, 0, 0);
        }
        usleep(100000);
        if (stopping()) return PSL_ERR_NOT_INIT;
        if (_PSL_ProbeAnswered() && _PSL_NatType() != PSL_NAT_UNKNOWN) return 0;
    }
    return -1;
}

void fallbackConnected(LinuxConn *, void *) {
    g_fallbackConnected = true;
}
void fallbackFailed(LinuxConn *, int, void *) {
    --g_fallbackPending;
}

// Whether TCP gets out at all: 0 when a fall-back server accepted a connection within the fall-back wait,
// -1 when none did, -12 when the library stops meanwhile. The connections are closed either way.
int fallbackServers() {
    LinuxConnMgr *mgr = _PSL_ConnMgr();
    if (!mgr) return -1;
    LinuxConn *conns[4] = {};
    g_fallbackConnected = false;
    g_fallbackPending = 0;
    for (int i = 0; i < 4; ++i) {
        if (LinuxConnMgr_createConnection(mgr, LINUXCONN_TCP, LINUXCONN_CLIENT, 0, &conns[i]) != 0) {
            conns[i] = nullptr;
            continue;
        }
        ++g_fallbackPending;
        uint16_t port = htons(80);
        if (LinuxConn_open(conns[i], kFallback[i], &port, 0, fallbackConnected, nullptr, fallbackFailed,
                           nullptr) != 0)
            --g_fallbackPending;
    }
    int rc = -1;
    for (int waited = 0; waited < g_fallbackWaitMs.load(); waited += 100) {
        if (g_fallbackConnected.load()) {
            rc = 0;
            break;
        }
        if (g_fallbackPending.load() <= 0) break;
        if (stopping()) {
            rc = PSL_ERR_NOT_INIT;
            break;
        }
        usleep(100000);
    }
    if (g_fallbackConnected.load() && rc == -1) rc = 0;
    for (LinuxConn *c : conns)
        if (c) LinuxConnMgr_destroyConnection(mgr, c);
    return rc;
}

int fail(int rc) {
    removeDeviceTasks();
    g_flags = 0;
    g_running = false;
    return rc;
}

}  // namespace

int PSL_Device_Register(const char *uid, const char *name, const char *password) {
    (void)name;
    (void)password;
    if (g_invalidUids.load() > 2) return PSL_ERR_UID;
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    if (g_running.exchange(true)) return PSL_ERR_REGISTERING;
    if (!_PSL_IsValidUID(uid)) {
        ++g_invalidUids;
        g_running = false;
        return PSL_ERR_UID;
    }
    g_ownRefused = false;
    g_ownBusy = false;
    g_registered = true;
    for (int i = 0; i < PSL_UID_LEN; ++i) g_ownUid[i] = (char)toupper((unsigned char)uid[i]);
    g_ownUid[PSL_UID_LEN] = 0;
    for (int i = 0; i <= PSL_UID_LEN; ++i) g_ownUidChars[i] = g_ownUid[i];
    _PSL_SetOwnUid(g_ownUid);
    // The device answers LAN clients too; without its LAN socket it still registers with the servers.
    (void)PSL_Device_Listen(g_ownUid);
    if (!_PSL_ServersConn()) return fail(PSL_ERR_SOCKET);
    g_flags |= PSL_REG_SOCKETS;
    removeDeviceTasks();
    if (_PSL_ResolveMasters() != 0) {
        const int fb = fallbackServers();
        return fail(fb == PSL_ERR_NOT_INIT ? fb
                    : fb == 0              ? (int)PSL_ERR_NO_MASTER
                                           : (int)PSL_ERR_NO_INTERNET);
    }
    int g = registerWait();
    if (g == PSL_ERR_MASTERS_SILENT) {
        // Silent masters: the application's hosts, when it set any, take the table's first entries.
        char hosts[PSL_USER_MASTERS][PSL_USER_MASTER_LEN];
        if (_PSL_UserMasterHosts(hosts)) {
            const char *list[PSL_USER_MASTERS] = {hosts[0], hosts[1], hosts[2], hosts[3]};
            if (_PSL_Master_PutFirstHosts(list) != 0) return fail(PSL_ERR_NO_MASTER);
        }
        _PSL_SetMasterState(PSL_MASTERS_READY);
        g = registerWait();
    }
    if (g == PSL_ERR_MASTERS_SILENT) {
        // The masters over TCP would come first; that road is not built, so it counts as failed. Then the
        // fall-back servers tell whether TCP gets out at all.
        const int fb = fallbackServers();
        if (fb != 0) return fail(fb == PSL_ERR_NOT_INIT ? fb : (int)PSL_ERR_NO_INTERNET);
        g = registerWait();
        if (g == PSL_ERR_MASTERS_SILENT) {
            if (_PSL_ResolveMasters() != 0) return fail(PSL_ERR_NO_MASTER);
            g = registerWait();
        }
        if (g == PSL_ERR_MASTERS_SILENT) return fail(PSL_ERR_TCP_ONLY);  // the TCP masters again
    }
    if (g < 0) return fail(g);
    if (ownGroup() < 0) return fail(PSL_ERR_GROUP_UNKNOWN);
    if (detectNat() != 0) return fail(PSL_ERR_NOT_ANSWERED);
    {
        TableLock lk;
        g_tickFactor = 1;
        g_ticks = 0;
        g_dailyRan = false;
        const bool ok =
            readdTick(1000) &&
            (g_daily = p2p_SockTaskMng_AddTimer(86400000u, 0, 0, dailyTick, nullptr)) != nullptr &&
            (g_ping = p2p_SockTaskMng_AddTimer(5000, 0, 0, pingTick, nullptr)) != nullptr;
        if (!ok) return fail(PSL_ERR_SETUP);
    }
    g_flags |= PSL_REG_TASKS;
    g_running = false;
    return 0;
}

int PSL_Set_Register_Fallback_Wait(int32_t ms) {
    g_fallbackWaitMs = ms < 0 ? 0 : ms;
    return 0;
}

int PSL_Get_Register_Flags(uint32_t *out) {
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    if (out) *out = g_flags.load();
    return g_ticks.load();
}

int PSL_Set_Register_Flags_Callback(PSL_RegisterFlagsFn cb) {
    if (!cb) return 0;
    std::lock_guard<std::mutex> lk(g_mu);
    g_flagsCb = cb;
    return 0;
}

int PSL_Get_Status_Summary(PSLStatusSummary *out) {
    if (!out) return PSL_ERR_INVALID;
    memset(out, 0, sizeof *out);
    if (!_PSL_Running()) return 0;
    out->status = 1;
    if (_PSL_StoppedByServer()) {
        out->status = -1;
        out->error = PSL_ERR_STOPPED;
    }
    const int state = g_state.load();
    if (state > 0) out->status = state == PSL_REG_LOGGED ? 3 : 2;
    if (state == PSL_REG_FAILED) out->status = -2;
    TableLock lk;
    for (int i = 0; i < _PSL_MaxSessions(); ++i) {
        const PSLSessionRecord *r = _PSL_Session(i);
        const uint8_t s = r->state.load();
        if (s == PSL_STATE_ALLOCATED) out->status = 4;
        if (r->incoming == 1 && s >= PSL_STATE_CONNECTED && s <= PSL_STATE_TIMED_OUT) {
            ++out->incomingSessions;
            if (out->status != 4) out->status = 5;
            if (!r->handedOut) ++out->notAccepted;
        }
    }
    return 0;
}

int _PSL_RegistrationRunning(void) {
    return g_running.load() ? 1 : 0;
}
int _PSL_Registered(void) {
    return g_registered.load() ? 1 : 0;
}
int _PSL_RegisterState(void) {
    return g_state.load();
}
void _PSL_SetOwnUidRefused(void) {
    g_flags &= ~PSL_REG_TASKS;
    g_ownRefused = true;
}
void _PSL_SetOwnUidBusy(void) {
    g_ownBusy = true;
}
int _PSL_LoginInterval(void) {
    return g_loginInterval.load();
}

void _PSL_OnLoginAnswer(const uint8_t *observed, const p2p_NetAddr *server) {
    if (observed) {
        _PSL_RecordExternalAddress(observed);
        int changes = 0;
        if (_PSL_RecordServerAddress(server, observed, &changes) == 2 && changes > g_highestChanges.load()) {
            g_highestChanges = changes;
            const int lowered = g_loginInterval.load() - 5;
            g_loginInterval = lowered < 5 ? 5 : lowered;
        }
    }
    if (!(g_flags.load() & PSL_REG_LOGGED_IN)) {
        g_reportedInterval = g_loginInterval.load();
        g_flags |= PSL_REG_LOGGED_IN;
        callFlags();
    } else if (g_ticks.load() >= 2) {
        g_reportedInterval = g_loginInterval.load();
    }
    g_ticks = 0;
    setState(PSL_REG_LOGGED, 0);
}

void _PSL_OnDeviceWake(int awake) {
    const uint32_t before = g_flags.load();
    if (awake && !(before & PSL_REG_AWAKE)) {
        g_flags |= PSL_REG_AWAKE;
        callFlags();
    } else if (!awake && (before & PSL_REG_AWAKE)) {
        g_flags &= ~PSL_REG_AWAKE;
        callFlags();
    }
    setState(awake ? PSL_REG_WOKEN : PSL_REG_LOGGED, 0);
}

void _PSL_Register_Stop(void) {
    removeDeviceTasks();
    {
        TableLock lk;
        if (g_check.task) p2p_SockTaskMng_RemoveTimer(g_check.task);
        g_check = LoginCheck{};
    }
    for (auto &c : g_ownUidChars) c = 0;
    std::lock_guard<std::mutex> lk(g_mu);
    g_running = false;
    g_registered = false;
    g_ownRefused = false;
    g_ownBusy = false;
    g_flags = 0;
    g_state = 0;
    g_stateError = 0;
    g_ticks = 0;
    g_reopened = false;
    g_loginInterval = 25;
    g_reportedInterval = 25;
    g_highestChanges = 0;
    g_fallbackWaitMs = 10000;
    g_flagsCb = nullptr;
    g_stateCb = nullptr;
    g_stateArg = nullptr;
}

void _PSL_SendLogin(LinuxConn *conn, const char *host, uint16_t portNet, int observe) {
    sendLogin(conn, host, portNet, observe != 0, nullptr);
}

void _PSL_SendLoginCheck(LinuxConn *conn, const char *host, uint16_t portNet, uint32_t checkValue) {
    sendLogin(conn, host, portNet, true, &checkValue);
}

int _PSL_LoginCheck_Start(PSL_LoginCheckDoneFn done, const uint32_t *checkValue, int lifetimeMs) {
    TableLock lk;
    if (checkValue) g_check.value = *checkValue;
    if (g_check.task) p2p_SockTaskMng_RemoveTimer(g_check.task);
    g_check.done = done;
    g_checkAnswered = 0;
    g_check.task =
        p2p_SockTaskMng_AddTimer(200, lifetimeMs > 0 ? (uint32_t)lifetimeMs : 1, 0, loginCheckTick, nullptr);
    if (!g_check.task) {
        g_check.done = nullptr;
        return -5;
    }
    return 0;
}

void _PSL_LoginCheck_Answered(int servers) {
    g_checkAnswered = servers;
}

int _PSL_LoginCheck_Running(void) {
    TableLock lk;
    return g_check.task ? 1 : 0;
}
