// Receive side of a reliable stream channel: ordering, reading and acknowledgements.
#include "p2p/rsc_recv.h"

#include <string.h>

bool RscReceiver::readable() const {
    if (tmpIndex_ < tmp_.size()) return true;
    return !list_.empty() && list_.begin()->first == key(read_);
}

void RscReceiver::sendAck2(uint8_t index, RscAckSink &sink) {
    RSCHeader h = ackTemplate_;
    h.magic = RSC_MAGIC;
    h.type = RSC_MSG_DATA_ACK2;
    h.version = RSC_VERSION;
    h.length = 0;
    h.index = index;
    h.seq = ack_;
    pending_ = 0;
    uint8_t out[RSC_HEADER_SIZE];
    rsc_Header_Write(out, &h);
    sink.sendNow(out, sizeof out);
}

void RscReceiver::sendSack2(uint8_t index, RscAckSink &sink) {
    sackCount_ = 0;
    RSCSackRange r{sackFirst_, sackLast_};
    uint8_t out[RSC_HEADER_SIZE + RSC_SACK2_PAYLOAD];
    size_t n = rsc_Sack2_Write(out, &sackTemplate_, index, ack_, &r, 1);
    sink.sendNow(out, n);
}

void RscReceiver::flushAcks(uint8_t index, RscAckSink &sink) {
    if (pending_ > 0) sendAck2(index, sink);
    if (sackCount_ > 0) sendSack2(index, sink);
}

int RscReceiver::onData(const RSCPacket &p, uint8_t remoteVersion, uint8_t index, RscAckSink &sink) {
    const RSCSeq seq = p.h.seq;
    // A packet this far ahead was never sent by a sender inside its window: refuse it unacknowledged.
    if (rsc_Seq_Cmp(seq, read_) >= 0 && rsc_Seq_Distance(read_, seq) >= RSC_RECV_WINDOW) return BEYOND_WINDOW;

    int result = STORED;
    if (p.h.type == RSC_MSG_DATA && remoteVersion >= 5) {
        if (!templateSet_) {
            templateSet_ = true;
            ackTemplate_ = p.h;
            ackTemplate_.version = RSC_VERSION;
        }
        int c = rsc_Seq_Cmp(seq, expect_);
        if (c == 0) {
            ++pending_;
            ack_ = seq;
            expect_ = rsc_Seq_Next(expect_);
            // Packets that waited behind the gap are now in order.
            while (list_.count(key(expect_))) {
                ack_ = expect_;
                expect_ = rsc_Seq_Next(expect_);
            }
            if (sackCount_ > 0) {
                if (rsc_Seq_Cmp(ack_, sackLast_) >= 0) {
                    sackCount_ = 0;
                } else {
                    if (rsc_Seq_Cmp(ack_, sackFirst_) > 0) sackFirst_ = ack_;
                    sendSack2(index, sink);
                }
            }
            if (pending_ > maxPendingAck) sendAck2(index, sink);
        } else if (c < 0) {
            sendAck2(index, sink);
            pending_ = 1;
            result = REPEAT;
        } else {
            if (pending_ > 0) sendAck2(index, sink);
            if (sackCount_ == 0) {
                sackCount_ = 1;
                sackFirst_ = sackLast_ = seq;
                sackTemplate_ = p.h;
            } else if (rsc_Seq_Cmp(seq, rsc_Seq_Next(sackLast_)) == 0) {
                ++sackCount_;
                sackLast_ = seq;
                if (sackCount_ > maxPendingAck) sendSack2(index, sink);
            } else {
                sendSack2(index, sink);
                sackCount_ = 1;
                sackFirst_ = sackLast_ = seq;
                sackTemplate_ = p.h;
            }
        }
    } else {
        // Echoed packets still move the in-order point, so later ACK2s are not held behind them.
        if (rsc_Seq_Cmp(seq, expect_) == 0) {
            ack_ = seq;
            expect_ = rsc_Seq_Next(expect_);
            while (list_.count(key(expect_))) {
                ack_ = expect_;
                expect_ = rsc_Seq_Next(expect_);
            }
        }
        RSCHeader h = p.h;
        h.type = (uint8_t)(p.h.type + 64);
        h.version = RSC_VERSION;
        h.length = 0;
        h.index = index;
        uint8_t out[RSC_HEADER_SIZE];
        rsc_Header_Write(out, &h);
        sink.queueAck(out);
    }

    // Store: already read, or already held, is dropped.
    if (rsc_Seq_Cmp(seq, read_) < 0) return result == STORED ? REPEAT : result;
    auto [it, inserted] = list_.try_emplace(key(seq));
    if (!inserted) return result == REPEAT ? REPEAT : DUPLICATE;
    it->second.assign(p.data, p.data + p.h.length);
    bytes_ += p.h.length;
    return result;
}

size_t RscReceiver::read(uint8_t *buf, size_t size) {
    size_t copied = 0;
    while (copied < size) {
        if (tmpIndex_ < tmp_.size()) {
            size_t n = tmp_.size() - tmpIndex_;
            if (n > size - copied) n = size - copied;
            memcpy(buf + copied, tmp_.data() + tmpIndex_, n);
            tmpIndex_ += n;
            copied += n;
            bytes_ -= (uint32_t)n;
            continue;
        }
        if (list_.empty() || list_.begin()->first != key(read_)) break;
        auto node = list_.extract(list_.begin());
        tmp_.swap(node.mapped());
        tmpIndex_ = 0;
        read_ = rsc_Seq_Next(read_);
        if (tmp_.empty()) break;  // an empty packet ends this read
    }
    return copied;
}
