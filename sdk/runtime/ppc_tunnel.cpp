#include "runtime/ppc_tunnel.h"

#include <type_traits>

#include "p2p/psl_session.h"
#include "p2p/tnl_api.h"

static_assert(std::is_same_v<ppc_tnl_status_cb, PeerTunnelStatusCallback>,
              "the status callback type is the agent's own");

int ppc_tnl_AgentInitialize(int maxSessions) {
    return PeerTunnelAgent_Initialize(maxSessions);
}
int ppc_tnl_AgentDeInitialize(void) {
    return PeerTunnelAgent_DeInitialize();
}
int ppc_tnl_AgentConnect(const char *uid, const void *authData, int authLength, int *errFromDevice) {
    return PeerTunnelAgent_Connect(uid, authData, authLength, errFromDevice);
}
int ppc_tnl_AgentAbort(int sessionID) {
    return PeerTunnelAgent_Abort(sessionID);
}
void ppc_tnl_AgentSetStatusCallback(ppc_tnl_status_cb cb, void *arg) {
    PeerTunnelAgent_SetStatusCallback(cb, arg);
}
int ppc_tnl_AgentPortMapping(int sessionID, int localPort, int remotePort) {
    return PeerTunnelAgent_PortMapping(sessionID, localPort, remotePort);
}
int ppc_tnl_AgentStopPortMapping(int index) {
    return PeerTunnelAgent_StopPortMapping(index);
}
int ppc_tnl_SessionMode(int sessionID, uint8_t *mode) {
    PSLSessionInfo info{};
    info.size = static_cast<int32_t>(sizeof info);
    const int rc = PSL_Session_Check_Ex(sessionID, &info);
    if (mode != nullptr) *mode = rc == 0 ? info.mode : 255;
    return rc;
}
