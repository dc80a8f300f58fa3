// The device's end of the tunnel: registering and accepting sessions, reading and judging each client's
// authentication request, relaying its connections to the device's loopback services (the shared relay),
// and the LAN test: tickets handed out on the stream and redeemed on a TCP listener.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "base/qv_log.h"
#include "p2p/p2p_platform.h"
#include "p2p/rsc_api.h"
#include "p2p/tnl_core.h"
#include "p2p/tnl_wire.h"

namespace {

constexpr int kTestConns = 256;
constexpr int kEmptyReadsMax = 100;

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

int TunnelLib::serverInitialize(int maxSessions) {
    if (agentStarted_) return TNL_ERR_ALREADY_STARTED;
    if (maxSessions <= 0 || maxSessions > TNL_MAX_SESSIONS) return TNL_ERR_ARGUMENT;
    deviceRole_ = true;
    return sharedStart(maxSessions);
}

int TunnelLib::serverStart(const char *uid) {
    if (!agentStarted_ || !deviceRole_) return TNL_ERR_NOT_STARTED;
    if (!uid) return TNL_ERR_ARGUMENT;
    if (!serverListening_) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) return TNL_ERR_SOCKET;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        socklen_t len = sizeof a;
        if (bind(fd, (sockaddr *)&a, sizeof a) != 0 || getsockname(fd, (sockaddr *)&a, &len) != 0 ||
            listen(fd, 64) != 0) {
            close(fd);
            return TNL_ERR_BIND;
        }
        lanTestSocket_ = fd;
        lanTestPort_ = ntohs(a.sin_port);
        serverRunning_ = true;
        try {
            pslListen_ = std::thread([this] { pslListenLoop(); });
            devAccept_ = std::thread([this] { devAcceptLoop(); });
        } catch (...) {
            serverStop();
            return TNL_ERR_THREAD;
        }
        serverListening_ = true;
    }
    const int r = lower_->registerDevice(uid);
    const bool refused = lower_->registrationRefused() != 0;
    if (refused) serverStop();
    if (r == PSL_ERR_REFUSED_BUSY || refused) return TNL_ERR_BUSY;
    if (r == PSL_ERR_UID) return TNL_ERR_UID;
    return r < 0 ? r : 0;
}

void TunnelLib::serverStop() {
    if (!agentStarted_ || !deviceRole_) return;
    serverRunning_ = false;
    lower_->acceptCancel();
    if (pslListen_.joinable()) pslListen_.join();
    if (devAccept_.joinable()) devAccept_.join();
    if (lanTestSocket_ >= 0) close(lanTestSocket_);
    lanTestSocket_ = -1;
    serverListening_ = false;
}

int TunnelLib::serverDeInitialize() {
    if (stopInProgress_.exchange(true)) return TNL_ERR_NOT_STARTED;
    if (!agentStarted_ || !deviceRole_) {
        stopInProgress_ = false;
        return TNL_ERR_NOT_STARTED;
    }
    serverStop();
    setStatusCallback(nullptr, statusArg_);
    for (int s = 0; s < maxSessions_; ++s) {
        sessions_[s].inUse = 0;
        threads_[s].running = 0;
    }
    for (int s = 0; s < maxSessions_; ++s) endSessionThreads(s);
    sharedStop();
    stopInProgress_ = false;
    return 0;
}

int TunnelLib::setAuthCallback(PeerTunnelServerAuthCallback cb, void *arg) {
    std::lock_guard<std::mutex> l(authLock_);
    authCb_ = cb;
    authArg_ = arg;
    return 0;
}

int TunnelLib::serverDisconnect(int sid) {
    if (!serverRunning_) return TNL_ERR_DEVICE_NOT_STARTED;
    if (!validSid(sid)) return TNL_ERR_ARGUMENT;
    if (!sessions_[sid].inUse) return TNL_ERR_SESSION;
    sessions_[sid].inUse = 0;
    threads_[sid].running = 0;
    PSLSessionInfoShort info{};
    return lower_->check(sid, &info) < 0 ? TNL_ERR_SESSION : 0;
}

// ---- accepting sessions

void TunnelLib::pslListenLoop() {
    p2p_Thread_SetName("tnl_psl_listen");
    while (serverRunning_) {
        const int s = lower_->accept();
        if (!serverRunning_) {
            if (s >= 0) lower_->close(s);
            break;
        }
        if (s == PSL_ERR_TIMEOUT || s == PSL_ERR_ACCEPT_CANCELLED) continue;
        if (s < 0) {
            // No free session: wait longer; other failures are not retried in a tight loop.
            const int pause = s == PSL_ERR_NO_SESSION ? 2000 : 100;
            for (int waited = 0; waited < pause && serverRunning_; waited += 50) sleepMs(50);
            continue;
        }
        if (!validSid(s)) {
            lower_->close(s);
            continue;
        }
        TunnelThreadRec &t = threads_[s];
        endSessionThreads(s);  // a previous session with this id has ended
        TunnelSessionRec &rec = sessions_[s];
        {
            std::lock_guard<std::recursive_mutex> l(connLock_);
            closeAllSlots(s);
            for (TunnelSlot &slot : rec.slots) slot = TunnelSlot{};
            rec.rscChannel = -1;
            rec.lowWatermark = TNL_LOW_WATERMARK;
            rec.highWatermark = TNL_HIGH_WATERMARK;
            rec.dropped = 0;
            rec.reported = false;
            rec.broken = false;
            rec.directLan = 0;
            rec.inUse = 1;
        }
        t.session = (uint16_t)s;
        t.running = 1;
        try {
            t.handler = std::thread([this, s] { sessionHandler(s); });
        } catch (...) {
            rec.inUse = 0;
            t.running = 0;
            lower_->close(s);
        }
    }
}

// Reads exactly n bytes before the deadline while the session runs; 0 or negative.
static int readWithin(int ch, uint8_t *buf, int n, int64_t deadline, const std::atomic<uint8_t> &running,
                      const std::atomic<bool> &broken) {
    int got = 0;
    while (got < n) {
        const int64_t left = deadline - tnl_NowMs();
        if (left <= 0 || !running || broken) return RSC_ERR_TIMEOUT;
        const int r = RSC_Read(ch, buf + got, n - got, (int)(left < 100 ? left : 100));
        if (r == RSC_ERR_TIMEOUT) continue;
        if (r < 0) return r;
        got += r;
    }
    return 0;
}

int TunnelLib::judge(int sid, const uint8_t *head, const std::vector<uint8_t> &auth, bool *accepted,
                     bool *judged) {
    TunnelAuthHead h{};
    tnl_AuthHead_Parse(head, TNL_AUTH_HEAD, &h);
    PeerTunnelServerAuthCallback cb;
    void *arg;
    {
        std::lock_guard<std::mutex> l(authLock_);
        cb = authCb_;
        arg = authArg_;
    }
    if (h.length != 0 && cb) {
        PSLSessionInfoShort si{};
        lower_->check(sid, &si);
        TunnelServerAuthInfo info{};
        info.session = sid;
        info.mode = si.mode;
        info.natType = si.natType;
        memcpy(info.remoteIP, si.remoteIP, 15);
        info.remotePort = si.remotePort;
        info.clientVersion = h.version;
        info.authLength = h.authLength;
        info.authData = h.authLength ? auth.data() : nullptr;
        const int result = cb(&info, arg);
        *accepted = result >= 0;
        *judged = true;
        return result;
    }
    // Without a judge (or without anything to judge) only an open device lets the client in.
    *accepted = openAccess_;
    *judged = false;
    return openAccess_ ? 0 : -1;
}

void TunnelLib::sessionHandler(int sid) {
    p2p_Thread_SetName("tnl_sessionhdlr");
    TunnelSessionRec &rec = sessions_[sid];
    TunnelThreadRec &t = threads_[sid];
    const int ch = RSC_Create(sid, 30000, 0);
    if (ch < 0) {
        lower_->close(sid);
        rec.inUse = 0;
        t.running = 0;
        return;
    }
    RSC_Set_Max_Pending_ACK_Number(ch, TNL_PENDING_ACKS);
    lower_->watch(sid, this, true);
    auto drop = [&](const char *why) {
        QV_LOG_ERROR("tunnel: session %d dropped before authentication: %s", sid, why);
        lower_->watch(sid, this, false);
        RSC_Abort(ch);
        lower_->close(sid);
        rec.inUse = 0;
        t.running = 0;
    };
    const int64_t deadline = tnl_NowMs() + tnl_DeviceAuthWaitMs();
    uint8_t head[TNL_AUTH_HEAD];
    TunnelAuthHead h{};
    std::vector<uint8_t> auth;
    const int got = tnl_ReadAuthRequest(
        [&](uint8_t *buf, int n) { return readWithin(ch, buf, n, deadline, t.running, rec.broken); }, head,
        &h, &auth);
    if (got != 0) return drop(got == -1 ? "not an authentication request" : "no whole request in time");
    PSLSessionInfoShort info{};
    if (lower_->check(sid, &info) < 0) return drop("session gone");
    bool accepted = false, judged = false;
    const int result = judge(sid, head, auth, &accepted, &judged);
    std::fill(auth.begin(), auth.end(), 0);
    const bool withResult = judged || !accepted;
    const std::vector<uint8_t> reply = tnl_AuthReply(accepted, withResult, result);
    RSC_Write(ch, reply.data(), (int)reply.size());
    RSC_Flush(ch);
    if (!accepted) {
        // The refusal is delivered, then the stream and the session close: no relay for this client.
        lower_->watch(sid, this, false);
        if (RSC_Destroy(ch) != 0) RSC_Abort(ch);
        lower_->close(sid);
        rec.inUse = 0;
        t.running = 0;
        return;
    }
    rec.rscChannel = ch;
    rec.mode = info.mode;
    rec.lastIOTime = (int32_t)time(nullptr);
    try {
        t.reader = std::thread([this, sid] { readerLoop(sid); });
    } catch (...) {
        rec.inUse = 0;
    }
    handlerLoop(sid, true);
    if (senderRunning_) {
        rec.lastIOTime = 0;
        rec.lowWatermark = TNL_LOW_WATERMARK;
        rec.highWatermark = TNL_HIGH_WATERMARK;
    }
    rec.inUse = 0;
    t.running = 0;
    if (t.reader.joinable()) t.reader.join();
    lower_->watch(sid, this, false);
    rec.rscChannel = -1;
    RSC_Abort(ch);
    releaseTickets(sid);
    lower_->close(sid);
}

// ---- LAN test

void TunnelLib::onLanTest(int sid, int ch, const uint8_t *payload, std::vector<Msg> &out) {
    const uint32_t n = tnl_Get32(payload);
    if (tnl_Get16(payload + 4) != tnl_Get16(payload + 6)) return;
    uint32_t r = tnl_LanStep(n);
    {
        std::lock_guard<std::mutex> l(ticketLock_);
        const int64_t now = tnl_NowMs();
        LanTestTicket *free = nullptr;
        for (LanTestTicket &t : tickets_) {
            if (t.used && t.expiresMs < now) t = LanTestTicket{};
            if (!t.used && !free) free = &t;
        }
        if (free) {
            *free = LanTestTicket{1, tnl_LanStep(r), sid, now + TNL_TICKET_MS};
        } else {
            r = 0;
        }
    }
    uint8_t p[TNL_LAN_PAYLOAD];
    tnl_Put32(p, r);
    tnl_Put16(p + 4, 0);
    tnl_Put16(p + 6, lanTestPort_);
    out.push_back({ch, tnl_Message(TNL_LAN_TEST_REPLY, 0, p, sizeof p)});
}

void TunnelLib::releaseTickets(int sid) {
    std::lock_guard<std::mutex> l(ticketLock_);
    for (LanTestTicket &t : tickets_)
        if (t.used && t.session == sid) t = LanTestTicket{};
}

void TunnelLib::devAcceptLoop() {
    p2p_Thread_SetName("tnl_dev_accept");
    struct Conn {
        int fd = -1;
        int empty = 0;
        int got = 0;
        uint8_t buf[4] = {};
    };
    std::vector<Conn> conns(kTestConns);
    std::vector<pollfd> fds;
    std::vector<int> which;
    auto drop = [](Conn &c) {
        close(c.fd);
        c = Conn{};
    };
    while (serverRunning_) {
        fds.assign(1, pollfd{lanTestSocket_, POLLIN, 0});
        which.assign(1, -1);
        for (int i = 0; i < kTestConns; ++i) {
            if (conns[i].fd < 0) continue;
            fds.push_back({conns[i].fd, POLLIN, 0});
            which.push_back(i);
        }
        const int r = poll(fds.data(), fds.size(), 10);
        if (r < 0) {
            sleepMs(100);
            continue;
        }
        if (r == 0) continue;
        if (fds[0].revents & POLLIN) {
            const int fd = accept4(lanTestSocket_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                bool kept = false;
                for (Conn &c : conns) {
                    if (c.fd >= 0) continue;
                    c.fd = fd;
                    kept = true;
                    break;
                }
                if (!kept) close(fd);
            }
        }
        for (size_t k = 1; k < fds.size(); ++k) {
            if (!fds[k].revents) continue;
            Conn &c = conns[which[k]];
            const ssize_t n = recv(c.fd, c.buf + c.got, 4 - c.got, 0);
            if (n < 0) {
                // A socket in error would poll ready for ever: it goes.
                if (errno != EAGAIN && errno != EINTR) drop(c);
                continue;
            }
            if (n == 0) {
                if (++c.empty >= kEmptyReadsMax) drop(c);
                continue;
            }
            c.got += (int)n;
            if (c.got < 4) continue;
            const uint32_t v = tnl_Get32(c.buf);
            bool found = false;
            {
                std::lock_guard<std::mutex> l(ticketLock_);
                const int64_t now = tnl_NowMs();
                for (LanTestTicket &t : tickets_) {
                    if (!t.used || t.expected != v) continue;
                    found = t.expiresMs >= now;
                    t = LanTestTicket{};
                    break;
                }
            }
            if (found) {
                uint8_t a[4];
                tnl_Put32(a, tnl_LanStep(v));
                send(c.fd, a, sizeof a, MSG_NOSIGNAL);
            }
            drop(c);
        }
    }
    for (Conn &c : conns)
        if (c.fd >= 0) close(c.fd);
}
