#include "p2p/psl_msgqueue.h"

#include <string.h>

#include <new>

#include "p2p/psl_channels.h"

namespace {

using TableLock = PslTableLock;

// Block size for the peer's protocol: 12 bytes for 10, 16 for 11 and above.
size_t block_size(const PSLSessionRecord *r) {
    return r->peerProtocol >= 11 ? 16 : 12;
}

// Builds and sends one message (kind 0) or acknowledgement (kind 1) on the session's route; the caller holds
// the table lock. Returns 0, or PSL_ERR_NO_ROUTE.
int send_block(int sid, int channel, uint8_t kind, uint32_t msgSeq, const uint8_t *text, size_t len) {
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r) return PSL_ERR_SESSION;
    LinuxConn *conn = nullptr;
    p2p_NetAddr to{};
    const int route = _PSL_GetRoute(sid, &conn, &to);
    if (route < 0 || !conn) return PSL_ERR_NO_ROUTE;
    const bool relay = route == PSL_ROUTE_RELAY_UDP || route == PSL_ROUTE_RELAY_TCP;
    const size_t block = block_size(r);
    if (block + len > PSL_SEND_MAX - PSL_HEADER_SIZE) return PSL_ERR_INVALID;
    uint8_t pkt[PSL_SEND_MAX] = {};
    PSLPacketHeader h{};
    h.magic = PSL_MAGIC;
    h.version = PSL_VERSION;
    h.flags = (uint8_t)(PSL_FLAG_SCRAMBLED | PSL_FLAG_FORWARD | (block == 16 ? PSL_FLAG_SESSION_EXT : 0) |
                        (r->partialScramble ? PSL_FLAG_HEAD64 : 0));
    h.length = (uint16_t)(block + len);
    h.seq = (uint16_t)(r->txCount[channel] & 0xFFFF);
    h.type = relay ? (r->incoming ? 0x0502 : 0x0504) : (r->incoming ? 0x0408 : 0x0407);
    h.route = relay ? (r->incoming ? 0x14 : 0x24) : (r->incoming ? 0x12 : 0x21);
    h.sessionTag = relay ? r->relaySessionId : (uint16_t)(r->randomID & 0xFFFF);
    h.channel = (uint8_t)channel;
    psl_Header_Write(pkt, &h);
    uint8_t *b = pkt + PSL_HEADER_SIZE;
    psl_PutU32(b, msgSeq);
    psl_PutU32(b + 4, r->randomID);
    b[9] = kind;
    if (block == 16) psl_PutU32(b + 12, r->mac);
    if (len) memcpy(b + block, text, len);
    ++r->txCount[channel];
    char host[64] = {};
    uint16_t port = 0;
    if (p2p_Net_AddrToString(&to, sizeof host, host, &port, nullptr) == 0)
        _PSL_SendPacket(conn, pkt, (uint16_t)(PSL_HEADER_SIZE + block + len), host, port);
    return 0;
}

void resend_task(p2p_TimerTask *, uint32_t, uint16_t, void *userData, int) {
    if (userData) _PSL_MsgQueue_Tick(static_cast<PSLMsgQueue *>(userData));
}

}  // namespace

int _PSL_MsgQueue_Create(PSLMsgQueue **out) {
    if (!out) return TERROR_EINVAL;
    auto *q = new (std::nothrow) PSLMsgQueue();
    if (!q) return TERROR_ENOMEM;
    q->resendTask = p2p_SockTaskMng_AddTimer(PSL_MSGQ_RESEND_MS, 0, 0, resend_task, q);
    if (!q->resendTask) {
        delete q;
        return TERROR_BAD_STATE;
    }
    *out = q;
    return 0;
}

int _PSL_MsgQueue_Free(PSLMsgQueue *q) {
    if (!q) return TERROR_EINVAL;
    p2p_SockTaskMng_RemoveTimer(q->resendTask);
    delete q;
    return 0;
}

int _PSL_MsgQueue_Send(PSLMsgQueue *q, int sid, int channel, const void *text, int length) {
    if (!q || length < 0 || (length && !text)) return TERROR_EINVAL;
    if (q->resetting.load()) return TERROR_ECONNABORTED;
    std::lock_guard<std::mutex> lk(q->lock);
    if ((int)q->pending.size() >= q->maxQueued) return TERROR_ERANGE;
    PSLQueuedMsg m;
    m.seq = q->nextSendSeq++;
    m.sid = sid;
    m.channel = (uint8_t)channel;
    m.data.assign((const uint8_t *)text, (const uint8_t *)text + length);
    q->pending.push_back(std::move(m));
    return 0;
}

int _PSL_MsgQueue_Flush(PSLMsgQueue *q) {
    if (!q) return TERROR_EINVAL;
    q->resetting = 1;
    return 0;
}

int _PSL_MsgQueue_IsEmpty(PSLMsgQueue *q, uint8_t *empty) {
    if (!q || !empty) return TERROR_EINVAL;
    std::lock_guard<std::mutex> lk(q->lock);
    *empty = q->pending.empty() ? 1 : 0;
    return 0;
}

void _PSL_MsgQueue_Tick(PSLMsgQueue *q) {
    TableLock table;
    std::lock_guard<std::mutex> lk(q->lock);
    if (q->resetting.load()) {
        q->pending.clear();
        q->resetting = 0;
        return;
    }
    for (const PSLQueuedMsg &m : q->pending) {
        PSLSessionRecord *r = _PSL_Session(m.sid);
        if (_PSL_CheckSession(m.sid) != 0 || !r || !r->channelOn[m.channel] ||
            send_block(m.sid, m.channel, 0, m.seq, m.data.data(), m.data.size()) != 0) {
            q->resetting = 1;  // the next tick drops what is pending
            return;
        }
    }
}

void _PSL_MsgQueue_Receive(PSLMsgQueue *q, const PSLPacketHeader *hdr, const uint8_t *payload, size_t len,
                           const p2p_NetAddr *from, int sid) {
    (void)from;  // the route is not re-pointed by a data message; only an answered hello does that
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!q || !hdr || !payload || !r) return;
    const size_t block = (hdr->flags & PSL_FLAG_SESSION_EXT) ? 16 : 12;
    if (len < block || hdr->length < block || hdr->length > len) return;
    const uint32_t msgSeq = psl_GetU32(payload);
    const uint8_t kind = payload[9];
    const uint8_t channel = hdr->channel;
    if (channel >= PSL_CHANNELS) return;
    if (kind == 1) {
        std::lock_guard<std::mutex> lk(q->lock);
        if (msgSeq > q->nextSendSeq) return;
        for (auto it = q->pending.begin(); it != q->pending.end(); ++it)
            if (it->seq == msgSeq) {
                q->pending.erase(it);
                break;
            }
        return;
    }
    if (kind != 0) return;
    const uint8_t *text = payload + block;
    const uint16_t textLen = (uint16_t)(hdr->length - block);
    bool ack = false;
    {
        std::lock_guard<std::mutex> lk(q->lock);
        if (msgSeq == q->expectedSeq) {
            if (_PSL_DeliverMessage(sid, channel, hdr->seq, text, textLen)) {
                ++q->expectedSeq;
                ack = true;
                for (auto it = q->reorder.find(q->expectedSeq); it != q->reorder.end();
                     it = q->reorder.find(q->expectedSeq)) {
                    if (!_PSL_DeliverMessage(sid, channel, it->second.headerSeq, it->second.data.data(),
                                             (uint16_t)it->second.data.size()))
                        break;
                    q->reorder.erase(it);
                    ++q->expectedSeq;
                }
            }
        } else if (msgSeq < q->expectedSeq) {
            ack = true;  // delivered before: the acknowledgement was lost
        } else if (q->reorder.count(msgSeq)) {
            ack = true;
        } else if ((int)q->reorder.size() < q->maxQueued) {
            PSLQueuedMsg m;
            m.seq = msgSeq;
            m.sid = sid;
            m.channel = channel;
            m.headerSeq = hdr->seq;
            m.data.assign(text, text + textLen);
            q->reorder.emplace(msgSeq, std::move(m));
            ack = true;
        }
    }
    if (ack && r->channelOn[channel]) send_block(sid, channel, 1, msgSeq, nullptr, 0);
}
