#include "command/net_transport.h"

#include <atomic>

#include "link/qv_errors.h"

// The device HTTP posts of the link layer, referenced weakly so that this layer builds and its unit
// tests run on their own.
int qvNetPost(const char *url, const char *request, int timeout, char **reply, uint64_t *reply_len,
              client_file_task *task) __attribute__((weak));
int qvNetKeepAlivePost(const char *url, const char *request, int timeout, char **reply, uint64_t *reply_len,
                       client_file_task *task) __attribute__((weak));
qvhttp_request *qvNetOpen(const char *url, const char *request, int timeout, char **reply,
                          client_file_task *task) __attribute__((weak));
int qvNetRead(qvhttp_request *stream, char *buf, int size) __attribute__((weak));
int qvNetWrite(qvhttp_request *stream, const char *data, int len) __attribute__((weak));
void qvNetClose(qvhttp_request *stream) __attribute__((weak));

namespace {
std::atomic<qv_net_post_fn> g_post{nullptr};
}

void qv_set_net_post(qv_net_post_fn fn) {
    g_post.store(fn);
}

bool qv_net_post_available() {
    return qvNetPost != nullptr;
}

int qv_net_post(const char *url, const char *request, int timeout, char **reply, uint64_t *reply_len,
                client_file_task *task) {
    if (qv_net_post_fn fn = g_post.load()) return fn(url, request, timeout, reply, reply_len, task);
    if (qvNetPost == nullptr) return QV_ERR_NET;
    return qvNetPost(url, request, timeout, reply, reply_len, task);
}

int qv_net_keep_alive_post(const char *url, const char *request, int timeout, char **reply, uint64_t *reply_len,
                           client_file_task *task) {
    if (qvNetKeepAlivePost == nullptr) return QV_ERR_NET;
    return qvNetKeepAlivePost(url, request, timeout, reply, reply_len, task);
}

qvhttp_request *qv_net_open(const char *url, const char *request, int timeout, char **reply,
                            client_file_task *task) {
    if (qvNetOpen == nullptr) return nullptr;
    return qvNetOpen(url, request, timeout, reply, task);
}

int qv_net_read(qvhttp_request *stream, char *buf, int size) {
    return qvNetRead ? qvNetRead(stream, buf, size) : -1;
}

int qv_net_write(qvhttp_request *stream, const char *data, int len) {
    return qvNetWrite ? qvNetWrite(stream, data, len) : -1;
}

void qv_net_close(qvhttp_request *stream) {
    if (qvNetClose) qvNetClose(stream);
}
