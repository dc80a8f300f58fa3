// The exchanges the task processors run, behind one indirection: by default the device HTTP posts of
// the link layer; tests may put their own exchange in place of the post (for example to answer from a
// script without a device).
#pragma once

#include <cstdint>

struct client_file_task;
struct qvhttp_request;

using qv_net_post_fn = int (*)(const char *url, const char *request, int timeout, char **reply,
                               uint64_t *reply_len, client_file_task *task);

// Replaces the post of ordinary commands; null restores the link layer's qvNetPost.
void qv_set_net_post(qv_net_post_fn fn);

// The exchanges used by the processors.
int qv_net_post(const char *url, const char *request, int timeout, char **reply, uint64_t *reply_len,
                client_file_task *task);
int qv_net_keep_alive_post(const char *url, const char *request, int timeout, char **reply,
                           uint64_t *reply_len, client_file_task *task);
qvhttp_request *qv_net_open(const char *url, const char *request, int timeout, char **reply,
                            client_file_task *task);
int qv_net_read(qvhttp_request *stream, char *buf, int size);
int qv_net_write(qvhttp_request *stream, const char *data, int len);
void qv_net_close(qvhttp_request *stream);
