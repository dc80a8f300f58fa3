// The remote-route messages through the dispatcher: peer addresses, the relay's hello, relay replies and
// attaches, against a client session that is punching and asking for a relay (its servers 127.0.0.2 and
// 127.0.0.3 port 20001) and a library that is also a device of the same group. The first input byte picks
// the message type and the sender (one of the group's servers or a stranger); bit 7 writes the connecting
// session's words into the payload where the long forms carry them, so that the fuzzer reaches past the
// session lookup. Sessions, pending records and tasks the input made are dropped after it.
#include <arpa/inet.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "p2p/psl_connect.h"
#include "p2p/psl_device.h"
#include "p2p/psl_dispatch.h"
#include "p2p/psl_servers.h"

namespace {

constexpr const char *kOwn = "QVFUZZOWNUID00000001";
constexpr const char *kDevice = "QVFUZZDEVICE00000001";
constexpr uint32_t kWordA = 0x5501, kWordB = 0x6602;

bool setup() {
    if (PSL_Initialize(0) != 0) return false;
    PSL_Set_LanSearch_Port(0);
    if (PSL_Device_Listen(kOwn) != 0) return false;
    const uint16_t ids[3] = {1, 2, 3};
    uint8_t blocks[32];
    uint32_t ip = 0;
    inet_pton(AF_INET, "127.0.0.2", &ip);
    psl_AddrBlock(blocks, ip, htons(20001));
    inet_pton(AF_INET, "127.0.0.3", &ip);
    psl_AddrBlock(blocks + 16, ip, htons(20001));
    _PSL_ServerGroups_Merge(ids, blocks, 2);
    for (const char *uid : {kOwn, kDevice}) {
        uint8_t rec[84] = {};
        memcpy(rec, uid, 20);
        memcpy(rec + 68, ids, sizeof ids);
        _PSL_GroupCache_Store(rec);
    }
    atexit([] { PSL_DeInitialize(); });
    return true;
}

void prepareClient() {
    PSLSessionRecord *r = _PSL_Session(0);
    _PSL_FreeSession(r);
    _PSL_InitSessionRecord(r);
    r->state = PSL_STATE_ALLOCATED;
    strcpy(r->remoteUID, kDevice);
    r->randomID = kWordA;
    r->mac = kWordB;
    r->punchState = 1;
    r->relayState = 1;
    _PSL_ConnectCtx_Reset(0);
    PSLConnectCtx *c = _PSL_ConnectCtx(0);
    if (!c) return;
    c->randomID = kWordA;
    c->mac = kWordB;
    c->groupIndex = _PSL_GroupIndexOfUid(kDevice);
    c->remoteVersion = 10;
    PslServerAddr group[2];
    const int n = _PSL_GroupAddresses(c->groupIndex, group, 2);
    for (int i = 0; i < n; ++i) {
        p2p_Net_ResolveAddr(group[i].host, group[i].portNet, &c->entries[i].addrA);
        c->entries[i].hasA = 1;
        c->entries[i].version = 20;
        c->entries[i].relayEntryState = 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = setup();
    if (!ready || size < 1 || size > 1 + 1400) return 0;
    static const uint16_t kTypes[] = {0x0301, 0x0103, 0x0206, 0x0208, 0x0303, 0x0301, 0x0303, 0x0206};
    static const char *kHosts[] = {"127.0.0.2", "127.0.0.3", "127.0.0.9", "::ffff:127.0.0.2"};
    const uint16_t type = kTypes[data[0] & 7];
    const char *host = kHosts[(data[0] >> 3) & 3];
    const uint16_t port = (data[0] & 0x20) ? htons(20002) : htons(20001);
    const size_t len = size - 1;
    uint8_t pkt[PSL_HEADER_SIZE + 1400] = {};
    memcpy(pkt + PSL_HEADER_SIZE, data + 1, len);
    if (data[0] & 0x80) {
        // The words where each long form carries them: peer address @100, reply @24, attach @56.
        const size_t at = type == 0x0301 ? 100 : type == 0x0303 ? 56 : 24;
        if (len >= at + 8) {
            psl_PutU32(pkt + PSL_HEADER_SIZE + at, kWordA);
            psl_PutU32(pkt + PSL_HEADER_SIZE + at + 4, kWordB);
        }
    }
    PSLPacketHeader h{};
    h.magic = PSL_MAGIC;
    h.version = PSL_VERSION;
    h.length = (uint16_t)len;
    h.type = type;
    psl_Header_Write(pkt, &h);
    psl_session_lock();
    prepareClient();
    psl_session_unlock();
    _PSL_DispatchMessage(pkt, PSL_HEADER_SIZE + len, host, port, _PSL_MainConn(), 0);
    psl_session_lock();
    _PSL_RemoveSessionTasks(0, -1);
    for (int i = 1; i < _PSL_MaxSessions(); ++i) _PSL_FreeSession(_PSL_Session(i));
    for (int i = 0; i < PSL_PENDING_MAX; ++i) _PSL_Pending_Clear(i);
    psl_session_unlock();
    return 0;
}
