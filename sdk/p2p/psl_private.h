// Guarded entry points for the library's sibling modules and device-side callers (each takes
// PSL_PRIVATE_MAGIC and does nothing for any other value), the per-UID blob table that the servers fill,
// the session keys of the lookups, and the device's wake-up records.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "p2p/psl_session.h"

typedef void (*PSL_LoginSentHook)(const uint8_t *packet, int length, uint32_t serverIPv4Net, uint16_t port,
                                  int busy);
typedef int (*PSL_RedirectHook)(uint32_t serverIPv4Net, uint16_t port);

struct PSLWakeRecord {
    uint32_t serverAddr;  // IPv4, network order
    uint16_t serverPort;
    uint32_t packetLength;
    uint8_t *packet;
    uint32_t value25;
    uint32_t blockLength;
    uint8_t *block;
};
typedef void (*PSL_WakeListFn)(PSLWakeRecord *records, int count, int result);

enum { PSL_WAKE_KEYS = 32, PSL_ERR_WAKE_BUSY = -65, PSL_ERR_WAKE_NOT_INIT = -66 };

int PSL_Private_Set_Channel_Recv_Callback(int sid, int channel, PSL_ChannelRecvFn cb, uint32_t magic);
int PSL_Private_Set_Channel_Idle_Callback(int sid, int channel, PSL_ChannelIdleFn cb, uint32_t magic);
int PSL_Private_Set_Channel_Close_Callback(int sid, int channel, PSL_ChannelCloseFn cb, uint32_t magic);
int PSL_Private_Set_LoginSentHook(PSL_LoginSentHook hook, uint32_t magic);
int PSL_Private_Clear_LoginSentHook(uint32_t magic);
int PSL_Private_Set_RedirectHook(PSL_RedirectHook hook, uint32_t magic);
int PSL_Private_Clear_RedirectHook(uint32_t magic);
int PSL_Private_Set_AnswerBitCheck(uint32_t magic, uint8_t value);
int PSL_Private_Get_ServerPrefersTcp(uint32_t magic);
int PSL_Private_Set_ConnMgr_Timeout(int ms, void *data);

// Read by the dispatcher and the login sender.
PSL_LoginSentHook _PSL_LoginSentHook(void);
PSL_RedirectHook _PSL_RedirectHook(void);
int _PSL_AnswerBitCheck(void);
void _PSL_SetServerPrefersTcp(int on);

struct PslSessionKey {
    uint32_t word0;
    uint32_t word1;
    int32_t kind;  // 0 the two session words, 1 a 16-bit tag in word0
};
void _PSL_SessionKey_Set(PslSessionKey *key, int kind, uint32_t word0, uint32_t word1);
int _PSL_SessionKey_Equal(const PslSessionKey *a, const PslSessionKey *b);

// Blob table: the last blob the servers sent per UID.
void _PSL_BlobTable_Set(const char *uid, const uint8_t *blob, int length, uint32_t magic);
// The stored blob of a UID (copied into out up to cap bytes): its length, or -1 when none.
int _PSL_BlobTable_Get(const char *uid, uint8_t *out, int cap);
int _PSL_BlobTable_Count(void);
void _PSL_BlobTable_Free(void);

int PSL_Private_WakeList_Init(void);
int PSL_Private_WakeList_Get(PSLWakeRecord **out, int *count);
int PSL_Private_WakeList_Free(PSLWakeRecord *records);
// Runs the login check (limit ms, 0: 6,000) with a new check value; the callback then gets one record per
// server that answered it through the redirect hook, or (NULL, 0, -13) when none did.
int PSL_Private_WakeList_Build(PSL_WakeListFn callback, int limitMs);
int PSL_Private_WakeList_KeyCount(void);
// A wake-up record built from a login packet as it was sent (exposed for the login sender's hook).
int _PSL_WakeRecord_Build(const uint8_t *packet, int length, uint32_t serverIPv4Net, uint16_t port,
                          PSLWakeRecord *out);

void _PSL_Private_Stop(void);
