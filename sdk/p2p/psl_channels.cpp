#include "p2p/psl_channels.h"

#include <string.h>

#include "p2p/p2p_platform.h"
#include "p2p/psl_msgqueue.h"

namespace {

using TableLock = PslTableLock;

// The channel number as taken from the caller (its low byte), or -1 when outside 0..31.
int channel_of(int channel) {
    const int c = channel & 0xFF;
    return c < PSL_CHANNELS ? c : -1;
}

// Library, session and channel checks in their order; the channel must be on when `needOn`.
int check(int sid, int channel, bool needOn, PSLSessionRecord **out) {
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    const int rc = _PSL_CheckSession(sid);
    if (rc != 0) return rc;
    const int c = channel_of(channel);
    PSLSessionRecord *r = _PSL_Session(sid);
    if (c < 0 || (needOn && !r->channelOn[c])) return PSL_ERR_CHANNEL;
    *out = r;
    return 0;
}

void reset_channel(PSLSessionRecord *r, int c) {
    r->rxExpectedSeq[c] = 0;
    r->channelOn[c] = 0;
    r->channelRecvCallback[c] = nullptr;
    r->channelIdleCallback[c] = nullptr;
    r->channelIdlePending[c] = 0;
    r->rxQueue[c].clear();
    r->rxQueued[c] = 0;
    if (r->channelMsgQueue[c]) _PSL_MsgQueue_Free(r->channelMsgQueue[c]);
    r->channelMsgQueue[c] = nullptr;
}

int mode_of(const PSLSessionRecord *r) {
    const int t = r->routeType.load();
    if (t == PSL_ROUTE_NONE) return PSL_MODE_UNKNOWN;
    return t == PSL_ROUTE_LAN ? PSL_MODE_LAN : t == PSL_ROUTE_P2P ? PSL_MODE_P2P : PSL_MODE_RELAY;
}

// Whether the peer takes acknowledged messages: -54 a relayed peer that cannot, -51 an old protocol or an
// old device this side connected to away from the LAN, else 0.
int ack_capable(const PSLSessionRecord *r) {
    const int mode = mode_of(r);
    if (mode == PSL_MODE_RELAY && !r->peerAckCapable) return -54;
    if (r->peerProtocol < 10) return PSL_ERR_NO_ACK;
    if (!r->incoming && mode != PSL_MODE_LAN && r->peerVersion <= 0x010D09FF) return PSL_ERR_NO_ACK;
    return 0;
}

}  // namespace

int PSL_Session_Write(int sid, const void *data, uint32_t length, int channel) {
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    if (_PSL_StoppedByServer()) return PSL_ERR_STOPPED;
    if (length > PSL_DATA_MAX) return PSL_ERR_INVALID;
    if (length && !data) return PSL_ERR_INVALID;
    uint8_t pkt[PSL_SEND_MAX];
    int n = 0;
    bool ext = false;
    LinuxConn *conn = nullptr;
    p2p_NetAddr to{};
    {
        TableLock lk;
        PSLSessionRecord *r = nullptr;
        const int rc = check(sid, channel, true, &r);
        if (rc != 0) return rc;
        const int c = channel_of(channel);
        const int route = _PSL_GetRoute(sid, &conn, &to);
        if (route < 0 || !conn) return PSL_ERR_NO_ROUTE;
        const bool relay = route == PSL_ROUTE_RELAY_UDP || route == PSL_ROUTE_RELAY_TCP;
        const uint16_t type = relay ? (r->incoming ? 0x0502 : 0x0504) : (r->incoming ? 0x0408 : 0x0407);
        const uint16_t tag = relay ? r->relaySessionId : (uint16_t)(r->randomID & 0xFFFF);
        ext = r->ver == 0;
        n = psl_Build_Data(pkt, sizeof pkt, type, (uint16_t)(r->txCount[c] & 0xFFFF), tag, (uint8_t)c,
                           r->partialScramble, ext, r->randomID, r->mac, (const uint8_t *)data, length);
        ++r->txCount[c];
        if (n < 0) return 0;
        // The socket is kept alive past the lock: the record may be freed meanwhile.
        LinuxConn_retain(conn);
    }
    int sent = _PSL_SendPacketTo(conn, pkt, (uint16_t)n, &to);
    LinuxConn_release(conn);
    if (ext && sent >= PSL_EXT_BLOCK) sent -= PSL_EXT_BLOCK;
    return sent < PSL_HEADER_SIZE ? 0 : sent - PSL_HEADER_SIZE;
}

int PSL_Session_Read(int sid, void *buf, int size, uint32_t timeoutMs, int channel) {
    return PSL_Session_Read_Seq(sid, buf, size, timeoutMs, nullptr, nullptr, channel);
}

int PSL_Session_Read_Seq(int sid, void *buf, int size, uint32_t timeoutMs, uint16_t *seq, uint8_t *lost,
                         int channel) {
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    if (_PSL_StoppedByServer()) return PSL_ERR_STOPPED;
    if (size < 0 || (size > 0 && !buf)) return PSL_ERR_INVALID;
    {
        TableLock lk;
        PSLSessionRecord *r = nullptr;
        const int rc = check(sid, channel, true, &r);
        if (rc != 0) return rc;
    }
    const int c = channel_of(channel);
    // Waits on the readers' condition rather than polling; the deadline keeps the 10 ms steps' bound.
    const uint64_t deadline = p2p_Clock_Ms() + (uint64_t)(timeoutMs / 10) * 10 + 10;
    for (;;) {
        const uint64_t gen = _PSL_ReaderGeneration();
        {
            TableLock lk;
            PSLSessionRecord *r = _PSL_Session(sid);
            if (!r) return PSL_ERR_SESSION;
            if (!r->rxQueue[c].empty()) {
                PslRxPacket node = std::move(r->rxQueue[c].front());
                r->rxQueue[c].pop_front();
                if (r->rxQueued[c]) --r->rxQueued[c];
                const int copied = node.length < size ? node.length : size;
                if (copied > 0) memcpy(buf, node.data.data(), (size_t)copied);
                if (seq) *seq = node.seq;
                if (lost) *lost = node.seq == r->rxExpectedSeq[c] ? 0 : 1;
                r->rxExpectedSeq[c] = (uint16_t)(node.seq + 1);
                if (copied > 0) return copied;
                continue;  // an empty message is consumed; look again at once
            }
            if (timeoutMs == 0) return 0;
            switch (r->state.load()) {
                case PSL_STATE_CONNECTED:
                    break;
                case PSL_STATE_TIMED_OUT:
                    return PSL_ERR_TIMED_OUT;
                case PSL_STATE_PEER_CLOSED:
                    return PSL_ERR_CLOSED_BY_PEER;
                default:
                    return PSL_ERR_SESSION;
            }
            if (r->closing.load()) return PSL_ERR_SESSION;
        }
        if (!_PSL_Running()) return PSL_ERR_TIMEOUT;
        const uint64_t now = p2p_Clock_Ms();
        if (now >= deadline) return PSL_ERR_TIMEOUT;
        _PSL_WaitForData(sid, c, gen, (uint32_t)(deadline - now));
    }
}

int PSL_Session_Channel_ON(int sid, int channel) {
    TableLock lk;
    PSLSessionRecord *r = nullptr;
    const int rc = check(sid, channel, false, &r);
    if (rc != 0) return rc;
    const int c = channel_of(channel);
    if (!r->channelMsgQueue[c] && _PSL_MsgQueue_Create(&r->channelMsgQueue[c]) != 0) return PSL_ERR_SETUP;
    r->channelOn[c] = 1;
    return 0;
}

int PSL_Session_Channel_OFF(int sid, int channel) {
    TableLock lk;
    PSLSessionRecord *r = nullptr;
    const int rc = check(sid, channel, false, &r);
    if (rc != 0) return rc;
    const int c = channel_of(channel);
    if (c == 0) return 0;  // channel 0 stays on
    reset_channel(r, c);
    return 0;
}

int PSL_Session_Channel_State(int sid, int channel) {
    TableLock lk;
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    const int rc = _PSL_CheckSession(sid);
    if (rc != 0) return rc;
    const int c = channel_of(channel);
    if (c < 0) return PSL_ERR_INVALID;
    return _PSL_Session(sid)->channelOn[c] ? 1 : 0;
}

// Finds and takes the channel under one hold of the lock, so two callers never get the same one.
int PSL_Session_Take_Channel(int sid) {
    TableLock lk;
    PSLSessionRecord *r = nullptr;
    const int rc = check(sid, 0, false, &r);
    if (rc != 0) return rc;
    for (int c = 1; c < PSL_CHANNELS; ++c) {
        if (r->channelOn[c]) continue;
        reset_channel(r, c);
        if (_PSL_MsgQueue_Create(&r->channelMsgQueue[c]) != 0) return PSL_ERR_SETUP;
        r->channelOn[c] = 1;
        return c;
    }
    return PSL_ERR_NO_CHANNEL;
}

int PSL_Session_Set_Partial_Scramble(int sid, uint8_t on) {
    TableLock lk;
    PSLSessionRecord *r = nullptr;
    const int rc = check(sid, 0, false, &r);
    if (rc != 0) return rc;
    if (!r->peerScrambles) return -47;
    r->partialScramble = on != 0;
    return 0;
}

int PSL_Session_Peer_Protocol(int sid) {
    TableLock lk;
    PSLSessionRecord *r = nullptr;
    const int rc = check(sid, 0, false, &r);
    if (rc != 0) return rc;
    return r->peerProtocol;
}

int _PSL_DeliverData(int sid, int channel, uint16_t seq, const uint8_t *data, uint16_t length) {
    PSLSessionRecord *r = _PSL_Session(sid);
    const int c = channel_of(channel);
    if (!r || c < 0) return 0;
    r->idleTicks = 0;
    if (r->channelRecvCallback[c]) {
        ++r->rxCount[c];
        ++r->rxQueued[c];
        r->channelRecvCallback[c](sid, c, data, length, _PSL_CheckSession(sid));
        r->channelIdlePending[c] = 1;
        _PSL_IdleWorkPending();
        return 1;
    }
    if (!r->channelOn[c]) return 0;
    PslRxPacket node{length, seq, r->rxCount[c], std::vector<uint8_t>(data, data + length)};
    r->rxQueue[c].push_back(std::move(node));
    ++r->rxCount[c];
    ++r->rxQueued[c];
    _PSL_NotifyChannel(sid, c);
    return 1;
}

int _PSL_DeliverMessage(int sid, int channel, uint16_t seq, const uint8_t *data, uint16_t length) {
    PSLSessionRecord *r = _PSL_Session(sid);
    const int c = channel_of(channel);
    if (!r || c < 0 || !r->channelOn[c]) return 0;
    r->rxQueue[c].push_back(
        PslRxPacket{length, seq, r->rxCount[c], std::vector<uint8_t>(data, data + length)});
    ++r->rxCount[c];
    ++r->rxQueued[c];
    _PSL_NotifyChannel(sid, c);
    return 1;
}

int PSL_Session_Channel_Send(int sid, const void *msg, uint32_t size, int channel) {
    if (size > PSL_MSG_TEXT_MAX) return PSL_ERR_MSG_TOO_LONG;
    if (size && !msg) return PSL_ERR_INVALID;
    PSLMsgQueue *q = nullptr;
    {
        TableLock lk;
        if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
        const int rc = _PSL_CheckSession(sid);
        if (rc != 0) return rc;
        PSLSessionRecord *r = _PSL_Session(sid);
        const int cap = ack_capable(r);
        if (cap != 0) return cap;
        const int c = channel_of(channel);
        if (c < 0 || !r->channelOn[c]) return PSL_ERR_CHANNEL;
        q = r->channelMsgQueue[c];
        if (!q) return PSL_ERR_SETUP;
        // Queued under the table lock too, so the queue cannot be freed underneath.
        const int s = _PSL_MsgQueue_Send(q, sid, c, msg, (int)size);
        return s == 0                     ? 0
               : s == TERROR_ECONNABORTED ? PSL_ERR_QUEUE_CLOSED
               : s == TERROR_ERANGE       ? PSL_ERR_QUEUE_FULL
                                          : PSL_ERR_SETUP;
    }
}

int PSL_Session_Channel_Queue_Empty(int sid, int channel) {
    TableLock lk;
    PSLSessionRecord *r = nullptr;
    const int rc = check(sid, channel, true, &r);
    if (rc != 0) return rc;
    PSLMsgQueue *q = r->channelMsgQueue[channel_of(channel)];
    uint8_t empty = 0;
    if (!q || _PSL_MsgQueue_IsEmpty(q, &empty) != 0) return PSL_ERR_INVALID;
    return empty;
}

int PSL_Session_Channel_Queue_Flush(int sid, int channel) {
    TableLock lk;
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    const int rc = _PSL_CheckSession(sid);
    if (rc != 0) return rc;
    PSLSessionRecord *r = _PSL_Session(sid);
    if (ack_capable(r) != 0) return PSL_ERR_NO_ACK;
    const int c = channel_of(channel);
    if (c < 0 || !r->channelOn[c]) return PSL_ERR_CHANNEL;
    _PSL_MsgQueue_Flush(r->channelMsgQueue[c]);
    return 0;
}
