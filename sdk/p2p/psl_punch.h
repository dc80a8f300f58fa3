// Hole punching and port guessing. A connecting client asks the device's servers with MSG_PUNCH to bring the
// two sides together; each server passes the other side's addresses on (MSG_PEER_ADDRESS) to both, and both
// then send hellos to every address they were given. When one NAT is a cone and the other symmetric, the
// peer goes on the port-guess list, whose task sends hellos to guessed ports of the peer: from the main
// socket around the peer's known port (mode 1), or from a pool of 230 extra sockets with a short time to
// live (mode 0), so that this host's NAT opens mappings toward the peer.
//
// Peer addresses count only from a server of the device's group (address and port): a stranger cannot point
// the hellos anywhere. Every length is checked before a field is read.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "p2p/p2p_net.h"
#include "p2p/psl_packet.h"

struct LinuxConn;

enum { PSL_GUESS_POOL = 230 };

// Punch time option: -1 default, 0 no punching (relay only), a positive value is the punch lifetime in ms.
int PSL_Set_Punch_Time(int ms);
int _PSL_PunchTime(void);

// Starts the punch task of a connecting session (table lock taken here): 0, or -1 when no task was made.
// punchState becomes 1 (punching) or 2 (skipped).
int _PSL_Punch_Start(int sid, int lifetimeMs);

// MSG_PEER_ADDRESS from the dispatcher (table lock held). The forms: 36 bytes {UID, address}, 116 and 292
// bytes (the other side's primary address at 20, its local addresses, the client's session words, its NAT
// type, and in the long form its 8 observed addresses).
void _PSL_OnPeerAddress(const PSLPacketHeader *h, const uint8_t *payload, const p2p_NetAddr *from);

// The port-guess list (its own lock, taken after the table lock).
// Adds or refreshes the peer: `addrs` its addresses (count at most 8), limitStep the passes it gets, mode 1
// guess around the ports from the main socket, 0 send from the socket pool. Starts the task (period ms)
// unless one runs. 0, or -1 when nothing was added.
int _PSL_PortGuess_Add(uint32_t randomID, uint32_t mac, int limitStep, int deviceSide,
                       const p2p_NetAddr *addrs, int count, int mode, const char *uid, uint32_t periodMs);
// Drops the node of these session words (the session was accepted or completed).
void _PSL_PortGuess_Remove(uint32_t randomID, uint32_t mac);
// A session completed on a pool socket takes it over: 1 when conn was one (it leaves the pool), else 0.
int _PSL_PortGuess_Adopt(LinuxConn *conn);
// Test view: nodes on the list, sockets open in the pool, whether the task runs.
struct PslGuessStats {
    int nodes;
    int poolOpen;
    int taskRunning;
    uint32_t sent;
};
void _PSL_PortGuess_Stats(PslGuessStats *out);

// The guessed port of a punch or login copy: ((ms mod 60) x 5 + counter mod 5) mod 300 + base + 1, where
// base is the port of another server of the group (10001 when none). The counter advances each call.
uint16_t _PSL_GuessPort(int basePortHost);

// Library stop, after the task manager's thread is gone: the list and the socket pool are freed, the
// options reset.
void _PSL_Punch_Stop(void);
