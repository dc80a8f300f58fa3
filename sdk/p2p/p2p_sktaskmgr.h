// Socket task manager: one thread, "psl_sktaskmgr", runs the session layer's timer tasks, registered socket
// handlers and retried sends, always holding the session table lock pslSessionLock.
#pragma once

#include <stdint.h>

#include "p2p/p2p_platform.h"

// The session table lock (recursive). Every operation of the manager and every callback it runs hold it.
extern p2p_Mutex pslSessionLock;

struct p2p_TimerTask;
// callback(task, period, value, userData, expired): expired = 1 on the run at which the lifetime is reached.
typedef void (*p2p_TimerFn)(p2p_TimerTask *task, uint32_t period, uint16_t value, void *userData,
                            int expired);
// handler(fd, value, status, arg): status 0 ready, -1 end of a burst of reads, or SO_ERROR of a connect.
typedef void (*p2p_SockFn)(int fd, int value, int status, void *arg);

struct p2p_TimerTask {
    int32_t id;         // tree key
    uint64_t firstRun;  // monotonic milliseconds; 0 before the first run
    uint64_t lastRun;
    uint32_t lifetime;  // 0 = never expires
    uint32_t period;
    uint16_t value;
    p2p_TimerFn callback;  // NULL once retired
    void *userData;
};

struct p2p_SockTask {
    int32_t fd;  // tree key
    int32_t value;
    p2p_SockFn readHandler;
    p2p_SockFn writeHandler;
    void *readArg;
    void *writeArg;
    int32_t events;  // bit 0 read, bit 1 write, bit 2 connect
    int32_t readCount;
};

struct p2p_PendingSend {
    int32_t fd;  // tree key; 0 once cancelled
    uint8_t *data;
    int32_t length;
    int32_t sent;
    uint64_t lastTry;
    uint32_t interval;
    int32_t kind;  // 0 datagram to the connected peer, 1 stream
};

enum { P2P_SOCK_READ = 1, P2P_SOCK_WRITE = 2, P2P_SOCK_CONNECT = 4, P2P_SOCK_ALL = 16 };
enum { P2P_SEND_MAX = 1446 };

int p2p_SockTaskMng_Init(void);
void p2p_SockTaskMng_DeInit(void);
p2p_TimerTask *p2p_SockTaskMng_AddTimer(uint32_t period, uint32_t lifetime, uint16_t value, p2p_TimerFn cb,
                                        void *userData);
int p2p_SockTaskMng_RemoveTimer(p2p_TimerTask *task);
int p2p_SockTaskMng_DelTimer(p2p_TimerTask *task);  // the second forwarder, same contract
int p2p_SockTaskMng_AddSocket(int fd, int value, int events, p2p_SockFn handler, void *arg);
int p2p_SockTaskMng_RemoveSocket(int fd, int events);
int p2p_SockTaskMng_Send(int fd, int kind, const void *data, int length);

// Introspection and single passes, for the library's own checks and tests.
uint32_t p2p_SockTaskMng_IdleTimeout(void);
int p2p_SockTaskMng_TimerPass(void);   // runs one timer pass on the calling thread; returns the tasks run
int p2p_SockTaskMng_TimerCount(void);  // timer records in the tree, retired ones not yet purged included
int p2p_SockTaskMng_IsRunning(void);
