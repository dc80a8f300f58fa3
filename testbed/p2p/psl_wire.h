// The test bed's own session packet codec: header, scrambler and framing, written from the servers' side.
// Nothing here is shared with the client library, so one misreading cannot hide on both sides.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

struct sockaddr_in;

namespace qvbed::psl {

using Bytes = std::vector<uint8_t>;

inline constexpr uint16_t kMagic = 0x0204;
inline constexpr uint8_t kVersion = 20;
inline constexpr size_t kHeaderSize = 16;
inline constexpr size_t kMaxDatagram = 1416;  // larger datagrams are dropped unread
inline constexpr size_t kMaxPacket = 1500;    // no sender builds more

inline constexpr uint8_t kFlagHead64 = 0x01;
inline constexpr uint8_t kFlagScrambled = 0x02;
inline constexpr uint8_t kFlagForward = 0x04;
inline constexpr uint8_t kFlagSessionExt = 0x08;

// The 16-byte packet header; every multi-byte field little-endian on the wire.
struct Header {
    uint16_t magic = kMagic;
    uint8_t version = kVersion;
    uint8_t flags = kFlagScrambled;
    uint16_t length = 0;  // payload bytes after the header
    uint16_t seq = 0;
    uint16_t type = 0;
    uint8_t route = 0;
    uint8_t routeFlags = 0;
    uint16_t sessionTag = 0;
    uint8_t channel = 0;
    uint8_t extra = 0;
};

void put_header(const Header &h, uint8_t *out);  // writes 16 bytes
Header get_header(const uint8_t *in);            // reads 16 bytes

// Scrambles the first min(size, limit) bytes of src into dst (16-byte blocks, then the tail rule) and copies
// the rest unchanged. dst must hold size bytes; src and dst may be the same buffer.
void scramble(const uint8_t *src, uint8_t *dst, size_t size, size_t limit);
// The exact inverse, same arguments.
void descramble(const uint8_t *src, uint8_t *dst, size_t size, size_t limit);

// A plain packet (header + payload, header length already right) as sent: SCRAMBLED set, the whole packet
// scrambled, or only its first 64 bytes with HEAD64.
Bytes seal(Bytes plain);
// Header + payload as one plain packet: `length` is set from the payload.
Bytes plain_packet(Header h, std::span<const uint8_t> payload);

struct Packet {
    Header header;
    Bytes payload;  // exactly header.length bytes
};

enum class Drop { kNone, kShort, kLong, kPing, kMagic, kLength };
const char *drop_name(Drop d);

// A received datagram: dropped under 16 bytes, over 1,416, the bare 4-byte ping, a bad magic or a length past
// the end (bytes beyond 16 + length are ignored). The header is descrambled alone, then the rest.
std::optional<Packet> open_datagram(std::span<const uint8_t> data, Drop *why = nullptr);

// Packets back to back in a TCP stream: keeps a partial packet until the rest arrives. A bad magic or a
// length no sender would build poisons the stream (the connection should be closed).
class StreamFramer {
  public:
    // Appends bytes and returns every packet now complete, in order.
    std::vector<Packet> feed(std::span<const uint8_t> data);
    bool broken() const { return broken_; }
    size_t buffered() const { return buf_.size(); }

  private:
    Bytes buf_;
    bool broken_ = false;
};

// Address block of 16 bytes: 00 02 <port, network order> <IPv4, 4 bytes> 00 x 8. An all-zero block means
// "no address". Built and read field by field.
struct Addr {
    std::array<uint8_t, 4> ip{};  // a.b.c.d in wire order
    uint16_t port = 0;            // host order
    bool empty() const { return ip == std::array<uint8_t, 4>{} && port == 0; }
    bool operator==(const Addr &) const = default;
};
void put_addr(const Addr &a, uint8_t *out);  // 16 bytes; the empty address gives 16 zero bytes
Addr get_addr(const uint8_t *in);            // port and address by offset; the family bytes are not checked
std::string addr_text(const Addr &a);        // "a.b.c.d:port"
// The address of a socket and back, field by field (port and address taken apart, never the struct copied).
Addr addr_from(const sockaddr_in &sa);
void addr_to(const Addr &a, sockaddr_in &sa);
std::optional<Addr> parse_addr(const std::string &text);

std::string to_hex(std::span<const uint8_t> data);
std::optional<Bytes> from_hex(const std::string &hex);

}  // namespace qvbed::psl
