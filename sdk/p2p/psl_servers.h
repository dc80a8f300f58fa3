// What the library learns from its servers: the UID-to-group cache, the table of server groups, this host's
// NAT type and the external addresses the servers saw, and the handlers of the masters' and servers'
// answers. Lock order: the session table lock first, then the server-table lock, then the UID cache lock.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "p2p/p2p_net.h"
#include "p2p/psl_packet.h"

enum { PSL_GROUPS = 32, PSL_UID_CACHE = 64, PSL_OBSERVED = 8, PSL_GROUP_SERVERS_MAX = 32 };
enum { PSL_NAT_UNKNOWN = 0, PSL_NAT_OPEN = 1, PSL_NAT_CONE = 2, PSL_NAT_SYMMETRIC = 3, PSL_NAT_TCP = 10 };

// ---- UID cache (84-byte records: UID at 0, the three group ids at 68)
void _PSL_GroupCache_Store(const uint8_t record[84]);
// Index 0..63 of the cache record whose UID equals uid (at most 20 characters compared), or -1.
int _PSL_UidCache_Find(const char *uid);

// ---- server groups
// Merges a master's group: ids, count IPv4 address blocks (16 bytes each). Addresses are kept in IPv6 form.
void _PSL_ServerGroups_Merge(const uint16_t ids[3], const uint8_t *blocks, size_t count);
// Index of the first group with addresses and these ids, or -1.
int _PSL_ServerGroup_Find(uint16_t id1, uint16_t id2, uint16_t id3);
// Index of the UID's group when it is cached and its group has addresses, else -1.
int _PSL_GroupIndexOfUid(const char *uid);
// The addresses of group g (IPv4 as dotted text, port in network order) into out (at most max); the count.
struct PslServerAddr {
    char host[64];
    uint16_t portNet;
    uint8_t version;
};
int _PSL_GroupAddresses(int g, PslServerAddr *out, int max);
// Every address of every group (for the probes); the count.
int _PSL_AllServerAddresses(PslServerAddr *out, int max);
// 1 when addr is one of the addresses of any group (g < 0) or of group g.
int _PSL_IsGroupServer(const p2p_NetAddr *addr, int g);
// The device's own group is forgotten (its address lists freed).
void _PSL_ServerGroups_DropOwn(const char *ownUid);
// Sets the version byte of the group entries at host:port; and the observed-address bookkeeping of one
// server: 1 first report, 0 same, 2 same IP other port (*changes = that server's count), 3 other IP, -1
// unknown.
void _PSL_MarkServerVersion(const p2p_NetAddr *server, uint8_t version);
int _PSL_RecordServerAddress(const p2p_NetAddr *server, const uint8_t observed[16], int *changes);

// ---- NAT knowledge
int _PSL_NatType(void);
void _PSL_SetNatType(int type, int hint);
int _PSL_ProbeAnswered(void);
// A server's report of this host's external address (16-byte address block).
void _PSL_UpdateNatType(const uint8_t block[16]);
void _PSL_RecordExternalAddress(const uint8_t block[16]);
// The observed addresses (8 x 16 bytes) and their flags, for the logins and punches.
void _PSL_ObservedAddresses(uint8_t out[PSL_OBSERVED * 16], uint32_t flags[PSL_OBSERVED]);
// Forgets the probe answers, the NAT type and the observed addresses.
void _PSL_ResetNat(void);
// Forgets the observed addresses only (the local port changed).
void _PSL_ClearObservedAddresses(void);
// TCP registration mode (the NAT type is then 10).
void _PSL_SetTcpMode(int on);
int _PSL_TcpMode(void);

// The check value of a login check: two 16-bit halves, each (time + random) mod 65535, 1 when 0. 9999 for a
// wrong magic.
uint32_t _PSL_NewCheckValue(uint32_t magic);
// MSG_WAKE_QUERY for the own UID and value, whole (header included) into out (40 bytes); *length = 40.
// 0, -1 for a missing argument, 9999 for a wrong magic.
int _PSL_BuildWakeQuery(uint8_t out[40], int *length, uint32_t value, uint32_t magic);

// Answers of masters and servers, from the dispatcher (the session table lock is held). 1 when the type is
// one of theirs (handled or dropped), 0 when it is not.
int _PSL_DispatchServerMessage(const PSLPacketHeader *h, const uint8_t *payload, const p2p_NetAddr *from,
                               const char *host, uint16_t portNet, int transport);

// Library stop: every table of this file is emptied.
void _PSL_Servers_Reset(void);

// Dotted text of an IPv4 or IPv4-mapped record into host (64 bytes); IPv6 text otherwise.
void _PSL_AddrText(const p2p_NetAddr *a, char host[64]);
// 1 when the two texts/records name the same address and port (IPv4-mapped IPv6 equals its IPv4).
int _PSL_SameEndpoint(const p2p_NetAddr *a, const p2p_NetAddr *b);
