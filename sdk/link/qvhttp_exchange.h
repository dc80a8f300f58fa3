// The HTTP exchanges of the device link: one prepared qvhttp_request carried to the device and its reply read
// back, over a pooled connection (qvhttp_process), over the connection a task keeps between calls
// (qvhttp_keep_alive_process), over the task's own socket (qvhttp_connect_process), or as an open download
// stream (qvhttp_open with qvhttp_sock_read/write/close). Chunked replies go chunk by chunk through
// read_chunk to the task's streamed-reply parser.
//
// Time-out T: the request header "Timeout" in ms (QVHTTP_DEFAULT_TIMEOUT_MS when absent or not a positive
// number); over the tunnel address "127.0.0.1" a T of QVHTTP_DEFAULT_TIMEOUT_MS or more is raised to at least
// QVHTTP_TUNNEL_TIMEOUT_MS (also in the task). T bounds the whole wait for the reply's header block; each
// chunk of a chunked reply gets the task's time-out (QVHTTP_DEFAULT_TIMEOUT_MS when 0). Waits run in 50 ms
// slices and end with QV_ERR_CANCELLED once the task's cancel flag is set.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "base/qv_defaults.h"
#include "link/qvhttp.h"

constexpr int32_t QVHTTP_DEFAULT_TIMEOUT_MS = QV_DEFAULT_TIMEOUT_MS;
constexpr int32_t QVHTTP_TUNNEL_TIMEOUT_MS = 60000;

// The tunnel rule: host "127.0.0.1" and t >= QVHTTP_DEFAULT_TIMEOUT_MS gives
// max(t, QVHTTP_TUNNEL_TIMEOUT_MS); anything else gives t.
int32_t qvhttp_local_timeout(const char *host, int32_t t);
// T of a request: its "Timeout" header with the tunnel rule applied; writes the raised value into the task.
int32_t qvhttp_request_timeout(qvhttp_request *r);
// 1 for the codes after which a kept connection is closed: QV_ERR_DL_CLOSED, QV_ERR_CONN_LOST_A, QV_ERR_RECV,
// QV_ERR_CONN_LOST_B, QV_ERR_NET, QV_ERR_CANCELLED.
int qvhttp_is_connection_loss(int code);

// Reads a chunked reply from `sock`, right after its header block, decoding each chunk ("Content-Encoding:
// gzip", then "Encrypt: aes") into resp->body and handing it to the task's callbacks. 0 once the final chunk
// has been read; QV_ERR_NET bad size line or connection lost; QV_ERR_RECV no chunk in time; QV_ERR_CANCELLED
// cancelled; QV_ERR_INFLATE / QV_ERR_DECRYPT decoding failed; the parser's non-zero value.
int read_chunk(qvhttp_resp *resp, int sock, client_file_task *task);

int qvhttp_process(qvhttp_request *r);
int qvhttp_keep_alive_process(qvhttp_request *r);
int qvhttp_connect_process(qvhttp_request *r);

// Opens a stream on a connection of its own: sends the request and reads the reply's header block. 0 only for
// a reply marked as file data ("Content-Type: text/plain"); any other reply closes the socket and gives
// QV_ERR_DL_NO_TYPE.
int qvhttp_open(qvhttp_request *r);
// One read of the stream; waits up to the request's T (cancel honoured) for data first. Bytes, 0 at the end
// of the stream, -1 on error or time-out.
ssize_t qvhttp_sock_read(qvhttp_request *r, void *buf, size_t size);
ssize_t qvhttp_sock_write(qvhttp_request *r, const void *data, size_t len);
int qvhttp_sock_close(qvhttp_request *r);
