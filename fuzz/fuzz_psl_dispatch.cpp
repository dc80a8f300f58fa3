// Received packets through the dispatcher against prepared sessions: a direct one known by its tag, one still
// named by its session words, a relayed one. The first input byte picks the sender and whether the bytes go
// in as a wire datagram (descrambled first) or as a plain packet.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "p2p/psl_channels.h"
#include "p2p/psl_dispatch.h"

namespace {

LinuxConn *g_route = nullptr;

void prepare(int sid, int routeType, uint32_t randomID, uint32_t mac, int ver, uint16_t relayTag,
             uint8_t last) {
    PSLSessionRecord *r = _PSL_Session(sid);
    if (r->state.load() == PSL_STATE_FREE) _PSL_InitSessionRecord(r);
    r->state = PSL_STATE_CONNECTED;
    r->routeConn = g_route;
    r->routeType = routeType;
    r->routeAddr = p2p_NetAddr{};
    r->routeAddr.port = htons(9);  // discard; nothing listens
    r->routeAddr.address[0] = 127;
    r->routeAddr.address[3] = last;
    r->randomID = randomID;
    r->mac = mac;
    r->ver = ver;
    r->relaySessionId = relayTag;
    r->peerProtocol = 20;
    r->channelOn[1] = 1;
    for (int c = 0; c < PSL_CHANNELS; ++c) r->rxQueue[c].clear();
}

bool setup() {
    if (PSL_Initialize(0) != 0) return false;
    if (LinuxConnMgr_createConnection(_PSL_ConnMgr(), LINUXCONN_UDP, LINUXCONN_CLIENT, 0, &g_route) != 0)
        return false;
    uint16_t port = htons(9);
    LinuxConn_open(g_route, "127.0.0.1", &port, 0, nullptr, nullptr, nullptr, nullptr);
    for (int i = 0; i < 3; ++i) _PSL_AllocSession();
    // The library's threads must be stopped before the process tears down its statics.
    atexit([] {
        psl_session_lock();
        for (int i = 0; i < 3; ++i) _PSL_Session(i)->routeConn = nullptr;
        psl_session_unlock();
        LinuxConnMgr_destroyConnection(_PSL_ConnMgr(), g_route);
        PSL_DeInitialize();
    });
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = setup();
    if (!ready || size < 1) return 0;
    psl_session_lock();
    prepare(0, PSL_ROUTE_P2P, 0x42, 0, 1, 0, 1);
    prepare(1, PSL_ROUTE_LAN, 0xABCD0001, 0x11223344, 0, 0, 2);
    prepare(2, PSL_ROUTE_RELAY_UDP, 0x77, 0x88, 1, 5, 3);
    psl_session_unlock();
    static const char *kHosts[] = {"127.0.0.1", "127.0.0.2", "::ffff:127.0.0.3", "10.1.2.3"};
    const char *host = kHosts[(data[0] >> 1) & 3];
    const uint16_t port = htons(9);
    if (data[0] & 1)
        _PSL_OnUdpPacket(g_route, host, port, data + 1, size - 1);
    else
        _PSL_DispatchMessage(data + 1, size - 1, host, port, g_route, 0);
    return 0;
}
