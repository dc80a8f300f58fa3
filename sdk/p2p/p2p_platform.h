// Platform layer of the peer-to-peer library: error codes, threads, locks, clocks, random numbers and
// bounded formatting. Plain functions over caller-owned records; no exception leaves them.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

// Platform error codes: -(0x01100100 + k), k the position of the POSIX name in the Linux numbering.
enum p2p_TError : int {
    TERROR_OK = 0,
    TERROR_BASE = -0x01100100,
    TERROR_EPERM = TERROR_BASE,
    TERROR_ENOENT = TERROR_BASE - 1,
    TERROR_EAGAIN = TERROR_BASE - 10,
    TERROR_ENOMEM = TERROR_BASE - 11,
    TERROR_EINVAL = TERROR_BASE - 21,
    TERROR_ERANGE = TERROR_BASE - 33,
    TERROR_ELNRNG = TERROR_BASE - 46,
    TERROR_EXFULL = TERROR_BASE - 52,
    TERROR_ENETUNREACH = TERROR_BASE - 98,
    TERROR_ECONNABORTED = TERROR_BASE - 100,
    TERROR_ENOBUFS = TERROR_BASE - 102,
    TERROR_ETIMEDOUT = TERROR_BASE - 107,
    TERROR_ECONNREFUSED = TERROR_BASE - 108,
    TERROR_EALREADY = TERROR_BASE - 111,
    TERROR_EINPROGRESS = TERROR_BASE - 112,
    TERROR_ADDR_UNRESOLVED = TERROR_BASE - 122,
    TERROR_TOO_MANY = TERROR_BASE - 123,
    TERROR_BAD_STATE = TERROR_BASE - 124,
    TERROR_UNKNOWN = TERROR_BASE - 125,
};

// errno (1..133 of Linux) to a platform code; values without a code of their own give TERROR_UNKNOWN.
int p2p_ErrnoToTError(int err);
const char *p2p_ErrorName(int code);

// Threads. The handle is the pthread id; a failed create gives *err = -1 and the result (pthread_t)-1.
typedef void *(*p2p_ThreadFn)(void *);
pthread_t p2p_Thread_Create(int *err, p2p_ThreadFn fn, void *arg, uint8_t detached);
int p2p_Thread_Join(pthread_t thread);
void p2p_Thread_SetName(const char *name);

// A named recursive lock. The flag guards against use of a lock that was never initialised (or destroyed).
struct p2p_Mutex {
    pthread_mutex_t mutex;
    char name[65];
    uint8_t initialised;
};
// Constant initialiser, for locks that must exist before any code runs.
#define P2P_MUTEX_STATIC(n) \
    { PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP, n, 1 }

int p2p_Mutex_Init(p2p_Mutex *m, const char *name);
int p2p_Mutex_Lock(p2p_Mutex *m, int wait);
int p2p_Mutex_Unlock(p2p_Mutex *m);
int p2p_Mutex_Destroy(p2p_Mutex *m);

struct p2p_CondLock {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
};
int p2p_CondLock_Init(p2p_CondLock *c);
int p2p_CondLock_Destroy(p2p_CondLock *c);
int p2p_CondLock_Lock(p2p_CondLock *c);
int p2p_CondLock_Unlock(p2p_CondLock *c);
int p2p_CondLock_TryLock(p2p_CondLock *c);
int p2p_CondLock_Wait(p2p_CondLock *c);
// Waits at most ms milliseconds (measured on the monotonic clock, so a wall-clock step cannot stretch it).
void p2p_CondLock_TimedWait(p2p_CondLock *c, uint32_t ms);
int p2p_CondLock_Signal(p2p_CondLock *c);
int p2p_CondLock_Broadcast(p2p_CondLock *c);

// Deadline of a timed wait: now + ms, nanoseconds kept below one second.
struct timespec p2p_Deadline(struct timespec now, uint32_t ms);

void p2p_Rand_Seed(void);
int p2p_Rand(void);

// Microseconds since 1970; 0, or the errno value when the clock cannot be read.
int p2p_Time_GetUs(uint64_t *out);

// The monotonic millisecond clock of every timer of the library. Tests replace its source; NULL restores
// the system's monotonic clock.
typedef uint64_t (*p2p_ClockFn)(void);
uint64_t p2p_Clock_Ms(void);
void p2p_Clock_SetSource(p2p_ClockFn fn);

int p2p_Snprintf(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
const char *p2p_Net_Ntop(int family, const void *addr, char *buf, size_t size);
int p2p_Malloc(size_t size, void **out);
int p2p_Free(void **p);
