#include "platform/NetIf.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <mutex>

namespace plat {

namespace {

std::mutex g_mu;
std::shared_ptr<NetIf> g_current;

QString dotted(const sockaddr *sa) {
    if (sa == nullptr || sa->sa_family != AF_INET) return {};
    char text[INET_ADDRSTRLEN] = {};
    const auto *in = reinterpret_cast<const sockaddr_in *>(sa);
    if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) == nullptr) return {};
    return QString::fromLatin1(text);
}

}  // namespace

QList<NetIfEntry> NetIf::interfaces() const {
    QList<NetIfEntry> out;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (const ifaddrs *i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        NetIfEntry e;
        e.name = QString::fromLocal8Bit(i->ifa_name);
        e.flags = i->ifa_flags;
        e.address = dotted(i->ifa_addr);
        if ((i->ifa_flags & IFF_BROADCAST) != 0) e.broadcast = dotted(i->ifa_broadaddr);
        out.append(e);
    }
    freeifaddrs(list);
    return out;
}

std::optional<QString> NetIf::pickBroadcast(const QList<NetIfEntry> &entries) {
    for (const NetIfEntry &e : entries) {
        if ((e.flags & IFF_LOOPBACK) != 0) continue;
        if ((e.flags & IFF_UP) == 0 || (e.flags & IFF_RUNNING) == 0) continue;
        if ((e.flags & IFF_BROADCAST) == 0 || e.broadcast.isEmpty()) continue;
        return e.broadcast;
    }
    return std::nullopt;
}

const NetIf &NetIf::current() {
    std::lock_guard lock(g_mu);
    if (!g_current) g_current = std::make_shared<NetIf>();
    return *g_current;
}

void NetIf::setCurrent(std::shared_ptr<NetIf> netIf) {
    std::lock_guard lock(g_mu);
    g_current = std::move(netIf);
}

}  // namespace plat
