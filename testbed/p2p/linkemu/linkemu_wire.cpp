#include "linkemu_wire.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/if_packet.h>
#include <linux/sockios.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#ifndef PACKET_IGNORE_OUTGOING
#define PACKET_IGNORE_OUTGOING 23
#endif

namespace linkemu {

int openPacketSocket(const std::string &ifname, std::string *why) {
    auto fail = [&](const char *what, int fd) {
        if (why) *why = std::string(what) + " on " + ifname + ": " + strerror(errno);
        if (fd >= 0) close(fd);
        return -1;
    };
    int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (fd < 0) return fail("socket(AF_PACKET)", -1);
    unsigned idx = if_nametoindex(ifname.c_str());
    if (!idx) return fail("if_nametoindex", fd);
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = (int)idx;
    if (bind(fd, (sockaddr *)&sll, sizeof sll) != 0) return fail("bind", fd);
    packet_mreq mr{};
    mr.mr_ifindex = (int)idx;
    mr.mr_type = PACKET_MR_PROMISC;
    if (setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mr, sizeof mr) != 0)
        return fail("promiscuous", fd);
    int one = 1;
    setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);  // older kernels: filtered below
    int buf = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buf, sizeof buf);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &buf, sizeof buf);
    return fd;
}

Wire::Wire(int fdA, int fdB, uint64_t seed, const Profile &ab, const Profile &ba)
    : fd_{fdA, fdB}, link_(seed, ab, ba) {
    if (pipe2(wake_, O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
    thread_ = std::thread([this] { run(); });
}

Wire::~Wire() {
    if (wake_[1] >= 0) {
        char c = 0;
        (void)!write(wake_[1], &c, 1);
    }
    thread_.join();
    for (int fd : {fd_[0], fd_[1], wake_[0], wake_[1]})
        if (fd >= 0) close(fd);
}

Counters Wire::counters(int dir) {
    std::lock_guard<std::mutex> l(m_);
    return link_.dir[dir & 1].counters();
}

void Wire::writeLog(FILE *f) {
    std::lock_guard<std::mutex> l(m_);
    fprintf(f, "# %s\n# a>b\n", link_.banner().c_str());
    link_.dir[0].writeLog(f);
    fprintf(f, "# b>a\n");
    link_.dir[1].writeLog(f);
}

void Wire::run() {
    pthread_setname_np(pthread_self(), "linkemu_wire");
    std::vector<uint8_t> buf(65536);
    for (;;) {
        uint64_t next = UINT64_MAX;
        {
            std::lock_guard<std::mutex> l(m_);
            const uint64_t now = monoUs();
            for (int d = 0; d < 2; ++d) {
                Packet p;
                while (link_.dir[d].popDue(now, &p))
                    if (send(fd_[1 - d], p.bytes.data(), p.bytes.size(), 0) < 0) ++sendErrors_;
                next = std::min(next, link_.dir[d].nextReleaseUs());
            }
        }
        pollfd pf[3] = {{fd_[0], POLLIN, 0}, {fd_[1], POLLIN, 0}, {wake_[0], POLLIN, 0}};
        timespec ts{1, 0}, *tp = &ts;
        if (next != UINT64_MAX) {
            const uint64_t now = monoUs();
            const uint64_t wait = next > now ? next - now : 0;
            ts.tv_sec = (time_t)(wait / 1000000);
            ts.tv_nsec = (long)(wait % 1000000) * 1000;
        }
        if (ppoll(pf, 3, tp, nullptr) < 0 && errno != EINTR) return;
        if (pf[2].revents) return;
        for (int side = 0; side < 2; ++side) {
            if (!(pf[side].revents & POLLIN)) continue;
            for (;;) {
                sockaddr_ll from{};
                socklen_t fl = sizeof from;
                ssize_t n = recvfrom(fd_[side], buf.data(), buf.size(), MSG_DONTWAIT, (sockaddr *)&from, &fl);
                if (n <= 0) break;
                if (from.sll_pkttype == PACKET_OUTGOING) continue;
                if (n >= 14 && buf[12] == 0x08 && buf[13] == 0x06) {  // ARP: straight across
                    ++arp_;
                    if (send(fd_[1 - side], buf.data(), (size_t)n, 0) < 0) ++sendErrors_;
                    continue;
                }
                std::lock_guard<std::mutex> l(m_);
                link_.dir[side].offer(std::vector<uint8_t>(buf.begin(), buf.begin() + n), monoUs());
            }
        }
    }
}

namespace {

std::atomic<int> g_netnsCount{0};

// Runs a shell command; false with its output in *why.
bool sh(const std::string &cmd, std::string *why) {
    FILE *p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) {
        if (why) *why = "popen failed";
        return false;
    }
    std::string out;
    char b[256];
    while (fgets(b, sizeof b, p)) out += b;
    int rc = pclose(p);
    if (rc != 0 && why) *why = cmd + ": " + out;
    return rc == 0;
}

// Whole, checksummed frames from the kernel: no checksum, scatter-gather or segmentation offloads.
bool offloadsOff(const char *ifname, std::string *why) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool ok = true;
    for (uint32_t cmd : {ETHTOOL_STXCSUM, ETHTOOL_SSG, ETHTOOL_STSO, ETHTOOL_SGSO, ETHTOOL_SGRO}) {
        ethtool_value ev{};
        ev.cmd = cmd;
        ev.data = 0;
        ifreq ifr{};
        strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
        ifr.ifr_data = (char *)&ev;
        if (ioctl(fd, SIOCETHTOOL, &ifr) != 0 && cmd == ETHTOOL_STXCSUM) {
            if (why) *why = std::string("tx checksum offload off on ") + ifname + ": " + strerror(errno);
            ok = false;
        }
    }
    close(fd);
    return ok;
}

// "aa:bb:cc:dd:ee:ff" of ifname in the calling thread's namespace, or "".
std::string macOf(const char *ifname) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "";
    ifreq ifr{};
    strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
    std::string out;
    if (ioctl(fd, SIOCGIFHWADDR, &ifr) == 0) {
        const unsigned char *m = (const unsigned char *)ifr.ifr_hwaddr.sa_data;
        char b[18];
        snprintf(b, sizeof b, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
        out = b;
    }
    close(fd);
    return out;
}

}  // namespace

std::unique_ptr<WireNetns> WireNetns::make(std::string *why) {
    if (geteuid() != 0) {
        if (why) *why = "wire mode needs root (network namespaces, veths, AF_PACKET)";
        return nullptr;
    }
    std::unique_ptr<WireNetns> n(new WireNetns);
    const std::string p = "lemu" + std::to_string(getpid()) + "_" + std::to_string(g_netnsCount++);
    n->a_ = p + "a";
    n->e_ = p + "emu";
    n->b_ = p + "b";
    const std::string v6off =
        "sh -c 'echo 1 > /proc/sys/net/ipv6/conf/all/disable_ipv6; "
        "echo 1 > /proc/sys/net/ipv6/conf/default/disable_ipv6' ";
    const std::vector<std::string> cmds = {
        "ip netns add " + n->a_,
        "ip netns add " + n->e_,
        "ip netns add " + n->b_,
        "ip netns exec " + n->a_ + " " + v6off,
        "ip netns exec " + n->e_ + " " + v6off,
        "ip netns exec " + n->b_ + " " + v6off,
        "ip -n " + n->a_ + " link add a0 type veth peer name ea netns " + n->e_,
        "ip -n " + n->b_ + " link add b0 type veth peer name eb netns " + n->e_,
        "ip -n " + n->a_ + " addr add " + kAddrA + "/24 dev a0",
        "ip -n " + n->b_ + " addr add " + kAddrB + "/24 dev b0",
    };
    for (const std::string &c : cmds)
        if (!sh(c, why)) return nullptr;  // the destructor removes what was made
    bool ok = true;
    std::string err;
    ok = n->in('a', [&] { ok = offloadsOff("a0", &err) && ok; }) && ok;
    ok = n->in('b', [&] { ok = offloadsOff("b0", &err) && ok; }) && ok;
    if (!ok) {
        if (why) *why = err;
        return nullptr;
    }
    // Static neighbours: no ARP exchange to wait for (or to lose datagrams queued behind it under load).
    std::string macA, macB;
    n->in('a', [&] { macA = macOf("a0"); });
    n->in('b', [&] { macB = macOf("b0"); });
    if (macA.empty() || macB.empty()) {
        if (why) *why = "cannot read the veths' addresses";
        return nullptr;
    }
    const std::vector<std::string> up = {
        "ip -n " + n->a_ + " neigh replace " + kAddrB + " lladdr " + macB + " dev a0 nud permanent",
        "ip -n " + n->b_ + " neigh replace " + kAddrA + " lladdr " + macA + " dev b0 nud permanent",
        "ip -n " + n->a_ + " link set lo up",
        "ip -n " + n->a_ + " link set a0 up",
        "ip -n " + n->b_ + " link set lo up",
        "ip -n " + n->b_ + " link set b0 up",
        "ip -n " + n->e_ + " link set ea up",
        "ip -n " + n->e_ + " link set eb up",
    };
    for (const std::string &c : up)
        if (!sh(c, why)) return nullptr;
    return n;
}

WireNetns::~WireNetns() {
    for (const std::string *s : {&a_, &e_, &b_})
        if (!s->empty()) sh("ip netns del " + *s, nullptr);
}

const std::string &WireNetns::name(char which) const {
    return which == 'a' ? a_ : which == 'b' ? b_ : e_;
}

bool WireNetns::in(char which, const std::function<void()> &f) {
    int self = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = open(("/run/netns/" + name(which)).c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = self >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
    if (ok) {
        f();
        setns(self, CLONE_NEWNET);
    }
    if (self >= 0) close(self);
    if (target >= 0) close(target);
    return ok;
}

std::unique_ptr<Wire> WireNetns::splice(uint64_t seed, const Profile &ab, const Profile &ba,
                                        std::string *why) {
    int fa = -1, fb = -1;
    std::string err;
    in('e', [&] {
        fa = openPacketSocket("ea", &err);
        if (fa >= 0) fb = openPacketSocket("eb", &err);
    });
    if (fa < 0 || fb < 0) {
        if (fa >= 0) close(fa);
        if (why) *why = err.empty() ? "cannot enter the emu namespace" : err;
        return nullptr;
    }
    return std::make_unique<Wire>(fa, fb, seed, ab, ba);
}

}  // namespace linkemu
