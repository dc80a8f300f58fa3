#include "command/qv_net.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "base/client_file_task.h"
#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "link/gzip.h"
#include "link/qv_owned.h"
#include "link/qvcrypt.h"
#include "link/qvhttp.h"
#include "link/qvhttp_exchange.h"

namespace {

enum class Kind { Post, KeepAlive, Connect, Open };

// Builds the request of `kind`; 0 with *out set, or the code.
int build(Kind kind, const char *url, const char *text, int32_t timeout_ms, client_file_task *task,
          qvhttp_request **out) {
    *out = nullptr;
    if (!text) return QV_ERR_NOT_BUILT;
    qv::request_ptr r(qvhttp_request_new());
    if (!r) return QV_ERR_NOT_BUILT;
    // The own-socket exchange on a socket the task holds needs no URI (and sends no Host).
    const bool with_uri = !(kind == Kind::Connect && task && task->fd >= 0);
    if ((with_uri && (!url || qvhttp_set_uri(r.get(), url) != 0)) ||
        qvhttp_set_type(r.get(), QVHTTP_POST) != 0)
        return QV_ERR_NOT_BUILT;
    qvhttp_set_header(r.get(), "Content-Type", "application/json");
    if (task) qvhttp_set_file_task(r.get(), task);
    if (kind == Kind::KeepAlive)
        qvhttp_set_header(r.get(), "Connection", task->keep_alive ? "keep-alive" : "close");
    if (kind == Kind::Connect && task->keep_alive) qvhttp_set_header(r.get(), "Connection", "keep-alive");
    qvhttp_set_header(r.get(), "Timeout", std::to_string(timeout_ms).c_str());

    qv::c_text body;
    int32_t body_len = 0;
    const auto text_len = static_cast<int32_t>(std::strlen(text));
    if (kind == Kind::KeepAlive) {
        body.reset(static_cast<char *>(std::malloc(static_cast<size_t>(text_len) + 1)));
        if (!body) return QV_ERR_NOT_BUILT;
        std::memcpy(body.get(), text, static_cast<size_t>(text_len) + 1);
        body_len = text_len;
    } else {
        qvhttp_set_header(r.get(), "Encrypt", "aes");
        char *enciphered = nullptr;
        const int rc = qv_crypt_encrypt(text, text_len, &enciphered, &body_len);
        body.reset(enciphered);
        if (rc != 0) return rc;
    }
    qvhttp_set_header(r.get(), "Content-Length", std::to_string(body_len).c_str());
    if (qvhttp_set_body(r.get(), body.get(), static_cast<uint64_t>(body_len)) != 0) return QV_ERR_NOT_BUILT;
    body.release();  // the request owns it now
    if (qvhttp_prepare(r.get()) != 0) return QV_ERR_NOT_BUILT;
    *out = r.release();
    return 0;
}

}  // namespace

int reply_body_text(qvhttp_request *r, const char *data, int32_t len, char **reply, uint64_t *reply_len) {
    const char *e = qvhttp_get_header(r, "Encrypt");
    if (e && std::strncmp(e, "aes", 3) == 0) {
        char *out = nullptr;
        int32_t out_len = 0;
        int rc = qv_crypt_decrypt(data, len, &out, &out_len);
        if (rc != 0) {
            QV_LOG_ERROR("decrypt error.");
            return rc;
        }
        *reply = out;
        if (reply_len) *reply_len = static_cast<uint64_t>(out_len);
        return 0;
    }
    char *copy = static_cast<char *>(std::calloc(static_cast<size_t>(len) + 1, 1));
    if (!copy) return QV_ERR_LOCAL_FILE;
    if (len) std::memcpy(copy, data, static_cast<size_t>(len));
    *reply = copy;
    if (reply_len) *reply_len = static_cast<uint64_t>(len);
    return 0;
}

int qv_net_decode_reply(qvhttp_request *r, char **reply, uint64_t *reply_len) {
    if (qvhttp_get_header(r, "Transfer-Encoding")) return 0;  // chunks went to the task's parser
    const char *body = qvhttp_get_body(r);
    const int32_t len = qvhttp_get_body_len(r);
    const char *ce = qvhttp_get_header(r, "Content-Encoding");
    int rc = 0;
    if (ce) {
        QV_LOG_DEBUG("value = %s", ce);
        if (std::strcmp(ce, "gzip") != 0) return 0;
        char *inflated = nullptr;
        uint64_t plain_len = 0;
        const int inflate_rc =
            body && len > 0 ? gzdecompress(body, static_cast<uint64_t>(len), &inflated, &plain_len) : -1;
        const qv::c_text plain(inflated);
        if (inflate_rc != 0 || plain_len > INT32_MAX) {
            QV_LOG_ERROR("uncompress error.");
            return QV_ERR_LOCAL_FILE;
        }
        rc = reply_body_text(r, plain.get(), static_cast<int32_t>(plain_len), reply, reply_len);
    } else {
        if (!body) return 0;
        rc = reply_body_text(r, body, len, reply, reply_len);
    }
    // A body that cannot be deciphered is a reply that cannot be decoded, as for a broken gzip body.
    return rc != 0 ? QV_ERR_LOCAL_FILE : 0;
}

int qvNetPost(const char *url, const char *request, int32_t timeout_ms, char **reply, uint64_t *reply_len,
              client_file_task *task) {
    qvhttp_request *raw = nullptr;
    int rc = build(Kind::Post, url, request, timeout_ms, task, &raw);
    if (rc != 0) return rc;
    qv::request_ptr r(raw);
    rc = qvhttp_process(r.get());
    if (rc != 0) return rc;
    return reply ? qv_net_decode_reply(r.get(), reply, reply_len) : 0;
}

int qvNetConnectPost(const char *url, const char *request, int32_t timeout_ms, char **reply,
                     uint64_t *reply_len, client_file_task *task) {
    if (!task) return QV_ERR_ARG;
    qvhttp_request *raw = nullptr;
    int rc = build(Kind::Connect, url, request, timeout_ms, task, &raw);
    if (rc != 0) return rc;
    qv::request_ptr r(raw);
    rc = qvhttp_connect_process(r.get());
    if (rc != 0) return rc;
    return reply ? qv_net_decode_reply(r.get(), reply, reply_len) : 0;
}

int qvNetKeepAlivePost(const char *url, const char *request, int32_t timeout_ms, char **reply,
                       uint64_t *reply_len, client_file_task *task) {
    if (!task) return QV_ERR_ARG;
    qvhttp_request *raw = nullptr;
    int rc = build(Kind::KeepAlive, url, request, timeout_ms, task, &raw);
    if (rc != 0) return rc;
    qv::request_ptr r(raw);
    rc = qvhttp_keep_alive_process(r.get());
    if (rc != 0 || !reply) return rc;
    if (qvhttp_get_header(r.get(), "Transfer-Encoding")) return 0;
    const char *body = qvhttp_get_body(r.get());
    const int32_t len = qvhttp_get_body_len(r.get());
    if (const char *ce = qvhttp_get_header(r.get(), "Content-Encoding")) {
        if (std::strcmp(ce, "gzip") != 0) return 0;
        char *plain = nullptr;
        uint64_t plain_len = 0;
        if (!body || len <= 0 || gzdecompress(body, static_cast<uint64_t>(len), &plain, &plain_len) != 0) {
            QV_LOG_ERROR("uncompress error.");
            return QV_ERR_LOCAL_FILE;
        }
        *reply = plain;
        if (reply_len) *reply_len = plain_len;
        return 0;
    }
    if (!body) return 0;
    // The text ends at the body's first zero byte; the length stays the body's.
    char *text = strndup(body, static_cast<size_t>(len));
    if (!text) return QV_ERR_LOCAL_FILE;
    *reply = text;
    if (reply_len) *reply_len = static_cast<uint64_t>(len);
    return 0;
}

qvhttp_request *qvNetOpen(const char *url, const char *request, int32_t timeout_ms, char ** /*reply*/,
                          client_file_task *task) {
    qvhttp_request *r = nullptr;
    if (build(Kind::Open, url, request, timeout_ms, task, &r) != 0) return nullptr;
    if (qvhttp_open(r) != 0) {
        qvhttp_request_destroy(r);
        return nullptr;
    }
    return r;
}

int qvNetRead(qvhttp_request *stream, void *buf, size_t size) {
    return static_cast<int>(qvhttp_sock_read(stream, buf, size));
}

int qvNetWrite(qvhttp_request *stream, const void *data, size_t len) {
    return static_cast<int>(qvhttp_sock_write(stream, data, len));
}

void qvNetClose(qvhttp_request *stream) {
    if (!stream) return;
    qvhttp_sock_close(stream);
    qvhttp_request_destroy(stream);
}
