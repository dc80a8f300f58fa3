// The incoming message dispatcher: every received packet is checked, its session found and the message
// handed to its handler. The table lock is held from finding the session to the end of the handler, so no
// record changes hands in between.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "p2p/psl_session.h"

enum { PSL_FIND_CONNECTING = 0, PSL_FIND_CONNECTED = 1, PSL_FIND_ANY = 2 };

// A datagram as the connection manager delivers it: descrambled, checked and dispatched (UDP transport).
void _PSL_OnUdpPacket(LinuxConn *conn, const char *host, uint16_t portNet, const uint8_t *buf, size_t len);
// A descrambled packet (header and length already checked) from host/portNet; transport 0 UDP, 1 TCP.
void _PSL_DispatchMessage(const uint8_t *packet, size_t size, const char *host, uint16_t portNet,
                          LinuxConn *conn, int transport);

// Session finders; the caller holds the table lock. -1 when none.
int _PSL_FindSessionByKey(uint32_t a, uint32_t b, int shortKey, int mode);
int _PSL_FindConnectedByAddr(const p2p_NetAddr *addr);
int _PSL_FindSessionByAddrAndTag(const p2p_NetAddr *addr, uint16_t tag);
// 1 when the two addresses are the same family, address and port.
int _PSL_AddrEqual(const p2p_NetAddr *a, const p2p_NetAddr *b);
