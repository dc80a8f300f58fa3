// Acknowledged channel messages: each numbered, resent every 50 ms until the peer acknowledges it, and
// delivered to the reading side exactly once and in number order. One queue per channel of a session.
// Lock order: the table lock pslSessionLock first, the queue's own lock inside it.
#pragma once

#include <stdint.h>

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "p2p/p2p_net.h"
#include "p2p/p2p_sktaskmgr.h"
#include "p2p/psl_packet.h"

enum { PSL_MSGQ_MAX = 20, PSL_MSG_TEXT_MAX = 1384, PSL_MSGQ_RESEND_MS = 50 };

struct PSLQueuedMsg {
    uint32_t seq = 0;
    int32_t sid = 0;
    uint8_t channel = 0;
    std::vector<uint8_t> data;
    uint16_t headerSeq = 0;
};

struct PSLMsgQueue {
    std::mutex lock;  // pending, reorder and the counters
    std::deque<PSLQueuedMsg> pending;
    std::map<uint32_t, PSLQueuedMsg> reorder;
    int32_t maxQueued = PSL_MSGQ_MAX;
    uint32_t nextSendSeq = 0;
    uint32_t expectedSeq = 0;
    std::atomic<uint8_t> resetting{0};
    p2p_TimerTask *resendTask = nullptr;
};

int _PSL_MsgQueue_Create(PSLMsgQueue **out);
int _PSL_MsgQueue_Free(PSLMsgQueue *q);
// Queues a copy; the next resend tick sends it. TERROR_ECONNABORTED while flushing, TERROR_ERANGE when full.
int _PSL_MsgQueue_Send(PSLMsgQueue *q, int sid, int channel, const void *text, int length);
// One received message or acknowledgement (payload: block and text). The caller holds the table lock.
// A message is acknowledged only once it was delivered or buffered, so a failed delivery is resent by the
// peer rather than lost.
void _PSL_MsgQueue_Receive(PSLMsgQueue *q, const PSLPacketHeader *hdr, const uint8_t *payload, size_t len,
                           const p2p_NetAddr *from, int sid);
int _PSL_MsgQueue_Flush(PSLMsgQueue *q);
int _PSL_MsgQueue_IsEmpty(PSLMsgQueue *q, uint8_t *empty);
// One resend pass (the 50 ms task); exposed for tests.
void _PSL_MsgQueue_Tick(PSLMsgQueue *q);
