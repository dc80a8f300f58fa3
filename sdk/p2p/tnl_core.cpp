// The tunnel library's start and stop, the client's connect with its authentication handshake, closing
// sessions, the connects-in-progress table and the drop reports.
#include "p2p/tnl_core.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <chrono>

#include "base/qv_log.h"
#include "p2p/p2p_platform.h"
#include "p2p/psl_private.h"
#include "p2p/rsc_api.h"
#include "p2p/tnl_wire.h"

namespace {

std::atomic<int> g_authWaitMs{30000};
std::atomic<int> g_deviceAuthWaitMs{90000};

int translatePsl(int r) {
    switch (r) {
        case PSL_ERR_REFUSED_BUSY:
            return TNL_ERR_BUSY;
        case PSL_ERR_NO_SESSION:
            return TNL_ERR_NO_SESSION;
        case PSL_ERR_UID:
            return TNL_ERR_UID;
        case -8:
        case -7:
        case PSL_ERR_SOCKET:
            return TNL_ERR_SOCKET;
        default:
            return r;
    }
}

}  // namespace

int64_t tnl_NowMs(void) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int tnl_AuthWaitMs(void) {
    return g_authWaitMs;
}

int tnl_DeviceAuthWaitMs(void) {
    return g_deviceAuthWaitMs;
}

void tnl_Test_SetAuthWaitMs(int clientMs, int deviceMs) {
    g_authWaitMs = clientMs > 0 ? clientMs : 30000;
    g_deviceAuthWaitMs = deviceMs > 0 ? deviceMs : 90000;
}

TunnelLib::~TunnelLib() {
    if (!agentStarted_) return;
    if (deviceRole_) {
        serverStop();
        serverDeInitialize();
    } else {
        agentDeInitialize();
    }
}

bool TunnelLib::sessionInUse(int sid) const {
    return agentStarted_ && validSid(sid) && sessions_[sid].inUse != 0;
}

// ---- start and stop

int TunnelLib::sharedStart(int maxSessions) {
    for (TunnelUidEntry &e : uids_) e = TunnelUidEntry{};
    const int r = lower_->start(maxSessions, privateServerMode_ != 0);
    if (r < 0) return r;
    if (FILE *f = fopen("notimeout", "r")) {
        noTimeout_ = true;
        fclose(f);
    } else {
        noTimeout_ = false;
    }
    maxSessions_ = maxSessions;
    sessions_.reset(new TunnelSessionRec[(size_t)maxSessions]);
    threads_.reset(new TunnelThreadRec[TNL_MAX_SESSIONS]);
    for (LanTestTicket &t : tickets_) t = LanTestTicket{};
    agentStarted_ = true;
    senderRunning_ = true;
    try {
        sender_ = std::thread([this] { senderLoop(); });
    } catch (...) {
        senderRunning_ = false;
        agentStarted_ = false;
        sessions_.reset();
        threads_.reset();
        lower_->stop();
        return TNL_ERR_THREAD;
    }
    return 0;
}

void TunnelLib::sharedStop() {
    {
        std::lock_guard<std::mutex> l(senderMutex_);
        senderRunning_ = false;
        senderSignal_ = true;
    }
    senderCv_.notify_all();
    if (sender_.joinable()) sender_.join();
    waitReports();
    {
        std::lock_guard<std::recursive_mutex> l(connLock_);
        for (int s = 0; s < maxSessions_; ++s) closeAllSlots(s);
    }
    sessions_.reset();
    threads_.reset();
    lower_->stop();
    maxSessions_ = 0;
    agentStarted_ = false;
}

int TunnelLib::agentInitialize(int maxSessions) {
    if (agentStarted_) return TNL_ERR_ALREADY_STARTED;
    if (maxSessions <= 0 || maxSessions > TNL_MAX_SESSIONS) return TNL_ERR_ARGUMENT;
    deviceRole_ = false;
    for (TunnelMapping &m : mappings_) {
        m.localPort = 0;
        m.listenSocket = -1;
        m.session = -1;
    }
    liveMappings_ = 0;
    for (LanMapping &m : lanMappings_) m = LanMapping{};
    const int r = sharedStart(maxSessions);
    if (r < 0) return r;
    agentRunning_ = true;
    mapAcceptWake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    proxyWake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    try {
        delay_ = std::thread([this] { delayLoop(); });
        tcpProxy_ = std::thread([this] { tcpProxyLoop(); });
        mapAccept_ = std::thread([this] { mapAcceptLoop(); });
    } catch (...) {
        stopAgentThreads();
        sharedStop();
        return TNL_ERR_THREAD;
    }
    return 0;
}

int TunnelLib::agentDeInitialize() {
    if (stopInProgress_.exchange(true)) return TNL_ERR_NOT_STARTED;
    if (!agentStarted_ || deviceRole_) {
        stopInProgress_ = false;
        return TNL_ERR_NOT_STARTED;
    }
    setStatusCallback(nullptr, statusArg_);
    for (int i = 0; i < TNL_MAPPINGS; ++i) stopPortMapping(i);
    // Sessions the caller left open are closed here rather than freed under their threads.
    for (int s = 0; s < maxSessions_; ++s)
        if (sessions_[s].inUse || threads_[s].handler.joinable() || threads_[s].reader.joinable())
            closeSession(s, true);
    for (int j = 0; j < TNL_MAPPINGS; ++j) stopLanMapping(j);
    stopAgentThreads();
    liveMappings_ = 0;
    sharedStop();
    stopInProgress_ = false;
    return 0;
}

void TunnelLib::stopAgentThreads() {
    agentRunning_ = false;
    wake(mapAcceptWake_);
    wake(proxyWake_);
    if (delay_.joinable()) delay_.join();
    if (mapAccept_.joinable()) mapAccept_.join();
    if (tcpProxy_.joinable()) tcpProxy_.join();
    for (int *fd : {&mapAcceptWake_, &proxyWake_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

// ---- drop reports

void TunnelLib::setStatusCallback(PeerTunnelStatusCallback cb, void *arg) {
    std::lock_guard<std::mutex> l(cbLock_);
    statusCb_ = cb;
    statusArg_ = arg;
}

void TunnelLib::statusForward(int sid, int status) {
    (void)status;  // every report is a drop
    if (!agentStarted_ || !validSid(sid)) return;
    // The session's threads end whether or not anyone hears of it.
    sessions_[sid].broken = true;
    reportDrop(sid);
}

void TunnelLib::reportDrop(int sid) {
    if (noTimeout_ || !validSid(sid)) return;
    {
        std::lock_guard<std::mutex> l(cbLock_);
        if (!statusCb_) return;
    }
    if (sessions_[sid].reported.exchange(true)) return;  // one report per session
    {
        std::lock_guard<std::mutex> l(reportLock_);
        ++reportsRunning_;
    }
    try {
        std::thread([this, sid] {
            p2p_Thread_SetName("tnl_sessionstat");
            PeerTunnelStatusCallback c;
            void *a;
            {
                std::lock_guard<std::mutex> l(cbLock_);
                c = statusCb_;
                a = statusArg_;
            }
            if (c && !noTimeout_) {
                sessions_[sid].dropped = 1;
                c(TNL_ERR_DROPPED, sid, a);
            }
            std::lock_guard<std::mutex> l(reportLock_);
            --reportsRunning_;
            reportDone_.notify_all();
        }).detach();
    } catch (...) {
        std::lock_guard<std::mutex> l(reportLock_);
        --reportsRunning_;
    }
}

void TunnelLib::waitReports() {
    std::unique_lock<std::mutex> l(reportLock_);
    reportDone_.wait_for(l, std::chrono::seconds(10), [this] { return reportsRunning_ == 0; });
}

// ---- connects in progress

void TunnelLib::uidAdd(const char *uid) {
    std::lock_guard<std::recursive_mutex> l(uidLock_);
    if (uidFind(uid) >= 0) return;
    for (TunnelUidEntry &e : uids_) {
        if (e.inUse) continue;
        e = TunnelUidEntry{};
        e.inUse = 1;
        memcpy(e.uid, uid, strnlen(uid, sizeof e.uid));
        return;
    }
}

int TunnelLib::uidFind(const char *uid) {
    std::lock_guard<std::recursive_mutex> l(uidLock_);
    for (int i = 0; i < TNL_UID_ENTRIES; ++i)
        if (uids_[i].inUse && strncmp(uids_[i].uid, uid, sizeof uids_[i].uid) == 0) return i;
    return -1;
}

void TunnelLib::uidRemove(const char *uid) {
    std::lock_guard<std::recursive_mutex> l(uidLock_);
    const int i = uidFind(uid);
    if (i >= 0) uids_[i] = TunnelUidEntry{};
}

void TunnelLib::uidSetIds(const char *uid, int sid, int ch) {
    std::lock_guard<std::recursive_mutex> l(uidLock_);
    const int i = uidFind(uid);
    if (i < 0) return;
    uids_[i].pslSession = sid;
    uids_[i].rscChannel = ch;
}

int TunnelLib::connectStop(const char *uid) {
    if (!uid) return TNL_ERR_NOT_CONNECTING;
    std::lock_guard<std::recursive_mutex> l(uidLock_);
    const int i = uidFind(uid);
    if (i < 0) return TNL_ERR_NOT_CONNECTING;
    const TunnelUidEntry e = uids_[i];
    int r = 0;
    if (e.pslSession < 0) {
        lower_->connectAbortAll();
    } else {
        r = e.rscChannel < 0 ? RSC_Create_Exit(e.pslSession, 0) : RSC_Abort(e.rscChannel);
        lower_->close(e.pslSession);
    }
    uidRemove(uid);
    return r < 0 ? TNL_ERR_NOT_CONNECTING : 0;
}

int TunnelLib::reserveSession() {
    if (!agentStarted_) return TNL_ERR_NOT_STARTED;
    const int r = lower_->reserveSession();
    return r < 0 ? TNL_ERR_NO_FREE_SESSION : r;
}

// ---- connect

int TunnelLib::connect(const char *uid, const void *authData, int authLength, int *errFromDevice) {
    return connectCommon(uid, -1, authData, authLength, errFromDevice);
}

int TunnelLib::connectToSession(const char *uid, int sid, const void *authData, int authLength,
                                int *errFromDevice) {
    return connectCommon(uid, sid, authData, authLength, errFromDevice);
}

// The reply: its 4-byte header, then exactly the length it names, all within the reply wait.
int TunnelLib::readAuthReply(int ch, int *errFromDevice) {
    const int64_t deadline = tnl_NowMs() + tnl_AuthWaitMs();
    uint8_t buf[TNL_HEADER + 4];
    int got = 0, want = TNL_HEADER;
    while (got < want) {
        const int64_t left = deadline - tnl_NowMs();
        if (left <= 0) return TNL_ERR_DROPPED;
        const int r = RSC_Read(ch, buf + got, want - got, (int)(left < 100 ? left : 100));
        if (r == RSC_ERR_TIMEOUT) continue;
        if (r < 0) return TNL_ERR_DROPPED;
        got += r;
        if (got == TNL_HEADER) {
            const TunnelMessageHeader h = tnl_Header_Read(buf);
            if (tnl_AuthReplyHead_Check(h) != 0) {
                QV_LOG_ERROR("tunnel: the device's authentication reply is malformed (type %u, length %u)",
                             h.type, h.length);
                return TNL_ERR_AUTH_REFUSED;
            }
            want = TNL_HEADER + h.length;
        }
    }
    const TunnelMessageHeader h = tnl_Header_Read(buf);
    if (errFromDevice) *errFromDevice = h.length == 4 ? (int32_t)tnl_Get32(buf + TNL_HEADER) : 0;
    return h.type == TNL_AUTH_OK ? 0 : TNL_ERR_AUTH_REFUSED;
}

int TunnelLib::connectCommon(const char *uid, int wantSid, const void *authData, int authLength,
                             int *errFromDevice) {
    if (!agentStarted_ || deviceRole_) return TNL_ERR_NOT_STARTED;
    if (!uid || (uint32_t)authLength > TNL_AUTH_MAX || (authData && authLength == 0) ||
        (!authData && authLength > 0))
        return TNL_ERR_ARGUMENT;
    if (wantSid >= 0 && !validSid(wantSid)) return TNL_ERR_ARGUMENT;
    const bool toSession = wantSid >= 0;
    uidAdd(uid);
    int r = toSession ? lower_->connectToSession(uid, wantSid) : lower_->connect(uid);
    if (r < 0) {
        uidRemove(uid);
        return translatePsl(r);
    }
    const int s = r;
    if (toSession && s != wantSid) {
        uidRemove(uid);
        return TNL_ERR_SESSION;
    }
    if (!validSid(s)) {
        lower_->close(s);
        uidRemove(uid);
        return TNL_ERR_SESSION;
    }
    PSLSessionInfoShort info{};
    lower_->check(s, &info);
    uidSetIds(uid, s, -1);
    if (toSession && uidFind(uid) < 0) {
        lower_->close(s);
        return TNL_ERR_CANCELLED;
    }
    const int ch = RSC_Create(s, 30000, 0);
    if (ch < 0) {
        lower_->close(s);
        uidRemove(uid);
        return ch;
    }
    uidSetIds(uid, s, ch);
    RSC_Set_Max_Pending_ACK_Number(ch, TNL_PENDING_ACKS);
    auto fail = [&](int code) {
        RSC_Abort(ch);
        lower_->close(s);
        uidRemove(uid);
        return code;
    };
    if (toSession && uidFind(uid) < 0) return TNL_ERR_CANCELLED;
    const std::vector<uint8_t> req = tnl_AuthRequest(authData, (uint32_t)authLength);
    RSC_Write(ch, req.data(), (int)req.size());
    RSC_Flush(ch);
    r = readAuthReply(ch, errFromDevice);
    if (r < 0) {
        // A refusal is delivered before the stream closes; a silent device gets an abort.
        if (r == TNL_ERR_AUTH_REFUSED && RSC_Destroy(ch) == 0) {
            lower_->close(s);
            uidRemove(uid);
            return r;
        }
        return fail(r);
    }
    TunnelSessionRec &rec = sessions_[s];
    {
        std::lock_guard<std::recursive_mutex> l(connLock_);
        closeAllSlots(s);
        for (int i = 0; i < TNL_SLOTS; ++i) rec.slots[i] = TunnelSlot{};
        rec.rscChannel = ch;
        rec.lowWatermark = TNL_LOW_WATERMARK;
        rec.highWatermark = TNL_HIGH_WATERMARK;
        rec.directLan = 0;
        rec.mode = info.mode;
        rec.dropped = 0;
        rec.reported = false;
        rec.broken = false;
        rec.lastIOTime = (int32_t)time(nullptr);
        rec.inUse = 1;
    }
    lower_->watch(s, this, true);
    // On the LAN, a device this machine reaches over TCP is served directly; any failure keeps the tunnel.
    if (info.mode == PSL_MODE_LAN && (toSession || lower_->peerProtocol(s) >= 7)) {
        in_addr ip{};
        if (lanCheck(ch, info) == 0 && inet_pton(AF_INET, info.remoteIP, &ip) == 1) {
            rec.deviceIPv4 = ip.s_addr;
            rec.directLan = 1;
        }
    }
    TunnelThreadRec &t = threads_[s];
    t.session = (uint16_t)s;
    t.running = 1;
    if (toSession && uidFind(uid) < 0) {
        closeSession(s, true);
        return TNL_ERR_CANCELLED;
    }
    r = startSessionThreads(s);
    uidRemove(uid);
    if (r < 0) {
        closeSession(s, true);
        return r;
    }
    return s;
}

int TunnelLib::startSessionThreads(int sid) {
    TunnelThreadRec &t = threads_[sid];
    try {
        t.handler = std::thread([this, sid] {
            p2p_Thread_SetName("tnl_agt_tnlhdlr");
            handlerLoop(sid, false);
            threads_[sid].running = 0;
        });
        t.reader = std::thread([this, sid] { readerLoop(sid); });
    } catch (...) {
        return TNL_ERR_THREAD;
    }
    return 0;
}

// ---- closing

void TunnelLib::endSessionThreads(int sid) {
    TunnelThreadRec &t = threads_[sid];
    if (t.handler.joinable() && t.handler.get_id() != std::this_thread::get_id()) t.handler.join();
    if (t.reader.joinable() && t.reader.get_id() != std::this_thread::get_id()) t.reader.join();
}

int TunnelLib::closeSession(int sid, bool abort) {
    if (!agentStarted_ || deviceRole_) return TNL_ERR_NOT_STARTED;
    if (!validSid(sid)) return TNL_ERR_ARGUMENT;
    TunnelSessionRec &rec = sessions_[sid];
    lower_->watch(sid, this, false);
    rec.inUse = 0;
    threads_[sid].running = 0;
    const int ch = rec.rscChannel.exchange(-1);
    if (ch >= 0) {
        if (abort || RSC_Destroy(ch) != 0) RSC_Abort(ch);
    }
    endSessionThreads(sid);
    closeLanOfSession(sid);
    {
        std::lock_guard<std::recursive_mutex> l(connLock_);
        closeAllSlots(sid);
        for (int i = 0; i < TNL_SLOTS; ++i) rec.slots[i] = TunnelSlot{};
        rec.lastIOTime = 0;
        rec.lowWatermark = TNL_LOW_WATERMARK;
        rec.highWatermark = TNL_HIGH_WATERMARK;
        rec.directLan = 0;
        rec.deviceIPv4 = 0;
        rec.dropped = 0;
    }
    lower_->close(sid);
    return 0;
}

// ---- settings

int TunnelLib::setBufferSize(int sid, int high) {
    if (!agentStarted_ || !validSid(sid) || high <= 0) return TNL_ERR_ARGUMENT;
    TunnelSessionRec &rec = sessions_[sid];
    if (!rec.inUse) return TNL_ERR_SESSION;
    rec.highWatermark = (uint32_t)high;
    rec.lowWatermark = (uint32_t)(((int64_t)high * 4) / 10);
    return 0;
}

int TunnelLib::lastIOTime(int sid) {
    if (!agentStarted_ || !validSid(sid)) return TNL_ERR_ARGUMENT;
    if (!sessions_[sid].inUse) return TNL_ERR_SESSION;
    return sessions_[sid].lastIOTime;
}

int TunnelLib::setPrivateServerMode(uint8_t flag, uint32_t magic) {
    if (magic != 0x3b5e917du) return -1;
    privateServerMode_ = flag;
    return 0;
}
