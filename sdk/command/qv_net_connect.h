// The connect and close task of the connection pool: one command-175 exchange on the task's own socket.
#pragma once

struct client_info;

// `info` carries cmd 175, the device address and port, its time-out (0 means 20000) and a client_file_task
// (socket -1 with the keep-alive flag set to open; the pooled socket with the flag clear to close).
// 0, or the builder's, the exchange's or the parser's failure. Frees `retstr` and `recv_buf`.
int _qv_net_connect_proc(client_info *info);
