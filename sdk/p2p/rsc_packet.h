// Reliable stream packets: the 20-byte header, the message types, sequence numbers (ID, epoch) and the
// selective acknowledgement payload. Packets arrive from the peer through the session: rsc_Packet_Check is
// the one bounded reader, and nothing looks at a packet's bytes before it has accepted them.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum : uint32_t { RSC_MAGIC = 0xf1c2975a, RSC_PRIVATE_MAGIC = 0x6c2f4a93 };
enum : uint8_t { RSC_VERSION = 5 };

enum {
    RSC_HEADER_SIZE = 20,
    RSC_SACK2_PAYLOAD = 72,
    RSC_SACK2_MAX_RANGES = 4,
    RSC_MAX_DATA = 1280,  // largest payload this layer sends or accepts
    RSC_MIN_DATA = 100,   // smallest max packet data size a caller may set
    RSC_SEND_BUF = 1388,  // one session data message
};

enum : uint8_t {
    RSC_MSG_HEARTBIT = 1,
    RSC_MSG_DATA = 2,
    RSC_MSG_FIN = 3,
    RSC_MSG_QUIT = 4,
    RSC_MSG_PRIVATE_DATA = 16,
    RSC_MSG_ABORT = 32,
    RSC_MSG_HEARTBIT_ACK = 65,
    RSC_MSG_DATA_ACK = 66,
    RSC_MSG_FIN_ACK = 67,
    RSC_MSG_DATA_SACK2 = 69,
    RSC_MSG_DATA_ACK2 = 70,
    RSC_MSG_PRIVATE_DATA_ACK = 80,
    RSC_MSG_ABORT_ACK = 96,
    RSC_MSG_EXIT = 112,
};

// A packet's place in the stream. The last ID of an epoch is 0xf0000000; the FIN uses (~0, ~0).
struct RSCSeq {
    uint32_t id;
    uint32_t epoch;
};
constexpr RSCSeq RSC_FIN_SEQ{0xffffffffu, 0xffffffffu};
enum : uint32_t { RSC_EPOCH_LAST_ID = 0xf0000000u };

RSCSeq rsc_Seq_Next(RSCSeq s);
// -1, 0 or 1: epochs first, then IDs, both unsigned.
int rsc_Seq_Cmp(RSCSeq a, RSCSeq b);
// Number of increments from a to b (b not below a); saturates at UINT32_MAX.
uint32_t rsc_Seq_Distance(RSCSeq a, RSCSeq b);

struct RSCHeader {
    uint32_t magic;
    uint8_t type;
    uint8_t version;
    uint16_t length;  // payload bytes after the header
    RSCSeq seq;
    uint8_t transmits;  // transmissions of this packet so far
    uint8_t index;      // channel index (heartbeat: the sender's own; otherwise the receiver's as known)
    uint16_t spare;     // 0 when built; copied when a header is echoed
};

void rsc_Header_Write(uint8_t *out, const RSCHeader *h);
void rsc_Header_Read(const uint8_t *in, RSCHeader *h);
// A header built on the spot: magic, version 5, the rest as given, zero transmits and spare.
RSCHeader rsc_Header_Make(uint8_t type, uint16_t length, RSCSeq seq, uint8_t index);

struct RSCSackRange {
    RSCSeq first;
    RSCSeq last;
};

// Results of rsc_Packet_Check: 0 accepted; negative, the reason it was refused.
enum {
    RSC_PKT_SHORT = -1,  // fewer than 20 bytes, or fewer than 20 + the header's length
    RSC_PKT_BAD_MAGIC = -2,
    RSC_PKT_UNKNOWN_TYPE = -3,
    RSC_PKT_BAD_LENGTH = -4,  // control packet with a payload, SACK2 of another size, data above 1,280
    RSC_PKT_BAD_SACK = -5,    // SACK2 range count above 4
};

// A checked packet: the header, the payload (data packets) and the SACK2 ranges.
struct RSCPacket {
    RSCHeader h;
    const uint8_t *data;  // inside the caller's buffer; h.length bytes
    uint32_t sackCount;
    RSCSackRange sack[RSC_SACK2_MAX_RANGES];
};

// Reads one packet of len bytes; bytes beyond 20 + length are ignored (the session may pad).
int rsc_Packet_Check(const uint8_t *buf, size_t len, RSCPacket *out);
bool rsc_Type_Known(uint8_t type);

// Writes a SACK2 packet (92 bytes) whose header acknowledges cum and whose payload holds the ranges.
size_t rsc_Sack2_Write(uint8_t *out, const RSCHeader *tmpl, uint8_t index, RSCSeq cum,
                       const RSCSackRange *ranges, uint32_t count);
