// Reliable stream channels: an ordered, exactly-once byte stream on one channel of a P2P session, with
// acknowledgements, retransmission, a cubic window and graceful (RSC_Destroy) or abortive (RSC_Abort) close.
// Every call returns a non-negative result or a negative code below; session-layer codes pass through.
#pragma once

#include <stdint.h>

enum {
    RSC_ERR_NOT_INITIALIZED = -10000,
    RSC_ERR_ALREADY_INITIALIZED = -10001,
    RSC_ERR_NO_FREE_CHANNEL = -10002,
    RSC_ERR_NO_MEMORY = -10003,
    RSC_ERR_THREAD_START = -10004,
    RSC_ERR_CLOSED = -10006,
    RSC_ERR_TIMEOUT = -10007,
    RSC_ERR_BAD_ID = -10008,
    RSC_ERR_END_OF_DATA = -10009,
    RSC_ERR_REMOTE_ABORT = -10010,
    RSC_ERR_LOCAL_ABORT = -10011,
    RSC_ERR_CHANNEL_BUSY = -10012,
    RSC_ERR_BAD_ARGUMENT = -10014,
    RSC_ERR_LOCAL_EXIT = -10015,
    RSC_ERR_REMOTE_EXIT = -10016,
    RSC_ERR_SEND_BUFFER_FULL = -10017,
    RSC_ERR_CHANNELS_OPEN = -10018,
};

struct RSCStatus {
    uint16_t heartbeatsMissed;
    uint16_t heartbeatLimit;  // 120
    uint32_t sendQBytes;
    uint32_t recvQBytes;
};
struct RSCPrivateStatus {
    RSCStatus s;
    uint16_t cwnd;
    uint16_t channelsCreated;
};

int RSC_Initialize(void);
int RSC_DeInitialize(void);
int RSC_Get_Version(void);
int RSC_Set_Max_Channel_Number(int n);
int RSC_Create(int SID, int timeoutMs, uint8_t ChID);
int RSC_Create_Exit(int SID, uint8_t ChID);
int RSC_Write(int RSC_ID, const void *buf, int len);
int RSC_Read(int RSC_ID, void *buf, int size, int timeoutMs);
int RSC_Flush(int RSC_ID);
int RSC_Status_Check(int RSC_ID, RSCStatus *out);
int RSC_Private_Status_Check(uint32_t key, int RSC_ID, RSCPrivateStatus *out);
int RSC_Set_Max_SendBuffer_Size(int RSC_ID, int bytes);
int RSC_Set_Max_Pending_ACK_Number(int RSC_ID, int n);
int RSC_Set_MaxPacketDataSize(int bytes);
void RSC_Private_Write(uint32_t key, int RSC_ID, const void *data, int len);

// Waits up to timeoutMs until the channel holds fewer than `below` bytes unacknowledged (its send queue):
// 0 then, RSC_ERR_TIMEOUT when the time ran out first, or the channel's error as RSC_Write would return it.
// Ends as soon as acknowledgements make the room, for writers that hold back before the stream blocks them.
int rsc_Wait_Send_Room(int RSC_ID, uint32_t below, int timeoutMs);
int RSC_Destroy(int RSC_ID);
int RSC_Abort(int RSC_ID);

// The session layer's callbacks of a channel (installed by RSC_Create).
void RSCRecvCB(int SID, uint8_t ChID, const uint8_t *packet, int length, int status);
void RSCAckFlushCB(int SID, uint8_t ChID, int, int, int);

// What a channel's send path did since RSC_Create (for tests and benchmarks): data packets sent first and
// again, of the latter those sent because a selective acknowledgement showed them missing and those whose
// time-out ran out, window reductions (of them, those after a write that took 2 ms or more), and
// acknowledgements this side sent.
struct RSCTestCounters {
    uint64_t dataSent;
    uint64_t retransmitted;
    uint64_t fastRetransmits;
    uint64_t timeouts;
    uint64_t reductions;
    uint64_t slowWrites;
    uint64_t acksSent;
};
int rsc_Test_Counters(int RSC_ID, RSCTestCounters *out);

// Test hook: the first DATA sequence of channels created from now on (both directions must agree).
void rsc_Test_SetFirstSeq(uint32_t id, uint32_t epoch);
