// The tunnel's message relay, shared by both ends: tunnelled port mappings and their listeners, the message
// handler, the reader of local sockets, the sender of received bytes, slot ageing and flow control.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "base/qv_log.h"
#include "p2p/p2p_platform.h"
#include "p2p/rsc_api.h"
#include "p2p/tnl_core.h"
#include "p2p/tnl_wire.h"

namespace {

constexpr uint32_t kRscPrivateMagic = 0x6c2f4a93u;

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int32_t nowSec() {
    return (int32_t)time(nullptr);
}

}  // namespace

// ---- stream writes

int TunnelLib::writeMsg(int ch, const std::vector<uint8_t> &m) {
    if (ch < 0) return RSC_ERR_BAD_ID;
    const int r = RSC_Write(ch, m.data(), (int)m.size());
    if (r < 0) return r;
    RSC_Flush(ch);
    return 0;
}

// Writes a flow message as the slot's latest decision stands when its turn comes: the handler and the
// sender decide on their own threads and write after leaving the locks, so a PAUSE decided before a RESUME
// could otherwise reach the other end after it and leave it paused for good. A HOLD goes out only while the
// other end is paused and should stay so.
int TunnelLib::writeFlow(int sid, const Msg &m) {
    std::lock_guard<std::mutex> w(flowWriteLock_);
    const uint8_t type = m.bytes[0], index = m.bytes[1];
    uint8_t want, onWire;
    uint32_t serial;
    {
        std::lock_guard<std::recursive_mutex> l(connLock_);
        std::lock_guard<std::recursive_mutex> fl(flowLock_);
        const TunnelSlot &slot = sessions_[sid].slots[index];
        if (slot.state != 1) return 0;
        want = slot.pauseSent;
        onWire = slot.pauseOnWire;
        serial = slot.serial;
    }
    if (type == TNL_HOLD) return want && onWire ? writeMsg(m.channel, m.bytes) : 0;
    if (want == onWire) return 0;
    const int r = writeMsg(m.channel, tnl_Message(want ? TNL_PAUSE : TNL_RESUME, index));
    if (r < 0) return r;
    std::lock_guard<std::recursive_mutex> l(connLock_);
    std::lock_guard<std::recursive_mutex> fl(flowLock_);
    TunnelSlot &slot = sessions_[sid].slots[index];
    if (slot.state == 1 && slot.serial == serial) slot.pauseOnWire = want;
    return r;
}

// Writes decided messages; a failed end or close ends the session (reported).
void TunnelLib::writeAll(std::vector<Msg> &msgs, int sid) {
    for (const Msg &m : msgs) {
        const uint8_t t = m.bytes[0];
        const bool flow =
            (t == TNL_PAUSE || t == TNL_RESUME || t == TNL_HOLD) && m.bytes.size() >= TNL_HEADER;
        if ((flow ? writeFlow(sid, m) : writeMsg(m.channel, m.bytes)) >= 0) continue;
        const uint8_t type = m.bytes[0];
        if (type == TNL_CLOSE || type == TNL_DATA_END) {
            sessions_[sid].inUse = 0;
            reportDrop(sid);
            break;
        }
    }
    msgs.clear();
}

// ---- slots

bool TunnelLib::slotInit(TunnelSlot &slot, uint8_t index, int sock) {
    slot = TunnelSlot{};
    slot.index = index;
    slot.socket = sock;
    slot.state = 1;
    slot.serial = ++slotSerial_;
    slot.hasBuf = p2p_RingBuf_Init(&slot.toLocal, 16) != 0;
    return slot.hasBuf;
}

void TunnelLib::connClose(TunnelSlot &slot, bool reset) {
    std::lock_guard<std::recursive_mutex> l(connLock_);
    if (slot.proxyActive || slot.localSocket >= 0 || slot.deviceSocket >= 0) return proxyClose(slot);
    if (slot.state != 1) return;
    if (slot.socket >= 0) {
        if (reset) {
            linger lg{1, 0};
            setsockopt(slot.socket, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        } else {
            shutdown(slot.socket, SHUT_RD);
        }
        close(slot.socket);
    }
    slot.localInputEnded = 1;
    slot.localOutputEnded = 1;
    slot.state = 2;
    slot.socket = -1;
    slot.closeBy = 0;
    if (slot.hasBuf) p2p_RingBuf_Destroy(&slot.toLocal);
    slot.hasBuf = false;
}

void TunnelLib::closeAllSlots(int sid) {
    std::lock_guard<std::recursive_mutex> l(connLock_);
    if (!sessions_ || !validSid(sid)) return;
    for (TunnelSlot &slot : sessions_[sid].slots) connClose(slot, false);
}

uint32_t TunnelLib::recvQueued(int ch) {
    RSCStatus st{};
    if (ch < 0 || RSC_Status_Check(ch, &st) != 0) return 0;
    return st.recvQBytes;
}

void TunnelLib::wakeSender() {
    {
        std::lock_guard<std::mutex> l(senderMutex_);
        senderSignal_ = true;
    }
    senderCv_.notify_one();
}

// Under connLock_: pause the other end above the high watermark, resume it below the low one.
void TunnelLib::flowDecision(int sid, TunnelSlot &slot, uint32_t recvQ, std::vector<Msg> &out) {
    std::lock_guard<std::recursive_mutex> l(flowLock_);
    TunnelSessionRec &rec = sessions_[sid];
    const uint64_t backlog = (slot.hasBuf ? p2p_RingBuf_Length(&slot.toLocal) : 0) + recvQ;
    if (backlog > rec.highWatermark) {
        if (!slot.pauseSent) {
            slot.pauseSent = 1;
            out.push_back({rec.rscChannel, tnl_Message(TNL_PAUSE, slot.index)});
        }
    } else if (backlog < rec.lowWatermark && slot.pauseSent) {
        slot.pauseSent = 0;
        out.push_back({rec.rscChannel, tnl_Message(TNL_RESUME, slot.index)});
    }
}

// ---- tunnelled mappings

int TunnelLib::portMapping(int sid, int localPort, int remotePort) {
    if (!agentStarted_ || deviceRole_) return TNL_ERR_NOT_STARTED;
    if (!validSid(sid) || localPort <= 0 || localPort > 65535 || remotePort <= 0 || remotePort > 65535)
        return TNL_ERR_ARGUMENT;
    if (sessions_[sid].directLan) return lanPortMapping(sid, localPort, remotePort);
    int idx = -1;
    {
        std::lock_guard<std::recursive_mutex> l(connLock_);
        if (liveMappings_ >= TNL_MAPPINGS) return TNL_ERR_NO_MAPPING;
        for (int i = 0; i < TNL_MAPPINGS; ++i) {
            if (mappings_[i].localPort == 0 && !mappings_[i].listener.joinable()) {
                idx = i;
                break;
            }
        }
        if (idx < 0) return TNL_ERR_NO_MAPPING;
        mappings_[idx].localPort = (uint16_t)localPort;  // claimed
    }
    TunnelMapping &m = mappings_[idx];
    auto release = [&](int fd, int code) {
        if (fd >= 0) close(fd);
        std::lock_guard<std::recursive_mutex> l(connLock_);
        m.localPort = 0;
        m.listenSocket = -1;
        return code;
    };
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return release(-1, TNL_ERR_SOCKET);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons((uint16_t)localPort);
    if (bind(fd, (sockaddr *)&a, sizeof a) != 0) return release(fd, TNL_ERR_BIND);
    if (listen(fd, 20) != 0) return release(fd, TNL_ERR_LISTEN);
    m.targetPort = (uint16_t)remotePort;
    m.session = sid;
    m.listenSocket = fd;
    m.stopRequested = false;
    try {
        m.listener = std::thread([this, idx] { listenerLoop(idx); });
    } catch (...) {
        return release(fd, TNL_ERR_THREAD);
    }
    std::lock_guard<std::recursive_mutex> l(connLock_);
    ++liveMappings_;
    return idx;
}

int TunnelLib::stopPortMapping(int index) {
    if (index >= TNL_LAN_MAPPING_BASE) {
        if (index - TNL_LAN_MAPPING_BASE < TNL_MAPPINGS) stopLanMapping(index - TNL_LAN_MAPPING_BASE);
        return 0;
    }
    if (index < 0 || index >= TNL_MAPPINGS) return 0;
    TunnelMapping &m = mappings_[index];
    if (m.listenSocket < 0 && !m.listener.joinable()) return 0;
    m.stopRequested = true;
    if (m.listenSocket >= 0) shutdown(m.listenSocket, SHUT_RDWR);
    if (m.listener.joinable()) m.listener.join();
    std::lock_guard<std::recursive_mutex> l(connLock_);
    if (m.listenSocket >= 0) close(m.listenSocket);
    m.listenSocket = -1;
    m.localPort = 0;
    m.session = -1;
    if (liveMappings_ > 0) --liveMappings_;
    return 0;
}

void TunnelLib::listenerLoop(int index) {
    p2p_Thread_SetName("tnl_agtlisten");
    TunnelMapping &m = mappings_[index];
    const int sid = m.session;
    TunnelSessionRec &rec = sessions_[sid];
    const int ch = rec.rscChannel;
    uint8_t target[TNL_CONNECT_PAYLOAD];
    tnl_ConnectTarget_Write(target, htonl(INADDR_LOOPBACK), m.targetPort);
    while (!m.stopRequested) {
        pollfd p{m.listenSocket, POLLIN, 0};
        const int r = poll(&p, 1, 500);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) break;
        if (r == 0 || m.stopRequested) continue;
        const int fd = accept4(m.listenSocket, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINVAL) break;  // shut down
            continue;
        }
        if (ch < 0 || !rec.inUse || rec.rscChannel != ch) {
            close(fd);
            continue;
        }
        int slotIdx = -1;
        {
            std::lock_guard<std::recursive_mutex> l(connLock_);
            for (int i = 0; i < TNL_SLOTS; ++i) {
                if (rec.slots[i].state == 0) {
                    slotIdx = i;
                    break;
                }
            }
            // Every slot busy: the connection is refused rather than kept waiting.
            if (slotIdx < 0 || !slotInit(rec.slots[slotIdx], (uint8_t)slotIdx, fd)) {
                if (slotIdx >= 0) rec.slots[slotIdx] = TunnelSlot{};
                close(fd);
                continue;
            }
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            rec.slots[slotIdx].readGate = 3;  // not read until the other end knows the connection
            rec.lastIOTime = nowSec();
        }
        const int w = writeMsg(ch, tnl_Message(TNL_CONNECT, (uint8_t)slotIdx, target, sizeof target));
        std::lock_guard<std::recursive_mutex> l(connLock_);
        TunnelSlot &slot = rec.slots[slotIdx];
        if (slot.state != 1 || slot.socket != fd) continue;
        if (w < 0)
            connClose(slot, true);
        else
            slot.readGate = 0;
    }
}

// ---- message handler

int TunnelLib::readExact(int sid, int ch, StreamBuf &in, uint8_t *buf, int n) {
    TunnelSessionRec &rec = sessions_[sid];
    TunnelThreadRec &t = threads_[sid];
    int got = 0;
    while (got < n) {
        if (in.pos < in.len) {
            const size_t k = std::min(in.len - in.pos, (size_t)(n - got));
            memcpy(buf + got, in.bytes.data() + in.pos, k);
            in.pos += k;
            got += (int)k;
            continue;
        }
        if (!t.running || !rec.inUse) return -1;
        if (rec.broken) return RSC_ERR_CLOSED;
        const int r = RSC_Read(ch, in.bytes.data(), (int)in.bytes.size(), 100);
        if (r == RSC_ERR_TIMEOUT) continue;
        if (r < 0) return r;
        in.pos = 0;
        in.len = (size_t)r;
        if (rec.dropped) return -1;
    }
    return 0;
}

void TunnelLib::onConnect(int sid, int ch, uint8_t index, const uint8_t *payload, std::vector<Msg> &out) {
    TunnelSessionRec &rec = sessions_[sid];
    uint32_t ip;
    uint16_t port;
    tnl_ConnectTarget_Read(payload, &ip, &port);
    // The device only ever dials its own loopback services.
    if (ip != htonl(INADDR_LOOPBACK) || port == 0) {
        QV_LOG_ERROR("tunnel: session %d asked for a connection outside 127.0.0.1: refused", sid);
        out.push_back({ch, tnl_Message(TNL_CLOSE, index)});
        return;
    }
    std::lock_guard<std::recursive_mutex> l(connLock_);
    TunnelSlot &slot = rec.slots[index];
    if (slot.state == 1) {
        if (slot.socket >= 0) shutdown(slot.socket, SHUT_WR);
        connClose(slot, false);
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 || !slotInit(slot, index, fd)) {
        if (fd >= 0) close(fd);
        slot = TunnelSlot{};
        out.push_back({ch, tnl_Message(TNL_CLOSE, index)});
        return;
    }
    rec.lastIOTime = nowSec();
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // Not waited for: a failure shows as the socket's first read error, which answers with a close.
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ip;
    a.sin_port = htons(port);
    if (dialLoopback_ && ::connect(fd, (sockaddr *)&a, sizeof a) != 0 && errno != EINPROGRESS) {
        out.push_back({ch, tnl_Message(TNL_CLOSE, index)});
        connClose(slot, false);
    }
}

void TunnelLib::handlerLoop(int sid, bool deviceSide) {
    const int ch = sessions_[sid].rscChannel;
    // Whatever the stream holds is taken in one read and the messages are cut from it: one pass through the
    // stream's lock per batch of packets instead of two per message.
    StreamBuf in;
    in.bytes.resize(kStreamReadBuf);
    handleMessages(sid, deviceSide,
                   [this, sid, ch, &in](uint8_t *buf, int n) { return readExact(sid, ch, in, buf, n); });
}

void TunnelLib::handleMessages(int sid, bool deviceSide, const ReadFn &readExactly) {
    TunnelSessionRec &rec = sessions_[sid];
    TunnelThreadRec &t = threads_[sid];
    const int ch = rec.rscChannel;
    std::vector<uint8_t> payload(TNL_PAYLOAD_MAX);
    std::vector<Msg> out;
    bool streamFailed = false;
    while (rec.inUse && t.running) {
        uint8_t head[TNL_HEADER];
        int r = readExactly(head, TNL_HEADER);
        if (r < 0) {
            streamFailed = r != -1;
            break;
        }
        const TunnelMessageHeader h = tnl_Header_Read(head);
        if (h.length > TNL_PAYLOAD_MAX) {
            QV_LOG_ERROR("tunnel: session %d sent a message of %u bytes: session ended", sid, h.length);
            streamFailed = true;
            break;
        }
        r = readExactly(payload.data(), h.length);
        if (r < 0) {
            streamFailed = r != -1;
            break;
        }
        TunnelSlot &slot = rec.slots[h.connection];
        switch (h.type) {
            case TNL_CONNECT:
                if (!deviceSide) {
                    // No dialling out on the device's word.
                    QV_LOG_ERROR("tunnel: session %d: the device asked this end to connect: refused", sid);
                    break;
                }
                if (h.length != TNL_CONNECT_PAYLOAD) break;
                onConnect(sid, ch, h.connection, payload.data(), out);
                break;
            case TNL_DATA: {
                if (h.length == 0) break;
                const uint32_t recvQ = recvQueued(ch);
                std::lock_guard<std::recursive_mutex> l(connLock_);
                if (slot.state != 1 || slot.socket < 0 || slot.localOutputEnded || !slot.hasBuf) break;
                if (p2p_RingBuf_Length(&slot.toLocal) + h.length > TNL_TO_LOCAL_CAP) {
                    // The other end ignores our pause: its connection goes, not our memory.
                    out.push_back({ch, tnl_Message(TNL_CLOSE, slot.index)});
                    connClose(slot, true);
                    break;
                }
                if (p2p_RingBuf_Write(&slot.toLocal, payload.data(), h.length) != 0) {
                    out.push_back({ch, tnl_Message(TNL_CLOSE, slot.index)});
                    connClose(slot, true);
                    break;
                }
                flowDecision(sid, slot, recvQ, out);
                wakeSender();
                break;
            }
            case TNL_DATA_END: {
                std::lock_guard<std::recursive_mutex> l(connLock_);
                if (slot.state == 1) slot.peerInputEnded = 1;
                wakeSender();
                break;
            }
            case TNL_CLOSE: {
                std::lock_guard<std::recursive_mutex> l(connLock_);
                if (slot.state != 1) break;
                if (slot.localInputEnded && !slot.localOutputEnded && slot.hasBuf &&
                    p2p_RingBuf_Length(&slot.toLocal) > 0) {
                    // Our side has finished sending: what is queued for it still goes out (bounded).
                    slot.peerInputEnded = 1;
                    slot.closeBy = tnl_NowMs() + 5000;
                    wakeSender();
                } else if (slot.localInputEnded) {
                    if (slot.socket >= 0) shutdown(slot.socket, SHUT_WR);
                    connClose(slot, false);
                } else {
                    connClose(slot, true);
                }
                break;
            }
            case TNL_PAUSE: {
                std::lock_guard<std::recursive_mutex> l(connLock_);
                if (slot.state == 1) slot.readGate = (uint8_t)(slot.readGate + 2);
                break;
            }
            case TNL_RESUME: {
                std::lock_guard<std::recursive_mutex> l(connLock_);
                if (slot.state == 1) slot.readGate = 0;
                break;
            }
            case TNL_HOLD: {
                std::lock_guard<std::recursive_mutex> l(connLock_);
                if (slot.state == 1) slot.readGate = 2;
                break;
            }
            case TNL_LAN_TEST:
                if (deviceSide && h.length == TNL_LAN_PAYLOAD) onLanTest(sid, ch, payload.data(), out);
                break;
            default:
                break;
        }
        if (!out.empty()) writeAll(out, sid);
    }
    // The stream failed or the other end broke the protocol while the session was in use: a drop.
    if (streamFailed && rec.inUse && t.running) {
        rec.inUse = 0;
        reportDrop(sid);
    }
}

// ---- reader of local sockets

void TunnelLib::readerLoop(int sid) {
    p2p_Thread_SetName("tnl_read_socket");
    TunnelSessionRec &rec = sessions_[sid];
    TunnelThreadRec &t = threads_[sid];
    if (rec.directLan) return;
    const int ch = rec.rscChannel;
    std::vector<uint8_t> msg(TNL_HEADER + TNL_PAYLOAD_MAX);
    std::vector<pollfd> fds;
    std::vector<int> idx;
    std::vector<Msg> out;
    while (rec.inUse && t.running) {
        fds.clear();
        idx.clear();
        {
            std::lock_guard<std::recursive_mutex> l(connLock_);
            for (int i = 0; i < TNL_SLOTS; ++i) {
                const TunnelSlot &s = rec.slots[i];
                if (s.state == 1 && !s.localInputEnded && s.socket >= 0 && s.readGate <= 2) {
                    fds.push_back({s.socket, POLLIN, 0});
                    idx.push_back(i);
                }
            }
        }
        int ready = 0;
        if (fds.empty()) {
            sleepMs(100);
        } else {
            ready = poll(fds.data(), fds.size(), 100);
            if (ready < 0) ready = 0;
        }
        RSCPrivateStatus st{};
        if (rec.broken || RSC_Private_Status_Check(kRscPrivateMagic, ch, &st) < 0) {
            if (rec.inUse && t.running) {
                rec.inUse = 0;
                reportDrop(sid);
            }
            break;
        }
        bool sent = false, failed = false;
        for (size_t k = 0; k < fds.size() && ready > 0 && !failed; ++k) {
            if (!fds[k].revents) continue;
            --ready;
            const int i = idx[k];
            int n;
            {
                std::lock_guard<std::recursive_mutex> l(connLock_);
                TunnelSlot &s = rec.slots[i];
                if (s.state != 1 || s.socket != fds[k].fd || s.localInputEnded) continue;
                if (s.readGate == 3) continue;
                if (s.readGate != 1) ++s.readGate;
                n = (int)recv(s.socket, msg.data() + TNL_HEADER, TNL_PAYLOAD_MAX, 0);
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
                if (n > 0) {
                    rec.lastIOTime = nowSec();
                    tnl_Header_Write(msg.data(), TunnelMessageHeader{TNL_DATA, (uint8_t)i, (uint16_t)n});
                } else if (n == 0) {
                    s.localInputEnded = 1;
                    if (s.localOutputEnded) {
                        out.push_back({ch, tnl_Message(TNL_CLOSE, (uint8_t)i)});
                        connClose(s, false);
                    } else {
                        out.push_back({ch, tnl_Message(TNL_DATA_END, (uint8_t)i)});
                    }
                } else {
                    // A broken local connection is not an orderly end: the other end closes too.
                    out.push_back({ch, tnl_Message(TNL_CLOSE, (uint8_t)i)});
                    connClose(s, true);
                }
            }
            if (n > 0) {
                if (RSC_Write(ch, msg.data(), TNL_HEADER + n) < 0) {
                    // The bytes are lost: the connection cannot go on.
                    std::lock_guard<std::recursive_mutex> l(connLock_);
                    TunnelSlot &s = rec.slots[i];
                    if (s.state == 1 && s.socket == fds[k].fd) connClose(s, true);
                    failed = true;
                }
                sent = true;
            } else {
                writeAll(out, sid);
            }
        }
        if (sent) RSC_Flush(ch);
        // Back-pressure: no local socket is read while the stream holds this much unacknowledged; the wait
        // ends as soon as acknowledgements make room (a fixed sleep here held the stream under its window).
        while (rec.inUse && t.running && !rec.broken &&
               rsc_Wait_Send_Room(ch, TNL_SENDQ_PAUSE, 100) == RSC_ERR_TIMEOUT) {
        }
        if (!sent) {
            // Sockets that polled readable but gave nothing: do not spin on them.
            bool anyReadable = false;
            for (const pollfd &p : fds) anyReadable = anyReadable || p.revents;
            if (anyReadable) sleepMs(10);
        }
    }
    closeAllSlots(sid);
    rec.inUse = 0;
}

// ---- sender of received bytes

void TunnelLib::senderLoop() {
    p2p_Thread_SetName("tnl_sender");
    uint64_t running = 0;
    std::vector<Msg> out;
    while (senderRunning_) {
        {
            std::unique_lock<std::mutex> l(senderMutex_);
            senderCv_.wait_for(l, std::chrono::milliseconds(20), [this] { return senderSignal_; });
            senderSignal_ = false;
        }
        if (!senderRunning_) break;
        for (int sid = 0; sid < maxSessions_; ++sid) {
            TunnelSessionRec &rec = sessions_[sid];
            if (!rec.inUse || rec.directLan) continue;
            const int ch = rec.rscChannel;
            const uint32_t recvQ = recvQueued(ch);
            {
                std::lock_guard<std::recursive_mutex> l(connLock_);
                for (TunnelSlot &s : rec.slots) {
                    if (s.state != 1 || s.localOutputEnded || s.socket < 0 || !s.hasBuf) continue;
                    const int64_t n = p2p_RingBuf_SendTo(&s.toLocal, s.socket);
                    if (n < 0) {
                        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                            if (s.closeBy && tnl_NowMs() > s.closeBy) connClose(s, true);
                            continue;
                        }
                        if (s.localInputEnded) {
                            out.push_back({ch, tnl_Message(TNL_CLOSE, s.index)});
                            connClose(s, true);
                        } else {
                            s.localOutputEnded = 1;
                        }
                        continue;
                    }
                    std::lock_guard<std::recursive_mutex> fl(flowLock_);
                    if (n > 0) rec.lastIOTime = nowSec();
                    running += (uint64_t)n;
                    const uint64_t left = p2p_RingBuf_Length(&s.toLocal);
                    if (left == 0 && s.peerInputEnded) {
                        if (s.localInputEnded) {
                            shutdown(s.socket, SHUT_WR);
                            connClose(s, false);
                        } else {
                            s.localOutputEnded = 1;
                            shutdown(s.socket, SHUT_WR);
                        }
                        continue;
                    }
                    if (s.closeBy && tnl_NowMs() > s.closeBy) {
                        connClose(s, true);
                        continue;
                    }
                    flowDecision(sid, s, recvQ, out);
                    if (running >= 8197 && left + recvQ > rec.lowWatermark) {
                        if (s.pauseSent) out.push_back({ch, tnl_Message(TNL_HOLD, s.index)});
                        running = 0;
                    }
                }
            }
            if (!out.empty()) writeAll(out, sid);
        }
    }
}

// ---- ageing of closed slots (client)

void TunnelLib::delayLoop() {
    p2p_Thread_SetName("tnl_delaychnl");
    while (agentRunning_) {
        for (int i = 0; i < 10 && agentRunning_; ++i) sleepMs(100);
        std::lock_guard<std::recursive_mutex> l(connLock_);
        for (int sid = 0; sid < maxSessions_; ++sid) {
            TunnelSessionRec &rec = sessions_[sid];
            if (!rec.inUse) continue;
            for (TunnelSlot &s : rec.slots) {
                if (s.state < 2) continue;
                if (++s.state > 5) s.state = 0;
            }
        }
    }
}

// ---- for the fuzzer: one session's messages from a buffer

void TunnelLib::feedMessages(bool deviceSide, const uint8_t *data, size_t size) {
    if (!agentStarted_ || maxSessions_ < 1) return;
    const int sid = 0;
    TunnelSessionRec &rec = sessions_[sid];
    TunnelThreadRec &t = threads_[sid];
    rec.rscChannel = -1;
    rec.inUse = 1;
    rec.broken = false;
    rec.reported = false;
    t.running = 1;
    size_t off = 0;
    handleMessages(sid, deviceSide, [&](uint8_t *buf, int n) {
        if ((size_t)n > size - off) return (int)RSC_ERR_CLOSED;
        if (n) memcpy(buf, data + off, (size_t)n);
        off += (size_t)n;
        return 0;
    });
    rec.inUse = 0;
    t.running = 0;
    std::lock_guard<std::recursive_mutex> l(connLock_);
    closeAllSlots(sid);
    for (TunnelSlot &slot : rec.slots) slot = TunnelSlot{};
}
