// Threads, locks, clocks and small helpers of the peer-to-peer library.
#include "p2p/p2p_platform.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

int p2p_ErrnoToTError(int err) {
    // Position of the name in the Linux numbering: 41 and 58 are unnamed; ECANCELED (125) and beyond have
    // no code of their own.
    int k;
    if (err >= 1 && err <= 40) {
        k = err - 1;
    } else if (err >= 42 && err <= 57) {
        k = err - 2;
    } else if (err >= 59 && err <= 124) {
        k = err - 3;
    } else {
        return TERROR_UNKNOWN;
    }
    return TERROR_BASE - k;
}

const char *p2p_ErrorName(int code) {
    return code == 0 ? "TERROR_OK" : "P2P ERROR";
}

pthread_t p2p_Thread_Create(int *err, p2p_ThreadFn fn, void *arg, uint8_t detached) {
    pthread_t t;
    if (pthread_create(&t, nullptr, fn, arg) != 0) {
        if (err) *err = -1;
        return (pthread_t)-1;
    }
    if (err) *err = 0;
    if (detached && pthread_detach(t) != 0 && err) *err = -2;
    return t;
}

int p2p_Thread_Join(pthread_t thread) {
    return pthread_join(thread, nullptr);
}

void p2p_Thread_SetName(const char *name) {
    char shortName[16];
    snprintf(shortName, sizeof shortName, "%s", name ? name : "");
    pthread_setname_np(pthread_self(), shortName);
}

static int initRecursive(pthread_mutex_t *m) {
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
    int rc = pthread_mutex_init(m, &a);
    pthread_mutexattr_destroy(&a);
    return rc;
}

int p2p_Mutex_Init(p2p_Mutex *m, const char *name) {
    if (!m) return -1;
    int rc = initRecursive(&m->mutex);
    if (rc != 0) return rc;
    snprintf(m->name, sizeof m->name, "%s", name ? name : "");
    m->initialised = 1;
    return 0;
}

int p2p_Mutex_Lock(p2p_Mutex *m, int wait) {
    if (!m || !m->initialised) return -1;
    return wait ? pthread_mutex_lock(&m->mutex) : pthread_mutex_trylock(&m->mutex);
}

int p2p_Mutex_Unlock(p2p_Mutex *m) {
    if (!m || !m->initialised) return -1;
    return pthread_mutex_unlock(&m->mutex);
}

int p2p_Mutex_Destroy(p2p_Mutex *m) {
    if (!m) return -1;
    if (m->initialised) pthread_mutex_destroy(&m->mutex);
    memset(m->name, 0, sizeof m->name);
    m->initialised = 0;
    return 0;
}

int p2p_CondLock_Init(p2p_CondLock *c) {
    if (initRecursive(&c->mutex) != 0) return 1;
    pthread_condattr_t a;
    pthread_condattr_init(&a);
    pthread_condattr_setclock(&a, CLOCK_MONOTONIC);
    int rc = pthread_cond_init(&c->cond, &a);
    pthread_condattr_destroy(&a);
    return rc;
}

int p2p_CondLock_Destroy(p2p_CondLock *c) {
    if (pthread_mutex_destroy(&c->mutex) != 0) return 1;
    return pthread_cond_destroy(&c->cond);
}

int p2p_CondLock_Lock(p2p_CondLock *c) {
    return pthread_mutex_lock(&c->mutex);
}
int p2p_CondLock_Unlock(p2p_CondLock *c) {
    return pthread_mutex_unlock(&c->mutex);
}
int p2p_CondLock_TryLock(p2p_CondLock *c) {
    return pthread_mutex_trylock(&c->mutex);
}
int p2p_CondLock_Wait(p2p_CondLock *c) {
    return pthread_cond_wait(&c->cond, &c->mutex);
}

struct timespec p2p_Deadline(struct timespec now, uint32_t ms) {
    struct timespec d = now;
    d.tv_sec += ms / 1000;
    d.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (d.tv_nsec >= 1000000000L) {
        d.tv_sec += 1;
        d.tv_nsec -= 1000000000L;
    }
    return d;
}

void p2p_CondLock_TimedWait(p2p_CondLock *c, uint32_t ms) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    struct timespec d = p2p_Deadline(now, ms);
    pthread_cond_timedwait(&c->cond, &c->mutex, &d);
}

int p2p_CondLock_Signal(p2p_CondLock *c) {
    return pthread_cond_signal(&c->cond);
}
int p2p_CondLock_Broadcast(p2p_CondLock *c) {
    return pthread_cond_broadcast(&c->cond);
}

void p2p_Rand_Seed(void) {
    srand((unsigned)(time(nullptr) + getpid()));
}
int p2p_Rand(void) {
    return rand();
}

int p2p_Time_GetUs(uint64_t *out) {
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) return errno;
    if (out) *out = (uint64_t)tv.tv_sec * 1000000u + (uint64_t)tv.tv_usec;
    return 0;
}

static uint64_t systemMonotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

static std::atomic<p2p_ClockFn> g_clock{nullptr};

uint64_t p2p_Clock_Ms(void) {
    p2p_ClockFn fn = g_clock.load(std::memory_order_acquire);
    return fn ? fn() : systemMonotonicMs();
}

void p2p_Clock_SetSource(p2p_ClockFn fn) {
    g_clock.store(fn, std::memory_order_release);
}

int p2p_Snprintf(char *buf, size_t size, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    return n;
}

const char *p2p_Net_Ntop(int family, const void *addr, char *buf, size_t size) {
    if (!addr || !buf) return nullptr;
    return inet_ntop(family, addr, buf, (socklen_t)size);
}

int p2p_Malloc(size_t size, void **out) {
    if (!out) return -58;
    void *p = malloc(size ? size : 1);
    if (!p) return -58;
    *out = p;
    return 0;
}

int p2p_Free(void **p) {
    if (p) {
        free(*p);
        *p = nullptr;
    }
    return 0;
}
