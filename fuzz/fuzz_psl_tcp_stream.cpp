// Bytes on a TCP connection of the connect's TCP road: the stream framing, then the relay's answers and
// attach read by the road and everything else by the dispatcher, against a client session that asked for a
// relay (entry 0, the join target, joining) beside one already relayed. The first input byte picks the sender
// and the split of the rest into two reads. Each run starts from the same table.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "p2p/psl_connect.h"
#include "p2p/psl_dispatch.h"
#include "p2p/psl_tcproute.h"

namespace {

LinuxConn *g_conn = nullptr;
const char kUid[] = "QVFUZZDEVICE00000001";

// A UDP socket stands in for the relay's connection: whatever the road answers goes to the discard port.
bool newConn() {
    g_conn = nullptr;
    if (LinuxConnMgr_createConnection(_PSL_ConnMgr(), LINUXCONN_UDP, LINUXCONN_CLIENT, 0, &g_conn) != 0)
        return false;
    uint16_t port = htons(9);
    LinuxConn_open(g_conn, "127.0.0.2", &port, 0, nullptr, nullptr, nullptr, nullptr);
    return true;
}

bool setup() {
    if (PSL_Initialize(0) != 0 || !newConn()) return false;
    for (int i = 0; i < 2; ++i) _PSL_AllocSession();
    atexit([] {
        _PSL_TcpRoute_DropForTest(0, 0);
        psl_session_lock();
        for (int i = 0; i < 2; ++i) {
            _PSL_Session(i)->routeConn = nullptr;
            _PSL_Session(i)->ownsRoute = false;
        }
        psl_session_unlock();
        LinuxConnMgr_destroyConnection(_PSL_ConnMgr(), g_conn);
        PSL_DeInitialize();
    });
    return true;
}

void prepare() {
    psl_session_lock();
    PSLSessionRecord *r = _PSL_Session(0);
    r->routeConn = nullptr;
    r->ownsRoute = false;
    _PSL_FreeSession(r);
    _PSL_InitSessionRecord(r);
    r->state = PSL_STATE_ALLOCATED;
    strcpy(r->remoteUID, kUid);
    r->randomID = 0x5501;
    r->mac = 0x6602;
    r->tcpState = 16;
    PSLSessionRecord *d = _PSL_Session(1);
    d->routeConn = nullptr;
    d->ownsRoute = false;
    _PSL_FreeSession(d);
    _PSL_InitSessionRecord(d);
    d->state = PSL_STATE_CONNECTED;
    strcpy(d->remoteUID, kUid);
    d->routeConn = g_conn;
    d->routeType = PSL_ROUTE_RELAY_TCP;
    d->routeAddr = p2p_NetAddr{};
    d->routeAddr.address[0] = 127;
    d->routeAddr.address[3] = 2;
    d->routeAddr.port = htons(21047);
    d->relaySessionId = 0x5200;
    d->channelOn[1] = 1;
    psl_session_unlock();
    _PSL_TcpRoute_AdoptForTest(0, 0, g_conn, 15, 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = setup();
    if (!ready || size < 1) return 0;
    prepare();
    static const char *kHosts[] = {"127.0.0.2", "127.0.0.3"};
    const char *host = kHosts[data[0] & 1];
    const size_t rest = size - 1, cut = rest ? (data[0] >> 1) % (rest + 1) : 0;
    uint8_t *copy = (uint8_t *)malloc(rest ? rest : 1);
    memcpy(copy, data + 1, rest);
    _PSL_OnTcpStream(g_conn, host, htons(21047), copy, (int64_t)cut, nullptr);
    _PSL_OnTcpStream(g_conn, host, htons(21047), copy + cut, (int64_t)(rest - cut), nullptr);
    free(copy);
    if (!_PSL_TcpRoute_DropForTest(0, 0)) {
        // The road let the socket go: to the session that attached on it (destroyed here), or destroyed
        // by the road itself when the stream broke. The next run gets a new one.
        psl_session_lock();
        const bool taken = _PSL_Session(0)->routeConn == g_conn;
        _PSL_Session(0)->routeConn = nullptr;
        _PSL_Session(0)->ownsRoute = false;
        psl_session_unlock();
        if (taken) LinuxConnMgr_destroyConnection(_PSL_ConnMgr(), g_conn);
        if (!newConn()) abort();
    }
    psl_session_lock();
    for (int i = 0; i < 2; ++i) {
        _PSL_Session(i)->routeConn = nullptr;
        _PSL_Session(i)->ownsRoute = false;
        for (int c = 0; c < PSL_CHANNELS; ++c) _PSL_Session(i)->rxQueue[c].clear();
    }
    for (int i = 2; i < _PSL_MaxSessions(); ++i) _PSL_FreeSession(_PSL_Session(i));
    psl_session_unlock();
    return 0;
}
