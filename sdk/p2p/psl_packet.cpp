// Header, scrambler and framing of session packets.
#include "p2p/psl_packet.h"

#include <endian.h>
#include <string.h>
#include <sys/socket.h>

namespace {

// The scrambler key: its first 16 bytes give the four key words, its first 15 the tail bytes.
constexpr char kKey[] = "Yumbo knows all lanes to 7Q3Qx##";

constexpr uint32_t keyWord(int j) {
    return (uint32_t)(uint8_t)kKey[4 * j] | ((uint32_t)(uint8_t)kKey[4 * j + 1] << 8) |
           ((uint32_t)(uint8_t)kKey[4 * j + 2] << 16) | ((uint32_t)(uint8_t)kKey[4 * j + 3] << 24);
}
constexpr uint32_t K[4] = {keyWord(0), keyWord(1), keyWord(2), keyWord(3)};

inline uint32_t ror(uint32_t v, int k) {
    return (v >> k) | (v << (32 - k));
}
inline uint32_t rol(uint32_t v, int k) {
    return (v << k) | (v >> (32 - k));
}
inline uint32_t b(uint32_t w, int i) {
    return (w >> (8 * i)) & 0xff;
}
inline uint32_t word(uint32_t b0, uint32_t b1, uint32_t b2, uint32_t b3) {
    return b0 | (b1 << 8) | (b2 << 16) | (b3 << 24);
}

inline uint32_t load(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return le32toh(v);
}
inline void store(uint8_t *p, uint32_t v) {
    v = htole32(v);
    memcpy(p, &v, 4);
}

void scrambleBlock(const uint8_t *in, uint8_t *out) {
    uint32_t x0 = ror(load(in), 1) ^ K[0];
    uint32_t x1 = ror(load(in + 4), 5) ^ K[1];
    uint32_t x2 = ror(load(in + 8), 9) ^ K[2];
    uint32_t x3 = ror(load(in + 12), 13) ^ K[3];
    uint32_t y0 = word(b(x2, 3), b(x2, 1), b(x2, 0), b(x3, 3));
    uint32_t y1 = word(b(x3, 1), b(x2, 2), b(x3, 0), b(x3, 2));
    uint32_t y2 = word(b(x0, 2), b(x0, 1), b(x1, 1), b(x0, 0));
    uint32_t y3 = word(b(x1, 2), b(x1, 0), b(x1, 3), b(x0, 3));
    store(out, ror(y0, 3));
    store(out + 4, ror(y1, 7));
    store(out + 8, ror(y2, 11));
    store(out + 12, ror(y3, 15));
}

void descrambleBlock(const uint8_t *in, uint8_t *out) {
    uint32_t y0 = rol(load(in), 3);
    uint32_t y1 = rol(load(in + 4), 7);
    uint32_t y2 = rol(load(in + 8), 11);
    uint32_t y3 = rol(load(in + 12), 15);
    uint32_t x0 = word(b(y2, 3), b(y2, 1), b(y2, 0), b(y3, 3));
    uint32_t x1 = word(b(y3, 1), b(y2, 2), b(y3, 0), b(y3, 2));
    uint32_t x2 = word(b(y0, 2), b(y0, 1), b(y1, 1), b(y0, 0));
    uint32_t x3 = word(b(y1, 2), b(y1, 0), b(y1, 3), b(y0, 3));
    store(out, rol(x0 ^ K[0], 1));
    store(out + 4, rol(x1 ^ K[1], 5));
    store(out + 8, rol(x2 ^ K[2], 9));
    store(out + 12, rol(x3 ^ K[3], 13));
}

template <bool Scramble>
void run(const uint8_t *src, uint8_t *dst, uint16_t length, uint16_t limit) {
    uint16_t n = length < limit ? length : limit;
    if (length > limit) memcpy(dst + limit, src + limit, (size_t)(length - limit));
    uint16_t full = (uint16_t)(n & ~15u);
    for (uint16_t off = 0; off < full; off += 16) {
        if (Scramble)
            scrambleBlock(src + off, dst + off);
        else
            descrambleBlock(src + off, dst + off);
    }
    int t = n - full;
    if (t == 0) return;
    uint8_t tmp[16];
    if (Scramble) {
        for (int i = 0; i < t; ++i) tmp[i] = src[full + i] ^ (uint8_t)kKey[i];
        _PSL_TailPermute(tmp, dst + full, t);
    } else {
        _PSL_TailPermute(src + full, tmp, t);
        for (int i = 0; i < t; ++i) dst[full + i] = tmp[i] ^ (uint8_t)kKey[i];
    }
}

}  // namespace

void psl_Header_Write(uint8_t *out, const PSLPacketHeader *h) {
    psl_PutU16(out, h->magic);
    out[2] = h->version;
    out[3] = h->flags;
    psl_PutU16(out + 4, h->length);
    psl_PutU16(out + 6, h->seq);
    psl_PutU16(out + 8, h->type);
    out[10] = h->route;
    out[11] = h->routeFlags;
    psl_PutU16(out + 12, h->sessionTag);
    out[14] = h->channel;
    out[15] = h->extra;
}

void psl_Header_Read(const uint8_t *in, PSLPacketHeader *h) {
    h->magic = psl_GetU16(in);
    h->version = in[2];
    h->flags = in[3];
    h->length = psl_GetU16(in + 4);
    h->seq = psl_GetU16(in + 6);
    h->type = psl_GetU16(in + 8);
    h->route = in[10];
    h->routeFlags = in[11];
    h->sessionTag = psl_GetU16(in + 12);
    h->channel = in[14];
    h->extra = in[15];
}

void _PSL_TailPermute(const uint8_t *src, uint8_t *dst, int n) {
    static const uint8_t p2[] = {1, 0};
    static const uint8_t p4[] = {2, 3, 0, 1};
    static const uint8_t p8[] = {7, 4, 3, 2, 1, 6, 5, 0};
    const uint8_t *p = n == 2 ? p2 : n == 4 ? p4 : n == 8 ? p8 : nullptr;
    uint8_t tmp[16];
    for (int i = 0; i < n && i < 16; ++i) tmp[i] = p ? src[p[i]] : src[i];
    memcpy(dst, tmp, (size_t)(n < 16 ? n : 16));
}

void _PSL_Scramble(const uint8_t *src, uint8_t *dst, uint16_t length, uint16_t limit) {
    run<true>(src, dst, length, limit);
}

void _PSL_Descramble(const uint8_t *src, uint8_t *dst, uint16_t length, uint16_t limit) {
    run<false>(src, dst, length, limit);
}

void _PSL_ScrambleGuarded(const uint8_t *src, uint8_t *dst, uint16_t length, uint16_t limit, uint32_t magic) {
    if (magic == PSL_PRIVATE_MAGIC) _PSL_Scramble(src, dst, length, limit);
}

void _PSL_DescrambleGuarded(const uint8_t *src, uint8_t *dst, uint16_t length, uint16_t limit,
                            uint32_t magic) {
    if (magic == PSL_PRIVATE_MAGIC) _PSL_Descramble(src, dst, length, limit);
}

namespace {
// Scrambles the packet into `work` and sets PSL_FLAG_SCRAMBLED in the caller's copy.
void scramble_for_send(uint8_t *packet, uint8_t *work, uint16_t length) {
    const uint8_t flags = packet[3];
    packet[3] = (uint8_t)(flags | PSL_FLAG_SCRAMBLED);
    _PSL_Scramble(packet, work, length, (flags & PSL_FLAG_HEAD64) ? (uint16_t)PSL_HEAD64_LIMIT : length);
}

int send_stream(LinuxConn *conn, const uint8_t *work, uint16_t length) {
    // Whole packets only: a cut one would break the peer's framing for good. A connection that cannot take a
    // packet now drops it whole (the layers above resend) instead of holding the caller, who may hold the
    // session table lock. Once a packet has started it is finished (a bounded wait); a peer that stops
    // reading in the middle of one has its connection shut, which its close callback reports.
    int sent = length;
    if (LinuxConn_sendTo(conn, nullptr, 0, work, &sent) < 0 || sent <= 0) return 0;
    while (sent < length) {
        int chunk = length - sent;
        if (LinuxConn_send(conn, work + sent, &chunk) < 0 || chunk <= 0) {
            const int fd = conn->role == LINUXCONN_SERVER ? conn->acceptedFd.load() : conn->fd.load();
            if (fd >= 0) shutdown(fd, SHUT_RDWR);
            return 0;
        }
        sent += chunk;
    }
    return sent;
}
}  // namespace

int _PSL_SendPacket(LinuxConn *conn, uint8_t *packet, uint16_t length, const char *host, uint16_t port) {
    if (!conn || !packet || !host || length > PSL_SEND_MAX) return 0;
    uint8_t work[PSL_SEND_MAX];
    scramble_for_send(packet, work, length);
    if (conn->protocol == LINUXCONN_TCP) return send_stream(conn, work, length);
    int n = length;
    if (LinuxConn_sendTo(conn, host, port, work, &n) < 0) return 0;
    return n;
}

int _PSL_SendPacketTo(LinuxConn *conn, uint8_t *packet, uint16_t length, const p2p_NetAddr *to) {
    if (!conn || !packet || !to || length > PSL_SEND_MAX) return 0;
    sockaddr_storage dest{};
    if (conn->protocol != LINUXCONN_TCP && p2p_Net_AddrToSockaddr(to, &dest, nullptr) != 0) return 0;
    uint8_t work[PSL_SEND_MAX];
    scramble_for_send(packet, work, length);
    if (conn->protocol == LINUXCONN_TCP) return send_stream(conn, work, length);
    int n = length;
    if (LinuxConn_sendToAddr(conn, &dest, work, &n) < 0) return 0;
    return n;
}

int psl_ReadDatagram(const uint8_t *data, size_t size, uint8_t *out, PSLPacketHeader *hdr) {
    if (!data || !out || !hdr) return -1;
    // Under a header (the bare 4-byte ping among them), or longer than the receive buffer: dropped unread.
    if (size < PSL_HEADER_SIZE || size > PSL_UDP_RECV_MAX) return -1;
    memset(out, 0, PSL_UDP_RECV_MAX);
    _PSL_Descramble(data, out, PSL_HEADER_SIZE, PSL_HEADER_SIZE);
    psl_Header_Read(out, hdr);
    uint16_t rest = (uint16_t)(size - PSL_HEADER_SIZE);
    _PSL_Descramble(data + PSL_HEADER_SIZE, out + PSL_HEADER_SIZE, rest,
                    (hdr->flags & PSL_FLAG_HEAD64) ? (uint16_t)(PSL_HEAD64_LIMIT - PSL_HEADER_SIZE) : rest);
    if (hdr->magic != PSL_MAGIC || size < (size_t)PSL_HEADER_SIZE + hdr->length) return -1;
    return PSL_HEADER_SIZE + hdr->length;
}

void psl_StreamFramer_Init(PslStreamFramer *f) {
    f->have = 0;
    f->broken = 0;
}

int psl_StreamFramer_Feed(PslStreamFramer *f, const uint8_t *data, size_t n, psl_PacketSink sink, void *arg) {
    if (f->broken) return -1;
    int delivered = 0;
    uint8_t plain[PSL_SEND_MAX];
    auto fill = [&](size_t upTo) {
        size_t take = upTo - f->have < n ? upTo - f->have : n;
        memcpy(f->pending + f->have, data, take);
        f->have += take;
        data += take;
        n -= take;
        return f->have == upTo;
    };
    for (;;) {
        if (f->have < PSL_HEADER_SIZE && !fill(PSL_HEADER_SIZE)) break;
        PSLPacketHeader h{};
        _PSL_Descramble(f->pending, plain, PSL_HEADER_SIZE, PSL_HEADER_SIZE);
        psl_Header_Read(plain, &h);
        size_t need = PSL_HEADER_SIZE + (size_t)h.length;
        if (h.magic != PSL_MAGIC || need > PSL_SEND_MAX) {
            f->broken = 1;
            f->have = 0;
            return -1;
        }
        if (f->have < need && !fill(need)) break;
        uint16_t rest = h.length;
        _PSL_Descramble(f->pending + PSL_HEADER_SIZE, plain + PSL_HEADER_SIZE, rest,
                        (h.flags & PSL_FLAG_HEAD64) ? (uint16_t)(PSL_HEAD64_LIMIT - PSL_HEADER_SIZE) : rest);
        f->have = 0;
        if (sink) sink(plain, need, &h, arg);
        ++delivered;
    }
    return delivered;
}
