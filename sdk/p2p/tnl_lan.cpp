// Direct-LAN port mappings: the LAN check after the handshake, and for a session that passed it, mappings
// whose connections go straight to the device's LAN address (tnl_map_accept) with one thread copying the
// bytes of every pair (tnl_tcp_proxy).
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "p2p/p2p_platform.h"
#include "p2p/rsc_api.h"
#include "p2p/tnl_core.h"
#include "p2p/tnl_wire.h"

namespace {

constexpr int kProxyRead = 8196;

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool wouldBlock(int e) {
    return e == EAGAIN || e == EWOULDBLOCK || e == EINTR || e == ENOBUFS;
}

}  // namespace

void TunnelLib::wake(int fd) {
    if (fd < 0) return;
    const uint64_t one = 1;
    if (write(fd, &one, sizeof one) < 0) {
        // Already signalled: the counter is only read to clear it.
    }
}

// ---- the LAN check

int TunnelLib::lanCheck(int ch, const PSLSessionInfoShort &info) {
    in_addr ip{};
    if (inet_pton(AF_INET, info.remoteIP, &ip) != 1) return TNL_ERR_SOCKET;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return TNL_ERR_SOCKET;
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    std::mt19937 rng((uint32_t)time(nullptr) ^ (uint32_t)(uintptr_t)&ip);
    uint32_t n = rng() & 0x7fffffff;
    if (n < 40) n += 40;
    uint8_t p[TNL_LAN_PAYLOAD] = {};
    tnl_Put32(p, n);
    if (writeMsg(ch, tnl_Message(TNL_LAN_TEST, 0, p, sizeof p)) < 0) return RSC_ERR_CLOSED;
    uint8_t reply[TNL_HEADER + TNL_LAN_PAYLOAD];
    int got = 0, empty = 0;
    while (got < (int)sizeof reply) {
        const int r = RSC_Read(ch, reply + got, (int)sizeof reply - got, 100);
        if (r == RSC_ERR_TIMEOUT || r == 0) {
            if (++empty >= 100) return RSC_ERR_TIMEOUT;
            sleepMs(10);
            continue;
        }
        if (r < 0) return r;
        got += r;
    }
    const TunnelMessageHeader h = tnl_Header_Read(reply);
    if (h.type != TNL_LAN_TEST_REPLY || h.length != TNL_LAN_PAYLOAD ||
        tnl_Get32(reply + TNL_HEADER) != tnl_LanStep(n))
        return TNL_ERR_UID;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr = ip;
    a.sin_port = htons(tnl_Get16(reply + TNL_HEADER + 6));
    if (::connect(fd, (sockaddr *)&a, sizeof a) != 0 && errno != EINPROGRESS) return TNL_ERR_LAN_TCP;
    uint32_t v = tnl_LanStep(tnl_LanStep(n));
    bool sent = false;
    for (int passes = 0; passes < 1000;) {
        pollfd pf{fd, (short)(sent ? POLLIN : POLLOUT), 0};
        if (poll(&pf, 1, 1) <= 0) {
            ++passes;
            continue;
        }
        if (!sent) {
            int err = 0;
            socklen_t len = sizeof err;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return TNL_ERR_LAN_TCP;
            uint8_t w[4];
            tnl_Put32(w, v);
            const ssize_t s = send(fd, w, sizeof w, MSG_NOSIGNAL);
            if (s < 0) return TNL_ERR_LAN_TCP;
            if (s == 0) {
                ++passes;
                continue;
            }
            if (s != 4) return TNL_ERR_LAN_TCP;
            v = tnl_LanStep(v);
            sent = true;
            continue;
        }
        uint8_t r[4];
        const ssize_t k = recv(fd, r, sizeof r, MSG_WAITALL);
        if (k < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (k < 0) return TNL_ERR_LAN_TCP;
        if (k == 0) {
            ++passes;
            continue;
        }
        return k == 4 && tnl_Get32(r) == v ? 0 : TNL_ERR_LAN_TCP;
    }
    return TNL_ERR_LAN_TCP;
}

// ---- direct-LAN mappings

int TunnelLib::lanPortMapping(int sid, int localPort, int remotePort) {
    TunnelSessionRec &rec = sessions_[sid];
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int j = -1;
    {
        std::lock_guard<std::recursive_mutex> l(connLock_);
        int count = 0;
        for (const LanMapping &m : lanMappings_)
            if (m.inUse && m.session == sid) ++count;
        if (count < TNL_MAPPINGS && liveMappings_ < TNL_MAPPINGS) {
            for (int i = 0; i < TNL_MAPPINGS; ++i) {
                if (!lanMappings_[i].inUse) {
                    j = i;
                    lanMappings_[i].inUse = 1;  // claimed
                    break;
                }
            }
        }
    }
    auto fail = [&](int code) {
        if (fd >= 0) close(fd);
        if (j >= 0) {
            std::lock_guard<std::recursive_mutex> l(connLock_);
            lanMappings_[j] = LanMapping{};
        }
        return code;
    };
    if (j < 0) return fail(TNL_ERR_NO_MAPPING);
    if (fd < 0) return fail(TNL_ERR_SOCKET);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons((uint16_t)localPort);
    if (bind(fd, (sockaddr *)&a, sizeof a) != 0 || listen(fd, 128) != 0) return fail(TNL_ERR_BIND);
    {
        std::lock_guard<std::recursive_mutex> l(connLock_);
        LanMapping &m = lanMappings_[j];
        m.session = sid;
        m.listenSocket = fd;
        m.deviceIPv4 = rec.deviceIPv4;
        m.devicePort = (uint16_t)remotePort;
        ++liveMappings_;
    }
    wake(mapAcceptWake_);
    return TNL_LAN_MAPPING_BASE + j;
}

void TunnelLib::stopLanMapping(int j) {
    std::lock_guard<std::recursive_mutex> l(connLock_);
    LanMapping &m = lanMappings_[j];
    if (!m.inUse || m.listenSocket < 0) return;
    // Shut down first: tnl_map_accept may be polling it, which keeps a closed socket listening.
    shutdown(m.listenSocket, SHUT_RDWR);
    close(m.listenSocket);
    wake(mapAcceptWake_);
    if (m.session >= 0 && validSid(m.session))
        for (TunnelSlot &slot : sessions_[m.session].slots)
            if (slot.lanMapping == j) proxyClose(slot);
    if (liveMappings_ > 0) --liveMappings_;
    m = LanMapping{};
}

void TunnelLib::closeLanOfSession(int sid) {
    std::lock_guard<std::recursive_mutex> l(connLock_);
    for (int j = 0; j < TNL_MAPPINGS; ++j)
        if (lanMappings_[j].inUse && lanMappings_[j].session == sid) stopLanMapping(j);
    for (TunnelSlot &slot : sessions_[sid].slots)
        if (slot.proxyActive || slot.localSocket >= 0 || slot.deviceSocket >= 0) proxyClose(slot);
}

void TunnelLib::proxyClose(TunnelSlot &slot) {
    std::lock_guard<std::recursive_mutex> l(connLock_);
    if (slot.localSocket >= 0) close(slot.localSocket);
    if (slot.deviceSocket >= 0) close(slot.deviceSocket);
    slot = TunnelSlot{};  // direct-LAN slots do not age
}

void TunnelLib::mapAcceptLoop() {
    p2p_Thread_SetName("tnl_map_accept");
    struct Pending {
        int session, deviceSocket, localSocket, slot;
    };
    std::vector<Pending> pending;
    std::vector<pollfd> fds;
    std::vector<int> which;  // lan mapping index, or -1 - pending index
    while (agentRunning_) {
        fds.assign(1, pollfd{mapAcceptWake_, POLLIN, 0});
        which.assign(1, 0);
        {
            std::lock_guard<std::recursive_mutex> l(connLock_);
            for (int j = 0; j < TNL_MAPPINGS; ++j) {
                if (!lanMappings_[j].inUse || lanMappings_[j].listenSocket < 0) continue;
                fds.push_back({lanMappings_[j].listenSocket, POLLIN, 0});
                which.push_back(j);
            }
        }
        for (size_t k = 0; k < pending.size(); ++k) {
            fds.push_back({pending[k].deviceSocket, POLLOUT, 0});
            which.push_back(-1 - (int)k);
        }
        const int r = poll(fds.data(), fds.size(), 1000);
        if (r <= 0) continue;
        if (fds[0].revents) {
            uint64_t v;
            if (read(mapAcceptWake_, &v, sizeof v) < 0) {
                // Nothing to clear.
            }
        }
        std::vector<size_t> done;
        for (size_t k = 1; k < fds.size(); ++k) {
            if (!fds[k].revents) continue;
            if (which[k] < 0) {
                // A connect to the device completed (or failed: the proxy's first read or write finds out).
                const Pending p = pending[(size_t)(-1 - which[k])];
                done.push_back((size_t)(-1 - which[k]));
                std::lock_guard<std::recursive_mutex> l(connLock_);
                TunnelSlot &slot = sessions_[p.session].slots[p.slot];
                slot.localSocket = p.localSocket;
                slot.deviceSocket = p.deviceSocket;
                slot.proxyActive = 1;
                wake(proxyWake_);
                continue;
            }
            const int j = which[k];
            const int local = accept4(fds[k].fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (local < 0) continue;
            int sid, slotIdx = -1;
            sockaddr_in dev{};
            {
                std::lock_guard<std::recursive_mutex> l(connLock_);
                const LanMapping &m = lanMappings_[j];
                sid = m.session;
                if (m.inUse && validSid(sid) && sessions_[sid].inUse) {
                    for (int i = 0; i < TNL_SLOTS; ++i) {
                        TunnelSlot &slot = sessions_[sid].slots[i];
                        if (slot.state == 0 && !slot.proxyActive && slot.localSocket < 0) {
                            slot = TunnelSlot{};
                            slot.state = 1;
                            slot.index = (uint8_t)i;
                            slot.lanMapping = j;
                            slotIdx = i;
                            break;
                        }
                    }
                }
                dev.sin_family = AF_INET;
                dev.sin_addr.s_addr = m.deviceIPv4;
                dev.sin_port = htons(m.devicePort);
            }
            if (slotIdx < 0) {
                close(local);
                continue;
            }
            const int one = 1;
            setsockopt(local, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            const int devFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (devFd >= 0) setsockopt(devFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            const int c = devFd < 0 ? -1 : ::connect(devFd, (sockaddr *)&dev, sizeof dev);
            if (devFd >= 0 && (c == 0 || (errno == EINPROGRESS && pending.size() < TNL_SLOTS))) {
                if (c == 0) {
                    std::lock_guard<std::recursive_mutex> l(connLock_);
                    TunnelSlot &slot = sessions_[sid].slots[slotIdx];
                    slot.localSocket = local;
                    slot.deviceSocket = devFd;
                    slot.proxyActive = 1;
                    wake(proxyWake_);
                } else {
                    pending.push_back({sid, devFd, local, slotIdx});
                }
                continue;
            }
            if (devFd >= 0) close(devFd);
            close(local);
            std::lock_guard<std::recursive_mutex> l(connLock_);
            sessions_[sid].slots[slotIdx] = TunnelSlot{};
        }
        std::sort(done.rbegin(), done.rend());
        for (size_t k : done) pending.erase(pending.begin() + (long)k);
    }
    for (const Pending &p : pending) {
        close(p.deviceSocket);
        close(p.localSocket);
    }
}

// One direction of a pair: reads `from` into `to`, keeping an unsent rest. False when the pair must close.
static bool pump(int from, int to, std::vector<uint8_t> &rest, size_t &off, uint8_t &ended, bool *moved) {
    uint8_t buf[kProxyRead];
    const ssize_t n = recv(from, buf, sizeof buf, 0);
    if (n < 0) return wouldBlock(errno);
    if (n == 0) {
        if (!ended) {
            shutdown(to, SHUT_WR);
            ended = 1;
        }
        return true;  // the pair closes once both ends ended and nothing is left to send
    }
    *moved = true;
    const ssize_t w = send(to, buf, (size_t)n, MSG_NOSIGNAL);
    if (w < 0 && !wouldBlock(errno)) return false;
    const size_t sent = w < 0 ? 0 : (size_t)w;
    if (sent < (size_t)n) {
        rest.assign(buf + sent, buf + n);
        off = 0;
    }
    return true;
}

static bool flushRest(int to, std::vector<uint8_t> &rest, size_t &off, bool *moved) {
    const ssize_t w = send(to, rest.data() + off, rest.size() - off, MSG_NOSIGNAL);
    if (w < 0) return wouldBlock(errno);
    *moved = *moved || w > 0;
    off += (size_t)w;
    if (off == rest.size()) {
        rest.clear();
        off = 0;
    }
    return true;
}

void TunnelLib::tcpProxyLoop() {
    p2p_Thread_SetName("tnl_tcp_proxy");
    std::vector<pollfd> fds;
    while (agentRunning_) {
        fds.assign(1, pollfd{proxyWake_, POLLIN, 0});
        {
            std::lock_guard<std::recursive_mutex> l(connLock_);
            for (int sid = 0; sid < maxSessions_; ++sid) {
                if (!sessions_[sid].inUse) continue;
                for (const TunnelSlot &s : sessions_[sid].slots) {
                    if (s.state == 0 || !s.proxyActive) continue;
                    short le = 0, de = 0;
                    if (s.toDeviceBuf.empty() && !s.localEnded) le |= POLLIN;
                    if (!s.toLocalBuf.empty()) le |= POLLOUT;
                    if (s.toLocalBuf.empty() && !s.deviceEnded) de |= POLLIN;
                    if (!s.toDeviceBuf.empty()) de |= POLLOUT;
                    if (le) fds.push_back({s.localSocket, le, 0});
                    if (de) fds.push_back({s.deviceSocket, de, 0});
                }
            }
        }
        const int r = poll(fds.data(), fds.size(), fds.size() > 1 ? 1000 : 100);
        if (r <= 0) continue;
        if (fds[0].revents) {
            uint64_t v;
            if (read(proxyWake_, &v, sizeof v) < 0) {
                // Nothing to clear.
            }
        }
        // Every pair once, non-blocking, under the lock: closes from other threads cannot interleave.
        std::lock_guard<std::recursive_mutex> l(connLock_);
        for (int sid = 0; sid < maxSessions_; ++sid) {
            TunnelSessionRec &rec = sessions_[sid];
            if (!rec.inUse) continue;
            for (TunnelSlot &s : rec.slots) {
                if (s.state == 0 || !s.proxyActive) continue;
                bool moved = false, ok = true;
                if (!s.toDeviceBuf.empty())
                    ok = flushRest(s.deviceSocket, s.toDeviceBuf, s.toDeviceOff, &moved);
                if (ok && s.toDeviceBuf.empty() && !s.localEnded)
                    ok = pump(s.localSocket, s.deviceSocket, s.toDeviceBuf, s.toDeviceOff, s.localEnded,
                              &moved);
                if (ok && !s.toLocalBuf.empty())
                    ok = flushRest(s.localSocket, s.toLocalBuf, s.toLocalOff, &moved);
                if (ok && s.toLocalBuf.empty() && !s.deviceEnded)
                    ok = pump(s.deviceSocket, s.localSocket, s.toLocalBuf, s.toLocalOff, s.deviceEnded,
                              &moved);
                if (ok && s.localEnded && s.deviceEnded && s.toLocalBuf.empty() && s.toDeviceBuf.empty())
                    ok = false;
                if (moved) rec.lastIOTime = (int32_t)time(nullptr);
                if (!ok) proxyClose(s);
            }
        }
    }
}
