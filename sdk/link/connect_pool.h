// The keep-alive connection pool: TCP connections to devices kept open between exchanges, opened and closed
// through an installable open/close pair (plain TCP by default; the service installs the command-175 pair),
// and a watchdog thread that closes idle ones (more than 100 ms idle, or at once while more than two are
// idle).
//
// Idle connections are keyed by device address and port: a borrower only ever gets a connection to the
// device it names. A handle carries the id of the connection it borrowed (ids are never reused), so a
// give-back finds its own connection even when the kernel has reused the descriptor number. Close exchanges
// run outside the pool mutex. The mutex outlives the pool, so calls after destory_connect_pool fail cleanly
// with QV_ERR_FAILED.
#pragma once

#include <cstdint>

// The borrower's handle of one pooled connection, allocated by QVConnect and freed by QVClose.
struct sock_handle {
    int32_t fd;       // socket descriptor; -1 while there is none
    int32_t ret;      // after QVConnect: 0 or the open's result; before QVClose: the exchange result
                      // (0 keeps the connection, anything else closes it)
    int32_t timeout;  // the borrower's time-out in milliseconds
    int32_t reserved;
    uint64_t conn_id;  // the pooled connection borrowed; 0 for none
};

// Longest device address the pool accepts; longer ones are refused, not cut.
constexpr int QV_POOL_ADDR_MAX = 32;

// 0, also when the pool exists already; otherwise the error number of the failed thread creation.
int init_connect_pool(void);
// Stops the watchdog, closes every connection and frees the pool; 0 (also without a pool).
int destory_connect_pool(void);

// Borrows an idle connection to `addr` (port: the pool's device port) or opens a new one. 0 with `*handle`
// set; QV_ERR_ARG when the address is missing or longer than 32 characters, QV_ERR_FAILED when no pool
// exists; the open's non-zero result (nothing stored) when a new connection cannot be opened. `timeout` in
// ms, 0 meaning QV_DEFAULT_TIMEOUT_MS.
int QVConnect(const char *addr, sock_handle **handle, int timeout);
// As QVConnect to an explicit port.
int QVConnectPort(const char *addr, int port, sock_handle **handle, int timeout);
// Gives a connection back: kept idle when `handle->ret` is 0, else closed without a request. Frees the
// handle in every case. 0; QV_ERR_ARG for a null handle, QV_ERR_FAILED
// without a pool.
int QVClose(sock_handle *handle);

// Closes one connection: with `ret` 0 through the installed close (time-out 200 ms), otherwise the socket
// is only closed. Afterwards `fd` is -1 (the socket is closed in every case) and `ret` holds the
// close result.
void qv_close_connect(sock_handle *handle);
// Closes every connection, idle or in use; the pool stays, empty. 0, or QV_ERR_FAILED without a pool.
int qv_close_all_connection(void);

// Counts of the current pool; 0, or QV_ERR_FAILED without a pool.
int qv_connect_pool_counts(int32_t *total_num, int32_t *available_num);

// How the pool opens and closes a device connection.
struct qv_pool_conn_ops {
    // Opens a connection to `addr`:`port` within `timeout_ms` (never 0). 0 with `*fd` set; otherwise the
    // failure result, `*fd` possibly left >= 0 for a socket the pool then closes.
    int (*open_fn)(const char *addr, int port, int timeout_ms, int *fd);
    // Ends a healthy connection within `timeout_ms`; sets `*fd` to -1 once the socket is closed (the pool
    // closes one left open). The close result.
    int (*close_fn)(int *fd, int timeout_ms);
};

// The plain pair: a TCP connect bounded by the time-out (QV_ERR_NET when it fails), and a bare close (0).
extern const qv_pool_conn_ops qv_pool_plain_ops;

// Installs the open/close pair (copied); null restores the plain pair. Install before the first borrow.
void qv_connect_pool_set_ops(const qv_pool_conn_ops *ops);

// Seam for tests: the device port of QVConnect (default QV_DEVICE_CMD_PORT).
void qv_connect_pool_set_port(int port);
