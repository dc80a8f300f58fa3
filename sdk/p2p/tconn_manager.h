// Connection manager: every UDP and TCP socket of the peer-to-peer library is a reference-counted connection
// object served by one handler thread ("psl_conn_hdlr") that calls the owner's receive, connect, close and
// error callbacks. Results are 0 or TERROR_* codes.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <sys/socket.h>

#include <atomic>
#include <mutex>

#include "p2p/p2p_containers.h"

struct LinuxConn;
struct LinuxConnMgr;

typedef void (*LinuxConn_RecvFn)(LinuxConn *conn, const char *host, uint16_t portNet, uint8_t *buf,
                                 int64_t len, void *arg);
typedef void (*LinuxConn_CloseFn)(LinuxConn *conn, int reason, void *arg);
typedef void (*LinuxConn_ConnectedFn)(LinuxConn *conn, void *arg);
typedef void (*LinuxConn_ErrorFn)(LinuxConn *conn, int reason, void *arg);
typedef void (*LinuxConnMgr_IdleFn)(LinuxConnMgr *mgr, void *arg);

enum {
    LINUXCONN_TCP = 0,
    LINUXCONN_UDP = 1,
    LINUXCONN_CLIENT = 0,
    LINUXCONN_SERVER = 1,
    LINUXCONN_OPT_NO_REUSEADDR = 1,
};
enum {
    LINUXCONN_CREATED = 0,
    LINUXCONN_CONNECTING = 1,
    LINUXCONN_READY = 2,
    LINUXCONN_LISTENING = 3,
    LINUXCONN_PEER_CLOSED = 4,
    LINUXCONN_FAILED = 6,
};
// Error reasons 1 unreachable, 3 timed out, 4 not resolved, 6 refused, 7 other; close reason 8 peer closed.
enum {
    LINUXCONN_ERR_UNREACHABLE = 1,
    LINUXCONN_ERR_TIMEDOUT = 3,
    LINUXCONN_ERR_UNRESOLVED = 4,
    LINUXCONN_ERR_REFUSED = 6,
    LINUXCONN_ERR_OTHER = 7,
    LINUXCONN_CLOSE_PEER = 8,
};
enum {
    LINUXCONN_BUFFER = 1540,
    LINUXCONN_MAX_CONNECTIONS = 1024,
    LINUXCONN_SEND_WAIT_MS = 3000,  // longest wait of LinuxConn_send for a TCP socket to become writable
};

struct LinuxObjHeader {
    const void *ops;
    std::atomic<int32_t> refCount;
    void (*destroy)(void *obj);
};

struct LinuxConnMgrOps {
    int (*retain)(LinuxConnMgr *);
    int (*release)(LinuxConnMgr *);
    int (*createConnection)(LinuxConnMgr *, int protocol, int role, int options, LinuxConn **out);
    int (*destroyConnection)(LinuxConnMgr *, LinuxConn *);
    int (*setTimeout)(LinuxConnMgr *, int ms);
    int (*setTimeoutCallback)(LinuxConnMgr *, LinuxConnMgr_IdleFn, void *);
};

struct LinuxConnOps {
    int (*retain)(LinuxConn *);
    int (*release)(LinuxConn *);
    int (*open)(LinuxConn *, const char *host, uint16_t *portNet, int unused, LinuxConn_ConnectedFn, void *,
                LinuxConn_ErrorFn, void *);
    int (*send)(LinuxConn *, const void *data, int *length);
    int (*sendTo)(LinuxConn *, const char *host, uint16_t portNet, const void *data, int *length);
    int (*setRecvCallback)(LinuxConn *, LinuxConn_RecvFn, void *);
    int (*setCloseCallback)(LinuxConn *, LinuxConn_CloseFn, void *);
    int (*getState)(LinuxConn *, int *state);
    int (*getLocalAddr)(LinuxConn *, char *text, size_t size, uint16_t *portNet);
    int (*setTTL)(LinuxConn *, int value);
    int (*setRecvSize)(LinuxConn *, int direction, int *size);
    int (*getRecvSize)(LinuxConn *, int direction, int *size);
    int (*keepPartial)(LinuxConn *);
};

struct LinuxConnMgr {
    LinuxObjHeader header;
    p2p_List *connections;  // entries {state 1 live, 2 being destroyed; connection}
    int32_t maxFd;
    pthread_t thread;
    std::mutex lock;
    std::atomic<int32_t> stop;
    std::atomic<int32_t> timeoutMs;
    LinuxConnMgr_IdleFn idleCallback;  // guarded by lock
    void *idleArg;
    LinuxConnMgr_IdleFn drainedCallback;  // guarded by lock
    void *drainedArg;
    int wakeFd;  // eventfd that breaks the handler's wait
};

struct LinuxConn {
    LinuxObjHeader header;
    std::atomic<int32_t> fd;
    std::atomic<int32_t> acceptedFd;
    int32_t protocol;
    int32_t role;
    int32_t options;
    LinuxConnMgr *manager;
    sockaddr_storage address;
    sockaddr_storage peerAddress;
    sockaddr_storage localAddress;
    std::atomic<int32_t> state;
    std::atomic<int32_t> recvSize;
    std::mutex cbLock;  // guards the callback pairs
    LinuxConn_RecvFn recvCallback;
    void *recvArg;
    LinuxConn_CloseFn closeCallback;
    void *closeArg;
    LinuxConn_ConnectedFn connectedCallback;
    void *connectedArg;
    LinuxConn_ErrorFn errorCallback;
    void *errorArg;
    int32_t keepPartial;
    int64_t buffered;
    uint8_t *buffer;
    // Watched events, guarded by the manager's lock.
    bool watchRead;
    bool watchWrite;
    bool watchAccepted;
    std::atomic<bool> destroyed;
    std::mutex sendLock;  // one send at a time per connection
};

// Manager.
int LinuxConnMgr_getInstance(LinuxConnMgr **out);
int LinuxConnMgr_retain(LinuxConnMgr *mgr);
int LinuxConnMgr_release(LinuxConnMgr *mgr);
int LinuxConnMgr_createConnection(LinuxConnMgr *mgr, int protocol, int role, int options, LinuxConn **out);
// Gives up the caller's reference; the handler thread retires the socket at once. TERROR_EINVAL when the
// connection is not a live entry (destroyed twice), TERROR_BAD_STATE when the caller held no reference.
int LinuxConnMgr_destroyConnection(LinuxConnMgr *mgr, LinuxConn *conn);
int LinuxConnMgr_setTimeout(LinuxConnMgr *mgr, int ms);
int LinuxConnMgr_setTimeoutCallback(LinuxConnMgr *mgr, LinuxConnMgr_IdleFn fn, void *arg);
// Called on the handler thread after a pass that read a UDP socket until it had nothing more (not after a
// pass cut short by the burst bound): work held back during a burst can go then.
int LinuxConnMgr_setDrainedCallback(LinuxConnMgr *mgr, LinuxConnMgr_IdleFn fn, void *arg);
void LinuxConnMgr_free(void *mgr);

// Connection.
int LinuxConn_new(int protocol, int role, int options, LinuxConn **out);
void LinuxConn_free(void *conn);
int LinuxConn_retain(LinuxConn *c);
int LinuxConn_release(LinuxConn *c);
int LinuxConn_open(LinuxConn *c, const char *host, uint16_t *portNet, int unused,
                   LinuxConn_ConnectedFn onConnected, void *connectedArg, LinuxConn_ErrorFn onError,
                   void *errorArg);
int LinuxConn_send(LinuxConn *c, const void *data, int *length);
int LinuxConn_sendTo(LinuxConn *c, const char *host, uint16_t portNet, const void *data, int *length);
// LinuxConn_sendTo on a UDP connection with the destination already as a socket address (IPv4 ones are
// mapped onto a dual-stack socket); same results.
int LinuxConn_sendToAddr(LinuxConn *c, const struct sockaddr_storage *to, const void *data, int *length);
int LinuxConn_setRecvCallback(LinuxConn *c, LinuxConn_RecvFn fn, void *arg);
int LinuxConn_setCloseCallback(LinuxConn *c, LinuxConn_CloseFn fn, void *arg);
int LinuxConn_getState(LinuxConn *c, int *state);
int LinuxConn_getLocalAddr(LinuxConn *c, char *text, size_t size, uint16_t *portNet);
int LinuxConn_setTTL(LinuxConn *c, int value);
int LinuxConn_setRecvSize(LinuxConn *c, int direction, int *size);
int LinuxConn_getRecvSize(LinuxConn *c, int direction, int *size);
int LinuxConn_keepPartial(LinuxConn *c);
