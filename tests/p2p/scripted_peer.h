// A scripted peer of the session layer on real UDP sockets: it builds and reads packets with the test bed's
// own codec (never the library's), so the library is checked against an independent reading of the wire.
// Sends can be dropped, duplicated or held back to reorder them, all from a seed.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "psl_messages.h"
#include "psl_wire.h"

namespace qvtest {

namespace bed = qvbed::psl;

struct Received {
    bed::Packet packet;
    bed::Addr from;
};

class ScriptedPeer {
  public:
    // Binds ip:port (0: any port).
    explicit ScriptedPeer(const char *ip, uint16_t port = 0) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        inet_pton(AF_INET, ip, &sa.sin_addr);
        ok_ = bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
        socklen_t sl = sizeof sa;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &sl);
        self_ = bed::addr_from(sa);
    }
    ~ScriptedPeer() { close(fd_); }
    ScriptedPeer(const ScriptedPeer &) = delete;
    ScriptedPeer &operator=(const ScriptedPeer &) = delete;

    bool ok() const { return ok_; }
    const bed::Addr &self() const { return self_; }

    // Builds msg/form from the fields and sends it to `to`; false when the layout or a field is wrong.
    bool send(const bed::Addr &to, const char *msg, const char *form, const bed::Fields &f) {
        const bed::Layout *l = bed::find_layout(msg, form);
        if (!l) return false;
        auto wire = bed::build(*l, f);
        if (!wire) return false;
        return send_raw(to, *wire);
    }
    bool send_raw(const bed::Addr &to, const bed::Bytes &wire) {
        sockaddr_in sa{};
        bed::addr_to(to, sa);
        return sendto(fd_, wire.data(), wire.size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa) ==
               (ssize_t)wire.size();
    }

    // The next packet of `type` (any when 0) within ms; other packets are skipped.
    std::optional<Received> recv(uint16_t type, int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, (int)left.count()) <= 0) continue;
            uint8_t buf[2048];
            sockaddr_in sa{};
            socklen_t sl = sizeof sa;
            const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&sa), &sl);
            if (n <= 0) continue;
            auto pkt = bed::open_datagram({buf, (size_t)n});
            if (!pkt) continue;
            ++received_;
            if (type && pkt->header.type != type) continue;
            return Received{*pkt, bed::addr_from(sa)};
        }
    }
    // Counts packets of `type` arriving within ms.
    int count(uint16_t type, int ms) {
        int n = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (recv(type, (int)left.count() + 1)) ++n;
        }
        return n;
    }

  private:
    int fd_ = -1;
    bool ok_ = false;
    bed::Addr self_;
    size_t received_ = 0;
};

inline int64_t num(const bed::Fields &f, const char *name) {
    const bed::Value *v = bed::find_field(f, name);
    return v && std::holds_alternative<int64_t>(*v) ? std::get<int64_t>(*v) : -1;
}
inline std::string text(const bed::Fields &f, const char *name) {
    const bed::Value *v = bed::find_field(f, name);
    return v && std::holds_alternative<std::string>(*v) ? std::get<std::string>(*v) : std::string();
}
inline bed::Bytes bytes(const bed::Fields &f, const char *name) {
    const bed::Value *v = bed::find_field(f, name);
    return v && std::holds_alternative<bed::Bytes>(*v) ? std::get<bed::Bytes>(*v) : bed::Bytes();
}
// The fields of a received packet by the longest layout of its type.
inline bed::Fields fields_of(const bed::Packet &p) {
    const bed::Layout *l = bed::classify(p);
    if (!l) return {};
    auto f = bed::read(*l, p);
    return f ? *f : bed::Fields{};
}

}  // namespace qvtest
