// Session packets: the 16-byte header, the block scrambler, the one send routine and the receive framing
// of datagrams and TCP streams. Scrambling hides the packets; it does not authenticate them: every reader
// stays within the packet's length and the bytes received.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "p2p/p2p_net.h"
#include "p2p/tconn_manager.h"

enum : uint16_t { PSL_MAGIC = 0x0204 };
enum : uint8_t { PSL_VERSION = 20 };
enum : uint8_t {
    PSL_FLAG_HEAD64 = 0x01,
    PSL_FLAG_SCRAMBLED = 0x02,
    PSL_FLAG_FORWARD = 0x04,
    PSL_FLAG_SESSION_EXT = 0x08,
};
enum : uint32_t { PSL_PRIVATE_MAGIC = 0x3b5e917d };
enum {
    PSL_HEADER_SIZE = 16,
    PSL_SEND_MAX = 1500,      // largest packet sent, header included
    PSL_UDP_RECV_MAX = 1416,  // largest datagram read; longer ones are dropped
    PSL_HEAD64_LIMIT = 64,
};

struct PSLPacketHeader {
    uint16_t magic;
    uint8_t version;
    uint8_t flags;
    uint16_t length;  // payload bytes after the header
    uint16_t seq;
    uint16_t type;
    uint8_t route;
    uint8_t routeFlags;
    uint16_t sessionTag;
    uint8_t channel;
    uint8_t extra;
};

// Little-endian field access on wire bytes.
inline void psl_PutU16(uint8_t *p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
inline void psl_PutU32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}
inline uint16_t psl_GetU16(const uint8_t *p) {
    return (uint16_t)(p[0] | (p[1] << 8));
}
inline uint32_t psl_GetU32(const uint8_t *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

void psl_Header_Write(uint8_t *out, const PSLPacketHeader *h);
void psl_Header_Read(const uint8_t *in, PSLPacketHeader *h);

void _PSL_Scramble(const uint8_t *src, uint8_t *dst, uint16_t length, uint16_t limit);
void _PSL_Descramble(const uint8_t *src, uint8_t *dst, uint16_t length, uint16_t limit);
void _PSL_ScrambleGuarded(const uint8_t *src, uint8_t *dst, uint16_t length, uint16_t limit, uint32_t magic);
void _PSL_DescrambleGuarded(const uint8_t *src, uint8_t *dst, uint16_t length, uint16_t limit,
                            uint32_t magic);
void _PSL_TailPermute(const uint8_t *src, uint8_t *dst, int n);

// Scrambles a built packet (header and payload) and sends it on the connection; sets PSL_FLAG_SCRAMBLED in
// the caller's packet. Returns the bytes sent, 0 when not sent. On TCP the whole packet goes out or nothing
// is reported as sent, so the stream never carries a cut packet.
int _PSL_SendPacket(LinuxConn *conn, uint8_t *packet, uint16_t length, const char *host, uint16_t port);
// The same to an address record: the data path formats no text.
int _PSL_SendPacketTo(LinuxConn *conn, uint8_t *packet, uint16_t length, const p2p_NetAddr *to);

// Receive framing of one datagram of size bytes: descrambles it into out (PSL_UDP_RECV_MAX bytes) and fills
// the header. Returns the packet's size (16 + length) or -1 when the datagram is to be dropped.
int psl_ReadDatagram(const uint8_t *data, size_t size, uint8_t *out, PSLPacketHeader *hdr);

// Reassembles packets from a TCP byte stream cut anywhere. Each whole packet goes to the sink, descrambled,
// once and in order; the tail of a read that ends inside a packet is kept for the next one.
typedef void (*psl_PacketSink)(const uint8_t *packet, size_t size, const PSLPacketHeader *hdr, void *arg);
struct PslStreamFramer {
    uint8_t pending[PSL_SEND_MAX];
    size_t have;
    int broken;  // a bad magic or an impossible length: the stream cannot be resynchronised
};
void psl_StreamFramer_Init(PslStreamFramer *f);
// Returns the packets delivered, or -1 once the stream is broken (the caller closes the connection).
int psl_StreamFramer_Feed(PslStreamFramer *f, const uint8_t *data, size_t n, psl_PacketSink sink, void *arg);
