// Tunnel messages on a session's stream: a 4-byte header {type, connection, u16 length LE} and its payload;
// the authentication request and reply, the LAN test's values and the connect target. Builders write into
// caller buffers; readers check every length before they look.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <vector>

enum TunnelMsgType : uint8_t {
    TNL_CONNECT = 1,
    TNL_DATA = 2,
    TNL_DATA_END = 3,
    TNL_CLOSE = 4,
    TNL_PAUSE = 5,
    TNL_RESUME = 6,
    TNL_HOLD = 7,  // inside a running session
    TNL_AUTH = 7,  // as the first message of a session
    TNL_AUTH_OK = 8,
    TNL_AUTH_REFUSED = 9,
    TNL_LAN_TEST = 10,
    TNL_LAN_TEST_REPLY = 11,
};

enum {
    TNL_HEADER = 4,
    TNL_PAYLOAD_MAX = 8192,
    TNL_AUTH_HEAD = 12,
    TNL_CONNECT_PAYLOAD = 16,
    TNL_LAN_PAYLOAD = 8,
};

struct TunnelMessageHeader {
    uint8_t type;
    uint8_t connection;
    uint16_t length;
};

void tnl_Header_Write(uint8_t *out, const TunnelMessageHeader &h);
TunnelMessageHeader tnl_Header_Read(const uint8_t *in);
// A whole message: header and payload.
std::vector<uint8_t> tnl_Message(uint8_t type, uint8_t connection, const void *payload = nullptr,
                                 uint16_t length = 0);

// The authentication request: 12 + authLength bytes, or an empty vector for an authLength above 1,000.
std::vector<uint8_t> tnl_AuthRequest(const void *authData, uint32_t authLength);

struct TunnelAuthHead {
    uint16_t length;  // the header's length field
    uint32_t version;
    uint32_t authLength;
};
// The 12-byte head of a request: 0 when it is a request the device reads further (type 7; length field 0
// with authLength 0, or authLength at most 1,000 and equal to the length field minus 8); -1 otherwise.
int tnl_AuthHead_Parse(const uint8_t *in, size_t n, TunnelAuthHead *out);

// Reads a request through readExactly (0 when all n bytes came, else negative): the head, checked, then
// exactly its authLength bytes. 0; -1 for a head that is not a request; or the failed read's result.
int tnl_ReadAuthRequest(const std::function<int(uint8_t *, int)> &readExactly, uint8_t head[TNL_AUTH_HEAD],
                        TunnelAuthHead *out, std::vector<uint8_t> *auth);

// The reply: {8 or 9, 0, 0} or with the result word {.., 4, result}.
std::vector<uint8_t> tnl_AuthReply(bool accepted, bool withResult, int32_t result);
// A reply header: 0 when its type is 8 or 9 and its length 0 or 4; -1 otherwise.
int tnl_AuthReplyHead_Check(const TunnelMessageHeader &h);

// The LAN test's step: x - 10 above 100, else 91.
uint32_t tnl_LanStep(uint32_t x);

// The connect target: 16 bytes {0, 2, port BE, IPv4 (network order), 8 zero bytes}.
void tnl_ConnectTarget_Write(uint8_t *out, uint32_t ipv4Net, uint16_t port);
// Reads the address and port back (the family byte is not checked: the receiver sets it).
void tnl_ConnectTarget_Read(const uint8_t *in, uint32_t *ipv4Net, uint16_t *port);

void tnl_Put16(uint8_t *p, uint16_t v);
void tnl_Put32(uint8_t *p, uint32_t v);
uint16_t tnl_Get16(const uint8_t *p);
uint32_t tnl_Get32(const uint8_t *p);
