// The socket task manager's loop, trees and deferred removal.
#include "p2p/p2p_sktaskmgr.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "p2p/p2p_containers.h"

p2p_Mutex pslSessionLock = P2P_MUTEX_STATIC("pslSessionLock");

namespace {

enum TreeId { kSock = 0, kTimer = 1, kSend = 2 };

struct Manager {
    p2p_Tree roots[3] = {nullptr, nullptr, nullptr};
    std::atomic<int> depth[3] = {0, 0, 0};
    std::atomic<int> pendingRemovals[3] = {0, 0, 0};
    std::atomic<bool> running{false};
    bool threadStarted = false;
    pthread_t thread{};
    std::atomic<int> wakeFd{-1};
    int readDispatches = 0;
    uint32_t timersAdded = 0;
    uint32_t idleTimeout = 500;
    uint32_t timerDivisor = 500;
    uint32_t sendDivisor = 500;
    std::vector<pollfd> pfds;  // reused every pass
    std::vector<int> pfdOwner;
};

Manager g;

struct SessionLock {
    SessionLock() { p2p_Mutex_Lock(&pslSessionLock, 1); }
    ~SessionLock() { p2p_Mutex_Unlock(&pslSessionLock); }
};

// Breaks the thread's wait. Called with the session lock held, so the descriptor cannot be closed meanwhile.
void wake() {
    int fd = g.wakeFd;
    if (fd >= 0) {
        uint64_t one = 1;
        (void)!write(fd, &one, sizeof one);
    }
}

// ---- idle time-out: the common divisor of live periods and pending-send intervals, at most 500 ms.

int gcdVisit(p2p_TreeNode *n, void *arg) {
    auto *t = static_cast<p2p_TimerTask *>(n->record);
    auto *acc = static_cast<uint32_t *>(arg);
    if (t->callback && t->period) *acc = *acc ? p2p_Gcd(*acc, t->period) : t->period;
    return 0;
}

int liveSendVisit(p2p_TreeNode *n, void *arg) {
    if (static_cast<p2p_PendingSend *>(n->record)->fd > 0) *static_cast<int *>(arg) = 1;
    return 0;
}

void recomputeIdle() {
    uint32_t td = 0;
    g.depth[kTimer]++;
    p2p_Tree_Walk(g.roots[kTimer], gcdVisit, &td);
    g.depth[kTimer]--;
    int anySend = 0;
    g.depth[kSend]++;
    p2p_Tree_Walk(g.roots[kSend], liveSendVisit, &anySend);
    g.depth[kSend]--;
    g.timerDivisor = td ? td : 500;
    g.sendDivisor = anySend ? 20 : 500;
    g.idleTimeout = p2p_Gcd(g.sendDivisor, g.timerDivisor);
}

// ---- deferred removal

int sockRetired(void *r) {
    auto *s = static_cast<p2p_SockTask *>(r);
    return !s->readHandler && !s->writeHandler;
}
int timerRetired(void *r) {
    return static_cast<p2p_TimerTask *>(r)->callback == nullptr;
}
int sendRetired(void *r) {
    auto *s = static_cast<p2p_PendingSend *>(r);
    if (s->fd != 0) return 0;
    free(s->data);
    s->data = nullptr;
    return 1;
}

void purge(TreeId t) {
    if (g.pendingRemovals[t] == 0) return;
    int few = t == kTimer ? 10 : 5;
    if (g.pendingRemovals[t] <= few) {
        if (p2p_Mutex_Lock(&pslSessionLock, 0) != 0) return;
    } else {
        p2p_Mutex_Lock(&pslSessionLock, 1);
    }
    if (g.depth[t] == 0) {
        static int (*const preds[3])(void *) = {sockRetired, timerRetired, sendRetired};
        int deleted = p2p_Tree_DeleteIf(&g.roots[t], preds[t]);
        if (deleted) {
            g.pendingRemovals[t] = 0;
            if (t != kSock) recomputeIdle();
        }
    }
    p2p_Mutex_Unlock(&pslSessionLock);
}

p2p_SockTask *findSock(int fd) {
    p2p_TreeNode **l = p2p_Tree_Find(&g.roots[kSock], p2p_Tree_CompareKey, &fd);
    return *l ? static_cast<p2p_SockTask *>((*l)->record) : nullptr;
}

p2p_PendingSend *findSend(int fd) {
    p2p_TreeNode **l = p2p_Tree_Find(&g.roots[kSend], p2p_Tree_CompareKey, &fd);
    return *l ? static_cast<p2p_PendingSend *>((*l)->record) : nullptr;
}

// ---- passes (all under the session lock)

void connectCompletion(p2p_SockTask *s) {
    if (!s->writeHandler) return;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(s->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = 0;
    s->writeHandler(s->fd, s->value, err, s->writeArg);
    p2p_SockTaskMng_RemoveSocket(s->fd, P2P_SOCK_CONNECT);
}

struct BuildCtx {
    std::vector<pollfd> *pfds;
};

int buildVisit(p2p_TreeNode *n, void *) {
    auto *s = static_cast<p2p_SockTask *>(n->record);
    short ev = 0;
    if (s->readHandler && (s->events & P2P_SOCK_READ)) ev |= POLLIN;
    if (s->writeHandler && (s->events & (P2P_SOCK_WRITE | P2P_SOCK_CONNECT))) ev |= POLLOUT;
    if (ev) g.pfds.push_back(pollfd{s->fd, ev, 0});
    return 0;
}

short reventsOf(int fd) {
    for (size_t i = 1; i < g.pfds.size(); ++i)
        if (g.pfds[i].fd == fd) return g.pfds[i].revents;
    return 0;
}

int dispatchVisit(p2p_TreeNode *n, void *) {
    auto *s = static_cast<p2p_SockTask *>(n->record);
    short re = reventsOf(s->fd);
    if (!re) return 0;
    if (s->readHandler && (re & (POLLIN | POLLHUP))) {
        s->readHandler(s->fd, s->value, 0, s->readArg);
        s->readCount++;
        g.readDispatches++;
    } else if (s->writeHandler && (re & POLLOUT)) {
        if (s->events & P2P_SOCK_CONNECT)
            connectCompletion(s);
        else
            s->writeHandler(s->fd, s->value, 0, s->writeArg);
    } else if (re & (POLLERR | POLLHUP | POLLNVAL)) {
        if (s->events & P2P_SOCK_CONNECT) connectCompletion(s);
    }
    return 0;
}

int idleVisit(p2p_TreeNode *n, void *) {
    auto *s = static_cast<p2p_SockTask *>(n->record);
    if (s->readHandler && s->readCount > 0) {
        s->readHandler(s->fd, s->value, -1, s->readArg);
        s->readCount = 0;
    }
    return 0;
}

int timerVisit(p2p_TreeNode *n, void *arg) {
    auto *t = static_cast<p2p_TimerTask *>(n->record);
    if (!t->callback) return 0;
    uint64_t now = p2p_Clock_Ms();
    bool due = t->firstRun == 0 || now < t->lastRun || now - t->lastRun >= t->period;
    if (!due) return 0;
    t->lastRun = now;
    if (t->firstRun == 0)
        t->firstRun = now ? now : 1;
    else if (t->firstRun > now)
        t->firstRun = now ? now : 1;
    uint64_t age = now >= t->firstRun ? now - t->firstRun : 0;
    if (t->lifetime != 0 && age >= t->lifetime) {
        p2p_TimerFn cb = t->callback;
        cb(t, t->period, t->value, t->userData, 1);
        if (t->callback) {
            t->callback = nullptr;
            t->userData = nullptr;
            g.pendingRemovals[kTimer]++;
        }
    } else {
        t->callback(t, t->period, t->value, t->userData, 0);
    }
    ++*static_cast<int *>(arg);
    return 0;
}

int retryVisit(p2p_TreeNode *n, void *) {
    auto *s = static_cast<p2p_PendingSend *>(n->record);
    if (s->fd <= 0) return 0;
    uint64_t now = p2p_Clock_Ms();
    if (now < s->lastTry) {
        s->lastTry = now;
        return 0;
    }
    if (now - s->lastTry <= s->interval) return 0;
    ssize_t r = s->kind == 1
                    ? send(s->fd, s->data + s->sent, s->length - s->sent, MSG_NOSIGNAL | MSG_DONTWAIT)
                    : send(s->fd, s->data + s->sent, s->length - s->sent, MSG_DONTWAIT);
    if (r < 0) return 0;
    s->sent += (int32_t)r;
    if (s->sent < s->length) {
        s->lastTry = now;
    } else {
        s->fd = 0;
        g.pendingRemovals[kSend]++;
    }
    return 0;
}

int runTimerPass() {
    int ran = 0;
    g.depth[kTimer]++;
    p2p_Tree_Walk(g.roots[kTimer], timerVisit, &ran);
    g.depth[kTimer]--;
    purge(kTimer);
    return ran;
}

void *loop(void *) {
    p2p_Thread_SetName("psl_sktaskmgr");
    bool busy = false;
    while (g.running.load()) {
        int timeout;
        {
            SessionLock l;
            g.pfds.clear();
            g.pfds.push_back(pollfd{g.wakeFd.load(), POLLIN, 0});
            g.depth[kSock]++;
            p2p_Tree_Walk(g.roots[kSock], buildVisit, nullptr);
            g.depth[kSock]--;
            purge(kSock);
            timeout = busy ? 20 : (int)g.idleTimeout;
        }
        // The lock is not held while waiting; the pollfd array is only touched by this thread.
        int n = poll(g.pfds.data(), g.pfds.size(), timeout);
        if (n > 0 && (g.pfds[0].revents & POLLIN)) {
            uint64_t v;
            (void)!read(g.wakeFd, &v, sizeof v);
            --n;
        }
        SessionLock l;
        bool ready = n > 0;
        if (ready) {
            g.depth[kSock]++;
            p2p_Tree_Walk(g.roots[kSock], dispatchVisit, nullptr);
            g.depth[kSock]--;
            purge(kSock);
        } else if (n == 0 && g.readDispatches > 0) {
            g.depth[kSock]++;
            p2p_Tree_Walk(g.roots[kSock], idleVisit, nullptr);
            g.depth[kSock]--;
            purge(kSock);
            g.readDispatches = 0;
        }
        if (!g.running.load()) break;
        if (g.roots[kSend]) {
            g.depth[kSend]++;
            p2p_Tree_Walk(g.roots[kSend], retryVisit, nullptr);
            g.depth[kSend]--;
            purge(kSend);
        }
        int ran = runTimerPass();
        busy = ready || ran > 0;
    }
    return nullptr;
}

int retireAllVisit(p2p_TreeNode *n, void *arg) {
    int t = *static_cast<int *>(arg);
    if (t == kSock) {
        auto *s = static_cast<p2p_SockTask *>(n->record);
        s->readHandler = s->writeHandler = nullptr;
        s->readArg = s->writeArg = nullptr;
        s->events = 0;
    } else if (t == kTimer) {
        auto *tt = static_cast<p2p_TimerTask *>(n->record);
        tt->callback = nullptr;
        tt->userData = nullptr;
    } else {
        static_cast<p2p_PendingSend *>(n->record)->fd = 0;
    }
    g.pendingRemovals[t]++;
    return 0;
}

}  // namespace

int p2p_SockTaskMng_Init(void) {
    SessionLock l;
    if (g.threadStarted) return 0;
    g.wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (g.wakeFd < 0) {
        puts("p2p_SockTaskMng_Init failed");
        return -2;
    }
    g.running = true;
    int err = 0;
    pthread_t t = p2p_Thread_Create(&err, loop, nullptr, 0);
    if (err != 0) {
        g.running = false;
        close(g.wakeFd);
        g.wakeFd = -1;
        puts("p2p_SockTaskMng_Init failed");
        return -2;
    }
    g.thread = t;
    g.threadStarted = true;
    return 0;
}

void p2p_SockTaskMng_DeInit(void) {
    pthread_t t{};
    bool join;
    {
        SessionLock l;
        g.running = false;
        join = g.threadStarted;
        t = g.thread;
        g.threadStarted = false;
    }
    // Joined without the lock: the thread may be waiting for it. From a callback of the thread itself it
    // is left to end on its own.
    if (join) {
        {
            SessionLock l;
            wake();
        }
        if (pthread_equal(t, pthread_self()))
            pthread_detach(t);
        else
            p2p_Thread_Join(t);
    }
    SessionLock l;
    for (int tree = 0; tree < 3; ++tree) {
        g.depth[tree]++;
        p2p_Tree_Walk(g.roots[tree], retireAllVisit, &tree);
        g.depth[tree]--;
        purge(static_cast<TreeId>(tree));
    }
    if (g.wakeFd >= 0) {
        close(g.wakeFd);
        g.wakeFd = -1;
    }
    g.readDispatches = 0;
    recomputeIdle();
}

p2p_TimerTask *p2p_SockTaskMng_AddTimer(uint32_t period, uint32_t lifetime, uint16_t value, p2p_TimerFn cb,
                                        void *userData) {
    auto *t = static_cast<p2p_TimerTask *>(calloc(1, sizeof(p2p_TimerTask)));
    if (!t) return nullptr;
    t->lifetime = lifetime;
    t->period = period;
    t->value = value;
    t->callback = cb;
    t->userData = userData;
    {
        SessionLock l;
        uint32_t limit = g.timersAdded == UINT32_MAX ? 1 : g.timersAdded + 1;
        int32_t id = 1;
        for (uint32_t i = 1; i <= limit; ++i) {
            id = (int32_t)i;
            if (!*p2p_Tree_Find(&g.roots[kTimer], p2p_Tree_CompareKey, &id)) break;
        }
        t->id = id;
        if (!p2p_Tree_Insert(&g.roots[kTimer], p2p_Tree_CompareKey, t)) {
            free(t);
            return nullptr;
        }
        if (g.timersAdded != UINT32_MAX) g.timersAdded++;
        recomputeIdle();
        wake();
    }
    return t;
}

namespace {

int findRecordVisit(p2p_TreeNode *n, void *arg) {
    auto *want = static_cast<void **>(arg);
    if (n->record == want[0]) want[1] = n->record;
    return 0;
}

}  // namespace

int p2p_SockTaskMng_RemoveTimer(p2p_TimerTask *task) {
    if (!task) return 0;
    int r = 0;
    {
        SessionLock l;
        // The handle is dereferenced only while the tree still holds it: a task removed and purged earlier
        // (its record freed) is simply not found.
        void *probe[2] = {task, nullptr};
        p2p_Tree_Walk(g.roots[kTimer], findRecordVisit, probe);
        if (probe[1] && task->callback) {
            task->callback = nullptr;
            task->userData = nullptr;
            g.pendingRemovals[kTimer]++;
            r = 1;
        }
    }
    purge(kTimer);
    return r;
}

int p2p_SockTaskMng_DelTimer(p2p_TimerTask *task) {
    return p2p_SockTaskMng_RemoveTimer(task);
}

int p2p_SockTaskMng_AddSocket(int fd, int value, int events, p2p_SockFn handler, void *arg) {
    purge(kSock);
    {
        SessionLock l;
        p2p_SockTask *s = findSock(fd);
        bool fresh = !s;
        if (fresh) {
            s = static_cast<p2p_SockTask *>(calloc(1, sizeof(p2p_SockTask)));
            if (!s) return TERROR_ENOMEM;
            s->fd = fd;
            s->value = value;
        }
        if (events == P2P_SOCK_READ) {
            s->readHandler = handler;
            s->readArg = arg;
        } else if (events == P2P_SOCK_WRITE || events == P2P_SOCK_CONNECT) {
            s->writeHandler = handler;
            s->writeArg = arg;
        } else {
            s->readHandler = s->writeHandler = handler;
            s->readArg = s->writeArg = arg;
        }
        s->events |= events;
        if (fresh && !p2p_Tree_Insert(&g.roots[kSock], p2p_Tree_CompareKey, s)) {
            free(s);
            return TERROR_ENOMEM;
        }
        wake();
    }
    return 0;
}

int p2p_SockTaskMng_RemoveSocket(int fd, int events) {
    {
        SessionLock l;
        p2p_SockTask *s = findSock(fd);
        if (!s || (!s->readHandler && !s->writeHandler)) return -1;
        if (events != P2P_SOCK_ALL) {
            if (s->events & events) {
                s->events &= ~events;
                if (events & 1) {
                    s->readHandler = nullptr;
                    s->readArg = nullptr;
                }
                if (events & 0xE) {
                    s->writeHandler = nullptr;
                    s->writeArg = nullptr;
                }
            }
            if (s->events != 0) return -1;
        }
        s->events = 0;
        s->readHandler = s->writeHandler = nullptr;
        s->readArg = s->writeArg = nullptr;
        g.pendingRemovals[kSock]++;
        if (p2p_PendingSend *p = findSend(fd); p && p->fd > 0) {
            p->fd = 0;
            g.pendingRemovals[kSend]++;
        }
    }
    purge(kSock);
    purge(kSend);
    return 0;
}

int p2p_SockTaskMng_Send(int fd, int kind, const void *data, int length) {
    if (length < 0 || length > P2P_SEND_MAX || !data || (kind != 0 && kind != 1)) return -1;
    purge(kSend);
    SessionLock l;
    if (p2p_PendingSend *p = findSend(fd); p && p->fd > 0) return -1;
    ssize_t r = kind == 1 ? send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT)
                          : send(fd, data, length, MSG_DONTWAIT);
    if (r < 0) return -1;
    if (r == length) return length;
    auto *p = static_cast<p2p_PendingSend *>(calloc(1, sizeof(p2p_PendingSend)));
    if (!p) return -1;
    p->data = static_cast<uint8_t *>(malloc(length - r));
    if (!p->data) {
        free(p);
        return -1;
    }
    memcpy(p->data, static_cast<const uint8_t *>(data) + r, length - r);
    p->fd = fd;
    p->length = (int32_t)(length - r);
    p->lastTry = p2p_Clock_Ms();
    p->interval = 20;
    p->kind = kind;
    // A cancelled entry of the same descriptor may still wait for its purge.
    p2p_TreeNode **link = p2p_Tree_Find(&g.roots[kSend], p2p_Tree_CompareKey, &fd);
    if (*link) {
        auto *old = static_cast<p2p_PendingSend *>((*link)->record);
        free(old->data);
        free(old);
        (*link)->record = p;
    } else if (!p2p_Tree_Insert(&g.roots[kSend], p2p_Tree_CompareKey, p)) {
        free(p->data);
        free(p);
        return -1;
    }
    recomputeIdle();
    wake();
    return -1;
}

uint32_t p2p_SockTaskMng_IdleTimeout(void) {
    SessionLock l;
    return g.idleTimeout;
}

int p2p_SockTaskMng_TimerPass(void) {
    SessionLock l;
    return runTimerPass();
}

static int countVisit(p2p_TreeNode *, void *arg) {
    ++*static_cast<int *>(arg);
    return 0;
}

int p2p_SockTaskMng_TimerCount(void) {
    SessionLock l;
    int n = 0;
    p2p_Tree_Walk(g.roots[kTimer], countVisit, &n);
    return n;
}

int p2p_SockTaskMng_IsRunning(void) {
    return g.running.load() ? 1 : 0;
}
