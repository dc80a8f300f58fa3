#include "p2p/psl_settings.h"

#include <ctype.h>
#include <string.h>

#include <atomic>
#include <mutex>

#include "p2p/psl_connect.h"
#include "p2p/psl_master.h"
#include "p2p/psl_messages.h"
#include "p2p/psl_packet.h"
#include "p2p/psl_register.h"
#include "p2p/psl_servers.h"
#include "p2p/psl_session.h"

namespace {

std::atomic<bool> g_reports{false};

std::mutex g_mu;  // slots, MAC override
char g_hosts[PSL_USER_MASTERS][PSL_USER_MASTER_LEN] = {};
std::atomic<bool> g_appended{false};
char g_macText[18] = {};
bool g_macSet = false;

std::atomic<PSL_RouteFn> g_routeFn{nullptr};

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = (char)tolower((unsigned char)c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The report for session r (table lock held): its packet into pkt; the size, or -1.
int buildReport(const PSLSessionRecord *r, int code, const char *text, const uint8_t *data, int length,
                uint8_t *pkt, size_t cap) {
    const PslMsgDef *m = psl_Msg_ByName("MSG_SESSION_REPORT2");
    const PslFormDef *f = m ? psl_Msg_Form(m, _PSL_Registered() ? "device" : "client") : nullptr;
    if (!f) return -1;
    const size_t textLen = text ? strnlen(text, PSL_REPORT_TEXT_MAX) : 0;
    const size_t dataLen =
        data && length > 0 ? (size_t)(length > PSL_REPORT_DATA_MAX ? PSL_REPORT_DATA_MAX : length) : 0;
    PslValue v[] = {{"UID", 0, reinterpret_cast<const uint8_t *>(r->remoteUID),
                     strnlen(r->remoteUID, PSL_UID_LEN), nullptr, 0},
                    {"result", code, nullptr, 0, nullptr, 0},
                    {"text", 0, reinterpret_cast<const uint8_t *>(text ? text : ""), textLen, nullptr, 0},
                    {"data", 0, data, dataLen, nullptr, 0}};
    return psl_Msg_Build(m, f, v, dataLen ? 4 : 3, pkt, cap);
}

int sendReport(int sid, int code, const char *text, const uint8_t *data, int length) {
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    PslTableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r) return PSL_ERR_NO_SESSION;
    if (code >= 0 || !g_reports.load()) return 0;
    uint8_t pkt[PSL_SEND_MAX];
    const int n = buildReport(r, code, text, data, length, pkt, sizeof pkt);
    if (n <= 0) return 0;
    // On the TCP relay the servers are reached through the session's own connection only.
    if (r->routeType.load() == PSL_ROUTE_RELAY_TCP && r->routeConn) {
        char to[64];
        _PSL_AddrText(&r->routeAddr, to);
        return _PSL_SendPacket(r->routeConn, pkt, (uint16_t)n, to, r->routeAddr.port) > 0 ? 1 : 0;
    }
    LinuxConn *conn = _PSL_ServersConn();
    if (!conn) return 0;
    const PSLConnectCtx *c = _PSL_ConnectCtx(sid);
    int g = c ? c->groupIndex : -1;
    if (g < 0) g = _PSL_GroupIndexOfUid(r->remoteUID);
    if (g < 0) return 0;
    PslServerAddr servers[PSL_GROUP_SERVERS_MAX];
    const int count = _PSL_GroupAddresses(g, servers, PSL_GROUP_SERVERS_MAX);
    int sent = 0;
    for (int i = 0; i < count; ++i) {
        uint8_t copy[PSL_SEND_MAX];
        memcpy(copy, pkt, (size_t)n);
        if (_PSL_SendPacket(conn, copy, (uint16_t)n, servers[i].host, servers[i].portNet) > 0) ++sent;
    }
    return sent;
}

}  // namespace

int PSL_Set_Error_Report(int on) {
    g_reports = on != 0;
    return 0;
}

int PSL_Report_Session_Error(PSLSessionRecord *r, int code, const char *text, const uint8_t *data,
                             int length) {
    if (!r) return PSL_ERR_NO_SESSION;
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    int sid = -1;
    {
        PslTableLock lk;
        if (_PSL_Session(r->sid) == r) sid = r->sid;
    }
    return sid < 0 ? PSL_ERR_NO_SESSION : sendReport(sid, code, text, data, length);
}

int PSL_Report_Session_Error_ByIndex(int sid, int code, const char *text, const uint8_t *data, int length) {
    return sendReport(sid, code, text, data, length);
}

int PSL_Set_Master_Hosts(const char *h1, const char *h2, const char *h3, const char *h4) {
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    if (!h1 || !*h1) return PSL_ERR_NO_HOST;
    const char *in[PSL_USER_MASTERS] = {h1, h2, h3, h4};
    for (const char *h : in)
        if (h && strnlen(h, PSL_USER_MASTER_LEN) >= PSL_USER_MASTER_LEN) return PSL_ERR_INVALID;
    std::lock_guard<std::mutex> lk(g_mu);
    for (int i = 0; i < PSL_USER_MASTERS; ++i)
        if (in[i]) snprintf(g_hosts[i], sizeof g_hosts[i], "%s", in[i]);
    return 0;
}

int _PSL_UserMasterHosts(char out[PSL_USER_MASTERS][PSL_USER_MASTER_LEN]) {
    std::lock_guard<std::mutex> lk(g_mu);
    memcpy(out, g_hosts, sizeof g_hosts);
    return g_hosts[0][0] ? 1 : 0;
}

void _PSL_AddUserMastersOnce(void) {
    char hosts[PSL_USER_MASTERS][PSL_USER_MASTER_LEN];
    if (!_PSL_UserMasterHosts(hosts) || g_appended.exchange(true)) return;
    const char *list[PSL_USER_MASTERS] = {hosts[0], hosts[1], hosts[2], hosts[3]};
    _PSL_Master_AppendHosts(list);
}

int PSL_Set_Route_Callback(PSL_RouteFn fn) {
    PSL_RouteFn none = nullptr;
    if (fn) g_routeFn.compare_exchange_strong(none, fn);
    return 0;
}

void _PSL_NotifyRoute(int sid, int kind, const p2p_NetAddr *addr) {
    const PSL_RouteFn fn = g_routeFn.load();
    if (!fn || !addr) return;
    char host[64];
    _PSL_AddrText(addr, host);
    fn(sid, kind, host, addr->port);
}

int _PSL_SetPrivateMac(const char *mac, uint32_t magic) {
    if (magic != PSL_PRIVATE_MAGIC) return PSL_ERR_BAD_MAGIC;
    if (!mac || strnlen(mac, 18) > 17) return PSL_ERR_INVALID;
    std::lock_guard<std::mutex> lk(g_mu);
    snprintf(g_macText, sizeof g_macText, "%s", mac);
    g_macSet = true;
    return 0;
}

int _PSL_PrivateMac(uint8_t out[6]) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (!g_macSet) return 0;
    memset(out, 0, 6);
    int n = 0, hi = -1;
    for (const char *p = g_macText; *p && n < 6; ++p) {
        const int d = hexDigit(*p);
        if (d < 0) {
            hi = -1;  // separators end a pair
            continue;
        }
        if (hi < 0) {
            hi = d;
        } else {
            out[n++] = (uint8_t)(hi << 4 | d);
            hi = -1;
        }
    }
    return 1;
}

void _PSL_Settings_Stop(void) {
    g_appended = false;
}
