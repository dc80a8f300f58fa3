// One tunnel library: the client side (connect, authenticate, tunnelled port mappings) or the device side
// (accept, judge, relay to loopback services, LAN test), with the message relay both share. The public
// PeerTunnel* calls use one process-wide instance over the process's session layer; tests run a client and
// a device instance side by side over the stream's in-process fake.
//
// Threads: tnl_sender (writes received bytes to local sockets), tnl_delaychnl (client: ages closed slots),
// per session tnl_agt_tnlhdlr or tnl_sessionhdlr (reads tunnel messages) and tnl_read_socket (local sockets
// into the stream), per mapping tnl_agtlisten, per drop report tnl_sessionstat; device: tnl_psl_listen and
// tnl_dev_accept. Locks: connLock_ (slots and mapping tables), flowLock_ (flow-control decisions), uidLock_
// (connects in progress), senderMutex_ (the sender's wake-up). No stream write happens under any of them:
// messages decided under a lock are written after it is released.
#pragma once

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "p2p/p2p_containers.h"
#include "p2p/psl_session.h"
#include "p2p/tnl_api.h"
#include "p2p/tnl_lower.h"

enum {
    TNL_SLOTS = 256,
    TNL_MAPPINGS = 256,
    TNL_UID_ENTRIES = 16,
    TNL_TICKETS = 64,
    TNL_LOW_WATERMARK = 409600,
    TNL_HIGH_WATERMARK = 512000,
    TNL_SENDQ_PAUSE = 824000,
    // In-order packets the stream's receiving end lets pass before it acknowledges (the rest go when the
    // session goes quiet): a bulk transfer sends a quarter of the acknowledgements.
    TNL_PENDING_ACKS = 3,
    TNL_TO_LOCAL_CAP = 4 << 20,  // bytes held for one local socket before its connection is reset
    TNL_TICKET_MS = 10000,
};

struct TunnelSlot {
    uint8_t index = 0;
    uint8_t state = 0;  // 0 free, 1 open, 2 closed, then aged 3..5 on the client
    uint8_t localInputEnded = 0;
    uint8_t localOutputEnded = 0;
    int socket = -1;
    uint8_t pauseSent = 0;    // the latest decision: the other end should pause
    uint8_t pauseOnWire = 0;  // what the last PAUSE or RESUME written to the stream said
    uint32_t serial = 0;      // tells one connection of the slot from the next
    uint8_t readGate = 0;
    uint8_t peerInputEnded = 0;
    bool hasBuf = false;
    p2p_RingBuf toLocal{};
    int64_t closeBy = 0;  // the other end closed after our end: drain until then (monotonic ms), then reset
    // Direct-LAN pair: a local socket joined to a TCP connection straight to the device.
    uint8_t proxyActive = 0;
    uint8_t localEnded = 0;   // the local socket ended; the device socket's write side was shut down
    uint8_t deviceEnded = 0;  // the device socket ended; the local socket's write side was shut down
    int localSocket = -1;
    int deviceSocket = -1;
    std::vector<uint8_t> toLocalBuf, toDeviceBuf;  // unsent rest of one read; its side is not read meanwhile
    size_t toLocalOff = 0, toDeviceOff = 0;
    int lanMapping = -1;
};

struct TunnelSessionRec {
    std::atomic<uint32_t> inUse{0};
    std::atomic<int32_t> rscChannel{-1};
    TunnelSlot slots[TNL_SLOTS];
    std::atomic<int32_t> lastIOTime{0};
    std::atomic<uint32_t> lowWatermark{TNL_LOW_WATERMARK};
    std::atomic<uint32_t> highWatermark{TNL_HIGH_WATERMARK};
    std::atomic<uint8_t> directLan{0};  // set after the session's record is in use: read by other threads
    uint8_t mode = 0;
    std::atomic<uint32_t> deviceIPv4{0};
    std::atomic<int32_t> dropped{0};
    std::atomic<bool> reported{false};
    std::atomic<bool> broken{false};  // the session layer reported the session failed
};

struct TunnelThreadRec {
    uint16_t session = 0;
    std::atomic<uint8_t> running{0};
    std::thread handler;
    std::thread reader;
};

struct TunnelUidEntry {
    uint32_t inUse = 0;
    char uid[20] = {};
    int32_t pslSession = -1;
    int32_t rscChannel = -1;
};

struct TunnelMapping {
    uint16_t localPort = 0;  // 0: free
    uint16_t targetPort = 0;
    int session = -1;
    int listenSocket = -1;
    std::atomic<bool> stopRequested{false};
    std::thread listener;
};

struct LanMapping {
    uint32_t inUse = 0;
    int session = -1;
    int listenSocket = -1;
    uint32_t deviceIPv4 = 0;  // network order
    uint16_t devicePort = 0;
};

struct LanTestTicket {
    uint8_t used = 0;
    uint32_t expected = 0;
    int32_t session = -1;
    int64_t expiresMs = 0;
};

class TunnelLib {
  public:
    explicit TunnelLib(TunnelLower *lower) : lower_(lower) {}
    ~TunnelLib();
    TunnelLib(const TunnelLib &) = delete;
    TunnelLib &operator=(const TunnelLib &) = delete;

    // Client side.
    int agentInitialize(int maxSessions);
    int agentDeInitialize();
    int connect(const char *uid, const void *authData, int authLength, int *errFromDevice);
    int connectToSession(const char *uid, int sid, const void *authData, int authLength, int *errFromDevice);
    int reserveSession();
    int connectStop(const char *uid);
    int closeSession(int sid, bool abort);
    void setStatusCallback(PeerTunnelStatusCallback cb, void *arg);
    int portMapping(int sid, int localPort, int remotePort);
    int stopPortMapping(int index);
    int setBufferSize(int sid, int high);
    int lastIOTime(int sid);
    int setPrivateServerMode(uint8_t flag, uint32_t magic);

    // Device side.
    int serverInitialize(int maxSessions);
    int serverStart(const char *uid);
    void serverStop();
    int serverDeInitialize();
    int setAuthCallback(PeerTunnelServerAuthCallback cb, void *arg);
    int serverDisconnect(int sid);
    void setOpenAccess(bool on) { openAccess_ = on; }
    // The LAN-test port (host order), 0 before the device side started.
    uint16_t lanTestPort() const { return lanTestPort_; }

    // The session layer reports a failed session.
    void statusForward(int sid, int status);

    // For tests: whether a session's record is in use.
    bool sessionInUse(int sid) const;
    // For the fuzzer: runs the message handler of session 0 over the bytes (as the stream), with connects
    // that make sockets but dial nothing.
    void feedMessages(bool deviceSide, const uint8_t *data, size_t size);
    void setDialLoopback(bool on) { dialLoopback_ = on; }

  private:
    struct Msg {
        int channel;
        std::vector<uint8_t> bytes;
    };

    int sharedStart(int maxSessions);
    void sharedStop();
    int connectCommon(const char *uid, int wantSid, const void *authData, int authLength, int *errFromDevice);
    int readAuthReply(int ch, int *errFromDevice);
    int startSessionThreads(int sid);
    void reportDrop(int sid);
    void waitReports();

    void uidAdd(const char *uid);
    int uidFind(const char *uid);
    void uidRemove(const char *uid);
    void uidSetIds(const char *uid, int sid, int ch);

    // Relay.
    using ReadFn = std::function<int(uint8_t *, int)>;
    void handlerLoop(int sid, bool deviceSide);
    void handleMessages(int sid, bool deviceSide, const ReadFn &readExactly);
    void readerLoop(int sid);
    void senderLoop();
    void delayLoop();
    void listenerLoop(int index);
    // Bytes read from the stream ahead of the message handler.
    struct StreamBuf {
        std::vector<uint8_t> bytes;
        size_t pos = 0, len = 0;
    };
    static constexpr size_t kStreamReadBuf = 65536;
    int readExact(int sid, int ch, StreamBuf &in, uint8_t *buf, int n);
    int writeMsg(int ch, const std::vector<uint8_t> &m);
    void writeAll(std::vector<Msg> &msgs, int sid);
    int writeFlow(int sid, const Msg &m);
    // Under connLock_: closes an open slot (reset: the local peer sees a reset instead of an end).
    void connClose(TunnelSlot &slot, bool reset);
    void closeAllSlots(int sid);
    bool slotInit(TunnelSlot &slot, uint8_t index, int sock);
    void flowDecision(int sid, TunnelSlot &slot, uint32_t recvQ, std::vector<Msg> &out);
    uint32_t recvQueued(int ch);
    void wakeSender();
    void onConnect(int sid, int ch, uint8_t index, const uint8_t *payload, std::vector<Msg> &out);
    void onLanTest(int sid, int ch, const uint8_t *payload, std::vector<Msg> &out);
    void endSessionThreads(int sid);

    // Direct LAN.
    int lanCheck(int ch, const PSLSessionInfoShort &info);
    int lanPortMapping(int sid, int localPort, int remotePort);
    void stopLanMapping(int j);
    void closeLanOfSession(int sid);
    void proxyClose(TunnelSlot &slot);
    void mapAcceptLoop();
    void tcpProxyLoop();
    void wake(int fd);
    void stopAgentThreads();

    // Device.
    void pslListenLoop();
    void devAcceptLoop();
    void sessionHandler(int sid);
    int judge(int sid, const uint8_t *head, const std::vector<uint8_t> &auth, bool *accepted, bool *judged);
    void releaseTickets(int sid);

    bool validSid(int sid) const { return sid >= 0 && sid < maxSessions_; }

    TunnelLower *lower_;
    bool deviceRole_ = false;
    std::atomic<bool> agentStarted_{false}, stopInProgress_{false}, agentRunning_{false},
        senderRunning_{false};
    bool noTimeout_ = false;
    uint8_t privateServerMode_ = 0;
    int maxSessions_ = 0;

    std::mutex cbLock_;
    PeerTunnelStatusCallback statusCb_ = nullptr;
    void *statusArg_ = nullptr;
    std::mutex reportLock_;
    std::condition_variable reportDone_;
    int reportsRunning_ = 0;

    std::unique_ptr<TunnelSessionRec[]> sessions_;
    std::unique_ptr<TunnelThreadRec[]> threads_;
    TunnelUidEntry uids_[TNL_UID_ENTRIES];
    TunnelMapping mappings_[TNL_MAPPINGS];
    int liveMappings_ = 0;

    std::recursive_mutex connLock_, flowLock_, uidLock_;
    // Orders PAUSE, RESUME and HOLD on the stream (decided on two threads, written outside connLock_).
    // Taken before connLock_, never under it.
    std::mutex flowWriteLock_;
    uint32_t slotSerial_ = 0;  // under connLock_
    std::mutex senderMutex_;
    std::condition_variable senderCv_;
    bool senderSignal_ = false;
    std::thread sender_, delay_, mapAccept_, tcpProxy_;
    LanMapping lanMappings_[TNL_MAPPINGS];
    int mapAcceptWake_ = -1, proxyWake_ = -1;  // eventfds: a mapping or a pair was added

    // Device side.
    std::atomic<bool> serverRunning_{false};
    bool serverListening_ = false;
    int lanTestSocket_ = -1;
    uint16_t lanTestPort_ = 0;
    std::mutex authLock_;
    PeerTunnelServerAuthCallback authCb_ = nullptr;
    void *authArg_ = nullptr;
    std::atomic<bool> openAccess_{false};
    bool dialLoopback_ = true;
    std::mutex ticketLock_;
    LanTestTicket tickets_[TNL_TICKETS];
    std::thread pslListen_, devAccept_;
};

// The process-wide instance behind the PeerTunnel* calls.
TunnelLib &tnl_Default(void);
// Monotonic milliseconds.
int64_t tnl_NowMs(void);
int tnl_AuthWaitMs(void);
int tnl_DeviceAuthWaitMs(void);
