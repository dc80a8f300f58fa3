// The keep-alive connection pool: borrow a connection to the device before an exchange, give it back after.
#pragma once

#include <cstdint>

// A borrowed pooled connection. `ret` is 0 after a successful borrow; before QVClose the borrower stores its
// exchange result there: 0 keeps the connection for the next borrower, anything else closes it.
struct sock_handle {
    int32_t fd;
    int32_t ret;
    int32_t timeout;
    int32_t reserved;
    uint64_t conn_id;
};

int init_connect_pool(void);
int destory_connect_pool(void);
int QVConnect(const char *addr, sock_handle **handle, int timeout);
int QVConnectPort(const char *addr, int port, sock_handle **handle, int timeout);
int QVClose(sock_handle *handle);
