// The master servers: two compiled-in host names resolved on background threads into one table of at most
// 12 addresses, with a three-valued state. The table is kept across connects: a new resolution merges into
// it, and a name that fails to resolve never replaces addresses already known.
#pragma once

#include <stdint.h>

#include "p2p/p2p_net.h"

enum { PSL_MASTERS = 12, PSL_MASTER_PORT = 10240 };
enum PSLMasterState : int { PSL_MASTERS_RESOLVING = 0, PSL_MASTERS_READY = 1, PSL_MASTERS_EMPTY = 2 };

struct PSLMasterEntry {
    uint8_t kind;
    uint8_t addrFamily;
    uint16_t port;  // network order
    char host[60];
};
static_assert(sizeof(PSLMasterEntry) == 64, "master entry is 64 bytes");

int _PSL_MasterState(void);
void _PSL_SetMasterState(int state);
// Starts the resolvers that are not running and waits until the state is not 0: 0 when the table has
// addresses, -2 when it is empty, -12 when the library stops meanwhile.
int _PSL_ResolveMasters(void);
// At the start of a connect: masters given at start-up are ready at once; otherwise the resolvers are
// started (unless running) and the table already known is kept.
void _PSL_StartMasterResolve(void);
// Resolves a host name and appends its IPv4, then IPv6 addresses (kind 1, port 10240) to table/count.
int _PSL_ResolveHostInto(const char *host, PSLMasterEntry *table, int *count);
// A copy of the table; the count.
int _PSL_MasterTable(PSLMasterEntry out[PSL_MASTERS]);
// 1 when addr is the address and port of a master in the table.
int _PSL_IsMaster(const p2p_NetAddr *addr);
// 1 when addr is the address of a master in the table, whatever the port (a master's TCP connection).
int _PSL_IsMasterHost(const p2p_NetAddr *addr);
// Masters given by the application at start-up (up to four names): they become the table and the state 1.
// -28 when none resolves.
int _PSL_Master_SetPrivateHosts(const char *const hosts[4]);
// The application's master hosts (up to four names; null or empty skipped), resolved into at most 12
// addresses in all (kind 1, port 10240): appended from the table's first empty entry on, or written over
// its first entries (the later ones keep what they held). 0, or -2 when none resolves.
int _PSL_Master_AppendHosts(const char *const hosts[4]);
int _PSL_Master_PutFirstHosts(const char *const hosts[4]);
// Library stop: joins the resolver threads and empties the table.
void _PSL_Master_Stop(void);
// Tests: the two host names the resolvers use (null restores the compiled-in ones).
void _PSL_Master_SetHostsForTest(const char *host0, const char *host1);
