// The runtime's entry points to the tunnel agent, so that the framework reaches the P2P library through the
// runtime alone. Each forwards to the agent call of the same name: same arguments, same result (the codes
// of p2p/tnl_api.h). ppc_tnl_SessionMode is the one that adds something: it runs the full session check
// on a record of its own and hands out only the connection mode.
#pragma once

#include <cstdint>

// Runs on a thread of the library; errorCode -30006: the tunnel session dropped.
typedef void (*ppc_tnl_status_cb)(int errorCode, int sessionID, void *arg);

int ppc_tnl_AgentInitialize(int maxSessions);
int ppc_tnl_AgentDeInitialize(void);
// Blocks for the whole connect and authentication exchange (up to the library's 30 s wait).
int ppc_tnl_AgentConnect(const char *uid, const void *authData, int authLength, int *errFromDevice);
int ppc_tnl_AgentAbort(int sessionID);
void ppc_tnl_AgentSetStatusCallback(ppc_tnl_status_cb cb, void *arg);
int ppc_tnl_AgentPortMapping(int sessionID, int localPort, int remotePort);
int ppc_tnl_AgentStopPortMapping(int index);
// The session check with the 156-byte record: 0 and *mode 0 direct, 1 relayed, 2 LAN; else the check's
// negative result and *mode 255.
int ppc_tnl_SessionMode(int sessionID, uint8_t *mode);
