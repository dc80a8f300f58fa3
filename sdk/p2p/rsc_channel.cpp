// Reliable stream channels: the channel table, opening and closing, the send thread with its window and
// retransmissions, the receive callback, reading and writing. Every channel field is guarded by the session
// table lock; nothing sleeps while holding it.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "p2p/rsc_api.h"
#include "p2p/rsc_congestion.h"
#include "p2p/rsc_packet.h"
#include "p2p/rsc_recv.h"
#include "p2p/rsc_session.h"

namespace {

constexpr uint8_t kWatchdog = 120;
constexpr uint8_t kWatchdogDestroying = 5;
constexpr uint32_t kBlockAbove = 1048576;
constexpr uint64_t kNeverSentAge = 16000000;
constexpr uint64_t kSlowWriteUs = 2001;
constexpr uint64_t kFinGiveUpMinUs = 2000000;
constexpr uint64_t kLossEventMinUs = 100000;
constexpr int kChannels = 32;  // session channels

RscSession *g_session = rsc_Session_Default();

uint64_t nowUs() {
    return (uint64_t)std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

struct Node {
    RSCHeader h;
    std::vector<uint8_t> data;
    uint64_t sentUs = 0;  // 0: never sent
    uint16_t cwnd = 0;
    uint8_t mark = 0;    // fast retransmit: 1 wanted, 2 done
    bool ahead = false;  // counted in the channel's sentAhead
};

struct Channel {
    int sid = -1;
    uint8_t ch = 0;
    bool inUse = false, established = false, allowWrite = false;
    uint8_t wdt = 0;
    uint8_t finState = 0;
    bool hbRecv = false, hbAckRecv = false;
    uint8_t remoteIndex = 0, lastRemoteIndex = 0;
    bool remoteIndexSet = false;
    uint8_t sendThreadState = 0, recvState = 0;
    bool stop = false, recvDone = false;
    int pslError = 0;
    bool finRecv = false;
    uint8_t remoteVersion = 0;
    bool localAbort = false, forceStop = false, destroying = false;
    int writing = 0;
    uint8_t specificId = 0;
    bool localExit = false, remoteExit = false;
    bool finSent = false;
    uint64_t tFinSentUs = 0;
    int hbElapsed = 0;
    int nextWaitMs = 100;
    int maxSendBuffer = -1;

    RscReceiver recv;
    std::vector<uint8_t> wbuf;  // capacity = this channel's max packet data size
    size_t maxData = RSC_MAX_DATA;
    RSCSeq sendSeq{0, 0};

    std::list<Node> sendList;
    Node *lastSent = nullptr;
    // The first node never sent (nodes go out in list order, so those before it are in flight) and how many
    // come before it: the acknowledgement clock starts there instead of walking the window on every ack.
    std::list<Node>::iterator firstUnsent = sendList.end();
    uint32_t sentAhead = 0;
    uint32_t sendQBytes = 0;
    uint16_t cwnd = 0, wmax = 0;
    uint64_t epochUs = 0;
    // One window reduction per loss event. The event of the last reduction (at reducedUs) covers every
    // packet queued by then, below recoverSeq (packed for the window it reduced), and lasts at least the send
    // thread's longest pause, the period at which its passes used to find losses: a loss inside it is sent
    // again without reducing the window again. (The cubic window takes seconds to grow back; reduced for
    // every window with a loss, it would sink to a few packets at a steady 1 % loss.)
    RSCSeq recoverSeq{0, 0};
    uint64_t reducedUs = 0;
    // Set by the receive path when a selective acknowledgement asks for a retransmission: the send thread
    // runs its pass now instead of at the end of its pause.
    std::atomic<bool> kick{false};
    // Set when a packet left acknowledgements held back on a channel that lets several packets pass before
    // it acknowledges (RSC_Set_Max_Pending_ACK_Number): the send thread sends them within a few
    // milliseconds, since the session's idle hook never runs while packets keep arriving (a peer's
    // acknowledgements of our own data, for one), and the sender would otherwise wait for its time-out.
    std::atomic<bool> acksHeld{false};
    // Writers wait for the send queue to fall below this (0: none waits): acknowledgements wake them only
    // then.
    uint32_t roomWanted = 0;
    RSCRtt rtt{};
    RSCTestCounters counters{};

    std::mutex ackLock;
    std::deque<std::array<uint8_t, RSC_HEADER_SIZE>> ackQueue;
    std::thread sender;
};

struct Layer {
    bool initialised = false;
    int count = 128;
    std::vector<std::unique_ptr<Channel>> table;
    int maxData = RSC_MAX_DATA;
    int nextSpecific = 1;
    int lastClaimed = -1;
    uint32_t created = 0;
    bool debug = false;
    bool privateFlag = false;
    RSCSeq firstSeq{0, 0};
    // Waiting readers and writers: the receive path and the closes bump a generation, so a waiter ends its
    // pause early instead of sleeping it out. Readers and writers wait apart, and a side is signalled only
    // while someone waits on it: data wakes readers, acknowledgements writers. A leaf lock, taken inside the
    // session table lock.
    std::mutex wakeLock;
    std::condition_variable wakeCv[2];
    uint64_t wakeGen[2] = {0, 0};
    int waiters[2] = {0, 0};
};
// Never destroyed: a process may exit with channels open, their send threads still running.
Layer &g = *new Layer;

struct Lock {
    Lock() { g_session->lock(); }
    ~Lock() { g_session->unlock(); }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
};

uint32_t liveChannels() {
    uint32_t n = 0;
    for (auto &c : g.table)
        if (c->inUse) ++n;
    return n;
}

constexpr unsigned kWakeReaders = 1, kWakeWriters = 2, kWakeAll = 3;
enum { kReader = 0, kWriter = 1 };

void wakeWaiters(unsigned who = kWakeAll) {
    bool notify[2] = {false, false};
    {
        std::lock_guard<std::mutex> l(g.wakeLock);
        for (int k = 0; k < 2; ++k) {
            if (!(who & (1u << k))) continue;
            ++g.wakeGen[k];
            notify[k] = g.waiters[k] > 0;
        }
    }
    for (int k = 0; k < 2; ++k)
        if (notify[k]) g.wakeCv[k].notify_all();
}
uint64_t wakeGen(int side) {
    std::lock_guard<std::mutex> l(g.wakeLock);
    return g.wakeGen[side];
}
// Pauses up to us, less once the side's waiters were woken after `seen` was read (read it under the session
// lock).
void waitWake(int side, uint64_t seen, std::chrono::microseconds us) {
    std::unique_lock<std::mutex> l(g.wakeLock);
    ++g.waiters[side];
    g.wakeCv[side].wait_for(l, us, [side, seen] { return g.wakeGen[side] != seen; });
    --g.waiters[side];
}

Channel *byId(int id) {
    if (!g.initialised || id < 0 || id >= (int)g.table.size()) return nullptr;
    return g.table[id].get();
}

void sendControl(Channel &c, uint8_t type) {
    RSCHeader h = rsc_Header_Make(type, 0, RSCSeq{0, 0}, c.remoteIndex);
    uint8_t b[RSC_HEADER_SIZE];
    rsc_Header_Write(b, &h);
    g_session->write(c.sid, b, sizeof b, c.ch);
}

struct SessionSink : RscAckSink {
    Channel &c;
    explicit SessionSink(Channel &ch) : c(ch) {}
    void sendNow(const uint8_t *pkt, size_t len) override {
        ++c.counters.acksSent;
        g_session->write(c.sid, pkt, (int)len, c.ch);
    }
    void queueAck(const uint8_t *hdr) override {
        if (hdr[4] == RSC_MSG_DATA_ACK || hdr[4] == RSC_MSG_PRIVATE_DATA_ACK) ++c.counters.acksSent;
        std::array<uint8_t, RSC_HEADER_SIZE> a;
        memcpy(a.data(), hdr, RSC_HEADER_SIZE);
        std::lock_guard<std::mutex> l(c.ackLock);
        c.ackQueue.push_back(a);
    }
};

void drainAcks(Channel &c) {
    std::deque<std::array<uint8_t, RSC_HEADER_SIZE>> q;
    {
        std::lock_guard<std::mutex> l(c.ackLock);
        q.swap(c.ackQueue);
    }
    for (auto &a : q) g_session->write(c.sid, a.data(), RSC_HEADER_SIZE, c.ch);
}

void setWindow(Channel &c) {
    uint64_t now = nowUs();
    if (now < c.epochUs) {
        c.epochUs = now;
        return;
    }
    c.cwnd = rsc_Cubic_Window(c.wmax, now - c.epochUs, (int32_t)c.sendList.size(), liveChannels());
}

bool isData(const Node &n) {
    return n.h.type == RSC_MSG_DATA || n.h.type == RSC_MSG_PRIVATE_DATA;
}

// Moves the first-unsent mark past nodes that have been sent.
void advanceUnsent(Channel &c) {
    while (c.firstUnsent != c.sendList.end() && c.firstUnsent->sentUs != 0) {
        c.firstUnsent->ahead = true;
        ++c.sentAhead;
        ++c.firstUnsent;
    }
}

void clearSendList(Channel &c) {
    c.sendList.clear();
    c.lastSent = nullptr;
    c.firstUnsent = c.sendList.end();
    c.sentAhead = 0;
}

int transmit(Channel &c, Node &n) {
    if (isData(n)) ++(n.h.transmits ? c.counters.retransmitted : c.counters.dataSent);
    ++n.h.transmits;
    n.cwnd = c.cwnd;
    uint8_t buf[RSC_SEND_BUF];
    rsc_Header_Write(buf, &n.h);
    if (!n.data.empty()) memcpy(buf + RSC_HEADER_SIZE, n.data.data(), n.data.size());
    int r = g_session->write(c.sid, buf, (int)(RSC_HEADER_SIZE + n.data.size()), c.ch);
    if (r > 0) {
        n.sentUs = nowUs();
        if (n.mark == 1) n.mark = 2;
        if (c.firstUnsent != c.sendList.end() && &*c.firstUnsent == &n) advanceUnsent(c);
    }
    return r;
}

void append(Channel &c, const RSCHeader &h, const uint8_t *data, size_t len) {
    Node n;
    n.h = h;
    n.data.assign(data, data + len);
    c.sendList.push_back(std::move(n));
    Node &node = c.sendList.back();
    if (c.firstUnsent == c.sendList.end()) c.firstUnsent = std::prev(c.sendList.end());
    const bool allSent = &*c.firstUnsent == &node;
    if (h.type == RSC_MSG_PRIVATE_DATA ||
        (c.sendList.size() - 1 <= c.cwnd && allSent && h.type != RSC_MSG_FIN && c.established)) {
        if (transmit(c, node) > 0) c.lastSent = &node;
    }
    c.sendQBytes += (uint32_t)len;
}

void pack(Channel &c) {
    if (c.wbuf.empty()) return;
    RSCHeader h = rsc_Header_Make(g.privateFlag ? RSC_MSG_PRIVATE_DATA : RSC_MSG_DATA,
                                  (uint16_t)c.wbuf.size(), c.sendSeq, c.remoteIndex);
    c.sendSeq = rsc_Seq_Next(c.sendSeq);
    append(c, h, c.wbuf.data(), c.wbuf.size());
    c.wbuf.clear();
}

std::list<Node>::iterator removeNode(Channel &c, std::list<Node>::iterator it) {
    if (c.lastSent == &*it) c.lastSent = nullptr;
    c.sendQBytes -= (uint32_t)it->data.size();
    if (it->ahead) --c.sentAhead;
    if (it == c.firstUnsent) {
        auto next = c.sendList.erase(it);
        c.firstUnsent = next;
        advanceUnsent(c);
        return next;
    }
    return c.sendList.erase(it);
}

void removeFirstOfType(Channel &c, uint8_t type) {
    for (auto it = c.sendList.begin(); it != c.sendList.end(); ++it)
        if (it->h.type == type) {
            removeNode(c, it);
            return;
        }
}

// A round-trip sample from a node sent once (a retransmitted one could be answering any transmission).
void sample(Channel &c, const Node &n) {
    uint64_t now = nowUs();
    if (n.h.transmits != 1 || n.sentUs == 0 || now < n.sentUs) return;
    rsc_Rtt_Sample(&c.rtt, (uint32_t)std::min<uint64_t>(now - n.sentUs, UINT32_MAX));
}

// The acknowledgement clock: an acknowledgement that took nodes off the list sends never-sent nodes while
// fewer than the window are in flight (sent and not yet acknowledged). After a reduction the nodes in flight
// first drain below the new window; after growth the room is used at once rather than at the next pass.
void ackClock(Channel &c) {
    while (c.firstUnsent != c.sendList.end() && c.sentAhead < c.cwnd) {
        Node &n = *c.firstUnsent;
        if (n.h.type == RSC_MSG_FIN) return;
        if (transmit(c, n) <= 0) return;
        c.lastSent = &n;
    }
}

void onDataAck(Channel &c, RSCSeq s, uint8_t type) {
    for (auto it = c.sendList.begin(); it != c.sendList.end();) {
        if (!isData(*it)) {
            ++it;
            continue;
        }
        int cmp = rsc_Seq_Cmp(it->h.seq, s);
        if (cmp < 0) {
            if (it->mark == 0 && type == RSC_MSG_DATA_ACK && c.remoteVersion >= 5) it->mark = 1;
            ++it;
        } else if (cmp == 0) {
            sample(c, *it);
            removeNode(c, it);
            ackClock(c);
            return;
        } else {
            return;
        }
    }
}

void onAck2(Channel &c, RSCSeq s) {
    for (auto it = c.sendList.begin(); it != c.sendList.end();) {
        if (!isData(*it)) {
            ++it;
            continue;
        }
        int cmp = rsc_Seq_Cmp(it->h.seq, s);
        if (cmp < 0) {
            it = removeNode(c, it);
        } else if (cmp == 0) {
            sample(c, *it);
            removeNode(c, it);
            ackClock(c);
            return;
        } else {
            return;
        }
    }
}

void onSack2(Channel &c, const RSCPacket &p) {
    for (uint32_t r = 0; r < p.sackCount; ++r) {
        for (auto it = c.sendList.begin(); it != c.sendList.end();) {
            if (!isData(*it)) {
                ++it;
                continue;
            }
            if (rsc_Seq_Cmp(it->h.seq, p.sack[r].first) < 0) {
                if (it->mark == 0 && it->sentUs != 0) {
                    it->mark = 1;
                    c.kick = true;
                }
                ++it;
            } else if (rsc_Seq_Cmp(it->h.seq, p.sack[r].last) < 0) {
                it = removeNode(c, it);
            } else if (rsc_Seq_Cmp(it->h.seq, p.sack[r].last) == 0) {
                sample(c, *it);
                removeNode(c, it);
                ackClock(c);
                break;
            } else {
                break;
            }
        }
    }
}

// One transmission pass; 0 or the negative result of a failed data write.
int checkSendQ(Channel &c) {
    drainAcks(c);
    pack(c);
    c.nextWaitMs = 100000;
    if (c.sendList.empty()) return 0;
    int limit = c.cwnd ? c.cwnd : 1;
    bool lost = false;
    int pos = 0;
    uint64_t now = nowUs();
    for (auto it = c.sendList.begin(); it != c.sendList.end() && pos < limit; ++it, ++pos) {
        Node &n = *it;
        if (n.h.type == RSC_MSG_FIN) {
            if (c.sendList.size() >= 2) continue;
            if (!c.finSent) {
                c.finSent = true;
                c.tFinSentUs = now;
            }
        }
        uint32_t rto = rsc_Rto_Backoff(c.rtt.rto, n.h.transmits);
        uint64_t age;
        if (n.sentUs == 0) {
            age = kNeverSentAge;
        } else if (now < n.sentUs) {
            n.sentUs = now;
            age = rto - 1;
        } else {
            age = now - n.sentUs;
        }
        bool due = age >= rto || n.mark == 1 || n.h.type == RSC_MSG_PRIVATE_DATA;
        if (!due) {
            int wait = (int)((rto - age) / 1000);
            if (wait < c.nextWaitMs) c.nextWaitMs = wait;
            continue;
        }
        if (n.sentUs != 0 && isData(n)) ++(n.mark == 1 ? c.counters.fastRetransmits : c.counters.timeouts);
        if (n.sentUs != 0 && !lost && rsc_Seq_Cmp(n.h.seq, c.recoverSeq) >= 0 &&
            now - c.reducedUs >= kLossEventMinUs) {
            lost = true;
            c.recoverSeq = c.sendSeq;
            c.reducedUs = now;
            ++c.counters.reductions;
            c.wmax = n.cwnd ? n.cwnd : c.cwnd;
            c.epochUs = now;
            setWindow(c);
            if (c.cwnd < pos) break;
        }
        uint64_t t0 = nowUs();
        int r = transmit(c, n);
        if (r <= 0) {
            if (r < 0) {
                c.pslError = r;
                return r;
            }
            break;
        }
        c.lastSent = &n;
        if (nowUs() - t0 >= kSlowWriteUs) {
            ++c.counters.reductions;
            ++c.counters.slowWrites;
            c.wmax = c.cwnd;
            c.epochUs = nowUs();
            setWindow(c);
            if (c.cwnd < pos) break;
        }
    }
    if (!lost) setWindow(c);
    // Room in the window (growth since the last pass) is used now.
    ackClock(c);
    return 0;
}

void sendThread(int id) {
    Channel &c = *g.table[id];
    {
        Lock l;
        c.sendThreadState = 2;
    }
    pthread_setname_np(pthread_self(), "rsc_send");
    bool endNext = false;
    for (;;) {
        {
            Lock l;
            if (c.established && !c.allowWrite && c.sendList.empty()) break;
            if (endNext || c.stop) break;
            int interval = c.established ? 1000 : 100;
            if (c.hbElapsed >= interval) {
                RSCHeader h = rsc_Header_Make(RSC_MSG_HEARTBIT, 0, RSCSeq{0, 0}, c.specificId);
                uint8_t b[RSC_HEADER_SIZE];
                rsc_Header_Write(b, &h);
                if (g_session->write(c.sid, b, sizeof b, c.ch) < 0) {
                    endNext = true;
                    continue;
                }
                c.hbElapsed = 0;
                if (c.established) {
                    if (!g.debug && c.wdt > 0) --c.wdt;
                    if (c.wdt == 0 && !g.debug) {
                        c.recvDone = true;
                        endNext = true;
                    }
                }
            }
            pack(c);
        }
        {
            Lock l;
            if (checkSendQ(c) != 0) endNext = true;
            if (c.stop) break;
        }
        int wait;
        bool finWait;
        uint64_t finDeadline = 0;
        {
            Lock l;
            wait = c.nextWaitMs;
            if (wait < 20 || !c.established) wait = 20;
            if (wait > 100) wait = 100;
            finWait = c.finSent;
            if (finWait) finDeadline = c.tFinSentUs + std::max<uint64_t>(4ull * c.rtt.rto, kFinGiveUpMinUs);
        }
        uint64_t until = nowUs() + (uint64_t)wait * 1000;
        while (nowUs() < until && !c.kick.exchange(false)) {
            drainAcks(c);
            if (c.acksHeld.exchange(false)) {
                Lock l;
                SessionSink sink(c);
                c.recv.flushAcks(c.remoteIndex, sink);
            }
            sleepMs(5);
        }
        Lock l;
        c.hbElapsed += wait;
        // The peer keeps the channel alive but never acknowledges our FIN: give up.
        if (finWait && nowUs() >= finDeadline) break;
    }
    Lock l;
    c.sendThreadState = 3;
}

void release(Channel &c) {
    if (!c.inUse) return;
    uint8_t keep = c.remoteIndex;
    uint8_t spec = c.specificId;
    clearSendList(c);
    c.recv = RscReceiver();
    c.wbuf.clear();
    {
        std::lock_guard<std::mutex> l(c.ackLock);
        c.ackQueue.clear();
    }
    c.sid = -1;
    c.ch = 0;
    c.inUse = c.established = c.allowWrite = false;
    c.wdt = c.finState = 0;
    c.hbRecv = c.hbAckRecv = false;
    c.remoteIndex = 0;
    c.lastRemoteIndex = keep;
    c.remoteIndexSet = false;
    c.sendThreadState = c.recvState = 0;
    c.stop = c.recvDone = false;
    c.pslError = 0;
    c.finRecv = false;
    c.remoteVersion = 0;
    c.localAbort = c.forceStop = c.destroying = false;
    c.writing = 0;
    c.specificId = spec;
    c.localExit = c.remoteExit = false;
    c.finSent = false;
    c.tFinSentUs = 0;
    c.hbElapsed = 0;
    c.nextWaitMs = 100;
    c.maxSendBuffer = -1;
    c.sendSeq = RSCSeq{0, 0};
    c.sendQBytes = 0;
    c.cwnd = c.wmax = 0;
    c.epochUs = 0;
    c.recoverSeq = RSCSeq{0, 0};
    c.reducedUs = 0;
    c.kick = false;
    c.roomWanted = 0;
    c.acksHeld = false;
    rsc_Rtt_Init(&c.rtt);
    c.counters = RSCTestCounters{};
}

void resetWdt(Channel &c) {
    c.wdt = c.destroying ? kWatchdogDestroying : kWatchdog;
}

void joinSender(Channel &c) {
    if (c.sender.joinable()) c.sender.join();
}

// Waits, without the lock, until no writer is inside the channel (a writer leaves on destroy or abort).
void waitWriters(Channel &c) {
    while (c.writing > 0) {
        g_session->unlock();
        sleepMs(5);
        g_session->lock();
    }
}

}  // namespace

void rsc_Session_Install(RscSession *s) {
    g_session = s ? s : rsc_Session_Default();
}

void rsc_Test_SetFirstSeq(uint32_t id, uint32_t epoch) {
    g.firstSeq = RSCSeq{id, epoch};
}

int rsc_Test_Counters(int RSC_ID, RSCTestCounters *out) {
    if (!out) return RSC_ERR_BAD_ARGUMENT;
    Lock l;
    Channel *cp = byId(RSC_ID);
    if (!cp || !cp->inUse) return RSC_ERR_BAD_ID;
    *out = cp->counters;
    return 0;
}

int RSC_Get_Version(void) {
    return 0x03010523;
}

int RSC_Set_Max_Channel_Number(int n) {
    if (n > 0 && !g.initialised) g.count = n;
    return 0;
}

int RSC_Initialize(void) {
    if (!g_session) return RSC_ERR_NOT_INITIALIZED;
    Lock l;
    if (g.initialised) return RSC_ERR_ALREADY_INITIALIZED;
    g.table.clear();
    for (int i = 0; i < g.count; ++i) g.table.push_back(std::make_unique<Channel>());
    for (auto &c : g.table) rsc_Rtt_Init(&c->rtt);
    g.initialised = true;
    if (FILE *f = fopen("notimeout", "r")) {
        g.debug = true;
        printf("RSC_DebugMode ON\n");
        fclose(f);
    }
    return g.count;
}

int RSC_DeInitialize(void) {
    if (!g_session) return RSC_ERR_NOT_INITIALIZED;
    Lock l;
    if (!g.initialised) return RSC_ERR_NOT_INITIALIZED;
    for (auto &c : g.table)
        if (c->inUse) return RSC_ERR_CHANNELS_OPEN;
    g.table.clear();
    g.initialised = false;
    g.debug = false;
    return 0;
}

int RSC_Set_MaxPacketDataSize(int bytes) {
    if (bytes < RSC_MIN_DATA || bytes > RSC_MAX_DATA) return RSC_ERR_BAD_ARGUMENT;
    if (g_session) {
        Lock l;
        g.maxData = bytes;
    } else {
        g.maxData = bytes;
    }
    return 0;
}

int RSC_Create(int SID, int timeoutMs, uint8_t ChID) {
    if (!g_session || !g.initialised) return RSC_ERR_NOT_INITIALIZED;
    if (SID < 0) return -14;
    if (ChID >= kChannels) return RSC_ERR_BAD_ARGUMENT;
    int id = -1;
    {
        Lock l;
        if (!g.initialised) return RSC_ERR_NOT_INITIALIZED;
        const int n = (int)g.table.size();
        // The whole table first: a busy session channel may sit after a free entry.
        for (auto &c : g.table)
            if (c->inUse && c->sid == SID && c->ch == ChID) return RSC_ERR_CHANNEL_BUSY;
        for (int k = 0; k < n; ++k) {
            int i = (g.lastClaimed + 1 + k) % n;
            if (!g.table[i]->inUse) {
                id = i;
                break;
            }
        }
        if (id < 0) return RSC_ERR_NO_FREE_CHANNEL;
        Channel &c = *g.table[id];
        g.lastClaimed = id;
        ++g.created;
        c.specificId = (uint8_t)g.nextSpecific;
        g.nextSpecific = g.nextSpecific >= 254 ? 1 : g.nextSpecific + 1;
        c.inUse = true;
        c.remoteIndex = 0;
        c.maxData = (size_t)g.maxData;
        c.wbuf.reserve(c.maxData);
        c.sendSeq = g.firstSeq;
        c.recoverSeq = g.firstSeq;
        c.recv.setFirst(g.firstSeq);
        rsc_Rtt_Init(&c.rtt);
        c.sid = SID;
        c.ch = ChID;
        c.hbElapsed = 1000;  // the first heartbeat goes out at once
        g_session->channelOff(SID, ChID);
        g_session->channelOn(SID, ChID);
        g_session->setRecvCallback(SID, ChID, RSCRecvCB);
        g_session->setIdleCallback(SID, ChID, RSCAckFlushCB);
        try {
            c.sender = std::thread(sendThread, id);
        } catch (...) {
            release(c);
            return RSC_ERR_THREAD_START;
        }
        c.recvState = 2;
    }
    Channel &c = *g.table[id];
    int proto = g_session->peerProtocol(SID);
    bool needBoth = proto < 0 || proto >= 6;
    long polls = timeoutMs > 0 ? timeoutMs / 5 + 1 : -1;
    int result = 0;
    for (;;) {
        {
            Lock l;
            bool up = needBoth ? (c.hbRecv && c.hbAckRecv) : c.wdt != 0;
            int chk;
            if (up) {
                c.allowWrite = true;
                c.established = true;
                c.cwnd = RSC_CWND_INITIAL;
                c.wmax = c.cwnd;
                c.epochUs = nowUs();
                return id;
            }
            if (c.localExit) {
                result = RSC_ERR_LOCAL_EXIT;
            } else if (c.remoteExit) {
                result = RSC_ERR_REMOTE_EXIT;
            } else if ((chk = g_session->check(SID)) < 0) {
                result = chk;
            } else if (c.sendThreadState == 3 || c.recvState == 3) {
                result = c.pslError < 0 ? c.pslError : RSC_ERR_TIMEOUT;
            } else if (polls == 0) {
                result = RSC_ERR_TIMEOUT;
            }
            if (result) {
                c.stop = true;
                c.recvDone = true;
                break;
            }
        }
        sleepMs(5);
        if (polls > 0) --polls;
    }
    joinSender(c);
    Lock l;
    release(c);
    return result;
}

int RSC_Create_Exit(int SID, uint8_t ChID) {
    if (SID < 0 || ChID >= kChannels) return RSC_ERR_BAD_ARGUMENT;
    if (!g_session || !g.initialised) return RSC_ERR_NOT_INITIALIZED;
    Lock l;
    for (auto &p : g.table) {
        Channel &c = *p;
        if (c.inUse && c.sid == SID && c.ch == ChID) {
            c.localExit = true;
            sendControl(c, RSC_MSG_EXIT);
            sendControl(c, RSC_MSG_QUIT);
            return 0;
        }
    }
    return RSC_ERR_BAD_ID;
}

void RSCAckFlushCB(int SID, uint8_t ChID, int, int, int) {
    if (!g_session || !g.initialised) return;
    for (auto &p : g.table) {
        Channel &c = *p;
        if (c.inUse && c.sid == SID && c.ch == ChID) {
            SessionSink sink(c);
            c.recv.flushAcks(c.remoteIndex, sink);
            return;
        }
    }
}

void RSCRecvCB(int SID, uint8_t ChID, const uint8_t *packet, int length, int status) {
    if (!packet || !g_session || length < 0) return;
    Lock l;
    if (!g.initialised) return;
    RSCPacket p;
    if (rsc_Packet_Check(packet, (size_t)length, &p) != 0) return;
    const RSCHeader &h = p.h;
    Channel *found = nullptr;
    for (auto &e : g.table) {
        Channel &c = *e;
        if (!c.inUse || c.sid != SID || c.ch != ChID) continue;
        if (h.index != 0 && h.type != RSC_MSG_HEARTBIT && c.specificId != h.index) continue;
        found = &c;
        break;
    }
    if (!found) return;
    Channel &c = *found;
    // Whoever the packet concerns looks again: data the readers, acknowledgements the writers, anything that
    // ends or fails the channel both.
    struct Wake {
        unsigned who = kWakeAll;
        ~Wake() {
            if (who) wakeWaiters(who);
        }
    } wake;
    // A reader waits only with nothing to read: data wakes it when the channel turns readable.
    const bool wasReadable = c.recv.readable();
    if (status < 0) {
        c.pslError = status;
        return;
    }
    if (c.recvState == 3) return;
    if (h.type == RSC_MSG_HEARTBIT && h.version >= 4) {
        if (c.remoteIndexSet) {
            if (h.index != c.remoteIndex) return;
        } else if (h.index != c.lastRemoteIndex) {
            c.remoteIndex = h.index;
            c.remoteIndexSet = true;
        }
    }
    bool exitNow = c.recvDone || c.forceStop || (c.established && c.wdt == 0) || c.localAbort;
    if (!exitNow) {
        SessionSink sink(c);
        switch (h.type) {
            case RSC_MSG_HEARTBIT:
                c.remoteVersion = h.version;
                c.hbRecv = true;
                resetWdt(c);
                {
                    RSCHeader a = h;
                    a.type = RSC_MSG_HEARTBIT_ACK;
                    a.version = RSC_VERSION;
                    a.length = 0;
                    uint8_t b[RSC_HEADER_SIZE];
                    rsc_Header_Write(b, &a);
                    sink.queueAck(b);
                }
                break;
            case RSC_MSG_HEARTBIT_ACK:
                resetWdt(c);
                c.hbAckRecv = true;
                break;
            case RSC_MSG_DATA:
            case RSC_MSG_PRIVATE_DATA:
                resetWdt(c);
                c.recv.onData(p, c.remoteVersion, c.remoteIndex, sink);
                if (c.recv.maxPendingAck > 0 && c.recv.acksHeld()) c.acksHeld = true;
                break;
            case RSC_MSG_FIN:
                if (!c.established) break;
                {
                    RSCHeader a = h;
                    a.type = RSC_MSG_FIN_ACK;
                    a.version = RSC_VERSION;
                    a.index = c.remoteIndex;
                    uint8_t b[RSC_HEADER_SIZE];
                    rsc_Header_Write(b, &a);
                    // Answered at once: the FIN ends our send thread, which would drain the queue.
                    g_session->write(c.sid, b, sizeof b, c.ch);
                }
                c.finRecv = true;
                c.finState |= 1;
                if (c.finState == 3) {
                    removeFirstOfType(c, RSC_MSG_FIN);
                    c.recvDone = true;
                }
                c.stop = true;
                break;
            case RSC_MSG_FIN_ACK:
                removeFirstOfType(c, RSC_MSG_FIN);
                c.finState |= 2;
                if (c.established) {
                    if (c.finState == 3) c.recvDone = true;
                    c.stop = true;
                }
                break;
            case RSC_MSG_QUIT:
                c.stop = true;
                removeFirstOfType(c, RSC_MSG_FIN);
                break;
            case RSC_MSG_ABORT: {
                RSCHeader a = h;
                a.type = RSC_MSG_ABORT_ACK;
                a.version = RSC_VERSION;
                a.index = c.remoteIndex;
                uint8_t b[RSC_HEADER_SIZE];
                rsc_Header_Write(b, &a);
                g_session->write(c.sid, b, sizeof b, c.ch);
                c.forceStop = true;
                c.stop = true;
                break;
            }
            case RSC_MSG_ABORT_ACK:
                removeFirstOfType(c, RSC_MSG_ABORT);
                c.recvDone = true;
                break;
            case RSC_MSG_EXIT:
                c.remoteExit = true;
                c.recvDone = true;
                break;
            case RSC_MSG_DATA_ACK:
            case RSC_MSG_PRIVATE_DATA_ACK:
                resetWdt(c);
                onDataAck(c, h.seq, h.type == RSC_MSG_DATA_ACK ? RSC_MSG_DATA_ACK : RSC_MSG_PRIVATE_DATA_ACK);
                break;
            case RSC_MSG_DATA_ACK2:
                resetWdt(c);
                onAck2(c, h.seq);
                break;
            case RSC_MSG_DATA_SACK2:
                resetWdt(c);
                onSack2(c, p);
                break;
            default:
                break;
        }
        if (!c.stop && !c.recvDone) {
            switch (h.type) {
                case RSC_MSG_DATA:
                case RSC_MSG_PRIVATE_DATA:
                    wake.who = !wasReadable && c.recv.readable() ? kWakeReaders : 0;
                    break;
                case RSC_MSG_DATA_ACK:
                case RSC_MSG_PRIVATE_DATA_ACK:
                case RSC_MSG_DATA_ACK2:
                case RSC_MSG_DATA_SACK2:
                    wake.who = c.roomWanted && c.sendQBytes < c.roomWanted ? kWakeWriters : 0;
                    break;
                case RSC_MSG_HEARTBIT:
                case RSC_MSG_HEARTBIT_ACK:
                    wake.who = 0;
                    break;
                default:
                    break;
            }
            return;
        }
    }
    c.recvState = 3;
    c.stop = true;
    sendControl(c, RSC_MSG_QUIT);
}

int RSC_Write(int RSC_ID, const void *buf, int len) {
    if (!g_session || !g.initialised) return RSC_ERR_NOT_INITIALIZED;
    if (RSC_ID < 0 || RSC_ID >= (int)g.table.size()) return RSC_ERR_BAD_ID;
    if (len < 0 || (len > 0 && !buf)) return RSC_ERR_BAD_ARGUMENT;
    Lock l;
    Channel *cp = byId(RSC_ID);
    if (!cp) return RSC_ERR_NOT_INITIALIZED;
    Channel &c = *cp;
    if (c.pslError < 0) return c.pslError;
    // A peer's abort closes the receive side too: report the abort, not a bad id.
    if (c.inUse && c.forceStop) return RSC_ERR_REMOTE_ABORT;
    if (!c.inUse || c.recvState != 2) return RSC_ERR_BAD_ID;
    if (!c.allowWrite || c.destroying) return RSC_ERR_CLOSED;
    if (c.localAbort) return RSC_ERR_LOCAL_ABORT;
    ++c.writing;
    struct Leave {
        Channel &c;
        ~Leave() { --c.writing; }
    } leave{c};
    if (c.maxSendBuffer > 0 && (uint64_t)c.sendQBytes + (uint64_t)len > (uint64_t)c.maxSendBuffer) {
        g_session->unlock();
        sleepMs(5);
        g_session->lock();
        return RSC_ERR_SEND_BUFFER_FULL;
    }
    if (c.maxSendBuffer == -1) {
        while (c.sendQBytes > kBlockAbove) {
            if (!c.allowWrite || c.destroying) return RSC_ERR_CLOSED;
            if (c.localAbort) return RSC_ERR_LOCAL_ABORT;
            if (c.forceStop) return RSC_ERR_REMOTE_ABORT;
            if (c.pslError < 0) return c.pslError;
            int chk = g_session->check(c.sid);
            if (chk < 0) return chk;
            c.roomWanted = std::max<uint32_t>(c.roomWanted, kBlockAbove + 1);
            const uint64_t seen = wakeGen(kWriter);
            g_session->unlock();
            waitWake(kWriter, seen, std::chrono::milliseconds(10));
            g_session->lock();
        }
    }
    const uint8_t *src = (const uint8_t *)buf;
    size_t left = (size_t)len;
    while (left > 0) {
        size_t room = c.maxData - c.wbuf.size();
        size_t n = left < room ? left : room;
        c.wbuf.insert(c.wbuf.end(), src, src + n);
        src += n;
        left -= n;
        if (c.wbuf.size() == c.maxData && left > 0) pack(c);
    }
    return len;
}

int rsc_Wait_Send_Room(int RSC_ID, uint32_t below, int timeoutMs) {
    if (!g_session || !g.initialised) return RSC_ERR_NOT_INITIALIZED;
    if (timeoutMs < 0) return RSC_ERR_BAD_ARGUMENT;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        uint64_t seen;
        {
            Lock l;
            Channel *cp = byId(RSC_ID);
            if (!cp) return g.initialised ? RSC_ERR_BAD_ID : RSC_ERR_NOT_INITIALIZED;
            Channel &c = *cp;
            if (c.pslError < 0) return c.pslError;
            if (c.inUse && c.forceStop) return RSC_ERR_REMOTE_ABORT;
            if (!c.inUse || c.recvState != 2) return RSC_ERR_BAD_ID;
            if (!c.allowWrite || c.destroying) return RSC_ERR_CLOSED;
            if (c.localAbort) return RSC_ERR_LOCAL_ABORT;
            if (c.sendQBytes < below) return 0;
            c.roomWanted = std::max(c.roomWanted, below);
            seen = wakeGen(kWriter);
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return RSC_ERR_TIMEOUT;
        waitWake(kWriter, seen,
                 std::min<std::chrono::microseconds>(
                     std::chrono::milliseconds(10),
                     std::chrono::duration_cast<std::chrono::microseconds>(deadline - now) +
                         std::chrono::microseconds(1)));
    }
}

int RSC_Flush(int RSC_ID) {
    if (!g_session || !g.initialised) return RSC_ERR_NOT_INITIALIZED;
    Lock l;
    Channel *cp = byId(RSC_ID);
    if (!cp) return g.initialised ? RSC_ERR_BAD_ID : RSC_ERR_NOT_INITIALIZED;
    Channel &c = *cp;
    if (c.pslError < 0) return c.pslError;
    // A peer's abort closes the receive side too: report the abort, not a bad id.
    if (c.inUse && c.forceStop) return RSC_ERR_REMOTE_ABORT;
    if (!c.inUse || c.recvState != 2) return RSC_ERR_BAD_ID;
    if (!c.allowWrite) return RSC_ERR_CLOSED;
    if (c.localAbort) return RSC_ERR_LOCAL_ABORT;
    pack(c);
    return 0;
}

int RSC_Read(int RSC_ID, void *buf, int size, int timeoutMs) {
    if (!g_session || !g.initialised) return RSC_ERR_NOT_INITIALIZED;
    int polls = timeoutMs / 10;
    if (polls < 1) polls = 1;
    // The same time-out as polls every 10 ms; the receive path ends a pause as soon as something arrives.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(10 * polls);
    {
        Lock l;
        Channel *cp = byId(RSC_ID);
        if (!cp || !cp->inUse) return g.initialised ? RSC_ERR_BAD_ID : RSC_ERR_NOT_INITIALIZED;
        Channel &c = *cp;
        if (c.forceStop) return RSC_ERR_REMOTE_ABORT;
        if (c.pslError < 0) return c.pslError;
        if (size < 0 || timeoutMs < 0 || (size > 0 && !buf)) return RSC_ERR_BAD_ARGUMENT;
        if (c.localAbort) return RSC_ERR_LOCAL_ABORT;
        if (c.recv.empty() && c.recvState != 2) return c.finRecv ? RSC_ERR_END_OF_DATA : RSC_ERR_CLOSED;
        if (c.recvState == 3 && c.recv.gapAtHead()) return RSC_ERR_CLOSED;
        if (c.finRecv && c.recv.empty()) return RSC_ERR_END_OF_DATA;
    }
    for (;;) {
        uint64_t seen;
        {
            Lock l;
            if (!g.initialised) return RSC_ERR_NOT_INITIALIZED;
            Channel &c = *g.table[RSC_ID];
            if (c.localAbort) return RSC_ERR_LOCAL_ABORT;
            if (c.forceStop) return RSC_ERR_REMOTE_ABORT;
            if (c.remoteExit) return RSC_ERR_REMOTE_EXIT;
            if (c.pslError < 0) return c.pslError;
            if (c.sid == -1) return RSC_ERR_BAD_ID;
            size_t n = c.recv.read((uint8_t *)buf, (size_t)size);
            if (n > 0 || timeoutMs == 0 || c.finRecv) return n > 0 ? (int)n : RSC_ERR_TIMEOUT;
            seen = wakeGen(kReader);
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return RSC_ERR_TIMEOUT;
        waitWake(kReader, seen,
                 std::min<std::chrono::microseconds>(
                     std::chrono::milliseconds(10),
                     std::chrono::duration_cast<std::chrono::microseconds>(deadline - now) +
                         std::chrono::microseconds(1)));
    }
}

int RSC_Status_Check(int RSC_ID, RSCStatus *out) {
    if (!g_session || !g.initialised) return RSC_ERR_NOT_INITIALIZED;
    Lock l;
    Channel *cp = byId(RSC_ID);
    if (!cp || !cp->inUse) return RSC_ERR_BAD_ID;
    Channel &c = *cp;
    if (c.sendThreadState == 3 && c.recvState == 3) return RSC_ERR_CLOSED;
    if (out) {
        out->heartbeatsMissed = (uint16_t)(kWatchdog - std::min<uint8_t>(c.wdt, kWatchdog));
        out->heartbeatLimit = kWatchdog;
        out->sendQBytes = c.sendQBytes;
        out->recvQBytes = c.recv.bytesQueued();
    }
    return 0;
}

int RSC_Private_Status_Check(uint32_t key, int RSC_ID, RSCPrivateStatus *out) {
    if (key != RSC_PRIVATE_MAGIC) return 0;
    int r = RSC_Status_Check(RSC_ID, out ? &out->s : nullptr);
    if (r != 0 || !out) return r;
    Lock l;
    out->cwnd = g.table[RSC_ID]->cwnd;
    out->channelsCreated = (uint16_t)g.created;
    return 0;
}

int RSC_Set_Max_SendBuffer_Size(int RSC_ID, int bytes) {
    if (!g_session || !g.initialised) return RSC_ERR_NOT_INITIALIZED;
    Lock l;
    Channel *cp = byId(RSC_ID);
    if (!cp) return RSC_ERR_BAD_ID;
    Channel &c = *cp;
    if (c.pslError < 0) return c.pslError;
    // A peer's abort closes the receive side too: report the abort, not a bad id.
    if (c.inUse && c.forceStop) return RSC_ERR_REMOTE_ABORT;
    if (!c.inUse || c.recvState != 2) return RSC_ERR_BAD_ID;
    c.maxSendBuffer = bytes;
    return 0;
}

int RSC_Set_Max_Pending_ACK_Number(int RSC_ID, int n) {
    if (!g_session || !g.initialised) return RSC_ERR_NOT_INITIALIZED;
    Lock l;
    Channel *cp = byId(RSC_ID);
    if (!cp || !cp->inUse) return RSC_ERR_BAD_ID;
    if (cp->sendThreadState == 3 && cp->recvState == 3) return RSC_ERR_CLOSED;
    cp->recv.maxPendingAck = (uint32_t)(n < 0 ? 0 : n);
    return 0;
}

void RSC_Private_Write(uint32_t key, int RSC_ID, const void *data, int len) {
    if (key != RSC_PRIVATE_MAGIC || !g_session || !g.initialised) return;
    Lock l;
    Channel *cp = byId(RSC_ID);
    if (!cp || cp->pslError < 0 || !cp->inUse || cp->recvState != 2) return;
    Channel &c = *cp;
    // One packet of at most this channel's own size.
    if (len < 0 || (size_t)len > c.maxData || (len > 0 && !data)) return;
    pack(c);
    c.wbuf.assign((const uint8_t *)data, (const uint8_t *)data + len);
    g.privateFlag = true;
    pack(c);
    g.privateFlag = false;
}

int RSC_Destroy(int RSC_ID) {
    if (!g_session || !g.initialised) return RSC_ERR_NOT_INITIALIZED;
    Channel *cp;
    {
        Lock l;
        cp = byId(RSC_ID);
        if (!cp || !cp->established || !cp->inUse || cp->destroying || cp->localAbort) return RSC_ERR_BAD_ID;
        Channel &c = *cp;
        c.destroying = true;
        if (c.wdt > kWatchdogDestroying) c.wdt = kWatchdogDestroying;
        wakeWaiters();  // a blocked writer leaves with -10006
        waitWriters(c);
        if (!c.forceStop && c.allowWrite && c.sendThreadState == 2 && c.recvState == 2) {
            pack(c);
            c.allowWrite = false;
            RSCHeader h = rsc_Header_Make(RSC_MSG_FIN, 0, RSC_FIN_SEQ, c.remoteIndex);
            append(c, h, nullptr, 0);
        } else {
            c.allowWrite = false;
        }
    }
    Channel &c = *cp;
    joinSender(c);
    Lock l;
    // A FIN never acknowledged may never have arrived: the QUIT is then all that tells the peer, so it goes
    // out more than once rather than leave the peer waiting for its watchdog.
    const int quits = c.finSent && !(c.finState & 2) ? 3 : 1;
    for (int i = 0; i < quits; ++i) sendControl(c, RSC_MSG_QUIT);
    g_session->channelOff(c.sid, c.ch);
    g_session->setRecvCallback(c.sid, c.ch, nullptr);
    g_session->setIdleCallback(c.sid, c.ch, nullptr);
    int r = c.forceStop ? RSC_ERR_REMOTE_ABORT : 0;
    release(c);
    return r;
}

int RSC_Abort(int RSC_ID) {
    if (!g_session || !g.initialised) return RSC_ERR_NOT_INITIALIZED;
    Channel *cp;
    int r = 0;
    {
        Lock l;
        cp = byId(RSC_ID);
        if (!cp || !cp->established || !cp->inUse || cp->localAbort) return RSC_ERR_BAD_ID;
        Channel &c = *cp;
        // A graceful close in progress: stop it at once; RSC_Destroy joins the thread and releases the entry.
        const bool destroying = c.destroying;
        clearSendList(c);
        c.sendQBytes = 0;
        if (!c.forceStop) {
            sendControl(c, RSC_MSG_ABORT);
            sendControl(c, RSC_MSG_QUIT);
        } else {
            r = RSC_ERR_REMOTE_ABORT;
        }
        c.stop = c.recvDone = true;
        c.recvState = 3;
        c.allowWrite = false;
        c.localAbort = true;
        wakeWaiters();
        if (destroying) return r;
        waitWriters(c);
    }
    Channel &c = *cp;
    joinSender(c);
    Lock l;
    g_session->channelOff(c.sid, c.ch);
    g_session->setRecvCallback(c.sid, c.ch, nullptr);
    g_session->setIdleCallback(c.sid, c.ch, nullptr);
    release(c);
    return r;
}
