// Answers of masters and servers through the dispatcher: a connecting session for one UID whose group is
// known, in the server state the first input byte picks, and a sender the same byte picks (the master, a
// group server, a stranger). The rest is a plain packet (header and payload).
#include <arpa/inet.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "p2p/psl_connect.h"
#include "p2p/psl_dispatch.h"
#include "p2p/psl_servers.h"

namespace {

constexpr char kUid[] = "QVTEST0000000000001A";
int g_sid = -1;

bool setup() {
    if (PSL_Initialize_WithServers(0, "127.0.0.1", nullptr, nullptr, nullptr) != 0) return false;
    uint8_t blocks[32];
    in_addr a{};
    inet_pton(AF_INET, "127.0.0.2", &a);
    p2p_AddrBlock_Write(blocks, a.s_addr, htons(20001));
    inet_pton(AF_INET, "127.0.0.3", &a);
    p2p_AddrBlock_Write(blocks + 16, a.s_addr, htons(20001));
    const uint16_t ids[3] = {1, 2, 3};
    _PSL_ServerGroups_Merge(ids, blocks, 2);
    uint8_t rec[84] = {};
    memcpy(rec, kUid, 20);
    for (int i = 0; i < 3; ++i) psl_PutU16(rec + 68 + 2 * i, ids[i]);
    _PSL_GroupCache_Store(rec);
    g_sid = _PSL_AllocSession();
    atexit([] { PSL_DeInitialize(); });
    return g_sid >= 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = setup();
    if (!ready || size < 1) return 0;
    static const int kStates[] = {1, 3, 5, 6};
    psl_session_lock();
    PSLSessionRecord *r = _PSL_Session(g_sid);
    if (r->state.load() == PSL_STATE_FREE) _PSL_InitSessionRecord(r);
    strcpy(r->remoteUID, kUid);
    r->serverState = kStates[data[0] & 3];
    r->connectMode = 0;
    r->uidRejected = 0;
    PSLConnectCtx *c = _PSL_ConnectCtx(g_sid);
    _PSL_ConnectCtx_Reset(g_sid);
    c->randomID = r->randomID;
    c->mac = r->mac;
    c->groupIndex = _PSL_GroupIndexOfUid(kUid);
    for (int i = 0; i < 2; ++i) {
        p2p_Net_ResolveAddr(i ? "127.0.0.3" : "127.0.0.2", htons(20001), &c->entries[i].addrA);
        c->entries[i].hasA = 1;
    }
    psl_session_unlock();
    static const char *kHosts[] = {"127.0.0.1", "127.0.0.2", "::ffff:127.0.0.3", "10.1.2.3"};
    static const uint16_t kPorts[] = {10240, 20001, 20001, 20001};
    const int who = (data[0] >> 2) & 3;
    _PSL_DispatchMessage(data + 1, size - 1, kHosts[who], htons(kPorts[who]), nullptr, (data[0] >> 4) & 1);
    _PSL_ResetNat();
    return 0;
}
