// Received packets through the dispatcher against prepared sessions: a direct one known by its tag, one still
// named by its session words, a relayed one, a client session still connecting on the LAN; the library has
// its own device UID and one pending LAN client. The first input byte picks the sender and whether the bytes
// go in as a wire datagram (descrambled first) or as a plain packet. Whatever the input opens is freed after
// it, so every run starts from the same table.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "p2p/psl_channels.h"
#include "p2p/psl_device.h"
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
    PSL_Set_LanSearch_Port(0);  // any port: the fuzzer may run beside a real device
    if (PSL_Device_Listen("QVFUZZOWNUID00000001") != 0) return false;
    for (int i = 0; i < 4; ++i) _PSL_AllocSession();
    // The library's threads must be stopped before the process tears down its statics.
    atexit([] {
        psl_session_lock();
        for (int i = 0; i < 4; ++i) _PSL_Session(i)->routeConn = nullptr;
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
    // A client session looking for a device on the LAN.
    PSLSessionRecord *c = _PSL_Session(3);
    _PSL_FreeSession(c);
    _PSL_InitSessionRecord(c);
    strcpy(c->remoteUID, "QVFUZZDEVICE00000001");
    c->randomID = 0x5501;
    c->mac = 0x6602;
    c->lanState = 1;
    c->measureRtt = 1;
    // One LAN client waiting for its confirmation.
    for (int i = 0; i < PSL_PENDING_MAX; ++i) _PSL_Pending_Clear(i);
    p2p_NetAddr from{};
    from.address[0] = 127;
    from.address[3] = 1;
    from.port = htons(9);
    if (PslPending *p = _PSL_Pending(_PSL_Pending_Alloc(&from))) {
        strcpy(p->uid, "QVFUZZOWNUID00000001");
        p->randomID = 0x9901;
        p->mac = 0xAA02;
        p->lanState = 5;
    }
    psl_session_unlock();
    static const char *kHosts[] = {"127.0.0.1", "127.0.0.2", "::ffff:127.0.0.3", "10.1.2.3"};
    const char *host = kHosts[(data[0] >> 1) & 3];
    const uint16_t port = htons(9);
    if (data[0] & 1)
        _PSL_OnUdpPacket(g_route, host, port, data + 1, size - 1);
    else
        _PSL_DispatchMessage(data + 1, size - 1, host, port, g_route, 0);
    psl_session_lock();
    for (int i = 4; i < _PSL_MaxSessions(); ++i) _PSL_FreeSession(_PSL_Session(i));
    psl_session_unlock();
    return 0;
}
