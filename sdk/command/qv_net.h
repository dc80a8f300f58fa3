// Device HTTP exchanges of the command layer: each carries one request text (the codec's JSON envelope) to
// the device and hands the decoded reply text back. The request headers and the body cipher depend on the
// kind of exchange; reply bodies are inflated ("Content-Encoding: gzip") and then deciphered ("Encrypt:
// aes...").
//
// URL: "http://<device address>:<port>". Reply text: a new zero-terminated buffer owned by the caller
// (free()); an exchange that produces none leaves *reply as it was. Results: 0, QV_ERR_NOT_BUILT (URL or
// method refused), QV_ERR_FAILED (the cipher is not started), QV_ERR_LOCAL_FILE (a reply body that cannot be
// inflated or deciphered), or the link layer's code unchanged.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

struct client_file_task;
struct qvhttp_request;

// The text of a reply body: deciphered when the reply says "Encrypt: aes...", else copied. A new
// zero-terminated buffer (free()) in *reply, its length in *reply_len (may be null). 0, the cipher's code
// (logged "decrypt error."), or QV_ERR_LOCAL_FILE when out of memory.
int reply_body_text(qvhttp_request *r, const char *data, int32_t len, char **reply, uint64_t *reply_len);

// The reply decoding of qvNetPost and qvNetConnectPost, after the body was read by its Content-Length: none
// for a chunked reply (its chunks went to the task's parser); inflated when "Content-Encoding" is "gzip" (any
// other encoding leaves *reply unset), then reply_body_text. 0, or 10105 (cannot inflate or decipher).
int qv_net_decode_reply(qvhttp_request *r, char **reply, uint64_t *reply_len);

// An ordinary command over a pooled connection; the task (may be null) gives cancel and streamed replies.
int qvNetPost(const char *url, const char *request, int32_t timeout_ms, char **reply, uint64_t *reply_len,
              client_file_task *task);
// The reverse-push exchange on the task's kept connection; plain request body. Task required.
int qvNetKeepAlivePost(const char *url, const char *request, int32_t timeout_ms, char **reply,
                       uint64_t *reply_len, client_file_task *task);
// An exchange on the task's own socket (pool open and close with command 175). Task required.
int qvNetConnectPost(const char *url, const char *request, int32_t timeout_ms, char **reply,
                     uint64_t *reply_len, client_file_task *task);

// Opens a device file as a read stream: the request object is the stream handle, null on any failure.
// `reply` is never written.
qvhttp_request *qvNetOpen(const char *url, const char *request, int32_t timeout_ms, char **reply,
                          client_file_task *task);
int qvNetRead(qvhttp_request *stream, void *buf, size_t size);
int qvNetWrite(qvhttp_request *stream, const void *data, size_t len);
void qvNetClose(qvhttp_request *stream);
