// Address and interface helpers.
#include "p2p/p2p_net.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netpacket/packet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

namespace {

int resolveNumeric(const char *host, int family, int socktype, addrinfo **res) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = socktype;
    hints.ai_flags = AI_NUMERICHOST;
    return getaddrinfo(host, nullptr, &hints, res);
}

bool isMapped(const in6_addr &a) {
    return IN6_IS_ADDR_V4MAPPED(&a);
}

// The system's own IPv6 form of an IPv4 address (NAT64 synthesis), when the resolver gives one.
bool systemIPv6Form(const uint8_t *v4, in6_addr *out) {
    char text[INET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, v4, text, sizeof text)) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_V4MAPPED | AI_NUMERICHOST;
    addrinfo *res = nullptr;
    if (getaddrinfo(text, nullptr, &hints, &res) != 0) return false;
    bool found = false;
    for (addrinfo *r = res; r; r = r->ai_next) {
        if (r->ai_family != AF_INET6) continue;
        const in6_addr &a = reinterpret_cast<sockaddr_in6 *>(r->ai_addr)->sin6_addr;
        if (isMapped(a)) continue;  // the plain mapped form is not a synthesis
        *out = a;
        found = true;
        break;
    }
    freeaddrinfo(res);
    return found;
}

bool skipInterface(const ifaddrs *ifa) {
    // Loopback and interfaces that are down are never this host's identity.
    return !ifa->ifa_addr || !(ifa->ifa_flags & IFF_UP) || (ifa->ifa_flags & IFF_LOOPBACK) ||
           strncmp(ifa->ifa_name, "lo", 2) == 0;
}

}  // namespace

int p2p_Net_ResolveAddrList(const char *host, p2p_AddrList **first, p2p_AddrList **second) {
    if (!host) return -1;
    p2p_AddrList *lists[2] = {nullptr, nullptr};
    for (int i = 0; i < 2; ++i) {
        void *p = nullptr;
        if (p2p_Malloc(sizeof(p2p_AddrList), &p) != 0) {
            free(lists[0]);
            return -58;
        }
        memset(p, 0, sizeof(p2p_AddrList));
        lists[i] = static_cast<p2p_AddrList *>(p);
    }
    p2p_Mutex_Init(&lists[0]->lock, "sample_ipv4_list");
    p2p_Mutex_Init(&lists[1]->lock, "sample_ipv6_list");
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0) {
        p2p_Net_FreeAddrList(lists[0]);
        p2p_Net_FreeAddrList(lists[1]);
        return -2;
    }
    int rc = 0;
    for (addrinfo *r = res; r && rc == 0; r = r->ai_next) {
        bool dup = false;
        for (addrinfo *e = res; e != r; e = e->ai_next) {
            if (e->ai_family != r->ai_family) continue;
            if (r->ai_family == AF_INET && reinterpret_cast<sockaddr_in *>(e->ai_addr)->sin_addr.s_addr ==
                                               reinterpret_cast<sockaddr_in *>(r->ai_addr)->sin_addr.s_addr)
                dup = true;
            if (r->ai_family == AF_INET6 &&
                memcmp(&reinterpret_cast<sockaddr_in6 *>(e->ai_addr)->sin6_addr,
                       &reinterpret_cast<sockaddr_in6 *>(r->ai_addr)->sin6_addr, 16) == 0)
                dup = true;
        }
        if (dup) continue;
        p2p_NetAddr a{};
        a.family = 1;
        if (r->ai_family == AF_INET && first) {
            a.address[10] = a.address[11] = 0xff;
            memcpy(a.address + 12, &reinterpret_cast<sockaddr_in *>(r->ai_addr)->sin_addr, 4);
        } else if (r->ai_family == AF_INET6 && second) {
            memcpy(a.address, &reinterpret_cast<sockaddr_in6 *>(r->ai_addr)->sin6_addr, 16);
        } else {
            continue;
        }
        // Both families go to the second list; every record is in IPv6 form.
        p2p_AddrList *l = lists[1];
        auto *n = static_cast<p2p_AddrNode *>(calloc(1, sizeof(p2p_AddrNode)));
        if (!n) {
            rc = -58;
            break;
        }
        n->addr = a;
        p2p_Mutex_Lock(&l->lock, 1);
        if (!l->head) {
            n->prev = n->next = n;
            l->head = n;
        } else {
            n->prev = l->head->prev;
            n->next = l->head;
            l->head->prev->next = n;
            l->head->prev = n;
        }
        l->count++;
        p2p_Mutex_Unlock(&l->lock);
    }
    freeaddrinfo(res);
    if (rc != 0) {
        p2p_Net_FreeAddrList(lists[0]);
        p2p_Net_FreeAddrList(lists[1]);
        return rc;
    }
    if (first)
        *first = lists[0];
    else
        p2p_Net_FreeAddrList(lists[0]);
    if (second)
        *second = lists[1];
    else
        p2p_Net_FreeAddrList(lists[1]);
    return 0;
}

int p2p_Net_FreeAddrList(p2p_AddrList *list) {
    if (!list) return -1;
    p2p_Mutex_Lock(&list->lock, 1);
    if (list->head) {
        p2p_AddrNode *n = list->head;
        n->prev->next = nullptr;
        while (n) {
            p2p_AddrNode *next = n->next;
            free(n);
            n = next;
        }
    }
    list->head = nullptr;
    list->count = 0;
    p2p_Mutex_Unlock(&list->lock);
    p2p_Mutex_Destroy(&list->lock);
    free(list);
    return 0;
}

int p2p_Net_AddrToString(const p2p_NetAddr *addr, size_t size, char *text, uint16_t *port, uint8_t *family) {
    if (!addr || addr->family > 1) return -46;
    if (text && size > 0) {
        const uint8_t *a = addr->address;
        if (addr->family == 0) {
            snprintf(text, size, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
        } else {
            snprintf(text, size, "%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x",
                     a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11], a[12], a[13],
                     a[14], a[15]);
        }
    }
    if (port) *port = addr->port;
    if (family) *family = addr->family;
    return 0;
}

int p2p_Net_ResolveAddr(const char *numericHost, uint16_t port, p2p_NetAddr *out) {
    if (!out) return -46;
    memset(out, 0, sizeof *out);
    if (!numericHost) return -46;
    out->port = port;
    // Plain dotted and colon forms (every received datagram's sender) parse without the resolver; scoped and
    // other numeric forms still go through it.
    if (inet_pton(AF_INET, numericHost, out->address) == 1) return 0;
    if (inet_pton(AF_INET6, numericHost, out->address) == 1) {
        out->family = 1;
        return 0;
    }
    memset(out, 0, sizeof *out);
    addrinfo *res = nullptr;
    if (resolveNumeric(numericHost, AF_UNSPEC, SOCK_DGRAM, &res) != 0 || !res) return -46;
    int rc = 0;
    if (res->ai_family == AF_INET) {
        out->family = 0;
        memcpy(out->address, &reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr, 4);
    } else if (res->ai_family == AF_INET6) {
        out->family = 1;
        memcpy(out->address, &reinterpret_cast<sockaddr_in6 *>(res->ai_addr)->sin6_addr, 16);
    } else {
        rc = -46;
    }
    out->port = port;
    freeaddrinfo(res);
    return rc;
}

int p2p_Net_AddrToSockaddr(const p2p_NetAddr *addr, struct sockaddr_storage *out, socklen_t *len) {
    if (!addr || !out || addr->family > 1) return -46;
    memset(out, 0, sizeof *out);
    if (addr->family == 0) {
        auto *sin = reinterpret_cast<sockaddr_in *>(out);
        sin->sin_family = AF_INET;
        sin->sin_port = addr->port;
        memcpy(&sin->sin_addr, addr->address, 4);
        if (len) *len = sizeof(sockaddr_in);
    } else {
        auto *sin6 = reinterpret_cast<sockaddr_in6 *>(out);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = addr->port;
        memcpy(&sin6->sin6_addr, addr->address, 16);
        if (len) *len = sizeof(sockaddr_in6);
    }
    return 0;
}

int p2p_Net_IPv4ToMappedText(const p2p_NetAddr *in, size_t size, char *text) {
    if (!in || !text || size == 0) return -1;
    in6_addr a;
    if (systemIPv6Form(in->address, &a)) {
        inet_ntop(AF_INET6, &a, text, (socklen_t)size);
        return 0;
    }
    const uint8_t *v = in->address;
    snprintf(text, size, "::ffff:%d.%d.%d.%d", v[0], v[1], v[2], v[3]);
    return 0;
}

int p2p_Net_IPv4ToIPv6(const p2p_NetAddr *in, int nat64, p2p_NetAddr *out) {
    if (!in || !out) return -1;
    p2p_NetAddr r{};
    r.family = 1;
    r.port = in->port;
    in6_addr a;
    if (systemIPv6Form(in->address, &a)) {
        memcpy(r.address, &a, 16);
    } else if (nat64) {
        static const uint8_t prefix[12] = {0x00, 0x64, 0xff, 0x9b, 0, 0, 0, 0, 0, 0, 0, 0};
        memcpy(r.address, prefix, 12);
        memcpy(r.address + 12, in->address, 4);
    } else {
        r.address[10] = r.address[11] = 0xff;
        memcpy(r.address + 12, in->address, 4);
    }
    *out = r;
    return 0;
}

int p2p_Net_CheckMappedIPv4(char *host, size_t size) {
    if (!host) return -2;
    addrinfo *res = nullptr;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) return -2;
    int rc;
    if (res->ai_family == AF_INET) {
        rc = 0;
    } else if (res->ai_family == AF_INET6) {
        const in6_addr &a = reinterpret_cast<sockaddr_in6 *>(res->ai_addr)->sin6_addr;
        if (isMapped(a)) {
            char v4[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, a.s6_addr + 12, v4, sizeof v4);
            snprintf(host, size, "%s", v4);
            rc = 2;
        } else {
            rc = 1;
        }
    } else {
        rc = -2;
    }
    freeaddrinfo(res);
    return rc;
}

static std::atomic<int> g_scopeId{-1};

int p2p_Net_IPv6_GetScopeId(void) {
    int cached = g_scopeId.load();
    if (cached != -1) return cached;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return -1;
    for (ifaddrs *i = list; i; i = i->ifa_next) {
        if (skipInterface(i) || i->ifa_addr->sa_family != AF_INET6) continue;
        char text[INET6_ADDRSTRLEN];
        if (!inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 *>(i->ifa_addr)->sin6_addr, text,
                       sizeof text))
            break;
        if (strncmp(i->ifa_name, "en", 2) != 0 || strncmp(text, "fe80", 4) != 0) continue;
        char full[INET6_ADDRSTRLEN + IFNAMSIZ + 2];
        snprintf(full, sizeof full, "%s%%%s", text, i->ifa_name);
        addrinfo *res = nullptr;
        if (resolveNumeric(full, AF_UNSPEC, SOCK_DGRAM, &res) != 0 || !res) continue;
        if (res->ai_family == AF_INET6) {
            g_scopeId = (int)reinterpret_cast<sockaddr_in6 *>(res->ai_addr)->sin6_scope_id;
            freeaddrinfo(res);
            break;
        }
        printf("p2p_Net_IPv6_GetScopeId! %d\n", g_scopeId.load());
        freeaddrinfo(res);
    }
    freeifaddrs(list);
    return g_scopeId.load();
}

int p2p_Net_ResolveSockaddr(const char *host, int protocol, uint16_t port, struct sockaddr *out) {
    if (protocol != 0 && protocol != 1) return -46;
    if (!out) return -46;
    addrinfo hints{};
    hints.ai_socktype = protocol == 1 ? SOCK_DGRAM : SOCK_STREAM;
    if (!host) {
        hints.ai_flags = AI_PASSIVE;
        hints.ai_family = AF_INET6;
    } else {
        hints.ai_family = AF_UNSPEC;
    }
    if (host) {
        // Numeric addresses, the common case on every send, need no resolver.
        sockaddr_in sin{};
        if (inet_pton(AF_INET, host, &sin.sin_addr) == 1) {
            sin.sin_family = AF_INET;
            sin.sin_port = port;
            memcpy(out, &sin, sizeof sin);
            return 0;
        }
        sockaddr_in6 sin6{};
        if (inet_pton(AF_INET6, host, &sin6.sin6_addr) == 1) {
            sin6.sin6_family = AF_INET6;
            sin6.sin6_port = port;
            memcpy(out, &sin6, sizeof sin6);
            return 0;
        }
    }
    char service[8];
    snprintf(service, sizeof service, "%u", (unsigned)ntohs(port));
    addrinfo *res = nullptr;
    if (getaddrinfo(host, service, &hints, &res) != 0 || !res) return TERROR_ADDR_UNRESOLVED;
    int rc = 0;
    if (res->ai_family == AF_INET) {
        memcpy(out, res->ai_addr, sizeof(sockaddr_in));
    } else if (res->ai_family == AF_INET6) {
        memcpy(out, res->ai_addr, sizeof(sockaddr_in6));
        reinterpret_cast<sockaddr_in6 *>(out)->sin6_port = port;
    } else {
        rc = TERROR_ADDR_UNRESOLVED;
    }
    freeaddrinfo(res);
    return rc;
}

int p2p_Net_SockaddrToHost(const struct sockaddr *sa, socklen_t size, char *text, size_t textSize,
                           uint16_t *port) {
    if (!sa) return -46;
    if (text && textSize > 0) {
        // Plain addresses format directly (this runs for every received datagram); the resolver handles the
        // rest.
        const char *done = nullptr;
        if (sa->sa_family == AF_INET && size >= (socklen_t)sizeof(sockaddr_in))
            done = inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, text,
                             (socklen_t)textSize);
        else if (sa->sa_family == AF_INET6 && size >= (socklen_t)sizeof(sockaddr_in6) &&
                 reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_scope_id == 0)
            done = inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr, text,
                             (socklen_t)textSize);
        if (!done && getnameinfo(sa, size, text, (socklen_t)textSize, nullptr, 0, NI_NUMERICHOST) != 0)
            snprintf(text, textSize, "?ipaddr?");
    }
    if (port) {
        if (sa->sa_family == AF_INET)
            *port = ntohs(reinterpret_cast<const sockaddr_in *>(sa)->sin_port);
        else if (sa->sa_family == AF_INET6)
            *port = ntohs(reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_port);
        else
            *port = 0;
    }
    return 0;
}

int p2p_Net_SockaddrToString(const struct sockaddr *sa, socklen_t size, char *text, size_t textSize) {
    if (!sa || !text || textSize == 0) return -46;
    char host[NI_MAXHOST], serv[NI_MAXSERV];
    if (getnameinfo(sa, size, host, sizeof host, serv, sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        snprintf(text, textSize, "?ipaddr?:?port?");
        return 0;
    }
    const char *fmt = sa->sa_family == AF_INET6 ? "[%s]:%s" : sa->sa_family == AF_INET ? "%s:%s" : "(%s):%s";
    snprintf(text, textSize, fmt, host, serv);
    return 0;
}

int p2p_Net_GetLocalMacAndIPv4(p2p_LocalIfInfo *out) {
    if (!out) return -1;
    out->ipv4Count = 0;
    out->flag = 0;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return -1;
    bool first = true;
    for (ifaddrs *i = list; i; i = i->ifa_next) {
        if (skipInterface(i)) continue;
        if (first) {
            first = false;
            if (i->ifa_addr->sa_family == AF_PACKET) {
                const auto *ll = reinterpret_cast<const sockaddr_ll *>(i->ifa_addr);
                if (ll->sll_halen == 6) {
                    memcpy(out->mac, ll->sll_addr, 6);
                    snprintf(out->macText, sizeof out->macText, "%02x:%02x:%02x:%02x:%02x:%02x",
                             ll->sll_addr[0], ll->sll_addr[1], ll->sll_addr[2], ll->sll_addr[3],
                             ll->sll_addr[4], ll->sll_addr[5]);
                }
            }
        }
        if (i->ifa_addr->sa_family == AF_INET && out->ipv4Count < 4) {
            out->ipv4[out->ipv4Count] = reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr;
            out->netmask[out->ipv4Count] =
                i->ifa_netmask ? reinterpret_cast<const sockaddr_in *>(i->ifa_netmask)->sin_addr.s_addr : 0;
            out->ipv4Count++;
        }
    }
    freeifaddrs(list);
    return out->ipv4Count;
}

void p2p_AddrBlock_Write(uint8_t *out, uint32_t ipv4Net, uint16_t portNet) {
    memset(out, 0, P2P_ADDR_BLOCK);
    out[0] = 0;  // family flag: IPv4
    out[1] = 2;  // AF_INET, so the block also reads as a socket address
    const auto *p = reinterpret_cast<const uint8_t *>(&portNet);
    out[2] = p[0];
    out[3] = p[1];
    const auto *a = reinterpret_cast<const uint8_t *>(&ipv4Net);
    out[4] = a[0];
    out[5] = a[1];
    out[6] = a[2];
    out[7] = a[3];
}

void p2p_AddrBlock_FromSockaddr(uint8_t *out, const struct sockaddr_in *sin) {
    p2p_AddrBlock_Write(out, sin->sin_addr.s_addr, sin->sin_port);
}

void p2p_AddrBlock_Read(const uint8_t *in, uint32_t *ipv4Net, uint16_t *portNet) {
    if (portNet) memcpy(portNet, in + 2, 2);
    if (ipv4Net) memcpy(ipv4Net, in + 4, 4);
}

void p2p_AddrBlock_ToSockaddr(const uint8_t *in, struct sockaddr_in *sin) {
    memset(sin, 0, sizeof *sin);
    sin->sin_family = AF_INET;
    p2p_AddrBlock_Read(in, &sin->sin_addr.s_addr, &sin->sin_port);
}
