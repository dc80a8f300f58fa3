// The LAN road: a client broadcasts searches on the LAN search port, a device answers with its UID and
// description, and a connect request (search mode 1) followed by a confirmation (mode 2) gives both sides a
// session on the LAN route without any server. Also the blocking LAN search calls and the background device
// search with its result list.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "p2p/psl_session.h"

#pragma pack(push, 1)
struct PSLLanSearchInfo {
    char uid[21];
    char ip[17];
    uint16_t port;  // host order
    char description[133];
    uint8_t spare;
};
struct PSLLanSearchAddr {
    char uid[21];
    char ip[17];
    uint16_t port;
    uint8_t spare[2];
};
struct PSLLanFindInfo {
    char uid[21];
    char ip[47];
    uint16_t port;
    char description[133];
    uint32_t isNew;
};
#pragma pack(pop)
static_assert(sizeof(PSLLanSearchInfo) == 174, "LAN search record is 174 bytes");
static_assert(sizeof(PSLLanSearchAddr) == 42, "LAN search address record is 42 bytes");
static_assert(sizeof(PSLLanFindInfo) == 207, "LAN find record is 207 bytes");

enum { PSL_LAN_MODE_SEARCH = 0, PSL_LAN_MODE_CONNECT = 1, PSL_LAN_MODE_CONFIRM = 2 };
enum { PSL_LAN_ANSWER_PLAIN = 0, PSL_LAN_ANSWER_ACCEPTED = 1, PSL_LAN_ANSWER_FULL = 3 };
enum { PSL_ERR_SEARCH_NONE = -56, PSL_ERR_SEARCH_RUNNING = -57 };

int PSL_Search_LAN(PSLLanSearchInfo *out, int capacity, int timeoutMs);
int PSL_Search_LAN_Repeat(PSLLanSearchInfo *out, int capacity, int totalMs, int intervalMs);
int PSL_Search_LAN_Addr(PSLLanSearchAddr *out, int capacity, int timeoutMs);
int PSL_LanFind_Begin(int durationMs, int intervalMs);
int PSL_LanFind_Fetch(PSLLanFindInfo *out, int count, int which);
int PSL_LanFind_End(void);
// Lifetime of a connect's LAN lookup: 0 switches it off, below 0 means 60,000 ms.
int PSL_Set_LanLookup_Time(int ms);

void _PSL_SetDescription(const char *text);
// Sends the packet to the directed broadcast address of each local IPv4 interface on portHost; returns
// the sends that went out.
int _PSL_BroadcastToInterfaces(LinuxConn *conn, uint8_t *packet, uint16_t length, uint16_t portHost);
// One search request: MSG_LAN_SEARCH, or MSG_LAN_CONNECT when mode is 0 and token is not; to host/portNet,
// or broadcast on the LAN search port when host is null.
void _PSL_SendLanSearch(uint8_t value, const char *uid, const uint32_t *words, uint32_t mode,
                        const char *host, uint16_t portNet, uint32_t token);
// The device's answer on the main socket (184 bytes): own UID, description, version, words, mode.
int _PSL_SendLanSearchReply(const p2p_NetAddr *to, const uint32_t *words, uint32_t mode);

// The dispatcher's handlers (table lock held).
void _PSL_HandleLanRequest(const PSLPacketHeader *h, const uint8_t *payload, const p2p_NetAddr *from,
                           uint16_t rawPortNet, LinuxConn *conn);
void _PSL_HandleLanConnect(const PSLPacketHeader *h, const uint8_t *payload, const p2p_NetAddr *from,
                           uint16_t rawPortNet, LinuxConn *conn);
void _PSL_HandleLanAnswer(const PSLPacketHeader *h, const uint8_t *payload, const p2p_NetAddr *from,
                          LinuxConn *conn);

// The LAN lookup of a connecting session: broadcasts connect requests every 100 ms for the lookup time.
// Sets lanState 1 (2 when the lookup is off); -1 at the end.
int _PSL_LanLookup_Start(int sid);
int _PSL_LanLookupTime(void);

// The repeat table: each LAN search of a lookup and each answer to a plain search goes out once more a
// few 10 ms ticks later, so that one lost datagram does not cost a whole lookup period. 100 slots; a slot
// queued with delay d goes out on the (d+1)-th tick of the table's task, which runs while slots are taken.
// answerForm 0 re-sends a search of mode `kind` for uid and words (to host/portNet, else broadcast) with
// `key` as its token; answerForm 1 re-sends MSG_LAN_SEARCH_R with answer mode `kind` to host/portNet. An
// entry equal in kind, words, target, UID, key and form to one still waiting is dropped, as is one that
// finds the table full. Takes the table lock.
enum { PSL_REPEAT_SLOTS = 100 };
void _PSL_RepeatTable_Add(const char *uid, const uint32_t *words, int kind, const char *host,
                          uint16_t portNet, int delayTicks, uint8_t answerForm, int key);
// Slots waiting (for tests).
int _PSL_RepeatTable_Count(void);

void _PSL_Lan_Stop(void);
