// The connection manager and its handler thread.
#include "p2p/tconn_manager.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <new>
#include <vector>

#include "p2p/p2p_net.h"
#include "qv_config.h"

namespace {

struct Entry {
    int32_t state;  // 1 live, 2 being destroyed
    LinuxConn *conn;
};

int retainMgr(LinuxConnMgr *m) {
    return LinuxConnMgr_retain(m);
}
int releaseMgr(LinuxConnMgr *m) {
    return LinuxConnMgr_release(m);
}

const LinuxConnMgrOps kMgrOps = {retainMgr,
                                 releaseMgr,
                                 LinuxConnMgr_createConnection,
                                 LinuxConnMgr_destroyConnection,
                                 LinuxConnMgr_setTimeout,
                                 LinuxConnMgr_setTimeoutCallback};

const LinuxConnOps kConnOps = {LinuxConn_retain,
                               LinuxConn_release,
                               LinuxConn_open,
                               LinuxConn_send,
                               LinuxConn_sendTo,
                               LinuxConn_setRecvCallback,
                               LinuxConn_setCloseCallback,
                               LinuxConn_getState,
                               LinuxConn_getLocalAddr,
                               LinuxConn_setTTL,
                               LinuxConn_setRecvSize,
                               LinuxConn_getRecvSize,
                               LinuxConn_keepPartial};

std::mutex g_instanceLock;
LinuxConnMgr *g_instance = nullptr;

int errnoReason(int e) {
    switch (e) {
        case ENETUNREACH:
            return LINUXCONN_ERR_UNREACHABLE;
        case ETIMEDOUT:
            return LINUXCONN_ERR_TIMEDOUT;
        case ECONNREFUSED:
            return LINUXCONN_ERR_REFUSED;
        default:
            return LINUXCONN_ERR_OTHER;
    }
}

socklen_t addrLen(const sockaddr_storage &a) {
    return a.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

void wake(LinuxConnMgr *m) {
    uint64_t one = 1;
    (void)!write(m->wakeFd, &one, sizeof one);
}

void callError(LinuxConn *c, int reason) {
    LinuxConn_ErrorFn fn;
    void *arg;
    {
        std::lock_guard<std::mutex> g(c->cbLock);
        fn = c->errorCallback;
        arg = c->errorArg;
    }
    if (fn) fn(c, reason, arg);
}

void callConnected(LinuxConn *c) {
    LinuxConn_ConnectedFn fn;
    void *arg;
    {
        std::lock_guard<std::mutex> g(c->cbLock);
        fn = c->connectedCallback;
        arg = c->connectedArg;
    }
    if (fn) fn(c, arg);
}

void callClose(LinuxConn *c, int reason) {
    LinuxConn_CloseFn fn;
    void *arg;
    {
        std::lock_guard<std::mutex> g(c->cbLock);
        fn = c->closeCallback;
        arg = c->closeArg;
    }
    if (fn) fn(c, reason, arg);
}

// One receive on a readable socket; returns the bytes received (0: none, the peer closed or the receive
// failed).
int64_t receive(LinuxConn *c, int fd) {
    if (c->keepPartial) {
        c->keepPartial = 0;
    } else {
        // A datagram replaces the buffer's contents and only its bytes are handed on: no clearing per packet.
        if (c->protocol != LINUXCONN_UDP) memset(c->buffer, 0, LINUXCONN_BUFFER);
        c->buffered = 0;
    }
    int64_t room = LINUXCONN_BUFFER - c->buffered;
    int64_t ask = c->recvSize.load();
    if (ask > room) ask = room;
    sockaddr_storage from{};
    socklen_t fromLen = sizeof from;
    int64_t got = 0;
    if (c->protocol == LINUXCONN_UDP) {
        // MSG_TRUNC reports a datagram's whole size: one longer than asked for is dropped, never cut and
        // parsed.
        ssize_t r =
            recvfrom(fd, c->buffer, (size_t)ask, MSG_TRUNC | MSG_DONTWAIT, (sockaddr *)&from, &fromLen);
        if (r < 0 || r > ask) {
            c->buffered = 0;
            return 0;
        }
        c->buffered = r;
        got = r;
    } else {
        ssize_t r = recv(fd, c->buffer + c->buffered, (size_t)ask, MSG_DONTWAIT);
        if (r == 0) {
            c->state = LINUXCONN_PEER_CLOSED;
            c->buffered = 0;
            return 0;
        }
        if (r < 0) return (errno == EAGAIN || errno == EINTR) ? -1 : 0;
        c->buffered += r;
        got = r;
        from = c->peerAddress;
        fromLen = addrLen(from);
    }
    LinuxConn_RecvFn fn;
    void *arg;
    {
        std::lock_guard<std::mutex> g(c->cbLock);
        fn = c->recvCallback;
        arg = c->recvArg;
    }
    if (fn && c->buffered > 0) {
        char host[64];
        uint16_t port = 0;
        p2p_Net_SockaddrToHost((sockaddr *)&from, fromLen, host, sizeof host, &port);
        fn(c, host, htons(port), c->buffer, c->buffered, arg);
    }
    return got;
}

void acceptPeer(LinuxConnMgr *m, LinuxConn *c) {
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    int afd = accept4(c->fd, (sockaddr *)&peer, &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (afd < 0) return;
    if (c->state != LINUXCONN_LISTENING) {
        // The accepted slot holds one peer: a second one is turned away.
        close(afd);
        return;
    }
    c->peerAddress = peer;
    c->acceptedFd = afd;
    c->state = LINUXCONN_READY;
    {
        std::lock_guard<std::mutex> g(m->lock);
        c->watchAccepted = true;
        if (afd > m->maxFd) m->maxFd = afd;
    }
    callConnected(c);
}

void completeConnect(LinuxConnMgr *m, LinuxConn *c) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err != 0) {
        {
            std::lock_guard<std::mutex> g(m->lock);
            c->watchWrite = false;
        }
        c->state = LINUXCONN_FAILED;
        callError(c, errnoReason(err));
        return;
    }
    int expected = LINUXCONN_CONNECTING;
    if (!c->state.compare_exchange_strong(expected, LINUXCONN_READY)) return;
    socklen_t ll = sizeof c->localAddress;
    getsockname(c->fd, (sockaddr *)&c->localAddress, &ll);
    {
        std::lock_guard<std::mutex> g(m->lock);
        c->watchWrite = false;
        c->watchRead = true;
    }
    callConnected(c);
}

struct Watch {
    LinuxConn *conn;
    bool accepted;  // this pollfd is the accepted peer's socket
};

void *handlerThread(void *arg) {
    p2p_Thread_SetName("psl_conn_hdlr");
    auto *m = static_cast<LinuxConnMgr *>(arg);
    std::vector<pollfd> pfds;
    std::vector<Watch> watches;
    std::vector<LinuxConn *> retired;
    pfds.reserve(64);
    while (!m->stop.load()) {
        pfds.clear();
        watches.clear();
        retired.clear();
        LinuxConnMgr_IdleFn idle, drained;
        void *idleArg, *drainedArg;
        {
            std::lock_guard<std::mutex> g(m->lock);
            pfds.push_back(pollfd{m->wakeFd, POLLIN, 0});
            watches.push_back(Watch{nullptr, false});
            for (p2p_ListNode *n = p2p_List_Head(m->connections); n;) {
                p2p_ListNode *next = n->next;
                auto *e = static_cast<Entry *>(n->data);
                LinuxConn *c = e->conn;
                if (e->state == 2) {
                    // Retire: the socket leaves the watched set before the manager's reference goes.
                    c->watchRead = c->watchWrite = c->watchAccepted = false;
                    retired.push_back(c);
                    free(e);
                    p2p_List_Remove(m->connections, n);
                } else {
                    short ev = (c->watchRead ? POLLIN : 0) | (c->watchWrite ? POLLOUT : 0);
                    if (ev && c->fd >= 0) {
                        c->header.refCount++;
                        pfds.push_back(pollfd{c->fd, ev, 0});
                        watches.push_back(Watch{c, false});
                    }
                    if (c->watchAccepted && c->acceptedFd >= 0) {
                        c->header.refCount++;
                        pfds.push_back(pollfd{c->acceptedFd, POLLIN, 0});
                        watches.push_back(Watch{c, true});
                    }
                }
                n = next;
            }
            idle = m->idleCallback;
            idleArg = m->idleArg;
            drained = m->drainedCallback;
            drainedArg = m->drainedArg;
        }
        for (LinuxConn *c : retired) {
            c->manager = nullptr;
            LinuxConn_release(c);
        }
        int n = poll(pfds.data(), pfds.size(), m->timeoutMs.load());
        if (n == 0 && idle) idle(m, idleArg);
        if (n > 0) {
            if (pfds[0].revents & POLLIN) {
                uint64_t v;
                (void)!read(m->wakeFd, &v, sizeof v);
            }
            for (size_t i = 1; i < pfds.size() && !m->stop.load(); ++i) {
                short re = pfds[i].revents;
                LinuxConn *c = watches[i].conn;
                if (!re || c->destroyed.load()) continue;
                if (re & POLLNVAL) {
                    // The descriptor was closed under us: stop watching it rather than spin.
                    std::lock_guard<std::mutex> g(m->lock);
                    if (watches[i].accepted)
                        c->watchAccepted = false;
                    else
                        c->watchRead = c->watchWrite = false;
                    continue;
                }
                if (watches[i].accepted) {
                    if (receive(c, c->acceptedFd) == 0) {
                        std::lock_guard<std::mutex> g(m->lock);
                        c->watchAccepted = false;
                    }
                } else if ((pfds[i].events & POLLIN) && (re & (POLLIN | POLLHUP | POLLERR))) {
                    if (c->protocol == LINUXCONN_UDP) {
                        // A burst is read in one pass, up to a bound that keeps other sockets served.
                        bool quiet = true;
                        for (int k = 0; k < 32 && !c->destroyed.load(); ++k) {
                            if (receive(c, c->fd) <= 0) break;
                            quiet = k < 31;
                        }
                        if (quiet && drained) drained(m, drainedArg);
                    } else if (c->role == LINUXCONN_SERVER) {
                        acceptPeer(m, c);
                    } else if (receive(c, c->fd) == 0) {
                        {
                            std::lock_guard<std::mutex> g(m->lock);
                            c->watchRead = false;
                        }
                        c->state = LINUXCONN_PEER_CLOSED;
                        callClose(c, LINUXCONN_CLOSE_PEER);
                    }
                } else if (pfds[i].events & POLLOUT) {
                    completeConnect(m, c);
                }
            }
        }
        // EINTR and other failures of the wait: go round again; only stop ends the thread.
        for (size_t i = 1; i < watches.size(); ++i) LinuxConn_release(watches[i].conn);
    }
    return nullptr;
}

int setInt(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof value);
}

}  // namespace

// ---- manager

int LinuxConnMgr_getInstance(LinuxConnMgr **out) {
    if (!out) return TERROR_EINVAL;
    std::lock_guard<std::mutex> g(g_instanceLock);
    if (g_instance) {
        LinuxConnMgr_retain(g_instance);
        *out = g_instance;
        return 0;
    }
    auto *m = new (std::nothrow) LinuxConnMgr{};
    if (!m) return TERROR_ENOMEM;
    m->header.ops = &kMgrOps;
    m->header.destroy = LinuxConnMgr_free;
    m->connections = p2p_List_New();
    m->timeoutMs = 50;
    m->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (!m->connections || m->wakeFd < 0) {
        int rc = m->connections ? p2p_ErrnoToTError(errno) : TERROR_ENOMEM;
        p2p_List_Free(m->connections);
        if (m->wakeFd >= 0) close(m->wakeFd);
        delete m;
        return rc;
    }
    int err = 0;
    m->thread = p2p_Thread_Create(&err, handlerThread, m, 0);
    if (err != 0) {
        p2p_List_Free(m->connections);
        close(m->wakeFd);
        delete m;
        return p2p_ErrnoToTError(EAGAIN);
    }
    m->header.refCount = 1;
    g_instance = m;
    *out = m;
    return 0;
}

int LinuxConnMgr_retain(LinuxConnMgr *m) {
    return m ? ++m->header.refCount : TERROR_EINVAL;
}

int LinuxConnMgr_release(LinuxConnMgr *m) {
    if (!m) return TERROR_EINVAL;
    std::unique_lock<std::mutex> g(g_instanceLock);
    int n = --m->header.refCount;
    if (n == 0) {
        if (g_instance == m) g_instance = nullptr;
        g.unlock();
        m->header.destroy(m);
    }
    return n;
}

void LinuxConnMgr_free(void *p) {
    auto *m = static_cast<LinuxConnMgr *>(p);
    m->stop = 1;
    wake(m);
    if (pthread_equal(m->thread, pthread_self()))
        pthread_detach(m->thread);
    else
        p2p_Thread_Join(m->thread);
    for (p2p_ListNode *n = p2p_List_Head(m->connections); n; n = n->next) {
        auto *e = static_cast<Entry *>(n->data);
        e->conn->manager = nullptr;
        LinuxConn_release(e->conn);
        free(e);
    }
    p2p_List_Free(m->connections);
    close(m->wakeFd);
    delete m;
}

int LinuxConnMgr_createConnection(LinuxConnMgr *m, int protocol, int role, int options, LinuxConn **out) {
    if (!m || !out) return TERROR_EINVAL;
    {
        std::lock_guard<std::mutex> g(m->lock);
        if (p2p_List_Count(m->connections) >= LINUXCONN_MAX_CONNECTIONS) return TERROR_TOO_MANY;
    }
    LinuxConn *c = nullptr;
    int rc = LinuxConn_new(protocol, role, options, &c);
    if (rc != 0) return rc;
    auto *e = static_cast<Entry *>(calloc(1, sizeof(Entry)));
    if (!e) {
        LinuxConn_release(c);
        return TERROR_ENOMEM;
    }
    LinuxConn_retain(c);
    e->state = 1;
    e->conn = c;
    {
        std::lock_guard<std::mutex> g(m->lock);
        if (p2p_List_Count(m->connections) >= LINUXCONN_MAX_CONNECTIONS ||
            p2p_List_PushBack(m->connections, e) != 0) {
            free(e);
            c->header.refCount -= 2;
            LinuxConn_free(c);
            return TERROR_TOO_MANY;
        }
        c->manager = m;
    }
    *out = c;
    return 0;
}

int LinuxConnMgr_destroyConnection(LinuxConnMgr *m, LinuxConn *c) {
    if (!m || !c) return TERROR_EINVAL;
    {
        std::lock_guard<std::mutex> g(m->lock);
        Entry *found = nullptr;
        for (p2p_ListNode *n = p2p_List_Head(m->connections); n; n = n->next) {
            auto *e = static_cast<Entry *>(n->data);
            if (e->conn == c && e->state == 1) {
                found = e;
                break;
            }
        }
        if (!found) return TERROR_EINVAL;
        found->state = 2;
        c->destroyed = true;
        // The manager's reference stays until the handler has retired the socket; a caller that holds none
        // has already given it up, so nothing more is released.
        int expected = c->header.refCount.load();
        bool released = false;
        while (expected > 1 &&
               !(released = c->header.refCount.compare_exchange_weak(expected, expected - 1))) {
        }
        wake(m);
        if (!released) return TERROR_BAD_STATE;
    }
    return 0;
}

int LinuxConnMgr_setTimeout(LinuxConnMgr *m, int ms) {
    if (!m || ms < 0) return TERROR_EINVAL;
    m->timeoutMs = ms;
    return 0;
}

int LinuxConnMgr_setTimeoutCallback(LinuxConnMgr *m, LinuxConnMgr_IdleFn fn, void *arg) {
    if (!m) return TERROR_EINVAL;
    std::lock_guard<std::mutex> g(m->lock);
    m->idleCallback = fn;
    m->idleArg = arg;
    return 0;
}

int LinuxConnMgr_setDrainedCallback(LinuxConnMgr *m, LinuxConnMgr_IdleFn fn, void *arg) {
    if (!m) return TERROR_EINVAL;
    std::lock_guard<std::mutex> g(m->lock);
    m->drainedCallback = fn;
    m->drainedArg = arg;
    return 0;
}

// ---- connection

int LinuxConn_new(int protocol, int role, int options, LinuxConn **out) {
    if (!out) return TERROR_EINVAL;
    auto *c = new (std::nothrow) LinuxConn{};
    if (!c) return TERROR_ENOMEM;
    c->buffer = static_cast<uint8_t *>(calloc(1, LINUXCONN_BUFFER));
    if (!c->buffer) {
        delete c;
        return TERROR_ENOMEM;
    }
    c->header.ops = &kConnOps;
    c->header.destroy = LinuxConn_free;
    c->header.refCount = 1;
    c->fd = -1;
    c->acceptedFd = -1;
    c->protocol = protocol;
    c->role = role;
    c->options = options;
    c->state = LINUXCONN_CREATED;
    c->recvSize = LINUXCONN_BUFFER;
    *out = c;
    return 0;
}

void LinuxConn_free(void *p) {
    auto *c = static_cast<LinuxConn *>(p);
    if (c->fd >= 0) close(c->fd);
    if (c->acceptedFd >= 0) close(c->acceptedFd);
    free(c->buffer);
    delete c;
}

int LinuxConn_retain(LinuxConn *c) {
    return c ? ++c->header.refCount : TERROR_EINVAL;
}

int LinuxConn_release(LinuxConn *c) {
    if (!c) return TERROR_EINVAL;
    int n = --c->header.refCount;
    if (n == 0) c->header.destroy(c);
    return n;
}

int LinuxConn_open(LinuxConn *c, const char *host, uint16_t *portNet, int, LinuxConn_ConnectedFn onConnected,
                   void *connectedArg, LinuxConn_ErrorFn onError, void *errorArg) {
    if (!c || !portNet) return TERROR_EINVAL;
    {
        std::lock_guard<std::mutex> g(c->cbLock);
        c->connectedCallback = onConnected;
        c->connectedArg = connectedArg;
        c->errorCallback = onError;
        c->errorArg = errorArg;
    }
    if (c->role == LINUXCONN_CLIENT && *portNet == 0) return TERROR_EINVAL;
    if (c->fd >= 0) return TERROR_BAD_STATE;
    const bool udp = c->protocol == LINUXCONN_UDP;
    sockaddr_storage addr{};
    if (p2p_Net_ResolveSockaddr(host, udp ? 1 : 0, *portNet, (sockaddr *)&addr) != 0) {
        callError(c, LINUXCONN_ERR_UNRESOLVED);
        return TERROR_ADDR_UNRESOLVED;
    }
    c->address = addr;
    int fd = socket(addr.ss_family, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC,
                    udp ? IPPROTO_UDP : IPPROTO_TCP);
    if (fd < 0) return TERROR_ENOMEM;
    auto fail = [&](int e) {
        close(fd);
        return p2p_ErrnoToTError(e);
    };
    if (!(c->options & LINUXCONN_OPT_NO_REUSEADDR) && setInt(fd, SOL_SOCKET, SO_REUSEADDR, 1) != 0)
        return fail(errno);
    if (udp) {
        if (setInt(fd, SOL_SOCKET, SO_BROADCAST, 1) != 0) return fail(errno);
        if (addr.ss_family == AF_INET6) {
            // Multicast settings may fail harmlessly (no link-local interface).
            int scope = p2p_Net_IPv6_GetScopeId();
            setInt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, scope);
            setInt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, 1);
            ipv6_mreq mreq{};
            inet_pton(AF_INET6, "ff02::1", &mreq.ipv6mr_multiaddr);
            mreq.ipv6mr_interface = scope < 0 ? 0 : (unsigned)scope;
            setsockopt(fd, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &mreq, sizeof mreq);
        }
        if (setInt(fd, SOL_SOCKET, SO_RCVBUF, 1024000) != 0 ||
            setInt(fd, SOL_SOCKET, SO_SNDBUF, 1024000) != 0)
            return fail(errno);
    }
    LinuxConnMgr *m = c->manager;
    auto watch = [&](bool read, bool write) {
        if (!m) return;
        std::lock_guard<std::mutex> g(m->lock);
        c->fd = fd;
        c->watchRead = read;
        c->watchWrite = write;
        if (fd > m->maxFd) m->maxFd = fd;
    };
    socklen_t alen = addr.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (c->role == LINUXCONN_SERVER) {
        if (!host && addr.ss_family == AF_INET6 && setInt(fd, IPPROTO_IPV6, IPV6_V6ONLY, 0) != 0)
            return fail(errno);
        if (!udp) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        if (bind(fd, (sockaddr *)&addr, alen) != 0) {
            int e = errno;
            close(fd);
            callError(c, errnoReason(e));
            return p2p_ErrnoToTError(e);
        }
        if (!udp && listen(fd, 64) != 0) return fail(errno);
        if (*portNet == 0) {
            sockaddr_storage bound{};
            socklen_t bl = sizeof bound;
            if (getsockname(fd, (sockaddr *)&bound, &bl) != 0) {
                int e = errno;
                close(fd);
                callError(c, errnoReason(e));
                return p2p_ErrnoToTError(e);
            }
            *portNet = bound.ss_family == AF_INET6 ? ((sockaddr_in6 *)&bound)->sin6_port
                                                   : ((sockaddr_in *)&bound)->sin_port;
        }
        c->state = udp ? LINUXCONN_READY : LINUXCONN_LISTENING;
        watch(true, false);
        if (!m) c->fd = fd;
    } else if (udp) {
        c->state = LINUXCONN_READY;
        watch(true, false);
        if (!m) c->fd = fd;
    } else {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        c->peerAddress = addr;
        c->state = LINUXCONN_CONNECTING;
        if (connect(fd, (sockaddr *)&addr, alen) != 0 && errno != EINPROGRESS) {
            int e = errno;
            close(fd);
            c->state = LINUXCONN_FAILED;
            callError(c, errnoReason(e));
            return p2p_ErrnoToTError(e);
        }
        // Completed at once or in progress: the handler thread completes it. The socket is watched only once
        // the connect is under way (an unconnected socket already polls writable).
        watch(false, true);
        if (!m) c->fd = fd;
        if (m) wake(m);
    }
    // Only a UDP socket is ready here; a TCP connect is completed (and reported) by the handler thread alone.
    if (udp) callConnected(c);
    return 0;
}

namespace {

int waitWritable(int fd, int ms) {
    pollfd p{fd, POLLOUT, 0};
    for (;;) {
        int r = poll(&p, 1, ms);
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

bool mapToFamily(sockaddr_storage *a, int family) {
    if (a->ss_family == family) return true;
    if (family == AF_INET6 && a->ss_family == AF_INET) {
        sockaddr_in v4 = *(sockaddr_in *)a;
        sockaddr_in6 v6{};
        v6.sin6_family = AF_INET6;
        v6.sin6_port = v4.sin_port;
        v6.sin6_addr.s6_addr[10] = v6.sin6_addr.s6_addr[11] = 0xff;
        memcpy(v6.sin6_addr.s6_addr + 12, &v4.sin_addr, 4);
        memcpy(a, &v6, sizeof v6);
        return true;
    }
    return false;
}

}  // namespace

int LinuxConn_send(LinuxConn *c, const void *data, int *length) {
    if (!c || !data || !length || *length < 0) return TERROR_EINVAL;
    if (c->state != LINUXCONN_READY) return TERROR_EINVAL;
    std::lock_guard<std::mutex> g(c->sendLock);
    ssize_t r;
    if (c->protocol == LINUXCONN_UDP) {
        r = sendto(c->fd, data, (size_t)*length, MSG_NOSIGNAL, (sockaddr *)&c->address, addrLen(c->address));
    } else {
        int fd = c->role == LINUXCONN_SERVER ? c->acceptedFd.load() : c->fd.load();
        int w = waitWritable(fd, LINUXCONN_SEND_WAIT_MS);
        if (w < 0) return p2p_ErrnoToTError(errno);
        if (w == 0) return TERROR_ETIMEDOUT;  // a bounded wait: the peer stopped reading
        r = send(fd, data, (size_t)*length, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    if (r < 0) return p2p_ErrnoToTError(errno);
    *length = (int)r;
    return 0;
}

int LinuxConn_sendTo(LinuxConn *c, const char *host, uint16_t portNet, const void *data, int *length) {
    if (!c || !data || !length || *length < 0) return TERROR_EINVAL;
    if (c->state != LINUXCONN_READY) return TERROR_EINVAL;
    if (c->protocol == LINUXCONN_UDP && host) {
        sockaddr_storage to{};
        if (p2p_Net_ResolveSockaddr(host, 1, portNet, (sockaddr *)&to) != 0) return TERROR_ADDR_UNRESOLVED;
        return LinuxConn_sendToAddr(c, &to, data, length);
    }
    std::lock_guard<std::mutex> g(c->sendLock);
    ssize_t r;
    if (c->protocol == LINUXCONN_UDP) {
        r = send(c->fd, data, (size_t)*length, MSG_NOSIGNAL);
    } else {
        int fd = c->role == LINUXCONN_SERVER ? c->acceptedFd.load() : c->fd.load();
        int w = waitWritable(fd, 0);
        if (w < 0) return p2p_ErrnoToTError(errno);
        if (w == 0) {
            *length = 0;
            return 0;
        }
        r = send(fd, data, (size_t)*length, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    if (r < 0) return p2p_ErrnoToTError(errno);
    *length = (int)r;
    return 0;
}

int LinuxConn_sendToAddr(LinuxConn *c, const struct sockaddr_storage *dest, const void *data, int *length) {
    if (!c || !dest || !data || !length || *length < 0) return TERROR_EINVAL;
    if (c->state != LINUXCONN_READY || c->protocol != LINUXCONN_UDP) return TERROR_EINVAL;
    sockaddr_storage to = *dest;
    // An IPv4 destination on the dual-stack socket travels as an IPv4-mapped address.
    if (!mapToFamily(&to, c->address.ss_family)) return TERROR_ADDR_UNRESOLVED;
    std::lock_guard<std::mutex> g(c->sendLock);
    const ssize_t r = sendto(c->fd, data, (size_t)*length, MSG_NOSIGNAL, (sockaddr *)&to, addrLen(to));
    if (r < 0) return p2p_ErrnoToTError(errno);
    *length = (int)r;
    return 0;
}

int LinuxConn_setRecvCallback(LinuxConn *c, LinuxConn_RecvFn fn, void *arg) {
    if (!c) return TERROR_EINVAL;
    std::lock_guard<std::mutex> g(c->cbLock);
    c->recvCallback = fn;
    c->recvArg = arg;
    return 0;
}

int LinuxConn_setCloseCallback(LinuxConn *c, LinuxConn_CloseFn fn, void *arg) {
    if (!c) return TERROR_EINVAL;
    std::lock_guard<std::mutex> g(c->cbLock);
    c->closeCallback = fn;
    c->closeArg = arg;
    return 0;
}

int LinuxConn_getState(LinuxConn *c, int *state) {
    if (!c || !state) return TERROR_EINVAL;
    *state = c->state;
    return 0;
}

int LinuxConn_getLocalAddr(LinuxConn *c, char *text, size_t size, uint16_t *portNet) {
    if (!c || !text || size == 0) return TERROR_EINVAL;
    sockaddr_storage local{};
    if (c->protocol == LINUXCONN_UDP) {
        // The address the system would use outward: connect a throw-away socket (nothing is sent).
        int s = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (s < 0) return p2p_ErrnoToTError(errno);
        sockaddr_in6 to{};
        to.sin6_family = AF_INET6;
        to.sin6_port = htons(53);
        char mapped[64];
        snprintf(mapped, sizeof mapped, "::ffff:%s", QV_P2P_ROUTE_PROBE_HOST);
        inet_pton(AF_INET6, mapped, &to.sin6_addr);
        socklen_t ll = sizeof local;
        if (connect(s, (sockaddr *)&to, sizeof to) != 0 || getsockname(s, (sockaddr *)&local, &ll) != 0) {
            int e = errno;
            close(s);
            return p2p_ErrnoToTError(e);
        }
        close(s);
        // The port is the connection's own, not the throw-away socket's.
        sockaddr_storage own{};
        socklen_t ol = sizeof own;
        if (c->fd >= 0 && getsockname(c->fd, (sockaddr *)&own, &ol) == 0) {
            uint16_t p = own.ss_family == AF_INET6 ? ((sockaddr_in6 *)&own)->sin6_port
                                                   : ((sockaddr_in *)&own)->sin_port;
            if (local.ss_family == AF_INET6) ((sockaddr_in6 *)&local)->sin6_port = p;
        }
        c->localAddress = local;
    } else {
        local = c->localAddress;
    }
    uint16_t port = 0;
    p2p_Net_SockaddrToHost((sockaddr *)&local, addrLen(local), text, size, &port);
    if (portNet) *portNet = htons(port);
    return 0;
}

int LinuxConn_setTTL(LinuxConn *c, int value) {
    if (!c || c->fd < 0) return TERROR_EINVAL;
    int v = value & 0xff;
    if (setsockopt(c->fd, IPPROTO_IP, IP_TTL, &v, sizeof v) != 0) return p2p_ErrnoToTError(errno);
    return 0;
}

int LinuxConn_setRecvSize(LinuxConn *c, int direction, int *size) {
    if (!c || !size || direction != 0 || *size > LINUXCONN_BUFFER || *size <= 0) return TERROR_EINVAL;
    c->recvSize = *size;
    return 0;
}

int LinuxConn_getRecvSize(LinuxConn *c, int direction, int *size) {
    if (!c || !size || direction != 0) return TERROR_EINVAL;
    *size = c->recvSize;
    return 0;
}

int LinuxConn_keepPartial(LinuxConn *c) {
    if (!c) return TERROR_EINVAL;
    if (c->buffered >= LINUXCONN_BUFFER) {
        c->keepPartial = 0;
        return TERROR_ENOBUFS;
    }
    c->keepPartial = 1;
    return 0;
}
