// The server phases of a connect by UID: what a connecting session learns from the masters and the
// device's servers (its server entries, the asleep marks, the connect mode), the lookup tasks that ask them,
// the step that turns their progress into a verdict, the abort check and the device probe.
//
// How a connect procedure uses them (every call with a session id in state 1 whose UID and session words
// are set):
//   _PSL_ServerPhases_Begin(sid)            once, after the words are set
//   each 10 ms round: _PSL_ServerPhases_Step(sid)
//       0 keep polling; 2 the device's addresses are known (serverState 6) and the LAN path is over or the
//       device takes parallel routes; 3 switch to the TCP relay; negative: the connect fails with it
//   _PSL_ServerPhases_End(sid, result)      on success (result >= 0) or failure (< 0); only the first call
//                                           after a begin counts (a failure is reported once)
// Every call takes the session table lock itself.
#pragma once

#include <stdint.h>

#include "p2p/p2p_net.h"
#include "p2p/p2p_sktaskmgr.h"

struct PSLSessionRecord;

enum { PSL_PEER_ENTRIES = 32 };

// Verdicts of the server phases beside the session layer's other codes.
enum {
    PSL_ERR_TCP_ONLY = -32,  // TCP only, and no master answered over TCP
    PSL_ERR_SERVERS_UNREACHABLE =
        -33,                    // masters silent and no verdict on reachability, or servers unreachable
    PSL_ERR_NO_INTERNET = -41,  // masters silent and no fixed server accepted a TCP connection
    PSL_ERR_ROUTES_GAVE_UP = -42,
    PSL_ERR_NO_RELAY = -43,
    PSL_ERR_GROUP_UNKNOWN = -44,  // the UID's group is not in the server table
    PSL_ERR_SELF_CONNECT = -45,
    PSL_ERR_REFUSED = -48,
    PSL_ERR_MASTERS_SILENT = -60,  // masters silent although a fixed server accepted a TCP connection
    PSL_ERR_DEVICE_ASLEEP = -64,
};

// Task kinds of a session's task list.
enum {
    PSL_TASK_LAN = 0,
    PSL_TASK_SERVERS = 1,
    PSL_TASK_PUNCH = 2,
    PSL_TASK_RELAY = 3,
    PSL_TASK_TCP = 4,
    PSL_TASK_ASYNC = 6,
    PSL_TASK_REACH = 7,
    PSL_TASK_PROBE_WATCH = 12,
    PSL_TASK_PROBE_KICK = 13,
    PSL_TASK_KNOCK = 14,
};

enum { PSL_SLEEP_ASLEEP = 237, PSL_SLEEP_WAKING = 192 };

// One server of the device's group as a connecting session sees it.
struct PSLPeerEntry {
    p2p_NetAddr addrA;  // UDP address
    p2p_NetAddr addrB;  // TCP relay address
    uint8_t hasA;
    uint8_t hasB;
    uint8_t version;          // the server's protocol version, once it answered
    uint8_t sleepClass;       // 237 asleep, 192 waking, 0 unmarked
    int32_t wakeMs;           // -1 unless a waking notice announced a time
    int32_t relayEntryState;  // UDP relay: 1 requested, 2 answered (older form), 3 granted, 5 joined
    uint8_t relayChosen;      // the relay taken (the first grant)
};

typedef void (*PSL_ProbeFn)(int result, void *arg, int code);

// Per-session state of the server phases beside the session record. Guarded by the session table lock.
struct PSLConnectCtx {
    uint32_t randomID, mac;  // the words of the connect this state belongs to
    int32_t groupIndex;
    int32_t firstAnswerEntry;
    uint8_t remoteVersion;  // 10 when the device takes parallel routes, else 0
    uint8_t probeMode;      // 0 connect, 1 probe running, 2 probe found the device
    uint8_t firstTickDone[3];
    uint8_t mastersKicked;
    uint8_t phaseB;          // the connect procedure's remote step: 1 UDP routes chosen, 2 TCP relay chosen
    uint8_t ended;           // the phases ended (a failure was reported once)
    uint64_t deviceKnownMs;  // monotonic; 0 unset
    uint64_t firstMarkMs;    // monotonic; 0 unset
    uint64_t startMs;        // monotonic time the server phases began
    int32_t tcpWaitMs;
    // Hole punching: the punch task's running time and rotation, whether a peer address arrived, and the
    // device's addresses as the servers passed them on (primary first).
    int32_t punchElapsedMs;
    uint16_t punchRotation;
    uint8_t peerAddrSeen;
    uint8_t peerAddrCount;
    p2p_NetAddr peerAddrs[8];
    p2p_NetAddr peerLocalAddrs[4];
    uint8_t peerLocalCount;
    // UDP relay: the relay taken, and whether the request and join tasks skipped their first tick.
    p2p_NetAddr relayAddr;
    uint8_t relayTickStarted, joinTickStarted;
    PSLPeerEntry entries[PSL_PEER_ENTRIES];
    struct Task {
        int kind;
        p2p_TimerTask *task;
    } tasks[16];
    void *reachConns[4];  // LinuxConn of the reachability test
    PSL_ProbeFn probeCallback;
    void *probeArg;
};

// The context of session sid (caller holds the table lock); null for a bad id or before the library runs.
PSLConnectCtx *_PSL_ConnectCtx(int sid);
// Clears the context of sid for a new connect (table lock held).
void _PSL_ConnectCtx_Reset(int sid);

// Tasks of a session (table lock held): add one under a kind, remove every task of a kind (-1: all).
p2p_TimerTask *_PSL_AddSessionTask(int sid, int kind, uint32_t period, uint32_t lifetime, p2p_TimerFn fn);
void _PSL_RemoveSessionTasks(int sid, int kind);
// A task's own record leaves the list when it ends (called from the task with the table lock held).
void _PSL_ForgetSessionTask(int sid, p2p_TimerTask *task);

// The common start of a connect's lookup tick (table lock held). Returns the session and its connect state
// when the tick goes on; otherwise null, and the task is done with for this tick: a session no longer
// connecting (or now running another connect) forgets and removes the task; an expired task runs giveUp (when
// given) on the session and is forgotten; the first tick, when firstTick names one of the context's
// first-tick bytes not yet set, sets it and is skipped if skipFirst.
typedef void (*PSL_GiveUpFn)(PSLSessionRecord *r);
PSLSessionRecord *_PSL_LookupTick_Begin(p2p_TimerTask *t, void *userData, int expired, PSL_GiveUpFn giveUp,
                                        int firstTick, bool skipFirst, PSLConnectCtx **ctx);

// After a connect on the LAN or a direct route whose peer has not yet answered our hello answer: the hello
// answer again every 500 ms for 5 s, until the peer's answer (noKnock) arrives or the route is no longer
// direct. 0, or -1 when the task cannot be made. Table lock held.
int _PSL_Knock_Start(int sid);

// The server phases (see above).
int _PSL_ServerPhases_Begin(int sid);
int _PSL_ServerPhases_Step(int sid);
void _PSL_ServerPhases_End(int sid, int result);
// The server phases as the connect procedure's remote-route step (fn(sid, round), table lock not held):
// round 0 begins them; then 0 while nothing is decided, 4 (P2P) or 5 (relay) once a route is up, a
// negative code when the servers' road failed. Once the device's addresses are known it runs the route
// steps of phase B; while punching and relays are not linked in they give up at once, which ends the
// connect with -42 when the LAN lookup is over too. Any other outcome of the connect should end the phases
// with _PSL_ServerPhases_End.
int _PSL_ServerRemoteStep(int sid, int round);
// A blocking run of the server phases on the caller's thread: 2 or 3 as the step gives them, or an error.
// The session stays allocated either way; the caller frees it.
int _PSL_ServerPhases_Run(int sid);

// Verdicts.
int _PSL_CheckConnectAbort(int sid);
int _PSL_ServerRouteStep(int sid, uint8_t tcpRelayRefused);
int _PSL_CheckDeviceAsleep(int sid, int thresholdMs);

// Reports a connect's outcome to every server entry of the session whose version is above 11 (on the
// main UDP socket): code, mode (-1 for a failure), the route address as text and port (network order).
void _PSL_SendSessionReport(int sid, int code, int mode, const char *host, uint16_t portNet);
// A client session the reply handlers just connected reports code 0, its route kind and the peer's address
// (device sessions report nothing). Table lock held.
void _PSL_ReportConnected(int sid, const p2p_NetAddr *peer);
// After a route was found: MSG_SESSION_INFO to the relay or to the first server that answered, when that
// server speaks version 11 or less (newer servers hear the session report instead).
void _PSL_SendSessionInfo(int sid);
// At the start of a connect: what was learned about this host's NAT is forgotten, at most once per 25 s and
// only while exactly one session is connecting.
void _PSL_ResetNatIfIdle(void);

// Connect options: parallel mode (default 1), no decoys, fast punching, treat as remote. 0, or -46 when a
// value is 2 or more (the values before it are kept).
int PSL_Set_Connect_Options(uint8_t parallel, uint8_t noDecoys, uint8_t fastPunch, uint8_t treatAsRemote);
int _PSL_ConnectOption(int index);
// Phase B, once the device's addresses are known: 0 keep polling, 4 P2P route up, 5 relay route up, -42
// both gave up. Punching and relay requests start through seams of their own tasks; while those are not
// linked in, each counts as given up at once.
int _PSL_SequentialRouteStep(int sid);
int _PSL_ParallelRouteStep(int sid);
// The TCP relay's outcome: -42 (tcpState 14 or 17), 6 (18), -40 when refused, else 0.
int _PSL_TcpRelayResult(int sid);

// Connect-wide abort flag. (Weak definitions: the connect procedure's own, when linked, take their place.)
int PSL_Connect_Abort_All(void);
int PSL_Connect_Abort(int sid);
int _PSL_ConnectAbortFlag(void);
void _PSL_ClearConnectAbort(void);

// Probes for a device by UID through the servers (never punches or relays): 0 started, -12, -10, -18,
// -58 no timer, -6; later callback(result, arg, -13) once: 0 found, a negative verdict, or -13 on time-out.
int PSL_Probe_Device_ByUID(const char *uid, int timeoutMs, PSL_ProbeFn callback, void *arg);

// 1 when the first 20 characters are letters or digits.
int _PSL_IsValidUID(const char *uid);
// Fresh session words for sid from a counter of this file and the host's MAC (table lock held).
void _PSL_NewSessionWords(int sid);

// The socket the server traffic goes out on: the library's main UDP socket. Until the library opens one
// itself, tests install theirs here (its receive callback must feed _PSL_OnUdpPacket).
struct LinuxConn;
LinuxConn *_PSL_ServersConn(void);
void _PSL_SetServersConnForTest(LinuxConn *conn);

// Library stop: every session's phases end, the contexts are freed.
void _PSL_Connect_Stop(void);
// Library stop of everything the server side keeps: device tasks, connect phases, master resolvers
// (joined), server tables. Called by PSL_DeInitialize without the table lock held.
void _PSL_ServerSide_Stop(void);

// Lookup tasks (psl_lookup.cpp).
int _PSL_MasterQuery_Start(int sid);
int _PSL_ServerProbe_Start(int sid);
int _PSL_DeviceQuery_Start(int sid);
void _PSL_ReachTest_Start(int sid);
void _PSL_ReleaseReachSockets(int sid);
// Tests: the fixed servers of the reachability test (TCP 80).
void _PSL_SetReachServersForTest(const char *const hosts[4]);
// The new-server-protocol switch (MSG_QUERY_DEVICE2 to new servers).
void _PSL_SetNewServerProtocol(int on);
int _PSL_NewServerProtocol(void);
