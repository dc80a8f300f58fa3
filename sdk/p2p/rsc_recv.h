// Receive side of one reliable stream channel: the received DATA packets in sequence order, the reader's
// position, and the acknowledgements owed to the sender (immediate echoes, cumulative ACK2, selective
// SACK2). No locking and no threads: the channel calls it under its own lock.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <vector>

#include "p2p/rsc_packet.h"

// Where the acknowledgements go: sendNow writes a packet at once (ACK2, SACK2), queueAck hands a 20-byte
// acknowledgement to the send thread's queue.
class RscAckSink {
  public:
    virtual ~RscAckSink() = default;
    virtual void sendNow(const uint8_t *pkt, size_t len) = 0;
    virtual void queueAck(const uint8_t *hdr20) = 0;
};

// Received packets at or beyond the read point + this many are dropped unacknowledged: a stalled reader holds
// at most this many packets. Not below the window ceiling, so a sender inside its window is never refused.
enum : uint32_t { RSC_RECV_WINDOW = 8192 };

class RscReceiver {
  public:
    // Results of onData.
    enum { STORED = 0, REPEAT = 1, DUPLICATE = 2, BEYOND_WINDOW = 3 };

    // A checked DATA or PRIVATE_DATA packet. remoteVersion is the version of the peer's heartbeats; index
    // goes into byte 17 of every acknowledgement.
    int onData(const RSCPacket &p, uint8_t remoteVersion, uint8_t index, RscAckSink &sink);
    // The idle hook: an ACK2 when in-order packets wait, then a SACK2 when a run is open.
    void flushAcks(uint8_t index, RscAckSink &sink);
    // Acknowledgements are being held back (an ACK2 or a SACK2 owed).
    bool acksHeld() const { return pending_ > 0 || sackCount_ > 0; }

    // Copies up to size bytes in order; stops at a missing packet or after an empty one.
    size_t read(uint8_t *buf, size_t size);
    // Nothing left to read (read buffer used up and no stored packets at all).
    bool empty() const { return tmpIndex_ >= tmp_.size() && list_.empty(); }
    // Bytes can be read now.
    bool readable() const;
    // Stored packets remain but the next one to read is missing.
    bool gapAtHead() const { return tmpIndex_ >= tmp_.size() && !list_.empty() && !readable(); }
    uint32_t bytesQueued() const { return bytes_; }
    size_t packetsStored() const { return list_.size(); }

    uint32_t maxPendingAck = 0;
    // Test hook: the stream's first sequence (set before any packet).
    void setFirst(RSCSeq s) { expect_ = read_ = s; }

  private:
    static uint64_t key(RSCSeq s) { return ((uint64_t)s.epoch << 32) | s.id; }
    void sendAck2(uint8_t index, RscAckSink &sink);
    void sendSack2(uint8_t index, RscAckSink &sink);

    std::map<uint64_t, std::vector<uint8_t>> list_;  // received, unread, by sequence
    std::vector<uint8_t> tmp_;                       // data of the packet being read
    size_t tmpIndex_ = 0;
    uint32_t bytes_ = 0;
    RSCSeq read_{0, 0};
    RSCSeq expect_{0, 0};
    RSCSeq ack_{0, 0};
    uint32_t pending_ = 0;
    bool templateSet_ = false;
    RSCHeader ackTemplate_{};
    uint32_t sackCount_ = 0;
    RSCSeq sackFirst_{0, 0};
    RSCSeq sackLast_{0, 0};
    RSCHeader sackTemplate_{};
};
