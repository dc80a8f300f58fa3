// The servers' TCP side: one listener per endpoint on the TCP port, accepted connections read into a framer,
// and every whole packet handled as if it had arrived by datagram on that endpoint. Replies to it go back on
// the same connection. A stream that breaks (bad magic, impossible length) or closes is closed and logged.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "p2p_servers.h"

namespace qvbed::p2p {
namespace {

int listen_on(const psl::Addr &a, std::string *error) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    psl::addr_to(a, sa);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 16) != 0) {
        *error = "listen TCP " + psl::addr_text(a) + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

constexpr size_t kMaxTcpConns = 256;  // beyond this new connections are closed at once

}  // namespace

bool ServerSet::tcp_start(std::string *error) {
    tcpListen_.assign(eps_.size(), -1);
    if (!opt_.tcp) return true;
    for (size_t i = 0; i < eps_.size(); ++i) {
        psl::Addr a = eps_[i].addr;
        a.port = opt_.tcpPort;
        tcpListen_[i] = listen_on(a, error);
        if (tcpListen_[i] < 0) return false;
    }
    return true;
}

void ServerSet::tcp_stop() {
    for (int &fd : tcpListen_)
        if (fd >= 0) close(fd);
    tcpListen_.clear();
    for (TcpConn &c : tcpConns_) close(c.fd);
    tcpConns_.clear();
    replyTcp_ = nullptr;
}

void ServerSet::tcp_poll_add(std::vector<pollfd> *pfds) const {
    for (int fd : tcpListen_) pfds->push_back({fd, static_cast<short>(fd >= 0 ? POLLIN : 0), 0});
    for (const TcpConn &c : tcpConns_) pfds->push_back({c.fd, POLLIN, 0});
}

void ServerSet::tcp_poll_handle(const std::vector<pollfd> &pfds, size_t first) {
    // Connections first (their indices shift once a listener adds one or a read closes one).
    const size_t connAt = first + tcpListen_.size();
    std::vector<int> ready;
    for (size_t i = connAt; i < pfds.size(); ++i)
        if (pfds[i].revents) ready.push_back(pfds[i].fd);
    for (int fd : ready)
        for (size_t c = 0; c < tcpConns_.size(); ++c)
            if (tcpConns_[c].fd == fd) {
                tcp_read(c);
                break;
            }
    for (size_t i = 0; i < tcpListen_.size(); ++i) {
        if (tcpListen_[i] < 0 || !pfds[first + i].revents) continue;
        for (;;) {
            sockaddr_in sa{};
            socklen_t sl = sizeof sa;
            int fd =
                accept4(tcpListen_[i], reinterpret_cast<sockaddr *>(&sa), &sl, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) break;
            const psl::Addr peer = psl::addr_from(sa);
            const bool full = tcpConns_.size() >= kMaxTcpConns;
            log_line("\"ep\":\"" + eps_[i].name + "\",\"dir\":\"in\",\"tcp\":true,\"event\":\"" +
                     (full ? "refused" : "accept") + "\",\"peer\":\"" + psl::addr_text(peer) + "\"");
            if (full) {
                close(fd);
                continue;
            }
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            TcpConn c;
            c.fd = fd;
            c.ep = i;
            c.peer = peer;
            tcpConns_.push_back(std::move(c));
        }
    }
}

void ServerSet::tcp_read(size_t conn) {
    uint8_t buf[16384];
    bool closed = false;
    std::vector<psl::Packet> packets;
    for (;;) {
        const ssize_t n = recv(tcpConns_[conn].fd, buf, sizeof buf, 0);
        if (n > 0) {
            for (psl::Packet &p : tcpConns_[conn].framer.feed({buf, static_cast<size_t>(n)}))
                packets.push_back(std::move(p));
            if (tcpConns_[conn].framer.broken()) break;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
        closed = true;
        break;
    }
    const size_t ep = tcpConns_[conn].ep;
    const psl::Addr peer = tcpConns_[conn].peer;
    for (const psl::Packet &p : packets) {
        ++packetsIn_;
        replyTcp_ = &tcpConns_[conn];
        on_packet(ep, p, psl::kHeaderSize + p.payload.size(), peer, true);
        replyTcp_ = nullptr;
    }
    const bool broken = tcpConns_[conn].framer.broken();
    if (!closed && !broken) return;
    log_line("\"ep\":\"" + eps_[ep].name + "\",\"dir\":\"in\",\"tcp\":true,\"event\":\"" +
             (broken ? "broken" : "closed") + "\",\"peer\":\"" + psl::addr_text(peer) + "\"");
    close(tcpConns_[conn].fd);
    tcpConns_.erase(tcpConns_.begin() + static_cast<std::ptrdiff_t>(conn));
}

// One whole packet per call; a peer that does not read for a while (a full send buffer) loses the packet and
// the log says so.
bool ServerSet::tcp_send(const psl::Addr &to, const psl::Bytes &d) {
    for (TcpConn &c : tcpConns_) {
        if (!(c.peer == to)) continue;
        size_t off = 0;
        while (off < d.size()) {
            const ssize_t n = ::send(c.fd, d.data() + off, d.size() - off, MSG_NOSIGNAL);
            if (n > 0) {
                off += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN && off > 0) {
                pollfd p{c.fd, POLLOUT, 0};
                if (poll(&p, 1, 1000) == 1) continue;
            }
            return false;
        }
        return true;
    }
    return false;
}

}  // namespace qvbed::p2p
