// The session layer's table and lifecycle: start and stop of the library, the fixed table of session records
// (the session id is the index), checking, reporting and closing sessions, and the library's result codes.
// Every record is guarded by the recursive table lock pslSessionLock.
#pragma once

#include <stdint.h>

#include <atomic>
#include <deque>
#include <vector>

#include "p2p/p2p_net.h"
#include "p2p/p2p_sktaskmgr.h"
#include "p2p/psl_messages.h"
#include "p2p/psl_msgqueue.h"

// Result codes of the session layer.
enum PSLError : int {
    PSL_ERR_NOT_ANSWERED = -1,
    PSL_ERR_NO_MASTER = -2,
    PSL_ERR_ALREADY_INIT = -3,
    PSL_ERR_SOCKET = -6,
    PSL_ERR_UID = -10,
    PSL_ERR_REGISTERING = -11,
    PSL_ERR_NOT_INIT = -12,
    PSL_ERR_TIMEOUT = -13,
    PSL_ERR_SESSION = -14,
    PSL_ERR_ACCEPT_WAITING = -17,
    PSL_ERR_NO_SESSION = -18,
    PSL_ERR_UNREACHABLE = -19,
    PSL_ERR_CLOSED_BY_PEER = -22,
    PSL_ERR_TIMED_OUT = -23,
    PSL_ERR_OLD_PEER = -24,
    PSL_ERR_CHANNEL = -26,
    PSL_ERR_ABORTED = -27,
    PSL_ERR_NO_HOSTS = -28,
    PSL_ERR_NO_CHANNEL = -31,
    PSL_ERR_ACCEPT_CANCELLED = -39,
    PSL_ERR_REFUSED_BUSY = -40,
    PSL_ERR_INVALID = -46,
    PSL_ERR_NO_ACK = -51,
    PSL_ERR_QUEUE_CLOSED = -52,
    PSL_ERR_MSG_TOO_LONG = -53,
    PSL_ERR_NO_ROUTE = -55,
    PSL_ERR_NO_MEMORY_INIT = -58,
    PSL_ERR_STOPPED = -59,
    PSL_ERR_SETUP = -61,
    PSL_ERR_QUEUE_FULL = -62,
    PSL_ERR_ASLEEP = -90,
};

enum { PSL_CHANNELS = 32, PSL_DEFAULT_MAX_SESSIONS = 128, PSL_WRONG_MAGIC = 99999 };

enum PSLSessionState : uint8_t {
    PSL_STATE_FREE = 0,
    PSL_STATE_ALLOCATED = 1,
    PSL_STATE_CONNECTED = 2,
    PSL_STATE_PEER_CLOSED = 3,
    PSL_STATE_TIMED_OUT = 4,
};

// Route kinds (routeType) and the connection modes callers see.
enum {
    PSL_ROUTE_NONE = -1,
    PSL_ROUTE_LAN = 0,
    PSL_ROUTE_P2P = 1,
    PSL_ROUTE_RELAY_UDP = 2,
    PSL_ROUTE_RELAY_TCP = 3
};
enum { PSL_MODE_P2P = 0, PSL_MODE_RELAY = 1, PSL_MODE_LAN = 2, PSL_MODE_UNKNOWN = 255 };

typedef void (*PSL_StatusFn)(int sid, int error);
typedef void (*PSL_ChannelRecvFn)(int sid, int channel, const uint8_t *data, int length, int status);
typedef void (*PSL_ChannelIdleFn)(int sid, int channel, const uint8_t *data, int length, int status);
typedef void (*PSL_ChannelCloseFn)(int sid, int channel, int reason, void *table);

struct PslRxPacket {
    uint16_t length;
    uint16_t seq;
    uint32_t index;
    std::vector<uint8_t> data;
};

// One session. Fields the connect tasks and the dispatcher share across threads are atomics.
struct PSLSessionRecord {
    char remoteUID[PSL_UID_LEN + 1] = {};
    std::atomic<uint8_t> state{PSL_STATE_FREE};
    uint8_t peerNatType = 0;
    int32_t incoming = 0;
    uint32_t randomID = 0;
    uint32_t mac = 0;
    int32_t ver = 0;
    int32_t lanState = 0;
    uint8_t routeKind = 0;
    std::atomic<uint8_t> idleTicks{0};
    uint16_t rxExpectedSeq[PSL_CHANNELS] = {};
    uint32_t peerVersion = 0;
    p2p_NetAddr routeAddr = {};
    p2p_NetAddr peerReportedAddr = {};
    uint32_t txCount[PSL_CHANNELS] = {};
    uint32_t rxCount[PSL_CHANNELS] = {};
    uint8_t channelOn[PSL_CHANNELS] = {1};
    PSLMsgQueue *channelMsgQueue[PSL_CHANNELS] = {};
    uint8_t peerAckCapable = 0;
    std::atomic<uint8_t> closing{0};
    uint8_t rttValid = 0;
    uint16_t rxQueued[PSL_CHANNELS] = {};
    std::deque<PslRxPacket> rxQueue[PSL_CHANNELS];
    int32_t rttMs = 0;
    uint16_t relaySessionId = 0;
    uint8_t measureRtt = 0;
    PSL_ChannelRecvFn channelRecvCallback[PSL_CHANNELS] = {};
    PSL_ChannelIdleFn channelIdleCallback[PSL_CHANNELS] = {};
    int32_t channelIdlePending[PSL_CHANNELS] = {};
    PSL_ChannelCloseFn channelCloseCallback[PSL_CHANNELS] = {};
    PSL_StatusFn statusCallback = nullptr;
    std::atomic<uint8_t> refusedOld{0}, refused{0}, busy{0}, abortRequested{0}, reservedByCaller{0},
        tcpRelayRefused{0}, uidRejected{0}, noRelay{0}, errPeerSelfConnect{0};
    uint8_t peerScrambles = 0;
    uint8_t partialScramble = 0;
    uint8_t peerProtocol = 0;
    uint8_t noKnock = 0;
    uint8_t handedOut = 0;
    int32_t aliveSkip = 0;
    LinuxConn *routeConn = nullptr;  // the socket data goes out on; not owned unless ownsRoute
    bool ownsRoute = false;
    std::atomic<int32_t> routeType{PSL_ROUTE_NONE};
    int32_t sid = 0;
    std::atomic<int32_t> punchState{0}, serverState{0}, tcpState{0}, relayState{0}, connectMode{0},
        reachState{0};
    // Connect progress of the LAN road: the lookup's running time, the clock at which a round-trip
    // measure started, the progress pair and callback of a non-blocking connect and its watch task.
    int32_t lanElapsedMs = 0;
    uint64_t rttStartMs = 0;
    std::atomic<int32_t> asyncState{0}, asyncError{0};
    void (*connectCallback)(int state, int error, void *arg) = nullptr;
    void *connectArg = nullptr;
    p2p_TimerTask *watchTask = nullptr;
    int32_t connectRound = 0;
};

// The record callers read (156 bytes; 92 with the short fill).
#pragma pack(push, 1)
struct PSLSessionInfo {
    int32_t size;
    uint8_t mode;
    uint8_t isIncoming;
    char remoteUID[21];
    char remoteIP[47];
    uint16_t remotePort;
    uint32_t txPackets;
    uint32_t rxPackets;
    uint32_t remoteVersion;
    uint16_t groupIds[3];
    uint8_t reserved;
    uint8_t localNatType;
    uint8_t natType;
    uint8_t relayKind;
    uint8_t pad[2];
    uint32_t flags;
    char relayIP[47];
    uint8_t pad2;
    uint16_t relayPort;
    uint8_t pad3[2];
};
struct PSLSessionInfoShort {
    uint8_t mode;
    uint8_t isIncoming;
    char remoteUID[21];
    char remoteIP[47];
    uint16_t remotePort;
    uint32_t txPackets;
    uint32_t rxPackets;
    uint32_t remoteVersion;
    uint16_t groupIds[3];
    uint8_t natType;
    uint8_t reserved;
};
#pragma pack(pop)
static_assert(sizeof(PSLSessionInfo) == 156, "session information is 156 bytes");
static_assert(sizeof(PSLSessionInfoShort) == 92, "short session information is 92 bytes");

int PSL_Initialize(uint16_t udpPort);
// The given hosts (up to four names) become the master table; -28 when none of them resolves. Without
// hosts it starts like PSL_Initialize.
int PSL_Initialize_WithServers(uint16_t udpPort, const char *h1, const char *h2, const char *h3,
                               const char *h4);
int PSL_DeInitialize(void);
int PSL_Set_Max_Sessions(int count);
int PSL_Get_Library_Version(uint32_t *out);
int PSL_Set_Session_Timeout(int seconds);

int PSL_Session_Check_Ex(int sid, PSLSessionInfo *info);
int PSL_Session_Check(int sid, PSLSessionInfoShort *info);
int PSL_Session_Set_Status_Callback(int sid, PSL_StatusFn cb);
void PSL_Session_Close(int sid);

int PSL_Private_Get_RetryDelay(int sid, uint32_t magic, int unused);
int PSL_Private_Get_Silence(int sid, uint32_t magic, int unused);
int PSL_Private_Stub(void);

void psl_session_lock(void);
void psl_session_unlock(void);
// Holds the table lock for a scope.
struct PslTableLock {
    PslTableLock() { p2p_Mutex_Lock(&pslSessionLock, 1); }
    ~PslTableLock() { p2p_Mutex_Unlock(&pslSessionLock); }
    PslTableLock(const PslTableLock &) = delete;
    PslTableLock &operator=(const PslTableLock &) = delete;
};

// Internal to the session layer.
int _PSL_CheckSession(int sid);
int _PSL_AllocSession(void);
void _PSL_InitSessionRecord(PSLSessionRecord *r);
int _PSL_FreeSession(PSLSessionRecord *r);
int _PSL_GetRoute(int sid, LinuxConn **conn, p2p_NetAddr *addr);
// The record of a valid id (caller holds the table lock), or null.
PSLSessionRecord *_PSL_Session(int sid);
int _PSL_MaxSessions(void);
int _PSL_InitState(void);
// True while the library is started (state 2) or starting (state 1).
inline bool _PSL_Running(void) {
    const int s = _PSL_InitState();
    return s == 1 || s == 2;
}
LinuxConnMgr *_PSL_ConnMgr(void);
// The library's main UDP socket (servers, LAN search, hellos and sessions share it), opened by
// PSL_Initialize on the port it was given (0: any); null before and after.
LinuxConn *_PSL_MainConn(void);
// 0 when the main socket exists or was opened now (on the init port); -6 when it cannot be opened.
int _PSL_OpenMainSocket(void);
// Moves the main socket to a new port (any) so that a stale NAT mapping is left behind: 0 when moved; 1 when
// it stays because a session is connecting or connected or the port was fixed at init; -6 when no new socket
// could be opened (the old one stays). Closed sessions that still name the old socket lose their route.
int _PSL_MoveMainSocket(void);
// The main socket's bound port, network order (0 without a socket).
uint16_t _PSL_MainPort(void);
// The receive callback of every UDP socket the library opens: datagrams go to _PSL_OnUdpPacket.
void _PSL_UdpRecvCallback(LinuxConn *conn, const char *host, uint16_t portNet, uint8_t *buf, int64_t len,
                          void *arg);
// Stopped by the servers: reads, writes and accepts give -59.
int _PSL_StoppedByServer(void);
void _PSL_SetStoppedByServer(int on);
// Readers wait on a generation: whatever may end a wait (data queued, a session breaking, closing or being
// freed, the library stopping) bumps it and wakes them. _PSL_WaitForChange waits at most ms for the
// generation to move past `seen`. Only waiting threads are signalled: with none, a change costs one atomic.
uint64_t _PSL_ReaderGeneration(void);
void _PSL_NotifyReaders(void);
// A channel's receive callback got data (caller holds the table lock): the next idle spell of the sockets
// runs the idle callbacks of the channels marked pending.
void _PSL_IdleWorkPending(void);
void _PSL_WaitForChange(uint64_t seen, uint32_t ms);
// Data queued on one channel: wakes only the readers waiting on that channel (general changes still wake
// everyone through _PSL_NotifyReaders). _PSL_WaitForData waits as _PSL_WaitForChange does, and also ends on
// that channel's wake-ups.
void _PSL_NotifyChannel(int sid, int channel);
void _PSL_WaitForData(int sid, int channel, uint64_t seen, uint32_t ms);
// Between _PSL_DeferReaderNotify(1) and (0) the calling thread's wake-ups are held and given once at the end
// (the dispatcher wakes readers after it has released the table lock).
void _PSL_DeferReaderNotify(int on);
// A connected session broke (peer close -22 or silence -23): its state changes once, waiting readers wake
// and its status callback hears the error once. The caller holds the table lock.
void _PSL_SessionBroken(PSLSessionRecord *r, int error);
// One keep-alive tick over the table (run each second by the library's keep-alive task).
void _PSL_KeepAliveTick(void);
// Recently closed sessions, kept on a device (once it has a UID) so that a late packet of a session closed
// here does not open it again. Two keys match when their `ver` words are equal and, with `ver` 0, both words
// are equal, with `ver` 1 the first (16-bit tag) words. Find: 1 when a matching session was closed less
// than 20 s ago (older entries are dropped on the way), else 0. Clear: forget them all (library stop).
void _PSL_RecentPeer_Add(uint32_t randomID, uint32_t mac, int ver);
int _PSL_RecentPeer_Find(uint32_t randomID, uint32_t mac, int ver);
void _PSL_RecentPeer_Clear(void);
// How many entries the list holds (for psl_print_closed_sessions and tests).
int _PSL_RecentPeer_Count(void);
void psl_print_closed_sessions(void);
