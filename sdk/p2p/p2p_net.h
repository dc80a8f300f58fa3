// Address records, address blocks, interface queries and name resolution of the peer-to-peer library.
// Small negative results: -46 invalid argument, -2 resolution failed, -1 missing argument.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

#include "p2p/p2p_platform.h"

// The 20-byte address record: family 0 IPv4 / 1 IPv6, reserved, port, 16 address bytes (IPv4 in the first 4).
struct p2p_NetAddr {
    uint8_t family;
    uint8_t reserved;
    uint16_t port;
    uint8_t address[16];
};
static_assert(sizeof(p2p_NetAddr) == 20, "address record is 20 bytes");

struct p2p_AddrNode {
    p2p_NetAddr addr;
    p2p_AddrNode *prev;
    p2p_AddrNode *next;
};
struct p2p_AddrList {
    int32_t count;
    p2p_Mutex lock;
    p2p_AddrNode *head;  // circular: head->prev is the tail
};

struct p2p_LocalIfInfo {
    uint8_t ipv4Count;
    char macText[18];
    uint8_t mac[6];
    uint32_t ipv4[4];  // network order
    uint32_t netmask[4];
    uint8_t flag;
};

int p2p_Net_ResolveAddrList(const char *host, p2p_AddrList **first, p2p_AddrList **second);
int p2p_Net_FreeAddrList(p2p_AddrList *list);
int p2p_Net_AddrToString(const p2p_NetAddr *addr, size_t size, char *text, uint16_t *port, uint8_t *family);
int p2p_Net_ResolveAddr(const char *numericHost, uint16_t port, p2p_NetAddr *out);
// The record as a socket address (no text on the way); -46 for an unknown family.
int p2p_Net_AddrToSockaddr(const p2p_NetAddr *addr, struct sockaddr_storage *out, socklen_t *len);
int p2p_Net_IPv4ToMappedText(const p2p_NetAddr *in, size_t size, char *text);
int p2p_Net_IPv4ToIPv6(const p2p_NetAddr *in, int nat64, p2p_NetAddr *out);
int p2p_Net_CheckMappedIPv4(char *host, size_t size);
int p2p_Net_IPv6_GetScopeId(void);
// protocol 0 stream, 1 datagram; port in network order; out must hold a sockaddr_in6.
int p2p_Net_ResolveSockaddr(const char *host, int protocol, uint16_t port, struct sockaddr *out);
int p2p_Net_SockaddrToHost(const struct sockaddr *sa, socklen_t size, char *text, size_t textSize,
                           uint16_t *port);
int p2p_Net_SockaddrToString(const struct sockaddr *sa, socklen_t size, char *text, size_t textSize);
int p2p_Net_GetLocalMacAndIPv4(p2p_LocalIfInfo *out);

// The 16-byte address block of the session messages: 00 02, port (network order), IPv4 (network order),
// eight zero bytes. Built and read field by field.
enum { P2P_ADDR_BLOCK = 16 };
void p2p_AddrBlock_Write(uint8_t *out, uint32_t ipv4Net, uint16_t portNet);
void p2p_AddrBlock_FromSockaddr(uint8_t *out, const struct sockaddr_in *sin);
// Reads the port and address by offset, whatever the family bytes say.
void p2p_AddrBlock_Read(const uint8_t *in, uint32_t *ipv4Net, uint16_t *portNet);
void p2p_AddrBlock_ToSockaddr(const uint8_t *in, struct sockaddr_in *sin);
