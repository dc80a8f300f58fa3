// The public tunnel calls: one library per process over the process's session layer.
#include "p2p/tnl_api.h"

#include "p2p/tnl_core.h"

TunnelLib &tnl_Default(void) {
    static TunnelLib *lib = new TunnelLib(tnl_RealLower());  // never destroyed: threads may outlive exit
    return *lib;
}

int PeerTunnelAgent_Initialize(int maxSessions) {
    return tnl_Default().agentInitialize(maxSessions);
}
int PeerTunnelAgent_DeInitialize(void) {
    return tnl_Default().agentDeInitialize();
}
int PeerTunnelAgent_Connect(const char *uid, const void *authData, int authLength, int *errFromDevice) {
    return tnl_Default().connect(uid, authData, authLength, errFromDevice);
}
int PeerTunnelAgent_Connect_ToSession(const char *uid, int sessionID, const void *authData, int authLength,
                                      int *errFromDevice) {
    return tnl_Default().connectToSession(uid, sessionID, authData, authLength, errFromDevice);
}
int PeerTunnelAgent_Reserve_Session(void) {
    return tnl_Default().reserveSession();
}
int PeerTunnelAgent_Connect_Stop(const char *uid) {
    return tnl_Default().connectStop(uid);
}
int PeerTunnelAgent_Disconnect(int sessionID) {
    return tnl_Default().closeSession(sessionID, false);
}
int PeerTunnelAgent_Abort(int sessionID) {
    return tnl_Default().closeSession(sessionID, true);
}
void PeerTunnelAgent_SetStatusCallback(PeerTunnelStatusCallback cb, void *arg) {
    tnl_Default().setStatusCallback(cb, arg);
}
int PeerTunnelAgent_PortMapping(int sessionID, int localPort, int remotePort) {
    return tnl_Default().portMapping(sessionID, localPort, remotePort);
}
int PeerTunnelAgent_StopPortMapping(int index) {
    return tnl_Default().stopPortMapping(index);
}
int PeerTunnel_GetVersion(void) {
    return TNL_VERSION;
}
int PeerTunnel_SetBufferSize(int sessionID, int highWatermark) {
    return tnl_Default().setBufferSize(sessionID, highWatermark);
}
int PeerTunnel_GetLastIOTime(int sessionID) {
    return tnl_Default().lastIOTime(sessionID);
}
int PeerTunnel_SetPrivateServerMode(uint8_t flag, uint32_t magic) {
    return tnl_Default().setPrivateServerMode(flag, magic);
}
int PeerTunnelServer_Initialize(int maxSessions) {
    return tnl_Default().serverInitialize(maxSessions);
}
int PeerTunnelServer_Start(const char *uid) {
    return tnl_Default().serverStart(uid);
}
void PeerTunnelServer_Stop(void) {
    tnl_Default().serverStop();
}
int PeerTunnelServer_DeInitialize(void) {
    return tnl_Default().serverDeInitialize();
}
int PeerTunnelServer_SetAuthCallback(PeerTunnelServerAuthCallback cb, void *arg) {
    return tnl_Default().setAuthCallback(cb, arg);
}
void PeerTunnelServer_SetStatusCallback(PeerTunnelStatusCallback cb, void *arg) {
    tnl_Default().setStatusCallback(cb, arg);
}
int PeerTunnelServer_Disconnect(int sessionID) {
    return tnl_Default().serverDisconnect(sessionID);
}
int PeerTunnelServer_SetOpenAccess(int on) {
    tnl_Default().setOpenAccess(on != 0);
    return 0;
}
