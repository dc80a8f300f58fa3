#include "p2p/psl_addrclass.h"

#include <arpa/inet.h>
#include <string.h>

namespace {

bool private_v4(const unsigned char *a) {
    return a[0] == 10 || (a[0] == 172 && a[1] >= 16 && a[1] <= 31) || (a[0] == 192 && a[1] == 168);
}

}  // namespace

int _PSL_IsPrivateIPv4(const char *text) {
    in_addr a{};
    if (!text || inet_pton(AF_INET, text, &a) != 1) return 0;
    return private_v4(reinterpret_cast<const unsigned char *>(&a.s_addr)) ? 1 : 0;
}

// IPv6 texts are parsed rather than matched by character position, so every spelling of the same address
// (compressed, full, mixed) is classed alike and the whole 172.16/12 block counts.
int _PSL_IsPrivateAddress(const char *text) {
    if (!text) return 0;
    if (!strchr(text, ':')) return _PSL_IsPrivateIPv4(text);
    char host[64];
    const size_t n = strcspn(text, "%");  // drop a zone index
    if (n >= sizeof host) return 0;
    memcpy(host, text, n);
    host[n] = 0;
    in6_addr a{};
    if (inet_pton(AF_INET6, host, &a) != 1) return 0;
    const unsigned char *b = a.s6_addr;
    if (b[0] == 0xfe && (b[1] & 0xc0) == 0x80) return 1;  // link-local
    static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    static const unsigned char kNat64[12] = {0x00, 0x64, 0xff, 0x9b, 0, 0, 0, 0, 0, 0, 0, 0};
    if (memcmp(b, kMapped, 12) == 0 || memcmp(b, kNat64, 12) == 0) return private_v4(b + 12) ? 1 : 0;
    return 0;
}
