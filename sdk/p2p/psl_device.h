// The device side of the session layer: the library's own UID, the second UDP socket on the LAN search
// port, the pending table of clients announced but not yet connected, and handing incoming sessions to the
// application (PSL_Accept). Registration with the servers builds on PSL_Device_Listen's local part.
#pragma once

#include <stdint.h>

#include "p2p/psl_session.h"

enum {
    PSL_PENDING_MAX = 128,
    PSL_PENDING_PER_SOURCE = 4,  // unconfirmed LAN requests kept per source address
    PSL_LAN_ANSWER_MS = 1000,    // an unconfirmed LAN request is answered again for this long
    PSL_LAN_PENDING_MS = 5000,   // and then forgotten
    PSL_PENDING_MS = 60000,      // a pending record announced by a server
    PSL_DEFAULT_LAN_PORT = 32761,
};

// The library's own UID ("" on a client: nothing matches it).
const char *_PSL_OwnUid(void);
int _PSL_HasOwnUid(void);
// 0, or -10 for a UID that is not 20 letters or digits; stored in upper case.
int _PSL_SetOwnUid(const char *uid);
// 1 when the 20-byte UID field equals ref up to and including its first NUL, or in all 20 bytes; never
// for an empty ref.
int _PSL_UidMatch(const uint8_t *field, const char *ref);
// 1 when the first 20 characters are ASCII letters or digits.
int _PSL_IsValidUID(const char *text);

// The LAN search port (host order): of the broadcasts and of the device side's second socket.
int PSL_Set_LanSearch_Port(uint32_t port);
uint16_t _PSL_LanSearchPort(void);
// The device side's second UDP socket on the LAN search port: 0, -61 without a connection manager, -6.
int _PSL_OpenSecondUdp(void);
LinuxConn *_PSL_SecondConn(void);

// Takes the UID as the library's own and opens the main and the LAN socket, so that LAN clients find the
// device and can connect; no server is asked. 0, -10, -12, -6.
int PSL_Device_Listen(const char *uid);

int PSL_Accept(uint32_t timeoutMs);
int PSL_Accept_Cancel(void);
int PSL_Accept_Poll(int *sid);
// The first incoming session in state 2 to 4 not yet handed out, now marked handed out; -1 when none.
int _PSL_TakeNewSession(void);
int _PSL_AllSlotsBusy(void);

// A client announced but not yet connected. Guarded by the table lock.
struct PslPending {
    uint8_t inUse;
    uint8_t state;  // 1 waiting, 2 moved into a session
    char uid[PSL_UID_LEN + 1];
    uint32_t randomID;
    uint32_t mac;
    int32_t ver;
    int32_t lanState;  // 5 accepted on the LAN
    p2p_NetAddr addr;  // the client
    uint64_t createdMs;
    uint32_t peerVersion;
    uint8_t peerProtocol;
    uint8_t peerScrambles;
};

// The caller holds the table lock for all of these.
// A free record for a client at `from` (zeroed, in use, state 1), or -1 when the table is full or that
// source already holds PSL_PENDING_PER_SOURCE records.
int _PSL_Pending_Alloc(const p2p_NetAddr *from);
PslPending *_PSL_Pending(int idx);
void _PSL_Pending_Clear(int idx);
// By the long key {a, b} or the short key (tag in a): -1 when none.
int _PSL_FindPendingByKey(uint32_t a, uint32_t b, int shortKey);
// Moves the record into a newly allocated incoming session in state 2 on route `kind` over conn/from;
// the record is cleared. The new session id, or -1 (the record stays) when no session is free.
int _PSL_Pending_Accept(int idx, LinuxConn *conn, const p2p_NetAddr *from, const PSLPacketHeader *h);

void _PSL_Device_Stop(void);
