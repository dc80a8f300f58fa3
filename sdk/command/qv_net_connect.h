// The connect and close task of the connection pool: one command-175 exchange on the task's own socket.
#pragma once

#include "link/connect_pool.h"

struct client_info;

// `info` carries cmd 175, the device address and port, its time-out (0 means QV_DEFAULT_TIMEOUT_MS) and a
// client_file_task (socket -1 with the keep-alive flag set to open; the pooled socket with the flag clear to
// close). 0, or the builder's, the exchange's or the parser's failure. Frees `retstr` and `recv_buf`.
int _qv_net_connect_proc(client_info *info);

// The pool's open/close pair over `_qv_net_connect_proc`: the open sends 175 with the keep-alive flag on a
// new socket, the close sends 175 without it on the pooled one.
extern const qv_pool_conn_ops qv_net_connect_ops;
// Installs that pair in the pool; whoever starts the service calls it before the first borrow.
void qv_net_connect_install(void);
