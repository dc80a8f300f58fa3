// Session establishment: the route a session sends on, the completion that turns a connecting session into
// a connected one, and the hello exchange (hello, its answer, its acknowledgement) that opens a direct path.
// A session's route changes only here: a packet from another address carrying a session's tag or words
// re-points nothing until a hello has been answered from there. The caller holds the table lock.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "p2p/psl_session.h"

// Makes conn/addr the session's route when it has none or `kind` is better (smaller) than its current one.
void _PSL_SetRouteCandidate(int kind, int sid, LinuxConn *conn, const p2p_NetAddr *addr);
// The session is connected through conn from `from`: state 2, round trip measured when one was running,
// the header channel's counters reset, the peer's protocol and scrambling taken from the header, and the
// route LAN for a private sender address (routeKind 2, lanState 6), else direct P2P.
void _PSL_CompleteSession(int sid, const PSLPacketHeader *h, LinuxConn *conn, const p2p_NetAddr *from);
// A device session accepted by a LAN connect request and still waiting: connected on the LAN route.
void _PSL_PromoteLanSession(int sid, LinuxConn *conn, const p2p_NetAddr *from);

// Sends a hello-family message (0x0401, 0x0402, 0x0404): the long form with the two session words when
// longForm, else the short one with the first word. The session table being full sets routeFlags 0x02.
int _PSL_SendHello(uint16_t type, LinuxConn *conn, const p2p_NetAddr *to, const char *uid, uint32_t a,
                   uint32_t b, int longForm, uint16_t seq);
// The dispatcher's handler of the hello family.
void _PSL_HandleHello(const PSLPacketHeader *h, const uint8_t *payload, const p2p_NetAddr *from,
                      LinuxConn *conn);
