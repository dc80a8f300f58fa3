// The UDP relay route: when no direct path opens, a server of the device's group carries the session. The
// client asks every server for a relay (MSG_RELAY_REQUEST, or MSG_RELAY_REQUEST2 to new servers), takes the
// first grant, joins it (MSG_RELAY_JOIN), and is connected when the relay attaches it (MSG_RELAY_ATTACH, 88
// bytes, carrying the relay's session number R that tags every relayed packet). The device side answers the
// relay's MSG_SESSION_HELLO (28 bytes {UID, randomID, mac}, answered with 32 {UID, result, randomID, mac})
// and takes the session the relay attaches.
//
// Grants, refusals, attaches and hellos count only from a server of the device's group (address and port),
// and every length is checked before a field is read. The handlers run on the receiving thread with the
// session table lock held; the tasks on the task manager's thread, with the same lock.
#pragma once

#include <stdint.h>

#include "p2p/p2p_net.h"
#include "p2p/psl_packet.h"

struct LinuxConn;

// The relay request task of a connecting session: 0, or -1 when relayState is not 0 or no task was made.
int _PSL_RelayRequest_Start(int sid);
// The join task (started by the first grant): 0 or -1.
int _PSL_RelayJoin_Start(int sid);

// From the dispatcher, table lock held.
void _PSL_OnRelayReply(const PSLPacketHeader *h, const uint8_t *payload, const p2p_NetAddr *from);
void _PSL_OnRelayAttach(const PSLPacketHeader *h, const uint8_t *payload, const p2p_NetAddr *from,
                        LinuxConn *conn);
void _PSL_OnSessionHello(const PSLPacketHeader *h, const uint8_t *payload, const p2p_NetAddr *from,
                         LinuxConn *conn);
