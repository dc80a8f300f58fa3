// The tunnel agent: connects to a device by UID over a P2P session, authenticates on the session's reliable
// stream (channel 0) and carries local TCP connections to ports of the device as tunnel messages on that
// stream. The device side of the same protocol (accepting sessions, judging authentication requests,
// relaying to the device's own loopback services, answering the LAN test) lives here too.
// Every call returns 0 or a non-negative value (session id, mapping index) on success, or a code below;
// session-layer and stream codes pass through unless mapped.
#pragma once

#include <stdint.h>

enum PeerTunnelError : int {
    TNL_ERR_NOT_STARTED = -30000,
    TNL_ERR_NO_MAPPING = -30001,
    TNL_ERR_BIND = -30002,
    TNL_ERR_LISTEN = -30003,
    TNL_ERR_THREAD = -30004,
    TNL_ERR_DROPPED = -30006,
    TNL_ERR_ALREADY_STARTED = -30007,
    TNL_ERR_AUTH_REFUSED = -30008,
    TNL_ERR_SESSION = -30010,
    TNL_ERR_UID = -30011,
    TNL_ERR_BUSY = -30012,
    TNL_ERR_LAN_TCP = -30017,
    TNL_ERR_NO_SESSION = -30019,
    TNL_ERR_DEVICE_NOT_STARTED = -30020,
    TNL_ERR_ARGUMENT = -30021,
    TNL_ERR_SOCKET = -30022,
    TNL_ERR_NOT_CONNECTING = -30023,
    TNL_ERR_NO_FREE_SESSION = -30024,
    TNL_ERR_CANCELLED = -30025,
};

enum {
    TNL_VERSION = 0x03010523,
    TNL_MAX_SESSIONS = 256,
    TNL_AUTH_MAX = 1000,
    TNL_LAN_MAPPING_BASE = 10000,
};

// errorCode is always TNL_ERR_DROPPED; runs on a thread of its own (tnl_sessionstat).
typedef void (*PeerTunnelStatusCallback)(int errorCode, int sessionID, void *arg);

// What the device's authentication callback is shown. authData is a copy valid during the call only (null
// when authLength is 0).
struct TunnelServerAuthInfo {
    int32_t session;
    uint8_t mode;
    uint8_t natType;
    char remoteIP[16];
    uint16_t remotePort;
    uint32_t clientVersion;
    uint32_t authLength;
    const void *authData;
};
// A negative result refuses the client; the result travels back to it.
typedef int (*PeerTunnelServerAuthCallback)(const TunnelServerAuthInfo *info, void *arg);

// Client side.
int PeerTunnelAgent_Initialize(int maxSessions);
int PeerTunnelAgent_DeInitialize(void);
int PeerTunnelAgent_Connect(const char *uid, const void *authData, int authLength, int *errFromDevice);
int PeerTunnelAgent_Connect_ToSession(const char *uid, int sessionID, const void *authData, int authLength,
                                      int *errFromDevice);
int PeerTunnelAgent_Reserve_Session(void);
int PeerTunnelAgent_Connect_Stop(const char *uid);
int PeerTunnelAgent_Disconnect(int sessionID);
int PeerTunnelAgent_Abort(int sessionID);
void PeerTunnelAgent_SetStatusCallback(PeerTunnelStatusCallback cb, void *arg);
int PeerTunnelAgent_PortMapping(int sessionID, int localPort, int remotePort);
int PeerTunnelAgent_StopPortMapping(int index);

int PeerTunnel_GetVersion(void);
int PeerTunnel_SetBufferSize(int sessionID, int highWatermark);
int PeerTunnel_GetLastIOTime(int sessionID);
int PeerTunnel_SetPrivateServerMode(uint8_t flag, uint32_t magic);

// Device side.
int PeerTunnelServer_Initialize(int maxSessions);
int PeerTunnelServer_Start(const char *uid);
void PeerTunnelServer_Stop(void);
int PeerTunnelServer_DeInitialize(void);
int PeerTunnelServer_SetAuthCallback(PeerTunnelServerAuthCallback cb, void *arg);
void PeerTunnelServer_SetStatusCallback(PeerTunnelStatusCallback cb, void *arg);
int PeerTunnelServer_Disconnect(int sessionID);
// Requests without authentication data (length field 0), and every request while no callback is set, are
// refused unless this is switched on (off by default).
int PeerTunnelServer_SetOpenAccess(int on);

// Test knobs: how long a connect waits for the device's authentication reply (default 30,000 ms) and the
// device for the request (default 90,000 ms); 0 restores the default.
void tnl_Test_SetAuthWaitMs(int clientMs, int deviceMs);
