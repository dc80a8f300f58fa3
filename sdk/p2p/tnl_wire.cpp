#include "p2p/tnl_wire.h"

#include <string.h>

#include "p2p/tnl_api.h"

void tnl_Put16(uint8_t *p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

void tnl_Put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(v >> (8 * i));
}

uint16_t tnl_Get16(const uint8_t *p) {
    return (uint16_t)(p[0] | (p[1] << 8));
}

uint32_t tnl_Get32(const uint8_t *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

void tnl_Header_Write(uint8_t *out, const TunnelMessageHeader &h) {
    out[0] = h.type;
    out[1] = h.connection;
    tnl_Put16(out + 2, h.length);
}

TunnelMessageHeader tnl_Header_Read(const uint8_t *in) {
    return TunnelMessageHeader{in[0], in[1], tnl_Get16(in + 2)};
}

std::vector<uint8_t> tnl_Message(uint8_t type, uint8_t connection, const void *payload, uint16_t length) {
    std::vector<uint8_t> m(TNL_HEADER + (size_t)length);
    tnl_Header_Write(m.data(), TunnelMessageHeader{type, connection, length});
    if (length) memcpy(m.data() + TNL_HEADER, payload, length);
    return m;
}

std::vector<uint8_t> tnl_AuthRequest(const void *authData, uint32_t authLength) {
    if (authLength > TNL_AUTH_MAX) return {};
    std::vector<uint8_t> m(TNL_AUTH_HEAD + (size_t)authLength);
    tnl_Header_Write(m.data(), TunnelMessageHeader{TNL_AUTH, 0, (uint16_t)(authLength + 8)});
    tnl_Put32(m.data() + 4, TNL_VERSION);
    tnl_Put32(m.data() + 8, authLength);
    if (authLength) memcpy(m.data() + TNL_AUTH_HEAD, authData, authLength);
    return m;
}

int tnl_AuthHead_Parse(const uint8_t *in, size_t n, TunnelAuthHead *out) {
    if (!in || n < TNL_AUTH_HEAD || in[0] != TNL_AUTH) return -1;
    TunnelAuthHead h{tnl_Get16(in + 2), tnl_Get32(in + 4), tnl_Get32(in + 8)};
    if (h.length == 0) {
        if (h.authLength != 0) return -1;
    } else if (h.authLength > TNL_AUTH_MAX || h.length != h.authLength + 8) {
        return -1;
    }
    if (out) *out = h;
    return 0;
}

int tnl_ReadAuthRequest(const std::function<int(uint8_t *, int)> &readExactly, uint8_t head[TNL_AUTH_HEAD],
                        TunnelAuthHead *out, std::vector<uint8_t> *auth) {
    int r = readExactly(head, TNL_AUTH_HEAD);
    if (r != 0) return r < 0 ? r : -1;
    TunnelAuthHead h{};
    if (tnl_AuthHead_Parse(head, TNL_AUTH_HEAD, &h) != 0) return -1;
    auth->assign(h.authLength, 0);
    if (h.authLength && (r = readExactly(auth->data(), (int)h.authLength)) != 0) return r < 0 ? r : -1;
    *out = h;
    return 0;
}

std::vector<uint8_t> tnl_AuthReply(bool accepted, bool withResult, int32_t result) {
    const uint8_t type = accepted ? TNL_AUTH_OK : TNL_AUTH_REFUSED;
    if (!withResult) return tnl_Message(type, 0);
    uint8_t w[4];
    tnl_Put32(w, (uint32_t)result);
    return tnl_Message(type, 0, w, 4);
}

int tnl_AuthReplyHead_Check(const TunnelMessageHeader &h) {
    if (h.type != TNL_AUTH_OK && h.type != TNL_AUTH_REFUSED) return -1;
    if (h.connection != 0 || (h.length != 0 && h.length != 4)) return -1;
    return 0;
}

uint32_t tnl_LanStep(uint32_t x) {
    return x > 100 ? x - 10 : 91;
}

void tnl_ConnectTarget_Write(uint8_t *out, uint32_t ipv4Net, uint16_t port) {
    memset(out, 0, TNL_CONNECT_PAYLOAD);
    out[1] = 2;
    out[2] = (uint8_t)(port >> 8);
    out[3] = (uint8_t)port;
    memcpy(out + 4, &ipv4Net, 4);
}

void tnl_ConnectTarget_Read(const uint8_t *in, uint32_t *ipv4Net, uint16_t *port) {
    if (port) *port = (uint16_t)((in[2] << 8) | in[3]);
    if (ipv4Net) memcpy(ipv4Net, in + 4, 4);
}
