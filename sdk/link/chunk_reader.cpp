// The chunked reply reader: size line, data, CRLF per chunk; the final chunk "0" CRLF CRLF. Nothing beyond
// the reply is read, so a connection whose reply ended cleanly can serve the next exchange.
#include <cstdlib>
#include <cstring>

#include "base/client_file_task.h"
#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "link/gzip.h"
#include "link/msg.h"
#include "link/qvcrypt.h"
#include "link/qvhttp_exchange.h"
#include "link/qvhttp_io.h"

namespace {

constexpr size_t kMaxLine = 64;
constexpr int kMaxTrailerLines = 16;

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads one CRLF-ended line (without the CRLF) into `line`; 0 or a code (QV_ERR_NET for an overlong line or a
// lone LF).
int read_line(int fd, char *line, size_t *len, int64_t deadline, const client_file_task *task) {
    size_t n = 0;
    for (;;) {
        char c;
        int rc = qvio::read_exact(fd, &c, 1, deadline, task, nullptr);
        if (rc != 0) return rc;
        if (c == '\n') {
            if (n == 0 || line[n - 1] != '\r') return QV_ERR_NET;
            line[n - 1] = '\0';
            *len = n - 1;
            return 0;
        }
        if (n + 1 >= kMaxLine) return QV_ERR_NET;
        line[n++] = c;
    }
}

// Chunk size: 1 to 8 hex digits, optionally followed by an extension after ';' (ignored). -1 when invalid.
int64_t parse_size(const char *line, size_t len) {
    size_t i = 0;
    uint64_t v = 0;
    while (i < len && hexval(line[i]) >= 0) {
        if (i == 8) return -1;
        v = v * 16 + static_cast<uint64_t>(hexval(line[i]));
        ++i;
    }
    if (i == 0) return -1;
    if (i < len && line[i] != ';') return -1;
    return static_cast<int64_t>(v);
}

void set_body(qvhttp_resp *resp, char *data, int32_t len) {
    std::free(resp->body);
    resp->body = data;
    resp->body_len = len;
}

// Decodes one chunk's data (owned by the call) into resp->body.
int decode(qvhttp_resp *resp, char *data, uint32_t n) {
    const char *enc = qvhttp_hdr_get(resp->headers, "Encrypt");
    const char *ce = qvhttp_hdr_get(resp->headers, "Content-Encoding");
    const bool aes = enc && std::strncmp(enc, "aes", 3) == 0;
    if (ce) {
        if (std::strcmp(ce, "gzip") != 0) {
            std::free(data);  // an encoding we cannot read: the chunk yields nothing
            return 0;
        }
        char *plain = nullptr;
        uint64_t plain_len = 0;
        int rc = gzdecompress(data, n, &plain, &plain_len);
        std::free(data);
        if (rc != 0 || plain_len > QV_MSG_MAX_LEN) {
            std::free(plain);
            QV_LOG_ERROR("uncompress error.");
            return QV_ERR_INFLATE;
        }
        if (!aes) {
            set_body(resp, plain, static_cast<int32_t>(plain_len));
            return 0;
        }
        char *out = nullptr;
        int32_t out_len = 0;
        rc = qv_crypt_decrypt(plain, static_cast<int32_t>(plain_len), &out, &out_len);
        std::free(plain);
        if (rc != 0) {
            QV_LOG_ERROR("decrypt error.");
            return QV_ERR_DECRYPT;
        }
        set_body(resp, out, out_len);
        return 0;
    }
    if (aes) {
        char *out = nullptr;
        int32_t out_len = 0;
        int rc = qv_crypt_decrypt(data, static_cast<int32_t>(n), &out, &out_len);
        std::free(data);
        if (rc != 0) {
            QV_LOG_ERROR("decrypt error.");
            return QV_ERR_DECRYPT;
        }
        set_body(resp, out, out_len);
        return 0;
    }
    set_body(resp, data, static_cast<int32_t>(n));  // data already holds n + 1 zeroed bytes
    return 0;
}

}  // namespace

int read_chunk(qvhttp_resp *resp, int sock, client_file_task *task) {
    if (!resp || sock < 0) return QV_ERR_NET;
    const int32_t budget = task && task->timeout > 0 ? task->timeout : QVHTTP_DEFAULT_TIMEOUT_MS;
    char line[kMaxLine];
    for (;;) {
        const int64_t deadline = qvio::now_ms() + budget;
        int rc = qvio::wait_readable(sock, deadline, task);
        if (rc != 0) return rc;
        size_t len = 0;
        rc = read_line(sock, line, &len, deadline, task);
        if (rc != 0) {
            QV_LOG_ERROR(rc == QV_ERR_NET ? "tcp socket is closed" : "read chunk error");
            return rc;
        }
        const int64_t n = parse_size(line, len);
        if (n < 0 || n > static_cast<int64_t>(QV_MSG_MAX_LEN)) {
            QV_LOG_ERROR("read chunk error");
            return QV_ERR_NET;
        }
        if (n == 0) {
            // Trailers (not sent by the device) up to the empty line that ends the reply.
            for (int i = 0; i < kMaxTrailerLines; ++i) {
                rc = read_line(sock, line, &len, deadline, task);
                if (rc != 0) return rc;
                if (len == 0) return 0;
            }
            return QV_ERR_NET;
        }
        char *data = static_cast<char *>(std::calloc(static_cast<size_t>(n) + 1, 1));
        if (!data) return QV_ERR_NET;
        rc = qvio::read_exact(sock, data, static_cast<size_t>(n), deadline, task, nullptr);
        char crlf[2] = {};
        if (rc == 0) rc = qvio::read_exact(sock, crlf, 2, deadline, task, nullptr);
        if (rc == 0 && (crlf[0] != '\r' || crlf[1] != '\n')) rc = QV_ERR_NET;
        if (rc != 0) {
            std::free(data);
            QV_LOG_ERROR("read chunk error");
            return rc;
        }
        rc = decode(resp, data, static_cast<uint32_t>(n));
        if (rc != 0) return rc;
        if (task) {
            if (task->parse_cb) {
                int pr = task->parse_cb(resp->body, task);
                if (pr != 0) {
                    if (qvio::cancelled(task)) return QV_ERR_CANCELLED;
                    QV_LOG_ERROR("task error:%d", pr);
                    return pr;
                }
                set_body(resp, nullptr, 0);
            }
            if (task->chunk_cb) task->chunk_cb(task);
            if (task->destroy_cb) task->destroy_cb(task);
            if (qvio::cancelled(task)) return QV_ERR_CANCELLED;
        }
    }
}
