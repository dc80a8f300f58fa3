#include "psl_wire.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace qvbed::psl {
namespace {

// The scrambler key as the servers know it; only bytes 0..15 take part.
constexpr char kKey[] = "Yumbo knows all lanes to 7Q3Qx##";

uint16_t le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t ror(uint32_t v, unsigned k) {
    return (v >> k) | (v << (32 - k));
}
uint32_t rol(uint32_t v, unsigned k) {
    return (v << k) | (v >> (32 - k));
}
uint32_t key_word(int j) {
    return le32(reinterpret_cast<const uint8_t *>(kKey) + 4 * j);
}
uint8_t key_byte(size_t i) {
    return static_cast<uint8_t>(kKey[i]);
}

// Byte i of the shuffled words comes from byte kShuffle[i] of the rotated, keyed words (byte k of word j is
// index 4j + k).
constexpr std::array<uint8_t, 16> kShuffle = {11, 9, 8, 15, 13, 10, 12, 14, 2, 1, 5, 0, 6, 4, 7, 3};

void scramble_block(const uint8_t *in, uint8_t *out) {
    uint8_t x[16], y[16];
    for (int j = 0; j < 4; ++j) put32(x + 4 * j, ror(le32(in + 4 * j), 1 + 4 * j) ^ key_word(j));
    for (int i = 0; i < 16; ++i) y[i] = x[kShuffle[i]];
    for (int j = 0; j < 4; ++j) put32(out + 4 * j, ror(le32(y + 4 * j), 3 + 4 * j));
}

void descramble_block(const uint8_t *in, uint8_t *out) {
    uint8_t x[16], y[16];
    for (int j = 0; j < 4; ++j) put32(y + 4 * j, rol(le32(in + 4 * j), 3 + 4 * j));
    for (int i = 0; i < 16; ++i) x[kShuffle[i]] = y[i];
    for (int j = 0; j < 4; ++j) put32(out + 4 * j, rol(le32(x + 4 * j) ^ key_word(j), 1 + 4 * j));
}

// Output byte i of a tail of t bytes is input byte tail_index(t, i); each permutation is its own inverse.
size_t tail_index(size_t t, size_t i) {
    static constexpr uint8_t p2[] = {1, 0}, p4[] = {2, 3, 0, 1}, p8[] = {7, 4, 3, 2, 1, 6, 5, 0};
    switch (t) {
        case 2:
            return p2[i];
        case 4:
            return p4[i];
        case 8:
            return p8[i];
        default:
            return i;
    }
}

template <bool Forward>
void run(const uint8_t *src, uint8_t *dst, size_t size, size_t limit) {
    const size_t n = std::min(size, limit);
    if (size > n) std::memmove(dst + n, src + n, size - n);
    size_t off = 0;
    for (; off + 16 <= n; off += 16) {
        uint8_t tmp[16];
        if constexpr (Forward)
            scramble_block(src + off, tmp);
        else
            descramble_block(src + off, tmp);
        std::memcpy(dst + off, tmp, 16);
    }
    const size_t t = n - off;
    uint8_t tmp[16];
    for (size_t i = 0; i < t; ++i) {
        if constexpr (Forward)
            tmp[i] = src[off + tail_index(t, i)] ^ key_byte(tail_index(t, i));
        else
            tmp[i] = src[off + tail_index(t, i)];
    }
    for (size_t i = 0; i < t; ++i) {
        if constexpr (Forward)
            dst[off + i] = tmp[i];
        else
            dst[off + i] = tmp[i] ^ key_byte(i);
    }
}

}  // namespace

void put_header(const Header &h, uint8_t *out) {
    put16(out, h.magic);
    out[2] = h.version;
    out[3] = h.flags;
    put16(out + 4, h.length);
    put16(out + 6, h.seq);
    put16(out + 8, h.type);
    out[10] = h.route;
    out[11] = h.routeFlags;
    put16(out + 12, h.sessionTag);
    out[14] = h.channel;
    out[15] = h.extra;
}

Header get_header(const uint8_t *in) {
    Header h;
    h.magic = le16(in);
    h.version = in[2];
    h.flags = in[3];
    h.length = le16(in + 4);
    h.seq = le16(in + 6);
    h.type = le16(in + 8);
    h.route = in[10];
    h.routeFlags = in[11];
    h.sessionTag = le16(in + 12);
    h.channel = in[14];
    h.extra = in[15];
    return h;
}

void scramble(const uint8_t *src, uint8_t *dst, size_t size, size_t limit) {
    run<true>(src, dst, size, limit);
}
void descramble(const uint8_t *src, uint8_t *dst, size_t size, size_t limit) {
    run<false>(src, dst, size, limit);
}

Bytes plain_packet(Header h, std::span<const uint8_t> payload) {
    Bytes out(kHeaderSize + payload.size());
    h.length = static_cast<uint16_t>(payload.size());
    put_header(h, out.data());
    if (!payload.empty()) std::memcpy(out.data() + kHeaderSize, payload.data(), payload.size());
    return out;
}

Bytes seal(Bytes plain) {
    if (plain.size() < kHeaderSize) return plain;
    plain[3] |= kFlagScrambled;
    const size_t limit = (plain[3] & kFlagHead64) ? 64 : plain.size();
    scramble(plain.data(), plain.data(), plain.size(), limit);
    return plain;
}

const char *drop_name(Drop d) {
    switch (d) {
        case Drop::kNone:
            return "none";
        case Drop::kShort:
            return "short";
        case Drop::kLong:
            return "long";
        case Drop::kPing:
            return "ping";
        case Drop::kMagic:
            return "magic";
        case Drop::kLength:
            return "length";
    }
    return "?";
}

std::optional<Packet> open_datagram(std::span<const uint8_t> data, Drop *why) {
    Drop dummy;
    Drop &d = why ? *why : dummy;
    static constexpr uint8_t kPing[] = {0xCC, 0xAA, 0xAB, 0xAB};
    if (data.size() == 4 && std::equal(data.begin(), data.end(), kPing)) return d = Drop::kPing, std::nullopt;
    if (data.size() < kHeaderSize) return d = Drop::kShort, std::nullopt;
    if (data.size() > kMaxDatagram) return d = Drop::kLong, std::nullopt;
    uint8_t head[kHeaderSize];
    descramble(data.data(), head, kHeaderSize, kHeaderSize);
    Packet p{get_header(head), {}};
    if (p.header.magic != kMagic) return d = Drop::kMagic, std::nullopt;
    const size_t rest = data.size() - kHeaderSize;
    if (p.header.length > rest) return d = Drop::kLength, std::nullopt;
    Bytes body(rest);
    descramble(data.data() + kHeaderSize, body.data(), rest, (p.header.flags & kFlagHead64) ? 48 : rest);
    body.resize(p.header.length);
    p.payload = std::move(body);
    d = Drop::kNone;
    return p;
}

std::vector<Packet> StreamFramer::feed(std::span<const uint8_t> data) {
    std::vector<Packet> out;
    if (broken_) return out;
    buf_.insert(buf_.end(), data.begin(), data.end());
    size_t pos = 0;
    while (buf_.size() - pos >= kHeaderSize) {
        uint8_t head[kHeaderSize];
        descramble(buf_.data() + pos, head, kHeaderSize, kHeaderSize);
        const Header h = get_header(head);
        if (h.magic != kMagic || h.length > kMaxPacket - kHeaderSize) {
            broken_ = true;
            buf_.clear();
            return out;
        }
        if (buf_.size() - pos < kHeaderSize + h.length) break;
        Packet p{h, Bytes(h.length)};
        descramble(buf_.data() + pos + kHeaderSize, p.payload.data(), h.length,
                   (h.flags & kFlagHead64) ? 48 : h.length);
        out.push_back(std::move(p));
        pos += kHeaderSize + h.length;
    }
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(pos));
    return out;
}

void put_addr(const Addr &a, uint8_t *out) {
    std::memset(out, 0, 16);
    if (a.empty()) return;
    out[1] = 2;  // AF_INET at offset 1; byte 0 (record family flag) stays 0 = IPv4
    out[2] = static_cast<uint8_t>(a.port >> 8);
    out[3] = static_cast<uint8_t>(a.port);
    for (int i = 0; i < 4; ++i) out[4 + i] = a.ip[static_cast<size_t>(i)];
}

Addr get_addr(const uint8_t *in) {
    Addr a;
    a.port = static_cast<uint16_t>(in[2] << 8 | in[3]);
    for (int i = 0; i < 4; ++i) a.ip[static_cast<size_t>(i)] = in[4 + i];
    return a;
}

Addr addr_from(const sockaddr_in &sa) {
    Addr a;
    const uint32_t ip = ntohl(sa.sin_addr.s_addr);
    for (int i = 0; i < 4; ++i) a.ip[static_cast<size_t>(i)] = static_cast<uint8_t>(ip >> (24 - 8 * i));
    a.port = ntohs(sa.sin_port);
    return a;
}

void addr_to(const Addr &a, sockaddr_in &sa) {
    sa = sockaddr_in{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(a.port);
    sa.sin_addr.s_addr = htonl(static_cast<uint32_t>(a.ip[0]) << 24 | a.ip[1] << 16 | a.ip[2] << 8 |
                               static_cast<uint32_t>(a.ip[3]));
}

std::string addr_text(const Addr &a) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u:%u", a.ip[0], a.ip[1], a.ip[2], a.ip[3], a.port);
    return buf;
}

std::optional<Addr> parse_addr(const std::string &text) {
    unsigned v[5];
    char tail;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u:%u%c", &v[0], &v[1], &v[2], &v[3], &v[4], &tail) != 5)
        return std::nullopt;
    Addr a;
    for (int i = 0; i < 4; ++i) {
        if (v[i] > 255) return std::nullopt;
        a.ip[static_cast<size_t>(i)] = static_cast<uint8_t>(v[i]);
    }
    if (v[4] > 65535) return std::nullopt;
    a.port = static_cast<uint16_t>(v[4]);
    return a;
}

std::string to_hex(std::span<const uint8_t> data) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    s.reserve(data.size() * 2);
    for (uint8_t b : data) {
        s += kDigits[b >> 4];
        s += kDigits[b & 15];
    }
    return s;
}

std::optional<Bytes> from_hex(const std::string &hex) {
    if (hex.size() % 2) return std::nullopt;
    auto nib = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    Bytes out;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int hi = nib(hex[i]), lo = nib(hex[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return out;
}

}  // namespace qvbed::psl
