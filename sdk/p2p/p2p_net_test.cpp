// Address helpers, address blocks and the host's interface identity.
#include "p2p/p2p_net.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netdb.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace {

p2p_NetAddr v4(const char *text, uint16_t port = 0) {
    p2p_NetAddr a{};
    EXPECT_EQ(p2p_Net_ResolveAddr(text, port, &a), 0) << text;
    return a;
}

std::string addrText(const p2p_NetAddr &a) {
    char buf[64] = "";
    p2p_Net_AddrToString(&a, sizeof buf, buf, nullptr, nullptr);
    return buf;
}

TEST(P2pNet, EdgeCases) {
    struct Case {
        const char *name;
        std::string (*run)();
        const char *want;
    } cases[] = {
        {"IPv6 text is eight unshortened groups", [] { return addrText(v4("2001:db8::1")); },
         "2001:0db8:0000:0000:0000:0000:0000:0001"},
        {"IPv4 text is dotted", [] { return addrText(v4("192.0.2.1")); }, "192.0.2.1"},
        {"IPv4 to IPv6 with the NAT64 flag",
         [] {
             p2p_NetAddr in = v4("192.0.2.1", 1234), out{};
             p2p_Net_IPv4ToIPv6(&in, 1, &out);
             return addrText(out) + " " + std::to_string(out.family) + " " + std::to_string(out.port);
         },
         "0064:ff9b:0000:0000:0000:0000:c000:0201 1 1234"},
        {"IPv4 to IPv6 without the flag",
         [] {
             p2p_NetAddr in = v4("192.0.2.1"), out{};
             p2p_Net_IPv4ToIPv6(&in, 0, &out);
             return addrText(out);
         },
         "0000:0000:0000:0000:0000:ffff:c000:0201"},
        {"IPv4 to mapped text",
         [] {
             p2p_NetAddr in = v4("192.0.2.1");
             char t[64];
             p2p_Net_IPv4ToMappedText(&in, sizeof t, t);
             return std::string(t);
         },
         "::ffff:192.0.2.1"},
        {"mapped IPv6 host text becomes dotted",
         [] {
             char h[64] = "::ffff:10.0.0.1";
             int rc = p2p_Net_CheckMappedIPv4(h, sizeof h);
             return std::to_string(rc) + " " + h;
         },
         "2 10.0.0.1"},
        {"plain IPv4 and IPv6 hosts",
         [] {
             char a[64] = "10.0.0.1", b[64] = "2001:db8::2";
             return std::to_string(p2p_Net_CheckMappedIPv4(a, sizeof a)) + " " +
                    std::to_string(p2p_Net_CheckMappedIPv4(b, sizeof b));
         },
         "0 1"},
        {"IPv6 socket address is bracketed",
         [] {
             sockaddr_in6 s{};
             s.sin6_family = AF_INET6;
             s.sin6_port = htons(443);
             inet_pton(AF_INET6, "2001:db8::1", &s.sin6_addr);
             char t[80];
             p2p_Net_SockaddrToString((sockaddr *)&s, sizeof s, t, sizeof t);
             return std::string(t);
         },
         "[2001:db8::1]:443"},
        {"IPv4 socket address and its host",
         [] {
             sockaddr_in s{};
             s.sin_family = AF_INET;
             s.sin_port = htons(10240);
             inet_pton(AF_INET, "127.0.0.1", &s.sin_addr);
             char t[80], h[64];
             uint16_t port = 0;
             p2p_Net_SockaddrToString((sockaddr *)&s, sizeof s, t, sizeof t);
             p2p_Net_SockaddrToHost((sockaddr *)&s, sizeof s, h, sizeof h, &port);
             return std::string(t) + " " + h + " " + std::to_string(port);
         },
         "127.0.0.1:10240 127.0.0.1 10240"},
        {"bad arguments",
         [] {
             p2p_NetAddr bad{};
             bad.family = 7;
             p2p_NetAddr out{};
             return std::to_string(p2p_Net_AddrToString(&bad, 0, nullptr, nullptr, nullptr)) + " " +
                    std::to_string(p2p_Net_AddrToString(nullptr, 0, nullptr, nullptr, nullptr)) + " " +
                    std::to_string(p2p_Net_ResolveAddr("not-numeric", 1, &out)) + " " +
                    std::to_string(p2p_Net_IPv4ToIPv6(nullptr, 0, &out)) + " " +
                    std::to_string(p2p_Net_SockaddrToHost(nullptr, 0, nullptr, 0, nullptr)) + " " +
                    std::to_string(p2p_Net_ResolveSockaddr("127.0.0.1", 2, 0, (sockaddr *)&out));
         },
         "-46 -46 -46 -1 -46 -46"},
        {"a numeric host resolving twice to one address yields one record",
         [] {
             p2p_AddrList *a = nullptr, *b = nullptr;
             int rc = p2p_Net_ResolveAddrList("127.0.0.1", &a, &b);
             std::string r = std::to_string(rc) + " " + std::to_string(a->count) + " " +
                             std::to_string(b->count) + " " + addrText(b->head->addr);
             p2p_Net_FreeAddrList(a);
             p2p_Net_FreeAddrList(b);
             return r;
         },
         "0 0 1 0000:0000:0000:0000:0000:ffff:7f00:0001"},
    };
    for (const Case &c : cases) EXPECT_EQ(c.run(), c.want) << c.name;
}

// Sender addresses parse without the resolver: the record must be what the resolver would give, for the
// forms the fast parse takes and for those it leaves to the resolver.
TEST(P2pNet, NumericHostsGiveTheResolversRecordAndTheirSocketAddress) {
    const char *hosts[] = {"192.168.30.3", "0.0.0.0",   "255.255.255.255", "::ffff:192.168.30.3",
                           "2001:db8::1",  "::1",       "fe80::1%lo",      "127.1",
                           "10.1.2",       "0x7f.0.0.1"};
    for (const char *h : hosts) {
        p2p_NetAddr got{};
        ASSERT_EQ(p2p_Net_ResolveAddr(h, htons(4321), &got), 0) << h;
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_flags = AI_NUMERICHOST;
        addrinfo *res = nullptr;
        ASSERT_EQ(getaddrinfo(h, nullptr, &hints, &res), 0) << h;
        p2p_NetAddr want{};
        want.port = htons(4321);
        if (res->ai_family == AF_INET) {
            memcpy(want.address, &reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr, 4);
        } else {
            want.family = 1;
            memcpy(want.address, &reinterpret_cast<sockaddr_in6 *>(res->ai_addr)->sin6_addr, 16);
        }
        freeaddrinfo(res);
        EXPECT_EQ(memcmp(&got, &want, sizeof got), 0) << h << " gave " << addrText(got);

        sockaddr_storage sa{};
        socklen_t len = 0;
        ASSERT_EQ(p2p_Net_AddrToSockaddr(&got, &sa, &len), 0) << h;
        char back[64] = "";
        uint16_t port = 0;
        p2p_Net_SockaddrToHost((sockaddr *)&sa, len, back, sizeof back, &port);
        p2p_NetAddr again{};
        ASSERT_EQ(p2p_Net_ResolveAddr(back, htons(port), &again), 0) << back;
        EXPECT_EQ(memcmp(&got, &again, sizeof got), 0) << h << " came back as " << back;
    }
    p2p_NetAddr out{};
    for (const char *bad : {"", "1.2.3.4.5", "::ffff:1.2.3", "host.example", "1.2.3.4 "})
        EXPECT_EQ(p2p_Net_ResolveAddr(bad, 1, &out), -46) << bad;
    p2p_NetAddr odd{};
    odd.family = 2;
    sockaddr_storage sa{};
    EXPECT_EQ(p2p_Net_AddrToSockaddr(&odd, &sa, nullptr), -46);
}

TEST(P2pNet, WildcardSocketAddressIsIPv6WithTheGivenPort) {
    sockaddr_storage s{};
    ASSERT_EQ(p2p_Net_ResolveSockaddr(nullptr, 1, htons(4321), (sockaddr *)&s), 0);
    ASSERT_EQ(s.ss_family, AF_INET6);
    EXPECT_EQ(((sockaddr_in6 *)&s)->sin6_port, htons(4321));
    EXPECT_TRUE(IN6_IS_ADDR_UNSPECIFIED(&((sockaddr_in6 *)&s)->sin6_addr));
}

TEST(P2pNet, AddressBlockIsBuiltAndReadFieldByField) {
    uint8_t block[16];
    memset(block, 0xee, sizeof block);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(20001);
    inet_pton(AF_INET, "198.18.0.11", &sin.sin_addr);
    p2p_AddrBlock_FromSockaddr(block, &sin);
    const uint8_t want[16] = {0x00, 0x02, 0x4e, 0x21, 198, 18, 0, 11, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(block, want, 16), 0);
    // A block whose family bytes say otherwise is still read by offset.
    uint8_t odd[16] = {0x01, 0x00, 0x00, 0x50, 10, 1, 2, 3};
    sockaddr_in back{};
    p2p_AddrBlock_ToSockaddr(odd, &back);
    EXPECT_EQ(back.sin_family, AF_INET);
    EXPECT_EQ(ntohs(back.sin_port), 80);
    char t[32];
    inet_ntop(AF_INET, &back.sin_addr, t, sizeof t);
    EXPECT_STREQ(t, "10.1.2.3");
}

// Runs fn in a child process inside a fresh network namespace; returns its exit status or -1 to skip.
int inFreshNamespace(int (*fn)()) {
    pid_t pid = fork();
    if (pid == 0) {
        if (unshare(CLONE_NEWNET) != 0) _exit(77);
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        ifreq ifr{};
        strcpy(ifr.ifr_name, "lo");
        ioctl(s, SIOCGIFFLAGS, &ifr);
        ifr.ifr_flags |= IFF_UP;
        ioctl(s, SIOCSIFFLAGS, &ifr);
        close(s);
        _exit(fn());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status)) return 99;
    return WEXITSTATUS(status) == 77 ? -1 : WEXITSTATUS(status);
}

TEST(P2pNetNamespace, OnlyLoopbackGivesNoAddressAndNoMac) {
    int rc = inFreshNamespace([] {
        p2p_LocalIfInfo info;
        memset(&info, 0xaa, sizeof info);
        int n = p2p_Net_GetLocalMacAndIPv4(&info);
        if (n != 0 || info.ipv4Count != 0) return 1;
        if (info.flag != 0) return 2;
        // The MAC fields are untouched: no MAC was recorded.
        for (uint8_t b : info.mac)
            if (b != 0xaa) return 3;
        return 0;
    });
    if (rc < 0) GTEST_SKIP() << "cannot create a network namespace (needs root)";
    EXPECT_EQ(rc, 0);
}

TEST(P2pNetNamespace, AVethGivesItsAddressAndMac) {
    if (system("command -v ip >/dev/null 2>&1") != 0) GTEST_SKIP() << "iproute2 missing";
    int rc = inFreshNamespace([] {
        if (system(
                "ip link add qvp2p0 address 02:11:22:33:44:55 type veth peer name qvp2p1 address "
                "02:11:22:33:44:66 &&"
                " ip addr add 10.77.0.1/24 dev qvp2p0 && ip link set qvp2p0 up && ip link set qvp2p1 up") !=
            0)
            return 10;
        p2p_LocalIfInfo info{};
        int n = p2p_Net_GetLocalMacAndIPv4(&info);
        if (n != 1) return 11;
        char t[32];
        inet_ntop(AF_INET, &info.ipv4[0], t, sizeof t);
        if (strcmp(t, "10.77.0.1") != 0) return 12;
        inet_ntop(AF_INET, &info.netmask[0], t, sizeof t);
        if (strcmp(t, "255.255.255.0") != 0) return 13;
        // The first qualifying entry decides the MAC: one of the pair, never loopback's zeros.
        if (strcmp(info.macText, "02:11:22:33:44:55") != 0 && strcmp(info.macText, "02:11:22:33:44:66") != 0)
            return 14;
        return info.mac[0] == 0x02 && info.mac[5] >= 0x55 ? 0 : 15;
    });
    if (rc < 0) GTEST_SKIP() << "cannot create a network namespace (needs root)";
    EXPECT_EQ(rc, 0);
}

}  // namespace
